// The interactive classifier step by step: seeds, the end of the seeds, classes for display, and the
// class files.
#include "ClassificationFixtures.h"
#include "SurfaceClassifier.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

Scene flatGrid(int side, size_t keep = SIZE_MAX) {
    Scene s;
    for (int i = 0; i < side * side && size_t(i) < keep; ++i)
        s.add(i / side, i % side, 0, 0);
    return s;
}

// Steps to the end; fails instead of looping for ever.
void runToEnd(SurfaceClassifier& c, const QueryHandler& q) {
    for (size_t steps = 0; !c.classificationEnded(); ++steps) {
        ASSERT_LT(steps, 100 * q.size() + 1000) << "no end";
        c.nextIteration(q);
    }
}

TEST(SurfaceClassifier, SeedsClassesAndTheEnd) {
    CapturedLog log;
    // One plane: every seed has 99 compatible neighbours, so only the end of the seeds stops the run.
    Scene plane = flatGrid(20);
    auto q = plane.handler();
    SurfaceClassifier c;
    c.initSurfaceClassification(*q, 15, 0.25, 20, 15);
    EXPECT_FALSE(c.nextIteration(*q)) << "the first seed starts a class";
    EXPECT_EQ(c.currentClass, 1);
    const size_t firstSeed = c.currentIt;
    while (!c.nextIteration(*q)) {
    }
    EXPECT_EQ(c.classifiedPoints, 400u);
    EXPECT_TRUE(c.nextIteration(*q)) << "the next seed lies in the plane: passed over without a class";
    EXPECT_EQ(c.currentIt, firstSeed + 1);
    runToEnd(c, *q);
    EXPECT_TRUE(log.has("Ended surface detection."));
    EXPECT_EQ(c.numClasses, 1);
    EXPECT_EQ(c.currentIt, c.compNeighNum.size()) << "the seeds ran out, and no further";
    EXPECT_EQ(c.surfaceClasses, std::vector<int32_t>(400, 1));
    EXPECT_TRUE(c.nextIteration(*q)) << "calls after the end do nothing";
    EXPECT_EQ(c.currentIt, c.compNeighNum.size());

    // (points, classes, classified): 16 points have 15 compatible neighbours at most, so no seed; 17
    // give one class; an empty set ends at once; a point 60 degrees off never seeds and stays out.
    const struct {
        Scene s;
        int32_t classes;
        size_t classified;
    } cases[] = {{flatGrid(4), 0, 0}, {flatGrid(5, 17), 1, 17}, {Scene{}, 0, 0}, {flatGrid(12), 1, 143}};
    for (size_t i = 0; i < std::size(cases); ++i) {
        Scene s = cases[i].s;
        if (i == 3)
            s.normals[77] = {0.866f, 0, 0.5f};
        auto qs = s.handler();
        c.initSurfaceClassification(*qs, 15, 0.25, 20, 15);
        runToEnd(c, *qs);
        EXPECT_EQ(c.numClasses, cases[i].classes) << i;
        EXPECT_EQ(c.classifiedPoints, cases[i].classified) << i;
        if (i == 3) {
            EXPECT_EQ(c.surfaceClasses[77], 0);
            EXPECT_EQ(c.compNeighNum.back().count, 0);
        }
    }
    EXPECT_EQ(nextClassNumber(2147483646), 2147483647);
    EXPECT_THROW(nextClassNumber(2147483647), std::overflow_error);
}

TEST(SurfaceClassifier, ClassesForDisplay) {
    CapturedLog log;
    Scene s = smallSettlement();
    auto q = s.handler();
    SurfaceClassifier c;
    c.initSurfaceClassification(*q, 15, 0.25, 20, 15);
    runToEnd(c, *q);
    ASSERT_GE(c.numClasses, 3);
    const size_t classified = s.positions.size() - size_t(std::count(c.surfaceClasses.begin(), c.surfaceClasses.end(), 0));
    EXPECT_EQ(classified, c.classifiedPoints);
    EXPECT_LT(classified, s.positions.size()) << "the scattered returns stay out";
    auto expectIndices = [&](const std::vector<int32_t>& classes, int cls) {
        std::vector<int32_t> want;
        for (size_t i = 0; i < classes.size(); ++i)
            if (cls == -2 ? classes[i] != 0 : classes[i] == cls)
                want.push_back(int32_t(i));
        EXPECT_EQ(c.classIndeces, want) << cls;
        EXPECT_EQ(c.numClassPoints, int32_t(want.size())) << cls;
    };
    c.generateClass(-2, SURFACE_CLASSES); // every classified point
    expectIndices(c.surfaceClasses, -2);
    for (int cls : {-1, 0, 1}) {
        c.nextClass(SURFACE_CLASSES);
        EXPECT_EQ(c.currentClass, cls);
        expectIndices(c.surfaceClasses, cls);
    }
    for (int i = 0; i < 6; ++i)
        c.previousClass(SURFACE_CLASSES);
    EXPECT_EQ(c.currentClass, -2) << "not below -2";
    expectIndices(c.surfaceClasses, -2);
    c.pointClasses.assign(s.positions.size(), 0);
    c.pointClasses[5] = c.pointClasses[9] = 4;
    c.generateClass(4, POINT_CLASSES);
    EXPECT_EQ(c.classIndeces, (std::vector<int32_t>{5, 9}));
    c.resetSurfaceClasses(0);
    c.generateClass(-2, SURFACE_CLASSES);
    EXPECT_EQ(c.numClassPoints, 0);
}

TEST(SurfaceClassifier, SplatSizes) {
    std::vector<Splat> splats{{1, 2, 3, 0, 3, 4}, {0, 0, 0, 0, 0, 0}, {0, 0, 0, -2, 0, 0}};
    setSize(splats, 2.0);
    EXPECT_FLOAT_EQ(splats[0].ny, 1.2f);
    EXPECT_FLOAT_EQ(splats[0].nz, 1.6f);
    EXPECT_EQ(splats[0].x, 1) << "positions stay";
    EXPECT_EQ(splats[1].nz, 0.0f) << "no normal stays no normal";
    setNewSize(splats, 2.0);
    EXPECT_FLOAT_EQ(splats[0].nz, 1.92f);
    EXPECT_FLOAT_EQ(splats[2].nx, -2.4f);
}

TEST(ClassFiles, FourPlusFourBytesPerPointForTheDataSetOnly) {
    CapturedLog log;
    TempDir dir;
    Scene s = flatGrid(5);
    auto q = s.handler();
    std::vector<int32_t> classes(25);
    for (int i = 0; i < 25; ++i)
        classes[size_t(i)] = i % 3 == 0 ? 0 : 70000 + i;
    const std::string path = dir.file("set.classes"), bad = dir.file("bad.classes");
    EXPECT_THROW(saveClasses(*q, 24, classes.data(), path), std::invalid_argument);
    EXPECT_THROW(saveClasses(*q, 26, classes.data(), path), std::invalid_argument);
    EXPECT_FALSE(std::filesystem::exists(path));
    saveClasses(*q, 25, classes.data(), path);
    const auto good = readBytes(path);
    ASSERT_EQ(good.size(), 4u + 4u * 25);
    EXPECT_EQ(good[0] | good[1] << 8 | good[2] << 16 | good[3] << 24, 25);
    EXPECT_EQ(good[8] | good[9] << 8 | good[10] << 16 | good[11] << 24, 70001) << "little-endian, after the count";
    EXPECT_EQ(loadClasses(*q, path), classes);
    EXPECT_EQ(dir.entryCount(), 1u) << "no temporary file left behind";
    SurfaceClassifier c;
    c.loadClasses(*q, path, POINT_CLASSES);
    EXPECT_EQ(c.pointClasses, classes);
    c.saveClasses(*q, dir.file("again"), POINT_CLASSES);
    EXPECT_EQ(readBytes(dir.file("again")), good);
    c.surfaceClasses = {7};
    EXPECT_THROW(c.saveClasses(*q, dir.file("x"), SURFACE_CLASSES), std::invalid_argument);
    try {
        loadClasses(*flatGrid(6).handler(), path);
        ADD_FAILURE() << "a class file of 25 points loaded for 36";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("holds 25 classes, the data set has 36 points"), std::string::npos);
    }
    // Truncated, longer, negative or missing files are refused.
    std::vector<std::vector<unsigned char>> broken;
    for (size_t n = 0; n < good.size(); ++n)
        broken.emplace_back(good.begin(), good.begin() + long(n));
    broken.push_back(good), broken.back().push_back(1);
    broken.push_back(good), broken.back()[4 + 4 * 7 + 3] = 0x80;
    for (size_t i = 0; i < broken.size(); ++i) {
        writeBytes(bad, broken[i]);
        EXPECT_THROW(loadClasses(*q, bad), std::runtime_error) << i;
    }
    EXPECT_THROW(loadClasses(*q, dir.file("none")), std::runtime_error);
    // A failed save (over a directory, so that it fails even as root) leaves no file behind.
    std::filesystem::create_directory(dir.file("taken"));
    EXPECT_THROW(saveClasses(*q, 25, classes.data(), dir.file("taken")), std::runtime_error);
    EXPECT_EQ(readBytes(path), good);
    EXPECT_EQ(dir.entryCount(), 4u) << "set, again, bad and taken only";
}

} // namespace
