"""Shared test set-up: the installed package is under test, never the checkout."""

import pathlib
import sys

import pytest

TESTS = pathlib.Path(__file__).resolve().parent
ROOT = TESTS.parent
# Test helpers (the loopback stub server, provider fakes) import as top-level modules.
sys.path.insert(0, str(TESTS))

import tavro  # noqa: E402

if pathlib.Path(tavro.__file__).resolve().parent == ROOT / "src" / "tavro":
    raise RuntimeError("tests must import the installed tavro package, not the source tree")

DATA = TESTS / "data"


@pytest.fixture
def data_dir():
    return DATA


@pytest.fixture(autouse=True)
def _own_config_folder(tmp_path_factory, monkeypatch):
    # Keys the user running the tests stored with `tavro keys` never reach a test.
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path_factory.mktemp("config")))


@pytest.fixture
def provider_ready(monkeypatch):
    """For commands run against fake workflows: no key or server check."""
    from tavro.cli import preflight

    monkeypatch.setattr(preflight, "require_provider", lambda args: None)
