// The order of a run: parse, buffers, opens, the timed block loop, the summary, the release.
// The driver owns every resource of the run; each step is a small function so that the order
// of opens and releases can be read from run_driver() alone.
#include "app/run_driver.h"

#include <windows.h>

#include <cinttypes>
#include <new>

#include "app/command_line.h"
#include "app/run_refusals.h"
#include "engine/block_loop.h"
#include "support/console.h"
#include "support/k_crypt.h"
#include "support/k_file.h"
#include "support/k_ram.h"
#include "support/run_values.h"

namespace {

constexpr int32_t status_failed = -1;
constexpr int64_t ns_per_second = 1000000000;

// 1.5 MiB of names and 384 handles do not belong on the stack; one run per process, so static
// storage holds them. The handles live in unions that construct and destroy nothing by
// themselves: the run constructs them in place when it calls for it, and destroys them
// explicitly in the reverse order.
wchar_t input_names[max_inputs][name_chars];
wchar_t output_name[name_chars];
uint8_t* input_buffers[max_inputs];

union input_handle_table {
    constexpr input_handle_table() {}
    ~input_handle_table() {}
    K_FILE files[max_inputs];
};
union output_handle_slot {
    constexpr output_handle_slot() {}
    ~output_handle_slot() {}
    K_FILE file;
};
input_handle_table input_handles;
output_handle_slot output_handle;

/// The run's objects, as the steps below pass them around.
struct run_objects {
    K_RAM* arena;
    K_CRYPT* digests;
    uint64_t input_count;
    uint8_t* output_buffer;
    K_FILE* h_files;
    K_FILE* h_out;
};

/// Nanoseconds of a performance-counter reading; only the part below one second is multiplied,
/// so a large reading cannot overflow.
int64_t counter_to_ns(int64_t reading) {
    int64_t seconds = reading / qpc_frequency;
    return seconds * ns_per_second + (reading - seconds * qpc_frequency) * ns_per_second / qpc_frequency;
}

/// The performance counter now, in nanoseconds.
int64_t now_ns() {
    LARGE_INTEGER reading;
    reading.QuadPart = 0;
    QueryPerformanceCounter(&reading);
    return counter_to_ns(reading.QuadPart);
}

/// Block 0 of the arena is the output's, block i + 1 input i's.
void lay_out_buffers(run_objects& run) {
    uint8_t* base = run.arena->base;
    uint64_t block_size = run.arena->block_size;
    run.output_buffer = base;
    for (uint64_t i = 0; i < run.input_count; ++i) input_buffers[i] = base + (i + 1) * block_size;
}

/// Constructs all 384 input handles in index order, then the output handle, all closed.
void construct_handles(run_objects& run) {
    for (uint64_t i = 0; i < max_inputs; ++i) new (&input_handles.files[i]) K_FILE();
    run.h_files = input_handles.files;
    run.h_out = new (&output_handle.file) K_FILE();
}

/// Destroys the output handle, then the input handles, the last one first.
void destroy_handles(run_objects& run) {
    run.h_out->~K_FILE();
    for (uint64_t i = max_inputs; i > 0; --i) run.h_files[i - 1].~K_FILE();
}

/// One line of the open listing on standard error.
void list_file(const wchar_t* name, const K_FILE& file) {
    err_printf(L"[%24ls] %ls\n", name, file.is_open ? L"OK" : L"FAIL");
}

/// Creates or truncates the output before any input is opened; its writes bypass the cache.
void open_output(run_objects& run) {
    run.h_out->open(output_name, GENERIC_WRITE, CREATE_ALWAYS, FILE_FLAG_NO_BUFFERING);
    list_file(output_name, *run.h_out);
}

/// Opens the inputs in order. Returns 0 when all are open, else -1 at the first failure (the
/// inputs after it are neither opened nor listed).
int32_t open_inputs(run_objects& run) {
    for (uint64_t i = 0; i < run.input_count; ++i) {
        run.h_files[i].open(input_names[i], GENERIC_READ, OPEN_EXISTING, input_flags);
        list_file(input_names[i], run.h_files[i]);
        if (!run.h_files[i].is_open) return status_failed;
    }
    return 0;
}

/// The two summary lines on the text stream. The time-stamp counter's rate is measured against
/// the performance counter over the block loop.
void print_summary(uint64_t ticks, int64_t elapsed_ns, uint64_t error_bytes) {
    double rate = static_cast<double>(ticks) * 1000000000.0 / static_cast<double>(elapsed_ns);
    out_printf(L"\n");
    out_printf(L"CPU  :%12.6f MHz   CPU TIME:%6.3f s   errors:%6" PRIu64 L" KB = %" PRIu64
               L" bytes\n",
               rate / 1000000.0, static_cast<double>(cpu_ticks) / rate, error_bytes >> 10,
               error_bytes);
    out_printf(L"timer:%12.6f MHz       disk:%6.3f s   total :%6.3f s\n",
               static_cast<double>(qpc_frequency) / 1000000.0,
               static_cast<double>(disk_ticks) / rate, static_cast<double>(ticks) / rate);
}

/// True when a read or write failure stopped the block loop: it is recorded in the handle.
/// (The end of a pipe is no failure and leaves no code.)
bool transfer_failed(const run_objects& run) {
    if (run.h_out->write_error != 0) return true;
    for (uint64_t i = 0; i < run.input_count; ++i) {
        if (run.h_files[i].error != 0) return true;
    }
    return false;
}

/// Runs the block loop once between two readings of both clocks, then prints the summary. Only
/// the block loop lies inside the timed interval.
void timed_run(run_objects& run, const K_RAM& arena) {
    int64_t start_ns = now_ns();
    uint64_t start_stamp = ReadTimeStampCounter();
    uint64_t error_bytes =
        restore_blocks(run.input_count, run.h_files, *run.h_out, run.output_buffer, input_buffers,
                       arena.block_size, input_names, output_name, *run.digests);
    int64_t elapsed_ns = now_ns() - start_ns;
    uint64_t ticks = ReadTimeStampCounter() - start_stamp;
    print_summary(ticks, elapsed_ns, error_bytes);
}

/// Gives the buffers back first (they are wiped there), then closes the output and the inputs.
void release_resources(run_objects& run) {
    run.arena->release();
    run.h_out->close();
    for (uint64_t i = 0; i < run.input_count; ++i) run.h_files[i].close();
    if (run.digests->initialized) run.digests->release();
}

/// Keeps the console window open under a debugger until ENTER.
void pause_under_debugger() {
    if (!IsDebuggerPresent()) return;
    err_printf(L"\r\n[finished] Press ENTER to exit . . .");
    console_read_char();
}

/// The run from the opens to the last release. Returns the exit status: -1 also when the
/// output did not open or a failure stopped the restore, so that a script can trust a 0.
int32_t open_restore_release(run_objects& run) {
    lay_out_buffers(run);
    construct_handles(run);
    open_output(run);
    int32_t status = open_inputs(run);
    if (status == 0) {
        err_printf(L"\n");
        if (!run.h_out->is_open) {
            status = status_failed;
        } else {
            timed_run(run, *run.arena);
            if (transfer_failed(run)) status = status_failed;
        }
    }
    release_resources(run);
    pause_under_debugger();
    destroy_handles(run);
    return status;
}

}  // namespace

int32_t run_driver(int32_t argc, wchar_t** argv) {
    K_RAM arena;
    K_CRYPT digests;
    run_objects run{&arena, &digests, 0, nullptr, nullptr, nullptr};

    parse_command_line(input_names, run.input_count, output_name, argc, argv, digests);
    int32_t status = status_failed;
    if (run.input_count < 3) {
        print_usage(argc > 0 ? argv[0] : L"tally");
    } else if (refuse_run(input_names, run.input_count, output_name)) {
        // Nothing has been created or opened; the report says why.
        pause_under_debugger();
    } else {
        arena.allocate(run.input_count + 1);
        if (arena.base != nullptr) status = open_restore_release(run);
    }
    // Every path ends here; both releases find an already released object and change nothing.
    digests.release();
    arena.release();
    console_flush();
    return status;
}
