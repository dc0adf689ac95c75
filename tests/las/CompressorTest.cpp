// The arithmetic coder (its model, block layout, every way a block can end or break) and the point
// compressor: the format byte for byte (golden files and the documented examples), lossless round trips
// of every kind of file, and damaged input.
#include "AC.h"
#include "CLASCompressor.h"
#include "LasTestUtil.h"
#include "SyntheticScene.h"
#include "support/CodecFiles.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
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

// Every truncation and a table above the scale or running backwards end in CLasException.
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
}

using namespace pointcodec;

// Compresses `las` on the given threads, expects the same bytes back, and returns the compressed bytes.
Bytes roundTrip(const std::string& las, const TempDir& dir, int threads = 1) {
    compressFile(las, dir.file("rt.lasc"), threads);
    decompressFile(dir.file("rt.lasc"), dir.file("rt.las"));
    EXPECT_TRUE(readBytes(dir.file("rt.las")) == readBytes(las)) << las;
    return readBytes(dir.file("rt.lasc"));
}

// A level-coded stream: the first value, the block of level codes, then each byte plane's count and block.
Bytes levelStream(int32_t first, const Bytes& codes, const std::vector<Bytes>& planes) {
    Bytes out;
    auto put32 = [&](uint32_t x) {
        for (int i = 0; i < 4; ++i)
            out.push_back(uint8_t(x >> (8 * i)));
    };
    put32(uint32_t(first));
    AC().encodeBlock(codes.data(), codes.size(), out);
    for (auto& p : planes) {
        put32(uint32_t(p.size()));
        AC().encodeBlock(p.data(), p.size(), out);
    }
    return out;
}

// The documented example, no residuals (no plane follows), one point, and the 32-bit limits (-2^31 has
// magnitude 2^31: level code 9, plane bytes 00 00 00 80); then a level code out of range.
TEST(LevelCoding, DocumentedStreamsByteForByteAndDamage) {
    const struct Case {
        std::vector<int32_t> v;
        Bytes expected;
    } cases[] = {
        // clang-format off
        {{5, 0, -3, 300}, levelStream(5, {0, 3, 4}, {{0x03, 0x2C}, {0x01}})},
        {{7, 0, 0, 0}, levelStream(7, {0, 0, 0}, {})},
        {{-9}, levelStream(-9, {}, {})},
        {{0, INT32_MIN, INT32_MAX, -1}, levelStream(0, {9, 8, 3}, {{0x00, 0xFF, 0x01}, {0x00, 0xFF}, {0x00, 0xFF}, {0x80, 0x7F}})},
        // clang-format on
    };
    AC ac;
    for (auto& c : cases) {
        SCOPED_TRACE(c.v.size());
        Bytes out;
        levelEncode(ac, c.v.data(), c.v.size(), out);
        EXPECT_EQ(out, c.expected);
        MemoryByteSource src(out.data(), out.size());
        std::vector<int32_t> back(c.v.size());
        levelDecode(ac, src, back.data(), back.size());
        EXPECT_EQ(std::pair(back, src.position()), std::pair(c.v, out.size()));
    }
    int32_t v[3];
    Bytes bad = levelStream(1, {10, 2}, {}); // a level code above 9 would shift by 32 or more
    MemoryByteSource src(bad.data(), bad.size());
    EXPECT_THROW(levelDecode(ac, src, v, 3), CLasException);
}

TEST(Predictors, DocumentedExamplesAndWrapAround) {
    const int32_t steady[] = {0, 10, 20, 30, 0}, turn[] = {0, 10, 30, 35, 20, 0};
    // The mean step divides in double: 7.5 + 0.5, not 7 + 0.5.
    EXPECT_EQ((std::array{PredictX(steady, 4), PredictX(turn, 5), PredictX(turn, 1), PredictX(turn, 2)}),
              (std::array{40, 43, 0, 10}));
    // An X and Y step seen within the last 100 points brings its Z step along.
    const int32_t X[] = {0, 100, 150, 300, 400, 450, 600}, Y[] = {0, 7, 9, 30, 37, 40, 61},
                  Z[] = {0, 5, 200, 2000, -50, 0, 0};
    EXPECT_EQ(PredictZ(X, Y, Z, 6), 0 + (2000 - 200)); // point 6 repeats point 3's step (dx 150, dy 21)
    EXPECT_EQ(PredictY(X, Y, 6), 40 + (30 - 9));       // the first earlier X step within 4 units
    EXPECT_EQ(
        (std::array{trunc32(3e9), trunc32(-3e9), trunc32(std::nan("")), trunc32(-2.5), wabs(INT32_MIN)}),
        (std::array{INT32_MIN, INT32_MIN, INT32_MIN, -2, INT32_MIN}));
    // Coordinates at the 32-bit limits: predictions wrap instead of overflowing.
    const int32_t edge[] = {INT32_MAX - 20, INT32_MAX - 10, INT32_MAX, INT32_MIN + 9, INT32_MIN + 19, 0};
    EXPECT_EQ(PredictX(edge, 5), int32_t(uint32_t(INT32_MIN + 19) + 10u));
}

// Every Y and Z prediction of a block, by the block predictor on both of its paths, against PredictY
// and PredictZ. Z is handed over as a decoder has it: known below the point predicted, garbage above.
void expectSamePredictions(const std::vector<int32_t>& X, const std::vector<int32_t>& Y,
                           const std::vector<int32_t>& Z, const std::string& what) {
    const size_t n = X.size();
    for (bool vectors : {true, false}) {
        BlockPredictor yp(X.data(), nullptr, n, vectors), zp(X.data(), Y.data(), n, vectors);
        std::vector<int32_t> partialZ(n, 0x5A5A5A5A);
        if (n)
            partialZ[0] = Z[0];
        for (size_t i = 1; i < n; ++i) {
            ASSERT_EQ(yp.predictY(Y.data(), i), PredictY(X.data(), Y.data(), i))
                << what << " Y " << i << vectors;
            ASSERT_EQ(zp.predictZ(partialZ.data(), i), PredictZ(X.data(), Y.data(), Z.data(), i))
                << what << " Z " << i << (vectors ? " (vector path)" : " (scalar path)");
            partialZ[i] = Z[i];
        }
    }
}

TEST(Predictors, BlockPredictorEqualsThePointPredictors) {
    std::mt19937 rng(7);
    const size_t n = 3000;
    std::vector<int32_t> X(n), Y(n), Z(n);
    auto noise = [&](int k) { return int32_t(rng() % uint32_t(2 * k + 1)) - k; };
    // 1 a few step sizes in turn: several matches in one vector of candidates, where the nearest must
    // win. 2 irregular steps: no match, the vote runs over all hundred points. 3 now and then a repeated
    // point: its zero step has no match before it, where a scan reaching past the block's start would find
    // the zero delta of point 0. 4 any 32-bit values: wrapped differences, ratios far outside the 32-bit
    // range, truncation to -2^31. 5 values at the 32-bit limits. 6 repeated steps: zero second differences
    // take the early exits.
    for (int scene = 1; scene < 7; ++scene) {
        int32_t x = 0, y = 0, z = 0;
        for (size_t i = 0; i < n; ++i) {
            const int32_t r = int32_t(rng() % 3);
            if (scene == 1)
                x += int32_t(i % 13) * 9 + noise(4), y += int32_t(i % 5) * 9 + noise(4), z += noise(1000);
            else if (scene == 2)
                x += noise(5000), y += noise(5000), z += noise(300);
            else if (scene == 3 && i % 40)
                x += 50 + int32_t(rng() % 5000), y += 50 + int32_t(rng() % 5000), z += noise(300);
            else if (scene == 4)
                x = int32_t(rng()), y = int32_t(rng()), z = int32_t(rng());
            else if (scene == 5)
                x = i % 3 ? INT32_MAX - r : INT32_MIN + r, y = r - 1,
                z = i % 2 ? INT32_MIN : INT32_MAX - 2 * r;
            else if (scene == 6)
                x += i % 50 < 25 ? 0 : 40, y += 3, z += noise(2);
            X[i] = x, Y[i] = y, Z[i] = z;
        }
        expectSamePredictions(X, Y, Z, "scene " + std::to_string(scene));
    }
    // Blocks shorter than a vector, and than the hundred-point window.
    for (long m : {0, 1, 2, 3, 4, 9, 17, 101, 102, 103})
        expectSamePredictions({X.begin(), X.begin() + m}, {Y.begin(), Y.begin() + m},
                              {Z.begin(), Z.begin() + m}, "block of " + std::to_string(m));
    // Real scans, whose irregular spacing sends most Z predictions to the vote.
    for (auto& s : manifestSamples("las")) {
        const auto bytes = readBytes(s.path);
        LASHeader h;
        h.copyFromBuffer(bytes.data());
        Columns c;
        c.fromRecords(bytes.data() + h.OffsetToPointData, std::min<size_t>(h.NumberOfPointRecords, 20000),
                      s.format, h.PointDataRecordLength);
        expectSamePredictions(c.X, c.Y, c.Z, s.name);
    }
}

TEST(Chunking, SizesAndFieldCounts) {
    using V = std::vector<uint32_t>;
    // clang-format off
    const std::pair<uint32_t, V> cases[] = {{999, {}}, {1000, {1000}}, {1500000, {1500000}}, {2000000, {2000000}},
                                            {2000001, {1000000, 1000001}}, {5000000, {1000000, 1000000, 1000000, 2000000}}};
    // clang-format on
    for (auto& [points, sizes] : cases)
        EXPECT_EQ(CLASCompressor::chunkSizes(points), sizes) << points;
    EXPECT_EQ((std::array{CLASCompressor::totalFields(5000000, 3), CLASCompressor::totalFields(5000000, 0),
                          CLASCompressor::totalFields(500, 1)}),
              (std::array{64, 48, 0}));
}

// Every real sample and the synthetic edge cases against golden files, on the portable coding loops as
// well as those the processor may run faster; a sample without one (MixedConifer.las, 8 extra bytes per
// record) round-trips.
TEST(Golden, CompressedFilesMatchByteForByte) {
    const std::string golden = std::string(PONTARO_DATA_DIR) + "/golden";
    auto samples = manifestSamples("las"), large = manifestSamples("las-large");
    if (samples.empty() || !std::filesystem::exists(golden))
        GTEST_SKIP() << "no samples or golden files at " << golden;
    samples.insert(samples.end(), large.begin(), large.end());
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> pairs;
    for (auto& s : samples) {
        const std::string lasc = golden + "/" + s.name.substr(0, s.name.size() - 4) + ".lasc";
        if (std::filesystem::exists(lasc))
            pairs.push_back({s.path, lasc});
        else
            roundTrip(s.path, dir);
    }
    for (const char* synthetic : {"block-at-read-boundary", "wraparound-intmin"})
        pairs.push_back({golden + "/" + synthetic + ".las", golden + "/" + synthetic + ".lasc"});
    ASSERT_GE(pairs.size(), 10u);
    for (bool portable : {false, true}) {
        AC::usePortableCode(portable);
        for (auto& [las, lasc] : pairs) {
            SCOPED_TRACE(las + (portable ? " (portable coder)" : ""));
            compressFile(las, dir.file("out.lasc"));
            EXPECT_TRUE(readBytes(dir.file("out.lasc")) == readBytes(lasc)) << "compressed bytes differ";
            decompressFile(lasc, dir.file("out.las"));
            EXPECT_TRUE(readBytes(dir.file("out.las")) == readBytes(las)) << "decompressed bytes differ";
        }
    }
    AC::usePortableCode(false);
}

// Around the raw limit ('O' up to 999 points, 'L' from 1000) and the chunk limits (two chunks: below);
// fields coded on four threads give the same bytes.
TEST(RoundTrip, SyntheticFilesAroundTheLimits) {
    TempDir dir;
    const std::pair<uint64_t, int> cases[] = {{1, 3},    {2, 1},    {999, 0},     {999, 3},
                                              {1000, 0}, {1000, 2}, {1000001, 1}, {1000001, 3}};
    for (auto [points, format] : cases) {
        SCOPED_TRACE(std::to_string(points) + " points, format " + std::to_string(format));
        writeSyntheticLAS(dir.file("s.las"), SynthOptions{points, format, 5});
        EXPECT_EQ(roundTrip(dir.file("s.las"), dir)[0], points <= 999 ? 'O' : 'L');
    }
    writeSyntheticLAS(dir.file("s.las"), SynthOptions{30000, 3, 8});
    EXPECT_TRUE(roundTrip(dir.file("s.las"), dir, 4) == roundTrip(dir.file("s.las"), dir, 1));
}

// Records, the LAS 1.0 start signature, a gap kept as a pseudo-record, extra bytes and trailing data
// round-trip, with points compressed and raw; bytes the format cannot place (a 1-byte gap, a 2-byte gap
// that is not DD CC, a long header, a cut point) are refused, never dropped.
TEST(RoundTrip, LayoutsKeptWholeOrRefused) {
    TempDir dir;
    using Edit = void (*)(Bytes&);
    const Edit none = [](Bytes&) {};
    const struct Case {
        LasBuilder b;
        Edit edit;
        const char* result; // the compressed file's first byte, or the refusal
    } cases[] = {
        // clang-format off
        {{.points = 1500, .vlrLengths = {20, 0}}, none, "L"},
        {{.points = 1500, .gap = 2}, [](Bytes& b) { b[227] = 0xDD, b[228] = 0xCC; }, "L"}, // LAS 1.0 start signature
        {{.points = 1500, .gap = 10}, none, "V"}, // a gap kept as a pseudo-record
        {{.points = 300, .gap = 10}, none, "U"}, // the pseudo-record with raw points keeps both markers
        {{.points = 1200, .extraPerPoint = 8}, none, "L"},
        {{.points = 1100}, [](Bytes& b) { for (int t = 0; t < 77; ++t) b.push_back(uint8_t(t * 3)); }, "L"},
        {{.points = 1200}, [](Bytes& b) { b.insert(b.begin() + 227, 0x11), b[96] += 1; }, "gap"},
        {{.points = 1200}, [](Bytes& b) { b.insert(b.begin() + 227, {0x12, 0x34}), b[96] += 2; }, "gap"},
        {{.points = 1200}, [](Bytes& b) { b.insert(b.begin() + 227, 4, 0), b[94] += 4, b[96] += 4; }, "header size"},
        {{.points = 1200}, [](Bytes& b) { b.resize(b.size() - 3); }, "truncated"},
        // clang-format on
    };
    for (auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        auto bytes = c.b.bytes();
        c.edit(bytes);
        writeBytes(dir.file("in.las"), bytes);
        if (!c.result[1]) {
            EXPECT_EQ(roundTrip(dir.file("in.las"), dir)[0], *c.result);
        } else {
            const std::string why = reasonOf([&] { compressFile(dir.file("in.las"), dir.file("bad.lasc")); });
            EXPECT_NE(why.find(c.result), std::string::npos) << why;
        }
    }
}

// Damaged compressed files end in CLasException: never a crash, a hang or a read outside a buffer.
TEST(Corruption, TruncatedAndFlippedCompressedFiles) {
    TempDir dir;
    std::string las = dir.file("s.las"), cut = dir.file("cut.lasc"), back = dir.file("back.las");
    writeSyntheticLAS(las, SynthOptions{2500, 3, 2});
    const auto good = roundTrip(las, dir), original = readBytes(las);
    for (size_t n = 0; n < good.size(); n += (n < 1200 ? 13 : 211)) {
        writeBytes(cut, good, n);
        EXPECT_THROW(decompressFile(cut, back), CLasException) << n;
    }
    std::mt19937 rng(17);
    int detected = 0;
    for (int iter = 0; iter < 120; ++iter) {
        auto bad = good;
        bad[232 + rng() % (bad.size() - 232)] ^= uint8_t(1 + rng() % 255);
        writeBytes(cut, bad);
        detected += throwsLas([&] { decompressFile(cut, back); }) || readBytes(back) != original;
    }
    EXPECT_GT(detected, 100);
    auto huge = good; // far more points than the file holds: refused before anything is allocated
    huge[108] = huge[109] = huge[110] = huge[111] = 0xFF;
    writeBytes(cut, huge);
    EXPECT_THROW(decompressFile(cut, back), CLasException);
    auto gap = good; // no records but a gap of 3 GB before the points: refused, not written out as zeros
    for (int i = 0; i < 4; ++i)
        gap[96 + i] = uint8_t(0xBC7804B7u >> (8 * i)), gap[100 + i] = 0;
    writeBytes(cut, gap);
    EXPECT_NE(
        reasonOf([&] { decompressFile(cut, back); }).find("bytes before the point data but no record area"),
        std::string::npos);
}

// Points that repeat exactly code to almost nothing; the decoder must not take that for truncation.
TEST(RoundTrip, IdenticalPointsCompressToAlmostNothing) {
    TempDir dir;
    const LasBuilder b{.format = 3, .points = 1100000};
    Bytes bytes(227), rec(34, 0);
    b.header().copyToBuffer(bytes.data());
    rec[0] = 42, rec[14] = 0x09, rec[15] = 2;
    for (uint32_t i = 0; i < b.points; ++i)
        bytes.insert(bytes.end(), rec.begin(), rec.end());
    writeBytes(dir.file("same.las"), bytes);
    EXPECT_LT(roundTrip(dir.file("same.las"), dir).size(), 20000u);
}

// The single-field coders write exactly the bytes that field takes inside a whole block, and the block
// decodes straight into the file object.
TEST(BlockCoding, FieldCodersAndDecodingIntoTheFileObject) {
    TempDir dir;
    writeSyntheticLAS(dir.file("s.las"), SynthOptions{3000, 3, 4});
    const auto bytes = readBytes(dir.file("s.las"));
    LASHeader h;
    h.copyFromBuffer(bytes.data());
    const unsigned char* records = bytes.data() + h.OffsetToPointData;
    CLASCompressor c, dec;
    c.block().fromRecords(records, 3000, 3, 34);
    Bytes whole, parts;
    c.compressBlock(c.block(), whole);
    using C = CLASCompressor;
    for (auto coder : {&C::CompressUserData, &C::CompressScanFlag, &C::CompressScanAngle,
                       &C::CompressReturnNo, &C::CompressSorceID, &C::CompressReturnPulse, &C::CompressEdge,
                       &C::CompressClass, &C::CompressX, &C::CompressY, &C::CompressZ, &C::CompressIntensity,
                       &C::CompressGPSTime, &C::CompressRed, &C::CompressGreen, &C::CompressBlue})
        (c.*coder)(parts);
    EXPECT_TRUE(parts == whole);

    CLASFile_C file;
    file.SetHeader(new LASHeader_C(h));
    dec.SetLasFile(&file);
    MemoryByteSource src(whole.data(), whole.size());
    logOf([&] { dec.decompressPoints(src, 3000); });
    EXPECT_EQ(std::tuple(src.position(), file.GetHeader()->NumberOfPointRecords),
              std::tuple(whole.size(), 3000u));
    ASSERT_EQ(file.Points().size(), 3000u);
    unsigned char rec[34];
    for (size_t i = 0; i < 3000; i += 7) {
        file.Points()[i]->copyToBuffer(rec);
        ASSERT_EQ(0, std::memcmp(rec, records + i * 34, 34)) << i;
    }
}

} // namespace
