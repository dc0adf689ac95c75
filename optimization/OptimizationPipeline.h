#pragma once
// The four-stage pipeline that turns nodes of the local tree into textured meshes: setup on a worker,
// render-to-texture on the GL thread (processMidstage), triangulation on a second worker, buffer upload on
// the GL thread (finishProcessing). It measures the time per splat and refuses nodes that would leave the
// screen before their optimisation could finish.
//
// Each worker has an input and an output slot behind a lock. A request stays in the input slot while the
// worker works on it (so a busy worker refuses the next), then waits, blocking and woken by the puller, for
// the output slot to be free. Idle workers sleep on a condition variable.
//
// Ownership: a request belongs to exactly one place at a time (the caller until submit, a slot, or a stage
// field of the pipeline) and is deleted once, through retire(), which also clears its node's pending mark.
// Everything that touches GL (stages 2 and 4, cancel, the meshes, the destructor) runs on the GL thread.
#include "CThread.h"
#include "TriangulationOptimizationRequest.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class OptimizationPipeline;

// Milliseconds of a steady clock.
uint64_t pipelineNowMs();

class OptimizationWorker : public CThread {
public:
    explicit OptimizationWorker(OptimizationPipeline& pipeline) : pipeline_(pipeline) {}
    // False when the input slot is occupied or `request` is the one waiting in the output slot.
    bool pushRequest(TriangulationOptimizationRequest* request);
    // The finished request, or null.
    TriangulationOptimizationRequest* pullRequest();
    // After Stop and Join: whatever the slots still hold.
    std::vector<TriangulationOptimizationRequest*> takeAll();
    // Wakes the worker so that it sees a stop at once.
    void wake();
    void Run() override;

protected:
    virtual void process(TriangulationOptimizationRequest* request) = 0;
    // True when the request is finished with (retired off the GL thread) instead of moving to the output
    // slot: only before it owns GL objects.
    virtual bool drop(TriangulationOptimizationRequest*) { return false; }
    OptimizationPipeline& pipeline_;

private:
    std::mutex slots_;
    std::condition_variable changed_;
    TriangulationOptimizationRequest* input_ = nullptr;
    TriangulationOptimizationRequest* output_ = nullptr;
};

class OptimizationSetupThread : public OptimizationWorker {
public:
    using OptimizationWorker::OptimizationWorker;
    ~OptimizationSetupThread() override {
        wake();
        Stop();
        Join();
    }

protected:
    void process(TriangulationOptimizationRequest* request) override { request->setup(); }
    bool drop(TriangulationOptimizationRequest* request) override {
        return request->cancelled.load() || request->state.load() == TriangulationOptimizationRequest::ABANDONED;
    }
};

class OptimizationTriangulationThread : public OptimizationWorker {
public:
    using OptimizationWorker::OptimizationWorker;
    ~OptimizationTriangulationThread() override {
        wake();
        Stop();
        Join();
    }

protected:
    void process(TriangulationOptimizationRequest* request) override {
        request->triangulateSurfaces();
        request->prepareVBOs();
    }
};

class OptimizationPipeline {
public:
    OptimizationPipeline();
    // Stops and joins both workers, then finishes off every request still held. GL thread.
    ~OptimizationPipeline();
    OptimizationPipeline(const OptimizationPipeline&) = delete;
    OptimizationPipeline& operator=(const OptimizationPipeline&) = delete;

    // Starts the workers (idempotent).
    void start();
    // Takes ownership: hands the request to the setup worker, or retires it (false) when that is busy.
    bool submit(TriangulationOptimizationRequest* request);

    // Stage 2: 0 when a parked request went to the triangulation worker, else 1.
    int processMidstage(float budgetMs);
    // Stage 4: 0 when nothing was finishing or available, else 1.
    int finishProcessing();
    // Both stages of one frame: done[0] gets stage 2's result, done[1] stage 4's. Every 200 frames prints
    // the time the two stages took.
    void frame(float budgetMs, bool done[2]);

    // The node is going (evicted, tree closed): its requests, wherever they are, end without meshes and
    // never touch it again; its meshes are released. GL thread.
    void cancel(LODTreeNode* node);

    // The meshes of a node, in surface order; null when it has none.
    const std::vector<SurfaceMesh>* meshesOf(const LODTreeNode* node) const;
    void releaseMeshes(const LODTreeNode* node); // GL thread
    void releaseAllMeshes();                      // GL thread
    size_t optimizedNodes() const { return meshes_.size(); }

    // Deletes the request (releasing its GL objects when `glThread`) and clears its node's pending mark.
    void retire(TriangulationOptimizationRequest* request, bool glThread);

    // Statistics (GL thread).
    double averageTimePerSplat() const { return average_; }
    uint32_t shortestTime() const { return shortest_; }
    uint32_t optimizationCount() const { return count_; }
    const std::vector<double>& times() const { return times_; }
    const std::vector<uint32_t>& sizes() const { return sizes_; }
    // Requests alive anywhere in the pipeline.
    size_t liveRequests() const;
    bool hasParkedRequest() const { return parked_ != nullptr; }
    bool hasTextureRequest() const { return texture_ != nullptr; }

    // A stand-in for the clock, for tests of the timing rules.
    uint64_t (*clock)() = &pipelineNowMs;

    OptimizationSetupThread setupThread;
    OptimizationTriangulationThread triangulationThread;

private:
    friend class OptimizationWorker;
    TriangulationOptimizationRequest* texture_ = nullptr;
    TriangulationOptimizationRequest* finishing_ = nullptr;
    TriangulationOptimizationRequest* parked_ = nullptr;
    double average_ = 0;
    uint32_t shortest_ = 0;
    uint32_t count_ = 0;
    std::vector<double> times_;
    std::vector<uint32_t> sizes_;

    mutable std::mutex live_; // guards requests_ and every request's node pointer
    std::set<TriangulationOptimizationRequest*> requests_;
    std::map<const LODTreeNode*, std::vector<SurfaceMesh>> meshes_;

    int frames_ = 0;
    double rttMs_ = 0, vboMs_ = 0;
    bool started_ = false;

    void accept(TriangulationOptimizationRequest* request);
    int textureStage(float budgetMs);
};
