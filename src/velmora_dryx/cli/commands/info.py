"""info: what a saved library holds."""

from __future__ import annotations

import argparse

from velmora_dryx import store
from velmora_dryx.cli import store_support
from velmora_dryx.cli.output import Output
from velmora_dryx.methods import Settings

NAME = "info"
HELP = "list a saved library's fine-tunes with their methods, sizes and ratios"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")


def run(args: argparse.Namespace, out: Output) -> None:
    with store_support.library_errors():
        info = store.library_info(args.library)
    out.data("settings", info["settings"])
    out.data("model_files", info["model_files"])
    how = Settings.from_stored(info["settings"]).label
    store_support.show_library(out, info, f"Fine-tunes in {args.library} (library settings: {how})")
