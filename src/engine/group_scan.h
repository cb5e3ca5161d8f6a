// Finding the 8-byte groups of a block in which the inputs differ, one chunk of groups at a
// time, with the inputs that differ in each: the common case (every input holds the same
// bytes) costs a few vector operations per 32 bytes, and a vote needs to look only at the
// inputs that deviate instead of at all of them.
#pragma once

#include <cstdint>

/// Most inputs a run has.
constexpr uint64_t scan_max_inputs = 384;
/// Groups per chunk: one 64-bit word per input marks the groups in which it differs.
constexpr uint64_t scan_chunk_groups = 64;

/// Copies `groups` (1 to scan_chunk_groups) groups at byte offset `pos` of input 0's block to
/// the same offset of `output` (unless it is null) and sets bit g of masks[j], for every input
/// j from 1 on, when input j's group g differs from input 0's; the other bits are clear and
/// masks[0] is not written. Returns the union of the masks: the groups in which some input
/// differs.
typedef uint64_t (*chunk_scanner)(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                                  uint64_t pos, uint64_t groups, uint64_t* masks);

/// Returns the fastest scanner that this processor runs: AVX-512 or AVX2 where it has them,
/// else the portable one.
chunk_scanner pick_chunk_scanner();
/// The portable scanner, 64 bits at a time; runs on every processor.
uint64_t scan_chunk_portable(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                             uint64_t pos, uint64_t groups, uint64_t* masks);
/// The AVX2 scanner, 32 bytes at a time; only for processors that have AVX2.
uint64_t scan_chunk_avx2(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                         uint64_t pos, uint64_t groups, uint64_t* masks);
/// The AVX-512 scanner, 64 bytes at a time; only for processors that have AVX-512F.
uint64_t scan_chunk_avx512(const uint8_t* const* inputs, uint64_t count, uint8_t* output,
                           uint64_t pos, uint64_t groups, uint64_t* masks);

/// Asks the processor to fetch the chunk of `groups` groups that follows the one at `chunk`:
/// with many inputs the hardware sees too many streams to fetch ahead by itself. Called as an
/// input's chunk is compared, so that its next chunk is in the cache when the scan comes back.
inline void prefetch_next_chunk(const uint8_t* chunk, uint64_t groups) {
    for (uint64_t line = 0; line < 8 * groups; line += 64)
        __builtin_prefetch(chunk + 8 * groups + line);
}
