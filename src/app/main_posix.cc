// The POSIX entry point: the byte arguments become wide strings that convert back to the same
// bytes, so every name the shell hands over reaches the file system unchanged.
#include <cstdio>

#include "app/run_driver.h"
#include "platform/args.h"

int main(int argc, char** argv) {
    wchar_t** wide = platform_wide_arguments(argc, argv);
    if (wide == nullptr) {
        fputs("tally: out of memory for the arguments\n", stderr);
        return 255;
    }
    return run_driver(argc, wide);
}
