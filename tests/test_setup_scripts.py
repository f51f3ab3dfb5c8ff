"""scripts/run.sh stops before building anything when the provider cannot be
reached; scripts/bootstrap.sh installs again only when the packaged sources
changed. Both run with fake interpreters, so nothing is built here."""

import os
import shutil
import stat
import subprocess

import pytest

from conftest import ROOT

FAKE_PYTHON = """#!/bin/sh
# Records each call; "installs" by creating bin/tavro beside itself.
echo "$*" >> "{log}"
case "$*" in
  *"import sys"*) echo "3.10.99 (fake)" ;;
  *--no-build-isolation*) touch "$(dirname "$0")/tavro"; chmod +x "$(dirname "$0")/tavro" ;;
  *"-m venv"*) mkdir -p "$3/bin"; cp "$0" "$3/bin/python" ;;
esac
"""


def fake_python(folder, log):
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "python3"
    path.write_text(FAKE_PYTHON.format(log=log))
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    shutil.copy(path, folder / "python3.10")
    return path


def calls(log):
    return log.read_text().splitlines() if log.exists() else []


@pytest.fixture
def sandbox(tmp_path):
    """An environment without keys, a fake python3 first on PATH and an
    empty venv location."""
    log = tmp_path / "python.log"
    bin_dir = tmp_path / "bin"
    fake_python(bin_dir, log)
    env = {"PATH": "%s:/usr/bin:/bin" % bin_dir, "HOME": str(tmp_path / "home"),
           "XDG_CONFIG_HOME": str(tmp_path / "config"), "TAVRO_VENV": str(tmp_path / "venv"),
           "OLLAMA_HOST": "127.0.0.1:9"}
    return env, log


@pytest.fixture
def run_sh(tmp_path):
    """Runs a copy of run.sh whose bootstrap only records that it began."""
    scripts = tmp_path / "checkout" / "scripts"
    scripts.mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "run.sh", scripts / "run.sh")
    (scripts / "bootstrap.sh").write_text('echo "bootstrap $*" >> "%s"\nexit 3\n' % (tmp_path / "python.log"))

    def run(env, *args):
        return subprocess.run(["bash", str(scripts / "run.sh"), *args], env=env, capture_output=True, text=True,
                              timeout=30)

    return run


@pytest.mark.parametrize("args, variable", [
    ([], "OPENAI_API_KEY"),
    (["--model", "gpt-4.1"], "OPENAI_API_KEY"),
    (["--model=gemini-2.5-pro"], "GEMINI_API_KEY"),
    (["--provider", "Google"], "GEMINI_API_KEY"),
    (["--provider", "ollama", "--model", "llama3"], None),
    (["--model", "qwen2.5"], None),
])
def test_run_sh_stops_before_bootstrap_with_a_hint(sandbox, run_sh, tmp_path, args, variable):
    env, log = sandbox
    proc = run_sh(env, *args)
    assert proc.returncode == 1 and proc.stdout == ""
    (line,) = proc.stderr.splitlines()
    if variable:
        assert line.startswith("run.sh: %s is not set. Set it (export %s=...), store it once with" % (
            variable, variable))
        assert "keys set %s" % ("openai" if variable == "OPENAI_API_KEY" else "google") in line
        assert line.endswith("or use a local model: bash scripts/run.sh --provider ollama --model llama3")
    else:
        assert line.startswith("run.sh: no Ollama server answers at 127.0.0.1:9: start it with `ollama serve`")
    # Nothing was set up: no bootstrap, no interpreter started.
    assert calls(log) == []


@pytest.mark.parametrize("how", ["environment", "stored"])
def test_run_sh_goes_on_to_bootstrap_with_a_key(sandbox, run_sh, how):
    env, log = sandbox
    if how == "environment":
        env = dict(env, OPENAI_API_KEY="sk-test")
    else:
        keys = os.path.join(env["XDG_CONFIG_HOME"], "tavro", "keys.json")
        os.makedirs(os.path.dirname(keys))
        with open(keys, "w") as f:
            f.write('{\n  "openai": "sk-test"\n}\n')
    assert run_sh(env).returncode == 3 and calls(log) == ["bootstrap all"]


def make_checkout(path):
    (path / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "bootstrap.sh", path / "scripts" / "bootstrap.sh")
    (path / "src" / "tavro").mkdir(parents=True)
    (path / "src" / "tavro" / "a.py").write_text("A = 1\n")
    (path / "pyproject.toml").write_text("[project]\nname = 'x'\n")
    (path / "tests").mkdir()
    (path / "tests" / "t.py").write_text("")
    git = ["git", "-C", str(path), "-c", "user.name=t", "-c", "user.email=t@t"]
    subprocess.run(git + ["init", "-q"], check=True)
    subprocess.run(git + ["add", "."], check=True)
    subprocess.run(git + ["commit", "-qm", "x"], check=True)
    return path


def test_bootstrap_installs_again_only_when_the_sources_change(sandbox, tmp_path):
    env, log = sandbox
    repo = make_checkout(tmp_path / "repo")

    def installs(*extras):
        before = len(calls(log))
        subprocess.run(["bash", str(repo / "scripts" / "bootstrap.sh"), *extras], env=env, check=True,
                       timeout=30, capture_output=True)
        return [c for c in calls(log)[before:] if "--no-build-isolation" in c]

    assert installs("test") == ["-m pip --disable-pip-version-check -q install --no-build-isolation %s[test]"
                                % repo]
    assert installs("test") == []
    # Another extra: installed once with both, after which neither reinstalls.
    assert installs("all") == ["-m pip --disable-pip-version-check -q install --no-build-isolation %s[all,test]"
                               % repo]
    assert installs("test") == [] and installs("all") == []
    (repo / "tests" / "t.py").write_text("changed = True\n")  # not packaged
    assert installs("test") == []
    (repo / "src" / "tavro" / "a.py").write_text("A = 2\n")  # an uncommitted change
    assert len(installs("test")) == 1 and installs("test") == []
    (repo / "src" / "tavro" / "b.py").write_text("")  # a new, untracked file
    assert len(installs("test")) == 1 and installs("test") == []
    # A failed install leaves no stamp: the next run tries again.
    os.remove(os.path.join(env["TAVRO_VENV"], "bin", "tavro"))
    assert len(installs("test")) == 1
