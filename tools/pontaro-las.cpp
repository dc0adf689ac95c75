// pontaro-las: inspect LAS files and generate synthetic airborne LiDAR scenes.
#include "CLASFile.h"
#include "CommandLine.h"
#include "LASHeader.h"
#include "SyntheticScene.h"

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* kUsage = R"(usage: pontaro-las COMMAND ...
  info FILE.las                                  print the header and records; check the file's size
  synth OUT.las --points N --format F [--seed S] write a synthetic airborne LiDAR scene (LAS 1.2)
  --help                                         this text
)";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs fn with standard output collected; the header reader prints its messages there, without line
// breaks, and the tool gives each its own line.
template <typename Fn> std::vector<std::string> collectMessages(Fn&& fn) {
    std::ostringstream sink;
    std::streambuf* old = std::cout.rdbuf(sink.rdbuf());
    try {
        fn();
    } catch (...) {
        std::cout.rdbuf(old);
        throw;
    }
    std::cout.rdbuf(old);
    // Messages start with "ReadError: ", "Read Error: " or "Error: ".
    const std::string text = sink.str();
    auto startsMessage = [&](size_t p) {
        auto at = [&](const char* s) { return text.compare(p, std::strlen(s), s) == 0; };
        bool afterRead = (p >= 4 && text.compare(p - 4, 4, "Read") == 0) || (p >= 5 && text.compare(p - 5, 5, "Read ") == 0);
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

std::string fixed(const char* p, size_t width) { return std::string(p, strnlen(p, width)); }

int info(const std::vector<std::string>& args) {
    if (args.size() != 1)
        throw UsageError("info takes one file name");
    const std::string& path = args[0];
    FilePtr f = openFile(path.c_str(), "rb");
    if (!f)
        throw Failure(path + ": " + std::strerror(errno));
    LASHeader h;
    bool ok = false;
    for (auto& line : collectMessages([&] { ok = h.Read(f.get()); }))
        if (ok)
            std::cout << "warning: " << line << "\n";
    if (!ok)
        throw Failure(path + ": not a readable LAS header (" + h.lastMessage + ")");
    h.outputString();

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
        std::cout << "  " << i << ": user ID \"" << fixed(r.UserID, 16) << "\", record ID " << r.RecordID << ", "
                  << r.RecordLenAfterHeader << " bytes, \"" << fixed(r.Description, 32) << "\"\n";
    }
    delete[] records;

    int64_t size = lasFileSize(f.get());
    uint64_t expected = uint64_t(h.OffsetToPointData) + h.PointDataBytes();
    std::cout << "File size: " << size << " bytes; header declares " << expected << " bytes\n";
    std::string why;
    if (!h.CheckPointData(uint64_t(size), &why))
        throw Failure(path + ": " + why);
    if (uint64_t(size) > expected)
        std::cout << "note: " << uint64_t(size) - expected << " bytes follow the last point record\n";
    std::cout << "Extent: " << (h.Max_X - h.Min_X) << " x " << (h.Max_Y - h.Min_Y) << " x " << (h.Max_Z - h.Min_Z)
              << " (file units)\n";
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
    std::cout << "Wrote " << o.points << " points to " << out << " (format " << o.format << ", seed " << o.seed
              << ")\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::cout << kUsage;
        return args.empty() ? 2 : 0;
    }
    const std::string cmd = args[0];
    args.erase(args.begin());
    try {
        if (cmd == "info")
            return info(args);
        if (cmd == "synth")
            return synth(args);
        throw UsageError("unknown command '" + cmd + "' (try --help)");
    } catch (const UsageError& e) {
        std::cerr << "pontaro-las: " << e.what() << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "pontaro-las: " << e.what() << "\n";
        return 1;
    }
}
