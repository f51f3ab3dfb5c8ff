"""Price-list parsing: tavro.tokenmeter._parse_pricing against a pure-Python
reader of the same rules, in one run.

    python benchmarks/pricing.py [PRICE_LIST] [--rounds N]

Prints both medians and their ratio. The cache is cleared before every round,
so each native round reads and parses the file. The Python reader below is
also the reference the tests compare the native reader with.
"""

import argparse
import pathlib
import re
import statistics
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_LIST = ROOT / "tests" / "data" / "pricing_table.md"

_NUMBER = re.compile(r"\$?([\d,]*\.?\d+)")
_PER_1K = re.compile(r"/\s*1\s*[kK]\b|per\s+1\s*[kK]\b")
_PER_1M = re.compile(r"/\s*1\s*[mM]\b|per\s+1\s*[mM]\b")
_HEADER_1K = re.compile(r"1\s*[kK]")
_HEADER_1M = re.compile(r"1\s*[mM]")
_SEPARATOR = re.compile(r":?-{3,}:?")
_PLAIN = re.compile(r"(?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*)", re.IGNORECASE)
_PROMPT = re.compile(r"prompt[^$]*\$?([\d,]*\.?\d+[^,]*)", re.IGNORECASE)
_COMPLETION = re.compile(r"completion[^$]*\$?([\d,]*\.?\d+[^,]*)", re.IGNORECASE)


def cell_to_per_1m(cell, default_unit=None):
    if not cell:
        return None
    m = _NUMBER.search(cell)
    if not m:
        return None
    value = float(m.group(1).replace(",", ""))
    if _PER_1K.search(cell):
        return value * 1000
    if _PER_1M.search(cell):
        return value
    if default_unit == "1k":
        return value * 1000
    return value


def _header_unit(cell):
    if _HEADER_1K.search(cell):
        return "1k"
    if _HEADER_1M.search(cell):
        return "1m"
    return None


def parse_pricing_text(text):
    """The pricing table of a whole document, by the host's re."""
    pricing = {}
    units = {"prompt": None, "completion": None}
    for line in text.splitlines():
        s = line.strip()
        if not s or s.startswith("#"):
            continue
        if s.startswith("|"):
            cells = [c.strip() for c in s.strip("|").split("|")]
            if len(cells) >= 3:
                if all(_SEPARATOR.fullmatch(c) for c in cells[:3]):
                    continue
                c0, c1, c2 = (c.lower() for c in cells[:3])
                if "model" in c0 and ("prompt" in c1 or "completion" in c1 or "prompt" in c2 or "completion" in c2):
                    units["prompt"] = _header_unit(cells[1])
                    units["completion"] = _header_unit(cells[2])
                    continue
                prompt = cell_to_per_1m(cells[1], units["prompt"])
                completion = cell_to_per_1m(cells[2], units["completion"])
                if prompt is not None or completion is not None:
                    pricing[cells[0].strip().lower()] = {"prompt_per_1M": prompt, "completion_per_1M": completion}
                continue
        m = _PLAIN.match(s)
        if not m:
            continue
        rest = m.group("rest")
        pm = _PROMPT.search(rest)
        cm = _COMPLETION.search(rest)
        prompt = cell_to_per_1m(pm.group(1)) if pm else None
        completion = cell_to_per_1m(cm.group(1)) if cm else None
        if prompt is not None or completion is not None:
            pricing[m.group("model").lower()] = {"prompt_per_1M": prompt, "completion_per_1M": completion}
    return pricing


def parse_pricing_file(path):
    with open(path, "r", encoding="utf8") as f:
        return parse_pricing_text(f.read())


def _median_seconds(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("price_list", nargs="?", default=str(DEFAULT_LIST))
    parser.add_argument("--rounds", type=int, default=30)
    opts = parser.parse_args(argv)

    from tavro import tokenmeter

    path = opts.price_list
    native_table = tokenmeter._parse_pricing(path)
    python_table = parse_pricing_file(path)
    if native_table != python_table or list(native_table) != list(python_table):
        raise SystemExit("native and Python readers disagree on " + path)

    def native():
        tokenmeter.clear_pricing_cache()
        tokenmeter._parse_pricing(path)

    native_s = _median_seconds(native, opts.rounds)
    python_s = _median_seconds(lambda: parse_pricing_file(path), opts.rounds)
    print(f"price list: {path} ({len(native_table)} entries, {opts.rounds} rounds)")
    print(f"native _parse_pricing median: {native_s * 1e3:.3f} ms")
    print(f"pure Python reader median:    {python_s * 1e3:.3f} ms")
    print(f"ratio (Python / native):      {python_s / native_s:.1f}x")


if __name__ == "__main__":
    main()
