"""The toolkit's steps written directly with NumPy and SciPy objects.

Used by the tests (results must agree with the native module) and by the
benchmarks (the baseline the native module is timed against). Each function
re-does the whole chain the way the documented steps describe it, including
re-smoothing wherever a step re-smooths.
"""
import numpy as np
from scipy.interpolate import CubicSpline, PchipInterpolator
from scipy.optimize import minimize_scalar

EPS = np.finfo(float).eps * 1000.0


def _lin(x, y):
    return lambda xx: np.interp(xx, x, y, left=np.nan, right=np.nan)


def pchip(x, y, scipy=True):
    return PchipInterpolator(x, y, extrapolate=False) if scipy else _lin(x, y)


def cubic(x, y, scipy=True):
    return CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False) if scipy else _lin(x, y)


def as_xy(m):
    if isinstance(m, np.ndarray):
        return np.asarray(m[:, 0], dtype=float), np.asarray(m[:, 1], dtype=float), True
    return np.asarray(m["x"], dtype=float), np.asarray(m["y"], dtype=float), False


def marginal_fix(m):
    x, y, _ = as_xy(m)
    mask = ~np.isnan(y)
    x, y = x[mask], y[mask]
    if y.size == 0:
        raise ValueError("Marginal has no finite density points after NaN removal.")
    order = np.argsort(x)
    x, y = x[order], y[order]
    ymax = np.max(y)
    keep = (y > 0.0) & (np.abs(y / ymax) > EPS)
    x, y = x[keep], y[keep]
    if x.size < 3:
        raise ValueError("Marginal too small after filtering. Need >=3 support points.")
    return {"x": x, "y": y}


def spline(m, scipy=True):
    f = marginal_fix(m)
    x, y = f["x"], f["y"]
    xx = np.linspace(x.min(), x.max(), num=len(x))
    return xx, np.exp(cubic(x, np.log(y), scipy)(xx))


def smarginal(m, log=False, extrapolate=0.0, factor=15, scipy=True):
    f = marginal_fix(m)
    x, y = f["x"], f["y"]
    width = np.ptp(x)
    xmin = x.min() - extrapolate * width
    xmax = x.max() + extrapolate * width
    xx = np.concatenate(([xmin], x, [xmax])) if extrapolate != 0 else x.copy()
    n = int(max(factor * len(x), len(xx)))
    nx = len(xx)
    dxx = np.diff(xx)
    mean_dx = np.mean(dxx)
    dx_scaled = nx * dxx / mean_dx
    t = np.concatenate(([0.0], np.cumsum(np.sqrt(dx_scaled))))
    t = xmin + (xmax - xmin) * (t - t.min()) / (t.max() - t.min())
    t2x = pchip(t, xx, scipy)
    x2t = pchip(xx, t, scipy)
    t_lin = np.linspace(t.min(), t.max(), num=n)
    ti = x2t(x)
    if extrapolate != 0 and scipy:
        S = CubicSpline(ti, np.log(y), bc_type="not-a-knot", extrapolate=True)
    else:
        S = pchip(ti, np.log(y), scipy)
    ylog = S(t_lin)
    xo = t2x(t_lin)
    if log:
        return {"x": xo, "y": ylog}
    return marginal_fix({"x": xo, "y": np.exp(ylog)})


def sfmarginal(m, scipy=True):
    f = marginal_fix(m)
    x, y = f["x"], f["y"]
    S = cubic(x, np.log(y), scipy)
    return (x.min(), x.max()), lambda xx: S(np.asarray(xx, dtype=float))


def _prep(m, scipy):
    return sfmarginal(smarginal(m, scipy=scipy), scipy)


def dmarginal(x, m, log=False, scipy=True):
    return density_on(*_prep(m, scipy), x, log)


def density_on(rng, fun, x, log=False):
    """The density (or log density) at x of a smoothed marginal's range and
    log-density function."""
    x = np.asarray(x, dtype=float)
    out = np.empty_like(x)
    inside = (x >= rng[0]) & (x <= rng[1])
    if np.any(inside):
        lv = fun(x[inside])
        out[inside] = lv if log else np.exp(lv)
    out[~inside] = -np.inf if log else 0.0
    return out


def cdf_table(m, length=2048, scipy=True):
    rng, fun = _prep(m, scipy)
    return (rng,) + table_on(rng, fun, length)


def table_on(rng, fun, length=2048):
    """The cumulative table (xx, cdf) of a smoothed marginal's range and
    log-density function."""
    xx = np.linspace(rng[0], rng[1], num=length)
    ef = np.exp(fun(xx))
    dx = xx[1] - xx[0]
    cdf = np.concatenate(([0.0], np.cumsum(0.5 * (ef[1:] + ef[:-1]) * dx)))
    return xx, cdf / cdf[-1]


def pmarginal(q, m, length=2048, scipy=True):
    rng, xx, cdf = cdf_table(m, length, scipy)
    return pchip(xx, cdf, scipy)(np.clip(np.asarray(q, dtype=float), rng[0], rng[1]))


def collapse(cdf, xx):
    for v in (0.0, 1.0):
        idx = np.where(np.abs(cdf - v) <= EPS)[0]
        if len(idx) > 1:
            keep = np.ones_like(cdf, dtype=bool)
            keep[idx[1:]] = False
            cdf, xx = cdf[keep], xx[keep]
    return cdf, xx


def qmarginal(p, m, length=2048, scipy=True):
    rng, xx, cdf = cdf_table(m, length, scipy)
    return quantile_on(xx, cdf, p, scipy)


def quantile_on(xx, cdf, p, scipy=True):
    """The quantiles at p of a cumulative table (flat ends collapsed,
    inverted by the monotone interpolant)."""
    cdf, xx = collapse(cdf, xx)
    F_inv = pchip(cdf, xx, scipy)
    pp = np.clip(np.asarray(p, dtype=float), 0.0, 1.0)
    out = np.asarray(F_inv(pp), dtype=float)
    # beyond the last knot kept at 1: that knot's x
    return np.where(pp > cdf[-1], xx[-1], out)


def simpson_odd_grid(x):
    dx = np.diff(x)
    return 0.5 * (np.concatenate((dx, [0.0])) + np.concatenate(([0.0], dx)))


def _simpson_sum(arr):
    n = arr.shape[0]
    i4 = np.arange(1, n - 1, 2)
    i2 = np.arange(2, n - 1, 2)
    return arr[0] + arr[n - 1] + 4.0 * arr[i4].sum(axis=0) + 2.0 * arr[i2].sum(axis=0)


def emarginal(fun, m, *args, scipy=True, **kwargs):
    sm = smarginal(m, scipy=scipy)
    x, y = sm["x"], sm["y"]
    n = len(x)
    if n % 2 == 0:
        x, y = x[:-1], y[:-1]
        n -= 1
    dxw = simpson_odd_grid(x)
    fvals = np.asarray(fun(x, *args, **kwargs))
    if fvals.ndim == 1:
        fvals = fvals[:, None]
    w = (y * dxw)
    return np.squeeze(_simpson_sum(fvals * w[:, None]) / _simpson_sum(w))


def golden(f, a, b, tol=1e-6):
    gr = (np.sqrt(5.0) - 1.0) / 2.0
    c = b - gr * (b - a)
    d = a + gr * (b - a)
    fc, fd = f(c), f(d)
    while abs(b - a) > tol * ((1 + abs(a)) + abs(b)):
        if fc < fd:
            b, d, fd = d, c, fc
            c = b - gr * (b - a)
            fc = f(c)
        else:
            a, c, fc = c, d, fd
            d = a + gr * (b - a)
            fd = f(d)
    return float((a + b) * 0.5)


def minimize_on_interval(f, a, b, tol=1e-6, scipy=True):
    if scipy:
        return float(minimize_scalar(f, bounds=(a, b), method="bounded", options={"xatol": tol}).x)
    return golden(f, a, b, tol)


def mmarginal(m, scipy=True):
    p = np.arange(0.01, 1.0, 0.01)
    x = qmarginal(p, m, scipy=scipy)
    dlog = dmarginal(x, m, log=True, scipy=scipy)
    i = int(np.argmax(dlog))
    a, b = x[max(i - 1, 0)], x[min(i + 1, len(x) - 1)]

    def neglog(u):
        return float(-dmarginal([float(u)], m, log=True, scipy=scipy)[0])

    return minimize_on_interval(neglog, float(a), float(b), tol=1e-6, scipy=scipy)


def zmarginal(m, scipy=True):
    mm = emarginal(lambda xx: np.column_stack([xx, xx ** 2]), m, scipy=scipy)
    mean = float(mm[0])
    d = mm[1] - mean * mean
    sd = float(np.sqrt(d if d > 0.0 else 0.0))
    qs = qmarginal([0.025, 0.25, 0.5, 0.75, 0.975], m, scipy=scipy)
    mode = mmarginal(m, scipy=scipy)
    keys = ["quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975"]
    out = {"mean": mean, "sd": sd}
    out.update({k: float(v) for k, v in zip(keys, qs)})
    out["mode"] = float(mode)
    return out


def hpdmarginal(p, m, length=2048, scipy=True):
    sm = smarginal(m, scipy=scipy)
    rng, fun = sfmarginal(sm, scipy)
    xmin, xmax = rng
    xx = np.linspace(xmin, xmax, num=length)
    dx = xx[1] - xx[0]
    dens = np.exp(fun(xx))
    xx_ext = np.concatenate(([xx.min() - dx], xx, [xx.max() + dx]))
    dens_ext = np.concatenate(([0.0], dens, [0.0]))
    cdf = np.cumsum(dens_ext)
    cdf = cdf / cdf[-1]
    cdf, xx_ext = collapse(cdf, xx_ext)
    F_inv = pchip(cdf, xx_ext, scipy)
    p = np.atleast_1d(np.asarray(p, dtype=float))
    conf = 1.0 - np.clip(p, 0.0, 1.0)
    out = np.empty((conf.size, 2))
    for i, cf in enumerate(conf):
        def width(x0, cf=cf):
            return float(F_inv((1.0 - cf) + x0) - F_inv(x0))
        x0 = minimize_on_interval(width, 0.0, float(cf), tol=1e-6, scipy=scipy)
        lo = float(F_inv(x0))
        hi = float(F_inv(1.0 - cf + x0))
        lo = xmin if xmin > lo else lo
        lo = lo if lo < xmax else xmax
        hi = xmin if xmin > hi else hi
        hi = hi if hi < xmax else xmax
        out[i] = [lo, hi]
    return out


# --- marginals for tests and benchmarks -------------------------------------------------

# The three accepted forms of a marginal, made from an (n, 2) matrix.
def _frame(m):
    import pandas as pd
    return pd.DataFrame({"x": m[:, 0], "y": m[:, 1]})


FORMS = {
    "matrix": lambda m: m,
    "dict": lambda m: {"x": m[:, 0].copy(), "y": m[:, 1].copy()},
    "frame": _frame,
}


def seeded_marginals(sizes, kinds=("gauss", "skew", "heavy", "uneven"), seeds=2):
    """(name, marginal) pairs of every kind and size, with densities jittered
    by a seeded factor in [0.5, 1.5]."""
    out = []
    for kind in kinds:
        for n in sizes:
            for seed in range(seeds):
                m = make_marginal(kind, n, seed)
                m[:, 1] *= np.random.default_rng(seed).uniform(0.5, 1.5, n)
                out.append((f"{kind}-{n}-{seed}", m))
    return out


def make_marginal(kind, n, seed=0):
    """A seeded marginal of n points as an (n, 2) array."""
    rng = np.random.default_rng(seed)
    if kind == "gauss":
        x = np.linspace(-4, 4, n)
        y = np.exp(-0.5 * x ** 2)
    elif kind == "skew":
        x = np.linspace(0.05, 12, n)
        y = x ** 2.5 * np.exp(-x)
    elif kind == "heavy":
        x = np.linspace(-30, 30, n)
        y = (1 + x ** 2 / 3) ** -2
    elif kind == "uneven":
        x = np.sort(np.concatenate([rng.normal(0.0, 1.0, n - 2), [-5.0, 5.0]]))
        x = np.unique(x)
        while len(x) < n:
            x = np.unique(np.concatenate([x, rng.uniform(-5, 5, n - len(x))]))
        y = np.exp(-0.5 * x ** 2) * (1 + 0.3 * np.tanh(x))
    else:
        raise ValueError(kind)
    return np.column_stack([x, y])


# --- random draws, numerical derivatives and transformed marginals -----------------------

def rmarginal(n, m, rng=None, scipy=True):
    if rng is None:
        rng = np.random.default_rng()
    u = rng.uniform(size=int(n))
    return qmarginal(u, m, scipy=scipy)


def deriv(fun, step_size=EPS ** 0.25):
    h = step_size

    def fd(x):
        x = np.asarray(x, dtype=float)
        f1 = fun(x + 2 * h)
        f2 = fun(x + h)
        f3 = fun(x - h)
        f4 = fun(x - 2 * h)
        return (((-f1) + 8.0 * f2) - 8.0 * f3 + f4) / (12 * h)

    return fd


def tmarginal(fun, m, n=2048, h_diff=EPS ** (1 / 3), method="quantile", scipy=True):
    is_mat = isinstance(m, np.ndarray)
    sm = smarginal(m, scipy=scipy)
    xrng = (np.min(sm["x"]), np.max(sm["x"]))
    method = method.lower()
    if method == "quantile":
        x = qmarginal(np.arange(1, n + 1) / (n + 1.0), m, scipy=scipy)
    elif method == "linear":
        x = np.linspace(xrng[0], xrng[1], num=n)
    else:
        raise ValueError("Unknown method; use 'quantile' or 'linear'.")
    ff = np.asarray(fun(x), dtype=float)
    denom = np.clip(np.abs(deriv(fun, step_size=h_diff)(x)), 1e-12, np.inf)
    dens = dmarginal(x, m, log=False, scipy=scipy) / denom
    if ff[0] > ff[-1]:
        ff, dens = ff[::-1], dens[::-1]
    if is_mat:
        return np.column_stack([ff, dens])
    return {"x": ff, "y": dens}
