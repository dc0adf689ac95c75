#pragma once
// The viewer's side of the point server protocol: the base URL, the requests, and the libcurl write
// callbacks that parse each reply incrementally (a header, an integer, lines, or point records with
// normals filed into tiles). The parse state is process-wide: at most one transfer of each kind runs at a
// time (metadata on the main thread before the tile cache starts; points on the tile cache thread only).
#include "GeometryTypes.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class LASHeader;

// "http://" + host + ":10488/Varnel/resources/Server/"; empty tells the tile cache thread to end.
extern std::string DEFAULT_SERVER;
// The data set chosen at connection time (unescaped).
extern std::string datasetName;

// Header reply.
extern std::vector<unsigned char> headerBuffer; // empty: the next header transfer starts afresh
extern uint32_t headerBytesRead;
extern uint16_t headerSize;
// Integer reply.
extern unsigned char buffer[4];
extern uint32_t currentPointer;
extern int32_t streamInt;
// Line reply: the line being assembled.
extern std::string currentLine;
// Point replies: the partial record carried from one chunk to the next.
extern std::vector<unsigned char> pointBuffer;
extern uint32_t pointBytesRead;
extern uint16_t pointSize;  // LAS record length of the data set (set from its header)
extern int pointFormat;     // LAS point format of the data set, -1 when not known
extern uint32_t numReadPoints;

namespace StreamReaders {
extern bool loadColors;
extern bool forceClassificationColors;
} // namespace StreamReaders

// Whole-data-set retrieval: 0 = X slabs, 1 = one request per level.
extern int retrievalType;
extern std::vector<Splat> retrievedSplats;
extern std::vector<Color> retrievedColors;
extern std::mutex splatMutex;
// Raw coordinate extents of the points parsed (widened by both point parsers).
extern int64_t minX, maxX, minY, maxY, minZ, maxZ;

// libcurl write callbacks (size is always 1 for libcurl; the chunk is size × nmemb bytes).
size_t stream_readLines(char* data, size_t size, size_t nmemb, void* lines);
size_t stream_writeHeader(char* data, size_t size, size_t nmemb, void*);
size_t stream_writeInt(char* data, size_t size, size_t nmemb, void*);
// userdata: the LODRequest being served.
size_t stream_writePointsLODNormals(char* data, size_t size, size_t nmemb, void* request);
// Whole-data-set variant: appends to retrievedSplats / retrievedColors.
size_t stream_writePointsWithNormalsProgressive(char* data, size_t size, size_t nmemb, void*);
// Discards a partial record left by a failed transfer, so that it cannot prefix the next reply.
void resetPointStream();

// Point URLs: bounds in general notation with 17 significant digits.
std::string formatBound(double v);

class ServerRetriever {
public:
    // 0 on success, 1 without a handle, 4 when the transfer failed.
    int retrieveDatasetNames(std::vector<std::string>& names);
    // Header and level count of datasetName: 0 on success, 1 without a handle, 2 when the header request
    // failed or its reply was short, 3 when the level request failed.
    int retrieveMetadata(LASHeader& header, int& levels);
    // Loads the whole data set into retrievedSplats / retrievedColors, by slabs or by levels.
    void retrieveSplats();
    // Hands out everything queued so far.
    void popSplats(std::vector<Splat>& splats, std::vector<Color>& colors);
};
