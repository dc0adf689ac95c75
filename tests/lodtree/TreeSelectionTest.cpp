// The viewer's side of a local tree without GL: a tree built by the real tools, read back, selected from
// synthetic cameras, loaded through the real node retriever and evicted.
#include "TreeSelection.h"

#include "LASPoint.h"
#include "LodTreeLog.h"
#include "TestConfig.h"
#include "TreeNodeRetrieverThread.h"
#include "ViewMath.h"
#include "support/RunProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace {

// One tree for the whole program: building it is the slow part.
class TreeFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static std::ostream discard(nullptr); // the retriever's per-node messages
        setLodTreeLog(&discard);
        dir_ = new TempDir;
        const std::string bin = PONTARO_BIN_DIR;
        auto s = runProcess({bin + "/pontaro-las", "synth", dir_->file("in.las"), "--points", "90000",
                             "--format", "3", "--seed", "5"});
        ASSERT_EQ(s.status, 0) << s.err;
        auto b = runProcess({bin + "/pontaro-tree", "build", dir_->file("in.las"), dir_->file("tree")});
        ASSERT_EQ(b.status, 0) << b.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
        setLodTreeLog(nullptr);
    }
    static std::string treeDir() { return dir_->file("tree") + "/"; }
    void SetUp() override {
        tree = loadTreeStructure(treeDir(), header, bounds);
        selection = std::make_unique<TreeSelection>(*tree, header, bounds);
        basePath = dir_->path().string() + "/";
        retriever = std::make_unique<TreeNodeRetrieverThread>("tree", &header, MAX_TREE_LEVEL + 1);
        selection->requester = [this](LODTreeRequest* r, bool primary) {
            requests.emplace_back(r->node, r->priority, primary);
            retriever->addRequest(r, primary);
        };
    }
    // The retriever serves everything queued, then the "GL thread" takes what the frame asks to upload.
    void serveAndUpload(const TreeSelection::Frame& f) {
        while (retriever->countRequests() > 0)
            retriever->handleNextRequest<LASPoint3>();
        for (LODTreeNode* n : f.upload)
            n->compareAndSetStatus(NODE_IN_RAM, NODE_IN_VRAM);
    }
    // Frames until nothing more is requested or uploaded.
    TreeSelection::Frame settle(const TreeCamera& cam, double threshold) {
        TreeSelection::Frame f;
        for (int i = 0; i < 40; ++i) {
            f = selection->update(cam, threshold);
            if (f.requested == 0 && f.upload.empty() && retriever->countRequests() == 0)
                return f;
            serveAndUpload(f);
        }
        ADD_FAILURE() << "the selection did not settle";
        return f;
    }
    static std::vector<LODTreeNode*> nodesOf(const LODTree& t) {
        std::vector<LODTreeNode*> out{t.root.get()};
        for (size_t i = 0; i < out.size(); ++i)
            for (auto& c : out[i]->children)
                if (c)
                    out.push_back(c.get());
        return out;
    }
    static uint64_t pointsOf(const std::vector<LODTreeNode*>& nodes) {
        uint64_t points = 0;
        for (const LODTreeNode* n : nodes)
            points += uint64_t(n->numPoints);
        return points;
    }
    // A camera at `eye` looking at `centre` (y up unless looking along it), 800 x 600 pixels, 45 degrees.
    TreeCamera camera(GLVector3d eye, GLVector3d centre, double seconds = 0) const {
        using V = std::array<double, 3>;
        auto cross = [](V a, V b) {
            return V{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
        };
        auto unit = [](V v) {
            return V{v[0] / std::hypot(v[0], v[1], v[2]), v[1] / std::hypot(v[0], v[1], v[2]),
                     v[2] / std::hypot(v[0], v[1], v[2])};
        };
        auto dot = [](V a, V b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; };
        const V e{eye.x, eye.y, eye.z}, fw = unit({centre.x - eye.x, centre.y - eye.y, centre.z - eye.z});
        const V s = unit(cross(fw, std::abs(fw[1]) > 0.99 ? V{1, 0, 0} : V{0, 1, 0})), u = cross(s, fw);
        const double f = 1.0 / std::tan(45.0 * M_PI / 360.0), n = 0.01, fr = 1000;
        float proj[16] = {}, mv[16] = {};
        proj[0] = float(f * 600 / 800), proj[5] = float(f), proj[10] = float((fr + n) / (n - fr)),
        proj[11] = -1;
        proj[14] = float(2 * fr * n / (n - fr));
        for (int i = 0; i < 3; ++i)
            mv[4 * i] = float(s[i]), mv[4 * i + 1] = float(u[i]), mv[4 * i + 2] = float(-fw[i]);
        mv[12] = float(-dot(s, e)), mv[13] = float(-dot(u, e)), mv[14] = float(dot(fw, e)), mv[15] = 1;
        extractFrustum(proj, mv);
        TreeCamera c{eye, {}, proj[5] * 600 / 2.0, seconds};
        loadFrustum(c.frustum);
        return c;
    }
    // Straight down onto the middle of the tree from high enough to see all of it.
    TreeCamera overview() const {
        const auto b = selection->nodeBox(*tree->root);
        const double side = std::max(b[1] - b[0], b[3] - b[2]);
        return camera({0, 0, 1.6 * side}, {0, 0, 0});
    }
    static inline TempDir* dir_ = nullptr;
    LASHeader header;
    TreeBounds bounds{};
    std::unique_ptr<LODTree> tree;
    std::unique_ptr<TreeSelection> selection;
    std::unique_ptr<TreeNodeRetrieverThread> retriever;
    std::vector<std::tuple<LODTreeNode*, float, bool>> requests;
};

// Every point read back, every splat in its node's box.
TEST_F(TreeFixture, StructureReadBackHoldsEveryPointInNodesThatMapIntoTheirModelBoxes) {
    const auto nodes = nodesOf(*tree);
    ASSERT_GT(nodes.size(), 1u) << "90,000 points must split the root";
    EXPECT_EQ(pointsOf(nodes), 90000u);
    const TreeModelSpace& space = selection->space();
    settle(overview(), 1e-9);
    size_t checked = 0;
    for (LODTreeNode* n : nodes) {
        if (n->status.load() < NODE_IN_RAM)
            continue;
        ASSERT_EQ(n->splats.size(), size_t(n->numPoints));
        const auto box = selection->nodeBox(*n);
        for (const Splat& s : n->splats) {
            const double p[3] = {space.toModel(0, s.x), space.toModel(1, s.y), space.toModel(2, s.z)};
            ASSERT_TRUE(p[0] >= box[0] && p[0] <= box[1] && p[1] >= box[2] && p[1] <= box[3] &&
                        p[2] >= box[4] && p[2] <= box[5])
                << n->id.generateSuffix() << " " << p[0] << " " << p[1] << " " << p[2];
            ++checked;
        }
    }
    EXPECT_EQ(checked, 90000u);
}

// No tree: refused naming the file. A node without files: an inner one is empty, a leaf no node at all.
TEST_F(TreeFixture, MissingFilesAreRefusedOrReadAsEmptyNodes) {
    TempDir copy;
    LASHeader h;
    TreeBounds b;
    try {
        loadTreeStructure(copy.path().string() + "/", h, b);
        ADD_FAILURE() << "an empty directory was accepted";
    } catch (const TreeBuildError& e) {
        EXPECT_NE(std::string(e.what()).find("header"), std::string::npos) << e.what();
    }
    fs::copy(treeDir(), copy.file("t"), fs::copy_options::recursive);
    LODTreeNode* leaf = tree->root->child(1);
    ASSERT_TRUE(leaf &&
                std::all_of(std::begin(leaf->children), std::end(leaf->children), [](auto& c) { return !c; }))
        << "the fixture's node 1 is a leaf";
    const uint64_t removed = uint64_t(tree->root->numPoints) + uint64_t(leaf->numPoints);
    for (const std::string suffix : {"", "-1"})
        for (const char* base : {"points", "normals", "surf", "border"})
            fs::remove(copy.file("t/" + std::string(base) + suffix));
    const auto t = loadTreeStructure(copy.file("t") + "/", h, b);
    EXPECT_EQ(t->root->status.load(), NODE_EMPTY);
    EXPECT_EQ(t->root->child(1), nullptr);
    for (int q = 2; q <= 4; ++q)
        EXPECT_TRUE(t->root->child(q) && t->root->child(q)->status.load() == NODE_NOT_LOADED) << q;
    EXPECT_EQ(pointsOf(nodesOf(*t)), 90000u - removed);
    EXPECT_EQ(nodesOf(*t).size(), nodesOf(*tree).size() - 1);
}

// The root first, then refinement: each drawn node after its parent, ancestors as fine as their coarsest
// drawn child, refined exactly when projecting above the threshold.
TEST_F(TreeFixture, CoarseNodesFirstThenRefinementUntilTheThresholdWithAncestorsDrawn) {
    const TreeCamera cam = overview();
    auto f = selection->update(cam, 1.5);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::get<0>(requests[0]), tree->root.get());
    EXPECT_TRUE(std::get<2>(requests[0]));
    EXPECT_TRUE(f.draw.empty());
    f = settle(cam, 1e9); // a threshold nothing reaches keeps the root alone
    EXPECT_EQ(f.draw, std::vector<LODTreeNode*>{tree->root.get()});
    f = settle(cam, 1e-9);
    const auto nodes = nodesOf(*tree);
    EXPECT_EQ(f.draw.size(),
              size_t(std::count_if(nodes.begin(), nodes.end(), [](auto* n) { return n->numPoints > 0; })));
    auto isChild = [](const LODTreeNode* c, const LODTreeNode* p) {
        return c->id.level == p->id.level + 1 && c->id.x / 2 == p->id.x && c->id.y / 2 == p->id.y;
    };
    for (size_t i = 0; i < f.draw.size(); ++i) {
        const LODTreeNode* n = f.draw[i];
        EXPECT_TRUE(n->id.level == 0 || std::any_of(f.draw.begin(), f.draw.begin() + long(i),
                                                    [&](const LODTreeNode* p) { return isChild(n, p); }))
            << n->id.generateSuffix() << " drawn without its parent";
        float coarsest = 0;
        for (auto& c : n->children)
            if (c && c->numPoints > 0)
                coarsest = std::max(coarsest, c->drawRadius);
        EXPECT_FLOAT_EQ(n->drawRadius, coarsest ? coarsest : n->defaultSplatRadius) << n->id.generateSuffix();
    }
    const double threshold =
        selection->projectedSize(*tree->root, tree->root->selectedDistance, cam.pixelFactor) / 2;
    f = settle(cam, threshold);
    for (LODTreeNode* n : f.draw) {
        const bool refined =
            std::any_of(f.draw.begin(), f.draw.end(), [&](const LODTreeNode* c) { return isChild(c, n); });
        const bool big = selection->projectedSize(*n, n->selectedDistance, cam.pixelFactor) > threshold;
        const bool hasChildren = std::any_of(std::begin(n->children), std::end(n->children),
                                             [](auto& c) { return c && c->numPoints > 0; });
        EXPECT_EQ(refined, big && hasChildren) << n->id.generateSuffix();
    }
}

// Low over the lower left corner looking at it: the children there visible and nearest, the opposite behind.
TEST_F(TreeFixture, RequestsPutVisibleAndNearNodesFirst) {
    ASSERT_EQ(settle(overview(), 1e9).draw.size(), 1u);
    const auto box = selection->nodeBox(*tree->root);
    const double side = box[1] - box[0];
    requests.clear();
    selection->update(camera({box[0] + 0.3 * side, box[2] + 0.3 * side, 0.3 * side}, {box[0], box[2], 0}),
                      1e-9);
    std::map<int, std::pair<float, bool>> byQuadrant;
    for (auto& [node, priority, primary] : requests)
        if (node->id.level == 1)
            byQuadrant[1 + 2 * node->id.x + node->id.y] = {priority, primary};
    ASSERT_TRUE(byQuadrant.count(1) && byQuadrant.count(4));
    EXPECT_TRUE(byQuadrant[1].second);
    EXPECT_FALSE(byQuadrant[4].second) << "the quadrant behind the camera asked for as visible";
    EXPECT_LT(byQuadrant[1].first, byQuadrant[4].first);
    EXPECT_EQ(retriever->getLowestRequests(), 1); // the visible one first although both wait at one level
}

// Over the budget unwanted nodes go farthest first, nodes marked for optimisation are spared; evicted ones
// come back.
TEST_F(TreeFixture, EvictionFarthestFirstSparingMarkedNodes) {
    const TreeCamera cam = overview();
    const auto f = settle(cam, 1e-9);
    const size_t all = selection->loadedNodes();
    ASSERT_GT(f.draw.size(), 2u);
    std::vector<LODTreeNode*> released;
    selection->releaser = [&](LODTreeNode* n) {
        EXPECT_EQ(n->status.load(), NODE_IN_VRAM);
        EXPECT_FALSE(n->splats.empty());
        released.push_back(n);
    };
    EXPECT_EQ(selection->update(cam, 1e9).evicted, 0);
    EXPECT_EQ(selection->loadedNodes(), all);
    LODTreeNode* marked = tree->root->child(1);
    ASSERT_NE(marked, nullptr);
    ASSERT_TRUE(TreeSelection::markPendingOptimization(*marked));
    EXPECT_FALSE(TreeSelection::markPendingOptimization(*marked));
    selection->pointBudget = 1;
    EXPECT_EQ(size_t(selection->update(cam, 1e9).evicted), all - 2);
    EXPECT_EQ(released.size(), all - 2);
    EXPECT_EQ(selection->loadedNodes(), 2u);
    EXPECT_EQ(tree->root->status.load(), NODE_IN_VRAM);
    EXPECT_EQ(marked->status.load(), NODE_IN_VRAM);
    for (size_t i = 0; i < released.size(); ++i) {
        EXPECT_EQ(released[i]->status.load(), NODE_NOT_LOADED);
        EXPECT_TRUE(released[i]->splats.empty() && released[i]->surfaceIDs.empty());
        EXPECT_TRUE(i == 0 || released[i - 1]->selectedDistance >= released[i]->selectedDistance);
    }
    TreeSelection::clearPendingOptimization(*marked);
    selection->pointBudget = 100'000'000;
    settle(cam, 1e-9);
    EXPECT_EQ(selection->loadedNodes(), all);
}

} // namespace
