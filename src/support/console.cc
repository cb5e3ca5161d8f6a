#include "support/console.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

constexpr size_t buffer_chars = 16384;
constexpr size_t format_chars = 8192;

struct stream_buffer {
    wchar_t text[buffer_chars];
    size_t used;
};

stream_buffer buffers[2];
int text_stream = console_text;  // where out_printf goes
console_sink active_sink = nullptr;
void* sink_user = nullptr;

void flush_stream(int stream) {
    stream_buffer& b = buffers[stream - 1];
    if (b.used == 0) return;
    int target = stream;
    console_write_system(target, b.text, b.used);
    b.used = 0;
}

void append(int stream, const wchar_t* text, size_t length) {
    if (active_sink != nullptr) {
        active_sink(stream, text, length, sink_user);
        return;
    }
    // Keep the order of texts on the two streams: whatever the other stream holds goes first.
    flush_stream(stream == console_text ? console_progress : console_text);
    stream_buffer& b = buffers[stream - 1];
    while (length > 0) {
        if (b.used == buffer_chars) flush_stream(stream);
        size_t room = buffer_chars - b.used;
        size_t take = length < room ? length : room;
        wmemcpy(b.text + b.used, text, take);
        b.used += take;
        text += take;
        length -= take;
    }
}

void append_formatted(int stream, const wchar_t* format, va_list args) {
    wchar_t text[format_chars];
    int n = vswprintf(text, format_chars, format, args);
    if (n < 0) {
        // Too long for the buffer: vswprintf leaves no reliable length, so write what fits.
        text[format_chars - 1] = L'\0';
        n = static_cast<int>(wcslen(text));
    }
    append(stream, text, static_cast<size_t>(n));
}

}  // namespace

void out_printf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    append_formatted(text_stream, format, args);
    va_end(args);
}

void err_printf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    append_formatted(console_progress, format, args);
    va_end(args);
}

void console_write(int stream, const wchar_t* text, size_t length) {
    append(stream == console_text ? text_stream : console_progress, text, length);
}

void err_symbol(wchar_t symbol) {
    stream_buffer& b = buffers[console_progress - 1];
    if (active_sink == nullptr && buffers[console_text - 1].used == 0 && b.used < buffer_chars) {
        b.text[b.used++] = symbol;
        return;
    }
    append(console_progress, &symbol, 1);
}

void console_flush() {
    flush_stream(console_text);
    flush_stream(console_progress);
}

void console_text_to_stderr() {
    console_flush();
    text_stream = console_progress;
}

void console_set_sink(console_sink sink, void* user) {
    console_flush();
    active_sink = sink;
    sink_user = user;
    if (sink == nullptr) text_stream = console_text;
}

int console_read_char() {
    console_flush();
    int c = getchar();
    return c == EOF ? -1 : c;
}
