// Offline construction of the local tree: two partitioning passes over the input, levelling, the
// per-point stages, coverage, simplification, and the "header" file last.
#include "LASHeader.h"
#include "LASPoint.h"
#include "LASVarLenRecord.h"
#include "LODTree.h"
#include "LodTreeLog.h"

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

using las_detail::loadLE;

constexpr size_t kBlockBytes = 4 << 20;
constexpr int kGrid = 36; // coverage grid cells per side

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::string errorText() { return std::strerror(errno); }

int quadrantOf(const unsigned char* record, const TreeBounds& b) {
    const double x = loadLE<int32_t>(record), y = loadLE<int32_t>(record + 4);
    const double mx = (b[0] + b[1]) * 0.5, my = (b[2] + b[3]) * 0.5;
    if (x < mx)
        return y < my ? 1 : 2;
    return y < my ? 3 : 4;
}

TreeBounds childBounds(const TreeBounds& b, int quadrant) {
    const double mx = (b[0] + b[1]) * 0.5, my = (b[2] + b[3]) * 0.5;
    const bool highX = quadrant >= 3, highY = quadrant == 2 || quadrant == 4;
    return {highX ? mx : b[0], highX ? b[1] : mx, highY ? my : b[2], highY ? b[3] : my};
}

// Calls f(record) for each of the `count` records of a node file, reading it in large blocks.
template <class F> void forEachRecord(const std::string& path, size_t recordLength, uint64_t count, const LODTree& tree, F&& f) {
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in)
        throw TreeBuildError("cannot open " + path + ": " + errorText());
    const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recordLength);
    std::vector<unsigned char> block(size_t(std::min(perBlock, count)) * recordLength);
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(perBlock, count - done);
        if (std::fread(block.data(), recordLength, n, in.get()) != n)
            throw TreeBuildError(path + " holds fewer than its " + std::to_string(count) + " records");
        for (uint64_t i = 0; i < n; ++i)
            f(block.data() + i * recordLength);
        done += n;
        tree.checkInterrupt();
    }
}

void removeFile(const std::string& path) {
    if (std::remove(path.c_str()) != 0 && errno != ENOENT)
        throw TreeBuildError("cannot remove " + path + ": " + errorText());
}

// The input's path for messages, when the system can tell.
std::string inputName(FILE* file) {
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fileno(file));
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string("the input file");
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The header's box in stored units, the larger side on both axes. Out-of-range or non-finite boxes
// (broken headers) are clamped to what 32-bit coordinates can reach: the second pass's bounds come from
// the records anyway.
TreeBounds firstTreeBounds(const LASHeader& h) {
    auto clampRaw = [](double v) {
        return std::isfinite(v) ? std::clamp(v, double(INT32_MIN), double(INT32_MAX)) : 0.0;
    };
    double side = std::max((h.Max_Y - h.Min_Y) / h.ScaleFactor_Y, (h.Max_X - h.Min_X) / h.ScaleFactor_X);
    side = std::isfinite(side) && side > 0 ? std::min(side, 4294967296.0) : 0.0;
    const double minX = clampRaw(std::floor((h.Min_X - h.OffsetX) / h.ScaleFactor_X));
    const double minY = clampRaw(std::floor((h.Min_Y - h.OffsetY) / h.ScaleFactor_Y));
    return {minX, std::ceil(minX + side), minY, std::ceil(minY + side)};
}

// Reads the input's records block by block from the point data on and hands each to `f`.
template <class F>
void readInput(FILE* file, const LASHeader& header, const std::string& input, const LODTree& tree, int pass, F&& f) {
    const size_t length = header.PointDataRecordLength;
    const uint64_t total = header.NumberOfPointRecords;
    if (fseeko(file, off_t(header.OffsetToPointData), SEEK_SET) != 0)
        throw TreeBuildError("cannot seek to the points of " + input + ": " + errorText());
    const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / length);
    std::vector<unsigned char> block(size_t(std::min(perBlock, std::max<uint64_t>(total, 1))) * length);
    TreeBuildControl* control = tree.control;
    for (uint64_t done = 0; done < total;) {
        const uint64_t n = std::min(perBlock, total - done);
        if (std::fread(block.data(), length, n, file) != n)
            throw TreeBuildError(input + " ends before its " + std::to_string(total) + " points");
        for (uint64_t i = 0; i < n; ++i)
            f(block.data() + i * length);
        done += n;
        tree.checkInterrupt();
        if (control && control->progress)
            control->progress("partition", pass * total + done, 2 * total);
    }
}

std::ostream& operator<<(std::ostream& o, const TreeBounds& b) {
    return o << b[0] << " " << b[1] << " " << b[2] << " " << b[3];
}

LASVarLenRecord boundsRecord(const TreeBounds& bounds) {
    LASVarLenRecord r;
    std::strncpy(r.UserID, "QUMA", sizeof r.UserID);
    r.RecordID = 0;
    r.RecordLenAfterHeader = 32;
    std::strncpy(r.Description, "Quadtree bounds on server", sizeof r.Description);
    r.CreateData();
    std::memcpy(r.Data.data(), bounds.data(), 32);
    return r;
}

} // namespace

// ---- nodes

void LODTreeNode::appendRecord(const unsigned char* record) {
    if (numPoints == INT32_MAX)
        throw TreeBuildError(getPointPath() + " cannot take more than " + std::to_string(INT32_MAX) + " records");
    FILE* f = appendFile();
    if (std::fwrite(record, size_t(tree->recordLength), 1, f) != 1)
        throw TreeBuildError("cannot write " + getPointPath() + ": " + errorText());
    const int32_t x = loadLE<int32_t>(record), y = loadLE<int32_t>(record + 4);
    if (numPoints == 0) {
        minX = maxX = x;
        minY = maxY = y;
    } else {
        minX = std::min(minX, x), maxX = std::max(maxX, x);
        minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    ++numPoints;
}

void LODTreeNode::splitLeaf(const TreeBounds& bounds) {
    closePointFile();
    createChildren();
    TreeBounds quadrants[4];
    for (int q = 1; q <= 4; ++q)
        quadrants[q - 1] = childBounds(bounds, q);
    const std::string path = getPointPath();
    const uint64_t count = uint64_t(numPoints);
    numPoints = -1;
    forEachRecord(path, size_t(tree->recordLength), count, *tree, [&](const unsigned char* record) {
        const int q = quadrantOf(record, bounds);
        child(q)->partitionPoint(record, quadrants[q - 1]);
    });
    removeFile(path);
    pointFileCreated = false;
}

void LODTreeNode::pushRecordsDown(const TreeBounds& bounds, int level) {
    closePointFile();
    const std::string path = getPointPath();
    const uint64_t count = uint64_t(numPoints);
    numPoints = -1;
    // Straight to the target level: each record is written once, not once per level on the way.
    forEachRecord(path, size_t(tree->recordLength), count, *tree, [&](const unsigned char* record) {
        LODTreeNode* n = this;
        TreeBounds b = bounds;
        while (n->id.level < level) {
            n->createChildren();
            if (n->numPoints == 0)
                n->numPoints = -1;
            const int q = quadrantOf(record, b);
            b = childBounds(b, q);
            n = n->child(q);
        }
        n->appendRecord(record);
    });
    removeFile(path);
    pointFileCreated = false;
}

bool LODTreeNode::partitionPoint(const unsigned char* record, const TreeBounds& bounds) {
    bool split = false;
    if (numPoints >= MAX_LEAF_POINTS && id.level < MAX_TREE_LEVEL) {
        const int32_t x = loadLE<int32_t>(record), y = loadLE<int32_t>(record + 4);
        // A split could not separate records that share one position: such a pile stays in one leaf,
        // over the limit, until a point elsewhere in it arrives.
        const bool pile = minX == maxX && minY == maxY && x == minX && y == minY;
        if (!pile) {
            splitLeaf(bounds);
            split = true;
        }
    }
    if (!isSplit()) {
        appendRecord(record);
        return split;
    }
    const int q = quadrantOf(record, bounds);
    child(q)->partitionPoint(record, childBounds(bounds, q));
    return split;
}

void LODTreeNode::levelTree(int maxLevel, const TreeBounds& bounds) {
    if (id.level >= maxLevel)
        return;
    tree->checkInterrupt();
    if (numPoints > 0)
        pushRecordsDown(bounds, maxLevel);
    for (int q = 1; q <= 4; ++q)
        if (LODTreeNode* c = child(q))
            c->levelTree(maxLevel, childBounds(bounds, q));
}

int LODTreeNode::getMaxLevel() const {
    int deepest = numPoints > 0 ? id.level : 0;
    for (const auto& c : children)
        if (c)
            deepest = std::max(deepest, c->getMaxLevel());
    return deepest;
}

int64_t LODTreeNode::getHighestLeafDimensions(const TreeBounds& bounds) const {
    int64_t smallest = INT64_MAX;
    for (int q = 1; q <= 4; ++q)
        if (const LODTreeNode* c = child(q))
            smallest = std::min(smallest, c->getHighestLeafDimensions(childBounds(bounds, q)));
    return smallest != INT64_MAX ? smallest : int64_t(std::ceil(bounds[1] - bounds[0]));
}

float LODTreeNode::calculateCoverage(const TreeBounds& bounds) {
    if (isSplit()) {
        float sum = 0;
        for (int q = 1; q <= 4; ++q)
            if (LODTreeNode* c = child(q))
                sum += c->calculateCoverage(childBounds(bounds, q));
        coverage = sum / 4;
    } else if (numPoints <= 0) {
        coverage = 0;
    } else {
        closePointFile();
        const double w = bounds[1] - bounds[0], h = bounds[3] - bounds[2];
        // Records on the maximum edge, or outside the bounds, go to the nearest cell.
        auto cell = [](double offset, double extent) {
            const double c = extent > 0 ? std::floor(offset / extent * kGrid) : 0.0;
            return c < 0 ? 0 : c >= kGrid ? kGrid - 1 : int(c);
        };
        std::bitset<kGrid * kGrid> marked;
        forEachRecord(getPointPath(), size_t(tree->recordLength), uint64_t(numPoints), *tree,
                      [&](const unsigned char* r) {
                          const int col = cell(loadLE<int32_t>(r) - bounds[0], w);
                          const int row = cell(loadLE<int32_t>(r + 4) - bounds[2], h);
                          marked.set(size_t(row * kGrid + col));
                      });
        coverage = float(marked.count()) / kGrid / kGrid;
    }
    tree->nodeDone();
    return coverage;
}

void LODTreeNode::closeOutputFiles() {
    closePointFile();
    for (auto& c : children)
        if (c)
            c->closeOutputFiles();
}

void LODTreeNode::deletePointFiles() {
    closePointFile();
    if (pointFileCreated)
        removeFile(getPointPath());
    pointFileCreated = false;
    for (auto& c : children)
        if (c)
            c->deletePointFiles();
}

uint64_t LODTreeNode::countPoints() const {
    uint64_t n = numPoints > 0 ? uint64_t(numPoints) : 0;
    for (const auto& c : children)
        if (c)
            n += c->countPoints();
    return n;
}

uint64_t LODTreeNode::countNodes() const {
    uint64_t n = 1;
    for (const auto& c : children)
        if (c)
            n += c->countNodes();
    return n;
}

// ---- the build

TreeBounds finalTreeBounds(const TreeBounds& first, const TreeBounds* pointExtent, int64_t leafWidth) {
    // Sizing the square from the header's box alone would do for honest headers; the records' own
    // extent joins it because real headers have boxes that miss some of their records, which would
    // otherwise sit in edge nodes whose squares do not contain them.
    double x0 = first[0], x1 = first[1], y0 = first[2], y1 = first[3];
    if (pointExtent) {
        const TreeBounds& e = *pointExtent;
        x0 = std::min(x0, e[0]), x1 = std::max(x1, e[1]);
        y0 = std::min(y0, e[2]), y1 = std::max(y1, e[3]);
    }
    double d = double(std::max<int64_t>(leafWidth, 1));
    while (x1 - x0 > d || y1 - y0 > d)
        d *= 2;
    return {x0, x0 + d, y0, y0 + d};
}

template <class P>
LASVarLenRecord partition(FILE* file, const std::string& directory, LASHeader& header, TreeBuildControl* control) {
    using Clock = std::chrono::steady_clock;
    const std::string input = inputName(file);
    const int recordLength = header.PointDataRecordLength;
    if (header.PointDataFormatID != P::Format || recordLength < P::Size)
        throw TreeBuildError(input + ": records of " + std::to_string(recordLength) + " bytes in point format " +
                             std::to_string(int(header.PointDataFormatID)) + " cannot be built as format " +
                             std::to_string(P::Format) + " (" + std::to_string(P::Size) + " bytes at least)");
    auto stageDone = [&](const char* stage, Clock::time_point start) {
        const double s = secondsSince(start);
        if (control)
            control->stageTimes.push_back({stage, s});
        return s;
    };
    std::ostream& log = lodTreeLog();

    auto start = Clock::now();
    const TreeBounds first = firstTreeBounds(header);
    log << "First dimensions: " << first << "\n";
    TreeBounds extent{double(INT32_MAX), double(INT32_MIN), double(INT32_MAX), double(INT32_MIN)};
    int64_t leafWidth = 0;
    int maxOpen = 0;
    {
        LODTree firstTree(directory, recordLength, P::Format);
        firstTree.control = control;
        readInput(file, header, input, firstTree, 0, [&](const unsigned char* r) {
            const double x = loadLE<int32_t>(r), y = loadLE<int32_t>(r + 4);
            extent[0] = std::min(extent[0], x), extent[1] = std::max(extent[1], x);
            extent[2] = std::min(extent[2], y), extent[3] = std::max(extent[3], y);
            firstTree.root->partitionPoint(r, first);
        });
        firstTree.root->closeOutputFiles();
        leafWidth = firstTree.root->getHighestLeafDimensions(first);
        firstTree.root->deletePointFiles();
        maxOpen = firstTree.maxOpenFiles();
    }
    const TreeBounds bounds = finalTreeBounds(first, header.NumberOfPointRecords > 0 ? &extent : nullptr, leafWidth);
    const double d = bounds[1] - bounds[0];
    log << "Second dimensions: " << bounds << "\n";

    LODTree tree(directory, recordLength, P::Format);
    tree.control = control;
    LODTreeNode& root = *tree.root;
    readInput(file, header, input, tree, 1, [&](const unsigned char* r) { root.partitionPoint(r, bounds); });
    root.closeOutputFiles();
    stageDone("partition", start);

    start = Clock::now();
    root.levelTree(root.getMaxLevel(), bounds);
    root.closeOutputFiles();
    maxOpen = std::max(maxOpen, tree.maxOpenFiles());
    stageDone("levels", start);
    const uint64_t nodes = root.countNodes();
    if (control) {
        control->maxOpenFiles = maxOpen;
        control->nodes = nodes;
        control->pointsRead = header.NumberOfPointRecords;
    }

    // Three-dimensional neighbours also for a tree that is a single root: it gets normals like any other.
    start = Clock::now();
    root.calculateKNNint(&root, false);
    log << "Calculated KNN integers in " << stageDone("neighbours", start) << " seconds.\n";
    start = Clock::now();
    root.calculateNormals(&root);
    log << "Calculated normals in " << stageDone("normals", start) << " seconds.\n";
    start = Clock::now();
    root.markBorderPoints();
    log << "Marked border points in " << stageDone("borders", start) << " seconds.\n";

    start = Clock::now();
    tree.beginNodeStage("coverage", nodes);
    root.calculateCoverage(bounds);
    stageDone("coverage", start);
    log << "Coverage of dataset: " << root.coverage * 100 << "% of " << root.countPoints() << " points.\n";

    start = Clock::now();
    log << "Simplifying dataset...\n";
    tree.beginNodeStage("simplification", nodes);
    const uint32_t inRoot = root.simplify<P>(nullptr, nullptr, nullptr, nullptr, float(d * d));
    log << "Points in root: " << inRoot << "\n";
    // The leaves' neighbour lists index the order before points moved up.
    root.deleteNeighbourFiles();
    stageDone("simplification", start);
    return boundsRecord(bounds);
}

template LASVarLenRecord partition<LASPoint0>(FILE*, const std::string&, LASHeader&, TreeBuildControl*);
template LASVarLenRecord partition<LASPoint1>(FILE*, const std::string&, LASHeader&, TreeBuildControl*);
template LASVarLenRecord partition<LASPoint2>(FILE*, const std::string&, LASHeader&, TreeBuildControl*);
template LASVarLenRecord partition<LASPoint3>(FILE*, const std::string&, LASHeader&, TreeBuildControl*);

void partition(FILE* file, const std::string& directory, TreeBuildControl* control) {
    if (!file)
        throw TreeBuildError("no input file to build a tree from");
    const std::string input = inputName(file);
    // The header marks a complete tree: one left by an earlier build must not outlive this one's start.
    removeFile(directory + "header");

    unsigned char block[LASHeader::BlockSize];
    if (fseeko(file, 0, SEEK_SET) != 0 || std::fread(block, 1, sizeof block, file) != sizeof block ||
        std::memcmp(block, "LASF", 4) != 0)
        throw TreeBuildError(input + " is not a LAS file");
    LASHeader header;
    header.copyFromBuffer(block);
    const int64_t fileSize = lasFileSize(file);
    std::string why;
    if (!header.CheckPointData(uint64_t(std::max<int64_t>(fileSize, 0)), &why))
        throw TreeBuildError(input + ": " + why);
    // The added record must still leave the offset a 32-bit value.
    if (header.OffsetToPointData > UINT32_MAX - (LASVarLenRecord::HeaderBytes + 32) ||
        header.NumberOfVariableLengthRecords == UINT32_MAX)
        throw TreeBuildError(input + ": no room for the tree-bounds record in the header");

    std::ostream& log = lodTreeLog();
    log << "LAS " << int(header.VersionMajor) << "." << int(header.VersionMinor) << ", point format "
        << int(header.PointDataFormatID) << ", record length " << header.PointDataRecordLength << ", "
        << header.NumberOfPointRecords << " points, header size " << header.HeaderSize << ", "
        << header.NumberOfVariableLengthRecords << " variable length records\n";
    log << "header dimensions: " << (header.Max_X - header.Min_X) / header.ScaleFactor_X << "x"
        << (header.Max_Y - header.Min_Y) / header.ScaleFactor_Y << "\n";

    // Everything before the points is kept: extra header bytes, the records, and the bytes between the
    // records and the points (records that run past the point data leave none).
    const uint64_t recordsStart = header.RecordAreaStart();
    std::vector<unsigned char> extra(recordsStart - LASHeader::BlockSize);
    if (!extra.empty() && std::fread(extra.data(), 1, extra.size(), file) != extra.size())
        throw TreeBuildError("cannot read the extra header bytes of " + input);
    // A count the file cannot hold is refused before anything is allocated for it.
    if (header.NumberOfVariableLengthRecords > (uint64_t(fileSize) - recordsStart) / LASVarLenRecord::HeaderBytes)
        throw TreeBuildError(input + ": " + std::to_string(header.NumberOfVariableLengthRecords) +
                             " variable length records do not fit in the file");
    std::vector<LASVarLenRecord> records(header.NumberOfVariableLengthRecords);
    uint64_t recordsEnd = recordsStart;
    for (uint32_t i = 0; i < records.size(); ++i) {
        if (!records[i].Read(file))
            throw TreeBuildError(input + ": variable length record " + std::to_string(i) + " is truncated");
        recordsEnd += records[i].TotalBytes();
        log << "Length after vlr " << i << ": " << records[i].RecordLenAfterHeader << "\n";
    }
    log << "Offset to point data: " << header.OffsetToPointData << "\n";
    std::vector<unsigned char> gap(recordsEnd < header.OffsetToPointData ? header.OffsetToPointData - recordsEnd : 0);
    if (!gap.empty() && std::fread(gap.data(), 1, gap.size(), file) != gap.size())
        throw TreeBuildError("cannot read the bytes before the points of " + input);

    LASVarLenRecord bounds;
    switch (header.PointDataFormatID) {
    case 0: bounds = partition<LASPoint0>(file, directory, header, control); break;
    case 1: bounds = partition<LASPoint1>(file, directory, header, control); break;
    case 2: bounds = partition<LASPoint2>(file, directory, header, control); break;
    case 3: bounds = partition<LASPoint3>(file, directory, header, control); break;
    default: throw TreeBuildError(input + ": unknown point data format " + std::to_string(int(header.PointDataFormatID)));
    }

    LASHeader out = header;
    out.NumberOfVariableLengthRecords += 1;
    out.OffsetToPointData += uint32_t(bounds.TotalBytes());
    out.copyToBuffer(block);
    const std::string path = directory + "header", tmp = path + ".tmp";
    FilePtr f(std::fopen(tmp.c_str(), "wb"));
    if (!f)
        throw TreeBuildError("cannot create " + tmp + ": " + errorText());
    auto put = [&](const unsigned char* data, size_t size) { return size == 0 || std::fwrite(data, 1, size, f.get()) == size; };
    bool ok = put(block, sizeof block) && put(extra.data(), extra.size());
    for (const auto& r : records)
        ok = ok && r.Write(f.get());
    ok = ok && bounds.Write(f.get()) && put(gap.data(), gap.size());
    ok = std::fclose(f.release()) == 0 && ok;
    if (!ok)
        throw TreeBuildError("cannot write " + tmp + ": " + errorText());
    if (std::rename(tmp.c_str(), path.c_str()) != 0)
        throw TreeBuildError("cannot rename " + tmp + " to " + path + ": " + errorText());
    log << "Tree bounds: " << LODTree::retrieveTreeBounds(directory, nullptr) << "\n";
}
