#pragma once
// The arithmetic of the single-rotation functions, apart from reading arguments and raising
// errors: plain C++ that touches no Python object, so that the worker pool can run it on many
// rotations at once. The functions of ostrilo_ext that take one rotation call exactly these, so a
// list's element and the single call give the same bits by construction. A failure is a status
// the caller turns into its exception (with the element's index, for a list).
#include <cstddef>

#include "drevan/quat.hpp"
#include "drevan/vec3d.hpp"

namespace ostrilo::ext::core {

using drevan::Quat;
using drevan::Vec3d;

// The Hamilton product a * b of the stored components, in the usual grouping.
Quat hamilton_product(const Quat& a, const Quat& b) noexcept;

// conj(q) / |q|^2; false for the zero quaternion.
bool inverse(const Quat& q, Quat& out) noexcept;

// Spherical interpolation on the shorter arc; false when a or b has a zero or non-finite length
// (and t is neither 0 nor 1).
bool slerp(const Quat& a, const Quat& b, double t, Quat& out) noexcept;

// The rotation whose `rotate` applies m (rows), or why there is none.
enum class MatrixFault { None, NonFinite, NotOrthogonal, Reflection };
inline constexpr double kMatrixTolerance = 1e-6;
// worst: how far m m^T is from the identity (the largest entry of the difference), for messages.
MatrixFault from_matrix(const double (&m)[3][3], Quat& out, double& worst) noexcept;

// The common quaternion (the conjugate of the stored one) in the order (w, x, y, z) when
// scalar_first, else (x, y, z, w), and back.
void put_common(const Quat& q, bool scalar_first, double* out) noexcept;
Quat from_common(const double* c, bool scalar_first) noexcept;

// Euler angles with scipy's meaning of the sequence (euler.cpp).
struct EulerSequence {
    int axis[3];
    bool extrinsic;
};
Quat from_euler(const EulerSequence& seq, const double (&angles)[3], bool degrees) noexcept;
// The same for count <= kEulerChunk rows of three angles (row r at angles + 3 r) into out[r], their
// sines and cosines on the vector units together.
inline constexpr std::size_t kEulerChunk = 64;
void from_euler_n(const EulerSequence& seq, const double* angles, std::size_t count, bool degrees, Quat* out) noexcept;
// The angles of q into out; the result is -1 when q has a zero or non-finite length, else the
// gimbal lock found: 0 none, 1 or 2 the second angle at its lower or upper end (the third is 0).
int to_euler(const Quat& q, const EulerSequence& seq, bool degrees, double (&out)[3]) noexcept;
// The same for count <= kEulerChunk rotations at once (their arctangents on the vector units
// together): out[r] and lock[r] as to_euler gives them for q[r].
void to_euler_n(const Quat* q, std::size_t count, const EulerSequence& seq, bool degrees, double (*out)[3],
                int* lock) noexcept;

// The axis and angle in [0, pi] of q (accurate.cpp); false for the zero quaternion.
bool axis_angle(const Quat& q, Vec3d& axis, double& angle) noexcept;
// The angles alone of count <= kAnglesChunk rotations at once (their arctangents on the vector
// units together), each the bits of axis_angle's; false when one of them is the zero quaternion
// (its angle is then 0, and the caller finds which).
inline constexpr std::size_t kAnglesChunk = 64;
bool rotation_angles(const Quat* q, std::size_t count, double* angle) noexcept;

}  // namespace ostrilo::ext::core
