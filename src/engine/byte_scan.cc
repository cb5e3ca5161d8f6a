// The byte scanners of byte mode and the position counters. Like the chunk scanners, the
// scanners go input by input through the chunk, so the memory traffic stays sequential.
#include "engine/byte_scan.h"

#include <immintrin.h>

#include <cstring>

#include "engine/group_bits.h"

namespace {

/// Adds an input's differing bytes `d` in word `w` to the chunk's summary. Taken word by word
/// as the comparison gives them: reading them back from memory right after storing them would
/// stall on the store.
[[gnu::always_inline]] inline void add_to_summary(uint64_t w, uint64_t d, chunk_bytes& bytes) {
    bytes.several[w] |= bytes.some[w] & d;
    bytes.some[w] |= d;
    bytes.zero_alone[w] &= d;
}

/// Starts the chunk's summary for `words` words.
void start_summary(uint64_t words, chunk_bytes& bytes) {
    for (uint64_t w = 0; w < words; ++w) {
        bytes.some[w] = 0;
        bytes.several[w] = 0;
        bytes.zero_alone[w] = ~uint64_t{0};
    }
}

/// Returns whether the summary of `words` words has a byte that differs.
bool any_differ(uint64_t words, const chunk_bytes& bytes) {
    uint64_t any = 0;
    for (uint64_t w = 0; w < words; ++w) any |= bytes.some[w];
    return any != 0;
}

/// Returns the bits of the bytes where the groups `g` to `end` (not included) of word g / 8
/// differ, for g from a whole word on.
uint64_t differing_bytes_of_groups(const uint8_t* first, const uint8_t* other, uint64_t g,
                                   uint64_t end) {
    uint64_t word = 0;
    for (; g < end; ++g) {
        const uint64_t flags = nonzero_bytes(load_group(first + 8 * g) ^ load_group(other + 8 * g));
        word |= byte_flags_to_bits(flags) << (8 * (g % 8));
    }
    return word;
}

}  // namespace

bool scan_bytes_portable(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                         uint64_t pos, uint64_t groups, chunk_bytes& bytes) {
    const uint8_t* first = inputs[0] + pos;
    if (output != nullptr) std::memcpy(output + pos, first, groups * 8);
    const uint64_t words = (groups + 7) / 8;
    start_summary(words, bytes);
    for (uint64_t j = 1; j < count; ++j) {
        uint64_t* differ = bytes.differ[j];
        for (uint64_t w = 0; w < words; ++w) {
            const uint64_t end = groups < 8 * w + 8 ? groups : 8 * w + 8;
            differ[w] = differing_bytes_of_groups(first, inputs[j] + pos, 8 * w, end);
            add_to_summary(w, differ[w], bytes);
        }
    }
    // Input 0 alone differs only where the others hold one same byte.
    for (uint64_t w = 0; w < words; ++w) {
        const uint64_t end = groups < 8 * w + 8 ? groups : 8 * w + 8;
        for (uint64_t j = 2; bytes.zero_alone[w] != 0 && j < count; ++j) {
            bytes.zero_alone[w] &=
                ~differing_bytes_of_groups(inputs[1] + pos, inputs[j] + pos, 8 * w, end);
        }
    }
    return any_differ(words, bytes);
}

namespace {

/// Returns a bit per byte of the 64 bytes at `a` and `b`, set where they differ.
[[gnu::always_inline]] __attribute__((target("avx2"))) inline uint64_t differing_bytes_avx2(
    const uint8_t* a, const uint8_t* b) {
    uint64_t word = 0;
    for (uint64_t half = 0; half < 2; ++half) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32 * half));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32 * half));
        const uint32_t equal = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(x, y)));
        word |= static_cast<uint64_t>(~equal) << (32 * half);
    }
    return word;
}

}  // namespace

__attribute__((target("avx2"))) bool scan_bytes_avx2(const uint8_t* const* inputs, uint64_t count,
                                                     uint8_t* output, uint64_t pos, uint64_t groups,
                                                     chunk_bytes& bytes) {
    const uint8_t* first = inputs[0] + pos;
    if (output != nullptr) std::memcpy(output + pos, first, groups * 8);
    const uint64_t words = (groups + 7) / 8;
    const uint64_t whole = groups / 8;  // words of 64 bytes; the rest group by group
    start_summary(words, bytes);
    for (uint64_t j = 1; j < count; ++j) {
        const uint8_t* other = inputs[j] + pos;
        prefetch_next_chunk(other, groups);
        uint64_t* differ = bytes.differ[j];
        for (uint64_t w = 0; w < whole; ++w) {
            const uint64_t word = differing_bytes_avx2(first + 64 * w, other + 64 * w);
            differ[w] = word;
            add_to_summary(w, word, bytes);
        }
        if (whole < words) {
            differ[whole] = differing_bytes_of_groups(first, other, 8 * whole, groups);
            add_to_summary(whole, differ[whole], bytes);
        }
    }
    // Input 0 alone differs only where the others hold one same byte.
    const uint8_t* second = inputs[1] + pos;
    for (uint64_t w = 0; w < words; ++w) {
        for (uint64_t j = 2; bytes.zero_alone[w] != 0 && j < count; ++j) {
            const uint8_t* other = inputs[j] + pos;
            if (w == whole) {
                bytes.zero_alone[w] &= ~differing_bytes_of_groups(second, other, 8 * whole, groups);
                continue;
            }
            bytes.zero_alone[w] &= ~differing_bytes_avx2(second + 64 * w, other + 64 * w);
        }
    }
    return any_differ(words, bytes);
}

__attribute__((target("avx512f,avx512bw"))) bool scan_bytes_avx512(const uint8_t* const* inputs,
                                                                   uint64_t count, uint8_t* output,
                                                                   uint64_t pos, uint64_t groups,
                                                                   chunk_bytes& bytes) {
    const uint8_t* first = inputs[0] + pos;
    if (output != nullptr) std::memcpy(output + pos, first, groups * 8);
    const uint64_t words = (groups + 7) / 8;
    start_summary(words, bytes);
    // Whole words load plainly; a last, partial one loads only the chunk's own bytes.
    const uint64_t whole = groups / 8;
    const uint64_t left = groups - 8 * (words - 1);
    const __mmask64 last_load = left == 8 ? ~__mmask64{0} : (__mmask64{1} << (8 * left)) - 1;
    for (uint64_t j = 1; j < count; ++j) {
        const uint8_t* other = inputs[j] + pos;
        prefetch_next_chunk(other, groups);
        uint64_t* differ = bytes.differ[j];
        for (uint64_t w = 0; w < whole; ++w) {
            const __m512i a = _mm512_loadu_si512(first + 64 * w);
            const __m512i b = _mm512_loadu_si512(other + 64 * w);
            const uint64_t d = _mm512_cmpneq_epi8_mask(a, b);
            differ[w] = d;
            add_to_summary(w, d, bytes);
        }
        if (whole < words) {
            const __m512i a = _mm512_maskz_loadu_epi8(last_load, first + 64 * whole);
            const __m512i b = _mm512_maskz_loadu_epi8(last_load, other + 64 * whole);
            const uint64_t d = _mm512_cmpneq_epi8_mask(a, b);
            differ[whole] = d;
            add_to_summary(whole, d, bytes);
        }
    }
    // Input 0 alone differs only where the others hold one same byte.
    for (uint64_t w = 0; w < words; ++w) {
        if (bytes.zero_alone[w] == 0) continue;
        const __mmask64 load = w + 1 == words ? last_load : ~__mmask64{0};
        const __m512i second = _mm512_maskz_loadu_epi8(load, inputs[1] + pos + 64 * w);
        for (uint64_t j = 2; bytes.zero_alone[w] != 0 && j < count; ++j) {
            const __m512i other = _mm512_maskz_loadu_epi8(load, inputs[j] + pos + 64 * w);
            bytes.zero_alone[w] &= ~_mm512_cmpneq_epi8_mask(second, other);
        }
    }
    return any_differ(words, bytes);
}

byte_scanner pick_byte_scanner() {
    if (__builtin_cpu_supports("avx512bw")) return scan_bytes_avx512;
    return __builtin_cpu_supports("avx2") ? scan_bytes_avx2 : scan_bytes_portable;
}

void count_positions_portable(const chunk_bytes& bytes, uint64_t count, const uint64_t* mask,
                              uint64_t first_word, uint64_t end_word, uint64_t gained,
                              uint64_t* hits) {
    for (uint64_t j = 1; j < count; ++j) {
        uint64_t own = 0;
        for (uint64_t w = first_word; w < end_word; ++w)
            own += bit_count(bytes.differ[j][w] & mask[w]);
        hits[j] -= gained * own;
    }
}

__attribute__((target("popcnt"))) void count_positions_popcnt(const chunk_bytes& bytes,
                                                              uint64_t count, const uint64_t* mask,
                                                              uint64_t first_word,
                                                              uint64_t end_word, uint64_t gained,
                                                              uint64_t* hits) {
    for (uint64_t j = 1; j < count; ++j) {
        uint64_t own = 0;
        for (uint64_t w = first_word; w < end_word; ++w) {
            own += static_cast<uint64_t>(__builtin_popcountll(bytes.differ[j][w] & mask[w]));
        }
        hits[j] -= gained * own;
    }
}

position_counter pick_position_counter() {
    return __builtin_cpu_supports("popcnt") ? count_positions_popcnt : count_positions_portable;
}
