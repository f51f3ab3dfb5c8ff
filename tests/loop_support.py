"""Loopback modellers for the solver-loop tests.

The model family of these tests: minimise x subject to ``low: x >= a`` and
``high: x <= b``; the optimum is ``a`` when ``a <= b``, else the two rows
conflict. Run as a script, it runs the command line with the tests folder on
sys.path (for subprocess tests):

    python loop_support.py eval data.jsonl --output r.jsonl ...
"""

import contextlib
import collections
import json
import os
import sys
import threading

MODEL = ("float a;\nfloat b;\ndvar float+ x;\nminimize cost: x;\nsubject to {\n"
         "    low: x >= a;\n    high: x <= b;\n}\n")


def data(a, b=1000):
    return "a = %s;\nb = %s;\n" % (a, b)


def pair_json(a, b=1000):
    return json.dumps({"model": MODEL, "data": data(a, b)})


def aligned():
    """A stub reply: the alignment check passes."""
    from stub_server import Reply

    return Reply.openai_text(json.dumps({"aligned": True, "assessment": "Looks right."}), 50, 5)


def feedback(**reply):
    """A stub reply of generative_feedback's JSON."""
    from stub_server import Reply

    return Reply.openai_text(json.dumps(reply), 70, 30)


PRICES = "| Model | Input ($/1M) | Output ($/1M) |\n|---|---|---|\n| gpt-5 | 1.25 | 10.00 |\n"


@contextlib.contextmanager
def openai_loopback(monkeypatch, folder):
    """A stub server reached by the real openai package, and a local price
    list (gpt-5 at 1.25 / 10.00 per million) in ``folder``/pricing.md."""
    from stub_server import StubServer
    from tavro import tokenmeter

    table = folder / "pricing.md"
    table.write_text(PRICES)
    monkeypatch.setattr(tokenmeter, "PRICING_URL", str(table))
    with StubServer() as server:
        monkeypatch.setenv("OPENAI_BASE_URL", server.openai_base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
        yield server


GEN = "Generate a valid Tavro model (.mod)"
ALIGN = "Assess whether the generated Tavro model"
FINAL = "Assess how well the generated Tavro model"
FEEDBACK = "Answer the user's question about the provided Tavro model and data."
COMPARE = "Several models were written independently for the same optimisation problem"
EXPLAIN = "Explain the answer of a solved optimisation model"
READING = "Describe in one paragraph how a scenario changed the answer"


def prompt_kind(prompt):
    for kind, marker in (("compare", COMPARE), ("explain", EXPLAIN), ("reading", READING), ("feedback", FEEDBACK),
                         ("align", ALIGN), ("final", FINAL), ("generate", GEN)):
        if marker in prompt:
            return kind
    return "unknown"


class Modeller:
    """A stub responder answering each generation prompt with the pair that
    ``answers`` gives for the question found in it (a list of replies is
    served in turn, so candidates of one question can differ); alignment
    always passes; feedback replies come from ``feedback`` (a callable of
    the prompt), every other prompt from ``other``."""

    def __init__(self, answers, feedback=None, tokens=(100, 20), other=None):
        self.answers = answers  # {question: reply text, or a list of them}
        self.feedback = feedback
        self.other = other
        self.tokens = tokens
        self._served = collections.Counter()
        self._lock = threading.Lock()

    def _answer(self, question):
        reply = self.answers[question]
        if isinstance(reply, str):
            return reply
        with self._lock:
            turn = self._served[question]
            self._served[question] += 1
        return reply[turn % len(reply)]

    def __call__(self, request):
        from stub_server import Reply

        prompt = request.json["input"]
        kind = prompt_kind(prompt)
        if kind == "generate":
            found = [q for q in self.answers if q in prompt]
            text = self._answer(max(found, key=len)) if found else "no idea"
        elif kind == "align":
            text = json.dumps({"aligned": True, "assessment": "Matches the description."})
        elif kind == "feedback" and self.feedback is not None:
            text = self.feedback(prompt)
        elif self.other is not None:
            text = self.other(prompt)
        else:
            text = "A fine model."
        return Reply.openai_text(text, *self.tokens)


def warm_openai():
    """Imports the openai package and makes a generation and a listing
    request that fail at once, so that a later call's deadline is spent on
    its request, not on loading what the first request of a process needs."""
    try:
        import openai
    except ImportError:
        return
    client = openai.OpenAI(api_key="sk", base_url="http://127.0.0.1:9/v1", max_retries=0)
    for request in (lambda: client.responses.create(model="m", input="hi"), client.models.list):
        try:
            request()
        except openai.APIConnectionError:
            pass


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from tavro.cli import main

    warm_openai()

    sys.exit(main(sys.argv[1:]))
