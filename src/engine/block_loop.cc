// The block loop: reads every input one block per pass in lock-step, lets a vote decide every
// 8-byte group in which the inputs differ, writes the decided block to the output, and prints
// progress, the hit table and the digests.
#include "engine/block_loop.h"

#include <windows.h>

#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstring>

#include "engine/group_scan.h"
#include "engine/vote.h"
#include "support/console.h"
#include "support/report_error.h"
#include "support/run_values.h"

namespace {

constexpr uint64_t max_inputs = 384;
constexpr uint32_t write_failed = 0xFFFFFFFF;

// The time-stamp counter at the last two phase boundaries: the start of the read phase (and
// the end of the vote phase), and the end of the read phase.
uint64_t first_mark = 0;
uint64_t second_mark = 0;

/// Returns the 8 bytes at `p` as one value; memcpy keeps the load free of aliasing and
/// alignment assumptions and compiles to a single move.
uint64_t load_group(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Returns the first input whose group at `pos` differs from input 0's; the caller knows that
/// there is one. Eight inputs are compared at a time, so that where the first difference lies
/// costs no mispredicted branch within each eight.
uint64_t first_differing_input(const uint8_t* const* inputs, uint64_t count, uint64_t pos) {
    const uint64_t first = load_group(inputs[0] + pos);
    for (uint64_t j0 = 1;; j0 += 8) {
        const uint64_t n = count - j0 < 8 ? count - j0 : 8;
        unsigned differs = 0;
        for (uint64_t j = 0; j < n; ++j) {
            differs |= static_cast<unsigned>(load_group(inputs[j0 + j] + pos) != first) << j;
        }
        if (differs != 0) return j0 + static_cast<uint64_t>(std::countr_zero(differs));
    }
}

/// Writes the last, shorter block through a buffered handle on the same file, at the
/// unbuffered handle's position, since an unbuffered handle refuses lengths that are not whole
/// sectors. Returns true when the block was written; false leaves h_out.write_error as it was.
bool write_unaligned(K_FILE& h_out, const uint8_t* data, uint64_t length, bool& stop_after_block) {
    bool written = false;
    K_FILE h_out_unaligned;
    // No FILE_FLAG_NO_BUFFERING: this handle may write any length.
    h_out_unaligned.handle = ReOpenFile(h_out.handle, FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS);
    if (h_out_unaligned.handle == INVALID_HANDLE_VALUE) {
        h_out_unaligned.error = GetLastError();
        return false;
    }

    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(h_out.handle, zero, &position, FILE_CURRENT)) {
        h_out.error = GetLastError();
    } else {
        h_out.error = 0;
        if (!SetFilePointerEx(h_out_unaligned.handle, position, nullptr, FILE_BEGIN)) {
            // Writing at the new handle's own position would put the block in the wrong place
            // in the file, so the block is not written and the failed write stands.
            h_out_unaligned.error = GetLastError();
        } else if (h_out_unaligned.write(data, static_cast<uint32_t>(length)) != write_failed) {
            h_out.write_error = 0;
            written = true;
        } else {
            stop_after_block = true;
            report_error_inline(h_out_unaligned.write_error, L"h_out_unaligned.write()");
        }
    }
    h_out_unaligned.release();
    return written;
}

/// Prints the hit table (after each input's digest, when there are digests) and the output's
/// digest line.
void print_end_report(uint64_t input_count, const uint64_t* hits,
                      const wchar_t (*input_names)[1024], const wchar_t* output_name,
                      K_CRYPT& digests) {
    uint64_t most = 0;
    for (uint64_t i = 0; i < input_count; ++i) {
        if (hits[i] > most) most = hits[i];
    }
    for (uint64_t i = 0; i < input_count; ++i) {
        if (digests.initialized) {
            for (uint32_t b = 0; b < digests.txt_length; ++b) {
                out_printf(L"%02x", static_cast<unsigned>(digests.txt_hashes[i + 1][b]));
            }
            out_printf(L" ");
        }
        out_printf(L"[%24ls] %5" PRIu64 L"%ls\n", input_names[i], hits[i],
                   hits[i] == most ? L" best" : L"");
    }
    if (digests.initialized) {
        for (uint32_t b = 0; b < digests.txt_length; ++b) {
            out_printf(L"%02x", static_cast<unsigned>(digests.txt_hashes[0][b]));
        }
        out_printf(L" [%24ls]\n", output_name);
    }
}

}  // namespace

uint64_t restore_blocks(uint64_t input_count, K_FILE* h_files, K_FILE& h_out,
                        uint8_t* output_buffer, uint8_t* const* input_buffers,
                        uint64_t block_size, const wchar_t (*input_names)[1024],
                        const wchar_t* output_name, K_CRYPT& digests) {
    uint64_t hits[max_inputs];
    uint64_t agree_count[max_inputs];
    for (uint64_t i = 0; i < input_count; ++i) hits[i] = 0;

    vote_context group{};
    group.count = input_count;
    group.inputs = input_buffers;
    group.output = output_buffer;
    group.hits = hits;
    group.agree_count = agree_count;
    group.error_bytes = 0;
    void (*const vote)(vote_context&) = sample_mode ? vote_samples : vote_bytes;
    const chunk_scanner scan = pick_chunk_scanner();

    // A clean block shows one dot per input and one bar; as many as fit in 80 columns share a
    // line.
    const uint64_t blocks_per_line = 80 / (input_count + 1);
    uint64_t column = 0;
    bool stop_after_block = false;

    err_printf(L"processing:\n");

    uint64_t block_len = block_size;
    while (block_size != 0 && block_len != 0) {
        bool block_clean = true;
        block_len = block_size;
        first_mark = ReadTimeStampCounter();

        // Read phase: one block from every input; the first failure ends the reading.
        bool read_failed = false;
        for (uint64_t i = 0; i < input_count; ++i) {
            uint32_t got = 0;
            if (!h_files[i].read(input_buffers[i], static_cast<uint32_t>(block_size), &got)) {
                stop_after_block = true;
                block_len = 0;
                report_error_inline(h_files[i].error, L"h_files[i].read()");
                read_failed = true;
                break;
            }
            // The digest covers exactly the bytes read, so it is taken before the zero fill.
            if (digests.initialized) digests.hash(i + 1, input_buffers[i], got);
            if (got > 0 && got < block_size) {
                std::memset(input_buffers[i] + got, 0, block_size - got);
            }
            if (got < block_len) block_len = got;
            err_symbol(L'.');
        }
        second_mark = ReadTimeStampCounter();
        disk_ticks += second_mark - first_mark;

        // Vote phase: the chunk scanner marks the groups in which some input differs; only
        // those are voted, position by position. The last group may reach past block_len;
        // those bytes are voted but not written. Until the first difference the decided block
        // is input 0's own, which is then written as it is; from the first difference on, the
        // output buffer gets input 0's bytes and the votes' decisions.
        const uint8_t* decided = input_buffers[0];
        if (!read_failed && block_len != 0) {
            group.block_len = block_len;
            const uint64_t groups = (block_len + 7) / 8;
            uint8_t* copy_to = nullptr;
            for (uint64_t chunk = 0; chunk < groups; chunk += scan_chunk_groups) {
                const uint64_t in_chunk =
                    groups - chunk < scan_chunk_groups ? groups - chunk : scan_chunk_groups;
                uint64_t differing[4];
                if (!scan(input_buffers, input_count, copy_to, chunk * 8, in_chunk, differing)) {
                    continue;
                }
                if (copy_to == nullptr) {
                    // The clean chunks before, and this one, which the scan did not copy.
                    std::memcpy(output_buffer, input_buffers[0], (chunk + in_chunk) * 8);
                    copy_to = output_buffer;
                    decided = output_buffer;
                }
                for (uint64_t w = 0; w < 4; ++w) {
                    for (uint64_t bits = differing[w]; bits != 0; bits &= bits - 1) {
                        const uint64_t pos = (chunk + 64 * w + std::countr_zero(bits)) * 8;
                        const uint64_t j = first_differing_input(input_buffers, input_count, pos);
                        if (block_clean) err_printf(L"<\n");
                        block_clean = false;
                        group.pos = pos;
                        group.prefix_last = j - 1;
                        vote(group);
                    }
                }
            }
        }
        first_mark = ReadTimeStampCounter();
        cpu_ticks += first_mark - second_mark;

        // Write phase.
        if (digests.initialized) digests.hash(0, decided, block_len);
        if (h_out.write(decided, static_cast<uint32_t>(block_len)) == write_failed) {
            bool written = false;
            if (h_out.write_error == ERROR_INVALID_PARAMETER) {
                written = write_unaligned(h_out, decided, block_len, stop_after_block);
            }
            if (!written) {
                report_error_inline(h_out.write_error, L"h_out.write()");
                break;
            }
        }
        disk_ticks += ReadTimeStampCounter() - first_mark;

        // Progress: clean blocks share a line; a block with differences has its symbols on a
        // line of their own, followed by an empty line, and is shown at once.
        if (block_clean) {
            err_symbol(L'|');
            if (++column >= blocks_per_line) {
                column = 0;
                err_symbol(L'\n');
            }
        } else {
            err_symbol(L'\n');
            console_flush();
            err_symbol(L'\n');
            column = 0;
        }

        if (stop_after_block) break;
    }

    err_symbol(L'\n');
    if (digests.initialized && digests.count != 0) digests.finish();
    print_end_report(input_count, hits, input_names, output_name, digests);
    console_flush();
    return group.error_bytes;
}
