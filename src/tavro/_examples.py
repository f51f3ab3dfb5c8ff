"""The example library shipped in the package
(``tavro/kelm_models/NAME/NAME.{txt,mod,dat}`` with an optional
``solution.json``) and the README's sample problem (``tavro/data``)."""

from __future__ import annotations

import difflib
import json
import os
from importlib.resources import files
from typing import TYPE_CHECKING, Any

from ._fileio import write_files_atomic

if TYPE_CHECKING:
    from importlib.abc import Traversable

__all__ = ["SAMPLE", "list_examples", "example_files", "copy_example", "UnknownExample"]

SAMPLE = "sample_problem"


class UnknownExample(LookupError):
    pass


def _library() -> Traversable:
    return files("tavro") / "kelm_models"


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
    """One record per example, sorted by name: name, summary, optimum (dict or None)."""
    out: list[dict[str, Any]] = []
    for folder in sorted(_library().iterdir(), key=lambda p: p.name):
        txt = folder / (folder.name + ".txt")
        if folder.is_dir() and txt.is_file():
            out.append({"name": folder.name, "summary": _summary(txt.read_text(encoding="utf-8")),
                        "optimum": _optimum(folder)})
    sample = files("tavro") / "data" / (SAMPLE + ".txt")
    if sample.is_file():
        out.append({"name": SAMPLE, "summary": _summary(sample.read_text(encoding="utf-8")), "optimum": None})
    return out


def example_files(name: str) -> dict[str, Traversable]:
    """{file name: resource} of an example; raises UnknownExample with a suggestion."""
    if name == SAMPLE:
        res = files("tavro") / "data" / (SAMPLE + ".txt")
        return {SAMPLE + ".txt": res}
    folder = _library() / name
    if name and "/" not in name and folder.is_dir():
        found = {name + ext: folder / (name + ext) for ext in (".txt", ".mod", ".dat")}
        if all(r.is_file() for r in found.values()):
            return found
    names = [e["name"] for e in list_examples()]
    close = difflib.get_close_matches(name, names, n=1, cutoff=0.5)
    raise UnknownExample("no example named '%s'%s (tavro examples lists them)"
                         % (name, "; did you mean '%s'?" % close[0] if close else ""))


def copy_example(name: str, folder: str = ".", force: bool = False) -> list[str]:
    """Write the example's files into ``folder`` (created when missing);
    returns their paths. Refuses (FileExistsError, nothing written) if one
    exists, unless ``force``."""
    sources = example_files(name)
    targets = {os.path.normpath(os.path.join(folder, fname)): res for fname, res in sources.items()}
    existing = [t for t in targets if os.path.exists(t)]
    if existing and not force:
        raise FileExistsError("%s already exist%s; pass --force to overwrite"
                              % (", ".join(existing), "s" if len(existing) == 1 else ""))
    os.makedirs(folder, exist_ok=True)
    write_files_atomic({target: res.read_text(encoding="utf-8") for target, res in targets.items()}, encoding="utf-8")
    return list(targets)

