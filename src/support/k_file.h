// K_FILE: one Win32 file handle, the program's only way to read or write a file.
#pragma once

#include <windows.h>

#include <cstdint>

class K_FILE {
public:
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool is_open = false;
    /// Last error of open, read, or of positioning for the unaligned last write; 0 for none.
    uint32_t error = 0;
    /// Last error of write; 0 for none.
    uint32_t write_error = 0;
    /// True when reads can return less than asked for before the end (pipes, character
    /// devices); read() then fills the buffer until it is full or the input has ended.
    bool short_reads = false;

    K_FILE() = default;
    K_FILE(const K_FILE&) = delete;
    K_FILE& operator=(const K_FILE&) = delete;
    ~K_FILE();

    /// Opens `name` ("-", "con" and "CON" stand for the standard streams). A file on disk opened
    /// for writing with CREATE_ALWAYS is empty afterwards, also when the create was retried as
    /// an open of the existing file; one that cannot be emptied fails to open. Returns 0 when
    /// open, 0xFFFFFFFF when already open, else the system error code (also left in `error`).
    uint32_t open(const wchar_t* name, uint32_t access, uint32_t disposition, uint32_t flags);
    /// Reads up to `length` bytes (all of them unless the input ends first, when short_reads).
    /// Returns true with the count in *count (0 at the end), or false with *count 0 and the code
    /// in `error`.
    bool read(void* buffer, uint32_t length, uint32_t* count);
    /// Writes `length` bytes. Returns `length`, or 0xFFFFFFFF with the code in `write_error`.
    uint32_t write(const void* data, uint32_t length);
    /// Closes the raw handle whatever `is_open` says, and resets it.
    void release();
    /// Returns 0xFFFFFFFF when not open; otherwise releases and returns 0.
    uint32_t close();
};
