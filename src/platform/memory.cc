// Memory, modules and system information: the kernel32 calls of the buffer arena over POSIX.
// Physical pages (AWE) are emulated with one in-memory file: a page-frame number is a page
// offset in that file, and mapping pages means mapping those file pages into a reserved view.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/errno_map.h"
#include "platform/fault.h"
#include "platform/privileges.h"

namespace {

// Windows places every reservation on a 64 KiB boundary.
constexpr size_t allocation_granularity = 65536;
// Alignments from this size on ask for transparent huge pages: unbuffered writes from 4 KiB
// pages cost about three times as much as from 2 MiB pages.
constexpr size_t huge_page_alignment = 2u << 20;

char kernel32_tag;
char process_heap_tag;
HMODULE const kernel32_module = &kernel32_tag;

/// False with the armed fault's code as last error when `call` must fail.
bool fault(const char* call, const wchar_t* name) {
    DWORD error = 0;
    if (!platform_fault_check(call, name, &error)) return false;
    SetLastError(error);
    return true;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

size_t round_up(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

// Reservations made by VirtualAlloc, so that VirtualFree knows their size and the physical-page
// calls know which views take physical pages.
struct view {
    uint8_t* base;
    size_t size;
    bool physical;
};

constexpr unsigned max_views = 16;
view views[max_views];

/// The reservation that starts at `base`, or a free slot when `base` is null.
view* view_at(const void* base) {
    for (view& v : views) {
        if (v.base == base) return &v;
    }
    return nullptr;
}

/// The physical view that holds [address, address + bytes), or null.
view* physical_view_holding(const uint8_t* address, size_t bytes) {
    for (view& v : views) {
        if (v.base == nullptr || !v.physical) continue;
        if (address >= v.base && bytes <= v.size &&
            static_cast<size_t>(address - v.base) <= v.size - bytes) {
            return &v;
        }
    }
    return nullptr;
}

// Granted physical pages: each grant is a run of page-frame numbers in the pool file. Numbers
// start at 1, so an array of zeros never names a page.
struct grant {
    ULONG_PTR first;
    ULONG_PTR count;
    ULONG_PTR live;  // pages of the run not yet freed; 0 when the slot is free
};

constexpr unsigned max_grants = 16;
grant grants[max_grants];
int pool_fd = -1;
ULONG_PTR next_pfn = 1;

grant* grant_holding(ULONG_PTR pfn) {
    for (grant& g : grants) {
        if (g.live != 0 && pfn >= g.first && pfn - g.first < g.count) return &g;
    }
    return nullptr;
}

bool all_granted(ULONG_PTR pages, const ULONG_PTR* pfns) {
    for (ULONG_PTR i = 0; i < pages; ++i) {
        if (grant_holding(pfns[i]) == nullptr) return false;
    }
    return true;
}

/// Length of the run of consecutive page-frame numbers that starts at pfns[0].
ULONG_PTR run_length(ULONG_PTR pages, const ULONG_PTR* pfns) {
    ULONG_PTR n = 1;
    while (n < pages && pfns[n] == pfns[0] + n) ++n;
    return n;
}

/// Reserves `bytes` of inaccessible address space on an allocation-granularity boundary.
uint8_t* reserve_aligned(size_t bytes, int protection) {
    size_t span = bytes + allocation_granularity;
    void* raw = mmap(nullptr, span, protection, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    auto* start = static_cast<uint8_t*>(raw);
    auto* base = reinterpret_cast<uint8_t*>(round_up(reinterpret_cast<uintptr_t>(start),
                                                     allocation_granularity));
    if (base > start) munmap(start, static_cast<size_t>(base - start));
    size_t tail = static_cast<size_t>(start + span - (base + bytes));
    if (tail > 0) munmap(base + bytes, tail);
    return base;
}

}  // namespace

/// kernel32: the page size and the allocation granularity (64 KiB, as Windows).
void WINAPI GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
    std::memset(lpSystemInfo, 0, sizeof *lpSystemInfo);
    lpSystemInfo->wProcessorArchitecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64
    lpSystemInfo->dwPageSize = static_cast<DWORD>(page_size());
    lpSystemInfo->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(allocation_granularity);
    lpSystemInfo->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(0x7ffffffeffffull);
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    lpSystemInfo->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
    lpSystemInfo->dwActiveProcessorMask =
        cpus >= 64 ? ~ULONG_PTR{0} : (ULONG_PTR{1} << lpSystemInfo->dwNumberOfProcessors) - 1;
    lpSystemInfo->dwProcessorType = 8664;  // PROCESSOR_AMD_X8664
    lpSystemInfo->dwAllocationGranularity = static_cast<DWORD>(allocation_granularity);
}

/// kernel32: only "kernel32.dll" is known here, for its optional entry points; other modules
/// give ERROR_MOD_NOT_FOUND.
HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    (void)dwFlags;
    if (fault("LoadLibraryExW", lpLibFileName)) return nullptr;
    if (lpLibFileName == nullptr || hFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (wcscasecmp(lpLibFileName, L"kernel32.dll") != 0 &&
        wcscasecmp(lpLibFileName, L"kernel32") != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return kernel32_module;
}

/// kernel32: the entry point "GetLargePageMinimum" of kernel32; other names give
/// ERROR_PROC_NOT_FOUND.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (fault("GetProcAddress", nullptr)) return nullptr;
    if (hModule != kernel32_module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // A "name" below 64 Ki is an ordinal; this module exports none by ordinal.
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000 ||
        std::strcmp(lpProcName, "GetLargePageMinimum") != 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(&GetLargePageMinimum);
}

/// kernel32: releases a module from LoadLibraryExW; kernel32 stays loaded.
BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (fault("FreeLibrary", nullptr)) return FALSE;
    return hLibModule == kernel32_module ? TRUE : fail(ERROR_MOD_NOT_FOUND);
}

/// kernel32: the large-page size, here the huge-page size of /proc/meminfo ("Hugepagesize"),
/// or 0 where the system has none.
SIZE_T WINAPI GetLargePageMinimum(void) {
    if (fault("GetLargePageMinimum", nullptr)) return 0;
    int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[8192];
    size_t used = 0;
    ssize_t n = 0;
    while (used < sizeof text - 1 && (n = read(fd, text + used, sizeof text - 1 - used)) > 0) {
        used += static_cast<size_t>(n);
    }
    close(fd);
    text[used] = '\0';
    const char* line = std::strstr(text, "Hugepagesize:");
    if (line == nullptr) return 0;
    SIZE_T kib = std::strtoull(line + std::strlen("Hugepagesize:"), nullptr, 10);
    return kib * 1024;
}

/// kernel32: the pseudo-handle of the current process, (HANDLE)-1 as on Windows.
HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(intptr_t{-1}); }

/// kernel32: the process heap, the C runtime's heap here.
HANDLE WINAPI GetProcessHeap(void) { return &process_heap_tag; }

/// kernel32: a block of the process heap; HEAP_ZERO_MEMORY zero-fills it.
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (fault("HeapAlloc", nullptr)) return nullptr;
    if (hHeap != &process_heap_tag) return nullptr;
    size_t bytes = dwBytes != 0 ? dwBytes : 1;  // Windows hands out a block for 0 bytes too
    // Like Windows, a failed allocation leaves the last error as it was.
    return (dwFlags & HEAP_ZERO_MEMORY) != 0 ? std::calloc(1, bytes) : std::malloc(bytes);
}

/// kernel32: frees a block of HeapAlloc.
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
    (void)dwFlags;
    if (fault("HeapFree", nullptr)) return FALSE;
    if (hHeap != &process_heap_tag) return fail(ERROR_INVALID_HANDLE);
    std::free(lpMem);
    return TRUE;
}

/// kernel32: MEM_RESERVE | MEM_PHYSICAL reserves a view for physical pages; MEM_COMMIT (with or
/// without MEM_RESERVE) gives zeroed read-write memory. Placement at a chosen address is not
/// provided.
LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                           DWORD flProtect) {
    if (fault("VirtualAlloc", nullptr)) return nullptr;
    bool physical = flAllocationType == (MEM_RESERVE | MEM_PHYSICAL);
    bool commit = flAllocationType == MEM_COMMIT || flAllocationType == (MEM_COMMIT | MEM_RESERVE);
    if (lpAddress != nullptr || dwSize == 0 || flProtect != PAGE_READWRITE ||
        (!physical && !commit)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    view* slot = view_at(nullptr);
    if (slot == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t bytes = round_up(dwSize, page_size());
    uint8_t* base = reserve_aligned(bytes, physical ? PROT_NONE : PROT_READ | PROT_WRITE);
    if (base == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    *slot = view{base, bytes, physical};
    return base;
}

/// kernel32: MEM_RELEASE of a whole reservation (size 0), including the pages mapped into it.
BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    if (fault("VirtualFree", nullptr)) return FALSE;
    if (dwFreeType != MEM_RELEASE || dwSize != 0) return fail(ERROR_INVALID_PARAMETER);
    view* v = lpAddress != nullptr ? view_at(lpAddress) : nullptr;  // null would find a free slot
    if (v == nullptr) return fail(ERROR_INVALID_ADDRESS);
    munmap(v->base, v->size);
    *v = view{};
    return TRUE;
}

/// kernel32: locks pages in memory (mlock). The lockable amount is bounded by RLIMIT_MEMLOCK,
/// which SetProcessWorkingSetSize raises; beyond it Windows says ERROR_WORKING_SET_QUOTA.
BOOL WINAPI VirtualLock(LPVOID lpAddress, SIZE_T dwSize) {
    if (fault("VirtualLock", nullptr)) return FALSE;
    if (mlock(lpAddress, dwSize) == 0) return TRUE;
    int err = errno;
    if (err == ENOMEM || err == EAGAIN || err == EPERM) return fail(ERROR_WORKING_SET_QUOTA);
    platform_set_last_errno(err);
    return FALSE;
}

/// kernel32: unlocks pages locked by VirtualLock.
BOOL WINAPI VirtualUnlock(LPVOID lpAddress, SIZE_T dwSize) {
    if (fault("VirtualUnlock", nullptr)) return FALSE;
    if (munlock(lpAddress, dwSize) == 0) return TRUE;
    platform_set_last_errno(errno);
    return FALSE;
}

/// kernel32: the working-set minimum bounds what VirtualLock may lock on Windows; here it raises
/// the soft RLIMIT_MEMLOCK to the minimum, as far as the hard limit allows.
BOOL WINAPI SetProcessWorkingSetSize(HANDLE hProcess, SIZE_T dwMinimumWorkingSetSize,
                                     SIZE_T dwMaximumWorkingSetSize) {
    if (fault("SetProcessWorkingSetSize", nullptr)) return FALSE;
    if (hProcess != GetCurrentProcess()) return fail(ERROR_INVALID_HANDLE);
    constexpr SIZE_T trim = ~SIZE_T{0};  // both -1: trim the working set, nothing to do here
    if (dwMinimumWorkingSetSize == trim && dwMaximumWorkingSetSize == trim) return TRUE;
    if (dwMinimumWorkingSetSize > dwMaximumWorkingSetSize) return fail(ERROR_INVALID_PARAMETER);
    rlimit limit{};
    if (getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return fail(platform_error_from_errno(errno));
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= dwMinimumWorkingSetSize) return TRUE;
    bool enough = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= dwMinimumWorkingSetSize;
    limit.rlim_cur = enough ? dwMinimumWorkingSetSize : limit.rlim_max;
    if (setrlimit(RLIMIT_MEMLOCK, &limit) != 0) return fail(platform_error_from_errno(errno));
    return enough ? TRUE : fail(ERROR_NO_SYSTEM_RESOURCES);
}

/// kernel32 (AWE): grants *NumberOfPages physical pages into PageArray, needing the enabled
/// lock-memory privilege; *NumberOfPages comes back as the number granted. An armed fault with
/// code 0 grants half of the pages, as Windows does when memory runs short.
BOOL WINAPI AllocateUserPhysicalPages(HANDLE hProcess, PULONG_PTR NumberOfPages,
                                      PULONG_PTR PageArray) {
    DWORD injected = 0;
    bool partial = platform_fault_check("AllocateUserPhysicalPages", nullptr, &injected);
    if (partial && injected != 0) return fail(injected);
    if (hProcess != GetCurrentProcess()) return fail(ERROR_INVALID_HANDLE);
    if (NumberOfPages == nullptr || PageArray == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (!platform_lock_memory_enabled()) return fail(ERROR_PRIVILEGE_NOT_HELD);
    ULONG_PTR pages = partial ? *NumberOfPages / 2 : *NumberOfPages;
    if (pages == 0) {
        *NumberOfPages = 0;
        return TRUE;
    }
    grant* slot = nullptr;
    for (grant& g : grants) {
        if (g.live == 0) slot = &g;
    }
    if (slot == nullptr) return fail(ERROR_NO_SYSTEM_RESOURCES);
    if (pool_fd < 0) {
        pool_fd = memfd_create("tally-physical-pages", MFD_CLOEXEC);
        if (pool_fd < 0) return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    size_t page = page_size();
    off_t at = static_cast<off_t>(next_pfn * page);
    off_t bytes = static_cast<off_t>(pages * page);
    // Windows grants real pages: commit them now rather than at first touch.
    if (ftruncate(pool_fd, at + bytes) != 0 || fallocate(pool_fd, 0, at, bytes) != 0) {
        ftruncate(pool_fd, at);
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *slot = grant{next_pfn, pages, pages};
    for (ULONG_PTR i = 0; i < pages; ++i) PageArray[i] = next_pfn + i;
    next_pfn += pages;
    *NumberOfPages = pages;
    return TRUE;
}

/// kernel32 (AWE): maps the listed pages at VirtualAddress inside a physical view, or unmaps
/// that range when PageArray is null.
BOOL WINAPI MapUserPhysicalPages(LPVOID VirtualAddress, ULONG_PTR NumberOfPages,
                                 PULONG_PTR PageArray) {
    if (fault("MapUserPhysicalPages", nullptr)) return FALSE;
    size_t page = page_size();
    auto* address = static_cast<uint8_t*>(VirtualAddress);
    if (reinterpret_cast<uintptr_t>(address) % page != 0 || NumberOfPages > SIZE_MAX / page ||
        physical_view_holding(address, NumberOfPages * page) == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (PageArray == nullptr) {
        if (NumberOfPages == 0) return TRUE;
        void* back = mmap(address, NumberOfPages * page, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
        return back != MAP_FAILED ? TRUE : fail(platform_error_from_errno(errno));
    }
    if (!all_granted(NumberOfPages, PageArray)) return fail(ERROR_INVALID_PARAMETER);
    for (ULONG_PTR i = 0; i < NumberOfPages;) {
        ULONG_PTR run = run_length(NumberOfPages - i, PageArray + i);
        void* at = mmap(address + i * page, run * page, PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_FIXED, pool_fd, static_cast<off_t>(PageArray[i] * page));
        if (at == MAP_FAILED) return fail(platform_error_from_errno(errno));
        i += run;
    }
    return TRUE;
}

/// kernel32 (AWE): gives the listed pages back; *NumberOfPages comes back as the number freed.
BOOL WINAPI FreeUserPhysicalPages(HANDLE hProcess, PULONG_PTR NumberOfPages,
                                  PULONG_PTR PageArray) {
    if (fault("FreeUserPhysicalPages", nullptr)) return FALSE;
    if (hProcess != GetCurrentProcess()) return fail(ERROR_INVALID_HANDLE);
    if (NumberOfPages == nullptr || PageArray == nullptr) return fail(ERROR_INVALID_PARAMETER);
    ULONG_PTR pages = *NumberOfPages;
    if (!all_granted(pages, PageArray)) {
        *NumberOfPages = 0;
        return fail(ERROR_INVALID_PARAMETER);
    }
    size_t page = page_size();
    for (ULONG_PTR i = 0; i < pages;) {
        ULONG_PTR run = run_length(pages - i, PageArray + i);
        fallocate(pool_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(PageArray[i] * page), static_cast<off_t>(run * page));
        for (ULONG_PTR k = 0; k < run; ++k) {
            grant* g = grant_holding(PageArray[i + k]);
            if (g != nullptr) --g->live;
        }
        i += run;
    }
    bool any_live = false;
    for (const grant& g : grants) any_live = any_live || g.live != 0;
    if (!any_live) {
        // Every page is back: start the numbering over so the pool file does not keep growing.
        ftruncate(pool_fd, 0);
        next_pfn = 1;
    }
    return TRUE;
}

/// C runtime: `size` bytes aligned to `alignment`, a power of two (otherwise null with errno
/// EINVAL). Blocks aligned to 2 MiB or more are advised to use transparent huge pages.
void* _aligned_malloc(size_t size, size_t alignment) {
    DWORD injected = 0;
    if (platform_fault_check("_aligned_malloc", nullptr, &injected)) {
        SetLastError(injected);
        errno = ENOMEM;
        return nullptr;
    }
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    void* block = nullptr;
    size_t align = alignment < sizeof(void*) ? sizeof(void*) : alignment;
    if (posix_memalign(&block, align, size != 0 ? size : 1) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        errno = ENOMEM;
        return nullptr;
    }
    if (alignment >= huge_page_alignment && size != 0) {
        madvise(block, round_up(size, page_size()), MADV_HUGEPAGE);  // advice only
    }
    return block;
}

/// C runtime: frees a block of _aligned_malloc.
void _aligned_free(void* memblock) { std::free(memblock); }
