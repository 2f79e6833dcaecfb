// SPDX-License-Identifier: BSD-2-Clause
// The end-to-end benchmark: what a user waits for when the program packs and
// restores a file, on every CPU and on one, against the command-line tools of
// peer compressors on the same file, and against the codec's own speed in
// memory.
//
// Each round runs everything once, in turn, so that load from other programs
// falls on all alike: compress_block and decompress_block on the file's
// blocks in memory (one thread), then every command as a new process with its
// output to /dev/null and its output file removed beforehand (outside the
// time). Each command's best and median wall time are reported, with its peak
// memory. Before each run the files written so far are flushed to disk
// (outside the time). The input is read first, so it is in the page cache, and the files
// restored are compared with it byte for byte.
//
// With -o, the figures behind the table also go to a tab-separated file, one
// line per command (what perf/speed-chart.gp draws): the archive's size and
// the median wall time, whether the command packs or restores, on one CPU or
// on every CPU.
//
// Usage: zorv_end_to_end [-n rounds] [-o data-file] ZORV-PROGRAM FILE   (default 5 rounds)

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
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
#include <utility>
#include <vector>

#include "archive.h"
#include "codec.h"
#include "measure.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Direction { pack, restore, copy };

struct Command {
    std::string label;
    std::string tool;  // the program, as the chart names it
    Direction direction = Direction::pack;
    std::string archive;  // the file whose size is the archive's: a pack's output, a restore's input
    std::vector<std::string> argv;
    std::string folder;  // the command's current directory
    std::string output;  // removed before each run
    bool one_cpu = false;
    std::vector<double> walls;
    long peak_kib = -1;
};

// Runs the command once; false when it could not run or did not exit 0. A
// child's peak memory counts what it held before exec too, that is this
// program's: only runs made while this program is still small (`timed`
// false) give the command's own.
bool run_once(Command* c, bool timed) {
    unlink(c->output.c_str());
    // The files that the runs before wrote go to disk now, not during this run.
    sync();
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(c->folder.c_str()) != 0) _exit(127);
        int null_out = open("/dev/null", O_WRONLY);
        dup2(null_out, STDOUT_FILENO);
        dup2(null_out, STDERR_FILENO);
        if (c->one_cpu) {
            // As `taskset -c 0` does: the first CPU the process may use.
            cpu_set_t all, one;
            CPU_ZERO(&one);
            if (sched_getaffinity(0, sizeof all, &all) == 0) {
                for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
                    if (CPU_ISSET(cpu, &all)) {
                        CPU_SET(cpu, &one);
                        break;
                    }
                }
                sched_setaffinity(0, sizeof one, &one);
            }
        }
        std::vector<char*> argv;
        for (std::string& a : c->argv) argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0) return false;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return false;
    if (timed) {
        c->walls.push_back(seconds_since(start));
    } else {
        c->peak_kib = std::max(c->peak_kib, usage.ru_maxrss);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Command command(const std::string& label, const std::string& tool, Direction direction, const std::string& archive,
                std::vector<std::string> argv, const std::string& folder, const std::string& output,
                bool one_cpu = false) {
    Command c;
    c.label = label;
    c.tool = tool;
    c.direction = direction;
    c.archive = archive;
    c.argv = std::move(argv);
    c.folder = folder;
    c.output = output;
    c.one_cpu = one_cpu;
    return c;
}

bool on_path(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::string list = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (access((list.substr(start, end - start) + "/" + tool).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

double best(const Command& c) { return *std::min_element(c.walls.begin(), c.walls.end()); }

double median(Command c) {
    std::sort(c.walls.begin(), c.walls.end());
    return c.walls[c.walls.size() / 2];
}

// Best-of speeds of the codec on the file's blocks in memory, MB/s.
struct Codec {
    double compress = 0, decompress = 0;
};

bool codec_round(const std::vector<uint8_t>& data, Codec* speeds) {
    const size_t n = data.size();
    const size_t blocks = (n + BLOCK_SIZE - 1) / BLOCK_SIZE;
    static std::vector<uint8_t> streams, restored;
    static std::vector<int32_t> packed;
    streams.resize(blocks * MAX_BLOCK_STREAM);
    restored.resize(n);
    packed.resize(blocks);
    auto length = [&](size_t k) { return static_cast<uint32_t>(std::min<size_t>(BLOCK_SIZE, n - k * BLOCK_SIZE)); };
    double c = round_speed(n, 0.5, [&] {
        for (size_t k = 0; k < blocks; ++k)
            packed[k] = compress_block(data.data() + k * BLOCK_SIZE, streams.data() + k * MAX_BLOCK_STREAM, length(k));
    });
    bool ok = true;
    double d = round_speed(n, 0.5, [&] {
        for (size_t k = 0; k < blocks; ++k) {
            int32_t got = decompress_block(streams.data() + k * MAX_BLOCK_STREAM, restored.data() + k * BLOCK_SIZE,
                                           static_cast<uint32_t>(packed[k]), length(k));
            ok = ok && got == static_cast<int32_t>(length(k));
        }
    });
    speeds->compress = std::max(speeds->compress, c);
    speeds->decompress = std::max(speeds->decompress, d);
    return ok && restored == data;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char here[4096];
    if (getcwd(here, sizeof here) == nullptr) return path;
    return std::string(here) + "/" + path;
}

std::string machine() {
    std::string model = "unknown CPU";
    if (FILE* info = std::fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, info) != nullptr) {
            if (std::strncmp(line, "model name", 10) == 0) {
                const char* colon = std::strchr(line, ':');
                model = colon != nullptr ? colon + 2 : line;
                model.erase(model.find_last_not_of(" \n") + 1);
                break;
            }
        }
        std::fclose(info);
    }
    cpu_set_t set;
    int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return model + ", " + std::to_string(cpus) + " CPUs";
}

void ratio(const char* what, double slow, double fast, const char* target) {
    std::printf("  %-36s %5.2fx   (target %s)\n", what, slow / fast, target);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5;
    std::string data_file;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "-n") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "-o") == 0) {
            data_file = argv[i + 1];
        } else {
            break;
        }
    }
    if (argc - i != 2) {
        std::printf("usage: zorv_end_to_end [-n rounds] [-o data-file] zorv-program file\n");
        return 2;
    }
    const std::string program = absolute(argv[i]);
    const std::string input = absolute(argv[i + 1]);

    char folder_template[] = "/tmp/zorv-e2e-XXXXXX";
    if (mkdtemp(folder_template) == nullptr) {
        std::printf("end-to-end: cannot make a temporary folder\n");
        return 1;
    }
    const std::string folder = folder_template;
    const std::string base = input.substr(input.find_last_of('/') + 1);
    const std::string archive = folder + "/input.zorv";
    const std::string restored = folder + "/restore/" + base;
    mkdir((folder + "/restore").c_str(), 0700);

    const Direction packs = Direction::pack, restores = Direction::restore;
    std::vector<Command> commands = {
        command("zorv FILE, every CPU", "ZORV", packs, archive, {program, input, archive}, folder, archive),
        command("zorv FILE, taskset -c 0", "ZORV", packs, archive, {program, input, archive}, folder, archive, true),
        command("zorv -u, every CPU", "ZORV", restores, archive, {program, "-u", archive}, folder + "/restore",
                restored),
        command("zorv -u, taskset -c 0", "ZORV", restores, archive, {program, "-u", archive}, folder + "/restore",
                restored, true),
    };
    const bool lz4 = on_path("lz4");
    const bool zstd = on_path("zstd");
    const bool lzop = on_path("lzop");
    if (lz4) {
        const std::string packed = folder + "/p.lz4";
        commands.push_back(
            command("lz4 -1", "lz4", packs, packed, {"lz4", "-1", "-q", "-f", input, packed}, folder, packed));
        commands.push_back(command("lz4 -d", "lz4", restores, packed,
                                   {"lz4", "-d", "-q", "-f", packed, folder + "/lz4.out"}, folder,
                                   folder + "/lz4.out"));
    }
    if (zstd) {
        const std::string packed = folder + "/p.zst";
        const std::vector<std::string> zstd_argv = {"zstd", "-1", "-T0", "-q", "-f", input, "-o", packed};
        commands.push_back(command("zstd -1 -T0", "zstd", packs, packed, zstd_argv, folder, packed));
        commands.push_back(
            command("zstd -1 -T0, taskset -c 0", "zstd", packs, packed, zstd_argv, folder, packed, true));
        commands.push_back(command("zstd -d", "zstd", restores, packed,
                                   {"zstd", "-d", "-q", "-f", packed, "-o", folder + "/zstd.out"}, folder,
                                   folder + "/zstd.out"));
    }
    if (lzop) {
        const std::string packed = folder + "/p.lzo";
        commands.push_back(
            command("lzop -1", "lzop", packs, packed, {"lzop", "-1", "-q", "-f", input, "-o", packed}, folder, packed));
        commands.push_back(command("lzop -d", "lzop", restores, packed,
                                   {"lzop", "-d", "-q", "-f", packed, "-o", folder + "/lzop.out"}, folder,
                                   folder + "/lzop.out"));
    }
    // A copy is the ceiling: its "archive" is the input itself.
    commands.push_back(
        command("cp", "cp", Direction::copy, input, {"cp", input, folder + "/cp.out"}, folder, folder + "/cp.out"));

    // Outputs that later commands read stay in place after their run.
    auto settle = [&](const Command& c, const std::vector<uint8_t>* data) {
        if (c.output == c.archive) return true;
        std::vector<uint8_t> back;
        bool same = data == nullptr || c.output != restored || (read_whole(restored, &back) && back == *data);
        if (!same) std::printf("end-to-end: the file restored by %s differs from the input\n", c.label.c_str());
        unlink(c.output.c_str());
        return same;
    };
    // Peak memory first, while this program holds nothing of the input.
    bool ok = true;
    for (Command& c : commands) {
        if (!run_once(&c, false)) {
            std::printf("end-to-end: %s failed\n", c.label.c_str());
            ok = false;
            break;
        }
        settle(c, nullptr);
    }
    std::vector<uint8_t> data;
    if (ok && (!read_whole(input, &data) || data.empty())) {
        std::printf("end-to-end: cannot read %s (or it is empty)\n", input.c_str());
        ok = false;
    }
    Codec codec;
    for (int round = 0; round < rounds && ok; ++round) {
        ok = codec_round(data, &codec);
        for (Command& c : commands) {
            if (!run_once(&c, true)) {
                std::printf("end-to-end: %s failed\n", c.label.c_str());
                ok = false;
                break;
            }
            ok = settle(c, &data) && ok;
        }
    }
    std::vector<long long> archive_bytes;
    for (const Command& c : commands) {
        struct stat archive_stat {};
        archive_bytes.push_back(stat(c.archive.c_str(), &archive_stat) == 0 ? archive_stat.st_size : -1);
    }
    for (const Command& c : commands) unlink(c.output.c_str());
    rmdir((folder + "/restore").c_str());
    rmdir(folder.c_str());
    if (!ok) return 1;

    const double mb = static_cast<double>(data.size()) / 1e6;
    std::printf("end to end on %s: %s, %zu bytes (archive %lld); best of %d rounds\n", machine().c_str(), input.c_str(),
                data.size(), archive_bytes[0], rounds);
    std::printf("  %-26s %9s %9s %9s %9s %9s\n", "run", "best ms", "median", "worst", "MB/s", "peak MiB");
    auto find = [&](const char* label) -> const Command* {
        for (const Command& c : commands)
            if (c.label == label) return &c;
        return nullptr;
    };
    for (const Command& c : commands) {
        std::printf("  %-26s %9.1f %9.1f %9.1f %9.1f %9.1f\n", c.label.c_str(), best(c) * 1e3, median(c) * 1e3,
                    *std::max_element(c.walls.begin(), c.walls.end()) * 1e3, mb / best(c),
                    static_cast<double>(c.peak_kib) / 1024);
    }
    std::printf("  in memory, one thread: compress %.1f MB/s, decompress %.1f MB/s\n", codec.compress,
                codec.decompress);

    cpu_set_t set;
    const int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    char speedup_target[32];
    std::snprintf(speedup_target, sizeof speedup_target, ">= %.1fx", 0.8 * cpus);
    const Command* pack = find("zorv FILE, every CPU");
    const Command* unpack = find("zorv -u, every CPU");
    std::printf("ratios of best times (how many times faster):\n");
    ratio("pack, every CPU over one", best(*find("zorv FILE, taskset -c 0")), best(*pack), speedup_target);
    ratio("restore, every CPU over one", best(*find("zorv -u, taskset -c 0")), best(*unpack), speedup_target);
    if (lz4) ratio("pack against lz4 -1", best(*find("lz4 -1")), best(*pack), ">= 1.5x");
    if (zstd) ratio("pack against zstd -1 -T0", best(*find("zstd -1 -T0")), best(*pack), ">= 1.5x");
    if (lz4) ratio("restore against lz4 -d", best(*find("lz4 -d")), best(*unpack), ">= 1.5x");
    if (zstd) ratio("restore against zstd -d", best(*find("zstd -d")), best(*unpack), ">= 2x");
    std::printf("  pack on one CPU keeps %.0f%% of the codec's speed in memory, restore %.0f%%\n",
                100 * mb / best(*find("zorv FILE, taskset -c 0")) / codec.compress,
                100 * mb / best(*find("zorv -u, taskset -c 0")) / codec.decompress);
    if (!lz4 || !zstd || !lzop) std::printf("  (lz4, zstd or lzop is not installed: its rows are left out)\n");

    if (!data_file.empty()) {
        FILE* out = std::fopen(data_file.c_str(), "w");
        if (out == nullptr) {
            std::printf("end-to-end: cannot write %s\n", data_file.c_str());
            return 1;
        }
        static const char* const directions[] = {"pack", "restore", "copy"};
        std::fprintf(out, "# machine: %s\n# input: %s, %zu bytes\n# rounds: %d\n", machine().c_str(), input.c_str(),
                     data.size(), rounds);
        std::fprintf(out, "# command\ttool\tdirection\tcpus\tarchive bytes\tinput bytes\tmedian s\tbest s\n");
        for (size_t k = 0; k < commands.size(); ++k) {
            const Command& c = commands[k];
            std::fprintf(out, "%s\t%s\t%s\t%s\t%lld\t%zu\t%.6f\t%.6f\n", c.label.c_str(), c.tool.c_str(),
                         directions[static_cast<int>(c.direction)], c.one_cpu ? "one" : "every", archive_bytes[k],
                         data.size(), median(c), best(c));
        }
        std::fclose(out);
        std::printf("figures written to %s\n", data_file.c_str());
    }
    return 0;
}
