"""Tavro's generative layer: LLM-driven model authoring, usage and cost
accounting, and the SciPy code generation framework.

The work lives in extension modules, imported on demand:
``tavro.modelwright``, ``tavro.tokenmeter``, ``tavro.lpwriter_base`` and
``tavro.lpwriter``.
"""

__version__ = "0.1.0"

from . import _runnable

_runnable.install()
del _runnable
