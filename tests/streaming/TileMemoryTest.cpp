// The tiles' storage: freed blocks handed out again, large blocks in huge-page regions of their own,
// middling ones in shared regions of small pages, small ones from the heap, a bound on the memory idle blocks
// keep, and vectors over it on many threads.
#include "TileMemory.h"
#include "SplatTile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t KiB = 1024, MiB = KiB * KiB;

#define SKIP_WITHOUT_POOL()                                                                                  \
    if (!TileMemory::pooling())                                                                              \
    GTEST_SKIP() << "this build takes tile memory from the heap (address sanitizer)"

// Each size is freed and asked for again: a freed block comes back and nothing new is mapped; below a
// huge page, where blocks are carved to size, it is the very block just freed.
TEST(TileMemory, FreedBlocksAreHandedOutAgain) {
    SKIP_WITHOUT_POOL();
    for (size_t bytes : {64 * KiB + 17, 300 * KiB, 2 * MiB - 1, 2 * MiB, 5 * MiB + 333}) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes");
        auto* a = static_cast<unsigned char*>(TileMemory::allocate(bytes));
        std::memset(a, 0x5a, bytes);
        TileMemory::deallocate(a, bytes);
        const TileMemory::Statistics before = TileMemory::statistics();
        auto* b = static_cast<unsigned char*>(TileMemory::allocate(bytes));
        const TileMemory::Statistics after = TileMemory::statistics();
        EXPECT_EQ(after.reused, before.reused + 1);
        EXPECT_EQ(after.mappedBytes, before.mappedBytes);
        if (bytes < TileMemory::kHugePage) {
            EXPECT_EQ(b, a);
            EXPECT_EQ(b[bytes - 1], 0x5a); // still faulted in
        }
        TileMemory::deallocate(b, bytes);
    }
    // A freed block more than a quarter too large is not wasted on a small request.
    void* big = TileMemory::allocate(16 * MiB);
    TileMemory::deallocate(big, 16 * MiB);
    void* small = TileMemory::allocate(3 * MiB);
    EXPECT_NE(small, big);
    TileMemory::deallocate(small, 3 * MiB);
    // Small blocks are the heap's.
    const uint64_t pooled = TileMemory::statistics().allocations;
    void* tiny = TileMemory::allocate(1000);
    TileMemory::deallocate(tiny, 1000);
    EXPECT_EQ(TileMemory::statistics().allocations, pooled);
}

// The flags of the mapping that holds `at`, from /proc/self/smaps; empty when not found.
std::string mappingField(const void* at, const std::string& field) {
    std::ifstream smaps("/proc/self/smaps");
    const auto address = reinterpret_cast<uintptr_t>(at);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        uintptr_t lo = 0, hi = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2 && line.find(':') > line.find(' ')) {
            inside = address >= lo && address < hi;
            continue;
        }
        if (inside && line.rfind(field + ":", 0) == 0)
            return line.substr(field.size() + 1);
    }
    return {};
}

TEST(TileMemory, OnlyLargeBlocksAskForHugePages) {
    SKIP_WITHOUT_POOL();
    std::ifstream enabled("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(enabled, modes);
    if (modes.empty() || modes.find("[never]") != std::string::npos)
        GTEST_SKIP() << "transparent huge pages are off on this system";
    // Under "madvise" only the regions that ask get huge pages: the large blocks, not the shared ones.
    const bool askedOnly = modes.find("[madvise]") != std::string::npos;
    for (size_t bytes : {6 * MiB + 5, 100 * KiB}) {
        SCOPED_TRACE(std::to_string(bytes) + " bytes");
        void* p = TileMemory::allocate(bytes);
        const bool large = bytes >= TileMemory::kHugePage;
        if (large) {
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % TileMemory::kHugePage, 0u);
        }
        const std::string eligible = mappingField(p, "THPeligible");
        if (eligible.empty())
            GTEST_SKIP() << "this kernel does not report huge-page eligibility";
        if (large || askedOnly) {
            EXPECT_EQ(std::stoi(eligible), large ? 1 : 0);
        }
        TileMemory::deallocate(p, bytes);
    }
}

// Freed blocks keep at most the limit backed by memory; trimming gives all of it back, and the addresses
// are still handed out again.
TEST(TileMemory, IdleBlocksHoldBoundedMemory) {
    SKIP_WITHOUT_POOL();
    std::vector<std::pair<void*, size_t>> blocks;
    for (int i = 0; i < 48; ++i) {
        const size_t bytes = (i % 2 ? 4 * MiB : 700 * KiB) + size_t(i) * 4096; // untouched: costs nothing
        blocks.emplace_back(TileMemory::allocate(bytes), bytes);
    }
    for (auto [p, bytes] : blocks)
        TileMemory::deallocate(p, bytes);
    TileMemory::Statistics s = TileMemory::statistics();
    EXPECT_LE(s.residentFree, TileMemory::kResidentFreeLimit);
    EXPECT_GE(s.freeBytes, s.residentFree);
    TileMemory::trim();
    s = TileMemory::statistics();
    EXPECT_EQ(s.residentFree, 0u);
    const uint64_t reused = s.reused;
    void* again = TileMemory::allocate(700 * KiB);
    EXPECT_EQ(TileMemory::statistics().reused, reused + 1);
    std::memset(again, 1, 700 * KiB); // given back, so faulted in afresh
    TileMemory::deallocate(again, 700 * KiB);
}

// Tiles filled, grown, copied and dropped on several threads at once keep every value.
TEST(TileMemory, TilesOnManyThreadsKeepTheirContents) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int w = 0; w < 4; ++w)
        threads.emplace_back([w, &wrong] {
            for (int round = 0; round < 3; ++round) {
                SplatTile t;
                for (int level = 0, n = 400; level < 4; ++level, n *= 4) {
                    t.addLOD();
                    for (int i = 0; i < n; ++i) {
                        t.addSplat(Splat{w, round, i, 0, 0, 1});
                        t.addAttributes(PointAttributes{uint8_t(i), uint8_t(w), uint8_t(round), 0});
                    }
                }
                const SplatTile copy(t);
                for (size_t i = 0; i < copy.splats.size(); ++i) {
                    const Splat& s = copy.splats[i];
                    const PointAttributes& a = copy.attributes[i];
                    wrong[size_t(w)] += s.x != w || s.y != round || uint8_t(s.z) != a.intensityLow ||
                                        a.intensityHigh != w || a.returns != round;
                }
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

} // namespace
