// The default mode: one input file into a new archive.
//
// compress_command owns the output file (the refusal to replace, creation, the
// magic, closing); pack_file owns the input and its two buffers and writes the
// file entry and one data chunk per block. Every failure prints one line and
// leaves whatever was written on disk.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "archive/archive.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace {

constexpr const char* PROGRAM_NAME = "ZORV";
// file_size, reserved and name_length in front of the name.
constexpr uint32_t FILE_ENTRY_FIXED_BYTES = 10;
// file_size is 32 bits wide.
constexpr uint64_t LARGEST_INPUT = 0xFFFFFFFFu;

struct FreeDeleter {
    void operator()(void* block) const { std::free(block); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

struct CloseDeleter {
    void operator()(FILE* file) const { std::fclose(file); }
};
using InputFile = std::unique_ptr<FILE, CloseDeleter>;

// stdio keeps small writes in its buffer, so a full disk may show only at a
// later write, at the final flush or at the close; each of those reports it.
void report_write_failure(const char* output) { std::printf("\nError: writing %s failed!\n", output); }

bool put(FILE* file, const void* bytes, size_t count) {
    return count == 0 || std::fwrite(bytes, 1, count, file) == count;
}

// "%2.i" has precision 0, so 0 prints as two spaces.
void print_progress(const char* label, uint64_t percent, int64_t saving_tenths, float speed) {
    std::printf("\r%s Progress [%2.i%%] ", label, static_cast<int>(percent));
    std::printf("Saved : %.1f%% ", static_cast<double>(saving_tenths) / 10);
    std::printf(" CPU speed : %3.0fMB/s ", static_cast<double>(speed));
    std::printf("   ");
}

// The same device and inode: writing the output would empty the input
// before it is read, whatever path or link names it.
bool same_file(const char* input, const char* output) {
    struct stat in_stat {};
    struct stat out_stat {};
    if (stat(input, &in_stat) != 0 || stat(output, &out_stat) != 0) return false;
    return in_stat.st_dev == out_stat.st_dev && in_stat.st_ino == out_stat.st_ino;
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

// The file work of one step, done by a second thread while the next block is
// compressed: write the chunk before it, then read the block after it. A
// failed write leaves the read undone; the run ends there.
struct FileWork {
    FILE* in = nullptr;
    FILE* out = nullptr;
    Chunk chunk;
    bool write = false;
    bool written = true;
    uint8_t* read_into = nullptr;
    uint32_t read = 0;
};

void do_file_work(void* argument) {
    auto* work = static_cast<FileWork*>(argument);
    work->written = !work->write || write_data_chunk(work->out, work->chunk);
    work->read = 0;
    if (work->written && work->read_into != nullptr)
        work->read = static_cast<uint32_t>(std::fread(work->read_into, 1, BLOCK_SIZE, work->in));
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

int pack_file(const char* input, FILE* out, const char* output) {
    // Two of each buffer: while one block is compressed, the chunk before it
    // is written from the other stream buffer and the block after it is read
    // into the other input buffer.
    Buffer in_buffers[2];
    Buffer out_buffers[2];
    for (int k = 0; k < 2; ++k) {
        in_buffers[k].reset(static_cast<uint8_t*>(allocate_block_memory(BLOCK_SIZE)));
        out_buffers[k].reset(static_cast<uint8_t*>(allocate_block_memory(OUTPUT_BUFFER_SIZE)));
        if (in_buffers[k] == nullptr || out_buffers[k] == nullptr) {
            std::printf("Error: not enough memory!\n");
            return -1;
        }
    }
    uint8_t* block = in_buffers[0].get();

    InputFile in(std::fopen(input, "rb"));
    struct stat in_stat {};
    // A folder opens for reading here but holds no bytes to pack.
    if (in != nullptr && (fstat(fileno(in.get()), &in_stat) != 0 || S_ISDIR(in_stat.st_mode))) in.reset();
    if (in == nullptr) {
        std::printf("Error: could not open %s\n", input);
        return -1;
    }

    int64_t end = -1;
    if (fseeko(in.get(), 0, SEEK_END) == 0) end = ftello(in.get());
    if (end < 0 || fseeko(in.get(), 0, SEEK_SET) != 0) {
        std::printf("Error: reading %s failed!\n", input);
        return -1;
    }

    if (is_archive(in.get())) {
        std::printf("Error: file %s is already a %s archive!\n", input, PROGRAM_NAME);
        return -1;
    }
    if (static_cast<uint64_t>(end) > LARGEST_INPUT) {
        std::printf("Error: file %s is too large (4 GiB or more)!\n", input);
        return -1;
    }
    const uint64_t input_size = static_cast<uint64_t>(end);

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
    writer_label(name, label);

    // Each step prints its progress line, compresses its block and leaves the
    // chunk for the next step's file work. The line is printed once the write
    // before it is known to have succeeded, so the screen shows what it would
    // if every step wrote its own chunk before the next one began.
    BackgroundTask task;
    FileWork work;
    work.in = in.get();
    work.out = out;
    uint32_t n = static_cast<uint32_t>(std::fread(block, 1, BLOCK_SIZE, in.get()));
    Chunk pending;
    bool has_pending = false;
    for (unsigned step = 0; n > 0; ++step) {
        const unsigned side = step & 1;
        block = in_buffers[side].get();
        const uint64_t percent = progress_percent(bytes_read, input_size);
        const int64_t saving = progress_saving_tenths(bytes_read, bytes_written);
        const float speed = compression_speed(bytes_read, compress_ms);
        bytes_read += n;

        work.chunk = pending;
        work.write = has_pending;
        work.read_into = in_buffers[side ^ 1].get();
        start_background(&task, do_file_work, &work);

        Chunk chunk;
        chunk.length = n;
        chunk.payload = block;
        chunk.payload_size = n;
        if (n < STORE_THRESHOLD) {
            chunk.method = METHOD_STORED;
        } else {
            uint8_t* stream = out_buffers[side].get();
            // Only the codec is timed: the figure is the codec's speed, not the disk's.
            const uint32_t start = GetTickCount();
            chunk.payload_size = static_cast<uint32_t>(compress_block(block, stream, n));
            const uint32_t stop = GetTickCount();
            // Unsigned subtraction stays right when the tick counter wraps.
            compress_ms += static_cast<double>(static_cast<uint32_t>(stop - start));
            chunk.payload = stream;
        }

        finish_background(&task);
        if (!work.written) {
            report_write_failure(output);
            return -1;
        }
        print_progress(label, percent, saving, speed);
        pending = chunk;
        has_pending = true;
        bytes_written += CHUNK_HEADER_SIZE + chunk.payload_size;
        n = work.read;
    }
    if (has_pending && !write_data_chunk(out, pending)) {
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
    if (read_failed || bytes_read != input_size) {
        std::printf("\n");
        std::printf("Error: reading %s failed!\n", input);
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

int compress_command(bool force, const char* input, const char* output) {
    // Before anything else: with -f the existence test below would already
    // announce an overwrite of the very file that is to be packed.
    if (same_file(input, output)) {
        std::printf("Error: input and output are the same file %s. Aborted.\n\n", output);
        return -1;
    }

    if (FILE* existing = std::fopen(output, "rb")) {
        std::fclose(existing);
        if (!force) {
            std::printf("Error: file %s already exists. Aborted.\n\n", output);
            return -1;
        }
        std::printf("file %s is overwritten.\n", output);
    }

    // Without -f the creation itself refuses any existing name: a file that
    // could not be read above, one that appeared since, or a dangling link.
    FILE* out = std::fopen(output, force ? "wb" : "wbx");
    if (out == nullptr) {
        if (!force && errno == EEXIST) {
            std::printf("Error: file %s already exists. Aborted.\n\n", output);
        } else {
            std::printf("Error: could not create %s. Aborted.\n\n", output);
        }
        return -1;
    }

    int result = -1;
    if (write_archive_magic(out)) {
        result = pack_file(input, out, output);
    } else {
        report_write_failure(output);
    }
    std::printf("%s\n", output);

    // A write failure sets the stream's error flag and has been reported where
    // it happened; the close is the last chance for one that has not shown yet.
    const bool reported = std::ferror(out) != 0;
    if (std::fclose(out) != 0) {
        if (!reported) report_write_failure(output);
        result = -1;
    }
    return result;
}
