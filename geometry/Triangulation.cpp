#include "Triangulation.h"

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

namespace {

// Frees whatever the records hold when the triangulation ends, also when triangulate throws.
struct Records {
    triangulateio in, out;
    Records() = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    ~Records() { cleanTriangulation(in, out); }
};

void resetRecords(triangulateio& in, triangulateio& out) {
    in = triangulateio{};
    out = triangulateio{};
}

template <class Get>
void fillPoints(triangulateio& in, std::size_t count, Get get) {
    in.numberofpoints = int(count);
    in.pointlist = new double[2 * count];
    for (std::size_t i = 0; i < count; ++i)
        get(i, in.pointlist[2 * i], in.pointlist[2 * i + 1]);
}

void readSplat(const Splat& s, bool floatCoords, double& x, double& y) {
    x = floatCoords ? double(s.fx()) : double(s.x);
    y = floatCoords ? double(s.fy()) : double(s.y);
}

void copySegments(triangulateio& in, const std::vector<unsigned>& segments) {
    in.numberofsegments = int(segments.size() / 2);
    in.segmentlist = new int[2 * std::size_t(in.numberofsegments)];
    for (std::size_t i = 0; i < 2 * std::size_t(in.numberofsegments); ++i)
        in.segmentlist[i] = int(segments[i]);
}

// Fewer than three points, or all on one line: no triangle can exist. Checked here so that such
// input never reaches the triangulator.
bool degenerate(const triangulateio& in) {
    const int n = in.numberofpoints;
    if (n < 3)
        return true;
    const double* p = in.pointlist;
    int b = 1;
    while (b < n && p[2 * b] == p[0] && p[2 * b + 1] == p[1])
        ++b;
    if (b == n)
        return true;
    const double ux = p[2 * b] - p[0], uy = p[2 * b + 1] - p[1];
    for (int i = b + 1; i < n; ++i)
        if (ux * (p[2 * i + 1] - p[1]) - uy * (p[2 * i] - p[0]) != 0.0)
            return false;
    return true;
}

void printPoint(double x, double y) {
    // Shortest round-trip form: integer coordinates print in full, not as 1.23457e+08.
    char buf[64];
    char* end = std::to_chars(buf, buf + sizeof buf, x).ptr;
    *end++ = ' ';
    end = std::to_chars(end, buf + sizeof buf - 1, y).ptr;
    *end++ = '\n';
    std::cout.write(buf, end - buf);
}

// Calls the triangulator on a filled input record, reports a point-count mismatch, appends the
// triangles and releases the records.
bool runTriangulation(const char* switches, Records& r, std::vector<unsigned>& indices) {
    if (degenerate(r.in))
        return true;
    triangulate(switches, &r.in, &r.out, nullptr);
    const bool same = r.out.numberofpoints == r.in.numberofpoints;
    if (!same) {
        std::cout << "Warning: Triangulated " << r.in.numberofpoints << " points into " << r.out.numberoftriangles
                  << " triangles with " << r.out.numberofpoints << " points." << std::endl;
        std::cout << "In points: \n";
        for (int i = 0; i < r.in.numberofpoints; ++i)
            printPoint(r.in.pointlist[2 * i], r.in.pointlist[2 * i + 1]);
        if (r.out.pointlist) {
            std::cout << "Out points: \n";
            for (int i = 0; i < r.out.numberofpoints; ++i)
                printPoint(r.out.pointlist[2 * i], r.out.pointlist[2 * i + 1]);
        }
        std::cout.flush();
    }
    if (r.out.numberoftriangles > 0 && r.out.trianglelist)
        indices.insert(indices.end(), r.out.trianglelist, r.out.trianglelist + 3 * std::size_t(r.out.numberoftriangles));
    cleanTriangulation(r.in, r.out);
    return same;
}

int classOf(const std::vector<char>& classes, unsigned i) {
    // Signed whatever the platform's char, so that "positive" means the same everywhere.
    return i < classes.size() ? int(static_cast<signed char>(classes[i])) : 0;
}

} // namespace

bool triangulatePoints(const std::vector<MeshPoint>& points, std::vector<unsigned>& indices) {
    Records r;
    initTriangulation(r.in, r.out, points);
    return runTriangulation("zBQ", r, indices);
}

bool triangulatePoints(const std::vector<MeshPoint>& points, const std::vector<unsigned>& segments,
                       std::vector<unsigned>& indices) {
    Records r;
    initTriangulation(r.in, r.out, points);
    copySegments(r.in, segments);
    return runTriangulation("zpPBQ", r, indices);
}

bool triangulateSplats(std::vector<Splat>& splats, std::vector<unsigned>& indices, bool floatCoords) {
    Records r;
    initTriangulation(r.in, r.out, splats, floatCoords);
    return runTriangulation("zBQ", r, indices);
}

bool triangulateSplats(std::vector<Splat*>& splats, std::vector<unsigned>& indices, bool floatCoords) {
    Records r;
    initTriangulation(r.in, r.out, splats, floatCoords);
    return runTriangulation("zBQ", r, indices);
}

bool triangulateSplats(std::vector<Splat>& splats, std::vector<unsigned>& segments, std::vector<unsigned>& indices,
                       bool floatCoords) {
    Records r;
    initTriangulation(r.in, r.out, splats, segments, floatCoords);
    return runTriangulation("zpPBNQ", r, indices);
}

bool triangulateSplats(std::vector<Splat*>& splats, std::vector<unsigned>& segments,
                       std::vector<unsigned>& indices, bool floatCoords) {
    Records r;
    initTriangulation(r.in, r.out, splats, segments, floatCoords);
    return runTriangulation("zpPBQ", r, indices);
}

void initTriangulation(triangulateio& in, triangulateio& out, const std::vector<MeshPoint>& points) {
    resetRecords(in, out);
    fillPoints(in, points.size(), [&](std::size_t i, double& x, double& y) {
        x = points[i].x;
        y = points[i].y;
    });
}

void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat>& splats, bool floatCoords) {
    resetRecords(in, out);
    fillPoints(in, splats.size(), [&](std::size_t i, double& x, double& y) { readSplat(splats[i], floatCoords, x, y); });
}

void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat*>& splats, bool floatCoords) {
    resetRecords(in, out);
    fillPoints(in, splats.size(), [&](std::size_t i, double& x, double& y) { readSplat(*splats[i], floatCoords, x, y); });
}

void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat>& splats,
                       std::vector<unsigned>& segments, bool floatCoords) {
    initTriangulation(in, out, splats, floatCoords);
    copySegments(in, segments);
}

void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat*>& splats,
                       std::vector<unsigned>& segments, bool floatCoords) {
    initTriangulation(in, out, splats, floatCoords);
    copySegments(in, segments);
}

void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat>& splats, int* subset, int count,
                       int* markers) {
    resetRecords(in, out);
    const std::size_t n = count > 0 ? std::size_t(count) : 0;
    fillPoints(in, n, [&](std::size_t i, double& x, double& y) { readSplat(splats.at(std::size_t(subset[i])), false, x, y); });
    if (markers && n > 0) {
        in.pointmarkerlist = new int[n];
        for (std::size_t i = 0; i < n; ++i)
            in.pointmarkerlist[i] = markers[subset[i]];
    }
}

void initTriangulation(triangulateio& in, triangulateio& out, std::vector<unsigned>& subset,
                       std::vector<Splat*>& splats) {
    resetRecords(in, out);
    fillPoints(in, subset.size(), [&](std::size_t i, double& x, double& y) { readSplat(*splats.at(subset[i]), false, x, y); });
}

void cleanTriangulation(triangulateio& in, triangulateio& out) {
    delete[] in.pointlist;
    delete[] in.pointmarkerlist;
    delete[] in.segmentlist;
    in.pointlist = nullptr;
    in.pointmarkerlist = nullptr;
    in.segmentlist = nullptr;
    for (double** p : {&out.pointlist, &out.pointattributelist, &out.triangleattributelist, &out.trianglearealist,
                       &out.normlist}) {
        std::free(*p);
        *p = nullptr;
    }
    for (int** p : {&out.pointmarkerlist, &out.trianglelist, &out.neighborlist, &out.segmentlist,
                    &out.segmentmarkerlist, &out.edgelist, &out.edgemarkerlist}) {
        std::free(*p);
        *p = nullptr;
    }
}

void createSurfaceTriangulation(std::vector<Splat>& splats, std::set<unsigned>& points,
                                std::vector<unsigned>& indices) {
    const std::size_t start = indices.size();
    triangulateSplats(splats, indices, false);
    const std::size_t total = (indices.size() - start) / 3;
    std::cout << "Generated " << total << " triangles." << std::endl;

    std::vector<std::size_t> removed;
    for (std::size_t t = start; t < indices.size(); t += 3)
        if (points.count(indices[t]) && points.count(indices[t + 1]) && points.count(indices[t + 2]))
            removed.push_back(t);
    std::cout << "Removed " << removed.size() << " triangles out of " << total << std::endl;
    if (removed.empty())
        return;
    std::vector<unsigned> kept;
    kept.reserve(indices.size() - 3 * removed.size());
    std::size_t from = 0;
    for (std::size_t t : removed) {
        kept.insert(kept.end(), indices.begin() + std::ptrdiff_t(from), indices.begin() + std::ptrdiff_t(t));
        from = t + 3;
    }
    kept.insert(kept.end(), indices.begin() + std::ptrdiff_t(from), indices.end());
    indices.swap(kept);
}

void createSurfaceTriangulation(std::vector<Splat>& splats, std::vector<char>& classes,
                                std::vector<unsigned>& indices) {
    std::vector<unsigned> all;
    triangulateSplats(splats, all, false);
    for (std::size_t t = 0; t < all.size(); t += 3) {
        const int c = classOf(classes, all[t]);
        if (c > 0 && classOf(classes, all[t + 1]) == c && classOf(classes, all[t + 2]) == c)
            indices.insert(indices.end(), all.begin() + std::ptrdiff_t(t), all.begin() + std::ptrdiff_t(t + 3));
    }
}

void triangulateSurfaces(std::vector<Splat>& splats, std::vector<char>& classes, std::vector<unsigned>& indices) {
    std::cout << "Triangulating surfaces..." << std::endl;
    std::map<int, std::vector<int>> members; // ascending class order
    for (std::size_t i = 0; i < splats.size(); ++i)
        if (const int c = classOf(classes, unsigned(i)); c > 0)
            members[c].push_back(int(i));
    std::cout << "Number of classes: " << members.size() << std::endl;
    for (auto& [c, subset] : members) {
        Records r;
        initTriangulation(r.in, r.out, splats, subset.data(), int(subset.size()), nullptr);
        std::vector<unsigned> local;
        runTriangulation("zBQ", r, local);
        for (unsigned i : local)
            indices.push_back(unsigned(subset[i]));
        std::cout << "Triangulated " << subset.size() << " points into " << local.size() / 3 << " triangles."
                  << std::endl;
    }
}
