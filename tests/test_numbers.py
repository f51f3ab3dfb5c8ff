"""Numbers in the compiler's messages and names, and the printer behind them
(tavro._kelm.format_number, tavro._numbers.number_text): the shortest text
that reads back to the same float, as repr lays it out."""
import math
import random
import struct

import pytest

from tavro import _kelm
from tavro._numbers import number_text, report_number
from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler

OBJ = "dvar float+ x;\nminimize z: x;\n"
FLOATS = "{float} S = {0.1, 0.2};\ndvar float+ y[S];\nminimize z: sum(s in S) y[s];\n"


def repr_text(x):
    text = repr(x)
    return text[:-2] if text.endswith(".0") else text


def random_doubles(n, seed=3):
    rng = random.Random(seed)
    out = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(n)]
    out += [rng.uniform(-1e6, 1e6) for _ in range(n)] + [float(rng.randint(-10**17, 10**17)) for _ in range(n)]
    return [x for x in out if math.isfinite(x)]


def test_format_number_is_repr_without_the_point():
    specials = [0.0, -0.0, 0.1, 1e-4, 1e-5, 1e15, 1e16, 123456789.0, 5e-324, 1.7976931348623157e308]
    for x in specials + random_doubles(20000):
        assert _kelm.format_number(x) == repr_text(x), x


@pytest.mark.parametrize("value,text", [
    (math.inf, "infinity"), (-math.inf, "-infinity"), (math.nan, "nan"), (3, "3"), (True, "1"),
])
def test_format_number_special_values(value, text):
    assert _kelm.format_number(value) == text


def test_format_number_refuses_text():
    with pytest.raises(TypeError):
        _kelm.format_number("0.1")


@pytest.mark.parametrize("value,text", [
    (0.1, "0.1"), (2.0, "2"), (-0.0, "-0"), (1e16, "1e+16"), (math.inf, "inf"), (-math.inf, "-inf"),
    (math.nan, "nan"), (7, "7"),
])
def test_number_text(value, text):
    assert number_text(value) == text



@pytest.mark.parametrize("value,text", [
    (3.0, "3"), (-0.0, "0"), (120000000000.0, "120000000000"), (1e15, "1e+15"), (0.1 + 0.2, "0.3"),
    (3.193548387096774, "3.193548387"), (2.5e-07, "2.5e-07"), (-math.inf, "-inf"), (math.nan, "nan"), (7, "7"),
])
def test_report_number(value, text):
    assert report_number(value) == text

# (model, data, message): compile and instantiate give the same.
MESSAGES = [
    ("{float} S = ...;\n" + OBJ, "S = {0.1, 0.2, 0.1};", "data:1:16: duplicate element 0.1 in set 'S'"),
    ("{float} S = ...;\nfloat a[S] = ...;\n" + OBJ, "S = {0.1, 0.2};\na = #[0.1: 1, 0.1: 2]#;",
     "data:2:15: key 0.1 of 'a' appears twice"),
    ("{float} S = ...;\nfloat a[S] = ...;\n" + OBJ, "S = {0.1, 0.2};\na = #[0.1: 1]#;",
     "data:2:5: keyed array for 'a' has no value for 0.2 of 'S'"),
    (FLOATS + "subject to { y[0.3] >= 1; }", "", "model:4:16: index 0.3 of 'y' is not an element of 'S'"),
    (FLOATS + "subject to { y[0.1 + 0.2] >= 1; }", "",
     "model:4:16: index 0.30000000000000004 (from 0.1+0.2) of 'y' is not an element of 'S'"),
    ("float c = 1e16;\ndvar float x in c..1;\nminimize z: x;", "",
     "model:2:17: empty domain: 'x' has lower bound 1e+16 above its upper bound 1"),
    ("float c = 0.1 * 3;\n" + OBJ + "subject to { x - x >= c; }", "",
     "model:4:14: this constraint is always false: its decision variables cancel, leaving 0 >= 0.30000000000000004"),
]


@pytest.mark.parametrize("model,data,message", MESSAGES)
def test_numbers_in_messages(model, data, message):
    with pytest.raises(SemanticError) as compiled:
        KelmCompiler().compile_model(model, data)
    assert str(compiled.value) == message
    with pytest.raises(SemanticError) as built:
        _kelm.instantiate(model, data)
    assert str(built.value) == message


def test_float_elements_name_columns_as_repr():
    problem = _kelm.instantiate("{float} S = {0.1, 100000.0, 0.0001, 1e16};\ndvar float+ x[S];\n"
                                "minimize z: sum(s in S) x[s];", "")
    assert problem["columns"][0][4] == [["0.1", "100000.0", "0.0001", "1e+16"]]
