// Data set import: every record lands exactly once, sorted by cell with a consistent index, and the
// directory appears whole or not at all.
#include "DatasetImport.h"
#include "DatasetFormat.h"
#include "DatasetStore.h"
#include "LASHeader.h"
#include "SyntheticScene.h"
#include "support/Samples.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <linux/magic.h>
#include <map>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

template <typename T> T le(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v); // the build targets little-endian machines only
    return v;
}

// Whole file in one read; the character-by-character helper is slow under the sanitizers.
std::vector<unsigned char> slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<unsigned char> out(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    return out;
}

using Contents = std::map<std::string, std::vector<unsigned char>>;

std::string names(const Contents& c) {
    std::string s;
    for (auto& [k, v] : c)
        s += k + " (" + std::to_string(v.size()) + " bytes)\n";
    return s;
}

Contents dirContents(const fs::path& dir) {
    std::map<std::string, std::vector<unsigned char>> out;
    for (auto& e : fs::recursive_directory_iterator(dir))
        out[fs::relative(e.path(), dir).string()] =
            e.is_regular_file() ? slurp(e.path().string()) : std::vector<unsigned char>{};
    return out;
}

// Checks the data set built from lasPath against the file itself.
void checkDataset(const std::string& lasPath, const std::string& dsDir, const std::string& name) {
    auto las = slurp(lasPath);
    ASSERT_GE(las.size(), 227u);
    LASHeader h;
    h.copyFromBuffer(las.data());
    const uint64_t n = h.NumberOfPointRecords, rec = h.PointDataRecordLength, wire = rec + 12;
    const size_t headerBytes = std::max<size_t>(h.HeaderSize, 227);
    EXPECT_EQ(slurp(dsDir + "/header"),
              std::vector<unsigned char>(las.begin(), las.begin() + long(headerBytes)));

    DatasetInfo info = readDatasetInfo(dsDir);
    EXPECT_EQ(info.name, name);
    ASSERT_EQ(info.points, n);
    ASSERT_EQ(info.recordLength, wire);
    ASSERT_GE(info.levels.size(), 1u);

    std::vector<std::string> in, out;
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    const double scale[3] = {h.ScaleFactor_X, h.ScaleFactor_Y, h.ScaleFactor_Z};
    const double offset[3] = {h.OffsetX, h.OffsetY, h.OffsetZ};
    auto coord = [&](const unsigned char* r, int a) { return le<int32_t>(r + 4 * a) * scale[a] + offset[a]; };
    for (uint64_t i = 0; i < n; ++i) {
        const unsigned char* r = &las[h.OffsetToPointData + i * rec];
        in.emplace_back(reinterpret_cast<const char*>(r), rec);
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], coord(r, a));
            hi[a] = std::max(hi[a], coord(r, a));
        }
    }
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(info.bounds[2 * a], lo[a]);
        EXPECT_EQ(info.bounds[2 * a + 1], hi[a]);
    }

    uint64_t total = 0;
    for (size_t l = 0; l < info.levels.size(); ++l) {
        const DatasetLevel& g = info.levels[l];
        SCOPED_TRACE("level " + std::to_string(l));
        ASSERT_GE(g.gridX, 1u);
        ASSERT_GE(g.gridY, 1u);
        ASSERT_LE(g.gridX, 4096u);
        ASSERT_LE(g.gridY, 4096u);
        ASSERT_GT(g.cell, 0);
        auto pts = slurp(dsDir + "/level-" + std::to_string(l) + ".pts");
        auto idxBytes = slurp(dsDir + "/level-" + std::to_string(l) + ".idx");
        ASSERT_EQ(pts.size(), g.points * wire);
        const uint64_t cells = uint64_t(g.gridX) * g.gridY;
        ASSERT_EQ(idxBytes.size(), (cells + 1) * 8);
        std::vector<uint64_t> idx(cells + 1);
        for (uint64_t c = 0; c <= cells; ++c)
            idx[c] = le<uint64_t>(&idxBytes[c * 8]);
        EXPECT_EQ(idx[0], 0u);
        EXPECT_EQ(idx[cells], g.points);
        // The cell's bounds: half-open, the last column and row taking what lies beyond.
        auto cellOf = [&](double v, double origin, uint32_t count) {
            double f = std::floor((v - origin) / g.cell);
            return f < 0 ? 0u : f >= count - 1 ? count - 1 : uint32_t(f);
        };
        uint64_t outside = 0, badNormals = 0;
        for (uint64_t c = 0; c < cells; ++c) {
            ASSERT_LE(idx[c], idx[c + 1]);
            for (uint64_t k = idx[c]; k < idx[c + 1]; ++k) {
                const unsigned char* r = &pts[k * wire];
                uint64_t expect = uint64_t(cellOf(coord(r, 1), g.originY, g.gridY)) * g.gridX +
                                  cellOf(coord(r, 0), g.originX, g.gridX);
                outside += expect != c;
                float nx = le<float>(r + rec), ny = le<float>(r + rec + 4), nz = le<float>(r + rec + 8);
                double len = std::sqrt(double(nx) * nx + double(ny) * ny + double(nz) * nz);
                badNormals += std::fabs(len - 1.0) > 1e-4 || nz < 0.0f;
                out.emplace_back(reinterpret_cast<const char*>(r), rec);
            }
        }
        EXPECT_EQ(outside, 0u) << "records outside their cell";
        EXPECT_EQ(badNormals, 0u) << "normals not unit length with z >= 0";
        total += g.points;
    }
    EXPECT_EQ(total, n);
    std::sort(in.begin(), in.end());
    std::sort(out.begin(), out.end());
    EXPECT_TRUE(in == out) << "the records over all levels differ from the input's";
}

size_t entriesStarting(const fs::path& dir, const std::string& prefix) {
    size_t k = 0;
    for (auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(prefix, 0) == 0)
            ++k;
    return k;
}

TEST(DatasetImport, NameHashing) {
    EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(datasetDirName("a"), "ds-af63dc4c8601ec8c");
}

TEST(DatasetImport, SyntheticScenesOfEveryFormat) {
    TempDir dir;
    for (int format = 0; format < 4; ++format) {
        SCOPED_TRACE("format " + std::to_string(format));
        std::string las = dir.file("scene" + std::to_string(format) + ".las");
        writeSyntheticLAS(las, SynthOptions{format == 1 ? 20000u : 5000u, format, uint64_t(7 + format)});
        std::string data = dir.file("data");
        std::string name = "scene " + std::to_string(format) + " \xc3\xbc";
        std::vector<std::string> phases;
        DatasetInfo info = importDataset(las, data, name, 16, [&](const std::string& p, uint64_t, uint64_t) {
            if (phases.empty() || phases.back() != p)
                phases.push_back(p);
        });
        EXPECT_EQ(phases, (std::vector<std::string>{"read", "normals", "levels", "write"}));
        std::string ds = data + "/" + datasetDirName(name);
        ASSERT_TRUE(fs::is_directory(ds));
        EXPECT_EQ(info.levels.size(), readDatasetInfo(ds).levels.size());
        checkDataset(las, ds, name);
        if (format == 1) {
            EXPECT_GE(info.levels.size(), 3u);
        }
    }
    EXPECT_EQ(entriesStarting(dir.file("data"), ".tmp-"), 0u);
    EXPECT_EQ(entriesStarting(dir.file("data"), "ds-"), 4u);
}

TEST(DatasetImport, ReimportIsByteIdentical) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{20000, 3, 5});
    importDataset(las, dir.file("a"), "same", 12);
    importDataset(las, dir.file("b"), "same", 12);
    auto first = dirContents(dir.file("a"));
    EXPECT_TRUE(first == dirContents(dir.file("b")));
    // Replacing an existing data set of the same name yields the same bytes and leaves nothing aside.
    importDataset(las, dir.file("a"), "same", 12);
    EXPECT_TRUE(first == dirContents(dir.file("a"))) << names(dirContents(dir.file("a")));
    EXPECT_EQ(dir.entryCount(), 3u);
    // A different file under the same name replaces the data set whole.
    std::string other = dir.file("o.las");
    writeSyntheticLAS(other, SynthOptions{3000, 0, 6});
    importDataset(other, dir.file("a"), "same", 12);
    checkDataset(other, dir.file("a") + "/" + datasetDirName("same"), "same");
    EXPECT_EQ(entriesStarting(dir.file("a"), ".tmp-"), 0u);
    EXPECT_EQ(entriesStarting(dir.file("a"), "ds-"), 1u);
}

// Level files go past the page cache where the file system allows it, padded to whole blocks and cut back
// afterwards: a disk file system and tmpfs (which, depending on the kernel, refuses direct I/O or serves it
// from memory) must end up with the same bytes, for files of sizes that are not whole blocks.
TEST(DatasetImport, LevelFilesAreTheSameOnDiskAndInMemory) {
    struct statfs fs;
    if (::statfs("/dev/shm", &fs) != 0 || fs.f_type != TMPFS_MAGIC)
        GTEST_SKIP() << "no tmpfs at /dev/shm to import into";
    char shm[] = "/dev/shm/pontaro-import-XXXXXX";
    ASSERT_NE(::mkdtemp(shm), nullptr);
    struct Remove {
        std::string path;
        ~Remove() { std::filesystem::remove_all(path); }
    } remove{shm};
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{70001, 1, 8}); // level files of sizes that are not whole blocks
    importDataset(las, dir.file("disk"), "same", 8);
    importDataset(las, std::string(shm) + "/data", "same", 8);
    auto onDisk = dirContents(dir.file("disk"));
    EXPECT_TRUE(onDisk == dirContents(std::string(shm) + "/data")) << names(onDisk);
    checkDataset(las, dir.file("disk") + "/" + datasetDirName("same"), "same");
}

TEST(DatasetImport, RealSamples) {
    auto samples = manifestSamples("las");
    if (samples.empty())
        GTEST_SKIP() << "no LAS samples in " << PONTARO_DATA_DIR << "/las";
    TempDir dir;
    for (const auto& s : samples) {
        SCOPED_TRACE(s.name);
        if (!fs::exists(s.path)) {
            std::cout << "skipping missing sample " << s.path << "\n";
            continue;
        }
        importDataset(s.path, dir.file("data"), s.name, 4);
        checkDataset(s.path, dir.file("data") + "/" + datasetDirName(s.name), s.name);
    }
}

TEST(DatasetImport, FailuresLeaveTheDirectoryAsItWas) {
    TempDir dir;
    std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{3000, 1, 3});
    std::string data = dir.file("data");
    importDataset(las, data, "kept", 8);
    const auto before = dirContents(data);

    auto bytes = slurp(las);
    std::string truncated = dir.file("truncated.las");
    writeBytes(truncated, bytes, bytes.size() - 100);
    EXPECT_THROW(importDataset(truncated, data, "kept", 8), std::runtime_error);
    EXPECT_THROW(importDataset(truncated, data, "other", 8), std::runtime_error);
    EXPECT_THROW(importDataset(dir.file("missing.las"), data, "other", 8), std::runtime_error);

    auto badFormat = bytes;
    badFormat[104] = 6;
    writeBytes(dir.file("f6.las"), badFormat);
    EXPECT_THROW(importDataset(dir.file("f6.las"), data, "other", 8), std::runtime_error);
    auto badVersion = bytes;
    badVersion[25] = 4;
    writeBytes(dir.file("v14.las"), badVersion);
    EXPECT_THROW(importDataset(dir.file("v14.las"), data, "other", 8), std::runtime_error);

    // A failure while writing (here: the progress callback) removes the half-built directory.
    auto failIn = [](const char* phase) {
        return [phase](const std::string& p, uint64_t done, uint64_t) {
            if (p == phase && done > 0)
                throw std::runtime_error("stopped");
        };
    };
    EXPECT_THROW(importDataset(las, data, "kept", 8, failIn("write")), std::runtime_error);
    EXPECT_THROW(importDataset(las, data, "other", 8, failIn("write")), std::runtime_error);
    EXPECT_THROW(importDataset(las, data, "other", 8, failIn("normals")), std::runtime_error);
    EXPECT_TRUE(dirContents(data) == before) << names(dirContents(data));

    // The records are read more than once: a file rewritten in the meantime (here: one point moved while
    // the normals are computed, and later while the levels are) is refused, not mixed.
    for (const char* phase : {"normals", "levels"}) {
        const std::string changing = dir.file("changing.las");
        writeBytes(changing, bytes);
        bool changed = false;
        auto change = [&](const std::string& p, uint64_t, uint64_t) {
            if (p != phase || changed)
                return;
            auto moved = bytes;
            moved[bytes.size() - 20 * 28 + 8] ^= 1; // z of a point near the end
            writeBytes(changing, moved);
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
    EXPECT_TRUE(dirContents(data) == before) << names(dirContents(data));

    // A data directory that cannot be created: nothing appears anywhere.
    std::string blocker = dir.file("plain-file");
    writeBytes(blocker, {1, 2, 3});
    EXPECT_THROW(importDataset(las, blocker, "x", 8), std::runtime_error);
    EXPECT_THROW(importDataset(las, blocker + "/sub", "x", 8), std::runtime_error);
    EXPECT_EQ(slurp(blocker), (std::vector<unsigned char>{1, 2, 3}));
    if (geteuid() != 0) { // permissions do not bind root
        std::string ro = dir.file("readonly");
        fs::create_directory(ro);
        chmod(ro.c_str(), 0555);
        EXPECT_THROW(importDataset(las, ro, "x", 8), std::runtime_error);
        chmod(ro.c_str(), 0755);
        EXPECT_EQ(fs::is_empty(ro), true);
    }
    EXPECT_THROW(importDataset(las, data, "", 8), std::runtime_error);
    EXPECT_THROW(importDataset(las, data, "..", 8), std::runtime_error);
    EXPECT_THROW(importDataset(las, data, "two\nlines", 8), std::runtime_error);
    EXPECT_THROW(importDataset(las, data, "x", 2), std::runtime_error);
    EXPECT_TRUE(dirContents(data) == before) << names(dirContents(data));
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
// damaged.
TEST(DatasetIntegrity, ManifestVouchesForEveryFile) {
    TempDir dir;
    const std::string las = dir.file("s.las"), data = dir.file("data");
    writeSyntheticLAS(las, SynthOptions{5000, 2, 4});
    importDataset(las, data, "set", 8);
    const std::string ds = data + "/" + datasetDirName("set"), path = ds + "/manifest";
    const auto text = slurp(path);
    const auto entries = parseManifest(std::string(text.begin(), text.end()), path);
    Contents files = dirContents(ds);
    files.erase("manifest");
    ASSERT_EQ(entries.size(), files.size());
    for (const ManifestEntry& e : entries) {
        SCOPED_TRACE(e.file);
        ASSERT_EQ(files.count(e.file), 1u);
        EXPECT_EQ(e.size, files[e.file].size());
        EXPECT_EQ(e.checksum, checksum64(files[e.file].data(), files[e.file].size()));
    }
    for (size_t at : {size_t(3), text.size() / 2, text.size() - 5}) {
        std::string damaged(text.begin(), text.end());
        damaged[at] = damaged[at] == '1' ? '2' : '1';
        EXPECT_THROW(parseManifest(damaged, path), std::runtime_error) << at;
    }
}

// Damage that leaves every file's structure intact is found and the data set skipped with the reason,
// while the good one beside it is still served; what only the records' checksums can see is found with
// checkRecords (serve --verify). Data sets without a manifest still load, with a note.
TEST(DatasetIntegrity, DamagedDataSetsAreSkippedWithTheReason) {
    TempDir dir;
    const std::string las = dir.file("s.las");
    writeSyntheticLAS(las, SynthOptions{20000, 1, 5});
    const std::string data = dir.file("data");
    importDataset(las, data, "good", 8);
    const std::string ds = data + "/" + datasetDirName("damaged");
    const size_t last = readDatasetInfo(data + "/" + datasetDirName("good")).levels.size() - 1;
    const std::string lastPts = "level-" + std::to_string(last) + ".pts";
    auto edit = [&](const std::string& file, const std::function<void(std::vector<unsigned char>&)>& change) {
        auto bytes = slurp(ds + "/" + file);
        change(bytes);
        writeBytes(ds + "/" + file, bytes);
    };
    // One digit of level 1's cell size, the first, as a user editing the file might.
    auto changeCellDigit = [&] {
        edit("levels", [](std::vector<unsigned char>& t) {
            std::string s(t.begin(), t.end());
            const size_t at = s.find(" cell ", s.find("level 1 ")) + 6;
            t[at] = t[at] == '9' ? '1' : t[at] + 1;
        });
    };
    // The first record of the finest level (in its first non-empty cell) moved far east, out of its cell.
    auto moveFirstRecord = [&] {
        edit(lastPts, [](std::vector<unsigned char>& r) {
            const unsigned char east[4] = {0xff, 0xff, 0xff, 0x7f};
            std::copy(east, east + 4, r.begin());
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
        {"a truncated level file", [&] { edit(lastPts, [](auto& r) { r.resize(r.size() - 40); }); }, false,
         ds + "/" + lastPts + ": size does not match"},
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
        {"no manifest and a record moved out of its cell",
         [&] {
             dropManifest();
             moveFirstRecord();
         },
         true, ds + "/" + lastPts + ": record 0 lies outside cell "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        importDataset(las, data, "damaged", 8);
        c.damage();
        for (bool checkRecords : {false, true}) {
            SCOPED_TRACE(checkRecords ? "checking the records" : "checking at load");
            std::vector<std::string> problems, notes;
            const DatasetStore store = DatasetStore::load(data, &problems, checkRecords, &notes);
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

    // Without a manifest, and undamaged: served, with a note saying what was not checked.
    importDataset(las, data, "damaged", 8);
    dropManifest();
    for (bool checkRecords : {false, true}) {
        std::vector<std::string> problems, notes;
        EXPECT_EQ(DatasetStore::load(data, &problems, checkRecords, &notes).size(), 2u);
        EXPECT_TRUE(problems.empty()) << problems[0];
        ASSERT_EQ(notes.size(), 1u);
        EXPECT_EQ(notes[0],
                  ds + ": no checksums (imported before they were kept): only the consistency of its "
                       "files is checked; import it again to have them");
    }
}

} // namespace
