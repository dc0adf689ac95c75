// The render-to-texture view and size, surfaces drawn into textures, the pipeline's hand-overs, timing
// rules and ownership (stand-in stages), and the real stages on a small node under Xvfb. Runs in the
// directory of the executables, where Shaders/ lies.
#include "LODTree.h"
#include "OptimizationPipeline.h"
#include "RenderToTexture.h"

#include "support/HiddenGLWindow.h"

#include <GL/glew.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <thread>

namespace {

double dot(const double* a, const double* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Where the setup's column-major matrices put a splat, as the GL would with w = 1.
std::array<double, 3> project(const RenderToTextureSetup& s, const TreeFrame& frame, const Splat& splat) {
    const GLVector3d p = frame.normalised(splat);
    double eye[4] = {p.x, p.y, p.z, 1}, clip[4] = {0, 0, 0, 1};
    for (const float* m : {s.modelView, s.projection}) {
        for (int r = 0; r < 4; ++r)
            clip[r] = m[r] * eye[0] + m[4 + r] * eye[1] + m[8 + r] * eye[2] + m[12 + r] * eye[3];
        std::copy(clip, clip + 4, eye);
    }
    EXPECT_DOUBLE_EQ(clip[3], 1.0);
    return {clip[0], clip[1], clip[2]};
}

// Up and right of the view fixed for known normals, orthonormal for any; normals averaged as directions;
// texture sides of about six texels a splat, at most 8192, never 0.
TEST(RenderToTextureView, UpRightAveragesAndTextureSize) {
    // clang-format off
    const double fixed[][9] = {{0, 0, 1, 0, 1, 0, 1, 0, 0}, {1, 0, 0, 0, 1, 0, 0, 0, -1},
                               {0, 1, 0, 0, 0, 1, -1, 0, 0}, {0, 0.6, 0.8, 0, -0.8, 0.6, -1, 0, 0}};
    // clang-format on
    std::mt19937 rng(7);
    std::normal_distribution<double> g;
    for (int k = 0; k < 204; ++k) {
        double n[3], up[3], right[3];
        for (int i = 0; i < 3; ++i)
            n[i] = k < 4 ? fixed[k][i] : g(rng);
        const double l = std::sqrt(dot(n, n));
        for (double& v : n)
            v /= l;
        calculateUpAndRightVector(n, up, right);
        for (int i = 0; i < 3 && k < 4; ++i)
            EXPECT_TRUE(std::fabs(up[i] - fixed[k][3 + i]) < 1e-12 &&
                        std::fabs(right[i] - fixed[k][6 + i]) < 1e-12)
                << "normal " << k << ", axis " << i;
        for (double d : {dot(up, up) - 1, dot(right, right) - 1, dot(up, n), dot(right, n), dot(right, up)})
            ASSERT_NEAR(d, 0, 1e-12) << k;
    }
    TreeFrame frame; // a long and a short normal count alike, a zero one not at all
    frame.offsets[0] = 2, frame.scale[0] = 0.5, frame.scale[2] = 2;
    double n[3], c[3];
    calculateAverages({{0, 0, 0, 10, 0, 0}, {2, 4, 6, 0, 0.5f, 0}, {4, 8, 12, 0, 0, 0}}, n, c, frame);
    EXPECT_TRUE(std::fabs(n[0] - std::sqrt(0.5)) < 1e-9 && std::fabs(n[1] - std::sqrt(0.5)) < 1e-9 &&
                std::fabs(n[2]) < 1e-12);
    EXPECT_EQ(std::tuple(c[0], c[1], c[2]), std::tuple(2.0, 4.0, 12.0));
    // clang-format off
    const struct { double splats, er, eu; int32_t w, h; } sizes[] = {
        {1000, 200, 100, 110, 55}, {1000, 100, 200, 55, 110}, {20e6, 10, 1000, 81, 8192}, {20e6, 1e6, 1, 8192, 1}};
    // clang-format on
    for (const auto& s : sizes) {
        int32_t w = 0, h = 0;
        rttTextureSize(s.splats, s.er, s.eu, w, h);
        EXPECT_EQ(std::pair(w, h), std::pair(s.w, s.h)) << s.splats << " splats, " << s.er << " x " << s.eu;
    }
}

// Every splat inside the texture (margins kept) and the depth range, whatever the surface's shape.
TEST(RenderToTextureView, EverySplatInsideTheTextureAndTheDepthRange) {
    TreeFrame frame;
    frame.offsets[0] = -1000, frame.offsets[1] = 500, frame.offsets[2] = -40;
    frame.scale[0] = frame.scale[1] = frame.scale[2] = 0.01;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> d(0, 2000), bump(-30, 30);
    std::vector<Splat> flatRoof, bothSides, wall;
    for (int i = 0; i < 500; ++i) {
        flatRoof.push_back({1000 + d(rng), d(rng) - 500, 700, 0, 0, 1});
        const int x = d(rng), y = d(rng); // a tilted roof with splats above and below its plane
        bothSides.push_back({x, y, y / 2 + bump(rng), 0, -0.45f, 0.9f});
        wall.push_back({x, 3000 + bump(rng), d(rng), 0, 1, 0});
    }
    flatRoof.insert(flatRoof.end(),
                    {{2000, 500, 700, 0, 0, 1}, {1000, -500, 700, 0, 0, 1}, {3000, 1500, 700, 0, 0, 1}});
    // clang-format off
    const struct { std::vector<Splat> splats; TreeFrame frame; double margin; } cases[] = { // margin: texels
        {{{5, 5, 5, 0, 0, 1}}, {}, 0},
        {{{0, 0, 0, 0, 0, 1}, {10, 0, 0, 0, 0, 1}, {20, 0, 0, 0, 0, 1}}, {}, 0}, // collinear
        {{{0, 0, 0, 0, 0, 0}, {10, 0, 0, 0, 0, 0}, {0, 10, 0, 0, 0, 0}}, {}, 0}, // no normals
        {{{0, 0, 0, 0, 0, 1}, {10, 0, 0, 0, 0, -1}, {0, 10, 0, 0, 0, 1}, {9, 9, 0, 0, 0, -1}}, {}, 0},
        {{{3, 3, 3, 0, 0, 1}, {3, 3, 3, 0, 0, 1}}, {}, 0}, // coincident
        {flatRoof, frame, 4.9}, {bothSides, frame, 4.9}, {wall, frame, 4.9}};
    // clang-format on
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        RenderToTextureSetup s;
        ASSERT_TRUE(prepareRTT(cases[i].splats, cases[i].frame, s));
        // Non-finite matrices fail the projections below.
        EXPECT_TRUE(s.width >= 1 && s.height >= 1 && s.width <= RTT_MAX_TEXTURE_SIZE &&
                    s.height <= RTT_MAX_TEXTURE_SIZE);
        double nearest = 1, farthest = -1;
        for (const Splat& splat : cases[i].splats) {
            const auto c = project(s, cases[i].frame, splat);
            EXPECT_TRUE(std::abs(c[0]) <= 1 - cases[i].margin / s.width &&
                        std::abs(c[1]) <= 1 - cases[i].margin / s.height && std::abs(c[2]) < 1)
                << c[0] << " " << c[1] << " " << c[2];
            nearest = std::min(nearest, c[2]), farthest = std::max(farthest, c[2]);
        }
        EXPECT_TRUE(i < 6 || nearest < farthest) << "the depth range is used, not collapsed";
        if (i == 5) { // the surface's centre in the middle of a texture sized for its 503 splats
            const auto centre = project(s, frame, flatRoof[500]);
            EXPECT_TRUE(std::fabs(centre[0]) < 1e-6 && std::fabs(centre[1]) < 1e-6 &&
                        std::fabs(s.normal[2] - 1) < 1e-12);
            EXPECT_EQ(std::pair(s.width, s.height), std::pair(55, 55));
        }
    }
    RenderToTextureSetup untouched;
    EXPECT_FALSE(prepareRTT({}, TreeFrame{}, untouched));
    EXPECT_EQ(untouched.width, 0);
}

TEST(TriangleChecks, IndicesOutsideTheSurfaceAreDropped) {
    std::vector<unsigned> indices = {0, 1, 2, 2, 1, 5, 3, 4, 0, 6, 0, 1};
    EXPECT_EQ(dropOutOfBoundsTriangles(indices, 5, 5, 7), 2u);
    EXPECT_EQ(indices, (std::vector<unsigned>{0, 1, 2, 3, 4, 0}));
}

// ---- surfaces drawn through the real transform feedback (hidden window under Xvfb)

class RTT : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gl_ = new HiddenGLWindow(64); }
    static void TearDownTestSuite() {
        if (gl_->makeCurrent())
            releaseRTTtextures();
        delete gl_;
        gl_ = nullptr;
    }
    void SetUp() override {
        if (!gl_->makeCurrent())
            GTEST_SKIP() << gl_->skipReason;
        driver_.emplace();
        ASSERT_TRUE(initializeRTTtextures("./Shaders/"));
    }
    void TearDown() override {
        EXPECT_TRUE(!driver_ || glGetError() == GL_NO_ERROR);
        driver_.reset();
    }
    static inline HiddenGLWindow* gl_ = nullptr;
    std::optional<DriverAllocations> driver_;
};

// A flat square roof of (side + 1)² splats, its centre splat last.
std::vector<Splat> roof(int side, int step) {
    std::vector<Splat> s;
    for (int i = 0; i < (side + 1) * (side + 1); ++i)
        if (i != side / 2 * (side + 2))
            s.push_back({i % (side + 1) * step, i / (side + 1) * step, 100, 0, 0, 1});
    s.push_back({side / 2 * step, side / 2 * step, 100, 0, 0, 1});
    return s;
}

std::vector<float> texels(GLuint texture, int w, int h) {
    std::vector<float> out(size_t(w) * h * 3);
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_FLOAT, out.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    return out;
}

// Splats map into the texture, the centre to its middle; textures of earlier surfaces stay; nothing stays
// attached to the frame buffer; surfaces beyond the GL's size stay splats; missing colours fall back to
// normals alone instead of reading past the colour list.
TEST_F(RTT, SurfacesDrawnIntoTextures) {
    TreeFrame frame;
    frame.offsets[2] = -100;
    frame.scale[0] = frame.scale[1] = frame.scale[2] = 0.01;
    const std::vector<Splat> splats = roof(10, 10);
    RenderToTextureSetup setup;
    ASSERT_TRUE(prepareRTT(splats, frame, setup));
    std::vector<float> tc;
    const std::vector<unsigned> textures = renderToTexture(
        splats, std::vector<Color>(splats.size(), Color{65535, 0, 0}), tc, frame, 0.2f, true, true, setup);
    ASSERT_TRUE(textures.size() == 2 && tc.size() == 2 * splats.size());
    const int w = setup.width, h = setup.height;
    // The centre in the middle; corner splats 2.5 texels inside the edges; x grows to the right, y up.
    const float want[][2] = {{0.5f, 0.5f}, {2.5f / w, 2.5f / h}, {1 - 2.5f / w, 2.5f / h}};
    const size_t at[] = {splats.size() - 1, 0, 10};
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(std::fabs(tc[2 * at[k]] - want[k][0]) < 1e-3 &&
                    std::fabs(tc[2 * at[k] + 1] - want[k][1]) < 1e-3)
            << "splat " << at[k] << " at " << tc[2 * at[k]] << ", " << tc[2 * at[k] + 1];
    // The middle texel holds the splats' colour and the roof's upward normal (stored as n / 2 + 1/2).
    const size_t mid = 3 * (size_t(h / 2) * w + w / 2);
    const std::vector<float> colour = texels(textures[0], w, h), normal = texels(textures[1], w, h);
    EXPECT_TRUE(std::fabs(colour[mid] - 1) < 0.02f && std::fabs(colour[mid + 1]) < 0.02f) << colour[mid];
    EXPECT_TRUE(std::fabs(normal[mid + 2] - 1) < 0.01f && std::fabs(normal[mid] - 0.5f) < 0.01f)
        << normal[mid];
    glDeleteTextures(GLsizei(textures.size()), textures.data());
    // A second surface drawn with colours only leaves the first one's textures alone.
    const std::vector<Splat> first = roof(8, 10);
    std::vector<Splat> second; // tilted
    for (int i = 0; i < 50; ++i)
        second.push_back({i * 7 % 70, i * 3, i * 2, 0.6f, 0, 0.8f});
    RenderToTextureSetup a, b;
    frame = TreeFrame{};
    ASSERT_TRUE(prepareRTT(first, frame, a) && prepareRTT(second, frame, b));
    const auto withNormals = renderToTexture(first, std::vector<Color>(first.size(), Color{0, 65535, 0}), tc,
                                             frame, 20, true, true, a);
    ASSERT_EQ(withNormals.size(), 2u);
    const std::vector<float> before = texels(withNormals[1], a.width, a.height);
    const auto coloursOnly = renderToTexture(second, std::vector<Color>(second.size(), Color{0, 0, 65535}),
                                             tc, frame, 20, false, true, b);
    ASSERT_EQ(coloursOnly.size(), 1u);
    EXPECT_EQ(texels(withNormals[1], a.width, a.height), before);
    // Nothing stays attached to the shared frame buffer, so the results can be sampled.
    glBindFramebuffer(GL_FRAMEBUFFER, rttFB());
    for (GLenum attachment : {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1}) {
        GLint name = -1;
        glGetFramebufferAttachmentParameteriv(GL_FRAMEBUFFER, attachment,
                                              GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME, &name);
        EXPECT_EQ(name, 0);
    }
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteTextures(2, withNormals.data()), glDeleteTextures(1, coloursOnly.data());
    // Larger than the GL can hold: no textures, no coordinates.
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    a.width = maxSize + 1;
    EXPECT_TRUE(renderToTexture(first, {}, tc, frame, 20, true, false, a).empty() && tc.empty());
    // Missing colours: normals alone.
    a.width = a.height = 16;
    const auto normalsOnly = renderToTexture(first, std::vector<Color>(3), tc, frame, 20, true, true, a);
    EXPECT_TRUE(normalsOnly.size() == 1 && tc.size() == 2 * first.size());
    glDeleteTextures(GLsizei(normalsOnly.size()), normalsOnly.data());
}

// ---- the pipeline with stand-in stages: setup can abandon, triangulation waits at a gate, GL stages count

std::atomic<uint64_t> fakeNow{0};
std::atomic<int> created{0}, destroyed{0}, texturesMade{0}; // outlive the requests the pipeline deletes

struct StubRequest : TriangulationOptimizationRequest {
    StubRequest(LODTreeNode* n, uint64_t now, std::atomic<bool>* gate = nullptr, bool abandon = false)
        : TriangulationOptimizationRequest(n, TreeFrame{}, 1, false, now), gate_(gate), abandon_(abandon) {
        ++created;
    }
    ~StubRequest() override { ++destroyed; }
    void setup() override {
        if (abandon_)
            state.store(ABANDONED);
    }
    bool generateTextures(float) override { return ++textures, ++texturesMade, true; }
    void triangulateSurfaces() override {
        while (gate_ != nullptr && !gate_->load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void prepareVBOs() override {}
    bool generateVBOs() override { return true; }
    void releaseGL() override {}
    int textures = 0;
    std::atomic<bool>* gate_;
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
        pipeline->clock = [] { return fakeNow.load(); };
        pipeline->start();
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
    // A request of `splats` splats made at `createdAt`, taken through every stage, finished at `finishedAt`.
    void runThrough(int nodeIndex, size_t splats, uint64_t createdAt, uint64_t finishedAt) {
        LODTreeNode* n = node(nodeIndex, splats);
        n->predictedTimeInView = 1e9f; // accepted whatever the average
        fakeNow = createdAt;
        ASSERT_TRUE(pipeline->submit(new StubRequest(n, createdAt)));
        pumpUntil([&] {
            if (pipeline->liveRequests() == 1 && !pipeline->hasTextureRequest() &&
                !pipeline->hasParkedRequest())
                fakeNow = finishedAt; // past stage 2: the finish is timed at finishedAt
            return pipeline->liveRequests() == 0;
        });
    }
    // Submits a request for node 0 and waits until it is held at the closed gate inside triangulation.
    StubRequest* holdAtGate(std::atomic<bool>& gate) {
        auto* held = new StubRequest(node(0, 10), 0, &gate);
        EXPECT_TRUE(pipeline->submit(held));
        pumpUntil([&] { return held->textures == 1 && !pipeline->hasTextureRequest(); });
        return held;
    }

    LODTree tree{"/nonexistent/"};
    std::vector<std::unique_ptr<LODTreeNode>> nodes;
    std::unique_ptr<OptimizationPipeline> pipeline = std::make_unique<OptimizationPipeline>();
};

// Small requests are not measured; the running average, shortest time, sizes and times of the others are;
// nodes that would leave the screen before their optimisation ends are rejected.
TEST_F(Pipeline, RequestsAreMeasuredAndNodesLeavingTooSoonRejected) {
    for (size_t splats : {1u, 500u, 1000u})
        runThrough(0, splats, 0, 5000);
    EXPECT_TRUE(pipeline->optimizationCount() == 0 && pipeline->times().empty());
    runThrough(0, 2000, 0, 3000);
    EXPECT_EQ(std::tuple(pipeline->averageTimePerSplat(), pipeline->shortestTime(),
                         nodes[0]->optimizationPending.load()),
              std::tuple(1.5, 3000u, false));
    runThrough(1, 4000, 10000, 12000); // 0.5 ms a splat
    EXPECT_EQ(
        std::tuple(pipeline->optimizationCount(), pipeline->averageTimePerSplat(), pipeline->shortestTime()),
        std::tuple(2u, 1.0, 2000u));
    EXPECT_EQ(pipeline->sizes(), (std::vector<uint32_t>{2000, 4000}));
    EXPECT_EQ(pipeline->times(), (std::vector<double>{1.5, 0.5}));
    // At 1 ms a splat, 2000 splats need 2000 ms more; × 1.5 = 3000 ms on screen are needed.
    for (const auto& [predicted, accepted] : {std::pair(2999.f, false), std::pair(3000.f, true)}) {
        SCOPED_TRACE(predicted);
        LODTreeNode* n = node(1, 2000);
        n->optimizationPending = true;
        n->predictedTimeInView = predicted;
        fakeNow = 20000;
        texturesMade = 0;
        ASSERT_TRUE(pipeline->submit(new StubRequest(n, 20000)));
        pumpUntil([&] { return pipeline->liveRequests() == 0 || texturesMade > 0; });
        EXPECT_EQ(texturesMade.load(), accepted ? 1 : 0);
        pumpUntil([&] { return pipeline->liveRequests() == 0; });
        EXPECT_FALSE(n->optimizationPending);
    }
    EXPECT_EQ(pipeline->optimizationCount(), 3u);
}

// A request parked while triangulation is busy is retried alone: a failed retry takes no further request;
// idle workers use no processor time.
TEST_F(Pipeline, ParkedRequestIsOnlyRetriedWhileTheTriangulationWorkerIsBusy) {
    std::atomic<bool> gate{false};
    holdAtGate(gate);
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
    EXPECT_EQ(third->textures, 0);
    gate = true;
    pumpUntil([&] { return pipeline->processMidstage(5) == 0; });
    EXPECT_FALSE(pipeline->hasParkedRequest());
    pumpUntil([&] { return pipeline->liveRequests() == 0; });
    auto cpuMs = [] { // idle workers use no processor time
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    };
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double before = cpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_LT(cpuMs() - before, 40.0) << "ms of processor time in 400 ms of idling";
}

// Abandoned by setup, cancelled inside a worker, or still inside at shutdown: deleted once, marks cleared.
TEST_F(Pipeline, DroppedRequestsClearTheirNodesMark) {
    ASSERT_TRUE(pipeline->submit(new StubRequest(node(1, 10), 0, nullptr, true)));
    pumpUntil([&] { return pipeline->liveRequests() == 0; });
    EXPECT_FALSE(nodes[1]->optimizationPending);
    std::atomic<bool> gate{false};
    holdAtGate(gate);
    pipeline->cancel(nodes[0].get());
    EXPECT_FALSE(nodes[0]->optimizationPending);
    gate = true;
    pumpUntil([&] { return pipeline->liveRequests() == 0; });
    EXPECT_EQ(pipeline->meshesOf(nodes[0].get()), nullptr);
    EXPECT_EQ(pipeline->optimizationCount(), 0u);
    gate = false;
    nodes[0]->optimizationPending = nodes[1]->optimizationPending = true;
    holdAtGate(gate);
    ASSERT_TRUE(pipeline->submit(new StubRequest(node(1, 10), 0)));
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        gate = true;
    });
    pipeline.reset(); // joins the workers
    opener.join();
    EXPECT_FALSE(nodes[0]->optimizationPending || nodes[1]->optimizationPending);
}

// ---- the real stages: a flat roof (surface 7), a wall (9), unassigned points and a surface too small

using RealStages = RTT;

void runReal(OptimizationPipeline& pipeline, LODTreeNode& n, const TreeFrame& frame, bool pumpGL) {
    n.optimizationPending = true;
    pipeline.start();
    ASSERT_TRUE(
        pipeline.submit(new TriangulationOptimizationRequest(&n, frame, 0.08f, pumpGL, pipelineNowMs())));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pipeline.meshesOf(&n) == nullptr && pipeline.liveRequests() > 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        bool done[2];
        if (pumpGL)
            pipeline.frame(20, done);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(n.optimizationPending);
}

TEST_F(RealStages, RoofAndWallBecomeTexturedMeshesASmallNodeIsAbandoned) {
    LODTree tree("/nonexistent/");
    LODTreeNode& n = *tree.root;
    auto add = [&](int x, int y, int z, float ny, float nz, uint32_t id, Color c) {
        n.splats.push_back({x, y, z, 0, ny, nz});
        n.colors.push_back(c);
        n.surfaceIDs.push_back(id);
    };
    for (int i = 0; i < 400; ++i) {
        const int a = i % 20, b = i / 20;
        add(a * 50 + (b % 2) * 7, b * 50 + (a % 3) * 5, 1000, 0, 1, 7, Color{60000, 1000, 1000});
        if (b < 12)
            add(a * 50 + (b % 2) * 9, 1200, b * 60 + (a % 2) * 4, -1, 0, 9, Color{1000, 60000, 1000});
        if (i < 30)
            add(i * 31, 1500 + i * 11, 200, 0, 1, 0, Color{});
        if (i < 5)
            add(2000 + i * 10, 0, 0, 0, 1, 3, Color{});
    }
    TreeFrame frame;
    frame.scale[0] = frame.scale[1] = frame.scale[2] = 0.001;
    OptimizationPipeline pipeline;
    runReal(pipeline, n, frame, true);
    const std::vector<SurfaceMesh>* meshes = pipeline.meshesOf(&n);
    ASSERT_TRUE(meshes != nullptr && meshes->size() == 2);
    std::set<std::pair<int, GLuint>> objects; // textures and buffers have names of their own kinds
    const size_t vertexCounts[2] = {400, 240};
    for (size_t k = 0; k < 2; ++k) {
        const SurfaceMesh& m = (*meshes)[k];
        EXPECT_EQ(m.surfaceID, k == 0 ? 7u : 9u);
        // Both surfaces triangulate in their own plane: the wall, too, gets about two triangles a splat.
        EXPECT_TRUE(m.indexCount > int32_t(vertexCounts[k] * 9 / 2) && m.indexCount % 3 == 0) << m.indexCount;
        std::vector<unsigned> indices(size_t(m.indexCount));
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, m.indexBuffer);
        glGetBufferSubData(GL_ELEMENT_ARRAY_BUFFER, 0, GLsizeiptr(indices.size() * 4), indices.data());
        glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
        ASSERT_LT(*std::max_element(indices.begin(), indices.end()), vertexCounts[k]);
        std::vector<MeshVertex> vertices(vertexCounts[k]);
        glBindBuffer(GL_ARRAY_BUFFER, m.vertexBuffer);
        GLint64 bytes = 0;
        glGetBufferParameteri64v(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &bytes);
        ASSERT_EQ(size_t(bytes), vertices.size() * sizeof(MeshVertex));
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, bytes, vertices.data());
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        for (const MeshVertex& v : vertices)
            ASSERT_TRUE(v.u > 0 && v.u < 1 && v.v > 0 && v.v < 1) << v.u << ", " << v.v;
        EXPECT_TRUE(glIsTexture(m.colorTexture) && glIsTexture(m.normalTexture));
        objects.insert({{0, m.colorTexture}, {0, m.normalTexture}, {1, m.vertexBuffer}, {1, m.indexBuffer}});
    }
    EXPECT_EQ(objects.size(), 8u) << "each mesh has textures and buffers of its own";
    const GLuint texture = (*meshes)[0].colorTexture, buffer = (*meshes)[0].vertexBuffer;
    pipeline.releaseMeshes(&n);
    EXPECT_FALSE(glIsTexture(texture) || glIsBuffer(buffer) || pipeline.meshesOf(&n) != nullptr);
    // Four surfaces of 10 splats (and unassigned ones): abandoned, its mark cleared.
    LODTree small("/nonexistent/");
    for (int i = 0; i < 40; ++i) {
        small.root->splats.push_back({i, i * 3, 0, 0, 0, 1});
        small.root->surfaceIDs.push_back(i % 4);
    }
    OptimizationPipeline other;
    runReal(other, *small.root, TreeFrame{}, false);
    EXPECT_EQ(other.liveRequests(), 0u);
}

} // namespace
