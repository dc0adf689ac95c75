// The point server against clients that hold connections without finishing requests, read nothing, send
// without end or keep it busy: others are still answered at once, each phase of a connection ends on its
// deadline, request heads are bounded, excess connections are refused, and a stop is prompt whatever the
// clients do. Real sockets and libcurl on 127.0.0.1; the pontaro-server program where its memory or its
// signals are what is checked.
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "PointServer.h"
#include "PointServerAddress.h"
#include "SyntheticScene.h"
#include "TestConfig.h"
#include "support/Http.h"
#include "support/LocalPointServer.h"
#include "support/RunProcess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Sanitizers slow the server several times over; the bounds below are for a plain build.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kSlowdown = 5;
#else
constexpr double kSlowdown = 1;
#endif

// A client socket driven byte by byte.
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
    // What arrives until the server closes the connection or `seconds` pass; `closed` says which.
    std::string readUntilClosed(double seconds, bool* closed = nullptr) {
        return read(seconds, closed, false);
    }
    // One reply: its head and as many bytes as its Content-Length says (or what came within `seconds`).
    std::string readReply(double seconds) { return read(seconds, nullptr, true); }

private:
    static bool wholeReply(const std::string& got) {
        const size_t head = got.find("\r\n\r\n"), length = got.find("Content-Length: ");
        return head != std::string::npos && length < head &&
               got.size() >= head + 4 + std::stoull(got.substr(length + 16));
    }
    std::string read(double seconds, bool* closed, bool oneReply) {
        std::string got;
        const auto t0 = Clock::now();
        bool ended = false;
        for (double left = seconds; left > 0 && !(oneReply && wholeReply(got));
             left = seconds - secondsSince(t0)) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(left * 1000) + 1) <= 0)
                continue;
            char b[65536];
            const ssize_t n = recv(fd_, b, sizeof b, 0);
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

const std::string kBase{kServerBasePath};

std::string request(const std::string& path, const std::string& fields = "") {
    return "GET " + kBase + path + " HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n";
}

// One request on a fresh connection, as a new viewer makes it; its status and how long it took.
std::pair<long, double> freshGet(const std::string& url) {
    CURL* c = curl_easy_init();
    std::string body;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(
        c, CURLOPT_WRITEFUNCTION, +[](char*, size_t, size_t n, void*) { return n; });
    const auto t0 = Clock::now();
    const CURLcode code = curl_easy_perform(c);
    const double took = secondsSince(t0);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(c);
    return {code == CURLE_OK ? status : -long(code), took};
}

class ServingLimits : public ::testing::Test {
protected:
    // Large enough that a whole level does not fit in socket buffers.
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        writeSyntheticLAS(dir_->file("scene.las"), SynthOptions{150000, 1, 3});
        importDataset(dir_->file("scene.las"), dir_->file("data"), "scene", 8);
        levels_ = int(readDatasetInfo(dir_->file("data") + "/" + datasetDirName("scene")).levels.size());
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string data() { return dir_->file("data"); }
    static std::string wholeDataSet() { return "getLODNormals/scene/0/" + std::to_string(levels_ - 1); }

    static TempDir* dir_;
    static int levels_;
};
TempDir* ServingLimits::dir_ = nullptr;
int ServingLimits::levels_ = 0;

// Sends one byte to each client in turn every `period` until stopped.
class Trickler {
public:
    Trickler(std::vector<std::unique_ptr<RawClient>>& clients, milliseconds period)
        : thread_([&clients, period, this] {
              while (!done_) {
                  for (auto& c : clients)
                      c->send("x");
                  std::this_thread::sleep_for(period);
              }
          }) {}
    ~Trickler() {
        done_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// With a single serving thread, whatever 64 other connections do, new clients are answered at once.
TEST_F(ServingLimits, NewClientsAreAnsweredWhileOthersHoldConnections) {
    PointServerOptions o;
    o.threads = 1;
    LocalPointServer server(data(), o);
    struct Holders {
        const char* what;
        std::function<void(RawClient&)> start; // after connecting
        int receiveBuffer = 0;
        bool trickle = false;
    };
    const std::vector<Holders> cases{
        {"idle connections", [](RawClient&) {}},
        {"half a request line", [](RawClient& c) { c.send("GET /Varnel/resources/Ser"); }},
        {"header fields trickled a byte at a time",
         [](RawClient& c) { c.send("GET " + kBase + "getDatasetNames HTTP/1.1\r\nX-Slow: "); }, 0, true},
        {"whole data sets requested and not read", [](RawClient& c) { c.send(request(wholeDataSet())); },
         4096},
        {"two whole data sets pipelined, none read",
         [](RawClient& c) { c.send(request(wholeDataSet()) + request(wholeDataSet())); }, 65536},
    };
    for (const auto& h : cases) {
        SCOPED_TRACE(h.what);
        std::vector<std::unique_ptr<RawClient>> holders;
        for (int i = 0; i < 64; ++i) {
            holders.push_back(std::make_unique<RawClient>(server.port(), h.receiveBuffer));
            ASSERT_TRUE(holders.back()->connected());
            h.start(*holders.back());
        }
        std::unique_ptr<Trickler> trickler;
        if (h.trickle)
            trickler = std::make_unique<Trickler>(holders, milliseconds(20));
        std::this_thread::sleep_for(milliseconds(300)); // the server has taken them all up
        double worst = 0;
        for (const char* path :
             {"getDatasetNames", "getHeader/scene", "getRangeLODNormals/scene/0/1e12/0/1e12/-1e9/1e9/0/0"}) {
            for (int k = 0; k < 3; ++k) {
                const auto [status, took] = freshGet(server.base() + path);
                EXPECT_EQ(status, 200) << path;
                worst = std::max(worst, took);
            }
        }
        EXPECT_LT(worst, 0.2 * kSlowdown) << "slowest new client, seconds";
    }
}

// Clients busy fetching whole data sets over kept-alive connections leave room for short requests.
TEST_F(ServingLimits, ShortRequestsProgressBesideWholeDataSetFetches) {
    PointServerOptions o;
    o.threads = 1;
    LocalPointServer server(data(), o);
    std::atomic<bool> done{false};
    std::atomic<uint64_t> fetched{0};
    std::vector<std::thread> busy;
    for (int i = 0; i < 16; ++i)
        busy.emplace_back([&] {
            HttpClient client;
            while (!done)
                fetched += client.get(server.base() + wholeDataSet()).body.size();
        });
    std::this_thread::sleep_for(milliseconds(200));
    std::vector<double> took;
    for (int k = 0; k < 20; ++k) {
        const auto [status, t] =
            freshGet(server.base() + "getRangeLODNormals/scene/0/1e12/0/1e12/-1e9/1e9/0/0");
        EXPECT_EQ(status, 200);
        took.push_back(t);
    }
    done = true;
    for (auto& t : busy)
        t.join();
    std::sort(took.begin(), took.end());
    EXPECT_GT(fetched.load(), 0u);
    EXPECT_LT(took[took.size() / 2], 0.2 * kSlowdown) << "median tile request, seconds";
}

// Long replies go out from other threads than short ones; they arrive whole, cut where a range says, and
// the connection serves on between them.
TEST_F(ServingLimits, LongRepliesArriveWholeAndTheConnectionGoesOn) {
    PointServerOptions o;
    o.threads = 4;
    LocalPointServer server(data(), o);
    HttpClient client;
    std::string levels;
    for (int l = 0; l < levels_; ++l)
        levels +=
            client.get(server.base() + "getLODNormals/scene/" + std::to_string(l) + "/" + std::to_string(l))
                .body;
    const size_t from = 1000001;
    ASSERT_GT(levels.size() - from, kLongReplyBytes) << "too short to be sent as a long reply";
    RawClient c(server.port());
    c.send(request(wholeDataSet()) + request("getDatasetNames") +
           request(wholeDataSet(), "Range: bytes=" + std::to_string(from) + "-\r\n") +
           request("getDatasetNames", "Connection: close\r\n"));
    bool closed = false;
    const std::string got = c.readUntilClosed(20 * kSlowdown, &closed);
    EXPECT_TRUE(closed);
    std::vector<std::pair<std::string, std::string>> replies; // head, body
    for (size_t at = 0; at < got.size();) {
        const size_t end = got.find("\r\n\r\n", at), length = got.find("Content-Length: ", at);
        ASSERT_NE(end, std::string::npos);
        const size_t n = std::stoull(got.substr(length + 16));
        replies.emplace_back(got.substr(at, end - at), got.substr(end + 4, n));
        at = end + 4 + n;
    }
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_TRUE(replies[0].second == levels);
    EXPECT_EQ(replies[1].second, "scene\n");
    EXPECT_EQ(replies[2].first.substr(0, 12), "HTTP/1.1 206");
    EXPECT_TRUE(replies[2].second == levels.substr(from));
    EXPECT_EQ(replies[3].second, "scene\n");
}

// Each phase of a connection ends on its deadline, however the client behaves.
TEST_F(ServingLimits, ConnectionsEndOnTheirDeadlines) {
    PointServerOptions o;
    o.idleTimeout = milliseconds(300);
    o.requestTimeout = milliseconds(400);
    o.sendTimeout = milliseconds(500);
    o.maxRequestsPerConnection = 3;
    LocalPointServer server(data(), o);
    struct Case {
        const char* what;
        std::function<void(RawClient&)> act;
        int receiveBuffer;
        bool trickle;
    };
    const std::vector<Case> cases{
        {"never sends", [](RawClient&) {}, 0, false},
        {"stops inside the request line", [](RawClient& c) { c.send("GET /Varnel/res"); }, 0, false},
        {"trickles header fields without end",
         [](RawClient& c) { c.send("GET " + kBase + "getDatasetNames HTTP/1.1\r\nX-Slow: "); }, 0, true},
        {"reads none of a long reply", [](RawClient& c) { c.send(request(wholeDataSet())); }, 4096, false},
        {"idles after a reply", [](RawClient& c) { c.send(request("getDatasetNames")); }, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<RawClient>> one;
        one.push_back(std::make_unique<RawClient>(server.port(), c.receiveBuffer));
        c.act(*one[0]);
        std::unique_ptr<Trickler> trickler;
        if (c.trickle)
            trickler = std::make_unique<Trickler>(one, milliseconds(50));
        const auto t0 = Clock::now();
        if (c.receiveBuffer >
            0) // a client that reads nothing: look only once the server should have given up
            std::this_thread::sleep_for(milliseconds(1500));
        bool closed = false;
        one[0]->readUntilClosed(3 * kSlowdown, &closed);
        EXPECT_TRUE(closed) << "still open after " << secondsSince(t0) << " s";
    }
    // The third request on a connection is its last, even when more are pipelined.
    RawClient c(server.port());
    c.send(request("getDatasetNames") + request("getDatasetNames") + request("getDatasetNames") +
           request("getDatasetNames"));
    bool closed = false;
    const std::string got = c.readUntilClosed(3 * kSlowdown, &closed);
    EXPECT_TRUE(closed);
    size_t replies = 0;
    for (size_t at = 0; (at = got.find("HTTP/1.1 200 OK", at)) != std::string::npos; ++at)
        ++replies;
    EXPECT_EQ(replies, 3u) << got;
    const size_t lastReply = got.rfind("HTTP/1.1 200");
    EXPECT_NE(got.find("Connection: close", lastReply), std::string::npos) << got;
    EXPECT_EQ(got.substr(0, lastReply).find("Connection: close"), std::string::npos) << got;
}

// Request heads past their bounds are refused as soon as the bound is passed; bodies past theirs too.
TEST_F(ServingLimits, OversizedRequestsAreRefused) {
    LocalPointServer server(data(), PointServerOptions{});
    struct Case {
        const char* what;
        std::string bytes;
        std::string status;
    };
    const std::string longTarget = kBase + "getHeader/" + std::string(kMaxRequestTargetBytes, 'a');
    const std::vector<Case> cases{
        {"request line past the head bound", "GET /" + std::string(kMaxRequestHeadBytes + 10, 'a'), "414"},
        {"request target past its bound", "GET " + longTarget + " HTTP/1.1\r\nHost: x\r\n\r\n", "414"},
        {"header fields past the head bound",
         "GET " + kBase + "getDatasetNames HTTP/1.1\r\nX-Big: " + std::string(kMaxRequestHeadBytes, 'b'),
         "431"},
        {"body past its bound",
         "GET " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\nContent-Length: " +
             std::to_string(kMaxRequestBodyBytes + 1) + "\r\n\r\n",
         "413"},
        {"not HTTP", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), "400"},
        {"not GET", "DELETE " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\n\r\n", "405"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(server.port());
        client.send(c.bytes);
        const std::string got = client.readReply(2 * kSlowdown);
        EXPECT_EQ(got.substr(0, 12), "HTTP/1.1 " + c.status) << got.substr(0, 200);
    }
    // A small body on a GET is read past, and the connection goes on.
    RawClient client(server.port());
    client.send("GET " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello" +
                request("getDatasetNames", "Connection: close\r\n"));
    const std::string got = client.readUntilClosed(2 * kSlowdown);
    EXPECT_EQ(got.find("HTTP/1.1 200"), 0u) << got;
    EXPECT_NE(got.find("HTTP/1.1 200", 1), std::string::npos) << got;
}

// Beyond the connection cap, clients waiting for a request make room; otherwise new ones are refused.
TEST_F(ServingLimits, ExcessConnectionsAreRefusedOrMakeRoom) {
    PointServerOptions o;
    o.maxConnections = 8;
    LocalPointServer server(data(), o);
    struct Case {
        const char* what;
        std::string sent;
        long status;
    };
    const std::vector<Case> cases{{"held by idle connections", "", 200},
                                  {"held by unfinished requests", "GET /Varnel/res", 503}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::unique_ptr<RawClient>> holders;
        for (int i = 0; i < 8; ++i) {
            holders.push_back(std::make_unique<RawClient>(server.port()));
            holders.back()->send(c.sent);
        }
        std::this_thread::sleep_for(milliseconds(100));
        const auto [status, took] = freshGet(server.base() + "getDatasetNames");
        EXPECT_EQ(status, c.status);
        EXPECT_LT(took, 0.5 * kSlowdown);
        size_t closed = 0;
        for (auto& h : holders) {
            bool ended = false;
            h->readUntilClosed(0.05, &ended);
            closed += ended;
        }
        EXPECT_EQ(closed, c.status == 200 ? 1u : 0u) << "holders closed to make room";
    }
    // The refusal is logged once it is sent, which may be just after the client has it.
    bool logged = false;
    for (int i = 0; i < 100 && !logged; ++i, std::this_thread::sleep_for(milliseconds(10)))
        for (const auto& line : server.log())
            logged |= line.find("\" 503 ") != std::string::npos;
    EXPECT_TRUE(logged);
}

// The pontaro-server program, its port read from its first line.
struct ServeProcess {
    explicit ServeProcess(const std::string& data)
        : p({std::string(PONTARO_BIN_DIR) + "/pontaro-server", "serve", "--data", data, "--port", "0"}) {
        if (!p.waitForOutput(kBase + "\n", 30))
            return;
        const std::string out = p.out();
        const size_t colon = out.find(':', out.find("http://") + 5);
        port = std::stoi(out.substr(colon + 1));
    }
    // Peak resident memory so far, in KiB.
    long peakKiB() const {
        std::ifstream in("/proc/" + std::to_string(p.pid()) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind("VmHWM:", 0) == 0)
                return std::stol(line.substr(6));
        return -1;
    }
    Process p;
    int port = 0;
};

// Request lines of 50 MB without an end cost the server no more than a few megabytes.
TEST_F(ServingLimits, EndlessRequestLinesKeepMemoryFlat) {
    ServeProcess serve(data());
    ASSERT_GT(serve.port, 0) << serve.p.err();
    EXPECT_EQ(freshGet("http://127.0.0.1:" + std::to_string(serve.port) + kBase + "getDatasetNames").first,
              200);
    const long before = serve.peakKiB();
    ASSERT_GT(before, 0);
    constexpr size_t kLine = 50 << 20;
    std::vector<size_t> sent(4, 0);
    std::vector<std::string> replies(4);
    std::vector<std::thread> senders;
    for (size_t i = 0; i < sent.size(); ++i)
        senders.emplace_back([&, i] {
            RawClient c(serve.port);
            const std::string chunk(1 << 16, 'a');
            c.send("GET /");
            while (sent[i] < kLine && c.send(chunk))
                sent[i] += chunk.size();
            replies[i] = c.readUntilClosed(2);
        });
    for (auto& t : senders)
        t.join();
    const long after = serve.peakKiB();
    EXPECT_LT(after - before, long(4096 * kSlowdown))
        << "peak resident KiB before " << before << ", after " << after;
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_LT(sent[i], kLine) << "the server read the whole line";
        if (!replies[i].empty()) {
            EXPECT_EQ(replies[i].substr(0, 12), "HTTP/1.1 414");
        }
    }
    EXPECT_EQ(freshGet("http://127.0.0.1:" + std::to_string(serve.port) + kBase + "getDatasetNames").first,
              200);
}

// SIGTERM and SIGINT end the server within a second while clients trickle, stall and read nothing.
TEST_F(ServingLimits, SignalsStopTheServerWithinASecond) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ServeProcess serve(data());
        ASSERT_GT(serve.port, 0) << serve.p.err();
        std::vector<std::unique_ptr<RawClient>> slow, stalled;
        for (int i = 0; i < 32; ++i) {
            slow.push_back(std::make_unique<RawClient>(serve.port));
            slow.back()->send(i % 2 ? "GET /Varnel/res" : "");
        }
        for (int i = 0; i < 8; ++i) {
            stalled.push_back(std::make_unique<RawClient>(serve.port, 4096));
            stalled.back()->send(request(wholeDataSet()));
        }
        Trickler trickler(slow, milliseconds(20));
        std::this_thread::sleep_for(milliseconds(300));
        const auto t0 = Clock::now();
        kill(serve.p.pid(), sig);
        ProcessResult r;
        ASSERT_TRUE(serve.p.waitFor(10, r)) << "still running after 10 s";
        EXPECT_LT(secondsSince(t0), 1.0 * kSlowdown);
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

} // namespace
