#include "archive/archive.h"

#include <cstring>

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

size_t printable_name(const char* name, size_t length, char* shown) {
    size_t out = 0;
    for (size_t k = 0; k < length; ++k) {
        const auto byte = static_cast<unsigned char>(name[k]);
        if (byte == 0xC2 && k + 1 < length && static_cast<unsigned char>(name[k + 1]) >= 0x80 &&
            static_cast<unsigned char>(name[k + 1]) <= 0x9F) {
            shown[out++] = '?';
            ++k;
        } else {
            shown[out++] = byte < 0x20 || byte == 0x7F ? '?' : name[k];
        }
    }
    shown[out] = '\0';
    return out;
}
