#include "triangle.h"

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <CGAL/property_map.h>
#include <CGAL/spatial_sort.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using K = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = K::Point_2;

// Input point number of a vertex. Vertices that CGAL creates where constraints cross are
// default-constructed and keep the sentinel until they are numbered after the inputs.
struct PointNumber {
    int n = -1;
};
struct Region {
    bool exterior = false;
};

using Vb = CGAL::Triangulation_vertex_base_with_info_2<PointNumber, K>;
using DT = CGAL::Delaunay_triangulation_2<K, CGAL::Triangulation_data_structure_2<Vb>>;
using CFb = CGAL::Constrained_triangulation_face_base_2<K, CGAL::Triangulation_face_base_with_info_2<Region, K>>;
// Exact_predicates_tag: crossing constraints are split at a computed intersection instead of throwing.
using CDT = CGAL::Constrained_Delaunay_triangulation_2<K, CGAL::Triangulation_data_structure_2<Vb, CFb>,
                                                       CGAL::Exact_predicates_tag>;

struct Switches {
    bool zeroBased = false, pslg = false, noSegmentsOut = false, noNodesOut = false;
};

Switches parseSwitches(const char* s) {
    Switches sw;
    for (; s && *s; ++s) {
        switch (*s) {
        case 'z': sw.zeroBased = true; break;
        case 'p': sw.pslg = true; break;
        case 'P': sw.noSegmentsOut = true; break;
        case 'N': sw.noNodesOut = true; break;
        case 'B': // no boundary markers are ever produced
        case 'Q': // nothing is ever printed
            break;
        default: throw std::invalid_argument(std::string("triangulate: unsupported switch '") + *s + "'");
        }
    }
    return sw;
}

template <class T>
T* allocate(std::size_t count) {
    if (count == 0)
        return nullptr;
    T* p = static_cast<T*>(std::malloc(count * sizeof(T)));
    if (!p)
        throw std::bad_alloc();
    return p;
}

template <class T>
T* copyOut(const std::vector<T>& v) {
    T* p = allocate<T>(v.size());
    if (p)
        std::memcpy(p, v.data(), v.size() * sizeof(T));
    return p;
}

// Inserts the input points in spatial order, each located from the previous one (what CGAL's range
// insertion does). A repeated point keeps its lowest input number, so later copies are never named.
template <class Tr>
std::vector<typename Tr::Vertex_handle> insertPoints(Tr& t, const triangulateio& in, bool wantHandles) {
    const std::size_t n = std::size_t(in.numberofpoints);
    // Sorting the pairs themselves, not indices into the points, keeps both the sort and the
    // insertion walking memory in order; the middle policy sorts faster than the median one.
    using Numbered = std::pair<Point, int>;
    std::vector<Numbered> points;
    points.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        points.emplace_back(Point(in.pointlist[2 * i], in.pointlist[2 * i + 1]), int(i));
    using Traits = CGAL::Spatial_sort_traits_adapter_2<K, CGAL::First_of_pair_property_map<Numbered>>;
    CGAL::spatial_sort(points.begin(), points.end(), Traits(), CGAL::Hilbert_sort_middle_policy());

    std::vector<typename Tr::Vertex_handle> handles(wantHandles ? n : 0);
    typename Tr::Face_handle hint;
    for (const auto& [p, i] : points) {
        auto v = t.insert(p, hint);
        if (v->info().n < 0 || i < v->info().n)
            v->info().n = i;
        hint = v->face();
        if (wantHandles)
            handles[std::size_t(i)] = v;
    }
    return handles;
}

// Triangles of the finite faces (ccw), skipping those touching a vertex that is not an input point.
template <class Tr, class Keep>
std::vector<int> triangleList(const Tr& t, int inputCount, int base, Keep keep) {
    std::vector<int> tris;
    if (t.dimension() < 2)
        return tris;
    tris.reserve(std::size_t(t.number_of_faces()) * 3);
    for (auto f = t.finite_faces_begin(); f != t.finite_faces_end(); ++f) {
        if (!keep(f))
            continue;
        const int a = f->vertex(0)->info().n, b = f->vertex(1)->info().n, c = f->vertex(2)->info().n;
        if (a >= inputCount || b >= inputCount || c >= inputCount)
            continue;
        tris.insert(tris.end(), {a + base, b + base, c + base});
    }
    return tris;
}

} // namespace

void triangulate(const char* switches, triangulateio* in, triangulateio* out, triangulateio* vorout) {
    if (vorout)
        throw std::invalid_argument("triangulate: Voronoi output is not supported");
    const Switches sw = parseSwitches(switches);
    const int n = in->numberofpoints;
    if (n < 0 || (n > 0 && !in->pointlist))
        throw std::invalid_argument("triangulate: no point list");
    const int base = sw.zeroBased ? 0 : 1;
    const int segmentCount = sw.pslg && in->segmentlist ? in->numberofsegments : 0;
    for (int i = 0; i < 2 * segmentCount; ++i)
        if (in->segmentlist[i] - base < 0 || in->segmentlist[i] - base >= n)
            throw std::invalid_argument("triangulate: segment " + std::to_string(i / 2) + " names point " +
                                        std::to_string(in->segmentlist[i]) + " of " + std::to_string(n));

    std::vector<int> tris, segments;
    std::vector<double> created; // coordinates of the points made at crossing constraints
    if (!sw.pslg) {
        DT dt;
        insertPoints(dt, *in, false);
        tris = triangleList(dt, n, base, [](DT::Finite_faces_iterator) { return true; });
    } else {
        CDT cdt;
        const auto handles = insertPoints(cdt, *in, true);
        for (int s = 0; s < segmentCount; ++s) {
            const auto a = handles[std::size_t(in->segmentlist[2 * s] - base)];
            const auto b = handles[std::size_t(in->segmentlist[2 * s + 1] - base)];
            if (a != b)
                cdt.insert_constraint(a, b);
        }
        int next = n;
        for (auto v = cdt.finite_vertices_begin(); v != cdt.finite_vertices_end(); ++v)
            if (v->info().n < 0) {
                v->info().n = next++;
                created.insert(created.end(), {v->point().x(), v->point().y()});
            }
        // As Triangle without -c: everything reachable from outside the hull without crossing a
        // segment is exterior.
        if (cdt.dimension() == 2) {
            std::vector<CDT::Face_handle> stack{cdt.infinite_face()};
            cdt.infinite_face()->info().exterior = true;
            while (!stack.empty()) {
                const CDT::Face_handle f = stack.back();
                stack.pop_back();
                for (int i = 0; i < 3; ++i) {
                    const CDT::Face_handle g = f->neighbor(i);
                    if (!f->is_constrained(i) && !g->info().exterior) {
                        g->info().exterior = true;
                        stack.push_back(g);
                    }
                }
            }
        }
        tris = triangleList(cdt, n, base, [](CDT::Finite_faces_iterator f) { return !f->info().exterior; });
        if (!sw.noSegmentsOut)
            for (auto e = cdt.finite_edges_begin(); e != cdt.finite_edges_end(); ++e)
                if (cdt.is_constrained(*e))
                    segments.insert(segments.end(),
                                    {e->first->vertex(CDT::cw(e->second))->info().n + base,
                                     e->first->vertex(CDT::ccw(e->second))->info().n + base});
    }

    out->numberofpoints = n + int(created.size() / 2);
    out->numberofpointattributes = 0;
    out->numberofcorners = 3;
    out->numberoftriangleattributes = 0;
    out->numberoftriangles = int(tris.size() / 3);
    out->trianglelist = copyOut(tris);
    if (sw.pslg && !sw.noSegmentsOut) {
        out->numberofsegments = int(segments.size() / 2);
        out->segmentlist = copyOut(segments);
    }
    if (!sw.noNodesOut && out->numberofpoints > 0) {
        out->pointlist = allocate<double>(2 * std::size_t(out->numberofpoints));
        if (n > 0)
            std::memcpy(out->pointlist, in->pointlist, 2 * std::size_t(n) * sizeof(double));
        if (!created.empty())
            std::memcpy(out->pointlist + 2 * std::size_t(n), created.data(), created.size() * sizeof(double));
    }
}
