"""Every numeric operation gives the recorded bits, on every platform.

The rows come from tools/generate/make_golden.py (seeded inputs including NaN, infinities, -0.0,
subnormals, huge and tiny values); tests/golden/results.txt holds what a reference build
produced. A difference on one platform only points at floating-point code that is not
deterministic: a product contracted into a fused multiply-add, x87 excess precision, or a C
library function whose result differs between processors.

Platform differences found and removed: the first recording on x86-64 and a run on 32-bit ARM
(Debian 12, glibc 2.36 on both) disagreed in 16 tangent and cotangent rows, at multiples of pi and
next to them. Compile flags were not the cause (the module is built with -ffp-contract=off, no
fast-math, SSE2 on 32-bit x86, and all other rows agreed); the C library was. x86-64 glibc selects
an FMA build of sin, cos, tan, sincos and acos at load time where the processor has FMA, and that
build rounds differently from the plain one that 32-bit ARM runs: over two million seeded
arguments, sin, cos and tan differed by one ulp for about one argument in two thousand, acos for
one in three thousand, while x86-64 with FMA switched off
(GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA_Usable,-AVX2_Usable) agreed with ARM bit for bit. Neither
side was always the correctly rounded one, and both were 8 (cos) and 14 (tan) ulps off at the
double closest to a multiple of pi/2, 6381956970095103 * 2^797. The module therefore carries its
own correctly rounded sine, cosine, tangent and arccosine (drevan/trig.hpp, checked by
tests/test_trig.py) and calls no C library function whose result could differ; sqrt is
IEEE-exact everywhere.

What is deliberately not compared:
- NaN sign and payload outside the list operations. An invalid operation yields the processor's
  default NaN, which has the sign bit set on x86-64 and clear on ARM; only "is NaN" is recorded.
  List arithmetic gives one canonical NaN instead, and [VecList NaN bits] records its bits.
- Hash bits above the interpreter's width. The file holds 64-bit digests; a 32-bit interpreter
  is checked against their low 32 bits (with -1 turned into -2), as its hash is defined.
"""
from pathlib import Path

import pytest
from conftest import load_script
from ostrilo_tools import golden

ROOT = Path(__file__).resolve().parent.parent


def _load_generator():
    return load_script("tools/generate/make_golden.py")


make_golden = _load_generator()
RECORDED = golden.read_golden(make_golden.GOLDEN)


@pytest.mark.parametrize("name, make", make_golden.SECTIONS, ids=[name for name, _ in make_golden.SECTIONS])
def test_golden_results(name, make):
    recorded = RECORDED.get(name)
    assert recorded, f"no [{name}] section in {make_golden.GOLDEN}: run tools/generate/make_golden.py"
    problems = golden.compare(name, make(), recorded)
    assert not problems, f"{len(problems)} differences, first ones:\n" + "\n".join(problems[:25])


def test_every_recorded_section_is_generated():
    # A section left in the file after its generator was renamed would silently stop being checked.
    assert sorted(RECORDED) == sorted(name for name, _ in make_golden.SECTIONS)


# The list loops exist in several builds on x86-64 (baseline, AVX2, AVX-512) and the widest the
# processor has runs; OSTRILO_SIMD caps the choice. Each build must give the recorded bits, and so
# must each list length, whose last few elements the wide loops handle apart from the rest.
LOOP_BUILDS = [("baseline", set()), ("avx2", {"avx2"}), ("avx512", {"avx512f", "avx512dq", "avx512vl"})]

EVERY_LENGTH = """
import math, random, sys
import importlib.util
spec = importlib.util.spec_from_file_location("make_golden", {generator!r})
make_golden = importlib.util.module_from_spec(spec)
spec.loader.exec_module(make_golden)
from ostrilo_py import Quat, VecList, Vec3d
assert make_golden.main(["--check"]) == 0
rng = random.Random(11)
pick = [0.0, -0.0, math.inf, math.nan, 1e-310, 1e300, 1.0]
comp = lambda: rng.choice(pick) if rng.random() < 0.2 else rng.uniform(-4, 4)
items = [Vec3d(comp(), comp(), comp()) for _ in range(40)]
o, q = Vec3d(0.5, -2.0, 3.0), Quat(0.9, -0.1, 0.3, -0.2)
flat = lambda xs: [math.nan if math.isnan(c) else c for x in xs for c in (x if isinstance(x, Vec3d) else (x,))]
for n in range(len(items) + 1):
    part = items[:n]
    vl = VecList(part)
    for name, batch, single in [("cross", vl.cross(o), [v.cross(o) for v in part]),
                                ("normalize", vl.normalize(), [v.normalize() for v in part]),
                                ("/", vl / 3.0, [v / 3.0 for v in part]),
                                ("distance_to", vl.distance_to(o), [v.distance_to(o) for v in part])]:
        assert repr(flat(batch)) == repr(flat(single)), (n, name)
    vl.rotate(q)
    assert repr(flat(vl)) == repr(flat([q.rotate(v) for v in part])), (n, "rotate")
"""


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as f:
            return next((set(line.split(":", 1)[1].split()) for line in f if line.startswith("flags")), set())
    except OSError:
        return set()


@pytest.mark.parametrize("build, needs", LOOP_BUILDS, ids=[b for b, _ in LOOP_BUILDS])
def test_golden_results_with_each_loop_build(build, needs, run_python):
    import platform

    if platform.machine() not in ("x86_64", "AMD64"):
        pytest.skip("one build of the list loops only")
    if not needs <= _cpu_flags():
        pytest.skip(f"this processor cannot run the {build} loops")
    r = run_python(EVERY_LENGTH.format(generator=str(ROOT / "tools" / "generate" / "make_golden.py")), env={"OSTRILO_SIMD": build})
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]


# NaN payloads through every loop build, at every length up to a few vector widths past the
# unrolled tails: list arithmetic gives the canonical NaN whatever the payloads and the operand
# order the compiler chose, collapse keeps the copied bits, and the nearest search ranks every
# NaN alike (last, lowest index first) at every stride. The reference is plain Python.
NAN_BITS = """
import math, random, struct
from ostrilo_py import Quat, VecList, Vec3d
bits = lambda x: struct.unpack("<Q", struct.pack("<d", x))[0]
of = lambda b: struct.unpack("<d", struct.pack("<Q", b))[0]
CANON = 0x7FF8000000000000
nans = [of(b) for b in (0x7FF8000000000100, 0x7FF8000000000001, 0xFFF8000000000300, 0x7FF4000000000007,
                        0xFFFFFFFFFFFFFFFF)]
rng = random.Random(5)
comp = lambda: rng.choice(nans) if rng.random() < 0.3 else rng.uniform(-4, 4)
flat = lambda xs: [c for x in xs for c in ((x.x, x.y, x.z) if isinstance(x, Vec3d) else (x,))]
bad = []

def check(n, name, got, want, copied=False):
    for g, w in zip(flat(got), flat(want)):
        if math.isnan(w):
            ok = bits(g) == (bits(w) if copied else CANON)
        else:
            ok = bits(g) == bits(w)
        if not ok:
            bad.append((n, name, hex(bits(g)), hex(bits(w))))
            return

def nearest(items, o, stride):
    def key(i):
        v = items[i]
        d2 = ((v.x - o.x) ** 2 + (v.y - o.y) ** 2) + (v.z - o.z) ** 2
        return (1, 0.0) if math.isnan(d2) else (0, d2)
    i = min(range(0, len(items), stride), key=lambda k: (key(k), k))
    return min(range(max(0, i - stride), min(len(items), i + stride)), key=lambda k: (key(k), k))

o, q = Vec3d(nans[2], 0.5, -1.0), Quat(0.5, 0.5, nans[1], 0.5)
for n in range(71):
    items = [Vec3d(comp(), comp(), comp()) for _ in range(n)]
    vl = VecList(items)
    for name, batch, single in [
            ("+", vl + o, [v + o for v in items]), ("-", vl - Vec3d(1, 2, 3), [v - Vec3d(1, 2, 3) for v in items]),
            ("*", vl * nans[3], [v * nans[3] for v in items]), ("r*", 2.5 * vl, [2.5 * v for v in items]),
            ("/", vl / 3.0, [v / 3.0 for v in items]), ("dot", vl.dot(o), [v.dot(o) for v in items]),
            ("cross", vl.cross(o), [v.cross(o) for v in items]),
            ("distance_to", vl.distance_to(o), [v.distance_to(o) for v in items]),
            ("distance_squared", vl.distance_squared(Vec3d(1, 1, 1)),
             [v.distance_squared(Vec3d(1, 1, 1)) for v in items]),
            ("magnitude", vl.magnitude(), [v.magnitude() for v in items]),
            ("normalize", vl.normalize(), [v.normalize() for v in items])]:
        check(n, name, batch, single)
    check(n, "collapse", vl.collapse(0), [Vec3d(0.0, v.y, v.z) for v in items], copied=True)
    turned = VecList(vl)
    turned.rotate(q)
    check(n, "rotate", turned, [q.rotate(v) for v in items])
    for target in (Vec3d(0, 0, 0), o):
        for stride in sorted({1, 2, 3, 5, 8, n + 1}):
            if n == 0:
                continue
            j, d = vl.minimum_distance_to(target, stride)
            want = nearest(items, target, stride)
            if j != want or (math.isnan(d) and bits(d) != CANON):
                bad.append((n, "nearest", stride, (j, d), want))
print(bad[:10] if bad else "ok")
"""


@pytest.mark.parametrize("build, needs", LOOP_BUILDS, ids=[b for b, _ in LOOP_BUILDS])
def test_nan_payloads_with_each_loop_build(build, needs, run_python):
    import platform

    if platform.machine() not in ("x86_64", "AMD64") and build != "baseline":
        pytest.skip("one build of the list loops only")
    if not needs <= _cpu_flags():
        pytest.skip(f"this processor cannot run the {build} loops")
    r = run_python(NAN_BITS, env={"OSTRILO_SIMD": build})
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    assert r.stdout.strip() == "ok", r.stdout[-3000:]
