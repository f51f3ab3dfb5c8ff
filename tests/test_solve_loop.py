"""The solver in the loop: generate, solve, repair through the real openai
package against the loopback stub."""

import json

import pytest

import loop_support as ls
from tavro import cli
from tavro import pipeline

stub_server = pytest.importorskip("stub_server")
Reply = stub_server.Reply

DESCRIPTION = "Buy as little as possible, but at least 7 units; the store holds at most 3."


@pytest.fixture
def stub(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    with ls.openai_loopback(monkeypatch, tmp_path) as server:
        yield server


def aligned():
    return Reply.openai_text(json.dumps({"aligned": True, "assessment": "Looks right."}), 50, 5)


def feedback(**reply):
    return Reply.openai_text(json.dumps(reply), 70, 30)


def prompts(server):
    return [r.json["input"] for r in server.requests("POST", "/v1/responses")]


def test_repair_round_fixes_an_infeasible_model(stub, tmp_path):
    stub.script("POST", "/v1/responses",
                Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                feedback(feedback="The store limit was misread.", revised_data=ls.data(7, 30)))
    model_file, data_file = tmp_path / "m.mod", tmp_path / "m.dat"
    result = pipeline.generate_and_solve(DESCRIPTION, str(model_file), str(data_file), few_shot=False)
    assert (result["status"], result["objective"], result["values"]) == ("optimal", 7.0, {"x": 7.0})
    assert (result["iterations"], result["repairs"]) == (1, 1)
    assert result["rounds"][0]["outcome"] == "revised" and result["rounds"][0]["verdict"] == "infeasible"
    # Usage of the feedback call (which generative_feedback does not report) is counted.
    assert result["usage"] == {"prompt_tokens": 220, "completion_tokens": 75}
    assert result["estimated_costs"]["total_cost"] == pytest.approx(220 * 1.25e-6 + 75 * 10e-6)
    assert model_file.read_text() == ls.MODEL and data_file.read_text() == ls.data(7, 30)
    question = prompts(stub)[2]
    assert ls.prompt_kind(question) == "feedback" and DESCRIPTION in question
    assert "INFEASIBLE" in question
    assert "- low (label low, model line 6): x >= 7" in question
    assert "- high (label high, model line 7): x <= 3" in question
    assert "revised_model" in question


def test_a_revision_that_does_not_compile_leaves_the_pair(stub, tmp_path):
    stub.script("POST", "/v1/responses",
                Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                feedback(feedback="try", revised_model="dvar float x\nminimize x;"),
                feedback(feedback="again", revised_data="a = 7;\nb = ;\n"))
    model_file, data_file = tmp_path / "m.mod", tmp_path / "m.dat"
    result = pipeline.generate_and_solve(DESCRIPTION, model_file, data_file, few_shot=False, repair=2)
    assert result["status"] == "infeasible" and result["repairs"] == 2
    assert [r["outcome"] for r in result["rounds"]] == ["not_compiled", "not_compiled"]
    assert all(r["errors"] for r in result["rounds"])
    assert model_file.read_text() == ls.MODEL and data_file.read_text() == ls.data(7, 3)
    second = prompts(stub)[3]
    assert "A previous revision did not compile:" in second and result["rounds"][0]["errors"][0] in second
    assert len(prompts(stub)) == 4  # no third round


@pytest.mark.parametrize("revised, outcome, objective", [
    (ls.data(9), "revised", 9.0),          # the LLM corrects the answer: taken
    (ls.data(9, 2), "kept", 7.0),          # a revision that is infeasible: the optimal pair stays
    (None, "no_revision", 7.0),            # the LLM agrees
])
def test_check_solution(stub, tmp_path, revised, outcome, objective):
    reply = {"feedback": "checked"}
    if revised is not None:
        reply["revised_data"] = revised
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7), 100, 40), aligned(), feedback(**reply))
    result = pipeline.generate_and_solve(DESCRIPTION, tmp_path / "m.mod", tmp_path / "m.dat", few_shot=False,
                                         check_solution=True)
    assert [r["outcome"] for r in result["rounds"]] == [outcome]
    assert (result["status"], result["objective"]) == ("optimal", objective)
    question = prompts(stub)[2]
    assert "optimal solution with objective value 7" in question and "- x = 7" in question
    assert DESCRIPTION in question
    assert len(prompts(stub)) == 3  # one check only


def test_generate_solve_json_is_one_object(stub, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7), 100, 40), aligned())
    assert cli.main(["generate", DESCRIPTION, "-o", "out/m.mod", "-d", "out/m.dat", "--no-few-shot",
                     "--solve", "--json"]) == 0
    out = capsys.readouterr()
    result = json.loads(out.out)
    assert {"status": "optimal", "objective": 7.0, "values": {"x": 7.0}, "model_file": "out/m.mod",
            "data_file": "out/m.dat", "iterations": 1, "repairs": 0,
            "usage": {"prompt_tokens": 150, "completion_tokens": 45}}.items() <= result.items()
    assert result["estimated_costs"]["total_cost"] > 0
    assert "Solved: optimal" in out.err


def test_generate_solve_prints_the_answer(stub, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                feedback(feedback="Nothing to change."))
    assert cli.main(["generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve"]) == 0
    out = capsys.readouterr().out
    assert "Round 1 (repair, infeasible): no_revision \u2014 Nothing to change." in out
    assert "status: infeasible\n" in out.lower() and "low (" in out and "): x >= 7\n" in out
    assert out.rstrip().splitlines()[-1].startswith("Iterations: 1, repairs: 1, tokens: 220 in / 75 out")


@pytest.mark.parametrize("answer, expected", [
    ({"status": "unbounded", "runaway": [{"name": "y[2]", "direction": "up"}, {"name": "z", "direction": "down"}]},
     ["UNBOUNDED", "- y[2] grows without bound (towards +infinity)", "- z falls without bound (towards -infinity)"]),
    ({"status": "error", "message": "model:3:5: expected ';'"}, ["do not compile", "model:3:5: expected ';'"]),
    ({"status": "error", "message": "HiGHS ran out of memory"}, ["could not be solved", "HiGHS ran out of memory"]),
    ({"status": "infeasible", "conflict": [{"name": "cap[2,B]", "label": "cap", "index": ["2", "B"], "line": 9,
                                            "text": "x[2] + y[B] <= 4"}]},
     ["- cap[2,B] (label cap, index 2,B, model line 9): x[2] + y[B] <= 4"]),
])
def test_repair_question_speaks_of_the_verdict(answer, expected):
    question = pipeline.repair_question("Make toys.", answer)
    assert question.startswith("This model and data were written for the following problem:\n\nMake toys.\n")
    for text in expected:
        assert text in question


def test_nonzero_values_and_answer_text():
    values = {"x": 0.0, "y": {"1": 2.5, "2": 0.0}, "z": {"a": {"b": -1.0}}, "k": 3.0}
    assert pipeline.nonzero_values(values) == [("y[1]", 2.5), ("z[a,b]", -1.0), ("k", 3.0)]
    text = pipeline.format_solution({"status": "optimal", "objective": 12.0, "values": values})
    assert text.splitlines() == ["Status: optimal", "Objective: 12", "Non-zero values:", "  y[1]    2.5",
                                 "  z[a,b]  -1", "  k       3"]


def test_a_failed_feedback_call_keeps_the_answer_in_hand(stub, tmp_path):
    stub.script("POST", "/v1/responses", Reply.openai_text(ls.pair_json(7, 3), 100, 40), aligned(),
                Reply.openai_text("Sorry, I cannot help with that.", 70, 8))
    result = pipeline.generate_and_solve(DESCRIPTION, tmp_path / "m.mod", tmp_path / "m.dat", few_shot=False)
    assert result["status"] == "infeasible" and result["solution"]["conflict"]
    assert [r["outcome"] for r in result["rounds"]] == ["llm_error"]
    assert result["error"].startswith("RuntimeError: Failed to parse feedback response as JSON: ")
    assert result["usage"] == {"prompt_tokens": 220, "completion_tokens": 53}
    assert len(prompts(stub)) == 3


def test_generate_solve_exits_3_when_nothing_compiles(stub, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    broken = json.dumps({"model": ls.MODEL.replace("x >= a;", "x >= a"), "data": ls.data(7)})
    stub.script("POST", "/v1/responses", Reply.openai_text(broken, 100, 40), Reply.openai_text("Broken.", 30, 5),
                feedback(feedback="I do not see the fault."))
    assert cli.main(["generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--iterations", "1",
                     "--solve"]) == 3
    captured = capsys.readouterr()
    assert "Round 1 (repair, error): no_revision" in captured.out
    assert "the final model and data do not compile" in captured.err
    assert "Syntax/semantic errors found" in captured.out
    question = prompts(stub)[2]
    assert "do not compile; the compiler reports:\nmodel:6:16: ';' expected" in question
