// The checks of a command line that the run makes before it creates its output. Creating the
// output empties it; when it is one of the inputs, that input is gone before it is read. The
// standard input can be read once only, so it cannot be two inputs in lock-step.
#include "app/run_refusals.h"

#include <windows.h>

#include <cwchar>

#include "support/console.h"

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/// Where a file lives: the same file, however it is named, has the same identity.
struct file_identity {
    bool known;
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
};

/// True for the names that the file handle maps onto the standard streams.
bool is_console_name(const wchar_t* name) {
    return wcscmp(name, L"-") == 0 || wcscmp(name, L"con") == 0 || wcscmp(name, L"CON") == 0;
}

/// The identity of the file `name` opens; not known when it cannot be opened (a file that does
/// not exist is no other file) or is a console name.
file_identity identity_of(const wchar_t* name) {
    file_identity id{};
    if (is_console_name(name)) return id;
    // No access asked for: this only asks what the file is, so it needs no rights to its data,
    // changes nothing, and opens directories too (backup semantics).
    HANDLE h = CreateFileW(name, 0, share_all, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        id.known = true;
        id.volume = info.dwVolumeSerialNumber;
        id.index_high = info.nFileIndexHigh;
        id.index_low = info.nFileIndexLow;
    }
    CloseHandle(h);
    return id;
}

bool same_file(const file_identity& a, const file_identity& b) {
    return a.known && b.known && a.volume == b.volume && a.index_high == b.index_high &&
           a.index_low == b.index_low;
}

/// True (reported) when a second input names the standard input.
bool standard_input_named_twice(const wchar_t (*input_names)[1024], uint64_t input_count) {
    const wchar_t* first = nullptr;
    for (uint64_t i = 0; i < input_count; ++i) {
        if (!is_console_name(input_names[i])) continue;
        if (first == nullptr) {
            first = input_names[i];
            continue;
        }
        out_printf(
            L"[%ls]\n   ^ refused: the standard input is an input already, as \"%ls\"; it "
            L"can be read only once\n",
            input_names[i], first);
        return true;
    }
    return false;
}

/// True (reported) when the output is the same file as one of the inputs.
bool output_is_an_input(const wchar_t (*input_names)[1024], uint64_t input_count,
                        const wchar_t* output_name) {
    const file_identity output = identity_of(output_name);
    if (!output.known) return false;
    for (uint64_t i = 0; i < input_count; ++i) {
        if (!same_file(output, identity_of(input_names[i]))) continue;
        out_printf(
            L"[%ls]\n   ^ refused as the output: it is the input \"%ls\", which would be "
            L"emptied before it is read\n",
            output_name, input_names[i]);
        return true;
    }
    return false;
}

}  // namespace

bool refuse_run(const wchar_t (*input_names)[1024], uint64_t input_count,
                const wchar_t* output_name) {
    // An output name that could not be used has been reported by the parse already.
    if (output_name[0] == L'\0') return true;
    if (standard_input_named_twice(input_names, input_count)) return true;
    return output_is_an_input(input_names, input_count, output_name);
}
