// The protocol client's parsers, the stream buffer and the threaded decompressor; the client and the
// streaming engine against the real point server (behind a proxy that cuts or stalls transfers), under Xvfb.
#include "CLASCompressor.h"
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LASThreadedDecompressor.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "PointCodec.h"
#include "RenderSelectionThread.h"
#include "ServerRetriever.h"
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
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>
#include <sys/file.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

// Point i of the wire records below: raw x and z, normal nz, attribute bytes, colour (-1 where none).
using Point = std::tuple<int32_t, int32_t, float, std::array<uint8_t, 4>, int, int, int>;
Point point(int i, bool colour) {
    return {1000 * i + 5,           -i,
            0.8f + float(i),        {uint8_t(i), uint8_t(0xa0 ^ i), uint8_t(0x49 + i), uint8_t(0xc2 - 3 * i)},
            colour ? i : -1,        colour ? 2 * i : -1,
            colour ? 65535 - i : -1};
}

// Wire records (record, then three normal floats) of `count` points as `point` gives them, in three rows,
// the last beyond the grid of `feed`.
std::string wireRecords(int format, int recordLength, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        std::string r(size_t(recordLength) + 12, '\0');
        const int32_t xyz[3] = {1000 * i + 5, 100000 * (i % 3) + 7, -i};
        const uint16_t rgb[3] = {uint16_t(i), uint16_t(2 * i), uint16_t(65535 - i)};
        const float n[3] = {0.0f, 0.6f, 0.8f + float(i)};
        std::memcpy(r.data(), xyz, 12);
        std::memcpy(r.data() + 12, std::get<3>(point(i, false)).data(), 4);
        if (format >= 2)
            std::memcpy(r.data() + (format == 2 ? 20 : 28), rgb, 6);
        std::memcpy(r.data() + recordLength, n, 12);
        out += r;
    }
    return out;
}

struct Filed {
    std::vector<std::vector<Point>> tiles;
    uint32_t read = 0, filed = 0, dropped = 0;
};

// Feeds the reply to the point parser in chunks cut at the given sizes (cycled); tile `skip` is not in
// the request.
Filed feed(const std::string& reply, const std::vector<size_t>& cuts, int skip = -1) {
    LASHeader h;
    h.NumberOfPointRecords = 300000;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 1;
    h.Max_X = 300000, h.Max_Y = 200000;
    LODGrid grid(&h, nullptr);
    std::vector<SplatTile> tiles(grid.getNumberOfTiles());
    LODRequest r;
    r.grid = &grid, r.splatTiles = &tiles;
    for (uint32_t t = 0; t < grid.getNumberOfTiles(); ++t)
        if (int(t) != skip)
            r.tiles.insert(t);
    resetPointStream();
    numReadPoints = 0;
    std::string data = reply;
    for (size_t k = 0, at = 0, n; at < data.size(); ++k, at += n) {
        n = std::min(cuts[k % cuts.size()], data.size() - at);
        EXPECT_EQ(stream_writePointsLODNormals(data.data() + at, 1, n, &r), n);
    }
    Filed f{{}, numReadPoints, r.numSplats, r.droppedSplats};
    for (auto& t : tiles) {
        EXPECT_TRUE(t.colors.empty() || t.colors.size() == t.splats.size());
        EXPECT_EQ(t.attributes.size(), t.splats.size());
        auto& out = f.tiles.emplace_back();
        for (size_t k = 0; k < t.splats.size(); ++k) {
            const PointAttributes& a = t.attributes[k];
            const bool c = !t.colors.empty();
            out.emplace_back(
                t.splats[k].x, t.splats[k].z, t.splats[k].nz,
                std::array<uint8_t, 4>{a.intensityLow, a.intensityHigh, a.returns, a.classification},
                c ? t.colors[k].r : -1, c ? t.colors[k].g : -1, c ? t.colors[k].b : -1);
        }
    }
    return f;
}

// Records split across chunks anywhere are filed once and alike; dropped splats (beyond the grid or in
// a tile not requested) take their colours along; every splat keeps its own colour and attribute bytes.
TEST(StreamParsers, PointsAreTheSameUnderEverySplit) {
    std::mt19937 rng(3);
    std::vector<size_t> random;
    for (int i = 0; i < 40; ++i)
        random.push_back(1 + rng() % 97);
    for (auto [format, length] : {std::pair{0, 20}, {1, 28}, {2, 26}, {3, 34}, {3, 39}})
        for (bool colours : {true, false}) {
            SCOPED_TRACE("format " + std::to_string(format) + ", record " + std::to_string(length) +
                         (colours ? "" : ", colours off"));
            pointSize = uint16_t(length), pointFormat = format, StreamReaders::loadColors = colours;
            const std::string reply = wireRecords(format, length, 700);
            const Filed whole = feed(reply, {reply.size()}, 1);
            EXPECT_EQ(std::make_pair(whole.read, whole.filed + whole.dropped), std::make_pair(700u, 700u));
            EXPECT_GT(whole.dropped, 0u);
            EXPECT_TRUE(whole.tiles[1].empty());
            for (const auto& tile : whole.tiles)
                for (const Point& p : tile)
                    EXPECT_EQ(p, point(-std::get<1>(p), format >= 2 && colours));
            EXPECT_GT(whole.filed, 100u);
            for (const auto& cuts :
                 std::vector<std::vector<size_t>>{{1}, {7}, {size_t(length) + 11}, random, {16384}}) {
                const Filed split = feed(reply, cuts, 1);
                EXPECT_EQ(split.tiles, whole.tiles);
                EXPECT_EQ(split.read, 700u);
            }
        }
    StreamReaders::loadColors = true;
    // An empty reply files nothing; a partial record left by a failed transfer is discarded before the next.
    pointSize = 20, pointFormat = 0;
    EXPECT_EQ(feed("", {1}).read, 0u);
    const std::string reply = wireRecords(0, 20, 3);
    LODRequest none;
    std::string cut = reply.substr(0, 17);
    stream_writePointsLODNormals(cut.data(), 1, cut.size(), &none);
    const Filed after = feed(reply, {reply.size()});
    EXPECT_EQ(after.read, 3u);
    EXPECT_EQ(std::get<0>(after.tiles[0][0]), 5);
}

// The header's declared size (little-endian at byte 94) ends its transfer.
TEST(StreamParsers, HeaderEndsAtItsDeclaredSize) {
    for (int size : {227, 235, 0x1e3}) {
        std::string h(size_t(size) + 9, 'x');
        h[94] = char(size & 0xff), h[95] = char(size >> 8);
        headerBuffer.clear();
        stream_writeHeader(h.data(), 1, 200, nullptr);
        stream_writeHeader(h.data() + 200, 1, h.size() - 200, nullptr); // 9 bytes beyond the header
        EXPECT_EQ(std::make_tuple(headerSize, headerBytesRead, headerBuffer.size()),
                  std::make_tuple(size, uint32_t(size), size_t(size)));
    }
}

// Raw coordinates of the splats, sorted.
std::vector<RawPoint> sortedRaw(const std::vector<Splat>& splats) {
    std::vector<RawPoint> out;
    for (const Splat& s : splats)
        out.emplace_back(s.x, s.y, s.z);
    std::sort(out.begin(), out.end());
    return out;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Whole items across chunks; the look-back kept and older chunks freed; a refused seek leaves the position.
TEST(StreamBuffer, ReadsAcrossChunksAndKeepsTheLookBack) {
    StreamBuffer b;
    std::vector<unsigned char> all(1814), out(1814);
    std::iota(all.begin(), all.end(), 0);
    for (size_t at = 0, n = 7; at < all.size(); at += n, n = at < 14 ? 7 : 100)
        b.pushBytes(all.data() + at, n);
    b.setEndOfStream();
    EXPECT_EQ(b.read(out.data(), 4, 3), 3u);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(b.read(out.data() + 12 + 10 * i, 1, 10), 10u);
    EXPECT_TRUE(std::equal(all.begin(), all.begin() + 1012, out.begin())); // in push order across chunks
    EXPECT_GE(b.discarded(), 600u); // chunks well behind the position are gone
    EXPECT_LE(b.bufferedChunks(), 14u);
    unsigned char x = 0;
    b.seek(1012 - 256); // the look-back is still there
    ASSERT_EQ(b.read(&x, 1, 1), 1u);
    EXPECT_EQ(x, uint8_t(1012 - 256));
    b.seek(1500); // forward over buffered data
    ASSERT_EQ(b.read(&x, 1, 1), 1u);
    EXPECT_EQ(x, uint8_t(1500));
    EXPECT_THROW(b.seek(10), std::out_of_range); // refused, and the position stays
    EXPECT_EQ(b.read(out.data(), 1000, 1), 0u);  // less than an item left
    EXPECT_EQ(b.read(out.data(), 1, 1000), 313u);
    EXPECT_EQ(b.read(out.data(), 1, 5), 0u); // nothing left, the end is set: at once
    EXPECT_EQ(b.position(), 1814);
}

// Every point in its tile in record order with its coordinates, attribute bytes and colour; a cut reply
// ends the run with a failure and the worker serves the next request.
TEST(Decompression, PointsArriveInTheirTilesWhileTheBlockStreamsIn) {
    TempDir dir;
    writeSyntheticLAS(dir.file("s.las"), SynthOptions{20000, 3, 4});
    const std::string file = contents(dir.file("s.las"));
    LASHeader h;
    h.copyFromBuffer(reinterpret_cast<const unsigned char*>(file.data()));
    const auto record = [&](size_t i) {
        return reinterpret_cast<const unsigned char*>(file.data()) + h.OffsetToPointData +
               i * h.PointDataRecordLength;
    };
    pointcodec::Columns cols;
    cols.fromRecords(record(0), h.NumberOfPointRecords, h.PointDataFormatID, h.PointDataRecordLength);
    std::vector<unsigned char> block;
    CLASCompressor().compressBlock(cols, block);
    LODGrid grid(&h, nullptr);
    std::vector<SplatTile> tiles(grid.getNumberOfTiles());
    LODRequest request;
    request.grid = &grid, request.splatTiles = &tiles;
    for (uint32_t t = 0; t < grid.getNumberOfTiles(); ++t)
        request.tiles.insert(t);
    LASThreadedDecompressor d;
    d.initializePointDecompressor(&h);
    d.Start();
    std::mt19937 rng(7);
    const auto run = [&](size_t part) { // the first `part` bytes of the block, in random pieces
        d.initializeRequest(&request);
        d.setRetrievalSize(int(h.NumberOfPointRecords));
        d.startDecompression();
        for (size_t at = 0, n; at < part; at += n)
            d.pushBytes(block.data() + at, n = std::min<size_t>(1 + rng() % 5000, part - at));
        d.endOfStream();
        return d.waitForDecompressionEnd();
    };
    ASSERT_TRUE(run(block.size()));
    EXPECT_EQ(std::make_pair(d.failures.load(), request.numSplats),
              std::make_pair(0, h.NumberOfPointRecords));
    std::vector<size_t> next(tiles.size(), 0);
    size_t wrong = 0;
    for (size_t i = 0; i < h.NumberOfPointRecords; ++i) {
        int32_t xy[2];
        std::memcpy(xy, record(i), 8);
        const size_t t = size_t(grid.getSplatTile(xy[0], xy[1])), k = next[t]++;
        ASSERT_LT(k, tiles[t].splats.size());
        wrong += std::memcmp(&tiles[t].splats[k], record(i), 12) != 0 ||
                 std::memcmp(&tiles[t].attributes[k], record(i) + 12, 4) != 0 ||
                 std::memcmp(&tiles[t].colors[k], record(i) + 28, 6) != 0;
    }
    EXPECT_EQ(wrong, 0u);
    ASSERT_TRUE(run(block.size() / 3));
    EXPECT_EQ(d.failures, 1);
}

using Clock = std::chrono::steady_clock;

class Streaming : public ::testing::Test {
protected:
    // The scene and its data sets are made once per build and shared by every test process, under a lock
    // so that parallel test processes wait for the first to finish.
    static void SetUpTestSuite() {
        gl_ = new HiddenGLWindow;
        const std::string dir = std::string(PONTARO_BIN_DIR) + "/../test-cache/streaming-v2";
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
            importDataset(las_, data_, "scene one", 8);
            std::string bytes = contents(las_); // the same scene lowered below zero height
            LASHeader h;
            h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
            h.OffsetZ -= 2000, h.Min_Z -= 2000, h.Max_Z -= 2000;
            h.copyToBuffer(reinterpret_cast<unsigned char*>(bytes.data()));
            std::ofstream(dir + "/low.las", std::ios::binary) << bytes;
            importDataset(dir + "/low.las", data_, "below zero", 8);
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

    // The viewer's frame loop without drawing: uploads each frame until nothing has moved for a while.
    bool settle() {
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        for (long frame = 0, still = 0; Clock::now() < deadline; ++frame) {
            {
                const DriverAllocations driver; // the GL driver's own allocations live until it is unloaded
                sel_->cache->updateVBOs(frame);
            }
            if ((still = quiet() ? still + 1 : 0) >= 15)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
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

// Names, a header and level count (a name with a space), an unknown data set, a server gone; every point
// of a data set, by slabs and by levels, heights below zero included.
TEST_F(Streaming, NamesMetadataFailuresAndWholeDataSets) {
    ServerRetriever r;
    std::vector<std::string> names;
    ASSERT_EQ(r.retrieveDatasetNames(names), 0);
    EXPECT_EQ(names, (realLas_.empty() ? std::vector<std::string>{"below zero", "scene one"}
                                       : std::vector<std::string>{"below zero", "real", "scene one"}));
    datasetName = "scene one";
    LASHeader h;
    int levels = 0;
    ASSERT_EQ(r.retrieveMetadata(h, levels), 0);
    EXPECT_EQ(levels, int(readDatasetInfo(data_ + "/" + datasetDirName("scene one")).levels.size()));
    EXPECT_EQ(std::make_tuple(h.NumberOfPointRecords, h.PointDataFormatID, std::string(h.FileSignature, 4)),
              std::make_tuple(400000u, uint8_t(2), std::string("LASF")));
    datasetName = "nothing";
    EXPECT_EQ(r.retrieveMetadata(h, levels), 2);
    for (const char* name : {"scene one", "below zero"})
        for (int mode : {0, 1}) {
            SCOPED_TRACE(std::string(name) + ", mode " + std::to_string(mode));
            datasetName = name, retrievalType = mode;
            r.retrieveSplats();
            std::vector<Splat> splats;
            std::vector<Color> colors;
            r.popSplats(splats, colors);
            EXPECT_EQ(colors.size(), splats.size());
            EXPECT_TRUE(sortedRaw(splats) == rawPointsOf(las_)) << splats.size() << " points";
        }
    retrievalType = 0;
    server_->stop();
    EXPECT_EQ(r.retrieveDatasetNames(names), 4);
}

// At full detail, through a server cut mid-transfer four times: every point once with its own attribute
// bytes (on the GPU as stored), every level whole, no duplicates; draw lists never read past a buffer.
TEST_F(Streaming, FullDetailThroughCutTransfersHoldsEveryPointExactlyOnce) {
    FaultyProxy proxy(server_->base());
    DEFAULT_SERVER = proxy.base();
    proxy.fail(FaultyProxy::Mode::Cut, 4);
    connect("scene one", 1e-9);
    ASSERT_TRUE(settle());
    EXPECT_EQ(proxy.failed(), 4);
    EXPECT_EQ(sel_->cache->failedTransfers(), 4);
    EXPECT_EQ(drawAllLevels(), int(header_.NumberOfPointRecords));
    RenderTile& first = sel_->renderTiles[0]; // a draw list longer than the buffer: drawn as far as it goes
    first.addIndeces(int(first.indices.size()), int(first.indices.size()) + 50);
    EXPECT_EQ(drawAllLevels(), int(header_.NumberOfPointRecords));
    const std::string bytes = contents(las_);
    std::vector<std::tuple<int32_t, int32_t, int32_t, uint32_t>> records, got;
    for (uint32_t i = 0; i < header_.NumberOfPointRecords; ++i) {
        int32_t r[4];
        std::memcpy(r, bytes.data() + header_.OffsetToPointData + size_t(i) * header_.PointDataRecordLength,
                    16);
        records.emplace_back(r[0], r[1], r[2], uint32_t(r[3]));
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
        GLint buffer = 0;
        glGetVertexAttribiv(attributesAtt, GL_VERTEX_ATTRIB_ARRAY_BUFFER_BINDING, &buffer);
        const int n = sel_->cache->uploadedSplats(0);
        ASSERT_TRUE(buffer != 0 && n > 0);
        std::vector<PointAttributes> onGpu(static_cast<size_t>(n));
        glBindBuffer(GL_ARRAY_BUFFER, GLuint(buffer));
        glGetBufferSubData(GL_ARRAY_BUFFER, 0, 4 * n, onGpu.data());
        glBindBuffer(GL_ARRAY_BUFFER, 0);
        EXPECT_EQ(std::memcmp(onGpu.data(), sel_->cache->getTile(0)->attributes.data(), 4 * size_t(n)), 0);
        EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
    }
}

// A real sample streams whole, with its colours.
TEST_F(Streaming, ARealSampleSettlesWhole) {
    if (realLas_.empty())
        GTEST_SKIP() << "autzen_trim.las not found in the shared samples";
    connect("real", 1e-9);
    ASSERT_TRUE(settle());
    std::vector<Splat> all;
    for (const SplatTile& t : *sel_->cache->getTiles()) {
        EXPECT_EQ(t.colors.size(), t.splats.size());
        all.insert(all.end(), t.splats.begin(), t.splats.end());
    }
    EXPECT_TRUE(sortedRaw(all) == rawPointsOf(realLas_));
}

// A transfer that never answers does not hold up the selection's end, which deletes every request still
// queued or in flight.
TEST_F(Streaming, StopsPromptlyDuringAStalledTransfer) {
    FaultyProxy proxy(server_->base());
    DEFAULT_SERVER = proxy.base();
    proxy.fail(FaultyProxy::Mode::Stall, 1000);
    connect("scene one", 1.5);
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (proxy.failed() == 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(proxy.failed(), 1);
    const auto start = Clock::now();
    sel_.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
}

// A failed request goes back to its queue, where the selection may recall and delete it at once: its tiles
// must be free by then (a use after free otherwise), checked from the last one a late release would free.
TEST(SplatCache, AFailedRequestComesBackWithItsTilesFree) {
    LASHeader h;
    h.NumberOfPointRecords = 1000000000, h.PointDataFormatID = 1, h.PointDataRecordLength = 28;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01, h.Max_X = h.Max_Y = 1000, h.Max_Z = 10;
    StdoutCapture quiet; // a line for every failed transfer
    LODGrid grid(&h, nullptr);
    const std::string saved = DEFAULT_SERVER;
    DEFAULT_SERVER = "http://127.0.0.1:1/Varnel/resources/Server/"; // refused at once
    std::unique_ptr<SplatCacheThread> cache(
        SplatCacheThread::newSplatCacheThread("x", &grid, 3, &h, nullptr));
    ASSERT_TRUE(cache->isInitialized());
    LODRequest request;
    request.level = 0, request.priority = 1;
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
