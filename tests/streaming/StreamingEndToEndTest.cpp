// The streaming engine as the viewer runs it: the real point server on 127.0.0.1 (behind a proxy that
// cuts or stalls transfers where asked), the tile cache and render selection threads, and this thread as
// the viewer's GL thread (hidden window under Xvfb) uploading tiles every frame until the selection settles.
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "RenderSelectionThread.h"
#include "ServerRetriever.h"
#include "Simplification.h"
#include "SplatCacheThread.h"
#include "SplatTile.h"
#include "SyntheticScene.h"
#include "VertexAttributes.h"
#include "ViewMath.h"

#include "TestConfig.h"
#include "support/CaptureStdout.h"
#include "support/FaultyProxy.h"
#include "support/HiddenGLWindow.h"
#include "support/LasPoints.h"
#include "support/LocalPointServer.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sys/file.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

class Streaming : public ::testing::Test {
protected:
    // The scene and its data sets are made once per build and shared by every test process, under a lock
    // so that parallel test processes wait for the first to finish.
    static void SetUpTestSuite() {
        gl_ = new HiddenGLWindow;
        const std::string dir = std::string(PONTARO_BIN_DIR) + "/../test-cache/streaming-v1";
        std::filesystem::create_directories(dir + "/..");
        const int lock = ::open((dir + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
        ASSERT_GE(lock, 0);
        ::flock(lock, LOCK_EX);
        las_ = dir + "/scene.las";
        data_ = dir + "/data";
        for (const SampleFile& s : manifestSamples("las"))
            if (s.name == "autzen_trim.las")
                realLas_ = s.path;
        if (!std::filesystem::exists(dir + "/complete")) {
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir);
            writeSyntheticLAS(las_, SynthOptions{400000, 2, 5});
            importDataset(las_, data_, "scene", 8);
            if (!realLas_.empty())
                importDataset(realLas_, data_, "real", 8);
            std::ofstream(dir + "/complete") << "1\n";
        }
        ::flock(lock, LOCK_UN);
        ::close(lock);
    }
    static void TearDownTestSuite() { delete gl_; }
    void SetUp() override {
        if (!gl_->makeCurrent())
            GTEST_SKIP() << gl_->skipReason;
        server_ = std::make_unique<LocalPointServer>(data_);
        saved_ = DEFAULT_SERVER;
        DEFAULT_SERVER = server_->base();
    }
    void TearDown() override {
        {
            const DriverAllocations driver; // the buffers are deleted here
            sel_.reset();
        }
        server_.reset();
        DEFAULT_SERVER = saved_;
    }

    // Connects as the viewer does: header and level count, then the selection and its cache, started, the
    // camera straight down over the whole data set.
    void connect(const std::string& name, double threshold) {
        datasetName = name;
        ASSERT_EQ(ServerRetriever().retrieveMetadata(header_, levels_), 0);
        LODGrid probe(&header_, nullptr);
        height_ = 1.2 *
                  std::max(probe.rawBounds[1] - probe.rawBounds[0], probe.rawBounds[3] - probe.rawBounds[2]) *
                  probe.normalisingScale / 2;
        const float n = 0.01f, far = 1e4f;
        const float proj[16] = {
            1, 0, 0, 0, 0, 1, 0, 0, 0, 0, (far + n) / (n - far), -1, 0, 0, 2 * far * n / (n - far), 0};
        const float mv[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, float(-height_), 1};
        extractFrustum(proj, mv);
        sel_ = std::make_unique<RenderSelectionThread>(name, &header_, 384.0, short(levels_ - 1), 1.0);
        sel_->minProjectedSize = threshold;
        sel_->setCameraPosition({0, 0, height_});
        sel_->Start();
    }

    bool quiet() {
        RenderSelectionThread& s = *sel_;
        s.lock.Lock();
        const bool noHandled = s.handled.empty();
        s.lock.Unlock();
        const auto& tiles = *s.cache->getTiles();
        return noHandled && !s.dirty && s.cache->countRequests() == 0 &&
               std::none_of(tiles.begin(), tiles.end(),
                            [](auto& t) { return t.receiving || t.uploadPending; }) &&
               std::all_of(s.renderTiles.begin(), s.renderTiles.end(),
                           [](auto& rt) { return rt.state == RenderTile::Settled; });
    }

    // The viewer's frame loop without drawing: uploads each frame until nothing has moved for a while (with
    // `meshes`, until every tile has a mesh of exactly the splats it draws).
    bool settle(bool meshes = false) {
        const auto deadline = Clock::now() + std::chrono::seconds(meshes ? 300 : 120);
        for (long frame = 0, still = 0; Clock::now() < deadline; ++frame) {
            {
                const DriverAllocations driver; // the GL driver's own allocations live until it is unloaded
                sel_->cache->updateVBOs(frame);
            }
            if (meshes) {
                sel_->updateMeshes(true);
                bool all = true;
                for (const RenderTile& rt : sel_->renderTiles)
                    all = all && sel_->mesh(rt.tileIndex).splats == int(rt.indices.size());
                if (all)
                    return true;
            } else if ((still = quiet() ? still + 1 : 0) >= 15) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Every splat of every tile, sorted.
    std::vector<RawPoint> held() {
        std::vector<RawPoint> out;
        for (const SplatTile& t : *sel_->cache->getTiles())
            for (const Splat& s : t.splats)
                out.emplace_back(s.x, s.y, s.z);
        std::sort(out.begin(), out.end());
        return out;
    }

    int drawAllLevels() {
        const DriverAllocations driver;
        int drawn = 0;
        for (short l = 0; l < levels_; ++l)
            drawn += sel_->renderSplats(l, COLOR_LAS, 0);
        return drawn;
    }

    static inline HiddenGLWindow* gl_ = nullptr;
    static inline std::string las_, realLas_, data_;
    std::unique_ptr<LocalPointServer> server_;
    std::unique_ptr<RenderSelectionThread> sel_;
    std::string saved_;
    LASHeader header_;
    int levels_ = 0;
    double height_ = 0;
};

// Every tile settles at the level its distance and the threshold give, uploaded and drawn whole; a draw
// list longer than the tile's buffer is drawn only as far as the buffer goes.
TEST_F(Streaming, SettlesWithEveryTileAtItsThresholdLevel) {
    connect("scene", 1.5);
    ASSERT_TRUE(settle());
    RenderSelectionThread& s = *sel_;
    ASSERT_GT(s.grid->getNumberOfTiles(), 1u);
    int expected = 0;
    for (const RenderTile& rt : s.renderTiles) {
        const short cur = rt.getLOD();
        const SplatTile& tile = *s.cache->getTile(rt.tileIndex);
        const double d = s.cache->calculateMinDistanceToPoint(0, 0, height_, rt.tileIndex);
        SCOPED_TRACE("tile " + std::to_string(rt.tileIndex) + " at level " + std::to_string(cur));
        ASSERT_GE(cur, 0);
        EXPECT_TRUE(cur == s.maxLOD || s.projectedSize(cur, d) <= s.minProjectedSize);
        EXPECT_TRUE(cur == 0 || s.projectedSize(short(cur - 1), d) >= s.minProjectedSize);
        EXPECT_GE(tile.highestLevel, cur);
        EXPECT_EQ(int(rt.indices.size()), tile.completeFullLODsize(cur));
        expected += int(rt.indices.size());
    }
    EXPECT_EQ(drawAllLevels(), expected);
    RenderTile& first = s.renderTiles[0];
    first.addIndeces(int(first.indices.size()), int(first.indices.size()) + 50);
    EXPECT_EQ(drawAllLevels(), expected);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    EXPECT_EQ(s.cache->droppedSplats(), 0u);
}

// Meshes of exactly the drawn splats, made again when a finer or coarser level is drawn (covering only the
// splats drawn though the buffers keep the finer levels); a tile another thread holds is not triangulated.
TEST_F(Streaming, MeshesFollowTheDrawnSplatsOfEveryTile) {
    setGeometryLog(nullptr);
    connect("scene", 24);
    ASSERT_TRUE(settle());
    RenderSelectionThread& s = *sel_;
    std::promise<void> locked, release;
    std::thread holder([&] {
        s.cache->getTile(0)->Lock();
        locked.set_value();
        release.get_future().wait();
        s.cache->getTile(0)->Unlock();
    });
    locked.get_future().wait();
    std::vector<unsigned> indices;
    EXPECT_FALSE(s.cache->triangulateTile(0, indices, -1));
    EXPECT_TRUE(indices.empty());
    release.set_value();
    holder.join();

    std::vector<int> coarse(s.renderTiles.size());
    int drawn = 0;
    for (int k = 0; k < 3; ++k) { // thresholds 24, then 8, then 24 again
        SCOPED_TRACE("step " + std::to_string(k));
        s.minProjectedSize = k == 1 ? 8 : 24;
        ASSERT_TRUE(k == 0 || settle());
        ASSERT_TRUE(settle(true));
        drawn = 0;
        for (const RenderTile& rt : s.renderTiles) {
            const RenderSelectionThread::Mesh& m = s.mesh(rt.tileIndex);
            const int uploaded = s.cache->uploadedSplats(rt.tileIndex);
            ASSERT_FALSE(m.indices.empty());
            EXPECT_EQ(m.indices.size() % 3, 0u);
            EXPECT_LT(*std::max_element(m.indices.begin(), m.indices.end()), unsigned(m.splats));
            if (k == 0) {
                coarse[rt.tileIndex] = m.splats;
            } else if (k == 1) {
                EXPECT_GT(m.splats, coarse[rt.tileIndex]);
                EXPECT_EQ(m.splats, uploaded);
            } else {
                EXPECT_EQ(m.splats, coarse[rt.tileIndex]);
                EXPECT_GT(uploaded, m.splats);
            }
            drawn += int(rt.indices.size());
        }
        if (k == 0) {
            const DriverAllocations driver;
            EXPECT_EQ(s.renderMeshes(COLOR_LAS, 0), int(s.renderTiles.size()));
            EXPECT_EQ(drawAllLevels(), 0); // mesh tiles draw no splats
            EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
        }
    }
    s.updateMeshes(false); // off again: every tile draws its splats
    const DriverAllocations driver;
    EXPECT_EQ(s.renderMeshes(COLOR_LAS, 0), 0);
    EXPECT_EQ(drawAllLevels(), drawn);
}

// At full detail, through a server dying mid-transfer four times: every point exactly once with its own
// record's attribute bytes (on the GPU as stored), every level whole, failed transfers retried without
// duplicates; the sampled percentiles within half a percentile of all points'.
TEST_F(Streaming, FullDetailThroughCutTransfersHoldsEveryPointExactlyOnce) {
    FaultyProxy proxy(server_->base());
    DEFAULT_SERVER = proxy.base();
    proxy.fail(FaultyProxy::Mode::Cut, 4);
    connect("scene", 1e-9);
    ASSERT_TRUE(settle());
    EXPECT_EQ(proxy.failed(), 4);
    EXPECT_EQ(sel_->cache->failedTransfers(), 4);
    EXPECT_TRUE(held() == rawPointsOf(las_));
    EXPECT_EQ(drawAllLevels(), int(header_.NumberOfPointRecords));
    std::ifstream in(las_, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::tuple<int32_t, int32_t, int32_t, uint32_t>> records, got;
    std::vector<double> z, intensity;
    for (uint32_t i = 0; i < header_.NumberOfPointRecords; ++i) {
        int32_t r[4];
        std::memcpy(r, bytes.data() + header_.OffsetToPointData + size_t(i) * header_.PointDataRecordLength,
                    16);
        records.emplace_back(r[0], r[1], r[2], uint32_t(r[3]));
        z.push_back(r[2]), intensity.push_back(r[3] & 0xffff);
    }
    for (const SplatTile& t : *sel_->cache->getTiles()) {
        EXPECT_EQ(t.numberOfLevels(), sel_->maxLOD + 1);
        ASSERT_EQ(t.attributes.size(), t.splats.size());
        for (size_t i = 0; i < t.splats.size(); ++i)
            got.emplace_back(t.splats[i].x, t.splats[i].y, t.splats[i].z,
                             std::bit_cast<uint32_t>(t.attributes[i]));
    }
    std::sort(records.begin(), records.end());
    std::sort(got.begin(), got.end());
    EXPECT_TRUE(got == records);
    {
        const DriverAllocations driver;
        std::vector<int> none;
        sel_->cache->renderSplats(0, &none, true);
        std::vector<GLint> layout;
        for (GLenum e :
             {GL_VERTEX_ATTRIB_ARRAY_SIZE, GL_VERTEX_ATTRIB_ARRAY_TYPE, GL_VERTEX_ATTRIB_ARRAY_NORMALIZED,
              GL_VERTEX_ATTRIB_ARRAY_STRIDE, GL_VERTEX_ATTRIB_ARRAY_BUFFER_BINDING})
            glGetVertexAttribiv(attributesAtt, e, &layout.emplace_back());
        EXPECT_EQ(std::vector<GLint>(layout.begin(), layout.end() - 1),
                  std::vector<GLint>({4, GL_UNSIGNED_BYTE, GL_FALSE, 4}));
        const int n = sel_->cache->uploadedSplats(0);
        ASSERT_TRUE(layout.back() != 0 && n > 0);
        std::vector<PointAttributes> onGpu(static_cast<size_t>(n));
        glBindBuffer(GL_ARRAY_BUFFER, GLuint(layout.back()));
        glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &layout.emplace_back());
        EXPECT_EQ(layout.back(), 4 * n);
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, 4 * n, onGpu.data());
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        EXPECT_EQ(std::memcmp(onGpu.data(), sel_->cache->getTile(0)->attributes.data(), 4 * size_t(n)), 0);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
    std::sort(z.begin(), z.end());
    std::sort(intensity.begin(), intensity.end());
    const auto at = [](const std::vector<double>& v, double f) {
        return v[size_t(f * double(v.size() - 1))];
    };
    double p[4]; // heights 1 % and 99 %, intensities alike
    ASSERT_TRUE(sel_->cache->attributePercentiles(1, 99, p[0], p[1], p[2], p[3]));
    for (int k = 0; k < 4; ++k) {
        const std::vector<double>& all = k < 2 ? z : intensity;
        const double f = k % 2 ? 0.99 : 0.01;
        EXPECT_TRUE(p[k] >= at(all, f - 0.005) && p[k] <= at(all, f + 0.005)) << k << ": " << p[k];
    }
    EXPECT_LT(p[0], p[1]);
}

// A real sample streams whole, with its colours.
TEST_F(Streaming, ARealSampleSettlesWhole) {
    if (realLas_.empty())
        GTEST_SKIP() << "autzen_trim.las not found in the shared samples";
    connect("real", 1e-9);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(held() == rawPointsOf(realLas_));
    for (const SplatTile& t : *sel_->cache->getTiles())
        EXPECT_EQ(t.colors.size(), t.splats.size());
}

// A transfer that never answers does not hold up the selection's end, which deletes every request still
// queued or in flight.
TEST_F(Streaming, StopsPromptlyDuringAStalledTransfer) {
    FaultyProxy proxy(server_->base());
    DEFAULT_SERVER = proxy.base();
    proxy.fail(FaultyProxy::Mode::Stall, 1000);
    connect("scene", 1.5);
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (proxy.failed() == 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(proxy.failed(), 1);
    const auto start = Clock::now();
    sel_.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

// A failed transfer puts its request back at the front of its queue, where the selection thread may recall
// (and delete) it at once: by then the cache must be done with the request's tiles (a use after free
// otherwise). Recalling as fast as the failures come, every recalled request finds all its ten thousand
// tiles free, checked from the last (the last one a late release would free).
TEST(SplatCache, AFailedRequestComesBackWithItsTilesFree) {
    LASHeader h;
    h.NumberOfPointRecords = 1000000000;
    h.PointDataFormatID = 1;
    h.PointDataRecordLength = 28;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.Max_X = h.Max_Y = 1000;
    h.Max_Z = 10;
    StdoutCapture quiet; // a line for every failed transfer
    LODGrid grid(&h, nullptr);
    const std::string saved = DEFAULT_SERVER;
    DEFAULT_SERVER = "http://127.0.0.1:1/Varnel/resources/Server/"; // refused at once
    std::unique_ptr<SplatCacheThread> cache(
        SplatCacheThread::newSplatCacheThread("x", &grid, 3, &h, nullptr));
    ASSERT_TRUE(cache->isInitialized());
    LODRequest request;
    request.level = 0;
    request.priority = 1;
    for (uint32_t t = 0; t < grid.getNumberOfTiles(); ++t)
        request.tiles.insert(t);
    ASSERT_GE(request.tiles.size(), 5000u);
    cache->addRequest(&request, true);
    cache->Start();
    int recalled = 0, busy = 0;
    const auto until = Clock::now() + std::chrono::seconds(4);
    while (recalled < 400 && Clock::now() < until) {
        LODRequest* back = cache->recallRequest(0);
        if (back == nullptr)
            continue;
        ++recalled;
        for (auto t = back->tiles.rbegin(); t != back->tiles.rend(); ++t) {
            SplatTile* tile = cache->getTile(*t);
            if (tile->TryLock())
                tile->Unlock();
            else
                ++busy;
        }
        cache->addRequest(back, true);
    }
    cache->Stop();
    cache->Join(); // before the request, a local, goes
    std::vector<LODRequest*> left;
    cache->releaseRequests(left);
    DEFAULT_SERVER = saved;
    EXPECT_GE(recalled, 50);
    EXPECT_EQ(busy, 0) << "tiles still held by the cache thread after their request was queued again";
}

} // namespace
