// Data set import, single and multi-file: every record once in its cell, all or nothing, damage reported.
#include "ServerTests.h"

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <linux/magic.h>
#include <sys/statfs.h>

namespace fs = std::filesystem;

namespace {

// The data set against its file: header, bounds, grids, every record once in its own cell, normals up.
void checkDataset(const std::string& lasPath, const std::string& dsDir, const std::string& name) {
    const LasInput las(lasPath);
    const uint64_t rec = las.h.PointDataRecordLength, wire = rec + 12;
    EXPECT_EQ(slurp(dsDir + "/header"), las.header());
    const DatasetInfo info = readDatasetInfo(dsDir);
    ASSERT_TRUE(info.name == name && info.points == las.count() && info.recordLength == wire &&
                !info.levels.empty());
    for (int a = 0; a < 3; ++a)
        EXPECT_TRUE(info.bounds[2 * a] == las.lo[a] && info.bounds[2 * a + 1] == las.hi[a]) << a;
    Records out;
    for (size_t l = 0; l < info.levels.size(); ++l) {
        const DatasetLevel& g = info.levels[l];
        SCOPED_TRACE("level " + std::to_string(l));
        ASSERT_TRUE(g.gridX >= 1 && g.gridY >= 1 && g.gridX <= 4096 && g.gridY <= 4096 && g.cell > 0);
        const std::string file = dsDir + "/level-" + std::to_string(l), pts = slurp(file + ".pts"),
                          idx = slurp(file + ".idx");
        const uint64_t cells = uint64_t(g.gridX) * g.gridY;
        ASSERT_TRUE(pts.size() == g.points * wire && idx.size() == (cells + 1) * 8);
        EXPECT_TRUE(le<uint64_t>(&idx[0]) == 0 && le<uint64_t>(&idx[cells * 8]) == g.points);
        // Cells are half-open, the last column and row taking what lies beyond.
        auto cellOf = [&](const char* r, int a, double origin, uint32_t count) {
            const double f = std::floor((worldOf(r, las.h, a) - origin) / g.cell);
            return f < 0 ? 0u : f >= count - 1 ? count - 1 : uint32_t(f);
        };
        uint64_t misplaced = 0;
        for (uint64_t c = 0; c < cells; ++c) {
            const uint64_t from = le<uint64_t>(&idx[c * 8]), to = le<uint64_t>(&idx[c * 8 + 8]);
            misplaced += from > to; // an index running backwards
            for (const char* r = &pts[from * wire]; r < &pts[0] + to * wire; r += wire)
                misplaced +=
                    uint64_t(cellOf(r, 1, g.originY, g.gridY)) * g.gridX + cellOf(r, 0, g.originX, g.gridX) !=
                    c;
        }
        EXPECT_EQ(misplaced, 0u) << "records outside their cell";
        for (const auto& r : splitReply(pts, rec))
            out.push_back(r);
    }
    EXPECT_TRUE(sorted(out) == las.records()) << "the records over all levels differ from the input's";
}

// Every point format; reimports byte-identical on disk and tmpfs (unaligned direct I/O); replacement.
TEST(DatasetImport, SyntheticScenesOfEveryFormatAndReimports) {
    EXPECT_EQ(datasetDirName("a"), "ds-af63dc4c8601ec8c"); // where existing data sets lie
    TempDir dir;
    const std::string data = dir.file("data");
    auto las = [&](int format) { return dir.file("scene" + std::to_string(format) + ".las"); };
    for (int format = 0; format < 4; ++format) {
        SCOPED_TRACE("format " + std::to_string(format));
        writeSyntheticLAS(las(format),
                          SynthOptions{format == 1 ? 70001u : 5000u, format, uint64_t(7 + format)});
        const std::string name = "scene " + std::to_string(format) + " \xc3\xbc";
        EXPECT_GE(importDataset(las(format), data, name, 12).levels.size(), format == 1 ? 3u : 1u);
        checkDataset(las(format), data + "/" + datasetDirName(name), name);
    }
    const std::string one = "scene 1 \xc3\xbc", ds = "/" + datasetDirName(one);
    const Contents first = contentsOf(data + ds);
    importDataset(las(1), data, one, 12);
    EXPECT_TRUE(first == contentsOf(data + ds));
    struct statfs st;
    char shm[] = "/dev/shm/pontaro-import-XXXXXX"; // the same on tmpfs (unaligned direct I/O)
    if (::statfs("/dev/shm", &st) == 0 && st.f_type == TMPFS_MAGIC && ::mkdtemp(shm)) {
        importDataset(las(1), std::string(shm), one, 12);
        const Contents inMemory = contentsOf(shm + ds);
        fs::remove_all(shm);
        EXPECT_TRUE(first == inMemory);
    }
    importDataset(las(0), data, one, 12);
    checkDataset(las(0), data + ds, one);
    EXPECT_EQ(std::distance(fs::directory_iterator(data), {}), 4) << "nothing left aside";
}

// The checksum sees every bit (lanes, tail, length) and takes pieces of any size.
TEST(DatasetIntegrity, ChecksumSeesEveryBitAndTakesPiecesOfAnySize) {
    std::string b(101, 'x');
    const uint64_t whole = checksum64(b.data(), b.size());
    Checksum64 c;
    c.update(b.data(), 33), c.update(b.data() + 33, 68);
    EXPECT_TRUE(c.digest() == whole && checksum64(b.data(), 100) != whole);
    for (size_t bit = 0; bit < 8 * b.size(); bit += 7) {
        b[bit / 8] ^= char(1 << bit % 8);
        EXPECT_NE(checksum64(b.data(), b.size()), whole) << bit;
        b[bit / 8] ^= char(1 << bit % 8);
    }
}

// Manifest covers every file; damage is found (records only with checkRecords), the good set still served.
TEST(DatasetIntegrity, DamagedDataSetsAreSkippedWithTheReason) {
    TempDir dir;
    const std::string las = dir.file("s.las"), data = dir.file("data"), pristine = dir.file("pristine");
    writeSyntheticLAS(las, SynthOptions{20000, 1, 5});
    importDataset(las, data, "good", 8);
    importDataset(las, pristine, "damaged", 8);
    const std::string ds = data + "/" + datasetDirName("damaged"),
                      original = pristine + "/" + datasetDirName("damaged");
    const std::string last = "level-" + std::to_string(readDatasetInfo(original).levels.size() - 1);
    using Edit = std::function<void(std::string&)>;
    // One digit of level 1's cell size, the first, as a user editing the file might.
    const Edit cellDigit = [](std::string& s) {
        const size_t at = s.find(" cell ", s.find("level 1 ")) + 6;
        s[at] = s[at] == '9' ? '1' : char(s[at] + 1);
    };
    const std::string changed = ": differs from the file the import wrote (changed or damaged since)";
    const struct {
        std::string file;
        Edit edit; // none: the file removed
        bool noManifest, onlyWithCheckRecords;
        std::string reason; // after the data set's directory; empty: served
    } cases[] = {
        // clang-format off
        {"levels", cellDigit, false, false, "/levels" + changed},
        {"header", nullptr, false, false, "/header: cannot read"},
        {last + ".pts", [](auto& r) { r.resize(r.size() - 40); }, false, false, "/" + last + ".pts: size does not match"},
        {last + ".idx", [](auto& x) { std::memcpy(&x[8], "\xff\xff\xff\xff\xff\xff\xff\x7f", 8); }, false, false,
         "/" + last + ".idx: entry 1 is out of order"}, // an entry beyond the records
        {last + ".idx", [](auto& x) { std::memcpy(&x[8], &x[x.size() - 8], 8); }, false, false,
         "/" + last + ".idx: entry 2 is out of order"}, // entry 1 at the level's end: the index runs backwards
        {last + ".pts", [](auto& r) { r[r.size() - 3] ^= 0x20; }, false, true, "/" + last + ".pts" + changed},
        {"manifest", [](auto& m) { m[25] = m[25] == '0' ? '1' : '0'; }, false, false,
         "/manifest: damaged (it does not match its own checksum)"},
        // Without the manifest: the grid no longer fits the bounds, or its records no longer fit the grid.
        {"levels", cellDigit, true, false, "/level"},
        {last + ".pts", [](auto& r) { std::memcpy(&r[0], "\xff\xff\xff\x7f", 4); }, true, true,
         "/" + last + ".pts: record 0 lies outside cell "},
        {"manifest", nullptr, true, false, ""}, // undamaged, with a note
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file + (c.noManifest ? " without manifest: " : ": ") + c.reason);
        fs::remove_all(ds);
        fs::copy(original, ds);
        std::string bytes = c.edit ? slurp(ds + "/" + c.file) : "";
        if (c.edit)
            c.edit(bytes), spit(ds + "/" + c.file, bytes);
        else
            fs::remove(ds + "/" + c.file);
        if (c.noManifest)
            fs::remove(ds + "/manifest");
        for (bool checkRecords : {false, true}) {
            SCOPED_TRACE(checkRecords ? "checking the records" : "checking at load");
            std::vector<std::string> problems, notes;
            const DatasetStore store = DatasetStore::load(data, &problems, checkRecords, &notes);
            if (c.reason.empty() || (c.onlyWithCheckRecords && !checkRecords)) {
                EXPECT_TRUE(store.size() == 2 && problems.empty()) << problems.size();
                EXPECT_EQ(notes.size(), size_t(c.noManifest));
                continue;
            }
            EXPECT_TRUE(store.names() == std::vector<std::string>{"good"} && notes.empty());
            ASSERT_EQ(problems.size(), 1u);
            EXPECT_EQ(problems[0].rfind(ds + c.reason, 0), 0u) << problems[0];
        }
    }
    EXPECT_THROW(DatasetStore::load(dir.file("missing")), std::runtime_error);
}

// Level files with each cell sorted: records of equal X keep input order, which tiles change.
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

// Tiles of `las` (all but the first shifted by `shift` units) imported as "s": the whole file's data set.
DatasetInfo checkTiles(const std::string& las, const std::string& wholeDs, int nx, int ny,
                       const int64_t shift[3], const std::string& prefix) {
    const auto tiles = splitIntoTiles(las, nx, ny, prefix);
    for (size_t t = 1; t < tiles.size();
         ++t) { // the same points in other offsets: raw values move against them
        LasBytes f = LasBytes::read(tiles[t]);
        std::vector<uint32_t> all(f.count());
        std::iota(all.begin(), all.end(), 0u);
        for (int a = 0; a < 3; ++a)
            for (uint32_t i : all) {
                const int32_t v = int32_t(f.raw(i, a) - shift[a]);
                std::memcpy(&f.records[size_t(i) * f.header.PointDataRecordLength + 4 * size_t(a)], &v, 4);
            }
        f.header.OffsetX += double(shift[0]) * f.header.ScaleFactor_X;
        f.header.OffsetY += double(shift[1]) * f.header.ScaleFactor_Y;
        f.header.OffsetZ += double(shift[2]) * f.header.ScaleFactor_Z;
        f.write(tiles[t], all);
    }
    const DatasetInfo info = importDataset(tiles, prefix + "many", "s", 10);
    Contents many = withCellsSorted(prefix + "many/" + datasetDirName("s")), own = withCellsSorted(wholeDs);
    LASHeader h;
    h.copyFromBuffer(reinterpret_cast<const unsigned char*>(many["header"].data()));
    const double bounds[6] = {h.Min_X, h.Max_X, h.Min_Y, h.Max_Y, h.Min_Z, h.Max_Z};
    EXPECT_TRUE(std::equal(bounds, bounds + 6, info.bounds));
    for (Contents* c : {&many, &own}) { // without bounds, name and the checksums of them
        std::fill((*c)["header"].begin() + 179, (*c)["header"].begin() + 227, 0);
        c->erase("manifest"), c->erase("name");
    }
    EXPECT_TRUE(many == own);
    return info;
}

// Tiles in any layout and offsets give the whole scene's data set; served seams hold the same normals.
TEST(MultiFileImport, TilesGiveTheDataSetOfTheWholeScene) {
    TempDir dir;
    const std::string scene = dir.file("scene.las"), data = dir.file("data");
    writeSyntheticLAS(scene, SynthOptions{30000, 1, 21});
    importDataset(scene, data, "s", 10);
    ASSERT_GE(readDatasetInfo(data + "/" + datasetDirName("s")).levels.size(), 3u);
    LocalPointServer own(data);
    HttpClient http;
    const int64_t shift[3] = {100000, -2500, 7}; // offsets that differ by whole units
    const std::string prefix = dir.file("tile");
    const DatasetInfo info = checkTiles(scene, data + "/" + datasetDirName("s"), 2, 2, shift, prefix);
    LocalPointServer tiled(prefix + "many");
    const LASHeader first = LasBytes::read(prefix + "1.las").header;
    for (int axis = 0; axis < 2; ++axis) { // a metre either side of the first tile's upper edge, all levels
        const double edge = axis ? first.Max_Y + first.ScaleFactor_Y : first.Max_X + first.ScaleFactor_X;
        const std::string near = num(edge - 1) + "/" + num(edge + 1), across = "-1e9/1e9";
        const std::string strip =
            "getRangeNormals/s/" + (axis ? across + "/" + near : near + "/" + across) + "/-1e9/1e9";
        const Records seam = splitReply(http.get(tiled.base() + strip).body, info.recordLength - 12, true);
        EXPECT_GT(seam.size(), 50u) << "xy"[axis];
        EXPECT_TRUE(seam == splitReply(http.get(own.base() + strip).body, info.recordLength - 12, true));
    }
}

// Refusals name the files in one line; failures, changing files and bad directories leave nothing behind.
TEST(DatasetImport, RefusalsAndFailuresWriteNothing) {
    TempDir dir;
    const std::string a = dir.file("a.las"), b = dir.file("b.las"), data = dir.file("data");
    writeSyntheticLAS(a, SynthOptions{3000, 1, 1});
    writeSyntheticLAS(b, SynthOptions{3000, 1, 2});
    writeSyntheticLAS(dir.file("format0.las"), SynthOptions{3000, 0, 3});
    const LasBytes good = LasBytes::read(b);
    std::vector<uint32_t> all(good.count());
    std::iota(all.begin(), all.end(), 0u);
    auto variant = [&](const std::string& name, auto&& change) {
        LasBytes v = good;
        change(v.header);
        v.write(dir.file(name), all);
    };
    widen(b, dir.file("wide.las"), 2); // the same format with two bytes more per record
    variant("fine.las", [](LASHeader& h) { h.ScaleFactor_Y = 0.001; });
    variant("half.las", [](LASHeader& h) { h.OffsetX += 0.5 * h.ScaleFactor_X; });
    variant("far.las", [](LASHeader& h) { h.OffsetZ += 3221225472.0 * h.ScaleFactor_Z; });
    good.write(dir.file("empty.las"), {});
    const std::string bytes = slurp(b);
    spit(dir.file("cut.las"), bytes.substr(0, bytes.size() - 100));
    spit(dir.file("f6.las"), bytes.substr(0, 104) + '\6' + bytes.substr(105));
    const struct {
        std::vector<std::string> files;     // in the order given to the import
        std::vector<std::string> fragments; // each in the message
        std::string name = "kept";
        int neighbours = 8;
    } cases[] = {
        // clang-format off
        {{"a.las", "format0.las"}, {"a.las and ", "format0.las differ in point data format (1 and 0)"}},
        {{"a.las", "wide.las"}, {"a.las and ", "wide.las differ in point record length (28 bytes and 30 bytes)"}},
        {{"a.las", "b.las", "fine.las"}, {"a.las and ", "fine.las differ in scale factors (0.01 0.01 0.01 and 0.01 0.001 0.01)"}},
        {{"a.las", "half.las"}, {"half.las: its X offset", "a.las's", "by 0.5 scale units, not a whole number"}},
        {{"a.las", "far.las"}, {"far.las: point 0 lies beyond what ", "a.las's offsets"}},
        {{"a.las", "b.las", "cut.las"}, {"cut.las: file is truncated"}},
        {{"f6.las"}, {"f6.las: "}},
        {{"a.las", "b.las", "a.las"}, {"a.las is the same file as ", "a.las"}},
        {{"empty.las"}, {"empty.las: the file holds no points"}},
        {{"a.las", "b.las", "nowhere.las"}, {"nowhere.las: not a readable LAS file"}},
        {{"a.las"}, {"the data set name is empty"}, ""},
        {{"a.las"}, {"must not be \".\" or \"..\""}, ".."},
        {{"a.las"}, {"must not hold control characters"}, "two\nlines"},
        {{"a.las"}, {"the neighbour count must be from 3 to 64, not 2"}, "kept", 2},
        // clang-format on
    };
    // Refused with a message of one line holding every fragment.
    auto refused = [&](const std::vector<std::string>& names, const std::string& target,
                       const std::vector<std::string>& fragments, const std::string& name = "kept", int k = 8,
                       const ImportProgress& progress = {}) {
        std::vector<std::string> files;
        for (const auto& f : names)
            files.push_back(dir.file(f));
        try {
            importDataset(files, target, name, k, progress);
            ADD_FAILURE() << "taken";
        } catch (const std::runtime_error& e) {
            const std::string m = e.what();
            EXPECT_EQ(m.find('\n'), std::string::npos) << m;
            for (const auto& f : fragments)
                EXPECT_NE(m.find(f), std::string::npos) << m << "\nlacks: " << f;
        }
    };
    importDataset(a, data, "kept", 8);
    const Contents before = contentsOf(data);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fragments[0]);
        for (const std::string& target : {data, dir.file("fresh")})
            refused(c.files, target, c.fragments, c.name, c.neighbours);
        EXPECT_FALSE(fs::exists(dir.file("fresh")));
    }
    // A failure while computing or writing (here: the progress callback) removes the half-built directory.
    for (const char* phase : {"normals", "write"})
        for (const char* name : {"kept", "other"})
            refused({"a.las"}, data, {"stopped"}, name, 8,
                    [&](const std::string& p, uint64_t done, uint64_t) {
                        if (p == phase && done > 0)
                            throw std::runtime_error("stopped");
                    });
    // A file rewritten while its normals or levels are computed is refused, not mixed.
    std::string moved = bytes;
    moved[good.header.OffsetToPointData + 8] ^= 1; // the first point's z
    for (const char* phase : {"normals", "levels"}) {
        spit(dir.file("changing.las"), bytes);
        bool changed = false;
        refused({"a.las", "changing.las"}, data,
                {"changing.las: the file changed while it was being imported"}, "kept", 8,
                [&](const std::string& p, uint64_t, uint64_t) {
                    if (p == phase && !std::exchange(changed, true))
                        spit(dir.file("changing.las"), moved);
                });
    }
    // Data directories that cannot be made or written.
    const std::string blocker = dir.file("plain-file");
    spit(blocker, "abc");
    EXPECT_THROW(importDataset(a, blocker, "x", 8), std::runtime_error);
    EXPECT_EQ(slurp(blocker), "abc");
    EXPECT_TRUE(contentsOf(data) == before);
    // A file without points among others is taken: the data set of the others.
    EXPECT_EQ(importDataset({a, dir.file("empty.las")}, data, "with an empty tile", 8).points, 3000u);
}

// Real samples: the data set, served (tiles of each level) and as four tiles.
TEST(DatasetImport, RealSamples) {
    std::vector<SampleFile> samples;
    for (const auto& s : manifestSamples("las"))
        if (fs::exists(s.path))
            samples.push_back(s);
    if (samples.empty())
        GTEST_SKIP() << "no LAS samples in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    const std::string data = dir.file("data");
    for (const auto& s : samples)
        importDataset(s.path, data, s.name, 10);
    LocalPointServer server(data);
    HttpClient http;
    const int64_t none[3] = {0, 0, 0};
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        const std::string ds = data + "/" + datasetDirName(s.name);
        checkDataset(s.path, ds, s.name);
        const LasInput in(s.path);
        Served{http, server.base(), s.name, in}.expectPartitions(
            {{edges(in.lo[0], in.hi[0], 5), edges(in.lo[1], in.hi[1], 5)}});
        if (s.points >= 2000)
            checkTiles(s.path, ds, 2, 2, none, dir.file(s.name) + "-");
    }
}

} // namespace

// Imports bounded in memory: buckets on disk give the in-memory import's bytes (normals at bucket borders
// included), one file or tiles; an interrupted import and a full disk leave no trace in either directory.
TEST(BoundedImport, BucketsGiveTheInMemoryDataSetAndLeaveNothingBehind) {
    TempDir dir;
    const std::string scene = dir.file("scene.las"), tmp = dir.file("tmp");
    writeSyntheticLAS(scene, SynthOptions{400000, 1, 17});
    const auto tiles = splitIntoTiles(scene, 2, 3, dir.file("tile"));
    fs::create_directories(tmp);
    auto import = [&](const std::vector<std::string>& files, const std::string& data, uint64_t memory,
                      const ImportProgress& progress = {}) {
        ImportOptions o;
        o.neighbours = 10;
        o.memory = memory;
        o.tmpDir = memory ? tmp : "";
        o.progress = progress;
        return importDataset(files, data, "s", o);
    };
    std::vector<std::string> phases;
    for (const auto& files : {std::vector<std::string>{scene}, tiles}) {
        const std::string whole = dir.file("whole"), bounded = dir.file("bounded");
        import(files, whole, 0);
        import(files, bounded, kMinImportMemory, [&](const std::string& p, uint64_t, uint64_t) {
            if (phases.empty() || phases.back() != p)
                phases.push_back(p);
        });
        EXPECT_TRUE(contentsOf(whole) == contentsOf(bounded)) << files.size() << " files";
        EXPECT_TRUE(fs::is_empty(tmp));
        fs::remove_all(whole);
        fs::remove_all(bounded);
    }
    EXPECT_NE(std::find(phases.begin(), phases.end(), "partition"), phases.end()) << "never bucketed";

    auto refused = [&](const ImportProgress& progress, const std::string& fragment) {
        const std::string data = dir.file("data");
        try {
            import({scene}, data, kMinImportMemory, progress);
            ADD_FAILURE() << "taken";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::exists(data));
        EXPECT_TRUE(fs::is_empty(tmp));
    };
    for (const char* phase : {"partition", "levels", "normals", "write"})
        refused(
            [&](const std::string& p, uint64_t done, uint64_t) {
                if (p == phase && done > 0)
                    throw std::runtime_error("interrupted");
            },
            "interrupted");
    // A full disk: writes beyond a file size limit fail as on a full disk (the signal it raises is ignored).
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = {4 << 20, old.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    refused({}, "File too large");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    try {
        import({scene}, dir.file("data"), kMinImportMemory - 1);
        ADD_FAILURE() << "taken";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("at least 32 MiB"), std::string::npos) << e.what();
    }
}
