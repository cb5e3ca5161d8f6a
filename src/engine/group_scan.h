// Finding the 8-byte groups of a block in which the inputs differ, one chunk of groups at a
// time, so that the common case (every input holds the same bytes) costs a few vector
// operations per 32 bytes instead of a comparison and a copy per group.
#pragma once

#include <cstdint>

/// Groups per chunk: one chunk's differing groups fit in four 64-bit words, and the chunk of
/// every input (2 KiB each) stays in the cache while the votes read its differing groups.
constexpr uint64_t scan_chunk_groups = 256;

/// Copies `groups` (1 to scan_chunk_groups) groups at byte offset `pos` of input 0's block to
/// the same offset of `output` (unless it is null) and sets bit g % 64 of differing[g / 64] for every group g of the chunk in which
/// some input differs from input 0 (all four words are written). Returns true when some group
/// differs.
typedef bool (*chunk_scanner)(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                              uint64_t pos, uint64_t groups, uint64_t* differing);

/// Returns the fastest scanner that this processor runs: AVX2 where it has it, else portable.
chunk_scanner pick_chunk_scanner();
/// The portable scanner, 64 bits at a time; runs on every processor.
bool scan_chunk_portable(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                         uint64_t pos, uint64_t groups, uint64_t* differing);
/// The AVX2 scanner, 32 bytes at a time; only for processors that have AVX2.
bool scan_chunk_avx2(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                     uint64_t pos, uint64_t groups, uint64_t* differing);
