// pontaro-mesh: triangulate a LAS file's points (or one tile of the viewer's grid), simplify the mesh by
// vertex removal, order its triangles for the vertex cache and write it as a PLY mesh.
#include "CLASReader.h"
#include "CLasException.h"
#include "CommandLine.h"
#include "FileHandle.h"
#include "LASHeader.h"
#include "LODGrid.h"
#include "LasLog.h"
#include "MeshPoint.h"
#include "Simplification.h"
#include "Triangulation.h"
#include "VertexCache.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* kUsage =
    R"(usage: pontaro-mesh IN.las OUT.ply [--threshold T] [--no-simplify] [--tile N | --all] [--ascii]
  Triangulates the points by x and y (Delaunay), simplifies the mesh by vertex removal, orders the
  triangles for a 32-entry vertex cache and writes a PLY mesh: vertices in world coordinates (x y z as
  doubles), unit normals (nx ny nz), 8-bit red green blue for point formats 2 and 3; faces as lists.
  --threshold T   simplification threshold, a length in the file's units (default -1, standing for
                  0.001: vertices of removal error below 500 T are candidates; removal stops at an error
                  of 800 T and never makes an edge longer than 800 T)
  --no-simplify   write the triangulation as it is
  --tile N        only the points of tile N of the grid the viewer lays over the file
  --all           every point of the file (the default)
  --ascii         a text PLY instead of binary little-endian
  --help          this text
)";

constexpr uint64_t kProgressPoints = 1000000; // larger inputs show progress on standard error

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string in, out;
    float threshold = -1;
    bool simplify = true, ascii = false;
    bool all = false, haveTile = false;
    uint32_t tile = 0;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw UsageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--threshold") {
            const std::string v = value();
            double t = 0;
            auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), t);
            if (v.empty() || ec != std::errc() || end != v.data() + v.size() ||
                !(t == -1 || (t > 0 && t < 1e30)))
                throw UsageError("--threshold must be a positive length or -1, not '" + v + "'");
            o.threshold = float(t);
        } else if (a == "--no-simplify") {
            o.simplify = false;
        } else if (a == "--tile") {
            o.tile = parseNumber<uint32_t>(value(), "--tile");
            o.haveTile = true;
        } else if (a == "--all") {
            o.all = true;
        } else if (a == "--ascii") {
            o.ascii = true;
        } else if (a.size() > 1 && a[0] == '-') {
            throw UsageError("unknown option " + a + " (try --help)");
        } else {
            files.push_back(a);
        }
    }
    if (files.size() != 2)
        throw UsageError("expected IN.las and OUT.ply (try --help)");
    if (o.all && o.haveTile)
        throw UsageError("--tile and --all exclude each other");
    o.in = files[0];
    o.out = files[1];
    return o;
}

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Input {
    LASHeader header;
    std::vector<Splat> splats;  // raw coordinates of the selected points
    std::vector<Color> colours; // one per selected point when the format carries colour
    uint64_t pointsRead = 0;
    bool colourIs8Bit = true; // every colour value of the file fits in 8 bits
};

LASHeader readHeader(const std::string& path) {
    FilePtr f = openFile(path.c_str(), "rb");
    if (!f)
        throw Failure(path + ": " + std::strerror(errno));
    LASHeader h;
    bool ok;
    {
        LasLogTo quiet(nullptr); // the reason is in lastMessage
        ok = h.Read(f.get());
    }
    if (!ok)
        throw Failure(path + ": not a readable LAS header (" + h.lastMessage + ")");
    const int64_t size = lasFileSize(f.get());
    std::string why;
    if (size < 0 || !h.CheckPointData(uint64_t(size), &why))
        throw Failure(path + ": " + (size < 0 ? std::string("cannot tell its size") : why));
    for (double s : {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z})
        if (!(s > 0) || !std::isfinite(s))
            throw Failure(path + ": scale factors must be positive");
    return h;
}

// Reads every record in blocks, keeping the points of `tile` (all of them when tile is negative).
void readPoints(const std::string& path, Input& in, const LODGrid* grid, int tile) {
    const LASHeader& h = in.header;
    const uint64_t count = h.NumberOfPointRecords, record = h.PointDataRecordLength;
    const bool colour = h.hasColor();
    const int colourAt = h.PointDataFormatID == 3 ? 28 : 20;
    const uint64_t block = std::max<uint64_t>(1, (4u << 20) / record);
    std::vector<unsigned char> buffer(std::min(block, count) * record);
    if (!grid) {
        in.splats.reserve(count);
        if (colour)
            in.colours.reserve(count);
    }
    uint16_t maxColour = 0;
    int shown = -1;
    for (uint64_t first = 0; first < count; first += block) {
        const uint64_t n = std::min(block, count - first);
        try {
            CLASReader::ReadPoints(path.c_str(), buffer.data(), h.OffsetToPointData + first * record,
                                   uint32_t(record), n, record);
        } catch (const CLasException& e) {
            throw Failure(path + ": cannot read the point records (" + e.what() + ")");
        }
        for (uint64_t i = 0; i < n; ++i) {
            const unsigned char* p = buffer.data() + i * record;
            int32_t xyz[3];
            std::memcpy(xyz, p, sizeof xyz);
            Color c{};
            if (colour) {
                std::memcpy(&c, p + colourAt, sizeof c);
                maxColour = std::max({maxColour, c.r, c.g, c.b});
            }
            if (grid && grid->getSplatTile(xyz[0], xyz[1]) != tile)
                continue;
            in.splats.push_back(Splat{xyz[0], xyz[1], xyz[2], 0, 0, 0});
            if (colour)
                in.colours.push_back(c);
        }
        if (count > kProgressPoints) {
            const int pct = int((first + n) * 100 / count);
            if (pct != shown)
                std::cerr << "\rreading: " << (shown = pct) << "%" << (first + n == count ? "\n" : "")
                          << std::flush;
        }
    }
    in.pointsRead = count;
    in.colourIs8Bit = maxColour <= 255;
}

// Vertices in order of first use by the (cache-ordered) triangles, so that the vertex buffer is read
// nearly in sequence too; `indices` is renumbered to match. Returns, per new vertex, its point number.
std::vector<unsigned> compactVertices(std::vector<unsigned>& indices, std::size_t pointCount) {
    constexpr unsigned kUnused = std::numeric_limits<unsigned>::max();
    std::vector<unsigned> renumber(pointCount, kUnused), used;
    for (unsigned& i : indices) {
        if (renumber[i] == kUnused) {
            renumber[i] = unsigned(used.size());
            used.push_back(i);
        }
        i = renumber[i];
    }
    return used;
}

// Area-weighted face normals: each face adds its unnormalised cross product (twice its area along its
// normal). Triangles are counter-clockwise in x, y, so terrain normals point up.
std::vector<float> vertexNormals(const std::vector<MeshPoint>& points, const std::vector<unsigned>& used,
                                 const std::vector<unsigned>& indices) {
    std::vector<double> sum(used.size() * 3, 0.0);
    for (std::size_t t = 0; t + 2 < indices.size(); t += 3) {
        const MeshPoint &a = points[used[indices[t]]], &b = points[used[indices[t + 1]]],
                        &c = points[used[indices[t + 2]]];
        const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
        const double vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
        const double n[3] = {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
        for (int k = 0; k < 3; ++k)
            for (int d = 0; d < 3; ++d)
                sum[3 * std::size_t(indices[t + k]) + d] += n[d];
    }
    std::vector<float> normals(sum.size());
    for (std::size_t v = 0; v < used.size(); ++v) {
        const double* s = &sum[3 * v];
        const double len = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        // Only faces of zero area: no direction to average, so the vertex faces up.
        const double n[3] = {len > 0 ? s[0] / len : 0, len > 0 ? s[1] / len : 0, len > 0 ? s[2] / len : 1};
        for (int d = 0; d < 3; ++d)
            normals[3 * v + d] = float(n[d]);
    }
    return normals;
}

// A file written under a temporary name beside its destination and renamed into place by commit(); on
// any other way out it is removed, so a failed run leaves no partial output behind.
class PendingFile {
public:
    explicit PendingFile(const std::string& path) : path_(path), tmp_(path + ".XXXXXX") {
        const int fd = mkstemp(tmp_.data());
        if (fd < 0)
            throw Failure(path + ": " + std::strerror(errno));
        const mode_t mask = umask(0); // the temporary file is private; the result gets the usual permissions
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        file_.reset(fdopen(fd, "wb"));
        if (!file_) {
            ::close(fd);
            ::unlink(tmp_.c_str());
            throw Failure(path + ": " + std::strerror(errno));
        }
    }
    ~PendingFile() {
        if (file_) {
            file_.reset();
            ::unlink(tmp_.c_str());
        }
    }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    void write(const void* data, std::size_t size) {
        if (std::fwrite(data, 1, size, file_.get()) != size)
            fail();
    }
    void commit() {
        if (std::fflush(file_.get()) != 0 || fsync(fileno(file_.get())) != 0)
            fail();
        if (std::fclose(file_.release()) != 0) {
            ::unlink(tmp_.c_str());
            throw Failure(path_ + ": " + std::strerror(errno));
        }
        if (std::rename(tmp_.c_str(), path_.c_str()) != 0) {
            const int e = errno;
            ::unlink(tmp_.c_str());
            throw Failure(path_ + ": " + std::strerror(e));
        }
    }

private:
    [[noreturn]] void fail() { throw Failure(path_ + ": " + std::strerror(errno ? errno : EIO)); }
    std::string path_, tmp_;
    FilePtr file_;
};

// Collects output in a large buffer so that the file sees few, big writes.
class PlyWriter {
public:
    explicit PlyWriter(PendingFile& file) : file_(file) { buffer_.reserve(kSize + 256); }
    ~PlyWriter() = default;
    void text(std::string_view s) {
        buffer_.insert(buffer_.end(), s.begin(), s.end());
        maybeFlush();
    }
    template <typename T> void binary(T v) {
        static_assert(std::endian::native == std::endian::little, "the binary body is written as in memory");
        const char* p = reinterpret_cast<const char*>(&v);
        buffer_.insert(buffer_.end(), p, p + sizeof v);
    }
    // Shortest text that reads back to the same value, whatever the locale.
    template <typename T> void number(T v, char after) {
        char s[40];
        auto [end, ec] = std::to_chars(s, s + sizeof s - 1, v);
        *end++ = after;
        buffer_.insert(buffer_.end(), s, end);
    }
    void maybeFlush() {
        if (buffer_.size() >= kSize)
            flush();
    }
    void flush() {
        file_.write(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

private:
    static constexpr std::size_t kSize = 1 << 20;
    PendingFile& file_;
    std::vector<char> buffer_;
};

uint8_t eightBit(uint16_t v, bool is8Bit) {
    return uint8_t(is8Bit ? v : (uint32_t(v) * 255 + 32767) / 65535);
}

void writePly(PendingFile& file, bool ascii, const std::vector<MeshPoint>& points, const double* toWorld,
              const std::vector<unsigned>& used, const std::vector<float>& normals,
              const std::vector<unsigned>& indices, const Input& in) {
    const bool colour = !in.colours.empty();
    PlyWriter w(file);
    std::string header = "ply\nformat ";
    header += ascii ? "ascii 1.0\n" : "binary_little_endian 1.0\n";
    header += "comment pontaro-mesh: x y z in the LAS file's world coordinates (raw * scale + offset)\n";
    header += "element vertex " + std::to_string(used.size()) + "\n";
    header += "property double x\nproperty double y\nproperty double z\n";
    header += "property float nx\nproperty float ny\nproperty float nz\n";
    if (colour)
        header += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    header += "element face " + std::to_string(indices.size() / 3) + "\n";
    header += "property list uchar uint vertex_indices\nend_header\n";
    w.text(header);

    for (std::size_t v = 0; v < used.size(); ++v) {
        const MeshPoint& p = points[used[v]];
        const double xyz[3] = {p.x + toWorld[0], p.y + toWorld[1], p.z + toWorld[2]};
        const float* n = &normals[3 * v];
        uint8_t rgb[3] = {};
        if (colour) {
            const Color& c = in.colours[used[v]];
            rgb[0] = eightBit(c.r, in.colourIs8Bit), rgb[1] = eightBit(c.g, in.colourIs8Bit),
            rgb[2] = eightBit(c.b, in.colourIs8Bit);
        }
        if (ascii) {
            for (int d = 0; d < 3; ++d)
                w.number(xyz[d], ' ');
            for (int d = 0; d < 3; ++d)
                w.number(n[d], d == 2 && !colour ? '\n' : ' ');
            if (colour)
                for (int d = 0; d < 3; ++d)
                    w.number(unsigned(rgb[d]), d == 2 ? '\n' : ' ');
        } else {
            for (int d = 0; d < 3; ++d)
                w.binary(xyz[d]);
            for (int d = 0; d < 3; ++d)
                w.binary(n[d]);
            if (colour)
                for (int d = 0; d < 3; ++d)
                    w.binary(rgb[d]);
        }
        w.maybeFlush();
    }
    for (std::size_t t = 0; t + 2 < indices.size(); t += 3) {
        if (ascii) {
            w.text("3 ");
            for (int k = 0; k < 3; ++k)
                w.number(indices[t + k], k == 2 ? '\n' : ' ');
        } else {
            w.binary(uint8_t(3));
            for (int k = 0; k < 3; ++k)
                w.binary(uint32_t(indices[t + k]));
        }
        w.maybeFlush();
    }
    w.flush();
}

void stage(bool show, const std::string& what) {
    if (show)
        std::cerr << what << "\n";
}

struct Stats {
    uint64_t pointsRead = 0;
    std::size_t pointsMeshed = 0, trianglesBefore = 0, trianglesAfter = 0, removed = 0, verticesWritten = 0;
    double acmrBefore = 0, acmrAfter = 0;
    double seconds[5] = {}; // read, triangulate, simplify, order, write
};

Stats makeMesh(const Options& o) {
    StdoutTo chatter(STDERR_FILENO);
    // The removal drivers' diagnostics are progress for the user, not results.
    setGeometryLog(&std::cerr);
    Stats st;
    auto t0 = Clock::now();
    Input in;
    in.header = readHeader(o.in);
    const LASHeader& h = in.header;
    std::unique_ptr<LODGrid> grid;
    if (o.haveTile) {
        grid = std::make_unique<LODGrid>(&h, nullptr);
        const uint32_t tiles = grid->getNumberOfTiles();
        if (o.tile >= tiles)
            throw Failure("--tile " + std::to_string(o.tile) + " is out of range: the grid over " + o.in +
                          " has " + std::to_string(tiles) +
                          (tiles == 1 ? " tile (0)" : " tiles (0 to " + std::to_string(tiles - 1) + ")"));
    }
    // Fail before the long work when the output cannot be created.
    PendingFile out(o.out);

    readPoints(o.in, in, grid.get(), o.haveTile ? int(o.tile) : -1);
    const std::size_t n = in.splats.size();
    if (n < 3)
        throw Failure(o.in + ": " + std::to_string(n) +
                      (o.haveTile ? " points in tile " + std::to_string(o.tile) : " points") +
                      "; a mesh needs at least 3");
    const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    const double offset[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    double origin[3] = {};
    std::vector<MeshPoint> points = meshPointsFromRaw(in.splats.data(), n, scale, origin);
    std::vector<Splat>().swap(in.splats);
    // Local coordinates back to world ones: local + origin × scale + offset.
    const double toWorld[3] = {origin[0] * scale[0] + offset[0], origin[1] * scale[1] + offset[1],
                               origin[2] * scale[2] + offset[2]};
    st.pointsRead = in.pointsRead;
    st.pointsMeshed = n;
    st.seconds[0] = since(t0);
    const bool large = n > kProgressPoints;

    t0 = Clock::now();
    stage(large, "triangulating " + std::to_string(n) + " points");
    std::vector<unsigned> indices;
    if (!triangulatePoints(points, indices))
        std::cerr << "warning: the triangulation did not return every input point\n";
    if (indices.empty())
        throw Failure(o.in + ": the points give no triangle (all on one line or at one place)");
    st.trianglesBefore = indices.size() / 3;
    st.seconds[1] = since(t0);

    t0 = Clock::now();
    if (o.simplify) {
        stage(large, "simplifying " + std::to_string(st.trianglesBefore) + " triangles");
        SimplifyReport report;
        st.removed = simplifyTriangulation(points, indices, o.threshold, SimplifyVariant::Tile, &report);
    }
    st.trianglesAfter = indices.size() / 3;
    st.seconds[2] = since(t0);

    t0 = Clock::now();
    stage(large, "ordering " + std::to_string(st.trianglesAfter) + " triangles for the vertex cache");
    st.acmrBefore = calculateACMR(indices, 32);
    optimizeTriangleOrderForVertexCache(indices, unsigned(n));
    st.acmrAfter = calculateACMR(indices, 32);
    st.seconds[3] = since(t0);

    t0 = Clock::now();
    stage(large, "writing " + o.out);
    const std::vector<unsigned> used = compactVertices(indices, n);
    const std::vector<float> normals = vertexNormals(points, used, indices);
    writePly(out, o.ascii, points, toWorld, used, normals, indices, in);
    out.commit();
    st.verticesWritten = used.size();
    st.seconds[4] = since(t0);
    return st;
}

int run(const Options& o) {
    const Stats st = makeMesh(o);
    std::printf("points read: %llu\n", (unsigned long long)st.pointsRead);
    std::printf("points meshed: %zu\n", st.pointsMeshed);
    std::printf("triangles before simplification: %zu\n", st.trianglesBefore);
    std::printf("triangles after simplification: %zu\n", st.trianglesAfter);
    std::printf("vertices removed: %zu\n", st.removed);
    std::printf("vertices written: %zu\n", st.verticesWritten);
    std::printf("ACMR before ordering: %.4f\n", st.acmrBefore);
    std::printf("ACMR after ordering: %.4f\n", st.acmrAfter);
    const char* stages[5] = {"read", "triangulate", "simplify", "order", "write"};
    for (int i = 0; i < 5; ++i)
        std::printf("time %s: %.3f s\n", stages[i], st.seconds[i]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kUsage;
            return 0;
        }
    if (argc == 1) {
        std::cout << kUsage;
        return 2;
    }
    try {
        return run(parseOptions(argc, argv));
    } catch (const UsageError& e) {
        std::cerr << "pontaro-mesh: " << e.what() << "\n";
        return 2;
    } catch (const std::bad_alloc&) {
        std::cerr << "pontaro-mesh: out of memory\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "pontaro-mesh: " << e.what() << "\n";
        return 1;
    }
}
