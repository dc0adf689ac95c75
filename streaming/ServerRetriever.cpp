// libcurl's easy interface; the write callbacks must take any split of a reply into chunks.
#include "ServerRetriever.h"

#include "LASHeader.h"
#include "LASPointData.h"
#include "LODRequest.h"
#include "PointServerAddress.h"

#include <curl/curl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>

#ifndef PONTARO_SERVER_HOST
#define PONTARO_SERVER_HOST "127.0.0.1"
#endif

std::string DEFAULT_SERVER =
    "http://" PONTARO_SERVER_HOST ":" + std::to_string(kDefaultServerPort) + std::string(kServerBasePath);
std::string datasetName;

std::vector<unsigned char> headerBuffer;
uint32_t headerBytesRead = 0;
uint16_t headerSize = 227;
unsigned char buffer[4] = {};
uint32_t currentPointer = 0;
int32_t streamInt = 0;
std::string currentLine;
std::vector<unsigned char> pointBuffer;
uint32_t pointBytesRead = 0;
uint16_t pointSize = 20;
int pointFormat = -1;
uint32_t numReadPoints = 0;

namespace StreamReaders {
bool loadColors = true;
bool forceClassificationColors = false;
} // namespace StreamReaders

int retrievalType = 0;
std::vector<Splat> retrievedSplats;
std::vector<Color> retrievedColors;
std::mutex splatMutex;
int64_t minX = std::numeric_limits<int64_t>::max(), maxX = std::numeric_limits<int64_t>::min();
int64_t minY = std::numeric_limits<int64_t>::max(), maxY = std::numeric_limits<int64_t>::min();
int64_t minZ = std::numeric_limits<int64_t>::max(), maxZ = std::numeric_limits<int64_t>::min();

namespace {

constexpr uint32_t kHeaderBlock = 227;

using las_detail::loadLE;

// Where the colour of a record lies, or -1 when it has none: at the format's offset when the format is
// known (records may carry extra bytes after it), else the last 6 bytes of a 26- or 34-byte record.
int colorOffset() {
    if (pointFormat >= 0) {
        const int at = las_detail::colorOffset(pointFormat);
        return at >= 0 && pointSize >= las_detail::formatSize(pointFormat) ? at : -1;
    }
    return pointSize == 26 || pointSize == 34 ? pointSize - 6 : -1;
}

void resetExtents() {
    minX = minY = minZ = std::numeric_limits<int64_t>::max();
    maxX = maxY = maxZ = std::numeric_limits<int64_t>::min();
}

// Decodes every whole record of the chunk (after completing the one carried over) and carries the rest.
// Records are handed on in batches, `emit(splats, colours or null, attributes, count)`; the attribute
// record is bytes 12 to 15 of every point record, which all four formats place alike.
template <typename Emit> void parsePoints(const unsigned char* data, size_t n, Emit&& emit) {
    const size_t record = size_t(pointSize) + 12;
    if (pointBuffer.size() != record) {
        pointBuffer.assign(record, 0);
        pointBytesRead = 0; // a carry-over of another record length means nothing now
    }
    const int colorAt = StreamReaders::loadColors ? colorOffset() : -1;
    constexpr size_t kBatch = 256;
    Splat splats[kBatch];
    Color colors[kBatch];
    PointAttributes attributes[kBatch];
    size_t batched = 0;
    // The extents in locals: the globals are written once per chunk.
    int64_t x0 = minX, x1 = maxX, y0 = minY, y1 = maxY, z0 = minZ, z1 = maxZ;
    auto flush = [&] {
        if (batched == 0)
            return;
        emit(splats, colorAt >= 0 ? colors : nullptr, attributes, batched);
        numReadPoints += uint32_t(batched);
        batched = 0;
    };
    auto decode = [&](const unsigned char* p) {
        Splat& s = splats[batched];
        s = Splat{loadLE<int32_t>(p + las_detail::kRecordX), loadLE<int32_t>(p + las_detail::kRecordY),
                  loadLE<int32_t>(p + las_detail::kRecordZ), loadLE<float>(p + pointSize),
                  loadLE<float>(p + pointSize + 4),          loadLE<float>(p + pointSize + 8)};
        x0 = std::min<int64_t>(x0, s.x);
        x1 = std::max<int64_t>(x1, s.x);
        y0 = std::min<int64_t>(y0, s.y);
        y1 = std::max<int64_t>(y1, s.y);
        z0 = std::min<int64_t>(z0, s.z);
        z1 = std::max<int64_t>(z1, s.z);
        attributes[batched] =
            PointAttributes{p[las_detail::kRecordIntensity], p[las_detail::kRecordIntensity + 1],
                            p[las_detail::kRecordReturns], p[las_detail::kRecordClassification]};
        if (colorAt >= 0) {
            const unsigned char* q = p + colorAt;
            colors[batched] =
                Color{uint16_t(q[0] | q[1] << 8), uint16_t(q[2] | q[3] << 8), uint16_t(q[4] | q[5] << 8)};
        }
        if (++batched == kBatch)
            flush();
    };
    size_t at = 0;
    if (pointBytesRead > 0) {
        const size_t take = std::min(record - pointBytesRead, n);
        std::memcpy(pointBuffer.data() + pointBytesRead, data, take);
        pointBytesRead += uint32_t(take);
        at = take;
        if (pointBytesRead < record)
            return;
        decode(pointBuffer.data());
        pointBytesRead = 0;
    }
    for (; n - at >= record; at += record)
        decode(data + at);
    flush();
    minX = x0, maxX = x1, minY = y0, maxY = y1, minZ = z0, maxZ = z1;
    std::memcpy(pointBuffer.data(), data + at, n - at);
    pointBytesRead = uint32_t(n - at);
}

std::string escaped(CURL* curl, const std::string& s) {
    char* e = curl_easy_escape(curl, s.data(), int(s.size()));
    std::string out = e ? e : "";
    curl_free(e);
    return out;
}

CURLcode perform(CURL* curl, const std::string& url, curl_write_callback write, void* data) {
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, data);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    return curl_easy_perform(curl);
}

void reportError(CURLcode code) {
    std::cout << "Error in server response, error code " << int(code) << std::endl;
}

} // namespace

std::string formatBound(double v) {
    std::ostringstream s;
    s.precision(17);
    s << v;
    return s.str();
}

size_t stream_readLines(char* data, size_t size, size_t nmemb, void* lines) {
    const size_t n = size * nmemb;
    auto* list = static_cast<std::vector<std::string>*>(lines);
    for (size_t i = 0; i < n; ++i) {
        if (data[i] == '\n') {
            list->push_back(currentLine);
            currentLine.clear();
        } else {
            currentLine += data[i];
        }
    }
    return n;
}

size_t stream_writeHeader(char* data, size_t size, size_t nmemb, void*) {
    const size_t n = size * nmemb;
    if (headerBuffer.empty()) {
        headerBuffer.assign(kHeaderBlock, 0);
        headerSize = kHeaderBlock;
        headerBytesRead = 0;
    }
    size_t at = 0;
    while (at < n && headerBytesRead < headerSize) {
        const size_t take = std::min<size_t>(n - at, headerSize - headerBytesRead);
        std::memcpy(headerBuffer.data() + headerBytesRead, data + at, take);
        headerBytesRead += uint32_t(take);
        at += take;
        if (headerBytesRead == kHeaderBlock && headerSize == kHeaderBlock) {
            const uint16_t declared = uint16_t(headerBuffer[94] | headerBuffer[95] << 8);
            if (declared > kHeaderBlock) {
                headerSize = declared;
                headerBuffer.resize(declared);
                if (at < n)
                    std::cout << "Copying additional bytes" << std::endl;
            }
        }
    }
    return n;
}

size_t stream_writeInt(char* data, size_t size, size_t nmemb, void*) {
    const size_t n = size * nmemb;
    for (size_t i = 0; i < n; ++i) {
        if (currentPointer >= 4)
            return 0; // more than an integer: abort the transfer
        buffer[currentPointer++] = static_cast<unsigned char>(data[i]);
        if (currentPointer == 4)
            streamInt = loadLE<int32_t>(buffer);
    }
    return n;
}

size_t stream_writePointsLODNormals(char* data, size_t size, size_t nmemb, void* userdata) {
    auto* request = static_cast<LODRequest*>(userdata);
    try {
        parsePoints(reinterpret_cast<const unsigned char*>(data), size * nmemb,
                    [&](const Splat* s, const Color* c, const PointAttributes* a, size_t count) {
                        request->pushSplats(s, c, a, count);
                    });
    } catch (const std::exception& e) {
        // Nothing may unwind through libcurl: fail the transfer instead.
        std::cout << "Error filing points: " << e.what() << std::endl;
        return 0;
    }
    return size * nmemb;
}

size_t stream_writePointsWithNormalsProgressive(char* data, size_t size, size_t nmemb, void*) {
    std::vector<Splat> splats;
    std::vector<Color> colors;
    try {
        parsePoints(reinterpret_cast<const unsigned char*>(data), size * nmemb,
                    [&](const Splat* s, const Color* c, const PointAttributes*, size_t count) {
                        splats.insert(splats.end(), s, s + count);
                        if (c)
                            colors.insert(colors.end(), c, c + count);
                    });
        std::lock_guard lock(splatMutex);
        retrievedSplats.insert(retrievedSplats.end(), splats.begin(), splats.end());
        retrievedColors.insert(retrievedColors.end(), colors.begin(), colors.end());
    } catch (const std::exception& e) {
        std::cout << "Error storing points: " << e.what() << std::endl;
        return 0;
    }
    return size * nmemb;
}

void resetPointStream() {
    pointBytesRead = 0;
}

int ServerRetriever::retrieveDatasetNames(std::vector<std::string>& names) {
    CURL* curl = curl_easy_init();
    if (!curl)
        return 1;
    const CURLcode code = perform(curl, DEFAULT_SERVER + "getDatasetNames", stream_readLines, &names);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) {
        reportError(code);
        return 4;
    }
    return 0;
}

int ServerRetriever::retrieveMetadata(LASHeader& header, int& levels) {
    CURL* curl = curl_easy_init();
    if (!curl)
        return 1;
    const std::string name = escaped(curl, datasetName);
    headerBuffer.clear();
    CURLcode code = perform(curl, DEFAULT_SERVER + "getHeader/" + name, stream_writeHeader, nullptr);
    if (code != CURLE_OK) {
        reportError(code);
        headerBuffer.clear();
        curl_easy_cleanup(curl);
        return 2;
    }
    // A reply cut short would decode as garbage: it is a failed request.
    if (headerBytesRead < kHeaderBlock || headerBytesRead < headerSize) {
        std::cout << "Error in server response, header of " << headerBytesRead << " bytes, expected "
                  << std::max<uint32_t>(headerSize, kHeaderBlock) << std::endl;
        headerBuffer.clear();
        curl_easy_cleanup(curl);
        return 2;
    }
    header.copyFromBuffer(headerBuffer.data());
    headerBuffer.clear();

    const std::string url = DEFAULT_SERVER + "getNumberOfLevels/" + name;
    std::cout << "Requesting number of levels: " << url << std::endl;
    std::memset(buffer, 0, sizeof buffer);
    currentPointer = 0;
    code = perform(curl, url, stream_writeInt, nullptr);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK || currentPointer != 4) {
        reportError(code);
        return 3;
    }
    std::cout << "Number of levels read " << streamInt << std::endl;
    levels = streamInt;
    return 0;
}

void ServerRetriever::retrieveSplats() {
    LASHeader header;
    int levels = 0;
    if (retrieveMetadata(header, levels) != 0)
        return;
    if (header.PointDataFormatID > 3) {
        std::cout << "Error, incorrect point type for retrieval" << std::endl;
        return;
    }
    pointSize = header.PointDataRecordLength;
    pointFormat = header.PointDataFormatID;
    CURL* curl = curl_easy_init();
    if (!curl)
        return;
    const std::string name = escaped(curl, datasetName);
    auto fetch = [&](const std::string& path) {
        resetPointStream();
        const CURLcode code =
            perform(curl, DEFAULT_SERVER + path, stream_writePointsWithNormalsProgressive, nullptr);
        if (code != CURLE_OK)
            reportError(code);
    };
    if (retrievalType == 0) {
        const int n = int(std::ceil(header.NumberOfPointRecords / 100000.0));
        const double w = n > 0 ? (header.Max_X - header.Min_X) / n : 0;
        // Ranges are half-open: the last slab reaches one raw unit past the maximum, and heights and Y
        // cover the header's extent (data below zero included) rather than a fixed positive range.
        std::string rest;
        for (double v : {header.Min_Y - header.ScaleFactor_Y, header.Max_Y + header.ScaleFactor_Y,
                         header.Min_Z - header.ScaleFactor_Z, header.Max_Z + header.ScaleFactor_Z}) {
            rest += '/';
            rest += formatBound(v);
        }
        for (int i = 1; i <= n; ++i) {
            const double x0 = header.Min_X + (i - 1) * w;
            const double x1 = i == n ? header.Max_X + header.ScaleFactor_X : header.Min_X + i * w;
            resetExtents();
            fetch("getRangeNormals/" + name + "/" + formatBound(x0) + "/" + formatBound(x1) + rest);
        }
    } else {
        for (int l = 0; l < levels; ++l)
            fetch("getLODNormals/" + name + "/" + std::to_string(l) + "/" + std::to_string(l));
    }
    curl_easy_cleanup(curl);
}

void ServerRetriever::popSplats(std::vector<Splat>& splats, std::vector<Color>& colors) {
    std::lock_guard lock(splatMutex);
    splats.insert(splats.end(), retrievedSplats.begin(), retrievedSplats.end());
    colors.insert(colors.end(), retrievedColors.begin(), retrievedColors.end());
    retrievedSplats.clear();
    retrievedColors.clear();
}
