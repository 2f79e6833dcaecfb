// zorv -u: walks the chunks of an archive and restores its stored file.
//
// An archive is untrusted input and its checksum field is always 0, so the
// checks here are all that stands between a crafted archive and the user's
// disk and memory: names that leave the current directory are refused,
// existing files are never replaced, a chunk may not write past the size its
// entry announced, a block chunk may not ask for more memory than any writer
// can need, and every cut, short or failed file is reported and fails the run.

#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "archive/archive.h"
#include "codec/codec.h"
#include "platform/platform.h"

// Archives may exceed 4 GiB and chunk offsets are formed in 64 bits.
static_assert(sizeof(off_t) >= 8, "build with 64-bit file offsets");

namespace {

constexpr uint32_t BAR_WIDTH = 50;
// file_size (4), reserved (4), name_length (2) in front of the name.
constexpr uint32_t ENTRY_FIXED_BYTES = 10;
// From this entry size on, restored x 100 could leave 32 bits, so the
// percentage is taken on both counts shifted right by 8.
constexpr uint32_t SHIFTED_PERCENT_FROM = 1u << 24;

struct FreeBytes {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
};
using Bytes = std::unique_ptr<uint8_t, FreeBytes>;

struct CloseFile {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, CloseFile>;

// A buffer that is replaced by a larger one when a chunk needs more room than
// any chunk before it, so an archive of equal blocks allocates it once.
struct GrowingBuffer {
    Bytes bytes;
    uint32_t capacity = 0;
};

bool reserve(GrowingBuffer* buffer, uint32_t size) {
    if (size <= buffer->capacity) return true;
    // The old contents are never needed: release first so that the old and
    // the new buffer are never held together.
    buffer->bytes.reset();
    buffer->capacity = 0;
    buffer->bytes.reset(static_cast<uint8_t*>(allocate_block_memory(size)));
    if (!buffer->bytes) return false;
    const size_t room = block_memory_size(size);
    buffer->capacity = room < UINT32_MAX ? static_cast<uint32_t>(room) : UINT32_MAX;
    return true;
}

enum class Outcome { kGoOn, kTruncated, kFatal };

// A restored block on its way to the file, written by a second thread while
// the next block chunk is read and decoded. The read stays on this thread:
// reading the next chunk ahead on a third thread during the decode (3 to 4
// ms of reads on a 40 MB file) made restoring no faster, 44.2-49.5 ms
// against 43.5-46.0 ms, with one more buffer to fault in and the decoder
// sharing its caches with two copies instead of one.
struct BlockWrite {
    FILE* output = nullptr;
    const uint8_t* bytes = nullptr;
    uint32_t count = 0;
    uint64_t offset = 0;  // where the block goes: the file is written in order from 0
    bool written = false;
};

void write_block(void* argument) {
    auto* write = static_cast<BlockWrite*>(argument);
    // Only the bytes about to be written, which are decoded already: an
    // archive's claims about the file's size never reserve disk space.
    reserve_file_space(write->output, write->offset, write->count);
    write->written = std::fwrite(write->bytes, 1, write->count, write->output) == write->count;
}

struct Reader {
    const char* archive_name = nullptr;
    File archive;
    uint64_t length = 0;
    Bytes entry_buffer;  // one file-entry payload, or one piece of stored data
    Bytes name_buffer;   // the current name outlives the entry buffer's contents
    FILE* output = nullptr;
    uint32_t entry_size = 0;
    uint32_t restored = 0;
    uint32_t marks = 0;
    GrowingBuffer packed;
    // One block is decoded into one side while the other is being written.
    GrowingBuffer unpacked[2];
    unsigned side = 0;
    BackgroundTask task;
    BlockWrite write;
    bool write_pending = false;
    // Set by anything that leaves a file missing, short or abandoned.
    bool failed = false;
    // Any file entry the walk handled, whatever became of it: data in front
    // of all of them belongs to no file, a sign of a damaged entry.
    bool entry_seen = false;
    bool orphan_reported = false;

    const char* name() const { return reinterpret_cast<const char*>(name_buffer.get()); }

    // Every path settles the write in flight before it returns; this only
    // keeps the buffers alive until the thread is done should one not.
    ~Reader() { finish_background(&task); }
};

// Closes the file being restored after a failure that has been reported
// already; what was written stays on disk. The result of the close is not
// reported on top: the file is counted as failed either way.
void abandon(Reader* reader) {
    if (reader->output != nullptr) std::fclose(reader->output);
    reader->output = nullptr;
    reader->failed = true;
}

// One message for every failed write or close of a restored file.
void report_write_failure(const Reader* reader) {
    std::printf("\nError: writing %s failed. Aborted.\n", reader->name());
}

// Closes the file being restored at the end of its data (the next entry or the
// end of the archive) and reports a failed flush or a file shorter than its
// entry announced. A file that was abandoned never comes here, so it is
// reported once, for the reason it was abandoned.
void finish_file(Reader* reader) {
    if (reader->output == nullptr) return;
    int closed = std::fclose(reader->output);
    reader->output = nullptr;
    if (closed != 0) {
        report_write_failure(reader);
        reader->failed = true;
    } else if (reader->restored < reader->entry_size) {
        std::printf("\nError: %s is incomplete: %u of %u bytes restored.\n", reader->name(), reader->restored,
                    reader->entry_size);
        reader->failed = true;
    }
}

Outcome truncated(Reader* reader) {
    std::printf("\nError: archive %s is truncated.\n", reader->archive_name);
    abandon(reader);
    return Outcome::kTruncated;
}

bool write_out(Reader* reader, const uint8_t* bytes, uint32_t count) {
    if (count == 0) return true;
    if (std::fwrite(bytes, 1, count, reader->output) == count) return true;
    report_write_failure(reader);
    abandon(reader);
    return false;
}

void print_mismatch(uint32_t got, uint32_t expected) {
    std::printf("Got %08lX Expecting %08lX\n", static_cast<unsigned long>(got), static_cast<unsigned long>(expected));
}

// A chunk may not carry more bytes than its entry announced: checked before
// any of it is written, so a file never grows past its size and the bar never
// passes its last position.
bool would_exceed(const Reader* reader, uint32_t count) {
    return static_cast<uint64_t>(reader->restored) + count > reader->entry_size;
}

bool exceeds_entry(Reader* reader, uint32_t count) {
    if (!would_exceed(reader, count)) return false;
    std::printf("\nError: data exceeds the size of %s. Aborted.\n", reader->name());
    abandon(reader);
    return true;
}

void draw_bar(const char* name) {
    char label[20];
    reader_label(name, label);
    std::printf("\n");
    std::printf("%s", label);
    for (uint32_t i = 0; i < BAR_WIDTH; ++i) std::printf(".");
    std::printf("]\r");
    // The cursor now stands on the first dot; the marks overwrite the dots.
    std::printf("%s", label);
}

void advance_bar(Reader* reader) {
    uint32_t percent = reader->entry_size >= SHIFTED_PERCENT_FROM
                           ? ((reader->restored >> 8) * 100) / (reader->entry_size >> 8)
                           : (reader->restored * 100) / reader->entry_size;
    uint32_t new_marks = percent / 2;
    for (; reader->marks < new_marks; ++reader->marks) std::printf("#");
}

// Waits for the block write in flight and reports it as it would have been
// reported had the block been written before anything after it was read: a
// failure abandons the file, a success moves the bar. Called before anything
// is printed or done to the file being restored.
void settle(Reader* reader) {
    if (!reader->write_pending) return;
    finish_background(&reader->task);
    reader->write_pending = false;
    if (!reader->write.written) {
        report_write_failure(reader);
        abandon(reader);
        return;
    }
    advance_bar(reader);
}

// Settles the write in flight for a block chunk that is about to report a
// failure; false when that write failed, which passes this chunk over (its
// file was abandoned before the chunk, as far as anyone can tell).
bool still_restoring(Reader* reader) {
    settle(reader);
    return reader->output != nullptr;
}

Outcome file_entry(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    // A new entry ends the previous file; its shortfall is reported before the
    // line break so that the message follows its bar.
    finish_file(reader);
    std::printf("\n");
    if (!payload_complete) return truncated(reader);

    uint8_t* payload = reader->entry_buffer.get();
    if (std::fread(payload, 1, header.size, reader->archive.get()) != header.size) return truncated(reader);
    uint32_t sum = checksum(1, payload, header.size);
    if (sum != header.checksum) {
        std::printf("\nError: checksum mismatch!\n");
        print_mismatch(sum, header.checksum);
        return Outcome::kFatal;
    }

    reader->entry_size = load_le32(payload);
    reader->restored = 0;
    reader->marks = 0;
    uint32_t name_length = load_le16(payload + 8);
    if (name_length > header.size - ENTRY_FIXED_BYTES) name_length = header.size - ENTRY_FIXED_BYTES;
    std::memcpy(reader->name_buffer.get(), payload + ENTRY_FIXED_BYTES, name_length);
    reader->name_buffer.get()[name_length] = 0;
    const char* name = reader->name();

    if (!is_safe_name(name)) {
        std::printf("Unsafe file name %s. Skipped.\n", name);
        reader->failed = true;
        return Outcome::kGoOn;
    }
    if (FILE* probe = std::fopen(name, "rb")) {
        std::fclose(probe);
        std::printf("File %s already exists. Skipped.\n", name);
        return Outcome::kGoOn;
    }
    // Exclusive creation: a file that the probe could not read (no permission,
    // a dangling link) is refused here rather than replaced or followed.
    FILE* output = std::fopen(name, "wbx");
    if (output == nullptr) {
        if (errno == EEXIST) {
            std::printf("File %s already exists. Skipped.\n", name);
        } else {
            std::printf("Can't create file %s. Skipped.\n", name);
            reader->failed = true;
        }
        return Outcome::kGoOn;
    }
    reader->output = output;
    draw_bar(name);
    return Outcome::kGoOn;
}

Outcome stored_chunk(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    if (exceeds_entry(reader, header.size)) return Outcome::kGoOn;
    if (!payload_complete) return truncated(reader);
    uint8_t* piece = reader->entry_buffer.get();
    uint32_t remaining = header.size;
    // An empty payload keeps the seed, which no checksum field of 0 matches:
    // such a chunk fails in every archive.
    uint32_t running = 1;
    while (remaining > 0) {
        uint32_t want = remaining < ENTRY_BUFFER_SIZE ? remaining : ENTRY_BUFFER_SIZE;
        uint32_t got = static_cast<uint32_t>(std::fread(piece, 1, want, reader->archive.get()));
        if (got == 0) break;
        if (!write_out(reader, piece, got)) return Outcome::kGoOn;
        running = checksum(running, piece, got);
        reader->restored += got;
        remaining -= got;
    }
    // The length said the payload is there; a read that ends early means the
    // archive was cut while we read it.
    if (remaining > 0) return truncated(reader);
    if (running != header.checksum) {
        abandon(reader);
        std::printf("\nError: checksum mismatch. Aborted.\n");
        print_mismatch(running, header.checksum);
    }
    return Outcome::kGoOn;
}

Outcome block_chunk(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    // The block before may still be on its way to the file: every failure
    // below settles it first (still_restoring), and a success settles it
    // before handing over this block.
    //
    // No writer makes a block longer than BLOCK_SIZE or a stream longer than
    // that of an incompressible full block: refuse before allocating, so a
    // 16-byte header cannot claim gigabytes.
    if (header.extra > BLOCK_SIZE || header.size > MAX_BLOCK_STREAM) {
        if (!still_restoring(reader)) return Outcome::kGoOn;
        abandon(reader);
        std::printf("\nError: decompression failed. Skipped.\n");
        return Outcome::kGoOn;
    }
    if (would_exceed(reader, header.extra)) {
        if (still_restoring(reader)) exceeds_entry(reader, header.extra);
        return Outcome::kGoOn;
    }
    if (!payload_complete) return still_restoring(reader) ? truncated(reader) : Outcome::kGoOn;
    bool reserved = reserve(&reader->packed, header.size);
    if (reserved && !reserve(&reader->unpacked[reader->side], header.extra)) {
        // Short of memory for a second buffer: wait for the write and reuse
        // the buffer it came from.
        if (!still_restoring(reader)) return Outcome::kGoOn;
        reader->side ^= 1;
        reserved = reserve(&reader->unpacked[reader->side], header.extra);
    }
    if (!reserved) {
        if (!still_restoring(reader)) return Outcome::kGoOn;
        abandon(reader);
        std::printf("\nError: not enough memory!\n");
        return Outcome::kGoOn;
    }
    // Empty payloads and empty blocks leave a buffer unallocated; the codec
    // still gets a valid address, which it neither reads nor writes.
    uint8_t spare = 0;
    GrowingBuffer& into = reader->unpacked[reader->side];
    uint8_t* packed = reader->packed.capacity > 0 ? reader->packed.bytes.get() : &spare;
    uint8_t* unpacked = into.capacity > 0 ? into.bytes.get() : &spare;
    if (header.size > 0 && std::fread(packed, 1, header.size, reader->archive.get()) != header.size)
        return still_restoring(reader) ? truncated(reader) : Outcome::kGoOn;
    uint32_t sum = checksum(1, packed, header.size);
    if (sum != header.checksum) {
        if (!still_restoring(reader)) return Outcome::kGoOn;
        abandon(reader);
        std::printf("\nError: checksum mismatch. Skipped.\n");
        print_mismatch(sum, header.checksum);
        return Outcome::kGoOn;
    }
    // The room is the announced block length: a stream that would decode to
    // more fails instead of writing past the buffer.
    int32_t decoded = decompress_block(packed, unpacked, header.size, header.extra);
    if (decoded < 0 || static_cast<uint32_t>(decoded) != header.extra) {
        if (!still_restoring(reader)) return Outcome::kGoOn;
        abandon(reader);
        std::printf("\nError: decompression failed. Skipped.\n");
        return Outcome::kGoOn;
    }
    if (!still_restoring(reader)) return Outcome::kGoOn;
    if (header.extra > 0) {
        // Written while the next chunk is read and decoded into the other side.
        reader->write = BlockWrite{reader->output, unpacked, header.extra, reader->restored, false};
        start_background(&reader->task, write_block, &reader->write);
        reader->write_pending = true;
        reader->side ^= 1;
    }
    reader->restored += header.extra;
    return Outcome::kGoOn;
}

Outcome data_chunk(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    switch (header.options) {
        case METHOD_STORED:
            return stored_chunk(reader, header, payload_complete);
        case METHOD_BLOCK:
            return block_chunk(reader, header, payload_complete);
        default:
            std::printf("\nError: unknown compression method (%d)\n", static_cast<int>(header.options));
            abandon(reader);
            return Outcome::kGoOn;
    }
}

// The format has no checksum, so data that no entry announced is one of the
// few signs of a damaged archive (an entry whose id was hit, say): reported
// once, and the walk goes on as before.
void orphan_data(Reader* reader) {
    reader->failed = true;
    if (reader->orphan_reported) return;
    reader->orphan_reported = true;
    std::printf("\nError: archive %s has data without a file entry.\n", reader->archive_name);
}

// The walk from offset 8 to the end. Every chunk is located by its header
// alone: the next one starts at p + 16 + size, summed in 64 bits so that a
// crafted size can neither wrap back to an earlier chunk nor loop, and the
// payloads of chunks that are passed over are never read.
Outcome walk(Reader* reader) {
    uint64_t p = sizeof ARCHIVE_MAGIC;
    while (p < reader->length) {
        ChunkHeader header;
        if (read_chunk_header(reader->archive.get(), &header) < CHUNK_HEADER_SIZE) {
            settle(reader);
            return truncated(reader);
        }
        uint64_t next = p + CHUNK_HEADER_SIZE + header.size;
        bool payload_complete = next <= reader->length;
        // Only a block chunk of the file being restored goes on while the
        // block before it is written; everything else waits for that write.
        const bool block_of_file = header.id == CHUNK_DATA && header.options == METHOD_BLOCK &&
                                   reader->output != nullptr && reader->entry_size != 0;
        if (!block_of_file) settle(reader);
        Outcome outcome = Outcome::kGoOn;
        if (header.id == CHUNK_FILE_ENTRY && header.size > ENTRY_FIXED_BYTES && header.size <= ENTRY_BUFFER_SIZE) {
            reader->entry_seen = true;
            outcome = file_entry(reader, header, payload_complete);
        } else if (header.id == CHUNK_DATA && !reader->entry_seen) {
            orphan_data(reader);
        } else if (header.id == CHUNK_DATA && reader->output != nullptr && reader->entry_size != 0) {
            outcome = data_chunk(reader, header, payload_complete);
            // A block whose write is in flight moves the bar when it is settled.
            if (outcome == Outcome::kGoOn && reader->output != nullptr && !reader->write_pending) advance_bar(reader);
        }
        if (outcome != Outcome::kGoOn) return outcome;
        p = next;
        if (p < reader->length && fseeko(reader->archive.get(), static_cast<off_t>(p), SEEK_SET) != 0) {
            settle(reader);
            return truncated(reader);
        }
    }
    return Outcome::kGoOn;
}

}  // namespace

bool is_safe_name(const char* name) {
    if (name[0] == '/') return false;
    for (const char* start = name;;) {
        const char* end = std::strchr(start, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - start) : std::strlen(start);
        if (length == 2 && start[0] == '.' && start[1] == '.') return false;
        if (end == nullptr) return true;
        start = end + 1;
    }
}

int extract_command(const char* archive) {
    Reader reader;
    reader.archive_name = archive;
    reader.archive.reset(std::fopen(archive, "rb"));
    if (!reader.archive) {
        std::printf("Error: could not open %s\n", archive);
        return -1;
    }
    FILE* file = reader.archive.get();
    off_t end = -1;
    if (fseeko(file, 0, SEEK_END) == 0) end = ftello(file);
    fseeko(file, 0, SEEK_SET);
    reader.length = end > 0 ? static_cast<uint64_t>(end) : 0;
    if (!is_archive(file)) {
        reader.archive.reset();
        std::printf("Error: file %s is not a %s archive!\n", archive, "ZORV");
        return -1;
    }

    std::printf("Archive: %s", archive);
    reader.entry_buffer.reset(static_cast<uint8_t*>(std::malloc(ENTRY_BUFFER_SIZE)));
    // The longest name is the whole payload after the fixed bytes, plus a zero.
    reader.name_buffer.reset(static_cast<uint8_t*>(std::malloc(ENTRY_BUFFER_SIZE)));
    if (!reader.entry_buffer || !reader.name_buffer) {
        std::printf("\nError: not enough memory!\n");
        return -1;
    }
    fseeko(file, sizeof ARCHIVE_MAGIC, SEEK_SET);

    // A file entry that fails its checksum ends the run at once: nothing after
    // it can be trusted. The previous file was closed when the entry began.
    Outcome outcome = walk(&reader);
    settle(&reader);
    if (outcome == Outcome::kFatal) return -1;
    finish_file(&reader);
    std::printf("\n\n");
    return reader.failed ? -1 : 0;
}
