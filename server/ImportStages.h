#pragma once
// The stages an import shares whether it holds every point in memory or works through buckets on disk:
// checking the inputs, reading their records, the levels' grids, the served header, and publishing the
// data set.
#include "CLASReader.h"
#include "DatasetFiles.h"
#include "DatasetFormat.h"
#include "LASHeader.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace import_detail {

[[noreturn]] void fail(const std::string& what);
std::string sysError(const std::string& path);

using Report = std::function<void(const char* phase, uint64_t done, uint64_t total)>;

// One input file of a data set: its header, where its records go among those of all files, and what
// moves its raw coordinates onto the first file's offsets.
struct Source {
    std::string path;
    LASHeader header;
    uint64_t first = 0;
    int64_t shift[3] = {0, 0, 0};
    std::optional<uint64_t> coordinates; // hash of the first reading
};

// Validate: the arguments, then every header before any records are read, so that a bad file late in a
// long list fails the import at once.
struct Input {
    std::vector<Source> sources;
    uint64_t points = 0;
    uint32_t recLen = 0;               // LAS record
    std::vector<unsigned char> header; // the first file's bytes before its records
    double scale[3] = {}, offset[3] = {};
};

void checkArguments(const std::string& name, int neighbours, const std::vector<std::string>& lasPaths);
Input validateInputs(const std::vector<std::string>& lasPaths);

// The records of the input files in the first file's offsets, read in pieces or whole. The records are
// read three times, so that they never sit in memory beside the working arrays of the normals or the
// levels (the import's peaks): coordinates for the normals, x and y for the levels, then whole for
// writing. Each reading must find the same coordinates.
class RecordReader {
public:
    explicit RecordReader(Input& in) : in_(in), recLen_(in.recLen) {}

    // fn(source, index of the first record in its file, records, count) for consecutive pieces of the
    // records, file after file.
    void
    forEachPiece(const std::function<void(const Source&, uint64_t, const unsigned char*, uint64_t)>& fn) {
        const uint64_t piece = std::max<uint64_t>(1, (8u << 20) / recLen_);
        std::vector<unsigned char> records(std::min(piece, in_.points) * recLen_);
        for (Source& s : in_.sources) {
            const uint64_t count = s.header.NumberOfPointRecords;
            uint64_t h = 0;
            for (uint64_t from = 0; from < count; from += piece) {
                const uint64_t m = std::min(piece, count - from);
                read(s, from, m, records.data());
                h = hashCoordinates(records.data(), m, h);
                shift(s, from, m, records.data());
                fn(s, from, records.data(), m);
            }
            checkHash(s, h);
        }
    }

    // Read: every record, in input order.
    std::vector<unsigned char> readAll() {
        std::vector<unsigned char> raw(in_.points * recLen_);
        for (Source& s : in_.sources) {
            const uint64_t count = s.header.NumberOfPointRecords;
            unsigned char* at = raw.data() + s.first * recLen_;
            if (count == 0)
                continue;
            read(s, 0, count, at);
            checkHash(s, hashCoordinates(at, count, 0));
            shift(s, 0, count, at);
        }
        return raw;
    }

private:
    // A failure names the file.
    void read(const Source& s, uint64_t from, uint64_t count, unsigned char* out) const {
        try {
            CLASReader::ReadPoints(s.path.c_str(), out, s.header.OffsetToPointData + from * recLen_, recLen_,
                                   count, recLen_);
        } catch (const std::exception& e) {
            fail(s.path + ": cannot read the point records (" + e.what() + ")");
        }
    }
    void shift(const Source& s, uint64_t from, uint64_t count, unsigned char* records) const {
        if (s.shift[0] == 0 && s.shift[1] == 0 && s.shift[2] == 0)
            return;
        for (uint64_t i = from; i < from + count; ++i, records += recLen_)
            for (int a = 0; a < 3; ++a) {
                const int64_t v = int64_t(rawCoord(records, a)) + s.shift[a];
                if (v < INT32_MIN || v > INT32_MAX)
                    fail(s.path + ": point " + std::to_string(i) + " lies beyond what " +
                         in_.sources.front().path + "'s offsets and scale factors can hold");
                las_detail::storeLE<int32_t>(records + las_detail::kRecordX + 4 * a, int32_t(v));
            }
    }
    uint64_t hashCoordinates(const unsigned char* records, uint64_t count, uint64_t h) const {
        for (uint64_t i = 0; i < count; ++i, records += recLen_) {
            uint64_t xy, z = uint32_t(rawCoord(records, 2));
            std::memcpy(&xy, records, 8);
            h = (h ^ xy) * 0x9E3779B97F4A7C15ull;
            h = (h ^ z ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
        }
        return h;
    }
    static void checkHash(Source& s, uint64_t h) {
        if (s.coordinates && h != *s.coordinates)
            fail(s.path + ": the file changed while it was being imported");
        s.coordinates = h;
    }

    Input& in_;
    const uint32_t recLen_;
};

// Read (phase "read"): every point's world coordinates, in input order, to `point`; their bounds into
// `info`. A non-finite coordinate is refused, naming the file and point.
void readPoints(RecordReader& reader, const Input& in, DatasetInfo& info, const Report& report,
                const std::function<void(uint64_t index, const double* xyz)>& point);

// Square cells holding about 64 records on average over the points' bounds.
DatasetLevel makeGrid(uint64_t count, const double* bounds);
// The first file's header for several files served as one.
void mergeHeaders(Input& in, const DatasetInfo& info);

// A new directory DIR/.tmp-ID-PID-RANDOMSUFFIX; removeStaleTemporaries(DIR) removes those whose process is
// gone.
std::string makeTempDir(const std::string& dir, const std::string& id, const char* suffix);
void removeStaleTemporaries(const std::string& dir);
void removeTree(const std::string& p);

// Publish: the data set is built in a temporary directory beside its final place and renamed into it once
// complete. Until then, a failure removes the temporary directory and a data directory created for it.
class Staging {
public:
    // Everything that can fail on the input has been checked before: only now is the data directory
    // touched.
    Staging(std::string dataDir, const std::string& name);
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;
    ~Staging();

    // The temporary directory to build in.
    const std::string& begin(const std::string& name);
    void publish();
    const std::string& dataDir() const { return dataDir_; }
    const std::string& id() const { return id_; }

private:
    std::string dataDir_, id_, final_, tmp_;
    bool createdDataDir_ = false, done_ = false;
};

} // namespace import_detail
