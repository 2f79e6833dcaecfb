// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// Buffers of an exact length without an allocation per run: one heap area,
// reused, of which only the first `length` bytes are addressable; the rest is
// poisoned, so AddressSanitizer reports any access past them exactly as for a
// fresh allocation of that length (and the heap block's own red zone guards
// the front). Allocating per run would cost a mapping of its own for every
// large block and slow the targets down several times over.

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

class FencedBuffer {
public:
    FencedBuffer() = default;
    FencedBuffer(const FencedBuffer&) = delete;
    FencedBuffer& operator=(const FencedBuffer&) = delete;
    ~FencedBuffer() {
        if (area_ != nullptr) ASAN_UNPOISON_MEMORY_REGION(area_, capacity_);
        std::free(area_);
    }

    // `length` addressable bytes (their contents are left over from earlier runs).
    uint8_t* take(size_t length) {
        if (length > capacity_ || area_ == nullptr) {
            if (area_ != nullptr) ASAN_UNPOISON_MEMORY_REGION(area_, capacity_);
            std::free(area_);
            capacity_ = length > 2 * capacity_ ? length + 64 : 2 * capacity_;
            area_ = static_cast<uint8_t*>(std::malloc(capacity_));
            if (area_ == nullptr) std::abort();
        }
        ASAN_UNPOISON_MEMORY_REGION(area_, length);
        ASAN_POISON_MEMORY_REGION(area_ + length, capacity_ - length);
        return area_;
    }

private:
    uint8_t* area_ = nullptr;
    size_t capacity_ = 0;
};
