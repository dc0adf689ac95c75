#pragma once
// Stateless readers of raw point records: each call opens the file by path, reads, and closes it before
// returning or throwing CLasException.
#include <cstdint>

class CLASReader {
public:
    // `size` bytes at `offset` into `buffer`.
    static void ReadPoint(const char* path, unsigned char* buffer, uint64_t offset, uint64_t size);
    // `count` records of `recordSize` bytes, contiguous in the file from `offset` on; record i goes to
    // buffer + i * stride. ReadPoints reads in large blocks; ReadNumPoints reads record by record.
    static void ReadPoints(const char* path, unsigned char* buffer, uint64_t offset, uint32_t recordSize,
                           uint64_t count, uint64_t stride, uint32_t* progress = nullptr);
    static void ReadNumPoints(const char* path, unsigned char* buffer, uint64_t offset, uint32_t recordSize,
                              uint64_t count, uint64_t stride, uint32_t* progress = nullptr);
};
