// Windows: both "\" and "/" separate directories, and a drive alone ("r:*.wav") is the current
// directory of that drive.
#include "app/directory_part.h"

size_t directory_part_chars(const wchar_t* name) {
    size_t chars = 0;
    for (size_t i = 0; name[i] != L'\0'; ++i) {
        if (name[i] == L'\\' || name[i] == L'/') chars = i + 1;
    }
    const bool drive_only = chars == 0 && name[0] != L'\0' && name[1] == L':';
    return drive_only ? 2 : chars;
}
