// SPDX-License-Identifier: BSD-2-Clause
// Links against the installed codec and checks that it is the real one: a
// known block stream byte for byte, a round trip of a larger buffer, and the
// refusal of a malformed stream. Prints one line per failed check.
#include <zorv/codec.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (ok) return;
    std::printf("consumer: FAILED: %s\n", what);
    ++failures;
}

}  // namespace

int main() {
    // "abcdabcdX": a literal run of 6, a match of 2, a final literal run of 1.
    const uint8_t block[] = {'a', 'b', 'c', 'd', 'a', 'b', 'c', 'd', 'X'};
    const uint8_t expected[] = {0x06, 'a', 'b', 'c', 'd', 'a', 'b', 0x02, 0x01, 'X'};
    uint8_t stream[sizeof block + sizeof block / 255 + 1];
    int32_t length = compress_block(block, stream, sizeof block);
    check(length == static_cast<int32_t>(sizeof expected) && std::memcmp(stream, expected, sizeof expected) == 0,
          "the stream of abcdabcdX");

    // Text with repeats, so that matches of many lengths and distances occur.
    std::vector<uint8_t> input;
    for (uint32_t i = 0; input.size() < 200000; ++i) {
        char line[64];
        int n = std::snprintf(line, sizeof line, "line %u of the consumer, value %u\n", i % 997, (i * 7919u) % 101);
        input.insert(input.end(), line, line + n);
    }
    const uint32_t size = static_cast<uint32_t>(input.size());
    std::vector<uint8_t> packed(size + size / 255 + 1);
    int32_t packed_length = compress_block(input.data(), packed.data(), size);
    check(packed_length > 0 && packed_length < static_cast<int32_t>(size) / 2, "repetitive text compresses");

    std::vector<uint8_t> restored(size);
    int32_t restored_length =
        decompress_block(packed.data(), restored.data(), static_cast<uint32_t>(packed_length), size);
    check(restored_length == static_cast<int32_t>(size) && restored == input, "the round trip restores every byte");

    // One byte less room than the block needs must be refused, not overrun.
    check(decompress_block(packed.data(), restored.data(), static_cast<uint32_t>(packed_length), size - 1) < 0,
          "a destination one byte too small is refused");
    // A literal run that claims more bytes than the stream holds.
    const uint8_t malformed[] = {0x05, 'a', 'b'};
    check(decompress_block(malformed, restored.data(), sizeof malformed, size) < 0, "a literal run past the end");

    if (failures == 0) std::printf("consumer: the installed codec works\n");
    return failures == 0 ? 0 : 1;
}
