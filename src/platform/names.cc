// Names between POSIX bytes and Win32 wide strings. Valid UTF-8 decodes to its characters; any
// other byte 0x80..0xFF becomes the lone surrogate U+DC80..U+DCFF and encodes back to that very
// byte, so every byte string survives the trip to wide characters and back unchanged.
#include "platform/args.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t escape_base = 0xDC00;  // byte b (0x80..0xFF) <-> U+DC00 + b

bool is_escape(uint32_t c) { return c >= 0xDC80 && c <= 0xDCFF; }

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes one well-formed UTF-8 sequence at `p` (shortest form, no surrogates, at most
// U+10FFFF). Returns its length, or 0 when the bytes there are not one.
size_t decode_one(const unsigned char* p, size_t left, uint32_t* out) {
    unsigned char b = p[0];
    if (b < 0x80) {
        *out = b;
        return 1;
    }
    size_t n;
    uint32_t c;
    uint32_t min;
    if ((b & 0xE0) == 0xC0) {
        n = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, c = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n > left) return 0;
    for (size_t i = 1; i < n; ++i) {
        if (!is_continuation(p[i])) return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, encoded surrogates and values past U+10FFFF would not come back as the
    // same bytes, so they stay raw bytes.
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *out = c;
    return n;
}

}  // namespace

/// Bytes for one wide character: its UTF-8 form, or the raw byte an escape stands for.
size_t platform_char_to_bytes(wchar_t wc, char* out) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (is_escape(c)) {
        out[0] = static_cast<char>(c - escape_base);
        return 1;
    }
    if (c > 0x10FFFF) c = 0xFFFD;  // not a character at all
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        // Other lone surrogates keep their generalised three-byte form rather than vanish.
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

/// Wide name to POSIX path bytes (terminated); (size_t)-1 when they do not fit `capacity`.
size_t platform_name_to_bytes(const wchar_t* name, char* out, size_t capacity) {
    size_t used = 0;
    char bytes[4];
    for (const wchar_t* p = name; *p != L'\0'; ++p) {
        size_t n = platform_char_to_bytes(*p, bytes);
        if (used + n + 1 > capacity) return static_cast<size_t>(-1);
        std::memcpy(out + used, bytes, n);
        used += n;
    }
    if (used + 1 > capacity) return static_cast<size_t>(-1);
    out[used] = '\0';
    return used;
}

/// POSIX path bytes to a wide name (terminated); (size_t)-1 when it does not fit `capacity`.
size_t platform_bytes_to_name(const char* bytes, size_t length, wchar_t* out, size_t capacity) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t used = 0;
    size_t i = 0;
    while (i < length) {
        if (used + 1 >= capacity) return static_cast<size_t>(-1);
        uint32_t c;
        size_t n = decode_one(p + i, length - i, &c);
        if (n == 0) {
            c = escape_base + p[i];
            n = 1;
        }
        out[used++] = static_cast<wchar_t>(c);
        i += n;
    }
    if (capacity == 0) return static_cast<size_t>(-1);
    out[used] = L'\0';
    return used;
}

namespace {
// Kept reachable for the whole run (and for leak checkers): the arguments live until exit.
// Volatile so that the compiler keeps a store that nothing in the program reads.
wchar_t** volatile wide_arguments = nullptr;
}  // namespace

/// argv as wide strings in one allocation (pointer vector, then the texts); null when out of
/// memory.
wchar_t** platform_wide_arguments(int argc, char** argv) {
    if (argc < 0) argc = 0;
    size_t count = static_cast<size_t>(argc);
    // A byte never becomes more than one wide character, so the byte length bounds each text.
    size_t chars = 0;
    for (size_t i = 0; i < count; ++i) chars += std::strlen(argv[i]) + 1;
    size_t vector_bytes = (count + 1) * sizeof(wchar_t*);
    void* block = std::malloc(vector_bytes + chars * sizeof(wchar_t));
    if (block == nullptr) return nullptr;
    wchar_t** vector = static_cast<wchar_t**>(block);
    wchar_t* text = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + vector_bytes);
    for (size_t i = 0; i < count; ++i) {
        size_t length = std::strlen(argv[i]);
        size_t n = platform_bytes_to_name(argv[i], length, text, length + 1);
        vector[i] = text;
        text += n + 1;
    }
    vector[count] = nullptr;
    wide_arguments = vector;
    return vector;
}
