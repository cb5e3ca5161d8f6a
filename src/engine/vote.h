// The votes that decide one 8-byte group in which the inputs differ.
#pragma once

#include <cstdint>

#include "engine/group_bits.h"

class vote_symbols;

/// One differing group, handed from the block loop to a vote.
struct vote_context {
    uint64_t count;                ///< inputs, 3 to 384
    const uint8_t* const* inputs;  ///< every input's current block
    uint8_t* output;               ///< the decided block
    uint64_t pos;                  ///< offset of the group in the block, a multiple of 8
    uint64_t prefix_last;          ///< inputs 0..prefix_last hold input 0's 8 bytes
    uint64_t block_len;            ///< bytes of the block that will be written
    uint64_t* hits;                ///< hit table, count entries
    uint64_t* agree_count;         ///< scratch, count entries
    uint64_t error_bytes;          ///< running count of disagreeing byte positions
};

/// Decides the group's 8 bytes one position at a time, counting the holders of every value.
void vote_bytes(vote_context& ctx);
/// Decides the group's four 16-bit samples, skipping candidates a drive interpolated.
void vote_samples(vote_context& ctx);

/// Lists in `deviants` the inputs after ctx.prefix_last whose group differs from input
/// prefix_last's, in increasing order, and returns how many there are.
inline uint64_t list_deviants(const vote_context& ctx, uint16_t* deviants) {
    uint64_t deviant_count = 0;
    const uint64_t lead = load_group(ctx.inputs[ctx.prefix_last] + ctx.pos);
    for (uint64_t k = ctx.prefix_last + 1; k < ctx.count; ++k) {
        deviants[deviant_count] = static_cast<uint16_t>(k);
        deviant_count += load_group(ctx.inputs[k] + ctx.pos) != lead ? 1 : 0;
    }
    return deviant_count;
}

/// Decides the group as vote_bytes does, given its deviants: the inputs after prefix_last whose
/// group differs from input prefix_last's, `deviant_count` of them in increasing order (the
/// block loop knows them from its scan, so the vote need not look at the other inputs). Input
/// k's hit total is ctx.hits[k] + `held_back` (modulo 2^64): hits that every input gains may be
/// added to `held_back` alone. The progress symbols are added to `symbols`, which the caller
/// writes out.
void vote_bytes_deviants(vote_context& ctx, const uint16_t* deviants, uint64_t deviant_count,
                         uint64_t& held_back, vote_symbols& symbols);
/// Decides the group as vote_samples does, given its deviants, the hits held back and the
/// symbols as for vote_bytes_deviants.
void vote_samples_deviants(vote_context& ctx, const uint16_t* deviants, uint64_t deviant_count,
                           uint64_t& held_back, vote_symbols& symbols);

/// The same decision as vote_bytes, made by comparing every candidate with every later input
/// (quadratic in the inputs); the reference that vote_bytes is tested against.
void vote_bytes_reference(vote_context& ctx);
/// The same decision as vote_samples, made pair by pair; the reference for vote_samples.
void vote_samples_reference(vote_context& ctx);
