#include "CLASFile.h"
#include "LasLog.h"

#include "LASPointData.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <new>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace {

constexpr uint64_t kBlockBytes =
    256 << 10; // per fread: large enough to amortise the call, small enough for L2

// Calls fn with the point format as a compile-time constant; false for an unknown format.
template <typename Fn> bool withFormat(int format, Fn&& fn) {
    switch (format) {
    case 0:
        fn(std::integral_constant<int, 0>{});
        return true;
    case 1:
        fn(std::integral_constant<int, 1>{});
        return true;
    case 2:
        fn(std::integral_constant<int, 2>{});
        return true;
    case 3:
        fn(std::integral_constant<int, 3>{});
        return true;
    default:
        return false;
    }
}

const char* pointReadMessage(int format) {
    switch (format) {
    case 0:
        return "ReadError: Can't Read LasPoint0";
    case 1:
        return "ReadError: Can't Read LasPoint1";
    case 2:
        return "ReadError: Can't Read LasPoint2";
    default:
        return "Read Error: Can't Read LasPoint3";
    }
}

// Progress of the bulk readers: every record up to 100 records, otherwise every (count / 100)-th.
struct ProgressTicker {
    uint32_t* counter;
    uint64_t step;
    ProgressTicker(uint32_t* c, uint64_t count) : counter(c), step(count > 100 ? count / 100 : 1) {}
    void at(uint64_t i) const {
        if (counter && i % step == 0)
            ++*counter;
    }
};

bool seekTo(FILE* f, uint64_t pos) {
    return f && fseeko(f, off_t(pos), SEEK_SET) == 0;
}

} // namespace

bool CLASFile::OpenFile(const char* p) {
    file.reset();
    if (!p) {
        if (std::ostream* log = lasLog())
            *log << "Error: Can't Open File";
        return false;
    }
    path = p;
    file = openFile(p, "rb");
    if (!file) {
        if (std::ostream* log = lasLog())
            *log << "Error: Can't Open File";
        return false;
    }
    if (!Read(file.get()))
        return false;
    source = *this;
    extraBytesPerPoint = uint16_t(std::max(0, int(PointDataRecordLength) - FormatRecordSize()));
    return true;
}

bool CLASFile::ReadFile(const char* p) {
    if (!p)
        return false;
    path = p;
    file = openFile(p, "rb");
    return Load();
}

bool CLASFile::ReadRecordArea(std::vector<LASVarLenRecord>& out) {
    int64_t size = lasFileSize(file.get());
    uint64_t start = source.RecordAreaStart();
    // Each record needs at least its 54-byte header: a count the file cannot hold is refused before
    // anything is allocated for it.
    if (size < 0 || uint64_t(size) < start ||
        uint64_t(source.NumberOfVariableLengthRecords) >
            (uint64_t(size) - start) / LASVarLenRecord::HeaderBytes) {
        if (std::ostream* log = lasLog())
            *log << "ReadError: " << source.NumberOfVariableLengthRecords
                 << " variable length records do not fit in the file";
        return false;
    }
    if (!seekTo(file.get(), start))
        return false;
    out.assign(source.NumberOfVariableLengthRecords, LASVarLenRecord());
    for (auto& r : out)
        if (!r.Read(file.get())) {
            out.clear();
            return false;
        }
    return true;
}

bool CLASFile::CheckPointsReadable() {
    std::string why;
    if (!source.CheckPointData(uint64_t(std::max<int64_t>(0, lasFileSize(file.get()))), &why)) {
        if (std::ostream* log = lasLog())
            *log << "ReadError: " << why;
        return false;
    }
    return true;
}

bool CLASFile::Load() {
    if (!file) {
        if (std::ostream* log = lasLog())
            *log << "Error: Can't Open File";
        return false;
    }
    DeleteRecords();
    DeletePoints();
    headerPadding.clear();
    pointDataPadding.clear();
    if (!Read(file.get()))
        return false;
    source = *this;
    if (!CheckPointsReadable())
        return false;

    if (HeaderSize > LASHeader::BlockSize) {
        headerPadding.resize(HeaderSize - LASHeader::BlockSize);
        if (!seekTo(file.get(), LASHeader::BlockSize) ||
            std::fread(headerPadding.data(), 1, headerPadding.size(), file.get()) != headerPadding.size())
            return false;
    }
    if (!ReadRecordArea(records)) {
        file.reset();
        return false;
    }
    // Bytes between the records and the points (the LAS 1.0 start signature, or a producer's own data)
    // are kept; records that run past the point data leave no gap. Points are always read at the offset.
    uint64_t recordEnd = RecordAreaStart();
    for (auto& r : records)
        recordEnd += r.TotalBytes();
    if (recordEnd < OffsetToPointData) {
        pointDataPadding.resize(OffsetToPointData - recordEnd);
        if (!seekTo(file.get(), recordEnd) || std::fread(pointDataPadding.data(), 1, pointDataPadding.size(),
                                                         file.get()) != pointDataPadding.size())
            pointDataPadding.clear();
    }

    const uint64_t count = NumberOfPointRecords;
    const uint64_t recLen = PointDataRecordLength;
    extraBytesPerPoint = uint16_t(recLen - FormatRecordSize());
    CreatePoints();
    extraBytes.resize(count * extraBytesPerPoint);
    if (!seekTo(file.get(), OffsetToPointData)) {
        if (std::ostream* log = lasLog())
            *log << pointReadMessage(PointDataFormatID);
        return false;
    }
    bool ok = true;
    withFormat(PointDataFormatID, [&](auto fmt) {
        using P = typename LASPointClassOf<decltype(fmt)::value>::type;
        const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
        std::vector<unsigned char> buf(perBlock * recLen);
        for (uint64_t i = 0; i < count && ok;) {
            uint64_t n = std::min(perBlock, count - i);
            size_t got = std::fread(buf.data(), 1, n * recLen, file.get());
            uint64_t whole = got / recLen;
            for (uint64_t j = 0; j < whole; ++j) {
                auto p = std::make_unique<P>(buf.data() + j * recLen);
                if (extraBytesPerPoint)
                    std::memcpy(extraBytes.data() + (i + j) * extraBytesPerPoint,
                                buf.data() + j * recLen + P::Size, extraBytesPerPoint);
                points[i + j] = std::move(p);
            }
            if (whole < n) {
                if (std::ostream* log = lasLog())
                    *log << pointReadMessage(PointDataFormatID);
                ok = false;
            }
            i += n;
        }
    });
    return ok;
}

LASVarLenRecord* CLASFile::ReadVLR() {
    if (!file)
        return nullptr;
    std::vector<LASVarLenRecord> v;
    if (!ReadRecordArea(v))
        return nullptr;
    auto* out = new LASVarLenRecord[v.size() ? v.size() : 1];
    std::move(v.begin(), v.end(), out);
    return out;
}

LASPoint* CLASFile::GetPoint(uint64_t index) {
    if (!file)
        return nullptr;
    std::unique_ptr<LASPoint> p(newLASPoint(source.PointDataFormatID));
    if (!p)
        return nullptr;
    int64_t size = lasFileSize(file.get());
    uint64_t pos = source.OffsetToPointData + index * uint64_t(source.PointDataRecordLength);
    if (index >= source.NumberOfPointRecords || source.PointDataRecordLength < p->GetSize() ||
        uint64_t(size) < pos + p->GetSize() || !seekTo(file.get(), pos) || !p->Read(file.get())) {
        if (std::ostream* log = lasLog())
            *log << pointReadMessage(source.PointDataFormatID);
        return nullptr;
    }
    return p.release();
}

void CLASFile::ReadRaw(uint64_t start, uint64_t count, unsigned char* out) {
    if (!file)
        throw CLasException("ReadError::File could not be open.");
    const uint64_t recLen = source.PointDataRecordLength;
    if (!seekTo(file.get(), source.OffsetToPointData + start * recLen) ||
        std::fread(out, 1, count * recLen, file.get()) != count * recLen)
        throw CLasException("ReadError::LAS Points");
}

namespace {

// GetPoints hands out one allocation: a small header, the pointer array, then the records. The thread
// keeps the last block it freed and reuses it for the next request it fits, so a reader streaming
// through a file in chunks touches the same memory instead of faulting in fresh pages every time.
struct PointBlockHeader {
    size_t bytes;
    uint64_t count;
};
constexpr size_t kPointBlockHeader = 16;
static_assert(sizeof(PointBlockHeader) <= kPointBlockHeader);

struct PointBlockCache {
    void* block = nullptr;
    size_t bytes = 0;
    ~PointBlockCache() { ::operator delete(block); }
};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kReuseBlocks = false; // every block fresh, so the sanitizers see any use after free
#else
constexpr bool kReuseBlocks = true;
#endif
thread_local PointBlockCache pointBlockCache;

void* takePointBlock(size_t bytes) {
    if (kReuseBlocks && pointBlockCache.block && pointBlockCache.bytes >= bytes) {
        void* b = pointBlockCache.block;
        bytes = pointBlockCache.bytes;
        pointBlockCache = {};
        static_cast<PointBlockHeader*>(b)->bytes = bytes;
        return b;
    }
    void* b = ::operator new(bytes, std::nothrow);
    if (b)
        static_cast<PointBlockHeader*>(b)->bytes = bytes;
    return b;
}

void releasePointBlock(void* b) {
    size_t bytes = static_cast<PointBlockHeader*>(b)->bytes;
    if (kReuseBlocks && bytes >= pointBlockCache.bytes) {
        ::operator delete(pointBlockCache.block);
        pointBlockCache.block = b;
        pointBlockCache.bytes = bytes;
        return;
    }
    ::operator delete(b);
}

} // namespace

LASPoint** CLASFile::GetPoints(uint64_t start, uint64_t count, uint32_t* progress) {
    if (count == 0)
        return nullptr;
    if (!file)
        throw CLasException("ReadError::File could not be open.");
    std::string why;
    int64_t size = lasFileSize(file.get());
    if (start > source.NumberOfPointRecords || count > source.NumberOfPointRecords - start ||
        !source.CheckPointData(uint64_t(std::max<int64_t>(0, size)), &why))
        throw CLasException("ReadError::LAS Points");

    LASPoint** result = nullptr;
    const uint64_t recLen = source.PointDataRecordLength;
    bool known = withFormat(source.PointDataFormatID, [&](auto fmt) {
        using P = typename LASPointClassOf<decltype(fmt)::value>::type;
        static_assert(alignof(P) <= alignof(std::max_align_t) && kPointBlockHeader % alignof(P) == 0);
        const size_t recordsAt = kPointBlockHeader + count * sizeof(LASPoint*);
        void* block = takePointBlock(recordsAt + count * sizeof(P));
        if (!block)
            throw CLasException("CLasFile::ReadPoints - can not create points - memory problem?");
        std::unique_ptr<void, void (*)(void*)> guard(block, releasePointBlock);
        static_cast<PointBlockHeader*>(block)->count = count;
        auto* ptrs = reinterpret_cast<LASPoint**>(static_cast<char*>(block) + kPointBlockHeader);
        auto* records = reinterpret_cast<P*>(static_cast<char*>(block) + recordsAt);
        if (!seekTo(file.get(), source.OffsetToPointData + start * recLen))
            throw CLasException("ReadError::LAS Points");
        ProgressTicker ticker(progress, count);
        const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
        std::vector<unsigned char> buf(std::min(perBlock, count) * recLen);
        for (uint64_t i = 0; i < count;) {
            uint64_t n = std::min(perBlock, count - i);
            if (std::fread(buf.data(), 1, n * recLen, file.get()) != n * recLen)
                throw CLasException("ReadError::LAS Points");
            const unsigned char* rec = buf.data();
            for (uint64_t j = 0; j < n; ++j, ++i, rec += recLen) {
                ticker.at(i);
                ptrs[i] = new (&records[i]) P(rec);
            }
        }
        guard.release();
        result = ptrs;
    });
    if (!known)
        throw CLasException("ReadError::LAS Points");
    return result;
}

void CLASFile::FreePointArray(LASPoint** pts) {
    // The records hold only their packed bytes; releasing the storage ends them.
    if (pts)
        releasePointBlock(reinterpret_cast<char*>(pts) - kPointBlockHeader);
}

bool CLASFile::GetData(float* coordinates, uint16_t* intensities, uint8_t* classes, int8_t* angles,
                       uint8_t* returns, float* colours) {
    if (!file || !CheckPointsReadable())
        return false;
    const uint64_t count = source.NumberOfPointRecords;
    const uint64_t recLen = source.PointDataRecordLength;
    const int colourAt = source.PointDataFormatID == 3 ? 28 : 20;
    const bool hasRGB = source.hasColor();
    if (!seekTo(file.get(), source.OffsetToPointData))
        return false;
    const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
    std::vector<unsigned char> buf(std::min(perBlock, std::max<uint64_t>(count, 1)) * recLen);
    using las_detail::loadLE;
    for (uint64_t i = 0; i < count;) {
        uint64_t n = std::min(perBlock, count - i);
        if (std::fread(buf.data(), 1, n * recLen, file.get()) != n * recLen)
            return false;
        for (uint64_t j = 0; j < n; ++j, ++i) {
            const unsigned char* r = buf.data() + j * recLen;
            if (coordinates) {
                coordinates[3 * i] = float(loadLE<int32_t>(r) * source.ScaleFactor_X + source.OffsetX);
                coordinates[3 * i + 1] =
                    float(loadLE<int32_t>(r + 4) * source.ScaleFactor_Y + source.OffsetY);
                coordinates[3 * i + 2] =
                    float(loadLE<int32_t>(r + 8) * source.ScaleFactor_Z + source.OffsetZ);
            }
            if (intensities)
                intensities[i] = loadLE<uint16_t>(r + 12);
            if (returns)
                returns[i] = r[14] & 7;
            if (classes)
                classes[i] = r[15];
            if (angles)
                angles[i] = int8_t(r[16]);
            if (colours)
                for (int c = 0; c < 3; ++c)
                    colours[3 * i + c] = hasRGB ? loadLE<uint16_t>(r + colourAt + 2 * c) / 65535.0f : 0.0f;
        }
    }
    return true;
}

namespace {
template <typename T> T* newArrayOrNull(uint64_t n) {
    return new (std::nothrow) T[n ? n : 1]();
}
} // namespace

float* CLASFile::GetCoordinate() {
    std::unique_ptr<float[]> a(newArrayOrNull<float>(3 * uint64_t(source.NumberOfPointRecords)));
    return a && GetData(a.get(), nullptr, nullptr, nullptr, nullptr, nullptr) ? a.release() : nullptr;
}
uint16_t* CLASFile::GetIntensity() {
    std::unique_ptr<uint16_t[]> a(newArrayOrNull<uint16_t>(source.NumberOfPointRecords));
    return a && GetData(nullptr, a.get(), nullptr, nullptr, nullptr, nullptr) ? a.release() : nullptr;
}
uint8_t* CLASFile::GetClassification() {
    std::unique_ptr<uint8_t[]> a(newArrayOrNull<uint8_t>(source.NumberOfPointRecords));
    return a && GetData(nullptr, nullptr, a.get(), nullptr, nullptr, nullptr) ? a.release() : nullptr;
}
int8_t* CLASFile::GetAngle() {
    std::unique_ptr<int8_t[]> a(newArrayOrNull<int8_t>(source.NumberOfPointRecords));
    return a && GetData(nullptr, nullptr, nullptr, a.get(), nullptr, nullptr) ? a.release() : nullptr;
}
uint8_t* CLASFile::GetReturns() {
    std::unique_ptr<uint8_t[]> a(newArrayOrNull<uint8_t>(source.NumberOfPointRecords));
    return a && GetData(nullptr, nullptr, nullptr, nullptr, a.get(), nullptr) ? a.release() : nullptr;
}
float* CLASFile::GetColor() {
    std::unique_ptr<float[]> a(newArrayOrNull<float>(3 * uint64_t(source.NumberOfPointRecords)));
    return a && GetData(nullptr, nullptr, nullptr, nullptr, nullptr, a.get()) ? a.release() : nullptr;
}

std::array<float, 3> CLASFile::TransformCoord(LASPoint* p) const {
    return {float(p->GetX() * ScaleFactor_X + OffsetX), float(p->GetY() * ScaleFactor_Y + OffsetY),
            float(p->GetZ() * ScaleFactor_Z + OffsetZ)};
}

void CLASFile::WriteFile(const char* outPath) {
    if (!outPath || !*outPath)
        throw CLasException("WriteError: no file name given");
    const int formatSize = FormatRecordSize();
    if (formatSize == 0)
        throw CLasException("WriteError: unknown point data format " + std::to_string(PointDataFormatID));
    const uint64_t count = points.empty() ? NumberOfPointRecords : points.size();
    bool needSource =
        points.empty() ? count > 0 : std::any_of(points.begin(), points.end(), [](auto& p) { return !p; });
    if (needSource) {
        std::string why;
        if (!file || source.PointDataFormatID != PointDataFormatID ||
            source.PointDataRecordLength != formatSize + extraBytesPerPoint ||
            count > source.NumberOfPointRecords ||
            !source.CheckPointData(uint64_t(std::max<int64_t>(0, lasFileSize(file.get()))), &why))
            throw CLasException(
                "WriteError: point records are neither loaded nor readable from the source file");
    }
    if (count > UINT32_MAX)
        throw CLasException("WriteError: more than 4294967295 points");
    for (auto& p : points)
        if (p && p->GetPointType() != PointDataFormatID)
            throw CLasException("WriteError: a point record's format differs from the header's");

    uint64_t recordBytes = 0;
    for (auto& r : records) {
        if (r.Data.size() > 65535)
            throw CLasException("WriteError: variable length record data longer than 65535 bytes");
        if (!r.Data.empty())
            r.RecordLenAfterHeader = uint16_t(r.Data.size());
        recordBytes += r.TotalBytes();
    }
    const uint64_t headerSize = LASHeader::BlockSize + headerPadding.size();
    const uint64_t offset = headerSize + recordBytes + pointDataPadding.size();
    if (headerSize > 65535 || offset > UINT32_MAX)
        throw CLasException("WriteError: header and records too large for a LAS file");
    const uint64_t recLen = uint64_t(formatSize) + extraBytesPerPoint;
    if (recLen > 65535)
        throw CLasException("WriteError: point record longer than 65535 bytes");

    const LASHeader before = *this; // restored if writing fails
    HeaderSize = uint16_t(headerSize);
    NumberOfVariableLengthRecords = uint32_t(records.size());
    OffsetToPointData = uint32_t(offset);
    PointDataRecordLength = uint16_t(recLen);
    NumberOfPointRecords = uint32_t(count);

    std::string tmpl = std::string(outPath) + ".XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        static_cast<LASHeader&>(*this) = before;
        throw CLasException(std::string("WriteError: cannot create ") + outPath + ": " +
                            std::strerror(errno));
    }
    const mode_t mask = umask(0); // mkstemp makes a private file; the result gets the usual permissions
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FilePtr out(fdopen(fd, "wb"));
    if (!out) {
        static_cast<LASHeader&>(*this) = before;
        ::close(fd);
        ::unlink(tmpl.c_str());
        throw CLasException(std::string("WriteError: cannot write ") + outPath);
    }
    auto fail = [&](const std::string& why) {
        static_cast<LASHeader&>(*this) = before;
        out.reset();
        ::unlink(tmpl.c_str());
        throw CLasException("WriteError: " + why);
    };
    auto put = [&](const void* data, size_t n) {
        if (n && std::fwrite(data, 1, n, out.get()) != n)
            fail(std::string(outPath) + ": " + std::strerror(errno));
    };

    if (!Write(out.get()))
        fail(lastMessage);
    put(headerPadding.data(), headerPadding.size());
    for (auto& r : records)
        if (!r.Write(out.get()))
            fail(std::string(outPath) + ": variable length record");
    put(pointDataPadding.data(), pointDataPadding.size());

    const uint64_t perBlock = std::max<uint64_t>(1, kBlockBytes / recLen);
    std::vector<unsigned char> buf(std::min(perBlock, std::max<uint64_t>(count, 1)) * recLen);
    const bool haveExtra = extraBytesPerPoint && extraBytes.size() >= count * extraBytesPerPoint;
    for (uint64_t i = 0; i < count;) {
        uint64_t n = std::min(perBlock, count - i);
        bool raw = points.empty() ||
                   std::any_of(points.begin() + i, points.begin() + i + n, [](auto& p) { return !p; });
        if (raw) {
            if (!seekTo(file.get(), source.OffsetToPointData + i * recLen) ||
                std::fread(buf.data(), 1, n * recLen, file.get()) != n * recLen)
                fail("cannot read point records from " + path);
        }
        for (uint64_t j = 0; j < n && !points.empty(); ++j) {
            LASPoint* p = points[i + j].get();
            if (!p)
                continue;
            unsigned char* rec = buf.data() + j * recLen;
            p->copyToBuffer(rec);
            if (extraBytesPerPoint) {
                if (haveExtra)
                    std::memcpy(rec + formatSize, extraBytes.data() + (i + j) * extraBytesPerPoint,
                                extraBytesPerPoint);
                else
                    std::memset(rec + formatSize, 0, extraBytesPerPoint);
            }
        }
        put(buf.data(), n * recLen);
        i += n;
    }
    if (std::fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0)
        fail(std::string(outPath) + ": " + std::strerror(errno));
    FILE* raw = out.release();
    if (std::fclose(raw) != 0) {
        static_cast<LASHeader&>(*this) = before;
        ::unlink(tmpl.c_str());
        throw CLasException(std::string("WriteError: ") + outPath + ": " + std::strerror(errno));
    }
    if (std::rename(tmpl.c_str(), outPath) != 0) {
        int e = errno;
        static_cast<LASHeader&>(*this) = before;
        ::unlink(tmpl.c_str());
        throw CLasException(std::string("WriteError: cannot replace ") + outPath + ": " + std::strerror(e));
    }
}
