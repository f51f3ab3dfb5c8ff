"""Numbers as people read them: ``number_text``, the compiler's own printer
(shortest round-trip text, for messages), and ``report_number``, the one
format of the reports (a solve's answer, a comparison of answers)."""

import math

from . import _kelm


def number_text(x: float) -> str:
    """The shortest text that reads back to ``x``, whole numbers without
    ``.0``: 3, 0.1, 2.5e-07, 1e+16 (``repr`` of the float minus ``.0``);
    inf and nan as ``repr`` writes them."""
    x = float(x)
    return _kelm.format_number(x) if math.isfinite(x) else repr(x)


# Whole numbers below this are shown in full by report_number.
_WHOLE = 1e15


def report_number(x: float) -> str:
    """A number as the reports show it: a whole number below 1e15 in full
    (3, 120000000000), others to 10 significant digits (3.193548387,
    2.5e-07), -0 as 0; inf and nan as ``repr`` writes them."""
    x = float(x)
    if not math.isfinite(x):
        return repr(x)
    if x.is_integer() and abs(x) < _WHOLE:
        return str(int(x))
    return "%.10g" % x
