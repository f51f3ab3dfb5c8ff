"""Whatever the input, compile_model succeeds or raises SemanticError."""
import os
import random

import pytest

from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler
from test_compiler import VALID_MODELS


def outcome(model, data):
    try:
        KelmCompiler().compile_model(model, data)
    except SemanticError as exc:
        assert str(exc)
        return "error"
    return "ok"


def mutate(rng, text):
    sep = " " if rng.random() < 0.5 else ""
    pieces = text.split(sep) if sep else list(text)
    for _ in range(rng.randint(1, 3)):
        if not pieces:
            break
        i = rng.randrange(len(pieces))
        op = rng.randrange(4)
        if op == 0:
            del pieces[i]
        elif op == 1:
            pieces.insert(i, pieces[i])
        elif op == 2:
            j = rng.randrange(len(pieces))
            pieces[i], pieces[j] = pieces[j], pieces[i]
        else:
            pieces[i] = rng.choice(['"', "/*", "#[", "]#", "<", "..", "\x00", "9" * 30, "1e999", "\\", "é"])
    return sep.join(pieces)


def mutation_cases(count, seed=20261208):
    rng = random.Random(seed)
    pairs = list(VALID_MODELS.values())
    for _ in range(count):
        model, data = rng.choice(pairs)
        if rng.random() < 0.6:
            model = mutate(rng, model)
        else:
            data = mutate(rng, data)
        yield model, data


def test_mutations_raise_only_semantic_error():
    cases = list(mutation_cases(3000))
    dump = os.environ.get("KELM_CASES_DUMP")
    if dump:  # input for the native sanitizer driver: model, 0x01, data, 0x02
        with open(dump, "wb") as f:
            for model, data in cases:
                f.write(model.encode("utf-8", "surrogatepass") + b"\x01" + data.encode("utf-8") + b"\x02")
    seen = {outcome(m, d) for m, d in cases}
    assert "error" in seen


@pytest.mark.parametrize("model,data", [
    ("(" * 100_000, ""),
    ("dvar float x;\nminimize z: " + "(" * 100_000 + "x" + ")" * 100_000 + ";", ""),
    ("dvar float x;\nminimize z: " + "-" * 100_000 + "x;", ""),
    ("float a[1..2] = ...;\n" + "dvar float x;\nminimize z: x;\nsubject to { x >= 0; }", "a = " + "[" * 100_000 + ";"),
    ("float a;\n" * 50_000, ""),
    ("dvar float x;\nminimize z: x" + " + x" * 200_000 + ";\nsubject to { x >= 0; }", ""),
    ("dvar float x;\x00minimize z: x;", "\x00"),
    ("dvar float \ud800;", ""),
    ("float a;\ndvar float x;\nminimize z: x;", "a = \"\udcff\";"),
    ("", ""),
    ("\ufeff", "\ufeff"),
])
def test_extreme_inputs(model, data):
    assert outcome(model, data) in ("ok", "error")


@pytest.mark.parametrize("model,data", [(None, ""), ("", None), (b"int a;", ""), (1, 2), ([], {})])
def test_non_str_arguments(model, data):
    with pytest.raises(SemanticError):
        KelmCompiler().compile_model(model, data)
