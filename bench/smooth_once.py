"""How much of the largest ratios comes from smoothing once.

`tova_mmarginal`, `tova_zmarginal` and `tova_tmarginal` re-smooth the marginal
many times in their documented steps (every density evaluation of the mode's
search smooths it again), and the baseline of bench/run.py does exactly that.
This module smooths once per call and gives the same bits. This script times
a third side: the same steps written with NumPy and SciPy objects but with one
smoothing shared by the call's evaluations (the summary's expectation still
smooths on its own, so its row overstates that side's speed), checks that all
three give the same numbers, and prints the three times and their ratios.

    PYTHONPATH=<repo> python3 -P bench/smooth_once.py [--size 300] [--kinds gauss uneven]
"""
import argparse
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
import reference as R  # noqa: E402
from scipy.optimize import minimize_scalar  # noqa: E402

from vordex.pure import densitykit as dk  # noqa: E402


def prepared(m):
    """The quantile and density functions of one smoothing of m (the steps'
    table of 2,048 points and its monotone inverse)."""
    rng, fun = R._prep(m, True)
    xx, cdf = R.table_on(rng, fun)
    return (lambda p: R.quantile_on(xx, cdf, p)), (lambda x, log: R.density_on(rng, fun, x, log))


def mode_once(m, qd=None):
    quantile, density = qd or prepared(m)
    x = quantile(np.arange(0.01, 1.0, 0.01))
    i = int(np.argmax(density(x, True)))
    a, b = x[max(i - 1, 0)], x[min(i + 1, len(x) - 1)]
    res = minimize_scalar(lambda u: float(-density([float(u)], True)[0]), bounds=(float(a), float(b)),
                          method="bounded", options={"xatol": 1e-6})
    return float(res.x)


def summary_once(m):
    qd = prepared(m)
    m1m2 = R.emarginal(lambda xx: np.column_stack([xx, xx ** 2]), m)
    mean = float(m1m2[0])
    d = m1m2[1] - mean * mean
    sd = float(np.sqrt(d if d > 0 else 0.0))
    return [mean, sd] + [float(v) for v in qd[0]([0.025, 0.25, 0.5, 0.75, 0.975])] + [mode_once(m, qd)]


def transform_once(fun, m, n=2048):
    quantile, density = prepared(m)
    x = quantile(np.arange(1, n + 1) / (n + 1.0))
    fx = np.asarray(fun(x), float)
    deriv = np.clip(np.abs(R.deriv(fun, step_size=R.EPS ** (1 / 3))(x)), 1e-12, np.inf)
    dens = density(x, False) / deriv
    if fx[0] > fx[-1]:
        fx, dens = fx[::-1], dens[::-1]
    return np.column_stack([fx, dens])


def paired(fns, rounds=6, per=3):
    """Median time of each function, timed in alternating rounds."""
    for f in fns:
        f()
    times = [[] for _ in fns]
    for r in range(rounds):
        for i in (range(len(fns)) if r % 2 == 0 else reversed(range(len(fns)))):
            for _ in range(per):
                t0 = time.perf_counter()
                fns[i]()
                times[i].append(time.perf_counter() - t0)
    return [statistics.median(t) for t in times]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=300)
    ap.add_argument("--kinds", nargs="+", default=["gauss", "uneven"], choices=["gauss", "skew", "uneven"])
    args = ap.parse_args(argv)
    print(f"{'marginal':8s} {'operation':16s} {'steps':>10s} {'smoothed once':>14s} {'vordex':>9s}"
          f" {'steps/vordex':>13s} {'once/vordex':>12s} {'steps/once':>11s}")
    for kind in args.kinds:
        m = R.make_marginal(kind, args.size, seed=0)
        # The three sides give the same numbers, bit for bit.
        assert mode_once(m) == R.mmarginal(m) == dk.tova_mmarginal(m)
        assert summary_once(m) == list(R.zmarginal(m).values()) == list(dk.tova_zmarginal(m, silent=True).values())
        assert np.array_equal(transform_once(np.exp, m), dk.tova_tmarginal(np.exp, m))
        assert np.array_equal(R.tmarginal(np.exp, m), dk.tova_tmarginal(np.exp, m))
        for name, steps, once, mine in [
            ("tova_mmarginal", lambda: R.mmarginal(m), lambda: mode_once(m), lambda: dk.tova_mmarginal(m)),
            ("tova_zmarginal", lambda: R.zmarginal(m), lambda: summary_once(m),
             lambda: dk.tova_zmarginal(m, silent=True)),
            ("tova_tmarginal", lambda: R.tmarginal(np.exp, m), lambda: transform_once(np.exp, m),
             lambda: dk.tova_tmarginal(np.exp, m)),
        ]:
            a, b, c = paired([steps, once, mine])
            print(f"{kind:8s} {name:16s} {a * 1e6:8.0f}us {b * 1e6:12.0f}us {c * 1e6:7.1f}us"
                  f" {a / c:12.1f}x {b / c:11.1f}x {a / b:10.1f}x", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
