#pragma once
// Test support: a temporary directory removed with everything in it, and whole-file byte helpers.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir() {
        auto base = std::filesystem::temp_directory_path();
        std::random_device rd;
        for (int i = 0; i < 100; ++i) {
            auto p = base / ("pontaro-test-" + std::to_string(rd()) + std::to_string(i));
            if (std::filesystem::create_directory(p)) {
                dir_ = p;
                return;
            }
        }
        throw std::runtime_error("cannot create a temporary directory");
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir_; }
    std::string file(const std::string& name) const { return (dir_ / name).string(); }
    size_t entryCount() const {
        return size_t(std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()));
    }

private:
    std::filesystem::path dir_;
};

inline std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const std::string& path, const std::vector<unsigned char>& bytes, size_t count = SIZE_MAX) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(std::min(count, bytes.size())));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}
