"""The tavro command line: generate, feedback and models."""

import json
import os
import subprocess
import sys

import pytest

from tavro import cli
from tavro import modelwright
from workflow_fakes import Recorder


@pytest.fixture
def fake_solve(monkeypatch, provider_ready):
    def solve(*args, **kwargs):
        kwargs["progress"]("step one")
        kwargs["progress"]("step two")
        if kwargs["return_statistics"]:
            return {"iterations": 1, "assessment": "fine", "syntax_errors": [], "cost": {"model": "m"}}
        return "The model matches the description."

    rec = Recorder(solve)
    monkeypatch.setattr(modelwright, "generative_solve", rec)
    return rec


def test_generate_prints_progress_then_assessment(fake_solve, capsys):
    assert cli.main(["generate", "Make chairs.", "-o", "m.mod", "-d", "m.dat"]) == 0
    assert capsys.readouterr().out == "step one\nstep two\nThe model matches the description.\n"
    (args, kwargs), = fake_solve.calls
    # The pair is written through temporaries beside the files, replaced together at the end.
    assert len(args) == 3 and args[0] == "Make chairs."
    assert args[1].startswith(".m.mod.") and args[2].startswith(".m.dat.")
    progress = kwargs.pop("progress")
    assert callable(progress)
    assert kwargs == {"model_name": "gpt-5", "mode": modelwright.Grammar.BNF, "return_statistics": False,
                      "alignment_check": None, "llm_provider": None, "few_shot": True}


def test_generate_options(fake_solve, capsys, tmp_path):
    desc = tmp_path / "p.txt"
    desc.write_text("Ship <boxes> \"fast\".", encoding="utf-8")
    argv = ["generate", "-f", str(desc), "-o", "a.mod", "-d", "a.dat", "--provider", "ollama", "--model",
            "llama3", "--iterations", "3", "--no-alignment", "--no-few-shot", "--mode", "code", "--stats"]
    assert cli.main(argv) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[:2] == ["step one", "step two"]
    assert json.loads("\n".join(out[2:]))["assessment"] == "fine"
    (args, kwargs), = fake_solve.calls
    assert args[0] == 'Ship <boxes> "fast".'
    assert {k: kwargs[k] for k in ("model_name", "mode", "iterations", "return_statistics", "alignment_check",
                                   "llm_provider", "few_shot")} == {
        "model_name": "llama3", "mode": modelwright.Grammar.CODE, "iterations": 3, "return_statistics": True,
        "alignment_check": False, "llm_provider": "ollama", "few_shot": False}


@pytest.mark.parametrize("argv", [
    ["generate", "-o", "m.mod", "-d", "m.dat"],
    ["generate", "x", "-f", "p.txt", "-o", "m.mod", "-d", "m.dat"],
    ["generate", "x", "-o", "m.mod"],
    ["generate", "x", "-o", "m.mod", "-d", "m.dat", "--mode", "ebnf"],
])
def test_generate_usage_errors(fake_solve, argv, capsys):
    with pytest.raises(SystemExit) as info:
        cli.main(argv)
    assert info.value.code == 2 and fake_solve.calls == []


@pytest.mark.parametrize("error, line", [
    (RuntimeError("OPENAI_API_KEY environment variable not set."),
     "tavro: OPENAI_API_KEY environment variable not set.\n"),
    (ConnectionError(), "tavro: ConnectionError\n"),
])
def test_errors_are_one_line(monkeypatch, capsys, provider_ready, error, line):
    monkeypatch.setattr(modelwright, "generative_solve", Recorder(lambda *a, **k: (_ for _ in ()).throw(error)))
    assert cli.main(["generate", "x", "-o", "m.mod", "-d", "m.dat"]) == 1
    captured = capsys.readouterr()
    assert captured.err == line and captured.out == ""


def test_missing_description_file(capsys, tmp_path):
    with pytest.raises(SystemExit) as info:
        cli.main(["generate", "-f", str(tmp_path / "none.txt"), "-o", "m.mod", "-d", "m.dat"])
    assert info.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == (
        "tavro generate: error: cannot read %s: No such file or directory" % (tmp_path / "none.txt"))


def test_feedback_and_models(monkeypatch, capsys, provider_ready, tmp_path):
    monkeypatch.chdir(tmp_path)
    for name in ("m.mod", "m.dat"):
        (tmp_path / name).write_text("")
    fb = Recorder({"feedback": "Add a bound.", "revised_model": "var x <= 3;"})
    monkeypatch.setattr(modelwright, "generative_feedback", fb)
    lm = Recorder(["gpt-4o", "gpt-5"])
    monkeypatch.setattr(modelwright, "list_models", lm, raising=False)
    assert cli.main(["feedback", "Why?", "m.mod", "m.dat", "--model", "gpt-4o"]) == 0
    assert json.loads(capsys.readouterr().out) == {"feedback": "Add a bound.", "revised_model": "var x <= 3;"}
    (args, kwargs), = fb.calls
    assert args == ("Why?", "m.mod", "m.dat")
    assert (kwargs["model_name"], kwargs["llm_provider"]) == ("gpt-4o", None)
    assert cli.main(["models", "--provider", "openai"]) == 0
    assert capsys.readouterr().out == "gpt-4o\ngpt-5\n"
    assert lm.calls == [(("openai", "gpt-5"), {})]


def run_tavro(tmp_path, *argv):
    env = {k: v for k, v in os.environ.items() if k not in ("OPENAI_API_KEY", "OPENAI_BASE_URL")}
    return subprocess.run([sys.executable, "-m", "tavro", *argv], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("argv", [
    ["generate", "Make chairs.", "-o", "out/m.mod", "-d", "out/m.dat", "--no-few-shot"],
    ["models"],
])
def test_without_credentials(tmp_path, argv):
    proc = run_tavro(tmp_path, *argv)
    assert proc.returncode == 1
    # One line with the remedies, before the first progress line.
    assert proc.stderr.startswith("tavro: OPENAI_API_KEY environment variable not set. ")
    assert proc.stderr.count("\n") == 1 and proc.stdout == ""
    assert "`tavro keys set openai`" in proc.stderr and "--provider ollama --model llama3" in proc.stderr
