// The compressor's file object and its 232-byte header: header form conversions, the record area rules,
// reading and writing, attribute extraction, and damaged or hostile files (run under AddressSanitizer).
#include "CLASFile_C.h"
#include "LasBuilder.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/resource.h>

namespace {

using las_detail::loadLE;
using las_detail::storeLE;
using Bytes = std::vector<unsigned char>;

Bytes packed(LASPoint_C* p) {
    Bytes b(size_t(las_detail::formatSize(p->GetPointType())));
    p->copyToBuffer(b.data());
    return b;
}

// Point i's format bytes as the builder laid them out in its file.
Bytes builderRecord(const LasBuilder& b, const Bytes& file, uint32_t i) {
    auto at = file.begin() + b.offsetToPoints() + size_t(i) * b.recordLength();
    return Bytes(at, at + las_detail::formatSize(b.format));
}

// Fails unless stmt throws a CLasException whose reason starts with prefix.
#define EXPECT_REASON(stmt, prefix)                                                                          \
    do {                                                                                                     \
        std::string why_ = "no CLasException";                                                               \
        try {                                                                                                \
            stmt;                                                                                            \
        } catch (const CLasException& e) {                                                                   \
            why_ = e.what();                                                                                 \
        }                                                                                                    \
        EXPECT_EQ(why_.rfind(prefix, 0), 0u) << why_;                                                        \
    } while (0)

// Caps further address space at about 512 MiB so an allocation sized by a hostile header fails loudly.
// Left off under sanitizers, whose reservations need an unlimited address space.
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

private:
    rlimit saved_{};
    bool active_ = false;
};

struct Loaded {
    Bytes bytes;
    std::string in, out;
};
Loaded place(const TempDir& dir, const LasBuilder& b) {
    Loaded l{b.bytes(), dir.file("in.las"), dir.file("out.las")};
    writeBytes(l.in, l.bytes);
    return l;
}

TEST(LASHeader_C, ConvertsBetweenTheTwoFormsByteExact) {
    LASHeader_C zero; // a default header writes all zeros in both forms
    Bytes block(LASHeader_C::BlockSize, 0xAB), las(LASHeader::BlockSize, 0xAB);
    zero.copyToBuffer(block.data());
    zero.copyToLASBuffer(las.data());
    EXPECT_EQ(block, Bytes(block.size(), 0));
    EXPECT_EQ(las, Bytes(las.size(), 0));

    std::mt19937 rng(7);
    for (int round = 0; round < 5; ++round) {
        Bytes in(LASHeader::BlockSize);
        for (auto& c : in)
            c = uint8_t(rng() % 255 + 1); // never zero, so a byte left unset shows
        LASHeader_C h;
        h.copyFromLASBuffer(in.data());
        Bytes aligned(LASHeader_C::BlockSize, 0xEE);
        h.copyToBuffer(aligned.data());
        // 0-104 as is, pad at 105, then record length/counts, pad at 132-135, then the twelve doubles.
        Bytes expected(in.begin(), in.begin() + 105);
        expected.push_back(0);
        expected.insert(expected.end(), in.begin() + 105, in.begin() + 131);
        expected.insert(expected.end(), 4, 0);
        expected.insert(expected.end(), in.begin() + 131, in.end());
        ASSERT_EQ(aligned, expected) << round;

        aligned[105] = 0x77; // junk in unused bytes is ignored and written back as zero
        aligned[133] = 0x66;
        LASHeader_C again;
        again.copyFromBuffer(aligned.data());
        Bytes back(LASHeader_C::BlockSize), out(LASHeader::BlockSize);
        again.copyToBuffer(back.data());
        EXPECT_EQ(back, expected);
        again.copyToLASBuffer(out.data());
        EXPECT_EQ(out, in);
        LASHeader_C(again.toLASHeader()).copyToLASBuffer(out.data());
        EXPECT_EQ(out, in);
    }
    for (auto [format, size] : {std::pair{0, 20}, {1, 28}, {2, 26}, {3, 34}, {4, 0}, {255, 0}}) {
        LASHeader_C h;
        h.PointDataFormatID = uint8_t(format);
        EXPECT_EQ(h.FormatRecordSize(), size) << format;
    }
}

TEST(CLASFile_C, RecordAreaRules) {
    TempDir dir;
    { // A 2-byte gap holds no area and is written as the start signature DD CC.
        LasBuilder b;
        b.gap = 2;
        b.versionMinor = 0;
        auto l = place(dir, b);
        CLASFile_C f;
        f.ReadFile(l.in.c_str(), nullptr);
        EXPECT_TRUE(f.RecordArea().empty());
        EXPECT_EQ(f.GetHeader()->FileSignature[0], 'L');
        f.WriteFile(l.out.c_str(), nullptr);
        auto expected = l.bytes;
        const size_t at = b.offsetToPoints() - 2;
        ASSERT_NE(expected[at], 0xDD);
        expected[at] = 0xDD;
        expected[at + 1] = 0xCC;
        EXPECT_EQ(readBytes(l.out), expected);
    }
    { // A 10-byte gap is one pseudo-record in memory, written back unchanged with a count of 0.
        LasBuilder b;
        b.gap = 10;
        auto l = place(dir, b);
        CLASFile_C f;
        f.ReadFile(l.in.c_str(), nullptr);
        LASHeader_C* h = f.GetHeader();
        EXPECT_EQ(h->FileSignature[0], 'V');
        EXPECT_EQ(h->NumberOfVariableLengthRecords, 1u);
        EXPECT_EQ(f.RecordArea(), Bytes(l.bytes.begin() + 227, l.bytes.begin() + 237));
        EXPECT_EQ(f.RecordPositions(), std::vector<uint32_t>{0});
        for (int write = 0; write < 2; ++write) { // a second write still knows the record is the gap
            f.WriteFile(l.out.c_str(), nullptr);
            EXPECT_EQ(readBytes(l.out), l.bytes) << write;
            EXPECT_EQ(h->FileSignature[0], 'L');
            EXPECT_EQ(h->NumberOfVariableLengthRecords, 1u);
        }
        f.SetHeader(new LASHeader_C(*h)); // a header handed over afresh is taken as it stands
        f.WriteFile(l.out.c_str(), nullptr);
        EXPECT_EQ(loadLE<uint32_t>(readBytes(l.out).data() + 100), 1u);
    }
    { // Positions step by the declared lengths, and stop at a record running past the area.
        LasBuilder b;
        b.vlrLengths = {30, 0};
        auto l = place(dir, b);
        CLASFile_C f(l.in.c_str());
        EXPECT_EQ(f.ReadVLR(), (std::vector<uint32_t>{0, 84}));
        EXPECT_EQ(f.RecordArea(), Bytes(l.bytes.begin() + 227, l.bytes.begin() + b.offsetToPoints()));
        storeLE<uint16_t>(l.bytes.data() + 227 + 84 + 20, 200);
        writeBytes(l.in, l.bytes);
        EXPECT_EQ(f.ReadVLR(), std::vector<uint32_t>{0});
        storeLE<uint16_t>(l.bytes.data() + 227 + 20, 0xFFFF);
        writeBytes(l.in, l.bytes);
        EXPECT_TRUE(f.ReadVLR().empty());
        EXPECT_EQ(f.RecordArea().size(), b.vlrBytes());
    }
}

TEST(CLASFile_C, ReadsEveryFormatAndItsAttributes) {
    TempDir dir;
    for (int format = 0; format < 4; ++format) {
        SCOPED_TRACE(format);
        LasBuilder b;
        b.format = format;
        b.points = 250;
        b.vlrLengths = {7, 0, 19};
        b.extraPerPoint = format; // format 0 without extra bytes, the others with
        auto l = place(dir, b);
        CLASFile_C f;
        unsigned int progress = 0;
        f.ReadFile(l.in.c_str(), &progress);
        EXPECT_EQ(progress, 125u);
        EXPECT_EQ(f.RecordPositions(), (std::vector<uint32_t>{0, 61, 115}));
        ASSERT_EQ(f.Points().size(), b.points);
        for (uint32_t i = 0; i < b.points; ++i) {
            ASSERT_EQ(packed(f.Points()[i].get()), builderRecord(b, l.bytes, i)) << i;
            std::unique_ptr<LASPoint_C> p(f.GetPoint(i));
            ASSERT_EQ(packed(p.get()), builderRecord(b, l.bytes, i)) << i;
        }
        EXPECT_EQ(f.GetPoint(b.points), nullptr);

        for (auto [start, count, ticks] : {std::tuple{50u, 200u, 100u}, {0u, 50u, 50u}, {10u, 240u, 120u}}) {
            progress = 0;
            LASPoint_C** pts = f.GetPoints(start, count, &progress);
            EXPECT_EQ(progress, ticks);
            for (uint32_t i = 0; i < count; ++i)
                EXPECT_EQ(packed(pts[i]), builderRecord(b, l.bytes, start + i)) << i;
            CLASFile_C::FreePoints(pts, count);
        }
        EXPECT_EQ(f.GetPoints(0, 0, nullptr), nullptr);
        EXPECT_REASON(f.GetPoints(1, b.points, nullptr), "ReadError::LAS Points");
        EXPECT_REASON(f.GetPoints(uint64_t(1) << 62, uint64_t(1) << 62, nullptr), "ReadError::LAS Points");

        progress = 0;
        std::unique_ptr<float[]> xyz(f.GetCoordinate(&progress)), colours(f.GetColor(nullptr));
        EXPECT_EQ(progress, 125u);
        std::unique_ptr<uint16_t[]> intensity(f.GetIntensity(nullptr));
        std::unique_ptr<uint8_t[]> returns(f.GetReturns(nullptr)), classes(f.GetClassification(nullptr));
        std::unique_ptr<int8_t[]> angles(f.GetAngle(nullptr));
        std::unique_ptr<int64_t[]> times(f.GetGPSTime(nullptr));
        const bool hasTime = las_detail::formatHasGPSTime(format),
                   hasColour = las_detail::formatHasColor(format);
        for (uint32_t i = 0; i < b.points; ++i) {
            const auto pf = LasBuilder::pointFields(i);
            EXPECT_EQ(std::tuple(xyz[3 * i], xyz[3 * i + 1], xyz[3 * i + 2]),
                      std::tuple(float(pf.X), float(pf.Y), float(pf.Z)));
            EXPECT_EQ(std::tuple(intensity[i], returns[i], classes[i], angles[i]),
                      std::tuple(pf.intensity, pf.returnByte, pf.classification, pf.scanAngleRank));
            EXPECT_EQ(times[i], hasTime ? int64_t(pf.gpsTimeBits) : 0);
            EXPECT_EQ(colours[3 * i + 2], hasColour ? pf.blue / 65535.0f : 0.0f);
            EXPECT_EQ(f.TransformCoord(f.Points()[i].get())[1],
                      float(pf.Y * f.GetHeader()->ScaleFactor_Y + f.GetHeader()->OffsetY));
        }
    }
    LasBuilder small; // under 100 records the extractors count no progress
    small.points = 50;
    CLASFile_C f(place(dir, small).in.c_str());
    unsigned int progress = 0;
    delete[] f.GetClassification(&progress);
    EXPECT_EQ(progress, 0u);
    EXPECT_EQ(CLASFile_C().GetIntensity(nullptr), nullptr);
    EXPECT_EQ(CLASFile_C().GetPoint(0), nullptr);
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
    h->NumberOfPointRecords = 2;
    h->PointDataFormatID = 0;
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

TEST(CLASFile_C, WritePointsProgressIsSetThenAdvanced) {
    TempDir dir;
    for (auto [count, expected] : {std::pair{250u, 125u}, {50u, 1u}, {100u, 100u}, {1u, 1u}}) {
        LasBuilder b;
        b.points = count;
        auto l = place(dir, b);
        CLASFile_C f;
        f.ReadFile(l.in.c_str(), nullptr);
        unsigned int progress = 999;
        f.WriteFile(l.out.c_str(), &progress);
        EXPECT_EQ(progress, expected) << count;
        f.WriteHeader();
        f.WriteVRL();
        progress = 999;
        f.WriteRecords(l.bytes.data() + b.offsetToPoints(), count, &progress);
        f.CloseFile();
        EXPECT_EQ(progress, expected) << count;
    }
}

TEST(CLASFile_C, RoundTripKeepsEveryByteItCarries) {
    TempDir dir;
    struct Case {
        int format, extra, headerExtra, gap;
        uint32_t points;
        std::vector<int> vlrs;
    };
    std::vector<Case> cases = {{1, 8, 6, 0, 250, {9}}, {0, 0, 0, 1, 10, {}}};
    for (int format = 0; format < 4; ++format)
        for (Case c : {Case{format, 0, 0, 0, 1234, {}},
                       {format, 0, 0, 0, 1234, {16, 0, 40}},
                       {format, 0, 0, 37, 1234, {16}},
                       {format, 0, 0, 0, 0, {}}})
            cases.push_back(c);
    for (const Case& c : cases) {
        LasBuilder b;
        b.format = c.format, b.extraPerPoint = c.extra, b.headerExtra = c.headerExtra, b.gap = c.gap;
        b.points = c.points, b.vlrLengths = c.vlrs;
        SCOPED_TRACE(testing::Message() << "format " << c.format << " vlrs " << c.vlrs.size() << " gap "
                                        << c.gap << " points " << c.points << " extra " << c.extra);
        auto l = place(dir, b);
        CLASFile_C f;
        f.ReadFile(l.in.c_str(), nullptr);
        // Header bytes past the block and a 1-byte gap are written as zeros.
        auto expected = l.bytes;
        std::fill_n(expected.begin() + 227, c.headerExtra + (c.gap == 1 && c.vlrs.empty()), 0);

        // Records held as bytes, written in two steps, keep the bytes past each point's fields.
        CLASFile_C g(l.in.c_str());
        g.ReadVRL();
        g.SetPath(l.out.c_str());
        g.WriteHeader();
        g.WriteVRL();
        const unsigned char* records = l.bytes.data() + b.offsetToPoints();
        const uint32_t first = c.points / 2;
        g.WriteRecords(records, first, nullptr);
        g.CloseFile(); // with no file open a write appends to the file at the path
        g.WriteRecords(records + size_t(first) * b.recordLength(), c.points - first, nullptr);
        g.CloseFile();
        EXPECT_EQ(readBytes(l.out), expected);

        f.WriteFile(l.out.c_str(), nullptr); // points go out zero-filled past their fields
        for (uint32_t i = 0; c.extra && i < c.points; ++i)
            std::fill_n(expected.begin() + b.offsetToPoints() + i * b.recordLength() + 28, c.extra, 0);
        EXPECT_EQ(readBytes(l.out), expected);
    }

    LasBuilder s; // a HeaderSize below 227: the area starts inside the block and is written after it
    s.gap = 30;
    auto l = place(dir, s);
    storeLE<uint16_t>(l.bytes.data() + 94, 200);
    writeBytes(l.in, l.bytes);
    CLASFile_C g;
    g.ReadFile(l.in.c_str(), nullptr);
    EXPECT_EQ(g.RecordArea().size(), s.offsetToPoints() - 200);
    g.WriteFile(l.out.c_str(), nullptr);
    EXPECT_EQ(readBytes(l.out), l.bytes);
}

TEST(CLASFile_C, WriteFailuresThrowTheirReasons) {
    TempDir dir;
    LasBuilder b;
    b.format = 3;
    b.points = 20;
    auto l = place(dir, b);
    CLASFile_C f;
    f.ReadFile(l.in.c_str(), nullptr);
    EXPECT_REASON(f.WriteFile(dir.file("no/such/dir.las").c_str(), nullptr),
                  "WriteError::File could not be open.");
    f.Points()[3].reset(new LASPoint1_C()); // not the header's format
    EXPECT_REASON(f.WriteFile(l.out.c_str(), nullptr), "WriteError::LAS Point");
    f.Points()[3].reset();
    EXPECT_REASON(f.WriteFile(l.out.c_str(), nullptr), "WriteError::LAS Point");
    f.GetHeader()->PointDataRecordLength = 30; // shorter than format 3's records
    f.initializePoints();
    EXPECT_REASON(f.WriteFile(l.out.c_str(), nullptr), "WriteError::LAS Point");
    f.GetHeader()->OffsetToPointData = 100;
    EXPECT_REASON(f.WriteHeader(), "WriteError::LAS Header");
    CLASFile_C empty;
    EXPECT_REASON(empty.WriteHeader(), "WriteError::LAS Header");
    EXPECT_REASON(empty.WritePoints(nullptr), "WriteError::LAS Point");

    CLASFile_C g; // the area held must fit before the point data
    g.ReadFile(l.in.c_str(), nullptr);
    g.SetVLRecord(Bytes(5), {});
    g.SetPath(l.out.c_str());
    g.WriteHeader();
    EXPECT_REASON(g.WriteVRL(), "WriteError::LAS VRL");
    if (std::filesystem::exists("/dev/full")) {
        CLASFile_C full;
        full.ReadFile(l.in.c_str(), nullptr);
        EXPECT_REASON(full.WriteFile("/dev/full", nullptr), "WriteError::");
    }
}

TEST(CLASFile_C, EveryTruncationThrowsCleanly) {
    TempDir dir;
    LasBuilder b;
    b.points = 6;
    b.vlrLengths = {30, 4};
    b.gap = 3;
    auto l = place(dir, b);
    const size_t lastFieldsEnd = b.offsetToPoints() + size_t(b.points - 1) * b.recordLength() + 28;
    for (size_t n = 0; n < l.bytes.size(); ++n) {
        SCOPED_TRACE(n);
        writeBytes(l.out, l.bytes, n);
        auto f = std::make_unique<CLASFile_C>(); // fresh each time, so overruns meet the sanitizer
        EXPECT_REASON(f->ReadFile(l.out.c_str(), nullptr), n < 227 ? "ReadError::LAS Header"
                                                           : n < b.offsetToPoints()
                                                               ? "ReadError::LAS VRL"
                                                               : "ReadError::LAS Points");
        EXPECT_TRUE(f->Points().empty());
        EXPECT_EQ(f->GetHeader() == nullptr, n < 227);
        if (n < b.offsetToPoints())
            continue;
        auto g = std::make_unique<CLASFile_C>(l.out.c_str());
        EXPECT_REASON(g->GetPoints(0, b.points, nullptr), "ReadError::LAS Points");
        EXPECT_REASON(delete[] g->GetCoordinate(nullptr), "ReadError::LAS Points");
        if (n < lastFieldsEnd)
            EXPECT_REASON(delete g->GetPoint(b.points - 1), "ReadError::LAS Point");
    }
    CLASFile_C f(l.in.c_str()); // a file gone after its header was read
    std::filesystem::remove(l.in);
    EXPECT_REASON(f.ReadVRL(), "ReadError::File could not be open.");
    EXPECT_REASON(f.ReadFile(l.in.c_str(), nullptr), "ReadError::File could not be open.");
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
        int offset, width;
        uint32_t value;
        const char* reason;
        bool pointsUnreadable;
    };
    const Case cases[] = {
        {107, 4, 0xFFFFFFFF, "ReadError::LAS Points", true}, // point count
        {105, 2, 0, "ReadError::LAS Points", true},          // record length 0, short, huge
        {105, 2, 33, "ReadError::LAS Points", true},
        {105, 2, 0xFFFF, "ReadError::LAS Points", true},
        {104, 1, 7, "ReadError::LAS Points", true},        // format
        {100, 4, 0xFFFFFFFF, "ReadError::LAS VRL", false}, // record count
        {96, 4, 0xFFFFFFFF, "ReadError::LAS VRL", true},   // offset to points past the end, inside the header
        {96, 4, 100, "ReadError::LAS VRL", false},
        {94, 2, 0xFFFF, "ReadError::LAS VRL", false}, // header size
    };
    AddressSpaceCap cap;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << " = " << c.value);
        auto bytes = good;
        for (int k = 0; k < c.width; ++k)
            bytes[c.offset + k] = uint8_t(c.value >> (8 * k));
        writeBytes(path, bytes);
        auto f = std::make_unique<CLASFile_C>();
        EXPECT_REASON(f->ReadFile(path.c_str(), nullptr), c.reason);
        EXPECT_TRUE(f->Points().empty());
        // The bulk and attribute readers hold to the same bounds; GetPoint reads, throws or gives null.
        auto g = std::make_unique<CLASFile_C>(path.c_str());
        const uint64_t count = g->GetHeader()->NumberOfPointRecords;
        if (c.pointsUnreadable) {
            EXPECT_REASON(delete[] g->GetClassification(nullptr), "ReadError::LAS Points");
            EXPECT_REASON(CLASFile_C::FreePoints(g->GetPoints(0, count, nullptr), count),
                          "ReadError::LAS Points");
        } else {
            std::unique_ptr<uint8_t[]> classes(g->GetClassification(nullptr));
            EXPECT_NE(classes, nullptr);
            CLASFile_C::FreePoints(g->GetPoints(0, count, nullptr), count);
        }
        try {
            delete g->GetPoint(count - 1);
        } catch (const CLasException& e) {
            EXPECT_EQ(std::string(e.what()), "ReadError::LAS Point");
        }
    }
}

TEST(CLASFile_C, RealSamplesRewriteIdentically) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR << "/las (set PONTARO_DATA_DIR)";
    TempDir dir;
    std::string out = dir.file("out.las");
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        auto bytes = readBytes(s.path);
        CLASFile_C f;
        f.ReadFile(s.path.c_str(), nullptr);
        ASSERT_EQ(f.Points().size(), s.points);
        if (s.recordLength == las_detail::formatSize(s.format)) {
            f.WriteFile(out.c_str(), nullptr);
            EXPECT_TRUE(readBytes(out) == bytes);
        }
        // Records written as bytes keep whatever follows each record's fields.
        CLASFile_C g(s.path.c_str());
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
