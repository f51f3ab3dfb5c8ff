"""The work of SciPyCSCCodeGenerator (tavro.lpwriter_csc): the generation
steps over the grounded problem, and the text of the standalone script.

The script embeds the source of tavro._answer, so it solves and shapes its
answer through the same lines as tavro.solver. Every text that comes from
the model (names, labels, index values, file names) is written as a
``repr()`` string literal, never as code, an identifier or a comment.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
import zlib
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt
import scipy.sparse

if TYPE_CHECKING:
    from .solver import LinearProblem

# Problems with fewer numbers than this are written as readable literals;
# larger ones as base64 buffers (never a list literal of 10^4 numbers).
LITERAL_LIMIT = 10_000
_WRAP = 76
# zlib level: 1 compresses a 1000x1000 transportation problem 8x faster than
# the default 6, for a tenth more bytes.
_LEVEL = 1


def problem(gen: Any) -> Dict[str, Any]:
    """The grounded problem of a generator (instantiated once, kept as
    ``gen.problem``): the dictionary of tavro._kelm.instantiate_tree."""
    found: Optional[Dict[str, Any]] = gen.__dict__.get("problem")
    if found is None:
        from . import _kelm

        found = _kelm.instantiate_tree(gen.ast, gen.data_dict)
        gen.problem = found
    return found


def named(gen: Any) -> LinearProblem:
    """The generator's problem as a tavro.solver.LinearProblem (for the names
    of its columns and rows), made once."""
    found: Optional[LinearProblem] = gen.__dict__.get("_named")
    if found is None:
        from .solver import LinearProblem

        found = gen._named = LinearProblem(problem(gen))
    return found


def build_variables(gen: Any) -> None:
    p = problem(gen)
    blocks = named(gen).column_blocks
    gen.var_names = [b.name for b in blocks]
    gen.var_indices = {b.name: (b.first, [list(d) for d in b.index_sets]) for b in blocks}
    gen.bounds = np.column_stack((p["col_lower"], p["col_upper"])).reshape(-1, 2)
    gen.integrality = np.asarray(p["integrality"], dtype=np.uint8)


def build_objective(gen: Any) -> None:
    p = problem(gen)
    gen.c = np.asarray(p["c"], dtype=float)
    gen.maximize = p["sense"] == "maximize"
    gen.offset = float(p["offset"])
    gen.objective_name = p["objective_name"]


def build_constraints(gen: Any) -> None:
    p = problem(gen)
    n = len(p["c"])
    lower = np.asarray(p["row_lower"], dtype=float)
    upper = np.asarray(p["row_upper"], dtype=float)
    A = scipy.sparse.csc_matrix((p["values"], p["indices"], p["indptr"]), shape=(len(lower), n))
    gen.A, gen.row_lower, gen.row_upper = A, lower, upper
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


def _source(module: Any) -> str:
    with open(module.__file__, encoding="utf-8") as f:
        return f.read()


def _answer_source() -> str:
    from . import _answer

    return _source(_answer)


def _escape_source() -> str:
    from . import _escape

    return _source(_escape)


def _num(x: float) -> str:
    x = float(x)
    if x != x:
        return "nan"
    if x in (float("inf"), float("-inf")):
        return "inf" if x > 0 else "-inf"
    return repr(x + 0.0)  # -0.0 reads as 0.0


def _table(rows: Sequence[Sequence[str]], header: Sequence[str]) -> List[str]:
    """Aligned tuple literals, one per line, under a header of plain words."""
    widths = [max([len(h)] + [len(r[k]) for r in rows]) for k, h in enumerate(header)]
    head = "    # " + "  ".join(h.ljust(w + 1) for h, w in zip(header, widths)).rstrip()
    lines = [head]
    for r in rows:
        cells = [(cell + ",").ljust(w + 2) for cell, w in zip(r, widths)]
        lines.append("    (" + " ".join(cells).rstrip().rstrip(",") + "),")
    return lines


def _literal_lines(gen: Any, n: int, m: int) -> List[str]:
    lower, upper = gen.bounds[:, 0], gen.bounds[:, 1]
    col_names = named(gen).column_names
    out = ["# One column per variable: name, lower bound, upper bound, integer (1) or not (0),",
           "# objective coefficient.", "_columns = ["]
    out += _table([(repr(col_names[j]), _num(lower[j]), _num(upper[j]), str(int(gen.integrality[j])),
                    _num(gen.c[j])) for j in range(n)],
                  ("name", "lower", "upper", "int", "cost"))
    out += ["]", ""]
    rows = gen.A.tocsr()
    row_names = named(gen).row_names
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
            "# Each variable's first column and the values of its index sets; each constraint's first row",
            "# and the values of its forall indices (for the answer keyed by them).",
            "_variables = ["]
    for b in named(gen).column_blocks:
        out.append("    (%r, %d, %r)," % (b.name, b.first, [list(d) for d in b.index_keys]))
    out += ["]", "_constraints = ["]
    for r in named(gen).row_blocks:
        out.append("    (%r, %d, %d, %r)," % (r.name, r.first, r.arity, r.index_keys))
    out += ["]", "",
            "",
            "def _column_name(j):",
            "    return column_names[j]",
            "",
            "",
            "def _row_name(i):",
            "    return row_names[i]"]
    return out


def _arrays(gen: Any) -> Dict[str, npt.NDArray[Any]]:
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


def _names_blob(gen: Any) -> bytes:
    """The names as JSON: per variable [name, first column, values of each
    index set] and the texts of those values, per constraint [label, first
    row, arity, values of its forall indices] and their texts (a tuple value
    as a list)."""
    problem = named(gen)
    blob = {"variables": [[b.name, b.first, [list(d) for d in b.index_keys]] for b in problem.column_blocks],
            "variable_texts": [[list(d) for d in b.index_sets] for b in problem.column_blocks],
            "constraints": [[b.name, b.first, b.arity, b.index_keys] for b in problem.row_blocks],
            "constraint_texts": [list(b.index) for b in problem.row_blocks]}
    return json.dumps(blob, ensure_ascii=True).encode("ascii")


def _b64(raw: bytes) -> str:
    text = base64.b64encode(zlib.compress(raw, _LEVEL)).decode("ascii")
    # A triple-quoted literal of base64 lines: one token, whatever its size;
    # the alphabet holds no quote or backslash.
    return "\n".join(text[k:k + _WRAP] for k in range(0, len(text), _WRAP))


def _buffer_lines(gen: Any, n: int, m: int, sidecar_name: Optional[str],
                  sidecar_sha256: Optional[str] = None) -> List[str]:
    shape = "    shape=(len(row_lower), len(c)))"
    out = []
    if sidecar_name is not None:
        out += ["# The arrays are in the .npz file beside this script, written with it: SIDECAR_SHA256 is",
                "# that file's fingerprint, and a file written for another script is refused.",
                "SIDECAR_SHA256 = %r" % sidecar_sha256,
                "_here = os.path.dirname(os.path.abspath(globals().get('__file__') or os.path.join(os.getcwd(), '_')))",
                "_sidecar = os.path.join(_here, %r)" % sidecar_name,
                "try:",
                "    with open(_sidecar, 'rb') as _f:",
                "        _raw = _f.read()",
                "except OSError as _e:",
                "    raise SystemExit('cannot read the arrays of this script: %s' % _e) from None",
                "_found = hashlib.sha256(_raw).hexdigest()",
                "if _found != SIDECAR_SHA256:",
                "    raise SystemExit('%s does not belong to this script: it holds other arrays (sha256 %s, '",
                "                     'expected %s); write the script and its .npz again together'",
                "                     % (_sidecar, _found[:12], SIDECAR_SHA256[:12]))",
                "with np.load(io.BytesIO(_raw)) as _npz:",
                "    _data = {key: _npz[key] for key in _npz.files}",
                "_names = json.loads(bytes(_data['names']).decode('ascii'))"]
    else:
        out += ["# The arrays, zlib-compressed and base64-encoded (little-endian).",
                "def _buffer(text, dtype):",
                "    return np.frombuffer(zlib.decompress(base64.b64decode(text)), dtype=dtype)",
                "", "", "_data = {}"]
        for key, arr in _arrays(gen).items():
            out += ['_data[%r] = _buffer("""' % key, _b64(arr.tobytes()) + '""", %r)' % arr.dtype.str]
        out += ['_names = json.loads(zlib.decompress(base64.b64decode("""',
                _b64(_names_blob(gen)) + '""")).decode("ascii"))']
    out += ["_variables = [(name, first, [[key_of_json(k) for k in d] for d in dims])",
            "              for name, first, dims in _names['variables']]",
            "_constraints = [(label, first, arity, [key_of_json(k) for k in keys])",
            "                for label, first, arity, keys in _names['constraints']]"]
    out += ["c = _data['c']",
            "col_lower = _data['col_lower']",
            "col_upper = _data['col_upper']",
            "integrality = _data['integrality']",
            "row_lower = _data['row_lower']",
            "row_upper = _data['row_upper']",
            "A = scipy.sparse.csc_matrix((_data['values'], _data['indices'], _data['indptr']),",
            shape,
            "",
            "",
            "def _column_name(j):",
            "    for (_name, _first, _), _dims in zip(_variables, _names['variable_texts']):",
            "        _size = int(np.prod([len(d) for d in _dims])) if _dims else 1",
            "        if _first <= j < _first + _size:",
            "            if not _dims:",
            "                return _name",
            "            _at = np.unravel_index(j - _first, [len(d) for d in _dims])",
            "            return '%s[%s]' % (_name, ','.join(_dims[k][i] for k, i in enumerate(_at)))",
            "    return 'column %d' % j",
            "",
            "",
            "def _row_name(i):",
            "    for (_label, _first, _arity, _), _index in zip(_constraints, _names['constraint_texts']):",
            "        _count = len(_index) // _arity if _arity else 1",
            "        if _first <= i < _first + _count:",
            "            _keys = _index[(i - _first) * _arity:(i - _first + 1) * _arity]",
            "            return '%s[%s]' % (_label, ','.join(_keys)) if _keys else _label",
            "    return 'row %d' % i"]
    return out


def sidecar_bytes(gen: Any) -> bytes:
    """The .npz file of the arrays (and the variable names) for a sidecar script."""
    import io
    import zipfile

    arrays = _arrays(gen)
    arrays["names"] = np.frombuffer(_names_blob(gen), dtype=np.uint8)
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
HiGHS through scipy.optimize (linprog, or milp for integers). Run as a program it prints a short report;
executed in any other way it solves at top level and leaves `results`
(SciPy's result), `status`, `objective` (in the model's sense) and
`solution` (the values keyed by the model's names) in its namespace.
"""
'''

_FOOTER = '''\
# ---- solve, check and shape ----
results = _x = _y = _reduced = violation = max_violation = None
status = trivial_status(row_lower, row_upper, col_lower, col_upper)
if status is None:
    results, status, _x, _y, _reduced = solve_scipy(c, A, row_lower, row_upper, col_lower, col_upper, integrality,
                                                    MAXIMIZE)
elif status == "optimal":
    _x, _y, _reduced = np.zeros(0), np.zeros(len(row_lower)), np.zeros(0)
warnings = coefficient_warnings(A.indptr, A.indices, A.data, len(row_lower), c, _row_name, row_lower, row_upper)
if _x is not None:
    _x, max_violation, _worst, _refused = settle_point(_x, integrality, A.indptr, A.indices, A.data, row_lower,
                                                       row_upper, col_lower, col_upper)
    if _refused is not None:
        warnings.append(rounding_warning(_refused, _row_name, _column_name))
    if _worst is not None:
        status, violation = "error", violation_text(_worst, _row_name, _column_name)
objective = float(c @ _x + OFFSET) + 0.0 if _x is not None and status != "error" else None
solution = nest_columns(_x, _variables) if _x is not None else {}
duals = nest_rows(_y, _constraints) if _y is not None and status == "optimal" else None
reduced_costs = nest_columns(_reduced, _variables) if _reduced is not None and status == "optimal" else None
if results is not None:
    results.max_violation = max_violation


def _shown(text):
    # Names are printed with control characters escaped, so none can drive the terminal.
    return shown(text, one_line=True)


def _report():
    # The same lines as the first part of `tavro solve`'s report.
    print("status:", status)
    if objective is not None:
        print("objective%s: %s" % (" (%s)" % _shown(OBJECTIVE_NAME) if OBJECTIVE_NAME else "",
                                   report_number(objective)))
    if violation is not None:
        print("error:", _shown(violation))
    elif _x is not None and max_violation:
        print("max violation: %.3g" % max_violation)
    for _warning in warnings:
        print("warning:", _shown(_warning))
    if _x is None:
        return
    _nonzero = np.flatnonzero(np.abs(_x) > 1e-9)
    if not _nonzero.size:
        print("every variable is zero (%d variables)" % _x.size)
        return
    print("non-zero variables (%d of %d):" % (_nonzero.size, _x.size))
    _rows = [(_shown(_column_name(int(_j))), report_number(_x[_j])) for _j in _nonzero[:50]]
    _width = max(len("variable"), *(len(_name) for _name, _ in _rows))
    print("  %s  value" % "variable".ljust(_width))
    for _name, _value in _rows:
        print("  %s  %s" % (_name.ljust(_width), _value))
    if _nonzero.size > 50:
        print("  ... and %d more" % (_nonzero.size - 50))


if globals().get("__name__") == "__main__":
    import os
    import sys

    try:
        _report()
        sys.stdout.flush()
    except BrokenPipeError:  # the reader stopped reading (| head): end quietly, as a cut pipe does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(141)
'''


def render(gen: Any, sidecar_name: Optional[str] = None, sidecar_sha256: Optional[str] = None) -> str:
    """The script text for a generator whose three build steps have run;
    with a sidecar, its file name and the sha256 of its bytes."""
    n = len(gen.c)
    m = len(gen.row_lower)
    total = 4 * n + 2 * m + 2 * gen.A.nnz
    literal = sidecar_name is None and total < LITERAL_LIMIT and sum(
        len(d) for _, dims in gen.var_indices.values() for d in dims) + sum(
        len(b.index) for b in named(gen).row_blocks) < LITERAL_LIMIT
    head = [_HEADER,
            "import base64" if not literal and sidecar_name is None else None,
            "import hashlib" if sidecar_name is not None else None,
            "import io" if sidecar_name is not None else None,
            "import json" if not literal else None,
            "import os" if sidecar_name is not None else None,
            "import zlib" if not literal and sidecar_name is None else None,
            "", "import numpy as np", "import scipy.sparse", "",
            "# ---- tavro._answer: the solve and the shaping of values, as tavro.solver runs them ----",
            _answer_source().rstrip("\n"),
            "# ---- end of tavro._answer ----", "", "",
            "# ---- tavro._escape: texts and numbers as tavro solve's report shows them ----",
            _escape_source().rstrip("\n"),
            "# ---- end of tavro._escape ----", "", "",
            "# ---- the problem: min or max c.x + OFFSET, row_lower <= A x <= row_upper,",
            "#      col_lower <= x <= col_upper, x[j] integer where integrality[j] == 1 ----",
            "MAXIMIZE = %r" % bool(gen.maximize),
            "OFFSET = %s" % _num(gen.offset),
            "OBJECTIVE_NAME = %r" % (gen.objective_name or ""),
            "inf = float('inf')" if literal else None, ""]
    lines = [line for line in head if line is not None]
    lines += _literal_lines(gen, n, m) if literal else _buffer_lines(gen, n, m, sidecar_name, sidecar_sha256)
    lines += ["", "", _FOOTER]
    return "\n".join(lines)


class _ProblemView:
    """A built LinearProblem seen as a generator whose build steps have run
    (the attributes render reads), so a problem grounded for a solve is
    written without grounding it again."""

    def __init__(self, lp: LinearProblem) -> None:
        self._named = lp
        self.c = lp.c
        self.bounds = np.column_stack((lp.col_lower, lp.col_upper)).reshape(-1, 2)
        self.integrality = np.asarray(lp.integrality, dtype=np.uint8)
        self.A, self.row_lower, self.row_upper = lp.A, lp.row_lower, lp.row_upper
        self.var_indices = {b.name: (b.first, [list(d) for d in b.index_sets]) for b in lp.column_blocks}
        self.maximize, self.offset, self.objective_name = lp.maximize, lp.offset, lp.objective_name


def script_for_problem(lp: LinearProblem, sidecar: Optional[Union[str, "os.PathLike[str]"]] = None
                       ) -> Tuple[str, Optional[bytes]]:
    """The script of a tavro.solver.LinearProblem, and with `sidecar` (a
    path) the bytes of its .npz file, for the caller to write together."""
    view = _ProblemView(lp)
    if sidecar is None:
        return render(view), None
    arrays = sidecar_bytes(view)
    return render(view, os.path.basename(os.fspath(sidecar)), hashlib.sha256(arrays).hexdigest()), arrays


def script_and_sidecar(gen: Any, sidecar: Union[str, "os.PathLike[str]"]) -> Tuple[str, bytes]:
    """Runs the three build steps (looked up on the generator) and returns
    the script text and the bytes of its .npz file `sidecar` (a path), for
    the caller to write together; the script refuses any other .npz file."""
    gen._build_variables()
    gen._build_objective()
    gen._build_constraints()
    arrays = sidecar_bytes(gen)
    text = render(gen, os.path.basename(os.fspath(sidecar)), hashlib.sha256(arrays).hexdigest())
    gen.scipy_code_lines = text.split("\n")
    return text, arrays


def generate_code(gen: Any, sidecar: Optional[Union[str, "os.PathLike[str]"]] = None) -> str:
    """Runs the three build steps (looked up on the generator) and renders
    the script into gen.scipy_code_lines; returns its text. With `sidecar`
    (a path), the arrays go to that .npz file, which the script loads from
    its own folder (and checks against the fingerprint it carries)."""
    if sidecar is not None:
        from ._fileio import write_bytes_atomic

        text, arrays = script_and_sidecar(gen, sidecar)
        write_bytes_atomic(sidecar, arrays)
        return text
    gen._build_variables()
    gen._build_objective()
    gen._build_constraints()
    text = render(gen)
    gen.scipy_code_lines = text.split("\n")
    return text
