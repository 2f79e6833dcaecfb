// SPDX-License-Identifier: BSD-2-Clause
// zorv -u on archives laid out byte by byte: the walk, the progress bar, every
// failure line, and the refusals that protect the user from crafted archives.

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/codec.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using test_util::TempDir;
using Bytes = std::vector<uint8_t>;

#if defined(_WIN32)
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

// Lays out an archive: the magic, then whatever chunks a test asks for, well
// formed or not.
class ArchiveBuilder {
public:
    ArchiveBuilder() : bytes_(ARCHIVE_MAGIC, ARCHIVE_MAGIC + sizeof ARCHIVE_MAGIC) {}

    ArchiveBuilder& header(uint32_t id, uint32_t options, uint32_t size, uint32_t checksum, uint32_t extra) {
        uint8_t h[CHUNK_HEADER_SIZE];
        store_le16(h + 0, id);
        store_le16(h + 2, options);
        store_le32(h + 4, size);
        store_le32(h + 8, checksum);
        store_le32(h + 12, extra);
        return raw(Bytes(h, h + sizeof h));
    }
    ArchiveBuilder& raw(const Bytes& bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // A file entry as the writer makes it: the name and its zero byte.
    ArchiveBuilder& entry(const std::string& name, uint32_t file_size, uint32_t checksum = 0) {
        Bytes name_bytes(name.begin(), name.end());
        name_bytes.push_back(0);
        return entry_with(file_size, static_cast<uint32_t>(name_bytes.size()), name_bytes, checksum);
    }
    // A file entry whose name_length and name bytes are chosen freely; the
    // header's size covers exactly the payload given.
    ArchiveBuilder& entry_with(uint32_t file_size, uint32_t name_length, const Bytes& name_bytes,
                               uint32_t checksum = 0) {
        Bytes payload(10, 0);
        store_le32(payload.data(), file_size);
        store_le16(payload.data() + 8, name_length);
        payload.insert(payload.end(), name_bytes.begin(), name_bytes.end());
        return chunk(CHUNK_FILE_ENTRY, 0, payload, 0, checksum);
    }
    ArchiveBuilder& chunk(uint32_t id, uint32_t options, const Bytes& payload, uint32_t extra, uint32_t checksum = 0) {
        header(id, options, static_cast<uint32_t>(payload.size()), checksum, extra);
        return raw(payload);
    }
    ArchiveBuilder& stored(const Bytes& data, uint32_t checksum = 0) {
        return chunk(CHUNK_DATA, METHOD_STORED, data, static_cast<uint32_t>(data.size()), checksum);
    }
    ArchiveBuilder& block(const Bytes& data, uint32_t checksum = 0) {
        return chunk(CHUNK_DATA, METHOD_BLOCK, stream_of(data), static_cast<uint32_t>(data.size()), checksum);
    }
    const Bytes& bytes() const { return bytes_; }

    static Bytes stream_of(const Bytes& data) {
        Bytes stream(data.size() + data.size() / 255 + 1);
        int32_t length = compress_block(data.data(), stream.data(), static_cast<uint32_t>(data.size()));
        stream.resize(static_cast<size_t>(length));
        return stream;
    }

private:
    Bytes bytes_;
};

Bytes bytes(const std::string& text) { return test_util::bytes_of(text); }

const std::string kArchive = "x.zorv";
const std::string kHead = "Archive: x.zorv";

// The two lines that open a file's bar: the dots, then the label again so
// that the marks overwrite the dots.
std::string bar(const std::string& name) {
    char label[20];
    reader_label(name.c_str(), label);
    std::string text = "\n";
    text += label;
    text.append(50, '.');
    text += "]\r";
    text += label;
    return text;
}
std::string marks(size_t count) { return std::string(count, '#'); }
std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

struct Restored {
    std::string out;  // what follows the banner line, temporary names as XXXXXX
    int status;
    std::string kept;  // the part of a failed file kept under a temporary name
    size_t kept_files;
};

// Kept parts are looked for in `folder`, where one is given.
Restored split_banner(const test_util::RunResult& r, const std::string& folder = "") {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("ZORV (", 0), 0u) << r.out;
    size_t line_end = r.out.find('\n');
    Restored restored{
        test_util::without_temporary_names(line_end == std::string::npos ? r.out : r.out.substr(line_end + 1)),
        r.status, "", 0};
    if (folder.empty()) return restored;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("zorv-partial.", 0) == 0)
            restored.kept += text_of(test_util::read_file(folder + "/" + entry.path().filename().string())),
                ++restored.kept_files;
    return restored;
}

// Writes the archive into `dir` and restores it there.
Restored restore(const TempDir& dir, const Bytes& archive) {
    test_util::write_file(dir.file(kArchive), archive);
    return split_banner(test_util::run_zorv({"-u", kArchive}, dir.path()), dir.path());
}

#if !defined(_WIN32)
Restored restore_limited(const TempDir& dir, const Bytes& archive, int resource, rlim_t limit) {
    test_util::write_file(dir.file(kArchive), archive);
    return split_banner(test_util::run_limited({"-u", kArchive}, dir.path(), resource, limit), dir.path());
}
#endif

std::string kept_line(const std::string& name) {
    return "Kept the restored part of " + name + " as zorv-partial.XXXXXX.\n";
}

// ---------------------------------------------------------------------------

TEST(Reader, RestoresTheSmallestArchiveWithItsExactOutput) {
    ArchiveBuilder archive;
    archive.entry("a.txt", 3).stored(bytes("abc"));
    const Bytes expected_layout = {0x89, 'J', 'I', 'X', 0x0D, 0x0A, 0x1A, 0x0A,                          // magic
                                   1,    0,   0,   0,   16,   0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0,  // entry
                                   3,    0,   0,   0,   0,    0,    0,    0,    6, 0,                    // fixed
                                   'a',  '.', 't', 'x', 't',  0,                                         // name
                                   17,   0,   0,   0,   3,    0,    0,    0,    0, 0, 0, 0, 3, 0, 0, 0,  // data
                                   'a',  'b', 'c'};
    ASSERT_EQ(archive.bytes(), expected_layout);

    TempDir dir;
    Restored r = restore(dir, archive.bytes());
    EXPECT_EQ(r.out, "Archive: x.zorv\n\na.txt           [" + std::string(50, '.') + "]\ra.txt           [" +
                         marks(50) + "\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text_of(test_util::read_file(dir.file("a.txt"))), "abc");

    // A second run meets the restored file and leaves it alone.
    test_util::write_file(dir.file("a.txt"), std::string("old"));
    r = restore(dir, archive.bytes());
    EXPECT_EQ(r.out, kHead + "\nFile a.txt already exists. Skipped.\n\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text_of(test_util::read_file(dir.file("a.txt"))), "old");
}

TEST(Reader, OpeningAndSignature) {
    TempDir dir;
    auto missing = split_banner(test_util::run_zorv({"-u", "none.zorv"}, dir.path()));
    EXPECT_EQ(missing.out, "Error: could not open none.zorv\n");
    EXPECT_EQ(missing.status, 255);

    Bytes magic(ARCHIVE_MAGIC, ARCHIVE_MAGIC + 8);
    Restored only_magic = restore(dir, magic);
    EXPECT_EQ(only_magic.out, kHead + "\n\n");
    EXPECT_EQ(only_magic.status, 0);

    std::vector<Bytes> not_archives = {Bytes(magic.begin(), magic.begin() + 7)};
    for (size_t i = 0; i < 8; ++i) {
        Bytes wrong = ArchiveBuilder().entry("a.txt", 0).bytes();
        wrong[i] ^= 0x20;
        not_archives.push_back(wrong);
    }
    for (const Bytes& candidate : not_archives) {
        Restored r = restore(dir, candidate);
        EXPECT_EQ(r.out, "Error: file x.zorv is not a ZORV archive!\n");
        EXPECT_EQ(r.status, 255);
    }
    EXPECT_FALSE(test_util::file_exists(dir.file("a.txt")));
}

// An empty file has no data: a chunk of it is damage, whatever its method,
// and the empty file stays.
TEST(Reader, DataOfAnEmptyEntryIsDamage) {
    for (uint32_t method : {METHOD_STORED, METHOD_BLOCK, 7u}) {
        TempDir dir;
        Restored r =
            restore(dir, ArchiveBuilder().entry("e.bin", 0).chunk(CHUNK_DATA, method, bytes("abc"), 3).bytes());
        EXPECT_EQ(r.out, kHead + "\n" + bar("e.bin") + "\nError: data exceeds the size of e.bin. Aborted.\n\n\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_FALSE(test_util::file_exists(dir.file("e.bin")));
        EXPECT_EQ(r.kept_files, 0u);
    }
}

// Entries of size 10 or below, or above the entry buffer, are not entries:
// the file being restored stays open and takes the data that follows.
TEST(Reader, EntriesOutsideTheAcceptedSizeArePassedOver) {
    for (uint32_t size : {10u, 65537u}) {
        TempDir dir;
        Bytes payload(size, 0);
        store_le32(payload.data(), 3);
        store_le16(payload.data() + 8, 3);
        payload[10 % size] = 'z';
        ArchiveBuilder archive;
        archive.entry("a.txt", 6).stored(bytes("abc")).chunk(CHUNK_FILE_ENTRY, 0, payload, 0).stored(bytes("def"));
        Restored r = restore(dir, archive.bytes());
        EXPECT_EQ(r.out, kHead + "\n" + bar("a.txt") + marks(25) + marks(25) + "\n\n") << size;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(text_of(test_util::read_file(dir.file("a.txt"))), "abcdef");
    }
}

TEST(Reader, NameLengthIsCutToThePayload) {
    TempDir dir;
    // name_length 200 in a 14-byte payload: the name is the 4 bytes there.
    Restored r = restore(dir, ArchiveBuilder().entry_with(2, 200, bytes("abcd")).stored(bytes("xy")).bytes());
    EXPECT_EQ(r.out, kHead + "\n" + bar("abcd") + marks(50) + "\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text_of(test_util::read_file(dir.file("abcd"))), "xy");

    // name_length 0: the empty name, which no file can have.
    r = restore(dir, ArchiveBuilder().entry_with(2, 0, bytes("q")).stored(bytes("xy")).bytes());
    EXPECT_EQ(r.out, kHead + "\nCan't create file . Skipped.\n\n\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(test_util::file_exists(dir.file("q")));
}

TEST(Reader, EachEntryEndsThePreviousFile) {
    TempDir dir;
    ArchiveBuilder archive;
    archive.entry("a.txt", 3).stored(bytes("abc")).entry("b.txt", 2).stored(bytes("xy"));
    Restored r = restore(dir, archive.bytes());
    EXPECT_EQ(r.out, kHead + "\n" + bar("a.txt") + marks(50) + "\n" + bar("b.txt") + marks(50) + "\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text_of(test_util::read_file(dir.file("a.txt"))), "abc");
    EXPECT_EQ(text_of(test_util::read_file(dir.file("b.txt"))), "xy");

    // A file that the next entry closes short is reported right after its bar.
    TempDir short_dir;
    ArchiveBuilder short_archive;
    short_archive.entry("a.txt", 5).stored(bytes("abc")).entry("b.txt", 2).stored(bytes("xy"));
    r = restore(short_dir, short_archive.bytes());
    EXPECT_EQ(r.out, kHead + "\n" + bar("a.txt") + marks(30) +
                         "\nError: a.txt is incomplete: 3 of 5 bytes restored.\n" + kept_line("a.txt") + "\n" +
                         bar("b.txt") + marks(50) + "\n\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(test_util::file_exists(short_dir.file("a.txt")));
    EXPECT_EQ(r.kept, "abc");
    EXPECT_EQ(text_of(test_util::read_file(short_dir.file("b.txt"))), "xy");
}

TEST(Reader, EntryChecksumMismatchEndsTheRun) {
    TempDir dir;
    ArchiveBuilder archive;
    archive.entry("a.txt", 3).stored(bytes("abc")).entry("b.txt", 2, 1).stored(bytes("xy"));
    Restored r = restore(dir, archive.bytes());
    EXPECT_EQ(r.out, kHead + "\n" + bar("a.txt") + marks(50) + "\n" +
                         "\nError: checksum mismatch!\nGot 00000000 Expecting 00000001\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(text_of(test_util::read_file(dir.file("a.txt"))), "abc");
    EXPECT_FALSE(test_util::file_exists(dir.file("b.txt")));
}

// Chunks of other kinds cost nothing but their header, whatever size they
// claim: the next offset is formed in 64 bits and passed-over payloads are
// never read, so even one cut short at the end is no error.
TEST(Reader, PassedOverChunksAreLocatedByTheirHeaderAlone) {
    struct Case {
        const char* what;
        std::function<void(ArchiveBuilder&)> tail;
    };
    const std::vector<Case> cases = {
        {"unknown id inside", [](ArchiveBuilder& a) { a.chunk(5, 0, Bytes(100, 0xEE), 0).stored(bytes("abc")); }},
        {"unknown id reaching past 4 GiB",
         [](ArchiveBuilder& a) { a.stored(bytes("abc")).header(5, 0, 0xFFFFFFFF, 0, 0); }},
        {"unknown id cut short",
         [](ArchiveBuilder& a) { a.stored(bytes("abc")).header(5, 0, 100, 0, 0).raw(Bytes(10, 0xEE)); }},
        // p + 16 + size is 2^32 + 8 here: a 32-bit sum would land on the entry
        // again, and again.
        {"32-bit sum would wrap to the entry",
         [](ArchiveBuilder& a) { a.stored(bytes("abc")).header(5, 0, 0xFFFFFFFFu - 59 - 16 + 1 + 8, 0, 0); }},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ArchiveBuilder archive;
        archive.entry("a.txt", 3);
        c.tail(archive);
        // A reader that wrapped the offset would walk in circles: the CPU
        // limit turns that into a failure instead of a hang. Windows has
        // none; there the test's own time limit fails it.
#if defined(_WIN32)
        Restored r = restore(dir, archive.bytes());
#else
        Restored r = restore_limited(dir, archive.bytes(), RLIMIT_CPU, 10);
#endif
        EXPECT_EQ(r.out, kHead + "\n" + bar("a.txt") + marks(50) + "\n\n") << c.what;
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(text_of(test_util::read_file(dir.file("a.txt"))), "abc") << c.what;
    }
}

// One row per way a data chunk can fail (or narrowly not fail): the archive
// holds the entry f.bin and the chunks of the row.
struct DataCase {
    const char* id;
    uint32_t file_size;
    std::function<void(ArchiveBuilder&)> chunks;
    std::string after_bar;  // output between the bar and the final "\n\n"
    int status;
    std::string left;  // what was restored: f.bin, or the kept part of a failed run
};

void PrintTo(const DataCase& c, std::ostream* os) { *os << c.id; }

class ReaderData : public ::testing::TestWithParam<DataCase> {};

TEST_P(ReaderData, PrintsLeavesAndReturns) {
    const DataCase& c = GetParam();
    TempDir dir;
    ArchiveBuilder archive;
    archive.entry("f.bin", c.file_size);
    c.chunks(archive);
    Restored r = restore(dir, archive.bytes());
    // A failed file never takes its name; a part of it is kept, or nothing.
    const bool failed = c.status != 0;
    EXPECT_EQ(r.out, kHead + "\n" + bar("f.bin") + c.after_bar + (failed && !c.left.empty() ? kept_line("f.bin") : "") +
                         "\n\n");
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(test_util::file_exists(dir.file("f.bin")), !failed);
    EXPECT_EQ(text_of(test_util::read_file(dir.file("f.bin"))), failed ? "" : c.left);
    EXPECT_EQ(r.kept, failed ? c.left : "");
}

const std::string kAbcdefStream = text_of(ArchiveBuilder::stream_of(bytes("abcdef")));

INSTANTIATE_TEST_SUITE_P(
    Chunks, ReaderData,
    ::testing::Values(
        DataCase{"BlockRestores", 6, [](ArchiveBuilder& a) { a.block(bytes("abcdef")); }, marks(50), 0, "abcdef"},
        // Stored data of any length goes through the entry buffer piece by piece.
        DataCase{"StoredLongerThanTheEntryBuffer", 200000,
                 [](ArchiveBuilder& a) { a.stored(test_util::random_bytes(200000, 9)); }, marks(50), 0,
                 text_of(test_util::random_bytes(200000, 9))},
        DataCase{"StoredChecksumMismatchKeepsTheBytes", 3, [](ArchiveBuilder& a) { a.stored(bytes("abc"), 1); },
                 "\nError: checksum mismatch. Aborted.\nGot 00000000 Expecting 00000001\n", 255, "abc"},
        // An empty stored payload keeps the seed 1, which no field of 0 matches.
        DataCase{"EmptyStoredFailsAgainstZero", 3, [](ArchiveBuilder& a) { a.stored({}).stored(bytes("abc")); },
                 "\nError: checksum mismatch. Aborted.\nGot 00000001 Expecting 00000000\n", 255, ""},
        DataCase{"EmptyStoredMatchesOne", 3, [](ArchiveBuilder& a) { a.stored({}, 1).stored(bytes("abc")); }, marks(50),
                 0, "abc"},
        DataCase{"BlockChecksumMismatchWritesNothing", 6, [](ArchiveBuilder& a) { a.block(bytes("abcdef"), 1); },
                 "\nError: checksum mismatch. Skipped.\nGot 00000000 Expecting 00000001\n", 255, ""},
        DataCase{"BlockOfAnotherLength", 6,
                 [](ArchiveBuilder& a) { a.chunk(CHUNK_DATA, METHOD_BLOCK, bytes(kAbcdefStream), 5); },
                 "\nError: decompression failed. Skipped.\n", 255, ""},
        DataCase{
            "BlockLongerThanExtraIsStoppedAtItsRoom", 9,
            [](ArchiveBuilder& a) { a.chunk(CHUNK_DATA, METHOD_BLOCK, bytes(kAbcdefStream), 3).stored(bytes("abc")); },
            "\nError: decompression failed. Skipped.\n", 255, ""},
        DataCase{"MalformedStream", 3, [](ArchiveBuilder& a) { a.chunk(CHUNK_DATA, METHOD_BLOCK, {0xFF}, 3); },
                 "\nError: decompression failed. Skipped.\n", 255, ""},
        DataCase{"EmptyBlockOfZeroBytesKeepsTheFileOpen", 3,
                 [](ArchiveBuilder& a) { a.chunk(CHUNK_DATA, METHOD_BLOCK, {}, 0).stored(bytes("abc")); }, marks(50), 0,
                 "abc"},
        DataCase{"EmptyBlockOfThreeBytes", 3, [](ArchiveBuilder& a) { a.chunk(CHUNK_DATA, METHOD_BLOCK, {}, 3); },
                 "\nError: decompression failed. Skipped.\n", 255, ""},
        DataCase{"UnknownMethod", 3,
                 [](ArchiveBuilder& a) { a.chunk(CHUNK_DATA, 2, bytes("abc"), 3).stored(bytes("abc")); },
                 "\nError: unknown compression method (2)\n", 255, ""},
        // Overflow: refused before any of the chunk is written, so the bar
        // never passes 50 marks.
        DataCase{"StoredPastTheEntry", 3, [](ArchiveBuilder& a) { a.stored(bytes("abcd")); },
                 "\nError: data exceeds the size of f.bin. Aborted.\n", 255, ""},
        DataCase{"BlockPastTheEntry", 3, [](ArchiveBuilder& a) { a.block(bytes("abcdef")); },
                 "\nError: data exceeds the size of f.bin. Aborted.\n", 255, ""},
        DataCase{"SecondChunkPastTheEntry", 4, [](ArchiveBuilder& a) { a.stored(bytes("abc")).stored(bytes("de")); },
                 marks(37) + "\nError: data exceeds the size of f.bin. Aborted.\n", 255, "abc"},
        // Allocation bombs: sizes no writer makes, refused from the header.
        DataCase{"BlockLongerThanABlock", 0xFFFFFFFF,
                 [](ArchiveBuilder& a) { a.header(CHUNK_DATA, METHOD_BLOCK, 10, 0, BLOCK_SIZE + 1).raw(Bytes(10)); },
                 "\nError: decompression failed. Skipped.\n", 255, ""},
        DataCase{"StreamLongerThanAnyBlockNeeds", 0xFFFFFFFF,
                 [](ArchiveBuilder& a) { a.header(CHUNK_DATA, METHOD_BLOCK, MAX_BLOCK_STREAM + 1, 0, 3); },
                 "\nError: decompression failed. Skipped.\n", 255, ""},
        // Truncation of what must be read.
        DataCase{"StoredPayloadCut", 3,
                 [](ArchiveBuilder& a) { a.header(CHUNK_DATA, METHOD_STORED, 3, 0, 3).raw(bytes("ab")); },
                 "\nError: archive x.zorv is truncated.\n", 255, ""},
        DataCase{"BlockPayloadCut", 6,
                 [](ArchiveBuilder& a) {
                     a.header(CHUNK_DATA, METHOD_BLOCK, static_cast<uint32_t>(kAbcdefStream.size()), 0, 6)
                         .raw(bytes(kAbcdefStream.substr(0, 3)));
                 },
                 "\nError: archive x.zorv is truncated.\n", 255, ""},
        // The cut is the one report: the file is not called incomplete too.
        DataCase{"HeaderCut", 6, [](ArchiveBuilder& a) { a.stored(bytes("abc")).raw({17, 0, 0, 0, 3}); },
                 marks(25) + "\nError: archive x.zorv is truncated.\n", 255, "abc"},
        DataCase{"IncompleteAtTheEnd", 5, [](ArchiveBuilder& a) { a.stored(bytes("abc")); },
                 marks(30) + "\nError: f.bin is incomplete: 3 of 5 bytes restored.\n", 255, "abc"},
        DataCase{"IncompleteByOneByte", 4, [](ArchiveBuilder& a) { a.stored(bytes("abc")); },
                 marks(37) + "\nError: f.bin is incomplete: 3 of 4 bytes restored.\n", 255, "abc"},
        DataCase{"ExactlyComplete", 3, [](ArchiveBuilder& a) { a.stored(bytes("abc")); }, marks(50), 0, "abc"}),
    [](const ::testing::TestParamInfo<DataCase>& param_info) { return std::string(param_info.param.id); });

// Data met before any file entry the walk handled is damage; entries that
// were handled but restore nothing, and chunks of other kinds, are not.
struct OrphanCase {
    const char* id;
    std::function<void(ArchiveBuilder&)> chunks;
    bool existing;  // a.txt is there before the run
    std::string after_head;
    int status;
};

void PrintTo(const OrphanCase& c, std::ostream* os) { *os << c.id; }

class ReaderOrphanData : public ::testing::TestWithParam<OrphanCase> {};

TEST_P(ReaderOrphanData, FailsOnlyWithoutAnyEntry) {
    const OrphanCase& c = GetParam();
    TempDir dir;
    if (c.existing) test_util::write_file(dir.file("a.txt"), std::string("old"));
    ArchiveBuilder archive;
    c.chunks(archive);
    Restored r = restore(dir, archive.bytes());
    EXPECT_EQ(r.out, kHead + c.after_head + "\n\n");
    EXPECT_EQ(r.status, c.status);
}

const std::string kOrphan = "\nError: archive x.zorv has data without a file entry.\n";
const std::string kRestoredA = "\n" + bar("a.txt") + marks(50);

INSTANTIATE_TEST_SUITE_P(
    Walk, ReaderOrphanData,
    ::testing::Values(
        OrphanCase{"NoEntryAtAll", [](ArchiveBuilder& a) { a.stored(bytes("abc")).block(bytes("abcdef")); }, false,
                   kOrphan, 255},
        OrphanCase{"EntryWithADamagedId",
                   [](ArchiveBuilder& a) {
                       Bytes entry = ArchiveBuilder().entry("a.txt", 3).bytes();
                       entry[8] = 2;  // the entry's id
                       a.raw(Bytes(entry.begin() + 8, entry.end())).stored(bytes("abc"));
                   },
                   false, kOrphan, 255},
        OrphanCase{"EntryTooShortToBeOne",
                   [](ArchiveBuilder& a) { a.chunk(CHUNK_FILE_ENTRY, 0, Bytes(10, 0), 0).stored(bytes("abc")); }, false,
                   kOrphan, 255},
        OrphanCase{"MagicAlone", [](ArchiveBuilder&) {}, false, "", 0},
        OrphanCase{"OtherKindsBeforeTheEntry",
                   [](ArchiveBuilder& a) { a.chunk(5, 0, Bytes(7, 1), 0).entry("a.txt", 3).stored(bytes("abc")); },
                   false, kRestoredA, 0},
        OrphanCase{"DataOfASkippedFile", [](ArchiveBuilder& a) { a.entry("a.txt", 3).stored(bytes("abc")); }, true,
                   "\nFile a.txt already exists. Skipped.\n", 0}),
    [](const ::testing::TestParamInfo<OrphanCase>& param_info) { return std::string(param_info.param.id); });

TEST(Reader, EntryPayloadCut) {
    TempDir dir;
    Bytes archive = ArchiveBuilder().entry("a.txt", 3).bytes();
    archive.erase(archive.end() - 2, archive.end());
    Restored r = restore(dir, archive);
    EXPECT_EQ(r.out, kHead + "\n\nError: archive x.zorv is truncated.\n\n\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(test_util::file_exists(dir.file("a.txt")));
}

TEST(Reader, SafeNames) {
    for (const char* name : {"a", "dir/x.bin", "...", "..a", "a..", "./a", "a/./b", "a\\..\\b", ""})
        EXPECT_TRUE(is_safe_posix_name(name)) << name;
    for (const char* name : {"/a", "/", "..", "../a", "a/..", "a/../b", "a//../b", "../"})
        EXPECT_FALSE(is_safe_posix_name(name)) << name;
}

// Names that would reach outside the current folder are refused and their
// data passed over; the walk goes on to the next entry.
TEST(Reader, UnsafeNamesAreRefused) {
    TempDir root;
    fs::create_directory(root.file("work"));
    fs::create_directory(root.file("work/sub"));
    std::string absolute = root.file("abs.txt");
    std::vector<std::string> names = {absolute, "../up.txt", "sub/../../up.txt"};
    // Links that are already there, to a folder outside and to one inside.
    if (!kWindows) {
        fs::create_directory_symlink(root.path(), root.file("work/out"));
        fs::create_directory_symlink("..", root.file("work/sub/up"));
        fs::create_directory_symlink("sub", root.file("work/in"));
        names.insert(names.end(), {"out/up.txt", "sub/up/up.txt", "in/x"});
    }
#if defined(_WIN32)
    // What an archive from Linux may hold that leaves the folder, names a
    // device or a stream, loses its last character or enters a folder of
    // another name (an 8.3 alias) on Windows.
    names.insert(names.end(), {"..\\up.txt", "sub\\..\\..\\up.txt", "C:up.txt", "\\up.txt", "nul", "con", "nul.txt",
                               "up.", "up ", "sub:up"});
    fs::create_directory(root.file("work/longfoldername"));
    wchar_t alias[MAX_PATH] = {};
    const DWORD got = GetShortPathNameW(fs::path(root.file("work/longfoldername")).wstring().c_str(), alias, MAX_PATH);
    const std::string short_name = fs::path(std::wstring(alias, got)).filename().string();
    if (short_name != "longfoldername") names.push_back(short_name + "\\x");
#endif
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        ArchiveBuilder archive;
        archive.entry(name, 3).stored(bytes("abc")).entry("ok.txt", 2).stored(bytes("xy"));
        test_util::write_file(root.file("work/" + kArchive), archive.bytes());
        Restored r = split_banner(test_util::run_zorv({"-u", kArchive}, root.file("work")));
        EXPECT_EQ(r.out, kHead + "\nUnsafe file name " + name + ". Skipped.\n\n" + bar("ok.txt") + marks(50) + "\n\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(text_of(test_util::read_file(root.file("work/ok.txt"))), "xy");
        fs::remove(root.file("work/ok.txt"));
    }
    EXPECT_FALSE(test_util::file_exists(absolute));
    EXPECT_FALSE(test_util::file_exists(root.file("up.txt")));
    EXPECT_FALSE(test_util::file_exists(root.file("work/up.txt")));
    EXPECT_FALSE(test_util::file_exists(root.file("work/sub/x")));
    EXPECT_FALSE(test_util::file_exists(root.file("work/up")));
    EXPECT_FALSE(test_util::file_exists(root.file("work/sub")) && !fs::is_directory(root.file("work/sub")));
    EXPECT_FALSE(test_util::file_exists(root.file("work/longfoldername/x")));
    if (kWindows) GTEST_SKIP() << "not run on Windows: the names through links (symbolic links need a privilege)";
}

// A stored name reaches the terminal with its control codes masked, the
// bar's label included, and the file is created under the exact bytes.
// Windows takes no name with a byte from 1 to 31 or that is not UTF-8: those
// are refused there (`on_windows` false), masked all the same.
TEST(Reader, ControlCodesInNamesArePrintedAsQuestionMarks) {
    struct Case {
        std::string name, shown;
        bool on_windows;
    };
    const Case cases[] = {
        {"a\x1B]52;c;QUJD\x07"
         "b",
         "a?]52;c;QUJD?b", false},                    // sets the clipboard
        {"x\r\x1B[2KAll OK", "x??[2KAll OK", false},  // erases the line
        {"line\nError: forged", "line?Error: forged", false},
        {"del\x7F\x01", "del??", false},
        {"c1\xC2\x9B"
         "31m\xC2\x80",
         "c1?31m?", true},                                                // C1 controls in UTF-8
        {"caf\xC3\xA9 \xC2\xA0\xC2", "caf\xC3\xA9 \xC2\xA0\xC2", false},  // printable, and a lone lead byte
        {"raw\x9B"
         "31m\x9D\xFF",
         "raw?31m?\xFF", false},  // 8-bit CSI and OSC outside any character; 0xFF is no control
        {"\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC", true},  // 0x97, 0x9C inside characters
        {"txt.\xE2\x80\xAE"
         "exe\xE2\x81\xA6\xE2\x81\xA9",
         "txt.?exe??", true},  // bidirectional override and isolates
    };
    for (const auto& [name, shown, on_windows] : cases) {
        TempDir dir;
        Restored r = restore(dir, ArchiveBuilder().entry(name, 3).stored(bytes("abc")).entry(name, 3).bytes());
        if (kWindows && !on_windows) {
            const std::string refused = "Unsafe file name " + shown + ". Skipped.\n";
            EXPECT_EQ(r.out, kHead + "\n" + refused + "\n" + refused + "\n\n");
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
            continue;
        }
        EXPECT_EQ(r.out, kHead + "\n" + bar(shown) + marks(50) + "\nFile " + shown + " already exists. Skipped.\n\n\n");
        EXPECT_EQ(text_of(test_util::read_file(dir.file(name))), "abc");
    }
}

// No folder of a stored name is ever made: the file is restored only where
// all of them stand, and a part of it is kept beside it.
TEST(Reader, NamesWithSubFoldersStayAsWritten) {
    TempDir dir;
    Bytes archive = ArchiveBuilder().entry("dir/sub/x.bin", 3).stored(bytes("abc")).bytes();
    for (const char* folder : {"", "dir"}) {
        if (*folder != '\0') fs::create_directory(dir.file(folder));
        Restored r = restore(dir, archive);
        EXPECT_EQ(r.out, kHead + "\nCan't create file dir/sub/x.bin. Skipped.\n\n\n") << folder;
        EXPECT_EQ(r.status, 255);
        EXPECT_FALSE(test_util::file_exists(dir.file(*folder != '\0' ? "dir/sub" : "dir")));
    }

    fs::create_directory(dir.file("dir/sub"));
    Restored r = restore(dir, archive);
    EXPECT_EQ(r.out, kHead + "\n" + bar("dir/sub/x.bin") + marks(50) + "\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text_of(test_util::read_file(dir.file("dir/sub/x.bin"))), "abc");

    r = restore(dir, ArchiveBuilder().entry("dir/sub/y.bin", 5).stored(bytes("abc")).bytes());
    EXPECT_EQ(r.out, kHead + "\n" + bar("dir/sub/y.bin") + marks(30) +
                         "\nError: dir/sub/y.bin is incomplete: 3 of 5 bytes restored.\n"
                         "Kept the restored part of dir/sub/y.bin as dir/sub/zorv-partial.XXXXXX.\n\n\n");
    EXPECT_EQ(test_util::temporary_files(dir.file("dir/sub")).size(), 1u);
}

// Whatever stands under the name, it is never replaced nor written through:
// a file the probe cannot read and a dangling link both fail the exclusive
// creation. Refusing an existing name alone keeps the status 0. On Windows
// the unreadable file is a read-only one; the rows that need what Windows
// lacks say what and are left out there, and the test then skips.
TEST(Reader, ExistingNamesAreNeverReplaced) {
    struct Case {
        const char* what;
        std::function<void(const TempDir&)> prepare;
        std::function<void(const TempDir&)> check;
        const char* windows_lacks = nullptr;
    };
    auto write_old = [](const std::string& path) { test_util::write_file(path, std::string("old")); };
    auto holds_old = [](const std::string& path) { EXPECT_EQ(text_of(test_util::read_file(path)), "old"); };
    const std::vector<Case> cases = {
        {"regular file", [&](const TempDir& d) { write_old(d.file("a.txt")); },
         [&](const TempDir& d) { holds_old(d.file("a.txt")); }},
        {"unreadable file",
         [&](const TempDir& d) {
             write_old(d.file("a.txt"));
             fs::permissions(d.file("a.txt"), fs::perms::none);
         },
         [&](const TempDir& d) {
             fs::permissions(d.file("a.txt"), fs::perms::owner_read | fs::perms::owner_write);
             holds_old(d.file("a.txt"));
         }},
        {"dangling link", [](const TempDir& d) { fs::create_symlink("target.txt", d.file("a.txt")); },
         [](const TempDir& d) {
             EXPECT_TRUE(fs::is_symlink(d.file("a.txt")));
             EXPECT_FALSE(test_util::file_exists(d.file("target.txt")));
         },
         "symbolic links need a privilege"},
        {"link to a file",
         [&](const TempDir& d) {
             write_old(d.file("target.txt"));
             fs::create_symlink("target.txt", d.file("a.txt"));
         },
         [&](const TempDir& d) {
             EXPECT_TRUE(fs::is_symlink(d.file("a.txt")));
             holds_old(d.file("target.txt"));
         },
         "symbolic links need a privilege"},
        {"folder", [](const TempDir& d) { fs::create_directory(d.file("a.txt")); },
         [](const TempDir& d) { EXPECT_TRUE(fs::is_empty(d.file("a.txt"))); }},
        // Opened for reading, a FIFO with no writer would block the run.
        {"FIFO",
         []([[maybe_unused]] const TempDir& d) {
#if !defined(_WIN32)
             ASSERT_EQ(mkfifo(d.file("a.txt").c_str(), 0600), 0);
#endif
         },
         [](const TempDir& d) { EXPECT_EQ(fs::status(d.file("a.txt")).type(), fs::file_type::fifo); }, "no FIFOs"},
    };
    std::string not_run;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (kWindows && c.windows_lacks != nullptr) {
            not_run += std::string(not_run.empty() ? "" : "; ") + c.what + ": " + c.windows_lacks;
            continue;
        }
        TempDir dir;
        c.prepare(dir);
        Restored r = restore(dir, ArchiveBuilder().entry("a.txt", 3).stored(bytes("abc")).bytes());
        EXPECT_EQ(r.out, kHead + "\nFile a.txt already exists. Skipped.\n\n\n");
        EXPECT_EQ(r.status, 0);
        c.check(dir);
    }
    if (!not_run.empty()) GTEST_SKIP() << "not run on Windows: " << not_run;
}

// From 2^24 bytes on the percentage is taken on counts shifted by 8: here 50,
// where the exact quotient 49.99 would give 24 marks.
TEST(Reader, LargeEntriesUseTheShiftedPercentage) {
    TempDir dir;
    const uint32_t entry_size = (1u << 24) + 255;
    Restored r = restore(dir, ArchiveBuilder().entry("big.bin", entry_size).block(Bytes(BLOCK_SIZE, 0)).bytes());
    EXPECT_EQ(r.out, kHead + "\n" + bar("big.bin") + marks(25) +
                         "\nError: big.bin is incomplete: 8388608 of 16777471 bytes restored.\n" +
                         kept_line("big.bin") + "\n\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.kept.size(), BLOCK_SIZE);
}

// Space is reserved on disk ahead of each block's write, but only for bytes
// already decoded: an entry that claims 1 GiB and brings one block holds the
// space of that block, not of the claim.
TEST(Reader, IncompleteFileHoldsOnlyTheSpaceOfWhatWasRestored) {
    TempDir dir;
    Restored r = restore(dir, ArchiveBuilder().entry("big.bin", 1u << 30).block(Bytes(BLOCK_SIZE, 7)).bytes());
    EXPECT_EQ(r.status, 255);
    std::string kept;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().filename().string().rfind("zorv-partial.", 0) == 0) kept = entry.path().string();
    uint64_t length = 0, allocated = 0;
#if defined(_WIN32)
    const HANDLE file = CreateFileA(kept.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILE_STANDARD_INFO info{};
    const bool known = GetFileInformationByHandleEx(file, FileStandardInfo, &info, sizeof info) != 0;
    CloseHandle(file);
    ASSERT_TRUE(known);
    length = static_cast<uint64_t>(info.EndOfFile.QuadPart);
    allocated = static_cast<uint64_t>(info.AllocationSize.QuadPart);
#else
    struct stat st {};
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    length = static_cast<uint64_t>(st.st_size);
    allocated = static_cast<uint64_t>(st.st_blocks) * 512;
#endif
    EXPECT_EQ(length, uint64_t{BLOCK_SIZE});
    // Allocation rounds up to the file system's blocks; 1 MiB is slack enough.
    EXPECT_LE(allocated, uint64_t{BLOCK_SIZE} + (1u << 20));
}

// A file size limit makes the restored file's writes fail: a large write at
// once, a small one when the file is closed and its buffer flushed. Windows
// has none: there the file is restored on a small disk that is full.
TEST(Reader, WriteFailuresAbandonTheFile) {
    const struct {
        Bytes archive;
        std::string marks;
    } cases[] = {
        {ArchiveBuilder().entry("w.bin", 100000).block(test_util::random_bytes(100000, 7)).bytes(), ""},
        {ArchiveBuilder().entry("w.bin", 2000).stored(test_util::random_bytes(2000, 8)).bytes(), marks(50)},
    };
    for (const auto& c : cases) {
#if defined(_WIN32)
        test_util::SmallDisk dir;
        if (dir.path().empty()) GTEST_SKIP() << test_util::SmallDisk::missing();
        test_util::write_file(dir.file(kArchive), c.archive);
        ASSERT_TRUE(dir.fill());
        Restored r = split_banner(test_util::run_zorv({"-u", kArchive}, dir.path()), dir.path());
#else
        TempDir dir;
        Restored r = restore_limited(dir, c.archive, RLIMIT_FSIZE, 1000);
#endif
        EXPECT_EQ(r.out, kHead + "\n" + bar("w.bin") + c.marks + "\nError: writing w.bin failed. Aborted.\n" +
                             (r.kept_files > 0 ? kept_line("w.bin") : "") + "\n\n");
        EXPECT_EQ(r.status, 255);
        EXPECT_FALSE(test_util::file_exists(dir.file("w.bin")));
        EXPECT_LE(r.kept.size(), 1000u);
    }
}

using test_util::kSanitized;

// With 14 MiB of address space the program runs (it starts in 5 to 7 MiB,
// 4 of them the codec's table on its huge-page boundary) but cannot hold a
// block, which takes 10 MiB on huge-page boundaries. A bomb must be refused
// from its header alone, before any allocation, while a genuine block that
// does not fit reports the lack of memory.
TEST(Reader, MemoryLimits) {
#if defined(_WIN32)
    GTEST_SKIP() << "no address-space limit on Windows";
#else
    if (kSanitized) GTEST_SKIP() << "the sanitizer reserves more address space than the limit";
    if (test_util::kEmulated) GTEST_SKIP() << "qemu-user ignores RLIMIT_AS";
    const rlim_t limit = 14u << 20;
    {
        TempDir dir;
        ArchiveBuilder archive;
        archive.entry("m.bin", BLOCK_SIZE).header(CHUNK_DATA, METHOD_BLOCK, 10, 0, BLOCK_SIZE).raw(Bytes(10));
        Restored r = restore_limited(dir, archive.bytes(), RLIMIT_AS, limit);
        EXPECT_EQ(r.out, kHead + "\n" + bar("m.bin") + "\nError: not enough memory!\n\n\n");
        EXPECT_EQ(r.status, 255);
    }
    {
        TempDir dir;
        ArchiveBuilder archive;
        archive.entry("m.bin", 0xFFFFFFFF).header(CHUNK_DATA, METHOD_BLOCK, 0xFFFFFFFF, 0, 0xFFFFFFFF);
        Restored r = restore_limited(dir, archive.bytes(), RLIMIT_AS, limit);
        EXPECT_EQ(r.out, kHead + "\n" + bar("m.bin") + "\nError: decompression failed. Skipped.\n\n\n");
        EXPECT_EQ(r.status, 255);
    }
#endif
}

// Every cut of a three-chunk archive fails the run without a crash, and what
// is left on disk is always a prefix of the file. The one exception is the
// cut right after the magic, which is a valid archive with no chunks.
TEST(Reader, EveryTruncationFails) {
    Bytes data = bytes("0123456789abcdef0123456789abcdef01234567");
    Bytes tail = bytes("XYZ!?");
    ArchiveBuilder archive;
    archive.entry("t.bin", static_cast<uint32_t>(data.size() + tail.size())).block(data).stored(tail);
    const Bytes& full = archive.bytes();
    Bytes whole = data;
    whole.insert(whole.end(), tail.begin(), tail.end());
    {
        TempDir dir;
        Restored r = restore(dir, full);
        ASSERT_EQ(r.status, 0) << r.out;
        ASSERT_EQ(test_util::read_file(dir.file("t.bin")), whole);
    }
    for (size_t cut = 0; cut < full.size(); ++cut) {
        TempDir dir;
        Restored r = restore(dir, Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
        if (cut == sizeof ARCHIVE_MAGIC) {
            EXPECT_EQ(r.out, kHead + "\n\n");
            EXPECT_EQ(r.status, 0);
            continue;
        }
        EXPECT_EQ(r.status, 255) << "cut at " << cut << ": " << r.out;
        EXPECT_NE(r.out.find("Error: "), std::string::npos) << "cut at " << cut;
        if (test_util::file_exists(dir.file("t.bin"))) {
            Bytes left = test_util::read_file(dir.file("t.bin"));
            ASSERT_LE(left.size(), whole.size());
            EXPECT_TRUE(std::equal(left.begin(), left.end(), whole.begin())) << "cut at " << cut;
        }
    }
}

// ---------------------------------------------------------------------------
// Round trips: what zorv packs, zorv -u restores byte for byte, in a folder of
// its own, with one full bar.

struct RoundTrip {
    Restored pack;
    Restored unpack;
    Bytes archive;
    Bytes restored;
};

// Packs `input` (a path as given on the command line, run from `dir`/in) into
// `dir`/a.zorv and restores it in `dir`/out under the stored name `name`.
RoundTrip round_trip(const TempDir& dir, const std::string& input, const std::string& name) {
    fs::create_directories(dir.file("in"));
    fs::create_directories(dir.file("out"));
    RoundTrip result;
    result.pack = split_banner(test_util::run_zorv({input, "../a.zorv"}, dir.file("in")));
    result.archive = test_util::read_file(dir.file("a.zorv"));
    result.unpack = split_banner(test_util::run_zorv({"-u", "../a.zorv"}, dir.file("out")));
    result.restored = test_util::read_file(dir.file("out/" + name));
    return result;
}

void expect_restored(const RoundTrip& trip, const std::string& name, const Bytes& input) {
    EXPECT_EQ(trip.pack.status, 0) << trip.pack.out;
    EXPECT_EQ(trip.unpack.status, 0) << trip.unpack.out;
    EXPECT_EQ(trip.unpack.out, "Archive: ../a.zorv\n" + bar(name) + marks(input.empty() ? 0 : 50) + "\n\n");
    EXPECT_EQ(trip.restored.size(), input.size());
    EXPECT_TRUE(trip.restored == input);
}

struct Generated {
    const char* id;
    std::function<Bytes()> make;
};

void PrintTo(const Generated& g, std::ostream* os) { *os << g.id; }

class ReaderRoundTrip : public ::testing::TestWithParam<Generated> {};

TEST_P(ReaderRoundTrip, RestoresTheInput) {
    TempDir dir;
    Bytes input = GetParam().make();
    fs::create_directories(dir.file("in"));
    test_util::write_file(dir.file("in/in.bin"), input);
    RoundTrip trip = round_trip(dir, "in.bin", "in.bin");
    expect_restored(trip, "in.bin", input);
}

Bytes text_like(size_t count, uint32_t seed) {
    // Words from a small vocabulary: the codec finds repeats, as in real text.
    const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ", "zeta ", "eta, ", "theta. "};
    Bytes random = test_util::random_bytes(count, seed);
    Bytes out;
    out.reserve(count + 16);
    for (size_t i = 0; out.size() < count; ++i) {
        const char* w = words[random[i % count] % 8];
        out.insert(out.end(), w, w + std::strlen(w));
    }
    out.resize(count);
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

INSTANTIATE_TEST_SUITE_P(
    Generated, ReaderRoundTrip,
    ::testing::Values(Generated{"Empty", [] { return Bytes(); }}, Generated{"ThreeBytes", [] { return bytes("abc"); }},
                      Generated{"StoredLastBlock31", [] { return test_util::random_bytes(31, 1); }},
                      Generated{"BlockOf32", [] { return test_util::random_bytes(32, 2); }},
                      Generated{"Text100000", [] { return text_like(100000, 3); }},
                      Generated{"RandomFullBlock", [] { return test_util::random_bytes(BLOCK_SIZE, 4); }},
                      Generated{"OneBytePastABlock", [] { return test_util::random_bytes(BLOCK_SIZE + 1, 5); }},
                      Generated{"ThreeBlocksMixed",
                                [] {
                                    return concat(
                                        concat(text_like(BLOCK_SIZE, 6), test_util::random_bytes(BLOCK_SIZE, 7)),
                                        Bytes(10, 'z'));
                                }}),
    [](const ::testing::TestParamInfo<Generated>& param_info) { return std::string(param_info.param.id); });

// The bounds on block chunks are those of the longest stream a full block can
// give: one literal run of BLOCK_SIZE bytes, 8421505 bytes in all. That chunk
// restores; one byte more is refused (see StreamLongerThanAnyBlockNeeds).
TEST(Reader, TheLongestStreamOfAFullBlockRestores) {
    Bytes data = test_util::random_bytes(BLOCK_SIZE, 4);
    Bytes stream(BLOCK_SIZE / 255, 0xFF);
    stream.push_back(BLOCK_SIZE % 255);
    stream.insert(stream.end(), data.begin(), data.end());
    ASSERT_EQ(stream.size(), MAX_BLOCK_STREAM);
    TempDir dir;
    Restored r = restore(
        dir,
        ArchiveBuilder().entry("full.bin", BLOCK_SIZE).chunk(CHUNK_DATA, METHOD_BLOCK, stream, BLOCK_SIZE).bytes());
    EXPECT_EQ(r.out, kHead + "\n" + bar("full.bin") + marks(50) + "\n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(test_util::read_file(dir.file("full.bin")) == data);
}

TEST(ReaderRoundTripCorpus, EveryFileIsRestoredByteForByte) {
    auto files = test_util::corpus_files();
    if (files.empty()) GTEST_SKIP() << "corpus absent";
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        TempDir dir;
        std::string name = fs::path(path).filename().string();
        RoundTrip trip = round_trip(dir, path, name);
        expect_restored(trip, name, test_util::read_file(path));
    }
}

}  // namespace
