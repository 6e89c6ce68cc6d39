// The intersection functions of the geometry submodule. A core IntersectionError is raised as
// ValueError with the error's message, and only by circle_circle.
#include "drevan/geometry/intersection.hpp"

#include <utility>

#include "frame/frame.hpp"

namespace ostrilo {
namespace {

using drevan::Vec3d;
using drevan::geometry::Circle;
using drevan::geometry::Plane;

Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b) {
    return drevan::geometry::plane_line(plane, a, b);
}

bool circle_point(const Circle& circle, const Vec3d& point, bool inner) {
    return !drevan::geometry::circle_point(circle, point, inner).has_value();
}

bool circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner) {
    return drevan::geometry::circle_point_unchecked(circle, point, inner);
}

[[gnu::cold, noreturn]] void raise_intersection_error(drevan::geometry::IntersectionError error) {
    PyErr_SetString(PyExc_ValueError, drevan::geometry::message(error));
    throw_pyerr();
}

std::pair<Vec3d, Vec3d> circle_circle(const Circle& circle1, const Circle& circle2) {
    const auto r = drevan::geometry::circle_circle(circle1, circle2);
    if (!r.ok()) [[unlikely]]
        raise_intersection_error(*r.error);
    return {r.first, r.second};
}

// Registration order of the submodule.
using Functions = FunctionTable<"geometry", Function<"circle_circle", circle_circle, "circle1", "circle2">,
                                Function<"circle_point", circle_point, "circle", "point", "inner">,
                                Function<"circle_point_unchecked", circle_point_unchecked, "circle", "point", "inner">,
                                Function<"plane_line", plane_line, "plane", "a", "b">>;

OSTRILO_DESCRIBE(Functions);

}  // namespace

PyMethodDef* geometry_functions = Functions::defs();

}  // namespace ostrilo
