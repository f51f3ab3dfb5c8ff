"""Scripted stand-ins for the collaborators of the modelwright workflows.

Each fake records how it was called, so tests can check the exact
positional/keyword split the workflows use.
"""

import json

from tavro import modelwright


class FakeLLM:
    """`_llm_generate_text`: pops one scripted reply per call.

    A reply is a (text, usage) pair, a plain value returned as is, or an
    exception instance to raise.
    """

    def __init__(self, *replies):
        self.replies = list(replies)
        self.calls = []

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        modelwright._notify(kwargs.get("progress"), "[LLM] fake: " + str(len(self.calls)))
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        return reply

    def inputs(self):
        return [c["input_text"] for c in self.calls]

    def temperatures(self):
        return [c["temperature"] for c in self.calls]


def usage(p=10, c=5):
    return {"prompt_tokens": p, "completion_tokens": c}


def gen(model="m1", data="d1", p=10, c=5):
    return json.dumps({"model": model, "data": data}), usage(p, c)


def verdict(aligned, text="  fine  ", p=3, c=2):
    return json.dumps({"aligned": aligned, "assessment": text}), usage(p, c)


class Recorder:
    """A function stand-in that records (args, kwargs) and returns a result."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result(*args, **kwargs) if callable(self.result) else self.result


def make_compiler(outcomes):
    """A KelmCompiler class whose compile_model follows `outcomes` in turn:
    None compiles, an exception instance is raised."""

    class FakeCompiler:
        instances = 0
        compiled = []

        def __init__(self):
            type(self).instances += 1

        def compile_model(self, model_code, data_code):
            type(self).compiled.append((model_code, data_code))
            outcome = outcomes.pop(0)
            if outcome is not None:
                raise outcome
            return "ignored"

    return FakeCompiler


def grammar_implementation(mode):
    if mode == modelwright.Grammar.NONE:
        return ""
    if mode in (modelwright.Grammar.BNF, modelwright.Grammar.CODE):
        return "GRAMMAR:" + mode.name
    raise ValueError("Invalid mode: " + str(mode))


def builder(name):
    return Recorder(lambda *a, **k: name)


BUILDERS = (
    "_build_generation_prompt",
    "_build_revision_prompt_syntax",
    "_build_alignment_prompt",
    "_build_revision_prompt_alignment",
    "_build_final_assessment_prompt",
    "_build_feedback_prompt",
)


class Rig:
    """Installs fakes for every collaborator of the workflows on the module."""

    def __init__(self, monkeypatch, llm_replies=(), compile_outcomes=()):
        self.mp = monkeypatch
        self.llm = FakeLLM(*llm_replies)
        self.compiler = make_compiler(list(compile_outcomes))
        self.costs = Recorder({"total_cost": 0.5})
        self.few_shots = Recorder(self._few_shots)
        self.shots = [{"description": "d", "model": "m", "data": "x"}]
        self.builders = {name: builder(name.upper()) for name in BUILDERS}
        self.set("_llm_generate_text", self.llm)
        self.set("KelmCompiler", self.compiler)
        self.set("_estimate_costs", self.costs)
        self.set("_gather_few_shots", self.few_shots)
        for name, fake in self.builders.items():
            self.set(name, fake)
        self.grammar = Recorder(grammar_implementation)
        self.set("_get_grammar_implementation", self.grammar)

    def _few_shots(self, *args, **kwargs):
        modelwright._notify(kwargs.get("progress"), "few-shot: fake")
        return self.shots

    def set(self, name, value):
        self.mp.setattr(modelwright, name, value)

    def calls(self, name):
        return self.builders[name].calls
