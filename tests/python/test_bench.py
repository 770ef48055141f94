"""The benchmark runner runs and finds vordex and the NumPy/SciPy steps in
agreement on every row (a short run on small marginals)."""
import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def test_benchmark_runner_agrees_with_the_baseline(tmp_path):
    out = tmp_path / "bench.json"
    md = tmp_path / "BENCH.md"
    env = dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", ROOT))
    proc = subprocess.run([sys.executable, "-P", os.path.join(ROOT, "bench", "run.py"), "--sizes", "30",
                           "--budget", "0.005", "--json", str(out), "--markdown", str(md)],
                          capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = json.loads(out.read_text())["results"]
    names = {r["operation"] for r in rows}
    assert {"tova_zmarginal", "tova_hpdmarginal([.5,.95])", "tova_qmarginal(5)", "tova_rmarginal(100000)"} <= names
    # Every public operation has a row; those without a speed target say so.
    public = {"tova_smarginal", "tova_spline", "tova_marginal_fix", "tova_deriv_func", "tova_sfmarginal",
              "tova_dmarginal", "tova_pmarginal", "tova_qmarginal", "tova_emarginal", "tova_hpdmarginal",
              "tova_mmarginal", "tova_zmarginal", "tova_rmarginal", "tova_tmarginal"}
    assert public == {name.split("(")[0].split(" ")[0] for name in names}
    targeted = {r["operation"] for r in rows if r["target"] is not None}
    assert {"tova_marginal_fix", "tova_sfmarginal + fun(1000)", "tova_deriv_func(np.sin)(1000)"} == names - targeted
    assert all(r["same"] for r in rows)
    assert all(r["baseline_s"] > 0 and r["vordex_s"] > 0 for r in rows)
    # Every operation is timed on each of the three kinds of marginal.
    assert {(r["operation"], r["kind"]) for r in rows} == {(op, k) for op in names for k in ("gauss", "skew", "uneven")}
    text = md.read_text()
    for kind in ("gauss", "skew", "uneven"):
        assert f"| `tova_zmarginal` | {kind} | 30 |" in text
    assert f"of {len(targeted)} cells met;" in text
    assert f"of {sum(r['target'] is not None for r in rows)} rows" in text


def test_thread_scaling_runs_give_the_serial_results():
    # Every way of spreading the marginals over threads (a task each, chunks,
    # plain threads with a share each) must give the serial summaries in order.
    env = dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", ROOT))
    proc = subprocess.run([sys.executable, "-P", os.path.join(ROOT, "bench", "threads.py"), "--count", "37",
                           "--size", "30", "--chunk", "5", "--repeat", "1", "--threads", "1", "3"],
                          capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    lines = [ln for ln in proc.stdout.splitlines() if "identical" in ln]
    assert len(lines) == 3 and all("identical: yes" in ln for ln in lines), proc.stdout
    # Every run, the serial one included, reports its processor time against
    # the serial run's and its context switches; the serial run is the unit.
    usage = [ln for ln in proc.stdout.splitlines() if "context switches" in ln]
    assert len(usage) == 4 and "processor time 1.00x the serial run's" in usage[0], proc.stdout


def test_thread_script_refuses_counts_below_one():
    # A chunk of 0 or less would time another configuration under the chunked
    # run's label; no marginals or no rounds would leave nothing to compare.
    env = dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", ROOT))
    for bad in (["--chunk", "0"], ["--chunk", "-2"], ["--count", "0"], ["--repeat", "0"], ["--threads", "0"]):
        proc = subprocess.run([sys.executable, "-P", os.path.join(ROOT, "bench", "threads.py")] + bad,
                              capture_output=True, text=True, env=env, timeout=600)
        assert proc.returncode == 2 and "must" in proc.stderr and bad[0] in proc.stderr, (bad, proc.stderr)
        assert "Traceback" not in proc.stderr and "points," not in proc.stdout


def test_runner_times_only_the_chosen_operations(tmp_path):
    out = tmp_path / "bench.json"
    env = dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", ROOT))
    run = [sys.executable, "-P", os.path.join(ROOT, "bench", "run.py"), "--sizes", "30", "--budget", "0.005"]
    proc = subprocess.run(run + ["--ops", "hpd", "qmarginal(5)", "--kinds", "skew", "--json", str(out)],
                          capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = json.loads(out.read_text())["results"]
    assert sorted(r["operation"] for r in rows) == ["tova_hpdmarginal([.5,.95])", "tova_qmarginal(5)"]
    assert all(r["same"] and r["kind"] == "skew" for r in rows)
    # A text that names no operation is an error, not an empty run.
    proc = subprocess.run(run + ["--ops", "hdp"], capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 2 and "hdp" in proc.stderr and "tova_" not in proc.stdout


def test_smooth_once_side_gives_the_same_numbers():
    # The third side (the steps with one smoothing per call) must give the
    # bits of the steps and of the module, or its times would compare
    # different work; the script asserts that before timing.
    env = dict(os.environ, PYTHONPATH=os.environ.get("PYTHONPATH", ROOT))
    proc = subprocess.run([sys.executable, "-P", os.path.join(ROOT, "bench", "smooth_once.py"), "--size", "30",
                           "--kinds", "gauss", "skew"], capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    rows = [ln.split() for ln in proc.stdout.splitlines()[1:]]
    assert [(r[0], r[1]) for r in rows] == [(k, op) for k in ("gauss", "skew")
                                            for op in ("tova_mmarginal", "tova_zmarginal", "tova_tmarginal")]
    for r in rows:
        steps, once, mine = (float(v.rstrip("us")) for v in r[2:5])
        assert steps > 0 and once > 0 and mine > 0
        assert float(r[7].rstrip("x")) == pytest.approx(steps / once, rel=0.06)
