"""Module attributes, the callable type, marginal forms, cleaning and
argument conversion of vordex.pure.densitykit."""
import builtins
import inspect
import math

import numpy as np
import pandas as pd
import pytest

from vordex.pure import densitykit as dk

FORM_ERROR = ("Marginal must be an (n,2) array, dict with keys {'x','y'}, "
              "or pandas DataFrame with 'x' and 'y' columns.")


@pytest.fixture
def fallback(monkeypatch):
    monkeypatch.setattr(dk, "_SCIPY_OK", False)


def test_module_attributes_and_flags():
    assert dk._EPS == 2.220446049250313e-13 == np.finfo(float).eps * 1000.0
    assert type(dk._EPS) is type(np.finfo(float).eps * 1000.0)
    assert dk._SCIPY_OK is True and dk._PANDAS_OK is True
    assert dk.np is np and dk.pd is pd
    from scipy.interpolate import CubicSpline, PchipInterpolator
    from scipy.optimize import minimize_scalar
    assert dk.PchipInterpolator is PchipInterpolator and dk.CubicSpline is CubicSpline
    assert dk.minimize_scalar is minimize_scalar
    import typing
    assert dk.Union is typing.Union and dk.Optional is typing.Optional
    assert dk.ArrayLike == typing.Union[np.ndarray, typing.List[float], typing.Tuple[float, ...]]
    assert dk.Marginal == typing.Union[np.ndarray, typing.Dict[str, np.ndarray]]


def test_function_order_and_signatures():
    names = [k for k, v in vars(dk).items() if callable(v) and getattr(v, "__module__", None) == dk.__name__]
    expected = ["tova_is_marginal", "_as_xy", "_to_dict_or_mat", "tova_marginal_fix", "_pchip", "_cubic",
                "tova_spline", "tova_smarginal", "tova_sfmarginal", "_simpson_odd_grid", "tova_emarginal",
                "tova_dmarginal", "tova_pmarginal", "tova_qmarginal", "_minimize_on_interval"]
    assert names[:len(expected)] == expected
    sig = inspect.signature(dk.tova_smarginal)
    assert str(sig) == ("(marginal: 'Marginal', log: 'bool' = False, extrapolate: 'float' = 0.0, "
                        "keep_type: 'bool' = False, factor: 'int' = 15) -> 'Marginal'")
    assert dk.tova_smarginal.__defaults__ == (False, 0.0, False, 15)
    assert str(inspect.signature(dk.tova_emarginal)) == \
        "(fun: 'Callable', marginal: 'Marginal', *args, **kwargs) -> 'np.ndarray'"
    assert str(inspect.signature(dk.tova_spline)) == "(x_or_marginal: 'Marginal', **kwargs) -> 'Marginal'"
    assert dk.tova_qmarginal.__annotations__ == {"p": "ArrayLike", "marginal": "Marginal", "length": "int",
                                                 "return": "np.ndarray"}
    f = dk.tova_pmarginal
    assert (f.__name__, f.__qualname__, f.__module__) == ("tova_pmarginal", "tova_pmarginal",
                                                          "vordex.pure.densitykit")
    assert "Cumulative probability" in f.__doc__


def test_callable_type_reports_bad_calls_in_standard_wording():
    m = {"x": [0.0, 1.0, 2.0], "y": [1.0, 2.0, 1.0]}
    cases = [
        (lambda: dk.tova_qmarginal(), "tova_qmarginal() missing 2 required positional arguments: 'p' and 'marginal'"),
        (lambda: dk.tova_qmarginal(0.5), "tova_qmarginal() missing 1 required positional argument: 'marginal'"),
        (lambda: dk.tova_qmarginal(0.5, m, 10, 11),
         "tova_qmarginal() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: dk.tova_qmarginal(0.5, m, p=0.5), "tova_qmarginal() got multiple values for argument 'p'"),
        (lambda: dk.tova_qmarginal(0.5, m, size=3), "tova_qmarginal() got an unexpected keyword argument 'size'"),
        (lambda: dk.tova_is_marginal(m, m), "tova_is_marginal() takes 1 positional argument but 2 were given"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as err:
            call()
        assert str(err.value) == message
    # Keywords are bound before positional arguments are counted, as for a
    # Python function; names that are not valid UTF-8 are reported as given.
    def py_fn(p, marginal, length=2048):
        pass

    for args, kwargs in (((0.5, m, 10, 11), {"p": 1}), ((0.5, m, 10, 11), {"size": 1}),
                         ((), {"\udc80": 1}), ((1,), {"x\ud800y": 1, "p": 2})):
        with pytest.raises(TypeError) as want:
            py_fn(*args, **kwargs)
        with pytest.raises(TypeError) as err:
            dk.tova_qmarginal(*args, **kwargs)
        assert str(err.value) == str(want.value).replace(py_fn.__qualname__, "tova_qmarginal")
    # keywords in any order
    a = dk.tova_qmarginal(marginal=m, length=100, p=[0.5])
    b = dk.tova_qmarginal([0.5], m, 100)
    np.testing.assert_array_equal(a, b)


def test_callable_type_behaves_like_a_function_for_copies_pickles_and_classes():
    import copy
    import pickle
    from concurrent.futures import ProcessPoolExecutor

    from vordex.model_defs.latent import walk2

    # copies are the function itself, so records holding functions deep-copy
    record = walk2.MODELS["walk2"]
    to_theta = record["hyper"]["theta"]["to_theta"]
    assert copy.copy(to_theta) is to_theta and copy.deepcopy(to_theta) is to_theta
    assert copy.deepcopy(record)["hyper"]["theta"]["to_theta"] is to_theta
    # pickled by qualified name, like a module-level Python function; a lambda is not
    assert pickle.loads(pickle.dumps(dk.tova_zmarginal)) is dk.tova_zmarginal
    with pytest.raises(pickle.PicklingError, match="<lambda>"):
        pickle.dumps(to_theta)
    # so a process pool can run the toolkit
    x = np.linspace(-3.0, 3.0, 31)
    m = np.column_stack([x + 1.0, np.exp(-0.5 * x * x)])
    with ProcessPoolExecutor(1) as pool:
        assert list(pool.map(dk.tova_mmarginal, [m])) == [dk.tova_mmarginal(m)]

    # the type itself names its module and documents itself with strings, as
    # Python's function type does (the instances' own __module__ and __doc__
    # are attributes of each function)
    import vordex
    for fn_type in (type(dk.tova_zmarginal), type(to_theta)):
        assert (fn_type.__module__, fn_type.__qualname__) == ("vordex", "function")
        assert inspect.getmodule(fn_type) is vordex
        assert fn_type.__doc__.startswith("A function of vordex implemented natively.")
        assert inspect.formatannotation(fn_type) == "vordex.function"
    assert (to_theta.__module__, dk.tova_zmarginal.__module__) == (walk2.__name__, dk.__name__)

    # a class attribute binds as a method
    class Holder:
        mode = dk.tova_mmarginal
        smooth = dk.tova_smarginal

    assert Holder.mode is dk.tova_mmarginal
    h = Holder()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        h.mode(m)
    assert str(inspect.signature(h.smooth)).startswith("(log: 'bool' = False, extrapolate")

    # __defaults__: None when there are none, settable to a tuple or None only
    assert dk.tova_is_marginal.__defaults__ is None and to_theta.__defaults__ is None
    f = dk.tova_deriv_func(np.sin)
    assert f.__defaults__ is None
    f.__defaults__ = (0.0,)
    assert f() == f(0.0) and str(inspect.signature(f)) == "(x: 'ArrayLike' = 0.0) -> 'np.ndarray'"
    f.__defaults__ = None
    assert f.__defaults__ is None
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'x'"):
        f()
    with pytest.raises(TypeError, match="^__defaults__ must be set to a tuple object$"):
        f.__defaults__ = [0.0]
    del f.__defaults__
    assert f.__defaults__ is None

    # The other attributes take and refuse what a Python function's do.
    def py_fn(x):
        pass

    for attr, value in (("__name__", 3), ("__qualname__", None), ("__annotations__", []), ("__defaults__", 1)):
        with pytest.raises(TypeError) as want:
            setattr(py_fn, attr, value)
        with pytest.raises(TypeError) as err:
            setattr(f, attr, value)
        assert str(err.value) == str(want.value)
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
            delattr(f, attr)
    del f.__doc__, f.__module__
    assert f.__doc__ is None and f.__module__ is None
    f.__annotations__ = {"x": int}
    assert f.__annotations__ == {"x": int}
    del f.__annotations__
    assert f.__annotations__ == {} and str(inspect.signature(f)) == "(x)"
    assert f.__kwdefaults__ is None and to_theta.__kwdefaults__ is None
    assert to_theta.__builtins__ is dk.tova_zmarginal.__builtins__ is builtins.__dict__
    # weak references, as to a function
    import gc
    import weakref
    ref = weakref.ref(f)
    assert ref() is f
    del f
    gc.collect()
    assert ref() is None
    # Defaults computed at import are shown as new objects on each request.
    d = dk.tova_tmarginal.__defaults__
    assert d == (2048, 6.055454452393342e-05, "quantile") == dk.tova_marginal_transform.__defaults__
    assert d is not dk.tova_tmarginal.__defaults__ and d[1] is not dk.tova_tmarginal.__defaults__[1]
    assert dk.tova_deriv_func.__defaults__ == (0.0006864518129765004,)
    assert dk.tova_qmarginal.__defaults__ is dk.tova_qmarginal.__defaults__


def test_is_marginal_forms():
    assert dk.tova_is_marginal(np.zeros((3, 2)))
    for bad in [np.zeros((2, 2)), np.zeros((3, 3)), np.zeros(6), np.zeros((3, 2, 1)), [[0, 1]] * 3, None, 3.0,
                {"x": 1, "y": 2, "w": 3}, {"x": 1}]:
        assert dk.tova_is_marginal(bad) is False
    assert dk.tova_is_marginal({"x": [], "y": []}) is True

    # A dict subclass answers with its own keys().
    class Keys(dict):
        def keys(self):
            return ["x", "y"]

    class BadKeys(dict):
        def keys(self):
            raise RuntimeError("keys")

    assert dk.tova_is_marginal(Keys(a=1)) is True
    with pytest.raises(RuntimeError, match="keys"):
        dk.tova_is_marginal(BadKeys(x=1, y=2))
    assert dk.tova_is_marginal(pd.DataFrame({"x": [1, 2, 3], "y": [1, 2, 3], "w": 0})) is True
    assert dk.tova_is_marginal(pd.DataFrame({"x": [1, 2], "y": [1, 2]})) is False
    assert dk.tova_is_marginal(pd.DataFrame({"x": [1, 2, 3]})) is False


def test_as_xy_forms_and_errors():
    mat = np.array([[0, 1], [1, 2], [2, 3]])
    x, y, is_mat = dk._as_xy(mat)
    assert is_mat is True and x.dtype == np.float64 and list(x) == [0, 1, 2] and list(y) == [1, 2, 3]
    xs = np.array([1.0, 2.0, 3.0])
    x, y, is_mat = dk._as_xy({"x": xs, "y": [4, 5, 6], "extra": None})
    assert is_mat is False and x is xs  # no copy when none is needed
    x, y, is_mat = dk._as_xy(pd.DataFrame({"x": [1, 2, 3], "y": [4, 5, 6]}))
    assert is_mat is False and list(y) == [4.0, 5.0, 6.0]
    with pytest.raises(ValueError, match=r"^Matrix marginal must be an \(n,2\) array\.$"):
        dk._as_xy(np.zeros((3, 2, 2)))
    with pytest.raises(ValueError, match="^DataFrame marginal must have columns 'x' and 'y'.$"):
        dk._as_xy(pd.DataFrame({"x": [1, 2, 3]}))
    with pytest.raises(KeyError, match="'y'"):
        dk._as_xy({"x": [1]})
    for bad in [[(0, 1), (1, 2), (2, 3)], (1, 2), None, 3]:
        with pytest.raises(TypeError) as err:
            dk._as_xy(bad)
        assert str(err.value) == FORM_ERROR


def test_matrix_layouts_read_as_their_columns():
    # Float matrices of any memory layout are read straight from their
    # buffer; other dtypes, byte orders and subclasses are converted. Every
    # layout must give what its two columns given as a dict give.
    rng = np.random.default_rng(5)
    base = np.column_stack([np.sort(rng.uniform(-3, 3, 40)), rng.uniform(0.1, 1.0, 40)])
    base[7, 1] = np.nan
    unaligned = np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1, count=80).reshape(40, 2)
    layouts = [base, np.asfortranarray(base), base[::-1], base[::3], np.column_stack([base, base])[:, 1:3][:, ::-1],
               base.astype(">f8"), base.astype(np.float32), unaligned]
    for m in layouts:
        cols = {"x": np.array(m[:, 0], dtype=float), "y": np.array(m[:, 1], dtype=float)}
        for fn in (dk.tova_marginal_fix, dk.tova_smarginal):
            a, b = fn(m), fn(cols)
            np.testing.assert_array_equal(a["x"], b["x"])
            np.testing.assert_array_equal(a["y"], b["y"])
        np.testing.assert_array_equal(dk.tova_qmarginal([0.1, 0.7], m), dk.tova_qmarginal([0.1, 0.7], cols))
        kept = dk.tova_smarginal(m, keep_type=True)
        assert isinstance(kept, np.ndarray) and kept.shape[1] == 2
    assert not unaligned.flags.aligned
    # Subclasses: np.matrix gives its columns as (n, 1) matrices, read in row
    # order; a masked array's data are read as np.asarray reads them.
    cols = {"x": base[:, 0].copy(), "y": base[:, 1].copy()}
    for m in (np.asmatrix(base), np.ma.masked_array(base, mask=np.zeros_like(base, dtype=bool))):
        for fn in (dk.tova_marginal_fix, dk.tova_smarginal):
            a, b = fn(m), fn(cols)
            np.testing.assert_array_equal(a["x"], b["x"])
            np.testing.assert_array_equal(a["y"], b["y"])
        assert dk.tova_hpdmarginal(0.9, m).tolist() == dk.tova_hpdmarginal(0.9, cols).tolist()
    # Values of a dict are read as the cleaning's boolean selection reads them:
    # equal shapes in row order, a single value as one point; values of
    # different shapes are refused.
    for fn in (dk.tova_marginal_fix, dk.tova_smarginal):
        for m in ({"x": base[:, :1], "y": base[:, 1:]}, {"x": base[:, 0].reshape(2, -1), "y": base[:, 1].reshape(2, -1)}):
            a, b = fn(m), fn(cols)
            np.testing.assert_array_equal(a["x"], b["x"])
            np.testing.assert_array_equal(a["y"], b["y"])
    with pytest.raises(ValueError, match="^Marginal too small after filtering. Need >=3 support points.$"):
        dk.tova_marginal_fix({"x": 1.0, "y": 2.0})
    with pytest.raises(ValueError, match="^Marginal has no finite density points after NaN removal.$"):
        dk.tova_marginal_fix({"x": 1.0, "y": np.nan})
    for x, y, shapes in [(base[:, :1], base[:, 1], r"\(40, 1\) and \(40,\)"), (2.0, [1.0, 2.0], r"\(\) and \(2,\)")]:
        with pytest.raises(ValueError, match=r"^Marginal 'x' and 'y' values must be one-dimensional or of the "
                                             rf"same shape \(got shapes {shapes}\)\.$"):
            dk.tova_marginal_fix({"x": x, "y": y})
    with pytest.raises(ValueError, match="^Marginal has no finite density points after NaN removal.$"):
        dk.tova_marginal_fix(np.empty((0, 2)))
    with pytest.raises(ValueError, match=r"^Matrix marginal must be an \(n,2\) array\.$"):
        dk.tova_marginal_fix(np.zeros((4, 3))[:, :2].reshape(2, 4))


def test_values_are_converted_as_numpy_converts_to_float():
    # Whatever np.asarray(value, dtype=float) converts is accepted, with its
    # values: long double, object and numeric-string arrays, in every form
    # and as evaluation points.
    x = np.linspace(-3.0, 3.0, 21)
    y = np.exp(-0.5 * x * x)
    m = np.column_stack([x, y])
    ref = dk.tova_smarginal(m)
    forms = [m.astype(np.longdouble), m.astype(object), {"x": x.astype(object), "y": y.astype(object)},
             {"x": x.astype(str), "y": y.astype(str)}, pd.DataFrame({"x": x.astype(object), "y": y})]
    for form in forms:
        got = dk.tova_smarginal(form)
        assert np.array_equal(got["x"], ref["x"]) and np.array_equal(got["y"], ref["y"])
    assert dk.tova_mmarginal({"x": x.astype(object), "y": y.astype(object)}) == dk.tova_mmarginal(m)
    p = [0.1, 0.5]
    for points in (np.array(p, dtype=object), np.array(p, dtype=np.longdouble), np.array(["0.1", "0.5"])):
        assert dk.tova_qmarginal(points, m).tolist() == dk.tova_qmarginal(p, m).tolist()
        assert dk.tova_hpdmarginal(points, m).tolist() == dk.tova_hpdmarginal(p, m).tolist()
    assert dk.tova_deriv_func(np.sin)(np.array(["0.0"])).tolist() == dk.tova_deriv_func(np.sin)(np.zeros(1)).tolist()

    class ObjectDraws:
        def uniform(self, size):
            return np.array([0.25, 0.5], dtype=object)

    assert dk.tova_rmarginal(2, m, ObjectDraws()).tolist() == dk.tova_qmarginal([0.25, 0.5], m).tolist()
    # complex points: the real part, with NumPy's ComplexWarning, as np.asarray gives
    with pytest.warns(np.ComplexWarning):
        assert dk.tova_dmarginal(np.array([0.5 + 1j]), m).tolist() == dk.tova_dmarginal([0.5], m).tolist()
    # what NumPy cannot convert fails with NumPy's error
    with pytest.raises(ValueError, match="could not convert string to float"):
        dk.tova_qmarginal(np.array(["half"]), m)
    with pytest.raises(TypeError):
        dk.tova_marginal_fix({"x": np.array([object()] * 3), "y": [1.0, 2.0, 3.0]})


def test_dataframe_not_accepted_without_pandas(monkeypatch):
    monkeypatch.setattr(dk, "_PANDAS_OK", False)
    df = pd.DataFrame({"x": [1, 2, 3], "y": [1, 2, 3]})
    assert dk.tova_is_marginal(df) is False
    with pytest.raises(TypeError):
        dk._as_xy(df)


def test_to_dict_or_mat():
    x, y = np.array([1.0, 2.0]), np.array([3.0, 4.0])
    d = dk._to_dict_or_mat(x, y, 0)
    assert d["x"] is x and d["y"] is y and list(d) == ["x", "y"]
    mat = dk._to_dict_or_mat(x, y, True)
    np.testing.assert_array_equal(mat, [[1, 3], [2, 4]])


def test_marginal_fix_cleaning_rules():
    out = dk.tova_marginal_fix({"x": [3, 1, 2, 0], "y": [0.3, 0.1, 0.2, 0.0]})
    assert list(out) == ["x", "y"]
    np.testing.assert_array_equal(out["x"], [1, 2, 3])
    np.testing.assert_array_equal(out["y"], [0.1, 0.2, 0.3])
    # relative floor: 1e-14 dropped, 1e-12 kept
    out = dk.tova_marginal_fix({"x": [0, 1, 2, 3], "y": [1.0, 1e-14, 1e-12, 0.5]})
    np.testing.assert_array_equal(out["x"], [0, 2, 3])
    # NaN densities dropped, infinite kept, matrix gives a dict
    out = dk.tova_marginal_fix(np.array([[0, np.nan], [1, 1.0], [2, 2.0], [3, 3.0]]))
    assert isinstance(out, dict) and list(out["x"]) == [1, 2, 3]
    with pytest.raises(ValueError, match="^Marginal has no finite density points after NaN removal.$"):
        dk.tova_marginal_fix({"x": [1, 2, 3], "y": [np.nan] * 3})
    with pytest.raises(ValueError, match="^Marginal has no finite density points after NaN removal.$"):
        dk.tova_marginal_fix({"x": [], "y": []})
    for y in ([0, 0, 1, 2], [-1, -2, 0, 0]):
        with pytest.raises(ValueError, match="^Marginal too small after filtering. Need >=3 support points.$"):
            dk.tova_marginal_fix({"x": [0, 1, 2, 3], "y": y})
    with pytest.raises(IndexError, match="boolean index did not match"):
        dk.tova_marginal_fix({"x": [0, 1, 2], "y": [1, 2, 3, 4]})


def test_malformed_inputs_raise_python_exceptions():
    bad = [
        np.array([["a", "b"], ["c", "d"], ["e", "f"]]),
        np.array([[object(), 1], [2, 3], [4, 5]], dtype=object),
        {"x": [[1, 2], [3]], "y": [1, 2]},
        {"x": [[1, 2], [3, 4], [5, 6]], "y": [[1, 2], [3, 4]]},
        {"x": 1.0, "y": 2.0},
        {"x": "abc", "y": [1, 2, 3]},
        {"x": None, "y": None},
        np.empty((0, 2)),
        {"x": [np.inf, 1, 2], "y": [1, np.inf, 2]},
    ]
    for m in bad:
        for fn in (dk.tova_marginal_fix, dk.tova_spline, dk.tova_smarginal, dk.tova_sfmarginal):
            with pytest.raises((ValueError, TypeError, IndexError)):
                fn(m)


def test_argument_conversion_rules():
    m = {"x": np.arange(10.0), "y": np.exp(-0.5 * (np.arange(10.0) - 4.5) ** 2)}
    base = dk.tova_smarginal(m, factor=2)
    for f in (2.7, True + 1, np.int64(2), np.float32(2.9)):
        np.testing.assert_array_equal(dk.tova_smarginal(m, factor=f)["x"], base["x"])
    with pytest.raises(TypeError) as err:
        dk.tova_smarginal(m, factor="15")
    assert str(err.value) == "Argument 'factor' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError, match=r"^Argument 'length' has incorrect type \(expected int, got NoneType\)$"):
        dk.tova_qmarginal(0.5, m, length=None)
    with pytest.raises(OverflowError):
        dk.tova_qmarginal(0.5, m, length=2 ** 80)
    # every factor not above 0 keeps one point per input point, however large
    for f in (0, -3, -2 ** 64):
        np.testing.assert_array_equal(dk.tova_smarginal(m, factor=f)["x"], dk.tova_smarginal(m, factor=1)["x"])
    with pytest.raises(TypeError):
        dk.tova_smarginal(m, extrapolate="0.1")
    # flags by truth value, None counts as false
    np.testing.assert_array_equal(dk.tova_smarginal(m, log=None)["y"], dk.tova_smarginal(m)["y"])
    np.testing.assert_array_equal(dk.tova_smarginal(m, log=[1])["y"], dk.tova_smarginal(m, log=True)["y"])


def test_pchip_and_cubic_factories(fallback):
    x, y = np.array([0.0, 1.0, 2.0]), np.array([0.0, 1.0, 4.0])
    for factory, qual in ((dk._pchip, "_pchip.<locals>._Lin"), (dk._cubic, "_cubic.<locals>._Lin")):
        f = factory(x, y)
        assert type(f).__qualname__ == qual and type(f).__name__ == "_Lin"
        np.testing.assert_array_equal(f(np.array([-0.5, 0.5, 2.5])), [np.nan, 0.5, np.nan])
        assert f(2.0) == 4.0
    assert type(dk._pchip(x, y)) is not type(dk._pchip(x, y))  # a class of its own per call
    # x and y are held, not copied, and only read (and checked) when called
    yy = y.copy()
    f = dk._pchip(x, yy)
    yy[:] = [10.0, 20.0, 30.0]
    assert f(0.5) == 15.0
    g = dk._cubic([0.0, 1.0, 2.0], [0.0, 1.0])
    with pytest.raises(ValueError, match="fp and xp are not of the same length"):
        g(0.5)
    # sample points of the wrong depth: np.interp's messages
    for xp, fp, message in ((np.array([[0.0, 1.0], [2.0, 3.0]]), np.arange(4.0), "object too deep"),
                            (np.arange(4.0), np.arange(4.0).reshape(2, 2), "object too deep"),
                            (1.0, 2.0, "object of too small depth")):
        with pytest.raises(ValueError, match=message):
            np.interp(0.5, xp, fp)
        with pytest.raises(ValueError, match=message):
            dk._pchip(xp, fp)(0.5)


def test_factories_use_scipy_when_available():
    from scipy.interpolate import CubicSpline, PchipInterpolator
    x, y = np.array([0.0, 1.0, 2.0]), np.array([0.0, 1.0, 4.0])
    p = dk._pchip(x, y)
    assert isinstance(p, PchipInterpolator)
    v = p(np.array([-0.5, 0.5, 2.5]))
    assert np.isnan(v[0]) and np.isnan(v[2]) and np.isfinite(v[1])
    assert isinstance(dk._cubic(x, y), CubicSpline)


def test_spline_forms_and_values():
    mat = np.column_stack([np.array([0.0, 0.5, 2.0, 3.0, 4.0]), np.exp(-np.array([0.0, 0.5, 2.0, 3.0, 4.0]) ** 2)])
    out = dk.tova_spline(mat)
    assert out.shape == (5, 2)
    np.testing.assert_array_equal(out[:, 0], np.linspace(0, 4, 5))
    # a Gaussian shape (quadratic log density) is reproduced by the cubic spline
    np.testing.assert_allclose(out[:, 1], np.exp(-out[:, 0] ** 2), rtol=1e-12)
    d = dk.tova_spline({"x": mat[:, 0], "y": mat[:, 1]}, anything="ignored")
    assert isinstance(d, dict)
    np.testing.assert_array_equal(d["y"], out[:, 1])
    assert isinstance(dk.tova_spline(pd.DataFrame({"x": mat[:, 0], "y": mat[:, 1]})), dict)
    one_zero = {"x": [0, 1, 2, 3], "y": [1.0, 0.0, 2.0, 1.0]}
    assert len(dk.tova_spline(one_zero)["x"]) == 3


def test_deleted_flags_are_name_errors(monkeypatch):
    m = {"x": np.array([0.0, 1.0, 3.0, 4.0, 6.0]), "y": np.array([0.1, 0.5, 1.0, 0.4, 0.05])}
    monkeypatch.delattr(dk, "_SCIPY_OK")
    with pytest.raises(NameError, match="^name '_SCIPY_OK' is not defined$"):
        dk.tova_spline(m)
    with pytest.raises(NameError, match="_SCIPY_OK"):
        dk._minimize_on_interval(abs, -1.0, 1.0)
    monkeypatch.undo()
    monkeypatch.delattr(dk, "_PANDAS_OK")
    with pytest.raises(NameError, match="^name '_PANDAS_OK' is not defined$"):
        dk.tova_marginal_fix(m)
    monkeypatch.undo()
    monkeypatch.delattr(dk, "pd")
    with pytest.raises(NameError, match="^name 'pd' is not defined$"):
        dk.tova_marginal_fix(m)


def test_flag_is_read_at_call_time(monkeypatch):
    m = {"x": np.array([0.0, 1.0, 3.0, 4.0, 6.0]), "y": np.array([0.1, 0.5, 1.0, 0.4, 0.05])}
    spline = dk.tova_spline(m)["y"]
    monkeypatch.setattr(dk, "_SCIPY_OK", False)
    linear = dk.tova_spline(m)["y"]
    assert not np.array_equal(spline, linear)
    # linear interpolation of the log density: geometric means between nodes
    xx = np.linspace(0, 6, 5)
    np.testing.assert_allclose(linear, np.exp(np.interp(xx, m["x"], np.log(m["y"]))), rtol=0, atol=0)


# --- the cleaning's order of equal positions -------------------------------------------------------
# The cleaning orders the points as np.argsort(x) does (the default kind, which does not keep the
# input order of equal values), so the densities of equal positions come out in NumPy's order.

def _clean_with_numpy(x, y):
    """The cleaning's steps with NumPy: NaN densities dropped, the np.argsort order, the floor;
    None when fewer than 3 points remain."""
    keep = ~np.isnan(y)
    x, y = x[keep], y[keep]
    if y.size == 0:
        return None
    order = np.argsort(x)
    x, y = x[order], y[order]
    with np.errstate(divide="ignore", invalid="ignore"):
        keep = (y > 0.0) & (np.abs(y / np.max(y)) > dk._EPS)
    return (x[keep], y[keep]) if np.count_nonzero(keep) >= 3 else None


def _assert_cleans_as_numpy(x, y, label):
    want = _clean_with_numpy(x, y)
    if want is None:
        with pytest.raises(ValueError):
            dk.tova_marginal_fix({"x": x, "y": y})
        return
    got = dk.tova_marginal_fix({"x": x, "y": y})
    # bit for bit: the sign of a zero position and the NaN positions count too
    assert got["x"].tobytes() == want[0].tobytes(), label
    assert got["y"].tobytes() == want[1].tobytes(), label


def test_marginal_fix_orders_equal_positions_as_argsort():
    x = np.array([1.0, 0.0] * 10 + [2.0])
    y = np.arange(1.0, 22.0)
    out = dk.tova_marginal_fix({"x": x, "y": y})
    np.testing.assert_array_equal(out["y"][:10], [2, 4, 18, 6, 8, 16, 10, 20, 12, 14])
    np.testing.assert_array_equal(out["y"], y[np.argsort(x)])
    np.testing.assert_array_equal(out["x"], x[np.argsort(x)])
    for form in (np.column_stack([x, y]), pd.DataFrame({"x": x, "y": y})):
        np.testing.assert_array_equal(dk.tova_marginal_fix(form)["y"], out["y"])
    # The NaN densities go first, so the order is np.argsort's of the points left.
    yn = np.concatenate(([np.nan], y, [np.nan]))
    xn = np.concatenate(([1.0], x, [0.0]))
    np.testing.assert_array_equal(dk.tova_marginal_fix({"x": xn, "y": yn})["y"], y[np.argsort(x)])


@pytest.mark.parametrize("name", ["all_equal", "sorted_ties", "signed_zeros", "nearly_sorted_ties", "reversed_ties",
                                  "sawtooth", "organ_pipe", "organ_pipe_inverted", "several_nan_x", "all_nan_x"])
def test_marginal_fix_order_on_patterns_is_argsorts(name):
    # y numbers the points, so the cleaned y is the whole permutation. Organ pipes are deep enough
    # for the sort's depth limit to hand segments over to its heapsort.
    for n in list(range(3, 70)) + [255, 256, 1000, 4097]:
        i = np.arange(n)
        x = {
            "all_equal": np.full(n, 0.25),
            "sorted_ties": np.floor(i / 3.0),
            "signed_zeros": np.where(i % 3 == 0, -0.0, 0.0),
            "nearly_sorted_ties": np.where(i % 7 == 1, i - 1.0, i * 1.0),
            "reversed_ties": np.floor(i / 2.0)[::-1],
            "sawtooth": (i % 5).astype(float),
            "organ_pipe": np.minimum(i, n - 1 - i).astype(float),
            "organ_pipe_inverted": np.maximum(i, n - 1 - i).astype(float),
            "several_nan_x": np.where(i % 4 == 1, np.nan, (i % 3).astype(float)),
            "all_nan_x": np.full(n, np.nan),
        }[name]
        y = np.arange(1.0, n + 1.0)
        got = dk.tova_marginal_fix({"x": x, "y": y})["y"]
        np.testing.assert_array_equal(got, y[np.argsort(x)], err_msg=f"{name} n={n}")


def test_marginal_fix_matches_argsort_on_seeded_tie_heavy_inputs():
    rng = np.random.default_rng(20240611)
    sizes = [int(s) for s in rng.integers(3, 120, 400)] + [int(s) for s in rng.integers(120, 5000, 60)]
    for case, n in enumerate(sizes):
        distinct = int(rng.integers(1, 8)) if case % 2 else int(rng.integers(1, n + 1))
        x = rng.normal(size=distinct)[rng.integers(0, distinct, n)]
        y = rng.random(n) + 0.5
        kind = case % 5
        if kind == 1:  # several NaN positions, and NaN densities
            x[rng.random(n) < 0.2] = np.nan
            y[rng.random(n) < 0.1] = np.nan
        elif kind == 2:  # -0 and 0, and infinite positions
            x[rng.random(n) < 0.3] = -0.0
            x[rng.random(n) < 0.3] = 0.0
            x[rng.random(n) < 0.05] = np.inf
            x[rng.random(n) < 0.05] = -np.inf
        elif kind == 3:  # densities dropped by the floor after sorting
            y[rng.random(n) < 0.2] = 0.0
            y[rng.random(n) < 0.1] = 1e-20
        elif kind == 4:  # already ascending, ties included
            x = np.sort(x)
        _assert_cleans_as_numpy(x, y, f"case {case} n={n}")


def test_callable_type_corner_cases_behave_like_a_function():
    import ctypes
    import functools
    import gc

    from vordex.model_defs.latent import walk2

    # The type cannot be instantiated from Python (an empty one had no fields).
    with pytest.raises(TypeError, match="cannot create"):
        type(dk.tova_qmarginal)()

    # Keyword names are matched by equality, as the interpreter matches them,
    # and must be strings (reachable through the C API only).
    class AlwaysEq(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return True

    class NeverEq(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            return False

    to_theta = walk2.MODELS["walk2"]["hyper"]["theta"]["to_theta"]
    twin = lambda x: x  # noqa: E731
    twin.__qualname__ = "<lambda>"
    for key in (AlwaysEq("zz"), NeverEq("x")):
        outcomes = []
        for fn in (twin, to_theta):
            try:
                outcomes.append(("ok", fn(**{key: 5.0})))
            except TypeError as e:
                outcomes.append(("error", str(e)))
        assert outcomes[0][0] == outcomes[1][0] and (outcomes[0][0] == "ok" or outcomes[0] == outcomes[1])
    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 1)(10.0)
    for fn in (twin, to_theta):
        with pytest.raises(TypeError, match=r"^<lambda>\(\) keywords must be strings$"):
            vectorcall(fn, ctypes.cast(args, ctypes.c_void_p), 0, (1,))

    # Attributes a function has, with its rules.
    f = dk.tova_deriv_func(abs)
    f.__kwdefaults__ = {"a": 1}
    assert f.__kwdefaults__ == {"a": 1}
    del f.__kwdefaults__
    assert f.__kwdefaults__ is None
    with pytest.raises(TypeError, match="^__kwdefaults__ must be set to a dict object$"):
        f.__kwdefaults__ = 5
    f.__dict__ = {"tag": 1}
    assert f.tag == 1
    with pytest.raises(TypeError, match="^cannot delete __dict__$"):
        del f.__dict__
    for name in ("__globals__", "__builtins__", "__closure__"):
        with pytest.raises(AttributeError, match="^readonly attribute$"):
            setattr(f, name, None)
    assert f.__closure__ is None
    f.__defaults__ = ()
    assert f.__defaults__ == ()
    # A signature set by the user, and the wrapped function's after update_wrapper.
    def other(a, b=2):
        pass

    f.__signature__ = inspect.signature(other)
    assert str(inspect.signature(f)) == "(a, b=2)"
    del f.__signature__
    assert str(inspect.signature(f)) == "(x: 'ArrayLike') -> 'np.ndarray'"
    g = functools.update_wrapper(dk.tova_deriv_func(abs), other)
    assert str(inspect.signature(g)) == "(a, b=2)"
    del f, g
    gc.collect()


def test_annotations_set_by_a_finalizer_while_they_are_built_are_kept():
    # Reading __annotations__ builds a dict; a collection during that may run
    # a finalizer that sets __annotations__: its dict must stand (it used to be
    # overwritten and leaked).
    import gc
    import weakref

    f = dk.tova_deriv_func(abs)
    del f.__annotations__

    class Probe:
        pass

    probe = Probe()
    alive = weakref.ref(probe)
    box = [probe]
    del probe

    class Finalizer:
        def __del__(self):
            f.__annotations__ = {"p": box.pop()}

    thresholds = gc.get_threshold()
    gc.disable()
    try:
        d = Finalizer()
        d.me = d
        del d
        hold = [{} for _ in range(300)]  # empties the free list of dicts  # noqa: F841
        gc.enable()
        gc.set_threshold(1)
        got = f.__annotations__
    finally:
        gc.set_threshold(*thresholds)
        gc.enable()
    gc.collect()
    assert not box, "the finalizer did not run while the annotations were built"
    assert got is f.__annotations__ and list(got) == ["p"] and got["p"] is alive()
    del got
    f.__annotations__ = None
    gc.collect()
    assert alive() is None
    del Finalizer, f  # the local class's cycle holds f through its method: not left for later tests
    gc.collect()


def test_callable_type_state_kept_consistent_by_reentrant_setters():
    # Releasing the old __defaults__ (or __annotations__) may run a finalizer
    # that sets the attribute again: what it set must stand, flags included.
    import gc
    import sys

    m = np.column_stack([np.linspace(-3, 3, 31), np.exp(-0.5 * np.linspace(-3, 3, 31) ** 2)])
    f = dk.tova_deriv_func(abs)
    g = dk.tova_qmarginal
    saved = g.__defaults__
    try:
        class SetsDefaults:
            def __del__(self):
                g.__defaults__ = (m, 64)

        g.__defaults__ = (SetsDefaults(),)
        g.__defaults__ = None
        assert g.__defaults__[1] == 64
        assert str(inspect.signature(g)).endswith("length: 'int' = 64) -> 'np.ndarray'")
        assert g(0.5) == dk.tova_qmarginal(0.5, m, 64)
    finally:
        g.__defaults__ = saved

    class ReadsAnnotations:
        def __del__(self):
            f.__annotations__  # rebuilt while the old dict is released

    f.__annotations__ = {"x": ReadsAnnotations()}
    f.__annotations__ = None
    assert f.__annotations__ == {}

    # A signature set to None stands for none set, as inspect treats it.
    f.__signature__ = None
    assert str(inspect.signature(f)) == "(x)"

    # Each function holds one reference to its type, released with it.
    tp = type(f)
    before = sys.getrefcount(tp)
    for _ in range(1000):
        dk.tova_deriv_func(abs)
    gc.collect()
    assert sys.getrefcount(tp) == before


def test_a_function_calling_itself_raises_recursion_error(monkeypatch):
    # A module name rebound to another of its functions makes a call recurse
    # through native code: RecursionError, as Python code gives, not a crash.
    u = np.linspace(-3.0, 3.0, 31)
    m = np.column_stack([u, np.exp(-0.5 * u * u)])
    monkeypatch.setattr(dk, "tova_tmarginal", dk.tova_marginal_transform)
    with pytest.raises(RecursionError):
        dk.tova_marginal_transform(np.exp, m)
    monkeypatch.undo()
    assert dk.tova_marginal_transform(np.exp, m).shape[1] == 2


def _run_isolated(code, timeout=60):
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=timeout,
                          env={**__import__("os").environ})


def test_first_calls_import_nothing():
    # The first call of a fresh process imports nothing through the caller's
    # __import__: it works with restricted builtins, and first calls from
    # two threads under a slow __import__ finish (they used to deadlock).
    code = """
import builtins, threading, time
import numpy as np
import vordex.pure.densitykit as dk
from vordex.model_defs.latent import autoreg
print(eval("dk.tova_is_marginal(5)", {"__builtins__": {}, "dk": dk}))
fisher = autoreg.MODELS["autoreg"]["hyper"]["theta2"]["from_theta"]
print(eval("f(x)", {"__builtins__": {}, "f": fisher, "x": np.float32(1.0)}))
assert eval("f(x)", {"__builtins__": {}, "f": fisher, "x": np.array([0.5, 800.0])})[1] == 1.0
real = builtins.__import__
def slow(*a, **k):
    time.sleep(0.05)
    return real(*a, **k)
builtins.__import__ = slow
out = []
ts = [threading.Thread(target=lambda: out.append(dk.tova_is_marginal(np.zeros((3, 2)))), daemon=True)
      for _ in range(2)]
for t in ts: t.start()
for t in ts: t.join(20)
print(out)
"""
    r = _run_isolated(code)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.split("\n")
    assert lines[0] == "False" and float(lines[1]) == pytest.approx(np.tanh(0.5), rel=1e-6)
    assert lines[2] == "[True, True]"


@pytest.mark.parametrize("name", ["vordex.pure.densitykit", "vordex.model_defs.likelihood.gamma",
                                  "vordex.model_defs.latent.autoreg", "vordex.model_defs.latent.kgauss",
                                  "vordex.model_defs.latent.walk2", "vordex._coretest"])
def test_sub_interpreters_are_refused_with_import_error(name):
    # Whether or not the main interpreter has imported the module first; the
    # test-support module used to hang when it had not.
    code = f"""
import _xxsubinterpreters as si
import vordex.model_defs.latent.walk2
for first in (False, True):
    if first:
        import {name}
    sid = si.create()
    try:
        si.run_string(sid, "import {name}")
    except Exception as e:
        print(type(e).__name__, e)
"""
    r = _run_isolated(code, timeout=60)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and all("ImportError" in s and "main interpreter" in s for s in lines), r.stdout


def test_table_globals_fall_back_to_their_own_builtins():
    # (on a module of its own, so that the shared one keeps its attributes' order)
    import importlib
    import sys

    name = "vordex.model_defs.latent.autoreg"
    importlib.import_module(name)  # (also when this file runs alone)
    shared = sys.modules.pop(name)
    try:
        fresh = importlib.import_module(name)
    finally:
        sys.modules[name] = shared
        sys.modules["vordex.model_defs.latent"].autoreg = shared
    del fresh._PACF_INITIAL
    with pytest.raises(NameError, match="_PACF_INITIAL"):
        eval("a._pacf_hyper(3)", {"__builtins__": {"_PACF_INITIAL": [7] * 10}, "a": fresh})


def _ends_quietly(code, runs=3):
    # The script prints "done" and its interpreter exits with status 0, in
    # every one of several runs (what goes wrong at exit depends on timing).
    for _ in range(runs):
        r = _run_isolated(code)
        assert r.returncode == 0 and r.stdout == "done\n", (r.returncode, r.stderr[-500:])


# Daemon threads whose call runs Python or NumPy code (a callback, a table's
# transform) when the main thread ends: the interpreter used to end them by
# unwinding through the module's frames, which aborted the process.
_EXIT_WORK = {
    "table transform": ("import vordex.model_defs.likelihood.gamma as gm\n"
                        "f = gm.MODELS['gamma']['hyper']['theta']['to_theta']\n"
                        "work = lambda: f(big)"),
    "derivative of a NumPy function": "fd = dk.tova_deriv_func(np.exp)\nwork = lambda: fd(big)",
    "expectation with a NumPy callback":
        "work = lambda: dk.tova_emarginal(lambda t: np.exp(np.resize(big, t.size)), m)",
}


@pytest.mark.parametrize("case", sorted(_EXIT_WORK))
def test_daemon_threads_in_callables_at_exit_end_quietly(case):
    code = """
import threading, time
import numpy as np
from vordex.pure import densitykit as dk
big = np.linspace(0.1, 5, 2_000_000)
g = np.linspace(-4, 4, 41); m = {"x": g, "y": np.exp(-0.5 * g ** 2)}
""" + _EXIT_WORK[case] + """
def loop():
    while True: work()
for _ in range(2): threading.Thread(target=loop, daemon=True).start()
time.sleep(0.5)
print("done")
"""
    _ends_quietly(code)


def test_callbacks_running_past_the_exit_wait_end_quietly():
    # Callbacks of three kinds still run Python code when the exit's wait of
    # a second is over: their threads stop inside the callback without
    # unwinding the module's frames (which crashed the process).
    code = """
import sys, threading, time
import numpy as np
import vordex.pure.densitykit as dk
x = np.linspace(-5, 5, 101); m = {"x": x, "y": np.exp(-x * x / 2)}
started = threading.Event()
def spin(v):
    started.set()
    t = time.time()
    while time.time() < t + 5: pass
    return v
threading.Thread(target=lambda: dk.tova_emarginal(spin, m), daemon=True).start()
threading.Thread(target=lambda: dk.tova_tmarginal(spin, m, n=20), daemon=True).start()
threading.Thread(target=lambda: dk._minimize_on_interval(lambda z: (spin(z) - 0.3) ** 2, 0.0, 1.0),
                 daemon=True).start()
started.wait()
print("done")
"""
    _ends_quietly(code)


def test_exit_with_blocked_callbacks_and_later_exit_functions():
    # A callback that never returns delays the exit by at most about a
    # second; an exit function registered before the toolkit's runs after it
    # on the main thread and can still call the toolkit.
    code = """
import atexit, threading, time
import numpy as np
def late():
    from vordex.pure import densitykit as dk
    g = np.linspace(-4, 4, 41)
    print("late", float(dk.tova_qmarginal(0.5, {"x": g, "y": np.exp(-g * g / 2)})) == want)
atexit.register(late)
from vordex.pure import densitykit as dk
g = np.linspace(-4, 4, 41); m = {"x": g, "y": np.exp(-0.5 * g ** 2)}
want = float(dk.tova_qmarginal(0.5, m))
never = threading.Event()
def blocked(t):
    never.wait()
    return t
def busy(t):
    sum(range(100000))
    return t
def loop():
    while True: dk.tova_emarginal(busy, m)
threading.Thread(target=lambda: dk.tova_emarginal(blocked, m), daemon=True).start()
threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
print("done")
"""
    import time
    start = time.monotonic()
    r = _run_isolated(code, timeout=60)
    assert r.returncode == 0 and r.stdout == "done\nlate True\n", (r.returncode, r.stderr[-500:])
    assert time.monotonic() - start < 20


def test_child_of_a_fork_does_not_wait_for_the_parents_threads_at_exit():
    # A thread of the parent is inside a call with a callback when the
    # process forks; the child has no such thread, and its exit does not wait
    # for it (the wait would take a second).
    code = """
import atexit, os, sys, threading, time
marks = {}
atexit.register(lambda: marks.get("start") is not None and print(
    "child waited", time.monotonic() - marks["start"] < 0.5, flush=True))
import numpy as np
from vordex.pure import densitykit as dk
g = np.linspace(-4, 4, 41); m = {"x": g, "y": np.exp(-0.5 * g ** 2)}
inside = threading.Event()
def slow(t):
    inside.set()
    time.sleep(0.05)
    return t
def loop():
    while True: dk.tova_emarginal(slow, m)
threading.Thread(target=loop, daemon=True).start()
inside.wait()
time.sleep(0.01)
pid = os.fork()
if pid == 0:
    dk.tova_qmarginal(0.5, m)
    atexit.register(lambda: marks.__setitem__("start", time.monotonic()))
    sys.exit(0)
_, status = os.waitpid(pid, 0)
print("child status", status)
"""
    r = _run_isolated(code)
    assert r.returncode == 0 and "child waited True\n" in r.stdout and "child status 0\n" in r.stdout, (
        r.returncode, r.stdout, r.stderr[-500:])


def test_daemon_threads_in_native_work_at_exit_end_quietly():
    # The interpreter ends threads that take its lock back while it finalises;
    # one coming back from native work used to abort the process.
    code = """
import threading, time
import numpy as np
from vordex.pure import densitykit as dk
u = np.linspace(-3, 3, 300)
m = np.column_stack([u, np.exp(-u * u / 2)])
def loop():
    while True:
        dk.tova_hpdmarginal([0.5, 0.95], m)
        dk.tova_marginal_fix(m)
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
print("done")
"""
    _ends_quietly(code)


def test_errors_of_a_global_lookup_are_raised_not_taken_for_a_missing_name(monkeypatch):
    # A key of the module's globals whose comparison raises sits before
    # _SCIPY_OK on its lookup path: the call raises that error, as a Python
    # function reading the global would, instead of NameError.
    class Boom(Exception):
        pass

    armed = []

    class Key:
        def __hash__(self):
            return hash("_SCIPY_OK")

        def __eq__(self, other):
            if armed:
                raise Boom
            return self is other

    g = np.linspace(-4, 4, 41)
    m = {"x": g, "y": np.exp(-g * g / 2)}
    want = dk.tova_qmarginal(0.5, m)
    flag = dk._SCIPY_OK
    key = Key()
    monkeypatch.delattr(dk, "_SCIPY_OK")
    try:
        dk.__dict__[key] = None
        dk.__dict__["_SCIPY_OK"] = flag
        armed.append(True)
        with pytest.raises(Boom):
            dk.tova_qmarginal(0.5, m)
        with pytest.raises(Boom):
            eval("_SCIPY_OK", dk.__dict__)
    finally:
        armed.clear()
        del dk.__dict__[key]
    assert dk.tova_qmarginal(0.5, m) == want
