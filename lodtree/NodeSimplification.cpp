// Levels of detail: depth first, every fourth point of a node's list moves up into its parent, so each
// point is stored once, in the deepest node that keeps it.
#include "LASPoint.h"
#include "LODTree.h"
#include "LodTreeLog.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr size_t kBlockBytes = 1 << 20;
constexpr size_t kNormalBytes = 12, kSurfBytes = 4, kBorderBytes = 1;

std::string errorText() { return std::strerror(errno); }

// A node's points, normals, surface identifiers and border flags, one open file each.
struct NodeFiles {
    std::string path[4];
    FILE* f[4] = {};

    NodeFiles(const LODTreeNode& n, const char* tail)
        : path{n.getPointPath() + tail, n.getNormalPath() + tail, n.getSurfPath() + tail, n.getBorderPath() + tail} {}
    ~NodeFiles() {
        for (FILE* file : f)
            if (file)
                std::fclose(file);
    }
    void open(const char* mode) {
        for (int i = 0; i < 4; ++i)
            if (!(f[i] = std::fopen(path[i].c_str(), mode)))
                throw TreeBuildError("cannot open " + path[i] + ": " + errorText());
    }
    void close() {
        for (int i = 0; i < 4; ++i) {
            const bool ok = !f[i] || std::fclose(f[i]) == 0;
            f[i] = nullptr;
            if (!ok)
                throw TreeBuildError("cannot write " + path[i] + ": " + errorText());
        }
    }
    void remove() {
        close();
        for (const auto& p : path)
            if (std::remove(p.c_str()) != 0 && errno != ENOENT)
                throw TreeBuildError("cannot remove " + p + ": " + errorText());
    }
    void seek(int i, long at) {
        if (std::fseek(f[i], at, SEEK_SET) != 0)
            throw TreeBuildError("cannot seek in " + path[i] + ": " + errorText());
    }
    void write(int i, const void* data, size_t bytes) {
        if (bytes && std::fwrite(data, 1, bytes, f[i]) != bytes)
            throw TreeBuildError("cannot write " + path[i] + ": " + errorText());
    }
    void writeHeader(const LODTreeNodeHeader& h) {
        seek(0, 0);
        if (!h.write(f[0]))
            throw TreeBuildError("cannot write the node header of " + path[0] + ": " + errorText());
    }
};

// One entry per point in each of the four files.
struct Block {
    std::vector<unsigned char> data[4];
    size_t width[4];
    explicit Block(size_t recordLength) : width{recordLength, kNormalBytes, kSurfBytes, kBorderBytes} {}
    void clear() {
        for (auto& d : data)
            d.clear();
    }
    void append(const Block& from, size_t i) {
        for (int k = 0; k < 4; ++k)
            data[k].insert(data[k].end(), from.data[k].begin() + i * width[k], from.data[k].begin() + (i + 1) * width[k]);
    }
};

void replaceFile(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0)
        throw TreeBuildError("cannot rename " + from + " to " + to + ": " + errorText());
}

// A leaf's files were written by the earlier stages; each must hold an entry for every point.
void checkLengths(const NodeFiles& files, const size_t width[4], uint64_t points) {
    for (int k = 0; k < 4; ++k) {
        struct stat st;
        if (fstat(fileno(files.f[k]), &st) != 0 || uint64_t(st.st_size) < points * width[k])
            throw TreeBuildError(files.path[k] + " holds fewer than the " + std::to_string(points) +
                                 " entries of its node");
    }
}

// The default splat radius of a node whose list holds n points; 0 without points, which give no density.
float splatRadius(float area, float coverage, uint32_t n) {
    return n > 0 ? 1.2f * std::sqrt(area * coverage / (2.0f * float(n))) : 0.0f;
}

// Length of a node's list: a leaf's points, or what its children will pass up.
uint32_t listLength(const LODTreeNode& n) {
    if (!n.isSplit())
        return n.numPoints > 0 ? uint32_t(n.numPoints) : 0;
    uint32_t sum = 0;
    for (int q = 1; q <= 4; ++q)
        if (const LODTreeNode* c = n.child(q))
            sum += (listLength(*c) + 3) / 4;
    return sum;
}

} // namespace

template <class P>
uint32_t LODTreeNode::simplify(FILE* parentPoints, FILE* parentNormals, FILE* parentSurf, FILE* parentBorder, float area) {
    tree->checkInterrupt();
    const bool root = parentPoints == nullptr;
    const size_t recordLength = tree->recordLength > 0 ? size_t(tree->recordLength) : size_t(P::Size);
    closePointFile();
    NodeFiles own(*this, "");
    if (numPoints == 0) {
        own.remove();
        tree->nodeDone();
        return 0;
    }

    // An inner node that will receive at most one point keeps none: its children write straight into
    // the parent's files, which saves creating and removing four files per node along the chains above
    // isolated points.
    if (!root && isSplit() && listLength(*this) <= 1) {
        uint32_t n = 0;
        for (int q = 1; q <= 4; ++q)
            if (LODTreeNode* c = child(q))
                n += c->simplify<P>(parentPoints, parentNormals, parentSurf, parentBorder, area * 0.25f);
        defaultSplatRadius = splatRadius(area, coverage, n);
        own.remove();
        lodTreeLog() << id.generateSuffix() << " splat radius " << defaultSplatRadius << ", coverage: " << coverage
                     << ", total points " << n << ", area " << area << " 0 0 0 0\n";
        tree->nodeDone();
        return n;
    }

    // The list: a leaf's own points, or what the children pass up, child 1 first.
    uint32_t n = 0, s2 = 0, s3 = 0, s4 = 0;
    long firstRecord = 0;
    Block block(recordLength);
    if (isSplit()) {
        own.open("w+b");
        own.writeHeader(LODTreeNodeHeader{});
        uint32_t passed[4] = {};
        for (int q = 1; q <= 4; ++q)
            if (LODTreeNode* c = child(q))
                passed[q - 1] = c->simplify<P>(own.f[0], own.f[1], own.f[2], own.f[3], area * 0.25f);
        n = passed[0] + passed[1] + passed[2] + passed[3];
        s2 = passed[0], s3 = s2 + passed[1], s4 = s3 + passed[2];
        firstRecord = LODTreeNodeHeader::Bytes;
    } else {
        own.open("rb");
        n = uint32_t(numPoints);
        checkLengths(own, block.width, n);
    }
    defaultSplatRadius = splatRadius(area, coverage, n);
    LODTreeNodeHeader header;
    header.coverage = coverage;
    header.defaultSplatRadius = defaultSplatRadius;
    header.setSubNodes(child(1), child(2), child(3), child(4));
    const uint32_t up = root ? 0 : (n + 3) / 4, kept = n - up;

    NodeFiles temp(*this, "temp");
    if (root && kept > 0) {
        header.numPoints = n, header.offsetQ2 = s2, header.offsetQ3 = s3, header.offsetQ4 = s4;
        if (isSplit()) {
            own.writeHeader(header);
            own.close();
        } else {
            // A leaf root keeps its order; only the points file gains the header.
            temp.f[0] = std::fopen(temp.path[0].c_str(), "wb");
            if (!temp.f[0])
                throw TreeBuildError("cannot open " + temp.path[0] + ": " + errorText());
            temp.writeHeader(header);
            std::vector<unsigned char> copy(std::min<size_t>(n, std::max<size_t>(1, kBlockBytes / recordLength)) * recordLength);
            for (uint64_t done = 0; done < n;) {
                const size_t m = std::min<uint64_t>(copy.size() / recordLength, n - done);
                if (std::fread(copy.data(), recordLength, m, own.f[0]) != m)
                    throw TreeBuildError(own.path[0] + " holds fewer than its " + std::to_string(n) + " points");
                temp.write(0, copy.data(), m * recordLength);
                done += m;
            }
            own.close();
            temp.close();
            replaceFile(temp.path[0], own.path[0]);
        }
    } else {
        for (int k = 0; k < 4; ++k)
            own.seek(k, k == 0 ? firstRecord : 0);
        if (kept > 0) {
            temp.open("wb");
            temp.writeHeader(LODTreeNodeHeader{});
        }
        FILE* parent[4] = {parentPoints, parentNormals, parentSurf, parentBorder};
        uint32_t keptFrom[4] = {}; // kept points by the child they came from
        Block stays(recordLength), moves(recordLength);
        const size_t perBlock = std::max<size_t>(1, kBlockBytes / recordLength);
        for (uint32_t i0 = 0; i0 < n;) {
            const size_t m = std::min<size_t>(perBlock, n - i0);
            for (int k = 0; k < 4; ++k) {
                block.data[k].resize(m * block.width[k]);
                if (std::fread(block.data[k].data(), block.width[k], m, own.f[k]) != m)
                    throw TreeBuildError(own.path[k] + " holds fewer than the " + std::to_string(n) +
                                         " entries of its node");
            }
            stays.clear(), moves.clear();
            for (size_t j = 0; j < m; ++j) {
                const uint32_t i = i0 + uint32_t(j);
                if (i % 4 == 0) {
                    moves.append(block, j);
                } else {
                    stays.append(block, j);
                    ++keptFrom[i < s2 ? 0 : i < s3 ? 1 : i < s4 ? 2 : 3];
                }
            }
            for (int k = 0; k < 4; ++k) {
                if (!moves.data[k].empty() && std::fwrite(moves.data[k].data(), 1, moves.data[k].size(), parent[k]) != moves.data[k].size())
                    throw TreeBuildError("cannot pass points of " + own.path[k] + " up to the parent: " + errorText());
                if (kept > 0)
                    temp.write(k, stays.data[k].data(), stays.data[k].size());
            }
            i0 += uint32_t(m);
            tree->checkInterrupt();
        }
        header.numPoints = kept;
        header.offsetQ2 = keptFrom[0];
        header.offsetQ3 = keptFrom[0] + keptFrom[1];
        header.offsetQ4 = keptFrom[0] + keptFrom[1] + keptFrom[2];
        if (kept > 0) {
            temp.writeHeader(header);
            own.close();
            temp.close();
            // rename replaces each file at once: a failure leaves the old file, never none.
            for (int k = 0; k < 4; ++k)
                replaceFile(temp.path[k], own.path[k]);
        } else {
            own.remove();
        }
    }
    lodTreeLog() << id.generateSuffix() << " splat radius " << defaultSplatRadius << ", coverage: " << coverage
                 << ", total points " << n << ", area " << area << " " << header.numPoints << " "
                 << header.offsetQ2 << " " << header.offsetQ3 << " " << header.offsetQ4 << "\n";
    tree->nodeDone();
    return root ? n : up;
}

template uint32_t LODTreeNode::simplify<LASPoint0>(FILE*, FILE*, FILE*, FILE*, float);
template uint32_t LODTreeNode::simplify<LASPoint1>(FILE*, FILE*, FILE*, FILE*, float);
template uint32_t LODTreeNode::simplify<LASPoint2>(FILE*, FILE*, FILE*, FILE*, float);
template uint32_t LODTreeNode::simplify<LASPoint3>(FILE*, FILE*, FILE*, FILE*, float);
