"""Released instances of the small value classes are kept for reuse: a bounded number of them,
given back when the interpreter finalises, and never visible as objects."""
import sys

import pytest
from ostrilo_py import AngleDegrees, AngleRadians, Quat, Vec3d

# Each class with a free list, and an expression making an instance of it (also run in a fresh
# interpreter, so written out as text).
CLASSES = [
    ("Vec3d", "Vec3d(1.0, 2.0, 3.0)"),
    ("Vec3d from an operator", "Vec3d(1.0, 2.0, 3.0) * 2.0"),
    ("Quat", "Quat(1.0, 0.0, 0.0, 0.0)"),
    ("AngleRadians", "AngleRadians(0.5)"),
    ("AngleDegrees", "AngleDegrees(30.0)"),
]
IDS = [name for name, _ in CLASSES]
NAMES = {"Vec3d": Vec3d, "Quat": Quat, "AngleRadians": AngleRadians, "AngleDegrees": AngleDegrees}

needs_block_count = pytest.mark.skipif(not hasattr(sys, "getallocatedblocks"), reason="no allocation counter")


def maker(expr):
    return eval("lambda: " + expr, dict(NAMES))


@needs_block_count
@pytest.mark.parametrize("name, expr", CLASSES, ids=IDS)
def test_only_a_bounded_number_of_released_instances_is_kept(name, expr):
    make = maker(expr)
    before = sys.getallocatedblocks()
    many = [make() for _ in range(5000)]
    assert sys.getallocatedblocks() - before >= 4000  # the counter does see the instances
    del many
    assert sys.getallocatedblocks() - before < 1000


def churn(make, n):
    """Makes and drops n instances; returns the last one."""
    for _ in range(n):
        x = make()
        plain = object()
        assert sys.getrefcount(x) == sys.getrefcount(plain)
    return x


@pytest.mark.parametrize("name, expr", CLASSES, ids=IDS)
def test_a_reused_instance_is_a_new_object(name, expr):
    make = maker(expr)
    cls = type(make())
    churn(make, 1000)  # fills the free list
    class_refs = sys.getrefcount(cls)
    total = getattr(sys, "gettotalrefcount", lambda: 0)
    before = total()
    last = churn(make, 10_000)
    drift = total() - before
    assert last == make() and repr(last) == repr(make())
    del last
    assert sys.getrefcount(cls) == class_refs  # every instance gave its class reference back
    assert drift < 100  # a debug interpreter counts every reference: none lost or made up per instance


FINALISING = """
import atexit, sys
blocks = []

def after_the_release():  # registered before the module's exit handler, so it runs after it
    blocks.append(sys.getallocatedblocks())
    many = [make() for _ in range(1000)]
    del many
    blocks.append(sys.getallocatedblocks())
    print(blocks[0] - blocks[1], blocks[2] - blocks[1])

atexit.register(after_the_release)
from ostrilo_py import AngleDegrees, AngleRadians, Quat, Vec3d
make = lambda: {expr}
many = [make() for _ in range(1000)]
del many
atexit.register(lambda: blocks.append(sys.getallocatedblocks()))  # runs before the exit handler
"""


@needs_block_count
@pytest.mark.parametrize("name, expr", CLASSES, ids=IDS)
def test_the_kept_instances_are_freed_when_the_interpreter_finalises(name, expr, run_python):
    r = run_python(FINALISING.format(expr=expr))
    assert r.returncode == 0, r.stderr
    released, kept_after = map(int, r.stdout.split())
    assert released >= 50  # the kept blocks went back to the allocator
    assert kept_after < 10  # and from then on nothing is kept
