// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// Unaligned little-endian loads and stores and the fixed-size copies of the
// block codec. Every access goes through memcpy, which compilers turn into a
// single move; nothing here checks bounds, so callers keep their own margins.

#include <bit>
#include <cstdint>
#include <cstring>

namespace zorv_bytes {

template <class T>
inline T byte_swapped(T value) {
    T out = 0;
    for (unsigned i = 0; i < sizeof(T); ++i) {
        out = static_cast<T>((out << 8) | (value & 0xFF));
        value = static_cast<T>(value >> 8);
    }
    return out;
}

template <class T>
inline T load_le(const uint8_t* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = byte_swapped(value);
    return value;
}

inline uint32_t load16(const uint8_t* p) { return load_le<uint16_t>(p); }
inline uint32_t load32(const uint8_t* p) { return load_le<uint32_t>(p); }
inline uint64_t load64(const uint8_t* p) { return load_le<uint64_t>(p); }

// Copies exactly N bytes; the two ranges must not overlap by less than N.
template <unsigned N>
inline void copy(uint8_t* to, const uint8_t* from) {
    std::memcpy(to, from, N);
}

// Index of the first byte that differs, given the XOR of two words loaded with
// load64 (it must not be 0): the lowest byte of a loaded word is the first in
// memory on every host.
inline unsigned first_difference(uint64_t x) { return static_cast<unsigned>(std::countr_zero(x)) / 8; }

}  // namespace zorv_bytes
