#pragma once
// The public header block in the 232-byte form of the compressed file: every field at its natural
// alignment, so the block reads and writes without unaligned access. Bytes 0-104 are as in the LAS file;
// byte 105 and bytes 132-135 are unused. The first signature byte doubles as a marker: 'L' normal, 'V' when
// the gap between header and point data is carried as one pseudo-record, 'O' when a compressed file holds
// its points raw.
#include "LASHeader.h"

#include <cstdint>

class LASHeader_C {
public:
    static constexpr int BlockSize = 232;

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

    LASHeader_C() = default;
    explicit LASHeader_C(const LASHeader& h);
    LASHeader toLASHeader() const;

    // The 232-byte compressed-file form. Writing zeroes the unused bytes, so equal headers give equal blocks.
    void copyFromBuffer(const unsigned char* b232);
    void copyToBuffer(unsigned char* b232) const;
    // The 227-byte packed form of the LAS file. No validation: any bytes make a header.
    void copyFromLASBuffer(const unsigned char* b227);
    void copyToLASBuffer(unsigned char* b227) const;

    // Record bytes of the point format (20, 28, 26, 34), 0 for an unknown format.
    int FormatRecordSize() const;
};
