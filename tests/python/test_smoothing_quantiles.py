"""Smoothing, the log-density function, expectations, and the density,
distribution and quantile functions, checked against the same steps done
with NumPy and SciPy objects (tests/python/reference.py)."""
import numpy as np
import pytest

import reference as R
from vordex.pure import densitykit as dk


def _marginals():
    out = R.seeded_marginals((3, 7, 30, 300, 3000))
    # zeros and NaN densities, unsorted input
    m = R.make_marginal("skew", 40, 5)
    m[[0, 7, 20], 1] = [0.0, np.nan, 0.0]
    out.append(("zeros-nan", m[np.random.default_rng(1).permutation(40)]))
    return out


MARGINALS = _marginals()
FORMS = R.FORMS


def _eq(a, b):
    np.testing.assert_array_equal(np.asarray(a), np.asarray(b))
    assert np.shape(a) == np.shape(b)


def test_smoothing_chain_is_bit_for_bit(path):
    for name, m in MARGINALS:
        for log in (False, True):
            for ext in (0.0, 0.1):
                got = dk.tova_smarginal(m, log=log, extrapolate=ext)
                want = R.smarginal(m, log=log, extrapolate=ext, scipy=path)
                _eq(got["x"], want["x"])
                _eq(got["y"], want["y"])


def test_quantiles_distribution_density_expectation_bit_for_bit(path):
    p = [0.0, 0.001, 0.025, 0.25, 0.5, 0.75, 0.975, 0.999, 1.0]
    for name, m in MARGINALS:
        rng, _ = R._prep(m, path)
        q = np.linspace(rng[0] - 1, rng[1] + 1, 41)
        _eq(dk.tova_qmarginal(p, m), R.qmarginal(p, m, scipy=path))
        _eq(dk.tova_qmarginal(p, m, length=50), R.qmarginal(p, m, length=50, scipy=path))
        _eq(dk.tova_pmarginal(q, m), R.pmarginal(q, m, scipy=path))
        _eq(dk.tova_dmarginal(q, m), R.dmarginal(q, m, scipy=path))
        _eq(dk.tova_dmarginal(q, m, log=True), R.dmarginal(q, m, log=True, scipy=path))
        two = lambda x: np.column_stack([x, x ** 2])
        _eq(dk.tova_emarginal(two, m), R.emarginal(two, m, scipy=path))
        _eq(dk.tova_emarginal(np.sin, m), R.emarginal(np.sin, m, scipy=path))


def test_all_input_forms_agree(path):
    for name, m in MARGINALS[::5]:
        results = []
        for form in FORMS.values():
            mm = form(m)
            results.append((dk.tova_smarginal(mm)["x"], dk.tova_qmarginal([0.1, 0.9], mm),
                            dk.tova_emarginal(lambda x: x, mm)))
        for r in results[1:]:
            for a, b in zip(r, results[0]):
                _eq(a, b)


def test_smoothing_grid_shape_rules():
    x = np.arange(10.0)
    m = np.column_stack([x, np.exp(-0.5 * (x - 4) ** 2 / 4)])
    lg = dk.tova_smarginal(m, log=True)
    assert isinstance(lg, dict) and len(lg["x"]) == 150
    np.testing.assert_allclose(np.diff(lg["x"]), 9 / 149, rtol=1e-9)
    out = dk.tova_smarginal(m, keep_type=True)
    assert isinstance(out, np.ndarray) and out.shape[1] == 2
    assert isinstance(dk.tova_smarginal({"x": x, "y": m[:, 1]}, keep_type=True), dict)
    assert len(dk.tova_smarginal(m, log=True, factor=0)["x"]) == 10
    assert len(dk.tova_smarginal(m, log=True, factor=-3)["x"]) == 10
    assert len(dk.tova_smarginal(m, log=True, factor=2.7)["x"]) == 20
    # exp of the log result equals the density result where it survives cleaning
    dens = dk.tova_smarginal(m)
    np.testing.assert_array_equal(np.exp(lg["y"]), dens["y"])


def test_square_root_spacing_map():
    x = np.array([0.0, 0.01, 0.02, 0.03, 1.0, 2.0, 3.0])
    m = {"x": x, "y": np.ones_like(x)}
    xs = dk.tova_smarginal(m, log=True, factor=40)["x"]
    near0 = np.diff(xs[xs < 0.03]).mean()
    near3 = np.diff(xs[xs > 2.0]).mean()
    assert 5 < near3 / near0 < 20


def test_extrapolation():
    x = np.linspace(0, 10, 21)
    m = {"x": x, "y": np.exp(-0.5 * (x - 5) ** 2 / 4)}
    ext = dk.tova_smarginal(m, extrapolate=0.1, log=True)
    assert ext["x"][0] == -1.0 and ext["x"][-1] == 11.0 and np.all(np.isfinite(ext["y"]))
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(dk, "_SCIPY_OK", False)
        lin = dk.tova_smarginal(m, extrapolate=0.1, log=True)
        assert np.isnan(lin["y"][0]) and np.isnan(lin["y"][-1])
        dens = dk.tova_smarginal(m, extrapolate=0.1)
        assert dens["x"][0] >= 0.0 and dens["x"][-1] <= 10.0
    with pytest.raises(ValueError, match="^extrapolate must be non-negative.$"):
        dk.tova_smarginal(m, extrapolate=-0.1)


def test_huge_factor_or_length_is_a_clean_error():
    m = R.make_marginal("gauss", 10)
    with pytest.raises((MemoryError, OverflowError)):
        dk.tova_smarginal(m, factor=10 ** 15)
    with pytest.raises((MemoryError, OverflowError)):
        dk.tova_smarginal(m, factor=2 ** 70)
    with pytest.raises((MemoryError, OverflowError)):
        dk.tova_qmarginal(0.5, m, length=10 ** 12)
    # a failed allocation says so (not an empty MemoryError)
    with pytest.raises(MemoryError, match="^Unable to allocate the memory this call needs.$"):
        dk.tova_pmarginal(0.0, m, length=2 ** 42)


def test_sfmarginal_function():
    m = R.make_marginal("skew", 25)
    f = R.marginal_fix(m)
    sf = dk.tova_sfmarginal(m)
    assert list(sf) == ["range", "fun"]
    assert sf["range"] == (f["x"][0], f["x"][-1])
    fun = sf["fun"]
    assert fun.__qualname__ == "tova_sfmarginal.<locals>._fun"
    assert str(__import__("inspect").signature(fun)) == "(xx: 'ArrayLike')"
    np.testing.assert_allclose(fun(f["x"][[0, -1]]), np.log(f["y"][[0, -1]]), rtol=1e-13)
    out = fun([f["x"][0] - 1e-9, f["x"][-1] + 1e-9])
    assert np.all(np.isnan(out))
    assert isinstance(fun(1.0), np.ndarray) and fun(1.0).shape == ()
    pts = np.linspace(f["x"][0], f["x"][-1], 33).reshape(3, 11)
    assert fun(pts).shape == (3, 11)


def test_simpson_weights_and_expectation_rules():
    np.testing.assert_array_equal(dk._simpson_odd_grid(np.array([0.0, 1.0, 3.0])), [0.5, 1.5, 1.0])
    m = R.make_marginal("gauss", 40)
    assert dk.tova_emarginal(lambda x: x, m).shape == ()
    assert dk.tova_emarginal(lambda x: np.column_stack([x, x ** 2]), m).shape == (2,)
    np.testing.assert_allclose(dk.tova_emarginal(lambda x: np.full(len(x), 3.5), m), 3.5, rtol=1e-14)
    np.testing.assert_allclose(dk.tova_emarginal(lambda x: np.array([2.0]), m), 2.0, rtol=1e-14)
    calls = []

    def f(x, a, scale=1):
        calls.append((len(x), a, scale))
        return x * a * scale

    dk.tova_emarginal(f, m, 2, scale=3)
    assert len(calls) == 1 and calls[0][1:] == (2, 3) and calls[0][0] % 2 == 1
    with pytest.raises(ValueError, match=r"^fun\(x\) must return an array with first dimension equal to len\(x\)\.$"):
        dk.tova_emarginal(lambda x: np.ones((3, 2)), m)
    with pytest.raises(ValueError, match=r"^fun\(x\) must return an array with first dimension equal to len\(x\)\.$"):
        dk.tova_emarginal(lambda x: np.ones((3, 2, 2)), m)
    # A column of the wrong length meets the weights' column in NumPy's product.
    n = len(dk.tova_smarginal(m)["x"])
    n -= 1 - n % 2
    for k in (n - 1, 0):
        with pytest.raises(ValueError) as numpy_error:
            np.ones((k, 1)) * np.ones((n, 1))
        with pytest.raises(ValueError) as err:
            dk.tova_emarginal(lambda x: x[:k], m)
        assert str(err.value) == str(numpy_error.value)
    with pytest.raises(IndexError, match="^tuple index out of range$"):
        dk.tova_emarginal(lambda x: 1.0, m)
    with pytest.raises(ZeroDivisionError):
        dk.tova_emarginal(lambda x: 1 / 0, m)
    with pytest.raises(TypeError):
        dk.tova_emarginal(lambda x: x + 1j, m)


def test_density_distribution_quantile_edge_cases(path):
    m = R.make_marginal("gauss", 30)
    lo, hi = dk.tova_sfmarginal(dk.tova_smarginal(m))["range"]
    d = dk.tova_dmarginal(0.0, m)
    assert isinstance(d, np.ndarray) and d.shape == ()
    assert dk.tova_dmarginal([], m).shape == (0,)
    assert dk.tova_dmarginal(np.zeros((2, 3)), m).shape == (2, 3)
    # laid out as np.empty_like lays out an array like the points
    pts = np.linspace(lo, hi, 24).reshape(4, 6)
    for p in (np.asfortranarray(pts), pts[:, ::2], pts.T, np.asfortranarray(pts).astype(np.float32), pts.tolist()):
        got = dk.tova_dmarginal(p, m)
        want = np.empty_like(np.asarray(p, dtype=float))
        assert got.strides == want.strides and got.dtype == np.float64
        np.testing.assert_array_equal(got, dk.tova_dmarginal(np.ascontiguousarray(p, dtype=float), m))
    out = dk.tova_dmarginal([lo, hi, lo - 1e-9, hi + 1e-9, np.nan], m, log=True)
    assert np.all(np.isfinite(out[:2])) and np.all(out[2:] == -np.inf)
    assert np.all(dk.tova_dmarginal([lo - 1, np.nan], m) == 0.0)
    np.testing.assert_allclose(np.log(dk.tova_dmarginal([-1, 0, 1], m)), dk.tova_dmarginal([-1, 0, 1], m, log=True))
    q = np.linspace(lo - 1, hi + 1, 500)
    pq = dk.tova_pmarginal(q, m)
    assert np.all(np.diff(pq) >= 0) and pq[0] == 0.0 and abs(pq[-1] - 1.0) < 1e-15
    np.testing.assert_array_equal(dk.tova_pmarginal(q, m, normalize=False), pq)
    assert dk.tova_qmarginal(0.0, m) == lo
    np.testing.assert_array_equal(dk.tova_qmarginal([-0.5, 1.5], m), dk.tova_qmarginal([0.0, 1.0], m))
    scalar = dk.tova_qmarginal(0.5, m)
    assert (isinstance(scalar, np.ndarray) and scalar.shape == ()) if path else isinstance(scalar, np.float64)
    pp = np.linspace(0.01, 0.99, 25)
    np.testing.assert_allclose(dk.tova_pmarginal(dk.tova_qmarginal(pp, m), m), pp, atol=1e-6)
    line = dk.tova_pmarginal([lo, (lo + hi) / 2, hi], m, length=2)
    np.testing.assert_allclose(line, [0.0, 0.5, 1.0], atol=1e-15)


def test_distribution_on_a_tiny_scale_stays_a_probability(path):
    # Grid steps near 1e-110: the power form of the table's monotone cubic
    # overflows there (NaN at every point); the values are those of the same
    # marginal on steps of 0.1.
    xs = np.linspace(0.0, 3.0, 31)
    q = np.linspace(-0.5, 3.5, 81)
    flat = dk.tova_pmarginal(q, {"x": xs, "y": np.ones(31)})
    tiny = dk.tova_pmarginal(q * 1e-110, {"x": xs * 1e-110, "y": np.ones(31)})
    assert np.all((tiny >= 0.0) & (tiny <= 1.0))
    np.testing.assert_allclose(tiny, flat, atol=1e-9)
    assert tiny[0] == 0.0 and tiny[-1] == 1.0
    np.testing.assert_allclose(dk.tova_pmarginal(dk.tova_qmarginal([0.2, 0.7], {"x": xs * 1e-110, "y": np.ones(31)}),
                                                 {"x": xs * 1e-110, "y": np.ones(31)}), [0.2, 0.7], atol=1e-6)


def test_linear_distribution_on_a_subnormal_range_stays_a_probability(monkeypatch):
    # Without SciPy the table is read linearly; on a range of 1e-310 the
    # slopes of its steps overflow (np.interp's arithmetic gives inf there):
    # the values come from each step's fraction instead.
    monkeypatch.setattr(dk, "_SCIPY_OK", False)
    m = {"x": 1e-310 * np.linspace(0.0, 1.0, 5), "y": np.ones(5)}
    q = 1e-310 * np.array([-0.1, 0.0, 0.2, 0.5, 0.8, 1.0, 2.0])
    got = dk.tova_pmarginal(q, m)
    np.testing.assert_allclose(got, [0.0, 0.0, 0.2, 0.5, 0.8, 1.0, 1.0], atol=1e-9)
    np.testing.assert_allclose(dk.tova_qmarginal([0.1, 0.5, 0.9], m) / 1e-310, [0.1, 0.5, 0.9], rtol=1e-6)


def test_linear_smoothing_refuses_a_range_whose_grid_overflows(monkeypatch):
    # A range of 1e307: the rescaled positions span_x * (t - tmin) overflow.
    # The monotone path refuses them as SciPy does; the linear steps
    # (np.interp) would put all 314 grid points at 5e306 with one density.
    x = 1e306 * np.linspace(-5.0, 5.0, 21)
    m = np.column_stack([x, np.exp(-0.5 * (x / 1e306) ** 2)])
    with pytest.raises(ValueError, match="^`x` must contain only finite values.$"):
        dk.tova_smarginal(m)
    monkeypatch.setattr(dk, "_SCIPY_OK", False)
    steps = R.smarginal(m, scipy=False)
    assert np.all(steps["x"] == steps["x"][0])  # the plain steps' collapsed grid
    wide = "^The marginal's range is too wide to smooth: its grid positions overflow the double range.$"
    for call in (lambda: dk.tova_smarginal(m), lambda: dk.tova_qmarginal([0.5], m), lambda: dk.tova_zmarginal(m)):
        with pytest.raises(ValueError, match=wide):
            call()
    # Equal positions (a range of zero width) give NaN positions, not
    # overflow: the cleaning refuses them, as in the plain steps.
    same = np.column_stack([np.full(3, -1e12), [4.6e-06, 0.78, 1.8e-03]])
    with pytest.raises(ValueError, match="^Marginal has no finite density points after NaN removal.$"):
        dk.tova_smarginal(same, factor=1)
    # A tenth of that range is smoothed, symmetric about 0 as the input is.
    q = dk.tova_qmarginal([0.1, 0.5, 0.9], m / [10.0, 1.0])
    assert q[0] < -1e305 and abs(q[1]) < 1e-10 * abs(q[0]) and q[2] == pytest.approx(-q[0], rel=1e-9)


def test_grid_a_few_ulps_wide_is_sorted_as_the_cleaning_sorts(path):
    # Positions 1 + 1e-11 u: steps of a few ulps, so the smoothed positions
    # tie or step back by rounding. The smoothed marginal is then the cleaning
    # of exp(log output), reordered by NumPy's sort, ties included.
    rng = np.random.default_rng(1)
    u = np.sort(rng.uniform(0.0, 1.0, 253))
    c, s = rng.uniform(0.2, 0.8), rng.uniform(0.05, 0.3)
    m = np.column_stack([1.0 + 1e-12 * (u * 10.0), np.exp(-0.5 * ((u - c) / s) ** 2)])
    sm = dk.tova_smarginal(m)
    lg = dk.tova_smarginal(m, log=True)
    if path:
        assert not np.all(np.diff(lg["x"]) > 0)  # the case this test is about
    again = dk.tova_marginal_fix({"x": lg["x"], "y": np.exp(lg["y"])})
    _eq(again["x"], sm["x"])
    _eq(again["y"], sm["y"])
    ref = R.smarginal(m, scipy=path)
    _eq(sm["x"], ref["x"])
    _eq(sm["y"], ref["y"])


def test_equal_smoothed_positions_are_sorted_again_for_the_log_density(path):
    # Positions a few ulps apart, many of them equal: the smoothed grid has
    # equal positions. The log-density function cleans that grid again, and
    # NumPy's sort, which does not keep the order of equal keys, moves some of
    # their densities; the linear fallback interpolates the moved ones, while
    # the expectations use the grid as smoothed. (SciPy's spline refuses the
    # equal positions either way.)
    u = np.geomspace(1.0, 1e6, 301) / 1e6
    m = np.column_stack([1.0 + 1e-11 * u, np.exp(-0.5 * ((u - 0.5) / 0.2) ** 2)])
    sx = R.smarginal(m, scipy=path)["x"] if not path else None
    if sx is not None:  # the case this test is about
        assert np.any(np.diff(sx) == 0) and np.any(np.argsort(sx) != np.arange(sx.size))
    pts = np.linspace(m[0, 0], m[-1, 0], 500)
    two = lambda v: np.column_stack([v, v * v])  # noqa: E731
    for mine, steps in [
        (lambda: dk.tova_dmarginal(pts, m), lambda: R.dmarginal(pts, m, scipy=path)),
        (lambda: dk.tova_pmarginal(pts, m), lambda: R.pmarginal(pts, m, scipy=path)),
        (lambda: dk.tova_qmarginal(np.linspace(0, 1, 21), m), lambda: R.qmarginal(np.linspace(0, 1, 21), m, scipy=path)),
        (lambda: dk.tova_hpdmarginal([0.5, 0.9], m), lambda: R.hpdmarginal([0.5, 0.9], m, scipy=path)),
        (lambda: dk.tova_emarginal(two, m), lambda: R.emarginal(two, m, scipy=path)),
        (lambda: list(dk.tova_zmarginal(m, silent=True).values()), lambda: list(R.zmarginal(m, scipy=path).values())),
    ]:
        if path:
            with pytest.raises(ValueError, match="strictly increasing"):
                steps()
            with pytest.raises(ValueError, match="strictly increasing"):
                mine()
        else:
            _eq(np.asarray(mine()), np.asarray(steps()))


def test_length_below_two_is_refused():
    m = R.make_marginal("gauss", 30)
    for fn in (lambda L: dk.tova_qmarginal(0.5, m, length=L), lambda L: dk.tova_pmarginal(0.5, m, length=L)):
        for L in (0, 1):
            with pytest.raises(IndexError, match="length must be at least 2"):
                fn(L)
        with pytest.raises(ValueError, match="length must be at least 2"):
            fn(-3)
    # A negative length beyond the integer range is refused the same way (it
    # used to raise OverflowError).
    for fn in (lambda L: dk.tova_qmarginal(0.5, m, length=L), lambda L: dk.tova_pmarginal(0.5, m, length=L),
               lambda L: dk.tova_hpdmarginal(0.5, m, length=L)):
        with pytest.raises(ValueError, match=r"^length must be at least 2 \(got a huge negative number\)\.$"):
            fn(-2 ** 70)


def test_errors_come_in_order_marginal_then_length_then_points():
    # The table is made after the marginal is smoothed, and the points are
    # converted after the table: so a bad marginal reports before a bad
    # length, and a bad length before unconvertible points.
    too_small = {"x": [0.0, 1.0], "y": [1.0, 1.0]}
    good = R.make_marginal("gauss", 30)
    fns = [lambda p, m, L: dk.tova_pmarginal(p, m, length=L), lambda p, m, L: dk.tova_qmarginal(p, m, length=L),
           lambda p, m, L: dk.tova_hpdmarginal(p, m, length=L)]
    for fn in fns:
        with pytest.raises(ValueError, match="^Marginal too small after filtering"):
            fn(0.5, too_small, 1)
        with pytest.raises(TypeError, match="^Marginal must be an"):
            fn("half", [[0, 1], [1, 2], [2, 1]], -2)
        with pytest.raises(IndexError, match="length must be at least 2"):
            fn("half", good, 1)
        with pytest.raises(ValueError, match="could not convert string to float"):
            fn("half", good, 2048)


def test_quantile_beyond_last_kept_point_is_that_point():
    # a marginal whose upper tail is negligible: the table reaches 1 before the end
    x = np.linspace(0, 10, 60)
    y = np.exp(-0.5 * x ** 2 / 0.05)
    y[-1] = y[0] * 1e-12 + 1e-300
    m = {"x": x, "y": np.maximum(y, 1e-11)}
    qs = dk.tova_qmarginal([1.0 - 1e-16, 1.0], m)
    assert np.all(np.isfinite(qs))


def test_log_density_spline_squares_its_end_spacings_as_scipy_does(path):
    # The smoothed grid of these 13 points starts with a spacing whose square
    # as a NumPy float64 (h**2, the C library's pow) differs from h * h in
    # the last bit; SciPy's spline takes that square for its first row, and
    # so must the log-density function, or the distribution function of the
    # table built from it moves in the last bits.
    x = 1.0 + 1e-6 * (np.linspace(0.0, 1.0, 13) * 10.0)
    y = np.array([7.014888729522297e-301, 9.507872821356013e-301, 8.29547625945093e-301, 6.098511555808707e-301,
                  1.0745423420749856e-301, 4.579555122976579e-301, 4.82061778186913e-302, 7.919633741327218e-301,
                  6.506309698883432e-301, 4.131571288121887e-301, 5.761202808388436e-301, 7.3627790811843465e-301,
                  0.0])
    m = np.column_stack([x, y])
    rng, fun = R._prep(m, path)
    grid = np.linspace(rng[0], rng[1], 2048)
    _eq(dk.tova_sfmarginal(dk.tova_smarginal(m))["fun"](grid), fun(grid))
    pts = np.linspace(x[0], x[-1], 400)
    _eq(dk.tova_pmarginal(pts, m), R.pmarginal(pts, m, scipy=path))


@pytest.mark.parametrize("kind", ["gauss", "uneven"])
def test_long_marginals_bit_for_bit(kind):
    # 30,000 points: log-density splines of 450,000 knots, solved in blocks of
    # lanes (the uneven grid's elimination also swaps rows), and tables on many
    # knots per point. Everything equals the steps done with NumPy and SciPy.
    m = R.make_marginal(kind, 30000, 3)
    rng = np.random.default_rng(5)
    pts = np.sort(rng.uniform(m[0, 0], m[-1, 0], 300))
    p = rng.uniform(0.0, 1.0, 30)
    for got, want in [
        (dk.tova_smarginal(m)["y"], R.smarginal(m)["y"]),
        (dk.tova_pmarginal(pts, m), R.pmarginal(pts, m)),
        (dk.tova_qmarginal(p, m), R.qmarginal(p, m)),
        (dk.tova_hpdmarginal([0.5, 0.95], m), R.hpdmarginal([0.5, 0.95], m)),
        (list(dk.tova_zmarginal(m, silent=True).values()), list(R.zmarginal(m).values())),
        (dk.tova_spline(m), np.column_stack(R.spline(m))),
    ]:
        _eq(np.asarray(got), np.asarray(want))
