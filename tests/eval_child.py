"""Child process for the eval tests that need a resource limit or leave
work behind: ``tavro eval`` with a fake LLM answering every question with
the pair ``x >= a`` (a = the question's number), a compiler and a solver
that stall on a model holding STALL-COMPILE or STALL-SOLVE, and an optional
file-size limit (RLIMIT_FSIZE, SIGXFSZ ignored).

    python eval_child.py FSIZE_LIMIT DATASET [eval options...]    (0: no limit)

A question holding HOSTILE is answered with a model whose grounding never
ends; one holding STALL-COMPILE or STALL-SOLVE with a model that stalls
until the deadline or the cancel event the call is given, as the engine and
the solver do.
"""

import json
import re
import resource
import signal
import sys
import time

from tavro import _kelm, cli, modelwright, solver
from tavro.cli import preflight

MODEL = "float a;\ndvar float+ x;\nminimize cost: x;\nsubject to { low: x >= a; }\n"
HOSTILE = ("int n;\nrange I = 1..n;\nfloat big = sum(i in I, j in I, k in I) 1;\ndvar float+ x;\n"
           "minimize cost: x;\nsubject to { x >= big; }\n")


def reply_for(prompt):
    question = re.search(r"EVQ-(\d+)[^\n]*", prompt)
    if question is None:  # an alignment or feedback call
        return {"aligned": True, "assessment": "fine", "feedback": "fine"}
    text = question.group(0)
    if "HOSTILE" in text:
        return {"model": HOSTILE, "data": "n = 100000;\n"}
    marker = "".join("// %s\n" % m for m in ("STALL-COMPILE", "STALL-SOLVE") if m in text)
    return {"model": marker + MODEL, "data": "a = %s;\n" % question.group(1)}


def llm(**kwargs):
    return json.dumps(reply_for(kwargs["input_text"])), {"prompt_tokens": 1, "completion_tokens": 1}


def stall(deadline, cancel):
    # Waits as the engine's work would run: until its deadline (TimeoutError) or its cancel event.
    while deadline is None or time.monotonic() < deadline:
        if cancel is not None and cancel.is_set():
            raise KeyboardInterrupt("cancelled")
        time.sleep(0.02)
    raise TimeoutError("stalled past the deadline")


def stall_on(marker, original):
    def call(model_code, *args, deadline=None, cancel=None, **kwargs):
        if marker in model_code:
            stall(deadline, cancel)
        return original(model_code, *args, deadline=deadline, cancel=cancel, **kwargs)

    return call


_stalling = set()


def build_problem(model_code, data_code, _build=solver.build_problem, **kwargs):
    problem = _build(model_code, data_code, **kwargs)
    if "STALL-SOLVE" in model_code:
        _stalling.add(id(problem))
    return problem


def solve_problem(problem, *args, _solve=solver.solve_problem, options=None, **kwargs):
    if id(problem) in _stalling:
        try:
            stall(options.deadline, options.cancel)
        except TimeoutError:
            pass  # HiGHS stops at the deadline: the solve below ends at once
    return _solve(problem, *args, options=options, **kwargs)


modelwright._llm_generate_text = llm
preflight.require_provider = lambda args: None  # no Ollama server behind the fake LLM
modelwright._estimate_costs = lambda *args: {}
_kelm.compile = stall_on("STALL-COMPILE", _kelm.compile)
solver.build_problem = build_problem
solver.solve_problem = solve_problem

limit = int(sys.argv[1])
if limit:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
sys.exit(cli.main(["eval", sys.argv[2], "--provider", "ollama", "--model", "llama3", "--no-alignment",
                   *sys.argv[3:]]))
