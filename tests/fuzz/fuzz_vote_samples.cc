// Fuzzes the sample vote for memory safety and its invariants. Each input's block is allocated
// to its exact length, so a read outside the block (the neighbours of the corrected-sample test)
// is caught by AddressSanitizer. Input: count, block length, group position, prefix length, then
// the blocks.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/vote.h"
#include "support/console.h"

namespace {

void drop_text(int, const wchar_t*, size_t, void*) {}

uint16_t sample_at(const uint8_t* block, uint64_t offset) {
    return static_cast<uint16_t>(block[offset] | (block[offset + 1] << 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const uint64_t count = 3 + data[0] % 30;
    const uint64_t groups = 1 + data[1] % 6;
    const uint64_t block_len = groups * 8 - data[2] % 8;  // not always a whole group
    const uint64_t pos = (data[3] % groups) * 8;
    // The block loop's buffers are whole groups long and reach past the last group: an odd
    // block_len leaves a sample straddling its end, and with a block of 1 byte the test's bound
    // (block_len - 2, unsigned) wraps, so the group's last sample is tested and its next
    // neighbour, just past the group, is read. Both stay inside a real block.
    const uint64_t whole_groups = (block_len + 7) / 8 * 8;
    const uint64_t group_end = block_len < 2 ? pos + 10 : pos + 8;
    const uint64_t buffer_len = whole_groups > group_end ? whole_groups : group_end;
    if (size < 4 + count * buffer_len) return 0;

    uint8_t* blocks[32];
    const uint8_t* inputs[32];
    const uint8_t* p = data + 4;
    for (uint64_t i = 0; i < count; ++i) {
        blocks[i] = static_cast<uint8_t*>(malloc(buffer_len));
        std::memcpy(blocks[i], p, buffer_len);
        p += buffer_len;
        inputs[i] = blocks[i];
    }
    uint64_t j = 1;
    while (j < count && std::memcmp(blocks[j] + pos, blocks[0] + pos, 8) == 0) ++j;
    if (j < count) {
        uint8_t* output = static_cast<uint8_t*>(malloc(buffer_len));
        uint64_t hits[32], before[32], agree[32];
        for (uint64_t i = 0; i < count; ++i) hits[i] = before[i] = data[1 + i % 3] % 7;
        vote_context ctx{count, inputs, output, pos, j - 1, block_len, hits, agree, 0};
        console_set_sink(drop_text, nullptr);
        vote_samples(ctx);
        console_set_sink(nullptr, nullptr);

        // Every decided sample is one that some input holds there; hits only grow, by at most
        // count - 1 per sample; error_bytes grows by 2 per disagreeing sample at most.
        for (uint64_t s = pos; s < pos + 8; s += 2) {
            bool held = false;
            for (uint64_t i = 0; i < count; ++i) held |= sample_at(blocks[i], s) == sample_at(output, s);
            if (!held) abort();
        }
        for (uint64_t i = 0; i < count; ++i) {
            if (hits[i] < before[i] || hits[i] - before[i] > 4 * (count - 1)) abort();
        }
        if (ctx.error_bytes > 8 || ctx.error_bytes % 2 != 0) abort();
        free(output);
    }
    for (uint64_t i = 0; i < count; ++i) free(blocks[i]);
    return 0;
}
