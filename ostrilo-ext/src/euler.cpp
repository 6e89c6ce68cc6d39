// Euler angles for the twelve axis sequences (rotations.hpp), with scipy's meaning of the
// sequence: lower case "xyz" turns about the fixed axes x, then y, then z (extrinsic); upper case
// "XYZ" about the body's axes X, then the new Y, then the new Z (intrinsic). Angles are read back
// in (-pi, pi] for the first and third and [0, pi] or [-pi/2, pi/2] for the second. In gimbal
// lock (the second angle within 1e-7 of its ends) only the sum or difference of the other two is
// determined: the third is set to 0, the first carries the rotation, and a UserWarning says so,
// as scipy does.
#include <cmath>

#include "accurate.hpp"
#include "drevan/angle.hpp"
#include "drevan/trig.hpp"
#include "quat_core.hpp"
#include "quat_list.hpp"
#include "rotations.hpp"

namespace ostrilo::ext {

using core::EulerSequence;

namespace {

constexpr double PI = drevan::PI;
constexpr double GIMBAL_EPS = 1e-7;

// The stored quaternion of a turn by `angle` about the coordinate axis `axis`; the first form
// takes the sine s and cosine c of -angle / 2, found already.
Quat elementary(int axis, double s, double c) {
    return {c, axis == 0 ? s : 0.0, axis == 1 ? s : 0.0, axis == 2 ? s : 0.0};
}
Quat elementary(int axis, double angle) {
    const double h = angle * -0.5;
    double s, c;
    drevan::trig::sin_cos(h, s, c);
    return elementary(axis, s, c);
}

double to_radians(double a, bool degrees) { return degrees ? (a * PI) / 180.0 : a; }
double from_radians(double a, bool degrees) { return degrees ? (a * 180.0) / PI : a; }

}  // namespace

namespace core {

Quat from_euler(const EulerSequence& seq, const double (&a)[3], bool degrees) noexcept {
    const Quat e0 = elementary(seq.axis[0], to_radians(a[0], degrees));
    const Quat e1 = elementary(seq.axis[1], to_radians(a[1], degrees));
    const Quat e2 = elementary(seq.axis[2], to_radians(a[2], degrees));
    // Extrinsic: the first turn is applied first. Intrinsic X then Y' then Z'' is the same
    // rotation as the extrinsic z, y, x in reverse order; compose(a, b) is the product a * b.
    return seq.extrinsic ? hamilton_product(hamilton_product(e0, e1), e2)
                         : hamilton_product(hamilton_product(e2, e1), e0);
}

void from_euler_n(const EulerSequence& seq, const double* angles, std::size_t count, bool degrees, Quat* out) noexcept {
    // from_euler's operations, with the sines and cosines of all the half angles at once.
    double h[3 * kEulerChunk] = {}, s[3 * kEulerChunk], c[3 * kEulerChunk];
    for (std::size_t t = 0; t < 3 * count; ++t) h[t] = to_radians(angles[t], degrees) * -0.5;
    drevan::trig::sin_cos_n(h, s, c, 3 * count);
    for (std::size_t r = 0; r < count; ++r) {
        const std::size_t t = 3 * r;
        const Quat e0 = elementary(seq.axis[0], s[t], c[t]);
        const Quat e1 = elementary(seq.axis[1], s[t + 1], c[t + 1]);
        const Quat e2 = elementary(seq.axis[2], s[t + 2], c[t + 2]);
        out[r] = seq.extrinsic ? hamilton_product(hamilton_product(e0, e1), e2)
                               : hamilton_product(hamilton_product(e2, e1), e0);
    }
}

// Read in the common convention (x, y, z, w) = (-i, -j, -k, w) by the direct method for
// quaternions: the intrinsic sequence is read as the extrinsic reversed sequence, Tait-Bryan
// sequences through the symmetric case by a change of axes. In two steps around the three
// arctangents, so that a list can take those of several rotations at once: euler_arguments finds
// their arguments (false for a zero or non-finite length), euler_angles the angles from them.
namespace {

bool euler_arguments(const Quat& q0, const EulerSequence& seq, double* ys, double* xs) noexcept {
    const double n = length(q0);
    if (!(n > 0.0) || !std::isfinite(n)) return false;
    // The angles do not depend on the length of q: one far from 1 is scaled by a power of two
    // (exact) so that the squares below neither underflow nor overflow.
    const int e = scale_exponent(q0.w, q0.i, q0.j, q0.k);
    const Quat q = e < -kLargeExponent || e > kLargeExponent ? times_pow2(q0, -e) : q0;
    const double c4[4] = {-q.i, -q.j, -q.k, q.w};  // x, y, z, w
    int i = seq.axis[0], j = seq.axis[1], k = seq.axis[2];
    if (!seq.extrinsic) std::swap(i, k);
    const bool symmetric = i == k;
    if (symmetric) k = 3 - i - j;
    const int sign = (i - j) * (j - k) * (k - i) / 2;  // +1 for an even permutation, -1 odd
    double a, b, c, d;
    if (symmetric) {
        a = c4[3];
        b = c4[i];
        c = c4[j];
        d = c4[k] * sign;
    } else {
        a = c4[3] - c4[j];
        b = c4[i] + c4[k] * sign;
        c = c4[j] + c4[3];
        d = c4[k] * sign - c4[i];
    }
    // The second angle, half the sum and half the difference of the other two.
    ys[0] = length(c, d), xs[0] = length(a, b);
    ys[1] = b, xs[1] = a;
    ys[2] = d, xs[2] = c;
    return true;
}

int euler_angles(const EulerSequence& seq, bool degrees, const double* at, double (&angle)[3]) noexcept {
    // The sequence read as euler_arguments reads it.
    int i = seq.axis[0], j = seq.axis[1], k = seq.axis[2];
    if (!seq.extrinsic) std::swap(i, k);
    const bool symmetric = i == k;
    if (symmetric) k = 3 - i - j;
    const int sign = (i - j) * (j - k) * (k - i) / 2;
    angle[1] = 2.0 * at[0];
    const int lock = std::fabs(angle[1]) <= GIMBAL_EPS ? 1 : std::fabs(angle[1] - PI) <= GIMBAL_EPS ? 2 : 0;
    const double half_sum = at[1];
    const double half_diff = at[2];
    if (lock == 0) {
        angle[0] = half_sum - half_diff;
        angle[2] = half_sum + half_diff;
    } else {
        // Only angle[0] + angle[2] (lock 1) or angle[2] - angle[0] (lock 2) is known: the angle
        // that ends up third is 0.
        const double known = lock == 1 ? 2.0 * half_sum : 2.0 * half_diff;
        if (seq.extrinsic) {
            angle[0] = lock == 1 ? known : -known;
            angle[2] = 0.0;
        } else {
            angle[0] = 0.0;
            angle[2] = known;
        }
    }
    if (!symmetric) {
        angle[2] *= sign;
        angle[1] -= PI / 2.0;
    }
    if (!seq.extrinsic) std::swap(angle[0], angle[2]);
    for (double& x : angle) {
        if (x < -PI)
            x += 2.0 * PI;
        else if (x > PI)
            x -= 2.0 * PI;
        x = from_radians(x, degrees);
    }
    return lock;
}

}  // namespace

int to_euler(const Quat& q, const EulerSequence& seq, bool degrees, double (&angle)[3]) noexcept {
    double ys[4] = {1.0, 1.0, 1.0, 1.0}, xs[4] = {2.0, 2.0, 2.0, 2.0};  // the fourth lane idles on 1 / 2
    if (!euler_arguments(q, seq, ys, xs)) return -1;
    double at[4];
    drevan::trig::atan2_4(ys, xs, at);
    return euler_angles(seq, degrees, at, angle);
}

void to_euler_n(const Quat* q, std::size_t count, const EulerSequence& seq, bool degrees, double (*angle)[3],
                int* lock) noexcept {
    // The arctangents of all the rotations at once, rotation r's at 3r, 3r + 1, 3r + 2 (those of
    // a rotation that has none idle on 1 / 2): their arguments first, then atan2_n over all of
    // them, so that many independent arctangents are in flight together.
    double ys[3 * kEulerChunk] = {}, xs[3 * kEulerChunk] = {}, at[3 * kEulerChunk];
    for (std::size_t r = 0; r < count; ++r) {
        lock[r] = euler_arguments(q[r], seq, ys + 3 * r, xs + 3 * r) ? 0 : -1;
        if (lock[r] < 0)
            for (std::size_t t = 3 * r; t < 3 * r + 3; ++t) ys[t] = 1.0, xs[t] = 2.0;
    }
    drevan::trig::atan2_n(ys, xs, at, 3 * count);
    for (std::size_t r = 0; r < count; ++r)
        if (lock[r] == 0) lock[r] = euler_angles(seq, degrees, at + 3 * r, angle[r]);
}

}  // namespace core

[[noreturn, gnu::cold]] static void bad_sequence(const char* fn, PyObject* seq) {
    PyErr_Format(PyExc_ValueError,
                 "%s(): seq must be three axes from 'xyz' (extrinsic) or from 'XYZ' (intrinsic), none twice in a "
                 "row, not %R",
                 fn, seq);
    throw_pyerr();
}

EulerSequence parse_sequence(PyObject* seq, const char* fn) {
    if (!PyUnicode_Check(seq)) {
        PyErr_Format(PyExc_TypeError, "argument 'seq': '%s' object is not an instance of 'str'", Py_TYPE(seq)->tp_name);
        throw_pyerr();
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(seq, &n);
    if (s == nullptr) throw_pyerr();
    if (n != 3) bad_sequence(fn, seq);
    EulerSequence out{};
    const bool lower = s[0] >= 'x' && s[0] <= 'z';
    out.extrinsic = lower;
    for (int k = 0; k < 3; ++k) {
        const char base = lower ? 'x' : 'X';
        if (s[k] < base || s[k] > base + 2) bad_sequence(fn, seq);
        out.axis[k] = s[k] - base;
        if (k > 0 && out.axis[k] == out.axis[k - 1]) bad_sequence(fn, seq);
    }
    return out;
}

void warn_gimbal_lock() {
    if (PyErr_WarnEx(PyExc_UserWarning,
                     "Gimbal lock detected. Setting third angle to zero since it is not possible to uniquely "
                     "determine all angles.",
                     1) < 0)
        throw_pyerr();
}

Quat from_euler(Str seq_o, Floats angles_o, Opt<bool, "False"> degrees) {
    const EulerSequence seq = parse_sequence(seq_o.o, "from_euler");
    double a[3];
    read_flat(angles_o.o, a, 3, "from_euler(): angles");
    return core::from_euler(seq, a, degrees);
}

Object to_euler(const Quat& q, Str seq_o, Opt<bool, "False"> degrees) {
    const EulerSequence seq = parse_sequence(seq_o.o, "to_euler");
    double angle[3];
    const int lock = core::to_euler(q, seq, degrees, angle);
    if (lock < 0) value_error("to_euler(): the quaternion must have a finite, nonzero length");
    if (lock != 0) warn_gimbal_lock();
    return Object{to_py(std::tuple<double, double, double>{angle[0], angle[1], angle[2]})};
}

}  // namespace ostrilo::ext
