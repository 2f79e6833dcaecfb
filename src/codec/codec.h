// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// The block codec: one block in memory to a block stream and back.
//
// A block stream is a sequence of steps: a literal length, that many literal
// bytes, then a match length. Lengths are written as runs of 0xFF bytes plus
// one final byte below 0xFF. A match carries no offset: both sides predict its
// source from the most recent visited position whose two-byte context equals
// the two bytes in front of the match. Every call clears that prediction table,
// so each block stream decodes on its own.
//
// Nothing here allocates, performs I/O or keeps state between calls.

#include <cstdint>

// Threads: calls that are given a MatchTable may run at the same time on
// different threads, as long as no two of them share a table (or a
// destination). The calls without one share the process's own table, so
// no two of those may overlap, on any thread.

inline constexpr uint32_t MATCH_TABLE_ENTRIES = 65536 + 1;

// The prediction table of one coder: an entry per two-byte context and one
// spare. Every call clears it first, so a table may be reused from call to
// call and from one direction to the other, and gives the same streams as
// the process's own. 256 KiB: on a huge page of its own, where the system
// offers them, coding runs a few percent faster.
struct MatchTable {
    uint32_t entries[MATCH_TABLE_ENTRIES];
};

// Compresses `size` bytes at `source` into `destination` and returns the length
// of the block stream (0 for an empty block). The destination needs room for
// size + size / 255 + 1 bytes when size > 0. Cannot fail.
int32_t compress_block(const uint8_t* source, uint8_t* destination, uint32_t size);

// Decodes the block stream of `size` bytes at `source` into `destination`,
// which has `room` bytes, and returns the decoded length. Returns -1 for a
// stream that is malformed (a length or literal run past the stream's end, a
// match before two bytes exist, a match whose prediction is empty or not
// behind its context) or that would decode to more than `room` bytes; nothing
// outside either buffer is read or written. Every stream made by
// compress_block decodes.
int32_t decompress_block(const uint8_t* source, uint8_t* destination, uint32_t size, uint32_t room);

// The same two calls with a table of the caller's.
int32_t compress_block(MatchTable* table, const uint8_t* source, uint8_t* destination, uint32_t size);
int32_t decompress_block(MatchTable* table, const uint8_t* source, uint8_t* destination, uint32_t size, uint32_t room);
