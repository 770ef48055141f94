"""Benchmark of the marginal toolkit against the same steps done with NumPy
and SciPy objects (tests/python/reference.py), in one process and run.

For every operation and marginal size it prints the median time of the
baseline and of vordex, their ratio, and whether both gave the same numbers
(so a fast wrong answer cannot pass).

    python3 bench/run.py [--sizes 30 300 3000 30000] [--kinds gauss skew uneven]
                         [--ops hpd zmarginal] [--json out.json] [--quick]

Each size is timed on three marginals: a Gaussian and a right-skewed density
on evenly spaced grids, and a skewed Gaussian on an uneven grid (points
drawn from a normal distribution, dense in the middle).
"""
import argparse
import json
import os
import platform
import statistics
import sys
import time

# Both sides run with glibc's mapping and trim thresholds at 64 MiB and
# 256 MiB, so that neither pays page faults to reuse the memory it frees (on
# this machine a fault costs about 11 µs; the baseline's allocations at 3,000
# and 30,000 points would otherwise be trimmed and faulted in on every call).
# The runner restarts itself with them in the environment, where glibc reads
# them at start-up, unless the environment already sets either.
ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": str(64 << 20), "MALLOC_TRIM_THRESHOLD_": str(256 << 20)}
if __name__ == "__main__" and not any(k in os.environ for k in ALLOCATOR):
    os.execve(sys.executable, sys.orig_argv, {**os.environ, **ALLOCATOR})

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import reference as R  # noqa: E402

from vordex.pure import densitykit as dk  # noqa: E402


def _timed_call(fn, times):
    t0 = time.perf_counter()
    fn()
    times.append(time.perf_counter() - t0)


def _paired_times(fast, slow, budget, rounds=10, min_reps=3, max_reps=2000):
    """Median time per call of `fast` and of `slow`, timed in alternating
    rounds (the order swapping each round) so that both see the same states
    of the machine; each side gets about `budget` seconds in all, at least
    one call per round and `min_reps` calls."""
    fast()  # warm up
    slow()
    times = {fast: [], slow: []}
    share = budget / rounds
    cap = max(1, max_reps // rounds)
    for r in range(rounds):
        for fn in ((fast, slow) if r % 2 == 0 else (slow, fast)):
            start, done = time.perf_counter(), 0
            while done < cap and (done == 0 or time.perf_counter() - start < share):
                _timed_call(fn, times[fn])
                done += 1
    for fn in (fast, slow):
        while len(times[fn]) < min_reps:
            _timed_call(fn, times[fn])
    return ((statistics.median(times[fast]), len(times[fast])),
            (statistics.median(times[slow]), len(times[slow])))


def _close(a, b, rtol, atol):
    if isinstance(a, dict):
        a = np.array(list(a.values()) if not {"x", "y"} <= set(a) else np.column_stack([a["x"], a["y"]]))
    if isinstance(b, dict):
        b = np.array(list(b.values()) if not {"x", "y"} <= set(b) else np.column_stack([b["x"], b["y"]]))
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return a.shape == b.shape and bool(np.allclose(a, b, rtol=rtol, atol=atol, equal_nan=True))


def _workloads(m, rng_lo, rng_hi):
    p5 = [0.025, 0.25, 0.5, 0.75, 0.975]
    p1000 = np.linspace(0.0005, 0.9995, 1000)
    q1000 = np.linspace(rng_lo, rng_hi, 1000)
    two = lambda x: np.column_stack([x, x * x])  # noqa: E731
    rows = [
        # name, vordex call, baseline call, (rtol, atol) of the comparison
        ("tova_qmarginal(5)", lambda: dk.tova_qmarginal(p5, m), lambda: R.qmarginal(p5, m), (0, 0)),
        ("tova_qmarginal(1000)", lambda: dk.tova_qmarginal(p1000, m), lambda: R.qmarginal(p1000, m), (0, 0)),
        ("tova_pmarginal(1000)", lambda: dk.tova_pmarginal(q1000, m), lambda: R.pmarginal(q1000, m), (0, 0)),
        ("tova_dmarginal(1000)", lambda: dk.tova_dmarginal(q1000, m), lambda: R.dmarginal(q1000, m), (0, 0)),
        ("tova_emarginal(x, x^2)", lambda: dk.tova_emarginal(two, m), lambda: R.emarginal(two, m), (0, 0)),
        ("tova_smarginal", lambda: dk.tova_smarginal(m), lambda: R.smarginal(m), (0, 0)),
        ("tova_spline", lambda: dk.tova_spline(m), lambda: np.column_stack(R.spline(m)), (1e-13, 0)),
    ]
    if hasattr(dk, "tova_zmarginal") and hasattr(R, "zmarginal"):
        rows.append(("tova_zmarginal", lambda: dk.tova_zmarginal(m, silent=True), lambda: R.zmarginal(m),
                     (1e-12, 1e-12)))
    if hasattr(dk, "tova_mmarginal"):
        rows.append(("tova_mmarginal", lambda: dk.tova_mmarginal(m), lambda: R.mmarginal(m), (1e-12, 1e-12)))
    if hasattr(dk, "tova_hpdmarginal"):
        rows.append(("tova_hpdmarginal([.5,.95])", lambda: dk.tova_hpdmarginal([0.5, 0.95], m),
                     lambda: R.hpdmarginal([0.5, 0.95], m), (1e-12, 1e-12)))
    if hasattr(dk, "tova_rmarginal"):
        rows.append(("tova_rmarginal(100000)",
                     lambda: dk.tova_rmarginal(100000, m, rng=np.random.default_rng(1)),
                     lambda: R.qmarginal(np.random.default_rng(1).uniform(size=100000), m), (0, 0)))
    if hasattr(dk, "tova_tmarginal") and hasattr(R, "tmarginal"):
        rows.append(("tova_tmarginal(np.exp)", lambda: dk.tova_tmarginal(np.exp, m),
                     lambda: R.tmarginal(np.exp, m), (1e-12, 0)))
    # The other public operations, without a target: the cleaning, the
    # log-density function of a smoothed marginal evaluated at 1000 points,
    # and the finite-difference derivative (whose cost is the function's own).
    # tova_marginal_transform is tova_tmarginal under another name.
    rows.append(("tova_marginal_fix", lambda: dk.tova_marginal_fix(m), lambda: R.marginal_fix(m), (0, 0)))
    sm = dk.tova_smarginal(m)
    rows.append(("tova_sfmarginal + fun(1000)", lambda: dk.tova_sfmarginal(sm)["fun"](q1000),
                 lambda: R.sfmarginal(sm)[1](q1000), (1e-13, 0)))
    rows.append(("tova_deriv_func(np.sin)(1000)", lambda: dk.tova_deriv_func(np.sin)(q1000),
                 lambda: R.deriv(np.sin)(q1000), (0, 0)))
    return rows


def _chosen(name, ops):
    """Whether operation `name` is timed: every one without --ops, else those
    whose name contains one of its texts."""
    return not ops or any(text in name for text in ops)


def _machine():
    model = ""
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import scipy
    return (f"{model or platform.processor()}, {os.cpu_count()} cores; {platform.platform()}; "
            f"Python {platform.python_version()}, NumPy {np.__version__}, SciPy {scipy.__version__}")


# Target ratios (baseline time / vordex time) by marginal size.
_TARGETS = {
    "tova_zmarginal": (200, 200, 50, 20),
    "tova_mmarginal": (200, 200, 50, 20),
    "tova_hpdmarginal([.5,.95])": (50, 50, 20, 10),
    "tova_qmarginal(5)": (20, 20, 10, 5),
    "tova_qmarginal(1000)": (20, 20, 10, 5),
    "tova_pmarginal(1000)": (20, 20, 10, 5),
    "tova_dmarginal(1000)": (20, 20, 10, 5),
    "tova_emarginal(x, x^2)": (10, 10, 5, 3),
    "tova_smarginal": (10, 10, 5, 3),
    "tova_spline": (10, 10, 5, 3),
    "tova_tmarginal(np.exp)": (10, 10, 5, 3),
    "tova_rmarginal(100000)": (3, 3, 3, 3),
}
_SIZE_COLUMN = {30: 0, 300: 1, 3000: 2, 30000: 3}


def target_lines(results):
    """Markdown table: measured ratio / target for each operation and size,
    the smallest ratio over the kinds of marginal; and the counts of cells
    met and of (operation, size, kind) rows met."""
    sizes = sorted({r["n"] for r in results if r["n"] in _SIZE_COLUMN})
    ops = [op for op in _TARGETS if any(r["operation"] == op for r in results)]
    lines = ["| operation | " + " | ".join(str(n) for n in sizes) + " |",
             "|---|" + "---|" * len(sizes)]
    met = total = 0
    rows_met = sum(r["ratio"] >= _TARGETS[r["operation"]][_SIZE_COLUMN[r["n"]]] for r in results
                   if r["operation"] in _TARGETS and r["n"] in _SIZE_COLUMN)
    rows_total = sum(r["operation"] in _TARGETS and r["n"] in _SIZE_COLUMN for r in results)
    for op in ops:
        cells = []
        for n in sizes:
            rows = [r for r in results if r["operation"] == op and r["n"] == n]
            if not rows:
                cells.append("")
                continue
            want = _TARGETS[op][_SIZE_COLUMN[n]]
            worst = min(rows, key=lambda r: r["ratio"])
            got = worst["ratio"]
            ok = got >= want
            met += ok
            total += 1
            which = f" ({worst['kind']})" if len({r["kind"] for r in results}) > 1 else ""
            cells.append(f"{got:.1f}×{which} / {want}× {'✓' if ok else '✗'}")
        lines.append(f"| `{op}` | " + " | ".join(cells) + " |")
    return lines, (met, total), (rows_met, rows_total)


def per_point_lines(results):
    """Time per input point of each operation at 3000 and 30000 points, for
    each kind of marginal."""
    lines = []
    kinds = list(dict.fromkeys(r["kind"] for r in results))
    for op in _TARGETS:
        for kind in kinds:
            a = [r for r in results if r["operation"] == op and r["kind"] == kind and r["n"] == 3000]
            b = [r for r in results if r["operation"] == op and r["kind"] == kind and r["n"] == 30000]
            if a and b:
                pa, pb = a[0]["vordex_s"] / 3000, b[0]["vordex_s"] / 30000
                lines.append(f"| `{op}` | {kind} | {pa * 1e9:,.0f} ns | {pb * 1e9:,.0f} ns | {pb / pa:.2f} |")
    if lines:
        lines = ["| operation | marginal | per point at 3000 | per point at 30000 | ratio |",
                 "|---|---|---:|---:|---:|"] + lines
    return lines


def _allocator():
    return ", ".join(f"{k}={os.environ[k]}" for k in ALLOCATOR if k in os.environ) or "glibc's defaults"


def write_markdown(path, results, args):
    lines = [
        "# Benchmarks",
        "",
        "Each row times one toolkit operation in vordex beside a baseline that performs the same",
        "steps with NumPy and SciPy objects (`PchipInterpolator`, `CubicSpline`, `minimize_scalar`,",
        "re-smoothing wherever the steps re-smooth; `tests/python/reference.py`), in the same process",
        "and run. Times are medians of repeated calls, taken in ten alternating rounds of the two sides",
        "so that both see the same states of the machine; *same* says both gave the same numbers (bit",
        "for bit for the smoothing chain, 1e-12 relative for the rest).",
        "",
        f"Machine: {_machine()}.",
        f"Command: `make bench` (`python3 bench/run.py --sizes {' '.join(map(str, args.sizes))} "
        f"--kinds {' '.join(args.kinds)}"
        + (f" --ops {' '.join(args.ops)}" if getattr(args, "ops", None) else "")
        + f" --budget {args.budget} --markdown BENCHMARKS.md --notes bench/notes.md`), "
        f"budget {args.budget} s per timing.",
        f"Allocator: {_allocator()} for both sides (the runner sets them in the environment unless the",
        "environment sets either already), so that neither side pays page faults to reuse the memory it frees; with",
        "glibc's defaults the baseline's large arrays are trimmed and faulted in again at every call, which makes",
        "its `tova_hpdmarginal` several times slower at 3,000 and 30,000 points (see Memory below).",
        "",
        "Marginals: *gauss*, a Gaussian density on an evenly spaced grid over [-4, 4]; *skew*, the",
        "right-skewed x^2.5 e^-x on an evenly spaced grid over [0.05, 12]; *uneven*, a skewed Gaussian",
        "on points drawn from a normal distribution (dense in the middle, sparse in the tails).",
        "",
        "| operation | marginal | points | baseline | vordex | ratio | same |",
        "|---|---|---:|---:|---:|---:|---|",
    ]
    for r in results:
        lines.append(f"| `{r['operation']}` | {r['kind']} | {r['n']} | {r['baseline_s'] * 1e6:,.0f} µs | "
                     f"{r['vordex_s'] * 1e6:,.1f} µs | {r['ratio']:.1f}× | {'yes' if r['same'] else 'NO'} |")
    tl, (met, total), (rows_met, rows_total) = target_lines(results)
    lines += ["", "## Speed targets", "",
              "Measured ratio / target ratio (✓ met, ✗ missed), from the table above; each cell holds the",
              f"smallest ratio of the kinds of marginal and names that kind. {met} of {total} cells met;",
              f"{rows_met} of {rows_total} rows (operation, size and kind) met.",
              ""] + tl
    pp = per_point_lines(results)
    if pp:
        lines += ["", "Cost per input point (a ratio near 1 means linear cost; at 30,000 points every grid "
                  "array is 3.6 MB and the passes run from memory rather than cache):", ""] + pp
    extra_path = getattr(args, "notes", None)
    extra = ""
    if extra_path:
        with open(extra_path) as fh:
            extra = "\n" + fh.read()
    with open(path, "w") as fh:
        fh.write("\n".join(lines) + "\n" + extra)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[30, 300, 3000, 30000])
    ap.add_argument("--kinds", nargs="+", default=["gauss", "skew", "uneven"],
                    choices=["gauss", "skew", "heavy", "uneven"])
    ap.add_argument("--ops", nargs="+", metavar="TEXT",
                    help="time only the operations whose name contains one of these texts")
    ap.add_argument("--budget", type=float, default=0.5, help="seconds per timing (per side)")
    ap.add_argument("--quick", action="store_true", help="short budget, sizes 30 and 300")
    ap.add_argument("--json", help="write the results to this file")
    ap.add_argument("--markdown", help="write the table as Markdown to this file (BENCHMARKS.md)")
    ap.add_argument("--notes", help="Markdown appended after the tables (bench/notes.md)")
    args = ap.parse_args(argv)
    if args.ops and not any(_chosen(name, args.ops)
                            for name, *_ in _workloads(R.make_marginal("gauss", 30, seed=0), -5.0, 5.0)):
        ap.error(f"no operation's name contains any of {args.ops}")
    if args.quick:
        args.sizes, args.budget = [30, 300], 0.1

    results = []
    header = f"{'operation':28s} {'kind':7s} {'n':>6s} {'baseline':>12s} {'vordex':>12s} {'ratio':>8s}  same"
    print(header)
    print("-" * len(header))
    for kind in args.kinds:
        for n in args.sizes:
            m = R.make_marginal(kind, n, seed=0)
            lo, hi = float(m[0, 0]) - 0.5, float(m[-1, 0]) + 0.5
            for name, fast, slow, (rtol, atol) in _workloads(m, lo, hi):
                if not _chosen(name, args.ops):
                    continue
                same = _close(fast(), slow(), rtol, atol)
                (t_fast, reps_fast), (t_slow, reps_slow) = _paired_times(fast, slow, args.budget)
                ratio = t_slow / t_fast
                target = _TARGETS[name][_SIZE_COLUMN[n]] if name in _TARGETS and n in _SIZE_COLUMN else None
                results.append({"operation": name, "kind": kind, "n": n, "baseline_s": t_slow,
                                "vordex_s": t_fast, "ratio": ratio, "same": same, "target": target,
                                "reps": [reps_slow, reps_fast]})
                print(f"{name:28s} {kind:7s} {n:6d} {t_slow * 1e6:10.1f}us {t_fast * 1e6:10.1f}us "
                      f"{ratio:8.1f}  {'yes' if same else 'NO'}", flush=True)
    if args.json:
        meta = {"machine": platform.platform(), "processor": platform.processor(), "cpus": os.cpu_count(),
                "python": platform.python_version(), "numpy": np.__version__, "allocator": _allocator()}
        with open(args.json, "w") as fh:
            json.dump({"meta": meta, "results": results}, fh, indent=1)
    if args.markdown:
        write_markdown(args.markdown, results, args)
    tl, (met, total), (rows_met, rows_total) = target_lines(results)
    print()
    print(f"targets met: {met} of {total} (worst kind); {rows_met} of {rows_total} rows")
    for line in tl[2:]:
        print("  " + line)
    bad = [r for r in results if not r["same"]]
    if bad:
        print(f"{len(bad)} rows gave different numbers", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
