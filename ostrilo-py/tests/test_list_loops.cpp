// The list loops against the core, element by element: every loop build this processor can run
// (baseline, AVX2, AVX-512 on x86-64) and the jobs on the worker pool give each element the bits
// of the core operation on it, NaNs made canonical. Plain executable; no interpreter. It also
// prints a digest of the results per operation, which CI compares between the Linux build and
// the Windows build run under wine (tools/wheels/cross.sh): the same bits on both.
// Closing line: "N passed, N failed"; exit status 0 iff none failed.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "drevan/quat.hpp"
#include "drevan/vec3d.hpp"
#include "list_loops.hpp"

namespace {

using drevan::Quat;
using drevan::Vec3d;
using ostrilo::canonical;

int g_passed = 0, g_failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++g_passed;
    } else {
        ++g_failed;
        std::printf("FAILED %s\n", what.c_str());
    }
}

bool same(const Vec3d& a, const Vec3d& b) {
    return std::bit_cast<std::uint64_t>(a.x) == std::bit_cast<std::uint64_t>(b.x) &&
           std::bit_cast<std::uint64_t>(a.y) == std::bit_cast<std::uint64_t>(b.y) &&
           std::bit_cast<std::uint64_t>(a.z) == std::bit_cast<std::uint64_t>(b.z);
}

std::vector<Vec3d> elements(std::size_t n) {
    std::mt19937_64 rng(n);
    const double special[] = {
        0.0, -0.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(), 5e-324, 1e300};
    std::vector<Vec3d> out(n);
    auto draw = [&] {
        const std::uint64_t r = rng();
        if (r % 17 == 0) return special[(r >> 8) % 6];
        const double unit = std::bit_cast<double>((r >> 12) | 0x3ff0000000000000ULL) - 1.0;
        return std::ldexp(r & 1 ? -unit : unit, static_cast<int>((r >> 1) % 40) - 20);
    };
    for (auto& v : out) v = {draw(), draw(), draw()};
    return out;
}

// The operations, as the list jobs compute them.
struct Normalize {
    Vec3d operator()(const Vec3d& v) const { return v.normalize(); }
};
struct Cross {
    Vec3d o;
    Vec3d operator()(const Vec3d& v) const { return v.cross(o); }
};
struct Divide {
    double s;
    Vec3d operator()(const Vec3d& v) const { return v / s; }
};
struct Rotate {
    Quat q;
    Vec3d operator()(const Vec3d& v) const { return q.rotate(v); }
};

// Each build of the loop over the whole range, called directly, as the dispatch would.
template <class F>
void check_builds(const char* name, const F& f, const std::vector<Vec3d>& in) {
    const std::size_t n = in.size();
    std::vector<Vec3d> want(n);
    for (std::size_t i = 0; i < n; ++i) want[i] = canonical(f(in[i]));
    std::vector<Vec3d> out(n);
    auto body = [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) out[i] = canonical(f(in[i]));
    };
    auto compare = [&](const char* build) {
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < n; ++i) wrong += !same(out[i], want[i]);
        check(wrong == 0, std::string(name) + " " + build + " n=" + std::to_string(n) + ": " + std::to_string(wrong) +
                              " elements differ from the core");
    };
#ifdef OSTRILO_LOOP_VARIANTS
    ostrilo::run_base(body, 0, n);
    compare("baseline");
    if (ostrilo::loop_variant() >= ostrilo::Loops::avx2) {
        ostrilo::run_avx2(body, 0, n);
        compare("avx2");
    }
    if (ostrilo::loop_variant() >= ostrilo::Loops::avx512) {
        ostrilo::run_avx512(body, 0, n);
        compare("avx512");
    }
#else
    body(0, n);
    compare("single build");
#endif
    // The job on the pool: blocks on the workers, the build the dispatch picks.
    std::vector<Vec3d> pooled(n);
    ostrilo::map_job(f, in.data(), pooled.data(), n, ostrilo::kArithmetic);
    out = pooled;
    compare("map_job");
}

std::uint64_t digest(const std::vector<Vec3d>& vs) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const Vec3d& v : vs)
        for (double x : {v.x, v.y, v.z}) {
            const std::uint64_t w = std::bit_cast<std::uint64_t>(x);
            for (int k = 0; k < 8; ++k) h = (h ^ ((w >> (8 * k)) & 0xff)) * 0x100000001b3ULL;
        }
    return h;
}

}  // namespace

int main() {
    const Quat q = Quat::from_axis_angle(Vec3d{0.0, 0.6, 0.8}, 0.7);
    for (std::size_t n : {std::size_t{1}, std::size_t{37}, std::size_t{70'001}}) {
        const std::vector<Vec3d> in = elements(n);
        check_builds("normalize", Normalize{}, in);
        check_builds("cross", Cross{{1.5, -2.0, 0.25}}, in);
        check_builds("divide", Divide{3.0}, in);
        check_builds("rotate", Rotate{q}, in);
    }
    // What the dispatch picks here, and the bits every build gives.
    const std::vector<Vec3d> in = elements(70'001);
    std::vector<Vec3d> out(in.size());
    ostrilo::map_job(Rotate{q}, in.data(), out.data(), in.size(), ostrilo::kArithmetic);
    std::printf("digest rotate %016llx\n", static_cast<unsigned long long>(digest(out)));
    ostrilo::map_job(Normalize{}, in.data(), out.data(), in.size(), ostrilo::kArithmetic);
    std::printf("digest normalize %016llx\n", static_cast<unsigned long long>(digest(out)));
    std::printf("pool threads: %zu\n", ostrilo::pool::thread_count());
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
