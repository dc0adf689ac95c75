// Bulk read rate of CLASFile::GetPoints against a plain fread of the same bytes, in the same run.
#include "CLASFile.h"
#include "SyntheticScene.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <vector>

namespace {

double seconds(auto&& fn) {
    auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "bench-data";
    const uint64_t points = argc > 2 ? std::stoull(argv[2]) : 10000000;
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/read-bench-" + std::to_string(points) + ".las";
    if (!std::filesystem::exists(path)) {
        std::cerr << "generating " << path << "...\n";
        writeSyntheticLAS(path, SynthOptions{points, 1, 7});
    }
    CLASFile las;
    if (!las.OpenFile(path.c_str())) {
        std::cerr << "cannot open " << path << "\n";
        return 1;
    }
    const uint64_t n = las.NumberOfPointRecords, recLen = las.PointDataRecordLength;
    const uint64_t bytes = n * recLen;

    // Warm the page cache so both sides read from memory.
    std::vector<unsigned char> block(1 << 20);
    auto plainRead = [&] {
        FILE* f = std::fopen(path.c_str(), "rb");
        fseeko(f, las.OffsetToPointData, SEEK_SET);
        uint64_t left = bytes, sum = 0;
        while (left) {
            size_t want = size_t(std::min<uint64_t>(left, block.size()));
            size_t got = std::fread(block.data(), 1, want, f);
            if (got == 0)
                break;
            sum += block[got - 1];
            left -= got;
        }
        std::fclose(f);
        return sum;
    };
    plainRead();

    // A streaming consumer asks for a chunk, uses it and frees it; two chunk sizes show the effect of the
    // working set: 65,536 points stay in cache, 1,000,000 points (48 MB of records) do not.
    const uint64_t chunks[] = {65536, 1000000};
    double bestRead = 1e30, bestGet[2] = {1e30, 1e30};
    uint64_t check = 0;
    for (int rep = 0; rep < 3; ++rep) {
        bestRead = std::min(bestRead, seconds([&] { check += plainRead(); }));
        for (int c = 0; c < 2; ++c)
            bestGet[c] = std::min(bestGet[c], seconds([&] {
                                      for (uint64_t s = 0; s < n; s += chunks[c]) {
                                          LASPoint** p = las.GetPoints(s, std::min(chunks[c], n - s));
                                          check += p[0]->GetIntensity();
                                          CLASFile::FreePointArray(p);
                                      }
                                  }));
    }
    const double freadRate = n / bestRead;
    std::printf("LAS bulk read: %llu points, format %d, %.0f MB\n", (unsigned long long)n, las.PointDataFormatID,
                bytes / 1e6);
    std::printf("  baseline fread of the same bytes:        %6.1f M points/s (%.0f MB/s)\n", freadRate / 1e6,
                bytes / bestRead / 1e6);
    for (int c = 0; c < 2; ++c) {
        const double rate = n / bestGet[c];
        std::printf("  GetPoints in chunks of %7llu points: %6.1f M points/s, ratio to fread %.2f (target >= 0.50)\n",
                    (unsigned long long)chunks[c], rate / 1e6, rate / freadRate);
    }
    if (check == 0)
        std::printf("(no data read)\n");
    return 0;
}
