// Arctangent (trig.hpp). |x| is reduced to |t| <= 7/16 about one of the points 1/2, 1, 3/2 or
// infinity, atan(x) = atan(c) + atan((x - c) / (1 + c x)), with atan(c) held as a sum of two
// doubles, and atan(t) = t - t^3 P(t^2) by a minimax polynomial whose terms are split into even
// and odd parts so that both Horner chains are short. atan2 handles the zeros, infinities and
// quadrants first, then takes atan(|y / x|).
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "drevan/trig.hpp"
#include "lanes.hpp"

namespace drevan::trig {

namespace {

constexpr double ATAN_HI[] = {
    4.63647609000806093515e-01,  // atan(0.5) high
    7.85398163397448278999e-01,  // atan(1.0) high
    9.82793723247329054082e-01,  // atan(1.5) high
    1.57079632679489655800e+00,  // atan(inf) high
};
constexpr double ATAN_LO[] = {
    2.26987774529616870924e-17,
    3.06161699786838301793e-17,
    1.39033110312309984516e-17,
    6.12323399573676603587e-17,
};
constexpr double AT[] = {
    3.33333333333329318027e-01, -1.99999999998764832476e-01, 1.42857142725034663711e-01, -1.11111104054623557880e-01,
    9.09088713343650656196e-02, -7.69187620504482999495e-02, 6.66107313738753120669e-02, -5.83357013379057348645e-02,
    4.97687799461593236017e-02, -3.65315727442169155270e-02, 1.62858201153657823623e-02,
};

constexpr double PI = 3.1415926535897931160e+00;
constexpr double PI_LO = 1.2246467991473531772e-16;
constexpr double HALF_PI = 1.5707963267948965580e+00;
constexpr double QUARTER_PI = 7.8539816339744827900e-01;

inline std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
inline int exponent_of(double x) { return static_cast<int>((bits_of(x) >> 52) & 0x7ff); }

}  // namespace

double atan(double x) {
    if (std::isnan(x)) return x + x;
    const bool negative = std::signbit(x);
    double a = std::fabs(x);
    if (a >= 0x1p66) {  // atan(x) rounds to pi/2 (also for inf)
        const double r = ATAN_HI[3] + ATAN_LO[3];
        return negative ? -r : r;
    }
    int id;
    if (a < 0.4375) {
        if (a < 0x1p-27) return x;  // atan(x) = x within half an ulp; keeps -0
        id = -1;
    } else if (a < 1.1875) {
        if (a < 0.6875) {
            id = 0;
            a = (2.0 * a - 1.0) / (2.0 + a);
        } else {
            id = 1;
            a = (a - 1.0) / (a + 1.0);
        }
    } else if (a < 2.4375) {
        id = 2;
        a = (a - 1.5) / (1.0 + 1.5 * a);
    } else {
        id = 3;
        a = -1.0 / a;
    }
    const double z = a * a;
    const double w = z * z;
    const double s1 = z * (AT[0] + w * (AT[2] + w * (AT[4] + w * (AT[6] + w * (AT[8] + w * AT[10])))));
    const double s2 = w * (AT[1] + w * (AT[3] + w * (AT[5] + w * (AT[7] + w * AT[9]))));
    if (id < 0) {
        const double r = a - a * (s1 + s2);
        return negative ? -r : r;
    }
    const double r = ATAN_HI[id] - ((a * (s1 + s2) - ATAN_LO[id]) - a);
    return negative ? -r : r;
}

double atan2(double y, double x) {
    if (std::isnan(x) || std::isnan(y)) return x + y;
    if (x == 1.0) return atan(y);
    // m: bit 0 the sign of y, bit 1 the sign of x
    const int m = (std::signbit(y) ? 1 : 0) | (std::signbit(x) ? 2 : 0);
    if (y == 0.0) {
        switch (m) {
            case 0:
            case 1:
                return y;  // atan(+-0, +anything) = +-0
            case 2:
                return PI;
            default:
                return -PI;
        }
    }
    if (x == 0.0) return m & 1 ? -HALF_PI : HALF_PI;
    if (std::isinf(x)) {
        if (std::isinf(y)) {
            switch (m) {
                case 0:
                    return QUARTER_PI;
                case 1:
                    return -QUARTER_PI;
                case 2:
                    return 3.0 * QUARTER_PI;
                default:
                    return -3.0 * QUARTER_PI;
            }
        }
        switch (m) {
            case 0:
                return 0.0;
            case 1:
                return -0.0;
            case 2:
                return PI;
            default:
                return -PI;
        }
    }
    if (std::isinf(y)) return m & 1 ? -HALF_PI : HALF_PI;
    const int k = exponent_of(y) - exponent_of(x);
    double z;
    int quadrant = m;
    if (k > 60) {  // |y/x| > 2^60: pi/2 on either side of the y axis
        z = HALF_PI + 0.5 * PI_LO;
        quadrant &= 1;
    } else if ((m & 2) != 0 && k < -60) {  // |y|/x below 2^-60 with x < 0: pi below
        z = 0.0;
    } else {
        z = atan(std::fabs(y / x));
    }
    switch (quadrant) {
        case 0:
            return z;
        case 1:
            return -z;
        case 2:
            return PI - (z - PI_LO);
        default:
            return (z - PI_LO) - PI;
    }
}

// --- Many at a time -----------------------------------------------------------------------
// The same operations as atan2 above, lane by lane, on vectors of doubles (lanes.hpp: two lanes,
// or four in the AVX2 build). Each lane is an IEEE operation on that lane alone, so each lane
// gives atan2's bits. The branches of atan become selections: every lane computes the reduction
// in one form, (P a - Q) / (P + Q a), with (P, Q) = (1, 0) below 0.4375 (a / 1, exactly a), (2, 1)
// up to 0.6875 ((2a - 1) / (2 + a)), (1, 1) up to 1.1875 ((a - 1) / (1 + a)), (1, 1.5) up to 2.4375
// ((a - 1.5) / (1 + 1.5a)) and (0, 1) beyond (0 a - 1 = -1 and 0 + a = a: -1 / a); every product
// by 1 or 0 and every sum with 0 there is exact, so the quotient is the one atan forms. Lanes that
// atan2 answers otherwise (a zero, infinite or NaN argument, x = 1, exponents more than 60 apart)
// are answered by atan2 itself.
namespace {

#if defined(__GNUC__) && !defined(__clang__)
// The four-double vectors never cross a function boundary outside the AVX2 build (everything
// below is inlined into it), so the calling convention GCC warns about is never used. (To the end
// of the file: GCC gives the warning when the file ends.)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

// Whether atan2(y, x) is atan(|y / x|) put in its quadrant, with no special case on the way.
inline bool ordinary(double y, double x) {
    if (!(std::isfinite(x) && std::isfinite(y)) || x == 0.0 || y == 0.0 || x == 1.0) return false;
    const int k = exponent_of(y) - exponent_of(x);
    return k <= 60 && !(std::signbit(x) && k < -60);
}

template <int N>
struct AtanLanes {
    using V = typename lanes::VectorOf<N>::V;
    using M = typename lanes::VectorOf<N>::M;

    [[gnu::always_inline]] static V splat(double v) { return v - V{}; }  // -0.0 too (-0.0 + 0.0 is +0.0)
    // a where the mask is set, else b.
    [[gnu::always_inline]] static V pick(const M& mask, const V& a, const V& b) {
        return (V)(((M)(a)&mask) | ((M)(b) & ~mask));
    }
    [[gnu::always_inline]] static V pick(const M& mask, double a, double b) { return pick(mask, splat(a), splat(b)); }

    [[gnu::always_inline]] static V atan2(const V& vy, const V& vx) {
        const M sign_bit = (M)(splat(-0.0));
        const V a = (V)((M)(vy / vx) & ~sign_bit);  // |y / x|
        const M c1 = a < 0.4375, c2 = a < 0.6875, c3 = a < 1.1875, c4 = a < 2.4375;
        const V p = pick(c1, splat(1.0), pick(c2, splat(2.0), pick(c4, 1.0, 0.0)));
        const V q = pick(c1, splat(0.0), pick(c3, splat(1.0), pick(c4, 1.5, 1.0)));
        const V hi = pick(c2, splat(ATAN_HI[0]), pick(c3, splat(ATAN_HI[1]), pick(c4, ATAN_HI[2], ATAN_HI[3])));
        const V lo = pick(c2, splat(ATAN_LO[0]), pick(c3, splat(ATAN_LO[1]), pick(c4, ATAN_LO[2], ATAN_LO[3])));
        const V t = (p * a - q) / (p + q * a);
        const V z = t * t;
        const V w = z * z;
        const V s1 = z * (AT[0] + w * (AT[2] + w * (AT[4] + w * (AT[6] + w * (AT[8] + w * AT[10])))));
        const V s2 = w * (AT[1] + w * (AT[3] + w * (AT[5] + w * (AT[7] + w * AT[9]))));
        const V small = t - t * (s1 + s2);
        const V large = hi - ((t * (s1 + s2) - lo) - t);
        V r = pick(c1, small, large);
        r = pick(a < 0x1p-27, a, r);  // atan(a) = a within half an ulp
        // The quadrant: z, -z, pi - (z - pi_lo), (z - pi_lo) - pi for the signs of (y, x) (+, +),
        // (-, +), (+, -), (-, -).
        const M y_neg = ((M)(vy)&sign_bit) != 0, x_neg = ((M)(vx)&sign_bit) != 0;
        const V right = pick(y_neg, -r, r);
        const V left = pick(y_neg, (r - PI_LO) - PI, PI - (r - PI_LO));
        return pick(x_neg, left, right);
    }

    // ordinary() of every lane at once, on the bits: the magnitudes' bits below those of
    // infinity (finite) and above 0 (nonzero), x not 1, and the biased exponents' difference.
    [[gnu::always_inline]] static M ordinary_lanes(const V& vy, const V& vx) {
        const M magnitude = ~(M)(splat(-0.0));
        const M by = (M)(vy)&magnitude, bx = (M)(vx)&magnitude;
        const M inf = (M)(splat(INFINITY));
        const M k = (by >> 52) - (bx >> 52);
        const M x_neg = (M)(vx) < 0;
        return (by < inf) & (bx < inf) & (by != 0) & (bx != 0) & (vx != 1.0) & (k <= 60) & ~(x_neg & (k < -60));
    }

    // out[k] = atan2(y[k], x[k]) for k < 2N: two chains of N lanes side by side.
    [[gnu::always_inline]] static void run(const double* y, const double* x, double* out);
};

template <int N>
[[gnu::always_inline]] inline void AtanLanes<N>::run(const double* y, const double* x, double* out) {
    V y0{}, x0{}, y1{}, x1{};
    for (int l = 0; l < N; ++l) y0[l] = y[l], x0[l] = x[l], y1[l] = y[N + l], x1[l] = x[N + l];
    const V v0 = atan2(y0, x0), v1 = atan2(y1, x1);
    const M ok = ordinary_lanes(y0, x0) & ordinary_lanes(y1, x1);
    bool all = true;
    for (int l = 0; l < N; ++l) all = all && ok[l] != 0;
    if (all) {  // every lane: the usual case
        for (int l = 0; l < N; ++l) out[l] = v0[l], out[N + l] = v1[l];
        return;
    }
    for (int l = 0; l < N; ++l) {
        out[l] = ordinary(y[l], x[l]) ? v0[l] : trig::atan2(y[l], x[l]);
        out[N + l] = ordinary(y[N + l], x[N + l]) ? v1[l] : trig::atan2(y[N + l], x[N + l]);
    }
}

// n pairs in groups of 2N, the last few through the four-lane form with pairs of its usual case
// (1, 2) beside them.
template <int N>
[[gnu::always_inline]] inline void atan2_groups(const double* y, const double* x, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 2 * N <= n; i += 2 * N) AtanLanes<N>::run(y + i, x + i, out + i);
    for (; i < n; i += 4) {
        double yy[4] = {1.0, 1.0, 1.0, 1.0}, xx[4] = {2.0, 2.0, 2.0, 2.0}, oo[4];
        const std::size_t m = n - i < 4 ? n - i : 4;
        for (std::size_t l = 0; l < m; ++l) yy[l] = y[i + l], xx[l] = x[i + l];
        AtanLanes<2>::run(yy, xx, oo);
        for (std::size_t l = 0; l < m; ++l) out[i + l] = oo[l];
    }
}

void atan2_many_base(const double* y, const double* x, double* out, std::size_t n) { atan2_groups<2>(y, x, out, n); }

#ifdef DREVAN_LANES_AVX2
[[gnu::target("avx2")]] void atan2_many_avx2(const double* y, const double* x, double* out, std::size_t n) {
    atan2_groups<4>(y, x, out, n);
}
#endif

}  // namespace

void atan2_4(const double (&y)[4], const double (&x)[4], double (&out)[4]) { AtanLanes<2>::run(y, x, out); }

void atan2_n(const double* y, const double* x, double* out, std::size_t n) {
#ifdef DREVAN_LANES_AVX2
    static const auto chosen = lanes::avx2() ? &atan2_many_avx2 : &atan2_many_base;
    chosen(y, x, out, n);
#else
    atan2_many_base(y, x, out, n);
#endif
}

void atan2_n_base(const double* y, const double* x, double* out, std::size_t n) { atan2_many_base(y, x, out, n); }

}  // namespace drevan::trig
