#pragma once
// A local tree open in the viewer: its structure, the node retriever that loads its nodes, the selection,
// the nodes' GPU buffers and the surface optimisation pipeline that replaces surfaces by meshes. Main
// thread with the GL context current.
#include "LASHeader.h"
#include "LODTree.h"
#include "OptimizationPipeline.h"
#include "TreeNodeRetrieverThread.h"
#include "TreeSelection.h"

#include <memory>
#include <string>
#include <unordered_map>

class TreeView {
public:
    // Reads the tree's structure and starts the retriever and the optimisation workers; throws
    // TreeBuildError when the directory does not hold a complete tree.
    explicit TreeView(const std::string& directory);
    // Stops and joins the retriever, then ends the pipeline (its requests and meshes), then frees the
    // nodes' GPU buffers: all before any node goes.
    ~TreeView();
    TreeView(const TreeView&) = delete;
    TreeView& operator=(const TreeView&) = delete;

    // The frame's selection, then the uploads it asks for (a few per frame, so that a burst of loaded
    // nodes does not stall the frame).
    void update(const TreeCamera& camera, double minProjectedSize);
    // The optimisation's share of a frame, after update: with `enabled`, the drawn node worth it most is
    // marked pending and queued; then stages 2 and 4 run (done[0], done[1] as OptimizationPipeline::frame).
    // Switched off, no node is queued and meshes are not drawn, but they are kept for when it is on again.
    void optimize(float budgetMs, bool enabled, bool done[2]);
    // Draws the selected nodes for one pass of drawPasses: the meshes of optimised nodes through the
    // triangle programs and the splats of every surface without a mesh; returns the splats drawn.
    int draw(int pass, bool colors, int height, double radiusModifier);

    size_t optimizedNodes() const { return pipeline ? pipeline->optimizedNodes() : 0; }
    double averageTimePerSplat() const { return pipeline ? pipeline->averageTimePerSplat() : 0; }
    // The optimisation's view of the tree's model space.
    TreeFrame treeFrame() const;

    static constexpr int UploadsPerFrame = 8;
    // A node whose optimisation ended without meshes (too few splats per surface, rejected, dropped) is
    // tried again after this many frames at the earliest.
    static constexpr uint64_t RetryFrames = 600;
    // Splats are drawn into the surface textures this much larger than their own radius.
    static constexpr double TextureSplatScale = 2.0;
    LASHeader header;
    TreeBounds bounds{};
    std::unique_ptr<LODTree> tree;
    std::unique_ptr<TreeSelection> selection;
    std::unique_ptr<TreeNodeRetrieverThread> retriever;
    std::unique_ptr<OptimizationPipeline> pipeline; // null when render-to-texture is not available

private:
    // The node's splats that no mesh replaces, as an element buffer of splat numbers.
    struct Remaining {
        unsigned int buffer = 0;
        int count = 0;
        // Vertex buffer of the first mesh it was made for: meshes made again renew it.
        unsigned int firstMesh = 0;
        size_t meshes = 0;
    };
    void upload(LODTreeNode& node);
    void release(LODTreeNode& node);
    const Remaining& remaining(const LODTreeNode& node, const std::vector<SurfaceMesh>& meshes);
    void drawMeshes(int pass, bool colors, const std::vector<SurfaceMesh>& meshes);
    TreeSelection::Frame frame_;
    bool optimizing_ = false;                                // this frame draws meshes
    std::unordered_map<const LODTreeNode*, uint64_t> tried_; // selection frame of the last request
    std::unordered_map<const LODTreeNode*, Remaining> remaining_;
};
