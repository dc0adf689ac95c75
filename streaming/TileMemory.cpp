#include "TileMemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#define PONTARO_TILE_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PONTARO_TILE_HEAP 1
#endif
#endif

namespace TileMemory {
namespace {

// Shared regions for the blocks below a huge page, carved in steps of kGranule.
constexpr std::size_t kRegion = std::size_t(32) << 20;
constexpr std::size_t kGranule = kPooledMinimum;

std::size_t roundUp(std::size_t n, std::size_t to) {
    return (n + to - 1) / to * to;
}

// `size` bytes (a multiple of kHugePage) at a huge-page boundary, asking for huge pages when `huge`.
// Over-maps by one huge page and trims, since mmap aligns to small pages only.
void* mapRegion(std::size_t size, bool huge) {
    const std::size_t span = size + kHugePage;
    void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start)
        munmap(raw, aligned - start);
    const std::uintptr_t end = start + span, used = aligned + size;
    if (end > used)
        munmap(reinterpret_cast<void*>(used), end - used);
    void* p = reinterpret_cast<void*>(aligned);
    if (huge)
        madvise(p, size, MADV_HUGEPAGE); // a kernel without transparent huge pages refuses: small pages then
    return p;
}

struct Block {
    std::size_t size;
    bool own; // a region of its own (unmapped when dropped), else carved from a shared region
};

struct FreeBlock {
    void* at;
    bool own;
    bool resident;
};

struct Pool {
    std::mutex lock;
    std::unordered_map<void*, Block> live;
    std::multimap<std::size_t, FreeBlock> free; // by size
    char* region = nullptr;                     // shared region being carved
    std::size_t regionUsed = kRegion;
    Statistics stats;

    void keep(void* at, const Block& b, bool resident) {
        // First among blocks of its size: the most recently freed is the one most likely still cached.
        free.emplace_hint(free.lower_bound(b.size), b.size, FreeBlock{at, b.own, resident});
        stats.freeBytes += b.size;
        if (resident)
            stats.residentFree += b.size;
    }

    void* carve(std::size_t need) {
        if (regionUsed + need > kRegion) {
            if (region != nullptr && kRegion - regionUsed >= kGranule)
                keep(region + regionUsed, Block{kRegion - regionUsed, false}, false); // never touched
            // Small pages: the room a block keeps ahead costs nothing until written, whoever its
            // neighbours are.
            region = static_cast<char*>(mapRegion(kRegion, false));
            stats.mappedBytes += kRegion;
            regionUsed = 0;
        }
        void* p = region + regionUsed;
        regionUsed += need;
        return p;
    }

    void* take(std::size_t bytes) {
        const std::size_t need = roundUp(bytes, kGranule);
        std::lock_guard hold(lock);
        ++stats.allocations;
        // The smallest freed block that fits without wasting more than a quarter.
        auto it = free.lower_bound(need);
        if (it != free.end() && it->first <= need + need / 4) {
            const FreeBlock f = it->second;
            const Block b{it->first, f.own};
            free.erase(it);
            stats.freeBytes -= b.size;
            if (f.resident)
                stats.residentFree -= b.size;
            ++stats.reused;
            live.emplace(f.at, b);
            return f.at;
        }
        Block b{need, false};
        void* p;
        if (need >= kHugePage) {
            b = Block{roundUp(bytes, kHugePage), true};
            p = mapRegion(b.size, true);
            stats.mappedBytes += b.size;
        } else {
            p = carve(need);
        }
        live.emplace(p, b);
        return p;
    }

    void give(void* p) {
        std::lock_guard hold(lock);
        const auto it = live.find(p);
        if (it == live.end())
            return; // not ours: nothing sensible to do in a noexcept path
        const Block b = it->second;
        live.erase(it);
        if (stats.residentFree + b.size <= kResidentFreeLimit) {
            keep(p, b, true);
        } else if (b.own) {
            munmap(p, b.size);
            stats.mappedBytes -= b.size;
        } else {
            madvise(p, b.size, MADV_DONTNEED);
            keep(p, b, false);
        }
    }

    void trim() {
        std::lock_guard hold(lock);
        for (auto it = free.begin(); it != free.end();) {
            FreeBlock& f = it->second;
            if (f.resident)
                stats.residentFree -= it->first;
            if (f.own) {
                munmap(f.at, it->first);
                stats.mappedBytes -= it->first;
                stats.freeBytes -= it->first;
                it = free.erase(it);
                continue;
            }
            if (f.resident)
                madvise(f.at, it->first, MADV_DONTNEED);
            f.resident = false;
            ++it;
        }
    }
};

// Never destroyed: vectors in static storage may give their blocks back after it would have been.
Pool& pool() {
    static Pool* p = new Pool;
    return *p;
}

} // namespace

bool pooling() {
#ifdef PONTARO_TILE_HEAP
    return false;
#else
    return true;
#endif
}

void* allocate(std::size_t bytes) {
    if (!pooling() || bytes < kPooledMinimum)
        return ::operator new(bytes);
    return pool().take(bytes);
}

void deallocate(void* block, std::size_t bytes) noexcept {
    if (block == nullptr)
        return;
    if (!pooling() || bytes < kPooledMinimum) {
        ::operator delete(block);
        return;
    }
    pool().give(block);
}

Statistics statistics() {
    Pool& p = pool();
    std::lock_guard hold(p.lock);
    return p.stats;
}

void trim() {
    pool().trim();
}

} // namespace TileMemory
