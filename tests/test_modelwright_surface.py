"""What loading tavro.modelwright binds, its configuration, progress reporting
and provider inference."""

import enum
import importlib.resources
import inspect
import json
import logging
import os
import pathlib
import re
import subprocess
import sys
import textwrap
import time
import typing

import pytest

from tavro import modelwright as mw

STANDARD = ["inspect", "json", "logging", "os", "re", "Enum", "auto", "files", "Path", "sleep",
            "Any", "Callable", "Dict", "List", "Optional", "Tuple", "Union"]
SIBLINGS = ["_extract_gemini_usage", "_extract_openai_usage", "_estimate_costs",
            "KelmCompiler", "SemanticError", "rag_rank"]
CONSTANTS = {
    "MAX_ITERATIONS": 5,
    "MAX_OUTPUT_TOKENS": None,
    "LLM_PROVIDER": "openai",
    "MODEL_NAME": "gpt-5",
    "ALIGNMENT_CHECK": True,
    "FEW_SHOT_TOP_K": 3,
    "FEW_SHOT_MAX_CHARS": 2147483647,
}
E = inspect.Parameter.empty
BNF = mw.Grammar.BNF
# function: [(parameter, default)] in order
SIGNATURES = {
    "_notify": [("progress", E), ("msg", E)],
    "_read_file": [("path", E)],
    "_read_tavro_GBNF": [],
    "_read_tavro_grammar": [],
    "_read_tavro_code": [],
    "_get_grammar_implementation": [("mode", E)],
    "_safe_read_text": [("path", E), ("max_chars", 2147483647)],
    "_find_pair_in_folder": [("desc_path", E)],
    "_gather_few_shots": [("problem_description", E), ("k", 3), ("models_dir", None), ("progress", None)],
    "extract_json_from_markdown": [("text", E)],
    "_json_loads_relaxed": [("text", E)],
    "_coalesce_response_text": [("resp", E)],
    "_openai_client": [],
    "_google_client": [],
    "_ollama_generate_text": [("model_name", E), ("prompt", E), ("num_predict", None), ("return_usage", False)],
    "_build_create_params": [("model_name", E), ("input_text", E), ("max_tokens", None),
                             ("temperature", None), ("stop", None)],
    "_infer_provider": [("llm_provider", E), ("model_name", E)],
    "_llm_generate_text": [("provider", E), ("model_name", E), ("input_text", E), ("max_tokens", None),
                           ("temperature", None), ("stop", None), ("progress", None), ("capture_usage", False)],
    "_call_openai_with_retry": [("client", E), ("create_params", E), ("retries", 3), ("backoff_sec", 1.5),
                                ("progress", None)],
    "_build_generation_prompt": [("prompt", E), ("grammar_implementation", E), ("few_shots", None)],
    "_build_alignment_prompt": [("prompt", E), ("grammar_implementation", E), ("model_code", E), ("data_code", E)],
    "_build_revision_prompt_alignment": [("prompt", E), ("grammar_implementation", E), ("assessment_text", E),
                                         ("model_code", E), ("data_code", E), ("few_shots", None)],
    "_build_revision_prompt_syntax": [("prompt", E), ("grammar_implementation", E), ("model_code", E),
                                      ("data_code", E), ("syntax_errors", E), ("few_shots", None)],
    "_build_final_assessment_prompt": [("prompt", E), ("grammar_implementation", E), ("model_code", E),
                                       ("data_code", E), ("syntax_errors", E)],
    "_build_feedback_prompt": [("user_prompt_text", E), ("grammar_implementation", E), ("model_code", E),
                               ("data_code", E)],
    "generative_solve": [("prompt", E), ("model_file", E), ("data_file", E), ("model_name", "gpt-5"),
                         ("mode", BNF), ("iterations", 5), ("return_statistics", False), ("alignment_check", None),
                         ("temperature", None), ("stop", None), ("llm_provider", "openai"), ("progress", None),
                         ("few_shot", True)],
    "generative_feedback": [("prompt", E), ("model_file", E), ("data_file", E), ("model_name", "gpt-5"),
                            ("mode", BNF), ("temperature", None), ("stop", None), ("llm_provider", "openai"),
                            ("progress", None)],
    "list_openai_models": [("prefix", "gpt")],
    "list_gemini_models": [("prefix", "gemini")],
    "list_ollama_models": [("prefix", None)],
    "list_models": [("llm_provider", None), ("model_name", "gpt-5")],
}
ORDER = STANDARD + SIBLINGS + ["logger", "_notify"] + list(CONSTANTS) + ["LLMProvider", "Grammar"] + [
    name for name in SIGNATURES if name != "_notify"
]


def test_binding_order():
    names = [name for name in vars(mw) if not name.startswith("__")]
    documented = [name for name in names if name in ORDER]
    assert documented == [name for name in ORDER if name in names]
    # Everything up to the enumerations is bound by this module itself.
    assert names[: ORDER.index("Grammar") + 1] == ORDER[: ORDER.index("Grammar") + 1]


def test_standard_bindings_are_the_host_objects():
    assert (mw.inspect, mw.json, mw.logging, mw.os, mw.re) == (inspect, json, logging, os, re)
    assert mw.Enum is enum.Enum and mw.auto is enum.auto
    assert mw.files is importlib.resources.files
    assert mw.Path is pathlib.Path and mw.sleep is time.sleep
    for name in ["Any", "Callable", "Dict", "List", "Optional", "Tuple", "Union"]:
        assert getattr(mw, name) is getattr(typing, name)


def test_sibling_bindings():
    from tavro import rag_helper, tavro_core, tokenmeter

    assert mw._extract_gemini_usage is tokenmeter._extract_gemini_usage
    assert mw._extract_openai_usage is tokenmeter._extract_openai_usage
    assert mw._estimate_costs is tokenmeter.estimate_costs
    assert mw.KelmCompiler is tavro_core.KelmCompiler
    assert mw.SemanticError is tavro_core.SemanticError
    assert mw.rag_rank is rag_helper.rank_problem_descriptions


def test_logger():
    assert mw.logger is logging.getLogger("tavro.modelwright")


@pytest.mark.parametrize("name, value", CONSTANTS.items())
def test_constants(name, value):
    assert getattr(mw, name) == value
    assert type(getattr(mw, name)) is type(value)


def test_enumerations():
    assert issubclass(mw.LLMProvider, enum.Enum) and issubclass(mw.Grammar, enum.Enum)
    assert [(m.name, m.value) for m in mw.LLMProvider] == [("OPENAI", "openai"), ("GOOGLE", "google"),
                                                          ("OLLAMA", "ollama")]
    assert [(m.name, m.value) for m in mw.Grammar] == [("NONE", 1), ("BNF", 2), ("CODE", 3)]
    for cls in (mw.LLMProvider, mw.Grammar):
        assert cls.__module__ == "tavro.modelwright"
        assert cls.__qualname__ == cls.__name__
    assert mw.Grammar.BNF != 2 and mw.LLMProvider.GOOGLE != "google"
    assert mw.LLMProvider("google") is mw.LLMProvider.GOOGLE


@pytest.mark.parametrize("name", SIGNATURES)
def test_signature(name):
    assert hasattr(mw, name), f"{name} is missing from tavro.modelwright"
    params = inspect.signature(getattr(mw, name)).parameters.values()
    assert [(p.name, p.default) for p in params] == SIGNATURES[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    for p in params:
        if p.default is BNF:
            assert p.default is mw.Grammar.BNF


def test_defaults_are_fixed_at_load(monkeypatch):
    before = {name: inspect.signature(getattr(mw, name)) for name in SIGNATURES if hasattr(mw, name)}
    for name in ["MODEL_NAME", "MAX_OUTPUT_TOKENS", "FEW_SHOT_MAX_CHARS", "FEW_SHOT_TOP_K", "LLM_PROVIDER"]:
        monkeypatch.setattr(mw, name, "changed")
    after = {name: inspect.signature(getattr(mw, name)) for name in before}
    assert before == after


def test_safe_read_default_limit_is_load_time(monkeypatch, tmp_path):
    path = tmp_path / "f.txt"
    path.write_text("abcdef")
    monkeypatch.setattr(mw, "FEW_SHOT_MAX_CHARS", 2)
    assert mw._safe_read_text(path) == "abcdef"


@pytest.mark.parametrize(
    "call",
    [
        lambda: mw._notify(None),
        lambda: mw._notify(None, "m", "extra"),
        lambda: mw._notify(None, message="m"),
        lambda: mw._read_file(),
        lambda: mw._safe_read_text("p", 1, 2),
        lambda: mw._infer_provider(None, model_name="x", other=1),
        lambda: mw.extract_json_from_markdown(),
    ],
)
def test_wrong_arity_raises_type_error(call):
    with pytest.raises(TypeError):
        call()


# ---- _notify ---------------------------------------------------------------


def test_notify_calls_progress_with_one_positional():
    calls = []

    def progress(*args, **kwargs):
        calls.append((args, kwargs))
        return "ignored"

    assert mw._notify(progress, "hello") is None
    assert mw._notify(progress=progress, msg="kw") is None
    assert calls == [(("hello",), {}), (("kw",), {})]


@pytest.mark.parametrize("progress", [None, 0, "", []])
def test_notify_without_callback_logs_debug(caplog, progress):
    caplog.set_level(logging.DEBUG, logger="tavro.modelwright")
    assert mw._notify(progress, "step %s 100%") is None
    records = [r for r in caplog.records if r.name == "tavro.modelwright"]
    assert len(records) == 1
    assert records[0].levelno == logging.DEBUG
    assert records[0].getMessage() == "step %s 100%" and records[0].args == ()


def test_notify_uses_module_logger_at_call_time(monkeypatch):
    seen = []

    class Fake:
        def debug(self, *args, **kwargs):
            seen.append((args, kwargs))

    monkeypatch.setattr(mw, "logger", Fake())
    mw._notify(None, "m")
    assert seen == [(("m",), {})]


@pytest.mark.parametrize("error", [ValueError("bad"), RuntimeError(), OSError(), StopIteration()])
def test_notify_swallows_callback_errors(caplog, error):
    caplog.set_level(logging.DEBUG, logger="tavro.modelwright")

    def progress(msg):
        raise error

    assert mw._notify(progress, "m") is None
    assert [r for r in caplog.records if r.name == "tavro.modelwright"] == []


def test_notify_swallows_logging_errors(monkeypatch):
    class Broken:
        def debug(self, msg):
            raise LookupError("no handler")

    monkeypatch.setattr(mw, "logger", Broken())
    assert mw._notify(None, "m") is None


class Truthless:
    def __bool__(self):
        raise ValueError("no truth")


def test_notify_swallows_truth_test_errors():
    assert mw._notify(Truthless(), "m") is None


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_notify_lets_interrupts_through(error):
    def progress(msg):
        raise error

    with pytest.raises(error):
        mw._notify(progress, "m")


@pytest.mark.parametrize("msg", [None, b"m", 1, ["m"]])
def test_notify_msg_must_be_str(msg):
    with pytest.raises(TypeError) as info:
        mw._notify(None, msg)
    assert str(info.value) == f"Argument 'msg' has incorrect type (expected str, got {type(msg).__name__})"


# ---- _infer_provider -------------------------------------------------------

P = mw.LLMProvider


@pytest.mark.parametrize(
    "provider, model, expected",
    [
        ("openai", "gemini-pro", P.OPENAI),
        ("oai", "llama3", P.OPENAI),
        ("  Gemini  ", "gpt-5", P.GOOGLE),
        ("google", "gpt-5", P.GOOGLE),
        ("GENAI", "gpt-5", P.GOOGLE),
        ("google.generativeai", "gpt-5", P.GOOGLE),
        ("\tOllama\n", "gpt-5", P.OLLAMA),
        ("anthropic", "llama3", P.OLLAMA),
        ("   ", "gemini-1.5", P.GOOGLE),
        ("", "gemini-1.5", P.GOOGLE),
        (None, "gemini-2.0-flash", P.GOOGLE),
        (None, "models/gemini-pro", P.OPENAI),
        (None, "Gemini-pro", P.OPENAI),
        (None, "openai/gpt-oss-20b", P.OLLAMA),
        (None, "gpt-oss", P.OLLAMA),
        (None, "llama3.1", P.OLLAMA),
        (None, "qwen2", P.OLLAMA),
        (None, "mistral-nemo", P.OLLAMA),
        (None, "Llama3", P.OPENAI),
        (None, "codellama", P.OPENAI),
        (None, " gemini", P.OPENAI),
        (None, "gpt-5", P.OPENAI),
        (None, "", P.OPENAI),
        ("open ai", "gpt-5", P.OPENAI),
    ],
)
def test_infer_provider(provider, model, expected):
    assert mw._infer_provider(provider, model) is expected
    assert mw._infer_provider(llm_provider=provider, model_name=model) is expected


@pytest.mark.parametrize(
    "args, name, got",
    [((1, "m"), "llm_provider", "int"), ((b"x", "m"), "llm_provider", "bytes"),
     ((None, None), "model_name", "NoneType"), (("openai", P.OPENAI), "model_name", "LLMProvider")],
)
def test_infer_provider_types(args, name, got):
    with pytest.raises(TypeError) as info:
        mw._infer_provider(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"


# ---- loading -------------------------------------------------------------


def run_python(tmp_path, code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)


def test_loading_imports_no_provider_package(tmp_path):
    # What loading adds to sys.modules, not what the environment imported at
    # start-up (a namespace package's .pth file may import `google` itself).
    result = run_python(tmp_path, """
        import sys
        providers = ("openai", "google.generativeai", "google", "ollama", "tiktoken")
        before = {name for name in providers if name in sys.modules}
        import tavro.modelwright
        print(sorted(name for name in providers if name in sys.modules and name not in before))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_loading_defers_heavy_standard_modules(tmp_path):
    # inspect is bound as the module sys.modules holds and runs on first use;
    # urllib.request waits for the first price-list fetch, importlib.metadata
    # for tavro.__version__.
    result = run_python(tmp_path, """
        import sys
        import tavro.modelwright as mw
        deferred = ("ast", "dis", "urllib.request", "importlib.metadata")
        print(sorted(name for name in deferred if name in sys.modules))
        import inspect
        print(inspect is mw.inspect, inspect.signature(mw.extract_json_from_markdown), "ast" in sys.modules)
        import tavro
        from importlib import metadata
        print(tavro.__version__ == metadata.version("tavro"), "__version__" in vars(tavro))
        import logging
        logging.basicConfig(format="%(message)s", stream=sys.stdout)
        print(tavro.tokenmeter._parse_pricing("http://127.0.0.1:9/prices.md"), "urllib.request" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["[]", "True (text) True", "True True"]
    # The first fetch imports urllib.request itself: a refused connection, not a missing attribute.
    assert lines[3].startswith("Failed to load pricing from http://127.0.0.1:9/prices.md: <urlopen error")
    assert lines[4:] == ["{} True"]


@pytest.mark.parametrize("sibling", ["tavro.rag_helper", "tavro.tavro_core", "tavro.tokenmeter"])
def test_missing_sibling_fails_loading_with_its_error(tmp_path, sibling):
    result = run_python(tmp_path, f"""
        import sys
        sys.modules[{sibling!r}] = None
        try:
            import tavro.modelwright
        except ImportError as exc:
            print(type(exc).__name__, exc.name, "tavro.modelwright" in sys.modules)
        else:
            print("loaded")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"ModuleNotFoundError {sibling} False"


def test_sibling_without_the_name_fails_loading(tmp_path):
    result = run_python(tmp_path, """
        import sys, types
        fake = types.ModuleType("tavro.rag_helper")
        sys.modules["tavro.rag_helper"] = fake
        try:
            import tavro.modelwright
        except ImportError as exc:
            print(type(exc).__name__, "|", exc)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        "ImportError | cannot import name 'rank_problem_descriptions' from 'tavro.rag_helper' (unknown location)"
    )
