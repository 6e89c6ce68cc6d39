#pragma once
// The prose of ostrilo_ext's docstrings, written by hand until the build makes this header from
// docs/api/ostrilo_ext.toml.
#include "frame/prose.hpp"

namespace ostrilo::ext {

// clang-format off
inline constexpr ProseEntry kProse[] = {
    {"ostrilo_ext", R"prose(Rotations, accurate angles, tolerant geometry, batch rotation and an exact spatial index,
working on ostrilo_py's own classes.)prose"},
    {"compose", R"prose(The rotation that applies `first`, then `second`:
compose(a, b).rotate(v) equals b.rotate(a.rotate(v)) to rounding.
In the stored convention that is the Hamilton product a * b.
scipy: Rb * Ra.  PyGLM: qb * qa.)prose"},
    {"hamilton_product", R"prose(The Hamilton product a * b of the stored components (w, i, j, k), for algebra.
As a rotation it is compose(a, b): a first, then b.)prose"},
    {"inverse", R"prose(conj(q) / |q|**2, the rotation that undoes q (the conjugate for a unit quaternion).
Raises ValueError for the zero quaternion.
scipy: R.inv().  PyGLM: glm.inverse(q).)prose"},
    {"slerp", R"prose(Spherical linear interpolation from a (t = 0) to b (t = 1) along the shorter arc.
t is a number (the result is a Quat) or a sequence of numbers (a list of Quat).
Exactly a at t = 0 and b at t = 1; in between a unit quaternion, which may be the
negative of the one on the other arc (the same rotation). Accurate when a and b almost agree.
ValueError for a quaternion of zero or non-finite length.
scipy: Slerp([0, 1], R.concatenate([Ra, Rb]))(t).  PyGLM: glm.slerp(qa, qb, t).)prose"},
    {"from_matrix", R"prose(The unit quaternion (w >= 0) whose rotate applies the rotation matrix m: q.rotate(v) == m @ v.
m is 3 rows of 3 numbers (nested sequences or a (3, 3) array). It must be a proper rotation:
m @ m.T within 1e-06 of the identity (per entry) and determinant +1, else ValueError.
Note that Quat.to_rotation_matrix() gives the transpose of m.
scipy: R.from_matrix(m).  PyGLM: glm.quat_cast(glm.mat3(...)).)prose"},
    {"from_two_vectors", R"prose(The shortest rotation that turns the direction of a into that of b. For opposite
vectors: half a turn about an axis perpendicular to a. ValueError for a zero vector.
scipy: R.align_vectors([b], [a]).  PyGLM: glm.quat(glm.normalize(a), glm.normalize(b)).)prose"},
    {"from_euler", R"prose(The rotation of three turns about coordinate axes, with scipy's meaning of seq:
three of 'xyz' turn about the fixed axes in that order (extrinsic), three of 'XYZ' about
the body's axes as they move (intrinsic); no axis twice in a row. angles: three numbers,
radians unless degrees is true.
scipy: R.from_euler(seq, angles, degrees).)prose"},
    {"to_euler", R"prose(The three angles of seq (as in from_euler) that give the rotation q, as a tuple: the first
and third in [-pi, pi], the second in [0, pi] (sequences like 'zxz') or [-pi/2, pi/2]
('xyz'). In gimbal lock (the second angle within 1e-7 of its ends) the third is set to 0
and a UserWarning is issued, as scipy does.
scipy: R.as_euler(seq, degrees).)prose"},
    {"to_xyzw", R"prose(The common quaternion (the conjugate of the stored one) in scipy's order (x, y, z, w):
a tuple for a Quat, an (n, 4) NumPy array for a sequence of Quat.
scipy: R.from_quat(to_xyzw(q)) is the same rotation as q.)prose"},
    {"from_xyzw", R"prose(The Quat of a common quaternion in scipy's order (x, y, z, w): 4 numbers give a Quat,
(n, 4) rows (an array or nested sequences) a list of Quat. Not normalised.
scipy: from_xyzw(R.as_quat()).)prose"},
    {"to_wxyz", R"prose(The common quaternion in scalar-first order (w, x, y, z), as glm.quat(w, x, y, z) and
R.from_quat(..., scalar_first=True) take it: a tuple for a Quat, an (n, 4) NumPy array for
a sequence of Quat.)prose"},
    {"from_wxyz", R"prose(The Quat of a common quaternion in scalar-first order (w, x, y, z): 4 numbers give a Quat,
(n, 4) rows a list of Quat. Not normalised.)prose"},
    {"axis_angle", R"prose(The unit axis and the angle in [0, pi] of the rotation q, such that
Quat.from_axis_angle(axis, angle) is q or -q (the same rotation). The angle is
2 atan2(|(i, j, k)|, |w|): accurate at every angle, 1e-12 rad included. The identity gives
the x axis and 0. (Quat.to_axis_angle reads the opposite convention through acos.)
ValueError for the zero quaternion.
scipy: R.as_rotvec() is axis * angle.  PyGLM: glm.axis(q), glm.angle(q).)prose"},
    {"angle_between", R"prose(The angle between two vectors, atan2(|a x b|, a . b), in [0, pi]: exactly 0 for parallel
and pi for opposite vectors, accurate at every angle. ValueError for a zero vector.
PyGLM: glm.angle(glm.normalize(a), glm.normalize(b)).)prose"},
    {"contains_point", R"prose(Plane.contains_point with a tolerance: True when Plane.contains_point is, or when
|distance + normal . point| <= max(rel_tol * scale, abs_tol), scale the larger of |distance|
and |normal| |point|.)prose"},
    {"in_same_plane", R"prose(Circle.in_same_plane with a tolerance: True when that is, or when the normals agree (or are
opposite) per component within the tolerance and the planes' offsets agree within
max(rel_tol * scale, abs_tol), scale the larger |normal| |center|.)prose"},
    {"circle_point", R"prose(geometry.circle_point with a tolerance: True when that is, or when the point is in the
circle's plane and on its rim within the tolerance (or inside it, with inner).)prose"},
    {"circle_circle", R"prose(geometry.circle_circle with a tolerance: where that returns points, the same points (same
bits); where it finds the circles out of plane only by its fixed 2**-52, the coplanarity is
tested again within the tolerance and the points computed by the same formulas. Raises
ValueError with the same messages.)prose"},
    {"plane_line", R"prose(geometry.plane_line, the same point where that is finite. Where the line is parallel to the
plane (that gives infinite or NaN components), ValueError says whether the line lies in the
plane (within the tolerance) or misses it, or that a == b.)prose"},
    {"rotate_each", R"prose(A new VecList whose i-th element is rotations[i].rotate(vectors[i]), the same bits, computed
on the worker pool. rotations: a sequence of Quat, or (n, 4) rows (an array or nested
sequences) of the stored components (w, i, j, k) as Quat(w, i, j, k) takes them; n must
match len(vectors).
scipy: R.apply(points) with R holding n rotations.)prose"},
    {"SpatialIndex", R"prose(An exact spatial index over a snapshot of points: the k nearest, the points within a
radius, their number. Every answer is that of a scan of every point with Vec3d's distance
(the same bits), ties to the lowest index; a NaN distance comes after every number, and a point
is within r when its distance is <= r. Built and queried on the worker pool; the results do
not depend on the thread count. Immutable: any number of threads may query it at once, and
long queries run without the interpreter lock. Pickles as its points (protocol 5 sends them
out of band) and is built again where it is loaded. scipy: cKDTree.)prose"},
    {"SpatialIndex.__new__", R"prose(Copies the points (a VecList, an (n, 3) float64 or float32 array, or rows of three
numbers): later changes to them do not reach the index.)prose"},
    {"SpatialIndex.points", R"prose(A new VecList of the points, in their order.)prose"},
    {"SpatialIndex.nbytes", R"prose(The memory the index holds, in bytes (about 34 a point).)prose"},
    {"SpatialIndex.query", R"prose(The k nearest points of each query, nearest first, ties to the lowest index.

One query (a Vec3d or three numbers): (index, distance) for k = 1, else (indices, distances)
lists. Many (a VecList or an (m, 3) array): (indices, distances) NumPy arrays of shape (m, k),
intp and float64. Where fewer than k points exist the rest is padded with index len(self) and
distance inf. NaN distances come after every number.)prose"},
    {"SpatialIndex.query_radius", R"prose(The indices of the points at distance <= r of each query, sorted by distance, then
index: a list for one query, a list of lists for many.)prose"},
    {"SpatialIndex.count_radius", R"prose(How many points lie at distance <= r of each query: an int for one query, an intp
NumPy array for many.)prose"},
};
// clang-format on
}  // namespace ostrilo::ext
