#include "LevelsAhead.h"

#include "AC.h"
#include "PointCodec.h"

#include <cstring>

namespace {

// A frequency table of level codes: high counts non-decreasing up to symbol 9, which holds 10000, and
// 10000 from there on (symbols 10 to 255 have no frequency).
bool levelCodeTable(const unsigned char* t) {
    auto high = [&](int s) { return uint32_t(t[2 * s]) | uint32_t(t[2 * s + 1]) << 8; };
    // Code 1 would be minus zero: a table that gives it a frequency is a byte plane's.
    if (high(1) != high(0))
        return false;
    uint32_t prev = 0;
    for (int s = 0; s < 10; ++s) {
        if (high(s) < prev)
            return false;
        prev = high(s);
    }
    if (prev != AC::SCALE)
        return false;
    for (int s = 10; s < 256; ++s)
        if (t[2 * s] != (AC::SCALE & 0xFF) || t[2 * s + 1] != (AC::SCALE >> 8))
            return false;
    return true;
}

constexpr unsigned char kTerminator[3] = {0xFF, 0xFF, 0x00};

} // namespace

std::vector<uint64_t> LevelsAhead::candidates(const unsigned char* data, size_t size, uint64_t from,
                                              size_t max) {
    std::vector<uint64_t> found;
    // A level coding at p: the terminator in p - 3 .. p - 1, its first value in p .. p + 3, its table after.
    uint64_t at = from < 3 ? 0 : from - 3;
    while (found.size() < max && at + 3 + 4 + AC::TableBytes <= size) {
        const void* hit = memmem(data + at, size - at, kTerminator, 3);
        if (!hit)
            break;
        const uint64_t p = uint64_t(static_cast<const unsigned char*>(hit) - data) + 3;
        if (p + 4 + AC::TableBytes > size)
            break;
        if (p > from && levelCodeTable(data + p + 4))
            found.push_back(p);
        at = p - 2;
    }
    return found;
}

LevelsAhead::LevelsAhead(const unsigned char* data, size_t size, int helpers)
    : m_data(data), m_size(size), m_maxJobs(size_t(2 * std::max(helpers, 1) + 2)) {
    for (int i = 0; i < helpers; ++i)
        m_helpers.emplace_back([this] { help(); });
}

LevelsAhead::~LevelsAhead() {
    {
        std::lock_guard hold(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    for (auto& t : m_helpers)
        t.join();
}

void LevelsAhead::moveTo(uint64_t position, size_t count) {
    {
        std::lock_guard hold(m_lock);
        m_chain = std::max(m_chain, position);
        // Results behind the decoder are candidates that started nothing, and results of another count
        // are of no use (the last chunk's count differs); running ones are dropped when they finish.
        for (auto it = m_jobs.begin(); it != m_jobs.end();)
            it = !it->second.running && (it->first < m_chain || it->second.count != count) ? m_jobs.erase(it)
                                                                                           : std::next(it);
        m_count = count;
        m_exhausted = false;
    }
    m_changed.notify_all();
}

bool LevelsAhead::take(uint64_t position, std::vector<int32_t>& values, uint64_t& end) {
    std::unique_lock hold(m_lock);
    m_chain = std::max(m_chain, position + 1); // no helper starts here from now on
    m_exhausted = false;
    auto it = m_jobs.find(position);
    if (it == m_jobs.end() || it->second.count != values.size())
        return false;
    m_changed.wait(hold, [&] { return !it->second.running; });
    const bool ok = it->second.ok;
    if (ok) {
        // The decoder's array goes to the helpers for another coding: its pages are already in memory.
        values.swap(it->second.values);
        m_spare.push_back(std::move(it->second.values));
        end = it->second.end;
        ++m_taken;
    }
    m_jobs.erase(it);
    hold.unlock();
    m_changed.notify_all();
    return ok;
}

size_t LevelsAhead::taken() const {
    std::lock_guard hold(m_lock);
    return m_taken;
}

size_t LevelsAhead::ready() const {
    std::lock_guard hold(m_lock);
    size_t n = 0;
    for (const auto& [at, job] : m_jobs)
        n += !job.running && job.ok;
    return n;
}

// The first candidate ahead of the decoder that nobody has is left to the decoder itself, so that it has
// work of its own while the helpers decode the ones after it.
bool LevelsAhead::nextCandidate(uint64_t& at) {
    bool leftToDecoder = false;
    for (uint64_t from = m_chain;;) {
        const auto found = candidates(m_data, m_size, from == 0 ? 0 : from - 1, 1);
        if (found.empty())
            return false;
        from = found[0] + 1;
        if (m_jobs.count(found[0]))
            continue;
        if (!leftToDecoder) {
            leftToDecoder = true;
            continue;
        }
        at = found[0];
        return true;
    }
}

void LevelsAhead::help() {
    AC ac;
    std::unique_lock hold(m_lock);
    for (;;) {
        m_changed.wait(hold, [&] {
            if (m_stop)
                return true;
            size_t ahead = 0;
            for (const auto& [at, job] : m_jobs)
                ahead += at >= m_chain;
            return !m_exhausted && m_count > 0 && ahead < m_maxJobs;
        });
        if (m_stop)
            return;
        uint64_t at = 0;
        if (!nextCandidate(at)) {
            m_exhausted = true; // until the decoder moves
            continue;
        }
        Job& job = m_jobs[at];
        job.count = m_count;
        std::vector<int32_t> values;
        if (!m_spare.empty()) {
            values = std::move(m_spare.back());
            m_spare.pop_back();
        }
        uint64_t end = 0;
        bool ok = false;
        hold.unlock();
        try {
            values.resize(job.count);
            MemoryByteSource src(m_data + at, m_size - at);
            pointcodec::levelDecode(ac, src, values.data(), values.size());
            end = at + src.position();
            ok = true;
        } catch (...) {
            // Not a level coding of this many values, or a damaged one: the decoder will see for itself.
        }
        hold.lock();
        job.values = std::move(values);
        job.end = end;
        job.ok = ok;
        job.running = false;
        if (at + 1 < m_chain)
            m_jobs.erase(at); // the decoder went past it meanwhile
        m_changed.notify_all();
    }
}
