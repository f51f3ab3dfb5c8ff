"""The example library shipped in the package
(``tavro/kelm_models/NAME/NAME.{txt,mod,dat}`` with an optional
``solution.json``), the examples whose data are CSV tables
(``tavro/kelm_models_csv/NAME/``, the same files and a ``data/`` folder of
tables; kept apart so that few-shot retrieval for word problems never offers
them) and the README's sample problem (``tavro/data``)."""

from __future__ import annotations

import difflib
import json
import os
from importlib.resources import files
from typing import TYPE_CHECKING, Any, Iterator

from ._fileio import PathArg, write_files_atomic

if TYPE_CHECKING:
    from importlib.abc import Traversable

__all__ = ["SAMPLE", "list_examples", "example_files", "copy_example", "UnknownExample"]

SAMPLE = "sample_problem"


class UnknownExample(LookupError):
    pass


def _library() -> Traversable:
    return files("tavro") / "kelm_models"


def _table_library() -> Traversable:
    return files("tavro") / "kelm_models_csv"


def _folders() -> Iterator[Traversable]:
    """Example folders: the word problems, then those over tables, each sorted by name."""
    for library in (_library(), _table_library()):
        if library.is_dir():
            yield from sorted(library.iterdir(), key=lambda p: p.name)


def _summary(text: str, width: int = 72) -> str:
    line = " ".join(text.split())
    return line if len(line) <= width else line[:width - 3].rstrip() + "..."


def _optimum(folder: Traversable) -> dict[str, Any] | None:
    sol = folder / "solution.json"
    if not sol.is_file():
        return None
    try:
        data = json.loads(sol.read_text(encoding="utf-8"))
    except ValueError:
        return None
    return data if isinstance(data, dict) else None


def list_examples() -> list[dict[str, Any]]:
    """One record per example (word problems, then problems over tables, each
    sorted by name): name, summary, optimum (dict or None)."""
    out: list[dict[str, Any]] = []
    for folder in _folders():
        txt = folder / (folder.name + ".txt")
        if folder.is_dir() and txt.is_file():
            out.append({"name": folder.name, "summary": _summary(txt.read_text(encoding="utf-8")),
                        "optimum": _optimum(folder)})
    sample = files("tavro") / "data" / (SAMPLE + ".txt")
    if sample.is_file():
        out.append({"name": SAMPLE, "summary": _summary(sample.read_text(encoding="utf-8")), "optimum": None})
    return out


def example_files(name: str) -> dict[str, Traversable]:
    """{file name: resource} of an example (its tables as "data/NAME.csv");
    raises UnknownExample with a suggestion."""
    if name == SAMPLE:
        res = files("tavro") / "data" / (SAMPLE + ".txt")
        return {SAMPLE + ".txt": res}
    for library in (_library(), _table_library()):
        folder = library / name
        if not (name and "/" not in name and folder.is_dir()):
            continue
        found = {name + ext: folder / (name + ext) for ext in (".txt", ".mod", ".dat")}
        if all(r.is_file() for r in found.values()):
            tables = folder / "data"
            if tables.is_dir():
                found.update(("data/" + t.name, t) for t in sorted(tables.iterdir(), key=lambda t: t.name)
                             if t.is_file())
            return found
    names = [e["name"] for e in list_examples()]
    close = difflib.get_close_matches(name, names, n=1, cutoff=0.5)
    raise UnknownExample("no example named '%s'%s (tavro examples lists them)"
                         % (name, "; did you mean '%s'?" % close[0] if close else ""))


def copy_example(name: str, folder: str = ".", force: bool = False) -> list[str]:
    """Write the example's files into ``folder`` (created when missing; its
    tables into ``folder/data``); returns their paths. Refuses
    (FileExistsError, nothing written) if one exists, unless ``force``."""
    sources = example_files(name)
    targets = {os.path.normpath(os.path.join(folder, fname)): res for fname, res in sources.items()}
    existing = [t for t in targets if os.path.exists(t)]
    if existing and not force:
        raise FileExistsError("%s already exist%s; pass --force to overwrite"
                              % (", ".join(existing), "s" if len(existing) == 1 else ""))
    os.makedirs(folder, exist_ok=True)
    contents: dict[PathArg, str | bytes] = {}
    for (fname, res), target in zip(sources.items(), targets):
        if fname.startswith("data/"):  # a table, byte for byte
            os.makedirs(os.path.dirname(target), exist_ok=True)
            contents[target] = res.read_bytes()
        else:
            contents[target] = res.read_text(encoding="utf-8")
    write_files_atomic(contents, encoding="utf-8")
    return list(targets)

