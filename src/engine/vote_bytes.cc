// The byte vote: decides each of the 8 byte positions of a group in which the inputs differ.
//
// The decision is the one of the pairwise procedure (vote_reference.cc), reached by counting:
// there, each candidate from prefix_last on counts the later inputs holding its byte and hands
// them its running count, and the first candidate starts from prefix_last, since the inputs
// before it hold the same group. Every input from prefix_last on thus ends with the number of
// other inputs from prefix_last on that hold its byte, plus prefix_last for the holders of the
// first candidate's byte; the inputs before prefix_last take the first candidate's count.
//
// Damage is usually sparse: most inputs hold the first candidate's whole group. Those are
// counted at once; only the inputs that deviate from it go through a table of holders per byte
// value, so that a position costs a pass over the deviating inputs and the hit updates.
#include <bit>
#include <cstdint>
#include <cstring>

#include "engine/vote.h"
#include "support/console.h"

namespace {

constexpr uint64_t max_inputs = 384;

// Holders per byte value among the deviating inputs; all zero between positions.
uint16_t holders[256];

/// Returns the 8 bytes at `p` as one little-endian value.
uint64_t load_group(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Returns the lowest input number among those with the greatest value in `table`.
uint64_t lowest_with_greatest(const uint64_t* table, uint64_t count) {
    uint64_t best = 0;
    for (uint64_t k = 1; k < count; ++k) {
        if (table[k] > table[best]) best = k;
    }
    return best;
}

}  // namespace

void vote_bytes(vote_context& ctx) {
    const uint64_t count = ctx.count;
    const uint64_t first = ctx.prefix_last;  // the first candidate
    uint64_t* hits = ctx.hits;

    // The inputs after the first candidate whose group deviates from its group, in input
    // order, with their group.
    const uint64_t lead = load_group(ctx.inputs[first] + ctx.pos);
    uint16_t deviant[max_inputs];
    uint64_t deviant_group[max_inputs];
    uint64_t deviants = 0;
    uint64_t differing = 0;
    for (uint64_t k = first + 1; k < count; ++k) {
        const uint64_t g = load_group(ctx.inputs[k] + ctx.pos);
        deviant[deviants] = static_cast<uint16_t>(k);
        deviant_group[deviants] = g;
        deviants += g != lead ? 1 : 0;
        differing |= g ^ lead;
    }

    // A position where every input from the first candidate on holds its byte is ended by the
    // first candidate's scan, which writes that byte.
    std::memcpy(ctx.output + ctx.pos, &lead, sizeof lead);

    // One bit per byte position (the lowest bit of its byte) where some input deviates.
    uint64_t positions = differing;
    positions |= positions >> 4;
    positions |= positions >> 2;
    positions |= positions >> 1;
    positions &= 0x0101010101010101u;
    for (; positions != 0; positions &= positions - 1) {
        const unsigned shift = static_cast<unsigned>(std::countr_zero(positions));
        const uint64_t p = ctx.pos + shift / 8;
        const unsigned lead_byte = static_cast<unsigned>(lead >> shift) & 0xFF;

        // Holders of the first candidate's byte from it on, and of every other byte.
        uint64_t lead_holders = count - first;
        for (uint64_t d = 0; d < deviants; ++d) {
            const unsigned v = static_cast<unsigned>(deviant_group[d] >> shift) & 0xFF;
            if (v == lead_byte) continue;
            --lead_holders;
            ++holders[v];
        }

        ctx.error_bytes += 1;
        // Every input that holds the first candidate's byte, and every input before it,
        // gains the first candidate's count; the others are corrected below.
        const uint64_t lead_agree = lead_holders - 1 + first;
        for (uint64_t k = 0; k < count; ++k) hits[k] += lead_agree;
        // The lowest input with the greatest count. Input 0 holds the first candidate's count
        // (it is the first candidate, or one of the inputs before it), so it starts as best.
        uint64_t best = 0;
        uint64_t most = lead_agree;
        for (uint64_t d = 0; d < deviants; ++d) {
            const unsigned v = static_cast<unsigned>(deviant_group[d] >> shift) & 0xFF;
            if (v == lead_byte) continue;
            const uint64_t agree = holders[v] - 1u;
            const uint64_t k = deviant[d];
            hits[k] = hits[k] - lead_agree + agree;
            if (agree > most) {
                most = agree;
                best = k;
            }
        }
        for (uint64_t d = 0; d < deviants; ++d) {
            holders[(deviant_group[d] >> shift) & 0xFF] = 0;
        }

        if (most > 0) {
            err_symbol(L'#');
        } else {
            // Nobody shares a byte: trust the input that has agreed with the others most.
            best = lowest_with_greatest(hits, count);
            err_input_symbol(best);
        }
        ctx.output[p] = ctx.inputs[best][p];
    }
}
