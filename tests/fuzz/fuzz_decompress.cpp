// SPDX-License-Identifier: BSD-2-Clause
// decompress_block on arbitrary bytes: the first 4 bytes choose the room
// (little-endian), the rest is the stream. The destination has exactly the
// room (see fenced.h), so AddressSanitizer stops any write past it. A stream
// of z bytes cannot decode to more than 255 * z bytes (every byte adds at most
// 255 to a length), so a larger room is backed by that many bytes only.
//
// Checked: the result is -1 or at most the room; it agrees with the plain model
// in reference_codec.h, value and bytes; and the room is tight: a successful
// decode of n bytes also succeeds with room n and fails with room n - 1.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec.h"
#include "fenced.h"
#include "reference_codec.h"

namespace {

FencedBuffer stream_area;
FencedBuffer destination_area;

[[noreturn]] void fail(const char* what, int64_t got, int64_t expected) {
    std::fprintf(stderr, "fuzz_decompress: %s (got %lld, expected %lld)\n", what, static_cast<long long>(got),
                 static_cast<long long>(expected));
    std::abort();
}

int32_t decode(const uint8_t* stream, uint32_t size, uint32_t room, std::vector<uint8_t>& bytes) {
    size_t backed = static_cast<size_t>(std::min<uint64_t>(room, 255ull * size));
    uint8_t* destination = destination_area.take(backed);
    int32_t n = decompress_block(stream, destination, size, room);
    if (n >= 0 && static_cast<size_t>(n) <= backed) bytes.assign(destination, destination + n);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    if (length < 4) return 0;
    uint32_t room = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
                    (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
    uint32_t size = static_cast<uint32_t>(length - 4);
    // The stream alone in a block of its exact length, so reads past it are caught too.
    uint8_t* stream = stream_area.take(size);
    if (size > 0) std::memcpy(stream, data + 4, size);

    std::vector<uint8_t> got;
    int32_t n = decode(stream, size, room, got);
    if (n < -1) fail("result below -1", n, -1);
    if (n >= 0 && static_cast<uint32_t>(n) > room) fail("result beyond the room", n, room);

    std::vector<uint8_t> model;
    int64_t expected = reference::decompress(stream, size, room, model);
    if (n != expected) fail("result differs from the model", n, expected);
    if (n < 0) return 0;
    if (got != model) fail("decoded bytes differ from the model", n, expected);

    std::vector<uint8_t> again;
    uint32_t exact = static_cast<uint32_t>(n);
    if (decode(stream, size, exact, again) != n || again != got) fail("room equal to the result fails", n, n);
    if (exact > 0 && decode(stream, size, exact - 1, again) != -1) fail("room one short succeeds", n, -1);
    return 0;
}
