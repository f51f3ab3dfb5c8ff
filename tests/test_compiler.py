"""Messages and trees of the Kelm compiler behind KelmCompiler.compile_model."""
import pytest

from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler

TWO = "int a;\nint b;\ndvar float x;\nminimize z: x;\nsubject to { x>=a+b; }"
VALID = "dvar float x;\nminimize z: x;\nsubject to { x >= 0; }"
R3 = "range R = 1..3;\ndvar float y[R];\n"
TUPLE = "tuple P { int a; float cost; }\n{P} S = ...;\n"


def message(model, data=""):
    with pytest.raises(SemanticError) as info:
        KelmCompiler().compile_model(model, data)
    return str(info.value)


FAULTS = [
    # syntax
    ("missing ;", "dvar float x;\nminimize z: x\nsubject to { x >= 0; }", "",
     "model:2:14: ';' expected near 'subject'"),
    ("unexpected token", "dvar float x;\nminimize z: x;\nsubject to { x >= ; }", "",
     "model:3:19: expression expected near ';'"),
    ("unterminated comment", "dvar float x;\n/* open\nminimize z: x;", "",
     "model:2:1: unterminated comment: '*/' expected (to close '/*' at line 2)"),
    ("unterminated string", 'string s = "abc;\ndvar float x;', "",
     "model:1:12: unterminated string: '\"' expected before end of line"),
    ("subject without to", "dvar float x;\nminimize z: x;\nsubject { x>=0; }", "",
     "model:3:9: 'to' expected near '{'"),
    # names
    ("use before declaration", "dvar float x;\nminimize z: y;\nsubject to { x >= 0; }", "",
     "model:2:13: unknown name 'y'; did you mean 'x'?"),
    ("redeclaration", "dvar float x;\n" + VALID, "", "model:2:12: 'x' is already declared at line 1"),
    ("index out of scope", R3 + "minimize z: sum(i in R) y[i];\nsubject to { y[i] >= 0; }", "",
     "model:4:16: index 'i' is not in scope here: an index exists only inside its sum or forall"),
    ("unknown field", TUPLE + "dvar float x;\nminimize z: sum(p in S) p.cots * x;\nsubject to { x >= 0; }",
     "S = {<1, 2.0>};", "model:4:27: tuple 'P' has no field 'cots'; did you mean 'cost'?"),
    # data
    ("missing data", "float a;\n" + VALID, "", "model:1:7: 'a' has no value: give 'a = ...;' in the data"),
    ("undeclared data", "float a;\n" + VALID, "a = 1;\nq = 2;",
     "data:2:1: data for 'q', which the model does not declare; did you mean 'a'?"),
    ("data for dvar", "float a;\n" + VALID, "a = 1;\nx = 2;",
     "data:2:1: data for 'x', which is a decision variable: the solver finds its value; remove it from the data"),
    ("string for float", "float a;\n" + VALID, 'a = "s";', "data:1:5: number expected for 'a', found string '\"s\"'"),
    ("float for int", "int a;\n" + VALID, "a = 1.5;",
     "data:1:5: integer expected for 'a' (declared int), found number '1.5'"),
    ("tuple arity", TUPLE + VALID, "S = {<1, 2.0, 3>};", "data:1:6: tuple 'P' has 2 fields, this value has 3"),
    ("array size", "range R = 1..3;\nfloat c[R] = ...;\n" + VALID, "c = [1, 2];",
     "data:1:5: array 'c' needs 3 values for 'R' (dimension 1), found 2"),
    # indexing
    ("comma index", R3 + "minimize z: y[1,2];\nsubject to { y[1] >= 0; }", "",
     "model:3:16: ',' in an index: write a[i][j], one pair of brackets per index"),
    ("index outside range", R3 + "minimize z: y[4];\nsubject to { y[1] >= 0; }", "",
     "model:3:15: index 4 of 'y' is outside 'R' (1..3)"),
    ("index kind", R3 + 'minimize z: y["a"];\nsubject to { y[1] >= 0; }', "",
     "model:3:15: index 1 of 'y' must be int (an element of 'R'), found string"),
    # model
    ("no objective", "dvar float x;\nsubject to { x >= 0; }", "",
     "model:2:1: no objective: add 'minimize <expression>;' or 'maximize <expression>;'"),
    ("two objectives", "dvar float x;\nminimize z: x;\nmaximize w: x;\nsubject to { x >= 0; }", "",
     "model:3:1: a model has exactly one objective: one is already given at line 2"),
    ("constraint on data", "float a = 1;\n" + VALID.replace("x >= 0", "a >= 0"), "",
     "model:4:14: constraint without decision variables: it compares data only"),
    ("product of dvars", "dvar float x;\ndvar float y;\nminimize z: x*y;\nsubject to { x >= 0; }", "",
     "model:3:14: not linear: product of two terms with decision variables (the solver takes linear models only)"),
    ("division by dvar", "dvar float x;\nminimize z: 1/x;\nsubject to { x >= 0; }", "",
     "model:2:14: not linear: division by a term with decision variables (the solver takes linear models only)"),
    # character errors of a data file the quick scan hands to the token pass: once each
    ("stray character once", TWO, "a = 1 $;\nb = 2 =;",
     "data:1:7: unexpected character '$'\ndata:2:7: ';' expected near '='"),
    ("malformed number once", TWO, "a = 1x;\nb = 2 =;",
     "data:1:5: malformed number '1x'\ndata:2:7: ';' expected near '='"),
    ("large integer once", TWO, "a = 99999999999999999999;\nb = 2 =;",
     "data:1:5: integer '99999999999999999999' is too large (at most 9223372036854775807)\n"
     "data:2:7: ';' expected near '='"),
    ("bad escape once", 'string s;\n' + VALID, 's = "a\\qb";\nt = 1 =;', None),
]


@pytest.mark.parametrize("model,data,expected", [f[1:] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_fault_message(model, data, expected):
    got = message(model, data)
    if expected is None:  # no line may repeat
        lines = got.splitlines()
        assert len(lines) == len(set(lines)), got
    else:
        assert got == expected


PROMPT = "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }"

VALID_MODELS = {
    "prompt": (PROMPT, "a = 10;\nb= 5;"),
    "arcs": (
        'tuple Arc { string from; string to; float cost; }\n{Arc} A = ...;\ndvar float+ x[A];\n'
        'minimize z: sum(a in A) a.cost*x[a];\n'
        'subject to { forall(a in A: a.to == "b") x[a] >= 1; }',
        'A = {<"a","b",1>, <"b","c",2.5>};'),
    "arrays": (
        "int n = ...;\nrange I = 1..n;\n{string} S = ...;\nfloat c[I][S] = ...;\nfloat cap = 4;\n"
        "dvar float y[I][S] in 0..cap;\ndexpr float t = sum(i in I, s in S: c[i][s] > 0) c[i][s]*y[i][s];\n"
        "// comment\nmaximize t;\n/* block */\nsubject to {\n  forall(i in I) 0 <= sum(s in S) y[i][s] <= 3;\n}",
        'n = 2;\nS = {"p", "q"};\nc = [[1, 2], [0, 3]];'),
    "keyed": (
        '{string} S = ...;\nfloat w[S] = ...;\ndvar int+ k[S];\nminimize z: sum(s in S) w[s]*k[s];\n'
        'subject to { sum(s in S) k[s] >= 2; }',
        'S = {"p", "q"};\nw = #["p": 1, "q": 2.5]#;'),
}


@pytest.mark.parametrize("name", sorted(VALID_MODELS))
def test_valid_models_compile(name):
    model, data = VALID_MODELS[name]
    tree = KelmCompiler().compile_model(model, data)
    assert list(tree) == ["declarations", "data"]
    assert tree["declarations"]


def test_prompt_tree_shape():
    tree = KelmCompiler().compile_model(PROMPT, "a = 10;\nb= 5;")
    decls = tree["declarations"]
    assert decls[0] == {"type": "param", "name": "a", "line": 1, "value_type": "float", "indices": [],
                        "value": None}
    assert [d["type"] for d in decls][:3] == ["param", "param", "dvar"]
    assert decls[2]["name"] == "x" and decls[2]["var_type"] == "float"
    assert tree["data"] == {"a": 10, "b": 5} or tree["data"] == {"a": 10.0, "b": 5.0}


def test_several_errors_one_per_line():
    got = message("float a;\nfloat b;\n" + VALID, "")
    assert got.splitlines() == ["model:1:7: 'a' has no value: give 'a = ...;' in the data",
                                "model:2:7: 'b' has no value: give 'b = ...;' in the data"]


def test_at_most_five_errors():
    model = "".join(f"float a{i};\n" for i in range(9)) + VALID
    assert len(message(model).splitlines()) == 5


def test_no_state_between_calls():
    k = KelmCompiler()
    with pytest.raises(SemanticError):
        k.compile_model("float a;\n" + VALID, "")
    assert k.compile_model(PROMPT, "a = 10;\nb= 5;") == k.compile_model(PROMPT, "a = 10;\nb= 5;")
