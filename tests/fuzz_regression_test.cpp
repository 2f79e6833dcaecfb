// SPDX-License-Identifier: BSD-2-Clause
// Inputs found by the fuzz targets in tests/fuzz, kept as ordinary tests once
// the fault behind each was fixed. Each case names the fault it caught.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/codec.h"

namespace {

int32_t decode(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, uint32_t room) {
    out.assign(room, 0xEE);
    int32_t n = decompress_block(stream.data(), out.data(), static_cast<uint32_t>(stream.size()), room);
    if (n >= 0) out.resize(static_cast<size_t>(n));
    return n;
}

}  // namespace

// An empty match leaves the context where it was; an empty literal run after
// it then finds the context's own position as the prediction, and the match
// would copy the very bytes it is about to write: bytes that were never
// produced (whatever the buffer held before), returned as a success.
// fuzz_decompress found it when its model decoder read past its output.
TEST(FuzzRegression, MatchPredictedFromItsOwnContextIsRefused) {
    const std::vector<uint8_t> stream = {
        0x03, 'a', 'a', 'a',  // literal run "aaa"; the context "aa" at 1 is entered, its prediction is 0
        0x00,                 // a match of 0 bytes: the output stays "aaa"
        0x00,                 // an empty literal run: the context is again "aa" at 1, whose entry is now 1
        0x02,                 // a match of 2 bytes from position 1 + 2 = 3, the end of the output
    };
    std::vector<uint8_t> out;
    EXPECT_EQ(decode(stream, out, 16), -1);
}

// The same empty match followed by a literal byte moves the context on, so the
// prediction lies behind it again and the stream is well formed.
TEST(FuzzRegression, EmptyMatchFollowedByALiteralStillDecodes) {
    const std::vector<uint8_t> stream = {
        0x03, 'a', 'a', 'a',  // "aaa"
        0x00,                 // empty match
        0x01, 'a',            // "a": the context is "aa" at 2, predicted at 1
        0x02,                 // two bytes from 3: "aa"
    };
    std::vector<uint8_t> out;
    ASSERT_EQ(decode(stream, out, 16), 6);
    EXPECT_EQ(out, std::vector<uint8_t>(6, 'a'));
}

// Two empty matches in a row predict the context from itself with a length of
// 0, which copies nothing; the fast decoder refused it as if bytes had to be
// copied, failing a stream that decodes to the 14 literal bytes it carries.
// fuzz_decompress found the disagreement with its model in a CI run.
TEST(FuzzRegression, EmptyMatchPredictedFromItsOwnContextDecodes) {
    const std::vector<uint8_t> stream = {
        0x04, 'a',  0x00, 0x00, 0x00,  // "a\0\0\0"
        0x00, 0x00,                    // empty match, empty literal run: the context is its own prediction
        0x00, 0x00,                    // an empty match from there, and an empty literal run again
        0x00,                          // another empty match
        0x0A, 0x04, 'a',  0x00, 0x00, 0x03, 'A', 'A', 'A', 0x00, 0x0B,  // ten literal bytes end the block
    };
    std::vector<uint8_t> out;
    ASSERT_EQ(decode(stream, out, 64), 14);
    const std::vector<uint8_t> expected = {'a', 0, 0, 0, 0x04, 'a', 0, 0, 0x03, 'A', 'A', 'A', 0x00, 0x0B};
    EXPECT_EQ(out, expected);
}
