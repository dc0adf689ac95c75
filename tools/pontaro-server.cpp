// pontaro-server: import LAS files into data sets, list a data directory, and serve it over HTTP.
#include "CommandLine.h"
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "PointServer.h"
#include "ServerProtocol.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <glob.h>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char* kUsage = R"(usage: pontaro-server COMMAND ...
  import FILE.las... --data DIR [--name NAME] [--neighbours K] [--memory SIZE] [--tmp DIR]
                      import LAS 1.0-1.2 files (formats 0-3) as one data set NAME, computing normals
                      from K nearest neighbours (3 to 64, default 16) over all of them. A FILE may be
                      a directory (its *.las and *.LAS files, by name) or a quoted glob pattern
                      ('tiles/*.las', matches by name). NAME defaults to the stem of a single FILE and
                      is required otherwise. Refused: files that differ in point data format, record
                      length or scale factors, offsets that differ by a fraction of a scale unit, and
                      a file given twice. The first file's header is served, counting all points.
                      Memory stays within SIZE (like 512M or 8G; default a quarter of physical memory,
                      at least 32M): larger inputs go through temporary files in DIR (default: the data
                      directory), which need about three times the input's size free on disk.
  list --data DIR     one line per data set: name, points, levels, bounds; a data set that cannot be
                      served gets a line saying why
  verify --data DIR [NAME]
                      check every file of every data set (or of NAME) against the checksums written
                      at its import, one line per data set; exit status 1 when any fails
  serve --data DIR [--host HOST] [--port PORT] [--threads N] [--verify]
                      serve every data set of DIR over HTTP (default 127.0.0.1:10488; port 0 picks a
                      free port) until interrupted; one access-log line per request on standard output.
                      Data sets whose files fail their checks are skipped with the reason; the level
                      records are checked against their checksums only with --verify (reads them all)
  --help              this text
)";

struct Options {
    std::vector<std::string> files;
    std::string data, name, host = "127.0.0.1", tmp;
    uint64_t memory = 0;
    bool haveName = false, verify = false;
    int neighbours = 16, port = kDefaultServerPort, threads = 0;
};

enum class Mode { Import, List, Verify, Serve };

// "512M", "8G", "1.5T" or a number of bytes; K, M, G and T are powers of 1024.
uint64_t parseSize(const std::string& text, const std::string& what) {
    const std::string error = what + " must be a size like 512M or 8G, at least " +
                              std::to_string(kMinImportMemory >> 20) + "M, not '" + text + "'";
    size_t digits = 0;
    while (digits < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.'))
        ++digits;
    const std::string suffix = text.substr(digits);
    const size_t unit =
        suffix.size() == 1
            ? std::string_view("KMGT").find(char(std::toupper(static_cast<unsigned char>(suffix[0]))))
            : std::string_view::npos;
    if (!suffix.empty() && unit == std::string_view::npos)
        throw UsageError(error);
    const int shift = suffix.empty() ? 0 : 10 * (1 + int(unit));
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + digits, v);
    if (digits == 0 || ec != std::errc() || end != text.data() + digits)
        throw UsageError(error);
    const double bytes = std::ldexp(v, shift);
    if (!(bytes >= double(kMinImportMemory)) || !(bytes < 0x1p62))
        throw UsageError(error);
    return uint64_t(bytes);
}

Options parse(const std::vector<std::string>& args, Mode mode) {
    const bool importing = mode == Mode::Import, serving = mode == Mode::Serve;
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--data") {
            o.data = value();
        } else if (importing && a == "--name") {
            o.name = value();
            o.haveName = true;
        } else if (importing && a == "--neighbours") {
            o.neighbours = parseNumber<int>(value(), "--neighbours", 3, 64);
        } else if (importing && a == "--memory") {
            o.memory = parseSize(value(), "--memory");
        } else if (importing && a == "--tmp") {
            o.tmp = value();
        } else if (serving && a == "--host") {
            o.host = value();
        } else if (serving && a == "--port") {
            o.port = parseNumber<int>(value(), "--port", 0, 65535);
        } else if (serving && a == "--threads") {
            o.threads = parseNumber<int>(value(), "--threads", 1, 1024);
        } else if (serving && a == "--verify") {
            o.verify = true;
        } else if (a.rfind("--", 0) == 0) {
            throw UsageError("unknown option " + a);
        } else {
            o.files.push_back(a);
        }
    }
    if (o.data.empty())
        throw UsageError("--data DIR is required");
    return o;
}

// SIGINT and SIGTERM taken by one thread with sigwait, so that what they trigger runs outside any signal
// handler. Construct before any other thread exists: the blocked mask is inherited.
class StopSignals {
public:
    explicit StopSignals(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        watcher_ = std::thread([this] {
            const timespec tick{0, 100'000'000};
            while (!done_) {
                int sig = sigtimedwait(&set_, nullptr, &tick);
                if (sig == SIGINT || sig == SIGTERM) {
                    onSignal_(sig);
                    return;
                }
            }
        });
    }
    ~StopSignals() {
        done_ = true;
        watcher_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::function<void(int)> onSignal_;
    sigset_t set_, previous_;
    std::atomic<bool> done_{false};
    std::thread watcher_;
};

// Progress lines on standard error, with an estimate of the time left; a line is ended before anything else
// is printed there. An interrupt ends the import at its next progress report, through the import's own
// failure path.
struct Progress {
    bool open = false;
    std::string phase;
    int shown = -1;
    const std::atomic<bool>* interrupted = nullptr;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    // The import's phases in order, each with its rough share of the whole time (the shares add up to 1);
    // returns the shares of the phases before p.
    static double before(const std::string& p, double& weight) {
        static const std::pair<const char*, double> phases[] = {
            {"read", 0.05}, {"partition", 0.08}, {"levels", 0.12}, {"normals", 0.5}, {"write", 0.25}};
        double sum = 0;
        for (const auto& [name, w] : phases) {
            if (p == name) {
                weight = w;
                return sum;
            }
            sum += w;
        }
        weight = 0;
        return 1;
    }
    void operator()(const std::string& p, uint64_t done, uint64_t total) {
        if (interrupted && *interrupted)
            throw std::runtime_error("interrupted; the data directory is as it was");
        int pct = total ? int(done * 100 / total) : 100;
        if (p == phase && pct == shown)
            return;
        if (p != phase && open)
            std::cerr << "\n";
        phase = p;
        shown = pct;
        double weight = 0;
        const double fraction = before(p, weight) + weight * (total ? double(done) / double(total) : 1);
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::string left;
        if (elapsed >= 2 && fraction >= 0.02 && fraction < 1) {
            const long s = std::lround(elapsed / fraction - elapsed);
            left = s < 60
                       ? ", about " + std::to_string(s) + " s left"
                       : ", about " + std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s left";
        }
        std::cerr << "\rimport: " << p << " " << pct << "%" << left << "          " << std::flush;
        open = true;
    }
    void end() {
        if (open)
            std::cerr << "\n";
        open = false;
    }
};

// The LAS files an import argument stands for: a directory's *.las and *.LAS files, the files matching a
// glob pattern (quoted, so that the shell left it), or else the argument itself. Sorted by name in byte
// order, whatever the locale, so that the same arguments always make the same data set.
std::vector<std::string> lasFilesOf(const std::string& arg, bool& expanded) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    expanded = true;
    if (fs::is_directory(arg, ec)) {
        for (auto it = fs::directory_iterator(arg, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            const std::string ext = it->path().extension().string();
            std::error_code typeError;
            if ((ext == ".las" || ext == ".LAS") && !it->is_directory(typeError))
                files.push_back(it->path().string());
        }
        if (ec)
            throw std::runtime_error(arg + ": " + ec.message());
        if (files.empty())
            throw std::runtime_error(arg + ": the directory holds no *.las or *.LAS files");
    } else if (arg.find_first_of("*?[") != std::string::npos && !fs::exists(arg, ec)) {
        glob_t g{};
        const int r = ::glob(arg.c_str(), GLOB_MARK, nullptr, &g); // directories end in '/', and are left out
        for (size_t i = 0; r == 0 && i < g.gl_pathc; ++i)
            if (std::string_view(g.gl_pathv[i]).back() != '/')
                files.emplace_back(g.gl_pathv[i]);
        globfree(&g);
        if (r == GLOB_NOMATCH || (r == 0 && files.empty()))
            throw std::runtime_error("no file matches " + arg);
        if (r != 0)
            throw std::runtime_error(arg + ": the pattern cannot be expanded");
    } else {
        expanded = false;
        files.push_back(arg);
    }
    std::sort(files.begin(), files.end());
    return files;
}

int import(const std::vector<std::string>& args) {
    Options o = parse(args, Mode::Import);
    if (o.files.empty())
        throw UsageError("import needs a LAS file");
    std::vector<std::string> files;
    bool expanded = false;
    for (const std::string& a : o.files) {
        bool e = false;
        for (std::string& f : lasFilesOf(a, e))
            files.push_back(std::move(f));
        expanded = expanded || e;
    }
    if (!o.haveName && (files.size() > 1 || expanded))
        throw UsageError(
            "--name NAME is required when importing more than one file, a directory or a pattern");
    std::string name = o.haveName ? o.name : std::filesystem::path(files[0]).stem().string();
    if (name.empty())
        throw UsageError("the data set name is empty");
    keepImportMemory();
    std::atomic<bool> interrupted{false};
    StopSignals signals([&interrupted](int) { interrupted = true; });
    Progress progress;
    progress.interrupted = &interrupted;
    DatasetInfo info;
    try {
        ImportOptions options;
        options.neighbours = o.neighbours;
        options.memory = o.memory;
        options.tmpDir = o.tmp;
        options.progress = std::ref(progress);
        info = importDataset(files, o.data, name, options);
    } catch (...) {
        progress.end();
        throw;
    }
    progress.end();
    std::cout << "Imported " << info.points << " points"
              << (files.size() > 1 ? " from " + std::to_string(files.size()) + " files" : "") << " in "
              << info.levels.size() << " levels as '" << name << "' (" << o.data << "/"
              << datasetDirName(name) << ")\n";
    return 0;
}

// The name a data set directory holds, for reports on data sets that cannot be loaded; the directory's
// own name where that cannot be read or could not be printed on one line.
std::string nameOf(const std::string& dir) {
    std::ifstream in(dir + "/name", std::ios::binary);
    std::string name(std::istreambuf_iterator<char>(in), {});
    const bool printable =
        !name.empty() && name.size() <= 1024 &&
        std::none_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
    return in && printable ? name : std::filesystem::path(dir).filename().string();
}

int list(const std::vector<std::string>& args) {
    Options o = parse(args, Mode::List);
    if (!o.files.empty())
        throw UsageError("list takes no file names");
    // The checks serve makes at load, so that what is listed is what would be served.
    std::vector<std::pair<std::string, std::string>> lines; // name, line
    for (const auto& d : DatasetStore::datasetDirs(o.data)) {
        try {
            const DatasetInfo s = DatasetStore::loadDataset(d)->info;
            char buf[512];
            std::snprintf(buf, sizeof buf,
                          "\t%llu points\t%zu levels\tbounds %.17g %.17g %.17g %.17g %.17g %.17g",
                          (unsigned long long)s.points, s.levels.size(), s.bounds[0], s.bounds[1],
                          s.bounds[2], s.bounds[3], s.bounds[4], s.bounds[5]);
            lines.emplace_back(s.name, s.name + buf);
        } catch (const std::exception& e) {
            const std::string name = nameOf(d);
            lines.emplace_back(name, name + "\tcannot be served: " + e.what());
        }
    }
    std::sort(lines.begin(), lines.end());
    for (const auto& [name, line] : lines)
        std::printf("%s\n", line.c_str());
    return 0;
}

int verify(const std::vector<std::string>& args) {
    Options o = parse(args, Mode::Verify);
    if (o.files.size() > 1)
        throw UsageError("verify takes at most one data set name");
    std::vector<std::string> dirs;
    if (o.files.empty()) {
        dirs = DatasetStore::datasetDirs(o.data);
    } else {
        const std::string dir = o.data + "/" + datasetDirName(o.files[0]);
        if (!std::filesystem::is_directory(dir))
            throw std::runtime_error(o.data + " holds no data set '" + o.files[0] + "'");
        dirs.push_back(dir);
    }
    size_t failed = 0;
    for (const auto& d : dirs) {
        std::string line;
        try {
            auto ds = DatasetStore::loadDataset(d, true);
            line = ds->info.name + "\tok\t" +
                   (ds->filesChecksummed > 0
                        ? std::to_string(ds->filesChecksummed) + " files match their checksums"
                        : "no checksums (imported before they were kept): every record lies in its cell");
        } catch (const std::exception& e) {
            ++failed;
            line = nameOf(d) + "\tFAILED\t" + e.what();
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    if (failed > 0)
        throw std::runtime_error(std::to_string(failed) + " of " + std::to_string(dirs.size()) +
                                 " data sets failed verification");
    return 0;
}

int serve(const std::vector<std::string>& args) {
    Options o = parse(args, Mode::Serve);
    if (!o.files.empty())
        throw UsageError("serve takes no file names");
    std::vector<std::string> problems, notes;
    auto store =
        std::make_shared<const DatasetStore>(DatasetStore::load(o.data, &problems, o.verify, &notes));
    for (const auto& p : problems)
        std::cerr << "pontaro-server: skipping " << p << "\n";
    for (const auto& n : notes)
        std::cerr << "pontaro-server: note: " << n << "\n";

    std::signal(SIGPIPE, SIG_IGN);
    std::mutex logLock;
    PointServerOptions options;
    options.threads = o.threads;
    options.log = [&logLock](const std::string& line) {
        std::lock_guard<std::mutex> lock(logLock);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    PointServer server(store, options); // starts no thread before run()
    const int port = server.bind(o.host, o.port);
    StopSignals signals([&server](int sig) {
        std::cerr << "pontaro-server: stopping on " << (sig == SIGINT ? "SIGINT" : "SIGTERM") << "\n";
        server.stop();
    });
    std::printf("Serving %zu data set%s from %s on http://%s:%d%.*s\n", store->size(),
                store->size() == 1 ? "" : "s", o.data.c_str(), o.host.c_str(), port,
                int(kServerBasePath.size()), kServerBasePath.data());
    std::fflush(stdout);
    const bool ok = server.run();
    if (!ok)
        throw std::runtime_error("serving on " + o.host + ":" + std::to_string(port) + " failed");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runTool("pontaro-server", kUsage,
                   {{"import", import}, {"list", list}, {"verify", verify}, {"serve", serve}}, argc, argv);
}
