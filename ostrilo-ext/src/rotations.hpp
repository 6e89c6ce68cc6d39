#pragma once
// Rotations in the stored convention of Quat (rotate(v) is the vector part of conj(q) * v * q):
// composition, inversion, interpolation, matrices, two vectors, the component orders of other
// libraries (rotations.cpp) and Euler angles (euler.cpp).
#include <string>
#include <tuple>

#include "arrays.hpp"
#include "quat_core.hpp"
#include "shared.hpp"

namespace ostrilo::ext {

using drevan::Quat;
using drevan::Vec3d;

// The Hamilton product a * b of the stored components, in the usual grouping.
Quat hamilton_product(const Quat& a, const Quat& b);
// The rotation that applies `first`, then `second`: compose(a, b).rotate(v) == b.rotate(a.rotate(v)).
Quat compose(const Quat& first, const Quat& second);
// conj(q) / |q|^2; ValueError for the zero quaternion.
Quat inverse(const Quat& q);

// Spherical interpolation on the shorter arc; t a number (a Quat) or a sequence (a list).
Quat slerp_one(const Quat& a, const Quat& b, double t);
Object slerp(const Quat& a, const Quat& b, Floats t);

// The rotation whose `rotate` applies the matrix m (m @ v); ValueError beyond kMatrixTolerance.
inline constexpr double kMatrixTolerance = core::kMatrixTolerance;
Quat from_matrix(Rows m);
// The shortest rotation that turns the direction of a into that of b.
Quat from_two_vectors(const Vec3d& a, const Vec3d& b);

// Component orders of the common convention (the conjugate of the stored one): scipy's
// (x, y, z, w) and the scalar-first (w, x, y, z). A Quat or 4 numbers one way, a sequence of Quat
// or (n, 4) rows the other.
Object to_xyzw(Quats q);
Object from_xyzw(Floats x);
Object to_wxyz(Quats q);
Object from_wxyz(Floats x);

// Euler angles (euler.cpp): seq is three of "xyz" (extrinsic) or of "XYZ" (intrinsic).
Quat from_euler(Str seq, Floats angles, Opt<bool, "False"> degrees);
Object to_euler(const Quat& q, Str seq, Opt<bool, "False"> degrees);

// Helpers shared by the rotation sources.
[[noreturn, gnu::cold]] void value_error(const char* message);
Quat negated(const Quat& q);
double norm4(const Quat& q);

}  // namespace ostrilo::ext
