// SPDX-License-Identifier: BSD-2-Clause
// Tests aimed at the codec's fast paths: the wide copies near the ends of the
// buffers, the fixed-length table entries, and the one stream shape that only
// the fast decoder treats specially (a prediction of the context itself).

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "fuzz/reference_codec.h"

namespace {

// `size` bytes that end right where an unreadable, unwritable page begins, so
// that any access past the end faults.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : size_(size) {
#if defined(_WIN32)
        SYSTEM_INFO system{};
        GetSystemInfo(&system);
        const size_t page = system.dwPageSize;
#else
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
#endif
        data_pages_ = (size + page - 1) / page * page;
        if (data_pages_ == 0) data_pages_ = page;
        total_ = data_pages_ + page;
#if defined(_WIN32)
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, total_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD was = 0;
        if (base_ != nullptr && !VirtualProtect(base_ + data_pages_, page, PAGE_NOACCESS, &was)) {
            VirtualFree(base_, 0, MEM_RELEASE);
            base_ = nullptr;
        }
#else
        void* map = mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = map == MAP_FAILED ? nullptr : static_cast<uint8_t*>(map);
        if (base_ != nullptr) mprotect(base_ + data_pages_, page, PROT_NONE);
#endif
    }
    ~GuardedBuffer() {
#if defined(_WIN32)
        if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
#else
        if (base_ != nullptr) munmap(base_, total_);
#endif
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    uint8_t* data() { return base_ + data_pages_ - size_; }
    bool ok() const { return base_ != nullptr; }

private:
    size_t size_;
    size_t data_pages_ = 0;
    size_t total_ = 0;
    uint8_t* base_ = nullptr;
};

// A block of literal runs and repeats with lengths and distances spread over
// the sizes where the fast paths switch (0 to 40 bytes, distances 1 to 40).
std::vector<uint8_t> mixed_block(size_t size, uint32_t seed, uint32_t alphabet = 6) {
    uint32_t state = seed * 2654435761u + 1;
    auto next = [&state](uint32_t bound) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state % bound;
    };
    std::vector<uint8_t> block;
    while (block.size() < size) {
        for (uint32_t n = next(41); n > 0 && block.size() < size; --n)
            block.push_back(static_cast<uint8_t>(next(alphabet)));
        if (block.empty()) continue;
        size_t distance = 1 + next(40) % block.size();
        for (uint32_t n = 2 + next(39); n > 0 && block.size() < size; --n)
            block.push_back(block[block.size() - distance]);
    }
    return block;
}

std::vector<uint8_t> bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }

int32_t decode(const std::vector<uint8_t>& stream, uint32_t room, std::vector<uint8_t>* out = nullptr) {
    GuardedBuffer source(stream.size());
    GuardedBuffer destination(room);
    if (!source.ok() || !destination.ok()) return -2;
    if (!stream.empty()) std::memcpy(source.data(), stream.data(), stream.size());
    int32_t got = decompress_block(source.data(), destination.data(), static_cast<uint32_t>(stream.size()), room);
    if (out != nullptr && got >= 0) out->assign(destination.data(), destination.data() + got);
    return got;
}

TEST(CodecFastPaths, ContextPredictingItselfIsMalformed) {
    // "abab", then a match of length 0 (only a hand-made stream has one): the
    // next step's context is position 2 again, whose entry now holds 2 itself.
    // Its source would be the bytes it writes; refused for any non-empty
    // length, also when the step comes through the fast path (16 bytes left).
    // An empty match from there copies nothing: the block is just "abab".
    EXPECT_EQ(decode(bytes({0x04, 'a', 'b', 'a', 'b', 0x00, 0x00, 0x01}), 16), -1);
    std::vector<uint8_t> out;
    EXPECT_EQ(decode(bytes({0x04, 'a', 'b', 'a', 'b', 0x00, 0x00, 0x00}), 16, &out), 4);
    EXPECT_EQ(out, bytes({'a', 'b', 'a', 'b'}));
    std::vector<uint8_t> padded = bytes({0x04, 'a', 'b', 'a', 'b', 0x00, 0x00, 0x03});
    padded.insert(padded.end(), {0x14, 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x',
                                 'x',  'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'});
    EXPECT_EQ(decode(padded, 64), -1);
}

// Matches of 0 and 1 bytes come only in hand-made streams. Each is placed
// where a fast copy would take it (a source 18 or 10 bytes behind, stream and
// room to spare), followed by steps with runs of 0 to 2 bytes, whose keys
// come from the context that the match leaves: decoded as the reference
// decoder does.
TEST(CodecFastPaths, ShortMatchesLeaveTheRightContext) {
    for (int behind : {18, 10}) {
        for (int match = 0; match <= 3; ++match) {
            for (int next_run = 0; next_run <= 2; ++next_run) {
                SCOPED_TRACE(testing::Message() << "behind " << behind << " match " << match << " run " << next_run);
                // A first step of its own ("XYXY" and an empty match): the
                // decoder makes the first step byte by byte. Then a run whose
                // last two bytes repeat its first two, the short match's step.
                std::vector<uint8_t> stream = {4, 'X', 'Y', 'X', 'Y', 0, static_cast<uint8_t>(behind + 2)};
                for (int k = 0; k < behind; ++k) stream.push_back(static_cast<uint8_t>('a' + k));
                stream.push_back('a');
                stream.push_back('b');
                stream.push_back(static_cast<uint8_t>(match));
                for (int step = 0; step < 3; ++step) {
                    stream.push_back(static_cast<uint8_t>(next_run));
                    for (int k = 0; k < next_run; ++k) stream.push_back(static_cast<uint8_t>('c' + k));
                    stream.push_back(2);
                }
                stream.push_back(20);
                for (int k = 0; k < 20; ++k) stream.push_back(static_cast<uint8_t>('A' + k));
                std::vector<uint8_t> expected;
                const int64_t want =
                    reference::decompress(stream.data(), static_cast<uint32_t>(stream.size()), 256, expected);
                std::vector<uint8_t> got;
                EXPECT_EQ(decode(stream, 256, &got), want);
                if (want >= 0) {
                    EXPECT_EQ(got, expected);
                }
            }
        }
    }
}

// Compresses into exactly the room the encoder asks for and decodes into
// exactly the block's length, both against a guard page; returns the stream.
std::vector<uint8_t> round_trip_exact(const std::vector<uint8_t>& block) {
    GuardedBuffer source(block.size());
    uint32_t room = static_cast<uint32_t>(block.size() + block.size() / 255 + 1);
    GuardedBuffer packed(room);
    EXPECT_TRUE(source.ok() && packed.ok());
    if (!source.ok() || !packed.ok()) return {};
    if (!block.empty()) std::memcpy(source.data(), block.data(), block.size());
    int32_t length = compress_block(source.data(), packed.data(), static_cast<uint32_t>(block.size()));
    std::vector<uint8_t> stream(packed.data(), packed.data() + length);
    std::vector<uint8_t> restored;
    EXPECT_EQ(decode(stream, static_cast<uint32_t>(block.size()), &restored), static_cast<int32_t>(block.size()));
    EXPECT_EQ(restored, block);
    return stream;
}

// Every length up to 200 with small alphabets (many matches right after
// matches, with empty literal runs) puts the last steps at every distance from
// the ends of the block, the stream and the room.
TEST(CodecFastPaths, ExactRoomsAtEveryLength) {
    for (uint32_t alphabet : {2u, 3u, 6u}) {
        for (uint32_t seed = 1; seed <= 4; ++seed) {
            for (size_t size = 1; size <= 200; ++size) {
                SCOPED_TRACE(testing::Message() << "alphabet " << alphabet << " seed " << seed << " size " << size);
                round_trip_exact(mixed_block(size, seed, alphabet));
            }
        }
    }
}

// One byte less of room is refused, and every cut-short stream decodes to
// something else than the block or is refused, without reading past it.
TEST(CodecFastPaths, ShortRoomAndCutStreams) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        for (size_t size : {size_t{18}, size_t{33}, size_t{300}, size_t{4099}}) {
            SCOPED_TRACE(testing::Message() << "seed " << seed << " size " << size);
            std::vector<uint8_t> block = mixed_block(size, seed);
            std::vector<uint8_t> stream = round_trip_exact(block);
            const uint32_t n = static_cast<uint32_t>(block.size());
            EXPECT_EQ(decode(stream, n - 1), -1);
            for (size_t cut = stream.size() > 40 ? stream.size() - 40 : 0; cut < stream.size(); ++cut) {
                std::vector<uint8_t> shorter(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut));
                EXPECT_NE(decode(shorter, n), static_cast<int32_t>(n));
            }
        }
    }
}

}  // namespace
