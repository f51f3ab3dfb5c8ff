"""Output layer of the command line.

- ``Reporter``: progress as the command runs. On a terminal (standard error
  is a tty) it draws through ``rich``: a spinner with the elapsed time while an
  LLM call waits, then one line per call with its tokens and estimated cost.
  Otherwise it writes plain lines: no escape sequences, no spinner frames.
- ``llm_session(args)``: the reporter of an LLM command, its layer on the
  command's LLM calls (``reporting``, at the PROGRESS place of
  tavro._hooks) and its compiler hook installed until the command ends.
- ``emit_json``: the one JSON object a ``--json`` command writes to stdout.
- ``clean``: LLM and file text made safe to print (control characters that
  could drive the terminal are shown as escapes); ``print_out`` and
  ``print_err`` print such text as one line.

Where lines go: the workflow's own progress messages keep going to stdout
(stderr with ``--json``); the reporter's additions (per-call lines, compiler
messages, the summary) go to stderr, so stdout stays the command's result.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import json
import logging
import os
import re
import sys
import threading
import time
import types
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator, Literal, TypeVar

from .. import _hooks, _providers
from .._escape import shown

if TYPE_CHECKING:
    from rich.console import Console
    from rich.progress import Progress

    from ..tavro_core import KelmCompiler
    from .prices import Prices

__all__ = ["Reporter", "reporting", "compile_hook", "emit_json", "clean", "format_cost", "print_out",
           "print_err", "tokens_text", "llm_session", "report_error"]

_T = TypeVar("_T")

def clean(text: object, json_text: bool = False, one_line: bool = False) -> str:
    """``text`` with terminal control characters replaced by ``\\xNN`` escapes
    (``\\uNNNN`` for the bidirectional controls, and inside JSON text, which
    keeps the document valid). ``one_line`` escapes newline and tab too: for
    a name or a datum that must not start a line of its own in a report."""
    return shown(text, json_text, one_line)


def print_out(msg: object) -> None:
    print(clean(msg), flush=True)


def print_err(msg: object) -> None:
    print(clean(msg), file=sys.stderr, flush=True)


def dumps_json(obj: object, indent: int | None = 2) -> str:
    """``obj`` as JSON (indented, or on one line with ``indent=None``) whose
    text holds no raw control character (json escapes C0 itself; DEL and C1
    become \\u escapes, values unchanged); non-finite numbers are null, as
    JSON has none."""
    from .._jsontext import finite

    return clean(json.dumps(finite(obj), indent=indent, ensure_ascii=False, default=str), json_text=True)


def emit_json(obj: object, stream: IO[str] | None = None, indent: int | None = 2) -> None:
    """Write ``obj`` as one JSON document (and a newline) to stdout."""
    stream = stream or sys.stdout
    stream.write(dumps_json(obj, indent) + "\n")
    stream.flush()


def format_cost(cost: float | None) -> str:
    """Dollar text of an estimated cost; None is an unknown price."""
    if cost is None:
        return "unknown"
    if cost >= 1:
        return "$%.2f" % cost
    if cost >= 0.01 or cost == 0:
        return "$%.4f" % cost
    return "$" + ("%.6f" % cost).rstrip("0")


def tokens_text(usage: dict[str, int]) -> str:
    return "%d in / %d out" % (usage.get("prompt_tokens", 0), usage.get("completion_tokens", 0))


def known_cost(costs: object) -> float | None:
    """``total_cost`` of an estimated-costs dictionary; None when no price
    was found (no ``prompt_cost``: its 0.0 total does not mean free)."""
    if not isinstance(costs, dict) or "prompt_cost" not in costs:
        return None
    return float(costs.get("total_cost") or 0.0)


_COST_RECORD = re.compile(r"^\[LLM\] Estimated costs: (\{.*\})$", re.S)


def cost_record_text(msg: str, local: bool = False) -> str:
    """The workflow's "[LLM] Estimated costs: {...}" line in words (cost,
    tokens, model); any other message unchanged."""
    m = _COST_RECORD.match(msg)
    if not m:
        return msg
    import ast

    try:
        record = ast.literal_eval(m.group(1))
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return msg
    if not isinstance(record, dict):
        return msg
    usage = record.get("usage")
    usage = usage if isinstance(usage, dict) else {}
    cost = "local model (no charge)" if local else format_cost(known_cost(record.get("estimated_costs")))
    return "[LLM] Estimated costs: %s (%s, %d tokens in / %d out)" % (
        cost, record.get("model"), usage.get("prompt_tokens") or 0, usage.get("completion_tokens") or 0)


# Workflow messages that the terminal display replaces (the spinner, the call
# lines and the summary say the same); shown in plain output and with --verbose.
_SHOWN_BY_DISPLAY = re.compile(r"^\[LLM\] (.*: (sending request|generating|response received)|Estimated costs: .*)$",
                               re.S)


_CANDIDATE = re.compile(r"\[candidate \d+/\d+\] ")


def _candidate_prefixed(msg: str) -> tuple[str, str]:
    m = _CANDIDATE.match(msg)
    return (m.group(), msg[m.end():]) if m else ("", msg)


def _provider_name(provider: object) -> str:
    return str(getattr(provider, "value", provider))


def _is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty() and os.environ.get("TERM") != "dumb"
    except (AttributeError, ValueError):
        return False


class Reporter:
    """Progress of one command; see the module documentation."""

    def __init__(self, json_mode: bool = False, quiet: bool = False, verbose: bool = False,
                 terminal: bool | None = None, want_costs: bool = True) -> None:
        self.json_mode = json_mode
        self.quiet = quiet
        self.verbose = verbose
        self.err = sys.stderr
        self.out = sys.stderr if json_mode else sys.stdout
        self.terminal = (not quiet) and (_is_terminal(self.err) if terminal is None else terminal)
        self.want_costs = want_costs and (json_mode or not quiet)
        self.calls: list[dict[str, Any]] = []
        self.iterations = 0
        # The model and data file a command writes: compiler messages name them.
        self.files: tuple[str, str] | None = None
        # The command's price list, chosen on first use (llm_session sets it),
        # and whether the model is local (no price list at all).
        self.price_list: Prices | None = None
        self.local = False
        self._console: Console | None = None
        self._live: Progress | None = None
        # Calls in flight by thread (candidates call at once); one lock for the display.
        self._started: dict[int, tuple[float, str, str]] = {}
        self._lock = threading.RLock()
        self._log_handler: tuple[logging.Handler, int] | None = None
        if self.terminal:
            from rich.console import Console

            self._console = Console(file=self.err, highlight=False, soft_wrap=True)

    # -- life cycle ---------------------------------------------------------
    def __enter__(self) -> Reporter:
        if self.verbose:
            handler = logging.StreamHandler(self.err)
            handler.setFormatter(logging.Formatter("%(name)s: %(message)s"))
            logger = logging.getLogger("tavro")
            self._log_handler = (handler, logger.level)
            logger.addHandler(handler)
            logger.setLevel(logging.DEBUG)
        return self

    def __exit__(self, *exc: object) -> Literal[False]:
        self._stop_live()
        if self._log_handler is not None:
            handler, level = self._log_handler
            logger = logging.getLogger("tavro")
            logger.removeHandler(handler)
            logger.setLevel(level)
            self._log_handler = None
        return False

    # -- output primitives --------------------------------------------------
    def _line(self, text: object, style: str | None = None, stream: IO[str] | None = None) -> None:
        if self.quiet:
            return
        with self._lock:
            self._write_line(text, style, stream)

    def _write_line(self, text: object, style: str | None, stream: IO[str] | None) -> None:
        if self._console is not None:
            from rich.text import Text

            target = self._live.console if self._live is not None else self._console
            target.print(Text(clean(text), style=style or ""))
        else:
            stream = stream or self.err
            print(clean(text), file=stream, flush=True)

    def progress(self, msg: object) -> None:
        """The workflow's progress callback; a candidate's message comes
        with its "[candidate k/n] " prefix, read past here."""
        msg = str(msg)
        prefix, text = _candidate_prefixed(msg)
        m = re.match(r"Iteration (\d+)/\d+: prompting model", msg)
        if m:
            self.iterations = int(m.group(1))
        if self._console is not None and not self.verbose and _SHOWN_BY_DISPLAY.match(text):
            return
        self._line(prefix + cost_record_text(text, self.local), style="dim", stream=self.out)

    def note(self, msg: object) -> None:
        self._line(msg)

    # -- LLM calls ----------------------------------------------------------
    def call_started(self, provider: object, model_name: object) -> None:
        started = (time.monotonic(), _provider_name(provider), str(model_name))
        with self._lock:
            self._started[threading.get_ident()] = started
            if self._console is not None:
                from rich.progress import Progress, SpinnerColumn, TextColumn, TimeElapsedColumn

                # One transient display a call: the spinner line vanishes when the call ends.
                self._stop_live()
                self._live = Progress(SpinnerColumn(), TextColumn("{task.description}"), TimeElapsedColumn(),
                                      console=self._console, transient=True)
                waiting = len(self._started)
                what = "LLM call %d" % (len(self.calls) + 1) if waiting == 1 else "%d LLM calls" % waiting
                self._live.add_task(clean("%s: %s %s" % (what, *started[1:])), total=None)
                self._live.start()

    def _stop_live(self) -> None:
        if self._live is not None:
            self._live.stop()
            self._live = None

    def call_failed(self) -> None:
        with self._lock:
            self._started.pop(threading.get_ident(), None)
            if not self._started:
                self._stop_live()

    def call_finished(self, usage: object) -> None:
        with self._lock:
            t0, provider, model = self._started.pop(threading.get_ident(), (time.monotonic(), "?", "?"))
            if not self._started:
                self._stop_live()
        record: dict[str, Any] = {"provider": provider, "model": model, "seconds": round(time.monotonic() - t0, 3)}
        if isinstance(usage, dict):
            record["prompt_tokens"] = int(usage.get("prompt_tokens") or 0)
            record["completion_tokens"] = int(usage.get("completion_tokens") or 0)
            if self.want_costs:
                record["cost"] = self.price(provider, model, record)
        with self._lock:
            record = dict({"call": len(self.calls) + 1}, **record)
            self.calls.append(record)
            self._line(self._call_line(record))

    def price(self, provider: str, model: str, usage: dict[str, Any]) -> float | None:
        """Estimated dollars of ``usage``; None when the price is unknown.
        Free (local) models cost nothing and never load the price list."""
        if _providers.is_free(provider):
            return 0.0
        if self.price_list is not None:
            self.price_list.ensure()
        try:
            from .. import modelwright

            est = modelwright._estimate_costs(types.SimpleNamespace(model=model),  # type: ignore[attr-defined]
                                              {"prompt_tokens": usage.get("prompt_tokens", 0),
                                               "completion_tokens": usage.get("completion_tokens", 0)})
        except Exception:
            return None
        if not isinstance(est, dict) or "prompt_cost" not in est:
            return None
        return float(est.get("total_cost", 0.0))

    @staticmethod
    def _call_line(record: dict[str, Any]) -> str:
        head = "LLM call %d: %s %s, %.1fs" % (record["call"], record["provider"], record["model"], record["seconds"])
        if "prompt_tokens" not in record:
            return head + ", token usage not reported"
        line = head + ", %d tokens in / %d out" % (record["prompt_tokens"], record["completion_tokens"])
        if "cost" in record:
            cost = record["cost"]
            line += ", local model (no charge)" if _providers.is_free(record["provider"]) else \
                ", cost " + format_cost(cost)
        return line

    # -- compiler -----------------------------------------------------------
    def compile_failed(self, error: BaseException) -> None:
        text = str(error) if type(error).__name__ == "SemanticError" else "%s: %s" % (type(error).__name__, error)
        if self.files is not None:
            from .._check import name_locations

            text = name_locations(text, *self.files)
        self._line("The compiler rejected this iteration's model:", style="bold red")
        for line in text.splitlines() or [""]:
            self._line("  " + line, style="red")

    # -- summary ------------------------------------------------------------
    def totals(self) -> dict[str, Any]:
        """Sums over the calls; None where a call did not report it."""
        reported = all("prompt_tokens" in c for c in self.calls)
        prompt = sum(c["prompt_tokens"] for c in self.calls) if reported else None
        completion = sum(c["completion_tokens"] for c in self.calls) if reported else None
        costs: list[float | None] = [c.get("cost") for c in self.calls]
        cost = None if not costs or any(c is None for c in costs) else sum(c or 0.0 for c in costs)
        return {"calls": len(self.calls), "prompt_tokens": prompt, "completion_tokens": completion, "cost": cost}

    def summary(self, iterations: int | None = None, head: str = "Done: ") -> None:
        t = self.totals()
        iterations = self.iterations if iterations is None else iterations
        parts = []
        if iterations:
            parts.append("%d iteration%s" % (iterations, "" if iterations == 1 else "s"))
        parts.append("%d LLM call%s" % (t["calls"], "" if t["calls"] == 1 else "s"))
        if t["prompt_tokens"] is None:
            parts.append("token usage not reported")
        else:
            parts.append("%d tokens in / %d out" % (t["prompt_tokens"], t["completion_tokens"]))
        if self.want_costs and self.calls and t["prompt_tokens"] is not None:
            local = self.calls and all(_providers.is_free(c["provider"]) for c in self.calls)
            parts.append("local model (no charge)" if local else "estimated cost " + format_cost(t["cost"]))
        self._line(head + ", ".join(parts), style="bold")

    def pricing_json(self) -> dict[str, Any] | None:
        """The price list used ({"source", "bundled", "retrieved", ...}); None
        when none was loaded (a local model, or no cost was needed)."""
        return None if self.price_list is None else self.price_list.to_json()

    # -- results ------------------------------------------------------------
    def generated(self, result: object, args: argparse.Namespace) -> None:
        if args.json:
            doc = dict(result) if isinstance(result, dict) else {"assessment": result}
            doc.update(model_file=args.output, data_file=args.data, calls=self.calls, totals=self.totals(),
                       pricing=self.pricing_json())
            emit_json(doc)
        elif args.stats:
            print(dumps_json(result), flush=True)
        else:
            print(clean(result), flush=True)
        if not self.quiet:
            self.summary(result.get("iterations") if isinstance(result, dict) else None)

    def feedback(self, reply: object, args: argparse.Namespace, written: list[str]) -> None:
        """Shows the reply; ``written`` lists the files --write saved."""
        if args.json:
            doc = dict(reply) if isinstance(reply, dict) else {"feedback": reply}
            if args.write:
                doc["written"] = written
            emit_json(doc)
        elif args.write:
            feedback = reply.get("feedback") if isinstance(reply, dict) else reply
            print(clean(feedback if feedback is not None else ""), flush=True)
            for path in written:
                self.note("wrote %s" % path)
            if not written:
                self.note("no revision proposed; files unchanged")
        else:
            print(dumps_json(reply), flush=True)
        if not self.quiet:
            self.summary()


def reporting(reporter: Reporter) -> _hooks.Layer:
    """The layer of ``_llm_generate_text`` that reports each call."""

    def reported(call: Callable[..., Any], **kwargs: Any) -> Any:
        reporter.call_started(kwargs.get("provider"), kwargs.get("model_name"))
        try:
            result = call(**kwargs)
        except BaseException:
            reporter.call_failed()
            raise
        usage = result[1] if isinstance(result, tuple) and len(result) == 2 else None
        reporter.call_finished(usage)
        return result

    return reported


def compile_hook(reporter: Reporter, cls: type[KelmCompiler]) -> type[KelmCompiler]:
    """A subclass of the ``KelmCompiler`` class bound in modelwright whose
    failures are shown, then raised unchanged."""

    class ReportingCompiler(cls):  # type: ignore[valid-type,misc]
        def compile_model(self, model_code: str, data_code: str, **where: Any) -> dict[str, Any]:
            try:
                result: dict[str, Any] = super().compile_model(model_code, data_code, **where)
                return result
            except Exception as e:
                reporter.compile_failed(e)
                raise

    ReportingCompiler.__name__ = ReportingCompiler.__qualname__ = cls.__name__
    return ReportingCompiler


@contextlib.contextmanager
def llm_session(args: argparse.Namespace) -> Iterator[Reporter]:
    """The reporter of an LLM command, with its call layer (every thread's
    calls) and compiler hook installed on tavro.modelwright until the block
    ends. The price list (--pricing, $TAVRO_PRICING, --offline; see
    prices.py) is chosen when the first cost is needed and restored
    afterwards; a free (local) model never loads one."""
    from .. import modelwright
    from .prices import Prices

    reporter = Reporter(json_mode=getattr(args, "json", False), quiet=getattr(args, "quiet", False),
                        verbose=getattr(args, "verbose", False))
    local = _providers.is_free(modelwright._infer_provider(args.provider, args.model or modelwright.MODEL_NAME))
    with contextlib.ExitStack() as stack:
        stack.enter_context(reporter)
        stack.enter_context(_hooks.llm_call(reporting(reporter), order=_hooks.PROGRESS, every_thread=True))
        stack.enter_context(_hooks.setting(modelwright, "KelmCompiler",
                                           compile_hook(reporter, modelwright.KelmCompiler)))
        reporter.local = local
        if local:
            stack.enter_context(_hooks.setting(modelwright, "_estimate_costs", _no_estimate))
        else:
            prices = stack.enter_context(Prices.of(args, note=reporter.note))
            reporter.price_list = prices
            stack.enter_context(_hooks.setting(modelwright, "_estimate_costs",
                                               _priced_by(prices, modelwright._estimate_costs)))  # type: ignore[attr-defined]
        try:
            yield reporter
        except Exception:
            if reporter.calls and not reporter.quiet:  # what the failed run has spent
                reporter.summary(head="Stopped after ")
            raise


def _no_estimate(args: object, usage: object) -> dict[str, float]:
    return {}


def _priced_by(prices: Prices, estimate: Callable[..., _T]) -> Callable[..., _T]:
    """``_estimate_costs`` with the price list chosen before the first estimate."""

    @functools.wraps(estimate)
    def priced(*args: Any, **kwargs: Any) -> _T:
        prices.ensure()
        return estimate(*args, **kwargs)

    return priced


def report_error(error: BaseException, args: argparse.Namespace) -> int:
    """The one-line error of a failed command (exit status 1)."""
    from . import guard

    message = guard.reword_error(str(error)) or type(error).__name__
    if getattr(args, "command", None) in ("generate", "feedback") and hasattr(args, "model"):
        from .. import modelwright

        model = args.model or modelwright.MODEL_NAME
        message += guard.model_suggestion(message, args.provider, model, modelwright.list_models)
    print("tavro: %s" % clean(message), file=sys.stderr, flush=True)
    if getattr(args, "json", False):
        emit_json({"error": message})
    return 1


def solve_line(model: str, data: str, data_dir: str | None) -> str:
    """The shell command that solves a pair, its tables read from data_dir."""
    import shlex

    words = ["tavro", "solve", model, data] + (["--data-dir", data_dir] if data_dir is not None else [])
    return " ".join(shlex.quote(os.fspath(w)) for w in words)
