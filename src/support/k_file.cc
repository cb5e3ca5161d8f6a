#include "support/k_file.h"

#include <cwchar>

#include "support/console.h"
#include "support/report_error.h"

namespace {

// Added to every open: sequential access (the system reads ahead for our block-by-block reads),
// backup semantics, and the normal attribute for a file that the open creates.
constexpr DWORD added_flags =
    FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_NORMAL;
static_assert(added_flags == 0x0A000080, "flags added to every open");

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t wrong_state = 0xFFFFFFFF;
constexpr size_t report_chars = 512;

/// True for the names that stand for the standard streams: exactly "-", "con" or "CON".
bool is_console_name(const wchar_t* name) {
    return wcscmp(name, L"-") == 0 || wcscmp(name, L"con") == 0 || wcscmp(name, L"CON") == 0;
}

/// Prints the two-line report of a failed open of `name`; the name is always printed whole.
void report_open_failure(uint32_t code, const wchar_t* name) {
    // "open(" + name + ")" fits the report buffer up to a name of 505 characters.
    if (wcslen(name) <= report_chars - 1 - 6) {
        wchar_t context[report_chars] = {};
        swprintf(context, report_chars, L"open(%ls)", name);
        report_error_inline(code, context);
        return;
    }
    // A longer name is the user's only clue to what failed, so it is not cut: the context line
    // goes out in pieces and the report adds the closing parenthesis and the error line.
    console_write(console_text, L"open(", 5);
    console_write(console_text, name, wcslen(name));
    report_error_inline(code, L")");
}

/// True for handles whose reads may stop short of the length asked for before the input
/// ends. Files on disk return whole lengths until their end, and are read as before: a second
/// read after a short one would even fail on an unbuffered handle (an unaligned position).
bool reads_may_stop_short(HANDLE handle) {
    return GetFileType(handle) != FILE_TYPE_DISK;
}

/// Makes sure that a file opened to be created from scratch is empty. A retry opens the
/// existing file without emptying it, and a file system may refuse to empty a file that it lets
/// be created over (Wine reports success then). Emptied before anything is written, the file
/// ends where the new data ends. Returns false, with the last error set, when the file holds
/// bytes and cannot be emptied: it is not to be written at all, since its old bytes beyond the
/// new end would remain.
bool empty_file(HANDLE handle) {
    LARGE_INTEGER size;
    size.QuadPart = 0;
    if (GetFileSizeEx(handle, &size) && size.QuadPart == 0) return true;
    // The handle is at the start of the file, just opened.
    return SetEndOfFile(handle) != FALSE;
}

}  // namespace

K_FILE::~K_FILE() {
    close();
    handle = INVALID_HANDLE_VALUE;
    is_open = false;
    error = 0;
    write_error = 0;
    short_reads = false;
}

uint32_t K_FILE::open(const wchar_t* name, uint32_t access, uint32_t disposition, uint32_t flags) {
    if (is_open) return wrong_state;
    const bool for_writing = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    const uint32_t first_disposition = disposition;
    DWORD err = 0;
    // Two attempts at most: a create that the system refuses for another reason than a missing
    // path is tried once more as an open of the existing file.
    for (;;) {
        flags |= added_flags;
        SetLastError(0);
        error = 0;
        if (is_console_name(name)) {
            handle = GetStdHandle(for_writing ? STD_OUTPUT_HANDLE : STD_INPUT_HANDLE);
            if (handle != INVALID_HANDLE_VALUE) {
                is_open = true;
                short_reads = reads_may_stop_short(handle);
                if (for_writing) {
                    // Standard output now carries the data; the program's own text moves to
                    // standard error, for the process and for our console layer alike.
                    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
                    console_text_to_stderr();
                }
                return 0;
            }
        }
        handle = CreateFileW(name, access, share_all, nullptr, disposition, flags, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            // Tells the caller whether an existing file was replaced (ERROR_ALREADY_EXISTS).
            if (disposition == CREATE_ALWAYS) error = GetLastError();
            const bool is_disk = !reads_may_stop_short(handle);
            if (for_writing && first_disposition == CREATE_ALWAYS && is_disk &&
                !empty_file(handle)) {
                err = GetLastError();
                CloseHandle(handle);
                handle = INVALID_HANDLE_VALUE;
                break;
            }
            is_open = true;
            short_reads = !is_disk;
            return 0;
        }
        err = GetLastError();
        if (for_writing && disposition == CREATE_ALWAYS && err != ERROR_FILE_NOT_FOUND) {
            disposition = OPEN_EXISTING;
            continue;
        }
        break;
    }
    report_open_failure(err, name);
    error = err;
    return err;
}

bool K_FILE::read(void* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    uint32_t total = 0;
    // One read for a file on disk. A pipe or a device may deliver a block in pieces; the
    // inputs stay in lock-step only when each pass gets a whole block from every input that
    // has not ended, so such a handle is read until the block is full or the input ends.
    do {
        DWORD done = 0;
        if (!ReadFile(handle, bytes + total, length - total, &done, nullptr)) {
            const DWORD code = GetLastError();
            // The end of a pipe whose writer has gone is a failure with this code on Windows.
            if (short_reads && code == ERROR_BROKEN_PIPE) break;
            error = code;
            return false;
        }
        if (done == 0) break;
        total += done;
    } while (short_reads && total < length);
    *count = total;
    return true;
}

uint32_t K_FILE::write(const void* data, uint32_t length) {
    DWORD done = 0;
    if (!WriteFile(handle, data, length, &done, nullptr)) {
        write_error = GetLastError();
        return 0xFFFFFFFF;
    }
    return length;
}

void K_FILE::release() {
    is_open = false;
    short_reads = false;
    // No handle, nothing to close: keeps release safe on an empty object any number of times.
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

uint32_t K_FILE::close() {
    if (!is_open) return wrong_state;
    release();
    return 0;
}
