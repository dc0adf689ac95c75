#pragma once
// Helpers of the point server's tests: whole files, data set directories, point replies and raw sockets.
#include "DatasetFormat.h"
#include "DatasetImport.h"
#include "SyntheticScene.h"
#include "support/Http.h"
#include "support/LasTiles.h"
#include "support/LocalPointServer.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <poll.h>
#include <sys/socket.h>

inline std::string slurp(const std::string& path) {
    const auto b = readBytes(path);
    return {b.begin(), b.end()};
}
inline void spit(const std::string& path, const std::string& b) {
    writeBytes(path, {b.begin(), b.end()});
}

inline std::string num(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

template <typename T> T le(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v); // the build targets little-endian machines only
    return v;
}

// Every file under dir by relative name, a directory as an empty entry.
using Contents = std::map<std::string, std::string>;
inline Contents contentsOf(const std::filesystem::path& dir) {
    Contents out;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir))
        out[std::filesystem::relative(e.path(), dir).string()] = e.is_regular_file() ? slurp(e.path()) : "";
    return out;
}
using Records = std::vector<std::string>;
template <typename T> std::vector<T> sorted(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// A point reply as its records, sorted (normals dropped unless kept); its length whole, normals unit and up.
inline Records splitReply(const std::string& body, size_t recordLength, bool keepNormals = false) {
    const size_t wire = recordLength + 12;
    EXPECT_EQ(body.size() % wire, 0u);
    Records out;
    size_t bad = 0;
    for (size_t at = 0; at + wire <= body.size(); at += wire) {
        out.push_back(body.substr(at, keepNormals ? wire : recordLength));
        float n[3];
        std::memcpy(n, body.data() + at + recordLength, 12);
        bad += !(std::fabs(std::hypot(double(n[0]), double(n[1]), double(n[2])) - 1) < 1e-4 && n[2] >= 0.0f);
    }
    EXPECT_EQ(bad, 0u) << "normals that are not unit length with z >= 0";
    return sorted(out);
}

inline double worldOf(const char* record, const LASHeader& h, int a) {
    const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z},
                 offset[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    return le<int32_t>(record + 4 * a) * scale[a] + offset[a];
}

// A LAS file as the tests see it: header, records, world coordinates and the points' extent.
struct LasInput {
    std::string bytes;
    LASHeader h;
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    explicit LasInput(const std::string& path) : bytes(slurp(path)) {
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        for (size_t i = 0; i < count(); ++i)
            for (int a = 0; a < 3; ++a)
                lo[a] = std::min(lo[a], coord(i, a)), hi[a] = std::max(hi[a], coord(i, a));
    }
    size_t count() const { return h.NumberOfPointRecords; }
    std::string header() const { return bytes.substr(0, std::max<size_t>(227, h.HeaderSize)); }
    const char* at(size_t i) const { return &bytes[h.OffsetToPointData + i * h.PointDataRecordLength]; }
    std::string record(size_t i) const { return std::string(at(i), h.PointDataRecordLength); }
    double coord(size_t i, int a) const { return worldOf(at(i), h, a); }
    Records records() const {
        Records r;
        for (size_t i = 0; i < count(); ++i)
            r.push_back(record(i));
        return sorted(r);
    }
};

// The LAS file `in` with `extra` bytes more per record, varying from record to record, as some files carry.
inline void widen(const std::string& in, const std::string& out, size_t extra) {
    const LasInput las(in);
    std::string bytes = las.bytes.substr(0, las.h.OffsetToPointData);
    const uint16_t length = uint16_t(las.h.PointDataRecordLength + extra);
    std::memcpy(bytes.data() + 105, &length, 2);
    for (size_t i = 0; i < las.count(); ++i) {
        bytes += las.record(i);
        for (size_t k = 0; k < extra; ++k)
            bytes += char(i >> (8 * (k % 2)));
    }
    spit(out, bytes);
}

using Clock = std::chrono::steady_clock;
inline double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

const std::string kBase{kServerBasePath};
inline std::string request(const std::string& path, const std::string& fields = "") {
    return "GET " + kBase + path + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n";
}

// A client socket on 127.0.0.1 driven byte by byte.
struct RawClient {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool connected = false;
    explicit RawClient(int port, int receiveBuffer = 0) {
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
        connected = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd); }
    RawClient(const RawClient&) = delete;
    bool send(std::string_view bytes) {
        for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(size_t(n)))
            if ((n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0)
                return false;
        return true;
    }
    // What arrives until closed (`closed` says so), `seconds` pass or `atMost` bytes came.
    std::string receive(double seconds, bool* closed = nullptr, size_t atMost = SIZE_MAX) {
        std::string got;
        bool ended = false;
        for (const auto t0 = Clock::now(); !ended && got.size() < atMost && secondsSince(t0) < seconds;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int((seconds - secondsSince(t0)) * 1000) + 1) <= 0)
                continue;
            char b[65536];
            const ssize_t n = recv(fd, b, std::min(sizeof b, atMost - got.size()), 0);
            ended = n <= 0;
            got.append(b, size_t(std::max<ssize_t>(n, 0)));
        }
        if (closed)
            *closed = ended;
        return got;
    }
};

// Edges on a regular grid from `from` to past `to`, with `extra` edges (points' own coordinates) added.
inline std::vector<double> edges(double from, double to, int n, std::vector<double> extra = {}) {
    for (int i = 0; i < n; ++i)
        extra.push_back(from + (to - from) * i / n);
    extra.push_back(to + 1);
    return sorted(extra);
}

// A query's arguments after the data set's name: the rectangle, heights and level l (to l1 when given).
inline std::string rect(double x0, double x1, double y0, double y1, int l, std::string z = "-1e12/1e12",
                        int l1 = -1) {
    return "/" + num(x0) + "/" + num(x1) + "/" + num(y0) + "/" + num(y1) + "/" + z + "/" + std::to_string(l) +
           "/" + std::to_string(l1 < 0 ? l : l1);
}

// A served data set as the client sees it.
struct Served {
    HttpClient& http;
    std::string base, name;
    const LasInput& in;
    std::string get(const std::string& op, const std::string& args = "") {
        const HttpReply r = http.get(base + op + "/" + http.escape(name) + args);
        EXPECT_EQ(r.status, 200) << op << args << ": " << r.body;
        return r.body;
    }
    int levels() {
        const std::string v = get("getNumberOfLevels");
        return v.size() == 4 ? le<int32_t>(v.data()) : 0;
    }
    Records level(int l0, int l1) {
        return splitReply(get("getLODNormals", "/" + std::to_string(l0) + "/" + std::to_string(l1)),
                          in.h.PointDataRecordLength);
    }
    // The records of a rectangle on one level, none outside [x0, x1) x [y0, y1).
    Records range(double x0, double x1, double y0, double y1, int l, const std::string& z = "-1e12/1e12") {
        const Records out =
            splitReply(get("getRangeLODNormals", rect(x0, x1, y0, y1, l, z)), in.h.PointDataRecordLength);
        size_t outside = 0;
        for (const auto& r : out) {
            const double x = worldOf(r.data(), in.h, 0), y = worldOf(r.data(), in.h, 1);
            outside += !(x >= x0 && x < x1 && y >= y0 && y < y1);
        }
        EXPECT_EQ(outside, 0u);
        return out;
    }
    // The header, every record once over the levels, and the tiles of each grid partitioning each level.
    void expectPartitions(const std::vector<std::pair<std::vector<double>, std::vector<double>>>& grids) {
        EXPECT_EQ(get("getHeader"), in.header());
        const int L = levels();
        ASSERT_GE(L, 1);
        Records all;
        for (int l = 0; l < L; ++l) {
            const Records whole = level(l, l);
            all.insert(all.end(), whole.begin(), whole.end());
            for (size_t g = 0; g < grids.size(); ++g) {
                SCOPED_TRACE("level " + std::to_string(l) + ", grid " + std::to_string(g));
                const auto& [xs, ys] = grids[g];
                Records got;
                for (size_t i = 0; i + 1 < xs.size(); ++i)
                    for (size_t j = 0; j + 1 < ys.size(); ++j) {
                        const Records t = range(xs[i], xs[i + 1], ys[j], ys[j + 1], l);
                        got.insert(got.end(), t.begin(), t.end());
                    }
                EXPECT_TRUE(sorted(got) == whole);
            }
        }
        EXPECT_TRUE(sorted(all) == in.records()) << "levels do not hold every input record exactly once";
    }
};
