#include "CompatibleNeighbours.h"

#include "ClassificationLog.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

constexpr uint64_t kMessageEvery = 20000;

void countOnThisThread(const QueryHandler& q, const CompatibilityRule& rule, std::vector<int32_t>& counts,
                       const CompatibilityOptions& o, CompatibilityReport& r) {
    CompatibilityWalk walk(q, rule);
    const uint32_t n = q.size();
    const auto t0 = Clock::now();
    for (uint32_t i = 0; i < n; ++i) {
        if (i % kMessageEvery == 0) {
            LogLine() << "Checked compatibility of neighbours for " << i << " points.\n";
            if (o.progress)
                o.progress(i, n);
        }
        counts[i] = walk.count(i);
    }
    r.busySeconds = since(t0);
    r.querySeconds = walk.querySeconds;
    r.queries = walk.queries;
}

void countOnWorkers(const QueryHandler& q, const CompatibilityRule& rule, std::vector<int32_t>& counts,
                    const CompatibilityOptions& o, CompatibilityReport& r) {
    CompatibilityJobs jobs(q, rule, counts);
    // Several jobs per thread even for small sets, so that an uneven share evens out.
    jobs.blockSize = std::clamp<uint32_t>(q.size() / (8 * o.threads), 64, 2048);
    std::vector<std::unique_ptr<CompatibilityThread>> threads;
    auto stopAll = [&] {
        jobs.compMutex.Lock();
        jobs.cancelled = true;
        jobs.compMutex.Unlock();
        classificationLog("Starting thread join\n");
        for (auto& t : threads) {
            classificationLog("Joining thread\n");
            t->Join();
        }
        classificationLog("All threads ended\n");
    };
    for (unsigned i = 0; i < o.threads; ++i) {
        threads.push_back(std::make_unique<CompatibilityThread>(jobs));
        if (!threads.back()->Start()) {
            stopAll();
            throw std::runtime_error("cannot start a compatibility thread");
        }
    }
    classificationLog("All threads started\n");
    const uint64_t n = q.size();
    uint64_t reported = 0;
    try {
        for (;;) {
            const uint64_t done = jobs.done.load();
            for (; reported + kMessageEvery <= done; reported += kMessageEvery)
                LogLine() << "Checked compatibility of neighbours for " << reported + kMessageEvery
                          << " points.\n";
            if (o.progress)
                o.progress(done, n);
            jobs.compMutex.Lock();
            const bool over = jobs.cancelled || done == n;
            jobs.compMutex.Unlock();
            if (over)
                break;
            Sleep(10);
        }
    } catch (...) {
        stopAll();
        throw;
    }
    stopAll();
    if (jobs.error)
        std::rethrow_exception(jobs.error);
    r.busySeconds = jobs.busySeconds;
    r.querySeconds = jobs.querySeconds;
    r.queries = jobs.queries;
}

} // namespace

int32_t CompatibilityWalk::count(uint32_t index) {
    const QueryPoint& p = q_.point(index);
    int32_t c = 0;
    if (p.hasNormal()) {
        size_t checked = 1; // neighbour 0 is the point itself
        for (;;) {
            const auto t0 = Clock::now();
            q_.nearest(index, k_, neighbours_);
            querySeconds += since(t0);
            ++queries;
            while (checked < neighbours_.size() && rule_(p, *neighbours_[checked]))
                ++checked;
            // Stop at the first incompatible neighbour, when the data set has no more points, or at the
            // largest query.
            if (checked < neighbours_.size() || neighbours_.size() < k_ ||
                k_ >= uint32_t(MAX_COMPATIBILITY_QUERY)) {
                c = int32_t(checked - 1);
                break;
            }
            // Counts change abruptly (at the edge of a roof, say): going to the largest query at once costs
            // less than stepping there.
            k_ = MAX_COMPATIBILITY_QUERY;
        }
    }
    // Neighbouring points have similar counts; the query must reach one past the count to find its end.
    k_ = std::clamp<uint32_t>(uint32_t(c) + 10, 10, MAX_COMPATIBILITY_QUERY);
    return c;
}

void CompatibilityThread::Run() {
    const auto t0 = Clock::now();
    CompatibilityWalk walk(jobs_.q, jobs_.rule);
    const uint32_t n = jobs_.q.size();
    try {
        while (PingThread(0)) {
            jobs_.compMutex.Lock();
            const uint32_t first = jobs_.cancelled ? n : jobs_.nextRank;
            const uint32_t last =
                std::min<uint32_t>(n, first + std::min<uint32_t>(jobs_.blockSize, n - first));
            jobs_.nextRank = last;
            jobs_.compMutex.Unlock();
            if (first >= n)
                break;
            for (uint32_t rank = first; rank < last; ++rank) {
                const uint32_t i = jobs_.q.pointAtRank(rank);
                jobs_.counts[i] = walk.count(i);
            }
            jobs_.done.fetch_add(last - first);
        }
    } catch (...) {
        jobs_.compMutex.Lock();
        if (!jobs_.error)
            jobs_.error = std::current_exception();
        jobs_.cancelled = true;
        jobs_.compMutex.Unlock();
    }
    jobs_.compMutex.Lock();
    jobs_.busySeconds += since(t0);
    jobs_.querySeconds += walk.querySeconds;
    jobs_.queries += walk.queries;
    jobs_.compMutex.Unlock();
    classificationLog("Thread ended\n");
}

std::vector<IndexPair> getCompatibleNeighbours(const QueryHandler& q, double maxAngleDeg,
                                               double maxRelDistance, const CompatibilityOptions& o,
                                               CompatibilityReport* report) {
    if (!std::isfinite(maxAngleDeg) || !std::isfinite(maxRelDistance))
        throw std::invalid_argument("compatibility thresholds must be finite numbers");
    CompatibilityReport local;
    CompatibilityReport& r = report ? *report : local;
    r = CompatibilityReport{};
    const auto t0 = Clock::now();
    const CompatibilityCacheKey key{q.identity(), maxAngleDeg, maxRelDistance};
    std::string cachePath;
    std::vector<IndexPair> pairs;
    if (!o.cacheDirectory.empty() && !o.datasetName.empty()) {
        cachePath =
            compatibleNeighboursCachePath(o.cacheDirectory, o.datasetName, maxAngleDeg, maxRelDistance);
        std::string why;
        if (loadIndexPairVector(cachePath, pairs, key, &why)) {
            LogLine() << "Loaded compatible neighbours of " << pairs.size() << " points from " << cachePath
                      << "\n";
            r.fromCache = true;
            r.seconds = since(t0);
            return pairs;
        }
        if (why != "no cache file") {
            r.cacheRejected = why;
            LogLine() << "Not using " << cachePath << ": " << why << "; computing again\n";
        }
    }

    const uint32_t n = q.size();
    std::vector<int32_t> counts(n, 0);
    const CompatibilityRule rule(maxAngleDeg, maxRelDistance);
    if (o.threads <= 1)
        countOnThisThread(q, rule, counts, o, r);
    else
        countOnWorkers(q, rule, counts, o, r);
    if (o.progress)
        o.progress(n, n);
    pairs.resize(n);
    for (uint32_t i = 0; i < n; ++i)
        pairs[i] = IndexPair{int32_t(i), counts[i]};
    sortIndexPairs(pairs);
    r.seconds = since(t0);
    if (!cachePath.empty()) {
        try {
            saveIndexPairVector(cachePath, pairs, key);
        } catch (const std::exception& e) {
            LogLine() << "\nCannot keep the compatible neighbours: " << e.what() << "\n";
        }
    }
    return pairs;
}
