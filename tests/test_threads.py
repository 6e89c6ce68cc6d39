"""Threads that share objects, and first creation of a class when memory runs out.

With the interpreter lock, only the thread holding it touches a borrow flag, so threads never meet
a borrow (tests/borrowing.py stands in for them). Without it they do: those tests run only on a
free-threaded interpreter. The races of first creation themselves are tested natively
(ostrilo-py/tests/test_once.cpp)."""
import sys
import textwrap
import threading

import pytest
from borrowing import held
from conftest import load_script
from ostrilo_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList

free_threaded = pytest.mark.skipif(
    getattr(sys, "_is_gil_enabled", lambda: True)(), reason="needs an interpreter without the global lock"
)

BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")


def run_together(workers, seconds=0.5):
    """Runs each worker(stop) in its own thread, released together; returns what they raised."""
    start, stop = threading.Barrier(len(workers)), threading.Event()
    raised = []

    def body(worker):
        start.wait()
        try:
            worker(stop)
        except BaseException as e:  # noqa: BLE001 - everything raised is reported
            raised.append(e)

    threads = [threading.Thread(target=body, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    stop.wait(seconds)
    stop.set()
    for t in threads:
        t.join()
    return raised


@free_threaded
def test_append_against_iteration_raises_only_borrow_errors():
    vl = VecList([Vec3d(1, 1, 1)])
    appended = [0, 0]
    refused = []

    def borrow_errors_only(op):
        try:
            op()
        except RuntimeError as e:
            if str(e) not in BORROW_ERRORS:
                raise
            refused.append(e)
            return False
        return True

    def appender(index):
        def work(stop):
            while not stop.is_set():
                appended[index] += borrow_errors_only(lambda: vl.append(Vec3d(1, 1, 1)))

        return work

    def reader(stop):
        while not stop.is_set():
            borrow_errors_only(lambda: [v.x for v in vl])
            borrow_errors_only(lambda: vl.to_array())
            borrow_errors_only(lambda: len(vl))

    assert run_together([appender(0), appender(1), reader, reader]) == []
    assert len(vl) == 1 + sum(appended)
    assert all(row == [1.0, 1.0, 1.0] for row in vl.to_array())


@free_threaded
def test_first_use_from_eight_threads_makes_one_class(run_python):
    code = textwrap.dedent("""
        import threading
        from ostrilo_py import Vec3d, VecList
        vl = VecList([Vec3d(1, 2, 3)])
        start, types = threading.Barrier(8), []
        def first_use():
            start.wait()
            types.append(type(iter(vl)))
        threads = [threading.Thread(target=first_use) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        made = [c for c in object.__subclasses__() if c.__name__ == "VecListIterator"]
        print(len(types), len({id(t) for t in types}), len(made), made[0] is types[0])
    """)
    for _ in range(5):  # each run is a fresh process, so the class is not made yet
        r = run_python(code)
        assert r.returncode == 0, r.stderr
        assert r.stdout.split() == ["8", "1", "1", "True"]


def test_class_creation_out_of_memory_raises_and_is_retried(run_python):
    """The k-th allocation after the class's first use fails, for each k until creation succeeds:
    every failure is a MemoryError that leaves no class behind, and the next attempt starts over."""
    pytest.importorskip("_testcapi")
    code = textwrap.dedent("""
        import _testcapi, gc
        from ostrilo_py import Vec3d, VecList
        vl = VecList([Vec3d(1, 2, 3)])
        failures = 0
        for k in range(2000):
            _testcapi.set_nomemory(k, k + 1)
            try:
                it = iter(vl)
            except MemoryError:
                failures += 1
                continue
            finally:
                _testcapi.remove_mem_hooks()
            break
        gc.collect()  # a class that failed half-way is garbage in a cycle until collected
        made = [c for c in object.__subclasses__() if c.__name__ == "VecListIterator"]
        print(failures, len(made), made[0] is type(it), [v.x for v in it], [v.y for v in iter(vl)])
    """)
    r = run_python(code)
    assert r.returncode == 0, r.stderr
    failures, made, same, *rest = r.stdout.strip().split(maxsplit=3)
    assert int(failures) > 0  # the sweep did reach the creation
    assert (made, same, rest) == ("1", "True", ["[1.0] [2.0]"])


# Without the lock, an instance made or freed must not write its class's reference count, which
# every thread shares (the class is immortal on 3.13, counted per thread or deferred from 3.14).
# With the lock every instance holds a counted reference to its class, as heap types' do.
class_counted = getattr(sys, "_is_gil_enabled", lambda: True)() or (
    sys.version_info < (3, 14) and sys.maxsize < 2**32  # a 32-bit 3.13 cannot make one immortal
)


@pytest.mark.parametrize(
    "make",
    [
        lambda: Vec3d(1, 2, 3),
        lambda: AngleRadians(1.0),
        lambda: AngleDegrees(90),
        lambda: Quat(1, 0, 0, 0),
        lambda: VecList([Vec3d(1, 2, 3)]),
        lambda: iter(VecList([Vec3d(1, 2, 3)])),
    ],
    ids=["Vec3d", "AngleRadians", "AngleDegrees", "Quat", "VecList", "VecListIterator"],
)
def test_instances_and_their_class_count(make):
    cls = type(make())
    before = sys.getrefcount(cls)
    alive = [make() for _ in range(1000)]
    assert sys.getrefcount(cls) - before == (1000 if class_counted else 0)
    assert all(type(x) is cls for x in alive)
    del alive  # freed through the interpreter's deallocator without the lock: values and blocks go
    assert sys.getrefcount(cls) == before


def stress_module():
    return load_script("tools/check/stress_threads.py")


class NotATypeError(TypeError):
    pass


def test_stress_program_accepts_only_operators_refused_for_a_borrowed_receiver():
    """The stress program once counted every TypeError as a failure, though an operator whose
    receiver another thread holds returns NotImplemented and the interpreter raises TypeError."""
    stress = stress_module()
    v, zero, vl = Vec3d(1, 2, 3), Vec3d(0, 0, 0), VecList([Vec3d(1, 2, 3)])
    # Refused: the receiver is held exclusively (as another thread's setter or append would).
    with held(v), pytest.raises(stress.Refused):
        stress.operator_on_borrowed(lambda: v + zero, "+", v, zero)
    with held(vl), pytest.raises(stress.Refused):
        stress.operator_on_borrowed(lambda: vl * 2, "*", vl, 2)
    # Free receivers: the results.
    assert stress.operator_on_borrowed(lambda: v + zero, "+", v, zero) == v
    assert len(stress.operator_on_borrowed(lambda: vl * 2, "*", vl, 2)) == 1

    def raising(e):
        def f():
            raise e

        return f

    # Anything else passes through: another message, a subclass, another type of error.
    message = "unsupported operand type(s) for +: 'builtins.Vec3d' and 'builtins.Vec3d'"
    for error in (TypeError("can't multiply sequence by non-int"), NotATypeError(message), RuntimeError(message)):
        with pytest.raises(type(error)):
            stress.operator_on_borrowed(raising(error), "+", v, zero)
    with pytest.raises(TypeError, match="sequence"):
        stress.operator_on_borrowed(lambda: vl * "x", "*", vl, "x")
