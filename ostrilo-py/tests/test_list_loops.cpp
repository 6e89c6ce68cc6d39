// The list loops against the core, element by element: every loop build this processor can run
// (baseline, AVX2, AVX-512 on x86-64) and the jobs on the worker pool give each element the bits
// of the core operation on it, NaNs made canonical. Plain executable; no interpreter. It also
// prints a digest of the results per operation, which CI compares between the Linux build and
// the Windows build run under wine (tools/wheels/cross.sh): the same bits on both.
// Closing line: "N passed, N failed"; exit status 0 iff none failed.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "drevan/quat.hpp"
#include "drevan/vec3d.hpp"
#include "list_kernels.hpp"
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

// The hand-written loops, each build the processor has, against the plain division and rotation.
// The divisors are the ones where a quotient through the reciprocal is most likely to go wrong:
// significands next to a power of two and all ones, random ones, the ends of the range where the
// reciprocal is used, and beyond them; the dividends sweep whole binades and every special value.
struct KernelBuild {
    const char* name;
    void (*divide)(const double*, double*, std::size_t, double) noexcept;
    void (*rotate)(Vec3d*, std::size_t, const Quat&) noexcept;
};

std::vector<KernelBuild> kernel_builds() {
#ifdef OSTRILO_LOOP_VARIANTS
    namespace k = ostrilo::kernels;
    std::vector<KernelBuild> builds{{"baseline", &k::divide_base, &k::rotate_base}};
    if (ostrilo::loop_variant() >= ostrilo::Loops::avx2) builds.push_back({"avx2", &k::divide_avx2, &k::rotate_avx2});
    if (ostrilo::loop_variant() >= ostrilo::Loops::avx512)
        builds.push_back({"avx512", &k::divide_avx512, &k::rotate_avx512});
    return builds;
#else
    return {{"single build", &ostrilo::kernels::divide, &ostrilo::kernels::rotate}};
#endif
}

void check_kernels() {
    std::mt19937_64 rng(2024);
    auto significand = [&] { return std::bit_cast<double>((rng() >> 12) | 0x3ff0000000000000ULL); };
    std::vector<double> divisors;
    for (double s : {1.0, 3.0, 0.1, 7.0, 1.0 / 3.0, 0x1p-400, 0x1p400, 0x1.0000000000001p-400, 0x1.fffffffffffffp399,
                     0x1p-401, 0x1.fffffffffffffp400, 1e-310, 1e308, 0.0, -0.0}) {
        divisors.push_back(s);
        divisors.push_back(-s);
    }
    for (int e = -60; e <= 60; e += 7) {
        divisors.push_back(std::ldexp(0x1.fffffffffffffp0, e));  // all ones
        divisors.push_back(std::ldexp(0x1.0000000000001p0, e));  // just above a power of two
        divisors.push_back(std::ldexp(0x1.ffffffffffffep0, e));
    }
    for (int t = 0; t < 200; ++t) divisors.push_back(std::ldexp(significand(), static_cast<int>(rng() % 801) - 400));
    divisors.push_back(std::numeric_limits<double>::infinity());
    divisors.push_back(std::numeric_limits<double>::quiet_NaN());

    // Dividends: whole binades of random significands, the edges of the range, zeros and specials,
    // shuffled so that every group of eight mixes them.
    std::vector<double> in;
    for (int e = -420; e <= 420; e += 3)
        for (int t = 0; t < 40; ++t) in.push_back(std::ldexp(rng() & 1 ? -significand() : significand(), e));
    for (double a : {0.0, -0.0, 0x1p-400, 0x1p400, 0x1.0000000000001p400, 5e-324, 2.2250738585072014e-308,
                     std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()})
        for (int t = 0; t < 40; ++t) in.push_back(t & 1 ? -a : a);
    std::shuffle(in.begin(), in.end(), rng);
    const std::size_t n = in.size() - in.size() % 3;  // whole vectors, for the rotation
    in.resize(n);

    for (const KernelBuild& build : kernel_builds()) {
        std::size_t wrong = 0;
        std::vector<double> out(n + 1);
        for (double s : divisors) {
            build.divide(in.data(), out.data() + 1, n, s);  // unaligned on purpose
            for (std::size_t i = 0; i < n; ++i)
                wrong += std::bit_cast<std::uint64_t>(out[i + 1]) != std::bit_cast<std::uint64_t>(canonical(in[i] / s));
        }
        check(wrong == 0, std::string("divide ") + build.name + ": " + std::to_string(wrong) +
                              " quotients differ from the division (" + std::to_string(divisors.size() * n) + ")");

        wrong = 0;
        for (const Quat& q : {Quat::from_axis_angle(Vec3d{0.0, 0.6, 0.8}, 0.7), Quat{0.5, -0.5, 0.5, 0.5},
                              Quat{2.0, 1e-300, -3.0, 1e300}, Quat{0.0, 0.0, 0.0, 0.0}}) {
            std::vector<Vec3d> data(n / 3);
            std::memcpy(data.data(), in.data(), n * sizeof(double));
            for (std::size_t count : {data.size(), std::size_t{1}, std::size_t{7}, std::size_t{13}}) {
                std::vector<Vec3d> got(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(count));
                build.rotate(got.data(), count, q);
                for (std::size_t i = 0; i < count; ++i) wrong += !same(got[i], canonical(q.rotate(data[i])));
            }
        }
        check(wrong == 0, std::string("rotate ") + build.name + ": " + std::to_string(wrong) + " vectors differ");
    }
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
    check_kernels();
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
    out = in;
    ostrilo::kernels::rotate(out.data(), out.size(), q);
    std::printf("digest rotate %016llx\n", static_cast<unsigned long long>(digest(out)));
    ostrilo::map_job(Normalize{}, in.data(), out.data(), in.size(), ostrilo::kArithmetic);
    std::printf("digest normalize %016llx\n", static_cast<unsigned long long>(digest(out)));
    std::printf("pool threads: %zu\n", ostrilo::pool::thread_count());
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
