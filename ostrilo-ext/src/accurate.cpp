// Accurate angles (accurate.hpp). acos near 1 loses half the digits of its argument (acos(1 - e)
// is about sqrt(2 e)), so the angle of a small rotation or of two nearly parallel vectors is read
// through atan2 of the sine and cosine parts instead, both known to full relative accuracy.
#include "accurate.hpp"

#include <cmath>

#include "drevan/trig.hpp"
#include "rotations.hpp"

namespace ostrilo::ext {

std::pair<drevan::Vec3d, drevan::AngleRadians> axis_angle(const drevan::Quat& q0) {
    const drevan::Quat q = q0.w < 0.0 ? negated(q0) : q0;  // the same rotation, angle within [0, pi]
    const double s = std::sqrt((q.i * q.i + q.j * q.j) + q.k * q.k);
    if (s == 0.0) {
        if (q.w == 0.0) value_error("axis_angle(): the zero quaternion is no rotation");
        return {drevan::Vec3d{1.0, 0.0, 0.0}, drevan::AngleRadians{0.0}};
    }
    const double half = drevan::trig::atan2(s, q.w);
    // The stored vector part is -sin(angle / 2) times the axis.
    return {drevan::Vec3d{-q.i / s, -q.j / s, -q.k / s}, drevan::AngleRadians{half + half}};
}

drevan::AngleRadians angle_between(const drevan::Vec3d& a, const drevan::Vec3d& b) {
    if ((a.x == 0.0 && a.y == 0.0 && a.z == 0.0) || (b.x == 0.0 && b.y == 0.0 && b.z == 0.0))
        value_error("angle_between(): a zero vector has no direction");
    return {drevan::trig::atan2(a.cross(b).magnitude(), a.dot(b))};
}

}  // namespace ostrilo::ext
