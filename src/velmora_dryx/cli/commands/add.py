"""add: fine-tunes appended to a saved library."""

from __future__ import annotations

import argparse
from pathlib import Path

from velmora_dryx import store
from velmora_dryx._library_format import read_manifest
from velmora_dryx.cli import options, sources, store_support
from velmora_dryx.cli.output import Output
from velmora_dryx.methods import Settings

NAME = "add"
HELP = "compress fine-tunes against a saved library's base and append them"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")
    options.add_sources(p, "finetunes", "FINETUNE", nargs="+", what="fine-tunes of the base: ")
    p.add_argument(
        "--name",
        default=None,
        help="the name to store a single fine-tune under (default: the source's own name: "
        "its directory or file name, an Ollama model's name and tag)",
    )
    options.add_rank_options(p, options.METHODS, "the library's", store="add")
    store_support.add_parallel(p)


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    options.check_unique(p, args.finetunes, "FINETUNE")
    if args.name is not None:
        if len(args.finetunes) != 1:
            p.error("--name names one fine-tune; give a single FINETUNE with it")
        try:
            store.check_name(args.name)
        except ValueError as exc:
            p.error(f"--name: {exc}")
    # The options given override the library's settings: checked against them as for
    # library (a library that cannot be read fails when the command runs).
    try:
        stored = Settings.from_stored(read_manifest(Path(args.library))["settings"])
    except (OSError, ValueError):
        stored = None
    if stored is not None:
        options.check_settings(p, args, stored)
    store_support.check_parallel(p, args)


def run(args: argparse.Namespace, out: Output) -> None:
    store_support.require_ray(args)
    with store_support.library_errors():
        store.library_info(args.library)  # a damaged or missing library fails before any work
        tunes = sources.resolve_all(args.finetunes, out)
        names = store_support.finetune_names(tunes, args.name)
        finetunes = {n: store_support.streamed(s, out) for n, s in zip(names, tunes, strict=True)}
        with (
            store_support.finetune_warnings(out),
            store_support.task_bar(out, "compressing") as progress,
        ):
            store.add_many_to_library(
                args.library,
                finetunes,
                progress=progress,
                jobs=args.jobs,
                ray=args.ray,
                **options.given_settings(args),
            )
        info = store.library_info(args.library)
    used = Settings.from_stored(
        next(f for f in info["finetunes"] if f["name"] == names[0])["settings"]
    )
    out.data("settings", used.shown())
    store_support.show_library(
        out, info, f"Fine-tunes in {args.library} (added with {used.label})", names
    )
