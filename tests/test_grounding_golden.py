"""Grounding gives the problem it gave before term templates and indexed
filters: the same rows, columns, coefficients, bounds and names for every
library example, benchmark gold pair and test model, and the same located
message for every fault (tests/data/grounding_golden.json, recorded by
grounding_cases.py)."""

import json

import pytest
from grounding_cases import FAULTS, GOLDEN, cases, fault, ground

RECORDED = json.loads(GOLDEN.read_text(encoding="utf-8"))
CASES = list(cases())


def test_every_case_is_recorded():
    assert sorted([c[0] for c in CASES] + ["faults/" + f[0] for f in FAULTS]) == sorted(RECORDED)


@pytest.mark.parametrize("name,model,data,folder", CASES, ids=[c[0] for c in CASES])
def test_same_problem(name, model, data, folder):
    assert ground(model, data, folder) == RECORDED[name]


@pytest.mark.parametrize("name,model,data", FAULTS, ids=[f[0] for f in FAULTS])
def test_same_fault(name, model, data):
    assert fault(model, data) == RECORDED["faults/" + name]
