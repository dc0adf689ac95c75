#include "TreeNodeRetrieverThread.h"

#include "LASHeader.h"
#include "LASPoint.h"
#include "LODTree.h"
#include "LodTreeLog.h"

#include <algorithm>
#include <sstream>
#include <sys/stat.h>

std::string basePath = "/data/toConvert/";

namespace {


// One insertion per message keeps lines whole while requesters print from their own threads.
template <class... A> void say(const A&... parts) {
    std::ostringstream s;
    (s << ... << parts);
    lodTreeLog() << s.str();
}

using Lists = std::vector<std::list<LODTreeRequest*>>;

// The count and choice of requests without taking the lock: CMutexClass does not count, so a nested
// Lock/Unlock would release the caller's hold.
size_t queued(const Lists& primary, const Lists& secondary) {
    size_t n = 0;
    for (const Lists* lists : {&primary, &secondary})
        for (const auto& list : *lists)
            n += list.size();
    return n;
}

int lowestLevel(const Lists& lists) {
    for (size_t level = 0; level < lists.size(); ++level)
        if (!lists[level].empty())
            return int(level);
    return -1;
}

uint64_t fileSize(FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 && st.st_size > 0 ? uint64_t(st.st_size) : 0;
}

// Fills `out`, which holds `count` entries of `entryBytes` preset to the defaults, from the start of the
// file. The length is checked first so that nothing beyond the file's last whole entry is read; what a
// missing or short file lacks keeps its default and is reported.
void readPerPoint(const std::string& path, const char* name, uint64_t count, size_t entryBytes, void* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        say("Missing ", name, " file ", path, ": ", count, " points get the default\n");
        return;
    }
    const uint64_t got = std::fread(out, entryBytes, std::min(count, fileSize(f) / entryBytes), f);
    std::fclose(f);
    if (got < count)
        say("Short ", name, " file ", path, ": ", got, " of ", count, " entries, the rest get the default\n");
}

} // namespace

TreeNodeRetrieverThread::TreeNodeRetrieverThread(std::string d, LASHeader* h, int levels)
    : dataset(std::move(d)), header(h), primaryLists(size_t(std::max(levels, 0))),
      secondaryLists(size_t(std::max(levels, 0))) {}

TreeNodeRetrieverThread::~TreeNodeRetrieverThread() {
    Stop();
    Join();
    for (Lists* lists : {&primaryLists, &secondaryLists})
        for (auto& list : *lists)
            for (LODTreeRequest* r : list)
                delete r;
}

std::string TreeNodeRetrieverThread::constructDatasetPath() const { return basePath + dataset + "/"; }

std::string TreeNodeRetrieverThread::constructFileSuffix(const LODTreeNode* node) const {
    return node->id.generateSuffix();
}

std::string TreeNodeRetrieverThread::constructFullName(const LODTreeNode* node) const {
    return constructDatasetPath() + "points" + constructFileSuffix(node);
}

void TreeNodeRetrieverThread::addRequest(LODTreeRequest* r, bool primary) {
    if (!r || !r->node) {
        delete r;
        return;
    }
    Held hold(lock);
    if (r == currentRequest)
        return;
    if (currentRequest && currentRequest->node == r->node) {
        delete r;
        return;
    }
    const size_t level = r->node->id.level;
    if (level >= primaryLists.size()) {
        say("Request for node ", constructFileSuffix(r->node), " beyond the tree's ", primaryLists.size(),
            " levels dropped\n");
        delete r;
        return;
    }
    for (Lists* lists : {&primaryLists, &secondaryLists}) {
        auto& list = (*lists)[level];
        const auto old = std::find_if(list.begin(), list.end(), [&](LODTreeRequest* q) { return q->node == r->node; });
        if (old != list.end()) {
            if (*old != r)
                delete *old;
            list.erase(old);
            break;
        }
    }
    auto& list = (primary ? primaryLists : secondaryLists)[level];
    list.insert(std::find_if(list.begin(), list.end(), [&](LODTreeRequest* q) { return !(q->priority < r->priority); }),
                r);
    say("Added request ", constructFileSuffix(r->node), "\n");
}

int TreeNodeRetrieverThread::getLowestRequests() {
    Held hold(lock);
    const int level = lowestLevel(primaryLists);
    return level >= 0 ? level : lowestLevel(secondaryLists);
}

int TreeNodeRetrieverThread::countRequests() {
    Held hold(lock);
    return int(queued(primaryLists, secondaryLists));
}

void TreeNodeRetrieverThread::forgetNode(LODTreeNode* node) {
    Held hold(lock);
    for (Lists* lists : {&primaryLists, &secondaryLists})
        for (auto& list : *lists)
            list.remove_if([&](LODTreeRequest* r) {
                if (r->node != node)
                    return false;
                delete r;
                return true;
            });
    // The retriever clears the current request last thing after a load and touches the node no more.
    while (currentRequest && currentRequest->node == node) {
        lock.Unlock();
        Sleep(1);
        lock.Lock();
    }
}

float TreeNodeRetrieverThread::averageCoverage() {
    Held hold(lock);
    return averageCoverage_;
}

uint32_t TreeNodeRetrieverThread::totalPoints() {
    Held hold(lock);
    return totalPoints_;
}

size_t TreeNodeRetrieverThread::surfaceCount() {
    Held hold(lock);
    return surfaceIDs.size();
}

void TreeNodeRetrieverThread::Run() {
    state = Running; // Stop waits until the loop has ended
    say("Started retrieval thread\n");
    const int format = header ? header->PointDataFormatID : -1;
    bool known = true;
    while (known && PingThread(1)) {
        switch (format) {
        case 0: handleNextRequest<LASPoint0>(); break;
        case 1: handleNextRequest<LASPoint1>(); break;
        case 2: handleNextRequest<LASPoint2>(); break;
        case 3: handleNextRequest<LASPoint3>(); break;
        default:
            say("Error: Unknown point data format, ending data retrieval.\n");
            known = false;
        }
    }
    say("Ended retrieval thread\n");
    ShuttingDown();
}

LODTreeRequest* TreeNodeRetrieverThread::takeNextRequest() {
    Held hold(lock);
    size_t n = queued(primaryLists, secondaryLists);
    if (n == 0)
        return nullptr;
    say("Request num: ", n, "\n");
    for (;;) {
        const int level = lowestLevel(primaryLists);
        auto& list = level >= 0 ? primaryLists[size_t(level)] : secondaryLists[size_t(lowestLevel(secondaryLists))];
        LODTreeRequest* r = list.front();
        list.pop_front();
        // A node no longer "Requested" was loaded already (a late change of priority) or given up: loading it
        // would overwrite arrays its holder may be using.
        if (const int status = r->node->status.load(); status != NODE_REQUESTED) {
            say("Request for node ", constructFileSuffix(r->node), " dropped: the node is ", nodeStatusName(status),
                "\n");
            delete r;
            if (--n == 0)
                return nullptr;
            continue;
        }
        currentRequest = r;
        return r;
    }
}

template <class P> bool TreeNodeRetrieverThread::handleNextRequest() {
    LODTreeRequest* request = takeNextRequest();
    if (!request) {
        // Returning lets Run look at its stop flag between polls.
        Sleep(IdleWaitMs);
        return false;
    }
    load<P>(request);

    LODTreeNode* node = request->node;
    if (request->count != 0) {
        node->setZbounds();
        node->needsUpload.store(true);
        // The state publishes the arrays; a requester that set it back meanwhile keeps its value.
        if (!node->compareAndSetStatus(NODE_REQUESTED, NODE_IN_RAM))
            node->needsUpload.store(false);
    } else {
        // Only this thread changes the statistics: reading them here needs no lock.
        say("Empty node. Retrieved no points. ", totalPoints_, " remain from before. Number of surfaces so far: ",
            surfaceIDs.size(), "\n");
        node->compareAndSetStatus(NODE_REQUESTED, NODE_EMPTY);
    }
    {
        Held hold(lock);
        currentRequest = nullptr;
    }
    // From here on the node may be freed (forgetNode returns).
    delete request;
    return true;
}

template <class P> void TreeNodeRetrieverThread::load(LODTreeRequest* request) {
    LODTreeNode* node = request->node;
    const std::string dir = constructDatasetPath(), suffix = constructFileSuffix(node);
    const std::string pointPath = constructFullName(node), normalPath = dir + "normals" + suffix;
    say("Request file: ", pointPath, " ", normalPath, "\n");
    FILE* points = std::fopen(pointPath.c_str(), "rb");
    if (!points)
        return;
    struct Closer {
        FILE* f;
        ~Closer() { std::fclose(f); }
    } closer{points};

    LODTreeNodeHeader h;
    if (!h.read(points)) {
        say(" in ", pointPath, "\n");
        return;
    }
    say("Retrieving node of ", h.numPoints, " points with coverage ", h.coverage * 100, "%. Subnodes: ",
        (h.subNodes >> 3) & 1, (h.subNodes >> 2) & 1, (h.subNodes >> 1) & 1, h.subNodes & 1, ", offsets ", h.offsetQ2,
        " ", h.offsetQ3, " ", h.offsetQ4, ", splat radius ", h.defaultSplatRadius, "\n");

    // Records may carry extra bytes beyond the format's fields.
    const size_t length = header && header->PointDataRecordLength > P::Size ? header->PointDataRecordLength : P::Size;
    const uint64_t n = h.numPoints;
    // Checked before anything is reserved: a damaged header must not ask for gigabytes.
    const uint64_t need = LODTreeNodeHeader::Bytes + n * length;
    if (const uint64_t have = fileSize(points); have < need) {
        say("Node refused: ", pointPath, " holds ", have, " bytes, its header asks for ", need, "\n");
        return;
    }
    node->initForRetrieval(h);
    if (n == 0)
        return;
    std::vector<unsigned char> records(n * length);
    if (std::fread(records.data(), length, n, points) != n) {
        say("Node refused: ", pointPath, " could not be read\n");
        return;
    }
    std::vector<float> normals(3 * n, 0.0f);
    std::vector<uint32_t> surf(n, 0);
    std::vector<uint8_t> border(n, 0);
    readPerPoint(normalPath, "normals", n, 3 * sizeof(float), normals.data());
    readPerPoint(dir + "surf" + suffix, "surf", n, sizeof(uint32_t), surf.data());
    readPerPoint(dir + "border" + suffix, "border", n, 1, border.data());

    constexpr bool colored = las_detail::formatHasColor(P::Format);
    if constexpr (colored)
        node->colors.reserve(n);
    std::set<uint32_t> fresh;
    for (size_t i = 0; i < n; ++i) {
        P p(records.data() + i * length);
        node->pushSplat(Splat{int32_t(p.GetX()), int32_t(p.GetY()), int32_t(p.GetZ()), normals[3 * i],
                              normals[3 * i + 1], normals[3 * i + 2]});
        if constexpr (colored)
            node->pushColor(Color{p.GetRed(), p.GetGreen(), p.GetBlue()});
        if (!surfaceIDs.count(surf[i]))
            fresh.insert(surf[i]);
        node->pushSurfaceID(surf[i]);
        node->pushBorder(border[i]);
        ++request->count;
    }

    uint32_t total = 0;
    size_t surfaces = 0;
    {
        Held hold(lock);
        surfaceIDs.insert(fresh.begin(), fresh.end());
        totalPoints_ += request->count;
        averageCoverage_ += (h.coverage - averageCoverage_) * float(request->count) / float(totalPoints_);
        total = totalPoints_;
        surfaces = surfaceIDs.size();
    }
    say("Retrieved ", n, " points. Altogether ", total, " points. Number of surfaces so far: ", surfaces, "\n");
}

template bool TreeNodeRetrieverThread::handleNextRequest<LASPoint0>();
template bool TreeNodeRetrieverThread::handleNextRequest<LASPoint1>();
template bool TreeNodeRetrieverThread::handleNextRequest<LASPoint2>();
template bool TreeNodeRetrieverThread::handleNextRequest<LASPoint3>();
