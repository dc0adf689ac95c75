// The protocol client's parsers under every split of a reply, the stream buffer and the threaded
// decompressor; the client and the streaming engine as the viewer runs them against the real point server
// on 127.0.0.1 (behind a proxy that cuts or stalls transfers where asked), with the tile cache and render
// selection threads and this thread as the viewer's GL thread (hidden window under Xvfb).
#include "CLASCompressor.h"
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LASThreadedDecompressor.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "PointCodec.h"
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
#include <future>
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
            size_t filed = 0;
            for (const auto& tile : whole.tiles)
                for (const Point& p : tile) {
                    EXPECT_EQ(p, point(-std::get<1>(p), format >= 2 && colours));
                    ++filed;
                }
            EXPECT_EQ(filed, whole.filed);
            EXPECT_GT(filed, 100u);
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

// The header's declared size (little-endian at byte 94) ends its transfer; an integer of four bytes;
// lines, the last one kept until its end arrives.
TEST(StreamParsers, HeaderIntegerAndLines) {
    for (int size : {227, 235, 0x1e3}) {
        std::string h(size_t(size) + 9, 'x');
        h[94] = char(size & 0xff), h[95] = char(size >> 8);
        headerBuffer.clear();
        stream_writeHeader(h.data(), 1, 200, nullptr);
        stream_writeHeader(h.data() + 200, 1, h.size() - 200, nullptr); // 9 bytes beyond the header
        EXPECT_EQ(std::make_tuple(headerSize, headerBytesRead, headerBuffer.size()),
                  std::make_tuple(size, uint32_t(size), size_t(size)));
    }
    char four[] = {0x10, 0x27, 0x00, 0x00, 0x01};
    currentPointer = 0;
    EXPECT_EQ(stream_writeInt(four, 1, 2, nullptr) + stream_writeInt(four + 2, 1, 2, nullptr), 4u);
    EXPECT_EQ(streamInt, 10000);
    EXPECT_EQ(stream_writeInt(four + 4, 1, 1, nullptr), 0u); // a fifth byte aborts
    currentLine.clear();
    std::vector<std::string> names;
    for (std::string part : {"alpha\nbeta\n", "one\ntwo", "\n"})
        stream_readLines(part.data(), 1, part.size(), &names);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta", "one", "two"}));
    currentLine.clear();
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Two data sets imported once: a scene of two slabs, and the same scene lowered below zero height.
class AgainstTheServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        las_ = dir_->file("scene.las");
        writeSyntheticLAS(las_, SynthOptions{120000, 3, 12});
        std::string bytes = contents(las_);
        LASHeader h;
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        h.OffsetZ -= 2000, h.Min_Z -= 2000, h.Max_Z -= 2000;
        h.copyToBuffer(reinterpret_cast<unsigned char*>(bytes.data()));
        std::ofstream(dir_->file("low.las"), std::ios::binary) << bytes;
        importDataset(las_, dir_->file("data"), "scene one", 8);
        importDataset(dir_->file("low.las"), dir_->file("data"), "below zero", 8);
    }
    static void TearDownTestSuite() { delete dir_; }
    void SetUp() override { DEFAULT_SERVER = server_.base(); }
    void TearDown() override { DEFAULT_SERVER = saved_; }
    static inline TempDir* dir_ = nullptr;
    static inline std::string las_;
    std::string saved_ = DEFAULT_SERVER;
    LocalPointServer server_{dir_->file("data")};
};

// Names, a header and level count (a name with a space), an unknown data set, a server gone; every point
// of a data set, by slabs and by levels, heights below zero included.
TEST_F(AgainstTheServer, NamesMetadataFailuresAndWholeDataSets) {
    ServerRetriever r;
    std::vector<std::string> names;
    ASSERT_EQ(r.retrieveDatasetNames(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"below zero", "scene one"}));
    datasetName = "scene one";
    LASHeader h;
    int levels = 0;
    ASSERT_EQ(r.retrieveMetadata(h, levels), 0);
    EXPECT_EQ(levels,
              int(readDatasetInfo(dir_->file("data") + "/" + datasetDirName("scene one")).levels.size()));
    EXPECT_EQ(std::make_tuple(h.NumberOfPointRecords, h.PointDataFormatID, std::string(h.FileSignature, 4)),
              std::make_tuple(120000u, uint8_t(3), std::string("LASF")));
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
            std::vector<RawPoint> got;
            for (const Splat& s : splats)
                got.emplace_back(s.x, s.y, s.z);
            std::sort(got.begin(), got.end());
            EXPECT_TRUE(got == rawPointsOf(las_)) << got.size() << " points";
        }
    retrievalType = 0;
    server_.stop();
    EXPECT_EQ(r.retrieveDatasetNames(names), 4);
}

// Whole items across chunks; the look-back kept and older chunks freed (waiting for a producer and
// aborting a wait are the decompression tests' part).
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
    EXPECT_EQ(b.read(out.data(), 1000, 1), 0u); // less than an item left
    EXPECT_EQ(b.read(out.data(), 1, 1000), 313u);
    EXPECT_EQ(b.read(out.data(), 1, 5), 0u); // nothing left, the end is set: at once
    EXPECT_EQ(b.position(), 1814);
}

class Decompression : public ::testing::Test {
protected:
    void SetUp() override {
        writeSyntheticLAS(dir_.file("s.las"), SynthOptions{20000, 3, 4});
        file_ = contents(dir_.file("s.las"));
        header_.copyFromBuffer(reinterpret_cast<const unsigned char*>(file_.data()));
        pointcodec::Columns cols;
        cols.fromRecords(record(0), header_.NumberOfPointRecords, header_.PointDataFormatID,
                         header_.PointDataRecordLength);
        CLASCompressor().compressBlock(cols, block_);
        grid_ = std::make_unique<LODGrid>(&header_, nullptr);
        tiles_ = std::vector<SplatTile>(grid_->getNumberOfTiles());
        request_.grid = grid_.get(), request_.splatTiles = &tiles_;
        for (uint32_t t = 0; t < grid_->getNumberOfTiles(); ++t)
            request_.tiles.insert(t);
        d_.initializePointDecompressor(&header_);
        d_.Start();
    }
    const unsigned char* record(size_t i) const {
        return reinterpret_cast<const unsigned char*>(file_.data()) + header_.OffsetToPointData +
               i * header_.PointDataRecordLength;
    }
    void start(int size) {
        d_.initializeRequest(&request_);
        d_.setRetrievalSize(size);
        d_.startDecompression();
    }
    TempDir dir_;
    std::string file_;
    LASHeader header_;
    std::vector<unsigned char> block_;
    std::unique_ptr<LODGrid> grid_;
    std::vector<SplatTile> tiles_;
    LODRequest request_;
    LASThreadedDecompressor d_;
};

// Every point in its tile in record order with its coordinates, attribute bytes and colour (its own or its
// class's); a cut reply ends the run with a failure and the worker serves the next request.
TEST_F(Decompression, PointsArriveInTheirTilesWhileTheBlockStreamsIn) {
    for (bool classes : {false, true}) {
        StreamReaders::forceClassificationColors = classes;
        for (auto& t : tiles_)
            t.splats.clear(), t.colors.clear(), t.attributes.clear();
        request_.numSplats = 0;
        start(int(header_.NumberOfPointRecords));
        std::mt19937 rng(7);
        for (size_t at = 0, n; at < block_.size(); at += n)
            d_.pushBytes(block_.data() + at, n = std::min<size_t>(1 + rng() % 5000, block_.size() - at));
        d_.endOfStream();
        ASSERT_TRUE(d_.waitForDecompressionEnd());
        EXPECT_TRUE(d_.finished);
        EXPECT_EQ(std::make_pair(d_.failures.load(), request_.numSplats),
                  std::make_pair(0, header_.NumberOfPointRecords));
        std::vector<size_t> next(tiles_.size(), 0);
        size_t wrong = 0;
        for (size_t i = 0; i < header_.NumberOfPointRecords; ++i) {
            int32_t xy[2];
            uint16_t rgb[3];
            std::memcpy(xy, record(i), 8);
            std::memcpy(rgb, record(i) + 28, 6);
            const size_t t = size_t(grid_->getSplatTile(xy[0], xy[1])), k = next[t]++;
            const int cls = record(i)[15] & 31;
            const Color want = !classes   ? Color{rgb[0], rgb[1], rgb[2]}
                               : cls == 2 ? Color{30000, 30000, 0}
                               : cls == 6 ? Color{50000, 0, 0}
                               : cls == 7 ? Color{0, 65000, 0}
                                          : Color{65000, 65000, 65000};
            ASSERT_LT(k, tiles_[t].splats.size());
            const Color& c = tiles_[t].colors[k];
            wrong += std::memcmp(&tiles_[t].splats[k], record(i), 12) != 0 ||
                     std::memcmp(&tiles_[t].attributes[k], record(i) + 12, 4) != 0 || c.r != want.r ||
                     c.b != want.b || tiles_[t].splats[k].nz != 1000.0f;
        }
        EXPECT_EQ(wrong, 0u);
        for (size_t t = 0; t < tiles_.size(); ++t)
            EXPECT_EQ(tiles_[t].colors.size(), next[t]) << "tile " << t;
    }
    StreamReaders::forceClassificationColors = false;
    start(int(header_.NumberOfPointRecords));
    d_.pushBytes(block_.data(), block_.size() / 3);
    d_.endOfStream();
    ASSERT_TRUE(d_.waitForDecompressionEnd());
    EXPECT_EQ(d_.failures, 1);
}

// Workers waiting for a start or for bytes stop at once; a negative size ends the run with an error.
TEST_F(Decompression, StopsPromptlyAndRefusesANegativeSize) {
    const auto t0 = std::chrono::steady_clock::now();
    for (bool starved : {false, true}) {
        LASThreadedDecompressor d;
        d.initializePointDecompressor(&header_);
        d.Start();
        if (starved) {
            d.initializeRequest(&request_);
            d.setRetrievalSize(100);
            d.startDecompression();
            d.pushBytes(block_.data(), 10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    d_.initializeRequest(&request_);
    d_.startDecompression(); // size still -1
    EXPECT_TRUE(d_.waitForDecompressionEnd());
    for (int i = 0; i < 100 && d_.ThreadState() == CThread::Running; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(d_.ThreadState(), CThread::Running);
}

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
    std::vector<unsigned> indices;
    s.cache->getTile(0)->Lock();
    EXPECT_FALSE(
        std::async(std::launch::async, [&] { return s.cache->triangulateTile(0, indices, -1); }).get());
    s.cache->getTile(0)->Unlock();
    EXPECT_TRUE(indices.empty());

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
            int& first = coarse[rt.tileIndex];
            first = k == 0 ? m.splats : first;
            EXPECT_TRUE(k == 0 || (k == 1 ? m.splats > first && m.splats == uploaded
                                          : m.splats == first && uploaded > m.splats))
                << "tile " << rt.tileIndex << ": " << m.splats << " meshed, " << uploaded << " uploaded";
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
    const std::string bytes = contents(las_);
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
    h.NumberOfPointRecords = 1000000000, h.PointDataFormatID = 1, h.PointDataRecordLength = 28;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.Max_X = h.Max_Y = 1000, h.Max_Z = 10;
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
