#pragma once
// The geometry predicates and intersections with tolerances in the manner of math.isclose
// (tolerant_geometry.cpp): a residual passes when it is below the fixed EPSILON of the core
// (so every answer the core gives as True, or as points, is given the same, bit for bit) or when
// |residual| <= max(rel_tol * scale, abs_tol), where scale is the size of the coordinates that
// took part (the residual of a sum of products of coordinates can only be known to a fraction of
// their size).
#include <tuple>

#include "frame/module_table.hpp"
#include "shared.hpp"

namespace ostrilo::ext {

using RelTol = Opt<double, "1e-09">;
using AbsTol = Opt<double, "0.0">;

bool contains_point(const drevan::geometry::Plane& plane, const drevan::Vec3d& point, RelTol rel_tol, AbsTol abs_tol);
bool in_same_plane(const drevan::geometry::Circle& circle1, const drevan::geometry::Circle& circle2, RelTol rel_tol,
                   AbsTol abs_tol);
bool circle_point(const drevan::geometry::Circle& circle, const drevan::Vec3d& point, bool inner, RelTol rel_tol,
                  AbsTol abs_tol);
std::pair<drevan::Vec3d, drevan::Vec3d> circle_circle(const drevan::geometry::Circle& circle1,
                                                      const drevan::geometry::Circle& circle2, RelTol rel_tol,
                                                      AbsTol abs_tol);
drevan::Vec3d plane_line(const drevan::geometry::Plane& plane, const drevan::Vec3d& a, const drevan::Vec3d& b,
                         RelTol rel_tol, AbsTol abs_tol);

}  // namespace ostrilo::ext
