// SPDX-License-Identifier: BSD-2-Clause
// The platform interface on Linux and other POSIX systems: the tick counter,
// memory, files created and named safely, signals, CPUs and threads.
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>

#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

static_assert(CURRENT_FOLDER == AT_FDCWD, "a Folder's handle is the descriptor openat takes");

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

void* allocate_huge_memory(size_t size) {
    // Whole huge pages on a huge-page boundary, or the kernel cannot use them.
    if (size > SIZE_MAX - HUGE_PAGE) return nullptr;
    const size_t whole = (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    void* memory = std::aligned_alloc(HUGE_PAGE, whole);
    // Only advice: where huge pages are off the buffer works with small ones.
    if (memory != nullptr) madvise(memory, whole, MADV_HUGEPAGE);
    return memory;
}

void release_block_memory(void* memory) { std::free(memory); }

void* allocate_block_memory(size_t size) {
    if (size < HUGE_PAGE) return std::malloc(size);
    return allocate_huge_memory(size);
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

void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open gives the lowest free number, which is this one.
        const int opened = open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) close(opened);
    }
}

void ignore_broken_pipes() { signal(SIGPIPE, SIG_IGN); }

bool is_standard_output(const char* path) {
    struct stat out_stat {};
    struct stat path_stat {};
    if (fstat(STDOUT_FILENO, &out_stat) != 0 || stat(path, &path_stat) != 0) return false;
    return out_stat.st_dev == path_stat.st_dev && out_stat.st_ino == path_stat.st_ino;
}

bool path_exists(const char* path) {
    struct stat info {};
    return lstat(path, &info) == 0;
}

FILE* open_input_file(const char* path) {
    FILE* file = std::fopen(path, "rb");
    struct stat info {};
    if (file != nullptr && (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode))) {
        std::fclose(file);
        file = nullptr;
    }
    return file;
}

bool truncate_file(FILE* file, uint64_t length) {
    return std::fflush(file) == 0 && length <= INT64_MAX && ftruncate(fileno(file), static_cast<off_t>(length)) == 0;
}

Folder::~Folder() {
    if (fd >= 0) close(fd);
}

FolderState open_parent_folder(const char* path, Folder* folder, const char** leaf) {
    if (folder->fd >= 0) close(folder->fd);
    folder->fd = AT_FDCWD;
    std::string part;
    for (const char* start = path;;) {
        const char* end = std::strchr(start, '/');
        if (end == nullptr) {
            *leaf = start;
            return FolderState::kOpen;
        }
        part.assign(start, static_cast<size_t>(end - start));
        start = end + 1;
        // "a//b" names a/b, as the kernel reads it.
        if (part.empty()) continue;
        // O_PATH: a folder that may be searched but not read can still hold
        // the file. O_NOFOLLOW with O_DIRECTORY refuses a link to a folder.
        const int next = openat(folder->fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            struct stat info {};
            const bool link =
                fstatat(folder->fd, part.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
            return link ? FolderState::kThroughLink : FolderState::kFailed;
        }
        if (folder->fd >= 0) close(folder->fd);
        folder->fd = next;
    }
}

NameState name_state(const Folder& folder, const char* leaf) {
    struct stat info {};
    if (fstatat(folder.fd, leaf, &info, AT_SYMLINK_NOFOLLOW) == 0) return NameState::kExists;
    return errno == ENOENT ? NameState::kAbsent : NameState::kFailed;
}

namespace {

// The one temporary file of the run, for the signal handler: set before the
// file exists, armed once it does.
volatile sig_atomic_t pending_armed = 0;
int pending_folder = AT_FDCWD;
char pending_name[TEMPORARY_NAME_SIZE];

// Only async-signal-safe calls: the name goes, then the signal ends the run
// by its default action, so the shell sees the interruption.
void remove_pending_on_signal(int number) {
    if (pending_armed != 0) unlinkat(pending_folder, pending_name, 0);
    signal(number, SIG_DFL);
    raise(number);
}

constexpr int INTERRUPTING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void interrupting_signals(sigset_t* set) {
    sigemptyset(set);
    for (int number : INTERRUPTING_SIGNALS) sigaddset(set, number);
}

void arm_signal_removal(const Folder& folder, const char* name) {
    static bool installed = false;
    if (!installed) {
        installed = true;
        for (int number : INTERRUPTING_SIGNALS) {
            struct sigaction action {};
            // A signal that the shell made us ignore (a background job) stays ignored.
            if (sigaction(number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
            action.sa_handler = remove_pending_on_signal;
            sigemptyset(&action.sa_mask);
            action.sa_flags = 0;
            sigaction(number, &action, nullptr);
        }
    }
    pending_folder = folder.fd;
    std::memcpy(pending_name, name, TEMPORARY_NAME_SIZE);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending_armed = 1;
}

void disarm_signal_removal(PendingFile* pending) {
    pending_armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending->exists = false;
}

mode_t new_file_mode() {
    // The umask can only be read by setting it; once, before any thread writes a file.
    static const mode_t mask = [] {
        const mode_t old = umask(0);
        umask(old);
        return old;
    }();
    return 0666 & ~mask;
}

}  // namespace

FileAttributes file_attributes(FILE* source) {
    FileAttributes attributes;
    struct stat info {};
    if (fstat(fileno(source), &info) != 0 || !S_ISREG(info.st_mode)) return attributes;
    attributes.carried = true;
    attributes.mode = static_cast<uint32_t>(info.st_mode & 0777);
    attributes.modified_seconds = static_cast<int64_t>(info.st_mtim.tv_sec);
    attributes.modified_nanoseconds = static_cast<int64_t>(info.st_mtim.tv_nsec);
    attributes.owner = static_cast<uint32_t>(info.st_uid);
    attributes.group = static_cast<uint32_t>(info.st_gid);
    return attributes;
}

bool create_pending_file(const Folder& folder, PendingFile* pending) {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                    reinterpret_cast<uintptr_t>(pending);
    char* name = pending->name;
    pending->folder = &folder;
    pending->file = nullptr;
    pending->exists = false;
    for (int attempt = 0; attempt < 100; ++attempt) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        std::memcpy(name, "zorv-partial.", 13);
        for (int k = 0; k < 6; ++k) name[13 + k] = digits[(seed >> (16 + 6 * k)) % 36];
        name[19] = '\0';
        // Created and armed with the signals held back: a signal in between
        // would leave the file, or remove another's of the same name. The
        // pool's threads never take them (start_thread).
        sigset_t held;
        sigset_t before;
        interrupting_signals(&held);
        pthread_sigmask(SIG_BLOCK, &held, &before);
        const int fd = openat(folder.fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        const int error = errno;
        if (fd >= 0) arm_signal_removal(folder, name);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        if (fd < 0) {
            if (error == EEXIST) continue;
            return false;
        }
        pending->exists = true;
        struct stat info {};
        pending->file = fstat(fd, &info) == 0 ? fdopen(fd, "wb") : nullptr;
        if (pending->file == nullptr) {
            close(fd);
            remove_pending_file(pending);
            return false;
        }
        pending->device = static_cast<uint64_t>(info.st_dev);
        pending->inode = static_cast<uint64_t>(info.st_ino);
        return true;
    }
    return false;
}

uint64_t pending_file_length(PendingFile* pending) {
    struct stat info {};
    if (pending->file != nullptr) {
        std::fflush(pending->file);
        if (fstat(fileno(pending->file), &info) == 0) return static_cast<uint64_t>(info.st_size);
    } else if (fstatat(pending->folder->fd, pending->name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
        return static_cast<uint64_t>(info.st_size);
    }
    return 0;
}

bool finish_pending_file(PendingFile* pending, const FileAttributes& attributes) {
    FILE* file = pending->file;
    pending->file = nullptr;
    bool whole = std::fflush(file) == 0 && std::ferror(file) == 0;
    const int fd = fileno(file);
    if (whole) {
        if (attributes.carried) {
            // The owner first: a change of owner may clear bits set before it.
            // Only root may give a file away; a failure leaves it ours.
            if (geteuid() == 0 && fchown(fd, attributes.owner, attributes.group) != 0) {
                // Left ours: the owner is carried where it can be, never required.
            }
            (void)fchmod(fd, static_cast<mode_t>(attributes.mode));
            const timespec times[2] = {
                {0, UTIME_NOW},
                {static_cast<time_t>(attributes.modified_seconds), static_cast<long>(attributes.modified_nanoseconds)}};
            (void)futimens(fd, times);
        } else {
            (void)fchmod(fd, new_file_mode());
        }
    }
    if (std::fclose(file) != 0) whole = false;
    return whole;
}

Renamed name_pending_file(PendingFile* pending, const char* to, bool replace) {
    const int folder = pending->folder->fd;
    struct stat info {};
    // Another user who can write to the folder may have put something else
    // under the temporary name meanwhile; that is never given the real name.
    if (fstatat(folder, pending->name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_dev) != pending->device || static_cast<uint64_t>(info.st_ino) != pending->inode) {
        disarm_signal_removal(pending);
        return Renamed::kReplaced;
    }
    Renamed renamed = Renamed::kDone;
    if (replace) {
        // One step: the old file stays whole until the new one stands in its place.
        if (renameat(folder, pending->name, folder, to) != 0) renamed = Renamed::kFailed;
    } else if (renameat2(folder, pending->name, folder, to, RENAME_NOREPLACE) != 0) {
        // The kernel refuses an existing name in the same step as the rename.
        if (errno == EEXIST) {
            renamed = Renamed::kExists;
        } else if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            renamed = Renamed::kFailed;
        } else if (linkat(folder, pending->name, folder, to, 0) != 0) {
            // A file system without it: a new link never replaces a name either.
            renamed = errno == EEXIST ? Renamed::kExists : Renamed::kFailed;
        } else {
            unlinkat(folder, pending->name, 0);
        }
    }
    // Named, or left under the temporary name for the caller to keep or remove.
    if (renamed == Renamed::kDone) disarm_signal_removal(pending);
    return renamed;
}

void keep_pending_file(PendingFile* pending) {
    if (pending->file != nullptr) {
        std::fclose(pending->file);
        pending->file = nullptr;
    }
    disarm_signal_removal(pending);
}

void remove_pending_file(PendingFile* pending) {
    if (pending->file != nullptr) {
        std::fclose(pending->file);
        pending->file = nullptr;
    }
    if (pending->exists) unlinkat(pending->folder->fd, pending->name, 0);
    disarm_signal_removal(pending);
}

bool open_output_folder(const char* path, Folder* folder, const char** leaf) {
    if (folder->fd >= 0) close(folder->fd);
    folder->fd = AT_FDCWD;
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        *leaf = path;
        return true;
    }
    *leaf = slash + 1;
    const std::string part = slash == path ? std::string("/") : std::string(path, static_cast<size_t>(slash - path));
    folder->fd = open(part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return folder->fd >= 0;
}

OutputKind output_kind(const char* path) {
    struct stat info {};
    if (lstat(path, &info) != 0) return OutputKind::kAbsent;
    if (S_ISDIR(info.st_mode)) return OutputKind::kFolder;
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) || S_ISFIFO(info.st_mode)) return OutputKind::kDevice;
    return OutputKind::kOther;
}

FILE* open_output_in_place(const char* path) {
    const int fd = open(path, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) close(fd);
    return file;
}

namespace {

// The codec needs a few KiB of stack; a small stack keeps address space for
// the buffers where it is limited.
constexpr size_t THREAD_STACK = size_t{1} << 20;

struct ThreadStart {
    void (*run)(void* argument);
    void* argument;
};

void* thread_entry(void* argument) {
    const ThreadStart start = *static_cast<ThreadStart*>(argument);
    delete static_cast<ThreadStart*>(argument);
    start.run(start.argument);
    return nullptr;
}

// The first number in `text`, or 0.
uint64_t leading_number(const char* text) { return std::strtoull(text, nullptr, 10); }

bool read_line(const std::string& path, char* line, size_t room) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    const bool got = std::fgets(line, static_cast<int>(room), file) != nullptr;
    std::fclose(file);
    return got;
}

// Whole CPUs that a quota of `quota` per `period` gives, rounded up: 1.5 CPUs
// run two threads faster than one.
unsigned quota_cpus(uint64_t quota, uint64_t period) {
    if (quota == 0 || period == 0) return 0;
    const uint64_t cpus = (quota + period - 1) / period;
    return cpus > MAX_POOL_THREADS ? MAX_POOL_THREADS : static_cast<unsigned>(cpus);
}

unsigned smaller_quota(unsigned a, unsigned b) { return a == 0 ? b : (b == 0 || b > a ? a : b); }

}  // namespace

bool start_thread(ThreadHandle* thread, void (*run)(void* argument), void* argument) {
    auto* start = new (std::nothrow) ThreadStart{run, argument};
    if (start == nullptr) return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setstacksize(&attributes, THREAD_STACK);
    // The thread inherits a mask that holds back the signals that remove
    // the temporary file: they reach the thread that creates and names it.
    sigset_t held;
    sigset_t before;
    interrupting_signals(&held);
    pthread_sigmask(SIG_BLOCK, &held, &before);
    pthread_t id{};
    const bool started = pthread_create(&id, &attributes, thread_entry, start) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attributes);
    if (!started) {
        delete start;
        return false;
    }
    static_assert(sizeof(pthread_t) <= sizeof(ThreadHandle), "a thread id fits the handle");
    *thread = static_cast<ThreadHandle>(id);
    return true;
}

void join_thread(ThreadHandle thread) { pthread_join(static_cast<pthread_t>(thread), nullptr); }

unsigned cgroup_cpu_quota(const char* self, const char* root) {
    FILE* file = std::fopen(self, "r");
    if (file == nullptr) return 0;
    unsigned cpus = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        // "0::/path" for v2; "N:cpu,cpuacct:/path" (or with "cpu" alone) for v1.
        char* first = std::strchr(line, ':');
        char* second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
        if (second == nullptr) continue;
        *second = 0;
        std::string group = second + 1;
        while (!group.empty() && (group.back() == '\n' || group.back() == '/')) group.pop_back();
        const std::string controllers = std::string(",") + (first + 1) + ",";
        const bool v2 = std::strncmp(line, "0:", 2) == 0 && first[1] == 0;
        const bool v1 = controllers.find(",cpu,") != std::string::npos;
        if (!v2 && !v1) continue;
        const std::string base = v2 ? std::string(root) : std::string(root) + "/cpu";
        // From the group up to the mount point: a parent's quota holds for its children.
        for (std::string at = group;; at.resize(at.rfind('/'))) {
            char text[256];
            if (v2 && read_line(base + at + "/cpu.max", text, sizeof text) && std::strncmp(text, "max", 3) != 0) {
                const char* space = std::strchr(text, ' ');
                const uint64_t period = space != nullptr ? leading_number(space + 1) : 0;
                cpus = smaller_quota(cpus, quota_cpus(leading_number(text), period));
            }
            char period_text[256];
            if (v1 && read_line(base + at + "/cpu.cfs_quota_us", text, sizeof text) && text[0] != '-' &&
                read_line(base + at + "/cpu.cfs_period_us", period_text, sizeof period_text)) {
                cpus = smaller_quota(cpus, quota_cpus(leading_number(text), leading_number(period_text)));
            }
            if (at.empty() || at.rfind('/') == std::string::npos) break;
        }
    }
    std::fclose(file);
    return cpus;
}

unsigned usable_cpus() {
    unsigned cpus = 1;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        cpus = static_cast<unsigned>(CPU_COUNT(&set));
    } else {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<unsigned>(online) : 1;
    }
    const unsigned quota = cgroup_cpu_quota("/proc/self/cgroup", "/sys/fs/cgroup");
    if (quota != 0 && quota < cpus) cpus = quota;
    return cpus > 0 ? cpus : 1;
}

FILE* open_file(const char* path, const char* mode) { return std::fopen(path, mode); }

int seek_file(FILE* file, int64_t offset, int whence) {
    static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets");
    return fseeko(file, static_cast<off_t>(offset), whence);
}

int64_t tell_file(FILE* file) { return ftello(file); }

bool is_seekable(FILE* file) {
    struct stat info {};
    return fstat(fileno(file), &info) == 0 && (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
}

bool same_file(const char* a, const char* b) {
    struct stat a_stat {};
    struct stat b_stat {};
    if (stat(a, &a_stat) != 0 || stat(b, &b_stat) != 0) return false;
    return a_stat.st_dev == b_stat.st_dev && a_stat.st_ino == b_stat.st_ino;
}

uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}
