#include "LASHeader.h"
#include "LASVarLenRecord.h"
#include "LasBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Reads a header from the given bytes through a real file; returns Read's result and its output.
struct ReadResult {
    bool ok;
    std::string out;
    LASHeader header;
};
ReadResult readHeader(const std::vector<unsigned char>& bytes) {
    TempDir dir;
    std::string path = dir.file("h.las");
    writeBytes(path, bytes);
    FILE* f = std::fopen(path.c_str(), "rb");
    ReadResult r{};
    CaptureStdout();
    r.ok = r.header.Read(f);
    r.out = GetCapturedStdout();
    std::fclose(f);
    return r;
}

std::vector<unsigned char> block(const LASHeader& h) {
    std::vector<unsigned char> b(227);
    h.copyToBuffer(b.data());
    return b;
}

TEST(LASHeader, ValidHeaderReadsSilently) {
    LasBuilder b;
    auto r = readHeader(b.bytes());
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.header.NumberOfPointRecords, b.points);
    EXPECT_EQ(r.header.OffsetX, 640000);
    EXPECT_EQ(0, std::memcmp(r.header.GUIDdata4, "ABCDEFGH", 8));
}

TEST(LASHeader, ValidationMessages) {
    LASHeader h = LasBuilder().header();
    struct Case {
        const char* name;
        void (*mutate)(LASHeader&);
        bool ok;
        const char* message;
    } cases[] = {
        {"signature", [](LASHeader& x) { x.FileSignature[3] = 'G'; }, false, "ReadError: Wrong File Signature"},
        {"version 1.3", [](LASHeader& x) { x.VersionMinor = 3; }, true,
         "ReadError: Unknown Version (should be 1.0 or 1.1 or 1.2)"},
        {"version 2.0", [](LASHeader& x) { x.VersionMajor = 2, x.VersionMinor = 0; }, true,
         "ReadError: Unknown Version (should be 1.0 or 1.1 or 1.2)"},
        {"header size 200", [](LASHeader& x) { x.HeaderSize = 200, x.OffsetToPointData = 227; }, true,
         "ReadError: Header size should be at least 227"},
        {"offset below header", [](LASHeader& x) { x.OffsetToPointData = 100; }, false,
         "ReadError: Offset to point data is smaller than header size"},
        // A short HeaderSize must not let points be read from inside the 227-byte block.
        {"offset inside block", [](LASHeader& x) { x.HeaderSize = 100, x.OffsetToPointData = 150; }, false,
         "ReadError: Header size should be at least 227ReadError: Offset to point data is smaller than header size"},
        {"format 2 length 28", [](LASHeader& x) { x.PointDataFormatID = 2, x.PointDataRecordLength = 28; }, true,
         "ReadError: Wrong point2 data record length"},
        {"format 0 length 21", [](LASHeader& x) { x.PointDataFormatID = 0, x.PointDataRecordLength = 21; }, true,
         "ReadError: Wrong point0 data record length"},
        {"format 4", [](LASHeader& x) { x.PointDataFormatID = 4; }, false, "ReadError: Unknown point data format"},
        {"zero points", [](LASHeader& x) { x.NumberOfPointRecords = 0; }, true,
         "ReadError: Number of point records is smaller then 0"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        LASHeader m = h;
        c.mutate(m);
        auto r = readHeader(block(m));
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.out, c.message);
    }
}

// Every truncation of the block names the first field it cuts.
TEST(LASHeader, TruncatedBlockNamesTheMissingField) {
    auto bytes = block(LasBuilder().header());
    const std::pair<size_t, const char*> expected[] = {
        {0, "FileSignature"},     {3, "FileSignature"},     {4, "FileSourceID"},
        {7, "GlobalEncoding"},    {8, "GUIDdata1"},         {23, "GUIDdata4"},
        {24, "VersionMajor"},     {25, "VersionMinor"},     {26, "SystemIdentifier"},
        {60, "GeneratingSoftware"}, {90, "m_FileCreationDay"}, {93, "FileCreationYear"},
        {95, "HeaderSize"},       {96, "OffsetToPointData"}, {100, "NumberOfVariableLengthRecords"},
        {104, "PointDataFormatID"}, {106, "PointDataRecordLength"}, {107, "NumberOfPointRecords"},
        {130, "NumberOfPointsByReturn"}, {131, "ScaleFactor_X"}, {150, "ScaleFactor_Z"},
        {155, "OffsetX"},         {178, "OffsetZ"},         {179, "Max_X"},
        {190, "Min_X"},           {200, "Max_Y"},           {210, "Min_Y"},
        {215, "Max_Z"},           {226, "Min_Z"},
    };
    for (auto [len, field] : expected) {
        SCOPED_TRACE(len);
        auto r = readHeader(std::vector<unsigned char>(bytes.begin(), bytes.begin() + len));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.out, std::string("ReadError: FileHeader::") + field);
    }
    for (size_t len = 0; len < 227; ++len) {
        auto r = readHeader(std::vector<unsigned char>(bytes.begin(), bytes.begin() + len));
        EXPECT_FALSE(r.ok) << len;
    }
}

TEST(LASHeader, WriteProducesWhatCopyFromBufferReads) {
    TempDir dir;
    LASHeader h = LasBuilder().header();
    h.NumberOfPointsByReturn[4] = 0xDEADBEEF;
    h.Min_Z = -123.456789012;
    std::string path = dir.file("w.las");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(h.Write(f));
    std::fclose(f);
    auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 227u);
    LASHeader back;
    back.copyFromBuffer(bytes.data());
    EXPECT_EQ(block(back), block(h));
    EXPECT_EQ(back.Min_Z, h.Min_Z);
    EXPECT_EQ(back.NumberOfPointsByReturn[4], 0xDEADBEEF);
    EXPECT_EQ(std::string(back.SystemIdentifier), "test system");
}

TEST(LASHeader, WriteRefusesWhatReadRefuses) {
    TempDir dir;
    std::string path = dir.file("w.las");
    FILE* f = std::fopen(path.c_str(), "wb");
    LASHeader bad = LasBuilder().header();
    bad.FileSignature[0] = 'X';
    CaptureStdout();
    EXPECT_FALSE(bad.Write(f));
    EXPECT_EQ(GetCapturedStdout(), "ReadError: Wrong File Signature");
    bad = LasBuilder().header();
    bad.PointDataFormatID = 7;
    CaptureStdout();
    EXPECT_FALSE(bad.Write(f));
    EXPECT_EQ(GetCapturedStdout(), "ReadError: Unknown point data format");
    std::fclose(f);
    EXPECT_EQ(readBytes(path).size(), 0u);
}

TEST(LASHeader, FlagsAndFormats) {
    LASHeader h;
    for (int f = 0; f < 6; ++f) {
        h.PointDataFormatID = uint8_t(f);
        EXPECT_EQ(h.hasColor(), f == 2 || f == 3) << f;
    }
    h.GlobalEncoding = 0x0003;
    EXPECT_EQ(h.GPSTimeType(), 1);
    h.GlobalEncoding = 0x0002;
    EXPECT_EQ(h.GPSTimeType(), 0);
}

TEST(LASHeader, CheckPointDataRefusesWhatTheFileCannotHold) {
    LasBuilder b;
    LASHeader h = b.header();
    uint64_t size = b.bytes().size();
    std::string why;
    EXPECT_TRUE(h.CheckPointData(size, &why)) << why;
    EXPECT_FALSE(h.CheckPointData(size - 1, &why));
    EXPECT_NE(why.find("truncated"), std::string::npos) << why;
    h.NumberOfPointRecords = 0xFFFFFFFF; // 120 GB of points in a tiny file
    EXPECT_FALSE(h.CheckPointData(size, &why));
    h = b.header();
    h.PointDataRecordLength = 20; // shorter than format 1's records
    EXPECT_FALSE(h.CheckPointData(size, &why));
    h.PointDataRecordLength = 0;
    EXPECT_FALSE(h.CheckPointData(size, &why));
}

// The edges of what Problem accepts; its messages are checked through the tools that print them.
TEST(LASHeader, ProblemAcceptsTheEdgesOfWhatIsValid) {
    LasBuilder b;
    b.vlrLengths = {10, 0};
    b.extraPerPoint = 3;
    const int64_t size = int64_t(b.bytes().size());
    struct Case {
        const char* what;
        void (*change)(LASHeader&);
        int64_t size;
        bool accepted;
    } cases[] = {
        {"as built, with records and extra bytes", [](LASHeader&) {}, size, true},
        {"file size unknown", [](LASHeader& h) { h.NumberOfPointRecords = 0xFFFFFFFF; }, -1, true},
        {"more points than the file holds", [](LASHeader& h) { ++h.NumberOfPointRecords; }, size, false},
        {"version 1.0", [](LASHeader& h) { h.VersionMinor = 0; }, size, true},
        {"flat extent", [](LASHeader& h) { h.Min_Z = h.Max_Z; }, size, true},
        {"negative scale", [](LASHeader& h) { h.ScaleFactor_Y = -0.001; }, size, true},
        {"no points, the file ending at the offset", [](LASHeader& h) { h.NumberOfPointRecords = 0; },
         227 + 54 + 10 + 54, true},
        {"no points, the file one byte short of the offset", [](LASHeader& h) { h.NumberOfPointRecords = 0; },
         227 + 54 + 10 + 53, false},
        {"records filling the gap exactly", [](LASHeader& h) { h.NumberOfVariableLengthRecords = 2; }, size,
         true},
        {"one record more than fits", [](LASHeader& h) { h.NumberOfVariableLengthRecords = 3; }, size, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LASHeader h = b.header();
        c.change(h);
        EXPECT_EQ(h.Problem(c.size).empty(), c.accepted) << h.Problem(c.size);
    }
}

TEST(LASHeader, OutputStringFormat) {
    LASHeader h = LasBuilder().header();
    h.ScaleFactor_X = 0.00025;
    h.Min_X = 273357.145123;
    h.Max_X = 273642.856;
    h.SystemIdentifier[31] = 'Z'; // no terminator within the field: printed up to its width only
    std::memset(h.SystemIdentifier, 'S', 32);
    CaptureStdout();
    h.outputString();
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("LAS File, signature: LASF, source ID: 7, encoding 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("GUID data:\n16909060\n0\n0\nABCDEFGH;\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Version 1.2\n"), std::string::npos);
    EXPECT_NE(out.find("System: " + std::string(32, 'S') + ", software: test builder\n"), std::string::npos);
    EXPECT_NE(out.find("Created on: 100,2020\n"), std::string::npos);
    EXPECT_NE(out.find("Point data format: 1, record length: 28, number of records: 10\n"), std::string::npos);
    EXPECT_NE(out.find("Number of points by return: 10,0,0,0,0\n"), std::string::npos);
    EXPECT_NE(out.find("Scale XYZ: 0.00025,0.01,0.01\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Offsets XYZ: 640000,5270000,100\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Min-Max XYZ: 273357.145-273642.856,0-1,0-1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Size of area: 1142.84"), std::string::npos) << out;
}

TEST(LASVarLenRecord, RoundTripZeroLengthAndTruncation) {
    TempDir dir;
    std::string path = dir.file("v.bin");
    LASVarLenRecord a, empty;
    a.Reserved = 0xAABB;
    std::strcpy(a.UserID, "LASF_Projection");
    a.RecordID = 34735;
    a.RecordLenAfterHeader = 5;
    a.CreateData();
    std::memcpy(a.Data.data(), "\x01\x02\x03\x04\x05", 5);
    std::strcpy(empty.UserID, "empty");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(a.Write(f));
    ASSERT_TRUE(empty.Write(f));
    std::fclose(f);
    auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 54u + 5 + 54);

    f = std::fopen(path.c_str(), "rb");
    LASVarLenRecord b, c;
    ASSERT_TRUE(b.Read(f));
    ASSERT_TRUE(c.Read(f)); // a record with no data is valid
    std::fclose(f);
    EXPECT_EQ(b.Reserved, 0xAABB);
    EXPECT_EQ(b.RecordID, 34735);
    EXPECT_EQ(b.Data, a.Data);
    EXPECT_EQ(std::string(c.UserID), "empty");
    EXPECT_TRUE(c.Data.empty());

    LASVarLenRecord copy;
    copy.Copy(b);
    b.Data[0] = 99; // the copy owns its own block
    EXPECT_EQ(copy.Data[0], 1);

    const std::pair<size_t, const char*> cuts[] = {{1, "Reserved"},  {10, "UserID"},
                                                   {19, "RecordID"}, {21, "RecordLenAfterHeader"},
                                                   {40, "Description"}, {57, "Data"}};
    for (auto [len, field] : cuts) {
        writeBytes(path, bytes, len);
        f = std::fopen(path.c_str(), "rb");
        LASVarLenRecord r;
        CaptureStdout();
        EXPECT_FALSE(r.Read(f));
        EXPECT_EQ(GetCapturedStdout(), std::string("Error: VarLenRecord::") + field);
        std::fclose(f);
    }
}

} // namespace
