// Windows: both "\" and "/" separate directories, and a drive alone ("r:*.wav") is the current
// directory of that drive.
#include "app/pattern_directory.h"

size_t pattern_directory_chars(const wchar_t* pattern) {
    size_t chars = 0;
    for (size_t i = 0; pattern[i] != L'\0'; ++i) {
        if (pattern[i] == L'\\' || pattern[i] == L'/') chars = i + 1;
    }
    const bool drive_only = chars == 0 && pattern[0] != L'\0' && pattern[1] == L':';
    return drive_only ? 2 : chars;
}
