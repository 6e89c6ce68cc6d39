"""The figures of the performance page, from one run of the benchmarks.

    python tools/generate/perf_plots.py run [--sizes 3,4,5,6,7]   run the benchmarks, then plot
    python tools/generate/perf_plots.py plot                       plot the committed run again

`run` runs benchmarks/bench_vec3d.py and benchmarks/bench_batch.py with the interpreter it runs
under (install the module with `pip install ".[bench]"`, plus matplotlib) and keeps their Markdown
output, the date and the machine in docs/performance/. On a processor with AVX-512 it runs the
batch benchmark a second time with OSTRILO_SIMD=avx2 (bench_batch_avx2.md), the loops a processor
without AVX-512 runs. `plot` reads those files back, writes the numbers as CSV (per_call.csv,
batch.csv, bandwidth.csv) and draws per_call.png, batch.png and bandwidth.png, and the text the
page includes (run.txt). Every figure names the processor, and the batch figures the loop build
and the worker pool's size, as the batch benchmark recorded them.

Per call, every "ratio vs X" column of bench_vec3d.py becomes one series (PyGLM and the
dataclass today; CPython's complex wherever the benchmark has that column, and nothing breaks
without it). The ratio is our time over theirs: below 1, ostrilo_py is faster.
"""
from __future__ import annotations

import argparse
import csv
import json
import os
import platform
import re
import subprocess
import sys
from datetime import UTC, datetime
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "docs" / "performance"


def tables(text: str) -> list[tuple[str, list[dict[str, str]]]]:
    """Every Markdown table of a benchmark's output with the last non-table line before it."""
    out: list[tuple[str, list[dict[str, str]]]] = []
    title, header, rows = "", None, None
    for line in text.splitlines() + [""]:
        if line.startswith("|"):
            cells = [c.strip().replace("`", "") for c in line.strip().strip("|").split("|")]
            if header is None:
                header, rows = cells, []
            elif not set("".join(cells)) <= set("-: "):
                rows.append(dict(zip(header, cells)))
            continue
        if header is not None:
            out.append((title, rows))
            header = None
        if line.strip():
            title = line.strip()
    return out


def number(cell: str) -> float | None:
    m = re.match(r"-?[0-9.]+", cell or "")
    return float(m.group()) if m else None


def per_call(text: str) -> list[dict]:
    """Rows of operation, comparison, our ns, their ns, ratio."""
    out = []
    for _, rows in tables(text):
        for r in rows:
            for col in r:
                if not col.startswith("ratio vs "):
                    continue
                other = col[len("ratio vs "):]
                theirs = next((c for c in r if c != col and other.lower().split()[0] in c.lower()
                               and not c.startswith("ratio")), None)
                ratio = number(r[col])
                if ratio:
                    out.append({"operation": r["operation"], "against": other, "ostrilo_py_ns": number(r["ostrilo_py"]),
                                "their_ns": number(r[theirs]) if theirs else None, "ratio": ratio})
    return out


def batch_setting(text: str) -> dict[str, str]:
    """What the batch benchmark says it ran on: processor, loop build, worker pool."""
    m = re.search(r"^Processor: (.*); loop build: (.*); worker pool: (\d+) threads$", text, re.M)
    return {"processor": m.group(1), "loops": m.group(2), "pool": m.group(3)} if m else {}


def batch(text: str, loops: str = "") -> tuple[list[dict], list[dict]]:
    """Batch rows (operation, n, our ms, their ms, ratio, threads) and the memory-bandwidth rows."""
    rows_out, bandwidth = [], []
    for title, rows in tables(text):
        m = re.fullmatch(r"n = 10\^(\d+)", title)
        if m:
            n = 10 ** int(m.group(1))
            for r in rows:
                ours, theirs, ratio = number(r["ostrilo_py"]), number(r["numpy"]), number(r["ratio"])
                if not ratio and ours and theirs:  # printed as 0.00: take it from the times
                    ratio = ours / theirs
                threads = number(r.get("threads", ""))
                rows_out.append({"operation": r["operation"], "n": n, "loops": loops, "ostrilo_py_ms": ours,
                                 "numpy_ms": theirs, "ratio": ratio, "threads": int(threads) if threads else None})
        elif title.startswith("Memory bandwidth"):
            for r in rows:
                bandwidth.append({"operation": r["operation"], "GB_per_s": number(r["GB/s"])})
    return rows_out, bandwidth


STREAMING = ("vl + v", "vl * s", "vl / s")


def bandwidth_points(rows: list[dict], measured: list[dict]) -> list[dict]:
    """The points of the bandwidth figure, which bandwidth.csv lists: each streaming operation's
    bytes read and written per second (24 in and 24 out per element) at 10^5 elements and more,
    then the rows of the benchmark's own memory-bandwidth table where its run printed one."""
    out = []
    for op in STREAMING:
        for r in sorted((r for r in rows if r["operation"] == op and r["ostrilo_py_ms"] and r["n"] >= 10**5),
                        key=lambda r: r["n"]):
            out.append({"operation": op, "n": r["n"], "GB_per_s": round(48 * r["n"] / (r["ostrilo_py_ms"] / 1e3) / 1e9, 3),
                        "source": "batch table"})
    n_max = max((r["n"] for r in rows), default=None)
    for b in measured:
        if b["GB_per_s"]:
            out.append({"operation": b["operation"], "n": n_max if b["operation"].startswith("vl + v") else 10**7,
                        "GB_per_s": b["GB_per_s"], "source": "memory bandwidth table"})
    return out


def write_csv(path: Path, rows: list[dict]) -> None:
    with path.open("w", newline="") as f:
        if rows:
            w = csv.DictWriter(f, fieldnames=list(rows[0]))
            w.writeheader()
            w.writerows(rows)


def run(sizes: str) -> None:
    OUT.mkdir(parents=True, exist_ok=True)
    info = {"date": datetime.now(UTC).strftime("%Y-%m-%d %H:%M UTC"),
            "python": platform.python_version(), "machine": platform.machine(),
            "processors": os.cpu_count(), "processor": _cpu_name(), "commands": [],
            "load_average_before": round(os.getloadavg()[0], 1)}
    runs = [("bench_vec3d.py", [], {}, "bench_vec3d.md"), ("bench_batch.py", ["--sizes", sizes], {}, "bench_batch.md")]
    if "avx512f" in _cpu_flags():  # the loops of a processor without AVX-512, on this one
        runs.append(("bench_batch.py", ["--sizes", sizes], {"OSTRILO_SIMD": "avx2"}, "bench_batch_avx2.md"))
    else:
        (OUT / "bench_batch_avx2.md").unlink(missing_ok=True)
    for script, args, env, output in runs:
        cmd = [sys.executable, str(ROOT / "benchmarks" / script), *args]
        print("running", *(f"{k}={v}" for k, v in env.items()), " ".join(cmd[1:]), flush=True)
        out = subprocess.run(cmd, check=True, capture_output=True, text=True, env={**os.environ, **env}).stdout
        (OUT / output).write_text(out)
        info["commands"].append(" ".join([*(f"{k}={v}" for k, v in env.items()), "python", f"benchmarks/{script}",
                                          *args]))
    info["load_average_after"] = round(os.getloadavg()[0], 1)
    (OUT / "run.json").write_text(json.dumps(info, indent=2) + "\n")


def _cpu_flags() -> set[str]:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("flags"):
                return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def _cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def plot() -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    info = json.loads((OUT / "run.json").read_text())
    calls = per_call((OUT / "bench_vec3d.md").read_text())
    runs = []  # (setting, rows) of each batch run: the widest loops first
    for name in ("bench_batch.md", "bench_batch_avx2.md"):
        if (OUT / name).exists():
            text = (OUT / name).read_text()
            setting = batch_setting(text)
            runs.append((setting, *batch(text, setting.get("loops", ""))))
    rows, bandwidth = runs[0][1], runs[0][2]
    write_csv(OUT / "per_call.csv", calls)
    write_csv(OUT / "batch.csv", [r for _, rs, _ in runs for r in rs])
    points = bandwidth_points(rows, bandwidth)
    write_csv(OUT / "bandwidth.csv", points)
    stamp = f"measured {info['date']}, CPython {info['python']}, {info['processors']} x {info['processor']}"

    def loops_of(setting: dict[str, str]) -> str:
        if not setting:
            return ""
        return f"{setting['loops']} loops, worker pool of {setting['pool']}"

    # Per call: one bar per operation and comparison, log scale around 1.
    ops = list(dict.fromkeys(c["operation"] for c in calls))
    against = list(dict.fromkeys(c["against"] for c in calls))
    fig, ax = plt.subplots(figsize=(9, 0.45 * len(ops) + 1.6))
    height = 0.8 / max(1, len(against))
    for k, other in enumerate(against):
        ratio = {c["operation"]: c["ratio"] for c in calls if c["against"] == other}
        ys = [i + (k - (len(against) - 1) / 2) * height for i, op in enumerate(ops) if op in ratio]
        xs = [ratio[op] for op in ops if op in ratio]
        line = ax.hlines(ys, 1.0, xs, color=f"C{k}", linewidth=2)  # from parity to the ratio
        ax.plot(xs, ys, "o", color=line.get_color()[0], label=f"vs {other}")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(range(len(ops)), ops, fontfamily="monospace")
    ax.invert_yaxis()
    ax.set_xlabel("time per call, ostrilo_py / other (below 1: ostrilo_py is faster)")
    ax.set_title(f"Per call: Vec3d against other types\n{stamp}", fontsize=9)
    ax.legend(loc="lower right", fontsize=8)
    fig.tight_layout()
    fig.savefig(OUT / "per_call.png", dpi=110)
    plt.close(fig)

    # Batch: ratio against numpy (scipy for rotation) over the list size, one panel per loop build.
    fig, axes = plt.subplots(1, len(runs), figsize=(9 * len(runs), 5.5), sharey=True, squeeze=False)
    for ax, (setting, run_rows, _) in zip(axes[0], runs):
        for op in dict.fromkeys(r["operation"] for r in run_rows):
            pts = sorted((r["n"], r["ratio"]) for r in run_rows if r["operation"] == op and r["ratio"])
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", label=op)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("elements in the list")
        ax.set_title(f"{loops_of(setting)}\n{stamp}", fontsize=9)
        ax.legend(fontsize=8, ncol=2)
    axes[0][0].set_ylabel("time, ostrilo_py / numpy (below 1: ostrilo_py is faster)")
    fig.suptitle("Batch operations against numpy (scipy's Rotation for rotate)", fontsize=11)
    fig.tight_layout()
    fig.savefig(OUT / "batch.png", dpi=110)
    plt.close(fig)

    # Bandwidth: bytes read and written per second by the streaming operations, against copying.
    fig, ax = plt.subplots(figsize=(9, 5))
    for op in STREAMING:
        pts = [(p["n"], p["GB_per_s"]) for p in points if p["operation"] == op and p["source"] == "batch table"]
        if pts:
            ax.plot([p[0] for p in pts], [p[1] for p in pts], marker="o", label=f"{op} (24 bytes in, 24 out per element)")
    styles = iter(["--", ":", "-."])
    for b in (p for p in points if p["source"] == "memory bandwidth table"):
        if b["operation"].startswith("vl + v"):  # timed in turns with np.copyto
            ax.plot([b["n"]], [b["GB_per_s"]], "*", color="C0", markersize=12,
                    label=f"{b['operation']}, timed in turns with np.copyto: {b['GB_per_s']:.1f} GB/s")
        if b["operation"].startswith("np.copyto"):
            ax.axhline(b["GB_per_s"], color="gray", linestyle=next(styles, "--"),
                       label=f"memory bandwidth: {b['operation']} at 10^7, {b['GB_per_s']:.1f} GB/s")
    ax.set_xscale("log")
    ax.set_ylim(bottom=0)
    ax.set_xlabel("elements in the list")
    ax.set_ylabel("GB/s read + written")
    ax.set_title(f"Streaming operations against the memory bandwidth ({loops_of(runs[0][0])})\n{stamp}", fontsize=9)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(OUT / "bandwidth.png", dpi=110)
    plt.close(fig)

    lines = [(f"Measured on {info['date']} with CPython {info['python']} on {info['processors']} x "
              f"{info['processor']} ({info['machine']}), by:"), ""]
    lines += [f"- ``{c}``" for c in info["commands"]]
    for setting, _, _ in runs:
        if setting:
            lines += ["", f"The batch benchmark ran the {setting['loops']} loops with a worker pool of "
                          f"{setting['pool']} threads."]
    if "load_average_before" in info:
        lines += ["", f"The machine's load average was {info['load_average_before']} when the run began and "
                      f"{info['load_average_after']} when it ended"
                      + (" (other work was running)." if info["load_average_before"] > info["processors"] else ".")]
    missing = [] if any(c["against"].lower().startswith("complex") for c in calls) else [
        "", ("This run's per-call benchmark has no column for CPython's ``complex``; the per-call figure "
             "shows it as soon as the benchmark does.")]
    (OUT / "run.txt").write_text("\n".join(lines + missing) + "\n")
    print(f"wrote {', '.join(p.name for p in sorted(OUT.glob('*.png')))} and the CSV files into {OUT}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["run", "plot"])
    parser.add_argument("--sizes", default="3,4,5,6,7", help="exponents of 10 for bench_batch.py")
    args = parser.parse_args()
    if args.what == "run":
        run(args.sizes)
    plot()


if __name__ == "__main__":
    main()
