// The block loop over real files: progress text, output, hits, error_bytes and the end report.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "block_loop_bench.h"
#include "support/run_values.h"

namespace {

constexpr uint64_t small_block = 4096;

TEST(BlockLoop, IdenticalInputsShowDotsBarsAndLineBreaksOnly) {
    // 20 full blocks fill the first progress line (80 / 4 blocks per line), then the partial
    // block and the pass that reads nothing.
    const std::string data = noise(20 * small_block + 100, 1);
    block_loop_bench bench;
    loop_result r = bench.run({data, data, data}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n" + times(L"...|", 20) + L"\n" + times(L"...|", 2) + L"\n");
    EXPECT_EQ(r.text, hit_table({0, 0, 0}));
    EXPECT_EQ(r.error_bytes, 0u);
    EXPECT_EQ(r.output, data);
}

TEST(BlockLoop, ThreeFiveMillionByteInputsInTwoMegabyteBlocks) {
    // Two full blocks, a last block of 805,696 bytes (not whole sectors, so written through
    // the buffered handle) and the pass that reads nothing: four passes on one line.
    const std::string data = noise(5000000, 2);
    block_loop_bench bench;
    loop_result r = bench.run({data, data, data}, 2097152);
    EXPECT_EQ(r.progress, L"processing:\n...|...|...|...|\n");
    EXPECT_EQ(r.text, hit_table({0, 0, 0}));
    EXPECT_EQ(r.error_bytes, 0u);
    EXPECT_EQ(r.output.size(), 5000000u);
    EXPECT_TRUE(r.output == data);
}

TEST(BlockLoop, DifferingInputsAreVotedRankedAndShownOnTheirOwnLine) {
    const std::string base = noise(300, 3);
    std::string in0 = base, in1 = base, in2 = base;
    in0[10] = static_cast<char>(base[10] ^ 0x01);   // inputs 1 and 2 outvote input 0
    in2[150] = static_cast<char>(base[150] ^ 0x02);  // inputs 0 and 1 outvote input 2
    in0[290] = 'x';                                   // no two agree: the best so far,
    in1[290] = 'y';                                   // input 1 with 2 hits, is copied
    in2[290] = 'z';
    block_loop_bench bench;
    loop_result r = bench.run({in0, in1, in2}, small_block);

    std::string expected = base;
    expected[290] = 'y';
    EXPECT_EQ(r.output, expected);
    EXPECT_EQ(r.progress, L"processing:\n...<\n##1.\n\n...|\n");
    EXPECT_EQ(r.text, hit_table({1, 2, 1}));
    EXPECT_EQ(r.error_bytes, 3u);
}

TEST(BlockLoop, ADifferingBlockIsFollowedByAFreshProgressLine) {
    std::string a = noise(3 * small_block, 4);
    std::string b = a;
    b[small_block + 5] = static_cast<char>(a[small_block + 5] + 1);
    block_loop_bench bench;
    loop_result r = bench.run({a, a, b}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n...|...<\n#\n\n...|...|\n");
    EXPECT_EQ(r.output, a);
    EXPECT_EQ(r.text, hit_table({1, 1, 0}));
    EXPECT_EQ(r.error_bytes, 1u);
}

TEST(BlockLoop, OutputIsAsLongAsTheShortestInput) {
    // The shortest input ends inside the second block: the bytes the longer inputs hold past
    // it are neither voted nor written.
    const std::string data = noise(9000, 5);
    block_loop_bench bench;
    loop_result r = bench.run({data, data.substr(0, 5000), noise(9000, 6).replace(0, 5000, data, 0, 5000)},
                              small_block);
    EXPECT_EQ(r.progress, L"processing:\n...|...|...|\n");
    EXPECT_EQ(r.output, data.substr(0, 5000));
    EXPECT_EQ(r.text, hit_table({0, 0, 0}));
    EXPECT_EQ(r.error_bytes, 0u);
}

TEST(BlockLoop, LastGroupPastAnUnevenEndIsVotedButNotWritten) {
    // 100 bytes end inside the group at 96; the longer inputs' bytes 100..102 differ from the
    // zero fill of the shorter one, which counts as three disagreeing positions.
    const std::string data = noise(103, 7);
    block_loop_bench bench;
    loop_result r = bench.run({data.substr(0, 100), data, data}, small_block);
    EXPECT_EQ(r.output, data.substr(0, 100));
    EXPECT_EQ(r.progress, L"processing:\n...<\n###\n\n...|\n");
    EXPECT_EQ(r.text, hit_table({0, 3, 3}));
    EXPECT_EQ(r.error_bytes, 3u);
}

TEST(BlockLoop, ZeroFillMakesShortBlocksEqualPastTheirEnds) {
    // The longer input's two extra bytes are zeros, as the shorter blocks are padded with:
    // nothing differs. The buffers held other bytes before the run.
    const std::string data = noise(100, 15);
    block_loop_bench bench;
    loop_result r = bench.run({data, data + std::string(2, '\0'), data}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n...|...|\n");
    EXPECT_EQ(r.output, data);
    EXPECT_EQ(r.error_bytes, 0u);
}

TEST(BlockLoop, InputsOfWholeBlocksNeedNoShortWrite) {
    const std::string data = noise(2 * small_block, 8);
    block_loop_bench bench;
    loop_result r = bench.run({data, data, data}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n...|...|...|\n");
    EXPECT_EQ(r.output, data);
    EXPECT_EQ(r.text, hit_table({0, 0, 0}));
}

TEST(BlockLoop, EightyInputsEndEveryCleanBlockWithALineBreak) {
    const std::string data = noise(10, 9);
    std::vector<std::string> inputs(80, data);
    block_loop_bench bench;
    loop_result r = bench.run(inputs, small_block);
    EXPECT_EQ(r.progress, L"processing:\n" + times(L".", 80) + L"|\n" + times(L".", 80) + L"|\n\n");
    EXPECT_EQ(r.output, data);
    EXPECT_EQ(r.text, hit_table(std::vector<uint64_t>(80, 0)));
}

TEST(BlockLoop, LongNamesAndLargeTotalsArePrintedWhole) {
    std::string a = noise(64, 10), b = a;
    for (size_t i = 0; i < 64; ++i) b[i] = static_cast<char>(a[i] ^ 0x40);  // 64 positions
    std::vector<std::string> inputs = {a, a, b};
    std::vector<std::wstring> names = {L"a-name-of-exactly-24-chr", L"a-name-longer-than-24-characters",
                                       L"c"};
    block_loop_bench bench;
    loop_result r = bench.run(inputs, small_block, names);
    EXPECT_EQ(r.text, L"[a-name-of-exactly-24-chr]    64 best\n"
                      L"[a-name-longer-than-24-characters]    64 best\n"
                      L"[                       c]     0\n");
    EXPECT_EQ(r.error_bytes, 64u);
    EXPECT_EQ(r.output, a);
}

/// Turns on -a for one test.
class sample_mode_on {
public:
    sample_mode_on() { sample_mode = true; }
    ~sample_mode_on() { sample_mode = false; }
};

std::string samples(std::initializer_list<uint16_t> values) {
    std::string s;
    for (uint16_t v : values) {
        s += static_cast<char>(v & 0xFF);
        s += static_cast<char>(v >> 8);
    }
    return s;
}

TEST(BlockLoop, SampleModeVotesSamplesAndSkipsCorrectedOnes) {
    // Input 0's second sample is the average of its neighbours: skipped, and the value the
    // two others agree on is written without hits. The byte vote would have counted it.
    const std::string in0 = samples({100, 200, 300, 9000});
    const std::string others = samples({100, 250, 300, 9000});
    {
        sample_mode_on on;
        block_loop_bench bench;
        loop_result r = bench.run({in0, others, others}, small_block);
        EXPECT_EQ(r.progress, L"processing:\n...<\n \n\n...|\n");
        EXPECT_EQ(r.output, others);
        EXPECT_EQ(r.text, hit_table({0, 0, 0}));
        EXPECT_EQ(r.error_bytes, 0u);
    }
    block_loop_bench bench;
    loop_result r = bench.run({in0, others, others}, small_block);
    EXPECT_EQ(r.progress, L"processing:\n...<\n#\n\n...|\n");
    EXPECT_EQ(r.output, others);
    EXPECT_EQ(r.text, hit_table({0, 1, 1}));
    EXPECT_EQ(r.error_bytes, 1u);
}

TEST(BlockLoop, BlockSizeZeroGoesStraightToTheEndReport) {
    block_loop_bench bench;
    loop_result r = bench.run({"abc", "abc", "abd"}, 0);
    EXPECT_EQ(r.progress, L"processing:\n\n");
    EXPECT_EQ(r.text, hit_table({0, 0, 0}));
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.error_bytes, 0u);
}

TEST(BlockLoop, DigestsCoverWhatWasReadAndWritten) {
    // MD5 of "abc", "abcd" and of no bytes.
    const std::wstring abc = L"900150983cd24fb0d6963f7d28e17f72";
    const std::wstring abcd = L"e2fc714c4727ee9395f324cd2e7f331f";
    block_loop_bench bench;
    ASSERT_EQ(bench.digests.init(4, 2), 0u);
    loop_result r = bench.run({"abc", "abcd", "abc"}, small_block);
    EXPECT_EQ(r.output, "abc");
    EXPECT_EQ(r.progress, L"processing:\n...<\n#\n\n...|\n");
    EXPECT_EQ(r.text, abc + L" " + hit_row(L"in0.bin", 1, true) +
                      abcd + L" " + hit_row(L"in1.bin", 0, false) +
                      abc + L" " + hit_row(L"in2.bin", 1, true) +
                      abc + L" [                 out.bin]\n");
}

TEST(BlockLoop, DigestOfALongerInputCoversOnlyTheBlocksRead) {
    // SHA-256 of 12288 and 5000 bytes of 'q': the longer inputs were read in three passes,
    // the last of them the one in which the shorter input had nothing left.
    block_loop_bench bench;
    ASSERT_EQ(bench.digests.init(4, 4), 0u);
    const std::string longer(16000, 'q');
    loop_result r = bench.run({longer, longer.substr(0, 5000), longer}, small_block);
    const std::wstring read_12288 = L"9d82c7969f2a200ec0309e3a96834fa5d8de2d9df2b05abd7edf7d05947f51d6";
    const std::wstring read_5000 = L"b816f164e03902a3f3fcb3242442143910cbcf15f411541ba28f27acad92bb76";
    EXPECT_EQ(r.output, longer.substr(0, 5000));
    EXPECT_EQ(r.text, read_12288 + L" " + hit_row(L"in0.bin", 0, true) +
                      read_5000 + L" " + hit_row(L"in1.bin", 0, true) +
                      read_12288 + L" " + hit_row(L"in2.bin", 0, true) +
                      read_5000 + L" [                 out.bin]\n");
}

}  // namespace
