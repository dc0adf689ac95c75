// A data set directory's files: writing them as the import does, reading and checking them as the store
// does.
#include "DatasetFiles.h"
#include "DatasetFormat.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

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

std::string hex16(uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", (unsigned long long)v);
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

constexpr size_t kIndexEntry = 8;

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
    return kDatasetDirPrefix + hex16(fnv1a64(name));
}

std::string levelRecordsFile(size_t level) {
    return "level-" + std::to_string(level) + ".pts";
}

std::string levelIndexFile(size_t level) {
    return "level-" + std::to_string(level) + ".idx";
}

void storeNormal(unsigned char* out, const float* normal) {
    for (int a = 0; a < 3; ++a) {
        uint32_t bits;
        std::memcpy(&bits, &normal[a], 4);
        las_detail::storeLE<uint32_t>(out + 4 * a, bits);
    }
}

uint64_t cellIndexEntry(const unsigned char* index, uint64_t cell) {
    return las_detail::loadLE<uint64_t>(index + kIndexEntry * cell);
}

std::string readDatasetFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(path + ": cannot read");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

DatasetInfo readDatasetInfo(const std::string& dir) {
    return parseDatasetInfo(readDatasetFile(dir + "/" + kNameFile), readDatasetFile(dir + "/" + kLevelsFile),
                            dir);
}

std::string formatLevels(const DatasetInfo& info) {
    std::string t = "pontaro-dataset 1\npoints " + std::to_string(info.points) + "\nlevels " +
                    std::to_string(info.levels.size()) + "\nbounds";
    for (double b : info.bounds) {
        t += ' ';
        t += fmt17(b);
    }
    t += "\nrecord " + std::to_string(info.recordLength) + "\n";
    for (size_t l = 0; l < info.levels.size(); ++l) {
        const DatasetLevel& g = info.levels[l];
        t += "level " + std::to_string(l) + " points " + std::to_string(g.points) + " grid " +
             std::to_string(g.gridX) + " " + std::to_string(g.gridY) + " cell " + fmt17(g.cell) + " " +
             fmt17(g.originX) + " " + fmt17(g.originY) + "\n";
    }
    // Last, where readers that do not know it stop reading: the order within cells is theirs to ignore.
    if (info.cellsOrderedByX)
        t += "order x\n";
    return t;
}

DatasetInfo parseDatasetInfo(const std::string& name, const std::string& levelsText, const std::string& dir) {
    DatasetInfo info;
    info.name = name;
    std::istringstream in(levelsText);
    auto bad = [&]() -> std::runtime_error {
        return std::runtime_error(dir + "/" + kLevelsFile + ": malformed");
    };
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

ManifestCheck::ManifestCheck(const std::string& datasetDir)
    : dir_(datasetDir), path_(datasetDir + "/" + kManifestFile) {
    struct stat st;
    present_ = ::stat(path_.c_str(), &st) == 0;
    if (present_)
        entries_ = parseManifest(readDatasetFile(path_), path_);
}

const ManifestEntry& ManifestCheck::entry(const std::string& file) const {
    for (const ManifestEntry& e : entries_)
        if (e.file == file)
            return e;
    fail(path_ + ": does not list " + file);
}

void ManifestCheck::checkSize(const std::string& file, uint64_t size) const {
    if (present_ && entry(file).size != size)
        fail(dir_ + "/" + file + ": " + std::to_string(size) + " bytes, but " +
             std::to_string(entry(file).size) + " as the import wrote it (changed or damaged since)");
}

bool ManifestCheck::checkAll(const std::string& file, const void* data, size_t size) const {
    if (!present_)
        return false;
    checkSize(file, size);
    if (checksum64(data, size) != entry(file).checksum)
        fail(dir_ + "/" + file + ": differs from the file the import wrote (changed or damaged since)");
    return true;
}

void checkLevelFiles(const std::string& recordsPath, const std::string& indexPath, const DatasetLevel& grid,
                     uint32_t recordLength, size_t recordsSize, const unsigned char* index,
                     size_t indexSize) {
    const uint64_t cells = uint64_t(grid.gridX) * grid.gridY;
    if (grid.points > recordsSize / recordLength || recordsSize != grid.points * recordLength)
        fail(recordsPath + ": size does not match " + std::to_string(grid.points) + " records");
    if (indexSize != (cells + 1) * kIndexEntry)
        fail(indexPath + ": size does not match the grid");
    uint64_t prev = 0;
    for (uint64_t c = 0; c <= cells; ++c) {
        const uint64_t v = cellIndexEntry(index, c);
        if (v < prev || (c == 0 && v != 0) || v > grid.points)
            fail(indexPath + ": entry " + std::to_string(c) + " is out of order");
        prev = v;
    }
    if (prev != grid.points)
        fail(indexPath + ": does not end at the level's point count");
}

void syncDirectory(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        fail(sysError(path));
}

// Writes a file past the page cache (O_DIRECT) where the file system allows it: putting hundreds of
// megabytes of level files through the page cache costs far more processor time than the disk takes to
// write them, and would push out what the server has cached. Falls back to ordinary writes. finish()
// pads the last block for the device, cuts the file back to its size, fsyncs and closes, reporting any
// failure.
class DatasetWriter::File {
public:
    static constexpr size_t kBlock = 4096, kBuffer = size_t(4) << 20;

    File(std::string path, std::string name)
        : path_(std::move(path)), name_(std::move(name)),
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
    // The file's entry in the data set's manifest, once finished.
    ManifestEntry entry() const { return {name_, written_, checksum_.digest()}; }
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
    std::string path_, name_;
    Fd fd_;
    std::unique_ptr<unsigned char, Free> buf_;
    Checksum64 checksum_;
    size_t used_ = 0;
    uint64_t written_ = 0;
    bool direct_ = true, padded_ = false;
};

DatasetWriter::DatasetWriter(std::string dir) : dir_(std::move(dir)) {}

DatasetWriter::~DatasetWriter() = default;

void DatasetWriter::writeWhole(const std::string& file, const void* data, size_t size) {
    File f(dir_ + "/" + file, file);
    f.write(data, size);
    f.finish();
    manifest_.push_back(f.entry());
}

void DatasetWriter::writeName(const std::string& name) {
    writeWhole(kNameFile, name.data(), name.size());
}

void DatasetWriter::writeHeader(const std::vector<unsigned char>& header) {
    writeWhole(kHeaderFile, header.data(), header.size());
}

void DatasetWriter::writeLevels(const DatasetInfo& info) {
    const std::string t = formatLevels(info);
    writeWhole(kLevelsFile, t.data(), t.size());
}

void DatasetWriter::beginRecords(size_t level) {
    const std::string file = levelRecordsFile(level);
    records_ = std::make_unique<File>(dir_ + "/" + file, file);
}

void DatasetWriter::writeRecords(const void* data, size_t size) {
    records_->write(data, size);
}

void DatasetWriter::endRecords() {
    records_->finish();
    manifest_.push_back(records_->entry());
    records_.reset();
}

void DatasetWriter::writeIndex(size_t level, const uint64_t* cellStarts, uint64_t cells) {
    writeIndex(level, cells, [&](uint64_t first, uint64_t count, uint64_t* starts) {
        for (uint64_t k = 0; k < count; ++k)
            starts[k] = cellStarts[first + k] - cellStarts[0];
    });
}

void DatasetWriter::writeIndex(
    size_t level, uint64_t cells,
    const std::function<void(uint64_t first, uint64_t count, uint64_t* starts)>& piece) {
    // In pieces: a level's index may be a hundred megabytes, at the import's peak of memory.
    const std::string file = levelIndexFile(level);
    File f(dir_ + "/" + file, file);
    constexpr uint64_t kPiece = 4096;
    uint64_t starts[kPiece];
    unsigned char bytes[kIndexEntry * kPiece];
    for (uint64_t c = 0; c <= cells;) {
        const uint64_t m = std::min<uint64_t>(kPiece, cells + 1 - c);
        piece(c, m, starts);
        for (uint64_t k = 0; k < m; ++k)
            las_detail::storeLE<uint64_t>(bytes + kIndexEntry * k, starts[k]);
        f.write(bytes, size_t(m) * kIndexEntry);
        c += m;
    }
    f.finish();
    manifest_.push_back(f.entry());
}

void DatasetWriter::writeManifest() {
    const std::string t = formatManifest(manifest_);
    File f(dir_ + "/" + kManifestFile, kManifestFile);
    f.write(t.data(), t.size());
    f.finish();
}
