"""ppl: WikiText-2 perplexity of a Hugging Face model."""

from __future__ import annotations

import argparse

from velmora_dryx.cli import options, sources
from velmora_dryx.cli.commands.library import PPL_NEEDS, check_model_directory
from velmora_dryx.cli.output import Output

NAME = "ppl"
HELP = "WikiText-2 perplexity of a Hugging Face model"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument("model", metavar="MODEL", help="a Hugging Face model directory or repository id")
    p.add_argument(
        "--max-tokens",
        type=options.whole(2),
        default=4096,
        metavar="N",
        help="tokens scored, >= 2 (default 4096)",
    )
    p.add_argument(
        "--window",
        type=options.whole(2),
        default=1024,
        metavar="N",
        help="tokens the model sees at once, >= 2 (default 1024)",
    )
    p.add_argument(
        "--stride",
        type=options.whole(1),
        default=512,
        metavar="N",
        help="tokens between window starts, from 1 to --window (default 512)",
    )


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.stride > args.window:
        p.error(
            f"--stride {args.stride} exceeds --window {args.window}: "
            "the tokens between windows would go unscored"
        )


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import lornet

    sources.require(PPL_NEEDS, "perplexity")
    source = sources.resolve(args.model, out)
    check_model_directory(source, "perplexity")
    sources.quiet_hub(out)
    with out.step(f"perplexity of {args.model}"):
        ppl = lornet.perplexity_from_state_dict(
            source.path, None, max_tokens=args.max_tokens, window=args.window, stride=args.stride
        )
    out.mapping("perplexity", "WikiText-2 perplexity", {"model": args.model, "perplexity": ppl})
