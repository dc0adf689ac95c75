#pragma once
// Field storage and the packed little-endian record layout shared by both point record families, and
// the byte-order helpers every reader and writer of LAS records (the coder, the stream parser, the point
// server) uses.
#include <bit>
#include <cstdint>
#include <cstring>

namespace las_detail {

// Record byte lengths by point data format; 0 for formats this system does not know.
constexpr int formatSize(int format) {
    switch (format) {
    case 0:
        return 20;
    case 1:
        return 28;
    case 2:
        return 26;
    case 3:
        return 34;
    default:
        return 0;
    }
}
constexpr bool formatHasGPSTime(int format) {
    return format == 1 || format == 3;
}
constexpr bool formatHasColor(int format) {
    return format == 2 || format == 3;
}

// Byte offsets of the fields in a point record (formats 0 to 3). The GPS time follows the common fields;
// the colour follows the GPS time in format 3 and the common fields in format 2.
constexpr int kRecordX = 0, kRecordY = 4, kRecordZ = 8, kRecordIntensity = 12, kRecordReturns = 14,
              kRecordClassification = 15, kRecordScanAngle = 16, kRecordUserData = 17, kRecordSourceID = 18,
              kRecordGpsTime = 20;
constexpr int colorOffset(int format) {
    return format == 3 ? 28 : format == 2 ? 20 : -1;
}

// Little-endian loads and stores of any width from unaligned bytes. Records and files are little-endian
// on disk; the hosts this system builds for are too.
static_assert(std::endian::native == std::endian::little, "LAS data is read with little-endian loads");
template <typename T> inline T loadLE(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T> inline void storeLE(unsigned char* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

struct PointFields {
    int32_t X = 0, Y = 0, Z = 0;
    uint16_t intensity = 0;
    uint8_t returnByte = 0;
    uint8_t classification = 0;
    int8_t scanAngleRank = 0;
    uint8_t userData = 0;
    uint16_t pointSourceID = 0;
    uint64_t gpsTimeBits = 0; // the GPS time's 8 bytes as stored
    uint16_t red = 0, green = 0, blue = 0;

    template <int F> void unpack(const unsigned char* p) {
        X = loadLE<int32_t>(p + kRecordX);
        Y = loadLE<int32_t>(p + kRecordY);
        Z = loadLE<int32_t>(p + kRecordZ);
        intensity = loadLE<uint16_t>(p + kRecordIntensity);
        returnByte = p[kRecordReturns];
        classification = p[kRecordClassification];
        scanAngleRank = static_cast<int8_t>(p[kRecordScanAngle]);
        userData = p[kRecordUserData];
        pointSourceID = loadLE<uint16_t>(p + kRecordSourceID);
        if constexpr (formatHasGPSTime(F))
            gpsTimeBits = loadLE<uint64_t>(p + kRecordGpsTime);
        if constexpr (formatHasColor(F)) {
            constexpr int c = colorOffset(F);
            red = loadLE<uint16_t>(p + c);
            green = loadLE<uint16_t>(p + c + 2);
            blue = loadLE<uint16_t>(p + c + 4);
        }
    }
    template <int F> void pack(unsigned char* p) const {
        storeLE(p + kRecordX, X);
        storeLE(p + kRecordY, Y);
        storeLE(p + kRecordZ, Z);
        storeLE(p + kRecordIntensity, intensity);
        p[kRecordReturns] = returnByte;
        p[kRecordClassification] = classification;
        p[kRecordScanAngle] = static_cast<unsigned char>(scanAngleRank);
        p[kRecordUserData] = userData;
        storeLE(p + kRecordSourceID, pointSourceID);
        if constexpr (formatHasGPSTime(F))
            storeLE(p + kRecordGpsTime, gpsTimeBits);
        if constexpr (formatHasColor(F)) {
            constexpr int c = colorOffset(F);
            storeLE(p + c, red);
            storeLE(p + c + 2, green);
            storeLE(p + c + 4, blue);
        }
    }

    double gpsTime() const {
        double d;
        std::memcpy(&d, &gpsTimeBits, sizeof d);
        return d;
    }
    void setGpsTime(double d) { std::memcpy(&gpsTimeBits, &d, sizeof d); }

    uint8_t returnNumber() const { return returnByte & 7; }
    uint8_t numberOfReturns() const { return (returnByte >> 3) & 7; }
    uint8_t scanDirectionFlag() const { return (returnByte >> 6) & 1; }
    uint8_t edgeOfFlightLine() const { return (returnByte >> 7) & 1; }
    void setReturnNumber(uint8_t v) { returnByte = static_cast<uint8_t>((returnByte & ~7u) | (v & 7u)); }
    void setNumberOfReturns(uint8_t v) {
        returnByte = static_cast<uint8_t>((returnByte & ~(7u << 3)) | ((v & 7u) << 3));
    }
    void setScanDirectionFlag(uint8_t v) {
        returnByte = static_cast<uint8_t>((returnByte & ~(1u << 6)) | ((v & 1u) << 6));
    }
    void setEdgeOfFlightLine(uint8_t v) {
        returnByte = static_cast<uint8_t>((returnByte & ~(1u << 7)) | ((v & 1u) << 7));
    }
    void setClassBit(int bit, bool on) {
        classification =
            static_cast<uint8_t>(on ? (classification | (1u << bit)) : (classification & ~(1u << bit)));
    }
};

} // namespace las_detail
