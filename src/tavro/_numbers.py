"""Numbers as people read them, printed by the compiler's own printer."""

import math

from . import _kelm


def number_text(x: float) -> str:
    """The shortest text that reads back to ``x``, whole numbers without
    ``.0``: 3, 0.1, 2.5e-07, 1e+16 (``repr`` of the float minus ``.0``);
    inf and nan as ``repr`` writes them."""
    x = float(x)
    return _kelm.format_number(x) if math.isfinite(x) else repr(x)
