// Import of surveys larger than memory: the records go to disk in horizontal strips ("buckets") of about
// equal count, and every later stage holds one bucket, plus the points near its edges that its
// neighbourhoods and level-0 rows reach into, at a time. The result is byte for byte that of the import
// that holds every point in memory: each stage depends only on points within a known reach of a point.
#include "BucketImport.h"
#include "DatasetFiles.h"
#include "DatasetFormat.h"
#include "LevelAssignment.h"
#include "PointNormals.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <queue>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace import_detail {

namespace {

constexpr uint64_t kMiB = uint64_t(1) << 20;
// Memory per point of a bucket, beyond the record itself: the stages' peak (the normals: records,
// coordinates, the neighbour search, normals, sort keys) measures about 120 bytes; the rest is room for
// uneven margins. And what the stages take whatever the bucket.
constexpr uint64_t kBucketBytesPerPoint = 300;
constexpr uint64_t kFixedBytes = 24 * kMiB;
constexpr size_t kSampleMax = size_t(1) << 20;

// A file of fixed-size entries in the scratch directory, written through a buffer and read at any place.
// Errors (a full disk above all) name the file.
class ScratchFile {
public:
    ScratchFile(std::string path, size_t entry, size_t buffer) : path_(std::move(path)), entry_(entry) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ < 0)
            fail(sysError(path_));
        capacity_ = std::max(buffer, entry);
        buf_ = std::make_unique_for_overwrite<unsigned char[]>(capacity_);
    }
    ~ScratchFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    void append(const void* data, size_t size) {
        if (size >= capacity_) {
            flush();
            writeAt(static_cast<const unsigned char*>(data), size, written_);
        } else {
            std::memcpy(room(size), data, size);
        }
    }
    // `size` bytes (at most the buffer's) to fill in place, appended.
    unsigned char* room(size_t size) {
        if (used_ + size > capacity_)
            flush();
        unsigned char* p = buf_.get() + used_;
        used_ += size;
        return p;
    }
    void flush() {
        writeAt(buf_.get(), used_, written_);
        used_ = 0;
    }
    // Flushes and gives the buffer back: the file is complete and only read from now on.
    void finish() {
        flush();
        buf_.reset();
        capacity_ = 0;
    }
    // Entries [from, from + count) into out; the buffer must have been flushed.
    void read(uint64_t from, uint64_t count, unsigned char* out) const {
        size_t size = size_t(count * entry_);
        off_t at = off_t(from * entry_);
        while (size > 0) {
            const ssize_t r = ::pread(fd_, out, size, at);
            if (r <= 0)
                fail(r == 0 ? path_ + ": cut short" : sysError(path_));
            out += r;
            size -= size_t(r);
            at += r;
        }
    }
    // Replaces the contents with `data` (the same number of entries, reordered).
    void rewrite(const unsigned char* data, size_t size) {
        written_ = 0;
        writeAt(data, size, 0);
    }
    uint64_t entries() const { return (written_ + used_) / entry_; }
    void remove() {
        ::close(fd_);
        fd_ = -1;
        ::unlink(path_.c_str());
    }

private:
    void writeAt(const unsigned char* p, size_t size, uint64_t at) {
        for (size_t done = 0; done < size;) {
            const ssize_t w = ::pwrite(fd_, p + done, size - done, off_t(at + done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                fail(sysError(path_));
            }
            done += size_t(w);
        }
        written_ = std::max<uint64_t>(written_, at + size);
    }

    std::string path_;
    size_t entry_;
    int fd_ = -1;
    uint64_t written_ = 0;
    std::unique_ptr<unsigned char[]> buf_;
    size_t used_ = 0, capacity_ = 0;
};

// The scratch directory, removed with everything in it whatever way the import ends.
class Scratch {
public:
    explicit Scratch(const std::string& root, const std::string& id) {
        std::error_code ec;
        std::filesystem::create_directories(root, ec);
        if (ec)
            fail(root + ": " + ec.message());
        removeStaleTemporaries(root);
        dir_ = makeTempDir(root, id, "-scratch");
    }
    ~Scratch() { removeTree(dir_); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    std::string file(const char* kind, size_t b) const { return dir_ + "/" + kind + "-" + std::to_string(b); }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
};

struct Bucket {
    uint64_t count = 0;
    double minY = std::numeric_limits<double>::infinity(), maxY = -std::numeric_limits<double>::infinity();
    std::unique_ptr<ScratchFile> points; // record, then its input index (uint32); sorted by (y, index)
    std::unique_ptr<ScratchFile> levels; // unbounded level per point, in the order of `points`
    std::unique_ptr<ScratchFile> run;    // per level: input index, then the wire record; in served order
    uint64_t runLevel[kMaxLevelCount + 1] = {};
};

// Records held in memory: the bucket file's entries (record, then input index).
struct Entries {
    size_t size = 0; // bytes per entry
    std::vector<unsigned char> bytes;
    uint64_t count() const { return size ? bytes.size() / size : 0; }
    const unsigned char* record(uint64_t i) const { return &bytes[i * size]; }
    uint32_t index(uint64_t i) const {
        uint32_t v;
        std::memcpy(&v, &bytes[i * size + size - 4], 4);
        return v;
    }
};

// Positions 0..m-1 in order of their keys, equal keys in position order: least significant 16 bits first,
// a pass skipped where every key has the same digit.
std::vector<uint32_t> orderByKey(const std::vector<uint64_t>& keys, int bits) {
    const size_t m = keys.size();
    std::vector<std::pair<uint64_t, uint32_t>> a(m), b(m);
    for (size_t i = 0; i < m; ++i)
        a[i] = {keys[i], uint32_t(i)};
    std::vector<size_t> count(size_t(1) << 16);
    for (int shift = 0; shift < bits; shift += 16) {
        std::fill(count.begin(), count.end(), 0);
        for (const auto& p : a)
            ++count[(p.first >> shift) & 0xffff];
        if (m == 0 || count[(a[0].first >> shift) & 0xffff] == m)
            continue;
        for (size_t d = 0, at = 0; d < count.size(); ++d)
            at += std::exchange(count[d], at);
        for (const auto& p : a)
            b[count[(p.first >> shift) & 0xffff]++] = p;
        a.swap(b);
    }
    std::vector<uint32_t> order(m);
    for (size_t i = 0; i < m; ++i)
        order[i] = a[i].second;
    return order;
}

// A key that sorts as the double does.
uint64_t sortable(double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v + 0.0);
    return bits >> 63 ? ~bits : bits | (uint64_t(1) << 63);
}

class BucketImport {
public:
    BucketImport(Input& in, RecordReader& reader, DatasetInfo& info, int neighbours, const Report& report)
        : in_(in), reader_(reader), info_(info), neighbours_(neighbours), report_(report),
          entry_(in.recLen + 4), wire_(in.recLen + kNormalBytes) {}

    void scan(uint64_t memory);
    void partition(const Scratch& scratch);
    void calibrate();
    void thin(const Scratch& scratch);
    void normals(const Scratch& scratch);
    void write(DatasetWriter& out, const Scratch& scratch);
    size_t buckets() const { return buckets_.size(); }

private:
    double y(const unsigned char* record) const { return worldCoord(record, 1, in_.scale[1], in_.offset[1]); }
    double x(const unsigned char* record) const { return worldCoord(record, 0, in_.scale[0], in_.offset[0]); }
    Entries load(size_t b, uint64_t from, uint64_t count) const;
    // Entries [from, to) of bucket b appended to `out`.
    void load(size_t b, uint64_t from, uint64_t to, Entries& out) const;
    // First entry of bucket b at or after which pred(y) holds (pred is monotone: false, then true).
    template <class Pred> uint64_t firstWhere(size_t b, const Pred& pred) const;
    // The points of the other buckets in level-0 rows [rlo, rhi], appended to `out`.
    void gatherRows(size_t b, uint64_t rlo, uint64_t rhi, Entries& out) const;
    // Normals of the points with y in [lo, hi] (only those of `wanted`, sorted input indices, when given),
    // from every point within `margin` of that band, in input index order.
    struct Band {
        std::vector<uint32_t> index;
        std::vector<float> normals;
        std::vector<double> y, reach; // reach: the k-th neighbour's distance
        std::vector<size_t> open;     // positions whose neighbourhood may reach beyond what was loaded
        double margin = 0;
    };
    // `progress(done, total)` now and then, as computeNormals reports.
    Band band(double lo, double hi, double margin, const std::vector<uint32_t>& wanted,
              const std::function<void(size_t, size_t)>& progress = {}) const;

    Input& in_;
    RecordReader& reader_;
    DatasetInfo& info_;
    const int neighbours_;
    const Report& report_;
    const size_t entry_, wire_;
    std::vector<double> bounds_; // y of the bucket boundaries: bucket b holds y in [b-1, b)
    std::vector<Bucket> buckets_;
    LevelGrid grid_;
    std::vector<uint64_t> counts_; // points per level
    double margin_ = 0;            // the normals' reach beyond a bucket's strip
    uint64_t memory_ = 0;
    // A buffer for each bucket's file: an eighth of the memory for all together.
    size_t bufferBytes() const {
        return std::clamp<size_t>(size_t(memory_ / 8 / std::max<size_t>(1, buckets_.size())), 64 << 10,
                                  4 * kMiB);
    }
};

void BucketImport::load(size_t b, uint64_t from, uint64_t to, Entries& out) const {
    if (to <= from)
        return;
    const size_t at = out.bytes.size();
    out.bytes.resize(at + (to - from) * entry_);
    buckets_[b].points->read(from, to - from, &out.bytes[at]);
}

Entries BucketImport::load(size_t b, uint64_t from, uint64_t count) const {
    Entries e;
    e.size = entry_;
    load(b, from, from + count, e);
    return e;
}

template <class Pred> uint64_t BucketImport::firstWhere(size_t b, const Pred& pred) const {
    uint64_t lo = 0, hi = buckets_[b].count;
    std::vector<unsigned char> one(entry_);
    while (lo < hi) {
        const uint64_t mid = lo + (hi - lo) / 2;
        buckets_[b].points->read(mid, 1, one.data());
        if (pred(y(one.data())))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

void BucketImport::gatherRows(size_t b, uint64_t rlo, uint64_t rhi, Entries& out) const {
    // Rows never decrease with y, so the points of rows [rlo, rhi] form one stretch of y.
    auto append = [&](size_t o, uint64_t from, uint64_t to) { load(o, from, to, out); };
    const LevelGrid& c = grid_;
    for (size_t o = b; o-- > 0 && (buckets_[o].count == 0 || c.rowOf(buckets_[o].maxY) >= rlo);) {
        if (buckets_[o].count)
            append(o, firstWhere(o, [&](double v) { return c.rowOf(v) >= rlo; }), buckets_[o].count);
    }
    for (size_t o = b + 1;
         o < buckets_.size() && (buckets_[o].count == 0 || c.rowOf(buckets_[o].minY) <= rhi); ++o) {
        if (buckets_[o].count)
            append(o, 0, firstWhere(o, [&](double v) { return c.rowOf(v) > rhi; }));
    }
}

BucketImport::Band BucketImport::band(double lo, double hi, double margin,
                                      const std::vector<uint32_t>& wanted,
                                      const std::function<void(size_t, size_t)>& progress) const {
    Entries e;
    e.size = entry_;
    const double from = lo - margin, to = hi + margin;
    for (size_t b = 0; b < buckets_.size(); ++b) {
        const Bucket& o = buckets_[b];
        if (o.count == 0 || o.maxY < from || o.minY > to)
            continue;
        const uint64_t first = o.minY >= from ? 0 : firstWhere(b, [&](double v) { return v >= from; });
        const uint64_t end = o.maxY <= to ? o.count : firstWhere(b, [&](double v) { return v > to; });
        load(b, first, end, e);
    }
    const uint64_t m = e.count();
    // Ties between equally near neighbours go by input index, as over all points at once.
    std::vector<uint64_t> indices(m);
    for (uint64_t i = 0; i < m; ++i)
        indices[i] = e.index(i);
    std::vector<uint32_t> order = orderByKey(indices, 32);
    indices = {};
    std::vector<double> xyz(3 * m);
    Band out;
    out.margin = margin;
    std::vector<uint64_t> keep; // positions in the index order
    std::vector<uint8_t> only(m, 0);
    for (uint64_t k = 0; k < m; ++k) {
        const unsigned char* r = e.record(order[k]);
        for (int a = 0; a < 3; ++a)
            xyz[3 * k + size_t(a)] = worldCoord(r, a, in_.scale[a], in_.offset[a]);
        const double v = xyz[3 * k + 1];
        const uint32_t index = e.index(order[k]);
        if (v >= lo && v <= hi &&
            (wanted.empty() || std::binary_search(wanted.begin(), wanted.end(), index))) {
            keep.push_back(k);
            only[k] = 1;
            out.index.push_back(index);
            out.y.push_back(v);
        }
    }
    e = {};
    order = {};
    std::vector<float> all(3 * m);
    std::vector<double> reach2(m);
    computeNormals(std::move(xyz), neighbours_, all.data(), 0, progress, NeighbourSearch::Automatic,
                   reach2.data(), only.data());
    // A point's normal is that of all points when every point left out lies farther than its k-th
    // neighbour: those below `from` or above `to` are at least the gap in y away.
    const bool allBelow = !(info_.bounds[2] < from), allAbove = !(info_.bounds[3] > to);
    out.normals.resize(3 * keep.size());
    out.reach.resize(keep.size());
    for (size_t j = 0; j < keep.size(); ++j) {
        const uint64_t k = keep[j];
        std::copy_n(&all[3 * k], 3, &out.normals[3 * j]);
        out.reach[j] = std::sqrt(reach2[k]);
        const double gap =
            std::min(allBelow ? INFINITY : out.y[j] - from, allAbove ? INFINITY : to - out.y[j]);
        if (!(reach2[k] < gap * gap * (1 - 1e-9)) && !(allBelow && allAbove))
            out.open.push_back(j);
    }
    return out;
}

// Read (phase "read"): bounds, and a sample of y that places the buckets' boundaries.
void BucketImport::scan(uint64_t memory) {
    memory_ = memory;
    const uint64_t n = in_.points;
    const uint64_t step = std::max<uint64_t>(1, (n + kSampleMax - 1) / kSampleMax);
    std::vector<double> sample;
    sample.reserve(size_t(n / step + 1));
    readPoints(reader_, in_, info_, report_, [&](uint64_t i, const double* p) {
        if (i % step == 0)
            sample.push_back(p[1]);
    });
    const uint64_t perPoint = kBucketBytesPerPoint + in_.recLen;
    const uint64_t perBucket = std::max<uint64_t>(1, (memory - std::min(memory / 2, kFixedBytes)) / perPoint);
    // Room for the margins and for the sample's error.
    const size_t count = std::min<size_t>(sample.size(), size_t(n / (perBucket * 3 / 4 + 1) + 1));
    std::sort(sample.begin(), sample.end());
    for (size_t b = 1; b < count; ++b)
        bounds_.push_back(sample[sample.size() * b / count]);
    buckets_.resize(count);
    const double w = info_.bounds[1] - info_.bounds[0], h = info_.bounds[3] - info_.bounds[2];
    // A k-nearest neighbourhood of evenly spread points reaches sqrt(k / pi) spacings; twice that rarely
    // falls short, and the points where it does are done again from wider bands.
    const double spacing = std::sqrt(std::max(w * h, std::max(w, h) * std::max(w, h) * 1e-6) / double(n));
    margin_ = 2 * std::sqrt(neighbours_ / M_PI) * spacing;
    if (!(margin_ > 0))
        margin_ = std::max(w, h) + 1;
}

// Partition (phase "partition"): each record, with its input index, into the bucket of its y.
void BucketImport::partition(const Scratch& scratch) {
    const uint64_t n = in_.points;
    const size_t buffer = bufferBytes();
    for (size_t b = 0; b < buckets_.size(); ++b)
        buckets_[b].points = std::make_unique<ScratchFile>(scratch.file("points", b), entry_, buffer);
    report_("partition", 0, n);
    reader_.forEachPiece([&](const Source& s, uint64_t from, const unsigned char* records, uint64_t count) {
        for (uint64_t i = s.first + from; i < s.first + from + count; ++i, records += in_.recLen) {
            const double v = y(records);
            Bucket& b =
                buckets_[size_t(std::upper_bound(bounds_.begin(), bounds_.end(), v) - bounds_.begin())];
            unsigned char* e = b.points->room(entry_);
            std::memcpy(e, records, in_.recLen);
            const uint32_t index = uint32_t(i);
            std::memcpy(e + in_.recLen, &index, 4);
            ++b.count;
            b.minY = std::min(b.minY, v);
            b.maxY = std::max(b.maxY, v);
        }
        report_("partition", s.first + from + count, n);
    });
    for (Bucket& b : buckets_)
        b.points->finish();
}

// Levels, first part (phase "levels"): every bucket sorted by (y, index), which lets later stages read the
// edge of a neighbour without the rest; then the level-0 cell size, counted over all buckets in y order.
void BucketImport::calibrate() {
    const uint64_t n = in_.points;
    LevelCalibration c(info_.bounds[0], info_.bounds[1], info_.bounds[2], info_.bounds[3], n);
    for (bool first = true; first || !c.done(); first = false) {
        const bool counting = !c.done();
        if (counting)
            c.beginRound();
        uint64_t done = 0;
        for (size_t b = 0; b < buckets_.size(); ++b) {
            Entries e = load(b, 0, buckets_[b].count);
            const uint64_t m = e.count();
            if (first) {
                // The partition wrote each bucket in input order, which a stable sort keeps for equal y.
                std::vector<uint64_t> ys(m);
                for (uint64_t i = 0; i < m; ++i)
                    ys[i] = sortable(y(e.record(i)));
                const std::vector<uint32_t> at = orderByKey(ys, 64);
                std::vector<unsigned char> sorted(e.bytes.size());
                for (uint64_t i = 0; i < m; ++i)
                    std::memcpy(&sorted[i * entry_], e.record(at[i]), entry_);
                buckets_[b].points->rewrite(sorted.data(), sorted.size());
                e.bytes = std::move(sorted);
            }
            if (counting) {
                std::vector<double> xy(2 * m);
                for (uint64_t i = 0; i < m; ++i) {
                    xy[2 * i] = x(e.record(i));
                    xy[2 * i + 1] = y(e.record(i));
                }
                c.add(xy.data(), m);
            }
            done += m;
            report_("levels", done / 4, n);
        }
        if (counting)
            c.endRound();
    }
    grid_ = c.grid();
}

// Levels, second part: each point's level were thinning never stopped, from the whole level-0 rows its
// bucket touches; then where the levels end, from the counts of all buckets.
void BucketImport::thin(const Scratch& scratch) {
    const uint64_t n = in_.points;
    LevelCounts unbounded{};
    uint64_t done = 0;
    for (size_t b = 0; b < buckets_.size(); ++b) {
        Bucket& bucket = buckets_[b];
        bucket.levels = std::make_unique<ScratchFile>(scratch.file("levels", b), 1, 0);
        if (bucket.count == 0)
            continue;
        Entries e = load(b, 0, bucket.count);
        const uint64_t core = e.count();
        gatherRows(b, grid_.rowOf(bucket.minY), grid_.rowOf(bucket.maxY), e);
        const uint64_t m = e.count();
        std::vector<double> xy(2 * m);
        std::vector<uint32_t> index(m);
        for (uint64_t i = 0; i < m; ++i) {
            xy[2 * i] = x(e.record(i));
            xy[2 * i + 1] = y(e.record(i));
            index[i] = e.index(i);
        }
        e = {};
        std::vector<uint8_t> own(m, 0), level(m);
        std::fill_n(own.begin(), core, uint8_t(1));
        thinUnbounded(grid_, xy.data(), index.data(), m, 0, own.data(), level.data(), unbounded);
        bucket.levels->append(level.data(), core);
        bucket.levels->flush();
        done += core;
        report_("levels", n / 4 + done * 3 / 4, n);
    }
    counts_ = cutLevels(grid_, unbounded);
    for (uint64_t count : counts_)
        info_.levels.push_back(makeGrid(count, info_.bounds));
    info_.cellsOrderedByX = true;
    report_("levels", n, n);
}

// Normals (phase "normals"), and each bucket's points in served order, level by level, into its run.
void BucketImport::normals(const Scratch& scratch) {
    const uint64_t n = in_.points;
    uint64_t done = 0;
    report_("normals", 0, n);
    for (size_t b = 0; b < buckets_.size(); ++b) {
        Bucket& bucket = buckets_[b];
        bucket.run = std::make_unique<ScratchFile>(scratch.file("run", b), 1, bufferBytes());
        if (bucket.count == 0)
            continue;
        const uint64_t core = bucket.count;
        // First the normals from the points within the usual reach of the bucket; then, for the points whose
        // k-th neighbour lies farther than their distance to what was loaded, again from bands around them
        // as wide as that neighbour's distance (an upper bound of the reach once more points are loaded).
        Band first = band(bucket.minY, bucket.maxY, margin_, {}, [&](size_t d, size_t total) {
            report_("normals", done + uint64_t(double(core) * double(d) / double(std::max<size_t>(1, total))),
                    n);
        });
        std::vector<uint32_t> sortedIndex = std::move(first.index);
        std::vector<float> normals = std::move(first.normals);
        for (std::vector<size_t> open = std::move(first.open); !open.empty();) {
            // In groups an eighth of the strip tall, so that no band holds much more than its points' reach.
            std::sort(open.begin(), open.end(), [&](size_t a, size_t o) { return first.y[a] < first.y[o]; });
            const double tall = (bucket.maxY - bucket.minY) / 8;
            std::vector<size_t> still;
            for (size_t from = 0, to; from < open.size(); from = to) {
                double lo = first.y[open[from]], hi = lo, reach = 0;
                std::vector<uint32_t> wanted;
                for (to = from; to < open.size() && first.y[open[to]] <= lo + tall; ++to) {
                    hi = first.y[open[to]];
                    reach = std::max(reach, first.reach[open[to]]);
                    wanted.push_back(sortedIndex[open[to]]);
                }
                if (!std::isfinite(reach))
                    reach = 4 * first.margin;
                std::sort(wanted.begin(), wanted.end());
                Band again = band(lo, hi, reach * 1.01 + 1e-9 * (std::abs(lo) + std::abs(hi)), wanted);
                for (size_t j = 0; j < again.index.size(); ++j) {
                    const size_t k =
                        size_t(std::lower_bound(sortedIndex.begin(), sortedIndex.end(), again.index[j]) -
                               sortedIndex.begin());
                    std::copy_n(&again.normals[3 * j], 3, &normals[3 * k]);
                    first.reach[k] = again.reach[j];
                }
                for (size_t j : again.open)
                    still.push_back(
                        size_t(std::lower_bound(sortedIndex.begin(), sortedIndex.end(), again.index[j]) -
                               sortedIndex.begin()));
                first.margin = std::max(first.margin, again.margin);
            }
            open = std::move(still);
        }

        // Served order: level, cell, raw X, input index.
        Entries e = load(b, 0, core);
        std::vector<uint8_t> level(core);
        bucket.levels->read(0, core, level.data());
        // The normals are in input index order; so are the keys, which a stable sort then leaves in input
        // index order where level, cell and X are equal. Cells number below 2^24 (4096 x 4096), levels 16.
        std::vector<uint32_t> byIndex;
        {
            std::vector<uint64_t> indices(core);
            for (uint64_t i = 0; i < core; ++i)
                indices[i] = e.index(i);
            byIndex = orderByKey(indices, 32);
        }
        std::vector<uint64_t> keys(core);
        for (uint64_t j = 0; j < core; ++j) {
            const uint32_t i = byIndex[j];
            const int l = std::min<int>(level[i], int(counts_.size()) - 1);
            const DatasetLevel& g = info_.levels[size_t(l)];
            const unsigned char* r = e.record(i);
            keys[j] = uint64_t(l) << 60 | gridCell(g, x(r), y(r)) << 32 | xOrderKey(r, in_.scale[0]);
        }
        for (const uint32_t j : orderByKey(keys, 64)) {
            const uint32_t i = byIndex[j], index = e.index(i);
            unsigned char* out = bucket.run->room(4 + wire_);
            std::memcpy(out, &index, 4);
            std::memcpy(out + 4, e.record(i), in_.recLen);
            storeNormal(out + 4 + in_.recLen, &normals[3 * size_t(j)]);
            ++bucket.runLevel[(keys[j] >> 60) + 1];
        }
        bucket.run->finish();
        for (int l = 0; l < kMaxLevelCount; ++l)
            bucket.runLevel[l + 1] += bucket.runLevel[l];
        done += core;
        report_("normals", done, n);
    }
    for (Bucket& bucket : buckets_) {
        bucket.points->remove();
        bucket.levels->remove();
    }
}

// Write (phase "write"): each level merged from the buckets' runs, with its cell index.
void BucketImport::write(DatasetWriter& out, const Scratch& scratch) {
    const uint64_t n = in_.points;
    const size_t runEntry = 4 + wire_;
    const size_t buffered = std::max<size_t>(1, bufferBytes() / runEntry);
    uint64_t written = 0;
    report_("write", 0, n);
    std::vector<unsigned char> batch;
    batch.reserve(size_t(1 << 15) * wire_);
    for (size_t l = 0; l < info_.levels.size(); ++l) {
        const DatasetLevel& g = info_.levels[l];
        struct Cursor {
            size_t bucket;
            uint64_t next, end;
            std::vector<unsigned char> buf;
            size_t at = 0;
            uint64_t cell = 0, low = 0;
        };
        std::vector<Cursor> cursors;
        auto keyOf = [&](Cursor& c) {
            const unsigned char* e = &c.buf[c.at * runEntry];
            const unsigned char* r = e + 4;
            uint32_t index;
            std::memcpy(&index, e, 4);
            c.cell = gridCell(g, x(r), y(r));
            c.low = uint64_t(xOrderKey(r, in_.scale[0])) << 32 | index;
        };
        // The next piece of the cursor's run; false at its end.
        auto refill = [&](Cursor& c) {
            if (c.next == c.end)
                return false;
            const uint64_t m = std::min<uint64_t>(buffered, c.end - c.next);
            c.buf.resize(size_t(m) * runEntry);
            buckets_[c.bucket].run->read(c.next * runEntry, m * runEntry, c.buf.data());
            c.next += m;
            c.at = 0;
            keyOf(c);
            return true;
        };
        auto advance = [&](Cursor& c) {
            if (++c.at * runEntry < c.buf.size()) {
                keyOf(c);
                return true;
            }
            return refill(c);
        };
        for (size_t b = 0; b < buckets_.size(); ++b)
            if (buckets_[b].runLevel[l] < buckets_[b].runLevel[l + 1])
                cursors.push_back({b, buckets_[b].runLevel[l], buckets_[b].runLevel[l + 1], {}});
        auto later = [&](size_t a, size_t o) {
            const Cursor &u = cursors[a], &v = cursors[o];
            return u.cell > v.cell || (u.cell == v.cell && u.low > v.low);
        };
        std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heap(later);
        for (size_t k = 0; k < cursors.size(); ++k)
            if (refill(cursors[k]))
                heap.push(k);
        // The cell index as the cells go by, to a file: a grid of 4096 x 4096 cells would take 134 MB.
        const uint64_t cells = uint64_t(g.gridX) * g.gridY;
        ScratchFile index(scratch.file("index", l), 8, size_t(1) << 20);
        uint64_t nextCell = 0, inLevel = 0;
        auto startsUpTo = [&](uint64_t cell) {
            for (; nextCell <= cell; ++nextCell)
                std::memcpy(index.room(8), &inLevel, 8);
        };
        out.beginRecords(l);
        while (!heap.empty()) {
            const size_t k = heap.top();
            heap.pop();
            Cursor& c = cursors[k];
            startsUpTo(c.cell);
            ++inLevel;
            const unsigned char* r = &c.buf[c.at * runEntry + 4];
            batch.insert(batch.end(), r, r + wire_);
            if (batch.size() >= batch.capacity()) {
                out.writeRecords(batch.data(), batch.size());
                written += batch.size() / wire_;
                batch.clear();
                report_("write", written, n);
            }
            if (advance(c))
                heap.push(k);
        }
        out.writeRecords(batch.data(), batch.size());
        written += batch.size() / wire_;
        batch.clear();
        out.endRecords();
        startsUpTo(cells);
        index.flush();
        out.writeIndex(l, cells, [&](uint64_t first, uint64_t count, uint64_t* starts) {
            index.read(first, count, reinterpret_cast<unsigned char*>(starts));
        });
        index.remove();
        report_("write", written, n);
    }
}

uint64_t freeBytes(const std::string& dir) {
    struct statvfs st;
    if (::statvfs(dir.c_str(), &st) != 0)
        return std::numeric_limits<uint64_t>::max();
    return uint64_t(st.f_bavail) * st.f_frsize;
}

std::string gigabytes(uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f GB", double(bytes) / 1e9);
    return buf;
}

dev_t deviceOf(const std::string& dir) {
    struct stat st;
    return ::stat(dir.c_str(), &st) == 0 ? st.st_dev : dev_t(-1);
}

} // namespace

uint64_t inMemoryImportBytes(uint64_t points, uint32_t recordLength) {
    return points * (uint64_t(recordLength) + 64) + kFixedBytes;
}

DatasetInfo importInBuckets(Input& in, RecordReader& reader, const std::string& dataDir,
                            const std::string& name, int neighbours, uint64_t memory,
                            const std::string& tmpRoot, const Report& report) {
    const uint64_t n = in.points;
    DatasetInfo info;
    info.name = name;
    info.points = n;
    info.recordLength = in.recLen + kNormalBytes;
    BucketImport work(in, reader, info, neighbours, report);

    // The disk space this needs at its peak, checked before anything is written: the buckets and the runs
    // side by side, then the runs beside the data set.
    const std::string root = tmpRoot.empty() ? dataDir : tmpRoot;
    Staging staging(dataDir, name);
    const Scratch scratch(root, staging.id());
    const uint64_t buckets = n * (in.recLen + 5), runs = n * (in.recLen + 16), served = n * (in.recLen + 12);
    const bool shared = deviceOf(scratch.dir()) == deviceOf(dataDir);
    const uint64_t needScratch = std::max(buckets + runs, shared ? runs + served : 0);
    const uint64_t haveScratch = freeBytes(scratch.dir());
    if (needScratch > haveScratch)
        fail("not enough free disk space in " + root + ": the import needs about " + gigabytes(needScratch) +
             " there for its temporary files" + (shared ? " and the data set" : "") + ", and " +
             gigabytes(haveScratch) + " are free (--tmp DIR puts the temporary files elsewhere)");
    if (!shared && served > freeBytes(dataDir))
        fail("not enough free disk space in " + dataDir + ": the data set needs about " + gigabytes(served) +
             ", and " + gigabytes(freeBytes(dataDir)) + " are free");

    work.scan(memory);
    // Every bucket holds a file open; a survey far larger than its bound needs more than the usual 1024.
    struct rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
        work.buckets() + 64 > files.rlim_cur) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, rlim_t(work.buckets() + 64));
        ::setrlimit(RLIMIT_NOFILE, &files);
        if (work.buckets() + 64 > files.rlim_cur)
            fail("the import would need " + std::to_string(work.buckets()) +
                 " temporary files open at once, more than this system allows (" +
                 std::to_string(files.rlim_max) + "): give it more memory with --memory");
    }
    work.partition(scratch);
    work.calibrate();
    work.thin(scratch);
    mergeHeaders(in, info);
    work.normals(scratch);
    DatasetWriter out(staging.begin(name));
    out.writeName(name);
    out.writeHeader(in.header);
    out.writeLevels(info);
    work.write(out, scratch);
    out.writeManifest();
    report("write", n, n);
    staging.publish();
    return info;
}

} // namespace import_detail
