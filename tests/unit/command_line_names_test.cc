// Names that the parse cannot store as given: too long for their buffers (left out whole and
// reported, never cut short), and wildcard matches, which get their pattern's directory part.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/directory_part.h"
#include "console_capture.h"
#include "scratch_dir.h"
#include "support/run_values.h"

namespace {

/// One parse of `args` (without the program name) into fresh storage, with its printed text.
struct parsed {
    std::unique_ptr<wchar_t[][1024]> names{new wchar_t[max_inputs][1024]};
    uint64_t count = 0;
    wchar_t output[1024] = {};
    int32_t result = 0;
    std::wstring text;

    explicit parsed(std::vector<std::wstring> args) {
        std::vector<wchar_t*> argv;
        std::wstring program = L"tally";
        argv.push_back(program.data());
        for (std::wstring& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        K_CRYPT digests;
        console_capture capture;
        result = parse_command_line(names.get(), count, output,
                                    static_cast<int32_t>(args.size() + 1), argv.data(), digests);
        text = capture.text;
        sample_mode = false;
        input_flags = 0;
    }
    std::vector<std::wstring> stored() const {
        std::vector<std::wstring> v;
        for (uint64_t i = 0; i < count; ++i) v.emplace_back(names[i]);
        return v;
    }
};

const std::wstring input_reason =
    L"]\n   ^ skipped: an input name must be shorter than 1024 characters\n";
const std::wstring output_reason =
    L"]\n   ^ not used: an output name must be shorter than 1024 characters\n";

TEST(long_names, an_input_name_that_does_not_fit_is_left_out_and_reported_whole) {
    const std::wstring too_long = L"d/" + std::wstring(1022, L'n');  // 1024 characters
    parsed run({L"1", too_long, L"2", L"3"});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.stored(), (std::vector<std::wstring>{L"1", L"2", L"3"}));
    EXPECT_EQ(run.text, L"[" + too_long + input_reason);

    // Without it, fewer than three names remain: the usual failed parse.
    parsed too_few({L"1", L"2", too_long});
    EXPECT_EQ(too_few.result, -1);
    EXPECT_EQ(too_few.count, 0u);
    EXPECT_EQ(too_few.text, L"[" + too_long + input_reason);
}

TEST(long_names, an_output_name_that_does_not_fit_leaves_no_output_name) {
    const std::wstring too_long(5000, L'o');  // longer than any format buffer, printed whole
    parsed given({L"1", L"2", L"3", L"-o", too_long});
    EXPECT_EQ(given.result, 0);
    EXPECT_EQ(std::wstring(given.output), L"") << "no default in place of the name asked for";
    EXPECT_EQ(given.text, L"[" + too_long + output_reason);

    // The last -o counts, also when it is the earlier one that was too long.
    parsed later({L"-o", too_long, L"1", L"2", L"3", L"-o", L"r.wav"});
    EXPECT_EQ(std::wstring(later.output), L"r.wav");
    parsed earlier({L"-o", L"r.wav", L"1", L"2", L"3", L"-o", too_long});
    EXPECT_EQ(std::wstring(earlier.output), L"");
}

TEST(long_names, a_default_output_name_that_would_not_fit_leaves_no_output_name) {
    // A directory part of 1017 characters: with "out.wav" 1024, one too many.
    const std::wstring directory = std::wstring(1016, L'd') + L"/";
    parsed run({directory + L"1", L"2", L"3"});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.count, 3u);
    EXPECT_EQ(std::wstring(run.output), L"");
    EXPECT_EQ(run.text, L"[" + directory + L"out.wav" + output_reason);

    // One character less fits exactly: 1023 characters.
    const std::wstring fits = std::wstring(1015, L'd') + L"/";
    parsed fitting({fits + L"1", L"2", L"3"});
    EXPECT_EQ(std::wstring(fitting.output), fits + L"out.wav");
    EXPECT_TRUE(fitting.text.empty());
}

class pattern_directory_test : public ::testing::Test {
protected:
    scratch_dir dir;
    std::filesystem::path saved_cwd;

    void SetUp() override {
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path);
        std::filesystem::create_directory(dir.path / "rips");
        for (const char* leaf : {"rips/1.wav", "rips/2.wav", "rips/3.wav", "rips/out.wav"})
            dir.file(leaf, "x");
    }
    void TearDown() override { std::filesystem::current_path(saved_cwd); }
};

TEST_F(pattern_directory_test, matches_carry_the_pattern_directory_and_so_does_the_output) {
    parsed run({L"rips/*.wav"});
    EXPECT_EQ(run.result, 0);
    std::vector<std::wstring> names = run.stored();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::wstring>{L"rips/1.wav", L"rips/2.wav", L"rips/3.wav"}));
    EXPECT_EQ(std::wstring(run.output), L"rips/out.wav");
    EXPECT_TRUE(run.text.empty()) << run.text;

    // The directory part is the pattern's own spelling, whatever it is.
    parsed dotted({L"./rips/../rips/?.wav"});
    EXPECT_EQ(dotted.count, 3u);
    EXPECT_EQ(std::wstring(dotted.names[0]).rfind(L"./rips/../rips/", 0), 0u);
}

TEST(directory_part, the_part_through_the_last_slash) {
    EXPECT_EQ(directory_part_chars(L"*.wav"), 0u);
    EXPECT_EQ(directory_part_chars(L"rips/*.wav"), 5u);
    EXPECT_EQ(directory_part_chars(L"/mnt/rips/t?.wav"), 10u);
    EXPECT_EQ(directory_part_chars(L""), 0u);
}

}  // namespace
