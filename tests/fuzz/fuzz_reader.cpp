// SPDX-License-Identifier: BSD-2-Clause
// The whole reader on arbitrary bytes: each input is written as an archive
// beside a fresh, empty work folder, and the reader runs with the work folder
// as the current directory, once with one worker, once with several and once
// read in order as from a pipe, each in a folder of its own.
//
// Checked, besides crashes, sanitizer findings, leaks and hangs (libFuzzer's
// -timeout):
// - all runs print the same screen, return the same result and leave the
//   same files with the same bytes (kept parts of failed files included,
//   their random temporary names left out);
// - nothing is created outside the work folder: every open for writing that
//   the program's code makes must name a path that stays inside it (the calls
//   are renamed to this file's checks when the target is built, so an
//   escaping name aborts before anything is created), and afterwards the
//   private folder holds nothing but the archive and the work folder;
// - every file the reader opened is closed again (no descriptor leaks).
//
// Inputs whose data chunks announce more than BLOCK_SIZE restored bytes in
// total are passed over, so that a run costs at most one full block of work;
// chunks announcing more than BLOCK_SIZE each are kept, since the reader must
// refuse those before it allocates anything.
//
// The reader's console output is kept in a file beside the archive. To see it
// for a finding, run the built program on the saved input: zorv -u crash-<hash>. A sanitizer
// report inside the reader leaves the process in the work folder, so give
// libFuzzer an absolute -artifact_prefix (tests/fuzz/run.sh does).

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "archive/archive.h"

namespace {

std::string root;          // private folder: the archive and the work folder
std::string archive_path;  // root/archive.zorv
std::string work;          // root/work, the reader's current directory
std::string screen_path;   // root/screen, what a run prints
int home = -1;             // the fuzzer's own current directory, returned to after every run

// True when `path`, taken relative to the work folder, leaves it.
bool escapes(const char* path) {
    if (path[0] == '/') return true;
    long depth = 0;
    const char* part = path;
    for (;;) {
        const char* end = std::strchr(part, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - part) : std::strlen(part);
        if (length == 2 && part[0] == '.' && part[1] == '.') {
            if (--depth < 0) return true;
        } else if (length > 0 && !(length == 1 && part[0] == '.')) {
            ++depth;
        }
        if (end == nullptr) return false;
        part = end + 1;
    }
}

// Back in the fuzzer's directory first, so that libFuzzer's relative paths
// (the saved input, the corpus) still mean what they meant.
[[noreturn]] void finding() {
    if (fchdir(home) != 0) std::perror("fuzz_reader: fchdir");
    std::abort();
}

void check_creation(const char* path, const char* call) {
    if (escapes(path)) {
        std::fprintf(stderr, "fuzz_reader: %s for writing outside the work folder: \"%s\"\n", call, path);
        finding();
    }
}

// The same for `path` below the folder open as `folder`: its path is read
// back from /proc and must lie inside the work folder too.
void check_creation(int folder, const char* path, const char* call) {
    if (folder == AT_FDCWD || path[0] == '/') return check_creation(path, call);
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", folder);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) {
        std::fprintf(stderr, "fuzz_reader: %s in a folder whose path cannot be read\n", call);
        finding();
    }
    target[length] = 0;
    const std::string inside = std::string(target) + "/";
    if (inside.compare(0, work.size() + 1, work + "/") != 0) {
        std::fprintf(stderr, "fuzz_reader: %s for writing in \"%s\", outside the work folder\n", call, target);
        finding();
    }
    check_creation((inside.substr(work.size() + 1) + path).c_str(), call);
}

bool writes(const char* mode) { return std::strpbrk(mode, "wa+") != nullptr; }
bool writes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0; }

size_t open_descriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

uint32_t le(const uint8_t* bytes, int width) {
    uint32_t value = 0;
    for (int k = width - 1; k >= 0; --k) value = (value << 8) | bytes[k];
    return value;
}

// Follows the chunk walk and adds up the restored sizes that block chunks
// announce, counting only those the reader may legitimately decode.
bool within_budget(const uint8_t* data, size_t length) {
    uint64_t announced = 0;
    for (uint64_t p = 8; p + CHUNK_HEADER_SIZE <= length;) {
        const uint8_t* header = data + p;
        uint32_t extra = le(header + 12, 4);
        if (le(header, 2) == CHUNK_DATA && le(header + 2, 2) == METHOD_BLOCK && extra <= BLOCK_SIZE) {
            announced += extra;
        }
        p += CHUNK_HEADER_SIZE + static_cast<uint64_t>(le(header + 4, 4));
    }
    return announced <= BLOCK_SIZE;
}

struct Run {
    std::string screen;
    int status = 0;
    // Path below the work folder and bytes, sorted, with the 6 random
    // characters of each temporary name as XXXXXX.
    std::vector<std::pair<std::string, std::string>> files;
};

std::string without_temporary_names(std::string text) {
    const std::string prefix = "zorv-partial.";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
        if (at + prefix.size() + 6 <= text.size()) text.replace(at + prefix.size(), 6, "XXXXXX");
    return text;
}

std::string contents(const std::string& path) {
    std::string bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[65536];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, got);
        std::fclose(file);
    }
    return bytes;
}

// One run of the reader in a fresh work folder with at most `cpus` workers;
// the folder is removed afterwards.
Run restore(unsigned cpus, bool in_order = false) {
    if (mkdir(work.c_str(), 0700) != 0 || chdir(work.c_str()) != 0) {
        std::perror("fuzz_reader: entering the work folder");
        std::abort();
    }
    size_t descriptors = open_descriptors();
    std::fflush(stdout);
    int screen = open(screen_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (screen < 0 || dup2(screen, STDOUT_FILENO) < 0) {
        std::perror("fuzz_reader: the screen file");
        std::abort();
    }
    close(screen);

    Run run;
    run.status = extract_command_with(archive_path.c_str(), cpus, in_order);
    std::fflush(stdout);

    if (open_descriptors() != descriptors) {
        std::fprintf(stderr, "fuzz_reader: %zu files open before the run, %zu after\n", descriptors,
                     open_descriptors());
        finding();
    }
    if (fchdir(home) != 0) std::abort();
    run.screen = without_temporary_names(contents(screen_path));
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        std::string name = entry.path().filename().string();
        if (name != "archive.zorv" && name != "work" && name != "screen") {
            std::fprintf(stderr, "fuzz_reader: \"%s\" was created outside the work folder\n", name.c_str());
            finding();
        }
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(work)) {
        if (entry.is_regular_file()) {
            run.files.emplace_back(without_temporary_names(entry.path().lexically_relative(work).string()),
                                   contents(entry.path().string()));
        }
    }
    std::sort(run.files.begin(), run.files.end());
    std::filesystem::remove_all(work);
    return run;
}

void remove_root() {
    std::error_code ignored;
    if (!root.empty()) std::filesystem::remove_all(root, ignored);
}

}  // namespace

extern "C" {

// The program's code calls these in place of the functions that create files
// (see CMakeLists.txt); each checks the path, then makes the real call.

FILE* zorv_watched_fopen(const char* path, const char* mode) {
    if (writes(mode)) check_creation(path, "fopen");
    return fopen(path, mode);
}

FILE* zorv_watched_fopen64(const char* path, const char* mode) {
    if (writes(mode)) check_creation(path, "fopen64");
    return fopen64(path, mode);
}

FILE* zorv_watched_freopen(const char* path, const char* mode, FILE* stream) {
    if (path != nullptr && writes(mode)) check_creation(path, "freopen");
    return freopen(path, mode, stream);
}

mode_t mode_argument(int flags, va_list list) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(list, int)) : 0;
}

int zorv_watched_open(const char* path, int flags, ...) {
    va_list list;
    va_start(list, flags);
    mode_t mode = mode_argument(flags, list);
    va_end(list);
    if (writes(flags)) check_creation(path, "open");
    return open(path, flags, mode);
}

int zorv_watched_open64(const char* path, int flags, ...) {
    va_list list;
    va_start(list, flags);
    mode_t mode = mode_argument(flags, list);
    va_end(list);
    if (writes(flags)) check_creation(path, "open64");
    return open64(path, flags, mode);
}

int zorv_watched_openat(int folder, const char* path, int flags, ...) {
    va_list list;
    va_start(list, flags);
    mode_t mode = mode_argument(flags, list);
    va_end(list);
    if (writes(flags)) check_creation(folder, path, "openat");
    return openat(folder, path, flags, mode);
}

int zorv_watched_creat(const char* path, mode_t mode) {
    check_creation(path, "creat");
    return creat(path, mode);
}

int zorv_watched_mkdir(const char* path, mode_t mode) {
    check_creation(path, "mkdir");
    return mkdir(path, mode);
}

int zorv_watched_mkdirat(int folder, const char* path, mode_t mode) {
    check_creation(folder, path, "mkdirat");
    return mkdirat(folder, path, mode);
}

// A restored file takes its name by one of these.
int zorv_watched_renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags) {
    check_creation(to_folder, to, "renameat2");
    return renameat2(from_folder, from, to_folder, to, flags);
}

int zorv_watched_linkat(int from_folder, const char* from, int to_folder, const char* to, int flags) {
    check_creation(to_folder, to, "linkat");
    return linkat(from_folder, from, to_folder, to, flags);
}
int zorv_watched_renameat(int from_folder, const char* from, int to_folder, const char* to) {
    check_creation(to_folder, to, "renameat");
    return renameat(from_folder, from, to_folder, to);
}
// A failed file's temporary copy is removed by this: only ever inside the work folder.
int zorv_watched_unlinkat(int folder, const char* path, int flags) {
    check_creation(folder, path, "unlinkat");
    return unlinkat(folder, path, flags);
}

int LLVMFuzzerInitialize(int*, char***) {
    // A memory-backed folder when there is one: every run writes and removes files.
    struct stat info;
    std::string base = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0
                           ? "/dev/shm"
                           : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/zorv-fuzz-reader-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("fuzz_reader: mkdtemp");
        std::abort();
    }
    root = std::filesystem::canonical(pattern).string();
    archive_path = root + "/archive.zorv";
    work = root + "/work";
    screen_path = root + "/screen";
    home = open(".", O_RDONLY | O_DIRECTORY);
    if (home < 0) {
        std::perror("fuzz_reader: opening the current directory");
        std::abort();
    }
    std::atexit(remove_root);
    return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    if (!within_budget(data, length)) return 0;
    FILE* archive = std::fopen(archive_path.c_str(), "wb");
    if (archive == nullptr || std::fwrite(data, 1, length, archive) != length || std::fclose(archive) != 0) {
        std::perror("fuzz_reader: writing the archive");
        std::abort();
    }
    const Run one = restore(1);
    const Run several = restore(4);
    const Run in_order = restore(4, true);
    for (const Run* other : {&several, &in_order}) {
        if (one.screen != other->screen || one.status != other->status || one.files != other->files) {
            const char* what = other == &several ? "four workers" : "reading in order";
            std::fprintf(stderr, "fuzz_reader: one worker and %s differ (results %d and %d)\n", what, one.status,
                         other->status);
            std::fprintf(stderr, "one worker printed:\n%s\n%s printed:\n%s\n", one.screen.c_str(), what,
                         other->screen.c_str());
            finding();
        }
    }
    return 0;
}

}  // extern "C"
