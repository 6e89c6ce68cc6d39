// The allocator behind the element arrays of lists.
#include "vec_array.hpp"

#ifdef __linux__  // transparent huge pages: a Linux hint only
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdlib>

namespace ostrilo {

void* allocate_array(std::size_t bytes) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
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
