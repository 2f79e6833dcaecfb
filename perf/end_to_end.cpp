// The end-to-end benchmark: how much of the codec's in-memory speed a user
// keeps when the program itself packs and restores a file.
//
// For each input file it measures, in one run and taking turns so that load
// from other programs falls on both alike:
//   - compress_block and decompress_block on the file's blocks in memory
//     (8388608 bytes each, as the archive writer cuts them; best round);
//   - `zorv FILE ARCHIVE` and, in a fresh folder, `zorv -u ARCHIVE`, each as
//     a new process with its output to /dev/null (best run, process start
//     included: that is what the user waits for), three times after each
//     in-memory round. The first of the three and the other two are reported
//     apart (see measure).
// The input is read before the first run, so it is in the page cache, and the
// restored file is compared with it byte for byte.
//
// Usage: zorv_end_to_end [-n rounds] ZORV-PROGRAM FILE...   (default 5 rounds)

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive.h"
#include "codec.h"
#include "measure.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int RUNS_PER_ROUND = 3;

// Runs the program with `args` in `folder`, its output to /dev/null; returns
// the wall time in seconds, or -1 when it could not run or did not exit 0.
double run_program(const std::string& program, const std::vector<std::string>& args, const std::string& folder) {
    std::vector<char*> argv;
    std::string name = program;
    argv.push_back(name.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // The chdir action is a GNU extension; the child changes folder itself
    // otherwise. glibc has had it since 2.29.
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid = 0;
    auto start = Clock::now();
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    double elapsed = seconds_since(start);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? elapsed : -1;
}

struct Blocks {
    std::vector<size_t> offsets, lengths, packed;
    std::vector<uint8_t> streams;
    std::vector<uint8_t> restored;
};

// Best-of speeds, MB/s (1 MB = 1000000 bytes).
struct Figures {
    double compress = 0, decompress = 0;
};

// One in-memory round of each direction, repeated for at least 0.5 s.
bool codec_round(const std::vector<uint8_t>& data, Blocks* b, Figures* best) {
    const size_t n = data.size();
    auto timed = [&](auto pass) { return round_speed(n, 0.5, pass); };
    double c = timed([&] {
        for (size_t k = 0; k < b->offsets.size(); ++k) {
            b->packed[k] = static_cast<size_t>(compress_block(data.data() + b->offsets[k],
                                                              b->streams.data() + k * MAX_BLOCK_STREAM,
                                                              static_cast<uint32_t>(b->lengths[k])));
        }
    });
    bool ok = true;
    double d = timed([&] {
        for (size_t k = 0; k < b->offsets.size(); ++k) {
            int32_t got = decompress_block(b->streams.data() + k * MAX_BLOCK_STREAM, b->restored.data() + b->offsets[k],
                                           static_cast<uint32_t>(b->packed[k]), static_cast<uint32_t>(b->lengths[k]));
            if (got < 0 || static_cast<size_t>(got) != b->lengths[k]) ok = false;
        }
    });
    best->compress = std::max(best->compress, c);
    best->decompress = std::max(best->decompress, d);
    return ok && std::memcmp(b->restored.data(), data.data(), n) == 0;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char here[4096];
    if (getcwd(here, sizeof here) == nullptr) return path;
    return std::string(here) + "/" + path;
}

bool measure(const std::string& program, const std::string& path, int rounds) {
    std::vector<uint8_t> data;
    if (!read_whole(path, &data) || data.empty()) {
        std::printf("end-to-end: cannot read %s (or it is empty)\n", path.c_str());
        return false;
    }
    Blocks b;
    for (size_t offset = 0; offset < data.size(); offset += BLOCK_SIZE) {
        b.offsets.push_back(offset);
        b.lengths.push_back(std::min<size_t>(BLOCK_SIZE, data.size() - offset));
    }
    b.packed.resize(b.offsets.size());
    b.streams.resize(b.offsets.size() * MAX_BLOCK_STREAM);
    b.restored.resize(data.size());

    char folder_template[] = "/tmp/zorv-e2e-XXXXXX";
    if (mkdtemp(folder_template) == nullptr) {
        std::printf("end-to-end: cannot make a temporary folder\n");
        return false;
    }
    const std::string folder = folder_template;
    const std::string restore_folder = folder + "/restore";
    mkdir(restore_folder.c_str(), 0700);
    const std::string archive = folder + "/input.zorv";
    const std::string input = absolute(path);
    const std::string base = path.substr(path.find_last_of('/') + 1);
    const std::string restored = restore_folder + "/" + base;

    Figures best;
    bool ok = true;
    // [0]: the first run after the codec's round, [1]: the runs right after
    // it. Freed memory that stays unused for a while may be handed back by
    // the system (virtual machines do), and the page cache of a new file is
    // then slow to fill; the two figures show how much of a run that is.
    double best_pack[2] = {0, 0}, best_unpack[2] = {0, 0};
    for (int round = 0; round < rounds && ok; ++round) {
        ok = codec_round(data, &b, &best);
        for (int run = 0; run < RUNS_PER_ROUND && ok; ++run) {
            // Removing the previous output is not part of the run.
            unlink(archive.c_str());
            double pack = run_program(program, {input, archive}, folder);
            unlink(restored.c_str());
            double unpack = run_program(program, {"-u", archive}, restore_folder);
            if (pack <= 0 || unpack <= 0) {
                std::printf("end-to-end: %s failed on %s\n", program.c_str(), path.c_str());
                ok = false;
                break;
            }
            const int k = run == 0 ? 0 : 1;
            if (best_pack[k] == 0 || pack < best_pack[k]) best_pack[k] = pack;
            if (best_unpack[k] == 0 || unpack < best_unpack[k]) best_unpack[k] = unpack;
        }
    }
    std::vector<uint8_t> back;
    if (ok && (!read_whole(restored, &back) || back != data)) {
        std::printf("end-to-end: the restored %s differs from the input\n", base.c_str());
        ok = false;
    }
    struct stat archive_stat {};
    stat(archive.c_str(), &archive_stat);
    unlink(restored.c_str());
    unlink(archive.c_str());
    rmdir(restore_folder.c_str());
    rmdir(folder.c_str());
    if (!ok) return false;

    const double mb = static_cast<double>(data.size()) / 1e6;
    std::printf("%-40s %10zu -> %10lld bytes\n", path.c_str(), data.size(),
                static_cast<long long>(archive_stat.st_size));
    std::printf("  in memory: compress %7.1f MB/s, decompress %7.1f MB/s\n", best.compress, best.decompress);
    const char* when[2] = {"first run", "runs after"};
    for (int k = 0; k < 2; ++k) {
        const double pack = mb / best_pack[k];
        const double unpack = mb / best_unpack[k];
        std::printf("  %-10s: zorv FILE %7.1f MB/s (%5.1f ms) %5.1f%%   zorv -u %7.1f MB/s (%5.1f ms) %5.1f%%\n",
                    when[k], pack, best_pack[k] * 1e3, 100 * pack / best.compress, unpack, best_unpack[k] * 1e3,
                    100 * unpack / best.decompress);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "-n") == 0) {
        rounds = std::max(1, std::atoi(argv[i + 1]));
        i += 2;
    }
    if (argc - i < 2) {
        std::printf("usage: zorv_end_to_end [-n rounds] zorv-program file...\n");
        return 2;
    }
    const std::string program = absolute(argv[i++]);
    std::printf("end to end: best of %d rounds, against the codec in memory in the same run\n", rounds);
    bool all_ok = true;
    for (; i < argc; ++i) all_ok = measure(program, argv[i], rounds) && all_ok;
    return all_ok ? 0 : 1;
}
