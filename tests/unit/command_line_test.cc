#include "app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "console_capture.h"
#include "scratch_dir.h"
#include "support/run_values.h"

namespace {

constexpr int no_digest = -1;

/// The parser's outputs with the storage the run driver gives it, and the argument vector.
struct parse_run {
    std::unique_ptr<wchar_t[][1024]> names{new wchar_t[max_inputs][1024]};
    uint64_t count = 99;
    wchar_t output[1024];
    K_CRYPT digests;
    int32_t result = 0;

    /// Parses `args` (without the program name) from a clean process-wide state.
    explicit parse_run(const std::vector<std::wstring>& args) {
        sample_mode = false;
        input_flags = 0;
        // Garbage in every output: the parse must clear what it does not set.
        std::fill_n(&names[0][0], max_inputs * 1024, L'#');
        std::fill_n(output, 1024, L'#');
        std::vector<wchar_t*> argv;
        std::wstring program = L"tally";
        argv.push_back(program.data());
        std::vector<std::wstring> copies = args;
        for (std::wstring& a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        result = parse_command_line(names.get(), count, output, static_cast<int32_t>(args.size() + 1),
                                    argv.data(), digests);
    }
    ~parse_run() {
        sample_mode = false;
        input_flags = 0;
    }

    std::vector<std::wstring> stored() const {
        std::vector<std::wstring> v;
        for (uint64_t i = 0; i < count; ++i) v.emplace_back(names[i]);
        return v;
    }
};

struct parse_case {
    std::vector<std::wstring> args;
    int32_t result;
    std::vector<std::wstring> names;
    std::wstring output;
    bool sample_mode;
    uint32_t input_flags;
    int alg_id;  // no_digest when the set stays uninitialised
};

const parse_case parse_cases[] = {
    {{L"1.wav", L"2.wav", L"3.wav"}, 0, {L"1.wav", L"2.wav", L"3.wav"}, L"out.wav", false, 0, no_digest},
    // The default output goes into the first input's directory; either separator counts.
    {{L"r:\\01\\1.wav", L"2.wav", L"3.wav"}, 0, {L"r:\\01\\1.wav", L"2.wav", L"3.wav"},
     L"r:\\01\\out.wav", false, 0, no_digest},
    {{L"a/b\\c.wav", L"d/2.wav", L"3.wav"}, 0, {L"a/b\\c.wav", L"d/2.wav", L"3.wav"}, L"a/b\\out.wav",
     false, 0, no_digest},
    {{L"a\\b/c.wav", L"2.wav", L"3.wav"}, 0, {L"a\\b/c.wav", L"2.wav", L"3.wav"}, L"a\\b/out.wav",
     false, 0, no_digest},
    // Digest switches ignore case and the last one counts; the -a/-b/-o switches do not.
    {{L"-MD5", L"1", L"2", L"3"}, 0, {L"1", L"2", L"3"}, L"out.wav", false, 0, 2},
    {{L"-md5", L"1", L"2", L"-Sha256", L"3"}, 0, {L"1", L"2", L"3"}, L"out.wav", false, 0, 4},
    {{L"-A", L"-B", L"-O"}, 0, {L"-A", L"-B", L"-O"}, L"out.wav", false, 0, no_digest},
    {{L"-", L"-x", L"-ab", L"-o2", L"-md55"}, 0, {L"-", L"-x", L"-ab", L"-o2", L"-md55"}, L"out.wav",
     false, 0, no_digest},
    // Switches may stand anywhere.
    {{L"-a", L"1", L"-b", L"2", L"3", L"-sha1"}, 0, {L"1", L"2", L"3"}, L"out.wav", true,
     FILE_FLAG_NO_BUFFERING, 3},
    // -o: the next argument whatever it is, the last -o wins, a trailing -o does nothing.
    {{L"1", L"2", L"3", L"-o"}, 0, {L"1", L"2", L"3"}, L"out.wav", false, 0, no_digest},
    {{L"-o", L"x.wav", L"1", L"2", L"3", L"-o"}, 0, {L"1", L"2", L"3"}, L"x.wav", false, 0, no_digest},
    {{L"-o", L"a", L"-o", L"b", L"d/1", L"2", L"3"}, 0, {L"d/1", L"2", L"3"}, L"b", false, 0,
     no_digest},
    {{L"-o", L"-a", L"1", L"2", L"3"}, 0, {L"1", L"2", L"3"}, L"-a", false, 0, no_digest},
    {{L"-o", L"-md5", L"1", L"2", L"3"}, 0, {L"1", L"2", L"3"}, L"-md5", false, 0, no_digest},
    {{L"1", L"2", L"3", L"-o", L"r:\\x\\restored"}, 0, {L"1", L"2", L"3"}, L"r:\\x\\restored", false,
     0, no_digest},
    // Too few names: -1, no names, no default output, no digests; -a and -b still take effect.
    {{}, -1, {}, L"", false, 0, no_digest},
    {{L"1.wav", L"2.wav", L"-a", L"-b", L"-md5"}, -1, {}, L"", true, FILE_FLAG_NO_BUFFERING,
     no_digest},
    {{L"-o", L"x", L"1", L"2"}, -1, {}, L"x", false, 0, no_digest},
};

TEST(parse_command_line, table_of_argument_vectors) {
    int row = 0;
    for (const parse_case& c : parse_cases) {
        SCOPED_TRACE("case " + std::to_string(row++));
        console_capture capture;
        parse_run run(c.args);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.stored(), c.names);
        EXPECT_EQ(std::wstring(run.output), c.output);
        EXPECT_EQ(sample_mode, c.sample_mode);
        EXPECT_EQ(input_flags, c.input_flags);
        if (c.alg_id == no_digest) {
            EXPECT_FALSE(run.digests.initialized);
        } else {
            EXPECT_TRUE(run.digests.initialized);
            EXPECT_EQ(run.digests.alg_id, static_cast<uint32_t>(c.alg_id));
            EXPECT_EQ(run.digests.count, run.count + 1);  // the output's context and one per input
        }
        // Slots beyond the names were cleared.
        EXPECT_EQ(run.names[c.args.size()][0], L'\0');
        EXPECT_EQ(run.names[max_inputs - 1][1023], L'\0');
        EXPECT_TRUE(capture.text.empty()) << "plain names and switches print nothing";
    }
}

TEST(parse_command_line, every_digest_switch_selects_its_algorithm) {
    const wchar_t* const switches[7] = {L"-MD2", L"-md4", L"-Md5", L"-SHA1", L"-sha256", L"-sHa384",
                                        L"-sha512"};
    for (uint32_t index = 0; index < 7; ++index) {
        parse_run run({L"1", switches[index], L"2", L"3"});
        EXPECT_EQ(run.result, 0);
        EXPECT_TRUE(run.digests.initialized) << index;
        EXPECT_EQ(run.digests.alg_id, index);
        EXPECT_EQ(run.digests.count, 4u);
    }
}

TEST(parse_command_line, names_beyond_384_are_skipped_with_a_message_each) {
    std::vector<std::wstring> args;
    for (int i = 0; i < 386; ++i) args.push_back(L"n" + std::to_wstring(i));
    args.push_back(L"-a");  // a switch after the skipped names still counts
    console_capture capture;
    parse_run run(args);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.count, 384u);
    EXPECT_EQ(std::wstring(run.names[0]), L"n0");
    EXPECT_EQ(std::wstring(run.names[383]), L"n383");
    EXPECT_TRUE(sample_mode);
    EXPECT_EQ(capture.text,
              L"[n384]\n\t^ skipped: maximum input files allowed 384\n\n"
              L"[n385]\n\t^ skipped: maximum input files allowed 384\n\n");
}

TEST(parse_command_line, name_of_1023_characters_fits_its_slot) {
    const std::wstring longest = L"d/" + std::wstring(1021, L'n');
    parse_run run({longest, L"2", L"3"});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(std::wstring(run.names[0]), longest);
    EXPECT_EQ(std::wstring(run.names[1]), L"2");
    EXPECT_EQ(std::wstring(run.output), L"d/out.wav");
}

// Patterns are expanded in the current directory, which each test sets to its own directory.
class pattern_test : public ::testing::Test {
protected:
    scratch_dir dir;
    std::filesystem::path saved_cwd;

    void SetUp() override {
        saved_cwd = std::filesystem::current_path();
        std::filesystem::current_path(dir.path);
    }
    void TearDown() override { std::filesystem::current_path(saved_cwd); }
};

TEST_F(pattern_test, skips_directories_and_any_out_wav) {
    for (const char* leaf : {"a.wav", "b.wav", "c.wav", "out.wav", "OUT.WAV", "d.txt"})
        dir.file(leaf, "x");
    std::filesystem::create_directory(dir.path / "x.wav");
    console_capture capture;
    parse_run run({L"first", L"*.wav", L"-b"});
    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(run.count, 4u);
    EXPECT_EQ(std::wstring(run.names[0]), L"first");
    // The directory search's order is the system's; only the set is certain.
    const std::vector<std::wstring> all = run.stored();
    std::vector<std::wstring> matches(all.begin() + 1, all.end());
    std::sort(matches.begin(), matches.end());
    EXPECT_EQ(matches, (std::vector<std::wstring>{L"a.wav", L"b.wav", L"c.wav"}));
    EXPECT_EQ(input_flags, FILE_FLAG_NO_BUFFERING);
    EXPECT_TRUE(capture.text.empty()) << capture.text;
}

TEST_F(pattern_test, question_mark_is_a_pattern_too) {
    for (const char* leaf : {"t1.wav", "t2.wav", "t3.wav", "t10.wav"}) dir.file(leaf, "x");
    parse_run run({L"t?.wav"});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.count, 3u);
}

TEST_F(pattern_test, pattern_matching_nothing_is_reported_and_the_parse_goes_on) {
    console_capture capture;
    parse_run run({L"1", L"*.none", L"2", L"3"});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.stored(), (std::vector<std::wstring>{L"1", L"2", L"3"}));
    const std::wstring head = L"FindFirstFile(name, &file_search_info)\n   ^ERROR: 2, ";
    ASSERT_EQ(capture.text.rfind(head, 0), 0u) << capture.text;
    EXPECT_GT(capture.text.size(), head.size()) << "the system's text follows the code";

    parse_run too_few({L"1", L"*.none", L"2"});
    EXPECT_EQ(too_few.result, -1);
    EXPECT_EQ(too_few.count, 0u);
}

TEST_F(pattern_test, full_table_skips_the_rest_of_a_pattern_with_one_message) {
    for (const char* leaf : {"a.wav", "b.wav", "c.wav"}) dir.file(leaf, "x");
    std::vector<std::wstring> args;
    for (int i = 0; i < 383; ++i) args.push_back(L"n" + std::to_wstring(i));
    args.push_back(L"*.wav");
    args.push_back(L"late");
    console_capture capture;
    parse_run run(args);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.count, 384u);
    const std::wstring match(run.names[383]);
    EXPECT_EQ(match.size(), 5u);
    // One message for the pattern, then one for the plain name after it.
    const std::wstring tail = L"]\n\t^ skipped: maximum input files allowed 384\n\n";
    ASSERT_EQ(capture.text.rfind(L"[", 0), 0u) << capture.text;
    const size_t first_end = capture.text.find(tail);
    ASSERT_NE(first_end, std::wstring::npos);
    const std::wstring skipped_match = capture.text.substr(1, first_end - 1);
    EXPECT_NE(skipped_match, match);
    EXPECT_EQ(skipped_match.size(), 5u);
    EXPECT_EQ(capture.text.substr(first_end + tail.size()), L"[late" + tail);
}

}  // namespace
