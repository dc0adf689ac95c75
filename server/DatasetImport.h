#pragma once
// Import of LAS files into a point server data set directory: per-point normals, levels of detail,
// and per level the wire records sorted by grid cell with a cell-to-record index.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// phase is one of "read", "normals", "levels", "write"; each phase ends with done == total.
using ImportProgress = std::function<void(const std::string& phase, uint64_t done, uint64_t total)>;

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
// "ds-" and the 16 lowercase hex digits of the name's FNV-1a 64 hash: names never become paths.
std::string datasetDirName(const std::string& name);

// Reads the LAS 1.0-1.2 file (formats 0-3) and writes dataDir/datasetDirName(name) atomically,
// replacing an existing data set of that name only once the new one is complete. Throws
// std::runtime_error with a clear message; on failure dataDir is left as it was. Returns the info
// as written. The file is read more than once and must not change meanwhile (that is refused).
DatasetInfo importDataset(const std::string& lasPath, const std::string& dataDir, const std::string& name,
                          int neighbours, const ImportProgress& progress = {});

// Several LAS files (tiles of one survey, say) as one data set. They must share point data format, record
// length and scale factors; offsets may differ by whole scale units, and the records are converted to the
// first file's. Normals and levels are computed over all points together. The served header is the first
// file's, with the point count, the points' bounds and the sums of the counts by return of all files.
// Files may hold no points as long as one does; none may be given twice. Refusals name the files.
DatasetInfo importDataset(const std::vector<std::string>& lasPaths, const std::string& dataDir,
                          const std::string& name, int neighbours, const ImportProgress& progress = {});

// For a process whose job is one import: keeps the memory its phases free for the next phase instead of
// handing it back to the system, which would fault in and zero every page again (the import allocates
// and frees several arrays of hundreds of megabytes in turn). Process-wide; not for a long-running server.
void keepImportMemory();

// Reads a data set directory's `name` and `levels` files; throws std::runtime_error when malformed.
DatasetInfo readDatasetInfo(const std::string& datasetDir);
// The same from the two files' contents; messages name datasetDir's files.
DatasetInfo parseDatasetInfo(const std::string& name, const std::string& levels,
                             const std::string& datasetDir);

// The data set's "manifest": size and checksum (Checksum64) of each of its files, written last into the
// directory before it is renamed into place, so that damage found later can be told from a data set as
// imported. Data sets imported before it was kept have none.
struct ManifestEntry {
    std::string file; // name within the data set directory
    uint64_t size = 0;
    uint64_t checksum = 0;
};
constexpr const char* kManifestFile = "manifest";
std::string formatManifest(const std::vector<ManifestEntry>& entries);
// Throws std::runtime_error naming `path` when the text is malformed or fails its own checksum.
std::vector<ManifestEntry> parseManifest(const std::string& text, const std::string& path);
