// Accurate angles (accurate.hpp). acos near 1 loses half the digits of its argument (acos(1 - e)
// is about sqrt(2 e)), so the angle of a small rotation or of two nearly parallel vectors is read
// through atan2 of the sine and cosine parts instead, both known to full relative accuracy.
#include "accurate.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "drevan/trig.hpp"
#include "quat_core.hpp"
#include "rotations.hpp"

namespace ostrilo::ext {

namespace {

// 2^-e with e the exponent of the largest magnitude among the values: multiplying by it is exact
// (a power of two) and brings the largest to [0.5, 1), so that no square below underflows or
// overflows. 1 when all are zero or one is not finite.
template <class... D>
double power_scale(D... v) {
    double m = 0.0;
    ((m = std::fabs(v) > m ? std::fabs(v) : m), ...);
    if (m == 0.0 || !std::isfinite(m)) return 1.0;
    std::uint64_t bits;
    std::memcpy(&bits, &m, sizeof bits);
    const auto e = static_cast<int>(bits >> 52);  // the biased exponent (m is positive)
    if (e >= 1 && e <= 2044) {
        // m = 2^(e - 1023) * 1.f, so 2^(1022 - e), biased 2045 - e, brings it to [0.5, 1).
        const std::uint64_t f = static_cast<std::uint64_t>(2045 - e) << 52;
        double scale;
        std::memcpy(&scale, &f, sizeof scale);
        return scale;
    }
    int exponent;  // subnormal or within a factor 4 of the largest double
    std::frexp(m, &exponent);
    return std::ldexp(1.0, -exponent);
}

}  // namespace

bool core::axis_angle(const drevan::Quat& q0, drevan::Vec3d& axis, double& angle) noexcept {
    // The same rotation, angle within [0, pi]
    const drevan::Quat q = q0.w < 0.0 ? drevan::Quat{-q0.w, -q0.i, -q0.j, -q0.k} : q0;
    // |(i, j, k)| with the vector part scaled by a power of two (exact) so that the squares of a
    // tiny rotation's components do not underflow.
    const double f = power_scale(q.i, q.j, q.k);
    const double si = q.i * f, sj = q.j * f, sk = q.k * f;
    const double s = std::sqrt((si * si + sj * sj) + sk * sk) / f;
    if (s == 0.0) {
        if (q.w == 0.0) return false;
        axis = drevan::Vec3d{1.0, 0.0, 0.0};
        angle = 0.0;
        return true;
    }
    const double half = drevan::trig::atan2(s, q.w);
    // The stored vector part is -sin(angle / 2) times the axis.
    axis = drevan::Vec3d{-q.i / s, -q.j / s, -q.k / s};
    angle = half + half;
    return true;
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
    // underflow nor overflow in the products.
    const double fa = power_scale(a.x, a.y, a.z), fb = power_scale(b.x, b.y, b.z);
    const drevan::Vec3d sa{a.x * fa, a.y * fa, a.z * fa}, sb{b.x * fb, b.y * fb, b.z * fb};
    return {drevan::trig::atan2(sa.cross(sb).magnitude(), sa.dot(sb))};
}

}  // namespace ostrilo::ext
