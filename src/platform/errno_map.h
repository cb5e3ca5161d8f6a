// POSIX errno values turned into the Win32 error codes that Windows gives in the same situation.
#pragma once

#include <windows.h>

/// The Win32 code for `err`, from one table; ERROR_INVALID_FUNCTION for an errno it lacks.
DWORD platform_error_from_errno(int err);
/// Sets the thread's last error from `err` and returns the Win32 code.
DWORD platform_set_last_errno(int err);
