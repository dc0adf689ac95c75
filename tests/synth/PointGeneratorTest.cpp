#include "PointGenerator.h"
#include "SynthTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>

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
    const std::vector<Pulse> pulses = pulsesOf(pts);
    EXPECT_EQ(pts.front().returnNumber(), 1);
    for (const Pulse& p : pulses) {
        const PointFields& head = pts[p.first];
        const int n = head.numberOfReturns();
        EXPECT_GE(n, 1);
        EXPECT_LE(n, PointGenerator::MaxReturns);
        EXPECT_EQ(p.last - p.first, size_t(n)) << "pulse at record " << p.first;
        for (size_t i = p.first; i < p.last; ++i) {
            const PointFields& f = pts[i];
            EXPECT_EQ(size_t(f.returnNumber()), i - p.first + 1);
            EXPECT_EQ(f.numberOfReturns(), n);
            EXPECT_EQ(f.X, head.X);
            EXPECT_EQ(f.Y, head.Y);
            EXPECT_EQ(f.scanAngleRank, head.scanAngleRank);
            EXPECT_EQ(f.pointSourceID, head.pointSourceID);
            EXPECT_EQ(f.scanDirectionFlag(), head.scanDirectionFlag());
            EXPECT_EQ(f.edgeOfFlightLine(), head.edgeOfFlightLine());
            EXPECT_EQ(f.gpsTimeBits, head.gpsTimeBits);
            // Later returns come from further along the beam: lower down.
            if (i > p.first) {
                EXPECT_LT(f.Z, pts[i - 1].Z);
            }
        }
        EXPECT_LE(std::abs(head.scanAngleRank), int(plan.maxScanAngle) + 1);
        EXPECT_GE(head.pointSourceID, 1);
    }
    for (size_t k = 1; k < pulses.size(); ++k) {
        const PointFields& a = pts[pulses[k - 1].first];
        const PointFields& b = pts[pulses[k].first];
        EXPECT_GE(b.pointSourceID, a.pointSourceID);
        if (las_detail::formatHasGPSTime(format)) {
            EXPECT_GT(b.gpsTime(), a.gpsTime()) << "pulse " << k;
        }
        // A scan line ends on its edge pulse; the next line sweeps the other way. Within a line the angle
        // moves in the scan direction.
        if (a.edgeOfFlightLine()) {
            EXPECT_NE(b.scanDirectionFlag(), a.scanDirectionFlag());
        } else if (b.pointSourceID == a.pointSourceID) {
            EXPECT_EQ(b.scanDirectionFlag(), a.scanDirectionFlag());
            if (a.scanDirectionFlag()) {
                EXPECT_GE(b.scanAngleRank, a.scanAngleRank);
            } else {
                EXPECT_LE(b.scanAngleRank, a.scanAngleRank);
            }
            if (las_detail::formatHasGPSTime(format)) {
                EXPECT_NEAR(b.gpsTime() - a.gpsTime(), 1.0 / plan.pulseRate, 1e-6);
            }
        }
    }
    for (const PointFields& f : pts)
        if (las_detail::formatHasGPSTime(format)) {
            EXPECT_GT(f.gpsTime(), 0.0);
        } else {
            EXPECT_EQ(f.gpsTimeBits, 0u);
        }
    return pulses;
}

} // namespace

TEST(PointGenerator, RejectsBadOptions) {
    EXPECT_THROW(PointGenerator(0, 0, 1), std::runtime_error);
    EXPECT_THROW(PointGenerator(4294967296ULL, 0, 1), std::runtime_error);
    EXPECT_THROW(PointGenerator(UINT64_MAX, 1, 1), std::runtime_error);
    EXPECT_THROW(PointGenerator(10, -1, 1), std::runtime_error);
    EXPECT_THROW(PointGenerator(10, 4, 1), std::runtime_error);
    EXPECT_THROW(PointGenerator(10, 0, 1, SurveyPlan{}), std::runtime_error) << "a plan with no strips";
    try {
        PointGenerator(10, 6, 1);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("format"), std::string::npos) << e.what();
    }
    try {
        PointGenerator(0, 1, 1);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("4294967295"), std::string::npos) << e.what();
    }
}

TEST(PointGenerator, WritesExactlyTheRequestedCountWhateverTheChunking) {
    PointGenerator whole(5000, 3, 21);
    const std::vector<unsigned char> reference = generateBytes(whole, 1 << 20);
    ASSERT_EQ(reference.size(), 5000u * 34);
    EXPECT_TRUE(whole.done());
    EXPECT_EQ(whole.written(), 5000u);
    unsigned char spare[34];
    EXPECT_EQ(whole.generate(spare, 1), 0u);
    // Chunks of one, and of sizes that cut pulses, give the same bytes.
    for (uint64_t chunk : {1ULL, 2ULL, 3ULL, 7ULL, 4999ULL}) {
        PointGenerator gen(5000, 3, 21);
        EXPECT_EQ(generateBytes(gen, chunk), reference) << "chunk " << chunk;
    }
}

TEST(PointGenerator, SameSeedSameRecordsOtherSeedOtherRecords) {
    PointGenerator a(20000, 1, 5), b(20000, 1, 5), c(20000, 1, 6);
    const auto ba = generateBytes(a, 4096), bb = generateBytes(b, 4096), bc = generateBytes(c, 4096);
    EXPECT_EQ(ba, bb);
    ASSERT_EQ(ba.size(), bc.size());
    EXPECT_NE(ba, bc);
}

TEST(PointGenerator, EveryFormatSharesOneGeometryForASeed) {
    const auto p0 = generateAll(30000, 0, 17), p1 = generateAll(30000, 1, 17), p2 = generateAll(30000, 2, 17);
    const auto& p3 = generateAll(30000, 3, 17);
    for (const auto* other : {&p1, &p2, &p3}) {
        ASSERT_EQ(other->size(), p0.size());
        for (size_t i = 0; i < p0.size(); ++i) {
            ASSERT_EQ((*other)[i].X, p0[i].X);
            ASSERT_EQ((*other)[i].Y, p0[i].Y);
            ASSERT_EQ((*other)[i].Z, p0[i].Z);
            ASSERT_EQ((*other)[i].intensity, p0[i].intensity);
            ASSERT_EQ((*other)[i].returnByte, p0[i].returnByte);
            ASSERT_EQ((*other)[i].classification, p0[i].classification);
        }
    }
    for (size_t i = 0; i < p0.size(); ++i) {
        EXPECT_EQ(p1[i].gpsTimeBits, p3[i].gpsTimeBits);
        EXPECT_EQ(p2[i].red, p3[i].red);
    }
}

TEST(PointGenerator, PulsesScanLinesAndTimesAreConsistent) {
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
}

TEST(PointGenerator, ScanAngleFollowsThePositionAcrossTheStrip) {
    PointGenerator gen(30000, 1, 4);
    const auto pts = decode(generateBytes(gen, 1 << 16), 1);
    const SurveyPlan& p = gen.plan();
    ASSERT_EQ(p.strips, 1u);
    const double centre = 0.5 * p.stripWidth;
    // The first strip flies north: right of the heading is east, and positive angles look right.
    for (const PointFields& f : pts) {
        if (f.pointSourceID != 1)
            continue;
        const double expected = std::atan((sceneX(f) - centre) / p.altitude) * 180.0 / M_PI;
        ASSERT_NEAR(f.scanAngleRank, expected, 0.75);
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
    for (const PointFields& f : pts) {
        lines.insert(f.pointSourceID);
        EXPECT_GE(sceneX(f), -1.0);
        EXPECT_LE(sceneX(f), plan.extentX + 1.0);
        EXPECT_GE(sceneY(f), -1.0);
        EXPECT_LE(sceneY(f), plan.extentY + 1.0);
    }
    // Flight lines are numbered 1, 2, 3, ... in the order flown, on past the first pass.
    EXPECT_GT(lines.size(), size_t(plan.strips));
    EXPECT_EQ(*lines.begin(), 1);
    EXPECT_EQ(size_t(*lines.rbegin()), lines.size());
    // Between strips the aircraft turns: a pause far longer than a pulse.
    for (size_t k = 1; k < pulses.size(); ++k) {
        const PointFields& a = pts[pulses[k - 1].first];
        const PointFields& b = pts[pulses[k].first];
        if (a.pointSourceID != b.pointSourceID) {
            EXPECT_GE(b.gpsTime() - a.gpsTime(), plan.turnSeconds);
        }
    }
    // A crossing pass runs along X: its lines spread over X while the first pass's spread over Y.
    double firstSpanX = 0, crossSpanX = 0;
    for (uint16_t line : {uint16_t(1), uint16_t(plan.strips + 1)}) {
        double lo = 1e9, hi = -1e9;
        for (const PointFields& f : pts)
            if (f.pointSourceID == line)
                lo = std::min(lo, sceneX(f)), hi = std::max(hi, sceneX(f));
        (line == 1 ? firstSpanX : crossSpanX) = hi - lo;
    }
    EXPECT_LE(firstSpanX, plan.stripWidth + 1.0);
    EXPECT_GT(crossSpanX, plan.stripWidth + 1.0);
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
    const size_t n = it->last - it->first;
    for (size_t keep = 1; keep < n; ++keep) {
        SCOPED_TRACE(keep);
        PointGenerator gen(it->first + keep, 1, 3, plan);
        const auto cut = decode(generateBytes(gen, 5), 1);
        ASSERT_EQ(cut.size(), it->first + keep);
        // Everything before the pulse is unchanged.
        for (size_t i = 0; i < it->first; ++i) {
            ASSERT_EQ(cut[i].Z, full[i].Z);
        }
        for (size_t k = 0; k < keep; ++k) {
            const PointFields& f = cut[it->first + k];
            EXPECT_EQ(size_t(f.returnNumber()), k + 1);
            EXPECT_EQ(size_t(f.numberOfReturns()), keep);
        }
        // It keeps its first return and, given room for more, its last.
        EXPECT_EQ(cut[it->first].Z, full[it->first].Z);
        if (keep > 1) {
            EXPECT_EQ(cut.back().Z, full[it->last - 1].Z);
        }
        const auto withNumber = std::count_if(
            cut.begin(), cut.end(), [&](const PointFields& f) { return size_t(f.returnNumber()) == keep; });
        EXPECT_EQ(gen.stats().byReturn[keep - 1], uint64_t(withNumber));
    }
}

TEST(PointGenerator, TinyCountsWork) {
    for (uint64_t n : {1ULL, 2ULL, 7ULL}) {
        for (int format : {0, 3}) {
            const auto pts = generateAll(n, format, 1);
            ASSERT_EQ(pts.size(), n);
            checkPulses(pts, format, synth::planFor(n, 1));
        }
    }
}

TEST(PointGenerator, StatsMatchTheRecords) {
    PointGenerator gen(25000, 2, 12);
    const auto pts = decode(generateBytes(gen, 1000), 2);
    const auto& s = gen.stats();
    int32_t minX = INT32_MAX, maxX = INT32_MIN, minY = INT32_MAX, maxY = INT32_MIN, minZ = INT32_MAX,
            maxZ = INT32_MIN;
    uint64_t byReturn[5] = {}, classes[7] = {};
    for (const PointFields& f : pts) {
        minX = std::min(minX, f.X), maxX = std::max(maxX, f.X);
        minY = std::min(minY, f.Y), maxY = std::max(maxY, f.Y);
        minZ = std::min(minZ, f.Z), maxZ = std::max(maxZ, f.Z);
        ++byReturn[f.returnNumber() - 1];
        ASSERT_LT(f.classification, 7);
        ++classes[f.classification];
    }
    EXPECT_EQ(s.minX, minX);
    EXPECT_EQ(s.maxX, maxX);
    EXPECT_EQ(s.minY, minY);
    EXPECT_EQ(s.maxY, maxY);
    EXPECT_EQ(s.minZ, minZ);
    EXPECT_EQ(s.maxZ, maxZ);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(s.byReturn[i], byReturn[i]);
    }
    EXPECT_EQ(s.ground, classes[2]);
    EXPECT_EQ(s.vegetation, classes[5]);
    EXPECT_EQ(s.building, classes[6]);
    EXPECT_EQ(classes[2] + classes[5] + classes[6], pts.size());
}

TEST(PointGenerator, VillageSceneHoldsGroundTreesAndBuildingsWhereTheSceneHasThem) {
    const VillageScene& v = village();
    const auto& pts = v.pts;
    ASSERT_EQ(pts.size(), VillageScene::Points);
    const synth::SceneModel& scene = v.gen->scene();
    checkPulses(pts, 3, v.gen->plan());

    // Objects by block, to check each point against the geometry it claims to be.
    std::map<std::pair<int64_t, int64_t>, std::pair<std::vector<synth::Building>, std::vector<synth::Tree>>>
        near;
    auto objects = [&](double x, double y) -> const auto& {
        const auto key = std::pair(synth::SceneModel::blockIndex(x), synth::SceneModel::blockIndex(y));
        auto it = near.find(key);
        if (it == near.end()) {
            const double x0 = key.first * synth::SceneModel::BlockSize,
                         y0 = key.second * synth::SceneModel::BlockSize;
            it = near.emplace(key, std::pair<std::vector<synth::Building>, std::vector<synth::Tree>>()).first;
            scene.objectsIn(x0, y0, x0 + synth::SceneModel::BlockSize, y0 + synth::SceneModel::BlockSize,
                            it->second.first, it->second.second);
        }
        return it->second;
    };

    uint64_t counts[7] = {};
    std::set<double> buildingsSeen;
    std::map<const synth::Building*, std::pair<double, double>>
        roofRange; // lowest and highest return per roof
    for (const PointFields& f : pts) {
        const double x = sceneX(f), y = sceneY(f), z = height(f);
        const double ground = scene.groundHeight(x, y);
        ASSERT_LT(f.classification, 7);
        ++counts[f.classification];
        const auto& [buildings, trees] = objects(x, y);
        if (f.classification == 2) {
            // On the terrain, give or take sensor noise and the centimetre grid.
            ASSERT_NEAR(z, ground, 0.11) << x << "," << y;
            for (const auto& b : buildings) {
                ASSERT_FALSE(b.contains(x, y)) << "ground under a roof at " << x << "," << y;
            }
        } else if (f.classification == 6) {
            auto b = std::find_if(buildings.begin(), buildings.end(),
                                  [&](const auto& b) { return b.contains(x, y); });
            ASSERT_NE(b, buildings.end()) << "building point outside every footprint at " << x << "," << y;
            ASSERT_NEAR(z, b->roofHeight(x, y), 0.075);
            ASSERT_GT(z, ground + 2.5);
            EXPECT_EQ(f.numberOfReturns(), 1);
            buildingsSeen.insert(b->cx);
            auto [r, fresh] = roofRange.try_emplace(&*b, z, z);
            r->second.first = std::min(r->second.first, z), r->second.second = std::max(r->second.second, z);
        } else if (f.classification == 5) {
            auto t = std::find_if(trees.begin(), trees.end(), [&](const auto& t) {
                return t.covers(x, y) && z <= t.crownSurface(x, y) + 0.006 && z >= t.crownBaseZ - 0.006;
            });
            ASSERT_NE(t, trees.end())
                << "vegetation point outside every crown at " << x << "," << y << "," << z;
            ASSERT_GT(z, ground + 1.5);
        } else {
            FAIL() << "class " << int(f.classification);
        }
    }
    // All three classes, in believable shares.
    EXPECT_GT(counts[2], pts.size() / 2);
    EXPECT_GT(counts[5], pts.size() / 100);
    EXPECT_GT(counts[6], pts.size() / 100);
    EXPECT_GE(buildingsSeen.size(), 5u);
    // Gable roofs show their pitch in the points; flat roofs only their parapet and noise.
    int pitched = 0, flat = 0;
    for (const auto& [b, range] : roofRange) {
        if (b->shape == synth::RoofShape::Gable && range.second - range.first > 1.0)
            ++pitched;
        if (b->shape == synth::RoofShape::Flat) {
            EXPECT_LT(range.second - range.first, synth::Building::ParapetHeight + 0.16);
            ++flat;
        }
    }
    EXPECT_GT(pitched, 0);
    EXPECT_GT(flat, 0);
}

TEST(PointGenerator, VillageSceneHasRealisticDensityAndCoverage) {
    const VillageScene& v = village();
    const SurveyPlan& plan = v.gen->plan();
    const auto& s = v.gen->stats();
    const double w = (s.maxX - s.minX) * Scale, h = (s.maxY - s.minY) * Scale;
    // The points cover the planned scene, and the pulses over it are as dense as a real survey's.
    EXPECT_GT(w, 0.9 * plan.extentX);
    EXPECT_GT(h, 0.9 * plan.extentY);
    EXPECT_LT(w, plan.extentX + 1.0);
    EXPECT_LT(h, plan.extentY + 1.0);
    const double density = double(s.pulses) / (plan.extentX * plan.extentY);
    EXPECT_GE(density, 6.0);
    EXPECT_LE(density, 10.0);
    // The plan's estimate of returns per pulse is close to what the scan gave.
    const double actual = double(v.pts.size()) / double(s.pulses);
    const double estimated = synth::expectedReturnsPerPulse(v.gen->scene(), 0, 0, plan.extentX, plan.extentY);
    EXPECT_NEAR(estimated, actual, 0.1 * actual);
    EXPECT_GT(s.byReturn[1], 0u);
    EXPECT_GT(s.byReturn[2], 0u);
}

TEST(PointGenerator, IntensityDependsOnTheSurface) {
    const auto& pts = village().pts;
    double sum[8][5] = {}, n[8][5] = {};
    for (const PointFields& f : pts) {
        ASSERT_GT(f.intensity, 0);
        const int r = f.returnNumber() - 1;
        sum[f.classification][r] += f.intensity;
        n[f.classification][r] += 1;
    }
    auto mean = [&](int cls, int r) { return sum[cls][r] / n[cls][r]; };
    // Vegetation is darker than open ground, and each later return in a crown weaker than the one before.
    EXPECT_LT(mean(5, 0), mean(2, 0));
    EXPECT_GT(mean(5, 0), mean(5, 1));
    EXPECT_GT(mean(5, 1), mean(5, 2));
    // Ground reached through a crown is weaker than open ground.
    double throughSum = 0, through = 0;
    for (const PointFields& f : pts)
        if (f.classification == 2 && f.returnNumber() > 1)
            throughSum += f.intensity, ++through;
    ASSERT_GT(through, 100);
    EXPECT_LT(throughSum / through, 0.6 * mean(2, 0));

    // Roofs differ by material: the mean intensity of the brightest building is far above the darkest's.
    std::map<std::pair<int32_t, int32_t>, std::pair<double, int>>
        perRoof; // by 5 m cell, small enough for one roof
    for (const PointFields& f : pts)
        if (f.classification == 6) {
            auto& e = perRoof[{f.X / 500, f.Y / 500}];
            e.first += f.intensity, ++e.second;
        }
    double lo = 1e9, hi = 0;
    for (auto& [cell, e] : perRoof)
        if (e.second > 100)
            lo = std::min(lo, e.first / e.second), hi = std::max(hi, e.first / e.second);
    EXPECT_GT(hi, 2.0 * lo);
    // Noise: the same surface does not return one constant value.
    std::set<uint16_t> values;
    for (const PointFields& f : pts)
        if (f.classification == 2)
            values.insert(f.intensity);
    EXPECT_GT(values.size(), 1000u);
}

TEST(PointGenerator, ColoursFollowTheSurface) {
    const auto& pts = village().pts;
    std::set<uint32_t> distinct;
    double green[8] = {}, red[8] = {}, blue[8] = {}, count[8] = {};
    for (const PointFields& f : pts) {
        // Eight-bit colours scaled to the full 16-bit range.
        ASSERT_EQ(f.red % 257, 0);
        ASSERT_EQ(f.green % 257, 0);
        ASSERT_EQ(f.blue % 257, 0);
        distinct.insert(uint32_t(f.red / 257) << 16 | uint32_t(f.green / 257) << 8 | uint32_t(f.blue / 257));
        red[f.classification] += f.red, green[f.classification] += f.green, blue[f.classification] += f.blue;
        ++count[f.classification];
    }
    EXPECT_GT(distinct.size(), 1000u);
    // Trees are green; ground is grass or soil, never blue; roofs are reddish or grey, not green.
    EXPECT_GT(green[5], 1.2 * red[5]);
    EXPECT_GT(green[5], 1.2 * blue[5]);
    EXPECT_GT(green[2], blue[2]);
    EXPECT_GT(red[2], blue[2]);
    EXPECT_GT(red[6] / count[6], green[6] / count[6] * 0.95);
    const auto plain = generateAll(1000, 1, 1);
    for (const PointFields& f : plain) {
        ASSERT_EQ(f.red | f.green | f.blue, 0);
    }
}

TEST(PointGenerator, GroundColourVariesSmoothlyAcrossTheScene) {
    const auto& pts = village().pts;
    // Neighbouring ground pulses differ by little more than speckle, while the scene as a whole moves between
    // grass and soil tones.
    double stepSum = 0;
    int steps = 0;
    std::map<std::pair<int, int>, std::pair<double, int>> cells; // mean red per 20 m cell
    const PointFields* previous = nullptr;
    for (const PointFields& f : pts) {
        const bool open = f.classification == 2 && f.numberOfReturns() == 1;
        if (open) {
            auto& c = cells[{f.X / 2000, f.Y / 2000}];
            c.first += f.red / 257.0, ++c.second;
        }
        if (open && previous && !previous->edgeOfFlightLine()) {
            stepSum += std::fabs(double(f.red) - previous->red) / 257.0;
            ++steps;
        }
        previous = open ? &f : nullptr;
    }
    double lo = 255, hi = 0;
    for (auto& [key, c] : cells)
        if (c.second > 500)
            lo = std::min(lo, c.first / c.second), hi = std::max(hi, c.first / c.second);
    ASSERT_GT(steps, 100000);
    EXPECT_LT(stepSum / steps, 8.0);
    EXPECT_GT(hi - lo, 20.0);
}
