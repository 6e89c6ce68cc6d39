"""ostrilo_ext's rotations against scipy and PyGLM as oracles, over random rotations and the
awkward ones: near the identity, near and at half a turn, and in gimbal lock."""

import math
import random
import warnings

import pytest
from conftest import bits
from ostrilo_py import AngleRadians, Quat, Vec3d

ostrilo_ext = pytest.importorskip("ostrilo_ext")
np = pytest.importorskip("numpy")

SEQUENCES = ["xyz", "xzy", "yxz", "yzx", "zxy", "zyx", "xyx", "xzx", "yxy", "yzy", "zxz", "zyz"]
SEQUENCES += [s.upper() for s in SEQUENCES]


def unit(rng):
    while True:
        v = [rng.gauss(0, 1) for _ in range(3)]
        n = math.sqrt(sum(x * x for x in v))
        if n > 1e-3:
            return Vec3d(*(x / n for x in v))


def rotations(seed, count=60):
    """Random rotations, and rotations by tiny angles and by angles at and near half a turn."""
    rng = random.Random(seed)
    out = []
    for k in range(count):
        kind = k % 4
        angle = {0: rng.uniform(0, 2 * math.pi), 1: 10 ** rng.uniform(-12, -4),
                 2: math.pi - 10 ** rng.uniform(-12, -4), 3: math.pi}[kind]
        out.append(Quat.from_axis_angle(unit(rng), AngleRadians(angle)))
    return out


def vec(v):
    return np.array([v.x, v.y, v.z])


def same_rotation(p, q, tol=1e-12):
    """p and q are the same rotation: equal or opposite components."""
    a, b = np.array([p.w, p.i, p.j, p.k]), np.array([q.w, q.i, q.j, q.k])
    return min(np.max(np.abs(a - b)), np.max(np.abs(a + b))) <= tol


def angle_diff(a, b):
    """The difference of two angles modulo 2 pi, in [0, pi]."""
    d = math.fmod(abs(a - b), 2 * math.pi)
    return min(d, 2 * math.pi - d)


# ---------------------------------------------------------------------------------------------
# scipy

@pytest.fixture(scope="module")
def R():
    return pytest.importorskip("scipy.spatial.transform").Rotation


def scipy_of(R, q):
    return R.from_quat(ostrilo_ext.to_xyzw(q))


@pytest.mark.parametrize("seed", range(2))
def test_compose_and_inverse_match_scipy(R, seed):
    qs = rotations(seed)
    rng = random.Random(seed)
    for a, b in zip(qs, qs[1:] + qs[:1]):
        v = Vec3d(rng.uniform(-5, 5), rng.uniform(-5, 5), rng.uniform(-5, 5))
        # compose(a, b) applies a first: scipy writes that Rb * Ra
        expected = (scipy_of(R, b) * scipy_of(R, a)).apply(vec(v))
        assert np.allclose(vec(ostrilo_ext.compose(a, b).rotate(v)), expected, rtol=0, atol=1e-13)
        assert np.allclose(vec(ostrilo_ext.inverse(a).rotate(v)), scipy_of(R, a).inv().apply(vec(v)), rtol=0, atol=1e-13)
        # the stored quaternion is the conjugate of scipy's: q.rotate is scipy's apply
        assert np.allclose(vec(a.rotate(v)), scipy_of(R, a).apply(vec(v)), rtol=0, atol=1e-13)


@pytest.mark.parametrize("seed", range(2))
def test_from_matrix_matches_scipy_near_half_turns(R, seed):
    for q in rotations(seed):
        m = scipy_of(R, q).as_matrix()
        got = ostrilo_ext.from_matrix(m)
        assert got.w >= 0
        assert same_rotation(got, ostrilo_ext.from_xyzw(R.from_matrix(m).as_quat()), 1e-14)
        assert same_rotation(got, q, 1e-14)
        # nested lists as well as arrays, and the transpose of to_rotation_matrix
        assert same_rotation(ostrilo_ext.from_matrix(m.tolist()), got, 0)
        assert same_rotation(ostrilo_ext.from_matrix(np.array(q.to_rotation_matrix()).T), got, 1e-15)


@pytest.mark.parametrize(
    "m, message",
    [
        (np.diag([1.0, 1.0, -1.0]), "from_matrix(): m is not a rotation matrix: its determinant is -1 (a reflection)"),
        (np.diag([1.0, 1.0, 1.001]),
         "from_matrix(): m is not a rotation matrix: m @ m.T differs from the identity by 0.002 (tolerance 1e-06)"),
        (np.zeros((3, 3)),
         "from_matrix(): m is not a rotation matrix: m @ m.T differs from the identity by 1 (tolerance 1e-06)"),
        ([[1, 0, 0], [0, 1, 0], [0, 0, float("nan")]], "from_matrix(): m has a non-finite entry"),
        ([[1, 0, 0], [0, 1, 0]], "from_matrix(): m must be a 3 x 3 matrix"),
        (np.eye(4), "from_matrix(): m must be a 3 x 3 matrix"),
        (np.eye(3)[:2], "from_matrix(): m must be a 3 x 3 matrix"),
        ([[1, 0], [0, 1], [0, 0]], "from_matrix(): m must have 3 numbers, not 2"),
    ],
)
def test_from_matrix_refuses_what_is_no_rotation(m, message):
    with pytest.raises(ValueError) as info:
        ostrilo_ext.from_matrix(m)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "m, message",
    [
        ([1, 2, 3], "from_matrix(): m must be 3 rows of 3 numbers, not 'int'"),
        (5, "from_matrix(): m must be 3 rows of 3 numbers"),
        ([[1, 0, 0], [0, 1, 0], [0, 0, "1"]], "from_matrix(): m must be numbers, not 'str'"),
    ],
)
def test_from_matrix_says_what_it_reads(m, message):
    with pytest.raises(TypeError) as info:
        ostrilo_ext.from_matrix(m)
    assert str(info.value) == message


def test_from_matrix_accepts_rounding_within_the_stated_tolerance():
    m = np.eye(3)
    m[0, 1] = 4e-7
    assert same_rotation(ostrilo_ext.from_matrix(m), Quat.identity(), 1e-6)


def euler_cases(seq):
    """Random angles, and angles in both gimbal locks of the sequence."""
    rng = random.Random(seq)
    symmetric = seq[0].lower() == seq[2].lower()
    cases = []
    for _ in range(8):
        cases.append([rng.uniform(-math.pi, math.pi), rng.uniform(0, math.pi) if symmetric
                      else rng.uniform(-math.pi / 2, math.pi / 2), rng.uniform(-math.pi, math.pi)])
    locks = [0.0, math.pi] if symmetric else [math.pi / 2, -math.pi / 2]
    for middle in locks:
        cases.append([rng.uniform(-math.pi, math.pi), middle, rng.uniform(-math.pi, math.pi)])
    return cases


@pytest.mark.parametrize("seq", SEQUENCES)
def test_euler_angles_match_scipy(R, seq):
    for angles in euler_cases(seq):
        q = ostrilo_ext.from_euler(seq, angles)
        assert same_rotation(q, ostrilo_ext.from_xyzw(R.from_euler(seq, angles).as_quat()), 1e-14)
        with warnings.catch_warnings(record=True) as ours:
            warnings.simplefilter("always")
            got = ostrilo_ext.to_euler(q, seq)
        with warnings.catch_warnings(record=True) as theirs:
            warnings.simplefilter("always")
            expected = scipy_of(R, q).as_euler(seq)
        assert bool(ours) == bool(theirs), (seq, angles)
        # the angles agree where the lock is clear-cut, and always give the same rotation back
        if not ours:
            assert all(angle_diff(g, e) < 1e-9 for g, e in zip(got, expected)), (seq, angles, got, expected)
        else:
            assert got[2] == 0.0
            assert issubclass(ours[0].category, UserWarning)
        assert same_rotation(ostrilo_ext.from_euler(seq, got), q, 1e-9)


def test_euler_in_degrees_and_bad_sequences():
    q = ostrilo_ext.from_euler("ZYX", [30, 20, 10], degrees=True)
    assert same_rotation(q, ostrilo_ext.from_euler("ZYX", [math.radians(30), math.radians(20), math.radians(10)]), 1e-15)
    got = ostrilo_ext.to_euler(q, "ZYX", degrees=True)
    assert all(abs(g - e) < 1e-12 for g, e in zip(got, (30, 20, 10)))
    for seq in ("xxy", "xyZ", "xy", "abc", "xyzx"):
        with pytest.raises(ValueError, match=r"seq must be three axes from 'xyz' \(extrinsic\) or from 'XYZ'"):
            ostrilo_ext.from_euler(seq, [0, 0, 0])
    with pytest.raises(ValueError, match=r"angles must have 3 numbers, not 2"):
        ostrilo_ext.from_euler("xyz", [0, 0])


def test_component_orders_round_trip_single_and_arrays(R):
    qs = rotations(7, 20)
    arr = ostrilo_ext.to_xyzw(qs)
    assert arr.shape == (20, 4) and arr.dtype == np.float64
    back = ostrilo_ext.from_xyzw(arr)
    assert all(same_rotation(a, b, 0) for a, b in zip(back, qs))
    v = np.array([0.3, -1.2, 2.5])
    assert np.allclose(R.from_quat(arr).apply(v), [vec(q.rotate(Vec3d(*v))) for q in qs], atol=1e-13)
    wxyz = ostrilo_ext.to_wxyz(qs)
    assert np.array_equal(wxyz, arr[:, [3, 0, 1, 2]])
    assert np.allclose(R.from_quat(wxyz, scalar_first=True).as_quat(canonical=False), R.from_quat(arr).as_quat(canonical=False))
    assert all(same_rotation(a, b, 0) for a, b in zip(ostrilo_ext.from_wxyz(wxyz.tolist()), qs))
    q = qs[0]
    assert ostrilo_ext.to_xyzw(q) == (-q.i, -q.j, -q.k, q.w)
    assert same_rotation(ostrilo_ext.from_wxyz(ostrilo_ext.to_wxyz(q)), q, 0)
    assert ostrilo_ext.to_xyzw([]).shape == (0, 4) and ostrilo_ext.from_xyzw(np.zeros((0, 4))) == []


@pytest.mark.parametrize("seed", range(2))
def test_slerp_matches_scipy_and_hits_its_ends(R, seed):
    Slerp = pytest.importorskip("scipy.spatial.transform").Slerp
    qs = rotations(seed, 40)
    ts = [0.0, 0.1, 0.5, 0.9, 1.0]
    for a, b in zip(qs, qs[1:]):
        got = ostrilo_ext.slerp(a, b, ts)
        assert got[0] is not a and same_rotation(got[0], a, 0) and (got[-1].w, got[-1].i) == (b.w, b.i)
        expected = Slerp([0, 1], R.concatenate([scipy_of(R, a), scipy_of(R, b)]))(ts)
        for g, e in zip(got, expected):
            assert same_rotation(g, ostrilo_ext.from_xyzw(e.as_quat()), 1e-12)
        assert type(ostrilo_ext.slerp(a, b, 0.25)) is Quat


def test_slerp_is_stable_for_almost_equal_rotations():
    a = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.3))
    b = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.3 + 1e-13))
    for t in (0.25, 0.5, 0.75):
        axis, angle = ostrilo_ext.axis_angle(ostrilo_ext.slerp(a, b, t))
        assert abs(angle.angle - (0.3 + t * 1e-13)) < 1e-16
    assert same_rotation(ostrilo_ext.slerp(a, a, 0.5), a, 1e-15)
    # the shorter arc: b and -b give the same rotations
    nb = Quat(-b.w, -b.i, -b.j, -b.k)
    assert same_rotation(ostrilo_ext.slerp(a, nb, 0.5), ostrilo_ext.slerp(a, b, 0.5), 1e-16)
    with pytest.raises(ValueError, match="finite, nonzero length"):
        ostrilo_ext.slerp(a, Quat(0, 0, 0, 0), 0.5)


@pytest.mark.parametrize("seed", range(2))
def test_from_two_vectors_turns_a_onto_b_the_short_way(seed):
    rng = random.Random(seed)
    cases = [(unit(rng), unit(rng)) for _ in range(100)]
    for a, _ in cases[:20]:
        cases.append((a, Vec3d(-a.x, -a.y, -a.z)))  # opposite
        cases.append((a, Vec3d(-a.x + 1e-9, -a.y, -a.z)))  # nearly opposite
        cases.append((a, Vec3d(a.x * 3, a.y * 3, a.z * 3)))  # parallel
    for a, b in cases:
        q = ostrilo_ext.from_two_vectors(a, b)
        bn = b.normalize()
        r = q.rotate(a)
        assert max(abs(r.x - bn.x), abs(r.y - bn.y), abs(r.z - bn.z)) < 1e-15
        # the shortest rotation: its angle is the angle between the vectors
        assert abs(ostrilo_ext.axis_angle(q)[1].angle - ostrilo_ext.angle_between(a, b).angle) < 1e-8
    with pytest.raises(ValueError, match="finite, nonzero length"):
        ostrilo_ext.from_two_vectors(Vec3d(0, 0, 0), Vec3d(1, 0, 0))


# ---------------------------------------------------------------------------------------------
# Full range: the functions are homogeneous in their inputs, and small integers times a power of
# two are exact down to the smallest subnormal, so each result at any pair of sizes must be the
# bits of the one at size 1 (squares of the lengths under- or overflowed from about 1e-154 and
# 1e154 on: angle_between and axis_angle gave NaN or lost digits, from_two_vectors was off by 1e-5
# or raised, to_euler and slerp raised).

SCALES = [-1071, -1040, -600, -520, 0, 520, 600, 1000, 1019]
A, B = (3, 4, 0), (-1, 2, 7)
P, Q = (3, -1, 2, 5), (1, 7, -2, 0)


def sized(components, k):
    return (Vec3d if len(components) == 3 else Quat)(*(math.ldexp(x, k) for x in components))


def flat_bits(result):
    if isinstance(result, Quat):
        return tuple(bits(x) for x in (result.w, result.i, result.j, result.k))
    if isinstance(result, Vec3d):
        return tuple(bits(x) for x in (result.x, result.y, result.z))
    if isinstance(result, AngleRadians):
        return (bits(result.angle),)
    return sum((flat_bits(x) if not isinstance(x, float) else (bits(x),) for x in result), ())


@pytest.mark.parametrize("call", [
    lambda ka, kb: ostrilo_ext.angle_between(sized(A, ka), sized(B, kb)),
    lambda ka, kb: ostrilo_ext.angle_between(sized((1, 0, 0), ka), sized((-7, 1, 0), kb)),
    lambda ka, kb: ostrilo_ext.axis_angle(sized(P, ka)),
    lambda ka, kb: ostrilo_ext.axis_angle(sized((0, 1, 2, 2), kb)),
    lambda ka, kb: ostrilo_ext.from_two_vectors(sized(A, ka), sized(B, kb)),
    lambda ka, kb: ostrilo_ext.from_two_vectors(sized(B, ka), sized((1, -2, -6), kb)),  # beyond a quarter turn
    lambda ka, kb: ostrilo_ext.to_euler(sized(P, ka), "zyx"),
    lambda ka, kb: ostrilo_ext.to_euler(sized(Q, ka), "ZXZ"),
    lambda ka, kb: ostrilo_ext.slerp(sized(P, ka), sized(Q, kb), 0.3),
], ids=["angle_between", "angle_between, obtuse", "axis_angle", "axis_angle, half a turn", "from_two_vectors",
        "from_two_vectors, obtuse", "to_euler", "to_euler, symmetric", "slerp"])
def test_results_do_not_depend_on_the_lengths(call):
    expected = flat_bits(call(0, 0))
    for ka in SCALES:
        for kb in SCALES:
            assert flat_bits(call(ka, kb)) == expected, (ka, kb)


def test_inverse_at_every_size():
    # inverse(q 2^k) is inverse(q) 2^-k exactly; Quat(1e200, 0, 0, 0) gave zero, Quat(1e-200, ...) and
    # the smallest subnormal raised "zero quaternion"
    expected = ostrilo_ext.inverse(Quat(*P))
    for k in range(-1016, 1020, 8):
        got = ostrilo_ext.inverse(sized(P, k))
        assert flat_bits(got) == flat_bits(Quat(*(math.ldexp(x, -k) for x in (expected.w, expected.i, expected.j,
                                                                             expected.k)))), k
    # an inverse beyond the largest double overflows, as 1 / 5e-324 does in IEEE arithmetic
    assert flat_bits(ostrilo_ext.inverse(Quat(5e-324, 0, 0, 0))) == flat_bits(Quat(math.inf, -0.0, -0.0, -0.0))
    assert flat_bits(ostrilo_ext.inverse(Quat(0, 1e-310, -1e-310, 0))) == flat_bits(Quat(0, -math.inf, math.inf, -0.0))
    with pytest.raises(ValueError, match="the zero quaternion has no inverse"):
        ostrilo_ext.inverse(Quat(0.0, -0.0, 0.0, 0.0))


@pytest.mark.parametrize("t", [1e-100, 1e-155, 1e-160, 1e-165, 1e-200])
def test_regression_nearly_opposite_vectors_give_a_unit_rotation(t):
    # |a x b| of nearly opposite vectors is tiny: its square underflowed, and the axis divided by
    # that length was no unit vector
    a, b = Vec3d(1, 0, 0), Vec3d(-1, t, t)
    q = ostrilo_ext.from_two_vectors(a, b)
    assert abs(math.sqrt(q.w ** 2 + q.i ** 2 + q.j ** 2 + q.k ** 2) - 1) < 3e-16
    r = q.rotate(a)
    assert max(abs(r.x + 1), abs(r.y), abs(r.z)) < 3e-16 and abs(r.y - r.z) < 3e-16


# ---------------------------------------------------------------------------------------------
# PyGLM: its quaternions are the common ones, scalar first

@pytest.fixture(scope="module")
def glm():
    return pytest.importorskip("glm")


def glm_of(glm, q):
    return glm.dquat(*ostrilo_ext.to_wxyz(q))


def test_compose_inverse_slerp_angle_match_pyglm(glm):
    qs = rotations(3, 40)
    for a, b in zip(qs, qs[1:]):
        v = Vec3d(0.5, -2.0, 1.5)
        gv = glm_of(glm, b) * glm_of(glm, a) * glm.dvec3(v.x, v.y, v.z)
        assert np.allclose(vec(ostrilo_ext.compose(a, b).rotate(v)), list(gv), atol=1e-12)
        gi = glm.inverse(glm_of(glm, a))
        assert same_rotation(ostrilo_ext.inverse(a), ostrilo_ext.from_wxyz([gi.w, gi.x, gi.y, gi.z]), 1e-14)
        pa, pb = ostrilo_ext.to_wxyz(a), ostrilo_ext.to_wxyz(b)
        if sum(x * y for x, y in zip(pa, pb)) > 0:  # glm.slerp takes the short arc only from here
            gs = glm.slerp(glm_of(glm, a), glm_of(glm, b), 0.3)
            assert same_rotation(ostrilo_ext.slerp(a, b, 0.3), ostrilo_ext.from_wxyz([gs.w, gs.x, gs.y, gs.z]), 1e-9)
        x, y = unit(random.Random(len(qs))), unit(random.Random(a.w))
        expected = glm.acos(glm.dot(glm.dvec3(x.x, x.y, x.z), glm.dvec3(y.x, y.y, y.z)))
        assert abs(ostrilo_ext.angle_between(x, y).angle - expected) < 1e-7
