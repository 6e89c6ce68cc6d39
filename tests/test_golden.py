"""Every numeric operation gives the recorded bits, on every platform.

The rows come from tools/make_golden.py (seeded inputs including NaN, infinities, -0.0,
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
- NaN sign and payload. An invalid operation yields the processor's default NaN, which has the
  sign bit set on x86-64 and clear on ARM; only "is NaN" is recorded.
- Hash bits above the interpreter's width. The file holds 64-bit digests; a 32-bit interpreter
  is checked against their low 32 bits (with -1 turned into -2), as its hash is defined.
"""
import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _load_generator():
    spec = importlib.util.spec_from_file_location("make_golden", ROOT / "tools" / "make_golden.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


make_golden = _load_generator()
RECORDED = make_golden.read_golden()


@pytest.mark.parametrize("name, make", make_golden.SECTIONS, ids=[name for name, _ in make_golden.SECTIONS])
def test_golden_results(name, make):
    recorded = RECORDED.get(name)
    assert recorded, f"no [{name}] section in {make_golden.GOLDEN}: run tools/make_golden.py"
    problems = make_golden.compare(name, make(), recorded)
    assert not problems, f"{len(problems)} differences, first ones:\n" + "\n".join(problems[:25])


def test_every_recorded_section_is_generated():
    # A section left in the file after its generator was renamed would silently stop being checked.
    assert sorted(RECORDED) == sorted(name for name, _ in make_golden.SECTIONS)
