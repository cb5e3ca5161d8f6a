// Fuzzes the command-line parse: arguments separated by newlines, converted to wide strings as
// the POSIX entry point converts them. Checks that the parse keeps its promises: a count of 0 or
// 3 to 384, every name and the output name terminated inside their 1024-character buffers.
#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "app/command_line.h"
#include "platform/args.h"
#include "support/console.h"
#include "support/run_values.h"

namespace {

void drop_text(int, const wchar_t*, size_t, void*) {}

wchar_t names[384][1024];
wchar_t output_name[1024];
wchar_t argument_text[64][2048];
wchar_t* argv[65];

bool terminated(const wchar_t* name) { return wmemchr(name, L'\0', 1024) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static wchar_t program[] = L"tally";
    argv[0] = program;
    int argc = 1;
    size_t start = 0;
    for (size_t i = 0; i <= size && argc < 64; ++i) {
        if (i < size && data[i] != '\n') continue;
        const char* bytes = reinterpret_cast<const char*>(data + start);
        if (platform_bytes_to_name(bytes, i - start, argument_text[argc], 2048) == (size_t)-1) {
            return 0;
        }
        argv[argc] = argument_text[argc];
        ++argc;
        start = i + 1;
    }
    argv[argc] = nullptr;

    uint64_t count = 12345;
    K_CRYPT digests;
    sample_mode = false;
    input_flags = 0;
    console_set_sink(drop_text, nullptr);
    int32_t result = parse_command_line(names, count, output_name, argc, argv, digests);
    console_set_sink(nullptr, nullptr);

    if (result == 0 && (count < 3 || count > 384)) abort();
    if (result != 0 && (result != -1 || count != 0)) abort();
    for (uint64_t i = 0; i < count; ++i) {
        if (!terminated(names[i])) abort();
    }
    if (!terminated(output_name)) abort();
    if (digests.initialized && digests.count != count + 1) abort();
    return 0;
}
