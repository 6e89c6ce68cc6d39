// Arctangent (trig.hpp). |x| is reduced to |t| <= 7/16 about one of the points 1/2, 1, 3/2 or
// infinity, atan(x) = atan(c) + atan((x - c) / (1 + c x)), with atan(c) held as a sum of two
// doubles, and atan(t) = t - t^3 P(t^2) by a minimax polynomial whose terms are split into even
// and odd parts so that both Horner chains are short. atan2 handles the zeros, infinities and
// quadrants first, then takes atan(|y / x|).
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

}  // namespace drevan::trig
