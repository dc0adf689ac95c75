// The point server against clients that hold connections, read nothing, send without end or keep it busy.
#include "ServerTests.h"

#include <atomic>
#include <functional>

namespace {

using std::chrono::milliseconds;

// Sanitizers slow the server several times over; the bounds below are for a plain build.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kSlowdown = 5;
#else
constexpr double kSlowdown = 1;
#endif

// One request on a fresh connection, as a new viewer makes it; its status and how long it took.
std::pair<long, double> freshGet(const std::string& url) {
    const auto t0 = Clock::now();
    const HttpReply r = HttpClient().get(url);
    return {r.code == CURLE_OK ? r.status : -long(r.code), secondsSince(t0)};
}

struct ServingLimits : public ::testing::Test {
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

    static inline TempDir* dir_ = nullptr;
    static inline int levels_ = 0;
};

// What a client holding a connection does after connecting.
struct Holder {
    const char* what;
    std::function<void(RawClient&)> start;
    int receiveBuffer = 0; // small: it reads nothing of a long reply
    bool trickle = false;  // a byte at a time, without end
};
const Holder kIdle{"idle", [](RawClient&) {}};
const Holder kHalfLine{"half a request line", [](RawClient& c) { c.send("GET /Varnel/res"); }};
const Holder kTrickle{"header fields trickled a byte at a time",
                      [](RawClient& c) { c.send("GET " + kBase + "getDatasetNames HTTP/1.1\r\nX-Slow: "); },
                      0, true};
const Holder kUnread{"a whole data set requested and not read",
                     [](RawClient& c) { c.send(request(ServingLimits::wholeDataSet())); }, 4096};

// `count` holders, connected and started; with `trickle`, a byte to each in turn every `period`.
struct Holders {
    std::vector<std::unique_ptr<RawClient>> clients;
    std::atomic<bool> done{false};
    std::thread trickler;
    Holders(int port, const Holder& h, int count, milliseconds period = milliseconds(20)) {
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<RawClient>(port, h.receiveBuffer));
            EXPECT_TRUE(clients.back()->connected());
            h.start(*clients.back());
        }
        if (h.trickle)
            trickler = std::thread([this, period] {
                for (; !done; std::this_thread::sleep_for(period))
                    for (auto& c : clients)
                        c->send("x");
            });
    }
    ~Holders() {
        done = true;
        if (trickler.joinable())
            trickler.join();
    }
};

// One serving thread: new clients are answered at once whatever 64 others do, or 16 busy fetchers.
TEST_F(ServingLimits, NewClientsAreAnsweredWhileOthersHoldConnections) {
    PointServerOptions o;
    o.threads = 1;
    LocalPointServer server(data(), o);
    const Holder pipelined{"two whole data sets pipelined, none read",
                           [](RawClient& c) { c.send(request(wholeDataSet()) + request(wholeDataSet())); },
                           65536};
    for (const Holder& h : {kIdle, kHalfLine, kTrickle, kUnread, pipelined}) {
        SCOPED_TRACE(h.what);
        Holders holders(server.port(), h, 64);
        std::this_thread::sleep_for(milliseconds(300)); // the server has taken them all up
        double worst = 0;
        for (const char* path :
             {"getDatasetNames", "getHeader/scene", "getRangeLODNormals/scene/0/1e12/0/1e12/-1e9/1e9/0/0"})
            for (int k = 0; k < 3; ++k) {
                const auto [status, took] = freshGet(server.base() + path);
                EXPECT_EQ(status, 200) << path;
                worst = std::max(worst, took);
            }
        EXPECT_LT(worst, 0.2 * kSlowdown) << "slowest new client, seconds";
    }
    // Clients busy fetching whole data sets over kept-alive connections leave room for short requests.
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

// Long replies arrive whole or cut as ranged, the connection going on; oversized requests are refused.
TEST_F(ServingLimits, LongRepliesArriveWholeAndOversizedRequestsAreRefused) {
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

    const std::string longTarget = kBase + "getHeader/" + std::string(kMaxRequestTargetBytes, 'a');
    const struct {
        const char* what;
        std::string bytes, status;
    } cases[] = {
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
        {"not HTTP at all", std::string("\0\x01\xff garbage\r\n\r\n", 16), "400"},
        {"a POST", "POST " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n",
         "405"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(server.port());
        client.send(c.bytes);
        const std::string reply = client.readReply(2 * kSlowdown);
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 " + c.status) << reply.substr(0, 200);
    }
    // A small body on a GET is read past, and the connection goes on.
    RawClient small(server.port());
    small.send("GET " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello" +
               request("getDatasetNames", "Connection: close\r\n"));
    const std::string both = small.readUntilClosed(2 * kSlowdown);
    EXPECT_EQ(both.find("HTTP/1.1 200"), 0u) << both;
    EXPECT_NE(both.find("HTTP/1.1 200", 1), std::string::npos) << both;
}

// Each phase of a connection ends on its deadline, however the client behaves.
TEST_F(ServingLimits, ConnectionsEndOnTheirDeadlines) {
    PointServerOptions o;
    o.idleTimeout = milliseconds(300);
    o.requestTimeout = milliseconds(400);
    o.sendTimeout = milliseconds(500);
    o.maxRequestsPerConnection = 3;
    LocalPointServer server(data(), o);
    const Holder afterReply{"idles after a reply", [](RawClient& c) { c.send(request("getDatasetNames")); }};
    for (const Holder& h : {kIdle, kHalfLine, kTrickle, kUnread, afterReply}) {
        SCOPED_TRACE(h.what);
        Holders one(server.port(), h, 1, milliseconds(50));
        const auto t0 = Clock::now();
        if (h.receiveBuffer >
            0) // a client that reads nothing: look only once the server should have given up
            std::this_thread::sleep_for(milliseconds(1500));
        bool closed = false;
        one.clients[0]->readUntilClosed(3 * kSlowdown, &closed);
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

// Beyond the connection cap, clients waiting for a request make room; otherwise new ones are refused.
TEST_F(ServingLimits, ExcessConnectionsAreRefusedOrMakeRoom) {
    PointServerOptions o;
    o.maxConnections = 8;
    LocalPointServer server(data(), o);
    for (const auto& [h, expected] : {std::pair{kIdle, 200L}, std::pair{kHalfLine, 503L}}) {
        SCOPED_TRACE(h.what);
        Holders holders(server.port(), h, 8);
        std::this_thread::sleep_for(milliseconds(100));
        const auto [status, took] = freshGet(server.base() + "getDatasetNames");
        EXPECT_EQ(status, expected);
        EXPECT_LT(took, 0.5 * kSlowdown);
        size_t closed = 0;
        for (auto& c : holders.clients) {
            bool ended = false;
            c->readUntilClosed(0.05, &ended);
            closed += ended;
        }
        EXPECT_EQ(closed, expected == 200 ? 1u : 0u) << "holders closed to make room";
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

// The program: memory flat under endless request lines; signals stop it within a second, requests logged.
TEST_F(ServingLimits, TheProgramKeepsMemoryFlatAndStopsWithinASecond) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        ServeProcess serve(data());
        ASSERT_GT(serve.port, 0) << serve.p.err();
        EXPECT_EQ(serve.p.out().rfind("Serving 1 data set from " + data() + " on http://127.0.0.1:", 0), 0u);
        const std::string names =
            "http://127.0.0.1:" + std::to_string(serve.port) + kBase + "getDatasetNames";
        EXPECT_EQ(freshGet(names).first, 200);
        if (sig == SIGTERM) {
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
                EXPECT_TRUE(replies[i].empty() || replies[i].substr(0, 12) == "HTTP/1.1 414") << replies[i];
            }
            EXPECT_EQ(freshGet(names).first, 200);
        }
        Holders trickling(serve.port, kTrickle, 16), halfLines(serve.port, kHalfLine, 16),
            idle(serve.port, kIdle, 8), stalled(serve.port, kUnread, 8);
        std::this_thread::sleep_for(milliseconds(300));
        const auto t0 = Clock::now();
        kill(serve.p.pid(), sig);
        ProcessResult r;
        ASSERT_TRUE(serve.p.waitFor(10, r)) << "still running after 10 s";
        EXPECT_LT(secondsSince(t0), 1.0 * kSlowdown);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(sig == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM"), std::string::npos)
            << r.err;
        EXPECT_NE(r.out.find("127.0.0.1 \"GET " + kBase + "getDatasetNames\" 200 6 "), std::string::npos)
            << r.out;
    }
}

} // namespace
