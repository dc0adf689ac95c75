#pragma once
// The calling interface of Shewchuk's Triangle mesh generator, for the switches this system uses:
// z (number from zero), B (no boundary markers), Q (quiet), p (planar straight-line graph: segments stay
// edges and triangles outside the segment-bounded region are removed), P (no segments out), N (no nodes
// out). Backed by a constrained Delaunay triangulation of CGAL.
//
// Output arrays are allocated with malloc and released with free, as Triangle does. Fewer than three
// distinct points, or all of them collinear, give no triangles. Repeated input points are output but
// no triangle names them. Constraint segments that cross make new points at their intersections:
// numberofpoints then counts them (more than the input), and no triangle touching one is output, so
// every index names an input point.
#include <cstddef>

struct triangulateio {
    double* pointlist = nullptr;
    double* pointattributelist = nullptr;
    int* pointmarkerlist = nullptr;
    int numberofpoints = 0;
    int numberofpointattributes = 0;

    int* trianglelist = nullptr;
    double* triangleattributelist = nullptr;
    double* trianglearealist = nullptr;
    int* neighborlist = nullptr;
    int numberoftriangles = 0;
    int numberofcorners = 0;
    int numberoftriangleattributes = 0;

    int* segmentlist = nullptr;
    int* segmentmarkerlist = nullptr;
    int numberofsegments = 0;

    double* holelist = nullptr;
    int numberofholes = 0;
    double* regionlist = nullptr;
    int numberofregions = 0;

    int* edgelist = nullptr;
    int* edgemarkerlist = nullptr;
    double* normlist = nullptr;
    int numberofedges = 0;
};

// Triangulates `in` into `out` as the switches say. `vorout` is not supported and must be null.
// Throws std::invalid_argument for an unknown switch or a segment naming no input point.
void triangulate(const char* switches, triangulateio* in, triangulateio* out, triangulateio* vorout);
