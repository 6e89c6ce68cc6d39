#pragma once
// The docstrings of ostrilo_ext's functions: the text signature, then what the function does and
// its equivalents in scipy (scipy.spatial.transform.Rotation, "R") and PyGLM ("glm"). Quat stores
// the conjugate of the common quaternion: q.rotate(v) is conj(q) * v * q, where R and glm apply
// p * v * conj(p) with p = conj(q).
#include "frame/text.hpp"

namespace ostrilo::ext::doc {

inline constexpr fixed_string compose =
    "compose(first, second)\n--\n\n"
    "The rotation that applies `first`, then `second`:\n"
    "compose(a, b).rotate(v) equals b.rotate(a.rotate(v)) to rounding.\n"
    "In the stored convention that is the Hamilton product a * b.\n"
    "scipy: Rb * Ra.  PyGLM: qb * qa.";
inline constexpr fixed_string hamilton_product =
    "hamilton_product(a, b)\n--\n\n"
    "The Hamilton product a * b of the stored components (w, i, j, k), for algebra.\n"
    "As a rotation it is compose(a, b): a first, then b.";
inline constexpr fixed_string inverse =
    "inverse(q)\n--\n\n"
    "conj(q) / |q|**2, the rotation that undoes q (the conjugate for a unit quaternion).\n"
    "Raises ValueError for the zero quaternion.\n"
    "scipy: R.inv().  PyGLM: glm.inverse(q).";
inline constexpr fixed_string slerp =
    "slerp(a, b, t)\n--\n\n"
    "Spherical linear interpolation from a (t = 0) to b (t = 1) along the shorter arc.\n"
    "t is a number (the result is a Quat) or a sequence of numbers (a list of Quat).\n"
    "Exactly a at t = 0 and b at t = 1; in between a unit quaternion, which may be the\n"
    "negative of the one on the other arc (the same rotation). Accurate when a and b almost agree.\n"
    "ValueError for a quaternion of zero or non-finite length.\n"
    "scipy: Slerp([0, 1], R.concatenate([Ra, Rb]))(t).  PyGLM: glm.slerp(qa, qb, t).";
inline constexpr fixed_string from_matrix =
    "from_matrix(m)\n--\n\n"
    "The unit quaternion (w >= 0) whose rotate applies the rotation matrix m: q.rotate(v) == m @ v.\n"
    "m is 3 rows of 3 numbers (nested sequences or a (3, 3) array). It must be a proper rotation:\n"
    "m @ m.T within 1e-06 of the identity (per entry) and determinant +1, else ValueError.\n"
    "Note that Quat.to_rotation_matrix() gives the transpose of m.\n"
    "scipy: R.from_matrix(m).  PyGLM: glm.quat_cast(glm.mat3(...)).";
inline constexpr fixed_string from_two_vectors =
    "from_two_vectors(a, b)\n--\n\n"
    "The shortest rotation that turns the direction of a into that of b. For opposite\n"
    "vectors: half a turn about an axis perpendicular to a. ValueError for a zero vector.\n"
    "scipy: R.align_vectors([b], [a]).  PyGLM: glm.quat(glm.normalize(a), glm.normalize(b)).";
inline constexpr fixed_string from_euler =
    "from_euler(seq, angles, degrees=False)\n--\n\n"
    "The rotation of three turns about coordinate axes, with scipy's meaning of seq:\n"
    "three of 'xyz' turn about the fixed axes in that order (extrinsic), three of 'XYZ' about\n"
    "the body's axes as they move (intrinsic); no axis twice in a row. angles: three numbers,\n"
    "radians unless degrees is true.\n"
    "scipy: R.from_euler(seq, angles, degrees).";
inline constexpr fixed_string to_euler =
    "to_euler(q, seq, degrees=False)\n--\n\n"
    "The three angles of seq (as in from_euler) that give the rotation q, as a tuple: the first\n"
    "and third in [-pi, pi], the second in [0, pi] (sequences like 'zxz') or [-pi/2, pi/2]\n"
    "('xyz'). In gimbal lock (the second angle within 1e-7 of its ends) the third is set to 0\n"
    "and a UserWarning is issued, as scipy does.\n"
    "scipy: R.as_euler(seq, degrees).";
inline constexpr fixed_string to_xyzw =
    "to_xyzw(q)\n--\n\n"
    "The common quaternion (the conjugate of the stored one) in scipy's order (x, y, z, w):\n"
    "a tuple for a Quat, an (n, 4) NumPy array for a sequence of Quat.\n"
    "scipy: R.from_quat(to_xyzw(q)) is the same rotation as q.";
inline constexpr fixed_string from_xyzw =
    "from_xyzw(components)\n--\n\n"
    "The Quat of a common quaternion in scipy's order (x, y, z, w): 4 numbers give a Quat,\n"
    "(n, 4) rows (an array or nested sequences) a list of Quat. Not normalised.\n"
    "scipy: from_xyzw(R.as_quat()).";
inline constexpr fixed_string to_wxyz =
    "to_wxyz(q)\n--\n\n"
    "The common quaternion in scalar-first order (w, x, y, z), as glm.quat(w, x, y, z) and\n"
    "R.from_quat(..., scalar_first=True) take it: a tuple for a Quat, an (n, 4) NumPy array for\n"
    "a sequence of Quat.";
inline constexpr fixed_string from_wxyz =
    "from_wxyz(components)\n--\n\n"
    "The Quat of a common quaternion in scalar-first order (w, x, y, z): 4 numbers give a Quat,\n"
    "(n, 4) rows a list of Quat. Not normalised.";
inline constexpr fixed_string axis_angle =
    "axis_angle(q)\n--\n\n"
    "The unit axis and the angle in [0, pi] of the rotation q, such that\n"
    "Quat.from_axis_angle(axis, angle) is q or -q (the same rotation). The angle is\n"
    "2 atan2(|(i, j, k)|, |w|): accurate at every angle, 1e-12 rad included. The identity gives\n"
    "the x axis and 0. (Quat.to_axis_angle reads the opposite convention through acos.)\n"
    "ValueError for the zero quaternion.\n"
    "scipy: R.as_rotvec() is axis * angle.  PyGLM: glm.axis(q), glm.angle(q).";
inline constexpr fixed_string angle_between =
    "angle_between(a, b)\n--\n\n"
    "The angle between two vectors, atan2(|a x b|, a . b), in [0, pi]: exactly 0 for parallel\n"
    "and pi for opposite vectors, accurate at every angle. ValueError for a zero vector.\n"
    "PyGLM: glm.angle(glm.normalize(a), glm.normalize(b)).";
inline constexpr fixed_string contains_point =
    "contains_point(plane, point, rel_tol=1e-09, abs_tol=0.0)\n--\n\n"
    "Plane.contains_point with a tolerance: True when Plane.contains_point is, or when\n"
    "|distance + normal . point| <= max(rel_tol * scale, abs_tol), scale the larger of |distance|\n"
    "and |normal| |point|.";
inline constexpr fixed_string in_same_plane =
    "in_same_plane(circle1, circle2, rel_tol=1e-09, abs_tol=0.0)\n--\n\n"
    "Circle.in_same_plane with a tolerance: True when that is, or when the normals agree (or are\n"
    "opposite) per component within the tolerance and the planes' offsets agree within\n"
    "max(rel_tol * scale, abs_tol), scale the larger |normal| |center|.";
inline constexpr fixed_string circle_point =
    "circle_point(circle, point, inner, rel_tol=1e-09, abs_tol=0.0)\n--\n\n"
    "geometry.circle_point with a tolerance: True when that is, or when the point is in the\n"
    "circle's plane and on its rim within the tolerance (or inside it, with inner).";
inline constexpr fixed_string circle_circle =
    "circle_circle(circle1, circle2, rel_tol=1e-09, abs_tol=0.0)\n--\n\n"
    "geometry.circle_circle with a tolerance: where that returns points, the same points (same\n"
    "bits); where it finds the circles out of plane only by its fixed 2**-52, the coplanarity is\n"
    "tested again within the tolerance and the points computed by the same formulas. Raises\n"
    "ValueError with the same messages.";
inline constexpr fixed_string plane_line =
    "plane_line(plane, a, b, rel_tol=1e-09, abs_tol=0.0)\n--\n\n"
    "geometry.plane_line, the same point where that is finite. Where the line is parallel to the\n"
    "plane (that gives infinite or NaN components), ValueError says whether the line lies in the\n"
    "plane (within the tolerance) or misses it, or that a == b.";
inline constexpr fixed_string rotate_each =
    "rotate_each(vectors, rotations)\n--\n\n"
    "A new VecList whose i-th element is rotations[i].rotate(vectors[i]), the same bits, computed\n"
    "on the worker pool. rotations: a sequence of Quat, or (n, 4) rows (an array or nested\n"
    "sequences) of the stored components (w, i, j, k) as Quat(w, i, j, k) takes them; n must\n"
    "match len(vectors).\n"
    "scipy: R.apply(points) with R holding n rotations.";

}  // namespace ostrilo::ext::doc
