#include "CLASFile_C.h"

#include "LASPointData.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

using las_detail::loadLE;

namespace {

constexpr uint64_t kBlockBytes = 256 << 10; // per fread/fwrite: amortises the call, stays in cache
constexpr uint64_t kFlushEvery = 50000;     // records between flushes of a file being written
constexpr int kMaxRecordBytes = 64;         // room for the largest packed format

template <int F> struct PointClass;
template <> struct PointClass<0> { using type = LASPoint0_C; };
template <> struct PointClass<1> { using type = LASPoint1_C; };
template <> struct PointClass<2> { using type = LASPoint2_C; };
template <> struct PointClass<3> { using type = LASPoint3_C; };

// Calls fn with the record class of the format; false for an unknown format.
template <typename Fn> bool withFormat(int format, Fn&& fn) {
    switch (format) {
    case 0:
        fn(std::type_identity<PointClass<0>::type>{});
        return true;
    case 1:
        fn(std::type_identity<PointClass<1>::type>{});
        return true;
    case 2:
        fn(std::type_identity<PointClass<2>::type>{});
        return true;
    case 3:
        fn(std::type_identity<PointClass<3>::type>{});
        return true;
    default:
        return false;
    }
}

bool seekTo(FILE* f, uint64_t pos) {
    return fseeko(f, off_t(pos), SEEK_SET) == 0;
}

uint64_t sizeOf(FILE* f) {
    int64_t s = lasFileSize(f);
    return s < 0 ? 0 : uint64_t(s);
}

// How many multiples of step lie in [from, to).
uint64_t ticksIn(uint64_t from, uint64_t to, uint64_t step) {
    return (to + step - 1) / step - (from + step - 1) / step;
}

// Bulk reads tick at every record up to 100 records, otherwise at every (count / 100)-th.
uint64_t readStep(uint64_t count) {
    return count > 100 ? count / 100 : 1;
}
// Writes tick at every (count / 100)-th record above 99 records, otherwise once.
uint64_t writeStep(uint64_t count) {
    return count > 99 ? count / 100 : std::max<uint64_t>(count, 1);
}

// Records of one pass of a write: never across a flush boundary, so flushes fall on multiples of
// kFlushEvery.
uint64_t writeBatch(uint64_t done, uint64_t count, uint64_t perBlock) {
    return std::min({perBlock, count - done, kFlushEvery - done % kFlushEvery});
}

void advance(unsigned int* progress, uint64_t ticks) {
    if (progress)
        *progress += static_cast<unsigned int>(ticks);
}

const char* const kReadPointsMemory = "CLasFile::ReadPoints - can not create points - memory problem?";
const char* const kCreatePointsMemory = "CLasFile::CreatePoints - can not create points - memory problem?";

} // namespace

FilePtr CLASFile_C::openForRead() const {
    FilePtr f = openFile(m_path.c_str(), "rb");
    if (!f)
        throw CLasException("ReadError::File could not be open.");
    return f;
}

void CLASFile_C::OpenFile(const char* path) {
    SetPath(path);
    ReadHeader();
}

bool CLASFile_C::ReadHeader() {
    m_header.reset();
    m_pseudoRecord = false;
    FilePtr f = openFile(m_path.c_str(), "rb");
    unsigned char block[LASHeader::BlockSize];
    if (!f || std::fread(block, 1, sizeof block, f.get()) != sizeof block)
        return false;
    auto h = std::make_unique<LASHeader_C>();
    h->copyFromLASBuffer(block);
    m_header = std::move(h);
    return true;
}

void CLASFile_C::SetHeader(LASHeader_C* h) {
    if (h != m_header.get()) {
        m_header.reset(h);
        m_pseudoRecord = false;
    }
}

void CLASFile_C::DeleteRecords() {
    std::vector<unsigned char>().swap(m_area);
    std::vector<uint32_t>().swap(m_positions);
}

void CLASFile_C::ReadVRL() {
    DeleteRecords();
    if (!m_header)
        return;
    LASHeader_C& h = *m_header;
    if (h.HeaderSize > h.OffsetToPointData)
        throw CLasException("ReadError::LAS VRL");
    const uint64_t gap = h.OffsetToPointData - h.HeaderSize;
    const uint32_t count = h.NumberOfVariableLengthRecords;
    // A header already carrying the gap as its pseudo-record reads the same way again.
    const bool carried = count == 1 && (h.FileSignature[0] == 'V' || m_pseudoRecord);
    const bool pseudo = gap >= 3 && (count == 0 || carried);
    if (count == 0 && !pseudo)
        return;
    if (!pseudo && uint64_t(count) * RecordHeaderBytes > gap)
        throw CLasException("ReadError::LAS VRL: " + std::to_string(count) +
                            " variable length records cannot fit in the " + std::to_string(gap) +
                            " bytes between header and point data");

    FilePtr f = openForRead();
    if (h.HeaderSize + gap > sizeOf(f.get()))
        throw CLasException("ReadError::LAS VRL");
    std::vector<unsigned char> area(gap);
    if (!seekTo(f.get(), h.HeaderSize) || std::fread(area.data(), 1, area.size(), f.get()) != area.size())
        throw CLasException("ReadError::LAS VRL");

    std::vector<uint32_t> positions;
    if (pseudo) {
        positions.push_back(0);
    } else {
        positions.reserve(count);
        uint64_t pos = 0;
        // Only whole records are listed: a record whose length runs past the area ends the list.
        for (uint32_t k = 0; k < count && pos + RecordHeaderBytes <= gap; ++k) {
            uint64_t next = pos + RecordHeaderBytes + loadLE<uint16_t>(area.data() + pos + 20);
            if (next > gap)
                break;
            positions.push_back(uint32_t(pos));
            pos = next;
        }
    }
    m_area = std::move(area);
    m_positions = std::move(positions);
    if (pseudo) {
        h.NumberOfVariableLengthRecords = 1;
        h.FileSignature[0] = 'V';
        m_pseudoRecord = true;
    }
}

std::vector<uint32_t> CLASFile_C::ReadVLR() {
    ReadVRL();
    return m_positions;
}

void CLASFile_C::SetVLRecord(std::vector<unsigned char> area, std::vector<uint32_t> positions) {
    m_area = std::move(area);
    m_positions = std::move(positions);
}

void CLASFile_C::checkPointSpan(uint64_t fileSize, uint64_t start, uint64_t count) const {
    const LASHeader_C& h = *m_header;
    const int formatSize = h.FormatRecordSize();
    if (formatSize == 0)
        throw CLasException("ReadError::LAS Points: unknown point data format " +
                            std::to_string(h.PointDataFormatID));
    const uint64_t recLen = h.PointDataRecordLength;
    if (recLen < uint64_t(formatSize))
        throw CLasException("ReadError::LAS Points: point record length " + std::to_string(recLen) +
                            " is shorter than the " + std::to_string(formatSize) + " bytes of point format " +
                            std::to_string(h.PointDataFormatID));
    const uint64_t room = fileSize > h.OffsetToPointData ? (fileSize - h.OffsetToPointData) / recLen : 0;
    if (start > room || count > room - start)
        throw CLasException("ReadError::LAS Points: point records " + std::to_string(start) + " to " +
                            std::to_string(start + count) + " lie beyond the end of the file (" +
                            std::to_string(fileSize) + " bytes, room for " + std::to_string(room) +
                            " records)");
}

void CLASFile_C::ReadFile(const char* path, unsigned int* progress) {
    SetPath(path);
    DeletePoints();
    DeleteRecords();
    openForRead(); // a file that cannot be opened is told apart from one too short for a header
    if (!ReadHeader())
        throw CLasException("ReadError::LAS Header");
    ReadVRL();
    const uint64_t count = m_header->NumberOfPointRecords;
    if (count == 0)
        return;
    FilePtr f = openForRead();
    checkPointSpan(sizeOf(f.get()), 0, count);
    const uint64_t recLen = m_header->PointDataRecordLength;
    if (!seekTo(f.get(), m_header->OffsetToPointData))
        throw CLasException("ReadError::LAS Points");

    std::vector<std::unique_ptr<LASPoint_C>> points;
    withFormat(m_header->PointDataFormatID, [&](auto cls) {
        using P = typename decltype(cls)::type;
        const uint64_t step = readStep(count);
        const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
        try {
            points.reserve(count);
            std::vector<unsigned char> buf(std::min(perBlock, count) * recLen);
            for (uint64_t i = 0; i < count;) {
                const uint64_t n = std::min(perBlock, count - i);
                if (std::fread(buf.data(), 1, n * recLen, f.get()) != n * recLen)
                    throw CLasException("ReadError::LAS Points");
                for (uint64_t j = 0; j < n; ++j) {
                    auto p = std::make_unique<P>();
                    p->copyFromBuffer(buf.data() + j * recLen);
                    points.push_back(std::move(p));
                }
                advance(progress, ticksIn(i, i + n, step));
                i += n;
            }
        } catch (const std::bad_alloc&) {
            throw CLasException(kReadPointsMemory);
        }
    });
    m_points = std::move(points);
}

LASPoint_C* CLASFile_C::GetPoint(uint64_t index) {
    if (!m_header || index >= m_header->NumberOfPointRecords)
        return nullptr;
    std::unique_ptr<LASPoint_C> p(newLASPoint_C(m_header->PointDataFormatID));
    if (!p)
        return nullptr;
    const uint64_t size = uint64_t(m_header->FormatRecordSize());
    const uint64_t recLen = m_header->PointDataRecordLength;
    if (recLen < size)
        throw CLasException("ReadError::LAS Point");
    FilePtr f = openForRead();
    unsigned char rec[kMaxRecordBytes];
    if (!seekTo(f.get(), m_header->OffsetToPointData + index * recLen) ||
        std::fread(rec, 1, size, f.get()) != size)
        throw CLasException("ReadError::LAS Point");
    p->copyFromBuffer(rec);
    return p.release();
}

// GetPoints hands out one allocation: the pointer array, then the records it points to.
LASPoint_C** CLASFile_C::GetPoints(uint64_t start, uint64_t count, unsigned int* progress) {
    if (!m_header || m_header->NumberOfPointRecords == 0 || count == 0)
        return nullptr;
    FilePtr f = openForRead();
    // Bounded by what the file holds, not by the header's count, so a caller may narrow the count while it
    // works through the file in chunks.
    checkPointSpan(sizeOf(f.get()), start, count);
    const uint64_t recLen = m_header->PointDataRecordLength;
    LASPoint_C** result = nullptr;
    withFormat(m_header->PointDataFormatID, [&](auto cls) {
        using P = typename decltype(cls)::type;
        static_assert(sizeof(LASPoint_C*) % alignof(P) == 0 &&
                      alignof(P) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
        if (count > SIZE_MAX / (sizeof(LASPoint_C*) + sizeof(P)))
            throw CLasException(kReadPointsMemory);
        const size_t recordsAt = size_t(count) * sizeof(LASPoint_C*);
        void* block = ::operator new(recordsAt + size_t(count) * sizeof(P), std::nothrow);
        if (!block)
            throw CLasException(kReadPointsMemory);
        auto* ptrs = static_cast<LASPoint_C**>(block);
        auto* records = reinterpret_cast<P*>(static_cast<char*>(block) + recordsAt);
        for (uint64_t i = 0; i < count; ++i)
            ptrs[i] = new (&records[i]) P();
        auto release = [count](LASPoint_C** p) { FreePoints(p, count); };
        std::unique_ptr<LASPoint_C*, decltype(release)> guard(ptrs, release);

        if (!seekTo(f.get(), m_header->OffsetToPointData + start * recLen))
            throw CLasException("ReadError::LAS Points");
        const uint64_t step = readStep(count);
        const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
        std::vector<unsigned char> buf(std::min(perBlock, count) * recLen);
        for (uint64_t i = 0; i < count;) {
            const uint64_t n = std::min(perBlock, count - i);
            if (std::fread(buf.data(), 1, n * recLen, f.get()) != n * recLen)
                throw CLasException("ReadError::LAS Points");
            for (uint64_t j = 0; j < n; ++j)
                records[i + j].copyFromBuffer(buf.data() + j * recLen);
            advance(progress, ticksIn(i, i + n, step));
            i += n;
        }
        result = guard.release();
    });
    return result;
}

void CLASFile_C::FreePoints(LASPoint_C** pts, uint64_t count) {
    if (!pts)
        return;
    for (uint64_t i = 0; i < count; ++i)
        pts[i]->~LASPoint_C();
    ::operator delete(pts);
}

void CLASFile_C::initializePoints() {
    DeletePoints();
    if (!m_header)
        return;
    const uint64_t count = m_header->NumberOfPointRecords;
    std::vector<std::unique_ptr<LASPoint_C>> points;
    bool known = withFormat(m_header->PointDataFormatID, [&](auto cls) {
        using P = typename decltype(cls)::type;
        try {
            points.reserve(count);
            for (uint64_t i = 0; i < count; ++i)
                points.push_back(std::make_unique<P>());
        } catch (const std::bad_alloc&) {
            throw CLasException(kCreatePointsMemory);
        }
    });
    if (!known && count > 0)
        throw CLasException("CLasFile::CreatePoints - can not create points - unknown point data format " +
                            std::to_string(m_header->PointDataFormatID));
    m_points = std::move(points);
}

void CLASFile_C::CreatePoints() {
    DeletePoints();
    if (!m_header)
        return;
    try {
        m_points.resize(m_header->NumberOfPointRecords);
    } catch (const std::bad_alloc&) {
        throw CLasException(kCreatePointsMemory);
    }
}

void CLASFile_C::ClearFile() {
    m_out.reset();
    m_header.reset();
    m_pseudoRecord = false;
    DeleteRecords();
    std::vector<std::unique_ptr<LASPoint_C>>().swap(m_points);
    m_path.clear();
}

FILE* CLASFile_C::writer() {
    if (!m_out) {
        m_out = openFile(m_path.c_str(), "ab");
        if (!m_out)
            throw CLasException("WriteError::File could not be open.");
    }
    return m_out.get();
}

void CLASFile_C::writeBytes(const void* data, size_t n, const char* reason) {
    FILE* out = writer();
    if (n && std::fwrite(data, 1, n, out) != n)
        throw CLasException(reason);
}

void CLASFile_C::CloseFile() {
    if (!m_out)
        return;
    if (std::fclose(m_out.release()) != 0)
        throw CLasException("WriteError::File could not be closed.");
}

void CLASFile_C::WriteHeader() {
    if (!m_header)
        throw CLasException("WriteError::LAS Header");
    LASHeader_C& h = *m_header;
    // Points never start inside the header: such a header cannot describe the file being written.
    if (h.OffsetToPointData < h.HeaderSize || h.OffsetToPointData < uint32_t(LASHeader::BlockSize))
        throw CLasException("WriteError::LAS Header: offset to point data " +
                            std::to_string(h.OffsetToPointData) + " lies inside the header");
    const bool pseudo = h.FileSignature[0] == 'V' || (m_pseudoRecord && h.NumberOfVariableLengthRecords == 1);
    LASHeader_C written = h;
    if (pseudo) {
        written.FileSignature[0] = 'L';
        written.NumberOfVariableLengthRecords = 0;
    }
    unsigned char block[LASHeader::BlockSize];
    written.copyToLASBuffer(block);

    CloseFile();
    m_out = openFile(m_path.c_str(), "wb");
    if (!m_out)
        throw CLasException("WriteError::File could not be open.");
    writeBytes(block, sizeof block, "WriteError::LAS Header");
    // The header's own bytes beyond the 227-byte block are not kept; zeros keep the offsets true.
    if (h.HeaderSize > LASHeader::BlockSize) {
        std::vector<unsigned char> zeros(h.HeaderSize - LASHeader::BlockSize);
        writeBytes(zeros.data(), zeros.size(), "WriteError::LAS Header");
    }
    if (pseudo) {
        h.FileSignature[0] = 'L';
        h.NumberOfVariableLengthRecords = 1;
        m_pseudoRecord = true;
    }
}

void CLASFile_C::WriteVRL() {
    if (!m_header)
        throw CLasException("WriteError::LAS VRL");
    const LASHeader_C& h = *m_header;
    if (h.HeaderSize > h.OffsetToPointData)
        throw CLasException("WriteError::LAS VRL");
    const uint64_t gap = h.OffsetToPointData - h.HeaderSize;
    if (m_area.size() > gap)
        throw CLasException("WriteError::LAS VRL: a record area of " + std::to_string(m_area.size()) +
                            " bytes does not fit the " + std::to_string(gap) +
                            " bytes before the point data");
    // The area was read from HeaderSize; where that lies inside the 227-byte block, the header already
    // wrote those bytes.
    const uint64_t headerEnd = std::max<uint64_t>(h.HeaderSize, LASHeader::BlockSize);
    const uint64_t room = h.OffsetToPointData > headerEnd ? h.OffsetToPointData - headerEnd : 0;
    const uint64_t skip = headerEnd - h.HeaderSize;
    uint64_t written = 0;
    if (m_area.size() > skip) {
        written = m_area.size() - skip;
        writeBytes(m_area.data() + skip, written, "WriteError::LAS VRL");
    }
    if (h.NumberOfVariableLengthRecords == 0 && gap == 2 && room == 2) {
        const unsigned char signature[2] = {0xDD, 0xCC};
        writeBytes(signature, 2, "WriteError::LAS Signature");
        written += 2;
    }
    if (written < room) {
        std::vector<unsigned char> zeros(room - written);
        writeBytes(zeros.data(), zeros.size(), "WriteError::LAS VRL");
    }
}

void CLASFile_C::WritePoints(unsigned int* progress) {
    if (!m_header)
        throw CLasException("WriteError::LAS Point");
    const int format = m_header->PointDataFormatID;
    const uint64_t size = uint64_t(m_header->FormatRecordSize());
    const uint64_t recLen = m_header->PointDataRecordLength;
    if (size == 0 || recLen < size)
        throw CLasException("WriteError::LAS Point");
    // Every slot is checked first, so a bad one leaves nothing half-written.
    for (auto& p : m_points)
        if (!p || p->GetPointType() != format)
            throw CLasException("WriteError::LAS Point");
    if (progress)
        *progress = 0;
    FILE* out = writer();
    const uint64_t count = m_points.size();
    const uint64_t step = writeStep(count);
    const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
    // Bytes past the format's own stay zero: records are only ever packed over the first `size`.
    std::vector<unsigned char> buf(std::min(perBlock, count) * recLen);
    for (uint64_t i = 0; i < count;) {
        const uint64_t n = writeBatch(i, count, perBlock);
        for (uint64_t j = 0; j < n; ++j)
            m_points[i + j]->copyToBuffer(buf.data() + j * recLen);
        advance(progress, ticksIn(i, i + n, step));
        if (std::fwrite(buf.data(), 1, n * recLen, out) != n * recLen)
            throw CLasException("WriteError::LAS Point");
        i += n;
        if (i % kFlushEvery == 0 && std::fflush(out) != 0)
            throw CLasException("WriteError::LAS Point");
    }
}

void CLASFile_C::WriteRecords(const unsigned char* records, uint64_t count, unsigned int* progress) {
    if (!m_header || (count > 0 && (!records || m_header->PointDataRecordLength == 0)))
        throw CLasException("WriteError::LAS Point");
    const uint64_t recLen = m_header->PointDataRecordLength;
    if (progress)
        *progress = 0;
    FILE* out = writer();
    const uint64_t step = writeStep(count);
    const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / std::max<uint64_t>(recLen, 1));
    for (uint64_t i = 0; i < count;) {
        const uint64_t n = writeBatch(i, count, perBlock);
        advance(progress, ticksIn(i, i + n, step));
        if (std::fwrite(records + i * recLen, 1, n * recLen, out) != n * recLen)
            throw CLasException("WriteError::LAS Point");
        i += n;
        if (i % kFlushEvery == 0 && std::fflush(out) != 0)
            throw CLasException("WriteError::LAS Point");
    }
}

void CLASFile_C::WriteFile(const char* path, unsigned int* progress) {
    if (!m_header)
        return;
    SetPath(path);
    try {
        WriteHeader();
        WriteVRL();
        WritePoints(progress);
        CloseFile();
    } catch (...) {
        m_out.reset();
        throw;
    }
}

void CLASFile_C::SetGPSTime(const long long* values) {
    if (!values)
        return;
    for (size_t i = 0; i < m_points.size(); ++i)
        if (m_points[i])
            m_points[i]->SetGPSTime(static_cast<double>(values[i]));
}

template <typename T, typename Fn> T* CLASFile_C::extract(unsigned int* progress, int perPoint, Fn&& fn) {
    if (!m_header || m_header->NumberOfPointRecords == 0)
        return nullptr;
    const uint64_t count = m_header->NumberOfPointRecords;
    FilePtr f = openForRead();
    checkPointSpan(sizeOf(f.get()), 0, count);
    const uint64_t recLen = m_header->PointDataRecordLength;
    std::unique_ptr<T[]> out(new (std::nothrow) T[count * perPoint]);
    if (!out)
        throw CLasException(kReadPointsMemory);
    if (!seekTo(f.get(), m_header->OffsetToPointData))
        throw CLasException("ReadError::LAS Points");
    const uint64_t step = count / 100; // no progress below 100 records
    const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
    std::vector<unsigned char> buf(std::min(perBlock, count) * recLen);
    for (uint64_t i = 0; i < count;) {
        const uint64_t n = std::min(perBlock, count - i);
        if (std::fread(buf.data(), 1, n * recLen, f.get()) != n * recLen)
            throw CLasException("ReadError::LAS Points");
        for (uint64_t j = 0; j < n; ++j)
            fn(buf.data() + j * recLen, out.get() + (i + j) * perPoint);
        if (step)
            advance(progress, ticksIn(i, i + n, step));
        i += n;
    }
    return out.release();
}

float* CLASFile_C::GetCoordinate(unsigned int* progress) {
    return extract<float>(progress, 3, [](const unsigned char* r, float* o) {
        for (int c = 0; c < 3; ++c)
            o[c] = static_cast<float>(loadLE<int32_t>(r + 4 * c));
    });
}

uint16_t* CLASFile_C::GetIntensity(unsigned int* progress) {
    return extract<uint16_t>(progress, 1,
                             [](const unsigned char* r, uint16_t* o) { *o = loadLE<uint16_t>(r + 12); });
}

uint8_t* CLASFile_C::GetReturns(unsigned int* progress) {
    return extract<uint8_t>(progress, 1, [](const unsigned char* r, uint8_t* o) { *o = r[14]; });
}

uint8_t* CLASFile_C::GetClassification(unsigned int* progress) {
    return extract<uint8_t>(progress, 1, [](const unsigned char* r, uint8_t* o) { *o = r[15]; });
}

int8_t* CLASFile_C::GetAngle(unsigned int* progress) {
    return extract<int8_t>(progress, 1,
                           [](const unsigned char* r, int8_t* o) { *o = static_cast<int8_t>(r[16]); });
}

int64_t* CLASFile_C::GetGPSTime(unsigned int* progress) {
    // Formats 0 and 2 have no time at offset 20: reading there would take the colour or the next record.
    const bool has = m_header && las_detail::formatHasGPSTime(m_header->PointDataFormatID);
    return extract<int64_t>(
        progress, 1, [has](const unsigned char* r, int64_t* o) { *o = has ? loadLE<int64_t>(r + 20) : 0; });
}

float* CLASFile_C::GetColor(unsigned int* progress) {
    const int format = m_header ? m_header->PointDataFormatID : 0;
    const bool has = las_detail::formatHasColor(format);
    const int at = format == 3 ? 28 : 20;
    return extract<float>(progress, 3, [has, at](const unsigned char* r, float* o) {
        for (int c = 0; c < 3; ++c)
            o[c] = has ? loadLE<uint16_t>(r + at + 2 * c) / 65535.0f : 0.0f;
    });
}

std::array<float, 3> CLASFile_C::TransformCoord(LASPoint_C* p) const {
    if (!p)
        return {0.0f, 0.0f, 0.0f};
    if (!m_header)
        return {float(p->GetX()), float(p->GetY()), float(p->GetZ())};
    const LASHeader_C& h = *m_header;
    return {float(p->GetX() * h.ScaleFactor_X + h.OffsetX), float(p->GetY() * h.ScaleFactor_Y + h.OffsetY),
            float(p->GetZ() * h.ScaleFactor_Z + h.OffsetZ)};
}
