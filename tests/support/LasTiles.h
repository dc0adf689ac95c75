#pragma once
// Test support: a LAS file cut into adjacent tiles as surveys are delivered, each tile keeping the
// records' order, header and variable-length records of the whole, with its own point count, bounds and
// counts by return.
#include "LASHeader.h"
#include "TempDir.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

struct LasBytes {
    LASHeader header;
    std::vector<unsigned char> head;    // everything before the point records
    std::vector<unsigned char> records; // header.NumberOfPointRecords records

    static LasBytes read(const std::string& path) {
        LasBytes f;
        const auto bytes = readBytes(path);
        if (bytes.size() < size_t(LASHeader::BlockSize))
            throw std::runtime_error(path + ": too short for a LAS header");
        f.header.copyFromBuffer(bytes.data());
        const size_t start = f.header.OffsetToPointData, size = f.header.PointDataBytes();
        if (start + size > bytes.size())
            throw std::runtime_error(path + ": truncated");
        f.head.assign(bytes.begin(), bytes.begin() + long(start));
        f.records.assign(bytes.begin() + long(start), bytes.begin() + long(start + size));
        return f;
    }
    uint32_t count() const { return header.NumberOfPointRecords; }
    const unsigned char* record(uint32_t i) const {
        return &records[size_t(i) * header.PointDataRecordLength];
    }
    int32_t raw(uint32_t i, int axis) const {
        int32_t v;
        std::memcpy(&v, record(i) + 4 * axis, 4);
        return v;
    }

    // The records `which`, in that order, under this file's head with the count, bounds and counts by
    // return (return number 1 to 5) of those records, or under the head as it is.
    void write(const std::string& path, const std::vector<uint32_t>& which, bool keepHead = false) const {
        LASHeader h = header;
        h.NumberOfPointRecords = uint32_t(which.size());
        std::fill(std::begin(h.NumberOfPointsByReturn), std::end(h.NumberOfPointsByReturn), 0u);
        int32_t lo[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, hi[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
        std::vector<unsigned char> out(head);
        out.reserve(head.size() + which.size() * header.PointDataRecordLength);
        for (uint32_t i : which) {
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], raw(i, a));
                hi[a] = std::max(hi[a], raw(i, a));
            }
            const int ret = record(i)[14] & 7;
            if (ret >= 1 && ret <= 5)
                ++h.NumberOfPointsByReturn[ret - 1];
            out.insert(out.end(), record(i), record(i) + header.PointDataRecordLength);
        }
        if (keepHead) {
            writeBytes(path, out);
            return;
        }
        if (!which.empty()) {
            h.Min_X = lo[0] * h.ScaleFactor_X + h.OffsetX, h.Max_X = hi[0] * h.ScaleFactor_X + h.OffsetX;
            h.Min_Y = lo[1] * h.ScaleFactor_Y + h.OffsetY, h.Max_Y = hi[1] * h.ScaleFactor_Y + h.OffsetY;
            h.Min_Z = lo[2] * h.ScaleFactor_Z + h.OffsetZ, h.Max_Z = hi[2] * h.ScaleFactor_Z + h.OffsetZ;
        }
        h.copyToBuffer(out.data());
        writeBytes(path, out);
    }
};

// Tile of each record in a grid of nx columns by ny rows that meet without gaps: the columns cut x at
// quantiles of the records, each column's rows cut y at quantiles of its own records, so that tiles hold
// about equal counts. Cuts are half-open: a record on a cut goes to the tile above it. Tiles are numbered
// column by column.
inline std::vector<int> gridTiles(const LasBytes& f, int nx, int ny) {
    auto cuts = [&](std::vector<uint32_t> members, int axis, int parts) {
        std::vector<int32_t> values;
        for (uint32_t i : members)
            values.push_back(f.raw(i, axis));
        std::sort(values.begin(), values.end());
        std::vector<int32_t> out;
        for (int p = 1; p < parts; ++p)
            out.push_back(values[values.size() * size_t(p) / size_t(parts)]);
        return out;
    };
    auto part = [](const std::vector<int32_t>& c, int32_t v) {
        return int(std::upper_bound(c.begin(), c.end(), v) - c.begin());
    };
    std::vector<uint32_t> all(f.count());
    for (uint32_t i = 0; i < f.count(); ++i)
        all[i] = i;
    const auto xCuts = cuts(all, 0, nx);
    std::vector<std::vector<uint32_t>> columns(static_cast<size_t>(nx));
    for (uint32_t i : all)
        columns[size_t(part(xCuts, f.raw(i, 0)))].push_back(i);
    std::vector<int> tile(f.count());
    for (int c = 0; c < nx; ++c) {
        const auto yCuts = cuts(columns[size_t(c)], 1, ny);
        for (uint32_t i : columns[size_t(c)])
            tile[i] = c * ny + part(yCuts, f.raw(i, 1));
    }
    return tile;
}

// The records of each tile in input order.
inline std::vector<std::vector<uint32_t>> tileMembers(const std::vector<int>& tile, int tiles) {
    std::vector<std::vector<uint32_t>> out(static_cast<size_t>(tiles));
    for (uint32_t i = 0; i < tile.size(); ++i)
        out[size_t(tile[i])].push_back(i);
    return out;
}

// Writes the tiles of `in` as `prefix`1.las, `prefix`2.las, ... and returns their paths.
inline std::vector<std::string> splitIntoTiles(const std::string& in, int nx, int ny,
                                               const std::string& prefix) {
    const LasBytes f = LasBytes::read(in);
    std::vector<std::string> paths;
    int k = 0;
    for (const auto& members : tileMembers(gridTiles(f, nx, ny), nx * ny)) {
        paths.push_back(prefix + std::to_string(++k) + ".las");
        f.write(paths.back(), members);
    }
    return paths;
}
