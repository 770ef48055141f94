"""Property tests of the marginal toolkit on generated marginals.

Marginals come in all three forms (matrix, dict, DataFrame) with 3 to 2000
points: uneven and clustered grids, duplicated and unsorted positions,
zero, negative, NaN and infinite densities, subnormal and huge scales
(1e-300 .. 1e300), negative zero, and positions from 1e-12 to 1e12 in
magnitude. Every public function either raises one of the exceptions the
toolkit documents for such input or returns a result that satisfies its
invariants. Run with ``--long`` for many more examples.
"""

import math
import os

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import reference as R
from vordex.pure import densitykit as dk

LONG = os.environ.get("VORDEX_LONG") == "1"
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
EXAMPLES = 2000 if LONG else (15 if SANITIZED else 100)
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, derandomize=not LONG,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# For generated marginals of an accepted form the documented failures are
# ValueErrors: too few usable points, all densities NaN, and what the spline
# and monotone interpolants refuse (repeated or non-finite positions, flat
# stretches of a cumulative table).
DOCUMENTED = (ValueError,)
ULP = np.finfo(float).eps



# --- generation -------------------------------------------------------------------------------

@st.composite
def raw_marginals(draw, unimodal_only=False, clean=False):
    """(x, y, description) as float64 arrays, generated from a few drawn
    parameters and a seeded NumPy generator (fast for 2000 points)."""
    n = draw(st.one_of(st.integers(3, 12), st.integers(13, 300), st.integers(301, 2000)))
    seed = draw(st.integers(0, 2 ** 32 - 1))
    scale = draw(st.sampled_from([1e-12, 1e-6, 1.0, 1e3, 1e12]))
    offset = draw(st.sampled_from([0.0, -0.0, 1.0, -1e12, 1e12, 1e-12]))
    spacing = draw(st.sampled_from(["even", "uniform", "clustered", "log"]))
    shape = "bump" if unimodal_only else draw(st.sampled_from(["bump", "skew", "rough", "twin", "flat"]))
    yscale = draw(st.sampled_from([1.0, 1e-300, 1e300, 5e-324 * 2 ** 40, 1e-150, 1e150]))
    rng = np.random.default_rng(seed)

    if spacing == "even":
        u = np.linspace(0.0, 1.0, n)
    elif spacing == "uniform":
        u = np.sort(rng.uniform(0.0, 1.0, n))
    elif spacing == "clustered":
        u = np.sort(rng.beta(0.3, 0.3, n))
    else:
        u = np.geomspace(1.0, 1e6, n) / 1e6
    x = offset + scale * (u * 10.0)

    c = rng.uniform(0.2, 0.8)
    if shape == "bump":
        y = np.exp(-0.5 * ((u - c) / rng.uniform(0.05, 0.3)) ** 2)
    elif shape == "skew":
        y = u ** rng.uniform(0.5, 3.0) * np.exp(-u * rng.uniform(2.0, 10.0))
    elif shape == "rough":
        y = rng.uniform(0.0, 1.0, n)
    elif shape == "twin":
        y = np.exp(-0.5 * ((u - 0.25) / 0.05) ** 2) + np.exp(-0.5 * ((u - 0.75) / 0.05) ** 2)
    else:
        y = np.ones(n)
    y = y * yscale

    if not clean:
        faults = draw(st.sets(st.sampled_from(
            ["dup", "shuffle", "zero", "negzero", "neg", "nan", "inf", "subnormal", "nanx"]), max_size=3))
        k = max(1, n // 20)
        idx = rng.choice(n, size=k)
        if "dup" in faults and n > 3:
            j = rng.choice(n - 1, size=k)
            x[j + 1] = x[j]
        if "zero" in faults:
            y[idx] = 0.0
        if "negzero" in faults:
            y[idx] = -0.0
            x[idx[:1]] = -0.0
        if "neg" in faults:
            y[idx] = -y[idx]
        if "nan" in faults:
            y[idx] = np.nan
        if "inf" in faults:
            y[idx[:1]] = np.inf
        if "subnormal" in faults:
            y[idx] = 5e-324
        if "nanx" in faults:
            x[idx[:1]] = np.nan
        if "shuffle" in faults:
            perm = rng.permutation(n)
            x, y = x[perm], y[perm]
    else:
        faults = set()
    return x, y, dict(n=n, spacing=spacing, shape=shape, scale=scale, yscale=yscale, faults=sorted(faults))


def mass_in_range(x, y):
    """Whether density times grid step stays well inside the normal double
    range. Outside it the quadrature and the cumulative table under- or
    overflow, so the invariants are checked only here; the tables refuse such
    marginals with a ValueError (tests at the end of this file), and the
    region has to fail cleanly, see test_extreme_scales_never_crash."""
    with np.errstate(all="ignore"):
        yy = np.abs(y[np.isfinite(y)])
        xx = x[np.isfinite(x)]
        if yy.size == 0 or xx.size < 2 or yy.max() == 0:
            return True
        width = float(np.ptp(xx))
        step = width / (15 * xx.size)
        if width == 0 or not np.isfinite(width):
            return True
        ymax = float(yy.max())
        return 1e-280 < ymax * step * dk._EPS and ymax * width < 1e280


FORMS = ["matrix", "dict", "frame"]


def as_form(x, y, form):
    if form == "matrix":
        return np.column_stack([x, y])
    if form == "dict":
        return {"x": x.copy(), "y": y.copy()}
    return pd.DataFrame({"x": x, "y": y})


def attempt(fn, *args, **kwargs):
    """The result of a call, or None when it raised a documented exception."""
    try:
        return fn(*args, **kwargs)
    except DOCUMENTED as e:
        assert str(e), f"{fn.__name__} raised {type(e).__name__} without a message"
        return None


def smoothed_range(m):
    s = dk.tova_smarginal(m)
    return float(s["x"].min()), float(s["x"].max())


def tol_for(lo, hi):
    """A few units in the last place of the range ends."""
    return 8 * ULP * max(abs(lo), abs(hi), hi - lo)


# --- cleaning, forms, smoothing ------------------------------------------------------------------

@SETTINGS
@given(raw_marginals(), st.sampled_from(FORMS))
def test_cleaning_and_smoothing_keep_their_guarantees(raw, form):
    x, y, info = raw
    m = as_form(x, y, form)
    before = (x.copy(), y.copy())
    assert dk.tova_is_marginal(m) is True

    fixed = attempt(dk.tova_marginal_fix, m)
    if fixed is None:
        # Refused only for reasons the cleaning documents.
        finite = y[~np.isnan(y)]
        ok = finite[(finite > 0)]
        assert finite.size == 0 or ok.size < 3 or np.any(np.isinf(finite)) or (
            np.sum(np.abs(ok / ok.max()) > dk._EPS) < 3)
    else:
        fx, fy = fixed["x"], fixed["y"]
        assert set(fixed) == {"x", "y"} and fx.dtype == fy.dtype == np.float64
        assert fx.size == fy.size >= 3
        assert np.all(np.isfinite(fy)) and np.all(fy > 0) and np.all(fy / fy.max() > dk._EPS)
        finite_x = fx[~np.isnan(fx)]
        assert np.all(np.diff(finite_x) >= 0) and not np.any(np.isnan(fx[: finite_x.size]))
        # Exactly the points that pass the test survive.
        keep = ~np.isnan(y)
        yk = y[keep]
        assert fy.size == np.count_nonzero((yk > 0) & (np.abs(yk / yk.max()) > dk._EPS))

    sm = attempt(dk.tova_smarginal, m)
    if sm is not None:
        sx, sy = sm["x"], sm["y"]
        assert sx.size == sy.size >= 3
        assert np.all(np.diff(sx) >= 0)
        assert np.all(np.isfinite(sy)) and np.all(sy > 0)
        assert fixed is not None
        assert sx[0] >= np.nanmin(fixed["x"]) - tol_for(sx[0], sx[-1])
        assert sx[-1] <= np.nanmax(fixed["x"]) + tol_for(sx[0], sx[-1])
        # The log output is the same grid before cleaning. The cleaning sorts
        # by position: on grids only a few ulps wide the positions can tie or
        # step back by rounding, and then the order of the points changes, so
        # the comparison is with the cleaning of exp(log output).
        lg = dk.tova_smarginal(m, log=True)
        assert lg["x"].size == 15 * fixed["x"].size
        e = np.exp(lg["y"])
        kept = ~np.isnan(e) & (e > 0) & (np.abs(e / np.nanmax(e)) > dk._EPS)
        assert np.count_nonzero(kept) == sy.size
        again = dk.tova_marginal_fix({"x": lg["x"], "y": e})
        np.testing.assert_array_equal(again["y"], sy)
        np.testing.assert_array_equal(again["x"], sx)
        if np.all(np.diff(lg["x"]) > 0):  # strictly ascending: nothing moves
            np.testing.assert_array_equal(e[kept], sy)
            np.testing.assert_array_equal(lg["x"][kept], sx)
    sp = attempt(dk.tova_spline, m)
    if sp is not None:
        px, py = (sp[:, 0], sp[:, 1]) if form == "matrix" else (sp["x"], sp["y"])
        assert isinstance(sp, np.ndarray) == (form == "matrix")
        assert np.all(np.diff(px) >= 0) and not np.any(np.isnan(py)) and np.all(py >= 0)
    # Inputs are never modified.
    if form == "matrix":
        np.testing.assert_array_equal(m[:, 0], before[0])
        np.testing.assert_array_equal(m[:, 1], before[1])
    else:
        np.testing.assert_array_equal(np.asarray(m["x"]), before[0])
        np.testing.assert_array_equal(np.asarray(m["y"]), before[1])


# --- evaluation functions -----------------------------------------------------------------------

@SETTINGS
@given(raw_marginals(), st.sampled_from(FORMS),
       st.lists(st.floats(0.0, 1.0), min_size=1, max_size=40))
def test_distribution_quantiles_and_density(raw, form, probs):
    x, y, info = raw
    assume(mass_in_range(x, y))
    m = as_form(x, y, form)
    sm = attempt(dk.tova_smarginal, m)
    q = attempt(dk.tova_qmarginal, np.asarray(probs), m)
    if sm is None:
        assert q is None  # nothing evaluates a marginal that cannot be smoothed
        return
    if q is None:
        return
    lo, hi = smoothed_range(m)
    tol = tol_for(lo, hi)
    p = np.asarray(probs)
    order = np.argsort(p, kind="stable")
    assert q.shape == p.shape and q.dtype == np.float64
    assert not np.any(np.isnan(q)), "a quantile of a probability in [0, 1] is NaN"
    assert np.all(q >= lo - tol) and np.all(q <= hi + tol)
    assert np.all(np.diff(q[order]) >= -tol), "quantiles decrease in p"

    grid = np.linspace(lo, hi, 2048)
    if not np.all(np.diff(grid) > 0):
        # A range a few ulps wide holds fewer than 2,048 doubles: the
        # distribution function's own table grid repeats positions, and its
        # monotone interpolant refuses them, as SciPy's does (the quantile
        # table, interpolated the other way round, may still be valid).
        with pytest.raises(ValueError, match="strictly increasing"):
            dk.tova_pmarginal(grid, m)
        with pytest.raises(ValueError, match="strictly increasing"):
            dk.tova_pmarginal(q, m)
        return
    table = dk.tova_pmarginal(grid, m)
    assert np.all(np.diff(table) >= -4 * ULP) and table[0] == 0.0 and abs(table[-1] - 1.0) <= 1e-12
    back = dk.tova_pmarginal(q, m)
    assert np.all(back >= 0.0) and np.all(back <= 1.0 + 1e-12)
    # Both interpolants pass through the same table: they disagree by at most
    # the mass of one table cell.
    cell = float(np.max(np.diff(table)))
    assert np.all(np.abs(back - p) <= cell + 1e-9), (np.max(np.abs(back - p)), cell)

    qs = np.sort(np.concatenate([q, grid[::97], [lo - 1.0 - abs(lo), hi + 1.0 + abs(hi)]]))
    cdf = dk.tova_pmarginal(qs, m)
    # The value at the last table point is 1 up to the rounding of the
    # interpolant there, which may sit an ulp below a value just before it.
    assert np.all(np.diff(cdf) >= -4 * ULP) and np.all((cdf >= 0) & (cdf <= 1.0 + 1e-12))
    assert cdf[0] == 0.0

    d = dk.tova_dmarginal(qs, m)
    dl = dk.tova_dmarginal(qs, m, log=True)
    assert np.all(d >= 0) and not np.any(np.isnan(d))
    outside = (qs < lo) | (qs > hi)
    assert np.all(d[outside] == 0.0) and np.all(dl[outside] == -np.inf)
    inside = ~outside & (d > 0)
    np.testing.assert_allclose(np.exp(dl[inside]), d[inside], rtol=1e-12)


@SETTINGS
@given(raw_marginals(), st.sampled_from(FORMS), st.integers(0, 300), st.integers(0, 2 ** 31))
def test_draws_mode_summary_and_expectation(raw, form, ndraw, seed):
    x, y, info = raw
    assume(mass_in_range(x, y))
    m = as_form(x, y, form)
    if attempt(dk.tova_smarginal, m) is None:
        for fn, args in [(dk.tova_mmarginal, (m,)), (dk.tova_rmarginal, (5, m)),
                         (dk.tova_emarginal, (lambda v: v, m))]:
            with pytest.raises(DOCUMENTED):
                fn(*args)
        return
    lo, hi = smoothed_range(m)
    tol = tol_for(lo, hi)

    r = attempt(dk.tova_rmarginal, ndraw, m, np.random.default_rng(seed))
    if r is not None:
        assert r.shape == (ndraw,) and not np.any(np.isnan(r))
        assert np.all(r >= lo - tol) and np.all(r <= hi + tol)
        np.testing.assert_array_equal(r, dk.tova_rmarginal(ndraw, m, np.random.default_rng(seed)))

    mode = attempt(dk.tova_mmarginal, m)
    if mode is not None:
        assert isinstance(mode, float) and lo <= mode <= hi

    z = attempt(dk.tova_zmarginal, m, silent=True)
    if z is not None:
        assert list(z) == ["mean", "sd", "quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975", "mode"]
        assert all(type(v) is float for v in z.values())
        if np.isfinite(z["mean"]):
            assert lo - tol <= z["mean"] <= hi + tol
        assert z["sd"] >= 0.0
        qv = [z[k] for k in ("quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975")]
        assert qv == sorted(qv)
        assert z["mode"] == mode

    e = attempt(dk.tova_emarginal, lambda v: np.column_stack([v, np.ones_like(v)]), m)
    if e is not None and np.all(np.isfinite(e)):
        assert e.shape == (2,)
        assert lo - tol <= e[0] <= hi + tol
        assert e[1] == pytest.approx(1.0, rel=1e-12)


@SETTINGS
@given(raw_marginals(unimodal_only=True, clean=True), st.sampled_from(FORMS),
       st.lists(st.floats(0.05, 0.99), min_size=1, max_size=4))
def test_hpd_interval_no_wider_than_equal_tailed(raw, form, probs):
    x, y, info = raw
    assume(mass_in_range(x, y))
    m = as_form(x, y, form)
    h = attempt(dk.tova_hpdmarginal, probs, m)
    if h is None:
        return
    lo, hi = smoothed_range(m)
    assert h.shape == (len(probs), 2)
    assert np.all(h[:, 0] >= lo) and np.all(h[:, 1] <= hi)
    assert np.all(h[:, 0] <= h[:, 1] + tol_for(lo, hi))
    p = np.asarray(probs)
    pairs = np.column_stack([(1 - p) / 2, (1 + p) / 2])
    if np.linspace(lo, hi, 2048)[1] == lo:
        # Too narrow a range for the distribution table (its step rounds to
        # zero), while the HPD table, which has no step, is still usable.
        with pytest.raises(ValueError, match="too narrow for a table of 2048 points"):
            dk.tova_qmarginal(pairs, m)
        return
    et = dk.tova_qmarginal(pairs, m)
    dx = (hi - lo) / 2047
    # Grid resolution: the two tables differ by a cell at each end, and the
    # search stops at a tolerance of 1e-6 in probability.
    assert np.all(h[:, 1] - h[:, 0] <= et[:, 1] - et[:, 0] + 4 * dx + tol_for(lo, hi)), (h, et, dx)


@SETTINGS
@given(raw_marginals(clean=True), st.sampled_from(FORMS), st.sampled_from(["quantile", "linear", "LINEAR"]),
       st.integers(1, 400))
def test_identity_transform_returns_the_density(raw, form, method, n):
    x, y, info = raw
    assume(mass_in_range(x, y))
    m = as_form(x, y, form)
    t = attempt(dk.tova_tmarginal, lambda v: v, m, n=n, method=method)
    if t is None:
        return
    tx, ty = (t[:, 0], t[:, 1]) if form == "matrix" else (t["x"], t["y"])
    assert isinstance(t, np.ndarray) == (form == "matrix")
    assert tx.shape == ty.shape == (n,)
    d = dk.tova_dmarginal(tx, m)
    # The stencil's derivative of the identity is 1 up to the rounding of
    # x +- h. The step is absolute (6.06e-5), so beyond |x| ~ 1e7 the rounding
    # of x + h dominates: checked only where the step is resolved.
    h = 6.055454452393342e-05
    ok = np.abs(tx) < 1e7
    rel = 16 * ULP * np.maximum(np.abs(tx), 1.0) / h + 1e-12
    assert np.all(np.abs(ty - d)[ok] <= (rel * d)[ok] + 1e-300)
    alias = dk.tova_marginal_transform(lambda v: v, m, n=n, method=method)
    ay = alias[:, 1] if form == "matrix" else alias["y"]
    np.testing.assert_array_equal(ay, ty)


# --- helpers without a marginal -----------------------------------------------------------------

@SETTINGS
@given(st.lists(st.floats(-8, 8), min_size=5, max_size=5),
       st.floats(-1e6, 1e6), st.floats(1e-3, 1.0))
def test_derivative_is_exact_for_quartics(coef, x0, step):
    f = np.polynomial.Polynomial(coef)
    fd = dk.tova_deriv_func(f, step_size=step)
    xs = np.array([x0, x0 / 3.0, 0.0])
    got = fd(xs)
    want = f.deriv()(xs)
    # Cancellation of the four values of size |f| over 12 h.
    scale = np.abs(np.polynomial.Polynomial(np.abs(coef))(np.abs(xs) + 2 * step)) * 64 * ULP / step
    assert np.all(np.abs(got - want) <= scale + 1e-9 * np.abs(want) + 1e-12)


@SETTINGS
@given(st.floats(-1e6, 1e6), st.floats(0.0, 1e6), st.floats(-2e6, 2e6),
       st.sampled_from([1e-6, 1e-3, 1e-9]), st.booleans())
def test_minimiser_stays_in_its_bracket(a, width, centre, tol, scipy_path):
    b = a + width
    old = dk._SCIPY_OK
    dk._SCIPY_OK = scipy_path
    try:
        r = dk._minimize_on_interval(lambda u: (u - centre) ** 2, a, b, tol=tol)
    finally:
        dk._SCIPY_OK = old
    assert type(r) is float and a <= r <= b
    best = min(max(centre, a), b)
    assert abs(r - best) <= 1e3 * tol * (1 + abs(a) + abs(b)) + 1e-6 * width


def test_golden_section_bracket_at_the_end_of_the_double_range(monkeypatch):
    """a + b beyond the largest double: the midpoint is still a point of [a, b].
    (SciPy's bounded search, used when SciPy is present, returns inf here.)"""
    monkeypatch.setattr(dk, "_SCIPY_OK", False)
    big = np.finfo(float).max
    r = dk._minimize_on_interval(lambda u: 0.0, 0.75 * big, big)
    assert math.isfinite(r) and 0.75 * big <= r <= big



@SETTINGS
@given(raw_marginals(), st.sampled_from(FORMS))
def test_extreme_scales_never_crash(raw, form):
    """Every function on any generated marginal, including the scales where
    the numbers are not yet trustworthy: a result or a documented error."""
    x, y, info = raw
    m = as_form(x, y, form)
    for fn, args in [(dk.tova_qmarginal, ([0.0, 0.5, 1.0], m)), (dk.tova_pmarginal, ([0.0, 1.0], m)),
                     (dk.tova_dmarginal, ([0.0, 1.0], m)), (dk.tova_hpdmarginal, ([0.5], m)),
                     (dk.tova_mmarginal, (m,)), (dk.tova_zmarginal, (m, True)),
                     (dk.tova_rmarginal, (10, m, np.random.default_rng(0))),
                     (dk.tova_tmarginal, (np.exp, m, 50)), (dk.tova_emarginal, (np.sin, m)),
                     (dk.tova_sfmarginal, (m,)), (dk.tova_spline, (m,))]:
        attempt(fn, *args)


# --- extreme density scales ------------------------------------------------------------------

def _scaled_gauss(xscale, yscale, n=40):
    u = np.linspace(0.0, 10.0, n)
    return np.column_stack([u * xscale, np.exp(-0.5 * (u - 4.0) ** 2) * yscale])


@pytest.mark.parametrize("xscale,yscale", [(1e-6, 5.4e-312), (1.0, 1e307), (1e-12, 1e-300)])
def test_moments_at_extreme_density_scales(xscale, yscale):
    # The quadrature weights are rescaled by a power of two, so the moments do
    # not depend on the density's scale even where y * dx would under/overflow.
    two = lambda t: np.column_stack([t, t * t])  # noqa: E731
    got = dk.tova_emarginal(two, _scaled_gauss(xscale, yscale))
    want = dk.tova_emarginal(two, _scaled_gauss(xscale, 1.0))
    np.testing.assert_allclose(got, want, rtol=1e-9)


@pytest.mark.parametrize("width", [1e-310, 2.0 ** -1030, 4e-320])
def test_moments_on_ranges_below_the_normal_numbers(width):
    # Ranges narrower than the smallest normal number: the scale the weights
    # need is shared between spacings and densities without overflowing
    # either (it made every weight inf and the results NaN).
    m = {"x": width * np.linspace(0.0, 1.0, 5), "y": np.ones(5)}
    assert dk.tova_emarginal(np.ones_like, m) == 1.0
    mean = dk.tova_emarginal(lambda t: t, m)
    assert abs(mean - width / 2) <= 1e-6 * width + 4 * 5e-324  # (the grid has few bits at 4e-320)
    if width > 1e-315:  # (narrower, the quantile table refuses the range)
        assert dk.tova_zmarginal(m, silent=True)["mean"] == mean


@pytest.mark.parametrize("xscale,shift,scipy", [(1e96, 1e106, True), (1e96, 1e106, False), (1e159, 0.0, False),
                                                 (1e-161, 0.0, False), (1e-171, 0.0, False), (1e-9, 0.0, True)])
def test_moments_of_normalised_densities_on_wide_and_narrow_grids(xscale, shift, scipy, monkeypatch):
    # A normalised density on a wide grid is small, on a narrow one large: the
    # weights y * dx stay moderate, and so do the steps' sums. The rescaled
    # weights keep them so (a rescaling by the largest density alone made
    # values times weights overflow to inf, or underflow to 0): the results
    # are the steps' to the bit.
    monkeypatch.setattr(dk, "_SCIPY_OK", scipy)
    u = np.arange(60.0)
    y = np.exp(-0.5 * ((u - 25.0) / 8.0) ** 2)
    m = {"x": shift + u * xscale, "y": y / (y.sum() * xscale)}
    # (the second moment only where x * x itself is a normal number)
    funs = [lambda t: t] + ([lambda t: np.column_stack([t, t * t])] if 1e-150 < xscale < 1e100 else [])
    for fun in funs:
        got = dk.tova_emarginal(fun, m)
        want = R.emarginal(fun, m, scipy=scipy)
        assert np.all(np.isfinite(got)) and got.tobytes() == np.asarray(want).tobytes()


@pytest.mark.parametrize("xspan,yscale,fval", [
    (1.99 * 2.0 ** -40, 1.0, 5e307),    # large values on a narrow grid of moderate densities
    (1e6, 1.0, math.exp(-707.0)),       # tiny values on a wide grid
    (59.0, 1e300, 1e-307),              # tiny values, large densities
    (1e-20, 1e15, 1e10),
    (3.0, 1e-300, 1e290),
])
@pytest.mark.parametrize("columns,n", [(1, 61), (2, 61), (2, 4500)])
def test_moments_are_the_steps_bits_wherever_the_steps_stay_in_range(xspan, yscale, fval, columns, n):
    # The weights are the steps' own y * dx (not rescaled) whenever those, and
    # the function's values times them, stay in the double range: the results
    # are the steps' to the bit, where rescaled weights once overflowed to inf
    # or lost bits to subnormal products.
    # (4,500 points: smoothed grids long enough for the one-pass sums)
    x = np.linspace(0.0, xspan, n)
    m = {"x": x, "y": yscale * np.exp(-0.5 * ((x - 0.4 * xspan) / (0.25 * xspan)) ** 2)}
    u = x / xspan
    if columns == 1:
        fun = lambda t: fval * (1.0 + (t - t[0]) / xspan)  # noqa: E731
    else:
        fun = lambda t: np.column_stack([fval * (1.0 + (t - t[0]) / xspan), np.full_like(t, -0.0)])  # noqa: E731
    with np.errstate(over="raise", under="raise"):
        want = R.emarginal(fun, m)  # the steps raise no flag here
    got = dk.tova_emarginal(fun, m)
    assert np.all(np.isfinite(got)) and np.asarray(got).tobytes() == np.asarray(want).tobytes()
    assert u[-1] == 1.0


@pytest.mark.parametrize("yscale", [1.0, 1e300, 1e-300])
def test_moments_of_long_grids_in_one_pass(yscale):
    # Smoothed grids of more than 65,536 points sum two columns in one pass
    # that forms each weight where it is used: the steps' bits where their
    # weights stay in range, and the same moments (finite) where they do not.
    x = np.linspace(-4.0, 4.0, 4500)
    m = {"x": x, "y": yscale * np.exp(-0.5 * x * x)}
    two = lambda t: np.column_stack([t, t * t])  # noqa: E731
    got = dk.tova_emarginal(two, m)
    summary = dk.tova_zmarginal(m, silent=True)
    if yscale == 1.0:
        assert got.tobytes() == R.emarginal(two, m).tobytes()
        want = R.zmarginal(m)
        assert (summary["mean"], summary["sd"]) == (want["mean"], want["sd"])
    else:
        # (the log-densities of scaled densities round differently: the mean,
        # near 0, agrees to about 1e-15 of the standard deviation)
        plain = dk.tova_emarginal(two, {"x": x, "y": np.exp(-0.5 * x * x)})
        np.testing.assert_allclose(got, plain, rtol=1e-9, atol=1e-12)
        assert np.isfinite(summary["mean"]) and summary["sd"] == pytest.approx(1.0, rel=1e-3)


@pytest.mark.parametrize("scipy", [True, False])
def test_moments_where_the_plain_sums_would_underflow_or_overflow(scipy, monkeypatch):
    # Values times the steps' weights that underflow (tiny grids, tiny
    # densities) or whose sums overflow (values near 1e308): the moments are
    # those of the same marginal at a moderate scale.
    monkeypatch.setattr(dk, "_SCIPY_OK", scipy)
    u = np.linspace(-4.0, 4.0, 41)
    g = np.exp(-0.5 * u * u)
    ref = dk.tova_zmarginal({"x": 10.0 + u, "y": g}, silent=True)
    # (SciPy's interpolants fail on spacings below about 1e-103 themselves)
    for xs, ys in ((1e-30, 1e-230), (1.0, 1e-300)) + (() if scipy else ((1e-110, 1.0),)):
        got = dk.tova_zmarginal({"x": xs * (10.0 + u), "y": ys * g}, silent=True)
        assert got["mean"] / xs == pytest.approx(ref["mean"], rel=1e-9)
        assert got["sd"] / xs == pytest.approx(ref["sd"], rel=1e-6)
    tiny = dk.tova_emarginal(lambda t: np.full_like(t, 1e-14), {"x": u, "y": 1e-300 * g})
    assert tiny == pytest.approx(1e-14, rel=1e-15)
    for scale in (1.0, 0.99, 1e-200, 1e200):
        big = dk.tova_emarginal(lambda t: np.full_like(t, 1e308), {"x": u, "y": scale * g})
        assert big == pytest.approx(1e308, rel=1e-15)


def test_moments_unchanged_by_power_of_two_scaling():
    # Scaling the densities by 2**40 moves their logarithms by 40 log 2, up to
    # the rounding of each log (which depends on the log kernel NumPy picks
    # for the processor); the quadrature adds no rounding of its own, so the
    # moments agree to an ulp or two.
    m = _scaled_gauss(1.0, 1.0)
    m2 = m.copy()
    m2[:, 1] *= 2.0 ** 40
    two = lambda t: np.column_stack([t, t * t])  # noqa: E731
    np.testing.assert_allclose(dk.tova_emarginal(two, m), dk.tova_emarginal(two, m2),
                               rtol=4 * np.finfo(float).eps, atol=0)


def test_tables_without_usable_mass_are_refused():
    # The table increments underflow to 0: a clear error instead of 0/0
    # reaching the inverse interpolant (or NaN quantiles without SciPy).
    m = _scaled_gauss(1e-12, 1e-312)
    for flag in (True, False):
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(dk, "_SCIPY_OK", flag)
            for call in (lambda: dk.tova_qmarginal([0.1, 0.5], m), lambda: dk.tova_pmarginal(0.0, m)):
                with pytest.raises(ValueError, match="no usable probability mass"):
                    call()
            # the HPD table sums densities without the grid step: still usable
            want = dk.tova_hpdmarginal(0.9, _scaled_gauss(1e-12, 1.0))
            np.testing.assert_allclose(dk.tova_hpdmarginal(0.9, m), want, rtol=1e-3)


def test_tables_whose_step_rounds_to_zero_are_refused():
    # Four points within 0.1 of -1e12, where doubles lie 1.2e-4 apart: the
    # 2,048-point table's step rounds to zero, which used to be reported as
    # densities without mass. The HPD table has no step and still works.
    x = np.array([-1e12, -999999999999.999, -999999999999.9, -999999999990.0])
    m = np.column_stack([x, [0.0497, 0.0498, 0.0642, 1.9e-15]])
    for flag in (True, False):
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(dk, "_SCIPY_OK", flag)
            for call in (lambda: dk.tova_qmarginal([0.25, 0.75], m), lambda: dk.tova_pmarginal(-1e12, m),
                         lambda: dk.tova_zmarginal(m, silent=True), lambda: dk.tova_mmarginal(m)):
                with pytest.raises(ValueError, match="too narrow for a table of 2048 points"):
                    call()
            np.testing.assert_array_equal(dk.tova_hpdmarginal(0.5, m), R.hpdmarginal(0.5, m, scipy=flag))
            # A shorter table has a step again.
            assert np.all(np.isfinite(dk.tova_qmarginal([0.25, 0.75], m, length=500)))


# --- against the NumPy/SciPy steps ----------------------------------------------------------------

# Refusals of the module's own where the NumPy/SciPy steps divide 0 by 0
# (and then fail in an interpolant, or return NaN without SciPy).
TABLE_REFUSALS = ("no usable probability mass", "too narrow for a table of")


def _outcome(call):
    with np.errstate(all="ignore"):
        try:
            return True, call()
        except Exception as e:  # noqa: BLE001 - every failure is compared
            return False, e


def _equal(a, b):
    if isinstance(a, dict) or isinstance(b, dict):
        return isinstance(a, dict) and isinstance(b, dict) and a.keys() == b.keys() and all(
            _equal(a[k], b[k]) for k in a)
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


@SETTINGS
@given(raw_marginals(), st.booleans(), st.integers(0, 2 ** 31), st.integers(2, 3000),
       st.sampled_from([0.0, 0.05, 0.5]), st.integers(1, 30))
def test_results_match_the_numpy_scipy_steps(raw, scipy, seed, length, extrapolate, factor):
    # Every generated marginal, faults included: the module gives the numbers
    # of the same steps done with NumPy and SciPy bit for bit, or both refuse
    # it with the same exception and message.
    x, y, info = raw
    m = np.column_stack([x, y])
    rng = np.random.default_rng(seed)
    p = np.concatenate([[0.0, 1.0], rng.uniform(0.0, 1.0, 5)])
    finite = x[np.isfinite(x)]
    centre, spread = (float(np.median(finite)), float(np.ptp(finite))) if finite.size else (0.0, 1.0)
    pts = centre + spread * rng.uniform(-0.6, 0.6, 7)
    two = lambda v: np.column_stack([v, v * v])  # noqa: E731
    calls = [
        ("tova_marginal_fix", lambda: dk.tova_marginal_fix(m), lambda: R.marginal_fix(m)),
        ("tova_smarginal", lambda: dk.tova_smarginal(m), lambda: R.smarginal(m, scipy=scipy)),
        ("tova_qmarginal", lambda: dk.tova_qmarginal(p, m), lambda: R.qmarginal(p, m, scipy=scipy)),
        ("tova_pmarginal", lambda: dk.tova_pmarginal(pts, m), lambda: R.pmarginal(pts, m, scipy=scipy)),
        ("tova_dmarginal", lambda: dk.tova_dmarginal(pts, m), lambda: R.dmarginal(pts, m, scipy=scipy)),
        ("tova_rmarginal", lambda: dk.tova_rmarginal(9, m, rng=np.random.default_rng(seed)),
         lambda: R.rmarginal(9, m, np.random.default_rng(seed), scipy=scipy)),
        ("tova_hpdmarginal", lambda: dk.tova_hpdmarginal([0.5, 0.9], m),
         lambda: R.hpdmarginal([0.5, 0.9], m, scipy=scipy)),
        ("tova_smarginal(log=True)", lambda: dk.tova_smarginal(m, log=True),
         lambda: R.smarginal(m, log=True, scipy=scipy)),
        ("tova_smarginal(options)", lambda: dk.tova_smarginal(m, extrapolate=extrapolate, factor=factor),
         lambda: R.smarginal(m, extrapolate=extrapolate, factor=factor, scipy=scipy)),
        ("tova_qmarginal(length)", lambda: dk.tova_qmarginal(p, m, length=length),
         lambda: R.qmarginal(p, m, length=length, scipy=scipy)),
        ("tova_pmarginal(length)", lambda: dk.tova_pmarginal(pts, m, length=length),
         lambda: R.pmarginal(pts, m, length=length, scipy=scipy)),
        ("tova_hpdmarginal(length)", lambda: dk.tova_hpdmarginal([0.3, 0.95], m, length=length),
         lambda: R.hpdmarginal([0.3, 0.95], m, length=length, scipy=scipy)),
        ("tova_spline", lambda: dk.tova_spline(m), lambda: np.column_stack(R.spline(m, scipy=scipy))),
        ("tova_sfmarginal", lambda: dk.tova_sfmarginal(m)["fun"](pts),
         lambda: R.sfmarginal(m, scipy=scipy)[1](pts)),
        ("tova_tmarginal", lambda: dk.tova_tmarginal(np.exp, m, n=33),
         lambda: R.tmarginal(np.exp, m, n=33, scipy=scipy)),
    ]
    if mass_in_range(x, y):
        # Outside that range the module's quadrature weights are rescaled,
        # where the plain steps under- or overflow.
        calls.append(("tova_emarginal", lambda: dk.tova_emarginal(two, m),
                      lambda: R.emarginal(two, m, scipy=scipy)))
        calls.append(("tova_zmarginal", lambda: dk.tova_zmarginal(m, silent=True),
                      lambda: R.zmarginal(m, scipy=scipy)))
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(dk, "_SCIPY_OK", scipy)
        for name, mine, steps in calls:
            (ok, got), (ref_ok, want) = _outcome(mine), _outcome(steps)
            where = (name, info, x.tolist(), y.tolist())
            if not ok:
                assert isinstance(got, (ValueError, TypeError, IndexError)) and str(got), (where, repr(got))
                assert not ref_ok or any(t in str(got) for t in TABLE_REFUSALS), (where, repr(got), want)
                if not ref_ok and not any(t in str(got) for t in TABLE_REFUSALS):
                    assert (type(got), str(got)) == (type(want), str(want)), (where, repr(got), repr(want))
                continue
            assert ref_ok, (where, "the steps raise", repr(want), "the module returns", got)
            assert _equal(got, want), (where, got, want)
