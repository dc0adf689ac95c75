// The protocol client: its incremental parsers under every split of a reply and its requests against the
// real point server on 127.0.0.1; the stream buffer and the threaded decompressor filing a compressed
// block's points into tiles while its bytes arrive.
#include "ServerRetriever.h"
#include "CLASCompressor.h"
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LASThreadedDecompressor.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "PointCodec.h"
#include "SplatTile.h"
#include "SyntheticScene.h"
#include "support/LasPoints.h"
#include "support/LocalPointServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>

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
    EXPECT_THROW(b.seek(10), std::out_of_range);
    b.seek(1500); // forward over buffered data
    ASSERT_EQ(b.read(&x, 1, 1), 1u);
    EXPECT_EQ(x, uint8_t(1500));
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

} // namespace
