"""The request's deadline and cancel event reach the engine's work through
every entry that compiles, builds or solves: a model whose grounding would
run for seconds stops at the deadline (TimeoutError, or DeadlineExceeded
inside a work budget) and at once when cancelled (KeyboardInterrupt), on
any thread; Ctrl-C on the waiting thread cancels the workers of candidates
and evaluations, which then end rather than being left to run."""

import _thread
import json
import subprocess
import sys
import threading
import time

import pytest

from tavro import _check, _kelm, _work, evaluation, modelwright, pipeline, solver

# Grounding visits 10^15 terms: it ends only at a bound (the work limit after a few seconds).
SLOW = ("int n;\nrange I = 1..n;\nfloat big = sum(i in I, j in I, k in I) 1;\ndvar float+ x;\n"
        "minimize cost: x;\nsubject to { x >= big; }\n")
SLOW_DATA = "n = 100000;\n"
SHORT = 0.2  # seconds of a deadline


def cancelled() -> threading.Event:
    event = threading.Event()
    event.set()
    return event


@pytest.fixture
def slow_pair(tmp_path):
    (tmp_path / "slow.mod").write_text(SLOW)
    (tmp_path / "slow.dat").write_text(SLOW_DATA)
    return str(tmp_path / "slow.mod"), str(tmp_path / "slow.dat")


def _solve_texts(pair):
    return pipeline.solve_texts(SLOW, SLOW_DATA)


def _solve_pair(pair):
    return pipeline.solve_pair(*pair)


def _compile_in_generative_solve(pair):
    with _work.bounded_compiles():
        return modelwright.KelmCompiler().compile_model(SLOW, SLOW_DATA)


def _explain(pair):
    return pipeline.explain(*pair, question="why?")


def _check_texts(pair):
    return _check.check_texts(SLOW, SLOW_DATA, *pair)


# Entries that take their bounds from the calling thread's work budget and cancel event.
BUDGETED = [_solve_texts, _solve_pair, _compile_in_generative_solve, _explain]


@pytest.mark.parametrize("entry", BUDGETED)
def test_a_work_budget_stops_the_grounding(entry, slow_pair):
    with _work.bounded(_work.WorkBudget(SHORT)), pytest.raises(_work.DeadlineExceeded):
        entry(slow_pair)


@pytest.mark.parametrize("entry", BUDGETED)
def test_a_cancel_event_stops_the_grounding_on_a_worker_thread(entry, slow_pair):
    raised = []

    def work():
        try:
            with _work.cancelling(cancelled()):
                entry(slow_pair)
        except BaseException as e:
            raised.append(e)

    t = threading.Thread(target=work)
    t.start()
    t.join(60)
    assert not t.is_alive()
    assert [type(e) for e in raised] == [KeyboardInterrupt]


@pytest.mark.parametrize("call, expected", [
    (lambda pair: pipeline.solve_texts(SLOW, SLOW_DATA, time_limit=SHORT), "error"),
    (lambda pair: pipeline.explain(*pair, time_limit=SHORT), TimeoutError),
    (lambda pair: solver.solve_files(*pair, time_limit=SHORT), TimeoutError),
    (lambda pair: solver.solve_files(*pair, options=solver.SolveOptions(cancel=cancelled())), KeyboardInterrupt),
    (lambda pair: _check.check_texts(SLOW, SLOW_DATA, *pair, deadline=time.monotonic() + SHORT), "check"),
    (lambda pair: _check.check_texts(SLOW, SLOW_DATA, *pair, cancel=cancelled()), KeyboardInterrupt),
])
def test_the_time_limit_covers_the_build(call, expected, slow_pair):
    if isinstance(expected, type):
        with pytest.raises(expected, match="deadline|interrupted"):
            call(slow_pair)
        return
    result = call(slow_pair)
    if expected == "error":  # a verdict to repair, not an exception
        assert result["status"] == "error" and "passed its deadline" in result["message"]
    else:
        assert not result["ok"] and "passed its deadline" in result["errors"][0]["message"]
        assert result["errors"][0]["file"] == slow_pair[0]


def test_tavro_solve_time_limit_stops_the_build(slow_pair):
    done = subprocess.run([sys.executable, "-m", "tavro", "solve", *slow_pair, "--time-limit", str(SHORT)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert "slow.mod:3:" in done.stderr and "passed its deadline" in done.stderr
    assert "Traceback" not in done.stderr


# -- Ctrl-C on the waiting thread ---------------------------------------------------------

@pytest.fixture
def endless(monkeypatch):
    """Every LLM call answers with the slow pair, whose compile has no work
    limit (it ends only when stopped); as the first compile starts, Ctrl-C
    reaches the main thread. Returns the events set as each compile ends."""
    def llm(**kwargs):
        return json.dumps({"model": SLOW, "data": SLOW_DATA}), {"prompt_tokens": 1, "completion_tokens": 1}

    ended = []

    def compile_without_limit(model_code, data_code, *args, _compile=_kelm.compile, **bounds):
        done = threading.Event()
        ended.append(done)
        if len(ended) == 1:
            _thread.interrupt_main()
        try:
            return _compile(model_code, data_code, *args, **dict(bounds, work_limit=10**15))
        finally:
            done.set()

    monkeypatch.setattr(modelwright, "_llm_generate_text", llm)
    monkeypatch.setattr(modelwright, "_estimate_costs", lambda *args: {})
    monkeypatch.setattr(_kelm, "compile", compile_without_limit)
    return ended


def test_ctrl_c_cancels_the_workers_of_an_evaluation(endless, tmp_path):
    problems = [evaluation.Problem(0, None, "Buy x.", evaluation.Expected(1.0, None), None)]
    with pytest.raises(KeyboardInterrupt):
        evaluation.evaluate(problems, tmp_path / "r.jsonl", problem_timeout=None, model_name="llama3",
                            llm_provider="ollama", alignment_check=False, few_shot=False)
    # The worker's compile was cancelled, not left to run for ever.
    assert len(endless) == 1 and endless[0].wait(60)


def test_ctrl_c_cancels_the_candidates(endless, tmp_path):
    model_file, data_file = tmp_path / "m.mod", tmp_path / "m.dat"
    with pytest.raises(KeyboardInterrupt):
        pipeline.generate_and_solve("Buy x.", model_file, data_file, candidates=2, model_name="llama3",
                                    llm_provider="ollama", alignment_check=False, few_shot=False)
    assert endless and all(done.wait(60) for done in endless)
    assert not model_file.exists() and not data_file.exists()


def test_a_compile_through_a_bounded_compiler_is_charged_once(monkeypatch):
    from types import SimpleNamespace

    from tavro import tavro_core

    clock = SimpleNamespace(now=0.0)
    monkeypatch.setattr(_work, "time", SimpleNamespace(monotonic=lambda: clock.now))

    def compile_for_ten_seconds(self, model_code, data_code, **bounds):
        clock.now += 10.0
        return bounds

    monkeypatch.setattr(tavro_core.KelmCompiler, "compile_model", compile_for_ten_seconds)
    budget = _work.WorkBudget(100.0)
    event = threading.Event()
    with _work.bounded_compiles(), _work.bounded(budget), _work.cancelling(event):
        bounds = _work.run(modelwright.KelmCompiler().compile_model, "m", "d", data_dir="t")
    assert bounds == {"data_dir": "t", "deadline": 100.0, "cancel": event}
    assert budget.spent == 10.0  # once, not twice
