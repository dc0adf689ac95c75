// pontaro-mesh run as a user runs it, its PLY output read back strictly.
#include "LODGrid.h"
#include "ToolRun.h"
#include "support/LasPoints.h"

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>

namespace {

ProcessResult mesh(std::vector<std::string> args) {
    return runTool("pontaro-mesh", std::move(args));
}

struct Ply {
    bool ascii = false, colour = false;
    std::vector<std::array<double, 9>> vertices; // x y z nx ny nz red green blue
    std::vector<std::array<uint32_t, 3>> faces;
};

// The tool's layout (double x y z, float normals, uchar colour when the LAS has it, uchar-counted uint
// triangles), ascii or binary little-endian; the body must hold exactly what the header declares.
Ply readPly(const std::string& path) {
    const auto bytes = readBytes(path);
    const std::string all(bytes.begin(), bytes.end());
    const size_t end = all.find("end_header\n");
    if (end == std::string::npos)
        throw std::runtime_error("no PLY header");
    std::istringstream header(all.substr(0, end));
    std::string line, shape; // the header without comments and counts
    size_t vertices = 0, faces = 0;
    while (std::getline(header, line)) {
        if (std::sscanf(line.c_str(), "element vertex %zu", &vertices) == 1)
            line = "element vertex";
        else if (std::sscanf(line.c_str(), "element face %zu", &faces) == 1)
            line = "element face";
        if (line.rfind("comment ", 0) != 0)
            shape += line + "\n";
    }
    Ply ply;
    ply.ascii = shape.rfind("ply\nformat ascii 1.0\n", 0) == 0;
    ply.colour = shape.find(" red\n") != std::string::npos;
    const std::string expected =
        std::string("ply\nformat ") + (ply.ascii ? "ascii" : "binary_little_endian") +
        " 1.0\nelement vertex\nproperty double x\nproperty double y\nproperty double z\nproperty float nx\n"
        "property float ny\nproperty float nz\n" +
        (ply.colour ? "property uchar red\nproperty uchar green\nproperty uchar blue\n" : "") +
        "element face\nproperty list uchar uint vertex_indices\n";
    if (shape != expected)
        throw std::runtime_error("unexpected PLY header:\n" + shape);
    const size_t props = ply.colour ? 9 : 6;
    ply.vertices.resize(vertices);
    ply.faces.resize(faces);
    size_t at = end + std::strlen("end_header\n");
    if (ply.ascii) {
        std::istringstream in(all.substr(at));
        in.imbue(std::locale::classic());
        for (auto& v : ply.vertices)
            for (size_t k = 0; k < props; ++k)
                in >> v[k];
        for (auto& f : ply.faces) {
            unsigned n = 0;
            if (!(in >> n >> f[0] >> f[1] >> f[2]) || n != 3)
                throw std::runtime_error("a face that is not a triangle, or too few");
        }
        std::string rest;
        if (!in || in >> rest)
            throw std::runtime_error("ascii body differs from the header's counts");
        return ply;
    }
    auto take = [&](auto v) {
        if (at + sizeof v > bytes.size())
            throw std::runtime_error("binary body shorter than declared");
        std::memcpy(&v, &bytes[at], sizeof v);
        at += sizeof v;
        return double(v);
    };
    for (auto& v : ply.vertices)
        for (size_t k = 0; k < props; ++k)
            v[k] = k < 3 ? take(double()) : k < 6 ? take(float()) : take(uint8_t());
    for (auto& f : ply.faces) {
        if (take(uint8_t()) != 3)
            throw std::runtime_error("a face that is not a triangle");
        for (auto& i : f)
            i = uint32_t(take(uint32_t()));
    }
    if (at != bytes.size())
        throw std::runtime_error("binary body longer than declared");
    return ply;
}

// The LAS points with their colours, keyed by raw coordinates.
struct LasPoints : LasBytes {
    std::multimap<RawPoint, std::array<uint16_t, 3>> points;
    explicit LasPoints(const std::string& path) : LasBytes(path) {
        for (uint32_t i = 0; i < h.NumberOfPointRecords; ++i) {
            int32_t xyz[3];
            std::array<uint16_t, 3> rgb{};
            std::memcpy(xyz, record(i), 12);
            if (h.hasColor())
                std::memcpy(rgb.data(), record(i) + (h.PointDataFormatID == 3 ? 28 : 20), 6);
            points.emplace(RawPoint(xyz[0], xyz[1], xyz[2]), rgb);
        }
    }
};

// What every output must satisfy: the counts printed, faces of three distinct written vertices and every
// vertex used, each vertex one of the file's points (world coordinates, its colour when the format has
// one), unit normals facing up (counter-clockwise triangles). Returns the vertices' raw points.
std::vector<RawPoint> checkMesh(const Ply& ply, const ProcessResult& r, const LasPoints& las) {
    EXPECT_EQ(double(ply.faces.size()), printed(r, "triangles after simplification"));
    EXPECT_EQ(double(ply.vertices.size()), printed(r, "vertices written"));
    EXPECT_EQ(ply.colour, las.h.hasColor());
    std::vector<bool> used(ply.vertices.size());
    int badFaces = 0, misplaced = 0, miscoloured = 0, badNormals = 0;
    for (auto& f : ply.faces) {
        for (auto i : f)
            i < used.size() ? void(used[i] = true) : void(++badFaces);
        badFaces += f[0] == f[1] || f[1] == f[2] || f[0] == f[2];
    }
    EXPECT_EQ(badFaces, 0);
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
    const double scale[3] = {las.h.ScaleFactor_X, las.h.ScaleFactor_Y, las.h.ScaleFactor_Z};
    const double offset[3] = {las.h.OffsetX, las.h.OffsetY, las.h.OffsetZ};
    std::vector<RawPoint> raws;
    for (const auto& v : ply.vertices) {
        int32_t raw[3];
        for (int a = 0; a < 3; ++a) {
            const double r = (v[a] - offset[a]) / scale[a];
            raw[a] = int32_t(std::lround(r));
            misplaced += std::abs(r - raw[a]) > 1e-3;
        }
        const RawPoint key(raw[0], raw[1], raw[2]);
        raws.push_back(key);
        auto [lo, hi] = las.points.equal_range(key);
        misplaced += lo == hi;
        bool match = !ply.colour || lo == hi;
        for (auto it = lo; it != hi && !match; ++it)
            match = v[6] == it->second[0] / 257 && v[7] == it->second[1] / 257 && v[8] == it->second[2] / 257;
        miscoloured += !match;
        badNormals += std::abs(std::sqrt(v[3] * v[3] + v[4] * v[4] + v[5] * v[5]) - 1) > 1e-5 || v[5] < 0;
    }
    EXPECT_EQ(misplaced, 0) << "vertices that are none of the file's points";
    EXPECT_EQ(miscoloured, 0);
    EXPECT_EQ(badNormals, 0);
    return raws;
}

// Counts that must agree with each other: a removal takes one or two triangles with it.
void checkCounts(const ProcessResult& r, double pointsRead) {
    const double removed = printed(r, "vertices removed"),
                 before = printed(r, "triangles before simplification"),
                 after = printed(r, "triangles after simplification");
    EXPECT_EQ(printed(r, "points read"), pointsRead);
    EXPECT_GE(before - after, removed);
    EXPECT_LE(before - after, 2 * removed);
    EXPECT_LE(printed(r, "vertices written"), printed(r, "points meshed") - removed);
    EXPECT_LE(printed(r, "ACMR after ordering"), printed(r, "ACMR before ordering"));
    for (const char* stage : {"read", "triangulate", "simplify", "order", "write"})
        EXPECT_GE(printed(r, std::string("time ") + stage), 0);
}

// Bad options and bad inputs: one line, the right status, no output and no temporary file.
TEST(PontaroMesh, Refusals) {
    auto help = mesh({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--threshold"), std::string::npos);
    TempDir dir;
    const std::string good = synth(dir, "good.las", 500, 1), two = synth(dir, "two.las", 2, 1);
    auto bytes = readBytes(good);
    writeBytes(dir.file("cut.las"), bytes, bytes.size() - 7);
    const std::string out = dir.file("out.ply");
    const size_t entries = dir.entryCount();
    expectRefusals("pontaro-mesh", {{{good}, 2, "OUT.ply"},
                                    {{good, out, "--threshold", "x"}, 2, "--threshold"},
                                    {{good, out, "--threshold", "0"}, 2, "not '0'"},
                                    {{good, out, "--threshold", "-2"}, 2, "not '-2'"},
                                    {{good, out, "--tile", "-1"}, 2, "--tile"},
                                    {{good, out, "--tile", "1", "--all"}, 2, "--all"},
                                    {{good, out, "--bogus"}, 2, "unknown option"},
                                    {{dir.file("cut.las"), out}, 1, "truncated"},
                                    {{dir.file("missing.las"), out}, 1, "No such file"},
                                    {{two, out}, 1, "at least 3"},
                                    {{good, out, "--tile", "1"}, 1, "1 tile"},
                                    {{good, dir.file("no/such/folder/out.ply")}, 1, "No such file"}});
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(dir.entryCount(), entries);
}

TEST(PontaroMesh, RealSample) {
    const SampleFile sample = sampleNamed("point10.las");
    if (sample.path.empty())
        GTEST_SKIP() << "point10.las not found under " << PONTARO_DATA_DIR;
    TempDir dir;
    // Points lie tens of feet apart: a threshold of 0.1 allows new edges up to 80.
    auto r = mesh({sample.path, dir.file("m.ply"), "--threshold", "0.1"});
    ASSERT_EQ(r.status, 0) << r.err;
    checkCounts(r, double(sample.points));
    EXPECT_GT(printed(r, "vertices removed"), 0);
    checkMesh(readPly(dir.file("m.ply")), r, LasPoints(sample.path));
}

// Binary by default and the same bytes on a second run; ascii reads back to the same numbers;
// --no-simplify keeps every triangle.
TEST(PontaroMesh, SyntheticWithColour) {
    TempDir dir;
    const std::string las = synth(dir, "s.las", 4000, 3);
    const LasPoints points(las);
    auto r = mesh({las, dir.file("a.ply")});
    ASSERT_EQ(r.status, 0) << r.err;
    checkCounts(r, 4000);
    EXPECT_GT(printed(r, "vertices removed"), 0);
    const Ply binary = readPly(dir.file("a.ply"));
    EXPECT_FALSE(binary.ascii);
    checkMesh(binary, r, points);

    ASSERT_EQ(mesh({las, dir.file("b.ply")}).status, 0);
    EXPECT_TRUE(readBytes(dir.file("a.ply")) == readBytes(dir.file("b.ply")));

    auto text = mesh({las, dir.file("t.ply"), "--ascii"});
    ASSERT_EQ(text.status, 0) << text.err;
    const Ply ascii = readPly(dir.file("t.ply"));
    EXPECT_TRUE(ascii.ascii);
    EXPECT_EQ(ascii.faces, binary.faces);
    ASSERT_EQ(ascii.vertices.size(), binary.vertices.size());
    int differ = 0;
    for (size_t v = 0; v < ascii.vertices.size(); ++v)
        for (size_t k = 0; k < 9; ++k)
            differ += k >= 3 && k < 6 ? float(ascii.vertices[v][k]) != float(binary.vertices[v][k])
                                      : ascii.vertices[v][k] != binary.vertices[v][k];
    EXPECT_EQ(differ, 0);

    auto whole = mesh({las, dir.file("n.ply"), "--no-simplify"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    checkCounts(whole, 4000);
    EXPECT_EQ(printed(whole, "vertices removed"), 0);
    const Ply unsimplified = readPly(dir.file("n.ply"));
    EXPECT_EQ(double(unsimplified.faces.size()), printed(r, "triangles before simplification"));
    checkMesh(unsimplified, whole, points);
    EXPECT_EQ(dir.entryCount(), 5u); // nothing else left behind
}

// Each tile of the viewer's grid meshes its own points only, and the tiles share all of them out.
TEST(PontaroMesh, TilesOfTheViewerGrid) {
    TempDir dir;
    const std::string las = synth(dir, "s.las", 250000, 2);
    const LasPoints points(las);
    LODGrid grid(&points.h);
    const uint32_t tiles = grid.getNumberOfTiles();
    ASSERT_GT(tiles, 1u);
    double meshed = 0;
    for (uint32_t t = 0; t < tiles; ++t) {
        SCOPED_TRACE(t);
        auto r = mesh({las, dir.file("t.ply"), "--tile", std::to_string(t), "--no-simplify"});
        ASSERT_EQ(r.status, 0) << r.err;
        meshed += printed(r, "points meshed");
        int outside = 0;
        for (auto& p : checkMesh(readPly(dir.file("t.ply")), r, points))
            outside += grid.getSplatTile(std::get<0>(p), std::get<1>(p)) != int(t);
        EXPECT_EQ(outside, 0);
    }
    EXPECT_EQ(meshed, 250000);
    expectOneErrorLine(mesh({las, dir.file("x.ply"), "--tile", std::to_string(tiles)}), "pontaro-mesh",
                       std::to_string(tiles) + " tiles");
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.ply")));
}

} // namespace
