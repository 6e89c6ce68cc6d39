"""Reference leaks, hunted on a debug interpreter (sys.gettotalrefcount): every entry point of the
module, read from its interface records, is called a few thousand times on its success path and
on each of its error paths (wrong argument counts, unknown keywords, unconvertible arguments,
receiver or argument already borrowed, deleting a property). Neither the interpreter's total
reference count nor its count of allocated blocks may grow with the calls, and no argument may
end up with more or fewer references than it had."""
import functools
import gc
import sys
from contextlib import contextmanager

import pytest
from ostrilo_tools import entry_points

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")

SURFACE = entry_points.Surface()
CALLS = 250  # per round; two measured rounds after one warm-up round
# Constant noise of the interpreter's own caches; a leak of one reference per call shows as CALLS.
SLACK = 16


class Refuses:
    """An argument every conversion refuses with an error of its own."""

    def __float__(self):
        raise ArithmeticError("refused")

    def __index__(self):
        raise ArithmeticError("refused")


@contextmanager
def held(obj):
    """Pretends another thread holds an exclusive borrow of obj."""
    flag = entry_points.borrow_flag(obj)
    assert flag.value == 0
    flag.value = -1
    try:
        yield
    finally:
        flag.value = 0


def bad_values(ann):
    """Arguments that fail to convert for a parameter of this annotation, each on its own path."""
    values = [None, Refuses()]
    if ann == "int":
        values += [-1, 2**64, 1.5]
    elif ann == "float":
        values += ["1", 2**1100]
    elif ann == "bool":
        values += [1]
    elif ann.startswith("Sequence["):
        values += ["abc", [None], [SURFACE.value(ann[len("Sequence["):-1]), 1.0], (i for i in ())]
    else:
        values += [SURFACE.make("Quat" if ann != "Quat" else "Vec3d")]
    return values


def paths(e):
    """(label, receiver, args, kwargs, borrowed) for the success path and every error path."""
    # An iterator long enough to stay on its success path through every round.
    size = 4 * CALLS if e.name == "__next__" else 3
    receiver = SURFACE.make(e.owner, size=size) if e.needs_receiver else None
    good = [SURFACE.value(a) for _, a in e.params]
    out = [("ok", receiver, good, {}, None)]
    if e.kind in ("new", "method", "static", "function"):
        out.append(("keywords", receiver, [], {n: v for (n, _), v in zip(e.params, good)}, None))
        out.append(("too many", receiver, good + [1.0], {}, None))
        out.append(("unknown keyword", receiver, good, {"no_such_name": 1.0}, None))
        if good:
            out.append(("missing", receiver, good[:-1], {}, None))
            out.append(("twice", receiver, good, {e.params[0][0]: good[0]}, None))
    if e.kind == "setter":
        out.append(("delete", receiver, [], {}, None))
    for i, (name, ann) in enumerate(e.params):
        for bad in bad_values(ann):
            args = good[:i] + [bad] + good[i + 1:]
            out.append((f"{name}={type(bad).__name__}", receiver, args, {}, None))
        if ann in SURFACE.classes:
            out.append((f"{name} borrowed", receiver, good, {}, good[i]))
    if receiver is not None:
        out.append(("receiver borrowed", receiver, good, {}, receiver))
    return out


def run(e, receiver, args, kwargs, borrowed, n):
    call = SURFACE.call
    for _ in range(n):
        try:
            if borrowed is None:
                call(e, receiver, args, kwargs)
            else:
                with held(borrowed):
                    call(e, receiver, args, kwargs)
        except BaseException:
            pass


def gives_arrays(e, receiver, args, kwargs) -> bool:
    """Whether the entry's result holds a NumPy array on this path (called once). Making an array
    moves the interpreter's total reference count by itself on some builds (np.empty((3, 4)) by 2
    per call on the debug CPython 3.14), which is allowed for such paths; their blocks must still
    not grow. Asked per path: count_neighbors gives an int for one radius and an array for a
    sequence of them (a Quat lends four)."""
    try:
        result = SURFACE.call(e, receiver, args, kwargs)
    except Exception:
        return False
    parts = result if isinstance(result, tuple) else (result,)
    return any(type(p).__module__ == "numpy" for p in parts)


@pytest.fixture(autouse=True, scope="module")
def collector_sees_only_new_objects():
    """Moves everything alive before this module into the collector's permanent generation, so
    that each gc.collect() below walks what the calls made, not the heap the rest of the suite left
    (with the suite's imports, those walks took three quarters of this module's time)."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


@functools.cache
def numpy_growth_per_call():
    np = pytest.importorskip("numpy")
    for _ in range(CALLS):
        np.empty((3, 4))
    gc.collect()
    refs = sys.gettotalrefcount()
    for _ in range(CALLS):
        np.empty((3, 4))
    gc.collect()
    return max(0, sys.gettotalrefcount() - refs) // CALLS


@pytest.mark.parametrize("entry", SURFACE.entries, ids=lambda e: e.label)
def test_no_reference_leaks(entry):
    for label, receiver, args, kwargs, borrowed in paths(entry):
        arrays = gives_arrays(entry, receiver, args, kwargs)
        allowed = SLACK + (CALLS * numpy_growth_per_call() if arrays else 0)
        objects = [receiver, *args, *kwargs.values()]
        counts = [sys.getrefcount(o) for o in objects]
        run(entry, receiver, args, kwargs, borrowed, CALLS)
        gc.collect()
        growth = []
        for _ in range(2):
            refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
            run(entry, receiver, args, kwargs, borrowed, CALLS)
            growth.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
        assert min(g[0] for g in growth) <= allowed and min(g[1] for g in growth) <= SLACK, \
            f"{entry.label} [{label}]: {CALLS} calls grew (references, blocks) by {growth}"
        assert [sys.getrefcount(o) for o in objects] == counts, f"{entry.label} [{label}]: argument references"
