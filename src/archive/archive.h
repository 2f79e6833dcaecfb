// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// The archive container: the file format routines, the writer (default mode)
// and the reader (-u).
//
// An archive is the 8-byte ARCHIVE_MAGIC followed by chunks. Each chunk is a
// 16-byte little-endian header (id, options, size, checksum, extra) and `size`
// payload bytes. One CHUNK_FILE_ENTRY names the stored file and gives its
// length; one CHUNK_DATA per block of BLOCK_SIZE bytes follows, stored as it
// is (METHOD_STORED) or as a block stream (METHOD_BLOCK).

#include <cstdint>
#include <cstdio>
#include <string>

#include "codec/codec.h"
#include "platform/platform.h"

inline constexpr uint32_t BLOCK_SIZE = 8388608;
// Room for the longest block stream of a full block (8421505 bytes) and more.
inline constexpr uint32_t OUTPUT_BUFFER_SIZE = 9437234;
// Blocks shorter than this are written as they are.
inline constexpr uint32_t STORE_THRESHOLD = 32;
// The reader's buffer for one file-entry payload or one piece of stored data.
inline constexpr uint32_t ENTRY_BUFFER_SIZE = 65536;
// The longest block stream compress_block makes from BLOCK_SIZE bytes.
inline constexpr uint32_t MAX_BLOCK_STREAM = BLOCK_SIZE + BLOCK_SIZE / 255 + 1;

inline constexpr uint8_t ARCHIVE_MAGIC[8] = {0x89, 'J', 'I', 'X', 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr uint32_t CHUNK_HEADER_SIZE = 16;

inline constexpr uint32_t CHUNK_FILE_ENTRY = 1;
inline constexpr uint32_t CHUNK_DATA = 17;
inline constexpr uint32_t METHOD_STORED = 0;
inline constexpr uint32_t METHOD_BLOCK = 1;

// A worker's share of memory when blocks are coded side by side: its block
// (8 MiB), the stream (9437234 bytes, on whole huge pages 10 MiB) and its
// match table on a huge page of its own (2 MiB). A run keeps at most
// workers + 2 of these (slot_count).
inline constexpr uint64_t WORKER_MEMORY = uint64_t{20} << 20;
// All workers' memory together stays within this, and within a quarter of
// the machine's memory: 49 workers here, far more than the CPUs of most
// machines, and no more than the pool's 64 threads.
inline constexpr uint64_t WORKERS_MEMORY = uint64_t{1} << 30;
inline constexpr unsigned MAX_WORKERS = static_cast<unsigned>(WORKERS_MEMORY / WORKER_MEMORY) - 2;
// The most block buffers a run keeps (slot_count of MAX_WORKERS).
inline constexpr unsigned MAX_SLOTS = MAX_WORKERS + 2;

// The five fields of a chunk header, widened to 32 bits.
struct ChunkHeader {
    uint32_t id;
    uint32_t options;
    uint32_t size;
    uint32_t checksum;
    uint32_t extra;
};

// Little-endian loads and stores on unaligned bytes.
uint32_t load_le16(const uint8_t* bytes);
uint32_t load_le32(const uint8_t* bytes);
void store_le16(uint8_t* bytes, uint32_t value);
void store_le32(uint8_t* bytes, uint32_t value);

// True when the file starts with the 8 bytes of ARCHIVE_MAGIC. The file
// position is 0 afterwards, whatever the answer.
bool is_archive(FILE* file);

// Writes ARCHIVE_MAGIC at the current position. Returns true when all 8 bytes
// were handed to the file.
bool write_archive_magic(FILE* file);

// Lays out one header (only the low 16 bits of id and options) and writes it
// with one write call. Returns the count of records written: 1 on success.
size_t write_chunk_header(FILE* file, uint32_t id, uint32_t options, uint32_t size, uint32_t checksum, uint32_t extra);

// Reads the 16 header bytes at the current position into `header` and returns
// how many bytes were there; fewer than 16 means the archive ended inside the
// header, and the bytes that were not there count as 0 in the fields.
size_t read_chunk_header(FILE* file, ChunkHeader* header);

// The checksum of every chunk's payload. It is 0 for every input: every
// archive carries 0 in that field and readers reject any other value.
uint32_t checksum(uint32_t seed, const uint8_t* bytes, uint32_t length);

// The name stored for an input path: what follows its last '\' or '/', and
// with `drive_prefixes` (the default on Windows) not a leading drive ("C:"
// of C:data.bin, the current folder of drive C).
const char* stored_name(const char* path, bool drive_prefixes = DRIVE_PREFIXES);

// The 16-character display label of `name` in a 20-byte field: the name
// padded with spaces, or its first 13 characters and ".." when it has 16 or
// more. The writer's label ends there; the reader's has '[' as 17th character.
void writer_label(const char* name, char field[20]);
void reader_label(const char* name, char field[20]);

// A name as it is printed, labels included, whether typed or stored: each
// control byte (below 0x20, and 0x7F), each C1 control (0x80 to 0x9F as a
// lone byte or UTF-8 encoded) and each bidirectional override or isolate
// (U+202A to U+202E, U+2066 to U+2069) becomes one '?', so that a crafted
// name can neither forge nor erase a line nor talk to the terminal. Takes
// the first `length` bytes of `name`; `shown` has room for them and a zero
// byte. Returns its length.
size_t printable_name(const char* name, size_t length, char* shown);
std::string printable(const char* name);

// A worker's match table. The first slot of a run leaves `table` null and
// codes with the process's own table: no other slot uses that one, and it
// needs no memory.
struct WorkerTable {
    OwnedBytes memory;
    MatchTable* table = nullptr;
};

// Gives `table` a table of its own on a huge page; false without memory.
bool make_worker_table(WorkerTable* table);

// compress_block and decompress_block with the worker's table, or with the
// process's own where it has none.
int32_t compress_with(const WorkerTable& table, const uint8_t* source, uint8_t* destination, uint32_t size);
int32_t decompress_with(const WorkerTable& table, const uint8_t* source, uint8_t* destination, uint32_t size,
                        uint32_t room);

// How many blocks of a run of `blocks` are coded at once: `cpus`, at most
// MAX_WORKERS and the share of memory that the machine allows, at most
// `blocks`, at least 1.
unsigned worker_count(uint64_t blocks, unsigned cpus);

// The block buffers a run with `workers` workers keeps at most. One worker
// is the reading thread itself, with one buffer: on one CPU a second thread
// and buffer only cost memory (19 MiB in place of 33, in the same time).
// From two on, two more than the workers, so that no worker waits while the
// reading thread is busy with another block.
unsigned slot_count(unsigned workers);

// zorv input [output]: packs `input` into a new archive at `output`, replacing
// an existing one only with `force`. Returns 0 or -1.
int compress_command(bool force, const char* input, const char* output);

// The same with at most `cpus` workers, whatever the machine has: the screen,
// the archive and the result are those of compress_command.
int compress_command_with(bool force, const char* input, const char* output, unsigned cpus);

// Packs `input` into `out`, which holds only the magic: the file entry, one
// data chunk per block, the progress lines, the completion line and the start
// of the summary line, which the caller ends with `output`, the archive's
// path (also named in a write failure). Closes the input, not `out`. Returns
// 0 or -1 after printing the reason.
int pack_file(const char* input, FILE* out, const char* output, unsigned cpus);

// The writer's printed figures, in 64-bit integer arithmetic. The two savings
// are in tenths of a percent and round differently: the progress figure
// truncates toward zero, the completion figure floors the archive's share.
uint64_t progress_percent(uint64_t bytes_read, uint64_t input_size);
int64_t progress_saving_tenths(uint64_t bytes_read, uint64_t bytes_written);
int64_t completion_saving_tenths(uint64_t input_size, uint64_t bytes_written);
// Units of 1024000 bytes per second of time spent inside compress_block; 0
// when no time was measured.
float compression_speed(uint64_t bytes_read, double compress_ms);

// zorv -u archive: restores the stored file of `archive` under its stored name,
// never replacing an existing file. Returns 0, or -1 when the archive cannot be
// read as one, or when a file was refused as unsafe, could not be created, was
// abandoned after an error or left shorter than its entry announced, or when
// data stands in front of every file entry.
int extract_command(const char* archive);

// The same with at most `cpus` workers, whatever the machine has: the screen,
// the files left and the result are those of extract_command. With
// `in_order` a file is read from front to back as a pipe is, which leaves
// the same screen, files and result.
int extract_command_with(const char* archive, unsigned cpus, bool in_order = false);
