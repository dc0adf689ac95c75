// Several LAS files imported as one data set: the tiles of a scene give the data set of the whole scene,
// seams included, and files that cannot make one data set are refused by name with nothing written.
#include "DatasetImport.h"
#include "LASHeader.h"
#include "SyntheticScene.h"
#include "support/Http.h"
#include "support/LasTiles.h"
#include "support/LocalPointServer.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace fs = std::filesystem;

namespace {

using Contents = std::map<std::string, std::vector<unsigned char>>;

// Every file under dir (relative names), a directory as an empty entry.
Contents contentsOf(const fs::path& dir) {
    Contents out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        out[fs::relative(e.path(), dir).string()] =
            e.is_regular_file() ? readBytes(e.path().string()) : std::vector<unsigned char>{};
    return out;
}

std::string listing(const Contents& c) {
    std::string s;
    for (auto& [k, v] : c)
        s += k + " (" + std::to_string(v.size()) + " bytes)\n";
    return s;
}

// A point reply as its records, sorted: what it holds whatever order records take within a cell.
std::vector<std::string> recordsOf(const std::string& body, size_t wire) {
    std::vector<std::string> out;
    for (size_t at = 0; at + wire <= body.size(); at += wire)
        out.push_back(body.substr(at, wire));
    std::sort(out.begin(), out.end());
    return out;
}

// The level files of a data set with each cell's records sorted: within a cell, records of equal X
// follow input order, which tiles change.
Contents withCellsSorted(const std::string& ds) {
    Contents c = contentsOf(ds);
    const DatasetInfo info = readDatasetInfo(ds);
    for (size_t l = 0; l < info.levels.size(); ++l) {
        auto& pts = c["level-" + std::to_string(l) + ".pts"];
        const auto& idx = c["level-" + std::to_string(l) + ".idx"];
        for (size_t cell = 0; cell + 1 < idx.size() / 8; ++cell) {
            uint64_t a, b;
            std::memcpy(&a, &idx[8 * cell], 8);
            std::memcpy(&b, &idx[8 * cell + 8], 8);
            std::vector<std::string> rec;
            for (uint64_t r = a; r < b; ++r)
                rec.emplace_back(reinterpret_cast<const char*>(&pts[r * info.recordLength]),
                                 info.recordLength);
            std::sort(rec.begin(), rec.end());
            for (uint64_t r = a; r < b; ++r)
                std::memcpy(&pts[r * info.recordLength], rec[r - a].data(), info.recordLength);
        }
    }
    return c;
}

std::string num(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

struct TileCase {
    const char* what;
    int nx, ny;
    int64_t shift[3]; // whole scale units added to the offsets of every tile but the first
};

TEST(MultiFileImport, TilesGiveTheDataSetOfTheWholeScene) {
    TempDir dir;
    const std::string scene = dir.file("scene.las");
    writeSyntheticLAS(scene, SynthOptions{30000, 1, 21});
    const LasBytes whole = LasBytes::read(scene);
    const std::string data = dir.file("data");
    importDataset(scene, data, "whole", 10);
    const std::string wholeDir = data + "/" + datasetDirName("whole");
    ASSERT_GE(readDatasetInfo(wholeDir).levels.size(), 3u);

    const TileCase cases[] = {{"two tiles side by side", 2, 1, {0, 0, 0}},
                              {"two tiles one above the other", 1, 2, {0, 0, 0}},
                              {"four tiles", 2, 2, {0, 0, 0}},
                              {"four tiles whose offsets differ by whole units", 2, 2, {100000, -2500, 7}}};
    for (const TileCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string prefix = dir.file(std::to_string(c.nx) + "x" + std::to_string(c.ny) + "-");
        const auto tile = gridTiles(whole, c.nx, c.ny);
        const auto members = tileMembers(tile, c.nx * c.ny);
        std::vector<std::string> tiles;
        std::vector<uint32_t> tileOrder; // the scene's records in the order the tiles hold them
        for (size_t t = 0; t < members.size(); ++t) {
            ASSERT_GT(members[t].size(), 30000u / members.size() / 2) << "tile " << t;
            tiles.push_back(prefix + std::to_string(t + 1) + ".las");
            tileOrder.insert(tileOrder.end(), members[t].begin(), members[t].end());
            if (t == 0 || (c.shift[0] == 0 && c.shift[1] == 0 && c.shift[2] == 0)) {
                whole.write(tiles.back(), members[t]);
                continue;
            }
            // The same points in other offsets: raw values move against the offsets.
            LasBytes moved = whole;
            moved.header.OffsetX += double(c.shift[0]) * moved.header.ScaleFactor_X;
            moved.header.OffsetY += double(c.shift[1]) * moved.header.ScaleFactor_Y;
            moved.header.OffsetZ += double(c.shift[2]) * moved.header.ScaleFactor_Z;
            for (uint32_t i : members[t])
                for (int a = 0; a < 3; ++a) {
                    const int32_t v = int32_t(moved.raw(i, a) - c.shift[a]);
                    std::memcpy(
                        &moved.records[size_t(i) * moved.header.PointDataRecordLength + 4 * size_t(a)], &v,
                        4);
                }
            moved.write(tiles.back(), members[t]);
        }

        // The whole scene with its records in tile order: every data set file the same, byte for byte.
        const std::string reordered = prefix + "all.las";
        whole.write(reordered, tileOrder, true);
        importDataset(reordered, dir.file("one"), "tiled", 10);
        const DatasetInfo info = importDataset(tiles, dir.file("many"), "tiled", 10);
        EXPECT_EQ(info.points, 30000u);
        const Contents many = contentsOf(dir.file("many"));
        EXPECT_EQ(many.size(), 3 + 2 * info.levels.size() + 1) << listing(many);
        EXPECT_TRUE(many == contentsOf(dir.file("one"))) << listing(many);

        // Against the scene in its own order: the same files but for the order of equal X within cells.
        importDataset(tiles, data, "tiled", 10);
        const std::string tiledDir = data + "/" + datasetDirName("tiled");
        Contents a = withCellsSorted(wholeDir), b = withCellsSorted(tiledDir);
        a.erase("name");
        b.erase("name");
        EXPECT_TRUE(a == b) << listing(b);

        // And as the server answers: the header, the levels, every level's records and, strip by strip, the
        // points at the seams, normals included.
        LocalPointServer server(data);
        HttpClient http;
        auto get = [&](const std::string& path) {
            HttpReply r = http.get(server.base() + path);
            EXPECT_EQ(r.status, 200) << path;
            return r.body;
        };
        EXPECT_EQ(get("getHeader/tiled"), get("getHeader/whole"));
        EXPECT_EQ(get("getNumberOfLevels/tiled"), get("getNumberOfLevels/whole"));
        const size_t wire = info.recordLength;
        for (size_t l = 0; l < info.levels.size(); ++l) {
            const std::string levels = std::to_string(l) + "/" + std::to_string(l);
            EXPECT_TRUE(recordsOf(get("getLODNormals/tiled/" + levels), wire) ==
                        recordsOf(get("getLODNormals/whole/" + levels), wire))
                << "level " << l;
        }
        for (int t = 0; t < c.nx * c.ny; ++t)
            for (int axis = 0; axis < 2; ++axis) {
                // A metre on either side of the tile's lower edge, across the data, over all levels.
                const double scale = axis == 0 ? whole.header.ScaleFactor_X : whole.header.ScaleFactor_Y;
                const double offset = axis == 0 ? whole.header.OffsetX : whole.header.OffsetY;
                double edge = INFINITY;
                for (uint32_t i : members[size_t(t)])
                    edge = std::min(edge, whole.raw(i, axis) * scale + offset);
                if (edge == info.bounds[2 * axis])
                    continue;
                const std::string across = "-1e9/1e9", near = num(edge - 1) + "/" + num(edge + 1);
                const std::string strip =
                    (axis == 0 ? near + "/" + across : across + "/" + near) + "/-1e9/1e9";
                const auto seam = recordsOf(get("getRangeNormals/tiled/" + strip), wire);
                EXPECT_GT(seam.size(), 50u);
                EXPECT_TRUE(seam == recordsOf(get("getRangeNormals/whole/" + strip), wire))
                    << "seam of tile " << t << " in "
                    << "xy"[axis];
            }
        fs::remove_all(dir.file("one"));
        fs::remove_all(dir.file("many"));
    }
}

struct Refusal {
    const char* what;
    std::vector<std::string> files;     // in the order given to the import
    std::vector<std::string> fragments; // each in the message
};

TEST(MultiFileImport, RefusalsNameTheFilesAndWriteNothing) {
    TempDir dir;
    const std::string a = dir.file("a.las"), b = dir.file("b.las");
    writeSyntheticLAS(a, SynthOptions{3000, 1, 1});
    writeSyntheticLAS(b, SynthOptions{3000, 1, 2});
    writeSyntheticLAS(dir.file("format0.las"), SynthOptions{3000, 0, 3});
    const LasBytes good = LasBytes::read(b);
    std::vector<uint32_t> all(good.count());
    for (uint32_t i = 0; i < good.count(); ++i)
        all[i] = i;
    auto variant = [&](const std::string& name, auto&& change, const std::vector<uint32_t>& records) {
        LasBytes v = good;
        change(v);
        v.write(dir.file(name), records);
    };
    const auto same = [](LasBytes&) {};
    variant(
        "wide.las",
        [](LasBytes& v) { // the same format with two bytes more per record
            const size_t rec = v.header.PointDataRecordLength;
            std::vector<unsigned char> wide;
            for (size_t at = 0; at < v.records.size(); at += rec) {
                wide.insert(wide.end(), v.records.begin() + long(at), v.records.begin() + long(at + rec));
                wide.insert(wide.end(), {0, 0});
            }
            v.records = wide;
            v.header.PointDataRecordLength = uint16_t(rec + 2);
        },
        all);
    variant(
        "fine.las", [](LasBytes& v) { v.header.ScaleFactor_Y = 0.001; }, all);
    variant(
        "half.las", [](LasBytes& v) { v.header.OffsetX += 0.5 * v.header.ScaleFactor_X; }, all);
    variant(
        "far.las", [](LasBytes& v) { v.header.OffsetZ += 3221225472.0 * v.header.ScaleFactor_Z; }, all);
    variant("empty.las", same, {});
    variant("empty2.las", same, {});
    {
        const auto bytes = readBytes(b);
        writeBytes(dir.file("cut.las"), bytes, bytes.size() - 100);
    }
    auto at = [&](const std::vector<std::string>& names) {
        std::vector<std::string> out;
        for (const auto& n : names)
            out.push_back(dir.file(n));
        return out;
    };
    const Refusal cases[] = {
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
        {"an empty file given twice", {"empty.las", "empty.las"}, {"empty.las is the same file"}},
        {"only files without points", {"empty.las", "empty2.las"}, {"the files hold no points"}},
        {"no points at all", {"empty.las"}, {"empty.las: the file holds no points"}},
        {"a file that is not LAS",
         {"a.las", "b.las", "nowhere.las"},
         {"nowhere.las: not a readable LAS file"}},
    };
    const std::string data = dir.file("data");
    importDataset(a, data, "kept", 8);
    const Contents before = contentsOf(data);
    for (const Refusal& c : cases) {
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

    // A file without points among others is taken: the data set of the others.
    const DatasetInfo info = importDataset(at({"a.las", "empty.las"}), data, "with an empty tile", 8);
    EXPECT_EQ(info.points, 3000u);

    // The records are read more than once: a file rewritten meanwhile is refused by name.
    for (const char* phase : {"normals", "levels"}) {
        const std::string changing = dir.file("changing.las");
        fs::copy_file(b, changing, fs::copy_options::overwrite_existing);
        bool changed = false;
        try {
            importDataset({a, changing}, data, "kept", 8, [&](const std::string& p, uint64_t, uint64_t) {
                if (p != phase || changed)
                    return;
                LasBytes moved = good;
                moved.records[8] ^= 1; // z of the first point
                moved.write(changing, all);
                changed = true;
            });
            ADD_FAILURE() << "a file changed during its import was taken";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(
                std::string(e.what()).find("changing.las: the file changed while it was being imported"),
                std::string::npos)
                << e.what();
        }
    }
    auto after = contentsOf(data);
    for (auto it = after.begin(); it != after.end();)
        it = it->first.rfind(datasetDirName("with an empty tile"), 0) == 0 ? after.erase(it) : std::next(it);
    EXPECT_TRUE(after == before) << listing(after);
}

// Real surveys cut into four tiles: the data set of the tiles is that of the whole file, but for the header's
// bounds, which the tiles' import takes from the points (stored bounds are often a little off).
TEST(MultiFileImport, RealSamplesInTiles) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LAS samples in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    int done = 0;
    for (const auto& sample : samples) {
        if (sample.points < 2000 || !fs::exists(sample.path))
            continue;
        SCOPED_TRACE(sample.name);
        const LasBytes whole = LasBytes::read(sample.path);
        const auto members = tileMembers(gridTiles(whole, 2, 2), 4);
        std::vector<std::string> tiles;
        std::vector<uint32_t> tileOrder;
        for (size_t t = 0; t < members.size(); ++t) {
            tiles.push_back(dir.file("tile" + std::to_string(t + 1) + ".las"));
            whole.write(tiles.back(), members[t]);
            tileOrder.insert(tileOrder.end(), members[t].begin(), members[t].end());
        }
        whole.write(dir.file("reordered.las"), tileOrder, true);
        const DatasetInfo info = importDataset(tiles, dir.file("many"), "s", 8);
        importDataset(dir.file("reordered.las"), dir.file("one"), "s", 8);
        importDataset(sample.path, dir.file("own order"), "s", 8);
        const std::string ds = std::string(1, '/').append(datasetDirName("s"));
        Contents many = contentsOf(dir.file("many") + ds), one = contentsOf(dir.file("one") + ds);
        LASHeader h;
        h.copyFromBuffer(many["header"].data());
        EXPECT_EQ(h.Min_X, info.bounds[0]);
        EXPECT_EQ(h.Max_X, info.bounds[1]);
        EXPECT_EQ(h.Min_Y, info.bounds[2]);
        EXPECT_EQ(h.Max_Y, info.bounds[3]);
        EXPECT_EQ(h.Min_Z, info.bounds[4]);
        EXPECT_EQ(h.Max_Z, info.bounds[5]);
        for (Contents* c : {&many, &one})
            std::fill((*c)["header"].begin() + 179, (*c)["header"].begin() + 227, 0);
        EXPECT_TRUE(many == one) << listing(many);
        Contents own = withCellsSorted(dir.file("own order") + ds),
                 tiled = withCellsSorted(dir.file("many") + ds);
        for (Contents* c : {&own, &tiled})
            std::fill((*c)["header"].begin() + 179, (*c)["header"].begin() + 227, 0);
        EXPECT_TRUE(own == tiled);
        for (const char* d : {"many", "one", "own order"})
            fs::remove_all(dir.file(d));
        ++done;
    }
    EXPECT_GE(done, 1);
}

} // namespace
