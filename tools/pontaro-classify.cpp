// pontaro-classify: split a LAS file's points, or a local tree's, into smooth surfaces by region growing
// over their normals, and write the surface numbers where LiDAR tools and the viewer can show them.
#include "ClassificationInput.h"
#include "ClassificationLog.h"
#include "CommandLine.h"
#include "ContinuousSurfaces.h"
#include "LodTreeLog.h"
#include "QueryHandler.h"
#include "SurfaceClassifier.h"
#include "SurfaceOutput.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* kUsage =
    R"(usage: pontaro-classify IN OUT.las [--angle DEG] [--distance REL] [--secondary-angle DEG]
                        [--global-angle DEG] [--classes OUT.classes] [--threads N] [--cache DIR | --no-cache]
  Splits the points into smooth surfaces (roofs, walls, ground patches, roads) by region growing over
  their normals and writes OUT.las, a copy of the points whose Point Source ID holds each point's
  surface number (0: in no surface). IN is a LAS file (1.0 to 1.2, point formats 0 to 3), whose normals
  are fitted to each point's 16 nearest neighbours as the point server fits them, or a local tree
  directory built by pontaro-tree, whose stored normals are used and whose "surf" files are rewritten
  with the surface numbers.
  A point's compatible neighbours are its nearest neighbours, nearest first, up to the first one whose
  normal differs by DEG or more or which lies off the point's tangent plane; points with 16 or more
  start surfaces, best first, and a surface grows across neighbours that agree with its seed.
  --angle DEG            compatible neighbours' normals differ by less than DEG (default 15)
  --distance REL         and their distance from the tangent plane, divided by their distance from the
                         point, is below REL: the sine of their elevation above the plane (default 0.25)
  --secondary-angle DEG  a surface takes points whose normal lies within DEG of its seed's (default 20)
  --global-angle DEG     and grows by steps that leave the seed's tangent plane by less than DEG
                         (default 15)
  --classes FILE         also write the class file: int32 count, then one int32 surface number per point
  --threads N            worker threads (default: the processor's cores)
  --cache DIR            keep the compatible-neighbour counts in DIR (default: beside IN), named after IN
                         and the two thresholds; a cache of other data is recomputed, never used
  --no-cache             neither read nor write that cache
  --help                 this text
  Angles are between normals taken as lines (a normal and its reverse are the same), from 0 to 90.
  Surface numbers above 65,535 do not fit the 16-bit Point Source ID: they wrap into 1 to 65,535
  (65,536 becomes 1), with a warning; the class file and the tree keep the true numbers.
  Standard output: points read, surfaces, points classified, and the ten largest surfaces with their
  sizes and mean normals. Progress goes to standard error.
)";

struct Options {
    std::string in, out, classes, cacheDir;
    ClassificationThresholds t;
    unsigned threads = 0;
    bool cache = true;
};

double parseReal(const std::string& text, const std::string& what, double lo, double hi, const char* range) {
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) ||
        !(v > lo) || v > hi)
        throw UsageError(what + " must be a number " + range + ", not '" + text + "'");
    return v;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    std::vector<std::string> files;
    bool noCache = false, cacheDir = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw UsageError(a + " needs a value");
            return argv[++i];
        };
        if (a == "--angle")
            o.t.maxAngleDeg = parseReal(value(), a, 0, 90, "above 0 and at most 90 (degrees)");
        else if (a == "--distance")
            o.t.maxRelDistance = parseReal(value(), a, 0, 1, "above 0 and at most 1");
        else if (a == "--secondary-angle")
            o.t.secondaryAngleDeg = parseReal(value(), a, 0, 90, "above 0 and at most 90 (degrees)");
        else if (a == "--global-angle")
            o.t.globalAngleDeg = parseReal(value(), a, 0, 90, "above 0 and at most 90 (degrees)");
        else if (a == "--classes")
            o.classes = value();
        else if (a == "--threads")
            o.threads = parseNumber<unsigned>(value(), a, 1, 256);
        else if (a == "--cache") {
            o.cacheDir = value();
            cacheDir = true;
        } else if (a == "--no-cache")
            noCache = true;
        else if (a.size() > 1 && a[0] == '-')
            throw UsageError("unknown option " + a + " (try --help)");
        else
            files.push_back(a);
    }
    if (files.size() != 2)
        throw UsageError("expected IN and OUT.las (try --help)");
    if (noCache && cacheDir)
        throw UsageError("--cache and --no-cache exclude each other");
    o.in = files[0];
    o.out = files[1];
    o.cache = !noCache;
    if (o.threads == 0)
        o.threads = std::max(1u, std::thread::hardware_concurrency());
    return o;
}

// "stage: N%" on standard error, rewritten in place on a terminal and ended by a line break at 100%;
// elsewhere (a log file) only the line of each finished stage.
class Progress {
public:
    void operator()(const std::string& stage, uint64_t done, uint64_t total) {
        const int pct = total == 0 ? 100 : int(done * 100 / total);
        if ((stage == stage_ && pct == pct_) || (!terminal_ && pct < 100))
            return;
        if (stage != stage_ && open_)
            std::cerr << "\n";
        stage_ = stage;
        pct_ = pct;
        std::cerr << "\r" << stage << ": " << pct << "%";
        open_ = pct < 100;
        if (!open_)
            std::cerr << "\n";
        std::cerr.flush();
    }
    void line(const std::string& text) {
        if (open_)
            std::cerr << "\n";
        open_ = false;
        std::cerr << text << "\n";
    }

private:
    const bool terminal_ = isatty(STDERR_FILENO) != 0;
    std::string stage_;
    int pct_ = -1;
    bool open_ = false;
};

// Fails early, before the long work, when a result cannot be written there.
void checkWritable(const std::string& path, const std::string& what) {
    fs::path dir = fs::path(path).parent_path();
    if (dir.empty())
        dir = ".";
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw std::runtime_error("cannot write " + what + " " + path + ": no directory " + dir.string());
    if (access(dir.c_str(), W_OK) != 0)
        throw std::runtime_error("cannot write " + what + " " + path + ": " + std::strerror(errno));
    if (fs::is_directory(path, ec))
        throw std::runtime_error("cannot write " + what + " " + path + ": it is a directory");
}

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::exists(a, ec) && fs::exists(b, ec) && fs::equivalent(a, b, ec);
}

struct SurfaceSummary {
    int32_t number = 0;
    uint64_t points = 0;
    double normal[3] = {};
};

// The ten largest surfaces; a mean normal sums the members' normals turned towards the seed's (they are
// lines, so a wall's may point either way), faces up like the stored normals.
std::vector<SurfaceSummary> largestSurfaces(const QueryHandler& q, const SurfaceClassification& r) {
    std::vector<SurfaceSummary> s(size_t(r.numClasses) + 1);
    for (uint32_t i = 0; i < q.size(); ++i) {
        const int32_t c = r.classes[i];
        if (c <= 0)
            continue;
        SurfaceSummary& e = s[size_t(c)];
        e.number = c;
        ++e.points;
        const GLVector3f& n = q.point(i).normal;
        const GLVector3f& seed = q.point(r.seeds[size_t(c) - 1]).normal;
        const double sign =
            double(n.x) * seed.x + double(n.y) * seed.y + double(n.z) * seed.z < 0 ? -1.0 : 1.0;
        e.normal[0] += sign * n.x;
        e.normal[1] += sign * n.y;
        e.normal[2] += sign * n.z;
    }
    s.erase(std::remove_if(s.begin(), s.end(), [](const SurfaceSummary& e) { return e.points == 0; }),
            s.end());
    std::sort(s.begin(), s.end(), [](const SurfaceSummary& a, const SurfaceSummary& b) {
        return a.points != b.points ? a.points > b.points : a.number < b.number;
    });
    if (s.size() > 10)
        s.resize(10);
    for (SurfaceSummary& e : s) {
        double* n = e.normal;
        const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (int d = 0; d < 3; ++d)
            n[d] = len > 0 ? n[d] / len : 0.0;
        const bool flip = n[2] < 0 || (n[2] == 0 && (n[0] < 0 || (n[0] == 0 && n[1] < 0)));
        for (int d = 0; d < 3; ++d)
            n[d] = flip ? -n[d] : n[d] + 0.0; // + 0.0 turns -0 into 0
    }
    return s;
}

std::string fixed(double v, int decimals) {
    if (std::fabs(v) < 0.5 * std::pow(10.0, -decimals))
        v = 0; // no "-0.000"
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, decimals);
    return std::string(text, end);
}

int run(const Options& o) {
    if (samePath(o.in, o.out) || (!o.classes.empty() && samePath(o.in, o.classes)))
        throw std::runtime_error("an output would replace the input " + o.in);
    if (!o.classes.empty() && o.classes == o.out)
        throw std::runtime_error("OUT.las and --classes name the same file");
    checkWritable(o.out, "the output");
    if (!o.classes.empty())
        checkWritable(o.classes, "the class file");

    Progress progress;
    ClassificationInput in;
    std::unique_ptr<QueryHandler> q;
    SurfaceClassification r;
    {
        StdoutTo quiet(-1);
        in = readClassificationInput(o.in, o.threads, [&](const char* stage, uint64_t done, uint64_t total) {
            progress(stage, done, total);
        });
        q = std::make_unique<QueryHandler>(in.positions, in.normals);
        in.positions = {};
        in.normals = {};

        ContinuousSurfaceOptions co;
        co.threads = o.threads;
        if (o.cache) {
            fs::path base = fs::path(o.in);
            while (base.has_parent_path() && !base.has_filename())
                base = base.parent_path(); // "tree/" names the directory "tree"
            co.cacheDirectory =
                o.cacheDir.empty()
                    ? (base.parent_path().empty() ? std::string(".") : base.parent_path().string())
                    : o.cacheDir;
            co.datasetName = base.stem().string();
            if (co.datasetName.empty() || co.datasetName == "." || co.datasetName == "..")
                co.datasetName = "classification";
        }
        co.progress = [&](const char* stage, uint64_t done, uint64_t total) {
            if (std::strcmp(stage, "compatibility") == 0)
                progress("compatible neighbours", done, total);
            else if (done == total)
                progress("surfaces", done, total);
        };
        r = findContinuousSurfaces(*q, o.t, co);
        if (r.compatibility.fromCache)
            progress.line("compatible neighbours: from the cache");
        else if (!r.compatibility.cacheRejected.empty())
            progress.line("compatible neighbours: cache not used (" + r.compatibility.cacheRejected + ")");
        progress.line("surfaces: " + std::to_string(r.numClasses) + " grown");

        progress.line("writing " + o.out);
        writeClassifiedLAS(in, r.classes, o.out);
        if (!o.classes.empty()) {
            progress.line("writing " + o.classes);
            saveClasses(*q, int(r.classes.size()), r.classes.data(), o.classes);
        }
        if (in.isTree) {
            progress.line("writing the surface numbers into " + o.in);
            writeTreeSurfaceFiles(in, r.classes);
        }
    }
    if (r.numClasses > 65535)
        std::cerr << "warning: " << r.numClasses
                  << " surfaces; Point Source IDs above 65,535 wrap (65,536 is written as 1)\n";

    std::cout << "points read: " << q->size() << "\n";
    std::cout << "surfaces: " << r.numClasses << "\n";
    std::cout << "points classified: " << r.classifiedPoints << " ("
              << fixed(q->size() ? 100.0 * r.classifiedPoints / q->size() : 0.0, 1) << "%)\n";
    const auto largest = largestSurfaces(*q, r);
    if (!largest.empty())
        std::cout << "largest surfaces (number: points, mean normal):\n";
    for (const SurfaceSummary& s : largest)
        std::cout << "surface " << s.number << ": " << s.points << " points, mean normal "
                  << fixed(s.normal[0], 3) << " " << fixed(s.normal[1], 3) << " " << fixed(s.normal[2], 3)
                  << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << kUsage;
            return 0;
        }
    if (argc == 1) {
        std::cout << kUsage;
        return 2;
    }
    // The libraries' diagnostics are not results; progress goes to standard error instead.
    setClassificationLog(nullptr);
    std::ostringstream treeLog;
    setLodTreeLog(&treeLog);
    try {
        return run(parseOptions(argc, argv));
    } catch (const UsageError& e) {
        std::cerr << "pontaro-classify: " << e.what() << "\n";
        return 2;
    } catch (const std::bad_alloc&) {
        std::cerr << "pontaro-classify: out of memory\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "pontaro-classify: " << e.what() << "\n";
        return 1;
    }
}
