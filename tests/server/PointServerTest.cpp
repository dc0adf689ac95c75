// The point server over real HTTP: range replies, tiles partitioning levels, hostile requests.
#include "ServerTests.h"

namespace {

// A scene, its X-mirrored twin, an unordered copy (old format), extra bytes under names needing escapes.
class ServedScene : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const std::string las = dir_->file("scene.las"), data = dir_->file("data");
        writeSyntheticLAS(las, SynthOptions{60000, 1, 21});
        importDataset(las, data, "scene", 8);
        in_ = new LasInput(las);
        std::string mirrored = in_->bytes;
        const double negScale = -in_->h.ScaleFactor_X;
        std::memcpy(mirrored.data() + 131, &negScale, 8);
        for (size_t i = 0; i < in_->count(); ++i) { // the same world coordinates
            char* x = mirrored.data() + in_->h.OffsetToPointData + i * in_->h.PointDataRecordLength;
            const int32_t raw = -le<int32_t>(x);
            std::memcpy(x, &raw, 4);
        }
        spit(dir_->file("mirrored.las"), mirrored);
        mirrored_ = new LasInput(dir_->file("mirrored.las"));
        importDataset(dir_->file("mirrored.las"), data, "mirrored", 8);
        const std::string unordered = data + "/" + datasetDirName("unordered");
        std::filesystem::copy(data + "/" + datasetDirName("scene"), unordered);
        std::filesystem::remove(unordered + "/manifest"); // as old data sets have none
        spit(unordered + "/name", "unordered");
        const std::string levels = slurp(unordered + "/levels");
        ASSERT_EQ(levels.substr(levels.size() - 8), "order x\n");
        spit(unordered + "/levels", levels.substr(0, levels.size() - 8));
        writeSyntheticLAS(dir_->file("narrow.las"), SynthOptions{3000, 3, 4});
        widen(dir_->file("narrow.las"), dir_->file("wide.las"), 5);
        for (const auto& n : kEscaped)
            importDataset(dir_->file("wide.las"), data, n, 8);
        wide_ = new LasInput(dir_->file("wide.las"));
    }
    static void TearDownTestSuite() { delete in_, delete wide_, delete mirrored_, delete dir_; }
    HttpReply get(const std::string& path) { return http_.get(server_.base() + path); }
    Served served(const std::string& name = "scene") { return Served{http_, server_.base(), name, *in_}; }

    static inline const std::vector<std::string> kEscaped{"with space",       "a/b", "100%",
                                                          "\xc3\xbc\xc3\xa9", "...", "q?x=1&y#z"};
    static inline TempDir* dir_ = nullptr;
    static inline LasInput *in_ = nullptr, *wide_ = nullptr, *mirrored_ = nullptr;
    LocalPointServer server_{dir_->file("data")};
    HttpClient http_;
};

// Names, extra bytes, level ranges and the slab as unions.
TEST_F(ServedScene, MetadataAndEveryPointOnceOverTheLevels) {
    std::vector<std::string> names = kEscaped;
    names.insert(names.end(), {"scene", "mirrored", "unordered"});
    std::string expected;
    for (const auto& n : sorted(names))
        expected += n + "\n";
    EXPECT_EQ(get("getDatasetNames").body, expected);
    for (const auto& n : kEscaped) { // extra bytes and names needing escapes
        SCOPED_TRACE(n);
        Served wide{http_, server_.base(), n, *wide_};
        EXPECT_EQ(wide.get("getHeader"), wide_->header());
        EXPECT_TRUE(wide.level(0, wide.levels() - 1) == wide_->records());
    }
    Served s = served(); // levels partitioning the records are checked with the tiles
    const int L = s.levels();
    ASSERT_GE(L, 3);
    EXPECT_TRUE(s.level(0, L - 1) == in_->records());
    EXPECT_TRUE(splitReply(get("getRangeNormals/scene/0/1e12/0.0/9999999999.0/0.0/99999999.0").body,
                           in_->h.PointDataRecordLength) == in_->records());
}

// Tiles on grids and on points (half-open) partition each level, mirrored and unordered cells alike.
TEST_F(ServedScene, TilesOfAnyGridPartitionEachLevel) {
    const LasInput& in = *in_;
    Served s = served();
    s.expectPartitions({{edges(in.lo[0], in.hi[0], 3), edges(in.lo[1], in.hi[1], 5)},
                        {edges(in.lo[0], in.hi[0], 1, {in.coord(17, 0), in.coord(4242, 0), in.hi[0]}),
                         edges(in.lo[1], in.hi[1], 1, {in.coord(999, 1), in.coord(31337, 1)})}});
    const int L = s.levels();
    const std::string zCut = num(in.coord(2024, 2));
    Records below = s.range(in.lo[0], in.hi[0] + 1, in.lo[1], in.hi[1] + 1, L - 1, "-999999999.0/" + zCut);
    Records above = s.range(in.lo[0], in.hi[0] + 1, in.lo[1], in.hi[1] + 1, L - 1, zCut + "/999999999.0");
    EXPECT_FALSE(below.empty() || above.empty());
    below.insert(below.end(), above.begin(), above.end());
    EXPECT_TRUE(sorted(below) == s.level(L - 1, L - 1));
    EXPECT_TRUE(s.range(in.lo[0], in.lo[0], in.lo[1], in.hi[1], L - 1).empty()) << "an empty rectangle";
    EXPECT_TRUE(s.range(in.hi[0] + 1, in.hi[0] + 2, in.lo[1], in.hi[1], L - 1).empty()) << "outside";

    // Mirrored, the raw coordinates run against the world's; unordered, the cells are searched whole.
    const auto grid = std::pair{edges(in.lo[0] - 1, in.hi[0], 9, {in.coord(3, 0), in.coord(777, 0)}),
                                edges(in.lo[1] - 1, in.hi[1], 7, {in.coord(5, 1)})};
    Served{http_, server_.base(), "unordered", in}.expectPartitions({grid});
    Served{http_, server_.base(), "mirrored", *mirrored_}.expectPartitions({grid});
}

TEST_F(ServedScene, MalformedAndHostileRequests) {
    const int L = served().levels();
    auto expect = [&](const std::string& path, long status) {
        const HttpReply reply = get(path);
        EXPECT_EQ(reply.code, CURLE_OK) << path;
        EXPECT_EQ(reply.status, status) << path << ": " << reply.body;
        EXPECT_FALSE(reply.body.empty()) << path; // a line telling why
    };
    // Bad numbers, reversed rectangles and heights, bad levels (the first past the last included).
    for (const char* range :
         {"abc/1/0/1/-1e9/1e9/0/0", "0/1e999/0/1/-1e9/1e9/0/0", "5/1/0/1/-1e9/1e9/0/0", "0/1/0/1/9/1/0/0",
          "0/1/0/1/-1e9/1e9/-1/0", "0/1/0/1/-1e9/1e9/2/1", "0/1/0/1/-1e9/1e9/0/2147483648",
          "0/1/0/1/-1e9/1e9/0.5/1", "0/1/0/1/-1e9/1e9/0/0/0", "0/1/0/1"})
        expect(std::string("getRangeLODNormals/scene/") + range, 400);
    for (const char* path : {"getLODNormals/scene/0", "getRangeNormals/scene/0/1/0/1/0", "getHeader/scene%zz",
                             "getHeader/scene%4", "getHeader/scene/extra"})
        expect(path, 400);
    expect("getLODNormals/scene/0/" + std::to_string(L), 400);
    for (const char* path : {"getHeader/nothing", "getHeader", "getHeader/..%2F..%2F..%2Fetc%2Fpasswd",
                             "getSomethingElse/scene", "../../../etc/passwd"})
        expect(path, 404);
    expect("getHeader/" + datasetDirName("scene"), 404);
    EXPECT_EQ(http_.get("http://127.0.0.1:" + std::to_string(server_.port()) + "/elsewhere").status, 404);
    for (int k = 0; k < 4; ++k) { // clients that leave in the middle of a long reply
        RawClient c(server_.port());
        c.send(request("getLODNormals/scene/0/" + std::to_string(L - 1)));
        EXPECT_EQ(c.receive(5, nullptr, 10), "HTTP/1.1 2");
    }
    EXPECT_EQ(get("getHeader/scene").body, in_->header()) << "still serving, and whole";
}

// Byte ranges of every kind of reply are its bytes; others give all of it or 416; failures are never cut.
TEST_F(ServedScene, ByteRangesOfEveryReplyAreItsBytes) {
    // A GET with extra fields on its own connection: status, Content-Range, whether ranges are offered, body.
    auto getWith = [&](const std::string& path, const std::string& fields) {
        RawClient c(server_.port());
        c.send(request(path, fields + "Connection: close\r\n"));
        const std::string got = c.receive(30);
        const size_t end = got.find("\r\n\r\n"), range = got.find("\r\nContent-Range: ");
        return std::tuple{std::stol(got.substr(9, 3)),
                          range < end ? got.substr(range + 17, got.find("\r\n", range + 2) - range - 17) : "",
                          got.find("\r\nAccept-Ranges: bytes\r\n") < end, got.substr(end + 4)};
    };
    const int last = served().levels() - 1;
    const double x0 = in_->lo[0], x1 = (in_->lo[0] + in_->hi[0]) / 2, y0 = in_->lo[1], y1 = in_->hi[1] + 1;
    for (const std::string& path :
         {"getLODNormals/scene/" + std::to_string(last) + "/" + std::to_string(last),
          "getRangeLODNormals/scene" + rect(x0, x1, y0, y1, last), std::string("getHeader/scene")}) {
        SCOPED_TRACE(path);
        const auto [status, noRange, acceptRanges, whole] = getWith(path, "");
        ASSERT_TRUE(status == 200 && acceptRanges);
        const uint64_t n = whole.size(), mid = n / 2 + (n > 100 ? 13 : 1); // inside a record
        ASSERT_GE(n, 6u);
        const std::string N = std::to_string(n), M = std::to_string(mid);
        const struct {
            std::string range;
            long status;
            uint64_t first, count; // of the whole reply's bytes sent
        } cases[] = {
            // clang-format off
            {"bytes=1-3", 206, 1, 3},
            {"bytes=" + M + "-" + std::to_string(mid + 150000), 206, mid, std::min(n - mid, uint64_t(150001))},
            {"bytes=" + std::to_string(n - 5) + "-" + std::to_string(n + 1000), 206, n - 5, 5}, // across the end
            {"bytes=-5", 206, n - 5, 5}, {"bytes=-" + std::to_string(n + 7), 206, 0, n}, {"bytes=0-0", 206, 0, 1},
            {"bytes=0-1,4-5", 200, 0, n}, {"bytes=5-3", 200, 0, n}, {"bytes=0-2\r\nIf-Range: \"x\"", 200, 0, n}, // not honoured
            {"bytes=" + N + "-", 416, 0, 0}, {"bytes=" + N + "-" + N, 416, 0, 0}, {"bytes=-0", 416, 0, 0},
            // clang-format on
        };
        for (const auto& c : cases) {
            const auto [status, contentRange, offered, body] = getWith(path, "Range: " + c.range + "\r\n");
            EXPECT_EQ(status, c.status) << c.range;
            EXPECT_EQ(contentRange, c.status == 416   ? "bytes */" + N
                                    : c.status == 206 ? "bytes " + std::to_string(c.first) + "-" +
                                                            std::to_string(c.first + c.count - 1) + "/" + N
                                                      : "")
                << c.range;
            EXPECT_TRUE(c.status == 416 || body == whole.substr(c.first, c.count)) << c.range;
        }
    }
    const auto [status, range, offered, body] = getWith("getHeader/nothing", "Range: bytes=0-3\r\n");
    EXPECT_EQ(status, 404);
    EXPECT_EQ(body, "unknown data set 'nothing'\n");
}

} // namespace
