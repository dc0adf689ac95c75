#pragma once
// The data sets a server holds: every data set of a data directory, its levels memory-mapped and
// checked once at load, so that a query can never read outside a mapping.
#include "DatasetImport.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

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

private:
    const unsigned char* data_ = nullptr;
    size_t size_ = 0;
};

struct ServedLevel {
    DatasetLevel grid;
    MappedFile records;   // grid.points wire records, cell after cell, row-major (see cellsOrderedByX)
    MappedFile cellIndex; // gridX * gridY + 1 little-endian uint64: first record of each cell, then the count
    uint64_t cellStart(uint64_t cell) const;
};

struct Dataset {
    DatasetInfo info;
    std::vector<unsigned char> header; // the public header block as the input declared it
    double scale[3] = {}, offset[3] = {};
    std::vector<ServedLevel> levels;
};

class DatasetStore {
public:
    // Loads every data set directory of dataDir. A data set that fails its checks is skipped and its
    // reason added to `problems`; a data directory that cannot be read throws std::runtime_error.
    static DatasetStore load(const std::string& dataDir, std::vector<std::string>* problems = nullptr);
    // Loads one data set directory; throws std::runtime_error naming what is wrong.
    static std::shared_ptr<const Dataset> loadDataset(const std::string& datasetDir);

    std::shared_ptr<const Dataset> find(const std::string& name) const; // null when unknown
    std::vector<std::string> names() const; // sorted
    size_t size() const { return sets_.size(); }

private:
    std::map<std::string, std::shared_ptr<const Dataset>> sets_;
};
