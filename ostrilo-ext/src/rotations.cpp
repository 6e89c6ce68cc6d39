// Composition, inversion and interpolation of rotations (rotations.hpp).
#include "rotations.hpp"

#include "frame/errors.hpp"

namespace ostrilo::ext {

Quat hamilton_product(const Quat& a, const Quat& b) {
    return {((a.w * b.w - a.i * b.i) - a.j * b.j) - a.k * b.k, ((a.w * b.i + a.i * b.w) + a.j * b.k) - a.k * b.j,
            ((a.w * b.j - a.i * b.k) + a.j * b.w) + a.k * b.i, ((a.w * b.k + a.i * b.j) - a.j * b.i) + a.k * b.w};
}

// rotate(v) = conj(q) v q, so b.rotate(a.rotate(v)) = conj(a b) v (a b): the stored product in
// the order of application.
Quat compose(const Quat& first, const Quat& second) { return hamilton_product(first, second); }

Quat inverse(const Quat& q) {
    const double n = ((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k;
    if (n == 0.0) {
        PyErr_SetString(PyExc_ValueError, "inverse(): the zero quaternion has no inverse");
        throw_pyerr();
    }
    return {q.w / n, -q.i / n, -q.j / n, -q.k / n};
}

}  // namespace ostrilo::ext
