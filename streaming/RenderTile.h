#pragma once
// The render selection's view of one grid tile: the level it is to be drawn at, where it stands in the
// round trip of a request, and the splat indices the main thread draws. The tile is its own lock.
#include "CMutexClass.h"

#include <atomic>
#include <cstdint>
#include <vector>

class RenderTile : public CMutexClass {
public:
    // Round-trip states.
    enum : int { Settled = 0, Requested = 1, Filled = 2, Uploaded = 3 };

    explicit RenderTile(unsigned t) : tileIndex(t) {}
    RenderTile(const RenderTile& o);
    RenderTile& operator=(const RenderTile&) = delete;

    short getLOD() const { return requestedLOD; }
    // Makes the index list exactly 0 .. n-1 and settles the tile.
    void setLOD(unsigned n);
    // setLOD for a caller that already holds the tile's lock (the lock does not count, so setLOD's own
    // Unlock would release it early).
    void setLODHeld(unsigned n);
    // When the tile asked for `level` and it has been uploaded: appends the next `count` indices and
    // settles the tile; otherwise does nothing.
    void update(short level, int count);
    void addIndeces(int first, int last);

    uint32_t tileIndex;
    // Written by the selection thread under the tile's lock, read by the upload without it.
    std::atomic<short> requestedLOD{-1};
    short secondLOD = -1;
    // Written by the cache thread's upload without the tile's lock: atomic so that doing so is defined.
    std::atomic<int> state{Settled};
    std::vector<int> indices;
    std::vector<unsigned> triangleIndices[3]; // only for drawing tiles as triangles
};
