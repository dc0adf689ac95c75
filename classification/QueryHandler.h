#pragma once
// The spatial queries the surface classification needs: the k nearest points of a point of the data set,
// in ascending distance, each with its position and normal. Exact: the result equals a brute-force search
// that orders by squared distance and then by point number, the point itself always first (also when
// other points share its position).
#include "GeometryTypes.h"

#include <cstdint>
#include <memory>
#include <vector>

// One point as the classifier sees it. The position is in the data set's units (metres or feet, never
// raw integers) relative to an origin of the caller's choice; the normal has unit length, or is (0, 0, 0)
// when the point has none.
struct QueryPoint {
    GLVector3d position;
    GLVector3f normal;
    uint32_t index; // the point's number in the data set

    bool hasNormal() const { return normal.x != 0.0f || normal.y != 0.0f || normal.z != 0.0f; }
};

// What a cached result was computed from: the number of points and a hash of every position and normal.
struct DataIdentity {
    uint32_t points = 0;
    uint64_t hash = 0;
    bool operator==(const DataIdentity&) const = default;
};

class QueryHandler {
public:
    // One position and one normal per point. Normals of any length are normalised; a zero or non-finite
    // normal means "no normal". Throws std::invalid_argument for sizes that differ, a non-finite position,
    // or more than 2^31 - 1 points (point numbers and counts are kept as 32-bit signed integers).
    QueryHandler(const std::vector<GLVector3d>& positions, const std::vector<GLVector3f>& normals);
    ~QueryHandler();
    QueryHandler(const QueryHandler&) = delete;
    QueryHandler& operator=(const QueryHandler&) = delete;

    uint32_t size() const;
    const QueryPoint& point(uint32_t index) const;
    // Replaces `out` by the min(k, size()) nearest points of point `index`: the point itself, then the
    // others by ascending distance, equal distances by ascending number. Safe to call from several
    // threads at once.
    void nearest(uint32_t index, uint32_t k, std::vector<const QueryPoint*>& out) const;
    // The same points as nearest(), the point itself first and the others in no particular order: less
    // work for a caller that only needs the set.
    void nearestSet(uint32_t index, uint32_t k, std::vector<const QueryPoint*>& out) const;
    const DataIdentity& identity() const;
    // The points in an order that keeps spatial neighbours together: work split into ranges of this
    // order touches little memory per range. `rank` runs from 0 to size() - 1.
    uint32_t pointAtRank(uint32_t rank) const;

private:
    size_t search(const QueryPoint& self, size_t others, bool sorted) const;
    void collect(uint32_t index, uint32_t k, std::vector<const QueryPoint*>& out, bool sorted) const;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
