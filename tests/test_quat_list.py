"""QuatList: every element of every result is the bits of the single-rotation function it batches
(hypothesis over random and edge components), the same at every thread count, and means what
scipy's Rotation means (scipy as the oracle, where it is installed)."""
import copy
import math
import pickle
import struct
import sys
import warnings

import numpy as np
import ostrilo_ext as ext
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from ostrilo_ext import QuatList
from ostrilo_py import AngleRadians, Quat, Vec3d, VecList


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def qbits(q):
    return tuple(bits(c) for c in (q.w, q.i, q.j, q.k))


def abits(a):
    """An array's doubles as their bit patterns (NaN payloads and -0.0 compare exactly)."""
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64).tolist()


CANONICAL_NAN = bits(float("nan"))


def cbits(a):
    """The bits a list gives for the single functions' results: the same, except that every NaN
    it computes is the one canonical NaN (the single functions promise no NaN's sign or payload)."""
    a = np.array(a, dtype=np.float64)
    a[np.isnan(a)] = math.nan
    return abits(a)


def qcbits(q):
    return tuple(bits(c) if c == c else CANONICAL_NAN for c in (q.w, q.i, q.j, q.k))


EDGES = [0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, -5e-324, 1e300, 2.0**-600, math.inf, -math.inf, math.nan]
component = st.one_of(st.floats(-2, 2), st.sampled_from(EDGES), st.floats(allow_nan=True, allow_infinity=True))
quat = st.builds(Quat, component, component, component, component)
unit_quat = st.tuples(*[st.floats(-1, 1)] * 4).filter(lambda c: sum(x * x for x in c) > 1e-6).map(
    lambda c: Quat(*c).normalize())
quats = st.lists(quat, min_size=0, max_size=12)


def outcome(f, *args):
    """A call's result, or the type of its exception (a list element and the single call must agree)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return f(*args)
        except (ValueError, ZeroDivisionError) as e:
            return type(e)


# ---------------------------------------------------------------------------------------------
# Making and reading one


def test_made_from_quats_lists_and_arrays_alike():
    qs = [Quat(1, 2, 3, 4), Quat(-0.0, math.nan, 5e-324, -1e300)]
    a = QuatList(qs)
    rows = np.asarray(a)
    assert rows.shape == (2, 4) and not rows.flags.writeable
    assert [qbits(q) for q in a] == [qbits(q) for q in qs]
    for other in (QuatList(a), QuatList(rows), QuatList(rows.tolist()), QuatList(rows[:1].astype(np.float32)),
                  QuatList(tuple(qs))):
        assert [qbits(q) for q in other] == [qbits(q) for q in qs][: len(other)]
    assert len(QuatList([])) == 0 and np.asarray(QuatList([])).shape == (0, 4)


def test_the_array_view_shares_the_list_storage_and_outlives_it():
    ql = QuatList.random(5, 1)
    view = np.asarray(ql)
    assert np.shares_memory(view, np.asarray(ql))
    expected = [[q.w, q.i, q.j, q.k] for q in ql]
    del ql
    assert view.tolist() == expected
    with pytest.raises((ValueError, BufferError)):
        view[0, 0] = 2.0


@pytest.mark.parametrize("key", [0, 3, -1, -7, slice(None), slice(1, 5), slice(None, None, -2), slice(6, 1, -3),
                                 slice(100, 200), np.int64(2)])
def test_indexing_and_slicing_follow_list_rules(key):
    qs = [Quat(float(k), 0, 0, 1) for k in range(7)]
    got, want = QuatList(qs)[key], qs[key]
    if isinstance(key, slice):
        assert type(got) is QuatList and [qbits(q) for q in got] == [qbits(q) for q in want]
    else:
        assert qbits(got) == qbits(want)


@pytest.mark.parametrize("key, error", [(7, IndexError), (-8, IndexError), (2**80, IndexError), ("1", TypeError),
                                        (1.0, TypeError)])
def test_bad_indices_raise(key, error):
    with pytest.raises(error):
        QuatList([Quat(1, 0, 0, 0)] * 7)[key]


@pytest.mark.parametrize("bad, error", [
    ([Quat(1, 0, 0, 0), Vec3d(1, 2, 3)], TypeError),
    ([[1, 2, 3]], ValueError),
    (np.zeros((2, 3)), ValueError),
    (np.zeros((2, 4), dtype=np.int64), TypeError),
    ("abcd", TypeError),
    (5, TypeError),
])
def test_construction_refuses_what_is_no_rotation(bad, error):
    with pytest.raises(error):
        QuatList(bad)


def test_a_sequence_that_changes_while_it_converts_is_refused():
    rows = [[1.0, 0.0, 0.0, 0.0] for _ in range(4)]

    class Shrinking:
        def __float__(self):
            rows.clear()
            return 0.5

    rows[0] = [1.0, Shrinking(), 0.0, 0.0]
    with pytest.raises(ValueError):
        QuatList(rows)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_keeps_every_bit(protocol):
    ql = QuatList([Quat(-0.0, math.nan, 5e-324, -math.inf), Quat(1, 2, 3, 4)])
    back = pickle.loads(pickle.dumps(ql, protocol=protocol))
    assert type(back) is QuatList
    assert abits(back) == abits(ql) or protocol == 0 and np.isnan(np.asarray(back)[0, 1])
    for twin in (copy.copy(ql), copy.deepcopy(ql)):
        assert abits(twin) == abits(ql) and twin is not ql


def test_protocol_5_sends_the_components_out_of_band():
    ql = QuatList.random(1000, 3)
    buffers = []
    data = pickle.dumps(ql, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(data) < 500
    assert abits(pickle.loads(data, buffers=buffers)) == abits(ql)


def test_repr_shows_the_elements():
    assert repr(QuatList([Quat(1, 0, 0, 0)])) == "QuatList([Quat(1, 0, 0, 0)])"
    assert repr(QuatList.identity(20)).endswith("(20 rotations)")


# ---------------------------------------------------------------------------------------------
# Each element is the single call's bits


@settings(max_examples=150, deadline=None)
@given(quats, st.sampled_from(["xyz", "ZXZ", "yxy", "XZY", "zyx"]), st.booleans())
def test_elements_are_the_bits_of_the_single_functions(qs, seq, degrees):
    ql = QuatList(qs)
    singles = {
        "to_wxyz": (lambda: ql.to_wxyz(), lambda q: ext.to_wxyz(q)),
        "to_xyzw": (lambda: ql.to_xyzw(), lambda q: ext.to_xyzw(q)),
        "to_matrix": (lambda: ql.to_matrix(), lambda q: np.array(q.to_rotation_matrix()).T),
        "normalize": (lambda: np.asarray(ql.normalize()), lambda q: np.array(q.normalize())),
    }
    for name, (many, one) in singles.items():
        assert abits(many()) == cbits(np.array([one(q) for q in qs]).reshape(np.shape(many()))), name
    # The ones that fail for some elements: the list fails exactly when a single call does.
    failing = {
        "inverse": (lambda: np.asarray(ql.inverse()), lambda q: np.array(ext.inverse(q))),
        "to_euler": (lambda: ql.to_euler(seq, degrees), lambda q: np.array(ext.to_euler(q, seq, degrees))),
        "magnitude": (lambda: ql.magnitude(), lambda q: ext.axis_angle(q)[1].angle),
        "to_rotvec": (lambda: ql.to_rotvec(),
                      lambda q: np.array([c * ext.axis_angle(q)[1].angle for c in ext.axis_angle(q)[0]])),
    }
    for name, (many, one) in failing.items():
        singles_out = [outcome(one, q) for q in qs]
        got = outcome(many)
        if any(o is ValueError for o in singles_out):
            assert got is ValueError, name
        else:
            assert abits(got) == cbits(np.array(singles_out).reshape(np.shape(got))), name


@pytest.mark.parametrize("seq", ["xyz", "ZYZ"])
def test_arctangents_are_the_single_calls_past_the_chunks_of_a_block(seq):
    # The list takes the arctangents of 64 rotations at a time, eight at once: 150 rotations end
    # mid-chunk and mid-group; a zero quaternion in the third chunk is found there.
    ql = QuatList.random(150, 11)
    assert abits(ql.to_euler(seq)) == cbits([ext.to_euler(q, seq) for q in ql])
    assert abits(ql.magnitude()) == cbits([ext.axis_angle(q)[1].angle for q in ql])
    with_zero = QuatList(list(ql[:140]) + [Quat(0, 0, 0, 0)] + list(ql[140:]))
    for f in (lambda: with_zero.magnitude(), lambda: with_zero.to_euler(seq)):
        with pytest.raises(ValueError, match="element 140 "):
            f()


@settings(max_examples=100, deadline=None)
@given(quats, quat)
def test_compose_and_apply_are_the_single_calls_element_by_element(qs, one):
    ql = QuatList(qs)
    other = QuatList(list(reversed(qs)))
    for got, want in [(QuatList.compose(ql, other), [ext.compose(a, b) for a, b in zip(qs, reversed(qs))]),
                      (QuatList.compose(ql, one), [ext.compose(a, one) for a in qs]),
                      (QuatList.compose(one, ql), [ext.compose(one, a) for a in qs])]:
        assert [qbits(q) for q in got] == [qcbits(q) for q in want]
    vs = VecList([Vec3d(c.w, c.j, -c.k) for c in qs])
    assert abits(ql.apply(vs).to_array()) == cbits([q.rotate(v).to_array() for q, v in zip(qs, vs)] or
                                                   np.zeros((0, 3)))
    v = Vec3d(0.25, -3, 1e-310)
    assert abits(ql.apply(v).to_array()) == cbits([q.rotate(v).to_array() for q in qs] or np.zeros((0, 3)))


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(*[st.one_of(st.floats(-10, 10), st.sampled_from(EDGES))] * 3), max_size=70),
       st.sampled_from(["xyz", "XYZ", "zxz", "YZY"]), st.booleans(), st.booleans())
def test_from_euler_and_from_axis_angle_are_the_single_calls(rows, seq, degrees, strided):
    array = np.array(rows).reshape(-1, 3)
    got = QuatList.from_euler(seq, np.asfortranarray(array) if strided else array, degrees)
    assert [qbits(q) for q in got] == [qcbits(ext.from_euler(seq, r, degrees)) for r in rows]
    axes = [Vec3d(*r).normalize() if any(r) else Vec3d(1, 0, 0) for r in rows]
    angles = [r[0] for r in rows]
    got = QuatList.from_axis_angle([a.to_array() for a in axes] or np.zeros((0, 3)), angles)
    assert [qbits(q) for q in got] == [qcbits(Quat.from_axis_angle(a, AngleRadians(t))) for a, t in zip(axes, angles)]


def _mix64(z):
    m = (1 << 64) - 1
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & m
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & m
    return z ^ (z >> 31)


@pytest.mark.parametrize("n, seed", [(1, 0), (7, 42), (2051, 3)])
def test_random_is_its_generator_through_the_single_sine_and_cosine(n, seed):
    # Shoemake's map of the counter-based generator's numbers, written out here with the sine and
    # cosine of one angle at a time: the list's (several at once) must give the same bits.
    key = _mix64(seed ^ 0x6F737472696C6F)
    want = []
    for i in range(n):
        u1, u2, u3 = (math.ldexp(_mix64((key + (3 * i + j + 1) * 0x9E3779B97F4A7C15) & ((1 << 64) - 1)) >> 11, -53)
                      for j in range(3))
        r1, r2 = math.sqrt(1.0 - u1), math.sqrt(u1)
        a2, a3 = AngleRadians((2.0 * math.pi) * u2), AngleRadians((2.0 * math.pi) * u3)
        want.append(qbits(Quat(r2 * a3.cos(), -(r1 * a2.sin()), -(r1 * a2.cos()), -(r2 * a3.sin()))))
    assert [qbits(q) for q in QuatList.random(n, seed)] == want


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(*[st.one_of(st.floats(-10, 10), st.sampled_from(EDGES[:-3]), st.floats(-1e300, 1e300))] * 3),
                max_size=150), st.booleans(), st.booleans())
def test_from_rotvec_is_from_axis_angle_of_its_direction_and_length(rows, degrees, strided):
    want = []
    for r in rows:
        x, y, z = ((c * math.pi) / 180.0 for c in r) if degrees else r
        m = max(abs(x), abs(y), abs(z))
        if m == 0.0:
            want.append(qbits(Quat(1, 0, 0, 0)))
            continue
        sx, sy, sz = x / m, y / m, z / m
        angle = m * math.sqrt((sx * sx + sy * sy) + sz * sz)
        want.append(qcbits(Quat.from_axis_angle(Vec3d(x / angle, y / angle, z / angle), AngleRadians(angle))))
    array = np.array(rows).reshape(-1, 3)
    got = QuatList.from_rotvec(np.asfortranarray(array) if strided else array, degrees)
    assert [qbits(q) for q in got] == want


@pytest.mark.parametrize("row", [[math.nan, 0.0, 0.0], [0.0, -0.0, math.nan], [math.nan, 2.0, 0.0],
                                 [math.nan, math.nan, math.nan]])
def test_a_nan_rotation_vector_is_no_rotation(row):
    # The largest magnitude once passed over the NaN: beside zeros it gave the identity.
    rows = [[0.1, 0.2, 0.3]] * 5 + [row] + [[0.0, 0.0, 0.0]]
    got = QuatList.from_rotvec(rows)
    assert all(math.isnan(c) for c in (got[5].w, got[5].i, got[5].j, got[5].k))
    assert qbits(got[6]) == qbits(Quat(1, 0, 0, 0)) and qbits(got[0]) == qbits(got[4])


@settings(max_examples=100, deadline=None)
@given(st.lists(unit_quat, min_size=1, max_size=8), st.floats(0, 1e-7))
def test_from_matrix_is_the_single_call_within_its_slack(qs, wobble):
    ms = np.array([np.array(q.to_rotation_matrix()).T for q in qs])
    ms[:, 0, 0] += wobble
    assert [qbits(q) for q in QuatList.from_matrix(ms)] == [qbits(ext.from_matrix(m)) for m in ms]
    assert [qbits(q) for q in QuatList.from_matrix(ms.tolist())] == [qbits(ext.from_matrix(m)) for m in ms]


@pytest.mark.parametrize("components, order", [(np.array([[1.0, -0.0, 2, math.nan]]), "wxyz"),
                                               (np.array([[5e-324, 0.5, -3, 1]]), "xyzw")])
def test_the_hand_off_orders_are_the_single_calls(components, order):
    many = getattr(QuatList, "from_" + order)(components)
    one = getattr(ext, "from_" + order)(components[0].tolist())
    assert qbits(many[0]) == qcbits(one)
    assert abits(getattr(many, "to_" + order)()[0]) == cbits(getattr(ext, "to_" + order)(one))


# ---------------------------------------------------------------------------------------------
# Errors name the first element that has no answer


@pytest.mark.parametrize("call, message", [
    (lambda ql: ql.inverse(), "element 2 is the zero quaternion"),
    (lambda ql: ql.magnitude(), "element 2 is the zero quaternion"),
    (lambda ql: ql.to_euler("xyz"), "element 2 has a zero"),
])
def test_the_first_failing_element_is_named(call, message):
    ql = QuatList([Quat(1, 0, 0, 0)] * 2 + [Quat(0, 0, 0, 0)] * 3 + [Quat(1, 0, 0, 0)] * 5000)
    with pytest.raises(ValueError, match=message):
        call(ql)


def test_from_matrix_names_the_first_matrix_that_is_no_rotation():
    ms = np.tile(np.eye(3), (6000, 1, 1))
    ms[4000] = np.diag([1.0, 1.0, -1.0])
    ms[5000, 0, 1] = math.nan
    with pytest.raises(ValueError, match="matrix 4000 .*reflection"):
        QuatList.from_matrix(ms)


@pytest.mark.parametrize("call", [
    lambda: QuatList.compose(QuatList.identity(2), QuatList.identity(3)),
    lambda: QuatList.identity(2).apply(VecList([Vec3d(1, 0, 0)] * 3)),
    lambda: QuatList.identity(2).approx_equal(QuatList.identity(3)),
    lambda: QuatList.from_axis_angle([[1, 0, 0]] * 2, [1.0] * 3),
    lambda: QuatList.identity(2).mean([1.0]),
    lambda: QuatList.identity(2).mean([1.0, -1.0]),
    lambda: QuatList.identity(0).mean(),
])
def test_lengths_and_weights_that_do_not_fit_raise(call):
    with pytest.raises(ValueError):
        call()


@pytest.mark.parametrize("make", [QuatList.identity, lambda n: QuatList.random(n, 2)])
def test_a_length_no_memory_holds_is_a_memory_error(make):
    """The fuzzer's find: a length past what a vector can hold was an internal failure. The
    largest index of the platform (2**31 - 1 on 32-bit ARM) is a length, not an overflow."""
    with pytest.raises(MemoryError):
        make(sys.maxsize)


# ---------------------------------------------------------------------------------------------
# Thread counts and seeds


def test_results_are_the_same_bits_at_every_thread_count_and_width(run_python):
    code = """
import hashlib, numpy as np, warnings
from ostrilo_ext import QuatList
from ostrilo_py import VecList
warnings.simplefilter("ignore")
r = QuatList.random(30000, 7)
h = hashlib.sha256()
for a in (np.asarray(r), r.to_euler("zyx"), r.to_matrix(), r.to_rotvec(), r.magnitude(),
          np.asarray(QuatList.compose(r, r[::-1])), np.asarray(r.inverse()),
          np.asarray(QuatList.from_matrix(r.to_matrix())), np.asarray(r.mean()), r.approx_equal(r[::-1], 3.0),
          np.asarray(r.apply(VecList(r.to_rotvec()))), np.asarray(QuatList.from_rotvec(r.to_rotvec()))):
    h.update(np.ascontiguousarray(a).tobytes())
print(h.hexdigest())
"""
    # With each vector width of the trigonometric lanes too (OSTRILO_SIMD caps it).
    outs = {run_python(code, env={"RAYON_NUM_THREADS": t, "OSTRILO_SIMD": simd}).stdout
            for t, simd in (("1", "baseline"), ("2", "avx512"), ("5", "baseline"), ("1", "avx2"))}
    assert len(outs) == 1 and len(outs.pop()) == 65


def test_random_is_uniform_over_rotations_and_fixed_by_its_seed():
    a, b = QuatList.random(200000, 42), QuatList.random(200000, 42)
    assert abits(a) == abits(b) and abits(QuatList.random(3, 43)) != abits(a[:3])
    assert abits(QuatList.random(10, 42)) == abits(a[:10])  # element i depends on the seed and i only
    c = np.asarray(a)
    assert np.allclose(np.linalg.norm(c, axis=1), 1.0, atol=4e-16)
    # Uniform over rotations: the angle has the density (1 - cos t) / pi on [0, pi], so E[cos t]
    # is -1/2, and each component of the quaternion averages 0 with a mean square of 1/4.
    assert abs(np.cos(a.magnitude()).mean() + 0.5) < 0.01
    assert np.all(np.abs(c.mean(axis=0)) < 0.005) and np.allclose((c * c).mean(axis=0), 0.25, atol=0.005)


# ---------------------------------------------------------------------------------------------
# Meaning: scipy as the oracle

@pytest.fixture(scope="module")
def R():
    return pytest.importorskip("scipy.spatial.transform").Rotation


@pytest.mark.parametrize("seq", ["xyz", "ZYX", "zxz", "XYX", "yzx"])
def test_euler_matrices_rotvecs_and_angles_mean_what_scipy_means(R, seq):
    ql = QuatList.random(500, 11)
    r = R.from_quat(ql.to_xyzw())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        angles = ql.to_euler(seq, True)
        assert np.allclose(R.from_euler(seq, angles, degrees=True).as_matrix(), r.as_matrix(), atol=1e-12)
    assert np.allclose(QuatList.from_euler(seq, angles, True).to_matrix(), r.as_matrix(), atol=1e-12)
    assert np.allclose(ql.to_matrix(), r.as_matrix(), atol=1e-15)
    assert np.allclose(ql.to_rotvec(), r.as_rotvec(), atol=1e-13)
    assert np.allclose(QuatList.from_rotvec(r.as_rotvec()).to_matrix(), r.as_matrix(), atol=1e-13)
    assert np.allclose(QuatList.from_rotvec(r.as_rotvec(degrees=True), True).to_matrix(), r.as_matrix(),
                       atol=1e-13)
    assert np.allclose(ql.magnitude(), r.magnitude(), atol=1e-14)
    assert np.allclose(QuatList.from_matrix(r.as_matrix()).to_matrix(), r.as_matrix(), atol=1e-15)


def test_composition_inversion_and_application_mean_what_scipy_means(R):
    a, b = QuatList.random(300, 1), QuatList.random(300, 2)
    ra, rb = R.from_quat(a.to_xyzw()), R.from_quat(b.to_xyzw())
    assert np.allclose(QuatList.compose(a, b).to_matrix(), (rb * ra).as_matrix(), atol=1e-15)
    assert np.allclose(a.inverse().to_matrix(), ra.inv().as_matrix(), atol=1e-15)
    points = np.random.default_rng(0).normal(size=(300, 3))
    assert np.allclose(np.asarray(a.apply(VecList(points))), ra.apply(points), atol=1e-14)
    assert a.approx_equal(QuatList.from_xyzw(-a.to_xyzw())).all()  # q and -q: the same rotation
    assert (a.approx_equal(b, 1e-3) == ra.approx_equal(rb, 1e-3)).all()


@pytest.mark.parametrize("weighted", [False, True])
def test_mean_is_scipys_mean(R, weighted):
    base = QuatList.random(1, 5)
    noise = QuatList.from_rotvec(np.random.default_rng(1).normal(scale=0.3, size=(2000, 3)))
    ql = QuatList.compose(noise, base[0])
    flipped = QuatList.from_wxyz(ql.to_wxyz() * np.where(np.arange(2000) % 3 == 0, -1, 1)[:, None])
    w = np.random.default_rng(2).uniform(0, 2, 2000) if weighted else None
    ours = flipped.mean(w)
    theirs = R.from_quat(ql.to_xyzw()).mean(w)
    assert R.from_quat(ext.to_xyzw(ours)).approx_equal(theirs, 1e-12)
    assert abs(ours.magnitude() - 1) < 1e-15 and ours.w >= 0


def test_align_vectors_is_scipys_and_one_pair_is_exact(R):
    rng = np.random.default_rng(3)
    b = rng.normal(size=(50, 3))
    true = QuatList.random(1, 9)
    a = np.asarray(true.apply(VecList(b))) + rng.normal(scale=1e-3, size=(50, 3))
    w = rng.uniform(0.5, 2, 50)
    q, rssd = ext.align_vectors(a, b, w)
    theirs, their_rssd = R.align_vectors(a, b, w)
    assert R.from_quat(ext.to_xyzw(q)).approx_equal(theirs, 1e-10)
    assert math.isclose(rssd, their_rssd, rel_tol=1e-9)
    for form in (VecList, np.ndarray.tolist, np.asfortranarray):  # each read its own way: the same bits
        q2, rssd2 = ext.align_vectors(form(a), form(b), w)
        assert qbits(q2) == qbits(q) and bits(rssd2) == bits(rssd)
    q1, d1 = ext.align_vectors(VecList([Vec3d(0, 0, 2)]), VecList([Vec3d(3, 0, 0)]))
    assert qbits(q1) == qbits(ext.from_two_vectors(Vec3d(3, 0, 0), Vec3d(0, 0, 2))) and math.isclose(d1, 1.0, rel_tol=1e-14)


@pytest.mark.parametrize("a, b", [
    ([[1, 0, 0], [2, 0, 0]], [[0, 1, 0], [0, 3, 0]]),  # every vector on one line
    ([[1, 0, 0], [-1, 0, 0]], [[0, 1, 0], [0, -1, 0]]),
])
def test_align_vectors_refuses_a_rotation_that_is_not_determined(a, b):
    with pytest.raises(ValueError, match="not determined"):
        ext.align_vectors(a, b)


# ---------------------------------------------------------------------------------------------
# Slerp through many keys


@settings(max_examples=60, deadline=None)
@given(st.lists(unit_quat, min_size=2, max_size=6), st.lists(st.floats(0, 1), min_size=1, max_size=20))
def test_slerp_is_the_single_slerp_between_its_two_keys(keys, fractions):
    times = [float(k) ** 1.5 for k in range(len(keys))]
    s = ext.Slerp(times, QuatList(keys))
    ts = [f * times[-1] for f in fractions] + times
    want = []
    for t in ts:
        k = min(max(i for i in range(len(times)) if times[i] <= t), len(times) - 2)
        want.append(ext.slerp(keys[k], keys[k + 1], (t - times[k]) / (times[k + 1] - times[k])))
    assert [qbits(q) for q in s(ts)] == [qbits(q) for q in want]
    assert qbits(s(ts[0])) == qbits(want[0]) and [qbits(q) for q in s(times)] == [qbits(q) for q in keys]


def test_slerp_means_what_scipys_means(R):
    from scipy.spatial.transform import Slerp

    keys = QuatList.random(10, 4)
    times = np.cumsum(np.random.default_rng(5).uniform(0.1, 1, 10))
    at = np.linspace(times[0], times[-1], 1000)
    ours = ext.Slerp(times, keys)(at)
    theirs = Slerp(times, R.from_quat(keys.to_xyzw()))(at)
    assert R.from_quat(ours.to_xyzw()).approx_equal(theirs, 1e-12).all()


@pytest.mark.parametrize("times, keys, call", [
    ([0.0], QuatList.identity(1), None),
    ([0.0, 1.0], QuatList.identity(3), None),
    ([1.0, 0.0], QuatList.identity(2), None),
    ([0.0, math.nan], QuatList.identity(2), None),
    ([0.0, 1.0], QuatList([Quat(1, 0, 0, 0), Quat(0, 0, 0, 0)]), None),
    ([0.0, 1.0], QuatList.identity(2), 1.5),
    ([0.0, 1.0], QuatList.identity(2), [0.5, math.nan]),
])
def test_slerp_refuses_keys_and_times_it_cannot_answer(times, keys, call):
    with pytest.raises(ValueError):
        ext.Slerp(times, keys)(call if call is not None else 0.0)


def test_single_slerp_extrapolates_outside_0_1_along_the_same_circle():
    a = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.25))
    b = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.75))
    for t, angle in ((2.0, 1.25), (-1.0, -0.25), (3.5, 2.0)):
        got = ext.slerp(a, b, t)
        assert abs(ext.axis_angle(ext.compose(got, ext.inverse(
            Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(angle)))))[1].angle) < 1e-14


def test_composition_carries_length_errors_and_from_matrix_keeps_within_its_slack():
    q = Quat.from_axis_angle(Vec3d(0.6, 0, 0.8), AngleRadians(1.0))
    assert math.isclose(ext.compose(Quat(2, 0, 0, 0), q).magnitude(), 2.0, rel_tol=1e-15)  # no renormalising
    m = np.array(q.to_rotation_matrix()).T
    m[0, 1] += 4e-7  # within the 1e-6 of slack: read, not projected, and still a unit quaternion
    p = ext.from_matrix(m)
    assert abs(p.magnitude() - 1) < 1e-15 and 1e-8 < ext.axis_angle(ext.compose(p, ext.inverse(q)))[1].angle < 1e-6
