// The byte vote: decides each of the 8 byte positions of a group in which the inputs differ.
//
// Per position, every candidate input counts the later inputs that hold its byte and hands each
// of them its running count, so that afterwards agree_count[k] is the number of *other* inputs
// holding input k's byte. Those counts are the hits, and the greatest count picks the output.
#include <cinttypes>
#include <cstdint>

#include "engine/vote.h"
#include "support/console.h"

namespace {

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
    const uint64_t prefix_last = ctx.prefix_last;
    uint64_t* agree = ctx.agree_count;

    for (uint64_t p = ctx.pos; p < ctx.pos + 8; ++p) {
        // Inputs 0..prefix_last hold the same whole group, so the first of the candidates
        // starts out agreeing with the prefix_last inputs before it.
        for (uint64_t k = 0; k < count; ++k) agree[k] = 0;
        agree[prefix_last] = prefix_last;

        // One flag for the whole position: only the first candidate can end it early, and
        // only when no later input differed from it.
        bool mismatch = false;
        bool all_agree = false;
        for (uint64_t c = prefix_last; c + 1 < count; ++c) {
            const uint8_t v = ctx.inputs[c][p];
            for (uint64_t k = c + 1; k < count; ++k) {
                if (ctx.inputs[k][p] == v) {
                    ++agree[c];
                    agree[k] = agree[c];
                } else {
                    mismatch = true;
                }
            }
            if (!mismatch) {
                ctx.output[p] = v;
                all_agree = true;
                break;
            }
        }
        if (all_agree) continue;

        ctx.error_bytes += 1;
        for (uint64_t i = 0; i < prefix_last; ++i) agree[i] = agree[prefix_last];

        for (uint64_t k = 0; k < count; ++k) ctx.hits[k] += agree[k];
        uint64_t best = lowest_with_greatest(agree, count);

        if (agree[best] > 0) {
            err_symbol(L'#');
        } else {
            // Nobody shares a byte: trust the input that has agreed with the others most.
            best = lowest_with_greatest(ctx.hits, count);
            err_printf(L"%" PRIu64 L".", best);
        }
        ctx.output[p] = ctx.inputs[best][p];
    }
}
