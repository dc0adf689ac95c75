// The interactive classifier step by step: seeds, the end of the seeds, classes for display, and the
// class files.
#include "SurfaceClassifier.h"
#include "ClassificationFixtures.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

Scene flatGrid(int side, double spacing = 1.0) {
    Scene s;
    for (int x = 0; x < side; ++x)
        for (int y = 0; y < side; ++y)
            s.add(x * spacing, y * spacing, 0, 0);
    return s;
}

// Steps to the end; fails instead of looping for ever.
size_t runToEnd(SurfaceClassifier& c, const QueryHandler& q) {
    size_t steps = 0;
    while (!c.classificationEnded()) {
        c.nextIteration(q);
        if (++steps > 100 * q.size() + 1000) {
            ADD_FAILURE() << "no end after " << steps << " steps";
            break;
        }
    }
    return steps;
}

TEST(SurfaceClassifier, OnePlaneIsOneClassAndSeedsInItAreNotSeededAgain) {
    CapturedLog log;
    Scene s = flatGrid(20); // every point has 99 compatible neighbours: no seed ends the run early
    auto q = s.handler();
    SurfaceClassifier c;
    c.initSurfaceClassification(*q, 15, 0.25, 20, 15);
    EXPECT_TRUE(log.has("Starting surface classification at index 0"));
    EXPECT_FALSE(c.nextIteration(*q)) << "the first seed starts a class";
    EXPECT_EQ(c.currentClass, 1);
    EXPECT_EQ(c.frontier.size(), 1u);
    const size_t firstSeed = c.currentIt;
    while (!c.nextIteration(*q)) {
    }
    EXPECT_EQ(c.classifiedPoints, 400u);
    // The next seed lies in the plane: it is passed over without a class of its own.
    EXPECT_TRUE(c.nextIteration(*q));
    EXPECT_EQ(c.currentIt, firstSeed + 1);
    EXPECT_EQ(c.numClasses, 1);
    runToEnd(c, *q);
    EXPECT_TRUE(log.has("Ended surface detection."));
    EXPECT_EQ(c.numClasses, 1);
    EXPECT_EQ(c.currentIt, c.compNeighNum.size()) << "the seeds ran out, and no further";
    for (int32_t v : c.surfaceClasses)
        EXPECT_EQ(v, 1);
    EXPECT_TRUE(c.nextIteration(*q)) << "calls after the end do nothing";
    EXPECT_EQ(c.currentIt, c.compNeighNum.size());
}

TEST(SurfaceClassifier, EndsAtTheFirstSeedBelowSixteen) {
    CapturedLog log;
    Scene few = flatGrid(4); // 15 compatible neighbours at most
    auto q = few.handler();
    SurfaceClassifier c;
    c.initSurfaceClassification(*q, 15, 0.25, 20, 15);
    EXPECT_EQ(c.compNeighNum.front().count, 15);
    EXPECT_TRUE(c.nextIteration(*q));
    EXPECT_TRUE(c.classificationEnded());
    EXPECT_TRUE(log.has("Ended surface detection."));
    EXPECT_EQ(c.numClasses, 0);
    EXPECT_EQ(c.classifiedPoints, 0u);

    // Seventeen points: every seed has 16; after the one class the next seed (count 16) is classified
    // and the run ends with the seeds.
    Scene seventeen = flatGrid(5);
    seventeen.positions.resize(17);
    seventeen.normals.resize(17);
    seventeen.labels.resize(17);
    auto q17 = seventeen.handler();
    c.initSurfaceClassification(*q17, 15, 0.25, 20, 15);
    runToEnd(c, *q17);
    EXPECT_EQ(c.numClasses, 1);
    EXPECT_EQ(c.classifiedPoints, 17u);
}

TEST(SurfaceClassifier, EmptyDataSetEndsAtOnce) {
    CapturedLog log;
    QueryHandler q({}, {});
    SurfaceClassifier c;
    c.initSurfaceClassification(q, 15, 0.25, 20, 15);
    EXPECT_TRUE(c.nextIteration(q));
    EXPECT_TRUE(c.classificationEnded());
    EXPECT_EQ(c.numClasses, 0);
}

TEST(SurfaceClassifier, AZeroCountPointNeverSeedsAndStaysOut) {
    CapturedLog log;
    Scene s = flatGrid(12);
    s.normals[77] = {0.866f, 0, 0.5f};
    auto q = s.handler();
    SurfaceClassifier c;
    c.initSurfaceClassification(*q, 15, 0.25, 20, 15);
    EXPECT_EQ(c.kNeighbours[77], 0);
    EXPECT_EQ(c.compNeighNum.back().count, 0);
    runToEnd(c, *q);
    EXPECT_EQ(c.surfaceClasses[77], 0) << "its normal is 60 degrees off every seed's";
    EXPECT_EQ(c.classifiedPoints, 143u);
}

TEST(SurfaceClassifier, ClassesForDisplay) {
    CapturedLog log;
    Scene s = smallSettlement();
    auto q = s.handler();
    SurfaceClassifier c;
    c.initSurfaceClassification(*q, 15, 0.25, 20, 15);
    runToEnd(c, *q);
    ASSERT_GE(c.numClasses, 3);
    size_t classified = 0;
    for (int32_t v : c.surfaceClasses)
        classified += v != 0;
    EXPECT_EQ(classified, c.classifiedPoints);
    EXPECT_LT(classified, s.positions.size()) << "the scattered returns stay out";

    c.generateClass(-2, SURFACE_CLASSES);
    EXPECT_EQ(size_t(c.numClassPoints), classified);
    EXPECT_TRUE(std::is_sorted(c.classIndeces.begin(), c.classIndeces.end()));
    for (int32_t i : c.classIndeces)
        EXPECT_NE(c.surfaceClasses[size_t(i)], 0);
    EXPECT_TRUE(log.has("Filled class of " + std::to_string(classified) + " points."));

    c.nextClass(SURFACE_CLASSES);
    EXPECT_EQ(c.currentClass, -1);
    EXPECT_EQ(c.numClassPoints, 0);
    c.nextClass(SURFACE_CLASSES);
    c.nextClass(SURFACE_CLASSES);
    EXPECT_EQ(c.currentClass, 1);
    for (int32_t i : c.classIndeces)
        EXPECT_EQ(c.surfaceClasses[size_t(i)], 1);
    EXPECT_EQ(size_t(c.numClassPoints),
              size_t(std::count(c.surfaceClasses.begin(), c.surfaceClasses.end(), 1)));
    for (int i = 0; i < 6; ++i)
        c.previousClass(SURFACE_CLASSES);
    EXPECT_EQ(c.currentClass, -2) << "not below -2";
    EXPECT_EQ(size_t(c.numClassPoints), classified);

    // The other array, filled from a class file.
    c.pointClasses.assign(s.positions.size(), 0);
    c.pointClasses[5] = c.pointClasses[9] = 4;
    c.generateClass(4, POINT_CLASSES);
    EXPECT_EQ(c.classIndeces, (std::vector<int32_t>{5, 9}));
    c.resetSurfaceClasses(0);
    c.generateClass(-2, SURFACE_CLASSES);
    EXPECT_EQ(c.numClassPoints, 0);
}

TEST(SurfaceClassifier, ClassNumbersStopAtThirtyTwoBits) {
    EXPECT_EQ(nextClassNumber(0), 1);
    EXPECT_EQ(nextClassNumber(2147483646), 2147483647);
    EXPECT_THROW(nextClassNumber(2147483647), std::overflow_error);
}

TEST(SurfaceClassifier, SplatSizes) {
    std::vector<Splat> splats{{1, 2, 3, 0, 3, 4}, {0, 0, 0, 0, 0, 0}, {0, 0, 0, -2, 0, 0}};
    setSize(splats, 2.0);
    EXPECT_FLOAT_EQ(splats[0].ny, 1.2f);
    EXPECT_FLOAT_EQ(splats[0].nz, 1.6f);
    EXPECT_EQ(splats[0].x, 1) << "positions stay";
    EXPECT_EQ(splats[1].nx, 0.0f);
    EXPECT_EQ(splats[1].nz, 0.0f) << "no normal stays no normal";
    EXPECT_FLOAT_EQ(splats[2].nx, -2.0f);
    setNewSize(splats, 2.0);
    EXPECT_FLOAT_EQ(splats[0].nz, 1.92f);
    EXPECT_FLOAT_EQ(splats[2].nx, -2.4f);
}

class ClassFiles : public ::testing::Test {
protected:
    CapturedLog log;
    TempDir dir;
    Scene s = flatGrid(5);
    std::unique_ptr<QueryHandler> q = s.handler();
    std::vector<int32_t> classes = [] {
        std::vector<int32_t> c(25);
        for (int i = 0; i < 25; ++i)
            c[size_t(i)] = i % 3 == 0 ? 0 : 70000 + i;
        return c;
    }();
};

TEST_F(ClassFiles, RoundTripOfFourPlusFourBytesPerPoint) {
    const std::string path = dir.file("set.classes");
    saveClasses(*q, 25, classes.data(), path);
    EXPECT_TRUE(log.has("Saving classes... saved."));
    const auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 4u + 4u * 25);
    EXPECT_EQ(bytes[0], 25);
    EXPECT_EQ(bytes[1] | bytes[2] | bytes[3], 0);
    EXPECT_EQ(bytes[8] | bytes[9] << 8 | bytes[10] << 16, 70001) << "little-endian, point 1 after the count";
    EXPECT_EQ(loadClasses(*q, path), classes);
    EXPECT_EQ(dir.entryCount(), 1u);

    SurfaceClassifier c;
    c.loadClasses(*q, path, POINT_CLASSES);
    EXPECT_EQ(c.pointClasses, classes);
    c.saveClasses(*q, dir.file("again"), POINT_CLASSES);
    EXPECT_EQ(readBytes(dir.file("again")), bytes);
}

TEST_F(ClassFiles, CountsThatDifferAreRefused) {
    const std::string path = dir.file("set.classes");
    EXPECT_THROW(saveClasses(*q, 24, classes.data(), path), std::invalid_argument);
    EXPECT_THROW(saveClasses(*q, 26, classes.data(), path), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(path));
    saveClasses(*q, 25, classes.data(), path);
    // Read back against another data set.
    Scene other = flatGrid(6);
    auto q36 = other.handler();
    try {
        loadClasses(*q36, path);
        FAIL() << "a class file of 25 points loaded for 36";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("holds 25 classes, the data set has 36 points"),
                  std::string::npos)
            << e.what();
    }
    SurfaceClassifier c;
    c.surfaceClasses = {7};
    EXPECT_THROW(c.saveClasses(*q, dir.file("x"), SURFACE_CLASSES), std::invalid_argument);
}

TEST_F(ClassFiles, TruncatedLongOrCorruptFilesAreRefused) {
    const std::string path = dir.file("set.classes"), bad = dir.file("bad.classes");
    saveClasses(*q, 25, classes.data(), path);
    const auto good = readBytes(path);
    for (size_t n = 0; n < good.size(); ++n) {
        writeBytes(bad, good, n);
        EXPECT_THROW(loadClasses(*q, bad), std::runtime_error) << "truncated to " << n;
    }
    auto longer = good;
    longer.push_back(1);
    writeBytes(bad, longer);
    EXPECT_THROW(loadClasses(*q, bad), std::runtime_error);
    auto negative = good;
    negative[4 + 4 * 7 + 3] = 0x80;
    writeBytes(bad, negative);
    EXPECT_THROW(loadClasses(*q, bad), std::runtime_error);
    EXPECT_THROW(loadClasses(*q, dir.file("none")), std::runtime_error);
}

TEST_F(ClassFiles, AFailedSaveLeavesTheOldFile) {
    const std::string path = dir.file("set.classes");
    saveClasses(*q, 25, classes.data(), path);
    const auto before = readBytes(path);
    std::filesystem::permissions(dir.path(),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const bool canStillWrite = ::access(dir.path().c_str(), W_OK) == 0; // root ignores permissions
    std::vector<int32_t> other(25, 3);
    if (!canStillWrite) {
        EXPECT_THROW(saveClasses(*q, 25, other.data(), path), std::runtime_error);
    }
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    if (canStillWrite) {
        // Writing over a directory fails at the rename instead.
        std::filesystem::create_directory(dir.file("taken"));
        EXPECT_THROW(saveClasses(*q, 25, other.data(), dir.file("taken")), std::runtime_error);
    }
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(dir.entryCount(), canStillWrite ? 2u : 1u) << "no temporary file left behind";
}

} // namespace
