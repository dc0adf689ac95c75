#include "ViewMath.h"

#include <cmath>
#include <vector>

static_assert(std::atomic<float>::is_always_lock_free);

float modelViewMatrix[16];
float projMatrix[16];
std::atomic<float> modelViewProjMatrix[16];
float inverseMatrix[16];
std::atomic<float> frustum[6][4];

// The readers on other threads need no ordering with anything else; each element is independent.
static constexpr auto kRelaxed = std::memory_order_relaxed;

void storeModelViewProjMatrix(const float* m) {
    for (int i = 0; i < 16; ++i)
        modelViewProjMatrix[i].store(m[i], kRelaxed);
}

void loadModelViewProjMatrix(float* out) {
    for (int i = 0; i < 16; ++i)
        out[i] = modelViewProjMatrix[i].load(kRelaxed);
}

void loadFrustum(float out[6][4]) {
    for (int p = 0; p < 6; ++p)
        for (int k = 0; k < 4; ++k)
            out[p][k] = frustum[p][k].load(kRelaxed);
}

void modelViewProjectionMatrix(const float* mv, const float* proj, float** out) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k)
                sum += proj[4 * k + i] * mv[4 * j + k];
            out[i][j] = sum;
        }
}

namespace {

// An (n-1) x (n-1) copy of m without row `skipRow` and column `skipCol`, as row pointers.
struct Minor {
    std::vector<float> values;
    std::vector<float*> rows;

    Minor(float** m, int n, int skipRow, int skipCol) : values(static_cast<size_t>((n - 1) * (n - 1))) {
        rows.reserve(static_cast<size_t>(n - 1));
        float* dst = values.data();
        for (int r = 0; r < n; ++r) {
            if (r == skipRow)
                continue;
            rows.push_back(dst);
            for (int c = 0; c < n; ++c)
                if (c != skipCol)
                    *dst++ = m[r][c];
        }
    }
};

} // namespace

double calcDeterminant(float** m, int n) {
    if (n <= 0)
        return 1.0; // the empty product
    if (n == 1)
        return m[0][0];
    double det = 0.0;
    for (int c = 0; c < n; ++c) {
        Minor minor(m, n, 0, c);
        const double term = m[0][c] * calcDeterminant(minor.rows.data(), n - 1);
        det += (c % 2 == 0) ? term : -term;
    }
    return det;
}

void matrixInversion(float** m, int n, float** out) {
    if (n <= 0)
        return;
    const double det = calcDeterminant(m, n);
    if (det == 0.0 || !std::isfinite(det))
        return;
    std::vector<float> result(static_cast<size_t>(n * n));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const double cofactor = n == 1 ? 1.0 : [&] {
                Minor minor(m, n, i, j);
                return calcDeterminant(minor.rows.data(), n - 1);
            }();
            const double value = ((i + j) % 2 == 0 ? cofactor : -cofactor) / det;
            if (!std::isfinite(value))
                return;
            result[static_cast<size_t>(j * n + i)] = static_cast<float>(value);
        }
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            out[r][c] = result[static_cast<size_t>(r * n + c)];
}

void modelViewProjectionInverse(const float* mv, const float* proj, float** out) {
    float product[4][4];
    float* rows[4] = {product[0], product[1], product[2], product[3]};
    modelViewProjectionMatrix(mv, proj, rows);
    matrixInversion(rows, 4, out);
}

void extractFrustum(const float* proj, const float* mv) {
    float clip[16];
    for (int col = 0; col < 4; ++col)
        for (int row = 0; row < 4; ++row) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k)
                sum += proj[4 * k + row] * mv[4 * col + k];
            clip[4 * col + row] = sum;
        }
    // Row r of the clip matrix as a plane (a, b, c, d).
    auto row = [&](int r, int k) { return clip[4 * k + r]; };
    // Right, left, bottom, top, far, near: row 3 -/+ rows 0, 1, 2.
    static constexpr int kRow[6] = {0, 0, 1, 1, 2, 2};
    static constexpr float kSign[6] = {-1.0f, 1.0f, 1.0f, -1.0f, -1.0f, 1.0f};
    for (int p = 0; p < 6; ++p) {
        float plane[4];
        for (int k = 0; k < 4; ++k)
            plane[k] = row(3, k) + kSign[p] * row(kRow[p], k);
        const float length = std::sqrt(plane[0] * plane[0] + plane[1] * plane[1] + plane[2] * plane[2]);
        if (!(length > 0.0f) || !std::isfinite(length) || !std::isfinite(plane[3]))
            continue;
        for (int k = 0; k < 4; ++k)
            frustum[p][k].store(plane[k] / length, kRelaxed);
    }
}

bool pointInFrustum(float x, float y, float z) {
    for (int p = 0; p < 6; ++p) {
        const float a = frustum[p][0].load(kRelaxed), b = frustum[p][1].load(kRelaxed);
        const float c = frustum[p][2].load(kRelaxed), d = frustum[p][3].load(kRelaxed);
        if (a * x + b * y + c * z + d <= 0.0f)
            return false;
    }
    return true;
}

namespace {

// 0 as soon as every corner lies on or behind one plane (planes in frustum order), else 1.
template <typename T, int N> int cornersInFrustum(const T (&corners)[N][3]) {
    for (int p = 0; p < 6; ++p) {
        const T a = frustum[p][0].load(kRelaxed), b = frustum[p][1].load(kRelaxed);
        const T c = frustum[p][2].load(kRelaxed), d = frustum[p][3].load(kRelaxed);
        bool anyInside = false;
        for (int i = 0; i < N && !anyInside; ++i)
            anyInside = a * corners[i][0] + b * corners[i][1] + c * corners[i][2] + d > T(0);
        if (!anyInside)
            return 0;
    }
    return 1;
}

template <typename T> int boxInFrustum(T x0, T x1, T y0, T y1, T z0, T z1) {
    const T corners[8][3] = {{x0, y0, z0}, {x1, y0, z0}, {x0, y1, z0}, {x1, y1, z0},
                             {x0, y0, z1}, {x1, y0, z1}, {x0, y1, z1}, {x1, y1, z1}};
    return cornersInFrustum(corners);
}

} // namespace

int cubeInFrustum(float x, float y, float z, float half) {
    return boxInFrustum(x - half, x + half, y - half, y + half, z - half, z + half);
}

int bBoxInFrustum(double x0, double x1, double y0, double y1, double z0, double z1) {
    return boxInFrustum(x0, x1, y0, y1, z0, z1);
}

int edgeInFrustum(double x0, double y0, double z0, double x1, double y1, double z1) {
    const double corners[2][3] = {{x0, y0, z0}, {x1, y1, z1}};
    return cornersInFrustum(corners);
}

int quadInFrustum(double x0, double y0, double z0, double x1, double y1, double z1, double x2, double y2,
                  double z2, double x3, double y3, double z3) {
    const double corners[4][3] = {{x0, y0, z0}, {x1, y1, z1}, {x2, y2, z2}, {x3, y3, z3}};
    return cornersInFrustum(corners);
}

void projectToScreen(double x, double y, double z, float* sx, float* sy) {
    double m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = modelViewProjMatrix[i].load(kRelaxed);
    const double w = m[3] * x + m[7] * y + m[11] * z + m[15];
    *sx = static_cast<float>((m[0] * x + m[4] * y + m[8] * z + m[12]) / w);
    *sy = static_cast<float>((m[1] * x + m[5] * y + m[9] * z + m[13]) / w);
}

double dist(const GLVector3d& a, const GLVector3d& b) {
    const double dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

float dist(const GLVector3f& a, const GLVector3f& b) {
    const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

namespace {

// acos of the normalised dot product; rounding can push the cosine just past +-1, which still means
// parallel or opposite.
double angleFromDot(double dot, double lengthProduct) {
    if (!(lengthProduct > 0.0) || !std::isfinite(lengthProduct) || !std::isfinite(dot))
        return 0.0;
    double cosine = dot / lengthProduct;
    if (cosine > 1.0)
        cosine = 1.0;
    else if (cosine < -1.0)
        cosine = -1.0;
    return std::acos(cosine);
}

double angle2d(double ux, double uy, double vx, double vy) {
    return angleFromDot(ux * vx + uy * vy, std::sqrt(ux * ux + uy * uy) * std::sqrt(vx * vx + vy * vy));
}

// Cross product in x and y of (u - o) and (v - o), the coordinate words read as floats.
double crossAround(const Splat& o, const Splat& u, const Splat& v) {
    const double ux = double(u.fx()) - o.fx(), uy = double(u.fy()) - o.fy();
    const double vx = double(v.fx()) - o.fx(), vy = double(v.fy()) - o.fy();
    return ux * vy - uy * vx;
}

bool sameStrictSign(double a, double b) {
    return (a > 0.0 && b > 0.0) || (a < 0.0 && b < 0.0);
}

} // namespace

double angleBetweenNormals(const GLVector3f* a, const GLVector3f* b) {
    const double ax = a->x, ay = a->y, az = a->z, bx = b->x, by = b->y, bz = b->z;
    const double la = std::sqrt(ax * ax + ay * ay + az * az), lb = std::sqrt(bx * bx + by * by + bz * bz);
    return angleFromDot(ax * bx + ay * by + az * bz, la * lb);
}

double angleBetweenLinesInt(const Splat* p0, const Splat* p1, const Splat* q0, const Splat* q1) {
    // A difference of two raw int32 coordinates needs 33 bits and its square 66; in int arithmetic
    // both overflow.
    return angle2d(double(p1->x) - p0->x, double(p1->y) - p0->y, double(q1->x) - q0->x,
                   double(q1->y) - q0->y);
}

double angleBetweenLinesFloat(Splat p0, Splat p1, Splat q0, Splat q1) {
    return angle2d(double(p1.fx()) - p0.fx(), double(p1.fy()) - p0.fy(), double(q1.fx()) - q0.fx(),
                   double(q1.fy()) - q0.fy());
}

bool vectorBetweenCCWvectors(const Splat& o, const Splat& p, const Splat& a, const Splat& b) {
    const double ab = crossAround(o, a, b);
    const double ap = crossAround(o, a, p);
    const double pb = crossAround(o, p, b);
    if (ab >= 0.0)
        return ap >= 0.0 && pb >= 0.0;
    return ap >= 0.0 || pb >= 0.0;
}

bool pointOnLineFloat(const Splat& a, const Splat& b, const Splat& p) {
    auto strictlyBetween = [](float v, float e0, float e1) {
        return (e0 < v && v < e1) || (e1 < v && v < e0);
    };
    if (a.fx() != b.fx())
        return strictlyBetween(p.fx(), a.fx(), b.fx());
    return strictlyBetween(p.fy(), a.fy(), b.fy());
}

bool linesCrossFloat(Splat a, Splat b, Splat c, Splat d) {
    const double d1 = crossAround(a, b, c);
    const double d2 = crossAround(a, b, d);
    if (sameStrictSign(d1, d2))
        return false;
    if (d1 == 0.0 && d2 == 0.0)
        return pointOnLineFloat(a, b, c) || pointOnLineFloat(a, b, d) || pointOnLineFloat(c, d, a);
    if (d1 == 0.0)
        return pointOnLineFloat(a, b, c);
    if (d2 == 0.0)
        return pointOnLineFloat(a, b, d);
    const double d3 = crossAround(c, d, a);
    const double d4 = crossAround(c, d, b);
    if (sameStrictSign(d3, d4))
        return false;
    if (d3 == 0.0)
        return pointOnLineFloat(c, d, a);
    if (d4 == 0.0)
        return pointOnLineFloat(c, d, b);
    return true;
}

double relativeDistanceToSurface(const GLVector3d& p, const GLVector3f& n, const GLVector3d& q) {
    const double vx = q.x - p.x, vy = q.y - p.y, vz = q.z - p.z;
    const double nx = n.x, ny = n.y, nz = n.z;
    const double vv = vx * vx + vy * vy + vz * vz, nn = nx * nx + ny * ny + nz * nz;
    if (!(nn > 0) || !std::isfinite(nn))
        return 1.0;
    if (vv == 0)
        return 0.0;
    const double r = std::fabs(nx * vx + ny * vy + nz * vz) / std::sqrt(nn * vv);
    return r > 1.0 ? 1.0 : r; // rounding may overshoot along the normal
}

double diffclock(long end, long start) {
    return (double(end) - double(start)) * 1000.0 / 1000000.0;
}
