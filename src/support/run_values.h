// Process-wide values of a run, all zero when the program is loaded.
#pragma once

#include <cstdint>

/// Performance-counter ticks per second, stored before the entry point runs.
extern int64_t qpc_frequency;
/// Time-stamp-counter ticks spent voting.
extern uint64_t cpu_ticks;
/// Time-stamp-counter ticks spent reading, hashing and writing.
extern uint64_t disk_ticks;
/// True with -a: the block loop votes 16-bit samples.
extern bool sample_mode;
/// Flags for every input open: 0, or FILE_FLAG_NO_BUFFERING with -b.
extern uint32_t input_flags;
