#pragma once
// Quaternion (w, i, j, k) for rotating vectors; it need not have unit length and nothing
// normalises it behind the caller's back. Formulas keep the order of their rounded operations
// exactly as written (the build forbids contraction), including the products with the zero
// scalar part of a pure quaternion, which decide NaN, infinities and the sign of zero.
// Sine, cosine and arccosine are drevan's own (drevan/trig.hpp).
#include <array>
#include <cmath>
#include <string>
#include <utility>

#include "drevan/trig.hpp"
#include "drevan/vec3d.hpp"

namespace drevan {

struct Quat {
    double w, i, j, k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }

    // q = (cos(a/2), -sin(a/2) * axis): `rotate` then turns vectors by +a about a unit axis
    // (right-hand rule). The axis is used as given; a non-unit axis scales as well.
    static Quat from_axis_angle(const Vec3d& axis, double angle) {
        const double h = angle * -0.5;
        double s, c;
        trig::sin_cos(h, s, c);  // the same bits as trig::sin and trig::cos
        return {c, s * axis.x, s * axis.y, s * axis.z};
    }

    // Flips the sign bits of the vector part, so zeros become -0.
    constexpr Quat conjugate() const { return {w, -i, -j, -k}; }

    double magnitude() const { return std::sqrt(((w * w + i * i) + j * j) + k * k); }
    bool is_unit() const { return std::fabs(magnitude() - 1.0) < EPSILON; }
    // No zero test: the zero quaternion gives NaN everywhere.
    Quat normalize() const {
        const double m = magnitude();
        return {w / m, i / m, j / m, k / m};
    }

    // The vector part of conj(q) * (0, v) * q. Not normalised first: a quaternion of length m
    // scales the result by m*m.
    constexpr Vec3d rotate(const Vec3d& v) const {
        Vec3d out{};
        rotate_components(v.x, v.y, v.z, out.x, out.y, out.z);
        return out;
    }

    // The formula of `rotate` on components of any type with IEEE +, - and * against doubles:
    // doubles, or vectors of doubles whose lanes hold different vectors' components (the list
    // loops), which then get each lane's `rotate` bits.
    template <class T>
    constexpr void rotate_components(const T& x, const T& y, const T& z, T& out_x, T& out_y, T& out_z) const {
        // t = conj(q) * (0, x, y, z); the zero scalar part takes part like any other component.
        const T tw = ((x * i + w * 0.0) + y * j) + z * k;
        const T ti = ((x * w - i * 0.0) - z * j) + y * k;
        const T tj = ((y * w - j * 0.0) - x * k) + z * i;
        const T tk = ((z * w - k * 0.0) - y * i) + x * j;
        // Vector part of t * q.
        out_x = ((i * tw + w * ti) + k * tj) - j * tk;
        out_y = ((w * tj + j * tw) + i * tk) - k * ti;
        out_z = ((w * tk + k * tw) + j * ti) - i * tj;
    }

    // Axis and angle (radians) read in the convention v -> q * (0, v) * conj(q), the opposite
    // of `rotate`: from_axis_angle(n, a) comes back as (-n, a). Within EPSILON of w == 1 the
    // answer is the x axis and angle 0; |w| > 1 beyond that gives NaN throughout.
    std::pair<Vec3d, double> to_axis_angle() const {
        if (std::fabs(w - 1.0) < EPSILON) return {Vec3d{1.0, 0.0, 0.0}, 0.0};
        const double a = trig::acos(w);
        const double theta = a + a;
        const double s = trig::sin(theta * 0.5);
        return {Vec3d{i / s, j / s, k / s}, theta};
    }

    // Rows of the rotation matrix in the same convention as to_axis_angle (the transpose of
    // what `rotate` applies, for a unit quaternion). Not normalised first.
    constexpr std::array<std::array<double, 3>, 3> to_rotation_matrix() const {
        return {{{1.0 - 2.0 * (j * j + k * k), 2.0 * (i * j - k * w), 2.0 * (i * k + j * w)},
                 {2.0 * (i * j + k * w), 1.0 - 2.0 * (i * i + k * k), 2.0 * (j * k - i * w)},
                 {2.0 * (i * k - j * w), 2.0 * (j * k + i * w), 1.0 - 2.0 * (i * i + j * j)}}};
    }

    // Tolerant equality: each component within EPSILON (absolute, strict), w first; NaN fails.
    bool approx_eq(const Quat& b) const {
        return std::fabs(b.w - w) < EPSILON && std::fabs(b.i - i) < EPSILON && std::fabs(b.j - j) < EPSILON &&
               std::fabs(b.k - k) < EPSILON;
    }

    // "Quat(1, 0, 0, 0)".
    std::string repr() const;
};

// The pure quaternion (0, x, y, z) with a positive-zero scalar part.
constexpr Quat to_quat(const Vec3d& v) { return {0.0, v.x, v.y, v.z}; }

}  // namespace drevan
