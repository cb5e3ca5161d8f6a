// Helpers on 8-byte groups, shared by the scan and the votes.
#pragma once

#include <cstdint>
#include <cstring>

/// Returns the 8 bytes at `p` as one little-endian value (memcpy: blocks need no alignment).
inline uint64_t load_group(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Returns one bit per byte of `x` (the lowest bit of the byte), set where the byte is not 0.
inline uint64_t nonzero_bytes(uint64_t x) {
    x |= x >> 4;
    x |= x >> 2;
    x |= x >> 1;
    return x & 0x0101010101010101u;
}

/// Returns how many bits `x` has set, where only the lowest bit of each byte may be set: the
/// multiplication sums the bytes into the top one.
inline uint64_t byte_count(uint64_t x) {
    return (x * 0x0101010101010101u) >> 56;
}
