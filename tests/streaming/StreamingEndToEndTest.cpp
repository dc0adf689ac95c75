// The streaming engine as the viewer runs it: the real point server on 127.0.0.1, the tile cache and
// render selection threads, and this thread as the viewer's GL thread (hidden window under Xvfb)
// uploading tiles every frame until the selection settles.
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
#include <chrono>
#include <cmath>
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

using Point = RawPoint;
using Clock = std::chrono::steady_clock;
// Raw X, Y, Z and bytes 12 to 15 (intensity, return byte, class byte) of a record, as one word.
using PointWithAttributes = std::tuple<int32_t, int32_t, int32_t, uint32_t>;

std::vector<PointWithAttributes> recordsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    LASHeader h;
    h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
    std::vector<PointWithAttributes> out;
    for (uint32_t i = 0; i < h.NumberOfPointRecords; ++i) {
        int32_t xyz[3];
        uint32_t attributes;
        const char* r = bytes.data() + h.OffsetToPointData + size_t(i) * h.PointDataRecordLength;
        std::memcpy(xyz, r, 12);
        std::memcpy(&attributes, r + 12, 4);
        out.emplace_back(xyz[0], xyz[1], xyz[2], attributes);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The value at a fraction of the sorted values.
template <class T> double at(const std::vector<T>& sorted, double fraction) {
    return double(sorted[size_t(fraction * double(sorted.size() - 1))]);
}

// Looking straight down from (0, 0, height) in normalised space; returns the pixel factor.
double lookDown(double height) {
    const float n = 0.01f, far = 1e4f;
    const float proj[16] = {
        1, 0, 0, 0, 0, 1, 0, 0, 0, 0, (far + n) / (n - far), -1, 0, 0, 2 * far * n / (n - far), 0};
    const float mv[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, float(-height), 1};
    extractFrustum(proj, mv);
    return 384.0;
}

class Streaming : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gl_ = new HiddenGLWindow;
        prepareData();
    }
    // The scene and its data sets are made once per build and shared by every test process (each test
    // runs in its own), under a lock so that parallel test processes wait for the first to finish.
    static void prepareData() {
        const std::string dir = std::string(PONTARO_BIN_DIR) + "/../test-cache/streaming-v1";
        std::filesystem::create_directories(dir + "/..");
        const int lock = ::open((dir + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
        ASSERT_GE(lock, 0);
        ::flock(lock, LOCK_EX);
        las_ = dir + "/scene.las";
        data_ = dir + "/data";
        const auto real = manifestSamples("las");
        for (const SampleFile& s : real)
            if (s.name == "autzen_trim.las")
                realLas_ = s.path;
        if (!std::filesystem::exists(dir + "/complete")) {
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir);
            writeSyntheticLAS(las_, SynthOptions{400000, 2, 5});
            StdoutCapture quiet;
            importDataset(las_, data_, "scene", 8);
            if (!realLas_.empty())
                importDataset(realLas_, data_, "real", 8);
            std::ofstream(dir + "/complete") << "1\n";
        }
        ::flock(lock, LOCK_UN);
        ::close(lock);
    }
    static void TearDownTestSuite() {
        delete gl_;
        gl_ = nullptr;
    }
    void SetUp() override {
        if (!gl_->makeCurrent())
            GTEST_SKIP() << gl_->skipReason;
        server_ = std::make_unique<LocalPointServer>(data_);
        saved_ = DEFAULT_SERVER;
        DEFAULT_SERVER = server_->base();
    }
    void TearDown() override {
        {
            StdoutCapture quiet;
            const DriverAllocations driver; // the buffers are deleted here
            sel_.reset();
        }
        server_.reset();
        DEFAULT_SERVER = saved_;
    }

    // Connects as the viewer does: header and level count, then the selection and its cache, started.
    void connect(const std::string& name, double threshold) {
        datasetName = name;
        ServerRetriever retriever;
        StdoutCapture quiet;
        ASSERT_EQ(retriever.retrieveMetadata(header_, levels_), 0);
        LODGrid probe(&header_);
        height_ = 1.2 *
                  std::max(probe.rawBounds[1] - probe.rawBounds[0], probe.rawBounds[3] - probe.rawBounds[2]) *
                  probe.normalisingScale / 2;
        const double pixelFactor = lookDown(height_);
        sel_ = std::make_unique<RenderSelectionThread>(name, &header_, pixelFactor, short(levels_ - 1), 1.0);
        sel_->minProjectedSize = threshold;
        sel_->setCameraPosition({0, 0, height_});
        sel_->Start();
    }

    bool quiet() {
        RenderSelectionThread& s = *sel_;
        s.lock.Lock();
        const bool noHandled = s.handled.empty();
        s.lock.Unlock();
        if (!noHandled || s.dirty || s.cache->countRequests() != 0)
            return false;
        for (const SplatTile& t : *s.cache->getTiles())
            if (t.receiving || t.uploadPending)
                return false;
        for (const RenderTile& rt : s.renderTiles)
            if (rt.state != RenderTile::Settled)
                return false;
        return true;
    }

    // The viewer's frame loop without drawing: uploads each frame until nothing has moved for a while.
    bool settle(std::chrono::seconds limit = std::chrono::seconds(120)) {
        const auto deadline = Clock::now() + limit;
        int still = 0;
        for (long frame = 0; Clock::now() < deadline; ++frame) {
            {
                const DriverAllocations driver; // the GL driver's own allocations live until it is unloaded
                sel_->cache->updateVBOs(frame);
            }
            still = quiet() ? still + 1 : 0;
            if (still >= 15)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The frame loop in mesh mode, without drawing, until every tile (all are in view) has a mesh of
    // exactly the splats it draws.
    bool settleMeshes() {
        const auto deadline = Clock::now() + std::chrono::seconds(300);
        for (long frame = 0; Clock::now() < deadline; ++frame) {
            {
                const DriverAllocations driver;
                sel_->cache->updateVBOs(frame);
            }
            sel_->updateMeshes(true);
            bool all = true;
            for (const RenderTile& rt : sel_->renderTiles)
                all = all && sel_->mesh(rt.tileIndex).splats == int(rt.indices.size());
            if (all)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Every splat of every tile, sorted.
    std::vector<Point> held() {
        std::vector<Point> out;
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

TEST_F(Streaming, SettlesWithEveryTileAtItsThresholdLevel) {
    connect("scene", 1.5);
    ASSERT_TRUE(settle());
    RenderSelectionThread& s = *sel_;
    ASSERT_GT(s.grid->getNumberOfTiles(), 1u);
    const double threshold = s.minProjectedSize;
    int expected = 0;
    for (const RenderTile& rt : s.renderTiles) {
        const short cur = rt.getLOD();
        const SplatTile& tile = *s.cache->getTile(rt.tileIndex);
        const double d = s.cache->calculateMinDistanceToPoint(0, 0, height_, rt.tileIndex);
        SCOPED_TRACE("tile " + std::to_string(rt.tileIndex) + " at level " + std::to_string(cur));
        ASSERT_GE(cur, 0);
        EXPECT_TRUE(cur == s.maxLOD || s.projectedSize(cur, d) <= threshold);
        EXPECT_TRUE(cur == 0 || s.projectedSize(short(cur - 1), d) >= threshold);
        EXPECT_GE(tile.highestLevel, cur);
        EXPECT_EQ(int(rt.indices.size()), tile.completeFullLODsize(cur));
        expected += int(rt.indices.size());
    }
    EXPECT_EQ(drawAllLevels(), expected);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    // A draw list longer than the tile's buffer is drawn only as far as the buffer goes.
    RenderTile& first = s.renderTiles[0];
    first.addIndeces(int(first.indices.size()), int(first.indices.size()) + 50);
    EXPECT_EQ(drawAllLevels(), expected);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    EXPECT_EQ(s.cache->droppedSplats(), 0u);
}

TEST_F(Streaming, MeshesFollowTheDrawnSplatsOfEveryTile) {
    setGeometryLog(nullptr);
    connect("scene", 24);
    ASSERT_TRUE(settle());
    RenderSelectionThread& s = *sel_;

    // A tile whose lock another thread holds (a level streaming in) is not triangulated.
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

    ASSERT_TRUE(settleMeshes());
    std::vector<int> coarse;
    for (const RenderTile& rt : s.renderTiles) {
        const RenderSelectionThread::Mesh& m = s.mesh(rt.tileIndex);
        SCOPED_TRACE("tile " + std::to_string(rt.tileIndex));
        ASSERT_FALSE(m.indices.empty());
        EXPECT_EQ(m.indices.size() % 3, 0u);
        EXPECT_LT(*std::max_element(m.indices.begin(), m.indices.end()), unsigned(m.splats));
        coarse.push_back(m.splats);
    }
    {
        const DriverAllocations driver;
        EXPECT_EQ(s.renderMeshes(COLOR_LAS, 0), int(s.renderTiles.size()));
        EXPECT_EQ(drawAllLevels(), 0); // mesh tiles draw no splats
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }

    // A finer level leaves every mesh stale: each is made again over the tile's new splats.
    s.minProjectedSize = 8;
    ASSERT_TRUE(settle());
    ASSERT_TRUE(settleMeshes());
    for (const RenderTile& rt : s.renderTiles) {
        EXPECT_GT(s.mesh(rt.tileIndex).splats, coarse[rt.tileIndex]);
        EXPECT_EQ(s.mesh(rt.tileIndex).splats, s.cache->uploadedSplats(rt.tileIndex));
    }

    // Coarser again: the meshes cover only the splats drawn, though the buffers keep the finer levels.
    s.minProjectedSize = 24;
    ASSERT_TRUE(settle());
    ASSERT_TRUE(settleMeshes());
    int drawn = 0;
    for (const RenderTile& rt : s.renderTiles) {
        const RenderSelectionThread::Mesh& m = s.mesh(rt.tileIndex);
        EXPECT_EQ(m.splats, coarse[rt.tileIndex]);
        EXPECT_LT(*std::max_element(m.indices.begin(), m.indices.end()), unsigned(m.splats));
        EXPECT_GT(s.cache->uploadedSplats(rt.tileIndex), m.splats);
        drawn += int(rt.indices.size());
    }

    // Off again: every tile draws its splats.
    s.updateMeshes(false);
    const DriverAllocations driver;
    EXPECT_EQ(s.renderMeshes(COLOR_LAS, 0), 0);
    EXPECT_EQ(drawAllLevels(), drawn);
}

TEST_F(Streaming, FullDetailHoldsEveryPointExactlyOnce) {
    connect("scene", 1e-9);
    ASSERT_TRUE(settle());
    for (const RenderTile& rt : sel_->renderTiles)
        EXPECT_EQ(rt.getLOD(), sel_->maxLOD);
    EXPECT_TRUE(held() == rawPointsOf(las_));
    EXPECT_EQ(drawAllLevels(), int(header_.NumberOfPointRecords));
    EXPECT_EQ(sel_->cache->failedTransfers(), 0);

    // Every splat holds its own record's intensity, return and class bytes.
    const std::vector<PointWithAttributes> records = recordsOf(las_);
    std::vector<PointWithAttributes> got;
    for (const SplatTile& t : *sel_->cache->getTiles()) {
        ASSERT_EQ(t.attributes.size(), t.splats.size());
        for (size_t i = 0; i < t.splats.size(); ++i) {
            uint32_t a;
            std::memcpy(&a, &t.attributes[i], 4);
            got.emplace_back(t.splats[i].x, t.splats[i].y, t.splats[i].z, a);
        }
    }
    std::sort(got.begin(), got.end());
    EXPECT_TRUE(got == records);

    // The tile's records are on the GPU, and drawing points the attribute at them: four bytes as stored.
    {
        const DriverAllocations driver;
        std::vector<int> none;
        sel_->cache->renderSplats(0, &none, true);
        GLint buffer = 0, size = 0, type = 0, normalized = 1, stride = 0;
        glGetVertexAttribiv(attributesAtt, GL_VERTEX_ATTRIB_ARRAY_BUFFER_BINDING, &buffer);
        glGetVertexAttribiv(attributesAtt, GL_VERTEX_ATTRIB_ARRAY_SIZE, &size);
        glGetVertexAttribiv(attributesAtt, GL_VERTEX_ATTRIB_ARRAY_TYPE, &type);
        glGetVertexAttribiv(attributesAtt, GL_VERTEX_ATTRIB_ARRAY_NORMALIZED, &normalized);
        glGetVertexAttribiv(attributesAtt, GL_VERTEX_ATTRIB_ARRAY_STRIDE, &stride);
        EXPECT_EQ(size, 4);
        EXPECT_EQ(type, GL_UNSIGNED_BYTE);
        EXPECT_EQ(normalized, GL_FALSE);
        EXPECT_EQ(stride, 4);
        ASSERT_NE(buffer, 0);
        const SplatTile& tile = *sel_->cache->getTile(0);
        const int n = sel_->cache->uploadedSplats(0);
        ASSERT_GT(n, 0);
        std::vector<PointAttributes> onGpu(size_t(n) + 1);
        glBindBuffer(GL_ARRAY_BUFFER, GLuint(buffer));
        GLint bytes = 0;
        glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &bytes);
        EXPECT_EQ(bytes, 4 * n);
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, 4 * n, onGpu.data());
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        EXPECT_EQ(std::memcmp(onGpu.data(), tile.attributes.data(), 4 * size_t(n)), 0);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }

    // The 1st and 99th percentiles of the cache's sample lie within half a percentile of those of all
    // points.
    std::vector<int32_t> z;
    std::vector<uint16_t> intensity;
    for (const auto& [x, y, pz, a] : records) {
        z.push_back(pz);
        intensity.push_back(uint16_t(a & 0xffff));
    }
    std::sort(z.begin(), z.end());
    std::sort(intensity.begin(), intensity.end());
    double zLow, zHigh, iLow, iHigh;
    ASSERT_TRUE(sel_->cache->attributePercentiles(1, 99, zLow, zHigh, iLow, iHigh));
    EXPECT_GE(zLow, at(z, 0.005));
    EXPECT_LE(zLow, at(z, 0.015));
    EXPECT_GE(zHigh, at(z, 0.985));
    EXPECT_LE(zHigh, at(z, 0.995));
    EXPECT_GE(iLow, at(intensity, 0.005));
    EXPECT_LE(iLow, at(intensity, 0.015));
    EXPECT_GE(iHigh, at(intensity, 0.985));
    EXPECT_LE(iHigh, at(intensity, 0.995));
    EXPECT_LT(zLow, zHigh);
}

TEST_F(Streaming, ARealSampleSettlesWhole) {
    if (realLas_.empty())
        GTEST_SKIP() << "autzen_trim.las not found in the shared samples";
    connect("real", 1e-9);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(held() == rawPointsOf(realLas_));
    for (const SplatTile& t : *sel_->cache->getTiles())
        EXPECT_EQ(t.colors.size(), t.splats.size()); // the sample carries colour
}

TEST_F(Streaming, TransfersCutShortAreRetriedWithoutDuplicates) {
    FaultyProxy proxy(server_->base());
    DEFAULT_SERVER = proxy.base();
    proxy.fail(FaultyProxy::Mode::Cut, 4);
    connect("scene", 1e-9);
    ASSERT_TRUE(settle());
    EXPECT_EQ(proxy.failed(), 4);
    EXPECT_EQ(sel_->cache->failedTransfers(), 4);
    EXPECT_TRUE(held() == rawPointsOf(las_));
    for (const SplatTile& t : *sel_->cache->getTiles())
        EXPECT_EQ(t.numberOfLevels(), sel_->maxLOD + 1);
}

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
    {
        StdoutCapture quiet;
        sel_.reset(); // deletes every request still queued or in flight
    }
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

// A failed transfer puts its request back at the front of its queue, where the selection thread may
// recall it (and delete it) at once: by then the cache must be done with the request's tiles. Recalling
// as fast as the failures come, every recalled request finds its tiles free. The request covers ten
// thousand tiles, and the check goes from the last tile (the last one a late release would free).
TEST(SplatCache, AFailedRequestComesBackWithItsTilesFree) {
    LASHeader h;
    h.NumberOfPointRecords = 1000000000;
    h.PointDataFormatID = 1;
    h.PointDataRecordLength = 28;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.Max_X = h.Max_Y = 1000;
    h.Max_Z = 10;
    StdoutCapture quiet; // a line for every failed transfer
    LODGrid grid(&h);
    const std::string saved = DEFAULT_SERVER;
    DEFAULT_SERVER = "http://127.0.0.1:1/Varnel/resources/Server/"; // refused at once
    std::unique_ptr<SplatCacheThread> cache(SplatCacheThread::newSplatCacheThread("x", &grid, 3, &h, nullptr));
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
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (recalled < 400 && std::chrono::steady_clock::now() < until) {
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
