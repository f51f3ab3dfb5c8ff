"""Cost estimates: entry matching, arithmetic, key order, logging, the demonstration and the CLI."""

import logging
import os
import subprocess
import sys
import types

import pytest

from tavro import tokenmeter


def rates(p, c):
    return {"prompt_per_1M": p, "completion_per_1M": c}


@pytest.fixture
def table(monkeypatch):
    pricing = {
        "gpt-4": rates(30.0, 60.0),
        "gpt-4o": rates(2.5, 10.0),
        "gpt-4o-mini": rates(0.15, 0.6),
        "gemini-1.5-flash": rates(0.075, 0.3),
        "prompt-only": rates(1.0, None),
    }
    seen = []
    monkeypatch.setattr(tokenmeter, "_parse_pricing", lambda path: seen.append(path) or pricing)
    return seen


def estimate(model, **usage):
    return tokenmeter.estimate_costs(types.SimpleNamespace(model=model), usage)


@pytest.mark.parametrize("model, usage, expected", [
    ("gpt-4o", dict(prompt_tokens=1000000, completion_tokens=500000),
     [("prompt_cost", 2.5), ("completion_cost", 5.0), ("total_cost", 7.5)]),
    ("GPT-4o", dict(prompt_tokens=1000000, completion_tokens=0),
     [("prompt_cost", 2.5), ("completion_cost", 0.0), ("total_cost", 2.5)]),
    ("models/gemini-1.5-flash", dict(prompt_tokens=2000000, completion_tokens=1000000),
     [("prompt_cost", 0.15), ("completion_cost", 0.3), ("total_cost", 0.15 + 0.3)]),
    ("gpt-4o-mini-2024-07-18", dict(prompt_tokens=1000000, completion_tokens=1000000),
     [("prompt_cost", 30.0), ("completion_cost", 60.0), ("total_cost", 90.0)]),
    ("", dict(prompt_tokens=1000000), [("prompt_cost", 30.0), ("total_cost", 30.0)]),
    ("prompt-only", dict(prompt_tokens=3000000, completion_tokens=5), [("prompt_cost", 3.0), ("total_cost", 3.0)]),
    ("gpt-4o", dict(completion_tokens=1000000), [("total_cost", 0.0)]),
    ("claude-3", dict(prompt_tokens=1, completion_tokens=1), [("total_cost", 0.0)]),
])
def test_estimate(table, model, usage, expected):
    assert list(estimate(model, **usage).items()) == expected


def test_pricing_url_is_read_at_every_call(table, monkeypatch):
    estimate("gpt-4o", prompt_tokens=1)
    monkeypatch.setattr(tokenmeter, "PRICING_URL", "/elsewhere.md")
    estimate("gpt-4o", prompt_tokens=1)
    assert table == ["https://github.com/AgentOps-AI/tokencost/blob/main/pricing_table.md", "/elsewhere.md"]


def test_debug_message_is_formatted(table, caplog):
    with caplog.at_level(logging.DEBUG, logger="tavro.tokenmeter"):
        estimate("GPT-4o", prompt_tokens=1)
        estimate("nothing-like-it", prompt_tokens=1)
    first, second = caplog.records
    assert first.args == () and first.levelno == logging.DEBUG
    assert first.msg == ("Estimating costs for model 'GPT-4o' using pricing entry: "
                         "{'prompt_per_1M': 2.5, 'completion_per_1M': 10.0}")
    assert second.msg == "Estimating costs for model 'nothing-like-it' using pricing entry: None"


@pytest.mark.parametrize("args, usage, error", [
    (types.SimpleNamespace(), {}, AttributeError),
    (types.SimpleNamespace(model=None), {}, AttributeError),
    (types.SimpleNamespace(model="gpt-4o"), [], AttributeError),
    (types.SimpleNamespace(model="gpt-4o"), {"prompt_tokens": "12"}, TypeError),
])
def test_argument_errors_propagate(table, args, usage, error):
    with pytest.raises(error):
        tokenmeter.estimate_costs(args, usage)


def test_non_str_pricing_url_raises(monkeypatch):
    monkeypatch.setattr(tokenmeter, "PRICING_URL", 42)
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        estimate("gpt-4o", prompt_tokens=1)


@pytest.fixture
def local_prices(monkeypatch, data_dir):
    tokenmeter.clear_pricing_cache()
    monkeypatch.setattr(tokenmeter, "PRICING_URL", str(data_dir / "pricing_table.md"))
    yield
    tokenmeter.clear_pricing_cache()


def test_estimate_against_real_price_list(local_prices):
    result = estimate("gpt-4o", prompt_tokens=1000000, completion_tokens=1000000)
    assert result == {"prompt_cost": 2.5, "completion_cost": 10.0, "total_cost": 12.5}


def test_unreadable_source_gives_zero(monkeypatch, tmp_path, caplog):
    tokenmeter.clear_pricing_cache()
    monkeypatch.setattr(tokenmeter, "PRICING_URL", str(tmp_path / "none.md"))
    with caplog.at_level(logging.WARNING, logger="tavro.tokenmeter"):
        assert estimate("gpt-4o", prompt_tokens=5) == {"total_cost": 0.0}
        assert estimate("gpt-4o", prompt_tokens=5) == {"total_cost": 0.0}
    assert len(caplog.records) == 1
    tokenmeter.clear_pricing_cache()


def test_exercise_estimate_costs(local_prices, capsys):
    result = tokenmeter.exercise_estimate_costs()
    expected = {"prompt_cost": 2.0 * 21549 / 1e6, "completion_cost": 8.0 * 7091 / 1e6}
    assert result["prompt_cost"] == pytest.approx(expected["prompt_cost"])
    assert result["completion_cost"] == pytest.approx(expected["completion_cost"])
    shown = {"model": "gpt-4.1", "usage": {"prompt_tokens": 21549, "completion_tokens": 7091},
             "estimated_costs": result}
    assert capsys.readouterr().out == repr(shown) + "\n"


def test_exercise_uses_the_given_model(local_prices, capsys):
    result = tokenmeter.exercise_estimate_costs(model="gpt-4o")
    assert result["prompt_cost"] == 2.5 * (21549 / 1000000.0)
    assert capsys.readouterr().out.startswith("{'model': 'gpt-4o', ")


def test_cli_estimate(tmp_path, data_dir):
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-m", "tavro", "estimate", "gpt-4o",
                          "--pricing", str(data_dir / "pricing_table.md")],
                         cwd=tmp_path, env=env, capture_output=True, text=True, check=True).stdout
    assert out.startswith("{'model': 'gpt-4o', 'usage': {'prompt_tokens': 21549, 'completion_tokens': 7091}, "
                          "'estimated_costs': {'prompt_cost': 0.0538725")


def test_module_runs_as_main_program(tmp_path, data_dir):
    # runpy finds the module already imported (PRICING_URL set) and runs its main program.
    script = ("import runpy, warnings\nfrom tavro import tokenmeter\n"
              f"tokenmeter.PRICING_URL = {str(data_dir / 'pricing_table.md')!r}\n"
              "warnings.simplefilter('ignore', RuntimeWarning)\n"
              "runpy.run_module('tavro.tokenmeter', run_name='__main__', alter_sys=True)\n")
    out = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True,
                         check=True).stdout
    assert out.startswith("{'model': 'gpt-4.1', 'usage': {'prompt_tokens': 21549, 'completion_tokens': 7091}, "
                          "'estimated_costs': {'prompt_cost': ")


def test_other_modules_load_as_before():
    import importlib.machinery

    import tavro.modelwright

    assert type(tavro.modelwright.__loader__) is importlib.machinery.ExtensionFileLoader
    assert isinstance(tokenmeter.__loader__, importlib.machinery.ExtensionFileLoader)
