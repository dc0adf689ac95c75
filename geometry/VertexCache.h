#pragma once
// Triangle order for the post-transform vertex cache: the vertex scoring of Tom Forsyth's "Linear-speed
// vertex cache optimisation" (2006) with its published constants and a simulated LRU cache of 32
// vertices, and the average cache miss ratio (ACMR) that measures an order.
#include <vector>

// Score of a vertex used by `numActiveTriangles` triangles not yet emitted, at `cachePosition` of the
// simulated cache (negative: not in it). -1 for a vertex no triangle still needs.
float calculateVertexScore(unsigned numActiveTriangles, int cachePosition);
// Position (a multiple of 3) of the first triangle not yet emitted whose vertex scores have the largest
// sum: the full scan the reordering is defined by.
unsigned findBestTriangleByScore(const std::vector<unsigned>& indices, const bool* emitted, const float* scores);
// Reorders the triangles of `indices` in place (each triangle keeps its own index order). Throws
// std::out_of_range for an index not below vertexCount.
void optimizeTriangleOrderForVertexCache(std::vector<unsigned>& indices, unsigned vertexCount);
// 3 × misses / indices for an LRU cache of `cacheSize` vertices starting empty: misses per triangle.
// 0 for an empty list; a cache of 0 misses every index.
double calculateACMR(const std::vector<unsigned>& indices, unsigned cacheSize);
