// K_RAM: all block buffers of a run in one region, from physical pages or from locked
// block-aligned memory.
#pragma once

#include <windows.h>

#include <cstdint>

class K_RAM {
public:
    bool physical = false;
    bool locked = false;
    uint64_t pages_requested = 0;
    uint64_t pages_received = 0;
    uint64_t pfn_array_bytes = 0;
    ULONG_PTR* aPFNs = nullptr;
    HANDLE process = nullptr;
    HANDLE token = nullptr;
    uint64_t count = 0;
    uint64_t block_size = 0;
    uint64_t total_size = 0;
    uint8_t* base = nullptr;

    K_RAM() = default;
    K_RAM(const K_RAM&) = delete;
    K_RAM& operator=(const K_RAM&) = delete;
    ~K_RAM();

    /// The system's large-page minimum, or 2,097,152 where it reports none; *flag (if given)
    /// tells whether the system reported one.
    static uint32_t large_page_minimum(bool* flag);
    /// Obtains `count` blocks. Returns 0 with `base` set, or -1 (reported) with `base` null.
    int allocate(uint64_t count);
    /// Gives the region back. Returns 0, or -1 when no region is held.
    int release();

private:
    int enable_lock_memory_privilege(HANDLE token);
    uint8_t* allocate_physical(uint64_t size);
};
