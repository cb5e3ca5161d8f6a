// The fast paths against the plain procedures on random data: the counting votes against the
// pairwise votes, the chunk scanners against a group-by-group comparison, the byte scanners
// and position counters against a byte-by-byte one, and restore_blocks against a block loop
// written out plainly with the pairwise votes. Small alphabets make ties,
// shared values and corrected samples frequent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "block_loop_bench.h"
#include "console_capture.h"
#include "engine/block_votes.h"
#include "engine/byte_scan.h"
#include "engine/group_scan.h"
#include "engine/vote.h"
#include "support/run_values.h"

namespace {

// ---------------------------------------------------------------------------------------------
// One group through both votes.

constexpr size_t group_block = 48;  // room for a group at 0..32 and the neighbours of its samples

/// Blocks of every input and a hit table, voted twice from the same starting point.
struct vote_pair {
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<const uint8_t*> pointers;
    std::vector<uint64_t> hits_before;

    /// What one vote did.
    struct outcome {
        std::vector<uint8_t> output;
        std::wstring symbols;
        std::vector<uint64_t> hits;
        uint64_t error_bytes = 0;
        std::wstring text;
    };

    outcome run(void (*vote)(vote_context&), uint64_t pos, uint64_t prefix_last, uint64_t block_len,
                uint64_t errors_before) const {
        outcome o;
        o.output.assign(group_block, 0xEE);
        uint64_t hits[384];
        uint64_t agree[384];
        for (size_t k = 0; k < blocks.size(); ++k) hits[k] = hits_before[k];
        vote_context ctx{blocks.size(), pointers.data(), o.output.data(),
                         pos,           prefix_last,     block_len,
                         hits,          agree,           errors_before};
        {
            console_capture cap;
            vote(ctx);
            o.symbols = cap.progress;
            o.text = cap.text;
        }
        o.hits.assign(hits, hits + blocks.size());
        o.error_bytes = ctx.error_bytes;
        return o;
    }
};

/// Random groups for the votes: values from a small alphabet, sometimes input 0's group copied
/// into the inputs after it as the block loop's prefix, and hit scores with ties.
class random_groups {
public:
    explicit random_groups(uint64_t seed) : rng_(seed) {}

    /// Fills `pair` with `count` inputs; returns false when the group is equal in all of them.
    /// `prefix_last` is what the block loop computes, or any candidate when `any_prefix`.
    bool fill(vote_pair& pair, size_t count, bool samples, uint64_t pos, bool any_prefix,
              uint64_t& prefix_last) {
        pair.blocks.assign(count, std::vector<uint8_t>(group_block));
        pair.pointers.clear();
        pair.hits_before.assign(count, 0);
        const unsigned alphabet = pick_alphabet();
        // Samples near one base value, so that many lie within 1 of their neighbours' average.
        const uint32_t base = static_cast<uint32_t>(rng_() % 65536);
        for (size_t k = 0; k < count; ++k) {
            auto& b = pair.blocks[k];
            if (samples) {
                for (size_t o = 0; o < group_block; o += 2) {
                    const uint32_t v = (base + rng_() % alphabet) & 0xFFFF;
                    b[o] = static_cast<uint8_t>(v);
                    b[o + 1] = static_cast<uint8_t>(v >> 8);
                }
            } else {
                for (auto& byte : b) byte = static_cast<uint8_t>('a' + rng_() % alphabet);
            }
            pair.hits_before[k] = rng_() % 4;
        }
        const size_t copies = rng_() % 4 == 0 ? rng_() % count : rng_() % 3;
        for (size_t k = 1; k <= copies && k < count; ++k) {
            std::memcpy(pair.blocks[k].data() + pos, pair.blocks[0].data() + pos, 8);
        }
        for (auto& b : pair.blocks) pair.pointers.push_back(b.data());
        size_t j = 1;
        while (j < count &&
               std::memcmp(pair.blocks[j].data() + pos, pair.blocks[0].data() + pos, 8) == 0) {
            ++j;
        }
        if (j == count) return false;
        prefix_last = any_prefix ? rng_() % (count - 1) : j - 1;
        return true;
    }

    uint64_t below(uint64_t n) { return rng_() % n; }

private:
    unsigned pick_alphabet() {
        switch (rng_() % 6) {
            case 0:
                return 1 + static_cast<unsigned>(rng_() % 2);
            case 1:
                return 256;
            default:
                return 2 + static_cast<unsigned>(rng_() % 4);
        }
    }

    std::mt19937_64 rng_;
};

void expect_same(const vote_pair::outcome& fast, const vote_pair::outcome& plain,
                 const std::string& where) {
    ASSERT_EQ(fast.output, plain.output) << where;
    ASSERT_EQ(fast.symbols, plain.symbols) << where;
    ASSERT_EQ(fast.hits, plain.hits) << where;
    ASSERT_EQ(fast.error_bytes, plain.error_bytes) << where;
    ASSERT_EQ(fast.text, plain.text) << where;
}

struct vote_kind {
    const char* name;
    bool samples;
    void (*fast)(vote_context&);
    void (*plain)(vote_context&);
};

void PrintTo(const vote_kind& kind, std::ostream* os) {
    *os << kind.name;
}

class VoteDifferential : public testing::TestWithParam<vote_kind> {};

TEST_P(VoteDifferential, CountingVoteDecidesAsThePairwiseProcedure) {
    const vote_kind& kind = GetParam();
    random_groups groups(kind.samples ? 77 : 78);
    int voted = 0;
    for (int round = 0; round < 30000; ++round) {
        // Mostly few inputs, where the rules' corner cases are dense; now and then many.
        const size_t count = round % 50 == 0 ? 3 + groups.below(382) : 3 + groups.below(14);
        const uint64_t pos = 8 * groups.below(5);
        const bool any_prefix = groups.below(4) == 0;
        // block_len past the group (pos < block_len, as the block loop has it), often close
        // to the group's samples so that the last ones are not tested.
        const uint64_t block_len = groups.below(2) == 0 ? pos + 1 + groups.below(12)
                                                        : pos + 1 + groups.below(group_block - pos);
        vote_pair pair;
        uint64_t prefix_last = 0;
        if (!groups.fill(pair, count, kind.samples, pos, any_prefix, prefix_last)) continue;
        const uint64_t errors_before = groups.below(1000);
        const std::string where = "round " + std::to_string(round) + ", " + std::to_string(count) +
                                  " inputs, prefix_last " + std::to_string(prefix_last) + ", pos " +
                                  std::to_string(pos) + ", block_len " + std::to_string(block_len);
        expect_same(pair.run(kind.fast, pos, prefix_last, block_len, errors_before),
                    pair.run(kind.plain, pos, prefix_last, block_len, errors_before), where);
        ++voted;
    }
    EXPECT_GT(voted, 20000);
}

TEST_P(VoteDifferential, AllDifferentValuesAmongManyInputs) {
    // Every input its own value (as far as the values go): the best-scored input decides,
    // and input numbers with several digits are shown.
    const vote_kind& kind = GetParam();
    std::mt19937_64 rng(9);
    for (size_t count : {3u, 40u, 255u, 256u, 384u}) {
        vote_pair pair;
        pair.blocks.assign(count, std::vector<uint8_t>(group_block));
        for (size_t k = 0; k < count; ++k) {
            for (size_t o = 0; o < group_block; ++o) {
                pair.blocks[k][o] = static_cast<uint8_t>(o % 2 == 0 ? k * 7 + o : 0x55 ^ k);
            }
            pair.hits_before.push_back(rng() % 3);
        }
        for (auto& b : pair.blocks) pair.pointers.push_back(b.data());
        expect_same(pair.run(kind.fast, 16, 0, group_block, 0),
                    pair.run(kind.plain, 16, 0, group_block, 0), std::to_string(count));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Votes, VoteDifferential,
    testing::Values(vote_kind{"bytes", false, vote_bytes, vote_bytes_reference},
                    vote_kind{"samples", true, vote_samples, vote_samples_reference}),
    [](const testing::TestParamInfo<vote_kind>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The chunk scanners against a group-by-group comparison.

struct scanner_kind {
    const char* name;
    chunk_scanner scan;
    bool runs_here;
};

void PrintTo(const scanner_kind& kind, std::ostream* os) {
    *os << kind.name;
}

class ChunkScanner : public testing::TestWithParam<scanner_kind> {};

TEST_P(ChunkScanner, MarksExactlyTheDifferingGroupsOfEveryInputAndCopiesInputZero) {
    const scanner_kind& kind = GetParam();
    if (!kind.runs_here) GTEST_SKIP() << "this processor lacks " << kind.name;
    std::mt19937_64 rng(31);
    for (int round = 0; round < 3000; ++round) {
        const size_t count = round % 20 == 0 ? 2 + rng() % 383 : 2 + rng() % 20;
        const uint64_t groups = rng() % 3 == 0 ? 1 + rng() % 9 : 1 + rng() % scan_chunk_groups;
        // An offset that is a multiple of 8 but not of 32, now and then, as for a chunk after
        // an odd number of groups.
        const uint64_t pos = 8 * (rng() % 5);
        const size_t bytes = pos + groups * 8;
        std::vector<std::vector<uint8_t>> blocks(count, std::vector<uint8_t>(bytes));
        for (size_t o = 0; o < bytes; ++o) {
            const uint8_t v = static_cast<uint8_t>(rng());
            for (auto& b : blocks) b[o] = v;
        }
        // Differences: none, a few, or many; in any input, any byte of a group.
        const uint64_t changes = rng() % 4 == 0   ? 0
                                 : rng() % 3 == 0 ? rng() % (groups * count)
                                                  : 1 + rng() % 3;
        for (uint64_t c = 0; c < changes; ++c) {
            const size_t k = rng() % count;
            blocks[k][pos + rng() % (groups * 8)] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        std::vector<const uint8_t*> pointers;
        for (auto& b : blocks) pointers.push_back(b.data());

        std::vector<uint64_t> expected(count, 0);
        uint64_t expected_union = 0;
        for (uint64_t g = 0; g < groups; ++g) {
            for (size_t k = 1; k < count; ++k) {
                if (std::memcmp(blocks[k].data() + pos + 8 * g, blocks[0].data() + pos + 8 * g,
                                8) != 0) {
                    expected[k] |= uint64_t{1} << g;
                    expected_union |= uint64_t{1} << g;
                }
            }
        }

        const std::string where = "round " + std::to_string(round);
        std::vector<uint8_t> output(bytes + 8, 0xEE);
        std::vector<uint64_t> masks(count, 99);
        ASSERT_EQ(kind.scan(pointers.data(), count, output.data(), pos, groups, masks.data()),
                  expected_union)
            << where;
        for (size_t k = 1; k < count; ++k)
            ASSERT_EQ(masks[k], expected[k]) << where << " input " << k;
        ASSERT_EQ(std::memcmp(output.data() + pos, blocks[0].data() + pos, groups * 8), 0) << where;
        for (size_t o = 0; o < pos; ++o) ASSERT_EQ(output[o], 0xEE) << where;
        for (size_t o = bytes; o < output.size(); ++o) ASSERT_EQ(output[o], 0xEE) << where;

        // Without an output the same inputs are marked.
        std::vector<uint64_t> again(count, 99);
        ASSERT_EQ(kind.scan(pointers.data(), count, nullptr, pos, groups, again.data()),
                  expected_union)
            << where;
        for (size_t k = 1; k < count; ++k) ASSERT_EQ(again[k], expected[k]) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scanners, ChunkScanner,
    testing::Values(scanner_kind{"portable", scan_chunk_portable, true},
                    scanner_kind{"avx2", scan_chunk_avx2,
                                 static_cast<bool>(__builtin_cpu_supports("avx2"))},
                    scanner_kind{"avx512", scan_chunk_avx512,
                                 static_cast<bool>(__builtin_cpu_supports("avx512f"))}),
    [](const testing::TestParamInfo<scanner_kind>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// The byte scanners and position counters against a byte-by-byte comparison.

struct byte_scanner_kind {
    const char* name;
    byte_scanner scan;
    bool runs_here;
};

void PrintTo(const byte_scanner_kind& kind, std::ostream* os) {
    *os << kind.name;
}

class ByteScanner : public testing::TestWithParam<byte_scanner_kind> {};

TEST_P(ByteScanner, MarksExactlyTheDifferingBytesAndSumsThemUp) {
    const byte_scanner_kind& kind = GetParam();
    if (!kind.runs_here) GTEST_SKIP() << "this processor lacks " << kind.name;
    std::mt19937_64 rng(37);
    auto bytes = std::make_unique<chunk_bytes>();
    for (int round = 0; round < 2000; ++round) {
        const size_t count = round % 20 == 0 ? 3 + rng() % 382 : 3 + rng() % 12;
        const uint64_t groups = rng() % 3 == 0 ? 1 + rng() % 9 : 1 + rng() % scan_chunk_groups;
        const uint64_t pos = 8 * (rng() % 5);
        // Blocks end right after the chunk, so that a read past its groups would be noticed
        // by the address sanitizer.
        const size_t length = pos + groups * 8;
        std::vector<std::vector<uint8_t>> blocks(count, std::vector<uint8_t>(length));
        for (size_t o = 0; o < length; ++o) {
            const uint8_t v = static_cast<uint8_t>(rng());
            for (auto& b : blocks) b[o] = v;
        }
        // Damage in one input, in several at one byte, or in every input but input 0 (then
        // now and then input 0 alone differs).
        const uint64_t changes = rng() % 4 == 0 ? 0 : 1 + rng() % (groups * 2);
        for (uint64_t c = 0; c < changes; ++c) {
            const size_t at = pos + rng() % (groups * 8);
            const int kind_of_change = static_cast<int>(rng() % 3);
            if (kind_of_change == 0) {
                blocks[rng() % count][at] ^= static_cast<uint8_t>(1 + rng() % 255);
            } else if (kind_of_change == 1) {
                for (size_t k = 1; k < count; k += 1 + rng() % 3) blocks[k][at] ^= 0x10;
            } else {
                blocks[0][at] ^= 0x01;
            }
        }
        std::vector<const uint8_t*> pointers;
        for (auto& b : blocks) pointers.push_back(b.data());

        const uint64_t words = (groups + 7) / 8;
        std::vector<std::vector<uint64_t>> expected(count, std::vector<uint64_t>(words, 0));
        std::vector<uint64_t> some(words, 0), several(words, 0), zero_alone(words, 0);
        for (uint64_t o = 0; o < groups * 8; ++o) {
            size_t differing = 0;
            for (size_t k = 1; k < count; ++k) {
                if (blocks[k][pos + o] != blocks[0][pos + o]) {
                    expected[k][o / 64] |= uint64_t{1} << (o % 64);
                    ++differing;
                }
            }
            const uint64_t bit = uint64_t{1} << (o % 64);
            if (differing >= 1) some[o / 64] |= bit;
            if (differing >= 2) several[o / 64] |= bit;
            bool others_alike = true;
            for (size_t k = 2; k < count; ++k)
                others_alike &= blocks[k][pos + o] == blocks[1][pos + o];
            if (differing == count - 1 && others_alike) zero_alone[o / 64] |= bit;
        }
        bool any = false;
        for (uint64_t w = 0; w < words; ++w) any |= some[w] != 0;

        const std::string where = "round " + std::to_string(round);
        std::vector<uint8_t> output(length + 8, 0xEE);
        ASSERT_EQ(kind.scan(pointers.data(), count, output.data(), pos, groups, *bytes), any)
            << where;
        for (size_t k = 1; k < count; ++k) {
            for (uint64_t w = 0; w < words; ++w)
                ASSERT_EQ(bytes->differ[k][w], expected[k][w]) << where << " input " << k;
        }
        for (uint64_t w = 0; w < words; ++w) {
            ASSERT_EQ(bytes->some[w], some[w]) << where << " word " << w;
            ASSERT_EQ(bytes->several[w], several[w]) << where << " word " << w;
            ASSERT_EQ(bytes->zero_alone[w], zero_alone[w]) << where << " word " << w;
        }
        ASSERT_EQ(std::memcmp(output.data() + pos, blocks[0].data() + pos, groups * 8), 0) << where;
        for (size_t o = 0; o < pos; ++o) ASSERT_EQ(output[o], 0xEE) << where;
        for (size_t o = length; o < output.size(); ++o) ASSERT_EQ(output[o], 0xEE) << where;

        // Without an output, the same findings.
        ASSERT_EQ(kind.scan(pointers.data(), count, nullptr, pos, groups, *bytes), any) << where;
        for (uint64_t w = 0; w < words; ++w) ASSERT_EQ(bytes->some[w], some[w]) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scanners, ByteScanner,
    testing::Values(byte_scanner_kind{"portable", scan_bytes_portable, true},
                    byte_scanner_kind{"avx2", scan_bytes_avx2,
                                      static_cast<bool>(__builtin_cpu_supports("avx2"))},
                    byte_scanner_kind{"avx512", scan_bytes_avx512,
                                      static_cast<bool>(__builtin_cpu_supports("avx512bw"))}),
    [](const testing::TestParamInfo<byte_scanner_kind>& info) {
        return std::string(info.param.name);
    });

TEST(PositionCounter, BothCountersTakeEveryInputsOwnPositionsOffItsHits) {
    std::mt19937_64 rng(41);
    auto bytes = std::make_unique<chunk_bytes>();
    const bool popcnt_here = __builtin_cpu_supports("popcnt");
    for (int round = 0; round < 500; ++round) {
        const uint64_t count = 3 + rng() % 382;
        for (uint64_t j = 1; j < count; ++j) {
            for (uint64_t w = 0; w < scan_chunk_words; ++w)
                bytes->differ[j][w] = rng() % 4 == 0 ? rng() : rng() & rng() & rng();
        }
        uint64_t mask[scan_chunk_words];
        for (uint64_t& m : mask) m = rng();
        const uint64_t first_word = rng() % scan_chunk_words;
        const uint64_t end_word = first_word + 1 + rng() % (scan_chunk_words - first_word);
        const uint64_t gained = rng() % 400;
        std::vector<uint64_t> start(count);
        for (uint64_t& h : start) h = rng();

        std::vector<uint64_t> expected = start;
        for (uint64_t j = 1; j < count; ++j) {
            for (uint64_t w = first_word; w < end_word; ++w) {
                for (int b = 0; b < 64; ++b) {
                    if ((bytes->differ[j][w] & mask[w]) >> b & 1) expected[j] -= gained;
                }
            }
        }
        std::vector<uint64_t> portable = start;
        count_positions_portable(*bytes, count, mask, first_word, end_word, gained,
                                 portable.data());
        ASSERT_EQ(portable, expected) << "round " << round;
        if (!popcnt_here) continue;
        std::vector<uint64_t> popcnt = start;
        count_positions_popcnt(*bytes, count, mask, first_word, end_word, gained, popcnt.data());
        ASSERT_EQ(popcnt, expected) << "round " << round;
    }
}

// ---------------------------------------------------------------------------------------------
// Whole runs of restore_blocks against a block loop written out group by group with the
// pairwise votes.

constexpr uint64_t small_block = 4096;

/// What the plain loop printed, decided and counted.
struct plain_run {
    std::string output;
    std::wstring progress;
    std::vector<uint64_t> hits;
    uint64_t error_bytes = 0;
};

uint64_t group_at(const std::vector<uint8_t>& block, uint64_t pos) {
    uint64_t v;
    std::memcpy(&v, block.data() + pos, sizeof v);
    return v;
}

plain_run plain_restore(const std::vector<std::string>& inputs, uint64_t block_size) {
    plain_run run;
    const size_t count = inputs.size();
    std::vector<std::vector<uint8_t>> blocks(count, std::vector<uint8_t>(block_size, 0xA5));
    std::vector<const uint8_t*> pointers;
    for (auto& b : blocks) pointers.push_back(b.data());
    std::vector<uint8_t> out(block_size, 0xA5);
    uint64_t hits[384] = {};
    uint64_t agree[384] = {};
    vote_context ctx{count, pointers.data(), out.data(), 0, 0, 0, hits, agree, 0};
    const uint64_t per_line = 80 / (count + 1);
    uint64_t column = 0;
    console_capture cap;
    err_printf(L"processing:\n");
    for (uint64_t offset = 0;; offset += block_size) {
        uint64_t block_len = block_size;
        for (size_t i = 0; i < count; ++i) {
            const uint64_t size = inputs[i].size();
            const uint64_t got = offset < size ? std::min<uint64_t>(block_size, size - offset) : 0;
            std::memcpy(blocks[i].data(), inputs[i].data() + offset, got);
            if (got > 0 && got < block_size)
                std::memset(blocks[i].data() + got, 0, block_size - got);
            block_len = std::min(block_len, got);
            err_symbol(L'.');
        }
        bool clean = true;
        for (uint64_t pos = 0; pos < block_len; pos += 8) {
            size_t j = 1;
            while (j < count && group_at(blocks[j], pos) == group_at(blocks[0], pos)) ++j;
            if (j == count) {
                std::memcpy(out.data() + pos, blocks[0].data() + pos, 8);
                continue;
            }
            if (clean) err_printf(L"<\n");
            clean = false;
            ctx.pos = pos;
            ctx.prefix_last = j - 1;
            ctx.block_len = block_len;
            (sample_mode ? vote_samples_reference : vote_bytes_reference)(ctx);
        }
        run.output.append(reinterpret_cast<const char*>(out.data()), block_len);
        if (clean) {
            err_symbol(L'|');
            if (++column >= per_line) {
                column = 0;
                err_symbol(L'\n');
            }
        } else {
            err_printf(L"\n\n");
            column = 0;
        }
        if (block_len == 0) break;
    }
    err_symbol(L'\n');
    run.progress = cap.progress;
    run.hits.assign(hits, hits + count);
    run.error_bytes = ctx.error_bytes;
    return run;
}

/// `count` copies of `length` bytes of audio-like data with damage of a kind that `round`
/// and `rng` choose: sparse or dense, shared between copies or not, one copy cut short.
std::vector<std::string> damaged_copies(std::mt19937_64& rng, int round, size_t count,
                                        size_t length) {
    std::string base(length, '\0');
    // Audio-like samples of one small range: interpolated-looking samples are common.
    for (size_t o = 0; o < length; ++o) base[o] = static_cast<char>(o % 2 == 0 ? rng() % 4 : 0x40);
    std::vector<std::string> inputs(count, base);
    // Sparse damage in some rounds, dense damage in a stretch in others.
    const bool dense = rng() % 2 == 0;
    for (auto& in : inputs) {
        const size_t damaged = length == 0 ? 0 : dense ? length / 3 : rng() % 6;
        const size_t start = dense && length > 0 ? rng() % length : 0;
        for (size_t d = 0; d < damaged; ++d) {
            const size_t at = dense ? (start + d) % length : rng() % length;
            in[at] = static_cast<char>(rng() % (dense ? 3 : 256));
        }
    }
    // Copies that share their damage: groups that hold two values only, with either side
    // in the majority or both sides equally strong (an even count split in halves), or
    // input 0 alone against all the others.
    if (round % 3 == 2) {
        const std::string zero = inputs[0];
        const std::string one = inputs[1];
        const bool zero_alone = rng() % 3 == 0;
        for (size_t k = 1; k < count; ++k) inputs[k] = k % 2 == 0 && !zero_alone ? zero : one;
        if (!zero_alone && rng() % 2 == 0) inputs[count - 1] = zero;
    }
    // Two copies damaged at the same places, now alike and now not: groups in which two
    // inputs differ, at the same positions or at different ones.
    if (round % 4 == 1 && count > 2 && length > 0) {
        const size_t a = 1 + rng() % (count - 1);
        const size_t b = 1 + (a + rng() % (count - 2)) % (count - 1);
        for (size_t d = 0; d < 1 + length / 64; ++d) {
            const size_t at = rng() % length;
            inputs[a][at] = static_cast<char>(0x80 + rng() % 2);
            inputs[b][(at + (rng() % 3 == 0 ? 1 : 0)) % length] =
                static_cast<char>(0x80 + rng() % 2);
        }
    }
    // Now and then one input ends early.
    if (rng() % 4 == 0 && length > 10) inputs[rng() % count].resize(length - 1 - rng() % 10);
    return inputs;
}

class sample_mode_set {
public:
    explicit sample_mode_set(bool on) { sample_mode = on; }
    ~sample_mode_set() { sample_mode = false; }
};

TEST(BlockLoopDifferential, RestoreBlocksDecidesAsThePlainLoop) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 48; ++round) {
        const bool samples = round % 2 == 1;
        sample_mode_set mode(samples);
        const size_t count = round % 8 == 7 ? 60 + rng() % 40 : 3 + rng() % 8;
        // Lengths around whole blocks, groups and samples.
        const size_t length = small_block * (rng() % 3) + rng() % (small_block + 20);
        const std::vector<std::string> inputs = damaged_copies(rng, round, count, length);
        plain_run plain = plain_restore(inputs, small_block);
        block_loop_bench bench;
        loop_result fast = bench.run(inputs, small_block);
        const std::string where = "round " + std::to_string(round) + ", " + std::to_string(count) +
                                  " inputs, " + std::to_string(length) + " bytes";
        ASSERT_EQ(fast.output, plain.output) << where;
        ASSERT_EQ(fast.progress, plain.progress) << where;
        ASSERT_EQ(fast.text, hit_table(plain.hits)) << where;
        ASSERT_EQ(fast.error_bytes, plain.error_bytes) << where;
    }
}

// The vote phase alone, over blocks in memory of sizes that are whole chunks and not, against
// the plain loop.
TEST(BlockVotesDifferential, VotePhaseDecidesAsThePlainLoop) {
    std::mt19937_64 rng(8);
    for (int round = 0; round < 48; ++round) {
        const bool samples = round % 2 == 1;
        sample_mode_set mode(samples);
        const size_t count = round % 8 == 7 ? 60 + rng() % 40 : 3 + rng() % 8;
        // Blocks of whole chunks and not; a length that ends anywhere.
        const uint64_t block_size = round % 3 == 0 ? 512 : small_block + 8 * (rng() % 3);
        const size_t length = block_size * (rng() % 3) + rng() % (block_size + 20);
        const std::vector<std::string> inputs = damaged_copies(rng, round, count, length);
        const plain_run plain = plain_restore(inputs, block_size);

        std::vector<std::vector<uint8_t>> blocks(count, std::vector<uint8_t>(block_size, 0xA5));
        std::vector<const uint8_t*> pointers;
        for (auto& b : blocks) pointers.push_back(b.data());
        std::vector<uint8_t> out(block_size, 0xA5);
        block_votes votes(count, pointers.data(), out.data(), samples);
        std::string output;
        std::wstring progress = L"processing:\n";
        uint64_t column = 0;
        for (uint64_t offset = 0;; offset += block_size) {
            uint64_t block_len = block_size;
            for (size_t i = 0; i < count; ++i) {
                const uint64_t size = inputs[i].size();
                const uint64_t got =
                    offset < size ? std::min<uint64_t>(block_size, size - offset) : 0;
                std::memcpy(blocks[i].data(), inputs[i].data() + offset, got);
                if (got > 0 && got < block_size)
                    std::memset(blocks[i].data() + got, 0, block_size - got);
                block_len = std::min(block_len, got);
                progress += L'.';
            }
            bool clean = true;
            if (block_len != 0) {
                console_capture cap;
                const uint8_t* decided = votes.vote_block(block_len, clean);
                output.append(reinterpret_cast<const char*>(decided), block_len);
                progress += cap.progress;
            }
            if (clean) {
                progress += L'|';
                if (++column >= 80 / (count + 1)) {
                    column = 0;
                    progress += L'\n';
                }
            } else {
                progress += L"\n\n";
                column = 0;
            }
            if (block_len == 0) break;
        }
        progress += L'\n';
        const std::string where = "round " + std::to_string(round) + ", " + std::to_string(count) +
                                  " inputs, " + std::to_string(length) + " bytes, blocks of " +
                                  std::to_string(block_size);
        ASSERT_EQ(output, plain.output) << where;
        ASSERT_EQ(progress, plain.progress) << where;
        const uint64_t* hits = votes.hits();
        ASSERT_EQ(std::vector<uint64_t>(hits, hits + count), plain.hits) << where;
        ASSERT_EQ(votes.error_bytes(), plain.error_bytes) << where;
    }
}

}  // namespace
