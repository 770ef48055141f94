#!/usr/bin/env python3
"""Write vordex/data/example_marginal.csv, the bundled example marginal.

The example is the posterior marginal of a precision parameter tau, the
shape it takes in a small Gaussian model with a Gamma prior on tau: a
Gamma(shape=4, rate=2) density (mode 1.5, mean 2, right-skewed).  It is
tabulated the way an inference engine hands a marginal back: on an uneven
grid, dense around the mode and sparser in the tails, with the long tail on
the right covered by wider steps than the short one on the left.

The script is deterministic and uses only the standard library, so running
it again reproduces the file byte for byte:

    /usr/bin/python3 scripts/make_example_marginal.py
"""

import math
import pathlib
import sys

SHAPE = 4.0
RATE = 2.0
N_LEFT = 15     # grid points below the mode
N_RIGHT = 22    # grid points above the mode (the long tail)
OUT = pathlib.Path(__file__).resolve().parent.parent / "vordex" / "data" / "example_marginal.csv"


def gamma_pdf(x: float) -> float:
    """Density of Gamma(SHAPE, RATE) at x > 0."""
    log_pdf = (SHAPE * math.log(RATE) - math.lgamma(SHAPE)
               + (SHAPE - 1.0) * math.log(x) - RATE * x)
    return math.exp(log_pdf)


def grid() -> list:
    """Uneven grid: steps grow like t**1.6 away from the mode on each side."""
    mode = (SHAPE - 1.0) / RATE
    left_end, right_end = 0.12, 6.8   # density under 1 % of the peak at both ends
    xs = [mode]
    for k in range(1, N_LEFT + 1):
        xs.append(mode - (mode - left_end) * (k / N_LEFT) ** 1.6)
    for k in range(1, N_RIGHT + 1):
        xs.append(mode + (right_end - mode) * (k / N_RIGHT) ** 1.6)
    return sorted(xs)


def render() -> str:
    """The CSV text: header x,y and one line per grid point."""
    rows = ["x,y"] + [f"{x:.10g},{gamma_pdf(x):.10g}" for x in grid()]
    return "\n".join(rows) + "\n"


def main() -> int:
    text = render()
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text(text, encoding="ascii")
    print(f"wrote {text.count(chr(10)) - 1} points to {OUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
