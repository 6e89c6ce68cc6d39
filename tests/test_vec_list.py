"""VecList as a container: building from sequences, reading, growing, iterating, text forms."""
import gc
import math
import os
import sys
from collections.abc import Sequence

import pytest
from borrowing import held
from ostrilo_py import Quat, Vec3d, VecList

A, B, C = Vec3d(1, 2, 3), Vec3d(4, 5, 6), Vec3d(-0.0, 0.5, 1e21)
ABC = [(1.0, 2.0, 3.0), (4.0, 5.0, 6.0), (-0.0, 0.5, 1e21)]


def throw(error):
    raise error


class Seq(Sequence):
    """A sequence that is neither a list nor a tuple, with a length it may lie about."""

    def __init__(self, items, length=None, on_item=None):
        self.items, self.length, self.on_item = items, length, on_item

    def __len__(self):
        return len(self.items) if self.length is None else self.length()

    def __getitem__(self, i):
        if self.on_item:
            self.on_item(i)
        return self.items[i]


def components(vl):
    return [tuple(v) for v in vl.list]


@pytest.mark.parametrize("source", [
    [A, B, C], (A, B, C), VecList([A, B, C]), Seq([A, B, C]),
    Seq([A, B, C], length=lambda: sys.maxsize),  # the length is only a capacity hint
    Seq([A, B, C], length=lambda: 0),
    Seq([A, B, C], length=lambda: throw(KeyboardInterrupt())),  # errors of len() are dropped
], ids=["list", "tuple", "VecList", "sequence", "claims-maxsize", "claims-0", "len-fails"])
def test_built_from_any_sequence_in_order(source):
    vl = VecList(source)
    assert components(vl) == ABC and math.copysign(1, vl[2].x) == -1


@pytest.mark.parametrize("source, error, message", [
    ("abc", TypeError, "argument 'list': Can't extract `str` to `Vec`"),
    (iter([A]), TypeError, "argument 'list': 'list_iterator' object is not an instance of 'Sequence'"),
    ({A}, TypeError, "argument 'list': 'set' object is not an instance of 'Sequence'"),
    (None, TypeError, "argument 'list': 'None' is not an instance of 'Sequence'"),
    ([A, 5], TypeError, "argument 'list': 'int' object is not an instance of 'Vec3d'"),
    (range(2), TypeError, "argument 'list': 'int' object is not an instance of 'Vec3d'"),
    (Seq([A, None]), TypeError, "argument 'list': 'None' is not an instance of 'Vec3d'"),
    (Seq([A], on_item=lambda i: throw(TypeError("bad item"))), TypeError, "argument 'list': bad item"),
    (Seq([A, B], on_item=lambda i: 1 / (i - 1)), ZeroDivisionError, "division by zero"),
])
def test_construction_errors(source, error, message):
    with pytest.raises(error) as e:
        VecList(source)
    assert type(e.value) is error and str(e.value) == message


@pytest.mark.parametrize("make", [list, tuple, Seq, VecList])
def test_an_item_held_by_a_writer_stops_construction(make):
    items = [A, Vec3d(7, 8, 9), B]
    seq = make(items)
    with held(seq if make is VecList else items[1]):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            VecList(seq)


def test_sequence_that_grows_a_list_while_it_is_read():
    target = VecList([A])
    vl = VecList(Seq([A, B], on_item=lambda i: target.append(Vec3d(i, i, i))))
    assert components(vl) == ABC[:2] and len(target) == 4  # items 0, 1 and the probe of 2


def test_copies_in_and_out_are_independent():
    v = Vec3d(1, 2, 3)
    vl = VecList([v])
    v.x = 100
    vl[0].x = 9.0
    vl.list[0].y = 9.0
    vl.append(v)
    v.z = 100
    copy = VecList(vl)
    copy.append(A)
    assert components(vl) == [(1.0, 2.0, 3.0), (100.0, 2.0, 3.0)] and len(copy) == 3


Index = type("Index", (), {"__index__": lambda self: 1})


@pytest.mark.parametrize("index, result", [
    (2, ABC[2]), (True, ABC[1]), (Index(), ABC[1]),
    (3, (IndexError, "Index out of bounds")), (sys.maxsize, (IndexError, "Index out of bounds")),
    (-1, (OverflowError, "can't convert negative int to unsigned")),
    (2**64, (OverflowError, "int too big to convert")),
    (1.0, (TypeError, "argument 'index': 'float' object cannot be interpreted as an integer")),
])
def test_indexing(index, result):
    vl = VecList([A, B, C])
    if isinstance(result[0], float):
        assert tuple(vl[index]) == result
    else:
        with pytest.raises(result[0]) as e:
            vl[index]
        assert str(e.value) == result[1]


def test_append_and_extend():
    a, b = VecList([A]), VecList([B, C])
    a.extend(VecList.empty())
    a.extend(b)
    for _ in range(1000):  # growth keeps what is there
        a.append(A)
    assert len(a) == 1003 and components(a)[:4] == ABC + [ABC[0]] and components(b) == ABC[1:]


def test_iteration_walks_a_snapshot():
    vl = VecList([A, B])
    it = iter(vl)
    vl.append(C)
    assert iter(it) is it and [tuple(v) for v in it] == ABC[:2]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    cls = type(it)
    assert cls.__name__ == "VecListIterator" and cls.__doc__ is None
    with pytest.raises(TypeError):
        cls()
    it = iter(vl)
    with held(it):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            next(it)
    assert [tuple(v) for v in it] == ABC


@pytest.mark.parametrize("items", [
    [A, C],
    [Vec3d(math.nan, math.inf, -math.inf), Vec3d(-0.0, 0.1, 1e-300), Vec3d(1.7976931348623157e308, -2, 0.5)],
    [Vec3d(i * 0.1, -i, i / 3) for i in range(3000)],  # enough texts for many pieces
])
def test_text_and_array_forms(items):
    vl = VecList(items)
    assert repr(vl) == str(vl) == "[" + "\n".join(repr(v) for v in items) + "]"
    assert repr(vl.to_array()) == repr([list(v) for v in items])  # repr shows -0.0 and nan
    assert all(gc.is_tracked(row) for row in vl.to_array())


def test_empty_lists():
    for vl in (VecList([]), VecList(range(0)), VecList.empty()):
        assert len(vl) == 0 and not vl and repr(vl) == "[]" and vl.to_array() == vl.list == list(vl) == []
        # The hand-written loops take the empty array's null data pointer (the sanitizer build
        # reported the division once).
        assert len(vl / 3.0) == len(vl * 3.0) == 0
        vl.rotate(Quat(0.5, 0.5, 0.5, 0.5))


MEMORY = """
import resource
from ostrilo_py import VecList, Vec3d, Quat
vl = VecList([Vec3d(i, 1, 2) for i in range(100_000)])
big = VecList.empty()
for _ in range(10):
    big.extend(vl)  # 24 MB
objects = [Vec3d(i, 0, 0) for i in range(200_000)] * 6
vm = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (vm + 160 * 2**20, resource.RLIM_INFINITY))
hoard = []
try:
    while True:
        hoard.append(big * 2.0)
except MemoryError:
    pass
def fails(call):
    try:
        call()
    except MemoryError:
        return True
grown = VecList(vl)
results = [len(hoard) > 1, fails(lambda: big + Vec3d(1, 1, 1)), fails(lambda: iter(big)),
           fails(lambda: VecList(big)), fails(lambda: VecList(objects)), fails(lambda: grown.extend(big)),
           len(grown) == 100_000]
q = Quat(0, 1, 0, 0)
expected = q.rotate(big[3])
big.rotate(q)  # in place: needs no memory
results.append(tuple(big[3]) == tuple(expected) and len(big) == 1_000_000)
del hoard
results.append(len(big + Vec3d(1, 1, 1)) == 1_000_000)
print(results)
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ
                    or os.environ.get("OSTRILO_EMULATED"),
                    reason="a sanitizer runtime or an emulator reserves more address space than the limit allows")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="limits the address space through /proc and RLIMIT_AS")
def test_memory_exhaustion_raises_and_keeps_lists(run_python):
    r = run_python(MEMORY)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == str([True] * 9)
