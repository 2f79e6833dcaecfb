// SPDX-License-Identifier: BSD-2-Clause
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "test_util.h"

namespace {

constexpr size_t MiB = size_t{1} << 20;

// The reader keeps a buffer for as long as a chunk fits in block_memory_size,
// so every byte up to it must be usable: under the sanitizer a write past the
// allocation fails the test.
TEST(Platform, BlockMemoryIsUsableToItsFullSize) {
    const struct {
        size_t asked;
        size_t given;
    } cases[] = {
        {1, 1},
        {2 * MiB - 1, 2 * MiB - 1},
        {2 * MiB, 2 * MiB},
        {2 * MiB + 1, 4 * MiB},
        {5849088, 6 * MiB},
        {8 * MiB, 8 * MiB},
        {9437234, 10 * MiB},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.asked);
        EXPECT_EQ(block_memory_size(c.asked), c.given);
        auto* memory = static_cast<uint8_t*>(allocate_block_memory(c.asked));
        ASSERT_NE(memory, nullptr);
        std::memset(memory, 0xA5, c.given);
        EXPECT_EQ(memory[c.given - 1], 0xA5);
        release_block_memory(memory);
    }
}

TEST(Platform, BlockMemoryTooLargeToRoundIsRefused) {
    EXPECT_EQ(block_memory_size(SIZE_MAX), SIZE_MAX);
    EXPECT_EQ(allocate_block_memory(SIZE_MAX - MiB), nullptr);
}

// The quota is the smallest on the way from the process's group up to the
// root, in whole CPUs rounded up; "max" and -1 set none.
TEST(Platform, CgroupQuotaInWholeCpus) {
#if defined(_WIN32)
    GTEST_SKIP() << "no control groups on Windows";
#endif
    const struct {
        const char* what;
        const char* self;
        std::map<std::string, std::string> files;
        unsigned cpus;
    } cases[] = {
        {"no quota", "0::/a\n", {{"a/cpu.max", "max 100000\n"}}, 0},
        {"one and a half", "0::/a\n", {{"a/cpu.max", "150000 100000\n"}}, 2},
        {"half", "0::/a/\n", {{"a/cpu.max", "50000 100000\n"}}, 1},
        {"parent smaller", "0::/a/b\n", {{"a/b/cpu.max", "400000 100000\n"}, {"a/cpu.max", "200000 100000\n"}}, 2},
        {"version 1",
         "5:memory:/m\n4:cpu,cpuacct:/d\n",
         {{"cpu/d/cpu.cfs_quota_us", "-1\n"},
          {"cpu/cpu.cfs_quota_us", "300000\n"},
          {"cpu/cpu.cfs_period_us", "100000\n"}},
         3},
        {"no group file", "", {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test_util::TempDir dir;
        for (const auto& [path, text] : c.files) {
            std::filesystem::create_directories(std::filesystem::path(dir.file(path)).parent_path());
            test_util::write_file(dir.file(path), text);
        }
        if (*c.self != 0) test_util::write_file(dir.file("self"), std::string(c.self));
        EXPECT_EQ(cgroup_cpu_quota(dir.file("self").c_str(), dir.path().c_str()), c.cpus);
    }
}

// Tasks are worked in any order and finished in the order handed in, and a
// failed finish stops every finish after it.
TEST(Platform, LineFinishesInOrderAndStopsAtAFailure) {
    struct Item {
        LineTask task;
        unsigned index = 0;
        std::vector<unsigned>* finished = nullptr;
    };
    std::vector<unsigned> finished;
    std::vector<Item> items(20);
    WorkerPool pool(4);
    Line line;
    auto work = [](void* argument) {
        // Later tasks tend to be worked sooner than earlier ones.
        volatile unsigned spin = (20 - static_cast<Item*>(argument)->index) * 20000;
        while (spin > 0) spin = spin - 1;
    };
    auto finish = [](void* argument) {
        auto* item = static_cast<Item*>(argument);
        item->finished->push_back(item->index);
        return item->index != 7;
    };
    for (unsigned k = 0; k < items.size(); ++k) {
        items[k].index = k;
        items[k].finished = &finished;
        submit_in_line(&pool, &line, &items[k].task, work, finish, &items[k]);
    }
    for (unsigned k = 0; k < items.size(); ++k) {
        const LineState expected = k < 7 ? LineState::kFinished : k == 7 ? LineState::kFailed : LineState::kPassed;
        EXPECT_EQ(take_oldest(&pool, &line, true), expected) << k;
    }
    EXPECT_EQ(finished, (std::vector<unsigned>{0, 1, 2, 3, 4, 5, 6, 7}));
    restart_line(&line);
    submit_in_line(&pool, &line, &items[0].task, work, finish, &items[0]);
    EXPECT_EQ(take_oldest(&pool, &line, true), LineState::kFinished);
}

#if defined(_WIN32)
// Restored files are made by path on Windows: each folder on the way must be
// the one the stored name asks for (no 8.3 alias of a longer name) and stays
// open, so that it cannot be renamed away while the path leads through it.
TEST(Platform, WindowsFoldersOnTheWayAreTheRealOnesAndHeld) {
    namespace fs = std::filesystem;
    test_util::TempDir dir;
    fs::create_directories(dir.file("longfoldername/inner"));
    const fs::path home = fs::current_path();
    fs::current_path(dir.path());
    wchar_t alias[MAX_PATH] = {};
    const DWORD got = GetShortPathNameW(L"longfoldername", alias, MAX_PATH);
    const std::string short_name = fs::path(std::wstring(alias, got)).string();
    const bool under_wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    const struct {
        std::string path;
        FolderState state;
    } cases[] = {
        {"longfoldername/inner/x.txt", FolderState::kOpen},
        {"LongFolderName\\inner\\x.txt", FolderState::kOpen},
        {short_name + "/inner/x.txt", FolderState::kThroughLink},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.path.rfind("longfoldername/", 0) != 0 && short_name == "longfoldername") continue;
        Folder folder;
        const char* leaf = nullptr;
        EXPECT_EQ(open_parent_folder(c.path.c_str(), &folder, &leaf), c.state);
        if (c.state != FolderState::kOpen) continue;
        EXPECT_STREQ(leaf, "x.txt");
        // Wine checks no sharing when a folder is renamed: there the hold shows nothing.
        if (under_wine) continue;
        EXPECT_EQ(MoveFileExW(L"longfoldername", L"moved", 0), 0);
        EXPECT_EQ(MoveFileExW(L"longfoldername\\inner", L"longfoldername\\other", 0), 0);
    }
    if (!under_wine) {
        EXPECT_NE(MoveFileExW(L"longfoldername", L"moved", 0), 0) << "released with the Folder";
    }
    fs::current_path(home);
    if (short_name == "longfoldername") GTEST_SKIP() << "this file system gives no 8.3 alias";
}
#endif

}  // namespace
