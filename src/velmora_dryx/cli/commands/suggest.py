"""suggest: a compression method for a tensor shape."""

from __future__ import annotations

import argparse

from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output

NAME = "suggest"
HELP = "suggest a compression method for a tensor shape"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("shape", metavar="SHAPE", help="extents joined by x, e.g. 768x3072")


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import kestrine

    try:
        shape = tuple(int(p) for p in args.shape.replace(",", "x").split("x") if p.strip())
    except ValueError:
        raise CliError(f"bad shape {args.shape!r} (write it like 768x3072)") from None
    if not shape or any(n <= 0 for n in shape):
        raise CliError(f"bad shape {args.shape!r} (extents must be positive)")
    method = kestrine.suggest_method(shape)
    out.mapping("suggestion", "Suggested method", {"shape": shape, "method": method.value})
