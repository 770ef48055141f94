"""The package as shipped: extension modules, bundled example, demo."""

import importlib.resources
import importlib.util
import io
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import vordex
from vordex.pure import densitykit

REPO = pathlib.Path(__file__).resolve().parents[2]


def _example_text() -> str:
    return importlib.resources.files("vordex").joinpath("data", "example_marginal.csv").read_text()


def test_toolkit_is_the_compiled_module_of_this_package():
    origin = pathlib.Path(densitykit.__file__)
    assert origin.suffix == ".so"
    assert origin.parent == pathlib.Path(vordex.__file__).parent / "pure"


def test_example_marginal_is_a_skewed_density_on_an_uneven_grid():
    text = _example_text()
    assert text.splitlines()[0] == "x,y"
    xy = np.loadtxt(io.StringIO(text), delimiter=",", skiprows=1)
    assert xy.ndim == 2 and xy.shape[1] == 2 and 30 <= xy.shape[0] <= 45
    x, y = xy[:, 0], xy[:, 1]
    assert np.all(np.isfinite(xy)) and np.all(y > 0)
    steps = np.diff(x)
    assert np.all(steps > 0)
    # A proper density: the grid carries (almost) all the mass.
    assert np.trapz(y, x) == pytest.approx(1.0, abs=0.01)
    # Unimodal, right-skewed: the tail above the mode is the longer one and
    # the mean lies above the mode.
    k = int(np.argmax(y))
    assert np.all(np.diff(y[: k + 1]) > 0) and np.all(np.diff(y[k:]) < 0)
    mode = x[k]
    assert x[-1] - mode > 2 * (mode - x[0])
    assert np.trapz(x * y, x) > mode + 0.3
    # Uneven: the grid is densest around the mode.
    assert steps[k - 1 : k + 1].max() < 0.3 * min(steps[0], steps[-1])


def test_example_marginal_matches_its_generator():
    script = REPO / "scripts" / "make_example_marginal.py"
    if not script.is_file():
        pytest.skip("generator script not present next to this test tree")
    mod_spec = importlib.util.spec_from_file_location("make_example_marginal", script)
    gen = importlib.util.module_from_spec(mod_spec)
    mod_spec.loader.exec_module(gen)
    assert gen.render() == _example_text()


@pytest.mark.skipif(not hasattr(densitykit, "tova_spline") or not hasattr(densitykit, "tova_marginal_fix"),
                    reason="toolkit built without tova_marginal_fix/tova_spline")
def test_demo_runs_on_the_bundled_example():
    env = dict(os.environ)
    env["PYTHONPATH"] = str(pathlib.Path(vordex.__file__).resolve().parents[1])
    run = subprocess.run([sys.executable, "-P", str(REPO / "examples" / "demo.py")],
                         env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert any(line.startswith("cleaned: 38 points") for line in lines), run.stdout
    assert any(line.startswith("resampled") and ": 38 points" in line for line in lines), run.stdout


def _run_fresh(code):
    """Run `code` in a fresh interpreter importing the same package."""
    import textwrap
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(vordex.__file__).parents[1]))
    return subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=120)


def test_toolkit_import_after_removal_is_a_new_module_reading_its_own_flags():
    r = _run_fresh("""
        import sys
        import numpy as np
        import vordex.pure.densitykit as d1
        del sys.modules["vordex.pure.densitykit"]
        import vordex.pure.densitykit as d2
        d2._SCIPY_OK = False
        x = np.linspace(-3.0, 3.0, 31)
        m = np.column_stack([x, np.exp(-0.5 * x * x + 0.3 * x)])
        print(d1 is d2, d2.tova_spline.__globals__ is vars(d2), d2._SCIPY_OK, d1._SCIPY_OK)
        print(d1.tova_qmarginal(0.3, m) == d2.tova_qmarginal(0.3, m))
        d1._SCIPY_OK = False
        print(d1.tova_qmarginal(0.3, m) == d2.tova_qmarginal(0.3, m))
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["False True False True", "False", "True"]


@pytest.mark.parametrize("blocked, raised, shown", [
    ("pandas", "RuntimeError('broken pandas')", "RuntimeError broken pandas"),
    ("scipy.interpolate", "KeyboardInterrupt()", "KeyboardInterrupt "),
])
def test_toolkit_import_fails_with_the_very_exception(blocked, raised, shown):
    # Only an ImportError of pandas, or an Exception of SciPy, marks them
    # unavailable; anything else fails the import with itself.
    r = _run_fresh(f"""
        import sys, importlib.abc
        class Block(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name == {blocked!r}:
                    raise {raised}
        sys.meta_path.insert(0, Block())
        try:
            import vordex.pure.densitykit
        except BaseException as e:
            print(type(e).__name__, e)
        print("vordex.pure.densitykit" in sys.modules)
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [shown, "False"]
