// POSIX: only "/" separates directories; "\" and ":" are ordinary characters of a name, and a
// match may contain them, so they must not be taken for a directory part.
#include "app/pattern_directory.h"

size_t pattern_directory_chars(const wchar_t* pattern) {
    size_t chars = 0;
    for (size_t i = 0; pattern[i] != L'\0'; ++i) {
        if (pattern[i] == L'/') chars = i + 1;
    }
    return chars;
}
