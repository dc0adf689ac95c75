#pragma once
// (point, compatible-neighbour count) pairs and the cache file that keeps a data set's sorted list.
#include "QueryHandler.h"

#include <cstdint>
#include <string>
#include <vector>

struct IndexPair {
    int32_t index;
    int32_t count;
    bool operator==(const IndexPair&) const = default;
};

// By count, largest first; equal counts keep their order.
void sortIndexPairs(std::vector<IndexPair>& pairs);

// A threshold as it appears in cache file names: plain decimal digits with a point, no exponent, no
// trailing zeros, the same in every locale ("10", "0.25", "12.5").
std::string formatThreshold(double value);
// directory + "/" + dataset + "_compNeighbours" + formatThreshold(angle) + "-" + formatThreshold(distance).
std::string compatibleNeighboursCachePath(const std::string& directory, const std::string& dataset,
                                          double maxAngleDeg, double maxRelDistance);

// What the list in a cache file must have been computed from.
struct CompatibilityCacheKey {
    DataIdentity data;
    double maxAngleDeg = 0, maxRelDistance = 0;
};

// Cache file, little-endian: the 8 bytes "PTCOMPNB", version (uint32, 1), the data set's point count
// (uint32) and coordinate hash (uint64), the two thresholds (float64), the pair count n (uint32), n pairs
// of int32 (point, count) in list order, and a uint64 checksum of everything before it. Written under a
// temporary name and renamed into place; prints "Saving index pairs... " and "saved.".
void saveIndexPairVector(const std::string& path, const std::vector<IndexPair>& pairs,
                         const CompatibilityCacheKey& key);
// Reads the list back when the file is complete, intact and was made from the data and thresholds of
// `key`, holding every point exactly once in sorted order with counts from 0 to 100. Otherwise returns
// false with the reason in `why` and leaves `pairs` empty; it never throws for a bad file.
bool loadIndexPairVector(const std::string& path, std::vector<IndexPair>& pairs,
                         const CompatibilityCacheKey& key, std::string* why);
