#pragma once
// Batch surface classification: every point gets the class that the interactive classifier, stepped to
// its end, would give it, for any number of threads.
//
// A surface is everything its seed reaches through growth steps among the points that earlier surfaces
// left free, whatever the order of the steps. So each surface grows in waves: the points that joined in
// one wave are expanded together (on the ContinuousSurfaceThreads when the wave is large), and what they
// reach is merged in a fixed order before the next wave. Seeds are taken in the interactive order, so
// even the class numbers agree.
#include "CEventClass.h"
#include "CThread.h"
#include "CompatibleNeighbours.h"
#include "QueryHandler.h"
#include "SurfaceRules.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

struct ContinuousSurfaceOptions {
    // CompatibilityThreads for the counts and ContinuousSurfaceThreads for the growth; 0 counts as 1.
    unsigned threads = 1;
    // Both set: the compatible-neighbour list is cached there (see getCompatibleNeighbours).
    std::string cacheDirectory, datasetName;
    // Called on the calling thread now and then with the stage ("compatibility": points counted of all;
    // "surfaces": points classified of all); may throw to stop the work.
    std::function<void(const char* stage, uint64_t done, uint64_t total)> progress;
};

struct GrowthReport {
    double seconds = 0;      // wall time of the growth
    double busySeconds = 0;  // summed over the calling thread and the workers
    double querySeconds = 0; // the part of busySeconds spent in neighbour queries
    uint64_t queries = 0;
    uint64_t parallelWaves = 0, waves = 0;
};

struct SurfaceClassification {
    std::vector<int32_t> classes; // by point: 0 unclassified, else 1 to numClasses
    int32_t numClasses = 0;
    uint32_t classifiedPoints = 0;
    std::vector<uint32_t> seeds; // the seed point of class c at seeds[c - 1]
    CompatibilityReport compatibility;
    GrowthReport growth;
};

// Prints "Number of classified points: ..., number of classes: ..., current size of group ..." now and
// then, and the thread messages, on the classification log.
SurfaceClassification findContinuousSurfaces(const QueryHandler& q,
                                             const ClassificationThresholds& thresholds,
                                             const ContinuousSurfaceOptions& options = {});

// The growth work of one wave, shared by the driver and its ContinuousSurfaceThreads: job j expands
// wave points [jobStart[j], jobStart[j + 1]) into outputs[j]. Job hand-out and completion go under
// surfMutex; the driver changes the wave only while no job of it is outstanding.
struct SurfaceJobs {
    SurfaceJobs(const QueryHandler& q, const GrowthRule& rule, const std::vector<int32_t>& classes,
                const std::vector<int32_t>& kNeighbours)
        : q(q), rule(rule), classes(classes), kNeighbours(kNeighbours) {}
    const QueryHandler& q;
    const GrowthRule rule;
    const std::vector<int32_t>& classes;
    const std::vector<int32_t>& kNeighbours;

    GLVector3f seedNormal{0, 0, 0};
    std::vector<uint32_t> wave;
    std::vector<size_t> jobStart;
    std::vector<std::vector<uint32_t>> outputs;

    CMutexClass surfMutex;
    size_t numJobs = 0, nextJob = 0, jobsDone = 0; // guarded by surfMutex, as are the fields below
    std::exception_ptr error;
    double busySeconds = 0, querySeconds = 0;
    uint64_t queries = 0;
    CEventClass finished; // set by whoever completes the wave's last job
};

// Expands wave points: the neighbours each point's surface grows to, in wave order.
class SurfaceExpander {
public:
    explicit SurfaceExpander(const SurfaceJobs& jobs) : jobs_(jobs) {}
    void expand(size_t first, size_t last, std::vector<uint32_t>& out);
    double querySeconds = 0;
    uint64_t queries = 0;

private:
    const SurfaceJobs& jobs_;
    std::vector<const QueryPoint*> neighbours_;
};

class ContinuousSurfaceThread : public CThread {
public:
    explicit ContinuousSurfaceThread(SurfaceJobs& jobs) : jobs_(jobs) {}
    ~ContinuousSurfaceThread() override {
        quit();
        Stop();
        Join();
    }
    void Run() override;
    void wake() { wake_.Set(); }
    // Ends Run at its next wake-up; wakes it.
    void quit() {
        quit_.store(true);
        wake_.Set();
    }

private:
    SurfaceJobs& jobs_;
    CEventClass wake_;
    std::atomic<bool> quit_{false};
};
