// Import of a LAS file into a data set directory, built aside and renamed into place.
#include "DatasetImport.h"
#include "BucketImport.h"
#include "DatasetFormat.h"
#include "ImportStages.h"

#include "CLASReader.h"
#include "FileHandle.h"
#include "LASHeader.h"
#include "LevelAssignment.h"
#include "PointNormals.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <malloc.h>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace import_detail {

constexpr uint64_t kPerCell = 64;
constexpr uint32_t kMaxGrid = 4096;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::string sysError(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

std::vector<unsigned char> readPrefix(const std::string& path, size_t size) {
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> out(size);
    if (!in.read(reinterpret_cast<char*>(out.data()), std::streamsize(size)))
        fail(path + ": cannot read the " + std::to_string(size) + "-byte header");
    return out;
}

// Square cells holding about kPerCell records on average over the points' bounds.
DatasetLevel makeGrid(uint64_t count, const double* bounds) {
    DatasetLevel g;
    g.points = count;
    g.originX = bounds[0];
    g.originY = bounds[2];
    const double w = bounds[1] - bounds[0], h = bounds[3] - bounds[2];
    const double cells = std::max<double>(1.0, std::round(double(count) / kPerCell));
    double s = 0;
    if (cells == 1)
        s = std::max(w, h);
    else if (w > 0 && h > 0)
        s = std::sqrt(w * h / cells);
    else
        s = std::max(w, h) / cells; // points on a line
    s = std::max({s, w / kMaxGrid, h / kMaxGrid});
    if (!(s > 0) || !std::isfinite(s)) {
        g.cell = 1;
        return g;
    }
    g.cell = s;
    g.gridX = uint32_t(std::clamp(std::ceil(w / s), 1.0, double(kMaxGrid)));
    g.gridY = uint32_t(std::clamp(std::ceil(h / s), 1.0, double(kMaxGrid)));
    return g;
}

std::string makeTempDir(const std::string& dataDir, const std::string& id, const char* suffix) {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char rnd[17];
        std::snprintf(rnd, sizeof rnd, "%08x%08x", rd(), rd());
        std::string p = dataDir + "/.tmp-" + id + "-" + std::to_string(::getpid()) + "-" + rnd + suffix;
        if (::mkdir(p.c_str(), 0755) == 0)
            return p;
        if (errno != EEXIST)
            fail(sysError(p));
    }
    fail(dataDir + ": cannot create a temporary directory");
}

bool exists(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0;
}

void removeTree(const std::string& p) {
    std::error_code ec;
    fs::remove_all(p, ec);
}

// Moves the complete data set `tmp` to `final`. An existing data set is swapped out in one step where the
// file system can exchange names, so that `final` never goes missing; otherwise it is moved aside first.
void moveIntoPlace(const std::string& tmp, const std::string& final, const std::string& dataDir,
                   const std::string& id) {
    if (::rename(tmp.c_str(), final.c_str()) == 0)
        return;
    if (errno != ENOTEMPTY && errno != EEXIST)
        fail(sysError(final));
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, final.c_str(), RENAME_EXCHANGE) == 0) {
        removeTree(tmp); // now the previous data set
        return;
    }
    std::string aside = makeTempDir(dataDir, id, "-old");
    ::rmdir(aside.c_str()); // only the unique name is wanted
    if (::rename(final.c_str(), aside.c_str()) != 0)
        fail(sysError(final));
    if (::rename(tmp.c_str(), final.c_str()) != 0) {
        int e = errno;
        ::rename(aside.c_str(), final.c_str());
        errno = e;
        fail(sysError(final));
    }
    removeTree(aside);
}

// Removes what imports killed outright (SIGKILL, power loss) left behind: temporary directories
// ".tmp-ID-PID-..." whose process no longer exists.
void removeStaleTemporaries(const std::string& dataDir) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(dataDir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (entry.rfind(".tmp-", 0) != 0)
            continue;
        const size_t a = entry.find('-', 5), b = a == std::string::npos ? a : entry.find('-', a + 1);
        if (b == std::string::npos)
            continue;
        const std::string pid = entry.substr(a + 1, b - a - 1);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid.size() > 9)
            continue;
        if (::kill(pid_t(std::stol(pid)), 0) != 0 && errno == ESRCH)
            removeTree(it->path().string());
    }
}

// Shortest text that reads back as the same double.
std::string shortest(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// Six significant digits, for messages.
std::string roughly(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

// The header of a LAS file this import can take: the checks every LAS entry point makes. A file of
// several may hold no points; one alone must.
LASHeader openLas(const std::string& lasPath, bool alone) {
    LASHeader h;
    std::string problem;
    {
        // A survey of hundreds of files must not hold hundreds open.
        FilePtr f = openFile(lasPath.c_str(), "rb");
        if (!f)
            fail(lasPath + ": not a readable LAS file (" + std::strerror(errno) + ")");
        problem = h.ReadChecked(f.get());
    }
    if (!problem.empty())
        fail(lasPath + ": " + problem);
    if (alone && h.NumberOfPointRecords == 0)
        fail(lasPath + ": the file holds no points");
    return h;
}

// Files of one data set share their records' layout and resolution; their offsets may differ by whole
// scale units, which `s`'s shift then absorbs.
void matchFirst(const Source& first, Source& s) {
    const LASHeader &a = first.header, &b = s.header;
    auto differ = [&](const std::string& what, const std::string& u, const std::string& v) {
        fail(first.path + " and " + s.path + " differ in " + what + " (" + u + " and " + v +
             "): the files of one data set must share it");
    };
    if (a.PointDataFormatID != b.PointDataFormatID)
        differ("point data format", std::to_string(a.PointDataFormatID), std::to_string(b.PointDataFormatID));
    if (a.PointDataRecordLength != b.PointDataRecordLength)
        differ("point record length", std::to_string(a.PointDataRecordLength) + " bytes",
               std::to_string(b.PointDataRecordLength) + " bytes");
    const double sa[3] = {a.ScaleFactor_X, a.ScaleFactor_Y, a.ScaleFactor_Z};
    const double sb[3] = {b.ScaleFactor_X, b.ScaleFactor_Y, b.ScaleFactor_Z};
    if (!std::equal(sa, sa + 3, sb))
        differ("scale factors", shortest(sa[0]) + " " + shortest(sa[1]) + " " + shortest(sa[2]),
               shortest(sb[0]) + " " + shortest(sb[1]) + " " + shortest(sb[2]));
    const double oa[3] = {a.OffsetX, a.OffsetY, a.OffsetZ}, ob[3] = {b.OffsetX, b.OffsetY, b.OffsetZ};
    for (int i = 0; i < 3; ++i) {
        if (oa[i] == ob[i])
            continue;
        // Offsets and scales are decimals stored in binary: a whole number of units comes out within the
        // rounding of the operands, far closer than any real fraction of a unit would.
        const double units = (ob[i] - oa[i]) / sa[i], whole = std::round(units);
        const double rounding = 8 * std::numeric_limits<double>::epsilon() *
                                (std::abs(oa[i]) + std::abs(ob[i])) / std::abs(sa[i]);
        if (!(std::abs(units - whole) <= rounding) || !(std::abs(whole) <= double(UINT32_MAX)))
            fail(s.path + ": its " + "XYZ"[i] + " offset " + shortest(ob[i]) + " differs from " + first.path +
                 "'s " + shortest(oa[i]) + " by " + roughly(units) +
                 " scale units, not a whole number: offsets may differ by whole scale units only");
        s.shift[i] = int64_t(whole);
    }
}

// ---- Stages of an import. Each takes what the stage before it produced; the arrays are handed on and
// freed as soon as they are no longer needed, since the import's peaks of memory decide the size of the
// largest data set a machine can import.

void checkArguments(const std::string& name, int neighbours, const std::vector<std::string>& lasPaths) {
    if (name.empty())
        fail("the data set name is empty");
    // HTTP clients resolve "." and ".." path segments before sending: such a data set could never be asked
    // for.
    if (name == "." || name == "..")
        fail("the data set name must not be \".\" or \"..\"");
    // The name list is served one name per line.
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            fail("the data set name must not hold control characters (line breaks, tabs)");
    if (neighbours < 3 || neighbours > 64)
        fail("the neighbour count must be from 3 to 64, not " + std::to_string(neighbours));
    if (lasPaths.empty())
        fail("no LAS file to import");
}

Input validateInputs(const std::vector<std::string>& lasPaths) {
    Input in;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const std::string& path : lasPaths) {
        Source s;
        s.path = path;
        s.header = openLas(path, lasPaths.size() == 1);
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            fail(sysError(path));
        for (size_t j = 0; j < seen.size(); ++j)
            if (seen[j] == std::make_pair(st.st_dev, st.st_ino))
                fail(path + " is the same file as " + in.sources[j].path + ": each file may be given once");
        seen.emplace_back(st.st_dev, st.st_ino);
        if (!in.sources.empty())
            matchFirst(in.sources.front(), s);
        s.first = in.points;
        in.points += s.header.NumberOfPointRecords;
        in.sources.push_back(std::move(s));
    }
    if (in.points == 0)
        fail("the files hold no points");
    if (in.points > UINT32_MAX)
        fail("together the files hold " + std::to_string(in.points) +
             " points, more than one data set can (4294967295)");
    const LASHeader& first = in.sources.front().header;
    in.recLen = first.PointDataRecordLength;
    in.header = readPrefix(in.sources.front().path, size_t(first.RecordAreaStart()));
    const double scale[3] = {first.ScaleFactor_X, first.ScaleFactor_Y, first.ScaleFactor_Z};
    const double offset[3] = {first.OffsetX, first.OffsetY, first.OffsetZ};
    std::copy(scale, scale + 3, in.scale);
    std::copy(offset, offset + 3, in.offset);
    return in;
}

void readPoints(RecordReader& reader, const Input& in, DatasetInfo& info, const Report& report,
                const std::function<void(uint64_t index, const double* xyz)>& point) {
    const uint64_t n = in.points;
    for (int a = 0; a < 3; ++a) {
        info.bounds[2 * a] = std::numeric_limits<double>::infinity();
        info.bounds[2 * a + 1] = -std::numeric_limits<double>::infinity();
    }
    report("read", 0, n);
    reader.forEachPiece([&](const Source& s, uint64_t from, const unsigned char* records, uint64_t count) {
        for (uint64_t i = from; i < from + count; ++i, records += in.recLen) {
            double p[3];
            for (int a = 0; a < 3; ++a) {
                p[a] = worldCoord(records, a, in.scale[a], in.offset[a]);
                if (!std::isfinite(p[a]))
                    fail(s.path + ": point " + std::to_string(i) + " has a non-finite coordinate");
                info.bounds[2 * a] = std::min(info.bounds[2 * a], p[a]);
                info.bounds[2 * a + 1] = std::max(info.bounds[2 * a + 1], p[a]);
            }
            point(s.first + i, p);
        }
        report("read", s.first + from + count, n);
    });
}

// Read: the points' world coordinates, x y z per point.
std::vector<double> readCoordinates(RecordReader& reader, const Input& in, DatasetInfo& info,
                                    const Report& report) {
    std::vector<double> xyz(3 * in.points);
    readPoints(reader, in, info, report,
               [&](uint64_t i, const double* p) { std::copy_n(p, 3, &xyz[3 * i]); });
    return xyz;
}

// Normals: over all files together, so that points at the edge of one file find their neighbours in the
// next. The coordinates are consumed.
std::vector<float> normalsOf(std::vector<double>&& xyz, uint64_t n, int neighbours, const Report& report) {
    std::vector<float> normals(3 * n);
    report("normals", 0, n);
    computeNormals(std::move(xyz), neighbours, normals.data(), 0,
                   [&](size_t done, size_t total) { report("normals", done, total); });
    xyz = {};
    return normals;
}

// Levels: each point's level, and each level's grid into `info`; the points' x and y are kept for the
// order.
struct Levels {
    std::vector<double> xy;
    LevelAssignment assignment;
};

Levels levelsOf(RecordReader& reader, const Input& in, DatasetInfo& info, const Report& report) {
    const uint64_t n = in.points;
    report("levels", 0, n);
    Levels out;
    out.xy.resize(2 * n);
    reader.forEachPiece([&](const Source& s, uint64_t from, const unsigned char* records, uint64_t count) {
        for (uint64_t i = s.first + from; i < s.first + from + count; ++i, records += in.recLen) {
            out.xy[2 * i] = worldCoord(records, 0, in.scale[0], in.offset[0]);
            out.xy[2 * i + 1] = worldCoord(records, 1, in.scale[1], in.offset[1]);
        }
    });
    out.assignment = assignLevels(out.xy.data(), n);
    report("levels", n, n);
    for (int l = 0; l < out.assignment.levels; ++l)
        info.levels.push_back(makeGrid(out.assignment.counts[size_t(l)], info.bounds));
    info.cellsOrderedByX = true;
    return out;
}

// Several files are served as one: the first file's header, counting the points of all, with their
// bounds as found (declared bounds are often stale) and the sum of the declared counts by return.
void mergeHeaders(Input& in, const DatasetInfo& info) {
    if (in.sources.size() == 1)
        return;
    LASHeader h;
    h.copyFromBuffer(in.header.data());
    h.NumberOfPointRecords = uint32_t(in.points);
    for (int r = 0; r < 5; ++r) {
        uint64_t sum = 0;
        for (const Source& s : in.sources)
            sum += s.header.NumberOfPointsByReturn[r];
        h.NumberOfPointsByReturn[r] = uint32_t(std::min<uint64_t>(sum, UINT32_MAX));
    }
    h.Min_X = info.bounds[0];
    h.Max_X = info.bounds[1];
    h.Min_Y = info.bounds[2];
    h.Max_Y = info.bounds[3];
    h.Min_Z = info.bounds[4];
    h.Max_Z = info.bounds[5];
    h.copyToBuffer(in.header.data());
}

// Order: the records of all levels by (level, cell) in one counting sort. Level l's cells are
// cellBase[l] to cellBase[l + 1]; cell c's records are order[start[c]] to order[start[c + 1]], each entry
// holding the record's input index in its low 32 bits. The points' x and y are consumed.
struct CellOrder {
    std::vector<uint64_t> cellBase, start, order;
};

CellOrder orderByCell(const DatasetInfo& info, Levels&& levels, const std::vector<unsigned char>& raw,
                      const Input& in) {
    const uint64_t n = in.points;
    const std::vector<uint8_t>& levelOf = levels.assignment.levelOf;
    CellOrder o;
    o.cellBase.assign(info.levels.size() + 1, 0);
    for (size_t l = 0; l < info.levels.size(); ++l)
        o.cellBase[l + 1] = o.cellBase[l] + uint64_t(info.levels[l].gridX) * info.levels[l].gridY;
    o.start.assign(o.cellBase.back() + 1, 0);
    // Cell numbers stay below 2^32: at most 4096 x 4096 cells in each of at most 16 levels.
    std::vector<uint32_t> cellOf(n);
    for (uint64_t i = 0; i < n; ++i) {
        cellOf[i] = uint32_t(o.cellBase[levelOf[i]] +
                             gridCell(info.levels[levelOf[i]], levels.xy[2 * i], levels.xy[2 * i + 1]));
        ++o.start[cellOf[i] + 1];
    }
    for (uint64_t c = 0; c + 1 < o.start.size(); ++c)
        o.start[c + 1] += o.start[c];
    // Within a cell, records go in order of world X (ties in input order): a query edge then cuts each
    // cell at one place, found by bisection. Entries are the X key above the input index (a LAS 1.0-1.2
    // file holds fewer than 2^32 points).
    o.order.resize(n);
    {
        std::vector<uint64_t> next(o.start.begin(), o.start.end() - 1);
        for (uint64_t i = 0; i < n; ++i)
            o.order[next[cellOf[i]]++] = uint64_t(xOrderKey(&raw[i * in.recLen], in.scale[0])) << 32 | i;
    }
    cellOf = {};
    levels = {};
    const unsigned threads = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
    std::vector<std::thread> sorters;
    const uint64_t cells = o.start.size() - 1;
    for (unsigned t = 0; t < threads; ++t)
        sorters.emplace_back([&, t] {
            for (uint64_t c = cells * t / threads; c < cells * (t + 1) / threads; ++c)
                std::sort(o.order.begin() + int64_t(o.start[c]), o.order.begin() + int64_t(o.start[c + 1]));
        });
    for (auto& s : sorters)
        s.join();
    return o;
}

// Write (phase "write"): each level's wire records in cell order, assembled in batches (record bytes,
// then the normal), and its cell index.
void writeLevelFiles(DatasetWriter& out, const DatasetInfo& info, const CellOrder& o,
                     const std::vector<unsigned char>& raw, const std::vector<float>& normals,
                     uint32_t recLen, const Report& report) {
    const uint64_t n = info.points;
    const uint32_t wireLen = info.recordLength;
    uint64_t written = 0;
    std::vector<unsigned char> batch(size_t(1 << 15) * wireLen);
    for (size_t l = 0; l < info.levels.size(); ++l) {
        const uint64_t first = o.start[o.cellBase[l]], end = o.start[o.cellBase[l + 1]];
        out.beginRecords(l);
        for (uint64_t at = first; at < end;) {
            const uint64_t count = std::min<uint64_t>(1 << 15, end - at);
            unsigned char* rec = batch.data();
            for (uint64_t r = at; r < at + count; ++r, rec += wireLen) {
                const uint64_t i = uint32_t(o.order[r]);
                std::memcpy(rec, &raw[i * recLen], recLen);
                storeNormal(rec + recLen, &normals[3 * i]);
            }
            out.writeRecords(batch.data(), count * wireLen);
            at += count;
            written += count;
            report("write", written, n);
        }
        out.endRecords();
        out.writeIndex(l, &o.start[o.cellBase[l]], o.cellBase[l + 1] - o.cellBase[l]);
    }
}

Staging::Staging(std::string dataDir, const std::string& name)
    : dataDir_(std::move(dataDir)), id_(datasetDirName(name).substr(3)),
      final_(dataDir_ + "/" + datasetDirName(name)) {
    std::error_code ec;
    createdDataDir_ = !fs::exists(dataDir_, ec) && fs::create_directories(dataDir_, ec);
    if (ec)
        fail(dataDir_ + ": " + ec.message());
}

Staging::~Staging() {
    if (done_)
        return;
    if (!tmp_.empty())
        removeTree(tmp_);
    if (createdDataDir_)
        ::rmdir(dataDir_.c_str());
}

const std::string& Staging::begin(const std::string& name) {
    const std::string nameFile = final_ + "/" + kNameFile;
    if (exists(nameFile) && readDatasetFile(nameFile) != name)
        fail(final_ + " holds another data set whose name has the same hash");
    removeStaleTemporaries(dataDir_);
    tmp_ = makeTempDir(dataDir_, id_, "");
    return tmp_;
}

void Staging::publish() {
    syncDirectory(tmp_);
    moveIntoPlace(tmp_, final_, dataDir_, id_);
    tmp_.clear();
    syncDirectory(dataDir_);
    done_ = true;
}

} // namespace import_detail

using namespace import_detail;

DatasetInfo importDataset(const std::string& lasPath, const std::string& dataDir, const std::string& name,
                          int neighbours, const ImportProgress& progress) {
    return importDataset(std::vector<std::string>{lasPath}, dataDir, name, neighbours, progress);
}

DatasetInfo importDataset(const std::vector<std::string>& lasPaths, const std::string& dataDir,
                          const std::string& name, int neighbours, const ImportProgress& progress) {
    ImportOptions options;
    options.neighbours = neighbours;
    options.progress = progress;
    return importDataset(lasPaths, dataDir, name, options);
}

uint64_t defaultImportMemory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), size = ::sysconf(_SC_PAGE_SIZE);
    const uint64_t physical = pages > 0 && size > 0 ? uint64_t(pages) * uint64_t(size) : uint64_t(8) << 30;
    return std::max(kMinImportMemory, physical / 4);
}

DatasetInfo importDataset(const std::vector<std::string>& lasPaths, const std::string& dataDir,
                          const std::string& name, const ImportOptions& options) {
    const Report report = [&](const char* phase, uint64_t done, uint64_t total) {
        if (options.progress)
            options.progress(phase, done, total);
    };
    const int neighbours = options.neighbours;
    checkArguments(name, neighbours, lasPaths);
    const uint64_t memory = options.memory ? options.memory : defaultImportMemory();
    if (memory < kMinImportMemory)
        fail("the memory bound must be at least " + std::to_string(kMinImportMemory >> 20) + " MiB");
    Input in = validateInputs(lasPaths);
    RecordReader reader(in);
    const uint64_t n = in.points;
    if (inMemoryImportBytes(n, in.recLen) > memory)
        return importInBuckets(in, reader, dataDir, name, neighbours, memory, options.tmpDir, report);

    DatasetInfo info;
    info.name = name;
    info.points = n;
    info.recordLength = in.recLen + kNormalBytes;

    std::vector<float> normals = normalsOf(readCoordinates(reader, in, info, report), n, neighbours, report);
    Levels levels = levelsOf(reader, in, info, report);
    const std::vector<unsigned char> raw = reader.readAll();
    mergeHeaders(in, info);

    Staging staging(dataDir, name);
    DatasetWriter out(staging.begin(name));
    out.writeName(name);
    out.writeHeader(in.header);
    out.writeLevels(info);
    report("write", 0, n); // the order is part of the "write" phase
    const CellOrder order = orderByCell(info, std::move(levels), raw, in);
    writeLevelFiles(out, info, order, raw, normals, in.recLen, report);
    out.writeManifest();
    report("write", n, n);
    staging.publish();
    return info;
}

void keepImportMemory() {
    ::mallopt(M_MMAP_MAX, 0);
    ::mallopt(M_TRIM_THRESHOLD, INT_MAX);
}
