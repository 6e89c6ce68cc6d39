#!/usr/bin/env python3
"""Golden results: a fixed, seeded set of inputs run through every numeric operation.

    python tools/make_golden.py           rewrite tests/golden/results.txt from the built module
    python tools/make_golden.py --check   compare only, exit 1 on a difference

tests/test_golden.py imports this file and compares its rows with the committed file, so the
same bits must come out on every platform (x86-64, 32-bit ARM, ...).

Layout: one function per class returns a list of (label, value) rows; SECTIONS lists them in
file order. To cover a new class, write its function and add it to SECTIONS, then regenerate on
a 64-bit machine and review the diff.

How values are written:
- floats as float.hex(), which is exact and keeps -0.0 and the infinities apart. Every NaN is
  written "nan": the NaN that an invalid operation (0 * inf, inf - inf, 0 / 0) produces is the
  processor's default NaN, whose sign bit is set on x86-64 and clear on ARM. The module makes no
  promise about the sign or payload of a NaN (its text form and hash treat all NaNs alike), so
  only "is NaN" is compared.
- vectors as their three components, lists item by item, bools as True/False, texts as they are.
- hashes as the full 64-bit digest, which only a 64-bit interpreter shows. A 32-bit interpreter
  shows the digest truncated to 32 bits (and -1 turned into -2); the comparison applies that same
  rule to the recorded digest, so one file serves both widths and the 64-bit side still checks
  every bit. Regenerating therefore needs a 64-bit interpreter.
"""
import math
import random
import struct
import sys
from pathlib import Path

GOLDEN = Path(__file__).resolve().parent.parent / "tests" / "golden" / "results.txt"
SEED = 0x05781107


# How an instance of each of the module's classes is written: its class name and these
# properties in order. A new class needs its line here.
RECORD_FIELDS = {
    "Vec3d": ("x", "y", "z"),
}


class Hash(int):
    """A hash value as the interpreter returned it; written as a 64-bit digest."""


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def hexf(x: float) -> str:
    return "nan" if math.isnan(x) else float.hex(x)


def render(value) -> str:
    """The text that stands for a value in the golden file."""
    if isinstance(value, Hash):
        if sys.maxsize <= 2**32:
            raise RuntimeError("a 32-bit interpreter cannot show the full 64-bit digest")
        return f"0x{int(value) & 0xFFFFFFFFFFFFFFFF:016x}"
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, float):
        return hexf(value)
    if isinstance(value, str):
        return value
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(render(v) for v in value) + "]"
    fields = RECORD_FIELDS.get(type(value).__name__)
    if fields is not None:
        return f"{type(value).__name__}[" + ", ".join(render(getattr(value, f)) for f in fields) + "]"
    raise TypeError(f"no golden form for {type(value).__name__}")


def hash_matches(recorded: str, value: int) -> bool:
    """Whether an interpreter's hash agrees with a recorded 64-bit digest at its own width."""
    digest = int(recorded, 16)
    bits = sys.hash_info.width
    low = digest & ((1 << bits) - 1)
    signed = low - (1 << bits) if low >> (bits - 1) else low
    return int(value) == (-2 if signed == -1 else signed)


# ---------------------------------------------------------------------------------------------
# Inputs. Only integer draws from the generator and exact constructions (bit patterns, ldexp)
# are used, so the inputs are the same doubles on every platform.

NAN = float("nan")
INF = float("inf")
MAX = 1.7976931348623157e308
TINY = 5e-324  # smallest subnormal
MIN_NORMAL = 2.2250738585072014e-308
EPS = 2.220446049250313e-16

SPECIAL = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, 0.1, 1.0 / 3.0, math.pi, EPS, 1.0 + EPS, 1.0 - EPS / 2,
    NAN, INF, -INF,
    from_bits(0x7FF0000000000001),  # signalling NaN
    from_bits(0xFFF8000000000000),  # negative quiet NaN
    from_bits(0x7FFDEADBEEF00001),  # NaN with a payload
    TINY, -TINY, MIN_NORMAL, from_bits(0x000FFFFFFFFFFFFF),  # largest subnormal
    MAX, -MAX, 1e308, 1e300, 1e-300, 1e-308, 1.3407807929942596e154, 1.4916681462400413e-154,
    1e154, 1e-160, 9007199254740993.0, 123456789.125, -2.5e-5,
]


def random_double(rng: random.Random) -> float:
    kind = rng.randrange(6)
    if kind == 0:
        return SPECIAL[rng.randrange(len(SPECIAL))]
    if kind == 1:  # any bit pattern: NaNs, subnormals, huge and tiny values alike
        return from_bits(rng.getrandbits(64))
    if kind == 2:  # modest magnitudes with full mantissas
        return math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-60, 10))
    if kind == 3:  # small integers, where exact cancellation happens
        return float(rng.randrange(-8, 9))
    if kind == 4:  # near the ends of the exponent range
        return math.ldexp(rng.getrandbits(53) - 2**52, rng.choice([-1126, -1100, -1074, -1060, 960, 970]))
    return math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-1126, 972))


# ---------------------------------------------------------------------------------------------
# Sections

def vec3d_rows():
    from ostrilo_py import Vec3d

    rng = random.Random(SEED)
    comps = [
        (0.0, 0.0, 0.0), (-0.0, -0.0, -0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0),
        (1.0, 1.0, 1.0), (1.0, 3.0, 3.0), (0.6, 0.8, 0.0), (1.0, 2.0, 3.0), (-4.0, 5.0, -6.0),
        (0.1, 0.2, 0.3), (NAN, 0.0, 0.0), (INF, -INF, 0.0), (INF, INF, INF), (MAX, MAX, MAX),
        (TINY, -TINY, MIN_NORMAL), (1e154, 1e154, 1e154), (1e-160, 1e-160, 1e-160),
        (1e300, 1e-300, 1.0), (from_bits(0x7FF0000000000001), from_bits(0xFFF8000000000000), 1.0),
        (-0.0, 1e-320, -INF), (1.0 + EPS, -1.0, 0.5), (0.0, 0.0, 1e-200),
    ]
    while len(comps) < 64:
        comps.append((random_double(rng), random_double(rng), random_double(rng)))
    vecs = [Vec3d(*c) for c in comps]
    n = len(vecs)
    scalars = [0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.0, 0.1, 1e-300, 1e300, TINY, MAX, INF, -INF, NAN]
    while len(scalars) < 24:
        scalars.append(random_double(rng))

    rows = []
    for i, v in enumerate(vecs):
        rows.append((f"v{i}", v))  # construction stores the doubles unchanged
    for i, s in enumerate(scalars):
        rows.append((f"s{i}", s))

    for name, f in [("zero", Vec3d.zero), ("i", Vec3d.i), ("j", Vec3d.j), ("k", Vec3d.k)]:
        rows.append((f"Vec3d.{name}()", f()))

    for i, v in enumerate(vecs):
        a = f"v{i}"
        rows += [
            (f"repr({a})", repr(v)),
            (f"str({a})", str(v)),
            (f"hash({a})", Hash(hash(v))),
            (f"{a}.magnitude()", v.magnitude()),
            (f"{a}.is_unit()", v.is_unit()),
            (f"{a}.normalize()", v.normalize()),
            (f"-{a}", -v),
            (f"{a}.to_array()", v.to_array()),
            (f"{a}[0..2]", [v[0], v[1], v[2]]),
            (f"list({a})", list(v)),
        ]

    pairs = [(i, i) for i in range(0, n, 7)] + [(rng.randrange(n), rng.randrange(n)) for _ in range(180)]
    for i, j in pairs:
        v, w = vecs[i], vecs[j]
        a, b = f"v{i}", f"v{j}"
        rows += [
            (f"{a}.dot({b})", v.dot(w)),
            (f"{a}.cross({b})", v.cross(w)),
            (f"{a}.distance_to({b})", v.distance_to(w)),
            (f"{a}.distance_squared({b})", v.distance_squared(w)),
            (f"{a}.project_onto_plane({b})", v.project_onto_plane(w)),
            (f"Vec3d.new_from_to({a}, {b})", Vec3d.new_from_to(v, w)),
            (f"{a} + {b}", v + w),
            (f"{a} - {b}", v - w),
            (f"{a} == {b}", v == w),
            (f"{a} != {b}", v != w),
        ]

    for _ in range(120):
        i, j, k = rng.randrange(n), rng.randrange(n), rng.randrange(n)
        u, v, w = vecs[i], vecs[j], vecs[k]
        a, b, c = f"v{i}", f"v{j}", f"v{k}"
        rows += [
            (f"{a}.scalar_triple_product({b}, {c})", u.scalar_triple_product(v, w)),
            (f"{a}.distance_to_line({b}, {c})", u.distance_to_line(v, w)),
            (f"{a}.project_onto_line({b}, {c})", u.project_onto_line(v, w)),
        ]

    for i in range(n):
        for k in sorted(rng.sample(range(len(scalars)), 4)):
            v, s = vecs[i], scalars[k]
            a, b = f"v{i}", f"s{k}"
            rows += [(f"{a} * {b}", v * s), (f"{b} * {a}", s * v), (f"{a} / {b}", v / s)]

    # The equality tolerance is absolute and strict: walk each component across |d| = eps.
    steps = [0.0, EPS / 2, math.nextafter(EPS, 0.0), EPS, math.nextafter(EPS, 1.0), 2 * EPS, 1e-300]
    bases = [(0.0, 0.0, 0.0), (1.0, -1.0, 0.5), (0.25, 1e-17, -3.0), (1e-16, -1e-16, 2.0)]
    for bi, base in enumerate(bases):
        for axis in range(3):
            for si, d in enumerate(steps):
                for sign in (1.0, -1.0):
                    moved = list(base)
                    moved[axis] = base[axis] + sign * d
                    v, w = Vec3d(*base), Vec3d(*moved)
                    label = f"eq base{bi} axis{axis} step{si}{'+' if sign > 0 else '-'}"
                    rows += [(f"{label} ==", v == w), (f"{label} !=", v != w)]
    return rows


SECTIONS = [
    ("Vec3d", vec3d_rows),
]


# ---------------------------------------------------------------------------------------------
# The file: "[Section]" lines, then one "label<TAB>value" line per row.

def read_golden(path=GOLDEN):
    sections = {}
    current = None
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line or line.startswith("#"):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1], [])
            continue
        label, _, text = line.partition("\t")
        current.append((label, text))
    return sections


def compare(name, rows, recorded):
    """Differences between freshly computed rows and the recorded ones, as readable lines."""
    problems = []
    if [label for label, _ in rows] != [label for label, _ in recorded]:
        return [f"[{name}] the row labels differ from the recorded file: regenerate it"]
    for (label, value), (_, text) in zip(rows, recorded):
        if isinstance(value, Hash):
            ok = hash_matches(text, value)
            got = f"hash {int(value)}"
        else:
            got = render(value)
            ok = got == text
        if not ok:
            problems.append(f"[{name}] {label}: got {got}, recorded {text}")
    return problems


def write_golden(path=GOLDEN):
    lines = [
        "# Generated by tools/make_golden.py; compared by tests/test_golden.py.",
        "# Floats are float.hex(), every NaN is 'nan', hashes are 64-bit digests.",
    ]
    for name, make in SECTIONS:
        lines.append(f"[{name}]")
        for label, value in make():
            text = render(value)
            if "\t" in label or "\n" in label or "\n" in text:
                raise ValueError(f"row {label!r} cannot be written on one line")
            lines.append(f"{label}\t{text}")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return len(lines)


def main(argv):
    if "--check" in argv:
        recorded = read_golden()
        problems = []
        for name, make in SECTIONS:
            problems += compare(name, make(), recorded.get(name, []))
        print("\n".join(problems) if problems else "golden results match")
        return 1 if problems else 0
    if sys.maxsize <= 2**32:
        print("regenerate on a 64-bit interpreter: a 32-bit one cannot show the full hash digests",
              file=sys.stderr)
        return 2
    n = write_golden()
    print(f"wrote {GOLDEN} ({n} lines)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
