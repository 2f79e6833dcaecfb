// SPDX-License-Identifier: BSD-2-Clause
// One worker or several: packing and restoring must not be told apart but by
// the speed figures. Each row runs with one worker and with four, in this
// process, and compares the screen, the result and every file left behind.

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::TempDir;
using Bytes = std::vector<uint8_t>;

constexpr unsigned kSeveral = 4;

struct Outcome {
    std::string screen;
    int status = 0;
    std::map<std::string, Bytes> files;
};

// The screen with the digits of every speed figure left out: the one figure
// allowed to differ between runs.
std::string without_speeds(std::string screen) {
    const std::string figure = "CPU speed :";
    for (size_t at = screen.find(figure); at != std::string::npos; at = screen.find(figure, at + 1)) {
        size_t end = at + figure.size();
        while (end < screen.size() && (screen[end] == ' ' || (screen[end] >= '0' && screen[end] <= '9'))) ++end;
        screen.erase(at + figure.size(), end - at - figure.size());
    }
    return screen;
}

// A command is told where its given files lie: "" in the folder it runs in.
using Command = std::function<int(const std::string& given_at)>;

// Runs `command` in a fresh folder that holds `given`, with `limit` bytes as
// the largest file it may write (0: no limit). Windows has no such limit:
// there it runs on the small disk, full at 1 MiB, and the given files, too
// large for it, stay outside, their folder left out of the screen.
Outcome run(const std::map<std::string, Bytes>& given, uint64_t limit, const Command& command) {
    TempDir dir;
    for (const auto& [name, bytes] : given) test_util::write_file(dir.file(name), bytes);
    std::string folder = dir.path();
    std::string given_at;
#if defined(_WIN32)
    std::optional<test_util::SmallDisk> disk;
    if (limit > 0) {
        folder = disk.emplace().path();
        given_at = dir.path() + "/";
    }
#endif
    Outcome outcome;
    auto in_folder = [&] { return command(given_at); };
    if (limit > 0) {
        test_util::FileSizeLimit full(limit);
        outcome.screen = test_util::capture_output(folder, in_folder, &outcome.status);
    } else {
        outcome.screen = test_util::capture_output(folder, in_folder, &outcome.status);
    }
    for (size_t at; !given_at.empty() && (at = outcome.screen.find(given_at)) != std::string::npos;)
        outcome.screen.erase(at, given_at.size());
    // A kept part counts by the name it is the part of.
    const auto kept = test_util::kept_parts(outcome.screen);
    outcome.screen = test_util::without_temporary_names(without_speeds(outcome.screen));
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const auto part = kept.find(name);
        outcome.files[part != kept.end() ? "part of " + part->second : name] =
            test_util::read_file(entry.path().string());
    }
    return outcome;
}

void expect_same(const Outcome& one, const Outcome& several) {
    EXPECT_EQ(one.screen, several.screen);
    EXPECT_EQ(one.status, several.status);
    ASSERT_EQ(one.files.size(), several.files.size());
    for (const auto& [name, bytes] : one.files) {
        ASSERT_EQ(several.files.count(name), 1u) << name;
        EXPECT_TRUE(several.files.at(name) == bytes) << name << " differs";
    }
}

// Blocks that compress and blocks that do not, so that the workers finish
// out of order.
Bytes input_of(size_t size) {
    Bytes data = test_util::random_bytes(size, 11);
    for (size_t k = 0; k < size; ++k) {
        if ((k / BLOCK_SIZE) % 2 == 0) data[k] = static_cast<uint8_t>("several workers, one screen "[k % 28]);
    }
    return data;
}

Bytes archive_of(const Bytes& data) {
    TempDir dir;
    test_util::write_file(dir.file("in.bin"), data);
    int status = 0;
    test_util::capture_output(
        dir.path(), [] { return compress_command_with(false, "in.bin", "in.zorv", 1); }, &status);
    return test_util::read_file(dir.file("in.zorv"));
}

// Offset of the header of data chunk `k` (from 0) in an archive of one entry.
size_t data_chunk_at(const Bytes& archive, unsigned k) {
    size_t p = sizeof ARCHIVE_MAGIC;
    for (unsigned chunk = 0; chunk <= k; ++chunk) p += CHUNK_HEADER_SIZE + load_le32(archive.data() + p + 4);
    return p;
}

struct PackCase {
    const char* id;
    size_t size;
    uint64_t limit;
};

void PrintTo(const PackCase& c, std::ostream* os) { *os << c.id; }

class Workers : public ::testing::TestWithParam<PackCase> {};

TEST_P(Workers, PackTheSame) {
    const PackCase& c = GetParam();
#if defined(_WIN32)
    if (c.limit > 0 && test_util::SmallDisk().path().empty()) GTEST_SKIP() << test_util::SmallDisk::missing();
#endif
    const std::map<std::string, Bytes> given = {{"in.bin", input_of(c.size)}};
    auto pack = [](unsigned cpus) {
        return [cpus](const std::string& at) {
            return compress_command_with(false, (at + "in.bin").c_str(), "in.zorv", cpus);
        };
    };
    const Outcome one = run(given, c.limit, pack(1));
    EXPECT_EQ(one.screen.find("\nError: writing in.zorv failed!\n") != std::string::npos, c.limit > 0) << one.screen;
    expect_same(one, run(given, c.limit, pack(kSeveral)));
}

INSTANTIATE_TEST_SUITE_P(Inputs, Workers,
                         ::testing::Values(PackCase{"WholeBlocks", 3 * size_t{BLOCK_SIZE}, 0},
                                           PackCase{"ShortLastBlock", 3 * size_t{BLOCK_SIZE} + 1000, 0},
                                           PackCase{"StoredLastBlock", 3 * size_t{BLOCK_SIZE} + 10, 0},
                                           // The disk fills up inside the second block's chunk, the
                                           // first that does not compress.
                                           PackCase{"FullDisk", 3 * size_t{BLOCK_SIZE}, BLOCK_SIZE / 2}),
                         [](const ::testing::TestParamInfo<PackCase>& p) { return std::string(p.param.id); });

struct RestoreCase {
    const char* id;
    std::function<void(Bytes&)> damage;
    uint64_t limit;
    double blocks_kept;  // in.bin afterwards: that many blocks of the input
};

void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.id; }

class WorkersRestore : public ::testing::TestWithParam<RestoreCase> {};

TEST_P(WorkersRestore, RestoreTheSame) {
    const RestoreCase& c = GetParam();
#if defined(_WIN32)
    if (c.limit > 0 && test_util::SmallDisk().path().empty()) GTEST_SKIP() << test_util::SmallDisk::missing();
#endif
    static const Bytes input = input_of(4 * size_t{BLOCK_SIZE} + 1000);
    static const Bytes archive = archive_of(input);
    Bytes damaged = archive;
    c.damage(damaged);
    const std::map<std::string, Bytes> given = {{"x.zorv", damaged}};
    auto restore = [](unsigned cpus, bool in_order = false) {
        return [=](const std::string& at) { return extract_command_with((at + "x.zorv").c_str(), cpus, in_order); };
    };
    Outcome one = run(given, c.limit, restore(1));
    // As a run that restores one block at a time leaves it: the blocks before
    // the damage, and nothing after them, kept as a part of a failed file.
    // On Windows the small disk is full inside the first block, at 1 MiB.
    const size_t kept =
        c.limit > 0 && !test_util::kResourceLimits ? size_t{1} << 20 : static_cast<size_t>(c.blocks_kept * BLOCK_SIZE);
    EXPECT_TRUE(one.files[one.status == 0 ? "in.bin" : "part of in.bin"] ==
                Bytes(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(kept)));
    EXPECT_EQ(one.files.count("in.bin"), one.status == 0 ? 1u : 0u);
    expect_same(one, run(given, c.limit, restore(kSeveral)));
    // Read in order, as from a pipe: the same again.
    expect_same(one, run(given, c.limit, restore(kSeveral, true)));
}

INSTANTIATE_TEST_SUITE_P(
    Archives, WorkersRestore,
    ::testing::Values(RestoreCase{"Sound", [](Bytes&) {}, 0, 4 + 1000.0 / BLOCK_SIZE},
                      RestoreCase{"WrongExtraInTheMiddle",
                                  [](Bytes& a) { store_le32(a.data() + data_chunk_at(a, 2) + 12, BLOCK_SIZE - 1); }, 0,
                                  2},
                      RestoreCase{"UnknownMethodInTheMiddle",
                                  [](Bytes& a) { store_le16(a.data() + data_chunk_at(a, 1) + 2, 7); }, 0, 1},
                      RestoreCase{"CutInsideABlock", [](Bytes& a) { a.resize(data_chunk_at(a, 3) + 1000); }, 0, 3},
                      // Passed over, it ends the walk normally, also when it is read through.
                      RestoreCase{"OtherChunkRunsPastTheEnd",
                                  [](Bytes& a) {
                                      const uint8_t header[16] = {5, 0, 0, 0, 0xE8, 3};  // id 5, size 1000
                                      a.insert(a.end(), header, header + sizeof header);
                                      a.resize(a.size() + 10);
                                  },
                                  0, 4 + 1000.0 / BLOCK_SIZE},
                      RestoreCase{"SecondEntryInTheMiddle",
                                  [](Bytes& a) {
                                      const size_t at = data_chunk_at(a, 2);
                                      Bytes entry(a.begin() + sizeof ARCHIVE_MAGIC, a.begin() + data_chunk_at(a, 0));
                                      entry[CHUNK_HEADER_SIZE + 10] = 'j';  // another name: jn.bin
                                      a.insert(a.begin() + static_cast<std::ptrdiff_t>(at), entry.begin(), entry.end());
                                  },
                                  0, 2},
                      // The disk fills up inside the third block.
                      RestoreCase{"FullDisk", [](Bytes&) {}, 2 * uint64_t{BLOCK_SIZE} + BLOCK_SIZE / 2, 2.5}),
    [](const ::testing::TestParamInfo<RestoreCase>& p) { return std::string(p.param.id); });

// Where memory for a second block's buffers cannot be had, the run goes on
// with one and leaves what a run with all of them leaves. The limits leave
// room for one block's buffers and not for two.
TEST(WorkersMemory, FewerWorkersWhenMemoryIsShort) {
#if defined(_WIN32)
    GTEST_SKIP() << "no address-space limit on Windows; wine ignores the memory limit of a job, the nearest form";
#else
    if (test_util::kSanitized) GTEST_SKIP() << "the sanitizers reserve address space of their own";
    if (test_util::kEmulated) GTEST_SKIP() << "qemu-user ignores RLIMIT_AS";
    TempDir dir;
    const Bytes input = input_of(3 * size_t{BLOCK_SIZE} + 1000);
    test_util::write_file(dir.file("in.bin"), input);
    auto masked = [](const test_util::RunResult& r) { return without_speeds(r.out); };
    const test_util::RunResult free_pack = test_util::run_zorv({"in.bin", "free.zorv"}, dir.path());
    const test_util::RunResult short_pack =
        test_util::run_limited({"in.bin", "short.zorv"}, dir.path(), RLIMIT_AS, 40u << 20);
    EXPECT_EQ(short_pack.status, 0);
    std::string expected = masked(free_pack);
    expected.replace(expected.rfind("free.zorv"), 9, "short.zorv");
    EXPECT_EQ(masked(short_pack), expected);
    EXPECT_TRUE(test_util::read_file(dir.file("short.zorv")) == test_util::read_file(dir.file("free.zorv")));

    fs::create_directory(dir.file("out"));
    const test_util::RunResult short_restore =
        test_util::run_limited({"-u", "../free.zorv"}, dir.file("out"), RLIMIT_AS, 36u << 20);
    EXPECT_EQ(short_restore.status, 0) << short_restore.out;
    EXPECT_TRUE(test_util::read_file(dir.file("out/in.bin")) == input);
#endif
}

}  // namespace
