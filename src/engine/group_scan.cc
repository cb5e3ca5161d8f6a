// The chunk scanners of the block loop. They compare input 0's chunk with every other input's,
// one input after the other: reading each input's chunk as one run keeps the memory traffic
// sequential however many inputs there are, whereas looking at every input for each group
// would jump between all the blocks every 8 bytes. An input whose chunk equals input 0's costs
// one pass of XOR and OR; only an input that differs somewhere is compared group by group.
#include "engine/group_scan.h"
#include "engine/group_bits.h"

#include <immintrin.h>

#include <cstring>

namespace {

/// Returns a bit for each of the groups `from` to `to` (not included) at `first` and `other`,
/// set where the two differ, group g at bit g.
uint64_t differing_groups(const uint8_t* first, const uint8_t* other, uint64_t from, uint64_t to) {
    uint64_t mask = 0;
    for (uint64_t g = from; g < to; ++g) {
        mask |= static_cast<uint64_t>(load_group(first + 8 * g) != load_group(other + 8 * g)) << g;
    }
    return mask;
}

}  // namespace

uint64_t scan_chunk_portable(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                             uint64_t pos, uint64_t groups, uint64_t* masks) {
    const uint8_t* first = inputs[0] + pos;
    if (output != nullptr) std::memcpy(output + pos, first, groups * 8);
    uint64_t any = 0;
    for (uint64_t j = 1; j < count; ++j) {
        const uint8_t* other = inputs[j] + pos;
        const uint64_t mask = differing_groups(first, other, 0, groups);
        masks[j] = mask;
        any |= mask;
    }
    return any;
}

__attribute__((target("avx2"))) uint64_t scan_chunk_avx2(const uint8_t* const* inputs,
                                                         uint64_t count, uint8_t* output,
                                                         uint64_t pos, uint64_t groups,
                                                         uint64_t* masks) {
    constexpr uint64_t groups_per_vector = 4;
    const uint64_t vectors = groups / groups_per_vector;
    const uint64_t tail = vectors * groups_per_vector;  // the groups after the whole vectors
    const uint8_t* first = inputs[0] + pos;
    if (output != nullptr) std::memcpy(output + pos, first, groups * 8);

    const __m256i zero = _mm256_setzero_si256();
    uint64_t any = 0;
    for (uint64_t j = 1; j < count; ++j) {
        const uint8_t* other = inputs[j] + pos;
        prefetch_next_chunk(other, groups);
        __m256i differs = zero;
        for (uint64_t v = 0; v < vectors; ++v) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 32 * v));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(other + 32 * v));
            differs = _mm256_or_si256(differs, _mm256_xor_si256(a, b));
        }
        uint64_t mask = 0;
        if (!_mm256_testz_si256(differs, differs)) {
            // Group by group; both chunks are in the first-level cache by now.
            for (uint64_t v = 0; v < vectors; ++v) {
                const __m256i a =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + 32 * v));
                const __m256i b =
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(other + 32 * v));
                // A bit per 64-bit lane, set where the lane's groups are equal.
                const int equal = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(a, b)));
                mask |= static_cast<uint64_t>(~equal & 0xF) << (groups_per_vector * v);
            }
        }
        mask |= differing_groups(first, other, tail, groups);
        masks[j] = mask;
        any |= mask;
    }
    return any;
}

__attribute__((target("avx512f"))) uint64_t scan_chunk_avx512(const uint8_t* const* inputs,
                                                              uint64_t count, uint8_t* output,
                                                              uint64_t pos, uint64_t groups,
                                                              uint64_t* masks) {
    // A comparison of 64-bit lanes gives a bit per group directly, so every input is compared
    // group by group in one pass.
    constexpr uint64_t groups_per_vector = 8;
    const uint64_t vectors = groups / groups_per_vector;
    const uint64_t tail = vectors * groups_per_vector;  // the groups after the whole vectors
    const uint8_t* first = inputs[0] + pos;
    if (output != nullptr) std::memcpy(output + pos, first, groups * 8);

    uint64_t any = 0;
    for (uint64_t j = 1; j < count; ++j) {
        const uint8_t* other = inputs[j] + pos;
        prefetch_next_chunk(other, groups);
        uint64_t mask = 0;
        for (uint64_t v = 0; v < vectors; ++v) {
            const __m512i a = _mm512_loadu_si512(first + 64 * v);
            const __m512i b = _mm512_loadu_si512(other + 64 * v);
            mask |= static_cast<uint64_t>(_mm512_cmpneq_epi64_mask(a, b))
                    << (groups_per_vector * v);
        }
        mask |= differing_groups(first, other, tail, groups);
        masks[j] = mask;
        any |= mask;
    }
    return any;
}

chunk_scanner pick_chunk_scanner() {
    if (__builtin_cpu_supports("avx512f")) return scan_chunk_avx512;
    return __builtin_cpu_supports("avx2") ? scan_chunk_avx2 : scan_chunk_portable;
}
