"""Option parsing and checking shared by the commands."""

from __future__ import annotations

from velmora_dryx.cli.errors import CliError


def parse_method(text: str):
    from velmora_dryx import kestrine

    try:
        return kestrine.CompressionMethod(text)
    except ValueError:
        names = ", ".join(m.value for m in kestrine.CompressionMethod)
        raise CliError(f"unknown method {text!r} (choose from {names})") from None
