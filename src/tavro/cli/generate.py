"""``tavro generate``: write a model and data file from a problem
description; with --solve, solve the pair and repair it on a bad verdict.

Its safeguards: output paths checked before the first paid call; the model
and data written through temporary files and replaced together when the run
ends (an interrupted or failed run never leaves a new model beside an old data
file); and an outcome that follows the run, so that a final pair that does not
compile is reported (exit status 3) and the last pair that did compile is kept
beside it."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from typing import TYPE_CHECKING, Any, Callable, TypeVar

from .._escape import report_number
from . import guard
from .options import add_llm_options, add_output_options, add_pricing_options
from .output import clean, print_err, solve_line

if TYPE_CHECKING:
    from ..pipeline import PairStage

__all__ = ["NAME", "HELP", "add_arguments", "run", "EXIT_DOES_NOT_COMPILE", "check_outputs", "output_problem",
           "Outcome"]

NAME = "generate"
HELP = "write a model and data file from a problem description"

# Exit status of a generate run whose final model and data do not compile.
EXIT_DOES_NOT_COMPILE = 3

_T = TypeVar("_T")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("description", nargs="?", default=None, help="the problem in plain language")
    parser.add_argument("-f", "--file", help="read the description from FILE instead ('-' for standard input)")
    parser.add_argument("--force", action="store_true",
                        help="send a description longer than %d characters" % guard.MAX_DESCRIPTION)
    parser.add_argument("-o", "--output", required=True, metavar="MODEL.mod", help="model file to write")
    parser.add_argument("-d", "--data", required=True, metavar="DATA.dat", help="data file to write")
    add_llm_options(parser)
    add_pricing_options(parser)
    parser.add_argument("--iterations", type=guard.iterations_type, default=None, metavar="N",
                        help="maximum generate/revise rounds, 1 to %d (default 5)" % guard.MAX_ITERATIONS)
    parser.add_argument("--no-alignment", action="store_true", help="skip the alignment check")
    parser.add_argument("--no-few-shot", action="store_true", help="do not show example problems to the LLM")
    parser.add_argument("--mode", choices=("bnf", "code", "none"), default="bnf",
                        help="grammar reference put into the prompts (default bnf)")
    parser.add_argument("--stats", action="store_true",
                        help="print the statistics (JSON) instead of the assessment")
    add_output_options(parser)
    group = parser.add_argument_group("solving")
    group.add_argument("--solve", action="store_true", help="solve the written pair and print the answer")
    group.add_argument("--repair", type=guard.positive_int, default=2, metavar="N",
                       help="with --solve: at most N feedback rounds on a bad verdict (default 2)")
    group.add_argument("--check-solution", action="store_true",
                       help="with --solve: show an optimal answer to the LLM and let it revise the model")
    group.add_argument("--time-limit", type=float, default=None, metavar="S", help="with --solve: solver time limit")
    group.add_argument("--mip-gap", type=float, default=None, metavar="G",
                       help="with --solve: relative MIP gap at which the solver stops")
    group.add_argument("--candidates", type=guard.candidates_type, default=1, metavar="K",
                       help="with --solve: K independent generations at once that must agree; the largest group "
                            "of equal answers wins and a disagreement is reported (1 to %d, default 1)"
                            % guard.MAX_CANDIDATES)
    given = parser.add_argument_group("data given as tables")
    given.add_argument("--data-dir", default=None, metavar="DIR",
                       help="the data are the CSV tables under DIR: the LLM sees a summary of each and writes a data "
                            "file that binds them with csv(...)")
    given.add_argument("--rows", type=guard.positive_int, default=None, metavar="N",
                       help="with --data-dir: the first N rows of each table shown to the LLM (default 3; 0 sends "
                            "no cell value)")


def run(args: argparse.Namespace) -> int:
    from .. import modelwright, pipeline
    from .preflight import require_provider

    guard.check_provider(args.parser, args.provider)
    if args.mip_gap is not None and not args.mip_gap >= 0:
        args.parser.error("--mip-gap must be a number >= 0")
    description = _description(args, args.parser)
    check_outputs(args.parser, args)
    if args.candidates > 1 and not args.solve:
        args.parser.error("--candidates needs --solve: candidates are compared by their answers")
    check_data_dir(args.parser, args)
    require_provider(args)
    if args.solve:
        return _generate_solve(args, description)
    if args.data_dir is not None:
        return _generate_given(args, description)
    from .output import llm_session

    kwargs = {}
    if args.iterations is not None:
        kwargs["iterations"] = args.iterations
    with llm_session(args) as out:
        out.files = (args.output, args.data)
        outcome = Outcome(args.output, args.data, show=out.progress)
        with pipeline.PairStage(args.output, args.data, outcome.progress) as stage:
            outcome.stage = stage
            result = outcome.run(
                modelwright.generative_solve,
                description,
                *stage.paths,
                model_name=args.model or modelwright.MODEL_NAME,
                mode=getattr(modelwright.Grammar, args.mode.upper()),
                return_statistics=args.stats or args.json,
                alignment_check=False if args.no_alignment else None,
                llm_provider=args.provider,
                progress=stage.progress,
                few_shot=not args.no_few_shot,
                **kwargs,
            )
        out.generated(result, args)
    return outcome.finish()


def _description(args: argparse.Namespace, parser: argparse.ArgumentParser) -> str:
    if (args.description is None) == (args.file is None):
        parser.error("give the problem DESCRIPTION or -f FILE (exactly one)")
    if args.file is None:
        text = str(args.description)
    elif args.file == "-":
        text = sys.stdin.read()
    else:
        from .files import read_input

        text = read_input(parser, args.file)
    guard.check_description(parser, text, args.force)
    return text


def output_problem(path: str) -> str | None:
    """Why ``path`` cannot take an output file, or None."""
    if os.path.isdir(path) or path.endswith(("/", os.sep)):
        return "it is a folder"
    folder = os.path.dirname(os.path.abspath(path))
    existing = folder
    while not os.path.lexists(existing):
        existing = os.path.dirname(existing)
    if not os.path.isdir(existing):
        return "%s is not a folder" % existing
    if os.path.exists(path) and not os.access(path, os.W_OK):
        return "permission denied"
    try:  # can a file (or the missing folders) be created there?
        if existing == folder:
            fd, probe = tempfile.mkstemp(dir=folder, prefix=".tavro-check-")
            os.close(fd)
            os.unlink(probe)
        else:
            os.rmdir(tempfile.mkdtemp(dir=existing, prefix=".tavro-check-"))
    except OSError as e:
        return e.strerror or str(e)
    return None


def check_outputs(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors for output paths that cannot be written, before the
    first LLM request is paid for."""
    for option, path in (("-o", args.output), ("-d", args.data)):
        problem = output_problem(path)
        if problem:
            parser.error("argument %s: cannot write %s: %s" % (option, clean(path), clean(problem)))
    if os.path.realpath(args.output) == os.path.realpath(args.data):
        parser.error("-o and -d name the same file")


def check_data_dir(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Usage errors for --data-dir and --rows, before the first LLM request."""
    from .._given import NoTables, table_paths

    if args.data_dir is None:
        if args.rows is not None:
            parser.error("--rows goes with --data-dir")
        return
    try:
        table_paths(args.data_dir)
    except NoTables as e:
        parser.error("argument --data-dir: %s" % clean(str(e)))


def _rows(args: argparse.Namespace) -> int:
    from .._given import DEFAULT_ROWS

    return DEFAULT_ROWS if args.rows is None else int(args.rows)


def solve_command(args: argparse.Namespace) -> str:
    """The command that solves the written pair again over its tables."""
    return solve_line(args.output, args.data, args.data_dir)


def _generate_given(args: argparse.Namespace, description: str) -> int:
    """``tavro generate --data-dir DIR`` without --solve: the pair for the
    tables of DIR, judged and kept as for a word problem."""
    from .. import _given, modelwright, pipeline
    from .output import llm_session

    given = _given.Given.read(description, args.data_dir, _rows(args))
    with llm_session(args) as out:
        outcome = Outcome(args.output, args.data, show=out.progress, data_dir=args.data_dir)
        with pipeline.PairStage(args.output, args.data, outcome.progress) as stage:
            outcome.stage = stage
            stats = outcome.run(
                _given.generate, given, *stage.paths,
                model_name=args.model or modelwright.MODEL_NAME,
                mode=getattr(modelwright.Grammar, args.mode.upper()),
                iterations=args.iterations,
                alignment_check=False if args.no_alignment else None,
                few_shot=not args.no_few_shot,
                llm_provider=args.provider,
                progress=stage.progress,
            )
        stats["data_dir"] = args.data_dir
        out.generated(stats if args.stats or args.json else stats["assessment"], args)
        out.note("To solve this pair again: %s" % solve_command(args))
    return outcome.finish()


def _kept_name(path: str) -> str:
    root, ext = os.path.splitext(path)
    return root + ".compiled" + ext


class Outcome:
    """Follows a generate run through its progress messages: whether the
    pair last written compiled, and the texts of the last pair that did, so
    that a run ending on a broken pair never leaves the user with less.
    While a ``stage`` (pipeline.PairStage) is set, the pair written is read
    from it rather than from the files."""

    def __init__(self, model_file: str, data_file: str, show: Callable[[object], None] | None = None,
                 data_dir: str | None = None) -> None:
        self.paths = (model_file, data_file)
        self.data_dir = data_dir  # where the data's tables are read, if it binds any
        self.stage: PairStage | None = None
        self.show = show or (lambda msg: print(clean(msg), flush=True))
        self.written = False  # a pair was written and its verdict is pending
        self.compiles: bool | None = None  # verdict on the last pair written
        self.good: tuple[str, ...] | None = None  # texts of the last pair that compiled

    def progress(self, msg: object) -> None:
        self.show(msg)
        msg = str(msg)
        if msg.startswith("Wrote files: "):
            self.written = True
        elif self.written:
            self.written = False
            self.compiles = not msg.startswith("Syntax/semantic errors found: ")
            if self.compiles:
                self.good = self.stage.texts if self.stage is not None else tuple(self._read(p) for p in self.paths)

    @staticmethod
    def _read(path: str) -> str:
        with open(path) as f:
            return f.read()

    def keep_good(self) -> tuple[str, ...] | None:
        """Writes the last compiling pair beside the outputs when the final
        pair does not compile; returns the two paths, or None."""
        if self.compiles is not False or self.good is None:
            return None
        from .. import _fileio

        kept = tuple(_kept_name(p) for p in self.paths)
        _fileio.write_files_atomic(dict(zip(kept, self.good)))
        print("tavro: the last model and data that compiled are kept in %s and %s"
              % tuple(clean(p) for p in kept), file=sys.stderr)
        return kept

    def run(self, solve: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
        """``solve(*args, **kwargs)``; should it fail after a broken pair
        replaced one that compiled, that one is kept first."""
        try:
            return solve(*args, **kwargs)
        except BaseException:
            self.keep_good()
            raise

    def finish(self) -> int:
        """The exit status; for a final pair that does not compile, its errors
        and the files left are printed first."""
        if self.compiles is not False:
            return 0
        from .. import modelwright

        from .._check import name_locations

        try:
            texts = tuple(self._read(p) for p in self.paths)
            if self.data_dir is None:
                modelwright.KelmCompiler().compile_model(*texts)
            else:
                modelwright.KelmCompiler().compile_model(*texts, data_dir=self.data_dir)
            errors: list[str] = []
        except modelwright.SemanticError as e:
            errors = [name_locations(e, *self.paths)]
        except Exception as e:
            errors = ["%s: %s" % (type(e).__name__, e)]
        print("tavro: the final model and data do not compile:", file=sys.stderr)
        for error in errors:
            print(clean(error), file=sys.stderr)
        print("tavro: files written: %s and %s" % tuple(clean(p) for p in self.paths), file=sys.stderr)
        self.keep_good()
        return EXIT_DOES_NOT_COMPILE


def _generate_solve(args: argparse.Namespace, description: str) -> int:
    """``tavro generate ... --solve``: exit 0 when the solver reached a
    verdict, 3 when the final pair does not solve (it does not compile: its
    errors are printed and the last pair that compiled is kept beside it, as
    for ``generate``; or the solver failed)."""
    from .. import modelwright, pipeline
    from .output import emit_json, llm_session

    given: dict[str, Any] = {}
    if args.data_dir is not None:
        given = {"data_dir": args.data_dir, "rows": _rows(args)}
    with llm_session(args) as out:
        out.files = (args.output, args.data)
        outcome = Outcome(args.output, args.data, show=out.progress, data_dir=args.data_dir)

        def progress(msg: object) -> None:
            # The pipeline solves whatever pair it is given; a pair that never
            # compiled was not "solved" with an error.
            if str(msg) == "Solved: error" and outcome.compiles is False:
                msg = "Not solved: the model and data do not compile"
            outcome.progress(msg)

        options: dict[str, Any] = dict(
            iterations=args.iterations,
            alignment_check=False if args.no_alignment else None,
            few_shot=not args.no_few_shot,
            repair=args.repair,
            check_solution=args.check_solution,
            model_name=args.model or modelwright.MODEL_NAME,
            llm_provider=args.provider,
            mode=getattr(modelwright.Grammar, args.mode.upper()),
            time_limit=args.time_limit,
            mip_gap=args.mip_gap,
            **given,
        )
        if args.candidates > 1:
            result = _run_candidates(args, description, options, progress)
            # The kept pair is the chosen candidate's: judge it as generate would.
            outcome.compiles = not _pair_errors(args.output, args.data, args.data_dir)
        else:
            with pipeline.PairStage(args.output, args.data, progress) as stage:
                outcome.stage = stage
                result = outcome.run(pipeline.generate_and_solve, description, args.output, args.data,
                                     stage=stage, **options)
        revised = any(r["outcome"] == "revised" for r in result["rounds"])
        never_compiled = outcome.compiles is False and not revised
        if args.json:
            emit_json(dict(result, compiled=not never_compiled, calls=out.calls, totals=out.totals(),
                           pricing=out.pricing_json()))
        else:
            _print_result(result, never_compiled)
        if given:
            out.note("To solve this pair again: %s" % solve_command(args))
    if result.get("disagreement") and not args.json:
        print_warning("the candidates disagree (%s agree); see the comparison above" % result["agreement"])
    if result["status"] != "error":
        return 0
    # A revision is only written when it compiles; without one the pair is
    # generate's own, judged as generate judges it.
    if not revised and outcome.finish():
        return EXIT_DOES_NOT_COMPILE
    print_err("tavro: the final model does not solve: %s; the files are %s and %s"
              % (result["solution"].get("message"), result["model_file"], result["data_file"]))
    return EXIT_DOES_NOT_COMPILE


def _run_candidates(args: argparse.Namespace, description: str, options: dict[str, Any],
                    progress: Callable[[object], None]) -> dict[str, Any]:
    """generate_and_solve with K candidates; Ctrl-C says which finished and
    leaves at once (candidates may still wait inside LLM calls)."""
    from .. import _candidates, pipeline

    try:
        result: dict[str, Any] = pipeline.generate_and_solve(description, args.output, args.data,
                                                             candidates=args.candidates, progress=progress,
                                                             **options)
    except _candidates.CandidatesInterrupted as e:
        kept = ("%s and %s were left as they were" % (clean(args.output), clean(args.data))
                if os.path.exists(args.output) or os.path.exists(args.data) else "no files were written")
        print_err("tavro: interrupted; %s; %s" % (e, kept))
        sys.stdout.flush()
        os._exit(130)
    return result


def _pair_errors(model_file: str, data_file: str, data_dir: str | None = None) -> list[str]:
    from .. import _solving

    try:
        with open(model_file) as mf, open(data_file) as df:
            return _solving.compile_errors(mf.read(), df.read(), data_dir)
    except (OSError, UnicodeError) as e:
        return [str(e)]


def print_warning(text: str) -> None:
    """A warning the user cannot miss: on stderr, bold red on a terminal."""
    if sys.stderr.isatty():
        from rich.console import Console
        from rich.text import Text

        Console(file=sys.stderr, highlight=False, soft_wrap=True).print(Text("WARNING: " + clean(text),
                                                                              style="bold red"))
    else:
        print_err("WARNING: " + text)


def _print_result(result: dict[str, Any], never_compiled: bool = False) -> None:
    from .. import _stated
    from .output import format_cost, known_cost, print_out, tokens_text

    if result.get("assessment"):
        print_out("Assessment: %s" % result["assessment"])
    for entry in result["rounds"]:
        print_out("Round %d (%s, %s): %s%s" % (
            entry["round"], entry["kind"], entry["verdict"], entry["outcome"],
            " \u2014 " + entry["feedback"] if entry.get("feedback") else ""))
    if "agreement" in result:
        _print_agreement(result)
    for change in result.get("stated_changes") or []:
        print_out("WARNING: a number stated in the description was changed: %s" % _stated.change_text(change))
    described = result.get("infeasible_as_described")
    if described:
        print_out("The problem as described is infeasible: %s" % (described["explanation"] or "(no reason given)"))
    if never_compiled:
        print_out("Not solved: the model and data do not compile (the errors follow on stderr)")
    else:
        print_out(_answer_text(result["solution"]).rstrip("\n"))
    print_out("Files: %s \u2022 %s" % (result["model_file"], result["data_file"]))
    print_out("Iterations: %s, repairs: %d, tokens: %s, estimated cost: %s" % (
        result["iterations"], result["repairs"], tokens_text(result["usage"]),
        format_cost(known_cost(result["estimated_costs"]))))


def _print_agreement(result: dict[str, Any]) -> None:
    from .output import print_out

    def who(numbers: list[int]) -> str:
        return "candidate%s %s" % ("s" if len(numbers) > 1 else "", ", ".join(map(str, numbers)))

    if not result["disagreement"]:
        print_out("Agreement: %s (%s)" % (result["agreement"], who(result["groups"][0]["candidates"])
                                          if result["groups"] else "no candidate answered"))
    else:
        print_out("WARNING: THE CANDIDATES DISAGREE: %s agree on the answer below (candidate %d's pair is kept)."
                  % (result["agreement"], result["chosen"]))
        for group in result["groups"]:
            objective = group["objective"]
            answer = group["status"] + ("" if objective is None else ", objective %s" % report_number(objective))
            print_out("  %s: %s" % (answer, who(group["candidates"])))
        if result.get("comparison"):
            print_out("  Where the readings differ: %s" % result["comparison"])
        elif result.get("comparison_error"):
            print_out("  (the comparison call failed: %s)" % result["comparison_error"])
    for entry in result["candidates"]:
        if entry["status"] is None or entry["status"] == "error":
            print_out("Candidate %d gave no answer: %s" % (entry["candidate"], entry["error"] or entry["status"]))


def _answer_text(answer: Any) -> str:
    """The answer as ``tavro solve`` prints it."""
    from .. import pipeline
    from .solve import report

    if answer.objects is not None:
        return report(*answer.objects)
    text: str = pipeline.format_solution(answer)
    return text
