#pragma once
// The fields of a point block, one table row each, in coding order: which point formats have the field,
// its uncompressed width, what its coded form decodes into, and how it is coded and rebuilt. Encoding,
// decoding and rebuilding of every block (file or stream) go through this table; a new field is one row
// and its column.
#include "PointCodec.h"

#include <cstdint>
#include <vector>

namespace pointcodec {

enum Field : int {
    UserData,
    ScanFlag,
    ScanAngle,
    ReturnNo,
    SourceID,
    NumReturns,
    Edge,
    ClassByte,
    FieldX,
    FieldY,
    FieldZ,
    Intensity,
    GPSTime,
    Red,
    Green,
    Blue,
    FieldEnd
};

// Level codings that a decoded field leaves for its rebuild (fields decoded in place leave none).
struct Residuals {
    std::vector<int32_t> of[FieldEnd][2];
};

struct FieldSpec {
    const char* name;
    uint8_t formats; // bit k set: point format k has the field
    uint8_t bits;    // uncompressed bits per point
    // Coded form: one byte block into `bytes`, or else `levels` level codings, into `ints` when it is
    // set (one coding, rebuilt in place) and into the field's residuals otherwise.
    std::vector<uint8_t> Columns::*bytes;
    std::vector<int32_t> Columns::*ints;
    uint8_t levels;
    void (*encode)(const Columns&, CodedPieces&);
    // Rebuilds the field from its decoded form and the fields before it.
    void (*rebuild)(Columns&, Residuals&);
};

extern const FieldSpec kFields[FieldEnd];

inline bool fieldInFormat(int f, int format) {
    return format >= 0 && format < 8 && (kFields[f].formats >> format & 1);
}

// Number of field codings of one block of the format (0 for a format without fields).
int fieldCount(int format);

// Byte deltas of the n bytes at v as one byte block; the extra-byte columns are coded so too.
void encodeByteDeltas(CodedPieces& out, const uint8_t* v, size_t n);
void rebuildByteDeltas(uint8_t* v, size_t n, unsigned mask);

} // namespace pointcodec
