// The sample vote: the byte vote applied to the four 16-bit little-endian samples of a group,
// except that a candidate whose sample lies within 1 of the average of its own neighbours is
// skipped. Some CD drives conceal a read error by writing exactly that average, and when most
// copies carry such a made-up sample it must not win the vote by agreement.
//
// The decision is the one of the pairwise procedure (vote_reference.cc), reached by counting.
// There, a candidate that scans hands every later holder of its value its running count, and a
// skipped candidate keeps whatever an earlier holder handed it. Number the holders of one value
// from the first candidate on 1..m in input order, let j be the first of them that scans (a
// candidate, not skipped) and base the count it starts from: prefix_last when it is the first
// candidate itself, else 0. Then holder i ends with
//   - its starting count (prefix_last for the first candidate, else 0) when i < j or no holder
//     scans: nobody handed it anything;
//   - base + m - j when it scans: each scanning holder counts on from where holder j left it;
//   - base + i - j when it does not scan (skipped, or the last input): the count it was handed.
// A table from sample value to a class of holders gives all of these in time linear in the
// number of inputs. Only the deviants, the inputs whose group differs from the first
// candidate's, can hold another sample than it; and the commonest differing sample, with no
// candidate skipped and two values only, is settled as the byte vote settles such a position.
#include <cstdint>
#include <cstring>

#include "engine/group_bits.h"
#include "engine/vote.h"
#include "engine/vote_helpers.h"
#include "engine/vote_symbols.h"

namespace {

constexpr uint64_t max_inputs = 384;

// Per sample value, its class (1..classes) at the current position, 0 when nobody holds it;
// all zero between positions.
uint16_t class_of_value[65536];
// Per class: its sample value, holders from the first candidate on, and the rank among them of
// the first holder that scans (0 when none does).
uint16_t class_value[max_inputs + 1];
uint16_t class_holders[max_inputs + 1];
uint16_t class_first_scanner[max_inputs + 1];

/// Returns true when sample `v` at `p` of `block` lies within 1 of the average of its
/// neighbours; the caller has checked that both neighbours lie in the block.
[[gnu::always_inline]] inline bool is_corrected(const uint8_t* block, uint64_t p, uint32_t v) {
    uint32_t avg = (sample_at(block, p - 2) + sample_at(block, p + 2)) / 2;
    // v - 1 <= avg <= v + 1, in one unsigned comparison.
    return avg - v + 1 < 3;
}

}  // namespace

void vote_samples_deviants(vote_context& ctx, const uint16_t* deviants, uint64_t deviant_count,
                           uint64_t& held_back, vote_symbols& symbols) {
    const uint64_t count = ctx.count;
    const uint64_t first = ctx.prefix_last;  // the first candidate
    const uint64_t last_candidate = count - 2;
    uint64_t* hits = ctx.hits;
    // Every input is looked at here anyway (for its corrected-sample test), so the held-back
    // hits are simply settled.
    if (held_back != 0) {
        for (uint64_t k = 0; k < count; ++k) hits[k] += held_back;
        held_back = 0;
    }

    const uint64_t lead = load_group(ctx.inputs[first] + ctx.pos);
    uint64_t deviant_group[max_inputs];
    uint64_t differing = 0;
    for (uint64_t d = 0; d < deviant_count; ++d) {
        deviant_group[d] = load_group(ctx.inputs[deviants[d]] + ctx.pos);
        differing |= deviant_group[d] ^ lead;
    }

    // A sample that every input from the first candidate on holds is written as it is; the
    // votes below overwrite the others.
    std::memcpy(ctx.output + ctx.pos, &lead, sizeof lead);

    // Deviants beyond this many find their class through the table of sample values.
    constexpr uint64_t searched_deviants = 16;
    const bool by_table = deviant_count > searched_deviants;

    // Per input from the first candidate on, at the current position.
    uint16_t input_class[max_inputs];
    uint16_t input_rank[max_inputs];
    bool scans[max_inputs];

    for (unsigned s = 0; s < 4; ++s) {
        const uint64_t p = ctx.pos + 2 * s;
        const unsigned shift = 16 * s;
        const uint32_t lead_sample = static_cast<uint32_t>(lead >> shift) & 0xFFFF;
        // The first sample of a block has its previous neighbour in the previous block, and
        // samples from block_len - 2 on (unsigned, as the comparison is made) are not tested.
        const bool tested = p != 0 && p < ctx.block_len - 2;

        if (((differing >> shift) & 0xFFFF) == 0) {
            // The first candidate that is not skipped ends the position, after a blank for
            // each skipped one before it.
            if (tested) {
                for (uint64_t c = first;
                     c <= last_candidate && is_corrected(ctx.inputs[c], p, lead_sample); ++c) {
                    symbols.add(L' ');
                }
            }
            continue;
        }

        // The commonest differing sample: no candidate skipped, and every deviant that holds
        // another sample than the first candidate holds the same one. Then the vote is the
        // byte vote's on two values: count - others - 1 agreeing inputs for the first
        // candidate's sample, others - 1 for the other (together at least 1).
        bool skipped = false;
        if (tested) {
            for (uint64_t c = first; c <= last_candidate && !skipped; ++c) {
                skipped = is_corrected(ctx.inputs[c], p, sample_at(ctx.inputs[c], p));
            }
        }
        if (!skipped) {
            uint64_t others = 0;
            uint64_t first_other = 0;
            uint32_t other_sample = 0;
            bool one_other_sample = true;
            for (uint64_t d = 0; d < deviant_count; ++d) {
                const uint32_t v = static_cast<uint32_t>(deviant_group[d] >> shift) & 0xFFFF;
                if (v == lead_sample) continue;
                if (others == 0) {
                    first_other = deviants[d];
                    other_sample = v;
                }
                one_other_sample &= v == other_sample;
                ++others;
            }
            if (one_other_sample) {
                const uint64_t lead_agree = count - others - 1;
                const uint64_t other_agree = others - 1;
                for (uint64_t k = 0; k < count; ++k) hits[k] += lead_agree;
                for (uint64_t d = 0; d < deviant_count; ++d) {
                    const uint32_t v = static_cast<uint32_t>(deviant_group[d] >> shift) & 0xFFFF;
                    if (v != lead_sample) hits[deviants[d]] += other_agree - lead_agree;
                }
                ctx.error_bytes += 2;
                symbols.add(L'#');
                // Input 0 holds the first candidate's count and is the lowest such input.
                const uint64_t best = other_agree > lead_agree ? first_other : 0;
                store_sample(ctx.output, p, sample_at(ctx.inputs[best], p));
                continue;
            }
        }

        // Class 1 holds the first candidate's sample; the others are numbered through the
        // table in the order of their first holder. Ranks count the holders of a class.
        uint64_t classes = 1;
        uint16_t lead_holders = 0;
        class_first_scanner[1] = 0;
        uint64_t first_scanner = count;  // none yet
        uint64_t next = 0;               // the next deviant in the merge
        for (uint64_t k = first; k < count; ++k) {
            uint32_t v = lead_sample;
            uint16_t id = 1;
            uint16_t rank;
            if (next < deviant_count && k == deviants[next]) {
                v = static_cast<uint32_t>(deviant_group[next] >> shift) & 0xFFFF;
                ++next;
            }
            if (v == lead_sample) {
                rank = ++lead_holders;
            } else {
                // Few deviants are looked up among the classes so far: the table is large and
                // mostly out of the cache, which would cost more than the search.
                id = 0;
                if (by_table) {
                    id = class_of_value[v];
                } else {
                    for (uint64_t c = 2; c <= classes; ++c) {
                        if (class_value[c] == v) id = static_cast<uint16_t>(c);
                    }
                }
                if (id == 0) {
                    id = static_cast<uint16_t>(++classes);
                    if (by_table) class_of_value[v] = id;
                    class_value[id] = static_cast<uint16_t>(v);
                    class_holders[id] = 0;
                    class_first_scanner[id] = 0;
                }
                rank = ++class_holders[id];
            }
            const bool scanning =
                k <= last_candidate && !(tested && is_corrected(ctx.inputs[k], p, v));
            input_class[k] = id;
            input_rank[k] = rank;
            scans[k] = scanning;
            if (scanning) {
                if (class_first_scanner[id] == 0) class_first_scanner[id] = rank;
                if (first_scanner == count) first_scanner = k;
            }
        }
        class_holders[1] = lead_holders;

        if (first_scanner == count) {
            // Every candidate was skipped: nothing was compared, so the last one looked at is
            // taken.
            for (uint64_t c = first; c <= last_candidate; ++c) symbols.add(L' ');
            store_sample(ctx.output, p, sample_at(ctx.inputs[last_candidate], p));
        } else if (uint64_t{class_holders[input_class[first_scanner]]} -
                       input_rank[first_scanner] ==
                   count - 1 - first_scanner) {
            // The first candidate that scans finds every later input holding its sample: it
            // is written without hits, whatever the skipped candidates before it hold.
            for (uint64_t c = first; c < first_scanner; ++c) symbols.add(L' ');
            store_sample(ctx.output, p, sample_at(ctx.inputs[first_scanner], p));
        } else {
            for (uint64_t c = first; c <= last_candidate; ++c) {
                if (!scans[c]) symbols.add(L' ');
            }
            ctx.error_bytes += 2;

            uint64_t best = 0;
            uint64_t most = 0;
            for (uint64_t k = first; k < count; ++k) {
                const uint16_t id = input_class[k];
                const uint64_t m = class_holders[id];
                const uint64_t j = class_first_scanner[id];
                const uint64_t i = input_rank[k];
                uint64_t agree;
                if (j == 0 || i < j) {
                    agree = k == first ? first : 0;
                } else {
                    const uint64_t base = (id == 1 && j == 1) ? first : 0;
                    agree = scans[k] ? base + m - j : base + i - j;
                }
                if (k == first) {
                    // The inputs before the first candidate take its count; input 0 (the
                    // first candidate or one of them) starts as best.
                    for (uint64_t e = 0; e < first; ++e) hits[e] += agree;
                    most = agree;
                } else if (agree > most) {
                    most = agree;
                    best = k;
                }
                hits[k] += agree;
            }

            if (most > 0) {
                symbols.add(L'#');
            } else {
                best = lowest_with_greatest(hits, count);
                symbols.add_input(best);
            }
            store_sample(ctx.output, p, sample_at(ctx.inputs[best], p));
        }

        if (by_table) {
            for (uint64_t id = 2; id <= classes; ++id) class_of_value[class_value[id]] = 0;
        }
    }
}

void vote_samples(vote_context& ctx) {
    uint16_t deviants[max_inputs];
    const uint64_t deviant_count = list_deviants(ctx, deviants);
    uint64_t held_back = 0;
    vote_symbols symbols;
    vote_samples_deviants(ctx, deviants, deviant_count, held_back, symbols);
}
