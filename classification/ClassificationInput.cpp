#include "ClassificationInput.h"

#include "CLASReader.h"
#include "CLasException.h"
#include "FileHandle.h"
#include "LODTree.h"
#include "LODTreeNodeHeader.h"
#include "PointNormals.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

struct RawPoints {
    std::vector<int32_t> xyz; // three per point
    int32_t min[3] = {std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::max(),
                      std::numeric_limits<int32_t>::max()};

    void add(const unsigned char* record) {
        for (int a = 0; a < 3; ++a) {
            int32_t v;
            std::memcpy(&v, record + 4 * a, 4);
            xyz.push_back(v);
            min[a] = std::min(min[a], v);
        }
    }
    // Differences of raw integers are exact in double precision; one rounding for the scale.
    std::vector<GLVector3d> positions(const LASHeader& h) const {
        const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
        std::vector<GLVector3d> out(xyz.size() / 3);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = {(double(xyz[3 * i]) - min[0]) * scale[0], (double(xyz[3 * i + 1]) - min[1]) * scale[1],
                      (double(xyz[3 * i + 2]) - min[2]) * scale[2]};
        return out;
    }
};

void checkScale(const LASHeader& h, const std::string& path) {
    for (double s : {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z})
        if (!(s > 0) || !std::isfinite(s))
            throw std::runtime_error(path + ": scale factors must be positive");
}

int64_t sizeOf(const fs::path& p) {
    std::error_code ec;
    const auto s = fs::file_size(p, ec);
    return ec ? -1 : int64_t(s);
}

bool isNodeSuffix(const std::string& s) {
    if (s.size() % 2 != 0 || s.size() / 2 > 30)
        return false;
    for (size_t i = 0; i < s.size(); i += 2)
        if (s[i] != '-' || s[i + 1] < '1' || s[i + 1] > '4')
            return false;
    return true;
}

} // namespace

ClassificationInput readLASInput(const std::string& path, unsigned threads, const InputProgress& progress) {
    ClassificationInput in;
    in.path = path;
    FilePtr f = openFile(path.c_str(), "rb");
    if (!f)
        throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    LASHeader& h = in.header;
    if (!h.Read(f.get()))
        throw std::runtime_error(path + ": not a readable LAS header (" + h.lastMessage + ")");
    const int64_t size = lasFileSize(f.get());
    std::string why;
    if (size < 0 || !h.CheckPointData(uint64_t(size), &why))
        throw std::runtime_error(path + ": " + (size < 0 ? std::string("cannot tell its size") : why));
    f.reset();
    checkScale(h, path);

    const uint64_t n = h.NumberOfPointRecords, record = h.PointDataRecordLength;
    const uint64_t block = std::max<uint64_t>(1, (4u << 20) / record);
    std::vector<unsigned char> buffer(std::min(block, std::max<uint64_t>(n, 1)) * record);
    RawPoints raw;
    raw.xyz.reserve(3 * n);
    for (uint64_t first = 0; first < n; first += block) {
        const uint64_t count = std::min(block, n - first);
        try {
            CLASReader::ReadPoints(path.c_str(), buffer.data(), h.OffsetToPointData + first * record,
                                   uint32_t(record), count, record);
        } catch (const CLasException& e) {
            throw std::runtime_error(path + ": cannot read the point records (" + e.what() + ")");
        }
        for (uint64_t i = 0; i < count; ++i)
            raw.add(buffer.data() + i * record);
        if (progress)
            progress("reading", first + count, n);
    }
    in.positions = raw.positions(h);
    in.normals.assign(n, GLVector3f{0, 0, 0});
    if (n > 0) {
        // Absolute world coordinates, exactly as the server's import computes them, so that the normals
        // are the ones it serves.
        const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
        const double offset[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
        std::vector<double> world(3 * n);
        for (uint64_t i = 0; i < 3 * n; ++i)
            world[i] = double(raw.xyz[i]) * scale[i % 3] + offset[i % 3];
        raw.xyz = {};
        std::vector<float> normals(3 * n);
        computeNormals(std::move(world), CLASSIFICATION_NORMAL_NEIGHBOURS, normals.data(), threads,
                       [&](size_t done, size_t total) {
                           if (progress)
                               progress("normals", done, total);
                       });
        for (uint64_t i = 0; i < n; ++i)
            in.normals[i] = {normals[3 * i], normals[3 * i + 1], normals[3 * i + 2]};
    }
    return in;
}

ClassificationInput readTreeInput(const std::string& directory, const InputProgress& progress) {
    ClassificationInput in;
    in.path = directory;
    in.isTree = true;
    std::string dir = directory;
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    try {
        LODTree::retrieveTreeBounds(dir, &in.header);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string(e.what()) + " (is " + directory + " a local tree directory?)");
    }
    const LASHeader& h = in.header;
    checkScale(h, dir + "header");
    const uint64_t record = h.PointDataRecordLength;
    if (record < 12)
        throw std::runtime_error(dir + "header: point record length " + std::to_string(record) +
                                 " is too short");

    std::error_code ec;
    for (const auto& e : fs::directory_iterator(directory, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("points", 0) == 0 && isNodeSuffix(name.substr(6)))
            in.nodes.push_back(TreeNodeEntry{name.substr(6), 0});
    }
    if (ec)
        throw std::runtime_error("cannot list " + directory + ": " + ec.message());
    std::sort(in.nodes.begin(), in.nodes.end(),
              [](const auto& a, const auto& b) { return a.suffix < b.suffix; });

    uint64_t total = 0;
    for (TreeNodeEntry& node : in.nodes) {
        const std::string pointsPath = dir + "points" + node.suffix;
        FilePtr pf = openFile(pointsPath.c_str(), "rb");
        LODTreeNodeHeader nh;
        if (!pf || sizeOf(pointsPath) < LODTreeNodeHeader::Bytes || !nh.read(pf.get()))
            throw std::runtime_error(pointsPath + ": no node header");
        node.numPoints = nh.numPoints;
        const int64_t have = sizeOf(pointsPath),
                      want = LODTreeNodeHeader::Bytes + int64_t(nh.numPoints * record);
        if (have != want)
            throw std::runtime_error(pointsPath + ": " + std::to_string(have) + " bytes, but its header's " +
                                     std::to_string(nh.numPoints) + " points need " + std::to_string(want));
        const std::string normalsPath = dir + "normals" + node.suffix;
        const int64_t normalBytes = sizeOf(normalsPath);
        if (normalBytes != int64_t(12 * uint64_t(nh.numPoints)))
            throw std::runtime_error(
                normalsPath + ": " +
                (normalBytes < 0 ? std::string("missing") : std::to_string(normalBytes) + " bytes") + ", " +
                std::to_string(12 * uint64_t(nh.numPoints)) + " expected");
        total += nh.numPoints;
    }
    if (total != h.NumberOfPointRecords)
        throw std::runtime_error(directory + ": the nodes hold " + std::to_string(total) +
                                 " points, the header " + std::to_string(h.NumberOfPointRecords) +
                                 " (an incomplete tree?)");

    RawPoints raw;
    raw.xyz.reserve(3 * total);
    in.normals.reserve(total);
    std::vector<unsigned char> records;
    std::vector<float> normals;
    uint64_t done = 0;
    for (const TreeNodeEntry& node : in.nodes) {
        const std::string pointsPath = dir + "points" + node.suffix,
                          normalsPath = dir + "normals" + node.suffix;
        records.resize(size_t(node.numPoints) * record);
        normals.resize(3 * size_t(node.numPoints));
        FilePtr pf = openFile(pointsPath.c_str(), "rb"), nf = openFile(normalsPath.c_str(), "rb");
        if (!pf || std::fseek(pf.get(), LODTreeNodeHeader::Bytes, SEEK_SET) != 0 ||
            std::fread(records.data(), 1, records.size(), pf.get()) != records.size())
            throw std::runtime_error("cannot read " + pointsPath);
        if (!nf || std::fread(normals.data(), 4, normals.size(), nf.get()) != normals.size())
            throw std::runtime_error("cannot read " + normalsPath);
        for (uint32_t i = 0; i < node.numPoints; ++i) {
            raw.add(records.data() + size_t(i) * record);
            in.normals.push_back({normals[3 * i], normals[3 * i + 1], normals[3 * i + 2]});
        }
        done += node.numPoints;
        if (progress)
            progress("reading", done, total);
    }
    in.positions = raw.positions(h);
    return in;
}

ClassificationInput readClassificationInput(const std::string& path, unsigned threads,
                                            const InputProgress& progress) {
    std::error_code ec;
    if (fs::is_directory(path, ec))
        return readTreeInput(path, progress);
    return readLASInput(path, threads, progress);
}
