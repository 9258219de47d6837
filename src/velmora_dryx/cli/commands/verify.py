"""verify: a saved library checked whole."""

from __future__ import annotations

import argparse

from velmora_dryx.cli import store_support
from velmora_dryx.cli.output import Output

NAME = "verify"
HELP = (
    "check every checksum and every record of a saved library and list leftover files "
    "(exit 1 on damage)"
)


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")


def run(args: argparse.Namespace, out: Output) -> int:
    return store_support.show_verification(out, args.library)
