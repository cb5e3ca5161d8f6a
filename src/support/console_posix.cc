// Console text on POSIX: the wide text becomes the bytes of names.cc's encoding (UTF-8, and a
// name's raw bytes as those very bytes) and goes straight to descriptor 1 or 2.
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/args.h"
#include "support/console.h"

namespace {

// Writes all of `bytes`, retrying interrupted and short writes; errors are dropped, since
// there is nowhere left to report a console that cannot be written.
void write_all(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t put = write(fd, bytes, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        bytes += put;
        length -= static_cast<size_t>(put);
    }
}

}  // namespace

void console_write_system(int stream, const wchar_t* text, size_t length) {
    const int fd = stream == console_progress ? 2 : 1;
    char bytes[4096];
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        if (used + 4 > sizeof bytes) {
            write_all(fd, bytes, used);
            used = 0;
        }
        // ASCII, nearly all of the progress symbols, is its own encoding.
        const uint32_t c = static_cast<uint32_t>(text[i]);
        if (c < 0x80) {
            bytes[used++] = static_cast<char>(c);
            continue;
        }
        used += platform_char_to_bytes(text[i], bytes + used);
    }
    write_all(fd, bytes, used);
}
