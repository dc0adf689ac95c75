// pontaro-mesh run as a user runs it, its PLY output read back strictly.
#include "LODGrid.h"
#include "ToolRun.h"

#include <array>
#include <cmath>
#include <cstring>
#include <set>
#include <sstream>

namespace {

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
    size_t at = all.find("end_header\n") + std::strlen("end_header\n"), vertices = 0, faces = 0;
    std::istringstream header(all.substr(0, at)), text(all.substr(at));
    std::string line, shape; // the header without comments and counts
    while (std::getline(header, line))
        if (std::sscanf(line.c_str(), "element vertex %zu", &vertices) == 1)
            shape += "vertices\n";
        else if (std::sscanf(line.c_str(), "element face %zu", &faces) == 1)
            shape += "faces\n";
        else if (line.rfind("comment ", 0) != 0)
            shape += line + "\n";
    Ply ply;
    ply.ascii = shape.rfind("ply\nformat ascii 1.0\n", 0) == 0;
    ply.colour = shape.find(" red\n") != std::string::npos;
    const std::string xyz = "property double x\nproperty double y\nproperty double z\n",
                      normal = "property float nx\nproperty float ny\nproperty float nz\n",
                      rgb = "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    if (shape != std::string("ply\nformat ") + (ply.ascii ? "ascii" : "binary_little_endian") +
                     " 1.0\nvertices\n" + xyz + normal + (ply.colour ? rgb : "") +
                     "faces\nproperty list uchar uint vertex_indices\nend_header\n")
        throw std::runtime_error("unexpected PLY header:\n" + shape);
    text.imbue(std::locale::classic());
    auto take = [&](auto v) {
        double d = 0;
        if (ply.ascii && !(text >> d))
            throw std::runtime_error("ascii body shorter than declared");
        if (ply.ascii)
            return d;
        if (at + sizeof v > bytes.size())
            throw std::runtime_error("binary body shorter than declared");
        std::memcpy(&v, &bytes[at], sizeof v);
        at += sizeof v;
        return double(v);
    };
    ply.vertices.resize(vertices);
    for (auto& v : ply.vertices)
        for (size_t k = 0; k < (ply.colour ? 9u : 6u); ++k)
            v[k] = k < 3 ? take(double()) : k < 6 ? take(float()) : take(uint8_t());
    ply.faces.resize(faces);
    for (auto& f : ply.faces) {
        if (take(uint8_t()) != 3)
            throw std::runtime_error("a face that is not a triangle");
        for (auto& i : f)
            i = uint32_t(take(uint32_t()));
    }
    std::string rest;
    if (ply.ascii ? bool(text >> rest) : at != bytes.size())
        throw std::runtime_error("body longer than declared");
    return ply;
}

// The survey's points as raw X Y Z and 8-bit red green blue (0 without colour).
using Point = std::array<int64_t, 6>;
struct Survey : LasBytes {
    std::set<Point> points;
    explicit Survey(const std::string& path) : LasBytes(path) {
        for (uint32_t i = 0; i < h.NumberOfPointRecords; ++i) {
            int32_t xyz[3];
            uint16_t rgb[3] = {};
            std::memcpy(xyz, record(i), 12);
            if (h.hasColor())
                std::memcpy(rgb, record(i) + (h.PointDataFormatID == 3 ? 28 : 20), 6);
            points.insert({xyz[0], xyz[1], xyz[2], rgb[0] / 257, rgb[1] / 257, rgb[2] / 257});
        }
    }
};

// What every output must satisfy: the counts printed, faces of three distinct written vertices and every
// vertex used, each vertex one of the survey's points (world coordinates, its colour when it has one),
// unit normals facing up (counter-clockwise triangles). Returns the vertices as points.
std::vector<Point> checkMesh(const Ply& ply, const ProcessResult& r, const Survey& las) {
    EXPECT_EQ(double(ply.faces.size()), printed(r, "triangles after simplification"));
    EXPECT_EQ(double(ply.vertices.size()), printed(r, "vertices written"));
    EXPECT_EQ(ply.colour, las.h.hasColor());
    std::vector<bool> used(ply.vertices.size());
    int badFaces = 0, strangers = 0, badNormals = 0;
    for (auto& f : ply.faces) {
        for (auto i : f)
            i < used.size() ? void(used[i] = true) : void(++badFaces);
        badFaces += f[0] == f[1] || f[1] == f[2] || f[0] == f[2];
    }
    EXPECT_EQ(badFaces, 0);
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);
    const double scale[3] = {las.h.ScaleFactor_X, las.h.ScaleFactor_Y, las.h.ScaleFactor_Z};
    const double offset[3] = {las.h.OffsetX, las.h.OffsetY, las.h.OffsetZ};
    std::vector<Point> out;
    for (const auto& v : ply.vertices) {
        Point p{0, 0, 0, int64_t(v[6]), int64_t(v[7]), int64_t(v[8])};
        for (int a = 0; a < 3; ++a) {
            const double raw = (v[a] - offset[a]) / scale[a];
            p[a] = std::llround(raw);
            strangers += std::abs(raw - double(p[a])) > 1e-3;
        }
        strangers += !las.points.count(p);
        badNormals += std::abs(std::sqrt(v[3] * v[3] + v[4] * v[4] + v[5] * v[5]) - 1) > 1e-5 || v[5] < 0;
        out.push_back(p);
    }
    EXPECT_EQ(strangers, 0) << "vertices that are none of the survey's points, or not in their colour";
    EXPECT_EQ(badNormals, 0);
    return out;
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
    auto help = meshTool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--threshold"), std::string::npos);
    TempDir dir;
    const std::string good = synth(dir, "good.las", 500, 1), two = synth(dir, "two.las", 2, 1);
    auto bytes = readBytes(good);
    writeBytes(dir.file("cut.las"), bytes, bytes.size() - 7);
    const std::string out = dir.file("out.ply");
    const size_t entries = dir.entryCount();
    meshTool.refuses({{{good}, 2, "OUT.ply"},
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
    auto r = meshTool.ok({sample.path, dir.file("m.ply"), "--threshold", "0.1"});
    checkCounts(r, double(sample.points));
    EXPECT_GT(printed(r, "vertices removed"), 0);
    checkMesh(readPly(dir.file("m.ply")), r, Survey(sample.path));
}

// Each tile of the viewer's grid meshes its own points only and the tiles share all of them out. On a
// tile: simplification removes vertices, binary output is the same bytes on a second run, ascii output
// reads back to the same numbers.
TEST(PontaroMesh, SyntheticSurveyTileByTile) {
    TempDir dir;
    const std::string las = synth(dir, "s.las", 250000, 3);
    const Survey survey(las);
    LODGrid grid(&survey.h);
    const uint32_t tiles = grid.getNumberOfTiles();
    ASSERT_GT(tiles, 1u);
    double meshed = 0, unsimplified = 0;
    for (uint32_t t = 0; t < tiles; ++t) {
        SCOPED_TRACE(t);
        auto r = meshTool.ok({las, dir.file("n.ply"), "--tile", std::to_string(t), "--no-simplify"});
        EXPECT_EQ(printed(r, "vertices removed"), 0);
        meshed += printed(r, "points meshed");
        unsimplified = t == 0 ? printed(r, "triangles after simplification") : unsimplified;
        int outside = 0;
        for (auto& p : checkMesh(readPly(dir.file("n.ply")), r, survey))
            outside += grid.getSplatTile(int32_t(p[0]), int32_t(p[1])) != int(t);
        EXPECT_EQ(outside, 0);
    }
    EXPECT_EQ(meshed, 250000);

    auto r = meshTool.ok({las, dir.file("a.ply"), "--tile", "0"});
    checkCounts(r, 250000);
    EXPECT_GT(printed(r, "vertices removed"), 0);
    EXPECT_EQ(printed(r, "triangles before simplification"), unsimplified);
    const Ply binary = readPly(dir.file("a.ply"));
    EXPECT_FALSE(binary.ascii);
    checkMesh(binary, r, survey);
    meshTool.ok({las, dir.file("b.ply"), "--tile", "0"});
    EXPECT_TRUE(readBytes(dir.file("a.ply")) == readBytes(dir.file("b.ply")));
    meshTool.ok({las, dir.file("t.ply"), "--tile", "0", "--ascii"});
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
    expectOneErrorLine(meshTool({las, dir.file("x.ply"), "--tile", std::to_string(tiles)}), "pontaro-mesh",
                       std::to_string(tiles) + " tiles");
    EXPECT_EQ(dir.entryCount(), 5u); // nothing else left behind
}

} // namespace
