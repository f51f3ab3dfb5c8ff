"""Tavro's generative layer: LLM-driven model authoring, usage and cost
accounting, and the SciPy code generation framework.

The work lives in extension modules, imported on demand:
``tavro.modelwright``, ``tavro.tokenmeter``, ``tavro.lpwriter_base`` and
``tavro.lpwriter``.
"""

from . import _runnable

_runnable.install()
del _runnable


def __getattr__(name: str) -> str:
    # __version__ comes from the installed metadata, read on first use:
    # importlib.metadata alone costs more to import than the whole package.
    if name == "__version__":
        from importlib import metadata

        try:  # pyproject.toml is the one place the version is written
            version = metadata.version("tavro")
        except metadata.PackageNotFoundError:  # a source tree that was never installed
            version = "0+unknown"
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
