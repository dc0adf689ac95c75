// Data set import: every record lands exactly once, sorted by cell with a consistent index, the directory
// appears whole or not at all, and damage found later is reported with its reason.
#include "DatasetImport.h"
#include "DatasetFormat.h"
#include "DatasetStore.h"
#include "ServerTests.h"
#include "SyntheticScene.h"

#include <functional>
#include <iostream>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace fs = std::filesystem;

namespace {

// Checks the data set built from lasPath against the file itself: header, bounds, grids, every record once
// over the levels in its own cell, and unit normals facing up.
void checkDataset(const std::string& lasPath, const std::string& dsDir, const std::string& name) {
    const LasInput las(lasPath);
    const uint64_t n = las.count(), rec = las.h.PointDataRecordLength, wire = rec + 12;
    EXPECT_EQ(slurp(dsDir + "/header"), las.header());
    DatasetInfo info = readDatasetInfo(dsDir);
    EXPECT_EQ(info.name, name);
    ASSERT_EQ(info.points, n);
    ASSERT_EQ(info.recordLength, wire);
    ASSERT_GE(info.levels.size(), 1u);
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(info.bounds[2 * a], las.lo[a]);
        EXPECT_EQ(info.bounds[2 * a + 1], las.hi[a]);
    }
    Records out;
    for (size_t l = 0; l < info.levels.size(); ++l) {
        const DatasetLevel& g = info.levels[l];
        SCOPED_TRACE("level " + std::to_string(l));
        ASSERT_TRUE(g.gridX >= 1 && g.gridY >= 1 && g.gridX <= 4096 && g.gridY <= 4096 && g.cell > 0);
        const std::string pts = slurp(dsDir + "/level-" + std::to_string(l) + ".pts");
        const std::string idx = slurp(dsDir + "/level-" + std::to_string(l) + ".idx");
        ASSERT_EQ(pts.size(), g.points * wire);
        const uint64_t cells = uint64_t(g.gridX) * g.gridY;
        ASSERT_EQ(idx.size(), (cells + 1) * 8);
        EXPECT_EQ(le<uint64_t>(&idx[0]), 0u);
        EXPECT_EQ(le<uint64_t>(&idx[cells * 8]), g.points);
        // The cell's bounds: half-open, the last column and row taking what lies beyond.
        auto cellOf = [&](double v, double origin, uint32_t count) {
            double f = std::floor((v - origin) / g.cell);
            return f < 0 ? 0u : f >= count - 1 ? count - 1 : uint32_t(f);
        };
        uint64_t misplaced = 0;
        for (uint64_t c = 0; c < cells; ++c) {
            const uint64_t from = le<uint64_t>(&idx[c * 8]), to = le<uint64_t>(&idx[c * 8 + 8]);
            ASSERT_LE(from, to);
            for (uint64_t k = from; k < to; ++k) {
                const char* r = &pts[k * wire];
                misplaced += uint64_t(cellOf(worldOf(r, las.h, 1), g.originY, g.gridY)) * g.gridX +
                                 cellOf(worldOf(r, las.h, 0), g.originX, g.gridX) !=
                             c;
            }
        }
        EXPECT_EQ(misplaced, 0u) << "records outside their cell";
        const Records level = splitReply(pts, rec);
        out.insert(out.end(), level.begin(), level.end());
    }
    EXPECT_TRUE(sorted(out) == las.records()) << "the records over all levels differ from the input's";
}

size_t entriesStarting(const fs::path& dir, const std::string& prefix) {
    size_t k = 0;
    for (auto& e : fs::directory_iterator(dir))
        k += e.path().filename().string().rfind(prefix, 0) == 0;
    return k;
}

// Synthetic scenes of every point format under one directory, the phases reported in order.
TEST(DatasetImport, SyntheticScenesOfEveryFormat) {
    EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(datasetDirName("a"), "ds-af63dc4c8601ec8c");
    TempDir dir;
    const std::string data = dir.file("data");
    for (int format = 0; format < 4; ++format) {
        SCOPED_TRACE("format " + std::to_string(format));
        std::string las = dir.file("scene" + std::to_string(format) + ".las");
        writeSyntheticLAS(las, SynthOptions{format == 1 ? 20000u : 5000u, format, uint64_t(7 + format)});
        std::string name = "scene " + std::to_string(format) + " \xc3\xbc";
        std::vector<std::string> phases;
        DatasetInfo info = importDataset(las, data, name, 16, [&](const std::string& p, uint64_t, uint64_t) {
            if (phases.empty() || phases.back() != p)
                phases.push_back(p);
        });
        EXPECT_EQ(phases, (std::vector<std::string>{"read", "normals", "levels", "write"}));
        const std::string ds = data + "/" + datasetDirName(name);
        EXPECT_EQ(info.levels.size(), readDatasetInfo(ds).levels.size());
        checkDataset(las, ds, name);
        EXPECT_GE(info.levels.size(), format == 1 ? 3u : 1u);
    }
    EXPECT_EQ(entriesStarting(data, ".tmp-"), 0u);
    EXPECT_EQ(entriesStarting(data, "ds-"), 4u);
}

// Every real sample, imported once for the whole program.
TEST(DatasetImport, RealSamples) {
    const auto& samples = importedSamples();
    if (samples.files.empty())
        GTEST_SKIP() << "no LAS samples in " << PONTARO_DATA_DIR << "/las";
    for (const auto& s : samples.files) {
        SCOPED_TRACE(s.name);
        checkDataset(s.path, samples.data + "/" + datasetDirName(s.name), s.name);
    }
}

// Imports are byte for byte reproducible, over the same data set and on tmpfs as on disk (level files go past
// the page cache where allowed, padded to whole blocks and cut back: sizes that are not whole blocks);
// another file under the same name replaces the data set whole.
TEST(DatasetImport, ReimportIsByteIdenticalOnDiskAndInMemory) {
    TempDir dir;
    const std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{70001, 1, 8});
    importDataset(las, dir.file("a"), "same", 12);
    const Contents first = contentsOf(dir.file("a"));
    importDataset(las, dir.file("a"), "same", 12);
    EXPECT_TRUE(first == contentsOf(dir.file("a"))) << listing(contentsOf(dir.file("a")));
    EXPECT_EQ(dir.entryCount(), 2u);
    struct statfs st;
    if (::statfs("/dev/shm", &st) == 0 && st.f_type == TMPFS_MAGIC) {
        char shm[] = "/dev/shm/pontaro-import-XXXXXX";
        ASSERT_NE(::mkdtemp(shm), nullptr);
        importDataset(las, std::string(shm) + "/data", "same", 12);
        const Contents inMemory = contentsOf(std::string(shm) + "/data");
        fs::remove_all(shm);
        EXPECT_TRUE(first == inMemory) << listing(inMemory);
    } else {
        std::cout << "no tmpfs at /dev/shm: imported on disk only\n";
    }
    const std::string other = dir.file("o.las");
    writeSyntheticLAS(other, SynthOptions{3000, 0, 6});
    importDataset(other, dir.file("a"), "same", 12);
    checkDataset(other, dir.file("a") + "/" + datasetDirName("same"), "same");
    EXPECT_EQ(entriesStarting(dir.file("a"), ".tmp-"), 0u);
    EXPECT_EQ(entriesStarting(dir.file("a"), "ds-"), 1u);
}

// Bad files, failures while writing, files changing under the import, unusable directories and names:
// each refused with nothing written and the data directory as it was.
TEST(DatasetImport, FailuresLeaveTheDirectoryAsItWas) {
    TempDir dir;
    const std::string las = dir.file("s.las"), data = dir.file("data");
    writeSyntheticLAS(las, SynthOptions{3000, 1, 3});
    importDataset(las, data, "kept", 8);
    const Contents before = contentsOf(data);
    const std::string bytes = slurp(las);
    spit(dir.file("truncated.las"), bytes.substr(0, bytes.size() - 100));
    std::string badFormat = bytes, badVersion = bytes;
    badFormat[104] = 6;
    badVersion[25] = 4;
    spit(dir.file("f6.las"), badFormat);
    spit(dir.file("v14.las"), badVersion);
    for (const char* file : {"truncated.las", "missing.las", "f6.las", "v14.las"})
        for (const char* name : {"kept", "other"})
            EXPECT_THROW(importDataset(dir.file(file), data, name, 8), std::runtime_error) << file;
    // A failure while writing or computing (here: the progress callback) removes the half-built directory.
    auto failIn = [](const char* phase) {
        return [phase](const std::string& p, uint64_t done, uint64_t) {
            if (p == phase && done > 0)
                throw std::runtime_error("stopped");
        };
    };
    EXPECT_THROW(importDataset(las, data, "kept", 8, failIn("write")), std::runtime_error);
    EXPECT_THROW(importDataset(las, data, "other", 8, failIn("write")), std::runtime_error);
    EXPECT_THROW(importDataset(las, data, "other", 8, failIn("normals")), std::runtime_error);
    // The records are read more than once: a file rewritten meanwhile (one point moved while the normals
    // are computed, or the levels) is refused, not mixed.
    for (const char* phase : {"normals", "levels"}) {
        const std::string changing = dir.file("changing.las");
        spit(changing, bytes);
        bool changed = false;
        auto change = [&](const std::string& p, uint64_t, uint64_t) {
            if (p != phase || changed)
                return;
            std::string moved = bytes;
            moved[bytes.size() - 20 * 28 + 8] ^= 1; // z of a point near the end
            spit(changing, moved);
            changed = true;
        };
        try {
            importDataset(changing, data, "kept", 8, change);
            ADD_FAILURE() << "a file changed during its import was taken";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("the file changed while it was being imported"),
                      std::string::npos)
                << e.what();
        }
    }
    // Data directories that cannot be made or written, and names that cannot be data sets.
    const std::string blocker = dir.file("plain-file");
    spit(blocker, "abc");
    EXPECT_THROW(importDataset(las, blocker, "x", 8), std::runtime_error);
    EXPECT_THROW(importDataset(las, blocker + "/sub", "x", 8), std::runtime_error);
    EXPECT_EQ(slurp(blocker), "abc");
    if (geteuid() != 0) { // permissions do not bind root
        const std::string ro = dir.file("readonly");
        fs::create_directory(ro);
        chmod(ro.c_str(), 0555);
        EXPECT_THROW(importDataset(las, ro, "x", 8), std::runtime_error);
        chmod(ro.c_str(), 0755);
        EXPECT_TRUE(fs::is_empty(ro));
    }
    for (const char* name : {"", "..", "two\nlines"})
        EXPECT_THROW(importDataset(las, data, name, 8), std::runtime_error) << name;
    EXPECT_THROW(importDataset(las, data, "x", 2), std::runtime_error);
    EXPECT_TRUE(contentsOf(data) == before) << listing(contentsOf(data));
}

// The checksum sees every byte wherever it lies (lanes, the pending tail, the length), and pieces of any
// size give the checksum of their concatenation.
TEST(DatasetIntegrity, ChecksumSeesEveryByteAndTakesPiecesOfAnySize) {
    std::vector<unsigned char> bytes(101);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 37 + 11);
    const uint64_t whole = checksum64(bytes.data(), bytes.size());
    for (size_t piece : {1, 7, 31, 32, 33, 100}) {
        Checksum64 c;
        for (size_t at = 0; at < bytes.size(); at += piece)
            c.update(bytes.data() + at, std::min(piece, bytes.size() - at));
        EXPECT_EQ(c.digest(), whole) << piece;
    }
    for (size_t i = 0; i < bytes.size(); ++i)
        for (unsigned char bit : {0x01, 0x80}) {
            auto changed = bytes;
            changed[i] ^= bit;
            EXPECT_NE(checksum64(changed.data(), changed.size()), whole) << i;
        }
    EXPECT_NE(checksum64(bytes.data(), 100), whole);
    EXPECT_NE(checksum64("", 0), checksum64("\0", 1));
}

// The manifest lists every file the import wrote with its size and checksum, and refuses itself when
// damaged; damage that leaves the files' structure intact is found and the data set skipped with the
// reason while the good one beside it is served; what only the records' checksums can see is found with
// checkRecords (serve --verify). Data sets without a manifest still load, with a note.
TEST(DatasetIntegrity, DamagedDataSetsAreSkippedWithTheReason) {
    TempDir dir;
    const std::string las = dir.file("s.las"), data = dir.file("data"), pristine = dir.file("pristine");
    writeSyntheticLAS(las, SynthOptions{20000, 1, 5});
    importDataset(las, data, "good", 8);
    importDataset(las, pristine, "damaged", 8);
    const std::string ds = data + "/" + datasetDirName("damaged"),
                      manifest = pristine + "/" + datasetDirName("damaged") + "/manifest";
    const std::string text = slurp(manifest);
    const auto entries = parseManifest(text, manifest);
    Contents files = contentsOf(fs::path(manifest).parent_path());
    files.erase("manifest");
    ASSERT_EQ(entries.size(), files.size());
    for (const ManifestEntry& e : entries) {
        ASSERT_EQ(files.count(e.file), 1u) << e.file;
        EXPECT_EQ(e.size, files[e.file].size()) << e.file;
        EXPECT_EQ(e.checksum, checksum64(files[e.file].data(), files[e.file].size())) << e.file;
    }
    for (size_t at : {size_t(3), text.size() / 2, text.size() - 5}) {
        std::string damaged = text;
        damaged[at] = damaged[at] == '1' ? '2' : '1';
        EXPECT_THROW(parseManifest(damaged, manifest), std::runtime_error) << at;
    }

    const size_t last = readDatasetInfo(data + "/" + datasetDirName("good")).levels.size() - 1;
    const std::string lastPts = "level-" + std::to_string(last) + ".pts",
                      lastIdx = "level-" + std::to_string(last) + ".idx";
    auto edit = [&](const std::string& file, const std::function<void(std::string&)>& change) {
        std::string bytes = slurp(ds + "/" + file);
        change(bytes);
        spit(ds + "/" + file, bytes);
    };
    // One digit of level 1's cell size, the first, as a user editing the file might.
    auto changeCellDigit = [&] {
        edit("levels", [](std::string& s) {
            const size_t at = s.find(" cell ", s.find("level 1 ")) + 6;
            s[at] = s[at] == '9' ? '1' : char(s[at] + 1);
        });
    };
    auto dropManifest = [&] { fs::remove(ds + "/manifest"); };
    const std::string changed = ": differs from the file the import wrote (changed or damaged since)";
    const struct Case {
        const char* what;
        std::function<void()> damage;
        bool onlyWithCheckRecords;
        std::string reason;
    } cases[] = {
        {"a changed digit of a cell size", changeCellDigit, false, ds + "/levels" + changed},
        {"a flipped byte in the header", [&] { edit("header", [](auto& h) { h[40] ^= 1; }); }, false,
         ds + "/header" + changed},
        {"no header", [&] { fs::remove(ds + "/header"); }, false, ds + "/header: cannot read"},
        {"a truncated level file", [&] { edit(lastPts, [](auto& r) { r.resize(r.size() - 40); }); }, false,
         ds + "/" + lastPts + ": size does not match"},
        {"an index entry beyond the records",
         [&] { edit(lastIdx, [](auto& x) { std::memcpy(&x[8], "\xff\xff\xff\xff\xff\xff\xff\x7f", 8); }); },
         false, ds + "/" + lastIdx + ": entry 1 is out of order"},
        {"an index running backwards", // entry 1 at the level's end, entry 2 before it
         [&] { edit(lastIdx, [](auto& x) { std::memcpy(&x[8], &x[x.size() - 8], 8); }); }, false,
         ds + "/" + lastIdx + ": entry 2 is out of order"},
        {"a flipped byte in a record's normal",
         [&] { edit(lastPts, [](auto& r) { r[r.size() - 3] ^= 0x20; }); }, true,
         ds + "/" + lastPts + changed},
        {"a changed digit in the manifest",
         [&] { edit("manifest", [](auto& m) { m[25] = m[25] == '0' ? '1' : '0'; }); }, false,
         ds + "/manifest: damaged (it does not match its own checksum)"},
        {"no manifest and a changed digit of a cell size",
         [&] {
             dropManifest();
             changeCellDigit();
         },
         false, ds + "/level"}, // the grid no longer fits the bounds, or its records no longer fit the grid
        {"no manifest and a record moved far east, out of its cell",
         [&] {
             dropManifest();
             edit(lastPts, [](auto& r) { std::memcpy(&r[0], "\xff\xff\xff\x7f", 4); });
         },
         true, ds + "/" + lastPts + ": record 0 lies outside cell "},
        {"no manifest, undamaged", dropManifest, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(ds);
        fs::copy(pristine + "/" + datasetDirName("damaged"), ds);
        c.damage();
        for (bool checkRecords : {false, true}) {
            SCOPED_TRACE(checkRecords ? "checking the records" : "checking at load");
            std::vector<std::string> problems, notes;
            const DatasetStore store = DatasetStore::load(data, &problems, checkRecords, &notes);
            if (c.reason.empty()) { // served, with a note saying what was not checked
                EXPECT_EQ(store.size(), 2u);
                EXPECT_TRUE(problems.empty()) << problems[0];
                EXPECT_EQ(notes, std::vector<std::string>{
                                     ds + ": no checksums (imported before they were kept): only "
                                          "the consistency of its files is checked; import it "
                                          "again to have them"});
                continue;
            }
            if (c.onlyWithCheckRecords && !checkRecords) {
                EXPECT_EQ(store.size(), 2u);
                EXPECT_TRUE(problems.empty()) << problems[0];
                continue;
            }
            EXPECT_EQ(store.names(), std::vector<std::string>{"good"});
            ASSERT_EQ(problems.size(), 1u);
            EXPECT_EQ(problems[0].rfind(c.reason, 0), 0u) << problems[0];
            EXPECT_TRUE(notes.empty());
        }
    }
    EXPECT_THROW(DatasetStore::load(dir.file("missing")), std::runtime_error);
}

} // namespace
