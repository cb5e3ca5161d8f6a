// K_RAM: the block buffers of a run as one region, either physical pages mapped into a reserved
// view (when the system has large pages and the account may lock memory) or one block-aligned
// allocation, locked in memory when the system allows.
#include "support/k_ram.h"

#include <cinttypes>
#include <cstring>

#include "support/console.h"
#include "support/report_error.h"

namespace {

constexpr uint32_t default_block_size = 2097152;  // 2 MB where the system has no large pages
constexpr uint64_t mebibyte = 1u << 20;

typedef SIZE_T(WINAPI* large_page_minimum_fn)(void);

}  // namespace

K_RAM::~K_RAM() {
    release();
    // The token stays open between allocate and the end of the arena's life; close it here so
    // that no arena leaves a handle behind.
    if (token != nullptr) CloseHandle(token);
    physical = false;
    locked = false;
    pages_requested = 0;
    pages_received = 0;
    pfn_array_bytes = 0;
    aPFNs = nullptr;
    process = nullptr;
    token = nullptr;
    count = 0;
    block_size = 0;
    total_size = 0;
    base = nullptr;
    // The object ends here, so the compiler may drop the stores above as dead; the barrier
    // keeps them, so that no pointer to the freed region outlives the arena in its memory.
    asm volatile("" : : "r"(this) : "memory");
}

uint32_t K_RAM::large_page_minimum(bool* flag) {
    if (flag != nullptr) *flag = false;
    // Reached at run time, so the program also starts on systems without the entry point.
    HMODULE kernel32 = LoadLibraryExW(L"kernel32.dll", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (kernel32 == nullptr) return default_block_size;
    uint32_t size = default_block_size;
    auto query = reinterpret_cast<large_page_minimum_fn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "GetLargePageMinimum")));
    if (query != nullptr) {
        uint32_t reported = static_cast<uint32_t>(query());
        if (reported != 0) {
            size = reported;
            if (flag != nullptr) *flag = true;
        }
    }
    FreeLibrary(kernel32);
    return size;
}

int K_RAM::enable_lock_memory_privilege(HANDLE token) {
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, SE_LOCK_MEMORY_NAME, &privileges.Privileges[0].Luid)) {
        return -1;
    }
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr)) {
        return static_cast<int>(GetLastError());
    }
    return 0;
}

int K_RAM::allocate(uint64_t count) {
    this->count = count;
    block_size = large_page_minimum(&physical);
    total_size = block_size * count;

    process = GetCurrentProcess();
    if (token != nullptr) CloseHandle(token);  // a token of an earlier allocate
    token = nullptr;
    // The result is not examined: a token that did not open fails the privilege step.
    OpenProcessToken(process, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);

    if (physical) {
        physical = enable_lock_memory_privilege(token) == 0;
        // An account without the right still gets a successful adjustment, with
        // ERROR_NOT_ALL_ASSIGNED left behind.
        if (GetLastError() != 0) physical = false;
        if (physical) {
            base = allocate_physical(total_size);
            if (base == nullptr) {
                physical = false;
                report_error(GetLastError(),
                             L"!! Failed to allocate physical RAM, the feature will be disabled!");
            }
        }
    }

    if (!physical) {
        // Windows lets a process lock only as much as its working-set minimum allows.
        SIZE_T working_set = static_cast<SIZE_T>(total_size + 8 * block_size);
        SetProcessWorkingSetSize(process, working_set, working_set);
        base = static_cast<uint8_t*>(_aligned_malloc(total_size, block_size));
        locked = base != nullptr && VirtualLock(base, total_size);
        if (locked) std::memset(base, 0, total_size);
    }

    if (base == nullptr) {
        report_error(GetLastError(), L"!! _aligned_malloc() failed to allocate RAM!");
        return -1;
    }
    return 0;
}

uint8_t* K_RAM::allocate_physical(uint64_t size) {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    uint64_t page = info.dwPageSize;

    pages_requested = size / page;
    pages_received = pages_requested;
    pfn_array_bytes = pages_requested * 8;
    aPFNs = static_cast<ULONG_PTR*>(HeapAlloc(GetProcessHeap(), 0, pfn_array_bytes));

    bool got = false;
    bool mapped = false;
    void* view = nullptr;
    if (aPFNs != nullptr) {
        ULONG_PTR pages = pages_received;
        got = AllocateUserPhysicalPages(process, &pages, aPFNs);
        pages_received = pages;
        // Reserved even when the request failed, so the diagnostics show where it would be.
        view = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_PHYSICAL, PAGE_READWRITE);
        mapped = view != nullptr && MapUserPhysicalPages(view, pages_received, aPFNs);
    }

    if (got && mapped && pages_received >= pages_requested) return static_cast<uint8_t*>(view);

    if (!got || !mapped) {
        err_printf(L":: AWE %9u MB physical RAM at: 0x%016" PRIxPTR L"\n",
                   static_cast<unsigned>(page * pages_received / mebibyte),
                   reinterpret_cast<uintptr_t>(view));
    }
    err_printf(L"\n");
    err_printf(L"Memory to request for PFN array\t%8" PRIu64 L" KB\taPFNs [0x%08" PRIxPTR L"]\n",
               pfn_array_bytes / 1024, reinterpret_cast<uintptr_t>(aPFNs));
    err_printf(L"Requested number of pages\t%8" PRIu64 L"\tRequested %5u MB\n", pages_requested,
               static_cast<unsigned>(page * pages_requested / mebibyte));
    err_printf(L"Received  number of pages\t%8" PRIu64 L"\tReceived  %5u MB\n", pages_received,
               static_cast<unsigned>(page * pages_received / mebibyte));
    err_printf(L"AllocateUserPhysicalPages\t%8ls\tpage size %5u bytes\n",
               got ? L"[OK]" : L"[FAILED]", static_cast<unsigned>(page));
    err_printf(L"MapUserPhysicalPages\t\t%8ls\n", mapped ? L"[OK]" : L"[FAILED]");

    if (view != nullptr) {
        MapUserPhysicalPages(view, pages_received, nullptr);
        VirtualFree(view, 0, MEM_RELEASE);
    }
    if (aPFNs != nullptr) {
        // The array lists pages only when the request succeeded; after a refusal it holds
        // whatever the heap left there, which must not be handed back as page numbers.
        if (got) {
            ULONG_PTR pages = pages_received;
            FreeUserPhysicalPages(process, &pages, aPFNs);
            pages_received = pages;
        }
        HeapFree(GetProcessHeap(), 0, aPFNs);
    }
    aPFNs = nullptr;
    return nullptr;
}

int K_RAM::release() {
    if (base == nullptr) return -1;
    total_size = block_size * count;
    // Block data may be sensitive; wipe what the arena can still write before giving it back.
    if (physical || locked) std::memset(base, 0, total_size);
    if (physical) {
        ULONG_PTR pages = pages_received;
        MapUserPhysicalPages(base, pages, nullptr);
        VirtualFree(base, 0, MEM_RELEASE);
        FreeUserPhysicalPages(process, &pages, aPFNs);
        HeapFree(GetProcessHeap(), 0, aPFNs);
        aPFNs = nullptr;
        base = nullptr;
    } else {
        if (locked) VirtualUnlock(base, total_size);
        _aligned_free(base);
        base = nullptr;
    }
    if (token != nullptr) CloseHandle(token);
    token = nullptr;
    return 0;
}
