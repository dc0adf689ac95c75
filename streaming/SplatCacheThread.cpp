// libcurl and the GL buffer calls of the tile cache stay in this translation unit.
#include "SplatCacheThread.h"

#include "AttributeSample.h"
#include "LASHeader.h"
#include "LASPoint.h"
#include "LASThreadedDecompressor.h"
#include "LODGrid.h"
#include "LODRequest.h"
#include "RenderSelectionThread.h"
#include "RenderTile.h"
#include "ServerRetriever.h"
#include "VertexAttributes.h"
#include "WakeSignal.h"

#include <GL/glew.h>
#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

constexpr size_t kHistory = 20;
constexpr int kDefaultSpeed = 3000;
// A point server that accepts nothing, or stops sending, must not hold the request's tiles for ever.
constexpr long kConnectTimeoutMs = 5000;
constexpr long kLowSpeedBytes = 1;
constexpr long kLowSpeedSeconds = 20;

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Page faults taken by the calling thread so far.
std::uint64_t threadPageFaults() {
    rusage u{};
    if (getrusage(RUSAGE_THREAD, &u) != 0)
        return 0;
    return std::uint64_t(u.ru_minflt) + std::uint64_t(u.ru_majflt);
}

} // namespace

template <class Point> class SplatCacheThreadImpl final : public SplatCacheThread {
public:
    SplatCacheThreadImpl(std::string dataset, LODGrid* grid, short levels, LASHeader* header,
                         RenderSelectionThread* selection);
    ~SplatCacheThreadImpl() override;

    void Run() override;

    void addRequest(LODRequest* request, bool primary) override;
    bool requestExists(unsigned tile, short level) override;
    bool requestNeeded(unsigned tile, short level) override;
    LODRequest* recallRequest(short level) override;
    void recallRequests(short level, std::list<LODRequest*>& out) override;
    void clearRequests() override;
    int countRequests() override;
    void printRequests() override;
    void releaseRequests(std::vector<LODRequest*>& out) override;

    SplatTile* getTile(unsigned n) override;
    std::vector<SplatTile>* getTiles() override { return &tiles; }
    bool isInitialized() override { return curl_ != nullptr; }
    std::array<double, 4> getCurrentRequestBounds() override;
    double calculateMinDistanceToPoint(double x, double y, double z, unsigned tile) override;
    int getAverageRetrievalSpeed() override;
    void recordRetrieval(int milliseconds, int points) override;
    bool attributePercentiles(float lowPct, float highPct, double& zLow, double& zHigh, double& iLow,
                              double& iHigh) override;

    void handleNextRequest() override;

    void updateVBOs(long frame) override;
    void updateVBO(unsigned tile, long frame) override;
    void forceUpdateVBO(unsigned tile, long frame) override;
    void renderSplats(unsigned tile, std::vector<int>* indices, bool withColors) override;
    int uploadedSplats(unsigned tile) override { return uploaded_.at(tile); }

    bool triangulateTile(unsigned tile, std::vector<unsigned>& indices, float threshold) override;
    void renderTriangles(unsigned tile, std::vector<unsigned>* indices, bool withColors) override;
    void requestMesh(unsigned tile, int splats, float threshold) override;
    void takeMeshes(std::vector<TileMesh>& out) override;
    void cancelMeshes() override;

    int failedTransfers() override { return failures_.load(); }
    unsigned droppedSplats() override { return dropped_.load(); }
    std::uint64_t servingPageFaults() override { return faults_.load(); }

private:
    bool requestExistsLocked(unsigned tile, short level) const;
    void upload(unsigned tile, long frame);
    // Points the attribute-record attribute at the tile's buffer when it holds `count` records.
    void pointAttributeRecords(unsigned tile, int count);
    void ensureBuffers();
    static int onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    // Triangulates the tile's first `splats` splats (all uploaded ones when negative, never more) and
    // sets `splats` to the number taken; false when the tile is busy.
    bool triangulatePrefix(unsigned tile, int& splats, std::vector<unsigned>& indices, float threshold);
    void meshLoop();
    void stopMeshWorker();

    CURL* curl_ = nullptr;
    std::string dataset; // escaped
    char errorText[CURL_ERROR_SIZE] = {};
    std::vector<std::list<LODRequest*>> primaryRequests, secondaryRequests;
    CMutexClass requestLock;
    std::list<LODRequest*> finishedRequests;
    CMutexClass finishedLock;
    std::array<double, 4> currentBounds{DBL_MAX, DBL_MIN, DBL_MAX, DBL_MIN};
    LODGrid* grid;
    RenderSelectionThread* selection;
    std::vector<SplatTile> tiles;
    // GL names, made on the first upload or draw (the thread of the GL context); 0 until then.
    std::vector<GLuint> splatBuffers, colorBuffers, attributeBuffers;
    // Splats, colours and attribute records in each tile's buffers (main thread only).
    std::vector<int> uploaded_, uploadedColors_, uploadedAttributes_;
    LASThreadedDecompressor* decompressor = nullptr;
    std::deque<int32_t> pointsHistory, timeHistory; // newest first
    CMutexClass statisticsLock;
    std::atomic<int> failures_{0};
    std::atomic<unsigned> dropped_{0};
    std::atomic<std::uint64_t> faults_{0};
    std::mutex sampleLock_; // guards sample_
    AttributeSample sample_;
    WakeSignal requestAdded_; // an idle cache thread starts on a new request without waiting its poll out

    // The mesh worker, started by the first request; meshLock_ guards the rest.
    struct MeshRequest {
        int splats = -1; // -1: none queued
        float threshold = -1;
    };
    std::mutex meshLock_;
    std::condition_variable meshWake_;
    std::deque<unsigned> meshQueue_;
    std::vector<MeshRequest> meshRequests_; // per tile
    std::vector<TileMesh> meshesDone_;
    bool meshStop_ = false;
    std::thread meshThread_;
};

SplatCacheThread* SplatCacheThread::newSplatCacheThread(std::string dataset, LODGrid* grid, short levels,
                                                        LASHeader* header, RenderSelectionThread* selection) {
    switch (header->PointDataFormatID) {
    case 0:
        return new SplatCacheThreadImpl<LASPoint0>(std::move(dataset), grid, levels, header, selection);
    case 1:
        return new SplatCacheThreadImpl<LASPoint1>(std::move(dataset), grid, levels, header, selection);
    case 2:
        return new SplatCacheThreadImpl<LASPoint2>(std::move(dataset), grid, levels, header, selection);
    case 3:
        return new SplatCacheThreadImpl<LASPoint3>(std::move(dataset), grid, levels, header, selection);
    default:
        std::cout << "Error, unknown point type in header file" << std::endl;
        return nullptr;
    }
}

template <class Point>
SplatCacheThreadImpl<Point>::SplatCacheThreadImpl(std::string name, LODGrid* g, short levels,
                                                  LASHeader* header, RenderSelectionThread* s)
    : grid(g), selection(s) {
    // Queues and tiles exist even without a handle, so that the render selection can work with a cache
    // that will never fetch anything.
    const size_t lists = size_t(std::max<short>(levels, 0)) + 1;
    primaryRequests.resize(lists);
    secondaryRequests.resize(lists);
    const size_t n = grid->getNumberOfTiles();
    tiles = std::vector<SplatTile>(n);
    splatBuffers.assign(n, 0);
    colorBuffers.assign(n, 0);
    attributeBuffers.assign(n, 0);
    uploaded_.assign(n, 0);
    uploadedColors_.assign(n, 0);
    uploadedAttributes_.assign(n, 0);
    meshRequests_.resize(n);
    for (SplatTile& t : tiles)
        std::copy(grid->scale, grid->scale + 3, t.coordinateScale);

    initCurlOnce();
    curl_ = curl_easy_init();
    if (curl_ == nullptr) {
        std::cout << "Error: CURL init failed" << std::endl;
        return;
    }
    char* escaped = curl_easy_escape(curl_, name.data(), int(name.size()));
    dataset = escaped != nullptr ? escaped : "";
    curl_free(escaped);
    pointSize = header->PointDataRecordLength;
    pointFormat = Point::Format;
    // The record's own colour field, wherever extra bytes follow it.
    StreamReaders::loadColors =
        Point::Format == 2 || Point::Format == 3 || StreamReaders::forceClassificationColors;
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl_, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
    curl_easy_setopt(curl_, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &SplatCacheThreadImpl::onProgress);
    curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, stream_writePointsLODNormals);
    // Larger chunks: fewer callbacks and receive calls per reply of many megabytes.
    curl_easy_setopt(curl_, CURLOPT_BUFFERSIZE, 512L * 1024L);

    decompressor = new LASThreadedDecompressor();
    decompressor->initializePointDecompressor(header);
}

template <class Point> SplatCacheThreadImpl<Point>::~SplatCacheThreadImpl() {
    stopMeshWorker();
    Stop();
    Join();
    if (decompressor != nullptr) {
        decompressor->Stop();
        decompressor->Join();
        delete decompressor;
    }
    if (curl_ != nullptr)
        curl_easy_cleanup(curl_);
    // Buffers exist only if the GL context made them, and the owner deletes the cache before the context.
    for (auto* names : {&splatBuffers, &colorBuffers, &attributeBuffers}) {
        std::vector<GLuint> made;
        for (GLuint b : *names)
            if (b != 0)
                made.push_back(b);
        if (!made.empty())
            glDeleteBuffers(GLsizei(made.size()), made.data());
    }
}

template <class Point>
int SplatCacheThreadImpl<Point>::onProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    // Non-zero aborts the transfer: a stopped cache thread must not wait for a slow reply.
    return static_cast<SplatCacheThreadImpl*>(self)->StopRequested() ? 1 : 0;
}

template <class Point> void SplatCacheThreadImpl<Point>::Run() {
    std::cout << "Started caching thread" << std::endl;
    if (decompressor != nullptr)
        decompressor->Start();
    while (PingThread(1000)) {
        if (DEFAULT_SERVER.empty()) {
            std::cout << "Default server erased, closing caching thread..." << std::endl;
            break;
        }
        handleNextRequest();
    }
    if (decompressor != nullptr)
        decompressor->Stop();
    std::cout << "Ended caching thread" << std::endl;
}

template <class Point> void SplatCacheThreadImpl<Point>::addRequest(LODRequest* request, bool primary) {
    Held hold(requestLock);
    auto& list = (primary ? primaryRequests : secondaryRequests).at(size_t(request->level));
    auto at = std::find_if(list.begin(), list.end(),
                           [&](LODRequest* r) { return !(r->priority < request->priority); });
    list.insert(at, request);
    requestAdded_.notify();
}

template <class Point>
bool SplatCacheThreadImpl<Point>::requestExistsLocked(unsigned tile, short level) const {
    for (const auto* lists : {&primaryRequests, &secondaryRequests})
        for (const LODRequest* r : lists->at(size_t(level)))
            if (r->tiles.count(tile) != 0)
                return true;
    return false;
}

template <class Point> bool SplatCacheThreadImpl<Point>::requestExists(unsigned tile, short level) {
    Held hold(requestLock);
    return requestExistsLocked(tile, level);
}

template <class Point> bool SplatCacheThreadImpl<Point>::requestNeeded(unsigned tile, short level) {
    Held hold(requestLock);
    // Levels begun change only under the request lock (a level begins, or a failed one is undone).
    const int begun = tiles.at(tile).numberOfLevels() - 1;
    return level > begun && !requestExistsLocked(tile, level);
}

template <class Point> LODRequest* SplatCacheThreadImpl<Point>::recallRequest(short level) {
    Held hold(requestLock);
    for (auto* lists : {&secondaryRequests, &primaryRequests}) {
        auto& list = lists->at(size_t(level));
        if (!list.empty()) {
            LODRequest* r = list.back();
            list.pop_back();
            return r;
        }
    }
    return nullptr;
}

template <class Point>
void SplatCacheThreadImpl<Point>::recallRequests(short level, std::list<LODRequest*>& out) {
    Held hold(requestLock);
    for (auto* lists : {&secondaryRequests, &primaryRequests}) {
        auto& list = lists->at(size_t(level));
        while (!list.empty()) {
            out.push_back(list.back());
            list.pop_back();
        }
    }
}

template <class Point> void SplatCacheThreadImpl<Point>::clearRequests() {
    Held hold(requestLock);
    for (auto* lists : {&primaryRequests, &secondaryRequests})
        for (auto& list : *lists)
            list.clear();
}

template <class Point> int SplatCacheThreadImpl<Point>::countRequests() {
    Held hold(requestLock);
    size_t n = 0;
    for (auto* lists : {&primaryRequests, &secondaryRequests})
        for (auto& list : *lists)
            n += list.size();
    return int(n);
}

template <class Point> void SplatCacheThreadImpl<Point>::printRequests() {
    Held hold(requestLock);
    std::cout << "Server request sizes, [primary,secondary]:" << std::endl;
    for (size_t l = 0; l < primaryRequests.size(); ++l)
        std::cout << "LOD " << l << ": " << primaryRequests[l].size() << " " << secondaryRequests[l].size()
                  << std::endl;
}

template <class Point> void SplatCacheThreadImpl<Point>::releaseRequests(std::vector<LODRequest*>& out) {
    {
        Held hold(requestLock);
        for (auto* lists : {&primaryRequests, &secondaryRequests})
            for (auto& list : *lists) {
                out.insert(out.end(), list.begin(), list.end());
                list.clear();
            }
    }
    Held hold(finishedLock);
    out.insert(out.end(), finishedRequests.begin(), finishedRequests.end());
    finishedRequests.clear();
}

template <class Point> SplatTile* SplatCacheThreadImpl<Point>::getTile(unsigned n) {
    if (n >= tiles.size()) {
        std::cout << "Error, tile " << n << " does not exist in cache list of size " << tiles.size()
                  << std::endl;
        return nullptr;
    }
    return &tiles[n];
}

template <class Point> std::array<double, 4> SplatCacheThreadImpl<Point>::getCurrentRequestBounds() {
    Held hold(requestLock);
    return currentBounds;
}

template <class Point>
double SplatCacheThreadImpl<Point>::calculateMinDistanceToPoint(double x, double y, double z, unsigned tile) {
    const std::array<double, 4> b = grid->getTileBounds(int(tile), true);
    const double dx = x < b[0] ? b[0] - x : x > b[1] ? x - b[1] : 0;
    const double dy = y < b[2] ? b[2] - y : y > b[3] ? y - b[3] : 0;
    const SplatTile& t = tiles.at(tile);
    const double zLow = (t.minZ.load() + grid->centreOffset[2]) * grid->normalisingScale;
    const double zHigh = (t.maxZ.load() + grid->centreOffset[2]) * grid->normalisingScale;
    if (zHigh < zLow)
        return std::sqrt(dx * dx + dy * dy);
    const double dz = z < zLow ? zLow - z : z > zHigh ? z - zHigh : 0;
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

template <class Point> int SplatCacheThreadImpl<Point>::getAverageRetrievalSpeed() {
    Held hold(statisticsLock);
    int64_t points = 0, ms = 0;
    for (size_t i = 0; i < pointsHistory.size(); ++i) {
        points += pointsHistory[i];
        ms += timeHistory[i];
    }
    if (points == 0 || ms == 0)
        return kDefaultSpeed;
    return int(std::min<int64_t>(points * 1000 / ms, INT32_MAX));
}

template <class Point> void SplatCacheThreadImpl<Point>::recordRetrieval(int milliseconds, int points) {
    Held hold(statisticsLock);
    if (pointsHistory.size() >= kHistory) {
        pointsHistory.pop_back();
        timeHistory.pop_back();
    }
    pointsHistory.push_front(points);
    timeHistory.push_front(milliseconds);
}

template <class Point>
bool SplatCacheThreadImpl<Point>::attributePercentiles(float lowPct, float highPct, double& zLow,
                                                       double& zHigh, double& iLow, double& iHigh) {
    std::lock_guard hold(sampleLock_);
    return sample_.percentiles(lowPct, highPct, zLow, zHigh, iLow, iHigh);
}

template <class Point> void SplatCacheThreadImpl<Point>::handleNextRequest() {
    if (curl_ == nullptr) {
        Sleep(20);
        return;
    }
    requestLock.Lock();
    LODRequest* request = nullptr;
    bool primary = false;
    for (;;) {
        for (auto* lists : {&primaryRequests, &secondaryRequests}) {
            for (auto& list : *lists)
                if (!list.empty()) {
                    request = list.front();
                    list.pop_front();
                    primary = lists == &primaryRequests;
                    break;
                }
            if (request != nullptr)
                break;
        }
        if (request != nullptr)
            break;
        requestLock.Unlock();
        if (StopRequested())
            return;
        requestAdded_.waitFor(20);
        requestLock.Lock();
    }
    // Wall time of the transfer: the processor clock would count every thread's CPU time instead.
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t faultsBefore = threadPageFaults();

    const auto low = grid->getTileBounds(int(request->minTileX), int(request->minTileY), true);
    const auto high = grid->getTileBounds(int(request->maxTileX), int(request->maxTileY), true);
    currentBounds = {std::min(low[0], high[0]), std::max(low[1], high[1]), std::min(low[2], high[2]),
                     std::max(low[3], high[3])};

    std::vector<SplatTile::Mark> marks;
    marks.reserve(request->tiles.size());
    // Held across the transfer; released on every way out, a throw included.
    HeldAll<SplatTile> tileLocks;
    try {
        for (uint32_t t : request->tiles) {
            SplatTile& tile = tiles.at(t);
            tileLocks.lock(tile);
            marks.push_back(tile.mark());
            tile.addLOD();
        }
    } catch (...) {
        requestLock.Unlock();
        throw;
    }
    requestLock.Unlock();

    // The world rectangle of exactly the tiles locked above: every point of the reply files into one
    // of them.
    const auto g0 = grid->getTileGlobalBounds(int(request->minTileX), int(request->minTileY));
    const auto g1 = grid->getTileGlobalBounds(int(request->maxTileX), int(request->maxTileY));
    const std::string level = std::to_string(request->level);
    const std::string url = DEFAULT_SERVER + "getRangeLODNormals/" + dataset + "/" + formatBound(g0[0]) +
                            "/" + formatBound(g1[1]) + "/" + formatBound(g0[2]) + "/" + formatBound(g1[3]) +
                            "/-999999999.0/999999999.0/" + level + "/" + level;
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, request);
    request->numSplats = 0;
    request->droppedSplats = 0;
    numReadPoints = 0;
    resetPointStream();
    errorText[0] = '\0';
    const CURLcode code = curl_easy_perform(curl_);

    if (code != CURLE_OK) {
        ++failures_;
        std::cout << "Error in server response, error code " << int(code) << ", error " << errorText
                  << std::endl;
        resetPointStream(); // a partial record must not prefix the next reply
        // The tiles are done with before the request is queued again: once queued, the selection thread
        // may recall and delete it at any moment.
        Held hold(requestLock);
        size_t i = 0;
        for (uint32_t t : request->tiles)
            tiles[t].rollback(marks[i++]);
        tileLocks.release();
        (primary ? primaryRequests : secondaryRequests).at(size_t(request->level)).push_front(request);
    } else {
        if (request->droppedSplats != 0) {
            dropped_ += request->droppedSplats;
            std::cout << "Warning: " << request->droppedSplats
                      << " splat(s) outside the requested tiles were not filed" << std::endl;
        }
        size_t i = 0;
        for (uint32_t t : request->tiles) {
            SplatTile& tile = tiles[t];
            const size_t first = marks[i++].splats;
            tile.normalizeSplats(int(first), grid, request->level);
            // Only points that stay: a failed transfer's are rolled back unseen.
            if (tile.attributes.size() == tile.splats.size() && tile.splats.size() > first) {
                std::lock_guard sampling(sampleLock_);
                sample_.add(&tile.splats[first], &tile.attributes[first], tile.splats.size() - first);
            }
            tile.update(&request->renderTiles->at(t), request->level);
        }
        tileLocks.release();
        // Published only now: the main thread hands a finished request back to the selection thread, which
        // deletes it.
        {
            Held hold(finishedLock);
            finishedRequests.push_back(request);
        }
        Held hold(requestLock);
        currentBounds = {0, 0, 0, 0};
    }
    faults_ += threadPageFaults() - faultsBefore;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    recordRetrieval(int(elapsed.count()), int(numReadPoints));
}

template <class Point> void SplatCacheThreadImpl<Point>::ensureBuffers() {
    if (splatBuffers.empty() || splatBuffers[0] != 0)
        return;
    glGenBuffers(GLsizei(splatBuffers.size()), splatBuffers.data());
    glGenBuffers(GLsizei(colorBuffers.size()), colorBuffers.data());
    glGenBuffers(GLsizei(attributeBuffers.size()), attributeBuffers.data());
}

template <class Point> void SplatCacheThreadImpl<Point>::upload(unsigned t, long frame) {
    SplatTile& tile = tiles[t];
    const int n = std::max(tile.getFullLODsize(short(tile.uploadLevel)), 0);
    // A tile may hold fewer colours than splats (colours forced on a format without them): upload what
    // there is, and draw without colours then.
    const int colors = std::min<int>(n, int(tile.colors.size()));
    const int attributes = std::min<int>(n, int(tile.attributes.size()));
    glBindBuffer(GL_ARRAY_BUFFER, splatBuffers[t]);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(n) * GLsizeiptr(sizeof(Splat)), tile.getSplats(frame),
                 GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, colorBuffers[t]);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(colors) * GLsizeiptr(sizeof(Color)), tile.getColors(frame),
                 GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, attributeBuffers[t]);
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(attributes) * GLsizeiptr(sizeof(PointAttributes)),
                 tile.getAttributes(frame), GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    uploaded_[t] = n;
    uploadedColors_[t] = colors;
    uploadedAttributes_[t] = attributes;
    tile.finishUpdate();
}

template <class Point> void SplatCacheThreadImpl<Point>::updateVBO(unsigned t, long frame) {
    ensureBuffers();
    SplatTile& tile = tiles.at(t);
    if (TryHeld held{tile}; held && tile.uploadPending)
        upload(t, frame);
}

template <class Point> void SplatCacheThreadImpl<Point>::forceUpdateVBO(unsigned t, long frame) {
    ensureBuffers();
    SplatTile& tile = tiles.at(t);
    Held held(tile);
    upload(t, frame);
}

template <class Point> void SplatCacheThreadImpl<Point>::updateVBOs(long frame) {
    for (unsigned t = 0; t < tiles.size(); ++t)
        updateVBO(t, frame);
    Held hold(finishedLock);
    for (auto it = finishedRequests.begin(); it != finishedRequests.end();) {
        LODRequest* r = *it;
        const bool uploaded = std::all_of(r->tiles.begin(), r->tiles.end(),
                                          [&](uint32_t t) { return tiles[t].highestLevel >= r->level; });
        if (!uploaded) {
            ++it;
            continue;
        }
        it = finishedRequests.erase(it);
        selection->pushHandled(r);
    }
}

template <class Point> void SplatCacheThreadImpl<Point>::pointAttributeRecords(unsigned t, int count) {
    if (uploadedAttributes_[t] < count)
        return;
    glBindBuffer(GL_ARRAY_BUFFER, attributeBuffers[t]);
    // Four bytes as they are (not normalised): intensity low and high, the return byte, the class byte.
    glVertexAttribPointer(attributesAtt, 4, GL_UNSIGNED_BYTE, GL_FALSE, sizeof(PointAttributes), nullptr);
}

template <class Point>
void SplatCacheThreadImpl<Point>::renderSplats(unsigned t, std::vector<int>* indices, bool withColors) {
    ensureBuffers();
    // The index list may run ahead of the buffer while a level is between fill and upload.
    const int count = std::min<int>(int(indices->size()), uploaded_.at(t));
    glBindBuffer(GL_ARRAY_BUFFER, splatBuffers[t]);
    glVertexAttribIPointer(positionAtt, 3, GL_INT, sizeof(Splat), nullptr);
    glVertexAttribPointer(normalAtt, 3, GL_FLOAT, GL_FALSE, sizeof(Splat), reinterpret_cast<void*>(12));
    if (StreamReaders::loadColors && withColors && uploadedColors_[t] >= count) {
        glBindBuffer(GL_ARRAY_BUFFER, colorBuffers[t]);
        glVertexAttribPointer(colorAtt, 3, GL_UNSIGNED_SHORT, GL_TRUE, sizeof(Color), nullptr);
    }
    pointAttributeRecords(t, count);
    if (count > 0)
        glDrawElements(GL_POINTS, count, GL_UNSIGNED_INT, indices->data());
}

template <class Point>
void SplatCacheThreadImpl<Point>::renderTriangles(unsigned t, std::vector<unsigned>* indices,
                                                  bool withColors) {
    ensureBuffers();
    if (indices == nullptr || indices->size() < 3)
        return;
    // Generic attributes as for the splats: the triangle programs take the raw integer coordinates.
    glBindBuffer(GL_ARRAY_BUFFER, splatBuffers[t]);
    glVertexAttribIPointer(positionAtt, 3, GL_INT, sizeof(Splat), nullptr);
    glVertexAttribPointer(normalAtt, 3, GL_FLOAT, GL_FALSE, sizeof(Splat), reinterpret_cast<void*>(12));
    if (StreamReaders::loadColors && withColors && uploadedColors_[t] >= uploaded_[t]) {
        glBindBuffer(GL_ARRAY_BUFFER, colorBuffers[t]);
        glVertexAttribPointer(colorAtt, 3, GL_UNSIGNED_SHORT, GL_TRUE, sizeof(Color), nullptr);
    }
    pointAttributeRecords(t, uploaded_[t]);
    glDrawElements(GL_TRIANGLES, GLsizei(indices->size() / 3 * 3), GL_UNSIGNED_INT, indices->data());
}

template <class Point>
bool SplatCacheThreadImpl<Point>::triangulatePrefix(unsigned t, int& splats, std::vector<unsigned>& indices,
                                                    float threshold) {
    SplatTile& tile = tiles.at(t);
    // The copy, not the tile, is triangulated: the lock is held only while copying, so that neither the
    // cache thread nor the upload waits for a triangulation.
    SplatTile work;
    {
        TryHeld held{tile};
        if (!held)
            return false;
        // Uploads change the count only under the tile's lock.
        const int uploaded = uploaded_[t];
        splats = splats < 0 ? uploaded : std::min(splats, uploaded);
        work.splats.assign(tile.splats.begin(), tile.splats.begin() + splats);
    }
    std::copy(tile.coordinateScale, tile.coordinateScale + 3, work.coordinateScale);
    work.triangulate(indices, threshold);
    return true;
}

template <class Point>
bool SplatCacheThreadImpl<Point>::triangulateTile(unsigned t, std::vector<unsigned>& indices,
                                                  float threshold) {
    int splats = -1;
    return triangulatePrefix(t, splats, indices, threshold);
}

template <class Point>
void SplatCacheThreadImpl<Point>::requestMesh(unsigned t, int splats, float threshold) {
    std::lock_guard lock(meshLock_);
    MeshRequest& r = meshRequests_.at(t);
    if (r.splats < 0)
        meshQueue_.push_back(t);
    r = MeshRequest{splats, threshold};
    if (!meshThread_.joinable() && !meshStop_)
        meshThread_ = std::thread(&SplatCacheThreadImpl::meshLoop, this);
    meshWake_.notify_one();
}

template <class Point> void SplatCacheThreadImpl<Point>::takeMeshes(std::vector<TileMesh>& out) {
    std::lock_guard lock(meshLock_);
    for (TileMesh& m : meshesDone_)
        out.push_back(std::move(m));
    meshesDone_.clear();
}

template <class Point> void SplatCacheThreadImpl<Point>::cancelMeshes() {
    std::lock_guard lock(meshLock_);
    for (unsigned t : meshQueue_)
        meshRequests_[t] = MeshRequest{};
    meshQueue_.clear();
}

template <class Point> void SplatCacheThreadImpl<Point>::meshLoop() {
    std::unique_lock lock(meshLock_);
    for (;;) {
        meshWake_.wait(lock, [&] { return meshStop_ || !meshQueue_.empty(); });
        if (meshStop_)
            return;
        const unsigned t = meshQueue_.front();
        meshQueue_.pop_front();
        const MeshRequest request = meshRequests_[t];
        meshRequests_[t] = MeshRequest{};
        lock.unlock();
        TileMesh mesh{t, request.splats, {}};
        bool done = true;
        try {
            done = triangulatePrefix(t, mesh.splats, mesh.indices, request.threshold);
        } catch (const std::exception& e) {
            // The tile stays splats; its mesh is not asked for again until it changes.
            std::cout << "Could not mesh tile " << t << ": " << e.what() << std::endl;
            mesh.indices.clear();
        }
        lock.lock();
        if (done) {
            meshesDone_.push_back(std::move(mesh));
            continue;
        }
        // Busy (a level streaming in): again after the others, unless a newer request took its place.
        if (meshRequests_[t].splats < 0) {
            meshRequests_[t] = request;
            meshQueue_.push_back(t);
        }
        meshWake_.wait_for(lock, std::chrono::milliseconds(20), [&] { return meshStop_; });
    }
}

template <class Point> void SplatCacheThreadImpl<Point>::stopMeshWorker() {
    {
        std::lock_guard lock(meshLock_);
        meshStop_ = true;
    }
    meshWake_.notify_one();
    // Waits for a triangulation in progress: it reads the tiles.
    if (meshThread_.joinable())
        meshThread_.join();
}

template class SplatCacheThreadImpl<LASPoint0>;
template class SplatCacheThreadImpl<LASPoint1>;
template class SplatCacheThreadImpl<LASPoint2>;
template class SplatCacheThreadImpl<LASPoint3>;
