"""The workflows end to end: the real openai and ollama client packages
against the loopback stub server, with the real compiler, prompts and parser."""

import json
import os
import subprocess
import sys

import pytest

from tavro import modelwright

stub_server = pytest.importorskip("stub_server")
Reply = stub_server.Reply

GOOD_MODEL = "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }\n"
GOOD_DATA = "a = 10;\nb= 5;\n"
BAD_MODEL = "float a;\nfloat b;\ndvar float x\nminimize z: a*x;\n"


@pytest.fixture
def openai_stub(monkeypatch, tmp_path):
    pytest.importorskip("openai")
    # Price from a local table: no estimate ever reaches the network.
    from tavro import tokenmeter

    table = tmp_path / "pricing.md"
    table.write_text("| Model | Input ($/1M) | Output ($/1M) |\n|---|---|---|\n| gpt-5 | 1.25 | 10.00 |\n")
    monkeypatch.setattr(tokenmeter, "PRICING_URL", str(table))
    with stub_server.StubServer() as stub:
        monkeypatch.setenv("OPENAI_BASE_URL", stub.openai_base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
        yield stub


def test_solve_revises_until_it_compiles_and_aligns(openai_stub, monkeypatch, tmp_path):
    openai_stub.script(
        "POST", "/v1/responses",
        Reply.openai_text(json.dumps({"model": BAD_MODEL, "data": GOOD_DATA}), 100, 40),
        Reply.openai_text("Fixed:\n```json\n" + json.dumps({"model": GOOD_MODEL, "data": GOOD_DATA}) + "\n```",
                          120, 50),
        Reply.openai_text(json.dumps({"aligned": True, "assessment": " Minimises 10x subject to 5x >= 0. "}),
                          80, 10),
    )
    model_file, data_file = tmp_path / "out" / "m.mod", tmp_path / "out" / "m.dat"
    progress = []
    stats = modelwright.generative_solve("Minimise 10x subject to 5x >= 0.", str(model_file), str(data_file),
                                         few_shot=False, return_statistics=True, progress=progress.append)
    assert stats["iterations"] == 2
    assert stats["assessment"] == "Minimises 10x subject to 5x >= 0."
    assert stats["syntax_errors"] == []
    assert stats["cost"]["usage"] == {"prompt_tokens": 300, "completion_tokens": 100}
    assert stats["cost"]["estimated_costs"] == pytest.approx(
        {"prompt_cost": 300 * 1.25e-6, "completion_cost": 100 * 10e-6, "total_cost": 300 * 1.25e-6 + 1e-3})
    assert model_file.read_text() == GOOD_MODEL and data_file.read_text() == GOOD_DATA
    sent = openai_stub.requests("POST", "/v1/responses")
    assert len(sent) == 3 and all(r.json["model"] == "gpt-5" for r in sent)
    assert BAD_MODEL in sent[1].json["input"] and "model:3:13:" in sent[1].json["input"]
    assert "Syntax/semantic errors found: 1; revising..." in progress
    assert progress.index("Aligned \u2713 Stopping.") < progress.index("Generation complete")


def test_feedback_through_ollama_command_line(tmp_path):
    pytest.importorskip("ollama")
    (tmp_path / "m.mod").write_text(GOOD_MODEL)
    (tmp_path / "m.dat").write_text(GOOD_DATA)
    answer = {"feedback": "Give x an upper bound.", "revised_model": GOOD_MODEL + "// bounded\n"}
    with stub_server.StubServer() as stub:
        stub.script("POST", "/api/generate", Reply.json(stub_server.ollama_generate_body(json.dumps(answer))))
        env = dict(os.environ, OLLAMA_HOST=stub.host)
        proc = subprocess.run([sys.executable, "-m", "tavro", "feedback", "Is x bounded?", "m.mod", "m.dat",
                               "--provider", "ollama", "--model", "llama3"],
                              cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
        sent = stub.requests("POST", "/api/generate")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    start = lines.index("{")
    assert lines[:start] == ["Generating feedback from LLM", "[LLM] Ollama \u2022 llama3: generating",
                             "[LLM] Ollama: response received", "Feedback received; parsing"]
    assert json.loads("\n".join(lines[start:])) == answer
    assert len(sent) == 1 and sent[0].json["model"] == "llama3"
    assert "Is x bounded?" in sent[0].json["prompt"] and GOOD_MODEL in sent[0].json["prompt"]
