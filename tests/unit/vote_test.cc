// The byte vote and the sample vote, called directly on hand-made groups.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "console_capture.h"
#include "engine/vote.h"

namespace {

/// Blocks of every input plus the tables a vote reads and adds to.
struct vote_bench {
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<const uint8_t*> pointers;
    std::vector<uint8_t> output;
    uint64_t hits[384] = {};
    uint64_t agree[384] = {};

    vote_bench(size_t count, size_t block_bytes) : blocks(count, std::vector<uint8_t>(block_bytes)) {
        for (auto& b : blocks) pointers.push_back(b.data());
        output.assign(block_bytes, 0xEE);
    }

    /// A context for the group at `pos`.
    vote_context context(uint64_t pos, uint64_t prefix_last, uint64_t block_len) {
        return vote_context{blocks.size(), pointers.data(), output.data(), pos, prefix_last,
                            block_len, hits, agree, 0};
    }

    void put_sample(size_t input, size_t offset, uint16_t v) {
        blocks[input][offset] = static_cast<uint8_t>(v);
        blocks[input][offset + 1] = static_cast<uint8_t>(v >> 8);
    }
    uint16_t output_sample(size_t offset) const {
        return static_cast<uint16_t>(output[offset] | (output[offset + 1] << 8));
    }
};

std::vector<uint64_t> hits_of(const vote_bench& b) {
    return std::vector<uint64_t>(b.hits, b.hits + b.blocks.size());
}

// ---------------------------------------------------------------------------------------------
// Byte vote: one differing position inside a group at offset 8 of a 16-byte block. The bytes
// before the group differ wildly between inputs, so a vote that looks outside its group shows.

struct byte_case {
    const char* name;
    std::string bytes;  // one byte per input at the tested position
    uint64_t prefix_last;
    std::vector<uint64_t> scores_before;
    char output;
    std::wstring symbols;
    std::vector<uint64_t> hits_gained;
    uint64_t error_bytes;
};

class ByteVoteTable : public testing::TestWithParam<byte_case> {};

TEST_P(ByteVoteTable, DecidesThePositionCreditsHitsAndPrintsItsSymbol) {
    const byte_case& c = GetParam();
    const size_t count = c.bytes.size();
    const size_t tested = 8 + 5;
    vote_bench b(count, 16);
    for (size_t i = 0; i < count; ++i) {
        for (size_t o = 0; o < 8; ++o) b.blocks[i][o] = static_cast<uint8_t>(i * 31 + o);
        for (size_t o = 8; o < 16; ++o) b.blocks[i][o] = 'z';
        b.blocks[i][tested] = static_cast<uint8_t>(c.bytes[i]);
        b.hits[i] = c.scores_before.empty() ? 0 : c.scores_before[i];
    }
    vote_context ctx = b.context(8, c.prefix_last, 16);
    ctx.error_bytes = 100;
    console_capture cap;
    vote_bytes(ctx);

    EXPECT_EQ(b.output[tested], static_cast<uint8_t>(c.output));
    for (size_t o = 8; o < 16; ++o) {
        if (o != tested) {
            EXPECT_EQ(b.output[o], 'z') << "offset " << o;
        }
    }
    for (size_t o = 0; o < 8; ++o) EXPECT_EQ(b.output[o], 0xEE) << "outside the group";
    EXPECT_EQ(cap.progress, c.symbols);
    EXPECT_EQ(cap.text, L"");
    std::vector<uint64_t> expected(count);
    for (size_t i = 0; i < count; ++i) {
        expected[i] = (c.scores_before.empty() ? 0 : c.scores_before[i]) + c.hits_gained[i];
    }
    EXPECT_EQ(hits_of(b), expected);
    EXPECT_EQ(ctx.error_bytes, 100 + c.error_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, ByteVoteTable,
    testing::Values(
        byte_case{"all_agree_prefix0", "AAA", 0, {}, 'A', L"", {0, 0, 0}, 0},
        byte_case{"all_agree_prefix1", "AAA", 1, {}, 'A', L"", {0, 0, 0}, 0},
        byte_case{"last_differs", "AAB", 1, {}, 'A', L"#", {1, 1, 0}, 1},
        byte_case{"first_differs", "BAA", 0, {}, 'A', L"#", {0, 1, 1}, 1},
        byte_case{"all_different_best_score", "ABC", 0, {5, 7, 7}, 'B', L"1.", {0, 0, 0}, 1},
        byte_case{"two_pairs_and_a_loner", "ABABC", 0, {}, 'A', L"#", {1, 1, 1, 1, 0}, 1},
        byte_case{"three_against_one", "BAAA", 0, {}, 'A', L"#", {0, 2, 2, 2}, 1},
        byte_case{"all_different_equal_scores", "ABC", 0, {}, 'A', L"0.", {0, 0, 0}, 1},
        byte_case{"all_different_tie_not_first", "ABCD", 0, {1, 3, 0, 3}, 'B', L"1.",
                  {0, 0, 0, 0}, 1},
        byte_case{"all_different_last_best", "ABCD", 0, {1, 3, 0, 4}, 'D', L"3.", {0, 0, 0, 0},
                  1},
        byte_case{"tie_first_holder_wins", "ABBA", 0, {}, 'A', L"#", {1, 1, 1, 1}, 1},
        byte_case{"tie_later_value_first_held", "CBBAA", 0, {}, 'B', L"#", {0, 1, 1, 1, 1}, 1},
        byte_case{"plurality_not_majority", "ABCDD", 0, {}, 'D', L"#", {0, 0, 0, 1, 1}, 1},
        byte_case{"pair_at_the_end", "ABCB", 0, {9, 0, 0, 0}, 'B', L"#", {0, 1, 0, 1}, 1},
        byte_case{"long_prefix", "AAABC", 2, {}, 'A', L"#", {2, 2, 2, 0, 0}, 1},
        byte_case{"prefix_outvoted", "AABBB", 1, {}, 'B', L"#", {1, 1, 2, 2, 2}, 1}),
    [](const testing::TestParamInfo<byte_case>& info) { return std::string(info.param.name); });

TEST(ByteVote, EveryDifferingPositionCountsOnItsOwn) {
    vote_bench b(3, 8);
    std::memcpy(b.blocks[0].data(), "abcdefgh", 8);
    std::memcpy(b.blocks[1].data(), "aXcdYfgh", 8);
    std::memcpy(b.blocks[2].data(), "abcdefgZ", 8);
    vote_context ctx = b.context(0, 0, 8);
    console_capture cap;
    vote_bytes(ctx);
    EXPECT_EQ(std::string(b.output.begin(), b.output.end()), "abcdefgh");
    EXPECT_EQ(cap.progress, L"###");
    EXPECT_EQ(ctx.error_bytes, 3u);
    // Positions 1 and 4: inputs 0 and 2 agree; position 7: inputs 0 and 1 agree.
    EXPECT_EQ(hits_of(b), (std::vector<uint64_t>{3, 1, 2}));
}

TEST(ByteVote, AllDifferentUsesTheScoresAsTheyGrowWithinTheGroup) {
    // Position 0 gives inputs 1 and 2 a hit each; position 1 has no shared byte, so the
    // lowest-numbered of the now leading inputs is copied.
    vote_bench b(3, 8);
    std::memcpy(b.blocks[0].data(), "xA......", 8);
    std::memcpy(b.blocks[1].data(), "yB......", 8);
    std::memcpy(b.blocks[2].data(), "yC......", 8);
    vote_context ctx = b.context(0, 0, 8);
    console_capture cap;
    vote_bytes(ctx);
    EXPECT_EQ(b.output[0], 'y');
    EXPECT_EQ(b.output[1], 'B');
    EXPECT_EQ(cap.progress, L"#1.");
    EXPECT_EQ(ctx.error_bytes, 2u);
}

TEST(ByteVote, InputNumbersBeyondOneByteAreCountedAndShownWhole) {
    // 384 inputs holding their number modulo 256: input k shares its byte with input k + 256.
    vote_bench b(384, 8);
    for (size_t i = 0; i < 384; ++i) b.blocks[i][0] = static_cast<uint8_t>(i);
    b.blocks[0][0] = 255;  // input 0 now pairs with input 255, and input 256 stands alone
    vote_context ctx = b.context(0, 0, 8);
    console_capture cap;
    vote_bytes(ctx);
    EXPECT_EQ(cap.progress, L"#");
    EXPECT_EQ(b.output[0], 255);  // the lowest input among those with one other holder
    EXPECT_EQ(b.hits[0], 1u);
    EXPECT_EQ(b.hits[255], 1u);
    EXPECT_EQ(b.hits[256], 0u);
    EXPECT_EQ(b.hits[128], 0u);
    EXPECT_EQ(b.hits[383], 1u);

    // All different among 200 inputs, input 199 with the best score: shown as "199.".
    vote_bench d(200, 8);
    for (size_t i = 0; i < 200; ++i) d.blocks[i][3] = static_cast<uint8_t>(i);
    d.hits[199] = 1;
    vote_context dctx = d.context(0, 0, 8);
    console_capture cap2;
    vote_bytes(dctx);
    EXPECT_EQ(cap2.progress, L"199.");
    EXPECT_EQ(d.output[3], 199);
}

// The plain meaning of the byte vote, position by position, as a model to compare with.
TEST(ByteVote, MatchesItsPlainMeaningOnRandomGroups) {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 4000; ++round) {
        const size_t count = 3 + rng() % 18;
        const unsigned alphabet = 1 + rng() % 4;
        vote_bench b(count, 8);
        for (size_t i = 0; i < count; ++i) {
            for (size_t o = 0; o < 8; ++o) b.blocks[i][o] = static_cast<uint8_t>('a' + rng() % alphabet);
            b.hits[i] = rng() % 3;
        }
        // Sometimes copy input 0's group into the next inputs, as the block loop's prefix.
        size_t copies = rng() % 3;
        for (size_t i = 1; i <= copies && i < count; ++i) {
            std::memcpy(b.blocks[i].data(), b.blocks[0].data(), 8);
        }
        size_t j = 1;
        while (j < count && b.blocks[j] == b.blocks[0]) ++j;
        if (j == count) continue;  // the block loop never votes an equal group

        std::vector<uint64_t> hits(b.hits, b.hits + count);
        std::wstring symbols;
        uint64_t errors = 0;
        uint8_t expected[8];
        for (size_t p = 0; p < 8; ++p) {
            std::vector<uint64_t> others(count, 0);
            for (size_t k = 0; k < count; ++k) {
                for (size_t m = 0; m < count; ++m) {
                    if (m != k && b.blocks[m][p] == b.blocks[k][p]) ++others[k];
                }
            }
            if (others[0] == count - 1) {
                expected[p] = b.blocks[0][p];
                continue;
            }
            ++errors;
            size_t best = 0;
            for (size_t k = 0; k < count; ++k) {
                hits[k] += others[k];
                if (others[k] > others[best]) best = k;
            }
            if (others[best] > 0) {
                symbols += L"#";
            } else {
                best = 0;
                for (size_t k = 1; k < count; ++k) {
                    if (hits[k] > hits[best]) best = k;
                }
                symbols += std::to_wstring(best) + L".";
            }
            expected[p] = b.blocks[best][p];
        }

        vote_context ctx = b.context(0, j - 1, 8);
        console_capture cap;
        vote_bytes(ctx);
        ASSERT_EQ(std::memcmp(b.output.data(), expected, 8), 0) << "round " << round;
        ASSERT_EQ(cap.progress, symbols) << "round " << round;
        ASSERT_EQ(hits_of(b), hits) << "round " << round;
        ASSERT_EQ(ctx.error_bytes, errors) << "round " << round;
    }
}

// ---------------------------------------------------------------------------------------------
// Sample vote: the tested sample is the last of the group at offset 8 (offset 14), so its next
// neighbour lies outside the group (offset 16) and can make each input's sample corrected or
// not without changing what the group holds. The other samples are the same in every input and
// none of them lies near the average of its neighbours.

constexpr size_t sample_block = 32;
constexpr size_t tested_sample = 14;
constexpr uint16_t common_prev = 1000;

struct input_sample {
    uint16_t value;
    bool corrected;
};

void lay_out(vote_bench& b, size_t input, input_sample s) {
    b.put_sample(input, 6, 40000);
    b.put_sample(input, 8, 10);
    b.put_sample(input, 10, 5000);
    b.put_sample(input, 12, common_prev);
    b.put_sample(input, tested_sample, s.value);
    // avg(common_prev, next) == value exactly when corrected; else far below it.
    uint16_t next = s.corrected ? static_cast<uint16_t>(2 * s.value - common_prev) : common_prev;
    b.put_sample(input, 16, next);
}

struct sample_case {
    const char* name;
    std::vector<input_sample> inputs;
    uint64_t prefix_last;
    std::vector<uint64_t> scores_before;
    uint16_t output;
    std::wstring symbols;
    std::vector<uint64_t> hits_gained;
    uint64_t error_bytes;
};

class SampleVoteTable : public testing::TestWithParam<sample_case> {};

constexpr uint16_t X = 3000, Y = 7000, Z = 9000;

TEST_P(SampleVoteTable, SkipsCorrectedCandidatesAndVotesTheRest) {
    const sample_case& c = GetParam();
    const size_t count = c.inputs.size();
    vote_bench b(count, sample_block);
    for (size_t i = 0; i < count; ++i) {
        lay_out(b, i, c.inputs[i]);
        b.hits[i] = c.scores_before.empty() ? 0 : c.scores_before[i];
    }
    vote_context ctx = b.context(8, c.prefix_last, 24);
    console_capture cap;
    vote_samples(ctx);

    EXPECT_EQ(b.output_sample(tested_sample), c.output);
    EXPECT_EQ(b.output_sample(8), 10);
    EXPECT_EQ(b.output_sample(10), 5000);
    EXPECT_EQ(b.output_sample(12), common_prev);
    EXPECT_EQ(b.output[16], 0xEE) << "outside the group";
    EXPECT_EQ(cap.progress, c.symbols);
    std::vector<uint64_t> expected(count);
    for (size_t i = 0; i < count; ++i) {
        expected[i] = (c.scores_before.empty() ? 0 : c.scores_before[i]) + c.hits_gained[i];
    }
    EXPECT_EQ(hits_of(b), expected);
    EXPECT_EQ(ctx.error_bytes, c.error_bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SampleVoteTable,
    testing::Values(
        sample_case{"first_corrected", {{X, true}, {Y, false}, {Y, false}}, 0, {}, Y, L" ",
                    {0, 0, 0}, 0},
        sample_case{"second_corrected", {{X, false}, {X, true}, {Y, false}}, 0, {}, X, L" #",
                    {1, 1, 0}, 2},
        sample_case{"both_candidates_corrected", {{X, true}, {X, true}, {Y, false}}, 0, {}, X,
                    L"  ", {0, 0, 0}, 0},
        sample_case{"all_different", {{X, false}, {Y, false}, {Z, false}}, 0, {3, 9, 4}, Y,
                    L"1.", {0, 0, 0}, 2},
        sample_case{"none_corrected_majority", {{X, false}, {Y, false}, {Y, false}}, 0, {}, Y,
                    L"#", {0, 1, 1}, 2},
        // The last input is never a candidate, so its own neighbours never matter.
        sample_case{"last_input_never_tested", {{X, false}, {Y, false}, {Y, true}}, 0, {}, Y,
                    L"#", {0, 1, 1}, 2},
        // Skipped candidate 1 keeps agree_count = prefix_last = 1, which input 0 then gets too.
        sample_case{"skipped_first_candidate_keeps_prefix",
                    {{X, false}, {X, true}, {Y, false}, {Z, false}}, 1, {}, X, L" #",
                    {1, 1, 0, 0}, 2},
        // The inputs after a skipped candidate agree: their value is written as if all agreed.
        sample_case{"corrected_then_agreeing_inputs",
                    {{X, false}, {X, true}, {Y, false}, {Y, false}}, 1, {}, Y, L" ",
                    {0, 0, 0, 0}, 0},
        sample_case{"all_skipped_takes_last_candidate",
                    {{X, true}, {Y, true}, {Z, true}, {X, false}}, 0, {}, Z, L"   ",
                    {0, 0, 0, 0}, 0}),
    [](const testing::TestParamInfo<sample_case>& info) { return std::string(info.param.name); });

// The first sample of a block has no previous neighbour in the block: it is never tested, even
// where the two bytes before the block would make it look corrected.
TEST(SampleVote, FirstSampleOfTheBlockIsNeverTested) {
    vote_bench b(3, sample_block + 2);
    // Input 0: 500 between a would-be previous sample 0 and next 1000.
    b.put_sample(0, 0, 0);
    b.put_sample(0, 2, 500);
    for (size_t i = 1; i < 3; ++i) b.put_sample(i, 2, 700);
    std::vector<const uint8_t*> starts;
    for (size_t i = 0; i < 3; ++i) {
        b.put_sample(i, 4, 1000);
        b.put_sample(i, 6, 0);
        b.put_sample(i, 8, 1000);
        b.put_sample(i, 10, 0);
        starts.push_back(b.blocks[i].data() + 2);
    }
    vote_context ctx = b.context(0, 0, 16);
    ctx.inputs = starts.data();
    console_capture cap;
    vote_samples(ctx);
    EXPECT_EQ(cap.progress, L"#");
    EXPECT_EQ(b.output_sample(0), 700);
    EXPECT_EQ(hits_of(b), (std::vector<uint64_t>{0, 1, 1}));
    EXPECT_EQ(ctx.error_bytes, 2u);
}

// Input 0's samples at offsets 12 and 14 both lie on the line through their neighbours (the
// one at 16 is past the block's end); inputs 1 and 2 hold other values there. Which of them are
// tested depends on block_len alone.
struct block_end_case {
    uint64_t block_len;
    std::wstring symbols;
    std::vector<uint64_t> hits;
    uint64_t error_bytes;
};

class SampleVoteBlockEnd : public testing::TestWithParam<block_end_case> {};

TEST_P(SampleVoteBlockEnd, SamplesFromBlockLenMinusTwoOnAreNotTested) {
    const block_end_case& c = GetParam();
    vote_bench b(3, sample_block);
    for (size_t i = 0; i < 3; ++i) {
        b.put_sample(i, 6, 9000);
        b.put_sample(i, 8, 5000);
        b.put_sample(i, 10, 100);
    }
    b.put_sample(0, 12, 200);
    b.put_sample(0, 14, 300);
    b.put_sample(0, 16, 400);
    for (size_t i = 1; i < 3; ++i) {
        b.put_sample(i, 12, 250);
        b.put_sample(i, 14, 350);
    }
    vote_context ctx = b.context(8, 0, c.block_len);
    console_capture cap;
    vote_samples(ctx);
    EXPECT_EQ(b.output_sample(12), 250);
    EXPECT_EQ(b.output_sample(14), 350);
    EXPECT_EQ(cap.progress, c.symbols);
    EXPECT_EQ(hits_of(b), c.hits);
    EXPECT_EQ(ctx.error_bytes, c.error_bytes);
}

INSTANTIATE_TEST_SUITE_P(BlockLen, SampleVoteBlockEnd,
                         testing::Values(block_end_case{14, L"##", {0, 2, 2}, 4},
                                         block_end_case{16, L" #", {0, 1, 1}, 2},
                                         block_end_case{18, L"  ", {0, 0, 0}, 0}));

// The test in unsigned arithmetic, including around the 16-bit wrap.
struct neighbour_case {
    uint16_t prev;
    uint16_t next;
    uint16_t value;
    bool corrected;
};

class SampleVoteNeighbours : public testing::TestWithParam<neighbour_case> {};

TEST_P(SampleVoteNeighbours, CorrectedWhenWithinOneOfTheUnsignedAverage) {
    const neighbour_case& c = GetParam();
    const uint16_t other = 0x1234;
    vote_bench b(3, sample_block);
    // Group at 8; tested sample at 10 between prev (8) and next (12), the same in every input.
    // The samples at 6 and 14 keep prev and next themselves far from their neighbours' average.
    for (size_t i = 0; i < 3; ++i) {
        b.put_sample(i, 6, static_cast<uint16_t>(c.prev >= 0x8000 ? 0 : 0xFFFF));
        b.put_sample(i, 8, c.prev);
        b.put_sample(i, 10, i == 0 ? c.value : other);
        b.put_sample(i, 12, c.next);
        b.put_sample(i, 14, static_cast<uint16_t>(c.next >= 0x8000 ? 0 : 0xFFFF));
    }
    vote_context ctx = b.context(8, 0, 16);
    console_capture cap;
    vote_samples(ctx);
    EXPECT_EQ(b.output_sample(10), other);
    EXPECT_EQ(cap.progress, c.corrected ? L" " : L"#");
    EXPECT_EQ(hits_of(b), c.corrected ? (std::vector<uint64_t>{0, 0, 0})
                                      : (std::vector<uint64_t>{0, 1, 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, SampleVoteNeighbours,
    testing::Values(neighbour_case{0xFFFF, 0x0001, 0x0000, false},
                    neighbour_case{0xFFFF, 0x0001, 0x8000, true},
                    neighbour_case{0xFFFF, 0x0001, 0x7FFF, true},
                    neighbour_case{0xFFFF, 0x0001, 0x8001, true},
                    neighbour_case{0xFFFF, 0x0001, 0x7FFE, false},
                    neighbour_case{0xFFFF, 0x0001, 0x8002, false},
                    neighbour_case{0xFFFF, 0xFFFD, 0xFFFD, true},
                    neighbour_case{0xFFFF, 0xFFFD, 0xFFFF, true},
                    neighbour_case{0xFFFF, 0xFFFD, 0xFFFC, false},
                    neighbour_case{100, 201, 150, true},  // average 150, rounded down
                    neighbour_case{100, 201, 149, true},
                    neighbour_case{100, 201, 151, true},
                    neighbour_case{100, 201, 152, false},
                    neighbour_case{100, 201, 148, false}));

TEST(SampleVote, ComparesWholeLittleEndianSamples) {
    // Inputs 0 and 2 share the low byte only, inputs 1 and 2 the whole sample.
    vote_bench b(3, 16);
    for (size_t i = 0; i < 3; ++i) {
        b.put_sample(i, 0, 0x0102);
        b.put_sample(i, 2, 0x0A0B);  // not the average of 0x0102 and 0x2000
        b.put_sample(i, 6, 0x2000);
    }
    b.put_sample(0, 4, 0x7705);
    b.put_sample(1, 4, 0x6605);
    b.put_sample(2, 4, 0x6605);
    vote_context ctx = b.context(0, 0, 16);
    console_capture cap;
    vote_samples(ctx);
    EXPECT_EQ(b.output_sample(4), 0x6605);
    EXPECT_EQ(b.output[4], 0x05);
    EXPECT_EQ(b.output[5], 0x66);
    EXPECT_EQ(cap.progress, L"#");
    EXPECT_EQ(ctx.error_bytes, 2u);
}

}  // namespace
