#pragma once
// The records every subsystem exchanges. Splat and Color are also the layouts of the GPU vertex
// buffers: position as three int32 at offset 0 and normal as three floats at offset 12, stride 24;
// colour as three normalised uint16, stride 6.
#include <bit>
#include <cstddef>
#include <cstdint>

struct Splat {
    // Raw LAS integer coordinates (before scale and offset) as delivered by the server. Some
    // geometry keeps float coordinates in the same words; the accessors below read and write them
    // bit for bit.
    std::int32_t x, y, z;
    float nx, ny, nz;

    float fx() const { return std::bit_cast<float>(x); }
    float fy() const { return std::bit_cast<float>(y); }
    float fz() const { return std::bit_cast<float>(z); }
    void setFloatCoords(float px, float py, float pz) {
        x = std::bit_cast<std::int32_t>(px);
        y = std::bit_cast<std::int32_t>(py);
        z = std::bit_cast<std::int32_t>(pz);
    }
};

// A splat whose coordinate words hold floats.
inline Splat makeFloatSplat(float x, float y, float z, float nx = 0.0f, float ny = 0.0f, float nz = 0.0f) {
    Splat s{0, 0, 0, nx, ny, nz};
    s.setFloatCoords(x, y, z);
    return s;
}

struct Color {
    std::uint16_t r, g, b;
};

// Bytes 12 to 15 of the point's LAS record, as stored: intensity (little-endian), the return byte (return
// number in bits 0-2, number of returns in bits 3-5) and the classification byte (class in bits 0-4).
// The colour modes by attribute read them on the GPU as four unsigned bytes, stride 4.
struct PointAttributes {
    std::uint8_t intensityLow, intensityHigh, returns, classification;

    std::uint16_t intensity() const { return std::uint16_t(intensityLow | intensityHigh << 8); }
    int returnNumber() const { return returns & 7; }
    int numberOfReturns() const { return (returns >> 3) & 7; }
    int classCode() const { return classification & 31; }
};

struct GLVector3d {
    double x, y, z;
};

struct GLVector3f {
    float x, y, z;
};

struct BBox3D {
    double minX, maxX, minY, maxY, minZ, maxZ;
};

static_assert(sizeof(Splat) == 24 && alignof(Splat) == 4);
static_assert(offsetof(Splat, x) == 0 && offsetof(Splat, y) == 4 && offsetof(Splat, z) == 8);
static_assert(offsetof(Splat, nx) == 12 && offsetof(Splat, ny) == 16 && offsetof(Splat, nz) == 20);
static_assert(sizeof(float) == 4 && sizeof(Color) == 6);
static_assert(offsetof(Color, r) == 0 && offsetof(Color, g) == 2 && offsetof(Color, b) == 4);
static_assert(sizeof(PointAttributes) == 4);
static_assert(sizeof(GLVector3d) == 24 && sizeof(GLVector3f) == 12 && sizeof(BBox3D) == 48);
static_assert(offsetof(BBox3D, minX) == 0 && offsetof(BBox3D, maxX) == 8 && offsetof(BBox3D, minY) == 16 &&
              offsetof(BBox3D, maxY) == 24 && offsetof(BBox3D, minZ) == 32 && offsetof(BBox3D, maxZ) == 40);
