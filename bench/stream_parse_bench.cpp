// The viewer's point-stream parser (records with normals filed into tiles, fed in libcurl-sized chunks)
// against a plain memcpy of the same bytes, in the same run, with the page faults each takes: the first
// round files into fresh tile memory, as a viewer does, later ones into memory the tiles gave back.
#include "LASHeader.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "ServerRetriever.h"
#include "SplatTile.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <sstream>
#include <vector>

namespace {
long pageFaults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt + u.ru_majflt;
}
} // namespace

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

    // Seconds and page faults of one call.
    struct Run {
        double seconds;
        long faults;
    };
    auto measure = [](auto&& fn) {
        const long f0 = pageFaults();
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        return Run{s, pageFaults() - f0};
    };
    Run first{}, parse{1e9, 0}, copy{1e9, 0};
    for (int round = 0; round < 3; ++round) {
        std::vector<SplatTile> tiles(grid.getNumberOfTiles());
        const size_t room = size_t(points) / tiles.size() * 2;
        for (auto& t : tiles) {
            t.splats.reserve(room);
            t.colors.reserve(room);
            t.attributes.reserve(room);
        }
        LODRequest request;
        request.grid = &grid;
        request.splatTiles = &tiles;
        for (uint32_t t = 0; t < grid.getNumberOfTiles(); ++t)
            request.tiles.insert(t);
        resetPointStream();
        const Run p = measure([&] {
            for (size_t at = 0; at < reply.size(); at += chunk)
                stream_writePointsLODNormals(reinterpret_cast<char*>(reply.data()) + at, 1,
                                             std::min(chunk, reply.size() - at), &request);
        });
        if (round == 0)
            first = p;
        if (p.seconds < parse.seconds)
            parse = p;
        std::vector<unsigned char> dest(reply.size());
        const Run c = measure([&] {
            for (size_t at = 0; at < reply.size(); at += chunk)
                std::memcpy(dest.data() + at, reply.data() + at, std::min(chunk, reply.size() - at));
        });
        if (c.seconds < copy.seconds)
            copy = c;
        if (request.numSplats != points)
            return std::fprintf(stderr, "filed %u of %u points\n", request.numSplats, points), 1;
    }
    const double mb = double(reply.size()) / 1e6;
    const double million = points / 1e6;
    std::printf(
        "point-stream parser: %u points in %u tiles, %.0f points/s, %.0f MB/s; memcpy of the same bytes "
        "%.0f MB/s; ratio %.2f\n",
        points, grid.getNumberOfTiles(), points / parse.seconds, mb / parse.seconds, mb / copy.seconds,
        copy.seconds / parse.seconds);
    std::printf(
        "point-stream parser: first round (fresh tile memory) %.0f points/s, ratio %.2f, %.0f page faults "
        "per million points; best round %.0f; memcpy into a written buffer %.0f\n",
        points / first.seconds, copy.seconds / first.seconds, first.faults / million, parse.faults / million,
        copy.faults / million);
    return 0;
}
