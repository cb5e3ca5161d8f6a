// The POSIX entry point: the byte arguments become wide strings that convert back to the same
// bytes, so every name the shell hands over reaches the file system unchanged.
#include <csignal>
#include <cstdio>

#include "app/run_driver.h"
#include "platform/args.h"

int main(int argc, char** argv) {
    // A closed pipe must turn into a write error that tally reports, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    wchar_t** wide = platform_wide_arguments(argc, argv);
    if (wide == nullptr) {
        fputs("tally: out of memory for the arguments\n", stderr);
        return 255;
    }
    return run_driver(argc, wide);
}
