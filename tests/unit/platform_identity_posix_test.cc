// File identity in the Linux layer: handles opened with no access and GetFileInformationByHandle,
// which the run driver uses to tell whether the output is one of the inputs.
#include <gtest/gtest.h>
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/fault.h"
#include "scratch_dir.h"

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// A handle that asks for no access, as an identity query opens it; INVALID_HANDLE_VALUE on
/// failure.
HANDLE query_handle(const std::wstring& name) {
    return CreateFileW(name.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

/// Volume serial number and 64-bit file index of `name`; false when it cannot be opened.
bool identity(const std::wstring& name, BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE h = query_handle(name);
    if (h == INVALID_HANDLE_VALUE) return false;
    const BOOL ok = GetFileInformationByHandle(h, info);
    CloseHandle(h);
    return ok != FALSE;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

class platform_identity : public ::testing::Test {
protected:
    scratch_dir dir;
    void TearDown() override { platform_fault_clear(); }
};

TEST_F(platform_identity, every_spelling_of_a_file_has_its_identity_and_no_other_file_does) {
    dir.file("track.wav", "twelve bytes");
    dir.file("other.wav", "twelve bytes");
    std::filesystem::create_directory(dir.path / "sub");
    std::filesystem::create_hard_link(dir.path / "track.wav", dir.path / "hard.wav");
    std::filesystem::create_symlink(dir.path / "track.wav", dir.path / "soft.wav");

    BY_HANDLE_FILE_INFORMATION track{};
    ASSERT_TRUE(identity(dir.name("track.wav"), &track));
    EXPECT_EQ(track.nFileSizeLow, 12u);
    EXPECT_EQ(track.nFileSizeHigh, 0u);
    EXPECT_EQ(track.nNumberOfLinks, 2u);
    EXPECT_EQ(track.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    for (const char* spelling : {"hard.wav", "soft.wav", "sub/../track.wav", "./track.wav"}) {
        BY_HANDLE_FILE_INFORMATION other{};
        ASSERT_TRUE(identity(dir.name(spelling), &other)) << spelling;
        EXPECT_TRUE(same_file(track, other)) << spelling;
    }
    BY_HANDLE_FILE_INFORMATION other{};
    ASSERT_TRUE(identity(dir.name("other.wav"), &other));
    EXPECT_FALSE(same_file(track, other)) << "equal content is not the same file";
    ASSERT_TRUE(identity(dir.name("sub"), &other));
    EXPECT_EQ(other.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);

    EXPECT_FALSE(identity(dir.name("missing.wav"), &other));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A handle without access neither waits for a FIFO's writer nor needs read permission, and
// transfers nothing.
TEST_F(platform_identity, query_handle_opens_what_cannot_be_read_and_reads_nothing) {
    const std::string fifo = (dir.path / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HANDLE h = query_handle(dir.name("fifo"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "no writer is waited for";
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    CloseHandle(h);

    dir.file("secret.wav", "abc");
    std::filesystem::permissions(dir.path / "secret.wav", std::filesystem::perms::none);
    h = query_handle(dir.name("secret.wav"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[4];
    DWORD n = 7;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(info.nFileSizeLow, 3u);
    CloseHandle(h);
}

TEST_F(platform_identity, failures_give_their_codes) {
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_FALSE(GetFileInformationByHandle(INVALID_HANDLE_VALUE, &info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    HANDLE h = query_handle(dir.file("seam.wav", "x"));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(
        platform_fault_arm({"GetFileInformationByHandle", L"seam", 1, ERROR_IO_DEVICE, false}));
    EXPECT_FALSE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    CloseHandle(h);
}

}  // namespace
