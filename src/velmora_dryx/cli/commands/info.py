"""info: what a saved library holds."""

from __future__ import annotations

import argparse

from velmora_dryx import store
from velmora_dryx.cli import store_support
from velmora_dryx.cli.output import Output
from velmora_dryx.methods import Settings

NAME = "info"
HELP = "list a saved library's fine-tunes with their methods, sizes, ratios and errors"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")
    p.add_argument(
        "--verify",
        action="store_true",
        help="also check every checksum and every record, as verify does (exit 1 on damage)",
    )


def run(args: argparse.Namespace, out: Output) -> int:
    with store_support.library_errors():
        info = store.library_info(args.library)
    out.data("settings", info["settings"])
    how = Settings.from_stored(info["settings"]).label
    store_support.show_library(out, info, f"Fine-tunes in {args.library} (library settings: {how})")
    return store_support.show_verification(out, args.library) if args.verify else 0
