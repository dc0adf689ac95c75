#include "CLASFile.h"
#include "PointGenerator.h"
#include "SynthTestSupport.h"
#include "SyntheticHeader.h"
#include "SyntheticScene.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

using synth::PointGenerator;
using namespace synth_test;

namespace {

std::vector<unsigned char> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string text(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

// Reads a written file back through the LAS library and checks what the header promises against the points.
void checkFile(const std::string& path, uint64_t points, int format) {
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(path.c_str()));
    EXPECT_EQ(std::memcmp(las.FileSignature, "LASF", 4), 0);
    EXPECT_EQ(las.VersionMajor, 1);
    EXPECT_EQ(las.VersionMinor, 2);
    EXPECT_EQ(las.PointDataFormatID, format);
    EXPECT_EQ(las.PointDataRecordLength, las_detail::formatSize(format));
    ASSERT_EQ(las.NumberOfPointRecords, points);
    EXPECT_EQ(las.HeaderSize, LASHeader::BlockSize);
    EXPECT_EQ(las.GlobalEncoding & 1, las_detail::formatHasGPSTime(format) ? 1 : 0);
    EXPECT_NE(text(las.SystemIdentifier, 32).find("Pontaro"), std::string::npos);
    EXPECT_NE(text(las.GeneratingSoftware, 32).find("Pontaro"), std::string::npos);
    EXPECT_GE(las.FileCreationDay, 1);
    EXPECT_LE(las.FileCreationDay, 366);
    EXPECT_GE(las.FileCreationYear, 2000);
    EXPECT_EQ(las.ScaleFactor_X, 0.01);
    EXPECT_EQ(las.ScaleFactor_Y, 0.01);
    EXPECT_EQ(las.ScaleFactor_Z, 0.01);
    EXPECT_NE(las.OffsetX, 0.0);
    EXPECT_NE(las.OffsetY, 0.0);
    EXPECT_NE(las.OffsetZ, 0.0);
    EXPECT_EQ(fileBytes(path).size(), las.OffsetToPointData + points * las.PointDataRecordLength);

    // One GeoKeyDirectory record: a header {1, 1, 0, count}, then count keys in ascending order.
    ASSERT_EQ(las.NumberOfVariableLengthRecords, 1u);
    ASSERT_EQ(las.records.size(), 1u);
    const LASVarLenRecord& r = las.records[0];
    EXPECT_EQ(text(r.UserID, 16), "LASF_Projection");
    EXPECT_EQ(r.RecordID, 34735);
    EXPECT_EQ(las.OffsetToPointData, LASHeader::BlockSize + r.TotalBytes());
    ASSERT_GE(r.Data.size(), 8u);
    auto word = [&](size_t i) { return las_detail::loadLE<uint16_t>(r.Data.data() + 2 * i); };
    EXPECT_EQ(word(0), 1);
    EXPECT_EQ(word(1), 1);
    EXPECT_EQ(word(2), 0);
    const size_t keys = word(3);
    ASSERT_EQ(r.Data.size(), 8 * (keys + 1));
    std::map<uint16_t, uint16_t> values;
    for (size_t k = 1; k <= keys; ++k) {
        if (k > 1) {
            EXPECT_GT(word(4 * k), word(4 * (k - 1)));
        }
        EXPECT_EQ(word(4 * k + 1), 0) << "values are stored inline";
        EXPECT_EQ(word(4 * k + 2), 1);
        values[word(4 * k)] = word(4 * k + 3);
    }
    EXPECT_EQ(values[1024], 1) << "projected model";
    const uint16_t crs = values[3072];
    EXPECT_TRUE((crs > 32600 && crs <= 32660) || (crs > 32700 && crs <= 32760))
        << "a WGS 84 UTM zone: " << crs;
    EXPECT_EQ(values[3076], 9001) << "metres";

    // The header's bounds are those of the stored integers, and its per-return counts are those of the
    // points.
    LASPoint** pts = las.GetPoints(0, points);
    ASSERT_NE(pts, nullptr);
    int64_t minX = INT64_MAX, maxX = INT64_MIN, minY = INT64_MAX, maxY = INT64_MIN, minZ = INT64_MAX,
            maxZ = INT64_MIN;
    uint32_t byReturn[5] = {};
    for (uint64_t i = 0; i < points; ++i) {
        LASPoint* p = pts[i];
        minX = std::min(minX, p->GetX()), maxX = std::max(maxX, p->GetX());
        minY = std::min(minY, p->GetY()), maxY = std::max(maxY, p->GetY());
        minZ = std::min(minZ, p->GetZ()), maxZ = std::max(maxZ, p->GetZ());
        const int rn = p->GetReturnNumber();
        EXPECT_GE(rn, 1);
        EXPECT_LE(rn, p->GetNumberOfReturns());
        if (rn >= 1 && rn <= 5)
            ++byReturn[rn - 1];
    }
    CLASFile::FreePointArray(pts);
    EXPECT_EQ(las.Min_X, minX * las.ScaleFactor_X + las.OffsetX);
    EXPECT_EQ(las.Max_X, maxX * las.ScaleFactor_X + las.OffsetX);
    EXPECT_EQ(las.Min_Y, minY * las.ScaleFactor_Y + las.OffsetY);
    EXPECT_EQ(las.Max_Y, maxY * las.ScaleFactor_Y + las.OffsetY);
    EXPECT_EQ(las.Min_Z, minZ * las.ScaleFactor_Z + las.OffsetZ);
    EXPECT_EQ(las.Max_Z, maxZ * las.ScaleFactor_Z + las.OffsetZ);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(las.NumberOfPointsByReturn[i], byReturn[i]) << "return " << i + 1;
    }
}

} // namespace

TEST(SyntheticLAS, EveryFormatReadsBackAsWritten) {
    TempDir dir;
    for (int format = 0; format <= 3; ++format) {
        SCOPED_TRACE(format);
        const std::string path = dir.file("scene" + std::to_string(format) + ".las");
        writeSyntheticLAS(path, SynthOptions{12000, format, 4});
        checkFile(path, 12000, format);

        // The point records are exactly the generator's, in order.
        PointGenerator gen(12000, format, 4);
        const auto expected = generateBytes(gen, 1 << 16);
        const auto bytes = fileBytes(path);
        const size_t offset = LASHeader::BlockSize + synth::geoKeyDirectoryRecord().TotalBytes();
        ASSERT_EQ(bytes.size(), offset + expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + std::ptrdiff_t(offset)));
    }
    EXPECT_EQ(dir.entries().size(), 4u) << "no temporary files left behind";
}

TEST(SyntheticLAS, VillageFileHasAllThreeClassesAndGpsTimesInOrder) {
    TempDir dir;
    const std::string path = dir.file("village.las");
    writeSyntheticLAS(path, SynthOptions{300000, 1, 1});
    CLASFile las;
    ASSERT_TRUE(las.OpenFile(path.c_str()));
    ASSERT_EQ(las.NumberOfPointRecords, 300000u);
    std::unique_ptr<uint8_t[]> classes(las.GetClassification());
    ASSERT_TRUE(classes);
    size_t counts[256] = {};
    for (uint32_t i = 0; i < las.NumberOfPointRecords; ++i)
        ++counts[classes[i]];
    EXPECT_GT(counts[2], 0u);
    EXPECT_GT(counts[5], 0u);
    EXPECT_GT(counts[6], 0u);
    EXPECT_EQ(counts[2] + counts[5] + counts[6], 300000u);

    LASPoint** pts = las.GetPoints(0, las.NumberOfPointRecords);
    ASSERT_NE(pts, nullptr);
    double previous = 0;
    size_t repeats = 0;
    for (uint32_t i = 0; i < las.NumberOfPointRecords; ++i) {
        const double t = pts[i]->GetGPSTime();
        ASSERT_GT(t, 0.0);
        ASSERT_GE(t, previous) << "record " << i;
        // Only the later returns of a pulse share its time.
        if (t == previous) {
            ASSERT_GT(pts[i]->GetReturnNumber(), 1);
            ++repeats;
        }
        previous = t;
    }
    CLASFile::FreePointArray(pts);
    EXPECT_GT(repeats, 0u);
}

TEST(SyntheticLAS, SameSeedSameBytesOtherSeedOtherBytes) {
    TempDir dir;
    writeSyntheticLAS(dir.file("a.las"), SynthOptions{20000, 3, 9});
    writeSyntheticLAS(dir.file("b.las"), SynthOptions{20000, 3, 9});
    writeSyntheticLAS(dir.file("c.las"), SynthOptions{20000, 3, 10});
    const auto a = fileBytes(dir.file("a.las")), b = fileBytes(dir.file("b.las")),
               c = fileBytes(dir.file("c.las"));
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // A single changed byte is noticed: the comparison looks at the whole file.
    auto d = a;
    d[d.size() - 3] ^= 1;
    EXPECT_NE(a, d);
}

TEST(SyntheticLAS, TinyCountsWork) {
    TempDir dir;
    for (uint64_t n : {1ULL, 2ULL, 7ULL})
        for (int format : {0, 1, 2, 3}) {
            SCOPED_TRACE(std::to_string(n) + " points, format " + std::to_string(format));
            const std::string path = dir.file("tiny.las");
            writeSyntheticLAS(path, SynthOptions{n, format, 1});
            checkFile(path, n, format);
        }
}

TEST(SyntheticLAS, BadOptionsThrowAndWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("bad.las");
    auto message = [&](const SynthOptions& o) {
        try {
            writeSyntheticLAS(path, o);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    EXPECT_NE(message(SynthOptions{0, 0, 1}).find("number of points"), std::string::npos);
    EXPECT_NE(message(SynthOptions{4294967296ULL, 0, 1}).find("number of points"), std::string::npos);
    EXPECT_NE(message(SynthOptions{100, 4, 1}).find("format"), std::string::npos);
    EXPECT_NE(message(SynthOptions{100, -1, 1}).find("format"), std::string::npos);
    EXPECT_THROW(writeSyntheticLAS("", SynthOptions{100, 0, 1}), std::runtime_error);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(SyntheticLAS, UnwritableDestinationThrowsAndLeavesNothingBehind) {
    TempDir dir;
    // A folder that does not exist.
    EXPECT_THROW(writeSyntheticLAS(dir.file("missing/scene.las"), SynthOptions{100, 0, 1}),
                 std::runtime_error);
    EXPECT_TRUE(dir.entries().empty());

    // A folder in the way of the file: everything is written, then the rename fails.
    const std::string blocked = dir.file("blocked.las");
    std::filesystem::create_directory(blocked);
    std::filesystem::create_directory(blocked + "/inside");
    try {
        writeSyntheticLAS(blocked, SynthOptions{5000, 1, 1});
        FAIL() << "writing over a folder succeeded";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(blocked), std::string::npos) << e.what();
    }
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"blocked.las"});
}

TEST(SyntheticLAS, AnAbandonedWriteLeavesNoFile) {
    TempDir dir;
    const std::string path = dir.file("abandoned.las");
    struct Stop {};
    int calls = 0;
    // Two blocks of records: the first is written, then the caller gives up.
    EXPECT_THROW(writeSyntheticLAS(path, SynthOptions{250000, 0, 1},
                                   [&](uint64_t done, uint64_t) {
                                       ++calls;
                                       if (done > 0)
                                           throw Stop{};
                                   }),
                 Stop);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(dir.entries().empty());
}

TEST(SyntheticLAS, ReplacesAnExistingFileWhole) {
    TempDir dir;
    const std::string path = dir.file("scene.las");
    writeSyntheticLAS(path, SynthOptions{3000, 2, 1});
    writeSyntheticLAS(path, SynthOptions{1000, 0, 1});
    checkFile(path, 1000, 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"scene.las"});
}

TEST(SyntheticLAS, ReportsProgressUpToTheTotal) {
    TempDir dir;
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    // Large enough for several blocks of records.
    writeSyntheticLAS(dir.file("p.las"), SynthOptions{300000, 3, 1},
                      [&](uint64_t done, uint64_t total) { calls.emplace_back(done, total); });
    ASSERT_GE(calls.size(), 2u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].second, 300000u);
        if (i > 0) {
            EXPECT_GT(calls[i].first, calls[i - 1].first);
        }
    }
    EXPECT_EQ(calls.back().first, 300000u);
}
