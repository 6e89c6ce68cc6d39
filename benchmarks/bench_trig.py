"""Per-call cost of the angle functions: AngleRadians.sin, cos and tan and the arccosine (through
Quat.to_axis_angle) on ordinary arguments, and sin on the hardest-to-round ones.

Run: python benchmarks/bench_trig.py [--repeat N]
Prints a Markdown table of median nanoseconds per call. To compare two builds, run it with each
build's interpreter in turn, several times (the machine's speed drifts), and compare the medians.
"""
from __future__ import annotations

import math
import random
import statistics
import sys
import timeit
from pathlib import Path

import ostrilo_py as o

HARD_CASES = Path(__file__).resolve().parent.parent / "tests" / "data" / "trig-hard-cases.txt"
N = 4096


def ordinary_angles(rng: random.Random) -> list[o.AngleRadians]:
    # Mostly within a few turns, as rotations are; a few large ones.
    xs = [rng.uniform(-10.0, 10.0) for _ in range(N - N // 16)]
    xs += [math.ldexp(rng.random(), rng.randrange(4, 40)) for _ in range(N // 16)]
    rng.shuffle(xs)
    return [o.AngleRadians(x) for x in xs]


def hard_angles() -> list[o.AngleRadians]:
    lines = [line.split() for line in HARD_CASES.read_text().splitlines() if line.startswith("sin ")]
    return [o.AngleRadians(float.fromhex(parts[1])) for parts in lines[:N]]


def per_call_ns(stmt: str, env: dict, count: int, repeat: int) -> float:
    times = timeit.repeat(stmt, globals=env, number=1, repeat=repeat)
    return statistics.median(times) / count * 1e9


def main(argv: list[str]) -> int:
    repeat = int(argv[argv.index("--repeat") + 1]) if "--repeat" in argv else 21
    rng = random.Random(0x7219)
    angles = ordinary_angles(rng)
    quats = [o.Quat(rng.uniform(-1.0, 1.0), 0.0, 0.0, 1.0) for _ in range(N)]
    env = {"angles": angles, "quats": quats, "hard": hard_angles() if HARD_CASES.exists() else []}
    rows = [
        ("AngleRadians.sin", "for a in angles: a.sin()", len(angles)),
        ("AngleRadians.cos", "for a in angles: a.cos()", len(angles)),
        ("AngleRadians.tan", "for a in angles: a.tan()", len(angles)),
        ("Quat.to_axis_angle (acos)", "for q in quats: q.to_axis_angle()", len(quats)),
        ("AngleRadians.sin, hardest arguments", "for a in hard: a.sin()", len(env["hard"])),
        ("loop alone", "for a in angles: a", len(angles)),
    ]
    print("| operation | ns per call (median) |")
    print("|---|---:|")
    for label, stmt, count in rows:
        if count:
            print(f"| {label} | {per_call_ns(stmt, env, count, repeat):.1f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
