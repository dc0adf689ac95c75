// Local level-of-detail tree. Neighbour search: the indexed k-nearest search of one full leaf against the
// defined brute force on the same leaf, same lists asserted.
#include "LODTree.h"
#include "NearestNeighbours.h"
#include "PointGenerator.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

double seconds(auto&& fn) {
    const auto t0 = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// X, Y, Z of a synthetic survey of `n` points, dimension-major as the searches take them.
std::vector<int32_t> surveyLeaf(int n) {
    synth::PointGenerator gen(uint64_t(n), 0, 11);
    const int length = gen.recordLength();
    std::vector<unsigned char> records(std::size_t(n) * std::size_t(length));
    uint64_t done = 0;
    while (!gen.done())
        done += gen.generate(records.data() + done * std::size_t(length), gen.total() - done);
    std::vector<int32_t> xyz(3 * std::size_t(n));
    for (int i = 0; i < n; ++i) {
        int32_t p[3];
        std::memcpy(p, records.data() + std::size_t(i) * std::size_t(length), 12);
        for (int d = 0; d < 3; ++d)
            xyz[std::size_t(d) * std::size_t(n) + std::size_t(i)] = p[d];
    }
    return xyz;
}

// ---- neighbour search
void neighbourSearch() {
    const int n = MAX_LEAF_POINTS, k = KNN_LIST;
    // The brute force costs n^2 distances (1.6e9 for the leaf): it runs on the queries of every
    // `stride`-th point against all references, and its time is scaled to the whole leaf.
    const int stride = 4, subset = n / stride;
    const std::vector<int32_t> ref = surveyLeaf(n);
    for (int dims : {3, 2}) {
        std::vector<KnnDistance> d(std::size_t(n) * k);
        std::vector<uint32_t> idx(d.size());
        double indexed = 1e9;
        for (int round = 0; round < 3; ++round)
            indexed = std::min(indexed, seconds([&] {
                                   knnIntIndexed(ref.data(), n, ref.data(), n, dims, k, d.data(), idx.data());
                               }));

        std::vector<int32_t> query(std::size_t(dims) * subset);
        for (int d2 = 0; d2 < dims; ++d2)
            for (int q = 0; q < subset; ++q)
                query[std::size_t(d2) * subset + std::size_t(q)] =
                    ref[std::size_t(d2) * n + std::size_t(q) * stride];
        std::vector<KnnDistance> bd(std::size_t(subset) * k);
        std::vector<uint32_t> bi(bd.size());
        const double brute = seconds(
            [&] { knnIntNoCuda(ref.data(), n, query.data(), subset, dims, k, bd.data(), bi.data()); });
        for (int q = 0; q < subset; ++q)
            for (int j = 0; j < k; ++j) {
                const std::size_t a = std::size_t(j) * n + std::size_t(q) * stride,
                                  b = std::size_t(j) * subset + q;
                if (d[a] != bd[b] || idx[a] != bi[b])
                    throw std::runtime_error("indexed and brute-force lists differ");
            }
        const double bruteLeaf = brute * stride;
        std::printf(
            "neighbour search, one full leaf (%d points of a synthetic survey, k = %d, %dD): indexed %.3f s "
            "(%.0f points/s); brute force %.2f s for %d of its points against all %d (same lists), "
            "%.1f s scaled to the leaf; indexed %.0fx faster\n",
            n, k, dims, indexed, n / indexed, brute, subset, n, bruteLeaf, bruteLeaf / indexed);
    }
}

} // namespace

int main() {
    try {
        neighbourSearch();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pontaro_bench_lodtree: %s\n", e.what());
        return 1;
    }
    return 0;
}
