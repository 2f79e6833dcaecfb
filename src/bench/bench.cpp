#include "bench/bench.h"

#include <cstdio>

int benchmark_command(const char*) {
    std::printf("Error: not implemented yet\n");
    return -1;
}
