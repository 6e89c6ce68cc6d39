#pragma once
// Hand-written loops for the two list operations that the compiler's own vectorisation leaves slow:
// dividing by a number (the divider is the bottleneck) and rotating (the vectors' three
// components interleaved in memory). Each gives exactly the bits of the plain loop over the core,
// NaNs made canonical, in every build; list_loops.hpp has the rules and the choice of build.
#include <cstddef>

#include "drevan/quat.hpp"
#include "drevan/vec3d.hpp"
#include "list_loops.hpp"

namespace ostrilo::kernels {

// out[i] = canonical(in[i] / s) for i in [0, count). in and out may be the same array.
//
// With fused multiply-add (the AVX2 and AVX-512 builds) the quotient comes from the reciprocal
// y = 1/s, rounded once, without a division per element: q0 = a*y, then twice the correction
// r = a - q*s (exact, one fused operation), q = q + r*y (one fused operation). q0 is within two
// units in the last place of a/s, the first correction brings it within one, and from there the
// second gives the correctly rounded quotient, which is what the division gives (Markstein's
// theorem: y within half a unit of 1/s and q within one unit of a/s make RN(q + r*y) = RN(a/s)).
// The theorem needs every step free of underflow and overflow: the divisor and each component
// must lie within 2^-400 .. 2^400 in magnitude. A zero component gives q0, the signed zero the
// division gives. Anything else (subnormal, huge, infinite, NaN) is divided as it stands.
void divide(const double* in, double* out, std::size_t count, double s) noexcept;

// data[i] = canonical(q.rotate(data[i])) for i in [0, count).
//
// The wide builds load eight (AVX-512) or four (AVX2) vectors, separate their x, y and z
// components into three registers, apply Quat::rotate_components to the registers, which rotates
// one vector per lane with the same operations in the same order, and interleave the results
// back. The rest of a block goes element by element.
void rotate(drevan::Vec3d* data, std::size_t count, const drevan::Quat& q) noexcept;

#ifdef OSTRILO_LOOP_VARIANTS
// Each build on its own, for the tests; a build the processor lacks must not be called.
void divide_base(const double* in, double* out, std::size_t count, double s) noexcept;
void divide_avx2(const double* in, double* out, std::size_t count, double s) noexcept;
void divide_avx512(const double* in, double* out, std::size_t count, double s) noexcept;
void rotate_base(drevan::Vec3d* data, std::size_t count, const drevan::Quat& q) noexcept;
void rotate_avx2(drevan::Vec3d* data, std::size_t count, const drevan::Quat& q) noexcept;
void rotate_avx512(drevan::Vec3d* data, std::size_t count, const drevan::Quat& q) noexcept;
#endif

}  // namespace ostrilo::kernels
