#pragma once
// Matrices of the current view, the view frustum and the visibility tests against it, distances and
// angles. Matrices are column-major as OpenGL returns them unless a function says otherwise.
//
// The main thread owns the view globals. modelViewProjMatrix and frustum are also read by the render
// selection thread without a lock; they are atomics so that such a reader sees, element by element,
// either the previous or the current frame's values (a cycle may mix the two, which only shifts the
// choice of tiles for that cycle).
#include "GeometryTypes.h"

#include <atomic>

extern float modelViewMatrix[16];
extern float projMatrix[16];
extern std::atomic<float> modelViewProjMatrix[16];
extern float inverseMatrix[16];
// Planes (a, b, c, d) in the order right, left, bottom, top, far, near, (a, b, c) of unit length; a
// point p is inside a plane when a*px + b*py + c*pz + d > 0.
extern std::atomic<float> frustum[6][4];

enum FrustumPlane { FrustumRight, FrustumLeft, FrustumBottom, FrustumTop, FrustumFar, FrustumNear };

// Plain copies in and out of the shared globals, e.g. for glUniformMatrix4fv.
void storeModelViewProjMatrix(const float* m);
void loadModelViewProjMatrix(float* out);
void loadFrustum(float out[6][4]);

// out[i][j] = sum over k of proj[4k + i] * mv[4j + k]: projection x model-view, row-major rows.
void modelViewProjectionMatrix(const float* mv, const float* proj, float** out);
// Determinant of the n x n matrix given as n row pointers, by Laplace expansion along the first row.
double calcDeterminant(float** m, int n);
// out = adjugate(m) / det(m). A singular or non-finite matrix leaves out unchanged. out may be m.
void matrixInversion(float** m, int n, float** out);
// Inverse of projection x model-view into out (rows); out unchanged when the product is singular.
void modelViewProjectionInverse(const float* mv, const float* proj, float** out);

// Sets frustum from clip = proj x mv. A plane whose normal has zero length (or is not finite) keeps
// its previous value.
void extractFrustum(const float* proj, const float* mv);
// True when the point is strictly inside all six planes.
bool pointInFrustum(float x, float y, float z);
// The tests below return 0 as soon as all corners lie on or behind one plane, else 1. They are
// conservative: a box beside a corner of the frustum may be reported inside.
int cubeInFrustum(float x, float y, float z, float half);
int bBoxInFrustum(double x0, double x1, double y0, double y1, double z0, double z1);
int edgeInFrustum(double x0, double y0, double z0, double x1, double y1, double z1);
int quadInFrustum(double x0, double y0, double z0, double x1, double y1, double z1, double x2, double y2,
                  double z2, double x3, double y3, double z3);
// Normalised device coordinates of a point through modelViewProjMatrix (no test for w <= 0).
void projectToScreen(double x, double y, double z, float* sx, float* sy);

double dist(const GLVector3d& a, const GLVector3d& b);
float dist(const GLVector3f& a, const GLVector3f& b);
// Angles in radians in [0, pi]; 0 when either vector has zero length.
double angleBetweenNormals(const GLVector3f* a, const GLVector3f* b);
// Angle between p1 - p0 and q1 - q0 in x and y; Int reads the coordinate words as integers, Float as
// floats.
double angleBetweenLinesInt(const Splat* p0, const Splat* p1, const Splat* q0, const Splat* q1);
double angleBetweenLinesFloat(Splat p0, Splat p1, Splat q0, Splat q1);
// In x and y around o (coordinates read as floats): whether p - o lies in the counter-clockwise sweep
// from a - o to b - o, both rays included.
bool vectorBetweenCCWvectors(const Splat& o, const Splat& p, const Splat& a, const Splat& b);
// For p known to lie on the line through a and b: whether p lies strictly between them (by x, or by y
// when a.x = b.x). End points never count.
bool pointOnLineFloat(const Splat& a, const Splat& b, const Splat& p);
// Whether segments ab and cd cross in x and y (coordinates read as floats). Segments that only touch
// at an end point, and identical segments, do not cross.
bool linesCrossFloat(Splat a, Splat b, Splat c, Splat d);
// Distance of q from the tangent plane through p with normal n, divided by the distance from p to q:
// |n̂ · (q − p)| / |q − p|, the sine of q's elevation above the plane (0 in the plane, 1 along the
// normal). 0 when q = p, which lies in every plane through p; 1 when n has zero length (or is not
// finite), so that a point without a normal never counts as lying in a plane.
double relativeDistanceToSurface(const GLVector3d& p, const GLVector3f& n, const GLVector3d& q);
// Neighbours closer to the tangent plane than this are taken to lie on the surface: 0.25 is an elevation
// of about 14.5 degrees, which still holds the nearest neighbours of noisy airborne returns (a few
// centimetres of noise at half a metre of spacing) but not the points of a wall or a tree beside a roof.
constexpr double DEFAULT_RELATIVE_DISTANCE_THRESHOLD = 0.25;
// Milliseconds between two processor-clock readings at one million ticks per second.
double diffclock(long end, long start);
