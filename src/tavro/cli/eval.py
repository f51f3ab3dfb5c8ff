"""``tavro eval``: measure accuracy on a benchmark: generate, solve, repair
and grade every problem, one results line each."""

from __future__ import annotations

import argparse
import math
import os
import sys
import threading
import time
from typing import IO, Any, NoReturn

from .._escape import report_number
from .._work import DEFAULT_PROBLEM_TIMEOUT
from . import guard
from .options import add_llm_options, add_output_options, add_pricing_options
from .output import emit_json, format_cost, print_err, tokens_text

NAME = "eval"
HELP = "measure accuracy on a benchmark (generate, solve, repair, grade)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("dataset", metavar="DATASET",
                        help="JSON Lines or JSON list file, a library-style folder, or 'benchmark' (the bundled one)")
    parser.add_argument("--output", required=True, metavar="RESULTS.jsonl",
                        help="results file (one line per problem)")
    parser.add_argument("--jobs", type=int, default=1, metavar="N", help="problems run at once (default 1)")
    add_llm_options(parser, provider_default="from the model name",
                    timeout_note="; a problem whose call overruns is recorded with the error")
    parser.add_argument("--iterations", type=guard.iterations_type, default=None, metavar="N",
                        help="generate/revise rounds (default 5)")
    parser.add_argument("--no-alignment", action="store_true", help="skip the alignment check")
    parser.add_argument("--repair", type=guard.positive_int, default=2, metavar="N",
                        help="repair rounds (default 2)")
    parser.add_argument("--check-solution", action="store_true", help="let the LLM check optimal answers")
    parser.add_argument("--candidates", type=guard.candidates_type, default=1, metavar="K",
                        help="K generations per problem that must agree (default 1); the summary adds the "
                             "accuracy when all agreed and how often a wrong answer came with a warning")
    parser.add_argument("--limit", type=guard.positive_int, default=None, metavar="K",
                        help="only the first K problems")
    parser.add_argument("--resume", action="store_true", help="skip problems already in RESULTS.jsonl")
    parser.add_argument("--budget", type=float, default=None, metavar="USD",
                        help="start no new problem once this run's estimated cost reaches USD")
    parser.add_argument("--tolerance", type=float, default=1e-6, metavar="T",
                        help="relative tolerance of a correct objective (default 1e-6)")
    parser.add_argument("--time-limit", type=float, default=60.0, metavar="S",
                        help="solver time limit (default 60)")
    parser.add_argument("--problem-timeout", type=float, default=None, metavar="S",
                        help="seconds of compile and solve work each problem may take, all its compiles and solves "
                             "together (default %g); past them the problem is recorded as an error and the run "
                             "goes on" % DEFAULT_PROBLEM_TIMEOUT)
    parser.add_argument("--rows", type=guard.positive_int, default=None, metavar="N",
                        help="for problems over tables (a data_dir entry, a case folder with data/): the first N rows "
                             "of each table shown to the LLM (default 3; 0 sends no cell value)")
    parser.add_argument("--workdir", default=None, metavar="DIR",
                        help="per-problem folders (default: RESULTS.problems beside the results)")
    add_pricing_options(parser)
    tape = parser.add_mutually_exclusive_group()
    tape.add_argument("--record", metavar="DIR", default=None, help="store every LLM call in DIR")
    tape.add_argument("--replay", metavar="DIR", default=None,
                      help="answer every LLM call from a recording in DIR, with no network")
    add_output_options(parser, progress=False, json_help="end stdout with one JSON object (the summary)")


class _PlainProgress:
    """One line per finished problem on stderr."""

    def __init__(self, total: int) -> None:
        self.total = total

    def start(self, problem: object) -> None:
        pass

    def record(self, record: dict[str, Any], summary: dict[str, Any]) -> None:
        verdict = "correct" if record["correct"] else ("error" if record["error"] else "wrong")
        print_err("[%d/%d] #%d%s: %s (%s %s, expected %s) %.1fs, tokens %s, accuracy %.1f%%, cost %s" % (
            summary["problems"], self.total, record["index"], " " + record["id"] if record.get("id") else "",
            verdict, record["status"], _fmt(record["objective"]), _fmt(record["expected"]), record["seconds"],
            tokens_text(record["usage"]), 100.0 * summary["accuracy"], format_cost(summary_cost(summary))))

    def close(self) -> None:
        pass


class _RichProgress:
    """A live bar on a terminal: done/total, accuracy, tokens, cost, time left."""

    def __init__(self, total: int) -> None:
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

        self.progress = Progress(TextColumn("eval"), BarColumn(), MofNCompleteColumn(),
                                 TextColumn("{task.fields[stats]}"), TimeRemainingColumn(),
                                 console=Console(stderr=True), transient=False)
        self.task = self.progress.add_task("eval", total=total, stats="")
        self.progress.start()

    def start(self, problem: object) -> None:
        pass

    def record(self, record: dict[str, Any], summary: dict[str, Any]) -> None:
        stats = "accuracy %.1f%%  tokens %d  cost %s" % (
            100.0 * summary["accuracy"], summary["prompt_tokens"] + summary["completion_tokens"],
            format_cost(summary_cost(summary)))
        self.progress.update(self.task, completed=summary["problems"], stats=stats)

    def close(self) -> None:
        self.progress.stop()


def summary_cost(summary: dict[str, Any]) -> float | None:
    """The summed cost, None when a record's price is unknown."""
    return float(summary["cost"]) if summary.get("cost_known", True) else None


def _fmt(value: object) -> str:
    return report_number(value) if isinstance(value, float) else str(value)


def _progress(total: int) -> _PlainProgress | _RichProgress:
    if sys.stderr.isatty():
        try:
            return _RichProgress(total)
        except ImportError:
            pass
    return _PlainProgress(total)


_ROWS = (("problems", "Problems"), ("correct", "Correct"), ("accuracy", "Accuracy"), ("compiled", "Compiled"),
         ("solved", "Solved (optimal)"), ("mean_iterations", "Mean iterations"), ("repairs", "Repairs"),
         ("tokens", "Tokens"), ("cost", "Estimated cost"), ("wall_seconds", "Wall time"))
# With candidates: how far an agreeing answer can be trusted.
_AGREEMENT_ROWS = (("candidates", "Candidates per problem"), ("agreed", "All candidates agreed"),
                   ("accuracy_agreed", "Correct when all agreed"), ("disagreements", "Disagreement warnings"),
                   ("warned_when_wrong", "Wrong answers warned"))


def _share(part: int, whole: int, rate: float | None) -> str:
    return "%d of %d (%s)" % (part, whole, "n/a" if rate is None else "%.1f%%" % (100.0 * rate))


def _summary_cells(summary: dict[str, Any]) -> list[tuple[str, str]]:
    rows: tuple[tuple[str, str], ...] = _ROWS
    cells = dict(summary)
    cells["accuracy"] = "%.1f%%" % (100.0 * summary["accuracy"])
    cells["problems"] = "%d of %d" % (summary["problems"], summary["total"])
    cells["mean_iterations"] = "%.2f" % summary["mean_iterations"]
    cells["tokens"] = "%d in / %d out" % (summary["prompt_tokens"], summary["completion_tokens"])
    cells["cost"] = format_cost(summary_cost(summary)) if summary["cost_known"] else "unknown (no price for the model)"
    cells["wall_seconds"] = "%.1f s" % (summary["wall_seconds"] or 0.0)
    if summary.get("candidates", 1) > 1:
        cells["agreed"] = "%d of %d" % (summary["agreed"], summary["problems"])
        cells["accuracy_agreed"] = _share(summary["correct_agreed"], summary["agreed"], summary["accuracy_agreed"])
        cells["warned_when_wrong"] = _share(summary["wrong_warned"], summary["wrong"], summary["warned_when_wrong"])
        rows = rows[:3] + _AGREEMENT_ROWS + rows[3:]
    return [(title, str(cells[key])) for key, title in rows]


def _print_summary(summary: dict[str, Any], stream: IO[str]) -> None:
    rows = _summary_cells(summary)
    if stream.isatty():
        try:
            from rich.console import Console
            from rich.table import Table

            table = Table(title="tavro eval", show_header=False)
            table.add_column("")
            table.add_column("", justify="right")
            for title, cell in rows:
                table.add_row(title, cell)
            Console(file=stream).print(table)
            return
        except ImportError:
            pass
    width = max(len(title) for title, _ in rows)
    for title, cell in rows:
        print("%-*s  %s" % (width, title, cell), file=stream, flush=True)


def _priced(options: dict[str, Any]) -> bool:
    # A free (local) model has no price list to fetch.
    from .. import _providers, modelwright

    return not _providers.is_free(modelwright._infer_provider(options["llm_provider"], options["model_name"]))


def run(args: argparse.Namespace) -> int:
    from .. import evaluation
    from .options import pricing_source
    from .prices import Prices

    guard.check_provider(args.parser, args.provider)
    if args.jobs < 1:
        args.parser.error("--jobs must be at least 1")
    problem_timeout = DEFAULT_PROBLEM_TIMEOUT if args.problem_timeout is None else args.problem_timeout
    if not 0 < problem_timeout < math.inf:
        args.parser.error("--problem-timeout must be a positive number of seconds")
    source = pricing_source(args)
    if source is None and args.replay is not None and os.path.isfile(
            os.path.join(args.replay, evaluation.PRICING_SNAPSHOT)):
        # The prices the recording was made with: the replay needs no network.
        source = os.path.join(args.replay, evaluation.PRICING_SNAPSHOT)
    with Prices(source, args.offline, note=print_err) as prices:
        return _run(args, prices, problem_timeout)


def _run(args: argparse.Namespace, prices: Any, problem_timeout: float) -> int:
    from .. import evaluation, modelwright, pipeline
    from .preflight import require_provider

    dataset = args.dataset
    if dataset == "benchmark" and not os.path.exists(dataset):
        dataset = evaluation.bundled_benchmark()
    try:
        problems = evaluation.load_dataset(dataset)
    except (evaluation.DatasetError, OSError) as e:
        print_err("tavro: %s" % e)
        return 2
    if args.limit is not None:
        problems = problems[:args.limit]
    options = {"model_name": args.model or modelwright.MODEL_NAME, "llm_provider": args.provider,
               "iterations": args.iterations, "alignment_check": False if args.no_alignment else None,
               "repair": args.repair, "check_solution": args.check_solution, "time_limit": args.time_limit,
               "candidates": args.candidates}
    if args.rows is not None:
        options["rows"] = args.rows
    if args.replay is None:
        require_provider(args)
    if _priced(options):
        prices.ensure()
    if args.record is not None:
        os.makedirs(args.record, exist_ok=True)
        if _priced(options):
            evaluation.snapshot_pricing(args.record)
    if args.budget is not None and _priced(options) and not pipeline.estimate_costs(
            {"prompt_tokens": 10**6, "completion_tokens": 10**6}, options["model_name"],
            options["llm_provider"]).get("total_cost"):
        print_err("tavro: warning: no price is known for %s, so --budget cannot stop the run"
                   % options["model_name"])
    display = _progress(len(problems))
    started = time.monotonic()
    try:
        summary = evaluation.evaluate(problems, args.output, jobs=args.jobs, resume=args.resume,
                                      budget=args.budget, tolerance=args.tolerance, record_dir=args.record,
                                      replay_dir=args.replay, workdir=args.workdir, on_start=display.start,
                                      on_record=display.record, problem_timeout=problem_timeout, **options)
    except FileExistsError as e:
        display.close()
        print_err("tavro: %s" % e)
        return 2
    except evaluation.WriteFailure as e:
        display.close()
        print_err("tavro: cannot write: %s; the run stopped with %d of %d problems in %s: add --resume to "
                  "continue once there is room" % (e, e.recorded, len(problems), args.output))
        _leave(1)
    except KeyboardInterrupt:
        display.close()
        print_err("tavro: interrupted after %.1f s; every finished problem is in %s: add --resume to continue"
                   % (time.monotonic() - started, args.output))
        _leave(130)
    display.close()
    if summary["stopped"] == "budget":
        print_err("tavro: budget of $%s reached; %d of %d problems done (add --resume to continue)"
                   % (_fmt(float(args.budget)), summary["problems"], summary["total"]))
    _print_summary(summary, sys.stderr if args.json else sys.stdout)
    if args.json:
        doc = dict(summary, cost=summary_cost(summary), pricing=prices.to_json())
        emit_json(doc, indent=None)  # one line: the last line of the output
    code = 0
    if summary["replay_misses"]:
        print_err("tavro: %d problem(s) made LLM calls that are not in the recording %s"
                   % (summary["replay_misses"], args.replay))
        code = 1
    if any(t.name == "tavro-deadline" and t.is_alive() for t in threading.enumerate()):
        # A timed-out call's worker is still inside native code: tearing the
        # interpreter down under it can crash it. Every record is on disk.
        _leave(code)
    return code


def _leave(code: int) -> NoReturn:
    """Ends the process at once: workers may still wait inside LLM calls or
    native code, and tearing the interpreter down under them crashes it.
    Every finished record is already on disk."""
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(code)
