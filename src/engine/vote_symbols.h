// The progress symbols of the votes, collected and handed to the console in pieces: a run with
// millions of differing positions then costs a console call per few thousand symbols, not one
// per symbol, and no formatted print for an input number.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/console.h"

/// Symbols not yet written, written out by flush() (and by the destructor).
class vote_symbols {
public:
    vote_symbols() = default;
    vote_symbols(const vote_symbols&) = delete;
    vote_symbols& operator=(const vote_symbols&) = delete;
    ~vote_symbols() { flush(); }

    /// Adds one symbol ("#" or the corrected-sample blank).
    void add(wchar_t symbol) {
        if (used_ == capacity) flush();
        text_[used_++] = symbol;
    }

    /// Adds `times` copies of one symbol.
    void add(wchar_t symbol, uint64_t times) {
        while (times > 0) {
            if (used_ == capacity) flush();
            const size_t room = capacity - used_;
            const size_t take = times < room ? static_cast<size_t>(times) : room;
            for (size_t i = 0; i < take; ++i) text_[used_ + i] = symbol;
            used_ += take;
            times -= take;
        }
    }

    /// Adds "N." for input number `input`, as "%llu." prints it.
    void add_input(uint64_t input) {
        if (capacity - used_ < 21) flush();
        wchar_t digits[20];
        size_t n = 0;
        do {
            digits[n++] = static_cast<wchar_t>(L'0' + input % 10);
            input /= 10;
        } while (input != 0);
        while (n > 0) text_[used_++] = digits[--n];
        text_[used_++] = L'.';
    }

    /// Writes the collected symbols to standard error.
    void flush() {
        if (used_ != 0) console_write(console_progress, text_, used_);
        used_ = 0;
    }

private:
    static constexpr size_t capacity = 4096;
    wchar_t text_[capacity];
    size_t used_ = 0;
};
