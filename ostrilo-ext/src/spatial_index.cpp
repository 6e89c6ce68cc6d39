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
constexpr std::size_t kAxisSample = 256;

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
// Nodes from `scan_from` on are scanned whole, as leaves: for more than one neighbour the search
// stops a level or more above the tree's leaves. A leaf often holds fewer than k points, and then
// the k-th best is still unbounded after it and its sibling is scanned anyway, after a step more.
template <bool Heap>
struct KnnSearch {
    Tree t;
    Vec3d qv;
    double q[3];
    Hit* best;
    std::size_t k;
    std::size_t scan_from;

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
        if (nd >= scan_from) {
            leaf(lo, hi);
            return;
        }
        const Split s = split_at(t, q, nd, lo, hi, g);
        const std::size_t near = s.left_near ? 2 * nd + 1 : 2 * nd + 2, far = s.left_near ? 2 * nd + 2 : 2 * nd + 1;
        if (near >= scan_from) {
            // Two leaves: scanned here, without a call for each. A leaf on the bound may hold a
            // lower index: scanned too.
            if (s.left_near) {
                leaf(lo, s.mid);
            } else {
                leaf(s.mid, hi);
            }
            if (bound_of(s.far_gaps) <= worst().d2) {
                if (s.left_near) {
                    leaf(s.mid, hi);
                } else {
                    leaf(lo, s.mid);
                }
            }
            return;
        }
        if (s.left_near) {
            node(near, lo, s.mid, g);
        } else {
            node(near, s.mid, hi, g);
        }
        const double bound = bound_of(s.far_gaps);
        const Hit& w = worst();
        // A leaf on the bound is cheaper to scan than to keep its lowest index for.
        if (bound < w.d2 || (bound == w.d2 && t.min_index[far] < w.index)) {
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
    std::size_t from = 0;  // tree positions below this are left out (the pairs' self-join)

    void node(std::size_t nd, std::size_t lo, std::size_t hi, const double g[3]) {
        if (hi <= from) return;
        if (nd >= t.internal) {
            leaf(std::max(lo, from), hi);
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

// The metric: along a periodic axis (L > 0) the nearest image's |p - q|, else |p - q|; summed
// as Vec3d sums its squares. Without any period this is Vec3d::distance_squared, bit for bit
// (|d| * |d| == d * d).
struct Metric {
    double L[3];
    double axis_gap(unsigned a, double p, double q) const noexcept {
        const double d = std::fabs(p - q);
        if (!(L[a] > 0)) return d;
        const double other = L[a] - d;
        return other < d ? other : d;  // NaN stays NaN
    }
    double d2(const Vec3d& p, const Vec3d& q) const noexcept {
        const double dx = axis_gap(0, p.x, q.x), dy = axis_gap(1, p.y, q.y), dz = axis_gap(2, p.z, q.z);
        return (dx * dx + dy * dy) + dz * dz;
    }
    // Bounds of the axis gap of any p in [lo, hi] from q: low never above, high never below the
    // gap axis_gap computes (rounding is monotone in p, and L - d in d).
    // The plain gaps of q from [lo, hi]: the least and the greatest; true when q lies inside.
    static bool plain_gaps(double q, double lo, double hi, double& dmin, double& dmax) noexcept {
        if (q < lo) {
            dmin = lo - q;
            dmax = hi - q;
            return false;
        }
        if (q > hi) {
            dmin = q - hi;
            dmax = q - lo;
            return false;
        }
        dmin = 0.0;
        dmax = std::max(q - lo, hi - q);
        return true;
    }
    void axis_bounds(unsigned a, double q, double lo, double hi, double& low, double& high) const noexcept {
        double dmin, dmax;
        plain_gaps(q, lo, hi, dmin, dmax);
        if (L[a] > 0) {
            const double wrapped_low = L[a] - dmax, wrapped_high = L[a] - dmin;
            low = std::max(0.0, std::min(dmin, wrapped_low));
            high = std::min(dmax, wrapped_high);
        } else {
            low = dmin;
            high = dmax;
        }
    }
    // axis_bounds' low alone, the one the k nearest and the radius searches prune by.
    double axis_low(unsigned a, double q, double lo, double hi) const noexcept {
        double dmin, dmax;
        if (plain_gaps(q, lo, hi, dmin, dmax)) return 0.0;
        if (!(L[a] > 0)) return dmin;
        return std::max(0.0, std::min(dmin, L[a] - dmax));
    }
    // The squared-distance bounds of a box [lo, hi] from q.
    void box_bounds(const double q[3], const double lo[3], const double hi[3], double& low,
                    double& high) const noexcept {
        double l[3], h[3];
        for (unsigned a = 0; a < 3; ++a) axis_bounds(a, q[a], lo[a], hi[a], l[a], h[a]);
        low = bound_of(l);
        high = bound_of(h);
    }
};

// The per-axis low gaps of the box [lo, hi] from q.
// The coordinates of one leaf's points side by side, so that the squared distances of a point to
// all of them are computed a few lanes at a time; each lane's arithmetic is Metric::d2's, in the
// same order, so the bits are the same.
struct LeafBlock {
    double c[3][SpatialIndex::kLeafSize];
    std::size_t n = 0;
    void load(const SpatialIndex::Entry* e, std::size_t lo, std::size_t hi) noexcept {
        n = hi - lo;
        for (std::size_t j = 0; j < n; ++j) {
            c[0][j] = e[lo + j].p.x;
            c[1][j] = e[lo + j].p.y;
            c[2][j] = e[lo + j].p.z;
        }
        for (std::size_t j = n; j < SpatialIndex::kLeafSize; ++j) c[0][j] = c[1][j] = c[2][j] = 0.0;
    }
    void d2(const Metric& m, const Vec3d& p, double* out) const noexcept {
        double g[3][SpatialIndex::kLeafSize];
        const double q[3] = {p.x, p.y, p.z};
        for (unsigned a = 0; a < 3; ++a) {
            for (std::size_t j = 0; j < SpatialIndex::kLeafSize; ++j) g[a][j] = std::fabs(c[a][j] - q[a]);
            if (m.L[a] > 0)
                for (std::size_t j = 0; j < SpatialIndex::kLeafSize; ++j) {
                    const double other = m.L[a] - g[a][j];
                    g[a][j] = other < g[a][j] ? other : g[a][j];
                }
        }
        for (std::size_t j = 0; j < SpatialIndex::kLeafSize; ++j)
            out[j] = (g[0][j] * g[0][j] + g[1][j] * g[1][j]) + g[2][j] * g[2][j];
    }
};

inline void low_gaps(const Metric& m, const double q[3], const double lo[3], const double hi[3], double g[3]) noexcept {
    double high;
    for (unsigned a = 0; a < 3; ++a) m.axis_bounds(a, q[a], lo[a], hi[a], g[a], high);
}

// A region of the tree: node nd over entries [lo, hi), inside the box [blo, bhi].
struct Region {
    std::size_t nd, lo, hi;
    double blo[3], bhi[3];
};
// Its two children.
inline void children(const Tree& t, const Region& r, Region& left, Region& right) noexcept {
    const unsigned a = t.axis[r.nd];
    const std::size_t mid = r.lo + (r.hi - r.lo) / 2;
    left = r;
    right = r;
    left.nd = 2 * r.nd + 1;
    left.hi = mid;
    left.bhi[a] = t.split[r.nd];
    right.nd = 2 * r.nd + 2;
    right.lo = mid;
    right.blo[a] = t.split[r.nd];
}

// k nearest by boxes: the periodic metric's search (a plane's distance bounds nothing there).
// The child with the lower bound first; the other only if its bound can still beat the k-th best.
template <bool Heap>
struct BoxKnn {
    Tree t;
    Metric m;
    Vec3d qv;
    double q[3];
    Hit* best;
    std::size_t k;

    const Hit& worst() const noexcept { return Heap ? best[0] : best[k - 1]; }
    void offer(double d2, std::size_t index) {
        if (!tree_before(d2, index, worst())) return;
        if constexpr (Heap) {
            std::pop_heap(best, best + k, tree_less);
            best[k - 1] = {d2, index};
            std::push_heap(best, best + k, tree_less);
        } else {
            std::size_t j = k - 1;
            while (j > 0 && tree_before(d2, index, best[j - 1])) {
                best[j] = best[j - 1];
                --j;
            }
            best[j] = {d2, index};
        }
    }
    // The box of the node being visited; a child narrows it along the split axis for its visit.
    double blo[3], bhi[3];
    // g: the per-axis low gaps of the node's box. A child's box differs from its parent's along
    // the split axis only, so only that gap is computed again.
    bool worth(std::size_t nd, double bound) const noexcept {
        const Hit& w = worst();
        return bound < w.d2 || (bound == w.d2 && (nd >= t.internal || t.min_index[nd] < w.index));
    }
    void node(std::size_t nd, std::size_t lo, std::size_t hi, const double g[3]) {
        if (hi == lo) return;
        if (nd >= t.internal) {
            for (std::size_t i = lo; i < hi; ++i) offer(m.d2(t.entries[i].p, qv), t.entries[i].index);
            return;
        }
        const unsigned a = t.axis[nd];
        const double sp = t.split[nd], old_lo = blo[a], old_hi = bhi[a];
        const std::size_t mid = lo + (hi - lo) / 2;
        double gl[3] = {g[0], g[1], g[2]}, gr[3] = {g[0], g[1], g[2]};
        gl[a] = m.axis_low(a, q[a], old_lo, sp);
        gr[a] = m.axis_low(a, q[a], sp, old_hi);
        const double bl = bound_of(gl), br = bound_of(gr);
        auto left = [&] {
            if (!worth(2 * nd + 1, bl)) return;
            bhi[a] = sp;
            node(2 * nd + 1, lo, mid, gl);
            bhi[a] = old_hi;
        };
        auto right = [&] {
            if (!worth(2 * nd + 2, br)) return;
            blo[a] = sp;
            node(2 * nd + 2, mid, hi, gr);
            blo[a] = old_lo;
        };
        if (br < bl) {
            right();
            left();
        } else {
            left();
            right();
        }
    }
};

// Every point within `limit` by boxes, for the periodic metric.
template <class Leaf>
struct BoxRange {
    Tree t;
    Metric m;
    double q[3];
    double limit;
    Leaf& leaf;
    std::size_t from = 0;   // tree positions below this are left out (the pairs' self-join)
    double blo[3], bhi[3];  // the box of the node being visited, as in BoxKnn
    // g: the per-axis low gaps of the node's box, as in BoxKnn.
    void node(std::size_t nd, std::size_t lo, std::size_t hi, const double g[3]) {
        if (hi <= std::max(lo, from)) return;
        if (nd >= t.internal) {
            leaf(std::max(lo, from), hi);
            return;
        }
        const unsigned a = t.axis[nd];
        const double sp = t.split[nd], old_lo = blo[a], old_hi = bhi[a];
        const std::size_t mid = lo + (hi - lo) / 2;
        double gc[3] = {g[0], g[1], g[2]};
        gc[a] = m.axis_low(a, q[a], old_lo, sp);
        if (bound_of(gc) <= limit) {
            bhi[a] = sp;
            node(2 * nd + 1, lo, mid, gc);
            bhi[a] = old_hi;
        }
        gc[a] = m.axis_low(a, q[a], sp, old_hi);
        if (bound_of(gc) <= limit) {
            blo[a] = sp;
            node(2 * nd + 2, mid, hi, gc);
            blo[a] = old_lo;
        }
    }
};

// Counts by bins of squared distance (limits increasing): a region whose bounds fall in one bin
// is counted whole, without a visit.
struct BoxCount {
    Tree t;
    Metric m;
    Vec3d qv;
    double q[3];
    const double* limits;
    std::size_t nl;
    std::uint64_t* hist;
    std::size_t bin(double d2) const noexcept {
        return static_cast<std::size_t>(std::lower_bound(limits, limits + nl, d2) - limits);
    }
    // gl, gh: the per-axis low and high gaps of r's box; a child recomputes its split axis's only.
    void node(const Region& r, const double gl[3], const double gh[3]) {
        if (r.hi == r.lo) return;
        const std::size_t b = bin(bound_of(gl));
        if (b == nl) return;  // beyond every radius
        if (bin(bound_of(gh)) == b) {
            hist[b] += r.hi - r.lo;
            return;
        }
        if (r.nd >= t.internal) {
            for (std::size_t i = r.lo; i < r.hi; ++i) {
                const std::size_t j = bin(m.d2(t.entries[i].p, qv));  // tree points: never NaN
                if (j < nl) ++hist[j];
            }
            return;
        }
        Region c[2];
        children(t, r, c[0], c[1]);
        const unsigned a = t.axis[r.nd];
        for (const Region& ch : c) {
            double l[3] = {gl[0], gl[1], gl[2]}, h[3] = {gh[0], gh[1], gh[2]};
            m.axis_bounds(a, q[a], ch.blo[a], ch.bhi[a], l[a], h[a]);
            node(ch, l, h);
        }
    }
};
// The bounds of the axis gap between any p in [alo, ahi] and any q in [blo, bhi], as
// Metric::axis_bounds gives them for one point: the plain gaps first (differences of the boxes'
// ends, which bound p - q the way its own rounding does), then the shorter way round.
inline void pair_axis_bounds(const Metric& m, unsigned a, double alo, double ahi, double blo, double bhi, double& low,
                             double& high) noexcept {
    const double dmin = std::max({0.0, blo - ahi, alo - bhi});
    const double dmax = std::max(bhi - alo, ahi - blo);
    if (m.L[a] > 0) {
        low = std::max(0.0, std::min(dmin, m.L[a] - dmax));
        high = std::min(dmax, m.L[a] - dmin);
    } else {
        low = dmin;
        high = dmax;
    }
}

// Pair counts by bins over two trees at once: a pair of regions whose squared-distance bounds fall
// in one bin is counted whole, one beyond every limit is left; otherwise the region with more
// points is split, and two leaves compare point by point.
struct DualCount {
    Tree a, b;
    Metric m;
    const double* limits;
    std::size_t nl;
    std::uint64_t* hist;
    std::size_t bin(double d2) const noexcept {
        return static_cast<std::size_t>(std::lower_bound(limits, limits + nl, d2) - limits);
    }
    void node(const Region& ra, const Region& rb) {
        if (ra.hi == ra.lo || rb.hi == rb.lo) return;
        double gl[3], gh[3];
        for (unsigned x = 0; x < 3; ++x)
            pair_axis_bounds(m, x, ra.blo[x], ra.bhi[x], rb.blo[x], rb.bhi[x], gl[x], gh[x]);
        const std::size_t low = bin(bound_of(gl));
        if (low == nl) return;  // beyond every radius
        if (bin(bound_of(gh)) == low) {
            hist[low] += static_cast<std::uint64_t>(ra.hi - ra.lo) * (rb.hi - rb.lo);
            return;
        }
        const bool a_leaf = ra.nd >= a.internal, b_leaf = rb.nd >= b.internal;
        if (a_leaf && b_leaf) {
            const double top = limits[nl - 1];
            LeafBlock lb;
            lb.load(b.entries, rb.lo, rb.hi);
            double d2[SpatialIndex::kLeafSize];
            for (std::size_t i = ra.lo; i < ra.hi; ++i) {
                lb.d2(m, a.entries[i].p, d2);
                for (std::size_t j = 0; j < lb.n; ++j) {
                    if (!(d2[j] <= top)) continue;  // tree points: never NaN
                    // The bin by counting the limits below: no branch to mispredict for a few.
                    std::size_t at = 0;
                    if (nl <= 8) {
                        for (std::size_t t = 0; t < nl; ++t) at += limits[t] < d2[j];
                    } else {
                        at = bin(d2[j]);
                    }
                    ++hist[at];
                }
            }
            return;
        }
        Region c[2];
        if (b_leaf || (!a_leaf && ra.hi - ra.lo >= rb.hi - rb.lo)) {
            children(a, ra, c[0], c[1]);
            node(c[0], rb);
            node(c[1], rb);
        } else {
            children(b, rb, c[0], c[1]);
            node(ra, c[0]);
            node(ra, c[1]);
        }
    }
};

// The regions of a tree's nodes at `level` (or leaves above it), in tree order.
void regions_at(const Tree& t, const Region& r, std::size_t level, std::vector<Region>& out) {
    if (level == 0 || r.nd >= t.internal) {
        out.push_back(r);
        return;
    }
    Region c[2];
    children(t, r, c[0], c[1]);
    regions_at(t, c[0], level - 1, out);
    regions_at(t, c[1], level - 1, out);
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

double below_limit(double bound) noexcept {
    if (bound == kInf) return kInf;
    if (!(bound > 0)) return -1.0;  // no distance is below 0
    // sqrt(t) < bound exactly when sqrt(t) <= the double below bound.
    return radius_limit(std::nextafter(bound, 0.0));
}

SpatialIndex::SpatialIndex(const Vec3d* points, std::size_t n, BlockRunner runner, const Periods& box)
    : runner_(runner), n_(n), box_(box), periodic_(box.any()) {
    entries_.resize(n);
    // Finite points first, in index order; then the others, in index order. The points may be
    // memory that another thread writes meanwhile (an array lent without the interpreter lock):
    // each is read once, and where it goes is decided on that copy, so the two parts always add
    // up to n whatever the memory holds by then.
    // The extent of the tree's points (the box the searches by boxes start from) on the way.
    double mn[3] = {kInf, kInf, kInf}, mx[3] = {-kInf, -kInf, -kInf};
    std::size_t a = 0, b = n;
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3d p = read_once(points + i);
        if (finite(p)) {
            entries_[a++] = {p, i};
            mn[0] = std::min(mn[0], p.x);
            mx[0] = std::max(mx[0], p.x);
            mn[1] = std::min(mn[1], p.y);
            mx[1] = std::max(mx[1], p.y);
            mn[2] = std::min(mn[2], p.z);
            mx[2] = std::max(mx[2], p.z);
        } else {
            entries_[--b] = {p, i};
        }
    }
    std::reverse(entries_.begin() + static_cast<std::ptrdiff_t>(a), entries_.end());
    n_tree_ = a;

    // Along a periodic axis every point lies in [0, L) (NaN points are beside the tree anyway);
    // the first point in index order that does not is the one reported.
    if (periodic_) {
        OutsideBox first{kNoIndex, 0, 0.0};
        for (const Entry& e : entries_) {
            const double c[3] = {e.p.x, e.p.y, e.p.z};
            for (unsigned ax = 0; ax < 3; ++ax)
                if (box_.L[ax] > 0 && !(c[ax] >= 0 && c[ax] < box_.L[ax]) && c[ax] == c[ax] && e.index < first.index)
                    first = {e.index, ax, c[ax]};
        }
        if (first.index != kNoIndex) throw first;
    }
    for (unsigned ax = 0; ax < 3; ++ax) {
        lo_[ax] = mn[ax];
        hi_[ax] = mx[ax];
    }

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

namespace {
template <unsigned A>
inline double key(const SpatialIndex::Entry& e) noexcept {
    if constexpr (A == 0) return e.p.x;
    if constexpr (A == 1) return e.p.y;
    return e.p.z;
}

// Moves the entries of e[lo, hi) whose coordinate A is below t (Less) or at most t (!Less) to the
// front; returns where the rest starts. A median's comparisons are a coin toss each, which a
// predicted branch loses half the time: blocks of entries are first classified without a branch
// (the offsets of those on the wrong side noted), then the wrong ones swapped in pairs.
template <unsigned A, bool Less>
std::ptrdiff_t partition(SpatialIndex::Entry* e, std::ptrdiff_t lo, std::ptrdiff_t hi, double t) noexcept {
    auto goes_left = [t](const SpatialIndex::Entry& x) { return Less ? key<A>(x) < t : key<A>(x) <= t; };
    constexpr std::ptrdiff_t kBlock = 64;
    std::uint8_t off_l[kBlock], off_r[kBlock];
    std::ptrdiff_t l = lo, r = hi, num_l = 0, num_r = 0, start_l = 0, start_r = 0;
    while (r - l > 2 * kBlock) {
        if (num_l == 0) {
            start_l = 0;
            for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
                off_l[num_l] = static_cast<std::uint8_t>(i);
                num_l += !goes_left(e[l + i]);
            }
        }
        if (num_r == 0) {
            start_r = 0;
            for (std::ptrdiff_t i = 0; i < kBlock; ++i) {
                off_r[num_r] = static_cast<std::uint8_t>(i);
                num_r += goes_left(e[r - 1 - i]);
            }
        }
        const std::ptrdiff_t num = std::min(num_l, num_r);
        for (std::ptrdiff_t x = 0; x < num; ++x) std::swap(e[l + off_l[start_l + x]], e[r - 1 - off_r[start_r + x]]);
        num_l -= num;
        num_r -= num;
        start_l += num;
        start_r += num;
        if (num_l == 0) l += kBlock;
        if (num_r == 0) r -= kBlock;
    }
    // The last few (a block may still hold some on the wrong side): one by one.
    std::ptrdiff_t j = l;
    for (std::ptrdiff_t i = l; i < r; ++i) {
        const SpatialIndex::Entry x = e[i];
        const bool take = goes_left(x);
        e[i] = e[j];
        e[j] = x;
        j += take;
    }
    return j;
}

// Puts into e[k] the entry that belongs there in order of coordinate A over e[left..right], with
// none greater before it and none less after it. The pivot is the k-th of a small sample of the
// range (Floyd and Rivest's choice), so that it lands near k and few entries are left after one
// pass. Which of equal coordinates goes where is decided by the data alone.
constexpr std::ptrdiff_t kSmallSelect = 256;

template <unsigned A>
void select(SpatialIndex::Entry* e, std::ptrdiff_t left, std::ptrdiff_t right, std::ptrdiff_t k) noexcept {
    while (right - left > 16) {
        if (right - left < kSmallSelect) {
            // In the cache, a plain selection's few mispredicted branches cost less than the
            // partition's chain of stores.
            std::nth_element(
                e + left, e + k, e + right + 1,
                [](const SpatialIndex::Entry& a, const SpatialIndex::Entry& b) { return key<A>(a) < key<A>(b); });
            return;
        }
        if (right - left > 600) {
            const double n = static_cast<double>(right - left + 1), i = static_cast<double>(k - left + 1);
            const double z = std::log(n), s = 0.5 * std::exp(2.0 * z / 3.0);
            const double sd = 0.5 * std::sqrt(z * s * (n - s) / n) * (i < n / 2 ? -1.0 : 1.0);
            const auto new_left = std::max(left, static_cast<std::ptrdiff_t>(static_cast<double>(k) - i * s / n + sd));
            const auto new_right =
                std::min(right, static_cast<std::ptrdiff_t>(static_cast<double>(k) + (n - i) * s / n + sd));
            select<A>(e, new_left, new_right, k);
        }
        const double t = key<A>(e[k]);
        const std::ptrdiff_t j = partition<A, true>(e, left, right + 1, t);
        if (k < j) {
            right = j - 1;
            continue;
        }
        if (j > left) {
            left = j;
            continue;
        }
        // t is the least: the entries equal to it first.
        const std::ptrdiff_t j2 = partition<A, false>(e, left, right + 1, t);
        if (k < j2) return;
        left = j2;
    }
    for (std::ptrdiff_t i = left + 1; i <= right; ++i) {
        const SpatialIndex::Entry x = e[i];
        std::ptrdiff_t j = i;
        for (; j > left && key<A>(e[j - 1]) > key<A>(x); --j) e[j] = e[j - 1];
        e[j] = x;
    }
}
}  // namespace

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
        // One selection per axis, so that its inner loops have no branch on it.
        const auto l = static_cast<std::ptrdiff_t>(lo), r = static_cast<std::ptrdiff_t>(hi) - 1,
                   k = static_cast<std::ptrdiff_t>(mid);
        switch (axis) {
            case 0:
                select<0>(e, l, r, k);
                break;
            case 1:
                select<1>(e, l, r, k);
                break;
            default:
                select<2>(e, l, r, k);
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

Vec3d SpatialIndex::wrap(const Vec3d& q) const noexcept {
    if (!periodic_) return q;
    double c[3] = {q.x, q.y, q.z};
    for (unsigned a = 0; a < 3; ++a) {
        const double L = box_.L[a];
        if (!(L > 0) || (c[a] >= 0 && c[a] < L)) continue;
        double w = std::fmod(c[a], L);  // exact; NaN for an infinite coordinate
        if (w < 0) w += L;              // rounded: a tiny negative w gives L itself,
        if (w >= L) w = 0.0;            // which is the image 0
        c[a] = w;
    }
    return {c[0], c[1], c[2]};
}

double SpatialIndex::distance_squared(const Vec3d& p, const Vec3d& q) const noexcept {
    if (!periodic_) return p.distance_squared(q);
    return Metric{{box_.L[0], box_.L[1], box_.L[2]}}.d2(p, q);
}

// The first node the k nearest search scans whole (see KnnSearch): the leaves for one neighbour,
// else the nodes whose range holds at least k points on average, at least one level above the
// leaves (the root at most).
std::size_t SpatialIndex::scan_from(std::size_t k) const noexcept {
    std::size_t first = internal_;
    if (k == 1 || first == 0) return first;
    // Points under a leaf's parent, about (internal_ + 1 is the number of leaves, a power of 2).
    std::size_t per_node = 2 * (n_tree_ >> std::countr_zero(internal_ + 1));
    first = (first - 1) / 2;
    while (first > 0 && per_node < k) {
        first = (first - 1) / 2;
        per_node *= 2;
    }
    return first;
}

std::size_t SpatialIndex::nearest_tree(const double q[3], std::size_t k, Hit* best, double limit) const {
    // Unfilled places hold (limit, no index): a point must beat them to enter, which a point at
    // exactly the limit does (its index is lower).
    for (std::size_t i = 0; i < k; ++i) best[i] = {limit, kNoIndex};
    if (n_tree_ == 0) return 0;
    const Tree t{entries_.data(), split_.data(), axis_.data(), min_index_.data(), internal_};
    const Vec3d qv{q[0], q[1], q[2]};
    if (periodic_) {
        const Metric m{{box_.L[0], box_.L[1], box_.L[2]}};
        const Region root{0, 0, n_tree_, {lo_[0], lo_[1], lo_[2]}, {hi_[0], hi_[1], hi_[2]}};
        double g[3];
        low_gaps(m, q, root.blo, root.bhi, g);
        if (k < kHeapFrom) {
            BoxKnn<false> s{t, m, qv, {q[0], q[1], q[2]}, best, k, {lo_[0], lo_[1], lo_[2]}, {hi_[0], hi_[1], hi_[2]}};
            s.node(0, 0, n_tree_, g);
        } else {
            BoxKnn<true> s{t, m, qv, {q[0], q[1], q[2]}, best, k, {lo_[0], lo_[1], lo_[2]}, {hi_[0], hi_[1], hi_[2]}};
            s.node(0, 0, n_tree_, g);
            std::sort_heap(best, best + k, tree_less);
        }
    } else {
        const double g[3] = {0.0, 0.0, 0.0};
        if (k < kHeapFrom) {
            KnnSearch<false> s{t, qv, {q[0], q[1], q[2]}, best, k, scan_from(k)};
            s.node(0, 0, n_tree_, g);
        } else {
            KnnSearch<true> s{t, qv, {q[0], q[1], q[2]}, best, k, scan_from(k)};
            s.node(0, 0, n_tree_, g);
            std::sort_heap(best, best + k, tree_less);
        }
    }
    std::size_t found = 0;
    while (found < k && best[found].index != kNoIndex) ++found;
    return found;
}

std::size_t SpatialIndex::nearest(const Vec3d& q_in, std::size_t k, Hit* out, double limit) const {
    const std::size_t kk = std::min(k, n_);
    if (kk == 0 || limit < 0) return 0;
    const bool bounded = limit != kInf;  // unbounded answers take NaN distances too, last
    const Vec3d q = wrap(q_in);
    if (!finite(q)) {
        // Every squared distance is +inf or NaN: compare with every point.
        std::vector<Hit> all;
        all.reserve(n_);
        for (std::size_t i = 0; i < n_; ++i) {
            const double d2 = distance_squared(entries_[i].p, q);
            if (!bounded || d2 <= limit) all.push_back({d2, entries_[i].index});
        }
        const std::size_t take = std::min(kk, all.size());
        std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(take), all.end(), ranks_before);
        std::copy_n(all.begin(), take, out);
        return take;
    }
    const double qa[3] = {q.x, q.y, q.z};
    const std::size_t found = nearest_tree(qa, kk, out, limit);
    if (n_tree_ == n_) return found;
    // The points outside the tree, merged into the tree's best.
    std::vector<Hit> side;
    side.reserve(n_ - n_tree_);
    for (std::size_t i = n_tree_; i < n_; ++i) {
        const double d2 = distance_squared(entries_[i].p, q);
        if (!bounded || d2 <= limit) side.push_back({d2, entries_[i].index});
    }
    std::stable_sort(side.begin(), side.end(), ranks_before);
    const std::vector<Hit> tree(out, out + found);
    const std::size_t total = std::min(kk, found + side.size());
    std::size_t a = 0, b = 0;
    for (std::size_t j = 0; j < total; ++j) {
        if (b == side.size() || (a < tree.size() && !ranks_before(side[b], tree[a]))) {
            out[j] = tree[a++];
        } else {
            out[j] = side[b++];
        }
    }
    return total;
}

namespace {
// Spreads the low 10 bits of v to every third bit.
inline std::uint32_t spread3(std::uint32_t v) noexcept {
    v &= 0x3ff;
    v = (v | (v << 16)) & 0x030000ff;
    v = (v | (v << 8)) & 0x0300f00f;
    v = (v | (v << 4)) & 0x030c30c3;
    v = (v | (v << 2)) & 0x09249249;
    return v;
}
}  // namespace

// Queries are put in the order of a Z-curve over the tree's extent, so that queries near each
// other are answered one after the other and find the nodes and leaves they share still in the
// cache; copy[o] is then query order[o], so that the searches read them in order too (a query
// read from far away costs a cache miss that nothing else hides). Each query is copied once
// (another thread may write them meanwhile), and its answer comes from that copy; the key it was
// ordered by may come from an earlier read, which only steers the speed.
void SpatialIndex::ordered_queries(const Vec3d* queries, std::size_t m, std::vector<Vec3d>& copy,
                                   std::vector<std::size_t>& order) const {
    copy.resize(m);
    order.resize(m);
    if (m < kOrderFrom || m > std::numeric_limits<std::uint32_t>::max() || n_tree_ == 0) {
        for (std::size_t i = 0; i < m; ++i) {
            order[i] = i;
            copy[i] = read_once(queries + i);
        }
        return;
    }
    // Cells of 1/2^bits of the extent along each axis, about one query in eight cells: finer
    // cells would only order queries that share their leaves anyway. Anything outside (or NaN) is
    // clamped.
    unsigned bits = 4;
    while (bits < 10 && (std::size_t{1} << (3 * bits)) < 8 * m) ++bits;
    const std::uint32_t cells = 1u << bits;
    double scale[3];
    for (unsigned a = 0; a < 3; ++a) {
        const double ext = hi_[a] * 0.5 - lo_[a] * 0.5;
        scale[a] = ext > 0 ? 0.5 * cells / ext : 0.0;
    }
    std::vector<std::uint64_t> keyed(m), spare(m);
    for (std::size_t i = 0; i < m; ++i) {
        const Vec3d w = wrap(read_once(queries + i));
        const double c[3] = {w.x, w.y, w.z};
        std::uint32_t key = 0;
        for (unsigned a = 0; a < 3; ++a) {
            const double t = (c[a] - lo_[a]) * scale[a];
            const std::uint32_t cell = t >= 0 ? (t < cells - 1 ? static_cast<std::uint32_t>(t) : cells - 1) : 0u;
            key |= spread3(cell) << a;
        }
        keyed[i] = (std::uint64_t{key} << 32) | i;
    }
    // Least significant digit first over the 3 * bits key bits, 11 at a time: stable, so that
    // equal keys keep the queries' order.
    constexpr unsigned kDigit = 11;
    constexpr std::uint64_t kDigitMask = (1u << kDigit) - 1;
    std::vector<std::size_t> count((1u << kDigit) + 1);
    for (unsigned shift = 32; shift < 32 + 3 * bits; shift += kDigit) {
        std::fill(count.begin(), count.end(), 0);
        for (std::uint64_t v : keyed) ++count[((v >> shift) & kDigitMask) + 1];
        for (std::size_t d = 0; d < kDigitMask + 1; ++d) count[d + 1] += count[d];
        for (std::uint64_t v : keyed) spare[count[(v >> shift) & kDigitMask]++] = v;
        keyed.swap(spare);
    }
    for (std::size_t o = 0; o < m; ++o) {
        order[o] = static_cast<std::uint32_t>(keyed[o]);
        copy[o] = read_once(queries + order[o]);
    }
}

void SpatialIndex::nearest_many(const Vec3d* queries, std::size_t m, std::size_t k, std::ptrdiff_t* indices,
                                double* distances, double limit) const {
    if (k == 0) return;
    const std::size_t kk = std::min(k, n_);
    std::vector<Vec3d> copy;
    std::vector<std::size_t> order;
    // In chunks, so that the queries' copy and order stay a bounded extra.
    for (std::size_t c0 = 0; c0 < m; c0 += kOrderChunk) {
        const std::size_t cm = std::min(kOrderChunk, m - c0);
        ordered_queries(queries + c0, cm, copy, order);
        run_blocks(runner_, cm, kQueryGrain, [&](std::size_t b, std::size_t e) {
            std::vector<Hit> best(kk == 0 ? 1 : kk);
            for (std::size_t o = b; o < e; ++o) {
                const std::size_t i = order[o];
                const std::size_t found = nearest(copy[o], kk, best.data(), limit);
                std::ptrdiff_t* idx = indices + (c0 + i) * k;
                double* dist = distances + (c0 + i) * k;
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
}

template <class Visit>
void SpatialIndex::visit_within(const Vec3d& q_in, double limit, Visit&& visit) const {
    if (!(limit >= 0) || n_ == 0) return;
    const Vec3d q = wrap(q_in);
    if (!finite(q)) {
        // Every squared distance is +inf or NaN: only an infinite radius takes any.
        if (limit != kInf) return;
        for (const Entry& e : entries_) {
            const double d2 = distance_squared(e.p, q);
            if (d2 <= limit) visit(d2, e.index);
        }
        return;
    }
    if (n_tree_ != 0) {
        const Tree t{entries_.data(), split_.data(), axis_.data(), min_index_.data(), internal_};
        if (periodic_) {
            const Metric m{{box_.L[0], box_.L[1], box_.L[2]}};
            auto leaf = [&](std::size_t lo, std::size_t hi) {
                for (std::size_t i = lo; i < hi; ++i) {
                    const Entry& e = entries_[i];
                    const double d2 = m.d2(e.p, q);
                    if (d2 <= limit) visit(d2, e.index);
                }
            };
            BoxRange<decltype(leaf)> s{t,    m, {q.x, q.y, q.z},          limit,
                                       leaf, 0, {lo_[0], lo_[1], lo_[2]}, {hi_[0], hi_[1], hi_[2]}};
            double g[3];
            low_gaps(m, s.q, s.blo, s.bhi, g);
            s.node(0, 0, n_tree_, g);
        } else {
            auto leaf = [&](std::size_t lo, std::size_t hi) {
                for (std::size_t i = lo; i < hi; ++i) {
                    const Entry& e = entries_[i];
                    const double d2 = e.p.distance_squared(q);
                    if (d2 <= limit) visit(d2, e.index);
                }
            };
            RangeSearch<decltype(leaf)> s{t, {q.x, q.y, q.z}, limit, leaf};
            const double g[3] = {0.0, 0.0, 0.0};
            s.node(0, 0, n_tree_, g);
        }
    }
    for (std::size_t i = n_tree_; i < n_; ++i) {
        const Entry& e = entries_[i];
        const double d2 = distance_squared(e.p, q);
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

namespace {
// Each block's results in its own part, put in order afterwards.
template <class T>
struct Parts {
    struct Part {
        std::size_t begin;
        std::vector<T> items;
        std::size_t end;
    };
    std::vector<Part> parts;
    std::mutex m;
    void add(std::size_t begin, std::vector<T>&& items, std::size_t end = 0) {
        std::lock_guard lk(m);
        parts.push_back({begin, std::move(items), end});
    }
};
}  // namespace

void SpatialIndex::within_many(const Vec3d* queries, std::size_t m, double r, std::vector<std::ptrdiff_t>& indices,
                               std::vector<double>& distances, std::vector<std::size_t>& offsets) const {
    indices.clear();
    distances.clear();
    offsets.assign(m + 1, 0);
    if (m == 0) return;
    std::vector<Vec3d> copy;
    std::vector<std::size_t> order;
    ordered_queries(queries, m, copy, order);
    // Each block's hits in the order its queries were answered; each query's count meanwhile.
    Parts<Hit> parts;
    run_blocks(runner_, m, kQueryGrain, [&](std::size_t b, std::size_t e) {
        std::vector<Hit> hits;
        for (std::size_t o = b; o < e; ++o) {
            const std::size_t i = order[o], before = hits.size();
            within(copy[o], r, hits);
            offsets[i + 1] = hits.size() - before;
        }
        parts.add(b, std::move(hits), e);
    });
    for (std::size_t i = 0; i < m; ++i) offsets[i + 1] += offsets[i];
    indices.resize(offsets[m]);
    distances.resize(offsets[m]);
    for (const auto& part : parts.parts) {
        const Hit* h = part.items.data();
        for (std::size_t o = part.begin; o < part.end; ++o) {
            const std::size_t i = order[o];
            for (std::size_t at = offsets[i]; at < offsets[i + 1]; ++at, ++h) {
                indices[at] = static_cast<std::ptrdiff_t>(h->index);
                distances[at] = distance_of(*h);
            }
        }
    }
}

void SpatialIndex::count_within_many(const Vec3d* queries, std::size_t m, double r, std::ptrdiff_t* counts) const {
    std::vector<Vec3d> copy;
    std::vector<std::size_t> order;
    for (std::size_t c0 = 0; c0 < m; c0 += kOrderChunk) {
        const std::size_t cm = std::min(kOrderChunk, m - c0);
        ordered_queries(queries + c0, cm, copy, order);
        run_blocks(runner_, cm, kQueryGrain, [&](std::size_t b, std::size_t e) {
            for (std::size_t o = b; o < e; ++o) {
                const std::size_t i = order[o];
                counts[c0 + i] = static_cast<std::ptrdiff_t>(count_within(copy[o], r));
            }
        });
    }
}

void SpatialIndex::pairs_within(double r, std::vector<std::ptrdiff_t>& out) const {
    const double limit = radius_limit(r);
    if (!(limit >= 0) || n_ < 2) return;
    // A self-join in tree order: the point at tree position e meets only the positions after it,
    // so each pair is found once (and the search skips every subtree wholly before e). Pairs
    // with a point beside the tree have an infinite or NaN distance: only r = inf takes them.
    const Tree t{entries_.data(), split_.data(), axis_.data(), min_index_.data(), internal_};
    const Metric m{{box_.L[0], box_.L[1], box_.L[2]}};
    const bool side_too = limit == kInf;
    struct Pair {
        std::size_t i, j;
    };
    Parts<Pair> parts;
    run_blocks(runner_, n_, kQueryGrain, [&](std::size_t b, std::size_t e) {
        std::vector<Pair> mine;
        for (std::size_t pos = b; pos < e; ++pos) {
            const Entry& me = entries_[pos];
            auto take = [&](std::size_t lo, std::size_t hi) {
                for (std::size_t o = lo; o < hi; ++o) {
                    const Entry& other = entries_[o];
                    if (distance_squared(other.p, me.p) <= limit)
                        mine.push_back(me.index < other.index ? Pair{me.index, other.index}
                                                              : Pair{other.index, me.index});
                }
            };
            if (pos < n_tree_) {
                const double q[3] = {me.p.x, me.p.y, me.p.z};
                if (periodic_) {
                    auto leaf = [&](std::size_t lo, std::size_t hi) {
                        for (std::size_t o = lo; o < hi; ++o) {
                            const Entry& other = entries_[o];
                            if (o != pos && m.d2(other.p, me.p) <= limit)
                                mine.push_back(me.index < other.index ? Pair{me.index, other.index}
                                                                      : Pair{other.index, me.index});
                        }
                    };
                    BoxRange<decltype(leaf)> s{t,    m,       {q[0], q[1], q[2]},       limit,
                                               leaf, pos + 1, {lo_[0], lo_[1], lo_[2]}, {hi_[0], hi_[1], hi_[2]}};
                    double g[3];
                    low_gaps(m, q, s.blo, s.bhi, g);
                    s.node(0, 0, n_tree_, g);
                } else {
                    auto leaf = [&](std::size_t lo, std::size_t hi) {
                        for (std::size_t o = lo; o < hi; ++o) {
                            const Entry& other = entries_[o];
                            if (other.p.distance_squared(me.p) <= limit)
                                mine.push_back(me.index < other.index ? Pair{me.index, other.index}
                                                                      : Pair{other.index, me.index});
                        }
                    };
                    RangeSearch<decltype(leaf)> s{t, {q[0], q[1], q[2]}, limit, leaf, pos + 1};
                    const double g[3] = {0.0, 0.0, 0.0};
                    s.node(0, 0, n_tree_, g);
                }
                if (side_too) take(n_tree_, n_);
            } else if (side_too) {
                take(pos + 1, n_);
            }
        }
        parts.add(b, std::move(mine));
    });
    // Into (i, j) order: counted by i, each j placed in its i's stretch of the output, then each
    // i's partners sorted and its own column filled in, on the pool.
    std::vector<std::size_t> start(n_ + 1, 0);
    std::size_t total = 0;
    for (const auto& part : parts.parts) {
        total += part.items.size();
        for (const Pair& pr : part.items) ++start[pr.i + 1];
    }
    for (std::size_t i = 0; i < n_; ++i) start[i + 1] += start[i];
    const std::size_t base = out.size();
    out.resize(base + 2 * total);
    std::ptrdiff_t* const o = out.data() + base;
    {
        std::vector<std::size_t> at(start.begin(), start.end() - 1);
        for (const auto& part : parts.parts)
            for (const Pair& pr : part.items) o[2 * at[pr.i]++ + 1] = static_cast<std::ptrdiff_t>(pr.j);
    }
    parts.parts.clear();
    run_blocks(runner_, n_, 256, [&](std::size_t b, std::size_t e) {
        std::vector<std::ptrdiff_t> many;
        for (std::size_t i = b; i < e; ++i) {
            const std::size_t s0 = start[i], s1 = start[i + 1];
            for (std::size_t s = s0; s < s1; ++s) o[2 * s] = static_cast<std::ptrdiff_t>(i);
            if (s1 - s0 <= 16) {
                for (std::size_t s = s0 + 1; s < s1; ++s) {
                    const std::ptrdiff_t j = o[2 * s + 1];
                    std::size_t at = s;
                    for (; at > s0 && o[2 * at - 1] > j; --at) o[2 * at + 1] = o[2 * at - 1];
                    o[2 * at + 1] = j;
                }
            } else {
                many.clear();
                for (std::size_t s = s0; s < s1; ++s) many.push_back(o[2 * s + 1]);
                std::sort(many.begin(), many.end());
                for (std::size_t s = s0; s < s1; ++s) o[2 * s + 1] = many[s - s0];
            }
        }
    });
}

void SpatialIndex::count_bins(const Vec3d& q, const double* limits, std::size_t nl, std::uint64_t* hist) const {
    auto bin = [&](double d2) { return static_cast<std::size_t>(std::lower_bound(limits, limits + nl, d2) - limits); };
    if (!finite(q)) {
        for (const Entry& e : entries_) {
            const double d2 = distance_squared(e.p, q);
            if (d2 == d2 && bin(d2) < nl) ++hist[bin(d2)];
        }
        return;
    }
    if (n_tree_ != 0) {
        const Tree t{entries_.data(), split_.data(), axis_.data(), min_index_.data(), internal_};
        BoxCount s{t, Metric{{box_.L[0], box_.L[1], box_.L[2]}}, q, {q.x, q.y, q.z}, limits, nl, hist};
        const Region root{0, 0, n_tree_, {lo_[0], lo_[1], lo_[2]}, {hi_[0], hi_[1], hi_[2]}};
        double gl[3], gh[3];
        for (unsigned a = 0; a < 3; ++a) s.m.axis_bounds(a, s.q[a], root.blo[a], root.bhi[a], gl[a], gh[a]);
        s.node(root, gl, gh);
    }
    for (std::size_t i = n_tree_; i < n_; ++i) {
        const double d2 = distance_squared(entries_[i].p, q);
        if (d2 == d2 && bin(d2) < nl) ++hist[bin(d2)];
    }
}

void SpatialIndex::count_bins_with(const SpatialIndex& other, const double* limits, std::size_t nl,
                                   std::uint64_t* hist) const {
    std::mutex mu;
    auto add = [&](const std::vector<std::uint64_t>& mine) {
        std::lock_guard lk(mu);
        for (std::size_t t = 0; t < nl; ++t) hist[t] += mine[t];
    };
    // Tree against tree: this tree's nodes a few levels down, each walked against the other's
    // whole tree, as the blocks of the worker pool.
    if (n_tree_ != 0 && other.n_tree_ != 0) {
        const Tree ta{entries_.data(), split_.data(), axis_.data(), min_index_.data(), internal_};
        const Tree tb{other.entries_.data(), other.split_.data(), other.axis_.data(), other.min_index_.data(),
                      other.internal_};
        std::vector<Region> tasks;
        regions_at(ta, Region{0, 0, n_tree_, {lo_[0], lo_[1], lo_[2]}, {hi_[0], hi_[1], hi_[2]}}, kLevelsByLevel,
                   tasks);
        const Region root_b{0,
                            0,
                            other.n_tree_,
                            {other.lo_[0], other.lo_[1], other.lo_[2]},
                            {other.hi_[0], other.hi_[1], other.hi_[2]}};
        run_blocks(runner_, tasks.size(), 1, [&](std::size_t b, std::size_t e) {
            std::vector<std::uint64_t> mine(nl, 0);
            DualCount walk{ta, tb, Metric{{box_.L[0], box_.L[1], box_.L[2]}}, limits, nl, mine.data()};
            for (std::size_t i = b; i < e; ++i) walk.node(tasks[i], root_b);
            add(mine);
        });
    }
    // This index's points beside its tree against every point of the other; the other's beside
    // its tree against this tree's points. Their distances are infinite or NaN: only an infinite
    // radius takes any.
    if (limits[nl - 1] != kInf) return;
    auto bin_of = [&](double d2) {
        return static_cast<std::size_t>(std::lower_bound(limits, limits + nl, d2) - limits);
    };
    std::vector<std::uint64_t> mine(nl, 0);
    for (std::size_t i = n_tree_; i < n_; ++i) other.count_bins(entries_[i].p, limits, nl, mine.data());
    for (std::size_t j = other.n_tree_; j < other.n_; ++j)
        for (std::size_t i = 0; i < n_tree_; ++i) {
            const double d2 = distance_squared(entries_[i].p, other.entries_[j].p);
            if (d2 == d2 && bin_of(d2) < nl) ++mine[bin_of(d2)];
        }
    add(mine);
}

void SpatialIndex::count_pairs(const SpatialIndex& other, const double* radii, std::size_t nr,
                               std::uint64_t* counts) const {
    // The radii's limits, increasing and without repeats: the bins.
    std::vector<double> limits(nr);
    for (std::size_t t = 0; t < nr; ++t) limits[t] = radius_limit(radii[t]);
    std::vector<double> bins = limits;
    std::sort(bins.begin(), bins.end());
    bins.erase(std::unique(bins.begin(), bins.end()), bins.end());
    while (!bins.empty() && bins.front() < 0) bins.erase(bins.begin());
    std::vector<std::uint64_t> hist(bins.size() + 1, 0);
    // The count is symmetric: the larger tree is cut into the blocks of the worker pool.
    const SpatialIndex& cut = n_ >= other.n_ ? *this : other;
    if (!bins.empty()) cut.count_bins_with(&cut == this ? other : *this, bins.data(), bins.size(), hist.data());
    for (std::size_t t = 1; t < bins.size(); ++t) hist[t] += hist[t - 1];
    for (std::size_t t = 0; t < nr; ++t) {
        if (limits[t] < 0) {
            counts[t] = 0;
            continue;
        }
        counts[t] =
            hist[static_cast<std::size_t>(std::lower_bound(bins.begin(), bins.end(), limits[t]) - bins.begin())];
    }
}

}  // namespace ostrilo::spatial
