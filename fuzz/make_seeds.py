"""Write seed inputs for the fuzz targets (fuzz/run.sh calls this).

The inputs use the byte encoding of fuzz/fuzz_input.hpp: a tag byte per
value (a table of special doubles, a small regular value, or 8 raw bytes).
Usage: make_seeds.py TARGET DIRECTORY
"""

import math
import struct
import sys
from pathlib import Path


def val(v):
    """A double as 8 raw bytes (tag 160)."""
    return bytes([160]) + struct.pack("<d", v)


def u16(n):
    return struct.pack("<H", n)


def raw_grid(xs):
    return bytes([0]) + b"".join(val(v) for v in xs)


def gauss(n, lo=-4.0, hi=4.0, skew=1.0):
    xs = [lo + (hi - lo) * (i / (n - 1)) ** skew for i in range(n)]
    ys = [math.exp(-0.5 * v * v) for v in xs]
    return xs, ys


def marginals():
    """(x, y) pairs that reach the interesting paths."""
    out = [gauss(30), gauss(41, skew=2.0), gauss(7)]
    xs, ys = gauss(25)
    ys[3] = 0.0
    ys[10] = float("nan")
    out.append((xs, ys))
    out.append(([3.0, 1.0, 2.0, 0.0], [0.3, 0.1, 0.2, 0.0]))
    out.append(([0.0, 0.0, 1.0, 1.0, 2.0], [1.0, 1.0, 2.0, 2.0, 1.0]))
    out.append(([1e-12 * i for i in range(1, 20)], [1e-300 * (i % 5 + 1) for i in range(19)]))
    out.append(([1e12 * i for i in range(-9, 10)], [1e300 / (1 + i * i) for i in range(-9, 10)]))
    out.append(([float(i) for i in range(12)], [math.exp(-(i - 3.0) ** 2 / 0.1) for i in range(12)]))
    out.append(([-0.0, 0.0, 1.0, 2.0], [5e-324, 1.0, 2.0, 1.0]))
    return out


def seeds(target):
    ms = marginals()
    if target == "clean":
        for xs, ys in ms:
            yield u16(len(xs)) + raw_grid(xs) + b"".join(val(v) for v in ys) + b"\x00"
    elif target == "interp":
        pts = b"".join(val(v) for v in (-1.0, 0.0, 0.5, 1.5, 2.0, 3.0, float("nan")))
        for kind in (0, 1, 2, 4, 5, 16):
            for xs, ys in ms[:3]:
                xs = sorted(xs)
                yield bytes([kind]) + u16(len(xs)) + raw_grid(xs) + b"".join(val(v) for v in ys) + pts
    elif target == "smooth":
        for opts in (0, 1, 2, 4, 6):
            for xs, ys in ms:
                head = bytes([opts]) + (val(0.1) if opts & 4 else b"") + bytes([18])
                yield head + u16(len(xs)) + raw_grid(xs) + b"".join(val(v) for v in ys)
    elif target in ("tables", "summary"):
        probs = b"".join(val(v) for v in (0.0, 0.025, 0.5, 0.95, 1.0, -0.5, 1.5, float("nan")))
        for opts in (0, 1, 2, 3):
            for xs, ys in ms:
                n = max(len(xs) - 3, 0)
                yield (bytes([opts]) + u16(2046 if target == "tables" else 2046) + u16(n)
                       + raw_grid(xs) + b"".join(val(v) for v in ys) + probs)
    elif target == "minimize":
        for opts in (0, 1, 2, 3, 6, 10, 0x82, 0x80):
            # f(x) = (x - 0.3)^2 on [0, 1]
            coeffs = (0.09, -0.6, 1.0, 0.0, 0.0)
            yield (bytes([opts]) + val(0.0) + val(1.0) + (val(1e-6) if opts & 1 else b"")
                   + (bytes([5]) if opts & 0x80 else b"") + b"".join(val(c) for c in coeffs) + bytes([125]))
    else:
        raise SystemExit(f"unknown target {target}")


def main():
    target, directory = sys.argv[1], Path(sys.argv[2])
    directory.mkdir(parents=True, exist_ok=True)
    for i, data in enumerate(seeds(target)):
        (directory / f"seed-{i:03d}").write_bytes(data)


if __name__ == "__main__":
    main()
