// The point server against clients that hold connections, read nothing, send without end or keep it busy.
#include "ServerTests.h"

#include <atomic>
#include <fcntl.h>
#include <sys/mman.h>

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

// A data set large enough that a whole level does not fit in socket buffers.
struct ServingLimits : public ::testing::Test {
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        writeSyntheticLAS(dir_->file("scene.las"), SynthOptions{150000, 1, 3});
        levels_ = int(importDataset(dir_->file("scene.las"), data(), "scene", 8).levels.size());
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string data() { return dir_->file("data"); }
    static std::string wholeDataSet() { return "getLODNormals/scene/0/" + std::to_string(levels_ - 1); }
    static inline TempDir* dir_ = nullptr;
    static inline int levels_ = 0;
};

// What a client holding a connection sends after connecting; with a small receive buffer it reads nothing
// of a long reply; trickling, it sends a byte more at a time without end.
struct Holder {
    const char* what;
    std::string (*sends)();
    int receiveBuffer = 0;
    bool trickle = false;
};
// clang-format off
const Holder kIdle{"idle", [] { return std::string(); }};
const Holder kHalfLine{"half a request line", [] { return std::string("GET /Varnel/res"); }};
const Holder kTrickle{"header fields trickled", [] { return "GET " + kBase + "getDatasetNames HTTP/1.1\r\nX-Slow: "; }, 0, true};
const Holder kUnread{"a whole data set asked for, unread", [] { return request(ServingLimits::wholeDataSet()); }, 4096};
const Holder kPipelined{"two whole data sets pipelined, unread", [] { return kUnread.sends() + kUnread.sends(); }, 65536};
const Holder kAfterReply{"idles after a reply", [] { return request("getDatasetNames"); }};
// clang-format on

// `count` holders, connected and started; with `trickle`, a byte to each in turn every `period`.
struct Holders {
    std::vector<std::unique_ptr<RawClient>> clients;
    std::atomic<bool> done{false};
    std::thread trickler;
    Holders(int port, const Holder& h, int count, milliseconds period = milliseconds(20)) {
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<RawClient>(port, h.receiveBuffer));
            EXPECT_TRUE(clients.back()->connected);
            clients.back()->send(h.sends());
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
    LocalPointServer server(data(), 1);
    const std::string tile = server.base() + "getRangeLODNormals/scene/0/1e12/0/1e12/-1e9/1e9/0/0";
    for (const Holder& h : {kIdle, kHalfLine, kTrickle, kUnread, kPipelined}) {
        SCOPED_TRACE(h.what);
        Holders holders(server.port(), h, 64);
        std::this_thread::sleep_for(milliseconds(300)); // the server has taken them all up
        double worst = 0;
        for (const std::string& url :
             {server.base() + "getDatasetNames", server.base() + "getHeader/scene", tile})
            for (int k = 0; k < 3; ++k) {
                const auto [status, took] = freshGet(url);
                EXPECT_EQ(status, 200) << url;
                worst = std::max(worst, took);
            }
        EXPECT_LT(worst, 0.2 * kSlowdown) << "slowest new client, seconds";
    }
    // Clients busy fetching whole data sets over kept-alive connections leave room for short requests,
    // and each gets the whole data set, however the serving thread interleaves their replies.
    const std::string whole = HttpClient().get(server.base() + wholeDataSet()).body;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> fetched{0}, wrong{0};
    std::vector<std::jthread> busy;
    for (int i = 0; i < 16; ++i)
        busy.emplace_back([&] {
            for (HttpClient client; !done; ++fetched)
                wrong += client.get(server.base() + wholeDataSet()).body != whole;
        });
    std::this_thread::sleep_for(milliseconds(200));
    std::vector<double> took;
    for (int k = 0; k < 20; ++k) {
        const auto [status, t] = freshGet(tile);
        EXPECT_EQ(status, 200);
        took.push_back(t);
    }
    done = true;
    busy.clear();
    EXPECT_TRUE(fetched > 0 && wrong == 0) << wrong << " of " << fetched << " whole data sets differ";
    EXPECT_LT(sorted(took)[took.size() / 2], 0.2 * kSlowdown) << "median tile request, seconds";
}

// Long replies arrive whole or cut as ranged, the connection going on; oversized requests are refused.
TEST_F(ServingLimits, LongRepliesArriveWholeAndOversizedRequestsAreRefused) {
    LocalPointServer server(data(), 4);
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
    const std::string got = c.receive(20 * kSlowdown, &closed);
    EXPECT_TRUE(closed);
    std::vector<std::string> bodies, expected{levels, "scene\n", levels.substr(from), "scene\n"};
    for (size_t at = 0, end; (end = got.find("\r\n\r\n", at)) != std::string::npos;) {
        const size_t n = std::stoull(got.substr(got.find("Content-Length: ", at) + 16));
        bodies.push_back(got.substr(end + 4, n));
        EXPECT_EQ(got.substr(at, 12), bodies.size() == 3 ? "HTTP/1.1 206" : "HTTP/1.1 200");
        at = end + 4 + n;
    }
    EXPECT_TRUE(bodies == expected);

    const std::string longTarget = kBase + "getHeader/" + std::string(kMaxRequestTargetBytes, 'a');
    const std::pair<std::string, std::string> cases[] = {
        // clang-format off
        {"GET /" + std::string(kMaxRequestHeadBytes + 10, 'a'), "414"}, // request line past the head bound
        {"GET " + longTarget + " HTTP/1.1\r\nHost: x\r\n\r\n", "414"},  // request target past its bound
        {"GET " + kBase + "getDatasetNames HTTP/1.1\r\nX-Big: " + std::string(kMaxRequestHeadBytes, 'b'), "431"},
        {"GET " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\nContent-Length: " +
             std::to_string(kMaxRequestBodyBytes + 1) + "\r\n\r\n", "413"}, // body past its bound
        {std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), "400"}, // TLS
        {"DELETE " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\n\r\n", "405"},
        // clang-format on
    };
    for (const auto& [bytes, status] : cases) { // what is sent, the status
        RawClient client(server.port());
        client.send(bytes);
        EXPECT_EQ(client.receive(2 * kSlowdown, nullptr, 12), "HTTP/1.1 " + status) << bytes.substr(0, 60);
    }
    // A small body on a GET is read past, and the connection goes on.
    RawClient small(server.port());
    small.send("GET " + kBase + "getDatasetNames HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello" +
               request("getDatasetNames", "Connection: close\r\n"));
    const std::string both = small.receive(2 * kSlowdown);
    EXPECT_TRUE(both.find("HTTP/1.1 200") == 0 && both.find("HTTP/1.1 200", 1) != std::string::npos) << both;
}

// Each phase of a connection ends on its deadline, however the client behaves.
TEST_F(ServingLimits, ConnectionsEndOnTheirDeadlines) {
    PointServerOptions o;
    o.idleTimeout = milliseconds(300);
    o.requestTimeout = milliseconds(400);
    o.sendTimeout = milliseconds(500);
    o.maxRequestsPerConnection = 3;
    LocalPointServer server(data(), o);
    for (const Holder& h : {kIdle, kHalfLine, kTrickle, kUnread, kAfterReply}) {
        SCOPED_TRACE(h.what);
        Holders one(server.port(), h, 1, milliseconds(50));
        const auto t0 = Clock::now();
        // A client that reads nothing: look only once the server should have given up.
        std::this_thread::sleep_for(milliseconds(h.receiveBuffer > 0 ? 1500 : 0));
        bool closed = false;
        one.clients[0]->receive(3 * kSlowdown, &closed);
        EXPECT_TRUE(closed) << "still open after " << secondsSince(t0) << " s";
    }
    // The third request on a connection is its last, even when more are pipelined.
    RawClient c(server.port());
    const std::string names = request("getDatasetNames");
    c.send(names + names + names + names);
    bool closed = false;
    const std::string got = c.receive(3 * kSlowdown, &closed);
    EXPECT_TRUE(closed);
    const size_t third = got.rfind("HTTP/1.1 200 OK"), second = got.rfind("HTTP/1.1 200 OK", third - 1);
    EXPECT_TRUE(second != std::string::npos && got.rfind("HTTP/1.1 200 OK", second - 1) == 0) << got;
    EXPECT_NE(got.find("Connection: close", third), std::string::npos) << got;
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
            c->receive(0.05, &ended);
            closed += ended;
        }
        EXPECT_EQ(closed, expected == 200 ? 1u : 0u) << "holders closed to make room";
    }
}

// Peak resident memory of a process so far, in KiB.
long peakKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The program: memory flat under endless request lines; SIGTERM stops it within a second, however held.
TEST_F(ServingLimits, TheProgramKeepsMemoryFlatAndStopsWithinASecond) {
    Process p({PONTARO_BIN_DIR "/pontaro-server", "serve", "--data", data(), "--port", "0"});
    ASSERT_TRUE(p.waitForOutput(kBase + "\n", 30)) << p.err();
    const std::string out = p.out(), lead = "Serving 1 data set from " + data() + " on http://127.0.0.1:";
    ASSERT_EQ(out.rfind(lead, 0), 0u) << out;
    const int port = std::stoi(out.substr(lead.size()));
    const std::string names = "http://127.0.0.1:" + std::to_string(port) + kBase + "getDatasetNames";
    EXPECT_EQ(freshGet(names).first, 200);
    const long before = peakKiB(p.pid());
    ASSERT_GT(before, 0);
    constexpr size_t kLine = 50 << 20;
    std::atomic<int> whole{0}, otherReplies{0};
    std::vector<std::jthread> senders;
    for (int i = 0; i < 4; ++i)
        senders.emplace_back([&] {
            RawClient c(port);
            size_t sent = 0;
            for (c.send("GET /"); sent < kLine && c.send(std::string(1 << 16, 'a'));)
                sent += 1 << 16;
            const std::string reply = c.receive(2);
            whole += sent >= kLine;
            otherReplies += !reply.empty() && reply.rfind("HTTP/1.1 414", 0) != 0;
        });
    senders.clear();
    const long after = peakKiB(p.pid());
    EXPECT_LT(after - before, long(4096 * kSlowdown)) << "peak resident KiB before " << before;
    EXPECT_EQ(whole, 0) << "the server read a whole line";
    EXPECT_EQ(otherReplies, 0) << "replies other than 414";
    EXPECT_EQ(freshGet(names).first, 200);
    Holders trickling(port, kTrickle, 16), halfLines(port, kHalfLine, 16), idle(port, kIdle, 8),
        stalled(port, kUnread, 8);
    std::this_thread::sleep_for(milliseconds(300));
    const auto t0 = Clock::now();
    kill(p.pid(), SIGTERM);
    ProcessResult r;
    ASSERT_TRUE(p.waitFor(10, r)) << "still running after 10 s";
    EXPECT_LT(secondsSince(t0), 1.0 * kSlowdown);
    EXPECT_EQ(r.status, 0) << r.err;
}

// Pages of a mapped file in the page cache.
size_t residentPages(const MappedFile& f) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in((f.size() + page - 1) / page);
    if (f.size() > 0 && mincore(const_cast<unsigned char*>(f.data()), f.size(), in.data()) != 0)
        ADD_FAILURE() << "mincore: " << std::strerror(errno);
    return size_t(std::count_if(in.begin(), in.end(), [](unsigned char b) { return (b & 1) != 0; }));
}

// Drops a data set's level files from the page cache (the kernel keeps pages mapped anywhere, so this
// process's mappings go first, and pages still being read, so it tries again for a while); the pages left.
size_t evict(const Dataset& ds, const std::string& datasetDir) {
    size_t left = 0;
    for (int attempt = 0; attempt < 50; ++attempt, std::this_thread::sleep_for(milliseconds(20))) {
        left = 0;
        for (size_t l = 0; l < ds.levels.size(); ++l) {
            const ServedLevel& lv = ds.levels[l];
            for (const auto& [f, name] :
                 {std::pair{&lv.records, levelRecordsFile(l)}, {&lv.cellIndex, levelIndexFile(l)}}) {
                madvise(const_cast<unsigned char*>(f->data()), f->size(), MADV_DONTNEED);
                const int fd = open((datasetDir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
                posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
                close(fd);
                left += residentPages(*f);
            }
        }
        if (left == 0)
            break;
    }
    return left;
}

// From a cold cache, a small range reply leaves cached the pages of the records it sent and of the index
// entries it needed, and little more: not the kernel's readahead window around every page it touched.
TEST_F(ServingLimits, AColdReplyReadsLittleMoreThanItSends) {
    auto store = std::make_shared<DatasetStore>(DatasetStore::load(data()));
    const auto ds = store->find("scene");
    ASSERT_TRUE(ds);
    const std::string datasetDir = data() + "/" + datasetDirName("scene");
    if (const size_t left = evict(*ds, datasetDir); left > 0)
        GTEST_SKIP() << left << " pages of " << datasetDir
                     << " stay cached after eviction: this file system keeps them (tmpfs?)";
    PointServer server(store);
    const int port = server.bind("127.0.0.1", 0);
    struct Serving {
        PointServer& server;
        std::thread thread{[this] { server.run(); }};
        ~Serving() {
            server.stop();
            thread.join();
        }
    } serving{server};
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + kBase;
    // The finest level, the largest file; rectangles of whole cells, so that every record read is sent.
    const int level = levels_ - 1;
    const ServedLevel& lv = ds->levels[size_t(level)];
    const DatasetLevel& g = lv.grid;
    ASSERT_GT(lv.records.size(), 1u << 20) << "a level file much larger than any reply below";
    const uint32_t midX = g.gridX / 2, midY = g.gridY / 2;
    struct Cells {
        const char* what;
        uint32_t x0, x1, y0, y1; // cell columns and rows, half-open
    };
    const Cells cases[] = {
        {"one cell", midX, midX + 1, midY, midY + 1},
        {"3 x 3 cells", midX - 1, midX + 2, midY - 1, midY + 2},
        {"a whole row", 0, g.gridX, midY, midY + 1},
        {"2 columns of 8 rows", midX, midX + 2, midY - 4, midY + 4},
    };
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    for (const Cells& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(evict(*ds, datasetDir), 0u);
        auto at = [&](double origin, uint32_t cell, double nudge) {
            return origin + (cell + nudge) * g.cell;
        };
        const HttpReply r =
            HttpClient().get(base + "getRangeLODNormals/scene/" + num(at(g.originX, c.x0, 1e-9)) + "/" +
                             num(at(g.originX, c.x1, -1e-9)) + "/" + num(at(g.originY, c.y0, 1e-9)) + "/" +
                             num(at(g.originY, c.y1, -1e-9)) + "/-1e9/1e9/" + std::to_string(level) + "/" +
                             std::to_string(level));
        ASSERT_EQ(r.status, 200);
        ASSERT_GT(r.body.size(), 0u);
        // A row's records are one stretch: at most one page more than its bytes fill.
        const size_t rows = c.y1 - c.y0, sentPages = r.body.size() / page + 2 * rows;
        const uint64_t firstEntry = (uint64_t(c.y0) * g.gridX + c.x0) * 8,
                       lastEntry = (uint64_t(c.y1 - 1) * g.gridX + c.x1 + 1) * 8;
        const size_t indexPages = size_t(lastEntry / page - firstEntry / page + 1);
        EXPECT_LE(residentPages(lv.records), sentPages + 4) << r.body.size() << " bytes sent";
        EXPECT_LE(residentPages(lv.cellIndex), indexPages + 1);
        for (int other = 0; other < level; ++other)
            EXPECT_EQ(residentPages(ds->levels[size_t(other)].records), 0u) << "level " << other;
    }
}

} // namespace
