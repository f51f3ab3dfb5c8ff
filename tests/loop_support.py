"""Loopback modellers for the solver-loop tests, and a stand-in solver for the
one model family these tests use while ``tavro.solver`` is not built.

The family: minimise x subject to ``low: x >= a`` and ``high: x <= b``; the
optimum is ``a`` when ``a <= b``, else the two rows conflict. Run as a
script, installs what the subprocess needs and then runs the command line:

    python loop_support.py eval data.jsonl --output r.jsonl ...
"""

import json
import os
import re
import sys
import types

MODEL = ("float a;\nfloat b;\ndvar float+ x;\nminimize cost: x;\nsubject to {\n"
         "    low: x >= a;\n    high: x <= b;\n}\n")


def data(a, b=1000):
    return "a = %s;\nb = %s;\n" % (a, b)


def pair_json(a, b=1000):
    return json.dumps({"model": MODEL, "data": data(a, b)})


GEN = "Generate a valid Tavro model (.mod)"
ALIGN = "Assess whether the generated Tavro model"
FINAL = "Assess how well the generated Tavro model"
FEEDBACK = "Answer the user's question about the provided Tavro model and data."


def prompt_kind(prompt):
    for kind, marker in (("feedback", FEEDBACK), ("align", ALIGN), ("final", FINAL), ("generate", GEN)):
        if marker in prompt:
            return kind
    return "unknown"


class Modeller:
    """A stub responder answering each generation prompt with the pair that
    ``answers`` gives for the question found in it; alignment always passes;
    feedback replies come from ``feedback`` (a callable of the prompt)."""

    def __init__(self, answers, feedback=None, tokens=(100, 20)):
        self.answers = answers  # {question: reply text}
        self.feedback = feedback
        self.tokens = tokens

    def __call__(self, request):
        from stub_server import Reply

        prompt = request.json["input"]
        kind = prompt_kind(prompt)
        if kind == "generate":
            found = [q for q in self.answers if q in prompt]
            text = self.answers[max(found, key=len)] if found else "no idea"
        elif kind == "align":
            text = json.dumps({"aligned": True, "assessment": "Matches the description."})
        elif kind == "feedback" and self.feedback is not None:
            text = self.feedback(prompt)
        else:
            text = "A fine model."
        return Reply.openai_text(text, *self.tokens)


# -- the stand-in solver --------------------------------------------------------------

def _solver_ready():
    from tavro import solver

    try:
        solver.build_problem(MODEL, data(1))
    except NotImplementedError:
        return False
    return True


def _solve_family(model_file, data_file, time_limit=None, mip_gap=None):
    from tavro import tavro_core

    with open(model_file) as f:
        model = f.read()
    with open(data_file) as f:
        text = f.read()
    tavro_core.KelmCompiler().compile_model(model, text)
    if model != MODEL:
        raise NotImplementedError("the stand-in solver knows one model only")
    a = float(re.search(r"\ba\s*=\s*([-0-9.e]+)", text).group(1))
    b = float(re.search(r"\bb\s*=\s*([-0-9.e]+)", text).group(1))
    if a > b:
        conflict = [{"name": "low", "label": "low", "index": None, "line": 6, "text": "x >= %g" % a},
                    {"name": "high", "label": "high", "index": None, "line": 7, "text": "x <= %g" % b}]
        d = {"status": "infeasible", "objective": None, "values": {}, "duals": None, "reduced_costs": None,
             "conflict": conflict, "runaway": None, "message": "model_status is Infeasible"}
    else:
        d = {"status": "optimal", "objective": a, "values": {"x": a}, "duals": None, "reduced_costs": None,
             "conflict": None, "runaway": None, "message": "Optimal"}
    return types.SimpleNamespace(to_dict=lambda: dict(d), **d)


def install_solver(setattr_=setattr):
    """Use the stand-in when tavro.solver is still a stub; returns whether."""
    if _solver_ready():
        return False
    from tavro import solver

    setattr_(solver, "solve_files", _solve_family)
    return True


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    install_solver()
    from tavro.__main__ import main

    sys.exit(main(sys.argv[1:]))
