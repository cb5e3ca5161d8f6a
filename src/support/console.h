// Console text of a run: wide-character formatted output on two streams, buffered by the
// program itself so that thousands of progress symbols cost one system write, and kept in order
// when both streams reach the same terminal.
#pragma once

#include <cstddef>

/// Which stream a text goes to.
enum console_stream { console_text = 1, console_progress = 2 };

/// Receives every text instead of the real streams while set (tests); `stream` is a
/// console_stream value.
typedef void (*console_sink)(int stream, const wchar_t* text, size_t length, void* user);

/// Formatted text on the text stream: standard output, or standard error once
/// console_text_to_stderr() was called. %ls takes a wide string.
void out_printf(const wchar_t* format, ...);
/// Formatted text on standard error (progress, open listing, arena diagnostics).
void err_printf(const wchar_t* format, ...);
/// Unformatted text on either stream.
void console_write(int stream, const wchar_t* text, size_t length);
/// One progress symbol on standard error; the hot path of the votes.
void err_symbol(wchar_t symbol);
/// Writes out everything buffered on both streams.
void console_flush();
/// From now on the text stream is standard error, so standard output carries data only.
void console_text_to_stderr();
/// Routes all text to `sink` (tests). Null restores the real streams, with the text stream on
/// standard output again. Flushes first.
void console_set_sink(console_sink sink, void* user);
/// Reads one character from standard input (the pause under a debugger). Returns it or -1.
int console_read_char();

/// Writes already formatted text to the real stream; one implementation per system.
void console_write_system(int stream, const wchar_t* text, size_t length);
