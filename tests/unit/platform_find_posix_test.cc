// Directory search of the Linux layer: Windows wildcard rules ignoring case, a fixed order,
// directory attributes and the three error codes.
#include <gtest/gtest.h>
#include <windows.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "scratch_dir.h"

namespace {

class platform_find : public ::testing::Test {
protected:
    scratch_dir dir;
    void SetUp() override {
        for (const char* leaf : {"b.WAV", "a.wav", "A.wav", "c.wav.bak", "noext", "x.y.wav", "ab"}) {
            dir.file(leaf, "1");
        }
        mkdir((dir.path / "sub.wav").c_str(), 0755);
    }
    void TearDown() override { platform_fault_clear(); }

    /// Every name the search for `pattern` gives, each with "/" after a directory; sets *error
    /// to the code that ended (or refused) the search.
    std::vector<std::wstring> all(const std::wstring& pattern, DWORD* error) {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE h = FindFirstFileW(pattern.c_str(), &data);
        if (h == INVALID_HANDLE_VALUE) {
            *error = GetLastError();
            return names;
        }
        do {
            std::wstring name = data.cFileName;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += L"/";
            names.push_back(name);
        } while (FindNextFileW(h, &data));
        *error = GetLastError();
        EXPECT_TRUE(FindClose(h));
        return names;
    }
};

using names = std::vector<std::wstring>;

TEST_F(platform_find, patterns_match_as_on_windows_in_a_fixed_order) {
    struct pattern_case {
        const char* pattern;
        names expected;
    };
    const pattern_case cases[] = {
        {"*.wav", {L"A.wav", L"a.wav", L"b.WAV", L"sub.wav/", L"x.y.wav"}},
        {"*.WaV", {L"A.wav", L"a.wav", L"b.WAV", L"sub.wav/", L"x.y.wav"}},
        {"?.wav", {L"A.wav", L"a.wav", L"b.WAV"}},
        {"*.*", {L"./", L"../", L"A.wav", L"a.wav", L"ab", L"b.WAV", L"c.wav.bak", L"noext",
                 L"sub.wav/", L"x.y.wav"}},
        {"*", {L"./", L"../", L"A.wav", L"a.wav", L"ab", L"b.WAV", L"c.wav.bak", L"noext",
               L"sub.wav/", L"x.y.wav"}},
        {"*.", {L"./", L"../", L"ab", L"noext"}},
        {"a?", {L"ab"}},  // "?" never steps over a period
        {"NOEXT", {L"noext"}},
        {"c*.bak", {L"c.wav.bak"}},
    };
    for (const pattern_case& c : cases) {
        DWORD error = 0;
        names got = all(dir.name(c.pattern), &error);
        EXPECT_EQ(got, c.expected) << c.pattern;
        EXPECT_EQ(error, ERROR_NO_MORE_FILES) << c.pattern;
    }
}

TEST_F(platform_find, failures_give_the_three_codes) {
    DWORD error = 0;
    EXPECT_TRUE(all(dir.name("*.flac"), &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(all(dir.name("missing/*.wav"), &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(all(dir.name("noext/*.wav"), &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(FindNextFileW(INVALID_HANDLE_VALUE, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(platform_find, names_with_raw_bytes_come_back_as_the_same_bytes) {
    // Written through POSIX: the name is not valid UTF-8, so no wide form exists for it.
    std::ofstream(dir.path / "caf\xE9.wav") << "1";
    DWORD error = 0;
    names got = all(dir.name("caf*"), &error);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], L"caf\xDCE9.wav");
    std::wstring full = (dir.path.wstring() + L"/") + got[0];
    HANDLE h = CreateFileW(full.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(platform_find, fault_seam_fails_first_and_next) {
    ASSERT_TRUE(platform_fault_arm({"FindNextFileW", L"*.wav", 2, ERROR_IO_DEVICE, false}));
    DWORD error = 0;
    names got = all(dir.name("*.wav"), &error);
    EXPECT_EQ(got.size(), 2u);
    EXPECT_EQ(error, ERROR_IO_DEVICE);
    ASSERT_TRUE(platform_fault_arm({"FindFirstFileW", nullptr, 1, ERROR_ACCESS_DENIED, false}));
    EXPECT_TRUE(all(dir.name("*.wav"), &error).empty());
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
}

}  // namespace
