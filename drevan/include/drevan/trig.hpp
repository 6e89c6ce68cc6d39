#pragma once
// drevan's own sine, cosine, tangent and arccosine. The platform C maths libraries do not agree
// to the last bit: x86-64 glibc picks an FMA build of these functions at load time where the
// processor has FMA, and its results differ from the plain build (and from 32-bit ARM) in the
// last bit for about one argument in two thousand. These functions give the same bits on every
// platform: only IEEE additions, subtractions, multiplications, divisions and square roots,
// compiled without contraction, and integer arithmetic.
//
// Each result is the double nearest to the exact value (correctly rounded, ties impossible): a
// fast evaluation with a proven error bound answers when the bound settles the rounding; otherwise
// the argument of sin, cos and tan is reduced modulo pi/2 exactly (integer multiplication by bits
// of 2/pi) and the functions are evaluated in double-double arithmetic (within 2^-90); when even
// that leaves the rounding open (the hardest arguments, within 2^-90 of a midpoint), an exact
// step in 256-bit integer arithmetic decides it. Special values follow C: f(+-0) keeps the
// zero's sign for sin, tan; cos(0) is 1; cos/sin/tan of +-inf and acos outside [-1, 1] are NaN; a
// NaN argument comes back quiet.
#include <cstddef>

namespace drevan::trig {

double sin(double x);
double cos(double x);
double tan(double x);
// sin(x) and cos(x) from one argument reduction; the same bits as sin(x) and cos(x).
void sin_cos(double x, double& s, double& c);
// sin_cos of four arguments at once (the quick evaluation on the vector units): the same bits.
void sin_cos_4(const double (&x)[4], double (&s)[4], double (&c)[4]);
// sin_cos of x[k] into s[k] and c[k] for k < n, the same bits, as many at a time as the processor's
// vector units take (four with AVX2, unless OSTRILO_SIMD=baseline). sin_cos_n_base: always two.
void sin_cos_n(const double* x, double* s, double* c, std::size_t n);
void sin_cos_n_base(const double* x, double* s, double* c, std::size_t n);
double acos(double x);

// Arctangent and the two-argument arctangent, in [-pi/2, pi/2] and [-pi, pi]. Not correctly
// rounded but the same bits everywhere, for the same reason as above: a fixed sequence of IEEE
// operations (argument reduction about atan(1/2), atan(1), atan(3/2) and a polynomial of degree
// 21), within one unit in the last place of the exact value. Special values follow C's atan2:
// the signs of zeros and the quadrant of infinities, NaN in NaN out.
double atan(double x);
double atan2(double y, double x);
// out[k] = atan2(y[k], x[k]), the same bits, four at a time on the vector units.
void atan2_4(const double (&y)[4], const double (&x)[4], double (&out)[4]);
// out[k] = atan2(y[k], x[k]) for k < n, the same bits, as many at a time as sin_cos_n takes;
// atan2_n_base: always two.
void atan2_n(const double* y, const double* x, double* out, std::size_t n);
void atan2_n_base(const double* y, const double* x, double* out, std::size_t n);

}  // namespace drevan::trig
