// The Python class Circle: the core circle's operations, bound as they are. `==` is the core's
// tolerant equality, `!=` its negation; circles are unordered and unhashable (no hash could agree
// with a tolerant equality).
#include "geometry/circle.hpp"

#include "frame/class_table.hpp"
#include "geometry/plane.hpp"
#include "vec3d.hpp"

namespace ostrilo {
namespace {

using drevan::geometry::Circle;

using CircleClass = ClassTable<
    Circle, Ctor<&Circle::make, "center", "radius", "normal">, Static<"none", &Circle::none>,
    Field<"center", &Circle::center>, Field<"radius", &Circle::radius>, Field<"normal", &Circle::normal>,
    Property<"area", &Circle::area>, Method<"get_plane", &Circle::get_plane>,
    Method<"in_same_plane", &Circle::in_same_plane, "other">, Method<"is_degenerate", &Circle::is_degenerate>,
    Compare<by_equality<&Circle::approx_eq>, Compares::Equality, NotEqual::NegatedEquality,
            BorrowedOther::NotImplemented>,
    Unhashable, Pickled<"circle", "center.x", "center.y", "center.z", "radius", "normal.x", "normal.y", "normal.z">>;

}  // namespace

PyTypeObject* Bound<Circle>::create() { return CircleClass::create(); }

}  // namespace ostrilo
