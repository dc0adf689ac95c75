// Hostile and damaged files through both file objects: every truncation and a range of corrupted header
// fields give a clean failure with its reason, never a crash, an overrun or an allocation the file cannot
// justify. Run under AddressSanitizer.
#include "CLASFile.h"
#include "CLASFile_C.h"
#include "LasTestUtil.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sys/resource.h>

namespace {

// Caps further address space at about 512 MiB so an allocation sized by a hostile header fails loudly.
// Left off under sanitizers, whose reservations need an unlimited address space.
struct AddressSpaceCap {
    rlimit saved{};
    bool active = false;
    AddressSpaceCap() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        std::ifstream status("/proc/self/status");
        std::string key;
        uint64_t kib = 0;
        while (status >> key && !(key == "VmSize:" && status >> kib)) {
        }
        rlimit capped{};
        if (kib && getrlimit(RLIMIT_AS, &saved) == 0)
            capped = {std::min<rlim_t>(saved.rlim_cur, rlim_t(kib) * 1024 + (rlim_t(512) << 20)),
                      saved.rlim_max};
        active = capped.rlim_cur && setrlimit(RLIMIT_AS, &capped) == 0;
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
        if (headerRead) {
            EXPECT_THROW(opened->GetPoints(0, b.points), CLasException);
        }

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
        if (n < lastEnd) {
            EXPECT_REASON(delete g->GetPoint(b.points - 1), "ReadError::LAS Point");
        }
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
        {100, 4, 1000, "variable length records do not fit", "ReadError::LAS VRL", false},
        {96, 4, 0, "Offset to point data is smaller than header size", "ReadError::LAS VRL", false},
        {96, 4, 100, "Offset to point data is smaller than header size", "ReadError::LAS VRL", false},
        {96, 4, 0x7FFFFFFF, "truncated", "ReadError::LAS VRL", true},
        {105, 2, 0, "shorter than", "ReadError::LAS Points", true}, // record length
        {105, 2, 33, "shorter than", "ReadError::LAS Points", true},
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
        if (loaded) {
            ASSERT_EQ(las.records.size(), 3u);
            EXPECT_STREQ(las.records[0].UserID, "user0");
            EXPECT_EQ(las.records[2].Data.size(), 7u);
        }

        auto c = std::make_unique<CLASFile_C>(), g = std::make_unique<CLASFile_C>(path.c_str());
        EXPECT_PRED2(startsWith, reasonOf([&] { c->ReadFile(path.c_str(), nullptr); }),
                     std::string(*p.reason ? p.reason : "no CLasException"));
        EXPECT_EQ(c->Points().size(), *p.reason ? 0u : b.points);
        const uint64_t count = g->GetHeader()->NumberOfPointRecords;
        if (p.pointsUnreadable) {
            EXPECT_REASON(delete[] g->GetClassification(nullptr), "ReadError::LAS Points");
            EXPECT_REASON(CLASFile_C::FreePoints(g->GetPoints(0, count, nullptr), count),
                          "ReadError::LAS Points");
        } else {
            std::unique_ptr<uint8_t[]> classes(g->GetClassification(nullptr));
            EXPECT_NE(classes, nullptr);
            CLASFile_C::FreePoints(g->GetPoints(0, count, nullptr), count);
        }
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
