// The generated records (pulses, scan lines, times, classes and colours against the scene they claim)
// and the LAS files written from them, read back through the LAS library.
#include "CLASFile.h"
#include "LASPointData.h"
#include "PointGenerator.h"
#include "SyntheticHeader.h"
#include "SyntheticScene.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

using las_detail::PointFields;
using synth::PointGenerator;
using synth::SurveyPlan;

namespace {

constexpr double Scale = PointGenerator::Scale;
using Pulses = std::vector<std::pair<size_t, size_t>>; // [first, last) records

// Every remaining record of the generator, asked for `chunk` records at a time.
std::vector<unsigned char> generateBytes(PointGenerator& gen, uint64_t chunk = 1 << 16) {
    std::vector<unsigned char> out, buf(size_t(chunk * gen.recordLength()));
    while (const uint64_t n = gen.generate(buf.data(), chunk))
        out.insert(out.end(), buf.begin(), buf.begin() + std::ptrdiff_t(n * gen.recordLength()));
    return out;
}

std::vector<PointFields> decode(const std::vector<unsigned char>& bytes, int format) {
    void (PointFields::*const unpack[])(const unsigned char*) = {
        &PointFields::unpack<0>, &PointFields::unpack<1>, &PointFields::unpack<2>, &PointFields::unpack<3>};
    const size_t len = size_t(las_detail::formatSize(format));
    std::vector<PointFields> out(bytes.size() / len);
    for (size_t i = 0; i < out.size(); ++i)
        (out[i].*unpack[format])(bytes.data() + i * len);
    return out;
}

std::vector<PointFields> generateAll(uint64_t points, int format, uint64_t seed) {
    PointGenerator gen(points, format, seed);
    return decode(generateBytes(gen), format);
}

// Split wherever a record has return number 1.
Pulses pulsesOf(const std::vector<PointFields>& pts) {
    Pulses out;
    for (size_t i = 0; i < pts.size(); ++i)
        if (pts[i].returnNumber() == 1 || out.empty())
            out.emplace_back(i, i + 1);
        else
            out.back().second = i + 1;
    return out;
}

// Whole pulses with consistent numbering and shared pulse attributes; times and scan flags as a scanner
// records them.
Pulses checkPulses(const std::vector<PointFields>& pts, int format, const SurveyPlan& plan) {
    const bool timed = las_detail::formatHasGPSTime(format);
    const Pulses pulses = pulsesOf(pts);
    EXPECT_EQ(pts.front().returnNumber(), 1);
    for (size_t k = 0; k < pulses.size(); ++k) {
        const auto [first, last] = pulses[k];
        const PointFields& b = pts[first];
        EXPECT_TRUE(b.numberOfReturns() <= PointGenerator::MaxReturns &&
                    last - first == size_t(b.numberOfReturns()) &&
                    std::abs(b.scanAngleRank) <= int(plan.maxScanAngle) + 1 && b.pointSourceID >= 1 &&
                    (timed ? b.gpsTime() > 0.0 : b.gpsTimeBits == 0))
            << "pulse at record " << first;
        // Return count, scan flags, position, angle, line and time are the pulse's; later returns lie lower.
        for (size_t i = first; i < last; ++i) {
            const PointFields& f = pts[i];
            EXPECT_EQ(std::tuple(size_t(f.returnNumber()), f.returnByte & 0xF8, f.X, f.Y, f.scanAngleRank,
                                 f.pointSourceID, f.gpsTimeBits),
                      std::tuple(i - first + 1, b.returnByte & 0xF8, b.X, b.Y, b.scanAngleRank,
                                 b.pointSourceID, b.gpsTimeBits));
            EXPECT_TRUE(i == first || f.Z < pts[i - 1].Z) << i;
        }
        if (k == 0)
            continue;
        const PointFields& a = pts[pulses[k - 1].first];
        EXPECT_TRUE(b.pointSourceID >= a.pointSourceID && (!timed || b.gpsTime() > a.gpsTime()))
            << "pulse " << k;
        // A scan line ends on its edge pulse and the next sweeps the other way; within a line the angle
        // moves in the scan direction, one pulse period apart.
        if (a.edgeOfFlightLine()) {
            EXPECT_NE(b.scanDirectionFlag(), a.scanDirectionFlag());
        } else if (b.pointSourceID == a.pointSourceID) {
            EXPECT_TRUE(b.scanDirectionFlag() == a.scanDirectionFlag() &&
                        (a.scanDirectionFlag() ? b.scanAngleRank >= a.scanAngleRank
                                               : b.scanAngleRank <= a.scanAngleRank))
                << "pulse " << k;
            EXPECT_TRUE(!timed || std::fabs(b.gpsTime() - a.gpsTime() - 1.0 / plan.pulseRate) < 1e-6) << k;
        }
    }
    return pulses;
}

// Any chunking gives the same bytes; another seed others; every format the same geometry, times and colours.
TEST(PointGenerator, ExactCountWhateverTheChunkingDeterministicPerSeedSameGeometryInEveryFormat) {
    PointGenerator whole(5000, 3, 21);
    const std::vector<unsigned char> reference = generateBytes(whole, 1 << 20);
    unsigned char spare[34];
    ASSERT_EQ(reference.size(), 5000u * 34);
    EXPECT_TRUE(whole.done() && whole.written() == 5000u && whole.generate(spare, 1) == 0);
    for (uint64_t chunk : {1ULL, 3ULL, 7ULL, 4999ULL}) { // sizes that cut pulses
        PointGenerator gen(5000, 3, 21);
        EXPECT_EQ(generateBytes(gen, chunk), reference) << "chunk " << chunk;
    }
    PointGenerator other(5000, 3, 22);
    EXPECT_NE(generateBytes(other), reference);
    const std::vector<PointFields> p[4] = {generateAll(5000, 0, 21), generateAll(5000, 1, 21),
                                           generateAll(5000, 2, 21), decode(reference, 3)};
    auto geometry = [](const PointFields& f) {
        return std::tuple(f.X, f.Y, f.Z, f.intensity, f.returnByte, f.classification);
    };
    ASSERT_TRUE(p[0].size() == 5000 && p[1].size() == 5000 && p[2].size() == 5000);
    for (size_t i = 0; i < 5000; ++i) {
        for (int f = 1; f < 4; ++f)
            ASSERT_EQ(geometry(p[f][i]), geometry(p[0][i])) << "format " << f << ", record " << i;
        ASSERT_EQ(std::pair(p[1][i].gpsTimeBits, p[2][i].red), std::pair(p[3][i].gpsTimeBits, p[3][i].red))
            << i;
    }
}

TEST(PointGenerator, PulsesScanLinesAndTimesAreConsistentForEveryFormatAndTinyCounts) {
    for (int format : {0, 1, 2, 3}) {
        SCOPED_TRACE(format);
        PointGenerator gen(40000, format, 2);
        const auto pts = decode(generateBytes(gen, 333), format);
        ASSERT_EQ(pts.size(), 40000u);
        const auto pulses = checkPulses(pts, format, gen.plan());
        EXPECT_EQ(gen.stats().pulses, pulses.size());
    }
    for (uint64_t n : {1ULL, 2ULL, 7ULL})
        for (int format : {0, 3}) {
            const auto pts = generateAll(n, format, 1);
            ASSERT_EQ(pts.size(), n);
            checkPulses(pts, format, synth::planFor(n, 1));
        }
}

// Narrow strips planned for a quarter of the points: four strips flown, then crossed; lines numbered in
// the order flown, a turn between them, all inside the scene.
TEST(PointGenerator, SeveralStripsAndFurtherPassesStayInsideTheScene) {
    const SurveyPlan plan = synth::planSurvey(15000, 1.2, 20.0);
    ASSERT_GE(plan.strips, 2u);
    PointGenerator gen(60000, 1, 8, plan);
    const auto pts = decode(generateBytes(gen, 1 << 12), 1);
    ASSERT_EQ(pts.size(), 60000u);
    const auto pulses = checkPulses(pts, 1, plan);
    std::set<uint16_t> lines;
    double lo[2] = {1e9, 1e9}, hi[2] = {-1e9, -1e9}; // X span of the first line and the first crossing
    for (const PointFields& f : pts) {
        const double x = f.X * Scale, y = f.Y * Scale;
        lines.insert(f.pointSourceID);
        EXPECT_TRUE(x >= -1.0 && x <= plan.extentX + 1.0 && y >= -1.0 && y <= plan.extentY + 1.0);
        for (int k : {0, 1})
            if (f.pointSourceID == (k ? plan.strips + 1 : 1))
                lo[k] = std::min(lo[k], x), hi[k] = std::max(hi[k], x);
    }
    EXPECT_TRUE(lines.size() > plan.strips && *lines.begin() == 1 && size_t(*lines.rbegin()) == lines.size());
    for (size_t k = 1; k < pulses.size(); ++k) {
        const PointFields &a = pts[pulses[k - 1].first], &b = pts[pulses[k].first];
        EXPECT_TRUE(a.pointSourceID == b.pointSourceID || b.gpsTime() - a.gpsTime() >= plan.turnSeconds) << k;
    }
    // A crossing pass runs along X: its lines spread over X while the first pass's spread over Y.
    EXPECT_TRUE(hi[0] - lo[0] <= plan.stripWidth + 1.0 && hi[1] - lo[1] > plan.stripWidth + 1.0);
}

// A pulse cut by the end of the file keeps its first return and, given room, its last, numbered 1..kept.
TEST(PointGenerator, AFinalPulseThatDoesNotFitKeepsConsistentNumbering) {
    const SurveyPlan plan =
        synth::planFor(20000, 3); // one plan for every count: the same records before the cut
    PointGenerator all(20000, 1, 3, plan);
    const auto full = decode(generateBytes(all), 1);
    const auto pulses = pulsesOf(full);
    const auto [first, last] =
        *std::find_if(pulses.begin(), pulses.end(), [](auto& p) { return p.second - p.first >= 3; });
    for (size_t keep = 1; keep < last - first; ++keep) {
        SCOPED_TRACE(keep);
        PointGenerator gen(first + keep, 1, 3, plan);
        const auto cut = decode(generateBytes(gen, 5), 1);
        ASSERT_EQ(cut.size(), first + keep);
        for (size_t i = 0; i < first; ++i)
            ASSERT_EQ(cut[i].Z, full[i].Z);
        for (size_t k = 0; k < keep; ++k)
            EXPECT_EQ(
                std::pair(size_t(cut[first + k].returnNumber()), size_t(cut[first + k].numberOfReturns())),
                std::pair(k + 1, keep));
        EXPECT_TRUE(cut[first].Z == full[first].Z && cut.back().Z == full[keep > 1 ? last - 1 : first].Z);
        EXPECT_EQ(gen.stats().byReturn[keep - 1],
                  uint64_t(std::count_if(cut.begin(), cut.end(),
                                         [&](auto& f) { return size_t(f.returnNumber()) == keep; })));
    }
}

// Each point lies on the ground, a roof or a crown as its class claims; the generator's statistics match
// the records.
TEST(PointGenerator, VillageHoldsGroundTreesAndBuildingsWhereTheSceneHasThemStatsToMatch) {
    PointGenerator gen(300000, 3, 1);
    const auto pts = decode(generateBytes(gen), 3);
    ASSERT_EQ(pts.size(), 300000u);
    const synth::SceneModel& scene = gen.scene();
    const SurveyPlan& plan = gen.plan();
    checkPulses(pts, 3, plan);
    using Objects = std::pair<std::vector<synth::Building>, std::vector<synth::Tree>>;
    std::map<std::pair<int64_t, int64_t>, Objects> near; // by block
    auto objects = [&](double x, double y) -> const Objects& {
        const auto key = std::pair(synth::SceneModel::blockIndex(x), synth::SceneModel::blockIndex(y));
        auto [it, fresh] = near.try_emplace(key);
        const double b = synth::SceneModel::BlockSize, x0 = key.first * b, y0 = key.second * b;
        if (fresh)
            scene.objectsIn(x0, y0, x0 + b, y0 + b, it->second.first, it->second.second);
        return it->second;
    };
    uint64_t counts[7] = {}, byReturn[5] = {};
    int32_t lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    for (const PointFields& f : pts) {
        const double x = f.X * Scale, y = f.Y * Scale, z = f.Z * Scale + PointGenerator::OffsetZ;
        const double ground = scene.groundHeight(x, y);
        const int c = f.classification;
        ASSERT_LT(c, 7);
        ++counts[c], ++byReturn[f.returnNumber() - 1];
        const int32_t xyz[3] = {f.X, f.Y, f.Z};
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], xyz[k]), hi[k] = std::max(hi[k], xyz[k]);
        const auto& [buildings, trees] = objects(x, y);
        const auto roof =
            std::find_if(buildings.begin(), buildings.end(), [&](auto& b) { return b.contains(x, y); });
        if (c == 2) { // on the terrain give or take noise and the centimetre grid, never under a roof
            ASSERT_TRUE(std::fabs(z - ground) <= 0.11 && roof == buildings.end())
                << "ground at " << x << "," << y;
        } else if (c == 6) {
            ASSERT_TRUE(roof != buildings.end() && std::fabs(z - roof->roofHeight(x, y)) <= 0.075 &&
                        z > ground + 2.5)
                << "building point off every roof at " << x << "," << y;
            EXPECT_EQ(f.numberOfReturns(), 1);
        } else {
            ASSERT_TRUE(c == 5 && z > ground + 1.5 &&
                        std::any_of(trees.begin(), trees.end(),
                                    [&](const auto& t) {
                                        return t.covers(x, y) && z <= t.crownSurface(x, y) + 0.006 &&
                                               z >= t.crownBaseZ - 0.006;
                                    }))
                << "class " << c << " outside every crown at " << x << "," << y << "," << z;
        }
    }
    const auto& s = gen.stats();
    EXPECT_EQ(std::tuple(s.minX, s.minY, s.minZ, s.maxX, s.maxY, s.maxZ),
              std::tuple(lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]));
    EXPECT_TRUE(std::equal(byReturn, byReturn + 5, s.byReturn));
    EXPECT_EQ(std::tuple(s.ground, s.vegetation, s.building), std::tuple(counts[2], counts[5], counts[6]));
    // The points cover the planned scene as densely as a real survey; the plan's estimate of returns per
    // pulse is close to what the scan gave.
    const double w = (s.maxX - s.minX) * Scale, h = (s.maxY - s.minY) * Scale;
    const double density = double(s.pulses) / (plan.extentX * plan.extentY),
                 actual = double(pts.size()) / double(s.pulses);
    EXPECT_TRUE(w > 0.9 * plan.extentX && w < plan.extentX + 1.0 && h > 0.9 * plan.extentY &&
                h < plan.extentY + 1.0);
    EXPECT_TRUE(density >= 6.0 && density <= 10.0) << density;
    EXPECT_NEAR(synth::expectedReturnsPerPulse(scene, 0, 0, plan.extentX, plan.extentY), actual,
                0.1 * actual);
}

// Reads a written file back through the LAS library and checks what the header promises against the points.
void checkFile(const std::string& path, uint64_t points, int format) {
    CLASFile las;
    ASSERT_TRUE(las.ReadFile(path.c_str()));
    auto text = [](const char* field, size_t width) { return std::string(field, strnlen(field, width)); };
    EXPECT_EQ(std::tuple(text(las.FileSignature, 4), las.VersionMajor, las.VersionMinor,
                         las.PointDataFormatID, las.PointDataRecordLength, las.HeaderSize,
                         las.GlobalEncoding & 1),
              std::tuple("LASF", 1, 2, format, las_detail::formatSize(format), LASHeader::BlockSize,
                         las_detail::formatHasGPSTime(format) ? 1 : 0));
    ASSERT_EQ(las.NumberOfPointRecords, points);
    EXPECT_TRUE(las.ScaleFactor_X == 0.01 && las.ScaleFactor_Y == 0.01 && las.ScaleFactor_Z == 0.01 &&
                las.OffsetX != 0 && las.OffsetY != 0 && las.OffsetZ != 0);
    // One GeoKeyDirectory record, just before the points.
    ASSERT_TRUE(las.NumberOfVariableLengthRecords == 1 && las.records.size() == 1);
    const LASVarLenRecord& r = las.records[0];
    EXPECT_EQ(std::tuple(text(r.UserID, 16), r.RecordID, las.OffsetToPointData, readBytes(path).size()),
              std::tuple("LASF_Projection", 34735, LASHeader::BlockSize + r.TotalBytes(),
                         las.OffsetToPointData + points * las.PointDataRecordLength));
    // The header's bounds are those of the stored integers, its per-return counts those of the points.
    LASPoint** pts = las.GetPoints(0, points);
    ASSERT_NE(pts, nullptr);
    int64_t lo[3] = {INT64_MAX, INT64_MAX, INT64_MAX}, hi[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
    uint32_t byReturn[5] = {};
    for (uint64_t i = 0; i < points; ++i) {
        const int64_t xyz[3] = {pts[i]->GetX(), pts[i]->GetY(), pts[i]->GetZ()};
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], xyz[k]), hi[k] = std::max(hi[k], xyz[k]);
        ++byReturn[std::clamp(int(pts[i]->GetReturnNumber()), 1, 5) - 1];
    }
    CLASFile::FreePointArray(pts);
    EXPECT_EQ(std::tuple(las.Min_X, las.Min_Y, las.Min_Z, las.Max_X, las.Max_Y, las.Max_Z),
              std::tuple(lo[0] * 0.01 + las.OffsetX, lo[1] * 0.01 + las.OffsetY, lo[2] * 0.01 + las.OffsetZ,
                         hi[0] * 0.01 + las.OffsetX, hi[1] * 0.01 + las.OffsetY, hi[2] * 0.01 + las.OffsetZ));
    EXPECT_TRUE(std::equal(byReturn, byReturn + 5, las.NumberOfPointsByReturn));
}

// Every format and tiny counts read back as the generator's records; the same bytes when written again;
// a smaller file replaces a larger one whole.
TEST(SyntheticLAS, EveryFormatAndTinyCountsReadBackAsWrittenTheSameForASeed) {
    TempDir dir;
    for (uint64_t n : {12000ULL, 1ULL, 2ULL, 7ULL})
        for (int format = 0; format <= 3; ++format) {
            SCOPED_TRACE(std::to_string(n) + " points, format " + std::to_string(format));
            const std::string path = dir.file("scene" + std::to_string(format) + ".las");
            writeSyntheticLAS(path, SynthOptions{n, format, 4});
            checkFile(path, n, format);
            PointGenerator gen(n, format, 4);
            const auto expected = generateBytes(gen), bytes = readBytes(path);
            const size_t offset = LASHeader::BlockSize + synth::geoKeyDirectoryRecord().TotalBytes();
            ASSERT_EQ(bytes.size(), offset + expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + std::ptrdiff_t(offset)));
        }
    const auto before = readBytes(dir.file("scene3.las"));
    writeSyntheticLAS(dir.file("scene3.las"), SynthOptions{7, 3, 4});
    EXPECT_EQ(readBytes(dir.file("scene3.las")), before);
    writeSyntheticLAS(dir.file("scene0.las"), SynthOptions{3000, 2, 1});
    writeSyntheticLAS(dir.file("scene0.las"), SynthOptions{1000, 0, 1});
    checkFile(dir.file("scene0.las"), 1000, 0);
    EXPECT_EQ(dir.entryCount(), 4u) << "no temporary files left behind";
}

// Progress up to the total; bad options, a caller giving up, a missing folder or a folder in the way fail
// clearly and leave nothing behind.
TEST(SyntheticLAS, ProgressUpToTheTotalAndFailuresLeaveNothingBehind) {
    TempDir dir;
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    writeSyntheticLAS(dir.file("p.las"), SynthOptions{250000, 0, 1}, // several blocks of records
                      [&](uint64_t done, uint64_t total) { calls.emplace_back(done, total); });
    ASSERT_GE(calls.size(), 2u);
    for (size_t i = 0; i < calls.size(); ++i)
        EXPECT_TRUE(calls[i].second == 250000u && (i == 0 || calls[i].first > calls[i - 1].first));
    EXPECT_EQ(calls.back().first, 250000u);
    std::filesystem::remove(dir.file("p.las"));
    struct Stop {};
    int stops = 0; // two blocks: the first is written, then the caller gives up
    EXPECT_THROW(writeSyntheticLAS(dir.file("abandoned.las"), SynthOptions{250000, 0, 1},
                                   [&](uint64_t done, uint64_t) {
                                       ++stops;
                                       if (done > 0)
                                           throw Stop{};
                                   }),
                 Stop);
    EXPECT_EQ(stops, 1);
    auto message = [&](const std::string& path, const SynthOptions& o) {
        try {
            writeSyntheticLAS(path, o);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("no exception");
    };
    // clang-format off
    const std::pair<SynthOptions, const char*> bad[] = {{{0, 0, 1}, "number of points"},
        {{4294967296ULL, 0, 1}, "4294967295"}, {{UINT64_MAX, 1, 1}, "4294967295"}, {{100, 4, 1}, "format"},
        {{100, -1, 1}, "format"}, {{100, 0, 1}, "cannot"}}; // the last in a folder that is not there
    // clang-format on
    for (const auto& [o, fragment] : bad)
        EXPECT_NE(message(dir.file("missing/bad.las"), o).find(fragment), std::string::npos) << fragment;
    EXPECT_THROW(writeSyntheticLAS("", SynthOptions{100, 0, 1}), std::runtime_error);
    EXPECT_THROW(PointGenerator(10, 0, 1, SurveyPlan{}), std::runtime_error) << "a plan with no strips";
    EXPECT_EQ(dir.entryCount(), 0u);
    // A folder in the way of the file: everything is written, then the rename fails naming the path.
    const std::string blocked = dir.file("blocked.las");
    std::filesystem::create_directories(blocked + "/inside");
    EXPECT_NE(message(blocked, SynthOptions{5000, 1, 1}).find(blocked), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
    EXPECT_EQ(dir.entryCount(), 1u);
}

} // namespace
