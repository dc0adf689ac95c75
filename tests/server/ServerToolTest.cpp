// pontaro-server run as a user runs it: import, list, verify and serve, and one clear line on failure.
#include "ServerTests.h"

#include <sstream>

namespace {

const std::string kTool = std::string(PONTARO_BIN_DIR) + "/pontaro-server";

ProcessResult runServer(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return runProcess(args);
}
void expectOneError(const ProcessResult& r, const std::string& fragment) {
    expectOneErrorLine(r, "pontaro-server", fragment);
}
// The output's lines, sorted, each cut to the length of the expected line (a prefix of it).
std::vector<std::string> linesLike(const std::string& text, const std::vector<std::string>& expected) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    lines = sorted(lines);
    for (size_t i = 0; i < std::min(lines.size(), expected.size()); ++i)
        lines[i].resize(std::min(lines[i].size(), expected[i].size()));
    return lines;
}

// Import, stale temporaries, list/verify/serve over damaged sets, the access log and interrupted imports.
TEST(PontaroServer, ImportListVerifyServeAndInterrupt) {
    TempDir dir;
    const std::string las = dir.file("field scan.las"), data = dir.file("data");
    writeSyntheticLAS(las, SynthOptions{4000, 2, 11});
    auto r = runServer({"import", las, "--data", data, "--neighbours", "8"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string live = data + "/.tmp-" + datasetDirName("x").substr(3) + "-1-abc"; // pid 1 lives
    const std::string dead = data + "/.tmp-" + datasetDirName("y").substr(3) + "-999999999-abc";
    std::filesystem::create_directory(live);
    std::filesystem::create_directory(dead);
    for (const char* name : {"levels edited", "records damaged"})
        ASSERT_EQ(runServer({"import", las, "--data", data, "--name", name, "--memory", "1.5G", "--tmp",
                             dir.file("t")})
                      .status,
                  0);
    const auto small = runServer({"import", las, "--data", data, "--memory", "16M"});
    EXPECT_TRUE(small.status == 2 &&
                small.err.find("--memory must be a size like 512M or 8G, at least 32M, not '16M'") !=
                    std::string::npos)
        << small.err;
    EXPECT_TRUE(!std::filesystem::exists(dead) && std::filesystem::exists(live));

    const std::string edited = data + "/" + datasetDirName("levels edited") + "/levels",
                      damaged = data + "/" + datasetDirName("records damaged") + "/level-0.pts";
    std::string levels = slurp(edited), records = slurp(damaged);
    const size_t at = levels.find(" cell ") + 6; // the first digit of level 0's cell size
    levels[at] = levels[at] == '9' ? '1' : char(levels[at] + 1);
    records[records.size() - 2] ^= 0x08; // a bit of the last normal
    spit(edited, levels);
    spit(damaged, records);
    const std::string changed = ": differs from the file the import wrote (changed or damaged since)";

    const auto list = runServer({"list", "--data", data});
    const size_t count = readDatasetInfo(data + "/" + datasetDirName("field scan")).levels.size();
    const std::vector<std::string> listed{
        "field scan\t4000 points\t" + std::to_string(count) + " levels\tbounds ",
        "levels edited\tcannot be served: " + edited + changed, "records damaged\t4000 points\t"};
    EXPECT_TRUE(list.status == 0 && list.err.empty() && linesLike(list.out, listed) == listed) << list.out;
    const auto verify = runServer({"verify", "--data", data});
    expectOneError(verify, "2 of 3 data sets failed verification");
    const std::vector<std::string> verified{"field scan\tok\t", "levels edited\tFAILED\t" + edited + changed,
                                            "records damaged\tFAILED\t" + damaged + changed};
    EXPECT_EQ(linesLike(verify.out, verified), verified);
    expectOneError(runServer({"verify", "--data", data, "absent"}), "holds no data set 'absent'");

    std::filesystem::create_directory(data + "/ds-0000000000000000"); // not a data set: skipped with a reason
    Process p({kTool, "serve", "--data", data, "--port", "0", "--verify", "--threads", "4"});
    ASSERT_TRUE(p.waitForOutput("/Varnel/resources/Server/\n", 30)) << p.err();
    const std::string out = p.out(), lead = "Serving 1 data set from " + data + " on ";
    ASSERT_EQ(out.rfind(lead, 0), 0u) << out;
    {
        HttpClient client; // closed before the signal
        const std::string base = out.substr(lead.size(), out.find('\n') - lead.size());
        EXPECT_EQ(client.get(base + "getDatasetNames").body, "field scan\n");
        EXPECT_EQ(client.get(base + "getNumberOfLevels/field%20scan").body.size(), 4u);
        EXPECT_EQ(client.get(base + "getHeader/none").status, 404);
    }
    ASSERT_TRUE(p.waitForOutput("getHeader/none\" 404", 10));
    kill(p.pid(), SIGINT);
    r = p.wait();
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& skipped : {edited + changed, damaged + changed, data + "/ds-0000000000000000"})
        EXPECT_NE(r.err.find("pontaro-server: skipping " + skipped), std::string::npos) << r.err;

    writeSyntheticLAS(dir.file("big.las"), SynthOptions{400000, 1, 3});
    const Contents before = contentsOf(data);
    for (int sig : {SIGINT, SIGTERM}) {
        Process p({kTool, "import", dir.file("big.las"), "--data", data, "--name", "field scan"});
        ASSERT_TRUE(p.waitForOutput("normals", 60, true)) << p.err();
        kill(p.pid(), sig);
        r = p.wait();
        expectOneError(ProcessResult{r.status, r.out, r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1)},
                       "interrupted");
        EXPECT_TRUE(contentsOf(data) == before) << "signal " << sig;
    }
}

// Tiles as files, a directory or patterns give one data set; failures are one line with nothing made.
TEST(PontaroServer, ImportOfSeveralFilesAndFailures) {
    TempDir dir;
    const std::string scene = dir.file("scene.las"), tiles = dir.file("tiles"), data = dir.file("data");
    writeSyntheticLAS(scene, SynthOptions{8000, 1, 4});
    std::filesystem::create_directories(tiles + "/t0.las"); // a directory, not a file
    auto paths = splitIntoTiles(scene, 2, 2, tiles + "/t");
    std::filesystem::rename(paths[2], tiles + "/t3.LAS");
    paths[2] = tiles + "/t3.LAS";
    spit(tiles + "/notes.txt", "x");
    std::filesystem::create_directory(dir.file("empty"));
    spit(dir.file("junk.las"), "not las");
    auto import = [&](std::vector<std::string> args, const std::string& to) {
        args.insert(args.begin(), "import");
        args.insert(args.end(), {"--data", to, "--neighbours", "8", "--name", "survey"});
        return runServer(args);
    };
    const auto r = import(paths, dir.file("listed"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Imported 8000 points from 4 files in "), std::string::npos) << r.out;
    const Contents expected = contentsOf(dir.file("listed"));
    for (const auto& [what, args] :
         {std::pair<std::string, std::vector<std::string>>{"a directory", {tiles}},
          {"patterns and a file", {tiles + "/t[12].las", tiles + "/*.LAS", paths[3]}}}) {
        ASSERT_EQ(import(args, dir.file(what)).status, 0) << what;
        EXPECT_TRUE(contentsOf(dir.file(what)) == expected) << what;
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        // clang-format off
        {{"import", paths[0], paths[1], "--data", data}, "--name NAME is required"},
        {{"import", tiles + "/none*.las", "--data", data, "--name", "x"}, "no file matches"},
        {{"import", dir.file("empty"), "--data", data, "--name", "x"}, "holds no *.las or *.LAS files"},
        {{"import", dir.file("junk.las"), "--data", data}, "junk.las"},
        {{"list", "--data", dir.file("nowhere")}, "nowhere"},
        {{"serve", "--data", data, "--port", "70000"}, "--port"},
        {{"export", "--data", data}, "unknown command"},
        // clang-format on
    };
    for (const auto& [args, fragment] : refused) {
        SCOPED_TRACE(fragment);
        expectOneError(runServer(args), fragment);
        EXPECT_FALSE(std::filesystem::exists(data));
    }
}

} // namespace
