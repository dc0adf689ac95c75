#include "PointGenerator.h"
#include "SynthTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

using synth::PointGenerator;
using synth::SurveyPlan;
using namespace synth_test;

namespace {

constexpr double Scale = PointGenerator::Scale;

double sceneX(const PointFields& f) {
    return f.X * Scale;
}
double sceneY(const PointFields& f) {
    return f.Y * Scale;
}
double height(const PointFields& f) {
    return f.Z * Scale + PointGenerator::OffsetZ;
}

// A village-sized scene shared by the tests that look at its content; generated once.
struct VillageScene {
    static constexpr uint64_t Points = 300000;
    std::unique_ptr<PointGenerator> gen = std::make_unique<PointGenerator>(Points, 3, 1);
    std::vector<PointFields> pts = decode(generateBytes(*gen, 1 << 16), 3);
};
const VillageScene& village() {
    static const VillageScene scene;
    return scene;
}

// Checks the structure every output must have: whole pulses with consistent numbering and shared pulse
// attributes, times and scan flags as a scanner records them. Returns the pulses.
std::vector<Pulse> checkPulses(const std::vector<PointFields>& pts, int format, const SurveyPlan& plan) {
    const bool timed = las_detail::formatHasGPSTime(format);
    const std::vector<Pulse> pulses = pulsesOf(pts);
    EXPECT_EQ(pts.front().returnNumber(), 1);
    for (const Pulse& p : pulses) {
        const PointFields& head = pts[p.first];
        const int n = head.numberOfReturns();
        EXPECT_LE(n, PointGenerator::MaxReturns);
        EXPECT_EQ(p.last - p.first, size_t(n)) << "pulse at record " << p.first;
        for (size_t i = p.first; i < p.last; ++i) {
            const PointFields& f = pts[i];
            EXPECT_EQ(size_t(f.returnNumber()), i - p.first + 1);
            // Return count, scan direction and edge flag, position, angle, line and time are the pulse's.
            EXPECT_EQ(
                std::tuple(f.returnByte & 0xF8, f.X, f.Y, f.scanAngleRank, f.pointSourceID, f.gpsTimeBits),
                std::tuple(head.returnByte & 0xF8, head.X, head.Y, head.scanAngleRank, head.pointSourceID,
                           head.gpsTimeBits));
            if (i > p.first) // later returns come from further along the beam: lower down
                EXPECT_LT(f.Z, pts[i - 1].Z);
        }
        EXPECT_LE(std::abs(head.scanAngleRank), int(plan.maxScanAngle) + 1);
        EXPECT_GE(head.pointSourceID, 1);
        EXPECT_TRUE(timed ? head.gpsTime() > 0.0 : head.gpsTimeBits == 0);
    }
    for (size_t k = 1; k < pulses.size(); ++k) {
        const PointFields &a = pts[pulses[k - 1].first], &b = pts[pulses[k].first];
        EXPECT_GE(b.pointSourceID, a.pointSourceID);
        if (timed)
            EXPECT_GT(b.gpsTime(), a.gpsTime()) << "pulse " << k;
        // A scan line ends on its edge pulse; the next sweeps the other way, and within a line the angle
        // moves in the scan direction.
        if (a.edgeOfFlightLine()) {
            EXPECT_NE(b.scanDirectionFlag(), a.scanDirectionFlag());
        } else if (b.pointSourceID == a.pointSourceID) {
            EXPECT_EQ(b.scanDirectionFlag(), a.scanDirectionFlag());
            EXPECT_TRUE(a.scanDirectionFlag() ? b.scanAngleRank >= a.scanAngleRank
                                              : b.scanAngleRank <= a.scanAngleRank);
            if (timed)
                EXPECT_NEAR(b.gpsTime() - a.gpsTime(), 1.0 / plan.pulseRate, 1e-6);
        }
    }
    return pulses;
}

} // namespace

TEST(PointGenerator, RejectsBadOptions) {
    const struct {
        uint64_t points;
        int format;
        size_t strips;
        const char* message;
    } cases[] = {{0, 1, 1, "4294967295"},
                 {4294967296ULL, 0, 1, "4294967295"},
                 {UINT64_MAX, 1, 1, "4294967295"},
                 {10, -1, 1, "format"},
                 {10, 4, 1, "format"},
                 {10, 0, 0, ""}}; // a plan with no strips
    for (const auto& c : cases) {
        try {
            if (c.strips)
                PointGenerator(c.points, c.format, 1);
            else
                PointGenerator(c.points, c.format, 1, SurveyPlan{});
            ADD_FAILURE() << c.points << " points, format " << c.format;
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(PointGenerator, ExactCountWhateverTheChunkingAndDeterministicPerSeed) {
    PointGenerator whole(5000, 3, 21);
    const std::vector<unsigned char> reference = generateBytes(whole, 1 << 20);
    ASSERT_EQ(reference.size(), 5000u * 34);
    EXPECT_TRUE(whole.done());
    EXPECT_EQ(whole.written(), 5000u);
    unsigned char spare[34];
    EXPECT_EQ(whole.generate(spare, 1), 0u);
    // Chunks of one, and of sizes that cut pulses, give the same bytes.
    for (uint64_t chunk : {1ULL, 3ULL, 7ULL, 4999ULL}) {
        PointGenerator gen(5000, 3, 21);
        EXPECT_EQ(generateBytes(gen, chunk), reference) << "chunk " << chunk;
    }
    PointGenerator other(5000, 3, 22);
    const auto otherBytes = generateBytes(other, 4096);
    ASSERT_EQ(otherBytes.size(), reference.size());
    EXPECT_NE(otherBytes, reference);

    // Every format carries the same geometry for a seed; the optional fields agree too.
    const auto p0 = generateAll(5000, 0, 21), p1 = generateAll(5000, 1, 21), p2 = generateAll(5000, 2, 21);
    const auto p3 = decode(reference, 3);
    for (const auto* f : {&p1, &p2, &p3}) {
        ASSERT_EQ(f->size(), p0.size());
        for (size_t i = 0; i < p0.size(); ++i)
            ASSERT_EQ(std::tuple((*f)[i].X, (*f)[i].Y, (*f)[i].Z, (*f)[i].intensity, (*f)[i].returnByte,
                                 (*f)[i].classification),
                      std::tuple(p0[i].X, p0[i].Y, p0[i].Z, p0[i].intensity, p0[i].returnByte,
                                 p0[i].classification))
                << "record " << i;
    }
    for (size_t i = 0; i < p0.size(); ++i) {
        EXPECT_EQ(p1[i].gpsTimeBits, p3[i].gpsTimeBits);
        EXPECT_EQ(p2[i].red, p3[i].red);
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
        // Full scan lines sweep from one swath edge to the other.
        int edges = 0;
        for (const Pulse& p : pulses)
            if (pts[p.first].edgeOfFlightLine()) {
                ++edges;
                EXPECT_GE(std::abs(pts[p.first].scanAngleRank), int(gen.plan().maxScanAngle) - 1);
            }
        EXPECT_GE(edges, int(pulses.size() / gen.plan().pulsesPerLine) - 1);
    }
    for (uint64_t n : {1ULL, 2ULL, 7ULL})
        for (int format : {0, 3}) {
            const auto pts = generateAll(n, format, 1);
            ASSERT_EQ(pts.size(), n);
            checkPulses(pts, format, synth::planFor(n, 1));
        }
}

TEST(PointGenerator, SeveralStripsAndFurtherPassesStayInsideTheScene) {
    // Narrow strips planned for a quarter of the points: the survey flies four strips, then crosses them.
    const SurveyPlan plan = synth::planSurvey(15000, 1.2, 20.0);
    ASSERT_GE(plan.strips, 2u);
    PointGenerator gen(60000, 1, 8, plan);
    const auto pts = decode(generateBytes(gen, 1 << 12), 1);
    ASSERT_EQ(pts.size(), 60000u);
    const auto pulses = checkPulses(pts, 1, plan);
    std::set<uint16_t> lines;
    double lo[2] = {1e9, 1e9}, hi[2] = {-1e9, -1e9}; // X span of the first line and the first crossing
    for (const PointFields& f : pts) {
        lines.insert(f.pointSourceID);
        EXPECT_TRUE(sceneX(f) >= -1.0 && sceneX(f) <= plan.extentX + 1.0 && sceneY(f) >= -1.0 &&
                    sceneY(f) <= plan.extentY + 1.0);
        for (int k : {0, 1})
            if (f.pointSourceID == (k ? plan.strips + 1 : 1))
                lo[k] = std::min(lo[k], sceneX(f)), hi[k] = std::max(hi[k], sceneX(f));
    }
    // Flight lines are numbered 1, 2, 3, ... in the order flown, on past the first pass.
    EXPECT_GT(lines.size(), size_t(plan.strips));
    EXPECT_EQ(*lines.begin(), 1);
    EXPECT_EQ(size_t(*lines.rbegin()), lines.size());
    // Between lines the aircraft turns: a pause far longer than a pulse.
    for (size_t k = 1; k < pulses.size(); ++k) {
        const PointFields &a = pts[pulses[k - 1].first], &b = pts[pulses[k].first];
        if (a.pointSourceID != b.pointSourceID)
            EXPECT_GE(b.gpsTime() - a.gpsTime(), plan.turnSeconds);
    }
    // A crossing pass runs along X: its lines spread over X while the first pass's spread over Y.
    EXPECT_LE(hi[0] - lo[0], plan.stripWidth + 1.0);
    EXPECT_GT(hi[1] - lo[1], plan.stripWidth + 1.0);
}

TEST(PointGenerator, AFinalPulseThatDoesNotFitKeepsConsistentNumbering) {
    // One plan for every count, so the records before the cut are the same.
    const SurveyPlan plan = synth::planFor(20000, 3);
    PointGenerator all(20000, 1, 3, plan);
    const auto full = decode(generateBytes(all, 1 << 16), 1);
    const auto pulses = pulsesOf(full);
    // The first pulse with three or more returns, cut after one, two, ... records.
    auto it =
        std::find_if(pulses.begin(), pulses.end(), [&](const Pulse& p) { return p.last - p.first >= 3; });
    ASSERT_NE(it, pulses.end());
    for (size_t keep = 1; keep < it->last - it->first; ++keep) {
        SCOPED_TRACE(keep);
        PointGenerator gen(it->first + keep, 1, 3, plan);
        const auto cut = decode(generateBytes(gen, 5), 1);
        ASSERT_EQ(cut.size(), it->first + keep);
        for (size_t i = 0; i < it->first; ++i)
            ASSERT_EQ(cut[i].Z, full[i].Z);
        for (size_t k = 0; k < keep; ++k) {
            EXPECT_EQ(size_t(cut[it->first + k].returnNumber()), k + 1);
            EXPECT_EQ(size_t(cut[it->first + k].numberOfReturns()), keep);
        }
        // It keeps its first return and, given room for more, its last.
        EXPECT_EQ(cut[it->first].Z, full[it->first].Z);
        EXPECT_EQ(cut.back().Z, full[keep > 1 ? it->last - 1 : it->first].Z);
        EXPECT_EQ(gen.stats().byReturn[keep - 1],
                  uint64_t(std::count_if(cut.begin(), cut.end(),
                                         [&](auto& f) { return size_t(f.returnNumber()) == keep; })));
    }
}

TEST(PointGenerator, StatsMatchTheRecords) {
    PointGenerator gen(25000, 2, 12);
    const auto pts = decode(generateBytes(gen, 1000), 2);
    const auto& s = gen.stats();
    int32_t lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    uint64_t byReturn[5] = {}, classes[7] = {};
    for (const PointFields& f : pts) {
        const int32_t xyz[3] = {f.X, f.Y, f.Z};
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], xyz[k]), hi[k] = std::max(hi[k], xyz[k]);
        ++byReturn[f.returnNumber() - 1];
        ASSERT_LT(f.classification, 7);
        ++classes[f.classification];
    }
    EXPECT_EQ(std::tuple(s.minX, s.minY, s.minZ, s.maxX, s.maxY, s.maxZ),
              std::tuple(lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]));
    EXPECT_TRUE(std::equal(byReturn, byReturn + 5, s.byReturn));
    EXPECT_EQ(std::tuple(s.ground, s.vegetation, s.building), std::tuple(classes[2], classes[5], classes[6]));
    EXPECT_EQ(classes[2] + classes[5] + classes[6], pts.size());
}

TEST(PointGenerator, VillageSceneHoldsGroundTreesAndBuildingsWhereTheSceneHasThem) {
    const VillageScene& v = village();
    const auto& pts = v.pts;
    ASSERT_EQ(pts.size(), VillageScene::Points);
    const synth::SceneModel& scene = v.gen->scene();
    const SurveyPlan& plan = v.gen->plan();
    checkPulses(pts, 3, plan);

    // Objects by block, to check each point against the geometry it claims to be.
    using Objects = std::pair<std::vector<synth::Building>, std::vector<synth::Tree>>;
    std::map<std::pair<int64_t, int64_t>, Objects> near;
    auto objects = [&](double x, double y) -> const Objects& {
        const auto key = std::pair(synth::SceneModel::blockIndex(x), synth::SceneModel::blockIndex(y));
        auto [it, fresh] = near.try_emplace(key);
        const double x0 = key.first * synth::SceneModel::BlockSize,
                     y0 = key.second * synth::SceneModel::BlockSize;
        if (fresh)
            scene.objectsIn(x0, y0, x0 + synth::SceneModel::BlockSize, y0 + synth::SceneModel::BlockSize,
                            it->second.first, it->second.second);
        return it->second;
    };

    uint64_t counts[7] = {};
    std::map<const synth::Building*, std::pair<double, double>> roofRange; // lowest and highest return
    for (const PointFields& f : pts) {
        const double x = sceneX(f), y = sceneY(f), z = height(f), ground = scene.groundHeight(x, y);
        ASSERT_LT(f.classification, 7);
        ++counts[f.classification];
        const auto& [buildings, trees] = objects(x, y);
        const auto roof =
            std::find_if(buildings.begin(), buildings.end(), [&](auto& b) { return b.contains(x, y); });
        if (f.classification == 2) {
            // On the terrain, give or take sensor noise and the centimetre grid, never under a roof.
            ASSERT_NEAR(z, ground, 0.11) << x << "," << y;
            ASSERT_EQ(roof, buildings.end()) << "ground under a roof at " << x << "," << y;
        } else if (f.classification == 6) {
            ASSERT_NE(roof, buildings.end()) << "building point outside every footprint at " << x << "," << y;
            ASSERT_NEAR(z, roof->roofHeight(x, y), 0.075);
            ASSERT_GT(z, ground + 2.5);
            EXPECT_EQ(f.numberOfReturns(), 1);
            auto [r, fresh] = roofRange.try_emplace(&*roof, z, z);
            r->second = {std::min(r->second.first, z), std::max(r->second.second, z)};
        } else if (f.classification == 5) {
            ASSERT_TRUE(std::any_of(trees.begin(), trees.end(),
                                    [&](const auto& t) {
                                        return t.covers(x, y) && z <= t.crownSurface(x, y) + 0.006 &&
                                               z >= t.crownBaseZ - 0.006;
                                    }))
                << "vegetation point outside every crown at " << x << "," << y << "," << z;
            ASSERT_GT(z, ground + 1.5);
        } else {
            FAIL() << "class " << int(f.classification);
        }
    }
    // All three classes, in believable shares, on several buildings.
    EXPECT_GT(counts[2], pts.size() / 2);
    EXPECT_GT(counts[5], pts.size() / 100);
    EXPECT_GT(counts[6], pts.size() / 100);
    EXPECT_GE(roofRange.size(), 5u);
    // Gable roofs show their pitch in the points; flat roofs only their parapet and noise.
    int pitched = 0, flat = 0;
    for (const auto& [b, range] : roofRange) {
        pitched += b->shape == synth::RoofShape::Gable && range.second - range.first > 1.0;
        if (b->shape == synth::RoofShape::Flat) {
            EXPECT_LT(range.second - range.first, synth::Building::ParapetHeight + 0.16);
            ++flat;
        }
    }
    EXPECT_GT(pitched, 0);
    EXPECT_GT(flat, 0);

    // The points cover the planned scene, with pulses as dense as a real survey's, and the plan's estimate
    // of returns per pulse is close to what the scan gave.
    const auto& s = v.gen->stats();
    const double w = (s.maxX - s.minX) * Scale, h = (s.maxY - s.minY) * Scale;
    EXPECT_TRUE(w > 0.9 * plan.extentX && w < plan.extentX + 1.0) << w;
    EXPECT_TRUE(h > 0.9 * plan.extentY && h < plan.extentY + 1.0) << h;
    const double density = double(s.pulses) / (plan.extentX * plan.extentY);
    EXPECT_TRUE(density >= 6.0 && density <= 10.0) << density;
    const double actual = double(pts.size()) / double(s.pulses);
    EXPECT_NEAR(synth::expectedReturnsPerPulse(scene, 0, 0, plan.extentX, plan.extentY), actual,
                0.1 * actual);
}

TEST(PointGenerator, IntensityAndColourFollowTheSurface) {
    const auto& pts = village().pts;
    double intensity[8][3] = {}, n[8][3] = {}, red[8] = {}, green[8] = {}, blue[8] = {};
    std::set<uint16_t> groundIntensities;
    std::set<uint32_t> colours;
    for (const PointFields& f : pts) {
        ASSERT_GT(f.intensity, 0);
        // Eight-bit colours scaled to the full 16-bit range.
        ASSERT_EQ((f.red % 257) | (f.green % 257) | (f.blue % 257), 0);
        const int c = f.classification, r = std::min(f.returnNumber() - 1, 2);
        intensity[c][r] += f.intensity, ++n[c][r];
        red[c] += f.red, green[c] += f.green, blue[c] += f.blue;
        colours.insert(uint32_t(f.red / 257) << 16 | uint32_t(f.green / 257) << 8 | uint32_t(f.blue / 257));
        if (c == 2)
            groundIntensities.insert(f.intensity);
    }
    auto mean = [&](int c, int r) { return intensity[c][r] / n[c][r]; };
    // Vegetation is darker than open ground, each later return in a crown weaker, and ground reached
    // through a crown weaker than open ground. Noise keeps one surface from one constant value.
    EXPECT_LT(mean(5, 0), mean(2, 0));
    EXPECT_GT(mean(5, 0), mean(5, 1));
    EXPECT_GT(n[2][1], 100);
    EXPECT_LT(mean(2, 1), 0.6 * mean(2, 0));
    EXPECT_GT(groundIntensities.size(), 1000u);
    // Trees are green; ground is grass or soil, never blue; roofs are reddish or grey, not green.
    EXPECT_GT(colours.size(), 1000u);
    EXPECT_GT(green[5], 1.2 * std::max(red[5], blue[5]));
    EXPECT_GT(std::min(green[2], red[2]), blue[2]);
    EXPECT_GT(red[6], green[6] * 0.95);
    for (const PointFields& f : generateAll(1000, 1, 1))
        ASSERT_EQ(f.red | f.green | f.blue, 0);
}
