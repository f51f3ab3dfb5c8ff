"""The example library shipped with the package: every problem folder holds a
description, a model and a data file, and every pair compiles."""

import re
from importlib.resources import files

import pytest

from tavro.tavro_core import KelmCompiler

LIBRARY = files("tavro") / "kelm_models"
FOLDERS = sorted(p for p in LIBRARY.iterdir() if p.is_dir() and not p.name.startswith("__"))
IDS = [p.name for p in FOLDERS]


def read(folder, suffix):
    return (folder / f"{folder.name}{suffix}").read_text(encoding="utf-8")


def test_library_is_varied():
    assert len(FOLDERS) >= 10


@pytest.mark.parametrize("folder", FOLDERS, ids=IDS)
def test_folder_holds_exactly_the_three_files(folder):
    expected = [*(folder.name + s for s in (".dat", ".mod", ".txt")), "solution.json"]
    assert sorted(p.name for p in folder.iterdir()) == sorted(expected)
    assert len(read(folder, ".txt").split()) >= 40


@pytest.mark.parametrize("folder", FOLDERS, ids=IDS)
def test_model_has_one_objective_and_labelled_constraints(folder):
    model = re.sub(r"//[^\n]*|/\*.*?\*/", "", read(folder, ".mod"), flags=re.S)
    assert len(re.findall(r"\b(minimize|maximize)\b", model)) == 1
    body = model[model.index("subject to") + len("subject to"):]
    body = re.sub(r"\b(forall|sum)\s*\([^)]*\)", " ", body)
    constraints = [s for s in body.split(";") if re.search(r"<=|>=|==", s)]
    labels = [re.match(r"[\s{}]*([A-Za-z_]\w*)\s*:", s) for s in constraints]
    assert constraints and all(labels), constraints
    names = [m.group(1) for m in labels]
    assert len(set(names)) == len(names)


@pytest.mark.parametrize("folder", FOLDERS, ids=IDS)
def test_pair_compiles(folder):
    KelmCompiler().compile_model(read(folder, ".mod"), read(folder, ".dat"))
