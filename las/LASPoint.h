#pragma once
// Point records of plain LAS files and of the point server's streams (formats 0 to 3).
#include "LASPointData.h"

#include <cstdint>
#include <cstdio>

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
template <int F> class LASPointImpl : public LASPoint {
public:
    static constexpr int Format = F;
    static constexpr int Size = las_detail::formatSize(F);

    int GetPointType() override { return F; }
    bool Read(FILE* file) override {
        unsigned char buf[Size];
        if (!file || std::fread(buf, 1, Size, file) != static_cast<size_t>(Size))
            return false;
        f.template unpack<F>(buf);
        return true;
    }
    bool Write(FILE* file) override {
        unsigned char buf[Size];
        f.template pack<F>(buf);
        return file && std::fwrite(buf, 1, Size, file) == static_cast<size_t>(Size);
    }
    int GetSize() override { return Size; }
    int64_t GetX() override { return f.X; }
    int64_t GetY() override { return f.Y; }
    int64_t GetZ() override { return f.Z; }
    uint16_t GetIntensity() override { return f.intensity; }
    uint8_t GetReturnNumber() override { return f.returnNumber(); }
    uint8_t GetNumberOfReturns() override { return f.numberOfReturns(); }
    uint8_t GetScanDirectionFlag() override { return f.scanDirectionFlag(); }
    uint8_t GetEdgeOfFlightLine() override { return f.edgeOfFlightLine(); }
    uint8_t GetClasification() override { return f.classification; }
    int8_t GetScanAngleRank() override { return f.scanAngleRank; }
    uint8_t GetUserData() override { return f.userData; }
    uint16_t GetPointSourceID() override { return f.pointSourceID; }
    double GetGPSTime() override { return las_detail::formatHasGPSTime(F) ? f.gpsTime() : 0.0; }
    uint16_t GetRed() override { return f.red; }
    uint16_t GetGreen() override { return f.green; }
    uint16_t GetBlue() override { return f.blue; }
    bool IsSynthetic() override { return f.classification & 0x20; }
    bool IsKeyPoint() override { return f.classification & 0x40; }
    bool IsWithheld() override { return f.classification & 0x80; }
    void SetX(int64_t v) override { f.X = static_cast<int32_t>(static_cast<uint32_t>(v)); }
    void SetY(int64_t v) override { f.Y = static_cast<int32_t>(static_cast<uint32_t>(v)); }
    void SetZ(int64_t v) override { f.Z = static_cast<int32_t>(static_cast<uint32_t>(v)); }
    void SetIntensity(uint16_t v) override { f.intensity = v; }
    void SetReturnNumber(uint8_t v) override { f.setReturnNumber(v); }
    void SetNumberOfReturns(uint8_t v) override { f.setNumberOfReturns(v); }
    void SetScanDirectionFlag(uint8_t v) override { f.setScanDirectionFlag(v); }
    void SetEdgeOfFlightLine(uint8_t v) override { f.setEdgeOfFlightLine(v); }
    void SetClasification(uint8_t v) override { f.classification = v; }
    void SetScanAngleRank(int8_t v) override { f.scanAngleRank = v; }
    void SetUserData(uint8_t v) override { f.userData = v; }
    void SetPointSourceID(uint16_t v) override { f.pointSourceID = v; }
    void SetGPSTime(double v) override {
        if constexpr (las_detail::formatHasGPSTime(F))
            f.setGpsTime(v);
    }
    void SetRed(uint16_t v) override {
        if constexpr (las_detail::formatHasColor(F))
            f.red = v;
    }
    void SetGreen(uint16_t v) override {
        if constexpr (las_detail::formatHasColor(F))
            f.green = v;
    }
    void SetBlue(uint16_t v) override {
        if constexpr (las_detail::formatHasColor(F))
            f.blue = v;
    }
    void Synthetic(bool v) override { f.setClassBit(5, v); }
    void KeyPoint(bool v) override { f.setClassBit(6, v); }
    void Withheld(bool v) override { f.setClassBit(7, v); }

    void copyFromBuffer(const unsigned char* buffer) { f.template unpack<F>(buffer); }
    void copyToBuffer(unsigned char* out) override { f.template pack<F>(out); }

protected:
    LASPointImpl() = default;
    explicit LASPointImpl(LASPoint& src) {
        f.X = static_cast<int32_t>(src.GetX());
        f.Y = static_cast<int32_t>(src.GetY());
        f.Z = static_cast<int32_t>(src.GetZ());
        f.intensity = src.GetIntensity();
        f.setReturnNumber(src.GetReturnNumber());
        f.setNumberOfReturns(src.GetNumberOfReturns());
        f.setScanDirectionFlag(src.GetScanDirectionFlag());
        f.setEdgeOfFlightLine(src.GetEdgeOfFlightLine());
        f.classification = src.GetClasification();
        f.scanAngleRank = src.GetScanAngleRank();
        f.userData = src.GetUserData();
        f.pointSourceID = src.GetPointSourceID();
        SetGPSTime(src.GetGPSTime());
        SetRed(src.GetRed());
        SetGreen(src.GetGreen());
        SetBlue(src.GetBlue());
    }

    las_detail::PointFields f;
};

class LASPoint0 : public LASPointImpl<0> {
public:
    LASPoint0() = default;
    LASPoint0(const LASPoint0&) = default;
    LASPoint0& operator=(const LASPoint0&) = default;
    explicit LASPoint0(LASPoint& src) : LASPointImpl<0>(src) {}
};
class LASPoint1 : public LASPointImpl<1> {
public:
    LASPoint1() = default;
    LASPoint1(const LASPoint1&) = default;
    LASPoint1& operator=(const LASPoint1&) = default;
    explicit LASPoint1(LASPoint& src) : LASPointImpl<1>(src) {}
};
class LASPoint2 : public LASPointImpl<2> {
public:
    LASPoint2() = default;
    LASPoint2(const LASPoint2&) = default;
    LASPoint2& operator=(const LASPoint2&) = default;
    explicit LASPoint2(LASPoint& src) : LASPointImpl<2>(src) {}
};
class LASPoint3 : public LASPointImpl<3> {
public:
    LASPoint3() = default;
    LASPoint3(const LASPoint3&) = default;
    LASPoint3& operator=(const LASPoint3&) = default;
    explicit LASPoint3(LASPoint& src) : LASPointImpl<3>(src) {}
};

// A new record of the given format (0 to 3), or null for any other format.
LASPoint* newLASPoint(int format);

// The record class of a point data format known at compile time.
template <int F> struct LASPointClassOf;
template <> struct LASPointClassOf<0> { using type = LASPoint0; };
template <> struct LASPointClassOf<1> { using type = LASPoint1; };
template <> struct LASPointClassOf<2> { using type = LASPoint2; };
template <> struct LASPointClassOf<3> { using type = LASPoint3; };
