// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "test_util.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// An anonymous temporary file holding `bytes`, positioned at its end.
File file_with(const std::vector<uint8_t>& bytes) {
    File file(std::tmpfile());
    if (file && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    return file;
}

std::vector<uint8_t> contents(FILE* file) {
    std::fflush(file);
    std::fseek(file, 0, SEEK_SET);
    std::vector<uint8_t> bytes;
    int c;
    while ((c = std::fgetc(file)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
    return bytes;
}

std::vector<uint8_t> magic() { return std::vector<uint8_t>(ARCHIVE_MAGIC, ARCHIVE_MAGIC + sizeof ARCHIVE_MAGIC); }

}  // namespace

// The archive of a stored file a.txt holding "abc", laid down by the routines
// the writer uses, and checked byte for byte and walked back.
TEST(Format, ArchiveOfThreeBytesIs59Bytes) {
    File file(std::tmpfile());
    ASSERT_TRUE(file);
    const char name[] = "a.txt";
    const uint8_t data[] = {'a', 'b', 'c'};

    uint8_t entry[10 + sizeof name];
    store_le32(entry + 0, sizeof data);  // file_size
    store_le32(entry + 4, 0);            // reserved
    store_le16(entry + 8, sizeof name);  // name_length, with the zero byte
    std::memcpy(entry + 10, name, sizeof name);

    ASSERT_TRUE(write_archive_magic(file.get()));
    ASSERT_EQ(write_chunk_header(file.get(), CHUNK_FILE_ENTRY, 0, sizeof entry, checksum(1, entry, sizeof entry), 0),
              1u);
    ASSERT_EQ(std::fwrite(entry, 1, sizeof entry, file.get()), sizeof entry);
    ASSERT_EQ(write_chunk_header(file.get(), CHUNK_DATA, METHOD_STORED, sizeof data, checksum(1, data, sizeof data),
                                 sizeof data),
              1u);
    ASSERT_EQ(std::fwrite(data, 1, sizeof data, file.get()), sizeof data);

    const std::vector<uint8_t> expected = {
        0x89, 0x4A, 0x49, 0x58, 0x0D, 0x0A, 0x1A, 0x0A,  // magic
        0x01, 0x00, 0x00, 0x00,                          // id 1, options 0
        0x10, 0x00, 0x00, 0x00,                          // size 16
        0x00, 0x00, 0x00, 0x00,                          // checksum
        0x00, 0x00, 0x00, 0x00,                          // extra
        0x03, 0x00, 0x00, 0x00,                          // file_size 3
        0x00, 0x00, 0x00, 0x00,                          // reserved
        0x06, 0x00,                                      // name_length 6
        0x61, 0x2E, 0x74, 0x78, 0x74, 0x00,              // "a.txt" and its zero
        0x11, 0x00, 0x00, 0x00,                          // id 17, METHOD_STORED
        0x03, 0x00, 0x00, 0x00,                          // size 3
        0x00, 0x00, 0x00, 0x00,                          // checksum
        0x03, 0x00, 0x00, 0x00,                          // extra 3
        0x61, 0x62, 0x63,                                // "abc"
    };
    ASSERT_EQ(expected.size(), 59u);
    EXPECT_EQ(contents(file.get()), expected);

    ASSERT_TRUE(is_archive(file.get()));
    ASSERT_EQ(std::fseek(file.get(), 8, SEEK_SET), 0);
    ChunkHeader header{};
    ASSERT_EQ(read_chunk_header(file.get(), &header), 16u);
    EXPECT_EQ(header.id, CHUNK_FILE_ENTRY);
    EXPECT_EQ(header.size, 16u);
    ASSERT_EQ(std::fseek(file.get(), header.size, SEEK_CUR), 0);
    ASSERT_EQ(read_chunk_header(file.get(), &header), 16u);
    EXPECT_EQ(header.id, CHUNK_DATA);
    EXPECT_EQ(header.options, METHOD_STORED);
    EXPECT_EQ(header.size, 3u);
    EXPECT_EQ(header.extra, 3u);
}

TEST(Format, DisplayLabels) {
    struct Case {
        std::string name;
        std::string label;
    };
    const std::string forty = "0123456789012345678901234567890123456789";
    const Case cases[] = {
        {"", std::string(16, ' ')},
        {"report.txt", "report.txt      "},
        {"abcdefghijklmno", "abcdefghijklmno "},   // 15: itself and one space
        {"abcdefghijklmnop", "abcdefghijklm.. "},  // 16: cut to 13 and ".."
        {forty, forty.substr(0, 13) + ".. "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char field[20];
        writer_label(c.name.c_str(), field);
        ASSERT_EQ(strnlen(field, sizeof field), 16u);
        EXPECT_EQ(std::string(field), c.label);
        reader_label(c.name.c_str(), field);
        ASSERT_EQ(strnlen(field, sizeof field), 17u);
        EXPECT_EQ(std::string(field), c.label + "[");
    }
}

// Each case runs from position 0 and from a position elsewhere; the answer and
// the position afterwards must not depend on where the file stood.
TEST(Format, IsArchive) {
    struct Case {
        std::string what;
        std::vector<uint8_t> bytes;
        bool archive;
    };
    std::vector<Case> cases = {
        {"empty", {}, false},
        {"7 bytes of the magic", std::vector<uint8_t>(ARCHIVE_MAGIC, ARCHIVE_MAGIC + 7), false},
        {"exactly the magic", magic(), true},
    };
    std::vector<uint8_t> longer = magic();
    longer.insert(longer.end(), {0x01, 0x00, 0x00, 0x00, 0x10});
    cases.push_back({"the magic and more", longer, true});
    for (size_t k = 0; k < sizeof ARCHIVE_MAGIC; ++k) {
        std::vector<uint8_t> wrong = longer;
        wrong[k] ^= 0x20;
        cases.push_back({"wrong byte at " + std::to_string(k), wrong, false});
    }

    for (const Case& c : cases) {
        for (long start : {0L, 3L, static_cast<long>(c.bytes.size())}) {
            SCOPED_TRACE(c.what + ", starting at " + std::to_string(start));
            File file = file_with(c.bytes);
            ASSERT_TRUE(file);
            ASSERT_EQ(std::fseek(file.get(), start, SEEK_SET), 0);
            EXPECT_EQ(is_archive(file.get()), c.archive);
            EXPECT_EQ(std::ftell(file.get()), 0);
            // Still readable from the start: no end-of-file state is left.
            std::vector<uint8_t> again(c.bytes.size() + 1);
            EXPECT_EQ(std::fread(again.data(), 1, again.size(), file.get()), c.bytes.size());
        }
    }
}

TEST(Format, ChunkHeadersRoundTripWithLow16BitsOfIdAndOptions) {
    struct Case {
        ChunkHeader written;
        ChunkHeader read;
    };
    const Case cases[] = {
        {{CHUNK_FILE_ENTRY, 0, 16, 0, 0}, {CHUNK_FILE_ENTRY, 0, 16, 0, 0}},
        {{CHUNK_DATA, METHOD_BLOCK, 8421505, 0, BLOCK_SIZE}, {CHUNK_DATA, METHOD_BLOCK, 8421505, 0, BLOCK_SIZE}},
        {{0xABCD0011, 0x80010001, 0xFFFFFFFF, 0x80000001, 0x01020304},
         {0x0011, 0x0001, 0xFFFFFFFF, 0x80000001, 0x01020304}},
        {{0xFFFFFFFF, 0xFFFFFFFF, 0, 1, 0xFFFFFFFF}, {0xFFFF, 0xFFFF, 0, 1, 0xFFFFFFFF}},
    };
    File file(std::tmpfile());
    ASSERT_TRUE(file);
    for (const Case& c : cases) {
        const ChunkHeader& w = c.written;
        ASSERT_EQ(write_chunk_header(file.get(), w.id, w.options, w.size, w.checksum, w.extra), 1u);
    }

    // The third header, byte for byte: little-endian, no gaps.
    const std::vector<uint8_t> third = {0x11, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                        0x01, 0x00, 0x00, 0x80, 0x04, 0x03, 0x02, 0x01};
    std::vector<uint8_t> all = contents(file.get());
    ASSERT_EQ(all.size(), 16u * std::size(cases));
    EXPECT_EQ(std::vector<uint8_t>(all.begin() + 32, all.begin() + 48), third);

    std::fseek(file.get(), 0, SEEK_SET);
    for (const Case& c : cases) {
        ChunkHeader h{};
        ASSERT_EQ(read_chunk_header(file.get(), &h), 16u);
        EXPECT_EQ(h.id, c.read.id);
        EXPECT_EQ(h.options, c.read.options);
        EXPECT_EQ(h.size, c.read.size);
        EXPECT_EQ(h.checksum, c.read.checksum);
        EXPECT_EQ(h.extra, c.read.extra);
    }
}

// A header cut by the end of the archive: the count tells the reader, and what
// is missing reads as 0 rather than as stale bytes.
TEST(Format, CutChunkHeaderReportsTheBytesThatWereThere) {
    const uint8_t full[] = {0x11, 0x00, 0x01, 0x00, 0x05, 0x00, 0x00, 0x00,
                            0x07, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
    for (size_t cut = 0; cut <= sizeof full; ++cut) {
        SCOPED_TRACE(cut);
        File file(std::tmpfile());
        ASSERT_TRUE(file);
        ASSERT_EQ(std::fwrite(full, 1, cut, file.get()), cut);
        std::fseek(file.get(), 0, SEEK_SET);
        ChunkHeader h{0xEEEE, 0xEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE};
        EXPECT_EQ(read_chunk_header(file.get(), &h), cut);
        EXPECT_EQ(h.id, cut >= 1 ? 0x11u : 0u);
        EXPECT_EQ(h.options, cut >= 3 ? 1u : 0u);
        EXPECT_EQ(h.size, cut >= 5 ? 5u : 0u);
        EXPECT_EQ(h.checksum, cut >= 9 ? 7u : 0u);
        EXPECT_EQ(h.extra, cut >= 13 ? 9u : 0u);
    }
}

TEST(Format, LoadsAreLittleEndianOnUnalignedBytes) {
    const uint8_t bytes[] = {0xEE, 0x01, 0x02, 0x03, 0x84, 0xFF};
    EXPECT_EQ(load_le16(bytes + 1), 0x0201u);
    EXPECT_EQ(load_le16(bytes + 4), 0xFF84u);
    EXPECT_EQ(load_le32(bytes + 1), 0x84030201u);
    EXPECT_EQ(load_le32(bytes + 2), 0xFF840302u);
}

TEST(Format, StoredNameIsWhatFollowsTheLastSeparator) {
    const std::pair<const char*, const char*> cases[] = {
        {"D:\\data\\x.bin", "x.bin"},
        {"data/x.bin", "x.bin"},
        {"/home/u/x.bin", "x.bin"},
        {"x.bin", "x.bin"},
        {"dir\\sub/data.bin", "data.bin"},
        {"D:data.bin", "D:data.bin"},
        {"dir/", "dir/"},  // the final character never separates
        {"a\\b\\", "b\\"},
        {"", ""},
    };
    for (const auto& [path, name] : cases) {
        SCOPED_TRACE(path);
        const char* got = stored_name(path, false);
        EXPECT_STREQ(got, name);
        // The name is a tail of the path itself, not a copy.
        EXPECT_EQ(got, path + std::strlen(path) - std::strlen(name));
    }
    // Where paths have drives, only a letter and a colon make one.
    const std::pair<const char*, const char*> drives[] = {
        {"D:data.bin", "data.bin"}, {"c:\\x", "x"}, {"D:", "D:"}, {"1:x", "1:x"}, {"ab:x", "ab:x"}};
    for (const auto& [path, name] : drives) EXPECT_STREQ(stored_name(path, true), name) << path;
}

// Every archive carries 0 in the field: no seed and no bytes give anything else,
// not even the seed itself for no bytes.
TEST(Format, ChecksumIsZeroForEveryInput) {
    const std::vector<uint8_t> random = test_util::random_bytes(4096, 7);
    const std::vector<uint8_t> abc = test_util::bytes_of("abc");
    for (uint32_t seed : {0u, 1u, 0x12345678u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(seed);
        EXPECT_EQ(checksum(seed, nullptr, 0), 0u);
        EXPECT_EQ(checksum(seed, abc.data(), static_cast<uint32_t>(abc.size())), 0u);
        EXPECT_EQ(checksum(seed, random.data(), static_cast<uint32_t>(random.size())), 0u);
    }
}
