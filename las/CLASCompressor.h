#pragma once
// Lossless compression of LAS point records. Each block of points is coded field by field: small
// fields as arithmetic-coded byte blocks (values or byte deltas), coordinates, intensity and GPS time
// as level-coded residuals of predictors, source ID and colours as level-coded deltas.
//
// Compressed file: a 232-byte header (the LAS header at natural alignment; first signature byte 'O'
// when the points are stored raw), the variable-length record area, then the points: raw for 999
// points or fewer, else chunks of 1,000,000 points with a last chunk of 1,000,001 to 2,000,000.
//
// Two things the fixed fields cannot carry are carried after them, so files without them are coded
// exactly as above: the extra bytes of records longer than their format (one byte block of deltas per
// extra byte, after the fields of each chunk), and bytes after the last point record (copied after the
// last chunk). A header gap carried as a pseudo-record is marked 'V' in the first signature byte; with
// raw points as well it is 'U' (the bits of both markers).
#include "AC.h"
#include "ByteSource.h"
#include "CLASFile_C.h"
#include "PointCodec.h"
#include "PointFields.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

class LevelsAhead;

class CLASCompressor {
public:
    static constexpr uint32_t RawLimit = 999;

    CLASCompressor() = default;
    CLASCompressor(const CLASCompressor&) = delete;
    CLASCompressor& operator=(const CLASCompressor&) = delete;
    virtual ~CLASCompressor() = default;

    // Compresses the LAS file at file->GetPath() to `out`; returns the bytes written. Throws
    // CLasException for a file it cannot code losslessly, with the reason.
    uint64_t CompressLASFile(FILE* out, CLASFile_C* file);
    // Decompresses `in` into the LAS file at file->GetPath().
    void DecompressLASFile(FILE* in, CLASFile_C* file, unsigned int* progress = nullptr);
    // Decodes one point block of `count` points from `in` into fresh points of the file object, whose
    // header gives the format.
    void decompressPoints(FILE* in, int count);
    void decompressPoints(ByteSource& in, int count);

    // One byte block.
    void CompressStream(const unsigned char* data, size_t count, std::vector<unsigned char>& out);
    virtual void DecompressStream(unsigned char* data, size_t count, ByteSource& in);
    // Level coding of signed values (the bool has no effect on the format).
    void NivojskoKodiranje(const int* values, size_t count, bool, std::vector<unsigned char>& out);
    virtual void NivojskoDeKodiranje(int* values, size_t count, bool, ByteSource& in);

    // Field coders over the current block of points (block(): the chunk CompressLASFile is coding, the
    // block decompressBlock decoded last, or what a caller put there); each appends its field to `out`.
    void CompressUserData(std::vector<unsigned char>& out);
    void CompressScanFlag(std::vector<unsigned char>& out);
    void CompressScanAngle(std::vector<unsigned char>& out);
    void CompressReturnNo(std::vector<unsigned char>& out);
    void CompressSorceID(std::vector<unsigned char>& out);
    void CompressReturnPulse(std::vector<unsigned char>& out);
    void CompressEdge(std::vector<unsigned char>& out);
    void CompressClass(std::vector<unsigned char>& out);
    void CompressX(std::vector<unsigned char>& out);
    void CompressY(std::vector<unsigned char>& out);
    void CompressZ(std::vector<unsigned char>& out);
    void CompressIntensity(std::vector<unsigned char>& out);
    void CompressGPSTime(std::vector<unsigned char>& out);
    void CompressRed(std::vector<unsigned char>& out);
    void CompressGreen(std::vector<unsigned char>& out);
    void CompressBlue(std::vector<unsigned char>& out);
    void DecompressUserData(ByteSource& in);
    void DecompressScanFlag(ByteSource& in);
    void DecompressScanAngle(ByteSource& in);
    void DecompressReturnNo(ByteSource& in);
    void DecompressSorceID(ByteSource& in);
    void DecompressReturnPulse(ByteSource& in);
    void DecompressEdge(ByteSource& in);
    void DecompressClass(ByteSource& in);
    void DecompressX(ByteSource& in);
    void DecompressY(ByteSource& in);
    void DecompressZ(ByteSource& in);
    void DecompressIntensity(ByteSource& in);
    void DecompressGPSTime(ByteSource& in);
    void DecompressRed(ByteSource& in);
    void DecompressGreen(ByteSource& in);
    void DecompressBlue(ByteSource& in);

    // A whole block: every field of the format (and the extra-byte columns) of `cols`.
    void compressBlock(const pointcodec::Columns& cols, std::vector<unsigned char>& out);
    void decompressBlock(ByteSource& in, pointcodec::Columns& cols);

    pointcodec::Columns& block() { return m_cols; }
    void SetLasFile(CLASFile_C* file) { m_file = file; }
    // Field codings done, as a percentage of those the operation will do.
    int getProgressPosition() const;
    // Compressed size as a percentage of the uncompressed size, so far.
    double getCompressionRatio() const { return 100.0 * m_ratio; }
    void ClearCompressor();
    // Threads used to code the fields of a chunk in parallel, and by DecompressLASFile to decode level
    // codings ahead and to rebuild and write one chunk while the next is decoded (1: all on the calling
    // thread).
    void setThreads(int threads) { m_threads = threads < 1 ? 1 : threads; }
    // Called after each chunk with points done and the total.
    std::function<void(uint64_t, uint64_t)> onChunk;

    // Sizes of the chunks of a file of `points` points (empty when they are stored raw).
    static std::vector<uint32_t> chunkSizes(uint64_t points);
    static int totalFields(uint64_t points, int format);

protected:
    using Residuals = pointcodec::Residuals;
    void calculateProgress(size_t bytesSoFar);
    // Field f (extra-byte column e is FieldEnd + e) taken off the stream, then rebuilt from it.
    void decodeField(int f, ByteSource& in, pointcodec::Columns& c, Residuals& r);
    void reconstructField(int f, pointcodec::Columns& c, Residuals& r);
    void decompressField(int f, ByteSource& in);
    static std::vector<int> chunkFields(const pointcodec::Columns& c);
    void decodeChunk(ByteSource& in, pointcodec::Columns& c, Residuals& r);
    void reconstructChunk(pointcodec::Columns& c, Residuals& r);

    pointcodec::Columns m_cols; // the block being coded
    Residuals m_residuals;
    AC m_coder;
    CLASFile_C* m_file = nullptr;
    int m_fieldsDone = 0;
    int m_totalFields = 0;
    double m_ratio = 0;
    int64_t m_uncompressedBits = 0;
    uint64_t m_written = 0; // compressed bytes already written by this operation
    uint32_t m_chunkCount = 0;
    bool m_raw = false;
    uint64_t m_totalPoints = 0;
    int m_threads = 1;
    LevelsAhead* m_levelsAhead = nullptr; // level codings decoded ahead, while DecompressLASFile runs
};
