// SPDX-License-Identifier: BSD-2-Clause
#include "archive/archive.h"

#include <cstring>
#include <string>

uint32_t load_le16(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8);
}

uint32_t load_le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void store_le16(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

void store_le32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

bool is_archive(FILE* file) {
    uint8_t head[sizeof ARCHIVE_MAGIC];
    std::fseek(file, 0, SEEK_SET);
    size_t got = std::fread(head, 1, sizeof head, file);
    std::fseek(file, 0, SEEK_SET);
    return got == sizeof head && std::memcmp(head, ARCHIVE_MAGIC, sizeof head) == 0;
}

bool write_archive_magic(FILE* file) {
    return std::fwrite(ARCHIVE_MAGIC, 1, sizeof ARCHIVE_MAGIC, file) == sizeof ARCHIVE_MAGIC;
}

size_t write_chunk_header(FILE* file, uint32_t id, uint32_t options, uint32_t size, uint32_t checksum_value,
                          uint32_t extra) {
    uint8_t header[CHUNK_HEADER_SIZE];
    store_le16(header + 0, id & 0xFFFF);
    store_le16(header + 2, options & 0xFFFF);
    store_le32(header + 4, size);
    store_le32(header + 8, checksum_value);
    store_le32(header + 12, extra);
    return std::fwrite(header, sizeof header, 1, file);
}

size_t read_chunk_header(FILE* file, ChunkHeader* header) {
    uint8_t bytes[CHUNK_HEADER_SIZE] = {};
    size_t got = std::fread(bytes, 1, sizeof bytes, file);
    header->id = load_le16(bytes + 0);
    header->options = load_le16(bytes + 2);
    header->size = load_le32(bytes + 4);
    header->checksum = load_le32(bytes + 8);
    header->extra = load_le32(bytes + 12);
    return got;
}

uint32_t checksum(uint32_t, const uint8_t*, uint32_t) {
    // Every archive ever written carries 0 here; this is the format.
    return 0;
}

const char* stored_name(const char* path, bool drive_prefixes) {
    // Both separators count: a name that kept a directory would be restored
    // outside the current directory, or not at all.
    const char* name = path;
    const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    if (drive_prefixes && letter && path[1] == ':' && path[2] != '\0') name = path + 2;
    for (const char* c = path; *c != '\0'; ++c) {
        if ((*c == '\\' || *c == '/') && c[1] != '\0') name = c + 1;
    }
    return name;
}

namespace {

void fill_label(const char* name, char field[20]) {
    std::memset(field, ' ', 20);
    size_t length = std::strlen(name);
    if (length <= 15) {
        std::memcpy(field, name, length);
    } else {
        std::memcpy(field, name, 13);
        field[13] = '.';
        field[14] = '.';
    }
}

}  // namespace

void writer_label(const char* name, char field[20]) {
    fill_label(name, field);
    field[16] = '\0';
}

void reader_label(const char* name, char field[20]) {
    fill_label(name, field);
    field[16] = '[';
    field[17] = '\0';
}

namespace {

// The length of the valid UTF-8 sequence at `bytes` (at most `length`
// bytes), 0 when there is none, with its code point in *point.
size_t utf8_sequence(const unsigned char* bytes, size_t length, uint32_t* point) {
    const unsigned char lead = bytes[0];
    size_t count = 0;
    uint32_t value = 0;
    uint32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2, value = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3, value = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4, value = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (count > length) return 0;
    for (size_t k = 1; k < count; ++k) {
        if ((bytes[k] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (bytes[k] & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past Unicode are no characters.
    if (value < least || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
    *point = value;
    return count;
}

// C1 controls (CSI, OSC among them) and the bidirectional embeddings,
// overrides and isolates, which reorder what follows them on the line.
bool is_masked_point(uint32_t point) {
    return (point >= 0x80 && point <= 0x9F) || (point >= 0x202A && point <= 0x202E) ||
           (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

size_t printable_name(const char* name, size_t length, char* shown) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(name);
    size_t out = 0;
    for (size_t k = 0; k < length;) {
        uint32_t point = 0;
        const size_t count = utf8_sequence(bytes + k, length - k, &point);
        if (count > 0) {
            if (is_masked_point(point)) {
                shown[out++] = '?';
            } else {
                std::memcpy(shown + out, bytes + k, count);
                out += count;
            }
            k += count;
            continue;
        }
        // A byte outside any character: a terminal that reads 8-bit controls
        // takes 0x80 to 0x9F as C1.
        const unsigned char byte = bytes[k++];
        shown[out++] = byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F) ? '?' : static_cast<char>(byte);
    }
    shown[out] = '\0';
    return out;
}

std::string printable(const char* name) {
    const size_t length = std::strlen(name);
    std::string shown(length, '\0');
    shown.resize(printable_name(name, length, shown.data()));
    return shown;
}
