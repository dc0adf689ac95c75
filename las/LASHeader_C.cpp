#include "LASHeader_C.h"

#include "LASPointData.h"

#include <cstring>

using las_detail::loadLE;
using las_detail::storeLE;

namespace {

// Where the two forms differ: everything from PointDataRecordLength on moves to its natural alignment.
struct Layout {
    int size, recordLength, pointCount, byReturn, doubles;
};
constexpr Layout kLAS{LASHeader::BlockSize, 105, 107, 111, 131};
constexpr Layout kAligned{LASHeader_C::BlockSize, 106, 108, 112, 136};

// The same field order for both copies in one place, so header and copy cannot drift apart.
template <typename Dst, typename Src> void copyFields(Dst& d, const Src& s) {
    std::memcpy(d.FileSignature, s.FileSignature, 4);
    d.FileSourceID = s.FileSourceID;
    d.GlobalEncoding = s.GlobalEncoding;
    d.GUIDdata1 = s.GUIDdata1;
    d.GUIDdata2 = s.GUIDdata2;
    d.GUIDdata3 = s.GUIDdata3;
    std::memcpy(d.GUIDdata4, s.GUIDdata4, 8);
    d.VersionMajor = s.VersionMajor;
    d.VersionMinor = s.VersionMinor;
    std::memcpy(d.SystemIdentifier, s.SystemIdentifier, 32);
    std::memcpy(d.GeneratingSoftware, s.GeneratingSoftware, 32);
    d.FileCreationDay = s.FileCreationDay;
    d.FileCreationYear = s.FileCreationYear;
    d.HeaderSize = s.HeaderSize;
    d.OffsetToPointData = s.OffsetToPointData;
    d.NumberOfVariableLengthRecords = s.NumberOfVariableLengthRecords;
    d.PointDataFormatID = s.PointDataFormatID;
    d.PointDataRecordLength = s.PointDataRecordLength;
    d.NumberOfPointRecords = s.NumberOfPointRecords;
    for (int i = 0; i < 5; ++i)
        d.NumberOfPointsByReturn[i] = s.NumberOfPointsByReturn[i];
    d.ScaleFactor_X = s.ScaleFactor_X;
    d.ScaleFactor_Y = s.ScaleFactor_Y;
    d.ScaleFactor_Z = s.ScaleFactor_Z;
    d.OffsetX = s.OffsetX;
    d.OffsetY = s.OffsetY;
    d.OffsetZ = s.OffsetZ;
    d.Max_X = s.Max_X;
    d.Min_X = s.Min_X;
    d.Max_Y = s.Max_Y;
    d.Min_Y = s.Min_Y;
    d.Max_Z = s.Max_Z;
    d.Min_Z = s.Min_Z;
}

void parse(LASHeader_C& h, const unsigned char* b, const Layout& at) {
    std::memcpy(h.FileSignature, b, 4);
    h.FileSourceID = loadLE<uint16_t>(b + 4);
    h.GlobalEncoding = loadLE<uint16_t>(b + 6);
    h.GUIDdata1 = loadLE<uint32_t>(b + 8);
    h.GUIDdata2 = loadLE<uint16_t>(b + 12);
    h.GUIDdata3 = loadLE<uint16_t>(b + 14);
    std::memcpy(h.GUIDdata4, b + 16, 8);
    h.VersionMajor = b[24];
    h.VersionMinor = b[25];
    std::memcpy(h.SystemIdentifier, b + 26, 32);
    std::memcpy(h.GeneratingSoftware, b + 58, 32);
    h.FileCreationDay = loadLE<uint16_t>(b + 90);
    h.FileCreationYear = loadLE<uint16_t>(b + 92);
    h.HeaderSize = loadLE<uint16_t>(b + 94);
    h.OffsetToPointData = loadLE<uint32_t>(b + 96);
    h.NumberOfVariableLengthRecords = loadLE<uint32_t>(b + 100);
    h.PointDataFormatID = b[104];
    h.PointDataRecordLength = loadLE<uint16_t>(b + at.recordLength);
    h.NumberOfPointRecords = loadLE<uint32_t>(b + at.pointCount);
    for (int i = 0; i < 5; ++i)
        h.NumberOfPointsByReturn[i] = loadLE<uint32_t>(b + at.byReturn + 4 * i);
    double* doubles[] = {&h.ScaleFactor_X, &h.ScaleFactor_Y, &h.ScaleFactor_Z, &h.OffsetX,
                         &h.OffsetY,       &h.OffsetZ,       &h.Max_X,         &h.Min_X,
                         &h.Max_Y,         &h.Min_Y,         &h.Max_Z,         &h.Min_Z};
    for (int i = 0; i < 12; ++i)
        *doubles[i] = loadLE<double>(b + at.doubles + 8 * i);
}

void pack(const LASHeader_C& h, unsigned char* b, const Layout& at) {
    std::memset(b, 0, size_t(at.size));
    std::memcpy(b, h.FileSignature, 4);
    storeLE(b + 4, h.FileSourceID);
    storeLE(b + 6, h.GlobalEncoding);
    storeLE(b + 8, h.GUIDdata1);
    storeLE(b + 12, h.GUIDdata2);
    storeLE(b + 14, h.GUIDdata3);
    std::memcpy(b + 16, h.GUIDdata4, 8);
    b[24] = h.VersionMajor;
    b[25] = h.VersionMinor;
    std::memcpy(b + 26, h.SystemIdentifier, 32);
    std::memcpy(b + 58, h.GeneratingSoftware, 32);
    storeLE(b + 90, h.FileCreationDay);
    storeLE(b + 92, h.FileCreationYear);
    storeLE(b + 94, h.HeaderSize);
    storeLE(b + 96, h.OffsetToPointData);
    storeLE(b + 100, h.NumberOfVariableLengthRecords);
    b[104] = h.PointDataFormatID;
    storeLE(b + at.recordLength, h.PointDataRecordLength);
    storeLE(b + at.pointCount, h.NumberOfPointRecords);
    for (int i = 0; i < 5; ++i)
        storeLE(b + at.byReturn + 4 * i, h.NumberOfPointsByReturn[i]);
    const double doubles[] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z, h.OffsetX,
                              h.OffsetY,       h.OffsetZ,       h.Max_X,         h.Min_X,
                              h.Max_Y,         h.Min_Y,         h.Max_Z,         h.Min_Z};
    for (int i = 0; i < 12; ++i)
        storeLE(b + at.doubles + 8 * i, doubles[i]);
}

} // namespace

LASHeader_C::LASHeader_C(const LASHeader& h) {
    copyFields(*this, h);
}

LASHeader LASHeader_C::toLASHeader() const {
    LASHeader h;
    copyFields(h, *this);
    return h;
}

void LASHeader_C::copyFromBuffer(const unsigned char* b232) {
    parse(*this, b232, kAligned);
}
void LASHeader_C::copyToBuffer(unsigned char* b232) const {
    pack(*this, b232, kAligned);
}
void LASHeader_C::copyFromLASBuffer(const unsigned char* b227) {
    parse(*this, b227, kLAS);
}
void LASHeader_C::copyToLASBuffer(unsigned char* b227) const {
    pack(*this, b227, kLAS);
}

int LASHeader_C::FormatRecordSize() const {
    return las_detail::formatSize(PointDataFormatID);
}
