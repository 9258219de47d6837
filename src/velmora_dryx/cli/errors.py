"""The one-line errors of the command line."""

from __future__ import annotations

PROG = "velmora-dryx"


class CliError(Exception):
    """A user-facing error: printed as one line, exit status 1."""


def describe(exc: BaseException) -> str:
    """The one line printed for an error."""
    if isinstance(exc, CliError):
        return str(exc)
    if isinstance(exc, KeyError):
        return f"missing key {exc.args[0]!r}" if exc.args else "missing key"
    return str(exc) or type(exc).__name__
