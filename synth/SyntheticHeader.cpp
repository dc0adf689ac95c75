#include "SyntheticHeader.h"

#include "LASPointData.h"
#include "PointGenerator.h"

#include <algorithm>
#include <cstring>

namespace synth {

namespace {

constexpr uint16_t CreationDay = 152; // 1 June: fixed, so the output depends on the options alone
constexpr uint16_t CreationYear = 2023;

void setText(char* field, size_t width, const char* text) {
    std::memset(field, 0, width);
    std::memcpy(field, text, std::min(width, std::strlen(text)));
}

} // namespace

LASHeader syntheticHeader(const PointGenerator& gen) {
    LASHeader h;
    std::memcpy(h.FileSignature, "LASF", 4);
    const int format = gen.format();
    h.GlobalEncoding = las_detail::formatHasGPSTime(format) ? 1 : 0; // adjusted standard GPS time
    h.VersionMajor = 1;
    h.VersionMinor = 2;
    setText(h.SystemIdentifier, sizeof h.SystemIdentifier, "Pontaro synthetic survey");
    setText(h.GeneratingSoftware, sizeof h.GeneratingSoftware, "Pontaro scene generator");
    h.FileCreationDay = CreationDay;
    h.FileCreationYear = CreationYear;
    h.HeaderSize = LASHeader::BlockSize;
    h.NumberOfVariableLengthRecords = 1;
    h.OffsetToPointData = uint32_t(LASHeader::BlockSize + geoKeyDirectoryRecord().TotalBytes());
    h.PointDataFormatID = uint8_t(format);
    h.PointDataRecordLength = uint16_t(gen.recordLength());
    h.NumberOfPointRecords = uint32_t(gen.written());
    const GeneratorStats& s = gen.stats();
    for (int i = 0; i < 5; ++i)
        h.NumberOfPointsByReturn[i] = uint32_t(s.byReturn[i]);
    h.ScaleFactor_X = h.ScaleFactor_Y = h.ScaleFactor_Z = PointGenerator::Scale;
    h.OffsetX = PointGenerator::OffsetX;
    h.OffsetY = PointGenerator::OffsetY;
    h.OffsetZ = PointGenerator::OffsetZ;
    if (gen.written() > 0) {
        h.Min_X = s.minX * h.ScaleFactor_X + h.OffsetX;
        h.Max_X = s.maxX * h.ScaleFactor_X + h.OffsetX;
        h.Min_Y = s.minY * h.ScaleFactor_Y + h.OffsetY;
        h.Max_Y = s.maxY * h.ScaleFactor_Y + h.OffsetY;
        h.Min_Z = s.minZ * h.ScaleFactor_Z + h.OffsetZ;
        h.Max_Z = s.maxZ * h.ScaleFactor_Z + h.OffsetZ;
    }
    return h;
}

LASVarLenRecord geoKeyDirectoryRecord() {
    // Header {version 1, revision 1.0, key count}, then {key, location 0 = value inline, count 1, value}
    // sorted by key.
    const uint16_t keys[] = {
        1,    1, 0, 5,     //
        1024, 0, 1, 1,     // GTModelTypeGeoKey: projected
        1025, 0, 1, 1,     // GTRasterTypeGeoKey: pixel is area
        3072, 0, 1, 32633, // ProjectedCSTypeGeoKey: WGS 84 / UTM zone 33N
        3076, 0, 1, 9001,  // ProjLinearUnitsGeoKey: metre
        4099, 0, 1, 9001,  // VerticalUnitsGeoKey: metre
    };
    LASVarLenRecord r;
    setText(r.UserID, sizeof r.UserID, "LASF_Projection");
    r.RecordID = 34735;
    setText(r.Description, sizeof r.Description, "GeoKeyDirectoryTag");
    r.RecordLenAfterHeader = uint16_t(sizeof keys);
    r.CreateData();
    for (size_t i = 0; i < std::size(keys); ++i)
        las_detail::storeLE(r.Data.data() + 2 * i, keys[i]);
    return r;
}

} // namespace synth
