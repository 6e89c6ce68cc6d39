"""Argument parsing, conversions and borrow rules shared by every entry point."""
import sys

import pytest
from conftest import assert_vec
from ostrilo_py import Vec3d

V = Vec3d(1, 2, 3)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Vec3d(), "Vec3d.__new__() missing 3 required positional arguments: 'x', 'y', and 'z'"),
        (lambda: Vec3d(1, 2), "Vec3d.__new__() missing 1 required positional argument: 'z'"),
        (lambda: Vec3d(1), "Vec3d.__new__() missing 2 required positional arguments: 'y' and 'z'"),
        (lambda: Vec3d(x=None), "Vec3d.__new__() missing 2 required positional arguments: 'y' and 'z'"),
        (lambda: Vec3d(1, 2, 3, 4), "Vec3d.__new__() takes 3 positional arguments but 4 were given"),
        (lambda: Vec3d(1, 2, 3, x=1), "Vec3d.__new__() got multiple values for argument 'x'"),
        (lambda: Vec3d(1, 2, 3, w=1), "Vec3d.__new__() got an unexpected keyword argument 'w'"),
        (lambda: Vec3d(z=1, y=2, x=3, q=0), "Vec3d.__new__() got an unexpected keyword argument 'q'"),
        (lambda: Vec3d.__new__(Vec3d, 1, 2), "Vec3d.__new__() missing 1 required positional argument: 'z'"),
        (lambda: V.dot(w=V), "Vec3d.dot() got an unexpected keyword argument 'w'"),
        (lambda: V.dot(V, V), "Vec3d.dot() takes 1 positional arguments but 2 were given"),
        (lambda: V.dot(), "Vec3d.dot() missing 1 required positional argument: 'other'"),
        (lambda: V.dot(V, other=V), "Vec3d.dot() got multiple values for argument 'other'"),
        (lambda: V.distance_to_line(V, V, V), "Vec3d.distance_to_line() takes 2 positional arguments but 3 were given"),
        (lambda: Vec3d.new_from_to(V), "Vec3d.new_from_to() missing 1 required positional argument: 'to'"),
        (lambda: V.dot((1, 2, 3)), "argument 'other': 'tuple' object is not an instance of 'Vec3d'"),
        (lambda: V.dot(None), "argument 'other': 'None' is not an instance of 'Vec3d'"),
        (lambda: V.scalar_triple_product(V, 5), "argument 'c': 'int' object is not an instance of 'Vec3d'"),
        (lambda: Vec3d.new_from_to(**{"from": 1, "to": V}), "argument 'from': 'int' object is not an instance of 'Vec3d'"),
        (lambda: V.project_onto_line(line_q=V, line_r=[]), "argument 'line_r': 'list' object is not an instance of 'Vec3d'"),
        (lambda: Vec3d(None, 2, 3), "argument 'x': must be real number, not NoneType"),
        (lambda: Vec3d(1, "2", 3), "argument 'y': must be real number, not str"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_keywords_fill_parameters():
    assert V.dot(other=Vec3d(1, 1, 1)) == 6.0
    assert_vec(Vec3d(z=3, x=1, y=2), (1.0, 2.0, 3.0))
    assert_vec(Vec3d.new_from_to(to=Vec3d(2, 2, 2), **{"from": V}), (1.0, 0.0, -1.0))


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    def __float__(self):
        raise ValueError("no float here")

    def __index__(self):
        raise ValueError("no index here")


class MyFloat(float):
    def __float__(self):  # ignored: exact floats and subclasses are read as they are
        return 99.0


@pytest.mark.parametrize(
    "arg, expected",
    [(1, 1.0), (True, 1.0), (Floaty(2.5), 2.5), (Indexy(7), 7.0), (MyFloat(1.5), 1.5), (-1.0, -1.0), (2**53, 2.0**53)],
)
def test_float_conversion_accepts(arg, expected):
    assert Vec3d(arg, 0, 0).x == expected


@pytest.mark.parametrize(
    "arg, exc, prefix",
    [
        ("1", TypeError, True),
        (Floaty("x"), TypeError, True),  # __float__ returning a non-float
        (Raises(), ValueError, False),
        (10**400, OverflowError, False),
        (object(), TypeError, True),
    ],
)
def test_float_conversion_rejects(arg, exc, prefix):
    with pytest.raises(exc) as e:
        Vec3d(0, arg, 0)
    assert type(e.value) is exc
    assert str(e.value).startswith("argument 'y': ") is prefix


@pytest.mark.parametrize(
    "index, exc, prefix",
    [
        (-1, OverflowError, False),
        (2**64, OverflowError, False),
        (1.5, TypeError, True),
        ("1", TypeError, True),
        (Raises(), ValueError, False),
        (Indexy(-3), OverflowError, False),
    ],
)
def test_unsigned_conversion_rejects(index, exc, prefix):
    with pytest.raises(exc) as e:
        V[index]
    assert type(e.value) is exc
    assert str(e.value).startswith("argument 'index': ") is prefix


def test_unsigned_conversion_accepts_index_objects():
    assert V[Indexy(2)] == 3.0 and V[True] == 2.0
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        V[sys.maxsize]  # fits the machine word on every platform; 2**32 and above: test_platform.py


def test_type_error_cause_is_kept_and_replaced_error_not_chained():
    class Chained:
        def __float__(self):
            try:
                raise KeyError("root")
            except KeyError as k:
                raise TypeError("inner") from k

    with pytest.raises(TypeError) as e:
        Vec3d(Chained(), 0, 0)
    assert str(e.value) == "argument 'x': inner"
    assert isinstance(e.value.__cause__, KeyError)


class Mutator:
    """An operand whose conversion tries to change the vector it is combined with."""

    def __init__(self, target):
        self.target = target
        self.seen = None

    def _mutate(self):
        try:
            self.target.x = 100.0
        except RuntimeError as e:
            self.seen = str(e)
            raise

    def __float__(self):
        self._mutate()
        return 2.0

    def __index__(self):
        self._mutate()
        return 0


def test_operator_conversion_cannot_change_borrowed_receiver():
    v = Vec3d(1, 2, 3)
    m = Mutator(v)
    with pytest.raises(TypeError, match="unsupported operand"):
        v * m
    assert m.seen == "Already borrowed"
    assert_vec(v, (1.0, 2.0, 3.0))


def test_subscript_conversion_cannot_change_borrowed_receiver():
    v = Vec3d(1, 2, 3)
    m = Mutator(v)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        v[m]
    assert_vec(v, (1.0, 2.0, 3.0))


def test_setter_converts_before_borrowing():
    v = Vec3d(1, 2, 3)

    class ReadsAndWrites:
        def __float__(self):
            v.y = v.x + 10  # the receiver is not borrowed yet
            return 5.0

    v.x = ReadsAndWrites()
    assert_vec(v, (5.0, 11.0, 3.0))


def test_failed_calls_leave_no_borrow_behind():
    v = Vec3d(1, 2, 3)
    for bad in (lambda: v.dot(None), lambda: v[5], lambda: v * object(), lambda: setattr(v, "x", "bad")):
        with pytest.raises((TypeError, IndexError)):
            bad()
    v.x = 4.0  # would raise "Already borrowed" if a shared borrow leaked
    assert v.x == 4.0


def test_no_reference_leaks_on_hot_paths():
    if not hasattr(sys, "gettotalrefcount") and not hasattr(sys, "getallocatedblocks"):
        pytest.skip("no allocation counter")
    v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)

    def work():
        for _ in range(2000):
            v + w, v * 2.0, 2.0 * v, v.dot(w), v.cross(other=w), repr(v), hash(v), v == w, v[1]
            try:
                v.dot(None)
            except TypeError:
                pass
            try:
                v * "x"
            except TypeError:
                pass

    work()
    before = sys.getallocatedblocks()
    work()
    assert sys.getallocatedblocks() - before < 50
