#include "LODTree.h"

#include "LASHeader.h"
#include "LASVarLenRecord.h"
#include "LodTreeLog.h"

#include <cerrno>
#include <cstring>
#include <optional>

const char* nodeStatusName(int status) {
    switch (status) {
    case NODE_EMPTY: return "Empty";
    case NODE_NOT_LOADED: return "Not loaded";
    case NODE_REQUESTED: return "Requested";
    case NODE_IN_RAM: return "Loaded in RAM";
    case NODE_IN_VRAM: return "Loaded in VRAM";
    default: return "Unknown";
    }
}

LODTreeNode::LODTreeNode(LODTree* t, NodeID i) : tree(t), id(i) {}

LODTreeNode::~LODTreeNode() {
    if (pointFile) { // a failed build: nothing left to report to
        std::fclose(pointFile);
        tree->open_.erase(openPosition);
    }
}

void LODTreeNode::createChildren() {
    for (int q = 1; q <= 4; ++q)
        if (!children[q - 1])
            children[q - 1] = std::make_unique<LODTreeNode>(tree, id.child(q));
}

std::string LODTreeNode::getBasePath() const { return tree->directory; }
std::string LODTreeNode::getPointPath() const { return tree->directory + "points" + id.generateSuffix(); }
std::string LODTreeNode::getKnnPath() const { return tree->directory + "knnInt" + id.generateSuffix(); }
std::string LODTreeNode::getKnn2DPath() const { return tree->directory + "knnInt2D" + id.generateSuffix(); }
std::string LODTreeNode::getNormalPath() const { return tree->directory + "normals" + id.generateSuffix(); }
std::string LODTreeNode::getSurfPath() const { return tree->directory + "surf" + id.generateSuffix(); }
std::string LODTreeNode::getBorderPath() const { return tree->directory + "border" + id.generateSuffix(); }
std::string LODTreeNode::getCompNeighPath() const { return tree->directory + "compNeigh" + id.generateSuffix(); }

FILE* LODTreeNode::appendFile() {
    auto& open = tree->open_;
    if (pointFile) {
        open.splice(open.begin(), open, openPosition); // most recently used
        return pointFile;
    }
    while (int(open.size()) >= LODTree::MaxOpenFiles)
        open.back()->closePointFile();
    const std::string path = getPointPath();
    pointFile = std::fopen(path.c_str(), pointFileCreated ? "ab" : "wb");
    if (!pointFile)
        throw TreeBuildError("cannot open " + path + ": " + std::strerror(errno));
    pointFileCreated = true;
    open.push_front(this);
    openPosition = open.begin();
    if (int(open.size()) > tree->maxOpen_)
        tree->maxOpen_ = int(open.size());
    return pointFile;
}

void LODTreeNode::closePointFile() {
    if (!pointFile)
        return;
    const bool ok = std::fclose(pointFile) == 0;
    pointFile = nullptr;
    tree->open_.erase(openPosition);
    if (!ok)
        throw TreeBuildError("cannot write " + getPointPath() + ": " + std::strerror(errno));
}

LODTree::LODTree(std::string dir, int length, int format)
    : directory(std::move(dir)), recordLength(length), pointFormat(format),
      root(std::make_unique<LODTreeNode>(this, NodeID(0, 0, 0))) {}

LODTree::~LODTree() {
    // Files close without throwing here: a destructor cannot report, and a build that got this far
    // without closing its files has failed already.
    for (LODTreeNode* n : open_) {
        std::fclose(n->pointFile);
        n->pointFile = nullptr;
    }
    open_.clear();
}

void LODTree::checkInterrupt() const {
    if (control && control->interrupt && control->interrupt->load())
        throw TreeBuildError("interrupted");
}

TreeBounds LODTree::retrieveTreeBounds(const std::string& dir, LASHeader* out) {
    const std::string path = dir + "header";
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw TreeBuildError("cannot open " + path + ": " + std::strerror(errno));
    struct Closer {
        FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{f};
    // Parsed without LASHeader::Read, which reports on standard output what the build already accepted
    // (extra bytes per record, no points).
    unsigned char block[LASHeader::BlockSize];
    if (std::fread(block, 1, sizeof block, f) != sizeof block || std::memcmp(block, "LASF", 4) != 0)
        throw TreeBuildError(path + ": not a LAS header");
    LASHeader header;
    header.copyFromBuffer(block);
    // The records start after the extra header bytes, if any.
    if (std::fseek(f, long(header.RecordAreaStart()), SEEK_SET) != 0)
        throw TreeBuildError(path + ": cannot seek to the variable-length records");
    lodTreeLog() << "Number of variable length records: " << header.NumberOfVariableLengthRecords << "\n";
    std::optional<TreeBounds> bounds;
    for (uint32_t i = 0; i < header.NumberOfVariableLengthRecords; ++i) {
        LASVarLenRecord r;
        if (!r.Read(f))
            throw TreeBuildError(path + ": variable-length record " + std::to_string(i) + " is truncated");
        const std::string user(r.UserID, strnlen(r.UserID, sizeof r.UserID));
        lodTreeLog() << "VLR " << i << ": " << user << "\n";
        if (user.rfind("QUMA", 0) == 0 && !bounds) {
            if (r.Data.size() < 32)
                throw TreeBuildError(path + ": the QUMA record holds " + std::to_string(r.Data.size()) +
                                     " bytes, not 32");
            TreeBounds b;
            std::memcpy(b.data(), r.Data.data(), 32);
            bounds = b;
        }
    }
    if (!bounds)
        throw TreeBuildError(path + ": no QUMA tree-bounds record");
    if (out)
        *out = header;
    return *bounds;
}
