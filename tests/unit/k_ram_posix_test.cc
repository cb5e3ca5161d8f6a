// The buffer arena's two paths and every failure it reports, through the Linux layer's fault
// seam. The lock-memory right is granted to the process for the physical path (the machine's
// memory-lock limit cannot be lifted from a test).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cinttypes>
#include <cstring>
#include <cwchar>
#include <string>

#include "console_capture.h"
#include "platform/fault.h"
#include "platform/privileges.h"
#include "support/k_ram.h"

namespace {

constexpr uint64_t mebibyte = 1u << 20;
const std::wstring physical_failed = L"!! Failed to allocate physical RAM, the feature will be disabled!";

class k_ram_paths : public ::testing::Test {
protected:
    void SetUp() override {
        platform_fault_clear();
        bool has_minimum = false;
        block = K_RAM::large_page_minimum(&has_minimum);
        if (!has_minimum) GTEST_SKIP() << "the system reports no large-page minimum";
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        page = info.dwPageSize;
        platform_assume_lock_memory_right(true);
    }
    void TearDown() override {
        platform_fault_clear();
        platform_assume_lock_memory_right(false);
    }

    static void arm(const char* call, unsigned nth, DWORD error) {
        ASSERT_TRUE(platform_fault_arm({call, nullptr, nth, error, false}));
    }

    /// The fallback region that a failed physical attempt must leave behind.
    void expect_fallback(const K_RAM& ram) {
        EXPECT_FALSE(ram.physical);
        ASSERT_NE(ram.base, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(ram.base) % ram.block_size, 0u);
        EXPECT_EQ(ram.aPFNs, nullptr);
    }

    /// The diagnostics of a failed physical attempt for a region of `count` blocks.
    std::wstring detail_lines(uint64_t count, uint64_t received, uintptr_t pfns, bool got,
                              bool mapped) const {
        const uint64_t requested = count * block / page;
        wchar_t text[1024];
        swprintf(text, 1024,
                 L"\n"
                 L"Memory to request for PFN array\t%8" PRIu64 L" KB\taPFNs [0x%08" PRIxPTR L"]\n"
                 L"Requested number of pages\t%8" PRIu64 L"\tRequested %5u MB\n"
                 L"Received  number of pages\t%8" PRIu64 L"\tReceived  %5u MB\n"
                 L"AllocateUserPhysicalPages\t%8ls\tpage size %5u bytes\n"
                 L"MapUserPhysicalPages\t\t%8ls\n",
                 requested * 8 / 1024, pfns, requested,
                 static_cast<unsigned>(requested * page / mebibyte), received,
                 static_cast<unsigned>(received * page / mebibyte), got ? L"[OK]" : L"[FAILED]",
                 static_cast<unsigned>(page), mapped ? L"[OK]" : L"[FAILED]");
        return text;
    }

    static std::wstring awe_line(uint64_t megabytes, uintptr_t view) {
        wchar_t text[128];
        swprintf(text, 128, L":: AWE %9u MB physical RAM at: 0x%016" PRIxPTR L"\n",
                 static_cast<unsigned>(megabytes), view);
        return text;
    }

    static std::wstring report_head(DWORD code) {
        return physical_failed + L"\n   ^ERROR: " + std::to_wstring(code) + L", ";
    }

    /// The hexadecimal number after `marker` in `text` (an address the test cannot know).
    static uintptr_t address_after(const std::wstring& text, const wchar_t* marker) {
        size_t at = text.find(marker);
        if (at == std::wstring::npos) return 0;
        return static_cast<uintptr_t>(std::wcstoull(text.c_str() + at + wcslen(marker), nullptr, 16));
    }

    uint64_t block = 0;
    uint64_t page = 0;
    console_capture capture;
};

// With the right held, the region is physical pages in a 64 KiB-aligned view, silently; the
// pages keep what is written through the view until release.
TEST_F(k_ram_paths, physical_region_when_right_held) {
    K_RAM ram;
    ASSERT_EQ(ram.allocate(4), 0);
    ASSERT_TRUE(ram.physical);
    EXPECT_FALSE(ram.locked);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(ram.base) % 65536, 0u);
    EXPECT_EQ(ram.pages_requested, 4 * block / page);
    EXPECT_EQ(ram.pages_received, ram.pages_requested);
    EXPECT_EQ(ram.pfn_array_bytes, ram.pages_requested * 8);
    ASSERT_NE(ram.aPFNs, nullptr);
    for (uint64_t i = 0; i < ram.total_size; i += page) ram.base[i] = static_cast<uint8_t>(i / page);
    for (uint64_t i = 0; i < ram.total_size; i += page) {
        ASSERT_EQ(ram.base[i], static_cast<uint8_t>(i / page));
    }
    EXPECT_TRUE(capture.progress.empty());
    EXPECT_EQ(ram.release(), 0);
    EXPECT_TRUE(ram.physical);
    EXPECT_EQ(ram.aPFNs, nullptr);
    EXPECT_EQ(ram.release(), -1);
}

// Request refused: the AWE line with the size as the request left it and the view address,
// the detail lines, the report, then the fallback. The array lists no pages, so mapping it
// fails too, and its ERROR_INVALID_PARAMETER is the last error at the report.
TEST_F(k_ram_paths, refused_request_prints_awe_line_details_and_report) {
    arm("AllocateUserPhysicalPages", 1, ERROR_NO_SYSTEM_RESOURCES);
    K_RAM ram;
    ASSERT_EQ(ram.allocate(4), 0);
    expect_fallback(ram);
    const std::wstring& out = capture.progress;
    const uintptr_t view = address_after(out, L"physical RAM at: 0x");
    const uintptr_t pfns = address_after(out, L"aPFNs [0x");
    EXPECT_NE(view, 0u);
    EXPECT_EQ(view % 65536, 0u);
    EXPECT_NE(pfns, 0u);
    const uint64_t pages = 4 * block / page;
    const std::wstring expected = awe_line(4 * block / mebibyte, view) +
                                  detail_lines(4, pages, pfns, false, false) +
                                  report_head(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(out.compare(0, expected.size(), expected), 0) << std::string(out.begin(), out.end());
    EXPECT_TRUE(capture.text.empty());
}

// Fewer pages granted than asked, though request and mapping succeeded: no AWE line, "[OK]"
// twice, the report, then the fallback; the granted pages are given back.
TEST_F(k_ram_paths, partial_grant_prints_details_without_awe_line) {
    arm("AllocateUserPhysicalPages", 1, 0);  // code 0: half the pages
    K_RAM ram;
    ASSERT_EQ(ram.allocate(4), 0);
    expect_fallback(ram);
    const uint64_t pages = 4 * block / page;
    EXPECT_EQ(ram.pages_received, pages / 2);
    const std::wstring& out = capture.progress;
    const uintptr_t pfns = address_after(out, L"aPFNs [0x");
    const std::wstring expected = detail_lines(4, pages / 2, pfns, true, true) + report_head(0);
    EXPECT_EQ(out.compare(0, expected.size(), expected), 0) << std::string(out.begin(), out.end());
    // Every page came back: a physical region of the full size is granted again.
    K_RAM again;
    ASSERT_EQ(again.allocate(4), 0);
    EXPECT_TRUE(again.physical);
}

// No page-frame array: no request is made, so every number is the requested one, both
// addresses are zero, and both calls read "[FAILED]".
TEST_F(k_ram_paths, pfn_array_not_allocated) {
    arm("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    K_RAM ram;
    ASSERT_EQ(ram.allocate(4), 0);
    expect_fallback(ram);
    const uint64_t pages = 4 * block / page;
    const std::wstring expected = awe_line(4 * block / mebibyte, 0) +
                                  detail_lines(4, pages, 0, false, false) +
                                  report_head(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(capture.progress.compare(0, expected.size(), expected), 0)
        << std::string(capture.progress.begin(), capture.progress.end());
    if (block == 2097152 && page == 4096) {
        // The figures of three inputs with 2 MB blocks and 4 KiB pages, spelled out.
        EXPECT_EQ(capture.progress.substr(0, 80),
                  L":: AWE         8 MB physical RAM at: 0x0000000000000000\n"
                  L"\nMemory to request for P");
        EXPECT_NE(capture.progress.find(L"\t      16 KB\taPFNs [0x00000000]\n"), std::wstring::npos);
        EXPECT_NE(capture.progress.find(L"Requested number of pages\t    2048\tRequested     8 MB\n"),
                  std::wstring::npos);
        EXPECT_NE(capture.progress.find(L"AllocateUserPhysicalPages\t[FAILED]\tpage size  4096 bytes\n"),
                  std::wstring::npos);
    }
}

// Pages granted but not mapped (mapping refused, or no view to map into): the AWE line, "[OK]"
// then "[FAILED]", the report with the code of the failure, the fallback; the pages come back.
TEST_F(k_ram_paths, mapping_failed_or_no_view) {
    struct mapping_case {
        const char* call;
        DWORD code;
        bool view_reserved;
    };
    const mapping_case cases[] = {{"MapUserPhysicalPages", ERROR_INVALID_PARAMETER, true},
                                  {"VirtualAlloc", ERROR_NOT_ENOUGH_MEMORY, false}};
    for (const mapping_case& c : cases) {
        SCOPED_TRACE(c.call);
        platform_fault_clear();
        capture.progress.clear();
        arm(c.call, 1, c.code);
        K_RAM ram;
        ASSERT_EQ(ram.allocate(4), 0);
        expect_fallback(ram);
        const std::wstring& out = capture.progress;
        const uintptr_t view = address_after(out, L"physical RAM at: 0x");
        const uintptr_t pfns = address_after(out, L"aPFNs [0x");
        EXPECT_EQ(view != 0, c.view_reserved);
        const uint64_t pages = 4 * block / page;
        const std::wstring expected = awe_line(4 * block / mebibyte, view) +
                                      detail_lines(4, pages, pfns, true, false) +
                                      report_head(c.code);
        EXPECT_EQ(out.compare(0, expected.size(), expected), 0)
            << std::string(out.begin(), out.end());
        platform_fault_clear();
        K_RAM again;
        ASSERT_EQ(again.allocate(4), 0);
        EXPECT_TRUE(again.physical);
    }
}

// Whatever keeps the physical path from being tried changes the path silently.
TEST_F(k_ram_paths, silent_fallback_without_minimum_token_or_privilege) {
    struct silent_case {
        const char* call;
        bool has_minimum;
    };
    const silent_case cases[] = {
        {"LoadLibraryExW", false},       {"GetProcAddress", false},
        {"GetLargePageMinimum", false},  {"OpenProcessToken", true},
        {"LookupPrivilegeValueW", true}, {"AdjustTokenPrivileges", true},
    };
    for (const silent_case& c : cases) {
        SCOPED_TRACE(c.call);
        platform_fault_clear();
        arm(c.call, 1, ERROR_ACCESS_DENIED);
        K_RAM ram;
        ASSERT_EQ(ram.allocate(3), 0);
        expect_fallback(ram);
        EXPECT_EQ(ram.block_size, c.has_minimum ? block : 2097152u);
        EXPECT_EQ(ram.pages_requested, 0u);
        EXPECT_TRUE(capture.progress.empty());
    }
}

// An account without the lock-memory right: the adjustment succeeds but leaves
// ERROR_NOT_ALL_ASSIGNED, and the arena takes the fallback without a word.
TEST_F(k_ram_paths, account_without_right_takes_fallback_silently) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_MEMLOCK, &limit), 0);
    if (limit.rlim_cur == RLIM_INFINITY) GTEST_SKIP() << "this process may lock without limit";
    platform_assume_lock_memory_right(false);
    K_RAM ram;
    ASSERT_EQ(ram.allocate(4), 0);
    expect_fallback(ram);
    EXPECT_EQ(ram.pages_requested, 0u);
    EXPECT_TRUE(capture.progress.empty());

    // The adjustment itself succeeds and leaves ERROR_NOT_ALL_ASSIGNED; with the right it
    // leaves 0.
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_LOCK_MEMORY_NAME, &privileges.Privileges[0].Luid));
    SetLastError(5);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 0u + ERROR_NOT_ALL_ASSIGNED);
    platform_assume_lock_memory_right(true);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_TRUE(CloseHandle(token));
    LUID luid{};
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, L"SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), 0u + ERROR_NO_SUCH_PRIVILEGE);
}

// Lock refused: the region is used unlocked; release frees it all the same.
TEST_F(k_ram_paths, lock_refused_leaves_region_unlocked) {
    platform_assume_lock_memory_right(false);
    arm("VirtualLock", 1, ERROR_WORKING_SET_QUOTA);
    K_RAM ram;
    ASSERT_EQ(ram.allocate(4), 0);
    expect_fallback(ram);
    EXPECT_FALSE(ram.locked);
    EXPECT_TRUE(capture.progress.empty());
    EXPECT_EQ(ram.release(), 0);
    EXPECT_EQ(ram.release(), -1);
}

// No memory at all: the two-line report on standard error, -1, and nothing to release.
TEST_F(k_ram_paths, aligned_allocation_failure_is_reported) {
    platform_assume_lock_memory_right(false);
    arm("_aligned_malloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    K_RAM ram;
    EXPECT_EQ(ram.allocate(4), -1);
    EXPECT_EQ(ram.base, nullptr);
    EXPECT_FALSE(ram.locked);
    const std::wstring head = L"!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 8, ";
    EXPECT_EQ(capture.progress.compare(0, head.size(), head), 0)
        << std::string(capture.progress.begin(), capture.progress.end());
    EXPECT_TRUE(capture.text.empty());
    EXPECT_EQ(ram.release(), -1);
}

// A physical attempt that fails and a fallback that cannot allocate either: both reports.
TEST_F(k_ram_paths, physical_and_fallback_both_failing_report_twice) {
    arm("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    arm("_aligned_malloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    K_RAM ram;
    EXPECT_EQ(ram.allocate(2), -1);
    EXPECT_EQ(ram.base, nullptr);
    EXPECT_NE(capture.progress.find(report_head(ERROR_NOT_ENOUGH_MEMORY)), std::wstring::npos);
    EXPECT_NE(capture.progress.find(L"!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 8, "),
              std::wstring::npos);
}

}  // namespace
