// The pipeline's hand-overs, timing rules and ownership with stand-in stages, and the real stages on a
// small node (a flat roof and a wall) under Xvfb.
#include "LODTree.h"
#include "OptimizationPipeline.h"
#include "RenderToTexture.h"

#include "support/CaptureStdout.h"
#include "RttFixture.h"

#include <GL/glew.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

namespace {

std::atomic<uint64_t> fakeNow{0};
uint64_t fakeClock() { return fakeNow.load(); }

std::atomic<int> created{0}, destroyed{0};
std::atomic<int> texturesMade{0}; // outlives the requests, which the pipeline deletes when done

// Stand-in stages: setup can abandon, triangulation can be held at a gate, GL stages only count.
struct Gate {
    std::atomic<bool> open{true};
};

class StubRequest : public TriangulationOptimizationRequest {
public:
    StubRequest(LODTreeNode* n, uint64_t now, Gate* gate = nullptr, bool abandon = false)
        : TriangulationOptimizationRequest(n, TreeFrame{}, 1, false, now), gate_(gate), abandon_(abandon) {
        ++created;
    }
    ~StubRequest() override { ++destroyed; }
    void setup() override {
        if (abandon_)
            state.store(ABANDONED);
    }
    bool generateTextures(float) override {
        ++textures;
        ++texturesMade;
        return true;
    }
    void triangulateSurfaces() override {
        while (gate_ != nullptr && !gate_->open.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void prepareVBOs() override {}
    bool generateVBOs() override { return true; }
    void releaseGL() override {}
    int textures = 0;

private:
    Gate* gate_;
    bool abandon_;
};

class Pipeline : public ::testing::Test {
protected:
    void SetUp() override {
        created = destroyed = 0;
        fakeNow = 0;
        for (int i = 0; i < 4; ++i) {
            nodes.push_back(std::make_unique<LODTreeNode>(&tree, NodeID(1, i / 2, i % 2)));
            nodes.back()->optimizationPending = true;
        }
    }
    void TearDown() override {
        pipeline.reset();
        EXPECT_EQ(created.load(), destroyed.load()) << "every request deleted exactly once";
    }
    LODTreeNode* node(int i, size_t splats) {
        nodes[i]->splats.assign(splats, Splat{0, 0, 0, 0, 0, 1});
        return nodes[i].get();
    }
    // Runs the two GL-thread stages until `done` (or fails after 10 s).
    void pumpUntil(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            ASSERT_LT(std::chrono::steady_clock::now(), end) << "pipeline made no progress";
            pipeline->processMidstage(5);
            pipeline->finishProcessing();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // A request of `splats` splats made at `createdAt` and taken through every stage, finished at `finishedAt`.
    void runThrough(int nodeIndex, size_t splats, uint64_t createdAt, uint64_t finishedAt) {
        LODTreeNode* n = node(nodeIndex, splats);
        n->predictedTimeInView = 1e9f; // accepted whatever the average
        fakeNow = createdAt;
        ASSERT_TRUE(pipeline->submit(new StubRequest(n, createdAt)));
        pumpUntil([&] {
            if (pipeline->liveRequests() == 1 && !pipeline->hasTextureRequest() && !pipeline->hasParkedRequest())
                fakeNow = finishedAt; // past stage 2: the finish is timed at finishedAt
            return pipeline->liveRequests() == 0;
        });
    }

    LODTree tree{"/nonexistent/"};
    std::vector<std::unique_ptr<LODTreeNode>> nodes;
    std::unique_ptr<OptimizationPipeline> pipeline = [] {
        auto p = std::make_unique<OptimizationPipeline>();
        p->clock = &fakeClock;
        p->start();
        return p;
    }();

};

TEST_F(Pipeline, FirstRequestIsAcceptedAndMeasured) {
    EXPECT_EQ(pipeline->averageTimePerSplat(), 0);
    runThrough(0, 2000, 0, 3000);
    EXPECT_EQ(pipeline->optimizationCount(), 1u);
    EXPECT_DOUBLE_EQ(pipeline->averageTimePerSplat(), 1.5);
    EXPECT_EQ(pipeline->shortestTime(), 3000u);
    EXPECT_FALSE(nodes[0]->optimizationPending);
    // A second: the running average and the shortest time.
    runThrough(1, 4000, 10000, 12000); // 0.5 ms a splat
    EXPECT_EQ(pipeline->optimizationCount(), 2u);
    EXPECT_DOUBLE_EQ(pipeline->averageTimePerSplat(), 1.0);
    EXPECT_EQ(pipeline->shortestTime(), 2000u);
    EXPECT_EQ(pipeline->sizes(), (std::vector<uint32_t>{2000, 4000}));
    EXPECT_EQ(pipeline->times(), (std::vector<double>{1.5, 0.5}));
}

TEST_F(Pipeline, SmallRequestsLeaveTheStatisticsAlone) {
    for (size_t splats : {1u, 500u, 1000u})
        runThrough(0, splats, 0, 5000);
    EXPECT_EQ(pipeline->optimizationCount(), 0u);
    EXPECT_EQ(pipeline->averageTimePerSplat(), 0);
    EXPECT_TRUE(pipeline->times().empty());
}

TEST_F(Pipeline, RejectsNodesThatLeaveTheScreenTooSoon) {
    runThrough(0, 2000, 0, 2000); // 1 ms a splat
    ASSERT_DOUBLE_EQ(pipeline->averageTimePerSplat(), 1.0);
    // 2000 splats need 2000 ms more; × 1.5 = 3000 ms on screen are needed.
    struct Case {
        float predicted;
        bool accepted;
    };
    for (const Case c : {Case{2999, false}, Case{3000, true}}) {
        SCOPED_TRACE(c.predicted);
        LODTreeNode* n = node(1, 2000);
        n->optimizationPending = true;
        n->predictedTimeInView = c.predicted;
        fakeNow = 5000;
        texturesMade = 0;
        ASSERT_TRUE(pipeline->submit(new StubRequest(n, 5000)));
        pumpUntil([&] { return pipeline->liveRequests() == 0 || texturesMade > 0; });
        EXPECT_EQ(texturesMade.load(), c.accepted ? 1 : 0);
        pumpUntil([&] { return pipeline->liveRequests() == 0; });
        EXPECT_FALSE(n->optimizationPending);
    }
    EXPECT_EQ(pipeline->optimizationCount(), 2u);
}

TEST_F(Pipeline, ParkedRequestIsOnlyRetriedWhileTheTriangulationWorkerIsBusy) {
    Gate gate;
    gate.open = false;
    auto* first = new StubRequest(node(0, 10), 0, &gate);
    ASSERT_TRUE(pipeline->submit(first));
    pumpUntil([&] { return first->textures == 1 && !pipeline->hasTextureRequest(); }); // now held at the gate
    auto* second = new StubRequest(node(1, 10), 0);
    ASSERT_TRUE(pipeline->submit(second));
    pumpUntil([&] { return pipeline->hasParkedRequest(); });
    EXPECT_EQ(second->textures, 1);
    auto* third = new StubRequest(node(2, 10), 0);
    ASSERT_TRUE(pipeline->submit(third));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the third's setup is done and waiting
    for (int frame = 0; frame < 5; ++frame)
        EXPECT_EQ(pipeline->processMidstage(5), 1);
    EXPECT_TRUE(pipeline->hasParkedRequest());
    EXPECT_EQ(third->textures, 0) << "a failed retry must not go on to the next request";
    gate.open = true;
    int result = 1;
    pumpUntil([&] { return (result = pipeline->processMidstage(5)) == 0; });
    EXPECT_FALSE(pipeline->hasParkedRequest());
    pumpUntil([&] { return pipeline->liveRequests() == 0; });
}

TEST_F(Pipeline, DroppedRequestsClearTheirNodesMark) {
    // Abandoned by setup.
    auto* abandoned = new StubRequest(node(0, 10), 0, nullptr, true);
    ASSERT_TRUE(pipeline->submit(abandoned));
    pumpUntil([&] { return pipeline->liveRequests() == 0; });
    EXPECT_FALSE(nodes[0]->optimizationPending);
    // Refused because the setup worker is busy.
    Gate gate;
    gate.open = false;
    auto* held = new StubRequest(node(1, 10), 0, &gate);
    ASSERT_TRUE(pipeline->submit(held));
    pumpUntil([&] { return held->textures == 1 && !pipeline->hasTextureRequest(); });
    // The node is evicted while its request waits at the gate inside the triangulation worker.
    pipeline->cancel(nodes[1].get());
    EXPECT_FALSE(nodes[1]->optimizationPending);
    gate.open = true;
    pumpUntil([&] { return pipeline->liveRequests() == 0; });
    EXPECT_EQ(pipeline->meshesOf(nodes[1].get()), nullptr);
    EXPECT_EQ(pipeline->optimizationCount(), 0u);
}

TEST_F(Pipeline, ShutdownFinishesRequestsStillInsideWorkers) {
    Gate gate;
    gate.open = false;
    auto* first = new StubRequest(node(0, 10), 0, &gate);
    ASSERT_TRUE(pipeline->submit(first));
    pumpUntil([&] { return first->textures == 1 && !pipeline->hasTextureRequest(); }); // held at the gate
    ASSERT_TRUE(pipeline->submit(new StubRequest(node(1, 10), 0)));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        gate.open = true;
    });
    pipeline.reset(); // joins the workers; every request is deleted once (checked in TearDown)
    opener.join();
    EXPECT_FALSE(nodes[0]->optimizationPending);
    EXPECT_FALSE(nodes[1]->optimizationPending);
}

TEST_F(Pipeline, IdleWorkersUseNoProcessorTime) {
    auto cpu = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_LT(cpu() - before, 40.0) << "ms of processor time in 400 ms of idling";
}

// ---- the real stages

using RealStages = RttGLTest;

// A flat roof (surface 7), a wall (surface 9), a few unassigned points and a surface too small to mesh.
void fillNode(LODTreeNode& n) {
    auto add = [&](int x, int y, int z, float nx, float ny, float nz, uint32_t id, Color c) {
        n.splats.push_back({x, y, z, nx, ny, nz});
        n.colors.push_back(c);
        n.surfaceIDs.push_back(id);
    };
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            add(x * 50 + (y % 2) * 7, y * 50 + (x % 3) * 5, 1000, 0, 0, 1, 7, Color{60000, 1000, 1000});
    for (int z = 0; z < 12; ++z)
        for (int x = 0; x < 20; ++x)
            add(x * 50 + (z % 2) * 9, 1200, z * 60 + (x % 2) * 4, 0, -1, 0, 9, Color{1000, 60000, 1000});
    for (int i = 0; i < 30; ++i)
        add(i * 31, 1500 + i * 11, 200, 0, 0, 1, 0, Color{0, 0, 0});
    for (int i = 0; i < 5; ++i)
        add(2000 + i * 10, 0, 0, 0, 0, 1, 3, Color{0, 0, 0});
}

TEST_F(RealStages, RoofAndWallBecomeTexturedCacheOrderedMeshes) {
    LODTree tree("/nonexistent/");
    LODTreeNode& n = *tree.root;
    fillNode(n);
    n.optimizationPending = true;
    TreeFrame frame;
    frame.scale[0] = frame.scale[1] = frame.scale[2] = 0.001;

    OptimizationPipeline pipeline;
    pipeline.start();
    ASSERT_TRUE(pipeline.submit(new TriangulationOptimizationRequest(&n, frame, 0.08f, true, pipelineNowMs())));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pipeline.meshesOf(&n) == nullptr && pipeline.liveRequests() > 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        bool done[2];
        pipeline.frame(20, done);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const std::vector<SurfaceMesh>* meshes = pipeline.meshesOf(&n);
    ASSERT_NE(meshes, nullptr);
    EXPECT_FALSE(n.optimizationPending);
    ASSERT_EQ(meshes->size(), 2u);
    std::set<GLuint> textures, buffers;
    const size_t vertexCounts[2] = {400, 240};
    for (size_t k = 0; k < 2; ++k) {
        const SurfaceMesh& m = (*meshes)[k];
        EXPECT_EQ(m.surfaceID, k == 0 ? 7u : 9u);
        // Both surfaces triangulate in their own plane: the wall, too, gets about two triangles a splat.
        EXPECT_GT(m.indexCount, int32_t(vertexCounts[k] * 3 * 3 / 2)) << "surface " << m.surfaceID;
        EXPECT_EQ(m.indexCount % 3, 0);
        std::vector<unsigned> indices(size_t(m.indexCount));
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, m.indexBuffer);
        glGetBufferSubData(GL_ELEMENT_ARRAY_BUFFER, 0, GLsizeiptr(indices.size() * 4), indices.data());
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
        for (unsigned i : indices)
            ASSERT_LT(i, vertexCounts[k]);
        std::vector<MeshVertex> vertices(vertexCounts[k]);
        glBindBuffer(GL_ARRAY_BUFFER, m.vertexBuffer);
        GLint64 bytes = 0;
        glGetBufferParameteri64v(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &bytes);
        ASSERT_EQ(size_t(bytes), vertices.size() * sizeof(MeshVertex));
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, bytes, vertices.data());
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        for (const MeshVertex& v : vertices) {
            EXPECT_GT(v.u, 0.0f);
            EXPECT_LT(v.u, 1.0f);
            EXPECT_GT(v.v, 0.0f);
            EXPECT_LT(v.v, 1.0f);
        }
        EXPECT_TRUE(glIsTexture(m.colorTexture));
        EXPECT_TRUE(glIsTexture(m.normalTexture));
        textures.insert({m.colorTexture, m.normalTexture});
        buffers.insert({m.vertexBuffer, m.indexBuffer});
    }
    EXPECT_EQ(textures.size(), 4u);
    EXPECT_EQ(buffers.size(), 4u);
    const GLuint texture = (*meshes)[0].colorTexture, buffer = (*meshes)[0].vertexBuffer;
    pipeline.releaseMeshes(&n);
    EXPECT_FALSE(glIsTexture(texture));
    EXPECT_FALSE(glIsBuffer(buffer));
    EXPECT_EQ(pipeline.meshesOf(&n), nullptr);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(RealStages, NodeWithoutLargeSurfacesIsAbandonedAndUnmarked) {
    LODTree tree("/nonexistent/");
    LODTreeNode& n = *tree.root;
    for (int i = 0; i < 40; ++i) {
        n.splats.push_back({i, i * 3, 0, 0, 0, 1});
        n.surfaceIDs.push_back(i % 4); // four surfaces of 10 (and id 0)
    }
    n.optimizationPending = true;
    OptimizationPipeline pipeline;
    pipeline.start();
    ASSERT_TRUE(pipeline.submit(new TriangulationOptimizationRequest(&n, TreeFrame{}, 1, false, pipelineNowMs())));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (pipeline.liveRequests() > 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(n.optimizationPending);
}

TEST(TriangleChecks, IndicesOutsideTheSurfaceAreReportedAndDropped) {
    std::vector<unsigned> indices = {0, 1, 2, 2, 1, 5, 3, 4, 0, 6, 0, 1};
    StdoutCapture out;
    EXPECT_EQ(dropOutOfBoundsTriangles(indices, 5, 5, 7), 2u);
    EXPECT_EQ(indices, (std::vector<unsigned>{0, 1, 2, 3, 4, 0}));
    const std::string printed = out.take();
    EXPECT_NE(printed.find("Error: triangle index 5 out of bounds 5 5 7"), std::string::npos) << printed;
    EXPECT_NE(printed.find("Error: triangle index 6 out of bounds 5 5 7"), std::string::npos) << printed;
}

} // namespace
