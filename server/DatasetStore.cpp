// Loading data set directories for serving: map every level and check every size and index entry once,
// so that serving needs no further bounds checks.
#include "DatasetStore.h"

#include "DatasetFiles.h"
#include "DatasetFormat.h"
#include "LASHeader.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::atomic<LevelReads> levelReadsOfNewLoads{LevelReads::Advised};

const size_t kPageBytes = size_t(::sysconf(_SC_PAGESIZE));
// The kernel reads at most its readahead window (or the device's largest request) of one request to read
// ahead and drops the rest: larger ranges are asked for in pieces no window is smaller than.
constexpr uint64_t kWillNeedPieceBytes = 128 << 10;
// Pages asked for are remembered for the rest of a period this long, 56 pages to a word beside its period.
constexpr std::chrono::seconds kAskedPeriod{2};
constexpr uint64_t kAskedWordPages = 56;
constexpr uint64_t kAskedBits = (uint64_t(1) << kAskedWordPages) - 1;

} // namespace

void setLevelReads(LevelReads reads) {
    levelReadsOfNewLoads = reads;
}

LevelReads levelReads() {
    return levelReadsOfNewLoads;
}

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
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), asked_(std::move(o.asked_)) {}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
    if (this != &o) {
        if (data_)
            ::munmap(const_cast<unsigned char*>(data_), size_);
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        asked_ = std::move(o.asked_);
    }
    return *this;
}

MappedFile::~MappedFile() {
    if (data_)
        ::munmap(const_cast<unsigned char*>(data_), size_);
}

void MappedFile::expect(Access access) {
    if (!data_)
        return;
    const int advice = access == Access::Random       ? MADV_RANDOM
                       : access == Access::Sequential ? MADV_SEQUENTIAL
                                                      : MADV_NORMAL;
    ::madvise(const_cast<unsigned char*>(data_), size_, advice);
    if (access == Access::Random && !asked_) {
        const size_t words = (size_ + kPageBytes - 1) / kPageBytes / kAskedWordPages + 1;
        asked_ = std::make_unique<std::atomic<uint64_t>[]>(words); // zero: no page asked for
    }
}

bool MappedFile::askedLately(uint64_t firstPage, uint64_t lastPage) const {
    timespec now{}; // the coarse clock: a few nanoseconds, where the precise one takes tens
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    const uint64_t period = uint64_t(now.tv_sec / kAskedPeriod.count()) & 0xff;
    bool all = true;
    for (uint64_t w = firstPage / kAskedWordPages; w <= lastPage / kAskedWordPages; ++w) {
        const uint64_t base = w * kAskedWordPages;
        const uint64_t lo = std::max(firstPage, base) - base,
                       hi = std::min(lastPage, base + kAskedWordPages - 1) - base;
        const uint64_t mask = ((uint64_t(2) << (hi - lo)) - 1) << lo;
        std::atomic<uint64_t>& word = asked_[w];
        uint64_t old = word.load(std::memory_order_relaxed);
        for (;;) {
            const uint64_t bits = (old >> kAskedWordPages) == period ? old & kAskedBits : 0;
            if ((bits & mask) == mask)
                break;
            all = false;
            if (word.compare_exchange_weak(old, (period << kAskedWordPages) | bits | mask,
                                           std::memory_order_relaxed))
                break;
        }
    }
    return all;
}

void MappedFile::willNeed(uint64_t offset, uint64_t length) const {
    if (offset >= size_ || length == 0)
        return;
    const uint64_t end = std::min<uint64_t>(size_, offset + length);
    if (asked_ && askedLately(offset / kPageBytes, (end - 1) / kPageBytes))
        return;
    for (uint64_t at = offset / kPageBytes * kPageBytes; at < end;) {
        const uint64_t stop = std::min(end, at + kWillNeedPieceBytes);
        ::madvise(const_cast<unsigned char*>(data_) + at, size_t(stop - at), MADV_WILLNEED);
        at = stop;
    }
}

uint64_t ServedLevel::cellStart(uint64_t cell) const {
    return cellIndexEntry(cellIndex.data(), cell);
}

namespace {

// The grid a level was imported with covers the data set's bounds from their minimum, with no column or
// row to spare: a cell size, origin or count changed since no longer does, unless by a rounding's worth.
bool gridFits(double origin, double cell, uint32_t count, double lo, double hi) {
    const double width = hi - lo;
    const double slack = 1e-12 * std::max({std::abs(lo), std::abs(hi), double(count) * cell});
    return origin == lo && width >= 0 && double(count) * cell >= width - slack &&
           (count == 1 || double(count - 1) * cell < width + slack);
}

// Each record must lie in the cell the index files it under, as serving relies on: checked for the records
// of every cell, or of a sample of 64 cells spread over the level (a few pages, at load), which a changed
// cell size, origin or grid all but always fails.
void checkRecordsInCells(const ServedLevel& lv, const Dataset& ds, const std::string& path, bool everyCell) {
    const uint32_t length = ds.info.recordLength;
    const uint64_t cells = uint64_t(lv.grid.gridX) * lv.grid.gridY;
    const uint64_t step = everyCell ? 1 : std::max<uint64_t>(1, cells / 64);
    if (lv.advised && !everyCell) // the sampled cells' pages read together, not one fault at a time
        for (uint64_t c = step / 2; c < cells; c += step)
            lv.records.willNeed(lv.cellStart(c) * length, (lv.cellStart(c + 1) - lv.cellStart(c)) * length);
    for (uint64_t c = step / 2; c < cells; c += step)
        for (uint64_t r = lv.cellStart(c), end = lv.cellStart(c + 1); r < end; ++r) {
            const unsigned char* record = lv.records.data() + r * length;
            const uint64_t x = cellCoord(worldCoord(record, 0, ds.scale[0], ds.offset[0]), lv.grid.originX,
                                         lv.grid.cell, lv.grid.gridX);
            const uint64_t y = cellCoord(worldCoord(record, 1, ds.scale[1], ds.offset[1]), lv.grid.originY,
                                         lv.grid.cell, lv.grid.gridY);
            if (y * lv.grid.gridX + x != c)
                fail(path + ": record " + std::to_string(r) + " lies outside cell " + std::to_string(c) +
                     ", where the index files it");
        }
}

} // namespace

std::shared_ptr<const Dataset> DatasetStore::loadDataset(const std::string& dir, bool checkRecords) {
    auto ds = std::make_shared<Dataset>();
    const std::string nameText = readDatasetFile(dir + "/" + kNameFile),
                      levelsText = readDatasetFile(dir + "/" + kLevelsFile);
    std::string headerText = readDatasetFile(dir + "/" + kHeaderFile);

    // The manifest vouches for every file as the import wrote it.
    const ManifestCheck manifest(dir);
    if (!manifest.present())
        ds->note = dir + ": no checksums (imported before they were kept): only the consistency of its files "
                         "is checked; import it again to have them";
    auto checkAll = [&](const std::string& file, const void* data, size_t size) {
        if (manifest.checkAll(file, data, size))
            ++ds->filesChecksummed;
    };
    // The small files first: what they say decides how the large ones are read.
    checkAll(kNameFile, nameText.data(), nameText.size());
    checkAll(kLevelsFile, levelsText.data(), levelsText.size());
    checkAll(kHeaderFile, headerText.data(), headerText.size());

    ds->info = parseDatasetInfo(nameText, levelsText, dir);
    const DatasetInfo& info = ds->info;
    if (datasetDirName(info.name) != std::filesystem::path(dir).filename().string())
        fail(dir + ": directory name does not match data set name '" + info.name + "'");
    if (info.levels.empty())
        fail(dir + ": no levels");

    ds->header.assign(headerText.begin(), headerText.end());
    if (ds->header.size() < size_t(LASHeader::BlockSize))
        fail(dir + "/" + kHeaderFile + ": shorter than a LAS header");
    LASHeader h;
    h.copyFromBuffer(ds->header.data());
    // Served headers must pass the viewer's check, which is every LAS entry point's.
    if (const std::string problem = h.Problem(); !problem.empty())
        fail(dir + "/" + kHeaderFile + ": " + problem);
    if (uint32_t(h.PointDataRecordLength) + kNormalBytes != info.recordLength)
        fail(dir + "/" + kHeaderFile + ": does not describe the data set's records (" +
             std::to_string(h.PointDataRecordLength) + "-byte records; the levels hold " +
             std::to_string(info.recordLength) + "-byte ones with their normals)");
    if (h.NumberOfPointRecords != info.points)
        fail(dir + "/" + kHeaderFile + ": declares " + std::to_string(h.NumberOfPointRecords) +
             " points; the data set holds " + std::to_string(info.points));
    // The header reply is the block as declared (never shorter than the fixed block).
    ds->header.resize(
        std::max<size_t>(LASHeader::BlockSize, std::min<size_t>(h.HeaderSize, ds->header.size())));
    const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    const double offset[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    for (int a = 0; a < 3; ++a) {
        ds->scale[a] = scale[a];
        ds->offset[a] = offset[a];
    }

    const LevelReads reads = levelReads();
    uint64_t total = 0;
    for (size_t l = 0; l < info.levels.size(); ++l) {
        ServedLevel lv;
        lv.grid = info.levels[l];
        const std::string recordsFile = levelRecordsFile(l), indexFile = levelIndexFile(l);
        const uint64_t cells = uint64_t(lv.grid.gridX) * lv.grid.gridY;
        if (lv.grid.gridX == 0 || lv.grid.gridY == 0 || cells > (uint64_t(1) << 26) || !(lv.grid.cell > 0) ||
            !std::isfinite(lv.grid.cell) || !std::isfinite(lv.grid.originX) ||
            !std::isfinite(lv.grid.originY))
            fail(dir + "/" + kLevelsFile + ": level " + std::to_string(l) + " has an unusable grid");
        if (!gridFits(lv.grid.originX, lv.grid.cell, lv.grid.gridX, info.bounds[0], info.bounds[1]) ||
            !gridFits(lv.grid.originY, lv.grid.cell, lv.grid.gridY, info.bounds[2], info.bounds[3]))
            fail(dir + "/" + kLevelsFile + ": level " + std::to_string(l) + "'s grid (" +
                 std::to_string(lv.grid.gridX) + " x " + std::to_string(lv.grid.gridY) +
                 " cells) does not fit the data set's bounds");
        const std::string recordsPath = dir + "/" + recordsFile, indexPath = dir + "/" + indexFile;
        lv.records = MappedFile(recordsPath);
        lv.cellIndex = MappedFile(indexPath);
        // The checks read the index whole and the records whole or at a few cells: the index, and records
        // read whole, in order; sampled cells page by page, not megabytes around each.
        lv.advised = reads == LevelReads::Advised;
        if (lv.advised)
            lv.records.expect(checkRecords ? MappedFile::Access::Sequential : MappedFile::Access::Random);
        checkLevelFiles(recordsPath, indexPath, lv.grid, info.recordLength, lv.records.size(),
                        lv.cellIndex.data(), lv.cellIndex.size());
        checkAll(indexFile, lv.cellIndex.data(), lv.cellIndex.size());
        manifest.checkSize(recordsFile, lv.records.size());
        if (checkRecords)
            checkAll(recordsFile, lv.records.data(), lv.records.size());
        checkRecordsInCells(lv, *ds, recordsPath, checkRecords && !manifest.present());
        if (lv.advised) {
            lv.records.expect(MappedFile::Access::Random);
            lv.cellIndex.expect(MappedFile::Access::Random);
        }
        total += lv.grid.points;
        ds->levels.push_back(std::move(lv));
    }
    if (total != info.points)
        fail(dir + "/" + kLevelsFile + ": level point counts do not add up to " +
             std::to_string(info.points));
    return ds;
}

std::vector<std::string> DatasetStore::datasetDirs(const std::string& dataDir) {
    std::error_code ec;
    std::vector<std::string> dirs;
    for (auto it = std::filesystem::directory_iterator(dataDir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string entry = it->path().filename().string();
        std::error_code dec;
        if (entry.rfind(kDatasetDirPrefix, 0) == 0 && it->is_directory(dec))
            dirs.push_back(it->path().string());
    }
    if (ec)
        fail(dataDir + ": " + ec.message());
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

DatasetStore DatasetStore::load(const std::string& dataDir, std::vector<std::string>* problems,
                                bool checkRecords, std::vector<std::string>* notes) {
    DatasetStore store;
    for (const auto& d : datasetDirs(dataDir)) {
        try {
            auto ds = loadDataset(d, checkRecords);
            if (notes && !ds->note.empty())
                notes->push_back(ds->note);
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
