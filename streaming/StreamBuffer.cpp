#include "StreamBuffer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

void StreamBuffer::pushBytes(const void* data, unsigned long n) {
    if (n == 0)
        return;
    std::vector<unsigned char> chunk(static_cast<const unsigned char*>(data),
                                     static_cast<const unsigned char*>(data) + n);
    {
        std::lock_guard guard(lock_);
        chunks_.push_back(std::move(chunk));
    }
    changed_.notify_all();
}

void StreamBuffer::setEndOfStream() {
    {
        std::lock_guard guard(lock_);
        end_ = true;
    }
    changed_.notify_all();
}

void StreamBuffer::abort() {
    {
        std::lock_guard guard(lock_);
        aborted_ = true;
    }
    changed_.notify_all();
}

size_t StreamBuffer::available() {
    // A seek past the buffered data leaves an offset beyond the current chunk: move on to where it lies.
    while (current_ < chunks_.size() && size_t(offset_) >= chunks_[current_].size()) {
        offset_ -= int64_t(chunks_[current_].size());
        ++current_;
    }
    size_t n = 0;
    for (size_t c = current_; c < chunks_.size(); ++c)
        n += chunks_[c].size() - (c == current_ ? size_t(offset_) : 0);
    return n;
}

size_t StreamBuffer::copyOut(unsigned char* dest, size_t n) {
    available(); // normalises the read position
    size_t done = 0;
    while (done < n && current_ < chunks_.size()) {
        const auto& chunk = chunks_[current_];
        const size_t take = std::min(n - done, chunk.size() - size_t(offset_));
        std::memcpy(dest + done, chunk.data() + offset_, take);
        done += take;
        offset_ += int64_t(take);
        if (size_t(offset_) == chunk.size()) {
            ++current_;
            offset_ = 0;
        }
    }
    position_ += int64_t(done);
    return done;
}

size_t StreamBuffer::read(void* dest, int size, unsigned long count) {
    if (size <= 0 || count == 0)
        return 0;
    const size_t wanted = size_t(size) * count;
    size_t n = 0;
    {
        std::unique_lock guard(lock_);
        // Unlike waiting for the whole reply, reading as soon as enough has arrived lets decoding run
        // alongside the transfer.
        changed_.wait(guard, [&] { return end_ || aborted_ || available() >= wanted; });
        n = std::min(wanted, available());
        n -= n % size_t(size);
        copyOut(static_cast<unsigned char*>(dest), n);
    }
    clean();
    return n / size_t(size);
}

size_t StreamBuffer::readSome(void* dest, size_t max) {
    if (max == 0)
        return 0;
    size_t n = 0;
    {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return end_ || aborted_ || available() > 0; });
        n = copyOut(static_cast<unsigned char*>(dest), std::min(max, available()));
    }
    clean();
    return n;
}

int StreamBuffer::seek(long target) {
    std::lock_guard guard(lock_);
    int64_t distance = int64_t(target) - position_;
    const size_t chunkBefore = current_;
    const int64_t offsetBefore = offset_;
    while (distance < 0) { // backwards
        if (offset_ + distance >= 0) {
            offset_ += distance;
            distance = 0;
            break;
        }
        if (current_ == 0) { // a refused seek leaves the position where it was
            current_ = chunkBefore;
            offset_ = offsetBefore;
            throw std::out_of_range("StreamBuffer::seek: before the data kept");
        }
        distance += offset_;
        --current_;
        offset_ = int64_t(chunks_[current_].size());
    }
    while (distance > 0 && current_ < chunks_.size()) { // forwards through buffered data
        const int64_t left = int64_t(chunks_[current_].size()) - offset_;
        if (distance < left || current_ + 1 == chunks_.size()) {
            offset_ += distance;
            distance = 0;
            if (size_t(offset_) >= chunks_[current_].size() && current_ + 1 < chunks_.size()) {
                offset_ = 0;
                ++current_;
            }
            break;
        }
        distance -= left;
        ++current_;
        offset_ = 0;
    }
    if (distance > 0) // beyond everything buffered: where the next chunk will start, plus the rest
        offset_ += distance;
    position_ = target;
    return 0;
}

void StreamBuffer::clean() {
    std::lock_guard guard(lock_);
    if (current_ == 0)
        return;
    // Keep the current chunk and enough before it for LookBack bytes behind the position.
    uint64_t behind = uint64_t(std::min<int64_t>(offset_, int64_t(current_ < chunks_.size() ? chunks_[current_].size() : 0)));
    size_t keepFrom = size_t(current_);
    while (behind < LookBack && keepFrom > 0) {
        --keepFrom;
        behind += chunks_[keepFrom].size();
    }
    if (behind < LookBack)
        return;
    for (size_t i = 0; i < keepFrom; ++i) {
        discarded_ += chunks_.front().size();
        chunks_.pop_front();
    }
    current_ -= keepFrom;
}

void StreamBuffer::reset() {
    std::lock_guard guard(lock_);
    for (const auto& c : chunks_)
        discarded_ += c.size();
    chunks_.clear();
    current_ = 0;
    offset_ = 0;
    position_ = 0;
    end_ = false;
    aborted_ = false;
}

long StreamBuffer::position() const {
    std::lock_guard guard(lock_);
    return long(position_);
}

uint64_t StreamBuffer::discarded() const {
    std::lock_guard guard(lock_);
    return discarded_;
}

size_t StreamBuffer::bufferedChunks() const {
    std::lock_guard guard(lock_);
    return chunks_.size();
}
