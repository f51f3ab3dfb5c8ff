"""Text and numbers as the reports show them: ``shown`` escapes the control
characters that could drive a terminal or forge a line of a report in a
text from a model, its data or a solver; ``report_number`` is the one
number format of the reports. The command line prints through them, and the
SciPy script writer embeds this module's source, so a generated script's
report reads exactly as ``tavro solve``'s. Standard library only."""

import math
import re

# C0 controls except tab and newline, DEL and the C1 controls (CSI etc.),
# and the bidirectional controls that reorder what a terminal shows
# (embeddings and overrides, isolates, the LRM/RLM and Arabic letter marks).
_BIDI = "\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069"
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f" + _BIDI + "]")
_CONTROL_ONE_LINE = re.compile("[\x00-\x1f\x7f-\x9f" + _BIDI + "]")


def _escape(m: "re.Match[str]", json_text: bool) -> str:
    code = ord(m.group())
    return "\\u%04x" % code if json_text or code > 0xFF else "\\x%02x" % code


def shown(text: object, json_text: bool = False, one_line: bool = False) -> str:
    """``text`` with terminal control characters replaced by ``\\xNN`` escapes
    (``\\uNNNN`` for the bidirectional controls, and inside JSON text, which
    keeps the document valid). ``one_line`` escapes newline and tab too: for
    a name or a datum that must not start a line of its own in a report."""
    pattern = _CONTROL_ONE_LINE if one_line else _CONTROL
    return pattern.sub(lambda m: _escape(m, json_text), str(text))


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
