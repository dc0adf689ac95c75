#include "RenderTile.h"

#include <algorithm>
#include <numeric>

RenderTile::RenderTile(const RenderTile& o)
    : CMutexClass(o), tileIndex(o.tileIndex), requestedLOD(o.requestedLOD.load()), secondLOD(o.secondLOD),
      state(o.state.load()),
      indices(o.indices), triangleIndices{o.triangleIndices[0], o.triangleIndices[1], o.triangleIndices[2]} {}

void RenderTile::setLOD(unsigned n) {
    Held held(*this);
    setLODHeld(n);
}

void RenderTile::setLODHeld(unsigned n) {
    const size_t had = indices.size();
    indices.resize(n);
    for (size_t i = had; i < n; ++i)
        indices[i] = int(i);
    state = Settled;
}

void RenderTile::update(short level, int count) {
    Held held(*this);
    if (requestedLOD == level && state == Uploaded) {
        const size_t first = indices.size();
        indices.resize(first + size_t(std::max(count, 0)));
        std::iota(indices.begin() + std::ptrdiff_t(first), indices.end(), int(first));
        state = Settled;
    }
}

void RenderTile::addIndeces(int first, int last) {
    Held held(*this);
    for (int i = first; i < last; ++i)
        indices.push_back(i);
}
