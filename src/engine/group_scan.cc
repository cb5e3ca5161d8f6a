// The chunk scanners of the block loop. Both compare input 0's chunk with every other input's,
// one input after the other, and collect the differences per group: reading each input's chunk
// as one run keeps the memory traffic sequential however many inputs there are, whereas looking
// at every input for each group would jump between all the blocks every 8 bytes.
#include "engine/group_scan.h"

#include <immintrin.h>

#include <cstring>

namespace {

/// Returns the 8 bytes at `p` as one value.
uint64_t load_group(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

bool scan_chunk_portable(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                         uint64_t pos, uint64_t groups, uint64_t* differing) {
    // Per group, the bits in which some input differs from input 0.
    uint64_t diff[scan_chunk_groups];
    const uint8_t* first = inputs[0] + pos;
    if (output != nullptr) std::memcpy(output + pos, first, groups * 8);
    for (uint64_t g = 0; g < groups; ++g) diff[g] = 0;
    for (uint64_t j = 1; j < count; ++j) {
        const uint8_t* other = inputs[j] + pos;
        for (uint64_t g = 0; g < groups; ++g) {
            diff[g] |= load_group(first + 8 * g) ^ load_group(other + 8 * g);
        }
    }
    uint64_t any = 0;
    for (uint64_t w = 0; w < 4; ++w) differing[w] = 0;
    for (uint64_t g = 0; g < groups; ++g) {
        const uint64_t bit = diff[g] != 0 ? 1 : 0;
        differing[g / 64] |= bit << (g % 64);
        any |= bit;
    }
    return any != 0;
}

__attribute__((target("avx2"))) bool scan_chunk_avx2(const uint8_t* const* inputs,
                                                     uint64_t count, uint8_t* output,
                                                     uint64_t pos, uint64_t groups,
                                                     uint64_t* differing) {
    constexpr uint64_t groups_per_vector = 4;
    // Up to this many inputs, each 32 bytes are compared across all inputs at once: a few
    // sequential streams, no intermediate table.
    constexpr uint64_t few_inputs = 8;
    const uint64_t vectors = groups / groups_per_vector;
    // Per 32 bytes, the bits in which some input differs from input 0.
    __m256i diff[scan_chunk_groups / groups_per_vector];
    __m256i any = _mm256_setzero_si256();
    const uint8_t* first = inputs[0] + pos;
    uint8_t* out = output != nullptr ? output + pos : nullptr;

    if (count <= few_inputs) {
        for (uint64_t v = 0; v < vectors; ++v) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 32 * v));
            if (out != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * v), a);
            __m256i d = _mm256_setzero_si256();
            for (uint64_t j = 1; j < count; ++j) {
                const __m256i b =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(inputs[j] + pos + 32 * v));
                d = _mm256_or_si256(d, _mm256_xor_si256(a, b));
            }
            diff[v] = d;
            any = _mm256_or_si256(any, d);
        }
    } else {
        // One input after the other, so that every input's chunk is read as one run; input 1
        // goes together with the copy of input 0.
        const uint8_t* second = inputs[1] + pos;
        for (uint64_t v = 0; v < vectors; ++v) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 32 * v));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + 32 * v));
            if (out != nullptr) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * v), a);
            diff[v] = _mm256_xor_si256(a, b);
        }
        for (uint64_t j = 2; j < count; ++j) {
            const uint8_t* other = inputs[j] + pos;
            for (uint64_t v = 0; v < vectors; ++v) {
                const __m256i a =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 32 * v));
                const __m256i b =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(other + 32 * v));
                diff[v] = _mm256_or_si256(diff[v], _mm256_xor_si256(a, b));
            }
        }
        for (uint64_t v = 0; v < vectors; ++v) any = _mm256_or_si256(any, diff[v]);
    }

    for (uint64_t w = 0; w < 4; ++w) differing[w] = 0;
    bool some = !_mm256_testz_si256(any, any);
    if (some) {
        // One word of 64 groups from 16 vectors, four bits each.
        const __m256i zero = _mm256_setzero_si256();
        for (uint64_t v0 = 0; v0 < vectors; v0 += 16) {
            uint64_t word = 0;
            const uint64_t end = vectors - v0 < 16 ? vectors : v0 + 16;
            for (uint64_t v = v0; v < end; ++v) {
                // A bit per 64-bit lane, set where the lane's group is equal in every input.
                const int equal =
                    _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(diff[v], zero)));
                word |= static_cast<uint64_t>(~equal & 0xF) << (4 * (v - v0));
            }
            differing[v0 / 16] = word;
        }
    }

    // The groups after the last whole vector, at the end of a block.
    for (uint64_t g = vectors * groups_per_vector; g < groups; ++g) {
        const uint64_t a = load_group(first + 8 * g);
        if (out != nullptr) std::memcpy(out + 8 * g, &a, sizeof a);
        uint64_t d = 0;
        for (uint64_t j = 1; j < count; ++j) d |= load_group(inputs[j] + pos + 8 * g) ^ a;
        if (d != 0) {
            differing[g / 64] |= uint64_t{1} << (g % 64);
            some = true;
        }
    }
    return some;
}

chunk_scanner pick_chunk_scanner() {
    return __builtin_cpu_supports("avx2") ? scan_chunk_avx2 : scan_chunk_portable;
}
