"""docs/guide.md runs as written: every shell command (`$ ...` lines) in one
shell session, then every Python snippet, in a fresh folder, against the
loopback stub (OpenAI and Ollama routes) with the bundled price list. The
output a command's example shows must appear in what it prints, except for
the commands that call an LLM (their figures vary) and lines elided with
"...". Commands that need the network (pip) are counted but not run."""

import json
import os
import re
import subprocess
import sys
from importlib.resources import files

import pytest

from conftest import ROOT

stub_server = pytest.importorskip("stub_server")

GUIDE = ROOT / "docs" / "guide.md"
NEEDS_NETWORK = ("pip install",)
# Their output in the guide is an illustration: tokens, times and costs vary.
CALLS_AN_LLM = ("tavro generate", "tavro feedback", "tavro eval", "tavro models")
STATUS = "@@guide-status "


def code_blocks(text):
    """(language, body) of every fenced block."""
    return re.findall(r"^```(\w*)\n(.*?)^```", text, re.S | re.M)


def shell_commands(body):
    """(command, shown output lines) of each `$ ` line of a block."""
    commands = []
    for line in body.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        elif commands and line.strip():
            commands[-1][1].append(line)
    return commands


def diet_pair():
    folder = files("tavro") / "kelm_models" / "diet"
    return (folder / "diet.mod").read_text(encoding="utf-8"), (folder / "diet.dat").read_text(encoding="utf-8")


def answer(prompt):
    """What a cooperative LLM says to each of the package's prompts."""
    model, data = diet_pair()
    if "What-if scenario:" in prompt:
        return json.dumps({"feedback": "Doubled the price of milk.",
                           "revised_data": data.replace("[0.30, 0.25,", "[0.30, 0.50,")})
    if "Answer the user's question about the provided Tavro model" in prompt:
        return json.dumps({"feedback": "Yes: servings may be fractional portions."})
    if "Explain the answer of a solved optimisation model" in prompt:
        return "Milk is the cheapest source of calcium."
    if "Assess whether the generated Tavro model" in prompt:
        return json.dumps({"aligned": True, "assessment": "The model matches the description."})
    if "Assess how well the generated Tavro model" in prompt:
        return "The model matches the description."
    if "Describe in one paragraph how a scenario changed the answer" in prompt:
        return "Dearer milk makes the menu dearer."
    return json.dumps({"model": model, "data": data})


def respond(request):
    body = request.json
    if request.path == "/api/generate":
        return stub_server.Reply.json(stub_server.ollama_generate_body(answer(body["prompt"])))
    return stub_server.Reply.openai_text(answer(body["input"]), 1200, 300)


def run_shell(commands, folder, env):
    script = ["exec 2>&1"]
    for command, _ in commands:
        script += [command, 'echo "%s$?"' % STATUS]
    proc = subprocess.run(["bash", "-c", "\n".join(script)], cwd=folder, env=env, capture_output=True, text=True,
                          timeout=600)
    outputs, current = [], []
    for line in proc.stdout.splitlines():
        if line.startswith(STATUS):
            outputs.append((int(line[len(STATUS):]), current))
            current = []
        else:
            current.append(line)
    return outputs


def test_every_command_and_snippet_runs_as_written(tmp_path, capsys):
    pytest.importorskip("openai")
    pytest.importorskip("ollama")
    blocks = code_blocks(GUIDE.read_text(encoding="utf-8"))
    commands = [c for lang, body in blocks if not lang for c in shell_commands(body)]
    snippets = [body for lang, body in blocks if lang == "python"]
    runnable = [c for c in commands if not c[0].startswith(NEEDS_NETWORK)]
    folder = tmp_path / "work"
    folder.mkdir()
    with stub_server.StubServer() as stub:
        stub.set_default("POST", "/v1/responses", respond)
        stub.set_default("POST", "/api/generate", respond)
        env = {k: v for k, v in os.environ.items() if k not in ("GEMINI_API_KEY", "TAVRO_PRICING")}
        env.update(PATH=os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", ""),
                   OPENAI_BASE_URL=stub.openai_base_url, OPENAI_API_KEY="sk-test", OLLAMA_HOST=stub.host,
                   TAVRO_OFFLINE="1", TERM="dumb")
        outputs = run_shell(runnable, folder, env)
        failures = []
        assert len(outputs) == len(runnable), outputs[-1:]
        for (command, shown), (status, printed) in zip(runnable, outputs):
            if status != 0:
                failures.append("$ %s -> exit %d:\n%s" % (command, status, "\n".join(printed[-5:])))
            elif not command.startswith(CALLS_AN_LLM):
                missing = [line for line in shown if "..." not in line
                           and line.rstrip() not in [p.rstrip() for p in printed]]
                if missing:
                    failures.append("$ %s printed no %r" % (command, missing))
        for k, snippet in enumerate(snippets):
            path = folder / ("snippet_%d.py" % k)
            path.write_text(snippet, encoding="utf-8")
            proc = subprocess.run([sys.executable, str(path)], cwd=folder, env=env, capture_output=True, text=True,
                                  timeout=300)
            if proc.returncode != 0:
                failures.append("snippet %d:\n%s\n%s" % (k, snippet, proc.stderr[-2000:]))
    with capsys.disabled():
        print("\ndocs/guide.md: %d of %d shell commands ran (%d need the network), %d of %d Python snippets ran"
              % (len(runnable), len(commands), len(commands) - len(runnable), len(snippets), len(snippets)))
    assert not failures, "\n\n".join(failures)
    assert len(runnable) >= 10 and len(snippets) >= 7
