// Where a wildcard pattern's directory search runs: the part of the pattern before its last
// component, which the matches the search reports do not carry.
#pragma once

#include <cstddef>

/// The number of leading characters of `pattern` that name the directory its search runs in,
/// separator included; 0 when the search runs in the current directory.
size_t pattern_directory_chars(const wchar_t* pattern);
