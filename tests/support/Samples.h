#pragma once
// The real LiDAR samples beside the project, described by their MANIFEST tables.
#include "TestConfig.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct SampleFile {
    std::string name, path;
    std::string version;
    int format = -1;
    int recordLength = 0;
    uint64_t points = 0;
    double min[3] = {}, max[3] = {};
};

namespace samples_detail {
inline std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::stringstream ss(line);
    std::string cell;
    std::getline(ss, cell, '|');
    while (std::getline(ss, cell, '|')) {
        size_t a = cell.find_first_not_of(' '), b = cell.find_last_not_of(' ');
        out.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
    }
    return out;
}
inline uint64_t number(std::string s) {
    std::erase(s, ',');
    return std::stoull(s);
}
} // namespace samples_detail

// Rows of `folder`/MANIFEST.md (folder relative to the data directory); empty when it is missing.
inline std::vector<SampleFile> manifestSamples(const std::string& folder) {
    std::vector<SampleFile> out;
    std::string dir = std::string(PONTARO_DATA_DIR) + "/" + folder;
    std::ifstream in(dir + "/MANIFEST.md");
    std::string line;
    while (std::getline(in, line)) {
        auto c = samples_detail::cells(line);
        if (c.size() < 8 || c[0].size() < 5 || c[0].substr(c[0].size() - 4) != ".las")
            continue;
        SampleFile s;
        s.name = c[0];
        s.path = dir + "/" + c[0];
        s.version = c[3];
        s.format = std::stoi(c[4]);
        s.recordLength = std::stoi(c[5]);
        s.points = samples_detail::number(c[6]);
        if (std::sscanf(c[7].c_str(), "(%lf, %lf, %lf) - (%lf, %lf, %lf)", &s.min[0], &s.min[1], &s.min[2],
                        &s.max[0], &s.max[1], &s.max[2]) != 6)
            continue;
        out.push_back(s);
    }
    return out;
}
