"""Random draws, numerical derivatives and transformed marginals of
``vordex.pure.densitykit``, checked against the NumPy/SciPy steps in
``reference.py`` on both interpolation paths."""

import gc
import math
import os
import sys
import weakref

import numpy as np
import pandas as pd
import pytest

import reference as R
from vordex.pure import densitykit as dk

KINDS = ["gauss", "skew", "heavy", "uneven"]


@pytest.fixture(params=[True, False], ids=["scipy", "fallback"])
def scipy_path(request, monkeypatch):
    monkeypatch.setattr(dk, "_SCIPY_OK", request.param)
    return request.param


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape
    assert np.array_equal(a, b, equal_nan=True), np.nanmax(np.abs(a - b))


class Counter:
    """A vectorised function that records every argument it is called with."""

    def __init__(self, fn):
        self.fn, self.args = fn, []

    def __call__(self, x):
        self.args.append(np.array(x, copy=True))
        return self.fn(x)


# --- agreement with the reference steps ------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("npts", [30, 300])
def test_draws_equal_reference_quantiles(kind, npts, scipy_path):
    m = R.make_marginal(kind, npts)
    got = dk.tova_rmarginal(20000, m, np.random.default_rng(11))
    want = R.rmarginal(20000, m, np.random.default_rng(11), scipy=scipy_path)
    assert got.dtype == np.float64
    same(got, want)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("method", ["quantile", "linear"])
@pytest.mark.parametrize("fun", [np.exp, np.negative, lambda x: x ** 3 - x, np.sin, np.arctan],
                         ids=["exp", "neg", "cubic", "sin", "arctan"])
def test_transform_equals_reference(kind, method, fun, scipy_path):
    m = R.make_marginal(kind, 60)
    same(dk.tova_tmarginal(fun, m, method=method), R.tmarginal(fun, m, method=method, scipy=scipy_path))
    d = {"x": m[:, 0], "y": m[:, 1]}
    got = dk.tova_marginal_transform(fun, d, n=257, h_diff=1e-3, method=method)
    want = R.tmarginal(fun, d, n=257, h_diff=1e-3, method=method, scipy=scipy_path)
    assert set(got) == {"x", "y"}
    same(got["x"], want["x"])
    same(got["y"], want["y"])


def test_derivative_equals_numpy_expression():
    cases = [(lambda x: x ** 3, 0.1, 2.0), (np.sin, dk._EPS ** 0.25, np.linspace(-3, 3, 101)),
             (np.exp, 1e-3, [[0.5, 1.0], [2.0, -7.0]]), (lambda x: 5 * x.astype(int), 0.25, np.arange(6.0))]
    for fun, h, x in cases:
        got = dk.tova_deriv_func(fun, h)(x)
        want = R.deriv(fun, h)(x)
        assert type(got) is type(want)
        same(got, want)
    # x**3 at 2 with step 0.1: 10.648, 9.261, 6.859 and 5.832 give 14.4 / 1.2, up to rounding.
    v = dk.tova_deriv_func(lambda x: x ** 3, step_size=0.1)(2.0)
    assert v == R.deriv(lambda x: x ** 3, 0.1)(2.0) == 12.000000000000009
    assert abs(dk.tova_deriv_func(np.sin)(0.0) - 1.0) < 1e-12


def test_derivative_with_zero_step_divides_like_its_values():
    # Python numbers divide by the zero 12h as Python does (it raises); NumPy
    # values give NumPy's inf and NaN, with its warnings.
    for fun in (lambda x: float(x), lambda x: 3, lambda x: math.nan):
        with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
            dk.tova_deriv_func(fun, 0.0)(0.0)
        with pytest.raises(ZeroDivisionError):
            R.deriv(fun, 0.0)(0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        got = dk.tova_deriv_func(lambda x: x * x, -0.0)(np.array([1.0, 2.0]))
        same(got, R.deriv(lambda x: x * x, -0.0)(np.array([1.0, 2.0])))
        assert type(dk.tova_deriv_func(np.float64, 0.0)(1.0)) is np.float64


# --- signatures ---------------------------------------------------------------------------

def test_defaults_and_annotations():
    assert dk.tova_rmarginal.__defaults__ == (None,)
    assert dk.tova_deriv_func.__defaults__ == (0.0006864518129765004,)
    assert dk.tova_deriv_func.__defaults__[0] == dk._EPS ** 0.25
    for f in (dk.tova_tmarginal, dk.tova_marginal_transform):
        assert f.__defaults__ == (2048, 6.055454452393342e-05, "quantile")
        assert f.__defaults__[1] == dk._EPS ** (1 / 3)
        assert f.__annotations__ == {"fun": "Callable[[ArrayLike], ArrayLike]", "marginal": "Marginal",
                                     "n": "int", "h_diff": "float", "method": "str", "return": "Marginal"}
    assert dk.tova_rmarginal.__annotations__ == {"n": "int", "marginal": "Marginal",
                                                 "rng": "Optional[np.random.Generator]", "return": "np.ndarray"}
    assert dk.tova_deriv_func.__annotations__["return"] == "Callable[[ArrayLike], np.ndarray]"
    fd = dk.tova_deriv_func(np.sin)
    assert fd.__qualname__ == "tova_deriv_func.<locals>.fd"
    assert fd.__annotations__ == {"x": "ArrayLike", "return": "np.ndarray"}
    assert type(fd) is type(dk.tova_qmarginal)
    assert dk.tova_deriv_func(np.sin) is not fd


# --- draws ---------------------------------------------------------------------------------

def test_draws_seeding_shape_and_range():
    m = R.make_marginal("skew", 40)
    a = dk.tova_rmarginal(1000, m, rng=np.random.default_rng(3))
    b = dk.tova_rmarginal(1000, m, rng=np.random.default_rng(3))
    assert a.shape == (1000,) and np.array_equal(a, b)
    c, d = dk.tova_rmarginal(1000, m), dk.tova_rmarginal(1000, m)
    assert not np.array_equal(c, d)
    lo, hi = dk.tova_qmarginal([0.0, 1.0], m)
    for draws in (a, c, d):
        assert np.all((draws >= lo) & (draws <= hi))
    # Draw i is the quantile of the generator's i-th uniform.
    u = np.random.default_rng(3).uniform(size=1000)
    same(a, dk.tova_qmarginal(u, m))
    assert dk.tova_rmarginal(0, m).shape == (0,)
    assert dk.tova_rmarginal(3.9, m).shape == (3,)
    assert dk.tova_rmarginal(np.int16(5), m).shape == (5,)


def test_draws_from_a_generator_that_keeps_its_array():
    m = R.make_marginal("gauss", 30)
    u = np.random.default_rng(0).uniform(size=5000)
    keep = u.copy()

    class Shared:
        def uniform(self, size):
            assert size == 5000
            return u

    class AsList:
        def uniform(self, size):
            return list(keep)

    got = dk.tova_rmarginal(5000, m, Shared())
    assert np.array_equal(u, keep)  # the generator's own array is untouched
    same(got, dk.tova_qmarginal(keep, m))
    same(dk.tova_rmarginal(5000, m, AsList()), got)


def test_draws_bad_input():
    m = R.make_marginal("gauss", 30)
    with pytest.raises(TypeError, match=r"Argument 'n' has incorrect type \(expected int, got str\)"):
        dk.tova_rmarginal("10", m)
    with pytest.raises(TypeError, match="got NoneType"):
        dk.tova_rmarginal(None, m)
    with pytest.raises(ValueError, match=r"non-negative number of draws \(got -1\)"):
        dk.tova_rmarginal(-1, m)
    with pytest.raises(ValueError, match="non-negative"):
        dk.tova_rmarginal(-10 ** 30, m)
    for huge in (10 ** 13, 10 ** 30):
        with pytest.raises(MemoryError):
            dk.tova_rmarginal(huge, m)
    with pytest.raises(TypeError, match="Marginal must be"):
        dk.tova_rmarginal(5, [[0, 1], [1, 2], [2, 1]])
    with pytest.raises(AttributeError):
        dk.tova_rmarginal(5, m, rng=object())


# --- derivative ------------------------------------------------------------------------------

def test_derivative_call_order_and_shapes():
    h = 0.125
    f = Counter(lambda x: x * x)
    fd = dk.tova_deriv_func(f, h)
    x = np.array([[1.0, 2.0, 3.0]])
    out = fd(x)
    assert out.shape == (1, 3)
    same(out, 2 * x)  # exact for polynomials of low degree at this step
    assert [a.tolist() for a in f.args] == [(x + 2 * h).tolist(), (x + h).tolist(), (x - h).tolist(),
                                           (x - 2 * h).tolist()]
    s = fd(1.5)
    assert isinstance(s, np.float64) and s == 3.0
    assert fd([1, 2]).dtype == np.float64
    # Python numbers from fun combine into a Python float, with their arithmetic's bits
    import math
    for fun in (math.sin, lambda t: int(t * 10)):
        x0 = np.asarray(0.7)
        f1, f2, f3, f4 = (fun(x0 + 2 * h), fun(x0 + h), fun(x0 - h), fun(x0 - 2 * h))
        want = (((-f1) + 8.0 * f2) - 8.0 * f3 + f4) / (12 * h)
        got = dk.tova_deriv_func(fun, h)(0.7)
        assert type(got) is float and got == want


def test_derivative_bad_functions():
    with pytest.raises(TypeError):
        dk.tova_deriv_func(np.sin, "0.1")
    lengths = iter([3, 3, 4, 3])
    fd = dk.tova_deriv_func(lambda x: np.zeros(next(lengths)))
    with pytest.raises(ValueError, match=r"different shapes .*\(3,\) and \(4,\)"):
        fd(np.zeros(3))
    with pytest.raises(TypeError, match="not callable"):
        dk.tova_deriv_func(3.0)(1.0)
    with pytest.raises(ZeroDivisionError):
        dk.tova_deriv_func(lambda x: 1 / 0)(1.0)


@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
def test_derivative_of_values_without_real_numbers_uses_their_own_arithmetic():
    h = dk.tova_deriv_func.__defaults__[0]

    def stencil(f, x):
        return (((-f(x + 2 * h)) + 8.0 * f(x + h)) - 8.0 * f(x - h) + f(x - 2 * h)) / (12 * h)

    # complex values: the complex derivative, as the formula gives it
    f = lambda t: np.exp(1j * t)  # noqa: E731
    for x in (0.0, np.array([0.0, 1.0])):
        got, want = dk.tova_deriv_func(f)(x), stencil(f, np.asarray(x, dtype=float))
        assert np.asarray(got).dtype == np.complex128 and np.array_equal(got, want)
    assert abs(dk.tova_deriv_func(f)(0.0) - 1j) < 1e-12
    # object arrays stay object arrays
    g = np.frompyfunc(math.sin, 1, 1)
    got = dk.tova_deriv_func(g)(np.array([0.0, 1.0]))
    assert got.dtype == object and got.tolist() == stencil(g, np.array([0.0, 1.0])).tolist()
    # array subclasses keep what their arithmetic carries: no derivative is
    # reported where a masked array masks a value
    x = np.array([-1.0, 1.0, 2.0])
    got = dk.tova_deriv_func(np.ma.log)(x)
    want = stencil(np.ma.log, x)
    assert isinstance(got, np.ma.MaskedArray) and got.mask.tolist() == [True, False, False]
    np.testing.assert_array_equal(got.compressed(), want.compressed())
    got = dk.tova_deriv_func(lambda t: np.asmatrix(t * t))(x)
    assert type(got) is np.matrix and np.array_equal(got, stencil(lambda t: np.asmatrix(t * t), x))
    # a function without a return value is an error, not NaN
    for bad, x in ((lambda t: None, 1.0), (lambda t: [None, None], [1.0, 2.0]), (lambda t: "1.0", 1.0)):
        with pytest.raises(TypeError, match="bad operand type for unary -"):
            dk.tova_deriv_func(bad)(x)


def test_derivative_closure_is_collected():
    class F:
        def __call__(self, x):
            return x

    f = F()
    f.fd = dk.tova_deriv_func(f)  # a cycle f -> fd -> f
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


# --- transformation ------------------------------------------------------------------------

def test_transform_identity_negation_and_scaling(scipy_path):
    m = R.make_marginal("skew", 50)
    x = dk.tova_qmarginal(np.arange(1, 201) / 201.0, m)
    dens = dk.tova_dmarginal(x, m)
    ident = dk.tova_tmarginal(lambda v: v, m, n=200)
    same(ident[:, 0], x)
    np.testing.assert_allclose(ident[:, 1], dens, rtol=1e-9)

    neg = dk.tova_tmarginal(np.negative, m, n=200)
    assert np.all(np.diff(neg[:, 0]) > 0)
    same(neg[:, 0], -x[::-1])
    np.testing.assert_allclose(neg[:, 1], dens[::-1], rtol=1e-9)

    lin = dk.tova_tmarginal(lambda v: 2 * v, m, n=64, method="linear")
    sm = dk.tova_smarginal(m)["x"]
    xl = np.linspace(sm.min(), sm.max(), 64)
    same(lin[:, 0], 2 * xl)
    np.testing.assert_allclose(lin[:, 1], dk.tova_dmarginal(xl, m) / 2, rtol=1e-9)


def test_transform_stationary_point_and_probabilities():
    m = R.make_marginal("gauss", 41)
    lo, hi = dk.tova_smarginal(m)["x"][[0, -1]]
    assert lo == -hi  # symmetric range: the middle linear point is exactly 0
    t = dk.tova_tmarginal(np.square, m, n=3, method="linear")
    assert t[1, 0] == 0.0
    assert t[1, 1] == dk.tova_dmarginal(0.0, m) / 1e-12
    same(t, R.tmarginal(np.square, m, n=3, method="linear"))

    f = Counter(lambda v: v)
    q3 = dk.tova_tmarginal(f, m, n=3)
    same(q3[:, 0], dk.tova_qmarginal([0.25, 0.5, 0.75], m))
    assert len(f.args) == 5
    h = dk.tova_tmarginal.__defaults__[1]
    same(f.args[1], f.args[0] + (h + h))
    same(f.args[4], f.args[0] - (h + h))
    q1 = dk.tova_tmarginal(lambda v: v, m, n=1)
    same(q1[:, 0], [dk.tova_qmarginal(0.5, m)])


def test_transform_method_names():
    m = R.make_marginal("gauss", 30)
    same(dk.tova_tmarginal(np.exp, m, n=50, method="Linear"), dk.tova_tmarginal(np.exp, m, n=50, method="linear"))
    same(dk.tova_tmarginal(np.exp, m, n=50, method="QUANTILE"), dk.tova_tmarginal(np.exp, m, n=50))
    f = Counter(np.exp)
    with pytest.raises(ValueError, match=r"^Unknown method; use 'quantile' or 'linear'\.$"):
        dk.tova_tmarginal(f, m, method="spline")
    assert f.args == []
    # Any text is a method name to compare, even one that cannot be encoded
    # (it used to raise UnicodeEncodeError).
    for call in (dk.tova_tmarginal, dk.tova_marginal_transform):
        for name in ("lin\udcffear", "quantile\x00"):
            with pytest.raises(ValueError, match=r"^Unknown method; use 'quantile' or 'linear'\.$"):
                call(np.exp, m, n=5, method=name)

    class S(str):
        pass

    for bad, name in ((None, "NoneType"), (S("linear"), "S"), (b"linear", "bytes")):
        for fn in (dk.tova_tmarginal, dk.tova_marginal_transform):
            with pytest.raises(TypeError, match=rf"Argument 'method' has incorrect type \(expected str, got {name}\)"):
                fn(np.exp, m, method=bad)
    # The marginal is smoothed before the method is examined.
    with pytest.raises(ValueError, match="too small"):
        dk.tova_tmarginal(np.exp, {"x": [1, 2], "y": [1, 1]}, method="spline")


def test_transform_result_forms():
    m = R.make_marginal("heavy", 30)
    mat = dk.tova_tmarginal(np.arctan, m, n=100)
    assert isinstance(mat, np.ndarray) and mat.shape == (100, 2)
    d = dk.tova_tmarginal(np.arctan, {"x": m[:, 0], "y": m[:, 1]}, n=100)
    df = dk.tova_tmarginal(np.arctan, pd.DataFrame({"x": m[:, 0], "y": m[:, 1], "w": 0}), n=100)
    for r in (d, df):
        assert type(r) is dict and set(r) == {"x", "y"}
        same(r["x"], mat[:, 0])
        same(r["y"], mat[:, 1])
    same(dk.tova_marginal_transform(np.arctan, m, 100), mat)
    assert dk.tova_marginal_transform(np.arctan, m, n=100.7, h_diff=np.float32(6.055454452393342e-05)).shape == \
        (100, 2)


def test_large_results_in_memory_of_their_own_behave_as_arrays():
    # Results of a megabyte and more of the calls that run fun on every point
    # live outside the C library's heap, owned by their base. They hold the
    # same bits as the steps and behave as any array: writeable, copied,
    # pickled, and their memory stays valid while a view of it lives.
    import pickle

    # (Where the environment sets the allocator's thresholds, the module
    # leaves memory to it and results are plain arrays.)
    managed = not ({"MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_", "MALLOC_TOP_PAD_"} & set(os.environ)
                   or "glibc.malloc" in os.environ.get("GLIBC_TUNABLES", ""))
    m = R.make_marginal("skew", 60)
    n = 70_000  # 1.1 MB as an n x 2 matrix, 560 kB per dict array
    mat = dk.tova_tmarginal(np.exp, m, n=n)
    same(mat, R.tmarginal(np.exp, m, n=n))
    assert (mat.base is not None) == managed and mat.flags.c_contiguous and mat.flags.writeable
    d = dk.tova_tmarginal(np.exp, {"x": m[:, 0], "y": m[:, 1]}, n=2 * n)
    want = R.tmarginal(np.exp, m, n=2 * n)
    same(d["x"], want[:, 0])
    same(d["y"], want[:, 1])
    assert (d["x"].base is not None) == managed and (d["y"].base is not None) == managed

    x = np.linspace(-2, 2, 300_000)
    got = dk.tova_deriv_func(np.sin, 1e-3)(x.reshape(600, 500))
    assert got.shape == (600, 500) and (got.base is not None) == managed
    same(got.ravel(), dk.tova_deriv_func(np.sin, 1e-3)(x))
    h = 1e-3
    same(got.ravel(), (((-np.sin(x + (h + h))) + 8.0 * np.sin(x + h)) - 8.0 * np.sin(x - h) + np.sin(x - (h + h)))
         / (12.0 * h))

    col = mat[:, 1]
    del mat
    gc.collect()
    same(col, R.tmarginal(np.exp, m, n=n)[:, 1])
    col[:] = 1.0
    assert col.sum() == n
    back = pickle.loads(pickle.dumps(d))
    same(back["x"], d["x"])
    same(back["y"], d["y"])

    # Under thresholds set in the environment: plain arrays of NumPy's own.
    code = ("import numpy as np\nfrom vordex.pure import densitykit as dk\n"
            "x = np.linspace(-4, 4, 40); m = np.column_stack([x, np.exp(-x * x / 2)])\n"
            "print(dk.tova_tmarginal(np.exp, m, n=70_000).base is None,"
            " dk.tova_deriv_func(np.sin)(np.zeros(300_000)).base is None)")
    import subprocess
    import vordex
    env = dict(os.environ, MALLOC_TRIM_THRESHOLD_="131072",
               PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(vordex.__file__))))
    r = subprocess.run([sys.executable, "-P", "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0 and r.stdout.split() == ["True", "True"], (r.stdout, r.stderr)


def test_transform_bad_input():
    m = R.make_marginal("gauss", 30)
    for fn in (dk.tova_tmarginal, dk.tova_marginal_transform):
        with pytest.raises(TypeError, match=r"Argument 'n' has incorrect type \(expected int, got str\)"):
            fn(np.exp, m, n="5")
        with pytest.raises(TypeError):
            fn(np.exp, m, h_diff="small")
        with pytest.raises(MemoryError):
            fn(np.exp, m, n=10 ** 13)
        with pytest.raises(MemoryError):
            fn(np.exp, m, n=10 ** 30)
    f = Counter(np.exp)
    with pytest.raises(IndexError, match=r"n must be at least 1.*\(got 0\)"):
        dk.tova_tmarginal(f, m, n=0)
    with pytest.raises(IndexError, match="at least 1"):
        dk.tova_tmarginal(f, m, n=-4)
    with pytest.raises(ValueError, match=r"at least 1.*\(got -4\)"):
        dk.tova_tmarginal(f, m, n=-4, method="linear")
    assert f.args == []
    with pytest.raises(ValueError, match=r"one value per point: fun\(x\) gave shape \(\) for 50 points"):
        dk.tova_tmarginal(lambda v: 1.0, m, n=50)
    with pytest.raises(ValueError, match=r"fun\(x\) gave shape \(50, 1\)"):
        dk.tova_tmarginal(lambda v: v[:, None], m, n=50)
    calls = iter(range(10))
    with pytest.raises(ValueError, match=r"fun\(x \+ 2h\) gave shape \(49,\) for 50 points"):
        dk.tova_tmarginal(lambda v: v if next(calls) == 0 else v[1:], m, n=50)
    with pytest.raises(TypeError, match="complex"):
        dk.tova_tmarginal(lambda v: v * 1j, m, n=50)
    with pytest.raises(RuntimeError, match="boom"):
        dk.tova_tmarginal(lambda v: (_ for _ in ()).throw(RuntimeError("boom")), m)


def test_transform_ignores_changes_fun_makes_to_its_argument():
    m = R.make_marginal("skew", 30)

    def rude(v):
        r = np.exp(v)
        v[:] = 0.0
        return r

    same(dk.tova_tmarginal(rude, m, n=100), dk.tova_tmarginal(np.exp, m, n=100))
