#include "LASHeader.h"
#include "LasLog.h"

#include "LASPointData.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <locale>
#include <sstream>
#include <sys/stat.h>

using las_detail::loadLE;
using las_detail::storeLE;

namespace {

struct FieldSpan {
    const char* name;
    int offset;
    int width;
};

// Field names as the read and write messages spell them, in file order.
constexpr FieldSpan kFields[] = {
    {"FileSignature", 0, 4},
    {"FileSourceID", 4, 2},
    {"GlobalEncoding", 6, 2},
    {"GUIDdata1", 8, 4},
    {"GUIDdata2", 12, 2},
    {"GUIDdata3", 14, 2},
    {"GUIDdata4", 16, 8},
    {"VersionMajor", 24, 1},
    {"VersionMinor", 25, 1},
    {"SystemIdentifier", 26, 32},
    {"GeneratingSoftware", 58, 32},
    {"m_FileCreationDay", 90, 2},
    {"FileCreationYear", 92, 2},
    {"HeaderSize", 94, 2},
    {"OffsetToPointData", 96, 4},
    {"NumberOfVariableLengthRecords", 100, 4},
    {"PointDataFormatID", 104, 1},
    {"PointDataRecordLength", 105, 2},
    {"NumberOfPointRecords", 107, 4},
    {"NumberOfPointsByReturn", 111, 20},
    {"ScaleFactor_X", 131, 8},
    {"ScaleFactor_Y", 139, 8},
    {"ScaleFactor_Z", 147, 8},
    {"OffsetX", 155, 8},
    {"OffsetY", 163, 8},
    {"OffsetZ", 171, 8},
    {"Max_X", 179, 8},
    {"Min_X", 187, 8},
    {"Max_Y", 195, 8},
    {"Min_Y", 203, 8},
    {"Max_Z", 211, 8},
    {"Min_Z", 219, 8},
};

int fieldIndex(const char* name) {
    for (int i = 0; i < int(std::size(kFields)); ++i)
        if (std::strcmp(kFields[i].name, name) == 0)
            return i;
    return -1;
}

// The first field that is not complete within n bytes, or null when all 227 are there.
const FieldSpan* firstIncomplete(size_t n, int fromField = 0) {
    for (int i = fromField; i < int(std::size(kFields)); ++i)
        if (size_t(kFields[i].offset + kFields[i].width) > n)
            return &kFields[i];
    return nullptr;
}

std::string fixedText(const char* p, size_t width) {
    size_t n = 0;
    while (n < width && p[n] != '\0')
        ++n;
    return std::string(p, n);
}

bool versionKnown(uint8_t major, uint8_t minor) {
    return major == 1 && minor < 3;
}

} // namespace

int64_t lasFileSize(FILE* file) {
    struct stat st;
    if (!file || fstat(fileno(file), &st) != 0)
        return -1;
    return st.st_size;
}

void LASHeader::message(const std::string& text, const char* prefix) {
    lastMessage = text;
    if (std::ostream* log = lasLog())
        *log << prefix << text;
}

int LASHeader::FormatRecordSize() const {
    return las_detail::formatSize(PointDataFormatID);
}

void LASHeader::copyFromBuffer(const unsigned char* b) {
    std::memcpy(FileSignature, b, 4);
    FileSourceID = loadLE<uint16_t>(b + 4);
    GlobalEncoding = loadLE<uint16_t>(b + 6);
    GUIDdata1 = loadLE<uint32_t>(b + 8);
    GUIDdata2 = loadLE<uint16_t>(b + 12);
    GUIDdata3 = loadLE<uint16_t>(b + 14);
    std::memcpy(GUIDdata4, b + 16, 8);
    VersionMajor = b[24];
    VersionMinor = b[25];
    std::memcpy(SystemIdentifier, b + 26, 32);
    std::memcpy(GeneratingSoftware, b + 58, 32);
    FileCreationDay = loadLE<uint16_t>(b + 90);
    FileCreationYear = loadLE<uint16_t>(b + 92);
    HeaderSize = loadLE<uint16_t>(b + 94);
    OffsetToPointData = loadLE<uint32_t>(b + 96);
    NumberOfVariableLengthRecords = loadLE<uint32_t>(b + 100);
    PointDataFormatID = b[104];
    PointDataRecordLength = loadLE<uint16_t>(b + 105);
    NumberOfPointRecords = loadLE<uint32_t>(b + 107);
    for (int i = 0; i < 5; ++i)
        NumberOfPointsByReturn[i] = loadLE<uint32_t>(b + 111 + 4 * i);
    double* doubles[] = {&ScaleFactor_X, &ScaleFactor_Y, &ScaleFactor_Z, &OffsetX, &OffsetY, &OffsetZ,
                         &Max_X,         &Min_X,         &Max_Y,         &Min_Y,   &Max_Z,   &Min_Z};
    for (int i = 0; i < 12; ++i)
        *doubles[i] = loadLE<double>(b + 131 + 8 * i);
}

void LASHeader::copyToBuffer(unsigned char* b) const {
    std::memcpy(b, FileSignature, 4);
    storeLE(b + 4, FileSourceID);
    storeLE(b + 6, GlobalEncoding);
    storeLE(b + 8, GUIDdata1);
    storeLE(b + 12, GUIDdata2);
    storeLE(b + 14, GUIDdata3);
    std::memcpy(b + 16, GUIDdata4, 8);
    b[24] = VersionMajor;
    b[25] = VersionMinor;
    std::memcpy(b + 26, SystemIdentifier, 32);
    std::memcpy(b + 58, GeneratingSoftware, 32);
    storeLE(b + 90, FileCreationDay);
    storeLE(b + 92, FileCreationYear);
    storeLE(b + 94, HeaderSize);
    storeLE(b + 96, OffsetToPointData);
    storeLE(b + 100, NumberOfVariableLengthRecords);
    b[104] = PointDataFormatID;
    storeLE(b + 105, PointDataRecordLength);
    storeLE(b + 107, NumberOfPointRecords);
    for (int i = 0; i < 5; ++i)
        storeLE(b + 111 + 4 * i, NumberOfPointsByReturn[i]);
    const double doubles[] = {ScaleFactor_X, ScaleFactor_Y, ScaleFactor_Z, OffsetX, OffsetY, OffsetZ,
                              Max_X,         Min_X,         Max_Y,         Min_Y,   Max_Z,   Min_Z};
    for (int i = 0; i < 12; ++i)
        storeLE(b + 131 + 8 * i, doubles[i]);
}

bool LASHeader::Read(FILE* file) {
    lastMessage.clear();
    unsigned char block[BlockSize] = {};
    size_t n = 0;
    if (file && fseeko(file, 0, SEEK_SET) == 0)
        n = std::fread(block, 1, BlockSize, file);
    // Validation happens at the point of the field it concerns, so the fields are taken in order and a
    // short file reports the first field it does not hold.
    auto need = [&](const char* field) {
        const FieldSpan& f = kFields[fieldIndex(field)];
        if (size_t(f.offset + f.width) <= n)
            return true;
        message(std::string("FileHeader::") + firstIncomplete(n)->name);
        return false;
    };
    LASHeader parsed;
    parsed.copyFromBuffer(block);

    if (!need("FileSignature"))
        return false;
    if (std::memcmp(block, "LASF", 4) != 0) {
        message("Wrong File Signature");
        return false;
    }
    if (!need("VersionMinor"))
        return false;
    if (!versionKnown(parsed.VersionMajor, parsed.VersionMinor))
        message("Unknown Version (should be 1.0 or 1.1 or 1.2)");
    if (!need("HeaderSize"))
        return false;
    if (parsed.HeaderSize < BlockSize)
        message("Header size should be at least 227");
    if (!need("OffsetToPointData"))
        return false;
    // Points are never read from inside the 227-byte block, whatever HeaderSize claims.
    if (parsed.OffsetToPointData < parsed.HeaderSize || parsed.OffsetToPointData < uint32_t(BlockSize)) {
        message("Offset to point data is smaller than header size");
        return false;
    }
    if (!need("PointDataRecordLength"))
        return false;
    int expected = las_detail::formatSize(parsed.PointDataFormatID);
    if (expected == 0) {
        message("Unknown point data format");
        return false;
    }
    if (parsed.PointDataRecordLength != expected)
        message("Wrong point" + std::to_string(parsed.PointDataFormatID) + " data record length");
    if (!need("NumberOfPointRecords"))
        return false;
    if (parsed.NumberOfPointRecords == 0)
        message("Number of point records is smaller then 0");
    if (const FieldSpan* f = firstIncomplete(n)) {
        message(std::string("FileHeader::") + f->name);
        return false;
    }
    std::string keep = lastMessage;
    *this = parsed;
    lastMessage = keep;
    return true;
}

bool LASHeader::Write(FILE* file) {
    lastMessage.clear();
    if (std::memcmp(FileSignature, "LASF", 4) != 0) {
        message("Wrong File Signature");
        return false;
    }
    if (!versionKnown(VersionMajor, VersionMinor))
        message("Unknown Version (should be 1.0 or 1.1 or 1.2)");
    if (HeaderSize < BlockSize)
        message("Header size should be at least 227");
    if (OffsetToPointData < HeaderSize || OffsetToPointData < uint32_t(BlockSize)) {
        message("Offset to point data is smaller than header size");
        return false;
    }
    int expected = las_detail::formatSize(PointDataFormatID);
    if (expected == 0) {
        message("Unknown point data format");
        return false;
    }
    if (PointDataRecordLength != expected)
        message("Wrong point" + std::to_string(PointDataFormatID) + " data record length");

    unsigned char block[BlockSize];
    copyToBuffer(block);
    size_t written = 0;
    if (file && fseeko(file, 0, SEEK_SET) == 0)
        written = std::fwrite(block, 1, BlockSize, file);
    if (written < size_t(BlockSize)) {
        const FieldSpan* f = firstIncomplete(written);
        message(std::string("FileHeader::") + (f ? f->name : "Min_Z"));
        return false;
    }
    return true;
}

bool LASHeader::CheckPointData(uint64_t fileSize, std::string* why) const {
    auto fail = [&](const std::string& text) {
        if (why)
            *why = text;
        return false;
    };
    int formatSize = FormatRecordSize();
    if (formatSize == 0)
        return fail("unknown point data format " + std::to_string(PointDataFormatID));
    if (PointDataRecordLength < formatSize)
        return fail("point record length " + std::to_string(PointDataRecordLength) + " is shorter than the " +
                    std::to_string(formatSize) + " bytes of point format " +
                    std::to_string(PointDataFormatID));
    if (OffsetToPointData < RecordAreaStart())
        return fail("offset to point data " + std::to_string(OffsetToPointData) + " lies inside the header");
    uint64_t end = uint64_t(OffsetToPointData) + PointDataBytes();
    if (end > fileSize) {
        uint64_t held =
            fileSize > OffsetToPointData ? (fileSize - OffsetToPointData) / PointDataRecordLength : 0;
        return fail("file is truncated: the header declares " + std::to_string(NumberOfPointRecords) +
                    " points (" + std::to_string(end) + " bytes) but the file has " +
                    std::to_string(fileSize) + " bytes, room for " + std::to_string(held) + " points");
    }
    return true;
}

namespace {

// Shortest text that reads back as the same double.
std::string number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

} // namespace

std::string LASHeader::Problem(int64_t fileSize) const {
    using std::to_string;
    if (std::memcmp(FileSignature, "LASF", 4) != 0)
        return "not a LAS file: it does not begin with the signature \"LASF\"";
    if (!versionKnown(VersionMajor, VersionMinor))
        return "LAS version " + to_string(VersionMajor) + "." + to_string(VersionMinor) +
               " is not supported (1.0 to 1.2 are)";
    if (HeaderSize < BlockSize)
        return "the header size " + to_string(HeaderSize) + " is smaller than the 227 bytes of a LAS header";
    if (OffsetToPointData < HeaderSize)
        return "the offset to the point data (" + to_string(OffsetToPointData) +
               ") lies inside the header (" + to_string(HeaderSize) + " bytes)";
    if (fileSize >= 0 && OffsetToPointData > uint64_t(fileSize))
        return "the offset to the point data (" + to_string(OffsetToPointData) +
               ") lies beyond the end of the file (" + to_string(fileSize) + " bytes)";
    // Each variable-length record takes at least its 54-byte header, between the header and the points.
    const uint64_t gap = OffsetToPointData - HeaderSize;
    if (uint64_t(NumberOfVariableLengthRecords) * 54 > gap)
        return "the header declares " + to_string(NumberOfVariableLengthRecords) +
               " variable length records, but the " + to_string(gap) +
               " bytes between the header and the point data hold at most " + to_string(gap / 54);
    const int formatSize = FormatRecordSize();
    if (formatSize == 0)
        return "point data format " + to_string(PointDataFormatID) + " is not supported (0 to 3 are)";
    if (PointDataRecordLength < formatSize)
        return "the point record length " + to_string(PointDataRecordLength) + " is shorter than the " +
               to_string(formatSize) + " bytes of point data format " + to_string(PointDataFormatID);
    const double scale[3] = {ScaleFactor_X, ScaleFactor_Y, ScaleFactor_Z};
    const double offset[3] = {OffsetX, OffsetY, OffsetZ};
    const double lo[3] = {Min_X, Min_Y, Min_Z}, hi[3] = {Max_X, Max_Y, Max_Z};
    for (int a = 0; a < 3; ++a) {
        const std::string axis(1, "XYZ"[a]);
        if (!std::isfinite(scale[a]) || scale[a] == 0)
            return "the " + axis + " scale factor is " + number(scale[a]) +
                   ": it must be a finite number other than 0";
        if (!std::isfinite(offset[a]))
            return "the " + axis + " offset is " + number(offset[a]) + ": it must be a finite number";
        if (!std::isfinite(lo[a]) || !std::isfinite(hi[a]))
            return "the " + axis + " extent (" + number(lo[a]) + " to " + number(hi[a]) + ") is not finite";
        if (lo[a] > hi[a])
            return "the " + axis + " extent is inverted: its minimum " + number(lo[a]) +
                   " lies above its maximum " + number(hi[a]);
    }
    std::string why;
    if (fileSize >= 0 && !CheckPointData(uint64_t(fileSize), &why))
        return why;
    return "";
}

std::string LASHeader::ReadChecked(FILE* file) {
    unsigned char block[BlockSize] = {};
    size_t n = 0;
    if (file && fseeko(file, 0, SEEK_SET) == 0)
        n = std::fread(block, 1, BlockSize, file);
    if (n == 0)
        return "the file is empty";
    if (n < 4 || std::memcmp(block, "LASF", 4) != 0)
        return "not a LAS file: it does not begin with the signature \"LASF\"";
    if (n < size_t(BlockSize))
        return "the file ends after " + std::to_string(n) + " bytes, inside the 227-byte LAS header";
    copyFromBuffer(block);
    return Problem(lasFileSize(file));
}

void LASHeader::outputString() const {
    std::ostringstream o;
    o.imbue(std::locale::classic());
    o << std::setprecision(9);
    o << "LAS File, signature: " << fixedText(FileSignature, 4) << ", source ID: " << FileSourceID
      << ", encoding " << GlobalEncoding << "\n";
    o << "GUID data:\n"
      << GUIDdata1 << "\n"
      << GUIDdata2 << "\n"
      << GUIDdata3 << "\n"
      << fixedText(reinterpret_cast<const char*>(GUIDdata4), 8) << ";\n";
    o << "Version " << int(VersionMajor) << "." << int(VersionMinor) << "\n";
    o << "System: " << fixedText(SystemIdentifier, 32) << ", software: " << fixedText(GeneratingSoftware, 32)
      << "\n";
    o << "Created on: " << FileCreationDay << "," << FileCreationYear << "\n";
    o << "Header size: " << HeaderSize << ", offset to point data: " << OffsetToPointData
      << ", number of variable length records: " << NumberOfVariableLengthRecords << "\n";
    o << "Point data format: " << int(PointDataFormatID) << ", record length: " << PointDataRecordLength
      << ", number of records: " << NumberOfPointRecords << "\n";
    o << "Number of points by return: " << NumberOfPointsByReturn[0] << "," << NumberOfPointsByReturn[1]
      << "," << NumberOfPointsByReturn[2] << "," << NumberOfPointsByReturn[3] << ","
      << NumberOfPointsByReturn[4] << "\n";
    o << "Scale XYZ: " << ScaleFactor_X << "," << ScaleFactor_Y << "," << ScaleFactor_Z << "\n";
    o << "Offsets XYZ: " << OffsetX << "," << OffsetY << "," << OffsetZ << "\n";
    o << "Min-Max XYZ: " << Min_X << "-" << Max_X << "," << Min_Y << "-" << Max_Y << "," << Min_Z << "-"
      << Max_Z << "\n";
    o << "Size of area: " << (Max_X - Min_X) / 1000 / ScaleFactor_X << "m x "
      << (Max_Y - Min_Y) / 1000 / ScaleFactor_Y << "m\n";
    if (std::ostream* log = lasLog())
        *log << o.str();
}
