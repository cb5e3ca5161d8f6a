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
// counted at once, and their hits are held back as one number that applies to every input;
// only the deviants, the inputs whose group differs from the first candidate's, go through a
// table of holders per byte value and get their own hits. A position thus costs time in
// proportion to the deviants, not to all inputs; and a position that holds two bytes only,
// the commonest kind, is settled without the table.
#include <bit>
#include <cstdint>
#include <cstring>

#include "engine/group_bits.h"
#include "engine/vote.h"
#include "engine/vote_symbols.h"

namespace {

constexpr uint64_t max_inputs = 384;

// Holders per byte value among the deviants; all zero between positions.
uint16_t holders[256];

}  // namespace

void vote_bytes_deviants(vote_context& ctx, const uint16_t* deviants, uint64_t deviant_count,
                         uint64_t& held_back, vote_symbols& symbols) {
    const uint64_t count = ctx.count;
    const uint64_t first = ctx.prefix_last;  // the first candidate
    uint64_t* hits = ctx.hits;

    const uint64_t lead = load_group(ctx.inputs[first] + ctx.pos);
    uint64_t deviant_group[max_inputs];
    // The positions (a bit per byte) where some deviant, and where several deviants, hold
    // another byte than the first candidate.
    uint64_t some = 0;
    uint64_t several = 0;
    for (uint64_t d = 0; d < deviant_count; ++d) {
        deviant_group[d] = load_group(ctx.inputs[deviants[d]] + ctx.pos);
        const uint64_t at = nonzero_bytes(deviant_group[d] ^ lead);
        several |= some & at;
        some |= at;
    }

    if (several == 0) {
        // At every differing position one deviant alone holds another byte: every other input
        // counts count - 2 others (at least 1, so "#" is shown), that deviant none, and input
        // 0's byte wins. Without an "N." choice the order of the positions does not matter.
        const uint64_t positions = byte_count(some);
        const uint64_t gained = count - 2;
        held_back += gained * positions;
        for (uint64_t d = 0; d < deviant_count; ++d) {
            hits[deviants[d]] -= gained * byte_count(nonzero_bytes(deviant_group[d] ^ lead));
        }
        ctx.error_bytes += positions;
        symbols.add(L'#', positions);
        const uint64_t taken = some * 0xFF;  // the differing positions' bytes
        const uint64_t decided = (lead & ~taken) | (load_group(ctx.inputs[0] + ctx.pos) & taken);
        std::memcpy(ctx.output + ctx.pos, &decided, sizeof decided);
        return;
    }

    // A position where every input from the first candidate on holds its byte is ended by the
    // first candidate's scan, which writes that byte.
    std::memcpy(ctx.output + ctx.pos, &lead, sizeof lead);

    for (uint64_t positions = some; positions != 0; positions &= positions - 1) {
        const unsigned shift = static_cast<unsigned>(std::countr_zero(positions));
        const uint64_t p = ctx.pos + shift / 8;
        const unsigned lead_byte = static_cast<unsigned>(lead >> shift) & 0xFF;
        ctx.error_bytes += 1;

        // The deviants that hold another byte than the first candidate here, and whether
        // they all hold the same one.
        uint64_t others = 0;
        uint64_t first_other = 0;
        unsigned other_byte = 0;
        bool one_other_byte = true;
        for (uint64_t d = 0; d < deviant_count; ++d) {
            const unsigned v = static_cast<unsigned>(deviant_group[d] >> shift) & 0xFF;
            if (v == lead_byte) continue;
            if (others == 0) {
                first_other = d;
                other_byte = v;
            }
            one_other_byte &= v == other_byte;
            ++others;
        }

        // Every input that holds the first candidate's byte, and every input before it, gains
        // the first candidate's count: held back for all, and taken off again below for the
        // inputs that hold another byte. Input 0 holds the first candidate's count (it is the
        // first candidate, or one of the inputs before it), so it starts as best.
        const uint64_t lead_agree = count - others - 1;
        held_back += lead_agree;
        uint64_t best = 0;
        uint64_t most = lead_agree;

        if (one_other_byte) {
            // Two bytes here: the others count others - 1 each (together with lead_agree at
            // least 1, so a byte is shared).
            const uint64_t other_agree = others - 1;
            const uint64_t correction = other_agree - lead_agree;  // modulo 2^64
            for (uint64_t d = first_other; d < deviant_count; ++d) {
                const unsigned v = static_cast<unsigned>(deviant_group[d] >> shift) & 0xFF;
                if (v != lead_byte) hits[deviants[d]] += correction;
            }
            if (other_agree > lead_agree) best = deviants[first_other];
            symbols.add(L'#');
            ctx.output[p] = ctx.inputs[best][p];
            continue;
        }

        // Three bytes or more: holders per byte value among the deviants.
        for (uint64_t d = first_other; d < deviant_count; ++d) {
            ++holders[(deviant_group[d] >> shift) & 0xFF];
        }
        for (uint64_t d = first_other; d < deviant_count; ++d) {
            const unsigned v = static_cast<unsigned>(deviant_group[d] >> shift) & 0xFF;
            if (v == lead_byte) continue;
            const uint64_t agree = holders[v] - 1u;
            const uint64_t k = deviants[d];
            hits[k] = hits[k] - lead_agree + agree;
            if (agree > most) {
                most = agree;
                best = k;
            }
        }
        for (uint64_t d = first_other; d < deviant_count; ++d) {
            holders[(deviant_group[d] >> shift) & 0xFF] = 0;
        }

        if (most > 0) {
            symbols.add(L'#');
        } else {
            // Nobody shares a byte: trust the input that has agreed with the others most, the
            // lowest-numbered one on a tie.
            best = 0;
            for (uint64_t k = 1; k < count; ++k) {
                if (hits[k] + held_back > hits[best] + held_back) best = k;
            }
            symbols.add_input(best);
        }
        ctx.output[p] = ctx.inputs[best][p];
    }
}

void vote_bytes(vote_context& ctx) {
    uint16_t deviants[max_inputs];
    const uint64_t deviant_count = list_deviants(ctx, deviants);
    uint64_t held_back = 0;
    {
        vote_symbols symbols;
        vote_bytes_deviants(ctx, deviants, deviant_count, held_back, symbols);
    }
    for (uint64_t k = 0; k < ctx.count; ++k) ctx.hits[k] += held_back;
}
