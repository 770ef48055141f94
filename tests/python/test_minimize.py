"""Interval minimisers: the native bounded Brent search against SciPy's
``minimize_scalar(method="bounded")``, the golden-section search, and
``densitykit._minimize_on_interval`` on both of its paths."""

import math

import numpy as np
import pytest
from scipy.optimize import minimize_scalar

from vordex import _coretest as ct


class Budget:
    """Objective wrapper that records its abscissae and fails loudly instead
    of letting a search run away."""

    def __init__(self, fn, limit=10_000):
        self.fn, self.limit, self.xs = fn, limit, []

    def __call__(self, x):
        self.xs.append(x)
        if len(self.xs) > self.limit:
            raise RuntimeError("search did not end")
        return self.fn(x)


def _nan_right(x):
    return math.nan if x > 0.5 else (x - 0.2) ** 2


FUNCTIONS = {
    "parabola": lambda x: (x - 0.3) ** 2,
    "quartic": lambda x: (x * x - 2.0) ** 2 + 0.1 * x,
    "cos": math.cos,
    "exp_shifted": lambda x: math.exp(min(x, 700.0)) - 3.0 * x,
    "abs": lambda x: abs(x - 1.7),
    "step": lambda x: 0.0 if x < 0.25 else 1.0,
    "floor": lambda x: math.floor(4.0 * x) - x,
    "constant": lambda x: 2.0,
    "increasing": lambda x: x,
    "decreasing": lambda x: -x ** 3,
    "multimodal": lambda x: math.sin(7.0 * x) + 0.3 * math.cos(23.0 * x),
    "wiggly": lambda x: math.sin(1.0 / (abs(x) + 0.05)),
    "nan_everywhere": lambda x: math.nan,
    "nan_right": _nan_right,
    "inf_left": lambda x: math.inf if x < 0.4 else (x - 0.6) ** 2,
}

INTERVALS = [(0.0, 1.0), (-3.0, 4.0), (-10.0, -9.5), (1e6, 1e6 + 1.0), (-1e-8, 2e-8), (0.0, 1e3), (2.5, 2.5)]
TOLERANCES = [1e-5, 1e-6, 1e-10, 0.5, 0.0, -1e-3, 1e-300]


def _same(u, v):
    return (math.isnan(u) and math.isnan(v)) or u == v


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # SciPy's inf - inf in the parabola fit
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_brent_reproduces_scipy(name):
    fn = FUNCTIONS[name]
    for a, b in INTERVALS:
        for tol in TOLERANCES:
            ref_calls, our_calls = Budget(fn), Budget(fn)
            ref = minimize_scalar(ref_calls, bounds=(a, b), method="bounded", options={"xatol": tol})
            x, fun, nfev, status = ct.brent_bounded_result(our_calls, a, b, tol)
            where = f"{name} on [{a}, {b}] xatol={tol}"
            assert _same(x, float(ref.x)), where
            assert _same(fun, float(ref.fun)), where
            assert (nfev, status) == (ref.nfev, ref.status), where
            assert all(_same(float(u), v) for u, v in zip(ref_calls.xs, our_calls.xs)), where
            assert ct.brent_bounded(fn, a, b, tol) == x or math.isnan(x)


def test_brent_iteration_cap_matches_scipy():
    for maxiter in (0, 1, 2, 3, 7, 40):
        ref = minimize_scalar(math.cos, bounds=(0.0, 10.0), method="bounded",
                              options={"xatol": 1e-12, "maxiter": maxiter})
        x, _, nfev, status = ct.brent_bounded_result(math.cos, 0.0, 10.0, 1e-12, maxiter)
        assert (x, nfev, status) == (float(ref.x), ref.nfev, ref.status)


def test_brent_degenerate_interval_evaluates_once():
    calls = Budget(lambda x: (x - 1.0) ** 2)
    assert ct.brent_bounded_result(calls, 2.5, 2.5) == (2.5, 2.25, 1, 0)
    assert calls.xs == [2.5]


@pytest.mark.parametrize("bounds", [(-math.inf, 1.0), (0.0, math.inf), (math.nan, 1.0),
                                    (0.0, math.nan), (-math.inf, math.inf), (1.0, 0.0), (1e-9, 0.0)])
def test_brent_bound_errors_match_scipy(bounds):
    with pytest.raises(ValueError) as ref:
        minimize_scalar(math.cos, bounds=bounds, method="bounded")
    with pytest.raises(ValueError) as ours:
        ct.brent_bounded(math.cos, *bounds)
    assert str(ours.value) == str(ref.value)


def test_objective_errors_pass_through():
    err = KeyError("from the objective")

    def bad(x):
        if x > 0.5:
            raise err
        return x

    for search in (lambda f: ct.brent_bounded(f, 0.0, 1.0), lambda f: ct.golden_section(f, 0.0, 1.0, 1e-6)):
        with pytest.raises(KeyError) as got:
            search(bad)
        assert got.value is err
        with pytest.raises(TypeError):
            search(lambda x: "not a number")


# ---------------------------------------------------------------------------
# golden-section search
# ---------------------------------------------------------------------------

def test_golden_reference_example():
    calls = Budget(lambda x: (x - 0.3) ** 2)
    x = ct.golden_section(calls, 0.0, 1.0, 1e-6)
    assert calls.xs[:2] == [0.3819660112501051, 0.6180339887498949]
    assert len(calls.xs) == 30
    assert x == 0.3000003273408487
    assert all(type(v) is float for v in calls.xs)


def test_golden_degenerate_interval():
    calls = Budget(lambda x: x * x)
    assert ct.golden_section(calls, -4.0, -4.0, 1e-6) == -4.0
    assert calls.xs == [-4.0, -4.0]


@pytest.mark.parametrize("tol", [0.0, -1.0, -math.inf, 1e-300, 5e-324])
@pytest.mark.parametrize("a, b, target", [(0.0, 1.0, 0.3), (1e6, 1e6 + 1.0, 1e6 + 0.25), (-1e-200, 1e-200, 0.0)])
def test_golden_ends_for_tiny_or_nonpositive_tolerance(tol, a, b, target):
    calls = Budget(lambda x: abs(x - target), limit=2000)
    x = ct.golden_section(calls, a, b, tol)
    # Stopped at the resolution of the bracket, next to the minimum.
    assert len(calls.xs) < 2000
    assert abs(x - target) <= 8 * np.spacing(max(abs(a), abs(b)))


def test_golden_goes_on_where_the_bracket_stops_shrinking_for_a_while(monkeypatch):
    # On a flat top far from zero (the mode of a wide Gaussian) the bracket
    # can stop shrinking for some steps and then go on to the limit: the
    # search follows it there as the plain loop does (it used to stop at the
    # first such step, up to 1e19 ulps away); it ends only where its state
    # repeats.
    import sys
    import os

    sys.path.insert(0, os.path.dirname(__file__))
    import reference as R
    from vordex.pure import densitykit as dk

    monkeypatch.setattr(dk, "_SCIPY_OK", False)
    for scale in 10.0 ** np.arange(0, 301, 20):
        x = np.linspace(-5, 5, 41) * scale
        m = np.column_stack([x, np.exp(-0.5 * (x / scale) ** 2)])
        assert dk.tova_mmarginal(m) == R.mmarginal(m, scipy=False), scale


@pytest.mark.parametrize("a, b", [(1e308, 1.7e308), (-1.7e308, 1.7e308), (1.7e308, -1e308)])
def test_golden_searches_brackets_near_the_double_range(a, b):
    # The stopping limit tol * ((1 + |a|) + |b|), or b - a itself, exceeds the
    # double range: the bracket used to be returned unsearched (its midpoint).
    target = 1.5e308
    calls = Budget(lambda x: abs(x - target), limit=200)
    x = ct.golden_section(calls, a, b, 1e-6)
    assert all(math.isfinite(v) and min(a, b) <= v <= max(a, b) for v in calls.xs)
    assert 20 < len(calls.xs) < 200
    assert abs(x - target) <= 1e-5 * target


def test_golden_nan_and_bad_arguments():
    calls = Budget(lambda x: math.nan)
    x = ct.golden_section(calls, 0.0, 1.0, 1e-6)
    assert 1.0 - 3e-6 < x <= 1.0 and len(calls.xs) <= 30
    with pytest.raises(ValueError, match="^Optimization bounds must be finite scalars.$"):
        ct.golden_section(math.cos, 0.0, math.inf, 1e-6)
    with pytest.raises(ValueError, match="^Optimization bounds must be finite scalars.$"):
        ct.golden_section(math.cos, math.nan, 1.0, 1e-6)
    with pytest.raises(ValueError, match="^The tolerance must not be NaN.$"):
        ct.golden_section(math.cos, 0.0, 1.0, math.nan)


# ---------------------------------------------------------------------------
# densitykit._minimize_on_interval
# ---------------------------------------------------------------------------

dk = pytest.importorskip("vordex.pure.densitykit")
needs_mi = pytest.mark.skipif(not hasattr(dk, "_minimize_on_interval"),
                              reason="_minimize_on_interval is not registered in this build")


@pytest.fixture
def scipy_path(monkeypatch):
    monkeypatch.setattr(dk, "_SCIPY_OK", True, raising=False)
    monkeypatch.setattr(dk, "minimize_scalar", minimize_scalar, raising=False)


@pytest.fixture
def golden_path(monkeypatch):
    monkeypatch.setattr(dk, "_SCIPY_OK", False, raising=False)


@needs_mi
def test_minimize_on_interval_calls_scipy_as_documented(scipy_path, monkeypatch):
    seen = []

    class Result:
        x = np.float64(0.25)

    def spy(*args, **kwargs):
        seen.append((args, list(kwargs.items())))
        return Result()

    monkeypatch.setattr(dk, "minimize_scalar", spy)
    f = math.cos
    out = dk._minimize_on_interval(f, 0, 2, tol=1e-3)
    assert type(out) is float and out == 0.25
    (args, kwargs), = seen
    assert args == (f,) and args[0] is f
    assert kwargs == [("bounds", (0.0, 2.0)), ("method", "bounded"), ("options", {"xatol": 1e-3})]
    assert all(type(v) is float for v in kwargs[0][1])


@needs_mi
def test_minimize_on_interval_scipy_results_and_errors(scipy_path):
    for name in ("parabola", "multimodal", "abs", "nan_right"):
        fn = FUNCTIONS[name]
        ref = minimize_scalar(fn, bounds=(-3.0, 4.0), method="bounded", options={"xatol": 1e-6})
        assert _same(dk._minimize_on_interval(fn, -3.0, 4.0), float(ref.x))
    with pytest.raises(ValueError, match="^The lower bound exceeds the upper bound.$"):
        dk._minimize_on_interval(math.cos, 1.0, 0.0)
    with pytest.raises(ValueError, match="^Optimization bounds must be finite scalars.$"):
        dk._minimize_on_interval(math.cos, 0.0, math.nan)
    with pytest.raises(ValueError, match="^The tolerance must not be NaN.$"):
        dk._minimize_on_interval(math.cos, 0.0, 1.0, math.nan)


@needs_mi
def test_minimize_on_interval_golden_path(golden_path):
    calls = Budget(lambda x: (x - 0.3) ** 2)
    out = dk._minimize_on_interval(calls, 0, 1)
    assert type(out) is float and out == 0.3000003273408487
    assert len(calls.xs) == 30 and all(type(v) is float for v in calls.xs)
    calls = Budget(lambda x: x)
    assert dk._minimize_on_interval(calls, 3, 3) == 3.0 and calls.xs == [3.0, 3.0]
    for tol in (0.0, -1.0, 1e-300):
        assert abs(dk._minimize_on_interval(Budget(lambda x: (x - 0.3) ** 2), 0.0, 1.0, tol) - 0.3) < 1e-7
    # numpy scalars and objects with __float__ are numbers too
    assert dk._minimize_on_interval(lambda x: np.float64((x - 0.5) ** 2), np.float32(0), 1.0) == pytest.approx(0.5)


@needs_mi
def test_minimize_on_interval_golden_errors(golden_path):
    with pytest.raises(TypeError):
        dk._minimize_on_interval(math.cos, "0", 1.0)
    with pytest.raises(TypeError):
        dk._minimize_on_interval(lambda x: "low", 0.0, 1.0)
    with pytest.raises(TypeError):
        dk._minimize_on_interval(lambda x: [x], 0.0, 1.0)
    err = ZeroDivisionError("inside f")

    def bad(x):
        raise err

    with pytest.raises(ZeroDivisionError) as got:
        dk._minimize_on_interval(bad, 0.0, 1.0)
    assert got.value is err
    with pytest.raises(ValueError, match="^Optimization bounds must be finite scalars.$"):
        dk._minimize_on_interval(math.cos, -math.inf, 1.0)
    with pytest.raises(ValueError, match="^The tolerance must not be NaN.$"):
        dk._minimize_on_interval(math.cos, 0.0, 1.0, math.nan)


@needs_mi
def test_minimize_on_interval_reads_flag_at_each_call(monkeypatch):
    fn = FUNCTIONS["multimodal"]
    monkeypatch.setattr(dk, "minimize_scalar", minimize_scalar, raising=False)
    monkeypatch.setattr(dk, "_SCIPY_OK", True, raising=False)
    ref = minimize_scalar(fn, bounds=(0.0, 1.0), method="bounded", options={"xatol": 1e-6})
    assert dk._minimize_on_interval(fn, 0.0, 1.0) == float(ref.x)
    monkeypatch.setattr(dk, "_SCIPY_OK", 0)
    assert dk._minimize_on_interval(fn, 0.0, 1.0) == ct.golden_section(fn, 0.0, 1.0, 1e-6)
    monkeypatch.setattr(dk, "_SCIPY_OK", np.bool_(True))
    assert dk._minimize_on_interval(fn, 0.0, 1.0) == float(ref.x)
