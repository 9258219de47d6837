"""suggest: a compression method for a tensor shape."""

from __future__ import annotations

import argparse

from velmora_dryx import kestrine
from velmora_dryx.cli import options
from velmora_dryx.cli.output import Output

NAME = "suggest"
HELP = "suggest a compression method for a tensor shape"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "shape", metavar="SHAPE", type=options.shape, help="extents joined by x, e.g. 768x3072"
    )


def run(args: argparse.Namespace, out: Output) -> None:
    method = kestrine.suggest_method(args.shape.extents)
    out.mapping(
        "suggestion",
        "Suggested method",
        {"shape": args.shape.text, "method": method.value},
    )
