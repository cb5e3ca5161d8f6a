// The command line: switches, input names, wildcard patterns and the output name.
#include "app/command_line.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "app/directory_part.h"
#include "support/console.h"
#include "support/report_error.h"
#include "support/run_values.h"

namespace {

/// The digest switches, in the index order of K_CRYPT_ALG_ID.
const wchar_t* const digest_switches[7] = {L"-md2",    L"-md4",    L"-md5",   L"-sha1",
                                           L"-sha256", L"-sha384", L"-sha512"};
const wchar_t* const default_output_leaf = L"out.wav";
// Names that do not fit their 1024-character buffers are left out whole, never cut short: a
// cut name would open, or create, some other file.
const wchar_t* const long_input_reason =
    L"skipped: an input name must be shorter than 1024 characters";
const wchar_t* const long_output_reason =
    L"not used: an output name must be shorter than 1024 characters";
// No file has an empty name; the run ends before anything is created.
const wchar_t* const empty_output_reason = L"not used: an output name cannot be empty";

/// One directory search: live only while one pattern is expanded.
struct search_state {
    HANDLE h_find;
    bool is_open;
    uint32_t error;
    WIN32_FIND_DATAW file_search_info;
};

/// The ASCII lower case of `c`; the program keeps the "C" locale, so nothing else folds.
wchar_t ascii_lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }

/// True when `a` and `b` are equal, ignoring the case of ASCII letters.
bool equals_ignoring_case(const wchar_t* a, const wchar_t* b) {
    for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b)) return false;
    }
    return *a == *b;
}

/// The index of the digest switch that `arg` is, or -1.
int digest_switch_index(const wchar_t* arg) {
    for (int i = 0; i < 7; ++i) {
        if (equals_ignoring_case(arg, digest_switches[i])) return i;
    }
    return -1;
}

/// Prints "[", the first `head_chars` characters of `head`, `tail` and "]" on the text stream,
/// however long the name is.
void print_bracketed_name(const wchar_t* head, size_t head_chars, const wchar_t* tail) {
    console_write(console_text, L"[", 1);
    console_write(console_text, head, head_chars);
    console_write(console_text, tail, wcslen(tail));
    console_write(console_text, L"]", 1);
}

/// Reports a name made of `head_chars` characters of `head` and `tail` that cannot be used.
void report_unusable_name(const wchar_t* head, size_t head_chars, const wchar_t* tail,
                          const wchar_t* reason) {
    print_bracketed_name(head, head_chars, tail);
    out_printf(L"\n   ^ %ls\n", reason);
}

/// Stores one more input name, the first `directory_chars` characters of `directory` followed
/// by `name`, or prints why it is dropped. Returns false when the table is full.
bool add_input(wchar_t (*input_names)[1024], uint64_t& input_count, const wchar_t* directory,
               size_t directory_chars, const wchar_t* name) {
    if (input_count == max_inputs) {
        print_bracketed_name(directory, directory_chars, name);
        out_printf(L"\n\t^ skipped: maximum input files allowed %u\n\n",
                   static_cast<unsigned>(max_inputs));
        return false;
    }
    const size_t name_length = wcslen(name);
    if (directory_chars + name_length >= name_chars) {
        report_unusable_name(directory, directory_chars, name, long_input_reason);
        return true;
    }
    wchar_t* slot = input_names[input_count];
    wmemcpy(slot, directory, directory_chars);
    wmemcpy(slot + directory_chars, name, name_length);
    slot[directory_chars + name_length] = L'\0';
    ++input_count;
    return true;
}

/// Adds the files that `pattern` matches, in the order the directory search returns them;
/// directories and any "out.wav" are left out. The search reports bare names, so each gets the
/// pattern's directory part in front: it then opens wherever the current directory is, and a
/// first input found so takes the default output into the pattern's directory too.
void expand_pattern(const wchar_t* pattern, wchar_t (*input_names)[1024], uint64_t& input_count) {
    const size_t directory_chars = directory_part_chars(pattern);
    search_state search;
    memset(&search, 0, sizeof search);
    search.h_find = FindFirstFileW(pattern, &search.file_search_info);
    if (search.h_find == INVALID_HANDLE_VALUE) {
        search.error = GetLastError();
        report_error_inline(search.error, L"FindFirstFile(name, &file_search_info)");
        return;
    }
    search.is_open = true;
    for (;;) {
        const WIN32_FIND_DATAW& match = search.file_search_info;
        const bool is_directory = (match.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!is_directory && !equals_ignoring_case(match.cFileName, default_output_leaf)) {
            // A full table ends the pattern: its further matches would all be dropped too.
            if (!add_input(input_names, input_count, pattern, directory_chars, match.cFileName)) {
                break;
            }
        }
        if (!FindNextFileW(search.h_find, &search.file_search_info)) {
            search.error = GetLastError();
            if (search.error != ERROR_NO_MORE_FILES) {
                report_error_inline(search.error, L"FindNextFile(h_find, &file_search_info)");
            }
            break;
        }
    }
    FindClose(search.h_find);
    memset(&search, 0, sizeof search);
}

/// Builds "out.wav" in the directory of `first_input` (the current directory when it has none).
/// A name that would not fit is reported and the output name stays empty.
void build_default_output(const wchar_t* first_input, wchar_t* output_name) {
    // The last separator of either kind ends the directory part. A drive alone, as in
    // "r:1.wav" (a pattern's match keeps it), is the directory part on Windows.
    size_t directory_chars = 0;
    for (size_t i = 0; i < name_chars && first_input[i] != L'\0'; ++i) {
        if (first_input[i] == L'/' || first_input[i] == L'\\') directory_chars = i + 1;
    }
    const size_t system_directory_chars = directory_part_chars(first_input);
    if (system_directory_chars > directory_chars) directory_chars = system_directory_chars;
    const size_t leaf_chars = wcslen(default_output_leaf);
    if (directory_chars + leaf_chars >= name_chars) {
        report_unusable_name(first_input, directory_chars, default_output_leaf, long_output_reason);
        return;
    }
    wmemcpy(output_name, first_input, directory_chars);
    wmemcpy(output_name + directory_chars, default_output_leaf, leaf_chars);
    output_name[directory_chars + leaf_chars] = L'\0';
}

}  // namespace

int32_t parse_command_line(wchar_t (*input_names)[1024], uint64_t& input_count,
                           wchar_t* output_name, int32_t argc, wchar_t** argv, K_CRYPT& digests) {
    memset(input_names, 0, sizeof(wchar_t) * name_chars * max_inputs);
    memset(output_name, 0, sizeof(wchar_t) * name_chars);
    input_count = 0;
    bool output_given = false;
    bool digest_requested = false;
    uint32_t alg_id = 0;

    for (int32_t i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        const int digest = digest_switch_index(arg);
        if (digest >= 0) {
            // The last digest switch wins.
            digest_requested = true;
            alg_id = static_cast<uint32_t>(digest);
        } else if (wcspbrk(arg, L"*?") != nullptr) {
            expand_pattern(arg, input_names, input_count);
        } else if (wcscmp(arg, L"-a") == 0) {
            sample_mode = true;
        } else if (wcscmp(arg, L"-b") == 0) {
            input_flags = FILE_FLAG_NO_BUFFERING;
        } else if (wcscmp(arg, L"-o") == 0) {
            if (i + 1 >= argc) break;  // "-o" without a value has no effect
            ++i;                       // the value is taken as it is, even if it looks like a switch
            output_given = true;
            // A name too long to use replaces an earlier one all the same: the last -o counts,
            // and no other file is put in place of the one asked for.
            output_name[0] = L'\0';
            const size_t length = wcslen(argv[i]);
            if (length == 0) {
                report_unusable_name(argv[i], 0, argv[i], empty_output_reason);
            } else if (length < name_chars) {
                wcscpy(output_name, argv[i]);
            } else {
                report_unusable_name(argv[i], 0, argv[i], long_output_reason);
            }
        } else {
            add_input(input_names, input_count, arg, 0, arg);
        }
    }

    if (input_count < 3 || input_count > max_inputs) {
        input_count = 0;
        return -1;
    }
    if (!output_given) build_default_output(input_names[0], output_name);
    // Context 0 is the output's, context i + 1 is input i's. A failed set-up reports itself
    // and the run goes on without digests.
    if (digest_requested) digests.init(input_count + 1, alg_id);
    return 0;
}
