"""``python -m`` for extension modules that have a main program.

runpy asks the module's loader for a code object, and an extension module
has none. The finder below gives the listed modules a loader that still
loads the compiled module as usual but can also hand runpy a small code
object that imports the module and calls its entry point.
"""

from __future__ import annotations

import importlib.machinery
import sys
from collections.abc import Sequence
from types import CodeType, ModuleType

# module name -> name of the function run as its main program
MAIN_PROGRAMS = {"tavro.tokenmeter": "exercise_estimate_costs"}


class _RunnableExtensionLoader(importlib.machinery.ExtensionFileLoader):
    # An extension loader has no code object; this one has, for runpy.
    def get_code(self, fullname: str) -> CodeType | None:  # type: ignore[override]
        entry = MAIN_PROGRAMS.get(fullname)
        if entry is None:
            return None
        source = f"import importlib\nimportlib.import_module({fullname!r}).{entry}()\n"
        return compile(source, self.path, "exec")


class _RunnableFinder:
    @classmethod
    def find_spec(cls, fullname: str, path: Sequence[str] | None = None,
                  target: ModuleType | None = None) -> importlib.machinery.ModuleSpec | None:
        if fullname not in MAIN_PROGRAMS:
            return None
        spec = importlib.machinery.PathFinder.find_spec(fullname, path)
        if spec is not None and type(spec.loader) is importlib.machinery.ExtensionFileLoader:
            spec.loader = _RunnableExtensionLoader(spec.loader.name, spec.loader.path)
        return spec


def install() -> None:
    if not any(finder is _RunnableFinder for finder in sys.meta_path):
        sys.meta_path.insert(0, _RunnableFinder)
