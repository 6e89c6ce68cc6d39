// Tolerant geometry (tolerant_geometry.hpp).
#include "tolerant_geometry.hpp"

#include <algorithm>
#include <cmath>

#include "drevan/geometry/intersection.hpp"
#include "rotations.hpp"

namespace ostrilo::ext {

using drevan::EPSILON;
using drevan::Vec3d;
using drevan::geometry::Circle;
using drevan::geometry::IntersectionError;
using drevan::geometry::Plane;

namespace {

struct Tol {
    double rel, abs;
    // |r| small enough against coordinates of size `scale` (NaN never is).
    bool small(double r, double scale) const {
        return std::fabs(r) < EPSILON || std::fabs(r) <= std::max(rel * scale, abs);
    }
    bool close(double a, double b) const { return small(a - b, std::max(std::fabs(a), std::fabs(b))); }
};

Tol checked(const char* fn, double rel, double abs) {
    if (!(rel >= 0.0) || !(abs >= 0.0)) {
        PyErr_Format(PyExc_ValueError, "%s(): tolerances must be non-negative", fn);
        throw_pyerr();
    }
    return {rel, abs};
}

[[noreturn, gnu::cold]] void raise_intersection(IntersectionError e) { value_error(drevan::geometry::message(e)); }

// +1 equal, -1 opposite, 0 neither (per component, within the tolerance).
int normals_relation(const Vec3d& a, const Vec3d& b, const Tol& t) {
    if (t.close(a.x, b.x) && t.close(a.y, b.y) && t.close(a.z, b.z)) return 1;
    if (t.close(a.x, -b.x) && t.close(a.y, -b.y) && t.close(a.z, -b.z)) return -1;
    return 0;
}

bool same_plane(const Circle& c1, const Circle& c2, const Tol& t) {
    if (c1.in_same_plane(c2)) return true;
    const int rel = normals_relation(c1.normal, c2.normal, t);
    if (rel == 0) return false;
    const double scale =
        std::max(c1.normal.magnitude() * c1.center.magnitude(), c2.normal.magnitude() * c2.center.magnitude());
    return t.small(c2.offset() - rel * c1.offset(), scale);
}

}  // namespace

bool contains_point(const Plane& plane, const Vec3d& point, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("contains_point", rel_tol, abs_tol);
    if (plane.contains_point(point)) return true;
    const double r = plane.distance + plane.normal.dot(point);
    return t.small(r, std::max(std::fabs(plane.distance), plane.normal.magnitude() * point.magnitude()));
}

bool in_same_plane(const Circle& circle1, const Circle& circle2, RelTol rel_tol, AbsTol abs_tol) {
    return same_plane(circle1, circle2, checked("in_same_plane", rel_tol, abs_tol));
}

bool circle_point(const Circle& circle, const Vec3d& point, bool inner, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("circle_point", rel_tol, abs_tol);
    if (!drevan::geometry::circle_point(circle, point, inner).has_value()) return true;
    // The plane check as the core makes it, then the rim with the tolerance.
    const Vec3d n = circle.normal.normalize();
    const double s = n.dot(point) - n.dot(circle.center);
    if (!t.small(s, std::max(point.magnitude(), circle.center.magnitude()))) return false;
    const double dist = point.distance_to(circle.center);
    const double m = circle.radius - dist;
    if (t.small(m, std::max(std::fabs(circle.radius), dist))) return true;
    return m > 0.0 && inner;
}

std::pair<Vec3d, Vec3d> circle_circle(const Circle& circle1, const Circle& circle2, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("circle_circle", rel_tol, abs_tol);
    const auto exact = drevan::geometry::circle_circle(circle1, circle2);
    if (exact.ok()) return {exact.first, exact.second};
    if (*exact.error != IntersectionError::OutOfPlane) raise_intersection(*exact.error);
    // Out of plane only by the core's fixed tolerance: test again with ours.
    if (!same_plane(circle1, circle2, t)) raise_intersection(IntersectionError::OutOfPlane);
    const Vec3d& c1 = circle1.center;
    const Vec3d& c2 = circle2.center;
    const double r1 = circle1.radius, r2 = circle2.radius;
    const double w = c1.distance_to(c2);
    const double size = std::max(c1.magnitude(), c2.magnitude());
    if (t.small(w, size) && t.close(r1, r2)) raise_intersection(IntersectionError::Identical);
    if (w > r1 + r2) raise_intersection(IntersectionError::TooFarApart);
    if (w < std::fabs(r1 - r2)) raise_intersection(IntersectionError::Contained);
    // The crossing points as the core computes them.
    const Vec3d d = c2 - c1;
    const double u = (r1 * r1 - r2 * r2) / (w * w + w * w) + 0.5;
    double hh = r1 * r1 - (w * w) * (u * u);
    if (hh < 0.0) hh = 0.0;
    const double h = std::sqrt(hh);
    const Vec3d e = d.cross(circle2.normal).normalize();
    const Vec3d mid{c1.x + d.x * u, c1.y + d.y * u, c1.z + d.z * u};
    const Vec3d k{e.x * h, e.y * h, e.z * h};
    return {mid + k, mid - k};
}

// The core's point where it is finite. Where the line is parallel to the plane (the core's
// result is infinite or NaN), a ValueError says whether the line lies in the plane or misses it.
Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("plane_line", rel_tol, abs_tol);
    const Vec3d p = drevan::geometry::plane_line(plane, a, b);
    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) return p;
    const bool finite_input = std::isfinite(a.magnitude()) && std::isfinite(b.magnitude()) &&
                              std::isfinite(plane.normal.magnitude()) && std::isfinite(plane.distance);
    if (!finite_input) return p;  // IEEE rules, as the core
    if (a.x == b.x && a.y == b.y && a.z == b.z)
        value_error("plane_line(): a and b are the same point: they define no line");
    if (contains_point(plane, a, RelTol{t.rel}, AbsTol{t.abs}))
        value_error("plane_line(): the line lies in the plane: every point of it is an intersection");
    value_error("plane_line(): the line is parallel to the plane and does not meet it");
}

}  // namespace ostrilo::ext
