// POSIX: only "/" separates directories; "\" and ":" are ordinary characters of a name, and a
// match may contain them, so they must not be taken for a directory part.
#include "app/directory_part.h"

size_t directory_part_chars(const wchar_t* name) {
    size_t chars = 0;
    for (size_t i = 0; name[i] != L'\0'; ++i) {
        if (name[i] == L'/') chars = i + 1;
    }
    return chars;
}
