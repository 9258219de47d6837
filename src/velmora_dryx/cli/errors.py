"""The one-line errors of the command line."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

PROG = "velmora-dryx"


class CliError(Exception):
    """A user-facing error: printed as one line, exit status 1."""


def one_line(text: str) -> str:
    """A message of several lines as one: indented lines are items of a list."""
    out = ""
    for raw in text.splitlines():
        line = raw.strip()
        if not line:
            continue
        if not out:
            out = line
        elif raw[:1].isspace():
            out += (" " if out.endswith(":") else ", ") + line
        else:
            out += (" " if out.endswith((".", ":", ";")) else ". ") + line
    return out


def describe(exc: BaseException) -> str:
    """The one line printed for an error."""
    if isinstance(exc, CliError):
        return one_line(str(exc))
    if isinstance(exc, KeyError):
        return f"missing key {exc.args[0]!r}" if exc.args else "missing key"
    return one_line(str(exc)) or type(exc).__name__


@contextmanager
def about(subject: str) -> Iterator[None]:
    """Any failure inside becomes a CliError led by the source or file concerned."""
    try:
        yield
    except CliError:
        raise
    except Exception as exc:
        raise CliError(f"{subject}: {describe(exc)}") from exc
