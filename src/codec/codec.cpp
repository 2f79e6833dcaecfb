// SPDX-License-Identifier: BSD-2-Clause
#include "codec.h"

#include <cstddef>
#include <cstring>

#include "../platform/huge_pages.h"
#include "bytes.h"

namespace {

using zorv_bytes::copy;
using zorv_bytes::first_difference;
using zorv_bytes::load16;
using zorv_bytes::load32;
using zorv_bytes::load64;

constexpr uint32_t KEYS = 65536;
// A slot that no key reaches: the decoder's fixed-length loops store the
// positions past the end of a literal run there, instead of branching on the
// run's length. It is never read.
constexpr uint32_t TRASH = KEYS;

// One entry per two-byte context: the most recent visited position plus one,
// so that 0 means empty and position 0 stays a valid entry. Cleared with one
// memset at the start of every call.
//
// On Linux the process's table has a huge page of its own: on small pages its
// 256 KiB are 64 pages, the whole first-level TLB, and every visited position
// touches it at a key without pattern (text decodes 4% to 7% faster). It costs
// up to 4 MiB of address space; see doc/performance.md, "Match table".
#if defined(__linux__)
constexpr size_t TABLE_PAGE = size_t{1} << 21;
union ProcessTable {
    MatchTable table;
    uint8_t page[TABLE_PAGE];
};
alignas(TABLE_PAGE) ProcessTable match_table;
// Before main, so before any call touches the table; nothing else lives in
// the table's huge page, so nothing touches it earlier.
[[gnu::constructor]] void advise_table() { advise_huge_pages(&match_table, sizeof match_table); }
#else
union ProcessTable {
    MatchTable table;
};
ProcessTable match_table;
#endif
static_assert(MATCH_TABLE_ENTRIES >= KEYS + 1, "room for every key and the trash slot");

void clear_table(uint32_t* table) { std::memset(table, 0, (KEYS + 1) * sizeof(uint32_t)); }

uint8_t* put_long_length(uint8_t* out, uint32_t value) {
    while (value >= 255) {
        *out++ = 255;
        value -= 255;
    }
    *out++ = static_cast<uint8_t>(value);
    return out;
}

inline uint8_t* put_length(uint8_t* out, uint32_t value) {
    if (value < 255) [[likely]] {
        *out = static_cast<uint8_t>(value);
        return out + 1;
    }
    return put_long_length(out, value);
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

// ---- compression ----
//
// Greedy, in one pass. On text the time goes to the visited positions (key
// load, table read and write, load and compare of the predicted pair) and to
// one mispredicted probe per match, which the greedy parse cannot avoid. The
// variants measured and not kept are in doc/performance.md, "Encoder".

// The encoder copies a literal run in 16-byte units, at least one even for an
// empty run, so a copy reads and writes up to 16 bytes past the run's end. A
// run ends at p + 2 for the visited position p: the copy reads at most up to
// p + 17, inside the block when p + ENCODE_MARGIN <= n. The output stays inside
// the room too: everything written before the run takes at most a + a / 255
// bytes for the run's start a (a match of M >= 2 bytes costs at most M - 1
// bytes of length code), the run's L bytes start after its L / 255 + 1 bytes
// of length code, so the copy's last byte is at most
// a + a / 255 + L / 255 + 1 + L + 15 <= p + 18 + n / 255: the last byte of
// the room of n + n / 255 + 1 bytes.
constexpr uint32_t LITERAL_UNIT = 16;
constexpr uint32_t ENCODE_MARGIN = LITERAL_UNIT + 2;

// Visits position p with its key and the pair after it (the two bytes at
// p + 2): reads and replaces the entry of the key and tells whether the
// prediction holds. The pair is compared first: an empty entry (0) reads the
// pair at 1, which is inside every block with a visited position, and is ruled
// out only in the rare case where that pair is equal.
//
// Tagged entries, for data with few matches: the unused top 9 bits of an
// entry (positions stay below 2^23) hold the low 9 bits of the pair after its
// position, so most failing probes need no load from the block. Tags only rule
// out predictions that fail anyway, so the stream is the same in both forms.
// On text they cost 30% (one more unpredictable branch), hence the switch.
constexpr uint32_t TAG_SHIFT = 23;
constexpr uint32_t POSITION_MASK = (1u << TAG_SHIFT) - 1;

template <bool TAGGED>
inline bool probe_with(uint32_t* table, const uint8_t* source, uint32_t p, uint32_t key, uint32_t pair,
                       uint32_t* entry) {
    const uint32_t e = table[key];
    if constexpr (TAGGED) {
        const uint32_t tag = pair << TAG_SHIFT;
        table[key] = (p + 1) | tag;
        const uint32_t at = e & POSITION_MASK;
        *entry = at;
        if ((e ^ tag) >> TAG_SHIFT) [[likely]]
            return false;
        return (load16(source + at + 1) == pair) & (at != 0);
    } else {
        table[key] = p + 1;
        *entry = e;
        return load16(source + e + 1) == pair && e != 0;
    }
}

template <bool TAGGED>
inline bool probe(uint32_t* table, const uint8_t* source, uint32_t p, uint32_t* entry) {
    return probe_with<TAGGED>(table, source, p, load16(source + p), load16(source + p + 2), entry);
}

// Finds the next confirmed prediction from *p on, four positions per round
// while *p < stop, where stop leaves 8 bytes after every position it lets in
// (p + 3 is then a visited position). On success *p is its position.
template <bool TAGGED>
inline bool find_in_rounds(uint32_t* table, const uint8_t* source, uint32_t* position, uint32_t stop, uint32_t* entry) {
    uint32_t p = *position;
    // A round's keys are loaded before its table stores, which for all the
    // compiler knows change the block (else each is loaded twice, as a key and
    // as a pair). The last two keys of a round are the first two of the next.
    uint32_t k0 = load16(source + p);
    uint32_t k1 = load16(source + p + 1);
    bool found = false;
    do {
        const uint8_t* at = source + p;
        const uint32_t k2 = load16(at + 2);
        const uint32_t k3 = load16(at + 3);
        const uint32_t k4 = load16(at + 4);
        const uint32_t k5 = load16(at + 5);
        if (probe_with<TAGGED>(table, source, p, k0, k2, entry)) {
            found = true;
        } else if (probe_with<TAGGED>(table, source, p + 1, k1, k3, entry)) {
            p += 1;
            found = true;
        } else if (probe_with<TAGGED>(table, source, p + 2, k2, k4, entry)) {
            p += 2;
            found = true;
        } else if (probe_with<TAGGED>(table, source, p + 3, k3, k5, entry)) {
            p += 3;
            found = true;
        }
        if (found) break;
        p += 4;
        k0 = k4;
        k1 = k5;
    } while (p < stop);
    *position = p;
    return found;
}

// A block starts with plain entries. When its first SEGMENT positions find
// fewer than TAGGED_BELOW matches it goes on tagged, and back to plain for good
// after a segment with more than PLAIN_ABOVE: text has some 6000 matches per
// segment, random bytes about one, and a switch rewrites all 65536 entries.
// Only the first segment counts: a count in the plain loop cost text 2% to 4%.
constexpr uint32_t SEGMENT = 65536;
constexpr uint32_t TAGGED_BELOW = SEGMENT / 256;
constexpr uint32_t PLAIN_ABOVE = SEGMENT / 64;

// Every entry gets the tag of the pair after its position: the pair at
// entry + 1, inside the block behind the visited positions. Empty entries
// stay 0.
void tag_entries(uint32_t* table, const uint8_t* source) {
    for (uint32_t k = 0; k < KEYS; ++k) {
        const uint32_t e = table[k];
        if (e != 0) table[k] = e | (load16(source + e + 1) << TAG_SHIFT);
    }
}

void untag_entries(uint32_t* table) {
    for (uint32_t k = 0; k < KEYS; ++k) table[k] &= POSITION_MASK;
}

// Where a block's encoding stands when the form of the entries changes.
struct Encoding {
    uint8_t* out;
    uint32_t a;  // start of the pending literal run
    uint32_t p;  // visited position
};

// Writes the step of the match found at p with `entry`: the literal run from
// a, then the match, extended as far as it holds. Returns the match's end.
inline uint32_t put_step(const uint8_t* source, uint32_t n, uint32_t p, uint32_t entry, uint32_t a, uint8_t** at) {
    uint8_t* out = *at;
    uint32_t r = entry - 1;
    uint32_t literal = p + 2 - a;
    out = put_length(out, literal);
    if (n - p >= ENCODE_MARGIN) [[likely]] {
        // One unit even for an empty run: the margin holds for it too.
        uint32_t k = 0;
        do {
            copy<LITERAL_UNIT>(out + k, source + a + k);
            k += LITERAL_UNIT;
        } while (k < literal);
    } else {
        std::memcpy(out, source + a, literal);
    }
    out += literal;
    // Extend 8 bytes at a time; the source lies behind q, so both loads
    // stay inside the block while 8 bytes are left.
    uint32_t q = p + 4;
    uint32_t s = r + 4;
    for (;;) {
        if (n - q < 8) {
            while (q < n && source[q] == source[s]) {
                ++q;
                ++s;
            }
            break;
        }
        uint64_t diff = load64(source + q) ^ load64(source + s);
        if (diff != 0) {
            q += first_difference(diff);
            break;
        }
        q += 8;
        s += 8;
    }
    *at = put_length(out, q - (p + 2));
    return q;
}

// Finds the next match from p on one position at a time, among the last
// positions of the block (up to n - 5), where a round has no 8 bytes left.
template <bool TAGGED>
inline bool find_last(uint32_t* table, const uint8_t* source, uint32_t n, uint32_t* position, uint32_t* entry) {
    const uint32_t last = n > 4 ? n - 4 : 0;
    uint32_t p = *position;
    while (p < last && !probe<TAGGED>(table, source, p, entry)) ++p;
    *position = p;
    return p < last;
}

// Encodes from e->p on until a step ends at or past `stop` (false) or the
// block has no more matches (true; the literal run from e->a on is still to
// be written). Rounds run below `stop`, which is at most n - 7 (8 bytes
// after each position it lets in). *matches counts the matches found.
template <bool TAGGED>
[[gnu::noinline]] bool encode_segment(uint32_t* table, const uint8_t* source, uint32_t n, uint32_t stop, Encoding* e,
                                      uint32_t* matches) {
    uint8_t* out = e->out;
    uint32_t a = e->a;
    uint32_t p = e->p;
    uint32_t found_here = 0;
    bool ended = false;
    while (p < stop || n - p < 8) {
        uint32_t entry = 0;
        bool found = p < stop && find_in_rounds<TAGGED>(table, source, &p, stop, &entry);
        if (!found) {
            if (n - p >= 8) break;  // the segment is over
            if (!find_last<TAGGED>(table, source, n, &p, &entry)) {
                ended = true;
                break;
            }
        }
        ++found_here;
        a = put_step(source, n, p, entry, a, &out);
        p = a - 2;
    }
    *e = Encoding{out, a, p};
    *matches = found_here;
    return ended;
}

// Where the rounds of the segment from p on stop: SEGMENT positions on, or
// where 8 bytes are no longer left after p.
uint32_t segment_stop(uint32_t p, uint32_t n) {
    const uint32_t rounds_end = n >= 8 ? n - 7 : 0;
    return p < rounds_end && rounds_end - p > SEGMENT ? p + SEGMENT : rounds_end;
}

// Encodes with tagged entries, segment by segment, until the block has no
// more matches (true) or a segment has more than PLAIN_ABOVE (false).
bool encode_tagged(uint32_t* table, const uint8_t* source, uint32_t n, Encoding* e) {
    for (;;) {
        uint32_t matches = 0;
        if (encode_segment<true>(table, source, n, segment_stop(e->p, n), e, &matches)) return true;
        if (matches > PLAIN_ABOVE) return false;
    }
}

// Encodes with plain entries from e->p to the end of the block.
inline void encode_plain(uint32_t* table, const uint8_t* source, uint32_t n, Encoding* e) {
    uint8_t* out = e->out;
    uint32_t a = e->a;
    uint32_t p = e->p;
    for (;;) {
        uint32_t entry = 0;
        bool found = false;
        if (n - p >= 8) found = find_in_rounds<false>(table, source, &p, n - 7, &entry);
        if (!found && !find_last<false>(table, source, n, &p, &entry)) break;
        a = put_step(source, n, p, entry, a, &out);
        p = a - 2;
    }
    *e = Encoding{out, a, p};
}

}  // namespace

int32_t compress_block(MatchTable* own, const uint8_t* source, uint8_t* destination, uint32_t size) {
    uint32_t* const table = own->entries;
    clear_table(table);
    const uint32_t n = size;
    Encoding e{destination, 0, 0};
    uint32_t matches = 0;
    bool ended = encode_segment<false>(table, source, n, segment_stop(0, n), &e, &matches);
    // Only blocks whose entries (at most n - 4) fit below the tag take tagged
    // entries; the archive's blocks of 8 MiB do.
    const bool may_tag = n >= 4 && n - 4 <= POSITION_MASK;
    if (!ended && may_tag && matches < TAGGED_BELOW && e.p >= SEGMENT) {
        tag_entries(table, source);
        ended = encode_tagged(table, source, n, &e);
        if (!ended) untag_entries(table);
    }
    if (!ended) encode_plain(table, source, n, &e);
    uint8_t* out = e.out;
    uint32_t tail = n - e.a;
    if (tail > 0) {
        out = put_length(out, tail);
        std::memcpy(out, source + e.a, tail);
        out += tail;
    }
    return static_cast<int32_t>(out - destination);
}

// ---- decompression ----
//
// About 110 instructions per step on text at close to 4 per cycle, some 40% of
// them entering the literal positions into the table, as the format asks at
// every position. The fast step has no branch on the run's length and tests
// its bounds against limits computed once per call. A step whose run is 0 or
// 1 byte waits on a chain the format puts there: the context's entry, the
// match's source, the next context. Fewer instructions did not speed it up;
// 12 cycles of delay on that chain cost 10% to 17%. Variants measured and not
// kept: doc/performance.md, "Decoder".

namespace {

// Appends `length` bytes that start `to - from` bytes behind `to`, with the
// result of a byte-by-byte copy; writes nothing past to + length. Returns false
// for a non-empty match from a source at distance 0, a prediction that is not
// behind its context: only a damaged stream (a match shorter than 2 in the step
// before) predicts the context position itself, whose copy would repeat bytes
// not yet written. An empty match copies nothing and is sound from anywhere.
inline bool copy_match(uint8_t* to, const uint8_t* from, uint32_t length) {
    uint8_t* stop = to + length;
    size_t distance = static_cast<size_t>(to - from);
    if (distance == 0) return length == 0;
    if (distance == 1) {
        std::memset(to, *from, length);
        return true;
    }
    if (distance >= 16) {
        while (stop - to >= 16) {
            copy<16>(to, from);
            to += 16;
            from += 16;
        }
    }
    if (distance >= 8) {
        while (stop - to >= 8) {
            copy<8>(to, from);
            to += 8;
            from += 8;
        }
    }
    while (to < stop) *to++ = *from++;
    return true;
}

enum Step { STEP_MALFORMED = -1, STEP_END = 0, STEP_MORE = 1 };

// One whole step with every bound checked exactly: the first step, long
// literal runs, long matches, and the steps near the end of either buffer.
Step exact_step(uint32_t* table, const uint8_t* s, uint32_t z, uint32_t* pi, uint8_t* out, uint32_t room,
                uint32_t* po) {
    uint32_t i = *pi;
    uint32_t o = *po;
    uint64_t literal;
    if (!get_length(s, z, &i, &literal)) return STEP_MALFORMED;
    if (literal > z - i || literal > room - o) return STEP_MALFORMED;
    const uint8_t* lit = s + i;
    uint32_t a = o;
    std::memcpy(out + o, lit, literal);
    i += static_cast<uint32_t>(literal);
    o += static_cast<uint32_t>(literal);
    if (i >= z) {
        *po = o;
        return STEP_END;
    }
    if (o < 2) return STEP_MALFORMED;
    // Positions max(a - 2, 0) .. o - 3. Those inside the run take their key
    // from the stream, which the copy has not just written.
    uint32_t x = a >= 2 ? a - 2 : 0;
    for (; x < a && x < o - 2; ++x) table[load16(out + x)] = x + 1;
    // Long runs (data with few matches) spend their time here: four
    // positions per round.
    if (x < o - 2) {
        const uint8_t* key_at = lit + (x - a);  // x >= a here
        for (; o - 2 - x >= 4; x += 4, key_at += 4) {
            table[load16(key_at)] = x + 1;
            table[load16(key_at + 1)] = x + 2;
            table[load16(key_at + 2)] = x + 3;
            table[load16(key_at + 3)] = x + 4;
        }
        for (; x < o - 2; ++x, ++key_at) table[load16(key_at)] = x + 1;
    }
    uint32_t c = o - 2;
    uint32_t key = load16(out + c);
    uint32_t entry = table[key];
    table[key] = c + 1;
    if (entry == 0) return STEP_MALFORMED;
    uint64_t match;
    if (!get_length(s, z, &i, &match)) return STEP_MALFORMED;
    if (match > room - o) return STEP_MALFORMED;
    if (!copy_match(out + o, out + entry + 1, static_cast<uint32_t>(match))) return STEP_MALFORMED;
    o += static_cast<uint32_t>(match);
    *pi = i;
    *po = o;
    return STEP_MORE;
}

// The fast step handles a literal run of up to FAST_LITERAL bytes with one
// 16-byte copy and enters its positions with fixed-length code. From the
// stream it reads the run's length code, at most 16 literal bytes (the copy
// and the keys read no further) and the match's one-byte length code: it needs
// STREAM_MARGIN bytes left. Runs of up to 254 bytes take the same path with a
// loop when the margins hold counted from the run's end.
constexpr uint32_t LITERAL_COPY = 16;
constexpr uint32_t FAST_LITERAL = LITERAL_COPY;
constexpr uint32_t STREAM_MARGIN = 1 + FAST_LITERAL + 1;
// A match of up to FAST_MATCH bytes at a distance of 16 or more is one or two
// 16-byte copies (FAST_MATCH bytes of room); at a distance of 8 to 15 and up to
// 16 bytes it is two 8-byte copies.
constexpr uint32_t MATCH_COPY = 16;
constexpr uint32_t FAST_MATCH = 2 * MATCH_COPY;
static_assert(FAST_LITERAL < 255, "a fast literal run has a one-byte length code");
static_assert(STREAM_MARGIN >= 1 + LITERAL_COPY + 1, "the literal copy and the match code stay in the stream");

// The fast step's choices follow the run's length, which varies without a
// pattern, so they are conditional moves, written out on x86-64 because GCC
// turns the plain expressions into branches (on text, branches measured 25%
// slower than masks, masks 10% slower than conditional moves).

// `value` when literal > t, else `other`.
inline uint64_t unless_literal_at_most(uint64_t value, uint32_t literal, uint32_t t, uint64_t other) {
#if defined(__x86_64__) && !defined(ZORV_PORTABLE_CODEC)
    asm("cmp %2, %1\n\tcmovbe %3, %0" : "+r"(value) : "r"(literal), "ri"(t), "r"(other) : "cc");
    return value;
#else
    uint64_t keep = 0 - static_cast<uint64_t>(literal > t);
    return (value & keep) | (other & ~keep);
#endif
}

// `other` when literal == t, else `value`.
inline uint64_t unless_literal_is(uint64_t value, uint32_t literal, uint32_t t, uint64_t other) {
#if defined(__x86_64__) && !defined(ZORV_PORTABLE_CODEC)
    asm("cmp %2, %1\n\tcmove %3, %0" : "+r"(value) : "r"(literal), "ri"(t), "r"(other) : "cc");
    return value;
#else
    uint64_t keep = 0 - static_cast<uint64_t>(literal != t);
    return (value & keep) | (other & ~keep);
#endif
}

// Enters position a - 2 + t with `key` when t < literal, else stores into the
// trash slot. The key is loaded whether it is used or not, so the fixed-length
// loops that call this have no branch on the run's length.
inline void enter_fixed(uint32_t* table, uint64_t key, uint32_t t, uint32_t literal, uint32_t a) {
    table[unless_literal_at_most(key, literal, t, TRASH)] = a - 1 + t;
}

}  // namespace

int32_t decompress_block(MatchTable* own, const uint8_t* source, uint8_t* destination, uint32_t size, uint32_t room) {
    uint32_t* const table = own->entries;
    clear_table(table);
    const uint8_t* s = source;
    uint8_t* out = destination;
    const uint32_t z = size;
    uint32_t i = 0;
    uint32_t o = 0;
    if (z == 0) return 0;
    // The first step starts at position 0, where no context lies in front of
    // the run; after it, at least 2 bytes exist.
    Step first = exact_step(table, s, z, &i, out, room, &o);
    if (first != STEP_MORE) return first == STEP_END ? static_cast<int32_t>(o) : -1;
    // The last positions from which a fast literal copy or a fast match copy
    // stays inside the buffers. A buffer too small for any has its start
    // there, which no step reaches: the first step has read a byte and
    // written two.
    const uint8_t* const stream_end = s + z;
    const uint8_t* const stream_fast = z >= STREAM_MARGIN ? s + (z - STREAM_MARGIN) : s;
    uint8_t* const out_literal_fast = room >= LITERAL_COPY ? out + (room - LITERAL_COPY) : out;
    uint8_t* const out_match_fast = room >= FAST_MATCH ? out + (room - FAST_MATCH) : out;
    const uint8_t* ip = s + i;
    uint8_t* op = out + o;
    // The key of the last two bytes, carried from one step to the next so that
    // it does not wait for the match's stores.
    uint32_t k0 = load16(op - 2);
    for (;;) {
        uint32_t literal;
        uint32_t key;  // of the context, the last two bytes after the run
        const uint32_t a = static_cast<uint32_t>(op - out);
        if (ip <= stream_fast && op <= out_literal_fast && (literal = ip[0]) <= FAST_LITERAL) {
            const uint8_t* lit = ip + 1;
            copy<LITERAL_COPY>(op, lit);
            const uint32_t k1 = (k0 >> 8) | (static_cast<uint32_t>(lit[0]) << 8);
            // Positions a - 2 .. a + literal - 3: the first two keys start in
            // the output before the run, the others lie in the stream.
            enter_fixed(table, k0, 0, literal, a);
            enter_fixed(table, k1, 1, literal, a);
            for (uint32_t t = 2; t < 8; ++t) enter_fixed(table, load16(lit + t - 2), t, literal, a);
            if (literal > 8) {
                for (uint32_t t = 8; t < FAST_LITERAL; ++t) enter_fixed(table, load16(lit + t - 2), t, literal, a);
            }
            key = static_cast<uint32_t>(unless_literal_is(
                unless_literal_is(load16(lit + static_cast<ptrdiff_t>(literal) - 2), literal, 1, k1), literal, 0, k0));
        } else if (ip <= stream_fast && (literal = ip[0]) < 255 && stream_fast - ip >= literal &&
                   op <= out_literal_fast && out_literal_fast - op >= literal) {
            const uint8_t* lit = ip + 1;
            for (uint32_t k = 0; k < literal; k += LITERAL_COPY) copy<LITERAL_COPY>(op + k, lit + k);
            table[k0] = a - 1;
            table[(k0 >> 8) | (static_cast<uint32_t>(lit[0]) << 8)] = a;
            for (uint32_t t = 2; t < literal; ++t) table[load16(lit + t - 2)] = a - 1 + t;
            key = load16(lit + literal - 2);
        } else {
            if (ip >= stream_end) return static_cast<int32_t>(op - out);
            uint32_t at = static_cast<uint32_t>(ip - s);
            uint32_t length = a;
            Step step = exact_step(table, s, z, &at, out, room, &length);
            if (step != STEP_MORE) return step == STEP_END ? static_cast<int32_t>(length) : -1;
            ip = s + at;
            op = out + length;
            k0 = load16(op - 2);
            continue;
        }
        op += literal;
        ip += 1 + literal;
        const uint32_t c = a + literal - 2;
        const uint32_t entry = table[key];
        table[key] = c + 1;
        if (entry == 0) return -1;
        uint64_t match = ip[0];
        if (match < 255) {
            ++ip;
        } else {
            uint32_t at = static_cast<uint32_t>(ip - s);
            if (!get_length(s, z, &at, &match)) return -1;
            ip = s + at;
        }
        const uint8_t* from = out + entry + 1;
        const ptrdiff_t distance = op - from;
        if (match <= FAST_MATCH && distance >= 16 && op <= out_match_fast) {
            // Most matches on text: one 16-byte unit, a second one rarely.
            copy<MATCH_COPY>(op, from);
            if (match > MATCH_COPY) copy<MATCH_COPY>(op + MATCH_COPY, from + MATCH_COPY);
        } else if (match <= 16 && distance >= 8 && op <= out_match_fast) {
            copy<8>(op, from);
            copy<8>(op + 8, from + 8);
        } else {
            if (match > room - static_cast<uint32_t>(op - out)) return -1;
            if (!copy_match(op, from, static_cast<uint32_t>(match))) return -1;
        }
        // Every byte of a match repeats the byte `distance` before it, so its
        // last two bytes are also the source's last two: they are read without
        // waiting for the stores just made.
        k0 = match >= 2 ? load16(from + match - 2) : load16(op + static_cast<ptrdiff_t>(match) - 2);
        op += match;
        // The end of the stream is found at the top: the fast paths need
        // bytes left, the exact step tests for the end first.
    }
}

int32_t compress_block(const uint8_t* source, uint8_t* destination, uint32_t size) {
    return compress_block(&match_table.table, source, destination, size);
}

int32_t decompress_block(const uint8_t* source, uint8_t* destination, uint32_t size, uint32_t room) {
    return decompress_block(&match_table.table, source, destination, size, room);
}
