"""The command line `python3 -m vordex`, run as a user runs it: in a subprocess,
on real files in every input format, broken ones included."""

import importlib.resources
import importlib.util
import io
import json
import os
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest

import vordex
from vordex.pure import densitykit as dk

PKG_ROOT = pathlib.Path(vordex.__file__).resolve().parents[1]
HAVE_MPL = importlib.util.find_spec("matplotlib") is not None
LABELS = ["Mean            ", "Stdev           ", "Quantile  0.025 ", "Quantile  0.25  ",
          "Quantile  0.5   ", "Quantile  0.75  ", "Quantile  0.975 ", "Mode            "]
KEYS = ["mean", "sd", "quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975", "mode"]


def run(*args, stdin=None, cwd=None, pythonpath=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = pythonpath or str(PKG_ROOT)
    return subprocess.run([sys.executable, "-m", "vordex", *map(str, args)], input=stdin,
                          capture_output=True, cwd=cwd, env=env, timeout=300)


def out_lines(proc):
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stderr == b""
    return proc.stdout.decode().splitlines()


def assert_user_error(proc, *phrases):
    """Status 2, exactly one line on stderr naming the problem, nothing on stdout."""
    err = proc.stderr.decode()
    assert proc.returncode == 2, (proc.returncode, err)
    assert "Traceback" not in err
    assert proc.stdout == b""
    assert len(err.splitlines()) == 1, err
    for phrase in phrases:
        assert phrase in err, err
    return err


@pytest.fixture(scope="module")
def example():
    text = importlib.resources.files("vordex").joinpath("data", "example_marginal.csv").read_text()
    return np.loadtxt(io.StringIO(text), delimiter=",", skiprows=1)


# Writers of the example marginal in each accepted format: name -> (suffix, bytes).
def _formats(m):
    rows_csv = "\n".join(f"{x!r},{y!r}" for x, y in m.tolist())
    npy = io.BytesIO()
    np.save(npy, m)
    return {
        "csv_header": (".csv", ("x,y\n" + rows_csv + "\n").encode()),
        "csv_bare_crlf": (".csv", (rows_csv.replace("\n", "\r\n") + "\r\n").encode()),
        "csv_swapped_quoted": (".csv", ('"y","x"\n' + "\n".join(f"{y!r},{x!r}" for x, y in m.tolist())).encode()),
        "csv_bom_named": (".csv", ("\ufefftau,density\n" + rows_csv).encode("utf-8")),
        "whitespace_comments": (".txt", ("# posterior of tau\n\n" + "\n".join(
            f"  {x!r}\t {y!r}" for x, y in m.tolist()) + "\n\n").encode()),
        "npy": (".npy", npy.getvalue()),
        "json_object": (".json", json.dumps({"x": m[:, 0].tolist(), "y": m[:, 1].tolist()}).encode()),
        "json_pairs_no_suffix": ("", json.dumps(m.tolist()).encode()),
    }


def test_summary_without_file_summarises_the_bundled_example(example):
    lines = out_lines(run("summary"))
    z = dk.tova_zmarginal(example, silent=True)
    (lo, hi), = dk.tova_hpdmarginal([0.95], example).tolist()
    expected = [label + format(z[key], ".6g") for label, key in zip(LABELS, KEYS)]
    assert lines == expected + [f"HPD  0.95       [{lo:.6g}, {hi:.6g}]"]
    # A skewed example: the HPD interval is shorter than the equal-tailed one.
    assert hi - lo < z["quant0.975"] - z["quant0.025"]


def test_summary_json_matches_the_toolkit(example, tmp_path):
    path = tmp_path / "m.csv"
    np.savetxt(path, example, delimiter=",", header="x,y", comments="")
    doc = json.loads(run("summary", path, "--json", "--hpd", "0.5", "0.8", "--hpd", "1").stdout)
    assert doc["points"] == example.shape[0]
    assert list(doc["summary"]) == KEYS
    assert doc["summary"] == dk.tova_zmarginal(example, silent=True)
    hpd = dk.tova_hpdmarginal([0.5, 0.8, 1.0], example)
    assert [(h["p"], h["low"], h["high"]) for h in doc["hpd"]] == \
        [(p, lo, hi) for p, (lo, hi) in zip([0.5, 0.8, 1.0], hpd.tolist())]
    # Nested intervals, the full one reaching both ends of the range.
    lows, highs = hpd[:, 0], hpd[:, 1]
    assert lows[0] > lows[1] > lows[2] and highs[0] < highs[1] < highs[2]


STDIN_TOO = {"csv_bom_named", "whitespace_comments", "npy", "json_object", "json_pairs_no_suffix"}


@pytest.mark.parametrize("fmt", list(_formats(np.zeros((1, 2)))))
def test_every_input_format_reads_the_same_marginal(example, tmp_path, fmt):
    suffix, data = _formats(example)[fmt]
    path = tmp_path / f"marginal{suffix}"
    path.write_bytes(data)
    probs = [0.0, 0.025, 0.5, 0.975, 1.0]
    want = [repr(float(v)) for v in dk.tova_qmarginal(probs, example)]
    assert out_lines(run("quantile", path, *probs)) == want
    if fmt in STDIN_TOO:
        # The same bytes on standard input, recognised by their content.
        assert out_lines(run("quantile", "-", *probs, stdin=data)) == want


def test_quantile_cdf_and_sample_match_the_toolkit(example):
    path = PKG_ROOT / "vordex" / "data" / "example_marginal.csv"
    if not path.is_file():
        pytest.skip("example marginal not next to the imported package")
    qs = [3.0, -1.0, 0.5, 2.0, 100.0, float("inf")]
    got = [float(v) for v in out_lines(run("cdf", path, *qs))]
    assert got == dk.tova_pmarginal(np.array(qs), example).tolist()
    assert got[1] == 0.0 and got[5] == pytest.approx(1.0) and got[0] > got[3] > got[2]

    ps = [0.9, 0.1, 0.5]
    got = [float(v) for v in out_lines(run("quantile", path, *ps))]
    assert got == dk.tova_qmarginal(np.array(ps), example).tolist()

    draws = [float(v) for v in out_lines(run("sample", path, 25, "--seed", 11))]
    assert draws == dk.tova_rmarginal(25, example, np.random.default_rng(11)).tolist()
    assert out_lines(run("sample", path, 25, "--seed", 11)) == [repr(v) for v in draws]
    other = [float(v) for v in out_lines(run("sample", path, 25, "--seed", 12))]
    assert other != draws
    assert out_lines(run("sample", path, 0)) == []


def test_many_draws_are_written_in_blocks_and_a_reader_may_stop_early(example):
    from vordex.cli import SAMPLE_BLOCK
    path = PKG_ROOT / "vordex" / "data" / "example_marginal.csv"
    if not path.is_file():
        pytest.skip("example marginal not next to the imported package")
    # Across block boundaries: every draw once, in order.
    n = 2 * SAMPLE_BLOCK + 3
    want = [repr(v) for v in dk.tova_rmarginal(n, example, np.random.default_rng(5)).tolist()]
    assert out_lines(run("sample", path, n, "--seed", 5)) == want
    # A reader that takes one line and goes away (| head -1) ends the command
    # quietly, long before it has written its millions of lines.
    env = dict(os.environ, PYTHONPATH=str(PKG_ROOT))
    proc = subprocess.Popen([sys.executable, "-m", "vordex", "sample", str(path), "5000000", "--seed", "5"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    assert proc.stdout.readline().decode().strip() == want[0]
    proc.stdout.close()
    assert proc.wait(timeout=120) == 1
    assert proc.stderr.read() == b""
    proc.stderr.close()


def _object_npy():
    buf = io.BytesIO()
    np.save(buf, np.array([[1, "a"], [2, "b"], [3, "c"]], dtype=object), allow_pickle=True)
    return buf.getvalue()


def _npy_claiming(shape, arr):
    """A .npy file whose header announces `shape` but which holds only arr's data."""
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": "<f8", "fortran_order": False, "shape": shape})
    return buf.getvalue() + arr.astype("<f8").tobytes()


def _npy(arr):
    buf = io.BytesIO()
    np.save(buf, arr)
    return buf.getvalue()


def _npy_header(header, payload):
    """A .npy file with the given header dict, written as NumPy writes one."""
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, header)
    return buf.getvalue() + payload


BROKEN = {
    "three_columns.csv": (b"x,y\n0,1,2\n1,2,3\n2,1,4\n", ["line 2", "expected 2 columns"]),
    "word_in_data.csv": (b"x,y\n0,1\n1,abc\n2,1\n", ["line 3", "'abc'"]),
    "empty.csv": (b"", ["no data points"]),
    "header_only.csv": (b"x,y\n", ["no data points"]),
    "numbers_and_junk.txt": (b"1 2\n3 4 oops\n", ["line 2"]),
    "binary.dat": (bytes(range(256)) * 4, ["not a text table"]),
    "transposed.npy": (_npy(np.ones((2, 5))), ["shape (2, 5)", "transpose"]),
    "vector.npy": (_npy(np.ones(6)), ["shape (6,)"]),
    "strings.npy": (_npy(np.array([["a", "b"]] * 3)), ["not real numbers"]),
    "pickled.npy": (_object_npy(), ["not a readable .npy file"]),
    "truncated.npy": (_npy(np.ones((5, 2)))[:70], ["not a readable .npy file"]),
    "not_json.json": (b"x,y\n1,2\n", ["not valid JSON"]),
    "no_y.json": (b'{"x": [1, 2, 3]}', ['"x" and "y"', "'y'"]),
    "lengths.json": (b'{"x": [1, 2, 3], "y": [1, 2]}', ['"x" has 3 values but "y" has 2']),
    "string_values.json": (b'{"x": [1, 2, 3], "y": [1, "2", 1]}', ['"y"[1]', "not a number"]),
    "scalar.json": (b"3.5", ["expected a JSON object"]),
    "huge_number.json": (b'{"x": [1, 2, 1' + b"0" * 400 + b'], "y": [1, 2, 1]}', ['"x"[2]', "too large"]),
    "nested.json": (b"[" * 100000 + b"]" * 100000, ["nested too deeply"]),
    "bool_dimension.npy": (_npy_header({"descr": "<f8", "fortran_order": False, "shape": (True, 2)}, bytes(16)),
                           ["not a readable .npy file"]),
    "complex_field.npy": (_npy(np.array([(1 + 2j, 1.0)] * 4, dtype=[("x", "c16"), ("y", "f8")])),
                          ["fields x and y must hold real numbers"]),
    "huge_header.npy": (_npy_claiming((10 ** 15, 2), np.ones((3, 2))),
                        ["not a readable .npy file", "more than the file holds"]),
    # Read fine, refused by the toolkit.
    "all_zero.csv": (b"0,0\n1,0\n2,0\n3,0\n", ["marginal rejected", "Need >=3 support points"]),
    "two_points.json": (b'{"x": [0, 1], "y": [1, 1]}', ["marginal rejected"]),
    "repeated_x.csv": (b"0,1\n1,2\n1,2\n2,1\n3,0.5\n", ["marginal rejected"]),
    "nan_x.csv": (b"0,1\nnan,2\n1,2\n2,1\n", ["marginal rejected"]),
}


STDIN_TOO_BROKEN = {"binary.dat", "truncated.npy", "word_in_data.csv", "empty.csv", "lengths.json"}


@pytest.mark.parametrize("name", sorted(BROKEN))
def test_broken_input_is_one_line_and_status_2(tmp_path, name):
    data, phrases = BROKEN[name]
    path = tmp_path / name
    path.write_bytes(data)
    assert_user_error(run("summary", path), name, *phrases)
    if name in STDIN_TOO_BROKEN:
        # Through standard input the content decides the format; still a clean error.
        assert_user_error(run("quantile", "-", 0.5, stdin=data), "<stdin>", *phrases[:1])


def test_unreadable_paths_and_bad_arguments(tmp_path, example):
    good = tmp_path / "m.csv"
    np.savetxt(good, example, delimiter=",")
    assert_user_error(run("summary", tmp_path / "missing.csv"), "missing.csv", "no such file")
    assert_user_error(run("cdf", tmp_path, 1.0), "is a directory")
    for args, phrase in [
        (("quantile", good, 1.5), "[0, 1]"),
        (("quantile", good, "nan"), "[0, 1]"),
        (("quantile", good, "half"), "not a probability"),
        (("cdf", good, "nan"), "nan"),
        (("sample", good, -4), "negative"),
        (("sample", good, 2.5), "whole number"),
        (("sample", good, 3, "--seed", -1), "negative"),
        (("summary", "--hpd", 95), "(0, 1]"),
        (("summary", "--hpd", 0.9, "half", good), "'half' is not a probability"),
        (("summary", good, "--hpd", 0), "(0, 1]"),
        (("summary", good, "--bogus"), "unrecognized arguments"),
        (("plot", good), "-o/--output"),
        (("plot", good, "-o", "x.png", "--width", 0), "positive"),
        (("plot", good, "-o", "x.png", "--height", 10**6), "at most"),
        (("plot", good, "-o", "x.png", "--dpi", 1), "between 10 and 1200"),
        (("plot", good, "-o", "x.png", "--dpi", 30000), "between 10 and 1200"),
        (("frobnicate",), "invalid choice"),
    ]:
        proc = run(*args, cwd=tmp_path)
        err = proc.stderr.decode()
        assert proc.returncode == 2 and "Traceback" not in err and phrase in err, (args, err)
        assert proc.stdout == b""
    assert not list(tmp_path.glob("*.png"))
    # FILE may follow the HPD probabilities.
    assert out_lines(run("summary", "--hpd", 0.9, 0.5, good)) == out_lines(run("summary", good, "--hpd", 0.9, 0.5))
    # No command at all: the overview, and status 2.
    proc = run()
    assert proc.returncode == 2 and b"summary" in proc.stderr and b"Traceback" not in proc.stderr


@pytest.mark.parametrize("command", [(), ("summary",), ("quantile",), ("cdf",), ("sample",), ("plot",)])
def test_help_everywhere(command):
    proc = run(*command, "--help")
    text = proc.stdout.decode()
    assert proc.returncode == 0 and text.startswith("usage:"), proc.stderr
    assert "npy" in text  # the input formats are explained on every page


def test_importing_the_package_and_the_cli_stays_light():
    code = ("import sys, vordex, vordex.cli; "
            "print(sorted(m for m in ('numpy', 'scipy', 'pandas', 'matplotlib', "
            "'vordex.pure.densitykit') if m in sys.modules))")
    env = dict(os.environ, PYTHONPATH=str(PKG_ROOT))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]"


def _png_size(data: bytes):
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.skipif(not HAVE_MPL, reason="matplotlib is not installed")
def test_plot_writes_a_png_of_the_requested_size(tmp_path, example):
    out = tmp_path / "default.png"
    assert out_lines(run("plot", "-o", out)) == []
    assert out.stat().st_size > 5000 and _png_size(out.read_bytes()) == (800, 500)

    data = json.dumps({"x": example[:, 0].tolist(), "y": example[:, 1].tolist()}).encode()
    out = tmp_path / "sized.png"
    proc = run("plot", "-", "-o", out, "--width", 641, "--height", 377, "--dpi", 72,
               "--hpd", 0.8, stdin=data)
    assert out_lines(proc) == []
    assert _png_size(out.read_bytes()) == (641, 377)

    # '-' as output: the PNG goes to standard output.
    proc = run("plot", "-o", "-", "--width", 300, "--height", 200)
    assert proc.returncode == 0 and _png_size(proc.stdout) == (300, 200)

    assert_user_error(run("plot", "-o", tmp_path / "no" / "dir.png"), "cannot write")
    assert_user_error(run("plot", "-o", tmp_path / "x.unknownformat"), "unknown image format")
    assert_user_error(run("plot", "-o", tmp_path / "x.pgf"), "unknown image format 'pgf'")
    # the ends of the --dpi range draw, without warnings
    for dpi in (10, 1200):
        assert out_lines(run("plot", "-o", tmp_path / f"dpi{dpi}.png", "--width", 200, "--height", 150,
                             "--dpi", dpi)) == []
    assert_user_error(run("plot", tmp_path / "missing.csv", "-o", tmp_path / "m.png"), "no such file")
    assert not (tmp_path / "m.png").exists()


@pytest.mark.skipif(not HAVE_MPL, reason="needs matplotlib")
def test_plot_shows_names_as_plain_text_and_writes_nothing_on_failure(tmp_path, example):
    rows = "\n".join(f"{x!r},{y!r}" for x, y in example.tolist())
    # A header and a file name that look like math markup, a file name that is not UTF-8.
    src = tmp_path / "m.csv"
    src.write_text("$\\foo$,density\n" + rows + "\n")
    odd = os.fsencode(tmp_path) + b"/n\xff$a$.csv"
    with open(odd, "wb") as fh:
        fh.write(src.read_bytes())
    for source, out in ((src, tmp_path / "m.png"), (odd, tmp_path / "n.svg"), (odd, tmp_path / "n.eps")):
        proc = subprocess.run([sys.executable, "-m", "vordex", "plot", source, "-o", out], capture_output=True,
                              env=dict(os.environ, PYTHONPATH=str(PKG_ROOT)), timeout=300)
        assert proc.returncode == 0 and proc.stderr == b"", proc.stderr.decode()
        assert out.stat().st_size > 5000
    assert (tmp_path / "n.svg").read_bytes().rstrip().endswith(b"</svg>")
    # A reader that goes away from '-o -' ends the command quietly, with status 1.
    proc = subprocess.Popen([sys.executable, "-m", "vordex", "plot", src, "-o", "-"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=str(PKG_ROOT)))
    proc.stdout.close()
    assert proc.wait(timeout=300) == 1 and proc.stderr.read() == b""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="an address-space limit stops ASan")
def test_small_files_are_read_under_a_memory_limit(tmp_path, example):
    # Inputs are read in pieces: a small file needs no buffer of the size cap.
    import resource

    good = tmp_path / "m.csv"
    np.savetxt(good, example, delimiter=",")
    limit = 400 << 20
    proc = subprocess.run([sys.executable, "-m", "vordex", "quantile", str(good), "0.5"], capture_output=True,
                          env=dict(os.environ, PYTHONPATH=str(PKG_ROOT)), timeout=300,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert proc.returncode == 0, proc.stderr.decode()


def test_endless_input_and_impossible_counts_are_refused(tmp_path, example):
    if os.path.exists("/dev/zero"):
        assert_user_error(run("summary", "/dev/zero"), "/dev/zero", "too large for a marginal")
    good = tmp_path / "m.csv"
    np.savetxt(good, example, delimiter=",")
    proc = run("sample", good, 2 ** 63 - 1)
    assert proc.returncode == 2 and "at most 1,000,000,000 draws" in proc.stderr.decode()


def test_plot_without_matplotlib_says_how_to_install_it(tmp_path):
    # A package named matplotlib that fails to import stands for its absence.
    fake = tmp_path / "shadow" / "matplotlib"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('No module named matplotlib')\n")
    proc = run("plot", "-o", tmp_path / "x.png",
               pythonpath=os.pathsep.join([str(fake.parent), str(PKG_ROOT)]))
    assert_user_error(proc, "matplotlib", "apt-get install python3-matplotlib")
    assert not (tmp_path / "x.png").exists()


def test_output_that_cannot_be_written_and_closed_streams(example, tmp_path):
    good = tmp_path / "m.csv"
    np.savetxt(good, example, delimiter=",")
    env = dict(os.environ, PYTHONPATH=str(PKG_ROOT))
    cli = [sys.executable, "-m", "vordex"]
    if os.path.exists("/dev/full"):
        for args in (["quantile", str(good), "0.5"], ["summary", str(good), "--json"], ["sample", str(good), "10"]):
            with open("/dev/full", "wb") as full:
                proc = subprocess.run(cli + args, stdout=full, stderr=subprocess.PIPE, env=env, timeout=300)
            err = proc.stderr.decode()
            assert proc.returncode == 2 and "Traceback" not in err and len(err.splitlines()) == 1, err
            assert "cannot write the output: No space left on device" in err
    # closed standard output, closed standard input
    proc = subprocess.run(cli + ["quantile", str(good), "0.5"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          env=env, timeout=300, preexec_fn=lambda: os.close(1))
    assert proc.returncode == 2 and proc.stderr.decode().endswith("error: standard output is closed\n")
    proc = subprocess.run(cli + ["quantile", "-", "0.5"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=env, timeout=300, preexec_fn=lambda: os.close(0))
    assert_user_error(proc, "standard input is closed")


def test_draws_made_in_blocks_are_those_of_one_call(example):
    # The generator's uniforms follow one another from block to block.
    path = PKG_ROOT / "vordex" / "data" / "example_marginal.csv"
    if not path.is_file():
        pytest.skip("example marginal not next to the imported package")
    code = ("import sys, vordex.cli as cli\n"
            "cli.SAMPLE_DRAW_BLOCK = 1000\n"
            f"sys.exit(cli.main(['sample', {str(path)!r}, sys.argv[1], '--seed', '5']))\n")
    env = dict(os.environ, PYTHONPATH=str(PKG_ROOT))
    for n in (0, 999, 1000, 2503):
        proc = subprocess.run([sys.executable, "-P", "-c", code, str(n)], capture_output=True, env=env, timeout=300)
        want = [repr(v) for v in dk.tova_rmarginal(n, example, np.random.default_rng(5)).tolist()]
        assert out_lines(proc) == want
    # The largest count starts writing at once, without making all its draws
    # first (24 GB for 10^9 of them).
    proc = subprocess.Popen([sys.executable, "-P", "-m", "vordex", "sample", str(path), "1000000000", "--seed", "5"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    assert proc.stdout.readline().decode().strip() == repr(float(dk.tova_rmarginal(1, example,
                                                                                   np.random.default_rng(5))[0]))
    proc.stdout.close()
    assert proc.wait(timeout=120) == 1
    assert proc.stderr.read() == b""
    proc.stderr.close()


def test_help_and_version_to_a_reader_that_went_away_or_a_full_disk():
    env = dict(os.environ, PYTHONPATH=str(PKG_ROOT))
    for args in (["--help"], ["--version"], ["summary", "--help"]):
        for unbuffered in ("", "1"):
            e = dict(env, PYTHONUNBUFFERED=unbuffered) if unbuffered else {k: v for k, v in env.items()
                                                                          if k != "PYTHONUNBUFFERED"}
            proc = subprocess.Popen([sys.executable, "-m", "vordex", *args], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=e)
            proc.stdout.close()
            assert proc.wait(timeout=120) == 1 and proc.stderr.read() == b""
            proc.stderr.close()
        if os.path.exists("/dev/full"):
            with open("/dev/full", "wb") as full:
                proc = subprocess.run([sys.executable, "-m", "vordex", *args], stdout=full, stderr=subprocess.PIPE,
                                      env=env, timeout=120)
            err = proc.stderr.decode()
            assert proc.returncode == 2 and err.endswith("cannot write the output: No space left on device\n"), err
            assert len(err.splitlines()) == 1


def test_standard_input_that_does_not_block_is_read_to_its_end(example):
    import fcntl
    import time

    rows = [f"{x!r},{y!r}\n" for x, y in example.tolist()]
    r, w = os.pipe()
    fcntl.fcntl(r, fcntl.F_SETFL, fcntl.fcntl(r, fcntl.F_GETFL) | os.O_NONBLOCK)
    os.write(w, "".join(rows[:5]).encode())
    proc = subprocess.Popen([sys.executable, "-m", "vordex", "quantile", "-", "0.5"], stdin=r,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=str(PKG_ROOT)))
    os.close(r)
    time.sleep(0.5)  # the rest arrives later
    os.write(w, "".join(rows[5:]).encode())
    os.close(w)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err.decode()
    assert [float(v) for v in out.split()] == dk.tova_qmarginal(np.array([0.5]), example).tolist()


@pytest.mark.skipif(not HAVE_MPL, reason="needs matplotlib")
def test_plot_size_is_exact_and_a_failed_write_keeps_the_old_image(tmp_path):
    import resource

    # Sizes where width / dpi * dpi falls a rounding short of the width.
    for w, h, dpi in ((1000, 804, 100), (440, 300, 150)):
        out = tmp_path / f"{w}.png"
        assert out_lines(run("plot", "-o", out, "--width", w, "--height", h, "--dpi", dpi)) == []
        assert _png_size(out.read_bytes()) == (w, h)
    old = tmp_path / "1000.png"
    before = old.read_bytes()
    os.chmod(old, 0o640)
    # A size limit stops the write half-way: the old image stays whole, no piece is left.
    proc = subprocess.run([sys.executable, "-m", "vordex", "plot", "-o", str(old)], capture_output=True, env=dict(os.environ, PYTHONPATH=str(PKG_ROOT)), timeout=300,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192)))
    assert_user_error(proc, "cannot write", "File too large")
    assert old.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["1000.png", "440.png"]
    # A new image replaces the old one, keeps its permissions and is written
    # through a link to the file the link names.
    link = tmp_path / "link.png"
    link.symlink_to(old)
    assert out_lines(run("plot", "-o", link, "--width", 300, "--height", 200)) == []
    assert link.is_symlink() and _png_size(old.read_bytes()) == (300, 200)
    assert old.stat().st_mode & 0o777 == 0o640
