// pontaro-las: inspect LAS files and generate synthetic airborne LiDAR scenes.
#include "CLASCompressor.h"
#include "CLASFile.h"
#include "CommandLine.h"
#include "LASHeader.h"
#include "LasLog.h"
#include "SyntheticScene.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <malloc.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char* kUsage = R"(usage: pontaro-las COMMAND ...
  info FILE.las                                  print the header and records; check the file's size
  synth OUT.las --points N --format F [--seed S] write a synthetic airborne LiDAR scene (LAS 1.2)
  compress IN.las OUT.lasc [--threads T]         compress losslessly
  decompress IN.lasc OUT.las [--threads T]       restore the LAS file byte for byte
  verify IN.las [--threads T]                    compress, decompress and compare every byte
  --help                                         this text
)";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs fn with the LAS library's messages collected; the header reader writes them without line breaks,
// and the tool gives each its own line.
template <typename Fn> std::vector<std::string> collectMessages(Fn&& fn) {
    std::string text;
    {
        std::ostringstream sink;
        LasLogTo collect(&sink);
        fn();
        text = sink.str();
    }
    // Messages start with "ReadError: ", "Read Error: " or "Error: ".
    auto startsMessage = [&](size_t p) {
        auto at = [&](const char* s) { return text.compare(p, std::strlen(s), s) == 0; };
        bool afterRead = (p >= 4 && text.compare(p - 4, 4, "Read") == 0) ||
                         (p >= 5 && text.compare(p - 5, 5, "Read ") == 0);
        return at("ReadError: ") || at("Read Error: ") || (at("Error: ") && !afterRead);
    };
    std::vector<std::string> lines;
    for (size_t p = 0; p < text.size(); ++p) {
        if (p == 0 || startsMessage(p))
            lines.emplace_back();
        lines.back() += text[p];
    }
    return lines;
}

std::string fixed(const char* p, size_t width) {
    return std::string(p, strnlen(p, width));
}

int info(const std::vector<std::string>& args) {
    if (args.size() != 1)
        throw UsageError("info takes one file name");
    const std::string& path = args[0];
    FilePtr f = openFile(path.c_str(), "rb");
    if (!f)
        throw Failure(path + ": " + std::strerror(errno));
    LASHeader checked;
    const std::string problem = checked.ReadChecked(f.get());
    const int64_t size = lasFileSize(f.get());
    // A header that is there at all is shown, so that the user sees what the refusal is about.
    if (size < LASHeader::BlockSize || std::memcmp(checked.FileSignature, "LASF", 4) != 0)
        throw Failure(path + ": " + problem);
    LASHeader h;
    bool ok = false;
    for (auto& line : collectMessages([&] { ok = h.Read(f.get()); }))
        if (ok && problem.empty())
            std::cout << "warning: " << line << "\n";
    checked.outputString();
    if (!problem.empty())
        throw Failure(path + ": " + problem);

    CLASFile las;
    LASVarLenRecord* records = nullptr;
    collectMessages([&] {
        if (las.OpenFile(path.c_str()))
            records = las.ReadVLR();
    });
    if (!records && h.NumberOfVariableLengthRecords > 0)
        throw Failure(path + ": the " + std::to_string(h.NumberOfVariableLengthRecords) +
                      " variable length records cannot be read");
    std::cout << "Variable length records: " << h.NumberOfVariableLengthRecords << "\n";
    for (uint32_t i = 0; i < h.NumberOfVariableLengthRecords; ++i) {
        const LASVarLenRecord& r = records[i];
        std::cout << "  " << i << ": user ID \"" << fixed(r.UserID, 16) << "\", record ID " << r.RecordID
                  << ", " << r.RecordLenAfterHeader << " bytes, \"" << fixed(r.Description, 32) << "\"\n";
    }
    delete[] records;

    uint64_t expected = uint64_t(h.OffsetToPointData) + h.PointDataBytes();
    std::cout << "File size: " << size << " bytes; header declares " << expected << " bytes\n";
    if (uint64_t(size) > expected)
        std::cout << "note: " << uint64_t(size) - expected << " bytes follow the last point record\n";
    std::cout << "Extent: " << (h.Max_X - h.Min_X) << " x " << (h.Max_Y - h.Min_Y) << " x "
              << (h.Max_Z - h.Min_Z) << " (file units)\n";
    std::cout << "OK\n";
    return 0;
}

int synth(const std::vector<std::string>& args) {
    std::string out;
    SynthOptions o;
    bool havePoints = false, haveFormat = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw UsageError(a + " needs a value");
            return args[++i];
        };
        if (a == "--points") {
            o.points = parseNumber<uint64_t>(value(), "--points", 1, 4294967295ull);
            havePoints = true;
        } else if (a == "--format") {
            o.format = parseNumber<int>(value(), "--format", 0, 3);
            haveFormat = true;
        } else if (a == "--seed") {
            o.seed = parseNumber<uint64_t>(value(), "--seed");
        } else if (a.rfind("--", 0) == 0) {
            throw UsageError("unknown option " + a);
        } else if (out.empty()) {
            out = a;
        } else {
            throw UsageError("synth writes one file; '" + a + "' is one too many");
        }
    }
    if (out.empty() || !havePoints || !haveFormat)
        throw UsageError("synth needs OUT.las, --points N and --format F");
    const bool showProgress = o.points > 1000000;
    int shown = -1;
    writeSyntheticLAS(out, o, [&](uint64_t done, uint64_t total) {
        int pct = total ? int(done * 100 / total) : 100;
        if (showProgress && pct != shown) {
            shown = pct;
            std::cerr << "\rsynth: " << pct << "%" << std::flush;
        }
    });
    if (showProgress)
        std::cerr << "\n";
    std::cout << "Wrote " << o.points << " points to " << out << " (format " << o.format << ", seed "
              << o.seed << ")\n";
    return 0;
}

using Clock = std::chrono::steady_clock;
double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Progress on standard error for files of more than a million points.
std::function<void(uint64_t, uint64_t)> chunkProgress(const char* what) {
    return [what](uint64_t done, uint64_t total) {
        if (total > 1000000)
            std::cerr << "\r" << what << ": " << done * 100 / total << "%" << (done == total ? "\n" : "")
                      << std::flush;
    };
}

struct CodecArgs {
    std::vector<std::string> files;
    int threads = 1;
};
CodecArgs codecArgs(const std::vector<std::string>& args, size_t files) {
    CodecArgs c;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--threads") {
            if (i + 1 >= args.size())
                throw UsageError("--threads needs a value");
            c.threads = parseNumber<int>(args[++i], "--threads", 1, 256);
        } else if (args[i].rfind("--", 0) == 0) {
            throw UsageError("unknown option " + args[i]);
        } else {
            c.files.push_back(args[i]);
        }
    }
    if (c.files.size() != files)
        throw UsageError(files == 1 ? "expected one file name" : "expected an input and an output file name");
    return c;
}

uint64_t fileBytes(const std::string& path) {
    std::error_code ec;
    auto n = std::filesystem::file_size(path, ec);
    return ec ? 0 : n;
}

// Compresses `in` into `out` through a temporary file renamed into place; returns seconds taken.
double compressFile(const std::string& in, const std::string& out, int threads) {
    auto t0 = Clock::now();
    std::string tmp = out + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        throw Failure(out + ": " + std::strerror(errno));
    const mode_t mask = umask(0); // a temporary file is private; the result gets the usual permissions
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    FilePtr f(fdopen(fd, "wb"));
    try {
        {
            FilePtr input = openFile(in.c_str(), "rb");
            if (!input)
                throw Failure(in + ": " + std::strerror(errno));
            LASHeader h;
            if (const std::string problem = h.ReadChecked(input.get()); !problem.empty())
                throw Failure(in + ": " + problem);
        }
        CLASFile_C las(in.c_str());
        if (!las.GetHeader())
            throw Failure(in + ": cannot read a LAS header");
        CLASCompressor c;
        c.setThreads(threads);
        c.onChunk = chunkProgress("compress");
        c.CompressLASFile(f.get(), &las);
        if (std::fflush(f.get()) != 0 || fsync(fileno(f.get())) != 0)
            throw Failure(out + ": " + std::strerror(errno));
        f.reset();
        if (std::rename(tmp.c_str(), out.c_str()) != 0)
            throw Failure(out + ": " + std::strerror(errno));
    } catch (...) {
        f.reset();
        ::unlink(tmp.c_str());
        throw;
    }
    return since(t0);
}

double decompressFile(const std::string& in, const std::string& out, int threads) {
    auto t0 = Clock::now();
    FilePtr f = openFile(in.c_str(), "rb");
    if (!f)
        throw Failure(in + ": " + std::strerror(errno));
    std::string tmp = out + ".part";
    try {
        CLASFile_C las;
        las.SetPath(tmp.c_str());
        CLASCompressor c;
        c.setThreads(threads);
        c.onChunk = chunkProgress("decompress");
        // The decoder reports the first GPS times of each block; a tool keeps its own output for the user.
        {
            LasLogTo quiet(nullptr);
            c.DecompressLASFile(f.get(), &las);
        }
        if (std::rename(tmp.c_str(), out.c_str()) != 0)
            throw Failure(out + ": " + std::strerror(errno));
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    return since(t0);
}

int compress(const std::vector<std::string>& args) {
    auto a = codecArgs(args, 2);
    double s = compressFile(a.files[0], a.files[1], a.threads);
    uint64_t in = fileBytes(a.files[0]), out = fileBytes(a.files[1]);
    std::printf("%s: %llu -> %llu bytes (%.1f%%), %.2f s, %.1f MB/s\n", a.files[1].c_str(),
                (unsigned long long)in, (unsigned long long)out, in ? 100.0 * out / in : 0.0, s,
                in / 1e6 / std::max(s, 1e-9));
    return 0;
}

int decompress(const std::vector<std::string>& args) {
    auto a = codecArgs(args, 2);
    double s = decompressFile(a.files[0], a.files[1], a.threads);
    uint64_t out = fileBytes(a.files[1]);
    std::printf("%s: %llu bytes, %.2f s, %.1f MB/s\n", a.files[1].c_str(), (unsigned long long)out, s,
                out / 1e6 / std::max(s, 1e-9));
    return 0;
}

int verify(const std::vector<std::string>& args) {
    auto a = codecArgs(args, 1);
    const std::string& in = a.files[0];
    char dirTemplate[] = "/tmp/pontaro-verify-XXXXXX";
    if (!mkdtemp(dirTemplate))
        throw Failure(std::string("cannot create a temporary directory: ") + std::strerror(errno));
    std::string dir = dirTemplate, packed = dir + "/file.lasc", back = dir + "/file.las";
    auto cleanup = [&] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    };
    try {
        double tc = compressFile(in, packed, a.threads);
        double td = decompressFile(packed, back, a.threads);
        uint64_t size = fileBytes(in), csize = fileBytes(packed);
        std::ifstream x(in, std::ios::binary), y(back, std::ios::binary);
        std::vector<char> bx(1 << 20), by(1 << 20);
        uint64_t at = 0;
        bool same = fileBytes(back) == size;
        while (same && x && y) {
            x.read(bx.data(), std::streamsize(bx.size()));
            y.read(by.data(), std::streamsize(by.size()));
            if (x.gcount() != y.gcount() || std::memcmp(bx.data(), by.data(), size_t(x.gcount())) != 0) {
                for (std::streamsize k = 0; k < std::min(x.gcount(), y.gcount()); ++k)
                    if (bx[size_t(k)] != by[size_t(k)]) {
                        at += uint64_t(k);
                        break;
                    }
                same = false;
                break;
            }
            at += uint64_t(x.gcount());
        }
        cleanup();
        std::printf("LAS %llu bytes, compressed %llu bytes (%.1f%%)\n", (unsigned long long)size,
                    (unsigned long long)csize, size ? 100.0 * csize / size : 0.0);
        std::printf("compression %.2f s (%.1f MB/s), decompression %.2f s (%.1f MB/s)\n", tc,
                    size / 1e6 / std::max(tc, 1e-9), td, size / 1e6 / std::max(td, 1e-9));
        if (!same)
            throw Failure(in + ": the decompressed file differs from the original at byte " +
                          std::to_string(at));
        std::printf("identical: every byte of the header, records and points\n");
    } catch (...) {
        cleanup();
        throw;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Blocks of a million points allocate and free arrays of megabytes, field after field. Returned to
    // the system, each would be faulted in again, page by page, by the next; kept, they are reused.
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    return runTool("pontaro-las", kUsage,
                   {{"info", info},
                    {"synth", synth},
                    {"compress", compress},
                    {"decompress", decompress},
                    {"verify", verify}},
                   argc, argv);
}
