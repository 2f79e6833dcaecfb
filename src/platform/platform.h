#pragma once
// The few operating-system services the program needs, under the names the
// rest of the code calls them by: a millisecond tick counter and a request
// for a higher scheduling priority.

#include <cstdint>

using HANDLE = void*;

inline constexpr uint32_t HIGH_PRIORITY_CLASS = 0x80;

// Milliseconds from a monotonic clock as an unsigned 32-bit count. It never
// goes back, but wraps after 2^32 ms; compare readings by unsigned subtraction.
uint32_t GetTickCount();

// A handle that stands for the running process.
HANDLE GetCurrentProcess();

// Raises the scheduling priority of `process` (a lower nice value) when
// `priority_class` is HIGH_PRIORITY_CLASS. Returns nonzero on success; callers
// may ignore a failure, which leaves the priority as it was.
int SetPriorityClass(HANDLE process, uint32_t priority_class);
