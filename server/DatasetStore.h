#pragma once
// The data sets a server holds: every data set of a data directory, its levels memory-mapped and
// checked once at load, so that a query can never read outside a mapping, and its files compared with
// the checksums of their import, so that damage is refused instead of served.
#include "DatasetFiles.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// How the level files of data sets loaded from then on are read. `Advised`, the default: a fault reads
// only its own page, and each reply asks for the bytes it is about to send, a window at a time, so that a
// data set far larger than memory is served without reading (and caching, in place of pages in use) what
// nobody asked for. `Kernel` leaves it to the kernel's readahead, which reads a wide window around every
// fault; measurements compare against it.
enum class LevelReads { Advised, Kernel };
void setLevelReads(LevelReads reads);
LevelReads levelReads();

// A read-only mapping of a whole file (empty files map to nothing).
class MappedFile {
public:
    MappedFile() = default;
    explicit MappedFile(const std::string& path); // throws std::runtime_error
    MappedFile(MappedFile&& o) noexcept;
    MappedFile& operator=(MappedFile&& o) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();
    const unsigned char* data() const { return data_; }
    size_t size() const { return size_; }

    enum class Access { Normal, Sequential, Random };
    // How the mapping will be read, for the kernel's readahead on faults; a hint, ignored where refused.
    void expect(Access access);
    // Starts reading the whole pages holding [offset, offset + length) without waiting for them. Once random
    // access is expected, pages asked for within the last few seconds are not asked for again: asking costs
    // a system call, cached or not, and pages read moments ago are all but always still cached (were one
    // not, touching it reads just that page).
    void willNeed(uint64_t offset, uint64_t length) const;

private:
    bool askedLately(uint64_t firstPage, uint64_t lastPage) const; // and marks them asked for now

    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
    // Per 56 pages, those asked for in a period of a few seconds, and that period (mod 256) in the top byte:
    // bits of an earlier period count as unset.
    std::unique_ptr<std::atomic<uint64_t>[]> asked_;
};

struct ServedLevel {
    DatasetLevel grid;
    MappedFile records;   // grid.points wire records, cell after cell, row-major (see cellsOrderedByX)
    MappedFile cellIndex; // gridX * gridY + 1 little-endian uint64: first record of each cell, then the count
    bool advised = false; // read as LevelReads::Advised says (both files expect random access)
    uint64_t cellStart(uint64_t cell) const;
};

struct Dataset {
    DatasetInfo info;
    std::vector<unsigned char> header; // the public header block as the input declared it
    double scale[3] = {}, offset[3] = {};
    std::vector<ServedLevel> levels;
    size_t filesChecksummed = 0; // files compared with the manifest's checksums at load
    std::string note;            // what a user should know about a data set that loaded: "" or a remark
};

class DatasetStore {
public:
    // Loads every data set directory of dataDir. A data set that fails its checks is skipped and its
    // reason added to `problems`; the notes of those that load go to `notes`. A data directory that cannot
    // be read throws std::runtime_error. With `checkRecords`, see loadDataset.
    static DatasetStore load(const std::string& dataDir, std::vector<std::string>* problems = nullptr,
                             bool checkRecords = false, std::vector<std::string>* notes = nullptr);
    // Loads one data set directory; throws std::runtime_error naming what is wrong. Every file is checked
    // for consistency with the others (sizes, grids against the bounds, the index against the records);
    // the small files, the indexes included, are also compared with their checksums of the import, and
    // with `checkRecords` so are the level records (reading them all). A data set without a manifest
    // (imported before one was written) loads with a note saying so.
    static std::shared_ptr<const Dataset> loadDataset(const std::string& datasetDir,
                                                      bool checkRecords = false);
    // The data set directories of dataDir ("ds-..."), sorted; throws std::runtime_error when it cannot be
    // read.
    static std::vector<std::string> datasetDirs(const std::string& dataDir);

    std::shared_ptr<const Dataset> find(const std::string& name) const; // null when unknown
    std::vector<std::string> names() const;                             // sorted
    size_t size() const { return sets_.size(); }

private:
    std::map<std::string, std::shared_ptr<const Dataset>> sets_;
};
