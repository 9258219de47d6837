"""add: fine-tunes appended to a saved library."""

from __future__ import annotations

import argparse

from velmora_dryx import store
from velmora_dryx.cli import options, sources, store_support
from velmora_dryx.cli.output import Output

NAME = "add"
HELP = "compress fine-tunes against a saved library's base and append them"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("library", metavar="DIR", help="a library saved by library --save")
    options.add_sources(p, "finetunes", "FINETUNE", nargs="+", what="fine-tunes of the base: ")
    p.add_argument(
        "--name",
        default=None,
        help="the name to store a single fine-tune under (default: the source as written)",
    )
    options.add_rank_options(p, options.METHODS, "the library's", energy=True)
    store_support.add_parallel(p)


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    options.check_unique(p, args.finetunes, "FINETUNE")
    if args.name is not None:
        if len(args.finetunes) != 1:
            p.error("--name names one fine-tune; give a single FINETUNE with it")
        if not args.name:
            p.error("--name must not be empty")
    # Contradictions are refused as for library; what is not given stays the library's.
    given = {k: getattr(args, k) for k in ("method", "rank_ratio", "max_rank", "bits")}
    options.check_rank_options(p, args)
    for k, v in given.items():
        if v is None and not (k == "method" and args.energy is not None):
            setattr(args, k, None)
    store_support.check_parallel(p, args)


def run(args: argparse.Namespace, out: Output) -> None:
    store_support.require_ray(args)
    with store_support.library_errors():
        store.library_info(args.library)  # a damaged or missing library fails before any work
        tunes = sources.resolve_all(args.finetunes, out)
        names = [args.name] if args.name is not None else [s.text for s in tunes]
        finetunes = {n: store_support.streamed(s, out) for n, s in zip(names, tunes, strict=True)}
        with (
            store_support.finetune_warnings(out),
            store_support.task_bar(out, "compressing") as progress,
        ):
            store.add_many_to_library(
                args.library,
                finetunes,
                progress=progress,
                **store_support.compression_options(args),
            )
        info = store.library_info(args.library)
    store_support.show_library(out, info, f"Fine-tunes in {args.library}")
