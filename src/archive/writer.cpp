// SPDX-License-Identifier: BSD-2-Clause
// The default mode: one input file into a new archive.
//
// compress_command owns the output file (the refusal to replace, creation, the
// magic, closing); pack_file owns the input and the block buffers and writes
// the file entry and one data chunk per block. Every failure prints one line
// and leaves whatever was written on disk.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "archive/archive.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace {

constexpr const char* PROGRAM_NAME = "ZORV";
// file_size, reserved and name_length in front of the name.
constexpr uint32_t FILE_ENTRY_FIXED_BYTES = 10;
// file_size is 32 bits wide.
constexpr uint64_t LARGEST_INPUT = 0xFFFFFFFFu;

using Buffer = OwnedBytes;
using InputFile = OwnedFile;

// stdio keeps small writes in its buffer, so a full disk may show only at a
// later write, at the final flush or at the close; each of those reports it.
void report_write_failure(const char* output) {
    std::printf("\nError: writing %s failed!\n", printable(output).c_str());
}

bool put(FILE* file, const void* bytes, size_t count) {
    return count == 0 || std::fwrite(bytes, 1, count, file) == count;
}

// "%2.i" has precision 0, so 0 prints as two spaces.
void print_progress(const char* label, uint64_t percent, int64_t saving_tenths, float speed) {
    std::printf("\r%s Progress [%2.i%%] ", label, static_cast<int>(percent));
    std::printf("Saved : %.1f%% ", static_cast<double>(saving_tenths) / 10);
    std::printf(" CPU speed : %3.0fMB/s ", static_cast<double>(speed));
    std::printf("   ");
    // A line per block, and it reaches the screen (or the log) as it is made.
    std::fflush(stdout);
}

// The chunk of one block as it goes to the archive.
struct Chunk {
    uint32_t method = METHOD_BLOCK;
    uint32_t length = 0;  // of the block
    const uint8_t* payload = nullptr;
    uint32_t payload_size = 0;
};

bool write_data_chunk(FILE* out, const Chunk& chunk) {
    return write_chunk_header(out, CHUNK_DATA, chunk.method, chunk.payload_size,
                              checksum(1, chunk.payload, chunk.payload_size), chunk.length) == 1 &&
           put(out, chunk.payload, chunk.payload_size);
}

// One block on its way through the run: read into `block` by the one
// thread that reads the input, coded by a worker with its own table, its
// chunk written in block order by whichever worker finds it next (a Line).
struct Slot {
    Buffer block;
    Buffer stream;
    WorkerTable table;
    LineTask task;
    FILE* out = nullptr;
    Chunk chunk;
    double compress_ms = 0;
};

bool make_slot(Slot* slot, bool own_table) {
    slot->block.reset(static_cast<uint8_t*>(allocate_block_memory(BLOCK_SIZE)));
    slot->stream.reset(static_cast<uint8_t*>(allocate_block_memory(OUTPUT_BUFFER_SIZE)));
    return slot->block != nullptr && slot->stream != nullptr && (!own_table || make_worker_table(&slot->table));
}

void code_block(void* argument) {
    auto* slot = static_cast<Slot*>(argument);
    Chunk& chunk = slot->chunk;
    chunk.payload = slot->block.get();
    chunk.payload_size = chunk.length;
    slot->compress_ms = 0;
    if (chunk.length < STORE_THRESHOLD) {
        chunk.method = METHOD_STORED;
        return;
    }
    chunk.method = METHOD_BLOCK;
    uint8_t* block = slot->block.get();
    uint8_t* stream = slot->stream.get();
    // Only the codec is timed: the figure is the codec's speed, not the disk's.
    const uint32_t start = GetTickCount();
    chunk.payload_size = static_cast<uint32_t>(compress_with(slot->table, block, stream, chunk.length));
    const uint32_t stop = GetTickCount();
    // Unsigned subtraction stays right when the tick counter wraps.
    slot->compress_ms = static_cast<double>(static_cast<uint32_t>(stop - start));
    chunk.payload = stream;
}

bool write_chunk(void* argument) {
    auto* slot = static_cast<Slot*>(argument);
    return write_data_chunk(slot->out, slot->chunk);
}

}  // namespace

uint64_t progress_percent(uint64_t bytes_read, uint64_t input_size) {
    // An input that grows while it is read has bytes where none were expected;
    // the run fails at its end, but the line before must not divide by zero.
    if (input_size == 0) return 0;
    return bytes_read * 100 / input_size;
}

int64_t progress_saving_tenths(uint64_t bytes_read, uint64_t bytes_written) {
    if (bytes_read == 0) return 0;
    // Signed division truncates toward zero: -1.358 tenths shows as -0.1.
    return (static_cast<int64_t>(bytes_read) - static_cast<int64_t>(bytes_written)) * 1000 /
           static_cast<int64_t>(bytes_read);
}

int64_t completion_saving_tenths(uint64_t input_size, uint64_t bytes_written) {
    // An empty input has saved nothing; its archive is all overhead.
    if (input_size == 0) return 0;
    return 1000 - static_cast<int64_t>(bytes_written * 1000 / input_size);
}

float compression_speed(uint64_t bytes_read, double compress_ms) {
    if (compress_ms == 0) return 0;
    return static_cast<float>((static_cast<double>(bytes_read) / 1024000) / (compress_ms / 1000));
}

namespace {

// Opens the input and takes its size; false, with the reason printed, when
// it cannot be packed: it does not open, is a folder, has no length to take,
// is an archive itself or does not fit the entry's 32-bit size.
bool open_input(const char* input, InputFile* in, uint64_t* input_size, FileAttributes* attributes) {
    in->reset(open_input_file(input));
    if (*in == nullptr) {
        std::printf("Error: could not open %s\n", printable(input).c_str());
        return false;
    }

    int64_t end = -1;
    if (seek_file(in->get(), 0, SEEK_END) == 0) end = tell_file(in->get());
    if (end < 0 || seek_file(in->get(), 0, SEEK_SET) != 0) {
        std::printf("Error: reading %s failed!\n", printable(input).c_str());
        return false;
    }

    if (is_archive(in->get())) {
        std::printf("Error: file %s is already a %s archive!\n", printable(input).c_str(), PROGRAM_NAME);
        return false;
    }
    if (static_cast<uint64_t>(end) > LARGEST_INPUT) {
        std::printf("Error: file %s is too large (4 GiB or more)!\n", printable(input).c_str());
        return false;
    }
    *input_size = static_cast<uint64_t>(end);
    *attributes = file_attributes(in->get());
    return true;
}

// pack_file on an input that open_input accepted, or on none yet.
int pack_input(const char* input, InputFile in, uint64_t input_size, FileAttributes* attributes, FILE* out,
               const char* output, unsigned cpus) {
    // The first block's buffers before anything else: without them nothing
    // can be packed. Later ones only as the run needs them.
    Slot slots[MAX_SLOTS];
    if (!make_slot(&slots[0], false)) {
        std::printf("Error: not enough memory!\n");
        return -1;
    }
    uint8_t* block = slots[0].block.get();
    if (in == nullptr && !open_input(input, &in, &input_size, attributes)) return -1;

    const char* name = stored_name(input);
    const uint32_t name_bytes = static_cast<uint32_t>(std::strlen(name)) + 1;
    store_le32(block, static_cast<uint32_t>(input_size));
    store_le32(block + 4, 0);
    store_le16(block + 8, name_bytes);
    uint32_t entry_checksum = checksum(1, block, FILE_ENTRY_FIXED_BYTES);
    entry_checksum = checksum(entry_checksum, reinterpret_cast<const uint8_t*>(name), name_bytes);
    if (write_chunk_header(out, CHUNK_FILE_ENTRY, 0, FILE_ENTRY_FIXED_BYTES + name_bytes, entry_checksum, 0) != 1 ||
        !put(out, block, FILE_ENTRY_FIXED_BYTES) || !put(out, name, name_bytes)) {
        report_write_failure(output);
        return -1;
    }

    // 64 bits wide so that an archive that grows past 4 GiB (an input just
    // under 4 GiB that does not compress) is still counted right.
    uint64_t bytes_written = CHUNK_HEADER_SIZE + FILE_ENTRY_FIXED_BYTES + name_bytes;
    uint64_t bytes_read = 0;
    double compress_ms = 0;
    char label[20];
    writer_label(printable(name).c_str(), label);

    // One thread reads the blocks in order; workers code them and write
    // their chunks in order. Progress line k is printed once block k is read
    // and every chunk before it written, with the figures of those chunks:
    // the screen is that of a run that does one block at a time.
    const unsigned workers = worker_count((input_size + BLOCK_SIZE - 1) / BLOCK_SIZE, cpus);
    unsigned slots_allowed = slot_count(workers);
    unsigned slots_made = 1;
    Slot* free_slots[MAX_SLOTS] = {&slots[0]};
    unsigned free_count = 1;
    uint64_t blocks_read = 0;
    uint64_t chunks_written = 0;
    uint64_t bytes_done = 0;  // of the blocks whose chunks are written
    bool input_ended = false;
    // The entry announced input_size bytes: reads stop there, and a byte
    // beyond (a device, a /proc file, a file that grows) fails the run.
    bool input_grew = false;
    Line line;
    // Destroyed before the slots: every job handed in has run by then.
    // One worker is this thread itself: a pool of no thread runs each job here.
    WorkerPool pool(workers > 1 ? workers : 0);
    auto print_line = [&] {
        print_progress(label, progress_percent(bytes_done, input_size),
                       progress_saving_tenths(bytes_done, bytes_written), compression_speed(bytes_done, compress_ms));
    };
    // Counts the oldest chunk in flight once it is written; false when it is
    // not yet (and `wait` is false) or its write failed.
    bool write_failed = false;
    auto take_chunk = [&](bool wait) {
        auto* slot = static_cast<Slot*>(line.ring[line.taken % MAX_LINE_TASKS]->argument);
        const LineState state = take_oldest(&pool, &line, wait);
        if (state == LineState::kBusy) return false;
        if (state != LineState::kFinished) {
            write_failed = true;
            return false;
        }
        ++chunks_written;
        bytes_done += slot->chunk.length;
        bytes_written += CHUNK_HEADER_SIZE + slot->chunk.payload_size;
        compress_ms += slot->compress_ms;
        free_slots[free_count++] = slot;
        // Line k is due once block k is read and the chunks before it written.
        if (blocks_read > chunks_written) print_line();
        return true;
    };

    for (;;) {
        while (in_flight(&line) > 0 && take_chunk(false)) {
        }
        if (write_failed) break;
        if (!input_ended && free_count == 0 && slots_made < slots_allowed) {
            if (make_slot(&slots[slots_made], true)) {
                free_slots[free_count++] = &slots[slots_made++];
            } else {
                // No memory for another: the run goes on with the slots it has.
                slots[slots_made] = Slot();
                slots_allowed = slots_made;
            }
        }
        if (!input_ended && free_count > 0) {
            Slot* slot = free_slots[free_count - 1];
            const uint64_t left = input_size - bytes_read;
            if (left == 0) {
                uint8_t beyond = 0;
                input_grew = std::fread(&beyond, 1, 1, in.get()) == 1;
                input_ended = true;
                continue;
            }
            const uint32_t want = left < BLOCK_SIZE ? static_cast<uint32_t>(left) : BLOCK_SIZE;
            const uint32_t n = static_cast<uint32_t>(std::fread(slot->block.get(), 1, want, in.get()));
            if (n == 0) {
                input_ended = true;
                continue;
            }
            --free_count;
            slot->chunk = Chunk();
            slot->chunk.length = n;
            slot->out = out;
            ++blocks_read;
            bytes_read += n;
            submit_in_line(&pool, &line, &slot->task, code_block, write_chunk, slot);
            if (chunks_written + 1 == blocks_read) print_line();
            continue;
        }
        if (in_flight(&line) == 0) break;
        if (!take_chunk(true) && write_failed) break;
    }
    if (write_failed) {
        report_write_failure(output);
        return -1;
    }

    // Push out what stdio still holds, so that a full disk is reported
    // before the summary claims an archive.
    if (std::fflush(out) != 0) {
        report_write_failure(output);
        return -1;
    }

    const bool read_failed = std::ferror(in.get()) != 0;
    in.reset();
    if (read_failed || input_grew || bytes_read != input_size) {
        std::printf("\n");
        std::printf("Error: reading %s failed!\n", printable(input).c_str());
        return -1;
    }

    std::printf("\r%s Completed 100%% Saved : %2.1f%% ", label,
                static_cast<double>(completion_saving_tenths(input_size, bytes_written)) / 10);
    std::printf(" CPU speed : %3.0fMB/s ", static_cast<double>(compression_speed(bytes_read, compress_ms)));
    std::printf("   \n");
    // Unsigned: inputs from 2 GiB up to 4 GiB - 1 are valid and must not print negative.
    std::printf("%s %llu -> %llu  ", label, static_cast<unsigned long long>(input_size),
                static_cast<unsigned long long>(bytes_written));
    return 0;
}

}  // namespace

int pack_file(const char* input, FILE* out, const char* output, unsigned cpus) {
    FileAttributes attributes;
    return pack_input(input, nullptr, 0, &attributes, out, output, cpus);
}

int compress_command(bool force, const char* input, const char* output) {
    return compress_command_with(force, input, output, usable_cpus());
}

int compress_command_with(bool force, const char* input, const char* output, unsigned cpus) {
    const std::string shown = printable(output);
    const char* shown_output = shown.c_str();
    // Before anything else: with -f the existence test below would already
    // announce an overwrite of the very file that is to be packed.
    if (same_file(input, output)) {
        std::printf("Error: input and output are the same file %s. Aborted.\n\n", shown_output);
        return -1;
    }
    // The messages go there too: the archive would be mixed with them.
    if (is_standard_output(output)) {
        std::printf("Error: output %s is the standard output. Aborted.\n\n", shown_output);
        return -1;
    }

    // Anything under the name counts, a FIFO or a dangling link too; none is opened.
    const bool exists = path_exists(output);
    if (exists) {
        if (!force) {
            std::printf("Error: file %s already exists. Aborted.\n\n", shown_output);
            return -1;
        }
        std::printf("file %s is overwritten.\n", shown_output);
    }
    // An existing output is replaced only by an archive of an input that can
    // be packed: a mistyped input name must not cost the archive that is there.
    InputFile in;
    uint64_t input_size = 0;
    FileAttributes attributes;
    if (exists && !open_input(input, &in, &input_size, &attributes)) {
        std::printf("%s\n", shown_output);
        return -1;
    }

    // The archive is written under a temporary name in its folder and takes
    // its name once it is finished: a failed or interrupted run leaves no
    // output, and with -f the old archive stays whole until then. A device
    // or FIFO is written in place and left as it is.
    const OutputKind kind = exists ? output_kind(output) : OutputKind::kAbsent;
    Folder folder;
    const char* leaf = nullptr;
    PendingFile pending;
    FILE* out = nullptr;
    if (kind == OutputKind::kDevice) {
        out = open_output_in_place(output);
    } else if (kind != OutputKind::kFolder && open_output_folder(output, &folder, &leaf) && leaf[0] != '\0' &&
               create_pending_file(folder, &pending)) {
        out = pending.file;
    }
    if (out == nullptr) {
        std::printf("Error: could not create %s. Aborted.\n\n", shown_output);
        return -1;
    }

    int result = -1;
    if (write_archive_magic(out)) {
        result = pack_input(input, std::move(in), input_size, &attributes, out, output, cpus);
    } else {
        report_write_failure(output);
    }
    std::printf("%s\n", shown_output);

    // A write failure sets the stream's error flag and has been reported where
    // it happened; the close is the last chance for one that has not shown yet.
    const bool reported = std::ferror(out) != 0;
    const bool whole = kind == OutputKind::kDevice ? std::fclose(out) == 0 : finish_pending_file(&pending, attributes);
    if (!whole) {
        if (!reported) report_write_failure(output);
        result = -1;
    }
    if (kind == OutputKind::kDevice) return result;
    if (result != 0) {
        remove_pending_file(&pending);
        return -1;
    }
    switch (name_pending_file(&pending, leaf, force)) {
        case Renamed::kDone:
            return 0;
        case Renamed::kExists:
            // Without -f a name that appeared while the archive was written is kept.
            std::printf("Error: file %s already exists. Aborted.\n\n", shown_output);
            break;
        case Renamed::kReplaced:
            std::printf("Error: temporary file of %s was replaced. Aborted.\n\n", shown_output);
            return -1;
        case Renamed::kFailed:
            std::printf("Error: could not create %s. Aborted.\n\n", shown_output);
            break;
    }
    remove_pending_file(&pending);
    return -1;
}
