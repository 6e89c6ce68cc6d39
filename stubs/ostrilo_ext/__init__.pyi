"""ostrilo_ext: rotations, accurate angles, tolerant geometry and batch rotation, working on
ostrilo_py's own classes (a ``Quat`` from here is an ``ostrilo_py.Quat``).

Rotations use the stored convention of ``Quat``: ``q.rotate(v)`` is the vector part of
``conj(q) * v * q``, so a ``Quat`` holds the conjugate of the quaternion that scipy's ``Rotation``
and PyGLM use for the same rotation. ``to_xyzw`` / ``from_xyzw`` and ``to_wxyz`` / ``from_wxyz``
convert. Every result is the same bits on every platform.
"""

import builtins
import collections.abc
import typing

import numpy
import numpy.typing

from ostrilo_py import AngleRadians, Quat, Vec3d, VecList
from ostrilo_py.geometry import Circle, Plane

__all__ = ["compose", "hamilton_product", "inverse", "slerp", "from_matrix", "from_two_vectors", "from_euler",
           "to_euler", "to_xyzw", "from_xyzw", "to_wxyz", "from_wxyz", "axis_angle", "angle_between",
           "contains_point", "in_same_plane", "circle_point", "circle_circle", "plane_line", "rotate_each",
           "SpatialIndex"]

_Rows: typing.TypeAlias = collections.abc.Sequence[collections.abc.Sequence[builtins.float]] | numpy.typing.NDArray[numpy.floating[typing.Any]]

def compose(first: Quat, second: Quat) -> Quat:
    """The rotation that applies `first`, then `second`: ``compose(a, b).rotate(v)`` equals
    ``b.rotate(a.rotate(v))`` to rounding. In the stored convention that is the Hamilton product
    ``a * b``. scipy: ``Rb * Ra``. PyGLM: ``qb * qa``."""

def hamilton_product(a: Quat, b: Quat) -> Quat:
    """The Hamilton product ``a * b`` of the stored components (w, i, j, k), for algebra. As a
    rotation it is ``compose(a, b)``: a first, then b."""

def inverse(q: Quat) -> Quat:
    """``conj(q) / |q|**2``, the rotation that undoes q (the conjugate for a unit quaternion).
    Raises ValueError for the zero quaternion. scipy: ``R.inv()``. PyGLM: ``glm.inverse(q)``."""

@typing.overload
def slerp(a: Quat, b: Quat, t: builtins.float) -> Quat: ...
@typing.overload
def slerp(a: Quat, b: Quat, t: collections.abc.Sequence[builtins.float]) -> builtins.list[Quat]:
    """Spherical linear interpolation from a (t = 0) to b (t = 1) along the shorter arc; t a number (a
    Quat; NumPy's scalars and 0-d arrays are numbers) or a sequence of numbers (a list of Quat).
    Exactly a at t = 0 and b at t = 1; in between a unit quaternion, which may be the negative of
    the one on the other arc (the same rotation). Accurate when a and b almost agree. ValueError for
    a quaternion of zero or non-finite length. scipy: ``Slerp([0, 1], R.concatenate([Ra, Rb]))(t)``.
    PyGLM: ``glm.slerp(qa, qb, t)``."""

def from_matrix(m: _Rows) -> Quat:
    """The unit quaternion (w >= 0) whose rotate applies the rotation matrix m: ``q.rotate(v) ==
    m @ v``. m is 3 rows of 3 numbers (nested sequences or a (3, 3) array). It must be a proper
    rotation: ``m @ m.T`` within 1e-06 of the identity (per entry) and determinant +1, else
    ValueError. ``Quat.to_rotation_matrix()`` gives the transpose of m. scipy:
    ``R.from_matrix(m)``. PyGLM: ``glm.quat_cast(glm.mat3(...))``."""

def from_two_vectors(a: Vec3d, b: Vec3d) -> Quat:
    """The shortest rotation that turns the direction of a into that of b. For opposite vectors:
    half a turn about an axis perpendicular to a. ValueError for a zero vector."""

def from_euler(seq: builtins.str, angles: collections.abc.Sequence[builtins.float], degrees: builtins.bool = False) -> Quat:
    """The rotation of three turns about coordinate axes, with scipy's meaning of seq: three of
    'xyz' turn about the fixed axes in that order (extrinsic), three of 'XYZ' about the body's axes
    as they move (intrinsic); no axis twice in a row. Radians unless degrees is true. scipy:
    ``R.from_euler(seq, angles, degrees)``."""

def to_euler(q: Quat, seq: builtins.str, degrees: builtins.bool = False) -> builtins.tuple[builtins.float, builtins.float, builtins.float]:
    """The three angles of seq (as in from_euler) that give the rotation q: the first and third in
    [-pi, pi], the second in [0, pi] ('zxz' and the like) or [-pi/2, pi/2] ('xyz' and the like).
    In gimbal lock (the second angle within 1e-7 of its ends) the third is set to 0 and a
    UserWarning is issued, as scipy does. scipy: ``R.as_euler(seq, degrees)``."""

@typing.overload
def to_xyzw(q: Quat) -> builtins.tuple[builtins.float, builtins.float, builtins.float, builtins.float]: ...
@typing.overload
def to_xyzw(q: collections.abc.Sequence[Quat]) -> numpy.typing.NDArray[numpy.float64]:
    """The common quaternion (the conjugate of the stored one) in scipy's order (x, y, z, w): a
    tuple for a Quat, an (n, 4) array for a sequence of Quat. ``R.from_quat(to_xyzw(q))`` is the
    same rotation as q."""

@typing.overload
def from_xyzw(components: collections.abc.Sequence[builtins.float]) -> Quat: ...
@typing.overload
def from_xyzw(components: _Rows) -> builtins.list[Quat]:
    """The Quat of a common quaternion in scipy's order (x, y, z, w): 4 numbers give a Quat,
    (n, 4) rows a list of Quat. Not normalised."""

@typing.overload
def to_wxyz(q: Quat) -> builtins.tuple[builtins.float, builtins.float, builtins.float, builtins.float]: ...
@typing.overload
def to_wxyz(q: collections.abc.Sequence[Quat]) -> numpy.typing.NDArray[numpy.float64]:
    """The common quaternion in scalar-first order (w, x, y, z), as ``glm.quat(w, x, y, z)`` and
    ``R.from_quat(..., scalar_first=True)`` take it: a tuple for a Quat, an (n, 4) array for a
    sequence of Quat."""

@typing.overload
def from_wxyz(components: collections.abc.Sequence[builtins.float]) -> Quat: ...
@typing.overload
def from_wxyz(components: _Rows) -> builtins.list[Quat]:
    """The Quat of a common quaternion in scalar-first order (w, x, y, z): 4 numbers give a Quat,
    (n, 4) rows a list of Quat. Not normalised."""

def axis_angle(q: Quat) -> builtins.tuple[Vec3d, AngleRadians]:
    """The unit axis and the angle in [0, pi] of the rotation q, such that
    ``Quat.from_axis_angle(axis, angle)`` is q or -q. The angle is ``2 atan2(|(i, j, k)|, |w|)``:
    accurate at every angle, 1e-12 rad included. The identity gives the x axis and 0.
    (``Quat.to_axis_angle`` reads the opposite convention through acos.) ValueError for the zero
    quaternion. scipy: ``R.as_rotvec()`` is axis * angle."""

def angle_between(a: Vec3d, b: Vec3d) -> AngleRadians:
    """The angle between two vectors, ``atan2(|a x b|, a . b)``, in [0, pi]: exactly 0 for parallel
    and pi for opposite vectors, accurate at every angle. ValueError for a zero vector."""

def contains_point(plane: Plane, point: Vec3d, rel_tol: builtins.float = 1e-09, abs_tol: builtins.float = 0.0) -> builtins.bool:
    """``Plane.contains_point`` with a tolerance: True when that is, or when ``|distance + normal .
    point| <= max(rel_tol * scale, abs_tol)``, scale the larger of ``|distance|`` and ``|normal|
    |point|``."""

def in_same_plane(circle1: Circle, circle2: Circle, rel_tol: builtins.float = 1e-09, abs_tol: builtins.float = 0.0) -> builtins.bool:
    """``Circle.in_same_plane`` with a tolerance: True when that is, or when the normals agree (or
    are opposite) per component within the tolerance and the planes' offsets agree within
    ``max(rel_tol * scale, abs_tol)``, scale the larger ``|normal| |center|``."""

def circle_point(circle: Circle, point: Vec3d, inner: builtins.bool, rel_tol: builtins.float = 1e-09, abs_tol: builtins.float = 0.0) -> builtins.bool:
    """``geometry.circle_point`` with a tolerance: True when that is, or when the point is in the
    circle's plane and on its rim within the tolerance (or inside it, with inner)."""

def circle_circle(circle1: Circle, circle2: Circle, rel_tol: builtins.float = 1e-09, abs_tol: builtins.float = 0.0) -> builtins.tuple[Vec3d, Vec3d]:
    """``geometry.circle_circle`` with a tolerance: where that returns points, the same points (the
    same bits); where it finds the circles out of plane only by its fixed 2**-52, coplanarity is
    tested again within the tolerance and the points computed by the same formulas. Raises
    ValueError with the same messages."""

def plane_line(plane: Plane, a: Vec3d, b: Vec3d, rel_tol: builtins.float = 1e-09, abs_tol: builtins.float = 0.0) -> Vec3d:
    """``geometry.plane_line``, the same point where that is finite. Where the line is parallel to
    the plane, ValueError says whether the line lies in the plane (within the tolerance) or misses
    it, or that a == b."""

def rotate_each(vectors: VecList, rotations: collections.abc.Sequence[Quat] | _Rows) -> VecList:
    """A new VecList whose i-th element is ``rotations[i].rotate(vectors[i])``, the same bits,
    computed on the worker pool. rotations: a sequence of Quat, or (n, 4) rows of the stored
    components (w, i, j, k) as ``Quat(w, i, j, k)`` takes them; n must equal ``len(vectors)``.
    scipy: ``R.apply(points)`` with R holding n rotations."""

_Point: typing.TypeAlias = Vec3d | builtins.tuple[builtins.float, builtins.float, builtins.float]
_Points: typing.TypeAlias = VecList | _Rows

@typing.final
class SpatialIndex:
    """An exact spatial index over a snapshot of points: the k nearest, the points within a
    radius, their number. Every answer is that of a scan of every point with ``Vec3d``'s distance
    (the same bits), ties to the lowest index; a NaN distance comes after every number, and a point
    is within r when its distance is <= r. Built and queried on the worker pool; the results do
    not depend on the thread count. Immutable: any number of threads may query it at once, and
    long queries run without the interpreter lock. Pickles as its points (protocol 5 sends them
    out of band) and is built again where it is loaded. scipy: ``cKDTree``."""

    def __new__(cls, points: _Points) -> SpatialIndex:
        """Copies the points (a VecList, an (n, 3) float64 or float32 array, or rows of three
        numbers): later changes to them do not reach the index."""
    def __len__(self) -> builtins.int: ...
    @property
    def points(self) -> VecList:
        """A new VecList of the points, in their order."""
    @property
    def nbytes(self) -> builtins.int:
        """The memory the index holds, in bytes (about 34 a point)."""
    @typing.overload
    def query(self, points: _Point, k: typing.Literal[1] = 1) -> builtins.tuple[builtins.int, builtins.float]: ...  # type: ignore[overload-overlap]
    @typing.overload
    def query(self, points: _Point, k: builtins.int) -> builtins.tuple[builtins.list[builtins.int], builtins.list[builtins.float]]: ...
    @typing.overload
    def query(self, points: _Points, k: builtins.int = 1) -> builtins.tuple[numpy.typing.NDArray[numpy.intp], numpy.typing.NDArray[numpy.float64]]: ...
    def query_radius(self, points: _Point | _Points, r: builtins.float) -> typing.Any:
        """The indices within distance r, sorted by distance, then index: a list for one query, a
        list of lists for many. ValueError for a negative or NaN r."""
    def count_radius(self, points: _Point | _Points, r: builtins.float) -> typing.Any:
        """How many points lie within distance r: an int for one query, an intp array for many."""
