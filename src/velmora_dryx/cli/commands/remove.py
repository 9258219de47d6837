"""remove: a fine-tune taken out of a saved library."""

from __future__ import annotations

import argparse

from velmora_dryx import store
from velmora_dryx.cli import store_support
from velmora_dryx.cli.output import Output

NAME = "remove"
HELP = "remove a fine-tune from a saved library and free its file"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")
    p.add_argument("name", metavar="NAME", help="the fine-tune (as info lists it)")


def run(args: argparse.Namespace, out: Output) -> None:
    with store_support.library_errors():
        removed = store.remove_from_library(args.library, args.name)
    out.mapping("removed", f"{args.name} removed from {args.library}", removed)
