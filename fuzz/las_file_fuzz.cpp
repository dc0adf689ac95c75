// libFuzzer target: any bytes as a LAS file. Loading must fail cleanly or yield points the file holds.
#include "CLASFile.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.setstate(std::ios::badbit); // the reader's messages are not the point here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= LASHeader::BlockSize) {
        LASHeader h;
        h.copyFromBuffer(data);
        std::string why;
        h.CheckPointData(size, &why);
    }
    int fd = memfd_create("las", 0);
    if (fd < 0)
        return 0;
    if (write(fd, data, size) == ssize_t(size)) {
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        CLASFile las;
        if (las.ReadFile(path.c_str()) && !las.points.empty()) {
            std::unique_ptr<LASPoint> p(las.GetPoint(las.points.size() - 1));
            try {
                CLASFile::FreePointArray(las.GetPoints(0, las.points.size()));
            } catch (const CLasException&) {
            }
        }
        las.CloseFile();
    }
    close(fd);
    return 0;
}
