"""A budget of seconds for the compile and solve work of one request.

An evaluation gives each problem a ``WorkBudget``: every compile and solve
of that problem (the compiles of ``generative_solve``, the builds, solves
and compiles of the repair loop) takes its time from the same budget, so a
model whose grounding or solve never ends costs one problem, not the run.

    with bounded(WorkBudget(300.0)):
        pipeline.generate_and_solve(...)    # may raise DeadlineExceeded

``run(fn, ...)`` calls ``fn`` within the budget of the current thread (or
plainly, without one). The call runs on a worker thread that is waited for
at most the time left; past it the worker is abandoned (native grounding
cannot be interrupted from outside: the abandoned call runs on to its end,
its result dropped) and ``DeadlineExceeded`` is raised, as it is for every
later call once the budget is spent. A solve is told the deadline itself
when the solver takes one (``deadline()``), and ends on its own before it.

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

from . import _deadline, _hooks

__all__ = ["DEFAULT_PROBLEM_TIMEOUT", "DeadlineExceeded", "WorkBudget", "bounded", "current", "run",
           "bounded_compiles"]

_T = TypeVar("_T")

# Seconds of compile and solve work per problem of an evaluation: room for
# five compiles and three solves at the default solver time limit of 60 s.
DEFAULT_PROBLEM_TIMEOUT = 300.0
# A call told the deadline gets this long past it to return by itself.
_GRACE = 1.0

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

    def run(self, fn: Callable[..., _T], *args: Any, grace: float = 0.0, **kwargs: Any) -> _T:
        """``fn(*args, **kwargs)`` within the time left (plus ``grace`` for a
        call that was told the deadline); its time is charged to the budget."""
        left = self.remaining()
        if left <= 0:
            raise self.exceeded()
        started = time.monotonic()

        def overrun() -> BaseException:
            with self._lock:
                self.spent = self.seconds
            return self.exceeded()

        try:
            return _deadline.call_abandoning(fn, left + grace, overrun, *args, **kwargs)
        finally:
            with self._lock:
                self.spent = min(self.seconds, self.spent + time.monotonic() - started)


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


def run(fn: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    """``fn(*args, **kwargs)`` within the calling thread's budget, if it has one."""
    budget = current()
    if budget is None:
        return fn(*args, **kwargs)
    return budget.run(fn, *args, **kwargs)


def solve_within(solve: Callable[..., _T], problem: Any, options: Any) -> _T:
    """``solve(problem, options=options)`` within the calling thread's
    budget: the solver is given the budget's deadline, and a moment past it
    to return by itself."""
    budget = current()
    if budget is None:
        return solve(problem, options=options)
    options = dataclasses.replace(options, deadline=budget.deadline())
    return budget.run(solve, problem, grace=_GRACE, options=options)


def _bounded_compiler(cls: type[Any]) -> type[Any]:
    class KelmCompiler(cls):  # type: ignore[misc]
        def compile_model(self, model_code: Any, data_code: Any, **where: Any) -> Any:
            return run(super().compile_model, model_code, data_code, **where)

    KelmCompiler.__qualname__ = cls.__qualname__
    KelmCompiler.__module__ = cls.__module__
    return KelmCompiler


def bounded_compiles() -> contextlib.AbstractContextManager[None]:
    """modelwright's compiles run within the calling thread's budget while
    the block runs (``KelmCompiler`` set for every thread, then put back)."""
    from . import modelwright

    return _hooks.setting(modelwright, "KelmCompiler", _bounded_compiler(modelwright.KelmCompiler))
