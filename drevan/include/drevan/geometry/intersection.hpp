#pragma once
// Intersection tests: a line with a plane, a point with a circle, two coplanar circles.
#include <cmath>
#include <optional>

#include "drevan/geometry/circle.hpp"
#include "drevan/geometry/plane.hpp"
#include "drevan/vec3d.hpp"

namespace drevan::geometry {

// Why two geometries do not intersect.
enum class IntersectionError : int {
    TooFarApart = 0,
    Contained = 1,
    Identical = 2,
    OutOfPlane = 3,
};

constexpr const char* message(IntersectionError error) {
    switch (error) {
        case IntersectionError::TooFarApart:
            return "The given geometries are too far apart and do not intersect at all.";
        case IntersectionError::Contained:
            return "One of the given geometries is contained entirely within the other. The surfaces do not "
                   "intersect.";
        case IntersectionError::Identical:
            return "The given geometries are identical.";
        case IntersectionError::OutOfPlane:
            return "The given geometries are out of plane from each other";
    }
    return "";
}

// Where the unbounded line through a and b meets the plane (t = 0 at a, t = 1 at b). A line
// parallel to the plane gives infinite or NaN components; a == b gives NaN.
inline Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b) {
    const Vec3d& n = plane.normal;
    const double dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
    const double q = (dx * n.x + dy * n.y) + dz * n.z;
    const double t = -(plane.distance + n.dot(a)) / q;
    return {a.x + dx * t, a.y + dy * t, a.z + dz * t};
}

namespace detail {
// The rim test without the plane check: m = r - |point - c|.
inline std::optional<IntersectionError> circle_point_rim(const Circle& circle, const Vec3d& point, bool inner) {
    const double m = circle.radius - point.distance_to(circle.center);
    if (std::fabs(m) < EPSILON) return std::nullopt;  // on the rim
    if (m > EPSILON) {                                // strictly inside
        if (inner) return std::nullopt;
        return IntersectionError::Contained;
    }
    return IntersectionError::TooFarApart;  // also m == EPSILON exactly, and NaN
}
}  // namespace detail

// Whether the point lies on the circle (or inside it, when `inner`): no value on success.
// The point must lie in the circle's plane (unit normal, residual below EPSILON); a NaN normal
// fails that check for every point.
inline std::optional<IntersectionError> circle_point(const Circle& circle, const Vec3d& point, bool inner) {
    const Vec3d n = circle.normal.normalize();
    const double s = n.dot(point) - n.dot(circle.center);
    if (!(std::fabs(s) < EPSILON)) return IntersectionError::OutOfPlane;
    return detail::circle_point_rim(circle, point, inner);
}

// The same without the plane check: the distance is three-dimensional, so a point off the plane
// at the radius's distance from the centre passes.
inline bool circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner) {
    return !detail::circle_point_rim(circle, point, inner).has_value();
}

// The two crossing points of two coplanar circles, or the reason there are none.
struct CircleCircleResult {
    std::optional<IntersectionError> error;  // set when there are no crossing points
    Vec3d first, second;                     // meaningful only without error

    bool ok() const { return !error.has_value(); }
};

// Checks in order: identical, not coplanar, too far apart, one inside the other. Tangent circles
// give the touching point twice; a NaN radius passes the checks and gives NaN points.
inline CircleCircleResult circle_circle(const Circle& circle1, const Circle& circle2) {
    if (circle1.approx_eq(circle2)) return {IntersectionError::Identical, {}, {}};
    if (!circle1.in_same_plane(circle2)) return {IntersectionError::OutOfPlane, {}, {}};

    const Vec3d& c1 = circle1.center;
    const Vec3d& c2 = circle2.center;
    const Vec3d& n2 = circle2.normal;
    const double r1 = circle1.radius, r2 = circle2.radius;

    const double w = c1.distance_to(c2);
    if (w > r1 + r2) return {IntersectionError::TooFarApart, {}, {}};
    if (w < std::fabs(r1 - r2)) return {IntersectionError::Contained, {}, {}};

    const Vec3d d = c2 - c1;
    // Fraction of the way from c1 to c2 at which the common chord crosses the line of centres.
    const double u = (r1 * r1 - r2 * r2) / (w * w + w * w) + 0.5;
    // Half the chord. Rounding can push the square slightly below zero for tangent circles:
    // that is a touching point, not a missing one (NaN stays NaN).
    double hh = r1 * r1 - (w * w) * (u * u);
    if (hh < 0.0) hh = 0.0;
    const double h = std::sqrt(hh);
    // In-plane direction perpendicular to the line of centres, from circle2's normal.
    const Vec3d e = d.cross(n2).normalize();
    const Vec3d mid{c1.x + d.x * u, c1.y + d.y * u, c1.z + d.z * u};
    const Vec3d k{e.x * h, e.y * h, e.z * h};
    return {std::nullopt, mid + k, mid - k};
}

}  // namespace drevan::geometry
