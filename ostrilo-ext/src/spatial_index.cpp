#include "spatial_index.hpp"

#include "frame/read_once.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

namespace ostrilo::spatial {

namespace {

constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A query costs about a microsecond: blocks of a few dozen queries pay for the hand-off.
constexpr std::size_t kQueryGrain = 32;
// Tree levels built one level at a time (each node of a level is a block); below them, every
// subtree is one block.
constexpr std::size_t kLevelsByLevel = 6;
// Fewer tree points than this are built on the calling thread.
constexpr std::size_t kInlineBuild = 1 << 15;
// Points whose extent chooses a node's split axis.
constexpr std::size_t kAxisSample = 1024;

// body(begin, end) over blocks of [0, n) on the runner. A body's exception (std::bad_alloc, the
// only one the bodies can raise) is carried back and rethrown here once every block has stopped.
template <class F>
void run_blocks(BlockRunner runner, std::size_t n, std::size_t grain, F&& body) {
    struct Ctx {
        explicit Ctx(std::remove_reference_t<F>* b) : body(b) {}
        std::remove_reference_t<F>* body;
        std::atomic<bool> failed{false};
        std::mutex m;
        std::exception_ptr error;
    } ctx(std::addressof(body));
    const bool ran = runner(
        n, grain,
        [](void* p, std::size_t b, std::size_t e) noexcept {
            auto& c = *static_cast<Ctx*>(p);
            if (c.failed.load(std::memory_order_relaxed)) return;
            try {
                (*c.body)(b, e);
            } catch (...) {
                std::lock_guard lk(c.m);
                if (!c.error) c.error = std::current_exception();
                c.failed.store(true, std::memory_order_relaxed);
            }
        },
        &ctx);
    if (ctx.error) std::rethrow_exception(ctx.error);
    if (!ran) throw std::bad_alloc();
}

inline double coord(const Vec3d& p, unsigned axis) noexcept { return axis == 0 ? p.x : axis == 1 ? p.y : p.z; }

inline bool finite(const Vec3d& p) noexcept { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// The bound of a region whose per-axis gaps to the query are g: rounded exactly as a squared
// distance is, so it never exceeds the computed squared distance of a point in the region.
inline double bound_of(const double g[3]) noexcept { return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2]; }

// Tree points are finite, so their squared distances to a finite query are numbers (+inf after
// overflow, never NaN) and compare as plain doubles.
inline bool tree_before(double d2, std::size_t index, const Hit& w) noexcept {
    return d2 < w.d2 || (d2 == w.d2 && index < w.index);
}

struct Tree {
    const SpatialIndex::Entry* entries;
    const double* split;
    const std::uint8_t* axis;
    const std::size_t* min_index;
    std::size_t internal;
};

inline bool tree_less(const Hit& a, const Hit& b) noexcept { return tree_before(a.d2, a.index, b); }

// One step down from internal node nd over [lo, hi), as both searches take it: whether the
// query lies on the left of the split, where the children's ranges meet, and the gaps to the
// far child (the query's gaps g with the split axis's replaced by the distance to the plane).
struct Split {
    bool left_near;
    std::size_t mid;
    double far_gaps[3];
};
inline Split split_at(const Tree& t, const double q[3], std::size_t nd, std::size_t lo, std::size_t hi,
                      const double g[3]) noexcept {
    const unsigned a = t.axis[nd];
    const double diff = q[a] - t.split[nd];
    Split s{diff < 0, lo + (hi - lo) / 2, {g[0], g[1], g[2]}};
    s.far_gaps[a] = std::fabs(diff);
    return s;
}

// Depth-first k-nearest search: the near child first, the far one only if its bound can still
// beat the current k-th best (on a tie of the bound, only if it holds a lower index). The k best
// are kept in a sorted array for small k (worst last), in a max-heap for large k (worst first).
template <bool Heap>
struct KnnSearch {
    Tree t;
    Vec3d qv;
    double q[3];
    Hit* best;
    std::size_t k;

    const Hit& worst() const noexcept { return Heap ? best[0] : best[k - 1]; }

    void leaf(std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            const auto& e = t.entries[i];
            const double d2 = e.p.distance_squared(qv);
            if (!tree_before(d2, e.index, worst())) continue;
            if constexpr (Heap) {
                std::pop_heap(best, best + k, tree_less);
                best[k - 1] = {d2, e.index};
                std::push_heap(best, best + k, tree_less);
            } else {
                std::size_t j = k - 1;
                while (j > 0 && tree_before(d2, e.index, best[j - 1])) {
                    best[j] = best[j - 1];
                    --j;
                }
                best[j] = {d2, e.index};
            }
        }
    }

    void node(std::size_t nd, std::size_t lo, std::size_t hi, const double g[3]) {
        if (nd >= t.internal) {
            leaf(lo, hi);
            return;
        }
        const Split s = split_at(t, q, nd, lo, hi, g);
        const std::size_t near = s.left_near ? 2 * nd + 1 : 2 * nd + 2, far = s.left_near ? 2 * nd + 2 : 2 * nd + 1;
        if (s.left_near) {
            node(near, lo, s.mid, g);
        } else {
            node(near, s.mid, hi, g);
        }
        const double bound = bound_of(s.far_gaps);
        const Hit& w = worst();
        // A leaf on the bound is cheaper to scan than to keep its lowest index for.
        if (bound < w.d2 || (bound == w.d2 && (far >= t.internal || t.min_index[far] < w.index))) {
            if (s.left_near) {
                node(far, s.mid, hi, s.far_gaps);
            } else {
                node(far, lo, s.mid, s.far_gaps);
            }
        }
    }
};

// Above this many neighbours the k best are kept in a heap.
constexpr std::size_t kHeapFrom = 48;

// Every region whose bound is at most `limit`; leaf(lo, hi) for each leaf reached.
template <class Leaf>
struct RangeSearch {
    Tree t;
    double q[3];
    double limit;
    Leaf& leaf;

    void node(std::size_t nd, std::size_t lo, std::size_t hi, const double g[3]) {
        if (nd >= t.internal) {
            leaf(lo, hi);
            return;
        }
        const Split s = split_at(t, q, nd, lo, hi, g);
        const bool far_in = bound_of(s.far_gaps) <= limit;
        if (s.left_near) {
            node(2 * nd + 1, lo, s.mid, g);
            if (far_in) node(2 * nd + 2, s.mid, hi, s.far_gaps);
        } else {
            if (far_in) node(2 * nd + 1, lo, s.mid, s.far_gaps);
            node(2 * nd + 2, s.mid, hi, g);
        }
    }
};

// The range [lo, hi) of node nd at depth `level` (root: level 0, range [0, n)).
void node_range(std::size_t nd, std::size_t level, std::size_t n, std::size_t& lo, std::size_t& hi) {
    lo = 0;
    hi = n;
    // Path from the root: the bits of nd + 1 below its leading one, most significant first.
    const std::size_t path = nd + 1;
    for (std::size_t l = level; l-- > 0;) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if ((path >> l) & 1) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
}

}  // namespace

double radius_limit(double r) noexcept {
    if (!(r >= 0)) return -1.0;  // nothing is within
    if (r == kInf) return kInf;
    double t = r * r;
    // sqrt is correctly rounded and monotone: step t to the largest value whose root is <= r.
    while (t > 0 && std::sqrt(t) > r) t = std::nextafter(t, 0.0);
    for (;;) {
        const double up = std::nextafter(t, kInf);
        if (std::sqrt(up) > r) break;
        t = up;
    }
    return t;
}

SpatialIndex::SpatialIndex(const Vec3d* points, std::size_t n, BlockRunner runner) : runner_(runner), n_(n) {
    entries_.resize(n);
    // Finite points first, in index order; then the others, in index order. The points may be
    // memory that another thread writes meanwhile (an array lent without the interpreter lock):
    // each is read once, and where it goes is decided on that copy, so the two parts always add
    // up to n whatever the memory holds by then.
    std::size_t a = 0, b = n;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3d p = read_once(points + i);
        if (finite(p)) {
            entries_[a++] = {p, i};
        } else {
            entries_[--b] = {p, i};
        }
    }
    std::reverse(entries_.begin() + static_cast<std::ptrdiff_t>(a), entries_.end());
    n_tree_ = a;

    std::size_t depth = 0;
    while (depth + 1 < std::numeric_limits<std::size_t>::digits &&
           (n_tree_ + (std::size_t{1} << depth) - 1) >> depth > kLeafSize)
        ++depth;
    internal_ = (std::size_t{1} << depth) - 1;
    split_.assign(internal_, 0.0);
    axis_.assign(internal_, 0);
    min_index_.assign(internal_, kNoIndex);

    if (n_tree_ < kInlineBuild) {
        build_subtree(0, 0, n_tree_);
        return;
    }
    // The top levels node by node, each level's nodes in parallel; then whole subtrees, which
    // also fill in their lowest indices; then those of the top levels, from their children's.
    const std::size_t by_level = std::min(depth, kLevelsByLevel);
    for (std::size_t level = 0; level <= by_level; ++level) {
        const std::size_t first = (std::size_t{1} << level) - 1;
        run_blocks(runner_, std::size_t{1} << level, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t j = b; j < e; ++j) {
                std::size_t lo, hi;
                node_range(first + j, level, n_tree_, lo, hi);
                if (level < by_level) {
                    build_node(first + j, lo, hi);
                } else {
                    build_subtree(first + j, lo, hi);
                }
            }
        });
    }
    for (std::size_t level = by_level; level-- > 0;) {
        const std::size_t first = (std::size_t{1} << level) - 1;
        for (std::size_t nd = first; nd < 2 * first + 1; ++nd) {
            std::size_t lo, hi;
            node_range(nd, level, n_tree_, lo, hi);
            const std::size_t mid = lo + (hi - lo) / 2;
            min_index_[nd] = std::min(lowest_below(2 * nd + 1, lo, mid), lowest_below(2 * nd + 2, mid, hi));
        }
    }
}

// The lowest index under a node whose lowest index is known, or a leaf's.
std::size_t SpatialIndex::lowest_below(std::size_t node, std::size_t lo, std::size_t hi) const {
    if (node < internal_) return min_index_[node];
    std::size_t low = kNoIndex;
    for (std::size_t i = lo; i < hi; ++i) low = std::min(low, entries_[i].index);
    return low;
}

// An internal node's split on the axis of largest extent at the median: the points of [lo, hi)
// are partitioned around position lo + (hi - lo) / 2. The extent is that of at most kAxisSample
// points spread over the range: the axis only steers the search's speed, never its answers.
void SpatialIndex::build_node(std::size_t node, std::size_t lo, std::size_t hi) {
    Entry* e = entries_.data();
    if (node >= internal_) return;
    double mn[3] = {kInf, kInf, kInf}, mx[3] = {-kInf, -kInf, -kInf};
    const std::size_t step = (hi - lo) / kAxisSample + 1;
    for (std::size_t i = lo; i < hi; i += step) {
        const Vec3d& p = e[i].p;
        mn[0] = std::min(mn[0], p.x);
        mx[0] = std::max(mx[0], p.x);
        mn[1] = std::min(mn[1], p.y);
        mx[1] = std::max(mx[1], p.y);
        mn[2] = std::min(mn[2], p.z);
        mx[2] = std::max(mx[2], p.z);
    }
    unsigned axis = 0;
    double extent = -1.0;
    for (unsigned d = 0; d < 3; ++d) {
        // Halved so that the extent of finite coordinates never overflows.
        const double x = mx[d] * 0.5 - mn[d] * 0.5;
        if (x > extent) {
            extent = x;
            axis = d;
        }
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    if (hi > lo) {
        // One comparison per axis, so that the selection's inner loops have no branch on it.
        switch (axis) {
            case 0:
                std::nth_element(e + lo, e + mid, e + hi, [](const Entry& l, const Entry& r) { return l.p.x < r.p.x; });
                break;
            case 1:
                std::nth_element(e + lo, e + mid, e + hi, [](const Entry& l, const Entry& r) { return l.p.y < r.p.y; });
                break;
            default:
                std::nth_element(e + lo, e + mid, e + hi, [](const Entry& l, const Entry& r) { return l.p.z < r.p.z; });
                break;
        }
        split_[node] = coord(e[mid].p, axis);
    } else {
        split_[node] = 0.0;  // an empty node (fewer points than leaves): never holds a point
    }
    axis_[node] = static_cast<std::uint8_t>(axis);
}

// A subtree, bottom-up for its lowest indices; returns the lowest.
std::size_t SpatialIndex::build_subtree(std::size_t node, std::size_t lo, std::size_t hi) {
    if (node >= internal_) return lowest_below(node, lo, hi);
    build_node(node, lo, hi);
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::size_t low = std::min(build_subtree(2 * node + 1, lo, mid), build_subtree(2 * node + 2, mid, hi));
    min_index_[node] = low;
    return low;
}

std::size_t SpatialIndex::memory_bytes() const noexcept {
    return entries_.capacity() * sizeof(Entry) + split_.capacity() * sizeof(double) + axis_.capacity() +
           min_index_.capacity() * sizeof(std::size_t) + sizeof *this;
}

void SpatialIndex::copy_points(Vec3d* out) const noexcept {
    for (const Entry& e : entries_) out[e.index] = e.p;
}

std::size_t SpatialIndex::nearest_tree(const double q[3], std::size_t k, Hit* best) const {
    for (std::size_t i = 0; i < k; ++i) best[i] = {kInf, kNoIndex};
    if (n_tree_ == 0) return 0;
    const Tree t{entries_.data(), split_.data(), axis_.data(), min_index_.data(), internal_};
    const double g[3] = {0.0, 0.0, 0.0};
    if (k < kHeapFrom) {
        KnnSearch<false> s{t, {q[0], q[1], q[2]}, {q[0], q[1], q[2]}, best, k};
        s.node(0, 0, n_tree_, g);
    } else {
        KnnSearch<true> s{t, {q[0], q[1], q[2]}, {q[0], q[1], q[2]}, best, k};
        s.node(0, 0, n_tree_, g);
        std::sort_heap(best, best + k, tree_less);
    }
    return std::min(k, n_tree_);
}

std::size_t SpatialIndex::nearest(const Vec3d& q, std::size_t k, Hit* out) const {
    const std::size_t kk = std::min(k, n_);
    if (kk == 0) return 0;
    if (!finite(q)) {
        // Every squared distance is +inf or NaN: compare with every point.
        std::vector<Hit> all(n_);
        for (std::size_t i = 0; i < n_; ++i) all[i] = {entries_[i].p.distance_squared(q), entries_[i].index};
        std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(kk), all.end(), ranks_before);
        std::copy_n(all.begin(), kk, out);
        return kk;
    }
    const double qa[3] = {q.x, q.y, q.z};
    const std::size_t found = nearest_tree(qa, kk, out);
    if (n_tree_ == n_) return found;
    // The points outside the tree, merged into the tree's best.
    std::vector<Hit> side;
    side.reserve(n_ - n_tree_);
    for (std::size_t i = n_tree_; i < n_; ++i) side.push_back({entries_[i].p.distance_squared(q), entries_[i].index});
    std::stable_sort(side.begin(), side.end(), ranks_before);
    std::vector<Hit> tree(out, out + found);
    std::size_t a = 0, b = 0;
    for (std::size_t j = 0; j < kk; ++j) {
        // Both cannot run out before kk: kk <= n = tree points + side points.
        if (b == side.size() || (a < tree.size() && !ranks_before(side[b], tree[a]))) {
            out[j] = tree[a++];
        } else {
            out[j] = side[b++];
        }
    }
    return kk;
}

void SpatialIndex::nearest_many(const Vec3d* queries, std::size_t m, std::size_t k, std::ptrdiff_t* indices,
                                double* distances) const {
    if (k == 0) return;
    const std::size_t kk = std::min(k, n_);
    run_blocks(runner_, m, kQueryGrain, [&](std::size_t b, std::size_t e) {
        std::vector<Hit> best(kk == 0 ? 1 : kk);
        for (std::size_t i = b; i < e; ++i) {
            const std::size_t found = nearest(read_once(queries + i), kk, best.data());
            std::ptrdiff_t* idx = indices + i * k;
            double* dist = distances + i * k;
            for (std::size_t j = 0; j < found; ++j) {
                idx[j] = static_cast<std::ptrdiff_t>(best[j].index);
                dist[j] = distance_of(best[j]);
            }
            for (std::size_t j = found; j < k; ++j) {
                idx[j] = static_cast<std::ptrdiff_t>(n_);
                dist[j] = kInf;
            }
        }
    });
}

template <class Visit>
void SpatialIndex::visit_within(const Vec3d& q, double limit, Visit&& visit) const {
    if (!(limit >= 0) || n_ == 0) return;
    if (!finite(q)) {
        // Every squared distance is +inf or NaN: only an infinite radius takes any.
        if (limit != kInf) return;
        for (const Entry& e : entries_) {
            const double d2 = e.p.distance_squared(q);
            if (d2 <= limit) visit(d2, e.index);
        }
        return;
    }
    if (n_tree_ != 0) {
        auto leaf = [&](std::size_t lo, std::size_t hi) {
            for (std::size_t i = lo; i < hi; ++i) {
                const Entry& e = entries_[i];
                const double d2 = e.p.distance_squared(q);
                if (d2 <= limit) visit(d2, e.index);
            }
        };
        RangeSearch<decltype(leaf)> s{
            {entries_.data(), split_.data(), axis_.data(), min_index_.data(), internal_}, {q.x, q.y, q.z}, limit, leaf};
        const double g[3] = {0.0, 0.0, 0.0};
        s.node(0, 0, n_tree_, g);
    }
    for (std::size_t i = n_tree_; i < n_; ++i) {
        const Entry& e = entries_[i];
        const double d2 = e.p.distance_squared(q);
        if (d2 <= limit) visit(d2, e.index);
    }
}

void SpatialIndex::within(const Vec3d& q, double r, std::vector<Hit>& out) const {
    const std::size_t start = out.size();
    visit_within(q, radius_limit(r), [&](double d2, std::size_t index) { out.push_back({d2, index}); });
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), ranks_before);
}

std::size_t SpatialIndex::count_within(const Vec3d& q, double r) const {
    std::size_t count = 0;
    visit_within(q, radius_limit(r), [&](double, std::size_t) { ++count; });
    return count;
}

void SpatialIndex::within_many(const Vec3d* queries, std::size_t m, double r, std::vector<std::ptrdiff_t>& indices,
                               std::vector<double>& distances, std::vector<std::size_t>& offsets) const {
    indices.clear();
    distances.clear();
    offsets.assign(m + 1, 0);
    if (m == 0) return;
    // Each block's hits in its own part, put in query order afterwards.
    struct Part {
        std::size_t begin;
        std::vector<Hit> hits;
    };
    std::vector<Part> parts;
    std::mutex m_parts;
    run_blocks(runner_, m, kQueryGrain, [&](std::size_t b, std::size_t e) {
        std::vector<Hit> hits;
        for (std::size_t i = b; i < e; ++i) {
            const std::size_t before = hits.size();
            within(read_once(queries + i), r, hits);
            offsets[i + 1] = hits.size() - before;  // a count for now
        }
        std::lock_guard lk(m_parts);
        parts.push_back({b, std::move(hits)});
    });
    std::sort(parts.begin(), parts.end(), [](const Part& x, const Part& y) { return x.begin < y.begin; });
    std::size_t total = 0;
    for (const Part& part : parts) total += part.hits.size();
    indices.reserve(total);
    distances.reserve(total);
    for (const Part& part : parts) {
        for (const Hit& h : part.hits) {
            indices.push_back(static_cast<std::ptrdiff_t>(h.index));
            distances.push_back(distance_of(h));
        }
    }
    for (std::size_t i = 0; i < m; ++i) offsets[i + 1] += offsets[i];
}

void SpatialIndex::count_within_many(const Vec3d* queries, std::size_t m, double r, std::ptrdiff_t* counts) const {
    run_blocks(runner_, m, kQueryGrain, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            counts[i] = static_cast<std::ptrdiff_t>(count_within(read_once(queries + i), r));
    });
}

}  // namespace ostrilo::spatial
