"""The command line tells the truth and loses nothing: output paths checked
before any paid request, the exit status of a run whose final pair does not
compile, the earlier compiling pair kept, unknown models in `estimate`, LLM
text escaped on the terminal, and --timeout."""

import json
import os
import subprocess
import sys
import time

import pytest

from tavro import cli
from tavro.cli import output
from tavro import modelwright, tokenmeter
from workflow_fakes import Recorder

stub_server = pytest.importorskip("stub_server")
Reply = stub_server.Reply
from slow_server import SlowServer  # noqa: E402

GOOD_MODEL = "float a;\ndvar float x;\nminimize z: a*x;\nsubject to { x >= 0; }\n"
BAD_MODEL = "float a;\ndvar float x\nminimize z: a*x;\n"
DATA = "a = 1;\n"


def reply(obj):
    return Reply.openai_text(obj if isinstance(obj, str) else json.dumps(obj))


@pytest.fixture
def stub(tmp_path):
    pytest.importorskip("openai")
    table = tmp_path.parent / (tmp_path.name + "-pricing.md")  # outside the folder the tests list
    table.write_text("| Model | Prompt per 1M | Completion per 1M |\n|---|---|---|\n| gpt-5 | 1 | 2 |\n")
    with stub_server.StubServer() as server:
        server.pricing = str(table)
        yield server


def tavro(server, cwd, *argv, warm=False, **env):
    """Runs `tavro ARGV` against the stub, pricing from a local table; with
    `warm`, the openai client has made its first requests before."""
    code = ("import sys; from tavro import tokenmeter, cli as m; tokenmeter.PRICING_URL = sys.argv[1]; "
            "sys.exit(m.main(sys.argv[2:]))")
    if warm:
        code = "import sys; sys.path.insert(0, %r); import loop_support; loop_support.warm_openai()\n%s" % (
            os.path.dirname(os.path.abspath(__file__)), code)
    full_env = dict(os.environ, OPENAI_API_KEY="sk-test", OPENAI_BASE_URL=server.openai_base_url, **env)
    return subprocess.run([sys.executable, "-c", code, server.pricing, *argv], cwd=cwd, env=full_env,
                          capture_output=True, text=True, timeout=60)


# ---- output paths ---------------------------------------------------------

@pytest.fixture
def fake_solve(monkeypatch, provider_ready):
    rec = Recorder("fine")
    monkeypatch.setattr(modelwright, "generative_solve", rec)
    return rec


@pytest.mark.parametrize("model, data, message", [
    ("adir", "m.dat", "argument -o: cannot write adir: it is a folder"),
    ("m.mod", "adir", "argument -d: cannot write adir: it is a folder"),
    ("out/", "m.dat", "argument -o: cannot write out/: it is a folder"),
    ("/proc/x/s.mod", "m.dat", "argument -o: cannot write /proc/x/s.mod: No such file or directory"),
    ("m.mod", "plain/sub/m.dat", "argument -d: cannot write plain/sub/m.dat: {tmp}/plain is not a folder"),
    ("m.mod", "./m.mod", "-o and -d name the same file"),
])
def test_bad_output_paths_are_usage_errors(fake_solve, tmp_path, monkeypatch, capsys, model, data, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "adir").mkdir()
    (tmp_path / "plain").write_text("a file")
    with pytest.raises(SystemExit) as info:
        cli.main(["generate", "x", "-o", model, "-d", data])
    assert info.value.code == 2 and fake_solve.calls == []
    assert capsys.readouterr().err.splitlines()[-1] == "tavro generate: error: " + message.format(tmp=tmp_path)
    assert sorted(os.listdir(tmp_path)) == ["adir", "plain"]


def test_paths_that_can_be_created_pass(fake_solve, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert cli.main(["generate", "x", "-o", "new/deeper/m.mod", "-d", str(tmp_path / "m.dat")]) == 0
    assert len(fake_solve.calls) == 1 and os.listdir(tmp_path) == []


def read_only_folder(tmp_path):
    if os.geteuid() == 0:  # root writes through permission bits; /sys refuses even root
        return "/sys"
    folder = tmp_path / "ro"
    folder.mkdir()
    folder.chmod(0o555)
    return str(folder)


@pytest.mark.parametrize("option", ["-o", "-d"])
def test_unwritable_folder_sends_no_request(stub, tmp_path, option):
    target = os.path.join(read_only_folder(tmp_path), "s.mod")
    paths = {"-o": "ok.mod", "-d": "ok.dat", option: target}
    proc = tavro(stub, tmp_path, "generate", "x", "-o", paths["-o"], "-d", paths["-d"], "--no-few-shot")
    assert proc.returncode == 2
    assert proc.stderr.splitlines()[-1].startswith("tavro generate: error: argument %s: cannot write %s: "
                                                   % (option, target))
    assert stub.requests() == []


# ---- exit status and the kept pair ---------------------------------------

def test_final_pair_that_does_not_compile_exits_3_and_keeps_the_compiling_one(stub, tmp_path):
    stub.script("POST", "/v1/responses",
                reply({"model": GOOD_MODEL, "data": DATA}),
                reply({"aligned": False, "assessment": "Misses the bound."}),
                reply({"model": BAD_MODEL, "data": DATA + "b = 2;\n"}),
                reply("The last model has a syntax error."))
    proc = tavro(stub, tmp_path, "generate", "x", "-o", "out/s.mod", "-d", "out/s.dat", "--no-few-shot",
                 "--iterations", "2", "--quiet")
    assert proc.returncode == 3, proc.stderr
    assert proc.stdout.splitlines()[-1] == "The last model has a syntax error."
    assert proc.stderr.splitlines() == [
        "tavro: the final model and data do not compile:",
        "out/s.mod:2:13: ';' expected near 'minimize'",
        "tavro: files written: out/s.mod and out/s.dat",
        "tavro: the last model and data that compiled are kept in out/s.compiled.mod and out/s.compiled.dat",
    ]
    out = tmp_path / "out"
    assert (out / "s.mod").read_text() == BAD_MODEL and (out / "s.dat").read_text() == DATA + "b = 2;\n"
    assert (out / "s.compiled.mod").read_text() == GOOD_MODEL and (out / "s.compiled.dat").read_text() == DATA


def test_never_compiling_run_exits_3_without_a_kept_pair(stub, tmp_path):
    stub.script("POST", "/v1/responses", reply({"model": BAD_MODEL, "data": DATA}), reply("Broken."))
    proc = tavro(stub, tmp_path, "generate", "x", "-o", "s.mod", "-d", "s.dat", "--no-few-shot",
                 "--iterations", "1", "--stats")
    assert proc.returncode == 3
    stats = json.loads(proc.stdout[proc.stdout.index("{\n"):])
    assert stats["syntax_errors"] == ["model:2:13: ';' expected near 'minimize'"]
    assert "kept" not in proc.stderr and sorted(os.listdir(tmp_path)) == ["s.dat", "s.mod"]


def test_failure_after_a_broken_pair_still_keeps_the_compiling_one(stub, tmp_path):
    stub.script("POST", "/v1/responses",
                reply({"model": GOOD_MODEL, "data": DATA}),
                reply({"aligned": False, "assessment": "no"}),
                reply({"model": BAD_MODEL, "data": DATA}),
                reply("not json at all"))
    proc = tavro(stub, tmp_path, "generate", "x", "-o", "s.mod", "-d", "s.dat", "--no-few-shot",
                 "--iterations", "3", "--quiet")
    assert proc.returncode == 1
    assert proc.stderr.startswith("tavro: the last model and data that compiled are kept in s.compiled.mod and "
                                  "s.compiled.dat\ntavro: Failed to parse model response as JSON: ")
    assert (tmp_path / "s.compiled.mod").read_text() == GOOD_MODEL


def test_compiling_run_exits_0_and_keeps_nothing_extra(stub, tmp_path):
    stub.script("POST", "/v1/responses", reply({"model": BAD_MODEL, "data": DATA}),
                reply({"model": GOOD_MODEL, "data": DATA}), reply({"aligned": True, "assessment": "Good."}))
    proc = tavro(stub, tmp_path, "generate", "x", "-o", "s.mod", "-d", "s.dat", "--no-few-shot", "--quiet")
    assert (proc.returncode, proc.stderr, proc.stdout.splitlines()[-1]) == (0, "", "Good.")
    assert sorted(os.listdir(tmp_path)) == ["s.dat", "s.mod"]


# ---- estimate -------------------------------------------------------------

@pytest.mark.parametrize("table, model, status, err", [
    ("| Model | Prompt | Completion |\n|---|---|---|\n| gpt-4.1 | 2 | 8 |\n", "no-such-model", 1,
     "tavro: model no-such-model is not in the price list ({src})\n"),
    ("", "gpt-4.1", 1, "tavro: no prices could be read ({src})\n"),
    ("| Model | Prompt | Completion |\n|---|---|---|\n| gpt-4.1 | 2 | 8 |\n", "GPT-4.1", 0, ""),
])
def test_estimate_of_an_unknown_model_fails(tmp_path, capsys, monkeypatch, table, model, status, err):
    monkeypatch.setattr(tokenmeter, "PRICING_URL", tokenmeter.PRICING_URL)  # restored after the test
    src = tmp_path / "prices.md"
    src.write_text(table)
    tokenmeter.clear_pricing_cache()
    try:
        assert cli.main(["estimate", model, "--pricing", str(src)]) == status
    finally:
        tokenmeter.clear_pricing_cache()
    captured = capsys.readouterr()
    assert captured.err == err.format(src=src)
    assert ("'prompt_cost': 0.043098" in captured.out) == (status == 0)


# ---- LLM text on the terminal ---------------------------------------------

EVIL = "ok\x1b[2J\x1b]0;pwned\x07\rFAKE LOG\x9b31m\x7f\tend\nline two"
SHOWN = "ok\\x1b[2J\\x1b]0;pwned\\x07\\x0dFAKE LOG\\x9b31m\\x7f\tend\nline two"


# Runs several commands in one process; after each, a line on stdout and on
# stderr that ends its output (and gives its exit status).
SEVERAL = ("import json, sys; from tavro import tokenmeter, cli as m; tokenmeter.PRICING_URL = sys.argv[1]\n"
           "for argv in json.loads(sys.argv[2]):\n"
           "    code = m.main(argv)\n"
           "    print('\\n@@ exit %d' % code, flush=True)\n"
           "    print('\\n@@', file=sys.stderr, flush=True)\n")


def tavro_several(server, cwd, *commands):
    """[(exit status, stdout, stderr)] of each command, run in one process."""
    proc = subprocess.run([sys.executable, "-c", SEVERAL, server.pricing, json.dumps(commands)], cwd=cwd,
                          env=dict(os.environ, OPENAI_API_KEY="sk-test", OPENAI_BASE_URL=server.openai_base_url),
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-800:]
    outs = proc.stdout.split("\n@@ exit ")
    errs = proc.stderr.split("\n@@\n")
    return [(int(out.partition("\n")[0]), prev.partition("\n")[2] if k else prev, err)
            for k, (prev, out, err) in enumerate(zip(outs, outs[1:], errs))]


def test_escape_sequences_in_replies_are_shown_escaped(stub, tmp_path):
    stub.script("POST", "/v1/responses", reply({"model": GOOD_MODEL, "data": DATA}), reply(EVIL),
                reply("no json " + EVIL), reply({"feedback": EVIL}))
    (gen, gen_out, _), (bad, _, bad_err), (fb, fb_out, fb_err) = tavro_several(
        stub, tmp_path, ["generate", "x", "-o", "s.mod", "-d", "s.dat", "--no-few-shot", "--no-alignment"],
        ["feedback", "q", "s.mod", "s.dat"], ["feedback", "q", "s.mod", "s.dat"])
    assert gen == 0 and gen_out.endswith("\n" + SHOWN + "\n")
    assert bad == 1 and bad_err.endswith("Response: no json " + SHOWN + "\n")
    assert fb == 0 and json.loads(fb_out[fb_out.index("{"):]) == {"feedback": EVIL}
    for char in "\x1b\x07\r\x9b\x7f":
        assert char not in gen_out + bad_err + fb_out + fb_err


@pytest.mark.parametrize("text, shown, json_shown", [
    ("plain \u00e9\u2022 text\n\ttab", "plain \u00e9\u2022 text\n\ttab", "plain \u00e9\u2022 text\n\ttab"),
    ("\x00\x1b\x7f\x85\x9f\xa0", "\\x00\\x1b\\x7f\\x85\\x9f\xa0", "\\u0000\\u001b\\u007f\\u0085\\u009f\xa0"),
])
def test_shown(text, shown, json_shown):
    assert output.clean(text) == shown
    assert output.clean(text, json_text=True) == json_shown


# ---- --timeout ------------------------------------------------------------

@pytest.mark.parametrize("argv, env, what", [
    (["generate", "x", "-o", "s.mod", "-d", "s.dat", "--no-few-shot", "--timeout", "0.2"], {}, "model gpt-5"),
    (["feedback", "q", "s.mod", "s.dat"], {"TAVRO_LLM_TIMEOUT": "0.2"}, "model gpt-5"),
    (["models", "--timeout", "0.2"], {}, "listing models"),
])
def test_stalled_server_ends_with_one_line(tmp_path, argv, env, what):
    pytest.importorskip("openai")
    (tmp_path / "s.mod").write_text(GOOD_MODEL)
    (tmp_path / "s.dat").write_text(DATA)
    with SlowServer("stall") as server:
        server.openai_base_url, server.pricing = server.url + "/v1", str(tmp_path / "s.dat")
        start = time.monotonic()
        proc = tavro(server, tmp_path, *argv, warm=True, **env)  # the bound is for the request
        took = time.monotonic() - start
    assert proc.returncode == 1 and took < 10
    assert proc.stderr == ("tavro: no reply from openai (%s, address %s/v1) within 0.2 s; set --timeout or "
                           "TAVRO_LLM_TIMEOUT to wait longer\n" % (what, server.url))
    assert (tmp_path / "s.mod").read_text() == GOOD_MODEL


@pytest.mark.parametrize("argv, env, message", [
    (["models", "--timeout", "0"], {}, "--timeout must be a positive number of seconds, not 0.0"),
    (["models"], {"TAVRO_LLM_TIMEOUT": "later"}, "TAVRO_LLM_TIMEOUT must be a positive number of seconds, not 'later'"),
])
def test_bad_timeout_is_a_usage_error(monkeypatch, capsys, argv, env, message):
    lm = Recorder(["m"])
    monkeypatch.setattr(modelwright, "list_models", lm)
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    with pytest.raises(SystemExit) as info:
        cli.main(argv)
    assert info.value.code == 2 and lm.calls == []
    assert capsys.readouterr().err.splitlines()[-1] == "tavro: error: " + message
