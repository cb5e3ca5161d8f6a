// The vote phase of the block loop: finds the groups of a block in which the inputs differ,
// chunk by chunk, and has each voted, with the hit table and error count of the whole run.
#pragma once

#include <cstdint>

#include "engine/byte_scan.h"
#include "engine/group_scan.h"
#include "engine/vote.h"
#include "engine/vote_symbols.h"

/// The votes of one run over every block; owns the run's hit table and `agree_count`.
class block_votes {
public:
    /// Prepares for `count` inputs with their buffers and the output buffer; `samples` chooses
    /// the sample vote. Every hit total starts at 0.
    block_votes(uint64_t count, const uint8_t* const* inputs, uint8_t* output, bool samples);
    block_votes(const block_votes&) = delete;
    block_votes& operator=(const block_votes&) = delete;

    /// Decides the first `block_len` bytes (rounded up to whole groups) of the current blocks.
    /// Returns the decided block: input 0's own buffer while every group is equal in all
    /// inputs, else the output buffer. Before the first differing group of the block it prints
    /// "<\n" and sets `block_clean` to false.
    const uint8_t* vote_block(uint64_t block_len, bool& block_clean);
    /// Returns the hit table, complete (hits held back for speed are added first).
    const uint64_t* hits();
    /// Returns the byte positions voted so far at which the inputs disagreed.
    uint64_t error_bytes() const { return group_.error_bytes; }

private:
    /// Adds the hits held back to every input's total.
    void settle_hits();
    /// Decides the differing groups `differing` of the chunk at byte offset `pos`, one by one.
    void vote_chunk_groups(uint64_t pos, uint64_t differing);
    /// Decides the `groups` groups of the chunk at byte offset `pos`, whose bytes_ the scan has
    /// filled, in byte mode: position by position where one input alone, or input 0 alone,
    /// holds another byte; the other groups that differ through the vote, in order.
    void vote_chunk_bytes(uint64_t pos, uint64_t groups);
    /// Returns whether a chunk with `differing_groups` groups that differ is cheaper to vote
    /// group by group than position by position.
    bool is_sparse(uint64_t differing_groups) const;
    /// Counts the simple positions of the chunk's groups `from` up to `to` (not included).
    void settle_simple(uint64_t from, uint64_t to);
    /// Has the vote decide group `g` of the chunk at byte offset `pos`, whose deviants are the
    /// first `deviant_count` of deviants_.
    void vote_group(uint64_t pos, uint64_t g, uint64_t deviant_count);
    /// Has the vote decide group `g` of the chunk at byte offset `pos`, in byte mode, with the
    /// deviants that the byte scan found.
    void vote_listed_group(uint64_t pos, uint64_t g);

    uint64_t count_;
    const uint8_t* const* inputs_;
    uint8_t* output_;
    void (*vote_)(vote_context&, const uint16_t*, uint64_t, uint64_t&, vote_symbols&);
    chunk_scanner scan_;
    bool samples_;
    uint64_t hits_[scan_max_inputs];
    uint64_t agree_count_[scan_max_inputs];
    // Hits that every input has gained but that are not yet in hits_ (modulo 2^64).
    uint64_t held_back_ = 0;
    vote_context group_{};
    uint64_t masks_[scan_max_inputs];
    uint16_t deviants_[scan_max_inputs];
    // Byte mode, per chunk: where each input differs from input 0, and the positions settled
    // without a vote, where one input alone (simple_one_) or input 0 alone (simple_zero_)
    // holds another byte.
    byte_scanner scan_bytes_;
    position_counter count_positions_;
    chunk_bytes bytes_;
    uint64_t simple_one_[scan_chunk_words];
    uint64_t simple_zero_[scan_chunk_words];
    uint64_t simple_words_ = 0;
    bool dense_ = false;  // whether the last chunk with differences was dense with them  // a bit
                          // for every word that holds a simple position
    vote_symbols symbols_;
};
