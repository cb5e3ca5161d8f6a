// Directory search by pattern: FindFirstFileW reads the pattern's directory once, keeps the
// names that match its last component (wildcards with the DOS rules Windows applies, ignoring
// case) in one allocation, sorted so that a run can be repeated, and hands them out in order.
#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "platform/args.h"
#include "platform/errno_map.h"
#include "platform/fault.h"

namespace {

// The DOS wildcards Windows turns a pattern into before it matches names.
constexpr wchar_t dos_star = L'<';  // '*' before a '.': stops at the name's last period
constexpr wchar_t dos_qm = L'>';    // '?': one character, or none at a period or the end
constexpr wchar_t dos_dot = L'"';   // '.' before a wildcard or at the end: a period or the end

constexpr size_t max_name_chars = 256;   // a POSIX name is at most 255 bytes
constexpr size_t kept_pattern_chars = 128;
constexpr uint32_t search_magic = 0x46494E44;  // "FIND"

struct found_name {
    size_t offset;  // into the search's name characters
    size_t length;
};

// One live search, in one allocation: this header, the entries, then the names.
struct search {
    uint32_t magic;
    size_t count;
    size_t next;
    char directory[PATH_MAX];
    wchar_t pattern[kept_pattern_chars];  // tail of the pattern, for the fault seam
    found_name* entries;
    wchar_t* names;
};

wchar_t fold(wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); }

// Rewrites '*', '?' and '.' into the DOS wildcards, as the Win32 layer of Windows does.
void to_dos_pattern(wchar_t* p) {
    for (; *p != L'\0'; ++p) {
        if (*p == L'?') {
            *p = dos_qm;
        } else if (*p == L'*' && p[1] == L'.') {
            *p = dos_star;
        } else if (*p == L'.' && (p[1] == L'?' || p[1] == L'*' || p[1] == L'\0')) {
            *p = dos_dot;
        }
    }
}

// True when `name` matches the DOS pattern, ignoring case: one row of a table of
// (pattern prefix, name prefix) matches at a time, so no pattern can take exponential time.
bool matches(const wchar_t* pattern, const wchar_t* name, size_t length) {
    bool row[max_name_chars + 1];
    bool next[max_name_chars + 1];
    if (length > max_name_chars) return false;
    const wchar_t* dot = std::wcsrchr(name, L'.');
    const size_t last_dot = dot == nullptr ? length : static_cast<size_t>(dot - name);
    for (size_t j = 0; j <= length; ++j) row[j] = j == 0;
    for (const wchar_t* p = pattern; *p != L'\0'; ++p) {
        for (size_t j = 0; j <= length; ++j) next[j] = false;
        bool any = false;
        for (size_t j = 0; j <= length; ++j) {
            const bool here = row[j];
            const bool at_end = j == length;
            switch (*p) {
                case L'*':
                    any = any || here;
                    next[j] = any;
                    break;
                case dos_star:
                    any = any || here;
                    next[j] = here || (any && j <= last_dot);
                    break;
                case dos_qm:
                    if (!here) break;
                    if (at_end || name[j] == L'.') {
                        next[j] = true;
                    } else {
                        next[j + 1] = true;
                    }
                    break;
                case dos_dot:
                    if (!here) break;
                    if (at_end) {
                        next[j] = true;
                    } else if (name[j] == L'.') {
                        next[j + 1] = true;
                    }
                    break;
                default:
                    if (here && !at_end && fold(name[j]) == fold(*p)) next[j + 1] = true;
                    break;
            }
        }
        for (size_t j = 0; j <= length; ++j) row[j] = next[j];
    }
    return row[length];
}

int dot_rank(const wchar_t* name) {
    if (std::wcscmp(name, L".") == 0) return 0;
    if (std::wcscmp(name, L"..") == 0) return 1;
    return 2;
}

// "." and ".." first as Windows lists them; then ignoring case; then exactly, so that names
// differing only in case still come in one fixed order.
int compare_names(const wchar_t* a, const wchar_t* b) {
    int ra = dot_rank(a);
    int rb = dot_rank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    for (size_t i = 0;; ++i) {
        wchar_t fa = fold(a[i]);
        wchar_t fb = fold(b[i]);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (a[i] == L'\0') break;
    }
    return std::wcscmp(a, b);
}

const wchar_t* sort_names = nullptr;  // qsort has no context argument

int compare_entries(const void* a, const void* b) {
    const found_name* x = static_cast<const found_name*>(a);
    const found_name* y = static_cast<const found_name*>(b);
    return compare_names(sort_names + x->offset, sort_names + y->offset);
}

// The wide form of a directory entry's name, or false when it cannot have one.
bool entry_name(const dirent* entry, wchar_t* out) {
    size_t n = platform_bytes_to_name(entry->d_name, std::strlen(entry->d_name), out,
                                      max_name_chars + 1);
    return n != static_cast<size_t>(-1);
}

// Keeps the root's "." and ".." out, as a drive's root on Windows has none.
bool listed(const char* directory, const dirent* entry) {
    if (std::strcmp(directory, "/") != 0) return true;
    return std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
}

void to_filetime(const struct timespec& t, FILETIME* out) {
    // FILETIME counts 100 ns steps from 1601-01-01; Unix time starts 11,644,473,600 s later.
    uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(t.tv_nsec) / 100;
    out->dwLowDateTime = static_cast<DWORD>(ticks);
    out->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

// Fills the find data of entry `index`; attributes follow symbolic links.
void fill(const search* s, size_t index, WIN32_FIND_DATAW* data) {
    std::memset(data, 0, sizeof *data);
    const wchar_t* name = s->names + s->entries[index].offset;
    std::wmemcpy(data->cFileName, name, s->entries[index].length + 1);
    char path[PATH_MAX];
    size_t dir_length = std::strlen(s->directory);
    std::memcpy(path, s->directory, dir_length);
    path[dir_length] = '/';
    data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (platform_name_to_bytes(name, path + dir_length + 1, sizeof path - dir_length - 1) ==
        static_cast<size_t>(-1)) {
        return;
    }
    struct stat st;
    if (stat(path, &st) != 0 && lstat(path, &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        data->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        uint64_t size = static_cast<uint64_t>(st.st_size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data->nFileSizeLow = static_cast<DWORD>(size);
    }
    to_filetime(st.st_mtim, &data->ftLastWriteTime);
    to_filetime(st.st_atim, &data->ftLastAccessTime);
    to_filetime(st.st_ctim, &data->ftCreationTime);
}

HANDLE fail_handle(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

// The live search behind a handle, or null with ERROR_INVALID_HANDLE.
search* search_of(HANDLE handle) {
    search* s = static_cast<search*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || s->magic != search_magic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return s;
}

}  // namespace

/// Win32: starts a search for the names matching a pattern. POSIX: reads the directory once
/// into one sorted allocation; no match gives 2, a missing directory 3.
HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
    DWORD fault = 0;
    if (platform_fault_check("FindFirstFileW", lpFileName, &fault)) return fail_handle(fault);
    if (lpFileName == nullptr || lpFileName[0] == L'\0') return fail_handle(ERROR_FILE_NOT_FOUND);
    char path[PATH_MAX];
    if (platform_name_to_bytes(lpFileName, path, sizeof path) == static_cast<size_t>(-1)) {
        return fail_handle(ERROR_FILENAME_EXCED_RANGE);
    }
    char* slash = std::strrchr(path, '/');
    const char* component = slash == nullptr ? path : slash + 1;
    if (*component == '\0') return fail_handle(ERROR_FILE_NOT_FOUND);
    wchar_t pattern[PATH_MAX];
    platform_bytes_to_name(component, std::strlen(component), pattern, PATH_MAX);
    to_dos_pattern(pattern);
    char directory[PATH_MAX];
    if (slash == nullptr) {
        std::strcpy(directory, ".");
    } else {
        size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
        std::memcpy(directory, path, length);
        directory[length] = '\0';
    }

    DIR* dir = opendir(directory);
    if (dir == nullptr) {
        int err = errno;
        return fail_handle(err == ENOENT || err == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                           : platform_error_from_errno(err));
    }
    // First pass: how many names match and how much room they need.
    wchar_t name[max_name_chars + 1];
    size_t count = 0;
    size_t chars = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!listed(directory, entry) || !entry_name(entry, name)) continue;
        size_t length = std::wcslen(name);
        if (!matches(pattern, name, length)) continue;
        ++count;
        chars += length + 1;
    }
    if (count == 0) {
        closedir(dir);
        return fail_handle(ERROR_FILE_NOT_FOUND);
    }
    void* block = std::malloc(sizeof(search) + count * sizeof(found_name) + chars * sizeof(wchar_t));
    if (block == nullptr) {
        closedir(dir);
        return fail_handle(ERROR_NOT_ENOUGH_MEMORY);
    }
    search* s = static_cast<search*>(block);
    s->magic = search_magic;
    s->next = 0;
    std::strcpy(s->directory, directory);
    size_t pattern_length = std::wcslen(lpFileName);
    size_t start = pattern_length >= kept_pattern_chars ? pattern_length - kept_pattern_chars + 1 : 0;
    std::wcscpy(s->pattern, lpFileName + start);
    s->entries = reinterpret_cast<found_name*>(s + 1);
    s->names = reinterpret_cast<wchar_t*>(s->entries + count);

    // Second pass: the names themselves, within what the first pass counted, in case the
    // directory grew in between.
    rewinddir(dir);
    size_t stored = 0;
    size_t used = 0;
    while (const dirent* entry = readdir(dir)) {
        if (stored == count) break;
        if (!listed(directory, entry) || !entry_name(entry, name)) continue;
        size_t length = std::wcslen(name);
        if (!matches(pattern, name, length) || used + length + 1 > chars) continue;
        std::wmemcpy(s->names + used, name, length + 1);
        s->entries[stored].offset = used;
        s->entries[stored].length = length;
        ++stored;
        used += length + 1;
    }
    closedir(dir);
    if (stored == 0) {
        std::free(block);
        return fail_handle(ERROR_FILE_NOT_FOUND);
    }
    s->count = stored;
    sort_names = s->names;
    std::qsort(s->entries, stored, sizeof(found_name), compare_entries);
    sort_names = nullptr;

    fill(s, 0, lpFindFileData);
    s->next = 1;
    SetLastError(ERROR_SUCCESS);
    return s;
}

/// Win32: the search's next match. POSIX: the next sorted name; FALSE with
/// ERROR_NO_MORE_FILES after the last.
BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
    search* s = search_of(hFindFile);
    DWORD fault = 0;
    if (platform_fault_check("FindNextFileW", s == nullptr ? nullptr : s->pattern, &fault)) {
        SetLastError(fault);
        return FALSE;
    }
    if (s == nullptr) return FALSE;
    if (s->next >= s->count) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    fill(s, s->next, lpFindFileData);
    ++s->next;
    return TRUE;
}

/// Win32: ends a search. POSIX: frees its allocation.
BOOL WINAPI FindClose(HANDLE hFindFile) {
    search* s = search_of(hFindFile);
    if (s == nullptr) return FALSE;
    s->magic = 0;
    std::free(s);
    return TRUE;
}
