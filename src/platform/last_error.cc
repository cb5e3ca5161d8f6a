// GetLastError / SetLastError: the thread's last system error code, one per thread as on Windows.
#include <windows.h>

namespace {
thread_local DWORD last_error = 0;
}

/// Win32: the calling thread's last error code. POSIX: a thread-local value.
DWORD WINAPI GetLastError(void) { return last_error; }

/// Win32: sets the calling thread's last error code. POSIX: the same thread-local value.
void WINAPI SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }
