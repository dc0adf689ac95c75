#pragma once
// The public header block of a LAS 1.0 to 1.2 file.
#include <cstdint>
#include <cstdio>
#include <string>

class LASHeader {
public:
    static constexpr int BlockSize = 227; // bytes of the public header block on disk

    char FileSignature[4] = {};
    uint16_t FileSourceID = 0;
    uint16_t GlobalEncoding = 0;
    uint32_t GUIDdata1 = 0;
    uint16_t GUIDdata2 = 0;
    uint16_t GUIDdata3 = 0;
    unsigned char GUIDdata4[8] = {};
    uint8_t VersionMajor = 0;
    uint8_t VersionMinor = 0;
    char SystemIdentifier[32] = {};
    char GeneratingSoftware[32] = {};
    uint16_t FileCreationDay = 0;
    uint16_t FileCreationYear = 0;
    uint16_t HeaderSize = 0;
    uint32_t OffsetToPointData = 0;
    uint32_t NumberOfVariableLengthRecords = 0;
    uint8_t PointDataFormatID = 0;
    uint16_t PointDataRecordLength = 0;
    uint32_t NumberOfPointRecords = 0;
    uint32_t NumberOfPointsByReturn[5] = {};
    double ScaleFactor_X = 0, ScaleFactor_Y = 0, ScaleFactor_Z = 0;
    double OffsetX = 0, OffsetY = 0, OffsetZ = 0;
    double Max_X = 0, Min_X = 0, Max_Y = 0, Min_Y = 0, Max_Z = 0, Min_Z = 0;

    virtual ~LASHeader() = default;

    // Reads and validates the block from the start of the file; messages go to standard output.
    bool Read(FILE* file);
    // Validates as Read does, then writes the block at the start of the file.
    bool Write(FILE* file);
    // Fills every field from a packed 227-byte block, without validation.
    void copyFromBuffer(const unsigned char* buffer);
    // Packs every field into a 227-byte block.
    void copyToBuffer(unsigned char* buffer) const;

    int GPSTimeType() const { return GlobalEncoding & 1; }
    bool hasColor() const { return PointDataFormatID == 2 || PointDataFormatID == 3; }
    void outputString() const;

    // Record bytes of the point format (20, 28, 26, 34), 0 for an unknown format.
    int FormatRecordSize() const;
    // Where the records of the variable-length record area start: never inside the 227-byte block.
    uint64_t RecordAreaStart() const { return HeaderSize < BlockSize ? BlockSize : HeaderSize; }
    uint64_t PointDataBytes() const { return uint64_t(NumberOfPointRecords) * PointDataRecordLength; }
    // Whether the points this header declares can be read from a file of fileSize bytes; when not, the
    // reason is stored in `why`. Readers call it before allocating anything a header asks for.
    bool CheckPointData(uint64_t fileSize, std::string* why) const;

    // Why this header cannot be taken as that of a LAS 1.0-1.2 file of point formats 0 to 3, in words for
    // the user, or "" when it can. With the file's size (fileSize >= 0) it also checks that the records
    // and points it declares lie within the file. Every entry point that takes LAS data (the tools, the
    // import, the viewer's check of a served header) refuses with this one function, so all refuse the
    // same headers with the same words.
    std::string Problem(int64_t fileSize = -1) const;
    // Reads the public header block from the start of an open file into this object, printing nothing,
    // and returns Problem() against the file's size, or why the block cannot be read at all.
    std::string ReadChecked(FILE* file);

    // The last message printed by Read or Write, without the "ReadError: " prefix.
    std::string lastMessage;

private:
    void message(const std::string& text, const char* prefix = "ReadError: ");
};

// Size in bytes of an open file, or -1.
int64_t lasFileSize(FILE* file);
