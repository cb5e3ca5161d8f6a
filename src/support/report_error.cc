#include "support/report_error.h"

#include <windows.h>

#include "support/console.h"

namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM:
// the system allocates the text, which is freed with LocalFree after printing.
constexpr DWORD message_flags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
static_assert(message_flags == 0x1300, "the system-message lookup flags");

/// Writes the two lines through `print` (out_printf or err_printf); returns `code`.
uint32_t report_with(void (*print)(const wchar_t*, ...), uint32_t code, const wchar_t* context) {
    wchar_t* text = nullptr;
    FormatMessageW(message_flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    print(L"%ls\n", context);
    // A failed lookup leaves no text; print the word the C runtime would print for a null
    // string rather than handing a null pointer to the format.
    print(L"   ^ERROR: %u, %ls", static_cast<unsigned>(code), text != nullptr ? text : L"(null)");
    if (text != nullptr) LocalFree(text);
    return code;
}

}  // namespace

uint32_t report_error(uint32_t code, const wchar_t* context) {
    return report_with(err_printf, code, context);
}

uint32_t report_error_inline(uint32_t code, const wchar_t* context) {
    return report_with(out_printf, code, context);
}
