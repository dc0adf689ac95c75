#pragma once
// The vertex-cache reordering in its plain form, one full scan per emitted triangle
// (quadratic), with counts wider than 8 bits: the reference the fast reordering must equal.
#include "VertexCache.h"

#include <list>
#include <memory>
#include <vector>

inline std::vector<unsigned> fullScanVertexCacheOrder(const std::vector<unsigned>& indices,
                                                      unsigned vertexCount) {
    const size_t triangles = indices.size() / 3;
    std::vector<unsigned> count(vertexCount, 0);
    for (unsigned i : indices)
        ++count[i];
    std::vector<float> scores(vertexCount);
    for (unsigned v = 0; v < vertexCount; ++v)
        scores[v] = calculateVertexScore(count[v], -1);
    std::unique_ptr<bool[]> emitted(new bool[triangles]());
    std::list<unsigned> cache; // most recently used first
    std::vector<unsigned> out;
    for (size_t step = 0; step < triangles; ++step) {
        const unsigned t = findBestTriangleByScore(indices, emitted.get(), scores.data());
        emitted[t / 3] = true;
        for (int j = 0; j < 3; ++j) {
            const unsigned v = indices[t + j];
            out.push_back(v);
            cache.remove(v);
            cache.push_front(v);
        }
        for (int j = 0; j < 3; ++j)
            --count[indices[t + j]];
        int position = 0;
        for (unsigned v : cache)
            scores[v] = calculateVertexScore(count[v], position++);
        while (cache.size() > 32) {
            scores[cache.back()] = calculateVertexScore(count[cache.back()], -1);
            cache.pop_back();
        }
    }
    return out;
}
