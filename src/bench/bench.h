#pragma once
// zorv -bench: times the block codec on a whole file held in memory.

#include <cstdint>

// Loads the file at `path` as one block and prints the compressed size, the
// ratio and the best of three timed passes per direction. Returns 0 or -1.
int benchmark_command(const char* path);
