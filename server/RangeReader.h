#pragma once
// The records of a range query, produced piece by piece: nothing is built whole in memory, and pieces of
// cells that lie wholly inside the query are views straight into the mapped level files. What a reader
// holds beyond its plan is bounded: one gather buffer while it produces, and match bits only while the
// readers of the whole process keep within a budget. On advised levels (LevelReads) it asks the kernel
// for the index entries and records it will read, a window ahead of use, so that a cold reply reads from
// disk little more than it sends.
#include "DatasetStore.h"

#include <limits>
#include <memory>
#include <span>
#include <vector>

struct RangeQuery {
    // World coordinates; every range is half-open [min, max).
    double minX = -std::numeric_limits<double>::infinity(), maxX = std::numeric_limits<double>::infinity();
    double minY = -std::numeric_limits<double>::infinity(), maxY = std::numeric_limits<double>::infinity();
    double minZ = -std::numeric_limits<double>::infinity(), maxZ = std::numeric_limits<double>::infinity();
    int firstLevel = 0, lastLevel = 0; // inclusive; the caller checks them against the data set
};

class RangeReader {
public:
    // Plans the query and counts its records (scanning only the cells on the query's edges).
    RangeReader(std::shared_ptr<const Dataset> dataset, const RangeQuery& query);
    ~RangeReader();
    RangeReader(const RangeReader&) = delete;
    RangeReader& operator=(const RangeReader&) = delete;

    uint64_t points() const { return points_; }
    uint64_t bytes() const { return points_ * dataset_->info.recordLength; }

    // Leaves out the first `bytes` bytes of what is still to come (a record may be cut); before next().
    void skip(uint64_t bytes);
    // The next piece of the reply, valid until the next call of next() or the reader's end; empty once
    // everything has been produced.
    std::span<const unsigned char> next();

private:
    struct Run {
        const ServedLevel* level;
        uint64_t first, end; // record range
        bool filter;         // whether each record must be tested against the query
        uint64_t bit;        // where a filtered run's records start in matchBits_
        uint64_t from;       // the bytes of all runs before it
    };
    struct Cursor {
        size_t run = 0;
        uint64_t at = 0; // a record of runs_[run]
    };
    uint64_t offset(const Cursor& c) const;
    // Asks the kernel for the records from `c` up to `until` (an offset over all runs) and moves `c` there.
    void askAhead(Cursor& c, uint64_t until, bool filteredOnly);
    bool matches(const unsigned char* record) const;
    bool take(const Run& r, uint64_t i) const;
    void addRun(const ServedLevel& level, uint64_t first, uint64_t end, bool filter);
    std::span<const unsigned char> produce();

    std::shared_ptr<const Dataset> dataset_;
    RangeQuery q_;
    int64_t rawLo_[3] = {}, rawHi_[3] = {}; // the query as inclusive ranges of raw X, Y, Z
    std::vector<Run> runs_;
    std::vector<uint64_t> matchBits_; // one bit per record of the filtered runs, when they are not too many
    uint64_t points_ = 0;
    size_t run_ = 0;
    uint64_t at_ = 0;                          // next record of runs_[run_]
    size_t drop_ = 0;                          // bytes of the next record left out by skip()
    std::unique_ptr<unsigned char[]> scratch_; // from a pool shared by all readers, once needed
    bool advised_ = false;                     // whether reads are asked for ahead (LevelReads)
    Cursor ahead_;                             // the first record of the reply not yet asked for
    uint64_t runBytes_ = 0;                    // of all runs
};
