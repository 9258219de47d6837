"""add: fine-tunes appended to a saved library."""

from __future__ import annotations

import argparse

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
    p.add_argument(
        "--method",
        choices=("tt", "svd", "tucker"),
        default=None,
        help="compression method (default: the library's)",
    )
    p.add_argument(
        "--max-rank",
        type=options.whole(1),
        default=None,
        metavar="N",
        help="rank cap of tt and --energy, >= 1 (default: the library's)",
    )
    p.add_argument(
        "--energy",
        type=options.fraction(0.0, low_open=True),
        default=None,
        metavar="E",
        help="use the energy-based SVD keeping this share of the spectrum, in (0, 1]",
    )
    p.add_argument(
        "--rank-ratio",
        type=options.fraction(0.01, low_open=False),
        default=None,
        metavar="R",
        help="kept share of the rank for svd and tucker, in [0.01, 1] (default: the library's)",
    )
    store_support.add_parallel(p)


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    options.check_unique(p, args.finetunes, "FINETUNE")
    if args.name is not None:
        if len(args.finetunes) != 1:
            p.error("--name names one fine-tune; give a single FINETUNE with it")
        if not args.name:
            p.error("--name must not be empty")
    if args.energy is not None and args.method not in (None, "svd"):
        p.error(
            f"--energy selects the energy-based SVD; it cannot be used with --method {args.method}"
        )
    store_support.check_parallel(p, args)


def run(args: argparse.Namespace, out: Output) -> None:
    import velmora_dryx as vd
    from velmora_dryx import store

    store_support.require_ray(args)
    with store_support.library_errors():
        vd.library_info(args.library)  # a damaged or missing library fails before any work
        tunes = sources.resolve_all(args.finetunes, out)
        names = [args.name] if args.name is not None else [s.text for s in tunes]
        finetunes = {n: store_support.streamed(s, out) for n, s in zip(names, tunes, strict=True)}
        with store_support.task_bar(out, "compressing") as progress:
            store.add_many_to_library(
                args.library,
                finetunes,
                method="svd" if args.energy is not None else args.method,
                max_rank=args.max_rank,
                energy=args.energy,
                rank_ratio=args.rank_ratio,
                jobs=args.jobs,
                ray=args.ray,
                progress=progress,
            )
        info = vd.library_info(args.library)
    store_support.show_library(out, info, f"Fine-tunes in {args.library}")
