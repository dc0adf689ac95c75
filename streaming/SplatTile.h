#pragma once
// All splats of one grid tile received so far, level of detail after level of detail in one array, so
// that levels 0 to L always form a prefix that uploads in one piece. The tile is its own lock; the
// cache thread holds it while a level streams in and while the tile is uploaded.
#include "CMutexClass.h"
#include "GeometryTypes.h"
#include "MeshPoint.h"
#include "TileMemory.h"

#include <atomic>
#include <cfloat>
#include <cstdint>
#include <mutex>
#include <vector>

class LODGrid;
class RenderTile;
class TriangulationVertex;

class SplatTile : public CMutexClass {
public:
    // The arrays live in TileMemory: large, written once, and recycled when a vector grows.
    using SplatArray = std::vector<Splat, TileAllocator<Splat>>;
    using ColorArray = std::vector<Color, TileAllocator<Color>>;
    using AttributeArray = std::vector<PointAttributes, TileAllocator<PointAttributes>>;

    SplatTile() = default;
    // Copies contents and flags; the copy's lock is free. Only while the cache builds its tiles.
    SplatTile(const SplatTile& o);
    SplatTile& operator=(const SplatTile&) = delete;

    void addSplat(const Splat& s) { splats.push_back(s); }
    void addColor(const Color& c) { colors.push_back(c); }
    void addAttributes(const PointAttributes& a) { attributes.push_back(a); }
    // Begins a new level at the current end of the splats, with room for it: each level holds about three
    // times the splats of those before it.
    void addLOD();
    // Widens minZ/maxZ over the splats from `first` on and makes their normals unit length.
    void normalizeSplats(int first, LODGrid* grid, short level);
    // Marks the tile for upload up to `level` and advances the render tile from requested to filled when
    // it asked for this level.
    void update(RenderTile* rt, short level);
    // After the upload: records the highest level uploaded and settles or completes the render tile.
    void finishUpdate();

    Splat* getSplats(long stamp);
    Color* getColors(long stamp);
    PointAttributes* getAttributes(long stamp);
    // Splats of levels 0 to `level` (all when `level` is past the last level begun); -1 for a negative
    // level, with a message.
    int getFullLODsize(short level) const;
    // Splats of `level` alone; -1 when it is not a level begun.
    int getLODsize(short level) const;
    Splat* getLODSplats(short level, long stamp);
    int numberOfLevels() const { return int(levelStarts.size()); }

    // What the tile held before a level began, so that a failed transfer can be undone.
    struct Mark {
        size_t splats = 0, colors = 0, attributes = 0;
        size_t levels = 0;
        bool receiving = false;
    };
    Mark mark() const {
        return Mark{splats.size(), colors.size(), attributes.size(), levelStarts.size(), receiving.load()};
    }
    // Drops every splat, colour, attribute record and level begun since `m`: a retried request then starts
    // from the same state and later level numbers do not shift.
    void rollback(const Mark& m);

    // Geometry. Splats are taken in world units relative to the centre of their raw box (raw ×
    // coordinateScale), so that thresholds are lengths. triangulate appends a triangulation of all splats
    // to `indices` (which the caller passes empty) and simplifies it; threshold -1 is the default 0.001.
    // Indices are splat numbers.
    int triangulate(std::vector<unsigned>& indices, float threshold);
    int simplify(std::vector<unsigned>& indices, float threshold, bool unused = false);
    int simplifyWeightedRandom(std::vector<unsigned>& indices, float threshold, bool unused = false);
    void simplify2(std::vector<unsigned>& indices, float threshold, bool unused = false);
    int simplificationIteration(std::vector<unsigned>& indices, std::vector<TriangulationVertex*>& vertices,
                                float threshold, bool useAllSplats);
    std::vector<MeshPoint> meshPoints() const;
    // The data set's scale factors; the cache sets them from its grid.
    double coordinateScale[3] = {1, 1, 1};

    // Sizes of whole levels, for threads that do not hold the tile's lock (the render selection thread
    // reads them while the cache thread appends the next level). Published by update.
    int completeLevels() const;
    // Splats of levels 0 to `level`, counting whole levels only; 0 when none is whole.
    int completeFullLODsize(short level) const;
    // Splats of `level` alone, -1 unless that level is whole.
    int completeLODsize(short level) const;

    // Read by the render selection thread without the tile's lock.
    std::atomic<bool> isEmpty{true};
    SplatArray splats;
    ColorArray colors;
    // Bytes 12 to 15 of each splat's LAS record, in the same order as `splats`.
    AttributeArray attributes;
    std::vector<int> levelStarts;
    std::atomic<short> highestLevel{-1};
    // Raw heights of the splats normalised so far; read by the render selection thread.
    std::atomic<double> minZ{DBL_MAX}, maxZ{-DBL_MAX};
    std::atomic<bool> uploadPending{false};
    int uploadLevel = 0;
    std::atomic<bool> receiving{false};
    RenderTile* renderTile = nullptr;

private:
    bool badLevel(short level) const;
    void publish();

    mutable std::mutex publishedLock_;
    std::vector<int> completeEnds_; // end of each whole level in `splats`
};
