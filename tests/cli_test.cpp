// SPDX-License-Identifier: BSD-2-Clause
// The command line, observed from outside: every screen and error is compared
// as bytes with what the program printed, and nothing may reach stderr.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/archive.h"
#include "cli/cli.h"
#include "test_util.h"

using test_util::run_zorv;
using test_util::RunResult;
using test_util::TempDir;

namespace {

// Runs zorv in a fresh folder (so that commands which do work leave nothing
// behind) and checks what every run must satisfy: stderr stays empty and the
// status is 0 or -1.
RunResult run(const std::vector<std::string>& args, const std::string& cwd = "") {
    TempDir scratch;
    RunResult r = run_zorv(args, cwd.empty() ? scratch.path() : cwd);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.status == 0 || r.status == 255) << "status " << r.status;
    return r;
}

// The banner line as this build prints it. Its date comes from the compiler,
// so the shape is checked here and the exact text is then reused.
const std::string& banner() {
    static const std::string line = [] {
        RunResult r = run_zorv({"-v"});
        return r.out.substr(0, r.out.find('\n') + 1);
    }();
    return line;
}

std::string usage_screen() {
    return banner() +
           "ZORV is a very high-speed file compression program\n"
           "\n"
           "Usage: ZORV [options]  input-file  output-file\n"
           "\n"
           "Options:\n"
           "  -u     decode ZORV archive\n"
           "  -f     overwrite output file\n"
           "  -bench check in-memory compression speed\n"
           "\n";
}

std::string version_screen() {
    return "ZORV: very high-speed file compression\n"
           "Author: the ZORV developers\n"
           "Version v" ZORV_VERSION
           "  \n"
           "File input/output layer by the ZORV developers\n"
           "\n";
}

std::string unknown_option(const std::string& argument) {
    return banner() + "Error: unknown option " + argument +
           "\n\n"
           "To get help on usage:\n"
           "  ZORV --help\n\n";
}

std::string no_input() {
    return banner() +
           "Error: input file is not specified.\n\n"
           "To get help on usage:\n"
           "  ZORV --help\n\n";
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// "ZORV (Mmm dd yyyy) by the ZORV developers\n", the date as the compiler
// writes it: a day below 10 is padded with a blank.
bool is_banner_line(const std::string& line) {
    const std::string head = "ZORV (";
    const std::string tail = ") by the ZORV developers\n";
    if (line.size() != head.size() + 11 + tail.size()) return false;
    if (line.compare(0, head.size(), head) != 0 || line.compare(head.size() + 11, tail.size(), tail) != 0) return false;
    std::string date = line.substr(head.size(), 11);
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    size_t month = months.find(date.substr(0, 3));
    if (month == std::string::npos || month % 3 != 0 || date[3] != ' ' || date[6] != ' ') return false;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!(date[4] == ' ' || (date[4] >= '1' && date[4] <= '3')) || !digit(date[5])) return false;
    int day = (date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0');
    if (day < 1 || day > 31) return false;
    return date.compare(7, 2, "20") == 0 && digit(date[9]) && digit(date[10]);
}

TEST(Cli, BannerLineCarriesTheBuildDate) {
    EXPECT_TRUE(is_banner_line(banner())) << banner();
    // The checker itself tells good lines from near misses.
    EXPECT_TRUE(is_banner_line("ZORV (Dec  7 2026) by the ZORV developers\n"));
    EXPECT_TRUE(is_banner_line("ZORV (Jan 31 2027) by the ZORV developers\n"));
    EXPECT_FALSE(is_banner_line("ZORV (Dec 07 2026) by the ZORV developers\n"));
    EXPECT_FALSE(is_banner_line("ZORV (Dez  7 2026) by the ZORV developers\n"));
    EXPECT_FALSE(is_banner_line("ZORV (Dec  7 2026) by the ZORV developers"));
}

TEST(Cli, NoArgumentsPrintsTheUsageScreenAlone) {
    RunResult r = run({});
    EXPECT_EQ(r.out, usage_screen());
    EXPECT_EQ(r.status, 0);
}

struct ScreenCase {
    std::vector<std::string> args;
    std::string (*expected)();
    int status;
};

std::string banner_then_usage() { return banner() + usage_screen(); }
std::string banner_then_version() { return banner() + version_screen(); }

class Screens : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(Screens, PrintsExactly) {
    const ScreenCase& c = GetParam();
    RunResult r = run(c.args);
    EXPECT_EQ(r.out, c.expected());
    EXPECT_EQ(r.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Screens,
    ::testing::Values(
        // The usage screen repeats the banner that every run prints first.
        ScreenCase{{"-h"}, banner_then_usage, 0}, ScreenCase{{"--help"}, banner_then_usage, 0},
        ScreenCase{{"-v"}, banner_then_version, 0}, ScreenCase{{"--version"}, banner_then_version, 0},
        // The first screen option met wins.
        ScreenCase{{"-h", "-v"}, banner_then_usage, 0}, ScreenCase{{"-v", "-h"}, banner_then_version, 0},
        ScreenCase{{"--version", "--help"}, banner_then_version, 0},
        // Screens end the pass: nothing after them is looked at, not even junk.
        ScreenCase{{"-h", "-x"}, banner_then_usage, 0}, ScreenCase{{"-h", "a", "b", "c"}, banner_then_usage, 0},
        ScreenCase{{"-v", "--bogus"}, banner_then_version, 0},
        // Flags and file names before a screen option do not stop it.
        ScreenCase{{"-f", "-u", "-bench", "a", "b", "-h"}, banner_then_usage, 0},
        ScreenCase{{"in", "out", "--version"}, banner_then_version, 0}));

struct ErrorCase {
    std::vector<std::string> args;
    std::string offending;  // the argument named by the error; empty: no input file
};

class Errors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, PrintsTheErrorAndItsHelpLines) {
    const ErrorCase& c = GetParam();
    RunResult r = run(c.args);
    EXPECT_EQ(r.out, c.offending.empty() ? no_input() : unknown_option(c.offending));
    EXPECT_EQ(r.status, 255);
}

INSTANTIATE_TEST_SUITE_P(Cli, Errors,
                         ::testing::Values(
                             // Options match whole arguments, case-sensitively; anything else with a
                             // leading '-' is unknown, a lone "-" included.
                             ErrorCase{{"--HELP"}, "--HELP"}, ErrorCase{{"-H"}, "-H"}, ErrorCase{{"-x"}, "-x"},
                             ErrorCase{{"-"}, "-"}, ErrorCase{{"-help"}, "-help"}, ErrorCase{{"--h"}, "--h"},
                             ErrorCase{{"-V"}, "-V"}, ErrorCase{{"-benchmark", "a"}, "-benchmark"},
                             ErrorCase{{"-uf", "a"}, "-uf"}, ErrorCase{{"a", "-F"}, "-F"},
                             // An error ends the pass: a later -h, -v or second error is never seen.
                             ErrorCase{{"-x", "-h"}, "-x"}, ErrorCase{{"-x", "--version"}, "-x"},
                             ErrorCase{{"-x", "-y"}, "-x"}, ErrorCase{{"a", "b", "c", "-h"}, "c"},
                             ErrorCase{{"a", "b", "c", "-v"}, "c"},
                             // A third plain argument is reported as an unknown option.
                             ErrorCase{{"a", "b", "c"}, "c"}, ErrorCase{{"-u", "a", "b", "c", "d"}, "c"},
                             ErrorCase{{"-bench", "a", "-f", "b", "c"}, "c"},
                             // An empty argument is a file name, so it fills a slot.
                             ErrorCase{{"a", "", "c"}, "c"},
                             // Flags alone name no input.
                             ErrorCase{{"-u"}, ""}, ErrorCase{{"-f"}, ""}, ErrorCase{{"-bench"}, ""},
                             ErrorCase{{"-f", "-u", "-bench", "-f", "-u"}, ""}));

// A third empty argument is an unknown option whose name prints as nothing.
TEST(Cli, ThirdEmptyArgumentIsAnUnknownOption) {
    RunResult r = run({"", "", ""});
    EXPECT_EQ(r.out, unknown_option(""));
    EXPECT_EQ(r.status, 255);
}

struct DefaultNameCase {
    std::vector<std::string> args;
    std::string name;
};

class DefaultName : public ::testing::TestWithParam<DefaultNameCase> {};

// Only the lines in front of the command are checked: what compressing prints
// belongs to the archive writer.
TEST_P(DefaultName, IsAnnouncedBeforeCompressing) {
    const DefaultNameCase& c = GetParam();
    RunResult r = run(c.args);
    std::string expected = banner() + "Output name not specified, using : " + c.name + "\n";
    EXPECT_TRUE(starts_with(r.out, expected)) << r.out;
    // The announcement is made once, and nothing of the screens follows it.
    EXPECT_EQ(r.out.find("Output name not specified", expected.size()), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("To get help on usage", expected.size()), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, DefaultName,
    ::testing::Values(
        // The first 8 bytes of the argument as typed, directories included.
        DefaultNameCase{{"verylongname.txt"}, "verylong.zorv"}, DefaultNameCase{{"dir/file1.dat"}, "dir/file.zorv"},
        DefaultNameCase{{"a.txt"}, "a.txt.zorv"}, DefaultNameCase{{"abcdefgh"}, "abcdefgh.zorv"},
        DefaultNameCase{{"abcdefghi"}, "abcdefgh.zorv"}, DefaultNameCase{{"x"}, "x.zorv"},
        DefaultNameCase{{"d/e/f/gh"}, "d/e/f/gh.zorv"}, DefaultNameCase{{""}, ".zorv"},
        // Bytes, not characters: each e-acute is two bytes.
        DefaultNameCase{{"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9.zorv"},
        // Flags anywhere do not change the name.
        DefaultNameCase{{"-f", "data.bin", "-f"}, "data.bin.zorv"}));

TEST(Cli, DefaultNameCutBacksOffToACharacterStart) {
    const struct {
        const char* input;
        size_t kept;
    } cases[] = {
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", 6},  // the third character is cut out whole
        {"abcdefg\xf0\x9f\x98\x80", 7},                   // four bytes from the 8th
        {"abcdef\xc3\xa9\xc3\xa9", 8},                    // ends on a character's end
        {"abcdefgh\x80", 8},                              // a stray continuation byte splits nothing
        {"abcdefg\xff\x80", 8},                           // nor does one after an invalid byte
        {"\x80\x80\x80\x80\x80\x80\x80\x80\x80", 8},
        {"ab", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(default_name_prefix(c.input), c.kept) << c.input;
}

// With an output name, or in the benchmark and restore modes, no name is made.
TEST(Cli, NoDefaultNameWhenNotCompressingOrNamed) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"a.txt", "b.zorv"}, {"-u", "a.txt"}, {"-bench", "a.txt"}, {"a.txt", "-u"}, {"-bench", "-u", "a.txt"}}) {
        RunResult r = run(args);
        EXPECT_TRUE(starts_with(r.out, banner())) << r.out;
        EXPECT_EQ(r.out.find("Output name not specified"), std::string::npos) << args[0] << ": " << r.out;
        EXPECT_EQ(r.out.find("To get help on usage"), std::string::npos) << r.out;
    }
}

// Which command runs is seen from what it prints and from the files it makes.
// The input is an archive holding nothing but the signature, which every mode
// rejects or handles quickly: the benchmark refuses archives, the reader finds
// no entry, and the writer refuses it as input after it has created its output.
class Dispatch : public ::testing::Test {
protected:
    RunResult run_in_fresh_folder(const std::vector<std::string>& args, bool* made_y) {
        TempDir folder;
        test_util::write_file(folder.file("x"), std::vector<uint8_t>(ARCHIVE_MAGIC, ARCHIVE_MAGIC + 8));
        RunResult r = run(args, folder.path());
        *made_y = test_util::file_exists(folder.file("y"));
        return r;
    }
};

TEST_F(Dispatch, BenchmarkWinsOverRestoreAndRestoreOverCompress) {
    bool made_y = false;
    RunResult bench = run_in_fresh_folder({"-bench", "x"}, &made_y);
    RunResult extract = run_in_fresh_folder({"-u", "x"}, &made_y);
    RunResult compress = run_in_fresh_folder({"x", "y"}, &made_y);
    struct Case {
        std::vector<std::string> args;
        const RunResult* same_as;
    };
    const Case cases[] = {
        {{"-bench", "-u", "x"}, &bench}, {{"-u", "-bench", "x"}, &bench}, {{"x", "-u", "-bench", "y"}, &bench},
        {{"-bench", "x", "y"}, &bench},  {{"x", "-u", "y"}, &extract},    {{"-u", "-f", "x", "y"}, &extract},
        {{"-f", "x", "y"}, &compress},
    };
    for (const Case& c : cases) {
        RunResult r = run_in_fresh_folder(c.args, &made_y);
        EXPECT_EQ(r.out, c.same_as->out) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.status, c.same_as->status);
        // Only the writer may create the output named second.
        if (c.same_as != &compress) {
            EXPECT_FALSE(made_y) << c.args[0] << " " << c.args[1];
        }
    }
}

TEST(Cli, FailingCommandExitsWith255) {
    // A missing input fails in every mode, and -1 reaches the shell as 255.
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"missing"}, {"-u", "missing"}, {"-bench", "missing"}}) {
        RunResult r = run(args);
        EXPECT_EQ(r.status, 255) << args[0];
        EXPECT_TRUE(starts_with(r.out, banner())) << r.out;
        EXPECT_NE(r.out.find("Error: "), std::string::npos) << r.out;
    }
}
