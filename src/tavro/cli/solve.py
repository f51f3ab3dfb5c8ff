"""``tavro solve MODEL.mod DATA.dat``: solve a model and report the answer in
its own names, as text or as one JSON object; optionally write the
standalone SciPy script of the same problem.

Exit status: 0 when the solve finished (whatever its status), 1 on a model
error (one ``tavro:`` line per compiler message), 2 on a usage error.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any, NoReturn, Sequence

from .options import add_data_dir_option, add_output_options, data_dir_of
from .output import clean, emit_json

NAME = "solve"
HELP = "solve a model and data file and print the answer"
DESCRIPTION = "Solve a model and data file with HiGHS and print the answer in the model's names."

# Non-zero variables and binding rows listed in the text report.
MAX_LINES = 50
_ZERO = 1e-9


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model_file", metavar="MODEL.mod")
    parser.add_argument("data_file", metavar="DATA.dat")
    add_data_dir_option(parser)
    parser.add_argument("--emit", metavar="SCRIPT.py", help="also write the standalone SciPy script of the problem")
    parser.add_argument("--sidecar", action="store_true",
                        help="with --emit: put the arrays in SCRIPT.npz beside the script")
    parser.add_argument("--time-limit", type=float, metavar="S", help="stop the solver after S seconds")
    parser.add_argument("--mip-gap", type=float, metavar="G", help="relative MIP gap at which to stop")
    add_output_options(parser, progress=False)


def _usage(args: argparse.Namespace, message: str) -> NoReturn:
    parser: argparse.ArgumentParser = args.parser
    parser.error(message)  # exits with status 2


def _model_error(error: BaseException, args: argparse.Namespace) -> int:
    """One ``tavro:`` line per compiler message, located by file name; with
    --json the errors as ``tavro check --json`` gives them (a list of
    {"file", "line", "column", "message"})."""
    from .._check import located_errors, name_locations

    message = name_locations(str(error) or type(error).__name__, args.model_file, args.data_file)
    for line in message.splitlines():
        print("tavro: %s" % clean(line), file=sys.stderr, flush=True)
    if args.json:
        emit_json({"error": message, "errors": located_errors(error, args.model_file, args.data_file)})
    return 1


def run(args: argparse.Namespace) -> int:
    from ..semantic_error import SemanticError

    if args.sidecar and not args.emit:
        _usage(args, "--sidecar needs --emit SCRIPT.py")
    if args.sidecar and os.path.realpath(_sidecar_path(args.emit)) == os.path.realpath(args.emit):
        _usage(args, "--emit %s --sidecar: the arrays would overwrite the script itself; give the script "
                     "another extension (SCRIPT.py)" % clean(args.emit))
    if args.time_limit is not None and not args.time_limit > 0:
        _usage(args, "--time-limit must be a positive number of seconds")
    if args.mip_gap is not None and not args.mip_gap >= 0:
        _usage(args, "--mip-gap must be a number >= 0")
    from .files import read_input

    model_code = read_input(args.parser, args.model_file)
    data_code = read_input(args.parser, args.data_file)

    from .. import solver

    try:
        problem = solver.build_problem(model_code, data_code, data_dir=data_dir_of(args))
    except SemanticError as e:
        return _model_error(e, args)
    solution = solver.solve_problem(problem, time_limit=args.time_limit, mip_gap=args.mip_gap)
    # Extra outputs come after the answer is in hand: a failed write is
    # reported after the answer, never instead of it.
    wrote: list[str] = []
    failures: list[str] = []
    if args.emit:
        try:
            wrote = _emit(args, model_code, data_code)
        except (OSError, SemanticError) as e:
            failures.append("cannot write %s: %s" % (args.emit, _why(e)))
    if args.json:
        emit_json(_jsonable(solution.to_dict()))
    else:
        sys.stdout.write(clean(report(problem, solution)))
        sys.stdout.flush()
    for path in wrote:
        print("wrote %s" % clean(path, one_line=True), file=sys.stderr, flush=True)
    for failure in failures:
        print("tavro: %s" % clean(failure), file=sys.stderr, flush=True)
    return 1 if failures else 0


def _why(error: BaseException) -> str:
    from .files import why

    return why(error)


def _sidecar_path(script: str) -> str:
    return os.path.splitext(script)[0] + ".npz"


def _emit(args: argparse.Namespace, model_code: str, data_code: str) -> list[str]:
    """Writes the script (and its sidecar, together); returns the files written."""
    from .. import _csc_script
    from .._fileio import write_files_atomic, write_text_atomic
    from ..lpwriter import SciPyCodeGenerator
    from ..tavro_core import KelmCompiler
    from .files import make_parent

    # The script embeds the values read from the tables, never their paths.
    tree = KelmCompiler().compile_model(model_code, data_code, data_dir=data_dir_of(args))
    gen = SciPyCodeGenerator(tree, tree.get("data"))
    make_parent(args.emit)
    if not args.sidecar:
        write_text_atomic(args.emit, gen.generate_code(), encoding="utf-8")
        return [args.emit]
    # The script and its arrays are replaced together; the script checks the arrays' fingerprint.
    sidecar = _sidecar_path(args.emit)
    text, arrays = _csc_script.script_and_sidecar(gen, sidecar)
    write_files_atomic({args.emit: text, sidecar: arrays}, encoding="utf-8")
    return [args.emit, sidecar]


def _jsonable(value: Any) -> Any:
    """The result with every non-finite float as null (JSON has no inf/nan)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    return value


def _number(x: float) -> str:
    return "%.10g" % x


def _text(x: object) -> str:
    """A model-derived text (name, datum, message) as one report line's part:
    control, bidirectional and line-breaking characters escaped."""
    return clean(x, one_line=True)


def _table(rows: Sequence[Sequence[str]], header: Sequence[str]) -> list[str]:
    rows = [[_text(cell) for cell in r] for r in rows]
    widths = [max(len(h), *(len(r[k]) for r in rows)) for k, h in enumerate(header)]
    out = ["  " + "  ".join(h.ljust(w) for h, w in zip(header, widths)).rstrip()]
    out += ["  " + "  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]
    return out


def _limited(items: list[Any]) -> tuple[list[Any], list[str]]:
    shown = items[:MAX_LINES]
    more = len(items) - len(shown)
    return shown, ["  ... and %d more" % more] if more > 0 else []


def _block_of(blocks: Sequence[Any], k: int) -> Any:
    """The block (first position is its second item) holding position k."""
    import bisect

    at = bisect.bisect_right([b[1] for b in blocks], k) - 1
    return blocks[at]


def _column_name(problem: Any, j: int) -> str:
    import numpy as np

    name, first, dims = _block_of(problem.column_blocks(), j)
    if not dims:
        return str(name)
    keys = np.unravel_index(j - first, [len(d) for d in dims])
    return "%s[%s]" % (name, ",".join(dims[k][int(i)] for k, i in enumerate(keys)))


def _row_index(problem: Any, i: int) -> tuple[str, list[str]]:
    label, first, arity, index = _block_of(problem.row_blocks(), i)
    k = i - first
    return label, index[k * arity:(k + 1) * arity]


def _row_name(problem: Any, i: int) -> str:
    label, keys = _row_index(problem, i)
    return "%s[%s]" % (label, ",".join(keys)) if keys else label


def _dual(solution: Any, problem: Any, i: int) -> float | None:
    """The shadow price of row i from the duals nested by label and index."""
    label, keys = _row_index(problem, i)
    node = solution.duals.get(label)
    for key in keys:
        node = node.get(key) if isinstance(node, dict) else None
    return node if isinstance(node, (int, float)) else None


def _limit_lines(solution: Any) -> list[str]:
    """What a solve stopped at a limit knows: the best bound and the gap."""
    gap, bound = getattr(solution, "mip_gap", None), getattr(solution, "mip_bound", None)
    parts = []
    if isinstance(bound, (int, float)) and math.isfinite(bound):
        parts.append("best bound %s" % _number(bound))
    if isinstance(gap, (int, float)) and math.isfinite(gap):
        parts.append("gap %s%%" % _number(100.0 * gap))
    if solution.objective is None:
        parts.insert(0, "no feasible point found")
    return ["stopped at a limit: %s" % ", ".join(parts)] if parts else []


def report(problem: Any, solution: Any) -> str:
    """The text report: status, objective, non-zero variables, and the
    binding constraints with their shadow prices (LP) or the conflicting
    constraints (infeasible) or the variables that run away (unbounded)."""
    import numpy as np

    lines = ["status: %s" % solution.status]
    if solution.objective is not None:
        name = problem.objective_name
        lines.append("objective%s: %s" % (" (%s)" % _text(name) if name else "", _number(solution.objective)))
    x = solution.x
    if x is not None:
        x = np.asarray(x, dtype=float)
        nonzero = np.flatnonzero(np.abs(x) > _ZERO).tolist()
        if nonzero:
            shown, more = _limited(nonzero)
            lines.append("non-zero variables (%d of %d):" % (len(nonzero), x.size))
            lines += _table([(_column_name(problem, j), _number(x[j])) for j in shown], ("variable", "value")) + more
        else:
            lines.append("every variable is zero (%d variables)" % x.size)
    if solution.duals is not None and x is not None and problem.num_rows:
        activity = problem.A @ x
        lo, hi = problem.row_lower, problem.row_upper
        finite_lo, finite_hi = np.where(np.isfinite(lo), lo, 0), np.where(np.isfinite(hi), hi, 0)
        tol = 1e-7 * (1 + np.maximum(np.abs(finite_lo), np.abs(finite_hi)))
        binding = np.flatnonzero((np.isfinite(lo) & (np.abs(activity - lo) <= tol)) |
                                 (np.isfinite(hi) & (np.abs(activity - hi) <= tol))).tolist()
        if binding:
            shown, more = _limited(binding)
            lines.append("binding constraints (%d of %d):" % (len(binding), problem.num_rows))
            table = []
            for i in shown:
                dual = _dual(solution, problem, i)
                table.append((_row_name(problem, i), _number(activity[i]), "-" if dual is None else _number(dual)))
            lines += _table(table, ("constraint", "value", "shadow price")) + more
    if solution.conflict:
        shown, more = _limited(solution.conflict)
        lines.append("conflicting constraints (an irreducible infeasible subset, %d rows):" % len(solution.conflict))
        lines += ["  %s (line %s): %s" % (_text(row["name"]), row["line"], _text(row["text"])) for row in shown] + more
    elif solution.conflict == [] and solution.status == "infeasible":
        lines.append("the variables' own bounds cannot be met")
    if solution.runaway:
        shown, more = _limited(solution.runaway)
        lines.append("variables without bound:")
        lines += ["  %s (%s)" % (_text(item["name"]), item["direction"]) for item in shown] + more
    if solution.status == "limit":
        lines += _limit_lines(solution)
    if solution.status in ("error", "limit") and solution.message:
        lines.append("solver: %s" % _text(solution.message))
    return "\n".join(lines) + "\n"
