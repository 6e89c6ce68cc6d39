// The Python classes AngleRadians and AngleDegrees: thin tables over the core angles.
#include "drevan/angle.hpp"

#include "frame/frame.hpp"

namespace ostrilo {
namespace {

using drevan::AngleDegrees;
using drevan::AngleRadians;

// Exact IEEE comparison of the stored doubles for <, <=, ==, >, >= (NaN compares false,
// -0 equals 0). `!=` never reaches this: the slot answers it by negating `==`.
template <class A>
int compare(const A& a, const A& b, int op) {
    switch (op) {
        case Py_LT:
            return a.angle < b.angle;
        case Py_LE:
            return a.angle <= b.angle;
        case Py_EQ:
            return a.angle == b.angle;
        case Py_GT:
            return a.angle > b.angle;
        case Py_GE:
            return a.angle >= b.angle;
        default:
            return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// AngleRadians

AngleRadians make_radians(double angle) { return {angle}; }

AngleRadians zero() { return AngleRadians::zero(); }
AngleRadians pi() { return AngleRadians::pi(); }
AngleRadians two_pi() { return AngleRadians::two_pi(); }
AngleRadians half_pi() { return AngleRadians::half_pi(); }
AngleRadians third_pi() { return AngleRadians::third_pi(); }
AngleRadians quarter_pi() { return AngleRadians::quarter_pi(); }
AngleRadians sixth_pi() { return AngleRadians::sixth_pi(); }

double sin(const AngleRadians& a) { return a.sin(); }
double cos(const AngleRadians& a) { return a.cos(); }
double tan(const AngleRadians& a) { return a.tan(); }
double sec(const AngleRadians& a) { return a.sec(); }
double csc(const AngleRadians& a) { return a.csc(); }
double cot(const AngleRadians& a) { return a.cot(); }
AngleDegrees to_degrees(const AngleRadians& a) { return a.to_degrees(); }

std::string repr_radians(const AngleRadians& a) { return a.repr(); }

AngleRadians neg_radians(const AngleRadians& a) { return -a; }
AngleRadians add(const AngleRadians& a, const AngleRadians& b) { return a + b; }
AngleRadians sub(const AngleRadians& a, const AngleRadians& b) { return a - b; }
AngleRadians mul(const AngleRadians& a, double rhs) { return a * rhs; }
AngleRadians truediv(const AngleRadians& a, double rhs) { return a / rhs; }

using AngleRadiansTable =
    ClassTable<AngleRadians, Ctor<make_radians, "AngleRadians", "angle">, nullptr, Field<"angle", &AngleRadians::angle>,
               Static<"zero", zero>, Static<"pi", pi>, Static<"two_pi", two_pi>, Static<"half_pi", half_pi>,
               Static<"third_pi", third_pi>, Static<"quarter_pi", quarter_pi>, Static<"sixth_pi", sixth_pi>,
               Method<"sin", sin>, Method<"cos", cos>, Method<"tan", tan>, Method<"sec", sec>, Method<"csc", csc>,
               Method<"cot", cot>, Method<"to_degrees", to_degrees>, Neg<neg_radians>,
               Binary<Py_nb_add, Op<"__add__", add, "other">>, Binary<Py_nb_subtract, Op<"__sub__", sub, "other">>,
               Binary<Py_nb_multiply, Op<"__mul__", mul, "rhs">>,
               Binary<Py_nb_true_divide, Op<"__truediv__", truediv, "rhs">>,
               // Equality without a hash: instances are unhashable.
               Compare<compare<AngleRadians>, ALL_OPS, true, false>, Unhashable, Repr<repr_radians>>;

PyTypeObject* create_radians() { return AngleRadiansTable::build("builtins.AngleRadians"); }

OSTRILO_DESCRIBE(AngleRadiansTable);

// ---------------------------------------------------------------------------------------------
// AngleDegrees

AngleDegrees make_degrees(double angle) { return {angle}; }

AngleRadians to_radians(const AngleDegrees& a) { return a.to_radians(); }
std::string repr_degrees(const AngleDegrees& a) { return a.repr(); }
AngleDegrees neg_degrees(const AngleDegrees& a) { return -a; }

using AngleDegreesTable =
    ClassTable<AngleDegrees, Ctor<make_degrees, "AngleDegrees", "angle">, nullptr, Field<"angle", &AngleDegrees::angle>,
               Method<"to_radians", to_radians>, Neg<neg_degrees>, Compare<compare<AngleDegrees>, ALL_OPS, true, false>,
               Unhashable, Repr<repr_degrees>>;

PyTypeObject* create_degrees() { return AngleDegreesTable::build("builtins.AngleDegrees"); }

OSTRILO_DESCRIBE(AngleDegreesTable);

}  // namespace

ClassInfo angle_radians_class{"AngleRadians", &create_radians};
ClassInfo angle_degrees_class{"AngleDegrees", &create_degrees};

}  // namespace ostrilo
