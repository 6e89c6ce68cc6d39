#pragma once
// An oriented plane: a point p lies on it when normal.p + distance == 0. The constructors store
// a unit normal; afterwards the fields are used as stored, never normalised again.
#include <cmath>

#include "drevan/vec3d.hpp"

namespace drevan::geometry {

struct Plane {
    Vec3d normal;
    double distance;  // the constant term of the equation, not the offset along the normal

    // The plane at offset `distance` along unit(normal): the constant term stored is -distance.
    // A zero normal gives a NaN normal.
    static Plane make(const Vec3d& normal, double distance) { return {normal.normalize(), -distance}; }

    // The coordinate planes through the origin (each with distance -0).
    static Plane xy() { return make(Vec3d{0.0, 0.0, 1.0}, 0.0); }
    static Plane xz() { return make(Vec3d{0.0, 1.0, 0.0}, 0.0); }
    static Plane yz() { return make(Vec3d{1.0, 0.0, 0.0}, 0.0); }

    // The plane with the given normal through `point`; the dot product uses the unit normal.
    static Plane from_point(const Vec3d& normal, const Vec3d& point) {
        const Vec3d n = normal.normalize();
        return {n, -n.dot(point)};
    }

    // The plane through three points, its normal by the right-hand rule for p1 -> p2 -> p3.
    // Collinear or coincident points give a NaN normal and distance.
    static Plane from_points(const Vec3d& point1, const Vec3d& point2, const Vec3d& point3) {
        const Vec3d a = point2 - point1;
        const Vec3d b = point3 - point1;
        const Vec3d n = a.cross(b).normalize();
        return {n, -n.dot(point1)};
    }

    // The residual distance + normal.point, with the normal as stored.
    double residual(const Vec3d& point) const { return distance + normal.dot(point); }
    bool contains_point(const Vec3d& point) const { return std::fabs(residual(point)) < EPSILON; }
    // Unsigned; a Euclidean distance only while the stored normal has unit length.
    double distance_to_point(const Vec3d& point) const { return std::fabs(residual(point)); }
};

}  // namespace drevan::geometry
