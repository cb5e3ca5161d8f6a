// The two-line error report: the context, then the system's code and text for it.
#pragma once

#include <cstdint>

/// Prints "<context>\n   ^ERROR: <code>, <system text>" on standard error; returns `code`.
uint32_t report_error(uint32_t code, const wchar_t* context);
/// The same two lines on the text stream (standard output), where the run reports inline.
uint32_t report_error_inline(uint32_t code, const wchar_t* context);
