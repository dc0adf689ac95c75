#include "CLASReader.h"

#include "CLasException.h"
#include "FileHandle.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

FilePtr openAt(const char* path, uint64_t offset) {
    FilePtr f = openFile(path, "rb");
    if (!f)
        throw CLasException("ReadError::File could not be open.");
    if (fseeko(f.get(), off_t(offset), SEEK_SET) != 0)
        throw CLasException("ReadError::LAS Points");
    return f;
}

uint64_t progressStep(uint64_t count) { return count > 100 ? count / 100 : 1; }

} // namespace

void CLASReader::ReadPoint(const char* path, unsigned char* buffer, uint64_t offset, uint64_t size) {
    FilePtr f = openFile(path, "rb");
    if (!f)
        throw CLasException("ReadError::File could not be open.");
    if (fseeko(f.get(), off_t(offset), SEEK_SET) != 0 || std::fread(buffer, 1, size, f.get()) != size)
        throw CLasException("ReadError::LAS Point");
}

void CLASReader::ReadPoints(const char* path, unsigned char* buffer, uint64_t offset, uint32_t recordSize,
                            uint64_t count, uint64_t stride, uint32_t* progress) {
    FilePtr f = openAt(path, offset);
    if (count == 0 || recordSize == 0)
        return;
    const uint64_t step = progressStep(count);
    const uint64_t perBlock = std::max<uint64_t>(1, (1u << 20) / recordSize);
    // Records that are packed in the buffer as in the file are read straight into it.
    if (stride == recordSize) {
        for (uint64_t i = 0; i < count;) {
            uint64_t n = std::min(perBlock, count - i);
            if (std::fread(buffer + i * stride, 1, n * recordSize, f.get()) != n * recordSize)
                throw CLasException("ReadError::LAS Points");
            if (progress)
                for (uint64_t j = i; j < i + n; ++j)
                    if (j % step == 0)
                        ++*progress;
            i += n;
        }
        return;
    }
    std::vector<unsigned char> block(std::min(perBlock, count) * recordSize);
    for (uint64_t i = 0; i < count;) {
        uint64_t n = std::min(perBlock, count - i);
        if (std::fread(block.data(), 1, n * recordSize, f.get()) != n * recordSize)
            throw CLasException("ReadError::LAS Points");
        for (uint64_t j = 0; j < n; ++j, ++i) {
            if (progress && i % step == 0)
                ++*progress;
            std::memcpy(buffer + i * stride, block.data() + j * recordSize, recordSize);
        }
    }
}

void CLASReader::ReadNumPoints(const char* path, unsigned char* buffer, uint64_t offset, uint32_t recordSize,
                               uint64_t count, uint64_t stride, uint32_t* progress) {
    FilePtr f = openAt(path, offset);
    const uint64_t step = progressStep(count);
    for (uint64_t i = 0; i < count; ++i) {
        if (progress && i % step == 0)
            ++*progress;
        if (std::fread(buffer + i * stride, 1, recordSize, f.get()) != recordSize)
            throw CLasException("ReadError::LAS Points");
    }
}
