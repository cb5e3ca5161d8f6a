// Runs restore_blocks over real files in a scratch directory, opened the way the run driver
// opens them, and keeps everything the run showed and wrote.
#pragma once

#include <windows.h>
#include <malloc.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "console_capture.h"
#include "engine/block_loop.h"
#include "scratch_dir.h"
#include "support/k_crypt.h"
#include "support/k_file.h"
#include "support/report_error.h"

/// What one call of restore_blocks returned, printed and left in the output file.
struct loop_result {
    uint64_t error_bytes = 0;
    std::wstring progress;  // standard error
    std::wstring text;      // standard output
    std::string output;     // the output file's content
    uint32_t out_error = 0;        // h_out.error afterwards
    uint32_t out_write_error = 0;  // h_out.write_error afterwards
};

/// One scratch directory with inputs named in0.bin, in1.bin, ... and the output out.bin.
class block_loop_bench {
public:
    scratch_dir dir;
    K_CRYPT digests;

    /// Writes `inputs` to files, runs the loop with `block_size` and returns what it did.
    /// The hit table shows `shown_names` where given, else the file names.
    loop_result run(const std::vector<std::string>& inputs, uint64_t block_size,
                    const std::vector<std::wstring>& shown_names = {}) {
        loop_result result;
        const size_t count = inputs.size();
        std::unique_ptr<K_FILE[]> files(new K_FILE[count]);
        std::unique_ptr<wchar_t[][1024]> names(new wchar_t[count][1024]());
        for (size_t i = 0; i < count; ++i) {
            std::string leaf = "in" + std::to_string(i) + ".bin";
            std::wstring path = dir.file(leaf, inputs[i]);
            files[i].open(path.c_str(), GENERIC_READ, OPEN_EXISTING, 0);
            EXPECT_TRUE(files[i].is_open) << leaf;
            std::wstring shown = i < shown_names.size() ? shown_names[i]
                                                        : std::wstring(leaf.begin(), leaf.end());
            std::wcsncpy(names[i], shown.c_str(), 1023);
        }
        K_FILE h_out;
        h_out.open(dir.name("out.bin").c_str(), GENERIC_WRITE, CREATE_ALWAYS,
                   FILE_FLAG_NO_BUFFERING);
        EXPECT_TRUE(h_out.is_open);

        // Sector-aligned buffers, filled with a pattern so that nothing relies on zeroed memory.
        const size_t bytes = block_size == 0 ? 8 : block_size;
        std::vector<uint8_t*> buffers(count + 1);
        for (auto& b : buffers) {
            b = static_cast<uint8_t*>(_aligned_malloc(bytes, 4096));
            std::memset(b, 0xA5, bytes);
        }
        {
            console_capture capture;
            result.error_bytes = restore_blocks(count, files.get(), h_out, buffers[0],
                                                buffers.data() + 1, block_size, names.get(),
                                                L"out.bin", digests);
            result.progress = capture.progress;
            result.text = capture.text;
        }
        result.out_error = h_out.error;
        result.out_write_error = h_out.write_error;
        h_out.close();
        for (auto& b : buffers) _aligned_free(b);
        result.output = dir.content("out.bin");
        return result;
    }
};

/// `length` bytes of reproducible noise.
inline std::string noise(size_t length, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::string s(length, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

/// One line of the hit table without digests: the name right-aligned in 24 columns, the total
/// in 5, and the mark of the best.
inline std::wstring hit_row(const std::wstring& name, uint64_t hits, bool best) {
    std::wstring total = std::to_wstring(hits);
    return L"[" + std::wstring(name.size() < 24 ? 24 - name.size() : 0, L' ') + name + L"] " +
           std::wstring(total.size() < 5 ? 5 - total.size() : 0, L' ') + total +
           (best ? L" best" : L"") + L"\n";
}

/// The hit table of inputs in0.bin, in1.bin, ... with the given totals.
inline std::wstring hit_table(const std::vector<uint64_t>& hits) {
    uint64_t most = 0;
    for (uint64_t h : hits) most = h > most ? h : most;
    std::wstring table;
    for (size_t i = 0; i < hits.size(); ++i) {
        table += hit_row(L"in" + std::to_wstring(i) + L".bin", hits[i], hits[i] == most);
    }
    return table;
}

/// The two lines that the inline error report prints for `code` and `context`.
inline std::wstring report_text(uint32_t code, const wchar_t* context) {
    console_capture capture;
    report_error_inline(code, context);
    return capture.text;
}

/// `s` repeated `n` times.
inline std::wstring times(const std::wstring& s, size_t n) {
    std::wstring r;
    for (size_t i = 0; i < n; ++i) r += s;
    return r;
}
