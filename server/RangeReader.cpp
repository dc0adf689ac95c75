// Range queries over the cell grid of each level. A cell strictly between the cells holding the query's
// edges can only hold matching points (cellCoord is non-decreasing in the coordinate), so only edge cells
// are tested point by point, and an axis whose range covers the data set is not tested at all. Where cells
// hold their records in X order, a row's X edges are found by bisection and only Y (and height) is tested.
#include "RangeReader.h"

#include "DatasetFormat.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {
// A piece is one turn of a connection among the others of its thread: small enough for short replies not
// to wait long behind it, large enough that a turn costs little beside its copy.
constexpr size_t kPieceBytes = 256 << 10;

// The raw values r with lo <= worldCoord(r) < hi, as the inclusive range [first, last] (empty when
// first > last). worldCoord is monotone in r (the direction of the scale's sign), so both ends are
// found by bisection on the exact expression the import used: the test per point is then on integers.
void rawRange(double lo, double hi, double scale, double offset, int64_t& first, int64_t& last) {
    auto world = [&](int64_t r) {
        unsigned char b[4];
        for (int k = 0; k < 4; ++k)
            b[k] = uint8_t(uint64_t(r) >> (8 * k));
        return worldCoord(b, 0, scale, offset);
    };
    auto inside = [&](int64_t r) {
        const double w = world(r);
        return w >= lo && w < hi;
    };
    // Points of the up-set (scale > 0: w >= lo) or down-set boundaries, searched over all of int32.
    auto firstWhere =
        [&](auto pred) { // smallest r with pred(r), pred monotone false..true; INT32_MAX+1 if none
            int64_t a = INT32_MIN, b = int64_t(INT32_MAX) + 1;
            while (a < b) {
                const int64_t m = a + (b - a) / 2;
                if (pred(m))
                    b = m;
                else
                    a = m + 1;
            }
            return a;
        };
    if (scale > 0) {
        first = firstWhere([&](int64_t r) { return world(r) >= lo; });
        last = firstWhere([&](int64_t r) { return world(r) >= hi; }) - 1;
    } else {
        first = firstWhere([&](int64_t r) { return world(r) < hi; });
        last = firstWhere([&](int64_t r) { return world(r) < lo; }) - 1;
    }
    if (first <= last && !(inside(first) && inside(last)))
        first = 1, last = 0; // only for NaN bounds, which requests never carry
}
// How far ahead of use a reply's records are asked for: enough for the disk to work on several requests at
// once, little beside the piece being sent.
constexpr uint64_t kAheadBytes = 1 << 20;
const uint64_t kPageBytes = uint64_t(::sysconf(_SC_PAGESIZE));
constexpr uint64_t kIndexEntryBytes = sizeof(uint64_t);
constexpr uint64_t kEdgeCellAskBytes = 16 << 10;

// Byte ranges about to be read, asked for in few requests: ranges of one file less than a page apart merge.
class Asks {
public:
    Asks() = default;
    Asks(const Asks&) = delete;
    Asks& operator=(const Asks&) = delete;
    ~Asks() { flush(); }
    void add(const MappedFile& file, uint64_t lo, uint64_t hi) {
        if (file_ == &file && lo >= lo_ && lo <= hi_ + kPageBytes) {
            hi_ = std::max(hi_, hi);
            return;
        }
        flush();
        file_ = &file;
        lo_ = lo;
        hi_ = hi;
    }
    void flush() {
        if (file_)
            file_->willNeed(lo_, hi_ - lo_);
        file_ = nullptr;
    }

private:
    const MappedFile* file_ = nullptr;
    uint64_t lo_ = 0, hi_ = 0;
};

constexpr size_t kScratchBytes = 128 << 10;
constexpr size_t kDirectBytes = 32 << 10;
constexpr uint64_t kMaxMatchBits = uint64_t(1) << 24;
// Match bits of all readers together: many large filtered replies in flight (slow clients) must not add
// up to unbounded memory; past the budget a reader tests its records again while it produces them.
constexpr uint64_t kMatchBitsBudgetBytes = uint64_t(64) << 20;
std::atomic<uint64_t> matchBitsInUse{0};

// Gather buffers, reused across replies: a fresh one per reply costs page faults (and, for large ones,
// unmapping across all threads) that outweigh small replies' whole work. A reply's pieces must outlive
// other replies produced on the same thread meanwhile, so each reader holds its own while it lives.
class ScratchPool {
public:
    static size_t size(size_t stride) { return std::max(kScratchBytes, stride); }
    std::unique_ptr<unsigned char[]> get(size_t bytes) {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < spare_.size(); ++i)
            if (spare_[i].second == bytes) {
                auto b = std::move(spare_[i].first);
                spare_.erase(spare_.begin() + long(i));
                return b;
            }
        return std::make_unique_for_overwrite<unsigned char[]>(bytes);
    }
    void put(std::unique_ptr<unsigned char[]> b, size_t bytes) {
        std::lock_guard lock(mutex_);
        if (spare_.size() < kSpare)
            spare_.emplace_back(std::move(b), bytes);
    }

private:
    static constexpr size_t kSpare = 32;
    std::mutex mutex_;
    std::vector<std::pair<std::unique_ptr<unsigned char[]>, size_t>> spare_;
};
ScratchPool& scratchPool() {
    static ScratchPool pool;
    return pool;
}
} // namespace

RangeReader::RangeReader(std::shared_ptr<const Dataset> dataset, const RangeQuery& query)
    : dataset_(std::move(dataset)), q_(query) {
    const DatasetInfo& info = dataset_->info;
    const double lo[3] = {q_.minX, q_.minY, q_.minZ}, hi[3] = {q_.maxX, q_.maxY, q_.maxZ};
    for (int a = 0; a < 3; ++a)
        rawRange(lo[a], hi[a], dataset_->scale[a], dataset_->offset[a], rawLo_[a], rawHi_[a]);
    const double* b = info.bounds;
    const bool testX = !(q_.minX <= b[0] && q_.maxX > b[1]);
    const bool testY = !(q_.minY <= b[2] && q_.maxY > b[3]);
    const bool testZ = !(q_.minZ <= b[4] && q_.maxZ > b[5]);
    const bool empty = !(q_.minX < q_.maxX && q_.minY < q_.maxY && q_.minZ < q_.maxZ);
    const int last = std::min<int>(q_.lastLevel, int(dataset_->levels.size()) - 1);
    const size_t stride = info.recordLength;
    // Where cells keep their records in order of world X, the records of a row of cells that fall inside
    // the query's X range are one stretch, from the first match in the row's first cell to the last match
    // in its last cell (the cells between match whole): bisections replace the edge cells' tests.
    const bool byX = info.cellsOrderedByX && testX;
    const bool up = dataset_->scale[0] > 0;
    const int64_t keyLo = up ? rawLo_[0] : -rawHi_[0], keyHi = up ? rawHi_[0] : -rawLo_[0];
    struct Cut {
        uint64_t a, b; // the first record of [a, b) whose key is at least t
        int64_t t;
    };
    std::vector<Cut> cuts;
    for (int l = std::max(0, q_.firstLevel); !empty && l <= last; ++l) {
        const ServedLevel& lv = dataset_->levels[size_t(l)];
        const DatasetLevel& g = lv.grid;
        const uint32_t cx0 = cellCoord(q_.minX, g.originX, g.cell, g.gridX);
        const uint32_t cx1 = cellCoord(q_.maxX, g.originX, g.cell, g.gridX);
        const uint32_t cy0 = cellCoord(q_.minY, g.originY, g.cell, g.gridY);
        const uint32_t cy1 = cellCoord(q_.maxY, g.originY, g.cell, g.gridY);
        if (lv.advised) { // the rows' index entries, a row's width apart, read together
            Asks asks;
            for (uint64_t cy = cy0; cy <= cy1; ++cy)
                asks.add(lv.cellIndex, (cy * g.gridX + cx0) * kIndexEntryBytes,
                         (cy * g.gridX + cx1 + 2) * kIndexEntryBytes);
        }
        for (uint32_t cy = cy0; cy <= cy1; ++cy) {
            const uint64_t row = uint64_t(cy) * g.gridX;
            const bool edgeRow = testY && (cy == cy0 || cy == cy1);
            if (byX) {
                cuts.push_back({lv.cellStart(row + cx0), lv.cellStart(row + cx0 + 1), keyLo});
                cuts.push_back({lv.cellStart(row + cx1), lv.cellStart(row + cx1 + 1), keyHi + 1});
                continue;
            }
            if (edgeRow || testZ || !testX || cx1 - cx0 < 2) {
                addRun(lv, lv.cellStart(row + cx0), lv.cellStart(row + cx1 + 1), edgeRow || testZ || testX);
                continue;
            }
            addRun(lv, lv.cellStart(row + cx0), lv.cellStart(row + cx0 + 1), true);
            addRun(lv, lv.cellStart(row + cx0 + 1), lv.cellStart(row + cx1), false);
            addRun(lv, lv.cellStart(row + cx1), lv.cellStart(row + cx1 + 1), true);
        }
        if (!byX)
            continue;
        // Small edge cells are asked for whole, all rows' at once: cold, their bisections would otherwise
        // wait for one page after another.
        if (lv.advised) {
            Asks asks;
            for (const Cut& c : cuts)
                if ((c.b - c.a) * stride <= kEdgeCellAskBytes)
                    asks.add(lv.records, c.a * stride, c.b * stride);
        }
        // All rows' bisections advance in step: their probes are independent loads (mostly cache misses)
        // that the processor overlaps, where one bisection after another would wait for each in turn.
        for (bool more = !cuts.empty(); more;) {
            more = false;
            for (Cut& c : cuts) {
                if (c.a >= c.b)
                    continue;
                const uint64_t m = c.a + (c.b - c.a) / 2;
                const int64_t raw = rawCoord(lv.records.data() + m * stride, 0);
                if ((up ? raw : -raw) >= c.t)
                    c.b = m;
                else
                    c.a = m + 1;
                more |= c.a < c.b;
            }
        }
        for (uint32_t cy = cy0; cy <= cy1; ++cy) {
            const Cut* c = &cuts[2 * size_t(cy - cy0)];
            addRun(lv, c[0].a, c[1].a, testZ || (testY && (cy == cy0 || cy == cy1)));
        }
        cuts.clear();
    }
    uint64_t tested = 0;
    for (Run& r : runs_) {
        r.from = runBytes_;
        runBytes_ += (r.end - r.first) * stride;
        if (r.filter) {
            r.bit = tested;
            tested += r.end - r.first;
        }
    }
    if (!runs_.empty()) {
        at_ = runs_[0].first;
        ahead_ = {0, at_};
        advised_ = runs_[0].level->advised;
    }
    // The first window of the reply is on its way while the records to count are read.
    if (advised_)
        askAhead(ahead_, kAheadBytes, false);
    Cursor counting = ahead_;
    const uint64_t countStep = std::max<uint64_t>(1, kAheadBytes / 2 / stride);
    // The counting pass keeps its answers when they are few enough, so that producing the reply touches
    // only matching records; beyond that (a height-filtered whole data set) records are tested again.
    const uint64_t bitBytes = (tested + 63) / 64 * 8;
    if (tested <= kMaxMatchBits && matchBitsInUse.fetch_add(bitBytes) + bitBytes <= kMatchBitsBudgetBytes)
        matchBits_.assign((tested + 63) / 64, 0);
    else
        matchBitsInUse -= bitBytes;
    for (const Run& r : runs_) {
        if (!r.filter) {
            points_ += r.end - r.first;
            continue;
        }
        // Without branches: about half the records of an edge cell match, in no predictable pattern.
        for (uint64_t i = r.first; i < r.end;) {
            if (advised_)
                askAhead(counting, r.from + (i - r.first) * stride + kAheadBytes, true);
            const uint64_t stop = std::min(r.end, i + countStep);
            const unsigned char* p = r.level->records.data() + i * stride;
            if (matchBits_.empty()) {
                for (; i < stop; ++i, p += stride)
                    points_ += matches(p);
                continue;
            }
            for (uint64_t bit = r.bit + (i - r.first); i < stop; ++i, ++bit, p += stride) {
                const uint64_t m = matches(p);
                points_ += m;
                matchBits_[bit / 64] |= m << (bit % 64);
            }
        }
    }
}

uint64_t RangeReader::offset(const Cursor& c) const {
    return c.run < runs_.size()
               ? runs_[c.run].from + (c.at - runs_[c.run].first) * dataset_->info.recordLength
               : runBytes_;
}

void RangeReader::askAhead(Cursor& c, uint64_t until, bool filteredOnly) {
    const size_t stride = dataset_->info.recordLength;
    Asks asks;
    for (uint64_t from; c.run < runs_.size() && (from = offset(c)) < until;) {
        const Run& r = runs_[c.run];
        const uint64_t end = std::min(r.end, c.at + (until - from + stride - 1) / stride);
        if (r.filter || !filteredOnly)
            asks.add(r.level->records, c.at * stride, end * stride);
        c.at = end;
        if (c.at == r.end && ++c.run < runs_.size())
            c.at = runs_[c.run].first;
    }
}

RangeReader::~RangeReader() {
    matchBitsInUse -= matchBits_.size() * 8;
    if (scratch_)
        scratchPool().put(std::move(scratch_), ScratchPool::size(dataset_->info.recordLength));
}

void RangeReader::addRun(const ServedLevel& level, uint64_t first, uint64_t end, bool filter) {
    if (first >= end)
        return;
    if (!runs_.empty()) {
        Run& prev = runs_.back();
        if (prev.level == &level && prev.end == first && prev.filter == filter) {
            prev.end = end;
            return;
        }
    }
    runs_.push_back(Run{&level, first, end, filter, 0, 0});
}

bool RangeReader::matches(const unsigned char* record) const {
    bool inside = true;
    for (int a = 0; a < 3; ++a) {
        const int64_t raw = rawCoord(record, a);
        inside &= (raw >= rawLo_[a]) & (raw <= rawHi_[a]);
    }
    return inside;
}

bool RangeReader::take(const Run& r, uint64_t i) const {
    const uint64_t bit = r.bit + (i - r.first);
    return matchBits_.empty() ? matches(r.level->records.data() + i * dataset_->info.recordLength)
                              : ((matchBits_[bit / 64] >> (bit % 64)) & 1) != 0;
}

void RangeReader::skip(uint64_t bytes) {
    const size_t stride = dataset_->info.recordLength;
    uint64_t records = bytes / stride;
    drop_ = size_t(bytes % stride);
    while (records > 0 && run_ < runs_.size()) {
        const Run& r = runs_[run_];
        if (!r.filter) {
            const uint64_t n = std::min(records, r.end - at_);
            at_ += n;
            records -= n;
        } else {
            for (; at_ < r.end && records > 0; ++at_)
                records -= take(r, at_);
        }
        if (at_ == r.end && ++run_ < runs_.size())
            at_ = runs_[run_].first;
    }
}

std::span<const unsigned char> RangeReader::next() {
    std::span<const unsigned char> piece = produce();
    if (drop_ > 0) { // a piece starts on a record and holds at least one whole record
        piece = piece.subspan(std::min(drop_, piece.size()));
        drop_ = 0;
    }
    return piece;
}

// Small pieces are gathered into the scratch buffer so that a reply goes out in few large writes (each
// write is a packet with TCP_NODELAY); long runs of whole cells go out straight from the mapping.
std::span<const unsigned char> RangeReader::produce() {
    const size_t stride = dataset_->info.recordLength;
    const uint64_t directRecords = std::max<size_t>(1, kDirectBytes / stride);
    const size_t scratchSize = ScratchPool::size(stride);
    unsigned char* scratch = nullptr;
    size_t used = 0;
    if (advised_ && run_ < runs_.size()) {
        const Cursor here{run_, at_};
        const uint64_t at = offset(here);
        if (offset(ahead_) < at) // skipped past
            ahead_ = here;
        if (offset(ahead_) < at + kAheadBytes / 2)
            askAhead(ahead_, at + kAheadBytes, false);
    }
    while (run_ < runs_.size()) {
        const Run& r = runs_[run_];
        const unsigned char* base = r.level->records.data();
        if (!r.filter && r.end - at_ >= directRecords) {
            if (used > 0)
                break; // send what was gathered first
            const uint64_t count = std::min<uint64_t>(r.end - at_, std::max<size_t>(1, kPieceBytes / stride));
            std::span<const unsigned char> piece(base + at_ * stride, count * stride);
            at_ += count;
            if (at_ == r.end && ++run_ < runs_.size())
                at_ = runs_[run_].first;
            return piece;
        }
        if (!scratch_)
            scratch_ = scratchPool().get(scratchSize);
        scratch = scratch_.get();
        // Consecutive records that go out are copied together.
        while (at_ < r.end && used + stride <= scratchSize) {
            const uint64_t room = (scratchSize - used) / stride;
            uint64_t span = std::min(r.end - at_, room);
            if (r.filter) {
                while (at_ < r.end && !take(r, at_))
                    ++at_;
                span = 0;
                while (at_ + span < r.end && span < room && take(r, at_ + span))
                    ++span;
            }
            std::memcpy(scratch + used, base + at_ * stride, span * stride);
            used += span * stride;
            at_ += span;
        }
        if (at_ < r.end)
            break; // scratch full
        if (++run_ < runs_.size())
            at_ = runs_[run_].first;
    }
    return {scratch, used};
}
