#pragma once
// A variable-length record: a 54-byte record header followed by RecordLenAfterHeader bytes of data.
#include <cstdint>
#include <cstdio>
#include <vector>

class LASVarLenRecord {
public:
    static constexpr int HeaderBytes = 54;

    uint16_t Reserved = 0;
    char UserID[16] = {};
    uint16_t RecordID = 0;
    uint16_t RecordLenAfterHeader = 0;
    char Description[32] = {};
    std::vector<unsigned char> Data; // RecordLenAfterHeader bytes once created

    // Reads at the file's current position; creates the data block before reading it.
    bool Read(FILE* file);
    bool Write(FILE* file) const;
    void CreateData() { Data.assign(RecordLenAfterHeader, 0); }
    void DeleteData() {
        Data.clear();
        Data.shrink_to_fit();
    }
    void Copy(const LASVarLenRecord& other) { *this = other; }
    uint64_t TotalBytes() const { return HeaderBytes + uint64_t(RecordLenAfterHeader); }
};
