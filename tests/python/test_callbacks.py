"""User functions handed to the toolkit: the expectation's fun, the
transformation's fun, the derivative's fun, the minimiser's objective and the
generator of the random draws.

A function that raises, returns the wrong type or shape, modifies the array
it was given, or calls back into the toolkit gives a clear exception or a
correct result, and never disturbs a later call. KeyboardInterrupt raised
inside a callback reaches the caller unchanged.
"""

import numpy as np
import pytest

from vordex.pure import densitykit as dk

_X = np.linspace(-4.0, 6.0, 41)
M = np.column_stack([_X, np.exp(-0.5 * (_X - 1.0) ** 2 / 1.5)])


@pytest.fixture(params=[True, False], ids=["scipy", "native"])
def scipy_path(request, monkeypatch):
    monkeypatch.setattr(dk, "_SCIPY_OK", request.param)
    return request.param


def baseline():
    """Results that every failed call must leave unchanged."""
    return dict(
        e=dk.tova_emarginal(lambda v: np.column_stack([v, v * v]), M),
        t=dk.tova_tmarginal(np.exp, M, n=200),
        fd=dk.tova_deriv_func(np.sin)(np.linspace(0, 1, 7)),
        mn=dk._minimize_on_interval(lambda u: (u - 0.3) ** 2, 0.0, 1.0),
        q=dk.tova_qmarginal([0.1, 0.5, 0.9], M),
        r=dk.tova_rmarginal(100, M, np.random.default_rng(3)),
    )


def assert_same(a, b):
    assert a.keys() == b.keys()
    for k in a:
        x, y = a[k], b[k]
        if isinstance(x, dict):
            for kk in x:
                np.testing.assert_array_equal(x[kk], y[kk])
        else:
            np.testing.assert_array_equal(np.asarray(x), np.asarray(y))


class Oops(Exception):
    pass


def _raise(exc):
    def f(*args, **kwargs):
        raise exc
    return f


# Every place a user function is called, as (name, call with that function).
SITES = {
    "emarginal": lambda f: dk.tova_emarginal(f, M),
    "tmarginal": lambda f: dk.tova_tmarginal(f, M, n=64),
    "transform_linear": lambda f: dk.tova_marginal_transform(f, M, n=64, method="linear"),
    "fd": lambda f: dk.tova_deriv_func(f)(np.linspace(0.0, 1.0, 5)),
    "fd_scalar": lambda f: dk.tova_deriv_func(f)(0.5),
    "minimize": lambda f: dk._minimize_on_interval(f, 0.0, 1.0),
}


@pytest.mark.parametrize("site", list(SITES))
@pytest.mark.parametrize("exc", [Oops("boom"), KeyboardInterrupt(), ZeroDivisionError("x"), MemoryError()],
                         ids=["user", "KeyboardInterrupt", "ZeroDivisionError", "MemoryError"])
def test_exception_in_callback_propagates_unchanged(site, exc, scipy_path):
    before = baseline()
    with pytest.raises(type(exc)) as info:
        SITES[site](_raise(exc))
    assert info.value is exc
    assert_same(baseline(), before)


def test_keyboard_interrupt_from_the_generator_propagates():
    class Rng:
        def uniform(self, size):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        dk.tova_rmarginal(10, M, Rng())


def test_interrupt_after_some_calls_of_the_objective(scipy_path):
    calls = []

    def f(u):
        calls.append(u)
        if len(calls) == 5:
            raise KeyboardInterrupt
        return (u - 0.3) ** 2

    before = baseline()
    with pytest.raises(KeyboardInterrupt):
        dk._minimize_on_interval(f, 0.0, 1.0)
    assert len(calls) == 5
    with pytest.raises(KeyboardInterrupt):
        dk.tova_tmarginal(lambda v: (_ for _ in ()).throw(KeyboardInterrupt) if calls.append(v) or
                          len(calls) > 7 else v, M, n=10)
    assert_same(baseline(), before)


# --- wrong types and shapes ----------------------------------------------------------------------

WRONG_RESULTS = [
    ("None", lambda v: None, (TypeError, ValueError)),
    ("string", lambda v: "abc", (TypeError, ValueError)),
    ("dict", lambda v: {"a": 1}, (TypeError, ValueError)),
    ("complex", lambda v: v + 1j, TypeError),
    ("objects", lambda v: np.array([object()] * np.size(v), dtype=object), TypeError),
    ("too_long", lambda v: np.concatenate([np.ravel(v), [1.0]]), ValueError),
    ("three_dims", lambda v: np.ones((np.size(v), 2, 2)), ValueError),
    ("ragged", lambda v: [[1.0], [1.0, 2.0]], ValueError),
]


@pytest.mark.parametrize("name,fun,exc", WRONG_RESULTS, ids=[w[0] for w in WRONG_RESULTS])
@pytest.mark.parametrize("site", ["emarginal", "tmarginal", "transform_linear"])
def test_wrong_result_of_a_vectorised_fun_is_refused(site, name, fun, exc):
    if site == "emarginal" and name in ("None", "string", "dict"):
        exc = IndexError  # a single object: no value per point, as for a scalar
    before = baseline()
    with pytest.raises(exc):
        SITES[site](fun)
    assert_same(baseline(), before)


def test_expectation_of_an_object_array_of_numbers():
    # np.frompyfunc and np.vectorize without otypes return object arrays
    square = np.frompyfunc(lambda v: v * v, 1, 1)
    assert dk.tova_emarginal(square, M) == dk.tova_emarginal(lambda v: v * v, M)
    pair = lambda v: np.column_stack([v, v * v]).astype(object)  # noqa: E731
    assert dk.tova_emarginal(pair, M).tolist() == dk.tova_emarginal(lambda v: np.column_stack([v, v * v]), M).tolist()
    for item, word in ((None, "NoneType"), (1j, "complex"), ("1", "str")):
        with pytest.raises(TypeError, match="must be real number, not " + word):
            dk.tova_emarginal(lambda v: np.array([item] * len(v), dtype=object), M)


def test_expectation_shapes():
    # A scalar has no first dimension: IndexError, as documented.
    with pytest.raises(IndexError):
        dk.tova_emarginal(lambda v: 3.0, M)
    # One value stands for a constant.
    assert dk.tova_emarginal(lambda v: np.array([2.5]), M) == pytest.approx(2.5)
    # Wrong first dimension of a 2-D result.
    with pytest.raises(ValueError, match="first dimension"):
        dk.tova_emarginal(lambda v: np.ones((3, 2)), M)
    # Integers and booleans are numbers.
    assert dk.tova_emarginal(lambda v: np.ones(v.shape, dtype=bool), M) == pytest.approx(1.0)


def test_derivative_of_a_fun_with_changing_shapes_is_refused():
    calls = []

    def f(v):
        calls.append(1)
        return np.ones(len(calls) + 2)

    with pytest.raises(ValueError, match="different shapes"):
        dk.tova_deriv_func(f)(np.zeros(3))


@pytest.mark.parametrize("value,exc", [("1.0", TypeError), (None, TypeError), ([1.0, 2.0], TypeError),
                                        (1 + 2j, TypeError)])
def test_objective_returning_a_non_number(value, exc, monkeypatch):
    monkeypatch.setattr(dk, "_SCIPY_OK", False)
    with pytest.raises(exc):
        dk._minimize_on_interval(lambda u: value, 0.0, 1.0)


def test_objective_returning_nan_or_numpy_values(scipy_path):
    r = dk._minimize_on_interval(lambda u: float("nan"), 0.0, 1.0)
    assert type(r) is float and 0.0 <= r <= 1.0
    r = dk._minimize_on_interval(lambda u: np.float32((u - 0.25) ** 2), 0.0, 1.0)
    assert r == pytest.approx(0.25, abs=1e-4)
    r = dk._minimize_on_interval(lambda u: np.array((u - 0.75) ** 2), 0.0, 1.0)
    assert r == pytest.approx(0.75, abs=1e-4)


@pytest.mark.parametrize("draws,exc", [("abc", ValueError), ([[0.1], [0.2, 0.3]], ValueError),
                                       (np.array([object()]), TypeError)])
def test_generator_returning_garbage(draws, exc):
    class Rng:
        def uniform(self, size):
            return draws

    with pytest.raises(exc):
        dk.tova_rmarginal(3, M, Rng())


def test_generator_returning_complex_draws_gives_their_real_parts():
    # converted as np.asarray(draws, dtype=float) converts: NumPy's warning, the real part
    class Rng:
        def uniform(self, size):
            return np.array([0.5 + 1j, 0.25 - 2j])

    with pytest.warns(np.ComplexWarning):
        got = dk.tova_rmarginal(2, M, Rng())
    assert got.tolist() == dk.tova_qmarginal([0.5, 0.25], M).tolist()


def test_generator_returning_a_list_or_other_shape():
    class Rng:
        def __init__(self, out):
            self.out = out

        def uniform(self, size):
            return self.out

    # The draws are converted as np.asarray(u, dtype=float): None is NaN,
    # whose quantile is NaN.
    assert np.isnan(dk.tova_rmarginal(1, M, Rng(None)))
    got = dk.tova_rmarginal(3, M, Rng([0.1, 0.5, 0.9]))
    np.testing.assert_array_equal(got, dk.tova_qmarginal([0.1, 0.5, 0.9], M))
    grid = np.array([[0.2, 0.4], [0.6, 0.8]])
    got = dk.tova_rmarginal(4, M, Rng(grid))
    np.testing.assert_array_equal(got, dk.tova_qmarginal(grid, M))


# --- functions that modify their argument ---------------------------------------------------------

def test_fun_that_overwrites_its_argument_changes_nothing_else():
    def exp_and_trash(v):
        r = np.exp(v)
        v[...] = 1e6
        return r

    np.testing.assert_array_equal(dk.tova_tmarginal(exp_and_trash, M, n=300), dk.tova_tmarginal(np.exp, M, n=300))
    np.testing.assert_array_equal(dk.tova_tmarginal(exp_and_trash, M, n=30, method="linear"),
                                  dk.tova_tmarginal(np.exp, M, n=30, method="linear"))
    xs = np.linspace(0, 1, 9)
    keep = xs.copy()
    np.testing.assert_array_equal(dk.tova_deriv_func(exp_and_trash)(xs), dk.tova_deriv_func(np.exp)(xs))
    np.testing.assert_array_equal(xs, keep)

    # The expectation calls fun once on the grid: what it does to the grid
    # afterwards cannot reach the weights.
    def ident_then_trash(v):
        r = v.copy()
        v[...] = np.nan
        return r

    assert dk.tova_emarginal(ident_then_trash, M) == dk.tova_emarginal(lambda v: v, M)
    # Returning the very array it was given, after changing it, is its result.
    assert dk.tova_emarginal(lambda v: np.multiply(v, 0.0, out=v), M) == 0.0
    assert_same(baseline(), baseline())


@pytest.mark.parametrize("method", ["quantile", "linear"])
def test_fun_that_modifies_the_marginal_it_was_built_from(method, monkeypatch):
    # The points come from the marginal as it was before fun ran; the
    # densities from the marginal as fun left it, as a density call made
    # after fun's calls gives.
    ident = dk.tova_tmarginal(lambda v: v, M, n=100, method=method)
    pts = ident[:, 0]
    slope = np.maximum(np.abs(dk.tova_deriv_func(lambda v: v, dk._EPS ** (1 / 3))(pts)), 1e-12)
    for form in (lambda a: a, lambda a: {"x": a[:, 0], "y": a[:, 1]}):
        m = form(M.copy())

        def double(v):
            if isinstance(m, dict):
                m["y"] = m["y"] * 2.0  # rebinding the column
            else:
                m[:, 1] *= 2.0  # in place
            return v

        t = dk.tova_tmarginal(double, m, n=100, method=method)
        t = t if isinstance(t, np.ndarray) else np.column_stack([t["x"], t["y"]])
        np.testing.assert_array_equal(t[:, 0], pts)
        np.testing.assert_array_equal(t[:, 1], dk.tova_dmarginal(pts, m) / slope)
        assert not np.array_equal(t[:, 1], ident[:, 1])

    m = M.copy()

    def zero(v):
        m[:, 1] = 0.0
        return v

    with pytest.raises(ValueError, match="^Marginal too small after filtering"):
        dk.tova_tmarginal(zero, m, n=100, method=method)

    # A fun that switches the interpolation off: the densities are the linear ones.
    def no_scipy(v):
        monkeypatch.setattr(dk, "_SCIPY_OK", False)
        return v

    t = dk.tova_tmarginal(no_scipy, M, n=100, method=method)
    np.testing.assert_array_equal(t[:, 0], pts)
    assert not np.array_equal(t[:, 1], ident[:, 1])
    np.testing.assert_array_equal(t[:, 1], dk.tova_dmarginal(pts, M) / slope)


# --- re-entrant calls ---------------------------------------------------------------------------

def test_reentrant_calls_give_correct_results(scipy_path):
    # Y = F(X) is uniform on [0, 1]: the transformed density is constant (the
    # integral of the unnormalised density of X).
    t = dk.tova_tmarginal(lambda v: dk.tova_pmarginal(v, M), M, n=200, method="quantile")
    assert np.all(np.diff(t[:, 0]) >= 0)
    inner = (t[:, 0] > 0.05) & (t[:, 0] < 0.95)
    total = np.trapz(M[:, 1], M[:, 0])
    np.testing.assert_allclose(t[inner, 1], total, rtol=2e-2)

    # E[F(X)] = 1/2.
    assert dk.tova_emarginal(lambda v: dk.tova_pmarginal(v, M), M) == pytest.approx(0.5, abs=1e-3)

    # The minimiser's objective evaluates the toolkit: the mode again.
    mode = dk.tova_mmarginal(M)
    r = dk._minimize_on_interval(lambda u: -float(dk.tova_dmarginal([u], M, log=True)[0]),
                                 mode - 0.5, mode + 0.5)
    assert r == pytest.approx(mode, abs=1e-4)

    # fd of a function that calls the toolkit: the density.
    fd = dk.tova_deriv_func(lambda v: dk.tova_pmarginal(v, M), step_size=1e-3)
    xs = np.array([0.0, 1.0, 2.0])
    np.testing.assert_allclose(fd(xs), dk.tova_dmarginal(xs, M) / np.trapz(M[:, 1], M[:, 0]), rtol=2e-2)

    # A callback that calls a callback-taking function.
    nested = dk.tova_emarginal(lambda v: dk.tova_emarginal(lambda w: w, M) * np.ones_like(v), M)
    assert nested == pytest.approx(float(dk.tova_emarginal(lambda w: w, M)))


def test_reentrant_failure_inside_a_callback():
    before = baseline()

    def f(v):
        dk.tova_qmarginal([0.5], {"x": [0, 1, 2], "y": [0, 0, 0]})  # raises ValueError
        return v

    with pytest.raises(ValueError, match="too small"):
        dk.tova_tmarginal(f, M, n=50)
    with pytest.raises(ValueError, match="too small"):
        dk.tova_emarginal(f, M)
    assert_same(baseline(), before)


# --- Python code that reshapes or retypes the caller's arrays during a call ------------------------
# Hooks (a flag's truth value, an object's __array__) may give an array the
# caller passed, or one a callback keeps, a new dtype or shape over the same
# memory while a call runs. The toolkit reads each array's size when it
# converts it, so it never reads past the memory (the sanitizer build of the
# test suite checks that), and the results are those of the arrays as they
# were converted or a clean error.

def _gauss(n):
    x = np.linspace(-4.0, 4.0, n)
    return x, np.exp(-0.5 * x * x)


def test_flag_hook_that_retypes_the_marginal_arrays(monkeypatch):
    x, y = _gauss(64)
    want = {"s": dk.tova_smarginal({"x": x.copy(), "y": y.copy()}),
            "q": dk.tova_qmarginal([0.1, 0.5], {"x": x.copy(), "y": y.copy()})}

    class Flag:
        def __bool__(self):
            x.dtype = np.int8  # the same memory, eight times as many items
            y.dtype = np.int8
            return True

    for key, call in (("s", lambda m: dk.tova_smarginal(m)), ("q", lambda m: dk.tova_qmarginal([0.1, 0.5], m))):
        x.dtype = y.dtype = np.float64
        monkeypatch.setattr(dk, "_SCIPY_OK", Flag())
        got = call({"x": x, "y": y})
        monkeypatch.undo()
        if key == "s":
            np.testing.assert_array_equal(got["x"], want["s"]["x"])
            np.testing.assert_array_equal(got["y"], want["s"]["y"])
        else:
            np.testing.assert_array_equal(got, want["q"])


def test_flag_hook_that_reshapes_a_matrix_marginal(monkeypatch):
    x, y = _gauss(64)
    a = np.column_stack([x, y])

    class Flag:
        def __bool__(self):
            a.shape = (a.size,)
            return False

    monkeypatch.setattr(dk, "_PANDAS_OK", Flag())
    with pytest.raises(ValueError, match=r"^Matrix marginal must be an \(n,2\) array\.$"):
        dk.tova_marginal_fix(a)


def _shrink(a):
    # A new, smaller buffer for the caller's array; its old memory is freed.
    a.__setstate__((1, (a.size // 2,), np.dtype(float), False, a[: a.size // 2].tobytes()))


# Every function that reads a marginal and then the flag _SCIPY_OK, called on m.
MARGINAL_READERS = {
    "spline": lambda m: dk.tova_spline(m),
    "smarginal": lambda m: dk.tova_smarginal(m),
    "sfmarginal": lambda m: dk.tova_sfmarginal(m),
    "emarginal": lambda m: dk.tova_emarginal(lambda v: v, m),
    "dmarginal": lambda m: dk.tova_dmarginal([0.0, 1.0], m),
    "pmarginal": lambda m: dk.tova_pmarginal([0.0, 1.0], m),
    "qmarginal": lambda m: dk.tova_qmarginal([0.1, 0.5], m),
    "hpdmarginal": lambda m: dk.tova_hpdmarginal([0.5, 0.9], m),
    "mmarginal": lambda m: dk.tova_mmarginal(m),
    "zmarginal": lambda m: dk.tova_zmarginal(m, silent=True),
    "rmarginal": lambda m: dk.tova_rmarginal(5, m, np.random.default_rng(1)),
    "tmarginal": lambda m: dk.tova_tmarginal(np.exp, m, n=50),
}


@pytest.mark.parametrize("which", ["x", "y"])
@pytest.mark.parametrize("name", MARGINAL_READERS)
def test_flag_hook_that_reallocates_a_marginal_array(name, which, monkeypatch):
    # Python code run after the marginal was read (here the flag's truth
    # value) gives the caller's array a new, smaller buffer: the call stops
    # with an error instead of reading the freed memory.
    x, y = _gauss(4000)
    target = {"x": x, "y": y}[which]

    class Flag:
        def __bool__(self):
            if target.size == 4000:
                _shrink(target)
            return True

    monkeypatch.setattr(dk, "_SCIPY_OK", Flag())
    with pytest.raises(RuntimeError, match=f"^The array given as {which} of the marginal was resized or "
                                           "reallocated during the call.$"):
        MARGINAL_READERS[name]({"x": x, "y": y})


@pytest.mark.parametrize("name", ["dmarginal", "pmarginal", "qmarginal", "hpdmarginal"])
def test_points_converted_after_the_marginal(name):
    # The marginal is read first, then the points are converted: a marginal
    # whose conversion reallocates the points leaves them valid, and points
    # whose conversion rebinds the marginal's x do not change the marginal
    # already read.
    call = {"dmarginal": dk.tova_dmarginal, "pmarginal": dk.tova_pmarginal,
            "qmarginal": dk.tova_qmarginal, "hpdmarginal": dk.tova_hpdmarginal}[name]
    x, y = _gauss(41)
    pts = np.linspace(0.05, 0.95, 4000)

    class LazyY:
        def __array__(self, dtype=None):
            _shrink(pts)
            return y if dtype is None else y.astype(dtype)

    got = call(pts, {"x": x, "y": LazyY()})
    np.testing.assert_array_equal(got, call(np.linspace(0.05, 0.95, 4000)[:2000], {"x": x, "y": y}))

    m = {"x": x, "y": y}

    class Points:
        def __array__(self, dtype=None):
            m["x"] = x + 1.0
            return np.array([0.25, 0.5])

    np.testing.assert_array_equal(call(Points(), m), call(np.array([0.25, 0.5]), {"x": x, "y": y}))

    # Points whose conversion changes the marginal's values in place, or
    # reallocates its y: the marginal's values were taken before, so the
    # result is that of the marginal as it was.
    x2 = np.linspace(-4.0, 4.0, 4000)
    y2 = np.exp(-0.5 * (x2 - 0.5) ** 2)
    want = call(np.array([0.25, 0.5]), {"x": x2.copy(), "y": y2.copy()})
    changed = {"x": x2, "y": y2}

    class ReverseY:
        def __array__(self, dtype=None):
            y2[:] = y2[::-1].copy()
            return np.array([0.25, 0.5])

    np.testing.assert_array_equal(call(ReverseY(), changed), want)
    assert not np.array_equal(call(np.array([0.25, 0.5]), changed), want)  # it did change

    y3 = np.exp(-0.5 * (x2 - 0.5) ** 2)

    class ShrinkY:
        def __array__(self, dtype=None):
            _shrink(y3)
            return np.array([0.25, 0.5])

    np.testing.assert_array_equal(call(ShrinkY(), {"x": x2, "y": y3}), want)


# Run in a child interpreter, so that reading freed memory fails the test
# instead of ending the run. `renew` gives an array new memory, frees the old
# and fills new arrays of other values, which may take the freed memory.
_RENEW = """
import numpy as np
from vordex.pure import densitykit as dk
X = np.linspace(-4, 4, 50)
M = {"x": X, "y": np.exp(-X ** 2 / 2)}
keep = []
def renew(a):
    n = a.size
    a.resize(n + 1_000_000, refcheck=False)
    keep.extend(np.full(n, 0.999, dtype=a.dtype) for _ in range(4))
"""

_RENEWED_DURING_CALL = {
    # The generator's uniforms come from an object that owns their array and
    # renews it when it is released: the draws are made before that.
    "rmarginal": ("""
class U:
    def __init__(self, n): self.a = np.full(n, 0.5)
    def __array__(self, dtype=None): return self.a
    def __del__(self): renew(self.a)
class R:
    def uniform(self, size): return U(size)
print(repr(np.unique(dk.tova_rmarginal(20000, M, R())).tolist()))
""", "[float(dk.tova_qmarginal(0.5, M))]"),
    # fun returns an object array it keeps, which the first item's __float__
    # renews: the other items are still the ones fun returned.
    "emarginal": ("""
held = {}
class V:
    def __init__(self, v): self.v = v
    def __float__(self):
        a = held.pop("a", None)
        if a is not None: renew(a)
        return self.v
def fun(t):
    a = np.empty(len(t), dtype=object)
    a[:] = [V(float(v)) for v in t]
    held["a"] = a
    return a
print(repr(float(dk.tova_emarginal(fun, M))))
""", "float(dk.tova_emarginal(lambda t: t, M))"),
}


@pytest.mark.parametrize("name", sorted(_RENEWED_DURING_CALL))
def test_memory_renewed_by_python_code_during_the_call(name):
    import subprocess
    import sys
    code, expected = _RENEWED_DURING_CALL[name]
    run = subprocess.run([sys.executable, "-P", "-c", _RENEW + code + "print(repr(" + expected + "))"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    got, want = (eval(line) for line in run.stdout.strip().splitlines()[-2:])
    assert got == want


def test_derivative_fun_that_reallocates_x():
    # fun holds the caller's x and gives it a new buffer: the next shift is
    # not formed from the freed memory. Values changed in place are used,
    # as the next shift is formed after fun returns.
    x = np.linspace(0.0, 1.0, 4000)

    def fun(v):
        if x.size == 4000:
            _shrink(x)
        return v * v

    with pytest.raises(RuntimeError, match="^The array given as x was resized or reallocated during the call.$"):
        dk.tova_deriv_func(fun, 0.01)(x)

    x2 = np.zeros(3)

    def bump(v):
        x2[...] += 1.0
        return v.copy()

    # f1 at x+2h=2h, f2 at (x+1)+h, f3 at (x+2)-h, f4 at (x+3)-2h
    got = dk.tova_deriv_func(bump, 0.25)(x2)
    h = 0.25
    want = ((-(2 * h)) + 8.0 * (1 + h) - 8.0 * (2 - h) + (3 - 2 * h)) / (12 * h)
    np.testing.assert_array_equal(got, np.full(3, want))


def test_dict_x_converted_before_y_is_looked_up():
    # np.asarray(m["x"]) comes before m["y"]: its error wins over the missing key.
    for call in (dk._as_xy, dk.tova_marginal_fix, lambda m: dk.tova_qmarginal(0.5, m)):
        with pytest.raises(ValueError, match="could not convert string to float"):
            call({"x": ["a", "b", "c"]})
        with pytest.raises(KeyError, match="'y'"):
            call({"x": [1.0, 2.0, 3.0]})


def test_conversion_of_y_that_retypes_x():
    x, y = _gauss(64)

    class Y:
        def __array__(self, dtype=None):
            x.dtype = np.int8
            return y if dtype is None else y.astype(dtype)

    with pytest.raises((ValueError, IndexError)):
        dk.tova_marginal_fix({"x": x, "y": Y()})


def test_derivative_values_retyped_by_a_later_value():
    buf = np.linspace(0.0, 1.0, 1000)

    class Late:
        def __array__(self, dtype=None):
            buf.dtype = np.int8  # 8000 items over the same memory
            return np.ones(8000)

    values = iter([buf, buf, buf, Late()])
    fd = dk.tova_deriv_func(lambda x: next(values), 0.5)
    got = fd(np.zeros(3))
    assert got.shape == (8000,)
    f = buf.astype(np.float64)
    np.testing.assert_array_equal(got, ((-f + 8.0 * f) - 8.0 * f + 1.0) / (12 * 0.5))


def test_signature_and_defaults_while_python_code_sets_new_defaults():
    import gc
    import inspect

    f = dk.tova_deriv_func(np.sin)  # a function of its own, so module functions stay as they are
    f.__defaults__ = (0.5,)

    class Ann(dict):
        def __getitem__(self, key):
            f.__defaults__ = None  # frees the tuple the signature is being built from
            return super().__getitem__(key)

    f.__annotations__ = Ann(x="ArrayLike")
    assert str(inspect.signature(f)) == "(x: 'ArrayLike' = 0.5)"
    assert f.__defaults__ is None

    # Defaults shown as new objects are copied from a tuple that a collection
    # run by the copy's allocation may replace (in a fresh interpreter: the
    # module function's defaults are set).
    import os
    import subprocess
    import sys
    import textwrap

    import vordex
    code = textwrap.dedent("""
        import gc
        from vordex.pure import densitykit as dk
        g = dk.tova_tmarginal
        class Finalizer:
            def __del__(self):
                g.__defaults__ = (1,)
        keep = [tuple([i, i, i]) for i in range(3000)]  # no free 3-tuples: the copy allocates
        gc.collect()
        c = Finalizer()
        c.self = c
        del c
        gc.set_threshold(1)
        print(g.__defaults__ in ((2048, 6.055454452393342e-05, "quantile"), (1,)))
        """)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(vordex.__file__))))
    r = subprocess.run([sys.executable, "-P", "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0 and r.stdout == "True\n", r.stderr


def test_object_results_whose_conversion_replaces_them():
    # An item's __float__ drops the array's reference to itself: it is held
    # while it is converted (the sanitizer build checks there is no use after free).
    m = {"x": np.linspace(-3, 3, 41), "y": np.exp(-np.linspace(-3, 3, 41) ** 2 / 2)}
    kept = []

    class Bad:
        def __float__(self):
            kept[0][0] = 0.0
            return 1  # not a float

    def fun(x):
        a = np.full(len(x), 1.0, dtype=object)
        a[0] = Bad()
        kept[:] = [a]
        return a

    with pytest.raises(TypeError, match="returned non-float"):
        dk.tova_emarginal(fun, m)
