#include "Simplification.h"

#include "Triangulation.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <streambuf>

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr int ERROR_THREADS = 7;

struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
};
NullBuffer nullBuffer;
std::ostream nullStream(&nullBuffer);
std::ostream* logStream = &std::cout;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

float defaultThreshold(float threshold) { return threshold == -1.0f ? 0.001f : threshold; }

// The vertex records of a driver, one per point, with the triangles that use each.
struct VertexTable {
    std::vector<std::unique_ptr<TriangulationVertex>> owned;
    std::vector<TriangulationVertex*> vertices;

    VertexTable(std::size_t n, const std::vector<unsigned>& indices) : owned(n), vertices(n) {
        if (indices.size() % 3 != 0)
            throw std::invalid_argument("triangle list length is not a multiple of 3");
        for (std::size_t i = 0; i < n; ++i) {
            owned[i] = std::make_unique<TriangulationVertex>(unsigned(i));
            vertices[i] = owned[i].get();
        }
        for (std::size_t p = 0; p < indices.size(); p += 3)
            for (int k = 0; k < 3; ++k) {
                if (indices[p + std::size_t(k)] >= n)
                    throw std::out_of_range("triangle names point " + std::to_string(indices[p + std::size_t(k)]) +
                                            " of " + std::to_string(n));
                vertices[indices[p + std::size_t(k)]]->links.push_back(unsigned(p));
            }
    }
};

// Every vertex's error on seven threads of equal vertex ranges; each thread writes only its own records.
double computeErrors(const std::vector<MeshPoint>& points, const std::vector<unsigned>& indices,
                     std::vector<TriangulationVertex*>& vertices) {
    const auto start = std::chrono::steady_clock::now();
    const std::size_t n = vertices.size();
    std::vector<std::unique_ptr<ErrorCalculatorThread>> threads;
    for (int k = 0; k < ERROR_THREADS; ++k) {
        const std::size_t first = std::size_t(k) * n / ERROR_THREADS, last = std::size_t(k + 1) * n / ERROR_THREADS;
        geometryLog() << "Thread " << k << " processing vertices from " << first << " to " << long(last) - 1
                      << std::endl;
        threads.push_back(std::make_unique<ErrorCalculatorThread>(points, indices, vertices, first, last));
        if (!threads.back()->Start())
            throw std::runtime_error("cannot start an error calculation thread");
    }
    // Every thread is joined, however long it takes: the records must not change under the removal.
    for (int k = 0; k < ERROR_THREADS; ++k) {
        geometryLog() << "Waiting for thread " << k << " to end..." << std::endl;
        threads[std::size_t(k)]->Join();
        geometryLog() << "Thread " << k << " ended." << std::endl;
    }
    const double seconds = secondsSince(start);
    geometryLog() << "Time taken to calculate errors: " << long(seconds) << " s." << std::endl;
    return seconds;
}

// The removal candidates in the order of vertexCompare. A candidate's error changes only while it is
// out of the queue, so a binary heap whose outdated entries are dropped when they surface yields exactly
// the order of an ordered set, without a tree node per candidate.
class CandidateQueue {
public:
    explicit CandidateQueue(std::size_t n) : stamp_(n, 0), in_(n, 0) {}
    void push(TriangulationVertex* v) {
        in_[v->index] = 1;
        heap_.push_back({v->error, v->index, ++stamp_[v->index], v});
        std::push_heap(heap_.begin(), heap_.end(), later);
    }
    void erase(const TriangulationVertex* v) {
        in_[v->index] = 0;
        ++stamp_[v->index];
    }
    bool contains(const TriangulationVertex* v) const { return in_[v->index] != 0; }
    // The candidate of smallest error, null when none is left.
    TriangulationVertex* front() {
        while (!heap_.empty() && heap_.front().stamp != stamp_[heap_.front().index]) {
            std::pop_heap(heap_.begin(), heap_.end(), later);
            heap_.pop_back();
        }
        return heap_.empty() ? nullptr : heap_.front().vertex;
    }

private:
    struct Entry {
        float error;
        unsigned index, stamp;
        TriangulationVertex* vertex;
    };
    static bool later(const Entry& a, const Entry& b) {
        return a.error > b.error || (a.error == b.error && a.index > b.index);
    }
    std::vector<Entry> heap_;
    std::vector<unsigned> stamp_;
    std::vector<char> in_;
};

// Drops the triangles at the deleted positions, keeping the others in order.
void compact(std::vector<unsigned>& indices, const std::set<unsigned>& deleted) {
    if (deleted.empty())
        return;
    std::vector<unsigned> kept;
    kept.reserve(indices.size() - 3 * deleted.size());
    std::size_t from = 0;
    for (unsigned pos : deleted) {
        kept.insert(kept.end(), indices.begin() + long(from), indices.begin() + long(pos));
        from = pos + 3;
    }
    kept.insert(kept.end(), indices.begin() + long(from), indices.end());
    indices.swap(kept);
}

} // namespace

void setGeometryLog(std::ostream* log) { logStream = log ? log : &nullStream; }
std::ostream& geometryLog() { return *logStream; }

void ErrorCalculatorThread::Run() {
    for (std::size_t v = first_; v < last_; ++v)
        vertices_[v]->calculateError(points_, indices_);
}

std::size_t simplifyTriangulation(const std::vector<MeshPoint>& points, std::vector<unsigned>& indices,
                                  float threshold, SimplifyVariant variant, SimplifyReport* report) {
    const std::size_t n = points.size();
    VertexTable table(n, indices);
    std::vector<TriangulationVertex*>& vertices = table.vertices;
    SimplifyReport r;
    r.vertices = n;
    r.trianglesBefore = indices.size() / 3;
    r.errorSeconds = computeErrors(points, indices, vertices);

    const bool weighted = variant == SimplifyVariant::WeightedRandom || variant == SimplifyVariant::TileWeightedRandom;
    const bool tile = variant == SimplifyVariant::Tile || variant == SimplifyVariant::TileWeightedRandom;
    if (weighted) {
        std::srand(4000);
        for (TriangulationVertex* v : vertices)
            if (v->error != 999999.0f && v->bestTriangle[0] != 0 && v->bestTriangle[1] != 0)
                v->error *= float(std::rand()) / 2147483647.0f;
    }

    std::vector<TriangulationVertex*> all(vertices);
    std::sort(all.begin(), all.end(), vertexCompare());
    std::size_t minima = 0;
    for (TriangulationVertex* v : vertices)
        minima += (v->flags & TriangulationVertex::LOCAL_MINIMUM) != 0;
    geometryLog() << "Number of local minimums: " << minima << std::endl;

    const float t = defaultThreshold(threshold);
    CandidateQueue candidates(n);
    std::size_t admitted = 0;
    for (TriangulationVertex* v : all) {
        if (!weighted && !(double(v->error) < 500.0 * double(t)))
            break;
        candidates.push(v);
        ++admitted;
    }
    std::vector<TriangulationVertex*>().swap(all);
    geometryLog() << "Number of vertices with smaller error: " << admitted << std::endl;

    const float maxError = weighted ? 700.0f * t : 800.0f * t;
    const auto start = std::chrono::steady_clock::now();
    std::set<unsigned> deleted;
    std::vector<TriangulationVertex*> changed;
    std::vector<std::vector<unsigned>> covered(indices.size() / 3);
    std::size_t removed = 0;
    // A vertex that is skipped or cannot be removed gets error +infinity. Errors never decrease, so it
    // would stay last for good and is simply taken out of the queue; it still counts as a candidate
    // whose recomputed error is always +infinity again.
    std::vector<char> parked(n, 0);
    auto reinsertAsLast = [&](TriangulationVertex* v) {
        candidates.erase(v);
        v->error = INF;
        parked[v->index] = 1;
    };
    while (TriangulationVertex* v = candidates.front()) {
        if (v->error == INF)
            break;
        if (weighted) {
            if (removed >= n - (tile ? n / 64 : n / 4))
                break;
        } else if (v->error >= 800.0f * t ||
                   float(n - removed) <= float(n) * (tile ? 0.015625f : 0.25f)) {
            break;
        }
        if (v->error == -1.0f) {
            geometryLog() << "Skipping vertex of error -1." << std::endl;
            reinsertAsLast(v);
            continue;
        }
        changed.clear();
        if (!v->removeAndRetriangulate(points, indices, vertices, changed, deleted, maxError, &covered)) {
            reinsertAsLast(v);
            continue;
        }
        ++removed;
        candidates.erase(v);
        for (auto it = changed.rbegin(); it != changed.rend(); ++it) {
            TriangulationVertex* w = *it;
            if (parked[w->index])
                continue;
            if (candidates.contains(w)) {
                candidates.erase(w);
            } else if (weighted) {
                geometryLog() << "Did not erase vertex " << w->index << std::endl;
            } else {
                continue; // never a candidate: left alone
            }
            const float old = w->error;
            w->calculateError(points, indices);
            // Errors never decrease: a vertex keeps the place its first error gave it.
            if (w->error < old)
                w->error = old;
            candidates.push(w);
        }
    }
    r.removalSeconds = secondsSince(start);
    r.removed = removed;
    geometryLog() << "Total number of removed vertices: " << removed << ", time for removal: "
                  << long(r.removalSeconds) << " s." << std::endl;
    geometryLog() << "Number of deleted triangles: " << deleted.size() << std::endl;
    compact(indices, deleted);
    r.trianglesAfter = indices.size() / 3;
    geometryLog() << "New triangles size: " << indices.size() << std::endl;
    if (report)
        *report = r;
    return removed;
}

int simplify(std::vector<Splat>& splats, std::vector<unsigned>& indices, float threshold, bool floatCoords) {
    return int(simplifyTriangulation(meshPointsFromSplats(splats, floatCoords), indices, threshold,
                                     SimplifyVariant::Free));
}

int simplifyWeightedRandom(std::vector<Splat>& splats, std::vector<unsigned>& indices, float threshold,
                           bool floatCoords) {
    return int(simplifyTriangulation(meshPointsFromSplats(splats, floatCoords), indices, threshold,
                                     SimplifyVariant::WeightedRandom));
}

void simplifyBySampling(const std::vector<MeshPoint>& points, std::vector<unsigned>& indices, float) {
    const std::size_t n = points.size();
    VertexTable table(n, indices);
    computeErrors(points, indices, table.vertices);
    std::srand(4000);
    for (TriangulationVertex* v : table.vertices)
        v->error = float(v->error * (std::rand() / 2147483647.0));
    std::vector<TriangulationVertex*> order(table.vertices);
    std::stable_sort(order.begin(), order.end(), vertexComparator);
    std::vector<MeshPoint> sample;
    std::vector<unsigned> numbers;
    for (auto it = order.rbegin(); it != order.rend() && double(sample.size()) < double(n) * 0.25; ++it) {
        sample.push_back(points[(*it)->index]);
        numbers.push_back((*it)->index);
    }
    geometryLog() << "Sample size: " << sample.size() << std::endl;
    std::vector<unsigned> local;
    triangulatePoints(sample, local);
    for (unsigned& i : local)
        i = numbers[i];
    indices.swap(local);
    geometryLog() << "New triangles size: " << indices.size() << std::endl;
}

int simplificationIteration(const std::vector<MeshPoint>& points, const std::vector<Color>& colors,
                            std::vector<unsigned>& indices, std::vector<TriangulationVertex*>& vertices,
                            float threshold, bool useAllSplats) {
    const float t = defaultThreshold(threshold);
    std::vector<TriangulationVertex*> collected;
    for (TriangulationVertex* v : vertices)
        if (!(v->flags & TriangulationVertex::MARKED))
            collected.push_back(v);
    // Working numbers: the collected vertices' points in order. With all splats the working numbers are
    // the splat numbers themselves, and no map is needed.
    std::vector<MeshPoint> working;
    std::map<unsigned, unsigned> map;
    std::vector<unsigned> splatOf;
    working.reserve(collected.size());
    for (std::size_t w = 0; w < collected.size(); ++w) {
        working.push_back(points[collected[w]->index]);
        splatOf.push_back(collected[w]->index);
        if (!useAllSplats)
            map[unsigned(w)] = collected[w]->index;
    }
    indices.clear();
    triangulatePoints(working, indices);
    if (useAllSplats)
        for (unsigned& i : indices)
            i = splatOf[i];
    // Neighbour lists in the numbers of `indices`, held by working position.
    std::vector<std::vector<unsigned>> neighbours(collected.size());
    std::vector<unsigned> positionOf;
    if (useAllSplats) {
        positionOf.assign(points.size(), 0);
        for (std::size_t w = 0; w < collected.size(); ++w)
            positionOf[splatOf[w]] = unsigned(w);
    }
    auto position = [&](unsigned i) { return useAllSplats ? positionOf[i] : i; };
    for (std::size_t p = 0; p + 2 < indices.size(); p += 3) {
        const unsigned a = indices[p], b = indices[p + 1], c = indices[p + 2];
        auto& na = neighbours[position(a)];
        auto& nb = neighbours[position(b)];
        auto& nc = neighbours[position(c)];
        na.insert(na.end(), {b, c});
        nb.insert(nb.end(), {a, c});
        nc.insert(nc.end(), {a, b});
    }
    // The error is measured in the numbering of the neighbour lists: working numbers carry the working
    // points, splat numbers the original ones.
    const std::vector<MeshPoint>& measured = useAllSplats ? points : working;
    for (std::size_t w = 0; w < collected.size(); ++w) {
        TriangulationVertex* v = collected[w];
        const unsigned splat = v->index;
        v->links.swap(neighbours[w]);
        v->index = useAllSplats ? splat : unsigned(w);
        v->calculateError(measured, colors, map);
        v->index = splat;
    }
    std::stable_sort(collected.begin(), collected.end(), vertexComparator);
    int marked = 0;
    for (TriangulationVertex* v : collected) {
        if (v->error == -1.0f)
            continue;
        if (!(v->error < t))
            break;
        if (useAllSplats ? v->removeWithCheck(vertices) : v->removeWithCheck(vertices, map))
            ++marked;
    }
    if (!useAllSplats)
        for (unsigned& i : indices) {
            auto it = map.find(i);
            if (it == map.end())
                geometryLog() << "ERROR when remapping triangle indeces, index not in map." << std::endl;
            else
                i = it->second;
        }
    return marked;
}
