// Finding, in byte mode, the bytes of a chunk in which each input differs from input 0, with a
// summary of the chunk that tells where one input alone differs; and counting each input's
// share of a set of such positions.
#pragma once

#include <cstdint>

#include "engine/group_scan.h"

/// Words of byte bits per input and chunk: byte o of a chunk is bit o % 64 of word o / 64.
constexpr uint64_t scan_chunk_words = scan_chunk_groups / 8;

/// What the byte scanners find in one chunk.
struct chunk_bytes {
    /// Per input from 1 on, a bit for every byte where it differs from input 0 (row 0 unused).
    uint64_t differ[scan_max_inputs][scan_chunk_words];
    /// The bytes where some input, and two or more inputs, differ from input 0.
    uint64_t some[scan_chunk_words];
    uint64_t several[scan_chunk_words];
    /// The bytes where input 0 alone differs: every other input holds one same other byte.
    uint64_t zero_alone[scan_chunk_words];
};

/// Compares `groups` (1 to scan_chunk_groups) groups at byte offset `pos` of every input with
/// input 0's, byte by byte, and fills `bytes` for the chunk's (groups + 7) / 8 words, with the
/// bits past the groups clear; copies the groups of input 0 to `output` as chunk_scanner
/// does. Returns whether any byte differs.
typedef bool (*byte_scanner)(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                             uint64_t pos, uint64_t groups, chunk_bytes& bytes);

/// Returns the fastest byte scanner that this processor runs.
byte_scanner pick_byte_scanner();
/// The portable byte scanner, 8 bytes at a time.
bool scan_bytes_portable(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                         uint64_t pos, uint64_t groups, chunk_bytes& bytes);
/// The AVX2 byte scanner; only for processors that have AVX2.
bool scan_bytes_avx2(const uint8_t* const* inputs, uint64_t count, uint8_t* output, uint64_t pos,
                     uint64_t groups, chunk_bytes& bytes);
/// The AVX-512 byte scanner; only for processors that have AVX-512BW.
bool scan_bytes_avx512(const uint8_t* const* inputs, uint64_t count, uint8_t* output, uint64_t pos,
                       uint64_t groups, chunk_bytes& bytes);

/// Subtracts `gained` times the number of bits of differ[j][w] & mask[w], over the words w
/// from first_word up to end_word, from hits[j], for every input j from 1 to count - 1.
typedef void (*position_counter)(const chunk_bytes& bytes, uint64_t count, const uint64_t* mask,
                                 uint64_t first_word, uint64_t end_word, uint64_t gained,
                                 uint64_t* hits);

/// Returns the fastest position counter that this processor runs: with the population count
/// instruction where it has one.
position_counter pick_position_counter();
/// The portable position counter.
void count_positions_portable(const chunk_bytes& bytes, uint64_t count, const uint64_t* mask,
                              uint64_t first_word, uint64_t end_word, uint64_t gained,
                              uint64_t* hits);
/// The position counter for processors with the population count instruction.
void count_positions_popcnt(const chunk_bytes& bytes, uint64_t count, const uint64_t* mask,
                            uint64_t first_word, uint64_t end_word, uint64_t gained,
                            uint64_t* hits);
