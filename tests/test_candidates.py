"""Candidates that must agree: K generations at once through the real openai
package against the loopback stub; grouping and the choice by table."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import loop_support as ls
from tavro import _candidates, cli, pipeline

stub_server = pytest.importorskip("stub_server")

DESCRIPTION = "Buy as little as possible, but at least 7 units; the store holds at most 1000."
COMPARISON = "Reading 1 asks for at least 7 units, reading 2 for at least 9."


@pytest.fixture
def stub(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    monkeypatch.chdir(tmp_path)
    with ls.openai_loopback(monkeypatch, tmp_path) as server:
        yield server


def use(server, replies, other=lambda prompt: COMPARISON):
    server.set_default("POST", "/v1/responses", ls.Modeller({DESCRIPTION: replies}, other=other))


def kinds(server):
    return [ls.prompt_kind(r.json["input"]) for r in server.requests("POST", "/v1/responses")]


def leftovers(folder):
    return [n for n in os.listdir(folder) if n.startswith(".tavro-candidates-")]


def test_three_candidates_that_agree(stub, tmp_path):
    use(stub, [ls.pair_json(7)])
    model_file, data_file = tmp_path / "out" / "m.mod", tmp_path / "out" / "m.dat"
    result = pipeline.generate_and_solve(DESCRIPTION, model_file, data_file, few_shot=False, candidates=3)
    assert (result["status"], result["objective"]) == ("optimal", 7.0)
    assert (result["agreement"], result["agreeing"], result["disagreement"]) == ("3/3", 3, False)
    assert result["groups"] == [{"status": "optimal", "objective": 7.0, "candidates": [1, 2, 3]}]
    assert [c["candidate"] for c in result["candidates"]] == [1, 2, 3] and result["chosen"] == 1
    # Every candidate: one generation and one alignment call, 100 in / 20 out each; no comparison.
    assert sorted(kinds(stub)) == ["align"] * 3 + ["generate"] * 3
    assert result["usage"] == {"prompt_tokens": 600, "completion_tokens": 120}
    assert [c["usage"] for c in result["candidates"]] == [{"prompt_tokens": 200, "completion_tokens": 40}] * 3
    assert result["estimated_costs"]["total_cost"] == pytest.approx(600 * 1.25e-6 + 120 * 10e-6)
    assert (result["model_file"], result["data_file"]) == (str(model_file), str(data_file))
    assert model_file.read_text() == ls.MODEL and data_file.read_text() == ls.data(7)
    assert leftovers(model_file.parent) == [] and result["comparison"] is None
    # The same prompt for every candidate.
    assert len({r.json["input"] for r in stub.requests() if ls.prompt_kind(r.json["input"]) == "generate"}) == 1


def test_two_readings_against_one_are_compared_and_warned(stub, tmp_path, capsys):
    use(stub, [ls.pair_json(7), ls.pair_json(9), ls.pair_json(7)])
    code = cli.main(["generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve",
                     "--candidates", "3"])
    assert code == 0  # an answer was found
    out, err = capsys.readouterr()
    assert "WARNING: THE CANDIDATES DISAGREE: 2/3 agree on the answer below" in out
    assert "  optimal, objective 9: candidate " in out and "Where the readings differ: " + COMPARISON in out
    assert "WARNING: the candidates disagree (2/3 agree)" in err
    assert "objective (cost): 7" in out and (tmp_path / "m.dat").read_text() == ls.data(7)
    assert "[candidate 1/3] " in out + err
    (compare,) = [r.json["input"] for r in stub.requests() if ls.prompt_kind(r.json["input"]) == "compare"]
    assert DESCRIPTION in compare and compare.count(ls.MODEL.rstrip("\n")) == 2
    assert "objective 7" in compare and "objective 9" in compare and ls.data(9).strip() in compare

    stub.reset()
    use(stub, [ls.pair_json(7), ls.pair_json(9), ls.pair_json(7)])
    assert cli.main(["generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve",
                     "--candidates", "3", "--json"]) == 0
    result = json.loads(capsys.readouterr().out)
    assert (result["agreement"], result["disagreement"], result["comparison"]) == ("2/3", True, COMPARISON)
    assert [(g["objective"], len(g["candidates"])) for g in result["groups"]] == [(7.0, 2), (9.0, 1)] or \
        [(g["objective"], len(g["candidates"])) for g in result["groups"]] == [(9.0, 1), (7.0, 2)]
    assert result["usage"] == {"prompt_tokens": 700, "completion_tokens": 140}  # six calls and the comparison


def test_a_failing_candidate_is_no_answer(stub, tmp_path):
    use(stub, [ls.pair_json(7), "not JSON at all", ls.pair_json(7)])
    result = pipeline.generate_and_solve(DESCRIPTION, tmp_path / "m.mod", tmp_path / "m.dat", few_shot=False,
                                         candidates=3)
    assert (result["agreement"], result["disagreement"], result["objective"]) == ("2/3", False, 7.0)
    (failed,) = [c for c in result["candidates"] if c["status"] is None]
    assert failed["error"].startswith("RuntimeError: Failed to parse model response as JSON")
    assert failed["group"] is None and "compare" not in kinds(stub)


def test_all_failing_is_the_outcome_of_one_failed_generation(stub, tmp_path, capsys):
    use(stub, ["not JSON at all"])
    with pytest.raises(RuntimeError, match="^Failed to parse model response as JSON"):
        pipeline.generate_and_solve(DESCRIPTION, tmp_path / "m.mod", tmp_path / "m.dat", few_shot=False,
                                    candidates=3)
    assert cli.main(["generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve",
                     "--candidates", "2"]) == 1
    assert "tavro: Failed to parse model response as JSON" in capsys.readouterr().err
    assert sorted(os.listdir(tmp_path)) == ["pricing.md"]  # no pair, no temporary folder

    # Pairs that never compile: the first one is kept and judged as generate judges it (exit 3).
    broken = json.dumps({"model": ls.MODEL.replace("x >= a;", "x >= a"), "data": ls.data(7)})
    stub.reset()
    use(stub, [broken], other=lambda prompt: "Broken.")
    assert cli.main(["generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--solve",
                     "--candidates", "2", "--iterations", "1", "--repair", "0"]) == 3
    captured = capsys.readouterr()
    assert "the final model and data do not compile" in captured.err
    assert (tmp_path / "m.mod").read_text() == ls.MODEL.replace("x >= a;", "x >= a")
    assert "Candidate 1 gave no answer" in captured.out and leftovers(tmp_path) == []


def test_candidates_need_solve(stub, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(["generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--candidates", "3"])
    assert info.value.code == 2 and "--candidates needs --solve" in capsys.readouterr().err
    assert stub.requests() == []


def test_ctrl_c_keeps_the_last_pair_and_says_which_candidates_finished(stub, tmp_path):
    (tmp_path / "m.mod").write_text("old model\n")
    (tmp_path / "m.dat").write_text("old data\n")
    served = []
    modeller = ls.Modeller({DESCRIPTION: [ls.pair_json(7)]})

    def responder(request):
        if ls.prompt_kind(request.json["input"]) == "generate":
            served.append(1)
            if len(served) == 3:
                time.sleep(30)  # the third candidate is still waiting when Ctrl-C comes
        return modeller(request)

    stub.set_default("POST", "/v1/responses", responder)
    argv = [sys.executable, ls.__file__, "generate", DESCRIPTION, "-o", "m.mod", "-d", "m.dat", "--no-few-shot",
            "--solve", "--candidates", "3"]
    env = dict(os.environ, TAVRO_PRICING=str(tmp_path / "pricing.md"))
    proc = subprocess.Popen(argv, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(proc.stdout), daemon=True)
    reader.start()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and sum("finished: optimal" in line for line in lines) < 2:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(15) == 130
    reader.join(5)
    err = "".join(lines)
    assert "tavro: interrupted; candidates finished: " in err and "(optimal, objective 7)" in err
    assert "; still running: " in err and "m.mod and m.dat were left as they were" in err
    assert (tmp_path / "m.mod").read_text() == "old model\n" and (tmp_path / "m.dat").read_text() == "old data\n"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("answers, chosen, groups", [
    ([(1, "optimal", 7.0), (2, "optimal", 7.0000001), (3, "optimal", 7.0)], [1, 2, 3], 1),  # within 1e-6
    ([(1, "optimal", 7.0), (2, "optimal", 7.1), (3, "optimal", 7.1)], [2, 3], 2),
    ([(1, "infeasible", None), (2, "optimal", 5.0)], [2], 2),          # a tie goes to an optimal group
    ([(1, "optimal", 5.0), (2, "optimal", 6.0)], [1], 2),              # then to the earliest candidate
    ([(1, "infeasible", None), (2, "infeasible", None), (3, "optimal", 1.0)], [1, 2], 2),  # size first
    ([(1, "limit", 4.0), (2, "optimal", 4.0)], [2], 2),                # statuses never merge
    ([], None, 0),
])
def test_grouping_and_choice(answers, chosen, groups):
    found = _candidates.group_answers(answers, 1e-6)
    assert len(found) == groups
    best = _candidates.choose_group(found)
    assert (best["candidates"] if best else None) == chosen


@pytest.mark.parametrize("temperature, expected", [
    (None, [None, None, None]), (0.0, [0.0, 0.3, 0.6]), (0.7, [0.7, 1.0, 1.0]), (1.5, [1.5, 1.5, 1.5])])
def test_candidate_temperatures(temperature, expected):
    got = [_candidates.candidate_temperature(temperature, k) for k in (1, 2, 3)]
    assert got == pytest.approx(expected) if temperature is not None else got == expected


def test_candidates_keep_the_problem_deadline(tmp_path):
    # Both candidates of the second problem stall in the solver: each may spend the problem's budget, no more.
    dataset = tmp_path / "d.jsonl"
    dataset.write_text("".join(json.dumps({"question": q, "answer": a}) + "\n"
                               for q, a in (("EVQ-0: buy 0 of x.", 0), ("EVQ-1: STALL-SOLVE buy 1 of x.", 1))))
    child = os.path.join(os.path.dirname(__file__), "eval_child.py")
    argv = [sys.executable, child, "0", str(dataset), "--output", "r.jsonl", "--problem-timeout", "2",
            "--candidates", "2", "--json"]
    done = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    recs = sorted((json.loads(line) for line in (tmp_path / "r.jsonl").read_text().splitlines()),
                  key=lambda r: r["index"])
    assert [(r["correct"], r["agreement"]) for r in recs] == [(True, "2/2"), (False, "0/2")]
    assert recs[1]["error"].startswith("DeadlineExceeded: compiling and solving took more than the 2 s")
