// SPDX-License-Identifier: BSD-2-Clause
// The writer, run as the program: archives byte for byte, console output line
// for line, and what every failure leaves on disk.

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/codec.h"
#include "test_util.h"

using test_util::read_file;
using test_util::run_zorv;
using test_util::TempDir;
using test_util::write_file;

namespace fs = std::filesystem;

namespace {

const std::vector<uint8_t> MAGIC = {0x89, 0x4A, 0x49, 0x58, 0x0D, 0x0A, 0x1A, 0x0A};

struct Chunk {
    uint32_t id, options, size, checksum, extra;
    std::vector<uint8_t> payload;
};

uint32_t le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// Splits an archive into its chunks; fails the test when the magic is wrong or
// the last chunk does not end exactly at the end of the file.
std::vector<Chunk> parse_archive(const std::vector<uint8_t>& bytes) {
    std::vector<Chunk> chunks;
    EXPECT_GE(bytes.size(), 8u);
    if (bytes.size() < 8) return chunks;
    EXPECT_TRUE(std::equal(MAGIC.begin(), MAGIC.end(), bytes.begin()));
    size_t at = 8;
    while (at + 16 <= bytes.size()) {
        const uint8_t* h = bytes.data() + at;
        Chunk c{le16(h), le16(h + 2), le32(h + 4), le32(h + 8), le32(h + 12), {}};
        at += 16;
        if (at + c.size > bytes.size()) break;
        c.payload.assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + c.size));
        at += c.size;
        chunks.push_back(std::move(c));
    }
    EXPECT_EQ(at, bytes.size()) << "archive does not end at a chunk boundary";
    return chunks;
}

// The restored bytes of every data chunk, decoded here since the reader is
// not what is under test.
std::vector<uint8_t> restore(const std::vector<Chunk>& chunks) {
    std::vector<uint8_t> out;
    for (const Chunk& c : chunks) {
        if (c.id != CHUNK_DATA) continue;
        if (c.options == METHOD_STORED) {
            EXPECT_EQ(c.size, c.extra);
            out.insert(out.end(), c.payload.begin(), c.payload.end());
            continue;
        }
        EXPECT_EQ(c.options, METHOD_BLOCK);
        std::vector<uint8_t> block(c.extra);
        int32_t got = decompress_block(c.payload.data(), block.data(), c.size, c.extra);
        EXPECT_EQ(got, static_cast<int32_t>(c.extra));
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

// Checks the file entry and returns the stored name.
std::string check_file_entry(const Chunk& entry, uint32_t file_size) {
    EXPECT_EQ(entry.id, CHUNK_FILE_ENTRY);
    EXPECT_EQ(entry.options, 0u);
    EXPECT_EQ(entry.checksum, 0u);
    EXPECT_EQ(entry.extra, 0u);
    EXPECT_GT(entry.payload.size(), 10u);
    if (entry.payload.size() <= 10) return "";
    EXPECT_EQ(le32(entry.payload.data()), file_size);
    EXPECT_EQ(le32(entry.payload.data() + 4), 0u);
    EXPECT_EQ(le16(entry.payload.data() + 8), entry.size - 10);
    EXPECT_EQ(entry.payload.back(), 0);
    return std::string(entry.payload.begin() + 10, entry.payload.end() - 1);
}

// Everything after the banner line.
std::string after_banner(const test_util::RunResult& r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("ZORV (", 0), 0u);
    size_t end = r.out.find('\n');
    return end == std::string::npos ? "" : r.out.substr(end + 1);
}

// Cuts `line` at the literal texts `pieces`, which must start and end it and
// stand in this order; returns the texts between them, or nothing when the
// line has another shape. (No std::regex: it trips the sanitizer build.)
std::vector<std::string> fields(const std::string& line, const std::vector<std::string>& pieces) {
    if (line.rfind(pieces.front(), 0) != 0) return {};
    std::vector<std::string> found;
    size_t at = pieces.front().size();
    for (size_t k = 1; k < pieces.size(); ++k) {
        size_t next = k + 1 == pieces.size() ? line.size() - pieces[k].size() : line.find(pieces[k], at);
        if (next == std::string::npos || next < at || line.compare(next, pieces[k].size(), pieces[k]) != 0) return {};
        found.push_back(line.substr(at, next - at));
        at = next + pieces[k].size();
    }
    return found;
}

std::string tenths(int64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(value) / 10);
    return text;
}

// Text with long runs and repeats, so that blocks compress, generated fast.
std::vector<uint8_t> text_bytes(size_t count, uint32_t seed) {
    static const char* const words[] = {"block ", "stream ", "archive ", "chunk ", "the ", "of ", "match ", "\n"};
    std::vector<uint8_t> out;
    out.reserve(count + 16);
    uint32_t state = seed;
    while (out.size() < count) {
        state = state * 1664525u + 1013904223u;
        const char* w = words[state >> 29];
        out.insert(out.end(), w, w + std::strlen(w));
    }
    out.resize(count);
    return out;
}

const std::vector<uint8_t> ABC_ARCHIVE = {
    0x89, 0x4A, 0x49, 0x58, 0x0D, 0x0A, 0x1A, 0x0A,  // magic
    0x01, 0x00, 0x00, 0x00,                          // id 1 (file entry), options 0
    0x10, 0x00, 0x00, 0x00,                          // size 16
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // checksum 0, extra 0
    0x03, 0x00, 0x00, 0x00,                          // file_size 3
    0x00, 0x00, 0x00, 0x00,                          // reserved
    0x06, 0x00,                                      // name_length 6
    0x61, 0x2E, 0x74, 0x78, 0x74, 0x00,              // "a.txt" and its zero byte
    0x11, 0x00, 0x00, 0x00,                          // id 17 (data), METHOD_STORED: 3 is below 32
    0x03, 0x00, 0x00, 0x00,                          // size 3
    0x00, 0x00, 0x00, 0x00,                          // checksum 0
    0x03, 0x00, 0x00, 0x00,                          // extra 3
    0x61, 0x62, 0x63,                                // abc
};

// The two lines that pack a.txt holding abc, after whatever comes first.
const std::string ABC_OUTPUT =
    "\ra.txt            Progress [  %] Saved : 0.0%  CPU speed :   0MB/s    "
    "\ra.txt            Completed 100% Saved : -1600.0%  CPU speed :   0MB/s    \n"
    "a.txt            3 -> 51  a.zorv\n";

// Whether `path` opens: under wine the host's /dev/full, on drive Z:,
// does while it does not show as existing.
bool opens(const std::string& path) {
    FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe != nullptr) std::fclose(probe);
    return probe != nullptr;
}

}  // namespace

TEST(WriterFigures, WorkedNumbers) {
    // 3000 bytes into 1001: the progress figure truncates 666.33, the
    // completion figure floors the archive's 333.67 and shows 66.7.
    EXPECT_EQ(progress_saving_tenths(3000, 1001), 666);
    EXPECT_EQ(completion_saving_tenths(3000, 1001), 667);
    // -1.358 tenths truncates toward zero to -1 (-0.1), not down to -2.
    EXPECT_EQ(progress_saving_tenths(1000000, 1001358), -1);
    EXPECT_EQ(tenths(progress_saving_tenths(1000000, 1001358)), "-0.1");
    // a.txt: 51 bytes written for 3, 1000 - floor(51000 / 3).
    EXPECT_EQ(completion_saving_tenths(3, 51), -16000);
    // Nothing read yet, and an empty input: 0.0, no division by zero.
    EXPECT_EQ(progress_saving_tenths(0, 51), 0);
    EXPECT_EQ(completion_saving_tenths(0, 32), 0);
    EXPECT_EQ(progress_percent(0, 0), 0u);
    // The products stay exact near 4 GiB, where 32 bits would overflow.
    EXPECT_EQ(progress_percent(8388608, 16777226), 49u);
    EXPECT_EQ(progress_percent(16777216, 16777226), 99u);
    EXPECT_EQ(progress_percent(4294967295u, 4294967295u), 100u);
    EXPECT_EQ(completion_saving_tenths(4294967295u, 4311744512u), -3);
    EXPECT_EQ(progress_saving_tenths(4294967295u, 4311744512u), -3);
    // Speed in units of 1024000 bytes per second of codec time.
    EXPECT_EQ(compression_speed(123456, 0), 0.0f);
    EXPECT_EQ(compression_speed(10240000, 1000), 10.0f);
    EXPECT_EQ(compression_speed(2048000, 4), 500.0f);
}

TEST(Writer, AbcGivesTheExactArchiveAndOutput) {
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    auto r = run_zorv({"a.txt", "a.zorv"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r), ABC_OUTPUT);
    EXPECT_EQ(read_file(dir.file("a.zorv")), ABC_ARCHIVE);
    EXPECT_EQ(read_file(dir.file("a.txt")), test_util::bytes_of("abc"));
}

TEST(Writer, EmptyInputGivesMagicAndFileEntryOnly) {
    TempDir dir;
    write_file(dir.file("e.txt"), "");
    auto r = run_zorv({"e.txt", "e.zorv"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r),
              "\re.txt            Completed 100% Saved : 0.0%  CPU speed :   0MB/s    \n"
              "e.txt            0 -> 32  e.zorv\n");
    auto archive = read_file(dir.file("e.zorv"));
    EXPECT_EQ(archive.size(), 8u + 16 + 10 + 6);
    auto chunks = parse_archive(archive);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(check_file_entry(chunks[0], 0), "e.txt");
}

struct SizeCase {
    uint32_t size;
    bool random;                       // incompressible: every block stream is longer than its block
    std::vector<std::string> percent;  // what the progress lines show between the brackets
};

class WriterSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(WriterSizes, ChunksFiguresAndContents) {
    const SizeCase& c = GetParam();
    TempDir dir;
    auto input = c.random ? test_util::random_bytes(c.size, c.size) : text_bytes(c.size, c.size);
    write_file(dir.file("in.bin"), input);
    auto r = run_zorv({"in.bin", "in.zorv"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    auto archive = read_file(dir.file("in.zorv"));
    auto chunks = parse_archive(archive);

    const size_t blocks = (c.size + BLOCK_SIZE - 1) / BLOCK_SIZE;
    ASSERT_EQ(chunks.size(), 1 + blocks);
    EXPECT_EQ(check_file_entry(chunks[0], c.size), "in.bin");
    for (size_t k = 1; k <= blocks; ++k) {
        const Chunk& d = chunks[k];
        const uint32_t expected_extra = k < blocks ? BLOCK_SIZE : c.size - static_cast<uint32_t>((k - 1) * BLOCK_SIZE);
        EXPECT_EQ(d.id, CHUNK_DATA);
        EXPECT_EQ(d.checksum, 0u);
        EXPECT_EQ(d.extra, expected_extra) << "chunk " << k;
        EXPECT_EQ(d.options, expected_extra < 32 ? METHOD_STORED : METHOD_BLOCK) << "chunk " << k;
        if (c.random && d.options == METHOD_BLOCK) {
            EXPECT_GT(d.size, d.extra) << "chunk " << k;
        }
    }
    EXPECT_TRUE(restore(chunks) == input);

    // One progress line per data chunk, then the completion line and the summary.
    std::string out = after_banner(r);
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(out[0], '\r');
    std::vector<std::string> lines;
    for (size_t at = 1, next; at <= out.size(); at = next + 1) {
        next = out.find('\r', at);
        if (next == std::string::npos) next = out.size();
        lines.push_back(out.substr(at, next - at));
    }
    ASSERT_EQ(lines.size(), blocks + 1);
    const std::vector<std::string> progress = {"in.bin           Progress [",
                                               "%] Saved : ", "%  CPU speed : ", "MB/s    "};
    uint64_t read = 0;
    uint64_t written = 16 + chunks[0].size;
    for (size_t k = 0; k < blocks; ++k) {
        auto m = fields(lines[k], progress);
        ASSERT_EQ(m.size(), 3u) << lines[k];
        EXPECT_EQ(m[0], c.percent.at(k));
        EXPECT_EQ(m[1], tenths(progress_saving_tenths(read, written))) << "line " << k;
        if (k == 0) {
            EXPECT_EQ(m[2], "  0");
        }
        if (c.random && k > 0) {
            EXPECT_EQ(m[1][0], '-');
        }
        read += chunks[k + 1].extra;
        written += 16 + chunks[k + 1].size;
    }
    EXPECT_EQ(written, archive.size() - 8);
    const int64_t saving = completion_saving_tenths(c.size, written);
    if (c.random) {
        EXPECT_LT(saving, 0);
    }
    auto m = fields(lines.back(), {"in.bin           Completed 100% Saved : ", "%  CPU speed : ", "MB/s    \n", "\n"});
    ASSERT_EQ(m.size(), 3u) << lines.back();
    EXPECT_EQ(m[0], tenths(saving));
    EXPECT_EQ(m[2], "in.bin           " + std::to_string(c.size) + " -> " + std::to_string(written) + "  in.zorv");
}

INSTANTIATE_TEST_SUITE_P(Blocks, WriterSizes,
                         ::testing::Values(SizeCase{8388608, false, {"  "}},                // exactly one block
                                           SizeCase{8388609, true, {"  ", "99"}},           // 1 byte stored
                                           SizeCase{8388639, false, {"  ", "99"}},          // 31 bytes stored
                                           SizeCase{8388640, true, {"  ", "99"}},           // 32 bytes: a block stream
                                           SizeCase{16777226, false, {"  ", "49", "99"}}),  // 10 bytes stored
                         [](const auto& test) { return std::to_string(test.param.size); });

TEST(Writer, IncompressibleSmallFileIsABlockStreamWithNegativeSaving) {
    TempDir dir;
    auto input = test_util::random_bytes(1000, 7);
    write_file(dir.file("r.bin"), input);
    auto r = run_zorv({"r.bin", "r.zorv"}, dir.path());
    EXPECT_EQ(r.status, 0);
    auto chunks = parse_archive(read_file(dir.file("r.zorv")));
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[1].options, METHOD_BLOCK);
    EXPECT_EQ(chunks[1].size, 1000u + 1000 / 255 + 1);
    EXPECT_TRUE(restore(chunks) == input);
    // 1000 bytes into 32 + 16 + 1004: 1000 - floor(1052000 / 1000) = -52 tenths.
    EXPECT_NE(after_banner(r).find("Completed 100% Saved : -5.2% "), std::string::npos);
}

// --- Failures: what is printed and what stays on disk -----------------------

TEST(WriterFailure, OutputExistsWithoutForceIsLeftAndInputNeverOpened) {
    TempDir dir;
    write_file(dir.file("out.zorv"), "keep");
    // The input is missing: had it been opened, "could not open" would show.
    auto r = run_zorv({"missing.txt", "out.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "Error: file out.zorv already exists. Aborted.\n\n");
    EXPECT_EQ(read_file(dir.file("out.zorv")), test_util::bytes_of("keep"));
}

TEST(WriterFailure, OutputExistsWithForceIsRewritten) {
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    write_file(dir.file("a.zorv"), std::string(500, 'x'));
    auto r = run_zorv({"-f", "a.txt", "a.zorv"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(after_banner(r), "file a.zorv is overwritten.\n" + ABC_OUTPUT);
    EXPECT_EQ(read_file(dir.file("a.zorv")), ABC_ARCHIVE);
}

TEST(WriterFailure, OutputThatCannotBeCreated) {
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    auto r = run_zorv({"a.txt", "nodir/a.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "Error: could not create nodir/a.zorv. Aborted.\n\n");
    EXPECT_FALSE(test_util::file_exists(dir.file("nodir")));

    // A folder without write permission; root writes anywhere, so only then.
    // Windows has no such folder mode.
#if !defined(_WIN32)
    if (geteuid() != 0) {
        fs::create_directory(dir.file("locked"));
        fs::permissions(dir.file("locked"), fs::perms::owner_read | fs::perms::owner_exec);
        r = run_zorv({"a.txt", "locked/a.zorv"}, dir.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r), "Error: could not create locked/a.zorv. Aborted.\n\n");
        EXPECT_FALSE(test_util::file_exists(dir.file("locked/a.zorv")));
    }
#endif
}

struct InputFailure {
    const char* name;   // "missing": no such input; "folder": a directory
    const char* input;  // otherwise a file holding `contents`
    std::string contents;
    std::string expected;  // after the banner
};

class WriterInputFailure : public ::testing::TestWithParam<InputFailure> {};

// A failed pack leaves no output at all, and with -f the archive there stays
// byte for byte, with the same lines.
TEST_P(WriterInputFailure, LeavesNoOutputAndWithForceAnExistingOutputAlone) {
    const InputFailure& c = GetParam();
    TempDir dir;
    if (std::string(c.name) == "folder") {
        fs::create_directory(dir.file(c.input));
    } else if (std::string(c.name) != "missing") {
        write_file(dir.file(c.input), c.contents);
    }
    auto r = run_zorv({c.input, "out.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), c.expected);
    EXPECT_FALSE(test_util::file_exists(dir.file("out.zorv")));
    EXPECT_TRUE(test_util::temporary_files(dir.path()).empty());

    write_file(dir.file("out.zorv"), std::string("old archive"));
    r = run_zorv({"-f", c.input, "out.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "file out.zorv is overwritten.\n" + c.expected);
    EXPECT_EQ(read_file(dir.file("out.zorv")), test_util::bytes_of("old archive"));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, WriterInputFailure,
    ::testing::Values(InputFailure{"missing", "in.txt", "", "Error: could not open in.txt\nout.zorv\n"},
                      InputFailure{"folder", "sub", "", "Error: could not open sub\nout.zorv\n"},
                      InputFailure{"archive", "old.zorv", std::string("\x89JIX\r\n\x1A\n", 8) + "more",
                                   "Error: file old.zorv is already a ZORV archive!\nout.zorv\n"},
                      InputFailure{"bare_magic", "old.zorv", std::string("\x89JIX\r\n\x1A\n", 8),
                                   "Error: file old.zorv is already a ZORV archive!\nout.zorv\n"}),
    [](const auto& test) { return std::string(test.param.name); });

// Inputs that announce 0 bytes and hold more: reads stop at the announced
// size and the first byte beyond fails the run, which leaves no archive.
TEST(WriterFailure, InputLongerThanItsSizeFailsAtOnce) {
#if defined(_WIN32)
    GTEST_SKIP() << "no /dev/zero or /proc on Windows";
#endif
    for (const std::string input : {"/dev/zero", "/proc/self/status"}) {
        std::error_code error;
        if (!fs::exists(input, error)) continue;
        TempDir dir;
        auto r = run_zorv({input, "out.zorv"}, dir.path());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(after_banner(r), "\nError: reading " + input + " failed!\nout.zorv\n");
        EXPECT_EQ(fs::directory_iterator(dir.path()), fs::directory_iterator());
    }
}

TEST(WriterFailure, InputShorterThanItsSizeIsAReadFailure) {
    // Attribute files report 4096 bytes but hold a few: the input "changes"
    // size between the size test and the reads.
    const std::string input = "/sys/devices/system/cpu/online";
    std::error_code error;
    if (!fs::exists(input, error)) GTEST_SKIP() << input << " is absent";
    FILE* probe = std::fopen(input.c_str(), "rb");
    ASSERT_NE(probe, nullptr);
    fseeko(probe, 0, SEEK_END);
    const off_t claimed = ftello(probe);
    std::fclose(probe);
    const auto contents = read_file(input);
    if (claimed <= 0 || static_cast<size_t>(claimed) == contents.size() || contents.size() >= 32)
        GTEST_SKIP() << input << " has no misleading size here";

    TempDir dir;
    auto r = run_zorv({input, "out.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r),
              "\ronline           Progress [  %] Saved : 0.0%  CPU speed :   0MB/s    \n"
              "Error: reading " +
                  input + " failed!\nout.zorv\n");
    EXPECT_EQ(fs::directory_iterator(dir.path()), fs::directory_iterator());
}

TEST(WriterFailure, NotEnoughMemory) {
#if defined(_WIN32)
    GTEST_SKIP() << "no address-space limit on Windows";
#elif defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit allows";
#else
    if (test_util::kEmulated) GTEST_SKIP() << "qemu-user ignores RLIMIT_AS";
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    // 12 MB of address space runs the program but leaves no room for both buffers.
    std::string command = "cd '" + dir.path() + "' && ulimit -v 12000 && exec '" ZORV_BINARY "' a.txt a.zorv";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
    int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_EQ(out.substr(out.find('\n') + 1), "Error: not enough memory!\na.zorv\n");
    EXPECT_FALSE(test_util::file_exists(dir.file("a.zorv")));
    EXPECT_TRUE(test_util::temporary_files(dir.path()).empty());
#endif
}

// --- Refusals that keep files safe ---------------------------------------------

struct SameFileCase {
    const char* name;
    std::vector<std::string> args;
    const char* output;
};

class WriterSameFile : public ::testing::TestWithParam<SameFileCase> {};

TEST_P(WriterSameFile, RefusedBeforeAnythingIsPrintedOrCreated) {
    const SameFileCase& c = GetParam();
    // Windows makes hard links for anyone, symbolic ones only with a
    // privilege: there only the rows that name "soft" need one and skip.
#if defined(_WIN32)
    if (std::find(c.args.begin(), c.args.end(), "soft") != c.args.end())
        GTEST_SKIP() << "symbolic links need a privilege on Windows";
    const bool soft = false;
#else
    const bool soft = true;
#endif
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    if (soft) fs::create_symlink("a.txt", dir.file("soft"));
    fs::create_hard_link(dir.file("a.txt"), dir.file("hard"));
    auto r = run_zorv(c.args, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), std::string("Error: input and output are the same file ") + c.output + ". Aborted.\n\n");
    EXPECT_EQ(read_file(dir.file("a.txt")), test_util::bytes_of("abc"));
    if (soft) {
        EXPECT_TRUE(fs::is_symlink(dir.file("soft")));
    }
}

INSTANTIATE_TEST_SUITE_P(Links, WriterSameFile,
                         ::testing::Values(SameFileCase{"forced", {"a.txt", "a.txt", "-f"}, "a.txt"},
                                           SameFileCase{"unforced", {"a.txt", "a.txt"}, "a.txt"},
                                           SameFileCase{"other_spelling", {"-f", "a.txt", "./a.txt"}, "./a.txt"},
                                           SameFileCase{"symlink", {"-f", "a.txt", "soft"}, "soft"},
                                           SameFileCase{"symlink_input", {"-f", "soft", "a.txt"}, "a.txt"},
                                           SameFileCase{"hard_link", {"-f", "a.txt", "hard"}, "hard"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(WriterSameFileDefault, DefaultNameThatIsTheInputItself) {
    // The default name keeps 8 characters and appends ".zorv": for this input
    // that is the input's own name.
    TempDir dir;
    write_file(dir.file("12345678.zorv"), "abc");
    auto r = run_zorv({"-f", "12345678.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r),
              "Output name not specified, using : 12345678.zorv\n"
              "Error: input and output are the same file 12345678.zorv. Aborted.\n\n");
    EXPECT_EQ(read_file(dir.file("12345678.zorv")), test_util::bytes_of("abc"));
}

TEST(WriterNoClobber, DanglingSymlinkIsNotReplacedWithoutForce) {
#if defined(_WIN32)
    GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    fs::create_symlink("target.zorv", dir.file("link.zorv"));
    auto r = run_zorv({"a.txt", "link.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "Error: file link.zorv already exists. Aborted.\n\n");
    EXPECT_TRUE(fs::is_symlink(dir.file("link.zorv")));
    EXPECT_FALSE(test_util::file_exists(dir.file("target.zorv")));
}

TEST(WriterNoClobber, UnreadableFileIsNotReplacedWithoutForce) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX file modes";
#else
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
#endif
    TempDir dir;
    write_file(dir.file("a.txt"), "abc");
    write_file(dir.file("secret.zorv"), "keep");
    fs::permissions(dir.file("secret.zorv"), fs::perms::owner_write);
    auto r = run_zorv({"a.txt", "secret.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "Error: file secret.zorv already exists. Aborted.\n\n");
    fs::permissions(dir.file("secret.zorv"), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(read_file(dir.file("secret.zorv")), test_util::bytes_of("keep"));
}

class WriterFullDisk : public ::testing::TestWithParam<size_t> {};

TEST_P(WriterFullDisk, ReportsOneWriteFailure) {
    const std::string full = test_util::host_file("/dev/full");
    if (!opens(full)) GTEST_SKIP() << "no " << full;
    TempDir dir;
    // A small archive fails only when stdio flushes; a large payload already
    // in its write call.
    write_file(dir.file("in.bin"), test_util::random_bytes(GetParam(), 3));
    auto r = run_zorv({"-f", "in.bin", full}, dir.path());
    EXPECT_EQ(r.status, 255);
    std::string out = after_banner(r);
    EXPECT_EQ(out.rfind("file " + full + " is overwritten.\n\rin.bin           Progress [  %]", 0), 0u) << out;
    const std::string tail = "\nError: writing " + full + " failed!\n" + full + "\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.find("Error:"), out.rfind("Error:")) << "more than one error line";
    EXPECT_EQ(out.find("Completed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriterFullDisk, ::testing::Values(3, 100000));

TEST(WriterFullDiskClose, BadInputLeavesAnExistingOutputUnopened) {
    const std::string full = test_util::host_file("/dev/full");
    if (!opens(full)) GTEST_SKIP() << "no " << full;
    TempDir dir;
    // The input is checked before the output is opened, so nothing is written.
    auto r = run_zorv({"-f", "missing.txt", full}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "file " + full + " is overwritten.\nError: could not open missing.txt\n" + full + "\n");
}

TEST(WriterFailure, InputOf4GiBIsRefused) {
    TempDir dir;
    // Sparse: no data is written, and none is read.
    {
        FILE* f = std::fopen(dir.file("big").c_str(), "wb");
        ASSERT_NE(f, nullptr);
#if defined(_WIN32)
        ASSERT_EQ(_chsize_s(_fileno(f), 4294967296LL), 0);
#else
        ASSERT_EQ(ftruncate(fileno(f), 4294967296LL), 0);
#endif
        std::fclose(f);
    }
    auto r = run_zorv({"big", "big.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r), "Error: file big is too large (4 GiB or more)!\nbig.zorv\n");
    EXPECT_FALSE(test_util::file_exists(dir.file("big.zorv")));
    // With -f the existing output is not emptied for it.
    write_file(dir.file("big.zorv"), std::string("old"));
    r = run_zorv({"-f", "big", "big.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(after_banner(r),
              "file big.zorv is overwritten.\nError: file big is too large (4 GiB or more)!\nbig.zorv\n");
    EXPECT_EQ(read_file(dir.file("big.zorv")), test_util::bytes_of("old"));
}

TEST(WriterCorpus, EveryFilePacksAndDecodes) {
    auto files = test_util::corpus_files();
    if (files.empty()) GTEST_SKIP() << "corpus absent";
    TempDir dir;
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        auto input = read_file(path);
        auto r = run_zorv({path, "out.zorv", "-f"}, dir.path());
        ASSERT_EQ(r.status, 0) << r.out;
        auto chunks = parse_archive(read_file(dir.file("out.zorv")));
        ASSERT_GE(chunks.size(), 1u);
        EXPECT_EQ(check_file_entry(chunks[0], static_cast<uint32_t>(input.size())), fs::path(path).filename().string());
        EXPECT_TRUE(restore(chunks) == input);
    }
}
