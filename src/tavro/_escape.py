"""Text from a model, its data or a solver as a terminal shows it: the
control characters that could drive the terminal or forge a line of a
report escaped. The command line prints through ``shown``, and the SciPy
script writer embeds this module's source, so a generated script's report
escapes exactly as ``tavro solve`` does. Standard library only."""

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
