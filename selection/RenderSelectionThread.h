#pragma once
// Decides, tile by tile, which level of detail to draw and which levels to fetch. A selection cycle runs
// on its own thread whenever the camera, the splat-size threshold or the loaded data change: it estimates
// each level's splat radius from the data present, moves each settled tile one level finer or any number
// coarser, and hands the missing levels to the tile cache as batched rectangle requests, nearest and
// visible tiles first. On the main thread it draws the tiles of one level per call.
//
// The main thread hands over the camera, the threshold and the dirty flag without locks (atomics); the
// cache thread hands back finished requests through pushHandled.
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
    RenderSelectionThread(std::string dataset, LASHeader* header, double pixelFactor, short maxLOD, double radius);
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
};
