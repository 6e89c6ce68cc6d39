#pragma once
// Angles read through atan2, accurate at every size, and the full-range lengths and power-of-two
// scaling that the rotations and the tolerant geometry share (accurate.cpp).
//
// Full range. A square of a coordinate under about 1e-154 underflows and one over about 1e154
// overflows, so a length, a dot product or an inverse computed as written fails for vectors that
// are themselves ordinary finite numbers. Multiplying by a power of two is exact (unless a value
// becomes subnormal), and every formula here is homogeneous in its inputs, so the functions
// below compute at a scale where nothing under- or overflows and scale back. The scaled and the
// unscaled computation give the same bits wherever the unscaled one neither under- nor overflows;
// each function takes the unscaled path where that is sure, so results for inputs of ordinary
// sizes are the bits they always were, at the cost of a comparison or two.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "shared.hpp"

namespace ostrilo::ext {

// The axis and angle in [0, pi] that from_axis_angle turns back into q (or -q): the angle is
// 2 atan2(|(i, j, k)|, |w|). The identity gives the x axis and 0. ValueError for zero.
std::pair<drevan::Vec3d, drevan::AngleRadians> axis_angle(const drevan::Quat& q);
// atan2(|a x b|, a . b): exactly 0 for parallel and pi for antiparallel vectors.
drevan::AngleRadians angle_between(const drevan::Vec3d& a, const drevan::Vec3d& b);

// ---------------------------------------------------------------------------------------------
// Full range.

// Sums of squares within these bounds were computed without any loss to under- or overflow that
// matters (a square that underflowed is below 2^-107 of the sum), so their square roots are used
// as they are.
inline constexpr double kSquaresLow = 0x1p-960;
inline constexpr double kSquaresHigh = 0x1p+960;
// Coordinates from 2^kLargeExponent up are scaled down before products of two of them are formed.
inline constexpr int kLargeExponent = 480;

// The exponent e with 2^(e - 1) <= m < 2^e (frexp's) of a finite m > 0.
inline int exponent_of(double m) {
    const auto biased = static_cast<int>(std::bit_cast<std::uint64_t>(m) >> 52);
    if (biased != 0) return biased - 1022;
    int e;  // subnormal
    std::frexp(m, &e);
    return e;
}

// exponent_of the largest magnitude among the values; 0 when they are all zero or one of them is
// infinite (which no scaling helps). NaNs are passed over: a NaN stays NaN at every scale.
template <class... D>
int scale_exponent(D... v) {
    double m = 0.0;
    ((m = std::fabs(v) > m ? std::fabs(v) : m), ...);
    // Not DBL_MAX: on macOS <cmath> takes part of float.h first, and libc++'s include guard
    // then keeps <cfloat> from defining it.
    return m == 0.0 || m > std::numeric_limits<double>::max() ? 0 : exponent_of(m);
}

// scale_exponent where the largest magnitude is at least 2^kLargeExponent, 0 below: the scale
// that keeps products of such coordinates finite, and leaves ordinary ones alone. (0 with an
// infinite value: the formula as written then gives IEEE's answer.)
template <class... D>
int large_exponent(D... v) {
    const int e = scale_exponent(v...);
    return e > kLargeExponent ? e : 0;
}

// x 2^k: exact unless the result is subnormal (then correctly rounded) or overflows (then +-inf).
// One multiplication where 2^k is a normal double.
inline double times_pow2(double x, int k) {
    if (k >= -1022 && k <= 1023) return x * std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
    return std::ldexp(x, k);
}
inline drevan::Vec3d times_pow2(const drevan::Vec3d& v, int k) {
    if (k >= -1022 && k <= 1023) {
        const double f = std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
        return {v.x * f, v.y * f, v.z * f};
    }
    return {std::ldexp(v.x, k), std::ldexp(v.y, k), std::ldexp(v.z, k)};
}
inline drevan::Quat times_pow2(const drevan::Quat& q, int k) {
    if (k >= -1022 && k <= 1023) {
        const double f = std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
        return {q.w * f, q.i * f, q.j * f, q.k * f};
    }
    return {std::ldexp(q.w, k), std::ldexp(q.i, k), std::ldexp(q.j, k), std::ldexp(q.k, k)};
}

inline bool all_finite(const drevan::Vec3d& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// sqrt of `squares`, the sum of the squares of v[0..n) in index order, computed again at a scale
// where no square under- or overflows when it did (the slow path of the lengths below).
double scaled_length(const double* v, int n, double squares);

// sqrt((x * x + y * y) + z * z), and the same for two and four values, at every size: the bits of
// that formula wherever its squares neither under- nor overflow, +inf only where the length
// exceeds the largest double. Zero, infinities and NaN give what the formula gives.
inline double length(double x, double y) {
    const double s = x * x + y * y;
    if (s >= kSquaresLow && s <= kSquaresHigh) [[likely]]
        return std::sqrt(s);
    const double v[2] = {x, y};
    return scaled_length(v, 2, s);
}
inline double length(double x, double y, double z) {
    const double s = (x * x + y * y) + z * z;
    if (s >= kSquaresLow && s <= kSquaresHigh) [[likely]]
        return std::sqrt(s);
    const double v[3] = {x, y, z};
    return scaled_length(v, 3, s);
}
inline double length(const drevan::Vec3d& v) { return length(v.x, v.y, v.z); }
inline double length(const drevan::Quat& q) {
    const double s = ((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k;
    if (s >= kSquaresLow && s <= kSquaresHigh) [[likely]]
        return std::sqrt(s);
    const double v[4] = {q.w, q.i, q.j, q.k};
    return scaled_length(v, 4, s);
}

// v / |v|, the bits of Vec3d.normalize() where its squares neither under- nor overflow, and
// otherwise v 2^-e / |v 2^-e| (a subnormal length would carry its rounding into the direction).
drevan::Vec3d scaled_unit(const drevan::Vec3d& v, double squares);
inline drevan::Vec3d unit(const drevan::Vec3d& v) {
    const double s = (v.x * v.x + v.y * v.y) + v.z * v.z;
    if (s >= kSquaresLow && s <= kSquaresHigh) [[likely]] {
        const double m = std::sqrt(s);
        return {v.x / m, v.y / m, v.z / m};
    }
    return scaled_unit(v, s);
}
// The same for a quaternion: q 2^-e / |q 2^-e|, the slow path of q / |q|.
drevan::Quat scaled_unit(const drevan::Quat& q, double squares);

}  // namespace ostrilo::ext
