#pragma once
// Exact k-nearest-neighbour search on stored integer coordinates, and the plane fit of the normals.
//
// Squared distances are exact 64-bit integers: exact whenever the coordinates of one search differ by
// less than 2^31 on each axis, saturated at UINT64_MAX beyond. Lists are ordered by distance, equal
// distances in reference order, so the indexed search and the brute force give identical lists.
#include <cstdint>
#include <vector>

using KnnDistance = uint64_t;

// The defined brute force: for each query point the k nearest reference points by insertion, a new
// distance going before the first kept entry that is strictly greater. Coordinates are dimension-major
// (all first coordinates, then all second ...), `dimensions` 2 or 3; results are dimension-major too
// (entry j of query q at j * queryCount + q) and indices are 1-based. Queries with fewer than k
// reference points get referenceCount entries followed by distance UINT64_MAX and index 0.
void knnIntNoCuda(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount, int dimensions,
                  int k, KnnDistance* distances, uint32_t* indices);

// The same lists from a spatial index, in the same layout; what the tree stages call.
void knnIntIndexed(const int32_t* reference, int referenceCount, const int32_t* query, int queryCount,
                   int dimensions, int k, KnnDistance* distances, uint32_t* indices);

// The unit eigenvectors of the smallest and of the middle eigenvalue of the scatter matrix of `points`
// (x, y, z triples) about `centre`: out[0..2] the normal, out[3..5] the middle axis. Fewer than three
// points, or a degenerate scatter, give zeros.
void fitPlane(const double centre[3], const double* points, int count, float out[6]);
