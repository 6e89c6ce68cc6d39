// The Python class Quat: the core quaternion's operations, bound as they are. Tolerant equality
// with `!=` its direct negation and no hash (instances are unhashable); an exclusively borrowed
// other operand of a comparison is an internal failure, not NotImplemented.
#include "quat.hpp"

#include "angle.hpp"
#include "buffers.hpp"
#include "frame/class_table.hpp"
#include "vec3d.hpp"

namespace ostrilo {
namespace {

using drevan::AngleRadians;
using drevan::Quat;
using drevan::Vec3d;

// Adapters, where the Python surface differs from the core: typed angles instead of doubles,
// and a plain tuple (i, j, k) instead of a vector.
Quat from_axis_angle(const Vec3d& axis, const AngleRadians& angle) { return Quat::from_axis_angle(axis, angle.angle); }
std::pair<Vec3d, AngleRadians> to_axis_angle(const Quat& q) {
    const auto [axis, angle] = q.to_axis_angle();
    return {axis, AngleRadians{angle}};
}
std::tuple<double, double, double> to_vec3d(const Quat& q) { return {q.i, q.j, q.k}; }

using QuatClass =
    ClassTable<Quat, Ctor<from_fields<Quat, double, double, double, double>, "w", "i", "j", "k">, Field<"w", &Quat::w>,
               Field<"i", &Quat::i>, Field<"j", &Quat::j>, Field<"k", &Quat::k>, Static<"identity", &Quat::identity>,
               Static<"from_axis_angle", from_axis_angle, "axis", "angle">, Method<"conjugate", &Quat::conjugate>,
               Method<"magnitude", &Quat::magnitude>, Method<"normalize", &Quat::normalize>,
               Method<"is_unit", &Quat::is_unit>, Method<"rotate", &Quat::rotate, "v">,
               Method<"to_axis_angle", to_axis_angle>, Method<"to_vec3d", to_vec3d>,
               Method<"to_rotation_matrix", &Quat::to_rotation_matrix>,
               Compare<by_equality<&Quat::approx_eq>, Compares::Equality, NotEqual::Direct, BorrowedOther::Panic>,
               Unhashable, Repr<&Quat::repr>, Slot<Py_bf_getbuffer, quat_getbuffer>,
               Slot<Py_bf_releasebuffer, copy_releasebuffer>, PickledByConstructor<"quat", "w", "i", "j", "k">>;

}  // namespace

PyTypeObject* Bound<Quat>::create() { return with_free_list<Quat>(QuatClass::create()); }

}  // namespace ostrilo
