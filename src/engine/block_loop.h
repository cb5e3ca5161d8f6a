// The block loop: all inputs read in lock-step, voted, written, and reported.
#pragma once

#include <cstdint>

#include "support/k_crypt.h"
#include "support/k_file.h"

/// Restores the output from `input_count` open inputs. Returns the number of byte positions
/// at which the inputs disagreed.
uint64_t restore_blocks(uint64_t input_count, K_FILE* h_files, K_FILE& h_out,
                        uint8_t* output_buffer, uint8_t* const* input_buffers, uint64_t block_size,
                        const wchar_t (*input_names)[1024], const wchar_t* output_name,
                        K_CRYPT& digests);
