#pragma once
#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(FILE* f) const {
        if (f)
            std::fclose(f);
    }
};
// An open C file that is closed exactly once, on every path out of its scope.
using FilePtr = std::unique_ptr<FILE, FileCloser>;

inline FilePtr openFile(const char* path, const char* mode) { return FilePtr(path ? std::fopen(path, mode) : nullptr); }
