// Node identity and files of the local tree: suffixes, neighbours, paths, the 26-byte node header and
// the tree-bounds record of the "header" file.
#include "LASHeader.h"
#include "LASVarLenRecord.h"
#include "LODTree.h"
#include "LodTreeLog.h"
#include "las/LasBuilder.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace {

// Captures the tree log for the lifetime of the object.
struct CapturedLog {
    std::ostringstream text;
    CapturedLog() { setLodTreeLog(&text); }
    ~CapturedLog() { setLodTreeLog(nullptr); }
};

TEST(NodeID, SuffixesNameTheQuadrantTakenAtEachLevel) {
    EXPECT_EQ(NodeID(0, 0, 0).generateSuffix(), "");
    EXPECT_EQ(NodeID(1, 0, 0).generateSuffix(), "-1");
    EXPECT_EQ(NodeID(1, 0, 1).generateSuffix(), "-2");
    EXPECT_EQ(NodeID(1, 1, 0).generateSuffix(), "-3");
    EXPECT_EQ(NodeID(1, 1, 1).generateSuffix(), "-4");
    EXPECT_EQ(NodeID(3, 5, 2).generateSuffix(), "-3-2-3");
    EXPECT_EQ(NodeID(2, 1, 3).generateSuffix(), "-2-4");
    EXPECT_EQ(NodeID(3, 7, 7).generateSuffix(), "-4-4-4");
    // The suffix of a child extends its parent's by the child's quadrant.
    const NodeID n(3, 5, 2);
    for (int q = 1; q <= 4; ++q)
        EXPECT_EQ(n.child(q).generateSuffix(), "-3-2-3-" + std::to_string(q));
    // Out of range, negatives included, gives no suffix.
    EXPECT_EQ(NodeID(2, 4, 0).generateSuffix(), "");
    EXPECT_EQ(NodeID(2, 0, 4).generateSuffix(), "");
    EXPECT_EQ(NodeID(2, -1, 0).generateSuffix(), "");
    EXPECT_EQ(NodeID(3, 2, -5).generateSuffix(), "");
}

TEST(NodeID, NeighboursByMarker) {
    const NodeID n(3, 4, 2);
    const struct {
        uint32_t marker;
        int dx, dy;
    } cases[] = {{0x80000000u, 0, -1}, {0x90000000u, 1, 0},  {0xA0000000u, -1, 0}, {0xB0000000u, 0, 1},
                 {0xC0000000u, -1, -1}, {0xD0000000u, 1, -1}, {0xE0000000u, -1, 1}, {0xF0000000u, 1, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(n.getNeighbourID(c.marker), NodeID(3, 4 + c.dx, 2 + c.dy)) << std::hex << c.marker;

    const NodeID corner = NodeID(3, 0, 0).getNeighbourID(0xC0000000u);
    EXPECT_EQ(corner, NodeID(3, -1, -1));
    EXPECT_EQ(corner.generateSuffix(), "");

    CapturedLog log;
    EXPECT_EQ(n.getNeighbourID(0x70000000u), n);
    EXPECT_NE(log.text.str().find("Error, incorrect marker for generating neighbour ID."), std::string::npos);
}

TEST(NodeID, BorderLevelIsTheCommonAncestorsLevel) {
    const NodeID a(3, 5, 2), b(3, 4, 3);
    EXPECT_EQ(a.getBorderLevel(&b), 2);                // both in (2, 2, 1)
    const NodeID far(3, 2, 2);
    EXPECT_EQ(a.getBorderLevel(&far), 0) << "only the root holds both";
    const NodeID parent(1, 1, 0);
    EXPECT_EQ(a.getBorderLevel(&parent), 1);
    const NodeID outside(3, 8, 2);
    EXPECT_EQ(a.getBorderLevel(&outside), 0);
    EXPECT_EQ(outside.getBorderLevel(&a), 0);
}

TEST(NodeFiles, PathsAreDirectoryNameAndSuffix) {
    LODTree tree("/data/set/");
    LODTreeNode node(&tree, NodeID(2, 1, 3));
    EXPECT_EQ(node.getPointPath(), "/data/set/points-2-4");
    EXPECT_EQ(node.getKnnPath(), "/data/set/knnInt-2-4");
    EXPECT_EQ(node.getNormalPath(), "/data/set/normals-2-4");
    EXPECT_EQ(node.getSurfPath(), "/data/set/surf-2-4");
    EXPECT_EQ(node.getBorderPath(), "/data/set/border-2-4");
    EXPECT_EQ(node.getCompNeighPath(), "/data/set/compNeigh-2-4");
    EXPECT_EQ(node.getBasePath(), "/data/set/");
    EXPECT_EQ(tree.root->getPointPath(), "/data/set/points");
}

TEST(NodeHeader, TwentySixLittleEndianBytesInFieldOrder) {
    TempDir dir;
    const std::string path = dir.file("h");
    LODTreeNodeHeader h;
    h.numPoints = 0x01020304;
    h.offsetQ2 = 5, h.offsetQ3 = 0x0600, h.offsetQ4 = 0x070000;
    h.coverage = 0.5f;
    h.defaultSplatRadius = 1.25f;
    h.setSubNodes(false, true, true, false);
    EXPECT_EQ(h.subNodes, 6);
    h.setSubNodes(true, false, false, true);
    h.numSubLevels = 3;
    EXPECT_EQ(h.subNodes, 9);
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(h.write(f));
    std::fclose(f);
    const std::vector<unsigned char> expected = {4, 3, 2, 1, 5, 0, 0, 0, 0, 6, 0, 0, 0, 0, 7, 0, 0,
                                                 0, 0, 0x3F, 0, 0, 0xA0, 0x3F, 9, 3};
    EXPECT_EQ(readBytes(path), expected);

    LODTreeNodeHeader back;
    f = std::fopen(path.c_str(), "rb");
    ASSERT_TRUE(back.read(f));
    std::fclose(f);
    EXPECT_EQ(back.numPoints, h.numPoints);
    EXPECT_EQ(back.offsetQ2, 5u);
    EXPECT_EQ(back.offsetQ3, 0x600u);
    EXPECT_EQ(back.offsetQ4, 0x70000u);
    EXPECT_EQ(back.coverage, 0.5f);
    EXPECT_EQ(back.defaultSplatRadius, 1.25f);
    EXPECT_EQ(back.subNodes, 9);
    EXPECT_EQ(back.numSubLevels, 3);
}

TEST(NodeHeader, ShortReadsAndFailedWritesNameTheField) {
    TempDir dir;
    const std::string path = dir.file("h");
    const struct {
        size_t bytes;
        const char* field;
    } cases[] = {{0, "numPoints"}, {10, "offsetQ3"}, {19, "coverage"}, {24, "subNodes"}, {25, "numSubLevels"}};
    for (const auto& c : cases) {
        writeBytes(path, std::vector<unsigned char>(c.bytes, 1));
        CapturedLog log;
        LODTreeNodeHeader h;
        FILE* f = std::fopen(path.c_str(), "rb");
        EXPECT_FALSE(h.read(f)) << c.bytes;
        std::fclose(f);
        EXPECT_EQ(log.text.str(), std::string("ReadError: TreeNodeHeader:") + c.field);
    }
    CapturedLog log;
    FILE* f = std::fopen(path.c_str(), "rb"); // not writable
    EXPECT_FALSE(LODTreeNodeHeader().write(f));
    std::fclose(f);
    EXPECT_EQ(log.text.str(), "WriteError: TreeNodeHeader:numPoints");
}

// A "header" file as the construction writes it: the header block, `headerExtra` bytes, the records.
std::string writeHeaderFile(const TempDir& dir, int headerExtra, const std::vector<LASVarLenRecord>& records) {
    LasBuilder b;
    b.headerExtra = headerExtra;
    LASHeader h = b.header();
    h.NumberOfVariableLengthRecords = uint32_t(records.size());
    h.OffsetToPointData = uint32_t(227 + headerExtra);
    for (const auto& r : records)
        h.OffsetToPointData += uint32_t(r.TotalBytes());
    std::vector<unsigned char> block(227);
    h.copyToBuffer(block.data());
    const std::string path = dir.file("header");
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(block.data(), 1, 227, f);
    // Extra bytes that look like the start of a record: read as one, they would hide the real ones.
    for (int i = 0; i < headerExtra; ++i)
        std::fputc(i % 2 ? 'Q' : 0, f);
    for (const auto& r : records)
        r.Write(f);
    std::fclose(f);
    return path;
}

LASVarLenRecord record(const char* user, const std::vector<double>& data) {
    LASVarLenRecord r;
    std::memcpy(r.UserID, user, std::strlen(user) + 1);
    r.RecordLenAfterHeader = uint16_t(data.size() * 8);
    r.CreateData();
    std::memcpy(r.Data.data(), data.data(), r.Data.size());
    return r;
}

TEST(TreeBounds, ReadFromTheRecordsAfterTheExtraHeaderBytes) {
    TempDir dir;
    const std::string base = dir.path().string() + "/";
    writeHeaderFile(dir, 61, {record("LASF_Projection", {1, 2, 3}), record("QUMA", {-1000, 3096, 250.5, 4346.5})});
    CapturedLog log;
    LASHeader header;
    const TreeBounds b = LODTree::retrieveTreeBounds(base, &header);
    EXPECT_EQ(b, (TreeBounds{-1000, 3096, 250.5, 4346.5}));
    EXPECT_EQ(header.HeaderSize, 227 + 61);
    EXPECT_EQ(header.NumberOfVariableLengthRecords, 2u);
    EXPECT_NE(log.text.str().find("Number of variable length records: 2"), std::string::npos);
    EXPECT_NE(log.text.str().find("VLR 1: QUMA"), std::string::npos);
}

TEST(TreeBounds, MissingRecordOrFileIsAnError) {
    TempDir dir;
    const std::string base = dir.path().string() + "/";
    CapturedLog log;
    EXPECT_THROW(LODTree::retrieveTreeBounds(base, nullptr), TreeBuildError) << "no header file";
    writeHeaderFile(dir, 0, {record("LASF_Projection", {1, 2, 3})});
    EXPECT_THROW(LODTree::retrieveTreeBounds(base, nullptr), TreeBuildError) << "no QUMA record";
    // The QUMA record cut short by the end of the file.
    const std::string path = writeHeaderFile(dir, 0, {record("QUMA", {0, 1, 0, 1})});
    writeBytes(path, readBytes(path), 227 + 54 + 20);
    EXPECT_THROW(LODTree::retrieveTreeBounds(base, nullptr), TreeBuildError) << "truncated";
}

} // namespace
