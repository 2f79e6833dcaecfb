#pragma once
// The few operating-system services the program needs, under the names the
// rest of the code calls them by: a millisecond tick counter, a request for a
// higher scheduling priority, memory for block buffers, room in a file ahead
// of a write, and a second thread.

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

// Memory for a block buffer of `size` bytes, released with std::free; null
// when there is not enough. A fresh process pays for every page of such a
// buffer on its first touch, so it is asked for in transparent huge pages
// where the system offers them: one fault per 2 MiB instead of per 4 KiB.
void* allocate_block_memory(size_t size);

// The bytes that allocate_block_memory(size) really gives, all usable: from
// 2 MiB on, `size` rounded up to whole huge pages. A buffer that is kept for
// later blocks counts this as its room, so that a slightly longer stream
// does not replace (and fault in anew) a buffer that already holds it.
size_t block_memory_size(size_t size);

// Asks the file system to allocate the `length` bytes from `offset` of
// `file` before they are written, without changing the file's size. Only
// advice, and its failure is ignored (the write that follows reports a full
// disk): where blocks are allocated at write time, a write into new space
// costs more. Measured on ext4: five 8 MiB writes to a new file took
// 8.4-9.8 ms, and 5.3-5.8 ms with this before each.
void reserve_file_space(FILE* file, uint64_t offset, uint64_t length);

// Work handed to a second thread, so that the caller's next step (coding the
// next block) overlaps with it (writing the last one). At most one task per
// BackgroundTask runs at a time, and every started task is waited for with
// finish_background before its data is touched again.
struct BackgroundTask {
    void (*run)(void* argument) = nullptr;
    void* argument = nullptr;
    pthread_t thread{};
    bool on_thread = false;
};

// Starts run(argument). When no thread can be had, it runs to its end here
// before the call returns: the results are the same, only not overlapped.
void start_background(BackgroundTask* task, void (*run)(void* argument), void* argument);

// Waits until the task started last has finished; returns at once when it
// already has, or when none was started.
void finish_background(BackgroundTask* task);
