// SPDX-License-Identifier: BSD-2-Clause
// Writes the seed corpora of the fuzz targets into <folder>/<target>/:
// blocks for the round trip, block streams (after their 4-byte room) for the
// decoder, and small archives for the reader. Generated at build time from the
// codec and the format routines, so the seeds follow the code.
//
// Usage: make_seeds <folder>

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/codec.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes repeated(const std::string& s, size_t times) {
    Bytes out;
    for (size_t k = 0; k < times; ++k) out.insert(out.end(), s.begin(), s.end());
    return out;
}

Bytes noise(size_t count, uint32_t state) {
    Bytes out(count);
    for (auto& b : out) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 24);
    }
    return out;
}

// Blocks that reach the codec's interesting paths: short blocks, the
// worked examples with overlapping and back-to-back matches, long length
// codes, text and noise.
std::vector<Bytes> blocks() {
    std::vector<Bytes> list = {
        Bytes(),
        text("abc"),
        text("abcde"),
        text("abcdabcd"),
        text("abcdabcdX"),
        Bytes(6, 'a'),
        Bytes(258, 'a'),
        Bytes(600, 'A'),
        text("abababab"),
        text("abcabcabcabcabcabc"),
        text("hello hello hello world"),
        text("abcdefghcdefgh"),
        text("abaaabaabab"),
        text("acacaccacac"),
        repeated("The quick brown fox jumps over the lazy dog. ", 40),
        noise(300, 7),
        noise(1000, 11),
    };
    Bytes mixed = repeated("0123456789", 30);
    Bytes tail = noise(500, 3);
    mixed.insert(mixed.end(), tail.begin(), tail.end());
    list.push_back(mixed);
    // Long enough for the encoder to change the form of its table entries: a
    // first segment of 65536 positions without a match, then matches, among
    // them repeats of bytes entered before the change.
    Bytes after_noise = noise(70000, 13);
    Bytes words = repeated("The quick brown fox jumps over the lazy dog. ", 200);
    after_noise.insert(after_noise.end(), words.begin(), words.end());
    const Bytes entered_before(after_noise.begin() + 100, after_noise.begin() + 5100);
    after_noise.insert(after_noise.end(), entered_before.begin(), entered_before.end());
    list.push_back(after_noise);
    return list;
}

Bytes compressed(const Bytes& block) {
    Bytes stream(block.size() + block.size() / 255 + 1);
    int32_t n = compress_block(block.data(), stream.data(), static_cast<uint32_t>(block.size()));
    stream.resize(static_cast<size_t>(n));
    return stream;
}

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

void put_entry(Bytes& out, const std::string& name, uint32_t file_size) {
    put_header(out, CHUNK_FILE_ENTRY, 0, static_cast<uint32_t>(name.size() + 11), 0);
    put_le(out, file_size, 4);
    put_le(out, 0, 4);
    put_le(out, static_cast<uint32_t>(name.size() + 1), 2);
    out.insert(out.end(), name.begin(), name.end());
    out.push_back(0);
}

// One data chunk the way the writer makes it: stored below 32 bytes, a block stream otherwise.
void put_data(Bytes& out, const Bytes& block) {
    uint32_t extra = static_cast<uint32_t>(block.size());
    if (block.size() < STORE_THRESHOLD) {
        put_header(out, CHUNK_DATA, METHOD_STORED, extra, extra);
        out.insert(out.end(), block.begin(), block.end());
    } else {
        Bytes stream = compressed(block);
        put_header(out, CHUNK_DATA, METHOD_BLOCK, static_cast<uint32_t>(stream.size()), extra);
        out.insert(out.end(), stream.begin(), stream.end());
    }
}

Bytes magic() { return Bytes(ARCHIVE_MAGIC, ARCHIVE_MAGIC + sizeof ARCHIVE_MAGIC); }

// Archives of one file cut into the given pieces, one data chunk each.
Bytes archive_of(const std::string& name, const std::vector<Bytes>& pieces) {
    uint32_t total = 0;
    for (const auto& piece : pieces) total += static_cast<uint32_t>(piece.size());
    Bytes out = magic();
    put_entry(out, name, total);
    for (const auto& piece : pieces) put_data(out, piece);
    return out;
}

std::vector<Bytes> archives() {
    std::vector<Bytes> list;
    list.push_back(magic());
    list.push_back(archive_of("a.txt", {text("abc")}));
    list.push_back(archive_of("empty", {}));
    list.push_back(archive_of("text.txt", {repeated("The quick brown fox jumps over the lazy dog. ", 20)}));
    list.push_back(archive_of("parts.bin", {repeated("abcd", 40), noise(200, 5), text("tail of the file")}));
    list.push_back(archive_of("dir/x.bin", {Bytes(100, 'x')}));

    // A chunk of an unknown kind between the entry and the data.
    Bytes unknown = magic();
    put_entry(unknown, "u.bin", 40);
    put_header(unknown, 5, 0, 4, 0);
    put_le(unknown, 0xDEADBEEF, 4);
    put_data(unknown, Bytes(40, 'u'));
    list.push_back(unknown);

    // Two files in one archive.
    Bytes two = archive_of("one.txt", {text("first file, stored")});
    Bytes second = archive_of("two.txt", {repeated("second ", 10)});
    two.insert(two.end(), second.begin() + 8, second.end());
    list.push_back(two);
    return list;
}

bool write_seed(const std::string& folder, size_t index, const Bytes& bytes) {
    std::string path = folder + "/seed-" + std::to_string(index);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

bool write_all(const std::string& folder, const std::vector<Bytes>& seeds) {
    mkdir(folder.c_str(), 0755);
    for (size_t k = 0; k < seeds.size(); ++k)
        if (!write_seed(folder, k, seeds[k])) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("usage: make_seeds <folder>\n");
        return 2;
    }
    std::string folder = argv[1];
    mkdir(folder.c_str(), 0755);

    std::vector<Bytes> streams;
    for (const auto& block : blocks()) {
        // The room chosen as the block's exact length, then one byte short of it.
        for (uint32_t room : {static_cast<uint32_t>(block.size()), static_cast<uint32_t>(block.size()) - 1}) {
            if (room > block.size()) continue;
            Bytes seed;
            put_le(seed, room, 4);
            Bytes stream = compressed(block);
            seed.insert(seed.end(), stream.begin(), stream.end());
            streams.push_back(seed);
        }
    }
    bool ok = write_all(folder + "/fuzz_roundtrip", blocks()) && write_all(folder + "/fuzz_decompress", streams) &&
              write_all(folder + "/fuzz_reader", archives());
    if (!ok) std::printf("make_seeds: could not write the seeds in %s\n", folder.c_str());
    return ok ? 0 : 1;
}
