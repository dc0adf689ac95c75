// pontaro-server run as a user runs it: import and list, and one clear line on failure.
#include "DatasetImport.h"
#include "SyntheticScene.h"
#include "TestConfig.h"
#include "support/Http.h"
#include "support/LasTiles.h"
#include "support/RunProcess.h"

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

namespace {

void expectOneError(const ProcessResult& r, const std::string& fragment) {
    expectOneErrorLine(r, "pontaro-server", fragment);
}

const std::string kTool = std::string(PONTARO_BIN_DIR) + "/pontaro-server";

ProcessResult runServer(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return runProcess(args);
}

TEST(PontaroServer, ImportAndList) {
    TempDir dir;
    std::string las = dir.file("field scan.las");
    writeSyntheticLAS(las, SynthOptions{4000, 2, 11});
    std::string data = dir.file("data");
    auto r = runServer({"import", las, "--data", data, "--neighbours", "8"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("4000 points"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("normals"), std::string::npos) << r.err;
    r = runServer({"import", las, "--data", data, "--name", "second one"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto info = readDatasetInfo(data + "/" + datasetDirName("field scan"));

    std::filesystem::create_directory(data + "/.tmp-" + datasetDirName("x").substr(3) +
                                      "-1-abc"); // left by a crash
    auto list = runServer({"list", "--data", data});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.err, "");
    std::string first = "field scan\t4000 points\t" + std::to_string(info.levels.size()) + " levels\tbounds ";
    EXPECT_EQ(list.out.rfind(first, 0), 0u) << list.out;
    EXPECT_NE(list.out.find("\nsecond one\t4000 points"), std::string::npos) << list.out;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2);

    // What an import killed outright left behind is cleared by the next import; a live process's is not.
    const std::string dead = data + "/.tmp-" + datasetDirName("y").substr(3) + "-999999999-abc";
    std::filesystem::create_directory(dead);
    ASSERT_EQ(runServer({"import", las, "--data", data, "--name", "third"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(data + "/.tmp-" + datasetDirName("x").substr(3) + "-1-abc"));
}

// A snapshot of every file under a directory, for "left as it was" checks.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (!e.is_regular_file()) {
            out[e.path().string()] = "(directory)";
            continue;
        }
        std::ifstream in(e.path(), std::ios::binary);
        out[e.path().string()] = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
}

TEST(PontaroServer, InterruptedImportLeavesTheDirectoryAsItWas) {
    TempDir dir;
    std::string small = dir.file("small.las"), big = dir.file("big.las");
    writeSyntheticLAS(small, SynthOptions{3000, 1, 2});
    writeSyntheticLAS(big, SynthOptions{400000, 1, 3});
    const std::string data = dir.file("data");
    ASSERT_EQ(runServer({"import", small, "--data", data, "--name", "kept"}).status, 0);
    const auto before = snapshot(data);
    for (int sig : {SIGINT, SIGTERM}) {
        Process p({kTool, "import", big, "--data", data, "--name", "kept"});
        ASSERT_TRUE(p.waitForOutput("normals", 60, true)) << p.err();
        kill(p.pid(), sig);
        ProcessResult r = p.wait();
        expectOneError(ProcessResult{r.status, r.out, r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1)},
                       "interrupted");
        EXPECT_TRUE(snapshot(data) == before) << "signal " << sig;
    }
}

TEST(PontaroServer, ServeLogsEachRequestAndStopsOnSignal) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{5000, 2, 8});
    const std::string data = dir.file("data");
    ASSERT_EQ(runServer({"import", las, "--data", data, "--name", "set one"}).status, 0);
    std::filesystem::create_directory(data + "/ds-0000000000000000"); // not a data set: skipped with a reason
    for (int sig : {SIGTERM, SIGINT}) {
        Process p({kTool, "serve", "--data", data, "--port", "0", "--threads", "4"});
        ASSERT_TRUE(p.waitForOutput("/Varnel/resources/Server/\n", 30)) << p.err();
        const std::string out = p.out();
        EXPECT_EQ(out.rfind("Serving 1 data set from " + data + " on http://127.0.0.1:", 0), 0u) << out;
        const std::string base = out.substr(out.find("http://"), out.find('\n') - out.find("http://"));
        {
            HttpClient client; // closed before the signal
            EXPECT_EQ(client.get(base + "getDatasetNames").body, "set one\n");
            EXPECT_EQ(client.get(base + "getNumberOfLevels/set%20one").body.size(), 4u);
            EXPECT_EQ(client.get(base + "getHeader/none").status, 404);
        }
        ASSERT_TRUE(p.waitForOutput("getHeader/none\" 404", 10));
        kill(p.pid(), sig);
        ProcessResult r = p.wait();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("skipping"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(sig == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM"), std::string::npos);
        EXPECT_NE(r.out.find("127.0.0.1 \"GET /Varnel/resources/Server/getDatasetNames\" 200 8 "), std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("\"GET /Varnel/resources/Server/getNumberOfLevels/set%20one\" 200 4 "),
                  std::string::npos);
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
    }
    expectOneError(runServer({"serve", "--data", data, "--port", "70000"}), "--port");
    expectOneError(runServer({"serve", "--data", dir.file("missing")}), "missing");
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Damaged data sets among good ones: list reports the damage it can see on the data set's line and lists
// the others; verify checks every byte and fails naming each; serve --verify skips them with the reason
// and serves the good one.
TEST(PontaroServer, DamagedDataSetsInListVerifyAndServe) {
    TempDir dir;
    const std::string las = dir.file("s.las"), data = dir.file("data");
    writeSyntheticLAS(las, SynthOptions{3000, 1, 4});
    for (const char* name : {"good", "levels edited", "records damaged"})
        ASSERT_EQ(runServer({"import", las, "--data", data, "--name", name}).status, 0);
    const std::string edited = data + "/" + datasetDirName("levels edited");
    const std::string damaged = data + "/" + datasetDirName("records damaged");
    {
        auto levels = readBytes(edited + "/levels");
        std::string text(levels.begin(), levels.end());
        const size_t at = text.find(" cell ") + 6; // the first digit of level 0's cell size
        text[at] = text[at] == '9' ? '1' : char(text[at] + 1);
        writeBytes(edited + "/levels", std::vector<unsigned char>(text.begin(), text.end()));
        auto records = readBytes(damaged + "/level-0.pts");
        records[records.size() - 2] ^= 0x08; // a bit of the last normal
        writeBytes(damaged + "/level-0.pts", records);
    }
    const std::string levelsReason =
        edited + "/levels: differs from the file the import wrote (changed or damaged since)";
    const std::string recordsReason =
        damaged + "/level-0.pts: differs from the file the import wrote (changed or damaged since)";

    auto list = runServer({"list", "--data", data});
    ASSERT_EQ(list.status, 0) << list.err;
    auto lines = linesOf(list.out);
    ASSERT_EQ(lines.size(), 3u) << list.out;
    EXPECT_EQ(lines[0].rfind("good\t3000 points\t", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "levels edited\tcannot be served: " + levelsReason);
    EXPECT_EQ(lines[2].rfind("records damaged\t3000 points\t", 0), 0u) << lines[2];

    auto verify = runServer({"verify", "--data", data});
    expectOneError(verify, "2 of 3 data sets failed verification");
    lines = linesOf(verify.out);
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 3u) << verify.out;
    EXPECT_EQ(lines[0].rfind("good\tok\t", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "levels edited\tFAILED\t" + levelsReason);
    EXPECT_EQ(lines[2], "records damaged\tFAILED\t" + recordsReason);
    auto one = runServer({"verify", "--data", data, "good"});
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out.rfind("good\tok\t", 0), 0u) << one.out;
    expectOneError(runServer({"verify", "--data", data, "absent"}), "holds no data set 'absent'");

    Process p({kTool, "serve", "--data", data, "--port", "0", "--verify"});
    ASSERT_TRUE(p.waitForOutput("/Varnel/resources/Server/\n", 30)) << p.err();
    EXPECT_EQ(p.out().rfind("Serving 1 data set from ", 0), 0u) << p.out();
    kill(p.pid(), SIGTERM);
    const ProcessResult r = p.wait();
    EXPECT_NE(r.err.find("pontaro-server: skipping " + levelsReason + "\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("pontaro-server: skipping " + recordsReason + "\n"), std::string::npos) << r.err;
}

TEST(PontaroServer, HelpAndFailures) {
    auto help = runServer({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("import FILE.las"), std::string::npos);
    EXPECT_NE(help.out.find("  serve --data DIR"), std::string::npos);

    TempDir dir;
    std::string data = dir.file("data");
    expectOneError(runServer({"import", dir.file("absent.las"), "--data", data}), "absent.las");
    EXPECT_FALSE(std::filesystem::exists(data));
    writeBytes(dir.file("junk.las"), {'n', 'o', 't', ' ', 'l', 'a', 's'});
    expectOneError(runServer({"import", dir.file("junk.las"), "--data", data}), "junk.las");
    expectOneError(runServer({"import", dir.file("junk.las")}), "--data");
    expectOneError(runServer({"import", dir.file("junk.las"), "--data", data, "--neighbours", "2"}),
                       "--neighbours");
    expectOneError(runServer({"list", "--data", dir.file("nowhere")}), "nowhere");
    expectOneError(runServer({"export", "--data", data}), "unknown command");
    EXPECT_FALSE(std::filesystem::exists(data));
}

// Tiles named on the command line, as a directory or as a quoted pattern: the same data set; and the
// refusals, each one line with no data directory made.
TEST(PontaroServer, ImportOfSeveralFiles) {
    TempDir dir;
    const std::string scene = dir.file("scene.las"), tiles = dir.file("tiles");
    writeSyntheticLAS(scene, SynthOptions{8000, 1, 4});
    std::filesystem::create_directories(tiles + "/t0.las"); // a directory, not a file
    auto paths = splitIntoTiles(scene, 2, 2, tiles + "/t");
    std::filesystem::rename(paths[2], tiles + "/t3.LAS");
    paths[2] = tiles + "/t3.LAS";
    writeBytes(tiles + "/notes.txt", {'x'});
    writeSyntheticLAS(dir.file("other format.las"), SynthOptions{2000, 0, 5});
    std::filesystem::create_directory(dir.file("empty"));

    auto import = [&](std::vector<std::string> args, const std::string& data) {
        args.insert(args.begin(), "import");
        for (const char* a : {"--data", data.c_str(), "--neighbours", "8"})
            args.push_back(a);
        return runServer(args);
    };
    auto named = [](std::vector<std::string> args) {
        args.insert(args.end(), {"--name", "survey"});
        return args;
    };
    const std::string listed = dir.file("listed");
    auto r = import(named(paths), listed);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Imported 8000 points from 4 files in "), std::string::npos) << r.out;
    const auto expected = snapshot(listed + "/" + datasetDirName("survey"));
    ASSERT_GE(expected.size(), 6u);
    const std::pair<const char*, std::vector<std::string>> same[] = {
        {"a directory", {tiles}},
        {"a pattern", {tiles + "/t?.*"}},
        {"patterns and a file", {tiles + "/t[12].las", tiles + "/*.LAS", paths[3]}},
    };
    for (const auto& [what, args] : same) {
        SCOPED_TRACE(what);
        const std::string data = dir.file(what);
        r = import(named(args), data);
        ASSERT_EQ(r.status, 0) << r.err;
        auto got = snapshot(data + "/" + datasetDirName("survey"));
        std::map<std::string, std::string> relocated;
        for (auto& [path, bytes] : got)
            relocated[listed + path.substr(data.size())] = bytes;
        EXPECT_TRUE(relocated == expected);
    }

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{paths[0], paths[1]}, "--name NAME is required"},
        {{tiles}, "--name NAME is required"},
        {named({tiles + "/none*.las"}), "no file matches"},
        {named({dir.file("empty")}), "holds no *.las or *.LAS files"},
        {named({paths[0], dir.file("other format.las")}),
         "t1.las and " + dir.file("other format.las") + " differ in point data format (1 and 0)"},
        {named({paths[0], paths[1], dir.file("absent.las")}), "absent.las"},
    };
    for (const auto& [args, fragment] : refused) {
        SCOPED_TRACE(fragment);
        expectOneError(import(args, dir.file("data")), fragment);
        EXPECT_FALSE(std::filesystem::exists(dir.file("data")));
    }
    EXPECT_NE(runServer({"--help"}).out.find("a directory (its *.las and *.LAS files"), std::string::npos);
}

} // namespace
