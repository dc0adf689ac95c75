// Import of a LAS file into a data set directory, built aside and renamed into place.
#include "DatasetImport.h"
#include "DatasetFormat.h"

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
#include <iostream>
#include <limits>
#include <malloc.h>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kPerCell = 64;
constexpr uint32_t kMaxGrid = 4096;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::string sysError(const std::string& path) {
    return path + ": " + std::strerror(errno);
}

std::string fmt17(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Writes a file past the page cache (O_DIRECT) where the file system allows it: putting hundreds of
// megabytes of level files through the page cache costs far more processor time than the disk takes to
// write them, and would push out what the server has cached. Falls back to ordinary writes. finish()
// pads the last block for the device, cuts the file back to its size, fsyncs and closes, reporting any
// failure.
class FileWriter {
public:
    static constexpr size_t kBlock = 4096, kBuffer = size_t(4) << 20;

    explicit FileWriter(std::string path)
        : path_(std::move(path)),
          fd_(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_DIRECT, 0644)),
          buf_(static_cast<unsigned char*>(std::aligned_alloc(kBlock, kBuffer))) {
        if (fd_.get() < 0 && errno == EINVAL) { // the file system refuses direct I/O
            direct_ = false;
            fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        }
        if (fd_.get() < 0)
            fail(sysError(path_));
        if (!buf_)
            throw std::bad_alloc();
    }
    void write(const void* data, size_t size) {
        auto p = static_cast<const unsigned char*>(data);
        checksum_.update(p, size);
        while (size > 0) {
            const size_t n = std::min(size, kBuffer - used_);
            std::memcpy(buf_.get() + used_, p, n);
            used_ += n;
            p += n;
            size -= n;
            if (used_ == kBuffer)
                writeOut(kBuffer);
        }
    }
    void write(const std::string& s) { write(s.data(), s.size()); }
    // The file's entry in the data set's manifest, once finished.
    ManifestEntry entry() const {
        return {fs::path(path_).filename().string(), written_, checksum_.digest()};
    }
    void finish() {
        const uint64_t size = written_ + used_;
        if (used_ > 0) {
            const size_t out = direct_ ? (used_ + kBlock - 1) / kBlock * kBlock : used_;
            std::memset(buf_.get() + used_, 0, out - used_);
            padded_ = padded_ || out != used_;
            writeOut(out);
        }
        if (padded_ && ::ftruncate(fd_.get(), off_t(size)) != 0)
            fail(sysError(path_));
        if (::fsync(fd_.get()) != 0 || ::close(fd_.release()) != 0)
            fail(sysError(path_));
    }

private:
    void writeOut(size_t n) {
        size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(fd_.get(), buf_.get() + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 && errno == EINVAL && direct_) { // refused after all (this device's alignment rules)
                writeOrdinarily();
                continue;
            }
            if (w <= 0)
                fail(sysError(path_));
            done += size_t(w);
            if (direct_ && done < n && (done % kBlock) != 0)
                writeOrdinarily(); // a short direct write left the offset unaligned
        }
        written_ += used_; // padding is not part of the file
        used_ = 0;
    }

    void writeOrdinarily() {
        const int flags = ::fcntl(fd_.get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_DIRECT) != 0)
            fail(sysError(path_));
        direct_ = false;
    }

    struct Free {
        void operator()(unsigned char* p) const { std::free(p); }
    };
    std::string path_;
    Fd fd_;
    std::unique_ptr<unsigned char, Free> buf_;
    Checksum64 checksum_;
    size_t used_ = 0;
    uint64_t written_ = 0;
    bool direct_ = true, padded_ = false;
};

void syncDir(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        fail(sysError(path));
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

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(path + ": cannot read");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Moves the complete data set `tmp` to `final`. An existing data set is swapped out in one step where the
// file system can exchange names, so that `final` never goes missing; otherwise it is moved aside first.
void publish(const std::string& tmp, const std::string& final, const std::string& dataDir,
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

// One input file of a data set: its header, where its records go among those of all files, and what
// moves its raw coordinates onto the first file's offsets.
struct Source {
    std::string path;
    LASHeader header;
    uint64_t first = 0;
    int64_t shift[3] = {0, 0, 0};
    std::optional<uint64_t> coordinates; // hash of the first reading
};

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

} // namespace

uint64_t fnv1a64(std::string_view bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

std::string datasetDirName(const std::string& name) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)fnv1a64(name));
    return std::string("ds-") + buf;
}

DatasetInfo importDataset(const std::string& lasPath, const std::string& dataDir, const std::string& name,
                          int neighbours, const ImportProgress& progress) {
    return importDataset(std::vector<std::string>{lasPath}, dataDir, name, neighbours, progress);
}

DatasetInfo importDataset(const std::vector<std::string>& lasPaths, const std::string& dataDir,
                          const std::string& name, int neighbours, const ImportProgress& progress) {
    auto report = [&](const char* phase, uint64_t done, uint64_t total) {
        if (progress)
            progress(phase, done, total);
    };
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

    // Every header is read and checked before any records are, so that a bad file late in a long list
    // fails the import at once.
    std::vector<Source> sources;
    std::vector<std::pair<dev_t, ino_t>> seen;
    uint64_t n = 0;
    for (const std::string& path : lasPaths) {
        Source s;
        s.path = path;
        s.header = openLas(path, lasPaths.size() == 1);
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            fail(sysError(path));
        for (size_t j = 0; j < seen.size(); ++j)
            if (seen[j] == std::make_pair(st.st_dev, st.st_ino))
                fail(path + " is the same file as " + sources[j].path + ": each file may be given once");
        seen.emplace_back(st.st_dev, st.st_ino);
        if (!sources.empty())
            matchFirst(sources.front(), s);
        s.first = n;
        n += s.header.NumberOfPointRecords;
        sources.push_back(std::move(s));
    }
    if (n == 0)
        fail("the files hold no points");
    if (n > UINT32_MAX)
        fail("together the files hold " + std::to_string(n) +
             " points, more than one data set can (4294967295)");
    const LASHeader& first = sources.front().header;
    const uint32_t recLen = first.PointDataRecordLength;
    const uint32_t wireLen = recLen + 12;

    auto header = readPrefix(sources.front().path, size_t(first.RecordAreaStart()));
    // Records of one file in the first file's offsets; a failure names the file.
    auto readRecords = [&](const Source& s, uint64_t from, uint64_t count, unsigned char* out) {
        try {
            CLASReader::ReadPoints(s.path.c_str(), out, s.header.OffsetToPointData + from * recLen, recLen,
                                   count, recLen);
        } catch (const std::exception& e) {
            fail(s.path + ": cannot read the point records (" + e.what() + ")");
        }
    };
    auto shift = [&](const Source& s, uint64_t from, uint64_t count, unsigned char* records) {
        if (s.shift[0] == 0 && s.shift[1] == 0 && s.shift[2] == 0)
            return;
        for (uint64_t i = from; i < from + count; ++i, records += recLen)
            for (int a = 0; a < 3; ++a) {
                const int64_t v = int64_t(rawCoord(records, a)) + s.shift[a];
                if (v < INT32_MIN || v > INT32_MAX)
                    fail(s.path + ": point " + std::to_string(i) + " lies beyond what " +
                         sources.front().path + "'s offsets and scale factors can hold");
                las_detail::storeLE<int32_t>(records + las_detail::kRecordX + 4 * a, int32_t(v));
            }
    };
    // The records are read three times, so that they never sit in memory beside the working arrays of the
    // normals or the levels (the import's peaks): coordinates for the normals, x and y for the levels,
    // then whole for writing. Each reading must find the same coordinates.
    auto hashCoordinates = [recLen](const unsigned char* records, uint64_t count, uint64_t h) {
        for (uint64_t i = 0; i < count; ++i, records += recLen) {
            uint64_t xy, z = uint32_t(rawCoord(records, 2));
            std::memcpy(&xy, records, 8);
            h = (h ^ xy) * 0x9E3779B97F4A7C15ull;
            h = (h ^ z ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
        }
        return h;
    };
    auto checkHash = [&](Source& s, uint64_t h) {
        if (s.coordinates && h != *s.coordinates)
            fail(s.path + ": the file changed while it was being imported");
        s.coordinates = h;
    };
    // fn(source, index of the first record in its file, records, count) for consecutive pieces of the
    // records, file after file.
    auto forEachPiece =
        [&](const std::function<void(const Source&, uint64_t, const unsigned char*, uint64_t)>& fn) {
            const uint64_t piece = std::max<uint64_t>(1, (8u << 20) / recLen);
            std::vector<unsigned char> records(std::min(piece, n) * recLen);
            for (Source& s : sources) {
                const uint64_t count = s.header.NumberOfPointRecords;
                uint64_t h = 0;
                for (uint64_t from = 0; from < count; from += piece) {
                    const uint64_t m = std::min(piece, count - from);
                    readRecords(s, from, m, records.data());
                    h = hashCoordinates(records.data(), m, h);
                    shift(s, from, m, records.data());
                    fn(s, from, records.data(), m);
                }
                checkHash(s, h);
            }
        };

    DatasetInfo info;
    info.name = name;
    info.points = n;
    info.recordLength = wireLen;
    std::vector<double> xyz(3 * n);
    const double scale[3] = {first.ScaleFactor_X, first.ScaleFactor_Y, first.ScaleFactor_Z};
    const double offset[3] = {first.OffsetX, first.OffsetY, first.OffsetZ};
    for (int a = 0; a < 3; ++a) {
        info.bounds[2 * a] = std::numeric_limits<double>::infinity();
        info.bounds[2 * a + 1] = -std::numeric_limits<double>::infinity();
    }
    report("read", 0, n);
    forEachPiece([&](const Source& s, uint64_t from, const unsigned char* records, uint64_t count) {
        for (uint64_t i = from; i < from + count; ++i, records += recLen) {
            for (int a = 0; a < 3; ++a) {
                double v = worldCoord(records, a, scale[a], offset[a]);
                if (!std::isfinite(v))
                    fail(s.path + ": point " + std::to_string(i) + " has a non-finite coordinate");
                xyz[3 * (s.first + i) + a] = v;
                info.bounds[2 * a] = std::min(info.bounds[2 * a], v);
                info.bounds[2 * a + 1] = std::max(info.bounds[2 * a + 1], v);
            }
        }
        report("read", s.first + from + count, n);
    });

    // Over all files together, so that points at the edge of one file find their neighbours in the next.
    std::vector<float> normals(3 * n);
    report("normals", 0, n);
    computeNormals(std::move(xyz), neighbours, normals.data(), 0,
                   [&](size_t done, size_t total) { report("normals", done, total); });
    xyz = {};

    report("levels", 0, n);
    std::vector<double> xy(2 * n);
    forEachPiece([&](const Source& s, uint64_t from, const unsigned char* records, uint64_t count) {
        for (uint64_t i = s.first + from; i < s.first + from + count; ++i, records += recLen) {
            xy[2 * i] = worldCoord(records, 0, scale[0], offset[0]);
            xy[2 * i + 1] = worldCoord(records, 1, scale[1], offset[1]);
        }
    });
    LevelAssignment la = assignLevels(xy.data(), n);
    report("levels", n, n);
    for (int l = 0; l < la.levels; ++l)
        info.levels.push_back(makeGrid(la.counts[size_t(l)], info.bounds));
    info.cellsOrderedByX = true;

    std::vector<unsigned char> raw(n * recLen);
    for (Source& s : sources) {
        const uint64_t count = s.header.NumberOfPointRecords;
        unsigned char* at = raw.data() + s.first * recLen;
        if (count == 0)
            continue;
        readRecords(s, 0, count, at);
        checkHash(s, hashCoordinates(at, count, 0));
        shift(s, 0, count, at);
    }

    // Several files are served as one: the first file's header, counting the points of all, with their
    // bounds as found (declared bounds are often stale) and the sum of the declared counts by return.
    if (sources.size() > 1) {
        LASHeader h;
        h.copyFromBuffer(header.data());
        h.NumberOfPointRecords = uint32_t(n);
        for (int r = 0; r < 5; ++r) {
            uint64_t sum = 0;
            for (const Source& s : sources)
                sum += s.header.NumberOfPointsByReturn[r];
            h.NumberOfPointsByReturn[r] = uint32_t(std::min<uint64_t>(sum, UINT32_MAX));
        }
        h.Min_X = info.bounds[0];
        h.Max_X = info.bounds[1];
        h.Min_Y = info.bounds[2];
        h.Max_Y = info.bounds[3];
        h.Min_Z = info.bounds[4];
        h.Max_Z = info.bounds[5];
        h.copyToBuffer(header.data());
    }

    // Everything that can fail on the input has been checked: only now is the data directory touched.
    std::error_code ec;
    const bool createdDataDir = !fs::exists(dataDir, ec) && fs::create_directories(dataDir, ec);
    if (ec)
        fail(dataDir + ": " + ec.message());
    const std::string id = datasetDirName(name).substr(3);
    const std::string final = dataDir + "/" + datasetDirName(name);
    std::string tmp;
    try {
        if (exists(final + "/name") && readWhole(final + "/name") != name)
            fail(final + " holds another data set whose name has the same hash");
        removeStaleTemporaries(dataDir);
        tmp = makeTempDir(dataDir, id, "");
        std::vector<ManifestEntry> manifest;
        auto finish = [&manifest](FileWriter& f) {
            f.finish();
            manifest.push_back(f.entry());
        };
        {
            FileWriter f(tmp + "/name");
            f.write(name);
            finish(f);
        }
        {
            FileWriter f(tmp + "/header");
            f.write(header.data(), header.size());
            finish(f);
        }
        {
            std::string t = "pontaro-dataset 1\npoints " + std::to_string(n) + "\nlevels " +
                            std::to_string(la.levels) + "\nbounds";
            for (double b : info.bounds) {
                t += ' ';
                t += fmt17(b);
            }
            t += "\nrecord " + std::to_string(wireLen) + "\n";
            for (size_t l = 0; l < info.levels.size(); ++l) {
                const DatasetLevel& g = info.levels[l];
                t += "level " + std::to_string(l) + " points " + std::to_string(g.points) + " grid " +
                     std::to_string(g.gridX) + " " + std::to_string(g.gridY) + " cell " + fmt17(g.cell) +
                     " " + fmt17(g.originX) + " " + fmt17(g.originY) + "\n";
            }
            // Last, where readers that do not know it stop reading: the order within cells is theirs to
            // ignore.
            t += "order x\n";
            FileWriter f(tmp + "/levels");
            f.write(t);
            finish(f);
        }

        report("write", 0, n);
        // One counting sort over (level, cell) for all levels.
        std::vector<uint64_t> cellBase(info.levels.size() + 1, 0);
        for (size_t l = 0; l < info.levels.size(); ++l)
            cellBase[l + 1] = cellBase[l] + uint64_t(info.levels[l].gridX) * info.levels[l].gridY;
        std::vector<uint64_t> start(cellBase.back() + 1, 0);
        // Cell numbers stay below 2^32: at most 4096 x 4096 cells in each of at most 16 levels.
        std::vector<uint32_t> cellOf(n);
        for (uint64_t i = 0; i < n; ++i) {
            const DatasetLevel& g = info.levels[la.levelOf[i]];
            cellOf[i] = uint32_t(cellBase[la.levelOf[i]] +
                                 uint64_t(cellCoord(xy[2 * i + 1], g.originY, g.cell, g.gridY)) * g.gridX +
                                 cellCoord(xy[2 * i], g.originX, g.cell, g.gridX));
            ++start[cellOf[i] + 1];
        }
        for (uint64_t c = 0; c + 1 < start.size(); ++c)
            start[c + 1] += start[c];
        // Within a cell, records go in order of world X (ties in input order): a query edge then cuts
        // each cell at one place, found by bisection. Entries are the X key above the input index (a LAS
        // 1.0-1.2 file holds fewer than 2^32 points); the key is raw X, biased to sort as unsigned and
        // inverted where the scale is negative.
        std::vector<uint64_t> order(n);
        {
            const uint32_t flip = scale[0] > 0 ? 0x80000000u : 0x7fffffffu;
            std::vector<uint64_t> next(start.begin(), start.end() - 1);
            for (uint64_t i = 0; i < n; ++i) {
                const uint32_t key = uint32_t(rawCoord(&raw[i * recLen], 0)) ^ flip;
                order[next[cellOf[i]]++] = uint64_t(key) << 32 | i;
            }
        }
        cellOf = {};
        xy = {};
        {
            const unsigned threads = std::max(1u, std::min(16u, std::thread::hardware_concurrency()));
            std::vector<std::thread> sorters;
            const uint64_t cells = start.size() - 1;
            for (unsigned t = 0; t < threads; ++t)
                sorters.emplace_back([&, t] {
                    for (uint64_t c = cells * t / threads; c < cells * (t + 1) / threads; ++c)
                        std::sort(order.begin() + int64_t(start[c]), order.begin() + int64_t(start[c + 1]));
                });
            for (auto& s : sorters)
                s.join();
        }

        uint64_t written = 0;
        std::vector<unsigned char> batch(size_t(1 << 15) * wireLen);
        for (size_t l = 0; l < info.levels.size(); ++l) {
            const uint64_t first = start[cellBase[l]], end = start[cellBase[l + 1]];
            std::string base = tmp + "/level-" + std::to_string(l);
            FileWriter pts(base + ".pts");
            // Wire records assembled in batches: record bytes, then the normal.
            for (uint64_t at = first; at < end;) {
                const uint64_t count = std::min<uint64_t>(1 << 15, end - at);
                unsigned char* out = batch.data();
                for (uint64_t r = at; r < at + count; ++r, out += wireLen) {
                    const uint64_t i = uint32_t(order[r]);
                    std::memcpy(out, &raw[i * recLen], recLen);
                    for (int a = 0; a < 3; ++a) {
                        uint32_t bits;
                        std::memcpy(&bits, &normals[3 * i + a], 4);
                        las_detail::storeLE<uint32_t>(out + recLen + 4 * a, bits);
                    }
                }
                pts.write(batch.data(), count * wireLen);
                at += count;
                written += count;
                report("write", written, n);
            }
            finish(pts);
            FileWriter idx(base + ".idx");
            for (uint64_t c = cellBase[l]; c <= cellBase[l + 1]; ++c) {
                const uint64_t v = start[c] - first;
                unsigned char b[8];
                for (int k = 0; k < 8; ++k)
                    b[k] = uint8_t(v >> (8 * k));
                idx.write(b, 8);
            }
            finish(idx);
        }
        {
            // Last: it vouches for the files above as they were written.
            FileWriter f(tmp + "/" + kManifestFile);
            f.write(formatManifest(manifest));
            f.finish();
        }
        report("write", n, n);
        syncDir(tmp);
        publish(tmp, final, dataDir, id);
        tmp.clear();
        syncDir(dataDir);
    } catch (...) {
        if (!tmp.empty())
            removeTree(tmp);
        if (createdDataDir)
            ::rmdir(dataDir.c_str());
        throw;
    }
    return info;
}

void keepImportMemory() {
    ::mallopt(M_MMAP_MAX, 0);
    ::mallopt(M_TRIM_THRESHOLD, INT_MAX);
}

DatasetInfo readDatasetInfo(const std::string& dir) {
    return parseDatasetInfo(readWhole(dir + "/name"), readWhole(dir + "/levels"), dir);
}

DatasetInfo parseDatasetInfo(const std::string& name, const std::string& levelsText, const std::string& dir) {
    DatasetInfo info;
    info.name = name;
    std::istringstream in(levelsText);
    auto bad = [&]() -> std::runtime_error { return std::runtime_error(dir + "/levels: malformed"); };
    std::string word;
    int version = 0;
    size_t levels = 0;
    if (!(in >> word >> version) || word != "pontaro-dataset" || version != 1)
        throw bad();
    if (!(in >> word >> info.points) || word != "points")
        throw bad();
    if (!(in >> word >> levels) || word != "levels" || levels > 255)
        throw bad();
    if (!(in >> word) || word != "bounds")
        throw bad();
    for (double& b : info.bounds)
        if (!(in >> b))
            throw bad();
    if (!(in >> word >> info.recordLength) || word != "record")
        throw bad();
    for (size_t l = 0; l < levels; ++l) {
        DatasetLevel g;
        std::string w[5];
        size_t index = 0;
        if (!(in >> w[0] >> index >> w[1] >> g.points >> w[2] >> g.gridX >> g.gridY >> w[3] >> g.cell >>
              g.originX >> g.originY) ||
            w[0] != "level" || index != l || w[1] != "points" || w[2] != "grid" || w[3] != "cell")
            throw bad();
        info.levels.push_back(g);
    }
    if (in >> word) {
        if (word != "order" || !(in >> word) || word != "x" || in >> word)
            throw bad();
        info.cellsOrderedByX = true;
    }
    return info;
}

namespace {

std::string hex16(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)v);
    return buf;
}

} // namespace

// "pontaro-manifest 1", one line "CHECKSUM SIZE FILE" per file, and "end CHECKSUM" of the text before it,
// so that a damaged manifest is told apart from the files it describes.
std::string formatManifest(const std::vector<ManifestEntry>& entries) {
    std::string t = "pontaro-manifest 1\n";
    for (const ManifestEntry& e : entries)
        t += hex16(e.checksum) + " " + std::to_string(e.size) + " " + e.file + "\n";
    return t + "end " + hex16(checksum64(t.data(), t.size())) + "\n";
}

std::vector<ManifestEntry> parseManifest(const std::string& text, const std::string& path) {
    auto bad = [&](const std::string& why) { return std::runtime_error(path + ": " + why); };
    const size_t endLine = text.rfind("end ");
    if (text.rfind("pontaro-manifest 1\n", 0) != 0 || endLine == std::string::npos ||
        (endLine > 0 && text[endLine - 1] != '\n'))
        throw bad("malformed");
    auto parseHex = [](std::string_view h, uint64_t& v) {
        const auto r = std::from_chars(h.data(), h.data() + h.size(), v, 16);
        return h.size() == 16 && r.ec == std::errc() && r.ptr == h.data() + h.size();
    };
    uint64_t own = 0;
    if (text.size() != endLine + 4 + 16 + 1 || text.back() != '\n' ||
        !parseHex(std::string_view(text).substr(endLine + 4, 16), own))
        throw bad("malformed");
    if (own != checksum64(text.data(), endLine))
        throw bad("damaged (it does not match its own checksum)");
    std::vector<ManifestEntry> entries;
    std::istringstream in(text.substr(0, endLine));
    std::string line;
    std::getline(in, line); // the first line, checked above
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sum, rest;
        ManifestEntry e;
        if (!(fields >> sum >> e.size >> e.file) || !parseHex(sum, e.checksum) || fields >> rest ||
            e.file.find('/') != std::string::npos)
            throw bad("malformed");
        entries.push_back(std::move(e));
    }
    return entries;
}
