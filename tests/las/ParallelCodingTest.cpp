// Compression and decompression on several threads: fields coded side by side; level codings decoded
// ahead of the decoder on helper threads, which takes exactly the results for the positions it reaches;
// a chunk rebuilt and written while the next is decoded. The same bytes as on one thread, also when coded
// data holds what looks like the start of a level coding, and damage still ends in CLasException with
// nothing left running. Also built under ThreadSanitizer.
#include "AC.h"
#include "ByteSource.h"
#include "LASPointData.h"
#include "LevelsAhead.h"
#include "PointCodec.h"
#include "SyntheticScene.h"
#include "support/CodecFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

namespace {

TEST(ParallelCoding, SameBytesAsOneThreadAndDamageStillThrows) {
    TempDir dir;
    const std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{2000001, 1, 6}); // two chunks
    compressFile(las, dir.file("one.lasc"), 1);
    compressFile(las, dir.file("two.lasc"), 2);
    const auto packed = readBytes(dir.file("one.lasc"));
    EXPECT_TRUE(packed == readBytes(dir.file("two.lasc")));

    EXPECT_EQ(decompressFile(dir.file("two.lasc"), dir.file("back.las"), 2),
              (std::vector<uint64_t>{1000000, 2000001}));
    EXPECT_TRUE(readBytes(dir.file("back.las")) == readBytes(las));

    // Cut in the second chunk: the first is being written when decoding fails.
    writeBytes(dir.file("cut.lasc"), packed, packed.size() * 3 / 4);
    EXPECT_THROW(decompressFile(dir.file("cut.lasc"), dir.file("cut.las"), 2), CLasException);
    // Cut in the first chunk: nothing is handed on at all.
    writeBytes(dir.file("short.lasc"), packed, packed.size() / 4);
    EXPECT_THROW(decompressFile(dir.file("short.lasc"), dir.file("short.las"), 2), CLasException);
}

using namespace pointcodec;

size_t threadsRunning() {
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                std::filesystem::directory_iterator()));
}

TEST(DecodingAhead, TheDecoderTakesResultsForItsOwnPositionsOnly) {
    // A byte block, then three level codings; the last has magnitudes whose high bytes run from 2 to
    // 9, so its second byte plane looks like the start of another level coding.
    const size_t n = 50000;
    std::mt19937 rng(5);
    std::vector<int32_t> a(n), b(n), c(n);
    for (size_t i = 0; i < n; ++i) {
        a[i] = int32_t(rng() % 200) - 100;
        b[i] = int32_t(rng());
        c[i] = (i % 2 ? 1 : -1) * int32_t(512 + rng() % 2000);
    }
    std::vector<unsigned char> bytes(n);
    for (auto& x : bytes)
        x = uint8_t(rng() % 7);
    CodedPieces pieces;
    pieces.block(bytes.data(), n);
    for (const auto* v : {&a, &b, &c})
        levelEncode(pieces, v->data(), n);
    std::vector<unsigned char> stream;
    pieces.encodeInto(stream, 1);
    // The three codings and the false start in the last.
    ASSERT_EQ(LevelsAhead::candidates(stream.data(), stream.size(), 0, 100).size(), 4u);

    for (int helpers : {1, 3}) {
        SCOPED_TRACE(helpers);
        LevelsAhead ahead(stream.data(), stream.size(), helpers);
        ahead.moveTo(0, n);
        // The first coding is left to the decoder; the helpers decode the other two meanwhile.
        for (int i = 0; i < 2000 && ahead.ready() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(ahead.ready(), 2u);

        MemoryByteSource src(stream.data(), stream.size());
        AC ac;
        std::vector<unsigned char> decodedBytes(n);
        ac.decodeBlock(src, decodedBytes.data(), n);
        EXPECT_EQ(decodedBytes, bytes);
        for (const auto* v : {&a, &b, &c}) {
            std::vector<int32_t> out(n);
            uint64_t end = 0;
            if (ahead.take(src.position(), out, end))
                src.seek(end);
            else
                levelDecode(ac, src, out.data(), n);
            EXPECT_EQ(out, *v);
        }
        EXPECT_EQ(ahead.taken(), 2u);
        EXPECT_TRUE(src.atEnd());
        // A count other than the coding's is never taken.
        std::vector<int32_t> out(n + 1);
        uint64_t end = 0;
        EXPECT_FALSE(ahead.take(0, out, end));
    }
}

// A survey whose point source IDs alternate between 1000 and 2000: every delta has two bytes and the
// high bytes are all 3, so the source ID's second plane starts like a level coding.
void writeAlternatingSources(const std::string& path, uint64_t points) {
    writeSyntheticLAS(path, SynthOptions{points, 1, 3});
    auto data = readBytes(path);
    const uint32_t offset = las_detail::loadLE<uint32_t>(data.data() + 96);
    const uint16_t length = las_detail::loadLE<uint16_t>(data.data() + 105);
    for (uint64_t i = 0; i < points; ++i)
        las_detail::storeLE(data.data() + offset + i * length + las_detail::kRecordSourceID,
                            uint16_t(i % 2 ? 2000 : 1000));
    writeBytes(path, data, data.size());
}

TEST(DecodingAhead, SameFileOnEveryThreadCountAndDamageThrowsEverywhere) {
    TempDir dir;
    const std::string las = dir.file("in.las"), packed = dir.file("in.lasc");
    writeAlternatingSources(las, 100000);
    compressFile(las, packed, 2);
    const auto compressed = readBytes(packed);
    // Seven level codings in format 1, and at least the source IDs' false start besides.
    const auto found = LevelsAhead::candidates(compressed.data(), compressed.size(), 0, 1000);
    EXPECT_GT(found.size(), 7u);

    const auto original = readBytes(las);
    const size_t before = threadsRunning();
    auto error = [&](const std::vector<unsigned char>& damaged, int threads) {
        writeBytes(dir.file("bad.lasc"), damaged, damaged.size());
        try {
            decompressFile(dir.file("bad.lasc"), dir.file("bad.las"), threads);
        } catch (const CLasException& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    // Cut inside the last level coding; a frequency table broken in the middle of the stream.
    auto cut = compressed;
    cut.resize(compressed.size() - 5000);
    auto broken = compressed;
    broken[found[found.size() / 2] + 4 + 101] = 0xFF;
    const std::string cutError = error(cut, 1), brokenError = error(broken, 1);
    EXPECT_NE(cutError, "");
    EXPECT_NE(brokenError, "");
    for (int threads : {1, 2, 4}) {
        SCOPED_TRACE(threads);
        decompressFile(packed, dir.file("out.las"), threads);
        EXPECT_TRUE(readBytes(dir.file("out.las")) == original);
        EXPECT_EQ(error(cut, threads), cutError);
        EXPECT_EQ(error(broken, threads), brokenError);
        EXPECT_EQ(threadsRunning(), before);
    }
}

} // namespace
