#pragma once
// Synthetic airborne LiDAR surveys written as LAS 1.2 files: terrain, buildings and trees scanned in
// parallel flight strips, deterministic for a seed.
#include <cstdint>
#include <functional>
#include <string>

struct SynthOptions {
    uint64_t points = 0; // exactly this many records, 1 to 4294967295
    int format = 0;      // point data format 0 to 3
    uint64_t seed = 1;
};

// Writes a LAS 1.2 file; throws std::runtime_error with a clear message on bad options or I/O failure.
// Written to a temporary file beside `path` and renamed into place, so a failure leaves nothing half-made.
// `progress` is called after each block of records with the number written so far and the total; an
// exception it throws abandons the file.
void writeSyntheticLAS(const std::string& path, const SynthOptions& options,
                       const std::function<void(uint64_t done, uint64_t total)>& progress = {});
