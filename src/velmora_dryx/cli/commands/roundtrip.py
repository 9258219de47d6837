"""roundtrip: compress and rebuild every tensor of one model."""

from __future__ import annotations

import argparse

import numpy as np

from velmora_dryx import kestrine
from velmora_dryx.cli import options, sources
from velmora_dryx.cli.errors import CliError, describe
from velmora_dryx.cli.output import Output, count

NAME = "roundtrip"
HELP = "compress and rebuild every tensor of two or more dimensions of one model"


def configure(p: argparse.ArgumentParser) -> None:
    options.add_sources(p, "source", "SOURCE")
    options.add_rank_options(p, ("auto", *options.TENSOR_METHODS), "auto")
    p.add_argument(
        "--limit",
        type=options.whole(1),
        default=None,
        metavar="N",
        help="only the N largest tensors, >= 1 (default: all)",
    )


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    options.check_rank_options(p, args)


def run(args: argparse.Namespace, out: Output) -> None:
    source = sources.resolve(args.source, out)
    with out.step(f"loading {args.source}"):
        sd = sources.floating_only(source.load(), args.source, out)
    tensors = sorted(
        ((k, v) for k, v in sd.items() if v.ndim >= 2), key=lambda kv: kv[1].size, reverse=True
    )
    # Norms, biases and scalars: nothing to factorize (a library stores them as they are).
    left_out = [k for k, v in sd.items() if v.ndim < 2]
    if not tensors:
        raise CliError(f"{args.source}: no floating-point tensors of two or more dimensions")
    tensors = tensors[: args.limit]
    rows = []
    for name, t in out.progress(tensors, "round trips"):
        method = args.method if args.method != "auto" else kestrine.suggest_method(t.shape)
        try:
            r = kestrine.roundtrip_report(
                np.asarray(t, dtype=np.float32),
                method,
                rank_ratio=args.rank_ratio,
                max_rank=args.max_rank,
            )
        except Exception as exc:
            bad = "" if np.isfinite(t).all() else " holds NaN or infinite values"
            raise CliError(f"{args.source}: tensor {name}{bad}: {describe(exc)}") from exc
        rows.append(
            [
                name,
                options.shape_text(t.shape),
                r.method.value,
                r.compression_ratio,
                r.relative_frobenius_error,
                r.elapsed_compress_ms,
                r.elapsed_decompress_ms,
            ]
        )
    out.data("settings", options.rank_settings(args))
    out.table(
        "tensors",
        f"Round trips of {args.source} ({options.method_label(args)})",
        ["tensor", "shape", "method", "ratio", "rel. error", "compress ms", "decompress ms"],
        rows,
    )
    out.data("left_out", left_out)
    if left_out:
        out.note(
            f"Left out: {count(len(left_out), 'tensor')} of fewer than two dimensions, with "
            f"nothing to factorize: {', '.join(left_out)}"
        )
