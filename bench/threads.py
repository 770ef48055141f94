"""Thread scaling of tova_zmarginal: 2000 marginals summarised with 1 and 2
threads (ThreadPoolExecutor). The toolkit releases the interpreter's lock
around its native work, so throughput should grow with the threads; the
results must be identical to the serial run.

    python3 bench/threads.py [--count 2000] [--size 300] [--threads 1 2]
"""
import argparse
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import reference as R  # noqa: E402

from vordex.pure import densitykit as dk  # noqa: E402


def run(marginals, threads):
    t0 = time.perf_counter()
    if threads == 1:
        out = [dk.tova_zmarginal(m, silent=True) for m in marginals]
    else:
        with ThreadPoolExecutor(threads) as ex:
            out = list(ex.map(lambda m: dk.tova_zmarginal(m, silent=True), marginals))
    return time.perf_counter() - t0, out


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=2000)
    ap.add_argument("--size", type=int, default=300)
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = ap.parse_args(argv)
    kinds = ["gauss", "skew", "heavy", "uneven"]
    marginals = [R.make_marginal(kinds[i % 4], args.size, seed=i) for i in range(args.count)]
    base_time, base = run(marginals, 1)
    print(f"1 thread : {base_time:.3f} s  ({args.count / base_time:.0f} marginals/s)")
    ok = True
    for t in args.threads:
        if t == 1:
            continue
        elapsed, out = run(marginals, t)
        same = out == base
        ok &= same
        print(f"{t} threads: {elapsed:.3f} s  ({args.count / elapsed:.0f} marginals/s)  "
              f"speed-up {base_time / elapsed:.2f}x  identical: {'yes' if same else 'NO'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
