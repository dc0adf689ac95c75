// The point compressor: the format byte for byte (golden files of an independent implementation, and
// the documented examples), lossless round trips of every kind of file, and damaged input.
#include "CLASCompressor.h"
#include "LasBuilder.h"
#include "SyntheticScene.h"
#include "support/CodecFiles.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <random>
#include <sstream>

namespace {

using namespace pointcodec;

void expectRoundTrip(const std::string& las, const TempDir& dir) {
    std::string packed = dir.file("rt.lasc"), back = dir.file("rt.las");
    compressFile(las, packed);
    decompressFile(packed, back);
    EXPECT_TRUE(readBytes(back) == readBytes(las)) << las;
}

std::vector<unsigned char> block(const std::vector<unsigned char>& symbols) {
    std::vector<unsigned char> out;
    AC ac;
    ac.encodeBlock(symbols.data(), symbols.size(), out);
    return out;
}

void put32(std::vector<unsigned char>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i)
        v.push_back(uint8_t(x >> (8 * i)));
}

TEST(LevelCoding, DocumentedExampleByteForByte) {
    const int32_t v[] = {5, 0, -3, 300};
    std::vector<unsigned char> out;
    AC ac;
    levelEncode(ac, v, 4, out);
    std::vector<unsigned char> expected;
    put32(expected, 5);
    auto codes = block({0, 3, 4});
    expected.insert(expected.end(), codes.begin(), codes.end());
    put32(expected, 2);
    auto p0 = block({0x03, 0x2C});
    expected.insert(expected.end(), p0.begin(), p0.end());
    put32(expected, 1);
    auto p1 = block({0x01});
    expected.insert(expected.end(), p1.begin(), p1.end());
    EXPECT_EQ(out, expected);

    MemoryByteSource src(out.data(), out.size());
    int32_t back[4] = {};
    levelDecode(ac, src, back, 4);
    EXPECT_EQ(std::vector<int32_t>(back, back + 4), std::vector<int32_t>(v, v + 4));
    EXPECT_EQ(src.position(), out.size());
}

TEST(LevelCoding, ZeroResidualsOnePointAndIntMin) {
    AC ac;
    const int32_t zeros[] = {7, 0, 0, 0};
    std::vector<unsigned char> out;
    levelEncode(ac, zeros, 4, out);
    std::vector<unsigned char> expected;
    put32(expected, 7);
    auto z = block({0, 0, 0});
    expected.insert(expected.end(), z.begin(), z.end());
    EXPECT_EQ(out, expected); // no plane follows

    out.clear();
    const int32_t one[] = {-9};
    levelEncode(ac, one, 1, out);
    expected.clear();
    put32(expected, uint32_t(-9));
    auto empty = block({});
    expected.insert(expected.end(), empty.begin(), empty.end());
    EXPECT_EQ(out, expected);

    // -2^31 has magnitude 2^31: level code 9, plane bytes 00 00 00 80.
    out.clear();
    const int32_t edge[] = {0, INT32_MIN, INT32_MAX, -1};
    levelEncode(ac, edge, 4, out);
    expected.clear();
    put32(expected, 0);
    auto codes = block({9, 8, 3});
    expected.insert(expected.end(), codes.begin(), codes.end());
    const unsigned char planes[4][2] = {{0x00, 0xFF}, {0x00, 0xFF}, {0x00, 0xFF}, {0x80, 0x7F}};
    put32(expected, 3);
    auto p0 = block({planes[0][0], planes[0][1], 0x01});
    expected.insert(expected.end(), p0.begin(), p0.end());
    for (int p = 1; p < 4; ++p) {
        put32(expected, 2);
        auto bp = block({planes[p][0], planes[p][1]});
        expected.insert(expected.end(), bp.begin(), bp.end());
    }
    EXPECT_EQ(out, expected);
    MemoryByteSource src(out.data(), out.size());
    int32_t back[4];
    levelDecode(ac, src, back, 4);
    EXPECT_EQ(std::vector<int32_t>(back, back + 4), std::vector<int32_t>(edge, edge + 4));
}

TEST(LevelCoding, DamagedCodesAndCountsAreRefused) {
    AC ac;
    std::vector<unsigned char> out;
    put32(out, 1);
    auto codes = block({10, 2}); // a level code above 9 would shift by 32 or more
    out.insert(out.end(), codes.begin(), codes.end());
    MemoryByteSource src(out.data(), out.size());
    int32_t v[3];
    EXPECT_THROW(levelDecode(ac, src, v, 3), CLasException);

    out.clear();
    const int32_t good[] = {0, 300, 5};
    levelEncode(ac, good, 3, out);
    out[4 + 512 + 1 + 3 + 8] ^= 0x40; // somewhere in the first plane count or block
    bool threw = false;
    try {
        MemoryByteSource bad(out.data(), out.size());
        levelDecode(ac, bad, v, 3);
    } catch (const CLasException&) {
        threw = true;
    }
    EXPECT_TRUE(threw || std::vector<int32_t>(v, v + 3) != std::vector<int32_t>(good, good + 3));
}

TEST(Predictors, DocumentedExamples) {
    const int32_t steady[] = {0, 10, 20, 30, 0};
    EXPECT_EQ(PredictX(steady, 4), 40);
    const int32_t turn[] = {0, 10, 30, 35, 20, 0};
    EXPECT_EQ(PredictX(turn, 5), 43); // the mean step divides in double: 7.5 + 0.5, not 7 + 0.5
    EXPECT_EQ(PredictX(turn, 1), 0);
    EXPECT_EQ(PredictX(turn, 2), 10);

    // An X and Y step seen within the last 100 points brings its Z step along.
    const int32_t X[] = {0, 100, 150, 300, 400, 450, 600};
    const int32_t Y[] = {0, 7, 9, 30, 37, 40, 61};
    const int32_t Z[] = {0, 5, 200, 2000, -50, 0, 0};
    // Point 6 repeats the step of point 3 (dx 150, dy 21): Z(5) + (Z(3) - Z(2)).
    EXPECT_EQ(PredictZ(X, Y, Z, 6), 0 + (2000 - 200));
    // Y follows the first earlier X step within 4 units.
    EXPECT_EQ(PredictY(X, Y, 6), 40 + (30 - 9));
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
        size_t yWrong = 0, zWrong = 0, firstWrong = 0;
        for (size_t i = 1; i < n; ++i) {
            const bool y = yp.predictY(Y.data(), i) != PredictY(X.data(), Y.data(), i);
            const bool z = zp.predictZ(partialZ.data(), i) != PredictZ(X.data(), Y.data(), Z.data(), i);
            if ((y || z) && yWrong + zWrong == 0)
                firstWrong = i;
            yWrong += y;
            zWrong += z;
            partialZ[i] = Z[i];
        }
        EXPECT_EQ(yWrong + zWrong, 0u)
            << what << (vectors ? " (vector path)" : " (scalar path)") << ": " << yWrong << " Y and "
            << zWrong << " Z predictions differ, first at point " << firstWrong;
    }
}

TEST(Predictors, BlockPredictorEqualsThePointPredictors) {
    if (!BlockPredictor(nullptr, nullptr, 0).usesVectors())
        std::cout << "note: no AVX2 here, both paths of the block predictor are scalar" << std::endl;
    std::mt19937 rng(7);
    const size_t n = 3000;
    std::vector<int32_t> X(n), Y(n), Z(n);
    auto fill = [&](auto step) {
        int32_t x = 0, y = 0, z = 0;
        for (size_t i = 0; i < n; ++i) {
            step(i, x, y, z);
            X[i] = x, Y[i] = y, Z[i] = z;
        }
    };
    auto noise = [&](int k) { return int32_t(rng() % uint32_t(2 * k + 1)) - k; };
    // Scan lines: nearly equal steps, matches found at once.
    fill([&](size_t, int32_t& x, int32_t& y, int32_t& z) {
        x += 100 + noise(3), y += 7 + noise(3), z += noise(50);
    });
    expectSamePredictions(X, Y, Z, "scan lines");
    // A few step sizes in turn: matches at every distance, several in one vector of candidates, where
    // the nearest must win.
    fill([&](size_t i, int32_t& x, int32_t& y, int32_t& z) {
        x += int32_t(i % 13) * 9 + noise(4), y += int32_t(i % 5) * 9 + noise(4), z += noise(1000);
    });
    expectSamePredictions(X, Y, Z, "periodic steps");
    // Irregular steps: no match, the vote runs over all hundred points.
    fill([&](size_t, int32_t& x, int32_t& y, int32_t& z) {
        x += noise(5000), y += noise(5000), z += noise(300);
    });
    expectSamePredictions(X, Y, Z, "irregular steps");
    // Now and then a point repeated: its zero step has no match before it, where a scan reaching past
    // the block's start would find the zero delta of point 0.
    fill([&](size_t i, int32_t& x, int32_t& y, int32_t& z) {
        if (i % 40)
            x += 50 + int32_t(rng() % 5000), y += 50 + int32_t(rng() % 5000), z += noise(300);
    });
    expectSamePredictions(X, Y, Z, "irregular steps with repeated points");
    // Any 32-bit values: wrapped differences, ratios far outside the 32-bit range, truncation to -2^31.
    fill([&](size_t, int32_t& x, int32_t& y, int32_t& z) {
        x = int32_t(rng()), y = int32_t(rng()), z = int32_t(rng());
    });
    expectSamePredictions(X, Y, Z, "random 32-bit values");
    fill([&](size_t i, int32_t& x, int32_t& y, int32_t& z) {
        x = i % 3 ? INT32_MAX - int32_t(rng() % 3) : INT32_MIN + int32_t(rng() % 3), y = int32_t(rng() % 3) - 1;
        z = i % 2 ? INT32_MIN : INT32_MAX - int32_t(rng() % 7);
    });
    expectSamePredictions(X, Y, Z, "values at the 32-bit limits");
    // Repeated steps and points: zero second differences take the early exits.
    fill([&](size_t i, int32_t& x, int32_t& y, int32_t& z) {
        x += i % 50 < 25 ? 0 : 40, y += 3, z += noise(2);
    });
    expectSamePredictions(X, Y, Z, "repeated steps");
    // Blocks shorter than a vector, and than the hundred-point window.
    for (size_t m : {0, 1, 2, 3, 4, 9, 17, 101, 102, 103})
        expectSamePredictions({X.begin(), X.begin() + long(m)}, {Y.begin(), Y.begin() + long(m)},
                              {Z.begin(), Z.begin() + long(m)}, "block of " + std::to_string(m));

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

TEST(Predictors, WrapAroundAndOutOfRangeTruncation) {
    EXPECT_EQ(trunc32(3e9), INT32_MIN);
    EXPECT_EQ(trunc32(-3e9), INT32_MIN);
    EXPECT_EQ(trunc32(std::nan("")), INT32_MIN);
    EXPECT_EQ(trunc32(-2.5), -2);
    EXPECT_EQ(wabs(INT32_MIN), INT32_MIN);
    // Coordinates at the 32-bit limits: predictions wrap instead of overflowing.
    const int32_t X[] = {INT32_MAX - 20, INT32_MAX - 10, INT32_MAX, INT32_MIN + 9, INT32_MIN + 19, 0};
    EXPECT_EQ(PredictX(X, 5), int32_t(uint32_t(INT32_MIN + 19) + 10u));
}

TEST(Chunking, SizesAndFieldCounts) {
    EXPECT_TRUE(CLASCompressor::chunkSizes(999).empty());
    EXPECT_EQ(CLASCompressor::chunkSizes(1000), std::vector<uint32_t>{1000});
    EXPECT_EQ(CLASCompressor::chunkSizes(1500000), std::vector<uint32_t>{1500000});
    EXPECT_EQ(CLASCompressor::chunkSizes(2000000), std::vector<uint32_t>{2000000});
    EXPECT_EQ(CLASCompressor::chunkSizes(2000001), (std::vector<uint32_t>{1000000, 1000001}));
    EXPECT_EQ(CLASCompressor::chunkSizes(5000000), (std::vector<uint32_t>{1000000, 1000000, 1000000, 2000000}));
    EXPECT_EQ(CLASCompressor::totalFields(5000000, 3), 64);
    EXPECT_EQ(CLASCompressor::totalFields(5000000, 0), 48);
    EXPECT_EQ(CLASCompressor::totalFields(500, 1), 0);
}

TEST(Golden, CompressedFilesMatchByteForByte) {
    const std::string golden = std::string(PONTARO_DATA_DIR) + "/golden";
    auto samples = manifestSamples("las");
    if (samples.empty() || !std::filesystem::exists(golden))
        GTEST_SKIP() << "no golden files at " << golden;
    std::vector<std::pair<std::string, std::string>> pairs;
    for (auto& s : samples)
        if (std::filesystem::exists(golden + "/" + s.name.substr(0, s.name.size() - 4) + ".lasc"))
            pairs.push_back({s.path, golden + "/" + s.name.substr(0, s.name.size() - 4) + ".lasc"});
    for (auto& s : manifestSamples("las-large"))
        pairs.push_back({s.path, golden + "/" + s.name.substr(0, s.name.size() - 4) + ".lasc"});
    for (const char* synthetic : {"block-at-read-boundary", "wraparound-intmin"})
        pairs.push_back({golden + "/" + synthetic + ".las", golden + "/" + synthetic + ".lasc"});
    ASSERT_GE(pairs.size(), 10u);
    TempDir dir;
    // The arithmetic coder's portable loops as well as those the processor may run faster.
    for (bool portable : {false, true}) {
        AC::usePortableCode(portable);
        for (auto& [las, lasc] : pairs) {
            SCOPED_TRACE(las + (portable ? " (portable coder)" : ""));
            std::string packed = dir.file("out.lasc"), back = dir.file("out.las");
            compressFile(las, packed);
            EXPECT_TRUE(readBytes(packed) == readBytes(lasc)) << "compressed bytes differ from " << lasc;
            decompressFile(lasc, back);
            EXPECT_TRUE(readBytes(back) == readBytes(las)) << "decompressed bytes differ";
        }
    }
    AC::usePortableCode(false);
}

TEST(RoundTrip, SyntheticFilesAroundTheChunkLimits) {
    TempDir dir;
    struct Case {
        uint64_t points;
        int format;
    } cases[] = {{1, 3},    {2, 1},    {999, 0},     {999, 1},     {999, 2},     {999, 3},     {1000, 0},
                 {1000, 1}, {1000, 2}, {1000, 3},    {4321, 3},    {1000001, 1}, {1000001, 3}, {2000001, 0},
                 {2000001, 2}};
    for (auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.points) + " points, format " + std::to_string(c.format));
        std::string las = dir.file("s.las");
        writeSyntheticLAS(las, SynthOptions{c.points, c.format, 5});
        expectRoundTrip(las, dir);
        auto packed = readBytes(dir.file("rt.lasc"));
        EXPECT_EQ(packed[0], c.points <= 999 ? 'O' : 'L');
    }
}

TEST(RoundTrip, ParallelFieldCodingWritesTheSameBytes) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{30000, 3, 8});
    compressFile(las, dir.file("one.lasc"), 1);
    compressFile(las, dir.file("four.lasc"), 4);
    EXPECT_TRUE(readBytes(dir.file("one.lasc")) == readBytes(dir.file("four.lasc")));
}

TEST(RoundTrip, HeaderGapsExtraBytesAndTrailingData) {
    TempDir dir;
    struct Case {
        const char* name;
        LasBuilder b;
        std::vector<unsigned char> gapBytes; // replaces the builder's gap pattern
        int trailing = 0;
    };
    std::vector<Case> cases;
    LasBuilder b;
    b.points = 1500;
    b.format = 1;
    cases.push_back({"records", b, {}});
    b.vlrLengths = {};
    b.gap = 2;
    cases.push_back({"LAS 1.0 start signature", b, {0xDD, 0xCC}});
    b.gap = 10;
    cases.push_back({"10-byte gap as a pseudo-record", b, {}});
    b.points = 300;
    cases.push_back({"raw points and a pseudo-record", b, {}});
    b.gap = 0;
    b.points = 1200;
    b.extraPerPoint = 8;
    cases.push_back({"extra bytes", b, {}});
    b.points = 50;
    cases.push_back({"extra bytes, raw", b, {}});
    b.extraPerPoint = 0;
    b.points = 1100;
    cases.push_back({"trailing bytes", b, {}, 77});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = c.b.bytes();
        if (!c.gapBytes.empty())
            std::copy(c.gapBytes.begin(), c.gapBytes.end(), bytes.begin() + 227);
        for (int t = 0; t < c.trailing; ++t)
            bytes.push_back(uint8_t(t * 3));
        std::string las = dir.file("in.las");
        writeBytes(las, bytes);
        expectRoundTrip(las, dir);
    }
    // The pseudo-record of a file with raw points keeps both markers.
    LasBuilder raw;
    raw.points = 20;
    raw.gap = 12;
    writeBytes(dir.file("u.las"), raw.bytes());
    compressFile(dir.file("u.las"), dir.file("u.lasc"));
    EXPECT_EQ(readBytes(dir.file("u.lasc"))[0], 'U');
}

TEST(RoundTrip, EveryRealSample) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR;
    TempDir dir;
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        expectRoundTrip(s.path, dir); // MixedConifer.las carries 8 extra bytes per record
    }
}

TEST(Refusals, BytesTheFormatCannotPlaceAreNeverDropped) {
    TempDir dir;
    struct Case {
        const char* name;
        std::function<void(std::vector<unsigned char>&)> mutate;
        const char* reason;
    } cases[] = {
        {"one-byte gap", [](auto& b) { b.insert(b.begin() + 227, 0x11), b[96] += 1; }, "gap"},
        {"two-byte gap that is not DD CC", [](auto& b) { b.insert(b.begin() + 227, {0x12, 0x34}), b[96] += 2; },
         "gap"},
        {"long header", [](auto& b) { b.insert(b.begin() + 227, 4, 0), b[94] += 4, b[96] += 4; }, "header size"},
        {"truncated points", [](auto& b) { b.resize(b.size() - 3); }, "truncated"},
    };
    LasBuilder base;
    base.points = 1200;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = base.bytes();
        c.mutate(bytes);
        std::string las = dir.file("bad.las");
        writeBytes(las, bytes);
        CLASFile_C file(las.c_str());
        FilePtr out = openFile(dir.file("bad.lasc").c_str(), "wb");
        CLASCompressor comp;
        try {
            comp.CompressLASFile(out.get(), &file);
            ADD_FAILURE() << "compressed a file it cannot restore";
        } catch (const CLasException& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }
}

// Damaged compressed files end in CLasException: never a crash, a hang or a read outside a buffer.
TEST(Corruption, TruncatedAndFlippedCompressedFiles) {
    TempDir dir;
    std::string las = dir.file("s.las"), packed = dir.file("s.lasc");
    writeSyntheticLAS(las, SynthOptions{2500, 3, 2});
    compressFile(las, packed);
    const auto good = readBytes(packed);
    const auto original = readBytes(las);
    std::string cut = dir.file("cut.lasc"), back = dir.file("back.las");
    for (size_t n = 0; n < good.size(); n += (n < 1200 ? 13 : 211)) {
        SCOPED_TRACE(n);
        writeBytes(cut, good, n);
        EXPECT_THROW(decompressFile(cut, back), CLasException);
    }
    std::mt19937 rng(17);
    int detected = 0;
    for (int iter = 0; iter < 120; ++iter) {
        auto bad = good;
        bad[232 + rng() % (bad.size() - 232)] ^= uint8_t(1 + rng() % 255);
        writeBytes(cut, bad);
        try {
            decompressFile(cut, back);
            detected += readBytes(back) != original;
        } catch (const CLasException&) {
            ++detected;
        }
    }
    EXPECT_GT(detected, 100);
    // A header that asks for far more than the file holds is refused before anything is allocated.
    auto huge = good;
    huge[108] = huge[109] = huge[110] = huge[111] = 0xFF;
    writeBytes(cut, huge);
    EXPECT_THROW(decompressFile(cut, back), CLasException);
    // No records but a gap of 3 GB before the points: refused, not written out as zeros.
    auto gap = good;
    const uint32_t offset = 0xBC7804B7;
    for (int i = 0; i < 4; ++i) {
        gap[96 + i] = uint8_t(offset >> (8 * i));
        gap[100 + i] = 0;
    }
    writeBytes(cut, gap);
    try {
        decompressFile(cut, back);
        ADD_FAILURE() << "a gap without a record area was accepted";
    } catch (const CLasException& e) {
        EXPECT_NE(std::string(e.what()).find("bytes before the point data but no record area"), std::string::npos)
            << e.what();
    }
}

TEST(Progress, FieldsAndRatioDuringCompression) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{2000001, 0, 3});
    CLASFile_C file(las.c_str());
    FilePtr out = openFile(dir.file("s.lasc").c_str(), "wb");
    CLASCompressor c;
    EXPECT_EQ(c.getProgressPosition(), 0);
    std::vector<int> seen;
    std::vector<double> ratios;
    c.onChunk = [&](uint64_t, uint64_t) {
        seen.push_back(c.getProgressPosition());
        ratios.push_back(c.getCompressionRatio());
    };
    c.CompressLASFile(out.get(), &file);
    EXPECT_EQ(seen, (std::vector<int>{50, 100}));
    ASSERT_EQ(ratios.size(), 2u);
    EXPECT_GT(ratios[0], 5.0);
    EXPECT_LT(ratios[0], 60.0);
    EXPECT_EQ(c.getProgressPosition(), 0); // reset at the end of the operation
}

TEST(StreamDecoding, OneBlockIntoTheFileObject) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{3000, 3, 4});
    auto bytes = readBytes(las);
    LASHeader h;
    h.copyFromBuffer(bytes.data());
    Columns cols;
    cols.fromRecords(bytes.data() + h.OffsetToPointData, 3000, 3, 34);
    std::vector<unsigned char> coded;
    CLASCompressor enc;
    enc.compressBlock(cols, coded);

    CLASFile_C file;
    file.SetHeader(new LASHeader_C(h));
    CLASCompressor dec;
    dec.SetLasFile(&file);
    MemoryByteSource src(coded.data(), coded.size());
    StdoutCapture quiet;
    dec.decompressPoints(src, 3000);
    EXPECT_EQ(src.position(), coded.size());
    ASSERT_EQ(file.Points().size(), 3000u);
    EXPECT_EQ(file.GetHeader()->NumberOfPointRecords, h.NumberOfPointRecords);
    unsigned char rec[34];
    for (size_t i = 0; i < 3000; i += 7) {
        file.Points()[i]->copyToBuffer(rec);
        ASSERT_EQ(0, std::memcmp(rec, bytes.data() + h.OffsetToPointData + i * 34, 34)) << i;
    }
    EXPECT_NE(quiet.take().find("GPS time: "), std::string::npos);
}

} // namespace

namespace {

// Points that repeat exactly code to almost nothing; the decoder must not take that for truncation.
TEST(RoundTrip, IdenticalPointsCompressToAlmostNothing) {
    TempDir dir;
    LasBuilder b;
    b.format = 3;
    b.points = 1100000;
    std::vector<unsigned char> bytes(227);
    b.header().copyToBuffer(bytes.data());
    std::vector<unsigned char> rec(34, 0);
    rec[0] = 42, rec[14] = 0x09, rec[15] = 2;
    for (uint32_t i = 0; i < b.points; ++i)
        bytes.insert(bytes.end(), rec.begin(), rec.end());
    std::string las = dir.file("same.las");
    writeBytes(las, bytes);
    expectRoundTrip(las, dir);
    EXPECT_LT(readBytes(dir.file("rt.lasc")).size(), 20000u);
}

} // namespace

namespace {

// The single-field coders write exactly the bytes that field takes inside a whole block.
TEST(FieldCoders, EachFieldAloneMatchesItsPlaceInTheBlock) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{1500, 3, 6});
    auto bytes = readBytes(las);
    LASHeader h;
    h.copyFromBuffer(bytes.data());
    CLASCompressor c;
    c.block().fromRecords(bytes.data() + h.OffsetToPointData, 1500, 3, 34);
    std::vector<unsigned char> whole, parts;
    c.compressBlock(c.block(), whole);
    using Coder = void (CLASCompressor::*)(std::vector<unsigned char>&);
    const Coder coders[] = {&CLASCompressor::CompressUserData, &CLASCompressor::CompressScanFlag,
                            &CLASCompressor::CompressScanAngle, &CLASCompressor::CompressReturnNo,
                            &CLASCompressor::CompressSorceID, &CLASCompressor::CompressReturnPulse,
                            &CLASCompressor::CompressEdge, &CLASCompressor::CompressClass,
                            &CLASCompressor::CompressX, &CLASCompressor::CompressY,
                            &CLASCompressor::CompressZ, &CLASCompressor::CompressIntensity,
                            &CLASCompressor::CompressGPSTime, &CLASCompressor::CompressRed,
                            &CLASCompressor::CompressGreen, &CLASCompressor::CompressBlue};
    for (Coder coder : coders)
        (c.*coder)(parts);
    EXPECT_TRUE(parts == whole);
}

} // namespace
