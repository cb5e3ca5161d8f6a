// The directory part of a name as the system reads it: what a wildcard pattern's directory
// search runs in (its matches are reported without it), and where a name's file lies.
#pragma once

#include <cstddef>

/// The number of leading characters of `name` that name the directory it lies in, separator
/// included: through the last separator, or on Windows a drive alone ("r:"); 0 for the current
/// directory.
size_t directory_part_chars(const wchar_t* name);
