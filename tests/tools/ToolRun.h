#pragma once
// The tools run as a user runs them, and what they print read back.
#include "LASHeader.h"
#include "TestConfig.h"
#include "support/RunProcess.h"
#include "support/Samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

inline ProcessResult runTool(const std::string& tool, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(PONTARO_BIN_DIR) + "/" + tool);
    return runProcess(args);
}

// A synthetic survey written by pontaro-las.
inline std::string synth(const TempDir& dir, const std::string& name, int points, int format) {
    const std::string path = dir.file(name);
    auto r = runTool("pontaro-las", {"synth", path, "--points", std::to_string(points), "--format",
                                     std::to_string(format), "--seed", "7"});
    EXPECT_EQ(r.status, 0) << r.err;
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

// A real sample by file name; an empty path when it is not there.
inline SampleFile sampleNamed(const std::string& name) {
    for (const SampleFile& s : manifestSamples("las"))
        if (s.name == name && std::filesystem::exists(s.path))
            return s;
    return {};
}

// Refused command lines: each fails with `status` and one line "TOOL: ..." holding `fragment`.
struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string fragment;
};
inline void expectRefusals(const std::string& tool, const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
        std::string line;
        for (auto& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        const ProcessResult r = runTool(tool, c.args);
        expectOneErrorLine(r, tool, c.fragment);
        EXPECT_EQ(r.status, c.status);
    }
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
    const unsigned char* record(size_t i) const {
        return bytes.data() + h.OffsetToPointData + i * h.PointDataRecordLength;
    }
};
