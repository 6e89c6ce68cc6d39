// The Python classes AngleRadians and AngleDegrees: the core angles' operations, bound as they
// are. Both compare with the exact IEEE order of the stored doubles and answer `!=` by negating
// `==`; equality without a hash makes instances unhashable.
#include "angle.hpp"

#include "frame/class_table.hpp"

namespace ostrilo {
namespace {

using drevan::AngleDegrees;
using drevan::AngleRadians;

template <class A>
using AngleCompare =
    Compare<by_operators<A>, Compares::Order, NotEqual::NegatedEquality, BorrowedOther::NotImplemented>;

using AngleRadiansClass = ClassTable<
    AngleRadians, Ctor<from_fields<AngleRadians, double>, "angle">, Field<"angle", &AngleRadians::angle>,
    Static<"zero", &AngleRadians::zero>, Static<"pi", &AngleRadians::pi>, Static<"two_pi", &AngleRadians::two_pi>,
    Static<"half_pi", &AngleRadians::half_pi>, Static<"third_pi", &AngleRadians::third_pi>,
    Static<"quarter_pi", &AngleRadians::quarter_pi>, Static<"sixth_pi", &AngleRadians::sixth_pi>,
    Method<"sin", &AngleRadians::sin>, Method<"cos", &AngleRadians::cos>, Method<"tan", &AngleRadians::tan>,
    Method<"sec", &AngleRadians::sec>, Method<"csc", &AngleRadians::csc>, Method<"cot", &AngleRadians::cot>,
    Method<"to_degrees", &AngleRadians::to_degrees>, Neg<negate<AngleRadians>>,
    Binary<Py_nb_add, Op<"__add__", plus<AngleRadians, AngleRadians>, "other">>,
    Binary<Py_nb_subtract, Op<"__sub__", minus<AngleRadians, AngleRadians>, "other">>,
    Binary<Py_nb_multiply, Op<"__mul__", times<AngleRadians, double>, "rhs">>,
    Binary<Py_nb_true_divide, Op<"__truediv__", divided<AngleRadians, double>, "rhs">>, AngleCompare<AngleRadians>,
    Unhashable, Repr<&AngleRadians::repr>, PickledByConstructor<"angle_radians", "angle">>;

using AngleDegreesClass =
    ClassTable<AngleDegrees, Ctor<from_fields<AngleDegrees, double>, "angle">, Field<"angle", &AngleDegrees::angle>,
               Method<"to_radians", &AngleDegrees::to_radians>, Neg<negate<AngleDegrees>>, AngleCompare<AngleDegrees>,
               Unhashable, Repr<&AngleDegrees::repr>, PickledByConstructor<"angle_degrees", "angle">>;

}  // namespace

PyTypeObject* Bound<AngleRadians>::create() { return with_free_list<AngleRadians>(AngleRadiansClass::create()); }
PyTypeObject* Bound<AngleDegrees>::create() { return with_free_list<AngleDegrees>(AngleDegreesClass::create()); }

}  // namespace ostrilo
