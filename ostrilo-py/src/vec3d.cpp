// The Python class Vec3d: the core vector's operations, bound as they are.
#include "vec3d.hpp"

#include "angle.hpp"
#include "buffers.hpp"
#include "frame/class_table.hpp"
#include "quat.hpp"

namespace ostrilo {
namespace {

using drevan::Vec3d;

// Adapters, where the Python surface differs from the core: a list instead of the record, a
// typed angle instead of a double, and an IndexError instead of an assertion failure.
std::array<double, 3> to_array(const Vec3d& v) { return {v.x, v.y, v.z}; }
drevan::AngleRadians angle_to(const Vec3d& a, const Vec3d& b) { return {a.angle_to(b)}; }
double item(const Vec3d& v, std::size_t index) {
    if (index > 2) {
        raise_index_out_of_bounds();
        throw_pyerr();
    }
    return v.at(index);
}

using Vec3dClass = ClassTable<
    Vec3d, Ctor<from_fields<Vec3d, double, double, double>, "x", "y", "z">, Item<item>, Field<"x", &Vec3d::x>,
    Field<"y", &Vec3d::y>, Field<"z", &Vec3d::z>, Static<"zero", &Vec3d::zero>, Static<"i", &Vec3d::i>,
    Static<"j", &Vec3d::j>, Static<"k", &Vec3d::k>, Static<"new_from_to", &Vec3d::new_from_to, "from", "to">,
    Method<"to_quat", drevan::to_quat>, Method<"to_array", to_array>, Method<"magnitude", &Vec3d::magnitude>,
    Method<"is_unit", &Vec3d::is_unit>, Method<"normalize", &Vec3d::normalize>, Method<"dot", &Vec3d::dot, "other">,
    Method<"cross", &Vec3d::cross, "other">, Method<"angle_to", angle_to, "other">,
    Method<"scalar_triple_product", &Vec3d::scalar_triple_product, "b", "c">,
    Method<"distance_to", &Vec3d::distance_to, "other">, Method<"distance_squared", &Vec3d::distance_squared, "other">,
    Method<"distance_to_line", &Vec3d::distance_to_line, "a", "b">,
    Method<"project_onto_plane", &Vec3d::project_onto_plane, "normal">,
    Method<"project_onto_line", &Vec3d::project_onto_line, "line_r", "line_q">, Repr<&Vec3d::repr>,
    Hash<&Vec3d::hash64>,
    Compare<by_equality<&Vec3d::approx_eq>, Compares::Equality, NotEqual::Direct, BorrowedOther::Panic>,
    Neg<negate<Vec3d>>, Binary<Py_nb_add, Op<"__add__", plus<Vec3d, Vec3d>, "other">>,
    Binary<Py_nb_subtract, Op<"__sub__", minus<Vec3d, Vec3d>, "other">>,
    Binary<Py_nb_multiply, Op<"__mul__", times<Vec3d, double>, "rhs">,
           Op<"__rmul__", times_reflected<Vec3d, double>, "lhs">>,
    Binary<Py_nb_true_divide, Op<"__truediv__", divided<Vec3d, double>, "rhs">>, Slot<Py_bf_getbuffer, vec3d_getbuffer>,
    Slot<Py_bf_releasebuffer, copy_releasebuffer>, PickledByConstructor<"vec3d", "x", "y", "z">>;

}  // namespace

PyTypeObject* Bound<drevan::Vec3d>::create() { return with_free_list<drevan::Vec3d>(Vec3dClass::create()); }

}  // namespace ostrilo
