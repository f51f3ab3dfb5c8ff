"""Tavro's generative layer: LLM-driven model authoring, usage and cost
accounting, and the SciPy code generation framework.

The work lives in extension modules, imported on demand:
``tavro.modelwright``, ``tavro.tokenmeter``, ``tavro.lpwriter_base`` and
``tavro.lpwriter``.
"""

from importlib import metadata as _metadata

try:  # pyproject.toml is the one place the version is written
    __version__ = _metadata.version("tavro")
except _metadata.PackageNotFoundError:  # a source tree that was never installed
    __version__ = "0+unknown"
del _metadata

from . import _runnable

_runnable.install()
del _runnable
