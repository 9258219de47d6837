"""ppl: WikiText-2 perplexity of a Hugging Face model."""

from __future__ import annotations

import argparse

from velmora_dryx.cli import sources
from velmora_dryx.cli.errors import CliError
from velmora_dryx.cli.output import Output

NAME = "ppl"
HELP = "WikiText-2 perplexity of a Hugging Face model"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("model", metavar="MODEL", help="a model directory or repository id")
    p.add_argument("--max-tokens", type=int, default=4096)
    p.add_argument("--window", type=int, default=1024)
    p.add_argument("--stride", type=int, default=512)


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import lornet

    kind, path = sources.resolve_source(args.model)
    if kind != "hf":
        raise CliError(f"{args.model}: perplexity needs a Hugging Face model directory")
    ppl = lornet.perplexity_from_state_dict(
        path, None, max_tokens=args.max_tokens, window=args.window, stride=args.stride
    )
    out.mapping("perplexity", "WikiText-2 perplexity", {"model": args.model, "perplexity": ppl})
