"""Numbers stated in a problem description that a model's data changed.

A description states its numbers ("at most 3 units"); the data file should
carry them unchanged. An LLM that finds the problem unsolvable may quietly
write another number, and the solver then answers a different question.
Two checks find that:

- ``generation_changes``: a freshly generated pair against the description.
  The stated numbers (in text order) are aligned with the data's numbers
  (in file order); a stated number that appears nowhere in the pair and sits
  opposite a data number that the description never states is a change.
- ``revision_changes``: a revised data file against the one it replaces.
  Numbers are compared entry by entry (``b``'s first number with ``b``'s
  first number); an old value that the description states and that
  changed is a change.

Each change is a dictionary: round (0 for the generation), name (the data
entry), position (1-based among the entry's count numbers), before, after.
"""

from __future__ import annotations

import difflib
import math
import re
from typing import Iterable, TypedDict

__all__ = ["Change", "stated_numbers", "data_numbers", "generation_changes", "revision_changes",
           "change_text"]


class Change(TypedDict):
    round: int
    name: str
    position: int
    count: int
    before: float
    after: float | None


# A number in prose: thousands commas allowed ("18,000"), an optional percent
# sign; not a piece of a name ("x2", "B52") nor of a longer number.
_PROSE_NUMBER = re.compile(r"(?<![\w.,])(\d{1,3}(?:,\d{3})+|\d+)(\.\d+)?(?!\.?\d)\s?(%)?")

# Data-file tokens: comments and strings are skipped, "1..7" is two numbers.
_DATA_TOKEN = re.compile(r"""//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|'(?:[^'\\\n]|\\.)*'"""
                         r"""|(?P<name>[A-Za-z_]\w*)|(?P<num>\d+(?:\.\d+)?(?:[eE][-+]?\d+)?|\.\d+)"""
                         r"""|(?P<op>\.\.|[=;\-])|\S""", re.S)


def _key(value: float) -> float:
    """A number compared up to rounding noise (12 significant digits)."""
    value = abs(float(value))
    return float("%.12g" % value) if math.isfinite(value) else value


def stated_numbers(text: str) -> list[float]:
    """The numbers a description states, in text order; a percentage gives
    its number (20 for "20%") and the fraction (0.2) is accepted for it."""
    out = []
    for m in _PROSE_NUMBER.finditer(text):
        out.append(_key(float(m.group(1).replace(",", "") + (m.group(2) or ""))))
    return out


def _percent_fractions(text: str) -> set[float]:
    return {_key(float(m.group(1).replace(",", "") + (m.group(2) or "")) / 100)
            for m in _PROSE_NUMBER.finditer(text) if m.group(3)}


def data_numbers(data_code: str) -> list[tuple[str, int, float]]:
    """(entry name, position, value) of every number in a data text, in file
    order; a number before any ``name =`` belongs to the name ""."""
    out: list[tuple[str, int, float]] = []
    name, position, negative = "", 0, False
    previous: str | None = None
    for m in _DATA_TOKEN.finditer(data_code):
        if m.group("name") is not None:
            previous, negative = m.group("name"), False
            continue
        num, op = m.group("num"), m.group("op")
        if op == "=" and previous is not None:
            name, position = previous, 0
        elif op == ";":
            name, position = "", 0
        if num is not None:
            position += 1
            out.append((name, position, -float(num) if negative else float(num)))
        negative = op == "-"
        previous = None
    return out


def _pair_numbers(model_code: str, data_code: str) -> set[float]:
    numbers = {_key(v) for _, _, v in data_numbers(data_code)}
    numbers.update(_key(v) for _, _, v in data_numbers(model_code))
    return numbers


def _stated_set(description: str) -> set[float]:
    return set(stated_numbers(description)) | _percent_fractions(description)


def generation_changes(description: str, model_code: str, data_code: str, round_: int = 0) -> list[Change]:
    """Stated numbers that a generated pair replaced by unstated ones."""
    stated = stated_numbers(description)
    if not stated:
        return []
    fractions = _percent_fractions(description)
    stated_set = set(stated) | fractions
    in_pair = _pair_numbers(model_code, data_code)
    entries = data_numbers(data_code)
    counts = _counts(entries)
    # A data number written as the fraction of a stated percentage aligns with it.
    seen = [_key(v * 100) if _key(v) in fractions and _key(v) not in stated else _key(v) for _, _, v in entries]
    changes: list[Change] = []
    matcher = difflib.SequenceMatcher(None, stated, seen, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag != "replace" or i2 - i1 != j2 - j1:
            continue
        for before, (name, position, after) in zip(stated[i1:i2], entries[j1:j2]):
            if before in in_pair or _key(after) in stated_set:
                continue
            changes.append(Change(round=round_, name=name, position=position, count=counts[name], before=before,
                                  after=after))
    return changes


def _counts(entries: Iterable[tuple[str, int, float]]) -> dict[str, int]:
    out: dict[str, int] = {}
    for name, _, _ in entries:
        out[name] = out.get(name, 0) + 1
    return out


def _by_name(entries: Iterable[tuple[str, int, float]]) -> dict[str, list[float]]:
    out: dict[str, list[float]] = {}
    for name, _, value in entries:
        out.setdefault(name, []).append(value)
    return out


def _same(a: float, b: float) -> bool:
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-12)


def revision_changes(description: str, old_data: str, new_model: str, new_data: str, round_: int) -> list[Change]:
    """Stated numbers of the old data that the revision changed, or dropped
    from the pair altogether (after None)."""
    stated = _stated_set(description)
    if not stated:
        return []
    old, new = _by_name(data_numbers(old_data)), _by_name(data_numbers(new_data))
    in_new_pair = _pair_numbers(new_model, new_data)
    changes: list[Change] = []
    for name, before_values in old.items():
        after_values = new.get(name)
        if after_values is None:
            for position, before in enumerate(before_values, 1):
                if _key(before) in stated and _key(before) not in in_new_pair:
                    changes.append(Change(round=round_, name=name, position=position, count=len(before_values),
                                          before=before, after=None))
            continue
        pairs: list[tuple[int, float, float]] = []
        if len(before_values) == len(after_values):
            pairs = [(k + 1, a, b) for k, (a, b) in enumerate(zip(before_values, after_values))]
        else:
            matcher = difflib.SequenceMatcher(None, [_key(v) for v in before_values],
                                              [_key(v) for v in after_values], autojunk=False)
            for tag, i1, i2, j1, j2 in matcher.get_opcodes():
                if tag == "replace" and i2 - i1 == j2 - j1:
                    pairs += [(i1 + k + 1, before_values[i1 + k], after_values[j1 + k]) for k in range(i2 - i1)]
        for position, before, after in pairs:
            if _key(before) in stated and not _same(before, after):
                changes.append(Change(round=round_, name=name, position=position, count=len(before_values),
                                      before=before, after=after))
    return changes


def _number(x: float) -> str:
    from ._numbers import report_number

    return report_number(x)


def change_text(change: Change) -> str:
    """One line for the user: ``cost (number 2 of 5): 3 → 30, in repair round 1``."""
    where = "the generation" if change["round"] == 0 else "repair round %d" % change["round"]
    name = change["name"] or "the data"
    if change["count"] > 1:
        name += " (number %d of %d)" % (change["position"], change["count"])
    after = "removed" if change["after"] is None else _number(change["after"])
    return "%s: %s \u2192 %s, in %s" % (name, _number(change["before"]), after, where)
