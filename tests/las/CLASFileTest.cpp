// Both file objects (the viewer's and the compressor's, with its 232-byte header): the quirks real files
// have, every reader of their points, writing without losing anything, every real sample, and hostile,
// damaged and truncated files failing cleanly (run under AddressSanitizer).
#include "CLASFile.h"
#include "CLASFile_C.h"
#include "CLASReader.h"
#include "LasTestUtil.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Every format with records, extra bytes after each point, a gap (the LAS 1.0 start signature position)
// and a long header: Load reads it, every reader and attribute array of both file objects sees the same
// points (progress counting every second record from 200 on), WriteFile reproduces the bytes.
TEST(CLASFile, EveryQuirkEveryReaderAndAByteExactRewrite) {
    TempDir dir;
    for (int format = 0; format < 4; ++format)
        for (LasBuilder b :
             {LasBuilder{}, {.extraPerPoint = 8}, {.gap = 2, .versionMinor = 0}, {.headerExtra = 6}}) {
            b.format = format, b.points = 300, b.vlrLengths = {16, 0, 40};
            SCOPED_TRACE(testing::Message() << format << " extra " << b.extraPerPoint << " gap " << b.gap);
            const auto p = place(dir, b);
            const int length = b.recordLength(), extra = b.extraPerPoint;
            CLASFile las, opened;
            bool loaded = false;
            EXPECT_EQ(logOf([&] { loaded = las.ReadFile(p.in.c_str()); }),
                      extra ? "ReadError: Wrong point" + std::to_string(format) + " data record length" : "");
            ASSERT_TRUE(loaded && las.points.size() == b.points && las.records.size() == 3);
            EXPECT_EQ(std::tuple(las.records[2].Data.size(), las.records[2].RecordID, las.extraBytesPerPoint),
                      std::tuple(40u, 1002, extra));
            las.WriteFile(p.out.c_str());
            EXPECT_EQ(readBytes(p.out), p.bytes);

            CLASFile_C c; // the compressor's file object, with its progress counts
            unsigned int progress = 0;
            c.ReadFile(p.in.c_str(), &progress);
            EXPECT_EQ(progress, 100u);
            ASSERT_EQ(c.Points().size(), b.points);
            EXPECT_EQ(c.GetPoint(b.points), nullptr);
            ASSERT_TRUE(opened.OpenFile(p.in.c_str()));
            EXPECT_NE(logOf([&] { EXPECT_EQ(opened.GetPoint(b.points), nullptr); }), "");
            for (auto [start, count] : {std::pair<uint64_t, uint64_t>{250, 60}, {301, 1}, {UINT64_MAX, 2}})
                EXPECT_THROW(opened.GetPoints(start, count), CLasException) << start;
            LASPoint **all = opened.GetPoints(0, b.points), **mid = opened.GetPoints(100, 50);
            Bytes raw(size_t(b.points) * length), raw2(raw.size());
            CLASReader::ReadPoints(p.in.c_str(), raw.data(), b.offsetToPoints(), length, b.points, length);
            CLASReader::ReadNumPoints(p.in.c_str(), raw2.data(), b.offsetToPoints(), length, b.points,
                                      length);
            EXPECT_EQ(raw, raw2);
            for (uint32_t i = 0; i < b.points; ++i) {
                const Bytes r = p.record(i);
                std::unique_ptr<LASPoint> one(opened.GetPoint(i));
                std::unique_ptr<LASPoint_C> cOne(c.GetPoint(i));
                ASSERT_TRUE(one && cOne) << i;
                for (const Bytes& got : {packed(las.points[i].get()), packed(one.get()), packed(all[i]),
                                         packed(c.Points()[i].get()), packed(cOne.get()),
                                         Bytes(raw.begin() + i * length, raw.begin() + i * length + r.size()),
                                         i >= 100 && i < 150 ? packed(mid[i - 100]) : r})
                    ASSERT_EQ(got, r) << i;
            }
            CLASFile::FreePointArray(all), CLASFile::FreePointArray(mid);
            LASPoint_C** pts = c.GetPoints(10, 240, nullptr);
            for (uint32_t i = 0; i < 240; ++i)
                EXPECT_EQ(packed(pts[i]), p.record(10 + i)) << i;
            CLASFile_C::FreePoints(pts, 240);
            EXPECT_EQ(c.GetPoints(0, 0, nullptr), nullptr);
            EXPECT_REASON(c.GetPoints(1, b.points, nullptr), "ReadError::LAS Points");
            EXPECT_REASON(c.GetPoints(uint64_t(1) << 62, uint64_t(1) << 62, nullptr),
                          "ReadError::LAS Points");

            // Attribute arrays: the compressor's hold the stored values, the file object's scaled
            // coordinates, colour over 65535 and return numbers only.
            std::unique_ptr<float[]> xyz(c.GetCoordinate(nullptr)), colours(c.GetColor(nullptr)),
                scaled(opened.GetCoordinate()), rgb(opened.GetColor());
            std::unique_ptr<uint16_t[]> intensity(c.GetIntensity(nullptr)), inten(opened.GetIntensity());
            std::unique_ptr<uint8_t[]> returns(c.GetReturns(nullptr)), classes(c.GetClassification(nullptr)),
                ret(opened.GetReturns()), cls(opened.GetClassification());
            std::unique_ptr<int8_t[]> angles(c.GetAngle(nullptr)), ang(opened.GetAngle());
            std::unique_ptr<int64_t[]> times(c.GetGPSTime(nullptr));
            ASSERT_TRUE(scaled && rgb && inten && ret && cls && ang);
            const bool hasTime = las_detail::formatHasGPSTime(format),
                       hasColour = las_detail::formatHasColor(format);
            auto at = [](const std::unique_ptr<float[]>& a, uint32_t i) {
                return std::array{a[3 * i], a[3 * i + 1], a[3 * i + 2]};
            };
            for (uint32_t i = 0; i < b.points; ++i) {
                const auto f = LasBuilder::pointFields(i);
                const std::array<float, 3> world = {float(f.X * 0.01 + 640000), float(f.Y * 0.01 + 5270000),
                                                    float(f.Z * 0.01 + 100)};
                std::array<float, 3> colour{};
                if (hasColour)
                    colour = {f.red / 65535.0f, f.green / 65535.0f, f.blue / 65535.0f};
                EXPECT_EQ(at(xyz, i), (std::array{float(f.X), float(f.Y), float(f.Z)}));
                EXPECT_EQ(at(scaled, i), world);
                EXPECT_EQ(las.TransformCoord(las.points[i].get()), world);
                EXPECT_EQ(std::tuple(intensity[i], returns[i], classes[i], angles[i]),
                          std::tuple(f.intensity, f.returnByte, f.classification, f.scanAngleRank));
                EXPECT_EQ(
                    std::tuple(inten[i], ret[i], cls[i], ang[i]),
                    std::tuple(f.intensity, uint8_t(f.returnByte & 7), f.classification, f.scanAngleRank));
                EXPECT_EQ(times[i], hasTime ? int64_t(f.gpsTimeBits) : 0);
                EXPECT_EQ(std::pair(at(colours, i), at(rgb, i)), std::pair(colour, colour)) << hasColour;
            }
        }
}

// The reader's stride leaves the bytes between records alone; reads past the end, or of no file, fail
// with their reasons.
TEST(CLASReader, StrideAndShortReads) {
    TempDir dir;
    const auto p = place(dir, {.points = 250});
    const char* in = p.in.c_str();
    const uint64_t at = p.b.offsetToPoints();
    CLASFile las;
    ASSERT_TRUE(las.OpenFile(in));
    Bytes buf(250 * 32, 0xEE);
    CLASReader::ReadPoints(in, buf.data(), at, 28, 5, 32);
    for (int i = 0; i < 5; ++i) {
        Bytes r = p.record(i);
        r.resize(32, 0xEE);
        EXPECT_EQ(Bytes(buf.begin() + i * 32, buf.begin() + i * 32 + 32), r) << i;
    }
    unsigned char one[28];
    CLASReader::ReadPoint(in, one, at + 28, 28);
    EXPECT_EQ(Bytes(one, one + 28), p.record(1));
    EXPECT_REASON(CLASReader::ReadPoints(in, buf.data(), at, 28, 251, 28), "ReadError::LAS Points");
    EXPECT_REASON(CLASReader::ReadNumPoints(in, buf.data(), at, 28, 251, 28), "ReadError::LAS Points");
    EXPECT_REASON(CLASReader::ReadPoint(in, one, at + 250 * 28 - 10, 28), "ReadError::LAS Point");
    EXPECT_REASON(CLASReader::ReadPoints(dir.file("no.las").c_str(), buf.data(), 0, 20, 1, 20),
                  "ReadError::File could not be open.");
    CLASFile none;
    EXPECT_EQ(logOf([&] { EXPECT_FALSE(none.Load()); }), "Error: Can't Open File");
    EXPECT_TRUE(!none.GetPoint(0) && !none.ReadVLR() && !none.GetCoordinate() && !none.GetPoints(0, 0));
    EXPECT_REASON(none.GetPoints(0, 1), "ReadError::File could not be open.");
    EXPECT_FALSE(none.ReadFile(nullptr));
    EXPECT_EQ(logOf([&] { EXPECT_FALSE(none.ReadFile("/nonexistent/file.las")); }), "Error: Can't Open File");
}

// A record whose length runs into the point data does not move the points; written out, the points
// follow the whole record. The writer recomputes counts, offsets and lengths instead of trusting stale
// header values.
TEST(CLASFile, WriteFileRecomputesTheLayout) {
    TempDir dir;
    auto p = place(dir, {.points = 20, .vlrLengths = {10}});
    las_detail::storeLE<uint16_t>(p.bytes.data() + 227 + 20, 10 + 56); // claims two points' bytes too
    writeBytes(p.in, p.bytes);
    CLASFile las, back;
    ASSERT_TRUE(las.ReadFile(p.in.c_str()));
    EXPECT_EQ(std::tuple(las.records[0].Data.size(), las.pointDataPadding.size()), std::tuple(66u, 0u));
    las.WriteFile(p.out.c_str());
    ASSERT_TRUE(back.ReadFile(p.out.c_str()));
    EXPECT_EQ(back.OffsetToPointData, 227u + 54 + 66);
    for (CLASFile* f : {&las, &back}) {
        ASSERT_EQ(f->points.size(), 20u);
        for (uint32_t i = 0; i < 20; ++i)
            ASSERT_EQ(packed(f->points[i].get()), p.record(i));
    }

    p = place(dir, {.format = 3, .points = 40, .vlrLengths = {12, 30}});
    ASSERT_TRUE(las.ReadFile(p.in.c_str()));
    las.records.erase(las.records.begin()), las.records[0].Data.resize(100, 7), las.points.resize(25);
    las.NumberOfVariableLengthRecords = 9, las.OffsetToPointData = 12345, las.HeaderSize = 1;
    las.PointDataRecordLength = 99, las.NumberOfPointRecords = 77;
    las.WriteFile(p.out.c_str());
    EXPECT_EQ(std::tuple(las.NumberOfVariableLengthRecords, las.OffsetToPointData, las.HeaderSize,
                         las.PointDataRecordLength, las.NumberOfPointRecords),
              std::tuple(1u, 227u + 54 + 100, 227, 34, 25u));
    EXPECT_EQ(readBytes(p.out).size(), 227u + 154 + 25 * 34);
    bool ok = false;
    EXPECT_EQ(logOf([&] { ok = back.ReadFile(p.out.c_str()); }), "");
    ASSERT_TRUE(ok && back.records.size() == 1 && back.points.size() == 25);
    EXPECT_EQ(std::tuple(back.records[0].RecordLenAfterHeader, back.records[0].Data[99]), std::tuple(100, 7));
    EXPECT_EQ(packed(back.points[24].get()), p.record(24));
}

// Points never loaded, or released, are copied from the source; saving over the open source keeps
// every point; a write that fails midway (the file size limit stands in for a full disk) leaves the
// destination as it was and no temporary file behind.
TEST(CLASFile, WritesLoseNothing) {
    TempDir dir;
    auto p = place(dir, {.points = 3000, .extraPerPoint = 8, .vlrLengths = {20}});
    LasLogTo quiet(nullptr);
    CLASFile opened, partial, nothing, las;
    ASSERT_TRUE(opened.OpenFile(p.in.c_str())); // header only: every point comes from the source
    LASVarLenRecord* vlr = opened.ReadVLR();
    ASSERT_NE(vlr, nullptr);
    opened.records.assign(1, vlr[0]);
    delete[] vlr;
    opened.WriteFile(p.out.c_str());
    EXPECT_EQ(readBytes(p.out), p.bytes);

    ASSERT_TRUE(partial.ReadFile(p.in.c_str())); // some slots released, one changed
    for (size_t i = 0; i < partial.points.size(); i += 3)
        partial.points[i].reset();
    partial.points[1]->SetIntensity(4242);
    partial.WriteFile(p.out.c_str());
    auto written = readBytes(p.out);
    const size_t intensity1 = p.b.offsetToPoints() + p.b.recordLength() + 12;
    EXPECT_EQ(las_detail::loadLE<uint16_t>(written.data() + intensity1), 4242);
    written[intensity1] = p.bytes[intensity1], written[intensity1 + 1] = p.bytes[intensity1 + 1];
    EXPECT_EQ(written, p.bytes);

    nothing.copyFromBuffer(p.bytes.data()); // no points and no source: refused, nothing written
    EXPECT_THROW(nothing.WriteFile(dir.file("none.las").c_str()), CLasException);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.las")));
    ASSERT_TRUE(opened.OpenFile(p.in.c_str()));
    opened.Save(); // streams the points from the file it replaces
    EXPECT_EQ(std::pair(readBytes(p.in), dir.entryCount()), std::pair(p.bytes, size_t(2)));

    p = place(dir, {.points = 20000});
    const Bytes old(1000, 0x42);
    writeBytes(p.out, old);
    ASSERT_TRUE(las.ReadFile(p.in.c_str()));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved, small;
    getrlimit(RLIMIT_FSIZE, &saved);
    small = saved, small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string why = reasonOf([&] { las.WriteFile(p.out.c_str()); });
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_PRED2(startsWith, why, "WriteError");
    EXPECT_EQ(std::pair(readBytes(p.out), dir.entryCount()), std::pair(old, size_t(2)));
    EXPECT_EQ(std::tuple(las.OffsetToPointData, las.NumberOfPointRecords),
              std::tuple(p.b.offsetToPoints(), p.b.points));
    EXPECT_THROW(las.WriteFile(dir.file("no/such/dir/x.las").c_str()), CLasException);
}

// Points beyond 4 GiB: a sparse file whose last records lie past the 32-bit range.
TEST(CLASFile, PositionsBeyondFourGibibytes) {
    TempDir dir;
    const LasBuilder b{.format = 0, .points = 250000000}; // 5 GB of format-0 records
    const std::string path = dir.file("huge.las");
    const uint64_t last = b.points - 1, at = b.offsetToPoints() + last * 20;
    ASSERT_GT(at, uint64_t(1) << 32);
    Bytes rec(20), raw(20);
    LasBuilder::pointFields(7).pack<0>(rec.data());
    {
        FilePtr f = openFile(path.c_str(), "wb");
        ASSERT_TRUE(b.header().Write(f.get()));
        if (fseeko(f.get(), off_t(at), SEEK_SET) != 0 || std::fwrite(rec.data(), 1, 20, f.get()) != 20)
            GTEST_SKIP() << "the temporary file system does not take a sparse 5 GB file";
    }
    CLASFile las;
    ASSERT_TRUE(las.OpenFile(path.c_str()));
    std::unique_ptr<LASPoint> p(las.GetPoint(last));
    ASSERT_TRUE(p && packed(p.get()) == rec);
    LASPoint** tail = las.GetPoints(last - 1, 2);
    EXPECT_EQ(std::tuple(packed(tail[1]), tail[0]->GetX()), std::tuple(rec, 0)); // a hole reads as zeros
    CLASFile::FreePointArray(tail);
    CLASReader::ReadPoint(path.c_str(), raw.data(), at, 20);
    EXPECT_EQ(raw, rec);
}

// Every real sample: counts and bounds as its MANIFEST states, the same points through every reader,
// and a byte-identical rewrite by both file objects.
TEST(RealSamples, ReadMatchesManifestEveryReaderAgreesAndRewritesIdentically) {
    auto samples = manifestSamples("las"), large = manifestSamples("las-large");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR << "/las (set PONTARO_DATA_DIR)";
    samples.insert(samples.end(), large.begin(), large.end());
    TempDir dir;
    const std::string out = dir.file("out.las");
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        const auto bytes = readBytes(s.path);
        const int size = las_detail::formatSize(s.format);
        CLASFile las;
        ASSERT_TRUE(las.ReadFile(s.path.c_str()));
        EXPECT_EQ(std::to_string(las.VersionMajor) + "." + std::to_string(las.VersionMinor), s.version);
        EXPECT_EQ(std::tuple(las.PointDataFormatID, las.PointDataRecordLength, las.NumberOfPointRecords),
                  std::tuple(s.format, s.recordLength, s.points));
        ASSERT_EQ(las.points.size(), s.points);

        // Bounds of the points, to half a scale unit of the MANIFEST's (rounded) figures.
        const double scale[3] = {las.ScaleFactor_X, las.ScaleFactor_Y, las.ScaleFactor_Z},
                     offset[3] = {las.OffsetX, las.OffsetY, las.OffsetZ};
        double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
        uint64_t byReturn[6] = {};
        for (auto& p : las.points) {
            const int64_t raw[3] = {p->GetX(), p->GetY(), p->GetZ()};
            for (int a = 0; a < 3; ++a)
                lo[a] = std::min(lo[a], raw[a] * scale[a] + offset[a]),
                hi[a] = std::max(hi[a], raw[a] * scale[a] + offset[a]);
            ++byReturn[std::min(p->GetReturnNumber(), uint8_t(6)) % 6];
        }
        for (int a = 0; a < 3; ++a) {
            const double tol = std::max(scale[a], 0.001) / 2 + 1e-9;
            EXPECT_NEAR(lo[a], s.min[a], tol) << "axis " << a;
            EXPECT_NEAR(hi[a], s.max[a], tol) << "axis " << a;
        }
        for (int r = 1; r <= 5; ++r)
            EXPECT_EQ(byReturn[r], las.NumberOfPointsByReturn[r - 1]) << "return " << r;

        // Bulk, single and raw reads (stepped by the header's record length, not the format's size).
        const uint64_t n = s.points, stride = s.recordLength + 6;
        LASPoint** bulk = las.GetPoints(0, n);
        Bytes raw(n * stride);
        CLASReader::ReadPoints(s.path.c_str(), raw.data(), las.OffsetToPointData, s.recordLength, n, stride);
        for (uint64_t i = 0; i < n; ++i) {
            std::unique_ptr<LASPoint> one(las.GetPoint(i));
            const Bytes a = one ? packed(one.get()) : Bytes();
            ASSERT_TRUE(a == packed(bulk[i]) && a == packed(las.points[i].get())) << i;
            ASSERT_EQ(0, std::memcmp(a.data(), raw.data() + i * stride, size)) << i;
        }
        CLASFile::FreePointArray(bulk);
        las.WriteFile(out.c_str());
        EXPECT_TRUE(readBytes(out) == bytes) << "rewrite differs";

        CLASFile_C c(s.path.c_str()), g(s.path.c_str()); // the compressor's: points, then raw records
        c.ReadFile(s.path.c_str(), nullptr);
        ASSERT_EQ(c.Points().size(), s.points);
        if (s.recordLength == size) {
            c.WriteFile(out.c_str(), nullptr);
            EXPECT_TRUE(readBytes(out) == bytes);
        }
        g.ReadVRL(), g.SetPath(out.c_str()), g.WriteHeader(), g.WriteVRL();
        g.WriteRecords(bytes.data() + g.GetHeader()->OffsetToPointData, s.points, nullptr);
        g.CloseFile();
        EXPECT_TRUE(readBytes(out) == bytes);
    }
}

using las_detail::loadLE;
using las_detail::storeLE;

// The 232-byte form keeps the 227 bytes in place around its two pads: read as don't-care, written as 0.
TEST(LASHeader_C, ConvertsBetweenTheTwoFormsByteExact) {
    std::mt19937 rng(7);
    Bytes in(LASHeader::BlockSize), aligned(LASHeader_C::BlockSize, 0xEE), back(aligned.size()), out(227),
        twice(227);
    for (auto& c : in)
        c = uint8_t(rng() % 255 + 1); // never zero, so a byte left unset shows
    LASHeader_C h, again;
    h.copyFromLASBuffer(in.data());
    h.copyToBuffer(aligned.data());
    Bytes expected = in; // 0-104, pad at 105, record length and counts, pad at 132-135, the doubles
    expected.insert(expected.begin() + 131, 4, 0);
    expected.insert(expected.begin() + 105, 0);
    ASSERT_EQ(aligned, expected);
    aligned[105] = 0x77, aligned[133] = 0x66; // junk in unused bytes is ignored and written back as zero
    again.copyFromBuffer(aligned.data()), again.copyToBuffer(back.data()), again.copyToLASBuffer(out.data());
    LASHeader_C(again.toLASHeader()).copyToLASBuffer(twice.data());
    EXPECT_EQ(std::tuple(back, out, twice), std::tuple(expected, in, in));
}

TEST(CLASFile_C, RecordAreaRules) {
    TempDir dir;
    LasBuilder b{.gap = 2, .versionMinor = 0};
    auto p = place(dir, b);
    { // A 2-byte gap holds no area and is written as the start signature DD CC.
        CLASFile_C f;
        f.ReadFile(p.in.c_str(), nullptr);
        EXPECT_TRUE(f.RecordArea().empty());
        EXPECT_EQ(f.GetHeader()->FileSignature[0], 'L');
        f.WriteFile(p.out.c_str(), nullptr);
        const size_t at = b.offsetToPoints() - 2;
        ASSERT_NE(p.bytes[at], 0xDD);
        p.bytes[at] = 0xDD, p.bytes[at + 1] = 0xCC;
        EXPECT_EQ(readBytes(p.out), p.bytes);
    }
    { // A 10-byte gap is one pseudo-record in memory, written back unchanged with a count of 0.
        b.gap = 10, b.versionMinor = 2;
        p = place(dir, b);
        CLASFile_C f;
        f.ReadFile(p.in.c_str(), nullptr);
        LASHeader_C* h = f.GetHeader();
        EXPECT_EQ(std::tuple(h->FileSignature[0], h->NumberOfVariableLengthRecords), std::tuple('V', 1u));
        EXPECT_EQ(f.RecordArea(), Bytes(p.bytes.begin() + 227, p.bytes.begin() + 237));
        EXPECT_EQ(f.RecordPositions(), std::vector<uint32_t>{0});
        for (int write = 0; write < 2; ++write) { // a second write still knows the record is the gap
            f.WriteFile(p.out.c_str(), nullptr);
            EXPECT_EQ(readBytes(p.out), p.bytes) << write;
            EXPECT_EQ(std::tuple(h->FileSignature[0], h->NumberOfVariableLengthRecords), std::tuple('L', 1u));
        }
        f.SetHeader(new LASHeader_C(*h)); // a header handed over afresh is taken as it stands
        f.WriteFile(p.out.c_str(), nullptr);
        EXPECT_EQ(loadLE<uint32_t>(readBytes(p.out).data() + 100), 1u);
    }
    // Positions step by the declared lengths, and stop at a record running past the area.
    b.gap = 0, b.vlrLengths = {30, 0};
    p = place(dir, b);
    CLASFile_C f(p.in.c_str());
    EXPECT_EQ(f.ReadVLR(), (std::vector<uint32_t>{0, 84}));
    EXPECT_EQ(f.RecordArea(), Bytes(p.bytes.begin() + 227, p.bytes.begin() + b.offsetToPoints()));
    storeLE<uint16_t>(p.bytes.data() + 227 + 84 + 20, 200), writeBytes(p.in, p.bytes);
    EXPECT_EQ(f.ReadVLR(), std::vector<uint32_t>{0});
    storeLE<uint16_t>(p.bytes.data() + 227 + 20, 0xFFFF), writeBytes(p.in, p.bytes);
    EXPECT_TRUE(f.ReadVLR().empty());
    EXPECT_EQ(f.RecordArea().size(), b.vlrBytes());
}

// Points and raw records written back keep every byte they carry; header bytes past the block and a
// 1-byte gap are written as zeros, point writes zero-fill past each point's fields.
TEST(CLASFile_C, RoundTripKeepsEveryByteItCarries) {
    TempDir dir;
    std::vector<LasBuilder> cases = {
        {.format = 1, .points = 250, .extraPerPoint = 8, .headerExtra = 6, .vlrLengths = {9}},
        {.format = 0, .gap = 1},
        {.format = 2, .points = 1234, .gap = 37, .vlrLengths = {16}}};
    for (int f = 0; f < 4; ++f)
        for (LasBuilder b :
             {LasBuilder{.format = f, .points = 1234, .vlrLengths = {16, 0, 40}}, {.format = f, .points = 0}})
            cases.push_back(b);
    for (const LasBuilder& b : cases) {
        SCOPED_TRACE(&b - cases.data());
        const auto p = place(dir, b);
        auto expected = p.bytes;
        std::fill_n(expected.begin() + 227, b.headerExtra + (b.gap == 1 && b.vlrLengths.empty()), 0);
        CLASFile_C g(p.in.c_str()); // records held as bytes, written in two steps
        g.ReadVRL(), g.SetPath(p.out.c_str()), g.WriteHeader(), g.WriteVRL();
        const unsigned char* records = p.bytes.data() + b.offsetToPoints();
        const uint32_t first = b.points / 2;
        g.WriteRecords(records, first, nullptr);
        g.CloseFile(); // with no file open a write appends to the file at the path
        g.WriteRecords(records + size_t(first) * b.recordLength(), b.points - first, nullptr);
        g.CloseFile();
        EXPECT_EQ(readBytes(p.out), expected);
        CLASFile_C f;
        f.ReadFile(p.in.c_str(), nullptr);
        f.WriteFile(p.out.c_str(), nullptr);
        for (uint32_t i = 0; b.extraPerPoint && i < b.points; ++i)
            std::fill_n(expected.begin() + b.offsetToPoints() + i * b.recordLength() + 28, b.extraPerPoint,
                        0);
        EXPECT_EQ(readBytes(p.out), expected);
    }
    auto p =
        place(dir, {.gap = 30}); // a HeaderSize below 227: the area starts inside the block, written after it
    storeLE<uint16_t>(p.bytes.data() + 94, 200), writeBytes(p.in, p.bytes);
    CLASFile_C g;
    g.ReadFile(p.in.c_str(), nullptr);
    EXPECT_EQ(g.RecordArea().size(), p.b.offsetToPoints() - 200);
    g.WriteFile(p.out.c_str(), nullptr);
    EXPECT_EQ(readBytes(p.out), p.bytes);
}

TEST(CLASFile_C, WriteFailuresThrowTheirReasons) {
    TempDir dir;
    const auto p = place(dir, {.format = 3, .points = 20});
    CLASFile_C f, g, empty;
    f.ReadFile(p.in.c_str(), nullptr);
    EXPECT_REASON(f.WriteFile(dir.file("no/such/dir.las").c_str(), nullptr),
                  "WriteError::File could not be open.");
    f.Points()[3].reset(new LASPoint1_C()); // not the header's format
    EXPECT_REASON(f.WriteFile(p.out.c_str(), nullptr), "WriteError::LAS Point");
    f.Points()[3].reset();
    EXPECT_REASON(f.WriteFile(p.out.c_str(), nullptr), "WriteError::LAS Point");
    f.GetHeader()->PointDataRecordLength = 30; // shorter than format 3's records
    f.initializePoints();
    EXPECT_REASON(f.WriteFile(p.out.c_str(), nullptr), "WriteError::LAS Point");
    f.GetHeader()->OffsetToPointData = 100;
    EXPECT_REASON(f.WriteHeader(), "WriteError::LAS Header");
    EXPECT_REASON(empty.WriteHeader(), "WriteError::LAS Header");
    EXPECT_REASON(empty.WritePoints(nullptr), "WriteError::LAS Point");
    g.ReadFile(p.in.c_str(), nullptr); // the area held must fit before the point data
    g.SetVLRecord(Bytes(5), {});
    g.SetPath(p.out.c_str());
    g.WriteHeader();
    EXPECT_REASON(g.WriteVRL(), "WriteError::LAS VRL");
    if (std::filesystem::exists("/dev/full")) {
        CLASFile_C full;
        full.ReadFile(p.in.c_str(), nullptr);
        EXPECT_REASON(full.WriteFile("/dev/full", nullptr), "WriteError::");
    }
    auto* h = new LASHeader_C(); // points of an unknown format are refused
    h->PointDataFormatID = 7, h->NumberOfPointRecords = 5;
    empty.SetHeader(h);
    EXPECT_REASON(empty.initializePoints(), "CLasFile::CreatePoints");
    empty.SetHeader(empty.GetHeader()); // handing back its own header keeps it
    ASSERT_EQ(empty.GetHeader(), h);
    empty.ClearFile(); // without a header nothing is written
    empty.WriteFile(dir.file("none.las").c_str(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.las")));
}

// Caps further address space at about 512 MiB so an allocation sized by a hostile header fails loudly.
// Left off under sanitizers, whose reservations need an unlimited address space.
struct AddressSpaceCap {
    rlimit saved{};
    bool active = false;
    AddressSpaceCap() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        uint64_t pages = 0; // the address space in use, in pages
        std::ifstream("/proc/self/statm") >> pages;
        rlimit capped{rlim_t(pages) * sysconf(_SC_PAGESIZE) + (rlim_t(512) << 20), 0};
        if (pages && getrlimit(RLIMIT_AS, &saved) == 0 && saved.rlim_cur > capped.rlim_cur)
            capped.rlim_max = saved.rlim_max, active = setrlimit(RLIMIT_AS, &capped) == 0;
#endif
    }
    ~AddressSpaceCap() {
        if (active)
            setrlimit(RLIMIT_AS, &saved);
    }
};

const LasBuilder sample{.format = 3, .points = 120, .extraPerPoint = 2, .gap = 5, .vlrLengths = {30, 0, 7}};

// Each object is made afresh for every file, so overruns meet the sanitizer. The last record reads only
// while its fields are all there.
TEST(Corruption, EveryTruncationFailsCleanly) {
    TempDir dir;
    const LasBuilder& b = sample;
    const auto bytes = b.bytes();
    const std::string path = dir.file("cut.las");
    const size_t offset = b.offsetToPoints(), lastEnd = offset + size_t(b.points - 1) * b.recordLength() + 34;
    std::vector<size_t> cuts;
    for (size_t n = 0; n < bytes.size(); n += n < offset + 3 * size_t(b.recordLength()) ? 1 : 97)
        cuts.push_back(n);
    cuts.push_back(bytes.size() - 1);
    for (size_t n : cuts) {
        SCOPED_TRACE(n);
        writeBytes(path, bytes, n);
        auto las = std::make_unique<CLASFile>(), opened = std::make_unique<CLASFile>();
        bool loaded = true;
        const std::string out = logOf([&] { loaded = las->ReadFile(path.c_str()); });
        EXPECT_FALSE(loaded);
        EXPECT_NE(out.find(n >= 227 ? "ReadError: file is truncated" : "Error"), std::string::npos) << out;
        LasLogTo quiet(nullptr);
        const bool headerRead = opened->OpenFile(path.c_str());
        std::unique_ptr<LASPoint> last(headerRead ? opened->GetPoint(b.points - 1) : nullptr);
        EXPECT_EQ(last != nullptr, n >= lastEnd);
        EXPECT_FALSE(headerRead && opened->GetData(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
        EXPECT_TRUE(!headerRead || throwsLas([&] { opened->GetPoints(0, b.points); }));

        auto c = std::make_unique<CLASFile_C>();
        EXPECT_REASON(c->ReadFile(path.c_str(), nullptr), n < 227      ? "ReadError::LAS Header"
                                                          : n < offset ? "ReadError::LAS VRL"
                                                                       : "ReadError::LAS Points");
        EXPECT_TRUE(c->Points().empty());
        EXPECT_EQ(c->GetHeader() == nullptr, n < 227);
        if (n < offset)
            continue;
        auto g = std::make_unique<CLASFile_C>(path.c_str());
        EXPECT_REASON(g->GetPoints(0, b.points, nullptr), "ReadError::LAS Points");
        EXPECT_REASON(delete[] g->GetCoordinate(nullptr), "ReadError::LAS Points");
        EXPECT_PRED2(startsWith, reasonOf([&] { delete g->GetPoint(b.points - 1); }),
                     std::string(n < lastEnd ? "ReadError::LAS Point" : "no CLasException"));
    }
    CLASFile_C f(path.c_str()); // a file gone after its header was read
    std::filesystem::remove(path);
    EXPECT_REASON(f.ReadVRL(), "ReadError::File could not be open.");
    EXPECT_REASON(f.ReadFile(path.c_str(), nullptr), "ReadError::File could not be open.");
}

// Hostile header fields: the file object refuses them with its message (a HeaderSize of 0 is read
// anyway, never parsing the header as records); the compressor's throws its reason before allocating,
// and its bulk and attribute readers hold to the same bounds. Random damage loads consistently or not at all.
TEST(Corruption, HostileAndRandomHeaderFields) {
    TempDir dir;
    const LasBuilder& b = sample;
    const auto good = b.bytes();
    const std::string path = dir.file("bad.las");
    const struct Patch {
        size_t offset;
        int width;
        uint32_t value;
        const char *message, *reason; // reason "": the compressor's object reads it
        bool pointsUnreadable;
    } patches[] = {
        // clang-format off
        {107, 4, 0xFFFFFFFF, "truncated", "ReadError::LAS Points", true}, // point count
        {107, 4, 121, "truncated", "ReadError::LAS Points", true},
        {100, 4, 0xFFFFFFFF, "variable length records do not fit", "ReadError::LAS VRL", false}, // record count
        {96, 4, 100, "Offset to point data is smaller than header size", "ReadError::LAS VRL", false},
        {96, 4, 0x7FFFFFFF, "truncated", "ReadError::LAS VRL", true},
        {105, 2, 33, "shorter than", "ReadError::LAS Points", true}, // record length
        {105, 2, 0xFFFF, "truncated", "ReadError::LAS Points", true},
        {104, 1, 9, "Unknown point data format", "ReadError::LAS Points", true},
        {0, 1, 'X', "Wrong File Signature", "", false},
        {94, 2, 0, "Header size should be at least 227", "", false},
        {94, 2, 0xFFFF, "", "ReadError::LAS VRL", false},
        // clang-format on
    };
    AddressSpaceCap cap;
    for (auto& p : patches) {
        SCOPED_TRACE(testing::Message() << p.offset << " = " << p.value);
        auto bytes = good;
        for (int i = 0; i < p.width; ++i)
            bytes[p.offset + i] = uint8_t(p.value >> (8 * i));
        writeBytes(path, bytes);
        CLASFile las;
        bool loaded = false;
        const std::string out = logOf([&] { loaded = las.ReadFile(path.c_str()); });
        EXPECT_NE(out.find(p.message), std::string::npos) << out;
        EXPECT_EQ(loaded, p.offset == 94 && p.value == 0);
        EXPECT_EQ(las.points.size(), loaded ? b.points : 0u);
        EXPECT_TRUE(!loaded || (las.records.size() == 3 && las.records[2].Data.size() == 7u));

        auto c = std::make_unique<CLASFile_C>(), g = std::make_unique<CLASFile_C>(path.c_str());
        EXPECT_PRED2(startsWith, reasonOf([&] { c->ReadFile(path.c_str(), nullptr); }),
                     std::string(*p.reason ? p.reason : "no CLasException"));
        EXPECT_EQ(c->Points().size(), *p.reason ? 0u : b.points);
        const uint64_t count = g->GetHeader()->NumberOfPointRecords;
        const std::string bulk = p.pointsUnreadable ? "ReadError::LAS Points" : "no CLasException";
        EXPECT_PRED2(startsWith, reasonOf([&] { delete[] g->GetClassification(nullptr); }), bulk);
        EXPECT_PRED2(startsWith,
                     reasonOf([&] { CLASFile_C::FreePoints(g->GetPoints(0, count, nullptr), count); }), bulk);
        const std::string why =
            reasonOf([&] { delete g->GetPoint(count - 1); }); // reads, throws or gives null
        EXPECT_TRUE(why == "no CLasException" || why == "ReadError::LAS Point") << why;
    }
    std::mt19937 rng(1234);
    LasLogTo quiet(nullptr);
    for (int iter = 0; iter < 600; ++iter) {
        auto bytes = good;
        for (int f = 0, flips = 1 + int(rng() % 4); f < flips; ++f)
            bytes[rng() % b.offsetToPoints()] = uint8_t(rng());
        writeBytes(path, bytes);
        auto las = std::make_unique<CLASFile>();
        if (las->ReadFile(path.c_str())) {
            ASSERT_EQ(las->points.size(), las->NumberOfPointRecords);
            ASSERT_LE(uint64_t(las->OffsetToPointData) + las->PointDataBytes(), bytes.size());
        }
    }
}

} // namespace
