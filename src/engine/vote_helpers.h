// Small helpers that the counting votes and the plain reference votes share.
#pragma once

#include <cstdint>

/// Returns the unsigned 16-bit little-endian sample at byte offset `p` of `block`.
inline uint32_t sample_at(const uint8_t* block, uint64_t p) {
    return static_cast<uint32_t>(block[p]) | (static_cast<uint32_t>(block[p + 1]) << 8);
}

/// Stores `sample` little-endian at byte offset `p` of `block`.
inline void store_sample(uint8_t* block, uint64_t p, uint32_t sample) {
    block[p] = static_cast<uint8_t>(sample);
    block[p + 1] = static_cast<uint8_t>(sample >> 8);
}

/// Returns the lowest input number among those with the greatest value in `table`.
inline uint64_t lowest_with_greatest(const uint64_t* table, uint64_t count) {
    uint64_t best = 0;
    for (uint64_t k = 1; k < count; ++k) {
        if (table[k] > table[best]) best = k;
    }
    return best;
}
