#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr size_t MiB = size_t{1} << 20;

// The reader keeps a buffer for as long as a chunk fits in block_memory_size,
// so every byte up to it must be usable: under the sanitizer a write past the
// allocation fails the test.
TEST(Platform, BlockMemoryIsUsableToItsFullSize) {
    const struct {
        size_t asked;
        size_t given;
    } cases[] = {
        {1, 1},
        {2 * MiB - 1, 2 * MiB - 1},
        {2 * MiB, 2 * MiB},
        {2 * MiB + 1, 4 * MiB},
        {5849088, 6 * MiB},
        {8 * MiB, 8 * MiB},
        {9437234, 10 * MiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        EXPECT_EQ(block_memory_size(c.asked), c.given);
        auto* memory = static_cast<uint8_t*>(allocate_block_memory(c.asked));
        ASSERT_NE(memory, nullptr);
        std::memset(memory, 0xA5, c.given);
        EXPECT_EQ(memory[c.given - 1], 0xA5);
        std::free(memory);
    }
}

TEST(Platform, BlockMemoryTooLargeToRoundIsRefused) {
    EXPECT_EQ(block_memory_size(SIZE_MAX), SIZE_MAX);
    EXPECT_EQ(allocate_block_memory(SIZE_MAX - MiB), nullptr);
}

}  // namespace
