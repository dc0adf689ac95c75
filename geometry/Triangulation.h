#pragma once
// Two-dimensional Delaunay triangulation of splats by x and y (z plays no part in the connectivity),
// through the Triangle interface (triangle.h). Every entry point appends three point numbers per
// triangle to its output list, counter-clockwise in x, y, numbered from 0 in input order, and returns
// whether the triangulator reported as many output points as input points (false also prints the
// mismatch, with every point). Fewer than three points, or all collinear, append nothing and never
// reach the triangulator.
#include "GeometryTypes.h"
#include "MeshPoint.h"
#include "triangle.h"

#include <set>
#include <vector>

// The geometry core: points already in the mesh coordinate type. `segments` holds pairs of point
// numbers that must stay edges ("zpPBQ"; triangles outside the region they bound are dropped).
bool triangulatePoints(const std::vector<MeshPoint>& points, std::vector<unsigned>& indices);
bool triangulatePoints(const std::vector<MeshPoint>& points, const std::vector<unsigned>& segments,
                       std::vector<unsigned>& indices);

// The splat forms. floatCoords: the coordinate words hold floats; otherwise signed 32-bit integers.
bool triangulateSplats(std::vector<Splat>& splats, std::vector<unsigned>& indices, bool floatCoords);
bool triangulateSplats(std::vector<Splat*>& splats, std::vector<unsigned>& indices, bool floatCoords);
bool triangulateSplats(std::vector<Splat>& splats, std::vector<unsigned>& segments, std::vector<unsigned>& indices,
                       bool floatCoords);
bool triangulateSplats(std::vector<Splat*>& splats, std::vector<unsigned>& segments,
                       std::vector<unsigned>& indices, bool floatCoords);

// Input records. Every pointer of `in` and `out` is set (null where nothing is allocated), so that
// cleanTriangulation frees exactly what was allocated.
void initTriangulation(triangulateio& in, triangulateio& out, const std::vector<MeshPoint>& points);
void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat>& splats, bool floatCoords);
void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat*>& splats, bool floatCoords);
void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat>& splats,
                       std::vector<unsigned>& segments, bool floatCoords);
void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat*>& splats,
                       std::vector<unsigned>& segments, bool floatCoords);
// The points splats[subset[i]], integer coordinates; markers[subset[i]] as point markers when given.
void initTriangulation(triangulateio& in, triangulateio& out, std::vector<Splat>& splats, int* subset, int count,
                       int* markers);
void initTriangulation(triangulateio& in, triangulateio& out, std::vector<unsigned>& subset,
                       std::vector<Splat*>& splats);
// Frees the input arrays (new[]) and the output arrays (malloc) and nulls every pointer.
void cleanTriangulation(triangulateio& in, triangulateio& out);

// Triangulates all splats (integer coordinates) and drops every triangle whose three points all belong
// to `points`.
void createSurfaceTriangulation(std::vector<Splat>& splats, std::set<unsigned>& points,
                                std::vector<unsigned>& indices);
// Triangulates all splats (integer coordinates) and keeps only triangles whose three points share one
// positive class: every triangle lies within one surface.
void createSurfaceTriangulation(std::vector<Splat>& splats, std::vector<char>& classes,
                                std::vector<unsigned>& indices);
// Triangulates each positive class's points alone and appends the triangles (in splat numbers), class
// by class in ascending class order.
void triangulateSurfaces(std::vector<Splat>& splats, std::vector<char>& classes, std::vector<unsigned>& indices);
