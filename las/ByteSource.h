#pragma once
// Sequential reader of a byte stream for the block decoders. It keeps a window of the stream in memory
// and a few bytes of history, so a decoder that read slightly ahead can step back to the exact end of a
// block. Safe for untrusted input: reads past the end give zero bytes, counted, never memory past a
// buffer.
#include "CLasException.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

class ByteSource {
public:
    virtual ~ByteSource() = default;

    // The next byte; past the end of the stream 0, and pastEnd() counts how many such reads happened.
    int next() {
        if (m_pos < m_end)
            return m_buf[m_pos++];
        return nextSlow();
    }
    // Stream offset of the byte next() would return.
    uint64_t position() const { return m_base + m_pos; }
    // Moves to an offset at most `History` bytes behind position(), or anywhere ahead (past the end of
    // the stream counts as reads past the end).
    void seek(uint64_t offset);
    // Reads n bytes into out; throws CLasException(reason) when the stream ends first.
    void read(unsigned char* out, size_t n, const char* reason);
    uint32_t readU32(const char* reason) {
        unsigned char b[4];
        read(b, 4, reason);
        return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    }
    uint64_t pastEnd() const { return m_pastEnd; }
    void clearPastEnd() { m_pastEnd = 0; }
    // True when no byte is left (the window is used up and the stream has nothing more).
    bool atEnd();

    static constexpr size_t History = 64;

protected:
    // Appends up to `max` bytes of the stream to `out`; returns how many (0 at the end).
    virtual size_t fill(unsigned char* out, size_t max) = 0;

private:
    int nextSlow();
    bool refill(); // keeps History bytes of what was read; false at the end of the stream

    std::vector<unsigned char> m_buf = std::vector<unsigned char>(1 << 16);
    size_t m_pos = 0, m_end = 0;
    uint64_t m_base = 0; // stream offset of m_buf[0]
    uint64_t m_pastEnd = 0;
};

// A ByteSource over memory the caller keeps alive.
class MemoryByteSource : public ByteSource {
public:
    MemoryByteSource(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}

protected:
    size_t fill(unsigned char* out, size_t max) override {
        size_t n = std::min(max, m_size - m_at);
        if (n)
            std::memcpy(out, m_data + m_at, n);
        m_at += n;
        return n;
    }

private:
    const unsigned char* m_data;
    size_t m_size, m_at = 0;
};

// A ByteSource over an open file from its current position on. The file is read ahead; sync() puts
// the file's own position back where the decoder stands.
class FileByteSource : public ByteSource {
public:
    explicit FileByteSource(FILE* f);
    void sync();

protected:
    size_t fill(unsigned char* out, size_t max) override { return std::fread(out, 1, max, m_file); }

private:
    FILE* m_file;
    uint64_t m_start;
};
