#include "IndexPair.h"

#include "AtomicFile.h"
#include "ClassificationLog.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

constexpr char kMagic[8] = {'P', 'T', 'C', 'O', 'M', 'P', 'N', 'B'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderBytes = 44; // up to and including the pair count
constexpr int32_t kMaxCount = 100;  // the compatible-neighbour walk stops at 100 neighbours

template <typename T> void put(std::vector<unsigned char>& out, T v) {
    using U = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
    const U bits = std::bit_cast<U>(v);
    for (size_t i = 0; i < sizeof(U); ++i)
        out.push_back(static_cast<unsigned char>(bits >> (8 * i)));
}

template <typename T> T get(const unsigned char* p) {
    using U = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
    U bits = 0;
    for (size_t i = 0; i < sizeof(U); ++i)
        bits |= U(p[i]) << (8 * i);
    return std::bit_cast<T>(bits);
}

uint64_t checksum(const unsigned char* p, size_t n) {
    uint64_t h = 0xCBF29CE484222325ull; // FNV-1a
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

} // namespace

void sortIndexPairs(std::vector<IndexPair>& pairs) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const IndexPair& a, const IndexPair& b) { return a.count > b.count; });
}

std::string formatThreshold(double value) {
    if (!std::isfinite(value))
        throw std::invalid_argument("a threshold must be a finite number");
    char text[400];
    auto [end, ec] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 9);
    if (ec != std::errc())
        throw std::invalid_argument("threshold out of range");
    std::string s(text, end);
    if (s.find('.') != std::string::npos) {
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.')
            s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

std::string compatibleNeighboursCachePath(const std::string& directory, const std::string& dataset,
                                          double maxAngleDeg, double maxRelDistance) {
    return directory + "/" + dataset + "_compNeighbours" + formatThreshold(maxAngleDeg) + "-" +
           formatThreshold(maxRelDistance);
}

void saveIndexPairVector(const std::string& path, const std::vector<IndexPair>& pairs,
                         const CompatibilityCacheKey& key) {
    classificationLog("Saving index pairs... ");
    std::vector<unsigned char> bytes;
    bytes.reserve(kHeaderBytes + 8 * pairs.size() + 8);
    bytes.insert(bytes.end(), kMagic, kMagic + 8);
    put(bytes, kVersion);
    put(bytes, key.data.points);
    put(bytes, key.data.hash);
    put(bytes, key.maxAngleDeg);
    put(bytes, key.maxRelDistance);
    put(bytes, uint32_t(pairs.size()));
    for (const IndexPair& p : pairs) {
        put(bytes, p.index);
        put(bytes, p.count);
    }
    put(bytes, checksum(bytes.data(), bytes.size()));
    AtomicFile file(path);
    file.write(bytes.data(), bytes.size());
    file.commit();
    classificationLog("saved.\n");
}

bool loadIndexPairVector(const std::string& path, std::vector<IndexPair>& pairs,
                         const CompatibilityCacheKey& key, std::string* why) {
    pairs.clear();
    auto reject = [&](const std::string& reason) {
        if (why)
            *why = reason;
        pairs.clear();
        return false;
    };
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return reject("no cache file");
    // Never read more than the data set's list can need: a huge file is not trusted either.
    const uint64_t expected = kHeaderBytes + 8ull * key.data.points + 8;
    std::vector<unsigned char> bytes(expected + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    bytes.resize(size_t(in.gcount()));
    if (bytes.size() < kHeaderBytes || std::memcmp(bytes.data(), kMagic, 8) != 0)
        return reject("not a compatible-neighbour cache file");
    const unsigned char* p = bytes.data();
    if (get<uint32_t>(p + 8) != kVersion)
        return reject("cache file of another version");
    const DataIdentity data{get<uint32_t>(p + 12), get<uint64_t>(p + 16)};
    if (data.points != key.data.points)
        return reject("cache made from " + std::to_string(data.points) + " points, the data set has " +
                      std::to_string(key.data.points));
    if (data.hash != key.data.hash)
        return reject("cache made from other coordinates or normals");
    if (get<double>(p + 24) != key.maxAngleDeg || get<double>(p + 32) != key.maxRelDistance)
        return reject("cache made with other thresholds");
    if (get<uint32_t>(p + 40) != key.data.points || bytes.size() != expected)
        return reject("cache file truncated or too long");
    if (get<uint64_t>(p + expected - 8) != checksum(p, size_t(expected - 8)))
        return reject("cache file corrupt (checksum)");
    const uint32_t n = key.data.points;
    pairs.resize(n);
    std::vector<bool> seen(n, false);
    for (uint32_t i = 0; i < n; ++i) {
        const IndexPair pair{get<int32_t>(p + kHeaderBytes + 8 * size_t(i)),
                             get<int32_t>(p + kHeaderBytes + 8 * size_t(i) + 4)};
        if (pair.index < 0 || uint32_t(pair.index) >= n || seen[size_t(pair.index)] || pair.count < 0 ||
            pair.count > kMaxCount)
            return reject("cache file corrupt (entry " + std::to_string(i) + ")");
        if (i > 0 && (pair.count > pairs[i - 1].count ||
                      (pair.count == pairs[i - 1].count && pair.index < pairs[i - 1].index)))
            return reject("cache file corrupt (order at entry " + std::to_string(i) + ")");
        seen[size_t(pair.index)] = true;
        pairs[i] = pair;
    }
    return true;
}
