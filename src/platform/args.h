// Command-line arguments as wide strings, for the POSIX entry point.
#pragma once

#include <cstddef>

/// Converts the byte strings of argv into wide strings such that every name (valid UTF-8 or
/// not) converts back to the very same bytes when it reaches CreateFileW or FindFirstFileW.
/// Returns a vector of argc + 1 pointers (the last null) that lives until the process ends,
/// or null when memory ran out.
wchar_t** platform_wide_arguments(int argc, char** argv);

/// Converts a wide name to the bytes of a POSIX path (UTF-8; the escapes U+DC80..U+DCFF become
/// the raw bytes 0x80..0xFF they stand for). Returns the number of bytes written before the
/// terminator, or (size_t)-1 when the result does not fit into `capacity` bytes.
size_t platform_name_to_bytes(const wchar_t* name, char* out, size_t capacity);

/// Converts POSIX path bytes to a wide name (the inverse of platform_name_to_bytes). Returns the
/// number of wide characters written before the terminator, or (size_t)-1 when it does not fit.
size_t platform_bytes_to_name(const char* bytes, size_t length, wchar_t* out, size_t capacity);

/// Writes the bytes that stand for one wide character (its UTF-8 form, or the raw byte for an
/// escape U+DC80..U+DCFF) into `out`, which has room for 4. Returns how many bytes, 1 to 4.
size_t platform_char_to_bytes(wchar_t c, char* out);
