// The allocator behind the element arrays of lists.
#include "vec_array.hpp"

#ifdef __linux__  // mappings of their own and transparent huge pages: Linux only
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

// Arrays are plain blocks from malloc, each of exactly its size, under AddressSanitizer (so that
// writes past the end are reported) and where there are no Linux mappings to manage.
#if !defined(__linux__) || defined(__SANITIZE_ADDRESS__)
#define OSTRILO_EXACT_ARRAYS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTRILO_EXACT_ARRAYS 1
#endif
#endif

namespace ostrilo {
namespace {

#ifndef OSTRILO_EXACT_ARRAYS

constexpr std::size_t kCacheLine = 64;

// Arrays of kHugePageThreshold bytes or more are mappings of their own, starting on a huge page
// (2 MiB on x86-64 and aarch64 with 4 KiB pages) and advised to the kernel as huge-page
// candidates, so that all of them but the tail can be huge pages (and the tail too from 16 MiB
// on): a huge page backs only a range that lies wholly inside the advised one, and the ragged
// ends of a block from malloc were up to 2 x 511 small pages. First touch of fresh memory is what
// such an array costs beyond its arithmetic: on the virtual machines we measured, a small page's
// fault took ~3 us (24 MB: ~20 ms) and a huge page's ~0.1-0.2 ms (24 MB: ~2 ms).
//
// The last few freed ones are kept for reuse, so that an operation that makes a large result
// over and over (or a chain of them, numpy -> VecList -> normalize -> numpy) writes into memory
// that is already mapped instead of paying for fresh pages each time; malloc gave such blocks back
// to the system and took fresh ones whenever two were alive at once. The kept ones are offered
// to the kernel (MADV_FREE), which takes their pages back if it runs short of memory before they
// are reused.
constexpr std::size_t kKeptBlocks = 2;
constexpr std::size_t kKeptBytes = std::size_t{64} << 20;

std::size_t read_huge_page_size() noexcept {
    std::size_t s = 0;
    if (std::FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/hpage_pmd_size", "r")) {
        unsigned long long v = 0;
        if (std::fscanf(f, "%llu", &v) == 1 && v >= 4096 && v <= (std::size_t{1} << 30) && (v & (v - 1)) == 0)
            s = static_cast<std::size_t>(v);
        std::fclose(f);
    }
    return s != 0 ? s : std::size_t{2} << 20;
}

std::size_t huge_page_size() noexcept {
    static const std::size_t size = read_huge_page_size();
    return size;
}

struct Block {
    void* p = nullptr;
    std::size_t size = 0;  // mapped bytes
};

struct LargeBlocks {
    std::mutex m;
    std::unordered_map<void*, std::size_t> live;  // mapped bytes of each array handed out
    std::array<Block, kKeptBlocks> kept{};        // most recently freed first
};

LargeBlocks& large_blocks() {
    static LargeBlocks* blocks = [] {
        // A child of fork() has only the forking thread: another one may have held the lock.
        pthread_atfork([] { large_blocks().m.lock(); }, [] { large_blocks().m.unlock(); },
                       [] { large_blocks().m.unlock(); });
        return new LargeBlocks;  // never destroyed: arrays may be freed while the process exits
    }();
    return *blocks;
}

std::size_t small_page_size() noexcept {
    static const std::size_t size = [] {
        const long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? static_cast<std::size_t>(s) : std::size_t{4096};
    }();
    return size;
}

// A fresh mapping of `size` bytes (a multiple of the small page size) starting on a multiple of
// `huge`.
void* map_block(std::size_t size, std::size_t huge) {
    if (size > SIZE_MAX - huge) return nullptr;
    void* raw = mmap(nullptr, size + huge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (base + huge - 1) & ~(std::uintptr_t{huge} - 1);
    if (start > base) munmap(raw, start - base);
    if (const std::uintptr_t end = base + size + huge; end > start + size)
        munmap(reinterpret_cast<void*>(start + size), end - (start + size));
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE);  // a hint
#endif
    return reinterpret_cast<void*>(start);
}

void* allocate_large(std::size_t bytes) {
    const std::size_t huge = huge_page_size(), page = small_page_size();
    if (bytes > SIZE_MAX - huge) return nullptr;
    // Up to whole huge pages when that adds at most an eighth (from 16 MiB on), so that the tail
    // is a huge page too; else to whole small pages, so that an array of 4 MiB does not take 6.
    std::size_t size = (bytes + huge - 1) & ~(huge - 1);
    if (size - bytes > bytes / 8) size = (bytes + page - 1) & ~(page - 1);
    LargeBlocks& lb = large_blocks();
    {
        std::lock_guard lk(lb.m);
        for (std::size_t i = 0; i < kKeptBlocks; ++i) {
            if (lb.kept[i].size != size) continue;
            void* p = lb.kept[i].p;
            lb.live.emplace(p, size);  // may throw bad_alloc: the block stays kept
            for (std::size_t j = i; j + 1 < kKeptBlocks; ++j) lb.kept[j] = lb.kept[j + 1];
            lb.kept[kKeptBlocks - 1] = Block{};
            return p;
        }
    }
    void* p = map_block(size, huge);
    if (p == nullptr) return nullptr;
    try {
        std::lock_guard lk(lb.m);
        lb.live.emplace(p, size);
    } catch (...) {
        munmap(p, size);
        throw;
    }
    return p;
}

// Whether p is a large array; if so it is kept or unmapped.
bool free_large(void* p) noexcept {
    if ((reinterpret_cast<std::uintptr_t>(p) & (huge_page_size() - 1)) != 0) return false;  // not one of ours
    LargeBlocks& lb = large_blocks();
    Block freed{p, 0};
    {
        std::lock_guard lk(lb.m);
        const auto it = lb.live.find(p);
        if (it == lb.live.end()) return false;  // malloc's, on a huge-page boundary by chance
        freed.size = it->second;
        lb.live.erase(it);
    }
    if (freed.size > kKeptBytes / kKeptBlocks) {
        munmap(freed.p, freed.size);
        return true;
    }
#ifdef MADV_FREE
    // Before another thread can take it: afterwards its pages may hold that thread's results.
    madvise(freed.p, freed.size, MADV_FREE);
#endif
    Block dropped;
    {
        std::lock_guard lk(lb.m);
        dropped = lb.kept[kKeptBlocks - 1];
        for (std::size_t j = kKeptBlocks - 1; j > 0; --j) lb.kept[j] = lb.kept[j - 1];
        lb.kept[0] = freed;
    }
    if (dropped.p != nullptr) munmap(dropped.p, dropped.size);
    return true;
}
#endif

}  // namespace

#ifdef OSTRILO_EXACT_ARRAYS
// A block of exactly the array's size: under AddressSanitizer a write one element past the end is
// then reported.
void* allocate_array(std::size_t bytes) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void free_array(void* p) noexcept { std::free(p); }
#else
void* allocate_array(std::size_t bytes) {
    if (bytes >= kHugePageThreshold) {
        void* p = allocate_large(bytes);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    // Every other array starts on a cache line: the vector loops then store whole lines (with AVX-512, ~15% faster in
    // cache than at malloc's 16 bytes). malloc gives 16; posix_memalign would cost ~150 ns more
    // per array, so the array is placed in a block a line longer, and the byte before it says how
    // far into the block it starts.
    auto* raw = static_cast<unsigned char*>(std::malloc(bytes + kCacheLine));
    if (raw == nullptr) throw std::bad_alloc();
    const auto at = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t offset = kCacheLine - (at & (kCacheLine - 1));  // 1 to kCacheLine
    unsigned char* p = raw + offset;
    p[-1] = static_cast<unsigned char>(offset);
    return p;
}

void free_array(void* p) noexcept {
    if (p == nullptr || free_large(p)) return;
    auto* q = static_cast<unsigned char*>(p);
    std::free(q - q[-1]);
}
#endif

}  // namespace ostrilo
