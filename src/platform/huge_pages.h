// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// The one system call of the codec library, which stands alone: no other
// part of the platform layer comes with it.

#include <cstddef>

// Asks for the `size` bytes at `start` (whole huge pages on a huge-page
// boundary) in transparent huge pages where the system has them. Only advice.
void advise_huge_pages(void* start, size_t size);
