// Node simplification on hand-built trees: which points stay, which move up, the offsets and radius in
// the node header, and the files' fate when something is missing.
#include "LASPoint.h"
#include "LODTree.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// Records carry their identifier in Z; the bytes after the coordinates (and any extra bytes) are
// derived from it, so a record that lost or mixed bytes does not compare equal.
std::vector<unsigned char> pointRecord(int length, int32_t x, int32_t y, int32_t id) {
    std::vector<unsigned char> r(static_cast<size_t>(length));
    for (int i = 12; i < length; ++i)
        r[size_t(i)] = uint8_t(id * 7 + i);
    std::memcpy(&r[0], &x, 4);
    std::memcpy(&r[4], &y, 4);
    std::memcpy(&r[8], &id, 4);
    return r;
}

struct PointEntry {
    std::vector<unsigned char> record;
    std::array<float, 3> normal;
    uint32_t surf;
    uint8_t border;
    int32_t id() const {
        int32_t v;
        std::memcpy(&v, &record[8], 4);
        return v;
    }
};

PointEntry entryFor(int length, int32_t x, int32_t y, int32_t id) {
    return {pointRecord(length, x, y, id),
            {float(id), id + 0.5f, -float(id)},
            uint32_t(id) * 3 + 1,
            uint8_t(id % 2)};
}

LODTreeNode* split(LODTreeNode* n) {
    n->numPoints = -1;
    n->createChildren();
    return n;
}

// A levelled leaf as the earlier stages leave it: points, normals, surface identifiers, borders.
void fillLeaf(LODTreeNode* n, int count, int32_t firstId, float coverage = 0.5f) {
    const int length = n->tree->recordLength;
    std::vector<unsigned char> normals, surf, border;
    for (int i = 0; i < count; ++i) {
        const PointEntry e = entryFor(length, 10 + i, 20 + i, firstId + i);
        n->partitionPoint(e.record.data(), TreeBounds{0, 1024, 0, 1024});
        const auto* nb = reinterpret_cast<const unsigned char*>(e.normal.data());
        const auto* sb = reinterpret_cast<const unsigned char*>(&e.surf);
        normals.insert(normals.end(), nb, nb + 12);
        surf.insert(surf.end(), sb, sb + 4);
        border.push_back(e.border);
    }
    n->closeOutputFiles();
    n->coverage = coverage;
    writeBytes(n->getNormalPath(), normals);
    writeBytes(n->getSurfPath(), surf);
    writeBytes(n->getBorderPath(), border);
}

// Entries of the four parallel files, after `skip` bytes of the points file.
std::vector<PointEntry> readEntries(int length, const std::string& points, const std::string& normals,
                                    const std::string& surf, const std::string& border, size_t skip) {
    const auto p = readBytes(points), nb = readBytes(normals), sb = readBytes(surf), bb = readBytes(border);
    EXPECT_EQ((p.size() - skip) % size_t(length), 0u) << points;
    const size_t n = (p.size() - skip) / size_t(length);
    EXPECT_EQ(nb.size(), 12 * n) << normals;
    EXPECT_EQ(sb.size(), 4 * n) << surf;
    EXPECT_EQ(bb.size(), n) << border;
    std::vector<PointEntry> out;
    for (size_t i = 0; i < n && 12 * i + 12 <= nb.size() && 4 * i + 4 <= sb.size() && i < bb.size(); ++i) {
        PointEntry e;
        const auto at = p.begin() + long(skip + i * size_t(length));
        e.record.assign(at, at + length);
        std::memcpy(e.normal.data(), &nb[12 * i], 12);
        std::memcpy(&e.surf, &sb[4 * i], 4);
        e.border = bb[i];
        out.push_back(e);
    }
    return out;
}

struct NodeOnDisk {
    LODTreeNodeHeader header;
    std::vector<PointEntry> entries;
};
NodeOnDisk readNode(const LODTreeNode* n) {
    NodeOnDisk out;
    FILE* f = std::fopen(n->getPointPath().c_str(), "rb");
    EXPECT_TRUE(f && out.header.read(f)) << n->getPointPath();
    if (f)
        std::fclose(f);
    out.entries = readEntries(n->tree->recordLength, n->getPointPath(), n->getNormalPath(), n->getSurfPath(),
                              n->getBorderPath(), LODTreeNodeHeader::Bytes);
    EXPECT_EQ(out.entries.size(), out.header.numPoints);
    return out;
}

// Point count, the offsets of quadrants 2 to 4 and the sub-node bits.
std::array<uint32_t, 5> offsets(const LODTreeNodeHeader& h) {
    return {h.numPoints, h.offsetQ2, h.offsetQ3, h.offsetQ4, h.subNodes};
}

// The identifiers of the entries, each checked to be the entry built for it, normal and flags included.
std::vector<int32_t> idsOf(const std::vector<PointEntry>& entries) {
    std::vector<int32_t> ids;
    for (const auto& e : entries) {
        const PointEntry want = entryFor(int(e.record.size()), 0, 0, e.id());
        EXPECT_TRUE(std::equal(e.record.begin() + 8, e.record.end(), want.record.begin() + 8)) << e.id();
        EXPECT_EQ(e.normal, want.normal) << e.id();
        EXPECT_EQ(e.surf, want.surf) << e.id();
        EXPECT_EQ(e.border, want.border) << e.id();
        ids.push_back(e.id());
    }
    return ids;
}

// The four files a parent hands to its children.
struct ParentFiles {
    std::string path[4];
    FILE* f[4] = {};
    explicit ParentFiles(const TempDir& d) {
        const char* names[] = {"parent-points", "parent-normals", "parent-surf", "parent-border"};
        for (int k = 0; k < 4; ++k)
            f[k] = std::fopen((path[k] = d.file(names[k])).c_str(), "wb");
    }
    void close() {
        for (auto& file : f)
            if (file)
                std::fclose(file), file = nullptr;
    }
    ~ParentFiles() { close(); }
};

template <class P = LASPoint0> uint32_t simplifyUnder(LODTreeNode* n, ParentFiles& p, float area) {
    const uint32_t up = n->simplify<P>(p.f[0], p.f[1], p.f[2], p.f[3], area);
    p.close();
    return up;
}

std::vector<int32_t> passedUp(const ParentFiles& p, int length) {
    return idsOf(readEntries(length, p.path[0], p.path[1], p.path[2], p.path[3], 0));
}

// Temporary and neighbour files: none may be left behind.
std::vector<std::string> leftovers(const TempDir& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir.path())) {
        const std::string name = e.path().filename().string();
        if (name.find("temp") != std::string::npos || name.rfind("knnInt", 0) == 0)
            out.push_back(name);
    }
    return out;
}

class Simplification : public testing::Test {
protected:
    TempDir dir;
    LODTree tree{dir.path().string() + "/", 20, 0};
};

TEST_F(Simplification, LeafOfTenKeepsSevenAndPassesThreeUp) {
    LODTreeNode* leaf = split(tree.root.get())->child(1);
    fillLeaf(leaf, 10, 0, 0.25f);
    ParentFiles parent(dir);
    EXPECT_EQ(simplifyUnder(leaf, parent, 64), 3u);
    EXPECT_EQ(passedUp(parent, 20), (std::vector<int32_t>{0, 4, 8}));

    const NodeOnDisk node = readNode(leaf);
    EXPECT_EQ(idsOf(node.entries), (std::vector<int32_t>{1, 2, 3, 5, 6, 7, 9}));
    EXPECT_EQ(offsets(node.header), (std::array<uint32_t, 5>{7, 0, 0, 0, 0}));
    EXPECT_EQ(node.header.coverage, 0.25f);
    EXPECT_FLOAT_EQ(node.header.defaultSplatRadius, 1.2f * std::sqrt(64 * 0.25f / 20));
    EXPECT_EQ(leaf->defaultSplatRadius, node.header.defaultSplatRadius);
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});

    // The worked example: 18 points kept on 100 units at coverage 0.5 give radius 1.2.
    LODTreeNode* other = tree.root->child(3);
    fillLeaf(other, 25, 0, 0.5f);
    ParentFiles parent2(dir);
    EXPECT_EQ(simplifyUnder(other, parent2, 100), 7u);
    EXPECT_EQ(readNode(other).header.defaultSplatRadius, 1.2f);
}

TEST_F(Simplification, InnerNodeOffsetsCountKeptPointsPerChild) {
    LODTreeNode* inner = split(split(tree.root.get())->child(1));
    inner->coverage = 0.5f;
    // The children pass up 3, 0, 5 and 2 points.
    fillLeaf(inner->child(1), 9, 100);
    fillLeaf(inner->child(3), 17, 300);
    fillLeaf(inner->child(4), 5, 400, 0.5f);
    ParentFiles parent(dir);
    EXPECT_EQ(simplifyUnder(inner, parent, 400), 3u);
    EXPECT_EQ(passedUp(parent, 20), (std::vector<int32_t>{100, 304, 400}));

    const NodeOnDisk node = readNode(inner);
    EXPECT_EQ(idsOf(node.entries), (std::vector<int32_t>{104, 108, 300, 308, 312, 316, 404}));
    EXPECT_EQ(offsets(node.header), (std::array<uint32_t, 5>{7, 2, 2, 6, 15}));
    EXPECT_FLOAT_EQ(node.header.defaultSplatRadius, 1.2f * std::sqrt(400 * 0.5f / 20));
    // Children are simplified with a quarter of the area.
    const NodeOnDisk fourth = readNode(inner->child(4));
    EXPECT_EQ(idsOf(fourth.entries), (std::vector<int32_t>{401, 402, 403}));
    EXPECT_FLOAT_EQ(fourth.header.defaultSplatRadius, 1.2f * std::sqrt(100 * 0.5f / 10));
    EXPECT_EQ(readNode(inner->child(3)).header.numPoints, 12u);
    EXPECT_FALSE(fs::exists(inner->child(2)->getPointPath()));
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});
}

TEST_F(Simplification, RootKeepsEverythingThatReachesIt) {
    // A leaf root gains the header in front of its records; its other files keep their order.
    LODTreeNode* root = tree.root.get();
    fillLeaf(root, 6, 50, 0.75f);
    const auto normalsBefore = readBytes(root->getNormalPath());
    EXPECT_EQ(root->simplify<LASPoint0>(nullptr, nullptr, nullptr, nullptr, 1e6f), 6u);
    NodeOnDisk node = readNode(root);
    EXPECT_EQ(idsOf(node.entries), (std::vector<int32_t>{50, 51, 52, 53, 54, 55}));
    EXPECT_EQ(node.header.numPoints, 6u);
    EXPECT_EQ(node.header.coverage, 0.75f);
    EXPECT_EQ(readBytes(root->getNormalPath()), normalsBefore);

    // An inner root whose children pass up 2 (of 5) and 1 (of 4).
    TempDir other;
    LODTree innerTree(other.path().string() + "/", 20, 0);
    LODTreeNode* r = split(innerTree.root.get());
    fillLeaf(r->child(2), 5, 200);
    fillLeaf(r->child(4), 4, 400);
    r->coverage = 0.5f;
    EXPECT_EQ(r->simplify<LASPoint0>(nullptr, nullptr, nullptr, nullptr, 16), 3u);
    node = readNode(r);
    EXPECT_EQ(idsOf(node.entries), (std::vector<int32_t>{200, 204, 400}));
    EXPECT_EQ(offsets(node.header), (std::array<uint32_t, 5>{3, 0, 2, 2, 15}));
    EXPECT_EQ(leftovers(other), std::vector<std::string>{});
}

TEST_F(Simplification, NodesWithoutPointsLeaveNoFiles) {
    LODTreeNode* top = split(tree.root.get());
    // A stale points file of an empty node goes.
    writeBytes(top->child(1)->getPointPath(), std::vector<unsigned char>(40, 1));
    ParentFiles parent(dir);
    EXPECT_EQ(simplifyUnder(top->child(1), parent, 4), 0u);
    EXPECT_FALSE(fs::exists(top->child(1)->getPointPath()));

    // An inner node whose children pass up nothing: no radius from a division by zero, no files.
    LODTreeNode* inner = split(top->child(2));
    inner->coverage = 0.5f;
    ParentFiles parent2(dir);
    EXPECT_EQ(simplifyUnder(inner, parent2, 4), 0u);
    EXPECT_EQ(inner->defaultSplatRadius, 0.0f);
    for (const std::string& p :
         {inner->getPointPath(), inner->getNormalPath(), inner->getSurfPath(), inner->getBorderPath()})
        EXPECT_FALSE(fs::exists(p)) << p;

    // A leaf of one point passes it up and keeps nothing.
    LODTreeNode* single = top->child(3);
    fillLeaf(single, 1, 7);
    ParentFiles parent3(dir);
    EXPECT_EQ(simplifyUnder(single, parent3, 4), 1u);
    EXPECT_EQ(passedUp(parent3, 20), std::vector<int32_t>{7});
    EXPECT_FALSE(fs::exists(single->getPointPath()));
    EXPECT_FALSE(fs::exists(single->getNormalPath()));
    EXPECT_EQ(leftovers(dir), std::vector<std::string>{});
}

TEST_F(Simplification, WholeRecordsWithExtraBytesInEveryFormat) {
    for (int format = 0; format <= 3; ++format) {
        TempDir d;
        const int length = las_detail::formatSize(format) + 9;
        LODTree t(d.path().string() + "/", length, format);
        LODTreeNode* leaf = split(t.root.get())->child(2);
        fillLeaf(leaf, 8, 1000);
        ParentFiles parent(d);
        uint32_t up = 0;
        switch (format) {
        case 0:
            up = simplifyUnder<LASPoint0>(leaf, parent, 4);
            break;
        case 1:
            up = simplifyUnder<LASPoint1>(leaf, parent, 4);
            break;
        case 2:
            up = simplifyUnder<LASPoint2>(leaf, parent, 4);
            break;
        case 3:
            up = simplifyUnder<LASPoint3>(leaf, parent, 4);
            break;
        }
        EXPECT_EQ(up, 2u) << format;
        EXPECT_EQ(passedUp(parent, length), (std::vector<int32_t>{1000, 1004})) << format;
        EXPECT_EQ(idsOf(readNode(leaf).entries), (std::vector<int32_t>{1001, 1002, 1003, 1005, 1006, 1007}))
            << format;
    }
}

// A missing or short side file, or a temporary that cannot be written, ends the build naming the file and
// leaves the node's points in place; the root checks its entries' files too.
TEST_F(Simplification, MissingOrShortFilesEndTheBuildNamingTheFile) {
    LODTreeNode* top = split(tree.root.get());
    for (int q = 1; q <= 3; ++q)
        fillLeaf(top->child(q), 10, 0);
    fs::remove(top->child(1)->getNormalPath());
    writeBytes(top->child(2)->getBorderPath(), readBytes(top->child(2)->getBorderPath()), 9);
    fs::create_directory(top->child(3)->getSurfPath() + "temp");
    TempDir other;
    LODTree single(other.path().string() + "/", 20, 0);
    fillLeaf(single.root.get(), 3, 0);
    fs::remove(single.root->getSurfPath());
    const std::pair<LODTreeNode*, const char*> cases[] = {{top->child(1), "normals-1"},
                                                          {top->child(2), "border-2"},
                                                          {top->child(3), "surf-3temp"},
                                                          {single.root.get(), "surf"}};
    for (const auto& [n, name] : cases) {
        ParentFiles parent(dir);
        const bool root = n == single.root.get();
        try {
            n->simplify<LASPoint0>(root ? nullptr : parent.f[0], root ? nullptr : parent.f[1],
                                   root ? nullptr : parent.f[2], root ? nullptr : parent.f[3], 4);
            ADD_FAILURE() << "no error for " << name;
        } catch (const TreeBuildError& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
        if (!root)
            EXPECT_EQ(readBytes(n->getPointPath()).size(), 10u * 20) << name;
    }
}

} // namespace
