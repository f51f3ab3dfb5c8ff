"""The work of SciPyCSCCodeGenerator (tavro.lpwriter_csc): the generation
steps over the grounded problem, and the text of the standalone script.

The script embeds the source of tavro._answer, so it solves and shapes its
answer through the same lines as tavro.solver. Every text that comes from
the model (names, labels, index values, file names) is written as a
``repr()`` string literal, never as code, an identifier or a comment.
"""

from __future__ import annotations

import base64
import json
import os
import zlib
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.sparse

# The generator (a SciPyCSCCodeGenerator) whose attributes the steps fill in.
Generator = Any

# Problems with fewer numbers than this are written as readable literals;
# larger ones as base64 buffers (never a list literal of 10^4 numbers).
LITERAL_LIMIT = 10_000
_WRAP = 76
# zlib level: 1 compresses a 1000x1000 transportation problem 8x faster than
# the default 6, for a tenth more bytes.
_LEVEL = 1


def problem(gen: Generator) -> dict[str, Any]:
    """The grounded problem of a generator (instantiated once, kept as
    ``gen.problem``): the dictionary of tavro._kelm.instantiate_tree."""
    found: dict[str, Any] | None = gen.__dict__.get("problem")
    if found is None:
        from . import _kelm

        found = _kelm.instantiate_tree(gen.ast, gen.data_dict)
        gen.problem = found
    return found


def build_variables(gen: Generator) -> None:
    p = problem(gen)
    gen.var_names = [block[0] for block in p["columns"]]
    gen.var_indices = {block[0]: (block[2], block[4]) for block in p["columns"]}
    gen.bounds = np.column_stack((p["col_lower"], p["col_upper"])).reshape(-1, 2)
    gen.integrality = np.asarray(p["integrality"], dtype=np.uint8)


def build_objective(gen: Generator) -> None:
    p = problem(gen)
    gen.c = np.asarray(p["c"], dtype=float)
    gen.maximize = p["sense"] == "maximize"
    gen.offset = float(p["offset"])
    gen.objective_name = p["objective_name"]


def build_constraints(gen: Generator) -> None:
    p = problem(gen)
    n = len(p["c"])
    lower = np.asarray(p["row_lower"], dtype=float)
    upper = np.asarray(p["row_upper"], dtype=float)
    A = scipy.sparse.csc_matrix((p["values"], p["indices"], p["indptr"]), shape=(len(lower), n))
    gen.A, gen.row_lower, gen.row_upper = A, lower, upper
    gen.row_blocks = [(label, first, arity, index) for label, _, _, first, _, arity, index in p["rows"]]
    # linprog's form: A_eq x == b_eq and A_ub x <= b_ub (a >= row negated,
    # a range row twice).
    eq = lower == upper
    le = ~eq & np.isfinite(upper)
    ge = ~eq & np.isfinite(lower)
    rows = A.tocsr()
    gen.A_eq = rows[np.flatnonzero(eq)].tocsc()
    gen.b_eq = upper[eq]
    gen.A_ub = scipy.sparse.vstack([rows[np.flatnonzero(le)], -rows[np.flatnonzero(ge)]], format="csc")
    gen.b_ub = np.concatenate([upper[le], -lower[ge]])


def _answer_source() -> str:
    from . import _answer

    with open(_answer.__file__, encoding="utf-8") as f:
        return f.read()


def _num(x: object) -> str:
    x = float(x)  # type: ignore[arg-type]
    if x != x:
        return "nan"
    if x in (float("inf"), float("-inf")):
        return "inf" if x > 0 else "-inf"
    return repr(x + 0.0)  # -0.0 reads as 0.0


def _column_labels(var_indices: dict[str, tuple[int, Sequence[Sequence[str]]]], n: int) -> list[str | None]:
    """Name of each column: x, x[1], x[Seattle,3] (as tavro.solver names them)."""
    names: list[str | None] = [None] * n
    for name, (first, dims) in var_indices.items():
        grid: list[list[str]] = [[]]
        for d in dims:
            grid = [g + [key] for g in grid for key in d]
        for k, keys in enumerate(grid):
            names[first + k] = "%s[%s]" % (name, ",".join(keys)) if keys else name
    return names


def _row_labels(blocks: list[tuple[str, int, int, list[str]]], m: int) -> list[str | None]:
    names: list[str | None] = [None] * m
    for label, first, arity, index in blocks:
        count = len(index) // arity if arity else 1
        for r in range(count):
            keys = index[r * arity:(r + 1) * arity]
            if first + r < m:
                names[first + r] = "%s[%s]" % (label, ",".join(keys)) if keys else label
    return names


def _table(rows: Sequence[Sequence[str]], header: Sequence[str]) -> list[str]:
    """Aligned tuple literals, one per line, under a header of plain words."""
    widths = [max([len(h)] + [len(r[k]) for r in rows]) for k, h in enumerate(header)]
    head = "    # " + "  ".join(h.ljust(w + 1) for h, w in zip(header, widths)).rstrip()
    lines = [head]
    for r in rows:
        cells = [(cell + ",").ljust(w + 2) for cell, w in zip(r, widths)]
        lines.append("    (" + " ".join(cells).rstrip().rstrip(",") + "),")
    return lines


def _literal_lines(gen: Generator, n: int, m: int) -> list[str]:
    lower, upper = gen.bounds[:, 0], gen.bounds[:, 1]
    col_names = _column_labels(gen.var_indices, n)
    out = ["# One column per variable: name, lower bound, upper bound, integer (1) or not (0),",
           "# objective coefficient.", "_columns = ["]
    out += _table([(repr(col_names[j]), _num(lower[j]), _num(upper[j]), str(int(gen.integrality[j])),
                    _num(gen.c[j])) for j in range(n)],
                  ("name", "lower", "upper", "int", "cost"))
    out += ["]", ""]
    rows = gen.A.tocsr()
    row_names = _row_labels(gen.row_blocks, m)
    out += ["# One row per constraint: name, lower bound, upper bound, [(column, coefficient), ...].",
            "_rows = ["]
    table = []
    for i in range(m):
        start, end = rows.indptr[i], rows.indptr[i + 1]
        terms = ", ".join("(%d, %s)" % (j, _num(v)) for j, v in zip(rows.indices[start:end], rows.data[start:end]))
        table.append((repr(row_names[i]), _num(gen.row_lower[i]), _num(gen.row_upper[i]), "[" + terms + "]"))
    out += _table(table, ("name", "lower", "upper", "terms"))
    out += ["]", "",
            "column_names = [col[0] for col in _columns]",
            "col_lower = np.array([col[1] for col in _columns], dtype=float)",
            "col_upper = np.array([col[2] for col in _columns], dtype=float)",
            "integrality = np.array([col[3] for col in _columns], dtype=np.uint8)",
            "c = np.array([col[4] for col in _columns], dtype=float)",
            "row_names = [row[0] for row in _rows]",
            "row_lower = np.array([row[1] for row in _rows], dtype=float)",
            "row_upper = np.array([row[2] for row in _rows], dtype=float)",
            "_entries = [(i, j, a) for i, row in enumerate(_rows) for j, a in row[3]]",
            "A = scipy.sparse.csc_matrix(",
            "    ([e[2] for e in _entries], ([e[0] for e in _entries], [e[1] for e in _entries])),",
            "    shape=(len(_rows), len(_columns)), dtype=float)",
            "_variables = ["]
    for name, (first, dims) in gen.var_indices.items():
        out.append("    (%r, %d, %r)," % (name, first, [list(d) for d in dims]))
    out.append("]")
    return out


def _arrays(gen: Generator) -> dict[str, npt.NDArray[Any]]:
    A = gen.A.tocsc()
    return {
        "c": np.asarray(gen.c, dtype="<f8"),
        "col_lower": np.asarray(gen.bounds[:, 0], dtype="<f8"),
        "col_upper": np.asarray(gen.bounds[:, 1], dtype="<f8"),
        "integrality": np.asarray(gen.integrality, dtype="u1"),
        "row_lower": np.asarray(gen.row_lower, dtype="<f8"),
        "row_upper": np.asarray(gen.row_upper, dtype="<f8"),
        "indptr": np.asarray(A.indptr, dtype="<i8"),
        "indices": np.asarray(A.indices, dtype="<i4"),
        "values": np.asarray(A.data, dtype="<f8"),
    }


def _variables_blob(gen: Generator) -> bytes:
    blocks = [[name, first, [list(d) for d in dims]] for name, (first, dims) in gen.var_indices.items()]
    return json.dumps(blocks, ensure_ascii=True).encode("ascii")


def _b64(raw: bytes) -> str:
    text = base64.b64encode(zlib.compress(raw, _LEVEL)).decode("ascii")
    # A triple-quoted literal of base64 lines: one token, whatever its size;
    # the alphabet holds no quote or backslash.
    return "\n".join(text[k:k + _WRAP] for k in range(0, len(text), _WRAP))


def _buffer_lines(gen: Generator, n: int, m: int, sidecar_name: str | None) -> list[str]:
    arrays = _arrays(gen)
    shape = "    shape=(len(row_lower), len(c)))"
    out = []
    if sidecar_name is not None:
        out += ["# The arrays are in the .npz file beside this script.",
                "_here = os.path.dirname(os.path.abspath(globals().get('__file__') or os.path.join(os.getcwd(), '_')))",
                "with np.load(os.path.join(_here, %r)) as _npz:" % sidecar_name,
                "    _data = {key: _npz[key] for key in _npz.files}",
                "_variables = json.loads(bytes(_data['variables']).decode('ascii'))"]
    else:
        out += ["# The arrays, zlib-compressed and base64-encoded (little-endian).",
                "def _buffer(text, dtype):",
                "    return np.frombuffer(zlib.decompress(base64.b64decode(text)), dtype=dtype)",
                "", "", "_data = {}"]
        for key, arr in arrays.items():
            out += ['_data[%r] = _buffer("""' % key, _b64(arr.tobytes()) + '""", %r)' % arr.dtype.str]
        out += ['_variables = json.loads(zlib.decompress(base64.b64decode("""',
                _b64(_variables_blob(gen)) + '""")).decode("ascii"))']
    out += ["c = _data['c']",
            "col_lower = _data['col_lower']",
            "col_upper = _data['col_upper']",
            "integrality = _data['integrality']",
            "row_lower = _data['row_lower']",
            "row_upper = _data['row_upper']",
            "A = scipy.sparse.csc_matrix((_data['values'], _data['indices'], _data['indptr']),",
            shape]
    return out


def sidecar_bytes(gen: Generator) -> bytes:
    """The .npz file of the arrays (and the variable names) for a sidecar script."""
    import io
    import zipfile

    arrays = _arrays(gen)
    arrays["variables"] = np.frombuffer(_variables_blob(gen), dtype=np.uint8)
    buf = io.BytesIO()
    # np.savez_compressed's layout, at the faster zlib level.
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED, compresslevel=_LEVEL) as zf:
        for key, arr in arrays.items():
            with zf.open(key + ".npy", "w", force_zip64=True) as f:
                np.lib.format.write_array(f, arr, allow_pickle=False)  # type: ignore[no-untyped-call]
    return buf.getvalue()


_HEADER = '''\
"""A linear program written by tavro (SciPyCSCCodeGenerator).

Builds the problem with numpy and scipy.sparse and solves it with
scipy.optimize.milp (HiGHS). Run as a program it prints a short report;
executed in any other way it solves at top level and leaves `results`
(SciPy's result), `status`, `objective` (in the model's sense) and
`solution` (the values keyed by the model's names) in its namespace.
"""
'''

_FOOTER = '''\
# ---- solve ----
results, status, objective, _x = solve(c, A, row_lower, row_upper, col_lower, col_upper, integrality,
                                       MAXIMIZE, OFFSET)
solution = nest_columns(_x, _variables) if _x is not None else {}


def _shown(text):
    # Names are printed with control characters escaped, so none can drive the terminal.
    return "".join(ch if ch.isprintable() else ascii(ch)[1:-1] for ch in text)


def _report():
    print("status:", status)
    if objective is not None:
        print("objective%s: %.10g" % (" " + _shown(OBJECTIVE_NAME) if OBJECTIVE_NAME else "", objective))
    if _x is None:
        return
    shown = 0
    for _j in np.flatnonzero(np.abs(_x) > 1e-9):
        if shown == 20:
            print("  ... %d more non-zero values" % (np.count_nonzero(np.abs(_x) > 1e-9) - shown))
            break
        print("  %s = %.10g" % (_shown(_column_name(int(_j))), _x[_j]))
        shown += 1


def _column_name(j):
    for _name, _first, _dims in _variables:
        _size = int(np.prod([len(d) for d in _dims])) if _dims else 1
        if _first <= j < _first + _size:
            _keys = np.unravel_index(j - _first, [len(d) for d in _dims]) if _dims else ()
            return "%s[%s]" % (_name, ",".join(_dims[k][i] for k, i in enumerate(_keys))) if _dims else _name
    return "column %d" % j


if globals().get("__name__") == "__main__":
    _report()
'''


def render(gen: Generator, sidecar_name: str | None = None) -> str:
    """The script text for a generator whose three build steps have run."""
    n = len(gen.c)
    m = len(gen.row_lower)
    total = 4 * n + 2 * m + 2 * gen.A.nnz
    literal = sidecar_name is None and total < LITERAL_LIMIT and sum(
        len(d) for _, dims in gen.var_indices.values() for d in dims) < LITERAL_LIMIT
    lines: list[str | None] = [_HEADER,
             "import base64" if not literal and sidecar_name is None else None,
             "import json" if not literal else None,
             "import os" if sidecar_name is not None else None,
             "import zlib" if not literal and sidecar_name is None else None,
             "", "import numpy as np", "import scipy.sparse", "",
             "# ---- tavro._answer: the solve and the shaping of values, as tavro.solver runs them ----"]
    text = [line for line in lines if line is not None]
    text.append(_answer_source().rstrip("\n"))
    lines = ["# ---- end of tavro._answer ----", "", "",
              "# ---- the problem: min or max c.x + OFFSET, row_lower <= A x <= row_upper,",
              "#      col_lower <= x <= col_upper, x[j] integer where integrality[j] == 1 ----",
              "MAXIMIZE = %r" % bool(gen.maximize),
              "OFFSET = %s" % _num(gen.offset),
              "OBJECTIVE_NAME = %r" % (gen.objective_name or ""),
              "inf = float('inf')" if literal else None, ""]
    text += [line for line in lines if line is not None]
    text += _literal_lines(gen, n, m) if literal else _buffer_lines(gen, n, m, sidecar_name)
    text += ["", "", _FOOTER]
    return "\n".join(text)


def generate_code(gen: Generator, sidecar: str | os.PathLike[str] | None = None) -> str:
    """Runs the three build steps (looked up on the generator) and renders
    the script into gen.scipy_code_lines; returns its text. With `sidecar`
    (a path), the arrays go to that .npz file, which the script loads from
    its own folder."""
    gen._build_variables()
    gen._build_objective()
    gen._build_constraints()
    name = None
    if sidecar is not None:
        from ._fileio import write_bytes_atomic

        write_bytes_atomic(sidecar, sidecar_bytes(gen))
        name = os.path.basename(os.fspath(sidecar))
    text = render(gen, name)
    gen.scipy_code_lines = text.split("\n")
    return text
