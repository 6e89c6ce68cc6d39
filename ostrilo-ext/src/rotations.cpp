// Composition, inversion, interpolation and conversions of rotations (rotations.hpp).
#include "rotations.hpp"

#include <cmath>
#include <cstdio>
#include <vector>

#include "drevan/trig.hpp"

namespace ostrilo::ext {

void value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw_pyerr();
}

Quat negated(const Quat& q) { return {-q.w, -q.i, -q.j, -q.k}; }
double norm4(const Quat& q) { return std::sqrt(((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k); }

namespace {

Quat divided(const Quat& q, double s) { return {q.w / s, q.i / s, q.j / s, q.k / s}; }
double dot4(const Quat& a, const Quat& b) { return ((a.w * b.w + a.i * b.i) + a.j * b.j) + a.k * b.k; }

Quat unit_rotation(const Quat& q, const char* message) {
    const double n = norm4(q);
    if (!(n > 0.0) || !std::isfinite(n)) value_error(message);
    return divided(q, n);
}

}  // namespace

Quat hamilton_product(const Quat& a, const Quat& b) {
    return {((a.w * b.w - a.i * b.i) - a.j * b.j) - a.k * b.k, ((a.w * b.i + a.i * b.w) + a.j * b.k) - a.k * b.j,
            ((a.w * b.j - a.i * b.k) + a.j * b.w) + a.k * b.i, ((a.w * b.k + a.i * b.j) - a.j * b.i) + a.k * b.w};
}

// rotate(v) = conj(q) v q, so b.rotate(a.rotate(v)) = conj(a b) v (a b): the stored product in
// the order of application.
Quat compose(const Quat& first, const Quat& second) { return hamilton_product(first, second); }

Quat inverse(const Quat& q) {
    const double n = ((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k;
    if (n == 0.0) value_error("inverse(): the zero quaternion has no inverse");
    return {q.w / n, -q.i / n, -q.j / n, -q.k / n};
}

// ---------------------------------------------------------------------------------------------
// Interpolation. The angle between the two unit quaternions (as 4-vectors) is read through atan2
// of the lengths of their difference and sum, which stays accurate when they almost agree (acos
// of their dot product loses half the digits there), and the weights sin((1 - t) phi) / sin phi
// and sin(t phi) / sin phi then stay accurate down to the smallest angles.

Quat slerp_one(const Quat& a, const Quat& b, double t) {
    if (t == 0.0) return a;
    if (t == 1.0) return b;
    const Quat ua = unit_rotation(a, "slerp(): the quaternions must have a finite, nonzero length");
    Quat ub = unit_rotation(b, "slerp(): the quaternions must have a finite, nonzero length");
    if (dot4(ua, ub) < 0.0) ub = negated(ub);  // the shorter arc
    const Quat d{ua.w - ub.w, ua.i - ub.i, ua.j - ub.j, ua.k - ub.k};
    const Quat s{ua.w + ub.w, ua.i + ub.i, ua.j + ub.j, ua.k + ub.k};
    const double ld = norm4(d), ls = norm4(s);
    const double half = drevan::trig::atan2(ld, ls);  // phi / 2
    const double phi = half + half;
    // sin(phi) = 2 sin(phi/2) cos(phi/2), with sin and cos of phi/2 as |d| and |s| over the
    // length of (|d|, |s|) (2 for exactly unit quaternions): accurate without a sine.
    const double ll = ld * ld + ls * ls;
    const double sp = ((ld + ld) * ls) / ll;
    if (sp == 0.0) return ua;                    // the same rotation
    const double cp = (ls * ls - ld * ld) / ll;  // cos(phi), likewise
    // sin((1 - t) phi) / sin(phi) = cos(t phi) - cos(phi) sin(t phi) / sin(phi): one sine and
    // cosine of one argument.
    double st, ct;
    drevan::trig::sin_cos(t * phi, st, ct);
    const double wb = st / sp;
    const double wa = ct - cp * wb;
    return {ua.w * wa + ub.w * wb, ua.i * wa + ub.i * wb, ua.j * wa + ub.j * wb, ua.k * wa + ub.k * wb};
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
// Matrices. The quaternion of the common convention (the conjugate of the stored one) is read from
// the largest of the trace and the three diagonal entries (Shepperd's choice), so that the square
// root and the divisions never meet a small number, at 180 degrees included.

Quat from_matrix(Rows mo) {
    RowsIn rows;
    read_rows(rows, mo.o, 3, "from_matrix(): m", {.rows = 3});
    double m[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[r][c] = rows.values()[3 * r + c];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            if (!std::isfinite(m[r][c])) value_error("from_matrix(): m has a non-finite entry");
    // How far m m^T is from the identity, and the sign of the determinant.
    double worst = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const double e = ((m[r][0] * m[c][0] + m[r][1] * m[c][1]) + m[r][2] * m[c][2]) - (r == c ? 1.0 : 0.0);
            if (std::fabs(e) > worst) worst = std::fabs(e);
        }
    if (worst > kMatrixTolerance) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "from_matrix(): m is not a rotation matrix: m @ m.T differs from the identity by %.3g "
                      "(tolerance %.0e)",
                      worst, kMatrixTolerance);
        PyErr_SetString(PyExc_ValueError, text);
        throw_pyerr();
    }
    const double det =
        (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])) +
        m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (det < 0.0) value_error("from_matrix(): m is not a rotation matrix: its determinant is -1 (a reflection)");
    const double tr = (m[0][0] + m[1][1]) + m[2][2];
    double w, x, y, z;
    if (tr >= m[0][0] && tr >= m[1][1] && tr >= m[2][2]) {
        const double s = std::sqrt(1.0 + tr) * 2.0;  // 4 w
        w = 0.25 * s;
        x = (m[2][1] - m[1][2]) / s;
        y = (m[0][2] - m[2][0]) / s;
        z = (m[1][0] - m[0][1]) / s;
    } else if (m[0][0] >= m[1][1] && m[0][0] >= m[2][2]) {
        const double s = std::sqrt(((1.0 + m[0][0]) - m[1][1]) - m[2][2]) * 2.0;  // 4 x
        w = (m[2][1] - m[1][2]) / s;
        x = 0.25 * s;
        y = (m[0][1] + m[1][0]) / s;
        z = (m[0][2] + m[2][0]) / s;
    } else if (m[1][1] >= m[2][2]) {
        const double s = std::sqrt(((1.0 + m[1][1]) - m[0][0]) - m[2][2]) * 2.0;  // 4 y
        w = (m[0][2] - m[2][0]) / s;
        x = (m[0][1] + m[1][0]) / s;
        y = 0.25 * s;
        z = (m[1][2] + m[2][1]) / s;
    } else {
        const double s = std::sqrt(((1.0 + m[2][2]) - m[0][0]) - m[1][1]) * 2.0;  // 4 z
        w = (m[1][0] - m[0][1]) / s;
        x = (m[0][2] + m[2][0]) / s;
        y = (m[1][2] + m[2][1]) / s;
        z = 0.25 * s;
    }
    Quat p = divided(Quat{w, x, y, z}, norm4(Quat{w, x, y, z}));
    if (p.w < 0.0) p = negated(p);
    return p.conjugate();
}

// ---------------------------------------------------------------------------------------------
// Two vectors. Up to a quarter turn apart (a . b >= 0), the bisector h = unit(a + b) of the unit
// vectors gives the common quaternion (a . h, a x h) directly: cos and sin of half the angle, with
// no cancellation in a + b. Beyond, the angle comes from atan2(|a x b|, a . b), accurate at every
// size, and the axis is a x b made exactly perpendicular to a again (rounding tilts it towards a by
// up to 2^-53 of |a| |b|, which near half a turn would carry a far past b). Exactly opposite
// vectors give half a turn about an axis perpendicular to a (the one through a's smallest
// component).

Quat from_two_vectors(const Vec3d& a, const Vec3d& b) {
    const double la = a.magnitude(), lb = b.magnitude();
    if (!(la > 0.0) || !(lb > 0.0) || !std::isfinite(la) || !std::isfinite(lb))
        value_error("from_two_vectors(): the vectors must have a finite, nonzero length");
    const Vec3d ua{a.x / la, a.y / la, a.z / la};
    const Vec3d ub{b.x / lb, b.y / lb, b.z / lb};
    const double d = ua.dot(ub);
    if (d >= 0.0) {
        const Vec3d h{ua.x + ub.x, ua.y + ub.y, ua.z + ub.z};
        const double lh = h.magnitude();
        const Vec3d uh{h.x / lh, h.y / lh, h.z / lh};
        const Vec3d c = ua.cross(uh);
        return {ua.dot(uh), -c.x, -c.y, -c.z};
    }
    Vec3d c = ua.cross(ub);
    const double lc = c.magnitude();
    if (lc == 0.0) {
        const double ax = std::fabs(ua.x), ay = std::fabs(ua.y), az = std::fabs(ua.z);
        const Vec3d e = ax <= ay && ax <= az ? Vec3d{1.0, 0.0, 0.0}
                        : ay <= az           ? Vec3d{0.0, 1.0, 0.0}
                                             : Vec3d{0.0, 0.0, 1.0};
        c = ua.cross(e);
    }
    const double along = c.dot(ua);
    const Vec3d n0{c.x - along * ua.x, c.y - along * ua.y, c.z - along * ua.z};
    const double ln = n0.magnitude();
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

// The common quaternion's components of q in the order given.
void put_common(const Quat& q, bool scalar_first, double* out) {
    if (scalar_first) {
        out[0] = q.w, out[1] = -q.i, out[2] = -q.j, out[3] = -q.k;
    } else {
        out[0] = -q.i, out[1] = -q.j, out[2] = -q.k, out[3] = q.w;
    }
}
Quat from_common(const double* c, bool scalar_first) {
    return scalar_first ? Quat{c[0], -c[1], -c[2], -c[3]} : Quat{c[3], -c[0], -c[1], -c[2]};
}

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
    for (Py_ssize_t k = 0; k < items.size(); ++k) {
        PyObject* o = items.hold(k, what);
        if (o == nullptr) throw_pyerr();
        bool ok;
        {
            Shared<Quat> item;
            ok = item.acquire(o);
            if (ok) put_common(item.get(), scalar_first, out.data() + 4 * k);
        }
        Items::drop(o);
        if (!ok) {
            add_argument_prefix("q");
            throw_pyerr();
        }
    }
    PyObject* arr = make_array(out.data(), static_cast<std::size_t>(items.size()), 4);
    if (arr == nullptr) throw_pyerr();
    return Object{arr};
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
