"""A new user's first hour with the command line: prices without the
network, unknown prices shown alike everywhere, folders and files, messages
that agree, a report that no datum can forge, quiet provider clients."""

import datetime
import json
import logging
import os
import warnings

import pytest

import fakes
from tavro import _pricelist, cli, modelwright, pipeline, solver, tokenmeter
from tavro.cli import eval as cli_eval
from tavro.cli import output
from tavro.cli import solve as cli_solve
from workflow_fakes import Recorder

stub_server = pytest.importorskip("stub_server")
Reply = stub_server.Reply

UNREACHABLE = "http://127.0.0.1:9/pricing_table.md"
GOOD_MODEL = "float a;\ndvar float x;\nminimize z: a*x;\nsubject to { x >= 1; }\n"
BAD_MODEL = "float a;\ndvar float x\nminimize z: a*x;\n"
DATA = "a = 2;\n"
GEN_ARGS = ["-o", "m.mod", "-d", "m.dat", "--no-few-shot", "--no-alignment"]


def run(argv):
    try:
        return cli.main(argv)
    except SystemExit as e:
        return e.code


def reply(obj, p=100, c=40):
    return Reply.openai_text(obj if isinstance(obj, str) else json.dumps(obj), p, c)


@pytest.fixture
def stub(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(tokenmeter, "PRICING_URL", tokenmeter.PRICING_URL)  # restored after the test
    with stub_server.StubServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.openai_base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
        monkeypatch.setenv("TAVRO_PRICING", UNREACHABLE)
        yield server


# ---- the bundled price list ---------------------------------------------------

def test_bundled_copy_is_dated_and_priced():
    copy = _pricelist.bundled()
    assert copy.retrieved == datetime.date(2026, 12, 8)
    assert copy.copied_from == "https://github.com/AgentOps-AI/tokencost/blob/main/pricing_table.md"
    table = tokenmeter._parse_pricing(copy.source)
    assert table["gpt-5"] == {"prompt_per_1M": 1.25, "completion_per_1M": 10.0}
    assert not any(key.startswith("#") for key in table)  # the header line is no entry


def test_unreachable_list_falls_back_quietly_and_is_restored(caplog):
    before = tokenmeter.PRICING_URL
    with caplog.at_level(logging.WARNING, logger="tavro.tokenmeter"):
        choice = _pricelist.choose(UNREACHABLE)
    assert choice.bundled and choice.unreadable == UNREACHABLE and not choice.offline
    assert "Failed to load pricing" not in caplog.text
    with _pricelist.using(choice):
        assert tokenmeter.PRICING_URL == choice.source
        costs = tokenmeter.estimate_costs(type("A", (), {"model": "gpt-5"})(),
                                          {"prompt_tokens": 10**6, "completion_tokens": 10**6})
    assert costs["total_cost"] == pytest.approx(11.25) and tokenmeter.PRICING_URL == before


def test_offline_never_reads_the_source(monkeypatch, tmp_path):
    read = Recorder({"gpt-5": {"prompt_per_1M": 1.0, "completion_per_1M": 1.0}})
    monkeypatch.setattr(tokenmeter, "_parse_pricing", read)
    monkeypatch.setenv("TAVRO_OFFLINE", "1")
    assert _pricelist.offline_requested()
    choice = _pricelist.choose("https://example.invalid/p.md", offline=True)
    assert choice.bundled and choice.offline and read.calls == []
    # A file the user names is taken as given, offline or not.
    assert _pricelist.choose(str(tmp_path / "mine.md"), offline=True) == _pricelist.PriceList(
        str(tmp_path / "mine.md"))


@pytest.mark.parametrize("age, text", [(0, "(less than a day old)"), (1, "(1 day old)"), (40, "(40 days old)")])
def test_bundled_list_says_how_old(age, text):
    copy = _pricelist.bundled()
    today = copy.retrieved + datetime.timedelta(days=age)
    assert copy.describe(today) == "the bundled price list of 2026-12-08 " + text
    assert copy.to_json(today)["age_days"] == age


@pytest.mark.parametrize("argv, code, out_has, err", [
    (["estimate"], 0, ["'prompt_cost': 0.043098", "model gpt-4.1 (the default here; generate and feedback "
                       "default to gpt-5), prices: the bundled price list of 2026-12-08"], ""),
    (["estimate", "gpt-5", "--offline"], 0, ["model gpt-5, prices: the bundled price list", "; used offline"], ""),
    (["estimate", "o9"], 1, ["'total_cost': 0.0"],
     "tavro: model o9 is not in the price list (the bundled price list of 2026-12-08"),
])
def test_estimate_works_offline_and_names_model_and_list(monkeypatch, capsys, argv, code, out_has, err):
    monkeypatch.setattr(tokenmeter, "PRICING_URL", UNREACHABLE)
    assert run(argv) == code
    captured = capsys.readouterr()
    for text in out_has:
        assert text in captured.out
    assert captured.err.startswith(err) and "Failed to load pricing" not in captured.err
    assert tokenmeter.PRICING_URL == UNREACHABLE


# ---- costs in the LLM commands ----------------------------------------------------

def test_generate_prices_with_the_bundled_copy_in_plain_words(stub, capsys):
    stub.script("POST", "/v1/responses", reply({"model": GOOD_MODEL, "data": DATA}), reply("Fine."))
    assert run(["generate", "x", *GEN_ARGS]) == 0
    out, err = capsys.readouterr()
    assert "Failed to load pricing" not in err
    assert "Prices: the bundled price list of 2026-12-08" in err and UNREACHABLE + " could not be read" in err
    # The workflow's cost record in words, never the raw dictionary.
    assert "[LLM] Estimated costs: {" not in out + err
    assert "[LLM] Estimated costs: $0.00105 (gpt-5, 200 tokens in / 80 out)" in out
    assert err.rstrip().endswith("Done: 1 iteration, 2 LLM calls, 200 tokens in / 80 out, estimated cost $0.00105")
    assert tokenmeter.PRICING_URL != _pricelist.bundled().source  # restored


def test_unknown_price_is_null_in_json_and_unknown_in_text(stub, capsys):
    stub.script("POST", "/v1/responses", reply({"model": GOOD_MODEL, "data": DATA}), reply("Fine."))
    assert run(["generate", "x", *GEN_ARGS, "--model", "o9-mini", "--provider", "openai", "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["totals"]["cost"] is None and [c["cost"] for c in doc["calls"]] == [None, None]
    assert doc["pricing"]["bundled"] is True
    stub.script("POST", "/v1/responses", reply({"model": GOOD_MODEL, "data": DATA}), reply("Fine."))
    assert run(["generate", "x", *GEN_ARGS, "--model", "o9-mini", "--provider", "openai", "--solve"]) == 0
    out = capsys.readouterr().out
    assert out.rstrip().endswith("tokens: 200 in / 80 out, estimated cost: unknown")


def test_eval_shows_an_unknown_cost_as_unknown_and_null(stub, capsys, tmp_path):
    import loop_support as ls

    question = "EVQ: buy at least 3 units of x, as few as possible."
    stub.set_default("POST", "/v1/responses", ls.Modeller({question: ls.pair_json(3)}))
    (tmp_path / "d.jsonl").write_text(json.dumps({"question": question, "answer": 3}) + "\n")
    assert run(["eval", "d.jsonl", "--output", "r.jsonl", "--no-alignment", "--model", "o9-mini",
                "--provider", "openai", "--json"]) == 0
    out, err = capsys.readouterr()
    summary = json.loads(out.strip().splitlines()[-1])
    assert summary["cost"] is None and summary["cost_known"] is False and summary["correct"] == 1
    assert "cost unknown" in err and "$0.0000" not in err


@pytest.mark.parametrize("known, text", [(True, "cost $0.0012"), (False, "cost unknown")])
def test_eval_progress_line_cost(capsys, known, text):
    record = {"correct": True, "error": None, "index": 0, "status": "optimal", "objective": 1.0, "expected": 1.0,
              "seconds": 1.0, "usage": {"prompt_tokens": 1, "completion_tokens": 1}}
    summary = {"problems": 1, "accuracy": 1.0, "cost": 0.0012 if known else 0.0, "cost_known": known}
    cli_eval._PlainProgress(1).record(record, summary)
    assert capsys.readouterr().err.rstrip().endswith(text)


# ---- files ----------------------------------------------------------------------

@pytest.fixture
def pair(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "k.mod").write_text(GOOD_MODEL)
    (tmp_path / "k.dat").write_text(DATA)
    return tmp_path


@pytest.mark.parametrize("argv", [
    ["check", "nothere.mod", "k.dat"],
    ["check", "k.mod", "nothere.mod"],
    ["solve", "nothere.mod", "k.dat"],
    ["feedback", "Why?", "nothere.mod", "k.dat"],
    ["generate", "-f", "nothere.mod", "-o", "o.mod", "-d", "o.dat"],
])
def test_a_missing_input_is_a_usage_error_in_every_command(pair, capsys, provider_ready, argv):
    assert run(argv) == 2
    assert capsys.readouterr().err.splitlines()[-1].endswith("error: cannot read nothere.mod: No such file or "
                                                             "directory")


def test_output_folders_are_created(pair, capsys):
    assert run(["examples", "knapsack", "--dir", "ex/sub"]) == 0
    assert capsys.readouterr().out.splitlines()[0] == "wrote ex/sub/knapsack.txt"
    assert run(["solve", "ex/sub/knapsack.mod", "ex/sub/knapsack.dat", "--emit", "new/dir/k.py", "--sidecar"]) == 0
    out, err = capsys.readouterr()
    assert out.startswith("status: optimal\n") and err == "wrote new/dir/k.py\nwrote new/dir/k.npz\n"
    assert (pair / "new" / "dir" / "k.py").is_file() and (pair / "new" / "dir" / "k.npz").is_file()


@pytest.mark.parametrize("json_out", [False, True])
def test_a_failed_emit_never_loses_the_answer(pair, capsys, json_out):
    (pair / "plain").write_text("a file, not a folder")
    assert run(["solve", "k.mod", "k.dat", "--emit", "plain/k.py"] + (["--json"] if json_out else [])) == 1
    out, err = capsys.readouterr()
    if json_out:
        assert json.loads(out)["objective"] == 2.0
    else:
        assert out.startswith("status: optimal\nobjective (z): 2\n")
    assert err == "tavro: cannot write plain/k.py: Not a directory\n"


def test_examples_into_a_file_is_a_usage_error(pair, capsys):
    assert run(["examples", "diet", "--dir", "k.mod"]) == 2
    assert "--dir k.mod is not a folder" in capsys.readouterr().err


# ---- messages ---------------------------------------------------------------------

def test_help_says_what_the_tool_does_and_lists_every_command(capsys):
    assert run(["--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    assert "into a Tavro model and data file with an LLM" in text and "solve it with HiGHS" in text
    import importlib

    for name in cli.COMMANDS:
        help_line = " ".join(importlib.import_module("tavro.cli." + name).HELP.split())
        assert "%s %s" % (name, help_line) in text


def test_located_errors_name_the_file_in_check_and_solve(pair, capsys):
    (pair / "typo.mod").write_text(BAD_MODEL)
    assert run(["check", "typo.mod", "k.dat", "--json"]) == 1
    check_errors = json.loads(capsys.readouterr().out)["errors"]
    assert run(["solve", "typo.mod", "k.dat", "--json"]) == 1
    captured = capsys.readouterr()
    assert json.loads(captured.out)["errors"] == check_errors
    assert captured.err == "tavro: typo.mod:2:13: ';' expected near 'minimize'\n"


def knapsack():
    from importlib.resources import files

    folder = files("tavro") / "kelm_models" / "knapsack"
    return solver.build_problem((folder / "knapsack.mod").read_text(), (folder / "knapsack.dat").read_text())


@pytest.mark.parametrize("gap, bound, line", [(0.05, 45.0, "gap: 5% (bound 45)"), (None, None, None)])
def test_a_limit_shows_the_gap_and_bound(gap, bound, line):
    problem = knapsack()
    solution = solver.Solution("limit", 42.0, message="Time limit reached.", x=[1.0] * problem.num_columns,
                               mip_gap=gap, mip_bound=bound)
    text = cli_solve.report(problem, solution)
    assert text.startswith("status: limit\nobjective (TotalValue): 42\n" + (line + "\n" if line else ""))
    assert text.endswith("solver: Time limit reached.\n")


def test_data_strings_cannot_forge_report_lines(pair, capsys):
    (pair / "f.mod").write_text("{string} S = ...;\ndvar float+ x[S] in 0..1;\nmaximize Total: sum(s in S) x[s];\n"
                                "subject to {\n  forall(s in S) Cap: x[s] <= 1;\n}\n")
    (pair / "f.dat").write_text('S = {"ok\\nstatus: infeasible", "\u202eevil", "\u2067x\u200f"};\n',
                                encoding="utf-8")
    assert run(["solve", "f.mod", "f.dat"]) == 0
    out = capsys.readouterr().out
    assert [line for line in out.splitlines() if line.startswith("status:")] == ["status: optimal"]
    assert "x[ok\\x0astatus: infeasible]" in out and "x[\\u202eevil]" in out and "Cap[\\u2067x\\u200f]" in out
    for char in "\u202e\u2067\u200f":
        assert char not in out


@pytest.mark.parametrize("text, shown", [
    ("a\u202eb\u2066c\u2069d\u200ee\u061cf", "a\\u202eb\\u2066c\\u2069d\\u200ee\\u061cf"),
    ("line\nnext\ttab", "line\nnext\ttab"),
])
def test_clean_escapes_bidirectional_controls(text, shown):
    assert output.clean(text) == shown
    assert output.clean(text, one_line=True) == shown.replace("\n", "\\x0a").replace("\t", "\\x09")
    assert json.loads('"%s"' % output.clean(text, json_text=True).replace("\n", "\\n").replace("\t", "\\t")) == text


def test_generate_solve_takes_mip_gap_and_says_when_nothing_compiled(stub, capsys):
    stub.script("POST", "/v1/responses", reply({"model": BAD_MODEL, "data": DATA}), reply("Broken."))
    assert run(["generate", "x", *GEN_ARGS, "--iterations", "1", "--solve", "--mip-gap", "0.1"]) == 3
    out, err = capsys.readouterr()
    assert "Solved: error" not in out and "Not solved: the model and data do not compile" in out
    assert "Not solved: the model and data do not compile (the errors follow on stderr)" in out
    assert "tavro: the final model and data do not compile:\nm.mod:2:13: ';' expected" in err


def test_generate_solve_passes_the_mip_gap(monkeypatch, capsys, provider_ready):
    fake = Recorder({"status": "optimal", "rounds": [], "estimated_costs": {}})
    monkeypatch.setattr(pipeline, "generate_and_solve", fake)
    assert run(["generate", "x", "-o", "m.mod", "-d", "m.dat", "--solve", "--mip-gap", "0.25", "--json"]) == 0
    assert fake.calls[0][1]["mip_gap"] == 0.25 and json.loads(capsys.readouterr().out)["compiled"] is True
    assert run(["generate", "x", "-o", "m.mod", "-d", "m.dat", "--solve", "--mip-gap", "-1"]) == 2


# ---- provider clients ---------------------------------------------------------------

def test_google_client_warnings_only_with_verbose(monkeypatch, tmp_path, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("GEMINI_API_KEY", "gm-test")
    (tmp_path / "m.mod").write_text(GOOD_MODEL)
    (tmp_path / "m.dat").write_text(DATA)

    def noisy(request):
        warnings.warn("All support for the `google.generativeai` package has ended.", FutureWarning)
        warnings.warn("You are using a Python version (3.10.12) past its end of life.", FutureWarning)
        warnings.warn("something the user should see", RuntimeWarning)
        return fakes.gemini_response(text=json.dumps({"feedback": "Fine."}))

    for verbose, expected in ((False, ["something the user should see"]),
                              (True, ["All support for the `google.generativeai` package has ended.",
                                      "You are using a Python version (3.10.12) past its end of life.",
                                      "something the user should see"])):
        fakes.install(monkeypatch, "google.generativeai", fakes.genai_module(noisy))
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            assert run(["feedback", "Ok?", "m.mod", "m.dat", "--model", "gemini-2.5-pro", "--offline"]
                       + (["--verbose"] if verbose else [])) == 0
        assert [str(w.message) for w in seen] == expected
    capsys.readouterr()


def test_gemini_key_missing_is_found_before_any_progress(monkeypatch, capsys, tmp_path):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("GEMINI_API_KEY", raising=False)
    fakes.install(monkeypatch, "google.generativeai", fakes.genai_module())
    assert run(["generate", "x", "-o", "m.mod", "-d", "m.dat", "--model", "gemini-2.5-pro"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("tavro: GEMINI_API_KEY environment variable not set. Set it")
    assert "`tavro keys set google`" in err and os.listdir(tmp_path) == []


def test_ollama_server_not_answering_is_found_first(monkeypatch, capsys, tmp_path):
    pytest.importorskip("ollama")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("OLLAMA_HOST", "http://127.0.0.1:9")
    assert run(["generate", "x", "-o", "m.mod", "-d", "m.dat", "--model", "llama3"]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("tavro: no Ollama server answers at 127.0.0.1:9 (")


@pytest.mark.parametrize("host, address", [
    ("", ("127.0.0.1", 11434)), ("0.0.0.0", ("0.0.0.0", 11434)), ("example.org:8080", ("example.org", 8080)),
    ("http://[::1]:7000/", ("::1", 7000)), ("https://ollama.example", ("ollama.example", 443)),
    (":5000", ("127.0.0.1", 5000)),
])
def test_ollama_address(host, address):
    from tavro.cli import preflight

    assert preflight.ollama_address(host) == address


def test_stored_key_reaches_the_provider_and_the_environment_wins(stub, monkeypatch, capsys):
    from tavro.cli import keystore

    keystore.store("openai", "sk-stored")
    monkeypatch.setenv("OPENAI_API_KEY", "")
    stub.script("POST", "/v1/responses", reply({"model": GOOD_MODEL, "data": DATA}), reply("Fine."))
    assert run(["generate", "x", *GEN_ARGS, "--offline"]) == 0
    monkeypatch.setenv("OPENAI_API_KEY", "sk-env")
    stub.script("POST", "/v1/responses", reply({"model": GOOD_MODEL, "data": DATA}), reply("Fine."))
    assert run(["generate", "x", *GEN_ARGS, "--offline"]) == 0
    keys = [r.headers.get("authorization") for r in stub.requests("POST", "/v1/responses")]
    assert keys == ["Bearer sk-stored"] * 2 + ["Bearer sk-env"] * 2
    capsys.readouterr()


def test_modelwright_still_reads_only_the_environment(monkeypatch):
    pytest.importorskip("openai")
    from tavro.cli import keystore

    keystore.store("openai", "sk-stored")
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(RuntimeError, match="OPENAI_API_KEY environment variable not set."):
        modelwright._llm_generate_text(provider=modelwright.LLMProvider.OPENAI, model_name="gpt-5",
                                       input_text="hi")
    assert "OPENAI_API_KEY" not in os.environ
