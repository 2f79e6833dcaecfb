#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdlib>

uint32_t GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

HANDLE GetCurrentProcess() {
    // Only the running process is ever named; the handle carries no data.
    static int self;
    return &self;
}

int SetPriorityClass(HANDLE process, uint32_t priority_class) {
    if (process != GetCurrentProcess() || priority_class != HIGH_PRIORITY_CLASS) return 0;
    // -10 is what "high" means here; without the privilege the call fails and
    // the benchmark simply runs at the normal priority.
    return setpriority(PRIO_PROCESS, 0, -10) == 0 ? 1 : 0;
}

namespace {
constexpr size_t HUGE_PAGE = size_t{2} << 20;
}  // namespace

size_t block_memory_size(size_t size) {
    if (size < HUGE_PAGE || size > SIZE_MAX - HUGE_PAGE) return size;
    return (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
}

void* allocate_block_memory(size_t size) {
    if (size < HUGE_PAGE) return std::malloc(size);
    // Whole huge pages on a huge-page boundary, or the kernel cannot use them.
    if (size > SIZE_MAX - HUGE_PAGE) return nullptr;
    const size_t whole = block_memory_size(size);
    void* memory = std::aligned_alloc(HUGE_PAGE, whole);
    // Only advice: where huge pages are off the buffer works with small ones.
    if (memory != nullptr) madvise(memory, whole, MADV_HUGEPAGE);
    return memory;
}

void reserve_file_space(FILE* file, uint64_t offset, uint64_t length) {
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    // fallocate, not posix_fallocate: where the file system cannot allocate
    // ahead, the latter writes zeros, twice the writing instead of less.
    if (length == 0 || offset > INT64_MAX || length > static_cast<uint64_t>(INT64_MAX) - offset) return;
    (void)fallocate(fileno(file), FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(length));
#else
    (void)file;
    (void)offset;
    (void)length;
#endif
}

namespace {

void* run_task(void* task) {
    auto* t = static_cast<BackgroundTask*>(task);
    t->run(t->argument);
    return nullptr;
}

}  // namespace

void start_background(BackgroundTask* task, void (*run)(void* argument), void* argument) {
    finish_background(task);
    task->run = run;
    task->argument = argument;
    if (pthread_create(&task->thread, nullptr, run_task, task) == 0) {
        task->on_thread = true;
        return;
    }
    // No thread (a process or memory limit): do the work now.
    run(argument);
}

void finish_background(BackgroundTask* task) {
    if (!task->on_thread) return;
    pthread_join(task->thread, nullptr);
    task->on_thread = false;
}
