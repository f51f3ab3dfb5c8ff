"""The command line as a user meets it: JSON output, progress, early checks,
check/examples, against the real openai/ollama clients and the loopback stub."""

import io
import json
import os
import subprocess
import sys
from importlib import metadata
from importlib.resources import files

import pytest

from tavro import cli
from tavro import modelwright
from workflow_fakes import Recorder

stub_server = pytest.importorskip("stub_server")
Reply = stub_server.Reply

GOOD_MODEL = "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }\n"
GOOD_DATA = "a = 10;\nb= 5;\n"
BAD_MODEL = "float a;\nfloat b;\ndvar float x\nminimize z: a*x;\n"
PRICES = "| Model | Input ($/1M) | Output ($/1M) |\n|---|---|---|\n| gpt-5 | 1.25 | 10.00 |\n"
GEN_ARGS = ["-o", "m.mod", "-d", "m.dat", "--no-few-shot"]


def gen_reply(model, data=GOOD_DATA, p=100, c=40):
    return Reply.openai_text(json.dumps({"model": model, "data": data}), p, c)


def aligned_reply(text="Minimises 10x.", p=100, c=20):
    return Reply.openai_text(json.dumps({"aligned": True, "assessment": text}), p, c)


@pytest.fixture
def stub(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    table = tmp_path / "pricing.md"
    table.write_text(PRICES)
    monkeypatch.chdir(tmp_path)
    with stub_server.StubServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.openai_base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
        monkeypatch.setenv("OLLAMA_HOST", server.host)
        monkeypatch.setenv("TAVRO_PRICING", str(table))
        try:  # the ollama package binds its default client's host at import
            import ollama
        except ImportError:
            pass
        else:
            client = ollama.Client(host=server.host)
            monkeypatch.setattr(ollama, "generate", client.generate)
            monkeypatch.setattr(ollama, "list", client.list)
        yield server


def run(argv):
    try:
        return cli.main(argv)
    except SystemExit as e:
        return e.code


def test_generate_json_is_the_only_stdout_and_compiler_messages_show(stub, capsys, tmp_path):
    stub.script("POST", "/v1/responses", gen_reply(BAD_MODEL), gen_reply(GOOD_MODEL), aligned_reply())
    assert run(["generate", "Minimise 10x.", *GEN_ARGS, "--json"]) == 0
    out, err = capsys.readouterr()
    doc = json.loads(out)
    assert doc["iterations"] == 2 and doc["assessment"] == "Minimises 10x."
    assert (doc["model_file"], doc["data_file"]) == ("m.mod", "m.dat")
    assert [c["prompt_tokens"] for c in doc["calls"]] == [100, 100, 100]
    assert doc["totals"]["cost"] == pytest.approx(300 * 1.25e-6 + 100 * 10e-6)
    assert "Iteration 1/5: prompting model" in err and "Iteration" not in out
    # The compiler's own located message, not only the error count.
    assert "The compiler rejected this iteration's model:\n  m.mod:3:13:" in err
    assert "LLM call 1: openai gpt-5, " in err and "100 tokens in / 40 out, cost $0.000525" in err
    assert err.rstrip().endswith("Done: 2 iterations, 3 LLM calls, 300 tokens in / 100 out, estimated cost $0.001375")
    assert (tmp_path / "m.mod").read_text() == GOOD_MODEL
    # The hooks are gone once the command ends.
    assert modelwright._llm_generate_text.__name__ == "_llm_generate_text"
    assert not hasattr(modelwright._llm_generate_text, "__wrapped__")


def test_unknown_price_is_unknown_not_zero(stub, capsys):
    stub.script("POST", "/v1/responses", gen_reply(GOOD_MODEL))
    assert run(["generate", "x", *GEN_ARGS, "--no-alignment", "--model", "o9-mini", "--provider", "openai",
                "--iterations", "1"]) == 0
    err = capsys.readouterr().err
    assert "cost unknown" in err and "estimated cost unknown" in err and "$0.0000" not in err


def test_quiet_prints_only_the_result(stub, capsys):
    stub.script("POST", "/v1/responses", gen_reply(GOOD_MODEL), aligned_reply("Fine."))
    assert run(["generate", "x", *GEN_ARGS, "--quiet"]) == 0
    assert capsys.readouterr() == ("Fine.\n", "")


def test_ollama_never_loads_the_price_list(stub, capsys, monkeypatch):
    pytest.importorskip("ollama")
    monkeypatch.setenv("TAVRO_PRICING", "/nonexistent/pricing.md")
    stub.script("POST", "/api/generate",
                Reply.json(stub_server.ollama_generate_body(json.dumps({"model": GOOD_MODEL, "data": GOOD_DATA}))))
    assert run(["generate", "x", *GEN_ARGS, "--no-alignment", "--model", "llama3", "--json"]) == 0
    out, err = capsys.readouterr()
    assert json.loads(out)["cost"]["estimated_costs"] == {}
    assert "local model (no charge)" in err and "pricing" not in err.lower()


def test_ollama_unknown_model_suggestion_and_verbose_log(stub, capsys):
    pytest.importorskip("ollama")
    stub.script("POST", "/api/generate", Reply.ollama_error(404, "model 'llama9' not found, try pulling it first"))
    assert run(["generate", "x", *GEN_ARGS, "--provider", "ollama", "--model", "llama9", "--verbose"]) == 1
    err = capsys.readouterr().err
    assert err.rstrip().splitlines()[-1].endswith("; did you mean 'llama3:8b'?")
    assert "LLM call" not in err and "Stopped after" not in err  # the call failed: nothing was spent
    assert "tavro.modelwright: Iteration 1/5" in err  # the debug log
    assert len(stub.requests("POST", "/api/generate")) == 1


def test_feedback_reports_the_usage_it_received(stub, pair, capsys):
    feedback_reply(stub, {"feedback": "Fine as it is."})
    assert run(["feedback", "Ok?", "m.mod", "m.dat", "--model", "llama3", "--write"]) == 0
    out, err = capsys.readouterr()
    assert out.endswith("Feedback received; parsing\nFine as it is.\n")
    assert "no revision proposed; files unchanged" in err
    assert err.rstrip().endswith("Done: 1 LLM call, 26 tokens in / 290 out, local model (no charge)")


@pytest.mark.parametrize("argv", [
    ["generate", "x", *GEN_ARGS, "--provider", "opneai"],
    ["feedback", "Why?", "m.mod", "m.dat", "--provider", "olama"],
    ["models", "--provider", "gemeni"],
])
def test_misspelt_provider_is_a_usage_error_before_any_request(stub, capsys, argv):
    assert run(argv) == 2
    err = capsys.readouterr().err
    expected = {"opneai": "openai", "olama": "ollama", "gemeni": "gemini"}[argv[-1]]
    assert "unknown provider '%s'; did you mean '%s'?" % (argv[-1], expected) in err
    assert stub.log == []


@pytest.mark.parametrize("extra, message", [
    (["--iterations", "0"], "0 is outside 1..100"),
    (["--iterations", "101"], "101 is outside 1..100"),
    (["--iterations", "two"], "'two' is not a whole number"),
])
def test_iteration_budget_is_checked(stub, capsys, extra, message):
    assert run(["generate", "x", *GEN_ARGS, *extra]) == 2
    assert message in capsys.readouterr().err and stub.log == []


@pytest.fixture
def fake_solve(monkeypatch, provider_ready):
    rec = Recorder(lambda *a, **k: "ok")
    monkeypatch.setattr(modelwright, "generative_solve", rec)
    return rec


@pytest.mark.parametrize("stdin, extra, code, message", [
    ("  \n\t", [], 2, "the problem description is empty"),
    ("x" * 100_001, [], 2, "has 100001 characters (more than 100000)"),
    ("x" * 100_001, ["--force"], 0, ""),
    ("Make chairs.\n", [], 0, ""),
])
def test_description_from_stdin_and_its_checks(fake_solve, monkeypatch, capsys, stdin, extra, code, message):
    monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    assert run(["generate", "-f", "-", *GEN_ARGS, *extra]) == code
    assert message in capsys.readouterr().err
    assert [c[0][0] for c in fake_solve.calls] == ([stdin] if code == 0 else [])


def test_unknown_model_gets_a_suggestion_from_the_free_listing(stub, capsys, monkeypatch):
    monkeypatch.setattr(modelwright, "sleep", lambda s: None)
    stub.set_default("POST", "/v1/responses", Reply.error(
        404, "The model `gpt-55` does not exist or you do not have access to it.", code="model_not_found"))
    assert run(["generate", "x", *GEN_ARGS, "--model", "gpt-55", "--json"]) == 1
    out, err = capsys.readouterr()
    last = err.rstrip().splitlines()[-1]
    assert last.startswith("tavro: OpenAI request failed") and last.endswith("did you mean 'gpt-5'?")
    assert json.loads(out)["error"].endswith("did you mean 'gpt-5'?")
    # The library's own three attempts, then one free listing: no extra generation call.
    assert len(stub.requests("POST", "/v1/responses")) == 3 and len(stub.requests("GET", "/v1/models")) == 1


@pytest.mark.parametrize("module, provider, line", [
    ("openai", "openai", "the openai client package is not installed: pip install 'tavro[openai]'"),
    ("ollama", "ollama", "the ollama client package is not installed: pip install 'tavro[ollama]'"),
    ("google.generativeai", "google",
     "the google.generativeai client package is not installed: pip install 'tavro[gemini]'"),
])
def test_missing_client_names_the_extra(monkeypatch, capsys, module, provider, line):
    monkeypatch.setitem(sys.modules, module, None)
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    monkeypatch.setenv("GEMINI_API_KEY", "gm-test")
    assert run(["models", "--provider", provider]) == 1
    assert capsys.readouterr().err == "tavro: %s\n" % line


@pytest.fixture
def pair(tmp_path):
    (tmp_path / "m.mod").write_text(GOOD_MODEL)
    (tmp_path / "m.dat").write_text(GOOD_DATA)
    return tmp_path


def feedback_reply(stub, answer):
    stub.script("POST", "/api/generate", Reply.json(stub_server.ollama_generate_body(json.dumps(answer))))


def test_feedback_write_saves_the_revision(stub, pair, capsys):
    revised = GOOD_MODEL.replace("dvar float x;", "dvar float x in 0..3;")
    feedback_reply(stub, {"feedback": "Bound x.", "revised_model": revised})
    assert run(["feedback", "Bound?", "m.mod", "m.dat", "--model", "llama3", "--write", "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["written"] == ["m.mod"] and doc["feedback"] == "Bound x."
    assert (pair / "m.mod").read_text() == revised and (pair / "m.dat").read_text() == GOOD_DATA
    assert [p.name for p in pair.iterdir() if p.name.endswith(".tmp")] == []


def test_feedback_write_keeps_files_when_the_revision_does_not_compile(stub, pair, capsys):
    feedback_reply(stub, {"feedback": "Try this.", "revised_model": BAD_MODEL})
    assert run(["feedback", "Bound?", "m.mod", "m.dat", "--model", "llama3", "--write"]) == 1
    err = capsys.readouterr().err
    assert "do not compile, so m.mod and m.dat were left unchanged" in err and "model:3:13:" in err
    assert "Stopped after 1 LLM call, 26 tokens in / 290 out, local model (no charge)\ntavro: " in err
    assert (pair / "m.mod").read_text() == GOOD_MODEL


def test_models_and_estimate_json(stub, capsys, tmp_path):
    assert run(["models", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == {"provider": "openai", "models": ["gpt-5"]}
    from tavro import tokenmeter

    before = tokenmeter.PRICING_URL
    assert run(["estimate", "gpt-5", "--pricing", os.environ["TAVRO_PRICING"], "--json"]) == 0
    assert tokenmeter.PRICING_URL == before
    doc = json.loads(capsys.readouterr().out)
    assert doc["usage"] == {"prompt_tokens": 21549, "completion_tokens": 7091} and doc["price_known"] is True
    assert doc["estimated_costs"]["total_cost"] == pytest.approx(21549 * 1.25e-6 + 7091 * 10e-6)
    assert run(["estimate", "o9", "--pricing", os.environ["TAVRO_PRICING"]]) == 1
    out, err = capsys.readouterr()
    assert "'total_cost': 0.0" in out and err == "tavro: model o9 is not in the price list (%s)\n" % (
        os.environ["TAVRO_PRICING"])


@pytest.mark.parametrize("model, code, lines", [
    (GOOD_MODEL, 0, ["ok: 0 sets, 2 parameters, 1 variable, 1 constraint (after instantiation)"]),
    (BAD_MODEL, 1, ["m.mod:3:13:"]),
    ("float a;\nfloat b;\ndvar float x;\nminimize z: a*y;\nsubject to { c*x >= 0; }\n", 1,
     ["m.mod:4:15:", "m.mod:5:14:", "2 errors"]),
])
def test_check(pair, capsys, model, code, lines):
    (pair / "m.mod").write_text(model)
    assert run(["check", str(pair / "m.mod"), str(pair / "m.dat")]) == code
    out = capsys.readouterr().out.replace(str(pair) + os.sep, "")
    for line in lines:
        assert line in out
    assert run(["check", str(pair / "m.mod"), str(pair / "m.dat"), "--json"]) == code
    doc = json.loads(capsys.readouterr().out)
    assert doc["ok"] is (code == 0)
    assert all(e["file"] == str(pair / "m.mod") and e["line"] > 0 for e in doc["errors"])


def test_examples_list_and_copy(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert run(["examples", "--json"]) == 0
    names = {e["name"]: e for e in json.loads(capsys.readouterr().out)["examples"]}
    assert {"diet", "knapsack", "sample_problem"} <= set(names)
    assert names["diet"]["summary"].startswith("A hospital kitchen")
    assert run(["examples", "diet"]) == 0
    assert capsys.readouterr().out == "wrote diet.txt\nwrote diet.mod\nwrote diet.dat\n"
    assert run(["check", "diet.mod", "diet.dat"]) == 0
    (tmp_path / "diet.mod").write_text("mine")
    assert run(["examples", "diet"]) == 1
    assert "already exist; pass --force" in capsys.readouterr().err
    assert (tmp_path / "diet.mod").read_text() == "mine"
    assert run(["examples", "diet", "--force"]) == 0 and (tmp_path / "diet.mod").read_text() != "mine"
    assert run(["examples", "deit"]) == 2
    assert "no example named 'deit'; did you mean 'diet'?" in capsys.readouterr().err


def test_version_and_shipped_sample(capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(["--version"])
    assert info.value.code == 0 and capsys.readouterr().out == "tavro %s\n" % metadata.version("tavro")
    import tavro

    assert tavro.__version__ == metadata.version("tavro")
    from conftest import ROOT

    shipped = files("tavro") / "data" / "sample_problem.txt"
    assert shipped.read_text(encoding="utf-8") == (ROOT / "examples" / "sample_problem.txt").read_text(encoding="utf-8")


def test_piped_run_has_no_escape_sequences(tmp_path):
    pytest.importorskip("openai")
    table = tmp_path / "pricing.md"
    table.write_text(PRICES)
    with stub_server.StubServer() as stub:
        stub.script("POST", "/v1/responses", gen_reply(BAD_MODEL), gen_reply(GOOD_MODEL),
                    aligned_reply("Looks \x1b[31mred\x1b[0m."))
        env = dict(os.environ, OPENAI_BASE_URL=stub.openai_base_url, OPENAI_API_KEY="sk-test",
                   TAVRO_PRICING=str(table), TERM="xterm-256color")
        proc = subprocess.run([sys.executable, "-m", "tavro", "generate", "x", *GEN_ARGS], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "\x1b" not in proc.stdout + proc.stderr and "\r" not in proc.stdout + proc.stderr
    assert proc.stdout.rstrip().endswith("Looks \\x1b[31mred\\x1b[0m.")
    assert "LLM call 3: openai gpt-5" in proc.stderr and "m.mod:3:13:" in proc.stderr


def test_guide_language_examples_compile():
    """The guide's model/data pairs are real Tavro: each pair compiles."""
    import re

    from conftest import ROOT
    from tavro.tavro_core import KelmCompiler

    guide = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
    section = guide.split("## The language by example", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```\n(.*?)```", section, re.S)
    assert len(blocks) == 8  # four model/data pairs
    for model, data in zip(blocks[::2], blocks[1::2]):
        KelmCompiler().compile_model(model, data)


class _Tty(io.StringIO):
    def isatty(self):
        return True


def test_terminal_output_goes_through_rich(monkeypatch):
    import re

    from tavro.cli import output
    from tavro.semantic_error import SemanticError

    screen = _Tty()
    monkeypatch.setattr(sys, "stderr", screen)
    monkeypatch.setenv("TERM", "xterm-256color")
    with output.Reporter() as rep:
        assert rep.terminal
        rep.progress("Iteration 1/2: prompting model")
        rep.progress("[LLM] Ollama \u2022 llama3: generating")
        rep.call_started(modelwright.LLMProvider.OLLAMA, "llama3")
        rep.call_finished({"prompt_tokens": 26, "completion_tokens": 290})
        rep.compile_failed(SemanticError("model:3:13: ';' expected\nmodel:4:1: unknown name 'y'"))
        rep.summary()
    raw = screen.getvalue()
    text = re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", raw)
    assert "\x1b[" in raw  # drawn, not plain
    assert "generating" not in text  # the spinner line says it
    for line in ["Iteration 1/2: prompting model", "26 tokens in / 290 out, local model (no charge)",
                 "  model:3:13: ';' expected", "  model:4:1: unknown name 'y'",
                 "Done: 1 iteration, 1 LLM call, 26 tokens in / 290 out, local model (no charge)"]:
        assert line in text


def test_a_candidates_cost_record_is_shown_in_words(capsys):
    from tavro.cli import output

    record = ("{'model': 'gpt-5', 'usage': {'prompt_tokens': 2000, 'completion_tokens': 1000}, "
              "'estimated_costs': {'prompt_cost': 0.0025, 'completion_cost': 0.01, 'total_cost': 0.0125}}")
    rep = output.Reporter(terminal=False)
    rep.progress("[candidate 2/3] [LLM] Estimated costs: " + record)
    rep.progress("[LLM] Estimated costs: " + record)
    assert capsys.readouterr().out.splitlines() == [
        "[candidate 2/3] [LLM] Estimated costs: $0.0125 (gpt-5, 2000 tokens in / 1000 out)",
        "[LLM] Estimated costs: $0.0125 (gpt-5, 2000 tokens in / 1000 out)"]


@pytest.mark.parametrize("cost, text", [
    (None, "unknown"), (0.0, "$0.0000"), (0.000525, "$0.000525"), (0.005, "$0.005"), (0.0958, "$0.0958"),
    (12.3456, "$12.35"),
])
def test_cost_text(cost, text):
    from tavro.cli.output import format_cost

    assert format_cost(cost) == text


def test_examples_show_recorded_optima(tmp_path, monkeypatch, capsys):
    from tavro import _examples

    for name, solution in [("boxes", '{"status": "optimal", "sense": "maximize", "objective": 42.5}'),
                           ("crates", None), ("broken", "{not json")]:
        folder = tmp_path / name
        folder.mkdir()
        for ext in (".txt", ".mod", ".dat"):
            (folder / (name + ext)).write_text("About %s.\n" % name)
        if solution is not None:
            (folder / "solution.json").write_text(solution)
    monkeypatch.setattr(_examples, "_library", lambda: tmp_path)
    assert run(["examples"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split()[:3] for line in lines[:3]] == [["boxes", "max", "42.5"], ["broken", "-", "About"],
                                                        ["crates", "-", "About"]]
