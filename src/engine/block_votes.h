// The vote phase of the block loop: finds the groups of a block in which the inputs differ,
// chunk by chunk, and has each voted, with the hit table and error count of the whole run.
#pragma once

#include <cstdint>

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
    /// Sets in `one`, `two` and `all` the groups of the chunk in masks_ in which one input,
    /// two inputs, and every input but input 0 differ from input 0; first_deviant_ and
    /// second_deviant_ name the inputs of the first two kinds.
    void classify_groups(uint64_t& one, uint64_t& two, uint64_t& all);
    /// Decides the group at `pos` in which input `deviant` alone differs from input 0.
    void vote_one_deviant(uint64_t pos, uint64_t deviant);
    /// Decides the group at `pos` in which inputs `a` and `b` alone differ from input 0, and
    /// returns true, when they do so at different positions; else decides nothing and returns
    /// false.
    bool vote_two_deviants(uint64_t pos, uint64_t a, uint64_t b);
    /// Has the vote decide the group at `pos`, whose deviants are the first `deviant_count` of
    /// deviants_.
    void vote_general(uint64_t pos, uint64_t deviant_count);
    /// Decides the group at `pos` when every input but input 0 holds one same group there, and
    /// returns true; returns false, deciding nothing, when they do not.
    bool vote_input_zero_alone(uint64_t pos);

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
    uint16_t first_deviant_[scan_chunk_groups];
    uint16_t second_deviant_[scan_chunk_groups];
    vote_symbols symbols_;
};
