#pragma once
// An uncompressed LAS file: header, variable-length records and point records, with random and bulk
// access to the points and a writer that keeps what it does not interpret (extra bytes after each
// record, bytes between the records and the point data).
#include "CLasException.h"
#include "FileHandle.h"
#include "LASHeader.h"
#include "LASPoint.h"
#include "LASVarLenRecord.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CLASFile : public LASHeader {
public:
    CLASFile() = default;
    explicit CLASFile(const char* path) { OpenFile(path); }
    CLASFile(const CLASFile&) = delete;
    CLASFile& operator=(const CLASFile&) = delete;
    ~CLASFile() override = default;

    // Opens the file read-only and reads its header; no records are read.
    bool OpenFile(const char* path);
    void CloseFile() { file.reset(); }
    bool IsOpen() const { return file != nullptr; }
    // Opens the file read-only and loads header, records and every point.
    bool ReadFile(const char* path);
    bool Load();

    // A new array of the file's variable-length records (delete[] it), or null.
    LASVarLenRecord* ReadVLR();
    // One record read from the file; the caller owns it. Null on failure.
    LASPoint* GetPoint(uint64_t index);
    // `count` records from record `start`, as an array of pointers to records of the file's format, all
    // in one allocation; release it with FreePointArray. Null when count is 0. Throws CLasException.
    LASPoint** GetPoints(uint64_t start, uint64_t count, uint32_t* progress = nullptr);
    static void FreePointArray(LASPoint** points);

    // Every record's attributes; each output array that is not null gets one entry (or three) per point.
    bool GetData(float* coordinates, uint16_t* intensities, uint8_t* classes, int8_t* angles, uint8_t* returns,
                 float* colours);
    float* GetCoordinate();
    uint16_t* GetIntensity();
    uint8_t* GetClassification();
    int8_t* GetAngle();
    uint8_t* GetReturns();
    float* GetColor();
    std::array<float, 3> TransformCoord(LASPoint* point) const;

    void CreateRecords() { records.assign(NumberOfVariableLengthRecords, LASVarLenRecord()); }
    void CreatePoints() {
        points.clear();
        points.resize(NumberOfPointRecords);
    }
    void DeleteRecords() { records.clear(); }
    void DeletePoints() {
        points.clear();
        extraBytes.clear();
    }

    // Writes header, records, preserved padding and points to `path`, through a temporary file that is
    // renamed into place, so a failure leaves any existing file untouched. Header size, offset to point
    // data, record count, record length and point count are recomputed first. Point slots that are empty
    // are copied from the open source file. Throws CLasException on failure.
    void WriteFile(const char* path);
    void Save() { WriteFile(path.c_str()); }

    std::vector<LASVarLenRecord> records;
    std::vector<std::unique_ptr<LASPoint>> points; // slots are empty or own one record of the file's format
    uint16_t extraBytesPerPoint = 0;                // record bytes beyond the point format's size
    std::vector<unsigned char> extraBytes;          // extraBytesPerPoint bytes for every loaded point
    std::vector<unsigned char> headerPadding;       // bytes between the 227-byte block and HeaderSize
    std::vector<unsigned char> pointDataPadding;    // bytes between the last record and the point data
    std::string path;

private:
    bool ReadRecordArea(std::vector<LASVarLenRecord>& out);
    bool CheckPointsReadable();
    void ReadRaw(uint64_t start, uint64_t count, unsigned char* out); // throws

    FilePtr file;
    LASHeader source; // the open file's header as read: reads from the file go by it, whatever this
                      // object's header has become since (WriteFile recomputes it)
};
