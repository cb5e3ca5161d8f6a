// Fuzzes the byte vote against its plain meaning: the value held by the most inputs (the
// lowest-numbered input on a tie), one hit per other holder, and the best-scored input when
// every input differs. Input: count, then hit scores and 8 bytes per input.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/vote.h"
#include "support/console.h"
#include "vote_model.h"

namespace {

std::wstring symbols;

void keep_symbols(int stream, const wchar_t* text, size_t length, void*) {
    if (stream == console_progress) symbols.append(text, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint64_t count = 3 + data[0] % 62;
    if (size < 1 + count * 9) return 0;
    const uint8_t* p = data + 1;

    static uint8_t groups[384][8];
    static const uint8_t* inputs[384];
    static uint64_t hits[384], model_hits[384], agree[384];
    for (uint64_t i = 0; i < count; ++i) {
        hits[i] = model_hits[i] = *p++ % 4;  // small scores make ties likely
        std::memcpy(groups[i], p, 8);
        // Fold bytes onto a small alphabet so that values repeat across inputs.
        for (int b = 0; b < 8; ++b) groups[i][b] = static_cast<uint8_t>('a' + groups[i][b] % 5);
        p += 8;
        inputs[i] = groups[i];
    }
    uint64_t j = 1;
    while (j < count && std::memcmp(groups[j], groups[0], 8) == 0) ++j;
    if (j == count) return 0;  // the block loop never votes a group that is equal in all inputs

    uint8_t output[8];
    vote_context ctx{count, inputs, output, 0, j - 1, 8, hits, agree, 0};
    symbols.clear();
    console_set_sink(keep_symbols, nullptr);
    vote_bytes(ctx);
    console_set_sink(nullptr, nullptr);

    std::wstring expected_symbols;
    uint64_t expected_errors = 0;
    for (uint64_t pos = 0; pos < 8; ++pos) {
        model_position m = model_vote_position(count, inputs, pos, model_hits);
        if (output[pos] != m.output) abort();
        if (!m.disagreed) continue;
        ++expected_errors;
        expected_symbols += m.plurality ? L"#" : std::to_wstring(m.best) + L".";
    }
    if (ctx.error_bytes != expected_errors || symbols != expected_symbols) abort();
    for (uint64_t i = 0; i < count; ++i) {
        if (hits[i] != model_hits[i]) abort();
    }
    return 0;
}
