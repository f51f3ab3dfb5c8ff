"""Which price list a run uses: the public one, or the dated copy shipped
with the package when that one cannot be read or when offline is asked.

``tokenmeter`` keeps no list of its own: it reads ``tokenmeter.PRICING_URL``
(a URL or a local file) on first use and caches the table per source. The
package ships a copy of the public list in ``tavro/data/pricing_table.md``;
its first line, a Markdown comment the price reader skips, says where the
copy came from and when:

    # Copy of https://... retrieved 2026-12-08, shipped with tavro ...

    choice = choose()                 # probes tokenmeter.PRICING_URL once
    with using(choice):               # tokenmeter reads choice.source
        tokenmeter.estimate_costs(...)
    choice.describe()                 # "the bundled price list of 2026-12-08 (3 days old)"

A source that is a local file is taken as given (a file the user named is
never replaced); only a URL falls back to the bundled copy. A fetch that
fails and is replaced by the copy leaves no "Failed to load pricing" line:
the warning is held back while the source is probed and logged only when
the copy cannot be read either.
"""

from __future__ import annotations

import contextlib
import dataclasses
import datetime
import logging
import os
import re
from importlib.resources import as_file, files
from typing import Any, Iterator

__all__ = ["BUNDLED_NAME", "PriceList", "bundled", "choose", "is_url", "offline_requested", "using"]

BUNDLED_NAME = "pricing_table.md"
# TAVRO_OFFLINE=1 (or true/yes/on): use the bundled copy, never fetch a list.
OFFLINE_VARIABLE = "TAVRO_OFFLINE"

_HEADER = re.compile(r"^#\s*Copy of (?P<source>\S+) retrieved (?P<date>\d{4}-\d{2}-\d{2})\b")
_URL = re.compile(r"^https?://", re.IGNORECASE)
_FAILED = "Failed to load pricing from "


@dataclasses.dataclass(frozen=True)
class PriceList:
    """A pricing source for ``tokenmeter.PRICING_URL``.

    source: what tokenmeter reads (URL or file path).
    bundled: whether it is the copy shipped with the package.
    retrieved: the date the bundled copy was taken (None otherwise).
    copied_from: the public list the bundled copy was taken from.
    unreadable: the source that could not be read and was replaced, if any.
    offline: the bundled copy was asked for (offline), not a fallback.
    """

    source: str
    bundled: bool = False
    retrieved: datetime.date | None = None
    copied_from: str | None = None
    unreadable: str | None = None
    offline: bool = False

    def age_days(self, today: datetime.date | None = None) -> int | None:
        if self.retrieved is None:
            return None
        return ((today or datetime.date.today()) - self.retrieved).days

    def describe(self, today: datetime.date | None = None) -> str:
        """One phrase: which list, and how old a bundled one is."""
        if not self.bundled:
            return "the price list %s" % self.source
        age = self.age_days(today)
        when = "of %s" % self.retrieved if self.retrieved else "(undated)"
        if age is not None:
            when += " (%s old)" % ("less than a day" if age < 1 else "1 day" if age == 1 else "%d days" % age)
        return "the bundled price list %s" % when

    def reason(self) -> str:
        """Why the bundled copy is used ("" when it is not)."""
        if not self.bundled:
            return ""
        if self.offline:
            return "used offline"
        if self.unreadable:
            return "%s could not be read" % self.unreadable
        return ""

    def to_json(self, today: datetime.date | None = None) -> dict[str, Any]:
        return {"source": self.source, "bundled": self.bundled,
                "retrieved": None if self.retrieved is None else self.retrieved.isoformat(),
                "age_days": self.age_days(today), "copied_from": self.copied_from,
                "unreadable": self.unreadable, "offline": self.offline}


def is_url(source: str) -> bool:
    return bool(_URL.match(source))


def offline_requested(flag: bool = False) -> bool:
    """``flag``, or TAVRO_OFFLINE set to 1/true/yes/on."""
    return flag or os.environ.get(OFFLINE_VARIABLE, "").strip().lower() in ("1", "true", "yes", "on")


def _bundled_path() -> str:
    resource = files("tavro") / "data" / BUNDLED_NAME
    # The installed package is a folder on disk: as_file gives its path without copying.
    with as_file(resource) as path:
        return str(path)


def bundled(unreadable: str | None = None, offline: bool = False) -> PriceList:
    """The copy shipped with the package, with the date and source its header line gives."""
    path = _bundled_path()
    retrieved: datetime.date | None = None
    copied_from: str | None = None
    try:
        with open(path, encoding="utf-8") as f:
            m = _HEADER.match(f.readline())
    except OSError:
        m = None
    if m:
        copied_from = m.group("source")
        try:
            retrieved = datetime.date.fromisoformat(m.group("date"))
        except ValueError:
            retrieved = None
    return PriceList(path, bundled=True, retrieved=retrieved, copied_from=copied_from, unreadable=unreadable,
                     offline=offline)


class _HoldBack(logging.Filter):
    """Keeps the price reader's "Failed to load pricing" warnings back."""

    def __init__(self) -> None:
        super().__init__()
        self.held: list[logging.LogRecord] = []

    def filter(self, record: logging.LogRecord) -> bool:
        if record.getMessage().startswith(_FAILED):
            self.held.append(record)
            return False
        return True


def _read_quietly(source: str) -> tuple[dict[str, Any], list[logging.LogRecord]]:
    from . import tokenmeter

    logger = logging.getLogger("tavro.tokenmeter")
    hold = _HoldBack()
    logger.addFilter(hold)
    try:
        table = tokenmeter._parse_pricing(source)
    finally:
        logger.removeFilter(hold)
    return dict(table), hold.held


def choose(source: str | None = None, *, offline: bool = False) -> PriceList:
    """The price list a run should use. ``source`` defaults to the current
    ``tokenmeter.PRICING_URL``. A file is taken as given; a URL is read once
    (tokenmeter caches it) and replaced by the bundled copy when it gives no
    prices, or without reading it when ``offline``."""
    from . import tokenmeter

    if source is None:
        source = tokenmeter.PRICING_URL
    if not isinstance(source, str) or not is_url(source):
        return PriceList(str(source))
    if offline:
        return bundled(offline=True)
    table, held = _read_quietly(source)
    if table:
        return PriceList(source)
    fallback = bundled(unreadable=source)
    copy, _ = _read_quietly(fallback.source)
    if copy:
        return fallback
    logger = logging.getLogger("tavro.tokenmeter")
    for record in held:  # nothing better to offer: the warning stands
        logger.handle(record)
    return PriceList(source)


@contextlib.contextmanager
def using(choice: PriceList) -> Iterator[PriceList]:
    """Points ``tokenmeter.PRICING_URL`` at ``choice.source`` for the block
    and restores the previous source afterwards."""
    from . import _hooks, tokenmeter

    with _hooks.setting(tokenmeter, "PRICING_URL", choice.source):
        yield choice
