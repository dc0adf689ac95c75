// libFuzzer target: any bytes as coded point blocks and as a compressed LAS file. Decoding must end in
// success or CLasException, never a crash, a hang or a read outside a buffer.
#include "CLASCompressor.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::cout.setstate(std::ios::badbit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // The first byte picks the format and the block size; the rest is the coded block.
    const int format = data[0] & 3;
    const size_t points = 1 + (data[1] % 64) * 37;
    try {
        MemoryByteSource src(data + 2, size - 2);
        pointcodec::Columns cols;
        cols.resize(points, format, data[0] >> 6, false);
        CLASCompressor c;
        c.decompressBlock(src, cols);
    } catch (const CLasException&) {
    }
    // The same bytes as a whole compressed file.
    int in = memfd_create("lasc", 0), out = memfd_create("las", 0);
    if (in >= 0 && out >= 0 && write(in, data, size) == ssize_t(size)) {
        lseek(in, 0, SEEK_SET);
        FILE* f = fdopen(in, "rb");
        CLASFile_C las;
        std::string path = "/proc/self/fd/" + std::to_string(out);
        las.SetPath(path.c_str());
        try {
            CLASCompressor c;
            c.DecompressLASFile(f, &las);
        } catch (const CLasException&) {
        }
        std::fclose(f);
        in = -1;
    }
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return 0;
}
