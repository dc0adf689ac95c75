#pragma once
// Compatible-neighbour counts: for every point, how many of its nearest neighbours in a row (nearest
// first) share its surface, i.e. have a similar normal and lie near its tangent plane. Points with many
// such neighbours are the seeds of the surface growth.
#include "CThread.h"
#include "IndexPair.h"
#include "QueryHandler.h"
#include "SurfaceRules.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

// Counts points one after the other, starting each query with a few more neighbours than the previous
// point had compatible ones. The count itself does not depend on that guess, only the number of queries does,
// so points may be counted in any order and split among threads.
class CompatibilityWalk {
public:
    CompatibilityWalk(const QueryHandler& q, const CompatibilityRule& rule) : q_(q), rule_(rule) {}
    // The number of neighbours, nearest first, that are compatible with the point before the first that
    // is not; at most MAX_COMPATIBILITY_QUERY - 1, and 0 for a point without a normal.
    int32_t count(uint32_t index);

    double querySeconds = 0; // spent in QueryHandler::nearest
    uint64_t queries = 0;

private:
    const QueryHandler& q_;
    CompatibilityRule rule_;
    uint32_t k_ = 10;
    std::vector<const QueryPoint*> neighbours_;
};

struct CompatibilityOptions {
    // Both set: the sorted list is kept in the cache file compatibleNeighboursCachePath(directory, name,
    // ...) and taken from there while it matches the data and the thresholds.
    std::string cacheDirectory, datasetName;
    // 0 or 1: counted on the calling thread; more: on that many CompatibilityThreads.
    unsigned threads = 1;
    // Called on the calling thread now and then with (points counted, points); may throw to stop.
    std::function<void(uint64_t done, uint64_t total)> progress;
};

struct CompatibilityReport {
    bool fromCache = false;
    std::string cacheRejected; // why an existing cache file was not used
    double seconds = 0;        // wall time of the counting
    double busySeconds = 0;    // summed over the counting threads
    double querySeconds = 0;   // the part of busySeconds spent in neighbour queries
    uint64_t queries = 0;
};

// The (point, count) list of every point, sorted by count, largest first (stable). A cache file that is
// missing, truncated, corrupt or made from other data or thresholds is recomputed and rewritten; a cache
// that cannot be written is reported on the classification log and the list is returned all the same.
std::vector<IndexPair> getCompatibleNeighbours(const QueryHandler& q, double maxAngleDeg,
                                               double maxRelDistance,
                                               const CompatibilityOptions& options = {},
                                               CompatibilityReport* report = nullptr);

// The work shared by the CompatibilityThreads of one count: blocks of points in the handler's spatial
// order, handed out under compMutex.
struct CompatibilityJobs {
    CompatibilityJobs(const QueryHandler& q, const CompatibilityRule& rule, std::vector<int32_t>& counts)
        : q(q), rule(rule), counts(counts) {}
    const QueryHandler& q;
    const CompatibilityRule rule;
    std::vector<int32_t>& counts; // by point number; each entry written by one thread
    uint32_t blockSize = 2048;    // points per job

    CMutexClass compMutex;
    uint32_t nextRank = 0; // guarded by compMutex, as are the fields below
    bool cancelled = false;
    std::exception_ptr error;
    double busySeconds = 0, querySeconds = 0;
    uint64_t queries = 0;

    std::atomic<uint64_t> done{0};
};

class CompatibilityThread : public CThread {
public:
    explicit CompatibilityThread(CompatibilityJobs& jobs) : jobs_(jobs) {}
    ~CompatibilityThread() override {
        Stop();
        Join();
    }
    void Run() override;

private:
    CompatibilityJobs& jobs_;
};
