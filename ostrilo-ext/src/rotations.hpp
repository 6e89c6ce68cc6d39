#pragma once
// Rotations in the stored convention of Quat (rotate(v) is the vector part of conj(q) * v * q):
// composition, inversion, interpolation, conversions to and from matrices, Euler angles and the
// component orders of other libraries (rotations.cpp, euler.cpp).
#include <string>
#include <tuple>

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

}  // namespace ostrilo::ext
