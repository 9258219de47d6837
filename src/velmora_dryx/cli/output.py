"""Tables, notes, warnings and progress bars on a rich console, or one JSON document."""

from __future__ import annotations

import json
import math
from collections.abc import Iterable
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx.cli.errors import PROG


def mib(n: int) -> float:
    return n / 2**20


class Output:
    """Tables and progress on a rich console, or one JSON document with --json."""

    def __init__(self, as_json: bool) -> None:
        from rich.console import Console

        self.as_json = as_json
        self.console = Console(highlight=False, soft_wrap=False)
        self.err = Console(stderr=True, highlight=False, soft_wrap=True)
        self.document: dict[str, Any] = {}

    def table(self, key: str, title: str, columns: list[str], rows: list[list[Any]]) -> None:
        if self.as_json:
            self.document[key] = [dict(zip(columns, row, strict=True)) for row in rows]
            return
        from rich.table import Table

        self.console.print(f"[bold]{title}[/bold]")
        if not rows:
            return
        t = Table()
        for i, c in enumerate(columns):
            t.add_column(c, justify="left" if i == 0 else "right")
        for row in rows:
            t.add_row(*(cell(v) for v in row))
        self.console.print(t)
        self.console.print()

    def mapping(self, key: str, title: str, values: dict[str, Any]) -> None:
        if self.as_json:
            self.document[key] = values
            return
        self.table(key, title, ["figure", "value"], [[k, v] for k, v in values.items()])

    def note(self, text: str) -> None:
        if not self.as_json:
            self.console.print(text)

    def warn(self, text: str) -> None:
        self.err.print(f"[yellow]{PROG}: warning:[/yellow] {text}")

    def progress(self, items: Iterable[Any], description: str, total: int | None = None):
        """Iterate with a transient progress bar on stderr."""
        from rich.progress import (
            BarColumn,
            MofNCompleteColumn,
            Progress,
            TextColumn,
            TimeElapsedColumn,
        )

        items = list(items) if total is None else items
        total = len(items) if total is None else total
        if not self.err.is_terminal:
            yield from items
            return
        with Progress(
            TextColumn("{task.description}"),
            BarColumn(),
            MofNCompleteColumn(),
            TimeElapsedColumn(),
            console=self.err,
            transient=True,
        ) as bar:
            task = bar.add_task(description, total=total)
            for item in items:
                yield item
                bar.advance(task)

    def finish(self) -> None:
        if self.as_json:
            print(json.dumps(self.document, indent=2, default=_json_default))


def _json_default(o: Any) -> Any:
    if isinstance(o, np.integer):
        return int(o)
    if isinstance(o, np.floating):
        return float(o)
    if isinstance(o, (tuple, Path)):
        return list(o) if isinstance(o, tuple) else str(o)
    return str(o)


def cell(v: Any) -> str:
    """A table cell: floats to four significant places, integers with thousands separators."""
    if isinstance(v, float):
        if math.isinf(v) or math.isnan(v):
            return str(v)
        if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e6):
            return f"{v:.3e}"
        return f"{v:.4f}" if abs(v) < 10 else f"{v:,.2f}"
    if isinstance(v, int) and not isinstance(v, bool):
        return f"{v:,}"
    return str(v)
