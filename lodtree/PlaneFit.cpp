#include "NearestNeighbours.h"

#include <Eigen/Eigenvalues>

#include <cmath>

void fitPlane(const double centre[3], const double* points, int count, float out[6]) {
    for (int i = 0; i < 6; ++i)
        out[i] = 0;
    if (count < 3)
        return;
    Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
    for (int i = 0; i < count; ++i) {
        const Eigen::Vector3d d(points[3 * i] - centre[0], points[3 * i + 1] - centre[1],
                                points[3 * i + 2] - centre[2]);
        scatter.noalias() += d * d.transpose();
    }
    // compute() is the Householder tridiagonalisation followed by the implicit QL iteration; the
    // eigenvalues come out ascending.
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(scatter);
    if (solver.info() != Eigen::Success)
        return;
    const Eigen::Vector3d& values = solver.eigenvalues();
    // All points on the centre, or on one line through it: no plane is defined, and the "smallest"
    // direction would be an arbitrary pick from a two-dimensional eigenspace.
    if (!(values[2] > 0) || !std::isfinite(values[2]) || values[1] <= values[2] * 1e-12)
        return;
    for (int c = 0; c < 2; ++c) {
        const Eigen::Vector3d v = solver.eigenvectors().col(c).normalized();
        for (int i = 0; i < 3; ++i)
            out[3 * c + i] = float(v[i]);
    }
}
