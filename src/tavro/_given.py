"""Generating a model for data the user already has: CSV tables in a folder,
read at full size by the compiler and never shown to the LLM beyond a
summary.

    given = Given.read(description, "tables/", rows=3)
    stats = generate(given, "m.mod", "m.dat")

``read_tables`` reads every ``*.csv`` under the folder once: each table's
path, row count, columns (name, inferred type, distinct count of text
columns) and its first ``rows`` rows; it also keeps what ``Redactor`` needs
to tell cell contents from other text. ``generate`` is the generation loop
of ``modelwright.generative_solve`` for such data, with a prompt of its own
composed of the generation prompt's blocks (the builders are called through
their module attributes): it asks for a model and a data file of
``csv(...)`` bindings, compiles them against the folder, revises on the
compiler's errors, checks alignment, and writes the pair.

Whatever goes back to the LLM that was derived from the tables (compiler
messages, and in ``tavro.pipeline`` the conflict rows, runaway variables and
solution values of repair questions) passes through a ``Redactor``: a cell
value, key or value alike, becomes ``<value>`` unless the description states
it or it is among the rows shown. Table and column names are not cell
values, nor are the names the LLM itself wrote in the model.
"""

from __future__ import annotations

import bisect
import contextlib
import csv
import gc
import itertools
import math
import os
import posixpath
import re
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Optional, Union

from . import _asking, _fileio, _work

if TYPE_CHECKING:  # numpy is imported on first use: the command line imports this module for its help
    from types import ModuleType

    import numpy as np
    from numpy.typing import NDArray

__all__ = ["DEFAULT_ROWS", "REDACTED", "Column", "Table", "Tables", "NoTables", "table_paths", "check_rows",
           "read_tables",
           "tables_block", "problem_text", "Redactor", "Given", "generation_prompt", "generate",
           "library_folder"]

Progress = Optional[Callable[[Any], object]]
PathArg = Union[str, "os.PathLike[str]"]

# Rows of each table shown to the LLM unless told otherwise.
DEFAULT_ROWS = 3
# What a cell value is replaced with in text sent back to the LLM.
REDACTED = "<value>"
# Rows converted at a time: bounds the Python strings held while reading.
_CHUNK = 8192
# Two numbers closer than this (relative) are taken as the same value: the
# compiler and the solver print at most ten significant digits.
_SAME_NUMBER = 1e-9


class NoTables(ValueError):
    """A data folder without a CSV table (or not a folder at all)."""


# -- reading the tables ------------------------------------------------------------

@dataclass
class Column:
    """One column of a table: ``type`` is "int", "float", "string" or
    "empty" (no cell filled); ``distinct`` the number of distinct values of
    a string column (None for the others); ``empty`` its empty cells."""

    name: str
    type: str = "empty"
    distinct: int | None = None
    empty: int = 0


@dataclass
class Table:
    """A table of the data folder: ``path`` relative to the folder (with
    "/"), its data rows, columns and first rows as read (``head``);
    ``notes`` say what the reader found wrong (the compiler names the
    exact row)."""

    path: str
    rows: int
    columns: list[Column]
    head: list[list[str]]
    notes: list[str] = field(default_factory=list)


@dataclass
class Tables:
    """The tables of a data folder and what redaction needs to know of
    their cells: ``numbers`` (sorted, distinct absolute values of the
    finite numeric cells), ``texts`` (the other cells), the same of the rows
    shown, and the names (paths, file names, column names)."""

    folder: str
    rows_shown: int
    tables: list[Table]
    numbers: NDArray[np.float64]
    texts: set[str]
    shown_numbers: set[float]
    shown_texts: set[str]
    names: set[str]


# Kinds of a cell as ``_kelm.scan_cells`` gives them.
_EMPTY, _TEXT, _INT = 0, 1, 2


class _ColumnCells:
    """The cells of one column seen so far, absorbed a chunk at a time; a
    cell is a number, text or empty as the compiler reads it."""

    def __init__(self) -> None:
        self.empty = 0
        self.numeric = 0
        self.whole = True  # every numeric cell an integer numeral
        self.texts: set[str] = set()
        self.numbers: list[NDArray[np.float64]] = []

    def absorb(self, cells: Iterable[str]) -> None:
        import numpy as np

        from . import _kelm

        cells = cells if isinstance(cells, list) else list(cells)
        values, kinds = _kelm.scan_cells(cells)
        self.empty += int(np.count_nonzero(kinds == _EMPTY))
        self.texts.update(cells[i].strip() for i in np.flatnonzero(kinds == _TEXT).tolist())
        numeric = kinds >= _INT
        count = int(np.count_nonzero(numeric))
        if count:
            self.numeric += count
            self.whole = self.whole and bool(np.all(kinds[numeric] == _INT))
            found = np.abs(values[numeric])
            self.numbers.append(np.unique(found[np.isfinite(found)]))

    def column(self, name: str) -> Column:
        import numpy as np

        distinct_numbers = int(np.unique(np.concatenate(self.numbers)).size) if self.numbers else 0
        if self.texts:
            kind, distinct = "string", len(self.texts) + distinct_numbers
        elif self.numeric:
            kind, distinct = ("int" if self.whole else "float"), None
        else:
            kind, distinct = "empty", None
        return Column(name, kind, distinct, self.empty)


def _as_number(cell: str) -> float | None:
    """A cell's number as the compiler reads it, None for text or an empty cell."""
    from . import _kelm

    number = _kelm.scan_number(cell)
    return None if number is None else float(number)


def table_paths(folder: PathArg) -> list[str]:
    """Paths of the ``*.csv`` files under ``folder``, relative to it (with
    "/"), sorted; hidden files and folders are left out. Raises NoTables
    when there is none or ``folder`` is not a folder."""
    folder = os.fspath(folder)
    if not os.path.isdir(folder):
        raise NoTables("the data folder %s is not a folder" % folder)
    found: list[str] = []
    for root, dirs, names in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        for name in names:
            if name.lower().endswith(".csv") and not name.startswith("."):
                found.append(os.path.relpath(os.path.join(root, name), folder).replace(os.sep, "/"))
    if not found:
        raise NoTables("the data folder %s holds no CSV table (*.csv)" % folder)
    return sorted(found)


def _read_table(folder: str, rel: str, rows_shown: int) -> tuple[Table, list[_ColumnCells]]:
    notes: list[str] = []
    try:
        return _scan(folder, rel, rows_shown, "strict", notes)
    except UnicodeDecodeError:
        notes.append("not valid UTF-8")
        return _scan(folder, rel, rows_shown, "replace", notes)
    except csv.Error as e:
        notes.append("not readable as CSV (%s)" % e)
        return Table(rel, 0, [], [], notes), []


def _scan(folder: str, rel: str, rows_shown: int, errors: str,
          notes: list[str]) -> tuple[Table, list[_ColumnCells]]:
    header: list[str] = []
    cells: list[_ColumnCells] = []
    head: list[list[str]] = []
    rows = ragged = 0
    path = os.path.join(folder, *rel.split("/"))
    with open(path, encoding="utf-8-sig", errors=errors, newline="") as f:
        reader = csv.reader(f)
        for row in reader:
            if row:  # blank lines are no rows
                header = [name.strip() for name in row]
                break
        else:
            notes.append("empty (no header row)")
        cells = [_ColumnCells() for _ in header]
        width = len(header)
        while True:
            block = list(itertools.islice(reader, _CHUNK))
            if not block:
                break
            chunk = [row for row in block if row]
            rows += len(chunk)
            if len(head) < rows_shown:
                head.extend(chunk[:rows_shown - len(head)])
            if all(len(row) == width for row in chunk):
                by_column: list[Iterable[str]] = list(zip(*chunk)) if chunk else []
            else:  # a ragged row: its missing fields are no cells, its extra ones no column's
                ragged += sum(1 for row in chunk if len(row) != width)
                by_column = [[row[k] for row in chunk if k < len(row)] for k in range(width)]
            for column, values in zip(cells, by_column):
                column.absorb(values)
    if ragged:
        notes.append("%d row%s with another number of fields than the header" % (ragged, "" if ragged == 1 else "s"))
    columns = [c.column(name) for c, name in zip(cells, header)]
    return Table(rel, rows, columns, head, notes), cells


def check_rows(rows: int) -> None:
    """ValueError unless ``rows`` is a whole number of rows, 0 or more."""
    if isinstance(rows, bool) or not isinstance(rows, int) or rows < 0:
        raise ValueError("rows must be a whole number of rows, 0 or more (got %r)" % (rows,))


def read_tables(folder: PathArg, rows: int = DEFAULT_ROWS, paths: Iterable[str] | None = None) -> Tables:
    """Reads every ``*.csv`` under ``folder`` once, or the tables at
    ``paths`` (relative to it, as bindings name them); raises NoTables when
    there is none (or ``folder`` is not a folder)."""
    folder = os.fspath(folder)
    check_rows(rows)
    found = table_paths(folder) if paths is None else sorted({posixpath.normpath(p) for p in paths})
    with _collector_paused():
        return _read_all(folder, found, rows)


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """The cyclic garbage collector off while the tables are read: the rows
    held for a chunk are many young containers, and collecting them over and
    over took most of the time (none of them forms a cycle)."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _read_all(folder: str, paths: list[str], rows: int) -> Tables:
    import numpy as np

    tables: list[Table] = []
    numbers: list[NDArray[np.float64]] = []
    texts: set[str] = set()
    shown_numbers: set[float] = set()
    shown_texts: set[str] = set()
    names: set[str] = set()
    for rel in paths:
        table, cells = _read_table(folder, rel, rows)
        tables.append(table)
        names.update((rel, rel.rsplit("/", 1)[-1]))
        names.update(c.name for c in table.columns)
        for column in cells:
            numbers.extend(column.numbers)
            texts |= column.texts
        for row in table.head:
            for cell in row:
                number = _as_number(cell)
                if number is None:
                    shown_texts.add(cell.strip())
                elif math.isfinite(number):
                    shown_numbers.add(abs(number))
    every = np.unique(np.concatenate(numbers)) if numbers else np.zeros(0, dtype=np.float64)
    return Tables(folder, rows, tables, every, texts, shown_numbers, shown_texts, names)


# -- what the LLM is shown ------------------------------------------------------------

def _column_text(column: Column) -> str:
    detail = [column.type]
    if column.distinct is not None:
        detail.append("%d distinct" % column.distinct)
    if column.empty and column.type != "empty":
        detail.append("%d empty" % column.empty)
    return "%s (%s)" % (column.name, ", ".join(detail))


def _csv_line(cells: list[str]) -> str:
    out: list[str] = []
    for cell in cells:
        if any(ch in cell for ch in ',"\r\n') or cell != cell.strip():
            cell = '"%s"' % cell.replace('"', '""')
        out.append(cell)
    return ",".join(out)


def tables_block(tables: Tables) -> str:
    """The ``<tables>`` element that tells the LLM what the data folder holds."""
    lines = ["<tables>",
             "The data are CSV tables in a data folder, bound in the data file with csv(...) by the paths below "
             "(relative to the data folder); each has a header row of column names. Only this summary is shown; "
             "the full tables are read when the model is compiled and solved.",
             "Write the data file as csv(...) bindings to these tables; write a literal value only for a number "
             "stated in the problem description."]
    if tables.rows_shown == 0:
        lines.append("No cell values are shown.")
    for table in tables.tables:
        lines.append("")
        lines.append("%s: %d row%s%s" % (table.path, table.rows, "" if table.rows == 1 else "s",
                                          "; " + "; ".join(table.notes) if table.notes else ""))
        if table.columns:
            lines.append("  columns: " + ", ".join(_column_text(c) for c in table.columns))
        if table.head:
            lines.append("  first %d row%s:" % (len(table.head), "" if len(table.head) == 1 else "s"))
            lines.append("    " + _csv_line([c.name for c in table.columns]))
            lines.extend("    " + _csv_line(row) for row in table.head)
    lines.append("</tables>")
    return "\n".join(lines)


def problem_text(description: str, tables: Tables) -> str:
    """The description followed by the tables block: the problem as every
    prompt of the loop (and the repair questions) states it."""
    return description.strip() + "\n\n" + tables_block(tables)


# -- redaction ------------------------------------------------------------------------

# Words and single marks: a text cell is matched as a run of them.
TOKEN = re.compile(r"\w+|[^\w\s]")
_NUMBER = re.compile(r"(?<![\w.])\d+(?:\.\d+)?(?:[eE][-+]?\d+)?(?!\w|\.\d)")
_THOUSANDS = re.compile(r"(?<![\w.,])\d{1,3}(?:,\d{3})+(?:\.\d+)?(?![\w,]|\.\d)")
# Positions in the compiler's and the solver's texts, never cell values.
_PROTECTED = re.compile(r"\b(?:model|data):\d+:\d+|\b(?:rows?|lines?) \d+")
_COMMENT_OR_STRING = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"', re.S)
_IDENTIFIER = re.compile(r"[^\W\d]\w*")
# A compiler message about a table's rows ("t.csv row 17, column cost: ...",
# "t.csv has no row for cost["W1"]"): the spans it quotes are cell contents.
_TABLE_ROW = re.compile(r"\S row \d+[,:] | has no row (?:for|with) ")
# A quoted cell before what is said of it: greedy, as the cell may hold quotes.
_QUOTED_CELL = re.compile(r"""(?<=: )(['"])(.*)\1(?= is (?:not |out of range))""")
# Any other quoted span but the model's names of a set or a parameter; a
# quote that a letter or digit follows is inside the span.
# A span the compiler quoted cut short: at most 40 bytes of it, then "...".
_CUT_SHORT = re.compile(r"""(['"])(.{1,40}?)\.\.\.\1""")
# Quoting cuts after a byte count: a cut character is decoded as this.
_CUT_CHAR = "\ufffd"
# What the compiler itself quotes in those messages.
_OWN_WORDS = frozenset(("default V", "default", "diagonal", "symmetric"))
_QUOTED = re.compile(r"""(?<!element of )(?<!outside )(?<!\(for )(?<![\w'"])(['"])(.*?)\1(?![\w'"])""")


def _identifiers(code: str) -> set[str]:
    """The names written in a model or data text, outside comments and strings."""
    return set(_IDENTIFIER.findall(_COMMENT_OR_STRING.sub(" ", code)))


class Redactor:
    """Replaces the cell values of ``tables`` in a text with ``<value>``,
    keeping those the description states, those of the rows shown and the
    table and column names.

        redact = Redactor(tables, description)
        redact("data:2:25: t.csv row 3, column v: 'Oslo' ...", model_code)

    Text cells are matched whole, as a run of tokens (never inside a longer
    word), numbers by value (``3.50`` in a table matches ``3.5``, a sign is
    ignored). The model text given with a call names what the LLM wrote
    itself; a cell equal to one of its names is kept. In a compiler message
    about a table's rows, a quoted span is a cell's content: it is redacted
    whole unless it is a name or a value kept as above. In any text, a long
    cell quoted cut short ('first 40 bytes...') is redacted.
    """

    def __init__(self, tables: Tables, description: str) -> None:
        import numpy as np

        self._cells = {t for t in tables.texts - tables.shown_texts - tables.names if t}
        # The most tokens a cell starting with a given token spans.
        self._reach: dict[str, int] = {}
        for cell in self._cells:
            tokens = TOKEN.findall(cell)
            self._reach[tokens[0]] = max(self._reach.get(tokens[0], 0), len(tokens))
        stated = {description[a:b] for a, b in self._cell_spans(description, set(), every=True)}
        self._cells -= stated
        keep = {abs(float(m.group())) for m in _NUMBER.finditer(description)} | tables.shown_numbers
        keep |= {float(m.group().replace(",", "")) for m in _THOUSANDS.finditer(description)}
        numbers = tables.numbers
        if keep and numbers.size:
            numbers = numbers[~np.isin(numbers, np.array(sorted(keep), dtype=np.float64))]
        self._numbers = numbers
        # The cells the compiler would quote cut short, sorted for a search by their start.
        self._long_cells = sorted(c for c in self._cells if len(c.encode("utf-8")) > 40)
        # What a quoted span of a table message may show as it is.
        self._shown = tables.names | tables.shown_texts | stated | _OWN_WORDS | {REDACTED}
        self._shown_numbers = keep

    def _cell_spans(self, text: str, keep: set[str], every: bool = False) -> list[tuple[int, int]]:
        """Where cells stand in ``text``: the longest at each place, or with
        ``every`` all of them. A cell ends where a token ends, so a cell
        ending in a letter is never a prefix of a longer word."""
        tokens = list(TOKEN.finditer(text))
        spans: list[tuple[int, int]] = []
        done = 0
        for i, token in enumerate(tokens):
            start = token.start()
            reach = self._reach.get(token.group(), 0)
            if start < done or not reach:
                continue
            for j in range(min(i + reach, len(tokens)) - 1, i - 1, -1):
                end = tokens[j].end()
                cell = text[start:end]
                if cell in self._cells and cell not in keep:
                    spans.append((start, end))
                    if not every:
                        done = end
                        break
        return spans

    def is_cell_number(self, value: float) -> bool:
        import numpy as np

        numbers = self._numbers
        if not numbers.size or not math.isfinite(value):
            return False
        value = abs(value)
        at = int(np.searchsorted(numbers, value))
        tolerance = _SAME_NUMBER * max(1.0, value)
        return any(abs(float(numbers[i]) - value) <= tolerance for i in (at - 1, at) if 0 <= i < numbers.size)

    def _plain(self, text: str, keep: set[str]) -> str:
        out: list[str] = []
        done = 0
        for start, end in self._cell_spans(text, keep):
            out.append(text[done:start])
            out.append(REDACTED)
            done = end
        out.append(text[done:])
        return _NUMBER.sub(lambda m: REDACTED if self.is_cell_number(float(m.group())) else m.group(), "".join(out))

    def _may_show(self, quoted: str, keep: set[str]) -> bool:
        """Whether a span quoted in a table message is no cell content: a
        name, a value the LLM was shown, or no word at all ('"')."""
        if quoted in self._shown or quoted in keep or not any(_is_word(ch) for ch in quoted):
            return True
        number = _as_number(quoted)
        return number is not None and abs(number) in self._shown_numbers

    def _begins_cell(self, start: str) -> bool:
        start = start.rstrip(_CUT_CHAR).lstrip()
        at = bisect.bisect_left(self._long_cells, start)
        return bool(start) and at < len(self._long_cells) and self._long_cells[at].startswith(start)

    def _cut_short(self, text: str) -> str:
        """``text`` with every quoted start of a long cell redacted."""
        def cut(m: re.Match[str]) -> str:
            return m.group(1) + REDACTED + m.group(1) if self._begins_cell(m.group(2)) else m.group()

        return _CUT_SHORT.sub(cut, text) if self._long_cells and "..." in text else text

    def _table_message(self, line: str, keep: set[str]) -> str:
        """A line about a table's rows with its quoted cells redacted whole:
        the compiler quotes a long cell cut short, which no cell matches."""
        def quoted(m: re.Match[str]) -> str:
            if self._may_show(m.group(2), keep):
                return m.group()
            return m.group(1) + REDACTED + m.group(1)

        return _QUOTED.sub(quoted, _QUOTED_CELL.sub(quoted, line))

    def __call__(self, text: str, model_code: str = "") -> str:
        return self._redact(text, _identifiers(model_code) if model_code else set())

    def for_model(self, model_code: str) -> Callable[[str], str]:
        """``self(text, model_code)`` for many texts about one model, its
        names worked out once."""
        keep = _identifiers(model_code) if model_code else set()
        return lambda text: self._redact(text, keep)

    def _redact(self, text: str, keep: set[str]) -> str:
        text = self._cut_short(text)
        if _TABLE_ROW.search(text):
            text = "".join(self._table_message(line, keep) if _TABLE_ROW.search(line) else line
                           for line in text.splitlines(keepends=True))
        out: list[str] = []
        done = 0
        for m in _PROTECTED.finditer(text):
            out.append(self._plain(text[done:m.start()], keep))
            out.append(m.group())
            done = m.end()
        out.append(self._plain(text[done:], keep))
        return "".join(out)


def _is_word(ch: str) -> bool:
    return ch.isalnum() or ch == "_"


class Given:
    """A problem over the tables of a folder, as the loop states it to the
    LLM: ``problem`` (the description and the tables block) and ``redact``
    for every text from the tables that goes back."""

    def __init__(self, description: str, tables: Tables) -> None:
        self.description = description
        self.tables = tables
        self.problem = problem_text(description, tables)
        self.redact = Redactor(tables, description)

    @classmethod
    def read(cls, description: str, folder: PathArg, rows: int = DEFAULT_ROWS) -> Given:
        """The problem over the tables of ``folder`` (NoTables without one)."""
        return cls(description, read_tables(folder, rows))

    @property
    def folder(self) -> str:
        return self.tables.folder


# -- the prompt ------------------------------------------------------------------------

# Stands for the problem while the generation prompt is built, then replaced.
_SLOT = "\x00problem\x00"
_OPEN_TASK, _CLOSE_TASK = "<task>\n", "</task>\n"
# The generation prompt's task lines that this prompt says otherwise.
_REPLACED = ("Generate a valid Tavro model (.mod)", "If data are missing")
_TASK_HEAD = ("Generate a valid Tavro model (.mod) and a data file (.dat) for the given problem description, whose "
              "data are CSV tables in a data folder; the <tables> element of the problem description summarises "
              "them (file, rows, columns with their types, the first rows if any).\n")
_TASK_DATA = ("Declare every set and parameter that comes from a table with '= ...' in the model, and bind it in the "
              "data file with csv(\"FILE\", ...) by the file paths and column names given. Never invent data or "
              "copy values from the rows shown: the tables are read in full when the model is compiled.\n")


def generation_prompt(problem: str, grammar_implementation: str, few_shots: list[dict[str, str]] | None = None) -> str:
    """The generation prompt for data given as tables: the blocks of
    ``_build_generation_prompt`` (role, grammar reference, few-shot section,
    problem, reply format) around a task that asks for bindings."""
    whole: str = _asking.modelwright()._build_generation_prompt(_SLOT, grammar_implementation, few_shots=few_shots)
    role, opened, rest = whole.partition(_OPEN_TASK)
    task, closed, blocks = rest.partition(_CLOSE_TASK)
    if not opened or not closed or blocks.count(_SLOT) != 1:
        raise RuntimeError("the generation prompt has no task section or problem slot to compose with")
    kept = [line + "\n" for line in task.splitlines() if not line.startswith(_REPLACED)]
    # The task's own lines first, then the general ones; the data rule before the reference.
    at = next((i for i, line in enumerate(kept) if line.startswith("Use the following")), len(kept))
    lines = [_TASK_HEAD] + kept[:at] + [_TASK_DATA] + kept[at:]
    return role + opened + "".join(lines) + closed + blocks.replace(_SLOT, problem)


def library_folder() -> str:
    """The examples over tables, the few-shot library of this loop."""
    from importlib.resources import files

    return str(files("tavro") / "kelm_models_csv")


# -- the loop ------------------------------------------------------------------------------

def _compile_errors(model_code: str, data_code: str, data_dir: str) -> list[str]:
    """The compiler's errors of a pair, its tables read from ``data_dir``;
    through ``modelwright.KelmCompiler`` as ``generative_solve`` compiles,
    within the calling thread's work budget."""
    mw = _asking.modelwright()
    try:
        _work.run(mw.KelmCompiler().compile_model, model_code, data_code, data_dir=data_dir)
    except Exception as e:
        if isinstance(e, mw.SemanticError):
            return [str(e)]
        return ["%s: %s" % (type(e).__name__, e)]
    return []


def _ask(mw: ModuleType, provider: Any, model_name: str, prompt: str, temperature: float | None,
         progress: Progress) -> tuple[str, dict[str, int]]:
    text, usage = mw._llm_generate_text(provider=provider, model_name=model_name, input_text=prompt,
                                        max_tokens=mw.MAX_OUTPUT_TOKENS, temperature=temperature, stop=None,
                                        progress=progress, capture_usage=True)
    return text, usage if isinstance(usage, dict) else {}


def _pair_of(mw: ModuleType, content: str) -> tuple[str, str]:
    try:
        reply = mw._json_loads_relaxed(content)
        model_code, data_code = reply["model"], reply["data"]
    except Exception as e:
        raise RuntimeError("Failed to parse model response as JSON: %s\nResponse: %s" % (e, content)) from e
    for key, value in (("model", model_code), ("data", data_code)):
        if not isinstance(value, str):
            raise RuntimeError("The model response's %r is %s, not a text" % (key, type(value).__name__))
    return model_code, data_code


def _note(progress: Progress, message: str) -> None:
    _asking.modelwright()._notify(progress, message)


def generate(given: Given, model_file: PathArg, data_file: PathArg, *, model_name: str | None = None,
             mode: Any = None, iterations: int | None = None, alignment_check: bool | None = None,
             few_shot: bool = True, temperature: float | None = None, llm_provider: str | None = None,
             progress: Progress = None) -> dict[str, Any]:
    """Write a model and a data file of bindings for the problem ``given``:
    generate, compile against the data folder, revise on the compiler's
    errors (redacted), check alignment, as ``generative_solve`` does with its
    arguments of the same names.

    Each round writes the pair together and reports "Wrote files: ..." as
    ``generative_solve`` does. Returns {"iterations", "assessment",
    "syntax_errors" (the compiler's own words, for the caller), "usage"}.
    Raises RuntimeError for an empty or unparsable reply.
    """
    mw = _asking.modelwright()
    model_name = model_name if model_name is not None else mw.MODEL_NAME
    grammar = mw._get_grammar_implementation(mode if mode is not None else mw.Grammar.BNF)
    budget = max(int(iterations), 1) if iterations is not None else int(mw.MAX_ITERATIONS)
    do_alignment = bool(mw.ALIGNMENT_CHECK if alignment_check is None else alignment_check)
    provider = mw._infer_provider(llm_provider, model_name)
    tables, problem, redact = given.tables, given.problem, given.redact
    model_file, data_file = os.fspath(model_file), os.fspath(data_file)
    _note(progress, "Generating for the %d table%s of %s with provider=%s model=%s iterations=%d alignment=%s" % (
        len(tables.tables), "" if len(tables.tables) == 1 else "s", tables.folder, provider.value, model_name,
        budget, "on" if do_alignment else "off"))
    few_shots: list[dict[str, str]] = []
    if few_shot:
        few_shots = mw._gather_few_shots(given.description, k=mw.FEW_SHOT_TOP_K, models_dir=library_folder(),
                                         progress=progress)
    prompt = generation_prompt(problem, grammar, few_shots)
    usage = {"prompt_tokens": 0, "completion_tokens": 0}

    def ask(text: str, temp: float | None) -> str:
        reply, used = _ask(mw, provider, model_name, text, temp, progress)
        for key in usage:
            usage[key] += int(used.get(key) or 0)
        return reply

    errors: list[str] = []
    assessment = ""
    model_code = data_code = ""
    done = 0
    for done in range(1, budget + 1):
        _note(progress, "Iteration %d/%d: prompting model" % (done, budget))
        content = ask(prompt, temperature)
        if not content:
            raise RuntimeError("Empty model response.")
        model_code, data_code = _pair_of(mw, content)
        _note(progress, "LLM response parsed (model + data)")
        _note(progress, "Compiling model and data")
        errors = _compile_errors(model_code, data_code, tables.folder)
        for path in (model_file, data_file):
            if os.path.dirname(path):
                os.makedirs(os.path.dirname(path), exist_ok=True)
        _fileio.write_files_atomic({model_file: model_code, data_file: data_code}, encoding="utf-8")
        _note(progress, "Wrote files: %s \u2022 %s" % (model_file, data_file))
        if errors:
            _note(progress, "Syntax/semantic errors found: %d; revising..." % len(errors))
            prompt = mw._build_revision_prompt_syntax(problem, grammar, model_code, data_code,
                                                      [redact(e, model_code) for e in errors], few_shots=few_shots)
            continue
        if not do_alignment:
            _note(progress, "Syntax OK; alignment check disabled. Stopping.")
            break
        _note(progress, "Checking alignment with original prompt...")
        verdict_text = ask(mw._build_alignment_prompt(problem, grammar, model_code, data_code),
                           None if temperature is None else 0.0)
        if not verdict_text:
            raise RuntimeError("Empty alignment response.")
        verdict = mw._json_loads_relaxed(verdict_text)
        aligned = verdict.get("aligned") if isinstance(verdict, dict) else None
        text = verdict.get("assessment") if isinstance(verdict, dict) else None
        if not isinstance(aligned, bool) or not isinstance(text, str):
            raise RuntimeError("Invalid alignment response JSON: %s" % verdict_text)
        assessment = text.strip()
        if aligned:
            _note(progress, "Aligned \u2713 Stopping.")
            break
        _note(progress, "Not aligned; revising per assessment")
        prompt = mw._build_revision_prompt_alignment(problem, grammar, assessment, model_code, data_code,
                                                     few_shots=few_shots)
    if errors or not do_alignment:
        _note(progress, "Requesting final assessment")
        final = ask(mw._build_final_assessment_prompt(problem, grammar, model_code, data_code,
                                                      [redact(e, model_code) for e in errors]),
                    None if temperature is None else 0.2)
        assessment = (final or "").strip()
    _note(progress, "Generation complete")
    return {"iterations": done, "assessment": assessment, "syntax_errors": errors, "usage": usage}
