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

// --- Four at a time -----------------------------------------------------------------------
// The same operations as atan2 above, lane by lane, on vectors of two doubles (GCC and clang
// vector extensions: one instruction for both lanes where the machine has vector doubles, one per
// lane where it has not). Each lane is an IEEE operation on that lane alone, so each lane gives
// atan2's bits. The branches of atan become selections: every lane computes the reduction in one
// form, (P a - Q) / (P + Q a), with (P, Q) = (1, 0) below 0.4375 (a / 1, exactly a), (2, 1) up to
// 0.6875 ((2a - 1) / (2 + a)), (1, 1) up to 1.1875 ((a - 1) / (1 + a)), (1, 1.5) up to 2.4375
// ((a - 1.5) / (1 + 1.5a)) and (0, 1) beyond (0 a - 1 = -1 and 0 + a = a: -1 / a); every product
// by 1 or 0 and every sum with 0 there is exact, so the quotient is the one atan forms. Lanes that
// atan2 answers otherwise (a zero, infinite or NaN argument, x = 1, exponents more than 60 apart)
// are answered by atan2 itself.
namespace {

using V2 = double __attribute__((vector_size(16)));
using M2 = long long __attribute__((vector_size(16)));

inline V2 splat(double v) { return V2{v, v}; }
// a where the mask is set, else b.
inline V2 pick(M2 mask, V2 a, V2 b) {
    return std::bit_cast<V2>((std::bit_cast<M2>(a) & mask) | (std::bit_cast<M2>(b) & ~mask));
}
inline V2 pick(M2 mask, double a, double b) { return pick(mask, splat(a), splat(b)); }

inline V2 atan2_lanes(V2 vy, V2 vx) {
    const M2 sign_bit = std::bit_cast<M2>(splat(-0.0));
    const V2 a = std::bit_cast<V2>(std::bit_cast<M2>(vy / vx) & ~sign_bit);  // |y / x|
    const M2 c1 = a < 0.4375, c2 = a < 0.6875, c3 = a < 1.1875, c4 = a < 2.4375;
    const V2 p = pick(c1, splat(1.0), pick(c2, splat(2.0), pick(c4, 1.0, 0.0)));
    const V2 q = pick(c1, splat(0.0), pick(c3, splat(1.0), pick(c4, 1.5, 1.0)));
    const V2 hi = pick(c2, splat(ATAN_HI[0]), pick(c3, splat(ATAN_HI[1]), pick(c4, ATAN_HI[2], ATAN_HI[3])));
    const V2 lo = pick(c2, splat(ATAN_LO[0]), pick(c3, splat(ATAN_LO[1]), pick(c4, ATAN_LO[2], ATAN_LO[3])));
    const V2 t = (p * a - q) / (p + q * a);
    const V2 z = t * t;
    const V2 w = z * z;
    const V2 s1 = z * (AT[0] + w * (AT[2] + w * (AT[4] + w * (AT[6] + w * (AT[8] + w * AT[10])))));
    const V2 s2 = w * (AT[1] + w * (AT[3] + w * (AT[5] + w * (AT[7] + w * AT[9]))));
    const V2 small = t - t * (s1 + s2);
    const V2 large = hi - ((t * (s1 + s2) - lo) - t);
    V2 r = pick(c1, small, large);
    r = pick(a < 0x1p-27, a, r);  // atan(a) = a within half an ulp
    // The quadrant: z, -z, pi - (z - pi_lo), (z - pi_lo) - pi for the signs of (y, x) (+, +),
    // (-, +), (+, -), (-, -).
    const M2 y_neg = (std::bit_cast<M2>(vy) & sign_bit) != 0, x_neg = (std::bit_cast<M2>(vx) & sign_bit) != 0;
    const V2 right = pick(y_neg, -r, r);
    const V2 left = pick(y_neg, (r - PI_LO) - PI, PI - (r - PI_LO));
    return pick(x_neg, left, right);
}

// Whether atan2(y, x) is atan(|y / x|) put in its quadrant, with no special case on the way.
inline bool ordinary(double y, double x) {
    if (!(std::isfinite(x) && std::isfinite(y)) || x == 0.0 || y == 0.0 || x == 1.0) return false;
    const int k = exponent_of(y) - exponent_of(x);
    return k <= 60 && !(std::signbit(x) && k < -60);
}

}  // namespace

// ordinary() of both lanes at once, on the bits: the magnitudes' bits below those of infinity
// (finite) and above 0 (nonzero), x not 1, and the biased exponents' difference as there.
inline M2 ordinary_lanes(V2 vy, V2 vx) {
    const M2 magnitude = ~std::bit_cast<M2>(splat(-0.0));
    const M2 by = std::bit_cast<M2>(vy) & magnitude, bx = std::bit_cast<M2>(vx) & magnitude;
    const M2 inf = std::bit_cast<M2>(splat(INFINITY));
    const M2 k = (by >> 52) - (bx >> 52);
    const M2 x_neg = std::bit_cast<M2>(vx) < 0;
    return (by < inf) & (bx < inf) & (by != 0) & (bx != 0) & (vx != 1.0) & (k <= 60) & ~(x_neg & (k < -60));
}

void atan2_4(const double (&y)[4], const double (&x)[4], double (&out)[4]) {
    const V2 y0{y[0], y[1]}, x0{x[0], x[1]}, y1{y[2], y[3]}, x1{x[2], x[3]};
    const V2 v0 = atan2_lanes(y0, x0), v1 = atan2_lanes(y1, x1);
    const M2 ok = ordinary_lanes(y0, x0) & ordinary_lanes(y1, x1);
    const double v[4] = {v0[0], v0[1], v1[0], v1[1]};
    if (ok[0] && ok[1]) {  // every lane: the usual case
        for (int k = 0; k < 4; ++k) out[k] = v[k];
        return;
    }
    for (int k = 0; k < 4; ++k) out[k] = ordinary(y[k], x[k]) ? v[k] : atan2(y[k], x[k]);
}

}  // namespace drevan::trig
