#pragma once
// The local level-of-detail tree: a quadtree over one LAS file whose nodes live as files in a data set
// directory. The same node class serves the offline construction (partition, levelling, neighbours,
// normals, simplification) and the runtime side that the node retriever fills.
//
// Coordinates are the records' stored integers (before scale and offset). Node files hold whole records
// of the data set's record length (the input's PointDataRecordLength, extra bytes included), so nothing
// of the input is lost; the format's fields sit in the first 20, 28, 26 or 34 bytes.
#include "GeometryTypes.h"
#include "LODTreeNodeHeader.h"
#include "NodeID.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class LASHeader;
class LASVarLenRecord;
class LODTree;

// Minimum x, maximum x, minimum y, maximum y in stored integer units.
using TreeBounds = std::array<double, 4>;

constexpr int32_t MAX_LEAF_POINTS = 40000;
// Leaves are not split below this level, nor when their points cannot be separated (all at one x, y):
// such a leaf may hold more than MAX_LEAF_POINTS points.
constexpr int MAX_TREE_LEVEL = 16;
// Nearest-neighbour lists hold the point itself and up to 100 others.
constexpr int KNN_LIST = 101;
constexpr int KNN_STORED = 100;

// Node states of the runtime side.
enum NodeStatus : int { NODE_EMPTY = 0, NODE_NOT_LOADED = 1, NODE_REQUESTED = 2, NODE_IN_RAM = 3, NODE_IN_VRAM = 4 };
const char* nodeStatusName(int status);

// Thrown by the construction for what it cannot recover from (files that cannot be written or
// replaced, an interruption); the message names the file.
class TreeBuildError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a caller watches and stops a build. Every field is optional.
struct TreeBuildControl {
    // Polled between records and nodes; once true the build throws TreeBuildError("interrupted").
    const std::atomic<bool>* interrupt = nullptr;
    // Stage name ("partition", "levels", "neighbours", "normals", "borders", "coverage",
    // "simplification"), work done and total (points or nodes), called now and then.
    std::function<void(const char* stage, uint64_t done, uint64_t total)> progress;

    // Filled by the build.
    struct StageTime {
        std::string stage;
        double seconds = 0;
    };
    std::vector<StageTime> stageTimes;
    int maxOpenFiles = 0;     // most point files open at once during partitioning and levelling
    uint64_t nodes = 0;       // nodes of the final tree
    uint64_t pointsRead = 0;  // records read from the input
    uint64_t zeroNormals = 0; // points that got the (0, 0, 0) normal for want of neighbours
};

class LODTreeNode {
public:
    LODTreeNode(LODTree* tree, NodeID id);
    ~LODTreeNode(); // closes its point file; children go with it
    LODTreeNode(const LODTreeNode&) = delete;
    LODTreeNode& operator=(const LODTreeNode&) = delete;

    LODTree* tree;
    NodeID id;
    std::unique_ptr<LODTreeNode> children[4]; // quadrants 1 to 4
    int32_t numPoints = 0;                      // records in the point file; -1 once split
    float coverage = 0;
    float defaultSplatRadius = 0;

    LODTreeNode* child(int quadrant) const { return children[quadrant - 1].get(); }
    bool isSplit() const { return numPoints == -1; }
    void createChildren(); // whichever of the four are missing

    // Node file paths: the tree's directory, the fixed name, the suffix.
    std::string getBasePath() const;
    std::string getPointPath() const;
    std::string getKnnPath() const;
    std::string getKnn2DPath() const;
    std::string getNormalPath() const;
    std::string getSurfPath() const;
    std::string getBorderPath() const;
    std::string getCompNeighPath() const;

    // ---- construction (TreeConstruction.cpp)
    // Routes one packed record (the tree's record length) down to its leaf; true when this call split
    // this node.
    bool partitionPoint(const unsigned char* record, const TreeBounds& bounds);
    void levelTree(int maxLevel, const TreeBounds& bounds);
    int getMaxLevel() const;
    int64_t getHighestLeafDimensions(const TreeBounds& bounds) const;
    float calculateCoverage(const TreeBounds& bounds);
    void closeOutputFiles();
    void deletePointFiles();
    uint64_t countPoints() const;
    uint64_t countNodes() const;

    // ---- neighbours and normals (NodeNeighbours.cpp)
    // Called on the root with the root. `flag` selects the two-dimensional variant ("knnInt2D") for this
    // node only.
    void calculateKNNint(LODTreeNode* root, bool flag);
    void calculateNormals(LODTreeNode* root);
    // Writes "surf" (0 for every point) and "border" (1 where the point's list names a point of another
    // node, else 0) for every leaf, from its "knnInt" file.
    void markBorderPoints();
    // Called on the root. Null for an identifier out of range; at a missing child the deepest node
    // reached when allowAncestor, else null.
    LODTreeNode* getSubNodeFromRoot(NodeID target, bool allowAncestor);
    // Removes every "knnInt" and "knnInt2D" file of the subtree (they index the order before the
    // simplification moved points up).
    void deleteNeighbourFiles();

    // ---- simplification (NodeSimplification.cpp); P is LASPoint0 to LASPoint3
    template <class P>
    uint32_t simplify(FILE* parentPoints, FILE* parentNormals, FILE* parentSurf, FILE* parentBorder, float area);

    // ---- runtime side (LODTreeRuntime.cpp)
    std::atomic<int> status{NODE_NOT_LOADED};
    std::atomic<bool> needsUpload{false}; // the loaded arrays wait for a GPU buffer
    LODTreeNodeHeader header;             // as read by the retriever
    std::vector<Splat> splats;            // raw X, Y, Z and the stored normal
    std::vector<Color> colors;            // formats 2 and 3 only
    std::vector<uint32_t> surfaceIDs;
    std::vector<uint8_t> borders;
    int32_t zMin = 0, zMax = 0;

    // Prints "Setting node status of node SUFFIX to NAME" on the tree log.
    void setNodeStatus(int newStatus);
    // Atomically moves from `expected` to `desired`; false (nothing changed) when the state was another.
    bool compareAndSetStatus(int expected, int desired);
    void initForRetrieval(const LODTreeNodeHeader& h); // clears the arrays, reserves numPoints
    void pushSplat(const Splat& s) { splats.push_back(s); }
    void pushColor(const Color& c) { colors.push_back(c); }
    void pushSurfaceID(uint32_t id) { surfaceIDs.push_back(id); }
    void pushBorder(uint8_t b) { borders.push_back(b); }
    void setZbounds(); // from the splats

    // ---- viewer side (TreeSelection.cpp and the viewer's GL code); main thread only. A node marked
    // optimizationPending (below) is not evicted.
    uint32_t vertexBuffer = 0, colorBuffer = 0; // GL buffer names; 0: none
    uint32_t uploadedSplats = 0;
    float drawRadius = 0;         // raw units, the radius this node's splats are drawn with this frame
    uint64_t lastWanted = 0;      // last selection frame that wanted the node loaded
    double selectedDistance = 0;  // normalised distance from the camera in that frame
    // ---- end of viewer side

    // ---- surface optimisation (optimization/): what the pipeline reads and clears. The selection that
    // sets these lives with the rest of the runtime side.
    std::atomic<float> predictedTimeInView{0}; // milliseconds the node is expected to stay on screen
    std::atomic<bool> optimizationPending{false}; // a request for this node is somewhere in the pipeline

private:
    friend class LODTree;
    FILE* pointFile = nullptr;     // open for appending while records arrive
    bool pointFileCreated = false; // the file exists: reopen in append mode
    std::list<LODTreeNode*>::iterator openPosition; // in the tree's open-file list while open
    // Extent of the records in the point file: a full leaf whose records and newcomer all share one x, y
    // is not split, since no quadrant could separate them.
    int32_t minX = 0, maxX = 0, minY = 0, maxY = 0;

    FILE* appendFile(); // opens (or reopens) the point file through the tree's limit on open files
    void closePointFile();
    void appendRecord(const unsigned char* record);
    // Both move the point file's records below this node and delete the file: a split hands them to
    // the children, which apply the leaf limit; levelling takes each straight down to `level`, creating
    // the nodes on its way.
    void splitLeaf(const TreeBounds& bounds);
    void pushRecordsDown(const TreeBounds& bounds, int level);
};

class LODTree {
public:
    // `directory` ends with a path separator: file names are appended to it directly.
    explicit LODTree(std::string directory, int recordLength = 0, int pointFormat = 0);
    ~LODTree();

    std::string directory;
    int recordLength; // bytes per record in the node files
    int pointFormat;  // 0 to 3
    std::unique_ptr<LODTreeNode> root;
    TreeBuildControl* control = nullptr;

    // Reads the directory's "header" file: the LAS header into `header` (when not null), then the
    // variable-length records from HeaderSize on, printing "Number of variable length records: " and each
    // "VLR i: USERID"; returns the data of the "QUMA" record. Throws TreeBuildError when the file cannot
    // be read or has no such record.
    static TreeBounds retrieveTreeBounds(const std::string& directory, LASHeader* header);

    // At most this many point files are open at once; the least recently used is closed first.
    static constexpr int MaxOpenFiles = 128;
    int openFiles() const { return int(open_.size()); }
    int maxOpenFiles() const { return maxOpen_; }
    void checkInterrupt() const; // throws TreeBuildError("interrupted") when the control says so

private:
    friend class LODTreeNode;
    std::list<LODTreeNode*> open_; // most recently used first
    int maxOpen_ = 0;

    // Progress of a stage that walks the nodes.
    const char* nodeStage_ = "";
    uint64_t nodesDone_ = 0, nodesTotal_ = 0;
    void beginNodeStage(const char* stage, uint64_t total) {
        nodeStage_ = stage, nodesDone_ = 0, nodesTotal_ = total;
    }
    void nodeDone() {
        ++nodesDone_;
        if (control && control->progress)
            control->progress(nodeStage_, nodesDone_, nodesTotal_);
    }
    template <class P>
    friend LASVarLenRecord partition(FILE*, const std::string&, LASHeader&, TreeBuildControl*);
};

// The square of the second pass: its origin is the smaller of the first bounds' minimum and the
// records' own minimum on each axis (`pointExtent`, in bounds order; null without records), and its
// side is the smallest leaf width of the first pass (at least 1) doubled until the square reaches both
// the first bounds' maximum and the records' maximum on x and on y. Header boxes that miss records
// thus still give a tree that holds them all.
TreeBounds finalTreeBounds(const TreeBounds& first, const TreeBounds* pointExtent, int64_t leafWidth);

// The whole preprocessing of one LAS file into `directory` (which ends with a separator): partition,
// levelling, neighbours, normals, surface identifiers and borders, coverage, simplification, and the
// "header" file (written last, so its presence marks a complete build). Prints on the tree log; throws
// TreeBuildError on failure (the directory is then incomplete).
void partition(FILE* file, const std::string& directory, TreeBuildControl* control = nullptr);
// The per-format tree building; returns the tree-bounds record.
template <class P>
LASVarLenRecord partition(FILE* file, const std::string& directory, LASHeader& header, TreeBuildControl* control);
