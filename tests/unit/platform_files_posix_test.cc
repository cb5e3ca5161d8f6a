// File handles of the Linux layer on real files: the codes tally relies on, unbuffered
// alignment, re-opened handles, file types and the fault seam.
#include <gtest/gtest.h>
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/fault.h"
#include "scratch_dir.h"

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD tally_flags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS |
                              FILE_ATTRIBUTE_NORMAL;

HANDLE open_name(const std::wstring& name, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(name.c_str(), access, share_all, nullptr, disposition, flags | tally_flags,
                       nullptr);
}

/// A buffer aligned for unbuffered transfers, freed at scope end.
struct aligned_buffer {
    void* data = nullptr;
    explicit aligned_buffer(size_t size) {
        if (posix_memalign(&data, 4096, size) != 0) data = nullptr;
        std::memset(data, 'x', size);
    }
    ~aligned_buffer() { std::free(data); }
    char* bytes() { return static_cast<char*>(data); }
};

class platform_files : public ::testing::Test {
protected:
    scratch_dir dir;
    void TearDown() override { platform_fault_clear(); }
};

TEST_F(platform_files, create_always_tells_a_new_file_from_a_replaced_one) {
    SetLastError(99);
    HANDLE h = open_name(dir.name("out.wav"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abcdef", 6, &written, nullptr));
    EXPECT_EQ(written, 6u);
    EXPECT_TRUE(CloseHandle(h));

    h = open_name(dir.name("out.wav"), GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(dir.content("out.wav"), "");  // replaced means truncated
}

TEST_F(platform_files, dispositions_give_the_windows_codes) {
    dir.file("old", "data");
    struct disposition_case {
        const char* leaf;
        DWORD disposition;
        DWORD access;
        bool opens;
        DWORD code;  // last error after the call
    };
    const disposition_case cases[] = {
        {"old", CREATE_NEW, GENERIC_WRITE, false, ERROR_FILE_EXISTS},
        {"new1", CREATE_NEW, GENERIC_WRITE, true, 0},
        {"old", OPEN_ALWAYS, GENERIC_READ, true, ERROR_ALREADY_EXISTS},
        {"new2", OPEN_ALWAYS, GENERIC_READ, true, 0},
        {"missing", OPEN_EXISTING, GENERIC_READ, false, ERROR_FILE_NOT_FOUND},
        {"missing", TRUNCATE_EXISTING, GENERIC_WRITE, false, ERROR_FILE_NOT_FOUND},
        {"old", TRUNCATE_EXISTING, GENERIC_READ, false, ERROR_INVALID_PARAMETER},
        {"no_dir/file", OPEN_EXISTING, GENERIC_READ, false, ERROR_PATH_NOT_FOUND},
        {"no_dir/file", CREATE_ALWAYS, GENERIC_WRITE, false, ERROR_PATH_NOT_FOUND},
        {"old/file", OPEN_EXISTING, GENERIC_READ, false, ERROR_PATH_NOT_FOUND},
        {"old", 99, GENERIC_READ, false, ERROR_INVALID_PARAMETER},
    };
    for (const disposition_case& c : cases) {
        HANDLE h = open_name(dir.name(c.leaf), c.access, c.disposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens) << c.leaf << " " << c.disposition;
        EXPECT_EQ(GetLastError(), c.code) << c.leaf << " " << c.disposition;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    EXPECT_EQ(dir.content("old"), "data");
    // An empty name is a missing path, as on Windows.
    EXPECT_EQ(CreateFileW(L"", GENERIC_READ, share_all, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(platform_files, read_gives_the_bytes_then_true_with_zero_at_the_end) {
    HANDLE h = open_name(dir.file("in", "hello"), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[16];
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "hello");
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    // A read-only handle refuses writes the way Windows does.
    DWORD written = 9;
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(written, 0u);
    CloseHandle(h);
}

TEST_F(platform_files, unbuffered_write_of_a_partial_sector_fails_with_87) {
    HANDLE h = open_name(dir.name("out"), GENERIC_WRITE, CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    aligned_buffer block(8192);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, block.data, 8192, &written, nullptr));
    EXPECT_EQ(written, 8192u);
    EXPECT_FALSE(WriteFile(h, block.data, 1000, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(WriteFile(h, block.bytes() + 1, 4096, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // Nothing to write is no transfer at all, so it succeeds.
    EXPECT_TRUE(WriteFile(h, block.data, 0, &written, nullptr));

    // The unaligned tail goes through a buffered re-open at the same position, as tally does.
    LARGE_INTEGER zero{}, position{};
    ASSERT_TRUE(SetFilePointerEx(h, zero, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, 8192);
    HANDLE tail = ReOpenFile(h, FILE_GENERIC_READ | FILE_GENERIC_WRITE, share_all,
                             FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(tail, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFilePointerEx(tail, position, nullptr, FILE_BEGIN));
    ASSERT_TRUE(WriteFile(tail, block.data, 1000, &written, nullptr));
    EXPECT_EQ(written, 1000u);
    EXPECT_TRUE(CloseHandle(tail));
    // The re-opened handle moved its own position only.
    ASSERT_TRUE(SetFilePointerEx(h, zero, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, 8192);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 9192);
    CloseHandle(h);
}

TEST_F(platform_files, unbuffered_read_must_be_sector_aligned) {
    dir.file("in", std::string(10000, 'a'));
    HANDLE h = open_name(dir.name("in"), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    aligned_buffer block(16384);
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(h, block.data, 100, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // A whole block asked for gets the short rest of the file.
    ASSERT_TRUE(ReadFile(h, block.data, 16384, &got, nullptr));
    EXPECT_EQ(got, 10000u);
    CloseHandle(h);
}

TEST_F(platform_files, reopen_has_its_own_position_and_is_buffered) {
    HANDLE h = open_name(dir.file("in", "0123456789"), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[4];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(h, buffer, 4, &got, nullptr));
    HANDLE again = ReOpenFile(h, GENERIC_READ, share_all, 0);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(ReadFile(again, buffer, 3, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "012");
    ASSERT_TRUE(ReadFile(h, buffer, 3, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "456");
    CloseHandle(again);
    CloseHandle(h);
    EXPECT_EQ(ReOpenFile(h, GENERIC_READ, share_all, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(platform_files, positions_sizes_and_end_of_file) {
    HANDLE h = open_name(dir.name("f"), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    LARGE_INTEGER to{}, at{};
    to.QuadPart = -3;
    ASSERT_TRUE(SetFilePointerEx(h, to, &at, FILE_END));
    EXPECT_EQ(at.QuadPart, 7);
    ASSERT_TRUE(SetEndOfFile(h));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 7);
    to.QuadPart = -1;
    EXPECT_FALSE(SetFilePointerEx(h, to, &at, FILE_BEGIN));
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_FALSE(SetFilePointerEx(h, to, &at, 7));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(h);
}

TEST_F(platform_files, directories_open_with_backup_semantics_but_do_not_transfer) {
    std::wstring sub = dir.name("sub");
    ASSERT_EQ(mkdir(dir.path.string().append("/sub").c_str(), 0755), 0);
    HANDLE h = open_name(sub, GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), FILE_TYPE_DISK);
    char buffer[8];
    DWORD got = 0;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(h);
    // Without backup semantics, and when it is to be replaced, a directory is access denied.
    EXPECT_EQ(CreateFileW(sub.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(open_name(sub, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Opened for writing it opens, and a write fails.
    h = open_name(sub, GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(WriteFile(h, "x", 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    CloseHandle(h);
}

TEST_F(platform_files, pipes_have_the_pipe_type_and_end_as_on_windows) {
    std::wstring name = dir.name("fifo");
    ASSERT_EQ(mkfifo(dir.path.string().append("/fifo").c_str(), 0600), 0);
    // Held open for both directions first, so neither single-direction open blocks.
    HANDLE both = open_name(name, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(both, INVALID_HANDLE_VALUE);
    HANDLE reader = open_name(name, GENERIC_READ, OPEN_EXISTING);
    HANDLE writer = open_name(name, GENERIC_WRITE, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(both));
    EXPECT_EQ(GetFileType(reader), FILE_TYPE_PIPE);
    EXPECT_EQ(GetLastError(), 0u);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(writer, "ab", 2, &n, nullptr));
    ASSERT_TRUE(CloseHandle(writer));
    char buffer[4];
    ASSERT_TRUE(ReadFile(reader, buffer, 4, &n, nullptr));
    EXPECT_EQ(n, 2u);
    // The end of a pipe is ERROR_BROKEN_PIPE on Windows, not a read of 0 bytes.
    EXPECT_FALSE(ReadFile(reader, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    ASSERT_TRUE(CloseHandle(reader));
}

TEST_F(platform_files, std_handles_are_a_table_and_close_checks_its_handle) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    EXPECT_NE(GetStdHandle(STD_INPUT_HANDLE), nullptr);
    EXPECT_NE(out, err);
    ASSERT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, err));
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), err);
    ASSERT_TRUE(SetStdHandle(STD_OUTPUT_HANDLE, out));
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out);

    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE h = open_name(dir.file("f", "x"), GENERIC_READ, OPEN_EXISTING);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    char c;
    DWORD n;
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(platform_files, fault_seam_fails_the_named_call_on_the_named_file_only) {
    HANDLE a = open_name(dir.file("take_a.wav", "aaaa"), GENERIC_READ, OPEN_EXISTING);
    HANDLE b = open_name(dir.file("take_b.wav", "bbbb"), GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(platform_fault_arm({"ReadFile", L"take_b", 2, ERROR_IO_DEVICE, false}));
    char buffer[2];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(b, buffer, 2, &n, nullptr));  // first matching call passes
    EXPECT_TRUE(ReadFile(a, buffer, 2, &n, nullptr));  // other file, not counted
    EXPECT_FALSE(ReadFile(b, buffer, 2, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(ReadFile(b, buffer, 2, &n, nullptr));  // not repeated: the bytes are still there
    EXPECT_EQ(std::string(buffer, n), "bb");
    CloseHandle(a);
    CloseHandle(b);

    ASSERT_TRUE(platform_fault_arm({"CreateFileW", L"take_a", 1, ERROR_SHARING_VIOLATION, false}));
    EXPECT_EQ(open_name(dir.name("take_a.wav"), GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

}  // namespace
