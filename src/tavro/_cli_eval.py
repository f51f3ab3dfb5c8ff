"""Command line of the solver loop: ``tavro generate ... --solve`` and
``tavro eval``."""

import json
import os
import sys
import threading
import time


def _safe(text):
    from ._cli_output import clean

    return clean(text)


def _positive_int(text):
    value = int(text)
    if value < 0:
        raise ValueError(text)
    return value


def _iterations(text):
    from ._cli_guard import iterations_type

    return iterations_type(text)


def _has_option(parser, option):
    return any(option in action.option_strings for action in parser._actions)


def add_solve_options(gen):
    """The options of ``generate`` that belong to --solve."""
    group = gen.add_argument_group("solving")
    group.add_argument("--solve", action="store_true", help="solve the written pair and print the answer")
    group.add_argument("--repair", type=_positive_int, default=2, metavar="N",
                       help="with --solve: at most N feedback rounds on a bad verdict (default 2)")
    group.add_argument("--check-solution", action="store_true",
                       help="with --solve: show an optimal answer to the LLM and let it revise the model")
    group.add_argument("--time-limit", type=float, default=None, metavar="S", help="with --solve: solver time limit")
    if not _has_option(gen, "--json"):
        group.add_argument("--json", action="store_true", help="print exactly one JSON object on stdout")


def _print_err(msg):
    print(_safe(msg), file=sys.stderr, flush=True)


def _print_out(msg):
    print(_safe(msg), flush=True)


def _tokens(usage):
    return "%d in / %d out" % (usage.get("prompt_tokens", 0), usage.get("completion_tokens", 0))


def _cost_text(costs):
    from ._cli_output import format_cost

    costs = costs or {}
    return format_cost(costs.get("total_cost") if "prompt_cost" in costs else None)


def generate_solve(args, description):
    """``tavro generate ... --solve``: exit 0 when the solver reached a
    verdict, 3 when the final pair does not solve (it does not compile: its
    errors are printed and the last pair that compiled is kept beside it, as
    for ``generate``; or the solver failed)."""
    from . import _cli_generate, _cli_output, modelwright, pipeline

    with _cli_output.llm_session(args) as out:
        outcome = _cli_generate.Outcome(args.output, args.data, show=out.progress)
        result = outcome.run(
            pipeline.generate_and_solve,
            description, args.output, args.data,
            iterations=args.iterations,
            alignment_check=False if args.no_alignment else None,
            few_shot=not args.no_few_shot,
            repair=args.repair,
            check_solution=args.check_solution,
            model_name=args.model or modelwright.MODEL_NAME,
            llm_provider=args.provider,
            mode=getattr(modelwright.Grammar, args.mode.upper()),
            time_limit=args.time_limit,
            progress=outcome.progress,
        )
        if args.json:
            _cli_output.emit_json(result)
        else:
            if result.get("assessment"):
                _print_out("Assessment: %s" % result["assessment"])
            for entry in result["rounds"]:
                _print_out("Round %d (%s, %s): %s%s" % (
                    entry["round"], entry["kind"], entry["verdict"], entry["outcome"],
                    " \u2014 " + entry["feedback"] if entry.get("feedback") else ""))
            _print_out(_answer_text(result["solution"]).rstrip("\n"))
            _print_out("Files: %s \u2022 %s" % (result["model_file"], result["data_file"]))
            _print_out("Iterations: %s, repairs: %d, tokens: %s, estimated cost: %s" % (
                result["iterations"], result["repairs"], _tokens(result["usage"]),
                _cost_text(result["estimated_costs"])))
    if result["status"] != "error":
        return 0
    # A revision is only written when it compiles; without one the pair is
    # generate's own, judged as generate judges it.
    if not any(r["outcome"] == "revised" for r in result["rounds"]) and outcome.finish():
        return _cli_generate.EXIT_DOES_NOT_COMPILE
    _print_err("tavro: the final model does not solve: %s; the files are %s and %s"
               % (result["solution"].get("message"), result["model_file"], result["data_file"]))
    return _cli_generate.EXIT_DOES_NOT_COMPILE


def _answer_text(answer):
    """The answer as ``tavro solve`` prints it, where that command exists."""
    from . import pipeline

    try:
        from ._cli_solve import report
    except ImportError:
        report = None
    if report is not None and answer.objects is not None:
        return report(*answer.objects)
    return pipeline.format_solution(answer)


# -- tavro eval -----------------------------------------------------------------------

def add_eval_command(sub):
    ev = sub.add_parser("eval", help="measure accuracy on a benchmark (generate, solve, repair, grade)")
    ev.add_argument("dataset", metavar="DATASET",
                    help="JSON Lines or JSON list file, a library-style folder, or 'benchmark' (the bundled one)")
    ev.add_argument("--output", required=True, metavar="RESULTS.jsonl", help="results file (one line per problem)")
    ev.add_argument("--jobs", type=int, default=1, metavar="N", help="problems run at once (default 1)")
    ev.add_argument("--provider", default=None, help="openai, google or ollama (default: from the model name)")
    ev.add_argument("--model", default=None, help="LLM model name (default gpt-5)")
    ev.add_argument("--timeout", type=float, default=None, metavar="SECONDS",
                    help="longest wait for one LLM call (default: $TAVRO_LLM_TIMEOUT, else 300); "
                         "a problem whose call overruns is recorded with the error")
    ev.add_argument("--iterations", type=_iterations, default=None, metavar="N",
                    help="generate/revise rounds (default 5)")
    ev.add_argument("--no-alignment", action="store_true", help="skip the alignment check")
    ev.add_argument("--repair", type=_positive_int, default=2, metavar="N", help="repair rounds (default 2)")
    ev.add_argument("--check-solution", action="store_true", help="let the LLM check optimal answers")
    ev.add_argument("--limit", type=_positive_int, default=None, metavar="K", help="only the first K problems")
    ev.add_argument("--resume", action="store_true", help="skip problems already in RESULTS.jsonl")
    ev.add_argument("--budget", type=float, default=None, metavar="USD",
                    help="start no new problem once this run's estimated cost reaches USD")
    ev.add_argument("--tolerance", type=float, default=1e-6, metavar="T",
                    help="relative tolerance of a correct objective (default 1e-6)")
    ev.add_argument("--time-limit", type=float, default=60.0, metavar="S", help="solver time limit (default 60)")
    ev.add_argument("--workdir", default=None, metavar="DIR",
                    help="per-problem folders (default: RESULTS.problems beside the results)")
    ev.add_argument("--pricing", default=None, metavar="SOURCE",
                    help="price list URL or file (default: $TAVRO_PRICING, else tokenmeter.PRICING_URL)")
    tape = ev.add_mutually_exclusive_group()
    tape.add_argument("--record", metavar="DIR", default=None, help="store every LLM call in DIR")
    tape.add_argument("--replay", metavar="DIR", default=None,
                      help="answer every LLM call from a recording in DIR, with no network")
    ev.add_argument("--json", action="store_true", help="end stdout with one JSON object (the summary)")
    ev.set_defaults(run=run_eval, parser=ev)
    return ev


class _PlainProgress:
    """One line per finished problem on stderr."""

    def __init__(self, total):
        self.total = total

    def start(self, problem):
        pass

    def record(self, record, summary):
        verdict = "correct" if record["correct"] else ("error" if record["error"] else "wrong")
        _print_err("[%d/%d] #%d%s: %s (%s %s, expected %s) %.1fs, tokens %s, accuracy %.1f%%, cost %s" % (
            summary["problems"], self.total, record["index"], " " + record["id"] if record.get("id") else "",
            verdict, record["status"], _fmt(record["objective"]), _fmt(record["expected"]), record["seconds"],
            _tokens(record["usage"]), 100.0 * summary["accuracy"], "$%.4f" % summary["cost"]))

    def close(self):
        pass


class _RichProgress:
    """A live bar on a terminal: done/total, accuracy, tokens, cost, time left."""

    def __init__(self, total):
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

        self.progress = Progress(TextColumn("eval"), BarColumn(), MofNCompleteColumn(),
                                 TextColumn("{task.fields[stats]}"), TimeRemainingColumn(),
                                 console=Console(stderr=True), transient=False)
        self.task = self.progress.add_task("eval", total=total, stats="")
        self.progress.start()

    def start(self, problem):
        pass

    def record(self, record, summary):
        stats = "accuracy %.1f%%  tokens %d  cost $%.4f" % (
            100.0 * summary["accuracy"], summary["prompt_tokens"] + summary["completion_tokens"], summary["cost"])
        self.progress.update(self.task, completed=summary["problems"], stats=stats)

    def close(self):
        self.progress.stop()


def _fmt(value):
    if isinstance(value, float):
        return "%.10g" % value
    return str(value)


def _progress(total):
    if sys.stderr.isatty():
        try:
            return _RichProgress(total)
        except ImportError:
            pass
    return _PlainProgress(total)


_ROWS = (("problems", "Problems"), ("correct", "Correct"), ("accuracy", "Accuracy"), ("compiled", "Compiled"),
         ("solved", "Solved (optimal)"), ("mean_iterations", "Mean iterations"), ("repairs", "Repairs"),
         ("tokens", "Tokens"), ("cost", "Estimated cost"), ("wall_seconds", "Wall time"))


def _summary_cells(summary):
    cells = dict(summary)
    cells["accuracy"] = "%.1f%%" % (100.0 * summary["accuracy"])
    cells["problems"] = "%d of %d" % (summary["problems"], summary["total"])
    cells["mean_iterations"] = "%.2f" % summary["mean_iterations"]
    cells["tokens"] = "%d in / %d out" % (summary["prompt_tokens"], summary["completion_tokens"])
    cells["cost"] = "$%.4f" % summary["cost"] if summary["cost_known"] else "unknown (no price for the model)"
    cells["wall_seconds"] = "%.1f s" % (summary["wall_seconds"] or 0.0)
    return [(title, str(cells[key])) for key, title in _ROWS]


def _print_summary(summary, stream):
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


def _priced(options):
    # A local Ollama model has no price list to fetch.
    from . import modelwright

    provider = modelwright._infer_provider(options["llm_provider"], options["model_name"])
    return getattr(provider, "value", provider) != "ollama"


def run_eval(args):
    from . import evaluation, modelwright, pipeline, tokenmeter

    from . import _cli_guard

    _cli_guard.check_provider(args.parser, args.provider)
    if args.jobs < 1:
        args.parser.error("--jobs must be at least 1")
    if args.pricing is not None:
        tokenmeter.PRICING_URL = args.pricing
    elif os.environ.get("TAVRO_PRICING"):
        tokenmeter.PRICING_URL = os.environ["TAVRO_PRICING"]
    elif args.replay is not None and os.path.isfile(os.path.join(args.replay, evaluation.PRICING_SNAPSHOT)):
        # The prices the recording was made with: the replay needs no network.
        tokenmeter.PRICING_URL = os.path.join(args.replay, evaluation.PRICING_SNAPSHOT)
    dataset = args.dataset
    if dataset == "benchmark" and not os.path.exists(dataset):
        dataset = evaluation.bundled_benchmark()
    try:
        problems = evaluation.load_dataset(dataset)
    except (evaluation.DatasetError, OSError) as e:
        _print_err("tavro: %s" % e)
        return 2
    if args.limit is not None:
        problems = problems[:args.limit]
    options = {"model_name": args.model or modelwright.MODEL_NAME, "llm_provider": args.provider,
               "iterations": args.iterations, "alignment_check": False if args.no_alignment else None,
               "repair": args.repair, "check_solution": args.check_solution, "time_limit": args.time_limit}
    if args.record is not None:
        os.makedirs(args.record, exist_ok=True)
        if _priced(options):
            evaluation.snapshot_pricing(args.record)
    if args.budget is not None and _priced(options) and not pipeline.estimate_costs(
            {"prompt_tokens": 10**6, "completion_tokens": 10**6}, options["model_name"],
            options["llm_provider"]).get("total_cost"):
        _print_err("tavro: warning: no price is known for %s, so --budget cannot stop the run"
                   % options["model_name"])
    display = _progress(len(problems))
    started = time.monotonic()
    try:
        summary = evaluation.evaluate(problems, args.output, jobs=args.jobs, resume=args.resume,
                                      budget=args.budget, tolerance=args.tolerance, record_dir=args.record,
                                      replay_dir=args.replay, workdir=args.workdir, on_start=display.start,
                                      on_record=display.record, **options)
    except FileExistsError as e:
        display.close()
        _print_err("tavro: %s" % e)
        return 2
    except KeyboardInterrupt:
        display.close()
        _print_err("tavro: interrupted after %.1f s; every finished problem is in %s: add --resume to continue"
                   % (time.monotonic() - started, args.output))
        # Workers may still wait inside LLM calls (native frames): tearing the
        # interpreter down under them crashes it, so leave at once. Every
        # finished record is already on disk.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(130)
    display.close()
    if summary["stopped"] == "budget":
        _print_err("tavro: budget of $%g reached; %d of %d problems done (add --resume to continue)"
                   % (args.budget, summary["problems"], summary["total"]))
    _print_summary(summary, sys.stderr if args.json else sys.stdout)
    if args.json:
        print(json.dumps(summary, ensure_ascii=False), flush=True)
    code = 0
    if summary["replay_misses"]:
        _print_err("tavro: %d problem(s) made LLM calls that are not in the recording %s"
                   % (summary["replay_misses"], args.replay))
        code = 1
    if any(t.name == "tavro-deadline" and t.is_alive() for t in threading.enumerate()):
        # A timed-out call's worker is still inside native code: tearing the
        # interpreter down under it can crash it. Every record is on disk.
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(code)
    return code
