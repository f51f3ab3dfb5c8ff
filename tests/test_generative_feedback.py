"""generative_feedback: one question about an existing model and data file."""

import logging

import pytest

from tavro import modelwright
from workflow_fakes import Rig


@pytest.fixture
def pair(tmp_path):
    model, data = tmp_path / "m.mod", tmp_path / "m.dat"
    model.write_bytes(b"var x;\r\nmaximize x;\r")
    data.write_text("param n := 3;")
    return str(model), str(data)


def ask(pair, reply, **kwargs):
    rig = Rig(kwargs.pop("monkeypatch"), [reply])
    result = modelwright.generative_feedback("Why is x unbounded?", *pair, **kwargs)
    return rig, result


def test_steps_arguments_and_messages(monkeypatch, caplog, pair):
    caplog.set_level(logging.DEBUG, logger="tavro.modelwright")
    monkeypatch.setattr(modelwright, "MAX_OUTPUT_TOKENS", 99)
    monkeypatch.setattr(modelwright, "MODEL_NAME", "rebound")
    rig, result = ask(pair, '{"feedback": "Add a bound.", "extra": 1}', monkeypatch=monkeypatch,
                      mode=modelwright.Grammar.NONE, temperature=0.7, stop=["x"])
    assert result == {"feedback": "Add a bound.", "extra": 1}
    assert rig.grammar.calls == [((modelwright.Grammar.NONE,), {})]
    assert rig.calls("_build_feedback_prompt") == [
        (("Why is x unbounded?", "", "var x;\nmaximize x;\n", "param n := 3;"), {})]
    assert rig.llm.calls == [{
        "provider": modelwright.LLMProvider.OPENAI, "model_name": "gpt-5", "input_text": "_BUILD_FEEDBACK_PROMPT",
        "max_tokens": 99, "temperature": 0.0, "stop": ["x"], "progress": None, "capture_usage": False}]
    assert list(rig.llm.calls[0]) == ["provider", "model_name", "input_text", "max_tokens", "temperature", "stop",
                                      "progress", "capture_usage"]
    assert [r.getMessage() for r in caplog.records] == [
        "Generating feedback from LLM", "[LLM] fake: 1", "Feedback received; parsing"]
    assert rig.compiler.instances == 0 and rig.costs.calls == []


@pytest.mark.parametrize("temperature, sent", [(None, None), (1.0, 0.0), (0.5, 0.0)])
def test_temperature_is_only_a_switch(monkeypatch, pair, temperature, sent):
    rig, _ = ask(pair, '{"feedback": "ok"}', monkeypatch=monkeypatch, temperature=temperature)
    assert rig.llm.calls[0]["temperature"] == sent


def test_provider_from_model_name_and_callback(monkeypatch, pair):
    seen = []
    rig, result = ask(pair, "```json\n{\"feedback\": \"ok\"}\n```", monkeypatch=monkeypatch,
                      llm_provider=None, model_name="gemini-1.5-pro", progress=seen.append)
    assert result == {"feedback": "ok"}
    assert rig.llm.calls[0]["provider"] is modelwright.LLMProvider.GOOGLE
    assert seen == ["Generating feedback from LLM", "[LLM] fake: 1", "Feedback received; parsing"]


def test_null_reply_is_none(monkeypatch, pair):
    assert ask(pair, "null", monkeypatch=monkeypatch)[1] is None


@pytest.mark.parametrize("reply", ["", None])
def test_empty_reply(monkeypatch, pair, reply):
    with pytest.raises(RuntimeError) as info:
        ask(pair, reply, monkeypatch=monkeypatch)
    assert str(info.value) == "Empty model response."


@pytest.mark.parametrize("reply", ["[1, 2, 3]", "Sorry, I have no idea.", '{"feedback": '])
def test_unparsable_reply(monkeypatch, pair, reply):
    with pytest.raises(RuntimeError) as info:
        ask(pair, reply, monkeypatch=monkeypatch)
    err = info.value
    assert isinstance(err.__context__, Exception) and err.__cause__ is None
    assert str(err) == ("Failed to parse feedback response as JSON: " + str(err.__context__)
                        + "\nResponse: " + reply)


@pytest.mark.parametrize("reply, message", [
    (b"{}", "Expected str, got bytes"),
    (("text", {}), "Expected str, got tuple"),
])
def test_reply_must_be_text(monkeypatch, pair, reply, message):
    with pytest.raises(TypeError) as info:
        ask(pair, reply, monkeypatch=monkeypatch)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs, message", [
    ({"temperature": 1}, "Argument 'temperature' has incorrect type (expected float, got int)"),
    ({"stop": "x"}, "Argument 'stop' has incorrect type (expected list, got str)"),
    ({"llm_provider": b"openai"}, "Argument 'llm_provider' has incorrect type (expected str, got bytes)"),
])
def test_argument_types(monkeypatch, pair, kwargs, message):
    with pytest.raises(TypeError) as info:
        ask(pair, "{}", monkeypatch=monkeypatch, **kwargs)
    assert str(info.value) == message


def test_errors_before_the_call(monkeypatch, pair, tmp_path):
    rig = Rig(monkeypatch, ['{"feedback": "x"}'])
    seen = []
    with pytest.raises(FileNotFoundError):
        modelwright.generative_feedback("q", pair[0], str(tmp_path / "missing.dat"), progress=seen.append)
    with pytest.raises(ValueError, match="^Invalid mode: BNF$"):
        modelwright.generative_feedback("q", str(tmp_path / "missing.mod"), pair[1], mode="BNF")
    assert seen == [] and rig.llm.calls == []


def test_llm_error_propagates_unchanged(monkeypatch, pair):
    boom = ConnectionError("Connection refused")
    with pytest.raises(ConnectionError) as info:
        ask(pair, boom, monkeypatch=monkeypatch)
    assert info.value is boom


def test_doc():
    doc = modelwright.generative_feedback.__doc__
    assert doc.startswith("Provide feedback on a given Tavro model and data file based on a user prompt.\n\n")
    assert doc.endswith('- "revised_data": (optional) string with revised Tavro data if changes are proposed\n    ')
