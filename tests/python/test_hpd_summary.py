"""HPD intervals, the mode and the printed summary, checked against the same
steps done with NumPy and SciPy objects (tests/python/reference.py, which
re-smooths at every step), on the SciPy path and on the fallback path."""
import contextlib
import inspect
import io
import sys
import threading

import numpy as np
import pandas as pd
import pytest

import reference as R
from vordex.pure import densitykit as dk

LABELS = [
    "Mean            ",
    "Stdev           ",
    "Quantile  0.025 ",
    "Quantile  0.25  ",
    "Quantile  0.5   ",
    "Quantile  0.75  ",
    "Quantile  0.975 ",
    "Mode            ",
]
KEYS = ["mean", "sd", "quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975", "mode"]
NOT_MARGINAL = "Input is not a valid marginal (matrix Nx2 or dict {'x','y'})."


def _marginals():
    out = R.seeded_marginals((3, 7, 30, 300))
    out.append(("skew-3000", R.make_marginal("skew", 3000, 3)))
    # zeros and NaN densities, unsorted input
    m = R.make_marginal("skew", 40, 5)
    m[[0, 7, 20], 1] = [0.0, np.nan, 0.0]
    out.append(("zeros-nan", m[np.random.default_rng(1).permutation(40)]))
    # shifted far from zero and very narrow
    g = R.make_marginal("gauss", 50, 0)
    out.append(("far", np.column_stack([1e6 + 1e-3 * g[:, 0], g[:, 1]])))
    return out


MARGINALS = _marginals()
FORMS = R.FORMS
PROBS = [0.0, 0.001, 0.5, 0.8, 0.95, 0.999, 1.0, 1.3, -0.2]


def _same_outcome(got_fn, want_fn):
    """Both raise the same exception type, or both return the same value."""
    try:
        want = want_fn()
    except Exception as e:  # the reference refuses: so must the module
        with pytest.raises(type(e)):
            got_fn()
        return None
    got = got_fn()
    return got, want


# --- agreement with the step-by-step reference ---------------------------------------------

def test_summary_and_mode_bit_for_bit(path):
    for name, m in MARGINALS:
        r = _same_outcome(lambda: dk.tova_zmarginal(m, silent=True), lambda: R.zmarginal(m, scipy=path))
        if r is None:
            continue
        got, want = r
        assert list(got) == KEYS, name
        assert all(type(v) is float for v in got.values()), name
        assert got == want, name
        mode = dk.tova_mmarginal(m)
        assert type(mode) is float
        assert mode == want["mode"], name


def test_hpd_bit_for_bit(path):
    for name, m in MARGINALS:
        for length in (2048, 64):
            r = _same_outcome(lambda: dk.tova_hpdmarginal(PROBS, m, length),
                              lambda: R.hpdmarginal(PROBS, m, length, scipy=path))
            if r is None:
                continue
            got, want = r
            assert got.dtype == np.float64 and got.shape == (len(PROBS), 2)
            np.testing.assert_array_equal(got, want, err_msg=f"{name} length={length}")


@pytest.mark.parametrize("form", sorted(FORMS))
def test_all_input_forms_agree(path, form):
    for name, m in MARGINALS[::5]:
        mm = FORMS[form](m)
        want = R.zmarginal(m, scipy=path)
        assert dk.tova_zmarginal(mm, silent=True) == want, name
        assert dk.tova_mmarginal(mm) == want["mode"], name
        np.testing.assert_array_equal(dk.tova_hpdmarginal([0.5, 0.95], mm),
                                      R.hpdmarginal([0.5, 0.95], m, scipy=path))


def test_calls_from_several_threads_agree():
    m = R.make_marginal("uneven", 300, 4)
    want = dk.tova_zmarginal(m, silent=True)
    want_h = dk.tova_hpdmarginal([0.5, 0.95], m)
    results = []

    def work():
        for _ in range(5):
            results.append((dk.tova_zmarginal(m, silent=True), dk.tova_hpdmarginal([0.5, 0.95], m)))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 20
    for z, h in results:
        assert z == want
        np.testing.assert_array_equal(h, want_h)


# --- HPD intervals ---------------------------------------------------------------------------

def test_hpd_shapes_and_order(path):
    m = R.make_marginal("skew", 60, 0)
    one = dk.tova_hpdmarginal(0.9, m)
    assert one.shape == (1, 2) and one.dtype == np.float64
    rows = dk.tova_hpdmarginal([0.9, 0.5, 0.99], m)
    assert rows.shape == (3, 2)
    for i, p in enumerate([0.9, 0.5, 0.99]):
        np.testing.assert_array_equal(rows[i], dk.tova_hpdmarginal(p, m)[0])
    # several dimensions: one row per entry, read in C order
    grid = dk.tova_hpdmarginal(np.array([[0.9, 0.5], [0.99, 0.2]]), m)
    np.testing.assert_array_equal(grid, dk.tova_hpdmarginal([0.9, 0.5, 0.99, 0.2], m))
    assert dk.tova_hpdmarginal([], m).shape == (0, 2)
    # tuples, integers and NumPy scalars are probabilities too
    np.testing.assert_array_equal(dk.tova_hpdmarginal((1, np.float32(0.5)), m),
                                  dk.tova_hpdmarginal([1.0, float(np.float32(0.5))], m))


def test_hpd_geometry(path):
    g = R.make_marginal("gauss", 201, 0)
    lo, hi = dk.tova_hpdmarginal(0.95, g)[0]
    step = 8.0 / 2047
    assert abs(lo + hi) < 2 * step
    assert abs(hi - 1.959964) < 5e-3
    s = R.make_marginal("skew", 200, 0)
    for p in (0.5, 0.9, 0.95):
        lo, hi = dk.tova_hpdmarginal(p, s)[0]
        q = dk.tova_qmarginal([0.5 - p / 2, 0.5 + p / 2], s)
        assert hi - lo < q[1] - q[0]
        assert abs(dk.tova_pmarginal(hi, s) - dk.tova_pmarginal(lo, s) - p) < 2e-3


def test_hpd_density_negligible_at_the_lower_end(path):
    # The density is below _EPS of the total over the first grid points.
    x = np.linspace(0.0, 40.0, 200)
    m = np.column_stack([x, np.exp(-0.5 * (x - 35.0) ** 2)])
    (xmin, _xmax) = dk.tova_sfmarginal(dk.tova_smarginal(m))["range"]
    lo, hi = dk.tova_hpdmarginal(1.0, m)[0]
    assert lo == xmin
    np.testing.assert_array_equal(dk.tova_hpdmarginal([1.0, 0.9], m), R.hpdmarginal([1.0, 0.9], m, scipy=path))


@pytest.mark.parametrize("p", [np.nan, [0.5, np.nan], [[0.1], [np.nan]]])
def test_hpd_nan_probability_is_refused(path, p):
    m = R.make_marginal("gauss", 30, 0)
    with pytest.raises(ValueError, match="must not be NaN"):
        dk.tova_hpdmarginal(p, m)


def test_hpd_arguments(path):
    m = R.make_marginal("gauss", 30, 0)
    np.testing.assert_array_equal(dk.tova_hpdmarginal(0.9, m, 100.7), dk.tova_hpdmarginal(0.9, m, length=100))
    with pytest.raises(TypeError, match="Argument 'length' has incorrect type"):
        dk.tova_hpdmarginal(0.9, m, "100")
    with pytest.raises(IndexError):
        dk.tova_hpdmarginal(0.9, m, 1)
    with pytest.raises(ValueError):
        dk.tova_hpdmarginal(0.9, m, -3)
    with pytest.raises(ValueError):
        dk.tova_hpdmarginal("abc", m)
    with pytest.raises(TypeError):
        dk.tova_hpdmarginal(0.9, "not a marginal")
    with pytest.raises(ValueError, match="too small"):
        dk.tova_hpdmarginal(0.9, {"x": [1.0, 2.0, 3.0], "y": [1.0, 0.0, 1.0]})
    # length = 2: one trapezoid, still a valid interval inside the range
    lo, hi = dk.tova_hpdmarginal(0.5, m, 2)[0]
    assert -4.0 <= lo <= hi <= 4.0


# --- mode --------------------------------------------------------------------------------

def test_mode_at_the_ends_stays_between_the_outer_percentiles(path):
    x = np.linspace(0.0, 6.0, 60)
    p = np.arange(0.01, 1.0, 0.01)
    for y, (i, j) in ((np.exp(-x), (0, 1)), (np.exp(x), (97, 98))):
        m = np.column_stack([x, y])
        q = dk.tova_qmarginal(p, m)
        mode = dk.tova_mmarginal(m)
        assert q[i] <= mode <= q[j]
        assert mode == R.mmarginal(m, scipy=path)


def test_mode_median_mean_agree_on_a_symmetric_marginal(path):
    z = dk.tova_zmarginal(R.make_marginal("gauss", 161, 0), silent=True)
    assert abs(z["mode"]) < 1e-3 and abs(z["quant0.5"]) < 1e-3 and abs(z["mean"]) < 1e-9
    assert abs(z["sd"] - 1.0) < 2e-3


def test_mode_errors_pass_through(path):
    with pytest.raises(TypeError):
        dk.tova_mmarginal([1, 2, 3])
    with pytest.raises(ValueError, match="too small"):
        dk.tova_mmarginal(np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 0.0]]))
    with pytest.raises(KeyError):
        dk.tova_mmarginal({"x": [1.0, 2.0, 3.0]})


# --- summary -------------------------------------------------------------------------------

def test_printed_summary_is_exact(path, capsys):
    m = R.make_marginal("skew", 30, 0)
    want = R.zmarginal(m, scipy=path)
    got = dk.tova_zmarginal(m)
    out = capsys.readouterr().out
    assert out == "".join(f"{lab}{format(want[k], '.6g')}\n" for lab, k in zip(LABELS, KEYS))
    assert got == want
    lines = out.splitlines()
    assert len(lines) == 8 and all(len(line) > 16 for line in lines)
    # silent: nothing printed, same mapping
    assert dk.tova_zmarginal(m, silent=True) == got
    assert dk.tova_zmarginal(m, True) == got
    assert capsys.readouterr().out == ""


def test_summary_follows_sys_stdout_redirection(path):
    m = R.make_marginal("gauss", 30, 0)
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        z = dk.tova_zmarginal(m, silent=0)
    assert buf.getvalue().splitlines() == [f"{lab}{format(z[k], '.6g')}" for lab, k in zip(LABELS, KEYS)]
    # like print(): no stream, no output and no error
    saved = sys.stdout
    try:
        sys.stdout = None
        assert dk.tova_zmarginal(m) == z
    finally:
        sys.stdout = saved


def test_summary_converts_silent_on_entry():
    # The flag's truth value is taken before any work: its error comes first,
    # even for a marginal that would fail, and no computation runs after it.
    class Flag:
        def __init__(self):
            self.calls = 0

        def __bool__(self):
            self.calls += 1
            raise RuntimeError("silent flag")

    flag = Flag()
    with pytest.raises(RuntimeError, match="silent flag"):
        dk.tova_zmarginal({"x": [1.0, 2.0, 3.0], "y": [0.0, 0.0, 1.0]}, flag)
    with pytest.raises(RuntimeError, match="silent flag"):
        dk.tova_zmarginal(R.make_marginal("gauss", 30, 0), silent=flag)
    assert flag.calls == 2


def test_summary_formats_numbers_like_python():
    # Values spanning the fixed/exponent switch of '.6g', checked through a
    # marginal scaled to them.
    g = R.make_marginal("gauss", 40, 0)
    for scale in (1e-7, 3e-5, 1.0, 123456.0, 2.5e7):
        m = np.column_stack([1.0 + scale * g[:, 0] if scale < 1 else scale * g[:, 0], g[:, 1]])
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            z = dk.tova_zmarginal(m)
        assert buf.getvalue() == "".join(f"{lab}{format(z[k], '.6g')}\n" for lab, k in zip(LABELS, KEYS))


def test_sd_is_zero_when_the_variance_cancels(path, capsys):
    # A marginal far from zero and very narrow: E[X^2] - mean^2 rounds to a
    # value that is not positive.
    g = R.make_marginal("gauss", 30, 0)
    found = 0
    for shift in (1e6, 2e6, 3e6, 7e6, 1e7):
        m = np.column_stack([shift + 1e-3 * g[:, 0], g[:, 1]])
        mm = R.emarginal(lambda xx: np.column_stack([xx, xx ** 2]), m, scipy=path)
        if mm[1] - float(mm[0]) * float(mm[0]) > 0.0:
            continue
        found += 1
        z = dk.tova_zmarginal(m)
        assert z["sd"] == 0.0
        assert "Stdev           0\n" in capsys.readouterr().out
    assert found > 0


def test_summary_refuses_other_forms_and_prints_nothing_on_failure(path, capsys):
    for bad in ([[0, 1], [1, 2], [2, 3]], np.zeros((2, 2)), np.zeros((5, 3)), {"x": [1, 2, 3]}, "m", None,
                pd.DataFrame({"x": [1.0, 2.0], "y": [1.0, 1.0]})):
        with pytest.raises(ValueError) as e:
            dk.tova_zmarginal(bad)
        assert str(e.value) == NOT_MARGINAL
    # accepted form but unusable after cleaning: the cleaning error, no output
    with pytest.raises(ValueError, match="too small"):
        dk.tova_zmarginal({"x": [1.0, 2.0, 3.0], "y": [1.0, 0.0, 1.0]})
    with pytest.raises(ValueError):
        dk.tova_zmarginal({"x": np.ones((3, 2)), "y": np.ones((3, 2))})
    assert capsys.readouterr().out == ""


def test_summary_uses_the_module_form_check(monkeypatch):
    m = R.make_marginal("gauss", 30, 0)
    monkeypatch.setattr(dk, "tova_is_marginal", lambda marginal: False)
    with pytest.raises(ValueError, match="not a valid marginal"):
        dk.tova_zmarginal(m, silent=True)


def test_signatures_and_annotations():
    h = inspect.signature(dk.tova_hpdmarginal)
    assert list(h.parameters) == ["p", "marginal", "length"]
    assert h.parameters["length"].default == 2048
    assert dk.tova_hpdmarginal.__annotations__ == {
        "p": "ArrayLike", "marginal": "Marginal", "length": "int", "return": "np.ndarray"}
    assert list(inspect.signature(dk.tova_mmarginal).parameters) == ["marginal"]
    assert dk.tova_mmarginal.__annotations__ == {"marginal": "Marginal", "return": "float"}
    z = inspect.signature(dk.tova_zmarginal)
    assert list(z.parameters) == ["marginal", "silent"] and z.parameters["silent"].default is False
    assert dk.tova_zmarginal.__annotations__ == {
        "marginal": "Marginal", "silent": "bool", "return": "Dict[str, float]"}
    for f in (dk.tova_hpdmarginal, dk.tova_mmarginal, dk.tova_zmarginal):
        assert f.__doc__ and f.__module__ == "vordex.pure.densitykit"
