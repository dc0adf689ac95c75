// The header block, point records and variable-length records: layout, validation messages, truncation.
#include "FileHandle.h"
#include "LASHeader.h"
#include "LASPoint.h"
#include "LASPoint_C.h"
#include "LASVarLenRecord.h"
#include "LasTestUtil.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <numeric>
#include <sstream>
#include <type_traits>

namespace {

Bytes block(const LASHeader& h) {
    Bytes b(LASHeader::BlockSize);
    h.copyToBuffer(b.data());
    return b;
}

// Read's result and messages for a header read from the given bytes through a real file.
struct ReadResult {
    bool ok = false;
    std::string log;
    LASHeader header;
};
ReadResult readHeader(const Bytes& bytes) {
    static TempDir dir;
    writeBytes(dir.file("h.las"), bytes);
    FilePtr f = openFile(dir.file("h.las").c_str(), "rb");
    ReadResult r;
    r.log = logOf([&] { r.ok = r.header.Read(f.get()); });
    return r;
}

// Each field that Read (and Write) refuses or warns about, with its message; whatever Read accepts it
// reads back whole.
TEST(LASHeader, ValidationMessages) {
    const char* version = "ReadError: Unknown Version (should be 1.0 or 1.1 or 1.2)";
    struct Case {
        const char* name;
        void (*mutate)(LASHeader&);
        bool ok;
        std::string message;
        bool writeSilent = false; // an empty file is nothing to warn about when writing
    } cases[] = {
        // clang-format off
        {"valid", [](LASHeader& x) { x.NumberOfPointsByReturn[4] = 0xDEADBEEF, x.Min_Z = -123.456789012; }, true, ""},
        {"signature", [](LASHeader& x) { x.FileSignature[3] = 'G'; }, false, "ReadError: Wrong File Signature"},
        {"version 1.3", [](LASHeader& x) { x.VersionMinor = 3; }, true, version},
        {"version 2.0", [](LASHeader& x) { x.VersionMajor = 2, x.VersionMinor = 0; }, true, version},
        {"header size 200", [](LASHeader& x) { x.HeaderSize = 200, x.OffsetToPointData = 227; }, true, "ReadError: Header size should be at least 227"},
        {"offset below header", [](LASHeader& x) { x.OffsetToPointData = 100; }, false, "ReadError: Offset to point data is smaller than header size"},
        // A short HeaderSize must not let points be read from inside the 227-byte block.
        {"offset inside block", [](LASHeader& x) { x.HeaderSize = 100, x.OffsetToPointData = 150; }, false,
         "ReadError: Header size should be at least 227ReadError: Offset to point data is smaller than header size"},
        {"format 2 length 28", [](LASHeader& x) { x.PointDataFormatID = 2, x.PointDataRecordLength = 28; }, true, "ReadError: Wrong point2 data record length"},
        {"format 4", [](LASHeader& x) { x.PointDataFormatID = 4; }, false, "ReadError: Unknown point data format"},
        {"zero points", [](LASHeader& x) { x.NumberOfPointRecords = 0; }, true, "ReadError: Number of point records is smaller then 0", true},
        // clang-format on
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        LASHeader m = LasBuilder().header();
        c.mutate(m);
        const auto r = readHeader(block(m));
        EXPECT_EQ(std::tuple(r.ok, r.log), std::tuple(c.ok, c.message));
        EXPECT_TRUE(!c.ok || block(r.header) == block(m));
        TempDir dir; // Write warns alike and puts out exactly the block, or nothing of what Read refuses
        FilePtr f = openFile(dir.file("w.las").c_str(), "wb");
        EXPECT_EQ(logOf([&] { EXPECT_EQ(m.Write(f.get()), c.ok); }), c.writeSilent ? "" : c.message);
        f.reset();
        EXPECT_EQ(readBytes(dir.file("w.las")), c.ok ? block(m) : Bytes());
    }
}

// Every truncation of the block fails, naming the first field it cuts.
TEST(LASHeader, TruncatedBlockNamesTheMissingField) {
    auto bytes = block(LasBuilder().header());
    // Pairs of a length and the first field a cut to that length does not hold whole.
    std::istringstream cuts("0 FileSignature 3 FileSignature 4 FileSourceID 23 GUIDdata4 26 SystemIdentifier "
                            "95 HeaderSize 104 PointDataFormatID 107 NumberOfPointRecords "
                            "130 NumberOfPointsByReturn 155 OffsetX 179 Max_X 215 Max_Z 226 Min_Z");
    size_t len;
    std::string field;
    while (cuts >> len >> field)
        EXPECT_EQ(readHeader(Bytes(bytes.begin(), bytes.begin() + len)).log,
                  "ReadError: FileHeader::" + field);
    for (size_t len = 0; len < bytes.size(); ++len)
        EXPECT_FALSE(readHeader(Bytes(bytes.begin(), bytes.begin() + len)).ok) << len;
}

// What CheckPointData and Problem accept, at the edges: a file one byte short, absurd counts and lengths.
TEST(LASHeader, PointDataChecksAtTheEdges) {
    const LasBuilder b{.extraPerPoint = 3, .vlrLengths = {10, 0}};
    const int64_t size = int64_t(b.bytes().size()), empty = 227 + 54 + 10 + 54;
    std::string why;
    LASHeader h = b.header();
    EXPECT_TRUE(h.CheckPointData(size, &why)) << why;
    EXPECT_FALSE(h.CheckPointData(size - 1, &why));
    EXPECT_NE(why.find("truncated"), std::string::npos) << why;
    const struct Case {
        const char* what;
        void (*change)(LASHeader&);
        int64_t size;
        bool accepted;
    } cases[] = {
        // clang-format off
        {"as built, with records and extra bytes", [](LASHeader&) {}, size, true},
        {"file size unknown", [](LASHeader& h) { h.NumberOfPointRecords = 0xFFFFFFFF; }, -1, true},
        {"more points than the file holds", [](LASHeader& h) { ++h.NumberOfPointRecords; }, size, false},
        {"no points, the file ending at the offset", [](LASHeader& h) { h.NumberOfPointRecords = 0; }, empty, true},
        {"no points, one byte short", [](LASHeader& h) { h.NumberOfPointRecords = 0; }, empty - 1, false},
        {"records filling the gap", [](LASHeader& h) { h.NumberOfVariableLengthRecords = 2; }, size, true},
        {"one record more than fits", [](LASHeader& h) { h.NumberOfVariableLengthRecords = 3; }, size, false},
        // clang-format on
    };
    for (const Case& c : cases) {
        h = b.header();
        c.change(h);
        EXPECT_EQ(h.Problem(c.size).empty(), c.accepted) << c.what << ": " << h.Problem(c.size);
    }
}

TEST(LASVarLenRecord, RoundTripZeroLengthAndTruncation) {
    TempDir dir;
    const std::string path = dir.file("v.bin");
    LASVarLenRecord a, empty, b, c;
    a.Reserved = 0xAABB, a.RecordID = 34735, a.RecordLenAfterHeader = 5;
    std::strcpy(a.UserID, "LASF_Projection"), std::strcpy(empty.UserID, "empty");
    a.CreateData(), std::memcpy(a.Data.data(), "\x01\x02\x03\x04\x05", 5);
    FilePtr f = openFile(path.c_str(), "wb");
    ASSERT_TRUE(a.Write(f.get()) && empty.Write(f.get()));
    f = openFile(path.c_str(), "rb"); // the assignment closes, and so flushes, the written file
    const auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 54u + 5 + 54);
    ASSERT_TRUE(b.Read(f.get()) && c.Read(f.get())); // a record with no data is valid
    EXPECT_EQ(std::tuple(b.Reserved, b.RecordID, b.Data), std::tuple(a.Reserved, a.RecordID, a.Data));
    EXPECT_EQ(std::tuple(std::string(c.UserID), c.Data.size()), std::tuple("empty", 0u));
    const std::pair<int, const char*> cuts[] = {{1, "Reserved"}, {21, "RecordLenAfterHeader"}, {57, "Data"}};
    for (auto [len, field] : cuts) {
        writeBytes(path, bytes, size_t(len));
        f = openFile(path.c_str(), "rb");
        EXPECT_EQ(logOf([&] { EXPECT_FALSE(b.Read(f.get())); }),
                  std::string("Error: VarLenRecord::") + field);
    }
}

template <typename P> class PointFamilies : public ::testing::Test {};
using AllRecords = ::testing::Types<LASPoint0, LASPoint1, LASPoint2, LASPoint3, LASPoint0_C, LASPoint1_C,
                                    LASPoint2_C, LASPoint3_C>;
TYPED_TEST_SUITE(PointFamilies, AllRecords);

// Coordinates wrap to 32 bits; each setter masks its value and leaves the neighbouring bits alone;
// optional fields exist only in their formats.
TYPED_TEST(PointFamilies, BitFieldsAndOptionalFields) {
    TypeParam p;
    auto flags = [&] {
        return std::array<int, 4>{p.GetReturnNumber(), p.GetNumberOfReturns(), p.GetScanDirectionFlag(),
                                  p.GetEdgeOfFlightLine()};
    };
    if constexpr (std::is_base_of_v<LASPoint, TypeParam>) { // 64-bit setters wrap like the stored words
        p.SetX(-5), p.SetY((int64_t(1) << 32) + 5), p.SetZ(int64_t(INT32_MAX) + 1);
        EXPECT_EQ(std::tuple(p.GetX(), p.GetY(), p.GetZ()), std::tuple(-5, 5, INT32_MIN));
    }
    p.SetNumberOfReturns(5), p.SetScanDirectionFlag(1), p.SetReturnNumber(9); // masked to 3 bits
    EXPECT_EQ(flags(), (std::array<int, 4>{1, 5, 1, 0}));
    p.SetReturnNumber(7), p.SetNumberOfReturns(7), p.SetEdgeOfFlightLine(1);
    EXPECT_EQ(flags(), (std::array<int, 4>{7, 7, 1, 1}));
    p.SetEdgeOfFlightLine(0), p.SetScanDirectionFlag(2); // masked to 1 bit: clears
    EXPECT_EQ(flags(), (std::array<int, 4>{7, 7, 0, 0}));

    const int format = p.GetPointType();
    const bool gps = format == 1 || format == 3, rgb = format == 2 || format == 3;
    p.SetGPSTime(1.5), p.SetRed(1), p.SetGreen(2), p.SetBlue(3);
    EXPECT_EQ(p.GetGPSTime(), gps ? 1.5 : 0.0);
    EXPECT_EQ((std::array<int, 3>{p.GetRed(), p.GetGreen(), p.GetBlue()}),
              (rgb ? std::array<int, 3>{1, 2, 3} : std::array<int, 3>{}));
}

// The record layout, checked byte by byte against hand-placed fields, and through a real file.
TEST(LASPoint, PackedLayoutMatchesTheFileFormat) {
    Bytes rec(34);
    std::iota(rec.begin(), rec.end(), 1);
    double t;
    std::memcpy(&t, rec.data() + 20, 8);
    LASPoint3 p(rec.data());
    EXPECT_EQ(std::tuple(p.GetX(), p.GetY(), p.GetZ(), p.GetIntensity(), p.GetPointSourceID()),
              std::tuple(0x04030201, 0x08070605, 0x0C0B0A09, 0x0E0D, 0x1413));
    EXPECT_EQ((std::array<int, 4>{p.GetReturnNumber(), p.GetClasification(), p.GetScanAngleRank(),
                                  p.GetUserData()}),
              (std::array<int, 4>{15 & 7, 16, 17, 18}));
    EXPECT_EQ(p.GetGPSTime(), t);
    EXPECT_EQ((std::array<int, 3>{p.GetRed(), p.GetGreen(), p.GetBlue()}),
              (std::array<int, 3>{0x1E1D, 0x201F, 0x2221}));
    LASPoint2 q(rec.data());
    EXPECT_EQ(std::tuple(q.GetRed(), q.GetBlue()), std::tuple(0x1615, 0x1A19)); // colour right after the core
    EXPECT_EQ(packed(&p), rec);
    EXPECT_TRUE(!newLASPoint(4) && !newLASPoint(-1));

    TempDir dir;
    writeBytes(dir.file("p.bin"), rec, 28);
    FilePtr f = openFile(dir.file("p.bin").c_str(), "rb");
    LASPoint1 one;
    ASSERT_TRUE(one.Read(f.get()));
    EXPECT_EQ(one.GetGPSTime(), t);
    EXPECT_FALSE(one.Read(f.get())); // end of file
    f = openFile(dir.file("q.bin").c_str(), "wb");
    ASSERT_TRUE(one.Write(f.get()));
    f.reset();
    EXPECT_EQ(readBytes(dir.file("q.bin")), Bytes(rec.begin(), rec.begin() + 28));
    writeBytes(dir.file("p.bin"), rec, 27); // a short record is a failed read
    f = openFile(dir.file("p.bin").c_str(), "rb");
    EXPECT_FALSE(one.Read(f.get()));
}

} // namespace
