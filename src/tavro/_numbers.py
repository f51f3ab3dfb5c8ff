"""Numbers as people read them: ``number_text``, the compiler's own printer
(shortest round-trip text, for messages), and ``report_number``, the one
format of the reports (a solve's answer, a comparison of answers)."""

import math

from . import _kelm
from ._escape import report_number

__all__ = ["number_text", "report_number"]


def number_text(x: float) -> str:
    """The shortest text that reads back to ``x``, whole numbers without
    ``.0``: 3, 0.1, 2.5e-07, 1e+16 (``repr`` of the float minus ``.0``);
    inf and nan as ``repr`` writes them."""
    x = float(x)
    return _kelm.format_number(x) if math.isfinite(x) else repr(x)
