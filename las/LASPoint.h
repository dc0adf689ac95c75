#pragma once
// Point records of plain LAS files and of the point server's streams (formats 0 to 3).
#include "LASPointData.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

class LASPoint {
public:
    virtual ~LASPoint() = default;
    virtual int GetPointType() = 0;
    virtual bool Read(FILE* file) = 0;
    virtual bool Write(FILE* file) = 0;
    virtual int GetSize() = 0;
    virtual int64_t GetX() = 0;
    virtual int64_t GetY() = 0;
    virtual int64_t GetZ() = 0;
    virtual uint16_t GetIntensity() = 0;
    virtual uint8_t GetReturnNumber() = 0;
    virtual uint8_t GetNumberOfReturns() = 0;
    virtual uint8_t GetScanDirectionFlag() = 0;
    virtual uint8_t GetEdgeOfFlightLine() = 0;
    virtual uint8_t GetClasification() = 0;
    virtual int8_t GetScanAngleRank() = 0;
    virtual uint8_t GetUserData() = 0;
    virtual uint16_t GetPointSourceID() = 0;
    virtual double GetGPSTime() = 0;
    virtual uint16_t GetRed() = 0;
    virtual uint16_t GetGreen() = 0;
    virtual uint16_t GetBlue() = 0;
    virtual bool IsSynthetic() = 0;
    virtual bool IsKeyPoint() = 0;
    virtual bool IsWithheld() = 0;
    virtual void SetX(int64_t v) = 0;
    virtual void SetY(int64_t v) = 0;
    virtual void SetZ(int64_t v) = 0;
    virtual void SetIntensity(uint16_t v) = 0;
    virtual void SetReturnNumber(uint8_t v) = 0;
    virtual void SetNumberOfReturns(uint8_t v) = 0;
    virtual void SetScanDirectionFlag(uint8_t v) = 0;
    virtual void SetEdgeOfFlightLine(uint8_t v) = 0;
    virtual void SetClasification(uint8_t v) = 0;
    virtual void SetScanAngleRank(int8_t v) = 0;
    virtual void SetUserData(uint8_t v) = 0;
    virtual void SetPointSourceID(uint16_t v) = 0;
    virtual void SetGPSTime(double v) = 0;
    virtual void SetRed(uint16_t v) = 0;
    virtual void SetGreen(uint16_t v) = 0;
    virtual void SetBlue(uint16_t v) = 0;
    virtual void Synthetic(bool v) = 0;
    virtual void KeyPoint(bool v) = 0;
    virtual void Withheld(bool v) = 0;

    // Writes the packed record (GetSize() bytes) to memory; the mirror of copyFromBuffer.
    virtual void copyToBuffer(unsigned char* out) = 0;
};

// The four concrete records differ only in which fields exist; this template implements them once.
// A record holds its packed bytes, so moving records between files, buffers and objects is a copy and
// each accessor is one load or store at a fixed offset.
template <int F> class LASPointImpl : public LASPoint {
    static constexpr bool HasTime = las_detail::formatHasGPSTime(F);
    static constexpr bool HasColor = las_detail::formatHasColor(F);
    static constexpr int ColorAt = F == 3 ? 28 : 20;

public:
    static constexpr int Format = F;
    static constexpr int Size = las_detail::formatSize(F);

    int GetPointType() override { return F; }
    bool Read(FILE* file) override {
        unsigned char buf[Size];
        if (!file || std::fread(buf, 1, Size, file) != static_cast<size_t>(Size))
            return false;
        std::memcpy(r, buf, Size);
        return true;
    }
    bool Write(FILE* file) override { return file && std::fwrite(r, 1, Size, file) == static_cast<size_t>(Size); }
    int GetSize() override { return Size; }
    int64_t GetX() override { return get<int32_t>(0); }
    int64_t GetY() override { return get<int32_t>(4); }
    int64_t GetZ() override { return get<int32_t>(8); }
    uint16_t GetIntensity() override { return get<uint16_t>(12); }
    uint8_t GetReturnNumber() override { return r[14] & 7; }
    uint8_t GetNumberOfReturns() override { return (r[14] >> 3) & 7; }
    uint8_t GetScanDirectionFlag() override { return (r[14] >> 6) & 1; }
    uint8_t GetEdgeOfFlightLine() override { return (r[14] >> 7) & 1; }
    uint8_t GetClasification() override { return r[15]; }
    int8_t GetScanAngleRank() override { return static_cast<int8_t>(r[16]); }
    uint8_t GetUserData() override { return r[17]; }
    uint16_t GetPointSourceID() override { return get<uint16_t>(18); }
    double GetGPSTime() override {
        if constexpr (HasTime)
            return get<double>(20);
        return 0.0;
    }
    uint16_t GetRed() override { return colour(0); }
    uint16_t GetGreen() override { return colour(1); }
    uint16_t GetBlue() override { return colour(2); }
    bool IsSynthetic() override { return r[15] & 0x20; }
    bool IsKeyPoint() override { return r[15] & 0x40; }
    bool IsWithheld() override { return r[15] & 0x80; }
    void SetX(int64_t v) override { set(0, static_cast<uint32_t>(v)); }
    void SetY(int64_t v) override { set(4, static_cast<uint32_t>(v)); }
    void SetZ(int64_t v) override { set(8, static_cast<uint32_t>(v)); }
    void SetIntensity(uint16_t v) override { set(12, v); }
    void SetReturnNumber(uint8_t v) override { setBits(14, 0, 7, v); }
    void SetNumberOfReturns(uint8_t v) override { setBits(14, 3, 7, v); }
    void SetScanDirectionFlag(uint8_t v) override { setBits(14, 6, 1, v); }
    void SetEdgeOfFlightLine(uint8_t v) override { setBits(14, 7, 1, v); }
    void SetClasification(uint8_t v) override { r[15] = v; }
    void SetScanAngleRank(int8_t v) override { r[16] = static_cast<unsigned char>(v); }
    void SetUserData(uint8_t v) override { r[17] = v; }
    void SetPointSourceID(uint16_t v) override { set(18, v); }
    void SetGPSTime(double v) override {
        if constexpr (HasTime)
            set(20, v);
    }
    void SetRed(uint16_t v) override { setColour(0, v); }
    void SetGreen(uint16_t v) override { setColour(1, v); }
    void SetBlue(uint16_t v) override { setColour(2, v); }
    void Synthetic(bool v) override { setBits(15, 5, 1, v); }
    void KeyPoint(bool v) override { setBits(15, 6, 1, v); }
    void Withheld(bool v) override { setBits(15, 7, 1, v); }

    void copyFromBuffer(const unsigned char* buffer) { std::memcpy(r, buffer, Size); }
    void copyToBuffer(unsigned char* out) override { std::memcpy(out, r, Size); }

protected:
    LASPointImpl() = default;
    explicit LASPointImpl(const unsigned char* packed) { std::memcpy(r, packed, Size); }
    explicit LASPointImpl(LASPoint& src) {
        SetX(src.GetX());
        SetY(src.GetY());
        SetZ(src.GetZ());
        SetIntensity(src.GetIntensity());
        SetReturnNumber(src.GetReturnNumber());
        SetNumberOfReturns(src.GetNumberOfReturns());
        SetScanDirectionFlag(src.GetScanDirectionFlag());
        SetEdgeOfFlightLine(src.GetEdgeOfFlightLine());
        SetClasification(src.GetClasification());
        SetScanAngleRank(src.GetScanAngleRank());
        SetUserData(src.GetUserData());
        SetPointSourceID(src.GetPointSourceID());
        SetGPSTime(src.GetGPSTime());
        SetRed(src.GetRed());
        SetGreen(src.GetGreen());
        SetBlue(src.GetBlue());
    }

private:
    template <typename T> T get(int at) const { return las_detail::loadLE<T>(r + at); }
    template <typename T> void set(int at, T v) { las_detail::storeLE(r + at, v); }
    void setBits(int byte, int shift, unsigned mask, unsigned v) {
        r[byte] = static_cast<unsigned char>((r[byte] & ~(mask << shift)) | ((v & mask) << shift));
    }
    uint16_t colour(int c) const {
        if constexpr (HasColor)
            return get<uint16_t>(ColorAt + 2 * c);
        return 0;
    }
    void setColour(int c, uint16_t v) {
        if constexpr (HasColor)
            set(ColorAt + 2 * c, v);
    }

    unsigned char r[Size] = {}; // the record in the packed little-endian layout
};

class LASPoint0 : public LASPointImpl<0> {
public:
    LASPoint0() = default;
    LASPoint0(const LASPoint0&) = default;
    LASPoint0& operator=(const LASPoint0&) = default;
    explicit LASPoint0(LASPoint& src) : LASPointImpl<0>(src) {}
    explicit LASPoint0(const unsigned char* packed) : LASPointImpl<0>(packed) {}
};
class LASPoint1 : public LASPointImpl<1> {
public:
    LASPoint1() = default;
    LASPoint1(const LASPoint1&) = default;
    LASPoint1& operator=(const LASPoint1&) = default;
    explicit LASPoint1(LASPoint& src) : LASPointImpl<1>(src) {}
    explicit LASPoint1(const unsigned char* packed) : LASPointImpl<1>(packed) {}
};
class LASPoint2 : public LASPointImpl<2> {
public:
    LASPoint2() = default;
    LASPoint2(const LASPoint2&) = default;
    LASPoint2& operator=(const LASPoint2&) = default;
    explicit LASPoint2(LASPoint& src) : LASPointImpl<2>(src) {}
    explicit LASPoint2(const unsigned char* packed) : LASPointImpl<2>(packed) {}
};
class LASPoint3 : public LASPointImpl<3> {
public:
    LASPoint3() = default;
    LASPoint3(const LASPoint3&) = default;
    LASPoint3& operator=(const LASPoint3&) = default;
    explicit LASPoint3(LASPoint& src) : LASPointImpl<3>(src) {}
    explicit LASPoint3(const unsigned char* packed) : LASPointImpl<3>(packed) {}
};

// A new record of the given format (0 to 3), or null for any other format.
LASPoint* newLASPoint(int format);

// The record class of a point data format known at compile time.
template <int F> struct LASPointClassOf;
template <> struct LASPointClassOf<0> { using type = LASPoint0; };
template <> struct LASPointClassOf<1> { using type = LASPoint1; };
template <> struct LASPointClassOf<2> { using type = LASPoint2; };
template <> struct LASPointClassOf<3> { using type = LASPoint3; };
