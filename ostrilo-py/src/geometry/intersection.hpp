#pragma once
// The intersection functions of the geometry submodule where their Python form differs from the
// core's (intersection.cpp); plane_line is the core function itself.
#include <utility>

#include "drevan/geometry/intersection.hpp"

namespace ostrilo {

// True when the point is on the circle's rim (or inside it, with `inner`) and in its plane.
bool circle_point(const drevan::geometry::Circle& circle, const drevan::Vec3d& point, bool inner);
// Raises ValueError with the core's message when the circles do not intersect.
std::pair<drevan::Vec3d, drevan::Vec3d> circle_circle(const drevan::geometry::Circle& circle1,
                                                      const drevan::geometry::Circle& circle2);

}  // namespace ostrilo
