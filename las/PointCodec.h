#pragma once
// The point block codec: predictors, level coding and the field order of one block of points. The
// block format is fixed: the streaming decompressor of the viewer reads what the file compressor writes.
//
// Integer arithmetic wraps at 32 bits (64 for GPS time); floating-point expressions are evaluated in
// the order written, in double, without fused multiply-add (this library is built with
// -ffp-contract=off), and truncating a double outside the 32-bit range (or NaN) gives -2^31, as the
// x86-64 conversion does. These make the format mean the same on every machine.
#include "AC.h"
#include "ByteSource.h"

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace pointcodec {

// An allocator whose new elements are left uninitialised. A coding buffer is written before it is read,
// often only in part (a byte plane is sized for every value, filled for those that have the byte):
// zero-filling it would fault in every page of fresh memory, most of them for nothing.
template <class T> struct UninitAllocator : std::allocator<T> {
    template <class U> struct rebind { using other = UninitAllocator<U>; };
    UninitAllocator() = default;
    template <class U> UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U> void construct(U* p) noexcept { ::new (static_cast<void*>(p)) U; }
    template <class U, class... A> void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
template <class T> using Scratch = std::vector<T, UninitAllocator<T>>;

inline int32_t add(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) + uint32_t(b));
}
inline int32_t sub(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) - uint32_t(b));
}
inline int32_t mul(int32_t a, int32_t b) {
    return int32_t(uint32_t(a) * uint32_t(b));
}
// |-2^31| = -2^31
inline int32_t wabs(int32_t a) {
    return a < 0 ? int32_t(0u - uint32_t(a)) : a;
}
inline int64_t add64(int64_t a, int64_t b) {
    return int64_t(uint64_t(a) + uint64_t(b));
}
inline int64_t sub64(int64_t a, int64_t b) {
    return int64_t(uint64_t(a) - uint64_t(b));
}
inline int32_t trunc32(double x) {
    return x > -2147483649.0 && x < 2147483648.0 ? int32_t(x) : INT32_MIN;
}

// The fields of one block of points, one array per field, in the order they are coded.
struct Columns {
    size_t n = 0;
    int format = 0;
    int extraBytes = 0; // per record, beyond the format's fields
    std::vector<uint8_t> userData, scanFlag, scanAngle, returnNo, numReturns, edge, classByte;
    std::vector<uint16_t> sourceID, intensity, red, green, blue;
    std::vector<int32_t> X, Y, Z;
    std::vector<int64_t> T;     // GPS time bit patterns
    std::vector<uint8_t> extra; // column-major: extra byte e of point i at e * n + i

    // `withExtra` false leaves the extra-byte columns empty: a decoder grows them one column at a time,
    // as the input proves they exist.
    void resize(size_t points, int pointFormat, int extraPerRecord, bool withExtra = true);
    // Packed LAS records of `recordLength` bytes (format size plus extraBytes).
    void fromRecords(const unsigned char* records, size_t count, int pointFormat, int recordLength);
    // Points [from, to) of a resized block from packed records.
    void setRecords(const unsigned char* records, int recordLength, size_t from, size_t to);
    // Points [from, to) as packed records from `records` on.
    void toRecords(unsigned char* records, int recordLength, size_t from, size_t to) const;
    void toRecords(unsigned char* records, int recordLength) const { toRecords(records, recordLength, 0, n); }
};

// Predictions of point i from the points before it (and, for Y, Z and intensity, from fields of point
// i coded earlier). GPS time is predicted with PredictGPSTime(T, s, i - 1) for point i.
int32_t PredictX(const int32_t* X, size_t i);
int32_t PredictY(const int32_t* X, const int32_t* Y, size_t i);
int32_t PredictZ(const int32_t* X, const int32_t* Y, const int32_t* Z, size_t i);
uint32_t PredictIntensity(const int32_t* Z, const uint16_t* I, size_t i);
int64_t PredictGPSTime(const int64_t* T, const uint8_t* s, size_t i);

// Y and Z predictions of a whole block, equal to PredictY and PredictZ: the deltas of X, Y and Z are
// taken once, and the scans over the hundred points before each prediction run several points at a time
// where the processor has AVX2 (`vectors` false keeps them scalar). Z may be filled in as it is
// reconstructed: prediction i reads Z below i only.
class BlockPredictor {
public:
    // Y may be null when only Y is predicted.
    BlockPredictor(const int32_t* X, const int32_t* Y, size_t n, bool vectors = true);
    int32_t predictY(const int32_t* Y, size_t i) const;
    int32_t predictZ(const int32_t* Z, size_t i);
    bool usesVectors() const { return m_vectors; }

private:
    // First k in [0, last] whose X (and, with `withY`, Y) delta before point i is within 4 of point i's.
    long matchingStep(size_t i, size_t last, bool withY) const;
    std::vector<int32_t> m_dX, m_dY, m_dZ, m_ddX, m_ddY; // deltas at j: value[j] - value[j - 1]
    size_t m_zDeltas = 1;                                // m_dZ holds the deltas below this index
    bool m_vectors = false;
};

// A block's coded form as it is being built: raw bytes and byte blocks still to be arithmetic-coded,
// in order. Coding them all at the end lets independent blocks be coded side by side.
struct CodedPieces {
    struct Piece {
        Scratch<unsigned char> bytes; // raw bytes, or the symbols of a byte block
        bool block = false;
    };
    std::vector<Piece> pieces;

    void raw(const void* data, size_t n);
    void block(Scratch<unsigned char> symbols) { pieces.push_back({std::move(symbols), true}); }
    void block(const unsigned char* symbols, size_t n) {
        block(Scratch<unsigned char>(symbols, symbols + n));
    }
    // Codes every byte block (pairs side by side, on up to `threads` threads) and appends all pieces in
    // order to `out`. Returns the end offset in `out` of each piece.
    std::vector<size_t> encodeInto(std::vector<unsigned char>& out, int threads);
};

// Level coding of n signed values: v[0] as 4 bytes, a byte block of n - 1 level codes 2k + sign, then
// for each byte plane p below the largest k its count (4 bytes) and a byte block of byte p of the
// magnitudes. -2^31 has magnitude 2^31 (level code 9).
void levelEncode(CodedPieces& out, const int32_t* v, size_t n);
void levelEncode(AC& ac, const int32_t* v, size_t n, std::vector<unsigned char>& out);
void levelDecode(AC& ac, ByteSource& in, int32_t* v, size_t n);

} // namespace pointcodec
