#include "SyntheticScene.h"

#include "FileHandle.h"
#include "PointGenerator.h"
#include "SyntheticHeader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace synth {

namespace {

constexpr size_t BlockBytes = 4 << 20;

std::string errnoText() {
    return std::strerror(errno);
}

// A file created beside the destination and removed again unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& destination)
        : target(destination), name(destination + ".XXXXXX") {
        const int fd = mkstemp(name.data());
        if (fd < 0)
            throw std::runtime_error("synthetic scene: cannot create a file beside " + target + ": " +
                                     errnoText());
        const mode_t mask = umask(0); // mkstemp makes a private file; the result gets the usual permissions
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        file.reset(fdopen(fd, "wb"));
        if (!file) {
            const std::string why = errnoText();
            ::close(fd);
            ::unlink(name.c_str());
            throw std::runtime_error("synthetic scene: cannot write " + name + ": " + why);
        }
    }
    ~TemporaryFile() {
        if (!committed) {
            file.reset();
            ::unlink(name.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    FILE* get() const { return file.get(); }
    void write(const void* data, size_t n) {
        if (n && std::fwrite(data, 1, n, file.get()) != n)
            throw std::runtime_error("synthetic scene: cannot write " + target + ": " + errnoText());
    }
    void commit() {
        if (std::fflush(file.get()) != 0 || fsync(fileno(file.get())) != 0)
            throw std::runtime_error("synthetic scene: cannot write " + target + ": " + errnoText());
        if (std::fclose(file.release()) != 0)
            throw std::runtime_error("synthetic scene: cannot write " + target + ": " + errnoText());
        if (std::rename(name.c_str(), target.c_str()) != 0)
            throw std::runtime_error("synthetic scene: cannot create " + target + ": " + errnoText());
        committed = true;
    }

private:
    std::string target, name;
    FilePtr file;
    bool committed = false;
};

} // namespace

} // namespace synth

void writeSyntheticLAS(const std::string& path, const SynthOptions& options,
                       const std::function<void(uint64_t done, uint64_t total)>& progress) {
    using synth::PointGenerator;
    if (path.empty())
        throw std::runtime_error("synthetic scene: no output file name given");
    PointGenerator gen(options.points, options.format, options.seed);
    const LASVarLenRecord geoKeys = synth::geoKeyDirectoryRecord();

    synth::TemporaryFile out(path);
    // The header is written last, once the bounds and counts are known; a zeroed block holds its place.
    const unsigned char blank[LASHeader::BlockSize] = {};
    out.write(blank, sizeof blank);
    if (!geoKeys.Write(out.get()))
        throw std::runtime_error("synthetic scene: cannot write " + path + ": " + synth::errnoText());

    const uint64_t recLen = uint64_t(gen.recordLength());
    const uint64_t perBlock = synth::BlockBytes / recLen;
    std::vector<unsigned char> buf(size_t(std::min(perBlock, gen.total()) * recLen));
    while (!gen.done()) {
        const uint64_t n = gen.generate(buf.data(), buf.size() / recLen);
        out.write(buf.data(), size_t(n * recLen));
        if (progress)
            progress(gen.written(), gen.total());
    }

    LASHeader header = synth::syntheticHeader(gen);
    if (!header.Write(out.get()))
        throw std::runtime_error("synthetic scene: cannot write the header of " + path + ": " +
                                 header.lastMessage);
    out.commit();
}
