// Compression and decompression on several threads (fields coded side by side; a chunk rebuilt and
// written while the next is decoded): the same bytes as on one thread, and damage still ends in an
// exception with nothing left running. Also built under ThreadSanitizer.
#include "CLASCompressor.h"
#include "FileHandle.h"
#include "SyntheticScene.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

void compress(const std::string& in, const std::string& out, int threads) {
    CLASFile_C las(in.c_str());
    ASSERT_TRUE(las.GetHeader()) << in;
    FilePtr f = openFile(out.c_str(), "wb");
    CLASCompressor c;
    c.setThreads(threads);
    c.CompressLASFile(f.get(), &las);
}

// Returns the chunk counts seen by the progress callback.
std::vector<uint64_t> decompress(const std::string& in, const std::string& out, int threads) {
    FilePtr f = openFile(in.c_str(), "rb");
    EXPECT_TRUE(f) << in;
    CLASFile_C las;
    las.SetPath(out.c_str());
    CLASCompressor c;
    c.setThreads(threads);
    std::vector<uint64_t> done;
    c.onChunk = [&](uint64_t points, uint64_t) { done.push_back(points); };
    std::ostringstream sink; // the decoder's GPS time lines
    std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
    try {
        c.DecompressLASFile(f.get(), &las);
    } catch (...) {
        std::cout.rdbuf(old);
        throw;
    }
    std::cout.rdbuf(old);
    return done;
}

TEST(ParallelCoding, SameBytesAsOneThreadAndDamageStillThrows) {
    TempDir dir;
    const std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{2000001, 1, 6}); // two chunks
    compress(las, dir.file("one.lasc"), 1);
    compress(las, dir.file("two.lasc"), 2);
    const auto packed = readBytes(dir.file("one.lasc"));
    EXPECT_TRUE(packed == readBytes(dir.file("two.lasc")));

    EXPECT_EQ(decompress(dir.file("two.lasc"), dir.file("back.las"), 2),
              (std::vector<uint64_t>{1000000, 2000001}));
    EXPECT_TRUE(readBytes(dir.file("back.las")) == readBytes(las));

    // Cut in the second chunk: the first is being written when decoding fails.
    writeBytes(dir.file("cut.lasc"), packed, packed.size() * 3 / 4);
    EXPECT_THROW(decompress(dir.file("cut.lasc"), dir.file("cut.las"), 2), CLasException);
    // Cut in the first chunk: nothing is handed on at all.
    writeBytes(dir.file("short.lasc"), packed, packed.size() / 4);
    EXPECT_THROW(decompress(dir.file("short.lasc"), dir.file("short.las"), 2), CLasException);
}

} // namespace
