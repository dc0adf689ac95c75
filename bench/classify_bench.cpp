// Surface classification of the demo scene (2,000,000 synthetic points, seed 1, normals as the point
// server computes them): points per second of the compatible-neighbour stage and of the growth stage
// on 1 and 2 threads, the share of their time spent in neighbour queries, and the exact queries beside
// nanoflann's own k-nearest search over the same points in the same run.
#include "ClassificationLog.h"
#include "ContinuousSurfaces.h"
#include "PointGenerator.h"
#include "PointNormals.h"
#include "QueryHandler.h"

#include <nanoflann.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double seconds(auto&& fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Sends standard output (the thread primitives' start-up lines) to /dev/null for a scope.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }

private:
    int saved_;
};

struct Scene {
    std::vector<GLVector3d> positions;
    std::vector<GLVector3f> normals;
    std::vector<uint8_t> asprs; // the generator's class of each point
    double normalSeconds = 0;
};

Scene demoScene(uint64_t points) {
    synth::PointGenerator gen(points, 3, 1);
    const int rec = gen.recordLength();
    std::vector<unsigned char> buf(size_t(65536) * rec);
    Scene s;
    std::vector<double> world;
    world.reserve(3 * points);
    int32_t mn[3] = {INT32_MAX, INT32_MAX, INT32_MAX};
    std::vector<int32_t> raw;
    raw.reserve(3 * points);
    while (uint64_t n = gen.generate(buf.data(), 65536)) {
        for (uint64_t i = 0; i < n; ++i) {
            const unsigned char* r = buf.data() + i * rec;
            for (int a = 0; a < 3; ++a) {
                int32_t v;
                std::memcpy(&v, r + 4 * a, 4);
                raw.push_back(v);
                mn[a] = std::min(mn[a], v);
            }
            s.asprs.push_back(r[15] & 31);
        }
    }
    const double scale = synth::PointGenerator::Scale;
    const double offset[3] = {synth::PointGenerator::OffsetX, synth::PointGenerator::OffsetY,
                              synth::PointGenerator::OffsetZ};
    for (size_t i = 0; i < raw.size(); ++i)
        world.push_back(raw[i] * scale + offset[i % 3]);
    s.positions.resize(raw.size() / 3);
    for (size_t i = 0; i < s.positions.size(); ++i)
        s.positions[i] = {(double(raw[3 * i]) - mn[0]) * scale, (double(raw[3 * i + 1]) - mn[1]) * scale,
                          (double(raw[3 * i + 2]) - mn[2]) * scale};
    std::vector<float> normals(world.size());
    s.normalSeconds = seconds([&] { computeNormals(std::move(world), 16, normals.data(), 2); });
    s.normals.resize(s.positions.size());
    for (size_t i = 0; i < s.normals.size(); ++i)
        s.normals[i] = {normals[3 * i], normals[3 * i + 1], normals[3 * i + 2]};
    return s;
}

// Partitions compared as "which points share a surface": relabelled by first appearance.
std::vector<int32_t> canonical(const std::vector<int32_t>& classes) {
    std::map<int32_t, int32_t> to;
    std::vector<int32_t> out(classes.size());
    for (size_t i = 0; i < classes.size(); ++i)
        out[i] = classes[i] == 0 ? 0 : to.try_emplace(classes[i], int32_t(to.size() + 1)).first->second;
    return out;
}

struct Cloud {
    const std::vector<GLVector3d>* p;
    size_t kdtree_get_point_count() const { return p->size(); }
    double kdtree_get_pt(uint32_t i, size_t d) const {
        return d == 0 ? (*p)[i].x : d == 1 ? (*p)[i].y : (*p)[i].z;
    }
    template <class B> bool kdtree_get_bbox(B&) const { return false; }
};

// The handler's exact queries beside nanoflann's plain k-nearest search (ties in whatever order the
// tree meets them) on the same points, the same query points, the same k.
void queryBaseline(const Scene& s, const QueryHandler& q) {
    using Tree =
        nanoflann::KDTreeSingleIndexAdaptor<nanoflann::L2_Simple_Adaptor<double, Cloud, double, uint32_t>,
                                            Cloud, 3, uint32_t>;
    Cloud cloud{&s.positions};
    Tree tree(3, cloud, nanoflann::KDTreeSingleIndexAdaptorParams(16));
    const uint32_t n = q.size(), queries = std::min<uint32_t>(n, 200000);
    for (uint32_t k : {20u, 100u, 200u}) {
        std::vector<const QueryPoint*> out;
        std::vector<uint32_t> idx(k);
        std::vector<double> d2(k);
        uint64_t sum = 0;
        const double ours = seconds([&] {
            for (uint32_t r = 0; r < queries; ++r) {
                q.nearest(q.pointAtRank(uint32_t(uint64_t(r) * n / queries)), k, out);
                sum += out.back()->index;
            }
        });
        const double plain = seconds([&] {
            for (uint32_t r = 0; r < queries; ++r) {
                const GLVector3d& p = q.point(q.pointAtRank(uint32_t(uint64_t(r) * n / queries))).position;
                const double x[3] = {p.x, p.y, p.z};
                tree.knnSearch(x, k, idx.data(), d2.data());
                sum += idx[k - 1];
            }
        });
        std::printf("  k = %3u: exact queries %.2f us, nanoflann knnSearch %.2f us (ratio %.2f)%s\n", k,
                    1e6 * ours / queries, 1e6 * plain / queries, ours / plain, sum == 1 ? " " : "");
    }
}

} // namespace

int main(int argc, char** argv) {
    const uint64_t points = argc > 1 ? std::stoull(argv[1]) : 2000000;
    setClassificationLog(nullptr);
    std::printf("Surface classification: demo scene of %llu points (format 3, seed 1)\n",
                (unsigned long long)points);
    std::fflush(stdout);
    Scene s = demoScene(points);
    std::unique_ptr<QueryHandler> q;
    const double build = seconds([&] { q = std::make_unique<QueryHandler>(s.positions, s.normals); });
    std::printf("  normals (the server's, 16 neighbours, 2 threads): %.2f s; query tree: %.2f s\n",
                s.normalSeconds, build);

    const ClassificationThresholds t;
    std::vector<int32_t> first;
    double endToEnd2 = 0;
    for (unsigned threads : {1u, 2u}) {
        ContinuousSurfaceOptions o;
        o.threads = threads;
        SurfaceClassification r;
        double total;
        {
            QuietStdout quiet;
            total = seconds([&] { r = findContinuousSurfaces(*q, t, o); });
        }
        const auto& c = r.compatibility;
        const auto& g = r.growth;
        std::printf(
            "  %u thread%s: compatible neighbours %.0f points/s (%.2f s, %.0f%% in queries); growth %.0f "
            "points/s (%.2f s, %.0f%% in queries, %llu of %llu waves parallel); end to end %.0f points/s; "
            "%.2f and %.2f queries per point\n",
            threads, threads == 1 ? "" : "s", points / c.seconds, c.seconds,
            100 * c.querySeconds / c.busySeconds, points / g.seconds, g.seconds,
            100 * g.querySeconds / g.busySeconds, (unsigned long long)g.parallelWaves,
            (unsigned long long)g.waves, points / total, double(c.queries) / points,
            double(g.queries) / points);
        if (threads == 1) {
            first = canonical(r.classes);
            std::printf("  %d surfaces, %u points classified (%.1f%%)\n", r.numClasses, r.classifiedPoints,
                        100.0 * r.classifiedPoints / points);
            uint64_t in[32] = {}, all[32] = {};
            for (size_t i = 0; i < r.classes.size(); ++i) {
                ++all[s.asprs[i]];
                in[s.asprs[i]] += r.classes[i] != 0;
            }
            std::printf("  classified share by the generator's class: ground %.1f%%, building %.1f%%, "
                        "vegetation %.1f%%\n",
                        100.0 * in[2] / std::max<uint64_t>(1, all[2]),
                        100.0 * in[6] / std::max<uint64_t>(1, all[6]),
                        100.0 * in[5] / std::max<uint64_t>(1, all[5]));
        } else {
            endToEnd2 = points / total;
            std::printf("  partition on 2 threads %s the one on 1 thread\n",
                        canonical(r.classes) == first ? "equals" : "DIFFERS FROM");
        }
    }
    std::printf("  end to end on 2 threads: %.0f points/s against the aim of 200,000 points/s (%.2fx)\n",
                endToEnd2, endToEnd2 / 200000.0);
    std::printf("Neighbour queries, exact with ties by point number, against nanoflann's own search:\n");
    queryBaseline(s, *q);
    return 0;
}
