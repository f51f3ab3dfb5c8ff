"""JSON text as tavro writes it: non-finite numbers as null (JSON has none)
and no raw DEL or C1 control character (escaped as \\u00NN, values unchanged)."""

from __future__ import annotations

import json
import math
import re
from typing import Any

_UNSAFE = re.compile("[\x7f-\x9f]")


def finite(value: Any) -> Any:
    """``value`` with every non-finite float, in lists and dicts too, as None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


def dumps(value: Any, indent: int | None = None, default: Any = None) -> str:
    """``value`` as JSON text: indented when ``indent`` is given, else on one
    compact line."""
    text = json.dumps(finite(value), ensure_ascii=False, indent=indent, default=default,
                      separators=(",", ": ") if indent is not None else (",", ":"))
    return _UNSAFE.sub(lambda m: "\\u%04x" % ord(m.group()), text)
