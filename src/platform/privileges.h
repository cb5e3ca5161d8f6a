// The lock-memory privilege as the Linux layer models it, shared by the token calls and the
// physical-page calls that require it.
#pragma once

/// True when the process may lock memory without limit, which is what holding
/// "SeLockMemoryPrivilege" amounts to here (or when a test said so).
bool platform_lock_memory_right();
/// True once AdjustTokenPrivileges has enabled the lock-memory privilege.
bool platform_lock_memory_enabled();
/// Tests: makes the right count as held (true) or as the memory-lock limit says (false), and
/// drops an enabled privilege, so that each test starts from the same state.
void platform_assume_lock_memory_right(bool held);
