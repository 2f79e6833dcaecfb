// SPDX-License-Identifier: BSD-2-Clause
// Files that pass for finished ones only when they are: the bits, time and
// owner of the source travel; -f replaces what stands at the name instead
// of writing through it; an interrupted pack leaves no output and the old
// archive whole; the screen moves while the work goes on; typed names are
// printed masked. Each fault lives in the process, so each case runs it.

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "platform/platform.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::TempDir;
using Bytes = std::vector<uint8_t>;

#if defined(_WIN32)
// What Windows keeps of a file's mode and time: the read-only attribute and
// the modification time in 100-ns ticks since 1601.
struct WindowsInfo {
    bool read_only = false;
    uint64_t modified = 0;
};

WindowsInfo info_of(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_NE(GetFileAttributesExW(fs::path(path).c_str(), GetFileExInfoStandard, &data), 0) << path;
    return {(data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0,
            (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime};
}

// Reads the pipe `from` until `text` has arrived; false after 20 s without it
// or once the writer has gone.
bool arrives(HANDLE from, std::string* seen, const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen->find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until) return false;
        DWORD ready = 0;
        if (!PeekNamedPipe(from, nullptr, 0, nullptr, &ready, nullptr)) return false;
        if (ready == 0) {
            Sleep(10);
            continue;
        }
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(from, buffer, std::min<DWORD>(ready, sizeof buffer), &got, nullptr) || got == 0) return false;
        seen->append(buffer, got);
    }
    return true;
}

// A pipe whose read end stays here; the write end is inherited.
void screen_pipe(HANDLE* read, HANDLE* write, DWORD size = 0) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    ASSERT_TRUE(CreatePipe(read, write, &inherit, size));
    SetHandleInformation(*read, HANDLE_FLAG_INHERIT, 0);
}
#else
struct stat stat_of(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

// Starts the program in `cwd` with standard output on `out_fd`, standard
// input on `in_fd` (-1: /dev/null) and standard error on /dev/null, on the
// first CPU alone with `one_cpu`.
pid_t spawn(const std::vector<std::string>& args, const std::string& cwd, int out_fd, bool one_cpu = false,
            int in_fd = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(cwd.c_str()) != 0) _exit(127);
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    if (one_cpu && sched_setaffinity(0, sizeof first, &first) != 0) _exit(127);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(in_fd >= 0 ? in_fd : null_fd, 0);
    dup2(null_fd, 2);
    dup2(out_fd, 1);
    test_util::exec_zorv(args);
    _exit(127);
}

using test_util::wait_for;
#endif

#if !defined(_WIN32)
// Reads `fd` until `text` has arrived; false after 20 s without it.
bool arrives(int fd, std::string* seen, const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen->find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > until) return false;
        pollfd wanted{fd, POLLIN, 0};
        if (poll(&wanted, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) return false;
        seen->append(buffer, static_cast<size_t>(got));
    }
    return true;
}
#endif

// `input` as in.bin in `dir`, and its archive.
Bytes packed(const TempDir& dir, const Bytes& input) {
    test_util::write_file(dir.file("in.bin"), input);
    EXPECT_EQ(test_util::run_zorv({"in.bin", "in.zorv"}, dir.path()).status, 0);
    return test_util::read_file(dir.file("in.zorv"));
}

// Where the first data chunk of an archive of in.bin ends.
size_t first_chunk_end(const Bytes& archive) {
    const size_t first = sizeof ARCHIVE_MAGIC + 33;
    return first + CHUNK_HEADER_SIZE + load_le32(archive.data() + first + 4);
}

// What an interrupted pack into out.zorv of `run` leaves: the temporary
// file found while it ran only when it was killed outright, and the old
// archive of a forced pack as it was, else no archive.
void expect_interrupted_pack_left(const TempDir& run, const std::vector<std::string>& temporaries, bool killed,
                                  bool force) {
    EXPECT_EQ(test_util::temporary_files(run.path()), killed ? temporaries : std::vector<std::string>{});
    if (force) {
        EXPECT_EQ(test_util::read_file(run.file("out.zorv")), test_util::bytes_of("old archive"));
    } else {
        EXPECT_FALSE(test_util::file_exists(run.file("out.zorv")));
    }
}

struct ModeCase {
    mode_t mode;
    bool other_owner;  // the input belongs to another user (root only)
};

class CarefulAttributes : public ::testing::TestWithParam<ModeCase> {};

// Packed and restored, a file keeps its bits and time, and under root its
// owner; an archive from a pipe gives what any new file gets.
TEST_P(CarefulAttributes, TravelBothWays) {
    const ModeCase& c = GetParam();
#if defined(_WIN32)
    // The system keeps one bit of the mode, read-only, and the time in 100-ns ticks.
    if (c.other_owner) GTEST_SKIP() << "no POSIX owner to give a file to on Windows";
    const bool read_only = (c.mode & 0200) == 0;
    TempDir dir;
    test_util::write_file(dir.file("in.txt"), std::string(1000, 'k'));
    const uint64_t ticks = (uint64_t{1577934245} + 11644473600u) * 10000000u + 1234567;  // 2020-01-02
    {
        const HANDLE file = CreateFileW(fs::path(dir.file("in.txt")).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
        CloseHandle(file);
    }
    if (read_only) {
        ASSERT_TRUE(SetFileAttributesW(fs::path(dir.file("in.txt")).c_str(), FILE_ATTRIBUTE_READONLY));
    }
    ASSERT_EQ(test_util::run_zorv({"in.txt", "in.zorv"}, dir.path()).status, 0);
    fs::rename(dir.file("in.txt"), dir.file("original.txt"));
    ASSERT_EQ(test_util::run_zorv({"-u", "in.zorv"}, dir.path()).status, 0);
    for (const std::string name : {"in.zorv", "in.txt"}) {
        SCOPED_TRACE(name);
        const WindowsInfo info = info_of(dir.file(name));
        EXPECT_EQ(info.read_only, read_only);
        EXPECT_EQ(info.modified, ticks);
    }

    // An archive from a pipe carries nothing to a file: it is writable and new.
    SetFileAttributesW(fs::path(dir.file("in.txt")).c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove(dir.file("in.txt"));
    test_util::NamedPipe pipe(true);
    test_util::Started run = test_util::start_zorv({"-u", pipe.name()}, dir.path());
    const Bytes archive = test_util::read_file(dir.file("in.zorv"));
    EXPECT_TRUE(pipe.send(archive, 0, archive.size()));
    pipe.close();
    ASSERT_EQ(test_util::wait_zorv(&run), 0);
    const WindowsInfo piped = info_of(dir.file("in.txt"));
    EXPECT_FALSE(piped.read_only);
    EXPECT_GT(piped.modified, ticks);
#else
    if (c.other_owner && geteuid() != 0) GTEST_SKIP() << "only root can give a file away";
    TempDir dir;
    test_util::write_file(dir.file("in.txt"), std::string(1000, 'k'));
    ASSERT_EQ(chmod(dir.file("in.txt").c_str(), c.mode), 0);
    const timespec times[2] = {{1577934245, 0}, {1577934245, 123456789}};  // 2020-01-02
    ASSERT_EQ(utimensat(AT_FDCWD, dir.file("in.txt").c_str(), times, 0), 0);
    if (c.other_owner) {
        ASSERT_EQ(chown(dir.file("in.txt").c_str(), 1234, 5678), 0);
    }
    ASSERT_EQ(test_util::run_zorv({"in.txt", "in.zorv"}, dir.path()).status, 0);
    fs::rename(dir.file("in.txt"), dir.file("original.txt"));
    ASSERT_EQ(test_util::run_zorv({"-u", "in.zorv"}, dir.path()).status, 0);
    for (const std::string name : {"in.zorv", "in.txt"}) {
        SCOPED_TRACE(name);
        const struct stat info = stat_of(dir.file(name));
        EXPECT_EQ(info.st_mode & 07777, c.mode);
        EXPECT_EQ(info.st_mtim.tv_sec, times[1].tv_sec);
        EXPECT_EQ(info.st_mtim.tv_nsec, times[1].tv_nsec);
        EXPECT_EQ(info.st_uid, c.other_owner ? 1234u : geteuid());
        EXPECT_EQ(info.st_gid, c.other_owner ? 5678u : stat_of(dir.file("original.txt")).st_gid);
    }

    fs::remove(dir.file("in.txt"));
    const std::string command =
        "cd '" + dir.path() + "' && cat in.zorv | " + test_util::zorv_shell_command() + " -u /dev/stdin >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const mode_t mask = umask(0);
    umask(mask);
    const struct stat piped = stat_of(dir.file("in.txt"));
    EXPECT_EQ(piped.st_mode & 07777, 0666 & ~mask);
    EXPECT_GT(piped.st_mtim.tv_sec, times[1].tv_sec);
#endif
}

INSTANTIATE_TEST_SUITE_P(Modes, CarefulAttributes,
                         ::testing::Values(ModeCase{0600, false}, ModeCase{0640, false}, ModeCase{0444, false},
                                           ModeCase{0751, true}));

// -f puts a new file at the name: a link there is replaced, its target and
// a hard link's other name keep their bytes; a device is written in place
// and keeps its mode, owner and times.
TEST(Careful, ForceReplacesWhatStandsAtTheName) {
    TempDir dir;
    test_util::write_file(dir.file("in.txt"), std::string("data"));
    ASSERT_EQ(test_util::run_zorv({"in.txt", "fresh.zorv"}, dir.path()).status, 0);
    const Bytes archive = test_util::read_file(dir.file("fresh.zorv"));
#if defined(_WIN32)
    // A hard link through CreateHardLinkW, and NUL as the device.
    test_util::write_file(dir.file("other"), std::string("shared"));
    ASSERT_TRUE(CreateHardLinkW(fs::path(dir.file("hard.zorv")).c_str(), fs::path(dir.file("other")).c_str(), nullptr));
    EXPECT_EQ(test_util::run_zorv({"-f", "in.txt", "hard.zorv"}, dir.path()).status, 0);
    EXPECT_TRUE(test_util::read_file(dir.file("hard.zorv")) == archive);
    EXPECT_EQ(test_util::read_file(dir.file("other")), test_util::bytes_of("shared"));
    const auto r = test_util::run_zorv({"-f", "in.txt", "NUL"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(test_util::file_exists(dir.file("NUL")));
    EXPECT_TRUE(test_util::temporary_files(dir.path()).empty());
    // Wine's CreateSymbolicLinkW reports success and makes nothing.
    const bool linked = CreateSymbolicLinkW(fs::path(dir.file("link.zorv")).c_str(), L"private",
                                            SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
                        test_util::file_exists(dir.file("link.zorv"));
    if (!linked) {
        GTEST_SKIP() << "the link row: no symbolic link could be made here (wine makes none; Windows needs a "
                        "privilege); the hard link and NUL rows ran";
    }
    test_util::write_file(dir.file("private"), std::string("secret"));
    EXPECT_EQ(test_util::run_zorv({"-f", "in.txt", "link.zorv"}, dir.path()).status, 0);
    EXPECT_FALSE(fs::is_symlink(dir.file("link.zorv")));
    EXPECT_TRUE(test_util::read_file(dir.file("link.zorv")) == archive);
    EXPECT_EQ(test_util::read_file(dir.file("private")), test_util::bytes_of("secret"));
#else
    test_util::write_file(dir.file("private"), std::string("secret"));
    fs::create_symlink("private", dir.file("link.zorv"));
    test_util::write_file(dir.file("other"), std::string("shared"));
    fs::create_hard_link(dir.file("other"), dir.file("hard.zorv"));
    for (const std::string name : {"link.zorv", "hard.zorv"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(test_util::run_zorv({"-f", "in.txt", name}, dir.path()).status, 0);
        EXPECT_FALSE(fs::is_symlink(dir.file(name)));
        EXPECT_TRUE(test_util::read_file(dir.file(name)) == archive);
    }
    EXPECT_EQ(test_util::read_file(dir.file("private")), test_util::bytes_of("secret"));
    EXPECT_EQ(test_util::read_file(dir.file("other")), test_util::bytes_of("shared"));

    const struct stat before = stat_of("/dev/null");
    EXPECT_EQ(test_util::run_zorv({"-f", "in.txt", "/dev/null"}, dir.path()).status, 0);
    const struct stat after = stat_of("/dev/null");
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_TRUE(test_util::temporary_files(dir.path()).empty());
#endif
}

// Two forced packs to one name at once: each archive is whole while it is
// written, so the name ends with one of them, never a mix.
TEST(Careful, RacingForcedPacksLeaveOneWholeArchive) {
    TempDir dir;
    const Bytes first = test_util::random_bytes(3 * size_t{BLOCK_SIZE}, 3);
    Bytes second = first;
    for (size_t k = 0; k < second.size(); k += 7) second[k] = 'z';
    test_util::write_file(dir.file("a.bin"), first);
    test_util::write_file(dir.file("b.bin"), second);
    ASSERT_EQ(test_util::run_zorv({"a.bin", "a.zorv"}, dir.path()).status, 0);
    ASSERT_EQ(test_util::run_zorv({"b.bin", "b.zorv"}, dir.path()).status, 0);
    // The stored names differ: a.bin and b.bin.
#if defined(_WIN32)
    test_util::Started one = test_util::start_zorv({"-f", "a.bin", "out.zorv"}, dir.path());
    test_util::Started two = test_util::start_zorv({"-f", "b.bin", "out.zorv"}, dir.path());
    EXPECT_EQ(test_util::wait_zorv(&one), 0);
    EXPECT_EQ(test_util::wait_zorv(&two), 0);
#else
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t one = spawn({"-f", "a.bin", "out.zorv"}, dir.path(), null_fd);
    const pid_t two = spawn({"-f", "b.bin", "out.zorv"}, dir.path(), null_fd);
    close(null_fd);
    EXPECT_EQ(wait_for(one), 0);
    EXPECT_EQ(wait_for(two), 0);
#endif
    const Bytes out = test_util::read_file(dir.file("out.zorv"));
    EXPECT_TRUE(out == test_util::read_file(dir.file("a.zorv")) || out == test_util::read_file(dir.file("b.zorv")));
    EXPECT_TRUE(test_util::temporary_files(dir.path()).empty());
}

// The archive goes into a FIFO that the test reads. On one CPU the line of
// block 1 is due once chunk 1 is written, and it must reach the screen
// while the run waits for chunk 2 to be read. An interrupt then removes the
// temporary file of a pack to a file name, and a forced one leaves the old
// archive as it was.
TEST(Careful, ScreenMovesAndInterruptedPacksLeaveNothing) {
    TempDir dir;
    const Bytes input = test_util::random_bytes(3 * size_t{BLOCK_SIZE}, 5);
    const Bytes archive = packed(dir, input);
    const size_t second_chunk = first_chunk_end(archive);
#if defined(_WIN32)
    // A named pipe for the FIFO. The program opens the name to ask about it
    // before it writes there: each open takes one end, and the archive comes
    // through the first end that gives anything.
    constexpr int kEnds = 8;
    test_util::NamedPipe fifo(false, kEnds);
    HANDLE screen_read, screen_write;
    screen_pipe(&screen_read, &screen_write);
    test_util::StartOptions options;
    options.out = screen_write;
    options.one_cpu = true;
    test_util::Started pid = test_util::start_zorv({"-f", "in.bin", fifo.name()}, dir.path(), options);
    CloseHandle(screen_write);
    ASSERT_NE(pid.process, nullptr);
    Bytes got(archive.size());
    size_t at = 0;
    int end = 0;
    auto take = [&](size_t until) {
        while (at < until && end < kEnds) {
            const size_t came = fifo.take(got.data() + at, until - at, end);
            at += came;
            if (at < until) ++end;
        }
    };
    take(second_chunk + CHUNK_HEADER_SIZE + load_le32(archive.data() + second_chunk + 4));
    std::string seen;
    EXPECT_TRUE(arrives(screen_read, &seen, "Progress [33%]")) << seen;
    take(archive.size());
    fifo.close();
    EXPECT_EQ(test_util::wait_zorv(&pid), 0);
    CloseHandle(screen_read);
    EXPECT_TRUE(got == archive);

    // The same pack to a file, stopped where its first progress line is due:
    // the screen is a pipe that is full, and that write waits. A console
    // event removes the temporary file, TerminateProcess (as SIGKILL) leaves it.
    constexpr unsigned kTerminate = 137;
    for (unsigned way : {unsigned{CTRL_C_EVENT}, unsigned{CTRL_BREAK_EVENT}, kTerminate}) {
        for (bool force : {false, true}) {
            SCOPED_TRACE(std::to_string(way) + (force ? " -f" : ""));
            TempDir run;
            test_util::write_file(run.file("in.bin"), input);
            if (force) test_util::write_file(run.file("out.zorv"), std::string("old archive"));
            HANDLE full_read, full_write;
            screen_pipe(&full_read, &full_write, 4096);
            // Room for the banner (one write, "ZORV (Mmm dd yyyy) by the ZORV developers\n") and no
            // more; the C runtime here writes each line before the file is made at once, so with -f
            // also for "file out.zorv is overwritten.\n".
            const std::string filler(4096 - 42 - (force ? 30 : 0), '.');
            DWORD put = 0;
            ASSERT_TRUE(WriteFile(full_write, filler.data(), static_cast<DWORD>(filler.size()), &put, nullptr));
            ASSERT_EQ(put, filler.size());
            std::vector<std::string> args = {"in.bin", "out.zorv"};
            if (force) args.insert(args.begin(), "-f");
            test_util::StartOptions full;
            full.out = full_write;
            test_util::Started packer = test_util::start_zorv(args, run.path(), full);
            CloseHandle(full_write);
            std::vector<std::string> temporaries;
            for (int k = 0; k < 2000 && temporaries.empty(); ++k) {
                temporaries = test_util::temporary_files(run.path());
                if (temporaries.empty()) Sleep(10);
            }
            EXPECT_EQ(temporaries.size(), 1u);
            if (way == kTerminate) {
                test_util::end_zorv(packer, kTerminate);
            } else {
                EXPECT_TRUE(test_util::interrupt_zorv(packer, way));
            }
            EXPECT_EQ(test_util::wait_zorv(&packer, 20000),
                      way == kTerminate ? int{kTerminate} : test_util::kInterrupted);
            CloseHandle(full_read);
            expect_interrupted_pack_left(run, temporaries, way == kTerminate, force);
            if (packer.process != nullptr) test_util::end_zorv(packer, 1);
        }
    }
    // Before any file is made, as while a restore waits for its archive, an
    // interrupt ends the run the same way: never with the status of success.
    TempDir waiting;
    test_util::NamedPipe feed(true);
    test_util::Started restorer = test_util::start_zorv({"-u", feed.name()}, waiting.path());
    ASSERT_TRUE(feed.send(archive, 0, 8));
    EXPECT_TRUE(test_util::interrupt_zorv(restorer, CTRL_C_EVENT));
    EXPECT_EQ(test_util::wait_zorv(&restorer, 20000), test_util::kInterrupted);
    if (restorer.process != nullptr) test_util::end_zorv(restorer, 1);
#else

    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    int screen[2];
    ASSERT_EQ(pipe2(screen, O_CLOEXEC), 0);
    const pid_t pid = spawn({"-f", "in.bin", "fifo"}, dir.path(), screen[1], true);
    close(screen[1]);
    const int fifo = open(dir.file("fifo").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    Bytes got(archive.size());
    size_t at = 0;
    auto take = [&](size_t until) {
        for (ssize_t n; at < until && (n = read(fifo, got.data() + at, until - at)) > 0;) at += static_cast<size_t>(n);
    };
    take(second_chunk + CHUNK_HEADER_SIZE + load_le32(archive.data() + second_chunk + 4));
    std::string seen;
    EXPECT_TRUE(arrives(screen[0], &seen, "Progress [33%]")) << seen;
    take(archive.size());
    close(fifo);
    EXPECT_EQ(wait_for(pid), 0);
    close(screen[0]);
    EXPECT_TRUE(got == archive);

    // The same pack to a file, stopped where its first progress line is due:
    // the screen is a pipe that is full, and that write waits.
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        for (bool force : {false, true}) {
            SCOPED_TRACE(std::to_string(number) + (force ? " -f" : ""));
            TempDir run;
            test_util::write_file(run.file("in.bin"), input);
            if (force) test_util::write_file(run.file("out.zorv"), std::string("old archive"));
            int full[2];
            ASSERT_EQ(pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
            const int room = fcntl(full[1], F_SETPIPE_SZ, 4096);
            ASSERT_GT(room, 0);
            // Room for the banner (one write, "ZORV (Mmm dd yyyy) by the ZORV developers\n") and no more.
            const std::string filler(static_cast<size_t>(room) - 42, '.');
            ASSERT_EQ(write(full[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
            fcntl(full[1], F_SETFL, 0);
            std::vector<std::string> args = {"in.bin", "out.zorv"};
            if (force) args.insert(args.begin(), "-f");
            const pid_t packer = spawn(args, run.path(), full[1]);
            close(full[1]);
            std::vector<std::string> temporaries;
            for (int k = 0; k < 2000 && temporaries.empty(); ++k) {
                temporaries = test_util::temporary_files(run.path());
                if (temporaries.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            EXPECT_EQ(temporaries.size(), 1u);
            kill(packer, number);
            EXPECT_EQ(wait_for(packer), 1000 + number);
            close(full[0]);
            expect_interrupted_pack_left(run, temporaries, number == SIGKILL, force);
        }
    }
#endif
}

// An archive through a pipe, on one CPU: each block is written as it comes,
// and its bar steps reach the screen as soon as the next chunk begins, while
// the run waits for that chunk's payload.
TEST(Careful, RestoreScreenMovesWithItsBlocks) {
    TempDir dir;
    const Bytes input = test_util::random_bytes(2 * size_t{BLOCK_SIZE}, 8);
    const Bytes archive = packed(dir, input);
    fs::remove(dir.file("in.bin"));
    const size_t second_chunk = first_chunk_end(archive);
#if defined(_WIN32)
    test_util::NamedPipe feed(true);
    HANDLE screen_read, screen_write;
    screen_pipe(&screen_read, &screen_write);
    test_util::StartOptions options;
    options.out = screen_write;
    options.one_cpu = true;
    test_util::Started pid = test_util::start_zorv({"-u", feed.name()}, dir.path(), options);
    CloseHandle(screen_write);
    EXPECT_TRUE(feed.send(archive, 0, second_chunk + CHUNK_HEADER_SIZE));
    std::string seen;
    std::string half = "[";
    half.append(25, '#');
    EXPECT_TRUE(arrives(screen_read, &seen, half)) << seen;
    EXPECT_TRUE(feed.send(archive, second_chunk + CHUNK_HEADER_SIZE, archive.size()));
    feed.close();
    EXPECT_TRUE(arrives(screen_read, &seen, std::string(50, '#')));
    CloseHandle(screen_read);
    EXPECT_EQ(test_util::wait_zorv(&pid), 0);
#else

    int feed[2];
    int screen[2];
    ASSERT_EQ(pipe2(feed, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(screen, O_CLOEXEC), 0);
    const pid_t pid = spawn({"-u", "/dev/stdin"}, dir.path(), screen[1], true, feed[0]);
    close(feed[0]);
    close(screen[1]);
    auto send = [&](size_t from, size_t to) {
        for (ssize_t put; from < to && (put = write(feed[1], archive.data() + from, to - from)) > 0;)
            from += static_cast<size_t>(put);
    };
    send(0, second_chunk + CHUNK_HEADER_SIZE);
    std::string seen;
    std::string half = "[";
    half.append(25, '#');
    EXPECT_TRUE(arrives(screen[0], &seen, half)) << seen;
    send(second_chunk + CHUNK_HEADER_SIZE, archive.size());
    close(feed[1]);
    EXPECT_TRUE(arrives(screen[0], &seen, std::string(50, '#')));
    close(screen[0]);
    EXPECT_EQ(wait_for(pid), 0);
#endif
    EXPECT_TRUE(test_util::read_file(dir.file("in.bin")) == input);
}

// A file takes its name only while its temporary name still leads to it;
// with `replace` it takes the place of what is there, else never.
TEST(Careful, PendingFileIsNamedOnlyIfStillOurs) {
    enum class Meddle { kNone, kNameTaken, kNameIsALink, kSwappedForALink };
    struct Case {
        Meddle meddle;
        bool replace;
        Renamed expected;
    };
    const Case cases[] = {
        {Meddle::kNone, false, Renamed::kDone},
        {Meddle::kNameTaken, false, Renamed::kExists},
        {Meddle::kNameIsALink, true, Renamed::kDone},
        {Meddle::kSwappedForALink, false, Renamed::kReplaced},
        {Meddle::kSwappedForALink, true, Renamed::kReplaced},
    };
    // What the system keeps of a mode: on Windows the read-only bit alone.
    auto kept = [](unsigned mode) {
#if defined(_WIN32)
        return (mode & 0200) != 0 ? 0666u : 0444u;
#else
        return mode;
#endif
    };
    auto mode_of = [](const std::string& path) {
#if defined(_WIN32)
        return (GetFileAttributesW(fs::path(path).c_str()) & FILE_ATTRIBUTE_READONLY) != 0 ? 0444u : 0666u;
#else
        return static_cast<unsigned>(stat_of(path).st_mode & 0777);
#endif
    };
    // Wine's CreateSymbolicLinkW reports success and makes nothing.
    auto symlink = [](const std::string& target, const std::string& at) {
#if defined(_WIN32)
        return CreateSymbolicLinkW(fs::path(at).c_str(), fs::path(target).c_str(),
                                   SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
               test_util::file_exists(at);
#else
        fs::create_symlink(target, at);
        return true;
#endif
    };
    bool linked = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.meddle) * 2 + c.replace);
        TempDir dir;
        test_util::write_file(dir.file("target"), std::string("theirs"));
        Folder folder;
        const char* leaf = nullptr;
        const std::string path = dir.file("done");
        ASSERT_TRUE(open_output_folder(path.c_str(), &folder, &leaf));
        PendingFile pending;
        ASSERT_TRUE(create_pending_file(folder, &pending));
        EXPECT_EQ(mode_of(dir.file(pending.name)), kept(0600));
        ASSERT_GE(std::fputs("ours", pending.file), 0);
        FileAttributes attributes;
        attributes.carried = true;
        attributes.mode = 0640;
        ASSERT_TRUE(finish_pending_file(&pending, attributes));
        if (c.meddle == Meddle::kNameTaken) test_util::write_file(path, std::string("there"));
        bool made = true;
        if (c.meddle == Meddle::kNameIsALink) made = symlink("target", path);
        if (c.meddle == Meddle::kSwappedForALink) {
            fs::remove(dir.file(pending.name));
            made = symlink("target", dir.file(pending.name));
        }
        if (!made) {
            linked = false;
            remove_pending_file(&pending);
            continue;
        }
        EXPECT_EQ(name_pending_file(&pending, leaf, c.replace), c.expected);
        if (c.expected == Renamed::kDone) {
            EXPECT_FALSE(fs::is_symlink(path));
            EXPECT_EQ(test_util::read_file(path), test_util::bytes_of("ours"));
            EXPECT_EQ(mode_of(path), kept(0640));
        }
        if (c.meddle == Meddle::kSwappedForALink) {
            EXPECT_FALSE(fs::exists(path));
        }
        EXPECT_EQ(test_util::read_file(dir.file("target")), test_util::bytes_of("theirs"));
        if (c.expected != Renamed::kDone) remove_pending_file(&pending);
    }
    if (!linked) GTEST_SKIP() << "the rows with a link: no symbolic link could be made here (wine makes none)";
}

// A name typed by the user is printed masked too, in every line that names
// it; the files keep their exact bytes.
TEST(Careful, TypedNamesArePrintedMasked) {
    TempDir dir;
#if defined(_WIN32)
    // An argument is UTF-16 here: CSI comes as the character U+009B.
    auto r = test_util::run_zorv({"-x\xC2\x9B"
                                  "2J"},
                                 dir.path());
#else
    auto r = test_util::run_zorv({"-x\x9B"
                                  "2J"},
                                 dir.path());
#endif
    EXPECT_NE(r.out.find("Error: unknown option -x?2J\n"), std::string::npos) << r.out;
#if defined(_WIN32)
    // A Windows file name takes no C0 control; it does take the C1 controls
    // CSI and NEL, as characters. The default name keeps 8 bytes of it.
    const std::string name = "t\xC2\x9B]0;PWN\xC2\x85";
    const std::string archive = "t\xC2\x9B]0;PW.zorv";
    const std::string shown = "t?]0;PW.zorv";
    const std::string line = "t?]0;PWN?        3 -> 57  ";
    const char* const controls = "\xC2";
    const auto on_disk = [&](const std::string& leaf) {
        return fs::path(dir.path()) / fs::path(std::u8string(leaf.begin(), leaf.end()));
    };
    std::ofstream(on_disk(name), std::ios::binary) << "abc";
#else
    const std::string name = "t\x1B]0;PWN\x07";
    const std::string archive = "t\x1B]0;PWN.zorv";
    const std::string shown = "t?]0;PWN.zorv";
    const std::string line = "t?]0;PWN?        3 -> 55  ";
    const char* const controls = "\x1B\x07";
    const auto on_disk = [&](const std::string& leaf) { return fs::path(dir.file(leaf)); };
    test_util::write_file(dir.file(name), std::string("abc"));
#endif
    r = test_util::run_zorv({name}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find_first_of(controls), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("using : " + shown + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(line + shown + "\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(on_disk(archive)));
}

}  // namespace
