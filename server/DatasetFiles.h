#pragma once
// A data set directory's files, in one place for the import that writes them and the store that reads
// them: their names, layouts and the checks made on them.
//
//   "name"         the data set's name, as given
//   "header"       the LAS header block (and what follows it up to the records) served for the data set
//   "levels"       text: the point count, bounds, wire record length and each level's grid
//   "level-L.pts"  level L's wire records (LAS record, then the normal as 3 little-endian floats), cell
//                  after cell, row-major
//   "level-L.idx"  gridX * gridY + 1 little-endian uint64: the first record of each cell, then the count
//   "manifest"     size and checksum of each file above, written last
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct DatasetLevel {
    uint64_t points = 0;
    uint32_t gridX = 1, gridY = 1;
    double cell = 1, originX = 0, originY = 0;
};

struct DatasetInfo {
    std::string name;
    uint64_t points = 0;
    double bounds[6] = {}; // minX maxX minY maxY minZ maxZ
    uint32_t recordLength = 0;
    std::vector<DatasetLevel> levels;
    // Records within each cell in order of world X (ties in input order). Data sets written before this
    // order was kept hold their cells' records in input order.
    bool cellsOrderedByX = false;
};

uint64_t fnv1a64(std::string_view bytes);
constexpr const char* kDatasetDirPrefix = "ds-";
// "ds-" and the 16 lowercase hex digits of the name's FNV-1a 64 hash: names never become paths.
std::string datasetDirName(const std::string& name);

constexpr const char* kNameFile = "name";
constexpr const char* kHeaderFile = "header";
constexpr const char* kLevelsFile = "levels";
constexpr const char* kManifestFile = "manifest";
std::string levelRecordsFile(size_t level); // "level-L.pts"
std::string levelIndexFile(size_t level);   // "level-L.idx"

// A wire record is the LAS record followed by its normal.
constexpr uint32_t kNormalBytes = 12;
// Stores a normal's three floats at `out` as the wire record carries them.
void storeNormal(unsigned char* out, const float* normal);

// Entry `cell` of a level's cell index.
uint64_t cellIndexEntry(const unsigned char* index, uint64_t cell);

// The whole file; throws std::runtime_error "PATH: cannot read".
std::string readDatasetFile(const std::string& path);

// Reads a data set directory's `name` and `levels` files; throws std::runtime_error when malformed.
DatasetInfo readDatasetInfo(const std::string& datasetDir);
// The same from the two files' contents; messages name datasetDir's files.
DatasetInfo parseDatasetInfo(const std::string& name, const std::string& levels,
                             const std::string& datasetDir);
// The "levels" text of `info`.
std::string formatLevels(const DatasetInfo& info);

// The data set's "manifest": size and checksum (Checksum64) of each of its files, written last into the
// directory before it is renamed into place, so that damage found later can be told from a data set as
// imported. Data sets imported before it was kept have none.
struct ManifestEntry {
    std::string file; // name within the data set directory
    uint64_t size = 0;
    uint64_t checksum = 0;
};
std::string formatManifest(const std::vector<ManifestEntry>& entries);
// Throws std::runtime_error naming `path` when the text is malformed or fails its own checksum.
std::vector<ManifestEntry> parseManifest(const std::string& text, const std::string& path);

// A data set directory's files compared with its manifest. Without a manifest every check passes.
class ManifestCheck {
public:
    explicit ManifestCheck(const std::string& datasetDir); // reads and parses the manifest if there is one
    bool present() const { return present_; }
    // Throws std::runtime_error naming the file when its size is not the size the import wrote.
    void checkSize(const std::string& file, uint64_t size) const;
    // Size and checksum; returns whether the file was compared (there is a manifest).
    bool checkAll(const std::string& file, const void* data, size_t size) const;

private:
    const ManifestEntry& entry(const std::string& file) const;
    std::string dir_, path_;
    bool present_ = false;
    std::vector<ManifestEntry> entries_;
};

// Checks a level's files against its grid and point count: sizes, and an index that starts at 0, never
// decreases and ends at the point count. Throws std::runtime_error naming the file.
void checkLevelFiles(const std::string& recordsPath, const std::string& indexPath, const DatasetLevel& grid,
                     uint32_t recordLength, size_t recordsSize, const unsigned char* index, size_t indexSize);

// Fsyncs a directory, so that the names within it last; throws std::runtime_error naming it.
void syncDirectory(const std::string& path);

// Writes the files of a data set into an empty directory, each fsynced, and the manifest of them last.
// Files are written past the page cache where the file system allows it.
class DatasetWriter {
public:
    explicit DatasetWriter(std::string dir);
    ~DatasetWriter();
    DatasetWriter(const DatasetWriter&) = delete;
    DatasetWriter& operator=(const DatasetWriter&) = delete;

    void writeName(const std::string& name);
    void writeHeader(const std::vector<unsigned char>& header);
    void writeLevels(const DatasetInfo& info);
    // Level files: the records in pieces, then the index from the cells' first records (`cells` + 1
    // values, counted from the level's first record, the last one past the level's end).
    void beginRecords(size_t level);
    void writeRecords(const void* data, size_t size);
    void endRecords();
    void writeIndex(size_t level, const uint64_t* cellStarts, uint64_t cells);
    // The same with the index given in pieces: piece(first, count, starts) fills the starts of cells
    // [first, first + count), counted from the level's first record.
    void writeIndex(size_t level, uint64_t cells,
                    const std::function<void(uint64_t first, uint64_t count, uint64_t* starts)>& piece);
    // Last: it vouches for the files above as they were written.
    void writeManifest();

private:
    class File;
    void writeWhole(const std::string& file, const void* data, size_t size);
    std::string dir_;
    std::unique_ptr<File> records_;
    std::vector<ManifestEntry> manifest_;
};
