#pragma once
// The viewer's side of a local tree without GL: the tree's structure read back from its directory, the
// viewer's normalised model space for it, and the per-frame choice of nodes to draw, to request from the
// node retriever and to evict, with the predicted time a node stays on screen and the choice of the next
// node to optimise. Main thread only; the retriever is reached through the requester callback.
#include "GeometryTypes.h"
#include "LASHeader.h"
#include "LODTree.h"

#include <array>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

struct LODTreeRequest;

// Raw coordinates map to model space as (raw + offset) * scale, the same mapping as the tile grid's
// (widened raw bounds centred at the origin, heights scaled to unit range), so that the renderer's
// programs and the camera behave alike for both kinds of data set.
struct TreeModelSpace {
    double offset[3] = {};
    double scale = 1;
    double rawMinZ = 0, rawMaxZ = 0; // widened, as the grid's
    static TreeModelSpace fromHeader(const LASHeader& header);
    double toModel(int axis, double raw) const { return (raw + offset[axis]) * scale; }
};

// Reads "header" and every node's 26-byte header under `directory` (which ends with a separator) into
// a tree of nodes with ids, point counts, coverage, default splat radius and the children the headers
// name; no points. Throws TreeBuildError on a missing or unreadable file.
std::unique_ptr<LODTree> loadTreeStructure(const std::string& directory, LASHeader& header, TreeBounds& bounds);

// What the selection sees of the camera in one frame.
struct TreeCamera {
    GLVector3d eye{0, 0, 0};
    float frustum[6][4] = {}; // planes as ViewMath's: inside when a*x + b*y + c*z + d > 0
    double pixelFactor = 1;   // pixels per model unit at distance 1
    double seconds = 0;       // time of the frame
};

class TreeSelection {
public:
    // Hands a request to the retriever (which then owns it); the node is "Requested" already.
    using Requester = std::function<void(LODTreeRequest*, bool primary)>;
    // Called for a node about to lose its arrays: free its GPU buffers, make the retriever forget it.
    using Releaser = std::function<void(LODTreeNode*)>;

    TreeSelection(LODTree& tree, const LASHeader& header, const TreeBounds& bounds);

    struct Frame {
        std::vector<LODTreeNode*> draw;   // in the GPU and visible, ancestors before descendants
        std::vector<LODTreeNode*> upload; // loaded in RAM and wanted: the GL thread uploads these
        int requested = 0, evicted = 0;
    };
    // One frame's choice. A visible node is refined into its children while the projected size of its
    // default splat diameter exceeds minProjectedSize, and only once it is loaded, so that coarse nodes
    // arrive first. Nodes needed and visible are primary requests, needed ones outside the view
    // secondary, both ordered by distance. Nodes not wanted this frame are evicted, farthest first,
    // while more than pointBudget points are loaded.
    Frame update(const TreeCamera& camera, double minProjectedSize);

    // Seconds the node is expected to stay selected and in view if the camera keeps its recent motion
    // (the last second): infinity for a camera at rest or a node still selected after the horizon.
    double predictedTimeInView(const LODTreeNode& node) const;
    static constexpr double Horizon = 30;

    // The drawn node that is worth optimising most (the longest predicted time in view, then the most
    // splats): in the GPU, with surfaces, neither pending nor already done; null when none or when
    // optimisation is off.
    LODTreeNode* findBestForOptimization() const;
    // Sets the pending-optimisation mark; false when it was set already.
    static bool markPendingOptimization(LODTreeNode& node);
    static void clearPendingOptimization(LODTreeNode& node) { node.optimizationPending.store(false); }

    // Model-space box of a node: x and y from its place in the tree, z the data set's range.
    std::array<double, 6> nodeBox(const LODTreeNode& node) const;
    // Projected size in pixels of the node's default splat diameter at `distance` model units.
    double projectedSize(const LODTreeNode& node, double distance, double pixelFactor) const;

    const TreeModelSpace& space() const { return space_; }
    size_t loadedNodes() const;
    uint64_t loadedPoints() const { return loadedPoints_; }
    uint64_t frame() const { return frame_; }

    Requester requester;
    Releaser releaser;
    std::function<bool(const LODTreeNode&)> isOptimized; // set by the optimisation pipeline; none: never
    bool optimizeSurfaces = true;
    uint64_t pointBudget = 20'000'000;

private:
    struct Visit {
        bool visible = false;
        double distance = 0;
    };
    bool boxVisible(const std::array<double, 6>& box, const float planes[6][4], const double shift[3]) const;
    double distanceTo(const std::array<double, 6>& box, const GLVector3d& eye) const;
    float select(LODTreeNode& node, const TreeCamera& camera, double threshold, Frame& out);
    void request(LODTreeNode& node, double distance, bool primary, Frame& out);
    void evict(Frame& out);
    // Whether the node stays selected and in view from a camera moved by `shift`.
    bool stillSelected(const LODTreeNode& node, const LODTreeNode* parent, const double shift[3]) const;
    LODTreeNode* parentOf(const LODTreeNode& node) const;

    LODTree& tree_;
    TreeBounds bounds_;
    TreeModelSpace space_;
    uint64_t frame_ = 0;
    uint64_t loadedPoints_ = 0;
    TreeCamera camera_;
    double threshold_ = 1.5;
    std::deque<std::pair<double, GLVector3d>> history_; // (seconds, eye) of the last second
    std::vector<LODTreeNode*> drawn_;
    std::vector<LODTreeNode*> all_; // every node, parents before children
};
