"""ppl: WikiText-2 perplexity of a Hugging Face model or a GGUF file."""

from __future__ import annotations

import argparse

from velmora_dryx import lornet
from velmora_dryx.cli import options, sources
from velmora_dryx.cli.commands.library import (
    PPL_NEEDS,
    check_wikitext,
    model_directory,
    perplexity_model,
)
from velmora_dryx.cli.errors import about
from velmora_dryx.cli.output import Output

NAME = "ppl"
HELP = "WikiText-2 perplexity of a Hugging Face model or a GGUF file"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "model",
        metavar="MODEL",
        help="a Hugging Face model directory or repository id, a .gguf file, ollama:NAME "
        "or lmstudio:NAME",
    )
    options.add_count(p, "--max-tokens", 2, 4096, "tokens scored")
    options.add_count(p, "--window", 2, 1024, "tokens the model sees at once")
    options.add_count(p, "--stride", 1, 512, "tokens between window starts, at most --window")


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.stride > args.window:
        p.error(
            f"--stride {args.stride} exceeds --window {args.window}: "
            "the tokens between windows would go unscored"
        )


def run(args: argparse.Namespace, out: Output) -> None:
    sources.require(PPL_NEEDS, "perplexity")
    source = sources.resolve(args.model, out)
    model = perplexity_model(source, "perplexity")
    check_wikitext(out)
    with (
        out.step(f"perplexity of {args.model}"),
        about(args.model),
        model_directory(source, model) as directory,
    ):
        ppl = lornet.perplexity_from_state_dict(
            directory, None, max_tokens=args.max_tokens, window=args.window, stride=args.stride
        )
    out.mapping("perplexity", "WikiText-2 perplexity", {"model": args.model, "perplexity": ppl})
