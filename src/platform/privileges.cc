// The process token and "SeLockMemoryPrivilege". Linux has no tokens; the nearest thing to the
// right to lock memory is an unlimited RLIMIT_MEMLOCK, so the privilege counts as held exactly
// then, and adjusting it otherwise leaves ERROR_NOT_ALL_ASSIGNED as Windows does for an account
// without the right.
#include "platform/privileges.h"

#include <sys/resource.h>

#include <cstddef>
#include <cwchar>

#include "platform/fault.h"
#include "platform/handles.h"

namespace {

// The LUID Windows gives "SeLockMemoryPrivilege" (SE_LOCK_MEMORY_PRIVILEGE).
constexpr LUID lock_memory_luid = {4, 0};

struct token {
    bool used;
    DWORD access;
};

constexpr unsigned max_tokens = 16;
token tokens[max_tokens];

bool assume_right = false;  // tests
bool lock_memory_enabled = false;  // the process token's one privilege of interest

/// The open token that `handle` names, or null.
token* token_of(HANDLE handle) {
    for (token& t : tokens) {
        if (&t == handle) return t.used ? &t : nullptr;
    }
    return nullptr;
}

/// False with the armed fault's code as last error when `call` must fail.
bool fault(const char* call, const wchar_t* name) {
    DWORD error = 0;
    if (!platform_fault_check(call, name, &error)) return false;
    SetLastError(error);
    return true;
}

bool same_luid(const LUID& a, const LUID& b) {
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

}  // namespace

bool platform_lock_memory_right() {
    if (assume_right) return true;
    rlimit limit{};
    return getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY;
}

bool platform_lock_memory_enabled() { return lock_memory_enabled; }

void platform_assume_lock_memory_right(bool held) {
    assume_right = held;
    lock_memory_enabled = false;
}

bool platform_close_token(HANDLE handle) {
    token* t = token_of(handle);
    if (t == nullptr) return false;
    t->used = false;
    t->access = 0;
    return true;
}

/// advapi32: opens the token of the current process. POSIX: a slot of a fixed table, closed
/// by CloseHandle.
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (fault("OpenProcessToken", nullptr)) return FALSE;
    if (ProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    for (token& t : tokens) {
        if (t.used) continue;
        t.used = true;
        t.access = DesiredAccess;
        *TokenHandle = &t;
        return TRUE;
    }
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return FALSE;
}

/// advapi32: the LUID of a privilege name on the local system; only the lock-memory privilege
/// exists here, other names give ERROR_NO_SUCH_PRIVILEGE.
BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
    if (fault("LookupPrivilegeValueW", lpName)) return FALSE;
    if (lpSystemName != nullptr && lpSystemName[0] != L'\0') {
        SetLastError(ERROR_NOT_SUPPORTED);  // no remote systems
        return FALSE;
    }
    if (lpName == nullptr || lpLuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (wcscasecmp(lpName, SE_LOCK_MEMORY_NAME) != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *lpLuid = lock_memory_luid;
    return TRUE;
}

/// advapi32: enables or disables privileges of the token. Succeeds with last error 0 when every
/// privilege was set, or 1300 (ERROR_NOT_ALL_ASSIGNED) when the account lacks one of them.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
    if (fault("AdjustTokenPrivileges", nullptr)) return FALSE;
    token* t = token_of(TokenHandle);
    if (t == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD needed_access = TOKEN_ADJUST_PRIVILEGES | (PreviousState != nullptr ? TOKEN_QUERY : 0);
    if ((t->access & needed_access) != needed_access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!DisableAllPrivileges && NewState == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The previous state lists the one privilege the token holds, when it changes.
    bool was_enabled = lock_memory_enabled;
    if (PreviousState != nullptr) {
        if (ReturnLength == nullptr) {
            SetLastError(ERROR_NOACCESS);
            return FALSE;
        }
        DWORD needed = static_cast<DWORD>(sizeof(TOKEN_PRIVILEGES));
        *ReturnLength = needed;
        if (BufferLength < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
    }

    bool all_assigned = true;
    if (DisableAllPrivileges) {
        lock_memory_enabled = false;
    } else {
        for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& entry = NewState->Privileges[i];
            if (!same_luid(entry.Luid, lock_memory_luid) || !platform_lock_memory_right()) {
                all_assigned = false;
                continue;
            }
            lock_memory_enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
    }
    if (PreviousState != nullptr) {
        bool changed = was_enabled != lock_memory_enabled;
        PreviousState->PrivilegeCount = changed ? 1 : 0;
        PreviousState->Privileges[0].Luid = lock_memory_luid;
        PreviousState->Privileges[0].Attributes = was_enabled ? SE_PRIVILEGE_ENABLED : 0;
    }
    SetLastError(all_assigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
