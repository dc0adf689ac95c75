#include "TreeSelection.h"

#include "LodTreeLog.h"
#include "TreeNodeRetrieverThread.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <set>
#include <unordered_map>

namespace {

// Suffixes of the directory's node point files. A node that kept no points has no files (its children
// may still hold points: the simplification passes points through nodes that would keep almost none).
using Suffixes = std::set<std::string>;

bool hasFilesBelow(const Suffixes& files, const std::string& prefix) {
    auto it = files.lower_bound(prefix);
    return it != files.end() && it->compare(0, prefix.size(), prefix) == 0;
}

void readNode(LODTreeNode& node, int depthLeft, const Suffixes& files, float parentRadius) {
    const std::string suffix = node.id.generateSuffix();
    LODTreeNodeHeader h;
    if (files.count(suffix) == 0) {
        // An empty node: nothing to load, refined as a level finer than its parent.
        node.numPoints = 0;
        node.defaultSplatRadius = parentRadius * 0.5f;
        node.status.store(NODE_EMPTY);
    } else {
        const std::string path = node.getPointPath();
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f)
            throw TreeBuildError("cannot open " + path + ": " + std::strerror(errno));
        const bool ok = h.read(f);
        std::fclose(f);
        if (!ok)
            throw TreeBuildError(path + ": no node header");
        node.header = h;
        node.numPoints = int32_t(h.numPoints);
        node.coverage = h.coverage;
        node.defaultSplatRadius = h.defaultSplatRadius;
        node.status.store(h.numPoints > 0 ? NODE_NOT_LOADED : NODE_EMPTY);
    }
    for (int q = 1; q <= 4; ++q) {
        const std::string childSuffix = suffix + "-" + char('0' + q);
        if (!(h.subNodes & (8 >> (q - 1))) && !hasFilesBelow(files, childSuffix))
            continue;
        // A damaged mask could otherwise send the reader down without end.
        if (depthLeft == 0)
            throw TreeBuildError(node.getPointPath() + ": children below the deepest level a tree can have");
        node.children[q - 1] = std::make_unique<LODTreeNode>(node.tree, node.id.child(q));
        readNode(*node.children[q - 1], depthLeft - 1, files, node.defaultSplatRadius);
    }
}

void collect(LODTreeNode* n, std::vector<LODTreeNode*>& out) {
    out.push_back(n);
    for (auto& c : n->children)
        if (c)
            collect(c.get(), out);
}

bool loaded(int status) { return status == NODE_IN_RAM || status == NODE_IN_VRAM; }

} // namespace

TreeModelSpace TreeModelSpace::fromHeader(const LASHeader& h) {
    TreeModelSpace s;
    const double mins[3] = {h.Min_X, h.Min_Y, h.Min_Z}, maxs[3] = {h.Max_X, h.Max_Y, h.Max_Z};
    const double scales[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    const double offsets[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    double lo[3], hi[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::floor((mins[a] - offsets[a]) / scales[a] - 1.0);
        hi[a] = std::ceil((maxs[a] - offsets[a]) / scales[a] + 1.0);
        s.offset[a] = -(lo[a] + hi[a]) / 2;
    }
    s.scale = 1.0 / (hi[2] - lo[2]);
    s.rawMinZ = lo[2];
    s.rawMaxZ = hi[2];
    return s;
}

std::unique_ptr<LODTree> loadTreeStructure(const std::string& directory, LASHeader& header, TreeBounds& bounds) {
    bounds = LODTree::retrieveTreeBounds(directory, &header);
    auto tree = std::make_unique<LODTree>(directory, int(header.PointDataRecordLength), int(header.PointDataFormatID));
    Suffixes files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(directory, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("points", 0) == 0)
            files.insert(name.substr(6));
    }
    if (ec)
        throw TreeBuildError("cannot list " + directory + ": " + ec.message());
    readNode(*tree->root, MAX_TREE_LEVEL, files, 0.0f);
    return tree;
}

TreeSelection::TreeSelection(LODTree& tree, const LASHeader& header, const TreeBounds& bounds)
    : tree_(tree), bounds_(bounds), space_(TreeModelSpace::fromHeader(header)) {
    collect(tree_.root.get(), all_);
}

std::array<double, 6> TreeSelection::nodeBox(const LODTreeNode& n) const {
    const double cells = double(int64_t(1) << n.id.level);
    const double w = (bounds_[1] - bounds_[0]) / cells, h = (bounds_[3] - bounds_[2]) / cells;
    const double x0 = bounds_[0] + n.id.x * w, y0 = bounds_[2] + n.id.y * h;
    return {space_.toModel(0, x0),          space_.toModel(0, x0 + w),          space_.toModel(1, y0),
            space_.toModel(1, y0 + h),      space_.toModel(2, space_.rawMinZ), space_.toModel(2, space_.rawMaxZ)};
}

double TreeSelection::projectedSize(const LODTreeNode& n, double distance, double pixelFactor) const {
    // As the tiles' levels: the diameter in model units over the distance, in pixels.
    return 2.0 * n.defaultSplatRadius * space_.scale * pixelFactor / std::max(distance, 1e-9);
}

bool TreeSelection::boxVisible(const std::array<double, 6>& b, const float planes[6][4], const double shift[3]) const {
    for (int p = 0; p < 6; ++p) {
        const double a = planes[p][0], bb = planes[p][1], c = planes[p][2];
        // The planes of a camera moved by `shift` are the same planes moved by it.
        const double d = planes[p][3] - (a * shift[0] + bb * shift[1] + c * shift[2]);
        // Only the corner farthest along the plane's normal matters.
        const double x = a > 0 ? b[1] : b[0], y = bb > 0 ? b[3] : b[2], z = c > 0 ? b[5] : b[4];
        if (a * x + bb * y + c * z + d <= 0)
            return false;
    }
    return true;
}

double TreeSelection::distanceTo(const std::array<double, 6>& b, const GLVector3d& e) const {
    const double dx = std::max({b[0] - e.x, 0.0, e.x - b[1]});
    const double dy = std::max({b[2] - e.y, 0.0, e.y - b[3]});
    const double dz = std::max({b[4] - e.z, 0.0, e.z - b[5]});
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

void TreeSelection::request(LODTreeNode& node, double distance, bool primary, Frame& out) {
    if (!requester || !node.compareAndSetStatus(NODE_NOT_LOADED, NODE_REQUESTED))
        return;
    auto* r = new LODTreeRequest;
    r->node = &node;
    // Outside the view waits behind everything in view at any distance.
    r->priority = float(distance);
    requester(r, primary);
    ++out.requested;
}

float TreeSelection::select(LODTreeNode& node, const TreeCamera& cam, double threshold, Frame& out) {
    static const double none[3] = {0, 0, 0};
    const auto box = nodeBox(node);
    const bool visible = boxVisible(box, cam.frustum, none);
    const double distance = distanceTo(box, cam.eye);
    node.lastWanted = frame_;
    node.selectedDistance = distance;
    const int status = node.status.load();
    if (status == NODE_NOT_LOADED) {
        request(node, distance, visible, out);
        return node.defaultSplatRadius;
    }
    if (status == NODE_REQUESTED || !visible)
        return node.defaultSplatRadius;
    if (status == NODE_IN_RAM)
        out.upload.push_back(&node);
    const bool drawn = status == NODE_IN_VRAM;
    if (drawn)
        out.draw.push_back(&node);
    // Ancestors' splats fill in between a node's own: each drawn node takes the largest radius of the
    // finest nodes drawn below it, so that no part of its area is left thinner than its own radius
    // allows for, while a fully refined area draws its ancestors as fine as the rest.
    float radius = node.defaultSplatRadius;
    // An empty node holds nothing to draw in its place: its children are always considered.
    if (status == NODE_EMPTY || (drawn && projectedSize(node, distance, cam.pixelFactor) > threshold)) {
        float finest = 0;
        bool any = false;
        for (auto& c : node.children) {
            if (!c)
                continue;
            const float r = select(*c, cam, threshold, out);
            if (boxVisible(nodeBox(*c), cam.frustum, none) && c->status.load() != NODE_EMPTY) {
                finest = std::max(finest, c->status.load() == NODE_IN_VRAM ? r : node.defaultSplatRadius);
                any = true;
            }
        }
        if (any)
            radius = finest;
    }
    node.drawRadius = radius;
    return radius;
}

TreeSelection::Frame TreeSelection::update(const TreeCamera& cam, double minProjectedSize) {
    ++frame_;
    camera_ = cam;
    threshold_ = minProjectedSize;
    history_.emplace_back(cam.seconds, cam.eye);
    while (history_.size() > 2 && history_.front().first < cam.seconds - 1.0)
        history_.pop_front();

    Frame out;
    select(*tree_.root, cam, minProjectedSize, out);
    evict(out);
    drawn_ = out.draw;
    for (LODTreeNode* n : drawn_) {
        const double t = predictedTimeInView(*n);
        n->predictedTimeInView.store(std::isinf(t) ? std::numeric_limits<float>::infinity() : float(t * 1000.0));
    }
    return out;
}

void TreeSelection::evict(Frame& out) {
    loadedPoints_ = 0;
    std::vector<LODTreeNode*> idle;
    for (LODTreeNode* n : all_) {
        if (!loaded(n->status.load()))
            continue;
        loadedPoints_ += n->splats.size();
        if (n->lastWanted != frame_ && !n->optimizationPending.load() && n != tree_.root.get())
            idle.push_back(n);
    }
    if (loadedPoints_ <= pointBudget)
        return;
    // Unwanted nodes form whole subtrees (a wanted node's ancestors are wanted), so any order leaves the
    // tree drawable; the farthest go first.
    std::sort(idle.begin(), idle.end(),
              [](const LODTreeNode* a, const LODTreeNode* b) { return a->selectedDistance > b->selectedDistance; });
    for (LODTreeNode* n : idle) {
        if (loadedPoints_ <= pointBudget)
            break;
        if (releaser)
            releaser(n);
        loadedPoints_ -= n->splats.size();
        n->splats = {};
        n->colors = {};
        n->surfaceIDs = {};
        n->borders = {};
        n->needsUpload.store(false);
        n->setNodeStatus(NODE_NOT_LOADED);
        ++out.evicted;
    }
}

size_t TreeSelection::loadedNodes() const {
    return size_t(std::count_if(all_.begin(), all_.end(), [](const LODTreeNode* n) { return loaded(n->status.load()); }));
}

LODTreeNode* TreeSelection::parentOf(const LODTreeNode& node) const {
    if (node.id.level == 0)
        return nullptr;
    LODTreeNode* n = tree_.root.get();
    // Walk down by the quadrant of each level's bit of the node's x and y.
    for (int level = 1; n && level < node.id.level; ++level) {
        const int shift = node.id.level - level;
        const int bx = (node.id.x >> shift) & 1, by = (node.id.y >> shift) & 1;
        n = n->child(1 + 2 * bx + by);
    }
    return n;
}

bool TreeSelection::stillSelected(const LODTreeNode& node, const LODTreeNode* parent, const double shift[3]) const {
    if (!boxVisible(nodeBox(node), camera_.frustum, shift))
        return false;
    if (!parent)
        return true;
    const GLVector3d eye{camera_.eye.x + shift[0], camera_.eye.y + shift[1], camera_.eye.z + shift[2]};
    return projectedSize(*parent, distanceTo(nodeBox(*parent), eye), camera_.pixelFactor) > threshold_;
}

double TreeSelection::predictedTimeInView(const LODTreeNode& node) const {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (history_.size() < 2)
        return inf;
    const double dt = history_.back().first - history_.front().first;
    if (dt <= 0)
        return inf;
    const GLVector3d a = history_.front().second, b = history_.back().second;
    const double v[3] = {(b.x - a.x) / dt, (b.y - a.y) / dt, (b.z - a.z) / dt};
    if (v[0] == 0 && v[1] == 0 && v[2] == 0)
        return inf;
    const LODTreeNode* parent = parentOf(node);
    const double none[3] = {0, 0, 0};
    if (!stillSelected(node, parent, none))
        return 0;
    // Steps of a tenth of a second; the node leaves somewhere within the first step that fails.
    constexpr double step = 0.1;
    for (double t = step; t <= Horizon; t += step) {
        const double shift[3] = {v[0] * t, v[1] * t, v[2] * t};
        if (!stillSelected(node, parent, shift))
            return t - step;
    }
    return inf;
}

LODTreeNode* TreeSelection::findBestForOptimization() const {
    if (!optimizeSurfaces)
        return nullptr;
    LODTreeNode* best = nullptr;
    double bestTime = -1;
    for (LODTreeNode* n : drawn_) {
        if (n->status.load() != NODE_IN_VRAM || n->optimizationPending.load() || (isOptimized && isOptimized(*n)))
            continue;
        // Surface 0 is "no surface": a node without any other has nothing to mesh.
        if (std::none_of(n->surfaceIDs.begin(), n->surfaceIDs.end(), [](uint32_t s) { return s != 0; }))
            continue;
        const double t = predictedTimeInView(*n);
        if (!best || t > bestTime || (t == bestTime && n->splats.size() > best->splats.size())) {
            best = n;
            bestTime = t;
        }
    }
    return best;
}

bool TreeSelection::markPendingOptimization(LODTreeNode& node) {
    bool expected = false;
    return node.optimizationPending.compare_exchange_strong(expected, true);
}
