// One whole run, from the command line to the exit status.
#pragma once

#include <cstdint>

/// Runs tally with the wide argument vector. Returns the exit status: 0, or -1.
int32_t run_driver(int32_t argc, wchar_t** argv);
