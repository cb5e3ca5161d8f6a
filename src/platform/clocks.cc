// Timing and debugging on POSIX: the performance counter is CLOCK_MONOTONIC in nanoseconds,
// the time-stamp counter is RDTSC where the processor has it, and a debugger is a tracer.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <windows.h>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

constexpr LONGLONG nanoseconds_per_second = 1000000000;

LONGLONG monotonic_nanoseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<LONGLONG>(now.tv_sec) * nanoseconds_per_second + now.tv_nsec;
}

}  // namespace

/// Win32: performance-counter ticks per second. POSIX: 1,000,000,000 (nanosecond ticks).
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    lpFrequency->QuadPart = nanoseconds_per_second;
    return TRUE;
}

/// Win32: the performance counter now. POSIX: CLOCK_MONOTONIC in nanoseconds.
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    lpPerformanceCount->QuadPart = monotonic_nanoseconds();
    return TRUE;
}

/// The processor's time-stamp counter: RDTSC on x86, the monotonic nanosecond count elsewhere.
ULONGLONG ReadTimeStampCounter(void) {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<ULONGLONG>(monotonic_nanoseconds());
#endif
}

/// Win32: true under a user-mode debugger. POSIX: a non-zero TracerPid in /proc/self/status.
BOOL WINAPI IsDebuggerPresent(void) {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FALSE;
    char text[4096];
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return FALSE;
    text[got] = '\0';
    const char* line = std::strstr(text, "TracerPid:");
    if (line == nullptr) return FALSE;
    return std::strtol(line + std::strlen("TracerPid:"), nullptr, 10) != 0 ? TRUE : FALSE;
}
