// The stream buffer read like a file while bytes arrive, and the threaded decompressor filing a
// compressed block's points into tiles.
#include "CLASCompressor.h"
#include "LASHeader.h"
#include "LASThreadedDecompressor.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "PointCodec.h"
#include "ServerRetriever.h"
#include "SplatTile.h"
#include "SyntheticScene.h"
#include "support/TempDir.h"

#include "support/CaptureStdout.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

std::vector<unsigned char> bytes(size_t n, int from = 0) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(from + int(i));
    return v;
}

TEST(StreamBuffer, ReadsWholeItemsAcrossChunks) {
    StreamBuffer b;
    auto a = bytes(10), c = bytes(7, 10), d = bytes(5, 17);
    b.pushBytes(a.data(), a.size());
    b.pushBytes(c.data(), c.size());
    b.pushBytes(d.data(), d.size());
    b.setEndOfStream();
    unsigned char out[40] = {};
    EXPECT_EQ(b.read(out, 4, 10), 5u); // 22 bytes buffered: 5 whole items
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(out[i], i); // in push order across three chunks
    EXPECT_EQ(b.read(out, 4, 1), 0u);
    EXPECT_EQ(b.read(out, 1, 5), 2u);
    EXPECT_EQ(b.read(out, 1, 5), 0u); // nothing left, the end is set: at once
    EXPECT_EQ(b.position(), 22);
}

TEST(StreamBuffer, KeepsTheLookBackAndFreesTheRest) {
    StreamBuffer b;
    for (int i = 0; i < 20; ++i) {
        auto c = bytes(100, i * 100);
        b.pushBytes(c.data(), c.size());
    }
    b.setEndOfStream();
    std::vector<unsigned char> out(1000);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(b.read(out.data() + 10 * i, 1, 10), 10u);
    EXPECT_GE(b.discarded(), 600u); // chunks well behind the position are gone
    EXPECT_LE(b.bufferedChunks(), 14u);
    b.seek(1000 - 256); // the look-back is still there
    unsigned char x = 0;
    ASSERT_EQ(b.read(&x, 1, 1), 1u);
    EXPECT_EQ(x, uint8_t(1000 - 256));
    EXPECT_THROW(b.seek(10), std::out_of_range);
    b.seek(1500); // forward over buffered data
    ASSERT_EQ(b.read(&x, 1, 1), 1u);
    EXPECT_EQ(x, uint8_t(1500));
}

TEST(StreamBuffer, ReaderWaitsForTheProducer) {
    StreamBuffer b;
    const auto all = bytes(100000);
    std::thread producer([&] {
        std::mt19937 rng(1);
        for (size_t at = 0; at < all.size();) {
            const size_t n = std::min<size_t>(1 + rng() % 3000, all.size() - at);
            b.pushBytes(all.data() + at, n);
            at += n;
            if (rng() % 8 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        b.setEndOfStream();
    });
    std::vector<unsigned char> got;
    unsigned char part[777];
    for (size_t n; (n = b.read(part, 1, sizeof part)) > 0;)
        got.insert(got.end(), part, part + n);
    producer.join();
    EXPECT_TRUE(got == all);

    // abort() ends a wait that no byte would end.
    StreamBuffer idle;
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        idle.abort();
    });
    EXPECT_EQ(idle.read(part, 1, 10), 0u);
    aborter.join();
}

class Decompression : public ::testing::Test {
protected:
    void SetUp() override {
        writeSyntheticLAS(dir_.file("s.las"), SynthOptions{20000, 3, 4});
        std::ifstream in(dir_.file("s.las"), std::ios::binary);
        file_.assign(std::istreambuf_iterator<char>(in), {});
        header_.copyFromBuffer(reinterpret_cast<const unsigned char*>(file_.data()));
        pointcodec::Columns cols;
        cols.fromRecords(reinterpret_cast<const unsigned char*>(file_.data()) + header_.OffsetToPointData,
                         header_.NumberOfPointRecords, header_.PointDataFormatID,
                         header_.PointDataRecordLength);
        CLASCompressor c;
        c.compressBlock(cols, block_);
        StdoutCapture quiet;
        grid_ = std::make_unique<LODGrid>(&header_);
        tiles_ = std::vector<SplatTile>(grid_->getNumberOfTiles());
        request_.grid = grid_.get();
        request_.splatTiles = &tiles_;
        for (uint32_t t = 0; t < grid_->getNumberOfTiles(); ++t)
            request_.tiles.insert(t);
    }
    const unsigned char* record(size_t i) const {
        return reinterpret_cast<const unsigned char*>(file_.data()) + header_.OffsetToPointData +
               i * header_.PointDataRecordLength;
    }

    TempDir dir_;
    std::string file_;
    LASHeader header_;
    std::vector<unsigned char> block_;
    std::unique_ptr<LODGrid> grid_;
    std::vector<SplatTile> tiles_;
    LODRequest request_;
};

TEST_F(Decompression, PointsArriveInTheirTilesWhileTheBlockStreamsIn) {
    {
        LASThreadedDecompressor d;
        d.initializePointDecompressor(&header_);
        ASSERT_TRUE(d.Start());
        for (bool classes : {false, true}) {
            StreamReaders::forceClassificationColors = classes;
            for (auto& t : tiles_)
                t.splats.clear(), t.colors.clear(), t.attributes.clear();
            request_.numSplats = 0;
            d.initializeRequest(&request_);
            d.setRetrievalSize(int(header_.NumberOfPointRecords));
            d.startDecompression();
            std::mt19937 rng(7);
            for (size_t at = 0; at < block_.size();) {
                const size_t n = std::min<size_t>(1 + rng() % 5000, block_.size() - at);
                d.pushBytes(block_.data() + at, n);
                at += n;
            }
            d.endOfStream();
            ASSERT_TRUE(d.waitForDecompressionEnd());
            EXPECT_TRUE(d.finished);
            EXPECT_EQ(d.failures, 0);
            EXPECT_EQ(request_.numSplats, header_.NumberOfPointRecords);
            size_t splats = 0;
            for (auto& t : tiles_) {
                ASSERT_EQ(t.colors.size(), t.splats.size());
                ASSERT_EQ(t.attributes.size(), t.splats.size());
                splats += t.splats.size();
            }
            EXPECT_EQ(splats, header_.NumberOfPointRecords);
            // Point 0: its coordinates, the placeholder normal, its colour or its class's.
            const int tile = grid_->getSplatTile(
                int32_t(record(0)[0] | record(0)[1] << 8 | record(0)[2] << 16 | uint32_t(record(0)[3]) << 24),
                int32_t(record(0)[4] | record(0)[5] << 8 | record(0)[6] << 16 |
                        uint32_t(record(0)[7]) << 24));
            ASSERT_GE(tile, 0);
            const Splat& s = tiles_[size_t(tile)].splats[0];
            EXPECT_EQ(std::memcmp(&s, record(0), 12), 0);
            EXPECT_EQ(s.nz, 1000.0f);
            // Every point's intensity, return byte and class byte exactly as its record holds them; a
            // tile's points are in record order.
            std::vector<size_t> next(tiles_.size(), 0);
            size_t wrong = 0;
            for (size_t i = 0; i < header_.NumberOfPointRecords; ++i) {
                int32_t xy[2];
                std::memcpy(xy, record(i), 8);
                const size_t t = size_t(grid_->getSplatTile(xy[0], xy[1]));
                const size_t k = next[t]++;
                wrong += std::memcmp(&tiles_[t].splats[k], record(i), 12) != 0 ||
                         std::memcmp(&tiles_[t].attributes[k], record(i) + 12, 4) != 0;
            }
            EXPECT_EQ(wrong, 0u);
            const Color& c = tiles_[size_t(tile)].colors[0];
            if (classes) {
                const int cls = record(0)[15] & 31;
                const Color want = cls == 2   ? Color{30000, 30000, 0}
                                   : cls == 6 ? Color{50000, 0, 0}
                                              : Color{65000, 65000, 65000};
                EXPECT_EQ(c.r, want.r);
                EXPECT_EQ(c.b, want.b);
            } else {
                uint16_t rgb[3];
                std::memcpy(rgb, record(0) + 28, 6);
                EXPECT_EQ(c.r, rgb[0]);
                EXPECT_EQ(c.b, rgb[2]);
            }
        }
        StreamReaders::forceClassificationColors = false;

        // A cut reply ends the run with a failure, and the worker serves the next request.
        d.initializeRequest(&request_);
        d.setRetrievalSize(int(header_.NumberOfPointRecords));
        d.startDecompression();
        d.pushBytes(block_.data(), block_.size() / 3);
        d.endOfStream();
        ASSERT_TRUE(d.waitForDecompressionEnd());
        EXPECT_EQ(d.failures, 1);
    }
}

TEST_F(Decompression, StopsPromptlyAndRefusesANegativeSize) {
    StdoutCapture capture;
    const auto t0 = std::chrono::steady_clock::now();
    {
        LASThreadedDecompressor waiting; // waiting for a start that never comes
        waiting.initializePointDecompressor(&header_);
        waiting.Start();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    {
        LASThreadedDecompressor starved; // decoding, waiting for bytes that never come
        starved.initializePointDecompressor(&header_);
        starved.Start();
        starved.initializeRequest(&request_);
        starved.setRetrievalSize(100);
        starved.startDecompression();
        starved.pushBytes(block_.data(), 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));

    LASThreadedDecompressor d;
    d.initializePointDecompressor(&header_);
    d.Start();
    d.initializeRequest(&request_);
    d.startDecompression(); // size still -1
    EXPECT_TRUE(d.waitForDecompressionEnd());
    for (int i = 0; i < 100 && d.ThreadState() == CThread::Running; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_NE(d.ThreadState(), CThread::Running);
    const std::string out = capture.take();
    EXPECT_NE(out.find("Error, request size for decompression -1, should be nonnegative."), std::string::npos)
        << out;
}

} // namespace
