// pontaro-server: import LAS files into data sets, list a data directory, and serve it over HTTP.
#include "CommandLine.h"
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "PointServer.h"
#include "ServerProtocol.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
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
  import FILE.las... --data DIR [--name NAME] [--neighbours K]
                      import LAS 1.0-1.2 files (formats 0-3) as one data set NAME, computing normals
                      from K nearest neighbours (3 to 64, default 16) over all of them. A FILE may be
                      a directory (its *.las and *.LAS files, by name) or a quoted glob pattern
                      ('tiles/*.las', matches by name). NAME defaults to the stem of a single FILE and
                      is required otherwise. Refused: files that differ in point data format, record
                      length or scale factors, offsets that differ by a fraction of a scale unit, and
                      a file given twice. The first file's header is served, counting all points.
  list --data DIR     one line per data set: name, points, levels, bounds
  serve --data DIR [--host HOST] [--port PORT] [--threads N]
                      serve every data set of DIR over HTTP (default 127.0.0.1:10488; port 0 picks a
                      free port) until interrupted; one access-log line per request on standard output
  --help              this text
)";

struct Options {
    std::vector<std::string> files;
    std::string data, name, host = "127.0.0.1";
    bool haveName = false;
    int neighbours = 16, port = kDefaultServerPort, threads = 0;
};

enum class Mode { Import, List, Serve };

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
        } else if (serving && a == "--host") {
            o.host = value();
        } else if (serving && a == "--port") {
            o.port = parseNumber<int>(value(), "--port", 0, 65535);
        } else if (serving && a == "--threads") {
            o.threads = parseNumber<int>(value(), "--threads", 1, 1024);
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

// Progress lines on standard error; a line is ended before anything else is printed there.
// An interrupt ends the import at its next progress report, through the import's own failure path.
struct Progress {
    bool open = false;
    std::string phase;
    int shown = -1;
    const std::atomic<bool>* interrupted = nullptr;
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
        std::cerr << "\rimport: " << p << " " << pct << "%" << std::flush;
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
        info = importDataset(files, o.data, name, o.neighbours, std::ref(progress));
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

int list(const std::vector<std::string>& args) {
    Options o = parse(args, Mode::List);
    if (!o.files.empty())
        throw UsageError("list takes no file names");
    std::error_code ec;
    std::vector<std::string> dirs;
    for (auto it = std::filesystem::directory_iterator(o.data, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (entry.rfind("ds-", 0) == 0 && it->is_directory())
            dirs.push_back(it->path().string());
    }
    if (ec)
        throw std::runtime_error(o.data + ": " + ec.message());
    std::vector<DatasetInfo> sets;
    for (const auto& d : dirs)
        sets.push_back(readDatasetInfo(d));
    std::sort(sets.begin(), sets.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const auto& s : sets) {
        std::printf("%s\t%llu points\t%zu levels\tbounds %.17g %.17g %.17g %.17g %.17g %.17g\n",
                    s.name.c_str(), (unsigned long long)s.points, s.levels.size(), s.bounds[0], s.bounds[1],
                    s.bounds[2], s.bounds[3], s.bounds[4], s.bounds[5]);
    }
    return 0;
}

int serve(const std::vector<std::string>& args) {
    Options o = parse(args, Mode::Serve);
    if (!o.files.empty())
        throw UsageError("serve takes no file names");
    std::vector<std::string> problems;
    auto store = std::make_shared<const DatasetStore>(DatasetStore::load(o.data, &problems));
    for (const auto& p : problems)
        std::cerr << "pontaro-server: skipping " << p << "\n";

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
    return runTool("pontaro-server", kUsage, {{"import", import}, {"list", list}, {"serve", serve}}, argc,
                   argv);
}
