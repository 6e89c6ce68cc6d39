// The Python class Plane: a thin table over the core plane. No repr, comparison or hash of its
// own: instances compare and hash by identity.
#include "drevan/geometry/plane.hpp"

#include "frame/frame.hpp"

namespace ostrilo {
namespace {

using drevan::Vec3d;
using drevan::geometry::Plane;

Plane make(const Vec3d& normal, double distance) { return Plane::make(normal, distance); }

Plane xy() { return Plane::xy(); }
Plane xz() { return Plane::xz(); }
Plane yz() { return Plane::yz(); }
Plane from_point(const Vec3d& normal, const Vec3d& point) { return Plane::from_point(normal, point); }
Plane from_points(const Vec3d& point1, const Vec3d& point2, const Vec3d& point3) {
    return Plane::from_points(point1, point2, point3);
}

bool contains_point(const Plane& p, const Vec3d& point) { return p.contains_point(point); }
double distance_to_point(const Plane& p, const Vec3d& point) { return p.distance_to_point(point); }

using PlaneTable =
    ClassTable<Plane, Ctor<make, "Plane", "normal", "distance">, nullptr, Static<"xy", xy>, Static<"xz", xz>,
               Static<"yz", yz>, Static<"from_point", from_point, "normal", "point">,
               Static<"from_points", from_points, "point1", "point2", "point3">, Field<"normal", &Plane::normal>,
               Field<"distance", &Plane::distance>, Method<"contains_point", contains_point, "point">,
               Method<"distance_to_point", distance_to_point, "point">>;

PyTypeObject* create() { return PlaneTable::build("builtins.Plane"); }

OSTRILO_DESCRIBE(PlaneTable);

}  // namespace

ClassInfo plane_class{"Plane", &create};

}  // namespace ostrilo
