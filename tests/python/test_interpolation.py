"""The native interpolants against SciPy's and NumPy's own results.

Later steps keep or drop grid points by comparing interpolated values, so the
PCHIP and linear interpolants must agree with SciPy/NumPy exactly and the
not-a-knot spline to within a few ulps.
"""
import numpy as np
import pytest
from scipy.interpolate import CubicSpline, PchipInterpolator

from vordex import _coretest as ct


def _cases(seed_count=60):
    rng = np.random.default_rng(1234)
    for i in range(seed_count):
        n = [2, 3, 4, 5, 8, 17, 60][i % 7]
        kind = i % 5
        if kind == 0:  # uneven spacing, random values
            x = np.sort(rng.uniform(-10, 10, n))
            y = rng.normal(size=n) * 10 ** rng.uniform(-3, 3)
        elif kind == 1:  # flat runs
            x = np.cumsum(rng.uniform(0.01, 2, n))
            y = np.round(rng.normal(size=n))
        elif kind == 2:  # monotone
            x = np.cumsum(rng.exponential(1.0, n))
            y = np.cumsum(rng.exponential(1.0, n))
        elif kind == 3:  # slope sign changes, tiny spacings
            x = np.cumsum(10 ** rng.uniform(-8, 1, n))
            y = np.sin(3 * x) + rng.normal(scale=1e-3, size=n)
        else:  # log-density like
            x = np.sort(rng.normal(size=n) * 3)
            y = -0.5 * x ** 2
        if np.any(np.diff(x) <= 0):
            continue
        span = x[-1] - x[0]
        at = np.concatenate([
            rng.uniform(x[0], x[-1], 200), x,
            [x[0], x[-1], np.nextafter(x[0], -np.inf), np.nextafter(x[-1], np.inf),
             x[0] - 0.1 * span, x[-1] + 0.1 * span, np.nan],
        ])
        yield x, y, at


CASES = list(_cases())


def _ulps(a, b):
    a, b = np.asarray(a), np.asarray(b)
    fin = np.isfinite(b)
    assert np.array_equal(np.isnan(a), np.isnan(b))
    scale = np.maximum(np.spacing(np.abs(b[fin])), np.spacing(1.0) * np.max(np.abs(b[fin]), initial=0.0))
    return np.max(np.abs(a[fin] - b[fin]) / scale, initial=0.0)


@pytest.mark.parametrize("extrapolate", [False, True])
def test_pchip_matches_scipy_exactly(extrapolate):
    for x, y, at in CASES:
        want = PchipInterpolator(x, y, extrapolate=extrapolate)(at)
        got = ct.interp("pchip", x, y, at, extrapolate)
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("extrapolate", [False, True])
def test_not_a_knot_spline_within_a_few_ulps(extrapolate):
    worst = 0.0
    for x, y, at in CASES:
        want = CubicSpline(x, y, bc_type="not-a-knot", extrapolate=extrapolate)(at)
        got = ct.interp("cubic", x, y, at, extrapolate)
        worst = max(worst, _ulps(got, want))
    assert worst <= 8


def test_linear_matches_numpy_interp_exactly():
    for x, y, at in CASES:
        want = np.interp(at, x, y, left=np.nan, right=np.nan)
        np.testing.assert_array_equal(ct.interp("linear", x, y, at), want)
    # overflowing slope: retried from the right end, as np.interp does
    x = np.array([0.0, 1e-300, 1.0])
    y = np.array([-1e300, 1e300, 1e300])
    at = np.array([5e-301, 0.5])
    np.testing.assert_array_equal(ct.interp("linear", x, y, at), np.interp(at, x, y))


@pytest.mark.parametrize("kind", ["pchip", "cubic"])
@pytest.mark.parametrize(
    "x, y, message",
    [
        ([1.0], [1.0], "`x` must contain at least 2 elements."),
        ([0.0, 1.0, 2.0], [1.0, 2.0], "The length of `y` along `axis`=0 doesn't match the length of `x`"),
        ([0.0, np.nan, 2.0], [1.0, 2.0, 3.0], "`x` must contain only finite values."),
        ([0.0, 1.0, 2.0], [1.0, np.inf, 3.0], "`y` must contain only finite values."),
        ([0.0, 2.0, 1.0], [1.0, 2.0, 3.0], "`x` must be strictly increasing sequence."),
        ([0.0, 1.0, 1.0], [1.0, 2.0, 3.0], "`x` must be strictly increasing sequence."),
    ],
)
def test_constructor_errors_match_scipy(kind, x, y, message):
    ctor = PchipInterpolator if kind == "pchip" else CubicSpline
    with pytest.raises(ValueError) as scipy_err:
        ctor(np.array(x), np.array(y))
    assert str(scipy_err.value) == message
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(").replace(")", r"\)") + "$"):
        ct.interp(kind, np.array(x), np.array(y), np.array([0.5]))


def test_linear_with_unsorted_or_nan_knots_stays_in_bounds():
    # meaningless values, but no crash and no out-of-range read
    x = np.array([3.0, np.nan, 1.0, 2.0])
    y = np.array([1.0, 2.0, 3.0, 4.0])
    out = ct.interp("linear", x, y, np.linspace(-1, 5, 50))
    assert out.shape == (50,)


def test_numpy_sum_and_mean_bit_for_bit():
    rng = np.random.default_rng(7)
    for n in list(range(0, 300, 7)) + [8191, 8192, 8193, 16385, 50000]:
        a = rng.normal(size=n) * 10 ** rng.uniform(-5, 5, size=n)
        assert ct.numpy_sum(a) == np.sum(a)
        if n:
            assert ct.numpy_mean(a) == np.mean(a)


def test_linspace_bit_for_bit():
    rng = np.random.default_rng(3)
    for _ in range(200):
        a, b = sorted(rng.normal(size=2) * 10 ** rng.uniform(-10, 10))
        n = int(rng.integers(1, 5000))
        np.testing.assert_array_equal(ct.linspace(a, b, n), np.linspace(a, b, num=n))
    for a, b in [(0.0, 0.0), (1.0, 1.0 + 1e-310), (-5e-324, 5e-324)]:
        np.testing.assert_array_equal(ct.linspace(a, b, 7), np.linspace(a, b, num=7))
