#pragma once
// A local tree open in the viewer: its structure, the node retriever that loads its nodes, the selection
// and the nodes' GPU buffers. Main thread with the GL context current.
#include "LASHeader.h"
#include "LODTree.h"
#include "TreeNodeRetrieverThread.h"
#include "TreeSelection.h"

#include <memory>
#include <string>

class TreeView {
public:
    // Reads the tree's structure and starts the retriever; throws TreeBuildError when the directory does
    // not hold a complete tree.
    explicit TreeView(const std::string& directory);
    // Stops and joins the retriever before any node goes, then frees the GPU buffers.
    ~TreeView();
    TreeView(const TreeView&) = delete;
    TreeView& operator=(const TreeView&) = delete;

    // The frame's selection, then the uploads it asks for (a few per frame, so that a burst of loaded
    // nodes does not stall the frame).
    void update(const TreeCamera& camera, double minProjectedSize);
    // Draws the selected nodes for one pass of drawPasses; returns the splats drawn.
    int draw(int pass, bool colors, int height, double radiusModifier);

    static constexpr int UploadsPerFrame = 8;
    LASHeader header;
    TreeBounds bounds{};
    std::unique_ptr<LODTree> tree;
    std::unique_ptr<TreeSelection> selection;
    std::unique_ptr<TreeNodeRetrieverThread> retriever;

private:
    void upload(LODTreeNode& node);
    void release(LODTreeNode& node);
    TreeSelection::Frame frame_;
};
