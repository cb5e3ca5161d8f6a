// Console text on Windows: a console gets the wide text as it is; a file or pipe gets UTF-8
// through the C runtime's text-mode stream, which turns every "\n" into CR LF.
#include <windows.h>

#include <cstdio>

#include "support/console.h"

void console_write_system(int stream, const wchar_t* text, size_t length) {
    FILE* file = stream == console_progress ? stderr : stdout;
    HANDLE handle = GetStdHandle(stream == console_progress ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
        fflush(file);
        DWORD written = 0;
        WriteConsoleW(handle, text, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    char bytes[4096];
    while (length > 0) {
        // Convert in slices that cannot overflow the byte buffer (3 bytes per UTF-16 unit at
        // most), never splitting a surrogate pair.
        size_t take = length < 1024 ? length : 1024;
        if (take < length && text[take - 1] >= 0xD800 && text[take - 1] <= 0xDBFF) --take;
        int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(take), bytes,
                                    sizeof bytes, nullptr, nullptr);
        if (n > 0) fwrite(bytes, 1, static_cast<size_t>(n), file);
        text += take;
        length -= take;
    }
    fflush(file);
}
