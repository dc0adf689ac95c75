#include "AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

AtomicFile::AtomicFile(const std::string& path) : path_(path), temporary_(path + ".tmp.XXXXXX") {
    const int fd = mkstemp(temporary_.data());
    if (fd < 0)
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
    // mkstemp makes the file private; the result gets the permissions of any other new file.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    file_ = fdopen(fd, "wb");
    if (!file_) {
        const int e = errno;
        ::close(fd);
        ::unlink(temporary_.c_str());
        throw std::runtime_error("cannot create " + path + ": " + std::strerror(e));
    }
}

AtomicFile::~AtomicFile() {
    if (file_) {
        std::fclose(file_);
        ::unlink(temporary_.c_str());
    }
}

void AtomicFile::fail(const std::string& what, int error) {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    ::unlink(temporary_.c_str());
    throw std::runtime_error(what + " " + path_ + ": " + std::strerror(error ? error : EIO));
}

void AtomicFile::write(const void* data, std::size_t bytes) {
    if (!file_)
        throw std::logic_error("AtomicFile: write after commit");
    if (bytes && std::fwrite(data, 1, bytes, file_) != bytes)
        fail("cannot write", errno);
}

void AtomicFile::commit() {
    if (!file_)
        throw std::logic_error("AtomicFile: commit twice");
    if (std::fflush(file_) != 0 || fsync(fileno(file_)) != 0)
        fail("cannot write", errno);
    const int closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) {
        const int e = errno;
        ::unlink(temporary_.c_str());
        throw std::runtime_error("cannot write " + path_ + ": " + std::strerror(e));
    }
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int e = errno;
        ::unlink(temporary_.c_str());
        throw std::runtime_error("cannot rename " + temporary_ + " to " + path_ + ": " + std::strerror(e));
    }
}
