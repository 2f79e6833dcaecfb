// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// zorv -bench: times the block codec on a whole file held in memory.

#include <cstdint>
#include <cstdio>

// Loads the file at `path` as one block and prints the compressed size, the
// ratio and the best of three timed passes per direction. Returns 0 or -1.
int benchmark_command(const char* path);

// The work of benchmark_command on a file it has opened for reading raw bytes:
// takes the length, refuses archives and files of 4 GiB or more, allocates,
// reads and times. `path` only names the file in messages. The caller keeps
// the file and closes it. Returns 0 or -1, having printed the reason.
int benchmark_file(FILE* file, const char* path);

// Bytes of stream buffer for a block of `length` bytes: length * 1.05 taken in
// double precision and truncated, but at least 66. Always at least what
// compress_block needs; above 4 GiB for the longest lengths, hence 64 bits.
uint64_t stream_room(uint32_t length);

// Mbyte/s (1 Mbyte = 1000000 bytes) of a pass that processed `length` bytes
// `calls` times in `elapsed_ms` milliseconds. All three are taken as unsigned
// and the arithmetic is done in double precision.
double pass_speed(uint32_t length, uint32_t calls, uint32_t elapsed_ms);
