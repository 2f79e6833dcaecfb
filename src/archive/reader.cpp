// SPDX-License-Identifier: BSD-2-Clause
// zorv -u: walks the chunks of an archive and restores its stored file.
//
// An archive is untrusted input and its checksum field is always 0, so the
// checks here are all that stands between a crafted archive and the user's
// disk and memory: names that leave the current directory are refused,
// existing files are never replaced, a chunk may not write past the size its
// entry announced, a block chunk may not ask for more memory than any writer
// can need, and every cut, short or failed file is reported and fails the run.
// Names are printed with their control codes masked, folders are entered
// through no link, and a file takes its stored name only once it is finished.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "archive/archive.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t BAR_WIDTH = 50;
// file_size (4), reserved (4), name_length (2) in front of the name.
constexpr uint32_t ENTRY_FIXED_BYTES = 10;
// From this entry size on, restored x 100 could leave 32 bits, so the
// percentage is taken on both counts shifted right by 8.
constexpr uint32_t SHIFTED_PERCENT_FROM = 1u << 24;

using Bytes = OwnedBytes;
using Memory = OwnedMemory;
using File = OwnedFile;

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

enum class Written { kYes, kBadBlock, kFailed };

// One block chunk on its way through the restore: its payload read into
// `packed` by the walk, decoded by a worker with its own table, written in
// archive order by whichever worker finds it next (a Line), reported by the
// walk. Left to the walk's thread, the writes took 46 of 95 ms on 2 CPUs.
struct Slot {
    GrowingBuffer packed;
    GrowingBuffer unpacked;
    WorkerTable table;
    LineTask task;
    FILE* output = nullptr;
    uint32_t size = 0;
    uint32_t extra = 0;
    uint32_t restored_after = 0;  // the bar's count once this block is written
    int32_t decoded = 0;
    Written written = Written::kYes;
    // Empty payloads and empty blocks leave a buffer unallocated; the codec
    // still gets a valid address, which it neither reads nor writes.
    uint8_t spare = 0;
};

void decode_block(void* argument) {
    auto* slot = static_cast<Slot*>(argument);
    const uint8_t* packed = slot->packed.capacity > 0 ? slot->packed.bytes.get() : &slot->spare;
    uint8_t* unpacked = slot->unpacked.capacity > 0 ? slot->unpacked.bytes.get() : &slot->spare;
    // The room is the announced block length: a stream that would decode to
    // more fails instead of writing past the buffer.
    slot->decoded = decompress_with(slot->table, packed, unpacked, slot->size, slot->extra);
}

// A block goes to the file in pieces. Written at once, its 8 MiB fill the
// page cache with 2 MiB folios, which a virtual machine takes from memory it
// has handed back to its host: 120 MB restored in 0.31-0.36 s in a fresh
// run, against 0.09-0.11 s in pieces of 256 KiB (Linux 6.18, KVM).
constexpr uint32_t WRITE_PIECE = 256 * 1024;

bool write_block(void* argument) {
    auto* slot = static_cast<Slot*>(argument);
    slot->written = Written::kYes;
    if (slot->decoded < 0 || static_cast<uint32_t>(slot->decoded) != slot->extra) {
        slot->written = Written::kBadBlock;
    } else if (slot->extra > 0) {
        // Only bytes decoded already: an archive's claims about the file's
        // size never reserve disk space.
        reserve_file_space(slot->output, slot->restored_after - slot->extra, slot->extra);
        for (uint32_t at = 0; at < slot->extra;) {
            const uint32_t piece = slot->extra - at < WRITE_PIECE ? slot->extra - at : WRITE_PIECE;
            if (std::fwrite(slot->unpacked.bytes.get() + at, 1, piece, slot->output) != piece) {
                slot->written = Written::kFailed;
                break;
            }
            at += piece;
        }
    }
    return slot->written == Written::kYes;
}

struct Reader {
    const char* archive_name = nullptr;
    File archive;
    uint64_t length = 0;
    Memory entry_buffer;  // one file-entry payload, or one piece of stored data
    Memory name_buffer;   // the current name outlives the entry buffer's contents
    FILE* output = nullptr;
    uint32_t entry_size = 0;
    uint32_t restored = 0;
    uint32_t marks = 0;
    // Block chunks of the file being restored, from the oldest not yet
    // written on. Nothing else happens while one is in flight: any other
    // event settles them first, as if each had been written at once.
    Slot slots[MAX_SLOTS];
    Slot* free_slots[MAX_SLOTS] = {};
    unsigned free_count = 0;
    unsigned slots_made = 0;
    unsigned slots_allowed;
    Line line;
    // Destroyed before the slots: every job handed in has run by then.
    WorkerPool pool;
    // Set by anything that leaves a file missing, short or abandoned.
    bool failed = false;
    // Any file entry the walk handled, whatever became of it: data in front
    // of all of them belongs to no file, a sign of a damaged entry.
    bool entry_seen = false;
    bool orphan_reported = false;
    // An archive that cannot seek (a pipe): read from front to back, the
    // payloads passed over by reading them. `length` is then unknown until
    // the end is met.
    bool in_order = false;
    uint64_t position = 0;  // archive bytes read so far
    // The file being restored lies under a temporary name in `folder` until
    // it is finished; then it takes `leaf`, the last component of its name,
    // and the bits and time of the archive (`attributes`).
    Folder folder;
    const char* leaf = nullptr;
    PendingFile pending;
    FileAttributes attributes;
    std::string shown_archive;
    Memory shown_buffer;     // the name as printed
    Memory shown_temporary;  // the temporary file's path as printed

    // One worker is the walk's own thread: a pool of no thread runs each job here.
    explicit Reader(unsigned most) : slots_allowed(slot_count(most)), pool(most > 1 ? most : 0) {}

    const char* name() const { return reinterpret_cast<const char*>(name_buffer.get()); }
    const char* shown() const { return reinterpret_cast<const char*>(shown_buffer.get()); }
};

size_t read_archive(Reader* reader, void* bytes, size_t count) {
    const size_t got = std::fread(bytes, 1, count, reader->archive.get());
    reader->position += got;
    return got;
}

// Reads and drops `count` bytes of an archive read in order; false when it
// ends first.
bool pass_over(Reader* reader, uint64_t count) {
    while (count > 0) {
        const size_t want = count < ENTRY_BUFFER_SIZE ? static_cast<size_t>(count) : ENTRY_BUFFER_SIZE;
        const size_t got = read_archive(reader, reader->entry_buffer.get(), want);
        if (got == 0) return false;
        count -= got;
    }
    return true;
}

const char* temporary_path(const Reader* reader) {
    return reinterpret_cast<const char*>(reader->shown_temporary.get());
}

// A file that failed never takes its stored name: what was restored stays
// under the temporary name, and the next run restores the file afresh.
// Printed right after the failure's own message; nothing restored, nothing kept.
void keep_part(Reader* reader) {
    if (pending_file_length(&reader->pending) == 0) {
        remove_pending_file(&reader->pending);
        return;
    }
    keep_pending_file(&reader->pending);
    std::printf("Kept the restored part of %s as %s.\n", reader->shown(), temporary_path(reader));
}

// The file being restored is complete and takes its stored name, which a
// file that appeared meanwhile keeps: the restored bytes then stay under the
// temporary name.
void name_output(Reader* reader) {
    const Renamed renamed = name_pending_file(&reader->pending, reader->leaf, false);
    if (renamed == Renamed::kDone) return;
    reader->failed = true;
    if (renamed == Renamed::kReplaced) {
        std::printf("\nError: temporary file %s of %s was replaced. Skipped.\n", temporary_path(reader),
                    reader->shown());
        return;
    }
    keep_pending_file(&reader->pending);
    std::printf(renamed == Renamed::kExists ? "\nError: file %s already exists. Kept as %s.\n"
                                            : "\nError: could not name %s. Kept as %s.\n",
                reader->shown(), temporary_path(reader));
}

// Closes the file being restored after a failure that has been reported
// already; what was written stays under the temporary name. The result of
// the close is not reported on top: the file is counted as failed either way.
void abandon(Reader* reader) {
    if (reader->output != nullptr) {
        reader->output = nullptr;
        keep_part(reader);
    }
    reader->failed = true;
}

// One message for every failed write or close of a restored file.
void report_write_failure(const Reader* reader) {
    std::printf("\nError: writing %s failed. Aborted.\n", reader->shown());
}

// Closes the file being restored at the end of its data (the next entry or the
// end of the archive) and reports a failed flush or a file shorter than its
// entry announced. A file that was abandoned never comes here, so it is
// reported once, for the reason it was abandoned.
void finish_file(Reader* reader) {
    if (reader->output == nullptr) return;
    reader->output = nullptr;
    if (reader->restored < reader->entry_size) {
        std::printf("\nError: %s is incomplete: %u of %u bytes restored.\n", reader->shown(), reader->restored,
                    reader->entry_size);
        reader->failed = true;
        keep_part(reader);
    } else if (!finish_pending_file(&reader->pending, reader->attributes)) {
        report_write_failure(reader);
        reader->failed = true;
        keep_part(reader);
    } else {
        name_output(reader);
    }
}

Outcome truncated(Reader* reader) {
    std::printf("\nError: archive %s is truncated.\n", reader->shown_archive.c_str());
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

void data_exceeds(Reader* reader) {
    std::printf("\nError: data exceeds the size of %s. Aborted.\n", reader->shown());
    abandon(reader);
}

bool exceeds_entry(Reader* reader, uint32_t count) {
    if (!would_exceed(reader, count)) return false;
    data_exceeds(reader);
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
    std::fflush(stdout);
}

// Moves the bar to `restored` bytes of the current file.
void advance_bar(Reader* reader, uint32_t restored) {
    uint32_t percent = reader->entry_size >= SHIFTED_PERCENT_FROM ? ((restored >> 8) * 100) / (reader->entry_size >> 8)
                                                                  : (restored * 100) / reader->entry_size;
    uint32_t new_marks = percent / 2;
    if (reader->marks >= new_marks) return;
    for (; reader->marks < new_marks; ++reader->marks) std::printf("#");
    // Each step reaches the screen as it is made, not with the last block.
    std::fflush(stdout);
}

// Reports the oldest block in flight once it is written or has failed, as a
// run that restores one block at a time would have: a block that failed to
// decode, or whose write failed, abandons the file, and the blocks after it
// are thrown away; a block written moves the bar. False when the oldest is
// not settled yet and `wait` is false.
bool finish_oldest(Reader* reader, bool wait) {
    auto* slot = static_cast<Slot*>(reader->line.ring[reader->line.taken % MAX_LINE_TASKS]->argument);
    const LineState state = take_oldest(&reader->pool, &reader->line, wait);
    if (state == LineState::kBusy) return false;
    reader->free_slots[reader->free_count++] = slot;
    // After a failure the blocks behind it are decoded, never written.
    if (reader->output == nullptr || state == LineState::kPassed) return true;
    if (slot->written == Written::kBadBlock) {
        std::printf("\nError: decompression failed. Skipped.\n");
        abandon(reader);
    } else if (slot->written == Written::kFailed) {
        report_write_failure(reader);
        abandon(reader);
    } else {
        advance_bar(reader, slot->restored_after);
    }
    return true;
}

// Writes and reports every block in flight. Called before anything else is
// printed or done to the file being restored.
void settle(Reader* reader) {
    while (in_flight(&reader->line) > 0) finish_oldest(reader, true);
}

// Settles the blocks in flight for a block chunk that is about to report a
// failure; false when one of them failed, which passes this chunk over (its
// file was abandoned before the chunk, as far as anyone can tell).
bool still_restoring(Reader* reader) {
    settle(reader);
    return reader->output != nullptr;
}

// A slot for the next block chunk: blocks that are done are written first,
// then a free slot is taken, a new one made while the run allows more, or
// the oldest waited for. Null when the file was abandoned on the way.
Slot* take_slot(Reader* reader) {
    while (in_flight(&reader->line) > 0 && finish_oldest(reader, false)) {
    }
    if (reader->free_count == 0 && reader->slots_made < reader->slots_allowed) {
        Slot* slot = &reader->slots[reader->slots_made];
        if (reader->slots_made == 0 || make_worker_table(&slot->table)) {
            ++reader->slots_made;
            reader->free_slots[reader->free_count++] = slot;
        } else {
            // No memory for another worker: the run goes on with the slots it has.
            reader->slots_allowed = reader->slots_made;
        }
    }
    if (reader->free_count == 0) finish_oldest(reader, true);
    if (reader->output == nullptr) return nullptr;
    return reader->free_slots[--reader->free_count];
}

Outcome file_entry(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    // A new entry ends the previous file; its shortfall is reported before the
    // line break so that the message follows its bar.
    finish_file(reader);
    std::printf("\n");
    if (!payload_complete) return truncated(reader);

    uint8_t* payload = reader->entry_buffer.get();
    if (read_archive(reader, payload, header.size) != header.size) return truncated(reader);
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
    printable_name(name, std::strlen(name), reinterpret_cast<char*>(reader->shown_buffer.get()));
    const char* shown = reader->shown();

    if (!is_safe_name(name)) {
        std::printf("Unsafe file name %s. Skipped.\n", shown);
        reader->failed = true;
        return Outcome::kGoOn;
    }
    // A link among the folders could lead anywhere: the name is refused as
    // one that leaves the current directory.
    const char* leaf = nullptr;
    const FolderState folder = open_parent_folder(name, &reader->folder, &leaf);
    if (folder == FolderState::kThroughLink) {
        std::printf("Unsafe file name %s. Skipped.\n", shown);
        reader->failed = true;
        return Outcome::kGoOn;
    }
    // A name that ends in '/' names its folder, which exists; an empty one
    // names nothing that could be created.
    NameState state = NameState::kFailed;
    if (folder == FolderState::kOpen) {
        state = leaf[0] != '\0' ? name_state(reader->folder, leaf)
                : leaf != name  ? NameState::kExists
                                : NameState::kFailed;
    }
    if (state == NameState::kExists) {
        std::printf("File %s already exists. Skipped.\n", shown);
        return Outcome::kGoOn;
    }
    if (state != NameState::kAbsent || !create_pending_file(reader->folder, &reader->pending)) {
        std::printf("Can't create file %s. Skipped.\n", shown);
        reader->failed = true;
        return Outcome::kGoOn;
    }
    char* shown_temporary = reinterpret_cast<char*>(reader->shown_temporary.get());
    const size_t folder_part = printable_name(name, static_cast<size_t>(leaf - name), shown_temporary);
    std::memcpy(shown_temporary + folder_part, reader->pending.name, sizeof reader->pending.name);
    reader->leaf = leaf;
    reader->output = reader->pending.file;
    // Nothing is in flight at an entry: blocks are written again.
    restart_line(&reader->line);
    draw_bar(shown);
    return Outcome::kGoOn;
}

Outcome stored_chunk(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    if (exceeds_entry(reader, header.size)) return Outcome::kGoOn;
    if (!payload_complete) return truncated(reader);
    uint8_t* piece = reader->entry_buffer.get();
    uint32_t remaining = header.size;
    const uint32_t restored_before = reader->restored;
    // An empty payload keeps the seed, which no checksum field of 0 matches:
    // such a chunk fails in every archive.
    uint32_t running = 1;
    while (remaining > 0) {
        uint32_t want = remaining < ENTRY_BUFFER_SIZE ? remaining : ENTRY_BUFFER_SIZE;
        uint32_t got = static_cast<uint32_t>(read_archive(reader, piece, want));
        if (got == 0) break;
        if (!write_out(reader, piece, got)) return Outcome::kGoOn;
        running = checksum(running, piece, got);
        reader->restored += got;
        remaining -= got;
    }
    if (remaining > 0) {
        // Read in order, a cut payload shows only here: the file is left as
        // a seekable archive of the same bytes leaves it, without the chunk.
        if (reader->in_order) {
            truncate_file(reader->output, restored_before);
            reader->restored = restored_before;
        }
        // Otherwise the length said the payload is there: the archive was cut
        // while we read it.
        return truncated(reader);
    }
    if (running != header.checksum) {
        std::printf("\nError: checksum mismatch. Aborted.\n");
        print_mismatch(running, header.checksum);
        abandon(reader);
    }
    return Outcome::kGoOn;
}

Outcome block_chunk(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    // Blocks before this one may still be in flight: every failure below
    // settles them first (still_restoring), so that it is reported after
    // them, or not at all when one of them failed.
    //
    // No writer makes a block longer than BLOCK_SIZE or a stream longer than
    // that of an incompressible full block: refuse before allocating, so a
    // 16-byte header cannot claim gigabytes.
    if (header.extra > BLOCK_SIZE || header.size > MAX_BLOCK_STREAM) {
        if (!still_restoring(reader)) return Outcome::kGoOn;
        std::printf("\nError: decompression failed. Skipped.\n");
        abandon(reader);
        return Outcome::kGoOn;
    }
    if (would_exceed(reader, header.extra)) {
        if (still_restoring(reader)) exceeds_entry(reader, header.extra);
        return Outcome::kGoOn;
    }
    if (!payload_complete) return still_restoring(reader) ? truncated(reader) : Outcome::kGoOn;
    Slot* slot = take_slot(reader);
    if (slot == nullptr) return Outcome::kGoOn;
    if (!reserve(&slot->packed, header.size) || !reserve(&slot->unpacked, header.extra)) {
        // Short of memory for this slot's buffers: the blocks in flight are
        // settled, every slot gives its memory back, and the first one, which
        // needs no table of its own, goes on alone, one block at a time.
        reader->free_slots[reader->free_count++] = slot;
        if (!still_restoring(reader)) return Outcome::kGoOn;
        for (unsigned k = 0; k < reader->slots_made; ++k) {
            reader->slots[k].packed = GrowingBuffer();
            reader->slots[k].unpacked = GrowingBuffer();
            if (k > 0) reader->slots[k].table = WorkerTable();
        }
        reader->free_count = 0;
        reader->slots_allowed = 0;
        slot = &reader->slots[0];
        if (!reserve(&slot->packed, header.size) || !reserve(&slot->unpacked, header.extra)) {
            reader->free_slots[reader->free_count++] = slot;
            std::printf("\nError: not enough memory!\n");
            abandon(reader);
            return Outcome::kGoOn;
        }
    }
    uint8_t* packed = slot->packed.capacity > 0 ? slot->packed.bytes.get() : &slot->spare;
    if (header.size > 0 && read_archive(reader, packed, header.size) != header.size) {
        reader->free_slots[reader->free_count++] = slot;
        return still_restoring(reader) ? truncated(reader) : Outcome::kGoOn;
    }
    uint32_t sum = checksum(1, packed, header.size);
    if (sum != header.checksum) {
        reader->free_slots[reader->free_count++] = slot;
        if (!still_restoring(reader)) return Outcome::kGoOn;
        std::printf("\nError: checksum mismatch. Skipped.\n");
        print_mismatch(sum, header.checksum);
        abandon(reader);
        return Outcome::kGoOn;
    }
    reader->restored += header.extra;
    slot->size = header.size;
    slot->extra = header.extra;
    slot->restored_after = reader->restored;
    slot->output = reader->output;
    submit_in_line(&reader->pool, &reader->line, &slot->task, decode_block, write_block, slot);
    return Outcome::kGoOn;
}

Outcome data_chunk(Reader* reader, const ChunkHeader& header, bool payload_complete) {
    switch (header.options) {
        case METHOD_STORED: {
            Outcome outcome = stored_chunk(reader, header, payload_complete);
            if (outcome == Outcome::kGoOn && reader->output != nullptr) advance_bar(reader, reader->restored);
            return outcome;
        }
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
    std::printf("\nError: archive %s has data without a file entry.\n", reader->shown_archive.c_str());
}

// The walk from offset 8 to the end. Every chunk is located by its header
// alone: the next one starts at p + 16 + size, summed in 64 bits so that a
// crafted size can neither wrap back to an earlier chunk nor loop, and the
// payloads of chunks that are passed over are never read.
Outcome walk(Reader* reader) {
    uint64_t p = sizeof ARCHIVE_MAGIC;
    while (p < reader->length) {
        ChunkHeader header;
        const size_t got = read_chunk_header(reader->archive.get(), &header);
        reader->position += got;
        // Read in order, the end shows as a header that is not there at all.
        if (got == 0 && reader->in_order && std::ferror(reader->archive.get()) == 0) break;
        if (got < CHUNK_HEADER_SIZE) {
            settle(reader);
            return truncated(reader);
        }
        uint64_t next = p + CHUNK_HEADER_SIZE + header.size;
        // Read in order, a cut payload shows as a short read.
        bool payload_complete = reader->in_order || next <= reader->length;
        // Only a block chunk of the file being restored goes on while the
        // blocks before it are decoded and written; everything else waits
        // until they are.
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
        } else if (header.id == CHUNK_DATA && reader->output != nullptr) {
            // An empty file has no data: any chunk of it is damage.
            data_exceeds(reader);
        }
        if (outcome != Outcome::kGoOn) return outcome;
        p = next;
        if (reader->in_order) {
            // A chunk passed over that runs past the end ends the walk, as
            // it does in a file of the same bytes.
            if (!pass_over(reader, next - reader->position)) break;
            continue;
        }
        if (p < reader->length && seek_file(reader->archive.get(), static_cast<int64_t>(p), SEEK_SET) != 0) {
            settle(reader);
            return truncated(reader);
        }
    }
    return Outcome::kGoOn;
}

}  // namespace

int extract_command(const char* archive) { return extract_command_with(archive, usable_cpus()); }

int extract_command_with(const char* archive, unsigned cpus, bool in_order) {
    // Blocks are met one by one; lazily started threads and slots keep the
    // workers to those that blocks keep busy.
    Reader reader(worker_count(UINT64_MAX, cpus));
    reader.archive_name = archive;
    reader.shown_archive = printable(archive);
    reader.archive.reset(open_file(archive, "rb"));
    if (!reader.archive) {
        std::printf("Error: could not open %s\n", reader.shown_archive.c_str());
        return -1;
    }
    FILE* file = reader.archive.get();
    // Only a file or a disk has a length to seek to; a pipe, a FIFO or a
    // terminal is read in order.
    reader.in_order = in_order || !is_seekable(file);
    reader.entry_buffer.reset(static_cast<uint8_t*>(std::malloc(ENTRY_BUFFER_SIZE)));
    bool magic = false;
    if (reader.in_order) {
        reader.length = UINT64_MAX;
        uint8_t head[sizeof ARCHIVE_MAGIC];
        magic = read_archive(&reader, head, sizeof head) == sizeof head &&
                std::memcmp(head, ARCHIVE_MAGIC, sizeof head) == 0;
    } else {
        int64_t end = -1;
        if (seek_file(file, 0, SEEK_END) == 0) end = tell_file(file);
        seek_file(file, 0, SEEK_SET);
        reader.length = end > 0 ? static_cast<uint64_t>(end) : 0;
        magic = is_archive(file);
    }
    if (!magic) {
        reader.archive.reset();
        std::printf("Error: file %s is not a %s archive!\n", reader.shown_archive.c_str(), "ZORV");
        return -1;
    }

    std::printf("Archive: %s", reader.shown_archive.c_str());
    // A restored file takes the archive's bits and time; one from a pipe those of a new file.
    reader.attributes = file_attributes(file);
    // The longest name is the whole payload after the fixed bytes, plus a
    // zero; it is never longer printed, and its temporary path is longer by
    // the temporary name at most.
    reader.name_buffer.reset(static_cast<uint8_t*>(std::malloc(ENTRY_BUFFER_SIZE)));
    reader.shown_buffer.reset(static_cast<uint8_t*>(std::malloc(ENTRY_BUFFER_SIZE)));
    reader.shown_temporary.reset(static_cast<uint8_t*>(std::malloc(ENTRY_BUFFER_SIZE + TEMPORARY_NAME_SIZE)));
    if (!reader.entry_buffer || !reader.name_buffer || !reader.shown_buffer || !reader.shown_temporary) {
        std::printf("\nError: not enough memory!\n");
        return -1;
    }
    if (!reader.in_order) seek_file(file, sizeof ARCHIVE_MAGIC, SEEK_SET);

    // A file entry that fails its checksum ends the run at once: nothing after
    // it can be trusted. The previous file was closed when the entry began.
    Outcome outcome = walk(&reader);
    settle(&reader);
    if (outcome == Outcome::kFatal) return -1;
    finish_file(&reader);
    std::printf("\n\n");
    return reader.failed ? -1 : 0;
}
