// The compressor's file object and its 232-byte header: header form conversions, the record area rules,
// reading and writing, attribute extraction, and damaged or hostile files (run under AddressSanitizer).
#include "CLASFile_C.h"
#include "LasTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>

namespace {

using las_detail::loadLE;
using las_detail::storeLE;

// The 232-byte form keeps the 227 bytes in place around its two pads, which read as don't-care and write as
// zeros.
TEST(LASHeader_C, ConvertsBetweenTheTwoFormsByteExact) {
    std::mt19937 rng(7);
    for (int round = 0; round < 5; ++round) {
        Bytes in(LASHeader::BlockSize), aligned(LASHeader_C::BlockSize, 0xEE), back(aligned.size()),
            out(in.size());
        for (auto& c : in)
            c = uint8_t(rng() % 255 + 1); // never zero, so a byte left unset shows
        LASHeader_C h, again;
        h.copyFromLASBuffer(in.data());
        h.copyToBuffer(aligned.data());
        Bytes expected = in; // 0-104, pad at 105, record length and counts, pad at 132-135, the doubles
        expected.insert(expected.begin() + 131, 4, 0);
        expected.insert(expected.begin() + 105, 0);
        ASSERT_EQ(aligned, expected) << round;
        aligned[105] = 0x77, aligned[133] = 0x66; // junk in unused bytes is ignored and written back as zero
        again.copyFromBuffer(aligned.data());
        again.copyToBuffer(back.data());
        EXPECT_EQ(back, expected);
        again.copyToLASBuffer(out.data());
        EXPECT_EQ(out, in);
        LASHeader_C(again.toLASHeader()).copyToLASBuffer(out.data());
        EXPECT_EQ(out, in);
    }
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
    storeLE<uint16_t>(p.bytes.data() + 227 + 84 + 20, 200);
    writeBytes(p.in, p.bytes);
    EXPECT_EQ(f.ReadVLR(), std::vector<uint32_t>{0});
    storeLE<uint16_t>(p.bytes.data() + 227 + 20, 0xFFFF);
    writeBytes(p.in, p.bytes);
    EXPECT_TRUE(f.ReadVLR().empty());
    EXPECT_EQ(f.RecordArea().size(), b.vlrBytes());
}

// Point writes set their progress, then advance it; the extractors count none under 100 records.
TEST(CLASFile_C, WriteAndExtractionProgress) {
    TempDir dir;
    for (auto [count, expected] : {std::pair{250u, 125u}, {50u, 1u}, {100u, 100u}, {1u, 1u}}) {
        const auto p = place(dir, {.points = count});
        CLASFile_C f;
        f.ReadFile(p.in.c_str(), nullptr);
        unsigned int progress = 999;
        f.WriteFile(p.out.c_str(), &progress);
        EXPECT_EQ(progress, expected) << count;
        f.WriteHeader();
        f.WriteVRL();
        progress = 999;
        f.WriteRecords(p.bytes.data() + p.b.offsetToPoints(), count, &progress);
        f.CloseFile();
        EXPECT_EQ(progress, expected) << count;
        progress = 0;
        delete[] f.GetClassification(&progress);
        EXPECT_EQ(progress, count >= 100 ? expected : 0u) << count;
    }
    EXPECT_TRUE(!CLASFile_C().GetIntensity(nullptr) && !CLASFile_C().GetPoint(0));
}

TEST(CLASFile_C, PointsInMemoryAndOwnership) {
    CLASFile_C f;
    auto* h = new LASHeader_C();
    h->PointDataFormatID = 3;
    h->NumberOfPointRecords = 5;
    f.SetHeader(h);
    f.initializePoints();
    ASSERT_EQ(f.Points().size(), 5u);
    for (auto& p : f.Points())
        EXPECT_EQ(packed(p.get()), Bytes(34, 0));
    const long long times[5] = {0, -7, 1LL << 40, 123456789012345LL, 3};
    f.SetGPSTime(times);
    EXPECT_EQ(f.Points()[3]->GetGPSTime(), 123456789012345.0);
    f.Points()[0]->SetX(9); // again: fresh zeroed records of the new format
    h->NumberOfPointRecords = 2, h->PointDataFormatID = 0;
    f.initializePoints();
    ASSERT_EQ(f.Points().size(), 2u);
    EXPECT_EQ(packed(f.Points()[0].get()), Bytes(20, 0));
    h->PointDataFormatID = 7;
    EXPECT_REASON(f.initializePoints(), "CLasFile::CreatePoints");
    f.SetHeader(f.GetHeader()); // handing back its own header keeps it
    ASSERT_EQ(f.GetHeader(), h);
    f.SetVLRecord({1, 2, 3}, {0});
    f.ClearFile();
    EXPECT_FALSE(f.UpdateHeader());
    EXPECT_TRUE(f.RecordArea().empty() && f.RecordPositions().empty() && f.Points().empty());
    TempDir dir; // without a header nothing is written
    f.WriteFile(dir.file("none.las").c_str(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.las")));
}

// Points and raw records written back keep every byte they carry; header bytes past the block and a
// 1-byte gap are written as zeros, point writes zero-fill past each point's fields.
TEST(CLASFile_C, RoundTripKeepsEveryByteItCarries) {
    TempDir dir;
    std::vector<LasBuilder> cases = {
        {.format = 1, .points = 250, .extraPerPoint = 8, .headerExtra = 6, .vlrLengths = {9}},
        {.format = 0, .gap = 1}};
    for (int f = 0; f < 4; ++f)
        for (LasBuilder b : {LasBuilder{.format = f, .points = 1234},
                             {.format = f, .points = 1234, .vlrLengths = {16, 0, 40}},
                             {.format = f, .points = 1234, .gap = 37, .vlrLengths = {16}},
                             {.format = f, .points = 0}})
            cases.push_back(b);
    for (const LasBuilder& b : cases) {
        SCOPED_TRACE(&b - cases.data());
        const auto p = place(dir, b);
        auto expected = p.bytes;
        std::fill_n(expected.begin() + 227, b.headerExtra + (b.gap == 1 && b.vlrLengths.empty()), 0);
        CLASFile_C g(p.in.c_str()); // records held as bytes, written in two steps
        g.ReadVRL();
        g.SetPath(p.out.c_str());
        g.WriteHeader();
        g.WriteVRL();
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
    storeLE<uint16_t>(p.bytes.data() + 94, 200);
    writeBytes(p.in, p.bytes);
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
}

} // namespace
