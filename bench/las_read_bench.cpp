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
    const uint64_t chunk = 1000000; // points per GetPoints call, as a streaming consumer would ask

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

    double best[2] = {1e30, 1e30};
    uint64_t check = 0;
    for (int rep = 0; rep < 3; ++rep) {
        best[0] = std::min(best[0], seconds([&] { check += plainRead(); }));
        best[1] = std::min(best[1], seconds([&] {
                               for (uint64_t s = 0; s < n; s += chunk) {
                                   LASPoint** p = las.GetPoints(s, std::min(chunk, n - s));
                                   check += p[0]->GetIntensity();
                                   CLASFile::FreePointArray(p);
                               }
                           }));
    }
    const double freadRate = n / best[0], getRate = n / best[1];
    std::printf("LAS bulk read: %llu points, format %d, %.0f MB\n", (unsigned long long)n, las.PointDataFormatID,
                bytes / 1e6);
    std::printf("  baseline fread of the same bytes: %.1f M points/s (%.0f MB/s)\n", freadRate / 1e6,
                bytes / best[0] / 1e6);
    std::printf("  CLASFile::GetPoints:              %.1f M points/s\n", getRate / 1e6);
    std::printf("  ratio GetPoints / fread: %.2f (target >= 0.50)\n", getRate / freadRate);
    static volatile uint64_t keep; // the reads must not be optimised away
    keep = check;
    return 0;
}
