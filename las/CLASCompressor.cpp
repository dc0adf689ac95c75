#include "CLASCompressor.h"

#include "CLASReader.h"
#include "FileHandle.h"
#include "LASHeader.h"
#include "LASPointData.h"
#include "LevelsAhead.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>

using namespace pointcodec;

namespace {

// One field coded on its own, as the single-field coders do.
void encodeFieldNow(int f, const Columns& c, std::vector<unsigned char>& out) {
    CodedPieces pieces;
    kFields[f].encode(c, pieces);
    pieces.encodeInto(out, 1);
}

// A read-only mapping of a whole regular file.
class Mapping {
public:
    Mapping() = default;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() {
        if (m_data != MAP_FAILED)
            munmap(m_data, m_size);
    }
    bool map(FILE* f, int64_t size) {
        struct stat st;
        if (size <= 0 || fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != size)
            return false;
        m_size = size_t(size);
        m_data = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fileno(f), 0);
        return m_data != MAP_FAILED;
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(m_data); }

private:
    void* m_data = MAP_FAILED;
    size_t m_size = 0;
};

void writeAll(FILE* out, const void* data, size_t n, const char* reason) {
    if (n && std::fwrite(data, 1, n, out) != n)
        throw CLasException(reason);
}

} // namespace

// ---------------------------------------------------------------- chunking and progress

std::vector<uint32_t> CLASCompressor::chunkSizes(uint64_t points) {
    std::vector<uint32_t> sizes;
    if (points <= RawLimit)
        return sizes;
    uint64_t left = points;
    while (left >= 2000001) {
        sizes.push_back(1000000);
        left -= 1000000;
    }
    sizes.push_back(uint32_t(left));
    return sizes;
}

int CLASCompressor::totalFields(uint64_t points, int format) {
    return int(chunkSizes(points).size()) * fieldCount(format);
}

int CLASCompressor::getProgressPosition() const {
    return m_totalFields == 0 ? 0 : m_fieldsDone * 100 / m_totalFields;
}

void CLASCompressor::calculateProgress(size_t bytesSoFar) {
    ++m_fieldsDone;
    if (m_uncompressedBits > 0)
        m_ratio = double(m_written + bytesSoFar) * 8.0 / double(m_uncompressedBits);
}

void CLASCompressor::ClearCompressor() {
    m_totalFields = 0;
    m_fieldsDone = 0;
    m_cols = Columns();
}

// ---------------------------------------------------------------- streams and field coders

void CLASCompressor::CompressStream(const unsigned char* data, size_t count,
                                    std::vector<unsigned char>& out) {
    m_coder.encodeBlock(data, count, out);
}

void CLASCompressor::DecompressStream(unsigned char* data, size_t count, ByteSource& in) {
    m_coder.decodeBlock(in, data, count);
}

void CLASCompressor::NivojskoKodiranje(const int* values, size_t count, bool,
                                       std::vector<unsigned char>& out) {
    levelEncode(m_coder, values, count, out);
}

void CLASCompressor::NivojskoDeKodiranje(int* values, size_t count, bool, ByteSource& in) {
    levelDecode(m_coder, in, values, count);
}

void CLASCompressor::CompressUserData(std::vector<unsigned char>& out) {
    encodeFieldNow(UserData, m_cols, out);
}
void CLASCompressor::CompressScanFlag(std::vector<unsigned char>& out) {
    encodeFieldNow(ScanFlag, m_cols, out);
}
void CLASCompressor::CompressScanAngle(std::vector<unsigned char>& out) {
    encodeFieldNow(ScanAngle, m_cols, out);
}
void CLASCompressor::CompressReturnNo(std::vector<unsigned char>& out) {
    encodeFieldNow(ReturnNo, m_cols, out);
}
void CLASCompressor::CompressSorceID(std::vector<unsigned char>& out) {
    encodeFieldNow(SourceID, m_cols, out);
}
void CLASCompressor::CompressReturnPulse(std::vector<unsigned char>& out) {
    encodeFieldNow(NumReturns, m_cols, out);
}
void CLASCompressor::CompressEdge(std::vector<unsigned char>& out) {
    encodeFieldNow(Edge, m_cols, out);
}
void CLASCompressor::CompressClass(std::vector<unsigned char>& out) {
    encodeFieldNow(ClassByte, m_cols, out);
}
void CLASCompressor::CompressX(std::vector<unsigned char>& out) {
    encodeFieldNow(FieldX, m_cols, out);
}
void CLASCompressor::CompressY(std::vector<unsigned char>& out) {
    encodeFieldNow(FieldY, m_cols, out);
}
void CLASCompressor::CompressZ(std::vector<unsigned char>& out) {
    encodeFieldNow(FieldZ, m_cols, out);
}
void CLASCompressor::CompressIntensity(std::vector<unsigned char>& out) {
    encodeFieldNow(Intensity, m_cols, out);
}
void CLASCompressor::CompressGPSTime(std::vector<unsigned char>& out) {
    encodeFieldNow(GPSTime, m_cols, out);
}
void CLASCompressor::CompressRed(std::vector<unsigned char>& out) {
    encodeFieldNow(Red, m_cols, out);
}
void CLASCompressor::CompressGreen(std::vector<unsigned char>& out) {
    encodeFieldNow(Green, m_cols, out);
}
void CLASCompressor::CompressBlue(std::vector<unsigned char>& out) {
    encodeFieldNow(Blue, m_cols, out);
}

// Decoding a field takes its coded bytes off the stream; reconstructing it undoes deltas and predictions
// (from fields reconstructed before it). A chunk's fields are all decoded before any is reconstructed,
// so that the two halves can run on different threads for different chunks.
void CLASCompressor::decodeField(int f, ByteSource& in, Columns& c, Residuals& r) {
    const size_t n = c.n;
    if (f >= FieldEnd) { // an extra-byte column
        const size_t e = size_t(f - FieldEnd);
        if (c.extra.size() < (e + 1) * n)
            c.extra.resize((e + 1) * n);
        DecompressStream(c.extra.data() + e * n, n, in);
        return;
    }
    const FieldSpec& spec = kFields[f];
    if (spec.bytes) {
        DecompressStream((c.*spec.bytes).data(), n, in);
        return;
    }
    for (int k = 0; k < spec.levels; ++k) {
        std::vector<int32_t>& v = spec.ints ? c.*spec.ints : r.of[f][k];
        v.resize(n);
        uint64_t end = 0;
        if (m_levelsAhead && m_levelsAhead->take(in.position(), v, end))
            in.seek(end);
        else
            NivojskoDeKodiranje(v.data(), n, false, in);
    }
}

void CLASCompressor::reconstructField(int f, Columns& c, Residuals& r) {
    if (f < FieldEnd)
        kFields[f].rebuild(c, r);
    else
        rebuildByteDeltas(c.extra.data() + size_t(f - FieldEnd) * c.n, c.n, 0xFF);
}

// The fields of a chunk in coding order, extra-byte columns last.
std::vector<int> CLASCompressor::chunkFields(const Columns& c) {
    std::vector<int> fields;
    for (int f = 0; f < FieldEnd; ++f)
        if (fieldInFormat(f, c.format))
            fields.push_back(f);
    for (int e = 0; e < c.extraBytes; ++e)
        fields.push_back(FieldEnd + e);
    return fields;
}

void CLASCompressor::decodeChunk(ByteSource& in, Columns& c, Residuals& r) {
    if (m_levelsAhead)
        m_levelsAhead->moveTo(in.position(), c.n);
    for (int f : chunkFields(c))
        decodeField(f, in, c, r);
    m_fieldsDone += fieldCount(c.format);
}

void CLASCompressor::reconstructChunk(Columns& c, Residuals& r) {
    for (int f : chunkFields(c))
        reconstructField(f, c, r);
}

void CLASCompressor::DecompressUserData(ByteSource& in) {
    decompressField(UserData, in);
}
void CLASCompressor::DecompressScanFlag(ByteSource& in) {
    decompressField(ScanFlag, in);
}
void CLASCompressor::DecompressScanAngle(ByteSource& in) {
    decompressField(ScanAngle, in);
}
void CLASCompressor::DecompressReturnNo(ByteSource& in) {
    decompressField(ReturnNo, in);
}
void CLASCompressor::DecompressSorceID(ByteSource& in) {
    decompressField(SourceID, in);
}
void CLASCompressor::DecompressReturnPulse(ByteSource& in) {
    decompressField(NumReturns, in);
}
void CLASCompressor::DecompressEdge(ByteSource& in) {
    decompressField(Edge, in);
}
void CLASCompressor::DecompressClass(ByteSource& in) {
    decompressField(ClassByte, in);
}
void CLASCompressor::DecompressX(ByteSource& in) {
    decompressField(FieldX, in);
}
void CLASCompressor::DecompressY(ByteSource& in) {
    decompressField(FieldY, in);
}
void CLASCompressor::DecompressZ(ByteSource& in) {
    decompressField(FieldZ, in);
}
void CLASCompressor::DecompressIntensity(ByteSource& in) {
    decompressField(Intensity, in);
}
void CLASCompressor::DecompressGPSTime(ByteSource& in) {
    decompressField(GPSTime, in);
}
void CLASCompressor::DecompressRed(ByteSource& in) {
    decompressField(Red, in);
}
void CLASCompressor::DecompressGreen(ByteSource& in) {
    decompressField(Green, in);
}
void CLASCompressor::DecompressBlue(ByteSource& in) {
    decompressField(Blue, in);
}

void CLASCompressor::decompressField(int f, ByteSource& in) {
    decodeField(f, in, m_cols, m_residuals);
    reconstructField(f, m_cols, m_residuals);
}

// ---------------------------------------------------------------- blocks

void CLASCompressor::compressBlock(const Columns& cols, std::vector<unsigned char>& out) {
    const size_t start = out.size();
    // Every field's pieces first (the fields are independent: their predictors run on all threads),
    // then all byte blocks coded together: pairs of independent blocks side by side, spread over the
    // threads.
    const std::vector<int> fields = chunkFields(cols);
    const size_t jobs = fields.size();
    std::vector<CodedPieces> parts(jobs);
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto work = [&] {
        for (size_t j; (j = next++) < jobs;) {
            try {
                if (fields[j] < FieldEnd)
                    kFields[fields[j]].encode(cols, parts[j]);
                else
                    encodeByteDeltas(parts[j], cols.extra.data() + size_t(fields[j] - FieldEnd) * cols.n,
                                     cols.n);
            } catch (...) {
                std::lock_guard lock(failureLock);
                if (!failure)
                    failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < m_threads && size_t(t) < jobs; ++t)
        pool.emplace_back(work);
    work();
    for (auto& t : pool)
        t.join();
    if (failure)
        std::rethrow_exception(failure);

    CodedPieces pieces;
    std::vector<std::pair<int, size_t>> fieldEnds; // field, index of its last piece + 1
    for (size_t j = 0; j < jobs; ++j) {
        for (auto& piece : parts[j].pieces)
            pieces.pieces.push_back(std::move(piece));
        if (fields[j] < FieldEnd)
            fieldEnds.push_back({fields[j], pieces.pieces.size()});
    }
    const std::vector<size_t> ends = pieces.encodeInto(out, m_threads);
    for (auto [f, pieceEnd] : fieldEnds) {
        m_uncompressedBits += int64_t(kFields[f].bits) * int64_t(cols.n);
        calculateProgress((pieceEnd ? ends[pieceEnd - 1] : start) - start);
    }
}

void CLASCompressor::decompressBlock(ByteSource& in, Columns& cols) {
    m_cols = std::move(cols);
    decodeChunk(in, m_cols, m_residuals);
    reconstructChunk(m_cols, m_residuals);
    cols = std::move(m_cols);
}

// ---------------------------------------------------------------- files

namespace {

// Bytes between the header and the points that the fixed layout cannot place must never be dropped
// or changed: such files are refused before anything is written.
void checkCodable(const LASHeader_C& h, const std::string& path, uint64_t fileSize) {
    const int formatSize = h.FormatRecordSize();
    if (std::memcmp(h.FileSignature + 1, "ASF", 3) != 0)
        throw CLasException("not a LAS file: " + path);
    if (formatSize == 0)
        throw CLasException("point data format " + std::to_string(h.PointDataFormatID) +
                            " cannot be compressed");
    if (h.PointDataRecordLength < formatSize)
        throw CLasException("point record length " + std::to_string(h.PointDataRecordLength) +
                            " is shorter than point format " + std::to_string(h.PointDataFormatID) +
                            " needs");
    if (h.HeaderSize != LASHeader::BlockSize)
        throw CLasException("header size " + std::to_string(h.HeaderSize) +
                            ": the compressed format carries a header of exactly 227 bytes");
    if (h.OffsetToPointData < h.HeaderSize)
        throw CLasException("offset to point data lies inside the header");
    const uint64_t end =
        uint64_t(h.OffsetToPointData) + uint64_t(h.NumberOfPointRecords) * h.PointDataRecordLength;
    if (end > fileSize)
        throw CLasException("file is truncated: its points end at byte " + std::to_string(end) + " of " +
                            std::to_string(fileSize));
}

} // namespace

uint64_t CLASCompressor::CompressLASFile(FILE* out, CLASFile_C* file) {
    if (!out)
        throw CLasException("File could not open");
    if (!file)
        throw CLasException("no LAS file to compress");
    m_file = file;
    m_fieldsDone = 0;
    m_ratio = 0;
    m_chunkCount = 0;
    m_uncompressedBits = 0;
    m_written = 0;
    const std::string path = file->GetPath();
    if (!file->GetHeader() && !file->ReadHeader())
        throw CLasException("ReadError::File could not be open.");
    int64_t fileSize = 0;
    {
        FilePtr f = openFile(path.c_str(), "rb");
        if (!f)
            throw CLasException("ReadError::File could not be open.");
        fileSize = lasFileSize(f.get());
    }
    checkCodable(*file->GetHeader(), path, uint64_t(fileSize));
    const uint32_t gap = file->GetHeader()->OffsetToPointData - file->GetHeader()->HeaderSize;
    if (file->GetHeader()->NumberOfVariableLengthRecords == 0 && (gap == 1 || gap == 2)) {
        unsigned char g[2] = {};
        CLASReader::ReadPoint(path.c_str(), g, LASHeader::BlockSize, gap);
        if (gap == 1 || g[0] != 0xDD || g[1] != 0xCC)
            throw CLasException("the " + std::to_string(gap) +
                                "-byte gap before the points is not the LAS 1.0 start signature (DD CC) and "
                                "cannot be carried");
    }
    file->ReadVRL();
    LASHeader_C h = *file->GetHeader();
    const uint64_t count = h.NumberOfPointRecords;
    const uint32_t recLen = h.PointDataRecordLength;
    const int format = h.PointDataFormatID;
    m_totalPoints = count;
    m_raw = count <= RawLimit;
    const auto chunks = chunkSizes(count);
    m_totalFields = int(chunks.size()) * fieldCount(format);

    const long startPos = ftell(out);
    unsigned char block[LASHeader_C::BlockSize];
    if (m_raw)
        h.FileSignature[0] = h.FileSignature[0] == 'V' ? 'U' : 'O';
    h.copyToBuffer(block);
    writeAll(out, block, sizeof block, "WriteError::LAS Header");
    m_written += sizeof block;
    m_uncompressedBits += 8 * int64_t(sizeof block);
    if (h.NumberOfVariableLengthRecords != 0) {
        const auto& area = file->RecordArea();
        writeAll(out, area.data(), area.size(), "WriteError::LAS VRL");
        m_written += area.size();
        m_uncompressedBits += 8 * int64_t(area.size());
    }

    const uint64_t pointsAt = h.OffsetToPointData;
    std::vector<unsigned char> records;
    if (m_raw) {
        records.resize(count * recLen);
        CLASReader::ReadPoints(path.c_str(), records.data(), pointsAt, recLen, count, recLen);
        writeAll(out, records.data(), records.size(), "WriteError::LAS Point");
        m_written += records.size();
    } else {
        std::vector<unsigned char> coded;
        uint64_t done = 0;
        // Records are read in slices: a whole chunk of them would be memory touched once and thrown away.
        const size_t slice = std::max<size_t>(1, (4u << 20) / recLen);
        records.resize(std::min<uint64_t>(slice, count) * recLen);
        for (uint32_t n : chunks) {
            m_cols.resize(n, format, int(recLen) - h.FormatRecordSize());
            for (size_t from = 0; from < n; from += slice) {
                const size_t to = std::min<size_t>(n, from + slice);
                CLASReader::ReadPoints(path.c_str(), records.data(), pointsAt + (done + from) * recLen,
                                       recLen, to - from, recLen);
                m_cols.setRecords(records.data(), int(recLen), from, to);
            }
            coded.clear();
            compressBlock(m_cols, coded);
            writeAll(out, coded.data(), coded.size(), "WriteError::LAS Point");
            m_written += coded.size();
            ++m_chunkCount;
            done += n;
            if (onChunk)
                onChunk(done, count);
        }
        m_cols = Columns();
    }
    // Whatever follows the last record goes after the last block.
    const uint64_t tail = uint64_t(fileSize) - (pointsAt + count * recLen);
    for (uint64_t at = 0; at < tail;) {
        records.resize(size_t(std::min<uint64_t>(tail - at, 1 << 20)));
        CLASReader::ReadPoint(path.c_str(), records.data(), pointsAt + count * recLen + at, records.size());
        writeAll(out, records.data(), records.size(), "WriteError::LAS Point");
        at += records.size();
        m_written += records.size();
    }
    if (std::fflush(out) != 0)
        throw CLasException("WriteError::LAS Point");
    m_fieldsDone = 0;
    m_ratio = 0;
    return uint64_t(ftell(out) - startPos);
}

void CLASCompressor::DecompressLASFile(FILE* in, CLASFile_C* file, unsigned int* progress) {
    if (!in)
        throw CLasException("File could not open.");
    if (!file)
        throw CLasException("no LAS file to write");
    m_file = file;
    m_fieldsDone = 0;
    m_ratio = 0;
    m_chunkCount = 0;
    const int64_t inSize = lasFileSize(in);
    const int64_t inStart = ftello(in);
    FileByteSource src(in);
    // Nothing a header asks for is allocated before it is checked against what the input holds.
    auto remaining = [&] {
        return uint64_t(std::max<int64_t>(0, inSize - inStart - int64_t(src.position())));
    };

    unsigned char block[LASHeader_C::BlockSize];
    src.read(block, sizeof block, "not a compressed Pontaro LAS file: it is shorter than its header");
    auto h = std::make_unique<LASHeader_C>();
    h->copyFromBuffer(block);
    const char marker = h->FileSignature[0];
    if (std::memcmp(h->FileSignature + 1, "ASF", 3) != 0 ||
        (marker != 'L' && marker != 'O' && marker != 'V' && marker != 'U'))
        throw CLasException("not a compressed Pontaro LAS file: it does not begin with its signature");
    // Byte 105 is alignment, always 0 in the compressed header; in a plain LAS file it is the low byte of
    // the record length.
    if (marker == 'L' && block[105] != 0) {
        LASHeader plain;
        plain.copyFromBuffer(block);
        if (plain.FormatRecordSize() != 0 && plain.PointDataRecordLength >= plain.FormatRecordSize())
            throw CLasException("not a compressed Pontaro LAS file (it is a plain LAS file)");
    }
    const int formatSize = h->FormatRecordSize();
    if (formatSize == 0 || h->PointDataRecordLength < formatSize)
        throw CLasException("compressed header: unknown point format or record length");
    if (h->HeaderSize != LASHeader::BlockSize || h->OffsetToPointData < h->HeaderSize)
        throw CLasException("compressed header: header size or offset to point data out of range");
    // Without records the gap before the points is empty or the two-byte start signature: a compressed
    // file carries any other gap as a record area. A larger one is damage, not zeros to write.
    if (h->NumberOfVariableLengthRecords == 0 && h->OffsetToPointData - h->HeaderSize > 2)
        throw CLasException("compressed header: " + std::to_string(h->OffsetToPointData - h->HeaderSize) +
                            " bytes before the point data but no record area holding them");
    const bool raw = marker == 'O' || marker == 'U';
    const bool pseudo = marker == 'V' || marker == 'U';
    h->FileSignature[0] = pseudo ? 'V' : 'L';
    const uint64_t count = h->NumberOfPointRecords;
    const uint32_t recLen = h->PointDataRecordLength;
    const int format = h->PointDataFormatID;

    std::vector<unsigned char> area;
    std::vector<uint32_t> positions;
    if (h->NumberOfVariableLengthRecords != 0) {
        const uint64_t n = h->OffsetToPointData - h->HeaderSize;
        const std::string beyond = "the offset to the point data (" + std::to_string(h->OffsetToPointData) +
                                   ") lies beyond the end of the file (" + std::to_string(inSize) + " bytes)";
        if (n > remaining())
            throw CLasException(beyond);
        area.resize(n);
        src.read(area.data(), n, beyond.c_str());
        for (uint64_t at = 0; at + 54 <= n && positions.size() < h->NumberOfVariableLengthRecords;) {
            positions.push_back(uint32_t(at));
            at += 54 + (uint32_t(area[at + 20]) | uint32_t(area[at + 21]) << 8);
        }
    }
    if (raw && count * recLen > remaining())
        throw CLasException("the compressed file is truncated: its header declares " + std::to_string(count) +
                            " points of " + std::to_string(recLen) + " bytes, but only " +
                            std::to_string(remaining()) + " bytes follow");
    const auto chunks = raw ? std::vector<uint32_t>() : chunkSizes(count);
    // A chunk allocates for at most 2,000,000 points whatever the header says, and every chunk holds at
    // least one coded table per field: a count the input cannot hold is refused up front.
    if (!raw && chunks.size() * fieldCount(format) * AC::TableBytes > remaining())
        throw CLasException("the compressed file is truncated: its header declares " + std::to_string(count) +
                            " points, more than the " + std::to_string(remaining()) +
                            " bytes after it can hold");
    m_totalPoints = count;
    m_raw = raw;
    m_totalFields = int(chunks.size()) * fieldCount(format);

    // With threads to spare, the level codings ahead are decoded from a mapping of the input while this
    // thread decodes in order (a pipe or a short read maps nothing and decodes in one chain).
    Mapping mapping;
    std::unique_ptr<LevelsAhead> ahead;
    if (m_threads >= 2 && !raw && !chunks.empty() && mapping.map(in, inSize))
        ahead =
            std::make_unique<LevelsAhead>(mapping.data() + inStart, size_t(inSize - inStart), m_threads - 1);
    struct Attach {
        LevelsAhead*& slot;
        ~Attach() { slot = nullptr; }
    } attach{m_levelsAhead = ahead.get()};

    file->SetHeader(h.release());
    file->SetVLRecord(std::move(area), std::move(positions));
    file->WriteHeader();
    file->WriteVRL();
    std::vector<unsigned char> records;
    if (raw) {
        records.resize(count * recLen);
        src.read(records.data(), records.size(), "ReadError::LAS Points");
        file->WriteRecords(records.data(), count, progress);
    } else {
        uint64_t done = 0;
        // Rebuilds a decoded chunk and writes it, in slices, so long records need no chunk-sized buffer.
        auto finish = [&](Columns& cols, Residuals& res, std::vector<unsigned char>& buffer) {
            reconstructChunk(cols, res);
            const size_t slice = std::max<size_t>(1, (16u << 20) / recLen);
            buffer.resize(std::min<size_t>(slice, cols.n) * recLen);
            for (size_t from = 0; from < cols.n; from += slice) {
                const size_t to = std::min<size_t>(cols.n, from + slice);
                cols.toRecords(buffer.data(), recLen, from, to);
                file->WriteRecords(buffer.data(), to - from, progress);
            }
            ++m_chunkCount;
            done += cols.n;
            if (onChunk)
                onChunk(done, count);
        };
        // A stream that ends inside a block is reported as the truncation it is, not as the coder losing
        // its place in the stream.
        uint64_t decoding = 0; // first point of the block being decoded
        auto decode = [&](Columns& cols, Residuals& res) {
            try {
                decodeChunk(src, cols, res);
            } catch (const CLasException&) {
                if (src.pastEnd() == 0 && !src.atEnd())
                    throw;
                throw CLasException("the compressed file is truncated: it ends after " +
                                    std::to_string(inSize) + " bytes, inside the coded block of points " +
                                    std::to_string(decoding) + " to " + std::to_string(decoding + cols.n) +
                                    " (of " + std::to_string(count) + ")");
            }
            decoding += cols.n;
        };
        if (m_threads < 2 || chunks.size() < 2) {
            Columns cols;
            for (uint32_t n : chunks) {
                cols.resize(n, format, recLen - formatSize, false);
                decode(cols, m_residuals);
                finish(cols, m_residuals, records);
            }
        } else {
            // Decoding is one chain through the stream; rebuilding and writing a chunk needs only that
            // chunk. So another thread rebuilds and writes each chunk while this one decodes the next.
            struct Slot {
                Columns cols;
                Residuals res;
                std::vector<unsigned char> buffer;
            };
            Slot slots[2];
            std::future<void> writing; // of the chunk before the one being decoded
            try {
                for (size_t k = 0; k < chunks.size(); ++k) {
                    Slot& slot = slots[k % 2]; // its previous chunk was finished before the last one began
                    slot.cols.resize(chunks[k], format, recLen - formatSize, false);
                    decode(slot.cols, slot.res);
                    if (writing.valid())
                        writing.get();
                    writing = std::async(std::launch::async,
                                         [&finish, &slot] { finish(slot.cols, slot.res, slot.buffer); });
                }
                writing.get();
            } catch (...) {
                if (writing.valid())
                    writing.wait();
                throw;
            }
        }
    }
    file->CloseFile();
    // Bytes after the last block are what followed the points in the LAS file.
    if (!src.atEnd()) {
        FilePtr out = openFile(file->GetPath().c_str(), "ab");
        if (!out)
            throw CLasException("WriteError::File could not be open.");
        unsigned char buf[1 << 16];
        while (!src.atEnd()) {
            size_t n = 0;
            while (n < sizeof buf && !src.atEnd())
                buf[n++] = uint8_t(src.next());
            writeAll(out.get(), buf, n, "WriteError::LAS Point");
        }
        if (std::fflush(out.get()) != 0)
            throw CLasException("WriteError::LAS Point");
    }
    src.sync();
    m_fieldsDone = 0;
    m_ratio = 0;
}

void CLASCompressor::decompressPoints(FILE* in, int count) {
    FileByteSource src(in);
    decompressPoints(src, count);
    src.sync();
}

void CLASCompressor::decompressPoints(ByteSource& in, int count) {
    if (!m_file || !m_file->GetHeader())
        throw CLasException("no header to decode points with");
    LASHeader_C* h = m_file->GetHeader();
    const int format = h->PointDataFormatID;
    const int formatSize = h->FormatRecordSize();
    if (formatSize == 0 || h->PointDataRecordLength < formatSize || count < 0)
        throw CLasException("unknown point format or record length");
    m_totalFields = fieldCount(format);
    m_fieldsDone = 0;
    Columns cols;
    cols.resize(size_t(count), format, h->PointDataRecordLength - formatSize, false);
    decompressBlock(in, cols);
    const uint32_t previous = h->NumberOfPointRecords;
    h->NumberOfPointRecords = uint32_t(count);
    m_file->initializePoints();
    h->NumberOfPointRecords = previous;
    auto& pts = m_file->Points();
    std::vector<unsigned char> all(size_t(count) * h->PointDataRecordLength);
    cols.toRecords(all.data(), h->PointDataRecordLength);
    for (int i = 0; i < count; ++i)
        pts[i]->copyFromBuffer(all.data() + size_t(i) * h->PointDataRecordLength);
    m_fieldsDone = 0;
}
