// The byte vote's plain meaning, position by position: a model that fuzzing compares with.
#pragma once

#include <cstdint>
#include <string>

/// What one position decides, per the plain meaning of the vote.
struct model_position {
    uint8_t output;
    bool disagreed;        // the position counts in error_bytes
    bool plurality;        // some value is shared ("#"), else the best-scored input ("N.")
    uint64_t best;         // the input whose value is written
};

/// Decides position `p` of `count` inputs, adding the hits to `hits`.
inline model_position model_vote_position(uint64_t count, const uint8_t* const* inputs, uint64_t p,
                                          uint64_t* hits) {
    uint64_t others[384];
    for (uint64_t k = 0; k < count; ++k) {
        others[k] = 0;
        for (uint64_t m = 0; m < count; ++m) {
            if (m != k && inputs[m][p] == inputs[k][p]) ++others[k];
        }
    }
    model_position r{inputs[0][p], false, false, 0};
    if (others[0] == count - 1) return r;
    r.disagreed = true;
    for (uint64_t k = 0; k < count; ++k) {
        hits[k] += others[k];
        if (others[k] > others[r.best]) r.best = k;
    }
    if (others[r.best] > 0) {
        r.plurality = true;
    } else {
        r.best = 0;
        for (uint64_t k = 1; k < count; ++k) {
            if (hits[k] > hits[r.best]) r.best = k;
        }
    }
    r.output = inputs[r.best][p];
    return r;
}
