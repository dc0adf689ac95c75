// The command-line tools run as a user runs them, on real and synthetic files: exit status, output
// read back strictly, and one clear line on failure.
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LASPointData.h"
#include "LODGrid.h"
#include "SurfaceOutput.h"
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {

// A refused command line: arguments, the exit status and what its one line "TOOL: ..." holds.
using Refusal = std::tuple<std::vector<std::string>, int, std::string>;

struct Tool {
    std::string name;
    ProcessResult operator()(std::vector<std::string> args) const {
        args.insert(args.begin(), std::string(PONTARO_BIN_DIR) + "/" + name);
        return runProcess(args);
    }
    // A run that must succeed.
    ProcessResult ok(std::vector<std::string> args) const {
        ProcessResult r = (*this)(std::move(args));
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        return r;
    }
    void refuses(const std::vector<Refusal>& cases) const {
        for (const auto& [args, status, fragment] : cases) {
            SCOPED_TRACE(fragment);
            const ProcessResult r = (*this)(args);
            expectOneErrorLine(r, name, fragment);
            EXPECT_EQ(r.status, status);
        }
    }
};
const Tool lasTool{"pontaro-las"}, meshTool{"pontaro-mesh"}, treeTool{"pontaro-tree"},
    classifyTool{"pontaro-classify"};

// A synthetic survey written by pontaro-las.
std::string synth(const TempDir& dir, const std::string& name, int points, int format) {
    const std::string path = dir.file(name);
    lasTool.ok({"synth", path, "--points", std::to_string(points), "--format", std::to_string(format)});
    return path;
}

// The number after "label: " at the start of a line of the output.
double printed(const ProcessResult& r, const std::string& label) {
    const size_t at = ("\n" + r.out).find("\n" + label + ": ");
    EXPECT_NE(at, std::string::npos) << "no '" << label << "' in\n" << r.out;
    return at == std::string::npos ? -1 : std::stod(r.out.substr(at + label.size() + 2));
}

// A LAS file, which must be exactly the header, records and points its header declares.
struct LasBytes {
    LASHeader h;
    std::vector<unsigned char> bytes;
    explicit LasBytes(const std::string& path) : bytes(readBytes(path)) {
        const size_t size = bytes.size();
        bytes.resize(std::max(size, size_t(LASHeader::BlockSize)));
        h.copyFromBuffer(bytes.data());
        bytes.resize(h.OffsetToPointData + size_t(h.NumberOfPointRecords) * h.PointDataRecordLength);
        EXPECT_EQ(size, bytes.size()) << path;
    }
    unsigned char* record(size_t i) { return &bytes[h.OffsetToPointData + i * h.PointDataRecordLength]; }
};

// ---- refusals

// Every tool refuses malformed command lines and bad inputs with the usage status (2) or 1 and one line
// of its own words, numbers out of range in either direction included; nothing is written and the input
// is untouched.
TEST(Tools, Refusals) {
    TempDir dir;
    const std::string good = synth(dir, "good.las", 500, 1), two = synth(dir, "two.las", 2, 1),
                      cut = dir.file("cut.las"), junk = dir.file("junk.las"), empty = dir.file("empty"),
                      missing = dir.file("missing.las"), x = dir.file("x.las"), ply = dir.file("x.ply");
    const auto bytes = readBytes(good);
    writeBytes(cut, bytes, bytes.size() - 7);
    std::ofstream(junk) << "this is not a LAS file at all, not even close to one";
    fs::create_directory(empty);
    const size_t entries = dir.entryCount();
    EXPECT_NE(lasTool.ok({"--help"}).out.find("synth OUT.las"), std::string::npos);
    EXPECT_NE(meshTool.ok({"--help"}).out.find("--threshold"), std::string::npos);
    EXPECT_NE(classifyTool.ok({"--help"}).out.find("usage: pontaro-classify IN OUT.las"), std::string::npos);
    EXPECT_EQ(classifyTool({}).status, 2);
    const std::string range = " must be a whole number from ";
    lasTool.refuses(
        {{{"frobnicate"}, 2, "unknown command"},
         {{"info"}, 2, "one file name"},
         {{"info", missing}, 1, "No such file"},
         {{"synth", x, "--points", "10"}, 2, "--format"},
         {{"synth", x, "--points", "12abc", "--format", "1"}, 2, "--points" + range + "1 to 4294967295"},
         {{"synth", x, "--points", "0", "--format", "1"}, 2, "not '0'"},
         {{"synth", x, "--points", "4294967296", "--format", "1"}, 2, "not '4294967296'"},
         {{"synth", x, "--points", "10", "--format", "4"}, 2, "--format" + range + "0 to 3, not '4'"},
         {{"synth", x, "--points", "10", "--format", "1", "--bogus"}, 2, "unknown option"},
         {{"compress", good}, 2, "file name"},
         {{"verify", good, "--threads", "257"}, 2, "--threads" + range + "1 to 256, not '257'"},
         {{"verify", good, "--threads", "0"}, 2, "not '0'"}});
    meshTool.refuses({{{good}, 2, "OUT.ply"},
                      {{good, ply, "--threshold", "x"}, 2, "--threshold"},
                      {{good, ply, "--threshold", "0"}, 2, "not '0'"},
                      {{good, ply, "--threshold", "-2"}, 2, "not '-2'"},
                      {{good, ply, "--tile", "-1"}, 2, "--tile"},
                      {{good, ply, "--tile", "1", "--all"}, 2, "--all"},
                      {{good, ply, "--bogus"}, 2, "unknown option"},
                      {{cut, ply}, 1, "truncated"},
                      {{missing, ply}, 1, "No such file"},
                      {{two, ply}, 1, "at least 3"},
                      {{good, ply, "--tile", "1"}, 1, "1 tile"},
                      {{good, dir.file("no/such/folder/out.ply")}, 1, "No such file"}});
    treeTool.refuses({{{"build", junk, x}, 1, "junk.las"},
                      {{"build", missing, x}, 1, "missing.las"},
                      {{"build", junk}, 2, "build needs IN.las and OUTDIR"},
                      {{"build", junk, x, "--bogus"}, 2, "unknown option '--bogus'"},
                      {{"info", dir.file("nothing-here")}, 1, "nothing-here"},
                      {{"info"}, 2, "info needs OUTDIR"},
                      {{"export", x, ply, "--level", "x"}, 2, "--level"},
                      {{"export", x, ply, "--level", "31"}, 2, "0 to 30, not '31'"},
                      {{"export", x}, 2, "export needs OUTDIR and OUT.las"}});
    std::vector<Refusal> cases = {
        {{good}, 2, "expected IN and OUT.las"},
        {{good, x, "--distance", "1.5"}, 2, "--distance must be a number above 0 and at most 1, not '1.5'"},
        {{good, x, "--distance", "0"}, 2, "--distance"},
        {{good, x, "--secondary-angle", "90.5"}, 2, "--secondary-angle"},
        {{good, x, "--global-angle"}, 2, "needs a value"},
        {{good, x, "--threads", "0"}, 2, "--threads" + range + "1 to 256, not '0'"},
        {{good, x, "--threads", "257"}, 2, "not '257'"},
        {{good, x, "--frobnicate"}, 2, "unknown option"},
        {{good, x, "--no-cache", "--cache", "c"}, 2, "exclude"},
        {{missing, x}, 1, "missing.las"},
        {{good, dir.file("no/such/dir/o.las")}, 1, "no directory"},
        {{good, good}, 1, "replace the input"},
        {{good, x, "--classes", x}, 1, "name the same file"},
        {{cut, x}, 1, "truncated"},
        {{empty, x}, 1, "local tree directory"}};
    for (const char* v : {"0", "91", "abc", "nan", "-5", "10x"})
        cases.push_back({{good, x, "--angle", v}, 2, "--angle must be a number above 0 and at most 90"});
    classifyTool.refuses(cases);
    EXPECT_EQ(dir.entryCount(), entries) << "a refused run writes nothing";
    EXPECT_TRUE(readBytes(good) == bytes) << "the input is untouched";
}

// ---- pontaro-las

// `info`, `compress` and the server's import refuse the same headers with the same words, and write
// nothing; a header alone (as the viewer receives it) gets them too where the file plays no part.
TEST(LasHeaderRefusals, InfoCompressAndImportAgree) {
    TempDir dir;
    const auto bytes = readBytes(synth(dir, "good.las", 1500, 1));
    const std::string size = std::to_string(bytes.size());
    using Change = std::function<void(std::vector<unsigned char>&)>;
    auto put = [](auto value, size_t at) -> Change {
        return [value, at](std::vector<unsigned char>& b) { std::memcpy(&b[at], &value, sizeof value); };
    };
    auto both = [](Change a, Change b) -> Change { return [a, b](auto& bytes) { a(bytes), b(bytes); }; };
    auto keep = [](size_t n) -> Change { return [n](auto& b) { b.resize(n); }; };
    // The first thirteen need no file: a header alone gets the same words.
    const std::vector<std::pair<Change, std::string>> cases = {
        {put('X', 0), "not a LAS file: it does not begin with the signature \"LASF\""},
        {put(uint8_t(4), 25), "LAS version 1.4 is not supported (1.0 to 1.2 are)"},
        {put(uint16_t(0), 94), "the header size 0 is smaller than the 227 bytes of a LAS header"},
        {put(uint32_t(100), 96), "the offset to the point data (100) lies inside the header (227 bytes)"},
        {put(uint32_t(65535), 100), "the header declares 65535 variable length records, but the 102 bytes "
                                    "between the header and the point data hold at most 1"},
        {put(uint32_t(0xFFFFFFFF), 100),
         "the header declares 4294967295 variable length records, but the 102 "
         "bytes between the header and the point data hold at most 1"},
        {put(uint8_t(4), 104), "point data format 4 is not supported (0 to 3 are)"},
        {put(uint16_t(20), 105),
         "the point record length 20 is shorter than the 28 bytes of point data format 1"},
        {put(0.0, 131), "the X scale factor is 0: it must be a finite number other than 0"},
        {put(std::nan(""), 147), "the Z scale factor is nan: it must be a finite number other than 0"},
        {put(double(INFINITY), 163), "the Y offset is inf: it must be a finite number"},
        {both(put(1.5, 187), put(double(INFINITY), 179)), "the X extent (1.5 to inf) is not finite"},
        {both(put(7.25, 203), put(3.0, 195)),
         "the Y extent is inverted: its minimum 7.25 lies above its maximum 3"},
        {put(uint32_t(1) << 31, 96),
         "the offset to the point data (2147483648) lies beyond the end of the file (" + size + " bytes)"},
        {put(uint32_t(1501), 107), "file is truncated: the header declares 1501 points (" +
                                       std::to_string(bytes.size() + 28) + " bytes) but the file has " +
                                       size + " bytes, room for 1500 points"},
        {keep(bytes.size() - 5), "file is truncated: the header declares 1500 points (" + size +
                                     " bytes) but the file has " + std::to_string(bytes.size() - 5) +
                                     " bytes, room for 1499 points"},
        {keep(100), "the file ends after 100 bytes, inside the 227-byte LAS header"},
        {keep(0), "the file is empty"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto& [change, message] = cases[i];
        SCOPED_TRACE(message);
        auto changed = bytes;
        change(changed);
        const std::string path = dir.file("bad.las"), packed = dir.file("bad.lasc"),
                          expected = path + ": " + message;
        writeBytes(path, changed);
        auto info = lasTool({"info", path});
        expectOneErrorLine(info, "pontaro-las", expected);
        EXPECT_EQ(info.out.find("OK\n"), std::string::npos);
        expectOneErrorLine(lasTool({"compress", path, packed}), "pontaro-las", expected);
        EXPECT_FALSE(fs::exists(packed));
        try {
            importDataset(path, dir.file("data"), "bad", 8);
            ADD_FAILURE() << "imported";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), expected);
        }
        EXPECT_FALSE(fs::exists(dir.file("data")));
        if (i < 13) {
            LASHeader h;
            h.copyFromBuffer(changed.data());
            EXPECT_EQ(h.Problem(), message);
        }
    }
}

// A synthetic survey described, packed, unpacked to the same bytes and verified, leaving nothing else;
// decompress given the wrong file or a damaged one says what is wrong and writes nothing, not even a part.
TEST(PontaroLas, SynthInfoAndCodec) {
    TempDir dir;
    const std::string in = dir.file("scene.las"), packed = dir.file("scene.lasc"),
                      back = dir.file("back.las");
    lasTool.ok({"synth", in, "--points", "3000", "--format", "3", "--seed", "9"});
    auto info = lasTool.ok({"info", in});
    EXPECT_EQ(info.err, "");
    for (const char* line :
         {"Version 1.2\n", "Point data format: 3, record length: 34, number of records: 3000\n",
          "Scale XYZ: 0.01,0.01,0.01\n", "Variable length records: 1\n", "LASF_Projection", "OK\n"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << " not in\n" << info.out;
    EXPECT_NE(lasTool.ok({"compress", in, packed}).out.find("scene.lasc"), std::string::npos);
    // The decoder's diagnostics stay out of the way.
    EXPECT_EQ(lasTool.ok({"decompress", packed, back}).out.find("GPS time"), std::string::npos);
    EXPECT_TRUE(readBytes(back) == readBytes(in));
    EXPECT_NE(lasTool.ok({"verify", in, "--threads", "2"}).out.find("identical"), std::string::npos);
    EXPECT_EQ(dir.entryCount(), 3u); // nothing left behind

    auto longer = readBytes(in);
    longer.resize(longer.size() + 10, 0);
    writeBytes(back, longer);
    EXPECT_NE(lasTool.ok({"info", back}).out.find("note: 10 bytes follow the last point record"),
              std::string::npos);

    const auto lasc = readBytes(packed);
    auto cut = [&](size_t n) { return std::vector<unsigned char>(lasc.begin(), lasc.begin() + long(n)); };
    auto farOffset = lasc;
    const uint32_t offset = uint32_t(1) << 31;
    std::memcpy(&farOffset[96], &offset, 4);
    const std::vector<std::pair<std::vector<unsigned char>, std::string>> cases = {
        {readBytes(in), "not a compressed Pontaro LAS file (it is a plain LAS file)"},
        {cut(lasc.size() / 2), "the compressed file is truncated: it ends after " +
                                   std::to_string(lasc.size() / 2) +
                                   " bytes, inside the coded block of points 0 to 3000"},
        {cut(lasc.size() - 1), "the compressed file is truncated: it ends after"},
        {cut(232 + 102 + 10), "the compressed file is truncated"}, // just after the records
        {farOffset, "the offset to the point data (2147483648) lies beyond the end of the file (" +
                        std::to_string(lasc.size()) + " bytes)"},
    };
    for (const auto& [bytes, message] : cases) {
        SCOPED_TRACE(message);
        const std::string bad = dir.file("in.lasc"), out = dir.file("out.las");
        writeBytes(bad, bytes);
        expectOneErrorLine(lasTool({"decompress", bad, out}), "pontaro-las", message);
        EXPECT_FALSE(fs::exists(out) || fs::exists(out + ".part"));
    }
}

// ---- pontaro-mesh

struct Ply {
    bool ascii = false, colour = false;
    std::vector<std::array<double, 9>> vertices; // x y z nx ny nz red green blue, normals as floats
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
        if (ply.ascii ? !(text >> d) : at + sizeof v > bytes.size())
            throw std::runtime_error("the PLY body is shorter than its header declares");
        if (ply.ascii)
            return d;
        std::memcpy(&v, &bytes[at], sizeof v);
        at += sizeof v;
        return double(v);
    };
    ply.vertices.resize(vertices);
    for (auto& v : ply.vertices)
        for (size_t k = 0; k < (ply.colour ? 9u : 6u); ++k)
            v[k] = k < 3 ? take(double()) : k < 6 ? float(take(float())) : take(uint8_t());
    ply.faces.resize(faces);
    for (auto& f : ply.faces) {
        if (take(uint8_t()) != 3)
            throw std::runtime_error("a face that is not a triangle");
        for (auto& i : f)
            i = uint32_t(take(uint32_t()));
    }
    std::string rest;
    if (ply.ascii ? bool(text >> rest) : at != bytes.size())
        throw std::runtime_error("the PLY body is longer than its header declares");
    return ply;
}

// The survey's points as raw X Y Z and 8-bit red green blue (0 without colour): a file whose colours all
// fit in 8 bits keeps them, others are scaled from 16 bits.
using Point = std::array<int64_t, 6>;
struct Survey : LasBytes {
    std::set<Point> points;
    explicit Survey(const std::string& path) : LasBytes(path) {
        std::vector<Point> all(h.NumberOfPointRecords);
        int64_t maxColour = 0;
        for (size_t i = 0; i < all.size(); ++i) {
            int32_t xyz[3];
            uint16_t rgb[3] = {};
            std::memcpy(xyz, record(i), 12);
            if (h.hasColor())
                std::memcpy(rgb, record(i) + (h.PointDataFormatID == 3 ? 28 : 20), 6);
            all[i] = {xyz[0], xyz[1], xyz[2], rgb[0], rgb[1], rgb[2]};
            maxColour = std::max<int64_t>({maxColour, rgb[0], rgb[1], rgb[2]});
        }
        for (Point p : all) {
            for (int k = 3; k < 6 && maxColour > 255; ++k)
                p[k] = std::lround(double(p[k]) / 257);
            points.insert(p);
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
        badFaces += f[0] == f[1] || f[1] == f[2] || f[0] == f[2];
        for (auto i : f)
            i < used.size() ? void(used[i] = true) : void(++badFaces);
    }
    EXPECT_TRUE(badFaces == 0 && std::count(used.begin(), used.end(), false) == 0)
        << badFaces << " bad faces";
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

// Each tile of the viewer's grid meshes its own points only and the tiles share all of them out. On a
// smaller survey: simplification removes vertices of the whole triangulation, binary output is the same
// bytes on a second run, ascii output reads back to the same numbers.
TEST(PontaroMesh, SyntheticSurveys) {
    TempDir dir;
    const std::string las = synth(dir, "s.las", 250000, 3);
    const Survey survey(las);
    LODGrid grid(&survey.h);
    const uint32_t tiles = grid.getNumberOfTiles();
    ASSERT_GT(tiles, 1u);
    double meshed = 0;
    for (uint32_t t = 0; t < tiles; ++t) {
        SCOPED_TRACE(t);
        auto r = meshTool.ok({las, dir.file("n.ply"), "--tile", std::to_string(t), "--no-simplify"});
        EXPECT_EQ(printed(r, "vertices removed"), 0);
        meshed += printed(r, "points meshed");
        int outside = 0;
        for (auto& p : checkMesh(readPly(dir.file("n.ply")), r, survey))
            outside += grid.getSplatTile(int32_t(p[0]), int32_t(p[1])) != int(t);
        EXPECT_EQ(outside, 0);
    }
    EXPECT_EQ(meshed, 250000);
    meshTool.refuses(
        {{{las, dir.file("x.ply"), "--tile", std::to_string(tiles)}, 1, std::to_string(tiles) + " tiles"}});

    const std::string small = synth(dir, "small.las", 4000, 3);
    const auto whole = meshTool.ok({small, dir.file("n.ply"), "--no-simplify"});
    auto r = meshTool.ok({small, dir.file("a.ply")});
    checkCounts(r, 4000);
    EXPECT_GT(printed(r, "vertices removed"), 0);
    EXPECT_EQ(printed(r, "triangles before simplification"),
              printed(whole, "triangles after simplification"));
    const Ply binary = readPly(dir.file("a.ply"));
    EXPECT_FALSE(binary.ascii);
    checkMesh(binary, r, Survey(small));
    meshTool.ok({small, dir.file("b.ply")});
    EXPECT_TRUE(readBytes(dir.file("a.ply")) == readBytes(dir.file("b.ply")));
    meshTool.ok({small, dir.file("t.ply"), "--ascii"});
    const Ply ascii = readPly(dir.file("t.ply"));
    EXPECT_TRUE(ascii.ascii);
    EXPECT_TRUE(ascii.faces == binary.faces && ascii.vertices == binary.vertices)
        << "ascii reads back otherwise";
    EXPECT_EQ(dir.entryCount(), 6u); // nothing else left behind
}

// ---- pontaro-tree

// A LAS file's records, sorted, and its bytes before them less the counts and the box (recomputed by an
// export from the records).
struct LasContent : LasBytes {
    std::vector<std::string> records;
    std::string head;
    explicit LasContent(const std::string& path) : LasBytes(path) {
        for (uint32_t i = 0; i < h.NumberOfPointRecords; ++i)
            records.emplace_back(reinterpret_cast<const char*>(record(i)), h.PointDataRecordLength);
        std::sort(records.begin(), records.end());
        head.assign(bytes.begin(), bytes.begin() + h.OffsetToPointData);
        head.replace(107, 24, 24, '\0').replace(179, 48, 48, '\0');
    }
};

// Built, checked and exported whole: exactly the input's records under the input's header.
void expectRoundTrip(const std::string& input, const TempDir& dir) {
    const std::string out = dir.file("tree"), back = dir.file("back.las");
    const LasContent in(input);
    const std::string points = "points: " + std::to_string(in.records.size()) + "\n";
    EXPECT_NE(treeTool.ok({"build", input, out}).out.find(points), std::string::npos);
    EXPECT_NE(treeTool.ok({"info", out}).out.find("check: complete"), std::string::npos);
    treeTool.ok({"export", out, back});
    const LasContent got(back);
    EXPECT_TRUE(got.records == in.records) << "the exported records differ from the input's";
    EXPECT_TRUE(got.head == in.head) << "the exported header or records before the points differ";
}

std::map<std::string, std::vector<unsigned char>> filesIn(const std::string& dir) {
    std::map<std::string, std::vector<unsigned char>> files;
    for (const auto& e : fs::directory_iterator(dir))
        files[e.path().filename().string()] = readBytes(e.path().string());
    return files;
}

// A survey that splits the root: round trip, levels that add points until all are there, no silent
// overwrite, an identical rebuild with --force, and --force never deleting what is not the tree's.
TEST(TreeTool, SyntheticSurvey) {
    TempDir dir;
    const std::string input = synth(dir, "in.las", 90000, 3), out = dir.file("tree");
    expectRoundTrip(input, dir);
    uint64_t previous = 0;
    for (int level = 0; previous < 90000 && level <= 16; ++level) {
        const std::string part = dir.file("level" + std::to_string(level) + ".las");
        treeTool.ok({"export", out, part, "--level", std::to_string(level)});
        const uint64_t n = LasContent(part).h.NumberOfPointRecords;
        EXPECT_GT(n, previous) << "level " << level;
        previous = n;
    }
    EXPECT_EQ(previous, 90000u);
    const std::string info = treeTool({"info", out}).out;
    EXPECT_TRUE(info.find("depth: ") != info.find("depth: 0\n")) << "90,000 points must split the root\n"
                                                                 << info;

    const auto first = filesIn(out);
    treeTool.refuses({{{"build", input, out}, 1, "holds a complete tree: use --force"}});
    treeTool.ok({"build", input, out, "--force"});
    EXPECT_TRUE(filesIn(out) == first) << "a rebuild of the same input differs";
    std::ofstream(out + "/notes.txt") << "mine";
    treeTool.refuses({{{"build", input, out, "--force"}, 1, "notes.txt"}});
    EXPECT_TRUE(fs::exists(out + "/notes.txt") && fs::exists(out + "/header"))
        << "a refused build changes nothing";
}

// SIGINT mid-build: the directory is never taken for a complete tree, and only --force builds over it.
TEST(TreeTool, InterruptedBuildIsNeverTakenForComplete) {
    TempDir dir;
    const std::string input = synth(dir, "in.las", 400000, 1), out = dir.file("tree");
    Process p({std::string(PONTARO_BIN_DIR) + "/" + treeTool.name, "build", input, out});
    ASSERT_TRUE(p.waitForOutput("neighbours", 120, true)) << p.err();
    kill(p.pid(), SIGINT);
    ProcessResult r;
    ASSERT_TRUE(p.waitFor(60, r)) << "the build did not stop after SIGINT";
    const std::string last = r.errLines().empty() ? "" : r.errLines().back();
    EXPECT_TRUE(r.status != 0 && last.find("interrupted") < last.size() &&
                last.find("incomplete") < last.size())
        << r.err;
    EXPECT_FALSE(fs::exists(out + "/header"));
    treeTool.refuses({{{"info", out}, 1, out}, {{"build", input, out}, 1, "incomplete build"}});
    // A small input is enough to show --force takes the half-built directory.
    treeTool.ok({"build", synth(dir, "small.las", 5000, 1), out, "--force"});
    treeTool.ok({"info", out});
}

// ---- every real sample through every tool

// Surface numbers, little-endian int32, from `skip` bytes on.
std::vector<int32_t> int32s(const std::string& path, size_t skip = 0) {
    const auto b = readBytes(path);
    std::vector<int32_t> c((b.size() - skip) / 4);
    std::memcpy(c.data(), b.data() + skip, 4 * c.size());
    return c;
}

// info describes every sample (a record length other than its format's gets a warning). Up to 40,000
// points (larger ones cost time, not coverage): a tree of it exports the same records and header;
// pontaro-classify's copy is the input byte for byte but for the Point Source IDs, which hold the classes
// file's surfaces as printed, whatever the cache and threads; the tree classified gets surf files for every
// point and stays complete. Up to 10,000 points, pontaro-mesh simplifies a valid mesh of it.
TEST(RealSamples, ThroughEveryTool) {
    const auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no real samples in " << PONTARO_DATA_DIR << "/las (see README: Real samples)";
    for (const SampleFile& s : samples) {
        SCOPED_TRACE(s.name);
        const auto info = lasTool.ok({"info", s.path});
        EXPECT_NE(info.out.find("number of records: " + std::to_string(s.points) + "\n"), std::string::npos);
        EXPECT_TRUE(s.recordLength == las_detail::formatSize(s.format) ||
                    info.out.find("warning: ReadError: Wrong point") != std::string::npos)
            << info.out;
        if (s.points > 40000)
            continue;
        TempDir dir, treeDir;
        expectRoundTrip(s.path, treeDir);

        const std::string out = dir.file("out.las"), classes = dir.file("out.classes"), cache = dir.path();
        auto r = classifyTool.ok({s.path, out, "--classes", classes, "--cache", cache, "--threads", "1"});
        EXPECT_EQ(r.err.find("from the cache"), std::string::npos);
        EXPECT_EQ(printed(r, "points read"), s.points);
        const auto c = int32s(classes, 4);
        ASSERT_EQ(c.size(), s.points);
        LasBytes in(s.path), copy(out);
        ASSERT_EQ(copy.h.NumberOfPointRecords, s.points);
        int wrongIds = 0;
        for (size_t i = 0; i < c.size(); ++i) {
            uint16_t id;
            std::memcpy(&id, copy.record(i) + 18, 2);
            wrongIds += id != pointSourceIdForSurface(c[i]);
            std::memcpy(copy.record(i) + 18, in.record(i) + 18, 2);
        }
        EXPECT_EQ(wrongIds, 0) << "Point Source IDs other than the classes file's surfaces";
        EXPECT_TRUE(copy.bytes == in.bytes) << "the output differs beyond the Point Source IDs";
        const int32_t surfaces = c.empty() ? 0 : *std::max_element(c.begin(), c.end());
        EXPECT_EQ(printed(r, "surfaces"), surfaces);
        EXPECT_TRUE(s.points <= 1000 || surfaces > 0) << "a survey of ground and roofs has surfaces";
        EXPECT_EQ(printed(r, "points classified"),
                  double(c.size() - size_t(std::count(c.begin(), c.end(), 0))));
        size_t listed = 0; // "surface N: P points, mean normal X Y Z", the normal unit and facing up
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            int n;
            unsigned long long p;
            double x, y, z;
            if (std::sscanf(line.c_str(), "surface %d: %llu points, mean normal %lf %lf %lf", &n, &p, &x, &y,
                            &z) < 5)
                continue;
            ++listed;
            EXPECT_EQ(p, uint64_t(std::count(c.begin(), c.end(), n))) << line;
            EXPECT_TRUE(std::abs(x * x + y * y + z * z - 1) < 0.01 && z >= 0) << line;
        }
        EXPECT_EQ(listed, std::min<size_t>(10, size_t(surfaces)));
        EXPECT_EQ(dir.entryCount(), 3u) << "output, class file and cache, nothing else";
        const std::string stem = cache + "/" + fs::path(s.name).stem().string() + "_compNeighbours";
        EXPECT_TRUE(fs::exists(stem + "15-0.25"));
        // Cached or not, on any number of threads: the same bytes. Other thresholds: another cache.
        auto cached = classifyTool.ok({s.path, dir.file("b.las"), "--cache", cache, "--threads", "2"});
        EXPECT_NE(cached.err.find("compatible neighbours: from the cache"), std::string::npos) << cached.err;
        EXPECT_EQ(classifyTool.ok({s.path, dir.file("c.las"), "--no-cache", "--threads", "3"}).out, r.out);
        EXPECT_TRUE(readBytes(dir.file("b.las")) == readBytes(out) &&
                    readBytes(dir.file("c.las")) == readBytes(out));
        classifyTool.ok({s.path, dir.file("d.las"), "--cache", cache, "--angle", "7.5", "--distance", "0.1"});
        EXPECT_TRUE(fs::exists(stem + "7.5-0.1"));
        EXPECT_TRUE(s.points <= 1000 || readBytes(dir.file("d.las")) != readBytes(out));

        const std::string tree = treeDir.file("tree");
        r = classifyTool.ok({tree, treeDir.file("tree.las")});
        EXPECT_TRUE(fs::exists(treeDir.file("tree_compNeighbours15-0.25")))
            << "the cache lies beside the tree";
        EXPECT_NE(treeTool.ok({"info", tree}).out.find("check: complete"), std::string::npos);
        uint64_t classified = 0, total = 0;
        for (const auto& e : fs::directory_iterator(tree))
            if (e.path().filename().string().rfind("surf", 0) == 0)
                for (int32_t n : int32s(e.path().string()))
                    ++total, classified += n != 0;
        EXPECT_EQ(total, s.points);
        EXPECT_EQ(classified, printed(r, "points classified"));
        EXPECT_EQ(LasBytes(treeDir.file("tree.las")).h.NumberOfPointRecords, s.points);

        if (s.points > 10000)
            continue;
        r = meshTool.ok({s.path, dir.file("m.ply"), "--threshold", "0.1"});
        checkCounts(r, double(s.points));
        EXPECT_GT(printed(r, "vertices removed"), 0);
        checkMesh(readPly(dir.file("m.ply")), r, Survey(s.path));
    }
}

} // namespace
