#pragma once
// A file written under a temporary name beside its destination and renamed over it by commit(), so that
// a reader never sees half of it and a failure leaves the old file as it was. Without commit() the
// temporary file is removed. Throws std::runtime_error naming the file on any failure.
#include <cstddef>
#include <cstdio>
#include <string>

class AtomicFile {
public:
    explicit AtomicFile(const std::string& path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(const void* data, std::size_t bytes);
    void commit();
    const std::string& path() const { return path_; }

private:
    [[noreturn]] void fail(const std::string& what, int error);
    std::string path_, temporary_;
    std::FILE* file_ = nullptr;
};
