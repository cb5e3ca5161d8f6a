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

/// Returns the lowest bits of the 8 bytes of `x` gathered into 8 bits (bit i from byte i),
/// where only the lowest bit of each byte may be set. Every product term lands on a bit of its own,
/// so no carry disturbs the top byte.
inline uint64_t byte_flags_to_bits(uint64_t x) {
    return (x * 0x0102040810204080u) >> 56;
}

/// The inverse of byte_flags_to_bits: bit i of `bits` (0 to 255) becomes the lowest bit of
/// byte i.
inline uint64_t bits_to_byte_flags(uint64_t bits) {
    uint64_t x = bits;
    x = (x | (x << 28)) & 0x0000000F0000000Fu;
    x = (x | (x << 14)) & 0x0003000300030003u;
    x = (x | (x << 7)) & 0x0101010101010101u;
    return x;
}

/// Returns how many bits of `x` are set. Written out, since the baseline x86-64 instruction
/// set has no population count and the library's would be a call per word.
inline uint64_t bit_count(uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return (x * 0x0101010101010101u) >> 56;
}
