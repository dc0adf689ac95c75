#pragma once
// Simplification of a triangulated splat set by vertex removal: the vertex whose removal moves the
// surface least goes first, its hole is re-triangulated, and only its neighbours' errors are
// recomputed. Removal errors are computed on seven ErrorCalculatorThreads. Thresholds are lengths in the
// points' units; -1 stands for the default 0.001 (candidates below 500 t, stop and longest new edge at
// 800 t).
//
// The drivers print their progress on the geometry log (standard output unless redirected).
#include "CThread.h"
#include "MeshPoint.h"
#include "TriangulationVertex.h"

#include <cstddef>
#include <iosfwd>
#include <map>
#include <vector>

// Where the geometry drivers print their diagnostics; null silences them.
void setGeometryLog(std::ostream* log);
std::ostream& geometryLog();

enum class SimplifyVariant {
    Tile,               // candidates below 500 t, stop at n/64 remaining, new edges up to 800 t
    Free,               // the same, stopping at n/4 remaining
    WeightedRandom,     // every vertex, errors scaled by a seeded random weight, stop at n/4 remaining
    TileWeightedRandom  // the same, stopping at n/64 remaining
};

struct SimplifyReport {
    std::size_t vertices = 0;     // n
    std::size_t removed = 0;
    std::size_t trianglesBefore = 0, trianglesAfter = 0;
    double errorSeconds = 0, removalSeconds = 0;
};

// Computes the removal error of vertices [first, last) of the table on its own thread.
class ErrorCalculatorThread : public CThread {
public:
    ErrorCalculatorThread(const std::vector<MeshPoint>& points, const std::vector<unsigned>& indices,
                          std::vector<TriangulationVertex*>& vertices, std::size_t first, std::size_t last)
        : points_(points), indices_(indices), vertices_(vertices), first_(first), last_(last) {}
    ~ErrorCalculatorThread() override {
        Stop();
        Join();
    }
    void Run() override;

private:
    const std::vector<MeshPoint>& points_;
    const std::vector<unsigned>& indices_;
    std::vector<TriangulationVertex*>& vertices_;
    std::size_t first_, last_;
};

// The removal drivers over points in the mesh coordinate type. Return the number of vertices removed.
std::size_t simplifyTriangulation(const std::vector<MeshPoint>& points, std::vector<unsigned>& indices,
                                  float threshold, SimplifyVariant variant, SimplifyReport* report = nullptr);

// The free drivers over splats whose coordinate words hold floats (integers when floatCoords is false).
int simplify(std::vector<Splat>& splats, std::vector<unsigned>& indices, float threshold, bool floatCoords = true);
int simplifyWeightedRandom(std::vector<Splat>& splats, std::vector<unsigned>& indices, float threshold,
                           bool floatCoords = true);

// Random sampling: keeps a quarter of the points (those of the largest randomly weighted errors) and
// replaces `indices` by their triangulation, in point numbers.
void simplifyBySampling(const std::vector<MeshPoint>& points, std::vector<unsigned>& indices, float threshold);

// One pass of removal by independent sets: triangulates the vertices not yet marked, computes their
// errors and marks those below t whose neighbours are unmarked. `vertices` holds one record per point.
// Returns the number marked in this pass; `indices` ends as the triangulation of the unmarked points
// (point numbers).
int simplificationIteration(const std::vector<MeshPoint>& points, const std::vector<Color>& colors,
                            std::vector<unsigned>& indices, std::vector<TriangulationVertex*>& vertices,
                            float threshold, bool useAllSplats);
