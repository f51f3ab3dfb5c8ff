"""tavro keys: stored once, owner-only, listed without values, used only
when the environment has no key."""

import io
import json
import os
import stat
import subprocess
import sys

import pytest

from tavro import cli
from tavro.cli import keystore


def run(argv, stdin=None, monkeypatch=None):
    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    try:
        return cli.main(argv)
    except SystemExit as e:
        return e.code


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.fixture
def clean_env(monkeypatch):
    for variable in keystore.KEY_VARIABLES.values():
        monkeypatch.delenv(variable, raising=False)


def test_set_list_remove(monkeypatch, capsys, clean_env):
    path = keystore.keys_file()
    assert path == os.path.join(os.environ["XDG_CONFIG_HOME"], "tavro", "keys.json")
    assert run(["keys", "set", "OpenAI"], "sk-secret-1\n", monkeypatch) == 0
    assert run(["keys", "set", "gemini"], "gm-secret-2", monkeypatch) == 0
    out = capsys.readouterr().out
    assert "stored the openai key in %s (used when OPENAI_API_KEY is unset)" % path in out
    assert mode(path) == 0o600 and mode(os.path.dirname(path)) == 0o700
    assert json.loads(open(path).read()) == {"openai": "sk-secret-1", "google": "gm-secret-2"}
    assert [n for n in os.listdir(os.path.dirname(path))] == ["keys.json"]  # no temporary left

    monkeypatch.setenv("GEMINI_API_KEY", "gm-env")
    assert run(["keys", "list"]) == 0
    assert run(["keys", "list", "--json"]) == 0
    text, doc = capsys.readouterr().out.split("{", 1)
    assert text.splitlines() == ["openai  OPENAI_API_KEY  stored in %s" % path,
                                 "google  GEMINI_API_KEY  set in the environment (a stored key is ignored)"]
    doc = json.loads("{" + doc)
    assert [(k["provider"], k["used"], k["stored"]) for k in doc["keys"]] == [("openai", "stored", True),
                                                                            ("google", "environment", True)]
    assert "secret" not in text + json.dumps(doc) and "gm-env" not in text + json.dumps(doc)

    assert run(["keys", "remove", "openai"]) == 0
    assert json.loads(open(path).read()) == {"google": "gm-secret-2"} and mode(path) == 0o600
    assert run(["keys", "remove", "openai"]) == 1
    assert "no openai key is stored" in capsys.readouterr().err


def test_loose_permissions_are_tightened(monkeypatch, clean_env):
    path = keystore.keys_file()
    os.makedirs(os.path.dirname(path), mode=0o755)
    os.chmod(os.path.dirname(path), 0o755)
    with open(path, "w") as f:
        f.write("{}")
    os.chmod(path, 0o644)
    assert run(["keys", "set", "openai"], "sk-x", monkeypatch) == 0
    assert mode(path) == 0o600 and mode(os.path.dirname(path)) == 0o700


@pytest.mark.parametrize("argv, stdin, message", [
    (["keys", "set", "opneai"], "sk", "unknown provider 'opneai'; did you mean 'openai'?"),
    (["keys", "set", "ollama"], "sk", "ollama needs no key"),
    (["keys", "set", "openai"], "\n", "no key given"),
    (["keys", "set", "openai"], "sk one two\n", "the key holds spaces or control characters"),
])
def test_bad_input_is_a_usage_error_and_stores_nothing(monkeypatch, capsys, argv, stdin, message):
    assert run(argv, stdin, monkeypatch) == 2
    assert message in capsys.readouterr().err and not os.path.exists(keystore.keys_file())


def test_apply_fills_only_unset_variables(monkeypatch, clean_env):
    keystore.store("openai", "sk-stored")
    keystore.store("google", "gm-stored")
    env = {"GEMINI_API_KEY": "gm-env", "OPENAI_API_KEY": "", "XDG_CONFIG_HOME": os.environ["XDG_CONFIG_HOME"]}
    assert keystore.apply(env) == ["OPENAI_API_KEY"]
    assert env["OPENAI_API_KEY"] == "sk-stored" and env["GEMINI_API_KEY"] == "gm-env"


def test_unreadable_store_is_a_warning_not_a_failure(monkeypatch, capsys, clean_env, provider_ready):
    path = keystore.keys_file()
    os.makedirs(os.path.dirname(path))
    with open(path, "w") as f:
        f.write("{not json")
    assert run(["models", "--provider", "ollama"]) in (0, 1)
    assert capsys.readouterr().err.startswith("tavro: warning: cannot read the key file %s: " % path)
    assert run(["keys", "list"]) == 1


def test_key_read_from_a_terminal_is_not_echoed(tmp_path):
    # A pseudo-terminal as standard input: the prompt goes through getpass.
    import pty

    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path))
    pid, fd = pty.fork()
    if pid == 0:  # the child: tavro keys set openai on the terminal
        os.execve(sys.executable, [sys.executable, "-m", "tavro", "keys", "set", "openai"], env)
    import select

    def read():
        if not select.select([fd], [], [], 30)[0]:
            os.kill(pid, 9)
            raise AssertionError("no output from the child: %r" % seen)
        try:
            return os.read(fd, 1024)
        except OSError:  # the child closed the terminal
            return b""

    seen = b""
    while b"(input hidden)" not in seen:
        seen += read()
    os.write(fd, b"sk-typed\n")
    while chunk := read():
        seen += chunk
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert b"sk-typed" not in seen and b"stored the openai key" in seen
    with open(os.path.join(tmp_path, "tavro", "keys.json")) as f:
        assert json.load(f) == {"openai": "sk-typed"}


def test_subprocess_uses_the_stored_key(tmp_path):
    # A command started without the variable gets it from the store (the
    # library's own message would say it is not set).
    env = {k: v for k, v in os.environ.items() if k != "OPENAI_API_KEY"}
    env.update(XDG_CONFIG_HOME=str(tmp_path), OPENAI_BASE_URL="http://127.0.0.1:9/v1")
    subprocess.run([sys.executable, "-m", "tavro", "keys", "set", "openai"], input="sk-x\n", env=env,
                   check=True, capture_output=True, text=True, timeout=60)
    proc = subprocess.run([sys.executable, "-m", "tavro", "models", "--timeout", "5"], env=env,
                          capture_output=True, text=True, timeout=60)
    assert "OPENAI_API_KEY" not in proc.stderr and proc.returncode == 1
