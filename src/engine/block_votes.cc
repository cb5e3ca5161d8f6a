// The vote phase of the block loop. The chunk scanner marks, per input, the groups in which it
// differs from input 0; only those groups are voted, position by position, and a vote looks
// only at the inputs that differ. The last group may reach past block_len; those bytes are
// voted but not written.
//
// The commonest differing group, in byte mode, has one deviant input d: one damaged copy. At
// every position where d holds another byte, the byte vote finds count - 2 other holders (at
// least 1, so "#" is shown) for every input but d, none for d, and writes input 0's byte. The
// next commonest are two damaged copies, damaged at different positions, and the mirror image
// of one damaged copy: input 0 damaged, every other input holding one group. Such groups are
// settled here in a few operations. Hits that every input gains are held back
// as one number until something reads the table.
#include "engine/block_votes.h"
#include "engine/group_bits.h"

#include <bit>
#include <cstring>

#include "support/console.h"

namespace {

/// Returns how many of the 8 bytes of `x` are not 0.
uint64_t nonzero_byte_count(uint64_t x) {
    return byte_count(nonzero_bytes(x));
}

}  // namespace

block_votes::block_votes(uint64_t count, const uint8_t* const* inputs, uint8_t* output,
                         bool samples)
    : count_(count),
      inputs_(inputs),
      output_(output),
      vote_(samples ? vote_samples_deviants : vote_bytes_deviants),
      scan_(pick_chunk_scanner()),
      samples_(samples) {
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

[[gnu::always_inline]] inline void block_votes::vote_one_deviant(uint64_t pos, uint64_t deviant) {
    const uint64_t positions =
        nonzero_byte_count(load_group(inputs_[0] + pos) ^ load_group(inputs_[deviant] + pos));
    // The output holds input 0's group, from the scan.
    const uint64_t gained = positions * (count_ - 2);
    held_back_ += gained;
    hits_[deviant] -= gained;  // modulo 2^64: it gains nothing
    group_.error_bytes += positions;
    symbols_.add(L'#', positions);
}

void block_votes::classify_groups(uint64_t& one, uint64_t& two, uint64_t& all) {
    uint64_t some = 0;
    uint64_t several = 0;
    uint64_t many = 0;  // three or more
    all = ~uint64_t{0};
    for (uint64_t j = 1; j < count_; ++j) {
        many |= several & masks_[j];
        several |= some & masks_[j];
        some |= masks_[j];
        all &= masks_[j];
    }
    one = some & ~several;
    two = several & ~many;
    all &= several;
    // The deviants of those groups, in increasing order; 0 marks a pair not yet begun.
    for (uint64_t bits = two; bits != 0; bits &= bits - 1)
        first_deviant_[std::countr_zero(bits)] = 0;
    for (uint64_t j = 1; j < count_; ++j) {
        for (uint64_t bits = masks_[j] & (one | two); bits != 0; bits &= bits - 1) {
            const int g = std::countr_zero(bits);
            if (first_deviant_[g] == 0 || (one >> g) & 1) {
                first_deviant_[g] = static_cast<uint16_t>(j);
            } else {
                second_deviant_[g] = static_cast<uint16_t>(j);
            }
        }
    }
}

bool block_votes::vote_two_deviants(uint64_t pos, uint64_t a, uint64_t b) {
    const uint64_t lead = load_group(inputs_[0] + pos);
    const uint64_t at_a = nonzero_bytes(load_group(inputs_[a] + pos) ^ lead);
    const uint64_t at_b = nonzero_bytes(load_group(inputs_[b] + pos) ^ lead);
    if ((at_a & at_b) != 0) return false;
    // At every differing position one of the two alone holds another byte: as for one
    // deviant, each other input counts count - 2 others there, and input 0's byte wins.
    const uint64_t positions_a = byte_count(at_a);
    const uint64_t positions_b = byte_count(at_b);
    const uint64_t gained = count_ - 2;
    held_back_ += gained * (positions_a + positions_b);
    hits_[a] -= gained * positions_a;  // modulo 2^64, as the hits settle
    hits_[b] -= gained * positions_b;
    group_.error_bytes += positions_a + positions_b;
    symbols_.add(L'#', positions_a + positions_b);
    return true;
}

void block_votes::vote_general(uint64_t pos, uint64_t deviant_count) {
    group_.pos = pos;
    // Inputs 0 up to the first deviant hold input 0's group.
    group_.prefix_last = deviants_[0] - 1u;
    vote_(group_, deviants_, deviant_count, held_back_, symbols_);
}

bool block_votes::vote_input_zero_alone(uint64_t pos) {
    const uint64_t other = load_group(inputs_[1] + pos);
    bool same = true;
    for (uint64_t j = 2; j < count_; ++j) same &= load_group(inputs_[j] + pos) == other;
    if (!same) return false;
    // Every input but input 0 counts count - 2 others at each differing position (at least 1,
    // so "#" is shown), input 0 none, and the others' byte wins.
    const uint64_t positions = nonzero_byte_count(load_group(inputs_[0] + pos) ^ other);
    const uint64_t gained = positions * (count_ - 2);
    held_back_ += gained;
    hits_[0] -= gained;  // modulo 2^64: it gains nothing
    group_.error_bytes += positions;
    symbols_.add(L'#', positions);
    std::memcpy(output_ + pos, &other, sizeof other);
    return true;
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
        const uint64_t differing = scan_(inputs_, count_, copy_to, chunk * 8, in_chunk, masks_);
        if (differing == 0) continue;
        if (copy_to == nullptr) {
            // The clean chunks before, and this one, which the scan did not copy.
            std::memcpy(output_, inputs_[0], (chunk + in_chunk) * 8);
            copy_to = output_;
            decided = output_;
        }
        if (block_clean) err_printf(L"<\n");
        block_clean = false;

        // Byte mode: the groups with one deviant, with two, and with every input but input 0.
        uint64_t one_deviant = 0;
        uint64_t two_deviants = 0;
        uint64_t all_deviate = 0;
        if (!samples_) classify_groups(one_deviant, two_deviants, all_deviate);

        for (uint64_t bits = differing; bits != 0; bits &= bits - 1) {
            const uint64_t g = static_cast<uint64_t>(std::countr_zero(bits));
            const uint64_t pos = (chunk + g) * 8;
            if ((one_deviant >> g) & 1) {
                vote_one_deviant(pos, first_deviant_[g]);
                continue;
            }
            if ((two_deviants >> g) & 1) {
                if (vote_two_deviants(pos, first_deviant_[g], second_deviant_[g])) continue;
                deviants_[0] = first_deviant_[g];
                deviants_[1] = second_deviant_[g];
                vote_general(pos, 2);
                continue;
            }
            if ((all_deviate >> g) & 1 && vote_input_zero_alone(pos)) continue;
            // The inputs that differ in this group, in increasing order: first as bits, 64
            // inputs to a word, then listed.
            uint64_t deviant_count = 0;
            for (uint64_t j0 = 0; j0 < count_; j0 += 64) {
                const uint64_t end = count_ - j0 < 64 ? count_ : j0 + 64;
                uint64_t which = 0;
                for (uint64_t j = j0 == 0 ? 1 : j0; j < end; ++j) {
                    which |= ((masks_[j] >> g) & 1) << (j - j0);
                }
                for (; which != 0; which &= which - 1) {
                    deviants_[deviant_count++] =
                        static_cast<uint16_t>(j0 + std::countr_zero(which));
                }
            }
            vote_general(pos, deviant_count);
        }
    }
    symbols_.flush();
    return decided;
}
