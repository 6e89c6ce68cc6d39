// The allocator behind the element arrays of lists.
#include "vec_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace ostrilo {
namespace {

constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kAlignedFrom = 4096;

}  // namespace

void* allocate_array(std::size_t bytes) {
    // Arrays of a page or more start on a cache line, as do the pool's blocks in them (see
    // pool::BlockPlan): the vector loops then store whole lines (~10% faster in cache than at
    // malloc's 16 bytes). Small arrays keep malloc's cheaper path.
    void* p = nullptr;
    if (bytes < kAlignedFrom) {
        p = std::malloc(bytes == 0 ? 1 : bytes);
    } else if (posix_memalign(&p, kCacheLine, bytes) != 0) {
        p = nullptr;
    }
    if (p == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes >= kHugePageThreshold) {
        static const std::uintptr_t page = [] {
            const long s = sysconf(_SC_PAGESIZE);
            return static_cast<std::uintptr_t>(s > 0 ? s : 4096);
        }();
        const auto first = (reinterpret_cast<std::uintptr_t>(p) + page - 1) & ~(page - 1);
        const auto last = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(page - 1);
        if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);  // a hint
    }
#endif
    return p;
}

void free_array(void* p) noexcept { std::free(p); }

}  // namespace ostrilo
