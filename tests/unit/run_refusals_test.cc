// The checks a run makes before it creates its output: an output that is an input by any name,
// the standard input named twice, no output name.
#include "app/run_refusals.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "console_capture.h"
#include "scratch_dir.h"

namespace {

class run_refusals_test : public ::testing::Test {
protected:
    scratch_dir dir;
    std::filesystem::path saved_cwd;
    std::unique_ptr<wchar_t[][1024]> names{new wchar_t[max_inputs][1024]};

    void SetUp() override {
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path);
        for (const char* leaf : {"1.wav", "2.wav", "3.wav"}) dir.file(leaf, "same bytes");
    }
    void TearDown() override { std::filesystem::current_path(saved_cwd); }

    /// refuse_run over `inputs` and `output`, with what it printed.
    bool refused(const std::vector<std::wstring>& inputs, const std::wstring& output,
                 std::wstring* text) {
        for (size_t i = 0; i < inputs.size(); ++i) {
            std::wcsncpy(names[i], inputs[i].c_str(), 1023);
            names[i][1023] = L'\0';
        }
        console_capture capture;
        const bool result = refuse_run(names.get(), inputs.size(), output.c_str());
        *text = capture.text;
        return result;
    }
};

TEST_F(run_refusals_test, output_that_is_an_input_by_another_name_is_refused) {
    std::filesystem::create_directory(dir.path / "sub");
    std::filesystem::create_hard_link(dir.path / "3.wav", dir.path / "hard.wav");
    const std::vector<std::wstring> inputs = {L"1.wav", L"2.wav", L"3.wav"};
    struct spelling {
        const wchar_t* output;
        const wchar_t* input;
    };
    for (const spelling& s :
         {spelling{L"2.wav", L"2.wav"}, spelling{L"./1.wav", L"1.wav"},
          spelling{L"sub/../2.wav", L"2.wav"}, spelling{L"hard.wav", L"3.wav"}}) {
        std::wstring text;
        EXPECT_TRUE(refused(inputs, s.output, &text)) << s.output;
        EXPECT_EQ(text, L"[" + std::wstring(s.output) +
                            L"]\n   ^ refused as the output: it is "
                            L"the input \"" +
                            s.input + L"\", which would be emptied before it is read\n");
    }
    // Equal bytes are no identity, and a file that does not exist yet is no input.
    dir.file("copy.wav", "same bytes");
    for (const wchar_t* output : {L"copy.wav", L"new.wav", L"sub"}) {
        std::wstring text;
        EXPECT_FALSE(refused(inputs, output, &text)) << output;
        EXPECT_TRUE(text.empty()) << text;
    }
    EXPECT_EQ(dir.content("1.wav"), "same bytes");
}

TEST_F(run_refusals_test, standard_input_can_be_one_input_only) {
    std::wstring text;
    EXPECT_FALSE(refused({L"-", L"2.wav", L"3.wav"}, L"-", &text)) << "and the output may be -";
    EXPECT_TRUE(refused({L"CON", L"2.wav", L"con"}, L"out.wav", &text));
    EXPECT_EQ(text,
              L"[con]\n   ^ refused: the standard input is an input already, as \"CON\"; it "
              L"can be read only once\n");
    // Names that only look like console names are files.
    EXPECT_FALSE(refused({L"-", L"Con", L"-x"}, L"out.wav", &text));
}

TEST_F(run_refusals_test, no_output_name_is_refused_silently_after_the_parse_reported_it) {
    std::wstring text;
    EXPECT_TRUE(refused({L"1.wav", L"2.wav", L"3.wav"}, L"", &text));
    EXPECT_TRUE(text.empty());
}

}  // namespace
