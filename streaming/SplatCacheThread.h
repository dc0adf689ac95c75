#pragma once
// The tile cache: one SplatTile and three GPU buffers (splats, colours, attribute records) per grid tile, a
// queue of level-of-detail requests per level, and the thread that serves them one at a time from the point
// server, filing the points into their tiles while the reply streams in. The main thread uploads filled tiles
// each frame and hands finished requests back to the render selection thread once they are on the GPU.
//
// Locks: the request lock (queues, current request bounds, and the level count of every tile), the
// finished lock, the statistics lock, and each tile's own lock. The cache thread takes the request lock
// and then the locks of a request's tiles in ascending order, and keeps the tile locks across the
// transfer; the main thread only try-locks a tile for its regular upload, and the mesh worker only to
// copy the tile's splats.
#include "CThread.h"
#include "SplatTile.h"

#include <array>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

class LASHeader;
class LODGrid;
class RenderSelectionThread;
struct LODRequest;

class SplatCacheThread : public CThread {
public:
    // The cache for the header's point format (0 to 3), not started; null, with a message, for any
    // other format.
    static SplatCacheThread* newSplatCacheThread(std::string dataset, LODGrid* grid, short levels,
                                                 LASHeader* header, RenderSelectionThread* selection);

    // Queue operations (render selection thread).
    virtual void addRequest(LODRequest* request, bool primary) = 0;
    virtual bool requestExists(unsigned tile, short level) = 0;
    // True when the tile has not begun `level` and no queued request covers it there.
    virtual bool requestNeeded(unsigned tile, short level) = 0;
    virtual LODRequest* recallRequest(short level) = 0;
    virtual void recallRequests(short level, std::list<LODRequest*>& out) = 0;
    virtual void clearRequests() = 0;
    virtual int countRequests() = 0;
    virtual void printRequests() = 0;
    // Every request the cache still holds, queued or finished but not handed back; the cache forgets
    // them. Only once the cache thread has ended.
    virtual void releaseRequests(std::vector<LODRequest*>& out) = 0;

    virtual SplatTile* getTile(unsigned n) = 0;
    virtual std::vector<SplatTile>* getTiles() = 0;
    virtual bool isInitialized() = 0;
    // Normalised minX, maxX, minY, maxY of the request being fetched.
    virtual std::array<double, 4> getCurrentRequestBounds() = 0;
    // Distance from a point of normalised space to the tile's box (its height range once it has splats).
    virtual double calculateMinDistanceToPoint(double x, double y, double z, unsigned tile) = 0;
    // Splats per second over the last requests; 3000 before there is any history.
    virtual int getAverageRetrievalSpeed() = 0;
    // Adds one transfer to the history the speed is measured over (the last 20).
    virtual void recordRetrieval(int milliseconds, int points) = 0;
    // Raw heights (LAS integer units) and intensities at two percentiles (0 to 100) of a bounded sample of
    // the points filed so far; false before any point. Any thread; cheap while nothing new was filed.
    virtual bool attributePercentiles(float lowPct, float highPct, double& zLow, double& zHigh, double& iLow,
                                      double& iHigh) = 0;

    // Serves the most urgent request; returns without one when nothing is queued and the thread is asked
    // to stop.
    virtual void handleNextRequest() = 0;

    // Main thread, with the GL context current.
    virtual void updateVBOs(long frame) = 0;
    virtual void updateVBO(unsigned tile, long frame) = 0;
    virtual void forceUpdateVBO(unsigned tile, long frame) = 0;
    // Draws the tile's splats: at most as many of `indices` as its last upload holds. Points the colour
    // attribute at the colour buffer (when asked) and the attribute-record attribute at the tile's records
    // whenever they cover the splats drawn; enabling the arrays is the caller's.
    virtual void renderSplats(unsigned tile, std::vector<int>* indices, bool withColors) = 0;
    // Splats on the GPU for the tile.
    virtual int uploadedSplats(unsigned tile) = 0;

    // Meshes. triangulateTile appends a simplified triangulation of the splats on the tile's GPU buffers
    // (indices are splat numbers, `threshold` a length in world units, -1 the default). It copies them
    // under the tile's lock without waiting for it (false when the tile is busy) and computes outside
    // the lock; it takes long, so never call it on the GL thread.
    virtual bool triangulateTile(unsigned tile, std::vector<unsigned>& indices, float threshold) = 0;
    // Main thread: draws the triangles `indices` over the tile's buffers.
    virtual void renderTriangles(unsigned tile, std::vector<unsigned>* indices, bool withColors) = 0;

    // The cache's mesh worker, which triangulates one tile at a time off the GL thread.
    struct TileMesh {
        unsigned tile = 0;
        int splats = 0; // the mesh covers the tile's first `splats` splats
        std::vector<unsigned> indices;
    };
    // Main thread: asks for a mesh of the tile's first `splats` splats, all of which must be on the GPU.
    // A later request for a tile replaces its request not yet begun. A busy tile is retried.
    virtual void requestMesh(unsigned tile, int splats, float threshold) = 0;
    // Main thread: the meshes finished since the last call, oldest first.
    virtual void takeMeshes(std::vector<TileMesh>& out) = 0;
    // Drops the requests not yet begun.
    virtual void cancelMeshes() = 0;

    // Counters for diagnostics and tests.
    virtual int failedTransfers() = 0;
    virtual unsigned droppedSplats() = 0;
    // Page faults (minor and major) the cache thread took while serving requests.
    virtual std::uint64_t servingPageFaults() = 0;
};

// The cache for one point record class (LASPoint0 to LASPoint3).
template <class Point> class SplatCacheThreadImpl;
