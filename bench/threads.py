"""Thread scaling of tova_zmarginal: 2000 marginals summarised with 1 and 2
threads (ThreadPoolExecutor). The toolkit releases the interpreter's lock
around its native work, so throughput should grow with the threads; the
results must be identical to the serial run.

    python3 bench/threads.py [--count 2000] [--size 300] [--threads 1 2] [--chunk 50]

Two ways of handing the work to the pool are timed: one task per marginal
(`ex.map` over the marginals) and one task per chunk of marginals (`ex.map`
over slices of --chunk marginals); and, for comparison, plain threads
without an executor that each summarise one share of the marginals. With small marginals a call takes tens of
microseconds, about what the executor costs per task of its own (futures,
queue and locks under the interpreter's lock, and the threads it puts to
sleep and wakes), so per-marginal tasks cannot scale; chunked tasks leave
the native work to run side by side.
For comparison the executor's one-task-per-call run and the plain threads are
repeated with NumPy's own np.exp (which also releases the lock) on an array
sized so that a call takes about as long as a summary.

Each run also reports the processor time the whole process spent (all
threads, relative to the serial run) and its context switches: a run that
does not scale either left a processor idle or made the processors do more
work, and these numbers tell which.
"""
import argparse
import os
import resource
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
import reference as R  # noqa: E402

from vordex.cli import _positive_int  # noqa: E402  (whole numbers of at least 1)
from vordex.pure import densitykit as dk  # noqa: E402


def _summaries(chunk):
    return [dk.tova_zmarginal(m, silent=True) for m in chunk]


def _in_plain_threads(work, threads):
    """work(i) for i < threads, each in a thread of its own; the results in order."""
    results = [None] * threads
    def target(i):
        results[i] = work(i)
    pool = [threading.Thread(target=target, args=(i,)) for i in range(threads)]
    for th in pool:
        th.start()
    for th in pool:
        th.join()
    return results


def run(marginals, threads, chunk=0):
    t0 = time.perf_counter()
    if threads == 1:
        out = _summaries(marginals)
    elif chunk < 0:
        # No executor: each plain thread summarises one contiguous share of
        # the marginals (the kinds alternate, so every share has the same mix).
        bounds = [len(marginals) * i // threads for i in range(threads + 1)]
        shares = _in_plain_threads(lambda i: _summaries(marginals[bounds[i]:bounds[i + 1]]), threads)
        out = [s for share in shares for s in share]
    elif chunk == 0:
        with ThreadPoolExecutor(threads) as ex:
            out = list(ex.map(lambda m: dk.tova_zmarginal(m, silent=True), marginals))
    else:
        with ThreadPoolExecutor(threads) as ex:
            parts = ex.map(_summaries, [marginals[i:i + chunk] for i in range(0, len(marginals), chunk)])
            out = [s for part in parts for s in part]
    return time.perf_counter() - t0, out


def numpy_reference(seconds, count, threads):
    """The same executor and plain-thread runs for NumPy's own np.exp, which
    also releases the interpreter's lock, on an array sized so that one call
    takes about as long as one summary: the executor's share, and the cost of
    handing the lock over after each call, do not depend on whose native code
    runs."""
    # Each thread writes into an output of its own (no allocation per call).
    local = threading.local()
    def call(_):
        out = getattr(local, "out", None)
        if out is None or out.shape != a.shape:
            out = local.out = np.empty_like(a)
        return np.exp(a, out=out)
    size = 1000
    a = np.linspace(0.0, 1.0, size)
    while True:
        call(0)
        t0 = time.perf_counter()
        for _ in range(20):
            call(0)
        if (time.perf_counter() - t0) / 20 >= seconds or size > 10 ** 7:
            break
        size = size * 5 // 4
        a = np.linspace(0.0, 1.0, size)
    items = range(count)
    def best(fn):
        return min(_timed(fn) for _ in range(3))
    serial = best(lambda: [call(i) for i in items])
    with ThreadPoolExecutor(threads) as ex:
        pooled = best(lambda: list(ex.map(call, items)))
    plain = best(lambda: _in_plain_threads(lambda j: [call(i) for i in range(j, count, threads)], threads))
    return size, serial, pooled, plain


def _usage():
    # The process's processor time (user and system) and its voluntary and
    # involuntary context switches so far, over all its threads.
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime, r.ru_nvcsw, r.ru_nivcsw


def _ratio(a, b):
    # A run too short for the clock's resolution has no processor time to
    # compare with.
    return f"{a / b:.2f}x" if b > 0 else "n/a"


def _timed(fn):
    """(elapsed seconds, processor seconds of the process) of one call of fn."""
    cpu0 = _usage()[0]
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0, _usage()[0] - cpu0


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=_positive_int, default=2000)
    ap.add_argument("--size", type=_positive_int, default=300)
    ap.add_argument("--threads", type=_positive_int, nargs="+", default=[1, 2])
    ap.add_argument("--chunk", type=_positive_int, default=50, help="marginals per task in the chunked run")
    ap.add_argument("--repeat", type=_positive_int, default=5, help="rounds; each configuration keeps its best run")
    args = ap.parse_args(argv)
    kinds = ["gauss", "skew", "heavy", "uneven"]
    marginals = [R.make_marginal(kinds[i % 4], args.size, seed=i) for i in range(args.count)]
    # Every configuration runs once per round, for --repeat rounds, and keeps
    # its best time: all of them see the same states of this shared machine.
    configs = [(1, 0, "")]
    for t in args.threads:
        if t != 1:
            configs += [(t, 0, "a task per marginal"), (t, args.chunk, f"tasks of {args.chunk} marginals"),
                        (t, -1, "plain threads, a share each")]
    # Every run's summaries are compared with the first serial run's.
    # Beside each best time, the processor time the process spent in that run
    # (all threads) and its context switches: where two threads do not scale,
    # these say whether the processors sat idle or did more work.
    best = {}
    same = dict.fromkeys(configs, True)
    base = None
    for _ in range(args.repeat):
        for cfg in configs:
            before = _usage()
            elapsed, out = run(marginals, cfg[0], cfg[1])
            after = _usage()
            if cfg not in best or elapsed < best[cfg][0]:
                best[cfg] = (elapsed,) + tuple(b - a for a, b in zip(before, after))
            base = out if base is None else base
            same[cfg] = same[cfg] and out == base

    base_time, base_cpu = best[configs[0]][:2]

    def usage(cfg):
        _, cpu, vcs, ivcs = best[cfg]
        return (f"processor time {_ratio(cpu, base_cpu)} the serial run's, "
                f"context switches {vcs} voluntary, {ivcs} involuntary")

    print(f"{args.size} points, {args.count} marginals")
    print(f"1 thread : {base_time:.3f} s  ({args.count / base_time:.0f} marginals/s)  {usage(configs[0])}")
    ok = same[configs[0]]
    for cfg in configs[1:]:
        t, _, label = cfg
        elapsed = best[cfg][0]
        ok &= same[cfg]
        print(f"{t} threads, {label}: {elapsed:.3f} s  ({args.count / elapsed:.0f} marginals/s)  "
              f"speed-up {base_time / elapsed:.2f}x  identical: {'yes' if same[cfg] else 'NO'}  {usage(cfg)}")
    for t in args.threads:
        if t == 1:
            continue
        size, serial, pooled, plain = numpy_reference(base_time / args.count, args.count, t)
        print(f"for comparison, np.exp on {size} points ({serial[0] / args.count * 1e6:.0f} us a call), {t} threads: "
              f"a task per call: speed-up {serial[0] / pooled[0]:.2f}x (processor time {_ratio(pooled[1], serial[1])}); "
              f"plain threads, a share each: speed-up {serial[0] / plain[0]:.2f}x "
              f"(processor time {_ratio(plain[1], serial[1])})")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
