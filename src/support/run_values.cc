#include "support/run_values.h"

#include <windows.h>

namespace {

int64_t read_qpc_frequency() {
    LARGE_INTEGER frequency;
    frequency.QuadPart = 0;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

}  // namespace

int64_t qpc_frequency = read_qpc_frequency();
uint64_t cpu_ticks = 0;
uint64_t disk_ticks = 0;
bool sample_mode = false;
uint32_t input_flags = 0;
