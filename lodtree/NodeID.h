#pragma once
// Identity of a node of the local level-of-detail tree, its file-name suffix and its same-level
// neighbours.
#include <cstdint>
#include <string>

// Names one of the eight same-level neighbours of a node. In a "knnInt" entry the marker is OR-ed onto
// an index of the neighbour's subtree, so such indices stay below 2^28.
enum KNNmarker : uint32_t {
    KNN_DOWN = 0x80000000u,       // (0, -1)
    KNN_RIGHT = 0x90000000u,      // (+1, 0)
    KNN_LEFT = 0xA0000000u,       // (-1, 0)
    KNN_UP = 0xB0000000u,         // (0, +1)
    KNN_DOWN_LEFT = 0xC0000000u,  // (-1, -1)
    KNN_DOWN_RIGHT = 0xD0000000u, // (+1, -1)
    KNN_UP_LEFT = 0xE0000000u,    // (-1, +1)
    KNN_UP_RIGHT = 0xF0000000u,   // (+1, +1)
};
constexpr uint32_t KNN_MARKER_MASK = 0xF0000000u;
constexpr uint32_t KNN_INDEX_MASK = 0x0FFFFFFFu;
inline bool isKNNmarked(uint32_t entry) { return (entry & 0x80000000u) != 0; }

struct NodeID {
    uint8_t level = 0; // the root is level 0
    int32_t x = 0, y = 0;

    NodeID() = default;
    NodeID(uint8_t l, int32_t x_, int32_t y_) : level(l), x(x_), y(y_) {}

    // Whether 0 <= x, y < 2^level.
    bool inRange() const;
    // "" for the root and for identifiers out of range; otherwise "-q" per level, root first.
    std::string generateSuffix() const;
    // The same-level neighbour named by `marker` (no range check). Another value prints
    // "Error, incorrect marker for generating neighbour ID." and returns this identifier.
    NodeID getNeighbourID(uint32_t marker) const;
    // 0 when either identifier is out of range; otherwise the deepest level at which both lie in the
    // same node (the level of their common ancestor).
    int getBorderLevel(const NodeID* other) const;
    // Child in quadrant 1 to 4 (Part of the quadrant table: 1 low x low y, 2 low x high y, 3 high x low
    // y, 4 high x high y).
    NodeID child(int quadrant) const;

    bool operator==(const NodeID&) const = default;
};
