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
// The double-double value, known to within 2^-90 relative, settles the rounding unless the exact
// value lies that close to the midpoint between two doubles. Then an exact step decides on which
// side of that midpoint it lies: the argument reduced with 384 bits of 2/pi, sin and cos summed
// in 256-bit fixed-point integers (within 2^-185 relative), the value compared with the midpoint
// without rounding (acos: x compared with the cosine of the midpoint). That bound leaves about 60
// bits to spare over the hardest-to-round doubles known for these functions (see the exact step).
//
// That accurate path is slow (a few hundred nanoseconds), so a fast evaluation with a proven
// error bound comes first, and its result is taken only when the whole interval it guarantees
// rounds to one double, which is then the correctly rounded result too (see `settled`). Both
// paths are deterministic, so which one answers never changes the bits.
#include "drevan/trig.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lanes.hpp"

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

// m 2^e (m < 2^64) times the window of WINDOW words of 2/pi that matters, into q (little-endian
// 32-bit words); returns F, the number of bits of q below the binary point. Digit i of 2/pi
// (weight 2^-i, i >= 1) adds m 2^(e-i), a multiple of 8 when i <= e - 3: the window starts at
// word k0 = (e - 3) / 32 (or 0), so F = 32 k0 + 32 WINDOW - e >= 32 WINDOW - 34, and the digits
// after the window add less than m 2^-F.
template <int WINDOW>
inline int times_two_over_pi(std::uint64_t m, int e, std::uint32_t (&q)[WINDOW + 2]) {
    const int k0 = e > 3 ? (e - 3) / 32 : 0;
    for (std::uint32_t& v : q) v = 0;
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
    return 32 * k0 + 32 * WINDOW - e;
}

// ax finite and above pi/4.
Reduced reduce(double ax) {
    std::uint64_t b;
    std::memcpy(&b, &ax, sizeof b);
    const int e = static_cast<int>(b >> 52) - 1075;  // ax = m 2^e
    const std::uint64_t m = (b & 0x000FFFFFFFFFFFFFull) | 0x0010000000000000ull;

    // A window of 9 words: F >= 254 bits below the point, the digits after it add < 2^-201.
    constexpr int QW = 9 + 2;
    std::uint32_t q[QW];
    const int frac_bits = times_two_over_pi<9>(m, e, q);

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

// --- The exact step -----------------------------------------------------------------------
// The double-double evaluation errs by less than ACCURATE_REL relative (see the accurate path).
// When even that interval holds a rounding boundary, the exact value lies within 2^-90 of the
// midpoint M between two neighbouring doubles, and only the side of M it lies on is still open.
// That is decided here in integer arithmetic: the argument is reduced with 384 bits of 2/pi, sin r and
// cos r are summed in 256-bit fixed point, and the value is compared with M without rounding.
//
// Error bound, in units u = 2^-256 (the fixed-point quantum):
// - the reduced fraction f (|x| 2/pi modulo 1) is cut after 256 bits: < 1u; the digits of 2/pi
//   beyond the window add less than m 2^-350 < 2^-290: f within 2u;
// - r = f * pi/2 with pi/2 cut after 256 bits, product truncated: within 2 * 1.6 + 0.5 + 1 < 5u;
//   r^2 (r <= 0.8) within 2 * 0.8 * 5 + 1 < 10u;
// - each series term t' = (t r^2) / ((k+1)(k+2)), truncated twice, is within
//   (0.62 e + 10 t + 1) / ((k+1)(k+2)) + 1 of its exact value when t is within e: the first
//   cosine term within 6.5u, every later term of either series within 3u; the sum ends at the
//   first term that truncates to zero (its exact value, under 7u, bounds the alternating tail),
//   after at most 32 terms: sin r and cos r each within 33 * 7u < 2^8 u. EXACT_ERR = 2^9 u.
// No double lies closer than 2^-61 to a nonzero multiple of pi/2 (the closest is
// 6381956970095103 * 2^797), and the exact step is only reached for |x| >= 2^-27, so
// sin r, cos r > 2^-62 and the values compared are known to within 2^-247 / 2^-62 = 2^-185
// relative (tan, a quotient: 2^-184; acos compares cos M with x, see round_acos).
// The hardest-to-round doubles of sin, cos, tan and acos, found by exhaustive searches (V.
// Lefevre's worst cases), lie no closer than about 2^-120 to 2^-126 (relative) to a midpoint: at
// most 72 identical bits after the round bit. So the comparison below decides every double with
// about 60 bits to spare. Should it ever not (no known double comes near), the side its estimate
// lies on is taken.

constexpr int FW = 9;  // 8 words after the point, 1 before
constexpr std::uint32_t EXACT_ERR = 1u << 9;
constexpr double ACCURATE_REL = 0x1p-90;

// Non-negative integers of N 32-bit words, little-endian.
template <int N>
struct Words {
    std::uint32_t w[N];
};

template <int N>
inline Words<N> words_add(const Words<N>& a, const Words<N>& b) {
    Words<N> r;
    std::uint64_t carry = 0;
    for (int k = 0; k < N; ++k) {
        const std::uint64_t t = static_cast<std::uint64_t>(a.w[k]) + b.w[k] + carry;
        r.w[k] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    return r;
}

using Fixed = Words<FW>;  // fixed point: the value is w / 2^256

inline bool fx_is_zero(const Fixed& a) {
    for (std::uint32_t v : a.w)
        if (v) return false;
    return true;
}

// a - b for a >= b.
inline Fixed fx_sub(const Fixed& a, const Fixed& b) {
    Fixed r;
    std::uint64_t borrow = 0;
    for (int k = 0; k < FW; ++k) {
        const std::uint64_t t = static_cast<std::uint64_t>(a.w[k]) - b.w[k] - borrow;
        r.w[k] = static_cast<std::uint32_t>(t);
        borrow = (t >> 32) & 1u;
    }
    return r;
}

// a * b truncated, for a * b < 2^32.
Fixed fx_mul(const Fixed& a, const Fixed& b) {
    std::uint32_t p[2 * FW] = {};
    for (int i = 0; i < FW; ++i) {
        std::uint64_t carry = 0;
        for (int j = 0; j < FW; ++j) {
            const std::uint64_t t = static_cast<std::uint64_t>(a.w[i]) * b.w[j] + p[i + j] + carry;
            p[i + j] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        p[i + FW] = static_cast<std::uint32_t>(carry);
    }
    Fixed r;
    for (int k = 0; k < FW; ++k) r.w[k] = p[k + FW - 1];
    return r;
}

// a / d truncated.
inline Fixed fx_div(const Fixed& a, std::uint32_t d) {
    Fixed r;
    std::uint64_t rest = 0;
    for (int k = FW - 1; k >= 0; --k) {
        const std::uint64_t cur = rest << 32 | a.w[k];
        r.w[k] = static_cast<std::uint32_t>(cur / d);
        rest = cur % d;
    }
    return r;
}

// sin r (odd) or cos r for 0 <= r <= 0.8, within 2^8 u (see above).
Fixed fx_sin_or_cos(const Fixed& r, bool odd) {
    const Fixed r2 = fx_mul(r, r);
    Fixed t{};
    if (odd)
        t = r;
    else
        t.w[FW - 1] = 1;
    Fixed sum = t;
    bool minus = true;  // the partial sums of both alternating series stay positive
    for (std::uint32_t k = odd ? 2 : 1; !fx_is_zero(t); k += 2, minus = !minus) {
        t = fx_div(fx_mul(t, r2), k * (k + 1));
        sum = minus ? fx_sub(sum, t) : words_add(sum, t);
    }
    return sum;
}

struct ExactReduced {
    Fixed r;            // | |x| - quadrant * pi/2 |, at most pi/4 (to within 5u)
    unsigned quadrant;  // modulo 4
    bool negative;      // whether |x| - quadrant * pi/2 is negative
};

// m 2^e > 0 with m < 2^54 (doubles, and the midpoints between neighbouring doubles), as reduce()
// but with a window of 12 words: F >= 350 bits below the point.
ExactReduced reduce_exact(std::uint64_t m, int e) {
    constexpr int QW = 12 + 2;
    std::uint32_t q[QW];
    const int frac_bits = times_two_over_pi<12>(m, e, q);
    ExactReduced out{};
    out.quadrant = bits_at(q, QW, frac_bits) & 3u;
    Fixed f{};
    for (int t = 0; t < FW - 1; ++t) f.w[FW - 2 - t] = bits_at(q, QW, frac_bits - 32 * (t + 1));
    if (f.w[FW - 2] & 0x80000000u) {  // f >= 1/2: round the quadrant up and take 1 - f
        out.quadrant = (out.quadrant + 1) & 3u;
        out.negative = true;
        Fixed one{};
        one.w[FW - 1] = 1;
        f = fx_sub(one, f);
    }
    Fixed half_pi;
    for (int k = 0; k < FW; ++k) half_pi.w[k] = HALF_PI_FIXED[k];
    out.r = fx_mul(f, half_pi);
    return out;
}

// Integers for the final comparison.
constexpr int BW = 24;
using Big = Words<BW>;

inline Big big_from(const Fixed& a) {
    Big r{};
    for (int k = 0; k < FW; ++k) r.w[k] = a.w[k];
    return r;
}

inline Big big_shl(const Big& a, int n) {  // a 2^n, n >= 0, no overflow
    Big r{};
    const int words = n >> 5, bits = n & 31;
    for (int k = BW - 1; k >= words; --k) {
        const std::uint64_t hi = a.w[k - words];
        const std::uint64_t lo = k - words - 1 >= 0 ? a.w[k - words - 1] : 0;
        r.w[k] = static_cast<std::uint32_t>(((hi << 32 | lo) << bits) >> 32);
    }
    return r;
}

inline Big big_mul(const Big& a, std::uint64_t m) {  // a m, m < 2^64, no overflow
    Big r{};
    const std::uint32_t mw[2] = {static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(m >> 32)};
    for (int i = 0; i < 2; ++i) {
        std::uint64_t carry = 0;
        for (int k = 0; k + i < BW; ++k) {
            const std::uint64_t t = static_cast<std::uint64_t>(a.w[k]) * mw[i] + r.w[k + i] + carry;
            r.w[k + i] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
    }
    return r;
}

inline int big_cmp(const Big& a, const Big& b) {
    for (int k = BW - 1; k >= 0; --k)
        if (a.w[k] != b.w[k]) return a.w[k] < b.w[k] ? -1 : 1;
    return 0;
}

// The side of p / q (each within EXACT_ERR u of its exact value, q = 1 exactly when `q_exact`)
// on which m 2^e lies: 1 when p / q > m 2^e, -1 when below, 0 when the errors leave it open.
// With s = 2^max(0, -e) and t = 2^max(0, e), p s is compared with m q t, the left side known to
// within EXACT_ERR s and the right one to within EXACT_ERR m t (or exactly).
int compare_quotient(const Fixed& p, const Fixed& q, bool q_exact, std::uint64_t m, int e) {
    const int sp = e < 0 ? -e : 0;
    const int sq = e > 0 ? e : 0;
    const Big lhs = big_shl(big_from(p), sp);
    const Big rhs = big_shl(big_mul(big_from(q), m), sq);
    Big one{};
    one.w[0] = EXACT_ERR;
    Big err = big_shl(one, sp);
    if (!q_exact) err = words_add(err, big_shl(big_mul(one, m), sq));
    if (big_cmp(lhs, words_add(rhs, err)) > 0) return 1;
    if (big_cmp(rhs, words_add(lhs, err)) > 0) return -1;
    return 0;
}

// A finite double d > 0 as m 2^e with an integer m < 2^53 (and m >= 2^52 for normal numbers).
inline void decompose(double d, std::uint64_t& m, int& e) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    const int biased = static_cast<int>(b >> 52);
    m = b & 0x000FFFFFFFFFFFFFull;
    if (biased) m |= 0x0010000000000000ull;
    e = (biased ? biased : 1) - 1075;
}

// The two neighbouring doubles lo < hi that v (> 0, within ACCURATE_REL) may round to, and the
// midpoint between them as m 2^e. False when v settles the rounding by itself (lo is the answer).
inline bool bracket(DD v, double& lo, double& hi, std::uint64_t& m, int& e) {
    const double d = ACCURATE_REL * v.hi;
    hi = v.hi + (v.lo + d);
    lo = v.hi + (v.lo - d);
    if (lo == hi) return false;
    // 2 d is far below an ulp (2^-53 |v| at least), so lo and hi are neighbours.
    decompose(lo, m, e);  // hi is the next double: the midpoint is (2 m + 1) 2^(e - 1)
    m = 2 * m + 1;
    e -= 1;
    return true;
}

// The double nearest to the magnitude of sin, cos or tan of |x| (kind 0, 1, 2), whose
// double-double approximation (of either sign) is v: v rounded when that settles it, otherwise
// by the exact step.
double round_trig(DD v, double ax, int kind) {
    const bool neg_v = v.hi < 0.0;
    const DD av = neg_v ? neg(v) : v;
    double lo, hi;
    std::uint64_t m;
    int e;
    if (!bracket(av, lo, hi, m, e)) return neg_v ? -lo : lo;
    std::uint64_t mx;
    int ex;
    decompose(ax, mx, ex);
    const ExactReduced red = reduce_exact(mx, ex);
    int side;
    if (kind == 2) {
        const Fixed s = fx_sin_or_cos(red.r, true), c = fx_sin_or_cos(red.r, false);
        side = (red.quadrant & 1u) ? compare_quotient(c, s, false, m, e) : compare_quotient(s, c, false, m, e);
    } else {
        // |sin| of an odd quadrant and |cos| of an even one are cos r, the others sin r.
        const bool odd = !((red.quadrant + static_cast<unsigned>(kind)) & 1u);
        Fixed one{};
        one.w[FW - 1] = 1;
        side = compare_quotient(fx_sin_or_cos(red.r, odd), one, true, m, e);
    }
    const double mag = side > 0 ? hi : side < 0 ? lo : round_dd(av);
    return neg_v ? -mag : mag;
}

// --- The fast evaluation ------------------------------------------------------------------
// Most arguments are settled without double-double series: r is reduced by a three-part pi/2
// (|x| < 2^19) and evaluated as sin(a + u), cos(a + u) around the nearest grid point a = k/64,
// where the main terms S_a + C_a u come from an exact product and the small ones (below 2^-15
// relative) are plain doubles. The result h + l is then known to within D = FAST_REL |h| plus
// what the reduction may have lost. When h + l - D and h + l + D round to the same double, that
// double is the rounding of the exact value; otherwise (about one argument in 250, more next to
// a multiple of pi/2) the accurate path above decides.

constexpr double FAST_REL = 0x1p-62;  // four times the bound of the evaluation below

struct Fast {
    DD r;          // the reduced argument
    double r_err;  // bound on its absolute error
    unsigned quadrant;
};

constexpr double FAST_REDUCE_ERR = 0x1p-95;  // the bound of reduce_fast's error

// |x| in (0, 2^19): n = nearest integer to |x| 2/pi, r = |x| - n pi/2 (n = 0 and r = |x| for
// |x| <= pi/4: the product rounds to at most 1/2, which the addition rounds to the even 0).
inline Fast reduce_fast(double ax) {
    const double n = (ax * TWO_OVER_PI_D + 0x1.8p52) - 0x1.8p52;  // below 2^19
    const double a1 = ax - n * PIO2_1;                            // exact (Sterbenz)
    const DD a2 = two_sum(a1, -(n * PIO2_2));                     // n * PIO2_2 exact
    const DD a3 = two_sum(a2.hi, -(n * PIO2_3));                  // n * PIO2_3 within 2^-98
    const DD r = fast_two_sum(a3.hi, a3.lo + a2.lo);
    return {r, FAST_REDUCE_ERR, static_cast<unsigned>(static_cast<std::int64_t>(n) & 3)};
}

inline Fast reduce_any(double ax) {
    if (ax < 0x1p19) return reduce_fast(ax);
    const Reduced red = reduce(ax);
    return {red.r, 0x1p-100 * std::fabs(red.r.hi), red.quadrant};
}

// sin r and cos r for |r| <= pi/4 + 2^-20, each within 2^-64 relative.
// The sign of r is taken out and put back by multiplying by +-1 (exact), not by branching: after
// a reduction it is as likely either way, and a mispredicted branch costs more than the products.
[[gnu::always_inline]] inline void sin_cos_fast(DD r, DD& s, DD& c) {
    const double sign = std::copysign(1.0, r.hi);
    const double ar = std::fabs(r.hi);
    const double al = r.lo * sign;
    // k, the nearest grid point; y = 64 ar is exact. y + 0.5 is exact for y >= 1/2 (below 1 it
    // lands in [1, 1.5), above it keeps y's own unit), but for y just below 1/2 it rounds up to 1:
    // then ar < 1/128 would meet k = 1, and ar - 1/64 would not be exact (ar is not within a
    // factor 2 of 1/64), losing bits of sin r. Below 1/2, k is 0.
    const double y = ar * 64.0;
    const int k = y < 0.5 ? 0 : static_cast<int>(y + 0.5);
    const double t = ar - k * 0x1p-6;  // exact: |t| <= 1/128 and t is 0 or ar is within a factor 2 of k/64
    const double z = t * t;
    // sin t - t = t ps and cos t - 1 = pc, to within 2^-70 relative for |t| <= 1/128.
    constexpr double S1 = -1.0 / 6.0, S2 = 1.0 / 120.0, S3 = -1.0 / 5040.0;
    constexpr double C1 = -0.5, C2 = 1.0 / 24.0, C3 = -1.0 / 720.0;
    const double ps = z * (S1 + z * (S2 + z * S3));
    const double pc = z * (C1 + z * (C2 + z * C3));
    if (k == 0) {
        s = fast_two_sum(t, t * ps + al);
        c = fast_two_sum(1.0, pc - t * al);
    } else {
        // u = t + al: sin(a + u) = S + C u + C (sin u - u) + S (cos u - 1), and likewise for cos.
        const DD S = SIN_GRID[k], C = COS_GRID[k];
        const double su = t * ps;       // sin u - u
        const double cu = pc - t * al;  // cos u - 1
        const DD p = two_prod(C.hi, t);
        const double ps_small = ((C.lo * t + C.hi * al) + S.lo) + (C.hi * su + S.hi * cu);
        const DD ms = two_sum(S.hi, p.hi);
        s = fast_two_sum(ms.hi, ms.lo + (p.lo + ps_small));
        const DD q = two_prod(S.hi, t);
        const double pc_small = ((C.lo - (S.lo * t + S.hi * al))) + (C.hi * cu - S.hi * su);
        const DD mc = two_sum(C.hi, -q.hi);
        c = fast_two_sum(mc.hi, mc.lo + (pc_small - q.lo));
    }
    s = DD{s.hi * sign, s.lo * sign};
}

// Whether h + l, known to within rel |h| + abs, rounds to a settled double; if so, stores it.
inline bool settled(DD v, double rel, double& out, double abs = 0.0) {
    const double d = rel * std::fabs(v.hi) + abs;
    const double up = v.hi + (v.lo + d), down = v.hi + (v.lo - d);
    if (up != down) return false;
    out = up;
    return true;
}

// The relative error a reduction error adds to sin, cos or tan of r (at most twice err / |r|).
inline double reduction_rel(const Fast& f) { return 2.0 * f.r_err / std::fabs(f.r.hi); }

// sin r and cos r of |x| reduced to its quadrant (returned) by the fast evaluation; adds to rel
// the relative error the reduction may cause, times `weight`.
[[gnu::always_inline]] inline unsigned sin_cos_reduced_fast(double ax, DD& s, DD& c, double& rel, double weight) {
    if (ax <= QUARTER_PI) {
        sin_cos_fast(DD{ax, 0.0}, s, c);
        return 0;
    }
    const Fast f = reduce_any(ax);
    sin_cos_fast(f.r, s, c);
    rel += weight * reduction_rel(f);
    return f.quadrant;
}

// sin |x| and cos |x| by the fast evaluation, each with whether it is settled (if not, the
// accurate path must decide).
//
// Written without data-dependent branches where the data are random (rotation angles are): every
// |x| below 2^19 goes through the three-part reduction, those within pi/4 included (n is 0 for
// them, and r = |x| exactly, since n * PIO2_k is then 0), and the quadrant picks and signs the
// two values through a table rather than through branches.
//
// The error of each value: the evaluation errs by at most 2^-64 relative to sin and cos of the
// reduced argument r' = r.hi + r.lo it is given, and r' lies within err = f.r_err of the exact
// remainder r. Both sin and cos have slopes of at most 1, so sin r' and cos r' lie within err of
// sin r and cos r: each value is within 2^-64 |v| + err of the exact one. settled() is given
// FAST_REL |v| + 2 err, which covers that with room for the roundings of d itself (a relative
// 2^-52 at most, far inside the factors 4 and 2).
[[gnu::always_inline]] inline void sin_cos_abs_fast(double ax, double& s, bool& s_ok, double& c, bool& c_ok) {
    const Fast f = reduce_any(ax);
    DD pair[2];
    sin_cos_fast(f.r, pair[0], pair[1]);
    // sin(n pi/2 + r) is sin r, cos r, -sin r, -cos r for n = 0, 1, 2, 3 (modulo 4), and
    // cos(n pi/2 + r) is cos r, -sin r, -cos r, sin r.
    static constexpr double SIGN[2] = {1.0, -1.0};
    const unsigned q = f.quadrant;
    const double ss = SIGN[(q >> 1) & 1u], cs = SIGN[((q + 1u) >> 1) & 1u];
    const DD& ps = pair[q & 1u];
    const DD& pc = pair[(q & 1u) ^ 1u];
    const double abs = 2.0 * f.r_err;
    s_ok = settled(DD{ps.hi * ss, ps.lo * ss}, FAST_REL, s, abs);
    c_ok = settled(DD{pc.hi * cs, pc.lo * cs}, FAST_REL, c, abs);
}

// The accurate path: exact reduction and double-double series, for |x| >= 2^-27 finite; the
// exact step decides what they leave open.
//
// ACCURATE_REL bounds their relative error with a wide margin. Each double-double operation here
// errs by at most 7u^2 relative (u = 2^-53; the known bounds of these algorithms: 3u^2 for add,
// 7u^2 for mul), so the reduced argument (six exact words summed, then times pi/2) is within
// 2^-101; a kernel is at most 30 operations on a series whose sum is never below half the sum of
// its terms' magnitudes (sinh and cosh against sin and cos for |r| <= pi/4; asin has no
// cancellation), so sin, cos and asin are within 2 * 30 * 7u^2 < 2^-97 plus the argument's error;
// tan adds a quotient of two such values and acos one subtraction from pi/2 or pi that at most
// doubles the relative error. Altogether below 2^-95, a thirty-second of ACCURATE_REL; measured
// on random arguments against a 300-bit reference: at most 2^-104.
[[gnu::noinline]] double sin_abs_accurate(double ax) {
    return round_trig(ax <= QUARTER_PI ? sin_kernel(DD{ax, 0.0}) : sin_of(reduce(ax)), ax, 0);
}
[[gnu::noinline]] double cos_abs_accurate(double ax) {
    return round_trig(ax <= QUARTER_PI ? cos_kernel(DD{ax, 0.0}) : cos_of(reduce(ax)), ax, 1);
}

// sin and cos of a finite |x| > 0 (only those asked for are guaranteed): one code path serves
// sin, cos and sin_cos, so that sin_cos gives exactly the bits of the other two.
[[gnu::always_inline]] inline void sin_cos_abs(double ax, bool want_sin, bool want_cos, double& s, double& c) {
    bool s_ok = false, c_ok = false;
    if (ax >= 0x1p-27) sin_cos_abs_fast(ax, s, s_ok, c, c_ok);
    if (ax < 0x1p-26) {  // |sin x - x| < x^3/6: below a quarter ulp of x
        s = ax;
        s_ok = true;
    }
    if (ax < 0x1p-27) {  // 1 - cos x < x^2/2 < 2^-55
        c = 1.0;
        c_ok = true;
    }
    if (want_sin && !s_ok) s = sin_abs_accurate(ax);
    if (want_cos && !c_ok) c = cos_abs_accurate(ax);
}

}  // namespace

double sin(double x) {
    const double ax = std::fabs(x);
    if (ax == 0.0) return x;
    if (!(ax < INF)) return x - x;  // NaN for infinities; a NaN comes back quiet
    double s, c;
    sin_cos_abs(ax, true, false, s, c);
    return x < 0.0 ? -s : s;
}

double cos(double x) {
    const double ax = std::fabs(x);
    if (!(ax < INF)) return x - x;
    if (ax == 0.0) return 1.0;
    double s, c;
    sin_cos_abs(ax, false, true, s, c);
    return c;
}

void sin_cos(double x, double& s, double& c) {
    const double ax = std::fabs(x);
    if (!(ax < INF)) {
        s = c = x - x;
        return;
    }
    if (ax == 0.0) {
        s = x;
        c = 1.0;
        return;
    }
    double sa;
    sin_cos_abs(ax, true, true, sa, c);
    s = x < 0.0 ? -sa : sa;
}

// --- Many at a time ---------------------------------------------------------------------------
// sin_cos of several arguments at once, the quick evaluation on vectors of doubles (GCC and clang
// vector extensions). Every lane goes through the operations of reduce_fast and sin_cos_fast
// above, in the same order, each an IEEE operation on that lane alone, and the grid point's
// branch (k = 0 or not) becomes a selection between both forms computed: so each lane holds the
// double-doubles the scalar evaluation would, and the quadrant, the rounding test and, where that
// fails, the accurate path are then the scalar code's own. Arguments outside [2^-26, 2^19)
// (zeros, tiny, huge, infinite, NaN) are handed to sin_cos whole.
//
// The lanes are written once for any width: two doubles (SSE2 on x86-64; one instruction per
// lane elsewhere) and, on x86-64 processors that have AVX2, four, in a function built for AVX2
// and chosen at run time. Vector widths change only how many lanes one instruction works on
// (contraction into fused multiply-adds stays off for the whole build), so every width gives
// every lane the same bits.
namespace {

#if defined(__GNUC__) && !defined(__clang__)
// The four-double vectors never cross a function boundary outside the AVX2 build (everything
// below is inlined into it), so the calling convention GCC warns about is never used. (To the end
// of the file: GCC gives the warning when the file ends.)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

template <int N>
struct Lanes {
    using V = typename lanes::VectorOf<N>::V;
    using M = typename lanes::VectorOf<N>::M;
    struct DV {
        V hi, lo;
    };

    [[gnu::always_inline]] static V splat(double v) { return v - V{}; }  // -0.0 too (-0.0 + 0.0 is +0.0)
    [[gnu::always_inline]] static V pick(const M& mask, const V& a, const V& b) {
        return (V)(((M)(a)&mask) | ((M)(b) & ~mask));
    }
    [[gnu::always_inline]] static DV pick(const M& mask, const DV& a, const DV& b) {
        return {pick(mask, a.hi, b.hi), pick(mask, a.lo, b.lo)};
    }
    // two_sum, fast_two_sum, split and two_prod of the scalar code, lane by lane.
    [[gnu::always_inline]] static DV two_sum(const V& a, const V& b) {
        const V s = a + b;
        const V bb = s - a;
        return {s, (a - (s - bb)) + (b - bb)};
    }
    [[gnu::always_inline]] static DV fast_two_sum(const V& a, const V& b) {
        const V s = a + b;
        return {s, b - (s - a)};
    }
    [[gnu::always_inline]] static void split(const V& a, V& hi, V& lo) {
        const V c = 134217729.0 * a;
        hi = c - (c - a);
        lo = a - hi;
    }
    [[gnu::always_inline]] static DV two_prod(const V& a, const V& b) {
        const V p = a * b;
        V ah, al, bh, bl;
        split(a, ah, al);
        split(b, bh, bl);
        return {p, (((ah * bh - p) + ah * bl) + al * bh) + al * bl};
    }

    // reduce_fast and sin_cos_fast on N arguments in (0, 2^19): sin r and cos r, and the quadrants.
    [[gnu::always_inline]] static void fast(const V& ax, DV& s, DV& c, M& quadrant) {
        const V n = (ax * TWO_OVER_PI_D + 0x1.8p52) - 0x1.8p52;
        const V a1 = ax - n * PIO2_1;
        const DV a2 = two_sum(a1, -(n * PIO2_2));
        const DV a3 = two_sum(a2.hi, -(n * PIO2_3));
        const DV r = fast_two_sum(a3.hi, a3.lo + a2.lo);
        const M sign_bit = (M)(splat(-0.0));
        const V sign = (V)(((M)(r.hi) & sign_bit) | (M)(splat(1.0)));
        const V ar = (V)((M)(r.hi) & ~sign_bit);
        const V al = r.lo * sign;
        const V y = ar * 64.0;
        // An integer m below 2^51 plus 1.5 * 2^52 is exact and holds m in its lowest bits: the
        // quadrant n modulo 4, and the grid point k = floor(y + 0.5) (y + 0.5 is exact, see
        // sin_cos_fast), which the addition rounds to the nearest integer, ties to even, and the
        // selection takes one down where that was above.
        quadrant = (M)(n + 0x1.8p52) & 3;
        const M at_zero = y < 0.5;
        const V half_up = y + 0.5;
        const V nearest = (half_up + 0x1.8p52) - 0x1.8p52;
        const V kv = pick(at_zero, splat(0.0), pick(nearest > half_up, nearest - 1.0, nearest));
        const M k = (M)(kv + 0x1.8p52) & 0xff;
        const V grid = kv * 0x1p-6;
        V sh{}, sl{}, ch{}, cl{};
        for (int l = 0; l < N; ++l) {
            const DD& gs = SIN_GRID[k[l]];
            const DD& gc = COS_GRID[k[l]];
            sh[l] = gs.hi, sl[l] = gs.lo, ch[l] = gc.hi, cl[l] = gc.lo;
        }
        const V t = ar - grid;
        const V z = t * t;
        constexpr double S1 = -1.0 / 6.0, S2 = 1.0 / 120.0, S3 = -1.0 / 5040.0;
        constexpr double C1 = -0.5, C2 = 1.0 / 24.0, C3 = -1.0 / 720.0;
        const V ps = z * (S1 + z * (S2 + z * S3));
        const V pc = z * (C1 + z * (C2 + z * C3));
        // k = 0
        const DV s0 = fast_two_sum(t, t * ps + al);
        const DV c0 = fast_two_sum(splat(1.0), pc - t * al);
        // k > 0
        const V su = t * ps;
        const V cu = pc - t * al;
        const DV p = two_prod(ch, t);
        const V ps_small = ((cl * t + ch * al) + sl) + (ch * su + sh * cu);
        const DV ms = two_sum(sh, p.hi);
        const DV s1 = fast_two_sum(ms.hi, ms.lo + (p.lo + ps_small));
        const DV q = two_prod(sh, t);
        const V pc_small = ((cl - (sl * t + sh * al))) + (ch * cu - sh * su);
        const DV mc = two_sum(ch, -q.hi);
        const DV c1 = fast_two_sum(mc.hi, mc.lo + (pc_small - q.lo));
        const DV sv = pick(at_zero, s0, s1);
        s = DV{sv.hi * sign, sv.lo * sign};
        c = pick(at_zero, c0, c1);
    }

    // sin and cos of N arguments x (of |x| = ax) from their lanes: sin_cos_abs_fast's quadrant and
    // rounding test, lane by lane; a lane whose test fails takes the accurate path, as there.
    [[gnu::always_inline]] static void finish(const double* x, const V& ax, const DV& fs, const DV& fc,
                                              const M& quadrant, double* s, double* c) {
        // sin(n pi/2 + r) is sin r, cos r, -sin r, -cos r for n = 0, 1, 2, 3 (modulo 4), and
        // cos(n pi/2 + r) is cos r, -sin r, -cos r, sin r.
        const M odd = (quadrant & 1) != 0;
        const V ss = pick((quadrant & 2) != 0, splat(-1.0), splat(1.0));
        const V cs = pick(((quadrant + 1) & 2) != 0, splat(-1.0), splat(1.0));
        const DV ps = pick(odd, fc, fs), pc = pick(odd, fs, fc);
        const DV vs{ps.hi * ss, ps.lo * ss}, vc{pc.hi * cs, pc.lo * cs};
        // settled(): the interval FAST_REL |h| + 2 FAST_REDUCE_ERR about h + l in one double.
        const M magnitude = ~(M)(splat(-0.0));
        const V ds = FAST_REL * (V)((M)(vs.hi) & magnitude) + 2.0 * FAST_REDUCE_ERR;
        const V dc = FAST_REL * (V)((M)(vc.hi) & magnitude) + 2.0 * FAST_REDUCE_ERR;
        const V s_up = vs.hi + (vs.lo + ds), s_down = vs.hi + (vs.lo - ds);
        const V c_up = vc.hi + (vc.lo + dc), c_down = vc.hi + (vc.lo - dc);
        V vx;
        std::memcpy(&vx, x, sizeof vx);
        const M settled_both = (s_up == s_down) & (c_up == c_down);
        bool all = true;
        for (int l = 0; l < N; ++l) all = all && settled_both[l] != 0;
        if (all) {  // the usual case: every lane at once
            const V sv = pick(vx < 0.0, -s_up, s_up);
            std::memcpy(s, &sv, sizeof sv);
            std::memcpy(c, &c_up, sizeof c_up);
            return;
        }
        for (int l = 0; l < N; ++l) {
            const double sa = s_up[l] == s_down[l] ? s_up[l] : sin_abs_accurate(ax[l]);
            s[l] = x[l] < 0.0 ? -sa : sa;
            c[l] = c_up[l] == c_down[l] ? c_up[l] : cos_abs_accurate(ax[l]);
        }
    }

    // sin_cos of x[0, 2N): two chains of N lanes side by side, each independent of the other.
    [[gnu::always_inline]] static void run(const double* x, double* s, double* c) {
        bool quick = true;
        V ax[2] = {};
        for (int h = 0; h < 2; ++h)
            for (int l = 0; l < N; ++l) {
                ax[h][l] = std::fabs(x[N * h + l]);
                quick = quick && ax[h][l] >= 0x1p-26 && ax[h][l] < 0x1p19;
            }
        if (!quick) {  // rare: each on its own
            for (int l = 0; l < 2 * N; ++l) sin_cos(x[l], s[l], c[l]);
            return;
        }
        DV fs[2], fc[2];
        M q[2];
        fast(ax[0], fs[0], fc[0], q[0]);
        fast(ax[1], fs[1], fc[1], q[1]);
        finish(x, ax[0], fs[0], fc[0], q[0], s, c);
        finish(x + N, ax[1], fs[1], fc[1], q[1], s + N, c + N);
    }
};

// n arguments in groups of 2N, the last few through sin_cos_4 with arguments of its quick path
// beside them.
template <int N>
[[gnu::always_inline]] inline void sin_cos_groups(const double* x, double* s, double* c, std::size_t n) {
    std::size_t i = 0;
    for (; i + 2 * N <= n; i += 2 * N) Lanes<N>::run(x + i, s + i, c + i);
    for (; i < n; i += 4) {
        double xx[4] = {0.5, 0.5, 0.5, 0.5}, ss[4], cc[4];
        const std::size_t m = n - i < 4 ? n - i : 4;
        for (std::size_t l = 0; l < m; ++l) xx[l] = x[i + l];
        Lanes<2>::run(xx, ss, cc);
        for (std::size_t l = 0; l < m; ++l) s[i + l] = ss[l], c[i + l] = cc[l];
    }
}

void sin_cos_many_base(const double* x, double* s, double* c, std::size_t n) { sin_cos_groups<2>(x, s, c, n); }

#ifdef DREVAN_LANES_AVX2
[[gnu::target("avx2")]] void sin_cos_many_avx2(const double* x, double* s, double* c, std::size_t n) {
    sin_cos_groups<4>(x, s, c, n);
}
#endif

using SinCosMany = void (*)(const double*, double*, double*, std::size_t);
SinCosMany sin_cos_many_chosen() {
#ifdef DREVAN_LANES_AVX2
    static const SinCosMany chosen = lanes::avx2() ? &sin_cos_many_avx2 : &sin_cos_many_base;
    return chosen;
#else
    return &sin_cos_many_base;
#endif
}

}  // namespace

void sin_cos_4(const double (&x)[4], double (&s)[4], double (&c)[4]) { Lanes<2>::run(x, s, c); }

void sin_cos_n(const double* x, double* s, double* c, std::size_t n) { sin_cos_many_chosen()(x, s, c, n); }

void sin_cos_n_base(const double* x, double* s, double* c, std::size_t n) { sin_cos_many_base(x, s, c, n); }

namespace {
// a / b for a and b each within FAST_REL relative: within 2^-61 relative.
inline DD quotient_fast(DD a, DD b) {
    const double q = a.hi / b.hi;
    const DD p = two_prod(q, b.hi);
    const double rest = (((a.hi - p.hi) - p.lo) + a.lo) - q * b.lo;  // a.hi - p.hi is exact
    return fast_two_sum(q, rest / b.hi);
}

bool tan_abs_fast(double ax, double& t) {
    DD s, c;
    double rel = 2.0 * FAST_REL;
    const unsigned quadrant = sin_cos_reduced_fast(ax, s, c, rel, 2.0);  // tan r moves by (1 + tan^2 r) dr
    const DD v = (quadrant & 1u) ? neg(quotient_fast(c, s)) : quotient_fast(s, c);
    return settled(v, rel, t);
}

[[gnu::noinline]] double tan_abs_accurate(double ax) {
    if (ax <= QUARTER_PI) {
        const DD r{ax, 0.0};
        return round_trig(div(sin_kernel(r), cos_kernel(r)), ax, 2);
    }
    const Reduced red = reduce(ax);
    const DD s = sin_kernel(red.r), c = cos_kernel(red.r);
    return round_trig((red.quadrant & 1u) ? neg(div(c, s)) : div(s, c), ax, 2);
}
}  // namespace

double tan(double x) {
    const double ax = std::fabs(x);
    if (ax < 0x1p-27) return x;  // tan x - x < x^3/3: below a quarter ulp of x
    if (!(ax < INF)) return x - x;
    double t;
    if (!tan_abs_fast(ax, t)) t = tan_abs_accurate(ax);
    return x < 0.0 ? -t : t;
}

namespace {
// asin s for 0 <= s <= 1/2 given as a double-double, to within 2^-63 relative: one Newton step
// u = u0 - (sin u0 - s) / cos u0 from u0, the series summed in doubles up to s^37 (within about
// 2^-45 relative), with sin u0 and cos u0 from the fast evaluation. The step leaves the error of
// sin u0 divided by cos u0 >= 0.86, and a term of the order of (u0 - asin s)^2, below 2^-90.
inline DD asin_fast(DD s) {
    const double z = s.hi * s.hi;
    double p = ASIN_COEF[18].hi;
    for (int k = 17; k >= 0; --k) p = p * z + ASIN_COEF[k].hi;
    const double u0 = s.hi * p;
    DD su, cu;
    sin_cos_fast(DD{u0, 0.0}, su, cu);
    const double diff = (su.hi - s.hi) + (su.lo - s.lo);  // su.hi - s.hi is exact
    return fast_two_sum(u0, -(diff / cu.hi));
}

constexpr double FAST_ACOS_REL = 0x1p-60;  // eight times the bound of asin_fast

// acos x for |x| < 1 by the fast evaluation; false when the accurate path must decide.
inline bool acos_fast(double x, double ax, double& out) {
    DD v;
    if (ax <= 0.5) {
        const DD u = asin_fast(DD{ax, 0.0});
        v = sub(HALF_PI_DD, x < 0.0 ? neg(u) : u);
    } else {
        const DD u = asin_fast(sqrt_dd((1.0 - ax) * 0.5));
        const DD twice{u.hi * 2.0, u.lo * 2.0};
        v = x > 0.0 ? twice : sub(PI_DD, twice);
    }
    return settled(v, FAST_ACOS_REL, out);
}

double round_acos(DD v, double x);

// acos x for 0 < |x| < 1 in double-double, rounded by round_acos.
[[gnu::noinline]] double acos_accurate(double x, double ax) {
    if (ax <= 0.5) return round_acos(sub(HALF_PI_DD, asin_kernel(DD{x, 0.0})), x);
    // acos |x| = 2 asin(sqrt((1 - |x|) / 2)); 1 - |x| is exact for |x| in [1/2, 1].
    const DD a = asin_kernel(sqrt_dd((1.0 - ax) * 0.5));
    const DD twice{a.hi * 2.0, a.lo * 2.0};
    return round_acos(x > 0.0 ? twice : sub(PI_DD, twice), x);
}

// The double nearest to acos x (|x| < 1) given v, its double-double approximation: v rounded when
// that settles it, otherwise by the exact step, which compares x with cos M for the midpoint M
// left open (acos decreases: acos x > M exactly when x < cos M). cos M is known to within
// 2^-247. For |x| >= 2^-60 (below, acos x is within 2^-59 of pi/2, which lies 0.23 ulp from a
// midpoint, so v always settles it) acos x >= acos(1 - 2^-53) > 2^-27 and pi - acos x > 2^-27,
// so |x - cos M| >= 2^-27 * 0.6 |acos x - M|: a relative distance of 2^-120 between acos x and M
// still leaves more than 2^-175 between x and cos M.
double round_acos(DD v, double x) {
    double lo, hi;
    std::uint64_t m;
    int e;
    if (!bracket(v, lo, hi, m, e)) return lo;
    const double ax = std::fabs(x);
    if (ax < 0x1p-60) return round_dd(v);
    const ExactReduced red = reduce_exact(m, e);  // M = m 2^e in (0, pi): quadrant 0, 1 or 2
    // cos(n pi/2 + r) for n = 0, 1, 2: cos r, -sin r, -cos r.
    const bool odd = red.quadrant & 1u;
    const Fixed cos_mag = fx_sin_or_cos(red.r, odd);
    const bool cos_negative = odd ? !red.negative : red.quadrant == 2;
    const bool x_negative = x < 0.0;
    if (cos_negative != x_negative) return x_negative ? hi : lo;  // x < cos M exactly when x < 0
    Fixed one{};
    one.w[FW - 1] = 1;
    std::uint64_t mx;
    int ex;
    decompose(ax, mx, ex);
    const int side = compare_quotient(cos_mag, one, true, mx, ex);  // |cos M| against |x|
    if (side == 0) return round_dd(v);
    // Same signs: x < cos M when |cos M| > |x| for positive x, when |cos M| < |x| for negative.
    return (side > 0) != x_negative ? hi : lo;
}
}  // namespace

double acos(double x) {
    if (x != x) return x + x;
    const double ax = std::fabs(x);
    if (ax > 1.0) return (x - x) / (x - x);  // outside the domain (infinities too): NaN
    if (ax == 1.0) return x > 0.0 ? 0.0 : PI_DD.hi;
    double fast;
    if (acos_fast(x, ax, fast)) return fast;
    return acos_accurate(x, ax);
}

}  // namespace drevan::trig

#ifdef DREVAN_LANES_AVX2
namespace drevan {
bool lanes::avx2() noexcept { return cpu::vector_build() >= cpu::VectorBuild::avx2; }
}  // namespace drevan
#endif
