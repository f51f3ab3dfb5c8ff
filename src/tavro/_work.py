"""The bounds of one request's compile, build and solve work: a budget of
seconds and a cancel event, both held per thread.

An evaluation gives each problem a ``WorkBudget``: every compile and solve
of that problem (the compiles of ``generative_solve``, the builds, solves
and compiles of the repair loop) takes its time from the same budget, so a
model whose grounding or solve never ends costs one problem, not the run.

    with bounded(WorkBudget(300.0)), cancelling(stop):
        pipeline.generate_and_solve(...)    # may raise DeadlineExceeded

``run(fn, ...)`` calls ``fn`` on the calling thread, telling it the request's
bounds through the keywords ``deadline`` (the ``time.monotonic()`` at which
the budget is spent) and ``cancel`` (the thread's cancel event), as the
engine's entries (``build_problem``, ``compile_model``) take them: the
engine stops itself at the deadline (TimeoutError, turned into
``DeadlineExceeded`` here) or once the event is set (KeyboardInterrupt). A
solve is given the same bounds in its ``SolveOptions`` (``solve_within``).

The command line sets a worker thread's cancel event when Ctrl-C reaches the
main thread: signals reach only the main thread, and the engine polls the
event from any thread.

``bounded_compiles()`` sets ``tavro.modelwright.KelmCompiler`` (which
``generative_solve`` looks up at each call) to a subclass whose compiles go
through ``run`` too, while the block runs.
"""

from __future__ import annotations

import contextlib
import dataclasses
import threading
import time
from typing import Any, Callable, Iterator, TypeVar

from . import _hooks

__all__ = ["DEFAULT_PROBLEM_TIMEOUT", "DeadlineExceeded", "WorkBudget", "bounded", "current", "cancelling",
           "cancel_event", "run", "solve_within", "bounded_compiles"]

_T = TypeVar("_T")

# Seconds of compile and solve work per problem of an evaluation: room for
# five compiles and three solves at the default solver time limit of 60 s.
DEFAULT_PROBLEM_TIMEOUT = 300.0

_local = threading.local()


class DeadlineExceeded(BaseException):
    """The work budget of a request is spent. Not an Exception: the guards of
    the workflows (which turn an ordinary error into a compiler message or a
    verdict to repair) let it through to the request's owner."""


class WorkBudget:
    """``seconds`` of compile and solve work; ``what`` names the setting in
    the message of DeadlineExceeded."""

    def __init__(self, seconds: float, what: str = "--problem-timeout") -> None:
        self.seconds = float(seconds)
        self.what = what
        self.spent = 0.0
        self._lock = threading.Lock()

    def remaining(self) -> float:
        with self._lock:
            return max(0.0, self.seconds - self.spent)

    def deadline(self) -> float:
        """The ``time.monotonic()`` by which a call starting now must end."""
        return time.monotonic() + self.remaining()

    def exceeded(self) -> DeadlineExceeded:
        return DeadlineExceeded("compiling and solving took more than the %g s this problem may use (%s)"
                                % (self.seconds, self.what))

    def spend_all(self) -> DeadlineExceeded:
        """Marks the budget spent; the error to raise."""
        with self._lock:
            self.spent = self.seconds
        return self.exceeded()

    @contextlib.contextmanager
    def charging(self) -> Iterator[float]:
        """Yields the deadline of a call starting now and charges its time to
        the budget; DeadlineExceeded at once when nothing is left."""
        left = self.remaining()
        if left <= 0:
            raise self.exceeded()
        started = time.monotonic()
        try:
            yield started + left
        finally:
            with self._lock:
                self.spent = min(self.seconds, self.spent + time.monotonic() - started)

    def run(self, fn: Callable[..., _T], *args: Any, deadline: float | None = None, **kwargs: Any) -> _T:
        """``fn(*args, deadline=..., **kwargs)`` told the earlier of the
        budget's deadline and ``deadline``; its time is charged to the budget.
        A TimeoutError past the budget's deadline becomes DeadlineExceeded."""
        with self.charging() as end:
            try:
                return fn(*args, deadline=end if deadline is None else min(end, deadline), **kwargs)
            except TimeoutError as e:
                if time.monotonic() < end:
                    raise  # the caller's own, earlier deadline
                raise self.spend_all() from e


def current() -> WorkBudget | None:
    """The budget of the calling thread, or None."""
    budget: WorkBudget | None = getattr(_local, "budget", None)
    return budget


@contextlib.contextmanager
def bounded(budget: WorkBudget | None) -> Iterator[WorkBudget | None]:
    """Makes ``budget`` the calling thread's while the block runs (None: no bound)."""
    outer = current()
    _local.budget = budget
    try:
        yield budget
    finally:
        _local.budget = outer


def cancel_event() -> threading.Event | None:
    """The calling thread's cancel event, or None."""
    event: threading.Event | None = getattr(_local, "cancel", None)
    return event


@contextlib.contextmanager
def cancelling(event: threading.Event | None) -> Iterator[threading.Event | None]:
    """Makes ``event`` the calling thread's cancel event while the block runs:
    the work ``run`` and ``solve_within`` start stops once it is set."""
    outer = cancel_event()
    _local.cancel = event
    try:
        yield event
    finally:
        _local.cancel = outer


def run(fn: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    """``fn(*args, **kwargs)`` within the calling thread's budget and cancel
    event, if it has them (passed as ``deadline`` and ``cancel``). A call
    made inside another (a bounded compiler called through ``run``) is
    passed on as it is: its time is charged once."""
    if getattr(_local, "running", False):
        return fn(*args, **kwargs)
    event = cancel_event()
    if event is not None:
        kwargs.setdefault("cancel", event)
    budget = current()
    _local.running = True
    try:
        if budget is None:
            return fn(*args, **kwargs)
        return budget.run(fn, *args, **kwargs)
    finally:
        _local.running = False


def solve_within(solve: Callable[..., _T], problem: Any, options: Any) -> _T:
    """``solve(problem, options=options)`` within the calling thread's budget
    and cancel event: the solver is told both in ``options`` and stops by
    itself at the deadline; a solve that the budget's deadline cut raises
    DeadlineExceeded."""
    event = cancel_event()
    if event is not None and options.cancel is None:
        options = dataclasses.replace(options, cancel=event)
    budget = current()
    if budget is None:
        return solve(problem, options=options)
    with budget.charging() as end:
        deadline = end if options.deadline is None else min(end, options.deadline)
        solution = solve(problem, options=dataclasses.replace(options, deadline=deadline))
        if time.monotonic() >= end:
            raise budget.spend_all()
        return solution


def _bounded_compiler(cls: type[Any]) -> type[Any]:
    class KelmCompiler(cls):  # type: ignore[misc]
        _tavro_bounded = True

        def compile_model(self, model_code: Any, data_code: Any, **where: Any) -> Any:
            return run(super().compile_model, model_code, data_code, **where)

    KelmCompiler.__qualname__ = cls.__qualname__
    KelmCompiler.__module__ = cls.__module__
    return KelmCompiler


def bounded_compiles() -> contextlib.AbstractContextManager[None]:
    """modelwright's compiles run within the calling thread's budget and
    cancel event while the block runs (``KelmCompiler`` set for every thread,
    then put back); nothing more when they already do."""
    from . import modelwright

    if getattr(modelwright.KelmCompiler, "_tavro_bounded", False):
        return contextlib.nullcontext()
    return _hooks.setting(modelwright, "KelmCompiler", _bounded_compiler(modelwright.KelmCompiler))
