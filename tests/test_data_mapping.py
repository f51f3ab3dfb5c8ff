"""Data from Python: build_problem(model, {name: value}) takes numbers,
strings, lists, sets, dicts keyed by index values, numpy arrays and pandas
objects, checks them as the data file is checked, and grounds the same
problem as the equivalent data text."""
import numpy as np
import pytest

from tavro import solver
from tavro.semantic_error import SemanticError

MODEL = """\
{string} S = ...;
int n = ...;
range R = 1..n;
float c[S][R] = ...;
tuple P { string a; int b; }
{P} Ps = ...;
float w[Ps] = ...;
string city = ...;
dvar float+ x[S][R];
minimize z: sum(s in S, r in R) c[s][r] * x[s][r] + sum(p in Ps) w[p];
subject to { forall(s in S) sum(r in R) x[s][r] >= 1; }
"""
TEXT = 'S = {"u", "v"}; n = 2; c = [[1, 2], [3, 4.5]]; Ps = {<"x", 1>, <"y", 2>}; w = [0.5, 1]; city = "Oslo";'
BASE = {"S": ["u", "v"], "n": 2, "c": [[1, 2], [3, 4.5]], "Ps": [("x", 1), ("y", 2)], "w": [0.5, 1], "city": "Oslo"}


def same_as_text(data):
    want, got = solver.build_problem(MODEL, TEXT), solver.build_problem(MODEL, data)
    assert got.c.tolist() == want.c.tolist() and got.offset == want.offset
    assert got.column_names == want.column_names
    assert got.A.toarray().tolist() == want.A.toarray().tolist()


FORMS = [
    ("lists", {}),
    ("a set is taken in sorted order", {"S": {"v", "u"}}),
    ("tuples and numpy scalars", {"S": ("u", "v"), "n": np.int64(2), "w": (np.float32(0.5), np.int32(1))}),
    ("a numpy matrix", {"c": np.array([[1, 2], [3, 4.5]])}),
    ("numpy rows", {"c": [np.array([1, 2]), np.array([3, 4.5])]}),
    ("an int numpy matrix into an int array", {"c": np.array([[1.0, 2.0], [3.0, 4.5]], dtype=np.float32)}),
    ("tuple keys", {"c": {("v", 2): 4.5, ("u", 1): 1, ("v", 1): 3, ("u", 2): 2}}),
    ("nested dicts and lists", {"c": {"v": {2: 4.5, 1: 3}, "u": [1, 2]}}),
    ("a dict over a tuple set", {"w": {("y", 2): 1, ("x", 1): 0.5}}),
    ("tuples as dicts", {"Ps": [{"b": 1, "a": "x"}, {"a": "y", "b": 2}]}),
]


@pytest.mark.parametrize("change", [f[1] for f in FORMS], ids=[f[0] for f in FORMS])
def test_python_forms_ground_like_the_data_text(change):
    same_as_text({**BASE, **change})


def test_pandas_forms():
    pd = pytest.importorskip("pandas")
    index = pd.MultiIndex.from_tuples([("u", 1), ("u", 2), ("v", 1), ("v", 2)])
    same_as_text({**BASE, "S": pd.Index(["u", "v"]), "c": pd.Series([1, 2, 3, 4.5], index=index)})
    same_as_text({**BASE, "S": pd.Series(["u", "v"]),
                  "c": pd.DataFrame([[1, 2], [3, 4.5]], index=["u", "v"], columns=[1, 2]),
                  "Ps": pd.DataFrame({"b": [1, 2], "a": ["x", "y"]}),
                  "w": pd.Series([1, 0.5], index=pd.MultiIndex.from_tuples([("y", 2), ("x", 1)]))})
    same_as_text({**BASE, "S": pd.DataFrame({"site": ["u", "v"]}), "Ps": pd.DataFrame([["x", 1], ["y", 2]])})


FAULTS = [
    ({"c": [[1, 2]]}, "data['c']: array 'c' needs 2 values for 'S' (dimension 1), found 1"),
    ({"c": np.zeros(3)}, "data['c']: array 'c' needs shape (2, 2) for [S][R], found a numpy array of shape (3,)"),
    ({"c": np.zeros((2, 2), dtype=bool)},
     "data['c']: numbers expected, found a numpy array of booleans (convert it with .astype(int))"),
    ({"c": np.array([[1, 2], [3, np.nan]])}, "data['c']: number expected, found nan (for c[\"v\"][2])"),
    ({"c": [[1, 2], [3, "x"]]}, "data['c']: number expected, found str 'x' (for c[\"v\"][2])"),
    ({"c": {("u", 1): 1, ("u", 2): 2}}, "data['c']: no value for c[\"v\"][1] (nor for 1 other keys)"),
    ({"c": {("u", 3): 1}}, "data['c']: key 3 of 'c' is outside 'R' (1..2)"),
    ({"c": {("w", 1): 1}}, "data['c']: key \"w\" of 'c' is not an element of 'S'"),
    ({"c": {("u", 1, 1): 1}}, "data['c']: key tuple ('u', 1, 1) of 'c' has 3 parts, [S][R] takes at most 2"),
    ({"c": {("u", 1): 1, "u": {1: 2}}}, "data['c']: a second value for c[\"u\"][1]"),
    ({"n": 2.5}, "data['n']: integer expected (declared int), found float 2.5"),
    ({"n": True}, "data['n']: integer expected, found bool True"),
    ({"n": 2**70}, "data['n']: integer 1180591620717411303424 is too large (at most 9223372036854775807)"),
    ({"city": 3}, "data['city']: string expected, found int 3"),
    ({"S": ["u", "u"]}, "data['S']: duplicate element \"u\" in set 'S'"),
    ({"S": "uv"}, "data['S']: a list of elements expected, found str 'uv'"),
    ({"Ps": [("x", 1, 2)]}, "data['Ps']: tuple 'P' has 2 fields, tuple ('x', 1, 2) has 3 (element 1)"),
    ({"Ps": [("x", "y")]}, "data['Ps']: integer expected, found str 'y' (field 'b', element 1)"),
    ({"q": 1}, "data['q']: data for 'q', which the model does not declare; did you mean 'S'?"),
    ({"x": 1}, "data['x']: data for 'x', which is a decision variable: the solver finds its value; remove it "
               "from the data"),
    ({"R": 1}, "data['R']: data for 'R', whose value the model already gives (line 3); declare it with '= ...' "
               "or remove it here"),
]


@pytest.mark.parametrize("change, message", FAULTS)
def test_faults_name_the_entry(change, message):
    with pytest.raises(SemanticError) as info:
        solver.build_problem(MODEL, {**BASE, **change})
    assert str(info.value) == message


def test_a_missing_entry_is_located_at_its_declaration():
    data = dict(BASE)
    del data["city"]
    with pytest.raises(SemanticError, match=r"^model:8:8: 'city' has no value: give data\['city'\]$"):
        solver.build_problem(MODEL, data)


def test_names_must_be_str_and_data_dir_is_for_texts():
    with pytest.raises(TypeError, match="data names must be str, got int"):
        solver.build_problem(MODEL, {**BASE, 1: 2})
    with pytest.raises(TypeError, match="data_dir"):
        solver.build_problem(MODEL, BASE, data_dir=".")


def test_a_large_numpy_array_crosses_as_a_buffer():
    n = 1000
    cost = np.arange(n * n, dtype=np.float64).reshape(n, n)
    model = ("int n = ...;\nrange I = 1..n;\nfloat cost[I][I] = ...;\ndvar float+ x[I];\n"
             "minimize z: sum(i in I) cost[i][n] * x[i];\nsubject to { sum(i in I) x[i] >= 1; }\n")
    problem = solver.build_problem(model, {"n": n, "cost": cost})
    assert problem.c.tolist() == cost[:, -1].tolist()


class _EmptiesItsList:
    """A number whose __float__ empties the list that holds it."""

    def __init__(self, holder):
        self.holder = holder

    def __float__(self):
        self.holder.clear()
        self.junk = [object() for _ in range(1000)]  # reuses the freed memory
        return 1.0


def test_values_that_change_their_list_are_read_safely():
    # Read through borrowed pointers, the other items were freed (SIGSEGV).
    model = "range I = 1..3;\nfloat a[I] = ...;\ndvar float x[I];\nminimize z: sum(i in I) a[i] * x[i];"
    for k in range(50):
        row = [None, k + 0.5, k + 1.5]
        row[0] = _EmptiesItsList(row)
        assert solver.build_problem(model, {"a": row}).c.tolist() == [1.0, k + 0.5, k + 1.5]
