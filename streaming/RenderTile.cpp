#include "RenderTile.h"

RenderTile::RenderTile(const RenderTile& o)
    : CMutexClass(o), tileIndex(o.tileIndex), requestedLOD(o.requestedLOD.load()), secondLOD(o.secondLOD),
      state(o.state.load()), indices(o.indices), triangleIndices{o.triangleIndices[0], o.triangleIndices[1],
                                                                 o.triangleIndices[2]} {}

void RenderTile::setLOD(unsigned n) {
    Lock();
    setLODHeld(n);
    Unlock();
}

void RenderTile::setLODHeld(unsigned n) {
    const size_t had = indices.size();
    indices.resize(n);
    for (size_t i = had; i < n; ++i)
        indices[i] = int(i);
    state = Settled;
}

void RenderTile::update(short level, int count) {
    Lock();
    if (requestedLOD == level && state == Uploaded) {
        const int first = int(indices.size());
        for (int i = 0; i < count; ++i)
            indices.push_back(first + i);
        state = Settled;
    }
    Unlock();
}

void RenderTile::addIndeces(int first, int last) {
    Lock();
    for (int i = first; i < last; ++i)
        indices.push_back(i);
    Unlock();
}
