#!/usr/bin/env python3
"""Several threads on one shared VecList and one shared Vec3d for a fixed time, with forks from a
thread while the others run, and every entry point of both modules on shared objects.

    tools/check/stress_threads.py [--budget SECONDS] [--threads N] [--seed S]

The threads append, extend (also a list with itself), rotate, read, iterate, index, search and
compute on the shared list, and set and read the shared vector. Some arguments convert through
Python code that yields to the other threads while the call holds its borrows, so calls meet
borrowed objects even with the global interpreter lock. Besides, they call every entry point
that the interface records of ostrilo_py and ostrilo_ext list (tools/ostrilo_tools/entry_points.py,
as the fuzzer and the leak test find them: a new method is raced without an edit here) with
receivers and arguments drawn from a pool of shared instances of every class, and shared arrays
that other threads rewrite meanwhile. Checked:

- the only errors are the borrow RuntimeErrors "Already borrowed" and "Already mutably borrowed",
  and, from an operator whose receiver another thread holds exclusively (its slot then returns
  NotImplemented), the interpreter's TypeError for unsupported operand types: exactly that
  message for exactly those operand types, and only from the operator expressions below;
- the list's length only grows, and ends as its start plus every append and extend that worked;
- every element read at any time is one that was put in, rotated a whole number of half turns
  (x, ±2x, ±3x with one sign), and the vector's components are always values that were set;
- a child forked from a thread runs list operations on the worker pool and exits in time;
- the calls on the shared pool raise only borrow errors, the errors of their arguments
  (TypeError, ValueError, OverflowError, IndexError, StopIteration, BufferError) and the internal
  assertions the module documents: never another one, a SystemError or a crash, and no borrow is
  left taken at the end.
"""
from __future__ import annotations

import argparse
import faulthandler
import math
import os
import random
import sys
import threading
import time
import traceback
import warnings
from pathlib import Path

from ostrilo_py import Quat, Vec3d, VecList

try:
    import ostrilo_ext
except ModuleNotFoundError as e:  # the companion is optional here, but not one that fails to import
    if e.name != "ostrilo_ext":
        raise
    ostrilo_ext = None

# A program, not a module: the helpers' package is found beside this folder.
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from ostrilo_tools import entry_points  # noqa: E402

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
# What a call on the shared pool may raise besides a borrow error: its drawn arguments' refusals.
ARGUMENT_ERRORS = (TypeError, ValueError, OverflowError, IndexError, StopIteration, BufferError)


class Refused(Exception):
    """An operator refused because its receiver was borrowed: counted like a borrow error."""


def operator_on_borrowed(compute, symbol: str, left, right):
    """compute(), where the interpreter's TypeError for `left symbol right` means the receiver's
    slot returned NotImplemented, which a correct operand gets only while the receiver is borrowed."""
    try:
        return compute()
    except TypeError as e:
        expected = f"unsupported operand type(s) for {symbol}: '{type_name(left)}' and '{type_name(right)}'"
        if type(e) is not TypeError or str(e) != expected:
            raise
        raise Refused from e


def type_name(o) -> str:
    """The name the interpreter's messages give o's type: ours carry their module, "builtins"."""
    return f"builtins.{type(o).__name__}" if isinstance(o, (Vec3d, VecList)) else type(o).__name__


HALF_TURN = Quat(0, 1, 0, 0)  # about x: (x, y, z) -> (x, -y, -z), exactly
XS = (0.5, -1.25, 3.0, 1e300, -0.0)
YS = (2.0, -7.5, 0.125)
ZS = (1.0, 9.0, -2.5)


def point(k: float) -> Vec3d:
    return Vec3d(k, 2 * k, 3 * k)


def well_formed(x: float, y: float, z: float) -> bool:
    return x == int(x) and 0 <= x < 1e6 and ((y, z) == (2 * x, 3 * x) or (y, z) == (-2 * x, -3 * x))


class Yielding:
    """A number that hands the interpreter to other threads while it is being converted."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return float(self.value)

    def __index__(self):
        time.sleep(0)
        return int(self.value)


class HalfTurns:
    """As many half turns as the list has elements, sometimes after a yield: the companion's rotate_each
    reads them while it holds its shared borrow of the list, so the length cannot change."""

    def __init__(self, vl, yielding: bool):
        self.vl, self.yielding = vl, yielding

    def __len__(self):
        return len(self.vl)

    def __iter__(self):
        if self.yielding:  # now and then, as Yielding: the other threads meet the borrow
            time.sleep(0)
        return iter([HALF_TURN] * len(self.vl))


def slow(rng: random.Random, value):
    """Now and then a Yielding value: too many of them and a borrow is always held somewhere."""
    return Yielding(value) if rng.random() < 0.03 else value


class SharedPool:
    """Instances of every class of both modules, shared by the threads, and every entry point the
    records list, called on them. A list that has grown past LONG, and now and then any object,
    is replaced by a fresh one, so that calls stay short."""

    LONG = 5000

    def __init__(self, seed: int):
        self.surface = entry_points.Surface()
        rng = random.Random(f"{seed}/pool")
        self.objects = {name: [self.surface.make(name, rng) for _ in range(2)] for name in self.surface.classes}
        self.arrays = self._arrays()

    @staticmethod
    def _arrays() -> list:
        """(n, 3) float64 arrays that the threads read and rewrite, one large enough for the work
        that runs without the interpreter lock, or none without NumPy."""
        try:
            import numpy as np
        except ImportError:
            return []
        return [np.full((40000, 3), 0.5), np.full((64, 3), 0.5)]

    def pick(self, name: str, rng: random.Random):
        return rng.choice(self.objects[name])

    def argument(self, ann: str, rng: random.Random):
        """A value for a parameter: a shared instance, a shared list or array for a sequence of
        vectors or rows, sometimes a number that yields to the other threads while converted."""
        s = self.surface
        if ann in s.classes:
            return self.pick(ann, rng)
        if ann == "Sequence[Vec3d]" and rng.random() < 0.3:
            return self.pick("VecList", rng)
        if ann == "Sequence[Sequence[float]]" and rng.random() < 0.6:
            if self.arrays and rng.random() < 0.7:
                return self.arrays[1] if rng.random() < 0.6 else self.arrays[0]
            return self.pick("VecList", rng)
        if ann in ("float", "int"):
            return slow(rng, s.value(ann, rng))
        return s.value(ann, rng)

    def rewrite_array(self, rng: random.Random):
        """Turns a shared array's points into NaN, or back, while other threads read it."""
        if self.arrays:
            rng.choice(self.arrays)[:] = math.nan if rng.random() < 0.5 else rng.choice((0.5, -2.0, 1e300))

    def call_any(self, rng: random.Random):
        s = self.surface
        e = rng.choice(s.entries)
        receiver = self.pick(e.owner, rng) if e.needs_receiver else None
        args = [self.argument(ann, rng) for _, ann in e.params]
        try:
            s.call(e, receiver, args)
        except ARGUMENT_ERRORS:
            pass
        except BaseException as error:
            if not entry_points.documented_panic(error):
                raise
        if e.needs_receiver and (rng.random() < 0.01 or (isinstance(receiver, VecList) and self.long(receiver))):
            group = self.objects[e.owner]
            group[next((i for i, o in enumerate(group) if o is receiver), 0)] = s.make(e.owner, rng)

    def long(self, vl) -> bool:
        try:
            return len(vl) > self.LONG
        except RuntimeError:  # another thread holds it exclusively: next time
            return False

    def left_taken(self) -> list[str]:
        return [f"{type(o).__name__} {o!r:.60}" for group in self.objects.values() for o in group
                if entry_points.borrow_flag(o).value != 0]


class Stress:
    def __init__(self, seed: int, budget: float, threads: int):
        self.seed, self.budget, self.n = seed, budget, threads
        self.pool = SharedPool(seed)
        self.vl = VecList([point(k) for k in range(64)])
        self.start_len = len(self.vl)
        self.v = Vec3d(XS[0], YS[0], ZS[0])
        self.added = [0] * threads
        self.ops = [0] * threads
        self.conflicts = [0] * threads
        self.failures: list[str] = []
        self.forks = 0
        now = time.monotonic()
        self.deadline = now + budget
        self.fork_at = [now + budget * i / 4 for i in (1, 2, 3)]  # while the other threads run

    def check_row(self, x, y, z, where):
        if not well_formed(x, y, z):
            raise AssertionError(f"{where}: element ({x!r}, {y!r}, {z!r}) was never put in")

    def check_vector(self, x, y, z, where):
        if x not in XS or y not in YS or z not in ZS:
            raise AssertionError(f"{where}: vector ({x!r}, {y!r}, {z!r}) has a value never set")

    def step(self, t: int, rng: random.Random, seen: list):
        vl, v = self.vl, self.v
        op = rng.randrange(21)
        if op >= 17:
            if op == 20:
                self.pool.rewrite_array(rng)
            else:
                self.pool.call_any(rng)
            return
        if op == 0:
            vl.append(point(rng.randrange(1000)))
            self.added[t] += 1
        elif op == 1:
            vl.extend(VecList([point(rng.randrange(1000)), point(rng.randrange(1000))]))
            self.added[t] += 2
        elif op == 2:
            vl.extend(vl)  # the same list exclusively and shared: always refused
            raise AssertionError("extending a list with itself worked")
        elif op == 3:
            vl.rotate(HALF_TURN)
        elif op == 4:
            rows = vl.to_array()
            if len(rows) < seen[0]:
                raise AssertionError(f"the list shrank from {seen[0]} to {len(rows)}")
            seen[0] = len(rows)
            for r in rows[rng.randrange(len(rows)) :][:50]:
                self.check_row(*r, "to_array")
        elif op == 5:
            n = len(vl)
            if n < seen[0]:
                raise AssertionError(f"len went from {seen[0]} to {n}")
            seen[0] = n
            e = vl[rng.randrange(n)]
            self.check_row(e.x, e.y, e.z, "index")
        elif op == 6:
            count = 0
            for e in vl:
                count += 1
                if count % 97 == 0:
                    self.check_row(e.x, e.y, e.z, "iteration")
            if count < seen[0]:
                raise AssertionError(f"iteration saw {count} elements after {seen[0]}")
        elif op == 7:
            k = slow(rng, 2)
            out = operator_on_borrowed(lambda: vl * k, "*", vl, k)
            n = len(out)
            if n < seen[0]:
                raise AssertionError(f"a product of {n} elements after {seen[0]}")
        elif op == 8:
            i, d = vl.minimum_distance_to(point(rng.randrange(1000)), slow(rng, rng.choice((1, 3, 7))))
            if not 0 <= i < len(vl) or math.isnan(d):
                raise AssertionError(f"search gave ({i}, {d})")
        elif op == 9:
            mags = vl.magnitude()
            dots = vl.dot(Vec3d(1, 0, 0))
            if len(mags) < seen[0] or len(dots) < seen[0]:
                raise AssertionError("batch results shorter than the list was")
        elif op == 10:
            v.x = rng.choice(XS)
            v.y = slow(rng, rng.choice(YS))
            v.z = rng.choice(ZS)
        elif op == 11:
            self.check_vector(v.x, v.y, v.z, "properties")
            self.check_vector(*v.to_array(), "to_array")
        elif op == 12:
            zero = Vec3d(0, 0, 0)
            w = operator_on_borrowed(lambda: v + zero, "+", v, zero)
            self.check_vector(w.x, w.y, w.z, "sum")
            hash(v)
            v.dot(v)
        elif op == 13:
            vl.collapse(slow(rng, rng.randrange(3)))
        elif op == 14:
            r = repr(vl) if rng.random() < 0.1 else repr(v)
            if not r.startswith(("[", "Vec3d(")):
                raise AssertionError(f"repr {r[:40]!r}")
        elif op == 16 and ostrilo_ext is not None:
            out = ostrilo_ext.rotate_each(vl, HalfTurns(vl, rng.random() < 0.03))
            if len(out) < seen[0]:
                raise AssertionError(f"rotate_each gave {len(out)} elements after {seen[0]}")
            for e in list(out)[rng.randrange(len(out)) :][:50]:
                self.check_row(e.x, e.y, e.z, "rotate_each")
        elif op == 15 and t == 0 and self.forks < len(self.fork_at) and time.monotonic() > self.fork_at[self.forks]:
            self.fork()

    def fork(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            code = 1
            try:
                # The pool's threads did not survive the fork: a job must start new ones.
                big = VecList([point(k % 1000) for k in range(20000)])
                code = 0 if big.dot(Vec3d(1, 0, 0))[-1] == 19999 % 1000 and len(big * 2.0) == 20000 else 2
                if ostrilo_ext is not None and code == 0:
                    turned = ostrilo_ext.rotate_each(big, [HALF_TURN] * len(big))
                    code = 0 if turned[-1].y == -2 * (19999 % 1000) else 3
            finally:
                os._exit(code)
        self.forks += 1
        give_up = time.monotonic() + 60
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            if time.monotonic() > give_up:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                raise AssertionError("a child forked from a thread hung")
            time.sleep(0.01)
        if os.waitstatus_to_exitcode(status) != 0:
            raise AssertionError(f"a child forked from a thread failed: {os.waitstatus_to_exitcode(status)}")

    def thread(self, t: int):
        rng = random.Random(f"{self.seed}/{t}")
        seen = [0]
        try:
            while time.monotonic() < self.deadline and not self.failures:
                self.ops[t] += 1
                try:
                    self.step(t, rng, seen)
                except RuntimeError as e:
                    if type(e) is not RuntimeError or str(e) not in BORROW_ERRORS:
                        raise
                    self.conflicts[t] += 1
                except Refused:
                    self.conflicts[t] += 1
        except BaseException:
            self.failures.append(f"thread {t}:\n{traceback.format_exc()}")

    def run(self) -> int:
        threads = [threading.Thread(target=self.thread, args=(t,)) for t in range(self.n)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(self.budget + 120)
            if th.is_alive():
                self.failures.append("a thread did not finish: deadlock?")
        if not self.failures:
            try:
                # With every thread gone no borrow may be left: exclusive access must work.
                try:
                    self.vl.append(point(0))
                    self.v.x = self.v.x
                except RuntimeError as e:
                    raise AssertionError(f"a borrow was left taken: {e}") from None
                expected = self.start_len + sum(self.added) + 1
                if len(self.vl) != expected:
                    raise AssertionError(f"the list has {len(self.vl)} elements, {expected} were put in")
                for r in self.vl.to_array():
                    self.check_row(*r, "at the end")
                self.check_vector(self.v.x, self.v.y, self.v.z, "at the end")
                taken = self.pool.left_taken()
                if taken:
                    raise AssertionError(f"borrows left taken in the shared pool: {taken[:5]}")
            except AssertionError as e:
                self.failures.append(str(e))
        print(f"{self.n} threads, {self.budget:g} s, seed {self.seed}: {sum(self.ops)} operations, "
              f"{sum(self.conflicts)} refused as borrowed, {sum(self.added)} elements added, {self.forks} forks")
        for f in self.failures:
            print(f"FAILED {f}")
        return 1 if self.failures else 0


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--budget", type=float, default=30.0, help="seconds")
    p.add_argument("--threads", type=int, default=6)
    p.add_argument("--seed", type=int, default=None)
    a = p.parse_args()
    seed = a.seed if a.seed is not None else int.from_bytes(os.urandom(4), "little")
    faulthandler.enable()  # a crash prints where each thread was: which entry, with what
    sys.setswitchinterval(1e-4)  # switch threads often, inside as many calls as possible
    warnings.filterwarnings("ignore", message="Gimbal lock")  # the companion's to_euler, on drawn rotations
    return Stress(seed, a.budget, a.threads).run()


if __name__ == "__main__":
    sys.exit(main())
