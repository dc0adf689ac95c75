// The arithmetic coder: its model, the block layout, and every way a block can end or break.
#include "AC.h"
#include "LasTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

namespace {

Bytes encode(const Bytes& data) {
    Bytes out;
    AC().encodeBlock(data.data(), data.size(), out);
    return out;
}

uint16_t highCount(const Bytes& block, int s) {
    return uint16_t(block[2 * s] | block[2 * s + 1] << 8);
}

Bytes randomBytes(std::mt19937& rng, size_t n, uint32_t symbols) {
    Bytes out(n);
    for (auto& x : out)
        x = uint8_t(rng() % symbols);
    return out;
}

// Decodes a stream holding one block, which must be read to its end.
Bytes decode(const Bytes& stream, size_t count) {
    MemoryByteSource src(stream.data(), stream.size());
    Bytes out(count);
    AC().decodeBlock(src, out.data(), count);
    EXPECT_EQ(src.position(), stream.size());
    return out;
}

// The model's rounding (in double; the shortfall to symbol 0; a symbol seen once keeps an interval) and
// the block's table, flush bits and terminator.
TEST(AC, ModelRoundingAndBlockLayout) {
    uint32_t freq[256];
    Bytes iota(256), many(20000, 9);
    std::iota(iota.begin(), iota.end(), 0);
    many[0] = many[1] = many[2] = 4, many[3] = 5;
    Bytes symbols200(201);
    std::iota(symbols200.begin(), symbols200.end() - 1, 0);
    const struct Case {
        Bytes data;
        std::vector<std::pair<int, uint32_t>> freqs;
    } cases[] = {
        // clang-format off
        {Bytes(1000, 77), {{0, 0}, {76, 0}, {77, 10000}}},
        {iota, {{0, 55}, {1, 39}, {200, 39}, {255, 39}}},
        {{0, 1, 1}, {{0, 3333}, {1, 6667}}},
        {many, {{4, 1}, {5, 1}}}, // 3 of 20000 is 1.5 in double, just below: 1 (not 2 as 3 x 10000 / 20000); once: still 1
        {{}, {{0, 10000}}},
        {symbols200, {}}, // 200 symbols each a little above the rounding threshold: the excess outlasts one pass
        // clang-format on
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.data.size());
        AC::buildFrequencies(c.data.data(), c.data.size(), freq);
        EXPECT_EQ(std::accumulate(freq, freq + 256, 0u), 10000u);
        for (auto [s, f] : c.freqs)
            EXPECT_EQ(freq[s], f) << s;
        auto block = encode(c.data);
        uint32_t cumulative = 0;
        for (int s = 0; s < 256; ++s)
            EXPECT_EQ(highCount(block, s), cumulative += freq[s]) << s;
        EXPECT_EQ(decode(block, c.data.size()), c.data);
    }
    auto block = encode(Bytes(1000, 77));
    EXPECT_EQ(Bytes(block.begin() + 512, block.end()), (Bytes{0x40, 0xFF, 0xFF, 0x00})); // flush bits 0, 1
}

// Blocks read through a file-like source in 256-byte windows.
struct WindowedSource : ByteSource {
    const Bytes& data;
    size_t at = 0;
    explicit WindowedSource(const Bytes& d) : data(d) {}
    size_t fill(unsigned char* out, size_t max) override {
        const size_t n = std::min({max, size_t(256), data.size() - at});
        std::memcpy(out, data.data() + at, n);
        return at += n, n;
    }
};

// Back-to-back blocks, an empty one between: each decode stops at the next block, wherever in a read
// the terminator falls.
TEST(AC, BackToBackBlocksWithTheTerminatorAtEveryPositionOfARead) {
    std::mt19937 rng(11);
    std::vector<bool> seen(256, false);
    for (int iter = 0; iter < 4000 && std::count(seen.begin(), seen.end(), true) < 256; ++iter) {
        const Bytes a = randomBytes(rng, 1 + rng() % 1500, 13), b = randomBytes(rng, 50, 200);
        Bytes outA(a.size()), outB(b.size()), stream;
        AC ac;
        ac.encodeBlock(a.data(), a.size(), stream);
        const size_t firstEnd = stream.size();
        seen[(firstEnd - 3) % 256] = true;
        ac.encodeBlock(nullptr, 0, stream);
        ASSERT_EQ(stream.size() - firstEnd, 512u + 1 + 3);
        ac.encodeBlock(b.data(), b.size(), stream);
        MemoryByteSource mem(stream.data(), stream.size());
        WindowedSource windowed(stream);
        for (ByteSource* src : {static_cast<ByteSource*>(&mem), static_cast<ByteSource*>(&windowed)}) {
            AC dec;
            dec.decodeBlock(*src, outA.data(), a.size());
            ASSERT_EQ(outA, a);
            dec.decodeBlock(*src, nullptr, 0);
            dec.decodeBlock(*src, outB.data(), b.size());
            ASSERT_EQ(outB, b);
        }
        ASSERT_TRUE(mem.position() == stream.size() && mem.atEnd());
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

// Random blocks: the model sums to the scale and keeps an interval for every symbol that occurs; the coded
// part is floor((S + 2) / 8) + 1 bytes (a whole zero byte before the terminator when the bits end on a byte
// boundary); pairs code exactly as single blocks; the portable loops and those with LZCNT and BMI2 write the
// same bytes and read each other's.
TEST(AC, RandomBlocksEveryCoderAgrees) {
    std::mt19937 rng(3);
    bool sawBoundary = false;
    for (int iter = 0; iter < 400; ++iter) {
        const int k = iter % 4 == 0 ? 256 : 1 + int(rng() % 30);
        Bytes a(1 + rng() % (iter % 10 ? 300 : 20000)), b(rng() % 3000);
        for (auto& x : a)
            x = uint8_t(iter % 3 == 0 ? (rng() % 100 < 97 ? 0 : rng() % k) : rng() % k);
        for (auto& x : b)
            x = uint8_t(iter % 5 ? rng() % 200 : 7);
        uint32_t freq[256];
        AC::buildFrequencies(a.data(), a.size(), freq);
        ASSERT_EQ(std::accumulate(freq, freq + 256, 0u), 10000u);
        for (auto x : a)
            ASSERT_GT(freq[x], 0u);
        Bytes coded[2], pairA[2], pairB[2];
        for (bool portable : {false, true}) {
            AC::usePortableCode(portable);
            AC ac;
            ac.encodeBlock(a.data(), a.size(), coded[portable]);
            ASSERT_EQ(coded[portable].size() - 512 - 3, (ac.shiftCount() + 2) / 8 + 1);
            if ((ac.shiftCount() + 2) % 8 == 0) {
                sawBoundary = true;
                EXPECT_EQ(coded[portable].end()[-4], 0x00);
            }
            pairA[portable] = {1, 2};
            ac.encodeBlockPair(a.data(), a.size(), pairA[portable], b.data(), b.size(), pairB[portable]);
        }
        for (bool portable : {false, true}) {
            AC::usePortableCode(portable);
            ASSERT_EQ(decode(coded[!portable], a.size()), a) << iter;
        }
        AC::usePortableCode(false);
        ASSERT_TRUE(coded[0] == coded[1] && pairA[0] == pairA[1] && pairB[0] == pairB[1]) << iter;
        ASSERT_EQ(Bytes(pairA[0].begin() + 2, pairA[0].end()), coded[0]) << iter;
        ASSERT_EQ(pairB[0], encode(b)) << iter;
    }
    EXPECT_TRUE(sawBoundary);
}

// Every truncation, a table above the scale or running backwards, and flipped coded bytes end in
// CLasException or a visibly different result.
TEST(AC, DamageEndsInAnException) {
    std::mt19937 rng(8);
    const Bytes data = randomBytes(rng, 3000, 17);
    auto bad = encode({}); // a table running backwards (5000 after 10000), even with no symbol to decode
    bad[2 * 5] = 0x88, bad[2 * 5 + 1] = 0x13;
    ASSERT_EQ(highCount(bad, 4), 10000);
    EXPECT_THROW(decode(bad, 0), CLasException);
    const auto block = encode(data);
    for (size_t n = 0; n < block.size(); ++n) // each cut in a fresh allocation
        EXPECT_THROW(decode(Bytes(block.begin(), block.begin() + n), data.size()), CLasException) << n;
    bad = block;
    bad[1] = 0xFF; // first high count above the scale
    EXPECT_THROW(decode(bad, data.size()), CLasException);
    int failures = 0;
    for (size_t at = 512; at < block.size(); at += 7) {
        bad = block;
        bad[at] ^= 0x5A;
        bool same = false;
        failures += throwsLas([&] { same = decode(bad, data.size()) == data; }) || !same;
    }
    EXPECT_GT(failures, 0);
}

} // namespace
