// The Linux layer's error codes: errno values become the codes Windows gives, and every code
// the layer (or its callers) can leave has the Windows message text.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cwchar>
#include <string>

#include "platform/errno_map.h"

namespace {

struct errno_case {
    int err;
    DWORD code;
};

TEST(platform_errno_map, gives_the_windows_code_for_each_situation) {
    const errno_case cases[] = {
        {0, 0},         {ENOENT, 2},     {ENOTDIR, 3},   {EMFILE, 4},    {ENFILE, 4},
        {EACCES, 5},    {EPERM, 5},      {EISDIR, 5},    {EBADF, 6},     {ENOMEM, 8},
        {EROFS, 19},    {ETXTBSY, 32},   {EEXIST, 80},   {EINVAL, 87},   {ENOSPC, 112},
        {EDQUOT, 112},  {ENOSYS, 120},   {ENOTEMPTY, 145}, {EBUSY, 170}, {ENAMETOOLONG, 206},
        {EFBIG, 223},   {EPIPE, 232},    {EFAULT, 998},  {EIO, 1117},    {ELOOP, 1921},
        {EXDEV, 17},    {ENOTSUP, 50},
    };
    for (const errno_case& c : cases) {
        EXPECT_EQ(platform_error_from_errno(c.err), c.code) << "errno " << c.err;
    }
    // An errno without an entry is a plain failure, never success.
    EXPECT_EQ(platform_error_from_errno(EHOSTUNREACH), ERROR_INVALID_FUNCTION);
}

TEST(platform_errno_map, set_last_errno_sets_and_returns_the_code) {
    SetLastError(0);
    EXPECT_EQ(platform_set_last_errno(ENOSPC), ERROR_DISK_FULL);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
}

constexpr DWORD system_flags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;

/// The text FormatMessageW gives for `code` the way tally asks for it; empty when none.
std::wstring system_text(DWORD code, DWORD* length = nullptr) {
    LPWSTR text = nullptr;
    DWORD n = FormatMessageW(system_flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0,
                             nullptr);
    if (length != nullptr) *length = n;
    std::wstring copy = text == nullptr ? std::wstring() : std::wstring(text);
    if (text != nullptr) LocalFree(text);
    return copy;
}

TEST(platform_format_message, every_code_the_layer_produces_has_a_text_with_a_line_break) {
    // The codes of the errno table, of the file and search calls, and of the memory, token
    // and hashing calls of the layer.
    const DWORD codes[] = {0,   1,   2,   3,   4,   5,   6,   8,    14,   17,   18,   19,
                           21,  32,  50,  80,  87,  109, 112, 120,  122,  131,  145,  170,
                           183, 206, 223, 232, 267, 317, 487, 998,  1117, 1142, 1167, 1300,
                           1313, 1314, 1450, 1453, 1455, 1921};
    for (DWORD code : codes) {
        DWORD length = 0;
        std::wstring text = system_text(code, &length);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_EQ(length, text.size()) << code;
        EXPECT_EQ(text.back(), L'\n') << code;
        EXPECT_EQ(text.find(L'\r'), std::wstring::npos) << code;
    }
    for (int err = 0; err < 134; ++err) {
        DWORD code = platform_error_from_errno(err);
        EXPECT_FALSE(system_text(code).empty()) << "errno " << err << " gives " << code;
    }
}

TEST(platform_format_message, texts_are_the_windows_wording) {
    EXPECT_EQ(system_text(2), L"The system cannot find the file specified.\n");
    EXPECT_EQ(system_text(3), L"The system cannot find the path specified.\n");
    EXPECT_EQ(system_text(5), L"Access is denied.\n");
    EXPECT_EQ(system_text(18), L"There are no more files.\n");
    EXPECT_EQ(system_text(87), L"The parameter is incorrect.\n");
    EXPECT_EQ(system_text(112), L"There is not enough space on the disk.\n");
    EXPECT_EQ(system_text(183), L"Cannot create a file when that file already exists.\n");
    EXPECT_EQ(system_text(1300), L"Not all privileges or groups referenced are assigned to the caller.\n");
}

TEST(platform_format_message, unknown_code_gives_nothing_and_317) {
    LPWSTR text = reinterpret_cast<LPWSTR>(0x1);  // must be overwritten with null
    SetLastError(0);
    DWORD n = FormatMessageW(system_flags, nullptr, 0xDEAD, 0, reinterpret_cast<LPWSTR>(&text), 0,
                             nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(GetLastError(), 317u);
}

TEST(platform_format_message, caller_buffer_is_filled_or_refused_when_too_small) {
    wchar_t buffer[64];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             5, 0, buffer, 64, nullptr);
    EXPECT_EQ(n, 18u);
    EXPECT_STREQ(buffer, L"Access is denied.\n");
    n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0,
                       buffer, 5, nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace
