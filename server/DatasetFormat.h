#pragma once
// What import and serving must compute identically: a record's world coordinate and its grid cell.
// Serving relies on both being the same functions of the same bytes, so that cells strictly inside a
// query rectangle need no per-point test.
#include "DatasetFiles.h"
#include "LASPointData.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Raw coordinate of axis a (0 X, 1 Y, 2 Z) of a LAS record starting at `record`.
inline int32_t rawCoord(const unsigned char* record, int a) {
    return las_detail::loadLE<int32_t>(record + las_detail::kRecordX + 4 * a);
}

// World coordinate of axis a (0 X, 1 Y, 2 Z) of a LAS record starting at `record`.
inline double worldCoord(const unsigned char* record, int a, double scale, double offset) {
    return double(rawCoord(record, a)) * scale + offset;
}

// Cell column (or row) of coordinate v in a grid of n cells of `size` from `origin`; values beyond either
// end fall into the end cells. Non-decreasing in v.
inline uint32_t cellCoord(double v, double origin, double size, uint32_t n) {
    double c = std::floor((v - origin) / size);
    if (!(c >= 0))
        return 0;
    return c >= double(n - 1) ? n - 1 : uint32_t(c);
}

// Cell of a level's grid, numbered row by row, holding world x, y.
inline uint64_t gridCell(const DatasetLevel& g, double x, double y) {
    return uint64_t(cellCoord(y, g.originY, g.cell, g.gridY)) * g.gridX +
           cellCoord(x, g.originX, g.cell, g.gridX);
}

// Key that orders a record by world X within its cell: raw X biased to sort as unsigned, inverted where
// the scale is negative.
inline uint32_t xOrderKey(const unsigned char* record, double scaleX) {
    return uint32_t(rawCoord(record, 0)) ^ (scaleX > 0 ? 0x80000000u : 0x7fffffffu);
}

// 64-bit checksum of a data set's files: computed as the import writes them, compared when they are served
// or verified. Four independent multiply-rotate lanes over 32-byte stripes keep it near memory speed on
// level files of gigabytes; every lane step is a bijection of its word, so a change of one word always
// changes its lane. Fed in pieces of any size, it gives the checksum of their concatenation.
class Checksum64 {
public:
    void update(const void* data, size_t size) {
        if (size == 0)
            return; // an empty file's mapping is null, which memcpy may not be given
        auto p = static_cast<const unsigned char*>(data);
        total_ += size;
        if (pending_ > 0) {
            const size_t n = size < kStripe - pending_ ? size : kStripe - pending_;
            std::memcpy(buffer_ + pending_, p, n);
            pending_ += n;
            p += n;
            size -= n;
            if (pending_ < kStripe)
                return;
            stripe(buffer_);
            pending_ = 0;
        }
        for (; size >= kStripe; p += kStripe, size -= kStripe)
            stripe(p);
        std::memcpy(buffer_, p, size);
        pending_ = size;
    }

    uint64_t digest() const {
        uint64_t h = total_ * K1;
        for (uint64_t lane : lane_)
            h = rotl(h ^ step(0, lane), 27) * K1 + K2;
        size_t i = 0;
        for (; i + 8 <= pending_; i += 8)
            h = rotl(h ^ step(0, load64(buffer_ + i)), 29) * K1 + K2;
        for (; i < pending_; ++i)
            h = rotl(h ^ (buffer_[i] * K3), 11) * K1;
        h = (h ^ (h >> 30)) * K2; // final avalanche: every input bit reaches every output bit
        h = (h ^ (h >> 27)) * K3;
        return h ^ (h >> 31);
    }

private:
    static constexpr size_t kStripe = 32;
    static constexpr uint64_t K1 = 0x9E3779B97F4A7C15ull, K2 = 0xBF58476D1CE4E5B9ull,
                              K3 = 0x94D049BB133111EBull;
    static uint64_t rotl(uint64_t v, int r) { return v << r | v >> (64 - r); }
    static uint64_t load64(const unsigned char* p) {
        uint64_t v = 0;
        for (int k = 7; k >= 0; --k)
            v = v << 8 | p[k];
        return v;
    }
    static uint64_t step(uint64_t acc, uint64_t word) { return rotl(acc + word * K2, 31) * K1; }
    void stripe(const unsigned char* p) {
        for (int k = 0; k < 4; ++k)
            lane_[k] = step(lane_[k], load64(p + 8 * k));
    }

    uint64_t lane_[4] = {K1 + K2, K2, 0, K3};
    unsigned char buffer_[kStripe] = {};
    size_t pending_ = 0;
    uint64_t total_ = 0;
};

inline uint64_t checksum64(const void* data, size_t size) {
    Checksum64 c;
    c.update(data, size);
    return c.digest();
}
