#pragma once
// Surface classification by region growing. Seeds are taken in order of their compatible-neighbour
// counts, best first; each seed that is not yet part of a surface starts one, which grows breadth first
// across neighbours whose normals agree with the seed's and which lie near the seed's tangent plane.
// The interactive classifier does one step per call, so that a viewer can show the surfaces growing,
// and then selects finished surfaces for display.
//
// Classes count from 1; 0 means "not classified". Seeds with fewer than MIN_SEED_NEIGHBOURS compatible
// neighbours start nothing.
#include "CompatibleNeighbours.h"
#include "GeometryTypes.h"
#include "IndexPair.h"
#include "QueryHandler.h"
#include "SurfaceRules.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

enum ClassType : int {
    POINT_CLASSES = 0,   // pointClasses, the classes of a batch classification or a class file
    SURFACE_CLASSES = 1, // surfaceClasses, grown by nextIteration
};

class SurfaceClassifier {
public:
    // Computes (or loads from the cache) the compatible neighbours and prepares the growth; prints
    // "Starting surface classification at index 0".
    void initSurfaceClassification(const QueryHandler& q, double maxAngleDeg, double maxRelDistance,
                                   double secondaryAngleDeg, double globalAngleDeg,
                                   const CompatibilityOptions& options = {});
    // One step: with an empty frontier, the next seed (a seed already in a surface is passed over and
    // uses no class number); otherwise the point at the front of the frontier joins the current class
    // and queues its qualifying neighbours. Returns whether the frontier is empty afterwards. Once the
    // seeds run out, or the best remaining one has fewer than MIN_SEED_NEIGHBOURS compatible
    // neighbours, prints "Ended surface detection." and the classification has ended; further calls do
    // nothing.
    bool nextIteration(const QueryHandler& q);
    bool classificationEnded() const { return endOfProcessing; }

    // Fill classIndeces with the points of currentClass in the chosen array (every classified point
    // when currentClass is -2), in ascending order; print "Filled class of N points.".
    void fillClassIndeces(ClassType type);
    void nextClass(ClassType type);
    void previousClass(ClassType type); // not below -2
    void generateClass(int cls, ClassType type);
    void resetSurfaceClasses(int value);

    // Class files of this classifier's arrays (see saveClasses and loadClasses below).
    void saveClasses(const QueryHandler& q, const std::string& path, ClassType type) const;
    void loadClasses(const QueryHandler& q, const std::string& path, ClassType type);

    uint32_t numPoints = 0;
    std::vector<int32_t> surfaceClasses;
    std::vector<int32_t> pointClasses;
    std::vector<int32_t> kNeighbours;    // compatible-neighbour count by point
    std::vector<IndexPair> compNeighNum; // seeds, best first
    size_t currentIt = 0;                // the current seed in compNeighNum
    int32_t currentClass = 0;            // class being grown, or selected for display
    int32_t numClasses = 0;              // classes grown so far
    uint32_t classifiedPoints = 0;
    GLVector3f avgNormal{0, 0, 0};    // the seed's normal
    double secondaryMaxAngleDiff = 0; // radians
    double globalMaxAngleDiff = 0;    // radians
    bool endOfProcessing = true;
    std::deque<IndexPair> frontier;
    std::vector<int32_t> classIndeces;
    int32_t numClassPoints = 0;

private:
    const std::vector<int32_t>& classes(ClassType type) const;
    bool seedTaken_ = false;
    GrowthRule rule_{DEFAULT_SECONDARY_ANGLE_DEG, DEFAULT_GLOBAL_ANGLE_DEG};
    std::vector<const QueryPoint*> neighbours_;
};

// Class file: little-endian int32 count, then one int32 class per point of the data set, 4 + 4 x
// numPoints bytes, written under a temporary name and renamed into place. Prints "Saving classes... "
// and "saved.". Throws std::invalid_argument when count differs from the data set's point count, and
// std::runtime_error when the file cannot be written.
void saveClasses(const QueryHandler& q, int count, const int32_t* classes, const std::string& path);
// Reads a class file of the data set back. Throws std::runtime_error with the reason when the file
// cannot be read, holds another count than the data set's points, is truncated or too long, or holds a
// negative class.
std::vector<int32_t> loadClasses(const QueryHandler& q, const std::string& path);

// The class after `current`; throws std::overflow_error rather than go past what a 32-bit class file
// holds.
int32_t nextClassNumber(int32_t current);

// Set every splat's normal to length `size` (setSize) or 1.2 x size (setNewSize), keeping its direction:
// the normal's length is the splat's radius. A splat without a normal keeps (0, 0, 0).
void setSize(std::vector<Splat>& splats, double size);
void setNewSize(std::vector<Splat>& splats, double size);
