#pragma once
// Field storage and the packed little-endian record layout shared by both point record families.
#include <cstdint>
#include <cstring>

namespace las_detail {

// Record byte lengths by point data format; 0 for formats this system does not know.
constexpr int formatSize(int format) {
    switch (format) {
    case 0: return 20;
    case 1: return 28;
    case 2: return 26;
    case 3: return 34;
    default: return 0;
    }
}
constexpr bool formatHasGPSTime(int format) { return format == 1 || format == 3; }
constexpr bool formatHasColor(int format) { return format == 2 || format == 3; }

template <typename T> inline T loadLE(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T> inline void storeLE(unsigned char* p, T v) { std::memcpy(p, &v, sizeof v); }

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
        X = loadLE<int32_t>(p);
        Y = loadLE<int32_t>(p + 4);
        Z = loadLE<int32_t>(p + 8);
        intensity = loadLE<uint16_t>(p + 12);
        returnByte = p[14];
        classification = p[15];
        scanAngleRank = static_cast<int8_t>(p[16]);
        userData = p[17];
        pointSourceID = loadLE<uint16_t>(p + 18);
        if constexpr (formatHasGPSTime(F))
            gpsTimeBits = loadLE<uint64_t>(p + 20);
        if constexpr (formatHasColor(F)) {
            constexpr int c = F == 3 ? 28 : 20;
            red = loadLE<uint16_t>(p + c);
            green = loadLE<uint16_t>(p + c + 2);
            blue = loadLE<uint16_t>(p + c + 4);
        }
    }
    template <int F> void pack(unsigned char* p) const {
        storeLE(p, X);
        storeLE(p + 4, Y);
        storeLE(p + 8, Z);
        storeLE(p + 12, intensity);
        p[14] = returnByte;
        p[15] = classification;
        p[16] = static_cast<unsigned char>(scanAngleRank);
        p[17] = userData;
        storeLE(p + 18, pointSourceID);
        if constexpr (formatHasGPSTime(F))
            storeLE(p + 20, gpsTimeBits);
        if constexpr (formatHasColor(F)) {
            constexpr int c = F == 3 ? 28 : 20;
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
        classification = static_cast<uint8_t>(on ? (classification | (1u << bit)) : (classification & ~(1u << bit)));
    }
};

} // namespace las_detail
