"""Model definition tables: vordex.model_defs.likelihood.gamma and the latent
modules autoreg, kgauss and walk2.

Grouped by what consumers rely on: iteration orders, object identities,
value types, transform values and failures, and the import of gamma with its
helper module.
"""
import math
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from vordex.model_defs.latent import autoreg, kgauss, walk2
from vordex.model_defs.likelihood import gamma
import vordex

# The directory holding the package under test (the source tree, or the
# sanitizer build's copy of it): child interpreters import from there too.
PKG_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vordex.__file__)))

LATENT = {"autoreg": autoreg, "kgauss": kgauss, "walk2": walk2}
LIK_BLOCK_KEYS = ["hyperid", "name", "short_name", "output_name", "output_name_intern", "initial", "fixed",
                  "prior", "param", "to_theta", "from_theta"]
LATENT_BLOCK_KEYS = ["hyperid", "name", "short_name", "initial", "fixed", "prior", "param", "to_theta", "from_theta"]
WALK2_BLOCK_KEYS = ["hyperid", "name", "short_name", "prior", "param", "initial", "fixed", "to_theta", "from_theta"]
LATENT_RECORD_KEYS = ["doc", "hyper", "constr", "nrow_ncol", "augmented", "aug_factor", "aug_constr", "n_div_by",
                      "n_required", "set_default_values", "pdf", "allowed_keys", "denied_common_keys"]
GAMMA_KEYS = ["gamma", "mgamma", "gammasurv", "mgammasurv", "gammajw", "gammajwsurv", "iidgamma", "loggammafrailty"]


def all_blocks():
    """(module name, model key, hyper name, block) for every block of the four tables."""
    for mod in (gamma, autoreg, kgauss, walk2):
        for key, rec in mod.MODELS.items():
            for hname, block in rec["hyper"].items():
                yield mod.__name__, key, hname, block


def run_py(code, *flags):
    """Run `code` in a fresh interpreter importing the same package."""
    env = dict(os.environ, PYTHONPATH=PKG_ROOT)
    return subprocess.run([sys.executable, "-P", *flags, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


# ---------------------------------------------------------------------------
# Iteration orders
# ---------------------------------------------------------------------------

def test_model_and_record_key_orders():
    assert list(gamma.MODELS) == GAMMA_KEYS
    for key, rec in gamma.MODELS.items():
        expected = ["doc", "hyper", "survival", "discrete", "link", "pdf"]
        if key in ("iidgamma", "loggammafrailty"):
            expected.append("status")
            assert rec["status"] == "experimental"
        assert list(rec) == expected, key
    for name, mod in LATENT.items():
        assert list(mod.MODELS) == [name]
        expected = list(LATENT_RECORD_KEYS)
        if name == "walk2":
            expected.insert(expected.index("pdf"), "min_diff")
        assert list(mod.MODELS[name]) == expected, name


def test_block_key_orders():
    seen = set()
    for modname, key, hname, block in all_blocks():
        if modname.endswith("gamma"):
            if key in ("gammasurv", "mgammasurv", "gammajwsurv") and hname != "theta1" or key == "gammajwsurv":
                continue  # blocks produced by the helper module
            expected = LIK_BLOCK_KEYS
        elif modname.endswith("walk2"):
            expected = WALK2_BLOCK_KEYS
        else:
            expected = LATENT_BLOCK_KEYS
        assert list(block) == expected, (modname, key, hname)
        seen.add(modname)
    assert len(seen) == 4


def test_hyper_names_and_numbering():
    def names(mod, key):
        return list(mod.MODELS[key]["hyper"])

    for mod, key in [(walk2, "walk2"), (gamma, "gamma"), (gamma, "mgamma"), (gamma, "loggammafrailty")]:
        assert names(mod, key) == ["theta"]
    assert names(gamma, "gammajw") == []
    assert names(gamma, "iidgamma") == ["theta1", "theta2"]
    assert names(autoreg, "autoreg") == [f"theta{i}" for i in range(1, 12)]
    assert names(kgauss, "kgauss") == [f"theta{i}" for i in range(1, 301)]
    # the survival models: own block first, then the helper's blocks from theta2
    for key in ("gammasurv", "mgammasurv"):
        assert names(gamma, key) == [f"theta{i}" for i in range(1, 12)]
    assert names(gamma, "gammajwsurv") == [f"theta{i}" for i in range(1, 11)]


def test_hyperids_distinct_and_as_documented():
    ids = [block["hyperid"] for *_, block in all_blocks()]
    assert all(type(i) is int for i in ids)
    assert len(ids) == len(set(ids))
    assert [b["hyperid"] for b in autoreg.MODELS["autoreg"]["hyper"].values()] == list(range(15001, 15012))
    assert [b["hyperid"] for b in kgauss.MODELS["kgauss"]["hyper"].values()] == list(range(29101, 29401))


# ---------------------------------------------------------------------------
# Identities and sharing
# ---------------------------------------------------------------------------

def test_key_sets_are_the_module_objects():
    for name, mod in LATENT.items():
        rec = mod.MODELS[name]
        assert rec["allowed_keys"] is mod.ALLOWED_KEYS
        assert rec["denied_common_keys"] is mod.DENIED_COMMON_KEYS
        assert type(mod.ALLOWED_KEYS) is set and mod.DENIED_COMMON_KEYS == {"id_names"}
    assert walk2.ALLOWED_KEYS == {"id", "model", "hyper", "n", "constr", "cyclic", "scale.model", "values",
                                  "extraconstr", "diagonal"}
    assert autoreg.ALLOWED_KEYS == {"id", "model", "order", "hyper", "constr", "values", "extraconstr",
                                    "diagonal"}
    assert kgauss.ALLOWED_KEYS == {"id", "model", "order", "n", "hyper", "constr", "diagonal"}
    assert not hasattr(gamma, "ALLOWED_KEYS") and not hasattr(gamma, "DENIED_COMMON_KEYS")


def test_every_list_and_transform_is_its_own_object():
    lists, funcs = [], []
    for _, _, _, block in all_blocks():
        lists.append(block["param"])
        funcs += [block["to_theta"], block["from_theta"]]
    lists += [rec["link"] for rec in gamma.MODELS.values()]
    assert len({id(x) for x in lists}) == len(lists)
    assert len({id(f) for f in funcs}) == len(funcs)
    assert len(funcs) == 2 * (300 + 11 + 1 + 37)


def test_kgauss_special_number_sharing():
    special = kgauss._SPECIAL_NUMBER
    assert type(special) is float and special == 2.0 ** 20
    hyper = kgauss.MODELS["kgauss"]["hyper"]
    param = hyper["theta1"]["param"]
    assert len(param) == 301 and type(param[0]) is int and param[0] == 30
    assert all(p is special for p in param[1:])
    assert all(b["initial"] is special for b in hyper.values())
    assert [b["prior"] for b in hyper.values()] == ["wishartkd"] + ["none"] * 299
    assert all(b["param"] == [] for name, b in hyper.items() if name != "theta1")
    assert all(b["name"] == b["short_name"] == name for name, b in hyper.items())


def test_module_attributes_in_build_order():
    def public(mod):
        return [k for k in vars(mod) if not k.startswith("__")]

    assert public(walk2) == ["np", "ALLOWED_KEYS", "DENIED_COMMON_KEYS", "MODELS"]
    assert public(kgauss) == ["np", "_SPECIAL_NUMBER", "ALLOWED_KEYS", "DENIED_COMMON_KEYS", "MODELS"]
    assert public(autoreg) == ["np", "ALLOWED_KEYS", "DENIED_COMMON_KEYS", "_PACF_INITIAL", "_PACF_PC_ALPHA",
                               "_pacf_hyper", "MODELS"]
    assert public(gamma) == ["np", "_gen_beta_hyper", "MODELS"]
    assert all(mod.np is np for mod in (gamma, autoreg, kgauss, walk2))
    assert gamma.__doc__ == ("\nGamma family likelihoods.\n\nIncludes: gamma (and modal/JW variants), the survival "
                             "cure-model variants,\niid-gamma and the loggamma frailty.\n")


# ---------------------------------------------------------------------------
# Value types
# ---------------------------------------------------------------------------

def test_value_types():
    gh = {k: r["hyper"] for k, r in gamma.MODELS.items()}
    g1 = gh["gamma"]["theta"]["initial"]
    assert type(g1) is np.float64 and g1 == np.log(100) and g1 == pytest.approx(math.log(100), rel=1e-15)
    assert type(gh["gammasurv"]["theta1"]["initial"]) is np.float64 and gh["gammasurv"]["theta1"]["initial"] == 0.0
    for blk in (gh["iidgamma"]["theta1"], gh["iidgamma"]["theta2"]):
        assert type(blk["initial"]) is int and blk["initial"] == 0
        assert blk["param"] == [100, 100] and all(type(p) is int for p in blk["param"])
    fr = gh["loggammafrailty"]["theta"]
    assert type(fr["initial"]) is int and fr["initial"] == 4
    for blk, second in [(gh["gamma"]["theta"], 0.01), (fr, 5e-05), (walk2.MODELS["walk2"]["hyper"]["theta"], 5e-05),
                        (autoreg.MODELS["autoreg"]["hyper"]["theta1"], 0.01)]:
        assert type(blk["param"][0]) is int and type(blk["param"][1]) is float and blk["param"][1] == second
    assert all(r["link"][0] == "default" and r["discrete"] is False for r in gamma.MODELS.values())
    assert [r["pdf"] for r in gamma.MODELS.values()] == ["gamma", "mgamma", "gammasurv", "agamma", "gammajw",
                                                         "gammajw", "iidgamma", "loggammafrailty"]
    assert [k for k, r in gamma.MODELS.items() if r["survival"]] == ["gammasurv", "mgammasurv", "gammajwsurv"]
    assert all(b["fixed"] is False for *_, b in all_blocks())

    ah = autoreg.MODELS["autoreg"]["hyper"]
    assert [ah[f"theta{i}"]["initial"] for i in range(2, 12)] == [1] + [0] * 9
    assert all(type(ah[f"theta{i}"]["initial"]) is int for i in range(1, 12))

    kg, w2, ar = kgauss.MODELS["kgauss"], walk2.MODELS["walk2"], autoreg.MODELS["autoreg"]
    assert kg["aug_constr"] == list(range(1, 25)) and kg["n_div_by"] == -1 and kg["augmented"] is True
    assert (kg["constr"], ar["constr"], w2["constr"]) == (False, False, True)
    assert type(w2["min_diff"]) is float and w2["min_diff"] == 0.0001
    assert ar["aug_constr"] is None and w2["n_div_by"] is None
    assert all(type(r["aug_factor"]) is int and r["aug_factor"] == 1 for r in (kg, w2, ar))


# ---------------------------------------------------------------------------
# Transforms
# ---------------------------------------------------------------------------

def fisher(i=2):
    b = autoreg.MODELS["autoreg"]["hyper"][f"theta{i}"]
    return b["to_theta"], b["from_theta"]


def test_log_transforms():
    to_w, from_w = (walk2.MODELS["walk2"]["hyper"]["theta"][k] for k in ("to_theta", "from_theta"))
    assert to_w(1) == 0.0 and type(to_w(1)) is np.float64
    assert from_w(4) == pytest.approx(54.598150033144236, rel=1e-15)
    assert from_w(x=0.0) == 1.0
    arr = np.array([[1.0, math.e], [4.0, 0.5]])
    assert to_w(arr).shape == (2, 2)
    np.testing.assert_allclose(from_w(to_w(arr)), arr, rtol=1e-15)
    with pytest.warns(RuntimeWarning):
        assert to_w(0) == -np.inf
    with pytest.warns(RuntimeWarning):
        assert np.isnan(to_w(-1.0))
    g1 = gamma.MODELS["gamma"]["hyper"]["theta"]
    assert g1["to_theta"](100) == g1["initial"]
    assert gamma.MODELS["gammasurv"]["hyper"]["theta1"]["from_theta"](0.0) == 1.0
    # every log pair of the four tables is a log/exp pair
    for _, _, _, b in all_blocks():
        if b["prior"] in ("loggamma", "pc.prec"):
            assert b["to_theta"](math.e) == pytest.approx(1.0) and b["from_theta"](1.0) == pytest.approx(math.e)


def test_fisher_z_values():
    to, frm = fisher()
    assert to(0.5) == pytest.approx(math.log(3), rel=1e-15) and to(0.5) == np.log(3.0)
    assert frm(1) == 0.4621171572600098
    assert to(0) == 0.0 and frm(0) == 0.0 and type(frm(0)) is np.float64
    # Below the overflow point the value is exactly the formula as written.
    xs = np.linspace(-700.0, 700.0, 2001)
    literal = 2 * np.exp(xs) / (1 + np.exp(xs)) - 1
    assert np.array_equal(frm(xs), literal)
    assert all(frm(float(x)) == v for x, v in zip(xs[::97], literal[::97]))
    np.testing.assert_allclose(to(frm(np.array([-0.9, 0.1, 0.7]))), [-0.9, 0.1, 0.7], rtol=1e-12)


def test_fisher_z_saturates_where_exp_overflows():
    to, frm = fisher(7)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # np.exp's own overflow report
        assert frm(800) == 1.0 and type(frm(800)) is np.float64
        assert frm(np.inf) == 1.0 and frm(-np.inf) == -1.0 and np.isnan(frm(np.nan))
        got = frm(np.array([1.0, 709.0, 710.0, 800.0, -800.0, np.inf, np.nan]))
        assert np.array_equal(got[:5], [0.4621171572600098, frm(709.0), 1.0, 1.0, -1.0])
        assert got[5] == 1.0 and np.isnan(got[6])
        # the type the formula gives its neighbours (2 * a float32 scalar is a float64)
        assert frm(np.float32(100)) == 1.0 and type(frm(np.float32(100))) is type(frm(np.float32(1)))
        assert frm([1, 800]).tolist() == [0.4621171572600098, 1.0]
        # Where np.exp is still finite but doubling it overflows (709.09 < x < 709.78
        # in float64, 88.03 < x < 88.72 in float32), the value is 1.0 as well, not inf.
        assert frm(709.5) == 1.0 and type(frm(709.5)) is np.float64
        edge = np.log(np.finfo(float).max / 2)
        assert frm(np.nextafter(edge, 0)) == 1.0 and frm(np.nextafter(edge, np.inf)) == 1.0
        assert np.array_equal(frm(np.linspace(700.0, 712.0, 121)), np.ones(121))
        got32 = frm(np.array([88.5, 88.7, 1.0], dtype=np.float32))
        one32 = np.array([1.0], dtype=np.float32)
        assert got32.dtype == np.float32 and got32[:2].tolist() == [1.0, 1.0]
        assert got32[2] == (2 * np.exp(one32) / (1 + np.exp(one32)) - 1)[0]
    # no "invalid value" warning from the inf/inf quotient
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        frm(np.array([800.0]))
    assert all("invalid" not in str(w.message) for w in rec)


def test_fisher_z_overflow_test_ignores_a_subclass_comparison():
    # The test for overflowed entries compares plain ndarray views: a
    # subclass whose == returns something odd or raises gets the formula's
    # values (with the saturation), not an internal or unrelated error.
    _, frm = fisher(7)

    class Unusable:
        def __bool__(self):
            raise ValueError("no truth value")

    def odd(result):
        return type("Odd", (np.ndarray,), {"__eq__": lambda self, other: result(), "__hash__": None})

    def raises():
        raise KeyError("eq")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for cls in (odd(Unusable), odd(raises), odd(lambda: "yes"), np.matrix):
            got = frm(np.array([1.0, 800.0]).view(cls))
            assert type(got) is cls and np.asarray(got).ravel().tolist() == [0.4621171572600098, 1.0], cls


def test_fisher_z_saturates_in_other_containers():
    # np.exp keeps a pandas Series or DataFrame; the overflowed entries of
    # those are 1.0 too, their types and dtypes as the formula gives them.
    pd = pytest.importorskip("pandas")
    _, frm = fisher(3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        want = frm(np.array([1.0, 800.0, 709.5, -800.0]))
        s = frm(pd.Series([1.0, 800.0, 709.5, -800.0], index=list("abcd")))
        assert type(s) is pd.Series and list(s.index) == list("abcd") and s.tolist() == want.tolist()
        s32 = frm(pd.Series([1.0, 88.5], dtype=np.float32))
        assert s32.dtype == np.float32 and s32.tolist()[1] == 1.0
        df = frm(pd.DataFrame({"a": [1.0, 800.0], "b": [709.5, -3.0]}))
        assert type(df) is pd.DataFrame and df["a"].tolist() == [want[0], 1.0] and df["b"][0] == 1.0
        assert df["b"][1] == frm(-3.0)

        # Nullable dtypes (values held as objects, missing ones kept) and an
        # Index, which takes no assignment (its `where` makes the result).
        for dtype in ("Float64", "Float32"):
            got = frm(pd.Series([1.0, 800.0, None], dtype=dtype))
            assert str(got.dtype) == dtype and got[1] == 1.0 and got[2] is pd.NA
        got = frm(pd.Index([1.0, 800.0]))
        assert isinstance(got, pd.Index) and got.tolist() == [want[0], 1.0]

        # A container that takes neither keeps the formula's values.
        class Frozen(pd.Series):
            def __setitem__(self, key, value):
                raise TypeError("read-only")

            def where(self, *args, **kwargs):
                raise TypeError("no where")

            @property
            def _constructor(self):
                return Frozen

        got = frm(Frozen([1.0, 800.0]))
        assert type(got) is Frozen and got[0] == want[0] and np.isnan(got[1])


def test_import_with_numpy_blocked_reports_the_numpy_import():
    code = """
        import sys
        sys.modules["numpy"] = None
        for name in ("model_defs.latent.walk2", "model_defs.latent.autoreg", "model_defs.latent.kgauss",
                     "model_defs.likelihood.gamma", "pure.densitykit"):
            try:
                __import__("vordex." + name)
            except ImportError as e:
                print(type(e).__name__, e)
        """
    r = run_py(code)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["ModuleNotFoundError import of numpy halted; None in sys.modules"] * 5


def test_fisher_z_looks_up_only_exp_in_the_module(monkeypatch):
    _, frm = fisher()

    class OnlyExp:
        exp = staticmethod(lambda x: 10)

    monkeypatch.setattr(autoreg, "np", OnlyExp)
    assert frm(0.5) == 2 * 10 / (1 + 10) - 1


def test_fisher_z_at_one_follows_operand_types():
    to, _ = fisher()
    with pytest.raises(ZeroDivisionError):
        to(1)
    with pytest.raises(ZeroDivisionError):
        to(1.0)
    with pytest.warns(RuntimeWarning):
        assert to(np.float64(1.0)) == np.inf
    with pytest.warns(RuntimeWarning):
        got = to(np.array([1.0, 0.5, -1.0]))
    assert got[0] == np.inf and got[1] == np.log(3.0) and got[2] == -np.inf
    with pytest.raises(TypeError):
        to("0.5")


def test_identity_returns_its_argument():
    b = kgauss.MODELS["kgauss"]["hyper"]["theta123"]
    for obj in ([1, 2], np.arange(3.0), object(), None, "s", 2.5):
        assert b["to_theta"](obj) is obj and b["from_theta"](x=obj) is obj


def test_transforms_look_up_np_at_call_time(monkeypatch):
    class FakeNp:
        @staticmethod
        def log(x):
            return ("log", x)

        @staticmethod
        def exp(x):
            return 3.0

    monkeypatch.setattr(walk2, "np", FakeNp)
    w = walk2.MODELS["walk2"]["hyper"]["theta"]
    assert w["to_theta"](7) == ("log", 7)
    monkeypatch.setattr(autoreg, "np", FakeNp)
    to, frm = fisher()
    assert to(0.5) == ("log", 3.0)
    assert frm(0) == 2 * 3.0 / (1 + 3.0) - 1
    monkeypatch.delattr(walk2, "np")
    with pytest.raises(NameError, match="'np'"):
        w["from_theta"](1)


@pytest.mark.parametrize("fn", [walk2.MODELS["walk2"]["hyper"]["theta"]["to_theta"], fisher()[1],
                                kgauss.MODELS["kgauss"]["hyper"]["theta1"]["from_theta"],
                                gamma.MODELS["iidgamma"]["hyper"]["theta2"]["to_theta"]])
def test_transform_wrong_calls(fn):
    qn = fn.__qualname__
    assert qn.endswith("<lambda>") and fn.__name__ == "<lambda>"
    with pytest.raises(TypeError, match=rf"^{qn}\(\) takes 1 positional argument but 2 were given$"):
        fn(1, 2)
    with pytest.raises(TypeError, match=rf"^{qn}\(\) missing 1 required positional argument: 'x'$"):
        fn()
    with pytest.raises(TypeError, match=rf"^{qn}\(\) got an unexpected keyword argument 'y'$"):
        fn(y=1)
    with pytest.raises(TypeError, match=rf"^{qn}\(\) got multiple values for argument 'x'$"):
        fn(1, x=1)


# ---------------------------------------------------------------------------
# autoreg block builder
# ---------------------------------------------------------------------------

def test_pacf_hyper_matches_table_and_builds_new_objects():
    h = autoreg.MODELS["autoreg"]["hyper"]
    for k in range(1, 11):
        b = autoreg._pacf_hyper(k)
        stored = h[f"theta{k + 1}"]
        assert list(b) == list(stored)
        assert {key: v for key, v in b.items() if "theta" not in key} == \
               {key: v for key, v in stored.items() if "theta" not in key}
        assert b["to_theta"] is not stored["to_theta"] and b["param"] is not stored["param"]
        assert b["from_theta"](1) == stored["from_theta"](1)
    b4 = autoreg._pacf_hyper(k=4)
    assert b4["param"] == [0.5, 0.2] and b4["hyperid"] == 15005 and b4["name"] == b4["short_name"] == "pacf4"
    assert autoreg._pacf_hyper.__doc__ == "Return the theta_{k+1} hyper dict for the PACF at lag k (1..10)."


def test_pacf_hyper_reads_module_lists_at_call_time(monkeypatch):
    monkeypatch.setattr(autoreg, "_PACF_INITIAL", [9] * 10)
    monkeypatch.setattr(autoreg, "_PACF_PC_ALPHA", [0.25] * 10)
    b = autoreg._pacf_hyper(3)
    assert b["initial"] == 9 and b["param"] == [0.5, 0.25]


def test_pacf_hyper_bad_arguments():
    with pytest.raises(IndexError):
        autoreg._pacf_hyper(11)
    with pytest.raises(TypeError):
        autoreg._pacf_hyper("1")
    assert autoreg._pacf_hyper(0)["initial"] == 0  # list indexing rules: index -1


# ---------------------------------------------------------------------------
# gamma and its helper module
# ---------------------------------------------------------------------------

RECORDER = """
import sys, types
calls = []
results = []
def _gen_beta_hyper(*args, **kwargs):
    calls.append((args, kwargs))
    r = make_result(len(calls))
    results.append(r)
    return r
helpers = types.ModuleType("vordex.model_defs.likelihood._helpers")
helpers._gen_beta_hyper = _gen_beta_hyper
import vordex.model_defs.likelihood
sys.modules["vordex.model_defs.likelihood._helpers"] = helpers
"""


def run_gamma_import(make_result, after, *flags):
    code = "def make_result(i):\n" + textwrap.indent(textwrap.dedent(make_result), "    ") + RECORDER + \
        textwrap.dedent(after)
    return run_py(code, *flags)


def test_gamma_calls_helper_three_times_in_order():
    r = run_gamma_import(
        "return {'thetaB': i, 'theta1': 'replaced', 'thetaA': i}",
        """
        from vordex.model_defs.likelihood import gamma
        assert gamma._gen_beta_hyper is _gen_beta_hyper
        for c in calls: print(c)
        h = gamma.MODELS["gammasurv"]["hyper"]
        print(list(h), h["theta1"], h["thetaB"])
        print(list(gamma.MODELS["mgammasurv"]["hyper"]))
        print(gamma.MODELS["gammajwsurv"]["hyper"] is results[2])
        print(calls[0][0][4] is not calls[1][0][4])
        """, "-W", "error::ImportWarning")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "((58102, 10, 'Gamma-Cure', -7, [-4, 100]), {'theta_offset': 2})",
        "((58122, 10, 'modal Gamma-Cure', -7, [-4, 100]), {'theta_offset': 2})",
        "((58200, 10, 'GammaJW-Cure', -7, [-4, 100]), {})",
        "['theta1', 'thetaB', 'thetaA'] replaced 1",
        "['theta1', 'thetaB', 'thetaA']",
        "True",
        "True",
    ]


@pytest.mark.parametrize("make_result, exc", [
    ("return None", "TypeError: argument after ** must be a mapping, not NoneType"),
    ("return 42", "TypeError: 'int' object is not a mapping"),
    ("return [('theta2', 1)]", "TypeError: 'list' object is not a mapping"),
    ("raise ValueError('helper failed')", "ValueError: helper failed"),
])
def test_gamma_import_fails_on_bad_helper_result(make_result, exc):
    r = run_gamma_import(make_result, """
        try:
            import vordex.model_defs.likelihood.gamma
        except Exception as e:
            print(type(e).__name__ + ": " + str(e))
        print(len(calls), "vordex.model_defs.likelihood.gamma" in sys.modules)
        # a later import with a working helper succeeds
        make_result.__code__ = (lambda i: {}).__code__
        from vordex.model_defs.likelihood import gamma
        print(list(gamma.MODELS))
        """)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[0] == exc
    assert lines[1] == "1 False"
    assert lines[2] == str(GAMMA_KEYS)


def test_gamma_third_result_is_stored_unchecked():
    r = run_gamma_import("return None if i == 3 else {}", """
        from vordex.model_defs.likelihood import gamma
        print(gamma.MODELS["gammajwsurv"]["hyper"], list(gamma.MODELS["gammasurv"]["hyper"]))
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "None ['theta1']"


def test_gamma_import_failures_of_the_helper_module():
    r = run_py("""
        import sys, types
        import vordex.model_defs.likelihood
        sys.modules["vordex.model_defs.likelihood._helpers"] = types.ModuleType("vordex.model_defs.likelihood._helpers")
        try:
            import vordex.model_defs.likelihood.gamma
        except ImportError as e:
            print(type(e).__name__, e, e.name)
        sys.modules["vordex.model_defs.likelihood._helpers"] = None
        try:
            import vordex.model_defs.likelihood.gamma
        except ImportError as e:
            print(type(e).__name__)
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "ImportError cannot import name _gen_beta_hyper vordex.model_defs.likelihood._helpers",
        "ModuleNotFoundError",
    ]


def test_real_helper_blocks():
    h = gamma.MODELS["gammasurv"]["hyper"]
    blocks = [h[f"theta{i}"] for i in range(2, 12)]
    assert [b["hyperid"] for b in blocks] == list(range(58102, 58112))
    assert all(list(b) == LIK_BLOCK_KEYS and b["initial"] == -7 and b["param"] == [-4, 100] for b in blocks)
    obj = [1]
    assert blocks[0]["to_theta"](obj) is obj and blocks[0]["from_theta"](obj) is obj
    from vordex.model_defs.likelihood import _helpers
    with pytest.raises(ValueError):
        _helpers._gen_beta_hyper(1, -1, "x", 0, [])
    with pytest.raises(TypeError):
        _helpers._gen_beta_hyper(1, 2.0, "x", 0, [])


def test_import_after_removal_runs_the_body_again():
    # As for a Python module: a new module object, the helper called three
    # more times, new tables, and transforms that read the new module's globals.
    r = run_py("""
        import importlib, sys
        from vordex.model_defs.likelihood import _helpers
        calls = []
        real = _helpers._gen_beta_hyper
        def spy(*a, **k):
            calls.append(a[0])
            return real(*a, **k)
        _helpers._gen_beta_hyper = spy
        N = "vordex.model_defs.likelihood.gamma"
        g1 = importlib.import_module(N)
        g1.MODELS["gamma"]["doc"] = "changed"
        del sys.modules[N]
        g2 = importlib.import_module(N)
        print(calls, g1 is g2, g1.MODELS is g2.MODELS, g2.MODELS["gamma"]["doc"] != "changed")
        class FakeNp:
            log = staticmethod(lambda x: "fake")
        g2.np = FakeNp
        print(g2.MODELS["gamma"]["hyper"]["theta"]["to_theta"](2.0), g1.MODELS["gamma"]["hyper"]["theta"]["to_theta"](1.0))
        A = "vordex.model_defs.latent.autoreg"
        a1 = importlib.import_module(A)
        del sys.modules[A]
        a2 = importlib.import_module(A)
        a2._PACF_INITIAL = [9] * 10
        print(a2._pacf_hyper(3)["initial"], a1._pacf_hyper(3)["initial"], importlib.reload(a2) is a2)
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["[58102, 58122, 58200, 58102, 58122, 58200] False False True", "fake 0.0", "9 0 True"]
