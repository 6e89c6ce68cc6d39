// The arithmetic of composition, inversion, interpolation, matrices and component orders
// (quat_core.hpp), shared by the single-rotation functions (rotations.cpp) and the lists
// (quat_list.cpp).
#include "quat_core.hpp"

#include <cmath>

#include "accurate.hpp"
#include "drevan/trig.hpp"

namespace ostrilo::ext::core {

namespace {

Quat negated(const Quat& q) { return {-q.w, -q.i, -q.j, -q.k}; }
Quat divided(const Quat& q, double s) { return {q.w / s, q.i / s, q.j / s, q.k / s}; }
double dot4(const Quat& a, const Quat& b) { return ((a.w * b.w + a.i * b.i) + a.j * b.j) + a.k * b.k; }

// q / |q| for every q with finite components, not all zero (at full range, accurate.hpp).
bool unit_rotation(const Quat& q, Quat& out) {
    const double s = ((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k;
    if (s >= kSquaresLow && s <= kSquaresHigh) [[likely]] {
        out = divided(q, std::sqrt(s));
        return true;
    }
    if (!(std::isfinite(q.w) && std::isfinite(q.i) && std::isfinite(q.j) && std::isfinite(q.k)) ||
        (q.w == 0.0 && q.i == 0.0 && q.j == 0.0 && q.k == 0.0))
        return false;
    out = scaled_unit(q, s);
    return true;
}

}  // namespace

Quat hamilton_product(const Quat& a, const Quat& b) noexcept {
    return {((a.w * b.w - a.i * b.i) - a.j * b.j) - a.k * b.k, ((a.w * b.i + a.i * b.w) + a.j * b.k) - a.k * b.j,
            ((a.w * b.j - a.i * b.k) + a.j * b.w) + a.k * b.i, ((a.w * b.k + a.i * b.j) - a.j * b.i) + a.k * b.w};
}

// |q|^2 under- or overflows for quaternions whose inverse is an ordinary number (1e-200 has the
// inverse 1e200): there the quotients are taken at the scale where the largest component is in
// [0.5, 1) and scaled back, q / |q|^2 = (q 2^-e / |q 2^-e|^2) 2^-e. A component of the inverse
// beyond the largest double is +-inf (IEEE overflow), as 1 / 5e-324 is.
bool inverse(const Quat& q, Quat& out) noexcept {
    const double n = ((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k;
    if (n >= kSquaresLow && n <= kSquaresHigh) [[likely]] {
        out = {q.w / n, -q.i / n, -q.j / n, -q.k / n};
        return true;
    }
    if (q.w == 0.0 && q.i == 0.0 && q.j == 0.0 && q.k == 0.0) return false;
    const int e = scale_exponent(q.w, q.i, q.j, q.k);
    if (e == 0) {  // inf or NaN: IEEE rules
        out = {q.w / n, -q.i / n, -q.j / n, -q.k / n};
        return true;
    }
    const Quat s = times_pow2(q, -e);
    const double ns = ((s.w * s.w + s.i * s.i) + s.j * s.j) + s.k * s.k;
    out = {times_pow2(s.w / ns, -e), times_pow2(-s.i / ns, -e), times_pow2(-s.j / ns, -e), times_pow2(-s.k / ns, -e)};
    return true;
}

// The angle between the two unit quaternions (as 4-vectors) is read through atan2 of the lengths
// of their difference and sum, which stays accurate when they almost agree (acos of their dot
// product loses half the digits there), and the weights sin((1 - t) phi) / sin phi and
// sin(t phi) / sin phi then stay accurate down to the smallest angles.
bool slerp(const Quat& a, const Quat& b, double t, Quat& out) noexcept {
    if (t == 0.0) {
        out = a;
        return true;
    }
    if (t == 1.0) {
        out = b;
        return true;
    }
    Quat ua, ub;
    if (!unit_rotation(a, ua) || !unit_rotation(b, ub)) return false;
    if (dot4(ua, ub) < 0.0) ub = negated(ub);  // the shorter arc
    const Quat d{ua.w - ub.w, ua.i - ub.i, ua.j - ub.j, ua.k - ub.k};
    const Quat s{ua.w + ub.w, ua.i + ub.i, ua.j + ub.j, ua.k + ub.k};
    const double ld = length(d), ls = length(s);
    const double half = drevan::trig::atan2(ld, ls);  // phi / 2
    const double phi = half + half;
    // sin(phi) = 2 sin(phi/2) cos(phi/2), with sin and cos of phi/2 as |d| and |s| over the
    // length of (|d|, |s|) (2 for exactly unit quaternions): accurate without a sine.
    const double ll = ld * ld + ls * ls;
    const double sp = ((ld + ld) * ls) / ll;
    if (sp == 0.0) {  // the same rotation
        out = ua;
        return true;
    }
    const double cp = (ls * ls - ld * ld) / ll;  // cos(phi), likewise
    // sin((1 - t) phi) / sin(phi) = cos(t phi) - cos(phi) sin(t phi) / sin(phi): one sine and
    // cosine of one argument.
    double st, ct;
    drevan::trig::sin_cos(t * phi, st, ct);
    const double wb = st / sp;
    const double wa = ct - cp * wb;
    out = {ua.w * wa + ub.w * wb, ua.i * wa + ub.i * wb, ua.j * wa + ub.j * wb, ua.k * wa + ub.k * wb};
    return true;
}

// The quaternion of the common convention (the conjugate of the stored one) is read from the
// largest of the trace and the three diagonal entries (Shepperd's choice), so that the square
// root and the divisions never meet a small number, at 180 degrees included.
MatrixFault from_matrix(const double (&m)[3][3], Quat& out, double& worst) noexcept {
    worst = 0.0;
    // x - x is 0 for a finite x and NaN for an infinite or NaN one: one test for all nine.
    double finite = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) finite += m[r][c] - m[r][c];
    if (finite != 0.0) return MatrixFault::NonFinite;
    // How far m m^T is from the identity, and the sign of the determinant. m m^T is symmetric to
    // the bit (products commute), so the six entries on and above the diagonal say it all.
    for (int r = 0; r < 3; ++r)
        for (int c = r; c < 3; ++c) {
            const double e = ((m[r][0] * m[c][0] + m[r][1] * m[c][1]) + m[r][2] * m[c][2]) - (r == c ? 1.0 : 0.0);
            worst = std::fabs(e) > worst ? std::fabs(e) : worst;
        }
    if (worst > kMatrixTolerance) return MatrixFault::NotOrthogonal;
    const double det =
        (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])) +
        m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (det < 0.0) return MatrixFault::Reflection;
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
    Quat p = divided(Quat{w, x, y, z}, length(Quat{w, x, y, z}));
    if (p.w < 0.0) p = negated(p);
    out = p.conjugate();
    return MatrixFault::None;
}

void put_common(const Quat& q, bool scalar_first, double* out) noexcept {
    if (scalar_first) {
        out[0] = q.w, out[1] = -q.i, out[2] = -q.j, out[3] = -q.k;
    } else {
        out[0] = -q.i, out[1] = -q.j, out[2] = -q.k, out[3] = q.w;
    }
}

Quat from_common(const double* c, bool scalar_first) noexcept {
    return scalar_first ? Quat{c[0], -c[1], -c[2], -c[3]} : Quat{c[3], -c[0], -c[1], -c[2]};
}

}  // namespace ostrilo::ext::core
