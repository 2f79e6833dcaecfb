// SPDX-License-Identifier: BSD-2-Clause
#include "bench/bench.h"

#include <cstdio>
#include <memory>
#include <new>

#include "archive/archive.h"
#include "codec/codec.h"
#include "platform/platform.h"

namespace {

constexpr const char* PROGRAM_NAME = "ZORV";
constexpr uint32_t PASSES = 3;
constexpr uint32_t PASS_MS = 2000;
constexpr uint64_t BENCH_MIN_ROOM = 66;
constexpr double ROOM_FACTOR = 1.05;
// The whole file is one block and the codec counts its bytes in 32 bits.
constexpr uint64_t LENGTH_LIMIT = uint64_t{1} << 32;

// Waits for the tick counter to step and returns the reading after the step,
// so that a pass never starts part-way through a millisecond that is already
// counted.
uint32_t fresh_tick() {
    uint32_t first = GetTickCount();
    while (GetTickCount() == first) {
    }
    return GetTickCount();
}

// Both pass loops test the clock before every call, so a call that starts
// within PASS_MS is always completed and counted. The readings are compared by
// unsigned 32-bit subtraction, which stays right when a pass spans the wrap
// of the counter.
double compression_pass(const uint8_t* block, uint32_t length, uint8_t* stream, uint32_t* stream_length) {
    uint32_t calls = 0;
    uint32_t start = fresh_tick();
    uint32_t last = 0;
    while (GetTickCount() - start < PASS_MS) {
        // Never negative, and for blocks of 2 GiB or more the count goes past
        // the signed range: it is an unsigned 32-bit length.
        last = static_cast<uint32_t>(compress_block(block, stream, length));
        ++calls;
    }
    uint32_t elapsed = GetTickCount() - start;
    *stream_length = last;
    return pass_speed(length, calls, elapsed);
}

double decompression_pass(const uint8_t* stream, uint32_t stream_length, uint8_t* block, uint32_t length) {
    uint32_t calls = 0;
    uint32_t start = fresh_tick();
    while (GetTickCount() - start < PASS_MS) {
        // Only the time counts here; the restored bytes are not checked.
        decompress_block(stream, block, stream_length, length);
        ++calls;
    }
    uint32_t elapsed = GetTickCount() - start;
    return pass_speed(length, calls, elapsed);
}

// Stream length in percent of the file length; an empty file, whose ratio
// would be 0 / 0, shows 0.0.
double ratio_percent(uint32_t length, uint32_t stream_length) {
    if (length == 0) return 0.0;
    return static_cast<double>(stream_length) / static_cast<double>(length) * 100.0;
}

// The progress text ends in a carriage return so that the next one, and the
// spaces in front of the result line, overwrite it. It is flushed before the
// pass starts, so that it shows during the pass and stays out of its time.
void announce_pass(const char* verb, uint32_t pass) {
    std::printf("%s %i...\r", verb, static_cast<int>(pass));
    std::fflush(stdout);
}

}  // namespace

uint64_t stream_room(uint32_t length) {
    uint64_t room = static_cast<uint64_t>(static_cast<double>(length) * ROOM_FACTOR);
    return room < BENCH_MIN_ROOM ? BENCH_MIN_ROOM : room;
}

double pass_speed(uint32_t length, uint32_t calls, uint32_t elapsed_ms) {
    double seconds = static_cast<double>(elapsed_ms) / 1000.0;
    return static_cast<double>(length) * static_cast<double>(calls) / seconds / 1000000.0;
}

int benchmark_file(FILE* file, const char* path) {
    // A stream whose length cannot be taken (a pipe, for one) cannot be held
    // as one block of known length.
    if (seek_file(file, 0, SEEK_END) != 0) {
        std::printf("Error: could not open %s\n", printable(path).c_str());
        return -1;
    }
    int64_t end = tell_file(file);
    if (end < 0 || seek_file(file, 0, SEEK_SET) != 0) {
        std::printf("Error: could not open %s\n", printable(path).c_str());
        return -1;
    }

    // An archive is refused for what it is, whatever its length; both
    // refusals come before any buffer exists.
    if (is_archive(file)) {
        std::printf("Error: no benchmark for %s archive!\n", PROGRAM_NAME);
        return -1;
    }
    if (static_cast<uint64_t>(end) >= LENGTH_LIMIT) {
        std::printf("Error: file %s is too large (4 GiB or more)!\n", printable(path).c_str());
        return -1;
    }
    uint32_t length = static_cast<uint32_t>(end);
    const char* name = stored_name(path);

    // An empty file still gets both buffers: new[] of 0 elements is a valid,
    // non-null allocation.
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[length]);
    std::unique_ptr<uint8_t[]> stream;
    if (block) stream.reset(new (std::nothrow) uint8_t[stream_room(length)]);
    if (!block || !stream) {
        std::printf("Error: not enough memory!\n");
        return -1;
    }

    std::printf("Reading source file....\n");
    size_t got = std::fread(block.get(), 1, length, file);
    if (got < length) {
        std::printf("Error reading file %s!\n", printable(name).c_str());
        // Both counts are below 4 GiB; printed unsigned so that files of 2 GiB
        // or more show their true figures.
        std::printf("Read %u bytes, expecting %u bytes\n", static_cast<unsigned>(got), static_cast<unsigned>(length));
        return -1;
    }

    // Raised once for all six passes and never lowered; without the privilege
    // the passes run at the normal priority.
    std::printf("Setting HIGH_PRIORITY_CLASS...\n");
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);

    std::printf("Benchmarking %s , please wait...\n", PROGRAM_NAME);

    // The best pass is kept, not the mean: slower passes are the ones that
    // something else on the machine interrupted.
    uint32_t stream_length = 0;
    double best = 0.0;
    for (uint32_t pass = 1; pass <= PASSES; ++pass) {
        announce_pass("Crunching", pass);
        double speed = compression_pass(block.get(), length, stream.get(), &stream_length);
        if (speed > best) best = speed;
    }
    std::printf("                   \nCompressed %u bytes into %u bytes (%.1f%%) at %.1f Mbyte/s.\n",
                static_cast<unsigned>(length), static_cast<unsigned>(stream_length),
                ratio_percent(length, stream_length), best);

    best = 0.0;
    for (uint32_t pass = 1; pass <= PASSES; ++pass) {
        announce_pass("Restoring", pass);
        double speed = decompression_pass(stream.get(), stream_length, block.get(), length);
        if (speed > best) best = speed;
    }
    std::printf("                    \nDecompressed at %.1f Mbyte/s.\n\n(1 MB = 1000000 byte)\n", best);
    return 0;
}

int benchmark_command(const char* path) {
    OwnedFile file(open_input_file(path));
    if (!file) {
        std::printf("Error: could not open %s\n", printable(path).c_str());
        return -1;
    }
    return benchmark_file(file.get(), path);
}
