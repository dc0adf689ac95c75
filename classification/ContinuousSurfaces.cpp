#include "ContinuousSurfaces.h"

#include "ClassificationLog.h"
#include "SurfaceClassifier.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Waves below this size are expanded on the calling thread: handing them out would cost more than
// the few queries they need.
constexpr size_t kParallelWave = 64;
// Wave points per job at least, and jobs per thread at most.
constexpr size_t kMinJobPoints = 16;
constexpr size_t kJobsPerThread = 4;

// Runs the jobs of the current wave and waits for them; the workers sleep between waves.
class WavePool {
public:
    WavePool(SurfaceJobs& jobs, unsigned threads) : jobs_(jobs) {
        for (unsigned i = 0; i < threads; ++i) {
            threads_.push_back(std::make_unique<ContinuousSurfaceThread>(jobs));
            if (!threads_.back()->Start()) {
                shutDown();
                throw std::runtime_error("cannot start a continuous-surface thread");
            }
        }
        classificationLog("All threads started\n");
    }
    ~WavePool() { shutDown(); }
    WavePool(const WavePool&) = delete;
    WavePool& operator=(const WavePool&) = delete;

    void run(size_t numJobs) {
        jobs_.surfMutex.Lock();
        jobs_.numJobs = numJobs;
        jobs_.nextJob = 0;
        jobs_.jobsDone = 0;
        jobs_.surfMutex.Unlock();
        for (auto& t : threads_)
            t->wake();
        jobs_.finished.Wait();
        jobs_.finished.Reset();
        jobs_.surfMutex.Lock();
        std::exception_ptr error = jobs_.error;
        jobs_.surfMutex.Unlock();
        if (error)
            std::rethrow_exception(error);
    }

    void shutDown() {
        if (threads_.empty())
            return;
        classificationLog("Starting thread join\n");
        for (auto& t : threads_)
            t->quit();
        for (auto& t : threads_) {
            classificationLog("Joining thread\n");
            t->Join();
        }
        classificationLog("All threads ended\n");
        threads_.clear();
    }

private:
    SurfaceJobs& jobs_;
    std::vector<std::unique_ptr<ContinuousSurfaceThread>> threads_;
};

} // namespace

void SurfaceExpander::expand(size_t first, size_t last, std::vector<uint32_t>& out) {
    for (size_t w = first; w < last; ++w) {
        const uint32_t index = jobs_.wave[w];
        const int32_t c = jobs_.kNeighbours[index];
        if (c <= 0)
            continue;
        const auto t0 = Clock::now();
        jobs_.q.nearestSet(index, uint32_t(2 * c), neighbours_);
        querySeconds += since(t0);
        ++queries;
        const QueryPoint& p = *neighbours_[0];
        for (size_t j = 1; j < neighbours_.size(); ++j) {
            const QueryPoint& n = *neighbours_[j];
            if (jobs_.classes[n.index] == 0 && jobs_.rule(jobs_.seedNormal, p, n))
                out.push_back(n.index);
        }
    }
}

void ContinuousSurfaceThread::Run() {
    SurfaceExpander expander(jobs_);
    double busy = 0;
    while (PingThread(0)) {
        wake_.Wait();
        wake_.Reset();
        if (quit_.load())
            break;
        for (;;) {
            jobs_.surfMutex.Lock();
            if (jobs_.nextJob >= jobs_.numJobs) {
                jobs_.surfMutex.Unlock();
                break;
            }
            const size_t j = jobs_.nextJob++;
            const bool failed = bool(jobs_.error);
            jobs_.surfMutex.Unlock();
            const auto t0 = Clock::now();
            std::exception_ptr error;
            if (!failed) {
                try {
                    jobs_.outputs[j].clear();
                    expander.expand(jobs_.jobStart[j], jobs_.jobStart[j + 1], jobs_.outputs[j]);
                } catch (...) {
                    error = std::current_exception();
                }
            }
            busy += since(t0);
            jobs_.surfMutex.Lock();
            if (error && !jobs_.error)
                jobs_.error = error;
            const bool last = ++jobs_.jobsDone == jobs_.numJobs;
            jobs_.surfMutex.Unlock();
            if (last)
                jobs_.finished.Set();
        }
    }
    jobs_.surfMutex.Lock();
    jobs_.busySeconds += busy;
    jobs_.querySeconds += expander.querySeconds;
    jobs_.queries += expander.queries;
    jobs_.surfMutex.Unlock();
    classificationLog("Thread ended\n");
}

SurfaceClassification findContinuousSurfaces(const QueryHandler& q, const ClassificationThresholds& t,
                                             const ContinuousSurfaceOptions& o) {
    SurfaceClassification result;
    const unsigned threads = std::max(1u, o.threads);
    const uint32_t n = q.size();

    CompatibilityOptions co;
    co.cacheDirectory = o.cacheDirectory;
    co.datasetName = o.datasetName;
    co.threads = threads;
    if (o.progress)
        co.progress = [&](uint64_t done, uint64_t total) { o.progress("compatibility", done, total); };
    const std::vector<IndexPair> seeds =
        getCompatibleNeighbours(q, t.maxAngleDeg, t.maxRelDistance, co, &result.compatibility);

    const auto t0 = Clock::now();
    std::vector<int32_t> kNeighbours(n, 0);
    for (const IndexPair& p : seeds)
        kNeighbours[size_t(p.index)] = p.count;
    std::vector<int32_t>& classes = result.classes;
    classes.assign(n, 0);
    SurfaceJobs jobs(q, GrowthRule(t.secondaryAngleDeg, t.globalAngleDeg), classes, kNeighbours);
    SurfaceExpander expander(jobs);
    GrowthReport& r = result.growth;
    double waiting = 0; // the calling thread idles while the workers expand a wave
    {
        WavePool pool(jobs, threads);
        std::vector<uint32_t> next;
        auto lastReport = Clock::now();
        for (const IndexPair& seed : seeds) {
            if (seed.count < MIN_SEED_NEIGHBOURS)
                break;
            if (classes[size_t(seed.index)] != 0)
                continue;
            const int32_t cls = result.numClasses = nextClassNumber(result.numClasses);
            result.seeds.push_back(uint32_t(seed.index));
            classes[size_t(seed.index)] = cls;
            uint32_t size = 1;
            jobs.seedNormal = q.point(uint32_t(seed.index)).normal;
            jobs.wave.assign(1, uint32_t(seed.index));
            while (!jobs.wave.empty()) {
                ++r.waves;
                size_t numJobs = 1;
                if (jobs.wave.size() < kParallelWave) {
                    jobs.jobStart = {0, jobs.wave.size()};
                    jobs.outputs.resize(std::max<size_t>(jobs.outputs.size(), 1));
                    jobs.outputs[0].clear();
                    expander.expand(0, jobs.wave.size(), jobs.outputs[0]);
                } else {
                    ++r.parallelWaves;
                    numJobs = std::min(jobs.wave.size() / kMinJobPoints, size_t(threads) * kJobsPerThread);
                    jobs.jobStart.resize(numJobs + 1);
                    for (size_t j = 0; j <= numJobs; ++j)
                        jobs.jobStart[j] = jobs.wave.size() * j / numJobs;
                    if (jobs.outputs.size() < numJobs)
                        jobs.outputs.resize(numJobs);
                    const auto w0 = Clock::now();
                    pool.run(numJobs);
                    waiting += since(w0);
                }
                // What the wave reached joins in job order, each point once.
                next.clear();
                for (size_t j = 0; j < numJobs; ++j)
                    for (uint32_t reached : jobs.outputs[j])
                        if (classes[reached] == 0) {
                            classes[reached] = cls;
                            next.push_back(reached);
                        }
                size += uint32_t(next.size());
                jobs.wave.swap(next);
            }
            result.classifiedPoints += size;
            if (since(lastReport) > 0.25 || size > 100000) {
                lastReport = Clock::now();
                LogLine() << "Number of classified points: " << result.classifiedPoints
                          << ", number of classes: " << result.numClasses << ", current size of group "
                          << size << "\n";
                if (o.progress)
                    o.progress("surfaces", result.classifiedPoints, n);
            }
        }
    }
    LogLine() << "Number of classified points: " << result.classifiedPoints
              << ", number of classes: " << result.numClasses << "\n";
    if (o.progress)
        o.progress("surfaces", result.classifiedPoints, n);
    r.seconds = since(t0);
    r.busySeconds = r.seconds - waiting + jobs.busySeconds;
    r.querySeconds = expander.querySeconds + jobs.querySeconds;
    r.queries = expander.queries + jobs.queries;
    return result;
}
