#include <cstdio>

#include "archive/archive.h"

int compress_command(bool, const char*, const char*) {
    std::printf("Error: not implemented yet\n");
    return -1;
}
