#pragma once
// The data sets the classification reads: a LAS file (normals computed as the point server computes
// them) or a local level-of-detail tree directory (its points and stored normals).
#include "GeometryTypes.h"
#include "LASHeader.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How many neighbours a LAS file's normals are fitted to: the point server's default.
constexpr int CLASSIFICATION_NORMAL_NEIGHBOURS = 16;

struct TreeNodeEntry {
    std::string suffix; // "" for the root, "-1", "-3-2", ...
    uint32_t numPoints = 0;
};

struct ClassificationInput {
    std::string path;
    bool isTree = false;
    LASHeader header; // the file's, or the one in the tree's "header" file
    // Per point: (raw - smallest raw of the data set) x scale, per axis; and the normal, (0, 0, 0) where
    // none could be fitted.
    std::vector<GLVector3d> positions;
    std::vector<GLVector3f> normals;
    std::vector<TreeNodeEntry> nodes; // tree: the nodes in the order their points follow in the set
};

// (stage, done, total), called now and then on the calling thread; may throw to stop.
using InputProgress = std::function<void(const char* stage, uint64_t done, uint64_t total)>;

// Reads a LAS 1.0-1.2 file of point formats 0 to 3 and computes each point's normal from its 16 nearest
// neighbours on `threads` threads (0: all the machine has). Throws std::runtime_error naming the file
// for anything unreadable.
ClassificationInput readLASInput(const std::string& path, unsigned threads = 0,
                                 const InputProgress& progress = {});
// Reads every node of a tree directory: the nodes whose "points" file has a node suffix, ordered by
// suffix, each node's points in file order. Normals are normalised; (0, 0, 0) stays "no normal". Throws
// std::runtime_error when the directory is not a complete tree: no readable "header" file, a "points"
// or "normals" file whose size does not match its node header, or nodes that hold another number of
// points than the header.
ClassificationInput readTreeInput(const std::string& directory, const InputProgress& progress = {});
// A directory is read as a tree, anything else as a LAS file.
ClassificationInput readClassificationInput(const std::string& path, unsigned threads = 0,
                                            const InputProgress& progress = {});
