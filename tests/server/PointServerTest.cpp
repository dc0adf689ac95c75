// The point server over real HTTP on 127.0.0.1 with libcurl: what a range reply holds, how tiles partition
// a level, and what malformed or hostile requests get.
#include "PointServer.h"
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "LASHeader.h"
#include "SyntheticScene.h"
#include "support/Http.h"
#include "support/LocalPointServer.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cmath>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Records = std::vector<std::string>;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string num(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

// The LAS file as the tests see it: header, records, and each record's world coordinates.
struct LasInput {
    std::string bytes;
    LASHeader h;
    explicit LasInput(const std::string& path) : bytes(slurp(path)) { h.copyFromBuffer(ucharData()); }
    const unsigned char* ucharData() const { return reinterpret_cast<const unsigned char*>(bytes.data()); }
    size_t count() const { return h.NumberOfPointRecords; }
    std::string record(size_t i) const {
        return bytes.substr(h.OffsetToPointData + i * h.PointDataRecordLength, h.PointDataRecordLength);
    }
    double coord(size_t i, int a) const {
        const double s[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
        const double o[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
        int32_t raw;
        std::memcpy(&raw, bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength + 4 * a, 4);
        return double(raw) * s[a] + o[a];
    }
    Records records() const {
        Records r;
        for (size_t i = 0; i < count(); ++i)
            r.push_back(record(i));
        std::sort(r.begin(), r.end());
        return r;
    }
};

// Splits a point reply into records (normals dropped) after checking its length and every normal.
Records splitReply(const std::string& body, size_t recordLength) {
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

double worldOf(const std::string& record, const LASHeader& h, int a) {
    const double s[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    const double o[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    int32_t raw;
    std::memcpy(&raw, record.data() + 4 * a, 4);
    return double(raw) * s[a] + o[a];
}

// How many records lie outside [x0, x1) x [y0, y1).
size_t outside(const Records& records, const LASHeader& h, double x0, double x1, double y0, double y1) {
    size_t n = 0;
    for (const auto& r : records) {
        const double x = worldOf(r, h, 0), y = worldOf(r, h, 1);
        n += !(x >= x0 && x < x1 && y >= y0 && y < y1);
    }
    return n;
}

Records sorted(Records r) {
    std::sort(r.begin(), r.end());
    return r;
}

class ServedScene : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        las_ = dir_->file("scene.las");
        writeSyntheticLAS(las_, SynthOptions{60000, 1, 21});
        importDataset(las_, dir_->file("data"), "scene", 8);
        input_ = new LasInput(las_);
    }
    static void TearDownTestSuite() {
        delete input_;
        delete dir_;
    }
    void SetUp() override { server_ = std::make_unique<LocalPointServer>(dir_->file("data")); }

    HttpReply get(const std::string& path) { return client_.get(server_->base() + path); }
    int levels() {
        auto r = get("getNumberOfLevels/scene");
        EXPECT_EQ(r.body.size(), 4u);
        int32_t v = 0;
        std::memcpy(&v, r.body.data(), std::min<size_t>(4, r.body.size()));
        return v;
    }
    Records range(double x0, double x1, double y0, double y1, int level,
                  const std::string& z = "-999999999.0/999999999.0") {
        auto r = get("getRangeLODNormals/scene/" + num(x0) + "/" + num(x1) + "/" + num(y0) + "/" + num(y1) +
                     "/" + z + "/" + std::to_string(level) + "/" + std::to_string(level));
        EXPECT_EQ(r.status, 200) << r.body;
        Records out = splitReply(r.body, input_->h.PointDataRecordLength);
        EXPECT_EQ(outside(out, input_->h, x0, x1, y0, y1), 0u);
        return out;
    }
    Records level(int l) {
        auto r = get("getLODNormals/scene/" + std::to_string(l) + "/" + std::to_string(l));
        EXPECT_EQ(r.status, 200);
        return splitReply(r.body, input_->h.PointDataRecordLength);
    }

    static void extent(double* lo, double* hi) {
        for (int a = 0; a < 3; ++a) {
            lo[a] = INFINITY;
            hi[a] = -INFINITY;
            for (size_t i = 0; i < input_->count(); ++i) {
                lo[a] = std::min(lo[a], input_->coord(i, a));
                hi[a] = std::max(hi[a], input_->coord(i, a));
            }
        }
    }

    static TempDir* dir_;
    static std::string las_;
    static LasInput* input_;
    std::unique_ptr<LocalPointServer> server_;
    HttpClient client_;
};
TempDir* ServedScene::dir_ = nullptr;
std::string ServedScene::las_;
LasInput* ServedScene::input_ = nullptr;

TEST_F(ServedScene, MetadataAndEveryPointOnceOverTheLevels) {
    auto names = get("getDatasetNames");
    EXPECT_EQ(names.status, 200);
    EXPECT_EQ(names.body, "scene\n");
    auto header = get("getHeader/scene");
    EXPECT_EQ(header.body, input_->bytes.substr(0, input_->h.HeaderSize));

    const int L = levels();
    ASSERT_GE(L, 3);
    Records all;
    std::vector<size_t> counts;
    for (int l = 0; l < L; ++l) {
        Records r = level(l);
        counts.push_back(r.size());
        all.insert(all.end(), r.begin(), r.end());
    }
    EXPECT_TRUE(sorted(all) == input_->records()) << "levels do not hold every input record exactly once";
    for (int l = 0; l + 2 < L; ++l) {
        const double growth = double(counts[size_t(l) + 1]) / double(counts[size_t(l)]);
        EXPECT_GT(growth, 2.5) << "level " << l;
        EXPECT_LT(growth, 6.0) << "level " << l;
    }
    // A level range is the union of its levels; the whole-data-set slab request covers every level.
    auto both = get("getLODNormals/scene/0/" + std::to_string(L - 1));
    EXPECT_TRUE(sorted(splitReply(both.body, input_->h.PointDataRecordLength)) == sorted(all));
    auto slab = get("getRangeNormals/scene/0/1e12/0.0/9999999999.0/0.0/99999999.0");
    EXPECT_TRUE(sorted(splitReply(slab.body, input_->h.PointDataRecordLength)) == sorted(all));
    auto log = server_->log();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log[0].find("\"GET /Varnel/resources/Server/getDatasetNames\" 200 6 "), std::string::npos)
        << log[0];
}

TEST_F(ServedScene, TilesOfAnyGridPartitionEachLevel) {
    double lo[3], hi[3];
    extent(lo, hi);
    // Edges on a regular grid, and edges exactly on point coordinates (the points on an edge belong to the
    // tile above it).
    auto regular = [](double from, double to, int n) {
        std::vector<double> e;
        for (int i = 0; i <= n; ++i)
            e.push_back(from + (to - from) * i / n);
        e.back() = to + 1;
        return e;
    };
    std::vector<double> onPointsX{lo[0], input_->coord(17, 0), input_->coord(4242, 0), hi[0], hi[0] + 1};
    std::vector<double> onPointsY{lo[1], input_->coord(999, 1), input_->coord(31337, 1), hi[1] + 1};
    std::sort(onPointsX.begin(), onPointsX.end());
    std::sort(onPointsY.begin(), onPointsY.end());
    struct Grid {
        std::vector<double> xs, ys;
    };
    const std::vector<Grid> grids{{regular(lo[0], hi[0], 1), regular(lo[1], hi[1], 1)},
                                  {regular(lo[0], hi[0], 3), regular(lo[1], hi[1], 5)},
                                  {regular(lo[0] - 50, hi[0] + 10, 7), regular(lo[1] - 3, hi[1], 6)},
                                  {onPointsX, onPointsY}};
    const int L = levels();
    for (int l = 0; l < L; ++l) {
        const Records whole = sorted(level(l));
        for (size_t g = 0; g < grids.size(); ++g) {
            SCOPED_TRACE("level " + std::to_string(l) + ", grid " + std::to_string(g));
            Records got;
            for (size_t i = 0; i + 1 < grids[g].xs.size(); ++i)
                for (size_t j = 0; j + 1 < grids[g].ys.size(); ++j) {
                    Records t =
                        range(grids[g].xs[i], grids[g].xs[i + 1], grids[g].ys[j], grids[g].ys[j + 1], l);
                    got.insert(got.end(), t.begin(), t.end());
                }
            EXPECT_EQ(got.size(), whole.size());
            EXPECT_TRUE(sorted(got) == whole);
        }
    }
    // Heights split at a point's own height: each point on exactly one side.
    const double zCut = input_->coord(2024, 2);
    const Records whole = sorted(level(L - 1));
    Records below = range(lo[0], hi[0] + 1, lo[1], hi[1] + 1, L - 1, "-999999999.0/" + num(zCut));
    Records above = range(lo[0], hi[0] + 1, lo[1], hi[1] + 1, L - 1, num(zCut) + "/999999999.0");
    EXPECT_FALSE(below.empty());
    EXPECT_FALSE(above.empty());
    below.insert(below.end(), above.begin(), above.end());
    EXPECT_TRUE(sorted(below) == whole);
    // Empty and outside rectangles give empty replies.
    EXPECT_TRUE(range(lo[0], lo[0], lo[1], hi[1], L - 1).empty());
    EXPECT_TRUE(range(hi[0] + 1, hi[0] + 2, lo[1], hi[1], L - 1).empty());
}

TEST_F(ServedScene, MalformedAndHostileRequests) {
    const std::string z = "/-999999999.0/999999999.0/";
    const std::vector<std::pair<std::string, long>> cases{
        {"getRangeLODNormals/scene/abc/1/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene/0/1e999/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene/nan/1/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene/0/inf/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene/-inf/0/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene//1/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene/%201/2/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene/0x10/2/0/1" + z + "0/0", 400},
        {"getRangeLODNormals/scene/5/1/0/1" + z + "0/0", 400}, // reversed rectangle
        {"getRangeLODNormals/scene/0/1/0/1" + z + "-1/0", 400},
        {"getRangeLODNormals/scene/0/1/0/1" + z + "2/1", 400},
        {"getRangeLODNormals/scene/0/1/0/1" + z + "0/99", 400},
        {"getRangeLODNormals/scene/0/1/0/1" + z + "0/2147483648", 400},
        {"getRangeLODNormals/scene/0/1/0/1" + z + "0.5/1", 400},
        {"getRangeLODNormals/scene/0/1/0/1" + z + "0/0/0", 400},
        {"getRangeLODNormals/scene/0/1/0/1", 400},
        {"getRangeLODNormals/scene/0/1/0/1/9/1/0/0", 400}, // reversed heights
        {"getLODNormals/scene/0", 400},
        {"getLODNormals/scene/0/x", 400},
        {"getRangeNormals/scene/0/1/0/1/0", 400},
        {"getHeader/scene%zz", 400},
        {"getHeader/scene%4", 400},
        {"getHeader/scene/extra", 400},
        {"getHeader/nothing", 404},
        {"getHeader/", 404},
        {"getHeader", 404},
        {"getHeader/..%2F..%2F..%2Fetc%2Fpasswd", 404},
        {"getHeader/" + datasetDirName("scene"), 404},
        {"getNumberOfLevels/Scene", 404},
        {"getDatasetNames/more", 404},
        {"getSomethingElse/scene", 404},
        {"", 404},
        {"../../../etc/passwd", 404},
    };
    for (const auto& [path, status] : cases) {
        auto r = get(path);
        EXPECT_EQ(r.code, CURLE_OK) << path;
        EXPECT_EQ(r.status, status) << path << ": " << r.body;
        EXPECT_FALSE(r.body.empty()) << path; // a line telling why
    }
    EXPECT_EQ(client_.get("http://127.0.0.1:" + std::to_string(server_->port()) + "/elsewhere").status, 404);

    // Raw bytes no HTTP client would send, and a client that leaves in the middle of a long reply.
    auto rawExchange = [&](const std::string& bytes, size_t readAtMost) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(server_->port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        (void)!send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        std::string got(readAtMost, '\0');
        ssize_t n = recv(fd, got.data(), got.size(), 0);
        close(fd);
        return got.substr(0, n > 0 ? size_t(n) : 0);
    };
    EXPECT_EQ(rawExchange(std::string("\0\x01\xff garbage\r\n\r\n", 16), 64).rfind("HTTP/1.1 400", 0), 0u);
    EXPECT_EQ(
        rawExchange(
            "POST /Varnel/resources/Server/getDatasetNames HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n",
            64)
            .rfind("HTTP/1.1 405", 0),
        0u);
    rawExchange("GET /Varnel/resources/Server/getHeader/" + std::string(200000, 'a') + " HTTP/1.1\r\n\r\n",
                64);
    rawExchange("GET /Varnel/resources/Server/getLODNormals/scene/0/" + std::to_string(levels() - 1) +
                    " HTTP/1.1\r\nHost: x\r\n\r\n",
                10);
    rawExchange("GET /Varnel/resources/Server/getHeader/scene HTTP/1.1\r\nHost: x\r\nContent-Length: "
                "99999999\r\n\r\nabc",
                10);
    // Still serving, and nothing it sent was partial.
    EXPECT_EQ(get("getHeader/scene").body, input_->bytes.substr(0, input_->h.HeaderSize));
}

TEST_F(ServedScene, SixteenConcurrentClientsGetWhatOneClientGets) {
    const int L = levels();
    double lo[3], hi[3];
    extent(lo, hi);
    const double w = (hi[0] - lo[0]) / 4, h = (hi[1] - lo[1]) / 3;
    std::vector<std::string> paths;
    for (int l = 0; l < L; ++l)
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 3; ++j)
                paths.push_back("getRangeLODNormals/scene/" + num(lo[0] + w * i) + "/" +
                                num(lo[0] + w * (i + 1)) + "/" + num(lo[1] + h * j) + "/" +
                                num(lo[1] + h * (j + 1)) + "/-999999999.0/999999999.0/" + std::to_string(l) +
                                "/" + std::to_string(l));
    std::vector<std::string> serial;
    for (const auto& p : paths)
        serial.push_back(get(p).body);
    size_t nonEmpty = std::count_if(serial.begin(), serial.end(), [](auto& s) { return !s.empty(); });
    ASSERT_GT(nonEmpty, paths.size() / 2) << "the tiles miss the scene";

    std::vector<size_t> mismatches(16, 0);
    std::vector<std::thread> clients;
    const std::string base = server_->base();
    for (size_t c = 0; c < 16; ++c)
        clients.emplace_back([&, c] {
            HttpClient client;
            for (size_t k = 0; k < paths.size(); ++k) {
                size_t i = (k + c * 7) % paths.size();
                auto r = client.get(base + paths[i]);
                mismatches[c] += r.status != 200 || r.body != serial[i];
            }
        });
    for (auto& t : clients)
        t.join();
    for (size_t c = 0; c < 16; ++c)
        EXPECT_EQ(mismatches[c], 0u) << "client " << c;
}

// A GET with extra request fields, its status, body and Content-Range kept.
struct FieldReply {
    long status = 0;
    std::string body, contentRange;
    bool acceptRanges = false;
};
FieldReply getWith(CURL* curl, const std::string& url, const std::vector<std::string>& fields) {
    FieldReply r;
    curl_slist* list = nullptr;
    for (const auto& f : fields)
        list = curl_slist_append(list, f.c_str());
    auto body = +[](char* d, size_t, size_t n, void* out) {
        static_cast<std::string*>(out)->append(d, n);
        return n;
    };
    auto header = +[](char* d, size_t, size_t n, void* out) {
        auto* r = static_cast<FieldReply*>(out);
        std::string line(d, n);
        for (size_t i = 0; i < line.size() && line[i] != ':'; ++i)
            line[i] = char(std::tolower(static_cast<unsigned char>(line[i])));
        if (line.rfind("content-range: ", 0) == 0)
            r->contentRange = line.substr(15, line.find_last_not_of("\r\n") - 14);
        r->acceptRanges |= line.rfind("accept-ranges: bytes", 0) == 0;
        return n;
    };
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK) << url;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(list);
    return r;
}

// A byte range of any reply is those bytes of the whole reply: point replies sent straight from the mapped
// levels, gathered from cells cut by the rectangle, or tested record by record; and replies held whole.
TEST_F(ServedScene, ByteRangesOfEveryReplyAreItsBytes) {
    const int L = levels();
    double lo[3], hi[3];
    extent(lo, hi);
    const std::string last = std::to_string(L - 1);
    const std::string half =
        num(lo[0]) + "/" + num((lo[0] + hi[0]) / 2) + "/" + num(lo[1]) + "/" + num(hi[1] + 1);
    const std::vector<std::string> paths{
        "getLODNormals/scene/" + last + "/" + last,
        "getRangeLODNormals/scene/" + half + "/-999999999.0/999999999.0/" + last + "/" + last,
        "getRangeLODNormals/scene/" + half + "/-999999999.0/" + num((lo[2] + hi[2]) / 2) + "/0/" + last,
        "getHeader/scene",
        "getDatasetNames",
    };
    CURL* curl = curl_easy_init();
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        const FieldReply whole = getWith(curl, server_->base() + path, {});
        ASSERT_EQ(whole.status, 200);
        EXPECT_TRUE(whole.acceptRanges);
        const uint64_t n = whole.body.size();
        ASSERT_GE(n, 6u);
        const std::string N = std::to_string(n);
        struct Case {
            std::string range;
            uint64_t first, count;
        };
        const uint64_t mid = n / 2 + (n > 100 ? 13 : 1), far = n - 5; // inside a record; across the end
        const std::vector<Case> partial{
            {"bytes=1-3", 1, 3},
            {"bytes=" + std::to_string(mid) + "-" + std::to_string(mid + 150000), mid,
             std::min(n - mid, uint64_t(150001))},
            {"bytes=" + std::to_string(far) + "-" + std::to_string(n + 1000), far, 5},
            {"bytes=" + std::to_string(n / 3) + "-", n / 3, n - n / 3},
            {"bytes=-5", n - 5, 5},
            {"bytes=-" + std::to_string(n + 7), 0, n},
            {"bytes=0-0", 0, 1},
            {"Bytes=2-4", 2, 3},
        };
        for (const auto& c : partial) {
            SCOPED_TRACE(c.range);
            const FieldReply r = getWith(curl, server_->base() + path, {"Range: " + c.range});
            EXPECT_EQ(r.status, 206);
            EXPECT_EQ(r.contentRange, "bytes " + std::to_string(c.first) + "-" +
                                          std::to_string(c.first + c.count - 1) + "/" + N);
            EXPECT_TRUE(r.body == whole.body.substr(c.first, c.count))
                << r.body.size() << " bytes, " << c.count << " expected";
        }
        // Not honoured: the whole reply.
        for (const std::vector<std::string>& fields :
             std::vector<std::vector<std::string>>{{"Range: bytes=0-1,4-5"},
                                                   {"Range: items=0-5"},
                                                   {"Range: bytes=5-3"},
                                                   {"Range: bytes=x-"},
                                                   {"Range: bytes=0-2", "If-Range: \"x\""}}) {
            const FieldReply r = getWith(curl, server_->base() + path, fields);
            EXPECT_EQ(r.status, 200) << fields[0];
            EXPECT_TRUE(r.body == whole.body) << fields[0];
        }
        for (const std::string& range :
             {"bytes=" + N + "-", "bytes=" + N + "-" + N, std::string("bytes=-0")}) {
            const FieldReply r = getWith(curl, server_->base() + path, {"Range: " + range});
            EXPECT_EQ(r.status, 416) << range;
            EXPECT_EQ(r.contentRange, "bytes */" + N) << range;
        }
    }
    // Failures are never cut.
    const FieldReply missing = getWith(curl, server_->base() + "getHeader/nothing", {"Range: bytes=0-3"});
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, "unknown data set 'nothing'\n");
    curl_easy_cleanup(curl);
}

// A data set whose records carry extra bytes, served under names that need escaping.
TEST(PointServer, ExtraBytesAndNamesNeedingEscapes) {
    TempDir dir;
    std::string las = dir.file("in.las");
    writeSyntheticLAS(las, SynthOptions{3000, 3, 4});
    // Widen every record by 5 extra bytes, as some real files do.
    LasInput plain(las);
    std::string wide = plain.bytes.substr(0, plain.h.OffsetToPointData);
    const uint16_t recLen = uint16_t(plain.h.PointDataRecordLength + 5);
    std::memcpy(wide.data() + 105, &recLen, 2);
    for (size_t i = 0; i < plain.count(); ++i)
        wide += plain.record(i) + std::string("\x01\x02\x03") + char(i) + char(i >> 8);
    { std::ofstream(dir.file("wide.las"), std::ios::binary) << wide; }
    const std::vector<std::string> names{"with space", "a/b", "100%", "\xc3\xbc\xc3\xa9", "...", "q?x=1&y#z"};
    for (const auto& n : names)
        importDataset(dir.file("wide.las"), dir.file("data"), n, 8);

    LocalPointServer server(dir.file("data"));
    HttpClient client;
    auto list = client.get(server.base() + "getDatasetNames").body;
    std::string expected;
    std::vector<std::string> sortedNames = names;
    std::sort(sortedNames.begin(), sortedNames.end());
    for (const auto& n : sortedNames)
        expected += n + "\n";
    EXPECT_EQ(list, expected);

    LasInput in(dir.file("wide.las"));
    for (const auto& n : names) {
        SCOPED_TRACE(n);
        const std::string e = client.escape(n);
        EXPECT_EQ(client.get(server.base() + "getHeader/" + e).body, in.bytes.substr(0, in.h.HeaderSize));
        auto count = client.get(server.base() + "getNumberOfLevels/" + e).body;
        ASSERT_EQ(count.size(), 4u);
        int32_t L;
        std::memcpy(&L, count.data(), 4);
        auto all = client.get(server.base() + "getLODNormals/" + e + "/0/" + std::to_string(L - 1));
        ASSERT_EQ(all.status, 200);
        EXPECT_TRUE(sorted(splitReply(all.body, recLen)) == in.records());
    }
}

// Range replies cut cells by bisection over their records' X order. They stay exact where X's scale is
// negative (the order runs the other way in raw values) and for data sets written without that order.
TEST(PointServer, RangeRepliesForMirroredScalesAndUnorderedCells) {
    TempDir dir;
    writeSyntheticLAS(dir.file("in.las"), SynthOptions{20000, 1, 5});
    LasInput in(dir.file("in.las"));
    // The same world coordinates with X's scale and every raw X negated.
    std::string mirrored = in.bytes;
    const double negScale = -in.h.ScaleFactor_X;
    std::memcpy(mirrored.data() + 131, &negScale, 8);
    auto flipX = [](std::string& bytes, size_t at) {
        int32_t raw;
        std::memcpy(&raw, bytes.data() + at, 4);
        raw = -raw;
        std::memcpy(bytes.data() + at, &raw, 4);
    };
    for (size_t i = 0; i < in.count(); ++i)
        flipX(mirrored, in.h.OffsetToPointData + i * in.h.PointDataRecordLength);
    { std::ofstream(dir.file("mirrored.las"), std::ios::binary) << mirrored; }
    const std::string data = dir.file("data");
    importDataset(dir.file("in.las"), data, "plain", 8);
    importDataset(dir.file("mirrored.las"), data, "mirrored", 8);
    importDataset(dir.file("in.las"), data, "unordered", 8);
    const std::string levelsFile = data + "/" + datasetDirName("unordered") + "/levels";
    std::string levels = slurp(levelsFile);
    ASSERT_EQ(levels.substr(levels.size() - 8), "order x\n");
    { std::ofstream(levelsFile, std::ios::binary) << levels.substr(0, levels.size() - 8); }
    std::filesystem::remove(data + "/" + datasetDirName("unordered") +
                            "/manifest"); // as old data sets have none

    LocalPointServer server(data);
    HttpClient client;
    const size_t recLen = in.h.PointDataRecordLength;
    auto range = [&](const std::string& name, double x0, double x1, double y0, double y1, int l) {
        auto r =
            client.get(server.base() + "getRangeLODNormals/" + name + "/" + num(x0) + "/" + num(x1) + "/" +
                       num(y0) + "/" + num(y1) + "/-1e9/1e9/" + std::to_string(l) + "/" + std::to_string(l));
        EXPECT_EQ(r.status, 200);
        return splitReply(r.body, recLen);
    };
    double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
    for (size_t i = 0; i < in.count(); ++i)
        for (int a = 0; a < 2; ++a) {
            lo[a] = std::min(lo[a], in.coord(i, a));
            hi[a] = std::max(hi[a], in.coord(i, a));
        }
    // Tile edges on a grid and on points' own coordinates.
    std::vector<double> xs{lo[0] - 1, in.coord(3, 0), in.coord(777, 0)}, ys{lo[1] - 1, in.coord(5, 1)};
    for (int i = 1; i < 9; ++i) {
        xs.push_back(lo[0] + (hi[0] - lo[0]) * i / 9.3);
        ys.push_back(lo[1] + (hi[1] - lo[1]) * i / 7.1);
    }
    xs.push_back(hi[0] + 1);
    ys.push_back(hi[1] + 1);
    std::sort(xs.begin(), xs.end());
    std::sort(ys.begin(), ys.end());
    int32_t L = 0;
    std::memcpy(&L, client.get(server.base() + "getNumberOfLevels/plain").body.data(), 4);
    ASSERT_GE(L, 2);
    Records all;
    for (int l = 0; l < L; ++l)
        for (size_t i = 0; i + 1 < xs.size(); ++i)
            for (size_t j = 0; j + 1 < ys.size(); ++j) {
                SCOPED_TRACE("level " + std::to_string(l) + " tile " + std::to_string(i) + "," +
                             std::to_string(j));
                const Records plain = range("plain", xs[i], xs[i + 1], ys[j], ys[j + 1], l);
                EXPECT_EQ(outside(plain, in.h, xs[i], xs[i + 1], ys[j], ys[j + 1]), 0u);
                EXPECT_TRUE(sorted(range("unordered", xs[i], xs[i + 1], ys[j], ys[j + 1], l)) ==
                            sorted(plain));
                Records back = range("mirrored", xs[i], xs[i + 1], ys[j], ys[j + 1], l);
                for (auto& r : back)
                    flipX(r, 0);
                EXPECT_TRUE(sorted(back) == sorted(plain));
                all.insert(all.end(), plain.begin(), plain.end());
            }
    EXPECT_TRUE(sorted(all) == in.records()) << "the tiles do not partition the data set";
}

// Every real sample, served: header, level count, and each record once over the levels.
TEST(PointServer, RealSamples) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LAS samples in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    for (const auto& s : samples)
        importDataset(s.path, dir.file("data"), s.name, 8);
    LocalPointServer server(dir.file("data"));
    HttpClient client;
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        LasInput in(s.path);
        const std::string e = client.escape(s.name);
        EXPECT_EQ(client.get(server.base() + "getHeader/" + e).body,
                  in.bytes.substr(0, std::max<size_t>(227, in.h.HeaderSize)));
        auto count = client.get(server.base() + "getNumberOfLevels/" + e).body;
        ASSERT_EQ(count.size(), 4u);
        int32_t L;
        std::memcpy(&L, count.data(), 4);
        ASSERT_GE(L, 1);
        Records all, last;
        for (int l = 0; l < L; ++l) {
            auto r = client.get(server.base() + "getLODNormals/" + e + "/" + std::to_string(l) + "/" +
                                std::to_string(l));
            last = splitReply(r.body, in.h.PointDataRecordLength);
            all.insert(all.end(), last.begin(), last.end());
        }
        EXPECT_TRUE(sorted(all) == in.records());
        // Tiles of the last level over the points' own extent (real headers do not always bound them).
        double lo[2] = {INFINITY, INFINITY}, hi[2] = {-INFINITY, -INFINITY};
        for (size_t i = 0; i < in.count(); ++i)
            for (int a = 0; a < 2; ++a) {
                lo[a] = std::min(lo[a], in.coord(i, a));
                hi[a] = std::max(hi[a], in.coord(i, a));
            }
        Records tiled;
        const int n = 5;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const double x0 = lo[0] + (hi[0] - lo[0]) * i / n,
                             x1 = i + 1 == n ? hi[0] + 1 : lo[0] + (hi[0] - lo[0]) * (i + 1) / n;
                const double y0 = lo[1] + (hi[1] - lo[1]) * j / n,
                             y1 = j + 1 == n ? hi[1] + 1 : lo[1] + (hi[1] - lo[1]) * (j + 1) / n;
                auto r = client.get(server.base() + "getRangeLODNormals/" + e + "/" + num(x0) + "/" +
                                    num(x1) + "/" + num(y0) + "/" + num(y1) + "/-1e12/1e12/" +
                                    std::to_string(L - 1) + "/" + std::to_string(L - 1));
                Records t = splitReply(r.body, in.h.PointDataRecordLength);
                EXPECT_EQ(outside(t, in.h, x0, x1, y0, y1), 0u);
                tiled.insert(tiled.end(), t.begin(), t.end());
            }
        EXPECT_TRUE(sorted(tiled) == sorted(last)) << "tiles of the last level do not partition it";
    }
}

// Data sets that fail their checks are skipped with a reason; the others are served.
TEST(PointServer, DamagedDataSetsAreSkipped) {
    TempDir dir;
    std::string las = dir.file("in.las");
    writeSyntheticLAS(las, SynthOptions{2000, 0, 9});
    const std::string data = dir.file("data");
    for (const char* n : {"good", "short pts", "bad idx", "no header"})
        importDataset(las, data, n, 8);
    auto path = [&](const char* n, const std::string& f) { return data + "/" + datasetDirName(n) + "/" + f; };
    std::filesystem::resize_file(path("short pts", "level-0.pts"), 13);
    {
        std::fstream f(path("bad idx", "level-0.idx"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(8);
        f.write("\xff\xff\xff\xff\xff\xff\xff\x7f", 8);
    }
    std::filesystem::remove(path("no header", "header"));
    std::vector<std::string> problems;
    DatasetStore store = DatasetStore::load(data, &problems);
    EXPECT_EQ(store.names(), std::vector<std::string>{"good"});
    ASSERT_EQ(problems.size(), 3u);
    std::string all;
    for (const auto& p : problems)
        all += p + "\n";
    for (const char* what :
         {"level-0.idx: entry 1 is out of order", "level-0.pts: size does not match", "/header: cannot read"})
        EXPECT_NE(all.find(what), std::string::npos) << all;
    EXPECT_THROW(DatasetStore::load(dir.file("missing")), std::runtime_error);
}

} // namespace
