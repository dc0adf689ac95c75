// The node retriever: queue order, loading records (formats 0 to 3, extra bytes) with their side files, bad
// files, and the thread under requests, reprioritisation, forgetting and stopping from other threads.
#include "TreeNodeRetrieverThread.h"

#include "LASHeader.h"
#include "LASPoint.h"
#include "LODTree.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct TestPoint {
    int32_t x, y, z;
    uint16_t r, g, b;
    float nx, ny, nz;
    uint32_t surf;
    uint8_t border;
};
using Points = std::vector<TestPoint>;

// Values differ between nodes and points, so a record taken from the wrong place shows.
Points makePoints(int count, int seed) {
    Points pts;
    for (int i = 0; i < count; ++i)
        pts.push_back({1000 * seed + 7 * i, -300 * seed - 3 * i, 50 - 11 * i + seed, uint16_t(100 * seed + i),
                       uint16_t(2 * i + 1), uint16_t(65535 - i), 0.1f * float(i), -0.5f, float(seed),
                       uint32_t(10 * seed + i % 3), uint8_t(i % 2)});
    return pts;
}

template <class F> bool eventually(F condition, std::chrono::milliseconds limit = 5s) {
    for (const auto end = Clock::now() + limit; !condition(); Sleep(1))
        if (Clock::now() > end)
            return false;
    return true;
}

// A named pipe in place of a node file: opening it blocks until release(); released at the latest on exit.
struct FifoGate {
    std::string path;
    bool released = false;
    explicit FifoGate(const std::string& p) : path(p) {
        std::filesystem::remove(p);
        EXPECT_EQ(mkfifo(p.c_str(), 0600), 0);
    }
    ~FifoGate() { release(); }
    bool release() {
        return released = released || eventually([&] {
                              const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
                              return fd >= 0 && ::close(fd) == 0;
                          });
    }
};

class Retriever : public ::testing::Test {
protected:
    void SetUp() override {
        savedBase = basePath;
        basePath = tmp.path().string() + "/";
        std::filesystem::create_directory(tmp.path() / "survey");
        useFormat(0);
    }
    void TearDown() override { basePath = savedBase; }
    // The root, its children and quadrant 1's children; records of the format plus `extra` bytes.
    void useFormat(int format, int extra = 0) {
        header.PointDataFormatID = uint8_t(format);
        header.PointDataRecordLength = uint16_t(las_detail::formatSize(format) + extra);
        tree =
            std::make_unique<LODTree>(tmp.path().string() + "/survey/", header.PointDataRecordLength, format);
        tree->root->createChildren();
        tree->root->child(1)->createChildren();
    }
    LODTreeNode* root() { return tree->root.get(); }
    LODTreeNode* level1(int q) { return tree->root->child(q); }
    LODTreeNode* level2(int q) { return tree->root->child(1)->child(q); }
    std::vector<LODTreeNode*> all() {
        return {root(),    level1(1), level1(2), level1(3), level1(4),
                level2(1), level2(2), level2(3), level2(4)};
    }
    void writeNode(LODTreeNode* node, const Points& pts, float coverage = 0.5f, int64_t numPoints = -1) {
        LODTreeNodeHeader h;
        h.numPoints = numPoints < 0 ? uint32_t(pts.size()) : uint32_t(numPoints), h.coverage = coverage,
        h.subNodes = 9;
        FILE* f = std::fopen(node->getPointPath().c_str(), "wb");
        ASSERT_TRUE(f && h.write(f));
        std::unique_ptr<LASPoint> p(newLASPoint(header.PointDataFormatID));
        std::vector<unsigned char> record(header.PointDataRecordLength, 0xEE); // extra bytes stay 0xEE
        std::vector<unsigned char> normals, surf, border;
        auto put = [](std::vector<unsigned char>& to, const auto& v) {
            const auto* b = reinterpret_cast<const unsigned char*>(&v);
            to.insert(to.end(), b, b + sizeof v);
        };
        for (const TestPoint& t : pts) {
            p->SetX(t.x), p->SetY(t.y), p->SetZ(t.z), p->SetIntensity(0xBEEF);
            p->SetRed(t.r), p->SetGreen(t.g), p->SetBlue(t.b);
            p->copyToBuffer(record.data());
            std::fwrite(record.data(), 1, record.size(), f);
            put(normals, std::array{t.nx, t.ny, t.nz}), put(surf, t.surf), put(border, t.border);
        }
        std::fclose(f);
        writeBytes(node->getNormalPath(), normals), writeBytes(node->getSurfPath(), surf);
        writeBytes(node->getBorderPath(), border);
    }
    void request(TreeNodeRetrieverThread& r, LODTreeNode* node, float priority, bool primary = true) {
        node->setNodeStatus(NODE_REQUESTED);
        r.addRequest(new LODTreeRequest{priority, node}, primary);
    }
    bool serve(TreeNodeRetrieverThread& r) {
        const int f = header.PointDataFormatID;
        return f == 0   ? r.handleNextRequest<LASPoint0>()
               : f == 1 ? r.handleNextRequest<LASPoint1>()
               : f == 2 ? r.handleNextRequest<LASPoint2>()
                        : r.handleNextRequest<LASPoint3>();
    }
    // What was written, with the defaults the retriever documents for side files that lack entries.
    void expectLoaded(const LODTreeNode* n, const Points& pts, size_t normals = SIZE_MAX,
                      size_t surfs = SIZE_MAX, size_t borders = SIZE_MAX) {
        ASSERT_EQ(n->status.load(), NODE_IN_RAM);
        EXPECT_TRUE(n->needsUpload);
        ASSERT_EQ(n->splats.size(), pts.size());
        ASSERT_EQ(n->colors.size(), header.hasColor() ? pts.size() : 0);
        ASSERT_EQ(n->surfaceIDs.size(), pts.size());
        ASSERT_EQ(n->borders.size(), pts.size());
        int32_t zMin = INT32_MAX, zMax = INT32_MIN;
        for (size_t i = 0; i < pts.size(); ++i) {
            const TestPoint& t = pts[i];
            const Splat& s = n->splats[i];
            const float k = i < normals;
            EXPECT_EQ(std::tie(s.x, s.y, s.z), std::tie(t.x, t.y, t.z)) << i;
            EXPECT_EQ(std::tie(s.nx, s.ny, s.nz), std::make_tuple(k * t.nx, k * t.ny, k * t.nz)) << i;
            EXPECT_TRUE(!header.hasColor() ||
                        std::tie(n->colors[i].r, n->colors[i].g, n->colors[i].b) == std::tie(t.r, t.g, t.b))
                << i;
            EXPECT_EQ(n->surfaceIDs[i], i < surfs ? t.surf : 0) << i;
            EXPECT_EQ(n->borders[i], i < borders ? t.border : 0) << i;
            zMin = std::min(zMin, t.z), zMax = std::max(zMax, t.z);
        }
        EXPECT_EQ(std::tie(n->zMin, n->zMax), std::tie(zMin, zMax));
    }
    TempDir tmp;
    std::string savedBase;
    LASHeader header;
    std::unique_ptr<LODTree> tree;
};

// Primary before secondary, lowest level first, nearest first; requests replace.
TEST_F(Retriever, QueuesServePrimaryBeforeSecondaryLowestLevelFirstInPriorityOrder) {
    TreeNodeRetrieverThread r("survey", &header, 3);
    EXPECT_FALSE(serve(r));
    request(r, level1(1), 0.5f);
    request(r, level1(2), 0.7f);
    request(r, level1(3), 0.3f);
    auto* moved = new LODTreeRequest{0.7f, level1(4)};
    level1(4)->setNodeStatus(NODE_REQUESTED);
    r.addRequest(moved, true);
    request(r, level1(1), 0.1f); // a new request replaces the queued one
    moved->priority = 0.9f;      // the same request again only moves
    r.addRequest(moved, true);
    request(r, level2(1), 5.0f);
    request(r, level2(4), 5.0f); // ahead of an equal priority queued earlier
    request(r, root(), 9.0f, false);
    request(r, level2(2), 0.0f, false);
    request(r, level2(3), 0.2f, true);
    request(r, level2(3), 0.2f, false); // moves to the secondary list
    EXPECT_EQ(r.countRequests(), 9);
    // No node has files: each served node ends "Empty", which shows the order.
    const std::vector<LODTreeNode*> expected{level1(1), level1(3), level1(2), level1(4), level2(4),
                                             level2(1), root(),    level2(2), level2(3)};
    const std::vector<int> lowest{1, 1, 1, 1, 2, 2, 0, 2, 2, -1};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(r.getLowestRequests(), lowest[i]);
        ASSERT_TRUE(serve(r));
        for (size_t j = 0; j < expected.size(); ++j)
            EXPECT_EQ(expected[j]->status.load(), j <= i ? NODE_EMPTY : NODE_REQUESTED) << i << ", " << j;
    }
    EXPECT_EQ(r.getLowestRequests(), -1);
}

// Short side files get defaults; points files disagreeing with their header leave the node empty, reserving
// nothing; the average coverage is weighted by points and ignores empty nodes (not 0/0).
TEST_F(Retriever, BadFilesAndTheAverageCoverage) {
    useFormat(2, 3);
    const auto a = makePoints(5, 1), b = makePoints(5, 2), d = makePoints(300, 4);
    auto c = makePoints(5, 3);
    writeNode(root(), {}, 0.7f);
    writeNode(level1(1), a, 0.8f);
    writeNode(level1(2), b, 0.8f);
    writeNode(level1(3), c, 0.8f);
    writeNode(level2(4), d, 0.9f);
    std::filesystem::remove(level1(1)->getNormalPath());
    std::filesystem::resize_file(level1(2)->getSurfPath(), 9); // two whole entries and a byte
    std::filesystem::resize_file(level1(2)->getNormalPath(), 12 * 4 - 1);
    std::filesystem::resize_file(level1(3)->getBorderPath(), 0);
    writeBytes(level1(3)->getSurfPath(), std::vector<unsigned char>(400, 1)); // longer than needed
    writeNode(level1(4), makePoints(4, 5));
    std::filesystem::resize_file(level1(4)->getPointPath(), 26 + 4 * 29 - 1);
    writeNode(level2(1), makePoints(3, 6), 0.5f, 0xFFFFFFFFll);
    writeBytes(level2(2)->getPointPath(), std::vector<unsigned char>(10, 0)); // level2(3) has no file at all
    TreeNodeRetrieverThread r("survey", &header, 3);
    for (LODTreeNode* n : all())
        request(r, n, 0);
    ASSERT_TRUE(serve(r));
    EXPECT_EQ(root()->status.load(), NODE_EMPTY);
    EXPECT_EQ(r.averageCoverage(), 0.0f);
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(serve(r));
    expectLoaded(level1(1), a, 0);
    expectLoaded(level1(2), b, 3, 2);
    for (auto& p : c)
        p.surf = 0x01010101;
    expectLoaded(level1(3), c, 5, 5, 0);
    expectLoaded(level2(4), d);
    for (LODTreeNode* n : {level1(4), level2(1), level2(2), level2(3)}) {
        EXPECT_EQ(n->status.load(), NODE_EMPTY) << n->id.generateSuffix();
        EXPECT_LT(n->splats.capacity(), 1000u) << n->id.generateSuffix();
    }
    EXPECT_NEAR(r.averageCoverage(), (15 * 0.8 + 300 * 0.9) / 315, 1e-6);
    EXPECT_EQ(r.totalPoints(), 315u);
}

// A node given up is not loaded, a loaded one not reloaded; an unknown point format ends the thread unserved.
TEST_F(Retriever, OnlyNodesStillRequestedAreLoadedAndUnknownFormatsNever) {
    useFormat(1, 5);
    const auto pts = makePoints(6, 1);
    writeNode(level1(1), pts);
    TreeNodeRetrieverThread r("survey", &header, 2);
    request(r, level1(1), 0);
    level1(1)->setNodeStatus(NODE_NOT_LOADED);
    EXPECT_FALSE(serve(r));
    EXPECT_EQ(level1(1)->status.load(), NODE_NOT_LOADED);
    EXPECT_TRUE(level1(1)->splats.empty());
    EXPECT_FALSE(level1(1)->needsUpload);
    request(r, level1(1), 0);
    ASSERT_TRUE(serve(r));
    writeNode(level1(1), makePoints(6, 9));
    r.addRequest(new LODTreeRequest{0, level1(1)}, true);
    EXPECT_FALSE(serve(r));
    expectLoaded(level1(1), pts);
    header.PointDataFormatID = 5;
    TreeNodeRetrieverThread bad("survey", &header, 2);
    request(bad, level1(2), 0);
    bad.Start();
    auto joined = std::async(std::launch::async, [&] { bad.Join(); });
    const bool ended = joined.wait_for(5s) == std::future_status::ready;
    if (!ended)
        bad.Stop();
    ASSERT_TRUE(ended);
    EXPECT_EQ(bad.countRequests(), 1);
}

// A node being loaded is neither requeued nor freed under the retriever (forgetNode waits for the load).
TEST_F(Retriever, ThreadNeverRequeuesOrFreesTheNodeItIsLoading) {
    TreeNodeRetrieverThread r("survey", &header, 2);
    writeNode(level1(2), makePoints(6, 2));
    // After the retriever, so that they are released before it is destroyed.
    FifoGate blockedPoints(level1(1)->getPointPath()), blockedNormals(level1(2)->getNormalPath());
    request(r, level1(1), 0);
    r.Start();
    ASSERT_TRUE(eventually([&] { return r.countRequests() == 0; })); // taken: now being loaded
    r.addRequest(new LODTreeRequest{0, level1(1)}, true);
    EXPECT_EQ(r.countRequests(), 0);
    ASSERT_TRUE(blockedPoints.release());
    ASSERT_TRUE(eventually([&] { return level1(1)->status.load() == NODE_EMPTY; }));
    EXPECT_EQ(r.countRequests(), 0);
    request(r, level1(2), 0);
    ASSERT_TRUE(eventually([&] { return r.countRequests() == 0; }));
    level1(2)->setNodeStatus(NODE_NOT_LOADED); // the requester changes its mind while the node loads
    std::atomic<bool> forgotten{false};
    size_t splatsWhenForgotten = 0;
    std::thread forget([&] {
        r.forgetNode(level1(2));
        splatsWhenForgotten = level1(2)->splats.size();
        forgotten = true;
    });
    Sleep(50);
    EXPECT_FALSE(forgotten); // the load cannot end before the normals file opens
    EXPECT_TRUE(blockedNormals.release());
    forget.join();
    EXPECT_EQ(splatsWhenForgotten, 6u);
    EXPECT_EQ(level1(2)->status.load(), NODE_NOT_LOADED);
    EXPECT_FALSE(level1(2)->needsUpload);
}

// Stop ends the thread promptly while idle, and waits for a load in progress.
TEST_F(Retriever, ThreadStopsPromptlyWhileIdleAndWhileLoading) {
    TreeNodeRetrieverThread idle("survey", &header, 2);
    request(idle, level1(1), 0); // no file: ends Empty, which shows the loop runs
    idle.Start();
    ASSERT_TRUE(eventually([&] { return level1(1)->status.load() == NODE_EMPTY; }));
    auto start = Clock::now();
    idle.Stop();
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_EQ(idle.ThreadState(), CThread::Stopped);
    request(idle, level1(1), 0); // left queued: the destructor deletes it
    TreeNodeRetrieverThread loading("survey", &header, 2);
    writeNode(level1(2), makePoints(4, 1));
    FifoGate blockedNormals(level1(2)->getNormalPath());
    request(loading, level1(2), 0);
    loading.Start();
    ASSERT_TRUE(eventually([&] { return loading.countRequests() == 0; }));
    std::atomic<bool> stopped{false};
    int stateAtStop = -1;
    std::thread stopper([&] {
        loading.Stop();
        stateAtStop = level1(2)->status.load();
        stopped = true;
    });
    Sleep(50);
    EXPECT_FALSE(stopped);
    EXPECT_TRUE(blockedNormals.release());
    EXPECT_TRUE(eventually([&] { return stopped.load(); }, 2s)); // a hang guard, not a speed target
    stopper.join();
    EXPECT_EQ(stateAtStop, NODE_IN_RAM);
    EXPECT_EQ(loading.ThreadState(), CThread::Stopped);
}

} // namespace
