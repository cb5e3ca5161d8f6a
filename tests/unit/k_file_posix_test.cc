// K_FILE paths that a real system does not take on demand, driven through the fault seam.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

// A refused create becomes an open of the existing file, written in place from its start.
TEST_F(k_file_fault_test, refused_create_is_retried_as_open_existing) {
    const std::wstring name = dir.file("keep.wav", "abcdef");
    fail_creates(L"keep.wav", ERROR_ACCESS_DENIED, 0);
    console_capture capture;
    K_FILE f;
    ASSERT_EQ(f.open(name.c_str(), GENERIC_WRITE, CREATE_ALWAYS, 0), 0u);
    EXPECT_TRUE(f.is_open);
    EXPECT_EQ(f.error, 0u) << "the retry is no create, so no replaced-file code";
    EXPECT_EQ(f.write("XY", 2), 2u);
    EXPECT_EQ(f.close(), 0u);
    EXPECT_EQ(dir.content("keep.wav"), "XYcdef") << "not truncated: the tail stays";
    EXPECT_TRUE(capture.text.empty()) << "a successful retry reports nothing";
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
