// pontaro-server run as a user runs it: import and list, and one clear line on failure.
#include "DatasetImport.h"
#include "SyntheticScene.h"
#include "TestConfig.h"
#include "support/RunProcess.h"

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
}

TEST(PontaroServer, HelpAndFailures) {
    auto help = runServer({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("import FILE.las"), std::string::npos);
    EXPECT_EQ(help.out.find("  serve"), std::string::npos);

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
    expectOneError(runServer({"serve", "--data", data}), "unknown command");
    EXPECT_FALSE(std::filesystem::exists(data));
}

} // namespace
