#include "OptimizationPipeline.h"

#include "LODTree.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <utility>

uint64_t pipelineNowMs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {
// Idle workers look at their stop flag this often; pushes and pulls wake them sooner.
constexpr auto IDLE_WAIT = std::chrono::milliseconds(200);
} // namespace

// ---- workers

bool OptimizationWorker::pushRequest(TriangulationOptimizationRequest* request) {
    {
        std::lock_guard lock(slots_);
        if (input_ != nullptr || request == output_)
            return false;
        input_ = request;
    }
    changed_.notify_all();
    return true;
}

TriangulationOptimizationRequest* OptimizationWorker::pullRequest() {
    TriangulationOptimizationRequest* r;
    {
        std::lock_guard lock(slots_);
        r = output_;
        output_ = nullptr;
    }
    if (r != nullptr)
        changed_.notify_all(); // a worker may wait for the output slot
    return r;
}

std::vector<TriangulationOptimizationRequest*> OptimizationWorker::takeAll() {
    std::lock_guard lock(slots_);
    std::vector<TriangulationOptimizationRequest*> held;
    for (TriangulationOptimizationRequest** slot : {&input_, &output_})
        if (*slot != nullptr)
            held.push_back(std::exchange(*slot, nullptr));
    return held;
}

void OptimizationWorker::wake() {
    { std::lock_guard lock(slots_); } // a waiter between its check and its wait still gets the signal
    changed_.notify_all();
}

void OptimizationWorker::Run() {
    PingThread(1000);
    while (PingThread(1)) {
        TriangulationOptimizationRequest* request;
        {
            std::unique_lock lock(slots_);
            changed_.wait_for(lock, IDLE_WAIT, [&] { return input_ != nullptr || StopRequested(); });
            request = input_;
        }
        if (request == nullptr)
            continue;
        // The request stays in the input slot while it is worked on: the GL thread cannot reach it there.
        process(request);
        if (drop(request)) {
            {
                std::lock_guard lock(slots_);
                input_ = nullptr;
            }
            pipeline_.retire(request, false);
            continue;
        }
        std::unique_lock lock(slots_);
        while (output_ != nullptr && !StopRequested())
            changed_.wait_for(lock, IDLE_WAIT);
        if (output_ != nullptr)
            break; // stopping: the request stays in the input slot for the pipeline to finish off
        output_ = request;
        input_ = nullptr;
    }
}

// ---- pipeline

OptimizationPipeline::OptimizationPipeline() : setupThread(*this), triangulationThread(*this) {}

OptimizationPipeline::~OptimizationPipeline() {
    for (OptimizationWorker* w : {static_cast<OptimizationWorker*>(&setupThread),
                                  static_cast<OptimizationWorker*>(&triangulationThread)}) {
        w->wake();
        w->Stop();
        w->Join();
    }
    std::vector<TriangulationOptimizationRequest*> held = setupThread.takeAll();
    for (TriangulationOptimizationRequest* r : triangulationThread.takeAll())
        held.push_back(r);
    for (TriangulationOptimizationRequest** slot : {&texture_, &finishing_, &parked_})
        if (*slot != nullptr)
            held.push_back(std::exchange(*slot, nullptr));
    for (TriangulationOptimizationRequest* r : held)
        retire(r, true);
    releaseAllMeshes();
}

void OptimizationPipeline::start() {
    if (started_)
        return;
    started_ = true;
    setupThread.Start();
    triangulationThread.Start();
}

bool OptimizationPipeline::submit(TriangulationOptimizationRequest* request) {
    {
        std::lock_guard lock(live_);
        requests_.insert(request);
    }
    if (setupThread.pushRequest(request))
        return true;
    retire(request, true);
    return false;
}

void OptimizationPipeline::retire(TriangulationOptimizationRequest* request, bool glThread) {
    {
        std::lock_guard lock(live_);
        requests_.erase(request);
        if (request->node != nullptr)
            request->node->optimizationPending.store(false);
        request->node = nullptr;
    }
    if (glThread)
        request->releaseGL();
    delete request;
}

size_t OptimizationPipeline::liveRequests() const {
    std::lock_guard lock(live_);
    return requests_.size();
}

void OptimizationPipeline::cancel(LODTreeNode* node) {
    {
        std::lock_guard lock(live_);
        for (TriangulationOptimizationRequest* r : requests_)
            if (r->node == node) {
                r->cancelled.store(true);
                r->node = nullptr;
            }
        node->optimizationPending.store(false);
    }
    // What the GL thread holds itself can go at once.
    for (TriangulationOptimizationRequest** slot : {&texture_, &finishing_, &parked_})
        if (*slot != nullptr && (*slot)->cancelled.load())
            retire(std::exchange(*slot, nullptr), true);
    releaseMeshes(node);
}

int OptimizationPipeline::textureStage(float budgetMs) {
    if (texture_->cancelled.load()) {
        retire(std::exchange(texture_, nullptr), true);
        return 1;
    }
    if (!texture_->generateTextures(budgetMs))
        return 1;
    if (!triangulationThread.pushRequest(texture_))
        parked_ = texture_;
    texture_ = nullptr;
    return 1;
}

int OptimizationPipeline::processMidstage(float budgetMs) {
    if (parked_ != nullptr) {
        if (parked_->cancelled.load()) {
            retire(std::exchange(parked_, nullptr), true);
            return 1;
        }
        if (triangulationThread.pushRequest(parked_)) {
            parked_ = nullptr;
            return 0;
        }
        // Still busy: nothing else this frame, or a second request would be parked over this one.
        return 1;
    }
    if (texture_ != nullptr)
        return textureStage(budgetMs);
    while (TriangulationOptimizationRequest* r = setupThread.pullRequest()) {
        if (r->cancelled.load()) {
            retire(r, true);
            continue;
        }
        const uint64_t now = clock();
        const double elapsed = double(now - r->creationTime);
        double predicted = 0;
        {
            std::lock_guard lock(live_);
            predicted = r->node != nullptr ? r->node->predictedTimeInView.load() : 0.0;
        }
        std::cout << "Time for setup of " << r->nodeName << ": " << elapsed << std::endl;
        const double n = r->numSplats;
        const double remaining = average_ * n - elapsed;
        if (remaining * 1.5 <= predicted) {
            texture_ = r;
            return textureStage(budgetMs);
        }
        std::cout << "Rejected node " << r->nodeName << " " << average_ << " " << n << " " << elapsed << " "
                  << predicted << " " << remaining << std::endl;
        retire(r, true);
        Sleep(1);
    }
    return 1;
}

int OptimizationPipeline::finishProcessing() {
    if (finishing_ == nullptr) {
        finishing_ = triangulationThread.pullRequest();
        if (finishing_ == nullptr)
            return 0;
    }
    if (finishing_->cancelled.load()) {
        retire(std::exchange(finishing_, nullptr), true);
        return 1;
    }
    if (!finishing_->generateVBOs())
        return 1;
    TriangulationOptimizationRequest* r = std::exchange(finishing_, nullptr);
    std::cout << "Finished processing of " << r->nodeName << std::endl;
    if (r->numSplats > 1000) {
        const uint64_t time = clock() - r->creationTime;
        const double t = double(time) / r->numSplats;
        times_.push_back(t);
        sizes_.push_back(r->numSplats);
        ++count_;
        if (average_ == 0) {
            average_ = t;
            shortest_ = uint32_t(time);
        } else {
            const double delta = (t - average_) / count_;
            std::cout << "Old average optimization time: " << average_ << ", new time: " << t
                      << ", total average: " << average_ + delta << " for " << count_ << " optimizations."
                      << std::endl;
            std::cout << "opt time: " << time << std::endl;
            average_ += delta;
            shortest_ = std::min(shortest_, uint32_t(time));
        }
    }
    {
        std::lock_guard lock(live_);
        if (r->node != nullptr) {
            std::vector<SurfaceMesh>& slot = meshes_[r->node];
            releaseSurfaceMeshes(slot); // a node optimised again replaces its meshes
            slot = std::move(r->meshes);
        }
        r->meshes.clear();
    }
    retire(r, true);
    return 1;
}

void OptimizationPipeline::frame(float budgetMs, bool done[2]) {
    const uint64_t t0 = pipelineNowMs();
    done[0] = processMidstage(budgetMs) != 0;
    const uint64_t t1 = pipelineNowMs();
    done[1] = finishProcessing() != 0;
    rttMs_ += double(t1 - t0);
    vboMs_ += double(pipelineNowMs() - t1);
    if (++frames_ >= 200) {
        std::cout << "Optimization time for rtt: " << rttMs_ << ", for vbo: " << vboMs_ << " in 200 frames."
                  << std::endl;
        frames_ = 0;
        rttMs_ = vboMs_ = 0;
    }
}

const std::vector<SurfaceMesh>* OptimizationPipeline::meshesOf(const LODTreeNode* node) const {
    const auto it = meshes_.find(node);
    return it == meshes_.end() ? nullptr : &it->second;
}

void OptimizationPipeline::releaseMeshes(const LODTreeNode* node) {
    const auto it = meshes_.find(node);
    if (it == meshes_.end())
        return;
    releaseSurfaceMeshes(it->second);
    meshes_.erase(it);
}

void OptimizationPipeline::releaseAllMeshes() {
    for (auto& [node, list] : meshes_)
        releaseSurfaceMeshes(list);
    meshes_.clear();
}
