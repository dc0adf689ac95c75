#include "NodeID.h"

#include "LodTreeLog.h"

bool NodeID::inRange() const {
    if (level > 30)
        return false;
    const int64_t n = int64_t(1) << level;
    return x >= 0 && y >= 0 && x < n && y < n;
}

std::string NodeID::generateSuffix() const {
    if (level == 0 || !inRange())
        return {};
    std::string s;
    s.reserve(2 * level);
    int64_t lx = 0, hx = int64_t(1) << level, ly = 0, hy = hx;
    for (int l = 0; l < level; ++l) {
        const int64_t mx = (lx + hx) / 2, my = (ly + hy) / 2;
        int q;
        if (x < mx)
            q = y < my ? 1 : 2;
        else
            q = y < my ? 3 : 4;
        s += '-';
        s += char('0' + q);
        (x < mx ? hx : lx) = mx;
        (y < my ? hy : ly) = my;
    }
    return s;
}

NodeID NodeID::getNeighbourID(uint32_t marker) const {
    int dx, dy;
    switch (marker) {
    case KNN_DOWN: dx = 0, dy = -1; break;
    case KNN_RIGHT: dx = 1, dy = 0; break;
    case KNN_LEFT: dx = -1, dy = 0; break;
    case KNN_UP: dx = 0, dy = 1; break;
    case KNN_DOWN_LEFT: dx = -1, dy = -1; break;
    case KNN_DOWN_RIGHT: dx = 1, dy = -1; break;
    case KNN_UP_LEFT: dx = -1, dy = 1; break;
    case KNN_UP_RIGHT: dx = 1, dy = 1; break;
    default:
        lodTreeLog() << "Error, incorrect marker for generating neighbour ID." << marker << "\n";
        return *this;
    }
    // Wrapping arithmetic: far out-of-range identifiers stay out of range instead of overflowing.
    return NodeID(level, int32_t(uint32_t(x) + uint32_t(dx)), int32_t(uint32_t(y) + uint32_t(dy)));
}

int NodeID::getBorderLevel(const NodeID* other) const {
    if (!other || !inRange() || !other->inRange())
        return 0;
    // Bring both to the shallower level, then climb until they meet.
    int l = level < other->level ? level : other->level;
    int64_t ax = int64_t(x) >> (level - l), ay = int64_t(y) >> (level - l);
    int64_t bx = int64_t(other->x) >> (other->level - l), by = int64_t(other->y) >> (other->level - l);
    while (l > 0 && (ax != bx || ay != by)) {
        ax >>= 1, ay >>= 1, bx >>= 1, by >>= 1;
        --l;
    }
    return l;
}

NodeID NodeID::child(int quadrant) const {
    const int32_t cx = 2 * x + (quadrant >= 3 ? 1 : 0);
    const int32_t cy = 2 * y + (quadrant == 2 || quadrant == 4 ? 1 : 0);
    return NodeID(uint8_t(level + 1), cx, cy);
}
