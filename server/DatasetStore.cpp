// Loading data set directories for serving: map every level and check every size and index entry once,
// so that serving needs no further bounds checks.
#include "DatasetStore.h"

#include "LASHeader.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

uint64_t readLE64(const unsigned char* p) {
    uint64_t v = 0;
    for (int k = 7; k >= 0; --k)
        v = v << 8 | p[k];
    return v;
}

} // namespace

MappedFile::MappedFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(path + ": " + std::strerror(errno));
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        fail(path + ": " + std::strerror(e));
    }
    size_ = size_t(st.st_size);
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            int e = errno;
            ::close(fd);
            fail(path + ": cannot map (" + std::strerror(e) + ")");
        }
        data_ = static_cast<const unsigned char*>(p);
    }
    ::close(fd);
}

MappedFile::MappedFile(MappedFile&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
    if (this != &o) {
        if (data_)
            ::munmap(const_cast<unsigned char*>(data_), size_);
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
    }
    return *this;
}

MappedFile::~MappedFile() {
    if (data_)
        ::munmap(const_cast<unsigned char*>(data_), size_);
}

uint64_t ServedLevel::cellStart(uint64_t cell) const {
    return readLE64(cellIndex.data() + 8 * cell);
}

std::shared_ptr<const Dataset> DatasetStore::loadDataset(const std::string& dir) {
    auto ds = std::make_shared<Dataset>();
    ds->info = readDatasetInfo(dir);
    const DatasetInfo& info = ds->info;
    if (info.levels.empty())
        fail(dir + ": no levels");

    {
        std::ifstream in(dir + "/header", std::ios::binary);
        if (!in)
            fail(dir + "/header: cannot read");
        ds->header.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (ds->header.size() < size_t(LASHeader::BlockSize))
        fail(dir + "/header: shorter than a LAS header");
    LASHeader h;
    h.copyFromBuffer(ds->header.data());
    if (std::memcmp(h.FileSignature, "LASF", 4) != 0 || h.PointDataFormatID > 3 ||
        h.PointDataRecordLength < h.FormatRecordSize() || uint32_t(h.PointDataRecordLength) + 12 != info.recordLength)
        fail(dir + "/header: does not describe the data set's records");
    // The header reply is the block as declared (never shorter than the fixed block).
    ds->header.resize(std::max<size_t>(LASHeader::BlockSize, std::min<size_t>(h.HeaderSize, ds->header.size())));
    const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    const double offset[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    for (int a = 0; a < 3; ++a) {
        if (!std::isfinite(scale[a]) || scale[a] == 0 || !std::isfinite(offset[a]))
            fail(dir + "/header: unusable scale or offset");
        ds->scale[a] = scale[a];
        ds->offset[a] = offset[a];
    }

    uint64_t total = 0;
    for (size_t l = 0; l < info.levels.size(); ++l) {
        ServedLevel lv;
        lv.grid = info.levels[l];
        const std::string base = dir + "/level-" + std::to_string(l);
        const uint64_t cells = uint64_t(lv.grid.gridX) * lv.grid.gridY;
        if (lv.grid.gridX == 0 || lv.grid.gridY == 0 || cells > (uint64_t(1) << 26) || !(lv.grid.cell > 0) ||
            !std::isfinite(lv.grid.cell) || !std::isfinite(lv.grid.originX) || !std::isfinite(lv.grid.originY))
            fail(dir + "/levels: level " + std::to_string(l) + " has an unusable grid");
        lv.records = MappedFile(base + ".pts");
        lv.cellIndex = MappedFile(base + ".idx");
        if (lv.grid.points > lv.records.size() / info.recordLength ||
            lv.records.size() != lv.grid.points * info.recordLength)
            fail(base + ".pts: size does not match " + std::to_string(lv.grid.points) + " records");
        if (lv.cellIndex.size() != (cells + 1) * 8)
            fail(base + ".idx: size does not match the grid");
        uint64_t prev = 0;
        for (uint64_t c = 0; c <= cells; ++c) {
            uint64_t v = lv.cellStart(c);
            if (v < prev || (c == 0 && v != 0) || v > lv.grid.points)
                fail(base + ".idx: entry " + std::to_string(c) + " is out of order");
            prev = v;
        }
        if (prev != lv.grid.points)
            fail(base + ".idx: does not end at the level's point count");
        total += lv.grid.points;
        ds->levels.push_back(std::move(lv));
    }
    if (total != info.points)
        fail(dir + "/levels: level point counts do not add up to " + std::to_string(info.points));
    return ds;
}

DatasetStore DatasetStore::load(const std::string& dataDir, std::vector<std::string>* problems) {
    DatasetStore store;
    std::error_code ec;
    std::vector<std::string> dirs;
    for (auto it = std::filesystem::directory_iterator(dataDir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string entry = it->path().filename().string();
        std::error_code dec;
        if (entry.rfind("ds-", 0) == 0 && it->is_directory(dec))
            dirs.push_back(it->path().string());
    }
    if (ec)
        fail(dataDir + ": " + ec.message());
    for (const auto& d : dirs) {
        try {
            auto ds = loadDataset(d);
            if (datasetDirName(ds->info.name) != std::filesystem::path(d).filename().string())
                fail(d + ": directory name does not match data set name '" + ds->info.name + "'");
            store.sets_[ds->info.name] = std::move(ds);
        } catch (const std::exception& e) {
            if (problems)
                problems->push_back(e.what());
        }
    }
    return store;
}

std::shared_ptr<const Dataset> DatasetStore::find(const std::string& name) const {
    auto it = sets_.find(name);
    return it == sets_.end() ? nullptr : it->second;
}

std::vector<std::string> DatasetStore::names() const {
    std::vector<std::string> out;
    for (const auto& [name, ds] : sets_)
        out.push_back(name);
    return out;
}
