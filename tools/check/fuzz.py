#!/usr/bin/env python3
"""Hostile arguments against every entry point of the installed ostrilo_py and ostrilo_ext, for a fixed time.

    tools/check/fuzz.py [--seed S] [--budget SECONDS]   cases until the budget is spent (default 120 s)
    tools/check/fuzz.py --seed S --case N               replays one case and describes it

Each case takes one entry point (every one the interface records of both libraries list, through
tools/ostrilo_tools/entry_points.py), a fresh receiver, and arguments of which some are valid and some hostile:
None, strings, huge and negative ints, float and int subclasses that lie, objects whose
__float__, __index__, __bool__, __len__, __getitem__ or __iter__ raise, lie, call back into the
receiver or change it, sequences whose length is wrong, lists holding a number whose conversion
clears, grows or shrinks the list (or its row) being read, buffer exporters (written in C through
ctypes, tools/ostrilo_tools/lying_buffers.py) that hand out suboffsets, no shape, lengths, item
sizes or dimensions that do not match, no memory, or strides nobody asked for, the receiver itself,
instances that another caller has borrowed; sometimes too many, too few or unknown keyword
arguments. Some cases instead run a list operation over NaNs with assorted payloads and signs and
check the NaN rule: every NaN that list arithmetic computes is the canonical one, and the nearest
search ranks all NaNs alike. It checks:

- only the errors the module documents come out: TypeError, ValueError, OverflowError, IndexError,
  AttributeError, MemoryError, StopIteration, BufferError (an exporter's lie: a buffer whose
  length does not match its shape, or with suboffsets, and so on), the interpreter's DeprecationWarning and the companion's
  gimbal-lock UserWarning (warnings are errors here), RuntimeError "Already borrowed" / "Already
  mutably borrowed", the documented
  internal assertions, and the hostile argument's own error;
- a call that failed left its receiver as it was, and no call changed an argument;
- every borrow flag is back where it was after the call.

The cases run in a child process. If it dies (a crash or a sanitizer report) or hangs, the parent
prints the seed, the case number and the end of the child's error output, and replays the case.
Every case is drawn from its own generator seeded by (seed, case number): --case replays it alone.
"""
from __future__ import annotations

import argparse
import collections.abc
import gc
import json
import math
import mmap
import os
import random
import struct
import subprocess
import sys
import tempfile
import time
import warnings
from collections import Counter
from pathlib import Path

# A program, not a module: the helpers' package is found beside this folder.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from ostrilo_tools import entry_points, lying_buffers  # noqa: E402

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
PANICS = entry_points.DOCUMENTED_PANICS
EXPECTED = (TypeError, ValueError, OverflowError, IndexError, AttributeError, MemoryError, StopIteration,
            DeprecationWarning, BufferError, UserWarning)  # UserWarning: ostrilo_ext.to_euler in gimbal lock


class Hostile(Exception):
    """The error a hostile argument raises itself."""


class Case:
    """What one case drew, and what its hostile arguments did while it ran."""

    def __init__(self, surface: entry_points.Surface, rng: random.Random):
        self.surface, self.rng = surface, rng
        self.receiver = None
        self.entry: entry_points.Entry | None = None
        self.touched = False  # a hostile argument changed the receiver through a call that worked
        self.calls_back = 0

    def call_back(self):
        """A hostile argument calls some entry of the receiver (valid arguments), maybe changing it."""
        if self.receiver is None or self.calls_back > 3:
            return
        self.calls_back += 1
        s = self.surface
        entries = [e for e in s.of(self.entry.owner) if e.kind in ("method", "setter", "getter", "slot")]
        e = self.rng.choice(entries)
        try:
            s.call(e, self.receiver, [s.value(a, self.rng) for _, a in e.params])
            if e.kind not in ("getter",):
                self.touched = True
        except (RuntimeError, StopIteration, ValueError, IndexError, TypeError, OverflowError):
            pass


class Trick:
    """An object whose conversions misbehave in the way `how` names."""

    def __init__(self, case: Case, how: str):
        self.case, self.how = case, how

    def __repr__(self):
        return f"Trick({self.how})"

    def _act(self, good, wrong):
        how = self.how
        if how == "raise":
            raise Hostile(how)
        if how == "wrong type":
            return wrong
        if how == "call back":
            self.case.call_back()
            return good
        if how == "call back, raise":
            self.case.call_back()
            raise Hostile(how)
        if how == "collect":
            gc.collect()
            return good
        if how == "huge":
            return 2**80 if isinstance(good, int) else 1e308
        if how == "negative":
            return -3 if isinstance(good, int) else -1.0
        if how == "subclass":
            return LyingInt(1) if isinstance(good, int) else LyingFloat(2.0)
        return good

    def __float__(self):
        return self._act(1.25, "1.25")

    def __index__(self):
        return self._act(1, 1.5)

    def __bool__(self):
        return self._act(True, 1)

    def __len__(self):
        return self._act(2, "2")


class LyingFloat(float):
    """A float whose __float__ says something else than its value."""

    def __float__(self):
        return 99.0

    def __index__(self):
        return 7


class LyingInt(int):
    """An int whose __index__ and __float__ say something else than its value."""

    def __index__(self):
        return 2**70

    def __float__(self):
        return 99.0


class FakeNumpyBool:
    """Pretends to be numpy's bool scalar type by its module and name."""

    def __init__(self, case: Case, how: str):
        self.trick = Trick(case, how)

    def __bool__(self):
        return self.trick.__bool__()

    def __repr__(self):
        return f"FakeNumpyBool({self.trick.how})"


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class FakeNumpyBoolNoTruth:
    __slots__ = ()


FakeNumpyBoolNoTruth.__module__ = "numpy"
FakeNumpyBoolNoTruth.__name__ = FakeNumpyBoolNoTruth.__qualname__ = "bool"


class HostileSequence(collections.abc.Sequence):
    """A sequence whose length lies, whose items misbehave, or that changes while it is read."""

    def __init__(self, case: Case, items: list, how: str):
        self.case, self.items, self.how = case, items, how

    def __repr__(self):
        return f"HostileSequence({len(self.items)} items, {self.how})"

    def __len__(self):
        how = self.how
        if how == "len raises":
            raise Hostile(how)
        if how == "len too long":
            return len(self.items) + 5
        if how == "len too short":
            return max(0, len(self.items) - 2)
        if how == "len huge":
            return sys.maxsize
        if how == "len wrong type":
            return LyingInt(len(self.items))
        return len(self.items)

    def __getitem__(self, i):
        how = self.how
        if isinstance(i, slice):
            return self.items[i]
        if how == "item raises" and i == len(self.items) // 2:
            raise Hostile(how)
        if how == "shrinks" and self.items:
            self.items.pop()
        if how == "grows" and len(self.items) < 100:
            self.items.append(self.items[0] if self.items else None)
        if how == "call back":
            self.case.call_back()
        if how == "wrong item" and i == len(self.items) - 1:
            return 1.0
        return self.items[i]

    def __iter__(self):
        if self.how == "iter raises":
            raise Hostile(self.how)
        if self.how == "iter calls back":
            self.case.call_back()
        return iter(self.items)


TRICKS = ("raise", "wrong type", "call back", "call back, raise", "collect", "huge", "negative", "subclass",
          "plain")
SEQUENCE_TRICKS = ("len raises", "len too long", "len too short", "len huge", "len wrong type", "item raises",
                   "shrinks", "grows", "call back", "wrong item", "iter raises", "iter calls back")
INTS = (0, 1, 2, 3, -1, -2**63, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**1000, -2**1000, True, False)


# ---------------------------------------------------------------------------------------------
# Buffer exporters that lie (tools/ostrilo_tools/lying_buffers.py), and lists whose items change
# them while they convert.

def lying_exporter(rng: random.Random):
    """An exporter of (n, 3) or (n, 4) doubles, or of n of them, that may tell any of the lies."""
    rows, width = rng.choice((0, 1, 2, 5)), rng.choice((3, 4))
    shape = (rows, width) if rng.random() < 0.8 else (rows * width,)
    lie = rng.choice(lying_buffers.LIES + (None,))
    return lying_buffers.exporter([rng.uniform(-1, 1) for _ in range(rows * width)], shape, lie)


MUTATIONS = ("clear", "grow", "shrink", "replace", "raise")


class Mutator:
    """A number whose __float__ and __index__ first change a list that is being read (the argument
    itself, or the row that holds it): clear, grow or shrink it, replace an item, or raise."""

    def __init__(self, rng: random.Random):
        self.how, self.target = rng.choice(MUTATIONS), None

    def __repr__(self):
        return f"Mutator({self.how})"

    def _act(self):
        target, self.target = self.target, None  # once: a list that keeps growing never ends
        if target is None:
            return
        if self.how == "clear":
            target.clear()
        elif self.how == "grow":
            target.extend(target[:3] or [0.0])
        elif self.how == "shrink" and target:
            target.pop()
        elif self.how == "replace" and target:
            target[0] = target[-1]
        elif self.how == "raise":
            raise Hostile(self.how)

    def __float__(self):
        self._act()
        return 0.5

    def __index__(self):
        self._act()
        return 1


def mutating_list(rng: random.Random, item: str) -> list:
    """A list of numbers (item "float") or of rows of 3 or 4 numbers (anything else) in which one
    number changes the list, or its row, when it converts."""
    m = Mutator(rng)
    if item == "float":
        items = [rng.uniform(-1, 1) for _ in range(rng.choice((1, 3, 4, 6)))]
        items[rng.randrange(len(items))] = m
        m.target = items
        return items
    width = rng.choice((3, 4))
    rows = [[rng.uniform(-1, 1) for _ in range(width)] for _ in range(rng.choice((1, 2, 3, 40)))]
    row = rng.choice(rows)
    row[rng.randrange(width)] = m
    m.target = rng.choice((rows, row))
    return rows


# ---------------------------------------------------------------------------------------------
# NaN payloads: list arithmetic gives the canonical NaN, the nearest search ranks NaNs alike.

CANONICAL_NAN = 0x7FF8000000000000
NAN_PATTERNS = (0x7FF8000000000001, 0x7FF8000000000100, 0xFFF8000000000300, 0x7FF4000000000007,
                0xFFFFFFFFFFFFFFFF, 0x7FF0000000000001, 0xFFF8000000000000)


def _bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def _nan(rng: random.Random) -> float:
    return struct.unpack("<d", struct.pack("<Q", rng.choice(NAN_PATTERNS)))[0]


def nan_case(seed: int, index: int) -> str:
    """One list operation over NaN payloads; raises Failure when the NaN rule does not hold."""
    import ostrilo_py as m

    rng = random.Random(f"{seed}/{index}/nan")
    n = rng.randrange(0, 80)
    comp = lambda: _nan(rng) if rng.random() < 0.3 else rng.uniform(-3, 3)  # noqa: E731
    items = [m.Vec3d(comp(), comp(), comp()) for _ in range(n)]
    vl = m.VecList(items)
    o, s = m.Vec3d(comp(), comp(), comp()), comp()
    q = m.Quat(comp(), comp(), comp(), comp())
    ops = {"+": lambda: vl + o, "-": lambda: vl - o, "*": lambda: vl * s, "r*": lambda: s * vl,
           "/": lambda: vl / s, "dot": lambda: vl.dot(o), "cross": lambda: vl.cross(o),
           "distance_to": lambda: vl.distance_to(o), "distance_squared": lambda: vl.distance_squared(o),
           "magnitude": lambda: vl.magnitude(), "normalize": lambda: vl.normalize()}

    def rotated():
        t = m.VecList(vl)
        t.rotate(q)
        return t

    ops["rotate"] = rotated
    name = rng.choice(sorted(ops) + ["nearest"])
    where = f"NaN case {index} of seed {seed} ({name}, {n} elements)"
    if name == "nearest":
        if n == 0:
            return "nan ok"
        stride = rng.choice((1, 2, 3, 7, n + 1))
        j, d = vl.minimum_distance_to(o, stride)

        def key(i):
            v = items[i]
            d2 = ((v.x - o.x) ** 2 + (v.y - o.y) ** 2) + (v.z - o.z) ** 2
            return (1, 0.0) if math.isnan(d2) else (0, d2)

        c = min(range(0, n, stride), key=lambda k: (key(k), k))
        want = min(range(max(0, c - stride), min(n, c + stride)), key=lambda k: (key(k), k))
        if j != want or (math.isnan(d) and _bits(d) != CANONICAL_NAN):
            raise Failure(f"{where}: stride {stride} gave {(j, d)}, the rule gives index {want}")
        return "nan ok"
    out = ops[name]()
    values = out.to_array() if isinstance(out, m.VecList) else out
    flat = [c for x in values for c in (x if isinstance(x, list) else (x,))]
    odd = [hex(_bits(c)) for c in flat if math.isnan(c) and _bits(c) != CANONICAL_NAN]
    if odd:
        raise Failure(f"{where}: NaNs other than the canonical one: {odd[:4]}")
    return "nan ok"


def numpy_values(rng: random.Random):
    try:
        import numpy as np
    except ImportError:
        return []
    n = rng.choice((0, 1, 3, 7))
    base = np.arange(n * 3, dtype=np.float64).reshape(n, 3)
    return [base, base.astype(np.float32), base.astype(np.int64), base.T.copy(), base[::2], np.zeros((n, 4)),
            np.zeros(3), np.asfortranarray(base), np.float64(2.5), np.int64(-1), np.uint64(2**64 - 1),
            np.bool_(True), base.astype(object)]


def hostile(case: Case, ann: str):
    """One argument for a parameter of this annotation: valid about half the time."""
    rng, s = case.rng, case.surface
    roll = rng.random()
    if roll < 0.45:
        return s.value(ann, rng)
    if roll < 0.55:
        return rng.choice((None, "1.5", b"", object(), 1j, [], (1.0, 2.0, 3.0)))
    if ann == "float":
        pool = [rng.choice(INTS), 2**1100, -2**1100, LyingFloat(rng.choice(entry_points.FLOATS)),
                LyingInt(5), Trick(case, rng.choice(TRICKS))]
        return rng.choice(pool + numpy_values(rng)[8:10])
    if ann == "int":
        pool = [rng.choice(INTS), rng.choice(INTS), LyingInt(rng.choice((0, 1, 5))), 1.5, LyingFloat(1.0),
                Trick(case, rng.choice(TRICKS))]
        return rng.choice(pool + numpy_values(rng)[9:11])
    if ann == "bool":
        pool = [0, 1, LyingInt(1), Trick(case, "plain"), FakeNumpyBool(case, rng.choice(TRICKS)),
                FakeNumpyBoolNoTruth()]
        return rng.choice(pool + numpy_values(rng)[11:12])
    if ann.startswith("Sequence["):
        item = ann[len("Sequence["):-1]
        items = [s.value(item, rng) for _ in range(rng.choice((0, 1, 3, 6)))]
        pool = [HostileSequence(case, items, rng.choice(SEQUENCE_TRICKS)), "abc", items + [None], tuple(items),
                (v for v in items), {i: v for i, v in enumerate(items)}, set(), range(3), bytearray(b"abc"),
                memoryview(bytearray(48)).cast("d"), memoryview(bytearray(24)).cast("d", (1, 3)), "lying", "mutating"]
        chosen = rng.choice(pool + numpy_values(rng)[:8])
        if isinstance(chosen, str) and chosen == "lying":
            return lying_exporter(rng)
        if isinstance(chosen, str) and chosen == "mutating":
            return mutating_list(rng, item)
        return chosen
    if ann in s.classes:
        pool = [Trick(case, rng.choice(TRICKS)), s.make(rng.choice(list(s.classes)), rng)]
        if case.receiver is not None and type(case.receiver).__name__ == ann:
            pool += [case.receiver] * 3
        return rng.choice(pool)
    return None


def describe(v) -> str:
    if isinstance(v, list) and len(v) > 4:
        return f"[{', '.join(map(describe, v[:2]))}, ... {len(v)} items]"
    try:
        text = repr(v)
    except BaseException as e:
        text = f"<repr raised {type(e).__name__}>"
    return text if len(text) < 200 else text[:200] + "..."


class Failure(Exception):
    pass


def run_case(surface: entry_points.Surface, seed: int, index: int, verbose: bool = False) -> str:
    """Runs case `index` of `seed`; returns the outcome's name, raises Failure with a description."""
    rng = random.Random(f"{seed}/{index}")
    case = Case(surface, rng)
    e = case.entry = rng.choice(surface.entries)
    if e.needs_receiver:
        case.receiver = surface.make(e.owner, rng)
    args = [hostile(case, ann) for _, ann in e.params]
    kwargs: dict = {}
    shape = rng.random()
    if shape < 0.04:
        args.append(rng.choice((1.0, None)))
    elif shape < 0.08 and args:
        args.pop()
    elif shape < 0.14 and e.params:
        kwargs = {n: v for (n, _), v in zip(e.params, args)}
        args = []
    elif shape < 0.17:
        kwargs = {rng.choice(["no_such_name"] + [n for n, _ in e.params]): 1.0}
    held = []
    if rng.random() < 0.08:
        for o in [case.receiver, *args]:
            if type(o).__name__ in surface.classes and rng.random() < 0.5:
                held.append((o, rng.choice((-1, 1, 2))))
    text = (f"case {index} of seed {seed}: {e.label}(receiver={describe(case.receiver)}, "
            f"args=[{', '.join(map(describe, args))}], kwargs={describe(kwargs)}, held={[(describe(o), v) for o, v in held]})")
    if verbose:
        print(text, flush=True)

    ours = [o for o in [case.receiver, *args, *kwargs.values()] if type(o).__name__ in surface.classes]
    before = {id(o): entry_points.state(surface, o) for o in ours}
    flags = {}
    for o, v in held:
        f = entry_points.borrow_flag(o)
        if f.value == 0:
            f.value = v
            flags[id(o)] = (f, v)
    outcome, error = "ok", None
    try:
        surface.call(e, case.receiver, args, kwargs)
    except BaseException as x:
        error = x
        outcome = type(x).__name__
    finally:
        moved = [(describe(o), f.value, v) for o, (f, v) in ((o, flags[id(o)]) for o in ours if id(o) in flags)
                 if f.value != v]
        for f, _ in flags.values():
            f.value = 0
    if verbose:
        print(f"  -> {outcome}: {error}", flush=True)

    def fail(why):
        raise Failure(f"{why}\n  {text}\n  replay: tools/check/fuzz.py --seed {seed} --case {index}")

    if moved:
        fail(f"a call changed a borrow it did not take: {moved}")
    stuck = [describe(o) for o in ours if entry_points.borrow_flag(o).value != 0]
    if stuck:
        fail(f"borrow flags left taken: {stuck}")
    if error is not None:
        if isinstance(error, (Hostile, NotImplementedError)):
            pass  # the argument's own error (NotImplementedError: a memoryview's item access)
        elif isinstance(error, RuntimeError) and type(error) is RuntimeError:
            if str(error) not in BORROW_ERRORS:
                fail(f"unexpected RuntimeError {error!r}")
        elif type(error).__name__ == "PanicException":
            if str(error) not in PANICS:
                fail(f"undocumented internal assertion {error!r}")
        elif not isinstance(error, EXPECTED) or isinstance(error, (SystemError, RecursionError)):
            fail(f"unexpected {type(error).__name__}: {error}")
    for o in ours:
        if case.touched or (o is case.receiver and error is None):
            continue
        after = entry_points.state(surface, o)
        if after != before[id(o)]:
            what = "receiver" if o is case.receiver else "argument"
            fail(f"the {what} changed ({'failed' if error else 'successful'} call): {describe(o)}")
    return outcome


def worker(seed: int, budget: float, progress: str) -> int:
    surface = entry_points.Surface()
    fd = os.open(progress, os.O_RDWR)
    mark = mmap.mmap(fd, 8)
    outcomes: Counter = Counter()
    deadline = time.monotonic() + budget
    index = 0
    while time.monotonic() < deadline:
        for _ in range(50):
            mark[:8] = struct.pack("<q", index)
            try:
                if index % 20 == 19:
                    outcomes[nan_case(seed, index)] += 1
                else:
                    outcomes[run_case(surface, seed, index)] += 1
            except Failure as f:
                print(f"FAILED {f}", flush=True)
                return 1
            index += 1
    print(json.dumps({"cases": index, "entries": len(surface.entries), "outcomes": dict(outcomes)}), flush=True)
    return 0


def supervise(seed: int, budget: float) -> int:
    print(f"fuzzing for {budget:g} s with seed {seed} (replay a case: tools/check/fuzz.py --seed {seed} --case N)",
          flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        progress = os.path.join(tmp, "progress")
        with open(progress, "wb") as f:
            f.write(bytes(8))
        with open(os.path.join(tmp, "stderr"), "w+b") as errors:
            child = subprocess.Popen([sys.executable, __file__, "--worker", progress, "--seed", str(seed),
                                      "--budget", str(budget)], stdout=subprocess.PIPE, stderr=errors, text=True)
            try:
                out, _ = child.communicate(timeout=budget + 180)
                hung = False
            except subprocess.TimeoutExpired:
                child.kill()
                out, _ = child.communicate()
                hung = True
            errors.seek(0)
            tail = errors.read().decode(errors="replace").splitlines()
        with open(progress, "rb") as f:
            index = struct.unpack("<q", f.read(8))[0]
    if child.returncode == 0 and not hung:
        summary = json.loads(out.strip().splitlines()[-1])
        print(f"{summary['cases']} cases over {summary['entries']} entry points, no failure")
        for name, n in sorted(summary["outcomes"].items(), key=lambda kv: -kv[1]):
            print(f"  {name:24} {n}")
        return 0
    print(out, end="")
    # Exit status 1 is a failure the child reported itself ("FAILED ..."), unless it printed none:
    # a sanitizer that halts on its first report exits with 1 too.
    if child.returncode != 1 or hung or "FAILED" not in out:
        why = "hung" if hung else f"died (exit status {child.returncode})"
        print(f"the fuzzing process {why} in case {index} of seed {seed}; the end of its error output:")
        print("\n".join(tail[-60:]))
        print(f"replaying: tools/check/fuzz.py --seed {seed} --case {index}", flush=True)
        subprocess.run([sys.executable, __file__, "--seed", str(seed), "--case", str(index)], timeout=120, check=False)
    return 1


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("--budget", type=float, default=120.0, help="seconds of fuzzing")
    p.add_argument("--case", type=int, default=None, help="replay this one case")
    p.add_argument("--worker", metavar="PROGRESS", help=argparse.SUPPRESS)
    a = p.parse_args()
    seed = a.seed if a.seed is not None else int.from_bytes(os.urandom(4), "little")
    warnings.simplefilter("error")
    if a.worker:
        return worker(seed, a.budget, a.worker)
    if a.case is not None:
        try:
            if a.case % 20 == 19:
                print(nan_case(seed, a.case))
            else:
                run_case(entry_points.Surface(), seed, a.case, verbose=True)
        except Failure as f:
            print(f"FAILED {f}")
            return 1
        print("passed")
        return 0
    return supervise(seed, a.budget)


if __name__ == "__main__":
    sys.exit(main())
