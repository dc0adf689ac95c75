#pragma once
// The raw X, Y, Z of every point record of a LAS file, sorted: what a complete retrieval must hold.
#include "LASHeader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

using RawPoint = std::tuple<int32_t, int32_t, int32_t>;

inline std::vector<RawPoint> rawPointsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    LASHeader h;
    h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
    std::vector<RawPoint> out;
    for (uint32_t i = 0; i < h.NumberOfPointRecords; ++i) {
        int32_t xyz[3];
        std::memcpy(xyz, bytes.data() + h.OffsetToPointData + size_t(i) * h.PointDataRecordLength, 12);
        out.emplace_back(xyz[0], xyz[1], xyz[2]);
    }
    std::sort(out.begin(), out.end());
    return out;
}
