"""Resident memory over many tova_zmarginal calls on a 300-point marginal:
peak RSS must stay flat (no growth with the number of calls).

    python3 bench/memory.py [--calls 10000]
"""
import argparse
import os
import resource
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import reference as R  # noqa: E402

from vordex.pure import densitykit as dk  # noqa: E402


def rss_mib():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=10000)
    ap.add_argument("--size", type=int, default=300)
    args = ap.parse_args(argv)
    m = R.make_marginal("skew", args.size)
    dk.tova_zmarginal(m, silent=True)
    start = rss_mib()
    marks = []
    for i in range(1, args.calls + 1):
        dk.tova_zmarginal(m, silent=True)
        if i % (args.calls // 5) == 0:
            marks.append(rss_mib())
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    grid = 15 * args.size * 8 / 2**20
    print(f"RSS after warm-up {start:.1f} MiB; after each fifth of {args.calls} calls: "
          + ", ".join(f"{v:.1f}" for v in marks) + f" MiB; peak {peak:.1f} MiB")
    print(f"growth {marks[-1] - start:+.2f} MiB; one smoothed grid of this marginal is {grid:.3f} MiB")
    return 0 if marks[-1] - start < 4.0 else 1


if __name__ == "__main__":
    sys.exit(main())
