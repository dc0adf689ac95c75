// Several LAS files imported as one data set: the tiles of a scene give the data set of the whole scene,
// seams included, and files that cannot make one data set are refused by name with nothing written.
#include "DatasetImport.h"
#include "ServerTests.h"
#include "SyntheticScene.h"
#include "support/Http.h"
#include "support/LasTiles.h"
#include "support/LocalPointServer.h"

#include <numeric>

namespace fs = std::filesystem;

namespace {

// A point reply as its records with their normals, sorted: what it holds whatever order records take
// within a cell.
Records recordsOf(const std::string& body, size_t wire) {
    Records out;
    for (size_t at = 0; at + wire <= body.size(); at += wire)
        out.push_back(body.substr(at, wire));
    return sorted(out);
}

// The level files of a data set with each cell's records sorted: within a cell, records of equal X
// follow input order, which tiles change.
Contents withCellsSorted(const std::string& ds) {
    Contents c = contentsOf(ds);
    const DatasetInfo info = readDatasetInfo(ds);
    const size_t n = info.recordLength;
    for (size_t l = 0; l < info.levels.size(); ++l) {
        auto& pts = c["level-" + std::to_string(l) + ".pts"];
        const auto& idx = c["level-" + std::to_string(l) + ".idx"];
        for (size_t cell = 0; cell + 1 < idx.size() / 8; ++cell) {
            const uint64_t a = le<uint64_t>(&idx[8 * cell]), b = le<uint64_t>(&idx[8 * cell + 8]);
            Records rec;
            for (uint64_t r = a; r < b; ++r)
                rec.push_back(pts.substr(r * n, n));
            rec = sorted(rec);
            for (uint64_t r = a; r < b; ++r)
                pts.replace(r * n, n, rec[r - a]);
        }
    }
    return c;
}

// Writes the tiles of `whole` (nx by ny, record order kept; every tile but the first in offsets `shift`
// scale units away) as `prefix`1.las, ..., imports them as one data set "s" into `prefix`many and checks it
// against the whole file's, in the tiles' record order (every file the same) and in its own (wholeDs: the
// same but for the order of records of equal X within a cell). Header bounds are the points' for the
// tiles, compared apart.
std::vector<std::string> checkTiles(const LasBytes& whole, const std::string& wholeDs, int nx, int ny,
                                    const int64_t shift[3], const std::string& prefix, DatasetInfo& info) {
    const auto members = tileMembers(gridTiles(whole, nx, ny), nx * ny);
    std::vector<std::string> tiles;
    std::vector<uint32_t> tileOrder;
    for (size_t t = 0; t < members.size(); ++t) {
        EXPECT_GT(members[t].size(), whole.count() / members.size() / 2) << "tile " << t;
        tiles.push_back(prefix + std::to_string(t + 1) + ".las");
        tileOrder.insert(tileOrder.end(), members[t].begin(), members[t].end());
        LasBytes moved = whole; // the same points in other offsets: raw values move against the offsets
        double* offsets[3] = {&moved.header.OffsetX, &moved.header.OffsetY, &moved.header.OffsetZ};
        const double scales[3] = {moved.header.ScaleFactor_X, moved.header.ScaleFactor_Y,
                                  moved.header.ScaleFactor_Z};
        for (int a = 0; t > 0 && a < 3; ++a) {
            *offsets[a] += double(shift[a]) * scales[a];
            for (uint32_t i : members[t]) {
                const int32_t v = int32_t(moved.raw(i, a) - shift[a]);
                std::memcpy(&moved.records[size_t(i) * moved.header.PointDataRecordLength + 4 * size_t(a)],
                            &v, 4);
            }
        }
        moved.write(tiles.back(), members[t]);
    }
    whole.write(prefix + "all.las", tileOrder, true);
    info = importDataset(tiles, prefix + "many", "s", kSampleNeighbours);
    importDataset(prefix + "all.las", prefix + "one", "s", kSampleNeighbours);
    const std::string ds = "/" + datasetDirName("s");
    Contents many = contentsOf(prefix + "many" + ds), one = contentsOf(prefix + "one" + ds);
    Contents sorted = withCellsSorted(prefix + "many" + ds), own = withCellsSorted(wholeDs);
    EXPECT_EQ(many.size(), 4 + 2 * info.levels.size()) << listing(many);
    LASHeader h;
    h.copyFromBuffer(reinterpret_cast<const unsigned char*>(many["header"].data()));
    const double bounds[6] = {h.Min_X, h.Max_X, h.Min_Y, h.Max_Y, h.Min_Z, h.Max_Z};
    EXPECT_TRUE(std::equal(bounds, bounds + 6, info.bounds));
    for (Contents* c : {&many, &one, &sorted, &own}) {
        std::fill((*c)["header"].begin() + 179, (*c)["header"].begin() + 227, 0);
        c->erase("manifest"); // the checksums of the files compared here
        c->erase("name");
    }
    EXPECT_TRUE(many == one) << listing(many);
    EXPECT_TRUE(sorted == own) << listing(sorted);
    return tiles;
}

// Tiles side by side, above each other, four of them, and four in offsets whole units apart: the data set
// of the whole scene, and as the server answers, its header and the points at the seams with their normals.
TEST(MultiFileImport, TilesGiveTheDataSetOfTheWholeScene) {
    TempDir dir;
    const std::string scene = dir.file("scene.las"), data = dir.file("data");
    writeSyntheticLAS(scene, SynthOptions{30000, 1, 21});
    const LasBytes whole = LasBytes::read(scene);
    importDataset(scene, data, "s", kSampleNeighbours);
    ASSERT_GE(readDatasetInfo(data + "/" + datasetDirName("s")).levels.size(), 3u);
    LocalPointServer own(data);
    HttpClient http;
    auto get = [&](LocalPointServer& server, const std::string& path) {
        HttpReply r = http.get(server.base() + path);
        EXPECT_EQ(r.status, 200) << path;
        return r.body;
    };
    const struct {
        const char* what;
        int nx, ny;
        int64_t shift[3];
    } cases[] = {{"two tiles side by side", 2, 1, {0, 0, 0}},
                 {"two tiles one above the other", 1, 2, {0, 0, 0}},
                 {"four tiles", 2, 2, {0, 0, 0}},
                 {"four tiles whose offsets differ by whole units", 2, 2, {100000, -2500, 7}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DatasetInfo info;
        const std::string prefix = dir.file(c.what) + "-";
        const auto tiles =
            checkTiles(whole, data + "/" + datasetDirName("s"), c.nx, c.ny, c.shift, prefix, info);
        LocalPointServer tiled(prefix + "many");
        EXPECT_EQ(get(tiled, "getHeader/s"), get(own, "getHeader/s"));
        const LasBytes first = LasBytes::read(tiles[0]);
        for (int axis = 0; axis < 2; ++axis) {
            // A metre on either side of the first tile's upper edge, across the data, over all levels.
            const double scale = axis == 0 ? first.header.ScaleFactor_X : first.header.ScaleFactor_Y;
            const double edge = (axis == 0 ? first.header.Max_X : first.header.Max_Y) + scale;
            if (edge > info.bounds[2 * axis + 1])
                continue;
            const std::string across = "-1e9/1e9", near = num(edge - 1) + "/" + num(edge + 1);
            const std::string strip = (axis == 0 ? near + "/" + across : across + "/" + near) + "/-1e9/1e9";
            const auto seam = recordsOf(get(tiled, "getRangeNormals/s/" + strip), info.recordLength);
            EXPECT_GT(seam.size(), 50u);
            EXPECT_TRUE(seam == recordsOf(get(own, "getRangeNormals/s/" + strip), info.recordLength))
                << "seam in "
                << "xy"[axis];
        }
    }
}

// Files that cannot make one data set: each refused in one line naming the files, nothing written.
TEST(MultiFileImport, RefusalsNameTheFilesAndWriteNothing) {
    TempDir dir;
    const std::string a = dir.file("a.las"), b = dir.file("b.las");
    writeSyntheticLAS(a, SynthOptions{3000, 1, 1});
    writeSyntheticLAS(b, SynthOptions{3000, 1, 2});
    writeSyntheticLAS(dir.file("format0.las"), SynthOptions{3000, 0, 3});
    const LasBytes good = LasBytes::read(b);
    std::vector<uint32_t> all(good.count());
    std::iota(all.begin(), all.end(), 0u);
    auto variant = [&](const std::string& name, auto&& change) {
        LasBytes v = good;
        change(v);
        v.write(dir.file(name), all);
    };
    variant("wide.las", [](LasBytes& v) { // the same format with two bytes more per record
        const size_t rec = v.header.PointDataRecordLength;
        std::vector<unsigned char> wide;
        for (size_t at = 0; at < v.records.size(); at += rec) {
            wide.insert(wide.end(), v.records.begin() + long(at), v.records.begin() + long(at + rec));
            wide.insert(wide.end(), {0, 0});
        }
        v.records = wide;
        v.header.PointDataRecordLength = uint16_t(rec + 2);
    });
    variant("fine.las", [](LasBytes& v) { v.header.ScaleFactor_Y = 0.001; });
    variant("half.las", [](LasBytes& v) { v.header.OffsetX += 0.5 * v.header.ScaleFactor_X; });
    variant("far.las", [](LasBytes& v) { v.header.OffsetZ += 3221225472.0 * v.header.ScaleFactor_Z; });
    good.write(dir.file("empty.las"), {});
    good.write(dir.file("empty2.las"), {});
    spit(dir.file("cut.las"), slurp(b).substr(0, slurp(b).size() - 100));
    auto at = [&](const std::vector<std::string>& names) {
        std::vector<std::string> out;
        for (const auto& n : names)
            out.push_back(dir.file(n));
        return out;
    };
    const struct {
        const char* what;
        std::vector<std::string> files;     // in the order given to the import
        std::vector<std::string> fragments; // each in the message
    } cases[] = {
        {"mixed point formats",
         {"a.las", "format0.las"},
         {"a.las and ", "format0.las differ in point data format (1 and 0)"}},
        {"mixed record lengths",
         {"a.las", "wide.las"},
         {"a.las and ", "wide.las differ in point record length (28 bytes and 30 bytes)"}},
        {"mixed scales",
         {"a.las", "b.las", "fine.las"},
         {"a.las and ", "fine.las differ in scale factors (0.01 0.01 0.01 and 0.01 0.001 0.01)"}},
        {"offsets half a unit apart",
         {"a.las", "half.las"},
         {"half.las: its X offset", "a.las's", "by 0.5 scale units, not a whole number"}},
        {"offsets too far apart for the records",
         {"a.las", "far.las"},
         {"far.las: point 0 lies beyond what ", "a.las's offsets"}},
        {"a truncated file among good ones", {"a.las", "b.las", "cut.las"}, {"cut.las: file is truncated"}},
        {"a file given twice", {"a.las", "b.las", "a.las"}, {"a.las is the same file as ", "a.las"}},
        {"only files without points", {"empty.las", "empty2.las"}, {"the files hold no points"}},
        {"no points at all", {"empty.las"}, {"empty.las: the file holds no points"}},
        {"a file that is not LAS",
         {"a.las", "b.las", "nowhere.las"},
         {"nowhere.las: not a readable LAS file"}},
    };
    const std::string data = dir.file("data");
    importDataset(a, data, "kept", 8);
    const Contents before = contentsOf(data);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string& target : {data, dir.file("fresh")}) {
            try {
                importDataset(at(c.files), target, "kept", 8);
                ADD_FAILURE() << "taken";
            } catch (const std::runtime_error& e) {
                const std::string message = e.what();
                EXPECT_EQ(message.find('\n'), std::string::npos) << message;
                for (const auto& f : c.fragments)
                    EXPECT_NE(message.find(f), std::string::npos) << message << "\nlacks: " << f;
            }
        }
        EXPECT_FALSE(fs::exists(dir.file("fresh")));
        EXPECT_TRUE(contentsOf(data) == before) << listing(contentsOf(data));
    }

    // The records are read more than once: a file rewritten meanwhile is refused by name.
    const std::string changing = dir.file("changing.las");
    fs::copy_file(b, changing);
    try {
        importDataset({a, changing}, data, "kept", 8, [&](const std::string& p, uint64_t done, uint64_t) {
            if (p == "levels" && done == 0) {
                LasBytes moved = good;
                moved.records[8] ^= 1; // z of the first point
                moved.write(changing, all);
            }
        });
        ADD_FAILURE() << "a file changed during its import was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("changing.las: the file changed while it was being imported"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(contentsOf(data) == before) << listing(contentsOf(data));

    // A file without points among others is taken: the data set of the others.
    EXPECT_EQ(importDataset(at({"a.las", "empty.las"}), data, "with an empty tile", 8).points, 3000u);
}

// Real surveys cut into four tiles.
TEST(MultiFileImport, RealSamplesInTiles) {
    const auto& samples = importedSamples();
    if (samples.files.empty())
        GTEST_SKIP() << "no LAS samples in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    int done = 0;
    for (const auto& sample : samples.files) {
        if (sample.points < 2000)
            continue;
        SCOPED_TRACE(sample.name);
        DatasetInfo info;
        const int64_t none[3] = {0, 0, 0};
        checkTiles(LasBytes::read(sample.path), samples.data + "/" + datasetDirName(sample.name), 2, 2, none,
                   dir.file(sample.name) + "-", info);
        ++done;
    }
    EXPECT_GE(done, 1);
}

} // namespace
