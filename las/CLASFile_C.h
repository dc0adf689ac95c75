#pragma once
// The file object the point compressor works on: a header in the 232-byte aligned form, the
// variable-length record area as one block with the positions of its records, the current points as
// compressor records, and the path of the LAS file it reads or writes.
//
// Reads go by path and open the file read-only for each call. Writing keeps one file open from WriteHeader
// through WriteVRL and any number of WritePoints/WriteRecords calls until CloseFile (WriteFile closes at
// the end); a write call with no file open appends to the file at the path. Every failure throws
// CLasException. Header fields are untrusted: nothing is allocated for more points or records than the
// file can hold.
#include "CLasException.h"
#include "FileHandle.h"
#include "LASHeader_C.h"
#include "LASPoint_C.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CLASFile_C {
public:
    static constexpr int RecordHeaderBytes = 54; // header of one variable-length record

    CLASFile_C() = default;
    explicit CLASFile_C(const char* path) { OpenFile(path); }
    ~CLASFile_C() = default;
    CLASFile_C(const CLASFile_C&) = delete;
    CLASFile_C& operator=(const CLASFile_C&) = delete;

    // Stores the path and reads the header.
    void OpenFile(const char* path);
    void SetPath(const char* path) { m_path = path ? path : ""; }
    const std::string& GetPath() const { return m_path; }

    // Reads the 227-byte header from the start of the file at the path, without validation. False, and no
    // header, when the file cannot be opened or is shorter than 227 bytes.
    bool ReadHeader();
    LASHeader_C* GetHeader() { return m_header.get(); }
    // Takes ownership of `h` (which may be null).
    void SetHeader(LASHeader_C* h);
    bool UpdateHeader() const { return m_header != nullptr; }

    // Reads the OffsetToPointData - HeaderSize bytes from HeaderSize on as the record area. With no records
    // and a gap of 3 bytes or more the gap becomes one pseudo-record: the count is set to 1 and the first
    // signature byte to 'V'. With no records and a smaller gap there is no area. Record positions are
    // listed as far as whole records lie inside the area. Throws "ReadError::LAS VRL" when HeaderSize lies
    // beyond OffsetToPointData, the area runs past the end of the file, or the record count cannot fit.
    void ReadVRL();
    // As ReadVRL; returns the record positions.
    std::vector<uint32_t> ReadVLR();
    const std::vector<unsigned char>& RecordArea() const { return m_area; }
    const std::vector<uint32_t>& RecordPositions() const { return m_positions; }
    void SetVLRecord(std::vector<unsigned char> area, std::vector<uint32_t> positions);

    // Stores the path and reads header, record area and every point. Progress as in GetPoints.
    void ReadFile(const char* path, unsigned int* progress);
    // Record `index` read from the file; the caller owns it. Null for an index at or past the header's
    // point count, or an unknown format.
    LASPoint_C* GetPoint(uint64_t index);
    // `count` records from record `start` on, of the header's format; release with FreePoints. Null when
    // the header has no points or count is 0. The progress counter, when given, is incremented at every
    // record for 100 records or fewer, otherwise at every (count / 100)-th.
    LASPoint_C** GetPoints(uint64_t start, uint64_t count, unsigned int* progress);
    static void FreePoints(LASPoint_C** pts, uint64_t count);

    // Releases the points and makes NumberOfPointRecords zeroed records of the header's format.
    void initializePoints();
    // Makes NumberOfPointRecords empty slots.
    void CreatePoints();
    void DeletePoints() { m_points.clear(); }
    void DeleteRecords();
    // Releases everything, the path and any file being written included.
    void ClearFile();
    std::vector<std::unique_ptr<LASPoint_C>>& Points() { return m_points; }

    // Creates the file at the path and writes the 227-byte header, then zeros up to HeaderSize. A header
    // marked 'V' is written with 'L' and no records; in memory the signature becomes 'L' and the count 1.
    void WriteHeader();
    // Appends the record area, the LAS 1.0 start signature (bytes DD CC) when there are no records and the
    // gap is exactly 2 bytes, and zeros for whatever else of the gap the object holds no bytes for, so the
    // point data always starts at OffsetToPointData.
    void WriteVRL();
    // Appends every point: its format's bytes, then zeros up to PointDataRecordLength. The progress
    // counter is set to 0, then incremented at every (count / 100)-th record, or once for 99 or fewer.
    void WritePoints(unsigned int* progress);
    // Appends packed records (PointDataRecordLength bytes each) to the file being written, for callers that
    // hold records as bytes. Progress as in WritePoints.
    void WriteRecords(const unsigned char* records, uint64_t count, unsigned int* progress);
    // With a header: stores the path, writes header, record area and points, and closes the file.
    void WriteFile(const char* path, unsigned int* progress);
    // Closes the file being written; throws when its last bytes cannot be written.
    void CloseFile();

    // Each point's GPS time set to the value converted to a double.
    void SetGPSTime(const long long* values);

    // New arrays (delete[] them) of one attribute of every point, read straight from the file; null
    // without a header or points. The progress counter is incremented at every (count / 100)-th record
    // for 100 records or more. Formats without GPS time or colour give zeros for them.
    float* GetCoordinate(unsigned int* progress); // three stored integers per point, as floats
    uint16_t* GetIntensity(unsigned int* progress);
    uint8_t* GetReturns(unsigned int* progress); // the whole return byte
    uint8_t* GetClassification(unsigned int* progress);
    int8_t* GetAngle(unsigned int* progress);
    int64_t* GetGPSTime(unsigned int* progress); // the 64-bit pattern of the double
    float* GetColor(unsigned int* progress);     // three channels per point, each / 65535

    // The real coordinate: stored value * scale + offset per axis.
    std::array<float, 3> TransformCoord(LASPoint_C* p) const;

private:
    FilePtr openForRead() const;
    FILE* writer();
    void writeBytes(const void* data, size_t n, const char* reason);
    // Throws unless records [start, start + count) of the header's format lie inside a file of fileSize.
    void checkPointSpan(uint64_t fileSize, uint64_t start, uint64_t count) const;
    template <typename T, typename Fn> T* extract(unsigned int* progress, int perPoint, Fn&& fn);

    std::unique_ptr<LASHeader_C> m_header;
    std::vector<unsigned char> m_area;
    std::vector<uint32_t> m_positions;
    std::vector<std::unique_ptr<LASPoint_C>> m_points;
    std::string m_path;
    FilePtr m_out;               // the file being written
    bool m_pseudoRecord = false; // the one record in memory is the header gap, written with a count of 0
};
