// The Python class Circle: a thin table over the core circle. `==` is the core's tolerant
// equality, `!=` its negation; circles are unordered and unhashable.
#include "drevan/geometry/circle.hpp"

#include "frame/frame.hpp"

namespace ostrilo {
namespace {

using drevan::Vec3d;
using drevan::geometry::Circle;
using drevan::geometry::Plane;

Circle make(const Vec3d& center, double radius, const Vec3d& normal) { return Circle::make(center, radius, normal); }
Circle none() { return Circle::none(); }

double area(const Circle& c) { return c.area(); }

Plane get_plane(const Circle& c) { return c.get_plane(); }
bool in_same_plane(const Circle& c, const Circle& other) { return c.in_same_plane(other); }
bool is_degenerate(const Circle& c) { return c.is_degenerate(); }

// Only `==` reaches here; `!=` is derived from it by the frame.
int compare(const Circle& a, const Circle& b, int) { return a.approx_eq(b) ? 1 : 0; }

using CircleTable =
    ClassTable<Circle, Ctor<make, "Circle", "center", "radius", "normal">, nullptr, Static<"none", none>,
               Field<"center", &Circle::center>, Field<"radius", &Circle::radius>, Field<"normal", &Circle::normal>,
               Property<"area", area>, Method<"get_plane", get_plane>, Method<"in_same_plane", in_same_plane, "other">,
               Method<"is_degenerate", is_degenerate>, Compare<compare, EQ_NE, true, false>,
               // Unhashable: equality is tolerant, so no hash could agree with it.
               Unhashable>;

PyTypeObject* create() { return CircleTable::build("builtins.Circle"); }

OSTRILO_DESCRIBE(CircleTable);

}  // namespace

ClassInfo circle_class{"Circle", &create};

}  // namespace ostrilo
