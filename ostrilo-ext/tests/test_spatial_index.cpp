// Tests of the spatial index against a scan of every point, the oracle: the same indices in the
// same order and the same bits for every distance, on random and adversarial point sets, for
// queries from one thread and from many at once. Prints one line per failed check and a closing
// "N passed, N failed" line; exit status 0 iff all pass.

#include "spatial_index.hpp"
#include "worker_pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace sp = ostrilo::spatial;
using sp::Hit;
using sp::SpatialIndex;
using sp::Vec3d;

namespace {

int g_failed = 0;
int g_passed = 0;

#define CHECK(cond, ...)                                                                  \
    do {                                                                                  \
        if (cond) {                                                                       \
            ++g_passed;                                                                   \
        } else {                                                                          \
            ++g_failed;                                                                   \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                            \
            std::fputc('\n', stderr);                                                     \
        }                                                                                 \
    } while (0)

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The bits of a number; every NaN alike (the sign and payload of a NaN from inf - inf or from a
// NaN operand is the processor's and the compiler's choice, not ours).
std::uint64_t bits(double x) {
    if (std::isnan(x)) return 0x7ff8'0000'0000'0000ULL;
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The oracle: every point's squared distance, written out as the vector type computes it,
// ranked by (key, index) with every NaN alike and after +inf.
std::vector<Hit> scan_all(const std::vector<Vec3d>& pts, const Vec3d& q) {
    std::vector<Hit> all(pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i) all[i] = {pts[i].distance_squared(q), i};
    std::stable_sort(all.begin(), all.end(), [](const Hit& a, const Hit& b) {
        const bool na = std::isnan(a.d2), nb = std::isnan(b.d2);
        if (na || nb) return !na && nb;
        return a.d2 < b.d2;
    });
    return all;
}

std::vector<Hit> scan_nearest(const std::vector<Hit>& all, std::size_t k) {
    return {all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(k, all.size()))};
}

std::vector<Hit> scan_within(const std::vector<Hit>& all, double r) {
    std::vector<Hit> out;
    for (const Hit& h : all)
        if (std::sqrt(h.d2) <= r) out.push_back(h);
    return out;
}

bool same_hits(const std::vector<Hit>& a, const std::vector<Hit>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].index != b[i].index || bits(a[i].d2) != bits(b[i].d2)) {
            std::fprintf(stderr, "  at %zu: index %zu d2 %.17g, expected index %zu d2 %.17g\n", i, a[i].index, a[i].d2,
                         b[i].index, b[i].d2);
            return false;
        }
    }
    return true;
}

std::string describe(const Vec3d& q) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "(%.17g, %.17g, %.17g)", q.x, q.y, q.z);
    return buf;
}

struct Case {
    const char* name;
    std::vector<Vec3d> points;
    std::vector<Vec3d> queries;
    std::vector<double> radii;
};

// The process-wide pool, as the extension lends it.
bool run_on_pool(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t) noexcept,
                 void* ctx) noexcept {
    try {
        ostrilo::pool::for_blocks(
            n, [&](std::size_t b, std::size_t e) { body(ctx, b, e); }, ostrilo::pool::Grain{grain});
        return true;
    } catch (...) {
        return false;
    }
}

std::mt19937_64 g_rng(12345);

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(g_rng); }

std::vector<Vec3d> uniform_points(std::size_t n, double scale) {
    std::vector<Vec3d> p(n);
    for (auto& v : p) v = {uniform(-scale, scale), uniform(-scale, scale), uniform(-scale, scale)};
    return p;
}

// Points on a few surfaces (spheres and planes), as scanners produce: many share coordinates.
std::vector<Vec3d> surface_points(std::size_t n) {
    std::vector<Vec3d> p(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double u = uniform(0, 6.283185307179586), v = uniform(-1, 1);
        const double s = std::sqrt(1 - v * v);
        switch (i % 3) {
            case 0:
                p[i] = {std::cos(u) * s, std::sin(u) * s, v};
                break;
            case 1:
                p[i] = {uniform(-3, 3), uniform(-3, 3), -2.0};
                break;
            default:
                p[i] = {5.0, std::round(uniform(-20, 20)) * 0.125, std::round(uniform(-20, 20)) * 0.125};
                break;
        }
    }
    return p;
}

std::vector<Case> make_cases() {
    std::vector<Case> cases;
    auto add = [&](const char* name, std::vector<Vec3d> pts, double scale, std::vector<double> radii) {
        Case c{name, std::move(pts), {}, std::move(radii)};
        auto q = uniform_points(60, scale);
        c.queries = q;
        for (std::size_t i = 0; i < c.points.size() && i < 400; i += 37) c.queries.push_back(c.points[i]);
        c.queries.push_back({0, 0, 0});
        cases.push_back(std::move(c));
    };
    add("empty", {}, 1, {0.0, 1.0, kInf});
    add("one", {{1, 2, 3}}, 3, {0.0, 2.0, kInf});
    add("uniform small", uniform_points(50, 1), 1, {0.0, 0.3, 1.0});
    add("uniform", uniform_points(3000, 1), 1, {0.05, 0.2});
    add("uniform large", uniform_points(70000, 1), 1, {0.02, 0.05});
    {
        auto p = uniform_points(400, 1);
        std::vector<Vec3d> d;
        for (int rep = 0; rep < 5; ++rep) d.insert(d.end(), p.begin(), p.end());
        add("duplicates", d, 1, {0.0, 0.1});
    }
    add("all equal", std::vector<Vec3d>(5000, Vec3d{0.5, -0.25, 2.0}), 1, {0.0, 1.0});
    {
        std::vector<Vec3d> p(4000);
        for (std::size_t i = 0; i < p.size(); ++i) p[i] = {0.25 * static_cast<double>(i % 200), 0, 0};
        add("collinear grid", p, 50, {0.0, 0.25, 1.0});
    }
    {
        std::vector<Vec3d> p(4000);
        for (auto& v : p) v = {std::round(uniform(-10, 10)), std::round(uniform(-10, 10)), 3.0};
        add("coplanar lattice", p, 10, {0.0, 1.0, 1.5});
    }
    add("surfaces", surface_points(40000), 3, {0.01, 0.1});
    {
        auto p = uniform_points(3000, 1);
        for (auto& v : p) v = {v.x * 1e300, v.y * 1e300, v.z * 1e-300};
        add("huge magnitudes", p, 1e300, {1e299, 1e308, kInf});
    }
    {
        auto p = uniform_points(3000, 1);
        for (auto& v : p) v = {v.x * 1e-310, v.y * 1e-310, v.z * 1e-310};
        add("tiny magnitudes", p, 1e-310, {0.0, 1e-311, 5e-324});
    }
    {
        auto p = uniform_points(3000, 1);
        for (std::size_t i = 0; i < p.size(); i += 7) p[i].x = kNaN;
        for (std::size_t i = 3; i < p.size(); i += 11) p[i].z = -kNaN;
        for (std::size_t i = 5; i < p.size(); i += 13) p[i].y = kInf;
        for (std::size_t i = 9; i < p.size(); i += 17) p[i].y = -kInf;
        add("NaN and inf coordinates", p, 1, {0.1, kInf});
    }
    {
        std::vector<Vec3d> p(20, Vec3d{kNaN, 0, 0});
        p[13] = {1, 1, 1};
        add("mostly NaN", p, 1, {0.5, kInf});
    }
    // Queries with non-finite coordinates against every set.
    for (auto& c : cases) {
        c.queries.push_back({kNaN, 0, 0});
        c.queries.push_back({kInf, 0, 0});
        c.queries.push_back({-kInf, kInf, 1});
        c.queries.push_back({1e308, -1e308, 1e308});
    }
    return cases;
}

void test_case(const Case& c) {
    const SpatialIndex index(c.points.data(), c.points.size(), run_on_pool);
    CHECK(index.size() == c.points.size(), "%s", c.name);
    std::vector<Vec3d> back(c.points.size());
    index.copy_points(back.data());
    // (memcmp of an empty set would be handed null pointers, which it must never be.)
    CHECK(back.empty() || std::memcmp(back.data(), c.points.data(), back.size() * sizeof(Vec3d)) == 0,
          "%s: points round trip", c.name);

    const std::size_t n = c.points.size();
    std::vector<std::vector<Hit>> oracle;  // per query, every point ranked
    for (const Vec3d& q : c.queries) oracle.push_back(scan_all(c.points, q));
    // k past n (the padding) on the sets of a few thousand points; on the large ones a k of a few
    // hundred, since a k past n ranks every point through the heap (half the test's time, and
    // most of it under the race detector, for no path the smaller sets do not take).
    const std::size_t many = n <= 5000 ? n + 3 : 300;
    for (std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{8}, many}) {
        std::vector<Hit> got(k + 1);
        for (std::size_t i = 0; i < c.queries.size(); ++i) {
            const Vec3d& q = c.queries[i];
            const std::size_t found = index.nearest(q, k, got.data());
            const std::vector<Hit> have(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(found));
            CHECK(same_hits(have, scan_nearest(oracle[i], k)), "%s: k=%zu q=%s", c.name, k, describe(q).c_str());
        }
        // Many queries at once, padded as documented.
        const std::size_t m = c.queries.size();
        std::vector<std::ptrdiff_t> idx(m * k, -7);
        std::vector<double> dist(m * k, -7.0);
        index.nearest_many(c.queries.data(), m, k, idx.data(), dist.data());
        bool ok = true;
        for (std::size_t i = 0; i < m; ++i) {
            const auto want = scan_nearest(oracle[i], k);
            for (std::size_t j = 0; j < k; ++j) {
                const bool pad = j >= want.size();
                const auto wi = pad ? static_cast<std::ptrdiff_t>(n) : static_cast<std::ptrdiff_t>(want[j].index);
                const double wd = pad ? kInf : std::sqrt(want[j].d2);
                ok = ok && idx[i * k + j] == wi && bits(dist[i * k + j]) == bits(wd);
            }
        }
        CHECK(ok, "%s: nearest_many k=%zu", c.name, k);
    }
    for (double r : c.radii) {
        std::vector<Vec3d> qs = c.queries;
        for (std::size_t i = 0; i < c.queries.size(); ++i) {
            const Vec3d& q = c.queries[i];
            std::vector<Hit> got;
            index.within(q, r, got);
            const auto want = scan_within(oracle[i], r);
            CHECK(same_hits(got, want), "%s: r=%.17g q=%s: %zu vs %zu", c.name, r, describe(q).c_str(), got.size(),
                  want.size());
            CHECK(index.count_within(q, r) == want.size(), "%s: count r=%.17g", c.name, r);
        }
        std::vector<std::ptrdiff_t> idx;
        std::vector<double> dist;
        std::vector<std::size_t> off;
        index.within_many(qs.data(), qs.size(), r, idx, dist, off);
        std::vector<std::ptrdiff_t> counts(qs.size());
        index.count_within_many(qs.data(), qs.size(), r, counts.data());
        bool ok = off.size() == qs.size() + 1 && off[0] == 0 && off.back() == idx.size() && dist.size() == idx.size();
        for (std::size_t i = 0; ok && i < qs.size(); ++i) {
            const auto want = scan_within(oracle[i], r);
            ok = off[i + 1] - off[i] == want.size() && counts[i] == static_cast<std::ptrdiff_t>(want.size());
            for (std::size_t j = 0; ok && j < want.size(); ++j)
                ok = idx[off[i] + j] == static_cast<std::ptrdiff_t>(want[j].index) &&
                     bits(dist[off[i] + j]) == bits(std::sqrt(want[j].d2));
        }
        CHECK(ok, "%s: within_many r=%.17g", c.name, r);
    }
}

// The boundary of a radius is decided on the distance shown, sqrt(d2) <= r, at every rounding.
void test_radius_boundary() {
    for (int t = 0; t < 20000; ++t) {
        const double r = std::ldexp(uniform(0.5, 1.0), static_cast<int>(uniform(-600, 600)));
        const double lim = sp::radius_limit(r);
        CHECK(std::sqrt(lim) <= r && std::sqrt(std::nextafter(lim, kInf)) > r, "r=%.17g lim=%.17g", r, lim);
    }
    CHECK(sp::radius_limit(0.0) == 0.0, "zero");
    CHECK(sp::radius_limit(kInf) == kInf, "inf");
    CHECK(sp::radius_limit(-1.0) < 0 && sp::radius_limit(kNaN) < 0, "negative and NaN take nothing");
    const double big = 1e200;
    CHECK(sp::radius_limit(big) == std::numeric_limits<double>::max(), "overflowing square");
    // Points exactly at the radius, and one rounding past it.
    std::vector<Vec3d> p = {{3, 4, 0}, {0, 0, 5}, {0, std::nextafter(5.0, 6.0), 0}};
    const SpatialIndex index(p.data(), p.size(), run_on_pool);
    std::vector<Hit> got;
    index.within({0, 0, 0}, 5.0, got);
    CHECK(got.size() == 2 && got[0].index == 0 && got[1].index == 1, "ties at the radius, by index: %zu", got.size());
}

// Many threads query one index at once (also the race detector's case) and agree with one.
void test_concurrent_queries() {
    const auto pts = surface_points(50000);
    const SpatialIndex index(pts.data(), pts.size(), run_on_pool);
    const auto qs = uniform_points(2000, 2);
    const std::size_t k = 4;
    std::vector<std::ptrdiff_t> want_idx(qs.size() * k);
    std::vector<double> want_dist(qs.size() * k);
    index.nearest_many(qs.data(), qs.size(), k, want_idx.data(), want_dist.data());
    std::vector<int> ok(6, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < ok.size(); ++t) {
        threads.emplace_back([&, t] {
            std::vector<std::ptrdiff_t> idx(qs.size() * k);
            std::vector<double> dist(qs.size() * k);
            bool same = true;
            for (int rep = 0; rep < 3; ++rep) {
                index.nearest_many(qs.data(), qs.size(), k, idx.data(), dist.data());
                same = same && idx == want_idx && std::memcmp(dist.data(), want_dist.data(), dist.size() * 8) == 0;
                std::vector<std::ptrdiff_t> counts(qs.size());
                index.count_within_many(qs.data(), qs.size(), 0.05, counts.data());
            }
            ok[t] = same;
        });
    }
    for (auto& th : threads) th.join();
    CHECK(std::all_of(ok.begin(), ok.end(), [](int v) { return v == 1; }), "concurrent callers agree");
}

// The index stays within 1.5 times the points' own 24 bytes each.
void test_memory() {
    const auto pts = uniform_points(200000, 1);
    const SpatialIndex index(pts.data(), pts.size(), run_on_pool);
    const double per_point = static_cast<double>(index.memory_bytes()) / static_cast<double>(pts.size());
    CHECK(per_point <= 36.0, "%.2f bytes per point", per_point);
}

// The nearest image in a periodic box, written out as a scan would: per axis |p - q|, then the
// shorter way round, squared and summed in Vec3d's order.
double torus_d2(const Vec3d& p, const Vec3d& q, const sp::Periods& box) {
    const double c[3] = {p.x - q.x, p.y - q.y, p.z - q.z};
    double g[3];
    for (int a = 0; a < 3; ++a) {
        const double d = std::fabs(c[a]);
        g[a] = box.L[a] > 0 && box.L[a] - d < d ? box.L[a] - d : d;
    }
    return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
}

std::vector<Hit> scan_with(const std::vector<Vec3d>& pts, const Vec3d& q,
                           double (*d2)(const Vec3d&, const Vec3d&, const sp::Periods&), const sp::Periods& box) {
    std::vector<Hit> all(pts.size());
    for (std::size_t i = 0; i < pts.size(); ++i) all[i] = {d2(pts[i], q, box), i};
    std::stable_sort(all.begin(), all.end(), [](const Hit& a, const Hit& b) {
        const bool na = std::isnan(a.d2), nb = std::isnan(b.d2);
        if (na || nb) return !na && nb;
        return a.d2 < b.d2;
    });
    return all;
}

// On a grid of eighths in a box of period 1 (or 2) every difference, square and sum is exact,
// so the nearest image is also the least of the images' plain distances: an oracle that shares
// no formula with the index.
void test_periodic_images() {
    const sp::Periods box{{1.0, 2.0, 0.0}};  // z is not periodic
    std::vector<Vec3d> p(3000);
    for (auto& v : p)
        v = {std::floor(uniform(0, 8)) / 8, std::floor(uniform(0, 16)) / 8, std::floor(uniform(-8, 8)) / 8};
    const SpatialIndex index(p.data(), p.size(), run_on_pool, box);
    for (int t = 0; t < 200; ++t) {
        // Queries on the grid too, some outside the box (wrapped first).
        const Vec3d q{std::floor(uniform(-8, 16)) / 8, std::floor(uniform(-16, 32)) / 8,
                      std::floor(uniform(-8, 8)) / 8};
        const Vec3d w = index.wrap(q);
        CHECK(w.x >= 0 && w.x < 1 && w.y >= 0 && w.y < 2 && w.z == q.z, "wrap %s", describe(q).c_str());
        std::vector<Hit> all(p.size());
        for (std::size_t i = 0; i < p.size(); ++i) {
            double best = kInf;
            for (int a = -2; a <= 2; ++a)
                for (int b = -2; b <= 2; ++b)
                    best = std::min(best, p[i].distance_squared({q.x + a, q.y + 2.0 * b, q.z}));
            all[i] = {best, i};
        }
        std::stable_sort(all.begin(), all.end(), [](const Hit& x, const Hit& y) { return x.d2 < y.d2; });
        std::vector<Hit> got(9);
        const std::size_t found = index.nearest(q, 9, got.data());
        got.resize(found);
        CHECK(same_hits(got, scan_nearest(all, 9)), "periodic images q=%s", describe(q).c_str());
        std::vector<Hit> in;
        index.within(q, 0.25, in);
        CHECK(same_hits(in, scan_within(all, 0.25)), "periodic radius q=%s", describe(q).c_str());
    }
}

// Periodic boxes on random data: the index's answers are the scan's with the nearest image, the
// bits included; points outside the box are refused, NaN points kept (last).
void test_periodic() {
    const sp::Periods box{{1.0, 0.75, 3.0}};
    auto p = uniform_points(20000, 1);
    for (auto& v : p) v = {std::fabs(v.x), std::fabs(v.y) * 0.75, std::fabs(v.z) * 3};
    for (std::size_t i = 0; i < 40; ++i) p[i] = {std::nextafter(1.0, 0.0), 0.0, 2.999999};  // the far edge
    for (std::size_t i = 100; i < p.size(); i += 997) p[i].y = kNaN;
    const SpatialIndex index(p.data(), p.size(), run_on_pool, box);
    auto qs = uniform_points(150, 2);
    qs.push_back({0, 0, 0});
    qs.push_back({-1e-300, 0.75, 3.0});
    qs.push_back({kInf, 0.5, 0.5});  // no image: NaN distances
    qs.push_back({kNaN, 0.5, 0.5});
    for (const Vec3d& q : qs) {
        const auto all = scan_with(p, index.wrap(q), torus_d2, box);
        for (std::size_t k : {std::size_t{1}, std::size_t{8}, std::size_t{60}}) {
            std::vector<Hit> got(k);
            got.resize(index.nearest(q, k, got.data()));
            CHECK(same_hits(got, scan_nearest(all, k)), "periodic k=%zu q=%s", k, describe(q).c_str());
        }
        for (double r : {0.0, 0.05, 0.4}) {
            std::vector<Hit> got;
            index.within(q, r, got);
            const auto want = scan_within(all, r);
            CHECK(same_hits(got, want), "periodic r=%g q=%s", r, describe(q).c_str());
            CHECK(index.count_within(q, r) == want.size(), "periodic count r=%g", r);
        }
    }
    bool refused = false;
    std::vector<Vec3d> out = {{0.5, 0.5, 0.5}, {0.5, 0.75, 0.5}};  // y == L is outside [0, L)
    try {
        SpatialIndex bad(out.data(), out.size(), run_on_pool, box);
    } catch (const sp::OutsideBox& e) {
        refused = e.index == 1 && e.axis == 1 && e.value == 0.75;
    }
    CHECK(refused, "a point on the far face is outside the box");
}

// distance_upper_bound: the nearest with distance < bound (strictly, as scipy), padded.
void test_upper_bound() {
    auto p = uniform_points(5000, 1);
    for (std::size_t i = 0; i < p.size(); i += 50) p[i].x = kNaN;
    for (std::size_t i = 0; i < 400; ++i) p[1000 + i] = {0.5, 0.5, 0.5 + 0.01 * static_cast<double>(i % 8)};  // ties
    const SpatialIndex index(p.data(), p.size(), run_on_pool);
    auto qs = uniform_points(100, 1);
    qs.push_back({0.5, 0.5, 0.5});
    qs.push_back({kNaN, 0, 0});
    for (double bound : {0.0, 1e-3, 0.03, 0.07, 0.5, kInf}) {
        const double limit = sp::below_limit(bound);
        for (const Vec3d& q : qs) {
            const auto all = scan_all(p, q);
            for (std::size_t k : {std::size_t{1}, std::size_t{5}, std::size_t{70}}) {
                std::vector<Hit> want;
                for (const Hit& h : scan_nearest(all, k))
                    if (bound == kInf || std::sqrt(h.d2) < bound) want.push_back(h);
                std::vector<Hit> got(k);
                got.resize(index.nearest(q, k, got.data(), limit));
                CHECK(same_hits(got, want), "bound %g k=%zu q=%s", bound, k, describe(q).c_str());
            }
        }
    }
    // At the bound itself: out (strict); one rounding below: in.
    const std::vector<Vec3d> two = {{0.1, 0, 0}, {0, std::nextafter(0.1, 0.0), 0}};
    const SpatialIndex small(two.data(), two.size(), run_on_pool);
    std::vector<Hit> got(2);
    const std::size_t found = small.nearest({0, 0, 0}, 2, got.data(), sp::below_limit(0.1));
    CHECK(found == 1 && got[0].index == 1, "strictly below the bound: %zu", found);
}

// Pairs within r and counts between two indexes, against every pair.
void test_pairs_and_counts() {
    struct Set {
        const char* name;
        std::vector<Vec3d> p;
        sp::Periods box;
    };
    std::vector<Set> sets;
    sets.push_back({"uniform", uniform_points(1500, 1), {}});
    {
        std::vector<Vec3d> p(1200);
        for (auto& v : p) v = {std::round(uniform(0, 6)) * 0.25, std::round(uniform(0, 6)) * 0.25, 0.5};  // ties
        p[3].z = kNaN;
        p[7].x = kInf;
        sets.push_back({"lattice with NaN and inf", p, {}});
    }
    {
        auto p = uniform_points(1500, 1);
        for (auto& v : p) v = {std::fabs(v.x), std::fabs(v.y), v.z};
        sets.push_back({"periodic", p, {{1.0, 1.0, 0.0}}});
    }
    for (const Set& s : sets) {
        const SpatialIndex a(s.p.data(), s.p.size(), run_on_pool, s.box);
        const std::size_t n = s.p.size();
        const std::vector<double> radii = {0.0, 0.02, 0.1, 0.25, 0.3, kInf};
        for (double r : radii) {
            std::vector<std::ptrdiff_t> want, got;
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = i + 1; j < n; ++j)
                    if (std::sqrt(torus_d2(s.p[i], s.p[j], s.box)) <= r) {
                        want.push_back(static_cast<std::ptrdiff_t>(i));
                        want.push_back(static_cast<std::ptrdiff_t>(j));
                    }
            a.pairs_within(r, got);
            CHECK(got == want, "%s: pairs r=%g: %zu vs %zu", s.name, r, got.size() / 2, want.size() / 2);
        }
        // Against a second set, smaller, and against itself; radii in any order, repeated.
        std::vector<Vec3d> other(s.p.begin(), s.p.begin() + 300);
        for (auto& v : other) v = {v.x * 0.999, v.y, v.z};
        const SpatialIndex b(other.data(), other.size(), run_on_pool, s.box);
        const std::vector<double> rs = {0.3, 0.0, 0.1, 0.02, 0.1, kInf, 0.25};
        for (const auto* pair : {&b, &a}) {
            const auto& q = pair == &b ? other : s.p;
            std::vector<std::uint64_t> got(rs.size()), got_back(rs.size());
            a.count_pairs(*pair, rs.data(), rs.size(), got.data());
            pair->count_pairs(a, rs.data(), rs.size(), got_back.data());
            bool ok = got == got_back;
            for (std::size_t t = 0; t < rs.size(); ++t) {
                std::uint64_t want = 0;
                for (const Vec3d& x : s.p)
                    for (const Vec3d& y : q) want += std::sqrt(torus_d2(x, y, s.box)) <= rs[t] ? 1 : 0;
                ok = ok && got[t] == want;
                if (got[t] != want)
                    std::fprintf(stderr, "  r=%g: %llu vs %llu\n", rs[t], (unsigned long long)got[t],
                                 (unsigned long long)want);
            }
            CHECK(ok, "%s: count_pairs against %s", s.name, pair == &b ? "another" : "itself");
        }
    }
}

// Two integer lattices: many pairs lie exactly at a radius, and the trees' boxes meet exactly at
// it, so that a bound off by one rounding counts a whole pair of regions in the wrong bin.
void test_counts_on_lattices() {
    std::vector<Vec3d> a, b;
    for (int x = 0; x < 11; ++x)
        for (int y = 0; y < 10; ++y)
            for (int z = 0; z < 9; ++z) {
                a.push_back({double(x), double(y), double(z)});
                if ((x + y + z) % 3 != 0) b.push_back({double(z), double(x), double(y) * 0.5});
            }
    const std::vector<double> rs = {1.0, std::sqrt(2.0), 2.0, 3.0, 0.5, std::sqrt(5.25), 0.0};
    for (const bool periodic : {false, true}) {
        sp::Periods box;
        if (periodic) box = {{12.0, 0.0, 10.0}};
        const SpatialIndex ia(a.data(), a.size(), run_on_pool, box), ib(b.data(), b.size(), run_on_pool, box);
        std::vector<std::uint64_t> got(rs.size());
        ia.count_pairs(ib, rs.data(), rs.size(), got.data());
        bool ok = true;
        for (std::size_t t = 0; t < rs.size(); ++t) {
            std::uint64_t want = 0;
            for (const Vec3d& x : a)
                for (const Vec3d& y : b) want += std::sqrt(torus_d2(x, y, box)) <= rs[t] ? 1 : 0;
            ok = ok && got[t] == want;
        }
        CHECK(ok, "lattice pair counts (periodic %d)", periodic);
    }
}

// Enough queries at once that they are answered in a spatial order rather than as given: every
// answer still lands in its own query's row, non-finite and far-off queries included, and equals
// the one query's answer (which the cases above hold to the scan).
void test_many_queries_reordered() {
    auto pts = surface_points(20000);
    pts[5] = {kNaN, 0, 0};
    // Past one chunk of ordered queries, so that the second chunk is placed by its offset.
    auto qs = uniform_points(SpatialIndex::kOrderChunk + 3000, 2.5);
    for (std::size_t i = 0; i < qs.size(); i += 97) qs[i] = {kNaN, qs[i].y, 0};
    for (std::size_t i = 1; i < qs.size(); i += 89) qs[i] = {-kInf, 1e308, qs[i].z};
    for (std::size_t i = 2; i < qs.size(); i += 31) qs[i] = qs[i - 1];  // repeats
    sp::Periods box;
    box.L[0] = 9.0;
    auto shifted = pts;
    for (auto& v : shifted) v.x = std::isnan(v.x) ? v.x : v.x + 3.5;  // into [0, 9)
    for (const bool periodic : {false, true}) {
        const auto& p = periodic ? shifted : pts;
        const SpatialIndex index(p.data(), p.size(), run_on_pool, periodic ? box : sp::Periods{});
        const std::size_t k = 3, m = qs.size();
        std::vector<std::ptrdiff_t> idx(m * k), counts(m);
        std::vector<double> dist(m * k);
        index.nearest_many(qs.data(), m, k, idx.data(), dist.data());
        index.count_within_many(qs.data(), m, 0.07, counts.data());
        std::vector<std::ptrdiff_t> w_idx;
        std::vector<double> w_dist;
        std::vector<std::size_t> w_off;
        index.within_many(qs.data(), m, 0.07, w_idx, w_dist, w_off);
        bool ok = w_off.size() == m + 1;
        std::vector<Hit> got(k);
        for (std::size_t i = 0; i < m && ok; ++i) {
            const std::size_t found = index.nearest(qs[i], k, got.data());
            for (std::size_t j = 0; j < k; ++j) {
                const bool pad = j >= found;
                ok = ok && idx[i * k + j] == (pad ? static_cast<std::ptrdiff_t>(p.size())
                                                  : static_cast<std::ptrdiff_t>(got[j].index));
                ok = ok && bits(dist[i * k + j]) == bits(pad ? kInf : std::sqrt(got[j].d2));
            }
            std::vector<Hit> near;
            index.within(qs[i], 0.07, near);
            ok = ok && counts[i] == static_cast<std::ptrdiff_t>(near.size()) && w_off[i + 1] - w_off[i] == near.size();
            for (std::size_t j = 0; j < near.size() && ok; ++j)
                ok = w_idx[w_off[i] + j] == static_cast<std::ptrdiff_t>(near[j].index) &&
                     bits(w_dist[w_off[i] + j]) == bits(std::sqrt(near[j].d2));
        }
        CHECK(ok, "many queries, each answer in its own row (periodic %d)", periodic);
    }
}

}  // namespace

int main() {
    for (const Case& c : make_cases()) test_case(c);
    test_radius_boundary();
    test_concurrent_queries();
    test_memory();
    test_periodic_images();
    test_periodic();
    test_upper_bound();
    test_pairs_and_counts();
    test_many_queries_reordered();
    test_counts_on_lattices();
    std::printf("%d passed, %d failed (pool threads %zu)\n", g_passed, g_failed, ostrilo::pool::thread_count());
    return g_failed == 0 ? 0 : 1;
}
