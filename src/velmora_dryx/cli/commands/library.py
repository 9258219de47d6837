"""library: fine-tunes of a base model stored as compressed deltas."""

from __future__ import annotations

import argparse
import time

import numpy as np

from velmora_dryx.cli import options, sources
from velmora_dryx.cli.errors import CliError, about, describe
from velmora_dryx.cli.output import Output, count, mib

NAME = "library"
HELP = "store fine-tunes of a base model as compressed deltas"

PPL_NEEDS = ("torch", "transformers", "datasets")
DEFAULT_MAX_TOKENS = 4096


def configure(p: argparse.ArgumentParser) -> None:
    options.add_sources(p, "base", "BASE", what="the base model: ")
    p.add_argument(
        "finetunes", metavar="FINETUNE", nargs="+", help="fine-tunes of the base, sources as BASE"
    )
    options.add_rank_options(p, options.METHODS, "tt", energy=True)
    p.add_argument(
        "--ppl",
        action="store_true",
        help="also report WikiText-2 perplexity (Hugging Face model directories only)",
    )
    options.add_count(p, "--max-tokens", 2, None, "tokens scored by --ppl", DEFAULT_MAX_TOKENS)


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    options.check_rank_options(p, args)
    options.check_unique(p, args.finetunes, "FINETUNE")
    if args.max_tokens is not None and not args.ppl:
        p.error("--max-tokens applies to --ppl only")
    if args.max_tokens is None:
        args.max_tokens = DEFAULT_MAX_TOKENS


def run(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import kestrine, tamsel

    if args.ppl:
        sources.require(PPL_NEEDS, "--ppl")
    base_source = sources.resolve(args.base, out)
    tunes = sources.resolve_all(args.finetunes, out)
    if args.ppl:
        for s in (base_source, *tunes):
            check_model_directory(s, "--ppl")
    with out.step(f"loading {args.base}"):
        base = sources.floating_only(base_source.load(), args.base, out)
    if not base:
        raise CliError(f"{args.base}: no floating-point tensors to take deltas from")
    lib = tamsel.ModelLibrary(
        args.base,
        base,
        method=kestrine.CompressionMethod(args.method),
        max_rank=args.max_rank,
        energy=args.energy,
    )
    finetunes, rows, mismatches = {}, [], {}
    for source in out.progress(tunes, "adding fine-tunes"):
        sd = sources.floating_only(source.load(), source.text, out)
        mismatches[source.text] = _compare(source.text, args.base, base, sd, out)
        t0 = time.perf_counter()
        try:
            if args.energy is None and args.method in ("svd", "tucker"):
                delta = _add_with_rank_ratio(lib, source.text, sd, args.method, args.rank_ratio)
            else:
                delta = lib.add_finetune(source.text, sd)
        except Exception as exc:
            raise CliError(f"{source.text}: {_culprit(base, sd)}{describe(exc)}") from exc
        seconds = time.perf_counter() - t0
        err = tamsel.reconstruction_error(lib.reconstruct(source.text), sd)
        rows.append(
            [
                source.text,
                len(delta.tensors),
                mib(tamsel._nbytes(sd)),
                mib(delta.stored_bytes()),
                err,
                seconds,
            ]
        )
        # Only the sizes are needed from here on: zero-stride stand-ins keep one fine-tune
        # in memory at a time.
        finetunes[source.text] = {
            k: np.broadcast_to(np.zeros((), v.dtype), v.shape) for k, v in sd.items()
        }
        del sd
    out.data("settings", options.rank_settings(args))
    out.table(
        "finetunes",
        f"Fine-tunes of {args.base} ({options.method_label(args)})",
        ["fine-tune", "tensors", "full MiB", "stored MiB", "rel. error", "seconds"],
        rows,
    )
    out.data("tensor_mismatches", {k: v for k, v in mismatches.items() if v})
    out.mapping("summary", "Library summary", lib.summary(finetunes))
    if args.ppl:
        _perplexities(args, out, lib, base_source, tunes, base)


def check_model_directory(source: sources.Source, purpose: str) -> None:
    """Perplexity loads the model from its directory: weights, config.json and tokenizer."""
    if not source.is_model_directory:
        raise CliError(f"{source.text}: {purpose} needs a Hugging Face model directory")
    if not (source.path / "config.json").is_file():
        raise CliError(f"{source.text}: {purpose} needs config.json beside the weights")


def _compare(name: str, base_name: str, base: dict, sd: dict, out: Output) -> dict:
    """Missing and extra tensors (warned about); refuses a model that is no fine-tune."""
    shared = [k for k in sd if k in base]
    if not shared:
        raise CliError(
            f"{name}: shares no tensor with the base {base_name}; is it a fine-tune of it?"
        )
    mismatched = [k for k in shared if sd[k].shape != base[k].shape]
    if mismatched:
        raise CliError(
            f"{name}: {count(len(mismatched), 'tensor')} differ in shape from the base "
            f"(first: {mismatched[0]}); is it a fine-tune of {base_name}?"
        )
    missing = sorted(k for k in base if k not in sd)
    extra = sorted(k for k in sd if k not in base)
    if missing:
        out.warn(
            f"{name}: lacks {count(len(missing), 'tensor')} of the base (first: {missing[0]}); "
            "they are not part of the stored fine-tune"
        )
    if extra:
        out.warn(
            f"{name}: carries {count(len(extra), 'tensor')} not in the base (first: {extra[0]}); "
            "they are stored compressed as they are, not as deltas"
        )
    return {"missing": missing, "extra": extra} if missing or extra else {}


def _culprit(base: dict, sd: dict) -> str:
    """Names the first tensor holding NaN or infinity, the usual reason a factorization fails."""
    for name, w in sd.items():
        for t in (w, base.get(name)):
            if t is not None and not np.isfinite(t).all():
                return f"tensor {name} holds NaN or infinite values: "
    return ""


def _add_with_rank_ratio(lib, model_id: str, sd: dict, method: str, rank_ratio: float):
    """The library's add_finetune with the rank ratio of svd and tucker given: the float32
    delta of each tensor from the base, lossless below two dimensions."""
    from velmora_dryx import kestrine, tamsel

    tensors = {}
    for name, w in sd.items():
        b = lib.base.get(name)
        delta = np.asarray(w, np.float32) if b is None else np.subtract(w, b, dtype=np.float32)
        how = "none" if delta.ndim < 2 else method
        tensors[name] = kestrine.compress(delta, how, rank_ratio=rank_ratio)
        del delta
    record = tamsel.CompressedDelta(model_id, tensors, lib.base_id)
    lib.deltas[model_id] = record
    return record


def _perplexities(args, out: Output, lib, base_source, tunes, base) -> None:
    from velmora_dryx import lornet

    sources.quiet_hub(out)

    def ppl(source, weights):
        with about(source.text):
            return lornet.perplexity_from_state_dict(
                source.path, weights, max_tokens=args.max_tokens
            )

    with out.step(f"perplexity of {args.base}"):
        rows = [["base", ppl(base_source, base)]]
    for source in out.progress(tunes, "perplexity"):
        weights = source.load()
        rows.append([source.text, ppl(source, weights)])
        del weights
        rows.append([source.text + " (reconstructed)", ppl(source, lib.reconstruct(source.text))])
    out.table("perplexity", "WikiText-2 perplexity", ["model", "perplexity"], rows)
