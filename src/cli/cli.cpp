// SPDX-License-Identifier: BSD-2-Clause
#include "cli/cli.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "archive/archive.h"
#include "bench/bench.h"
#include "platform/platform.h"

namespace {

constexpr const char* PROGRAM_NAME = "ZORV";
constexpr const char* CREDIT = "the ZORV developers";
constexpr char ARCHIVE_EXTENSION[] = ".zorv";
// The default output name keeps this many leading bytes of the input argument.
constexpr size_t DEFAULT_NAME_PREFIX = 8;

// Out at once: the log of a run that is killed still shows what ran.
void print_banner() {
    std::printf("%s (%s) by %s\n", PROGRAM_NAME, __DATE__, CREDIT);
    std::fflush(stdout);
}

int usage_error_tail() {
    std::printf("To get help on usage:\n");
    std::printf("  %s --help\n\n", PROGRAM_NAME);
    return -1;
}

// Where the screen is the whole result, a screen that did not reach standard
// output (a closed pipe, a full disk) fails the run. Packing and restoring
// report their work instead, whatever became of their messages.
int screen_result(int result) {
    const bool shown = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    return shown ? result : -1;
}

int unknown_option(const char* argument) {
    std::printf("Error: unknown option %s\n\n", printable(argument).c_str());
    return usage_error_tail();
}

}  // namespace

void print_usage() {
    print_banner();
    std::printf("%s is a very high-speed file compression program\n", PROGRAM_NAME);
    std::printf("\n");
    std::printf("Usage: %s [options]  input-file  output-file\n", PROGRAM_NAME);
    std::printf("\n");
    std::printf("Options:\n");
    std::printf("  -u     decode %s archive\n", PROGRAM_NAME);
    std::printf("  -f     overwrite output file\n");
    std::printf("  -bench check in-memory compression speed\n");
    std::printf("\n");
}

void print_version() {
    std::printf("%s: very high-speed file compression\n", PROGRAM_NAME);
    std::printf("Author: %s\n", CREDIT);
    // ZORV_VERSION is the CMake project's version, which the build defines.
    std::printf("Version %s \n", "v" ZORV_VERSION " ");
    std::printf("File input/output layer by %s\n", CREDIT);
    std::printf("\n");
}

size_t default_name_prefix(const char* input) {
    const size_t cut = strnlen(input, DEFAULT_NAME_PREFIX);
    const auto* u = reinterpret_cast<const uint8_t*>(input);
    auto follows = [](uint8_t byte) { return (byte & 0xC0) == 0x80; };
    if (!follows(u[cut])) return cut;
    // The lead byte of the character that the cut would split, if any.
    size_t lead = cut;
    while (lead > 0 && cut - lead < 3 && follows(u[lead - 1])) --lead;
    if (lead == 0) return cut;
    --lead;
    const uint8_t first = u[lead];
    const size_t length = first >= 0xF0 && first <= 0xF7 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
    return first >= 0xC0 && first <= 0xF7 && lead + length > cut ? lead : cut;
}

int zorv_main(int argc, char** argv) {
    open_standard_descriptors();
    ignore_broken_pipes();
    if (argc <= 1) {
        print_usage();
        return screen_result(0);
    }
    print_banner();

    bool force = false;
    bool benchmark = false;
    bool decode = false;
    const char* input = nullptr;
    const char* output = nullptr;
    // argv[argc] is the terminating null entry; it is looked at and skipped.
    for (int i = 1; i <= argc; ++i) {
        const char* argument = argv[i];
        if (argument == nullptr) continue;
        if (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0) {
            print_usage();
            return screen_result(0);
        }
        if (std::strcmp(argument, "-v") == 0 || std::strcmp(argument, "--version") == 0) {
            print_version();
            return screen_result(0);
        }
        if (std::strcmp(argument, "-bench") == 0) {
            benchmark = true;
        } else if (std::strcmp(argument, "-f") == 0) {
            force = true;
        } else if (std::strcmp(argument, "-u") == 0) {
            decode = true;
        } else if (argument[0] == '-') {
            return unknown_option(argument);
        } else if (input == nullptr) {
            input = argument;
        } else if (output == nullptr) {
            output = argument;
        } else {
            return unknown_option(argument);
        }
    }

    if (input == nullptr) {
        std::printf("Error: input file is not specified.\n\n");
        return usage_error_tail();
    }

    char default_name[DEFAULT_NAME_PREFIX + sizeof ARCHIVE_EXTENSION];
    if (output == nullptr && !benchmark && !decode) {
        std::printf("Output name not specified, ");
        size_t prefix = default_name_prefix(input);
        std::memcpy(default_name, input, prefix);
        std::memcpy(default_name + prefix, ARCHIVE_EXTENSION, sizeof ARCHIVE_EXTENSION);
        std::printf("using : %s\n", printable(default_name).c_str());
        output = default_name;
    }

    if (benchmark) return screen_result(benchmark_command(input));
    if (decode) return extract_command(input);
    return compress_command(force, input, output);
}
