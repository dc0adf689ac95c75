// The viewer's point-stream parser (records with normals filed into tiles, fed in libcurl-sized chunks)
// against a plain memcpy of the same bytes, in the same run.
#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "ServerRetriever.h"
#include "SplatTile.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

int main(int argc, char** argv) {
    const uint32_t points = argc > 1 ? uint32_t(std::stoul(argv[1])) : 10000000u;
    const int recordLength = 34; // format 3
    const size_t wire = recordLength + 12;
    LASHeader h;
    h.NumberOfPointRecords = points;
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.Max_X = 2000;
    h.Max_Y = 2000;
    h.Max_Z = 100;
    std::ostringstream quiet;
    std::streambuf* old = std::cout.rdbuf(quiet.rdbuf());
    LODGrid grid(&h);
    std::cout.rdbuf(old);

    std::vector<unsigned char> reply(size_t(points) * wire);
    std::mt19937 rng(1);
    for (uint32_t i = 0; i < points; ++i) {
        unsigned char* r = &reply[size_t(i) * wire];
        const int32_t xyz[3] = {int32_t(rng() % 200000), int32_t(rng() % 200000), int32_t(rng() % 10000)};
        std::memcpy(r, xyz, 12);
        const float n[3] = {0, 0, 1};
        std::memcpy(r + recordLength, n, 12);
    }
    pointSize = recordLength;
    pointFormat = 3;
    StreamReaders::loadColors = true;
    const size_t chunk = 16384; // what libcurl hands a write callback at a time

    auto seconds = [](auto&& fn) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    double parse = 1e9, copy = 1e9;
    for (int round = 0; round < 3; ++round) {
        std::vector<SplatTile> tiles(grid.getNumberOfTiles());
        for (auto& t : tiles) {
            t.splats.reserve(size_t(points) / tiles.size() * 2);
            t.colors.reserve(size_t(points) / tiles.size() * 2);
        }
        LODRequest request;
        request.grid = &grid;
        request.splatTiles = &tiles;
        for (uint32_t t = 0; t < grid.getNumberOfTiles(); ++t)
            request.tiles.insert(t);
        resetPointStream();
        parse = std::min(parse, seconds([&] {
                             for (size_t at = 0; at < reply.size(); at += chunk)
                                 stream_writePointsLODNormals(reinterpret_cast<char*>(reply.data()) + at, 1,
                                                              std::min(chunk, reply.size() - at), &request);
                         }));
        std::vector<unsigned char> dest(reply.size());
        copy = std::min(copy, seconds([&] {
                            for (size_t at = 0; at < reply.size(); at += chunk)
                                std::memcpy(dest.data() + at, reply.data() + at, std::min(chunk, reply.size() - at));
                        }));
        if (request.numSplats != points)
            return std::fprintf(stderr, "filed %u of %u points\n", request.numSplats, points), 1;
    }
    const double mb = double(reply.size()) / 1e6;
    std::printf("point-stream parser: %u points in %u tiles, %.0f points/s, %.0f MB/s; memcpy of the same bytes "
                "%.0f MB/s; ratio %.2f\n",
                points, grid.getNumberOfTiles(), points / parse, mb / parse, mb / copy, copy / parse);
    return 0;
}
