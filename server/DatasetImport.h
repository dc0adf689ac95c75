#pragma once
// Import of LAS files into a point server data set directory: per-point normals, levels of detail,
// and per level the wire records sorted by grid cell with a cell-to-record index.
#include "DatasetFiles.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// phase is one of "read", "normals", "levels", "write"; each phase ends with done == total.
using ImportProgress = std::function<void(const std::string& phase, uint64_t done, uint64_t total)>;

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

// What an import may use. An input that would take more than `memory` in memory at once goes through
// buckets on disk instead, with the same result; `memory` must be at least kMinImportMemory.
struct ImportOptions {
    int neighbours = 16;
    uint64_t memory = 0; // bytes; 0: a quarter of physical memory
    std::string tmpDir;  // where the buckets go; empty: the data directory
    ImportProgress progress;
};
constexpr uint64_t kMinImportMemory = uint64_t(32) << 20;
uint64_t defaultImportMemory();

DatasetInfo importDataset(const std::vector<std::string>& lasPaths, const std::string& dataDir,
                          const std::string& name, const ImportOptions& options);

// For a process whose job is one import: keeps the memory its phases free for the next phase instead of
// handing it back to the system, which would fault in and zero every page again (the import allocates
// and frees several arrays of hundreds of megabytes in turn). Process-wide; not for a long-running server.
void keepImportMemory();
