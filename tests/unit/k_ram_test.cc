#include "support/k_ram.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "console_capture.h"

namespace {

// The block size is the system's large-page minimum, or 2 MB where it has none.
TEST(k_ram, block_size_is_large_page_minimum_or_2mb) {
    bool reported = true;
    const uint32_t size = K_RAM::large_page_minimum(&reported);
    EXPECT_EQ(K_RAM::large_page_minimum(nullptr), size);
    EXPECT_NE(size, 0u);
    EXPECT_EQ(size % 8, 0u);
    EXPECT_EQ(size & (size - 1), 0u) << "a page size is a power of two";
    if (reported) {
        EXPECT_EQ(size, static_cast<uint32_t>(GetLargePageMinimum()));
    } else {
        EXPECT_EQ(size, 2097152u);
    }
}

// Four blocks in one region, usable in full, placed on the boundary the path promises; an
// ordinary run says nothing.
TEST(k_ram, allocates_four_blocks_in_one_region) {
    console_capture capture;
    K_RAM ram;
    ASSERT_EQ(ram.allocate(4), 0);
    ASSERT_NE(ram.base, nullptr);
    EXPECT_EQ(ram.count, 4u);
    EXPECT_EQ(ram.block_size, K_RAM::large_page_minimum(nullptr));
    EXPECT_EQ(ram.total_size, 4 * ram.block_size);
    EXPECT_FALSE(ram.physical && ram.locked);
    const auto address = reinterpret_cast<uintptr_t>(ram.base);
    if (ram.physical) {
        EXPECT_EQ(address % 65536, 0u);
    } else {
        EXPECT_EQ(address % ram.block_size, 0u);
    }
    if (ram.locked) {
        for (uint64_t i = 0; i < ram.total_size; i += 4093) ASSERT_EQ(ram.base[i], 0) << i;
    }
    std::memset(ram.base, 0xA5, ram.total_size);
    EXPECT_EQ(ram.base[ram.total_size - 1], 0xA5);
    if (!ram.physical) {
        EXPECT_TRUE(capture.progress.empty());
    }
    EXPECT_TRUE(capture.text.empty());
}

TEST(k_ram, release_twice_and_release_of_empty) {
    K_RAM empty;
    EXPECT_EQ(empty.release(), -1);
    K_RAM ram;
    ASSERT_EQ(ram.allocate(1), 0);
    const bool physical = ram.physical;
    const bool locked = ram.locked;
    EXPECT_EQ(ram.release(), 0);
    EXPECT_EQ(ram.base, nullptr);
    EXPECT_EQ(ram.release(), -1);
    // The path flags survive release; only the destructor clears them.
    EXPECT_EQ(ram.physical, physical);
    EXPECT_EQ(ram.locked, locked);
    EXPECT_EQ(ram.block_size, K_RAM::large_page_minimum(nullptr));
}

// The destructor releases and leaves every field zero.
TEST(k_ram, destructor_zeroes_every_field) {
    alignas(K_RAM) unsigned char storage[sizeof(K_RAM)];
    K_RAM* ram = new (storage) K_RAM;
    ASSERT_EQ(ram->allocate(2), 0);
    ram->~K_RAM();
    EXPECT_FALSE(ram->physical);
    EXPECT_FALSE(ram->locked);
    EXPECT_EQ(ram->pages_requested, 0u);
    EXPECT_EQ(ram->pages_received, 0u);
    EXPECT_EQ(ram->pfn_array_bytes, 0u);
    EXPECT_EQ(ram->aPFNs, nullptr);
    EXPECT_EQ(ram->process, nullptr);
    EXPECT_EQ(ram->token, nullptr);
    EXPECT_EQ(ram->count, 0u);
    EXPECT_EQ(ram->block_size, 0u);
    EXPECT_EQ(ram->total_size, 0u);
    EXPECT_EQ(ram->base, nullptr);
}

}  // namespace
