"""Numeric arrays of the data file: a plainly written array is read in one
pass over its bytes; a comment inside the value sends it through the token
reader. Both must give the same Python values (int stays int, -0.0 stays
-0.0) and the same messages, and the engine must index either the same."""
import pytest

from tavro import solver
from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler

HEAD = "range R = 1..2;\n{string} S = ...;\n"
TAIL = "dvar float x;\nminimize z: x;\nsubject to { x >= 0; }\n"


def model(decl):
    return HEAD + decl + TAIL


def outcome(decl, data):
    try:
        got = KelmCompiler().compile_model(model(decl), 'S = {"u", "v", "w"};\n' + data)
    except SemanticError as e:
        return "error: " + str(e)
    return repr(got["data"])


def tokenized(data):
    """The same value with a comment before its last ']': the token reader
    reads it, and every position before the comment is unchanged."""
    cut = data.rindex("]")
    return data[:cut] + "/**/" + data[cut:]


VALUES = [
    ("int a[R] = ...;\n", "a = [1, -2];"),
    ("int a[R] = ...;\n", "a = [+7,0];"),
    ("int a[R] = ...;\n", "a = [1e3, -2.0];"),                       # whole floats become ints
    ("int a[R] = ...;\n", "a = [9223372036854775807, -9223372036854775807];"),
    ("int a[R] = ...;\n", "a = [0123, 1E2];"),
    ("float a[R] = ...;\n", "a = [1, -0];"),                         # ints become floats, -0 is -0.0
    ("float a[R] = ...;\n", "a = [-0.0, .5];"),
    ("float a[R] = ...;\n", "a = [1., 2.5e-3];"),
    ("float a[R] = ...;\n", "a = [1.7976931348623157e308, 4.9e-324];"),
    ("float a[R] = ...;\n", "a = [0.1, 1234567890123456789];"),
    ("float a[R][S] = ...;\n", "a = [[1, 2.5, -3], [4e1, 5, 6.25]];"),
    ("float a[R][S] = ...;\n", "a = [\n  [1,\t2 ,3 ],\r\n  [4,5,6]\n]  ;"),
    ("int a[S][R][R] = ...;\n", "a = [[[1,2],[3,4]],[[5,6],[7,8]],[[9,10],[11,12]]];"),
    ("float a[1..3] = ...;\n", "a = [3, 2, 1];"),
    ("int a[R] = ...;\n", "a = [1, 2,];"),                           # a trailing comma
    ("int a[R] = ...;\n", "a = [1, - 2];"),                          # a sign apart from its number
    ("float a[R] = ...;\n", "a = [infinity, -infinity];"),
    ("float a[R][S] = ...;\n", "a = #[2: [1, 2, 3], 1: [4, 5, 6]]#;"),
    ("float a[R][S] = ...;\n", "a = [#[\"w\": 1, \"u\": 2, \"v\": 3]#, [4, 5, 6]];"),
]


@pytest.mark.parametrize("decl, data", VALUES)
def test_values_match_the_token_reader_types_included(decl, data):
    direct = outcome(decl, data)
    assert not direct.startswith("error"), direct
    assert direct == outcome(decl, tokenized(data))


def test_value_shapes_and_types():
    got = KelmCompiler().compile_model(model("int a[R] = ...;\nfloat b[R][S] = ...;\n"),
                                       'S = {"u", "v", "w"};\na = [1e3, -0];\nb = [[1, -0, 2.5], [3, 4, 5]];')
    assert got["data"]["a"] == [1000, 0] and [type(v) for v in got["data"]["a"]] == [int, int]
    b = got["data"]["b"]
    assert b == [[1.0, 0.0, 2.5], [3.0, 4.0, 5.0]] and all(type(v) is float for row in b for v in row)
    assert repr(b[0][1]) == "-0.0"
    assert len({id(row) for row in b}) == 2


FAULTS = [
    ("int a[R] = ...;\n", "a = [1];", "data:2:5: array 'a' needs 2 values for 'R' (dimension 1), found 1"),
    ("int a[R] = ...;\n", "a = [1, 2, 3];", "data:2:5: array 'a' needs 2 values for 'R' (dimension 1), found 3"),
    ("float a[R][S] = ...;\n", "a = [[1, 2, 3], [4, 5]];",
     "data:2:17: array 'a' needs 3 values for 'S' (dimension 2), found 2"),
    ("int a[R] = ...;\n", "a = [1, 1.5];", "data:2:9: integer expected for 'a' (declared int), found number '1.5'"),
    ("int a[R] = ...;\n", "a = [1, 9223372036854775808];",
     "data:2:9: integer '9223372036854775808' is too large (at most 9223372036854775807)"),
    ("float a[R] = ...;\n", "a = [2, 92233720368547758070];",
     "data:2:9: integer '92233720368547758070' is too large (at most 9223372036854775807)"),
    ("float a[R] = ...;\n", "a = [1e999, 2];", "data:2:6: number '1e999' is out of range"),
    ("float a[R] = ...;\n", "a = [1x, 2];", "data:2:6: malformed number '1x'"),
    ("float a[R] = ...;\n", 'a = [1, "2"];', "data:2:9: number expected for 'a', found string '\"2\"'"),
    ("float a[R] = ...;\n", "a = [1, 2]", "data:2:11: ';' expected near end of file"),
    ("float a[R] = ...;\n", "a = [1, 2];\na = [3, 4];", "data:3:1: data for 'a' given twice (first at line 2)"),
]


@pytest.mark.parametrize("decl, data, want", FAULTS)
def test_faults_are_reported_by_the_token_reader(decl, data, want):
    assert outcome(decl, data) == "error: " + want


@pytest.mark.parametrize("decl, data, want", [f for f in FAULTS if "end of file" not in f[2]])
def test_fault_messages_do_not_depend_on_the_reader(decl, data, want):
    assert outcome(decl, tokenized(data)) == "error: " + want


GROUNDED = """\
range R = 1..2;
{string} S = ...;
int k[S] = ...;
float c[R][S] = ...;
dvar float+ x[R][S];
minimize cost: sum(i in R, s in S) c[i][s] * x[i][s];
subject to {
  forall(s in S) need: sum(i in R) x[i][s] >= k[s];
  pick: x[2]["v"] <= c[1]["w"];
}
"""


def test_engine_indexes_flat_and_tokenized_arrays_alike():
    data = 'S = {"u", "v", "w"};\nk = [1, 2, 3];\nc = [[1.5, 2, 3], [4, 5, -6.25]];'
    flat = solver.build_problem(GROUNDED, data)
    slow = solver.build_problem(GROUNDED, tokenized(data))
    assert flat.c.tolist() == slow.c.tolist() == [1.5, 2.0, 3.0, 4.0, 5.0, -6.25]
    assert flat.row_lower.tolist() == slow.row_lower.tolist()
    assert flat.row_upper.tolist() == slow.row_upper.tolist()
    assert flat.row_upper.tolist()[-1] == 3.0   # c[1]["w"]
    assert flat.row_lower.tolist()[:3] == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("enabled", [True, False])
def test_collector_state_is_restored(enabled):
    import gc

    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        KelmCompiler().compile_model(model("float a[R] = ...;\n"), 'S = {"u"};\na = [1, 2];')
        with pytest.raises(SemanticError):
            KelmCompiler().compile_model(model("float a[R] = ...;\n"), 'S = {"u"};\na = [1];')
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_non_ascii_text_reads_the_same():
    data = '// coût\nS = {"é", "v", "w"};\na = [[1, 2, 3], [4, 5, 6.5]];'
    got = KelmCompiler().compile_model(model("float a[R][S] = ...;\n"), data)
    assert got["data"]["S"] == ["é", "v", "w"]
    assert got["data"]["a"] == [[1.0, 2.0, 3.0], [4.0, 5.0, 6.5]]
    with pytest.raises(SemanticError, match=r"^data:3:5: array 'a' needs 2 values for 'R' \(dimension 1\), found 1$"):
        KelmCompiler().compile_model(model("float a[R][S] = ...;\n"), data.replace(", [4, 5, 6.5]", ""))
