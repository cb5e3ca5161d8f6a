// The byte vote: decides each of the 8 byte positions of a group in which the inputs differ.
//
// The decision is the one of the pairwise procedure (vote_reference.cc), reached by counting:
// there, each candidate from prefix_last on counts the later inputs holding its byte and hands
// them its running count, and the first candidate starts from prefix_last, since the inputs
// before it hold the same group. Every input from prefix_last on thus ends with the number of
// other inputs from prefix_last on that hold its byte, plus prefix_last for the holders of the
// first candidate's byte; the inputs before prefix_last take the first candidate's count. One
// table of holders per byte value gives all of these in time linear in the number of inputs.
#include <cstdint>
#include <cstring>

#include "engine/vote.h"
#include "support/console.h"

namespace {

constexpr uint64_t max_inputs = 384;

// Holders per byte value from the first candidate on; all zero between positions.
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

    // Every input's group once; a byte position where all of them, from the first candidate
    // on, hold the first candidate's byte is ended by that candidate's scan.
    uint64_t groups[max_inputs];
    const uint64_t lead = load_group(ctx.inputs[first] + ctx.pos);
    uint64_t differing = 0;
    for (uint64_t k = first; k < count; ++k) {
        groups[k] = load_group(ctx.inputs[k] + ctx.pos);
        differing |= groups[k] ^ lead;
    }

    for (unsigned b = 0; b < 8; ++b) {
        const uint64_t p = ctx.pos + b;
        const unsigned shift = 8 * b;
        const unsigned lead_byte = static_cast<unsigned>(lead >> shift) & 0xFF;
        if (((differing >> shift) & 0xFF) == 0) {
            ctx.output[p] = static_cast<uint8_t>(lead_byte);
            continue;
        }

        for (uint64_t k = first; k < count; ++k) ++holders[(groups[k] >> shift) & 0xFF];
        // The first candidate starts out agreeing with the inputs before it.
        holders[lead_byte] = static_cast<uint16_t>(holders[lead_byte] + first);

        ctx.error_bytes += 1;
        const uint64_t lead_agree = holders[lead_byte] - 1u;
        for (uint64_t k = 0; k < first; ++k) hits[k] += lead_agree;
        // The lowest input with the greatest count. Input 0 holds the first candidate's count
        // (it is the first candidate, or one of the inputs before it), so it starts as best.
        uint64_t best = 0;
        uint64_t most = lead_agree;
        for (uint64_t k = first; k < count; ++k) {
            const uint64_t agree = holders[(groups[k] >> shift) & 0xFF] - 1u;
            hits[k] += agree;
            if (agree > most) {
                most = agree;
                best = k;
            }
        }
        for (uint64_t k = first; k < count; ++k) holders[(groups[k] >> shift) & 0xFF] = 0;

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
