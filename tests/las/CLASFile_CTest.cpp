// The compressor's file object and its 232-byte header: conversions between the two header forms, the
// record area rules, reading and writing by path, attribute extraction, and damaged or hostile files
// (run under AddressSanitizer).
#include "CLASFile_C.h"
#include "LasBuilder.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>

namespace {

using las_detail::loadLE;
using las_detail::storeLE;

std::vector<unsigned char> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> b(n);
    for (auto& c : b)
        c = uint8_t(rng() % 255 + 1); // never zero, so a byte left unset shows
    return b;
}

std::string writeLas(const TempDir& dir, const std::string& name, const std::vector<unsigned char>& bytes) {
    std::string path = dir.file(name);
    writeBytes(path, bytes);
    return path;
}

// The point's record bytes in its format.
std::vector<unsigned char> packed(LASPoint_C* p) {
    std::vector<unsigned char> b(size_t(las_detail::formatSize(p->GetPointType())));
    p->copyToBuffer(b.data());
    return b;
}

// Point i of a builder's file in the packed layout of its format.
std::vector<unsigned char> builderRecord(const LasBuilder& b, uint32_t i) {
    unsigned char rec[64] = {};
    auto f = LasBuilder::pointFields(i);
    switch (b.format) {
    case 0:
        f.pack<0>(rec);
        break;
    case 1:
        f.pack<1>(rec);
        break;
    case 2:
        f.pack<2>(rec);
        break;
    case 3:
        f.pack<3>(rec);
        break;
    }
    return std::vector<unsigned char>(rec, rec + las_detail::formatSize(b.format));
}

// Runs fn and returns the reason of the CLasException it throws; fails the test when it throws none.
template <typename Fn> std::string reasonOf(Fn&& fn) {
    try {
        fn();
    } catch (const CLasException& e) {
        return e.what();
    }
    ADD_FAILURE() << "no CLasException thrown";
    return "";
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// While in scope, the process may map only about 512 MiB more than it has now, so an allocation that a
// hostile header asks for fails with std::bad_alloc instead of passing unnoticed. AddressSanitizer's own
// reservations need an unlimited address space: there the cap is left off.
class AddressSpaceCap {
public:
    AddressSpaceCap() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        std::ifstream status("/proc/self/status");
        std::string key;
        uint64_t kib = 0;
        while (status >> key)
            if (key == "VmSize:" && status >> kib)
                break;
        if (kib == 0 || getrlimit(RLIMIT_AS, &saved_) != 0)
            return;
        rlimit capped = saved_;
        capped.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, rlim_t(kib) * 1024 + (rlim_t(512) << 20));
        active_ = setrlimit(RLIMIT_AS, &capped) == 0;
#endif
    }
    ~AddressSpaceCap() {
        if (active_)
            setrlimit(RLIMIT_AS, &saved_);
    }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;

private:
    rlimit saved_{};
    bool active_ = false;
};

// ---------------------------------------------------------------- LASHeader_C

TEST(LASHeader_C, DefaultHeaderIsAllZero) {
    LASHeader_C h;
    std::vector<unsigned char> block(LASHeader_C::BlockSize, 0xAB);
    h.copyToBuffer(block.data());
    EXPECT_EQ(block, std::vector<unsigned char>(LASHeader_C::BlockSize, 0));
    std::vector<unsigned char> las(LASHeader::BlockSize, 0xAB);
    h.copyToLASBuffer(las.data());
    EXPECT_EQ(las, std::vector<unsigned char>(LASHeader::BlockSize, 0));
}

TEST(LASHeader_C, CopiesEveryFieldToAndFromLASHeader) {
    for (uint32_t seed = 1; seed <= 5; ++seed) {
        auto bytes = randomBytes(LASHeader::BlockSize, seed);
        LASHeader las;
        las.copyFromBuffer(bytes.data());

        LASHeader_C c(las);
        std::vector<unsigned char> out(LASHeader::BlockSize);
        c.copyToLASBuffer(out.data());
        EXPECT_EQ(out, bytes) << seed;

        std::vector<unsigned char> back(LASHeader::BlockSize);
        c.toLASHeader().copyToBuffer(back.data());
        EXPECT_EQ(back, bytes) << seed;
    }
}

TEST(LASHeader_C, AlignedFormMovesTheFieldsAfterTheFormat) {
    for (uint32_t seed = 10; seed < 15; ++seed) {
        auto las = randomBytes(LASHeader::BlockSize, seed);
        LASHeader_C h;
        h.copyFromLASBuffer(las.data());
        std::vector<unsigned char> aligned(LASHeader_C::BlockSize, 0xEE);
        h.copyToBuffer(aligned.data());

        for (int i = 0; i < 105; ++i)
            ASSERT_EQ(aligned[i], las[i]) << i;
        EXPECT_EQ(aligned[105], 0);
        for (int i = 0; i < 26; ++i) // record length, point count, points by return
            ASSERT_EQ(aligned[106 + i], las[105 + i]) << i;
        for (int i = 132; i < 136; ++i)
            EXPECT_EQ(aligned[i], 0) << i;
        for (int i = 0; i < 96; ++i) // the twelve doubles
            ASSERT_EQ(aligned[136 + i], las[131 + i]) << i;

        // And back: the aligned form parsed gives the same LAS bytes.
        LASHeader_C again;
        again.copyFromBuffer(aligned.data());
        std::vector<unsigned char> out(LASHeader::BlockSize);
        again.copyToLASBuffer(out.data());
        EXPECT_EQ(out, las);
    }
}

TEST(LASHeader_C, AlignedFieldsSitAtTheirOffsets) {
    LASHeader_C h;
    h.PointDataFormatID = 3;
    h.PointDataRecordLength = 0x1234;
    h.NumberOfPointRecords = 0x89ABCDEF;
    for (int i = 0; i < 5; ++i)
        h.NumberOfPointsByReturn[i] = 0x01010101u * uint32_t(i + 1);
    h.ScaleFactor_X = 0.25;
    h.Min_Z = -1234.5;
    unsigned char b[LASHeader_C::BlockSize];
    h.copyToBuffer(b);
    EXPECT_EQ(b[104], h.PointDataFormatID);
    EXPECT_EQ(loadLE<uint16_t>(b + 106), h.PointDataRecordLength);
    EXPECT_EQ(loadLE<uint32_t>(b + 108), h.NumberOfPointRecords);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(loadLE<uint32_t>(b + 112 + 4 * i), h.NumberOfPointsByReturn[i]);
    EXPECT_EQ(loadLE<double>(b + 136), h.ScaleFactor_X);
    EXPECT_EQ(loadLE<double>(b + 136 + 11 * 8), h.Min_Z);

    // Unused bytes carry no meaning: whatever they hold is ignored.
    b[105] = 0x77;
    b[133] = 0x66;
    LASHeader_C parsed;
    parsed.copyFromBuffer(b);
    unsigned char again[LASHeader_C::BlockSize];
    parsed.copyToBuffer(again);
    EXPECT_EQ(again[105], 0);
    EXPECT_EQ(again[133], 0);
    b[105] = b[133] = 0;
    EXPECT_EQ(std::memcmp(again, b, sizeof b), 0);
}

TEST(LASHeader_C, FormatRecordSizeFollowsTheFormat) {
    LASHeader_C h;
    LASHeader las;
    for (int f = 0; f < 256; ++f) {
        h.PointDataFormatID = uint8_t(f);
        las.PointDataFormatID = uint8_t(f);
        EXPECT_EQ(h.FormatRecordSize(), las_detail::formatSize(f));
        EXPECT_EQ(h.FormatRecordSize(), las.FormatRecordSize());
    }
    h.PointDataFormatID = 1;
    EXPECT_GT(h.FormatRecordSize(), 0);
    h.PointDataFormatID = 4;
    EXPECT_EQ(h.FormatRecordSize(), 0);
}

// ---------------------------------------------------------------- header and record area

TEST(CLASFile_C, ReadHeaderTakesTheLASBlock) {
    TempDir dir;
    LasBuilder b;
    b.format = 2;
    auto bytes = b.bytes();
    std::string path = writeLas(dir, "a.las", bytes);

    CLASFile_C f(path.c_str());
    EXPECT_EQ(f.GetPath(), path);
    ASSERT_NE(f.GetHeader(), nullptr);
    EXPECT_TRUE(f.UpdateHeader());
    std::vector<unsigned char> out(LASHeader::BlockSize);
    f.GetHeader()->copyToLASBuffer(out.data());
    EXPECT_EQ(out, std::vector<unsigned char>(bytes.begin(), bytes.begin() + LASHeader::BlockSize));
    EXPECT_EQ(f.GetHeader()->NumberOfPointRecords, b.points);

    // Too short for a header, or missing: no header, whatever was there before.
    std::string shortPath =
        writeLas(dir, "short.las", std::vector<unsigned char>(bytes.begin(), bytes.begin() + 226));
    f.SetPath(shortPath.c_str());
    EXPECT_FALSE(f.ReadHeader());
    EXPECT_EQ(f.GetHeader(), nullptr);
    EXPECT_FALSE(f.UpdateHeader());
    f.OpenFile(path.c_str());
    ASSERT_NE(f.GetHeader(), nullptr);
    f.OpenFile(dir.file("missing.las").c_str());
    EXPECT_EQ(f.GetHeader(), nullptr);
}

TEST(CLASFile_C, TwoByteGapHasNoListAndIsWrittenAsTheStartSignature) {
    TempDir dir;
    LasBuilder b;
    b.gap = 2;
    b.versionMinor = 0;
    auto bytes = b.bytes();
    std::string in = writeLas(dir, "in.las", bytes), out = dir.file("out.las");

    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    EXPECT_TRUE(f.RecordArea().empty());
    EXPECT_TRUE(f.RecordPositions().empty());
    EXPECT_EQ(f.GetHeader()->NumberOfVariableLengthRecords, 0u);
    EXPECT_EQ(f.GetHeader()->FileSignature[0], 'L');

    f.WriteFile(out.c_str(), nullptr);
    EXPECT_EQ(f.GetPath(), out);
    auto written = readBytes(out);
    ASSERT_EQ(written.size(), bytes.size());
    const size_t at = b.offsetToPoints() - 2;
    EXPECT_EQ(written[at], 0xDD);
    EXPECT_EQ(written[at + 1], 0xCC);
    // Everything else is unchanged: the builder's gap bytes are not the signature.
    ASSERT_FALSE(bytes[at] == 0xDD && bytes[at + 1] == 0xCC);
    written[at] = bytes[at];
    written[at + 1] = bytes[at + 1];
    EXPECT_EQ(written, bytes);
}

TEST(CLASFile_C, TenByteGapIsCarriedAsOnePseudoRecord) {
    TempDir dir;
    LasBuilder b;
    b.gap = 10;
    auto bytes = b.bytes();
    std::string in = writeLas(dir, "in.las", bytes);

    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    LASHeader_C* h = f.GetHeader();
    EXPECT_EQ(h->FileSignature[0], 'V');
    EXPECT_EQ(h->NumberOfVariableLengthRecords, 1u);
    EXPECT_EQ(f.RecordArea(), std::vector<unsigned char>(bytes.begin() + 227, bytes.begin() + 237));
    EXPECT_EQ(f.RecordPositions(), std::vector<uint32_t>{0});
    // Reading the area again leaves the same state.
    f.ReadVRL();
    EXPECT_EQ(h->NumberOfVariableLengthRecords, 1u);
    EXPECT_EQ(f.RecordArea().size(), 10u);

    std::string out = dir.file("out.las");
    f.WriteFile(out.c_str(), nullptr);
    EXPECT_EQ(readBytes(out), bytes); // count 0 in the written header
    EXPECT_EQ(h->FileSignature[0], 'L');
    EXPECT_EQ(h->NumberOfVariableLengthRecords, 1u);
    // A second write still knows the one record is the gap.
    std::string again = dir.file("again.las");
    f.WriteFile(again.c_str(), nullptr);
    EXPECT_EQ(readBytes(again), bytes);
    // A header handed over afresh is taken as it stands: one record.
    f.SetHeader(new LASHeader_C(*f.GetHeader()));
    f.WriteFile(again.c_str(), nullptr);
    EXPECT_EQ(loadLE<uint32_t>(readBytes(again).data() + 100), 1u);
}

TEST(CLASFile_C, RecordPositionsStepByDeclaredLengths) {
    TempDir dir;
    LasBuilder b;
    b.vlrLengths = {30, 0};
    auto bytes = b.bytes();
    std::string in = writeLas(dir, "in.las", bytes);

    CLASFile_C f(in.c_str());
    auto positions = f.ReadVLR();
    EXPECT_EQ(positions, (std::vector<uint32_t>{0, 84}));
    EXPECT_EQ(f.RecordPositions(), positions);
    EXPECT_EQ(f.RecordArea(),
              std::vector<unsigned char>(bytes.begin() + 227, bytes.begin() + b.offsetToPoints()));
    EXPECT_EQ(f.GetHeader()->FileSignature[0], 'L');

    f.DeleteRecords();
    EXPECT_TRUE(f.RecordArea().empty());
    EXPECT_TRUE(f.RecordPositions().empty());
}

TEST(CLASFile_C, PositionsListOnlyRecordsInsideTheArea) {
    TempDir dir;
    LasBuilder b;
    b.vlrLengths = {30, 10, 5};
    auto bytes = b.bytes();
    // The second record claims more data than the area holds: the list ends before it.
    storeLE<uint16_t>(bytes.data() + 227 + 84 + 20, 200);
    std::string in = writeLas(dir, "in.las", bytes);
    CLASFile_C f(in.c_str());
    EXPECT_EQ(f.ReadVLR(), std::vector<uint32_t>{0});
    EXPECT_EQ(f.RecordArea().size(), b.vlrBytes());

    // The first one likewise: no positions at all, the area still read whole.
    storeLE<uint16_t>(bytes.data() + 227 + 20, 0xFFFF);
    writeBytes(in, bytes);
    EXPECT_TRUE(f.ReadVLR().empty());
    EXPECT_EQ(f.RecordArea().size(), b.vlrBytes());
}

TEST(CLASFile_C, RecordAreaThatCannotBeReadThrows) {
    TempDir dir;
    LasBuilder b;
    b.vlrLengths = {30};
    const auto good = b.bytes();
    std::string in = dir.file("in.las");
    auto patched = [&](auto edit) {
        auto bytes = good;
        edit(bytes.data());
        writeBytes(in, bytes);
        auto f = std::make_unique<CLASFile_C>(in.c_str());
        return f;
    };

    AddressSpaceCap cap;
    // More records than the area can hold.
    auto f = patched([](unsigned char* p) { storeLE<uint32_t>(p + 100, 0xFFFFFFFF); });
    std::string why = reasonOf([&] { f->ReadVRL(); });
    EXPECT_TRUE(startsWith(why, "ReadError::LAS VRL")) << why;
    EXPECT_TRUE(f->RecordArea().empty());

    // HeaderSize beyond the point data.
    f = patched([](unsigned char* p) { storeLE<uint16_t>(p + 94, 0xFFFF); });
    EXPECT_EQ(reasonOf([&] { f->ReadVRL(); }), "ReadError::LAS VRL");

    // An area running past the end of the file, with or without records.
    f = patched([](unsigned char* p) { storeLE<uint32_t>(p + 96, 0xFFFFFFF0); });
    EXPECT_EQ(reasonOf([&] { f->ReadVRL(); }), "ReadError::LAS VRL");
    f = patched([](unsigned char* p) {
        storeLE<uint32_t>(p + 96, 0xFFFFFFF0);
        storeLE<uint32_t>(p + 100, 0);
    });
    EXPECT_EQ(reasonOf([&] { f->ReadVRL(); }), "ReadError::LAS VRL");
    EXPECT_EQ(f->GetHeader()->FileSignature[0], 'L'); // a failed read changes nothing
    EXPECT_EQ(f->GetHeader()->NumberOfVariableLengthRecords, 0u);

    // A file that has gone.
    f = patched([](unsigned char*) {});
    std::filesystem::remove(in);
    EXPECT_EQ(reasonOf([&] { f->ReadVRL(); }), "ReadError::File could not be open.");
}

// ---------------------------------------------------------------- reading points

TEST(CLASFile_C, GetPointReadsRecordsByTheHeaderRecordLength) {
    TempDir dir;
    for (int format = 0; format < 4; ++format)
        for (int extra : {0, 6}) {
            SCOPED_TRACE("format " + std::to_string(format) + " extra " + std::to_string(extra));
            LasBuilder b;
            b.format = format;
            b.points = 40;
            b.extraPerPoint = extra;
            b.vlrLengths = {12};
            std::string in = writeLas(dir, "in.las", b.bytes());
            CLASFile_C f(in.c_str());
            for (uint32_t i = 0; i < b.points; ++i) {
                std::unique_ptr<LASPoint_C> p(f.GetPoint(i));
                ASSERT_NE(p.get(), nullptr);
                EXPECT_EQ(p->GetPointType(), format);
                ASSERT_EQ(packed(p.get()), builderRecord(b, i)) << i;
            }
            EXPECT_EQ(f.GetPoint(b.points), nullptr);
            EXPECT_EQ(f.GetPoint(uint64_t(1) << 40), nullptr);
        }
    CLASFile_C none;
    EXPECT_EQ(none.GetPoint(0), nullptr);
}

TEST(CLASFile_C, GetPointsReadsARangeWithProgress) {
    TempDir dir;
    LasBuilder b;
    b.format = 3;
    b.points = 300;
    b.vlrLengths = {20, 3};
    std::string in = writeLas(dir, "in.las", b.bytes());
    CLASFile_C f(in.c_str());

    unsigned int progress = 0;
    LASPoint_C** pts = f.GetPoints(50, 250, &progress);
    ASSERT_NE(pts, nullptr);
    EXPECT_EQ(progress, 125u); // every second record
    for (uint32_t i = 0; i < 250; ++i) {
        ASSERT_EQ(pts[i]->GetPointType(), 3);
        ASSERT_EQ(packed(pts[i]), builderRecord(b, 50 + i)) << i;
    }
    CLASFile_C::FreePoints(pts, 250);

    progress = 0;
    pts = f.GetPoints(0, 50, &progress);
    EXPECT_EQ(progress, 50u);
    CLASFile_C::FreePoints(pts, 50);

    EXPECT_EQ(f.GetPoints(0, 0, nullptr), nullptr);
    std::string why = reasonOf([&] { f.GetPoints(1, b.points, nullptr); });
    EXPECT_TRUE(startsWith(why, "ReadError::LAS Points")) << why;
    why = reasonOf([&] { f.GetPoints(uint64_t(1) << 62, uint64_t(1) << 62, nullptr); });
    EXPECT_TRUE(startsWith(why, "ReadError::LAS Points")) << why;

    f.GetHeader()->NumberOfPointRecords = 0;
    EXPECT_EQ(f.GetPoints(0, 10, nullptr), nullptr);
}

TEST(CLASFile_C, ReadFileLoadsHeaderAreaAndEveryPoint) {
    TempDir dir;
    for (int format = 0; format < 4; ++format) {
        SCOPED_TRACE(format);
        LasBuilder b;
        b.format = format;
        b.points = 250;
        b.vlrLengths = {7, 0, 19};
        b.extraPerPoint = format; // record length above the format's size for all but format 0
        std::string in = writeLas(dir, "in.las", b.bytes());
        CLASFile_C f;
        unsigned int progress = 0;
        f.ReadFile(in.c_str(), &progress);
        EXPECT_EQ(progress, 125u);
        const uint32_t second = 54 + 7, third = second + 54 + 0;
        EXPECT_EQ(f.RecordPositions(), (std::vector<uint32_t>{0, second, third}));
        ASSERT_EQ(f.Points().size(), b.points);
        for (uint32_t i = 0; i < b.points; ++i)
            ASSERT_EQ(packed(f.Points()[i].get()), builderRecord(b, i)) << i;
    }
}

TEST(CLASFile_C, AttributesMatchThePoints) {
    TempDir dir;
    for (int format = 0; format < 4; ++format) {
        SCOPED_TRACE(format);
        LasBuilder b;
        b.format = format;
        b.points = 250;
        b.extraPerPoint = 3;
        b.vlrLengths = {10};
        std::string in = writeLas(dir, "in.las", b.bytes());
        CLASFile_C f(in.c_str());
        const size_t n = b.points;

        unsigned int progress = 0;
        std::unique_ptr<float[]> xyz(f.GetCoordinate(&progress));
        EXPECT_EQ(progress, 125u);
        progress = 0;
        std::unique_ptr<uint16_t[]> intensity(f.GetIntensity(&progress));
        EXPECT_EQ(progress, 125u);
        std::unique_ptr<uint8_t[]> returns(f.GetReturns(nullptr));
        std::unique_ptr<uint8_t[]> classes(f.GetClassification(nullptr));
        std::unique_ptr<int8_t[]> angles(f.GetAngle(nullptr));
        std::unique_ptr<int64_t[]> times(f.GetGPSTime(nullptr));
        std::unique_ptr<float[]> colours(f.GetColor(nullptr));
        ASSERT_TRUE(xyz && intensity && returns && classes && angles && times && colours);

        for (size_t i = 0; i < n; ++i) {
            std::unique_ptr<LASPoint_C> p(f.GetPoint(i));
            ASSERT_NE(p.get(), nullptr);
            EXPECT_EQ(xyz[3 * i], float(p->GetX()));
            EXPECT_EQ(xyz[3 * i + 1], float(p->GetY()));
            EXPECT_EQ(xyz[3 * i + 2], float(p->GetZ()));
            EXPECT_EQ(intensity[i], p->GetIntensity());
            EXPECT_EQ(returns[i], p->GetReturnNumber() | p->GetNumberOfReturns() << 3 |
                                      p->GetScanDirectionFlag() << 6 | p->GetEdgeOfFlightLine() << 7);
            EXPECT_EQ(classes[i], p->GetClasification());
            EXPECT_EQ(angles[i], p->GetScanAngleRank());
            EXPECT_EQ(times[i], p->GetGPSTimeInt64());
            EXPECT_EQ(colours[3 * i], p->GetRed() / 65535.0f);
            EXPECT_EQ(colours[3 * i + 1], p->GetGreen() / 65535.0f);
            EXPECT_EQ(colours[3 * i + 2], p->GetBlue() / 65535.0f);
            const LASHeader_C& h = *f.GetHeader();
            auto real = f.TransformCoord(p.get());
            EXPECT_EQ(real[0], float(p->GetX() * h.ScaleFactor_X + h.OffsetX));
            EXPECT_EQ(real[1], float(p->GetY() * h.ScaleFactor_Y + h.OffsetY));
            EXPECT_EQ(real[2], float(p->GetZ() * h.ScaleFactor_Z + h.OffsetZ));
        }
        // The extractors see the fields the format has: time and colour are not all zero where present.
        bool anyTime = false, anyColour = false;
        for (size_t i = 0; i < n; ++i) {
            anyTime |= times[i] != 0;
            anyColour |= colours[3 * i] != 0.0f;
        }
        EXPECT_EQ(anyTime, las_detail::formatHasGPSTime(format));
        EXPECT_EQ(anyColour, las_detail::formatHasColor(format));
    }
}

TEST(CLASFile_C, ExtractorsCountNoProgressBelowOneHundredRecords) {
    TempDir dir;
    LasBuilder b;
    b.points = 50;
    std::string in = writeLas(dir, "in.las", b.bytes());
    CLASFile_C f(in.c_str());
    unsigned int progress = 0;
    std::unique_ptr<uint8_t[]> classes(f.GetClassification(&progress));
    ASSERT_NE(classes, nullptr);
    EXPECT_EQ(progress, 0u);
    for (uint32_t i = 0; i < b.points; ++i)
        EXPECT_EQ(classes[i], LasBuilder::pointFields(i).classification);

    CLASFile_C none;
    EXPECT_EQ(none.GetIntensity(nullptr), nullptr);
}

// ---------------------------------------------------------------- points in memory

TEST(CLASFile_C, InitializePointsMakesZeroedRecordsOfTheHeaderFormat) {
    CLASFile_C f;
    auto* h = new LASHeader_C();
    h->PointDataFormatID = 3;
    h->PointDataRecordLength = 34;
    h->NumberOfPointRecords = 5;
    f.SetHeader(h);
    EXPECT_EQ(f.GetHeader(), h);
    f.initializePoints();
    ASSERT_EQ(f.Points().size(), 5u);
    for (auto& p : f.Points()) {
        ASSERT_NE(dynamic_cast<LASPoint3_C*>(p.get()), nullptr);
        EXPECT_EQ(packed(p.get()), std::vector<unsigned char>(34, 0));
        EXPECT_EQ(p->GetGPSTime(), 0.0);
        EXPECT_FALSE(p->IsWithheld());
    }
    // Again after changes: fresh records, the old ones released.
    f.Points()[0]->SetX(9);
    h->NumberOfPointRecords = 2;
    h->PointDataFormatID = 0;
    f.initializePoints();
    ASSERT_EQ(f.Points().size(), 2u);
    EXPECT_NE(dynamic_cast<LASPoint0_C*>(f.Points()[0].get()), nullptr);
    EXPECT_EQ(f.Points()[0]->GetX(), 0);

    f.CreatePoints();
    ASSERT_EQ(f.Points().size(), 2u);
    EXPECT_EQ(f.Points()[0].get(), nullptr);
    f.DeletePoints();
    EXPECT_TRUE(f.Points().empty());

    h->PointDataFormatID = 7;
    std::string why = reasonOf([&] { f.initializePoints(); });
    EXPECT_TRUE(startsWith(why, "CLasFile::CreatePoints")) << why;
}

TEST(CLASFile_C, SetGPSTimeConvertsEachValue) {
    for (int format : {1, 3, 0}) {
        CLASFile_C f;
        auto* h = new LASHeader_C();
        h->PointDataFormatID = uint8_t(format);
        h->NumberOfPointRecords = 4;
        f.SetHeader(h);
        f.initializePoints();
        const long long values[4] = {0, -7, 1LL << 40, 123456789012345LL};
        f.SetGPSTime(values);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(f.Points()[i]->GetGPSTime(),
                      las_detail::formatHasGPSTime(format) ? static_cast<double>(values[i]) : 0.0);
    }
}

TEST(CLASFile_C, ClearFileAndSetHeaderReleaseWhatTheyReplace) {
    TempDir dir;
    LasBuilder b;
    b.vlrLengths = {5};
    std::string in = writeLas(dir, "in.las", b.bytes());
    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    ASSERT_FALSE(f.Points().empty());
    f.SetHeader(new LASHeader_C(*f.GetHeader())); // the old header is released
    f.SetHeader(f.GetHeader());                   // handing back its own header keeps it
    ASSERT_NE(f.GetHeader(), nullptr);
    EXPECT_EQ(f.GetHeader()->NumberOfPointRecords, b.points);
    f.SetVLRecord({1, 2, 3}, {0});
    EXPECT_EQ(f.RecordArea().size(), 3u);
    f.ClearFile();
    EXPECT_EQ(f.GetHeader(), nullptr);
    EXPECT_TRUE(f.RecordArea().empty());
    EXPECT_TRUE(f.RecordPositions().empty());
    EXPECT_TRUE(f.Points().empty());
    EXPECT_TRUE(f.GetPath().empty());
    f.SetHeader(nullptr);
    EXPECT_FALSE(f.UpdateHeader());
    // Without a header nothing is written.
    f.WriteFile(dir.file("none.las").c_str(), nullptr);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.las")));
}

// ---------------------------------------------------------------- writing

TEST(CLASFile_C, WritePointsProgressIsSetThenAdvanced) {
    TempDir dir;
    const std::vector<std::pair<uint32_t, unsigned int>> cases = {{250, 125}, {50, 1}, {100, 100}, {1, 1}};
    for (auto [count, expected] : cases) {
        LasBuilder b;
        b.points = count;
        std::string in = writeLas(dir, "in.las", b.bytes());
        CLASFile_C f;
        f.ReadFile(in.c_str(), nullptr);
        unsigned int progress = 999; // set to 0 first
        f.WriteFile(dir.file("out.las").c_str(), &progress);
        EXPECT_EQ(progress, expected) << count;
    }
}

TEST(CLASFile_C, ReadFileThenWriteFileGivesTheSameBytes) {
    TempDir dir;
    for (int format = 0; format < 4; ++format)
        for (int variant = 0; variant < 4; ++variant) {
            LasBuilder b;
            b.format = format;
            b.points = 1234;
            if (variant == 1)
                b.vlrLengths = {16, 0, 40};
            if (variant == 2) {
                b.vlrLengths = {16};
                b.gap = 37; // bytes after the records are part of the area
            }
            if (variant == 3)
                b.points = 0;
            SCOPED_TRACE("format " + std::to_string(format) + " variant " + std::to_string(variant));
            auto bytes = b.bytes();
            std::string in = writeLas(dir, "in.las", bytes), out = dir.file("out.las");
            CLASFile_C f;
            f.ReadFile(in.c_str(), nullptr);
            ASSERT_EQ(f.Points().size(), b.points);
            f.WriteFile(out.c_str(), nullptr);
            auto written = readBytes(out);
            ASSERT_EQ(written.size(), bytes.size());
            EXPECT_EQ(written, bytes);
        }
}

TEST(CLASFile_C, HeaderSizeOtherThan227KeepsEveryOffset) {
    TempDir dir;
    // A longer header: its own bytes beyond the block are not kept, everything else is.
    LasBuilder b;
    b.headerExtra = 6;
    b.vlrLengths = {9};
    auto bytes = b.bytes();
    std::string in = writeLas(dir, "in.las", bytes), out = dir.file("out.las");
    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    EXPECT_EQ(f.RecordPositions(), std::vector<uint32_t>{0});
    f.WriteFile(out.c_str(), nullptr);
    auto expected = bytes;
    std::fill(expected.begin() + 227, expected.begin() + 233, 0);
    EXPECT_EQ(readBytes(out), expected);

    // A HeaderSize below 227: the area read from there starts inside the block and is written after it.
    LasBuilder s;
    s.gap = 30;
    bytes = s.bytes();
    storeLE<uint16_t>(bytes.data() + 94, 200);
    writeBytes(in, bytes);
    CLASFile_C g;
    g.ReadFile(in.c_str(), nullptr);
    EXPECT_EQ(g.RecordArea().size(), s.offsetToPoints() - 200);
    EXPECT_EQ(g.GetHeader()->FileSignature[0], 'V');
    g.WriteFile(out.c_str(), nullptr);
    EXPECT_EQ(readBytes(out), bytes);
}

TEST(CLASFile_C, OneByteGapStillPutsThePointsAtTheirOffset) {
    TempDir dir;
    LasBuilder b;
    b.gap = 1;
    auto bytes = b.bytes();
    std::string in = writeLas(dir, "in.las", bytes), out = dir.file("out.las");
    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    EXPECT_TRUE(f.RecordArea().empty());
    f.WriteFile(out.c_str(), nullptr);
    auto expected = bytes;
    expected[227] = 0;
    EXPECT_EQ(readBytes(out), expected);
}

TEST(CLASFile_C, WritePointsZeroFillsAndWriteRecordsKeepsExtraBytes) {
    TempDir dir;
    LasBuilder b;
    b.format = 1;
    b.points = 250;
    b.extraPerPoint = 8;
    b.vlrLengths = {24};
    auto bytes = b.bytes();
    std::string in = writeLas(dir, "in.las", bytes), out = dir.file("out.las");

    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    f.WriteFile(out.c_str(), nullptr);
    auto expected = bytes;
    for (uint32_t i = 0; i < b.points; ++i) {
        auto at = expected.begin() + b.offsetToPoints() + size_t(i) * b.recordLength() + 28;
        std::fill(at, at + 8, 0);
    }
    EXPECT_EQ(readBytes(out), expected);

    // Records held as bytes go out as they are.
    CLASFile_C g(in.c_str());
    g.ReadVRL();
    std::vector<unsigned char> records(bytes.begin() + b.offsetToPoints(), bytes.end());
    g.SetPath(out.c_str());
    g.WriteHeader();
    g.WriteVRL();
    unsigned int progress = 7;
    g.WriteRecords(records.data(), 200, &progress);
    EXPECT_EQ(progress, 100u); // every second record
    g.WriteRecords(records.data() + 200 * b.recordLength(), b.points - 200, &progress);
    EXPECT_EQ(progress, 1u);
    g.CloseFile();
    EXPECT_EQ(readBytes(out), bytes);
}

TEST(CLASFile_C, WritesInStepsAppendToOneFile) {
    TempDir dir;
    LasBuilder b;
    b.format = 2;
    b.points = 7;
    b.vlrLengths = {3};
    auto bytes = b.bytes();
    std::string in = writeLas(dir, "in.las", bytes), out = dir.file("out.las");
    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    auto all = std::move(f.Points());

    f.SetPath(out.c_str());
    f.WriteHeader();
    f.WriteVRL();
    for (size_t from : {size_t(0), size_t(4)}) {
        size_t to = std::min<size_t>(from + 4, all.size());
        f.Points().clear();
        for (size_t i = from; i < to; ++i)
            f.Points().push_back(std::move(all[i]));
        f.WritePoints(nullptr);
    }
    f.CloseFile();
    EXPECT_EQ(readBytes(out), bytes);

    // With no file open, a write appends to the file at the path.
    CLASFile_C g;
    g.ReadFile(in.c_str(), nullptr);
    g.SetPath(out.c_str());
    g.WriteHeader();
    g.CloseFile();
    g.WriteVRL();
    g.WritePoints(nullptr);
    g.CloseFile();
    EXPECT_EQ(readBytes(out), bytes);
}

TEST(CLASFile_C, WriteFailuresThrowTheirReasons) {
    TempDir dir;
    LasBuilder b;
    b.format = 3;
    b.points = 20;
    std::string in = writeLas(dir, "in.las", b.bytes());

    CLASFile_C f;
    f.ReadFile(in.c_str(), nullptr);
    EXPECT_EQ(reasonOf([&] { f.WriteFile(dir.file("no/such/dir.las").c_str(), nullptr); }),
              "WriteError::File could not be open.");

    std::string out = dir.file("out.las");
    f.Points()[3].reset(new LASPoint1_C()); // not the header's format
    EXPECT_EQ(reasonOf([&] { f.WriteFile(out.c_str(), nullptr); }), "WriteError::LAS Point");
    f.Points()[3].reset();
    EXPECT_EQ(reasonOf([&] { f.WriteFile(out.c_str(), nullptr); }), "WriteError::LAS Point");

    f.GetHeader()->PointDataRecordLength = 30; // shorter than format 3's records
    f.initializePoints();
    EXPECT_EQ(reasonOf([&] { f.WriteFile(out.c_str(), nullptr); }), "WriteError::LAS Point");

    f.GetHeader()->OffsetToPointData = 100;
    std::string why = reasonOf([&] { f.WriteHeader(); });
    EXPECT_TRUE(startsWith(why, "WriteError::LAS Header")) << why;

    CLASFile_C empty;
    EXPECT_EQ(reasonOf([&] { empty.WriteHeader(); }), "WriteError::LAS Header");
    EXPECT_EQ(reasonOf([&] { empty.WritePoints(nullptr); }), "WriteError::LAS Point");

    // The area held must fit before the point data.
    CLASFile_C g;
    g.ReadFile(in.c_str(), nullptr);
    g.SetVLRecord(std::vector<unsigned char>(5), {});
    g.SetPath(out.c_str());
    g.WriteHeader();
    why = reasonOf([&] { g.WriteVRL(); });
    EXPECT_TRUE(startsWith(why, "WriteError::LAS VRL")) << why;

    if (std::filesystem::exists("/dev/full")) {
        CLASFile_C full;
        full.ReadFile(in.c_str(), nullptr);
        why = reasonOf([&] { full.WriteFile("/dev/full", nullptr); });
        EXPECT_TRUE(startsWith(why, "WriteError::")) << why;
    }
}

// ---------------------------------------------------------------- damaged and hostile files

TEST(CLASFile_C, EveryTruncationThrowsCleanly) {
    TempDir dir;
    LasBuilder b;
    b.format = 1;
    b.points = 6;
    b.vlrLengths = {30, 4};
    b.gap = 3;
    auto bytes = b.bytes();
    std::string path = dir.file("cut.las");
    for (size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(n);
        writeBytes(path, bytes, n);
        auto f = std::make_unique<CLASFile_C>(); // fresh each time, so overruns meet the sanitizer
        std::string why = reasonOf([&] { f->ReadFile(path.c_str(), nullptr); });
        if (n < 227) {
            EXPECT_EQ(why, "ReadError::LAS Header");
            EXPECT_EQ(f->GetHeader(), nullptr);
            continue;
        }
        if (n < b.offsetToPoints()) {
            EXPECT_EQ(why, "ReadError::LAS VRL");
            continue;
        }
        EXPECT_TRUE(startsWith(why, "ReadError::LAS Points")) << why;
        EXPECT_TRUE(f->Points().empty());

        auto g = std::make_unique<CLASFile_C>(path.c_str());
        why = reasonOf([&] { g->GetPoints(0, b.points, nullptr); });
        EXPECT_TRUE(startsWith(why, "ReadError::LAS Points")) << why;
        why = reasonOf([&] { delete[] g->GetCoordinate(nullptr); });
        EXPECT_TRUE(startsWith(why, "ReadError::LAS Points")) << why;
        const size_t lastEnd = b.offsetToPoints() + size_t(b.points - 1) * b.recordLength() + 28;
        if (n < lastEnd) {
            EXPECT_EQ(reasonOf([&] { delete g->GetPoint(b.points - 1); }), "ReadError::LAS Point");
        }
    }
    CLASFile_C f;
    EXPECT_EQ(reasonOf([&] { f.ReadFile(dir.file("missing.las").c_str(), nullptr); }),
              "ReadError::File could not be open.");
    EXPECT_EQ(f.GetHeader(), nullptr);
}

TEST(CLASFile_C, HostileHeaderFieldsThrowBeforeAllocating) {
    TempDir dir;
    LasBuilder b;
    b.format = 3;
    b.points = 12;
    b.vlrLengths = {8};
    const auto good = b.bytes();
    std::string path = dir.file("bad.las");
    struct Case {
        const char* name;
        int offset, width;
        uint32_t value;
        const char* reason;
        bool pointsUnreadable;
    };
    const Case cases[] = {
        {"point count", 107, 4, 0xFFFFFFFF, "ReadError::LAS Points", true},
        {"record length 0", 105, 2, 0, "ReadError::LAS Points", true},
        {"record length short", 105, 2, 33, "ReadError::LAS Points", true},
        {"record length huge", 105, 2, 0xFFFF, "ReadError::LAS Points", true},
        {"format", 104, 1, 7, "ReadError::LAS Points", true},
        {"record count", 100, 4, 0xFFFFFFFF, "ReadError::LAS VRL", false},
        {"offset to points", 96, 4, 0xFFFFFFFF, "ReadError::LAS VRL", true},
        {"offset inside header", 96, 4, 100, "ReadError::LAS VRL", false},
        {"header size", 94, 2, 0xFFFF, "ReadError::LAS VRL", false},
    };
    AddressSpaceCap cap;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = good;
        if (c.width == 1)
            bytes[c.offset] = uint8_t(c.value);
        else if (c.width == 2)
            storeLE<uint16_t>(bytes.data() + c.offset, uint16_t(c.value));
        else
            storeLE<uint32_t>(bytes.data() + c.offset, c.value);
        writeBytes(path, bytes);
        auto f = std::make_unique<CLASFile_C>();
        std::string why = reasonOf([&] { f->ReadFile(path.c_str(), nullptr); });
        EXPECT_TRUE(startsWith(why, c.reason)) << why;
        EXPECT_TRUE(f->Points().empty());

        // The bulk and attribute readers hold to the same bounds; the single-point reader returns null for a
        // format it does not know and otherwise reads or throws.
        auto g = std::make_unique<CLASFile_C>(path.c_str());
        const uint64_t count = g->GetHeader()->NumberOfPointRecords;
        if (c.pointsUnreadable) {
            why = reasonOf([&] { delete[] g->GetClassification(nullptr); });
            EXPECT_TRUE(startsWith(why, "ReadError::LAS Points")) << why;
            why = reasonOf([&] { CLASFile_C::FreePoints(g->GetPoints(0, count, nullptr), count); });
            EXPECT_TRUE(startsWith(why, "ReadError::LAS Points")) << why;
        } else {
            std::unique_ptr<uint8_t[]> classes(g->GetClassification(nullptr));
            ASSERT_NE(classes, nullptr);
            CLASFile_C::FreePoints(g->GetPoints(0, count, nullptr), count);
        }
        try {
            delete g->GetPoint(count - 1);
        } catch (const CLasException& e) {
            EXPECT_EQ(std::string(e.what()), "ReadError::LAS Point");
        }
    }
}

// ---------------------------------------------------------------- real samples

TEST(CLASFile_C, RealSamplesRewriteIdentically) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR << "/las (set PONTARO_DATA_DIR)";
    TempDir dir;
    int rewritten = 0;
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        auto bytes = readBytes(s.path);
        std::string out = dir.file("out.las");
        CLASFile_C f;
        f.ReadFile(s.path.c_str(), nullptr);
        ASSERT_EQ(f.Points().size(), s.points);
        ASSERT_EQ(f.GetHeader()->PointDataRecordLength, s.recordLength);
        if (s.recordLength == las_detail::formatSize(s.format)) {
            f.WriteFile(out.c_str(), nullptr);
            auto written = readBytes(out);
            ASSERT_EQ(written.size(), bytes.size());
            EXPECT_TRUE(written == bytes);
            ++rewritten;
        }
        // Records written as bytes keep whatever follows each record's fields.
        CLASFile_C g(s.path.c_str());
        g.ReadVRL();
        std::vector<unsigned char> records(bytes.begin() + g.GetHeader()->OffsetToPointData, bytes.end());
        ASSERT_EQ(records.size(), s.points * s.recordLength);
        g.SetPath(out.c_str());
        g.WriteHeader();
        g.WriteVRL();
        g.WriteRecords(records.data(), s.points, nullptr);
        g.CloseFile();
        EXPECT_TRUE(readBytes(out) == bytes);
    }
    EXPECT_GT(rewritten, 0);
}

} // namespace
