// The nearest-element search: a coarse pass over every stride-th element, then a pass over the
// window between the coarse winner's neighbours, both as reductions on the pool.
#include "nearest.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <type_traits>

#include "drevan/panic.hpp"
#include "list_loops.hpp"

namespace ostrilo {
namespace {

using drevan::Vec3d;

// Ranking key of a squared distance. A square and a sum of squares are never negative and never
// -0, so after NaNs are made canonical every key has a clear sign bit, and its bits order as an
// unsigned integer exactly as the IEEE total order orders the values: every NaN alike (whatever
// payload and sign the arithmetic gave it) above +inf, and among NaNs the lowest index wins.
[[gnu::always_inline]] inline std::uint64_t rank_key(double d2) noexcept {
    return std::bit_cast<std::uint64_t>(canonical(d2));
}

struct Best {
    std::uint64_t key;
    std::size_t index;
};

// Right replaces left only when strictly nearer: the lower index wins ties.
inline Best nearer(Best left, Best right) noexcept { return right.key < left.key ? right : left; }

// The best of elements first + c * step for c in [b, e). The keys are computed a chunk at a time
// into a small array and the chunk's smallest key is found first: both loops have no branch and
// run vectorised. Only a chunk that holds a strictly nearer element is scanned again for the
// first index with that key, so the lowest index still wins ties.
template <std::size_t Step>
[[gnu::always_inline]] inline Best nearest_in_block(const Vec3d* items, const Vec3d& o, std::size_t first,
                                                    std::size_t step, std::size_t b, std::size_t e) {
    constexpr std::size_t kChunk = 256;
    const Vec3d target = o;
    const std::size_t stride = Step == 0 ? step : Step;
    Best best{~std::uint64_t{0}, first + b * stride};  // every key is below this: the first chunk wins
    for (std::size_t c = b; c < e; c += kChunk) {
        const std::size_t m = std::min(kChunk, e - c);
        const Vec3d* const base = items + first + c * stride;
        alignas(64) std::uint64_t keys[kChunk];
        for (std::size_t k = 0; k < m; ++k) keys[k] = rank_key(base[k * stride].distance_squared(target));
        // The keys have a clear sign bit, so their order as signed integers is their order.
        std::int64_t low = std::numeric_limits<std::int64_t>::max();
        for (std::size_t k = 0; k < m; ++k) low = std::min(low, static_cast<std::int64_t>(keys[k]));
        const auto key = static_cast<std::uint64_t>(low);
        if (key < best.key) {
            std::size_t k = 0;
            while (keys[k] != key) ++k;
            best = {key, first + (c + k) * stride};
        }
    }
    return best;
}

// The best of the elements first, first + step, ... (count of them), as a pool reduction.
std::optional<Best> nearest_of(const Vec3d* items, const Vec3d& o, std::size_t first, std::size_t step,
                               std::size_t count) {
    if (step == 1)
        return reduce_blocks<Best>(
            count,
            [=](std::size_t b, std::size_t e)
                __attribute__((always_inline)) { return nearest_in_block<1>(items, o, first, 1, b, e); },
            nearer, kArithmetic);
    return reduce_blocks<Best>(
        count,
        [=](std::size_t b, std::size_t e)
            __attribute__((always_inline)) { return nearest_in_block<0>(items, o, first, step, b, e); },
        nearer, kArithmetic);
}

}  // namespace

std::pair<std::size_t, double> minimum_distance_to(const VecList& l, const Vec3d& o, std::size_t stride) {
    DREVAN_ASSERT(stride != 0);
    const std::size_t n = l.items.size();
    const Vec3d* items = l.items.data();
    // Coarse pass: every stride-th element from the first.
    const std::optional<Best> coarse = nearest_of(items, o, 0, stride, n == 0 ? 0 : (n - 1) / stride + 1);
    if (!coarse) DREVAN_PANIC("called `Option::unwrap()` on a `None` value");
    // Refinement: from the previous candidate up to (not including) the next one.
    const std::size_t i = coarse->index;
    const std::size_t lo = i >= stride ? i - stride : 0;
    const std::size_t hi = n - i > stride ? i + stride : n;
    const std::optional<Best> fine = nearest_of(items, o, lo, 1, hi - lo);
    return {fine->index, canonical(items[fine->index].distance_to(o))};
}

}  // namespace ostrilo
