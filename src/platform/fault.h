// Fault injection for tests: makes a chosen platform call fail with a chosen error code, so that
// failure paths that a real system would not take on demand can be exercised. Linux layer only.
#pragma once

#include <windows.h>

/// One armed fault: the nth call (from 1) of `call` whose name argument contains `match`
/// (any call when `match` is null) fails, leaving `error` as the last error (or, for the
/// BCrypt calls, returned as the status). `repeat` keeps failing every later matching call too.
struct platform_fault {
    const char* call;
    const wchar_t* match;
    unsigned nth;
    DWORD error;
    bool repeat;
};

/// Arms one more fault; returns false when the fixed table (16 entries) is full.
bool platform_fault_arm(const platform_fault& fault);
/// Disarms every fault and resets the call counters.
void platform_fault_clear();
/// Asked by each faultable call: true when this call must fail, with the code in *error.
bool platform_fault_check(const char* call, const wchar_t* name, DWORD* error);
