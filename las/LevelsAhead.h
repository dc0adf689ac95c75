#pragma once
// Level codings decoded ahead of the decoder's place in a compressed point stream, on threads of their own.
//
// Blocks store no lengths: where a block starts is known only once the block before it is decoded, which
// makes decoding one chain through the stream. A level coding's start is recognisable, though: the
// terminator FF FF 00 of the block before it, four raw bytes (its first value), then a frequency table in
// which the symbols above 9 have no frequency (level codes run from 0 to 9). A table cannot hold FF FF 00
// (its values rise to 10000, bytes 10 27), so the pattern marks a level coding's start in all but contrived
// streams. Helpers decode the level codings at such candidates ahead of the decoder; when the decoder
// reaches a level coding, it takes the result for exactly that position (waiting if a helper is on it) and
// decodes the coding itself otherwise. A candidate that starts nothing only costs the work thrown away: the
// decoder uses results for the positions it reaches and no others, and decoding from a position gives the
// same values on any thread, so the output is always that of one chain.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

class LevelsAhead {
public:
    // `data` holds the stream from position 0 on, `size` bytes, and must outlive this object.
    LevelsAhead(const unsigned char* data, size_t size, int helpers);
    ~LevelsAhead();
    LevelsAhead(const LevelsAhead&) = delete;
    LevelsAhead& operator=(const LevelsAhead&) = delete;

    // The decoder is at `position` and its level codings hold `count` values from here on.
    void moveTo(uint64_t position, size_t count);
    // The level coding of values.size() values at `position`, when a helper has it or is decoding it
    // (then this waits): its values replace those of `values` (whose storage the helpers reuse), the
    // position after it goes to `end`, and the result is true. Otherwise false: no helper has it (or its
    // decoding failed), and none will start on it.
    bool take(uint64_t position, std::vector<int32_t>& values, uint64_t& end);

    // Positions after `from` that look like the start of a level coding, in order (at most `max`).
    static std::vector<uint64_t> candidates(const unsigned char* data, size_t size, uint64_t from,
                                            size_t max);

    // Results the decoder took, and results decoded and not taken yet.
    size_t taken() const;
    size_t ready() const;

private:
    struct Job {
        size_t count = 0;
        bool running = true, ok = false;
        uint64_t end = 0;
        std::vector<int32_t> values;
    };
    void help();
    bool nextCandidate(uint64_t& at); // under m_lock

    const unsigned char* m_data;
    size_t m_size;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::map<uint64_t, Job> m_jobs;
    std::vector<std::vector<int32_t>> m_spare; // arrays handed back by the decoder
    uint64_t m_chain = 0;                      // helpers start nothing before this position
    bool m_exhausted = false;                  // no candidate left for the helpers until the decoder moves
    size_t m_count = 0;
    size_t m_taken = 0;
    size_t m_maxJobs; // jobs held at most
    bool m_stop = false;
    std::vector<std::thread> m_helpers;
};
