#include "TriangulationVertex.h"

#include "Simplification.h"
#include "Triangulation.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
// Holes with more points than this are left alone: the search for the replacement triangle grows with
// the cube of the ring, and such fans only arise around points the simplification should keep anyway.
constexpr std::size_t MAX_RING = 64;

double cross(const MeshPoint& o, const MeshPoint& a, const MeshPoint& b) {
    return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

double length2D(const MeshPoint& a, const MeshPoint& b) {
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y));
}

// Whether p - o lies strictly inside the counter-clockwise sweep from `from` - o to `to` - o.
bool strictlyInsideSweep(const MeshPoint& o, const MeshPoint& from, const MeshPoint& to, const MeshPoint& p) {
    const double ft = cross(o, from, to), fp = cross(o, from, p), pt = cross(o, p, to);
    const bool sameAsFrom = fp == 0 && ((p.x - o.x) * (from.x - o.x) + (p.y - o.y) * (from.y - o.y)) > 0;
    if (sameAsFrom)
        return false;
    if (ft > 0)
        return fp > 0 && pt > 0;
    if (ft == 0 && ((to.x - o.x) * (from.x - o.x) + (to.y - o.y) * (from.y - o.y)) > 0)
        return true; // a full turn less nothing: every other direction is inside
    return fp > 0 || pt > 0;
}

// Proper crossing of segments ab and cd (touching at an end point or overlapping collinear segments
// count as crossing unless they only share an end point).
bool segmentsCross(const MeshPoint& a, const MeshPoint& b, const MeshPoint& c, const MeshPoint& d) {
    const double d1 = cross(a, b, c), d2 = cross(a, b, d), d3 = cross(c, d, a), d4 = cross(c, d, b);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0)))
        return true;
    auto onSegment = [](const MeshPoint& p, const MeshPoint& q, const MeshPoint& r) {
        return std::min(p.x, q.x) <= r.x && r.x <= std::max(p.x, q.x) && std::min(p.y, q.y) <= r.y &&
               r.y <= std::max(p.y, q.y);
    };
    auto sameAs = [](const MeshPoint& p, const MeshPoint& q) { return p.x == q.x && p.y == q.y; };
    auto touches = [&](double dd, const MeshPoint& p, const MeshPoint& q, const MeshPoint& r) {
        return dd == 0 && onSegment(p, q, r) && !sameAs(r, p) && !sameAs(r, q);
    };
    return touches(d1, a, b, c) || touches(d2, a, b, d) || touches(d3, c, d, a) || touches(d4, c, d, b);
}

double pointSegment(const MeshPoint& p, const MeshPoint& a, const MeshPoint& b) {
    const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
    const double len2 = ux * ux + uy * uy + uz * uz;
    double t = 0;
    if (len2 > 0)
        t = std::clamp(((p.x - a.x) * ux + (p.y - a.y) * uy + (p.z - a.z) * uz) / len2, 0.0, 1.0);
    const double dx = a.x + t * ux - p.x, dy = a.y + t * uy - p.y, dz = a.z + t * uz - p.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// One chain of a ring: its points, whether it closes on itself.
struct Chain {
    std::vector<unsigned> points; // the closing repeat of a closed chain dropped
    std::vector<unsigned> triangles;
    bool closed = false;
};

std::vector<Chain> chainsOf(const std::vector<unsigned>& ring, const std::vector<unsigned>& triangles,
                            const std::vector<unsigned>& chainStarts) {
    std::vector<Chain> chains;
    for (std::size_t c = 0; c + 1 < chainStarts.size(); ++c) {
        Chain chain;
        const unsigned s = chainStarts[c], e = chainStarts[c + 1];
        chain.points.assign(ring.begin() + s, ring.begin() + e);
        chain.triangles.assign(triangles.begin() + (s - c), triangles.begin() + (e - c - 1));
        if (chain.points.size() > 2 && chain.points.front() == chain.points.back()) {
            chain.closed = true;
            chain.points.pop_back();
        }
        chains.push_back(std::move(chain));
    }
    return chains;
}

// For the open chain of a border vertex v: the hole is the chain's polygon closed from its last point
// to its first, which lies inside v's fan only when v sees that closing edge clockwise and every other
// chain point lies strictly beyond it. Otherwise the closing edge would leave the fan, over other
// triangles or out of the mesh.
bool closingEdgeInsideFan(const std::vector<MeshPoint>& pts, unsigned v, const std::vector<unsigned>& chain) {
    const MeshPoint& first = pts[chain.front()];
    const MeshPoint& last = pts[chain.back()];
    const double side = cross(first, last, pts[v]);
    if (!(cross(pts[v], first, last) < 0))
        return false;
    for (std::size_t i = 1; i + 1 < chain.size(); ++i) {
        const double s = cross(first, last, pts[chain[i]]);
        if (!(s != 0 && (s > 0) != (side > 0)))
            return false;
    }
    return true;
}

} // namespace

double distToTriangle(const MeshPoint& p, const MeshPoint& a, const MeshPoint& b, const MeshPoint& c, double limit) {
    auto sub = [](const MeshPoint& u, const MeshPoint& w) { return MeshPoint{u.x - w.x, u.y - w.y, u.z - w.z}; };
    auto crs = [](const MeshPoint& u, const MeshPoint& w) {
        return MeshPoint{u.y * w.z - u.z * w.y, u.z * w.x - u.x * w.z, u.x * w.y - u.y * w.x};
    };
    auto dot = [](const MeshPoint& u, const MeshPoint& w) { return u.x * w.x + u.y * w.y + u.z * w.z; };
    const MeshPoint ab = sub(b, a), ac = sub(c, a), ap = sub(p, a);
    const MeshPoint n = crs(ab, ac);
    const double n2 = dot(n, n);
    double d = -1;
    // A triangle too thin to carry a plane is measured as its edges.
    if (n2 > 1e-20 * dot(ab, ab) * dot(ac, ac)) {
        // Barycentric weights of b and c for p's projection onto the plane (the normal part of ap drops
        // out of both products).
        const double wb = dot(crs(ap, ac), n) / n2, wc = dot(crs(ab, ap), n) / n2;
        if (wb >= 0 && wc >= 0 && wb + wc <= 1)
            d = std::fabs(dot(ap, n)) / std::sqrt(n2);
    }
    if (d < 0)
        d = std::min({pointSegment(p, a, b), pointSegment(p, b, c), pointSegment(p, c, a)});
    return d < limit ? d : -1.0;
}

int chainHull_2D(const HullSplat* P, int n, HullSplat* H) {
    if (n <= 0)
        return 0;
    if (n == 1) {
        H[0] = P[0];
        return 1;
    }
    auto turn = [](const HullSplat& o, const HullSplat& a, const HullSplat& b) {
        return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
    };
    int k = 0;
    for (int i = 0; i < n; ++i) { // lower hull
        while (k >= 2 && turn(H[k - 2], H[k - 1], P[i]) <= 0)
            --k;
        H[k++] = P[i];
    }
    for (int i = n - 2, t = k + 1; i >= 0; --i) { // upper hull
        while (k >= t && turn(H[k - 2], H[k - 1], P[i]) <= 0)
            --k;
        H[k++] = P[i];
    }
    return k - 1; // the last point repeats the first
}

bool TriangulationVertex::sortNeighbours(const std::vector<MeshPoint>& pts, const std::vector<unsigned>& indices,
                                         std::vector<unsigned>& ring, std::vector<unsigned>& triangles,
                                         std::vector<unsigned>& chainStarts) const {
    ring.clear();
    triangles.clear();
    chainStarts.clear();
    // Each triangle as (position, the neighbour before and the one after in clockwise order around the
    // vertex).
    struct Wedge {
        unsigned pos, before, after;
    };
    std::vector<Wedge> remaining;
    remaining.reserve(links.size());
    bool sound = true;
    for (unsigned pos : links) {
        const unsigned* t = &indices[pos];
        int k = t[0] == index ? 0 : t[1] == index ? 1 : t[2] == index ? 2 : -1;
        if (k < 0) {
            geometryLog() << "ERROR when calculating removal error for vertex: Vertex not part of neighbour triangle."
                          << std::endl;
            sound = false;
            continue;
        }
        const unsigned a = t[(k + 1) % 3], b = t[(k + 2) % 3];
        // Counter-clockwise (v, a, b) sweeps from a to b counter-clockwise, so clockwise b comes first.
        if (cross(pts[index], pts[a], pts[b]) > 0)
            remaining.push_back({pos, b, a});
        else
            remaining.push_back({pos, a, b});
    }
    // A chain grows at both ends: what is prepended is kept reversed in the `head` vectors.
    std::vector<unsigned> headRing, headTris, tailRing, tailTris;
    while (!remaining.empty()) {
        const Wedge first = remaining.front();
        remaining.erase(remaining.begin());
        chainStarts.push_back(unsigned(ring.size()));
        headRing.assign(1, first.before);
        headTris.clear();
        tailRing.assign(1, first.after);
        tailTris.assign(1, first.pos);
        for (bool attached = true; attached && !remaining.empty();) {
            attached = false;
            for (std::size_t i = 0; i < remaining.size();) {
                const Wedge& w = remaining[i];
                const unsigned front = headRing.back(), back = tailRing.back();
                const bool closes = front == back;
                if (!closes && w.before == back) {
                    tailRing.push_back(w.after);
                    tailTris.push_back(w.pos);
                } else if (!closes && w.after == front) {
                    headRing.push_back(w.before);
                    headTris.push_back(w.pos);
                } else {
                    ++i;
                    continue;
                }
                remaining.erase(remaining.begin() + long(i));
                attached = true;
            }
        }
        ring.insert(ring.end(), headRing.rbegin(), headRing.rend());
        ring.insert(ring.end(), tailRing.begin(), tailRing.end());
        triangles.insert(triangles.end(), headTris.rbegin(), headTris.rend());
        triangles.insert(triangles.end(), tailTris.begin(), tailTris.end());
    }
    chainStarts.push_back(unsigned(ring.size()));
    return sound;
}

int TriangulationVertex::getConcaveEdges(const HullSplat* hullPoints, const std::vector<unsigned>& chain, int n,
                                         std::vector<unsigned>& concaveEdges) const {
    concaveEdges.clear();
    if (n < 3)
        return 0;
    std::vector<HullSplat> sorted(hullPoints, hullPoints + n), hull(std::size_t(n) + 1);
    std::sort(sorted.begin(), sorted.end(),
              [](const HullSplat& a, const HullSplat& b) { return a.x < b.x || (a.x == b.x && a.y < b.y); });
    const int h = chainHull_2D(sorted.data(), n, hull.data());
    auto dump = [&](const char* what) {
        std::ostream& log = geometryLog();
        log << what << "\n";
        for (int i = 0; i < n; ++i)
            log << chain[std::size_t(i)] << " ";
        log << "\nHull splats:\n";
        for (int i = 0; i < h; ++i)
            log << hull[std::size_t(i)].index << " ";
        log << "\nConvex splats:\n";
        for (int i = 0; i < n; ++i)
            log << hullPoints[i].x << " " << hullPoints[i].y << "\n";
        log << std::flush;
    };
    auto positionOf = [&](unsigned splat) {
        for (int i = 0; i < n; ++i)
            if (chain[std::size_t(i)] == splat)
                return i;
        return -1;
    };
    int previous = positionOf(hull[0].index);
    if (previous < 0 || h < 2) {
        dump("Error calculating concave edges. Chain splats:");
        return -1;
    }
    // The hull runs counter-clockwise, the chain clockwise: walking the chain backwards meets the hull
    // vertices in order, and every chain edge skipped on the way lies inside the hull. The last step goes
    // from the last hull vertex back to the first.
    for (int k = 1; k <= h; ++k) {
        const unsigned target = hull[std::size_t(k % h)].index;
        int p = previous, steps = 0;
        std::vector<unsigned> passed;
        while (chain[std::size_t(p)] != target) {
            const int next = p == 0 ? n - 1 : p - 1;
            passed.push_back(chain[std::size_t(next)]);
            passed.push_back(chain[std::size_t(next == n - 1 ? 0 : next + 1)]);
            p = next;
            if (++steps > n || p == previous) {
                dump("Error calculating concave edges (loop detected). Chain splats:");
                concaveEdges.clear();
                return -1;
            }
        }
        if (steps > 1)
            concaveEdges.insert(concaveEdges.end(), passed.begin(), passed.end());
        previous = p;
    }
    return concaveEdges.empty() ? 0 : 1;
}

bool TriangulationVertex::checkCoincidenceAndAngle(const std::vector<MeshPoint>& pts, unsigned a1, unsigned b1,
                                                   unsigned a2, unsigned b2, bool* tooNarrow) {
    if ((a1 == a2 && b1 == b2) || (a1 == b2 && b1 == a2))
        return true;
    unsigned shared, o1, o2;
    if (a1 == a2 || a1 == b2) {
        shared = a1, o1 = b1, o2 = a1 == a2 ? b2 : a2;
    } else if (b1 == a2 || b1 == b2) {
        shared = b1, o1 = a1, o2 = b1 == a2 ? b2 : a2;
    } else {
        return false;
    }
    const MeshPoint &s = pts[shared], &p = pts[o1], &q = pts[o2];
    const double ux = p.x - s.x, uy = p.y - s.y, vx = q.x - s.x, vy = q.y - s.y;
    const double norms = std::sqrt((ux * ux + uy * uy) * (vx * vx + vy * vy));
    // Below 3 degrees, compared as cosines (acos falls as its argument rises); false for no angle.
    static const double limit = std::cos(0.0523598776);
    if (std::clamp((ux * vx + uy * vy) / norms, -1.0, 1.0) > limit) {
        *tooNarrow = true;
        return true;
    }
    return false;
}

void TriangulationVertex::calculateError(const std::vector<MeshPoint>& pts, const std::vector<unsigned>& indices) {
    flags &= ~(BORDER | CONCAVE | SINGLE_CHAIN | LOCAL_MINIMUM);
    bestTriangle[0] = bestTriangle[1] = bestTriangle[2] = 0;
    error = INF;
    if (links.empty())
        return;
    std::vector<unsigned> ring, triangles, starts;
    if (!sortNeighbours(pts, indices, ring, triangles, starts))
        return;
    if (starts.size() == 2)
        flags |= SINGLE_CHAIN;
    const MeshPoint& v = pts[index];
    double d = std::numeric_limits<double>::infinity();
    double slope = std::numeric_limits<double>::infinity();
    std::vector<HullSplat> hull;
    std::vector<unsigned> concave;
    std::vector<char> valid;
    for (const Chain& chain : chainsOf(ring, triangles, starts)) {
        const std::vector<unsigned>& c = chain.points;
        const std::size_t n = c.size();
        if (n > MAX_RING)
            return;
        hull.clear();
        for (unsigned s : c) {
            hull.push_back({pts[s].x, pts[s].y, s});
            const double run = length2D(pts[s], v);
            if (run > 0 && slope > 0)
                slope = std::min(slope, (pts[s].z - v.z) / run);
        }
        if (!chain.closed) {
            flags |= BORDER;
            if (!closingEdgeInsideFan(pts, index, c))
                continue;
        }
        const int found = getConcaveEdges(hull.data(), c, int(n), concave);
        if (found < 0)
            return;
        if (found == 1)
            flags |= CONCAVE;
        // An edge between chain positions that is not a polygon edge must run into the polygon at both
        // ends, cross no concave edge, and meet none at less than 3 degrees.
        auto diagonalValid = [&](std::size_t i, std::size_t k) {
            if (k == i + 1 || (i == 0 && k == n - 1))
                return true;
            for (auto [from, to] : {std::pair{i, k}, std::pair{k, i}}) {
                const MeshPoint& o = pts[c[from]];
                // Clockwise polygon: the inside at o is the counter-clockwise sweep from the previous
                // point to the next.
                if (!strictlyInsideSweep(o, pts[c[(from + n - 1) % n]], pts[c[(from + 1) % n]], pts[c[to]]))
                    return false;
            }
            for (std::size_t e = 0; e + 1 < concave.size(); e += 2) {
                bool narrow = false;
                if (checkCoincidenceAndAngle(pts, c[i], c[k], concave[e], concave[e + 1], &narrow) && narrow)
                    return false;
                if (segmentsCross(pts[c[i]], pts[c[k]], pts[concave[e]], pts[concave[e + 1]]))
                    return false;
            }
            return true;
        };
        valid.assign(n * n, 0);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = i + 1; k < n; ++k)
                valid[i * n + k] = diagonalValid(i, k);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j) {
                if (!valid[i * n + j])
                    continue;
                for (std::size_t k = j + 1; k < n; ++k) {
                    if (!valid[j * n + k] || !valid[i * n + k] || !(cross(pts[c[i]], pts[c[j]], pts[c[k]]) < 0))
                        continue;
                    const double dist = distToTriangle(v, pts[c[i]], pts[c[j]], pts[c[k]], d);
                    if (dist != -1.0) {
                        d = dist;
                        bestTriangle[0] = c[i], bestTriangle[1] = c[j], bestTriangle[2] = c[k];
                    }
                }
            }
    }
    if (slope > 0)
        flags |= LOCAL_MINIMUM;
    if (d == std::numeric_limits<double>::infinity()) {
        bestTriangle[0] = bestTriangle[1] = bestTriangle[2] = 0;
        return;
    }
    error = float(slope > 0 ? d * std::sqrt(1.0 / (slope * slope + 1.0)) : d);
}

void TriangulationVertex::cleanNeighbourDuplicates() {
    std::vector<unsigned> unique;
    unique.reserve(links.size());
    for (unsigned l : links)
        if (std::find(unique.begin(), unique.end(), l) == unique.end())
            unique.push_back(l);
    links.swap(unique);
}

void TriangulationVertex::calculateError(const std::vector<MeshPoint>& pts, const std::vector<Color>&,
                                         const std::map<unsigned, unsigned>&) {
    cleanNeighbourDuplicates();
    error = -1.0f;
    double d = std::numeric_limits<double>::infinity();
    const std::size_t n = links.size();
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            for (std::size_t k = j + 1; k < n; ++k) {
                const double dist = distToTriangle(pts[index], pts[links[i]], pts[links[j]], pts[links[k]], d);
                if (dist != -1.0) {
                    d = dist;
                    bestTriangle[0] = unsigned(i), bestTriangle[1] = unsigned(j), bestTriangle[2] = unsigned(k);
                }
            }
    if (d != std::numeric_limits<double>::infinity())
        error = float(d);
}

bool TriangulationVertex::removeAndRetriangulate(const std::vector<MeshPoint>& pts, std::vector<unsigned>& indices,
                                                 std::vector<TriangulationVertex*>& vertices,
                                                 std::vector<TriangulationVertex*>& changed,
                                                 std::set<unsigned>& deletedTriangles, float maxError,
                                                 std::vector<std::vector<unsigned>>* covered) {
    if (links.empty()) {
        error = INF;
        return false;
    }
    std::vector<unsigned> ring, triangles, starts;
    if (!sortNeighbours(pts, indices, ring, triangles, starts))
        return false;
    const std::vector<Chain> chains = chainsOf(ring, triangles, starts);
    std::vector<unsigned> fresh; // new triangles, point numbers, counter-clockwise
    bool bestUsed = false;
    auto edgesShortEnough = [&](const unsigned* t) {
        return !(maxError > 0) || (length2D(pts[t[0]], pts[t[1]]) <= maxError &&
                                   length2D(pts[t[1]], pts[t[2]]) <= maxError &&
                                   length2D(pts[t[2]], pts[t[0]]) <= maxError);
    };
    for (const Chain& chain : chains) {
        const std::vector<unsigned>& c = chain.points;
        const std::size_t n = c.size();
        if (chain.closed && chains.size() > 1) {
            geometryLog() << "WARNING: Loop in vertex chain, but " << chains.size() - 1 << " splits." << std::endl;
            return false;
        }
        if (n > MAX_RING || (chain.closed && n < 3) || (!chain.closed && !closingEdgeInsideFan(pts, index, c)))
            return false;
        // Every edge of the hole's polygon is an edge of its new triangles.
        if (maxError > 0)
            for (std::size_t i = 0; i < n && n >= 3; ++i)
                if (length2D(pts[c[i]], pts[c[(i + 1) % n]]) > maxError)
                    return false;
        std::vector<unsigned> local;
        if (n == 3) {
            // The chain runs clockwise; the mesh's triangles are counter-clockwise.
            const unsigned t[3] = {c[2], c[1], c[0]};
            if (!edgesShortEnough(t))
                return false;
            if (std::equal(c.begin(), c.end(), bestTriangle) ||
                (c[1] == bestTriangle[0] && c[2] == bestTriangle[1] && c[0] == bestTriangle[2]) ||
                (c[2] == bestTriangle[0] && c[0] == bestTriangle[1] && c[1] == bestTriangle[2]))
                bestUsed = true;
            else if (std::find(bestTriangle, bestTriangle + 3, c[0]) != bestTriangle + 3)
                geometryLog() << "ERROR: Replacement triangle valid for only one vertex in chain." << std::endl;
            local = {2, 1, 0};
        } else if (n >= 3) {
            std::vector<MeshPoint> polygon;
            polygon.reserve(n);
            std::vector<unsigned> segments;
            for (std::size_t i = 0; i < n; ++i) {
                polygon.push_back(pts[c[i]]);
                segments.push_back(unsigned(i));
                segments.push_back(unsigned((i + 1) % n));
            }
            if (!bestUsed) {
                int at[3], found = 0;
                for (int k = 0; k < 3; ++k) {
                    auto it = std::find(c.begin(), c.end(), bestTriangle[k]);
                    at[k] = it == c.end() ? -1 : int(it - c.begin());
                    found += at[k] >= 0;
                }
                if (found > 0 && found < 3) {
                    reportErrorIndeces(found);
                    return false;
                }
                if (found == 3) {
                    for (int k = 0; k < 3; ++k) {
                        segments.push_back(unsigned(at[k]));
                        segments.push_back(unsigned(at[(k + 1) % 3]));
                    }
                    bestUsed = true;
                }
            }
            // The polygon's edges as constraints keep every triangle inside the hole, whether or not it is
            // convex.
            if (!triangulatePoints(polygon, segments, local)) {
                geometryLog() << "Center: " << index << " " << pts[index].x << " " << pts[index].y << std::endl;
                return false;
            }
        }
        if (local.size() / 3 != (n >= 2 ? n - 2 : 0)) {
            if (chain.closed)
                reportError(int(n), int(local.size() / 3));
            else
                reportErrorBorder(int(n), int(local.size() / 3));
            return false;
        }
        for (std::size_t t = 0; t < local.size(); t += 3) {
            const unsigned tri[3] = {c[local[t]], c[local[t + 1]], c[local[t + 2]]};
            if (!edgesShortEnough(tri) || !(cross(pts[tri[0]], pts[tri[1]], pts[tri[2]]) > 0))
                return false;
            fresh.insert(fresh.end(), tri, tri + 3);
        }
    }

    // The points the old triangles covered, this vertex among them, go to the new triangle over them;
    // one beyond the new border (the border moved inward) is no longer covered.
    const std::vector<unsigned> old = links;
    std::vector<std::vector<unsigned>> cover(fresh.size() / 3);
    if (covered) {
        std::vector<unsigned> pool{index};
        for (unsigned pos : old)
            pool.insert(pool.end(), (*covered)[pos / 3].begin(), (*covered)[pos / 3].end());
        for (unsigned p : pool) {
            const MeshPoint& q = pts[p];
            for (std::size_t t = 0; t < fresh.size(); t += 3) {
                const MeshPoint &a = pts[fresh[t]], &b = pts[fresh[t + 1]], &c = pts[fresh[t + 2]];
                if (cross(a, b, q) < 0 || cross(b, c, q) < 0 || cross(c, a, q) < 0)
                    continue;
                if (maxError > 0 && distToTriangle(q, a, b, c, maxError) == -1.0)
                    return false;
                cover[t / 3].push_back(p);
                break;
            }
        }
    }

    // Commit: the new triangles take the first of the old positions, the rest become free slots.
    std::vector<unsigned> neighbours(ring);
    std::sort(neighbours.begin(), neighbours.end());
    neighbours.erase(std::unique(neighbours.begin(), neighbours.end()), neighbours.end());
    for (unsigned w : neighbours) {
        auto& l = vertices[w]->links;
        l.erase(std::remove_if(l.begin(), l.end(),
                               [&](unsigned p) { return std::find(old.begin(), old.end(), p) != old.end(); }),
                l.end());
    }
    std::size_t slot = 0;
    for (std::size_t t = 0; t < fresh.size(); t += 3, ++slot) {
        const unsigned pos = old[slot];
        std::copy(&fresh[t], &fresh[t] + 3, &indices[pos]);
        if (covered)
            (*covered)[pos / 3].swap(cover[slot]);
        for (int k = 0; k < 3; ++k)
            vertices[fresh[t + std::size_t(k)]]->links.push_back(pos);
    }
    for (; slot < old.size(); ++slot) {
        deletedTriangles.insert(old[slot]);
        if (covered)
            std::vector<unsigned>().swap((*covered)[old[slot] / 3]);
    }
    links.clear();
    for (unsigned w : neighbours)
        changed.push_back(vertices[w]);
    return true;
}

bool TriangulationVertex::removeWithCheck(const std::vector<TriangulationVertex*>& vertices) {
    for (unsigned n : links)
        if (vertices[n]->flags & MARKED)
            return false;
    flags |= MARKED;
    return true;
}

bool TriangulationVertex::removeWithCheck(const std::vector<TriangulationVertex*>& vertices,
                                          const std::map<unsigned, unsigned>& map) {
    for (unsigned n : links) {
        auto it = map.find(n);
        if (it == map.end()) {
            geometryLog() << "ERROR when remapping indeces during removal, index not in map." << std::endl;
            continue;
        }
        if (vertices[it->second]->flags & MARKED)
            return false;
    }
    flags |= MARKED;
    return true;
}

void TriangulationVertex::reportError(int chainSize, int newTriangles) {
    geometryLog() << "ERROR: Inconsistency between number of removed triangles (" << chainSize
                  << ") and number of new triangles (" << newTriangles
                  << ") when removing internal point from triangulation." << std::endl;
}

void TriangulationVertex::reportErrorBorder(int chainSize, int newTriangles) {
    geometryLog() << "ERROR: Inconsistency between number of removed triangles (" << chainSize - 1
                  << ") and number of new triangles (" << newTriangles
                  << ") when removing border point from triangulation." << std::endl;
}

void TriangulationVertex::reportErrorIndeces(int found) {
    geometryLog() << "ERROR: Only " << found << " vertices of replacement triangle in chain." << std::endl;
}
