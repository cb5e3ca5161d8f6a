// The block loop: reads every input one block per pass in lock-step, lets a vote decide every
// 8-byte group in which the inputs differ, writes the decided block to the output, and prints
// progress, the hit table and the digests.
#include "engine/block_loop.h"

#include <windows.h>

#include <cinttypes>
#include <cstdint>
#include <cstring>

#include "engine/block_votes.h"
#include "support/console.h"
#include "support/report_error.h"
#include "support/run_values.h"

namespace {

constexpr uint32_t write_failed = 0xFFFFFFFF;

// The time-stamp counter at the last two phase boundaries: the start of the read phase (and
// the end of the vote phase), and the end of the read phase.
uint64_t first_mark = 0;
uint64_t second_mark = 0;

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
                        uint8_t* output_buffer, uint8_t* const* input_buffers, uint64_t block_size,
                        const wchar_t (*input_names)[1024], const wchar_t* output_name,
                        K_CRYPT& digests) {
    block_votes votes(input_count, input_buffers, output_buffer, sample_mode);

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

        // Vote phase: every group in which the inputs differ is voted. A block without any is
        // written from input 0's own buffer, which holds the very same bytes, without a copy.
        const uint8_t* decided = input_buffers[0];
        if (!read_failed && block_len != 0) decided = votes.vote_block(block_len, block_clean);
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
    print_end_report(input_count, votes.hits(), input_names, output_name, digests);
    console_flush();
    return votes.error_bytes();
}
