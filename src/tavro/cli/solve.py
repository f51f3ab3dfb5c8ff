"""``tavro solve MODEL.mod DATA.dat``: solve a model and report the answer in
its own names, as text or as one JSON object; optionally write the
standalone SciPy script of the same problem.

Exit status: 0 when the solve finished (whatever its status), 1 on a model
error (one ``tavro:`` line per compiler message) or when an extra file
(--emit, --write, --values-csv) could not be written (after the answer), 2 on
a usage error, 130 when Ctrl-C stopped the solve (the answer so far is
reported first).
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, NoReturn, Sequence

from .._escape import report_number
from .options import add_data_dir_option, add_output_options, data_dir_of
from .output import clean, emit_json

NAME = "solve"
HELP = "solve a model and data file and print the answer"
DESCRIPTION = "Solve a model and data file with HiGHS and print the answer in the model's names."

# Non-zero variables and binding rows listed in the text report.
MAX_LINES = 50
# Rows plus columns up to which --json is indented; a larger result is written
# on one line, its values from their arrays (Solution.to_json).
JSON_INDENTED = 10_000
_ZERO = 1e-9


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("model_file", metavar="MODEL.mod")
    parser.add_argument("data_file", metavar="DATA.dat")
    add_data_dir_option(parser)
    parser.add_argument("--emit", metavar="SCRIPT.py", help="also write the standalone SciPy script of the problem")
    parser.add_argument("--sidecar", action="store_true",
                        help="with --emit: put the arrays in SCRIPT.npz beside the script")
    parser.add_argument("--write", metavar="FILE.mps|FILE.lp",
                        help="also write the problem as an MPS or LP file (HiGHS's writer); names the format cannot "
                             "hold are made safe and FILE.names.csv maps them back")
    parser.add_argument("--values-csv", metavar="FILE.csv",
                        help="also write the non-zero values as CSV: variable, name, index values, value")
    parser.add_argument("--time-limit", type=float, metavar="S",
                        help="stop after S seconds (the solve and every search after it)")
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
    if args.write and os.path.splitext(args.write)[1].lower() not in (".mps", ".lp"):
        _usage(args, "--write needs a file name ending in .mps or .lp")
    from .files import read_input

    model_code = read_input(args.parser, args.model_file)
    data_code = read_input(args.parser, args.data_file)

    from .. import solver

    # --time-limit covers the build and every solve of the request.
    options = solver.SolveOptions(time_limit=args.time_limit, mip_gap=args.mip_gap).started()
    try:
        problem = solver.build_problem(model_code, data_code, data_dir=data_dir_of(args), deadline=options.deadline)
    except (SemanticError, TimeoutError) as e:  # a located message either way
        return _model_error(e, args)
    code = 0
    try:
        solution = solver.solve_problem(problem, options=options)
    except KeyboardInterrupt as e:
        # HiGHS has stopped: report what it had, as the shell expects of Ctrl-C.
        partial = getattr(e, "solution", None)
        if partial is None:
            raise
        solution, code = partial, 130
    if args.json:
        indent = None if problem.num_columns + problem.num_rows > JSON_INDENTED else 2
        sys.stdout.write(clean(solution.to_json(indent), json_text=True) + "\n")
        sys.stdout.flush()
    else:
        sys.stdout.write(clean(report(problem, solution)))
        sys.stdout.flush()
    # The extra files come after the answer, which a failure among them must not lose.
    from .files import make_parent, why

    failed = False
    for flag, write in (("emit", _emit), ("write", _write), ("values_csv", _values_csv)):
        target = getattr(args, flag)
        if not target:
            continue
        try:
            make_parent(target)
            written = write(args, problem, solution)
        except (OSError, ValueError) as e:
            print("tavro: cannot write %s: %s" % (_text(target), _text(why(e))), file=sys.stderr, flush=True)
            failed = True
            continue
        for path in written:
            print("wrote %s" % _text(path), file=sys.stderr, flush=True)
    return code or (1 if failed else 0)


def _sidecar_path(script: str) -> str:
    return os.path.splitext(script)[0] + ".npz"


# Each writer replaces its files whole (tavro._fileio) and returns their paths.

def _emit(args: argparse.Namespace, problem: Any, solution: Any) -> list[str]:
    # The script of the problem already built for the solve: no second grounding, and the
    # values read from any tables are in it, never their paths.
    from .. import _csc_script
    from .._fileio import write_files_atomic, write_text_atomic

    if not args.sidecar:
        text, _ = _csc_script.script_for_problem(problem)
        write_text_atomic(args.emit, text, encoding="utf-8")
        return [args.emit]
    # The script and its arrays are replaced together; the script checks the arrays' fingerprint.
    sidecar = _sidecar_path(args.emit)
    text, arrays = _csc_script.script_for_problem(problem, sidecar)
    assert arrays is not None
    write_files_atomic({args.emit: text, sidecar: arrays}, encoding="utf-8")
    return [args.emit, sidecar]


def _write(args: argparse.Namespace, problem: Any, solution: Any) -> list[str]:
    from .. import _export

    return _export.write_model_and_map(problem, args.write)


def _values_csv(args: argparse.Namespace, problem: Any, solution: Any) -> list[str]:
    from .. import _export

    if solution.x is None:
        raise ValueError("there are no values (status %s)" % solution.status)
    _export.write_values_csv(problem, solution.x, args.values_csv)
    return [args.values_csv]


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


def report(problem: Any, solution: Any) -> str:
    """The text report: status, objective, non-zero variables, and the
    binding constraints with their shadow prices (LP) or the conflicting
    constraints (infeasible) or the variables that run away (unbounded)."""
    import numpy as np

    lines = ["status: %s%s" % (solution.status, " (%s)" % solution.reason if solution.reason else "")]
    if solution.objective is not None:
        name = problem.objective_name
        lines.append("objective%s: %s" % (" (%s)" % _text(name) if name else "", report_number(solution.objective)))
    if solution.status == "limit" and solution.mip_gap is not None:
        lines.append("gap: %.4g%% (bound %s)" % (100 * solution.mip_gap, report_number(solution.mip_bound)))
    if solution.violation:
        lines.append("error: %s" % _text(solution.violation))
    elif solution.max_violation:
        lines.append("max violation: %.3g" % solution.max_violation)
    lines += ["warning: %s" % _text(w) for w in solution.warnings] + ["note: %s" % _text(n) for n in solution.notes]
    x = solution.x
    if x is not None:
        x = np.asarray(x, dtype=float)
        nonzero = np.flatnonzero(np.abs(x) > _ZERO).tolist()
        if nonzero:
            shown, more = _limited(nonzero)
            lines.append("non-zero variables (%d of %d):" % (len(nonzero), x.size))
            values = [(problem.column_name(j), report_number(x[j])) for j in shown]
            lines += _table(values, ("variable", "value")) + more
        else:
            lines.append("every variable is zero (%d variables)" % x.size)
    if solution.row_dual is not None and x is not None and problem.num_rows:
        activity = problem.A @ x
        binding = problem.binding_rows(x, activity)
        if binding:
            shown, more = _limited(binding)
            lines.append("binding constraints (%d of %d):" % (len(binding), problem.num_rows))
            table = []
            for i in shown:
                table.append((problem.row_name(i), report_number(activity[i]), report_number(solution.row_dual[i])))
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
    if solution.status in ("error", "limit") and solution.message and solution.message != solution.violation:
        lines.append("solver: %s" % _text(solution.message))
    return "\n".join(lines) + "\n"
