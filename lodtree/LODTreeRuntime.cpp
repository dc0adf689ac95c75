// The runtime side of a node: its state and the arrays the retriever fills.
//
// The retriever fills the arrays without a lock while the state is "Requested" and then publishes them
// with a release store of "Loaded in RAM"; whoever reads the state with acquire (the default) and sees
// that value may use them.
#include "LODTree.h"
#include "LodTreeLog.h"

#include <algorithm>

namespace {
void printStatus(const LODTreeNode& node, int status) {
    // One insertion per line keeps lines whole when several threads print.
    lodTreeLog() << ("Setting node status of node " + node.id.generateSuffix() + " to " + nodeStatusName(status) +
                     "\n");
}
} // namespace

void LODTreeNode::setNodeStatus(int newStatus) {
    printStatus(*this, newStatus);
    status.store(newStatus, std::memory_order_release);
}

bool LODTreeNode::compareAndSetStatus(int expected, int desired) {
    if (!status.compare_exchange_strong(expected, desired, std::memory_order_acq_rel, std::memory_order_acquire))
        return false;
    printStatus(*this, desired);
    return true;
}

void LODTreeNode::initForRetrieval(const LODTreeNodeHeader& h) {
    header = h;
    // Fresh vectors rather than clear(): a node loaded again with fewer points gives the memory back.
    splats = {};
    colors = {};
    surfaceIDs = {};
    borders = {};
    splats.reserve(h.numPoints);
    surfaceIDs.reserve(h.numPoints);
    borders.reserve(h.numPoints);
}

void LODTreeNode::setZbounds() {
    if (splats.empty()) {
        zMin = zMax = 0;
        return;
    }
    const auto [lo, hi] = std::minmax_element(splats.begin(), splats.end(),
                                              [](const Splat& a, const Splat& b) { return a.z < b.z; });
    zMin = lo->z;
    zMax = hi->z;
}
