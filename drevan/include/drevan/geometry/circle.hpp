#pragma once
// A circle in space: centre, radius and the normal of its plane. The constructor stores |radius|
// and a unit normal; afterwards the fields are used as stored, never normalised again.
#include <cmath>

#include "drevan/angle.hpp"
#include "drevan/geometry/plane.hpp"
#include "drevan/vec3d.hpp"

namespace drevan::geometry {

// How two normals relate under the tolerant test (each component within EPSILON).
enum class NormalRelation : int {
    NotParallel = 0,
    Equal = 1,     // a and b agree component-wise
    Opposite = 2,  // a and -b agree component-wise (checked only when Equal fails)
};

inline NormalRelation normals_parallel(const Vec3d& a, const Vec3d& b) {
    if (std::fabs(a.x - b.x) < EPSILON && std::fabs(a.y - b.y) < EPSILON && std::fabs(a.z - b.z) < EPSILON)
        return NormalRelation::Equal;
    if (std::fabs(a.x + b.x) < EPSILON && std::fabs(a.y + b.y) < EPSILON && std::fabs(a.z + b.z) < EPSILON)
        return NormalRelation::Opposite;
    return NormalRelation::NotParallel;
}

struct Circle {
    Vec3d center;
    double radius;
    Vec3d normal;

    static Circle make(const Vec3d& center, double radius, const Vec3d& normal) {
        return {center, std::fabs(radius), normal.normalize()};
    }

    // Zero centre and radius with a NaN normal (0/0): degenerate, equal to no circle and
    // coplanar with none.
    static Circle none() { return make(Vec3d::zero(), 0.0, Vec3d::zero()); }

    // Squared first, then times pi; a negative stored radius still gives a positive area.
    double area() const { return (radius * radius) * PI; }

    Plane get_plane() const { return Plane::from_point(normal, center); }

    // Exact IEEE test: -0 is degenerate, NaN and tiny radii are not.
    bool is_degenerate() const { return radius == 0.0; }

    // Tolerant equality: centres within EPSILON per component, radii exactly equal, normals
    // equal or opposite. Any NaN makes it false.
    bool approx_eq(const Circle& other) const {
        return center.approx_eq(other.center) && radius == other.radius &&
               normals_parallel(normal, other.normal) != NormalRelation::NotParallel;
    }

    // The offset normal.center with the stored normal.
    double offset() const { return normal.dot(center); }

    // Both circles lie in one plane: parallel normals and matching offsets. With opposite normals
    // the offsets of one plane have opposite signs, so they are added rather than subtracted.
    bool in_same_plane(const Circle& other) const {
        switch (normals_parallel(normal, other.normal)) {
            case NormalRelation::Equal:
                return std::fabs(other.offset() - offset()) < EPSILON;
            case NormalRelation::Opposite:
                return std::fabs(other.offset() + offset()) < EPSILON;
            case NormalRelation::NotParallel:
                break;
        }
        return false;
    }
};

}  // namespace drevan::geometry
