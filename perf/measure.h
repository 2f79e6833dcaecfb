// SPDX-License-Identifier: BSD-2-Clause
#pragma once
// What the two benchmark programs measure with: whole-file reads and rounds
// of a pass repeated for a minimum time.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline bool read_whole(const std::string& path, std::vector<uint8_t>* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Speed in MB/s (1 MB = 1000000 bytes) of one round of `pass`, repeated for
// at least `min_seconds`; `pass` handles `bytes` bytes of input per call.
template <class Pass>
double round_speed(size_t bytes, double min_seconds, Pass pass) {
    auto start = std::chrono::steady_clock::now();
    uint64_t passes = 0;
    double elapsed;
    do {
        pass();
        ++passes;
        elapsed = seconds_since(start);
    } while (elapsed < min_seconds);
    return static_cast<double>(bytes) * static_cast<double>(passes) / elapsed / 1e6;
}
