#pragma once
// Loads the nodes of a local level-of-detail tree from their files on its own thread, one requested node
// at a time, in per-level primary and secondary queues.
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
    TreeNodeRetrieverThread(std::string dataset, LASHeader* header, int levels);
    ~TreeNodeRetrieverThread() override;

    void Run() override;

    // Takes ownership of r. Does nothing (and deletes r) when r names the node being loaded; otherwise
    // replaces (and deletes) an earlier queued request for the node and queues r by priority.
    void addRequest(LODTreeRequest* r, bool primary);
    int getLowestRequests();
    int countRequests();
    // Removes the node's queued requests and waits until the retriever is not loading it: after this the
    // caller may free the node.
    void forgetNode(LODTreeNode* node);

    std::string constructDatasetPath() const;
    std::string constructFileSuffix(const LODTreeNode* node) const;
    std::string constructFullName(const LODTreeNode* node) const;

    // Statistics (taken under the lock).
    float averageCoverage();
    uint32_t totalPoints();
    size_t surfaceCount();

    // Serves at most one request; false when none was queued. Run calls it in its loop; tests call it
    // directly. P is LASPoint0 to LASPoint3.
    template <class P> bool handleNextRequest();

private:
    std::string dataset;
    LASHeader* header;
    std::vector<std::list<LODTreeRequest*>> primaryLists;
    std::vector<std::list<LODTreeRequest*>> secondaryLists;
    LODTreeRequest* currentRequest = nullptr;
    CMutexClass lock;
    float averageCoverage_ = 0;
    uint32_t totalPoints_ = 0;
    std::set<uint32_t> surfaceIDs;
};
