#include <cstdio>

#include "archive/archive.h"

int extract_command(const char*) {
    std::printf("Error: not implemented yet\n");
    return -1;
}
