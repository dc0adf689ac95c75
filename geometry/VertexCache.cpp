// Tom Forsyth, "Linear-speed vertex cache optimisation" (2006): vertex scores with the published
// constants over a simulated LRU cache of 32 vertices.
//
// The order is defined by a full scan per emitted triangle (findBestTriangleByScore). The reordering
// below emits exactly that order without the scan. A triangle none of whose vertices is in the cache
// keeps its sum until one of them enters the cache (the only way a vertex's count changes): those
// triangles are filed by (sum desc, position asc) with lazy deletion, in one bucket per distinct sum
// (sums of valence scores take few values), and filed again when the last of their vertices leaves the
// cache. The triangles that touch the cache, whose sums change with nearly every step, are compared
// directly each step. Cost: O(n log n) at most plus, per step, the active triangles of the cached
// vertices (a handful each on ordinary meshes; a vertex shared by k triangles costs O(k) per step while
// it stays cached).
#include "VertexCache.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

namespace {

constexpr unsigned CacheSize = 32;

// Scores of counts below TableCounts at positions -1 .. CacheSize-1, from calculateVertexScore itself.
constexpr unsigned TableCounts = 64;

struct ScoreTable {
    float values[TableCounts][CacheSize + 1];
    ScoreTable() {
        for (unsigned n = 0; n < TableCounts; ++n)
            for (int p = -1; p < int(CacheSize); ++p)
                values[n][p + 1] = calculateVertexScore(n, p);
    }
    float operator()(unsigned n, int position) const {
        return n < TableCounts ? values[n][position + 1] : calculateVertexScore(n, position);
    }
};

struct Candidate {
    float sum;
    unsigned position;
};

// Order of candidates: a larger sum wins, then the lower position.
bool better(const Candidate& a, const Candidate& b) {
    return a.sum > b.sum || (a.sum == b.sum && a.position < b.position);
}

// Positions of the triangles away from the cache that were given one sum: the first fill in ascending
// order, later entries in a min-heap. Entries may be outdated; the caller checks them.
struct Bucket {
    std::vector<unsigned> sorted;
    std::size_t next = 0;
    std::vector<unsigned> later;

    bool empty() const { return next == sorted.size() && later.empty(); }
    bool fromSorted() const {
        return later.empty() || (next < sorted.size() && sorted[next] < later.front());
    }
    unsigned front() const { return fromSorted() ? sorted[next] : later.front(); }
    void pop() {
        if (fromSorted()) {
            ++next;
        } else {
            std::pop_heap(later.begin(), later.end(), std::greater<unsigned>());
            later.pop_back();
        }
    }
    void push(unsigned position) {
        later.push_back(position);
        std::push_heap(later.begin(), later.end(), std::greater<unsigned>());
    }
};

void checkIndices(const std::vector<unsigned>& indices, unsigned vertexCount) {
    if (indices.size() % 3 != 0)
        throw std::invalid_argument("vertex cache order: " + std::to_string(indices.size()) +
                                    " indices are not whole triangles");
    if (indices.size() > std::numeric_limits<unsigned>::max())
        throw std::length_error("vertex cache order: more indices than 32-bit positions can name");
    for (unsigned i : indices)
        if (i >= vertexCount)
            throw std::out_of_range("vertex cache order: index " + std::to_string(i) +
                                    " not below vertex count " + std::to_string(vertexCount));
}

} // namespace

float calculateVertexScore(unsigned numActiveTriangles, int cachePosition) {
    if (numActiveTriangles == 0)
        return -1.0f;
    double score = 0.0;
    if (cachePosition >= 0)
        score = cachePosition < 3 ? 0.75 : std::pow(1.0 - (cachePosition - 3) * 0.03448276, 1.5);
    score += 2.0 * std::pow(double(numActiveTriangles), -0.5);
    return float(score);
}

unsigned findBestTriangleByScore(const std::vector<unsigned>& indices, const bool* emitted,
                                 const float* scores) {
    unsigned best = unsigned(indices.size());
    float bestSum = 0.0f;
    for (size_t t = 0; t + 2 < indices.size(); t += 3) {
        if (emitted[t / 3])
            continue;
        const float sum = scores[indices[t]] + scores[indices[t + 1]] + scores[indices[t + 2]];
        if (best == indices.size() || sum > bestSum) {
            best = unsigned(t);
            bestSum = sum;
        }
    }
    return best;
}

void optimizeTriangleOrderForVertexCache(std::vector<unsigned>& indices, unsigned vertexCount) {
    checkIndices(indices, vertexCount);
    const size_t triangles = indices.size() / 3;
    if (triangles == 0)
        return;
    static const ScoreTable table;

    // One record per vertex, so that a vertex costs one cache line. Its active triangles are
    // triangleList[first, first + count), one entry per use.
    struct Vertex {
        float score;
        unsigned count, first;
        bool cached;
    };
    std::vector<Vertex> vertex(vertexCount, Vertex{0.0f, 0, 0, false});
    for (unsigned i : indices)
        ++vertex[i].count;
    for (unsigned v = 0, at = 0; v < vertexCount; ++v) {
        vertex[v].first = at;
        at += vertex[v].count;
        vertex[v].score = table(vertex[v].count, -1);
    }
    std::vector<unsigned> triangleList(indices.size());
    {
        std::vector<unsigned> filled(vertexCount, 0);
        for (size_t i = 0; i < indices.size(); ++i)
            triangleList[vertex[indices[i]].first + filled[indices[i]]++] = unsigned(i / 3);
    }
    std::vector<char> emitted(triangles, 0);
    auto sumOf = [&](size_t t) {
        const unsigned* v = &indices[3 * t];
        return vertex[v[0]].score + vertex[v[1]].score + vertex[v[2]].score;
    };
    auto touchesCache = [&](size_t t) {
        const unsigned* v = &indices[3 * t];
        return vertex[v[0]].cached || vertex[v[1]].cached || vertex[v[2]].cached;
    };

    // Sums of valence scores take few distinct values: one bucket per sum, largest first.
    std::map<float, Bucket, std::greater<float>> away;
    for (size_t t = 0; t < triangles; ++t)
        away[sumOf(t)].sorted.push_back(unsigned(3 * t));

    unsigned cache[CacheSize + 3];
    unsigned cacheLength = 0;
    std::vector<unsigned> output;
    output.reserve(indices.size());

    for (size_t step = 0; step < triangles; ++step) {
        // Best triangle touching the cache.
        bool found = false;
        Candidate best{0.0f, 0};
        for (unsigned c = 0; c < cacheLength; ++c) {
            const Vertex& v = vertex[cache[c]];
            for (unsigned k = v.first, end = v.first + v.count; k < end; ++k) {
                const Candidate e{sumOf(triangleList[k]), 3 * triangleList[k]};
                if (!found || better(e, best)) {
                    best = e;
                    found = true;
                }
            }
        }
        // Best triangle away from the cache: drop entries emitted, touching the cache (filed again when
        // they leave it) or holding an outdated sum (a newer entry exists).
        while (!away.empty()) {
            auto bucket = away.begin();
            if (bucket->second.empty()) {
                away.erase(bucket);
                continue;
            }
            const Candidate e{bucket->first, bucket->second.front()};
            const size_t t = e.position / 3;
            if (!emitted[t] && !touchesCache(t) && sumOf(t) == e.sum) {
                if (!found || better(e, best))
                    best = e;
                break;
            }
            bucket->second.pop();
        }

        const unsigned* tri = &indices[best.position];
        emitted[best.position / 3] = 1;
        output.insert(output.end(), tri, tri + 3);
        for (int j = 0; j < 3; ++j) {
            const unsigned v = tri[j];
            unsigned* at = std::find(&cache[0], &cache[cacheLength], v);
            if (at == &cache[cacheLength])
                ++cacheLength;
            std::copy_backward(&cache[0], at, at + 1);
            cache[0] = v;
            Vertex& r = vertex[v];
            r.cached = true;
            // Drop one use of this triangle from v's active list.
            unsigned* list = &triangleList[r.first];
            *std::find(list, list + r.count, best.position / 3) = list[r.count - 1];
            --r.count;
        }
        for (unsigned c = 0; c < std::min(cacheLength, CacheSize); ++c)
            vertex[cache[c]].score = table(vertex[cache[c]].count, int(c));
        for (unsigned c = CacheSize; c < cacheLength; ++c) {
            Vertex& r = vertex[cache[c]];
            r.score = table(r.count, -1);
            r.cached = false;
        }
        for (unsigned c = CacheSize; c < cacheLength; ++c) {
            const Vertex& r = vertex[cache[c]];
            for (unsigned k = r.first, end = r.first + r.count; k < end; ++k) {
                const unsigned t = triangleList[k];
                if (!touchesCache(t))
                    away[sumOf(t)].push(3 * t);
            }
        }
        cacheLength = std::min(cacheLength, CacheSize);
    }
    indices.swap(output);
}

double calculateACMR(const std::vector<unsigned>& indices, unsigned cacheSize) {
    if (indices.empty())
        return 0.0;
    std::vector<unsigned> cache; // most recently used first
    cache.reserve(std::min<size_t>(cacheSize, indices.size()));
    size_t misses = 0;
    for (unsigned i : indices) {
        auto at = std::find(cache.begin(), cache.end(), i);
        if (at != cache.end()) {
            std::rotate(cache.begin(), at, at + 1);
            continue;
        }
        ++misses;
        if (cacheSize == 0)
            continue;
        if (cache.size() == cacheSize)
            cache.pop_back();
        cache.insert(cache.begin(), i);
    }
    return 3.0 * double(misses) / double(indices.size());
}
