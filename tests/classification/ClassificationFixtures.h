#pragma once
// Point sets with known surfaces, scores of a classification against them, and LAS files and local
// tree directories written the way the real ones are.
#include "ClassificationLog.h"
#include "GeometryTypes.h"
#include "LASHeader.h"
#include "LODTreeNodeHeader.h"
#include "PointNormals.h"
#include "QueryHandler.h"
#include "support/TempDir.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <tuple>
#include <vector>

// Points with the surface each belongs to (-1: none, like a tree's returns).
struct Scene {
    std::vector<GLVector3d> positions;
    std::vector<GLVector3f> normals;
    std::vector<int> labels;
    std::mt19937_64 rng{12345};

    void add(double x, double y, double z, int label, GLVector3f n = {0, 0, 1}) {
        positions.push_back({x, y, z});
        normals.push_back(n);
        labels.push_back(label);
    }
    double noise(double sigma) { return std::normal_distribution<double>(0, sigma)(rng); }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    // A jittered grid of spacing s over [x0, x1] x [y0, y1] on z = f(x, y) plus noise.
    template <typename F>
    void surface(double x0, double x1, double y0, double y1, double s, double sigma, int label, F f) {
        for (double x = x0; x <= x1; x += s)
            for (double y = y0; y <= y1; y += s) {
                const double px = x + uniform(-0.3, 0.3) * s, py = y + uniform(-0.3, 0.3) * s;
                add(px, py, f(px, py) + noise(sigma), label);
            }
    }
    // Normals as the point server fits them: 16 neighbours, facing up.
    void fitNormals() {
        std::vector<double> xyz;
        for (const auto& p : positions)
            xyz.insert(xyz.end(), {p.x, p.y, p.z});
        std::vector<float> n(xyz.size());
        computeNormals(xyz.data(), positions.size(), 16, n.data(), 1);
        for (size_t i = 0; i < normals.size(); ++i)
            normals[i] = {n[3 * i], n[3 * i + 1], n[3 * i + 2]};
    }
    std::unique_ptr<QueryHandler> handler() const {
        return std::make_unique<QueryHandler>(positions, normals);
    }
};

struct Score {
    double purity = 0;          // of the classified points, the share in a surface of their majority label
    double completeness = 1;    // the worst label's share in its largest surface
    int surfaces = 0;           // with points of a labelled surface in them
    double strayClassified = 0; // share of the label -1 points that ended in a surface
};

inline Score score(const std::vector<int>& labels, const std::vector<int32_t>& classes) {
    std::map<int32_t, std::map<int, size_t>> bySurface;
    std::map<int, std::map<int32_t, size_t>> byLabel;
    size_t classified = 0, stray = 0, strayIn = 0, majority = 0;
    for (size_t i = 0; i < labels.size(); ++i) {
        stray += labels[i] < 0, strayIn += labels[i] < 0 && classes[i] != 0;
        ++byLabel[labels[i]][classes[i]];
        if (classes[i] != 0)
            ++classified, ++bySurface[classes[i]][labels[i]];
    }
    Score s;
    for (auto& [c, counts] : bySurface) {
        size_t best = 0;
        for (auto& [l, n] : counts)
            best = l >= 0 ? std::max(best, n) : best;
        majority += best, s.surfaces += best > 0;
    }
    s.purity = classified ? double(majority) / double(classified) : 0;
    for (auto& [l, counts] : byLabel) {
        size_t best = 0, size = 0;
        for (auto& [c, n] : counts)
            size += n, best = c != 0 ? std::max(best, n) : best;
        if (l >= 0)
            s.completeness = std::min(s.completeness, double(best) / double(size));
    }
    s.strayClassified = stray ? double(strayIn) / double(stray) : 0;
    return s;
}

// The record of point i: raw coordinates (metres / 0.01), other bytes that differ from point to point.
inline std::vector<unsigned char> record(const GLVector3d& p, uint32_t i, int length) {
    std::vector<unsigned char> r(size_t(length), 0);
    const int32_t xyz[3] = {int32_t(std::lround(p.x * 100)), int32_t(std::lround(p.y * 100)),
                            int32_t(std::lround(p.z * 100))};
    std::memcpy(r.data(), xyz, 12);
    for (int b = 12; b < length; ++b)
        r[size_t(b)] = uint8_t(i * 31 + b * 7);
    return r;
}

// A LAS 1.2 header block for the scene's points, scale 0.01, with `after` bytes and `records` variable
// length records before the points; `length` receives the record length.
inline std::vector<unsigned char> lasHeader(const Scene& s, int format, int recordExtra, uint32_t after,
                                            uint32_t records, int& length) {
    LASHeader h;
    std::memcpy(h.FileSignature, "LASF", 4);
    h.VersionMajor = 1, h.VersionMinor = 2, h.HeaderSize = 227, h.OffsetToPointData = 227 + after;
    h.NumberOfVariableLengthRecords = records, h.PointDataFormatID = uint8_t(format);
    length = h.PointDataRecordLength = uint16_t((format & 1 ? 28 : 20) + (format & 2 ? 6 : 0) + recordExtra);
    h.NumberOfPointRecords = h.NumberOfPointsByReturn[0] = uint32_t(s.positions.size());
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = 0.01;
    h.OffsetX = 500000, h.OffsetY = 4000000, h.OffsetZ = 0;
    h.Max_X = h.Max_Y = h.Max_Z = 1;
    std::vector<unsigned char> bytes(227);
    h.copyToBuffer(bytes.data());
    return bytes;
}

// A LAS file of the scene's points with `gap` bytes between the header and the points.
inline void writeLas(const std::string& path, const Scene& s, int format, int recordExtra = 0,
                     uint32_t gap = 0) {
    int length = 0;
    auto bytes = lasHeader(s, format, recordExtra, gap, 0, length);
    for (uint32_t i = 0; i < gap; ++i)
        bytes.push_back(uint8_t(0xA0 + i));
    for (uint32_t i = 0; i < s.positions.size(); ++i) {
        auto r = record(s.positions[i], i, length);
        bytes.insert(bytes.end(), r.begin(), r.end());
    }
    writeBytes(path, bytes);
}

// A local tree directory as pontaro-tree leaves it: "header" (the LAS header, an unrelated record and
// the QUMA bounds record), per node "points" (node header, records) and "normals" (scaled). Node n
// takes the scene's points [first, last).
struct TreeNodeRange {
    std::string suffix;
    size_t first, last;
};
inline void writeTree(const std::string& dir, const Scene& s, const std::vector<TreeNodeRange>& nodes,
                      int format = 1, float normalScale = 2.5f) {
    int length = 0;
    auto bytes = lasHeader(s, format, 0, 2 * 54 + 5 + 32, 2, length);
    const double bounds[4] = {0, 1e6, 0, 1e6};
    for (auto [user, id, data, size] : {std::tuple("other", 7, (const void*)"\1\2\3\4\5", 5),
                                        std::tuple("QUMA", 1, (const void*)bounds, 32)}) {
        unsigned char rh[54] = {};
        std::memcpy(rh + 2, user, std::strlen(user));
        rh[18] = uint8_t(id), rh[20] = uint8_t(size);
        bytes.insert(bytes.end(), rh, rh + 54);
        bytes.insert(bytes.end(), (const unsigned char*)data, (const unsigned char*)data + size);
    }
    writeBytes(dir + "/header", bytes);
    for (const TreeNodeRange& n : nodes) {
        LODTreeNodeHeader nh;
        nh.numPoints = uint32_t(n.last - n.first);
        FILE* f = std::fopen((dir + "/points" + n.suffix).c_str(), "wb");
        if (!f || !nh.write(f))
            throw std::runtime_error("cannot write a node header");
        std::vector<float> normals;
        for (size_t i = n.first; i < n.last; ++i) {
            auto r = record(s.positions[i], uint32_t(i), length);
            std::fwrite(r.data(), 1, r.size(), f);
            const GLVector3f& v = s.normals[i];
            normals.insert(normals.end(), {v.x * normalScale, v.y * normalScale, v.z * normalScale});
        }
        std::fclose(f);
        const auto* nb = reinterpret_cast<const unsigned char*>(normals.data());
        writeBytes(dir + "/normals" + n.suffix, std::vector<unsigned char>(nb, nb + normals.size() * 4));
    }
}

// What the classification prints while it lives.
struct CapturedLog {
    std::ostringstream text;
    CapturedLog() { setClassificationLog(&text); }
    ~CapturedLog() { setClassificationLog(&std::cout); }
    bool has(const std::string& s) const { return text.str().find(s) != std::string::npos; }
};

// A gable roof over flat ground with a wall and scattered returns: labels 0 ground, 1 and 2 the roof's
// sides, 3 the wall.
inline Scene smallSettlement() {
    Scene s, g;
    g.surface(0, 30, 0, 30, 0.7, 0.01, 0, [](double, double) { return 0.0; });
    for (const GLVector3d& p : g.positions)
        if (!(p.x > 8 && p.x < 22 && p.y > 8 && p.y < 22))
            s.add(p.x, p.y, p.z, 0);
    s.rng = g.rng;
    s.surface(9, 14.8, 9, 21, 0.5, 0.01, 1, [](double x, double) { return 6 + 0.7 * (x - 9); });
    s.surface(15.2, 21, 9, 21, 0.5, 0.01, 2, [](double x, double) { return 6 + 0.7 * (21 - x); });
    for (double y = 9; y <= 21; y += 0.5)
        for (double z = 0.5; z < 5.5; z += 0.5)
            s.add(8.6 + s.noise(0.01), y + s.uniform(-0.1, 0.1), z, 3);
    for (int i = 0; i < 150; ++i)
        s.add(s.uniform(23, 29), s.uniform(1, 7), s.uniform(2, 9), -1);
    s.fitNormals();
    return s;
}
