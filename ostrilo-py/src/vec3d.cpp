// The Python class Vec3d: a thin table over the core vector.
#include "drevan/vec3d.hpp"

#include "drevan/angle.hpp"
#include "drevan/quat.hpp"

#include "frame/frame.hpp"

namespace ostrilo {
namespace {

using drevan::Vec3d;

Vec3d make(double x, double y, double z) { return {x, y, z}; }

Vec3d zero() { return Vec3d::zero(); }
Vec3d unit_i() { return Vec3d::i(); }
Vec3d unit_j() { return Vec3d::j(); }
Vec3d unit_k() { return Vec3d::k(); }
Vec3d new_from_to(const Vec3d& from, const Vec3d& to) { return Vec3d::new_from_to(from, to); }

std::array<double, 3> to_array(const Vec3d& v) { return {v.x, v.y, v.z}; }
double magnitude(const Vec3d& v) { return v.magnitude(); }
bool is_unit(const Vec3d& v) { return v.is_unit(); }
Vec3d normalize(const Vec3d& v) { return v.normalize(); }
double dot(const Vec3d& a, const Vec3d& b) { return a.dot(b); }
Vec3d cross(const Vec3d& a, const Vec3d& b) { return a.cross(b); }
// Unsigned angle; the cosine is clamped to [-1, 1] so that parallel vectors give 0 and
// anti-parallel ones pi even when rounding pushes the quotient past 1.
drevan::AngleRadians angle_to(const Vec3d& a, const Vec3d& b) { return {a.angle_to(b)}; }
// The pure quaternion (0, x, y, z).
drevan::Quat to_quat(const Vec3d& v) { return drevan::to_quat(v); }
double scalar_triple_product(const Vec3d& a, const Vec3d& b, const Vec3d& c) { return a.scalar_triple_product(b, c); }
double distance_to(const Vec3d& a, const Vec3d& b) { return a.distance_to(b); }
double distance_squared(const Vec3d& a, const Vec3d& b) { return a.distance_squared(b); }
double distance_to_line(const Vec3d& p, const Vec3d& a, const Vec3d& b) { return p.distance_to_line(a, b); }
Vec3d project_onto_plane(const Vec3d& p, const Vec3d& normal) { return p.project_onto_plane(normal); }
Vec3d project_onto_line(const Vec3d& p, const Vec3d& r, const Vec3d& q) { return p.project_onto_line(r, q); }

std::string repr(const Vec3d& v) { return v.repr(); }
std::uint64_t hash(const Vec3d& v) { return v.hash64(); }

double item(const Vec3d& v, std::size_t index) {
    if (index > 2) {
        raise_index_out_of_bounds();
        throw_pyerr();
    }
    return v.at(index);
}

Vec3d neg(const Vec3d& v) { return -v; }
Vec3d add(const Vec3d& a, const Vec3d& b) { return a + b; }
Vec3d sub(const Vec3d& a, const Vec3d& b) { return a - b; }
Vec3d mul(const Vec3d& v, double rhs) { return v * rhs; }
Vec3d rmul(const Vec3d& v, double lhs) { return lhs * v; }
Vec3d truediv(const Vec3d& v, double rhs) { return v / rhs; }

int compare(const Vec3d& a, const Vec3d& b, int op) {
    const bool eq = a.approx_eq(b);
    return op == Py_EQ ? eq : !eq;
}

using Vec3dTable =
    ClassTable<Vec3d, Ctor<make, "Vec3d", "x", "y", "z">, item, Field<"x", &Vec3d::x>, Field<"y", &Vec3d::y>,
               Field<"z", &Vec3d::z>, Static<"zero", zero>, Static<"i", unit_i>, Static<"j", unit_j>,
               Static<"k", unit_k>, Static<"new_from_to", new_from_to, "from", "to">, Method<"to_quat", to_quat>,
               Method<"to_array", to_array>, Method<"magnitude", magnitude>, Method<"is_unit", is_unit>,
               Method<"normalize", normalize>, Method<"dot", dot, "other">, Method<"cross", cross, "other">,
               Method<"angle_to", angle_to, "other">, Method<"scalar_triple_product", scalar_triple_product, "b", "c">,
               Method<"distance_to", distance_to, "other">, Method<"distance_squared", distance_squared, "other">,
               Method<"distance_to_line", distance_to_line, "a", "b">,
               Method<"project_onto_plane", project_onto_plane, "normal">,
               Method<"project_onto_line", project_onto_line, "line_r", "line_q">, Repr<repr>, Hash<hash>,
               Compare<compare, EQ_NE, false, true>, Neg<neg>, Binary<Py_nb_add, Op<"__add__", add, "other">>,
               Binary<Py_nb_subtract, Op<"__sub__", sub, "other">>,
               Binary<Py_nb_multiply, Op<"__mul__", mul, "rhs">, Op<"__rmul__", rmul, "lhs">>,
               Binary<Py_nb_true_divide, Op<"__truediv__", truediv, "rhs">>>;

PyTypeObject* create() { return Vec3dTable::build("builtins.Vec3d"); }

OSTRILO_DESCRIBE(Vec3dTable);

}  // namespace

ClassInfo vec3d_class{"Vec3d", &create};

}  // namespace ostrilo
