// pontaro-tree: build a local level-of-detail tree from a LAS file, describe and check one, and export
// its levels back into a LAS file.
#include "CommandLine.h"
#include "FileHandle.h"
#include "LASHeader.h"
#include "LASVarLenRecord.h"
#include "LODTree.h"
#include "LODTreeNodeHeader.h"
#include "LodTreeLog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* kUsage = R"(usage: pontaro-tree COMMAND ...
  build IN.las OUTDIR [--force] [--verbose]
      Partitions the file into a quadtree of node files in OUTDIR (created): leaves of at most 40,000
      points, the nearest neighbours and a normal of every point, and levels of detail in which every
      point is stored exactly once. Works out of core: memory stays at a few leaves whatever the file's
      size. Progress on standard error. A complete OUTDIR is refused unless --force, which empties it of
      tree files first; --verbose prints every stage's messages on standard output.
  info OUTDIR [--nodes]
      Bounds, depth, nodes, points, coverage and default splat radius per level, and a check that every
      node file is complete (exit status 1 when not). --nodes lists every node.
  export OUTDIR OUT.las [--level L]
      Writes the points of levels 0 to L (all levels without --level) into one LAS file with the input's
      header and records.
  --help  this text
)";

std::atomic<bool> interrupted{false};
extern "C" void onSignal(int) { interrupted.store(true); }

// Names of the files a build writes into its directory: a fixed name and a node suffix, temporaries.
bool isTreeFile(const std::string& name) {
    static const char* bases[] = {"points", "knnInt2D", "knnInt", "normals", "surf", "border", "compNeigh"};
    if (name == "header" || name == "header.tmp")
        return true;
    for (const char* b : bases) {
        const size_t n = std::strlen(b);
        if (name.compare(0, n, b) != 0)
            continue;
        std::string rest = name.substr(n);
        for (const char* tail : {"temp", ".tmp"}) // temporaries of interrupted stages
            if (rest.size() >= std::strlen(tail) && rest.compare(rest.size() - std::strlen(tail), std::string::npos, tail) == 0)
                rest.resize(rest.size() - std::strlen(tail));
        bool suffix = rest.size() % 2 == 0;
        for (size_t i = 0; suffix && i < rest.size(); i += 2)
            suffix = rest[i] == '-' && rest[i + 1] >= '1' && rest[i + 1] <= '4';
        if (suffix)
            return true;
    }
    return false;
}

// The node identifier of a suffix such as "-3-2-3"; nullopt for anything else.
std::optional<NodeID> parseSuffix(const std::string& s) {
    if (s.size() % 2 != 0 || s.size() / 2 > 30)
        return std::nullopt;
    NodeID id;
    for (size_t i = 0; i < s.size(); i += 2) {
        if (s[i] != '-' || s[i + 1] < '1' || s[i + 1] > '4')
            return std::nullopt;
        id = id.child(s[i + 1] - '0');
    }
    return id;
}

class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c; }
};

std::string withSeparator(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

std::string grouped(uint64_t v) {
    std::string s = std::to_string(v);
    for (int i = int(s.size()) - 3; i > 0; i -= 3)
        s.insert(size_t(i), ",");
    return s;
}

int build(const std::vector<std::string>& args) {
    std::vector<std::string> paths;
    bool force = false, verbose = false;
    for (const auto& a : args) {
        if (a == "--force")
            force = true;
        else if (a == "--verbose")
            verbose = true;
        else if (a.rfind("--", 0) == 0)
            throw UsageError("unknown option '" + a + "' (try --help)");
        else
            paths.push_back(a);
    }
    if (paths.size() != 2)
        throw UsageError("build needs IN.las and OUTDIR");
    const std::string in = paths[0], out = paths[1];

    FilePtr file = openFile(in.c_str(), "rb");
    if (!file)
        throw std::runtime_error("cannot open " + in + ": " + std::strerror(errno));
    {
        LASHeader h;
        bool ok;
        {
            StdoutTo quiet(-1); // the reader's own messages; the reason is in lastMessage
            ok = h.Read(file.get());
        }
        if (!ok)
            throw std::runtime_error(in + " is not a LAS file this tool reads: " + h.lastMessage);
        std::string why;
        if (!h.CheckPointData(uint64_t(lasFileSize(file.get())), &why))
            throw std::runtime_error(in + ": " + why);
        std::rewind(file.get());
    }

    std::error_code ec;
    if (fs::exists(out, ec)) {
        if (!fs::is_directory(out, ec))
            throw std::runtime_error(out + " exists and is not a directory");
        std::vector<fs::path> mine, foreign;
        for (const auto& e : fs::directory_iterator(out))
            (isTreeFile(e.path().filename().string()) && e.is_regular_file() ? mine : foreign).push_back(e.path());
        const bool complete = fs::exists(fs::path(out) / "header");
        if (!mine.empty() && !force)
            throw std::runtime_error(out + (complete ? " holds a complete tree" : " holds an incomplete build") +
                                     ": use --force to build it again");
        if (!foreign.empty())
            throw std::runtime_error(out + " holds files that are not a tree's (" +
                                     foreign.front().filename().string() + "): choose an empty directory");
        // The header goes first: a directory without it is never taken for a complete tree.
        fs::remove(fs::path(out) / "header", ec);
        for (const auto& p : mine)
            if (!fs::remove(p, ec) && ec)
                throw std::runtime_error("cannot remove " + p.string() + ": " + ec.message());
    } else if (!fs::create_directories(out, ec)) {
        throw std::runtime_error("cannot create " + out + ": " + ec.message());
    }

    NullBuffer nullBuffer;
    std::ostream silent(&nullBuffer);
    if (!verbose)
        setLodTreeLog(&silent);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto lastReport = start;
    std::string lastStage;
    TreeBuildControl control;
    control.interrupt = &interrupted;
    control.progress = [&](const char* stage, uint64_t done, uint64_t total) {
        const auto now = Clock::now();
        const bool newStage = lastStage != stage;
        if (!newStage && done < total && now - lastReport < std::chrono::seconds(1))
            return;
        lastReport = now;
        lastStage = stage;
        std::cerr << "pontaro-tree: " << stage << " " << grouped(done) << " of " << grouped(total);
        if (total > 0)
            std::cerr << " (" << (100 * done / total) << "%)";
        std::cerr << "\n";
    };
    // The LAS library and the thread primitives print on standard output too; quiet unless asked.
    std::optional<StdoutTo> quiet;
    if (!verbose)
        quiet.emplace(-1);
    try {
        partition(file.get(), withSeparator(out), &control);
    } catch (const std::exception& e) {
        quiet.reset();
        setLodTreeLog(nullptr);
        const std::string why = interrupted.load() ? "interrupted" : e.what();
        throw std::runtime_error(why + "; " + out + " is incomplete: remove it or build again with --force");
    }
    quiet.reset();
    setLodTreeLog(nullptr);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::cout << "points: " << control.pointsRead << "\n";
    std::cout << "nodes: " << control.nodes << "\n";
    for (const auto& s : control.stageTimes)
        std::cout << "stage " << s.stage << ": " << std::fixed << std::setprecision(2) << s.seconds << " s\n";
    std::cout << "most open point files: " << control.maxOpenFiles << "\n";
    std::cout << "points without a normal: " << control.zeroNormals << "\n";
    std::cout << "total: " << std::fixed << std::setprecision(2) << seconds << " s, " << std::setprecision(0)
              << (seconds > 0 ? control.pointsRead / seconds : 0.0) << " points/s\n";
    return 0;
}

// A built tree read back from its directory: the input's header, the bounds and every node's header.
struct TreeOnDisk {
    std::string dir;
    LASHeader header;
    TreeBounds bounds{};
    std::vector<LASVarLenRecord> records; // the input's, without the tree-bounds record
    std::vector<unsigned char> extraHeader, gap;
    struct Node {
        NodeID id;
        std::string suffix;
        LODTreeNodeHeader h;
        bool headerRead = false;
        uint64_t pointBytes = 0;
    };
    std::map<std::string, Node> nodes; // by suffix: parents sort before children
    std::vector<std::string> problems;
};

int64_t sizeOf(const std::string& path) {
    std::error_code ec;
    auto s = fs::file_size(path, ec);
    return ec ? -1 : int64_t(s);
}

TreeOnDisk readTree(const std::string& outdir) {
    TreeOnDisk t;
    t.dir = withSeparator(outdir);
    if (!fs::is_directory(outdir))
        throw std::runtime_error(outdir + " is not a directory");
    NullBuffer nb;
    std::ostream silent(&nb);
    setLodTreeLog(&silent);
    try {
        t.bounds = LODTree::retrieveTreeBounds(t.dir, &t.header);
    } catch (const std::exception& e) {
        setLodTreeLog(nullptr);
        throw std::runtime_error(std::string(e.what()) + " (is " + outdir + " a complete tree?)");
    }
    setLodTreeLog(nullptr);

    // The header file: header block, extra header bytes, the records, then the bytes that stood
    // between the records and the points.
    FilePtr f = openFile((t.dir + "header").c_str(), "rb");
    if (!f || std::fseek(f.get(), LASHeader::BlockSize, SEEK_SET) != 0)
        throw std::runtime_error("cannot read " + t.dir + "header");
    t.extraHeader.resize(t.header.RecordAreaStart() - LASHeader::BlockSize);
    if (!t.extraHeader.empty() && std::fread(t.extraHeader.data(), 1, t.extraHeader.size(), f.get()) != t.extraHeader.size())
        throw std::runtime_error(t.dir + "header is truncated");
    for (uint32_t i = 0; i < t.header.NumberOfVariableLengthRecords; ++i) {
        LASVarLenRecord r;
        if (!r.Read(f.get()))
            throw std::runtime_error(t.dir + "header is truncated");
        if (std::strncmp(r.UserID, "QUMA", 4) != 0)
            t.records.push_back(std::move(r));
    }
    int c;
    while ((c = std::fgetc(f.get())) != EOF)
        t.gap.push_back(static_cast<unsigned char>(c));

    const uint64_t recordLength = t.header.PointDataRecordLength;
    for (const auto& e : fs::directory_iterator(outdir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("points", 0) != 0)
            continue;
        auto id = parseSuffix(name.substr(6));
        if (!id) {
            t.problems.push_back("leftover file " + name);
            continue;
        }
        TreeOnDisk::Node n;
        n.id = *id;
        n.suffix = name.substr(6);
        FilePtr pf = openFile(e.path().c_str(), "rb");
        n.headerRead = pf && n.h.read(pf.get());
        const int64_t size = sizeOf(e.path().string());
        if (!n.headerRead) {
            t.problems.push_back(name + ": no node header");
        } else {
            const uint64_t want = LODTreeNodeHeader::Bytes + uint64_t(n.h.numPoints) * recordLength;
            if (uint64_t(size) != want)
                t.problems.push_back(name + ": " + std::to_string(size) + " bytes, the header's " +
                                     std::to_string(n.h.numPoints) + " points need " + std::to_string(want));
            const std::pair<const char*, uint64_t> per[] = {{"normals", 12}, {"surf", 4}, {"border", 1}};
            for (auto [base, bytes] : per) {
                const std::string other = t.dir + base + n.suffix;
                const int64_t s = sizeOf(other);
                if (s != int64_t(n.h.numPoints * bytes))
                    t.problems.push_back(std::string(base) + n.suffix + ": " +
                                         (s < 0 ? "missing" : std::to_string(s) + " bytes") + ", " +
                                         std::to_string(n.h.numPoints * bytes) + " expected");
            }
        }
        t.nodes.emplace(n.suffix, n);
    }
    for (const auto& e : fs::directory_iterator(outdir)) {
        const std::string name = e.path().filename().string();
        if (name != "header" && name.rfind("points", 0) != 0 && name.rfind("normals", 0) != 0 &&
            name.rfind("surf", 0) != 0 && name.rfind("border", 0) != 0)
            t.problems.push_back("leftover file " + name);
    }
    uint64_t total = 0;
    for (const auto& [s, n] : t.nodes)
        total += n.headerRead ? n.h.numPoints : 0;
    if (total != t.header.NumberOfPointRecords)
        t.problems.push_back("the nodes hold " + std::to_string(total) + " points, the input " +
                             std::to_string(t.header.NumberOfPointRecords));
    return t;
}

int info(const std::vector<std::string>& args) {
    std::string dir;
    bool listNodes = false;
    for (const auto& a : args) {
        if (a == "--nodes")
            listNodes = true;
        else if (a.rfind("--", 0) == 0)
            throw UsageError("unknown option '" + a + "' (try --help)");
        else if (dir.empty())
            dir = a;
        else
            throw UsageError("info takes one OUTDIR");
    }
    if (dir.empty())
        throw UsageError("info needs OUTDIR");
    const TreeOnDisk t = readTree(dir);
    const LASHeader& h = t.header;
    std::cout << std::setprecision(10);
    std::cout << "input points: " << h.NumberOfPointRecords << ", format " << int(h.PointDataFormatID)
              << ", record length " << h.PointDataRecordLength << "\n";
    std::cout << "bounds (stored units): x " << t.bounds[0] << " to " << t.bounds[1] << ", y " << t.bounds[2]
              << " to " << t.bounds[3] << "\n";
    std::cout << "bounds (world): x " << t.bounds[0] * h.ScaleFactor_X + h.OffsetX << " to "
              << t.bounds[1] * h.ScaleFactor_X + h.OffsetX << ", y " << t.bounds[2] * h.ScaleFactor_Y + h.OffsetY
              << " to " << t.bounds[3] * h.ScaleFactor_Y + h.OffsetY << "\n";
    struct Level {
        uint64_t nodes = 0, points = 0;
        double coverage = 0, radius = 0; // point-weighted sums
    };
    std::map<int, Level> levels;
    for (const auto& [s, n] : t.nodes) {
        Level& l = levels[n.id.level];
        ++l.nodes;
        if (!n.headerRead)
            continue;
        l.points += n.h.numPoints;
        l.coverage += double(n.h.coverage) * n.h.numPoints;
        l.radius += double(n.h.defaultSplatRadius) * n.h.numPoints;
    }
    std::cout << "depth: " << (levels.empty() ? 0 : levels.rbegin()->first) << "\n";
    std::cout << "level  nodes  points  coverage%  splat radius (stored units)\n";
    for (const auto& [lv, l] : levels) {
        const double p = l.points ? double(l.points) : 1.0;
        std::cout << lv << "  " << l.nodes << "  " << l.points << "  " << std::fixed << std::setprecision(1)
                  << 100 * l.coverage / p << "  " << std::setprecision(2) << l.radius / p << "\n"
                  << std::defaultfloat << std::setprecision(10);
    }
    if (listNodes)
        for (const auto& [s, n] : t.nodes)
            std::cout << "node " << (s.empty() ? "(root)" : s) << " level " << int(n.id.level) << " x " << n.id.x
                      << " y " << n.id.y << " points " << n.h.numPoints << " coverage " << n.h.coverage
                      << " radius " << n.h.defaultSplatRadius << " children " << int(n.h.subNodes) << "\n";
    if (t.problems.empty()) {
        std::cout << "check: complete\n";
        return 0;
    }
    for (const auto& p : t.problems)
        std::cout << "check: " << p << "\n";
    std::cerr << "pontaro-tree: " << dir << " is not complete (" << t.problems.size() << " problems)\n";
    return 1;
}

int exportLevels(const std::vector<std::string>& args) {
    std::vector<std::string> paths;
    std::optional<int> maxLevel;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--level") {
            if (i + 1 >= args.size())
                throw UsageError("--level needs a value");
            maxLevel = parseNumber<int>(args[++i], "--level", 0, 30);
        } else if (args[i].rfind("--", 0) == 0) {
            throw UsageError("unknown option '" + args[i] + "' (try --help)");
        } else {
            paths.push_back(args[i]);
        }
    }
    if (paths.size() != 2)
        throw UsageError("export needs OUTDIR and OUT.las");
    const TreeOnDisk t = readTree(paths[0]);
    if (!t.problems.empty())
        throw std::runtime_error(paths[0] + " is not complete: " + t.problems.front());

    // Parents before children, level by level, so that a prefix of the file is a coarser level of detail.
    std::vector<const TreeOnDisk::Node*> order;
    for (const auto& [s, n] : t.nodes)
        if (!maxLevel || n.id.level <= *maxLevel)
            order.push_back(&n);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto* a, const auto* b) { return a->id.level < b->id.level; });

    LASHeader h = t.header;
    const size_t recordLength = h.PointDataRecordLength;
    uint64_t vlrBytes = 0;
    for (const auto& r : t.records)
        vlrBytes += r.TotalBytes();
    h.NumberOfVariableLengthRecords = uint32_t(t.records.size());
    h.OffsetToPointData = uint32_t(h.RecordAreaStart() + vlrBytes + t.gap.size());

    const std::string tmp = paths[1] + ".tmp";
    FilePtr out = openFile(tmp.c_str(), "wb");
    if (!out)
        throw std::runtime_error("cannot create " + tmp + ": " + std::strerror(errno));
    auto fail = [&](const std::string& why) {
        out.reset();
        std::remove(tmp.c_str());
        return std::runtime_error(why);
    };
    if (std::fseek(out.get(), long(h.OffsetToPointData), SEEK_SET) != 0)
        throw fail("cannot write " + tmp);
    uint64_t count = 0, byReturn[5] = {};
    int32_t mn[3] = {INT32_MAX, INT32_MAX, INT32_MAX}, mx[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
    std::vector<unsigned char> buf;
    for (const auto* n : order) {
        FilePtr pf = openFile((t.dir + "points" + n->suffix).c_str(), "rb");
        buf.resize(size_t(n->h.numPoints) * recordLength);
        if (!pf || std::fseek(pf.get(), LODTreeNodeHeader::Bytes, SEEK_SET) != 0 ||
            (!buf.empty() && std::fread(buf.data(), 1, buf.size(), pf.get()) != buf.size()))
            throw fail("cannot read " + t.dir + "points" + n->suffix);
        for (size_t at = 0; at < buf.size(); at += recordLength) {
            for (int a = 0; a < 3; ++a) {
                int32_t v;
                std::memcpy(&v, &buf[at + 4 * a], 4);
                mn[a] = std::min(mn[a], v);
                mx[a] = std::max(mx[a], v);
            }
            const int ret = buf[at + 14] & 7;
            if (ret >= 1 && ret <= 5)
                ++byReturn[ret - 1];
        }
        if (!buf.empty() && std::fwrite(buf.data(), 1, buf.size(), out.get()) != buf.size())
            throw fail("cannot write " + tmp + ": " + std::strerror(errno));
        count += n->h.numPoints;
    }
    h.NumberOfPointRecords = uint32_t(count);
    for (int i = 0; i < 5; ++i)
        h.NumberOfPointsByReturn[i] = uint32_t(byReturn[i]);
    if (count > 0) {
        h.Min_X = mn[0] * h.ScaleFactor_X + h.OffsetX, h.Max_X = mx[0] * h.ScaleFactor_X + h.OffsetX;
        h.Min_Y = mn[1] * h.ScaleFactor_Y + h.OffsetY, h.Max_Y = mx[1] * h.ScaleFactor_Y + h.OffsetY;
        h.Min_Z = mn[2] * h.ScaleFactor_Z + h.OffsetZ, h.Max_Z = mx[2] * h.ScaleFactor_Z + h.OffsetZ;
    }
    // Header, extra header bytes, records and the bytes before the points, as the input had them.
    auto put = [&](const std::vector<unsigned char>& b) {
        return b.empty() || std::fwrite(b.data(), 1, b.size(), out.get()) == b.size();
    };
    bool ok = h.Write(out.get()) && std::fseek(out.get(), LASHeader::BlockSize, SEEK_SET) == 0 && put(t.extraHeader);
    for (const auto& r : t.records)
        ok = ok && r.Write(out.get());
    ok = ok && put(t.gap);
    ok = ok && std::fclose(out.release()) == 0;
    if (!ok)
        throw fail("cannot write " + tmp + ": " + std::strerror(errno));
    if (std::rename(tmp.c_str(), paths[1].c_str()) != 0)
        throw fail("cannot rename " + tmp + " to " + paths[1] + ": " + std::strerror(errno));
    std::cout << "points written: " << count << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runTool("pontaro-tree", kUsage, {{"build", build}, {"info", info}, {"export", exportLevels}}, argc, argv);
}
