#pragma once
// One vertex of a triangulated splat set during simplification: its removal error (how far the surface
// would move if it were taken out), and the removal itself, which fills the hole with new triangles.
// Orientation and validity tests are two-dimensional (x, y); only the error's distance is
// three-dimensional. Triangles are counter-clockwise in x, y as the triangulation writes them, and every
// removal keeps that orientation.
#include "MeshPoint.h"

#include <cstdint>
#include <map>
#include <set>
#include <vector>

struct Color;

// A chain point for the convex hull: x, y and the point number.
struct HullSplat {
    double x, y;
    unsigned index;
};

class TriangulationVertex {
public:
    static constexpr std::uint64_t BORDER = 1;         // an open chain: the vertex lies on the mesh border
    static constexpr std::uint64_t CONCAVE = 2;        // its hole polygon has concave edges
    static constexpr std::uint64_t SINGLE_CHAIN = 4;   // its triangles form one fan
    static constexpr std::uint64_t LOCAL_MINIMUM = 8;  // every neighbour at another x, y lies higher
    static constexpr std::uint64_t MARKED = 16;        // marked for removal (independent-set driver)

    std::uint64_t flags = SINGLE_CHAIN;
    // Removal drivers: positions in the index list (multiples of 3) of the triangles using this vertex.
    // Independent-set driver: the numbers of its neighbour vertices.
    std::vector<unsigned> links;
    unsigned index = 0;
    float error = -1.0f;
    unsigned bestTriangle[3] = {0, 0, 0};

    TriangulationVertex() = default;
    explicit TriangulationVertex(unsigned i) : index(i) {}

    // The neighbours in clockwise order around the vertex (`ring`, point numbers), the triangles between
    // consecutive ring entries (index-list positions), and the chain boundaries: chain c spans ring
    // positions chainStarts[c] to chainStarts[c + 1] - 1; the last entry is the ring's length. A closed
    // chain (interior vertex) repeats its first point at its end. False, with a message, when a linked
    // triangle does not contain the vertex.
    bool sortNeighbours(const std::vector<MeshPoint>& points, const std::vector<unsigned>& indices,
                        std::vector<unsigned>& ring, std::vector<unsigned>& triangles,
                        std::vector<unsigned>& chainStarts) const;
    // The edges of the chain (hull points in chain order, `count` of them, the polygon closed from the
    // last back to the first) that are not edges of its convex hull, as pairs of point numbers. -1 when
    // the hull cannot be matched to the chain, 1 when concave edges were found, else 0.
    int getConcaveEdges(const HullSplat* hullPoints, const std::vector<unsigned>& chain, int count,
                        std::vector<unsigned>& concaveEdges) const;
    // Whether segments (a1, b1) and (a2, b2) coincide (true), share no end point (false), or share one
    // end point while meeting at less than 3 degrees (true, *tooNarrow set); false otherwise. The angle
    // is measured between the two directions away from the shared point.
    static bool checkCoincidenceAndAngle(const std::vector<MeshPoint>& points, unsigned a1, unsigned b1, unsigned a2,
                                         unsigned b2, bool* tooNarrow);

    // Sets error, flags and best triangle from the vertex's triangles (links) in `indices`.
    void calculateError(const std::vector<MeshPoint>& points, const std::vector<unsigned>& indices);
    // The simpler error of the independent-set driver, whose links hold neighbour numbers: the smallest
    // distance to a triangle of any three neighbours, without validity tests. The error is left as it
    // was when no triple gives a distance.
    void calculateError(const std::vector<MeshPoint>& points, const std::vector<Color>& colors,
                        const std::map<unsigned, unsigned>& map);
    // Keeps the first occurrence of every neighbour number in links.
    void cleanNeighbourDuplicates();

    // Takes the vertex out and fills its hole (see the removal driver for the contract). True when it
    // did; false leaves `indices`, `deletedTriangles` and every vertex record as they were. maxError > 0
    // limits the x, y length of every new edge.
    //
    // `covered`, when given, holds per triangle (position / 3) the removed points whose x, y it covers:
    // the removal is refused unless this vertex and every point covered by its triangles stay within
    // maxError of the new triangle over them, so that the final surface keeps every removed point
    // within that bound, however many removals its neighbourhood went through.
    bool removeAndRetriangulate(const std::vector<MeshPoint>& points, std::vector<unsigned>& indices,
                                std::vector<TriangulationVertex*>& vertices,
                                std::vector<TriangulationVertex*>& changed, std::set<unsigned>& deletedTriangles,
                                float maxError, std::vector<std::vector<unsigned>>* covered = nullptr);

    // Sets MARKED and returns true unless a neighbour is marked. The map variant maps each neighbour
    // (a working number) to its vertex number first.
    bool removeWithCheck(const std::vector<TriangulationVertex*>& vertices);
    bool removeWithCheck(const std::vector<TriangulationVertex*>& vertices, const std::map<unsigned, unsigned>& map);

    static void reportError(int chainSize, int newTriangles);
    static void reportErrorBorder(int chainSize, int newTriangles);
    static void reportErrorIndeces(int found);
};

// Convex hull of n points sorted by x, then y (Andrew's monotone chain): the hull's vertices
// counter-clockwise into `hull` (room for n + 1), returns their number.
int chainHull_2D(const HullSplat* points, int n, HullSplat* hull);

// Three-dimensional distance from p to the closest point of triangle abc; -1 when it is not below
// `limit`. Degenerate triangles (segments, points) are measured as what they are.
double distToTriangle(const MeshPoint& p, const MeshPoint& a, const MeshPoint& b, const MeshPoint& c, double limit);

// Order of the removal drivers' sets: error ascending, equal errors by vertex number.
struct vertexCompare {
    bool operator()(const TriangulationVertex* a, const TriangulationVertex* b) const {
        if (a->error != b->error)
            return a->error < b->error;
        return a->index < b->index;
    }
};
inline bool vertexComparator(const TriangulationVertex* a, const TriangulationVertex* b) {
    return a->error < b->error;
}
