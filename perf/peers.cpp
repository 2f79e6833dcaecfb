// SPDX-License-Identifier: BSD-2-Clause
// The peer benchmark: ZORV's block codec against lz4, zstd, snappy and zlib on
// the same inputs, in one run, so that the speed ratios compare like with like
// on a shared, noisy machine.
//
// Every input is cut into blocks of 8388608 bytes as the archive writer cuts a
// file; each codec compresses all blocks, then decompresses all of them. Each
// direction repeats the whole set of blocks for at least `-t` seconds per round
// (default 1), and the best of 3 rounds counts. The round trip is verified.
//
// Usage: zorv_peers [-t seconds] [-c codec,codec...] [-r] input...
// An input that is a folder stands for the concatenation of all regular files
// below it (sorted by path). -c measures only the codecs named (ZORV is always
// measured, for the ratios); -r skips the random-bytes line.

#include <dirent.h>
#include <lz4.h>
#include <snappy-c.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "archive.h"
#include "codec.h"
#include "measure.h"

namespace {

double min_seconds = 1.0;
std::string only;  // comma-separated codec names, empty for all
constexpr int ROUNDS = 3;

struct Input {
    std::string name;
    std::vector<uint8_t> bytes;
};

struct Codec {
    const char* name;
    size_t (*bound)(size_t n);
    // Both return the bytes produced, or SIZE_MAX when the codec reports a failure.
    size_t (*compress)(const uint8_t* src, size_t n, uint8_t* dst, size_t cap);
    size_t (*decompress)(const uint8_t* src, size_t n, uint8_t* dst, size_t original);
};

// ---- the codecs, each behind the same three functions ----

size_t copy_bound(size_t n) { return n; }
size_t copy_compress(const uint8_t* src, size_t n, uint8_t* dst, size_t) {
    std::memcpy(dst, src, n);
    return n;
}
size_t copy_decompress(const uint8_t* src, size_t n, uint8_t* dst, size_t) {
    std::memcpy(dst, src, n);
    return n;
}

size_t zorv_bound(size_t n) { return n + n / 255 + 1; }
size_t zorv_compress(const uint8_t* src, size_t n, uint8_t* dst, size_t) {
    return static_cast<size_t>(compress_block(src, dst, static_cast<uint32_t>(n)));
}
size_t zorv_decompress(const uint8_t* src, size_t n, uint8_t* dst, size_t original) {
    int32_t got = decompress_block(src, dst, static_cast<uint32_t>(n), static_cast<uint32_t>(original));
    return got < 0 ? SIZE_MAX : static_cast<size_t>(got);
}

size_t lz4_bound(size_t n) { return static_cast<size_t>(LZ4_compressBound(static_cast<int>(n))); }
size_t lz4_compress(const uint8_t* src, size_t n, uint8_t* dst, size_t cap) {
    int got = LZ4_compress_default(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst),
                                   static_cast<int>(n), static_cast<int>(cap));
    return got <= 0 ? SIZE_MAX : static_cast<size_t>(got);
}
size_t lz4_fast8_compress(const uint8_t* src, size_t n, uint8_t* dst, size_t cap) {
    int got = LZ4_compress_fast(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst), static_cast<int>(n),
                                static_cast<int>(cap), 8);
    return got <= 0 ? SIZE_MAX : static_cast<size_t>(got);
}
size_t lz4_decompress(const uint8_t* src, size_t n, uint8_t* dst, size_t original) {
    int got = LZ4_decompress_safe(reinterpret_cast<const char*>(src), reinterpret_cast<char*>(dst), static_cast<int>(n),
                                  static_cast<int>(original));
    return got < 0 ? SIZE_MAX : static_cast<size_t>(got);
}

// Contexts are made once and reused by every call, as a streaming user would.
ZSTD_CCtx* zstd_cctx = nullptr;
ZSTD_DCtx* zstd_dctx = nullptr;
size_t zstd_bound(size_t n) { return ZSTD_compressBound(n); }
size_t zstd_compress_level(const uint8_t* src, size_t n, uint8_t* dst, size_t cap, int level) {
    size_t got = ZSTD_compressCCtx(zstd_cctx, dst, cap, src, n, level);
    return ZSTD_isError(got) ? SIZE_MAX : got;
}
size_t zstd1_compress(const uint8_t* src, size_t n, uint8_t* dst, size_t cap) {
    return zstd_compress_level(src, n, dst, cap, 1);
}
size_t zstd_minus5_compress(const uint8_t* src, size_t n, uint8_t* dst, size_t cap) {
    return zstd_compress_level(src, n, dst, cap, -5);
}
size_t zstd_decompress(const uint8_t* src, size_t n, uint8_t* dst, size_t original) {
    size_t got = ZSTD_decompressDCtx(zstd_dctx, dst, original, src, n);
    return ZSTD_isError(got) ? SIZE_MAX : got;
}

size_t snappy_bound(size_t n) { return snappy_max_compressed_length(n); }
size_t snappy_compress_block(const uint8_t* src, size_t n, uint8_t* dst, size_t cap) {
    size_t got = cap;
    if (snappy_compress(reinterpret_cast<const char*>(src), n, reinterpret_cast<char*>(dst), &got) != SNAPPY_OK)
        return SIZE_MAX;
    return got;
}
size_t snappy_decompress_block(const uint8_t* src, size_t n, uint8_t* dst, size_t original) {
    size_t got = original;
    if (snappy_uncompress(reinterpret_cast<const char*>(src), n, reinterpret_cast<char*>(dst), &got) != SNAPPY_OK)
        return SIZE_MAX;
    return got;
}

// zlib's streams are reset, not rebuilt, between blocks.
z_stream deflater{};
z_stream inflater{};
size_t zlib_bound(size_t n) { return deflateBound(&deflater, static_cast<uLong>(n)); }
size_t zlib_compress(const uint8_t* src, size_t n, uint8_t* dst, size_t cap) {
    deflateReset(&deflater);
    deflater.next_in = const_cast<Bytef*>(src);
    deflater.avail_in = static_cast<uInt>(n);
    deflater.next_out = dst;
    deflater.avail_out = static_cast<uInt>(cap);
    if (deflate(&deflater, Z_FINISH) != Z_STREAM_END) return SIZE_MAX;
    return cap - deflater.avail_out;
}
size_t zlib_decompress(const uint8_t* src, size_t n, uint8_t* dst, size_t original) {
    inflateReset(&inflater);
    inflater.next_in = const_cast<Bytef*>(src);
    inflater.avail_in = static_cast<uInt>(n);
    inflater.next_out = dst;
    inflater.avail_out = static_cast<uInt>(original);
    if (inflate(&inflater, Z_FINISH) != Z_STREAM_END) return SIZE_MAX;
    return original - inflater.avail_out;
}

const Codec CODECS[] = {
    {"memcpy", copy_bound, copy_compress, copy_decompress},
    {"ZORV", zorv_bound, zorv_compress, zorv_decompress},
    {"lz4 default", lz4_bound, lz4_compress, lz4_decompress},
    {"lz4 fast 8", lz4_bound, lz4_fast8_compress, lz4_decompress},
    {"zstd 1", zstd_bound, zstd1_compress, zstd_decompress},
    {"zstd -5", zstd_bound, zstd_minus5_compress, zstd_decompress},
    {"snappy", snappy_bound, snappy_compress_block, snappy_decompress_block},
    {"zlib 1", zlib_bound, zlib_compress, zlib_decompress},
};

// ---- inputs ----

void list_files(const std::string& dir, std::vector<std::string>* out) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            list_files(path, out);
        } else if (S_ISREG(st.st_mode)) {
            out->push_back(path);
        }
    }
    closedir(d);
}

bool load_input(const std::string& path, Input* input) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        input->name = path;
        return read_whole(path, &input->bytes);
    }
    std::vector<std::string> files;
    list_files(path, &files);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        std::vector<uint8_t> bytes;
        if (!read_whole(file, &bytes)) return false;
        input->bytes.insert(input->bytes.end(), bytes.begin(), bytes.end());
    }
    input->name = path + " (" + std::to_string(files.size()) + " files concatenated)";
    return true;
}

// ---- measuring ----

// One codec on one input: its blocks, their compressed forms and the best
// speeds seen so far.
struct Bench {
    struct Block {
        size_t offset, length, slot, packed;
    };
    const Codec* codec = nullptr;
    const std::vector<uint8_t>* data = nullptr;
    std::vector<Block> blocks;
    std::vector<uint8_t> packed;
    size_t compressed = 0;
    double compress_speed = 0;
    double decompress_speed = 0;
    bool ok = true;
};

Bench make_bench(const Codec& codec, const std::vector<uint8_t>& data) {
    Bench bench;
    bench.codec = &codec;
    bench.data = &data;
    size_t slots = 0;
    for (size_t offset = 0; offset < data.size(); offset += BLOCK_SIZE) {
        size_t length = std::min<size_t>(BLOCK_SIZE, data.size() - offset);
        bench.blocks.push_back({offset, length, slots, 0});
        slots += codec.bound(length);
    }
    bench.packed.resize(slots + 1);
    return bench;
}

// One round of compression, then one of decompression into `restored`, and
// the check of the round trip.
void run_round(Bench* bench, std::vector<uint8_t>* restored) {
    const Codec& codec = *bench->codec;
    const std::vector<uint8_t>& data = *bench->data;
    double speed = round_speed(data.size(), min_seconds, [&] {
        for (Bench::Block& b : bench->blocks) {
            b.packed =
                codec.compress(data.data() + b.offset, b.length, bench->packed.data() + b.slot, codec.bound(b.length));
        }
    });
    bench->compress_speed = std::max(bench->compress_speed, speed);
    bench->compressed = 0;
    for (const Bench::Block& b : bench->blocks) {
        if (b.packed == SIZE_MAX) bench->ok = false;
        bench->compressed += b.packed;
    }
    if (!bench->ok) return;
    bool sizes_ok = true;
    speed = round_speed(data.size(), min_seconds, [&] {
        for (const Bench::Block& b : bench->blocks) {
            size_t got =
                codec.decompress(bench->packed.data() + b.slot, b.packed, restored->data() + b.offset, b.length);
            if (got != b.length) sizes_ok = false;
        }
    });
    bench->decompress_speed = std::max(bench->decompress_speed, speed);
    bench->ok = sizes_ok && std::memcmp(restored->data(), data.data(), data.size()) == 0;
}

// All codecs take their rounds in turn, so that a burst of load from other
// programs on the machine falls on one round of each rather than on all
// rounds of one codec.
void run_rounds(std::vector<Bench>* benches, size_t size) {
    std::vector<uint8_t> restored(size + 1);
    for (int round = 0; round < ROUNDS; ++round) {
        for (Bench& bench : *benches) {
            if (bench.ok) run_round(&bench, &restored);
        }
    }
}

// ---- the table's share ----
//
// Replays only the table work the format asks of both coders at the visited
// positions of ZORV's own stream: every entry read, then written, with keys
// and positions from arrays (no parsing, copying, compare or data branch). Not
// a strict bound: the replay streams its arrays, 6 bytes per position, which a
// coder does not; the table floor below has no such share. See "Measuring" in
// doc/performance.md.

// On a huge page of its own, as ZORV's table is, so that both pay the same
// for reaching a scattered entry.
constexpr size_t TABLE_PAGE = size_t{1} << 21;
alignas(TABLE_PAGE) uint32_t table_entries[TABLE_PAGE / sizeof(uint32_t)];
constexpr size_t TABLE_BYTES = 65536 * sizeof(uint32_t);
[[gnu::constructor]] void advise_table_entries() { madvise(table_entries, sizeof table_entries, MADV_HUGEPAGE); }

double table_work_speed(const Bench& zorv) {
    std::vector<uint16_t> keys;
    std::vector<uint32_t> values;
    std::vector<size_t> block_ends;
    const std::vector<uint8_t>& data = *zorv.data;
    for (const Bench::Block& b : zorv.blocks) {
        const uint8_t* s = zorv.packed.data() + b.slot;
        const uint8_t* d = data.data() + b.offset;
        size_t i = 0;
        auto length = [&](uint64_t* value) {
            uint64_t sum = 0;
            for (;;) {
                if (i >= b.packed) return false;
                uint8_t byte = s[i++];
                sum += byte;
                if (byte != 255) break;
            }
            *value = sum;
            return true;
        };
        // The visited positions: each run's positions from two before it, and
        // its context, the two bytes in front of the match.
        uint64_t o = 0;
        uint64_t literal, match;
        while (length(&literal)) {
            const uint64_t a = o;
            i += literal;
            o += literal;
            if (i >= b.packed || o < 2 || !length(&match)) break;
            for (uint64_t x = a >= 2 ? a - 2 : 0; x + 2 <= o; ++x) {
                keys.push_back(static_cast<uint16_t>(d[x] | d[x + 1] << 8));
                values.push_back(static_cast<uint32_t>(x + 1));
            }
            o += match;
        }
        block_ends.push_back(keys.size());
    }
    uint64_t sink = 0;
    double best = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        best = std::max(best, round_speed(data.size(), min_seconds, [&] {
                            size_t j = 0;
                            for (size_t end : block_ends) {
                                std::memset(table_entries, 0, TABLE_BYTES);
                                for (; j < end; ++j) {
                                    sink += table_entries[keys[j]];
                                    table_entries[keys[j]] = values[j];
                                }
                            }
                        }));
    }
    if (sink == 1) std::printf(" ");  // the reads must not be left out
    return best;
}

// What one entry at a scattered key costs on this machine, apart from any
// coder: a floor under the random-bytes figures, where every position is
// entered. The keys need no load (the top 16 bits of the entry's number times
// an odd constant), so only the table's cache lines stand in the way. In ns
// per entry, written alone (the decoder's runs) or read first (the encoder's).
template <bool READ_FIRST>
double scattered_entry_ns() {
    constexpr uint32_t ENTRIES = 1u << 24;
    uint64_t sink = 0;
    double best = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        best = std::max(best, round_speed(ENTRIES, min_seconds, [&] {
                            for (uint32_t i = 0; i < ENTRIES; ++i) {
                                const uint32_t key = (i * 0x9E3779B1u) >> 16;
                                if (READ_FIRST) sink += table_entries[key];
                                table_entries[key] = i;
                            }
                        }));
    }
    if (sink == 1) std::printf(" ");  // the reads must not be left out
    return 1000 / best;               // best is in millions of entries per second
}

// ---- the report ----

void print_machine() {
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    std::printf("machine: %s, %u cores, %s %s, lz4 %s, zstd %s, zlib %s; %d rounds of >= %.1f s per direction\n",
                model.c_str(), std::thread::hardware_concurrency(),
#if defined(__clang__)
                "clang",
#else
                "gcc",
#endif
                __VERSION__, LZ4_versionString(), ZSTD_versionString(), zlibVersion(), ROUNDS, min_seconds);
}

void print_header() {
    std::printf("%-12s %-44s %10s %10s %7s %9s %9s %8s %8s\n", "codec", "file", "size", "compressed", "ratio",
                "comp MB/s", "dec MB/s", "ZORV/c", "ZORV/d");
}

std::string short_name(const std::string& name) {
    return name.size() <= 44 ? name : "..." + name.substr(name.size() - 41);
}

// Random bytes hold no match at all: the encoder visits every position and the
// stream is one literal run, so this isolates the cost per visited position.
void run_random() {
    std::vector<uint8_t> bytes(BLOCK_SIZE);
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (uint8_t& b : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        b = static_cast<uint8_t>(state >> 24);
    }
    std::vector<Bench> benches;
    benches.push_back(make_bench(CODECS[1], bytes));
    run_rounds(&benches, bytes.size());
    const Bench& r = benches[0];
    std::printf("ZORV on %u random bytes: compressed %zu bytes, compress %.2f GB/s, decompress %.2f GB/s%s\n",
                BLOCK_SIZE, r.compressed, r.compress_speed / 1000, r.decompress_speed / 1000,
                r.ok ? "" : "  ROUND TRIP FAILED");
    if (r.ok) std::printf("table work alone on these bytes: %.2f GB/s\n", table_work_speed(r) / 1000);
    const double written = scattered_entry_ns<false>();
    const double read_first = scattered_entry_ns<true>();
    std::printf("table floor: %.2f ns per entry written alone, %.2f ns read first (at most %.2f and %.2f GB/s)\n",
                written, read_first, 1 / written, 1 / read_first);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> paths;
    bool skip_random = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-t") == 0 && i + 1 < argc) {
            min_seconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "-c") == 0 && i + 1 < argc) {
            only = ",";
            only += argv[++i];
            only += ",";
        } else if (std::strcmp(argv[i], "-r") == 0) {
            skip_random = true;
        } else {
            paths.push_back(argv[i]);
        }
    }
    if (paths.empty()) {
        std::printf("usage: zorv_peers [-t seconds] file-or-folder...\n");
        return 2;
    }
    zstd_cctx = ZSTD_createCCtx();
    zstd_dctx = ZSTD_createDCtx();
    if (deflateInit(&deflater, 1) != Z_OK || inflateInit(&inflater) != Z_OK || !zstd_cctx || !zstd_dctx) {
        std::printf("peers: could not set up the peer codecs\n");
        return 1;
    }
    print_machine();
    bool all_ok = true;
    if (!skip_random) run_random();
    for (const std::string& path : paths) {
        Input input;
        if (!load_input(path, &input)) {
            std::printf("peers: cannot read %s\n", path.c_str());
            all_ok = false;
            continue;
        }
        std::printf("\n");
        print_header();
        std::vector<Bench> benches;
        for (const Codec& codec : CODECS) {
            std::string tag = ",";
            tag += codec.name;
            tag += ",";
            if (&codec != &CODECS[1] && !only.empty() && only.find(tag) == std::string::npos) continue;
            benches.push_back(make_bench(codec, input.bytes));
        }
        run_rounds(&benches, input.bytes.size());
        const Bench* zorv = nullptr;
        for (const Bench& b : benches) {
            if (b.codec == &CODECS[1]) zorv = &b;
        }
        for (const Bench& r : benches) {
            double ratio = input.bytes.empty() ? 0 : 100.0 * static_cast<double>(r.compressed) / input.bytes.size();
            std::printf("%-12s %-44s %10zu %10zu %6.1f%% %9.1f %9.1f", r.codec->name, short_name(input.name).c_str(),
                        input.bytes.size(), r.compressed, ratio, r.compress_speed, r.decompress_speed);
            bool peer = r.codec != &CODECS[0] && r.codec != &CODECS[1];
            if (peer && r.compress_speed > 0 && r.decompress_speed > 0 && zorv->ok) {
                std::printf(" %7.2fx %7.2fx", zorv->compress_speed / r.compress_speed,
                            zorv->decompress_speed / r.decompress_speed);
            }
            std::printf("%s\n", r.ok ? "" : "  ROUND TRIP FAILED");
            all_ok = all_ok && r.ok;
        }
        if (zorv->ok) {
            double table = table_work_speed(*zorv);
            std::printf("%-12s %-44s %10zu %10s %7s %9.1f %9.1f %7.2fx %7.2fx\n", "table work",
                        short_name(input.name).c_str(), input.bytes.size(), "-", "-", table, table,
                        zorv->compress_speed / table, zorv->decompress_speed / table);
        }
        std::fflush(stdout);
    }
    std::printf(
        "\nZORV/c, ZORV/d: ZORV's compression and decompression speed divided by the row's (1 MB = 1000000 "
        "bytes)\n"
        "table work: only the table reads and writes that the format asks for at ZORV's visited positions, "
        "with keys and positions given\n");
    ZSTD_freeCCtx(zstd_cctx);
    ZSTD_freeDCtx(zstd_dctx);
    deflateEnd(&deflater);
    inflateEnd(&inflater);
    return all_ok ? 0 : 1;
}
