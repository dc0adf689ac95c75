#pragma once
// Point records as the compressor handles them: the same fields and packing as LASPoint, plus the GPS
// time's raw 64-bit pattern, which the compressor codes as an integer.
#include "LASPointData.h"

#include <cstdint>

class LASPoint_C {
public:
    virtual ~LASPoint_C() = default;
    virtual int GetPointType() = 0;
    virtual int32_t GetX() = 0;
    virtual int32_t GetY() = 0;
    virtual int32_t GetZ() = 0;
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
    virtual int64_t GetGPSTimeInt64() = 0;
    virtual uint16_t GetRed() = 0;
    virtual uint16_t GetGreen() = 0;
    virtual uint16_t GetBlue() = 0;
    virtual bool IsSynthetic() = 0;
    virtual bool IsKeyPoint() = 0;
    virtual bool IsWithheld() = 0;
    virtual void SetX(int32_t v) = 0;
    virtual void SetY(int32_t v) = 0;
    virtual void SetZ(int32_t v) = 0;
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
    virtual void SetGPSTimeInt64(int64_t v) = 0;
    virtual void SetRed(uint16_t v) = 0;
    virtual void SetGreen(uint16_t v) = 0;
    virtual void SetBlue(uint16_t v) = 0;
    virtual void Synthetic(bool v) = 0;
    virtual void KeyPoint(bool v) = 0;
    virtual void Withheld(bool v) = 0;

    // Packed record in the LAS layout of this format.
    virtual void copyFromBuffer(const unsigned char* buffer) = 0;
    virtual void copyToBuffer(unsigned char* out) = 0;
};

template <int F> class LASPointImpl_C : public LASPoint_C {
public:
    static constexpr int Format = F;
    static constexpr int Size = las_detail::formatSize(F);

    int GetPointType() override { return F; }
    int32_t GetX() override { return f.X; }
    int32_t GetY() override { return f.Y; }
    int32_t GetZ() override { return f.Z; }
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
    int64_t GetGPSTimeInt64() override {
        return las_detail::formatHasGPSTime(F) ? static_cast<int64_t>(f.gpsTimeBits) : 0;
    }
    uint16_t GetRed() override { return f.red; }
    uint16_t GetGreen() override { return f.green; }
    uint16_t GetBlue() override { return f.blue; }
    bool IsSynthetic() override { return f.classification & 0x20; }
    bool IsKeyPoint() override { return f.classification & 0x40; }
    bool IsWithheld() override { return f.classification & 0x80; }
    void SetX(int32_t v) override { f.X = v; }
    void SetY(int32_t v) override { f.Y = v; }
    void SetZ(int32_t v) override { f.Z = v; }
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
    void SetGPSTimeInt64(int64_t v) override {
        if constexpr (las_detail::formatHasGPSTime(F))
            f.gpsTimeBits = static_cast<uint64_t>(v);
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
    void copyFromBuffer(const unsigned char* buffer) override { f.template unpack<F>(buffer); }
    void copyToBuffer(unsigned char* out) override { f.template pack<F>(out); }

protected:
    las_detail::PointFields f;
};

class LASPoint0_C : public LASPointImpl_C<0> {};
class LASPoint1_C : public LASPointImpl_C<1> {};
class LASPoint2_C : public LASPointImpl_C<2> {};
class LASPoint3_C : public LASPointImpl_C<3> {};

// A new compressor record of the given format (0 to 3), or null for any other format.
LASPoint_C* newLASPoint_C(int format);
