#pragma once
// Helpers of the point server's tests: whole files, data set directories, point replies and raw sockets.
#include "DatasetFormat.h"
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "LASHeader.h"
#include "PointServer.h"
#include "PointServerAddress.h"
#include "SyntheticScene.h"
#include "TestConfig.h"
#include "support/Http.h"
#include "support/LasTiles.h"
#include "support/LocalPointServer.h"
#include "support/RunProcess.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <numeric>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Whole file in one read.
inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::string out(size_t(in.tellg()), '\0');
    in.seekg(0);
    in.read(out.data(), std::streamsize(out.size()));
    return out;
}
inline void spit(const std::string& path, const std::string& bytes) {
    writeBytes(path, std::vector<unsigned char>(bytes.begin(), bytes.end()));
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
inline std::string listing(const Contents& c) {
    std::string s;
    for (auto& [k, v] : c)
        s += k + " (" + std::to_string(v.size()) + " bytes)\n";
    return s;
}

using Records = std::vector<std::string>;
inline Records sorted(Records r) {
    std::sort(r.begin(), r.end());
    return r;
}

// A point reply as its records (normals dropped), checking its length and that normals are unit and up.
inline Records splitReply(const std::string& body, size_t recordLength) {
    const size_t wire = recordLength + 12;
    EXPECT_EQ(body.size() % wire, 0u);
    Records out;
    size_t bad = 0;
    for (size_t at = 0; at + wire <= body.size(); at += wire) {
        out.push_back(body.substr(at, recordLength));
        float n[3];
        std::memcpy(n, body.data() + at + recordLength, 12);
        const double len = std::sqrt(double(n[0]) * n[0] + double(n[1]) * n[1] + double(n[2]) * n[2]);
        bad += !(std::fabs(len - 1.0) < 1e-4 && n[2] >= 0.0f);
    }
    EXPECT_EQ(bad, 0u) << "normals that are not unit length with z >= 0";
    return out;
}

inline double worldOf(const char* record, const LASHeader& h, int a) {
    const double s[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    const double o[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    return double(le<int32_t>(record + 4 * a)) * s[a] + o[a];
}

// How many records lie outside [x0, x1) x [y0, y1).
inline size_t outside(const Records& records, const LASHeader& h, double x0, double x1, double y0,
                      double y1) {
    size_t n = 0;
    for (const auto& r : records) {
        const double x = worldOf(r.data(), h, 0), y = worldOf(r.data(), h, 1);
        n += !(x >= x0 && x < x1 && y >= y0 && y < y1);
    }
    return n;
}

// A LAS file as the tests see it: header, records, world coordinates and the points' extent.
struct LasInput {
    std::string bytes;
    LASHeader h;
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    explicit LasInput(const std::string& path) : bytes(slurp(path)) {
        h.copyFromBuffer(reinterpret_cast<const unsigned char*>(bytes.data()));
        for (size_t i = 0; i < count(); ++i)
            for (int a = 0; a < 3; ++a) {
                lo[a] = std::min(lo[a], coord(i, a));
                hi[a] = std::max(hi[a], coord(i, a));
            }
    }
    size_t count() const { return h.NumberOfPointRecords; }
    std::string header() const { return bytes.substr(0, std::max<size_t>(227, h.HeaderSize)); }
    const char* at(size_t i) const {
        return bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength;
    }
    std::string record(size_t i) const { return std::string(at(i), h.PointDataRecordLength); }
    double coord(size_t i, int a) const { return worldOf(at(i), h, a); }
    Records records() const {
        Records r;
        for (size_t i = 0; i < count(); ++i)
            r.push_back(record(i));
        return sorted(r);
    }
};

// The LAS file `in` with `extra` bytes more per record, varying from record to record, as some real files
// carry them.
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
class RawClient {
public:
    explicit RawClient(int port, int receiveBuffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~RawClient() { close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            bytes.remove_prefix(size_t(n));
        }
        return true;
    }
    // What arrives until closed (`closed` says so), `seconds` pass or `atMost` bytes came.
    std::string readUntilClosed(double seconds, bool* closed = nullptr, size_t atMost = SIZE_MAX) {
        return read(seconds, closed, false, atMost);
    }
    // One reply: its head and as many bytes as its Content-Length says (or what came within `seconds`).
    std::string readReply(double seconds) { return read(seconds, nullptr, true, SIZE_MAX); }

private:
    static bool wholeReply(const std::string& got) {
        const size_t head = got.find("\r\n\r\n"), length = got.find("Content-Length: ");
        return head != std::string::npos && length < head &&
               got.size() >= head + 4 + std::stoull(got.substr(length + 16));
    }
    std::string read(double seconds, bool* closed, bool oneReply, size_t atMost) {
        std::string got;
        const auto t0 = Clock::now();
        bool ended = false;
        for (double left = seconds; left > 0 && got.size() < atMost && !(oneReply && wholeReply(got));
             left = seconds - secondsSince(t0)) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(left * 1000) + 1) <= 0)
                continue;
            char b[65536];
            const ssize_t n = recv(fd_, b, std::min(sizeof b, atMost - got.size()), 0);
            if (n <= 0) {
                ended = true;
                break;
            }
            got.append(b, size_t(n));
        }
        if (closed)
            *closed = ended;
        return got;
    }

    int fd_ = -1;
    bool connected_ = false;
};

// Edges on a regular grid from `from` to past `to`, with `extra` edges (points' own coordinates) added.
inline std::vector<double> edges(double from, double to, int n, std::vector<double> extra = {}) {
    for (int i = 0; i < n; ++i)
        extra.push_back(from + (to - from) * i / n);
    extra.push_back(to + 1);
    std::sort(extra.begin(), extra.end());
    return extra;
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
    Records range(double x0, double x1, double y0, double y1, int l, const std::string& z = "-1e12/1e12") {
        Records out = splitReply(get("getRangeLODNormals", "/" + num(x0) + "/" + num(x1) + "/" + num(y0) +
                                                               "/" + num(y1) + "/" + z + "/" +
                                                               std::to_string(l) + "/" + std::to_string(l)),
                                 in.h.PointDataRecordLength);
        EXPECT_EQ(outside(out, in.h, x0, x1, y0, y1), 0u);
        return out;
    }
    // The header, every record once over the levels, and the tiles of each grid partitioning each level.
    void expectPartitions(const std::vector<std::pair<std::vector<double>, std::vector<double>>>& grids) {
        EXPECT_EQ(get("getHeader"), in.header());
        const int L = levels();
        ASSERT_GE(L, 1);
        Records all;
        for (int l = 0; l < L; ++l) {
            const Records whole = sorted(level(l, l));
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
