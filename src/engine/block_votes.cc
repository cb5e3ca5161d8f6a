// The vote phase of the block loop. The chunk scanner marks, per input, the groups in which it
// differs from input 0; only those groups are voted, and a vote looks only at the inputs that
// differ. The last group may reach past block_len; those bytes are voted but not written.
//
// Byte mode decides most positions without the vote. The byte vote gives every input, at a
// position where the inputs disagree, the number of other inputs that hold its byte, and writes
// the byte held by most (the lowest-numbered input's on a tie); a position where all agree
// counts nothing. So where one input alone holds another byte, every other input gains
// count - 2 (at least 1, so "#" is shown), that input nothing, and input 0's byte is written;
// where input 0 alone holds another byte and every other input one same byte, the mirror
// image. These simple positions, the commonest by far when copies are damaged at different
// places, are found for a whole chunk with a few operations per 64 bytes and counted in bulk.
// Only the order of the hits matters to the vote, when nobody shares a byte and the hit totals
// so far choose ("N."): the simple positions before each group that the vote decides are
// therefore counted before it. Hits that every input gains are held back as one number until
// something reads the table.
#include "engine/block_votes.h"

#include <bit>
#include <cstring>

#include "engine/group_bits.h"
#include "support/console.h"

namespace {

/// Most inputs times differing groups of a chunk that is voted group by group.
constexpr uint64_t sparse_slots = 64;

/// Returns the bits of the bytes of groups `from` up to `to` (not included) that lie in word
/// `w` of a chunk's byte bits (groups 8w to 8w + 7).
uint64_t group_range_bits(uint64_t w, uint64_t from, uint64_t to) {
    const uint64_t first = from > 8 * w ? from - 8 * w : 0;
    const uint64_t end = to - 8 * w < 8 ? to - 8 * w : 8;
    const uint64_t below_end = end == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * end)) - 1;
    return below_end & ~((uint64_t{1} << (8 * first)) - 1);
}

/// Returns the 8 bits of a word of byte bits, one per group, set where the group has a bit set.
uint64_t groups_with_bits(uint64_t byte_bits) {
    return byte_flags_to_bits(nonzero_bytes(byte_bits));
}

/// Returns a word of byte bits with all 8 bits set of every group whose bit is set in `groups`
/// (0 to 255).
uint64_t bytes_of_groups(uint64_t groups) {
    return bits_to_byte_flags(groups) * 0xFF;
}

}  // namespace

block_votes::block_votes(uint64_t count, const uint8_t* const* inputs, uint8_t* output,
                         bool samples)
    : count_(count),
      inputs_(inputs),
      output_(output),
      vote_(samples ? vote_samples_deviants : vote_bytes_deviants),
      scan_(pick_chunk_scanner()),
      samples_(samples),
      scan_bytes_(pick_byte_scanner()),
      count_positions_(pick_position_counter()) {
    for (uint64_t i = 0; i < count; ++i) hits_[i] = 0;
    group_.count = count;
    group_.inputs = inputs;
    group_.output = output;
    group_.hits = hits_;
    group_.agree_count = agree_count_;
    group_.error_bytes = 0;
}

const uint64_t* block_votes::hits() {
    settle_hits();
    return hits_;
}

void block_votes::settle_hits() {
    if (held_back_ == 0) return;
    for (uint64_t k = 0; k < count_; ++k) hits_[k] += held_back_;
    held_back_ = 0;
}

void block_votes::vote_group(uint64_t pos, uint64_t g, uint64_t deviant_count) {
    group_.pos = pos + 8 * g;
    // Inputs 0 up to the first deviant hold input 0's group.
    group_.prefix_last = deviants_[0] - 1u;
    vote_(group_, deviants_, deviant_count, held_back_, symbols_);
}

bool block_votes::is_sparse(uint64_t differing_groups) const {
    return differing_groups * (count_ - 1) <= sparse_slots;
}

void block_votes::vote_listed_group(uint64_t pos, uint64_t g) {
    const uint64_t w = g / 8;
    const unsigned shift = static_cast<unsigned>(8 * (g % 8));
    uint64_t deviant_count = 0;
    for (uint64_t j = 1; j < count_; ++j) {
        deviants_[deviant_count] = static_cast<uint16_t>(j);
        deviant_count += ((bytes_.differ[j][w] >> shift) & 0xFF) != 0 ? 1 : 0;
    }
    vote_group(pos, g, deviant_count);
}

void block_votes::vote_chunk_groups(uint64_t pos, uint64_t differing) {
    for (uint64_t bits = differing; bits != 0; bits &= bits - 1) {
        const uint64_t g = static_cast<uint64_t>(std::countr_zero(bits));
        // The inputs that differ in this group, in increasing order: first as bits, 64 inputs
        // to a word, then listed.
        uint64_t deviant_count = 0;
        for (uint64_t j0 = 0; j0 < count_; j0 += 64) {
            const uint64_t end = count_ - j0 < 64 ? count_ : j0 + 64;
            uint64_t which = 0;
            for (uint64_t j = j0 == 0 ? 1 : j0; j < end; ++j) {
                which |= ((masks_[j] >> g) & 1) << (j - j0);
            }
            for (; which != 0; which &= which - 1) {
                deviants_[deviant_count++] = static_cast<uint16_t>(j0 + std::countr_zero(which));
            }
        }
        vote_group(pos, g, deviant_count);
    }
}

void block_votes::settle_simple(uint64_t from, uint64_t to) {
    if (from >= to) return;
    // Only the words that hold a simple position; mostly one or two of a chunk's eight.
    const uint64_t in_range =
        ((uint64_t{2} << ((to - 1) / 8)) - 1) & ~((uint64_t{1} << (from / 8)) - 1);
    const uint64_t words = simple_words_ & in_range;
    if (words == 0) return;
    uint64_t one[scan_chunk_words] = {};
    uint64_t positions = 0;
    uint64_t zero_positions = 0;
    for (uint64_t bits = words; bits != 0; bits &= bits - 1) {
        const uint64_t w = static_cast<uint64_t>(std::countr_zero(bits));
        const uint64_t range = group_range_bits(w, from, to);
        one[w] = simple_one_[w] & range;
        const uint64_t zero = simple_zero_[w] & range;
        positions += bit_count(one[w] | zero);
        zero_positions += bit_count(zero);
    }
    if (positions == 0) return;

    // The input that alone holds another byte gains nothing there (modulo 2^64, as the hits
    // settle).
    const uint64_t gained = count_ - 2;
    held_back_ += gained * positions;
    hits_[0] -= gained * zero_positions;
    const uint64_t first_word = static_cast<uint64_t>(std::countr_zero(words));
    const uint64_t end_word = 64 - static_cast<uint64_t>(std::countl_zero(words));
    count_positions_(bytes_, count_, one, first_word, end_word, gained, hits_);
    group_.error_bytes += positions;
    symbols_.add(L'#', positions);
}

void block_votes::vote_chunk_bytes(uint64_t pos, uint64_t groups) {
    const uint64_t words = (groups + 7) / 8;
    const uint64_t* zero_alone = bytes_.zero_alone;

    // The words with a differing byte; mostly few of a chunk's eight.
    uint64_t dirty = 0;
    for (uint64_t w = 0; w < words; ++w) {
        dirty |= static_cast<uint64_t>(bytes_.some[w] != 0) << w;
    }

    // A chunk with few differing groups, for the number of inputs, costs less group by group:
    // the vote settles one damaged copy in a few steps too.
    uint64_t differing = 0;
    for (uint64_t bits = dirty; bits != 0; bits &= bits - 1) {
        const uint64_t w = static_cast<uint64_t>(std::countr_zero(bits));
        differing |= groups_with_bits(bytes_.some[w]) << (8 * w);
    }
    dense_ = !is_sparse(bit_count(differing));
    if (!dense_) {
        for (uint64_t bits = differing; bits != 0; bits &= bits - 1) {
            vote_listed_group(pos, static_cast<uint64_t>(std::countr_zero(bits)));
        }
        return;
    }

    // The groups with a position that is neither kind go to the vote whole.
    uint64_t voted = 0;
    for (uint64_t bits = dirty; bits != 0; bits &= bits - 1) {
        const uint64_t w = static_cast<uint64_t>(std::countr_zero(bits));
        voted |= groups_with_bits(bytes_.several[w] & ~zero_alone[w]) << (8 * w);
    }
    simple_words_ = 0;
    for (uint64_t bits = dirty; bits != 0; bits &= bits - 1) {
        const uint64_t w = static_cast<uint64_t>(std::countr_zero(bits));
        const uint64_t kept = ~bytes_of_groups((voted >> (8 * w)) & 0xFF);
        simple_one_[w] = bytes_.some[w] & ~bytes_.several[w] & kept;  // input 0's byte stays
        simple_zero_[w] = zero_alone[w] & kept;
        simple_words_ |= static_cast<uint64_t>((simple_one_[w] | simple_zero_[w]) != 0) << w;
        // Where input 0 alone differs, the others' byte is written.
        for (uint64_t g_bits = groups_with_bits(simple_zero_[w]); g_bits != 0;
             g_bits &= g_bits - 1) {
            const uint64_t g = 8 * w + static_cast<uint64_t>(std::countr_zero(g_bits));
            const uint64_t taken =
                bits_to_byte_flags((simple_zero_[w] >> (8 * (g % 8))) & 0xFF) * 0xFF;
            const uint64_t at = pos + 8 * g;
            const uint64_t decided =
                (load_group(output_ + at) & ~taken) | (load_group(inputs_[1] + at) & taken);
            std::memcpy(output_ + at, &decided, sizeof decided);
        }
    }

    uint64_t settled = 0;  // the groups before this one are counted or voted
    for (uint64_t bits = voted; bits != 0; bits &= bits - 1) {
        const uint64_t g = static_cast<uint64_t>(std::countr_zero(bits));
        settle_simple(settled, g);
        vote_listed_group(pos, g);
        settled = g + 1;
    }
    settle_simple(settled, groups);
}

const uint8_t* block_votes::vote_block(uint64_t block_len, bool& block_clean) {
    // Until the first difference the decided block is input 0's own, which is then written as
    // it is; from the first difference on, the output buffer gets input 0's bytes and the
    // votes' decisions.
    const uint8_t* decided = inputs_[0];
    uint8_t* copy_to = nullptr;
    group_.block_len = block_len;
    const uint64_t groups = (block_len + 7) / 8;
    for (uint64_t chunk = 0; chunk < groups; chunk += scan_chunk_groups) {
        const uint64_t in_chunk =
            groups - chunk < scan_chunk_groups ? groups - chunk : scan_chunk_groups;
        // Byte mode scans byte by byte while the chunks come out dense with differences, and
        // group by group while they come out sparse, as damage tends to run on.
        const bool by_bytes = !samples_ && dense_;
        uint64_t differing = 0;
        if (by_bytes) {
            differing = scan_bytes_(inputs_, count_, copy_to, chunk * 8, in_chunk, bytes_);
        } else {
            differing = scan_(inputs_, count_, copy_to, chunk * 8, in_chunk, masks_);
        }
        if (differing == 0) continue;
        if (copy_to == nullptr) {
            // The clean chunks before, and this one, which the scan did not copy.
            std::memcpy(output_, inputs_[0], (chunk + in_chunk) * 8);
            copy_to = output_;
            decided = output_;
        }
        if (block_clean) err_printf(L"<\n");
        block_clean = false;
        if (by_bytes) {
            vote_chunk_bytes(chunk * 8, in_chunk);
        } else if (samples_ || is_sparse(static_cast<uint64_t>(std::popcount(differing)))) {
            vote_chunk_groups(chunk * 8, differing);
        } else {
            // Dense after all: byte by byte, from the cache now.
            scan_bytes_(inputs_, count_, nullptr, chunk * 8, in_chunk, bytes_);
            vote_chunk_bytes(chunk * 8, in_chunk);
        }
    }
    symbols_.flush();
    return decided;
}
