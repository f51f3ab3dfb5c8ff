"""generative_solve: the generate / compile / revise / assess loop, driven
through scripted fakes of every collaborator."""

import builtins
import json
import logging
import os
import types

import inspect

import pytest

from tavro import modelwright
from workflow_fakes import Rig, gen, usage, verdict

SemanticError = modelwright.SemanticError


@pytest.fixture
def paths(tmp_path):
    return str(tmp_path / "out" / "model.mod"), str(tmp_path / "out" / "model.dat")


def solve(paths, **kwargs):
    return modelwright.generative_solve("Plan production.", *paths, **kwargs)


def read(path):
    with open(path) as f:
        return f.read()


def test_aligned_first_iteration_messages_and_result(monkeypatch, caplog, paths):
    rig = Rig(monkeypatch, [gen(p=11, c=4), verdict(True, "  Looks right. \n", p=5, c=2)], [None])
    caplog.set_level(logging.DEBUG, logger="tavro.modelwright")
    result = solve(paths)
    assert result == "Looks right."
    assert len(rig.llm.calls) == 2
    assert rig.builders["_build_final_assessment_prompt"].calls == []
    cost = ("{'model': 'gpt-5', 'usage': {'prompt_tokens': 16, 'completion_tokens': 6}, "
            "'estimated_costs': {'total_cost': 0.5}}")
    messages = [r.getMessage() for r in caplog.records if r.name == "tavro.modelwright"]
    assert messages == [
        "Generating with provider=openai model=gpt-5 iterations=5 alignment=on",
        "few-shot: fake",
        "Iteration 1/5",
        "Iteration 1/5: prompting model",
        "[LLM] fake: 1",
        "LLM response parsed (model + data)",
        "Model and data generated.",
        "Compiling model and data",
        "Wrote files: %s \u2022 %s" % paths,
        "Checking alignment with original prompt...",
        "Checking alignment with original prompt...",
        "[LLM] fake: 2",
        "Aligned \u2713 Stopping.",
        "Model and data are syntactically valid and aligned with the prompt.",
        "Generation complete",
        "[LLM] Estimated costs: " + cost,
    ]
    assert all(r.levelno == logging.DEBUG for r in caplog.records)
    assert (read(paths[0]), read(paths[1])) == ("m1", "d1")


def test_call_arguments(monkeypatch, paths):
    rig = Rig(monkeypatch, [gen(), verdict(True)], [None])
    monkeypatch.setattr(modelwright, "MAX_OUTPUT_TOKENS", 321)
    monkeypatch.setattr(modelwright, "FEW_SHOT_TOP_K", 7)
    monkeypatch.setattr(modelwright, "MODEL_NAME", "rebound")
    progress = []
    solve(paths, mode=modelwright.Grammar.CODE, stop=["END"], progress=progress.append)
    assert rig.grammar.calls == [((modelwright.Grammar.CODE,), {})]
    assert rig.few_shots.calls == [(("Plan production.",), {"k": 7, "models_dir": None, "progress": progress.append})]
    assert rig.calls("_build_generation_prompt") == [
        (("Plan production.", "GRAMMAR:CODE"), {"few_shots": rig.shots})]
    assert rig.calls("_build_alignment_prompt") == [(("Plan production.", "GRAMMAR:CODE", "m1", "d1"), {})]
    first = rig.llm.calls[0]
    assert list(first) == ["provider", "model_name", "input_text", "max_tokens", "temperature", "stop",
                           "progress", "capture_usage"]
    assert first["provider"] is modelwright.LLMProvider.OPENAI
    assert (first["model_name"], first["max_tokens"], first["stop"], first["capture_usage"]) == (
        "gpt-5", 321, ["END"], True)
    assert rig.llm.inputs() == ["_BUILD_GENERATION_PROMPT", "_BUILD_ALIGNMENT_PROMPT"]
    assert rig.compiler.instances == 1 and rig.compiler.compiled == [("m1", "d1")]
    (ns, summary), kwargs = rig.costs.calls[0]
    assert type(ns) is types.SimpleNamespace and vars(ns) == {"model": "gpt-5"} and kwargs == {}
    assert progress[0] == "Generating with provider=openai model=gpt-5 iterations=5 alignment=on"


def test_rebinding_between_calls_takes_effect(monkeypatch, paths):
    # Names are interned and builtins kept after the first call; what they
    # name is still looked up at every call.
    Rig(monkeypatch, [gen(), verdict(True, "first")], [None])
    assert solve(paths) == "first"
    rig = Rig(monkeypatch, [gen("m2", "d2"), verdict(True, "second")], [None])
    monkeypatch.setattr(modelwright, "MAX_OUTPUT_TOKENS", 5)
    notes = []
    monkeypatch.setattr(modelwright, "_notify", lambda progress, msg: notes.append(msg))
    reads = []
    real_open = builtins.open

    def spy_open(path, mode="r", *args, **kwargs):
        if mode == "r":
            reads.append(path)
        return real_open(path, mode, *args, **kwargs)

    monkeypatch.setattr(builtins, "open", spy_open)
    assert solve(paths) == "second"
    assert [call["max_tokens"] for call in rig.llm.calls] == [5, 5]
    assert rig.compiler.compiled == [("m2", "d2")]
    assert reads == list(paths)
    assert notes[-2] == "Generation complete" and notes[-1].startswith("[LLM] Estimated costs: ")


def test_few_shot_off_and_provider_inference(monkeypatch, paths):
    rig = Rig(monkeypatch, [gen(), verdict(True)], [None])
    solve(paths, few_shot=0, llm_provider=None, model_name="llama3")
    assert rig.few_shots.calls == []
    assert rig.calls("_build_generation_prompt")[0][1] == {"few_shots": []}
    assert rig.llm.calls[0]["provider"] is modelwright.LLMProvider.OLLAMA


@pytest.mark.parametrize("iterations, runs", [
    (0, 1), (-3, 1), ("0", 1), (2.9, 2), ("3", 3), (None, 5), ("abc", 5), ("2.5", 5), (object(), 5)])
def test_iteration_budget(monkeypatch, paths, iterations, runs):
    rig = Rig(monkeypatch, [gen()] * runs + [("final", usage())], [SemanticError("bad")] * runs)
    progress = []
    stats = solve(paths, iterations=iterations, return_statistics=True, progress=progress.append)
    assert stats["iterations"] == runs
    assert len(rig.llm.calls) == runs + 1
    assert progress[0].endswith(" iterations=%d alignment=on" % runs)


def test_budget_fallback_reads_max_iterations_now(monkeypatch, paths):
    monkeypatch.setattr(modelwright, "MAX_ITERATIONS", 2)
    Rig(monkeypatch, [gen(), gen(), ("final", usage())], [SemanticError("bad")] * 2)
    assert solve(paths, iterations="many", return_statistics=True)["iterations"] == 2
    # The default itself was fixed at load time.
    Rig(monkeypatch, [gen()] * 5 + [("final", usage())], [SemanticError("bad")] * 5)
    assert solve(paths, return_statistics=True)["iterations"] == 5


def test_errors_every_iteration(monkeypatch, paths):
    errors = [SemanticError("line 1: ';' expected"), ValueError("boom")]
    rig = Rig(monkeypatch, [gen("a", "b"), gen("c", "e"), ("  final words ", usage(1, 1))], errors)
    progress = []
    stats = solve(paths, iterations=2, return_statistics=True, progress=progress.append, temperature=0.7)
    assert list(stats) == ["iterations", "assessment", "syntax_errors", "cost"]
    assert stats["iterations"] == 2
    assert stats["assessment"] == "final words"
    assert stats["syntax_errors"] == ["ValueError: boom"]
    assert stats["cost"] == {"model": "gpt-5", "usage": {"prompt_tokens": 21, "completion_tokens": 11},
                             "estimated_costs": {"total_cost": 0.5}}
    assert list(stats["cost"]["usage"]) == ["prompt_tokens", "completion_tokens"]
    assert rig.calls("_build_revision_prompt_syntax") == [
        (("Plan production.", "GRAMMAR:BNF", "a", "b", ["line 1: ';' expected"]), {"few_shots": rig.shots}),
        (("Plan production.", "GRAMMAR:BNF", "c", "e", ["ValueError: boom"]), {"few_shots": rig.shots}),
    ]
    assert rig.calls("_build_final_assessment_prompt") == [
        (("Plan production.", "GRAMMAR:BNF", "c", "e", ["ValueError: boom"]), {})]
    assert rig.llm.inputs() == ["_BUILD_GENERATION_PROMPT", "_BUILD_REVISION_PROMPT_SYNTAX",
                                "_BUILD_FINAL_ASSESSMENT_PROMPT"]
    assert rig.llm.temperatures() == [0.7, 0.7, 0.2]
    assert rig.compiler.instances == 2
    assert "Syntax/semantic errors found: 1; revising..." in progress
    assert progress.index("Requesting final assessment") > progress.index("Wrote files: %s \u2022 %s" % paths)


@pytest.mark.parametrize("flags", [{"alignment_check": False}, {"alignment_check": ""}, {"constant": False}])
def test_alignment_off_requests_final_assessment(monkeypatch, paths, flags):
    if "constant" in flags:
        monkeypatch.setattr(modelwright, "ALIGNMENT_CHECK", flags.pop("constant"))
    rig = Rig(monkeypatch, [gen(), ("", usage(2, 2))], [None])
    progress = []
    assert solve(paths, progress=progress.append, **flags) == ""
    assert "Syntax OK; alignment check disabled. Stopping." in progress
    assert progress[0].endswith("alignment=off")
    assert rig.llm.temperatures() == [None, None]
    assert rig.calls("_build_final_assessment_prompt")[0][0][4] == []
    assert rig.calls("_build_alignment_prompt") == []


def test_not_aligned_until_budget_spent(monkeypatch, paths):
    rig = Rig(monkeypatch, [gen("a", "b"), verdict(False, " wrong sign "), gen("c", "e"),
                            verdict(False, " still wrong ")], [None, None])
    progress = []
    stats = solve(paths, iterations=2, temperature=0.7, return_statistics=True, progress=progress.append)
    assert stats["assessment"] == "still wrong" and stats["syntax_errors"] == [] and stats["iterations"] == 2
    assert rig.calls("_build_final_assessment_prompt") == []
    assert rig.calls("_build_revision_prompt_alignment")[0] == (
        ("Plan production.", "GRAMMAR:BNF", "wrong sign", "a", "b"), {"few_shots": rig.shots})
    assert rig.llm.inputs()[2] == "_BUILD_REVISION_PROMPT_ALIGNMENT"
    assert rig.llm.temperatures() == [0.7, 0.0, 0.7, 0.0]
    assert progress.count("Not aligned; revising per assessment") == 2


@pytest.mark.parametrize("iterations", [4, 10**19])
def test_syntax_revision_then_aligned(monkeypatch, paths, iterations):
    rig = Rig(monkeypatch, [gen("bad", "x"), gen("good", "y"), verdict(True, "ok")],
              [SemanticError("nope"), None])
    assert solve(paths, iterations=iterations, return_statistics=True)["iterations"] == 2
    assert rig.llm.inputs() == ["_BUILD_GENERATION_PROMPT", "_BUILD_REVISION_PROMPT_SYNTAX",
                                "_BUILD_ALIGNMENT_PROMPT"]
    assert (read(paths[0]), read(paths[1])) == ("good", "y")


def test_final_assessment_sees_files_as_written(monkeypatch, paths):
    rig = Rig(monkeypatch, [gen("a\r\nb", "c\rd"), ("x", usage())], [None])
    solve(paths, alignment_check=False)
    assert rig.calls("_build_final_assessment_prompt")[0][0][2:4] == ("a\nb", "c\nd")


@pytest.mark.parametrize("result", [None, {}, ["not", "a", "dict"], RuntimeError("pricing down")])
def test_cost_estimation_failures_give_empty_estimate(monkeypatch, paths, result):
    rig = Rig(monkeypatch, [gen(), verdict(True)], [None])

    def costs(ns, summary):
        if isinstance(result, Exception):
            raise result
        return result

    rig.set("_estimate_costs", costs)
    stats = solve(paths, return_statistics=True)
    assert stats["cost"]["estimated_costs"] == {}


def reply_error(monkeypatch, paths, replies, outcomes=(None,)):
    Rig(monkeypatch, replies, list(outcomes))
    with pytest.raises(Exception) as info:
        solve(paths)
    return info.value


@pytest.mark.parametrize("reply", ["", None])
def test_empty_model_reply(monkeypatch, paths, reply):
    err = reply_error(monkeypatch, paths, [(reply, usage())])
    assert type(err) is RuntimeError and str(err) == "Empty model response."


@pytest.mark.parametrize("content", [
    "I cannot help with that.",
    '{"model": "m"}',
    '{"modell": "m", "data": "d"}',
    "[1, 2, 3]",
    "null",
    '{"model": "m", "data": "d"',
])
def test_unparsable_model_reply(monkeypatch, paths, content):
    err = reply_error(monkeypatch, paths, [(content, usage())])
    assert type(err) is RuntimeError
    ctx = err.__context__
    assert isinstance(ctx, Exception) and err.__cause__ is None and not err.__suppress_context__
    assert str(err) == "Failed to parse model response as JSON: " + str(ctx) + "\nResponse: " + content


def test_missing_data_key_names_the_key(monkeypatch, paths):
    err = reply_error(monkeypatch, paths, [('Here:\n```json\n{"model": "m"}\n```', usage())])
    assert type(err.__context__) is KeyError
    assert str(err) == ("Failed to parse model response as JSON: 'data'\nResponse: "
                        + 'Here:\n```json\n{"model": "m"}\n```')


@pytest.mark.parametrize("reply", [
    {"aligned": 1, "assessment": "ok"},
    {"aligned": "true", "assessment": "ok"},
    {"aligned": True},
    {"aligned": True, "assessment": 3},
    {"assessment": "ok"},
    None,
])
def test_invalid_alignment_reply(monkeypatch, paths, reply):
    text = json.dumps(reply)
    err = reply_error(monkeypatch, paths, [gen(), (text, usage())])
    assert type(err) is RuntimeError and str(err) == "Invalid alignment response JSON: " + text


def test_alignment_reply_errors(monkeypatch, paths):
    err = reply_error(monkeypatch, paths, [gen(), ("", usage())])
    assert type(err) is RuntimeError and str(err) == "Empty alignment response."
    err = reply_error(monkeypatch, paths, [gen(), ("no json here", usage())])
    assert isinstance(err, ValueError) and not isinstance(err, RuntimeError)


@pytest.mark.parametrize("reply, error, message", [
    (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
    (("a",), ValueError, "not enough values to unpack (expected 2, got 1)"),
    (7, TypeError, "cannot unpack non-iterable int object"),
])
def test_llm_result_must_be_a_pair(monkeypatch, paths, reply, error, message):
    err = reply_error(monkeypatch, paths, [reply])
    assert type(err) is error and str(err) == message


def test_llm_errors_propagate_unchanged(monkeypatch, paths):
    boom = RuntimeError("OPENAI_API_KEY environment variable not set.")
    assert reply_error(monkeypatch, paths, [boom]) is boom


def test_compiler_construction_error_propagates(monkeypatch, paths):
    rig = Rig(monkeypatch, [gen()])

    class Broken:
        def __init__(self):
            raise OSError("no compiler")

    rig.set("KelmCompiler", Broken)
    with pytest.raises(OSError, match="no compiler"):
        solve(paths)
    assert not os.path.exists(paths[0])


def test_compiler_interrupt_is_not_a_compile_error(monkeypatch, paths):
    Rig(monkeypatch, [gen()], [KeyboardInterrupt()])
    with pytest.raises(KeyboardInterrupt):
        solve(paths)


@pytest.mark.parametrize("kwargs, message", [
    ({"temperature": 1}, "Argument 'temperature' has incorrect type (expected float, got int)"),
    ({"stop": ("x",)}, "Argument 'stop' has incorrect type (expected list, got tuple)"),
    ({"llm_provider": 3}, "Argument 'llm_provider' has incorrect type (expected str, got int)"),
])
def test_argument_types(monkeypatch, paths, kwargs, message):
    rig = Rig(monkeypatch, [])
    with pytest.raises(TypeError) as info:
        solve(paths, **kwargs)
    assert str(info.value) == message
    assert rig.grammar.calls == [] and rig.llm.calls == []


@pytest.mark.parametrize("shots", [("x",), None])
def test_few_shots_result_type(monkeypatch, paths, shots):
    rig = Rig(monkeypatch, [gen(), verdict(True, "ok")], [None])
    rig.set("_gather_few_shots", lambda *a, **k: shots)
    if shots is None:
        assert solve(paths) == "ok"
        assert rig.calls("_build_generation_prompt")[0][1] == {"few_shots": None}
    else:
        with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
            solve(paths)
        assert rig.llm.calls == []


def test_files_in_new_folders_and_bare_names(monkeypatch, tmp_path):
    Rig(monkeypatch, [gen("M", "D"), verdict(True)], [None])
    deep = tmp_path / "a" / "b"
    modelwright.generative_solve("p", deep / "x.mod", str(tmp_path / "c" / "x.dat"))
    assert (deep / "x.mod").read_text() == "M" and (tmp_path / "c" / "x.dat").read_text() == "D"
    monkeypatch.chdir(tmp_path)
    Rig(monkeypatch, [gen("M2", "D2"), verdict(True)], [None])
    progress = []
    modelwright.generative_solve("p", "bare.mod", "bare.dat", progress=progress.append)
    assert (tmp_path / "bare.mod").read_text() == "M2"
    assert "Wrote files: bare.mod \u2022 bare.dat" in progress


def fail_in_second_iteration(monkeypatch, paths, second):
    Rig(monkeypatch, [gen("first", "data1"), second], [SemanticError("e")])
    with pytest.raises(Exception) as info:
        solve(paths, iterations=3)
    assert (read(paths[0]), read(paths[1])) == ("first", "data1")
    return info.value


@pytest.mark.parametrize("second, error, message", [
    (gen(model=3), TypeError, "write() argument must be str, not int"),
    (gen(data=["x"]), TypeError, "write() argument must be str, not list"),
    (ConnectionError("server gone"), ConnectionError, "server gone"),
    (("", usage()), RuntimeError, "Empty model response."),
])
def test_later_failure_keeps_earlier_files(monkeypatch, paths, second, error, message):
    err = fail_in_second_iteration(monkeypatch, paths, second)
    assert type(err) is error and str(err) == message


def test_output_folder_that_cannot_be_created(monkeypatch, tmp_path):
    blocker = tmp_path / "plain"
    blocker.write_text("a file, not a folder")
    Rig(monkeypatch, [gen()], [None])
    with pytest.raises(OSError):
        modelwright.generative_solve("p", str(blocker / "m.mod"), str(tmp_path / "m.dat"))
    assert blocker.read_text() == "a file, not a folder"
    assert not (tmp_path / "m.dat").exists()


def test_awkward_text_passes_through(monkeypatch, paths):
    description = 'He said "ship <all> of it" \x00 now & \'then\''
    big_model = "var x;\n" * 500_000
    rig = Rig(monkeypatch, [gen(big_model, "d\x00<>"), verdict(True, '"ok" <fine>')], [None])
    assert modelwright.generative_solve(description, *paths) == '"ok" <fine>'
    assert rig.few_shots.calls[0][0] == (description,)
    assert rig.calls("_build_generation_prompt")[0][0][0] == description
    assert read(paths[0]) == big_model and read(paths[1]) == "d\x00<>"


def test_huge_unparsable_reply_is_quoted_whole(monkeypatch, paths):
    content = "no json " * 500_000
    err = reply_error(monkeypatch, paths, [(content, usage())])
    assert str(err).endswith("\nResponse: " + content)


def test_progress_callback_errors_are_swallowed(monkeypatch, paths):
    Rig(monkeypatch, [gen(), verdict(True, "ok")], [None])

    def progress(msg):
        raise ValueError("display broke")

    assert solve(paths, progress=progress) == "ok"


def test_signature_text_and_doc():
    doc = modelwright.generative_solve.__doc__
    assert doc.startswith("Generate a Tavro model and data file from a prompt, validate with tavro, iterate on "
                          "errors, and assess alignment.\n\n    Args:\n        prompt (str): Problem description")
    assert doc.endswith("    Raises:\n        RuntimeError: If generation or validation fails irrecoverably.\n    ")
    assert str(inspect.signature(modelwright.generative_solve)) == (
        "(prompt, model_file, data_file, model_name='gpt-5', mode=<Grammar.BNF: 2>, iterations=5, "
        "return_statistics=False, alignment_check=None, temperature=None, stop=None, llm_provider='openai', "
        "progress=None, few_shot=True)")
    with pytest.raises(TypeError):
        modelwright.generative_solve("p", "m")
    with pytest.raises(TypeError):
        modelwright.generative_solve("p", "m", "d", colour="red")
