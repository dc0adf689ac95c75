// pontaro-mesh run as a user runs it, its PLY output read back with a small reader of the format.
#include "LASHeader.h"
#include "LODGrid.h"
#include "TestConfig.h"
#include "support/LasPoints.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

namespace {

const std::string kMesh = std::string(PONTARO_BIN_DIR) + "/pontaro-mesh";
const std::string kLas = std::string(PONTARO_BIN_DIR) + "/pontaro-las";

ProcessResult runMesh(std::vector<std::string> args) {
    args.insert(args.begin(), kMesh);
    return runProcess(args);
}

std::string synth(const TempDir& dir, const std::string& name, int points, int format) {
    std::string path = dir.file(name);
    auto r = runProcess({kLas, "synth", path, "--points", std::to_string(points), "--format",
                         std::to_string(format), "--seed", "7"});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
}

// The number after "label: " on a line of the tool's output.
double printed(const ProcessResult& r, const std::string& label) {
    const std::string text = "\n" + r.out, key = "\n" + label + ": ";
    const size_t at = text.find(key);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no '" << label << "' in\n" << r.out;
        return -1;
    }
    return std::stod(text.substr(at + key.size()));
}

struct Ply {
    bool ascii = false;
    std::vector<std::string> props;            // vertex property names, in order
    std::vector<std::string> types;            // and their types
    std::vector<std::vector<double>> vertices; // one value per property
    std::vector<std::array<uint32_t, 3>> faces;
    double get(size_t v, const std::string& name) const {
        return vertices[v][size_t(std::find(props.begin(), props.end(), name) - props.begin())];
    }
    bool has(const std::string& name) const {
        return std::find(props.begin(), props.end(), name) != props.end();
    }
};

size_t typeSize(const std::string& t) {
    static const std::map<std::string, size_t> sizes{
        {"char", 1},  {"uchar", 1},  {"short", 2},   {"ushort", 2}, {"int", 4},   {"uint", 4},
        {"float", 4}, {"double", 8}, {"int8", 1},    {"uint8", 1},  {"int16", 2}, {"uint16", 2},
        {"int32", 4}, {"uint32", 4}, {"float32", 4}, {"float64", 8}};
    auto it = sizes.find(t);
    if (it == sizes.end())
        throw std::runtime_error("unknown PLY type " + t);
    return it->second;
}

double decode(const unsigned char* p, const std::string& t) {
    auto as = [&](auto v) {
        std::memcpy(&v, p, sizeof v);
        return double(v);
    };
    if (t == "char" || t == "int8")
        return as(int8_t());
    if (t == "uchar" || t == "uint8")
        return as(uint8_t());
    if (t == "short" || t == "int16")
        return as(int16_t());
    if (t == "ushort" || t == "uint16")
        return as(uint16_t());
    if (t == "int" || t == "int32")
        return as(int32_t());
    if (t == "uint" || t == "uint32")
        return as(uint32_t());
    if (t == "float" || t == "float32")
        return as(float());
    return as(double());
}

// Reads a PLY file with one vertex and one face element (ascii or binary little-endian) and insists that
// the body holds exactly what the header declares.
Ply readPly(const std::string& path) {
    auto bytes = readBytes(path);
    std::string all(bytes.begin(), bytes.end());
    size_t end = all.find("end_header\n");
    if (all.rfind("ply\n", 0) != 0 || end == std::string::npos)
        throw std::runtime_error("not a PLY header");
    std::istringstream header(all.substr(0, end));
    Ply ply;
    size_t vertexCount = 0, faceCount = 0;
    std::string line, element, countType, indexType;
    while (std::getline(header, line)) {
        std::istringstream ls(line);
        std::string word;
        ls >> word;
        if (word == "format") {
            std::string f;
            ls >> f;
            if (f != "ascii" && f != "binary_little_endian")
                throw std::runtime_error("unexpected format " + f);
            ply.ascii = f == "ascii";
        } else if (word == "element") {
            size_t n = 0;
            ls >> element >> n;
            (element == "vertex" ? vertexCount : faceCount) = n;
        } else if (word == "property" && element == "vertex") {
            std::string type, name;
            ls >> type >> name;
            typeSize(type);
            ply.types.push_back(type);
            ply.props.push_back(name);
        } else if (word == "property" && element == "face") {
            std::string list, name;
            ls >> list >> countType >> indexType >> name;
            if (list != "list" || name != "vertex_indices")
                throw std::runtime_error("unexpected face property: " + line);
        }
    }
    const size_t body = end + std::strlen("end_header\n");
    if (ply.ascii) {
        std::istringstream in(all.substr(body));
        in.imbue(std::locale::classic());
        for (size_t v = 0; v < vertexCount; ++v) {
            std::vector<double> values(ply.props.size());
            for (double& x : values)
                in >> x;
            ply.vertices.push_back(values);
        }
        for (size_t f = 0; f < faceCount; ++f) {
            unsigned k = 0;
            std::array<uint32_t, 3> face{};
            in >> k >> face[0] >> face[1] >> face[2];
            if (k != 3)
                throw std::runtime_error("a face that is not a triangle");
            ply.faces.push_back(face);
        }
        if (!in)
            throw std::runtime_error("ascii body shorter than declared");
        std::string rest;
        if (in >> rest)
            throw std::runtime_error("ascii body longer than declared");
    } else {
        size_t at = body;
        auto take = [&](const std::string& type) {
            size_t n = typeSize(type);
            if (at + n > bytes.size())
                throw std::runtime_error("binary body shorter than declared");
            double v = decode(bytes.data() + at, type);
            at += n;
            return v;
        };
        for (size_t v = 0; v < vertexCount; ++v) {
            std::vector<double> values;
            for (auto& t : ply.types)
                values.push_back(take(t));
            ply.vertices.push_back(values);
        }
        for (size_t f = 0; f < faceCount; ++f) {
            if (take(countType) != 3)
                throw std::runtime_error("a face that is not a triangle");
            std::array<uint32_t, 3> face{};
            for (auto& i : face)
                i = uint32_t(take(indexType));
            ply.faces.push_back(face);
        }
        if (at != bytes.size())
            throw std::runtime_error("binary body longer than declared");
    }
    return ply;
}

// The LAS points with their colours, keyed by raw coordinates.
struct LasPoints {
    LASHeader h;
    std::multimap<RawPoint, std::array<uint16_t, 3>> points;
    explicit LasPoints(const std::string& path) {
        auto bytes = readBytes(path);
        h.copyFromBuffer(bytes.data());
        for (uint32_t i = 0; i < h.NumberOfPointRecords; ++i) {
            const unsigned char* p = bytes.data() + h.OffsetToPointData + size_t(i) * h.PointDataRecordLength;
            int32_t xyz[3];
            std::array<uint16_t, 3> rgb{};
            std::memcpy(xyz, p, 12);
            if (h.hasColor())
                std::memcpy(rgb.data(), p + (h.PointDataFormatID == 3 ? 28 : 20), 6);
            points.emplace(RawPoint(xyz[0], xyz[1], xyz[2]), rgb);
        }
    }
};

// What every output must satisfy: declared counts equal the printed ones, faces name distinct written
// vertices and every vertex is used, each vertex is one of the file's points (in world coordinates, with
// its colour when the format has colour), normals are unit and face up (triangles are counter-clockwise).
// Returns the raw points of the vertices.
std::vector<RawPoint> checkMesh(const Ply& ply, const ProcessResult& r, const std::string& lasPath) {
    EXPECT_EQ(double(ply.faces.size()), printed(r, "triangles after simplification"));
    EXPECT_EQ(double(ply.vertices.size()), printed(r, "vertices written"));
    std::vector<bool> used(ply.vertices.size());
    for (auto& f : ply.faces) {
        for (auto i : f) {
            EXPECT_LT(i, ply.vertices.size());
            if (i < used.size())
                used[i] = true;
        }
        EXPECT_TRUE(f[0] != f[1] && f[1] != f[2] && f[0] != f[2]);
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), false), 0);

    LasPoints las(lasPath);
    const double scale[3] = {las.h.ScaleFactor_X, las.h.ScaleFactor_Y, las.h.ScaleFactor_Z};
    const double offset[3] = {las.h.OffsetX, las.h.OffsetY, las.h.OffsetZ};
    const bool colour = las.h.hasColor();
    EXPECT_EQ(ply.has("red") && ply.has("green") && ply.has("blue"), colour);
    EXPECT_EQ(ply.props.size(), colour ? 9u : 6u);
    std::vector<RawPoint> raws;
    int misplaced = 0, miscoloured = 0, badNormals = 0;
    for (size_t v = 0; v < ply.vertices.size(); ++v) {
        int32_t raw[3];
        for (int a = 0; a < 3; ++a) {
            const double r = (ply.get(v, std::string(1, char('x' + a))) - offset[a]) / scale[a];
            raw[a] = int32_t(std::lround(r));
            if (std::abs(r - raw[a]) > 1e-3)
                ++misplaced;
        }
        RawPoint key(raw[0], raw[1], raw[2]);
        raws.push_back(key);
        auto [lo, hi] = las.points.equal_range(key);
        misplaced += lo == hi;
        if (colour && lo != hi) {
            bool match = false;
            for (auto it = lo; it != hi; ++it)
                match |= ply.get(v, "red") == it->second[0] / 257 &&
                         ply.get(v, "green") == it->second[1] / 257 &&
                         ply.get(v, "blue") == it->second[2] / 257;
            miscoloured += !match;
        }
        const double nx = ply.get(v, "nx"), ny = ply.get(v, "ny"), nz = ply.get(v, "nz");
        badNormals += std::abs(std::sqrt(nx * nx + ny * ny + nz * nz) - 1) > 1e-5 || nz < 0;
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

TEST(PontaroMesh, Help) {
    auto r = runMesh({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--threshold"), std::string::npos);
    expectOneErrorLine(runMesh({"a.las"}), "pontaro-mesh", "OUT.ply");
    expectOneErrorLine(runMesh({"a.las", "b.ply", "--threshold", "x"}), "pontaro-mesh", "--threshold");
    expectOneErrorLine(runMesh({"a.las", "b.ply", "--tile", "1", "--all"}), "pontaro-mesh", "--all");
}

TEST(PontaroMesh, RealSample) {
    SampleFile sample;
    for (auto& s : manifestSamples("las"))
        if (s.name == "point10.las")
            sample = s;
    if (sample.path.empty())
        GTEST_SKIP() << "point10.las not found under " << PONTARO_DATA_DIR;
    TempDir dir;
    // Points lie tens of feet apart: a threshold of 0.1 allows new edges up to 80.
    auto r = runMesh({sample.path, dir.file("m.ply"), "--threshold", "0.1"});
    ASSERT_EQ(r.status, 0) << r.err;
    checkCounts(r, double(sample.points));
    EXPECT_GT(printed(r, "vertices removed"), 0);
    checkMesh(readPly(dir.file("m.ply")), r, sample.path);
}

TEST(PontaroMesh, SyntheticWithColour) {
    TempDir dir;
    const std::string las = synth(dir, "s.las", 4000, 3);
    auto r = runMesh({las, dir.file("a.ply")});
    ASSERT_EQ(r.status, 0) << r.err;
    checkCounts(r, 4000);
    EXPECT_GT(printed(r, "vertices removed"), 0);
    const Ply binary = readPly(dir.file("a.ply"));
    EXPECT_FALSE(binary.ascii);
    checkMesh(binary, r, las);
    EXPECT_EQ(binary.types[6], "uchar");

    auto again = runMesh({las, dir.file("b.ply")});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(readBytes(dir.file("a.ply")) == readBytes(dir.file("b.ply")));

    auto text = runMesh({las, dir.file("t.ply"), "--ascii"});
    ASSERT_EQ(text.status, 0) << text.err;
    const Ply ascii = readPly(dir.file("t.ply"));
    EXPECT_TRUE(ascii.ascii);
    EXPECT_EQ(ascii.faces, binary.faces);
    ASSERT_EQ(ascii.vertices.size(), binary.vertices.size());
    int differ = 0; // the text reads back to the very same numbers
    for (size_t v = 0; v < ascii.vertices.size(); ++v)
        for (size_t k = 0; k < ascii.types.size(); ++k)
            differ += ascii.types[k] == "float" ? float(ascii.vertices[v][k]) != float(binary.vertices[v][k])
                                                : ascii.vertices[v][k] != binary.vertices[v][k];
    EXPECT_EQ(differ, 0);

    auto whole = runMesh({las, dir.file("n.ply"), "--no-simplify"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    checkCounts(whole, 4000);
    EXPECT_EQ(printed(whole, "vertices removed"), 0);
    const Ply unsimplified = readPly(dir.file("n.ply"));
    EXPECT_EQ(double(unsimplified.faces.size()), printed(r, "triangles before simplification"));
    checkMesh(unsimplified, whole, las);
    EXPECT_EQ(dir.entryCount(), 5u); // nothing else left behind
}

TEST(PontaroMesh, TilesOfTheViewerGrid) {
    TempDir dir;
    const std::string las = synth(dir, "s.las", 250000, 2);
    LasPoints points(las);
    LODGrid grid(&points.h);
    ASSERT_GT(grid.getNumberOfTiles(), 1u);
    double meshed = 0;
    for (uint32_t t = 0; t < grid.getNumberOfTiles(); ++t) {
        SCOPED_TRACE(t);
        auto r = runMesh({las, dir.file("t.ply"), "--tile", std::to_string(t), "--no-simplify"});
        ASSERT_EQ(r.status, 0) << r.err;
        meshed += printed(r, "points meshed");
        int outside = 0;
        for (auto& p : checkMesh(readPly(dir.file("t.ply")), r, las))
            outside += grid.getSplatTile(std::get<0>(p), std::get<1>(p)) != int(t);
        EXPECT_EQ(outside, 0);
    }
    EXPECT_EQ(meshed, 250000); // the tiles share the file's points out
    expectOneErrorLine(runMesh({las, dir.file("x.ply"), "--tile", std::to_string(grid.getNumberOfTiles())}),
                       "pontaro-mesh", std::to_string(grid.getNumberOfTiles()) + " tiles");
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.ply")));
}

TEST(PontaroMesh, BadInputsFailWithOneLineAndNoOutput) {
    TempDir dir;
    const std::string good = synth(dir, "good.las", 500, 1), two = synth(dir, "two.las", 2, 1);
    auto bytes = readBytes(good);
    writeBytes(dir.file("cut.las"), bytes, bytes.size() - 7);
    const std::string out = dir.file("out.ply");
    const size_t entries = dir.entryCount();
    auto fails = [&](std::vector<std::string> args, const std::string& fragment) {
        SCOPED_TRACE(args[0]);
        expectOneErrorLine(runMesh(args), "pontaro-mesh", fragment);
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_EQ(dir.entryCount(), entries); // no temporary file either
    };
    fails({dir.file("cut.las"), out}, "truncated");
    fails({dir.file("missing.las"), out}, "No such file");
    fails({two, out}, "at least 3");
    fails({good, out, "--tile", "1"}, "1 tile");
    fails({good, dir.file("no/such/folder/out.ply")}, "No such file");
}

} // namespace
