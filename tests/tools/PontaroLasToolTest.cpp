// pontaro-las run as a user runs it: exit status, output, and one clear line on failure.
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/Samples.h"
#include "LASPointData.h"

#include <gtest/gtest.h>

namespace {

void expectOneError(const ProcessResult& r, const std::string& fragment) {
    expectOneErrorLine(r, "pontaro-las", fragment);
}

const std::string kTool = std::string(PONTARO_BIN_DIR) + "/pontaro-las";

ProcessResult runLas(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return runProcess(args);
}

TEST(PontaroLas, HelpAndUsageErrors) {
    auto help = runLas({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("synth OUT.las"), std::string::npos);
    expectOneError(runLas({"frobnicate"}), "unknown command");
    expectOneError(runLas({"info"}), "one file name");
    expectOneError(runLas({"synth", "x.las", "--points", "10"}), "--format");
    expectOneError(runLas({"synth", "x.las", "--points", "12abc", "--format", "1"}), "whole number");
    expectOneError(runLas({"synth", "x.las", "--points", "0", "--format", "1"}), "--points");
    expectOneError(runLas({"synth", "x.las", "--points", "10", "--format", "4"}), "--format");
    expectOneError(runLas({"synth", "x.las", "--points", "10", "--format", "1", "--bogus"}), "unknown option");
}

TEST(PontaroLas, SynthThenInfo) {
    TempDir dir;
    std::string out = dir.file("scene.las");
    auto r = runLas({"synth", out, "--points", "5000", "--format", "3", "--seed", "9"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto info = runLas({"info", out});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_NE(info.out.find("Version 1.2\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("Point data format: 3, record length: 34, number of records: 5000\n"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("Scale XYZ: 0.01,0.01,0.01\n"), std::string::npos);
    EXPECT_NE(info.out.find("Variable length records: 1\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("LASF_Projection"), std::string::npos);
    EXPECT_NE(info.out.find("OK\n"), std::string::npos);
}

TEST(PontaroLas, InfoRejectsDamagedFiles) {
    TempDir dir;
    std::string good = dir.file("good.las");
    ASSERT_EQ(runLas({"synth", good, "--points", "2000", "--format", "1"}).status, 0);
    auto bytes = readBytes(good);

    std::string cut = dir.file("cut.las");
    writeBytes(cut, bytes, bytes.size() - 5);
    expectOneError(runLas({"info", cut}), "truncated");

    writeBytes(cut, bytes, 100);
    expectOneError(runLas({"info", cut}), "FileHeader::NumberOfVariableLengthRecords");

    auto bad = bytes;
    bad[0] = 'X';
    writeBytes(cut, bad);
    expectOneError(runLas({"info", cut}), "Wrong File Signature");

    bad = bytes;
    bad[100] = 0xFF, bad[101] = 0xFF; // 65535 records in the record area
    writeBytes(cut, bad);
    expectOneError(runLas({"info", cut}), "variable length records");

    expectOneError(runLas({"info", dir.file("missing.las")}), "No such file");

    auto longer = bytes;
    longer.resize(bytes.size() + 10, 0);
    writeBytes(cut, longer);
    auto r = runLas({"info", cut});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("note: 10 bytes follow the last point record"), std::string::npos);
}

TEST(PontaroLas, InfoOnEverySample) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR;
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        auto r = runLas({"info", s.path});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("number of records: " + std::to_string(s.points) + "\n"), std::string::npos);
        if (s.recordLength != las_detail::formatSize(s.format)) {
            EXPECT_NE(r.out.find("warning: ReadError: Wrong point"), std::string::npos) << r.out;
        }
    }
}

} // namespace

namespace {

TEST(PontaroLasCodec, CompressDecompressVerify) {
    TempDir dir;
    std::string las = dir.file("scene.las"), packed = dir.file("scene.lasc"), back = dir.file("back.las");
    ASSERT_EQ(runLas({"synth", las, "--points", "3000", "--format", "1"}).status, 0);
    auto c = runLas({"compress", las, packed});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_NE(c.out.find("scene.lasc"), std::string::npos);
    auto d = runLas({"decompress", packed, back});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out.find("GPS time"), std::string::npos); // the decoder's diagnostics stay out of the way
    EXPECT_TRUE(readBytes(back) == readBytes(las));
    auto v = runLas({"verify", las, "--threads", "2"});
    ASSERT_EQ(v.status, 0) << v.err;
    EXPECT_NE(v.out.find("identical"), std::string::npos) << v.out;
    EXPECT_EQ(dir.entryCount(), 3u); // nothing left behind
}

TEST(PontaroLasCodec, FailuresLeaveNothingBehind) {
    TempDir dir;
    std::string las = dir.file("scene.las");
    ASSERT_EQ(runLas({"synth", las, "--points", "1500", "--format", "0"}).status, 0);
    auto bytes = readBytes(las);
    bytes.resize(bytes.size() - 7);
    std::string cut = dir.file("cut.las");
    writeBytes(cut, bytes);
    expectOneError(runLas({"compress", cut, dir.file("cut.lasc")}), "truncated");
    EXPECT_FALSE(std::filesystem::exists(dir.file("cut.lasc")));

    std::string packed = dir.file("s.lasc");
    ASSERT_EQ(runLas({"compress", las, packed}).status, 0);
    auto lasc = readBytes(packed);
    lasc.resize(lasc.size() / 2);
    writeBytes(packed, lasc);
    expectOneError(runLas({"decompress", packed, dir.file("out.las")}), "");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.las")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.las.part")));
    expectOneError(runLas({"compress", las}), "file name");
}

} // namespace
