// pontaro-las run as a user runs it: exit status, output, and one clear line on failure.
#include "DatasetImport.h"
#include "LASPointData.h"
#include "ToolRun.h"

#include <cmath>
#include <cstring>
#include <functional>

namespace {

// Every malformed command line is refused with its own words and the usage status; numbers out of
// range in either direction included.
TEST(PontaroLas, RefusedCommandLines) {
    auto help = lasTool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("synth OUT.las"), std::string::npos);
    TempDir dir;
    const std::string x = dir.file("x.las"), good = synth(dir, "good.las", 100, 0);
    const std::string range = " must be a whole number from ";
    lasTool.refuses(
        {{{"frobnicate"}, 2, "unknown command"},
         {{"info"}, 2, "one file name"},
         {{"info", dir.file("missing.las")}, 1, "No such file"},
         {{"synth", x, "--points", "10"}, 2, "--format"},
         {{"synth", x, "--points", "12abc", "--format", "1"}, 2, "--points" + range + "1 to 4294967295"},
         {{"synth", x, "--points", "0", "--format", "1"}, 2, "not '0'"},
         {{"synth", x, "--points", "4294967296", "--format", "1"}, 2, "not '4294967296'"},
         {{"synth", x, "--points", "10", "--format", "4"}, 2, "--format" + range + "0 to 3, not '4'"},
         {{"synth", x, "--points", "10", "--format", "1", "--bogus"}, 2, "unknown option"},
         {{"compress", good}, 2, "file name"},
         {{"verify", good, "--threads", "257"}, 2, "--threads" + range + "1 to 256, not '257'"},
         {{"verify", good, "--threads", "0"}, 2, "not '0'"}});
    EXPECT_EQ(dir.entryCount(), 1u) << "a refused run writes nothing";
}

// A synthetic survey described, packed, unpacked to the same bytes and verified, leaving nothing else.
TEST(PontaroLas, SynthInfoAndCodecRoundTrip) {
    TempDir dir;
    const std::string in = dir.file("scene.las"), packed = dir.file("scene.lasc"),
                      back = dir.file("back.las");
    lasTool.ok({"synth", in, "--points", "5000", "--format", "3", "--seed", "9"});
    auto info = lasTool.ok({"info", in});
    EXPECT_EQ(info.err, "");
    for (const char* line :
         {"Version 1.2\n", "Point data format: 3, record length: 34, number of records: 5000\n",
          "Scale XYZ: 0.01,0.01,0.01\n", "Variable length records: 1\n", "LASF_Projection", "OK\n"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << " not in\n" << info.out;

    auto c = lasTool.ok({"compress", in, packed});
    EXPECT_NE(c.out.find("scene.lasc"), std::string::npos);
    auto d = lasTool.ok({"decompress", packed, back});
    EXPECT_EQ(d.out.find("GPS time"), std::string::npos); // the decoder's diagnostics stay out of the way
    EXPECT_TRUE(readBytes(back) == readBytes(in));
    auto v = lasTool.ok({"verify", in, "--threads", "2"});
    EXPECT_NE(v.out.find("identical"), std::string::npos) << v.out;
    EXPECT_EQ(dir.entryCount(), 3u); // nothing left behind

    auto longer = readBytes(in);
    longer.resize(longer.size() + 10, 0);
    writeBytes(back, longer);
    auto r = lasTool.ok({"info", back});
    EXPECT_NE(r.out.find("note: 10 bytes follow the last point record"), std::string::npos);
}

// Real samples, including those whose record length differs from their format's.
TEST(PontaroLas, InfoOnEverySample) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LiDAR samples at " << PONTARO_DATA_DIR;
    for (auto& s : samples) {
        SCOPED_TRACE(s.name);
        auto r = lasTool.ok({"info", s.path});
        EXPECT_NE(r.out.find("number of records: " + std::to_string(s.points) + "\n"), std::string::npos);
        EXPECT_TRUE(s.recordLength == las_detail::formatSize(s.format) ||
                    r.out.find("warning: ReadError: Wrong point") != std::string::npos)
            << r.out;
    }
}

// `info`, `compress` and the server's import refuse the same headers with the same words, and write
// nothing; a header alone (as the viewer receives it) gets them too where the file plays no part.
TEST(LasHeaderRefusals, InfoCompressAndImportAgree) {
    TempDir dir;
    const auto bytes = readBytes(synth(dir, "good.las", 1500, 1));
    const std::string size = std::to_string(bytes.size());
    using Change = std::function<void(std::vector<unsigned char>&)>;
    auto put = [](auto value, size_t at) -> Change {
        return [value, at](std::vector<unsigned char>& b) { std::memcpy(&b[at], &value, sizeof value); };
    };
    auto both = [](Change a, Change b) -> Change { return [a, b](auto& bytes) { a(bytes), b(bytes); }; };
    auto keep = [](size_t n) -> Change { return [n](auto& b) { b.resize(n); }; };
    const struct Case {
        const char* what;
        Change change;
        std::string message;
        bool headerOnly;
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
        {"last record cut short", keep(bytes.size() - 5),
         "file is truncated: the header declares 1500 points (" + size + " bytes) but the file has " +
             std::to_string(bytes.size() - 5) + " bytes, room for 1499 points",
         false},
        {"cut inside the header", keep(100), "the file ends after 100 bytes, inside the 227-byte LAS header",
         false},
        {"empty", keep(0), "the file is empty", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto changed = bytes;
        c.change(changed);
        const std::string path = dir.file("bad.las"), packed = dir.file("bad.lasc");
        writeBytes(path, changed);
        const std::string expected = path + ": " + c.message;

        auto info = lasTool({"info", path});
        expectOneErrorLine(info, "pontaro-las", expected);
        EXPECT_EQ(info.out.find("OK\n"), std::string::npos);
        expectOneErrorLine(lasTool({"compress", path, packed}), "pontaro-las", expected);
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

// What a user who gives decompress the wrong file, or a damaged one, reads; no output, not even a part.
TEST(PontaroLasCodec, DecompressSaysWhatIsWrong) {
    TempDir dir;
    const std::string in = synth(dir, "scene.las", 3000, 1), packed = dir.file("scene.lasc");
    lasTool.ok({"compress", in, packed});
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
        {"a plain LAS file", readBytes(in), "not a compressed Pontaro LAS file (it is a plain LAS file)"},
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
        const std::string bad = dir.file("in.lasc"), out = dir.file("out.las");
        writeBytes(bad, c.bytes);
        expectOneErrorLine(lasTool({"decompress", bad, out}), "pontaro-las", c.message);
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_FALSE(std::filesystem::exists(out + ".part"));
    }
}

} // namespace
