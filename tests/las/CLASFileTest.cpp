// The file object: the quirks real files have, every reader of its points, writing without losing
// anything; then every real sample.
#include "CLASFile.h"
#include "CLASFile_C.h"
#include "CLASReader.h"
#include "LasTestUtil.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>

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
            EXPECT_EQ(c.RecordPositions(), (std::vector<uint32_t>{0, 70, 124}));
            ASSERT_EQ(c.Points().size(), b.points);
            EXPECT_EQ(c.GetPoint(b.points), nullptr);
            ASSERT_TRUE(opened.OpenFile(p.in.c_str()));
            EXPECT_EQ(logOf([&] { EXPECT_EQ(opened.GetPoint(b.points), nullptr); }),
                      std::string(format == 3 ? "Read Error" : "ReadError") + ": Can't Read LasPoint" +
                          std::to_string(format));
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
            CLASFile::FreePointArray(all);
            CLASFile::FreePointArray(mid);
            for (auto [start, count, ticks] :
                 {std::tuple{50u, 200u, 100u}, {0u, 50u, 50u}, {10u, 240u, 120u}}) {
                progress = 0;
                LASPoint_C** pts = c.GetPoints(start, count, &progress);
                EXPECT_EQ(progress, ticks);
                for (uint32_t i = 0; i < count; ++i)
                    EXPECT_EQ(packed(pts[i]), p.record(start + i)) << i;
                CLASFile_C::FreePoints(pts, count);
            }
            EXPECT_EQ(c.GetPoints(0, 0, nullptr), nullptr);
            EXPECT_REASON(c.GetPoints(1, b.points, nullptr), "ReadError::LAS Points");
            EXPECT_REASON(c.GetPoints(uint64_t(1) << 62, uint64_t(1) << 62, nullptr),
                          "ReadError::LAS Points");

            // Attribute arrays: the compressor's hold the stored values, the file object's scaled
            // coordinates, colour over 65535 and return numbers only.
            progress = 0;
            std::unique_ptr<float[]> xyz(c.GetCoordinate(&progress)), colours(c.GetColor(nullptr)),
                scaled(opened.GetCoordinate()), rgb(opened.GetColor());
            EXPECT_EQ(progress, 100u);
            std::unique_ptr<uint16_t[]> intensity(c.GetIntensity(nullptr)), inten(opened.GetIntensity());
            std::unique_ptr<uint8_t[]> returns(c.GetReturns(nullptr)), classes(c.GetClassification(nullptr)),
                ret(opened.GetReturns()), cls(opened.GetClassification());
            std::unique_ptr<int8_t[]> angles(c.GetAngle(nullptr)), ang(opened.GetAngle());
            std::unique_ptr<int64_t[]> times(c.GetGPSTime(nullptr));
            ASSERT_TRUE(scaled && rgb && inten && ret && cls && ang);
            const bool hasTime = las_detail::formatHasGPSTime(format),
                       hasColour = las_detail::formatHasColor(format);
            for (uint32_t i = 0; i < b.points; ++i) {
                const auto f = LasBuilder::pointFields(i);
                EXPECT_EQ(std::tuple(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]),
                          std::tuple(float(f.X), float(f.Y), float(f.Z)));
                const std::array<float, 3> world = {float(f.X * 0.01 + 640000), float(f.Y * 0.01 + 5270000),
                                                    float(f.Z * 0.01 + 100)};
                EXPECT_EQ((std::array<float, 3>{scaled[3 * i], scaled[3 * i + 1], scaled[3 * i + 2]}), world);
                EXPECT_EQ(las.TransformCoord(las.points[i].get()), world);
                EXPECT_EQ(c.TransformCoord(c.Points()[i].get())[1], world[1]);
                EXPECT_EQ(std::tuple(intensity[i], returns[i], classes[i], angles[i]),
                          std::tuple(f.intensity, f.returnByte, f.classification, f.scanAngleRank));
                EXPECT_EQ(
                    std::tuple(inten[i], ret[i], cls[i], ang[i]),
                    std::tuple(f.intensity, uint8_t(f.returnByte & 7), f.classification, f.scanAngleRank));
                EXPECT_EQ(times[i], hasTime ? int64_t(f.gpsTimeBits) : 0);
                for (float* col : {colours.get(), rgb.get()})
                    EXPECT_EQ((std::array<float, 2>{col[3 * i], col[3 * i + 2]}),
                              (hasColour ? std::array<float, 2>{f.red / 65535.0f, f.blue / 65535.0f}
                                         : std::array<float, 2>{}));
            }
        }
}

// Progress counts every k-th record (k = 2 from 200 records on); the reader's stride leaves the bytes
// between records alone; reads past the end, or of no file, fail with their reasons.
TEST(CLASReader, ProgressStrideAndShortReads) {
    TempDir dir;
    const auto p = place(dir, {.points = 250});
    const char* in = p.in.c_str();
    const uint64_t at = p.b.offsetToPoints();
    CLASFile las;
    ASSERT_TRUE(las.OpenFile(in));
    Bytes buf(250 * 32);
    for (auto [count, expected] : {std::pair{250u, 125u}, {50u, 50u}, {201u, 101u}}) {
        uint32_t progress[3] = {};
        CLASFile::FreePointArray(las.GetPoints(0, count, &progress[0]));
        CLASReader::ReadPoints(in, buf.data(), at, 28, count, 28, &progress[1]);
        CLASReader::ReadNumPoints(in, buf.data(), at, 20, count, 28, &progress[2]);
        EXPECT_EQ(std::vector(progress, progress + 3), std::vector(3, expected)) << count;
    }
    std::fill(buf.begin(), buf.end(), 0xEE);
    CLASReader::ReadPoints(in, buf.data(), at, 28, 5, 32);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Bytes(buf.begin() + i * 32, buf.begin() + i * 32 + 28), p.record(i)) << i;
        EXPECT_EQ(Bytes(buf.begin() + i * 32 + 28, buf.begin() + i * 32 + 32), Bytes(4, 0xEE)) << i;
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
    las.records.erase(las.records.begin());
    las.records[0].Data.resize(100, 7);
    las.points.resize(25);
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
    EXPECT_EQ(readBytes(p.in), p.bytes);
    EXPECT_EQ(dir.entryCount(), 2u);

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
    EXPECT_EQ(readBytes(p.out), old);
    EXPECT_EQ(dir.entryCount(), 2u);
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
    ASSERT_TRUE(p);
    EXPECT_EQ(packed(p.get()), rec);
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
        bool loaded = false;
        const std::string log = logOf([&] { loaded = las.ReadFile(s.path.c_str()); });
        ASSERT_TRUE(loaded);
        if (s.recordLength != size) {
            EXPECT_EQ(log, "ReadError: Wrong point" + std::to_string(s.format) + " data record length");
        }
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
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], raw[a] * scale[a] + offset[a]);
                hi[a] = std::max(hi[a], raw[a] * scale[a] + offset[a]);
            }
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
        uint32_t progress = 0;
        LASPoint** bulk = las.GetPoints(0, n, &progress);
        EXPECT_GE(progress, std::min<uint64_t>(n, 100));
        Bytes raw(n * stride), whole(n * s.recordLength);
        CLASReader::ReadPoints(s.path.c_str(), raw.data(), las.OffsetToPointData, s.recordLength, n, stride);
        CLASReader::ReadNumPoints(s.path.c_str(), whole.data(), las.OffsetToPointData, s.recordLength, n,
                                  s.recordLength);
        for (uint64_t i = 0; i < n; ++i) {
            std::unique_ptr<LASPoint> one(las.GetPoint(i));
            ASSERT_TRUE(one);
            const Bytes a = packed(one.get());
            ASSERT_TRUE(a == packed(bulk[i]) && a == packed(las.points[i].get())) << i;
            ASSERT_EQ(0, std::memcmp(a.data(), raw.data() + i * stride, size)) << i;
            ASSERT_EQ(0, std::memcmp(a.data(), whole.data() + i * s.recordLength, size)) << i;
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
        g.ReadVRL();
        g.SetPath(out.c_str());
        g.WriteHeader();
        g.WriteVRL();
        g.WriteRecords(bytes.data() + g.GetHeader()->OffsetToPointData, s.points, nullptr);
        g.CloseFile();
        EXPECT_TRUE(readBytes(out) == bytes);
    }
}

} // namespace
