// Sine, cosine, tangent and arccosine that give the same bits on every IEEE-754 platform.
//
// Method:
// - sin, cos, tan: |x| <= pi/4 is used as it is. Larger arguments are reduced exactly: x = m 2^e
//   with an integer m < 2^53 is multiplied, in integer arithmetic, by a 288-bit window of the
//   binary digits of 2/pi; the two bits above the binary point give the quadrant, the 192 bits
//   below it the remainder f (|f| <= 1/2), and r = f * pi/2 in double-double. Bits of 2/pi that
//   lie far enough above the window only add multiples of 8 to the product and are skipped. No
//   double lies closer than about 2^-61 to a multiple of pi/2, so f keeps well over 100 correct
//   bits. The kernels sum the Taylor series of sin r and cos r in double-double (the smallest
//   terms, below 2^-59 relative, in plain double); tan is their quotient.
// - acos: for |x| <= 1/2, pi/2 - asin x; beyond, 2 asin(sqrt((1 - |x|)/2)) (subtracted from pi for
//   x < 0), where 1 - |x| and the halving are exact. asin s is its Taylor series for |s| <= 1/2,
//   again in double-double.
// The double-double operations use only IEEE additions, multiplications and divisions of doubles
// (Dekker's exact product by splitting, Knuth's exact sum), which the build keeps uncontracted.
// The result is the double-double value rounded once, so it is the correctly rounded result
// unless the exact value lies within about 2^-100 (relative) of a rounding boundary.
#include "drevan/trig.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace drevan::trig {

namespace {

struct DD {
    double hi, lo;
};

#include "trig_tables.inc"

constexpr double QUARTER_PI = 0x1.921fb54442d18p-1;  // the double pi / 4, below the true pi/4
constexpr double INF = __builtin_huge_val();

// a + b = s + e exactly.
inline DD two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double e = (a - (s - bb)) + (b - bb);
    return {s, e};
}

// The same when |a| >= |b| (or a == 0).
inline DD fast_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo with hi holding the upper 26 bits of the significand.
inline void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

// a * b = p + e exactly (no overflow or underflow in the ranges used here).
inline DD two_prod(double a, double b) {
    const double p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    const double e = (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
    return {p, e};
}

inline DD neg(DD a) { return {-a.hi, -a.lo}; }

inline DD add(DD a, DD b) {
    const DD s = two_sum(a.hi, b.hi);
    const DD t = two_sum(a.lo, b.lo);
    const DD u = fast_two_sum(s.hi, s.lo + t.hi);
    return fast_two_sum(u.hi, u.lo + t.lo);
}

inline DD sub(DD a, DD b) { return add(a, neg(b)); }

inline DD mul(DD a, DD b) {
    const DD p = two_prod(a.hi, b.hi);
    const double cross = a.hi * b.lo + a.lo * b.hi;
    return fast_two_sum(p.hi, p.lo + cross);
}

inline DD mul_d(DD a, double b) {
    const DD p = two_prod(a.hi, b);
    return fast_two_sum(p.hi, p.lo + a.lo * b);
}

inline DD div(DD a, DD b) {
    const double q1 = a.hi / b.hi;
    DD r = sub(a, mul_d(b, q1));
    const double q2 = r.hi / b.hi;
    r = sub(r, mul_d(b, q2));
    const double q3 = r.hi / b.hi;
    return add(fast_two_sum(q1, q2), DD{q3, 0.0});
}

inline double round_dd(DD a) { return a.hi + a.lo; }

// sqrt(w) for w > 0.
inline DD sqrt_dd(double w) {
    const double h = std::sqrt(w);
    const DD p = two_prod(h, h);
    return fast_two_sum(h, ((w - p.hi) - p.lo) / (h + h));
}

// sum c[k] z^k for k < n: the terms from `first_dd` on are small enough for plain doubles.
inline DD series(const DD* c, int n, int first_dd, DD z) {
    double t = c[n - 1].hi;
    for (int k = n - 2; k >= first_dd; --k) t = t * z.hi + c[k].hi;
    DD acc{t, 0.0};
    for (int k = first_dd - 1; k >= 0; --k) acc = add(mul(acc, z), c[k]);
    return acc;
}

constexpr int SIN_N = sizeof(SIN_COEF) / sizeof(SIN_COEF[0]);
constexpr int COS_N = sizeof(COS_COEF) / sizeof(COS_COEF[0]);
constexpr int ASIN_N = sizeof(ASIN_COEF) / sizeof(ASIN_COEF[0]);

// |r| <= pi/4 (a little more after reduction): r^18/19! < 2^-59 relative.
inline DD sin_kernel(DD r) { return mul(r, series(SIN_COEF, SIN_N, 9, mul(r, r))); }
inline DD cos_kernel(DD r) { return series(COS_COEF, COS_N, 9, mul(r, r)); }
// |s| <= 1/2: the terms from s^52 on are below 2^-61 relative.
inline DD asin_kernel(DD s) { return mul(s, series(ASIN_COEF, ASIN_N, 26, mul(s, s))); }

struct Reduced {
    DD r;               // |x| - quadrant * pi/2, |r| <= pi/4 (to within rounding)
    unsigned quadrant;  // modulo 4
};

// Bits [pos, pos + 32) of the little-endian integer q (words beyond its end count as zero).
inline std::uint32_t bits_at(const std::uint32_t* q, int words, int pos) {
    const int w = pos >> 5, s = pos & 31;
    const std::uint64_t lo = w < words ? q[w] : 0;
    const std::uint64_t hi = w + 1 < words ? q[w + 1] : 0;
    return static_cast<std::uint32_t>(((hi << 32 | lo) >> s) & 0xFFFFFFFFu);
}

// ax finite and above pi/4.
Reduced reduce(double ax) {
    std::uint64_t b;
    std::memcpy(&b, &ax, sizeof b);
    const int e = static_cast<int>(b >> 52) - 1075;  // ax = m 2^e
    const std::uint64_t m = (b & 0x000FFFFFFFFFFFFFull) | 0x0010000000000000ull;

    // Digit i of 2/pi (weight 2^-i, i >= 1) adds m 2^(e-i): a multiple of 8 when i <= e - 3.
    // The window is 9 words from word k0, digits 32 k0 + 1 to 32 k0 + 288, so the product has
    // F = 32 k0 + 288 - e >= 254 bits below the point; the digits after the window add less than
    // m 2^-F < 2^-201.
    constexpr int WINDOW = 9;
    const int k0 = e > 3 ? (e - 3) / 32 : 0;
    const int frac_bits = 32 * k0 + 32 * WINDOW - e;

    // q = m * window, little-endian 32-bit words.
    constexpr int QW = WINDOW + 2;
    std::uint32_t q[QW] = {};
    const std::uint32_t mw[2] = {static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(m >> 32)};
    for (int a = 0; a < 2; ++a) {
        std::uint64_t carry = 0;
        for (int j = 0; j < WINDOW; ++j) {
            const std::uint64_t word = TWO_OVER_PI[k0 + WINDOW - 1 - j];
            const std::uint64_t t = word * mw[a] + q[j + a] + carry;
            q[j + a] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        q[WINDOW + a] = static_cast<std::uint32_t>(carry);
    }

    unsigned quadrant = bits_at(q, QW, frac_bits) & 3u;
    // The 192 bits below the point, most significant word first.
    std::uint32_t f[6];
    for (int t = 0; t < 6; ++t) f[t] = bits_at(q, QW, frac_bits - 32 * (t + 1));
    bool negative = false;
    if (f[0] & 0x80000000u) {  // f >= 1/2: round the quadrant up and take f - 1
        quadrant = (quadrant + 1) & 3u;
        negative = true;
        std::uint64_t carry = 1;  // two's complement of the 192-bit fraction
        for (int t = 5; t >= 0; --t) {
            const std::uint64_t v = static_cast<std::uint64_t>(static_cast<std::uint32_t>(~f[t])) + carry;
            f[t] = static_cast<std::uint32_t>(v);
            carry = v >> 32;
        }
    }
    // Every word times its power of two is exact; the sum keeps the leading 106 bits.
    DD frac{0.0, 0.0};
    double scale = 0x1p-192;
    for (int t = 5; t >= 0; --t) {
        frac = add(frac, DD{static_cast<double>(f[t]) * scale, 0.0});
        scale *= 0x1p32;
    }
    DD r = mul(frac, HALF_PI_DD);
    if (negative) r = neg(r);
    return {r, quadrant};
}

// Kernels for |x| on the quadrant of a reduction.
inline DD sin_of(const Reduced& red) {
    DD v = (red.quadrant & 1u) ? cos_kernel(red.r) : sin_kernel(red.r);
    return (red.quadrant & 2u) ? neg(v) : v;
}

inline DD cos_of(const Reduced& red) {
    DD v = (red.quadrant & 1u) ? sin_kernel(red.r) : cos_kernel(red.r);
    return ((red.quadrant + 1u) & 2u) ? neg(v) : v;
}

}  // namespace

double sin(double x) {
    const double ax = std::fabs(x);
    if (ax <= QUARTER_PI) {
        if (ax < 0x1p-26) return x;  // |sin x - x| < x^3/6: below a quarter ulp of x
        return round_dd(sin_kernel(DD{x, 0.0}));
    }
    if (!(ax < INF)) return x - x;  // NaN for infinities; a NaN comes back quiet
    const double s = round_dd(sin_of(reduce(ax)));
    return x < 0.0 ? -s : s;
}

double cos(double x) {
    const double ax = std::fabs(x);
    if (ax <= QUARTER_PI) {
        if (ax < 0x1p-27) return 1.0;  // 1 - cos x < x^2/2 < 2^-55
        return round_dd(cos_kernel(DD{ax, 0.0}));
    }
    if (!(ax < INF)) return x - x;
    return round_dd(cos_of(reduce(ax)));
}

void sin_cos(double x, double& s, double& c) {
    const double ax = std::fabs(x);
    if (ax <= QUARTER_PI) {
        s = ax < 0x1p-26 ? x : round_dd(sin_kernel(DD{x, 0.0}));
        c = ax < 0x1p-27 ? 1.0 : round_dd(cos_kernel(DD{ax, 0.0}));
        return;
    }
    if (!(ax < INF)) {
        s = c = x - x;
        return;
    }
    const Reduced red = reduce(ax);
    const double sa = round_dd(sin_of(red));
    s = x < 0.0 ? -sa : sa;
    c = round_dd(cos_of(red));
}

double tan(double x) {
    const double ax = std::fabs(x);
    double t;
    if (ax <= QUARTER_PI) {
        if (ax < 0x1p-27) return x;  // tan x - x < x^3/3: below a quarter ulp of x
        const DD r{ax, 0.0};
        t = round_dd(div(sin_kernel(r), cos_kernel(r)));
    } else {
        if (!(ax < INF)) return x - x;
        const Reduced red = reduce(ax);
        const DD s = sin_kernel(red.r), c = cos_kernel(red.r);
        t = (red.quadrant & 1u) ? -round_dd(div(c, s)) : round_dd(div(s, c));
    }
    return x < 0.0 ? -t : t;
}

double acos(double x) {
    if (x != x) return x + x;
    const double ax = std::fabs(x);
    if (ax > 1.0) return (x - x) / (x - x);  // outside the domain (infinities too): NaN
    if (ax <= 0.5) return round_dd(sub(HALF_PI_DD, asin_kernel(DD{x, 0.0})));
    if (ax == 1.0) return x > 0.0 ? 0.0 : PI_DD.hi;
    // acos |x| = 2 asin(sqrt((1 - |x|) / 2)); 1 - |x| is exact for |x| in [1/2, 1].
    const DD a = asin_kernel(sqrt_dd((1.0 - ax) * 0.5));
    const DD twice{a.hi * 2.0, a.lo * 2.0};
    return round_dd(x > 0.0 ? twice : sub(PI_DD, twice));
}

}  // namespace drevan::trig
