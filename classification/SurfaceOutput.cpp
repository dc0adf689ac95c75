#include "SurfaceOutput.h"

#include "AtomicFile.h"
#include "FileHandle.h"
#include "LASVarLenRecord.h"
#include "LODTreeNodeHeader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kPointSourceIdAt = 18; // in every record of formats 0 to 3

std::string withSeparator(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

void readExactly(FILE* f, void* to, size_t bytes, const std::string& path) {
    if (bytes && std::fread(to, 1, bytes, f) != bytes)
        throw std::runtime_error("cannot read " + path +
                                 (std::ferror(f) ? ": " + std::string(std::strerror(errno)) : ": truncated"));
}

// Copies `count` records from f to out, setting the Point Source IDs from classes[first...].
void copyRecords(FILE* f, const std::string& path, uint64_t count, size_t record,
                 const std::vector<int32_t>& classes, uint64_t first, AtomicFile& out) {
    const uint64_t block = std::max<uint64_t>(1, (4u << 20) / record);
    std::vector<unsigned char> buffer(size_t(std::min(block, std::max<uint64_t>(count, 1))) * record);
    for (uint64_t done = 0; done < count;) {
        const uint64_t n = std::min(block, count - done);
        readExactly(f, buffer.data(), size_t(n) * record, path);
        for (uint64_t i = 0; i < n; ++i) {
            const uint16_t id = pointSourceIdForSurface(classes[size_t(first + done + i)]);
            buffer[size_t(i) * record + kPointSourceIdAt] = static_cast<unsigned char>(id);
            buffer[size_t(i) * record + kPointSourceIdAt + 1] = static_cast<unsigned char>(id >> 8);
        }
        out.write(buffer.data(), size_t(n) * record);
        done += n;
    }
}

void copyRest(FILE* f, AtomicFile& out) {
    std::vector<unsigned char> buffer(1 << 16);
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0)
        out.write(buffer.data(), got);
}

void writeFromLAS(const ClassificationInput& in, const std::vector<int32_t>& classes, AtomicFile& out) {
    const LASHeader& h = in.header;
    FilePtr f = openFile(in.path.c_str(), "rb");
    if (!f)
        throw std::runtime_error("cannot open " + in.path + ": " + std::strerror(errno));
    std::vector<unsigned char> head(h.OffsetToPointData);
    readExactly(f.get(), head.data(), head.size(), in.path);
    out.write(head.data(), head.size());
    copyRecords(f.get(), in.path, h.NumberOfPointRecords, h.PointDataRecordLength, classes, 0, out);
    copyRest(f.get(), out);
}

void writeFromTree(const ClassificationInput& in, const std::vector<int32_t>& classes, AtomicFile& out) {
    const std::string dir = withSeparator(in.path), headerPath = dir + "header";
    FilePtr f = openFile(headerPath.c_str(), "rb");
    if (!f)
        throw std::runtime_error("cannot open " + headerPath + ": " + std::strerror(errno));
    LASHeader h = in.header;
    std::vector<unsigned char> extra(h.RecordAreaStart() - LASHeader::BlockSize);
    if (std::fseek(f.get(), LASHeader::BlockSize, SEEK_SET) != 0)
        throw std::runtime_error("cannot read " + headerPath);
    readExactly(f.get(), extra.data(), extra.size(), headerPath);
    std::vector<LASVarLenRecord> records;
    uint64_t recordBytes = 0;
    for (uint32_t i = 0; i < h.NumberOfVariableLengthRecords; ++i) {
        LASVarLenRecord r;
        if (!r.Read(f.get()))
            throw std::runtime_error(headerPath + ": variable-length record " + std::to_string(i) +
                                     " is truncated");
        if (std::strncmp(r.UserID, "QUMA", 4) == 0) // the tree's own bounds
            continue;
        recordBytes += r.TotalBytes();
        records.push_back(std::move(r));
    }
    std::vector<unsigned char> gap;
    for (int c; (c = std::fgetc(f.get())) != EOF;)
        gap.push_back(static_cast<unsigned char>(c));
    f.reset();
    const uint64_t offset = h.RecordAreaStart() + recordBytes + gap.size();
    if (offset > UINT32_MAX)
        throw std::runtime_error(headerPath + ": the records are too long for a LAS header");
    h.NumberOfVariableLengthRecords = uint32_t(records.size());
    h.OffsetToPointData = uint32_t(offset);
    unsigned char block[LASHeader::BlockSize];
    h.copyToBuffer(block);
    out.write(block, sizeof block);
    out.write(extra.data(), extra.size());
    std::vector<unsigned char> packed;
    for (const LASVarLenRecord& r : records) {
        packed.assign(LASVarLenRecord::HeaderBytes, 0);
        packed[0] = static_cast<unsigned char>(r.Reserved);
        packed[1] = static_cast<unsigned char>(r.Reserved >> 8);
        std::memcpy(&packed[2], r.UserID, 16);
        packed[18] = static_cast<unsigned char>(r.RecordID);
        packed[19] = static_cast<unsigned char>(r.RecordID >> 8);
        packed[20] = static_cast<unsigned char>(r.RecordLenAfterHeader);
        packed[21] = static_cast<unsigned char>(r.RecordLenAfterHeader >> 8);
        std::memcpy(&packed[22], r.Description, 32);
        packed.insert(packed.end(), r.Data.begin(), r.Data.end());
        out.write(packed.data(), packed.size());
    }
    out.write(gap.data(), gap.size());
    uint64_t first = 0;
    for (const TreeNodeEntry& node : in.nodes) {
        const std::string path = dir + "points" + node.suffix;
        FilePtr pf = openFile(path.c_str(), "rb");
        if (!pf || std::fseek(pf.get(), LODTreeNodeHeader::Bytes, SEEK_SET) != 0)
            throw std::runtime_error("cannot read " + path);
        copyRecords(pf.get(), path, node.numPoints, h.PointDataRecordLength, classes, first, out);
        first += node.numPoints;
    }
}

uint64_t pointCount(const ClassificationInput& in) {
    if (!in.isTree)
        return in.header.NumberOfPointRecords;
    uint64_t n = 0;
    for (const TreeNodeEntry& node : in.nodes)
        n += node.numPoints;
    return n;
}

void checkCount(const ClassificationInput& in, const std::vector<int32_t>& classes, const char* what) {
    if (classes.size() != pointCount(in))
        throw std::invalid_argument(std::string(what) + ": " + std::to_string(classes.size()) +
                                    " classes for " + std::to_string(pointCount(in)) + " points");
}

} // namespace

uint16_t pointSourceIdForSurface(int32_t surface) {
    if (surface <= 0)
        return 0;
    if (surface <= 65535)
        return uint16_t(surface);
    return uint16_t((surface - 1) % 65535 + 1);
}

void writeClassifiedLAS(const ClassificationInput& in, const std::vector<int32_t>& classes,
                        const std::string& out) {
    checkCount(in, classes, "writeClassifiedLAS");
    AtomicFile file(out);
    if (in.isTree)
        writeFromTree(in, classes, file);
    else
        writeFromLAS(in, classes, file);
    file.commit();
}

void writeTreeSurfaceFiles(const ClassificationInput& in, const std::vector<int32_t>& classes) {
    if (!in.isTree)
        throw std::invalid_argument("writeTreeSurfaceFiles: the input is not a tree");
    checkCount(in, classes, "writeTreeSurfaceFiles");
    const std::string dir = withSeparator(in.path);
    uint64_t first = 0;
    std::vector<unsigned char> bytes;
    for (const TreeNodeEntry& node : in.nodes) {
        bytes.resize(4 * size_t(node.numPoints));
        for (uint32_t i = 0; i < node.numPoints; ++i) {
            const uint32_t v = uint32_t(classes[size_t(first + i)]);
            for (int b = 0; b < 4; ++b)
                bytes[4 * size_t(i) + b] = static_cast<unsigned char>(v >> (8 * b));
        }
        AtomicFile file(dir + "surf" + node.suffix);
        file.write(bytes.data(), bytes.size());
        file.commit();
        first += node.numPoints;
    }
}
