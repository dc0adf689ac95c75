#include "AC.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>

namespace {

std::vector<unsigned char> encode(const std::vector<unsigned char>& data) {
    std::vector<unsigned char> out;
    AC ac;
    ac.encodeBlock(data.data(), data.size(), out);
    return out;
}

uint16_t highCount(const std::vector<unsigned char>& block, int s) { return uint16_t(block[2 * s] | block[2 * s + 1] << 8); }

std::vector<unsigned char> decode(const std::vector<unsigned char>& stream, size_t count, uint64_t* next = nullptr) {
    MemoryByteSource src(stream.data(), stream.size());
    std::vector<unsigned char> out(count);
    AC ac;
    ac.decodeBlock(src, out.data(), count);
    if (next)
        *next = src.position();
    return out;
}

TEST(AC, ThousandEqualBytes) {
    std::vector<unsigned char> data(1000, 77);
    auto block = encode(data);
    ASSERT_EQ(block.size(), 512u + 1 + 3);
    for (int s = 0; s < 256; ++s)
        EXPECT_EQ(highCount(block, s), s < 77 ? 0 : 10000) << s;
    EXPECT_EQ(block[512], 0x40); // flush bits 0 then 1
    EXPECT_EQ(block[513], 0xFF);
    EXPECT_EQ(block[514], 0xFF);
    EXPECT_EQ(block[515], 0x00);
    uint64_t next = 0;
    EXPECT_EQ(decode(block, 1000, &next), data);
    EXPECT_EQ(next, block.size());
}

TEST(AC, EveryByteOnceGivesSymbolZeroTheShortfall) {
    std::vector<unsigned char> data(256);
    std::iota(data.begin(), data.end(), 0);
    uint32_t freq[256];
    AC::buildFrequencies(data.data(), data.size(), freq);
    EXPECT_EQ(freq[0], 55u);
    for (int s = 1; s < 256; ++s)
        EXPECT_EQ(freq[s], 39u);
    auto block = encode(data);
    EXPECT_EQ(highCount(block, 0), 55);
    EXPECT_EQ(highCount(block, 1), 94);
    EXPECT_EQ(highCount(block, 255), 10000);
    EXPECT_EQ(decode(block, 256), data);
}

TEST(AC, ModelRounding) {
    const unsigned char three[] = {0, 1, 1};
    uint32_t freq[256];
    AC::buildFrequencies(three, 3, freq);
    EXPECT_EQ(freq[0], 3333u);
    EXPECT_EQ(freq[1], 6667u);
    // c = 3 of n = 20000: (3 / 20000) x 10000 is just below 1.5 in double, so 1; 3 x 10000 / 20000 would give 2.
    std::vector<unsigned char> many(20000, 9);
    many[0] = many[1] = many[2] = 4;
    AC::buildFrequencies(many.data(), many.size(), freq);
    EXPECT_EQ(freq[4], 1u);
    // No symbols: the whole scale on symbol 0.
    AC::buildFrequencies(nullptr, 0, freq);
    EXPECT_EQ(freq[0], 10000u);
    EXPECT_EQ(std::accumulate(freq, freq + 256, 0u), 10000u);
}

// Rounding up that leaves excess after one pass is absorbed by scanning again; the table always sums to
// the scale and every symbol that occurs keeps a non-empty interval.
TEST(AC, ModelAlwaysSumsToScale) {
    std::mt19937 rng(5);
    for (int iter = 0; iter < 300; ++iter) {
        size_t n = 1 + rng() % 5000;
        int alphabet = 1 + int(rng() % 256);
        std::vector<unsigned char> data(n);
        for (auto& b : data)
            b = uint8_t(rng() % alphabet);
        uint32_t freq[256];
        AC::buildFrequencies(data.data(), n, freq);
        ASSERT_EQ(std::accumulate(freq, freq + 256, 0u), 10000u);
        for (auto b : data)
            ASSERT_GT(freq[b], 0u);
    }
    // 200 symbols each a little above the rounding threshold: the excess outlasts one pass.
    std::vector<unsigned char> data;
    for (int s = 0; s < 200; ++s)
        data.insert(data.end(), 1, uint8_t(s));
    data.insert(data.end(), 1, 0);
    uint32_t freq[256];
    AC::buildFrequencies(data.data(), data.size(), freq);
    EXPECT_EQ(std::accumulate(freq, freq + 256, 0u), 10000u);
}

TEST(AC, BackToBackBlocksAndZeroSymbols) {
    std::mt19937 rng(1);
    std::vector<unsigned char> a(5000), b(7);
    for (auto& x : a)
        x = uint8_t(rng() % 7 == 0 ? rng() : 3);
    for (auto& x : b)
        x = uint8_t(rng());
    std::vector<unsigned char> stream;
    AC ac;
    ac.encodeBlock(a.data(), a.size(), stream);
    size_t firstEnd = stream.size();
    ac.encodeBlock(nullptr, 0, stream);
    size_t secondEnd = stream.size();
    ac.encodeBlock(b.data(), b.size(), stream);
    EXPECT_EQ(secondEnd - firstEnd, 512u + 1 + 3);

    MemoryByteSource src(stream.data(), stream.size());
    AC dec;
    std::vector<unsigned char> outA(a.size()), outB(b.size());
    dec.decodeBlock(src, outA.data(), a.size());
    EXPECT_EQ(src.position(), firstEnd);
    dec.decodeBlock(src, nullptr, 0);
    EXPECT_EQ(src.position(), secondEnd);
    dec.decodeBlock(src, outB.data(), b.size());
    EXPECT_EQ(outA, a);
    EXPECT_EQ(outB, b);
    EXPECT_TRUE(src.atEnd());
}

// The coded part is floor((S + 2) / 8) + 1 bytes; when the bits end on a byte boundary a whole zero
// byte precedes the terminator.
TEST(AC, CodedLengthFollowsTheShiftCount) {
    std::mt19937 rng(3);
    bool sawBoundary = false;
    for (int iter = 0; iter < 400; ++iter) {
        std::vector<unsigned char> data(1 + rng() % 300);
        for (auto& x : data)
            x = uint8_t(rng() % 5);
        std::vector<unsigned char> out;
        AC ac;
        ac.encodeBlock(data.data(), data.size(), out);
        const uint64_t coded = out.size() - 512 - 3;
        ASSERT_EQ(coded, (ac.shiftCount() + 2) / 8 + 1);
        if ((ac.shiftCount() + 2) % 8 == 0) {
            sawBoundary = true;
            EXPECT_EQ(out[out.size() - 4], 0x00);
        }
        ASSERT_EQ(decode(out, data.size()), data);
    }
    EXPECT_TRUE(sawBoundary);
}

// Blocks read through a file-like source in 256-byte windows: whatever position of a read the
// terminator falls at, the next block is found.
class WindowedSource : public ByteSource {
public:
    WindowedSource(const std::vector<unsigned char>& d, size_t window) : data(d), window(window) {}

protected:
    size_t fill(unsigned char* out, size_t max) override {
        size_t n = std::min({max, window, data.size() - at});
        std::memcpy(out, data.data() + at, n);
        at += n;
        return n;
    }

private:
    const std::vector<unsigned char>& data;
    size_t window, at = 0;
};

TEST(AC, TerminatorAtEveryPositionOfARead) {
    std::mt19937 rng(11);
    std::vector<bool> seen(256, false);
    for (int iter = 0; iter < 4000 && std::count(seen.begin(), seen.end(), true) < 256; ++iter) {
        std::vector<unsigned char> a(1 + rng() % 1500), b(50);
        for (auto& x : a)
            x = uint8_t(rng() % 13);
        for (auto& x : b)
            x = uint8_t(rng() % 200);
        std::vector<unsigned char> stream;
        AC ac;
        ac.encodeBlock(a.data(), a.size(), stream);
        const size_t terminator = stream.size() - 3;
        seen[terminator % 256] = true;
        ac.encodeBlock(b.data(), b.size(), stream);
        WindowedSource src(stream, 256);
        AC dec;
        std::vector<unsigned char> outA(a.size()), outB(b.size());
        dec.decodeBlock(src, outA.data(), a.size());
        dec.decodeBlock(src, outB.data(), b.size());
        ASSERT_EQ(outA, a);
        ASSERT_EQ(outB, b);
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

TEST(AC, DamageEndsInAnException) {
    std::mt19937 rng(8);
    std::vector<unsigned char> data(3000);
    for (auto& x : data)
        x = uint8_t(rng() % 17);
    auto block = encode(data);
    // Every truncation, each in a fresh allocation.
    for (size_t n = 0; n < block.size(); ++n) {
        std::vector<unsigned char> cut(block.begin(), block.begin() + n);
        EXPECT_THROW(decode(cut, data.size()), CLasException) << n;
    }
    // A broken table and flipped coded bytes.
    auto bad = block;
    bad[1] = 0xFF; // first high count above the scale
    EXPECT_THROW(decode(bad, data.size()), CLasException);
    int failures = 0;
    for (size_t at = 512; at < block.size(); at += 7) {
        bad = block;
        bad[at] ^= 0x5A;
        try {
            auto out = decode(bad, data.size());
            failures += out != data;
        } catch (const CLasException&) {
            ++failures;
        }
    }
    EXPECT_GT(failures, 0);
}

} // namespace

namespace {

TEST(AC, PairedBlocksAreCodedExactlyAsSingleOnes) {
    std::mt19937 rng(21);
    for (int iter = 0; iter < 60; ++iter) {
        std::vector<unsigned char> a(rng() % 3000), b(rng() % 3000);
        const int ka = 1 + int(rng() % 40), kb = iter % 5 == 0 ? 1 : 1 + int(rng() % 200);
        for (auto& x : a)
            x = uint8_t(rng() % ka);
        for (auto& x : b)
            x = uint8_t(rng() % kb);
        std::vector<unsigned char> sa, sb, pa = {1, 2}, pb;
        AC ac;
        ac.encodeBlock(a.data(), a.size(), sa);
        ac.encodeBlock(b.data(), b.size(), sb);
        ac.encodeBlockPair(a.data(), a.size(), pa, b.data(), b.size(), pb);
        ASSERT_EQ(std::vector<unsigned char>(pa.begin() + 2, pa.end()), sa) << iter;
        ASSERT_EQ(pb, sb) << iter;
    }
}

// The coding loops exist twice (portable, and with LZCNT and BMI2 where the processor has them): both
// write the same bytes and read back what either wrote, for skewed, flat and long-run blocks.
TEST(AC, PortableAndBitScanLoopsAgree) {
    std::mt19937 rng(5);
    for (int iter = 0; iter < 40; ++iter) {
        std::vector<unsigned char> data(1 + rng() % 20000);
        const int k = iter % 4 == 0 ? 256 : 1 + int(rng() % 30);
        for (auto& x : data)
            x = uint8_t(iter % 3 == 0 ? (rng() % 100 < 97 ? 0 : rng() % k) : rng() % k);
        std::vector<unsigned char> coded[2], pairA[2], pairB[2];
        for (bool portable : {false, true}) {
            AC::usePortableCode(portable);
            AC ac;
            ac.encodeBlock(data.data(), data.size(), coded[portable]);
            ac.encodeBlockPair(data.data(), data.size(), pairA[portable], data.data() + data.size() / 2,
                               data.size() - data.size() / 2, pairB[portable]);
        }
        for (bool portable : {false, true}) {
            AC::usePortableCode(portable);
            EXPECT_EQ(decode(coded[!portable], data.size()), data) << iter;
        }
        AC::usePortableCode(false);
        ASSERT_EQ(coded[0], coded[1]) << iter;
        ASSERT_EQ(pairA[0], pairA[1]) << iter;
        ASSERT_EQ(pairB[0], pairB[1]) << iter;
    }
}

} // namespace
