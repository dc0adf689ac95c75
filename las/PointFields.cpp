#include "PointFields.h"

#include "LASPointData.h"
#include "LasLog.h"

#include <algorithm>
#include <cstring>
#include <ostream>

namespace pointcodec {

void encodeByteDeltas(CodedPieces& out, const uint8_t* v, size_t n) {
    Scratch<unsigned char> d(n);
    if (n)
        d[0] = v[0];
    for (size_t i = 1; i < n; ++i)
        d[i] = uint8_t(v[i] - v[i - 1]);
    out.block(std::move(d));
}

void rebuildByteDeltas(uint8_t* v, size_t n, unsigned mask) {
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t((i ? v[i - 1] + v[i] : v[i]) & mask);
}

namespace {

using Bytes = std::vector<uint8_t> Columns::*;
using Shorts = std::vector<uint16_t> Columns::*;

// Byte fields: the values themselves, or their deltas; the decoder keeps the field's bits.
template <Bytes col> void values(const Columns& c, CodedPieces& out) {
    out.block((c.*col).data(), c.n);
}
template <Bytes col> void byteDeltas(const Columns& c, CodedPieces& out) {
    encodeByteDeltas(out, (c.*col).data(), c.n);
}
template <Bytes col, unsigned mask> void keepBits(Columns& c, Residuals&) {
    if constexpr (mask != 0xFF)
        for (auto& v : c.*col)
            v &= mask;
}
template <Bytes col, unsigned mask> void sumBytes(Columns& c, Residuals&) {
    rebuildByteDeltas((c.*col).data(), c.n, mask);
}

// 16-bit fields as level-coded integer deltas.
template <Shorts col> void intDeltas(const Columns& c, CodedPieces& out) {
    const auto& v = c.*col;
    Scratch<int32_t> d(c.n);
    if (c.n)
        d[0] = v[0];
    for (size_t i = 1; i < c.n; ++i)
        d[i] = int32_t(v[i]) - int32_t(v[i - 1]);
    levelEncode(out, d.data(), c.n);
}
template <Shorts col, Field f> void sumInts(Columns& c, Residuals& r) {
    auto& v = c.*col;
    const auto& d = r.of[f][0];
    for (size_t i = 0; i < c.n; ++i)
        v[i] = uint16_t(i ? v[i - 1] + d[i] : d[i]);
}

// Predicted fields: value 0 itself, then residuals of the prediction from the points before.
void encodeX(const Columns& c, CodedPieces& out) {
    const int32_t* X = c.X.data();
    Scratch<int32_t> r(c.n);
    if (c.n)
        r[0] = X[0];
    for (size_t i = 1; i < c.n; ++i)
        r[i] = sub(X[i], PredictX(X, i));
    levelEncode(out, r.data(), c.n);
}
void rebuildX(Columns& c, Residuals&) {
    int32_t* X = c.X.data();
    for (size_t i = 1; i < c.n; ++i)
        X[i] = add(PredictX(X, i), X[i]);
}

void encodeY(const Columns& c, CodedPieces& out) {
    const int32_t* Y = c.Y.data();
    Scratch<int32_t> r(c.n);
    if (c.n)
        r[0] = Y[0];
    BlockPredictor predictor(c.X.data(), nullptr, c.n);
    for (size_t i = 1; i < c.n; ++i)
        r[i] = sub(Y[i], predictor.predictY(Y, i));
    levelEncode(out, r.data(), c.n);
}
void rebuildY(Columns& c, Residuals&) {
    int32_t* Y = c.Y.data();
    BlockPredictor predictor(c.X.data(), nullptr, c.n);
    for (size_t i = 1; i < c.n; ++i)
        Y[i] = add(predictor.predictY(Y, i), Y[i]);
}

void encodeZ(const Columns& c, CodedPieces& out) {
    const int32_t* Z = c.Z.data();
    Scratch<int32_t> r(c.n);
    if (c.n)
        r[0] = Z[0];
    BlockPredictor predictor(c.X.data(), c.Y.data(), c.n);
    for (size_t i = 1; i < c.n; ++i)
        r[i] = sub(Z[i], predictor.predictZ(Z, i));
    levelEncode(out, r.data(), c.n);
}
void rebuildZ(Columns& c, Residuals&) {
    int32_t* Z = c.Z.data();
    BlockPredictor predictor(c.X.data(), c.Y.data(), c.n);
    for (size_t i = 1; i < c.n; ++i)
        Z[i] = add(predictor.predictZ(Z, i), Z[i]);
}

void encodeIntensity(const Columns& c, CodedPieces& out) {
    Scratch<int32_t> r(c.n);
    if (c.n)
        r[0] = c.intensity[0];
    for (size_t i = 1; i < c.n; ++i)
        r[i] = int32_t(uint32_t(c.intensity[i]) - PredictIntensity(c.Z.data(), c.intensity.data(), i));
    levelEncode(out, r.data(), c.n);
}
void rebuildIntensity(Columns& c, Residuals& r) {
    uint16_t* I = c.intensity.data();
    const auto& d = r.of[Intensity][0];
    for (size_t i = 0; i < c.n; ++i)
        I[i] = uint16_t(i == 0 ? uint32_t(d[0]) : PredictIntensity(c.Z.data(), I, i) + uint32_t(d[i]));
}

// GPS time: the 64-bit residuals as two level codings, high halves then low halves.
void encodeGPSTime(const Columns& c, CodedPieces& out) {
    Scratch<int32_t> hi(c.n), lo(c.n);
    for (size_t i = 0; i < c.n; ++i) {
        const int64_t R =
            i == 0 ? c.T[0] : sub64(c.T[i], PredictGPSTime(c.T.data(), c.scanFlag.data(), i - 1));
        hi[i] = int32_t(R >> 32);
        lo[i] = int32_t(uint32_t(uint64_t(R)));
    }
    levelEncode(out, hi.data(), c.n);
    levelEncode(out, lo.data(), c.n);
}
void rebuildGPSTime(Columns& c, Residuals& r) {
    int64_t* T = c.T.data();
    const auto& hi = r.of[GPSTime][0];
    const auto& lo = r.of[GPSTime][1];
    for (size_t i = 0; i < c.n; ++i) {
        const int64_t R = int64_t(uint64_t(uint32_t(hi[i])) << 32 | uint32_t(lo[i]));
        T[i] = i == 0 ? R : add64(R, PredictGPSTime(T, c.scanFlag.data(), i - 1));
    }
    std::ostream* log = lasLog();
    for (size_t i = 0; log != nullptr && i < std::min<size_t>(c.n, 10); ++i) {
        double t;
        std::memcpy(&t, &T[i], sizeof t);
        *log << "GPS time: " << t << "\n";
    }
}

constexpr uint8_t kAll = 0x0F, kTime = 1 << 1 | 1 << 3, kColor = 1 << 2 | 1 << 3;

} // namespace

// clang-format off
constexpr FieldSpec kFields[FieldEnd] = {
    // name                 formats bits  byte block into      in place     levels  encode                              rebuild
    {"user data",           kAll,    8,  &Columns::userData,   nullptr,     0, values<&Columns::userData>,         keepBits<&Columns::userData, 0xFF>},
    {"scan direction flag", kAll,    1,  &Columns::scanFlag,   nullptr,     0, byteDeltas<&Columns::scanFlag>,     sumBytes<&Columns::scanFlag, 1>},
    {"scan angle rank",     kAll,    8,  &Columns::scanAngle,  nullptr,     0, byteDeltas<&Columns::scanAngle>,    sumBytes<&Columns::scanAngle, 0xFF>},
    {"return number",       kAll,    3,  &Columns::returnNo,   nullptr,     0, values<&Columns::returnNo>,         keepBits<&Columns::returnNo, 7>},
    {"point source ID",     kAll,   16,  nullptr,              nullptr,     1, intDeltas<&Columns::sourceID>,      sumInts<&Columns::sourceID, SourceID>},
    {"number of returns",   kAll,    3,  &Columns::numReturns, nullptr,     0, byteDeltas<&Columns::numReturns>,   sumBytes<&Columns::numReturns, 7>},
    {"edge of flight line", kAll,    1,  &Columns::edge,       nullptr,     0, values<&Columns::edge>,             keepBits<&Columns::edge, 1>},
    {"classification",      kAll,    8,  &Columns::classByte,  nullptr,     0, byteDeltas<&Columns::classByte>,    sumBytes<&Columns::classByte, 0xFF>},
    {"X",                   kAll,   32,  nullptr,              &Columns::X, 1, encodeX,                            rebuildX},
    {"Y",                   kAll,   32,  nullptr,              &Columns::Y, 1, encodeY,                            rebuildY},
    {"Z",                   kAll,   32,  nullptr,              &Columns::Z, 1, encodeZ,                            rebuildZ},
    {"intensity",           kAll,   16,  nullptr,              nullptr,     1, encodeIntensity,                    rebuildIntensity},
    {"GPS time",            kTime,  64,  nullptr,              nullptr,     2, encodeGPSTime,                      rebuildGPSTime},
    {"red",                 kColor, 16,  nullptr,              nullptr,     1, intDeltas<&Columns::red>,           sumInts<&Columns::red, Red>},
    {"green",               kColor, 16,  nullptr,              nullptr,     1, intDeltas<&Columns::green>,         sumInts<&Columns::green, Green>},
    {"blue",                kColor, 16,  nullptr,              nullptr,     1, intDeltas<&Columns::blue>,          sumInts<&Columns::blue, Blue>},
};
// clang-format on

// The widths of a format's fields add up to its record.
constexpr int recordBits(int format) {
    int bits = 0;
    for (const FieldSpec& f : kFields)
        bits += (f.formats >> format & 1) ? f.bits : 0;
    return bits;
}
static_assert(recordBits(0) == 8 * las_detail::formatSize(0) &&
              recordBits(1) == 8 * las_detail::formatSize(1) &&
              recordBits(2) == 8 * las_detail::formatSize(2) &&
              recordBits(3) == 8 * las_detail::formatSize(3));

int fieldCount(int format) {
    int count = 0;
    for (int f = 0; f < FieldEnd; ++f)
        count += fieldInFormat(f, format);
    return count;
}

} // namespace pointcodec
