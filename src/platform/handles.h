// Kinds of HANDLE the Linux layer hands out, so that CloseHandle can tell them apart.
#pragma once

#include <windows.h>

/// True when `handle` is an access token from OpenProcessToken; closes it then.
bool platform_close_token(HANDLE handle);
