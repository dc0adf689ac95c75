#pragma once
// The tools run as a user runs them, and what they print read back.
#include "LASHeader.h"
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

// A refused command line: it fails with `status` and one line "TOOL: ..." holding `fragment`.
struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string fragment;
};

struct Tool {
    std::string name;
    ProcessResult operator()(std::vector<std::string> args) const {
        args.insert(args.begin(), std::string(PONTARO_BIN_DIR) + "/" + name);
        return runProcess(args);
    }
    // A run that must succeed.
    ProcessResult ok(std::vector<std::string> args) const {
        ProcessResult r = (*this)(std::move(args));
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        return r;
    }
    void refuses(const std::vector<Refusal>& cases) const {
        for (const Refusal& c : cases) {
            std::string line;
            for (auto& a : c.args)
                line += a + " ";
            SCOPED_TRACE(line);
            const ProcessResult r = (*this)(c.args);
            expectOneErrorLine(r, name, c.fragment);
            EXPECT_EQ(r.status, c.status);
        }
    }
};
inline const Tool lasTool{"pontaro-las"}, meshTool{"pontaro-mesh"}, treeTool{"pontaro-tree"},
    classifyTool{"pontaro-classify"};

// A synthetic survey written by pontaro-las.
inline std::string synth(const TempDir& dir, const std::string& name, int points, int format) {
    const std::string path = dir.file(name);
    lasTool.ok({"synth", path, "--points", std::to_string(points), "--format", std::to_string(format)});
    return path;
}

// The number after "label: " at the start of a line of the output.
inline double printed(const ProcessResult& r, const std::string& label) {
    const std::string text = "\n" + r.out, key = "\n" + label + ": ";
    const size_t at = text.find(key);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no '" << label << "' in\n" << r.out;
        return -1;
    }
    return std::stod(text.substr(at + key.size()));
}

// Real samples: one by file name (an empty path when it is not there), or all up to 40,000 points (the
// larger ones cost time, not coverage).
inline std::vector<SampleFile> samplesWhere(const std::function<bool(const SampleFile&)>& keep) {
    std::vector<SampleFile> out;
    for (const SampleFile& s : manifestSamples("las"))
        if (keep(s) && std::filesystem::exists(s.path))
            out.push_back(s);
    return out;
}
inline SampleFile sampleNamed(const std::string& name) {
    auto found = samplesWhere([&](const SampleFile& s) { return s.name == name; });
    return found.empty() ? SampleFile{} : found[0];
}
inline std::vector<SampleFile> smallSamples() {
    return samplesWhere([](const SampleFile& s) { return s.points <= 40000; });
}

// A LAS file's header and bytes, its records in place.
struct LasBytes {
    LASHeader h;
    std::vector<unsigned char> bytes;
    size_t size; // of the file
    explicit LasBytes(const std::string& path) : bytes(readBytes(path)), size(bytes.size()) {
        EXPECT_GE(bytes.size(), size_t(LASHeader::BlockSize)) << path;
        bytes.resize(std::max(bytes.size(), size_t(LASHeader::BlockSize)));
        h.copyFromBuffer(bytes.data());
    }
    bool complete() const {
        return size >= h.OffsetToPointData + uint64_t(h.NumberOfPointRecords) * h.PointDataRecordLength;
    }
    unsigned char* record(size_t i) {
        return bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength;
    }
    const unsigned char* record(size_t i) const { return const_cast<LasBytes*>(this)->record(i); }
};
