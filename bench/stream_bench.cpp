// Streaming engine figure: time from connecting to full detail everywhere (every tile at its last level,
// uploaded to GL buffers) for a synthetic scene served by the real point server over loopback, against
// fetching the same points with one plain "getLODNormals/" transfer per level in the same run, each with
// the page faults the process took (the server's among them), and the engine's split by thread: filing
// on the cache thread, uploads (the GL driver's copies) on the main thread.
// Needs a display (Xvfb): the uploads run on a GL context of a hidden window.
#include "DatasetImport.h"
#include "DatasetStore.h"
#include "LASHeader.h"
#include "PointServer.h"
#include "RenderSelectionThread.h"
#include "ServerRetriever.h"
#include "SplatCacheThread.h"
#include "SplatTile.h"
#include "SyntheticScene.h"
#include "TileMemory.h"
#include "ViewMath.h"

#include "support/HiddenGLWindow.h"

#include <curl/curl.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <limits>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Minor and major page faults so far, of the process or of the calling thread.
long pageFaults(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_minflt + u.ru_majflt;
}

struct EngineRun {
    double seconds = -1;
    long faults = 0;       // the whole process
    long uploadFaults = 0; // main thread, in updateVBOs
    long fileFaults = 0;   // cache thread, serving requests
};

size_t discard(char*, size_t size, size_t n, void* bytes) {
    *static_cast<uint64_t*>(bytes) += size * n;
    return size * n;
}

// Every level of the data set in one transfer each, bytes discarded. Returns seconds.
double plainTransfers(const std::string& base, const std::string& name, int levels, uint64_t& bytes) {
    CURL* curl = curl_easy_init();
    const auto t0 = Clock::now();
    for (int l = 0; l < levels; ++l) {
        const std::string url =
            base + "getLODNormals/" + name + "/" + std::to_string(l) + "/" + std::to_string(l);
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &bytes);
        if (curl_easy_perform(curl) != CURLE_OK)
            throw std::runtime_error("plain transfer failed: " + url);
    }
    const double s = since(t0);
    curl_easy_cleanup(curl);
    return s;
}

// Connects as the viewer does and runs a 60 Hz frame loop of uploads until every tile holds and shows
// its last level.
EngineRun engineToFullDetail(const std::string& name) {
    EngineRun run;
    const long faults0 = pageFaults(RUSAGE_SELF);
    const auto t0 = Clock::now();
    datasetName = name;
    LASHeader header;
    int levels = 0;
    ServerRetriever retriever;
    std::ostringstream quiet;
    std::streambuf* out = std::cout.rdbuf(quiet.rdbuf());
    if (retriever.retrieveMetadata(header, levels) != 0)
        throw std::runtime_error("no metadata");
    // Looking straight down on the whole scene; a threshold no level reaches asks for full detail.
    const float proj[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, -1.000002f, -1, 0, 0, -0.02f, 0};
    const float mv[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -100, 1};
    extractFrustum(proj, mv);
    auto* sel = new RenderSelectionThread(name, &header, 384.0, short(levels - 1), 1.0);
    sel->minProjectedSize = 1e-9;
    sel->pointBudget = std::numeric_limits<long>::max(); // every point, however many
    sel->setCameraPosition({0, 0, 100});
    sel->Start();
    for (long frame = 0; run.seconds < 0; ++frame) {
        const auto frameStart = Clock::now();
        const long upload0 = pageFaults(RUSAGE_THREAD);
        sel->cache->updateVBOs(frame);
        run.uploadFaults += pageFaults(RUSAGE_THREAD) - upload0;
        bool full = true;
        for (const RenderTile& rt : sel->renderTiles)
            full = full && rt.getLOD() == sel->maxLOD && rt.state == RenderTile::Settled &&
                   sel->cache->getTile(rt.tileIndex)->highestLevel == sel->maxLOD;
        if (full) {
            run.seconds = since(t0);
            run.faults = pageFaults(RUSAGE_SELF) - faults0;
        }
        std::this_thread::sleep_until(frameStart + std::chrono::microseconds(16667));
    }
    std::cout.rdbuf(out);
    std::printf("stream: transfers filed into tiles at %d splats/s\n",
                sel->cache->getAverageRetrievalSpeed());
    run.fileFaults = long(sel->cache->servingPageFaults());
    delete sel;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pontaro_bench_stream DIR [POINTS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const uint64_t points = argc > 2 ? std::stoull(argv[2]) : 5000000;
    const std::string las = dir + "/stream-" + std::to_string(points) + ".las";
    const std::string data = dir + "/stream-data";
    const std::string name = "stream " + std::to_string(points);
    std::filesystem::create_directories(dir);
    if (!std::filesystem::exists(las))
        writeSyntheticLAS(las, SynthOptions{points, 2, 7});
    const std::string setDir = data + "/" + datasetDirName(name);
    if (!std::filesystem::exists(setDir))
        importDataset(las, data, name, 16);
    const int levels = int(readDatasetInfo(setDir).levels.size());

    HiddenGLWindow gl;
    if (!gl.skipReason.empty()) {
        std::fprintf(stderr, "stream: %s\n", gl.skipReason.c_str());
        return 1;
    }

    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto store = std::make_shared<DatasetStore>(DatasetStore::load(data));
    std::atomic<int> tileRequests{0};
    PointServerOptions options;
    options.log = [&](const std::string& line) {
        if (line.find("getRangeLODNormals") != std::string::npos)
            ++tileRequests;
    };
    PointServer server(store, options);
    const int port = server.bind("127.0.0.1", 0);
    std::thread serving([&] { server.run(); });
    DEFAULT_SERVER = "http://127.0.0.1:" + std::to_string(port) + "/Varnel/resources/Server/";

    CURL* esc = curl_easy_init();
    char* e = curl_easy_escape(esc, name.data(), int(name.size()));
    const std::string escaped = e;
    curl_free(e);
    curl_easy_cleanup(esc);

    uint64_t bytes = 0;
    plainTransfers(DEFAULT_SERVER, escaped, levels, bytes); // warm the page cache and the connection path
    bytes = 0;
    const long plainFaults0 = pageFaults(RUSAGE_SELF);
    const double plain = plainTransfers(DEFAULT_SERVER, escaped, levels, bytes);
    const long plainFaults = pageFaults(RUSAGE_SELF) - plainFaults0;
    const EngineRun run = engineToFullDetail(name);
    const double engine = run.seconds;
    std::printf("stream: %llu points, %d levels, %.1f MiB over loopback\n", (unsigned long long)points,
                levels, double(bytes) / (1 << 20));
    std::printf(
        "stream: plain getLODNormals transfers %.2f s; engine to full detail %.2f s in %d tile requests "
        "(60 Hz uploads)\n",
        plain, engine, tileRequests.load());
    std::printf("stream: connect-to-full-detail ratio %.2f (target <= 1.5)\n", engine / plain);
    const double million = double(points) / 1e6;
    std::printf("stream: page faults per million points: plain transfers %.0f; engine %.0f, of which filing "
                "(cache thread) %.0f and uploads (main thread, GL driver) %.0f\n",
                plainFaults / million, run.faults / million, run.fileFaults / million,
                run.uploadFaults / million);
    const TileMemory::Statistics memory = TileMemory::statistics();
    std::printf("stream: tile memory: %llu blocks of 64 KiB or more, %llu of them reused; %.0f MiB mapped, "
                "%.0f MiB held free after the cache was deleted (%.0f MiB of it resident)\n",
                (unsigned long long)memory.allocations, (unsigned long long)memory.reused,
                double(memory.mappedBytes) / (1 << 20), double(memory.freeBytes) / (1 << 20),
                double(memory.residentFree) / (1 << 20));

    server.stop();
    serving.join();
    return 0;
}
