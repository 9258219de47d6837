"""rename: a fine-tune of a saved library under a new name."""

from __future__ import annotations

import argparse

from velmora_dryx import store
from velmora_dryx.cli import store_support
from velmora_dryx.cli.output import Output

NAME = "rename"
HELP = "rename a fine-tune of a saved library"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")
    p.add_argument("old", metavar="OLD", help="the fine-tune's name (as info lists it)")
    p.add_argument("new", metavar="NEW", help="its new name (no '/' or control characters)")


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    try:
        store.check_name(args.new)
    except ValueError as exc:
        p.error(f"NEW: {exc}")


def run(args: argparse.Namespace, out: Output) -> None:
    with store_support.library_errors():
        store.rename_in_library(args.library, args.old, args.new)
    out.mapping("renamed", f"Renamed in {args.library}", {"old": args.old, "new": args.new})
