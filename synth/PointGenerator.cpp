#include "PointGenerator.h"

#include "LASPointData.h"
#include "SceneRandom.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace synth {

namespace {

constexpr double InvScale = 100.0;      // 1 / PointGenerator::Scale, exact
constexpr double IntensityGain = 36000; // intensity of a fully reflecting target at nadir
constexpr double Pi = 3.14159265358979323846;

int32_t quantise(double v) {
    return int32_t(v >= 0.0 ? v + 0.5 : v - 0.5);
}

uint16_t intensityOf(double v) {
    return uint16_t(std::clamp(v + 0.5, 1.0, 65535.0));
}

// atan from square roots and a series, so scan angles are the same whatever the maths library.
double portableAtan(double x) {
    if (std::fabs(x) > 1.0)
        return (x > 0 ? 0.5 * Pi : -0.5 * Pi) - portableAtan(1.0 / x);
    const double y = x / (1.0 + std::sqrt(1.0 + x * x)); // atan(x) = 2 atan(y), |y| <= tan(pi/8)
    const double y2 = y * y;
    const double series =
        y *
        (1.0 - y2 * (1.0 / 3 - y2 * (1.0 / 5 - y2 * (1.0 / 7 - y2 * (1.0 / 9 - y2 * (1.0 / 11 - y2 / 13))))));
    return 2.0 * series;
}

// Blocks near the current scan line. A line crosses a block in a few hundred pulses, so the last block
// answers almost every look-up; when the cache fills up, blocks farther away than a swath are dropped.
class BlockCache {
public:
    explicit BlockCache(int64_t reach) : reach(reach), limit(size_t(2 * (2 * reach + 1) * (2 * reach + 1))) {}

    const SceneBlock& get(const SceneModel& scene, int64_t bx, int64_t by) {
        if (last && last->bx == bx && last->by == by)
            return *last;
        const Key key{bx, by};
        auto it = blocks.find(key);
        if (it == blocks.end()) {
            if (blocks.size() >= limit) {
                last = nullptr;
                std::erase_if(blocks, [&](const auto& kv) {
                    return std::abs(kv.first.bx - bx) > reach || std::abs(kv.first.by - by) > reach;
                });
            }
            it = blocks.emplace(key, std::make_unique<SceneBlock>(scene.makeBlock(bx, by))).first;
        }
        last = it->second.get();
        return *last;
    }

private:
    struct Key {
        int64_t bx, by;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return size_t(mix64(uint64_t(k.bx) * 0x9e3779b97f4a7c15ULL ^ uint64_t(k.by)));
        }
    };
    int64_t reach;
    size_t limit;
    std::unordered_map<Key, std::unique_ptr<SceneBlock>, KeyHash> blocks;
    const SceneBlock* last = nullptr;
};

void checkOptions(uint64_t points, int format) {
    if (format < 0 || format > 3)
        throw std::runtime_error("synthetic scene: point format must be 0, 1, 2 or 3 (got " +
                                 std::to_string(format) + ")");
    if (points == 0 || points > 4294967295ULL)
        throw std::runtime_error("synthetic scene: number of points must be between 1 and 4294967295 (got " +
                                 std::to_string(points) + ")");
}

const SurveyPlan& checkedPlan(uint64_t points, int format, const SurveyPlan& p) {
    checkOptions(points, format);
    if (!(p.stripWidth > 0 && p.stripWidth < 1e5) || !(p.extentX > 0) || !(p.extentY > 0) ||
        p.pulsesPerLine == 0 || p.linesPerStrip == 0 || p.strips == 0 || !(p.pulseRate > 0) ||
        !(p.altitude > 0))
        throw std::runtime_error("synthetic scene: the survey plan is degenerate");
    return p;
}

// The crown's echo model. Crowns thin out towards their rim (f2 is the squared distance from the trunk over
// the squared crown radius): there more pulses pass straight to the ground, or on through the crown.
double crownHitChance(double f2) {
    return 0.92 - 0.3 * f2;
}
double groundThroughCrownChance(double f2) {
    return 0.45 + 0.35 * f2;
}
constexpr double InnerReturnsMean = 0.75; // 0, 1 or 2 inner returns at 0.4 / 0.4 / 0.2, fewer in thin crowns

struct Echo {
    double z;
    double intensity;
    uint8_t cls;
    Colour colour;
};

} // namespace

struct PointGenerator::Impl {
    Impl(uint64_t points, int fmt, uint64_t seed, const SurveyPlan& p)
        : plan(checkedPlan(points, fmt, p)), scene(seed, p.extentX, p.extentY), format(fmt),
          recordLength(las_detail::formatSize(fmt)), total(points), rng(mix64(seed ^ 0x5ca77e4ULL)),
          colourRng(mix64(seed ^ 0xc0105ULL)), cache(int64_t(p.stripWidth / SceneModel::BlockSize) + 2) {
        startStrip();
    }

    SurveyPlan plan;
    SceneModel scene;
    int format;
    int recordLength;
    uint64_t total;
    uint64_t produced = 0; // records made, including those still pending
    uint64_t handedOut = 0;
    Random rng;       // geometry and intensity
    Random colourRng; // colours only, so every format shares one geometry for a seed
    BlockCache cache;
    NoiseCache noiseCache;
    GeneratorStats stats;

    // Position of the next pulse: global strip (over all passes), scan line in the strip, pulse in the line.
    uint64_t strip = 0, line = 0;
    uint32_t pulse = 0;
    double stripStart = 0, stripCentre = 0;
    bool forward = true;   // northbound, or eastbound on a crossing pass
    bool crossing = false; // odd passes fly across the strips of the first, along X

    // Records of a pulse that did not fit the caller's buffer.
    unsigned char pending[MaxReturns * las_detail::formatSize(3)] = {};
    int pendingCount = 0, pendingNext = 0;

    void startStrip() {
        const uint64_t pass = strip / plan.strips;
        stripCentre = 0.5 * plan.stripWidth + double(strip % plan.strips) * plan.stripSpacing;
        crossing = pass % 2 == 1;
        forward = strip % 2 == 0;
        stripStart = StartTime + double(strip) * (plan.stripSeconds() + plan.turnSeconds);
    }

    void advance() {
        if (++pulse < plan.pulsesPerLine)
            return;
        pulse = 0;
        if (++line < plan.linesPerStrip)
            return;
        line = 0;
        ++strip;
        startStrip();
    }

    Colour groundColour(double grass) {
        // Soil and grass tones blended by the cover field, with a little speckle per return.
        const double r = 146 + (82 - 146) * grass, g = 122 + (116 - 122) * grass, b = 88 + (50 - 88) * grass;
        const double common = colourRng.normal() * 4.0;
        auto c = [&](double v) {
            return uint8_t(std::clamp(v + common + colourRng.normal() * 2.0 + 0.5, 0.0, 255.0));
        };
        const uint8_t cr = c(r), cg = c(g), cb = c(b);
        return Colour{cr, cg, cb};
    }
    Colour jitter(const Colour& base, double spread, double shade) {
        const double common = colourRng.normal() * spread;
        auto c = [&](uint8_t v) {
            return uint8_t(std::clamp(v * shade + common + colourRng.normal() * 2.0 + 0.5, 0.0, 255.0));
        };
        const uint8_t cr = c(base.red), cg = c(base.green), cb = c(base.blue);
        return Colour{cr, cg, cb};
    }

    template <bool Colours> Echo groundEcho(double x, double y, double ground, double gain) {
        const double grass = scene.grassCover(x, y, &noiseCache);
        Echo e;
        e.z = ground + 0.03 * rng.normal();
        e.intensity = (0.30 + 0.18 * grass) * gain * (1.0 + 0.06 * rng.normal());
        e.cls = ClassGround;
        if constexpr (Colours)
            e.colour = groundColour(grass);
        return e;
    }

    // Fills the echoes of the next pulse and returns their number; also gives the stored position and the
    // offset across the strip.
    template <bool Colours> int shoot(Echo* echoes, int32_t& ix, int32_t& iy, double& across) {
        const double w = plan.stripWidth;
        double x, y;
        const double dx = w / plan.pulsesPerLine;
        const bool rightward = ((strip * plan.linesPerStrip + line) & 1) == 0;
        const uint32_t acrossIndex = rightward ? pulse : plan.pulsesPerLine - 1 - pulse;
        across = (acrossIndex + 0.5) * dx - 0.5 * w + 0.1 * dx * rng.normal();
        // The aircraft moves on while the mirror sweeps, so each line is slanted: the zig-zag pattern.
        const double along = (double(line) + (pulse + 0.5) / plan.pulsesPerLine) * plan.lineSpacing +
                             0.1 * plan.lineSpacing * rng.normal();
        // Positive across is to the right of the heading.
        if (!crossing) {
            x = forward ? stripCentre + across : stripCentre - across;
            y = forward ? along : plan.extentY - along;
        } else {
            x = forward ? along : plan.extentX - along;
            y = forward ? stripCentre - across : stripCentre + across;
        }
        // The scene is sampled where the record says the pulse landed, so the stored points agree exactly
        // with the scene's geometry.
        ix = quantise(x * InvScale);
        iy = quantise(y * InvScale);
        x = ix * PointGenerator::Scale;
        y = iy * PointGenerator::Scale;

        const double edge = across / (0.5 * w);
        const double gain = IntensityGain * (1.0 - 0.25 * edge * edge);
        const SceneBlock& blk = cache.get(scene, SceneModel::blockIndex(x), SceneModel::blockIndex(y));
        const SurfaceHit hit = blk.hitAt(x, y);

        if (hit.kind == SurfaceHit::Roof) {
            const Building& b = blk.buildings[hit.index];
            Echo& e = echoes[0];
            e.z = b.roofHeight(x, y) + 0.02 * rng.normal();
            e.intensity = b.reflectance * gain * (1.0 + 0.06 * rng.normal());
            e.cls = ClassBuilding;
            if constexpr (Colours)
                e.colour = jitter(b.colour, 3.0, 1.0);
            return 1;
        }
        const double ground = scene.groundHeight(x, y, &noiseCache);
        if (hit.kind == SurfaceHit::Ground) {
            echoes[0] = groundEcho<Colours>(x, y, ground, gain);
            return 1;
        }

        const Tree& t = blk.trees[hit.index];
        const double ddx = x - t.cx, ddy = y - t.cy;
        const double f2 = (ddx * ddx + ddy * ddy) / (t.radius * t.radius);
        if (!rng.chance(crownHitChance(f2))) {
            echoes[0] = groundEcho<Colours>(x, y, ground, gain);
            echoes[0].intensity *= 0.85;
            if constexpr (Colours)
                echoes[0].colour = jitter(echoes[0].colour, 0.0, 0.8);
            return 1;
        }
        const double surface = t.crownSurface(x, y);
        const double first = std::max(t.crownBaseZ, surface - std::fabs(rng.normal()) * 0.25);
        const double inner = rng.uniform();
        const int wanted = inner < 0.4 ? 0 : inner < 0.8 ? 1 : 2;
        const bool reachesGround = rng.chance(groundThroughCrownChance(f2));
        double levels[2];
        int found = 0;
        // Returns inside the crown, top down, at least a metre apart as a real receiver separates them.
        double above = first;
        for (int k = 0; k < wanted; ++k) {
            const double room = above - 1.0 - t.crownBaseZ;
            const double u = rng.uniform();
            if (room <= 0.0)
                continue;
            above = above - 1.0 - room * u * 0.6;
            levels[found++] = above;
        }
        int n = 0;
        const double energy = found + reachesGround > 0 ? 0.7 : 1.0;
        echoes[n].z = first;
        echoes[n].intensity = t.reflectance * energy * gain * (1.0 + 0.08 * rng.normal());
        echoes[n].cls = ClassHighVegetation;
        if constexpr (Colours)
            echoes[n].colour = jitter(t.colour, 5.0, 1.0);
        ++n;
        for (int k = 0; k < found; ++k, ++n) {
            echoes[n].z = levels[k];
            echoes[n].intensity = echoes[n - 1].intensity * 0.55 * (1.0 + 0.08 * rng.normal());
            echoes[n].cls = ClassHighVegetation;
            if constexpr (Colours)
                echoes[n].colour = jitter(t.colour, 5.0, 0.85 - 0.1 * k);
        }
        if (reachesGround) {
            echoes[n] = groundEcho<Colours>(x, y, ground, gain);
            echoes[n].intensity *= 0.3;
            if constexpr (Colours)
                echoes[n].colour = jitter(echoes[n].colour, 0.0, 0.7);
            ++n;
        }
        return n;
    }

    template <int F> uint64_t fill(unsigned char* out, uint64_t capacity) {
        constexpr int R = las_detail::formatSize(F);
        constexpr bool Colours = las_detail::formatHasColor(F);
        uint64_t n = 0;
        while (pendingNext < pendingCount && n < capacity) {
            std::memcpy(out + n * R, pending + pendingNext * R, R);
            ++pendingNext, ++n;
        }
        Echo echoes[MaxReturns];
        while (n < capacity && produced < total) {
            int32_t ix, iy;
            double across;
            int count = shoot<Colours>(echoes, ix, iy, across);
            // The last pulse keeps its first returns and its last so that the file ends on a whole pulse.
            if (uint64_t(count) > total - produced) {
                const int keep = int(total - produced);
                if (keep > 1)
                    echoes[keep - 1] = echoes[count - 1];
                count = keep;
            }

            las_detail::PointFields f;
            f.X = ix;
            f.Y = iy;
            const bool rightward = ((strip * plan.linesPerStrip + line) & 1) == 0;
            f.setNumberOfReturns(uint8_t(count));
            f.setScanDirectionFlag(rightward ? 1 : 0);
            f.setEdgeOfFlightLine(pulse == plan.pulsesPerLine - 1 ? 1 : 0);
            f.scanAngleRank = int8_t(quantise(portableAtan(across / plan.altitude) * (180.0 / Pi)));
            f.pointSourceID = uint16_t(strip % 65535 + 1);
            if constexpr (las_detail::formatHasGPSTime(F))
                f.setGpsTime(stripStart + double(line * plan.pulsesPerLine + pulse) / plan.pulseRate);

            const bool direct = capacity - n >= uint64_t(count);
            unsigned char* dst = direct ? out + n * R : pending;
            for (int k = 0; k < count; ++k) {
                const Echo& e = echoes[k];
                f.Z = quantise((e.z - OffsetZ) * InvScale);
                f.intensity = intensityOf(e.intensity);
                f.classification = e.cls;
                f.setReturnNumber(uint8_t(k + 1));
                if constexpr (Colours) {
                    f.red = uint16_t(e.colour.red * 257);
                    f.green = uint16_t(e.colour.green * 257);
                    f.blue = uint16_t(e.colour.blue * 257);
                }
                f.template pack<F>(dst + k * R);
                record(f, e.cls, k);
            }
            ++stats.pulses;
            produced += uint64_t(count);
            advance();
            if (direct) {
                n += uint64_t(count);
            } else {
                pendingCount = count;
                pendingNext = 0;
                while (pendingNext < pendingCount && n < capacity) {
                    std::memcpy(out + n * R, pending + pendingNext * R, R);
                    ++pendingNext, ++n;
                }
            }
        }
        handedOut += n;
        return n;
    }

    void record(const las_detail::PointFields& f, uint8_t cls, int k) {
        if (produced == 0 && k == 0) {
            stats.minX = stats.maxX = f.X;
            stats.minY = stats.maxY = f.Y;
            stats.minZ = stats.maxZ = f.Z;
        } else {
            stats.minX = std::min(stats.minX, f.X), stats.maxX = std::max(stats.maxX, f.X);
            stats.minY = std::min(stats.minY, f.Y), stats.maxY = std::max(stats.maxY, f.Y);
            stats.minZ = std::min(stats.minZ, f.Z), stats.maxZ = std::max(stats.maxZ, f.Z);
        }
        ++stats.byReturn[k];
        if (cls == ClassGround)
            ++stats.ground;
        else if (cls == ClassHighVegetation)
            ++stats.vegetation;
        else
            ++stats.building;
    }
};

double expectedReturnsPerPulse(const SceneModel& scene, double x0, double y0, double x1, double y1) {
    // Stratified: four positions in each cell of a 12 by 12 grid.
    constexpr int Grid = 12, PerCell = 4;
    Random rng(mix64(scene.seed() ^ 0x5a3b1eULL));
    BlockCache cache(2);
    double sum = 0.0;
    for (int j = 0; j < Grid; ++j)
        for (int i = 0; i < Grid; ++i)
            for (int k = 0; k < PerCell; ++k) {
                const double x = x0 + (x1 - x0) * (i + rng.uniform()) / Grid;
                const double y = y0 + (y1 - y0) * (j + rng.uniform()) / Grid;
                const SceneBlock& blk =
                    cache.get(scene, SceneModel::blockIndex(x), SceneModel::blockIndex(y));
                const SurfaceHit hit = blk.hitAt(x, y);
                if (hit.kind != SurfaceHit::Crown) {
                    sum += 1.0;
                    continue;
                }
                const Tree& t = blk.trees[hit.index];
                const double dx = x - t.cx, dy = y - t.cy, f2 = (dx * dx + dy * dy) / (t.radius * t.radius);
                const double hitChance = crownHitChance(f2);
                sum +=
                    (1.0 - hitChance) + hitChance * (1.0 + InnerReturnsMean + groundThroughCrownChance(f2));
            }
    return sum / (Grid * Grid * PerCell);
}

SurveyPlan planFor(uint64_t points, uint64_t seed) {
    // The scene's size depends on its returns per pulse and, through the village at its centre, the other way
    // round; one round of refinement from a typical figure is close enough.
    const SurveyPlan first = planSurvey(points);
    const SceneModel scene(seed, first.extentX, first.extentY);
    const double ratio = expectedReturnsPerPulse(scene, 0.0, 0.0, first.extentX, first.extentY);
    return planSurvey(points, std::max(1.0, 0.97 * ratio));
}

PointGenerator::PointGenerator(uint64_t points, int format, uint64_t seed)
    : PointGenerator(points, format, seed, (checkOptions(points, format), planFor(points, seed))) {}

PointGenerator::PointGenerator(uint64_t points, int format, uint64_t seed, const SurveyPlan& plan)
    : impl(std::make_unique<Impl>(points, format, seed, plan)) {}

PointGenerator::~PointGenerator() = default;

uint64_t PointGenerator::generate(unsigned char* out, uint64_t capacity) {
    switch (impl->format) {
    case 0:
        return impl->fill<0>(out, capacity);
    case 1:
        return impl->fill<1>(out, capacity);
    case 2:
        return impl->fill<2>(out, capacity);
    default:
        return impl->fill<3>(out, capacity);
    }
}

int PointGenerator::format() const {
    return impl->format;
}
int PointGenerator::recordLength() const {
    return impl->recordLength;
}
uint64_t PointGenerator::total() const {
    return impl->total;
}
uint64_t PointGenerator::written() const {
    return impl->handedOut;
}
const GeneratorStats& PointGenerator::stats() const {
    return impl->stats;
}
const SurveyPlan& PointGenerator::plan() const {
    return impl->plan;
}
const SceneModel& PointGenerator::scene() const {
    return impl->scene;
}

} // namespace synth
