#include "ByteSource.h"

bool ByteSource::refill() {
    // Keep the last History bytes in front of the new data.
    size_t keep = std::min(m_pos, History);
    std::memmove(m_buf.data(), m_buf.data() + m_pos - keep, keep);
    m_base += m_pos - keep;
    m_pos = keep;
    m_end = keep;
    size_t n = fill(m_buf.data() + keep, m_buf.size() - keep);
    m_end += n;
    return n > 0;
}

int ByteSource::nextSlow() {
    if (refill())
        return m_buf[m_pos++];
    ++m_pastEnd;
    return 0;
}

bool ByteSource::atEnd() { return m_pos >= m_end && !refill(); }

void ByteSource::seek(uint64_t offset) {
    if (offset < m_base)
        throw CLasException("ReadError::stream position out of reach");
    while (offset > m_base + m_end) {
        m_pos = m_end;
        if (!refill()) {
            m_pastEnd += offset - (m_base + m_end);
            m_pos = m_end;
            return;
        }
    }
    m_pos = size_t(offset - m_base);
}

void ByteSource::read(unsigned char* out, size_t n, const char* reason) {
    for (size_t i = 0; i < n;) {
        if (m_pos >= m_end && !refill())
            throw CLasException(reason);
        size_t k = std::min(n - i, m_end - m_pos);
        std::memcpy(out + i, m_buf.data() + m_pos, k);
        m_pos += k;
        i += k;
    }
}

FileByteSource::FileByteSource(FILE* f) : m_file(f), m_start(f ? uint64_t(std::max<off_t>(0, ftello(f))) : 0) {}

void FileByteSource::sync() {
    if (m_file)
        fseeko(m_file, off_t(m_start + position()), SEEK_SET);
}
