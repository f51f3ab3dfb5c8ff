"""Honest verdicts: a problem infeasible as described ends the rounds with
the conflict, and a changed number stated in the description is flagged, on
the first generation and on every revision."""

import json

import pytest

import loop_support as ls
from tavro import _stated, cli, pipeline

stub_server = pytest.importorskip("stub_server")
Reply = stub_server.Reply

INFEASIBLE = "Buy as little as possible, but at least 7 units; the store holds at most 3."
WHY = "You need at least 7 units, but the store holds only 3, so no purchase meets both."


@pytest.fixture
def stub(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    monkeypatch.chdir(tmp_path)
    with ls.openai_loopback(monkeypatch, tmp_path) as server:
        yield server

aligned, feedback = ls.aligned, ls.feedback


@pytest.mark.parametrize("marker", ["INFEASIBLE AS DESCRIBED: ", "**Infeasible as described** \u2014 "])
def test_infeasible_as_described_ends_the_rounds(stub, tmp_path, marker):
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                feedback(feedback=marker + WHY))
    result = pipeline.generate_and_solve(INFEASIBLE, tmp_path / "m.mod", tmp_path / "m.dat", few_shot=False,
                                         repair=2)
    assert result["status"] == "infeasible" and result["repairs"] == 1
    assert [r["outcome"] for r in result["rounds"]] == ["infeasible_as_described"]
    described = result["infeasible_as_described"]
    assert described["explanation"] == WHY
    assert [row["name"] for row in described["conflict"]] == ["low", "high"]
    assert result["stated_changes"] == [] and (tmp_path / "m.dat").read_text() == ls.data(7, 3)
    question = stub.requests()[2].json["input"]
    assert "Never change a number stated in the description" in question
    assert "starting with \\\"INFEASIBLE AS DESCRIBED:\\\"" in json.dumps(question)
    assert len(stub.requests()) == 3  # no second round


def test_infeasible_as_described_on_the_command_line(stub, capsys):
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                feedback(feedback="INFEASIBLE AS DESCRIBED: " + WHY))
    assert cli.main(["generate", INFEASIBLE, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve"]) == 0
    out = capsys.readouterr().out
    assert "The problem as described is infeasible: " + WHY in out
    assert "status: infeasible" in out and "): x >= 7" in out and "): x <= 3" in out


def test_a_revision_that_changes_a_stated_number_is_flagged(stub, tmp_path, capsys):
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                feedback(feedback="Relaxed the store limit.", revised_data=ls.data(7, 30)))
    assert cli.main(["generate", INFEASIBLE, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve"]) == 0
    out = capsys.readouterr().out
    assert "WARNING: a number stated in the description was changed: b: 3 \u2192 30, in repair round 1" in out
    assert "objective (cost): 7" in out  # the rounds may keep it, but not silently
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                feedback(feedback="Relaxed the store limit.", revised_data=ls.data(7, 30)))
    assert cli.main(["generate", INFEASIBLE, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve",
                     "--json"]) == 0
    result = json.loads(capsys.readouterr().out)
    change = {"round": 1, "name": "b", "position": 1, "count": 1, "before": 3.0, "after": 30.0}
    assert result["stated_changes"] == [change] and result["rounds"][0]["stated_changes"] == [change]


def test_a_first_generation_that_changes_a_stated_number_is_flagged(stub, tmp_path):
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7, 30), 100, 40), aligned())
    messages = []
    result = pipeline.generate_and_solve(INFEASIBLE, tmp_path / "m.mod", tmp_path / "m.dat", few_shot=False,
                                         progress=messages.append)
    assert result["status"] == "optimal"
    assert result["stated_changes"] == [{"round": 0, "name": "b", "position": 1, "count": 1, "before": 3.0,
                                         "after": 30.0}]
    assert "Warning: a number stated in the description changed: b: 3 \u2192 30, in the generation" in messages


@pytest.mark.parametrize("description, data, changed", [
    ("at least 7 units; at most 3", "a = 7;\nb = 3;\n", []),
    ("at least 7 units; at most 3", "a = 7;\nb = 30;\n", [("b", 3.0, 30.0)]),
    ("20% nitrogen, 18,000 kg in stock", "n = 0.2;\nstock = 18000;\n", []),       # forms of the same number
    ("20% nitrogen, 18,000 kg in stock", "n = 0.25;\nstock = 18000;\n", [("n", 20.0, 0.25)]),
    ("costs 4, 3 and 6; at most 40 ha", "cost = [4, 3, 6];\nmaxHa = 40;\n", []),
    ("costs 4, 3 and 6; at most 40 ha", "cost = [4, 5, 6]; // was 3\nmaxHa = 40;\n", [("cost", 3.0, 5.0)]),
    ("Plant B2 ships 5 units", "ship = 5;\n", []),                               # a name is no number
    ("at most 3", "b = 3;\nextra = 12;\n", []),                                  # an added number is no change
])
def test_generation_changes(description, data, changed):
    found = _stated.generation_changes(description, ls.MODEL, data)
    assert [(c["name"], c["before"], c["after"]) for c in found] == changed


@pytest.mark.parametrize("old, new, changed", [
    ("a = 7;\nb = 3;\n", "a = 7;\nb = 3;\n", []),
    ("a = 7;\nb = 3;\n", "a = 7;\nb = 30;\n", [("b", 1, 3.0, 30.0)]),
    ("a = 7;\nb = 3;\n", "a = 8;\nb = 3;\n", [("a", 1, 7.0, 8.0)]),
    ("c = [3, 4, 5];\n", "c = [3, 9, 5];\n", [("c", 2, 4.0, 9.0)]),
    ("c = [3, 4, 5];\n", "c = [3, 4, 5, 6];\n", []),                             # grown, not changed
    ("c = [3, 4, 5];\n", "d = [3, 4, 5];\n", []),                                # renamed, numbers kept
    ("b = 3;\n", "", [("b", 1, 3.0, None)]),                                     # dropped from the pair
    ("n = 11;\n", "n = 12;\n", []),                                              # 11 is not stated
])
def test_revision_changes(old, new, changed):
    found = _stated.revision_changes("at least 7, at most 3; costs 3, 4 and 5", old, ls.MODEL, new, 1)
    assert [(c["name"], c["position"], c["before"], c["after"]) for c in found] == changed
