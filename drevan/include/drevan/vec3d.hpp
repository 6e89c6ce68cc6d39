#pragma once
// The 3-D vector of doubles. Every formula keeps the order of its rounded operations exactly as
// written: products are rounded before they are added (the build forbids contraction).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "drevan/hash.hpp"
#include "drevan/panic.hpp"
#include "drevan/trig.hpp"

namespace drevan {

inline constexpr double EPSILON = 2.220446049250313e-16;  // 2^-52

struct Vec3d {
    double x, y, z;

    static constexpr Vec3d zero() { return {0.0, 0.0, 0.0}; }
    static constexpr Vec3d i() { return {1.0, 0.0, 0.0}; }
    static constexpr Vec3d j() { return {0.0, 1.0, 0.0}; }
    static constexpr Vec3d k() { return {0.0, 0.0, 1.0}; }

    static constexpr Vec3d new_from_to(const Vec3d& from, const Vec3d& to) {
        return {to.x - from.x, to.y - from.y, to.z - from.z};
    }

    double at(std::size_t index) const {
        DREVAN_ASSERT(index <= 2);
        return index == 0 ? x : index == 1 ? y : z;
    }

    constexpr double dot(const Vec3d& b) const { return (x * b.x + y * b.y) + z * b.z; }
    double magnitude() const { return std::sqrt((x * x + y * y) + z * z); }
    bool is_unit() const { return std::fabs(magnitude() - 1.0) < EPSILON; }
    Vec3d normalize() const {
        const double m = magnitude();
        return {x / m, y / m, z / m};
    }
    constexpr Vec3d cross(const Vec3d& b) const { return {y * b.z - z * b.y, z * b.x - x * b.z, x * b.y - y * b.x}; }
    constexpr double scalar_triple_product(const Vec3d& b, const Vec3d& c) const { return dot(b.cross(c)); }
    constexpr double distance_squared(const Vec3d& b) const {
        const double dx = x - b.x, dy = y - b.y, dz = z - b.z;
        return (dx * dx + dy * dy) + dz * dz;
    }
    double distance_to(const Vec3d& b) const { return std::sqrt(distance_squared(b)); }

    double distance_to_line(const Vec3d& a, const Vec3d& b) const {
        const double dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
        const double wx = x - a.x, wy = y - a.y, wz = z - a.z;
        const double t = ((wx * dx + wy * dy) + wz * dz) / ((dx * dx + dy * dy) + dz * dz);
        const double cx = a.x + dx * t, cy = a.y + dy * t, cz = a.z + dz * t;
        const double ex = x - cx, ey = y - cy, ez = z - cz;
        return std::sqrt((ex * ex + ey * ey) + ez * ez);
    }

    constexpr Vec3d project_onto_line(const Vec3d& r, const Vec3d& q) const {
        const double dx = r.x - q.x, dy = r.y - q.y, dz = r.z - q.z;
        const double t = ((dx * (q.x - x) + dy * (q.y - y)) + dz * (q.z - z)) / ((dx * dx + dy * dy) + dz * dz);
        return {q.x - dx * t, q.y - dy * t, q.z - dz * t};
    }

    constexpr Vec3d project_onto_plane(const Vec3d& n) const {
        const double s = (x * n.x + y * n.y) + z * n.z;
        return {x - n.x * s, y - n.y * s, z - n.z * s};
    }

    // The unsigned angle to b in radians. The quotient is clamped to [-1, 1] so that rounding
    // cannot turn a defined angle into NaN; NaN (a zero vector) stays NaN.
    double angle_to(const Vec3d& b) const {
        double q = dot(b) / (magnitude() * b.magnitude());
        if (q > 1.0)
            q = 1.0;
        else if (q < -1.0)
            q = -1.0;
        return trig::acos(q);
    }

    // Tolerant equality: each component within EPSILON, x first.
    bool approx_eq(const Vec3d& b) const {
        return std::fabs(x - b.x) < EPSILON && std::fabs(y - b.y) < EPSILON && std::fabs(z - b.z) < EPSILON;
    }

    // Negation flips the sign bits.
    constexpr Vec3d operator-() const { return {-x, -y, -z}; }
    constexpr Vec3d operator+(const Vec3d& b) const { return {x + b.x, y + b.y, z + b.z}; }
    constexpr Vec3d operator-(const Vec3d& b) const { return {x - b.x, y - b.y, z - b.z}; }
    constexpr Vec3d operator*(double s) const { return {s * x, s * y, s * z}; }
    constexpr Vec3d operator/(double s) const { return {x / s, y / s, z / s}; }

    // The vector with component `axis` (0 = x, 1 = y, 2 = z) set to +0.0.
    Vec3d collapse(std::size_t axis) const {
        DREVAN_ASSERT(axis <= 2);
        Vec3d r = *this;
        (axis == 0 ? r.x : axis == 1 ? r.y : r.z) = 0.0;
        return r;
    }

    // SipHash-1-3 (zero keys) of the canonical bits of x, y, z: equal bits, equal hashes.
    std::uint64_t hash64() const {
        const std::uint64_t words[3] = {canonical_bits(x), canonical_bits(y), canonical_bits(z)};
        return siphash13_words(0, 0, words, 3);
    }
    std::string repr() const;
    // Appends the text of repr() to out.
    void append_repr(std::string& out) const;
};

constexpr Vec3d operator*(double s, const Vec3d& v) { return {s * v.x, s * v.y, s * v.z}; }

}  // namespace drevan
