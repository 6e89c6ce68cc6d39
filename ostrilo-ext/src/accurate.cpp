// Accurate angles (accurate.hpp). acos near 1 loses half the digits of its argument (acos(1 - e)
// is about sqrt(2 e)), so the angle of a small rotation or of two nearly parallel vectors is read
// through atan2 of the sine and cosine parts instead, both known to full relative accuracy.
#include "accurate.hpp"

#include <cmath>
#include <limits>

#include "drevan/trig.hpp"
#include "quat_core.hpp"
#include "rotations.hpp"

namespace ostrilo::ext {

double scaled_length(const double* v, int n, double squares) {
    double m = 0.0;
    for (int k = 0; k < n; ++k) {
        if (!std::isfinite(v[k])) return std::sqrt(squares);  // inf or NaN, as the formula has it
        m = std::fabs(v[k]) > m ? std::fabs(v[k]) : m;
    }
    if (m == 0.0) return 0.0;
    // The largest brought to [0.5, 1): the sum is in [0.25, n), and a square that underflows now
    // is below 2^-2000 of it. The same additions in the same order as the formula's.
    const int e = exponent_of(m);
    double s = 0.0;
    for (int k = 0; k < n; ++k) {
        const double x = times_pow2(v[k], -e);
        s = k == 0 ? x * x : s + x * x;
    }
    return times_pow2(std::sqrt(s), e);
}

drevan::Vec3d scaled_unit(const drevan::Vec3d& v, double squares) {
    const int e = scale_exponent(v.x, v.y, v.z);
    const drevan::Vec3d w = times_pow2(v, -e);  // v itself when zero, infinite or NaN
    const double m = e == 0 ? std::sqrt(squares) : std::sqrt((w.x * w.x + w.y * w.y) + w.z * w.z);
    return {w.x / m, w.y / m, w.z / m};
}

drevan::Quat scaled_unit(const drevan::Quat& q, double squares) {
    const int e = scale_exponent(q.w, q.i, q.j, q.k);
    const drevan::Quat r = times_pow2(q, -e);  // q itself when zero, infinite or NaN
    const double m = e == 0 ? std::sqrt(squares) : std::sqrt(((r.w * r.w + r.i * r.i) + r.j * r.j) + r.k * r.k);
    return {r.w / m, r.i / m, r.j / m, r.k / m};
}

namespace {

// The angle of q in [0, pi] is 2 atan2(y, x) for the y and x found here, and its axis is stored
// when `axis` is given (the three divisions that give it are the larger part of the cost when
// only the angle is wanted, as for a list's magnitudes). False for the zero quaternion.
template <bool WithAxis>
bool angle_arguments(const drevan::Quat& q0, drevan::Vec3d* axis, double& y, double& x) noexcept {
    // The same rotation, angle within [0, pi]
    const drevan::Quat q = q0.w < 0.0 ? drevan::Quat{-q0.w, -q0.i, -q0.j, -q0.k} : q0;
    // |(i, j, k)| as sq 2^e, the vector part scaled by 2^-e (exact) so that the squares of a tiny
    // rotation's components do not underflow.
    const int e = scale_exponent(q.i, q.j, q.k);
    const double si = times_pow2(q.i, -e), sj = times_pow2(q.j, -e), sk = times_pow2(q.k, -e);
    const double sq = std::sqrt((si * si + sj * sj) + sk * sk);
    if (sq == 0.0) {
        if (q.w == 0.0) return false;
        if constexpr (WithAxis) *axis = drevan::Vec3d{1.0, 0.0, 0.0};
        y = 0.0, x = 1.0;  // the angle 0
        return true;
    }
    const double s = times_pow2(sq, e);
    if ((s >= std::numeric_limits<double>::min() && s <= std::numeric_limits<double>::max()) || e == 0) {
        // The stored vector part is -sin(angle / 2) times the axis.
        if constexpr (WithAxis) *axis = drevan::Vec3d{-q.i / s, -q.j / s, -q.k / s};
        y = s, x = q.w;
        return true;
    }
    // |(i, j, k)| is subnormal or beyond the largest double: the axis from the scaled parts, the
    // angle with w at their scale, unless w is so much larger there that it overflows (the angle
    // is then below 2^-1020 and the subnormal s serves as well as anything).
    const double sw = times_pow2(q.w, -e);
    if (std::isfinite(sw))
        y = sq, x = sw;
    else
        y = s, x = q.w;
    if constexpr (WithAxis) *axis = drevan::Vec3d{-si / sq, -sj / sq, -sk / sq};
    return true;
}

}  // namespace

bool core::axis_angle(const drevan::Quat& q, drevan::Vec3d& axis, double& angle) noexcept {
    double y, x;
    if (!angle_arguments<true>(q, &axis, y, x)) return false;
    const double half = drevan::trig::atan2(y, x);
    angle = half + half;
    return true;
}

bool core::rotation_angles(const drevan::Quat* q, std::size_t count, double* angle) noexcept {
    // The arguments of all the arctangents first, then all of them at once.
    double y[kAnglesChunk] = {}, x[kAnglesChunk] = {}, half[kAnglesChunk];
    bool ok = true;
    for (std::size_t k = 0; k < count; ++k)
        if (!angle_arguments<false>(q[k], nullptr, y[k], x[k])) {
            ok = false;
            y[k] = 0.0, x[k] = 1.0;
        }
    drevan::trig::atan2_n(y, x, half, count);
    for (std::size_t k = 0; k < count; ++k) angle[k] = half[k] + half[k];
    return ok;
}

std::pair<drevan::Vec3d, drevan::AngleRadians> axis_angle(const drevan::Quat& q) {
    drevan::Vec3d axis;
    double angle;
    if (!core::axis_angle(q, axis, angle)) value_error("axis_angle(): the zero quaternion is no rotation");
    return {axis, drevan::AngleRadians{angle}};
}

drevan::AngleRadians angle_between(const drevan::Vec3d& a, const drevan::Vec3d& b) {
    if ((a.x == 0.0 && a.y == 0.0 && a.z == 0.0) || (b.x == 0.0 && b.y == 0.0 && b.z == 0.0))
        value_error("angle_between(): a zero vector has no direction");
    // Scaled by powers of two (exact, the same angle) so that tiny or huge vectors neither
    // underflow nor overflow in the products; the cross product of nearly parallel vectors is
    // tiny itself, and its length is taken at full range.
    const int ea = scale_exponent(a.x, a.y, a.z), eb = scale_exponent(b.x, b.y, b.z);
    const drevan::Vec3d sa = times_pow2(a, -ea), sb = times_pow2(b, -eb);
    return {drevan::trig::atan2(length(sa.cross(sb)), sa.dot(sb))};
}

}  // namespace ostrilo::ext
