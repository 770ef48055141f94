"""Every function of the toolkit, with each of its arguments in turn replaced by an
unusual value (wrong types, empty and 0-d arrays, NaN, infinities, huge integers,
broken callables, marginals that are too small or of the wrong shape), either returns
or raises one of the documented kinds of exception. Any other kind (a SystemError from
a conversion that failed without setting an error, a RuntimeError from a failed cast,
an AttributeError from inside the module) or a crash of the interpreter fails."""

import contextlib
import io
import warnings

import numpy as np
import pytest

dk = pytest.importorskip("vordex.pure.densitykit")

# TypeError and ValueError for bad values; IndexError for lengths and counts below
# their minimum and KeyError for a dict without "x" or "y" (as documented);
# OverflowError and MemoryError for sizes that cannot be held; ZeroDivisionError is
# what the interpolants' array checks raise for a 0-d array of values (as SciPy's
# do) and what one of the callables below raises itself.
DOCUMENTED = (TypeError, ValueError, IndexError, KeyError, OverflowError, MemoryError, ZeroDivisionError)
# The generator of the draws is used through its method `uniform` only: an object
# without one gives the AttributeError of that lookup.
ALSO = {"tova_rmarginal": (AttributeError,)}

X = np.linspace(-4.0, 4.0, 40)
M = np.column_stack([X, np.exp(-0.5 * X * X)])

UNUSUAL = [
    None, True, 0, -1, 1, 2, 3, 2 ** 40, 2 ** 63, -2 ** 63, 10 ** 30, 0.5, -0.0, np.nan, np.inf, -np.inf,
    1e308, 5e-324, 1j, "a", "quantile", b"x", [], [0.5], [[0.5]], (0.1, 0.9), np.array([]), np.array(0.5),
    np.array([[0.2, 0.3]]), np.array([0.5], dtype=object), np.array(["a"]), np.float32(0.5), np.int64(5),
    np.array([0.5], dtype=np.float16), np.array([0.5, np.nan]), {"x": [1.0]}, {}, M[:1], M[:2], M[:, :1], M.T,
    np.zeros((3, 2)), np.ones((0, 2)), np.exp, lambda v: None, lambda v: 1 / 0, lambda v: "s",
    lambda v: np.array([1.0]), lambda *a: a[0], np.random.default_rng(1), object(), slice(1),
]

# Valid arguments of each function, in order; each is replaced in turn.
VALID = {
    "tova_dmarginal": [0.5, M],
    "tova_pmarginal": [0.5, M, True, 64],
    "tova_qmarginal": [0.5, M, 64],
    "tova_hpdmarginal": [0.5, M, 64],
    "tova_rmarginal": [5, M, np.random.default_rng(0)],
    "tova_tmarginal": [np.exp, M, 50, 6e-5, "quantile"],
    "tova_marginal_transform": [np.exp, M, 50, 6e-5, "linear"],
    "tova_emarginal": [lambda v: v, M],
    "tova_smarginal": [M, False, 0.0, False, 15],
    "tova_sfmarginal": [M],
    "tova_mmarginal": [M],
    "tova_zmarginal": [M, True],
    "tova_spline": [M],
    "tova_marginal_fix": [M],
    "tova_is_marginal": [M],
    "tova_deriv_func": [np.sin, 1e-3],
    "_minimize_on_interval": [lambda v: (v - 1.0) ** 2, 0.0, 3.0, 1e-6],
    "_pchip": [X, X],
    "_cubic": [X, X],
    "_simpson_odd_grid": [X],
    "_as_xy": [M],
    "_to_dict_or_mat": [X, X, True],
}


def _outcome(call, also=()):
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return call()
    except DOCUMENTED + also:
        return None


def _sweep_result(r):
    # Functions that return a function: call it with unusual points too.
    fun = r["fun"] if isinstance(r, dict) and "fun" in r else r
    if callable(fun):
        for v in (0.5, np.array([0.1, 0.2]), np.array([]), np.nan, "a", None, [[0.1]], np.array(["a"])):
            _outcome(lambda: fun(v))


@pytest.mark.parametrize("flags", [(True, True), (False, False)], ids=["scipy-pandas", "fallbacks"])
@pytest.mark.parametrize("name", sorted(VALID))
def test_unusual_arguments_raise_documented_errors(name, flags, monkeypatch):
    monkeypatch.setattr(dk, "_SCIPY_OK", flags[0] and dk._SCIPY_OK)
    monkeypatch.setattr(dk, "_PANDAS_OK", flags[1] and dk._PANDAS_OK)
    f = getattr(dk, name)
    args = VALID[name]
    also = ALSO.get(name, ())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r = f(*args)  # the valid call itself succeeds
        _sweep_result(r)
        for pos in range(len(args)):
            for value in UNUSUAL:
                call = list(args)
                call[pos] = value
                r = _outcome(lambda: f(*call), also)
                if r is not None:
                    _sweep_result(r)
