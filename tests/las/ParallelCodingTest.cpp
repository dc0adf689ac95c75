// Compression and decompression on several threads (fields coded side by side; a chunk rebuilt and
// written while the next is decoded): the same bytes as on one thread, and damage still ends in an
// exception with nothing left running. Also built under ThreadSanitizer.
#include "SyntheticScene.h"
#include "support/CodecFiles.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

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

} // namespace
