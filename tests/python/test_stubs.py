"""The type stubs (.pyi) of the compiled modules describe the running modules:
same functions, same parameters in the same order and kind, same defaults,
and every annotated module attribute present with a value of that type."""

import ast
import importlib
import importlib.util
import inspect
import pathlib
import textwrap

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

MODULES = [
    "vordex.pure.densitykit",
    "vordex.model_defs.likelihood.gamma",
    "vordex.model_defs.latent.autoreg",
    "vordex.model_defs.latent.kgauss",
    "vordex.model_defs.latent.walk2",
]

KINDS = {
    "posonly": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "vararg": inspect.Parameter.VAR_POSITIONAL,
    "kwonly": inspect.Parameter.KEYWORD_ONLY,
    "kwarg": inspect.Parameter.VAR_KEYWORD,
}

# Container annotations in the stubs and the runtime types they stand for.
RUNTIME_TYPES = {"float": float, "bool": bool, "int": int, "str": str,
                 "Dict": dict, "List": list, "Set": set, "Tuple": tuple}


def stub_path(modname: str) -> pathlib.Path:
    return REPO.joinpath(*modname.split(".")).with_suffix(".pyi")


def load(modname: str):
    try:
        return importlib.import_module(modname)
    except ImportError as exc:  # a tree built without this module
        pytest.skip(f"{modname} is not built: {exc}")


def stub_tree(modname: str) -> ast.Module:
    return ast.parse(stub_path(modname).read_text(), filename=str(stub_path(modname)))


def stub_params(fn: ast.FunctionDef):
    """[(name, kind, has_default, default)] in signature order."""
    a = fn.args
    out = []
    positional = [("posonly", p) for p in a.posonlyargs] + [("args", p) for p in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for (kind, p), d in zip(positional, defaults):
        out.append((p.arg, KINDS[kind], d is not None, ast.literal_eval(d) if d is not None else None))
    if a.vararg:
        out.append((a.vararg.arg, KINDS["vararg"], False, None))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((p.arg, KINDS["kwonly"], d is not None, ast.literal_eval(d) if d is not None else None))
    if a.kwarg:
        out.append((a.kwarg.arg, KINDS["kwarg"], False, None))
    return out


def runtime_params(obj):
    out = []
    for p in inspect.signature(obj).parameters.values():
        has = p.default is not inspect.Parameter.empty
        out.append((p.name, p.kind, has, p.default if has else None))
    return out


def runtime_functions(mod):
    """The callables a module defines itself (not imported ones, not classes)."""
    return {k for k, v in vars(mod).items()
            if callable(v) and not inspect.isclass(v) and not inspect.ismodule(v)
            and getattr(v, "__module__", None) == mod.__name__}


@pytest.mark.parametrize("modname", MODULES)
def test_stub_functions_match_the_running_signatures(modname):
    mod = load(modname)
    tree = stub_tree(modname)
    funcs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    # Every function of the module has a stub and every stub a function.
    assert set(funcs) == runtime_functions(mod), modname
    for name, node in funcs.items():
        want = stub_params(node)
        got = runtime_params(getattr(mod, name))
        assert [w[:3] for w in want] == [g[:3] for g in got], f"{modname}.{name}"
        for (pname, _, has, dw), (_, _, _, dg) in zip(want, got):
            if has:
                # Same value and same type: 1e-06 is not 1, None is not False.
                assert type(dw) is type(dg) and dw == dg, f"{modname}.{name}({pname}=...)"
        assert node.returns is not None, f"{modname}.{name}: no return annotation"


@pytest.mark.parametrize("modname", MODULES)
def test_stub_attributes_exist_with_their_types(modname):
    mod = load(modname)
    tree = stub_tree(modname)
    seen = 0
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
            assert hasattr(mod, name), f"{modname}.{name} is in the stub but not in the module"
            ann = node.annotation
            base = ann.value.id if isinstance(ann, ast.Subscript) else getattr(ann, "id", None)
            if base in RUNTIME_TYPES:
                assert type(getattr(mod, name)) is RUNTIME_TYPES[base], f"{modname}.{name}"
            seen += 1
        elif isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("vordex"):
            # Re-exported names (`import x as x`) are the module's own objects.
            src = importlib.import_module(node.module)
            for alias in node.names:
                assert alias.asname == alias.name, "re-exports use the `import x as x` form"
                assert getattr(mod, alias.name) is getattr(src, alias.name)
    assert seen >= 1
    # The published tables and flags are all declared.
    public = {k for k in vars(mod) if k.isupper() or k in ("_EPS", "_SCIPY_OK", "_PANDAS_OK")}
    declared = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    assert public <= declared, public - declared


def test_typing_marker_and_stubs_sit_in_the_package():
    assert (REPO / "vordex" / "py.typed").is_file()
    for modname in MODULES:
        assert stub_path(modname).is_file(), modname
    aliases = {n.targets[0].id for n in stub_tree(MODULES[0]).body
               if isinstance(n, ast.Assign) and isinstance(n.targets[0], ast.Name)}
    assert {"ArrayLike", "Marginal"} <= aliases


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_reads_the_stubs(tmp_path, monkeypatch):
    from mypy import api

    monkeypatch.setenv("MYPYPATH", str(REPO))

    script = tmp_path / "use_stubs.py"
    script.write_text(textwrap.dedent("""\
        import numpy as np
        from vordex.pure import densitykit as dk
        from vordex.model_defs.latent import autoreg

        m = np.array([[0.0, 1.0], [1.0, 2.0], [2.0, 1.0]])
        s = dk.tova_zmarginal({"x": [0, 1, 2], "y": [1, 2, 1]}, silent=True)
        mean: float = s["mean"]
        lo, hi = dk.tova_sfmarginal(m)["range"]
        fd = dk.tova_deriv_func(np.sin, step_size=1e-3)
        block = autoreg._pacf_hyper(1)
        keys: set = autoreg.ALLOWED_KEYS
        bad = dk.tova_qmarginal(0.5, m, length="long")
        """))
    out, err, status = api.run([str(script), "--no-error-summary", "--cache-dir", str(tmp_path / "cache")])
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert len(errors) == 1 and ":12:" in errors[0] and '"length"' in errors[0], out + err
