#pragma once
// Compressing and decompressing whole files in tests, with the decoder's GPS time lines switched off.
#include "CLASCompressor.h"
#include "FileHandle.h"
#include "LasLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline void compressFile(const std::string& in, const std::string& out, int threads = 1) {
    CLASFile_C las(in.c_str());
    ASSERT_TRUE(las.GetHeader()) << in;
    FilePtr f = openFile(out.c_str(), "wb");
    CLASCompressor c;
    c.setThreads(threads);
    c.CompressLASFile(f.get(), &las);
}

// Returns the point counts the progress callback saw after each chunk.
inline std::vector<uint64_t> decompressFile(const std::string& in, const std::string& out, int threads = 1) {
    FilePtr f = openFile(in.c_str(), "rb");
    EXPECT_TRUE(f) << in;
    CLASFile_C las;
    las.SetPath(out.c_str());
    CLASCompressor c;
    c.setThreads(threads);
    std::vector<uint64_t> done;
    c.onChunk = [&](uint64_t points, uint64_t) { done.push_back(points); };
    LasLogTo quiet(nullptr);
    c.DecompressLASFile(f.get(), &las);
    return done;
}
