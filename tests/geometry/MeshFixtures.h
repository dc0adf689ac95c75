#pragma once
// Meshes for the vertex removal and simplification tests, and the checks every simplified mesh must
// pass: a planar triangulation (no triangle folded or overlapping another in x, y) of the vertices it
// still names.
#include "LASHeader.h"
#include "Triangulation.h"
#include "TriangulationVertex.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// A triangulation with one vertex record per point, linked to its triangles as the drivers link them.
struct TestMesh {
    std::vector<MeshPoint> points;
    std::vector<unsigned> indices;
    std::vector<std::unique_ptr<TriangulationVertex>> owned;
    std::vector<TriangulationVertex*> vertices;
    std::set<unsigned> deleted;

    explicit TestMesh(std::vector<MeshPoint> p, std::vector<unsigned> tris = {}) : points(std::move(p)) {
        if (tris.empty())
            triangulatePoints(points, indices);
        else
            indices = std::move(tris);
        for (unsigned i = 0; i < points.size(); ++i) {
            owned.push_back(std::make_unique<TriangulationVertex>(i));
            vertices.push_back(owned.back().get());
        }
        for (unsigned p3 = 0; p3 < indices.size(); p3 += 3)
            for (int k = 0; k < 3; ++k)
                vertices[indices[p3 + k]]->links.push_back(p3);
    }
    TriangulationVertex& v(unsigned i) { return *vertices[i]; }
    float error(unsigned i) {
        v(i).calculateError(points, indices);
        return v(i).error;
    }
    bool remove(unsigned i, float maxError = 0) {
        std::vector<TriangulationVertex*> changed;
        v(i).calculateError(points, indices);
        return v(i).removeAndRetriangulate(points, indices, vertices, changed, deleted, maxError);
    }
    std::vector<unsigned> live() const {
        std::vector<unsigned> out;
        for (unsigned p = 0; p < indices.size(); p += 3)
            if (!deleted.count(p))
                out.insert(out.end(), &indices[p], &indices[p] + 3);
        return out;
    }
};

// Points on a regular grid, z from `height`.
template <class F> std::vector<MeshPoint> gridPoints(int nx, int ny, double step, F height) {
    std::vector<MeshPoint> out;
    for (int i = 0; i < nx; ++i)
        for (int j = 0; j < ny; ++j)
            out.push_back({i * step, j * step, height(i * step, j * step)});
    return out;
}

inline std::vector<MeshPoint> randomPoints(std::size_t n, double extent, unsigned seed, double relief) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0, extent);
    std::vector<MeshPoint> out;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = u(rng), y = u(rng);
        out.push_back({x, y, relief * (std::sin(x * 0.7) + std::cos(y * 0.5))});
    }
    return out;
}

// The first `limit` points of a LAS file in world units around their centre.
inline std::vector<MeshPoint> samplePoints(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    LASHeader h;
    h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
    std::vector<Splat> splats;
    for (uint32_t i = 0; i < h.NumberOfPointRecords && splats.size() < limit; ++i) {
        Splat s{};
        std::memcpy(&s, bytes.data() + h.OffsetToPointData + size_t(i) * h.PointDataRecordLength, 12);
        splats.push_back(s);
    }
    const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    return meshPointsFromRaw(splats.data(), splats.size(), scale);
}

inline bool names(const std::vector<unsigned>& tris, unsigned v) {
    return std::find(tris.begin(), tris.end(), v) != tris.end();
}

inline double signedArea(const MeshPoint& a, const MeshPoint& b, const MeshPoint& c) {
    return 0.5 * ((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x));
}

// Empty when `tris` is a planar triangulation in x, y: every triangle counter-clockwise with positive
// area, every directed edge used once, no two triangles overlapping, and Euler characteristic 1 (a
// disc, or discs joined at vertices) over the vertices it names. Otherwise the first fault found.
inline std::string planarityFault(const std::vector<MeshPoint>& pts, const std::vector<unsigned>& tris) {
    std::set<std::pair<unsigned, unsigned>> directed;
    std::set<unsigned> used;
    for (std::size_t t = 0; t < tris.size(); t += 3) {
        const unsigned a = tris[t], b = tris[t + 1], c = tris[t + 2];
        if (std::max({a, b, c}) >= pts.size())
            return "triangle names a point out of range";
        if (!(signedArea(pts[a], pts[b], pts[c]) > 0))
            return "triangle " + std::to_string(t / 3) + " is not counter-clockwise";
        for (auto e : {std::pair{a, b}, std::pair{b, c}, std::pair{c, a}})
            if (!directed.insert(e).second)
                return "a directed edge is used twice: triangles fold over each other";
        used.insert({a, b, c});
    }
    std::set<std::pair<unsigned, unsigned>> undirected;
    for (auto [a, b] : directed)
        undirected.insert({std::min(a, b), std::max(a, b)});
    const long euler = long(used.size()) - long(undirected.size()) + long(tris.size() / 3);
    if (!tris.empty() && euler != 1)
        return "Euler characteristic " + std::to_string(euler) + ", not a disc";
    // Interiors overlap unless some edge of one triangle separates them (triangles are convex).
    auto separated = [&](const unsigned* s, const unsigned* t) {
        for (const unsigned* tri : {s, t})
            for (int k = 0; k < 3; ++k) {
                const MeshPoint &p = pts[tri[k]], &q = pts[tri[(k + 1) % 3]];
                const unsigned* other = tri == s ? t : s;
                bool allOutside = true;
                for (int m = 0; m < 3; ++m)
                    allOutside &= signedArea(p, q, pts[other[m]]) <= 1e-12;
                if (allOutside)
                    return true;
            }
        return false;
    };
    // Buckets of triangle boxes keep the pairwise test local.
    double lo[2] = {1e300, 1e300}, hi[2] = {-1e300, -1e300};
    for (unsigned i : used) {
        lo[0] = std::min(lo[0], pts[i].x), hi[0] = std::max(hi[0], pts[i].x);
        lo[1] = std::min(lo[1], pts[i].y), hi[1] = std::max(hi[1], pts[i].y);
    }
    const int cells = std::max(1, int(std::sqrt(double(tris.size() / 3)) / 2));
    const double w = (hi[0] - lo[0]) / cells + 1e-9, h = (hi[1] - lo[1]) / cells + 1e-9;
    std::map<std::pair<int, int>, std::vector<std::size_t>> buckets;
    for (std::size_t t = 0; t < tris.size(); t += 3) {
        double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
        for (int k = 0; k < 3; ++k) {
            x0 = std::min(x0, pts[tris[t + k]].x), x1 = std::max(x1, pts[tris[t + k]].x);
            y0 = std::min(y0, pts[tris[t + k]].y), y1 = std::max(y1, pts[tris[t + k]].y);
        }
        for (int i = int((x0 - lo[0]) / w); i <= int((x1 - lo[0]) / w); ++i)
            for (int j = int((y0 - lo[1]) / h); j <= int((y1 - lo[1]) / h); ++j) {
                for (std::size_t other : buckets[{i, j}])
                    if (!separated(&tris[t], &tris[other]))
                        return "triangles " + std::to_string(t / 3) + " and " + std::to_string(other / 3) + " overlap";
                buckets[{i, j}].push_back(t);
            }
    }
    return {};
}
