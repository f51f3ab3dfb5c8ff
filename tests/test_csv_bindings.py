"""Data bindings: csv(FILE, COLUMNS) in a data file, read by the compiler
into the values a literal data file gives (shapes, conversions, fills), and
every fault of a table reported at the binding with the table's row and
column."""
import os

import pytest

from tavro import _kelm, solver
from tavro.semantic_error import SemanticError
from tavro.tavro_core import KelmCompiler

TAIL = "dvar float x;\nminimize z: x;\nsubject to { x >= 0; }\n"


def compile_in(folder, decls, data, tables, **kw):
    for name, text in tables.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(text if isinstance(text, bytes) else text.encode("utf-8"))
    return KelmCompiler().compile_model(decls + TAIL, data, data_dir=folder, **kw)["data"]


def outcome(folder, decls, data, tables):
    try:
        return compile_in(folder, decls, data, tables)
    except SemanticError as e:
        return "error: " + str(e)


KV = "k,v\n"
SETS = '{string} S = ...;\n'

SHAPES = [
    ("a set: distinct values in order of first appearance", SETS, 'S = csv("t.csv", "p");',
     {"t.csv": "p,q\nb,1\na,2\nb,3\nc,4\na,5\n"}, {"S": ["b", "a", "c"]}),
    ("a set of ints", "{int} S = ...;\n", 'S = csv("t.csv", "p");', {"t.csv": "p\n3\n1e1\n3\n"}, {"S": [3, 10]}),
    ("a header-only table is an empty set", SETS, 'S = csv("t.csv", "p");', {"t.csv": "p,q\n"}, {"S": []}),
    ("a tuple set: one column per field, in field order",
     "tuple Road { string a; string b; float km; }\n{Road} R = ...;\n", 'R = csv("t.csv", "from", "to", "km");',
     {"t.csv": "km,to,from\n5,B,A\n7,C,B\n"},
     {"R": [{"a": "A", "b": "B", "km": 5.0}, {"a": "B", "b": "C", "km": 7.0}]}),
    ("an int column in a float array, keys in any row order", SETS + "float c[S] = ...;\n",
     'S = {"u", "v"};\nc = csv("t.csv", "k" -> "v");', {"t.csv": KV + "v,2\nu,1\n"},
     {"S": ["u", "v"], "c": [1.0, 2.0]}),
    ("whole numerals and blanks in an int array", "range R = 1..3;\nint c[R] = ...;\n",
     'c = csv("t.csv", "k" -> "v");', {"t.csv": KV + "1,1e3\n2, 3.0 \n3,-7\n"},
     {"R": {"low": 1, "high": 3}, "c": [1000, 3, -7]}),
    ("infinity, signs and exponents in a float array", "range R = 1..4;\nfloat c[R] = ...;\n",
     'c = csv("t.csv", "k" -> "v");', {"t.csv": KV + "1,infinity\n2,-infinity\n3,+1.5E-3\n4,-0\n"},
     {"R": {"low": 1, "high": 4}, "c": [float("inf"), float("-inf"), 0.0015, -0.0]}),
    ("a 2-D array over a set and a range", SETS + "float c[S][1..2] = ...;\n",
     'S = {"u", "v"};\nc = csv("t.csv", "s", "t" -> "c");', {"t.csv": "s,t,c\nu,1,1\nu,2,2\nv,2,4\nv,1,3\n"},
     {"S": ["u", "v"], "c": [[1.0, 2.0], [3.0, 4.0]]}),
    ("a 3-D int array", "range R = 1..2;\nint c[R][R][R] = ...;\n", 'c = csv("t.csv", "a", "b", "c" -> "v");',
     {"t.csv": "a,b,c,v\n" + "".join(f"{a},{b},{c},{a}{b}{c}\n" for a in (1, 2) for b in (1, 2) for c in (1, 2))},
     {"R": {"low": 1, "high": 2}, "c": [[[111, 112], [121, 122]], [[211, 212], [221, 222]]]}),
    ("an array over a tuple set takes one key column per field",
     "tuple P { string a; int b; }\n{P} Ps = ...;\nfloat c[Ps] = ...;\n",
     'Ps = {<"x", 1>, <"y", 2>};\nc = csv("t.csv", "a", "b" -> "c");', {"t.csv": "a,b,c\ny,2,5\nx,1,4\n"},
     {"Ps": [{"a": "x", "b": 1}, {"a": "y", "b": 2}], "c": [4.0, 5.0]}),
    ("a string array", SETS + "string c[S] = ...;\n", 'S = {"u", "v"};\nc = csv("t.csv", "k" -> "v");',
     {"t.csv": KV + 'u,"Oslo, Norway"\nv,Bergen\n'}, {"S": ["u", "v"], "c": ["Oslo, Norway", "Bergen"]}),
    ("default fills the missing keys", SETS + "int c[S][S] = ...;\n",
     'S = {"u", "v"};\nc = csv("t.csv", "a", "b" -> "v") default -1;', {"t.csv": "a,b,v\nu,v,3\n"},
     {"S": ["u", "v"], "c": [[-1, 3], [-1, -1]]}),
    ("default fills blank cells: no limit given", "range R = 1..3;\nfloat lo[R] = ...;\nfloat hi[R] = ...;\n",
     'lo = csv("t.csv", "k" -> "min") default 0;\nhi = csv("t.csv", "k" -> "max") default infinity;',
     {"t.csv": "k,min,max\n1,5,\n2,,7\n3, ,\n"},
     {"R": {"low": 1, "high": 3}, "lo": [5.0, 0.0, 0.0], "hi": [float("inf"), 7.0, float("inf")]}),
    ("default fills a blank cell of an int array", "range R = 1..2;\nint c[R] = ...;\n",
     'c = csv("t.csv", "k" -> "v") default -1;', {"t.csv": KV + "1,\n2,4\n"},
     {"R": {"low": 1, "high": 2}, "c": [-1, 4]}),
    ("a blank cell is a missing one for symmetric and diagonal", SETS + "float d[S][S] = ...;\n",
     'S = {"u", "v"};\nd = csv("t.csv", "a", "b" -> "km") symmetric diagonal 0 default 99;',
     {"t.csv": "a,b,km\nu,v,\nv,u,5\nu,u,\n"}, {"S": ["u", "v"], "d": [[0.0, 5.0], [5.0, 0.0]]}),
    ("a pair list with a constant value", SETS + "int c[S][S] = ...;\n",
     'S = {"u", "v"};\nc = csv("t.csv", "a", "b" -> 1) default 0;', {"t.csv": "a,b\nv,u\nu,u\n"},
     {"S": ["u", "v"], "c": [[1, 0], [1, 0]]}),
    ("symmetric fills (b, a) from (a, b), diagonal the diagonal", SETS + "float d[S][S] = ...;\n",
     'S = {"u", "v", "w"};\nd = csv("t.csv", "a", "b" -> "km") symmetric diagonal 0;',
     {"t.csv": "a,b,km\nu,v,1\nw,u,2\nv,w,3\nw,v,3\n"},
     {"S": ["u", "v", "w"], "d": [[0.0, 1.0, 2.0], [1.0, 0.0, 3.0], [2.0, 3.0, 0.0]]}),
    ("a keyed single value", "int n = ...;\nfloat r = ...;\nstring s = ...;\n",
     'n = csv("t.csv", "k" -> "v")["open"];\nr = csv("t.csv", "k" -> "v")[2];\n'
     's = csv("t.csv", "k" -> "v")["city"];', {"t.csv": KV + "open,4\n2.0,0.5\ncity,Troms\u00f8\n"},
     {"n": 4, "r": 0.5, "s": "Troms\u00f8"}),
    ("a blank single value takes its default", "float r = ...;\n", 'r = csv("t.csv", "k" -> "v")["x"] default 2.5;',
     {"t.csv": KV + "x,\n"}, {"r": 2.5}),
    ("a missing single value takes its default", "int n = ...;\n", 'n = csv("t.csv", "k" -> "v")["x"] default 9;',
     {"t.csv": KV + "open,4\n"}, {"n": 9}),
    ("bindings and literals side by side, one table read twice", SETS + "float c[S] = ...;\nint n = ...;\n",
     'n = 3;\nS = csv("t.csv", "k");\nc = csv("t.csv", "k" -> "v");', {"t.csv": KV + "u,1\nv,2\n"},
     {"S": ["u", "v"], "c": [1.0, 2.0], "n": 3}),
]


@pytest.mark.parametrize("decls, data, tables, want", [s[1:] for s in SHAPES], ids=[s[0] for s in SHAPES])
def test_binding_shapes(tmp_path, decls, data, tables, want):
    got = compile_in(tmp_path, decls, data, tables)
    assert got == want
    assert [type(v) for v in got.get("c", [])] == [type(v) for v in want.get("c", [])]
    if "c" in want and want["c"] == [float("inf"), float("-inf"), 0.0015, -0.0]:
        assert repr(got["c"][3]) == "-0.0"


CSV_TEXT = [
    ("byte-order mark and CRLF", b"\xef\xbb\xbfk,v\r\nu,1\r\nv,2\r\n"),
    ("no final line end", b"k,v\nu,1\nv,2"),
    ("empty trailing and blank lines", b"k,v\n\nu,1\r\n\r\nv,2\n\n\n"),
    ("lone CR line ends", b"k,v\ru,1\rv,2\r"),
    ("quoted fields", b'"k","v"\n"u","1"\n"v",2\n'),
    ("a quoted value with spaces", b'k,v\nu," 1 "\nv,2\n'),
]


@pytest.mark.parametrize("text", [c[1] for c in CSV_TEXT], ids=[c[0] for c in CSV_TEXT])
def test_csv_text_forms(tmp_path, text):
    got = compile_in(tmp_path, SETS + "float c[S] = ...;\n", 'S = csv("t.csv", "k");\nc = csv("t.csv", "k" -> "v");',
                     {"t.csv": text})
    assert got == {"S": ["u", "v"], "c": [1.0, 2.0]}


def test_quoted_fields_keep_commas_quotes_and_line_breaks(tmp_path):
    text = 'name,note\n"a, b","say ""hi"""\n"c\nd",x\n"",""\n'
    got = compile_in(tmp_path, "{string} S = ...;\nstring n[S] = ...;\n",
                     'S = csv("t.csv", "name");\nn = csv("t.csv", "name" -> "note");', {"t.csv": text})
    assert got == {"S": ["a, b", "c\nd", ""], "n": ['say "hi"', "x", ""]}


def test_numbers_read_as_python_reads_them(tmp_path):
    cells = ["0.1", "1e-320", "4.9e-324", "1.7976931348623157e308", "123456789012345678901234567890", ".5", "5.",
             "1E+3", "-2.5e-3", "0003.25", "9007199254740993"]
    text = "k,v\n" + "".join(f"{k},{c}\n" for k, c in enumerate(cells, 1))
    got = compile_in(tmp_path, f"float c[1..{len(cells)}] = ...;\n", 'c = csv("t.csv", "k" -> "v");', {"t.csv": text})
    assert got["c"] == [float(c) for c in cells]


# (declarations, data, tables, message): the binding line is
# `c = csv("t.csv", "k" -> "v");` with 'csv' at column 5, the file at 9, the
# key column at 18 and the value column at 25.
ARRAY = SETS + "float c[S] = ...;\n"
ARRAY_DATA = 'S = {"u", "v"};\nc = csv("t.csv", "k" -> "v");'
RANGE = "range R = 1..2;\nint c[R] = ...;\n"
ONE = 'c = csv("t.csv", "k" -> "v");'

FAULTS = [
    ("not a number", ARRAY, ARRAY_DATA, {"t.csv": KV + "u,1\nv,n/a\n"},
     "data:2:25: t.csv row 3, column v: 'n/a' is not a number (for 'c')"),
    ("not an integer", RANGE, ONE, {"t.csv": KV + "1,1\n2,two\n"},
     "data:1:25: t.csv row 3, column v: 'two' is not an integer (for 'c')"),
    ("not whole", RANGE, ONE, {"t.csv": KV + "1,2.5\n2,1\n"},
     "data:1:25: t.csv row 2, column v: '2.5' is not a whole number (for 'c'), declared int"),
    ("an empty cell", ARRAY, ARRAY_DATA, {"t.csv": KV + "u,\nv,1\n"},
     "data:2:25: t.csv row 2, column v: the cell is empty, a number is expected (for 'c'); 'default V' fills "
     "empty cells"),
    ("out of range", ARRAY, ARRAY_DATA, {"t.csv": KV + "u,1e999\nv,1\n"},
     "data:2:25: t.csv row 2, column v: '1e999' is out of range (for 'c')"),
    ("an int has no infinity", RANGE, ONE, {"t.csv": KV + "1,infinity\n2,1\n"},
     "data:1:25: t.csv row 2, column v: 'infinity' is not an integer (for 'c')"),
    ("a missing key", ARRAY, ARRAY_DATA, {"t.csv": KV + "v,1\n"},
     "data:2:5: t.csv has no row for c[\"u\"]: add the rows or give 'default V'"),
    ("missing keys of a square array", SETS + "float d[S][S] = ...;\n",
     'S = {"u", "v"};\nd = csv("t.csv", "a", "b" -> "v");', {"t.csv": "a,b,v\nu,u,0\nu,v,1\n"},
     "data:2:5: t.csv has no row for d[\"v\"][\"u\"] (nor for 1 other keys): add the rows or give 'default V' "
     "(or 'symmetric' for a table of one direction)"),
    ("a key given twice", ARRAY, ARRAY_DATA, {"t.csv": KV + "u,1\nv,2\n\nu,3\n"},
     "data:2:5: t.csv row 5: a second value for c[\"u\"] (first at row 2)"),
    ("a key given twice, first blank", ARRAY, 'S = {"u", "v"};\nc = csv("t.csv", "k" -> "v") default 0;',
     {"t.csv": KV + "u,\nv,2\nu,3\n"}, "data:2:5: t.csv row 4: a second value for c[\"u\"] (first at row 2)"),
    ("a key outside the set", ARRAY, ARRAY_DATA, {"t.csv": KV + "u,1\nw,2\n"},
     "data:2:18: t.csv row 3, column k: \"w\" is not an element of 'S' (for 'c')"),
    ("a key outside the range", RANGE, ONE, {"t.csv": KV + "1,1\n3,2\n"},
     "data:1:18: t.csv row 3, column k: 3 is outside 'R' (1..2) (for 'c')"),
    ("a key of the wrong kind", RANGE, ONE, {"t.csv": KV + "1,1\nb,2\n"},
     "data:1:18: t.csv row 3, column k: 'b' is not an integer (for 'c')"),
    ("an unknown column", ARRAY, 'S = {"u", "v"};\nc = csv("t.csv", "key" -> "v");', {"t.csv": "key,amount\nu,1\n"},
     "data:2:27: t.csv has no column 'v' (its columns: key, amount)"),
    ("an unknown column, with a suggestion", ARRAY, 'S = {"u", "v"};\nc = csv("t.csv", "k" -> "cots");',
     {"t.csv": "k,cost\nu,1\n"}, "data:2:25: t.csv has no column 'cots'; did you mean 'cost'? (its columns: k, cost)"),
    ("a column named twice in the header", ARRAY, ARRAY_DATA, {"t.csv": "k,v,v\nu,1,2\n"},
     "data:2:25: t.csv has two columns named 'v' (columns 2 and 3)"),
    ("a missing file", ARRAY, ARRAY_DATA, {}, None),
    ("a ragged row", ARRAY, ARRAY_DATA, {"t.csv": KV + "u,1\nv,2,3\n"},
     "data:2:5: t.csv row 3: 3 fields, the header has 2"),
    ("an unterminated quote", ARRAY, ARRAY_DATA, {"t.csv": KV + 'u,1\nv,"2\n'},
     "data:2:5: t.csv row 3, column v: unterminated quoted field: the closing '\"' is missing"),
    ("text after a closing quote", ARRAY, ARRAY_DATA, {"t.csv": KV + 'u,"1"2\nv,2\n'},
     "data:2:5: t.csv row 2, column v: text after the closing '\"' of a quoted field "
     "(a quote inside one is written '\"\"')"),
    ("a byte that is not UTF-8", ARRAY, ARRAY_DATA, {"t.csv": b"k,v\nu,1\nv\xe9,2\n"},
     "data:2:5: t.csv row 3, column k: byte 0xE9 is not UTF-8 (save the table as UTF-8)"),
    ("an empty file", ARRAY, ARRAY_DATA, {"t.csv": ""},
     "data:2:5: t.csv is empty: a header row with the column names is expected"),
    ("symmetric, both given and different", SETS + "float d[S][S] = ...;\n",
     'S = {"u", "v"};\nd = csv("t.csv", "a", "b" -> "v") symmetric diagonal 0;', {"t.csv": "a,b,v\nu,v,1\nv,u,2\n"},
     "data:2:35: t.csv row 3: d[\"v\"][\"u\"] differs from d[\"u\"][\"v\"] at row 2 ('symmetric' needs them equal)"),
    ("symmetric over two sets", SETS + "float d[S][1..2] = ...;\n",
     'S = {"u", "v"};\nd = csv("t.csv", "a", "b" -> "v") symmetric;', {"t.csv": "a,b,v\n"},
     "data:2:35: 'symmetric' needs a 2-D array over one set twice; 'd' is not"),
    ("a repeated tuple", "tuple P { string a; int b; }\n{P} Ps = ...;\n", 'Ps = csv("t.csv", "a", "b");',
     {"t.csv": "a,b\nx,1\ny,1\nx,1\n"},
     "data:1:6: t.csv row 4: repeats row 2, <\"x\", 1> (a set holds each element once)"),
    ("a tuple set with too few columns", "tuple P { string a; int b; }\n{P} Ps = ...;\n", 'Ps = csv("t.csv", "a");',
     {"t.csv": "a,b\n"},
     "data:1:6: 'Ps' is a set of tuple 'P' (a, b): bind 2 columns, one per field in this order, found 1"),
    ("a set with '->'", SETS, 'S = csv("t.csv", "k" -> "v");', {"t.csv": KV},
     "data:1:5: 'S' is a set: name its column without '->'"),
    ("a set of two columns", SETS, 'S = csv("t.csv", "k", "v");', {"t.csv": KV},
     "data:1:23: 'S' is a set of string: bind one column, found 2"),
    ("an array without '->'", ARRAY, 'S = {"u"};\nc = csv("t.csv", "k", "v");', {"t.csv": KV},
     "data:2:5: 'c' is an array over [S]: bind 1 key column, '->' and a value column, found 2 columns and no '->'"),
    ("an array with too few keys", SETS + "float d[S][S] = ...;\n", 'S = {"u"};\nd = csv("t.csv", "k" -> "v");',
     {"t.csv": KV}, "data:2:5: 'd' is an array over [S][S]: bind 2 key columns, '->' and a value column, found 1 "
                    "column before '->'"),
    ("a single value without its key", "int n = ...;\n", 'n = csv("t.csv", "k" -> "v");', {"t.csv": KV},
     "data:1:5: 'n' is a single value: bind one cell with csv(FILE, \"key\" -> \"value\")[\"name\"]"),
    ("a single value whose key is missing", "int n = ...;\n", 'n = csv("t.csv", "k" -> "v")["open"];',
     {"t.csv": KV + "close,1\n"}, "data:1:30: t.csv has no row with k \"open\" (for 'n')"),
    ("a single value given twice", "int n = ...;\n", 'n = csv("t.csv", "k" -> "v")["open"];',
     {"t.csv": KV + "open,1\nopen,2\n"}, "data:1:5: t.csv row 3: a second row with k \"open\" (first at row 2)"),
    ("a key picked from an array", ARRAY, 'S = {"u"};\nc = csv("t.csv", "k" -> "v")["u"];', {"t.csv": KV},
     "data:2:30: '[...]' picks one cell for a single value; 'c' is an array"),
    ("default of the wrong kind", ARRAY, 'S = {"u"};\nc = csv("t.csv", "k" -> "v") default "x";', {"t.csv": KV},
     "data:2:30: 'default' for 'c' must be a number, found \"x\""),
    ("an unknown option", ARRAY, 'S = {"u"};\nc = csv("t.csv", "k" -> "v") defualt 0;', {"t.csv": KV},
     "data:2:30: 'defualt' is not a binding option; did you mean 'default'? (options: default V, diagonal V, "
     "symmetric)"),
    ("a column name that is not a string", ARRAY, 'S = {"u"};\nc = csv("t.csv", k -> "v");', {"t.csv": KV},
     "data:2:18: column name (a string) expected near 'k'"),
    ("a missing ')'", ARRAY, 'S = {"u"};\nc = csv("t.csv", "k" -> "v";', {"t.csv": KV},
     "data:2:28: ')' expected near ';'"),
]


@pytest.mark.parametrize("decls, data, tables, want", [f[1:] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_binding_faults(tmp_path, decls, data, tables, want):
    if want is None:
        want = "data:2:9: csv file 't.csv' not found in '%s'" % tmp_path
    assert outcome(tmp_path, decls, data, tables) == "error: " + want


def test_one_fault_per_binding_and_the_rest_still_read(tmp_path):
    got = outcome(tmp_path, SETS + "float c[S] = ...;\nfloat d[S] = ...;\n",
                  'S = {"u"};\nc = csv("t.csv", "k" -> "cost");\nd = csv("t.csv", "k" -> "price");',
                  {"t.csv": "k,amount\nu,1\n"})
    assert got == ("error: data:2:25: t.csv has no column 'cost' (its columns: k, amount)\n"
                   "data:3:25: t.csv has no column 'price' (its columns: k, amount)")


# ---- where tables are found --------------------------------------------------------

def test_the_two_argument_call_reads_tables_in_the_current_folder(tmp_path, monkeypatch):
    (tmp_path / "t.csv").write_text("k\nu\n", encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    assert KelmCompiler().compile_model(SETS + TAIL, 'S = csv("t.csv", "k");')["data"] == {"S": ["u"]}


@pytest.mark.parametrize("as_path", [str, os.fspath, lambda p: p])
def test_data_dir_takes_str_and_paths(tmp_path, as_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "t.csv").write_text("k\nu\n", encoding="utf-8")
    got = KelmCompiler().compile_model(SETS + TAIL, 'S = csv("sub/t.csv", "k");', data_dir=as_path(tmp_path))
    assert got["data"] == {"S": ["u"]}


def path_rules(tmp_path):
    data = tmp_path / "data"
    data.mkdir()
    (tmp_path / "secret.csv").write_text("k\nsecret\n", encoding="utf-8")
    (data / "inside.csv").write_text("k\nu\n", encoding="utf-8")
    (data / "link.csv").symlink_to(tmp_path / "secret.csv")
    (data / "good_link.csv").symlink_to(data / "inside.csv")
    (data / "folder").mkdir()
    os.mkfifo(data / "pipe.csv")
    return data


PATHS = [
    ("../secret.csv", "csv file '../secret.csv' is outside the data folder: name a file inside it"),
    ("folder/../../secret.csv", "csv file 'folder/../../secret.csv' is outside the data folder: name a file inside it"),
    ("link.csv", "csv file 'link.csv' leads outside the data folder (through a link): copy the table into the folder"),
    ("folder", "csv file 'folder' is not a regular file"),
    ("pipe.csv", "csv file 'pipe.csv' is not a regular file"),
    ("", "csv file '' has no name: give a file name"),
    ("folder/../inside.csv", None),
    ("./good_link.csv", None),
]


@pytest.mark.parametrize("name, message", PATHS)
def test_paths_stay_inside_the_data_folder(tmp_path, name, message):
    data = path_rules(tmp_path)
    try:
        got = KelmCompiler().compile_model(SETS + TAIL, 'S = csv("%s", "k");' % name, data_dir=data)["data"]
    except SemanticError as e:
        assert str(e) == "data:1:9: " + message
    else:
        assert message is None and got == {"S": ["u"]}


def test_absolute_paths_are_refused(tmp_path):
    data = path_rules(tmp_path)
    name = str(tmp_path / "secret.csv")
    with pytest.raises(SemanticError) as info:
        KelmCompiler().compile_model(SETS + TAIL, 'S = csv("%s", "k");' % name, data_dir=data)
    assert str(info.value) == ("data:1:9: csv file '%s' is an absolute path: name a file inside the data folder" % name)


def test_reading_changes_nothing_and_a_changed_table_is_read_again(tmp_path):
    table = tmp_path / "t.csv"
    table.write_text(KV + "u,1\n", encoding="utf-8")
    model = SETS + "float c[S] = ...;\ndvar float+ y[S];\nminimize z: sum(s in S) c[s] * y[s];\n" \
                   "subject to { forall(s in S) y[s] >= 1; }\n"
    data = 'S = csv("t.csv", "k");\nc = csv("t.csv", "k" -> "v");'
    before = sorted(os.listdir(tmp_path)), table.stat().st_mtime_ns
    assert solver.solve_problem(solver.build_problem(model, data, data_dir=tmp_path)).objective == 1.0
    assert (sorted(os.listdir(tmp_path)), table.stat().st_mtime_ns) == before
    table.write_text(KV + "u,5\nv,2\n", encoding="utf-8")
    assert solver.solve_problem(solver.build_problem(model, data, data_dir=tmp_path)).objective == 7.0
    assert KelmCompiler().compile_model(model, data, data_dir=tmp_path)["data"]["c"] == [5.0, 2.0]


def test_instantiate_takes_the_folder(tmp_path):
    (tmp_path / "t.csv").write_text(KV + "u,2\n", encoding="utf-8")
    model = SETS + "float c[S] = ...;\ndvar float+ y[S];\nminimize z: sum(s in S) c[s] * y[s];\n" \
                   "subject to { forall(s in S) y[s] >= 1; }\n"
    got = _kelm.instantiate(model, 'S = csv("t.csv", "k");\nc = csv("t.csv", "k" -> "v");', data_dir=str(tmp_path))
    assert got["c"].tolist() == [2.0]
    with pytest.raises(TypeError):
        _kelm.instantiate(model, "", data_dir=3)
