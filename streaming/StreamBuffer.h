#pragma once
// A thread-safe queue of byte chunks that a decoder reads like a file while the network side pushes the
// reply in. Pushing never waits for the reader; the reader waits (without holding the lock) for bytes,
// for the end of the stream, or for abort().
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class StreamBuffer {
public:
    void pushBytes(const void* data, unsigned long n);
    // The producer has pushed the whole reply: reads no longer wait for more.
    void setEndOfStream();
    // Ends every wait at once, now and until reset(): reads return what is buffered, then nothing.
    void abort();

    // Copies `count` items of `size` bytes, waiting until that many bytes are buffered or the stream has
    // ended; at the end, as many whole items as are left. Returns the items copied (0 at the end).
    size_t read(void* dest, int size, unsigned long count);
    // Copies between 1 and `max` bytes, waiting until at least one is buffered; 0 at the end.
    size_t readSome(void* dest, size_t max);
    // Moves the read position to an absolute stream position: back by at most the look-back kept (or
    // std::out_of_range), or forward past buffered data. Returns 0.
    int seek(long position);
    // Frees chunks wholly more than the look-back (256 bytes) behind the read position.
    void clean();
    // Frees every chunk and starts a new stream at position 0.
    void reset();

    long position() const;
    uint64_t discarded() const;
    size_t bufferedChunks() const;

    static constexpr uint64_t LookBack = 256;

private:
    size_t copyOut(unsigned char* dest, size_t n); // with the lock held
    size_t available();                             // unread bytes, with the lock held

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::vector<unsigned char>> chunks_;
    uint64_t current_ = 0;   // index of the chunk being read
    int64_t offset_ = 0;     // read offset inside it
    uint64_t discarded_ = 0; // bytes of the chunks freed so far
    int64_t position_ = 0;   // absolute read position
    bool end_ = false;
    bool aborted_ = false;
};
