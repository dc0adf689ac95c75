#pragma once
// Decides, tile by tile, which level of detail to draw and which levels to fetch. A selection cycle runs
// on its own thread whenever the camera, the splat-size threshold or the loaded data change: it estimates
// each level's splat radius from the data present, moves each settled tile one level finer or any number
// coarser, and hands the missing levels to the tile cache as batched rectangle requests, nearest and
// visible tiles first. On the main thread it draws the tiles of one level per call, and in mesh mode
// the tiles whose simplified triangle mesh is ready.
//
// A point budget bounds the splats of all draw lists together: when the levels the threshold asks for
// would exceed it, the farthest tiles (those out of view first) are coarsened, or left out altogether,
// and no level is fetched that would not be drawn. Each level's splat radius is widened where the local
// spacing of its points leaves gaps that the mean density does not show (scan lines).
//
// The main thread hands over the camera, the threshold, the budget and the dirty flag without locks
// (atomics); the cache thread hands back finished requests through pushHandled.
#include "CThread.h"
#include "GeometryTypes.h"
#include "RenderTile.h"
#include "WakeSignal.h"

#include <atomic>
#include <deque>
#include <string>
#include <vector>

class LASHeader;
class LODGrid;
class SplatCacheThread;
struct LODRequest;

// How the attribute and shading passes colour the splats.
enum ColorMode : int { COLOR_OFF = 0, COLOR_LAS = 1, COLOR_NORMALS = 2, COLOR_DEPTH = 3 };

class RenderSelectionThread : public CThread {
public:
    // Builds the grid, the cache (not for point formats other than 0 to 3) and one render tile per grid
    // tile, and starts the cache thread. The caller starts this thread.
    RenderSelectionThread(std::string dataset, LASHeader* header, double pixelFactor, short maxLOD,
                          double radius);
    // Stops both threads and deletes every request still queued, finished or handed back, once each.
    ~RenderSelectionThread() override;

    void setCameraPosition(GLVector3d eye);
    void Run() override;
    // Cache thread: a request whose level is uploaded for all its tiles.
    void pushHandled(LODRequest* request);

    // Main thread, GL context current. Returns the number of splats drawn.
    int renderSplats(short level, ColorMode mode, float gridExpansion);
    void renderGrid(float gridExpansion);
    void renderCurrentRequest(float gridExpansion);

    // Mesh mode (main thread). Each frame: takes the meshes the cache's worker finished and asks it for
    // a mesh of every visible tile whose requested level is uploaded and whose mesh does not cover
    // exactly its drawn splats. A tile with a mesh draws it (an older one while the next is made), and
    // no splats; the others draw splats. Off, every tile draws splats and waiting requests are dropped.
    void updateMeshes(bool on);
    bool meshMode() const { return meshMode_; }
    // Draws the mesh tiles in view; returns how many.
    int renderMeshes(ColorMode mode, float gridExpansion);
    // Tiles drawn by the last renderMeshes.
    int meshTilesDrawn() const { return meshTilesDrawn_; }
    struct Mesh {
        std::vector<unsigned> indices; // splat numbers, three per triangle; empty: draw splats
        int splats = 0;                // the mesh covers splats 0 .. splats-1
        int pending = 0;               // splat count asked for and not yet delivered; 0 none
    };
    const Mesh& mesh(unsigned t) const { return meshes_.at(t); }
    // Simplification threshold of the meshes, a length in world units (-1: the geometry's default).
    float meshThreshold = -1;

    RenderTile* getTiles();
    RenderTile* getTile(unsigned t);

    // One selection cycle after a change (handed-back requests, level statistics, level decisions,
    // requests). False when nothing had changed. The thread runs it; tests drive it directly.
    bool runCycle();
    // Projected size in pixels of level `level`'s splats at distance `distance`.
    double projectedSize(short level, double distance) const;

    std::vector<RenderTile> renderTiles;
    LODGrid* grid = nullptr;
    SplatCacheThread* cache = nullptr;
    std::deque<LODRequest*> handled;
    CMutexClass lock;
    std::atomic<double> camera[3] = {0.0, 0.0, 0.0};
    double lastCamera[3] = {0, 0, 0};
    double lastMinProjectedSize = 1.5;
    std::atomic<double> minProjectedSize{1.5};
    std::atomic<bool> dirty{false};
    std::atomic<double> pixelFactor; // the main thread updates it when the window's height changes
    short maxLOD;
    // Read by the renderer every frame while the cycle updates them.
    std::vector<std::atomic<double>> levelRadius;
    std::vector<double> levelDensity;
    double radius;
    // Splats all draw lists may hold together (main thread, e.g. from the panel).
    std::atomic<long> pointBudget{3000000};
    // True while the budget holds detail back: the levels the threshold asks for would not fit in it.
    bool budgetLimited() const { return budgetLimited_.load(); }
    // The finest level the budget allows tile t (maxLOD while the budget holds nothing back, -1 when
    // nothing of the tile fits). Selection thread, or once it has stopped.
    short budgetLevel(unsigned t) const { return cap_.empty() ? maxLOD : cap_.at(t); }
    // Gap ratio of each level from the local spacing of its points (0 until measured); the level's radius
    // is the mean-density radius times this when it is above 1.
    double spacingRatio(short level) const { return gapRatio_.at(size_t(level)); }

private:
    // Handed-back requests and camera moves start a cycle without waiting out the polling period.
    WakeSignal wake_;
    using Grid2 = std::vector<std::vector<RenderTile*>>;
    // Scratch grids of the cycle: [level][x][y], [x][y].
    std::vector<Grid2> requests_;
    std::vector<std::vector<float>> distances_;
    std::vector<std::vector<char>> visible_;

    bool changed() const;
    void allocateScratch();
    void levelStatistics(const std::vector<char>& changedLevels);
    void decide(RenderTile& tile, unsigned x, unsigned y, double distance);
    void requestLevel(RenderTile& tile, unsigned x, unsigned y, short level);
    void processRequests(bool moved);
    void batch(short level, bool primary);
    // Normalised height range of a tile: its splats' once it has some, else the data set's.
    void tileHeights(unsigned t, double& z0, double& z1) const;
    bool tileInView(unsigned t) const;
    bool drawsMesh(unsigned t) const;
    // A tile refined to a level already received: run another cycle although nothing else changed.
    bool refineAgain_ = false;

    // Point budget (selection thread).
    long lastPointBudget_ = 3000000;
    std::atomic<bool> budgetLimited_{false};
    bool wasLimited_ = false;   // in the previous cycle
    std::vector<short> cap_;    // per tile: the finest level the budget allows
    std::vector<char> dropped_; // per tile: its draw list emptied because nothing of it fits
    std::vector<char> trimmed_; // per tile: draw list cut while a level was on its way
    // The level a tile at `cur` ends at under the threshold, one refinement per cycle at a time.
    short settledLevel(short cur, double distance) const;
    // Splats of levels 0 to `level` of tile t: exact for whole levels, else estimated from the densities.
    double tileCost(uint32_t t, short level) const;
    double meanLevelSize(short level) const;
    void allocateBudget();
    // Under the tile's lock: the tile drawn at `level` at most (-1: nothing), settled.
    void settleAt(RenderTile& tile, short level);
    // After the recall: drops wanted levels the budget does not allow and settles tiles left waiting.
    void dropUnaffordable();
    // An arriving level for a tile the budget has cut: draws what it allows; false when not cut.
    bool arriveWithinBudget(RenderTile& tile, short level, long& drawn);

    // Local spacing of the levels received (selection thread).
    struct Spacing {
        float ratio = 0;
        unsigned triangles = 0;
    };
    std::vector<Spacing> spacing_; // [tile × (maxLOD + 1) + level]
    std::deque<std::pair<uint32_t, short>> spacingQueue_;
    std::vector<double> gapRatio_; // per level, pooled over tiles
    void measureSpacing(std::vector<char>& changedLevels);

    // Main thread only.
    bool meshMode_ = false;
    std::vector<Mesh> meshes_;
    int meshTilesDrawn_ = 0;
};
