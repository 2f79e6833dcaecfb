// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// The few operating-system services the program needs, under the names the
// rest of the code calls them by: a millisecond tick counter, a request for a
// higher scheduling priority, memory for block buffers, room in a file ahead
// of a write, safe creation and naming of restored files, the standard
// descriptors, the count of usable CPUs and a pool of threads.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

// The clock and the priority calls are named as on Windows, where they are
// the system's own: there they are declared as its headers declare them, so
// that the two declarations agree wherever both are seen.
#if defined(_WIN32)
using HANDLE = void*;
extern "C" {
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
__declspec(dllimport) HANDLE __stdcall GetCurrentProcess(void);
__declspec(dllimport) int __stdcall SetPriorityClass(HANDLE process, unsigned long priority_class);
}
#ifndef HIGH_PRIORITY_CLASS
#define HIGH_PRIORITY_CLASS 0x80
#endif
#else
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
#endif

// Memory for a block buffer of `size` bytes, released with
// release_block_memory; null
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

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null. Called
// first: a file the program opens later would otherwise take the number of a
// closed standard output and receive the messages among its bytes.
void open_standard_descriptors();

// A closed pipe on standard output makes writes to it fail instead of ending
// the process: messages never stop the work (`zorv -u big.zorv | head`).
void ignore_broken_pipes();

// True when `path` names the open file behind standard output (the same
// device and inode): an archive written there would be mixed with the messages.
bool is_standard_output(const char* path);

// True when anything stands under `path`: a file, folder, link (dangling
// too), FIFO or device. Found without opening it, so a FIFO never blocks.
bool path_exists(const char* path);

// Opens `path` for reading raw bytes; null when it cannot be opened or is a
// folder, which opens for reading here but holds no bytes to read.
FILE* open_input_file(const char* path);

// fopen with a UTF-8 `path` on every system; "x" in `mode` creates the file
// only where nothing stands under the name (errno EEXIST otherwise).
FILE* open_file(const char* path, const char* mode);

// fseeko and ftello in 64 bits everywhere (a long or an off_t has 32 on
// Windows): 0 or the position on success, -1 on failure.
int seek_file(FILE* file, int64_t offset, int whence);
int64_t tell_file(FILE* file);

// True when `file` is a file or a disk: it has a length to seek to, where a
// pipe, a FIFO or a terminal can only be read in order.
bool is_seekable(FILE* file);

// True when both paths name one file (device and inode, or volume and file
// index), whatever path or link leads to it; false when either is missing.
bool same_file(const char* a, const char* b);

// The machine's physical memory in bytes; 0 when it cannot be told.
uint64_t physical_memory();

// Cuts `file` back to its first `length` bytes, after what stdio holds for it.
bool truncate_file(FILE* file, uint64_t length);

// What a Folder holds: a descriptor (POSIX) or a handle (Windows) of the
// system's, or CURRENT_FOLDER for the current directory, which has none.
using FolderHandle = intptr_t;
inline constexpr FolderHandle CURRENT_FOLDER = -100;

// A folder opened for creating files in it: CURRENT_FOLDER for the current
// directory, else a descriptor or handle of its own, closed with the owner.
// On Windows, where files are made by path, the folders on the way to it
// stay open too (`above`), so that none of them is renamed or replaced
// while the path still leads through it.
struct Folder {
    FolderHandle fd = CURRENT_FOLDER;
    std::vector<FolderHandle> above;
    Folder() = default;
    ~Folder();
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
};

enum class FolderState { kOpen, kThroughLink, kFailed };

// Opens the folders of the relative `path` one at a time, following no link,
// into `folder` (closing the folder it held), and points `leaf` at the last
// component. kThroughLink when one of the folders is a symbolic link (on
// Windows also a junction, or a folder whose real name is not the part
// asked for: an 8.3 alias), kFailed when one cannot be opened.
FolderState open_parent_folder(const char* path, Folder* folder, const char** leaf);

enum class NameState { kAbsent, kExists, kFailed };

// What stands under `leaf` in `folder`, found without opening it or following a link.
NameState name_state(const Folder& folder, const char* leaf);

// Room for the name of a temporary file: "zorv-partial." and 6 characters.
inline constexpr size_t TEMPORARY_NAME_SIZE = 20;

// What a new file takes from the file it is made from: the permission bits,
// the modification time and, when the program runs as root, the owner.
// Only a regular file has them to give; any other (a pipe) leaves the new
// file with the bits of any new file (0666 less the umask) and the time of
// its writing.
struct FileAttributes {
    bool carried = false;
    uint32_t mode = 0;
    int64_t modified_seconds = 0;
    int64_t modified_nanoseconds = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
};

FileAttributes file_attributes(FILE* source);

// A file written under a temporary name in a folder until it is finished,
// so that nothing under the real name ever passes for a finished file. It
// is created exclusively, through no link and private (0600); it gets its
// final bits, time and owner on the open file, and takes its name only if
// the temporary name still leads to it. While it exists, SIGINT, SIGTERM
// and SIGHUP remove it before the signal ends the run; one file at a time.
struct PendingFile {
    const Folder* folder = nullptr;
    char name[TEMPORARY_NAME_SIZE] = {};
    FILE* file = nullptr;  // open until finish_pending_file
    uint64_t device = 0;   // of the open file, for the check before naming
    uint64_t inode = 0;
    bool exists = false;  // under `name`, not yet named, kept or removed
};

// Creates `pending` in `folder` under a fresh name of a fixed length that
// says what it is; false when it cannot.
bool create_pending_file(const Folder& folder, PendingFile* pending);

// The bytes written so far, what stdio holds included.
uint64_t pending_file_length(PendingFile* pending);

// Writes out what stdio holds, gives the file `attributes` and closes it.
// False when the flush or the close failed: the file is not whole.
bool finish_pending_file(PendingFile* pending, const FileAttributes& attributes);

enum class Renamed { kDone, kExists, kReplaced, kFailed };

// Gives the finished file the name `to` of its folder: with `replace` in
// place of what stands there (a link is replaced, never written through),
// else never replacing anything (kExists then, and the file stays under its
// temporary name). kReplaced when the temporary name no longer leads to the
// file that was written: nothing is named.
Renamed name_pending_file(PendingFile* pending, const char* to, bool replace);

// Leaves the file under its temporary name, closed; a signal no longer removes it.
void keep_pending_file(PendingFile* pending);

// Closes and removes the file.
void remove_pending_file(PendingFile* pending);

// Opens the folder of the output path the user typed (links followed: the
// user chose them) into `folder` and points `leaf` at the last component.
bool open_output_folder(const char* path, Folder* folder, const char** leaf);

enum class OutputKind { kAbsent, kFolder, kDevice, kOther };

// What stands under the output path, links not followed: a device or FIFO
// is written in place, anything else is replaced by the finished archive.
OutputKind output_kind(const char* path);

// Opens a device or FIFO at `path` for writing in place, through no link.
FILE* open_output_in_place(const char* path);

// Gives back memory from allocate_block_memory or allocate_huge_memory
// (null is fine). Not std::free: on Windows it comes from the system's pages.
void release_block_memory(void* memory);

#if defined(_WIN32)
// Runs program(argc, argv) with the wide arguments of wmain as UTF-8, and
// gives its result as the exit status, 255 for -1 as on Linux.
int run_with_utf8_arguments(int argc, wchar_t** argv, int (*program)(int argc, char** argv));
#endif

// Whether a path may begin with a drive ("C:"), which is no part of a name.
#if defined(_WIN32)
inline constexpr bool DRIVE_PREFIXES = true;
#else
inline constexpr bool DRIVE_PREFIXES = false;
#endif

// True when a stored name may be used as a path below the current directory
// on this system: is_safe_windows_name on Windows, else is_safe_posix_name.
// An empty name passes (no file can be created under it).
bool is_safe_name(const char* name);

// POSIX: it does not begin with '/' and none of its '/'-separated parts is
// "..". A backslash is an ordinary byte of a name there.
bool is_safe_posix_name(const char* name);

// Windows: valid UTF-8; no leading '\' or '/' (both separate); no ':', no
// < > " | ? * and no byte from 1 to 31; no part that ends in '.' or ' ' (so
// no ".."); no part that is a device (CON, PRN, AUX, NUL, COM0-9, LPT0-9 and
// COM or LPT with a superscript 1, 2 or 3, CONIN$, CONOUT$), in any case,
// with an extension or trailing spaces too.
bool is_safe_windows_name(const char* name);

// Owners of what the calls here and the C library hand out: memory from
// allocate_block_memory or allocate_huge_memory, memory from malloc, and
// open files.
struct ReleaseBlockMemory {
    void operator()(void* memory) const { release_block_memory(memory); }
};
using OwnedBytes = std::unique_ptr<uint8_t, ReleaseBlockMemory>;
struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};
using OwnedMemory = std::unique_ptr<uint8_t, FreeMemory>;
struct CloseFile {
    void operator()(FILE* file) const { std::fclose(file); }
};
using OwnedFile = std::unique_ptr<FILE, CloseFile>;

// Memory of whole huge pages of its own, `size` rounded up to them (2 MiB),
// released with release_block_memory; null when there is not enough. For a match table:
// its 256 KiB are read at keys without pattern, and on small pages they are
// as many pages as the first-level TLB holds.
void* allocate_huge_memory(size_t size);

// How many threads may code at once: the CPUs this process may run on (its
// affinity mask, so `taskset -c 0` gives 1), fewer where the CPU quota of its
// control group allows fewer (a container started with a CPU limit). At least 1.
unsigned usable_cpus();

// The CPU quota of the control group that /proc/self/cgroup (at `self`)
// names, below the mount point `root`, as whole CPUs rounded up: the
// smallest quota on the way from that group up to the root (cgroup v2
// cpu.max; v1 cpu.cfs_quota_us under root/cpu). 0 when none is set.
unsigned cgroup_cpu_quota(const char* self, const char* root);

// One job for a WorkerPool: run(argument) on one of its threads. The caller
// owns the job and what it points to until wait_job returns.
struct PoolJob {
    void (*run)(void* argument) = nullptr;
    void* argument = nullptr;
    PoolJob* next = nullptr;  // the pool's queue
    bool done = false;        // under the pool's lock
};

inline constexpr unsigned MAX_POOL_THREADS = 64;

// A started thread of the system's, for join_thread.
using ThreadHandle = uintptr_t;

// Starts a thread with a stack of 1 MiB that runs run(argument); false when
// the system gives none (a process or memory limit), and nothing was started.
bool start_thread(ThreadHandle* thread, void (*run)(void* argument), void* argument);

// Waits for the thread to end and frees what the system held for it.
void join_thread(ThreadHandle thread);

// Threads started once per run, each only when a job finds no idle one, up
// to a limit; jobs start in the order they were handed in. Where no thread
// can be started the job runs on the caller's thread: the run goes on with
// fewer threads, down to none, and its results are the same.
struct WorkerPool {
    std::mutex lock;
    std::condition_variable queued;    // a job or the stop
    std::condition_variable finished;  // a job is done
    PoolJob* head = nullptr;
    PoolJob* tail = nullptr;
    unsigned waiting_jobs = 0;
    unsigned idle = 0;
    unsigned limit = 0;
    unsigned started = 0;
    bool stopping = false;
    ThreadHandle threads[MAX_POOL_THREADS]{};

    explicit WorkerPool(unsigned most);
    ~WorkerPool();  // waits for every job handed in, then ends the threads
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
};

void submit_job(WorkerPool* pool, PoolJob* job, void (*run)(void* argument), void* argument);

// Waits until the job has run.
void wait_job(WorkerPool* pool, PoolJob* job);

// Work whose results must leave in the order it was handed in, as blocks go
// to a file: `work` runs on any thread of the pool and in any order, then
// `finish` runs for each task in the order of handing in, one at a time, on
// the thread that finds the next one ready. So no thread waits for another
// to finish its task, and the finishing is shared out among the workers
// instead of falling to one thread. A finish that returns false stops the
// line: no later finish runs until restart_line.
struct Line;

struct LineTask {
    PoolJob job;
    void (*work)(void* argument) = nullptr;
    bool (*finish)(void* argument) = nullptr;
    void* argument = nullptr;
    Line* line = nullptr;
    // Under the line's lock:
    bool worked = false;
    bool finished = false;
    bool finish_ok = false;
};

// The most tasks of one line in flight at once.
inline constexpr unsigned MAX_LINE_TASKS = MAX_POOL_THREADS + 2;

struct Line {
    std::mutex lock;
    std::condition_variable settled;
    LineTask* ring[MAX_LINE_TASKS] = {};
    uint64_t handed_in = 0;
    uint64_t finished = 0;  // tasks settled in order: the next one to finish
    uint64_t taken = 0;     // tasks given back by take_oldest; the caller's alone
    bool finishing = false;
    bool stopped = false;
};

void submit_in_line(WorkerPool* pool, Line* line, LineTask* task, void (*work)(void* argument),
                    bool (*finish)(void* argument), void* argument);

// What became of the oldest task in flight on the line. With `wait` false,
// kBusy while that is not known yet; otherwise the task is given back and may
// be handed in again: kFinished (its finish returned true), kFailed (false)
// or kPassed (the line had stopped before it: worked, never finished).
enum class LineState { kBusy, kFinished, kFailed, kPassed };
LineState take_oldest(WorkerPool* pool, Line* line, bool wait);

// Tasks of the line handed in and not yet given back.
inline unsigned in_flight(const Line* line) { return static_cast<unsigned>(line->handed_in - line->taken); }

// After a stop, with nothing in flight: the next task is finished again.
void restart_line(Line* line);
