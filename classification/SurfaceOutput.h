#pragma once
// The classification's results in the files other programs read: a LAS copy of the points whose Point
// Source ID carries the surface number, and the "surf" files of a local tree.
#include "ClassificationInput.h"

#include <cstdint>
#include <string>
#include <vector>

// The Point Source ID of a point of `surface`: 0 for none, the number itself up to 65,535, and above
// that the number wrapped into 1 to 65,535 (65,536 becomes 1), so that a classified point never reads
// as unclassified. The 32-bit class file keeps the true numbers.
uint16_t pointSourceIdForSurface(int32_t surface);

// Writes `out` as a copy of the input's points with each point's Point Source ID set from classes (one
// per point, in the input's order). A LAS input is copied byte for byte apart from those two bytes per
// record; a tree gives its header, its variable-length records except the tree-bounds one and its
// nodes' records in the input's order. Written under a temporary name and renamed into place; throws
// std::runtime_error.
void writeClassifiedLAS(const ClassificationInput& in, const std::vector<int32_t>& classes,
                        const std::string& out);

// Replaces every node's "surf" file with the node's surface numbers (uint32 little-endian per point),
// each under a temporary name renamed into place.
void writeTreeSurfaceFiles(const ClassificationInput& in, const std::vector<int32_t>& classes);
