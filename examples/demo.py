"""A tour of the toolkit on the posterior marginal bundled with vordex.

The example is the marginal of a precision parameter, tabulated on an uneven
grid (dense at the mode, sparse in the long right tail).  The demo

1. reads it from the installed package,
2. cleans it with ``tova_marginal_fix`` (drops NaN and negligible densities,
   sorts by x),
3. resamples it onto an equally spaced grid with ``tova_spline`` (a cubic
   spline of the log-density),
4. prints both grids compactly, with the mass each one carries,
5. evaluates the density, the distribution function and quantiles,
6. transforms the marginal of the precision into that of log(precision).

`make demo` runs it after the summary (python3 -m vordex summary) and the
plot (python3 -m vordex plot).

Run it with ``make demo``, or after a build with

    PYTHONPATH=. /usr/bin/python3 -P examples/demo.py
"""

import importlib.resources
import io

import numpy as np

from vordex.pure import densitykit as dk


def load_example() -> np.ndarray:
    """The bundled example marginal as an n x 2 matrix (columns x, density)."""
    text = importlib.resources.files("vordex").joinpath("data", "example_marginal.csv").read_text()
    return np.loadtxt(io.StringIO(text), delimiter=",", skiprows=1)


def as_xy(m):
    """x and y of a marginal returned as a dict {"x", "y"} or an n x 2 matrix."""
    if isinstance(m, dict):
        return np.asarray(m["x"], dtype=float), np.asarray(m["y"], dtype=float)
    m = np.asarray(m, dtype=float)
    return m[:, 0], m[:, 1]


def show(title: str, x: np.ndarray, y: np.ndarray, rows: int = 4) -> None:
    steps = np.diff(x)
    print(f"{title}: {x.size} points on [{x[0]:.4g}, {x[-1]:.4g}], "
          f"steps {steps.min():.3g} to {steps.max():.3g}, "
          f"mass {np.trapz(y, x):.6f}, peak y {y.max():.5f} at x {x[np.argmax(y)]:.4g}")
    idx = list(range(rows)) + [-1] if x.size > rows + 1 else range(x.size)
    for i in idx:
        if i == -1:
            print("    ...")
            i = x.size - 1
        print(f"    x = {x[i]:9.5f}   y = {y[i]:.6e}")


def main() -> None:
    raw = load_example()
    print(f"example marginal: {raw.shape[0]} x {raw.shape[1]} matrix from vordex/data/example_marginal.csv")

    fixed = dk.tova_marginal_fix(raw)
    show("cleaned", *as_xy(fixed))

    resampled = dk.tova_spline(raw)
    kind = "dict" if isinstance(resampled, dict) else "{}x{} matrix".format(*np.shape(resampled))
    show(f"resampled ({kind})", *as_xy(resampled))

    at = np.array([1.0, 1.5, 2.0, 4.0])
    print("density at", at, "->", np.round(dk.tova_dmarginal(at, raw), 6))
    print("P(X <= q) at", at, "->", np.round(dk.tova_pmarginal(at, raw), 6))
    p = [0.025, 0.5, 0.975]
    print("quantiles at", p, "->", np.round(dk.tova_qmarginal(p, raw), 6))

    # The marginal of log(precision), by the change-of-variables rule.
    log_prec = dk.tova_tmarginal(np.log, raw)
    s = dk.tova_zmarginal(log_prec, silent=True)
    print(f"log(precision): mean {s['mean']:.6g}, sd {s['sd']:.6g}, median {s['quant0.5']:.6g}; "
          f"exp(median) {np.exp(s['quant0.5']):.6g}")


if __name__ == "__main__":
    main()
