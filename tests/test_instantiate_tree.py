"""tavro._kelm.instantiate_tree: the compiled model's dictionary tree and data,
read back into the compiler and grounded like the text itself; malformed
trees and data are located SemanticErrors, never crashes."""

import copy
import pathlib
from importlib.resources import files

import numpy as np
import pytest

from tavro import _kelm
from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler

LIBRARY = files("tavro").joinpath("kelm_models")
EXAMPLES = sorted(p.name for p in LIBRARY.iterdir() if p.joinpath(p.name + ".mod").is_file())
ARRAYS = ("c", "col_lower", "col_upper", "row_lower", "row_upper", "values", "integrality", "indptr", "indices")


def texts(name):
    folder = pathlib.Path(str(LIBRARY.joinpath(name)))
    model, data = folder / (name + ".mod"), folder / (name + ".dat")
    return model.read_text(encoding="utf-8"), data.read_text(encoding="utf-8")


def assert_same_problem(got, want):
    assert list(got) == list(want)
    for key in ARRAYS:
        np.testing.assert_array_equal(got[key], want[key], err_msg=key)
        assert got[key].dtype == want[key].dtype, key
    for key in ("sense", "offset", "objective_name", "columns", "rows"):
        assert got[key] == want[key], key


@pytest.mark.parametrize("name", EXAMPLES)
def test_tree_grounds_like_the_text(name):
    model, data = texts(name)
    tree = KelmCompiler().compile_model(model, data)
    want = _kelm.instantiate(model, data)
    assert_same_problem(_kelm.instantiate_tree(tree, tree["data"]), want)
    # Without a data argument the tree's own "data" entry is used.
    assert_same_problem(_kelm.instantiate_tree(tree, None), want)


MODEL = """
{string} S = ...;
int n = ...;
range R = 1..n;
float a[S][R] = ...;
tuple P { string name; int k; }
{P} Ps = ...;
dvar float+ x[S] in 0..10;
minimize z: sum(s in S) x[s] + card(Ps);
subject to {
  forall(s in S) c: x[s] >= a[s][1];
  2 <= sum(s in S) x[s] <= 30;
}
"""
DATA = 'S = {"u", "v"}; n = 2; a = [[1, 2], [3, 4]]; Ps = {<"p", 1>};'


@pytest.fixture(scope="module")
def tree():
    return KelmCompiler().compile_model(MODEL, DATA)


def test_hand_edited_data_is_honoured(tree):
    data = copy.deepcopy(tree["data"])
    data["a"] = [[5, 0.5], [7.5, 1]]  # ints where floats are declared are taken as floats
    data["Ps"] = [["p", 1], {"k": 2, "name": "q"}]  # a tuple as a list or a dict in any order
    got = _kelm.instantiate_tree(tree, data)
    np.testing.assert_array_equal(got["row_lower"], [5.0, 7.5, 2.0])
    assert got["offset"] == 2.0
    # numpy arrays and scalars are read as the lists and numbers they hold.
    data.update(a=np.array([[5, 0.5], [7.5, 1]]), n=np.int64(2))
    np.testing.assert_array_equal(_kelm.instantiate_tree(tree, data)["row_lower"], [5.0, 7.5, 2.0])


@pytest.mark.parametrize("edit, message", [
    ({"a": [[1.0, 2.0]]}, "model:5:1: array 'a' needs 2 values for 'S' (dimension 1), found 1"),
    ({"a": [[1.0], [3.0, 4.0]]}, "array 'a' needs 2 values for 'R' (dimension 2), found 1"),
    ({"a": [[1.0, float("nan")], [3.0, 4.0]]}, "number expected for 'a', found number nan"),
    ({"a": [1.0, 2.0]}, "a list expected for 'a' (dimension 2), found number 1"),
    ({"n": 2.0}, "model:3:1: integer (declared int) expected for 'n', found number 2"),
    ({"n": True}, "integer expected for 'n', found boolean True"),
    ({"n": 2 ** 70}, "data for 'n': integer 1180591620717411303424 is too large"),
    ({"S": ["u", "u"]}, "model:2:1: duplicate element \"u\" in set 'S'"),
    ({"S": "uv"}, "a list of elements expected for set 'S', found string \"uv\""),
    ({"S": [1, 2]}, "string expected for 'S', found integer 1"),
    ({"Ps": [{"name": "p"}]}, "tuple 'P' has 2 fields, a value of 'Ps' has 1"),
    ({"Ps": [{"name": "p", "kk": 1}]}, "tuple 'P' has no field 'kk' (in a value of 'Ps')"),
    ({"Ps": ["p"]}, "tuple <...> of 'P' expected for 'Ps', found string \"p\""),
    ({"extra": 1}, "data:1:1: data for 'extra', which the model does not declare"),
    ({"x": [1, 2]}, "data for 'x', which is a decision variable"),
    ({"n": None}, "integer expected for 'n', found None"),
    ({1: 2}, "the data's names must be str, found a int"),
])
def test_bad_data_is_a_located_error(tree, edit, message):
    data = {**copy.deepcopy(tree["data"]), **edit}
    with pytest.raises(SemanticError) as exc:
        _kelm.instantiate_tree(tree, data)
    assert message in str(exc.value)


def test_missing_data_and_index_faults(tree):
    data = copy.deepcopy(tree["data"])
    del data["n"]
    with pytest.raises(SemanticError, match=r"model:3:1: 'n' has no value in the data"):
        _kelm.instantiate_tree(tree, data)
    with pytest.raises(SemanticError, match="the data must be a dict, found a list"):
        _kelm.instantiate_tree({"declarations": tree["declarations"]}, [1])


def decl(tree, name):
    return next(d for d in tree["declarations"] if d.get("name") == name)


def objective(t):
    return next(d for d in t["declarations"] if d["type"] == "objective")


def cyclic(t):
    node = {"type": "unary", "op": "-"}
    node["operand"] = node
    objective(t)["expr"] = node


@pytest.mark.parametrize("mutate, message", [
    (lambda t: t.update(declarations=5), "malformed model tree: 'declarations' must be a list, found a int"),
    (lambda t: t["declarations"].append("x"), "at declaration 10: a declaration must be a dict, found a str"),
    (lambda t: t["declarations"].append({"type": "var", "name": "q"}), "unknown declaration type 'var'"),
    (lambda t: decl(t, "x").pop("var_type"), "at declaration 7 ('x'): 'var_type' missing"),
    (lambda t: decl(t, "x").update(var_type="complex"), "'var_type' must be 'float', 'int' or 'boolean'"),
    (lambda t: decl(t, "x").update(high=None), "bounds 'low' and 'high' are given together or not at all"),
    (lambda t: decl(t, "x").update(nonnegative=1), "'nonnegative' must be a bool, found a int"),
    (lambda t: objective(t).update(expr={"type": "power"}), "unknown expression type 'power'"),
    (lambda t: objective(t).update(expr={"type": "binary", "op": "**", "left": 1, "right": 2}),
     "unknown binary operator '**'"),
    (lambda t: objective(t).update(expr={"type": "number", "value": "3"}),
     "a number's 'value' must be an int or a float, found a str"),
    (lambda t: objective(t).update(expr={"type": "number", "value": 10 ** 30}), "is too large"),
    (lambda t: objective(t).update(expr={"type": "call", "function": "card", "args": []}),
     "'card' needs at least one argument"),
    (lambda t: objective(t).update(expr={"type": "call", "function": "sqr", "args": [1]}),
     "unknown function 'sqr'"),
    (lambda t: objective(t).update(expr={"type": "index", "name": "x", "indices": []}),
     "an index node needs at least one index"),
    (lambda t: objective(t).update(expr={"type": "sum", "indices": [], "body": {"type": "number", "value": 1}}),
     "'indices' needs at least one clause"),
    (lambda t: objective(t).update(sense="maximise"), "'sense' must be 'minimize' or 'maximize'"),
    (lambda t: objective(t).update(expr=[]), "an expression must be a dict, found a list"),
    (cyclic, "expression nested deeper than 2500 levels"),
    (lambda t: objective(t)["expr"].update(type=None), "'type' must be a str, found None"),
    (lambda t: t["declarations"][-1]["constraints"][1].update(op="<"), "unknown comparison '<'"),
    (lambda t: t["declarations"][-1]["constraints"][0].pop("constraints"), "'constraints' missing"),
    (lambda t: t["declarations"][-1]["constraints"].append({"type": "implies"}), "unknown constraint type 'implies'"),
    (lambda t: decl(t, "P")["fields"].append({"name": "w"}), "'type' missing"),
    (lambda t: decl(t, "S").update(value={"type": "number", "value": 1}),
     "a set's 'value' must be a set_literal node or None"),
])
def test_malformed_tree_is_a_semantic_error(tree, mutate, message):
    t = copy.deepcopy(tree)
    mutate(t)
    with pytest.raises(SemanticError) as exc:
        _kelm.instantiate_tree(t, t.get("data"))
    assert message in str(exc.value)
    assert str(exc.value).startswith("malformed model tree")


def test_checker_faults_keep_the_tree_lines(tree):
    t = copy.deepcopy(tree)
    objective(t)["expr"] = {"type": "name", "name": "y"}
    t["declarations"][-1]["constraints"][1]["expr"] = {"type": "number", "value": 1}
    with pytest.raises(SemanticError) as exc:
        _kelm.instantiate_tree(t, t["data"])
    first, second = str(exc.value).splitlines()
    assert first.startswith("model:9:1: unknown name 'y'")
    assert second.startswith("model:12:1: constraint without decision variables")


def test_documented_example_tree_built_by_hand():
    n = lambda v: {"type": "name", "name": v}  # noqa: E731
    flow = lambda t: {"type": "index", "name": "flow", "indices": [n("a"), t]}  # noqa: E731
    tree = {"declarations": [
        {"type": "tuple", "name": "Arc", "line": 1, "fields": [
            {"name": "src", "type": "string"}, {"name": "dst", "type": "string"}, {"name": "cap", "type": "float"}]},
        {"type": "set", "name": "Arcs", "line": 2, "element_type": "Arc", "value": None},
        {"type": "range", "name": "T", "line": 3, "low": {"type": "number", "value": 1},
         "high": {"type": "number", "value": 2}},
        {"type": "dvar", "name": "flow", "line": 4, "var_type": "float", "nonnegative": True,
         "indices": [n("Arcs"), n("T")], "low": {"type": "number", "value": 0},
         "high": {"type": "number", "value": 10}},
        {"type": "objective", "name": "Flow", "line": 5, "sense": "maximize",
         "expr": {"type": "sum", "indices": [{"name": "a", "set": n("Arcs")}, {"name": "t", "set": n("T")}],
                  "filter": None, "body": flow(n("t"))}},
        {"type": "constraints", "name": None, "line": 6, "constraints": [
            {"type": "forall", "line": 6, "indices": [{"name": "a", "set": n("Arcs")}], "filter": None,
             "constraints": [{"type": "constraint", "name": "Cap", "line": 6, "op": "<=",
                              "left": flow({"type": "number", "value": 1}),
                              "right": {"type": "field", "base": n("a"), "field": "cap"}}]}]},
    ]}
    got = _kelm.instantiate_tree(tree, {"Arcs": [{"src": "A", "dst": "B", "cap": 1.0}], "T": {"low": 9, "high": 9}})
    assert got["sense"] == "maximize" and got["objective_name"] == "Flow"
    assert got["columns"] == [("flow", 4, 0, 2, [["<A,B,1.0>"], ["1", "2"]])]
    assert got["rows"] == [("Cap", True, 6, 0, 1, 1, ["<A,B,1.0>"])]
    np.testing.assert_array_equal(got["row_upper"], [1.0])
    np.testing.assert_array_equal(got["col_upper"], [10.0, 10.0])


class Shrinking:
    """A numpy-like value whose tolist() empties the list that holds it."""

    def __init__(self, holder):
        self.holder = holder

    def tolist(self):
        self.holder.clear()
        # Fill the freed memory, so a stale read sees garbage.
        self.junk = [object() for _ in range(1000)]
        return 1.0


class RaisingGetattr:
    def __init__(self, error):
        self.error = error

    def __getattr__(self, name):
        raise self.error


def test_values_that_change_their_list_are_read_safely(tree):
    # Read through borrowed pointers, this read freed memory (SIGSEGV).
    for _ in range(50):
        row = [None, 2.0]
        row[0] = Shrinking(row)
        data = {**copy.deepcopy(tree["data"]), "a": [row, [3.0, 4.0]]}
        got = _kelm.instantiate_tree(tree, data)
        np.testing.assert_array_equal(got["row_lower"], [1.0, 3.0, 2.0])


@pytest.mark.parametrize("make, error, message", [
    (object, TypeError, "data for 'n': values of type object are not plain data (None, bool, int, float, str, "
                        "list, tuple, dict or a numpy array)"),
    (lambda: RaisingGetattr(KeyboardInterrupt()), KeyboardInterrupt, ""),
    (lambda: RaisingGetattr(ValueError("no attributes here")), ValueError, "no attributes here"),
], ids=["object", "KeyboardInterrupt", "ValueError"])
def test_values_that_are_not_plain_data(tree, make, error, message):
    # hasattr through the C API swallowed every error, a KeyboardInterrupt from __getattr__ included.
    with pytest.raises(error) as exc:
        _kelm.instantiate_tree(tree, {**tree["data"], "n": make()})
    assert str(exc.value) == message


@pytest.mark.parametrize("mutate, message", [
    (lambda t: decl(t, "x").update(name="x y"), "'name' must be an identifier, found 'x y'"),
    (lambda t: decl(t, "n").update(name="sum"), "'name' must be an identifier, found 'sum'"),
    (lambda t: decl(t, "P")["fields"][0].update(name="1st"), "'name' must be an identifier, found '1st'"),
    (lambda t: objective(t).update(name="z\nstatus: infeasible"),
     "the objective's 'name' must be an identifier, found 'z\nstatus: infeasible'"),
    (lambda t: t["declarations"][-1]["constraints"][0]["indices"][0].update(name=""),
     "'name' must be an identifier, found ''"),
    (lambda t: t["declarations"][-1]["constraints"][1].update(name="a-b"),
     "a constraint's 'name' must be an identifier, found 'a-b'"),
    (lambda t: decl(t, "Ps").update(element_type="P Q"), "'element_type' must be a type or a tuple's name"),
])
def test_names_in_a_tree_are_identifiers(tree, mutate, message):
    t = copy.deepcopy(tree)
    mutate(t)
    with pytest.raises(SemanticError) as exc:
        _kelm.instantiate_tree(t, t["data"])
    assert message in str(exc.value)
