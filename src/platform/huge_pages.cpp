// SPDX-License-Identifier: BSD-2-Clause
#include "huge_pages.h"

#if defined(__linux__)
#include <sys/mman.h>

void advise_huge_pages(void* start, size_t size) { madvise(start, size, MADV_HUGEPAGE); }
#else
// Large pages elsewhere need a privilege that a user rarely holds.
void advise_huge_pages(void*, size_t) {}
#endif
