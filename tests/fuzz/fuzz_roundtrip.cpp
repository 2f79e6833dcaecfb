// SPDX-License-Identifier: BSD-2-Clause
// compress_block then decompress_block on arbitrary bytes. The stream goes to
// exactly size + size / 255 + 1 bytes (none for an empty block), the promised
// worst case, and is decoded into exactly size bytes (see fenced.h), so
// AddressSanitizer stops any copy that overruns either.
//
// Checked: the stream stays within the bound, equals the stream of the plain
// model in reference_codec.h (the encoder is greedy and fully determined, so
// there is exactly one right stream), decodes to the input, and a room one
// byte short of the block is refused.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec.h"
#include "fenced.h"
#include "reference_codec.h"

namespace {

FencedBuffer block_area;
FencedBuffer stream_area;
FencedBuffer exact_stream_area;
FencedBuffer restored_area;

[[noreturn]] void fail(const char* what, int64_t got, int64_t expected) {
    std::fprintf(stderr, "fuzz_roundtrip: %s (got %lld, expected %lld)\n", what, static_cast<long long>(got),
                 static_cast<long long>(expected));
    std::abort();
}

// memcmp and memcpy must not see a null pointer, even for 0 bytes; an empty input may have one.
bool same(const uint8_t* a, const uint8_t* b, size_t count) { return count == 0 || std::memcmp(a, b, count) == 0; }

void copy(uint8_t* to, const uint8_t* from, size_t count) {
    if (count > 0) std::memcpy(to, from, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t length) {
    uint32_t size = static_cast<uint32_t>(length);
    uint8_t* block = block_area.take(size);
    copy(block, data, size);
    uint32_t bound = size == 0 ? 0 : size + size / 255 + 1;
    uint8_t* stream = stream_area.take(bound);

    int32_t z = compress_block(block, stream, size);
    if (z < 0 || static_cast<uint32_t>(z) > bound) fail("stream length outside 0..bound", z, bound);
    if (!same(block, data, size)) fail("compress_block changed its source", 0, 0);
    std::vector<uint8_t> model = reference::compress(block, size);
    if (model.size() != static_cast<size_t>(z) || !same(model.data(), stream, model.size()))
        fail("stream differs from the model's", z, static_cast<int64_t>(model.size()));

    // The stream alone in a block of its exact length: the decoder must not read past it.
    uint8_t* exact_stream = exact_stream_area.take(static_cast<size_t>(z));
    copy(exact_stream, stream, static_cast<size_t>(z));
    uint8_t* restored = restored_area.take(size);
    int32_t n = decompress_block(exact_stream, restored, static_cast<uint32_t>(z), size);
    if (n != static_cast<int32_t>(size)) fail("restored length", n, size);
    if (!same(restored, data, size)) fail("restored bytes differ", 0, 0);

    if (size > 0) {
        restored = restored_area.take(size - 1);
        n = decompress_block(exact_stream, restored, static_cast<uint32_t>(z), size - 1);
        if (n != -1) fail("a room one byte short was accepted", n, -1);
    }
    return 0;
}
