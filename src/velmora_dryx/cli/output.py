"""Tables, notes, warnings and progress bars on a rich console, or one JSON document."""

from __future__ import annotations

import json
import math
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx import kestrine
from velmora_dryx.cli.errors import PROG

# Narrowest width an identifying column is folded to before the table is left wider than
# the terminal instead.
_MIN_FOLD = 12


def mib(n: int) -> float:
    return n / 2**20


def warm_up() -> None:
    """One-time setup done before anything is timed: the first factorization of a process
    resolves LAPACK from SciPy (hundreds of milliseconds), which would otherwise land in the
    first timed row."""
    kestrine.svd_compress(np.eye(2, dtype=np.float32))


def count(n: int, noun: str) -> str:
    """'1 tensor', '2 tensors'."""
    return f"{n:,} {noun}{'' if n == 1 else 's'}"


def show_models(
    out: Output,
    title: str,
    columns: list[str],
    rows: list[list[Any]],
    home: Any,
    env: str,
    empty: str,
) -> None:
    """Table of a local model store's models, with a note when the store directory is
    missing (`env` names the variable that points at it) or holds nothing (`empty`)."""
    out.table("models", title, columns, rows)
    if not home.is_dir():
        out.note(f"{home} does not exist (set {env} to the models directory)")
    elif not rows:
        out.note(empty)


class Output:
    """Tables and progress on a rich console, or one JSON document with --json."""

    def __init__(self, as_json: bool) -> None:
        from rich.console import Console

        self.as_json = as_json
        self.console = Console(highlight=False, soft_wrap=False, markup=False)
        self.err = Console(stderr=True, highlight=False, soft_wrap=True, markup=False)
        self.document: dict[str, Any] = {}

    @property
    def live(self) -> bool:
        """Progress is drawn only on a terminal and never next to a JSON document."""
        return self.err.is_terminal and not self.as_json

    def table(self, key: str, title: str, columns: list[str], rows: list[list[Any]]) -> None:
        if self.as_json:
            self.document[key] = [dict(zip(columns, row, strict=True)) for row in rows]
            return
        from rich.text import Text

        # A file gets every line whole; a terminal wraps long titles.
        self.console.print(Text(title, style="bold"), soft_wrap=not self.console.is_terminal)
        if not rows:
            return
        width = self.console.width
        table, natural = _fitted_table(columns, rows, width if self.console.is_terminal else None)
        if natural > width:
            # Nothing is ever cut: a file gets the full width, and a table whose numbers
            # alone do not fit the terminal runs past its edge.
            self.console.width = max(width, natural)
        try:
            self.console.print(table)
            self.console.print()
        finally:
            self.console.width = width

    def mapping(self, key: str, title: str, values: dict[str, Any]) -> None:
        if self.as_json:
            self.document[key] = values
            return
        self.table(key, title, ["figure", "value"], [[k, v] for k, v in values.items()])

    def data(self, key: str, value: Any) -> None:
        """A part of the JSON document that has no table."""
        if self.as_json:
            self.document[key] = value

    def note(self, text: Any) -> None:
        if not self.as_json:
            self.console.print(text)

    def warn(self, text: str) -> None:
        from rich.text import Text

        self.err.print(Text.assemble((f"{PROG}: warning:", "yellow"), " ", text))

    def progress(
        self, items: Iterable[Any], description: str, total: int | None = None
    ) -> Iterator[Any]:
        """Iterate with a transient progress bar on stderr."""
        items = list(items) if total is None else items
        total = len(items) if total is None else total  # type: ignore[arg-type]
        if not self.live:
            yield from items
            return
        from rich.progress import BarColumn, MofNCompleteColumn, TextColumn

        with self._bar(TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn()) as bar:
            task = bar.add_task(description, total=total)
            for item in items:
                yield item
                bar.advance(task)

    @contextmanager
    def step(self, description: str) -> Iterator[None]:
        """A spinner on stderr while one long step runs."""
        if not self.live:
            yield
            return
        from rich.progress import SpinnerColumn, TextColumn

        with self._bar(SpinnerColumn(), TextColumn("{task.description}")) as bar:
            bar.add_task(description, total=None)
            yield

    def _bar(self, *columns):
        from rich.progress import Progress, TimeElapsedColumn

        return Progress(*columns, TimeElapsedColumn(), console=self.err, transient=True)

    def finish(self) -> None:
        if self.as_json:
            text = json.dumps(_finite(self.document), indent=2, default=_json_default)
            print(text, flush=True)


def _column_widths(columns: list[str], cells: list[list[str]], numeric: list[bool], width):
    """Each column's width: its natural one, or, when the table would exceed `width`, numbers
    at their full width (headers wrapping between words) and the text columns sharing the
    rest, narrowest first."""
    n = len(columns)
    longest = [max((len(r[i]) for r in cells), default=0) for i in range(n)]
    fitted = [max(len(c), longest[i]) for i, c in enumerate(columns)]
    if width is None or sum(fitted) + _overhead(n) <= width:
        return fitted
    for i in (i for i in range(n) if numeric[i]):
        fitted[i] = max(longest[i], *(len(w) for w in columns[i].split()))
    text_cols = sorted((i for i in range(n) if not numeric[i]), key=lambda i: fitted[i])
    room = width - _overhead(n) - sum(fitted[i] for i in range(n) if numeric[i])
    if text_cols and room >= _MIN_FOLD * len(text_cols):
        for k, i in enumerate(text_cols):
            fitted[i] = min(fitted[i], room // (len(text_cols) - k))
            room -= fitted[i]
    return fitted


def _overhead(n: int) -> int:
    return 3 * n + 1  # padding and rules of rich's default box


def _fitted_table(columns: list[str], rows: list[list[Any]], width: int | None):
    """A rich table of the rows and the width it takes.

    Numbers keep their full width. When the natural width exceeds `width`, the text columns
    (names, paths, shapes) fold onto several lines, so the table fits without cutting any.
    """
    from rich.table import Table
    from rich.text import Text

    cells = [[cell(v) for v in row] for row in rows]
    numeric = [all(_is_number(row[i]) for row in rows) for i in range(len(columns))]
    fitted = _column_widths(columns, cells, numeric, width)
    t = Table()
    for i, c in enumerate(columns):
        justify = "right" if numeric[i] else "left"
        t.add_column(c, justify=justify, overflow="fold", width=fitted[i])
    for row in cells:
        t.add_row(*(Text(v) for v in row))
    return t, sum(fitted) + _overhead(len(columns))


def _is_number(v: Any) -> bool:
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, bool)


def _finite(o: Any) -> Any:
    """The document with NaN and infinities as null: JSON has no spelling for them."""
    if isinstance(o, dict):
        return {k: _finite(v) for k, v in o.items()}
    if isinstance(o, (list, tuple)):
        return [_finite(v) for v in o]
    if isinstance(o, (float, np.floating)):
        return float(o) if math.isfinite(o) else None
    return o


def _json_default(o: Any) -> Any:
    if isinstance(o, np.integer):
        return int(o)
    if isinstance(o, Path):
        return str(o)
    return str(o)


def cell(v: Any) -> str:
    """A table cell: floats to four significant places, integers with thousands separators."""
    if isinstance(v, (float, np.floating)):
        v = float(v)
        if math.isinf(v) or math.isnan(v):
            return str(v)
        if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e6):
            return f"{v:.3e}"
        return f"{v:.4f}" if abs(v) < 10 else f"{v:,.2f}"
    if isinstance(v, (int, np.integer)) and not isinstance(v, bool):
        return f"{int(v):,}"
    return str(v)
