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
