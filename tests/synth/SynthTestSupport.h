#pragma once
// Shared by the scene generator's tests: decoding generated records, grouping them into pulses, and a
// temporary directory that is removed again.
#include "LASPointData.h"
#include "PointGenerator.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace synth_test {

using las_detail::PointFields;

inline PointFields unpackRecord(int format, const unsigned char* p) {
    PointFields f;
    switch (format) {
    case 0:
        f.unpack<0>(p);
        break;
    case 1:
        f.unpack<1>(p);
        break;
    case 2:
        f.unpack<2>(p);
        break;
    default:
        f.unpack<3>(p);
        break;
    }
    return f;
}

// Every remaining record of the generator, asked for `chunk` records at a time.
inline std::vector<unsigned char> generateBytes(synth::PointGenerator& gen, uint64_t chunk) {
    std::vector<unsigned char> out;
    const size_t len = size_t(gen.recordLength());
    std::vector<unsigned char> buf(size_t(chunk) * len);
    for (;;) {
        const uint64_t n = gen.generate(buf.data(), chunk);
        if (n == 0)
            break;
        out.insert(out.end(), buf.begin(), buf.begin() + std::ptrdiff_t(n * len));
    }
    return out;
}

inline std::vector<PointFields> decode(const std::vector<unsigned char>& bytes, int format) {
    const size_t len = size_t(las_detail::formatSize(format));
    std::vector<PointFields> out(bytes.size() / len);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = unpackRecord(format, bytes.data() + i * len);
    return out;
}

inline std::vector<PointFields> generateAll(uint64_t points, int format, uint64_t seed) {
    synth::PointGenerator gen(points, format, seed);
    return decode(generateBytes(gen, 1 << 16), format);
}

// Index ranges [first, last) of the pulses, split wherever a record has return number 1.
struct Pulse {
    size_t first, last;
};
inline std::vector<Pulse> pulsesOf(const std::vector<PointFields>& pts) {
    std::vector<Pulse> out;
    for (size_t i = 0; i < pts.size(); ++i) {
        if (pts[i].returnNumber() == 1 || out.empty())
            out.push_back(Pulse{i, i + 1});
        else
            out.back().last = i + 1;
    }
    return out;
}

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pontaro-synth-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            throw std::runtime_error("cannot create a temporary directory");
        dir = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (dir / name).string(); }
    const std::filesystem::path& path() const { return dir; }
    // Names of everything in the directory, sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::filesystem::path dir;
};

} // namespace synth_test
