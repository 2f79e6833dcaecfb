// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "archive/archive.h"
#include "bench/bench.h"
#include "test_util.h"

using test_util::run_zorv;
using test_util::TempDir;

namespace {

// What the program printed after its banner line.
std::string after_banner(const std::string& out) {
    EXPECT_EQ(out.rfind("ZORV (", 0), 0u) << out;
    size_t end = out.find('\n');
    return end == std::string::npos ? std::string() : out.substr(end + 1);
}

// True when `text` is `pattern` with each '#' in it standing for a speed
// figure as printed with one decimal (digits, '.', one digit); the figures
// vary from run to run, everything else must match byte for byte.
bool matches_with_speeds(const std::string& text, const std::string& pattern) {
    auto digit = [&](size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    size_t at = 0;
    for (char c : pattern) {
        if (c != '#') {
            if (at >= text.size() || text[at] != c) return false;
            ++at;
            continue;
        }
        if (!digit(at)) return false;
        while (digit(at)) ++at;
        if (at >= text.size() || text[at] != '.' || !digit(at + 1)) return false;
        at += 2;
    }
    return at == text.size();
}

std::string bench_lines(const std::string& summary, const std::string& speed) {
    return "Reading source file....\n"
           "Setting HIGH_PRIORITY_CLASS...\n"
           "Benchmarking ZORV , please wait...\n"
           "Crunching 1...\rCrunching 2...\rCrunching 3...\r"
           "                   \n" +
           summary +
           "\n"
           "Restoring 1...\rRestoring 2...\rRestoring 3...\r"
           "                    \n"
           "Decompressed at " +
           speed + " Mbyte/s.\n\n(1 MB = 1000000 byte)\n";
}

void expect_benchmark(const std::vector<uint8_t>& bytes, const std::string& summary, const std::string& speed) {
    TempDir dir;
    std::string path = dir.file("input.bin");
    test_util::write_file(path, bytes);
    auto r = run_zorv({"-bench", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::string rest = after_banner(r.out);
    EXPECT_TRUE(matches_with_speeds(rest, bench_lines(summary, speed))) << rest;
}

// A file of `length` bytes that takes no disk space, beginning with `head`.
void write_sparse(const std::string& path, const std::vector<uint8_t>& head, uint64_t length) {
    test_util::write_file(path, head);
    std::error_code error;
    std::filesystem::resize_file(path, length, error);
    ASSERT_FALSE(error) << path << ": " << error.message();
}

}  // namespace

TEST(BenchSpeed, PassSpeedIsBytesPerSecondInMbytes) {
    struct Case {
        uint32_t length, calls, elapsed_ms;
        double speed;
    };
    const Case cases[] = {
        {1000000, 10, 2000, 5.0},
        {1000000, 3, 2500, 1.2},         // elapsed is divided as a real, not as an integer
        {3000000000u, 2, 1000, 6000.0},  // lengths past the signed range stay positive
        {4294967295u, 4294967295u, 2000, 4294967295.0 * 4294967295.0 / 2.0 / 1e6},  // no 32-bit product
        {0, 123456, 2001, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " x " << c.calls << " in " << c.elapsed_ms);
        EXPECT_DOUBLE_EQ(pass_speed(c.length, c.calls, c.elapsed_ms), c.speed);
    }
}

TEST(BenchSpeed, StreamRoomIsFivePercentMoreAndAtLeast66) {
    const std::pair<uint32_t, uint64_t> cases[] = {
        {0, 66}, {1, 66}, {63, 66}, {64, 67}, {100, 105}, {1000, 1050}, {4294967295u, 4509715659u},
    };
    for (const auto& [length, room] : cases) EXPECT_EQ(stream_room(length), room) << length;
    // Never less than compress_block asks for.
    for (uint32_t length = 1; length < 200000; ++length)
        ASSERT_GE(stream_room(length), uint64_t{length} + length / 255 + 1) << length;
}

// The three runs below time six full passes each (about 12 s); they are kept
// apart so that the test runner can run them side by side.
TEST(BenchRun, OneByte) { expect_benchmark({'x'}, "Compressed 1 bytes into 2 bytes (200.0%) at # Mbyte/s.", "#"); }

TEST(BenchRun, HundredEqualBytes) {
    expect_benchmark(std::vector<uint8_t>(100, 'a'), "Compressed 100 bytes into 5 bytes (5.0%) at # Mbyte/s.", "#");
}

// An empty file runs all passes; every figure is exactly 0, and the ratio of
// 0 / 0 shows as 0.0.
TEST(BenchRun, EmptyFile) { expect_benchmark({}, "Compressed 0 bytes into 0 bytes (0.0%) at 0.0 Mbyte/s.", "0.0"); }

TEST(BenchRefusal, PrintsOneErrorLineAndFails) {
    TempDir dir;
    std::vector<uint8_t> archive(ARCHIVE_MAGIC, ARCHIVE_MAGIC + sizeof ARCHIVE_MAGIC);
    archive.insert(archive.end(), 100, 0x11);
    test_util::write_file(dir.file("a.zorv"), archive);
    const uint64_t four_gib = uint64_t{1} << 32;
    write_sparse(dir.file("4g.bin"), {}, four_gib);
    write_sparse(dir.file("4g10.bin"), {'a', 'b', 'c'}, four_gib + 10);
    write_sparse(dir.file("4g.zorv"), archive, four_gib);

    const std::pair<std::string, std::string> cases[] = {
        {dir.file("a.zorv"), "Error: no benchmark for ZORV archive!\n"},
        {dir.file("missing.bin"), "Error: could not open " + dir.file("missing.bin") + "\n"},
        {dir.path(), "Error: could not open " + dir.path() + "\n"},
        // Cut to 32 bits these would be 0 and 10 bytes long and be timed.
        {dir.file("4g.bin"), "Error: file " + dir.file("4g.bin") + " is too large (4 GiB or more)!\n"},
        {dir.file("4g10.bin"), "Error: file " + dir.file("4g10.bin") + " is too large (4 GiB or more)!\n"},
        // What the file is comes before how long it is.
        {dir.file("4g.zorv"), "Error: no benchmark for ZORV archive!\n"},
    };
    for (const auto& [path, message] : cases) {
        SCOPED_TRACE(path);
        auto r = run_zorv({"-bench", path});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(after_banner(r.out), message);
    }
}

#if !defined(_WIN32)
namespace {

// A stream whose length and content disagree: seeking to its end reports
// `claimed` bytes, but reads deliver only `content`. A regular file cannot be
// made to come up short at a fixed point without racing another process that
// shrinks it; this stream drives the command's own read path deterministically.
struct FakeStream {
    std::string content;
    uint64_t claimed;
    uint64_t position;
};

ssize_t fake_read(void* cookie, char* buffer, size_t size) {
    auto* s = static_cast<FakeStream*>(cookie);
    if (s->position >= s->content.size()) return 0;
    size_t n = std::min<uint64_t>(size, s->content.size() - s->position);
    std::memcpy(buffer, s->content.data() + s->position, n);
    s->position += n;
    return static_cast<ssize_t>(n);
}

int fake_seek(void* cookie, off64_t* offset, int whence) {
    auto* s = static_cast<FakeStream*>(cookie);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s->position : s->claimed;
    int64_t target = base + *offset;
    if (target < 0) return -1;
    s->position = static_cast<uint64_t>(target);
    *offset = target;
    return 0;
}

int fake_close(void*) { return 0; }

FILE* open_fake(FakeStream* stream) {
    return fopencookie(stream, "rb", cookie_io_functions_t{fake_read, nullptr, fake_seek, fake_close});
}

// Runs benchmark_file on the stream and returns what it printed.
std::string bench_output(FakeStream* stream, const char* path, int* result) {
    FILE* file = open_fake(stream);
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return "";
    testing::internal::CaptureStdout();
    *result = benchmark_file(file, path);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::fclose(file);
    return out;
}

using test_util::kSanitized;

uint64_t address_space_in_use() {
    std::ifstream statm("/proc/self/statm");
    uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

#endif

TEST(BenchRead, ShortReadNamesTheStoredName) {
#if defined(_WIN32)
    // Windows has no streams of one's own making; a file read in text mode
    // ends at its first Ctrl-Z, which comes short of the length it reports.
    test_util::TempDir dir;
    test_util::write_file(dir.file("short.bin"), std::string(40, 'q') + '\x1A' + std::string(59, 'q'));
    FILE* file = std::fopen(dir.file("short.bin").c_str(), "r");
    ASSERT_NE(file, nullptr);
    testing::internal::CaptureStdout();
    const int result = benchmark_file(file, "/home/u/dir\\sub/data.bin");
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    std::fclose(file);
#else
    FakeStream stream{std::string(40, 'q'), 100, 0};
    int result = 0;
    std::string out = bench_output(&stream, "/home/u/dir\\sub/data.bin", &result);
#endif
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out, "Reading source file....\nError reading file data.bin!\nRead 40 bytes, expecting 100 bytes\n");
}

// With the address space capped, buffers that do not fit fail to allocate. The
// order of the checks shows: an archive is refused before any allocation, and
// a failed second allocation releases the first.
TEST(BenchRead, AllocationFailureAndArchiveUnderCappedMemory) {
#if defined(_WIN32)
    GTEST_SKIP() << "no address-space limit and no streams of one's own making on Windows; wine ignores the "
                    "memory limit of a job, the nearest form";
#else
    if (kSanitized) GTEST_SKIP() << "the sanitizers reserve address space of their own";
    if (test_util::kEmulated) GTEST_SKIP() << "qemu-user ignores RLIMIT_AS";
    const uint64_t mib = uint64_t{1} << 20;
    struct Case {
        const char* what;
        bool archive;  // begins with the signature
        uint64_t claimed;
        const char* out;
    };
    const Case cases[] = {
        // 600 MiB for the file fit under the cap, 630 MiB more for the stream do not.
        {"too big for both buffers", false, 600 * mib, "Error: not enough memory!\n"},
        {"too big for the first buffer", false, 3000 * mib, "Error: not enough memory!\n"},
        {"an archive", true, 3000 * mib, "Error: no benchmark for ZORV archive!\n"},
    };
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeStream stream{
            c.archive ? std::string(reinterpret_cast<const char*>(ARCHIVE_MAGIC), sizeof ARCHIVE_MAGIC) : std::string(),
            c.claimed, 0};
        FILE* file = open_fake(&stream);
        ASSERT_NE(file, nullptr);
        testing::internal::CaptureStdout();
        rlimit capped = saved;
        capped.rlim_cur = address_space_in_use() + 900 * mib;
        ASSERT_EQ(setrlimit(RLIMIT_AS, &capped), 0);
        int result = benchmark_file(file, "big.bin");
        // 800 MiB fit again only if nothing of the failed attempt is still held.
        void* probe = mmap(nullptr, 800 * mib, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        setrlimit(RLIMIT_AS, &saved);
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        std::fclose(file);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(out, c.out);
        EXPECT_NE(probe, MAP_FAILED);
        if (probe != MAP_FAILED) munmap(probe, 800 * mib);
    }
#endif
}
