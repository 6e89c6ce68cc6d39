// The intersection functions of the geometry submodule. A core IntersectionError is raised as
// ValueError with the error's message, and only by circle_circle.
#include "geometry/intersection.hpp"

#include "frame/errors.hpp"

namespace ostrilo {

// The core reports why a point is not on the circle; Python asks only whether it is.
bool circle_point(const drevan::geometry::Circle& circle, const drevan::Vec3d& point, bool inner) {
    return !drevan::geometry::circle_point(circle, point, inner).has_value();
}

std::pair<drevan::Vec3d, drevan::Vec3d> circle_circle(const drevan::geometry::Circle& circle1,
                                                      const drevan::geometry::Circle& circle2) {
    const auto r = drevan::geometry::circle_circle(circle1, circle2);
    if (!r.ok()) [[unlikely]] {
        PyErr_SetString(PyExc_ValueError, drevan::geometry::message(*r.error));
        throw_pyerr();
    }
    return {r.first, r.second};
}

}  // namespace ostrilo
