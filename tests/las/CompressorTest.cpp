// The point compressor: the format byte for byte (golden files and the documented examples), lossless
// round trips of every kind of file, and damaged input.
#include "CLASCompressor.h"
#include "LasTestUtil.h"
#include "SyntheticScene.h"
#include "support/CodecFiles.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <random>

namespace {

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
// magnitude 2^31: level code 9, plane bytes 00 00 00 80); then damaged codes and counts.
TEST(LevelCoding, DocumentedStreamsByteForByteAndDamage) {
    const struct Case {
        std::vector<int32_t> v;
        Bytes expected;
    } cases[] = {
        {{5, 0, -3, 300}, levelStream(5, {0, 3, 4}, {{0x03, 0x2C}, {0x01}})},
        {{7, 0, 0, 0}, levelStream(7, {0, 0, 0}, {})},
        {{-9}, levelStream(-9, {}, {})},
        {{0, INT32_MIN, INT32_MAX, -1},
         levelStream(0, {9, 8, 3}, {{0x00, 0xFF, 0x01}, {0x00, 0xFF}, {0x00, 0xFF}, {0x80, 0x7F}})},
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
        EXPECT_EQ(back, c.v);
        EXPECT_EQ(src.position(), out.size());
    }
    int32_t v[3];
    Bytes bad = levelStream(1, {10, 2}, {}); // a level code above 9 would shift by 32 or more
    MemoryByteSource src(bad.data(), bad.size());
    EXPECT_THROW(levelDecode(ac, src, v, 3), CLasException);
    const std::vector<int32_t> good = {0, 300, 5};
    bad.clear();
    levelEncode(ac, good.data(), 3, bad);
    bad[4 + 512 + 1 + 3 + 8] ^= 0x40; // somewhere in the first plane count or block
    MemoryByteSource flipped(bad.data(), bad.size());
    EXPECT_TRUE(throwsLas([&] { levelDecode(ac, flipped, v, 3); }) || std::vector<int32_t>(v, v + 3) != good);
}

TEST(Predictors, DocumentedExamplesAndWrapAround) {
    const int32_t steady[] = {0, 10, 20, 30, 0}, turn[] = {0, 10, 30, 35, 20, 0};
    EXPECT_EQ(PredictX(steady, 4), 40);
    EXPECT_EQ(PredictX(turn, 5), 43); // the mean step divides in double: 7.5 + 0.5, not 7 + 0.5
    EXPECT_EQ(PredictX(turn, 1), 0);
    EXPECT_EQ(PredictX(turn, 2), 10);
    // An X and Y step seen within the last 100 points brings its Z step along.
    const int32_t X[] = {0, 100, 150, 300, 400, 450, 600}, Y[] = {0, 7, 9, 30, 37, 40, 61},
                  Z[] = {0, 5, 200, 2000, -50, 0, 0};
    EXPECT_EQ(PredictZ(X, Y, Z, 6), 0 + (2000 - 200)); // point 6 repeats point 3's step (dx 150, dy 21)
    EXPECT_EQ(PredictY(X, Y, 6), 40 + (30 - 9));       // the first earlier X step within 4 units
    EXPECT_EQ(trunc32(3e9), INT32_MIN);
    EXPECT_EQ(trunc32(-3e9), INT32_MIN);
    EXPECT_EQ(trunc32(std::nan("")), INT32_MIN);
    EXPECT_EQ(trunc32(-2.5), -2);
    EXPECT_EQ(wabs(INT32_MIN), INT32_MIN);
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
    if (!BlockPredictor(nullptr, nullptr, 0).usesVectors())
        std::cout << "note: no AVX2 here, both paths of the block predictor are scalar" << std::endl;
    std::mt19937 rng(7);
    const size_t n = 3000;
    std::vector<int32_t> X(n), Y(n), Z(n);
    auto noise = [&](int k) { return int32_t(rng() % uint32_t(2 * k + 1)) - k; };
    // 0 scan lines: nearly equal steps, matches found at once. 1 a few step sizes in turn: several matches
    // in one vector of candidates, where the nearest must win. 2 irregular steps: no match, the vote runs
    // over all hundred points. 3 now and then a repeated point: its zero step has no match before it,
    // where a scan reaching past the block's start would find the zero delta of point 0. 4 any 32-bit
    // values: wrapped differences, ratios far outside the 32-bit range, truncation to -2^31. 5 values at
    // the 32-bit limits. 6 repeated steps: zero second differences take the early exits.
    for (int scene = 0; scene < 7; ++scene) {
        int32_t x = 0, y = 0, z = 0;
        for (size_t i = 0; i < n; ++i) {
            const int32_t r = int32_t(rng() % 3);
            if (scene == 0)
                x += 100 + noise(3), y += 7 + noise(3), z += noise(50);
            else if (scene == 1)
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
    EXPECT_EQ(CLASCompressor::totalFields(5000000, 3), 64);
    EXPECT_EQ(CLASCompressor::totalFields(5000000, 0), 48);
    EXPECT_EQ(CLASCompressor::totalFields(500, 1), 0);
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
    const std::pair<uint64_t, int> cases[] = {{1, 3},    {2, 1},       {999, 0},    {999, 1},  {999, 2},
                                              {999, 3},  {1000, 0},    {1000, 1},   {1000, 2}, {1000, 3},
                                              {4321, 3}, {1000001, 1}, {1000001, 3}};
    for (auto [points, format] : cases) {
        SCOPED_TRACE(std::to_string(points) + " points, format " + std::to_string(format));
        writeSyntheticLAS(dir.file("s.las"), SynthOptions{points, format, 5});
        EXPECT_EQ(roundTrip(dir.file("s.las"), dir)[0], points <= 999 ? 'O' : 'L');
    }
    writeSyntheticLAS(dir.file("s.las"), SynthOptions{30000, 3, 8});
    EXPECT_TRUE(roundTrip(dir.file("s.las"), dir, 4) == roundTrip(dir.file("s.las"), dir, 1));
}

// Records, the LAS 1.0 start signature, a gap kept as a pseudo-record, extra bytes and trailing data,
// with points compressed and raw.
TEST(RoundTrip, HeaderGapsExtraBytesAndTrailingData) {
    TempDir dir;
    const std::pair<LasBuilder, int> cases[] = {
        // the file, and trailing bytes after its points
        // clang-format off
        {{.points = 1500, .vlrLengths = {20, 0}}, 0},
        {{.points = 1500, .gap = 2}, 0}, // the LAS 1.0 start signature
        {{.points = 1500, .gap = 10}, 0}, // a gap kept as a pseudo-record
        {{.points = 300, .gap = 10}, 0}, // the same with raw points
        {{.points = 1200, .extraPerPoint = 8}, 0},
        {{.points = 50, .extraPerPoint = 8}, 0},
        {{.points = 1100}, 77},
        {{.points = 20, .gap = 12}, 0},
        // clang-format on
    };
    for (auto& [b, trailing] : cases) {
        SCOPED_TRACE(&b - &cases[0].first);
        auto bytes = b.bytes();
        if (b.gap == 2)
            bytes[227] = 0xDD, bytes[228] = 0xCC;
        for (int t = 0; t < trailing; ++t)
            bytes.push_back(uint8_t(t * 3));
        writeBytes(dir.file("in.las"), bytes);
        const char marker = roundTrip(dir.file("in.las"), dir)[0];
        if (b.points < 1000 && b.gap > 2) {
            EXPECT_EQ(marker, 'U'); // the pseudo-record of a file with raw points keeps both markers
        }
    }
}

// Bytes the format cannot place (a 1-byte gap, a 2-byte gap that is not DD CC, a long header, a cut
// point) are refused, never dropped.
TEST(Refusals, BytesTheFormatCannotPlaceAreNeverDropped) {
    TempDir dir;
    const std::pair<const char*, std::function<void(Bytes&)>> cases[] = {
        // clang-format off
        {"gap", [](Bytes& b) { b.insert(b.begin() + 227, 0x11), b[96] += 1; }},
        {"gap", [](Bytes& b) { b.insert(b.begin() + 227, {0x12, 0x34}), b[96] += 2; }},
        {"header size", [](Bytes& b) { b.insert(b.begin() + 227, 4, 0), b[94] += 4, b[96] += 4; }},
        {"truncated", [](Bytes& b) { b.resize(b.size() - 3); }},
        // clang-format on
    };
    const LasBuilder base{.points = 1200};
    for (auto& [reason, mutate] : cases) {
        auto bytes = base.bytes();
        mutate(bytes);
        writeBytes(dir.file("bad.las"), bytes);
        CLASFile_C file(dir.file("bad.las").c_str());
        FilePtr out = openFile(dir.file("bad.lasc").c_str(), "wb");
        const std::string why = reasonOf([&] { CLASCompressor().CompressLASFile(out.get(), &file); });
        EXPECT_NE(why.find(reason), std::string::npos) << why;
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

// Progress by fields and the ratio after each of two chunks; reset at the end. The file round-trips.
TEST(Progress, FieldsAndRatioDuringCompression) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{2000001, 0, 3});
    CLASFile_C file(las.c_str());
    FilePtr out = openFile(dir.file("s.lasc").c_str(), "wb");
    CLASCompressor c;
    std::vector<std::pair<int, double>> seen; // progress and ratio as each chunk ends
    c.onChunk = [&](uint64_t, uint64_t) {
        seen.push_back({c.getProgressPosition(), c.getCompressionRatio()});
    };
    c.CompressLASFile(out.get(), &file);
    out.reset();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(std::pair(seen[0].first, seen[1].first), std::pair(50, 100));
    EXPECT_TRUE(seen[0].second > 5 && seen[0].second < 60) << seen[0].second;
    EXPECT_EQ(c.getProgressPosition(), 0);
    decompressFile(dir.file("s.lasc"), dir.file("back.las"));
    EXPECT_TRUE(readBytes(dir.file("back.las")) == readBytes(las));
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
// decodes straight into the file object, logging its first GPS times.
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
    EXPECT_NE(logOf([&] { dec.decompressPoints(src, 3000); }).find("GPS time: "), std::string::npos);
    EXPECT_EQ(src.position(), whole.size());
    ASSERT_EQ(file.Points().size(), 3000u);
    EXPECT_EQ(file.GetHeader()->NumberOfPointRecords, h.NumberOfPointRecords);
    unsigned char rec[34];
    for (size_t i = 0; i < 3000; i += 7) {
        file.Points()[i]->copyToBuffer(rec);
        ASSERT_EQ(0, std::memcmp(rec, records + i * 34, 34)) << i;
    }
}

} // namespace
