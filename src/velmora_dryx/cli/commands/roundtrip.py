"""roundtrip: compress and rebuild every tensor of one model."""

from __future__ import annotations

import argparse

import numpy as np

from velmora_dryx.cli import sources
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.options import parse_method
from velmora_dryx.cli.output import Output

NAME = "roundtrip"
HELP = "compress and rebuild every tensor of one model"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("source", metavar="SOURCE", help=sources.HELP)
    p.add_argument("--method", default="auto", help="svd, tucker, tt or auto (default auto)")
    p.add_argument("--rank-ratio", type=float, default=0.5)
    p.add_argument("--max-rank", type=int, default=8)
    p.add_argument("--limit", type=int, default=0, help="only the N largest tensors")


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import kestrine

    _, _, sd = sources.load_source(args.source)
    sd = sources.floating_only(sd, args.source, out)
    tensors = sorted(
        ((k, v) for k, v in sd.items() if v.ndim >= 2), key=lambda kv: kv[1].size, reverse=True
    )
    if args.limit:
        tensors = tensors[: args.limit]
    if not tensors:
        raise CliError(f"{args.source}: no floating-point tensors of two or more dimensions")
    fixed = parse_method(args.method) if args.method != "auto" else None
    rows = []
    for name, t in out.progress(tensors, "round trips"):
        method = fixed if fixed is not None else kestrine.suggest_method(tuple(t.shape))
        r = kestrine.roundtrip_report(
            np.asarray(t, dtype=np.float32),
            method,
            rank_ratio=args.rank_ratio,
            max_rank=args.max_rank,
        )
        rows.append(
            [
                name,
                "x".join(map(str, t.shape)),
                r.method.value,
                r.compression_ratio,
                r.relative_frobenius_error,
                r.elapsed_compress_ms,
                r.elapsed_decompress_ms,
            ]
        )
    out.table(
        "tensors",
        f"Round trips of {args.source}",
        ["tensor", "shape", "method", "ratio", "rel. error", "compress ms", "decompress ms"],
        rows,
    )
