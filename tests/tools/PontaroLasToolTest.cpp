// pontaro-las run as a user runs it: exit status, output, and one clear line on failure.
#include "DatasetImport.h"
#include "LASHeader.h"
#include "LASPointData.h"
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

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
    expectOneError(runLas({"info", cut}), "the file ends after 100 bytes, inside the 227-byte LAS header");

    auto bad = bytes;
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

namespace {

// Every entry point that takes LAS files refuses the same headers with the same words: `info`,
// `compress` and the point server's import (its library call, as pontaro-server import makes it); a
// header received over the network (the viewer's check) gets the words of the same function wherever
// the file itself plays no part.
TEST(LasHeaderRefusals, InfoCompressAndImportAgree) {
    TempDir dir;
    const std::string good = dir.file("good.las");
    ASSERT_EQ(runLas({"synth", good, "--points", "1500", "--format", "1"}).status, 0);
    const auto bytes = readBytes(good);
    const std::string size = std::to_string(bytes.size());
    auto put = [](auto value, size_t at) {
        return [value, at](std::vector<unsigned char>& b) { std::memcpy(&b[at], &value, sizeof value); };
    };
    using Change = std::function<void(std::vector<unsigned char>&)>;
    auto both = [](Change a, Change b) {
        return [a, b](std::vector<unsigned char>& bytes) {
            a(bytes);
            b(bytes);
        };
    };
    const struct Case {
        const char* what;
        Change change;
        std::string message;
        bool headerOnly; // the same words without the file
    } cases[] = {
        {"signature", put('X', 0), "not a LAS file: it does not begin with the signature \"LASF\"", true},
        {"version 1.4", put(uint8_t(4), 25), "LAS version 1.4 is not supported (1.0 to 1.2 are)", true},
        {"header size 0", put(uint16_t(0), 94),
         "the header size 0 is smaller than the 227 bytes of a LAS header", true},
        {"offset inside the header", put(uint32_t(100), 96),
         "the offset to the point data (100) lies inside the header (227 bytes)", true},
        {"offset beyond the end", put(uint32_t(1) << 31, 96),
         "the offset to the point data (2147483648) lies beyond the end of the file (" + size + " bytes)",
         false},
        {"2^32 - 1 variable length records", put(uint32_t(0xFFFFFFFF), 100),
         "the header declares 4294967295 variable length records, but the 102 bytes between the header and "
         "the point data hold at most 1",
         true},
        {"format 4", put(uint8_t(4), 104), "point data format 4 is not supported (0 to 3 are)", true},
        {"record length 20 for format 1", put(uint16_t(20), 105),
         "the point record length 20 is shorter than the 28 bytes of point data format 1", true},
        {"X scale 0", put(0.0, 131), "the X scale factor is 0: it must be a finite number other than 0",
         true},
        {"Z scale NaN", put(std::nan(""), 147),
         "the Z scale factor is nan: it must be a finite number other than 0", true},
        {"Y offset infinite", put(double(INFINITY), 163), "the Y offset is inf: it must be a finite number",
         true},
        {"Max X infinite", both(put(1.5, 187), put(double(INFINITY), 179)),
         "the X extent (1.5 to inf) is not finite", true},
        {"Y extent inverted", both(put(7.25, 203), put(3.0, 195)),
         "the Y extent is inverted: its minimum 7.25 lies above its maximum 3", true},
        {"one point more than the file holds", put(uint32_t(1501), 107),
         "file is truncated: the header declares 1501 points (" + std::to_string(bytes.size() + 28) +
             " bytes) but the file has " + size + " bytes, room for 1500 points",
         false},
        {"cut inside the header", [](auto& b) { b.resize(100); },
         "the file ends after 100 bytes, inside the 227-byte LAS header", false},
        {"empty", [](auto& b) { b.clear(); }, "the file is empty", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto changed = bytes;
        c.change(changed);
        const std::string path = dir.file("bad.las"), packed = dir.file("bad.lasc");
        writeBytes(path, changed);
        const std::string expected = path + ": " + c.message;

        auto info = runLas({"info", path});
        expectOneError(info, expected);
        EXPECT_EQ(info.out.find("OK\n"), std::string::npos);
        expectOneError(runLas({"compress", path, packed}), expected);
        EXPECT_FALSE(std::filesystem::exists(packed));
        try {
            importDataset(path, dir.file("data"), "bad", 8);
            ADD_FAILURE() << "imported";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), expected);
        }
        EXPECT_FALSE(std::filesystem::exists(dir.file("data")));
        if (c.headerOnly) {
            LASHeader h;
            h.copyFromBuffer(changed.data());
            EXPECT_EQ(h.Problem(), c.message);
        }
    }
}

// What a user who gives decompress the wrong file, or a damaged one, reads.
TEST(PontaroLasCodec, DecompressSaysWhatIsWrong) {
    TempDir dir;
    const std::string las = dir.file("scene.las"), packed = dir.file("scene.lasc");
    ASSERT_EQ(runLas({"synth", las, "--points", "3000", "--format", "1"}).status, 0);
    ASSERT_EQ(runLas({"compress", las, packed}).status, 0);
    const auto lasc = readBytes(packed);
    auto cut = [&](size_t n) { return std::vector<unsigned char>(lasc.begin(), lasc.begin() + long(n)); };
    auto farOffset = lasc;
    const uint32_t offset = uint32_t(1) << 31;
    std::memcpy(&farOffset[96], &offset, 4);
    const struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
        std::string message;
    } cases[] = {
        {"a plain LAS file", readBytes(las), "not a compressed Pontaro LAS file (it is a plain LAS file)"},
        {"cut in the middle", cut(lasc.size() / 2),
         "the compressed file is truncated: it ends after " + std::to_string(lasc.size() / 2) +
             " bytes, inside the coded block of points 0 to 3000"},
        {"the last byte missing", cut(lasc.size() - 1), "the compressed file is truncated: it ends after"},
        {"cut after the records", cut(232 + 102 + 10), "the compressed file is truncated"},
        {"a point offset beyond the end", farOffset,
         "the offset to the point data (2147483648) lies beyond the end of the file (" +
             std::to_string(lasc.size()) + " bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = dir.file("in.lasc"), out = dir.file("out.las");
        writeBytes(in, c.bytes);
        expectOneError(runLas({"decompress", in, out}), c.message);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

} // namespace
