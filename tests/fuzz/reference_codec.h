// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// A deliberately plain model of the block codec for differential fuzzing:
// one byte at a time, std::vector for output, no shortcuts. The product codec
// is tuned for speed (4-byte copies, unrolled loops); any stream on which the
// two disagree points at a fault in the fast one (or in this model).

#include <algorithm>
#include <cstdint>
#include <vector>

namespace reference {

inline uint32_t key_at(const uint8_t* b, uint64_t x) { return b[x] | (static_cast<uint32_t>(b[x + 1]) << 8); }

inline void put_length(std::vector<uint8_t>& out, uint64_t value) {
    while (value >= 255) {
        out.push_back(255);
        value -= 255;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// The stream compress_block must produce for these bytes.
inline std::vector<int64_t>& empty_table() {
    static std::vector<int64_t> table(65536);  // kept: a fresh one per call would dominate a fuzz run
    std::fill(table.begin(), table.end(), -1);
    return table;
}

inline std::vector<uint8_t> compress(const uint8_t* b, uint32_t n) {
    std::vector<int64_t>& table = empty_table();
    std::vector<uint8_t> out;
    uint64_t a = 0;
    uint64_t p = 0;
    while (p + 4 < n) {
        uint32_t k = key_at(b, p);
        int64_t r = table[k];
        table[k] = static_cast<int64_t>(p);
        if (r < 0 || b[p + 2] != b[r + 2] || b[p + 3] != b[r + 3]) {
            ++p;
            continue;
        }
        put_length(out, p + 2 - a);
        for (uint64_t x = a; x < p + 2; ++x) out.push_back(b[x]);
        uint64_t q = p + 4;
        uint64_t s = static_cast<uint64_t>(r) + 4;
        while (q < n && b[q] == b[s]) ++q, ++s;
        put_length(out, q - (p + 2));
        a = q;
        p = q - 2;
    }
    if (n > a) {
        put_length(out, n - a);
        for (uint64_t x = a; x < n; ++x) out.push_back(b[x]);
    }
    return out;
}

// Reads one length code; false when it runs past the end of the stream.
inline bool get_length(const uint8_t* s, uint64_t z, uint64_t& i, uint64_t& value) {
    value = 0;
    for (;;) {
        if (i >= z) return false;
        uint8_t byte = s[i++];
        value += byte;
        if (byte != 255) return true;
    }
}

// Decodes with the failure rules of decompress_block: -1 for a length or a
// literal run past the stream's end, a match before two bytes exist, a match
// with an empty prediction, a non-empty match predicted from its own context,
// or output beyond `room`. On success `out` holds
// the block.
inline int64_t decompress(const uint8_t* s, uint32_t z, uint32_t room, std::vector<uint8_t>& out) {
    std::vector<int64_t>& table = empty_table();
    out.clear();
    uint64_t i = 0;
    while (i < z) {
        uint64_t literal;
        if (!get_length(s, z, i, literal)) return -1;
        if (literal > z - i || out.size() + literal > room) return -1;
        uint64_t a = out.size();
        for (uint64_t x = 0; x < literal; ++x) out.push_back(s[i++]);
        if (i >= z) break;
        uint64_t o = out.size();
        if (o < 2) return -1;
        for (uint64_t x = a >= 2 ? a - 2 : 0; x + 2 < o; ++x) table[key_at(out.data(), x)] = static_cast<int64_t>(x);
        uint64_t c = o - 2;
        uint32_t k = key_at(out.data(), c);
        int64_t r = table[k];
        table[k] = static_cast<int64_t>(c);
        if (r < 0) return -1;
        uint64_t match;
        if (!get_length(s, z, i, match)) return -1;
        if (o + match > room) return -1;
        // A prediction that is the context itself (after an empty match and an
        // empty literal run) would copy bytes that do not exist yet.
        if (match > 0 && static_cast<uint64_t>(r) == c) return -1;
        for (uint64_t j = 0; j < match; ++j) {
            uint8_t byte = out[static_cast<uint64_t>(r) + 2 + j];  // copied first: push_back may move the storage
            out.push_back(byte);
        }
    }
    return static_cast<int64_t>(out.size());
}

}  // namespace reference
