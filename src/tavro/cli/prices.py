"""The price list of one command: the source the user named (--pricing,
$TAVRO_PRICING) or the public list, replaced by the copy shipped with the
package when it cannot be fetched or when --offline / TAVRO_OFFLINE=1 asks;
chosen on first use, put in place as ``tokenmeter.PRICING_URL`` until the
command ends, then the previous source is restored."""

from __future__ import annotations

import argparse
import contextlib
from typing import Any, Callable

from .. import _pricelist

__all__ = ["Prices"]


class Prices:
    """``ensure()`` chooses the list once (probing a URL at most once) and
    says so through ``note`` when the bundled copy stands in; ``close()``
    restores the previous source."""

    def __init__(self, source: str | None = None, offline: bool = False,
                 note: Callable[[str], None] | None = None) -> None:
        self.source = source
        self.offline = _pricelist.offline_requested(offline)
        self.note = note
        self.choice: _pricelist.PriceList | None = None
        self._stack = contextlib.ExitStack()

    @classmethod
    def of(cls, args: argparse.Namespace, note: Callable[[str], None] | None = None) -> Prices:
        from .options import pricing_source

        return cls(pricing_source(args), getattr(args, "offline", False), note)

    def ensure(self) -> _pricelist.PriceList:
        if self.choice is None:
            choice = _pricelist.choose(self.source, offline=self.offline)
            self._stack.enter_context(_pricelist.using(choice))
            self.choice = choice
            if choice.bundled and self.note is not None:
                self.note(self.sentence())
        return self.choice

    def phrase(self) -> str:
        """The list in use and, for the bundled copy, how old and why."""
        choice = self.ensure()
        reason = choice.reason()
        return choice.describe() + ("; %s" % reason if reason else "")

    def sentence(self) -> str:
        return "Prices: %s" % self.phrase()

    def to_json(self) -> dict[str, Any] | None:
        return None if self.choice is None else self.choice.to_json()

    def close(self) -> None:
        self._stack.close()

    def __enter__(self) -> Prices:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
