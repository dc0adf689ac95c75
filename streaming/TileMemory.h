#pragma once
// Storage of the tiles' arrays. A tile's splats, colours and attributes are written once, point by point,
// as they arrive, so every byte of fresh storage costs a page fault, and where faults are dear (virtual
// machines whose host takes back free memory) that dominated filing. Blocks of 64 KiB and more are kept
// when freed (a vector that grew, a cache torn down) and handed out again, already faulted in; blocks of
// 2 MiB and more have a region of their own that asks for transparent huge pages (one fault per 2 MiB,
// and the room a vector reserves ahead costs only address space until written). Blocks between are carved
// side by side from shared regions of small pages, so that their room ahead costs nothing either. Smaller
// blocks go to the ordinary heap, which recycles them itself. Address-sanitizer builds take every block
// from the heap, so that overruns stay visible.
#include <cstddef>
#include <cstdint>
#include <new>

namespace TileMemory {

// Pooled blocks are served from a huge-page region of their own from this size on.
constexpr std::size_t kHugePage = std::size_t(2) << 20;
// Blocks below this size come from the ordinary heap.
constexpr std::size_t kPooledMinimum = std::size_t(64) << 10;
// Freed blocks kept backed by memory; beyond this their memory goes back to the system.
constexpr std::uint64_t kResidentFreeLimit = std::uint64_t(128) << 20;

void* allocate(std::size_t bytes);
void deallocate(void* block, std::size_t bytes) noexcept;

struct Statistics {
    std::uint64_t mappedBytes = 0;  // address space taken from the system for blocks, live or freed
    std::uint64_t freeBytes = 0;    // freed blocks held for reuse
    std::uint64_t residentFree = 0; // of those, still backed by memory
    std::uint64_t allocations = 0;  // pooled blocks handed out
    std::uint64_t reused = 0;       // of those, served from freed blocks
};
Statistics statistics();
// False in builds that take every block from the heap (address sanitizer).
bool pooling();
// Gives the memory of every freed block back to the system (their addresses stay reserved for reuse).
void trim();

} // namespace TileMemory

// A standard allocator over TileMemory, for the tiles' vectors.
template <class T> struct TileAllocator {
    using value_type = T;
    TileAllocator() = default;
    template <class U> TileAllocator(const TileAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(TileMemory::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { TileMemory::deallocate(p, n * sizeof(T)); }
    template <class U> bool operator==(const TileAllocator<U>&) const noexcept { return true; }
};
