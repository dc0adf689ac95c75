#pragma once
// The import of inputs larger than the memory it may use: buckets on disk, one at a time in memory.
#include "ImportStages.h"

namespace import_detail {

// About what the import that holds every point in memory needs at its peak.
uint64_t inMemoryImportBytes(uint64_t points, uint32_t recordLength);

// The same data set as the in-memory import, in memory bounded by `memory` bytes; temporary files go to a
// new directory under tmpRoot (the data directory when empty), removed however the import ends. Free disk
// space is checked before anything is written.
DatasetInfo importInBuckets(Input& in, RecordReader& reader, const std::string& dataDir,
                            const std::string& name, int neighbours, uint64_t memory,
                            const std::string& tmpRoot, const Report& report);

} // namespace import_detail
