// The command line: input names and patterns, the output name, switches, and the usage text.
#pragma once

#include <cstdint>

#include "support/k_crypt.h"

constexpr uint64_t max_inputs = 384;
constexpr uint64_t name_chars = 1024;

/// Fills the input name table, the count and the output name from argv, sets sample_mode and
/// input_flags, and initialises `digests` for a digest switch. Names of 1024 characters or more
/// are reported and left out; the output name stays empty when its name is. Returns 0 with 3 to
/// 384 inputs, else -1 with the count 0.
int32_t parse_command_line(wchar_t (*input_names)[1024], uint64_t& input_count,
                           wchar_t* output_name, int32_t argc, wchar_t** argv, K_CRYPT& digests);
/// Prints the usage text on standard output, then pauses under a debugger.
void print_usage(const wchar_t* program);
