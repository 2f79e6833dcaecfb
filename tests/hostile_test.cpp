// SPDX-License-Identifier: BSD-2-Clause
// The program as a user's shell runs it in a hostile world: standard output
// closed, full or a pipe nobody reads, an archive that arrives through a
// pipe, an output that is standard output itself, and a restore that is
// killed half way. Each fault lives in the process, so each case runs it.

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive/archive.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::TempDir;
using Bytes = std::vector<uint8_t>;

#if !defined(_WIN32)
constexpr int kClosed = -1;

// Starts the program with `args` in `cwd`, standard input and output on the
// given descriptors (kClosed: closed) and standard error on /dev/null.
pid_t spawn(const std::vector<std::string>& args, const std::string& cwd, int in_fd, int out_fd) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(cwd.c_str()) != 0) _exit(127);
    // A runner in the background may ignore them, and the child would inherit that.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    if (in_fd == kClosed)
        close(0);
    else
        dup2(in_fd, 0);
    if (out_fd == kClosed)
        close(1);
    else
        dup2(out_fd, 1);
    test_util::exec_zorv(args);
    _exit(127);
}

using test_util::wait_for;
#endif

// Every regular file below `dir`, by its path there.
std::map<std::string, Bytes> files_below(const std::string& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            files[test_util::without_temporary_names(entry.path().lexically_relative(dir).string())] =
                test_util::read_file(entry.path().string());
    return files;
}

// Two archives in one, so that a restore creates two files: the big one
// packed with several blocks, then s.txt.
struct Fixture {
    TempDir dir;
    Bytes input = test_util::random_bytes(2 * size_t{BLOCK_SIZE} + 1000, 7);
    Bytes archive;  // in.bin alone
    Bytes both;     // in.bin, then s.txt
    Fixture() {
        test_util::write_file(dir.file("in.bin"), input);
        test_util::write_file(dir.file("s.txt"), std::string("small"));
        EXPECT_EQ(test_util::run_zorv({"in.bin", "in.zorv"}, dir.path()).status, 0);
        EXPECT_EQ(test_util::run_zorv({"s.txt", "s.zorv"}, dir.path()).status, 0);
        archive = test_util::read_file(dir.file("in.zorv"));
        both = archive;
        const Bytes small = test_util::read_file(dir.file("s.zorv"));
        both.insert(both.end(), small.begin() + sizeof ARCHIVE_MAGIC, small.end());
        test_util::write_file(dir.file("both.zorv"), both);
    }
};

enum class Output { kNone, kFull, kBrokenPipe };

struct OutputCase {
    const char* id;
    Output output;
    std::vector<std::string> args;  // run in the folder "run"
    int status;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.id; }

class StandardOutput : public ::testing::TestWithParam<OutputCase> {};

// Messages that cannot be written never change the work: the archive and the
// files are those of a run with a terminal. Where the screen is the whole
// result, a screen that was not written fails the run.
TEST_P(StandardOutput, NeverChangesTheWork) {
    const OutputCase& c = GetParam();
    static Fixture fixture;
    TempDir run;
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(a[0] == '@' ? fixture.dir.file(a.substr(1)) : a);
#if defined(_WIN32)
    test_util::StartOptions options;
    options.in = test_util::kNoHandle;
    options.out = test_util::kNoHandle;
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (c.output == Output::kBrokenPipe) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        ASSERT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
        CloseHandle(read_end);  // nobody will ever read: the first write fails
        options.out = write_end;
    }
    if (c.output == Output::kFull) {
        // Under wine, drive Z: is the Linux host's root: its /dev/full.
        const std::string full = test_util::host_file("/dev/full");
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        write_end = CreateFileW(fs::path(full).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (write_end == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no device that is always full (" << full << ")";
        options.out = write_end;
    }
    test_util::Started started = test_util::start_zorv(args, run.path(), options);
    if (write_end != nullptr) CloseHandle(write_end);
    const int status = test_util::wait_zorv(&started);
#else
    int out_fd = kClosed;
    if (c.output == Output::kFull) out_fd = open("/dev/full", O_WRONLY);
    if (c.output == Output::kBrokenPipe) {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        close(ends[0]);  // nobody will ever read: the first write breaks the pipe
        out_fd = ends[1];
    }
    const int status = wait_for(spawn(args, run.path(), kClosed, out_fd));
    if (out_fd != kClosed) close(out_fd);
#endif
    EXPECT_EQ(status, c.status);
    auto files = files_below(run.path());
    if (c.args[0] == "-u") {
        EXPECT_EQ(files.size(), 2u);
        EXPECT_TRUE(files["in.bin"] == fixture.input);
        EXPECT_EQ(files["s.txt"], test_util::bytes_of("small"));
    } else if (c.args.size() == 2 && c.args[1] == "a.zorv") {
        EXPECT_EQ(files.size(), 1u);
        EXPECT_TRUE(files["a.zorv"] == fixture.archive);
    } else {
        EXPECT_TRUE(files.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, StandardOutput,
                         ::testing::Values(OutputCase{"PackClosed", Output::kNone, {"@in.bin", "a.zorv"}, 0},
                                           OutputCase{"PackFull", Output::kFull, {"@in.bin", "a.zorv"}, 0},
                                           OutputCase{"PackBrokenPipe", Output::kBrokenPipe, {"@in.bin", "a.zorv"}, 0},
                                           OutputCase{"RestoreClosed", Output::kNone, {"-u", "@both.zorv"}, 0},
                                           OutputCase{"RestoreFull", Output::kFull, {"-u", "@both.zorv"}, 0},
                                           OutputCase{
                                               "RestoreBrokenPipe", Output::kBrokenPipe, {"-u", "@both.zorv"}, 0},
                                           OutputCase{"VersionClosed", Output::kNone, {"-v"}, 0},
                                           OutputCase{"VersionFull", Output::kFull, {"-v"}, 255},
                                           OutputCase{"VersionBrokenPipe", Output::kBrokenPipe, {"-v"}, 255},
                                           OutputCase{"HelpFull", Output::kFull, {"-h"}, 255},
                                           OutputCase{"BenchFull", Output::kFull, {"-bench", "@s.txt"}, 255}),
                         [](const ::testing::TestParamInfo<OutputCase>& p) { return std::string(p.param.id); });

// The archive written to standard output would be mixed with the messages.
TEST(Hostile, OutputThatIsStandardOutputIsRefused) {
#if defined(_WIN32)
    // Windows has no name for standard output itself, as /dev/stdout is.
    for (const std::string output : {"screen"}) {
#else
    for (const std::string output : {"/dev/stdout", "screen"}) {
#endif
        TempDir dir;
        test_util::write_file(dir.file("in.txt"), std::string("abc"));
#if defined(_WIN32)
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const HANDLE screen = CreateFileW(fs::path(dir.file("screen")).c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(screen, INVALID_HANDLE_VALUE);
        test_util::StartOptions options;
        options.out = screen;
        test_util::Started started = test_util::start_zorv({"-f", "in.txt", output}, dir.path(), options);
        EXPECT_EQ(test_util::wait_zorv(&started), 255);
        CloseHandle(screen);
#else
        const int screen = open(dir.file("screen").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(screen, 0);
        EXPECT_EQ(wait_for(spawn({"-f", "in.txt", output}, dir.path(), kClosed, screen)), 255);
        close(screen);
#endif
        const std::string text =
            std::string(reinterpret_cast<const char*>(test_util::read_file(dir.file("screen")).data()),
                        test_util::read_file(dir.file("screen")).size());
        EXPECT_EQ(text.substr(text.find('\n') + 1),
                  "Error: output " + output + " is the standard output. Aborted.\n\n");
    }
}

// Read from a pipe, an archive restores exactly as the same bytes in a file:
// the same screen, status and files, also when it is cut inside a block.
TEST(Hostile, ArchiveFromAPipeRestoresAsFromAFile) {
    Fixture fixture;
    Bytes cut = fixture.both;
    // Inside the second block: the first is kept under the temporary name.
    cut.resize(sizeof ARCHIVE_MAGIC + 33 + 16 + load_le32(cut.data() + sizeof ARCHIVE_MAGIC + 33 + 4) + 16 + 5000);
    test_util::write_file(fixture.dir.file("cut.zorv"), cut);
    for (const std::string name : {"both.zorv", "cut.zorv"}) {
        std::map<std::string, std::string> screens;
        std::map<std::string, std::map<std::string, Bytes>> files;
        std::map<std::string, int> statuses;
        // `< file` gives /dev/stdin a file that seeks; `cat |` a pipe.
        for (const std::string how : {"pipe", "file"}) {
            const std::string folder = fixture.dir.file(how + "-" + name);
            fs::create_directory(folder);
#if defined(_WIN32)
            // A named pipe for `cat |`, the file by name for `<`; the screens
            // name the pipe where they name the archive.
            const std::string archive = "../" + name;
            if (how == "file") {
                const auto r = test_util::run_zorv({"-u", archive}, folder);
                screens[how] = r.out;
                statuses[how] = r.status;
            } else {
                test_util::NamedPipe pipe(true);
                SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
                HANDLE screen_read, screen_write;
                ASSERT_TRUE(CreatePipe(&screen_read, &screen_write, &inherit, 0));
                SetHandleInformation(screen_read, HANDLE_FLAG_INHERIT, 0);
                test_util::StartOptions options;
                options.out = screen_write;
                test_util::Started started = test_util::start_zorv({"-u", pipe.name()}, folder, options);
                CloseHandle(screen_write);
                std::thread reader([&] {
                    char buffer[4096];
                    for (DWORD got = 0; ReadFile(screen_read, buffer, sizeof buffer, &got, nullptr) && got > 0;)
                        screens[how].append(buffer, got);
                });
                const Bytes bytes = test_util::read_file(fixture.dir.file(name));
                EXPECT_TRUE(pipe.send(bytes, 0, bytes.size()));
                pipe.close();
                reader.join();
                CloseHandle(screen_read);
                statuses[how] = test_util::wait_zorv(&started);
                for (size_t at; (at = screens[how].find(pipe.name())) != std::string::npos;)
                    screens[how].replace(at, pipe.name().size(), archive);
            }
            screens[how] = test_util::without_temporary_names(screens[how]);
            files[how] = files_below(folder);
#else
            const std::string archive = fixture.dir.file(name);
            const std::string zorv = test_util::zorv_shell_command();
            const std::string command = "cd '" + folder + "' && " +
                                        (how == "pipe" ? "cat '" + archive + "' | " + zorv + " -u /dev/stdin"
                                                       : zorv + " -u /dev/stdin < '" + archive + "'");
            FILE* shell = popen(command.c_str(), "r");
            ASSERT_NE(shell, nullptr);
            char buffer[4096];
            for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, shell)) > 0;) screens[how].append(buffer, got);
            screens[how] = test_util::without_temporary_names(screens[how]);
            const int status = pclose(shell);
            statuses[how] = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            files[how] = files_below(folder);
#endif
        }
        SCOPED_TRACE(name);
        EXPECT_EQ(screens["pipe"], screens["file"]);
        EXPECT_EQ(statuses["pipe"], statuses["file"]);
        EXPECT_TRUE(files["pipe"] == files["file"]);
        EXPECT_EQ(statuses["file"], name == "cut.zorv" ? 255 : 0);
        EXPECT_EQ(files["file"].size(), 2u - (name == "cut.zorv"));
        if (name == "cut.zorv") {
            EXPECT_TRUE(files["file"]["zorv-partial.XXXXXX"] ==
                        Bytes(fixture.input.begin(), fixture.input.begin() + BLOCK_SIZE));
            EXPECT_NE(screens["file"].find("Kept the restored part of in.bin as zorv-partial.XXXXXX.\n"),
                      std::string::npos);
        }
    }
}

// A restore that is interrupted removes its temporary file and ends by the
// signal; one that is killed leaves only the temporary file. Either way the
// next run restores the file. The archive comes through a pipe, so the run
// stops where the test wants it.
TEST(Hostile, KilledRestoreLeavesOnlyTheTemporaryFile) {
    Fixture fixture;
    const Bytes& archive = fixture.archive;
    const size_t first_block_end =
        sizeof ARCHIVE_MAGIC + 33 + 16 + load_le32(archive.data() + sizeof ARCHIVE_MAGIC + 33 + 4);
#if defined(_WIN32)
    // Ctrl-C, Ctrl-Break and a closed console as the console delivers them;
    // TerminateProcess as SIGKILL.
    constexpr int kTerminate = 137;
    const int kSigKill = kTerminate;
    for (int signal_number : {int{CTRL_C_EVENT}, int{CTRL_BREAK_EVENT}, int{CTRL_CLOSE_EVENT}, kTerminate}) {
        SCOPED_TRACE(signal_number);
        TempDir run;
        test_util::NamedPipe feed(true);
        test_util::Started pid = test_util::start_zorv({"-u", feed.name()}, run.path());
        ASSERT_TRUE(feed.send(archive, 0, first_block_end));
#else
    const int kSigKill = SIGKILL;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signal_number);
        TempDir run;
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const pid_t pid = spawn({"-u", "/dev/stdin"}, run.path(), ends[0], null_fd);
        close(ends[0]);
        close(null_fd);
        for (size_t at = 0; at < first_block_end;) {
            const ssize_t put = write(ends[1], archive.data() + at, first_block_end - at);
            ASSERT_GT(put, 0);
            at += static_cast<size_t>(put);
        }
#endif
        // The first block is written, and the run waits for the second.
        std::string partial;
        for (int k = 0; k < 2000 && partial.empty(); ++k) {
            for (const auto& entry : fs::directory_iterator(run.path()))
                if (entry.path().filename().string().rfind("zorv-partial.", 0) == 0 && entry.file_size() == BLOCK_SIZE)
                    partial = entry.path().filename().string();
            if (partial.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_FALSE(partial.empty());
#if defined(_WIN32)
        if (signal_number == kTerminate) {
            test_util::end_zorv(pid, kTerminate);
        } else {
            EXPECT_TRUE(test_util::interrupt_zorv(pid, static_cast<unsigned>(signal_number)));
        }
        EXPECT_EQ(test_util::wait_zorv(&pid, 20000),
                  signal_number == kTerminate ? kTerminate : test_util::kInterrupted);
        if (pid.process != nullptr) test_util::end_zorv(pid, 1);
        feed.close();
#else
        kill(pid, signal_number);
        EXPECT_EQ(wait_for(pid), 1000 + signal_number);
        close(ends[1]);
#endif
        std::set<std::string> left;
        for (const auto& entry : fs::directory_iterator(run.path())) left.insert(entry.path().filename().string());
        EXPECT_EQ(left, signal_number == kSigKill ? std::set<std::string>{partial} : std::set<std::string>{});

        EXPECT_EQ(test_util::run_zorv({"-u", fixture.dir.file("in.zorv")}, run.path()).status, 0);
        EXPECT_TRUE(test_util::read_file(run.file("in.bin")) == fixture.input);
    }
}

}  // namespace
