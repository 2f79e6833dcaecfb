// SPDX-License-Identifier: BSD-2-Clause
// Fault injection: the program run against a full disk, inputs that cannot be
// read or that change size while they are read, folders that refuse new files,
// and archives cut short or damaged one byte at a time. In every case the run
// must fail with status 255 and an error line, or, where the damage is beyond
// what the format lets the reader see, restore exactly what it could check.

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/codec.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::FileSizeLimit;
using test_util::read_file;
using test_util::run_zorv;
using test_util::TempDir;
using test_util::write_file;
#if defined(_WIN32)
using test_util::rlim_t;
#endif
using Bytes = std::vector<uint8_t>;

// The program's output after the banner line.
std::string after_banner(const test_util::RunResult& r) {
    size_t end = r.out.find('\n');
    return end == std::string::npos ? std::string() : r.out.substr(end + 1);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

void put_le(Bytes& out, uint32_t value, int width) {
    for (int k = 0; k < width; ++k) out.push_back(static_cast<uint8_t>(value >> (8 * k)));
}

void put_header(Bytes& out, uint32_t id, uint32_t options, uint32_t size, uint32_t extra) {
    put_le(out, id, 2);
    put_le(out, options, 2);
    put_le(out, size, 4);
    put_le(out, 0, 4);
    put_le(out, extra, 4);
}

// Where each part of a hand-made archive lies, for judging what damage there
// can do.
struct Layout {
    Bytes bytes;
    size_t entry_begin = 0, entry_end = 0;  // the file entry, header and payload
    size_t name_begin = 0, name_end = 0;    // name_length and the name's bytes
    size_t data_begin = 0;                  // the first data chunk; data runs to the end
};

// The file `name` holding `content`, cut into data chunks of the given
// lengths, each laid out the way the writer lays out a block (stored under 32
// bytes, a block stream otherwise).
Layout archive_of(const std::string& name, const Bytes& content, const std::vector<size_t>& pieces) {
    Layout layout;
    Bytes& out = layout.bytes;
    out.assign(ARCHIVE_MAGIC, ARCHIVE_MAGIC + sizeof ARCHIVE_MAGIC);
    layout.entry_begin = out.size();
    put_header(out, CHUNK_FILE_ENTRY, 0, static_cast<uint32_t>(name.size() + 11), 0);
    put_le(out, static_cast<uint32_t>(content.size()), 4);
    put_le(out, 0, 4);
    layout.name_begin = out.size();
    put_le(out, static_cast<uint32_t>(name.size() + 1), 2);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
    layout.name_end = layout.entry_end = layout.data_begin = out.size();
    size_t at = 0;
    for (size_t length : pieces) {
        const uint8_t* block = content.data() + at;
        at += length;
        if (length < STORE_THRESHOLD) {
            put_header(out, CHUNK_DATA, METHOD_STORED, static_cast<uint32_t>(length), static_cast<uint32_t>(length));
            out.insert(out.end(), block, block + length);
        } else {
            Bytes stream(length + length / 255 + 1);
            int32_t z = compress_block(block, stream.data(), static_cast<uint32_t>(length));
            put_header(out, CHUNK_DATA, METHOD_BLOCK, static_cast<uint32_t>(z), static_cast<uint32_t>(length));
            out.insert(out.end(), stream.begin(), stream.begin() + z);
        }
    }
    return layout;
}

// Three data chunks: a compressible block, an incompressible one, a stored tail.
Bytes three_part_content() {
    Bytes content;
    for (int k = 0; k < 6; ++k)
        for (char c : std::string("parts ")) content.push_back(static_cast<uint8_t>(c));
    Bytes noise = test_util::random_bytes(40, 17);
    content.insert(content.end(), noise.begin(), noise.end());
    for (char c : std::string("stored end")) content.push_back(static_cast<uint8_t>(c));
    return content;  // 36 + 40 + 10 bytes
}

const std::vector<size_t> kThreeParts = {36, 40, 10};

// Runs `zorv -u` on `archive` with a fresh work folder as the current
// directory; the archive lies beside that folder, not in it.
struct Restore {
    test_util::RunResult run;
    std::set<std::string> outside;   // what else appeared beside the work folder
    std::vector<std::string> files;  // what appeared in the work folder (top level)
};

Restore restore(const TempDir& dir, const Bytes& archive) {
    std::error_code ignored;
    fs::remove_all(dir.file("work"), ignored);
    fs::create_directory(dir.file("work"));
    write_file(dir.file("archive.zorv"), archive);
    Restore result;
    result.run = run_zorv({"-u", "../archive.zorv"}, dir.file("work"));
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        std::string name = entry.path().filename().string();
        if (name != "work" && name != "archive.zorv") result.outside.insert(name);
    }
    for (const auto& entry : fs::directory_iterator(dir.file("work")))
        result.files.push_back(entry.path().filename().string());
    return result;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

}  // namespace

// ---- Writing to a full disk ------------------------------------------------

// The archive of an empty file is 8 + 16 + 10 + 6 bytes, all of it still in
// stdio's buffer when the completion line is due: only a checked flush can
// tell that none of it reached the disk. Under wine /dev/full is on drive Z:.
TEST(FaultFullDisk, WriterOfAnEmptyFileReportsTheLostArchive) {
    const std::string full = test_util::host_file("/dev/full");
    FILE* probe = std::fopen(full.c_str(), "rb");
    if (probe == nullptr) GTEST_SKIP() << "no " << full;
    std::fclose(probe);
    TempDir dir;
    write_file(dir.file("empty"), Bytes());
    auto r = run_zorv({"-f", "empty", full}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    std::string out = after_banner(r);
    EXPECT_TRUE(contains(out, "\nError: writing " + full + " failed!\n")) << out;
    EXPECT_FALSE(contains(out, "Completed")) << out;
}

// /dev/full cannot be reached through the reader: it creates files only under
// stored names, refuses absolute names and ".." and never opens an existing
// file for writing. A file size limit makes the disk "full" instead, at a
// chosen length. Both commands, with the failure in a large write call or only
// at the final flush or close. Windows has no such limit: there the files
// are written on a small disk that is full already, as if the limit were 0.
struct FullAt {
    size_t content;  // bytes of the file to pack or restore
    rlim_t limit;    // where the disk is full
};

void PrintTo(const FullAt& at, std::ostream* out) { *out << at.content << " bytes, full at " << at.limit; }

class FaultFileSizeLimit : public ::testing::TestWithParam<FullAt> {};

TEST_P(FaultFileSizeLimit, WriterReportsTheFailedWrite) {
#if defined(_WIN32)
    test_util::SmallDisk dir;
    if (dir.path().empty()) GTEST_SKIP() << test_util::SmallDisk::missing();
    write_file(dir.file("in.bin"), test_util::random_bytes(GetParam().content, 5));
    ASSERT_TRUE(dir.fill());
    test_util::RunResult r = run_zorv({"in.bin", "out.zorv"}, dir.path());
#else
    TempDir dir;
    write_file(dir.file("in.bin"), test_util::random_bytes(GetParam().content, 5));
    test_util::RunResult r;
    {
        FileSizeLimit limit(GetParam().limit);
        ASSERT_TRUE(limit.active());
        r = run_zorv({"in.bin", "out.zorv"}, dir.path());
    }
#endif
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    std::string out = after_banner(r);
    EXPECT_TRUE(contains(out, "\nError: writing out.zorv failed!\n")) << out;
    EXPECT_FALSE(contains(out, "Completed")) << out;
    EXPECT_FALSE(test_util::file_exists(dir.file("out.zorv")));
    EXPECT_TRUE(test_util::temporary_files(dir.path()).empty());
}

TEST_P(FaultFileSizeLimit, ReaderReportsTheFailedWriteAndFails) {
#if defined(_WIN32)
    test_util::SmallDisk dir;
    if (dir.path().empty()) GTEST_SKIP() << test_util::SmallDisk::missing();
#else
    TempDir dir;
#endif
    Bytes content = test_util::random_bytes(GetParam().content, 6);
    write_file(dir.file("data.bin"), content);
    ASSERT_EQ(run_zorv({"data.bin", "data.zorv"}, dir.path()).status, 0);
    fs::create_directory(dir.file("work"));
    test_util::RunResult r;
#if defined(_WIN32)
    ASSERT_TRUE(dir.fill());
    r = run_zorv({"-u", "../data.zorv"}, dir.file("work"));
#else
    {
        FileSizeLimit limit(GetParam().limit);
        ASSERT_TRUE(limit.active());
        r = run_zorv({"-u", "../data.zorv"}, dir.file("work"));
    }
#endif
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    std::string out = after_banner(r);
    EXPECT_TRUE(contains(out, "\nError: writing data.bin failed. Aborted.\n")) << out;
    Bytes restored = read_file(dir.file("work/data.bin"));
    EXPECT_LE(restored.size(), GetParam().limit);
    EXPECT_TRUE(is_prefix(restored, content)) << "what reached the disk must still be the file's own bytes";
}

INSTANTIATE_TEST_SUITE_P(Sizes, FaultFileSizeLimit,
                         ::testing::Values(FullAt{100000, 4096},  // fails inside a large write call
                                           FullAt{20, 1},         // a stored chunk: fails only at the close
                                           FullAt{3000, 1000}));  // a block within stdio's buffer: the close

// ---- Inputs that cannot be read -------------------------------------------

TEST(FaultUnreadable, FolderAsInputOfEitherCommand) {
    TempDir dir;
    fs::create_directory(dir.file("folder"));
    auto packed = run_zorv({"folder", "out.zorv"}, dir.path());
    EXPECT_EQ(packed.status, 255);
    EXPECT_EQ(packed.err, "");
    EXPECT_TRUE(contains(after_banner(packed), "Error: ")) << packed.out;
    // Whatever is left must not pass for an archive of something.
    EXPECT_LE(read_file(dir.file("out.zorv")).size(), sizeof ARCHIVE_MAGIC);

    auto restored = run_zorv({"-u", "folder"}, dir.path());
    EXPECT_EQ(restored.status, 255);
    EXPECT_EQ(restored.err, "");
    EXPECT_TRUE(contains(after_banner(restored), "Error: ")) << restored.out;
}

// /proc/self/mem opens, reports a length of 0 and fails every read at offset
// 0: the byte counts agree (0 of 0), so only the stream's error flag shows
// that nothing could be read. Under wine it is on drive Z:.
TEST(FaultUnreadable, InputWhoseReadsFail) {
    const std::string mem = test_util::host_file("/proc/self/mem");
    FILE* probe = std::fopen(mem.c_str(), "rb");
    if (probe == nullptr) GTEST_SKIP() << "no " << mem;
    std::fclose(probe);
    TempDir dir;
    auto r = run_zorv({mem, "out.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    std::string out = after_banner(r);
    EXPECT_TRUE(contains(out, "Error: reading " + mem + " failed!\n")) << out;
    EXPECT_FALSE(contains(out, "Completed")) << out;
}

// ---- Inputs that change size while they are read ---------------------------

// Files of the kernel's that report a length other than what they hold, the
// deterministic form of a file that grows or shrinks between the size test
// and the reads. Under wine they are on drive Z:.
struct ChangingInput {
    const char* path;
    bool grows;  // holds more than its reported length, else less
};

void PrintTo(const ChangingInput& input, std::ostream* out) { *out << input.path; }

class FaultChangingSize : public ::testing::TestWithParam<ChangingInput> {};

TEST_P(FaultChangingSize, WriterReportsTheReadFailure) {
    const std::string host = test_util::host_file(GetParam().path);
    const char* path = host.c_str();
    FILE* probe = std::fopen(path, "rb");
    if (probe == nullptr) GTEST_SKIP() << "no " << path;
    std::fseek(probe, 0, SEEK_END);
    long reported = std::ftell(probe);
    std::fseek(probe, 0, SEEK_SET);
    Bytes held(65536);
    size_t got = std::fread(held.data(), 1, held.size(), probe);
    std::fclose(probe);
    bool changes = GetParam().grows ? got > static_cast<size_t>(reported) : got < static_cast<size_t>(reported);
    if (!changes) GTEST_SKIP() << path << " reports " << reported << " bytes and holds " << got;

    TempDir dir;
    auto r = run_zorv({path, "out.zorv"}, dir.path());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    std::string out = after_banner(r);
    EXPECT_TRUE(contains(out, "\nError: reading " + std::string(path) + " failed!\n")) << out;
    EXPECT_FALSE(contains(out, "Completed")) << out;
}

INSTANTIATE_TEST_SUITE_P(Kernel, FaultChangingSize,
                         ::testing::Values(ChangingInput{"/proc/version", true},  // length 0, holds a line
                                           ChangingInput{"/sys/devices/system/cpu/online", false}));  // 4096

// ---- Folders that refuse new files ----------------------------------------

// The superuser writes into any folder whatever its permissions, so a test
// run as root uses /proc, whose top folder takes no new files from anyone.
// On Windows a read-only folder takes new files; only an access list refuses
// them, which wine does not enforce: there the host's /proc on drive Z: serves.
TEST(FaultNoWritePermission, NeitherCommandCanCreateItsOutput) {
    TempDir dir;
    std::string folder;
#if defined(_WIN32)
    std::error_code error;
    folder = test_util::host_file("/proc");
    if (!fs::is_directory(folder + "/self", error))
        GTEST_SKIP() << "no folder that refuses new files: a read-only folder takes them on Windows";
#else
    if (geteuid() == 0) {
        struct stat info;
        if (stat("/proc/self", &info) != 0) GTEST_SKIP() << "running as root and no /proc";
        folder = "/proc";
    } else {
        folder = dir.file("locked");
        fs::create_directory(folder);
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    }
#endif
    write_file(dir.file("a.txt"), "abc");
    ASSERT_EQ(run_zorv({"a.txt", "a.zorv"}, dir.path()).status, 0);

    std::string output = folder + "/zorv-fault-test.zorv";
    auto packed = run_zorv({"a.txt", output}, dir.path());
    EXPECT_EQ(packed.status, 255);
    EXPECT_EQ(after_banner(packed), "Error: could not create " + output + ". Aborted.\n\n");

    auto restored = run_zorv({"-u", dir.file("a.zorv")}, folder);
    EXPECT_EQ(restored.status, 255);
    EXPECT_EQ(restored.err, "");
    EXPECT_TRUE(contains(restored.out, "Can't create file a.txt. Skipped.\n")) << restored.out;
    EXPECT_FALSE(test_util::file_exists(folder + "/a.txt"));
}

// ---- Damaged archives ------------------------------------------------------

// Cut at every offset: below 8 bytes it is no archive; exactly the magic is an
// empty archive; any other cut loses part of the file, which must fail the
// run, and what was restored must be a prefix of the file.
TEST(FaultDamagedArchive, CutAtEveryOffset) {
    Bytes content = three_part_content();
    Bytes archive = archive_of("parts.bin", content, kThreeParts).bytes;
    TempDir dir;
    for (size_t cut = 0; cut < archive.size(); ++cut) {
        SCOPED_TRACE("archive cut to " + std::to_string(cut) + " of " + std::to_string(archive.size()) + " bytes");
        Restore r = restore(dir, Bytes(archive.begin(), archive.begin() + static_cast<long>(cut)));
        EXPECT_EQ(r.run.err, "");
        EXPECT_TRUE(r.outside.empty());
        if (cut == sizeof ARCHIVE_MAGIC) {
            EXPECT_EQ(r.run.status, 0);
            EXPECT_TRUE(r.files.empty());
            continue;
        }
        EXPECT_EQ(r.run.status, 255) << r.run.out;
        EXPECT_TRUE(contains(r.run.out, "Error: ")) << r.run.out;
        if (cut < sizeof ARCHIVE_MAGIC) {
            EXPECT_TRUE(contains(r.run.out, "is not a ZORV archive!")) << r.run.out;
        }
        // A failed file never takes its name: its part, if any, is kept and announced.
        EXPECT_LE(r.files.size(), 1u);
        for (const auto& name : r.files) {
            EXPECT_EQ(name.rfind("zorv-partial.", 0), 0u) << name;
            EXPECT_TRUE(contains(r.run.out, "Kept the restored part of parts.bin as " + name + ".\n")) << r.run.out;
            EXPECT_TRUE(is_prefix(read_file(dir.file("work/" + name)), content));
        }
    }
}

// Every byte inverted in turn (and, separately, its lowest bit: that turns
// '.' into '/'). With the checksum always 0 the reader cannot see a changed
// payload byte, so a run may succeed; but then it must have restored a file
// of the right length (sizes are checked), under the stored name unless the
// damage was in the name, with the right bytes unless the damage was in the
// data chunks. A run that restores nothing may succeed only when the damage
// hid the file entry itself (an unknown id, or a size outside 11..65536):
// the format passes over such a chunk and the data chunks after it.
TEST(FaultDamagedArchive, EveryByteFlipped) {
    Bytes content = three_part_content();
    Layout layout = archive_of("parts.bin", content, kThreeParts);
    TempDir dir;
    for (uint8_t mask : {uint8_t{0xFF}, uint8_t{0x01}}) {
        for (size_t at = 0; at < layout.bytes.size(); ++at) {
            SCOPED_TRACE("byte " + std::to_string(at) + " of " + std::to_string(layout.bytes.size()) + " xor " +
                         std::to_string(mask));
            Bytes damaged = layout.bytes;
            damaged[at] ^= mask;
            Restore r = restore(dir, damaged);
            EXPECT_EQ(r.run.err, "");
            ASSERT_TRUE(r.run.status == 0 || r.run.status == 255) << "status " << r.run.status;
            EXPECT_TRUE(r.outside.empty());
            EXPECT_LE(r.files.size(), 1u);
            if (r.run.status != 0) {
                EXPECT_TRUE(contains(r.run.out, "Error: ") || contains(r.run.out, "Skipped.")) << r.run.out;
                continue;
            }
            EXPECT_FALSE(contains(r.run.out, "Error")) << r.run.out;
            bool in_entry_header = at >= layout.entry_begin && at < layout.entry_begin + CHUNK_HEADER_SIZE;
            if (r.files.empty()) {
                // id (bytes 0-1) or size (bytes 4-7) of the entry's header.
                size_t field = at - layout.entry_begin;
                EXPECT_TRUE(in_entry_header && (field < 2 || (field >= 4 && field < 8)));
                continue;
            }
            bool in_name = (at >= layout.name_begin && at < layout.name_end) ||
                           (in_entry_header && at >= layout.entry_begin + 4 && at < layout.entry_begin + 8);
            bool in_data = at >= layout.data_begin;
            if (!in_name) {
                EXPECT_EQ(r.files[0], "parts.bin");
            }
            Bytes restored = read_file(dir.file("work/" + r.files[0]));
            EXPECT_EQ(restored.size(), content.size());
            if (!in_data) {
                EXPECT_EQ(restored, content);
            }
        }
    }
}
