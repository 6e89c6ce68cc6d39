// Composition, inversion, interpolation and conversions of rotations (rotations.hpp).
#include "rotations.hpp"

#include <cmath>
#include <cstring>
#include <cstdio>
#include <vector>

#include "accurate.hpp"
#include "drevan/trig.hpp"
#include "quat_core.hpp"

namespace ostrilo::ext {

void value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw_pyerr();
}

Quat negated(const Quat& q) { return {-q.w, -q.i, -q.j, -q.k}; }
double norm4(const Quat& q) { return length(q); }

// The arithmetic is quat_core.cpp's, shared with the lists: these add the reading of arguments
// and the errors.

Quat hamilton_product(const Quat& a, const Quat& b) { return core::hamilton_product(a, b); }

// rotate(v) = conj(q) v q, so b.rotate(a.rotate(v)) = conj(a b) v (a b): the stored product in
// the order of application.
Quat compose(const Quat& first, const Quat& second) { return hamilton_product(first, second); }

// At full range (quat_core.cpp).
Quat inverse(const Quat& q) {
    Quat out;
    if (!core::inverse(q, out)) value_error("inverse(): the zero quaternion has no inverse");
    return out;
}

// Interpolation on the shorter arc, accurate when the two almost agree (quat_core.cpp).
Quat slerp_one(const Quat& a, const Quat& b, double t) {
    Quat out;
    if (!core::slerp(a, b, t, out)) value_error("slerp(): the quaternions must have a finite, nonzero length");
    return out;
}

Object slerp(const Quat& a, const Quat& b, Floats t) {
    constexpr const char* what = "slerp(): t";
    // A number (NumPy's scalars and 0-d arrays included) gives a Quat, a sequence a list.
    if (is_one_number(t.o)) return Object{to_py(slerp_one(a, b, read_double(t.o, what)))};
    if (PyUnicode_Check(t.o) || PyBytes_Check(t.o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or a sequence of numbers, not '%.200s'", what,
                     Py_TYPE(t.o)->tp_name);
        throw_pyerr();
    }
    std::vector<double> ts;
    if (!read_numbers(t.o, ts, kAnyCount, what)) throw_pyerr();
    std::vector<Quat> out;
    out.reserve(ts.size());
    for (double x : ts) out.push_back(slerp_one(a, b, x));
    PyObject* list = list_to_py(out);
    if (list == nullptr) throw_pyerr();
    return Object{list};
}

// ---------------------------------------------------------------------------------------------
// Matrices (quat_core.cpp).

Quat from_matrix(Rows mo) {
    RowsIn rows;
    read_rows(rows, mo.o, 3, "from_matrix(): m", {.rows = 3});
    double m[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] = rows.values()[3 * r + c];
    Quat out;
    double worst;
    switch (core::from_matrix(m, out, worst)) {
        case core::MatrixFault::None:
            return out;
        case core::MatrixFault::NonFinite:
            value_error("from_matrix(): m has a non-finite entry");
        case core::MatrixFault::Reflection:
            value_error("from_matrix(): m is not a rotation matrix: its determinant is -1 (a reflection)");
        case core::MatrixFault::NotOrthogonal:
            break;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "from_matrix(): m is not a rotation matrix: m @ m.T differs from the identity by %.3g "
                  "(tolerance %.0e)",
                  worst, kMatrixTolerance);
    PyErr_SetString(PyExc_ValueError, text);
    throw_pyerr();
}

// ---------------------------------------------------------------------------------------------
// Two vectors. Up to a quarter turn apart (a . b >= 0), the bisector h = unit(a + b) of the unit
// vectors gives the common quaternion (a . h, a x h) directly: cos and sin of half the angle, with
// no cancellation in a + b. Beyond, the angle comes from atan2(|a x b|, a . b), accurate at every
// size, and the axis is a x b made exactly perpendicular to a again (rounding tilts it towards a by
// up to 2^-53 of |a| |b|, which near half a turn would carry a far past b). Exactly opposite
// vectors give half a turn about an axis perpendicular to a (the one through a's smallest
// component). The lengths are taken at full range: the unit vectors of tiny and huge vectors, and
// the axis of nearly opposite ones (whose cross product is tiny), are as accurate as any.

namespace {

// The direction of a vector with finite components, not all zero: unit(v), whose test of the
// squares' sum lets ordinary vectors past the refusal's tests. Inlined: a call returning the
// vector through memory, twice, cost from_two_vectors a tenth of its time.
Vec3d other_direction(const Vec3d& v, double squares) {
    if (!all_finite(v) || (v.x == 0.0 && v.y == 0.0 && v.z == 0.0))
        value_error("from_two_vectors(): the vectors must have a finite, nonzero length");
    return scaled_unit(v, squares);
}
[[gnu::always_inline]] inline Vec3d direction(const Vec3d& v) {
    const double s = (v.x * v.x + v.y * v.y) + v.z * v.z;
    if (s >= kSquaresLow && s <= kSquaresHigh) [[likely]] {
        const double m = std::sqrt(s);
        return {v.x / m, v.y / m, v.z / m};
    }
    return other_direction(v, s);
}

}  // namespace

Quat from_two_vectors(const Vec3d& a, const Vec3d& b) {
    const Vec3d ua = direction(a), ub = direction(b);
    const double d = ua.dot(ub);
    if (d >= 0.0) {
        const Vec3d h{ua.x + ub.x, ua.y + ub.y, ua.z + ub.z};
        const double lh = h.magnitude();
        const Vec3d uh{h.x / lh, h.y / lh, h.z / lh};
        const Vec3d c = ua.cross(uh);
        return {ua.dot(uh), -c.x, -c.y, -c.z};
    }
    Vec3d c = ua.cross(ub);
    const double lc = length(c);
    if (lc == 0.0) {
        const double ax = std::fabs(ua.x), ay = std::fabs(ua.y), az = std::fabs(ua.z);
        const Vec3d e = ax <= ay && ax <= az ? Vec3d{1.0, 0.0, 0.0}
                        : ay <= az           ? Vec3d{0.0, 1.0, 0.0}
                                             : Vec3d{0.0, 0.0, 1.0};
        c = ua.cross(e);
    }
    const double along = c.dot(ua);
    const Vec3d n0{c.x - along * ua.x, c.y - along * ua.y, c.z - along * ua.z};
    const double ln = length(n0);
    const Vec3d n{n0.x / ln, n0.y / ln, n0.z / ln};
    if (lc == 0.0) return {0.0, -n.x, -n.y, -n.z};  // exactly half a turn
    const double angle = drevan::trig::atan2(lc, d);
    // The common quaternion (cos(angle/2), sin(angle/2) n); the stored one is its conjugate.
    double s, co;
    drevan::trig::sin_cos(angle * 0.5, s, co);
    return {co, -(s * n.x), -(s * n.y), -(s * n.z)};
}

// ---------------------------------------------------------------------------------------------
// Component orders.

namespace {

bool is_quat(PyObject* o) { return is_instance<Quat>(o); }

// The common quaternion's components of q in the order given, and back (quat_core.cpp).
using core::from_common;
using core::put_common;

Object to_order(Quats q, bool scalar_first, const char* what) {
    if (is_quat(q.o)) {
        double c[4];
        put_common(as_obj<Quat>(q.o)->value, scalar_first, c);
        return Object{to_py(std::tuple<double, double, double, double>{c[0], c[1], c[2], c[3]})};
    }
    Items items;
    const int opened = items.open(q.o);
    if (opened < 0) throw_pyerr();
    if (opened == 0) {
        PyErr_Format(PyExc_TypeError, "%s must be a Quat or a sequence of Quat", what);
        throw_pyerr();
    }
    std::vector<double> out(static_cast<std::size_t>(items.size()) * 4);
    double* dst = out.data();
    if (!read_borrowed_items<Quat>(items, what, "q", [dst, scalar_first](std::size_t k, const Quat& v) {
            put_common(v, scalar_first, dst + 4 * k);
        }))
        throw_pyerr();
    NewArray arr({static_cast<std::size_t>(items.size()), 4}, "float64");
    if (!out.empty()) std::memcpy(arr.data<double>(), out.data(), out.size() * sizeof(double));
    return Object{arr.release()};
}

Object from_order(Floats x, bool scalar_first) {
    RowsIn rows;
    read_rows(rows, x.o, 4, scalar_first ? "from_wxyz(): components" : "from_xyzw(): components", {.one_row = true});
    if (rows.single()) return Object{to_py(from_common(rows.values(), scalar_first))};
    std::vector<Quat> out;
    out.reserve(rows.count());
    for (std::size_t r = 0; r < rows.count(); ++r) out.push_back(from_common(rows.values() + 4 * r, scalar_first));
    PyObject* list = list_to_py(out);
    if (list == nullptr) throw_pyerr();
    return Object{list};
}

}  // namespace

Object to_xyzw(Quats q) { return to_order(q, false, "to_xyzw(): q"); }
Object from_xyzw(Floats x) { return from_order(x, false); }
Object to_wxyz(Quats q) { return to_order(q, true, "to_wxyz(): q"); }
Object from_wxyz(Floats x) { return from_order(x, true); }

}  // namespace ostrilo::ext
