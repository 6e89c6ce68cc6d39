// Tolerant geometry (tolerant_geometry.hpp).
#include "tolerant_geometry.hpp"

#include <algorithm>
#include <cmath>

#include "accurate.hpp"
#include "drevan/geometry/intersection.hpp"
#include "rotations.hpp"

namespace ostrilo::ext {

using drevan::EPSILON;
using drevan::Vec3d;
using drevan::geometry::Circle;
using drevan::geometry::IntersectionError;
using drevan::geometry::Plane;

namespace {

// Coordinates so large that their products could overflow are scaled down by a power of two
// first (accurate.hpp), all lengths of a question by the same 2^-k: the residual and the scale
// then come out 2^-k times their size, and so must the fixed EPSILON and abs_tol they are held
// against (rel_tol is a ratio and stays). Ordinary coordinates take k = 0 and the very
// computation as written.
struct Tol {
    double rel, abs;
    // |r| small enough against coordinates of size `scale`, both given at 2^-k times their size
    // (NaN never is). rel * scale and abs are tried one by one, as math.isclose does, so that a
    // NaN product (0 x inf) leaves the absolute tolerance in force.
    bool small(double r, double scale, int k = 0) const {
        const double m = std::fabs(r);
        if (k == 0) return m < EPSILON || m <= rel * scale || m <= abs;
        return m < times_pow2(EPSILON, -k) || m <= rel * scale || m <= times_pow2(abs, -k);
    }
    // a and b equal within the tolerance, given at 2^-k times their size.
    bool close(double a, double b, int k = 0) const {
        const double d = a - b;
        // A difference of finite numbers beyond the largest double: compared at half the size.
        if (std::isinf(d) && std::isfinite(a) && std::isfinite(b))
            return small(a * 0.5 - b * 0.5, std::max(std::fabs(a), std::fabs(b)) * 0.5, k + 1);
        return small(d, std::max(std::fabs(a), std::fabs(b)), k);
    }
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

// The offsets n2 . c2 and n1 . c1 of the two planes, compared at 2^-(en + ec) times their size
// (normals at 2^-en, centres at 2^-ec).
bool same_plane(const Circle& c1, const Circle& c2, const Tol& t) {
    if (c1.in_same_plane(c2)) return true;
    const int rel = normals_relation(c1.normal, c2.normal, t);
    if (rel == 0) return false;
    int en = large_exponent(c1.normal.x, c1.normal.y, c1.normal.z, c2.normal.x, c2.normal.y, c2.normal.z);
    int ec = large_exponent(c1.center.x, c1.center.y, c1.center.z, c2.center.x, c2.center.y, c2.center.z);
    if (!(all_finite(c1.normal) && all_finite(c2.normal) && all_finite(c1.center) && all_finite(c2.center)))
        en = ec = 0;  // IEEE rules
    const Vec3d n1 = times_pow2(c1.normal, -en), n2 = times_pow2(c2.normal, -en);
    const Vec3d p1 = times_pow2(c1.center, -ec), p2 = times_pow2(c2.center, -ec);
    const double scale = std::max(n1.magnitude() * p1.magnitude(), n2.magnitude() * p2.magnitude());
    return t.small(n2.dot(p2) - rel * n1.dot(p1), scale, en + ec);
}

}  // namespace

bool contains_point(const Plane& plane, const Vec3d& point, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("contains_point", rel_tol, abs_tol);
    if (plane.contains_point(point)) return true;
    // The normal at 2^-en, the point at 2^-ep, the residual and the distance at 2^-(en + ep).
    int en = large_exponent(plane.normal.x, plane.normal.y, plane.normal.z);
    int ep = large_exponent(point.x, point.y, point.z);
    if (!(all_finite(plane.normal) && all_finite(point) && std::isfinite(plane.distance))) en = ep = 0;
    const Vec3d n = times_pow2(plane.normal, -en), p = times_pow2(point, -ep);
    const double d = times_pow2(plane.distance, -(en + ep));
    const double r = d + n.dot(p);
    return t.small(r, std::max(std::fabs(d), n.magnitude() * p.magnitude()), en + ep);
}

bool in_same_plane(const Circle& circle1, const Circle& circle2, RelTol rel_tol, AbsTol abs_tol) {
    return same_plane(circle1, circle2, checked("in_same_plane", rel_tol, abs_tol));
}

bool circle_point(const Circle& circle, const Vec3d& point, bool inner, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("circle_point", rel_tol, abs_tol);
    if (!drevan::geometry::circle_point(circle, point, inner).has_value()) return true;
    // The point, the centre and the radius at 2^-k times their size (k = 0 if one is infinite).
    const int k =
        large_exponent(point.x, point.y, point.z, circle.center.x, circle.center.y, circle.center.z, circle.radius);
    const Vec3d p = times_pow2(point, -k), c = times_pow2(circle.center, -k);
    const double radius = times_pow2(circle.radius, -k);
    // The plane check as the core makes it (with a unit normal at every size), then the rim with
    // the tolerance.
    const Vec3d n = unit(circle.normal);
    const double s = n.dot(p) - n.dot(c);
    if (!t.small(s, std::max(p.magnitude(), c.magnitude()), k)) return false;
    const double dist = p.distance_to(c);
    const double m = radius - dist;
    if (t.small(m, std::max(std::fabs(radius), dist), k)) return true;
    return m > 0.0 && inner;
}

std::pair<Vec3d, Vec3d> circle_circle(const Circle& circle1, const Circle& circle2, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("circle_circle", rel_tol, abs_tol);
    // Centres and radii so large that their squares would overflow (in the core's formulas as in
    // ours) at 2^-k times their size, and the crossing points scaled back. (Tiny ones need no
    // scaling: two circles within EPSILON of each other are identical.)
    const int k = large_exponent(circle1.center.x, circle1.center.y, circle1.center.z, circle2.center.x,
                                 circle2.center.y, circle2.center.z, circle1.radius, circle2.radius);
    if (k == 0) {
        const auto exact = drevan::geometry::circle_circle(circle1, circle2);
        if (exact.ok()) return {exact.first, exact.second};
        if (*exact.error != IntersectionError::OutOfPlane) raise_intersection(*exact.error);
        // Out of plane only by the core's fixed tolerance: test again with ours.
    }
    if (!same_plane(circle1, circle2, t)) raise_intersection(IntersectionError::OutOfPlane);
    const Vec3d c1 = times_pow2(circle1.center, -k), c2 = times_pow2(circle2.center, -k);
    const double r1 = times_pow2(circle1.radius, -k), r2 = times_pow2(circle2.radius, -k);
    const double w = c1.distance_to(c2);
    const double size = std::max(c1.magnitude(), c2.magnitude());
    if (t.small(w, size, k) && t.close(r1, r2, k)) raise_intersection(IntersectionError::Identical);
    if (w > r1 + r2) raise_intersection(IntersectionError::TooFarApart);
    if (w < std::fabs(r1 - r2)) raise_intersection(IntersectionError::Contained);
    // The crossing points as the core computes them.
    const Vec3d d = c2 - c1;
    const double u = (r1 * r1 - r2 * r2) / (w * w + w * w) + 0.5;
    double hh = r1 * r1 - (w * w) * (u * u);
    if (hh < 0.0) hh = 0.0;
    const double h = std::sqrt(hh);
    const Vec3d e = unit(d.cross(circle2.normal));
    const Vec3d mid{c1.x + d.x * u, c1.y + d.y * u, c1.z + d.z * u};
    const Vec3d along{e.x * h, e.y * h, e.z * h};
    if (k == 0) return {mid + along, mid - along};
    return {times_pow2(mid + along, k), times_pow2(mid - along, k)};
}

// The core's point where it is finite. Where the line is parallel to the plane (the core's
// result is infinite or NaN), a ValueError says whether the line lies in the plane or misses it.
// Points so far out that the core's products would overflow are found at 2^-k times their size
// (the normal is a direction and stays) and scaled back.
Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b, RelTol rel_tol, AbsTol abs_tol) {
    const Tol t = checked("plane_line", rel_tol, abs_tol);
    const bool finite_input =
        all_finite(a) && all_finite(b) && all_finite(plane.normal) && std::isfinite(plane.distance);
    const int k = finite_input ? large_exponent(a.x, a.y, a.z, b.x, b.y, b.z, plane.distance) : 0;
    const Vec3d p = k == 0
                        ? drevan::geometry::plane_line(plane, a, b)
                        : times_pow2(drevan::geometry::plane_line(Plane{plane.normal, times_pow2(plane.distance, -k)},
                                                                  times_pow2(a, -k), times_pow2(b, -k)),
                                     k);
    if (std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z)) return p;
    if (!finite_input) return p;  // IEEE rules, as the core
    if (a.x == b.x && a.y == b.y && a.z == b.z)
        value_error("plane_line(): a and b are the same point: they define no line");
    if (contains_point(plane, a, RelTol{t.rel}, AbsTol{t.abs}))
        value_error("plane_line(): the line lies in the plane: every point of it is an intersection");
    value_error("plane_line(): the line is parallel to the plane and does not meet it");
}

}  // namespace ostrilo::ext
