#pragma once
// Per-point normals for the import: principal component of each point's k nearest neighbours.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Unit normal per point from its k nearest neighbours (the point itself included): the eigenvector of
// the smallest eigenvalue of the neighbourhood's covariance, oriented so that z >= 0 (airborne data;
// a horizontal normal with z == 0 is oriented so that its first non-zero component is positive; components
// within 1e-12 of 0, rounding noise of the eigen solver, count as 0 and are returned as 0).
// Neighbours at equal distance are taken in index order, so the result equals a brute-force search.
// Degenerate neighbourhoods (fewer than k finite points in the input, fewer than 3 distinct points,
// collinear points, non-finite input) get (0, 0, 1). Non-finite points are nobody's neighbour.
// Deterministic: the result does not depend on `threads`. Work is split over `threads` std::threads
// (0 = hardware concurrency). xyz holds n points as x, y, z doubles (real coordinates); normals gets
// 3 floats per point. `progress` is called from the calling thread only, now and then, and last with
// (n, n); an exception it throws stops the work and is rethrown. Throws std::invalid_argument for k < 3
// and for more than 2^32 - 1 points (more than a LAS 1.0-1.2 file can hold).
void computeNormals(const double* xyz, size_t n, int k, float* normals, unsigned threads = 0,
                    const std::function<void(size_t done, size_t total)>& progress = {});
// How neighbours are found; both ways give the same neighbours. Automatic takes cells in x and y unless
// the points are too unevenly spread for them, then k-d trees.
enum class NeighbourSearch { Automatic, Cells, Trees };

// The same, taking over the caller's coordinates (xyz.size() / 3 points) to work in them without a copy.
// reach2, when given, gets per point the squared distance to its k-th neighbour (infinity when it has
// fewer than k finite points to choose from): all its neighbours lie within that distance, so a part of a
// larger cloud gives a point the normal of the whole cloud when nothing was left out that near. `only`, when
// given, limits the work to the points i with only[i] != 0: the others are neighbours, their normals and
// reach2 left as they are.
void computeNormals(std::vector<double>&& xyz, int k, float* normals, unsigned threads = 0,
                    const std::function<void(size_t done, size_t total)>& progress = {},
                    NeighbourSearch search = NeighbourSearch::Automatic, double* reach2 = nullptr,
                    const uint8_t* only = nullptr);
