// Wildcard patterns on POSIX: only "/" separates directories, and a match whose name with the
// pattern's directory part would not fit is left out. (Paths this long exceed what Windows
// opens without its long-path prefix, so this case is checked here.)
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/directory_part.h"
#include "console_capture.h"
#include "scratch_dir.h"

namespace {

TEST(directory_part_posix, backslash_and_colon_belong_to_names) {
    EXPECT_EQ(directory_part_chars(L"a\\b*.wav"), 0u);
    EXPECT_EQ(directory_part_chars(L"r:*.wav"), 0u);
    EXPECT_EQ(directory_part_chars(L"x/a\\b*.wav"), 2u);
}

TEST(directory_part_posix, a_match_that_would_not_fit_is_left_out_whole) {
    scratch_dir dir;
    const std::filesystem::path saved_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    std::filesystem::create_directory(dir.path / "rips");
    dir.file("rips/1.wav", "x");
    // "./" repeated, then "rips/": a directory part of 1020 characters, so "1.wav" does not fit.
    std::wstring directory;
    for (int i = 0; i < 507; ++i) directory += L"./";
    directory += L"/rips/";
    ASSERT_EQ(directory.size(), 1020u);

    std::vector<std::wstring> args = {L"tally", L"a", L"b", L"c", directory + L"1.wav*"};
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::unique_ptr<wchar_t[][1024]> names{new wchar_t[max_inputs][1024]};
    wchar_t output[1024];
    uint64_t count = 0;
    K_CRYPT digests;
    console_capture capture;
    EXPECT_EQ(parse_command_line(names.get(), count, output, 5, argv.data(), digests), 0);
    std::filesystem::current_path(saved_cwd);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(capture.text, L"[" + directory +
                                L"1.wav]\n   ^ skipped: an input name must be "
                                L"shorter than 1024 characters\n");
}

}  // namespace
