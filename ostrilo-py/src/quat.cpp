// The Python class Quat: a thin table over the core quaternion.
#include "drevan/quat.hpp"

#include "drevan/angle.hpp"
#include "frame/frame.hpp"

namespace ostrilo {
namespace {

using drevan::AngleRadians;
using drevan::Quat;
using drevan::Vec3d;

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

Quat identity() { return Quat::identity(); }
// Only a radians angle is accepted; degrees must be converted first.
Quat from_axis_angle(const Vec3d& axis, const AngleRadians& angle) { return Quat::from_axis_angle(axis, angle.angle); }

Quat conjugate(const Quat& q) { return q.conjugate(); }
double magnitude(const Quat& q) { return q.magnitude(); }
Quat normalize(const Quat& q) { return q.normalize(); }
bool is_unit(const Quat& q) { return q.is_unit(); }
Vec3d rotate(const Quat& q, const Vec3d& v) { return q.rotate(v); }

std::pair<Vec3d, AngleRadians> to_axis_angle(const Quat& q) {
    const auto [axis, angle] = q.to_axis_angle();
    return {axis, AngleRadians{angle}};
}

// A plain tuple (i, j, k), not a Vec3d.
std::tuple<double, double, double> to_vec3d(const Quat& q) { return {q.i, q.j, q.k}; }

std::array<std::array<double, 3>, 3> to_rotation_matrix(const Quat& q) { return q.to_rotation_matrix(); }

std::string repr(const Quat& q) { return q.repr(); }

// Tolerant equality; `!=` is its direct negation.
int compare(const Quat& a, const Quat& b, int op) {
    const bool eq = a.approx_eq(b);
    return op == Py_EQ ? eq : !eq;
}

using QuatTable =
    ClassTable<Quat, Ctor<make, "Quat", "w", "i", "j", "k">, nullptr, Field<"w", &Quat::w>, Field<"i", &Quat::i>,
               Field<"j", &Quat::j>, Field<"k", &Quat::k>, Static<"identity", identity>,
               Static<"from_axis_angle", from_axis_angle, "axis", "angle">, Method<"conjugate", conjugate>,
               Method<"magnitude", magnitude>, Method<"normalize", normalize>, Method<"is_unit", is_unit>,
               Method<"rotate", rotate, "v">, Method<"to_axis_angle", to_axis_angle>, Method<"to_vec3d", to_vec3d>,
               Method<"to_rotation_matrix", to_rotation_matrix>,
               // Equality without a hash: instances are unhashable. An exclusively
               // borrowed other operand is an internal failure, not NotImplemented.
               Compare<compare, EQ_NE, false, true>, Unhashable, Repr<repr>>;

PyTypeObject* create() { return QuatTable::build("builtins.Quat"); }

OSTRILO_DESCRIBE(QuatTable);

}  // namespace

ClassInfo quat_class{"Quat", &create};

}  // namespace ostrilo
