// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// Helpers shared by the tests: running the built program, temporary folders,
// reading and writing whole files, and the corpus when it is present.

#if !defined(_WIN32)
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#endif

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace test_util {

#if defined(_WIN32)
// Windows has no resource limits: run_limited and FileSizeLimit say so and
// the tests that need them skip.
using rlim_t = uint64_t;
inline constexpr bool kResourceLimits = false;
#else
inline constexpr bool kResourceLimits = true;
#endif

// The sanitizers reserve address space of their own: tests that limit it
// cannot run under them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Built for another architecture, the tests and the program they start run
// under qemu-user, which ignores address-space limits (it needs the room
// itself): tests that set them cannot run there.
#if defined(ZORV_TEST_EMULATOR)
inline constexpr bool kEmulated = true;
#else
inline constexpr bool kEmulated = false;
#endif

struct RunResult {
    std::string out;  // everything the program wrote to standard output
    std::string err;  // standard error, which must stay empty
    int status;       // exit status 0..255, or -1 when the process did not exit normally
};

#if !defined(_WIN32)
// Replaces the (forked) process with the built zorv and `args`, through the
// emulator where the tests run under one; returns only on failure.
void exec_zorv(const std::vector<std::string>& args);

// Waits for the child `pid`: its exit status 0..255, or 1000 + the signal that ended it.
int wait_for(pid_t pid);
#endif

#if defined(_WIN32)
// A run of the program that goes on beside the test (HANDLE and process id).
struct Started {
    void* process = nullptr;
    unsigned long id = 0;
};

// As a standard handle of start_zorv: none at all, as a closed descriptor.
inline void* const kNoHandle = reinterpret_cast<void*>(-1);

struct StartOptions {
    void* in = nullptr;  // the handles it inherits; nullptr: NUL
    void* out = nullptr;
    void* err = nullptr;
    unsigned long flags = 0;  // CreateProcessW's (CREATE_NEW_PROCESS_GROUP, ...)
    bool one_cpu = false;     // on the first CPU alone from its first instruction
};

// Starts the built zorv with `args` in `cwd` and returns at once;
// `process` is null when it could not start.
Started start_zorv(const std::vector<std::string>& args, const std::string& cwd, const StartOptions& options = {});

// Its exit code, once it has ended (the handle is closed then); -2 when it
// runs on after `milliseconds`, -1 when it never started.
int wait_zorv(Started* run, unsigned long milliseconds = 0xFFFFFFFF);

// Ends it at once with exit code `code`, as SIGKILL does on Linux: nothing
// of the program runs any more.
void end_zorv(const Started& run, unsigned code);

// Delivers the console event `event` (CTRL_C_EVENT, CTRL_BREAK_EVENT) to the
// run as the console does: a thread of its own at kernel32's CtrlRoutine,
// which calls its handlers. GenerateConsoleCtrlEvent needs a console, which
// a run under ctest has not (wine refuses it with ERROR_INVALID_ACCESS, and
// AllocConsole fails there). False when no thread could be started.
bool interrupt_zorv(const Started& run, unsigned event);

// The exit code of a run that a console event ended (STATUS_CONTROL_C_EXIT).
inline constexpr int kInterrupted = static_cast<int>(0xC000013Au);

// A named pipe that the program opens by name (\\.\pipe\...), as it would
// a FIFO on Linux; the test holds the server's ends, `instances` of them
// (a program that opens the name to ask about it first uses one up).
class NamedPipe {
public:
    NamedPipe(bool to_program, int instances = 1);
    ~NamedPipe();
    NamedPipe(const NamedPipe&) = delete;
    NamedPipe& operator=(const NamedPipe&) = delete;
    const std::string& name() const { return name_; }
    // Waits until the program has opened end `k`; false for one it closed again.
    bool connect(int k = 0);
    // The whole of `bytes` into end `k`, which connects first.
    bool send(const std::vector<uint8_t>& bytes, size_t from, size_t to, int k = 0);
    // What end `k` gives, up to `count` bytes in all; fewer once the program closes it.
    size_t take(uint8_t* into, size_t count, int k = 0);
    void close();

private:
    std::string name_;
    std::vector<void*> ends_;
    std::vector<bool> connected_;
};
#endif

// The same program as words for /bin/sh, each quoted.
std::string zorv_shell_command();

// Runs the built zorv with `args` in the working directory `cwd` (empty: the
// test's own), with no standard input.
RunResult run_zorv(const std::vector<std::string>& args, const std::string& cwd = "");

// A fresh, empty folder under the system's temporary folder, removed with all
// its contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Like run_zorv, with one resource limit set in the child. SIGXFSZ is ignored
// so that a write past RLIMIT_FSIZE fails instead of killing it. On Windows
// it runs nothing and fails with status -1.
RunResult run_limited(const std::vector<std::string>& args, const std::string& cwd, int resource, rlim_t limit);

// Paths are UTF-8 on every system, as run_zorv passes them to the program.
std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);

// The corpus folder, or "" when it is absent (tests using it skip).
std::string corpus_dir();
// All regular files below the corpus folder, sorted; empty when absent.
std::vector<std::string> corpus_files();

// Deterministic pseudo-random bytes.
std::vector<uint8_t> random_bytes(size_t count, uint32_t seed);

std::vector<uint8_t> bytes_of(const std::string& text);

// `text` with the 6 random characters of each temporary name
// ("zorv-partial.XXXXXX") replaced by "XXXXXX", so that runs compare.
std::string without_temporary_names(std::string text);

// The names in `dir` that are temporary files ("zorv-partial." and 6 more).
std::vector<std::string> temporary_files(const std::string& dir);

// The kept parts that a restore's screen announces ("Kept the restored part
// of NAME as PATH."): PATH to NAME.
std::map<std::string, std::string> kept_parts(const std::string& screen);

// While it lives, files the program writes cannot grow past `bytes`: writes
// beyond fail with EFBIG, as on a disk that is full at that point. SIGXFSZ,
// which would kill the program instead, is ignored (the program inherits both).
// Never active on Windows.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return active_; }

private:
#if !defined(_WIN32)
    rlimit saved_{};
    sighandler_t saved_handler_ = SIG_DFL;
#endif
    bool active_ = false;
};

// The file `path` of the Linux host: under wine, whose drive Z: is the
// host's root, "Z:" + path, so that the kernel's files (/dev/full, /proc)
// can be tried there too; `path` itself elsewhere. Tests look before use.
std::string host_file(const std::string& path);

#if defined(_WIN32)
// Windows has no file size limit: its form of a full disk is a file system
// of its own, small enough to fill, at the folder ZORV_TEST_SMALL_DISK
// names (`make test-windows` mounts one of 1 MiB when it may, as root).
// One test at a time holds it, emptied, while the object lives.
class SmallDisk {
public:
    SmallDisk();
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    // "" when there is none: the test skips with missing().
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    static const char* missing();
    // Fills it to the last byte, so that every later write there fails;
    // false when it cannot, or when it is no small disk (over 64 MiB free).
    bool fill();

private:
    std::string path_;
    void* lock_ = nullptr;
};
#endif

// Runs `command` in this process with `cwd` as the current directory and
// returns what it printed to standard output; *status gets its result.
std::string capture_output(const std::string& cwd, const std::function<int()>& command, int* status);

}  // namespace test_util
