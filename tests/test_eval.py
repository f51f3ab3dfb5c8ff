"""tavro eval: datasets, grading, threads, resume, budget, record/replay and
an interrupted run, through the real openai package against the loopback
stub."""

import decimal
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import loop_support as ls
from tavro import cli
from tavro import evaluation
from tavro._hooks import near_duplicate

stub_server = pytest.importorskip("stub_server")

GOLD_DIR = pathlib.Path(__file__).resolve().parent / "data" / "benchmark_gold"
PRICES = ls.PRICES
# Each problem: generation + alignment call, 100 in / 20 out each.
COST = 2 * (100 * 1.25e-6 + 20 * 10e-6)
QUESTIONS = ["EVQ-%d: buy at least %d units of x, as few as possible." % (i, 3 * i + 2) for i in range(5)]
ANSWERS = [3 * i + 2 for i in range(5)]
NO_SOLUTION_Q = "EVQ-X: buy at least 9 units but no more than 4."

GOLD = dict({q: ls.pair_json(a) for q, a in zip(QUESTIONS, ANSWERS)}, **{NO_SOLUTION_Q: ls.pair_json(9, 4)})
# Answers problems 1 and 3 with another problem's pair.
FAULTY = dict(GOLD, **{QUESTIONS[1]: GOLD[QUESTIONS[0]], QUESTIONS[3]: GOLD[QUESTIONS[4]]})
AGREE = json.dumps({"feedback": "The model is right."})


@pytest.fixture
def env(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    monkeypatch.chdir(tmp_path)
    with ls.openai_loopback(monkeypatch, tmp_path) as server:
        yield server


def use(server, answers):
    server.set_default("POST", "/v1/responses", ls.Modeller(answers, feedback=lambda prompt: AGREE))


def write_dataset(path, fmt, items):
    """items: (question, answer) pairs, written in one of the public formats."""
    if fmt == "library":
        for i, (q, a) in enumerate(items):
            folder = path / ("p%02d" % i)
            folder.mkdir(parents=True)
            (folder / ("p%02d.txt" % i)).write_text(q)
            status = "infeasible" if a == "infeasible" else "optimal"
            (folder / "solution.json").write_text(json.dumps(
                {"status": status, "sense": "minimize", "objective": None if status == "infeasible" else a}))
        return path
    qkey, akey = {"jsonl": ("question", "answer"), "json": ("en_question", "en_answer"),
                  "capital": ("Question", "Answer"), "description": ("description", "objective"),
                  "keyed": ("question", "answer")}[fmt]
    entries = []
    for q, a in items:
        if fmt == "capital":  # numeric strings, and the public no-solution label
            a = "No Best Solution" if a == "infeasible" else str(a)
        if fmt == "description" and a == "infeasible":
            a = -99999
        entries.append({qkey: q, akey: a})
    path = path.with_suffix(".json" if fmt in ("json", "keyed") else ".jsonl")
    if fmt == "json":
        path.write_text(json.dumps(entries, indent=1))
    elif fmt == "keyed":
        path.write_text(json.dumps({"p%d" % i: e for i, e in enumerate(entries)}))
    else:
        path.write_text("".join(json.dumps(e) + "\n" for e in entries))
    return path


def run_eval(*argv):
    code = cli.main(["eval", *map(str, argv), "--json"])
    return code


def summary_of(capsys):
    return json.loads(capsys.readouterr().out.strip().splitlines()[-1])


def records(path):
    lines = path.read_text().splitlines()
    return sorted((json.loads(line) for line in lines), key=lambda r: r["index"])


def comparable(recs):
    return [{k: v for k, v in r.items() if k not in ("seconds", "model_file", "data_file")} for r in recs]


ITEMS = list(zip(QUESTIONS, ANSWERS)) + [(NO_SOLUTION_Q, "infeasible")]


@pytest.mark.parametrize("fmt", ["jsonl", "json", "keyed", "capital", "description", "library"])
def test_every_format_reads_as_the_same_problems(tmp_path, fmt):
    problems = evaluation.load_dataset(write_dataset(tmp_path / "data", fmt, ITEMS))
    assert [(p.index, p.question) for p in problems] == list(enumerate(q for q, _ in ITEMS))
    assert [p.expected for p in problems] == [evaluation.Expected(float(a), 0) for a in ANSWERS] + [
        evaluation.Expected(None, None)]
    ids = {"keyed": ["p%d" % i for i in range(6)], "library": ["p%02d" % i for i in range(6)]}
    assert [p.id for p in problems] == ids.get(fmt, [None] * 6)
    sources = [str(tmp_path / "data" / n / (n + ".txt")) for n in ids["library"]] if fmt == "library" else [None] * 6
    assert [p.source for p in problems] == sources


def test_gold_and_faulty_modellers(env, tmp_path, capsys):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS)
    use(env, GOLD)
    assert run_eval(dataset, "--output", "gold.jsonl", "--no-alignment", "--repair", "1") == 0
    summary = summary_of(capsys)
    assert (summary["problems"], summary["correct"], summary["accuracy"]) == (6, 6, 1.0)
    gold = records(tmp_path / "gold.jsonl")
    assert gold[5]["status"] == "infeasible" and gold[5]["expected"] == "infeasible" and gold[5]["correct"]
    use(env, FAULTY)
    assert run_eval(dataset, "--output", "faulty.jsonl", "--no-alignment", "--repair", "1") == 0
    summary = summary_of(capsys)
    assert (summary["correct"], summary["accuracy"]) == (4, 4 / 6)
    faulty = records(tmp_path / "faulty.jsonl")
    assert [r["correct"] for r in faulty] == [True, False, True, False, True, True]
    assert faulty[1]["objective"] == 2.0 and faulty[1]["expected"] == 5.0


def test_jobs_do_not_change_the_records(env, tmp_path, capsys):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS)
    use(env, FAULTY)
    assert run_eval(dataset, "--output", "one.jsonl", "--jobs", "1") == 0
    assert run_eval(dataset, "--output", "four.jsonl", "--jobs", "4") == 0
    one, four = records(tmp_path / "one.jsonl"), records(tmp_path / "four.jsonl")
    assert comparable(one) == comparable(four)
    assert [r["index"] for r in one] == list(range(6))
    assert one[0]["usage"] == {"prompt_tokens": 200, "completion_tokens": 40}
    assert one[0]["estimated_costs"]["total_cost"] == pytest.approx(COST)
    assert os.path.exists(four[2]["model_file"]) and four[2]["model_file"].endswith(os.path.join("0002", "model.mod"))


def test_resume_runs_only_what_is_missing(env, tmp_path, capsys):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS)
    use(env, GOLD)
    assert run_eval(dataset, "--output", "r.jsonl", "--limit", "2") == 0
    capsys.readouterr()
    assert run_eval(dataset, "--output", "r.jsonl") == 2  # never overwritten silently
    assert "give --resume" in capsys.readouterr().err
    before = len(env.requests())
    assert run_eval(dataset, "--output", "r.jsonl", "--resume") == 0
    summary = summary_of(capsys)
    assert (summary["problems"], summary["correct"], summary["new"]) == (6, 6, 4)
    assert len(env.requests()) - before == 4 * 2 + 1  # the infeasible one asks for a repair too
    assert [r["index"] for r in records(tmp_path / "r.jsonl")] == list(range(6))


def test_budget_stops_starting_problems(env, tmp_path, capsys):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS)
    use(env, GOLD)
    assert run_eval(dataset, "--output", "r.jsonl", "--budget", str(COST * 1.5)) == 0
    summary = summary_of(capsys)
    assert (summary["problems"], summary["stopped"]) == (2, "budget")
    assert summary["cost"] == pytest.approx(2 * COST)


def test_pricing_option_prices_the_run_and_is_put_back(env, tmp_path, capsys):
    from tavro import tokenmeter

    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS[:1])
    (tmp_path / "double.md").write_text(PRICES.replace("1.25 | 10.00", "2.50 | 20.00"))
    use(env, GOLD)
    before = tokenmeter.PRICING_URL
    assert run_eval(dataset, "--output", "r.jsonl", "--pricing", tmp_path / "double.md") == 0
    assert summary_of(capsys)["cost"] == pytest.approx(2 * COST)
    assert tokenmeter.PRICING_URL == before


def test_record_then_replay_offline(env, tmp_path, capsys, monkeypatch):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS)
    use(env, FAULTY)
    assert run_eval(dataset, "--output", "rec.jsonl", "--record", "tape", "--jobs", "3") == 0
    recorded = records(tmp_path / "rec.jsonl")
    entry = json.loads((tmp_path / "tape" / sorted(os.listdir(tmp_path / "tape"))[0]).read_text().splitlines()[0])
    assert {"provider": "openai", "model": "gpt-5"}.items() <= entry.items()
    assert QUESTIONS[0] in entry["prompt"] and entry["usage"] == {"prompt_tokens": 100, "completion_tokens": 20}
    env.stop()  # the network is gone, and so is the price list used
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")
    (tmp_path / "pricing.md").unlink()
    from tavro import tokenmeter

    tokenmeter.clear_pricing_cache()
    monkeypatch.setattr(tokenmeter, "PRICING_URL", "http://127.0.0.1:9/pricing.md")
    assert run_eval(dataset, "--output", "play.jsonl", "--replay", "tape", "--jobs", "2") == 0
    assert comparable(records(tmp_path / "play.jsonl")) == comparable(recorded)
    # A question the recording never saw: its call is named, the run goes on.
    other = write_dataset(tmp_path / "other", "jsonl", [(QUESTIONS[0], 2), (QUESTIONS[1] + " Twice.", 5)])
    capsys.readouterr()
    assert run_eval(other, "--output", "miss.jsonl", "--replay", "tape") == 1
    miss = records(tmp_path / "miss.jsonl")
    assert miss[0]["correct"] and miss[1]["status"] is None
    assert miss[1]["error"].startswith("ReplayMiss: LLM call not in the recording tape")
    assert "openai gpt-5, prompt sha256" in miss[1]["error"]
    assert "not in the recording" in capsys.readouterr().err


def test_llm_failure_is_recorded_and_the_run_goes_on(env, tmp_path, capsys):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS[:3])
    answers = dict(GOLD, **{QUESTIONS[1]: "this is not JSON"})
    use(env, answers)
    assert run_eval(dataset, "--output", "r.jsonl") == 0
    recs = records(tmp_path / "r.jsonl")
    assert [r["correct"] for r in recs] == [True, False, True]
    assert recs[1]["error"].startswith("RuntimeError: Failed to parse model response as JSON: ")
    assert recs[1]["usage"] == {"prompt_tokens": 100, "completion_tokens": 20}


def test_few_shot_examples_leave_out_the_question_itself(env, tmp_path, capsys):
    from tavro import modelwright

    library = os.path.join(os.path.dirname(modelwright.__file__), "kelm_models")
    text = open(os.path.join(library, "knapsack", "knapsack.txt"), encoding="utf-8").read().strip()
    dataset = write_dataset(tmp_path / "data", "jsonl", [(text, 1), (text.replace(".", " .").upper(), 1)])
    use(env, {})
    assert run_eval(dataset, "--output", "r.jsonl", "--repair", "0") == 0
    generation = [r.json["input"] for r in env.requests() if ls.prompt_kind(r.json["input"]) == "generate"]
    assert len(generation) == 2
    marker = text.split("\n")[0][:60]
    assert generation[0].count(marker) == 1  # as the problem, never as an example
    assert "<example" in generation[0].lower() or "few" in generation[0].lower()


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGINT])
def test_an_interrupted_run_keeps_its_records_and_resumes(env, tmp_path, how):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS)
    slow = ls.Modeller(GOLD, feedback=lambda prompt: AGREE)

    def responder(request):
        if QUESTIONS[2] in request.json["input"]:
            time.sleep(30)  # the kill comes while this problem waits
        return slow(request)

    env.set_default("POST", "/v1/responses", responder)
    (tmp_path / "pricing.md").write_text(PRICES)
    argv = [sys.executable, ls.__file__, "eval", str(dataset), "--output", "r.jsonl", "--pricing", "pricing.md"]
    proc = subprocess.Popen(argv, cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    results = tmp_path / "r.jsonl"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if results.exists() and results.read_text().count("\n") >= 2:
            break
        time.sleep(0.05)
    proc.send_signal(how)
    assert proc.wait(10) == (-signal.SIGKILL if how == signal.SIGKILL else 130)
    if how == signal.SIGINT:  # Ctrl-C: at once, though a problem is still waiting for its reply
        assert "add --resume to continue" in proc.stderr.read().decode()
    kept = records(results)
    assert [r["index"] for r in kept] == [0, 1] and results.read_text().endswith("\n")
    with open(results, "a") as f:
        f.write('{"index": 2, "status": "opt')  # what a kill in mid-write would leave
    env.set_default("POST", "/v1/responses", slow)
    done = subprocess.run(argv + ["--resume", "--json"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1])["correct"] == 6
    assert [r["index"] for r in records(results)] == list(range(6))
    assert comparable(records(results)[:2]) == comparable(kept)


@pytest.mark.parametrize("status, objective, answer, correct", [
    ("optimal", 100.0004, decimal.Decimal("100.000"), False),
    ("optimal", 100.00000001, decimal.Decimal("100.000"), True),  # relative 1e-6
    ("optimal", 100.04, 100.0, True),                # one decimal written: rounded to it
    ("optimal", 1849.6, 1850, True),                 # labels rounded to their own decimals
    ("optimal", 1849.4, 1850, False),
    ("optimal", 12.345, "12.35", True),
    ("optimal", 12.344, "12.35", False),
    ("optimal", 3.14159, decimal.Decimal("3.142"), False),  # three decimals: the tolerance alone
    ("optimal", 0.0, 0, True),
    ("limit", 10.0, 10, False),
    ("infeasible", None, "No Best Solution", True),
    ("infeasible_or_unbounded", None, "infeasible", True),
    ("unbounded", None, -99999, False),
    ("optimal", 5.0, "-99999", False),
    ("optimal", 1234.5, "1,234.5", True),
])
def test_grading(status, objective, answer, correct):
    assert evaluation.grade(status, objective, evaluation.parse_answer(answer)) is correct


@pytest.mark.parametrize("line, message", [
    ('{"answer": 3}', "no question (looked for question, en_question, Question, description)"),
    ('{"question": "q"}', "no answer (looked for answer, en_answer, Answer, objective)"),
    ('{"question": "q", "answer": "about 5"}', "answer not a number: 'about 5'"),
    ('{"question": "q", "answer": true}', "answer no numeric answer: True"),
    ('[1, 2', "Expecting"),
])
def test_dataset_errors_name_the_entry(tmp_path, line, message):
    path = tmp_path / "d.jsonl"
    path.write_text('{"question": "fine", "answer": 1}\n\n' + line + "\n")
    with pytest.raises(evaluation.DatasetError) as info:
        evaluation.load_dataset(path)
    assert str(info.value).startswith(str(path) + ":3: ") and message in str(info.value)


@pytest.mark.parametrize("a, b, same", [
    ("A farm has 3 fields. Maximise profit.", "a farm has 3 fields   maximise PROFIT!", True),
    ("Ship 40 boxes from A to B at least cost, each truck carries 10.",
     "Ship 40 boxes from A to B at least cost, each truck carries 10. Trucks cost 5.", True),
    ("Ship 40 boxes from A to B at least cost.", "Blend three oils into a fuel of octane 90.", False),
    ("Buy at least 3 apples.", "Buy at least 30 apples.", False),
])
def test_near_duplicate(a, b, same):
    assert near_duplicate(a, b) is same


def test_bundled_benchmark_with_the_gold_modeller_scores_everything(env, tmp_path, capsys):
    from importlib import resources

    bundled = resources.files("tavro") / "data" / "benchmark.jsonl"
    problems = evaluation.load_dataset(str(bundled))
    assert len(problems) >= 12
    answers = {}
    for p in problems:
        mod = (GOLD_DIR / (p.id + ".mod")).read_text()
        dat = (GOLD_DIR / (p.id + ".dat")).read_text()
        answers[p.question] = json.dumps({"model": mod, "data": dat})
    use(env, answers)
    assert run_eval("benchmark", "--output", "r.jsonl", "--jobs", "4", "--repair", "1") == 0
    summary = summary_of(capsys)
    assert (summary["correct"], summary["problems"], summary["compiled"]) == (len(problems),) * 3


@pytest.mark.parametrize("argv, message", [
    (["--provider", "opneai"], "did you mean"),
    (["--jobs", "0"], "--jobs must be at least 1"),
    (["--record", "a", "--replay", "b"], "not allowed with argument"),
    (["--problem-timeout", "0"], "--problem-timeout must be a positive number of seconds"),
    (["--problem-timeout", "inf"], "--problem-timeout must be a positive number of seconds"),
])
def test_usage_errors_before_any_request(env, tmp_path, capsys, argv, message):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS[:1])
    with pytest.raises(SystemExit) as info:
        cli.main(["eval", str(dataset), "--output", "r.jsonl", *argv])
    assert info.value.code == 2 and message in capsys.readouterr().err
    assert env.requests() == [] and not (tmp_path / "r.jsonl").exists()


def test_a_call_that_times_out_is_recorded_and_the_run_goes_on(env, tmp_path):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS[:3])
    gold = ls.Modeller(GOLD)

    def responder(request):
        if QUESTIONS[1] in request.json["input"]:
            time.sleep(30)  # never answers in time
        return gold(request)

    env.set_default("POST", "/v1/responses", responder)
    (tmp_path / "pricing.md").write_text(PRICES)
    argv = [sys.executable, ls.__file__, "eval", str(dataset), "--output", "r.jsonl", "--pricing", "pricing.md",
            "--timeout", "1", "--json"]
    started = time.monotonic()
    done = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert time.monotonic() - started < 15
    recs = records(tmp_path / "r.jsonl")
    assert [r["correct"] for r in recs] == [True, False, True]
    assert recs[1]["error"].startswith("LLMTimeoutError: no reply from openai (model gpt-5, address http://127.0.0.1:")
    assert json.loads(done.stdout.splitlines()[-1])["correct"] == 2


# ---- a write that fails, and what --resume mends ----------------------------

EVAL_CHILD = os.path.join(os.path.dirname(__file__), "eval_child.py")


def child_dataset(path, questions):
    path.write_text("".join(json.dumps({"question": q, "answer": a}) + "\n" for q, a in questions))
    return path


@pytest.mark.parametrize("long_question, failed_file", [
    (False, "r.jsonl"),             # the results file reaches the limit
    (True, "question.txt"),         # a problem's own file does
])
def test_a_write_failure_stops_the_run_and_resume_completes_it(tmp_path, long_question, failed_file):
    questions = [("EVQ-%d: buy at least %d of x." % (i, i), i) for i in range(40)]
    if long_question:
        questions[3] = ("EVQ-3: buy at least 3 of x." + " Please." * 700, 3)
    dataset = child_dataset(tmp_path / "d.jsonl", questions)
    argv = [sys.executable, EVAL_CHILD, "5000", str(dataset), "--output", "r.jsonl", "--jobs", "2"]
    done = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stderr
    assert "Traceback" not in done.stderr and done.stdout == ""
    failure = [line for line in done.stderr.splitlines() if line.startswith("tavro: ")]
    assert len(failure) == 1 and failure[0].startswith("tavro: cannot write: [Errno 27] File too large: ")
    assert failed_file in failure[0] and "add --resume" in failure[0]
    results = tmp_path / "r.jsonl"
    kept = records(results)  # every line whole: a failed append is taken back
    assert results.read_text().endswith("\n") and 0 < len(kept) < 40
    assert "%d of 40 problems in r.jsonl" % len(kept) in failure[0]
    assert all(r["error"] is None and r["correct"] for r in kept)  # no problem recorded for the disk's fault
    argv[2] = "0"
    done = subprocess.run(argv + ["--resume", "--json"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout.splitlines()[-1])["correct"] == 40
    assert [r["index"] for r in records(results)] == list(range(40))


R = [json.dumps({"index": i, "status": "optimal", "note": "caf\u00e9 {\"index\": 9}"}, ensure_ascii=False)
     for i in range(4)]


@pytest.mark.parametrize("text, kept", [
    (R[0] + "\n" + R[1] + "\n" + R[2][:30], [0, 1]),                     # cut off at the end
    (R[0] + "\n" + R[1][:25] + R[2] + "\n" + R[3] + "\n", [0, 2, 3]),    # cut off, the next appended after it
    (R[0] + "\n" + R[1][:5] + R[2] + "\n", [0, 2]),                       # cut inside the first key
    (R[1][:40] + R[2][:12] + R[3] + "\n", [3]),                            # two cut-off records in a row
    (R[0] + R[1] + "\n", [0, 1]),                                          # only the newline was lost
    (R[0] + "\n" + R[1], [0, 1]),
    (R[0] + "\n\n" + R[1][:-1] + "\n", [0]),
    (R[0].encode()[:-3] + b"\xc3" + R[1].encode() + b"\n", [1]),           # cut inside a character
])
def test_resume_mends_every_cut_off_line(text, kept):
    data = text.encode() if isinstance(text, str) else text
    mended, recs = evaluation.mend_results(data)
    assert [r["index"] for r in recs] == kept
    assert [line for line in mended.decode().splitlines() if line] == [R[i] for i in kept]
    assert mended.endswith(b"\n")


@pytest.mark.parametrize("text", [R[0] + "\nnot a record\n" + R[1] + "\n", R[0] + "\n[1, 2\n"])
def test_resume_refuses_lines_that_are_not_ours(text):
    with pytest.raises(ValueError, match="^r.jsonl:2 is not a JSON record$"):
        evaluation.mend_results(text.encode(), "r.jsonl")


def test_resume_keeps_a_record_appended_after_a_cut_off_line(env, tmp_path, capsys):
    dataset = write_dataset(tmp_path / "data", "jsonl", ITEMS)
    use(env, GOLD)
    assert run_eval(dataset, "--output", "r.jsonl", "--limit", "3") == 0
    results = tmp_path / "r.jsonl"
    lines = results.read_text().splitlines()
    before = records(results)
    results.write_text(lines[0] + "\n" + lines[1][:50] + lines[2] + "\n")  # what a full disk left
    assert run_eval(dataset, "--output", "r.jsonl", "--resume") == 0
    after = records(results)
    assert [r["index"] for r in after] == list(range(6))
    assert comparable([after[0], after[2]]) == comparable([before[0], before[2]])
    assert summary_of(capsys)["new"] == 4  # problem 1 again, and 3 to 5


# ---- a problem whose model never finishes -----------------------------------

@pytest.mark.parametrize("marker", [
    "STALL-COMPILE",    # generative_solve's compile never returns
    "STALL-SOLVE",      # the solve never returns
    "HOSTILE",          # a model whose grounding runs for hours
])
def test_a_problem_that_never_finishes_costs_its_deadline_not_the_run(tmp_path, marker):
    dataset = child_dataset(tmp_path / "d.jsonl", [("EVQ-0: buy 0 of x.", 0), ("EVQ-1: %s buy 1 of x." % marker, 1),
                                                   ("EVQ-2: buy 2 of x.", 2)])
    argv = [sys.executable, EVAL_CHILD, "0", str(dataset), "--output", "r.jsonl", "--problem-timeout", "2",
            "--json"]
    done = subprocess.run(argv, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    recs = records(tmp_path / "r.jsonl")
    assert [r["correct"] for r in recs] == [True, False, True]
    if marker != "HOSTILE":  # a limit of the engine's own may stop that one first
        assert recs[1]["error"] == ("DeadlineExceeded: compiling and solving took more than the 2 s this problem "
                                    "may use (--problem-timeout)")
    assert recs[1]["error"] and recs[1]["status"] in (None, "error")
    assert json.loads(done.stdout.splitlines()[-1])["problems"] == 3


# Candidates that must agree: five problems, three candidates each. Right and agreeing on 0 and 1; wrong
# and agreeing on 2; wrong by a 2-1 vote on 3; right by a 2-1 vote on 4.
CANDIDATE_QS = ["EVC-%d: buy at least %d units of x, as few as possible." % (i, 3 * i + 2) for i in range(5)]
CANDIDATE_REPLIES = {q: [ls.pair_json(a) for a in answers] for q, answers in zip(CANDIDATE_QS, [
    [2], [5], [3], [4, 4, 11], [14, 6, 14]])}


def test_candidates_calibrate_the_summary_and_replay_exactly(env, tmp_path, capsys, monkeypatch):
    dataset = write_dataset(tmp_path / "data", "jsonl", list(zip(CANDIDATE_QS, [2, 5, 8, 11, 14])))
    env.set_default("POST", "/v1/responses", ls.Modeller(CANDIDATE_REPLIES, feedback=lambda prompt: AGREE,
                                                         other=lambda prompt: "They read the minimum differently."))
    assert run_eval(dataset, "--output", "rec.jsonl", "--candidates", "3", "--jobs", "2", "--record", "tape") == 0
    captured = capsys.readouterr()
    summary = json.loads(captured.out.strip().splitlines()[-1])
    assert {k: summary[k] for k in ("problems", "correct", "candidates", "agreed", "correct_agreed",
                                    "disagreements", "wrong", "wrong_warned", "warned_when_wrong")} == {
        "problems": 5, "correct": 3, "candidates": 3, "agreed": 3, "correct_agreed": 2, "disagreements": 2,
        "wrong": 2, "wrong_warned": 1, "warned_when_wrong": 0.5}
    assert summary["accuracy_agreed"] == pytest.approx(2 / 3) and summary["accuracy"] == pytest.approx(0.6)
    assert "Correct when all agreed  2 of 3 (66.7%)" in captured.err
    assert "Wrong answers warned     1 of 2 (50.0%)" in captured.err
    recorded = records(tmp_path / "rec.jsonl")
    assert [(r["agreement"], r["disagreement"], r["correct"]) for r in recorded] == [
        ("3/3", False, True), ("3/3", False, True), ("3/3", False, False), ("2/3", True, False), ("2/3", True, True)]
    # Three generations and three alignments per problem, and a comparison where the candidates disagree.
    assert [r["usage"]["prompt_tokens"] for r in recorded] == [600, 600, 600, 700, 700]
    tape = [json.loads(line) for line in (tmp_path / "tape" / _tape_of(tmp_path / "tape", 3)).read_text().splitlines()]
    assert sorted(e.get("candidate") for e in tape if "EVC-3" in e["prompt"] and ls.GEN in e["prompt"]) == [1, 2, 3]
    assert sum(1 for e in tape if "candidate" not in e) == 1  # the comparison, made for the problem itself

    env.stop()  # offline: every call, the candidates' and the comparison, comes from the recording
    monkeypatch.setenv("OPENAI_BASE_URL", "http://127.0.0.1:9/v1")
    assert run_eval(dataset, "--output", "play.jsonl", "--candidates", "3", "--replay", "tape") == 0
    assert summary_of(capsys)["replay_misses"] == 0
    assert comparable(records(tmp_path / "play.jsonl")) == comparable(recorded)


def _tape_of(folder, index):
    return next(n for n in os.listdir(folder) if n.startswith("%04d-" % index))
