#pragma once
// Loads the nodes of a local level-of-detail tree from their files on its own thread, one requested node
// at a time, in per-level primary and secondary queues.
//
// A node's "points" file holds the 26-byte node header and then numPoints whole records of the data
// set's record length; "normals" three floats, "surf" one uint32 and "border" one byte per point. A
// points file shorter than its header says refuses the node (it ends "Empty"). A missing or short
// normals, surf or border file is reported on the tree log and the points it lacks get the defaults:
// normal (0, 0, 0), surface 0, border 0.
//
// Requesters set a node's state to "Requested" before queuing it; a request whose node is in another
// state when its turn comes (loaded meanwhile, or given up) is dropped unread.
//
// The lock guards the queues, the current request and the statistics; it is never held while files are
// read. The node's arrays are filled without a lock while its state is "Requested"; the requester may
// use them once the state is "Loaded in RAM".
#include "CMutexClass.h"
#include "CThread.h"

#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <vector>

class LASHeader;
class LODTreeNode;

// One per requested node: made by the requester, deleted by the retriever (served, replaced or refused).
struct LODTreeRequest {
    float priority = 0; // smaller is more urgent
    LODTreeNode* node = nullptr;
    uint32_t count = 0; // points loaded by this request
};

// Data set directories are basePath + data set name + "/".
extern std::string basePath;

class TreeNodeRetrieverThread : public CThread {
public:
    // How long the thread sleeps when nothing is queued before it looks again.
    static constexpr unsigned IdleWaitMs = 20;

    TreeNodeRetrieverThread(std::string dataset, LASHeader* header, int levels);
    // Stops and joins the thread, then deletes the requests still queued. Stop itself waits for the load
    // in progress, so no node is left half filled.
    ~TreeNodeRetrieverThread() override;

    void Run() override;

    // Takes ownership of r. Does nothing (and deletes r) when r names the node being loaded or a level
    // beyond the tree; otherwise replaces (and deletes) an earlier queued request for the node and queues
    // r by priority. Queuing the same request object again only moves it.
    void addRequest(LODTreeRequest* r, bool primary);
    int getLowestRequests();
    int countRequests();
    // Removes (and deletes) the node's queued requests and waits until the retriever is not loading it:
    // after this the caller may free the node.
    void forgetNode(LODTreeNode* node);

    std::string constructDatasetPath() const;
    std::string constructFileSuffix(const LODTreeNode* node) const;
    std::string constructFullName(const LODTreeNode* node) const;

    // Statistics (taken under the lock).
    float averageCoverage();
    uint32_t totalPoints();
    size_t surfaceCount();

    // Serves at most one request; when none is queued it sleeps IdleWaitMs and returns false. Run calls it
    // in its loop; tests call it directly. P is LASPoint0 to LASPoint3.
    template <class P> bool handleNextRequest();

private:
    LODTreeRequest* takeNextRequest(); // the most urgent request, now current; null when none
    template <class P> void load(LODTreeRequest* request);

    std::string dataset;
    LASHeader* header;
    std::vector<std::list<LODTreeRequest*>> primaryLists;
    std::vector<std::list<LODTreeRequest*>> secondaryLists;
    LODTreeRequest* currentRequest = nullptr;
    CMutexClass lock;
    float averageCoverage_ = 0;
    uint32_t totalPoints_ = 0;
    // Written only by the retriever, under the lock; the retriever itself reads it without.
    std::set<uint32_t> surfaceIDs;
};
