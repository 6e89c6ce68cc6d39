// An exact spatial index over a snapshot of points: k nearest, within a radius, counts.
//
// Pure C++ on the worker pool; nothing here touches the Python API.
//
// Exactness. Every distance is the one Vec3d::distance_squared gives, the same bits, and every
// answer is the one a scan of all points in index order gives:
//   - points are ranked by (squared distance, index): ties go to the lowest index;
//   - a NaN squared distance ranks after every number, +inf included, and all NaNs rank alike
//     (their order is by index, whatever the payload);
//   - "within r" means sqrt(d2) <= r, the distance the caller is shown, not d2 <= r * r.
// Pruning never compares anything but lower bounds that are themselves rounded the same way as
// the distances: rounding is monotone, so a bound of a region never exceeds the computed squared
// distance of any point in it.
//
// Layout. A k-d tree with an implicit, balanced shape: node i has children 2i+1 and 2i+2, the
// root covers [0, n) of the points in tree order and a node over [lo, hi) splits it at
// lo + (hi - lo) / 2. Internal nodes store their split axis and value and the lowest original index
// below them, so that ties at the pruning bound are decided without a visit.
// Points with a NaN or infinite coordinate are kept out of the tree, after its points, in index
// order, and compared with every query.
//
// A periodic box. Along an axis with a period L > 0, points must lie in [0, L) (or be NaN), a
// query is first wrapped into [0, L), and the distance along the axis is that of the nearest
// image: d = |p - q|, then min(d, L - d), each rounded once; the squared distance is
// (dx * dx + dy * dy) + dz * dz of those. Along every other axis d = |p - q|, so that without a
// period the bits are Vec3d's. The searches then bound each region by the box its splits leave
// (rounded the same way: |p - q| and L - d are monotone in p), never by a plane alone.
//
// The build, and the queries of many points, run on the worker pool (through a BlockRunner, so
// that this file needs no particular pool); the results do not depend on the number of threads
// or on how the blocks are cut. A built index is immutable: any number of threads may query it.
#pragma once

#include "drevan/vec3d.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrilo::spatial {

using drevan::Vec3d;

// Runs body(ctx, begin, end) over contiguous blocks of [0, n) of at least `grain` elements,
// returning when all are done; false if it could not run them. Bodies never throw.
using BlockRunner = bool (*)(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t) noexcept,
                             void* ctx) noexcept;

// One neighbour: its squared distance and its index in the points the index was built from.
struct Hit {
    double d2;
    std::size_t index;
};

// The ranking of squared distances: IEEE order for numbers (they are never negative), every NaN
// above +inf and equal to every other NaN.
inline std::uint64_t rank_key(double d2) noexcept {
    return d2 != d2 ? 0x7ff8'0000'0000'0000ULL : __builtin_bit_cast(std::uint64_t, d2);
}

// The distance reported for a hit, by every query path alike: the square root of its squared
// distance, and for a NaN the one quiet NaN (bits 0x7ff8000000000000) whatever payload and sign
// the coordinates carried, the same bits as the list operations give. Decided on the bits: clang
// folds `d == d ? d : NaN` to `d`, as it may treat every NaN as any other.
inline double distance_of(const Hit& h) noexcept {
    std::uint64_t bits = std::bit_cast<std::uint64_t>(std::sqrt(h.d2));
    if ((bits & 0x7fffffffffffffffULL) > 0x7ff0000000000000ULL) bits = 0x7ff8000000000000ULL;
    return std::bit_cast<double>(bits);
}

// (key, index) order: the one the answers are sorted by.
inline bool ranks_before(const Hit& a, const Hit& b) noexcept {
    const std::uint64_t ka = rank_key(a.d2), kb = rank_key(b.d2);
    return ka < kb || (ka == kb && a.index < b.index);
}

// The largest squared distance whose square root is at most r, so that sqrt(d2) <= r exactly
// when d2 <= radius_limit(r). r must be a number >= 0 (+inf allowed).
double radius_limit(double r) noexcept;

// The periods of a box, per axis; 0 where the axis is not periodic.
struct Periods {
    double L[3] = {0.0, 0.0, 0.0};
    bool any() const noexcept { return L[0] > 0 || L[1] > 0 || L[2] > 0; }
    bool operator==(const Periods&) const = default;
};

// Thrown by the constructor for a point outside [0, L) along a periodic axis (NaN is allowed).
struct OutsideBox {
    std::size_t index;
    unsigned axis;
    double value;
};

// The largest squared distance whose square root is below `bound` (the answers of a k nearest
// search bounded by distance_upper_bound); +inf when bound is +inf (no bound at all), -1 when
// nothing is below it.
double below_limit(double bound) noexcept;

class SpatialIndex {
  public:
    // Padding index for k nearest when fewer than k points exist: the number of points.
    // Padding distances are +inf.

    SpatialIndex() = default;
    // Copies the points (reading each once: they may change meanwhile) and builds the tree;
    // `runner` also runs the later queries of many points. May throw std::bad_alloc.
    SpatialIndex(const Vec3d* points, std::size_t n, BlockRunner runner, const Periods& box = {});

    const Periods& periods() const noexcept { return box_; }
    // A query moved into the box along its periodic axes (an infinite coordinate there gives NaN:
    // it has no image); unchanged along the others.
    Vec3d wrap(const Vec3d& q) const noexcept;
    // The squared distance of the index's metric between a point and a wrapped query.
    double distance_squared(const Vec3d& p, const Vec3d& q) const noexcept;

    std::size_t size() const noexcept { return n_; }
    // Bytes held by the index (points, indices and nodes).
    std::size_t memory_bytes() const noexcept;
    // The points in their original order.
    void copy_points(Vec3d* out) const noexcept;

    // The min(k, n) nearest points of q in (distance, index) order, into out[0..); returns how
    // many. k may be 0. With a `limit` (below_limit of a bound), only points with d2 <= limit.
    std::size_t nearest(const Vec3d& q, std::size_t k, Hit* out, double limit = kNoLimit) const;

    // For m queries: indices (m x k, row-major) and distances (square roots), padded with
    // (size(), +inf) where fewer than k points exist (or lie within the limit). On the worker pool.
    void nearest_many(const Vec3d* queries, std::size_t m, std::size_t k, std::ptrdiff_t* indices, double* distances,
                      double limit = kNoLimit) const;

    // Points with sqrt(d2) <= r, sorted by (distance, index), appended to out. r >= 0.
    void within(const Vec3d& q, double r, std::vector<Hit>& out) const;
    // Their number, without collecting them.
    std::size_t count_within(const Vec3d& q, double r) const;

    // For m queries, on the worker pool: the indices within r of each, concatenated in query
    // order, with offsets[i]..offsets[i + 1] the range of query i (offsets has m + 1 entries).
    void within_many(const Vec3d* queries, std::size_t m, double r, std::vector<std::ptrdiff_t>& indices,
                     std::vector<double>& distances, std::vector<std::size_t>& offsets) const;
    // The counts only.
    void count_within_many(const Vec3d* queries, std::size_t m, double r, std::ptrdiff_t* counts) const;

    // Every pair i < j of points within r of each other, as (i, j) in increasing order of i,
    // then j, appended to `out` two entries a pair. On the worker pool.
    void pairs_within(double r, std::vector<std::ptrdiff_t>& out) const;
    // For each radius radii[t] (numbers >= 0, any order), the number of pairs (i, j), i a point
    // of this index and j one of `other`'s, within it of each other: counts[t]. Both indexes
    // must have the same periods. On the worker pool.
    void count_pairs(const SpatialIndex& other, const double* radii, std::size_t nr, std::uint64_t* counts) const;

    // No limit on the distance of k nearest (the default).
    static constexpr double kNoLimit = __builtin_inf();

    // Queries from this many on are answered in an order that keeps neighbours together.
    static constexpr std::size_t kOrderFrom = 4096;
    // The k nearest and the counts order this many queries at a time (the radius answers, whose
    // own size is in proportion, all at once).
    static constexpr std::size_t kOrderChunk = std::size_t{1} << 18;
    // Leaf bucket size the tree aims for (at most this many points per leaf).
    static constexpr std::size_t kLeafSize = 12;

    struct Entry {
        Vec3d p;
        std::size_t index;
    };

  private:
    void ordered_queries(const Vec3d* queries, std::size_t m, std::vector<Vec3d>& copy,
                         std::vector<std::size_t>& order) const;
    template <class Visit>
    void visit_within(const Vec3d& q, double limit, Visit&& visit) const;
    // Adds to hist[t] the points whose squared distance to the wrapped, finite q is in
    // (limits[t - 1], limits[t]] (limits increasing); points beyond the last are not counted.
    void count_bins(const Vec3d& q, const double* limits, std::size_t nl, std::uint64_t* hist) const;
    // Adds to hist[t] the pairs (a point of this index, one of other's) whose squared distance is
    // in (limits[t - 1], limits[t]]; limits increasing, pairs beyond the last not counted.
    void count_bins_with(const SpatialIndex& other, const double* limits, std::size_t nl, std::uint64_t* hist) const;
    void build_node(std::size_t node, std::size_t lo, std::size_t hi);
    std::size_t build_subtree(std::size_t node, std::size_t lo, std::size_t hi);
    std::size_t lowest_below(std::size_t node, std::size_t lo, std::size_t hi) const;
    std::size_t scan_from(std::size_t k) const noexcept;
    std::size_t nearest_tree(const double q[3], std::size_t k, Hit* best, double limit) const;

    BlockRunner runner_ = nullptr;
    std::size_t n_ = 0;         // all points
    std::size_t n_tree_ = 0;    // points in the tree: entries_[0, n_tree_)
    std::size_t internal_ = 0;  // internal nodes: 2^depth - 1
    std::vector<Entry> entries_;
    std::vector<double> split_;           // per internal node
    std::vector<std::uint8_t> axis_;      // per internal node
    std::vector<std::size_t> min_index_;  // per internal node
    Periods box_;
    bool periodic_ = false;
    double lo_[3] = {0, 0, 0}, hi_[3] = {0, 0, 0};  // the extent of the tree's points
};

}  // namespace ostrilo::spatial
