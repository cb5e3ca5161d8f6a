// What a run refuses before anything is created: command lines that would lose a user's data or
// cannot be read in lock-step.
#pragma once

#include <cstdint>

/// True when the run must not start: there is no output name, the standard input is named as
/// more than one input, or the output is the same file as an input (by file identity, whatever
/// the spelling). Each refusal is reported on the text stream.
bool refuse_run(const wchar_t (*input_names)[1024], uint64_t input_count,
                const wchar_t* output_name);
