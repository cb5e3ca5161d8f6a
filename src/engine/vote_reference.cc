// The votes as plain procedures, compared pair by pair: for every position, each candidate input
// counts the later inputs that hold its value and hands each of them its running count. They
// cost time quadratic in the number of inputs and are not used by the block loop; they stay as
// the reference that the counting votes (vote_bytes.cc, vote_samples.cc) are tested against.
#include <cinttypes>
#include <cstdint>

#include "engine/vote.h"
#include "engine/vote_helpers.h"
#include "support/console.h"

namespace {

/// Returns true when input `block`'s sample `v` at `p` looks interpolated from its neighbours.
/// The first sample of a block has its previous neighbour in the previous block, and samples
/// from block_len - 2 on (unsigned, as the comparison is made) are not tested either.
bool is_corrected(const uint8_t* block, uint64_t p, uint64_t block_len, uint32_t v) {
    if (p == 0 || !(p < block_len - 2)) return false;
    uint32_t avg = (sample_at(block, p - 2) + sample_at(block, p + 2)) / 2;
    // v - 1 <= avg <= v + 1, in one unsigned comparison.
    return avg - v + 1 < 3;
}

}  // namespace

void vote_bytes_reference(vote_context& ctx) {
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

void vote_samples_reference(vote_context& ctx) {
    const uint64_t count = ctx.count;
    const uint64_t prefix_last = ctx.prefix_last;
    uint64_t* agree = ctx.agree_count;

    for (uint64_t p = ctx.pos; p < ctx.pos + 8; p += 2) {
        for (uint64_t k = 0; k < count; ++k) agree[k] = 0;
        agree[prefix_last] = prefix_last;

        bool mismatch = false;
        bool decided = false;
        uint32_t last_candidate = 0;
        for (uint64_t c = prefix_last; c + 1 < count; ++c) {
            const uint32_t v = sample_at(ctx.inputs[c], p);
            last_candidate = v;
            if (is_corrected(ctx.inputs[c], p, ctx.block_len, v)) {
                // Its own scan is skipped; an earlier holder of v has already counted it.
                err_symbol(L' ');
                continue;
            }
            for (uint64_t k = c + 1; k < count; ++k) {
                if (sample_at(ctx.inputs[k], p) == v) {
                    ++agree[c];
                    agree[k] = agree[c];
                } else {
                    mismatch = true;
                }
            }
            if (!mismatch) {
                store_sample(ctx.output, p, v);
                decided = true;
                break;
            }
        }
        if (decided) continue;
        if (!mismatch) {
            // Every candidate was skipped: nothing was compared, so take the last one looked at.
            store_sample(ctx.output, p, last_candidate);
            continue;
        }

        ctx.error_bytes += 2;
        for (uint64_t i = 0; i < prefix_last; ++i) agree[i] = agree[prefix_last];

        for (uint64_t k = 0; k < count; ++k) ctx.hits[k] += agree[k];
        uint64_t best = lowest_with_greatest(agree, count);

        if (agree[best] > 0) {
            err_symbol(L'#');
        } else {
            best = lowest_with_greatest(ctx.hits, count);
            err_printf(L"%" PRIu64 L".", best);
        }
        store_sample(ctx.output, p, sample_at(ctx.inputs[best], p));
    }
}
