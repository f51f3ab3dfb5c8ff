"""The compiled tree of every example-library model, compared with a golden
file by unified diff. The golden text is the tree's Python repr (pretty
printed), so an int 10 and a float 10.0 differ.

Regenerate after a deliberate change of the tree:
    TAVRO_REGEN_GOLDEN=1 bash scripts/test.sh -q test_compiler_golden.py
"""
import difflib
import os
import pprint
from importlib.resources import files

import pytest

from tavro.tavro_core import KelmCompiler
from test_computed_data import GOLDEN_MODELS

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
LIBRARY = files("tavro") / "kelm_models"
FOLDERS = sorted(p for p in LIBRARY.iterdir() if p.is_dir() and not p.name.startswith("__"))


def tree_text(folder):
    model = (folder / f"{folder.name}.mod").read_text(encoding="utf-8")
    data = (folder / f"{folder.name}.dat").read_text(encoding="utf-8")
    tree = KelmCompiler().compile_model(model, data)
    return pprint.pformat(tree, width=110, sort_dicts=False) + "\n"


def assert_golden(path, got):
    if os.environ.get("TAVRO_REGEN_GOLDEN") == "1":
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(got)
    with open(path, encoding="utf-8") as f:
        want = f.read()
    diff = "".join(difflib.unified_diff(want.splitlines(True), got.splitlines(True), path, "compiled"))
    assert not diff, "compiled tree differs from the golden file:\n" + diff


@pytest.mark.parametrize("folder", FOLDERS, ids=[p.name for p in FOLDERS])
def test_compiled_tree_matches_golden(folder):
    assert_golden(os.path.join(GOLDEN, folder.name + ".tree"), tree_text(folder))


@pytest.mark.parametrize("name", GOLDEN_MODELS)
def test_tree_of_computed_data_matches_golden(name):
    """Models with computed data: the param node's index_names, the '^' and function nodes, the data."""
    got = pprint.pformat(KelmCompiler().compile_model(*GOLDEN_MODELS[name]), width=110, sort_dicts=False) + "\n"
    assert_golden(os.path.join(GOLDEN, "computed", name + ".tree"), got)


def test_golden_text_tells_int_from_float():
    text = pprint.pformat({"a": 10, "b": 10.0, "c": float("inf")}, sort_dicts=False)
    assert text == "{'a': 10, 'b': 10.0, 'c': inf}"
