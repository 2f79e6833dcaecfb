// SPDX-License-Identifier: BSD-2-Clause
// The block codec: exact streams for known blocks, a plain byte-at-a-time
// model of both directions to compare against on many generated blocks, and
// hostile streams. Every call runs on buffers that end right at an unmapped
// page, so a read or write past a buffer's end crashes the test.

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------
// Buffers that end at a guard page.

uint8_t canary(size_t i) { return static_cast<uint8_t>(0x5A + i * 29); }

// `capacity` usable bytes followed by one inaccessible page. place(n) hands
// out the last n usable bytes and fills the bytes in front of them with
// canaries, so a stray write just before the buffer shows too.
class Guarded {
public:
    explicit Guarded(size_t capacity) {
#if defined(_WIN32)
        SYSTEM_INFO system{};
        GetSystemInfo(&system);
        page_ = system.dwPageSize;
        usable_ = (capacity + FRONT + page_ - 1) / page_ * page_;
        void* mapped = VirtualAlloc(nullptr, usable_ + page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (mapped == nullptr) std::abort();
        base_ = static_cast<uint8_t*>(mapped);
        DWORD was = 0;
        if (!VirtualProtect(base_ + usable_, page_, PAGE_NOACCESS, &was)) std::abort();
#else
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        usable_ = (capacity + FRONT + page_ - 1) / page_ * page_;
        void* mapped = mmap(nullptr, usable_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) std::abort();
        base_ = static_cast<uint8_t*>(mapped);
        if (mprotect(base_ + usable_, page_, PROT_NONE) != 0) std::abort();
#endif
    }
#if defined(_WIN32)
    ~Guarded() { VirtualFree(base_, 0, MEM_RELEASE); }
#else
    ~Guarded() { munmap(base_, usable_ + page_); }
#endif
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    uint8_t* place(size_t n) {
        start_ = base_ + usable_ - n;
        for (size_t i = 1; i <= FRONT; ++i) start_[-static_cast<ptrdiff_t>(i)] = canary(i);
        return start_;
    }
    bool front_intact() const {
        for (size_t i = 1; i <= FRONT; ++i)
            if (start_[-static_cast<ptrdiff_t>(i)] != canary(i)) return false;
        return true;
    }

private:
    static constexpr size_t FRONT = 64;
    size_t page_ = 0;
    size_t usable_ = 0;
    uint8_t* start_ = nullptr;
    uint8_t* base_ = nullptr;
};

size_t room_for(size_t n) { return n == 0 ? 0 : n + n / 255 + 1; }

// Runs the real codec on guarded buffers sized exactly as the caller would:
// the input and the stream end at a guard page, the destination is exactly
// the room handed in. Reusable, so that tight loops need no mapping per call.
class Harness {
public:
    explicit Harness(size_t largest_block)
        : input_(room_for(largest_block) + 1),
          stream_(room_for(largest_block) + 1),
          output_(room_for(largest_block) + 1) {}

    Bytes compress(const Bytes& block) {
        uint8_t* source = input_.place(block.size());
        if (!block.empty()) std::memcpy(source, block.data(), block.size());
        uint8_t* destination = stream_.place(room_for(block.size()));
        int32_t length = compress_block(source, destination, static_cast<uint32_t>(block.size()));
        EXPECT_TRUE(stream_.front_intact()) << "compress_block wrote in front of its destination";
        EXPECT_TRUE(block.empty() || std::memcmp(source, block.data(), block.size()) == 0) << "source changed";
        EXPECT_GE(length, 0);
        EXPECT_LE(static_cast<size_t>(length), room_for(block.size()));
        if (length < 0 || static_cast<size_t>(length) > room_for(block.size())) return {};
        return Bytes(destination, destination + length);
    }

    // Returns the count decompress_block returned; on success `out` holds the block.
    int32_t decompress(const Bytes& stream, size_t room, Bytes* out = nullptr) {
        uint8_t* source = input_.place(stream.size());
        if (!stream.empty()) std::memcpy(source, stream.data(), stream.size());
        uint8_t* destination = output_.place(room);
        int32_t count =
            decompress_block(source, destination, static_cast<uint32_t>(stream.size()), static_cast<uint32_t>(room));
        EXPECT_TRUE(output_.front_intact()) << "decompress_block wrote in front of its destination";
        EXPECT_TRUE(stream.empty() || std::memcmp(source, stream.data(), stream.size()) == 0) << "source changed";
        EXPECT_TRUE(count == -1 || (count >= 0 && static_cast<size_t>(count) <= room)) << count;
        if (out != nullptr && count >= 0) out->assign(destination, destination + count);
        return count;
    }

private:
    Guarded input_;
    Guarded stream_;
    Guarded output_;
};

// ---------------------------------------------------------------------------
// The model: the algorithm as plainly as it can be written.

// Clearing goes by generation so that tiny blocks stay cheap to model.
class ModelTable {
public:
    void clear() { ++generation_; }
    int64_t get(unsigned key) const { return stamp_[key] == generation_ ? position_[key] : -1; }
    void set(unsigned key, int64_t position) {
        stamp_[key] = generation_;
        position_[key] = position;
    }

private:
    std::vector<int64_t> position_ = std::vector<int64_t>(65536, 0);
    std::vector<uint64_t> stamp_ = std::vector<uint64_t>(65536, 0);
    uint64_t generation_ = 1;
};

ModelTable model_table;

unsigned key_at(const Bytes& b, size_t x) { return b[x] + 256u * b[x + 1]; }

void put_length(Bytes& out, size_t value) {
    for (; value >= 255; value -= 255) out.push_back(255);
    out.push_back(static_cast<uint8_t>(value));
}

Bytes model_compress(const Bytes& b) {
    model_table.clear();
    Bytes out;
    size_t n = b.size();
    size_t p = 0;
    size_t a = 0;
    while (p + 4 < n) {
        int64_t r = model_table.get(key_at(b, p));
        model_table.set(key_at(b, p), static_cast<int64_t>(p));
        if (r < 0 || b[p + 2] != b[r + 2] || b[p + 3] != b[r + 3]) {
            ++p;
            continue;
        }
        put_length(out, p + 2 - a);
        out.insert(out.end(), b.begin() + a, b.begin() + p + 2);
        size_t q = p + 4;
        size_t s = r + 4;
        while (q < n && b[q] == b[s]) ++q, ++s;
        put_length(out, q - (p + 2));
        a = q;
        p = q - 2;
    }
    if (n > a) {
        put_length(out, n - a);
        out.insert(out.end(), b.begin() + a, b.end());
    }
    return out;
}

// Absent for every stream that is malformed or decodes to more than `room`
// bytes. A prediction that is not strictly behind its context (only possible
// after a match of length 0) is malformed too: its source would be bytes not
// yet produced.
std::optional<Bytes> model_decompress(const Bytes& s, size_t room) {
    model_table.clear();
    Bytes out;
    size_t i = 0;
    auto read_length = [&](uint64_t* value) {
        *value = 0;
        for (;;) {
            if (i >= s.size()) return false;
            uint8_t byte = s[i++];
            *value += byte;
            if (byte != 255) return true;
        }
    };
    while (i < s.size()) {
        uint64_t literal;
        if (!read_length(&literal) || literal > s.size() - i || out.size() + literal > room) return std::nullopt;
        int64_t a = static_cast<int64_t>(out.size());
        out.insert(out.end(), s.begin() + i, s.begin() + i + literal);
        i += literal;
        if (i >= s.size()) break;
        if (out.size() < 2) return std::nullopt;
        for (int64_t x = std::max<int64_t>(a - 2, 0); x <= a + static_cast<int64_t>(literal) - 3; ++x)
            model_table.set(key_at(out, x), x);
        size_t c = out.size() - 2;
        int64_t r = model_table.get(key_at(out, c));
        model_table.set(key_at(out, c), static_cast<int64_t>(c));
        if (r < 0 || static_cast<size_t>(r) >= c) return std::nullopt;
        uint64_t match;
        if (!read_length(&match) || out.size() + match > room) return std::nullopt;
        for (uint64_t j = 0; j < match; ++j) out.push_back(out[r + 2 + j]);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Blocks.

Bytes text(const std::string& s) { return test_util::bytes_of(s); }
Bytes repeat(char c, size_t n) { return Bytes(n, static_cast<uint8_t>(c)); }
Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes hex(const std::string& digits) {
    Bytes out;
    std::string clean;
    for (char c : digits)
        if (c != ' ') clean += c;
    for (size_t i = 0; i + 1 < clean.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(clean.substr(i, 2), nullptr, 16)));
    return out;
}
Bytes length_code(size_t v) {
    Bytes out;
    put_length(out, v);
    return out;
}

// 65536 bytes in which every two-byte pair occurs once: each byte x, then x
// paired with every larger byte. With no key ever repeated, nothing is
// predicted, so any prefix is one literal run.
const Bytes& unique_pairs() {
    static const Bytes sequence = [] {
        Bytes s;
        for (unsigned x = 0; x < 256; ++x) {
            s.push_back(static_cast<uint8_t>(x));
            for (unsigned y = x + 1; y < 256; ++y) {
                s.push_back(static_cast<uint8_t>(x));
                s.push_back(static_cast<uint8_t>(y));
            }
        }
        return s;
    }();
    return sequence;
}
Bytes unique_prefix(size_t n) { return Bytes(unique_pairs().begin(), unique_pairs().begin() + n); }

// A literal run of exactly L bytes in front of a minimal match. The pairs
// from the second byte of the sequence on are unique and start 00 01 00 02:
// after L - 2 of them comes the context 00 01, whose one earlier visit is
// position 0, then 00 02 to confirm it and an 'X' that ends the match.
Bytes literal_then_match(size_t literal) {
    Bytes pairs(unique_pairs().begin() + 1, unique_pairs().begin() + 1 + (literal - 2));
    return concat(pairs, text(std::string("\0\1\0\2X", 5)));
}
Bytes literal_then_match_stream(size_t literal) {
    Bytes pairs(unique_pairs().begin() + 1, unique_pairs().begin() + 1 + (literal - 2));
    return concat(concat(length_code(literal), pairs), hex("0001 02 01 58"));
}

// Bytes in which no 4-byte window repeats: consecutive bytes of a maximal
// 32-bit shift register, whose last 32 output bits are its state and never
// recur within its period.
Bytes unique_windows(size_t n) {
    Bytes out(n);
    uint32_t state = 1;
    for (auto& byte : out) {
        uint32_t value = 0;
        for (int bit = 0; bit < 8; ++bit) {
            uint32_t fresh = __builtin_parity(state & 0x80200003u);
            state = (state << 1) | fresh;
            value = (value << 1) | fresh;
        }
        byte = static_cast<uint8_t>(value);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Known streams, both directions.

struct Vector {
    std::string name;
    Bytes block;
    Bytes stream;
};

std::vector<Vector> known_streams() {
    std::vector<Vector> v = {
        {"empty", {}, {}},
        {"abc", text("abc"), hex("03 616263")},
        {"abcde", text("abcde"), hex("05 6162636465")},
        {"one byte", text("a"), hex("01 61")},
        {"five equal bytes", repeat('a', 5), hex("05 6161616161")},
        {"repeat at the unvisited position 4", text("abcdabcd"), hex("08 6162636461626364")},
        {"worked example", text("abcdabcdX"), hex("06 616263646162 02 01 58")},
        {"six a", repeat('a', 6), hex("03 616161 03")},
        {"257 a", repeat('a', 257), hex("03 616161 FE")},
        {"258 a", repeat('a', 258), hex("03 616161 FF00")},
        {"512 a", repeat('a', 512), hex("03 616161 FFFE")},
        {"513 a", repeat('a', 513), hex("03 616161 FFFF00")},
        {"600 A", repeat('A', 600), hex("03 414141 FFFF57")},
        {"distance 2", text("abababab"), hex("04 61626162 04")},
        {"distance 3", text("abcabcabcabcabcabc"), hex("05 6162636162 0D")},
        {"hello x4", text("hello hello hello hello"), hex("08 68656C6C6F206865 0F")},
        {"hello world", text("hello hello hello world"), hex("08 68656C6C6F206865 0A 05 776F726C64")},
        {"match to the last byte", text("abcdefghcdefgh"), hex("0A 61626364656667686364 04")},
        {"empty literal run between matches", text("abaaabaabab"), hex("06 616261616162 02 00 02 01 62")},
        {"positions inside a match are not entered", text("acacaccacac"), hex("04 61636163 02 02 6361 03")},
    };
    for (size_t n : {254, 255, 509, 510})
        v.push_back(
            {"final literal run of " + std::to_string(n), unique_prefix(n), concat(length_code(n), unique_prefix(n))});
    for (size_t n : {254, 255, 509, 510})
        v.push_back({"literal run of " + std::to_string(n) + " before a match", literal_then_match(n),
                     literal_then_match_stream(n)});
    return v;
}

TEST(Codec, KnownStreamsBothDirections) {
    EXPECT_EQ(length_code(509), hex("FFFE"));  // the helper agrees with the format's own examples
    EXPECT_EQ(length_code(510), hex("FFFF00"));
    Harness harness(1024);
    for (const Vector& v : known_streams()) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(harness.compress(v.block), v.stream);
        EXPECT_EQ(model_compress(v.block), v.stream);
        Bytes decoded;
        EXPECT_EQ(harness.decompress(v.stream, v.block.size(), &decoded), static_cast<int32_t>(v.block.size()));
        EXPECT_EQ(decoded, v.block);
        EXPECT_EQ(model_decompress(v.stream, v.block.size()), v.block);
        if (!v.block.empty()) {
            EXPECT_EQ(harness.decompress(v.stream, v.block.size() - 1), -1);
        }
    }
}

// Every 4-byte window differs, so no prediction is ever confirmed.
TEST(Codec, FullBlockWithoutAMatchIsOneLiteralRun) {
    const size_t n = 8388608;
    Bytes block = unique_windows(n);
    {
        std::vector<uint32_t> windows(n - 3);
        for (size_t i = 0; i + 3 < n; ++i)
            windows[i] = block[i] | block[i + 1] << 8 | block[i + 2] << 16 | static_cast<uint32_t>(block[i + 3]) << 24;
        std::sort(windows.begin(), windows.end());
        ASSERT_EQ(std::adjacent_find(windows.begin(), windows.end()), windows.end());
    }
    Bytes expected = concat(concat(Bytes(32896, 0xFF), Bytes{0x80}), block);
    ASSERT_EQ(expected.size(), 8421505u);
    Harness harness(n);
    Bytes stream = harness.compress(block);
    EXPECT_EQ(stream.size(), expected.size());
    EXPECT_TRUE(stream == expected);
    Bytes decoded;
    EXPECT_EQ(harness.decompress(stream, n, &decoded), static_cast<int32_t>(n));
    EXPECT_TRUE(decoded == block);
    EXPECT_EQ(harness.decompress(stream, n - 1), -1);
}

// ---------------------------------------------------------------------------
// Generated blocks against the model.

// Compresses `block`, compares the stream with the model's and decodes it with
// exactly the block's room and with one byte less.
void check_block(Harness& harness, const Bytes& block, bool tight_room = true) {
    Bytes stream = harness.compress(block);
    ASSERT_TRUE(stream == model_compress(block)) << "block of " << block.size() << " bytes";
    Bytes decoded;
    ASSERT_EQ(harness.decompress(stream, block.size(), &decoded), static_cast<int32_t>(block.size()));
    ASSERT_TRUE(decoded == block);
    if (tight_room && !block.empty()) {
        ASSERT_EQ(harness.decompress(stream, block.size() - 1), -1);
    }
}

Bytes over_alphabet(std::mt19937& rng, size_t n, const Bytes& alphabet) {
    Bytes out(n);
    for (auto& b : out) b = alphabet[rng() % alphabet.size()];
    return out;
}

Bytes random_alphabet(std::mt19937& rng, size_t symbols) {
    Bytes out(symbols);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

Bytes runs(std::mt19937& rng, size_t n) {
    Bytes out;
    while (out.size() < n) {
        size_t length = 1 + rng() % (rng() % 4 == 0 ? 2000 : 12);
        out.insert(out.end(), std::min(length, n - out.size()), static_cast<uint8_t>(rng() % 3 == 0 ? 0xFF : rng()));
    }
    return out;
}

// A short pattern repeated, with the odd byte changed so matches end and restart.
Bytes periodic(std::mt19937& rng, size_t n, size_t period) {
    Bytes pattern = random_alphabet(rng, period);
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = rng() % 97 == 0 ? static_cast<uint8_t>(rng()) : pattern[i % period];
    return out;
}

Bytes all_byte_values(std::mt19937& rng, size_t rounds) {
    Bytes out;
    Bytes values(256);
    for (unsigned i = 0; i < 256; ++i) values[i] = static_cast<uint8_t>(i);
    for (size_t r = 0; r < rounds; ++r) {
        if (r % 2 == 1) std::shuffle(values.begin(), values.end(), rng);
        out.insert(out.end(), values.begin(), values.end());
    }
    return out;
}

Bytes words(std::mt19937& rng, size_t n) {
    static const char* const vocabulary[] = {"the ",   "block ", "codec ",   "predicts ", "a ",
                                             "match ", "\n",     "stream, ", "of "};
    std::string s;
    while (s.size() < n) s += vocabulary[rng() % 9];
    s.resize(n);
    return text(s);
}

TEST(Codec, GeneratedBlocksMatchTheModel) {
    std::mt19937 rng(20261207);
    Harness harness(1 << 17);
    for (size_t n = 0; n <= 300; ++n) check_block(harness, test_util::random_bytes(n, static_cast<uint32_t>(n)));
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        size_t n = rng() % (round % 10 == 0 ? (1 << 17) : 6000);
        check_block(harness, test_util::random_bytes(n, rng()));
        for (size_t symbols = 2; symbols <= 4; ++symbols)
            check_block(harness, over_alphabet(rng, n, random_alphabet(rng, symbols)));
        check_block(harness, runs(rng, n));
        for (size_t period = 1; period <= 5; ++period) check_block(harness, periodic(rng, n, period));
        check_block(harness, all_byte_values(rng, 1 + n / 256));
        check_block(harness, words(rng, n));
        // Joined kinds: matches whose sources lie far back, across different data.
        check_block(harness,
                    concat(concat(words(rng, n / 3), test_util::random_bytes(n / 3, rng())), words(rng, n / 3)));
    }
}

// Blocks that go from data without matches to text and back, in pieces of
// several 64 KiB segments: the encoder changes the form of its table entries
// on the way (tagged where matches are rare), and the stream must stay the
// model's throughout. A repeat of the first random piece right after it is
// predicted from entries made before the change, a text after a random piece
// from entries made in the tagged form.
TEST(Codec, BlocksThatChangeKindMatchTheModel) {
    std::mt19937 rng(20261208);
    auto random_piece = [&](size_t n) { return test_util::random_bytes(n, rng()); };
    const Bytes first = random_piece(100000);
    const Bytes repeated = Bytes(first.begin() + 1000, first.begin() + 30000);
    struct Layout {
        const char* name;
        Bytes block;
    };
    const Layout layouts[] = {
        {"random, its own repeat, random", concat(concat(first, repeated), random_piece(90000))},
        {"random, then text", concat(first, words(rng, 400000))},
        {"random, text, random, text",
         concat(concat(concat(first, words(rng, 200000)), random_piece(150000)), words(rng, 150000))},
        {"text, then random", concat(words(rng, 150000), random_piece(200000))},
        {"random ending one byte into its second segment", random_piece(65536 + 8)},
        {"random with a run of zeros", concat(concat(first, Bytes(70000, 0)), random_piece(70000))},
    };
    Harness harness(1 << 20);
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        check_block(harness, layout.block, false);
    }
}

// Past 2^23 + 3 bytes a position no longer fits below the tag, so such a block
// keeps plain entries even where it has no matches; its text tail is predicted
// from positions above 2^23.
TEST(Codec, BlockLongerThanTheTaggedRangeMatchesTheModel) {
    std::mt19937 rng(7);
    Bytes block = concat(test_util::random_bytes((1u << 23) + 100, 99), words(rng, 20000));
    Harness harness(block.size());
    check_block(harness, block, false);
}

// Every block up to `max_length` over `alphabet`.
void check_every_block(Harness& harness, const std::string& alphabet, size_t max_length) {
    Bytes block;
    for (size_t n = 0; n <= max_length; ++n) {
        std::vector<size_t> digits(n, 0);
        block.assign(n, static_cast<uint8_t>(alphabet[0]));
        for (;;) {
            check_block(harness, block, false);
            if (::testing::Test::HasFatalFailure()) return;
            size_t k = 0;
            while (k < n && ++digits[k] == alphabet.size())
                digits[k] = 0, block[k] = static_cast<uint8_t>(alphabet[0]), ++k;
            if (k == n) break;
            block[k] = static_cast<uint8_t>(alphabet[digits[k]]);
        }
    }
}

TEST(Codec, EveryTinyBlockOverSmallAlphabets) {
    Harness harness(64);
    check_every_block(harness, "ab", 16);
    check_every_block(harness, "abc", 9);
    check_every_block(harness, std::string("\x00\xFF\x01\xFE", 4), 7);
    std::mt19937 rng(7);
    for (const std::string& alphabet : {std::string("ab"), std::string("abc"), std::string("abcd")})
        for (int i = 0; i < 4000; ++i) check_block(harness, over_alphabet(rng, rng() % 65, text(alphabet)));
}

TEST(Codec, CorpusFilesRoundTrip) {
    std::vector<std::string> files = test_util::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus";
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        Bytes data = test_util::read_file(file);
        Harness harness(data.size());
        check_block(harness, data);
    }
}

// Nothing in the table may survive a call: a stale entry would predict a
// match in fresh random data, or fill an empty prediction in the decoder.
TEST(Codec, EveryCallStartsWithAnEmptyTable) {
    Harness harness(1 << 16);
    // No key repeats in it, so only a stale entry could predict anything.
    const Bytes& data = unique_pairs();
    Bytes alone = harness.compress(data);
    EXPECT_EQ(alone, concat(length_code(data.size()), data));
    EXPECT_EQ(harness.compress(data), alone);
    Bytes stream = harness.compress(repeat('a', 100));
    Bytes decoded;
    ASSERT_EQ(harness.decompress(stream, 100, &decoded), 100);
    // The context "aa" was entered by the call before; here it is unknown.
    EXPECT_EQ(harness.decompress(hex("02 6161 05"), 100), -1);
    EXPECT_EQ(harness.decompress(stream, 100, &decoded), 100);
    EXPECT_EQ(decoded, repeat('a', 100));
}

// ---------------------------------------------------------------------------
// Hostile streams.

struct Malformed {
    std::string name;
    Bytes stream;
    size_t room;
};

TEST(Codec, MalformedStreamsAreRejected) {
    Bytes long_match = concat(concat(hex("03 616161"), Bytes(20000, 0xFF)), hex("00"));
    const Malformed cases[] = {
        {"literal length code cut off", hex("FF"), 1000},
        {"long literal length code cut off", hex("FFFFFF"), 10000},
        {"match length code cut off", hex("03 616161 FF"), 1000},
        {"second literal length code cut off", hex("03 616161 03 FF"), 1000},
        {"literal run past the end", hex("05 6162"), 1000},
        {"coded literal run past the end", hex("FF00 61"), 1000},
        {"second literal run past the end", hex("03 616161 03 04 62"), 1000},
        {"match after one byte", hex("01 61 02"), 1000},
        {"match before any byte", hex("00 02"), 1000},
        {"empty literal run and match first", hex("00 00"), 1000},
        {"empty prediction at position 0", hex("02 6162 02"), 1000},
        {"empty prediction after a literal run", hex("03 616263 02"), 1000},
        {"empty prediction in a later step", hex("03 616161 02 02 6263 02"), 1000},
        {"prediction of the context itself", hex("03 616161 00 00 02"), 1000},
        {"literal run past the room", hex("05 6162636465"), 4},
        {"any output without room", hex("01 61"), 0},
        {"match past the room", hex("03 616161 03"), 5},
        {"coded match past the room", hex("03 616161 FFFFFFFF00"), 1000},
        {"huge match", long_match, 100000},
        {"literal run after a match past the room", hex("03 616161 03 02 6263"), 7},
    };
    Harness harness(1 << 17);
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(model_decompress(c.stream, c.room), std::nullopt);
        EXPECT_EQ(harness.decompress(c.stream, c.room), -1);
    }
    // The same shapes one step short of failing decode.
    EXPECT_EQ(harness.decompress(hex("05 6162636465"), 5), 5);
    EXPECT_EQ(harness.decompress(hex("03 616161 03"), 6), 6);
    EXPECT_EQ(harness.decompress(hex("03 616161 03 02 6263"), 8), 8);
    EXPECT_EQ(harness.decompress(hex("03 616161 00 02 6161 02"), 7), 7);  // zero-length match is well formed
    EXPECT_EQ(harness.decompress({}, 0), 0);
}

// Damaged streams: the decoder either fails or produces exactly what the
// model produces, never touches memory outside its buffers.
TEST(Codec, DamagedStreamsMatchTheModel) {
    std::mt19937 rng(4242);
    Harness harness(4096);
    int rejected = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes block;
        switch (round % 3) {
            case 0:
                block = words(rng, rng() % 400);
                break;
            case 1:
                block = periodic(rng, rng() % 400, 1 + rng() % 5);
                break;
            default:
                block = over_alphabet(rng, rng() % 400, random_alphabet(rng, 2 + rng() % 3));
                break;
        }
        Bytes stream = model_compress(block);
        if (stream.empty() || round % 7 == 0) {
            stream = test_util::random_bytes(1 + rng() % 40, rng());
        } else {
            int damage = 1 + rng() % 3;
            for (int d = 0; d < damage && !stream.empty(); ++d) {
                size_t at = rng() % stream.size();
                switch (rng() % 4) {
                    case 0:
                        stream.resize(at);
                        break;
                    case 1:
                        stream[at] = static_cast<uint8_t>(rng());
                        break;
                    case 2:
                        stream.insert(stream.begin() + at, static_cast<uint8_t>(rng()));
                        break;
                    default:
                        stream.erase(stream.begin() + at);
                        break;
                }
            }
        }
        size_t room = rng() % 2 == 0 ? block.size() : rng() % 600;
        std::optional<Bytes> expected = model_decompress(stream, room);
        Bytes decoded;
        int32_t count = harness.decompress(stream, room, &decoded);
        if (!expected) {
            ASSERT_EQ(count, -1) << "round " << round;
            ++rejected;
        } else {
            ASSERT_EQ(count, static_cast<int32_t>(expected->size())) << "round " << round;
            ASSERT_EQ(decoded, *expected) << "round " << round;
        }
    }
    // Both outcomes must have been exercised for the comparison to mean anything.
    EXPECT_GT(rejected, 2000);
    EXPECT_LT(rejected, 18000);
}

}  // namespace
