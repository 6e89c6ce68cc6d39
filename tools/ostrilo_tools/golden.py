"""What the golden-result generators share (tools/generate/make_golden.py for ostrilo_py,
tools/generate/make_golden_ext.py for ostrilo_ext): the seeded inputs, how a value is written,
and the file that holds the rows, read, compared and written.

A golden file is "[Section]" lines, each followed by one "label<TAB>value" line per row; lines
starting with "#" are comments. A generator is a list of sections, (name, function returning
(label, value) rows), and calls main() with its file.

How values are written:
- floats as float.hex(), which is exact and keeps -0.0 and the infinities apart. Every NaN is
  written "nan": the NaN that an invalid operation (0 * inf, inf - inf, 0 / 0) produces is the
  processor's default NaN, whose sign bit is set on x86-64 and clear on ARM. Outside the list
  operations the module makes no promise about the sign or payload of a NaN (its text form and
  hash treat all NaNs alike), so only "is NaN" is compared. Where a section promises the bits of
  its NaNs, its rows pass values through exact(), which writes every NaN as "nan:" and its 64 bits.
- vectors and the other instances as their class name and fields, lists item by item, bools as
  True/False, texts as they are (line feeds escaped as \\n by one_line), an exception as
  "raises Type: message".
- hashes as the full 64-bit digest, which only a 64-bit interpreter shows. A 32-bit interpreter
  shows the digest truncated to 32 bits (and -1 turned into -2); the comparison applies that same
  rule to the recorded digest, so one file serves both widths and the 64-bit side still checks
  every bit. A file with hashes is therefore regenerated on a 64-bit interpreter.

Inputs are built from integer draws and exact constructions (bit patterns, ldexp) only, so they
are the same doubles on every platform.
"""
import functools
import inspect
import math
import random
import struct
import sys
import types


@functools.cache
def record_fields(cls: type) -> tuple[str, ...] | None:
    """The fields an instance of one of the module's classes is written with: the parameters of
    its constructor, in order, when each of them reads back as a property of the same name."""
    try:
        params = tuple(inspect.signature(cls).parameters)
    except (TypeError, ValueError):
        return None
    if params and all(isinstance(inspect.getattr_static(cls, p, None), types.GetSetDescriptorType) for p in params):
        return params
    return None


class Hash(int):
    """A hash value as the interpreter returned it; written as a 64-bit digest."""


class Raised:
    """An exception a call raised, written as its type and message."""

    def __init__(self, error: BaseException):
        self.text = f"raises {type(error).__name__}: {error}"



def outcome(call):
    """The value a call returns, or the ValueError it raises."""
    try:
        return call()
    except ValueError as e:
        return Raised(e)


def one_line(text: str) -> str:
    """A text with its line feeds (and backslashes) escaped, for texts that span lines."""
    return text.replace("\\", "\\\\").replace("\n", "\\n")


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
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return hexf(value)
    if isinstance(value, str):
        return value
    if isinstance(value, Raised):
        return value.text
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(render(v) for v in value) + "]"
    fields = record_fields(type(value))
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


def geometry_vectors(rng, count):
    """Points and normals for the geometry sections: axes, small integers, unit-ish vectors with
    full mantissas, and a few non-finite and degenerate ones."""
    comps = [(0.0, 0.0, 1.0), (0.0, 0.0, -1.0), (0.0, 1.0, 0.0), (1.0, 0.0, 0.0), (0.0, 0.0, 2.0),
             (1.0, 1.0, 1.0), (1.0, 2.0, 3.0), (0.0, 0.0, 0.0), (-0.0, -0.0, -0.0), (3.0, -4.0, 12.0),
             (0.6, 0.8, 0.0), (1e-300, 0.0, 0.0), (1e300, 1e300, 0.0), (NAN, 0.0, 1.0), (INF, 0.0, 0.0)]
    while len(comps) < count:
        kind = rng.randrange(3)
        if kind == 0:
            comps.append(tuple(float(rng.randrange(-6, 7)) for _ in range(3)))
        elif kind == 1:
            comps.append(tuple(math.ldexp(rng.getrandbits(53) - 2**52, -51) for _ in range(3)))
        else:
            comps.append(tuple(math.ldexp(rng.getrandbits(53) - 2**52, rng.randrange(-70, 10)) for _ in range(3)))
    return comps



def exact(value):
    """value with every float written as its bits where it is a NaN (sign and payload kept)."""
    if isinstance(value, float):
        return f"nan:{struct.unpack('<Q', struct.pack('<d', value))[0]:016x}" if math.isnan(value) else value
    if isinstance(value, (list, tuple)):
        return [exact(v) for v in value]
    fields = record_fields(type(value))
    if fields is not None:
        return [exact(getattr(value, f)) for f in fields]
    return value



# ---------------------------------------------------------------------------------------------
# The file

def read_golden(path):
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


def write_golden(path, sections, comments):
    """Writes every section's rows after the comment lines; returns the number of lines."""
    lines = [f"# {c}" for c in comments]
    for name, make in sections:
        lines.append(f"[{name}]")
        for label, value in make():
            text = render(value)
            if "\t" in label or "\n" in label or "\n" in text:
                raise ValueError(f"row {label!r} cannot be written on one line")
            lines.append(f"{label}\t{text}")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return len(lines)


def check(path, sections):
    """Every difference between the sections' rows and the file, as readable lines."""
    recorded = read_golden(path)
    problems = []
    for name, make in sections:
        problems += compare(name, make(), recorded.get(name, []))
    return problems


def main(argv, path, sections, comments, hashes=False):
    """A generator's command line: --check compares, otherwise the file is rewritten (on a 64-bit
    interpreter when its rows hold hashes)."""
    if "--check" in argv:
        problems = check(path, sections)
        print("\n".join(problems) if problems else "golden results match")
        return 1 if problems else 0
    if hashes and sys.maxsize <= 2**32:
        print("regenerate on a 64-bit interpreter: a 32-bit one cannot show the full hash digests",
              file=sys.stderr)
        return 2
    print(f"wrote {path} ({write_golden(path, sections, comments)} lines)")
    return 0
