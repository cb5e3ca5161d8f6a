// K_FILE paths that a real system does not take on demand, driven through the fault seam.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "console_capture.h"
#include "platform/fault.h"
#include "scratch_dir.h"
#include "support/k_file.h"

namespace {

size_t count_of(const std::wstring& text, const std::wstring& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class k_file_fault_test : public ::testing::Test {
protected:
    scratch_dir dir;
    std::filesystem::path saved_cwd;

    void SetUp() override {
        platform_fault_clear();
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path);
    }
    void TearDown() override {
        platform_fault_clear();
        std::filesystem::current_path(saved_cwd);
    }
    /// Makes the next CreateFileW calls on names containing `match` fail, in order, with
    /// `first` and then `second` (0: the second call is left alone).
    static void fail_creates(const wchar_t* match, DWORD first, DWORD second) {
        ASSERT_TRUE(platform_fault_arm({"CreateFileW", match, 1, first, false}));
        if (second != 0) {
            ASSERT_TRUE(platform_fault_arm({"CreateFileW", match, 1, second, false}));
        }
    }
};

// A refused create becomes an open of the existing file, which is emptied at once, as the
// create would have done: the file ends where the new data ends.
TEST_F(k_file_fault_test, refused_create_is_retried_as_open_existing_and_empties_the_file) {
    const std::wstring name = dir.file("keep.wav", "abcdef");
    fail_creates(L"keep.wav", ERROR_ACCESS_DENIED, 0);
    console_capture capture;
    K_FILE f;
    ASSERT_EQ(f.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    EXPECT_TRUE(f.is_open);
    EXPECT_EQ(f.error, 0u) << "the retry is no create, so no replaced-file code";
    EXPECT_EQ(dir.content("keep.wav"), "") << "emptied before anything is written";
    EXPECT_EQ(f.write("XY", 2), 2u);
    EXPECT_EQ(f.close(), 0u);
    EXPECT_EQ(dir.content("keep.wav"), "XY") << "no stale tail";
    EXPECT_TRUE(capture.text.empty()) << "a successful retry reports nothing";
}

// A file that the retry opens but cannot empty is not written at all: the open fails with the
// code of the truncation, reported once like any failed open, and the file keeps its bytes.
TEST_F(k_file_fault_test, retried_file_that_cannot_be_emptied_fails_to_open) {
    const std::wstring name = dir.file("sealed.wav", "abcdef");
    fail_creates(L"sealed.wav", ERROR_ACCESS_DENIED, 0);
    ASSERT_TRUE(
        platform_fault_arm({"SetEndOfFile", L"sealed.wav", 1, ERROR_LOCK_VIOLATION, false}));
    console_capture capture;
    K_FILE f;
    EXPECT_EQ(f.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0),
              static_cast<uint32_t>(ERROR_LOCK_VIOLATION));
    EXPECT_FALSE(f.is_open);
    EXPECT_EQ(f.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_LOCK_VIOLATION));
    EXPECT_EQ(count_of(capture.text, L"^ERROR"), 1u) << capture.text;
    EXPECT_EQ(capture.text.rfind(L"open(" + name + L")\n   ^ERROR: 33, ", 0), 0u) << capture.text;
    EXPECT_EQ(dir.content("sealed.wav"), "abcdef");
}

// Which failures are retried: the second injected code shows whether a second attempt ran,
// and only the last attempt's failure is reported.
TEST_F(k_file_fault_test, retry_only_for_a_create_for_writing_refused_otherwise_than_not_found) {
    struct retry_case {
        uint32_t access;
        uint32_t disposition;
        DWORD first;
        uint32_t result;
    };
    const retry_case cases[] = {
        {GENERIC_WRITE, CREATE_ALWAYS, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION},
        {GENERIC_ALL, CREATE_ALWAYS, ERROR_WRITE_PROTECT, ERROR_SHARING_VIOLATION},
        {GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND, ERROR_SHARING_VIOLATION},
        {GENERIC_WRITE, CREATE_ALWAYS, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {GENERIC_WRITE, OPEN_EXISTING, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {GENERIC_READ, CREATE_ALWAYS, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    };
    const std::wstring name = dir.file("x.wav", "abc");
    for (const retry_case& c : cases) {
        platform_fault_clear();
        fail_creates(L"x.wav", c.first, ERROR_SHARING_VIOLATION);
        console_capture capture;
        K_FILE f;
        EXPECT_EQ(f.open(name.c_str(), c.access, c.disposition, 0), c.result)
            << "access " << c.access << " disposition " << c.disposition << " code " << c.first;
        EXPECT_EQ(f.error, c.result);
        EXPECT_FALSE(f.is_open);
        EXPECT_EQ(count_of(capture.text, L"^ERROR"), 1u);
        const std::wstring head =
            L"open(" + name + L")\n   ^ERROR: " + std::to_wstring(c.result) + L", ";
        EXPECT_EQ(capture.text.rfind(head, 0), 0u) << capture.text;
    }
    EXPECT_EQ(dir.content("x.wav"), "abc");
}

// Without a standard handle, a console name is an ordinary file name.
TEST_F(k_file_fault_test, console_name_without_standard_handle_opens_the_file) {
    dir.file("-", "a file named dash");
    ASSERT_TRUE(platform_fault_arm({"GetStdHandle", nullptr, 1, ERROR_INVALID_HANDLE, false}));
    K_FILE f;
    ASSERT_EQ(f.open(L"-", GENERIC_READ, OPEN_EXISTING, 0), 0u);
    char buffer[64];
    uint32_t count = 0;
    ASSERT_TRUE(f.read(buffer, sizeof buffer, &count));
    EXPECT_EQ(std::string(buffer, count), "a file named dash");
}

// On a case-sensitive file system "Con" is just a file in the current directory.
TEST_F(k_file_fault_test, other_cases_of_con_are_files) {
    dir.file("Con", "capital C");
    K_FILE f;
    ASSERT_EQ(f.open(L"Con", GENERIC_READ, OPEN_EXISTING, 0), 0u);
    EXPECT_NE(f.handle, GetStdHandle(STD_INPUT_HANDLE));
    char buffer[64];
    uint32_t count = 0;
    ASSERT_TRUE(f.read(buffer, sizeof buffer, &count));
    EXPECT_EQ(std::string(buffer, count), "capital C");
}

// A pipe delivers a block in pieces and ends with ERROR_BROKEN_PIPE: each read is filled up to
// the length asked for, and the end is a read of what was left, then reads of 0 bytes.
TEST_F(k_file_fault_test, pipe_reads_are_filled_until_full_or_the_end) {
    const std::string fifo = (dir.path / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::wstring name = dir.name("fifo");
    // Held open for both directions first, so neither single-direction open blocks.
    HANDLE both = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 7, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(both, INVALID_HANDLE_VALUE);
    K_FILE f;
    ASSERT_EQ(f.open(name.c_str(), GENERIC_READ, OPEN_EXISTING, 0), 0u);
    EXPECT_TRUE(f.short_reads);
    HANDLE writer = CreateFileW(name.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    CloseHandle(both);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(writer, "ab", 2, &n, nullptr));
    // The rest arrives while the first read waits for it (the result does not depend on when).
    std::thread rest([writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        DWORD put = 0;
        WriteFile(writer, "cd", 2, &put, nullptr);
        WriteFile(writer, "ef", 2, &put, nullptr);
        CloseHandle(writer);
    });
    char buffer[4];
    uint32_t count = 0;
    ASSERT_TRUE(f.read(buffer, 4, &count));
    EXPECT_EQ(std::string(buffer, count), "abcd");
    rest.join();
    ASSERT_TRUE(f.read(buffer, 4, &count)) << "the end of a pipe is no failure";
    EXPECT_EQ(std::string(buffer, count), "ef");
    ASSERT_TRUE(f.read(buffer, 4, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(f.error, 0u);
    EXPECT_EQ(f.close(), 0u);
    EXPECT_FALSE(f.short_reads);
}

// A file on disk is read with one call per read, and a broken-pipe code from it is a failure.
TEST_F(k_file_fault_test, disk_files_read_once_and_broken_pipe_is_their_failure) {
    const std::wstring name = dir.file("disk.wav", "abcdef");
    K_FILE f;
    ASSERT_EQ(f.open(name.c_str(), GENERIC_READ, OPEN_EXISTING, 0), 0u);
    EXPECT_FALSE(f.short_reads);
    ASSERT_TRUE(platform_fault_arm({"ReadFile", L"disk.wav", 1, ERROR_BROKEN_PIPE, false}));
    char buffer[8];
    uint32_t count = 7;
    EXPECT_FALSE(f.read(buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_BROKEN_PIPE));
}

TEST_F(k_file_fault_test, read_and_write_failures_keep_their_codes) {
    const std::wstring name = dir.file("io.wav", "abc");
    K_FILE f;
    ASSERT_EQ(f.open(name.c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0), 0u);
    ASSERT_TRUE(platform_fault_arm({"ReadFile", nullptr, 1, ERROR_READ_FAULT, false}));
    ASSERT_TRUE(platform_fault_arm({"WriteFile", nullptr, 1, ERROR_DISK_FULL, false}));
    char buffer[8];
    uint32_t count = 7;
    EXPECT_FALSE(f.read(buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_READ_FAULT));
    EXPECT_EQ(f.write("x", 1), 0xFFFFFFFFu);
    EXPECT_EQ(f.write_error, static_cast<uint32_t>(ERROR_DISK_FULL));
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_READ_FAULT));
    EXPECT_EQ(f.close(), 0u);
    EXPECT_EQ(f.error, static_cast<uint32_t>(ERROR_READ_FAULT)) << "close keeps the codes";
    EXPECT_EQ(f.write_error, static_cast<uint32_t>(ERROR_DISK_FULL));
}

}  // namespace
