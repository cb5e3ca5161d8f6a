// Directory-search failures of the command line, driven through the fault seam.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/command_line.h"
#include "console_capture.h"
#include "platform/fault.h"
#include "scratch_dir.h"

namespace {

class pattern_fault_test : public ::testing::Test {
protected:
    scratch_dir dir;
    std::filesystem::path saved_cwd;
    std::unique_ptr<wchar_t[][1024]> names{new wchar_t[max_inputs][1024]};
    uint64_t count = 0;
    wchar_t output[1024] = {};
    K_CRYPT digests;

    void SetUp() override {
        platform_fault_clear();
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path);
        for (const char* leaf : {"a.wav", "b.wav", "c.wav"}) dir.file(leaf, "x");
    }
    void TearDown() override {
        platform_fault_clear();
        std::filesystem::current_path(saved_cwd);
    }
    int32_t parse(std::wstring pattern) {
        std::wstring program = L"tally", one = L"1", two = L"2", three = L"3";
        wchar_t* argv[] = {program.data(), one.data(), pattern.data(), two.data(), three.data(),
                           nullptr};
        return parse_command_line(names.get(), count, output, 5, argv, digests);
    }
};

TEST_F(pattern_fault_test, search_that_stops_early_keeps_its_names_and_reports_once) {
    ASSERT_TRUE(platform_fault_arm({"FindNextFileW", nullptr, 1, ERROR_READ_FAULT, true}));
    console_capture capture;
    EXPECT_EQ(parse(L"*.wav"), 0);
    // At most the first match made it; the plain names after the pattern still count.
    EXPECT_GE(count, 3u);
    EXPECT_LE(count, 4u);
    EXPECT_EQ(std::wstring(names[count - 1]), L"3");
    EXPECT_EQ(capture.text.rfind(L"FindNextFile(h_find, &file_search_info)\n   ^ERROR: 30, ", 0), 0u)
        << capture.text;
    EXPECT_EQ(capture.text.find(L"^ERROR", capture.text.find(L"^ERROR") + 1), std::wstring::npos);
}

TEST_F(pattern_fault_test, directory_that_cannot_be_searched_adds_nothing) {
    ASSERT_TRUE(platform_fault_arm({"FindFirstFileW", L"*.wav", 1, ERROR_ACCESS_DENIED, false}));
    console_capture capture;
    EXPECT_EQ(parse(L"*.wav"), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(capture.text.rfind(L"FindFirstFile(name, &file_search_info)\n   ^ERROR: 5, ", 0), 0u)
        << capture.text;
}

}  // namespace
