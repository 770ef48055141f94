"""Shared pytest configuration for the Python tests."""

import os

import pytest

try:
    from hypothesis import settings
except ImportError:  # hypothesis is optional for running the plain tests
    settings = None

if settings is not None:
    # CI machines and the sanitizer build are slow and shared: a per-example
    # deadline there reports timing noise, not faults.
    settings.register_profile("ci", deadline=None, print_blob=True)
    if os.environ.get("CI"):
        settings.load_profile("ci")


def pytest_addoption(parser):
    parser.addoption(
        "--long", action="store_true", default=False,
        help="long reliability runs: many more generated examples and calls per function")


def pytest_configure(config):
    # Test modules read VORDEX_LONG when they are imported (after this hook),
    # so one switch reaches their hypothesis settings and loop counts.
    if config.getoption("--long"):
        os.environ["VORDEX_LONG"] = "1"


@pytest.fixture(params=[True, False], ids=["scipy", "fallback"])
def path(request, monkeypatch):
    """Run the test on both interpolation paths of the toolkit: SciPy's
    interpolants and minimiser, and the linear/golden-section fallback."""
    from vordex.pure import densitykit as dk
    monkeypatch.setattr(dk, "_SCIPY_OK", request.param)
    return request.param
