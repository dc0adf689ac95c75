#include "CLASFile.h"
#include "CLASReader.h"
#include "LasBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::vector<unsigned char> packed(LASPoint* p) {
    std::vector<unsigned char> b(p->GetSize());
    p->copyToBuffer(b.data());
    return b;
}

std::vector<unsigned char> expectedRecord(const LasBuilder& b, uint32_t i) {
    auto bytes = b.bytes();
    size_t at = b.offsetToPoints() + size_t(i) * b.recordLength();
    return std::vector<unsigned char>(bytes.begin() + at, bytes.begin() + at + las_detail::formatSize(b.format));
}

struct Quirks {
    const char* name;
    LasBuilder b;
};
std::vector<Quirks> quirkyFiles() {
    std::vector<Quirks> v;
    for (int f = 0; f < 4; ++f) {
        LasBuilder b;
        b.format = f;
        b.points = 300;
        b.vlrLengths = {16, 0, 40};
        v.push_back({"plain", b});
        b.extraPerPoint = 8; // extra bytes after each record
        v.push_back({"extra bytes", b});
        b.extraPerPoint = 0;
        b.gap = 2; // LAS 1.0 start signature position
        b.versionMinor = 0;
        v.push_back({"gap", b});
        b.gap = 0;
        b.headerExtra = 6;
        v.push_back({"long header", b});
    }
    return v;
}

TEST(CLASFile, LoadReadsEveryQuirkAndWriteFileReproducesTheBytes) {
    TempDir dir;
    for (auto& [name, b] : quirkyFiles()) {
        SCOPED_TRACE(std::string(name) + " format " + std::to_string(b.format));
        std::string in = dir.file("in.las"), out = dir.file("out.las");
        auto bytes = b.bytes();
        writeBytes(in, bytes);
        CLASFile las;
        CaptureStdout();
        ASSERT_TRUE(las.ReadFile(in.c_str()));
        std::string messages = GetCapturedStdout();
        if (b.extraPerPoint)
            EXPECT_EQ(messages, "ReadError: Wrong point" + std::to_string(b.format) + " data record length");
        else
            EXPECT_EQ(messages, "");
        ASSERT_EQ(las.points.size(), b.points);
        ASSERT_EQ(las.records.size(), b.vlrLengths.size());
        EXPECT_EQ(las.records[2].Data.size(), 40u);
        EXPECT_EQ(las.records[2].RecordID, 1002);
        for (uint32_t i = 0; i < b.points; i += 37)
            ASSERT_EQ(packed(las.points[i].get()), expectedRecord(b, i)) << i;
        EXPECT_EQ(las.extraBytesPerPoint, b.extraPerPoint);

        las.WriteFile(out.c_str());
        EXPECT_EQ(readBytes(out), bytes);
    }
}

TEST(CLASFile, RandomAndBulkAccessAgree) {
    TempDir dir;
    for (auto& [name, b] : quirkyFiles()) {
        SCOPED_TRACE(std::string(name) + " format " + std::to_string(b.format));
        std::string in = dir.file("in.las");
        writeBytes(in, b.bytes());
        CLASFile las;
        CaptureStdout();
        ASSERT_TRUE(las.OpenFile(in.c_str()));
        GetCapturedStdout();
        LASPoint** all = las.GetPoints(0, b.points);
        ASSERT_NE(all, nullptr);
        std::vector<unsigned char> raw(size_t(b.points) * b.recordLength());
        CLASReader::ReadPoints(in.c_str(), raw.data(), b.offsetToPoints(), b.recordLength(), b.points,
                               b.recordLength());
        std::vector<unsigned char> raw2(raw.size());
        CLASReader::ReadNumPoints(in.c_str(), raw2.data(), b.offsetToPoints(), b.recordLength(), b.points,
                                  b.recordLength());
        EXPECT_EQ(raw, raw2);
        for (uint32_t i = 0; i < b.points; ++i) {
            std::unique_ptr<LASPoint> one(las.GetPoint(i));
            ASSERT_TRUE(one) << i;
            auto expect = expectedRecord(b, i);
            ASSERT_EQ(packed(one.get()), expect) << i;
            ASSERT_EQ(packed(all[i]), expect) << i;
            ASSERT_EQ(0, std::memcmp(raw.data() + size_t(i) * b.recordLength(), expect.data(), expect.size()));
        }
        CLASFile::FreePointArray(all);

        // A slice from the middle.
        LASPoint** mid = las.GetPoints(100, 50);
        EXPECT_EQ(packed(mid[0]), expectedRecord(b, 100));
        EXPECT_EQ(packed(mid[49]), expectedRecord(b, 149));
        CLASFile::FreePointArray(mid);
    }
}

TEST(CLASFile, BulkReadersCountProgressAsDocumented) {
    TempDir dir;
    LasBuilder b;
    b.points = 250;
    std::string in = dir.file("in.las");
    writeBytes(in, b.bytes());
    CLASFile las;
    ASSERT_TRUE(las.OpenFile(in.c_str()));
    uint32_t progress = 0;
    CLASFile::FreePointArray(las.GetPoints(0, 250, &progress));
    EXPECT_EQ(progress, 125u); // records 0, 2, ..., 248
    progress = 0;
    CLASFile::FreePointArray(las.GetPoints(0, 50, &progress));
    EXPECT_EQ(progress, 50u);
    progress = 0;
    CLASFile::FreePointArray(las.GetPoints(0, 201, &progress));
    EXPECT_EQ(progress, 101u); // k = 2: 0, 2, ..., 200

    std::vector<unsigned char> buf(250 * 28);
    progress = 0;
    CLASReader::ReadPoints(in.c_str(), buf.data(), b.offsetToPoints(), 28, 250, 28, &progress);
    EXPECT_EQ(progress, 125u);
    progress = 0;
    CLASReader::ReadNumPoints(in.c_str(), buf.data(), b.offsetToPoints(), 28, 50, 28, &progress);
    EXPECT_EQ(progress, 50u);
    progress = 0;
    CLASReader::ReadPoints(in.c_str(), buf.data(), b.offsetToPoints(), 20, 250, 28, &progress);
    EXPECT_EQ(progress, 125u);
}

TEST(CLASReader, StrideLeavesTheGapsAloneAndShortReadsThrow) {
    TempDir dir;
    LasBuilder b;
    b.format = 0;
    b.points = 5;
    std::string in = dir.file("in.las");
    writeBytes(in, b.bytes());
    std::vector<unsigned char> buf(5 * 32, 0xEE);
    CLASReader::ReadPoints(in.c_str(), buf.data(), b.offsetToPoints(), 20, 5, 32);
    for (int i = 0; i < 5; ++i) {
        auto e = expectedRecord(b, i);
        EXPECT_EQ(0, std::memcmp(buf.data() + i * 32, e.data(), 20));
        for (int g = 20; g < 32; ++g)
            EXPECT_EQ(buf[i * 32 + g], 0xEE);
    }
    unsigned char one[20];
    CLASReader::ReadPoint(in.c_str(), one, b.offsetToPoints() + 20, 20);
    EXPECT_EQ(std::vector<unsigned char>(one, one + 20), expectedRecord(b, 1));

    auto expectThrow = [](auto fn, const char* reason) {
        try {
            fn();
            ADD_FAILURE() << "no exception";
        } catch (const CLasException& e) {
            EXPECT_STREQ(e.what(), reason);
        }
    };
    expectThrow([&] { CLASReader::ReadPoints(in.c_str(), buf.data(), b.offsetToPoints(), 20, 6, 20); },
                "ReadError::LAS Points");
    expectThrow([&] { CLASReader::ReadNumPoints(in.c_str(), buf.data(), b.offsetToPoints(), 20, 6, 20); },
                "ReadError::LAS Points");
    expectThrow([&] { CLASReader::ReadPoint(in.c_str(), one, b.offsetToPoints() + 90, 20); },
                "ReadError::LAS Point");
    expectThrow([&] { CLASReader::ReadPoints(dir.file("missing.las").c_str(), buf.data(), 0, 20, 1, 20); },
                "ReadError::File could not be open.");
}

TEST(CLASFile, RecordsRunningIntoThePointsDoNotMoveThem) {
    TempDir dir;
    LasBuilder b;
    b.points = 20;
    b.vlrLengths = {10};
    auto bytes = b.bytes();
    las_detail::storeLE<uint16_t>(bytes.data() + 227 + 20, 10 + 56); // claims two points' bytes too
    std::string in = dir.file("in.las"), out = dir.file("out.las");
    writeBytes(in, bytes);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(in.c_str()));
    ASSERT_EQ(las.points.size(), 20u);
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_EQ(packed(las.points[i].get()), expectedRecord(b, i));
    EXPECT_EQ(las.records[0].Data.size(), 66u);
    EXPECT_TRUE(las.pointDataPadding.empty());

    // Written out, the file is self-consistent: the points follow the whole record.
    las.WriteFile(out.c_str());
    CLASFile back;
    ASSERT_TRUE(back.ReadFile(out.c_str()));
    EXPECT_EQ(back.OffsetToPointData, 227u + 54 + 66);
    for (uint32_t i = 0; i < 20; ++i)
        ASSERT_EQ(packed(back.points[i].get()), expectedRecord(b, i));
}

TEST(CLASFile, WriteFileRecomputesTheLayout) {
    TempDir dir;
    LasBuilder b;
    b.format = 3;
    b.points = 40;
    b.vlrLengths = {12, 30};
    std::string in = dir.file("in.las"), out = dir.file("out.las");
    writeBytes(in, b.bytes());
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(in.c_str()));
    las.records.erase(las.records.begin());
    las.records[0].Data.resize(100, 7);
    las.points.resize(25);
    las.NumberOfVariableLengthRecords = 9; // stale values the writer must not trust
    las.OffsetToPointData = 12345;
    las.HeaderSize = 1;
    las.PointDataRecordLength = 99;
    las.NumberOfPointRecords = 77;
    las.WriteFile(out.c_str());
    EXPECT_EQ(las.NumberOfVariableLengthRecords, 1u);
    EXPECT_EQ(las.OffsetToPointData, 227u + 54 + 100);
    EXPECT_EQ(las.HeaderSize, 227);
    EXPECT_EQ(las.PointDataRecordLength, 34);
    EXPECT_EQ(las.NumberOfPointRecords, 25u);
    EXPECT_EQ(readBytes(out).size(), 227u + 154 + 25 * 34);

    CLASFile back;
    CaptureStdout();
    ASSERT_TRUE(back.ReadFile(out.c_str()));
    EXPECT_EQ(GetCapturedStdout(), "");
    ASSERT_EQ(back.records.size(), 1u);
    EXPECT_EQ(back.records[0].RecordLenAfterHeader, 100);
    EXPECT_EQ(back.records[0].Data[99], 7);
    ASSERT_EQ(back.points.size(), 25u);
    EXPECT_EQ(packed(back.points[24].get()), expectedRecord(b, 24));
}

TEST(CLASFile, WriteFileCopiesRecordsThatWereNotLoaded) {
    TempDir dir;
    LasBuilder b;
    b.format = 1;
    b.points = 3000;
    b.extraPerPoint = 8;
    b.vlrLengths = {20};
    auto bytes = b.bytes();
    std::string in = dir.file("in.las"), out = dir.file("out.las");
    writeBytes(in, bytes);

    CLASFile opened; // header only: every point comes from the source
    CaptureStdout();
    ASSERT_TRUE(opened.OpenFile(in.c_str()));
    GetCapturedStdout();
    opened.records.assign(1, LASVarLenRecord());
    LASVarLenRecord* vlr = opened.ReadVLR();
    ASSERT_NE(vlr, nullptr);
    opened.records[0] = vlr[0];
    delete[] vlr;
    CaptureStdout();
    opened.WriteFile(out.c_str());
    GetCapturedStdout();
    EXPECT_EQ(readBytes(out), bytes);

    CLASFile partial; // some slots released, one changed
    CaptureStdout();
    ASSERT_TRUE(partial.ReadFile(in.c_str()));
    for (size_t i = 0; i < partial.points.size(); i += 3)
        partial.points[i].reset();
    partial.points[1]->SetIntensity(4242);
    partial.WriteFile(out.c_str());
    GetCapturedStdout();
    auto written = readBytes(out);
    ASSERT_EQ(written.size(), bytes.size());
    size_t rec1 = b.offsetToPoints() + b.recordLength();
    EXPECT_EQ(las_detail::loadLE<uint16_t>(written.data() + rec1 + 12), 4242);
    written[rec1 + 12] = bytes[rec1 + 12];
    written[rec1 + 13] = bytes[rec1 + 13];
    EXPECT_EQ(written, bytes);

    CLASFile nothing; // no points and no source: refused, nothing written
    nothing.copyFromBuffer(bytes.data());
    EXPECT_THROW(nothing.WriteFile(dir.file("none.las").c_str()), CLasException);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.las")));
}

TEST(CLASFile, SaveOverTheOpenSourceKeepsEveryPoint) {
    TempDir dir;
    LasBuilder b;
    b.points = 500;
    auto bytes = b.bytes();
    std::string in = dir.file("in.las");
    writeBytes(in, bytes);
    CLASFile las;
    ASSERT_TRUE(las.OpenFile(in.c_str()));
    las.Save(); // streams the points from the file it replaces
    EXPECT_EQ(readBytes(in), bytes);
    EXPECT_EQ(dir.entryCount(), 1u);
}

// A write that fails midway (the file size limit stands in for a full disk) leaves the destination as
// it was and no temporary file behind.
TEST(CLASFile, FailedWriteLosesNothing) {
    TempDir dir;
    LasBuilder b;
    b.points = 20000;
    std::string in = dir.file("in.las"), out = dir.file("out.las");
    writeBytes(in, b.bytes());
    std::vector<unsigned char> old(1000, 0x42);
    writeBytes(out, old);
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(in.c_str()));
    LASHeader before = las;

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        las.WriteFile(out.c_str());
    } catch (const CLasException& e) {
        threw = true;
        EXPECT_NE(std::string(e.what()).find("WriteError"), std::string::npos) << e.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_TRUE(threw);
    EXPECT_EQ(readBytes(out), old);
    EXPECT_EQ(dir.entryCount(), 2u);
    EXPECT_EQ(las.OffsetToPointData, before.OffsetToPointData);
    EXPECT_EQ(las.NumberOfPointRecords, before.NumberOfPointRecords);

    EXPECT_THROW(las.WriteFile(dir.file("no/such/dir/x.las").c_str()), CLasException);
}

TEST(CLASFile, AttributeArraysConvertAsDocumented) {
    TempDir dir;
    LasBuilder b;
    b.format = 3;
    b.points = 64;
    b.extraPerPoint = 3;
    std::string in = dir.file("in.las");
    writeBytes(in, b.bytes());
    CLASFile las;
    CaptureStdout();
    ASSERT_TRUE(las.OpenFile(in.c_str()));
    GetCapturedStdout();
    std::unique_ptr<float[]> xyz(las.GetCoordinate()), rgb(las.GetColor());
    std::unique_ptr<uint16_t[]> inten(las.GetIntensity());
    std::unique_ptr<uint8_t[]> cls(las.GetClassification()), ret(las.GetReturns());
    std::unique_ptr<int8_t[]> ang(las.GetAngle());
    ASSERT_TRUE(xyz && rgb && inten && cls && ret && ang);
    for (uint32_t i = 0; i < b.points; ++i) {
        auto f = LasBuilder::pointFields(i);
        EXPECT_FLOAT_EQ(xyz[3 * i], float(f.X * 0.01 + 640000));
        EXPECT_FLOAT_EQ(xyz[3 * i + 1], float(f.Y * 0.01 + 5270000));
        EXPECT_FLOAT_EQ(xyz[3 * i + 2], float(f.Z * 0.01 + 100));
        EXPECT_EQ(inten[i], f.intensity);
        EXPECT_EQ(cls[i], f.classification);
        EXPECT_EQ(ret[i], f.returnByte & 7);
        EXPECT_EQ(ang[i], f.scanAngleRank);
        EXPECT_FLOAT_EQ(rgb[3 * i], f.red / 65535.0f);
        EXPECT_FLOAT_EQ(rgb[3 * i + 2], f.blue / 65535.0f);
    }
    std::unique_ptr<LASPoint> p(las.GetPoint(5));
    auto t = las.TransformCoord(p.get());
    EXPECT_FLOAT_EQ(t[0], xyz[15]);
    EXPECT_FLOAT_EQ(t[2], xyz[17]);
}

TEST(CLASFile, ClosedOrOutOfRangeAccessFailsCleanly) {
    CLASFile none;
    CaptureStdout();
    EXPECT_FALSE(none.Load());
    EXPECT_EQ(GetCapturedStdout(), "Error: Can't Open File");
    EXPECT_EQ(none.GetPoint(0), nullptr);
    EXPECT_EQ(none.ReadVLR(), nullptr);
    EXPECT_EQ(none.GetCoordinate(), nullptr);
    EXPECT_EQ(none.GetPoints(0, 0), nullptr);
    try {
        none.GetPoints(0, 1);
        ADD_FAILURE();
    } catch (const CLasException& e) {
        EXPECT_STREQ(e.what(), "ReadError::File could not be open.");
    }
    EXPECT_FALSE(none.ReadFile(nullptr));
    CaptureStdout();
    EXPECT_FALSE(none.ReadFile("/nonexistent/file.las"));
    EXPECT_EQ(GetCapturedStdout(), "Error: Can't Open File");

    TempDir dir;
    LasBuilder b;
    b.format = 2;
    b.points = 10;
    std::string in = dir.file("in.las");
    writeBytes(in, b.bytes());
    CLASFile las(in.c_str());
    CaptureStdout();
    EXPECT_EQ(las.GetPoint(10), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "ReadError: Can't Read LasPoint2");
    EXPECT_THROW(las.GetPoints(5, 6), CLasException);
    EXPECT_THROW(las.GetPoints(11, 1), CLasException);
    EXPECT_THROW(las.GetPoints(UINT64_MAX, 2), CLasException);
}

} // namespace

namespace {

// Points beyond 4 GiB: a sparse file whose last records lie past the 32-bit range.
TEST(CLASFile, PositionsBeyondFourGibibytes) {
    TempDir dir;
    LasBuilder b;
    b.format = 0;
    b.points = 250000000; // 5 GB of format-0 records
    LASHeader h = b.header();
    std::string path = dir.file("huge.las");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    ASSERT_TRUE(h.Write(f));
    const uint64_t last = b.points - 1;
    const uint64_t at = h.OffsetToPointData + last * 20;
    ASSERT_GT(at, uint64_t(1) << 32);
    unsigned char rec[20];
    auto fields = LasBuilder::pointFields(7);
    fields.pack<0>(rec);
    if (fseeko(f, off_t(at), SEEK_SET) != 0 || std::fwrite(rec, 1, 20, f) != 20) {
        std::fclose(f);
        GTEST_SKIP() << "the temporary file system does not take a sparse 5 GB file";
    }
    std::fclose(f);

    CLASFile las;
    ASSERT_TRUE(las.OpenFile(path.c_str()));
    std::unique_ptr<LASPoint> p(las.GetPoint(last));
    ASSERT_TRUE(p);
    std::vector<unsigned char> got(20);
    p->copyToBuffer(got.data());
    EXPECT_EQ(got, std::vector<unsigned char>(rec, rec + 20));
    LASPoint** tail = las.GetPoints(last - 1, 2);
    tail[1]->copyToBuffer(got.data());
    EXPECT_EQ(got, std::vector<unsigned char>(rec, rec + 20));
    EXPECT_EQ(tail[0]->GetX(), 0); // a hole of the sparse file reads as zeros
    CLASFile::FreePointArray(tail);
    unsigned char raw[20];
    CLASReader::ReadPoint(path.c_str(), raw, at, 20);
    EXPECT_EQ(0, std::memcmp(raw, rec, 20));
}

} // namespace
