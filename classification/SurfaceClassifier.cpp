#include "SurfaceClassifier.h"

#include "AtomicFile.h"
#include "ClassificationLog.h"
#include "LASPointData.h"

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>

void SurfaceClassifier::initSurfaceClassification(const QueryHandler& q, double maxAngleDeg,
                                                  double maxRelDistance, double secondaryAngleDeg,
                                                  double globalAngleDeg,
                                                  const CompatibilityOptions& options) {
    secondaryMaxAngleDiff = degreesToRadians(secondaryAngleDeg);
    globalMaxAngleDiff = degreesToRadians(globalAngleDeg);
    rule_ = GrowthRule(secondaryAngleDeg, globalAngleDeg);
    numPoints = q.size();
    compNeighNum = getCompatibleNeighbours(q, maxAngleDeg, maxRelDistance, options);
    kNeighbours.assign(numPoints, 0);
    for (const IndexPair& p : compNeighNum)
        kNeighbours[size_t(p.index)] = p.count;
    surfaceClasses.assign(numPoints, 0);
    classifiedPoints = 0;
    currentClass = 0;
    numClasses = 0;
    frontier.clear();
    classIndeces.clear();
    numClassPoints = 0;
    avgNormal = {0, 0, 0};
    LogLine() << "Starting surface classification at index " << 0 << "\n";
    currentIt = 0;
    seedTaken_ = false;
    endOfProcessing = false;
}

bool SurfaceClassifier::nextIteration(const QueryHandler& q) {
    if (endOfProcessing)
        return true;
    if (q.size() != numPoints)
        throw std::invalid_argument("nextIteration: the query handler holds " + std::to_string(q.size()) +
                                    " points, the classification " + std::to_string(numPoints));
    if (frontier.empty()) {
        classificationLog(", surfaces empty, next iterator...");
        if (seedTaken_)
            ++currentIt;
        seedTaken_ = true;
        if (currentIt >= compNeighNum.size() || compNeighNum[currentIt].count < MIN_SEED_NEIGHBOURS) {
            classificationLog("Ended surface detection.\n");
            endOfProcessing = true;
            return true;
        }
        const IndexPair seed = compNeighNum[currentIt];
        if (surfaceClasses[size_t(seed.index)] == 0) {
            currentClass = numClasses = nextClassNumber(numClasses);
            frontier.push_back(seed);
            avgNormal = q.point(uint32_t(seed.index)).normal;
        }
        return frontier.empty();
    }

    const IndexPair front = frontier.front();
    frontier.pop_front();
    if (surfaceClasses[size_t(front.index)] == 0) {
        surfaceClasses[size_t(front.index)] = currentClass;
        ++classifiedPoints;
        if (front.count > 0) {
            q.nearestSet(uint32_t(front.index), uint32_t(2 * front.count), neighbours_);
            const QueryPoint& p = *neighbours_[0];
            for (size_t j = 1; j < neighbours_.size(); ++j) {
                const QueryPoint& n = *neighbours_[j];
                if (surfaceClasses[n.index] == 0 && rule_(avgNormal, p, n))
                    frontier.push_back(IndexPair{int32_t(n.index), kNeighbours[n.index]});
            }
        }
    }
    return frontier.empty();
}

const std::vector<int32_t>& SurfaceClassifier::classes(ClassType type) const {
    return type == POINT_CLASSES ? pointClasses : surfaceClasses;
}

void SurfaceClassifier::fillClassIndeces(ClassType type) {
    const std::vector<int32_t>& c = classes(type);
    classIndeces.clear();
    for (size_t i = 0; i < c.size(); ++i)
        if (currentClass == -2 ? c[i] != 0 : c[i] == currentClass)
            classIndeces.push_back(int32_t(i));
    numClassPoints = int32_t(classIndeces.size());
    LogLine() << "Filled class of " << numClassPoints << " points.\n";
}

void SurfaceClassifier::nextClass(ClassType type) {
    if (currentClass < std::numeric_limits<int32_t>::max())
        ++currentClass;
    fillClassIndeces(type);
}

void SurfaceClassifier::previousClass(ClassType type) {
    if (currentClass > -2)
        --currentClass;
    fillClassIndeces(type);
}

void SurfaceClassifier::generateClass(int cls, ClassType type) {
    currentClass = cls;
    fillClassIndeces(type);
}

void SurfaceClassifier::resetSurfaceClasses(int value) {
    surfaceClasses.assign(numPoints, value);
}

void SurfaceClassifier::saveClasses(const QueryHandler& q, const std::string& path, ClassType type) const {
    const std::vector<int32_t>& c = classes(type);
    if (c.size() != q.size())
        throw std::invalid_argument("saveClasses: " + std::to_string(c.size()) + " classes for " +
                                    std::to_string(q.size()) + " points");
    ::saveClasses(q, int(c.size()), c.data(), path);
}

void SurfaceClassifier::loadClasses(const QueryHandler& q, const std::string& path, ClassType type) {
    std::vector<int32_t> c = ::loadClasses(q, path);
    numPoints = q.size();
    (type == POINT_CLASSES ? pointClasses : surfaceClasses) = std::move(c);
}

int32_t nextClassNumber(int32_t current) {
    if (current >= std::numeric_limits<int32_t>::max())
        throw std::overflow_error("more than 2147483647 surfaces: a class file cannot number them");
    return current + 1;
}

void saveClasses(const QueryHandler& q, int count, const int32_t* classes, const std::string& path) {
    if (count < 0 || uint32_t(count) != q.size())
        throw std::invalid_argument("saveClasses: count " + std::to_string(count) + " differs from the " +
                                    std::to_string(q.size()) + " points of the data set");
    if (count > 0 && !classes)
        throw std::invalid_argument("saveClasses: no classes");
    classificationLog("Saving classes... ");
    AtomicFile file(path);
    std::vector<unsigned char> block(4 * 65536);
    las_detail::storeLE<uint32_t>(block.data(), uint32_t(count));
    size_t used = 4;
    for (int i = 0; i < count; ++i) {
        if (used == block.size()) {
            file.write(block.data(), used);
            used = 0;
        }
        las_detail::storeLE<uint32_t>(block.data() + used, uint32_t(classes[i]));
        used += 4;
    }
    file.write(block.data(), used);
    file.commit();
    classificationLog("saved.\n");
}

std::vector<int32_t> loadClasses(const QueryHandler& q, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open class file " + path);
    const uint64_t n = q.size();
    unsigned char head[4];
    if (!in.read(reinterpret_cast<char*>(head), 4))
        throw std::runtime_error(path + ": truncated class file (no count)");
    const uint32_t count = las_detail::loadLE<uint32_t>(head);
    if (count != n)
        throw std::runtime_error(path + ": the class file holds " + std::to_string(count) +
                                 " classes, the data set has " + std::to_string(n) + " points");
    std::vector<unsigned char> bytes(4 * n + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    const uint64_t got = uint64_t(in.gcount());
    if (got < 4 * n)
        throw std::runtime_error(path + ": truncated class file (" + std::to_string(got / 4) + " of " +
                                 std::to_string(n) + " classes)");
    if (got > 4 * n)
        throw std::runtime_error(path + ": the class file is longer than " + std::to_string(n) + " classes");
    std::vector<int32_t> classes(n);
    for (uint64_t i = 0; i < n; ++i) {
        classes[i] = int32_t(las_detail::loadLE<uint32_t>(&bytes[4 * i]));
        if (classes[i] < 0)
            throw std::runtime_error(path + ": corrupt class file (class " + std::to_string(classes[i]) +
                                     " for point " + std::to_string(i) + ")");
    }
    return classes;
}

namespace {
void scaleNormals(std::vector<Splat>& splats, double length) {
    for (Splat& s : splats) {
        const double len = std::sqrt(double(s.nx) * s.nx + double(s.ny) * s.ny + double(s.nz) * s.nz);
        if (!(len > 0) || !std::isfinite(len))
            continue;
        const double f = length / len;
        s.nx = float(s.nx * f);
        s.ny = float(s.ny * f);
        s.nz = float(s.nz * f);
    }
}
} // namespace

void setSize(std::vector<Splat>& splats, double size) {
    scaleNormals(splats, size);
}

void setNewSize(std::vector<Splat>& splats, double size) {
    scaleNormals(splats, 1.2 * size);
}
