"""library: fine-tunes of a base model stored as compressed deltas."""

from __future__ import annotations

import argparse
import time

import numpy as np

from velmora_dryx.cli import sources
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.options import parse_method
from velmora_dryx.cli.output import Output, mib

NAME = "library"
HELP = "store fine-tunes of a base model as compressed deltas"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("base", help="the base model: " + sources.HELP)
    p.add_argument("finetunes", nargs="+", metavar="FINETUNE", help="fine-tunes of the base")
    p.add_argument("--method", default="tt", help="svd, tucker or tt (default tt)")
    p.add_argument("--max-rank", type=int, default=8, help="rank cap (default 8)")
    p.add_argument(
        "--energy",
        type=float,
        default=None,
        help="use the energy-based SVD keeping this share of the spectrum",
    )
    p.add_argument(
        "--ppl",
        action="store_true",
        help="also report WikiText-2 perplexity (Hugging Face directories only)",
    )
    p.add_argument("--max-tokens", type=int, default=4096)


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import kestrine, tamsel

    method = parse_method(args.method)
    if method is kestrine.CompressionMethod.NONE:
        raise CliError("--method none stores nothing compressed; choose svd, tucker or tt")
    kind, base_path, base = sources.load_source(args.base)
    if args.ppl and kind != "hf":
        raise CliError(
            "--ppl needs Hugging Face model directories for the base and every fine-tune"
        )
    base = sources.floating_only(base, args.base, out)
    lib = tamsel.ModelLibrary(
        args.base, base, method=method, max_rank=args.max_rank, energy=args.energy
    )
    finetunes, paths, rows = {}, {}, []
    for source in args.finetunes:
        ft_kind, path, sd = sources.load_source(source)
        if args.ppl and ft_kind != "hf":
            raise CliError(
                "--ppl needs Hugging Face model directories for the base and every fine-tune"
            )
        sd = sources.floating_only(sd, source, out)
        mismatched = [k for k in sd if k in base and sd[k].shape != base[k].shape]
        if mismatched:
            raise CliError(
                f"{source}: {len(mismatched)} tensors differ in shape from the base "
                f"(first: {mismatched[0]}); is it a fine-tune of {args.base}?"
            )
        t0 = time.perf_counter()
        delta = lib.add_finetune(source, sd)
        seconds = time.perf_counter() - t0
        err = tamsel.reconstruction_error(lib.reconstruct(source), sd)
        rows.append(
            [
                source,
                len(delta.tensors),
                mib(tamsel._nbytes(sd)),
                mib(delta.stored_bytes()),
                err,
                seconds,
            ]
        )
        # Only the sizes are needed from here on: zero-stride stand-ins keep one fine-tune
        # in memory at a time.
        finetunes[source] = {
            k: np.broadcast_to(np.zeros((), v.dtype), v.shape) for k, v in sd.items()
        }
        paths[source] = path
        del sd
    out.table(
        "finetunes",
        f"Fine-tunes of {args.base} ({_method_label(args)})",
        ["fine-tune", "tensors", "full MiB", "stored MiB", "rel. error", "seconds"],
        rows,
    )
    summary = lib.summary(finetunes)
    out.mapping("summary", "Library summary", summary)
    if args.ppl:
        from velmora_dryx import lornet

        ppl_rows = [
            ["base", lornet.perplexity_from_state_dict(base_path, base, max_tokens=args.max_tokens)]
        ]
        for source in out.progress(args.finetunes, "perplexity"):
            path = paths[source]
            weights = lornet.load_state_dict_numpy_safe(path)
            ppl_rows.append(
                [
                    source,
                    lornet.perplexity_from_state_dict(path, weights, max_tokens=args.max_tokens),
                ]
            )
            del weights
            ppl_rows.append(
                [
                    source + " (reconstructed)",
                    lornet.perplexity_from_state_dict(
                        path, lib.reconstruct(source), max_tokens=args.max_tokens
                    ),
                ]
            )
        out.table("perplexity", "WikiText-2 perplexity", ["model", "perplexity"], ppl_rows)


def _method_label(args: argparse.Namespace) -> str:
    if args.energy is not None:
        return f"energy SVD {args.energy}"
    return f"{args.method}, max_rank {args.max_rank}"
