import importlib.util
import math
import os
import struct
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def load_script(relative: str):
    """A program of the repository (an example, a generator, a checking tool) as a module, loaded
    from its file: none of them is on the import path."""
    path = ROOT / relative
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def bits(x: float) -> int:
    """The IEEE-754 bit pattern of a float, so that -0.0 and NaN compare exactly."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def same_float(a: float, b: float) -> bool:
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def correctly_rounded(name: str, x: float) -> float:
    """sin, cos, tan or acos of x rounded once to the nearest double, the reference for the
    module's own functions (the C library's may be an ulp away, and differently so per platform)."""
    mpmath = pytest.importorskip("mpmath")

    if x == 0 and name in ("sin", "tan"):
        return x  # keeps the sign of zero, which the multiprecision value has not
    if math.isnan(x) or math.isinf(x) or (name == "acos" and abs(x) > 1):
        return getattr(math, name)(x) if not math.isinf(x) else float("nan")
    with mpmath.workprec(256):
        return float(getattr(mpmath, name)(mpmath.mpf(x)))


def assert_vec(v, expected):
    """Compare the components of v (anything with x, y, z) with expected bit for bit."""
    got = (v.x, v.y, v.z)
    assert all(same_float(g, e) for g, e in zip(got, expected)), f"{got!r} != {tuple(expected)!r}"


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (optionally with extra environment) and returns it."""
    import subprocess
    import sys

    def run(code: str, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
        full_env = dict(os.environ)
        if env:
            full_env.update(env)
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full_env,
                              timeout=timeout)

    return run


# Hypothesis' per-example deadline is a timing check: on a shared or emulated machine (the armhf
# job runs the suite through qemu-user) a slow example says nothing about the code. Timing
# belongs to the benchmarks, so the deadline is off everywhere.
try:
    from hypothesis import settings as _settings
except ImportError:
    pass
else:
    _settings.register_profile("no-deadline", deadline=None)
    _settings.load_profile("no-deadline")
