// The Python class Plane: the core plane's operations, bound as they are. No repr, comparison or
// hash of its own: instances compare and hash by identity.
#include "geometry/plane.hpp"

#include "frame/class_table.hpp"
#include "vec3d.hpp"

namespace ostrilo {
namespace {

using drevan::geometry::Plane;

using PlaneClass =
    ClassTable<Plane, Ctor<&Plane::make, "normal", "distance">, Static<"xy", &Plane::xy>, Static<"xz", &Plane::xz>,
               Static<"yz", &Plane::yz>, Static<"from_point", &Plane::from_point, "normal", "point">,
               Static<"from_points", &Plane::from_points, "point1", "point2", "point3">,
               Field<"normal", &Plane::normal>, Field<"distance", &Plane::distance>,
               Method<"contains_point", &Plane::contains_point, "point">,
               Method<"distance_to_point", &Plane::distance_to_point, "point">,
               // The normal as stored: the constructor would normalise it again.
               Pickled<"plane", "normal.x", "normal.y", "normal.z", "distance">>;

}  // namespace

PyTypeObject* Bound<Plane>::create() { return PlaneClass::create(); }

}  // namespace ostrilo
