#include "codec.h"

#include <cstring>

namespace {

// One entry per two-byte context: the most recent visited position plus one,
// so that 0 means empty and position 0 stays a valid entry. Cleared with one
// memset at the start of every call.
uint32_t match_table[65536];

inline uint32_t load16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8); }

inline uint8_t* put_length(uint8_t* out, uint32_t value) {
    while (value >= 255) {
        *out++ = 255;
        value -= 255;
    }
    *out++ = static_cast<uint8_t>(value);
    return out;
}

// Reads one length code at s[*i], stopping at the stream's end `z`.
// Returns false when the code runs past the end.
inline bool get_length(const uint8_t* s, uint32_t z, uint32_t* i, uint64_t* value) {
    uint64_t sum = 0;
    for (;;) {
        if (*i >= z) return false;
        uint8_t byte = s[(*i)++];
        sum += byte;
        if (byte != 255) break;
    }
    *value = sum;
    return true;
}

}  // namespace

int32_t compress_block(const uint8_t* source, uint8_t* destination, uint32_t size) {
    std::memset(match_table, 0, sizeof match_table);
    uint8_t* out = destination;
    uint32_t a = 0;  // start of the pending literal run
    uint32_t p = 0;  // visited position
    while (static_cast<uint64_t>(p) + 4 < size) {
        uint32_t key = load16(source + p);
        uint32_t entry = match_table[key];
        match_table[key] = p + 1;
        if (entry == 0 || load16(source + p + 2) != load16(source + entry - 1 + 2)) {
            ++p;
            continue;
        }
        uint32_t r = entry - 1;
        uint32_t literal = p + 2 - a;
        out = put_length(out, literal);
        std::memcpy(out, source + a, literal);
        out += literal;
        uint32_t q = p + 4;
        uint32_t s = r + 4;
        while (q < size && source[q] == source[s]) {
            ++q;
            ++s;
        }
        out = put_length(out, q - (p + 2));
        a = q;
        p = q - 2;
    }
    uint32_t tail = size - a;
    if (tail > 0) {
        out = put_length(out, tail);
        std::memcpy(out, source + a, tail);
        out += tail;
    }
    return static_cast<int32_t>(out - destination);
}

int32_t decompress_block(const uint8_t* source, uint8_t* destination, uint32_t size, uint32_t room) {
    std::memset(match_table, 0, sizeof match_table);
    uint32_t i = 0;
    uint32_t o = 0;
    while (i < size) {
        uint64_t literal;
        if (!get_length(source, size, &i, &literal)) return -1;
        if (literal > size - i || literal > room - o) return -1;
        uint32_t a = o;
        std::memcpy(destination + o, source + i, literal);
        i += static_cast<uint32_t>(literal);
        o += static_cast<uint32_t>(literal);
        if (i >= size) break;
        if (o < 2) return -1;
        for (uint32_t x = a >= 2 ? a - 2 : 0; x < o - 2; ++x) match_table[load16(destination + x)] = x + 1;
        uint32_t c = o - 2;
        uint32_t key = load16(destination + c);
        uint32_t entry = match_table[key];
        match_table[key] = c + 1;
        if (entry == 0) return -1;
        uint64_t match;
        if (!get_length(source, size, &i, &match)) return -1;
        if (match > room - o) return -1;
        // After an empty match and an empty literal run the context has not
        // moved, so its entry is the context itself: the match would copy
        // bytes not yet written (compress_block never makes such a stream).
        if (match > 0 && entry - 1 == c) return -1;
        const uint8_t* from = destination + (entry - 1) + 2;
        uint8_t* to = destination + o;
        for (uint64_t j = 0; j < match; ++j) to[j] = from[j];
        o += static_cast<uint32_t>(match);
    }
    return static_cast<int32_t>(o);
}
