// The protocol client: its incremental parsers under every split of a reply, and its requests against the
// real point server on 127.0.0.1.
#include "ServerRetriever.h"
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "SplatTile.h"
#include "SyntheticScene.h"
#include "support/CaptureStdout.h"
#include "support/LasPoints.h"
#include "support/LocalPointServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <random>
#include <tuple>

namespace {

// Bytes 12 to 15 of point i's record: intensity low and high, return byte, class byte; all differ.
std::array<uint8_t, 4> attributeBytes(int i) {
    return {uint8_t(i), uint8_t(0xa0 ^ i), uint8_t(0x49 + i), uint8_t(0xc2 - 3 * i)};
}

// Wire records of `count` points of a record length, with colours where the format has them, and the
// attribute bytes of every point.
std::string wireRecords(int format, int recordLength, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        std::string r(size_t(recordLength) + 12, '\0');
        const int32_t xyz[3] = {1000 * i + 5, 100000 * (i % 3) + 7, -i}; // rows 0, 0, 1
        std::memcpy(r.data(), xyz, 12);
        const auto attributes = attributeBytes(i);
        std::memcpy(r.data() + 12, attributes.data(), 4);
        const int colorAt = format == 2 ? 20 : format == 3 ? 28 : -1;
        if (colorAt >= 0) {
            const uint16_t rgb[3] = {uint16_t(i), uint16_t(2 * i), uint16_t(65535 - i)};
            std::memcpy(r.data() + colorAt, rgb, 6);
        }
        const float n[3] = {0.0f, 0.6f, 0.8f + float(i)};
        std::memcpy(r.data() + recordLength, n, 12);
        out += r;
    }
    return out;
}

struct Filed {
    std::vector<std::vector<std::tuple<int32_t, int32_t, int32_t, float>>> splats;
    std::vector<std::vector<std::tuple<int, int, int>>> colors;
    std::vector<std::vector<std::array<uint8_t, 4>>> attributes;
    uint32_t read = 0, filed = 0, dropped = 0;
};

// Feeds the reply to the tile parser in chunks cut at the given sizes (cycled) and returns what was filed.
// `skip`: a tile the request does not hold (none when negative).
Filed feed(const std::string& reply, const std::vector<size_t>& cuts, int skip = -1) {
    LASHeader h;
    h.NumberOfPointRecords = 300000;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 1;
    h.Max_X = 300000;
    h.Max_Y = 200000;
    StdoutCapture quiet;
    LODGrid grid(&h);
    quiet.take();
    std::vector<SplatTile> tiles(grid.getNumberOfTiles());
    LODRequest r;
    r.grid = &grid;
    r.splatTiles = &tiles;
    for (uint32_t t = 0; t < grid.getNumberOfTiles(); ++t)
        if (int(t) != skip)
            r.tiles.insert(t);
    resetPointStream();
    numReadPoints = 0;
    std::string data = reply;
    size_t at = 0;
    for (size_t k = 0; at < data.size(); ++k) {
        const size_t n = std::min(cuts[k % cuts.size()], data.size() - at);
        EXPECT_EQ(stream_writePointsLODNormals(data.data() + at, 1, n, &r), n);
        at += n;
    }
    Filed f;
    f.read = numReadPoints;
    f.filed = r.numSplats;
    f.dropped = r.droppedSplats;
    for (auto& t : tiles) {
        f.splats.emplace_back();
        f.colors.emplace_back();
        f.attributes.emplace_back();
        for (const PointAttributes& a : t.attributes)
            f.attributes.back().push_back({a.intensityLow, a.intensityHigh, a.returns, a.classification});
        for (auto& s : t.splats)
            f.splats.back().emplace_back(s.x, s.y, s.z, s.nz);
        for (auto& c : t.colors)
            f.colors.back().emplace_back(c.r, c.g, c.b);
    }
    return f;
}

TEST(StreamParsers, PointsAreTheSameUnderEverySplit) {
    std::mt19937 rng(3);
    for (auto [format, length] : {std::pair{0, 20}, {1, 28}, {2, 26}, {3, 34}, {3, 39}}) {
        SCOPED_TRACE("format " + std::to_string(format) + ", record " + std::to_string(length));
        pointSize = uint16_t(length);
        pointFormat = format;
        const std::string reply = wireRecords(format, length, 50);
        const Filed whole = feed(reply, {reply.size()});
        EXPECT_EQ(whole.read, 50u);
        size_t splats = 0, colors = 0;
        for (size_t t = 0; t < whole.splats.size(); ++t) {
            splats += whole.splats[t].size();
            colors += whole.colors[t].size();
            if (format >= 2) {
                EXPECT_EQ(whole.colors[t].size(), whole.splats[t].size()); // one colour per splat, same tile
            }
        }
        EXPECT_EQ(splats, 50u);
        EXPECT_EQ(colors, format >= 2 ? 50u : 0u);
        if (format >= 2) {
            EXPECT_EQ(whole.colors[0][1],
                      std::make_tuple(1, 2, 65534)); // tile 0 holds points 0, 1, 3, 4, ...
            EXPECT_EQ(whole.colors[1][0], std::make_tuple(2, 4, 65533)); // tile 1 points 2, 5, ...
        }
        std::vector<size_t> random;
        for (int i = 0; i < 40; ++i)
            random.push_back(1 + rng() % 97);
        for (const auto& cuts : std::vector<std::vector<size_t>>{{1}, {7}, {size_t(length) + 11}, random}) {
            const Filed split = feed(reply, cuts);
            EXPECT_EQ(split.splats, whole.splats);
            EXPECT_EQ(split.colors, whole.colors);
            EXPECT_EQ(split.attributes, whole.attributes);
        }
        // Every splat carries bytes 12 to 15 of its own record (point i has z = -i), colours or not.
        for (bool colours : {true, false}) {
            StreamReaders::loadColors = colours;
            const Filed f = colours ? whole : feed(reply, {13});
            for (size_t t = 0; t < f.splats.size(); ++t) {
                ASSERT_EQ(f.attributes[t].size(), f.splats[t].size());
                for (size_t k = 0; k < f.splats[t].size(); ++k)
                    EXPECT_EQ(f.attributes[t][k], attributeBytes(-std::get<2>(f.splats[t][k])));
            }
        }
        StreamReaders::loadColors = true;
    }
    // An empty reply files nothing; a partial record left by a failed transfer is discarded before the next.
    pointSize = 20;
    pointFormat = 0;
    EXPECT_EQ(feed("", {1}).read, 0u);
    const std::string reply = wireRecords(0, 20, 3);
    LODRequest none;
    std::string cut = reply.substr(0, 17);
    stream_writePointsLODNormals(cut.data(), 1, cut.size(), &none); // no record complete: nothing filed
    const Filed after = feed(reply, {reply.size()});
    EXPECT_EQ(after.read, 3u);
    EXPECT_EQ(std::get<0>(after.splats[0][0]), 5);
}

// Long replies are filed in batches: splats beyond the grid or in a tile the request does not hold are
// dropped and counted, and every colour and attribute record filed stays with its own splat, whatever
// the chunks.
TEST(StreamParsers, DroppedSplatsTakeTheirColoursAlong) {
    pointSize = 26;
    pointFormat = 2;
    const std::string reply = wireRecords(2, 26, 700); // the last points lie beyond the grid
    const Filed whole = feed(reply, {reply.size()}, 1);
    for (const auto& cuts : std::vector<std::vector<size_t>>{{reply.size()}, {16384}, {1, 97, 38 * 7 + 5}}) {
        const Filed f = feed(reply, cuts, 1);
        EXPECT_EQ(f.splats, whole.splats);
        EXPECT_EQ(f.read, 700u);
        EXPECT_EQ(f.filed + f.dropped, 700u);
        EXPECT_TRUE(f.splats[1].empty());
        size_t filed = 0;
        for (size_t t = 0; t < f.splats.size(); ++t) {
            ASSERT_EQ(f.colors[t].size(), f.splats[t].size());
            ASSERT_EQ(f.attributes[t].size(), f.splats[t].size());
            for (size_t k = 0; k < f.splats[t].size(); ++k) {
                const int point = -std::get<2>(f.splats[t][k]);
                EXPECT_EQ(std::get<0>(f.colors[t][k]), point); // red is the point's number
                EXPECT_EQ(f.attributes[t][k], attributeBytes(point));
            }
            filed += f.splats[t].size();
        }
        EXPECT_EQ(filed, f.filed);
        EXPECT_GT(f.dropped, 0u);
        EXPECT_GT(f.filed, 0u);
    }
}

TEST(StreamParsers, HeaderIntegerAndLines) {
    std::string h227(227, 'h'), h235(235 + 9, 'x');
    h227[94] = char(227), h227[95] = 0;
    h235[94] = char(235), h235[95] = 0;
    headerBuffer.clear();
    stream_writeHeader(h227.data(), 1, 227, nullptr);
    EXPECT_EQ(headerBytesRead, 227u);
    EXPECT_EQ(headerSize, 227);
    headerBuffer.clear();
    {
        StdoutCapture quiet;
        stream_writeHeader(h235.data(), 1, 200, nullptr);
        stream_writeHeader(h235.data() + 200, 1, h235.size() - 200, nullptr); // 9 bytes beyond the header
    }
    EXPECT_EQ(headerBytesRead, 235u);
    EXPECT_EQ(headerBuffer.size(), 235u);

    const char four[] = {0x10, 0x27, 0x00, 0x00, 0x01};
    currentPointer = 0;
    EXPECT_EQ(stream_writeInt(const_cast<char*>(four), 1, 2, nullptr), 2u);
    EXPECT_EQ(stream_writeInt(const_cast<char*>(four) + 2, 1, 2, nullptr), 2u);
    EXPECT_EQ(streamInt, 10000);
    EXPECT_EQ(stream_writeInt(const_cast<char*>(four) + 4, 1, 1, nullptr), 0u); // a fifth byte aborts

    currentLine.clear();
    std::vector<std::string> names;
    std::string list = "alpha\nbeta\n";
    stream_readLines(list.data(), 1, list.size(), &names);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta"}));
    names.clear();
    list = "one\ntwo";
    stream_readLines(list.data(), 1, list.size(), &names);
    EXPECT_EQ(names, std::vector<std::string>{"one"});
    list = "\n";
    stream_readLines(list.data(), 1, list.size(), &names);
    EXPECT_EQ(names, (std::vector<std::string>{"one", "two"}));
    currentLine.clear();
}

class AgainstTheServer : public ::testing::Test {
protected:
    // Two data sets, imported once: a scene of two slabs, and the same scene lowered below zero height.
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        las_ = dir_->file("scene.las");
        writeSyntheticLAS(las_, SynthOptions{120000, 3, 12});
        std::ifstream in(las_, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        LASHeader h;
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        h.OffsetZ -= 2000, h.Min_Z -= 2000, h.Max_Z -= 2000;
        h.copyToBuffer(reinterpret_cast<unsigned char*>(bytes.data()));
        std::ofstream(dir_->file("low.las"), std::ios::binary) << bytes;
        importDataset(las_, dir_->file("data"), "scene one", 8);
        importDataset(dir_->file("low.las"), dir_->file("data"), "below zero", 8);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        server_ = std::make_unique<LocalPointServer>(dir_->file("data"));
        saved_ = DEFAULT_SERVER;
        DEFAULT_SERVER = server_->base();
    }
    void TearDown() override {
        server_.reset();
        DEFAULT_SERVER = saved_;
    }
    static TempDir* dir_;
    static std::string las_;
    std::string saved_;
    std::unique_ptr<LocalPointServer> server_;
};
TempDir* AgainstTheServer::dir_ = nullptr;
std::string AgainstTheServer::las_;

TEST_F(AgainstTheServer, NamesMetadataAndFailures) {
    ServerRetriever r;
    std::vector<std::string> names;
    ASSERT_EQ(r.retrieveDatasetNames(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"below zero", "scene one"}));

    datasetName = "scene one";
    LASHeader h;
    int levels = 0;
    StdoutCapture capture;
    const int got = r.retrieveMetadata(h, levels);
    std::string out = capture.take();
    ASSERT_EQ(got, 0) << out;
    EXPECT_NE(out.find("Requesting number of levels: " + DEFAULT_SERVER + "getNumberOfLevels/scene%20one\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Number of levels read " + std::to_string(levels)), std::string::npos);
    EXPECT_EQ(levels,
              int(readDatasetInfo(dir_->file("data") + "/" + datasetDirName("scene one")).levels.size()));
    EXPECT_EQ(h.NumberOfPointRecords, 120000u);
    EXPECT_EQ(h.PointDataFormatID, 3);
    EXPECT_EQ(std::string(h.FileSignature, 4), "LASF");

    datasetName = "nothing";
    {
        StdoutCapture c;
        EXPECT_EQ(r.retrieveMetadata(h, levels), 2);
        EXPECT_EQ(c.take(), "Error in server response, error code 22\n");
    }
    server_->stop();
    StdoutCapture c;
    EXPECT_EQ(r.retrieveDatasetNames(names), 4);
    EXPECT_EQ(c.take().rfind("Error in server response, error code 7", 0), 0u);
}

TEST_F(AgainstTheServer, WholeDataSetBySlabsAndByLevels) {
    ServerRetriever r;
    StdoutCapture quiet;
    for (const char* name : {"scene one", "below zero"}) {
        for (int mode : {0, 1}) {
            SCOPED_TRACE(std::string(name) + ", mode " + std::to_string(mode));
            datasetName = name;
            retrievalType = mode;
            r.retrieveSplats();
            std::vector<Splat> splats;
            std::vector<Color> colors;
            r.popSplats(splats, colors);
            EXPECT_EQ(colors.size(), splats.size());
            std::vector<std::tuple<int32_t, int32_t, int32_t>> got;
            for (const Splat& s : splats)
                got.emplace_back(s.x, s.y, s.z);
            std::sort(got.begin(), got.end());
            EXPECT_TRUE(got == rawPointsOf(las_)) << got.size() << " points";
        }
    }
    retrievalType = 0;
}

} // namespace
