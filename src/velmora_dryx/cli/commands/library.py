"""library: fine-tunes of a base model stored as compressed deltas."""

from __future__ import annotations

import argparse
import time

import numpy as np

from velmora_dryx import store, tamsel
from velmora_dryx.cli import options, sources, store_support
from velmora_dryx.cli.commands import ppl
from velmora_dryx.cli.errors import CliError, describe
from velmora_dryx.cli.output import Output, count, mib, warm_up

NAME = "library"
HELP = "store fine-tunes of a base model as compressed deltas"

DEFAULT_MAX_TOKENS = 4096


def configure(p: argparse.ArgumentParser) -> None:
    options.add_sources(p, "base", "BASE", what="the base model: ")
    p.add_argument(
        "finetunes", metavar="FINETUNE", nargs="+", help="fine-tunes of the base, sources as BASE"
    )
    options.add_rank_options(p, options.METHODS, "tt", store="new")
    p.add_argument(
        "--ppl",
        action="store_true",
        help="also report perplexity (Hugging Face model directories or GGUF sources)",
    )
    options.add_count(p, "--max-tokens", 2, None, "tokens scored by --ppl", DEFAULT_MAX_TOKENS)
    ppl.add_text(p)
    store_support.add_save(p)


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    args.settings = options.check_settings(p, args)
    settings = args.settings
    if args.save is None and (settings.bits != 32 or settings.spends or settings.method == "exact"):
        p.error(
            "--bits, --budget, --target-error and --method exact apply to saved libraries "
            "(--save DIR)"
        )
    options.check_unique(p, args.finetunes, "FINETUNE")
    for flag, value in (("--max-tokens", args.max_tokens), ("--text", args.text)):
        if value is not None and not args.ppl:
            p.error(f"{flag} applies to --ppl only")
    if args.max_tokens is None:
        args.max_tokens = DEFAULT_MAX_TOKENS
    store_support.check_save(p, args)


def run(args: argparse.Namespace, out: Output) -> None:
    if args.ppl:
        sources.require(ppl.needs(args.text), "--ppl")
    base_source = sources.resolve(args.base, out)
    tunes = sources.resolve_all(args.finetunes, out)
    models = [ppl.perplexity_model(s, "--ppl") for s in (base_source, *tunes)] if args.ppl else []
    if args.ppl:
        ppl.check_wikitext(out, args.text)
    if args.save is not None:
        store_support.save(args, out, base_source, tunes)
        if args.ppl:
            stored = [f["name"] for f in store.library_info(args.save)["finetunes"]]
            ppl.library_perplexities(
                args, out, list(zip((base_source, *tunes), models, strict=True)), None, stored
            )
        return
    with out.step(f"loading {args.base}"):
        base = sources.floating_only(base_source.load(), args.base, out)
    if not base:
        raise CliError(f"{args.base}: no floating-point tensors to take deltas from")
    settings = args.settings
    lib = tamsel.ModelLibrary(args.base, base, **settings.library_fields())
    finetunes, rows, mismatches = {}, [], {}
    warm_up()
    for source in out.progress(tunes, "adding fine-tunes"):
        sd = sources.floating_only(source.load(), source.text, out)
        # Only the sizes (in the source's own dtypes) are needed beyond this loop:
        # zero-stride stand-ins keep one fine-tune in memory at a time.
        finetunes[source.text] = _as_stored(sd, source.itemsizes())
        mismatches[source.text] = _compare(source.text, args.base, base, sd, out)
        t0 = time.perf_counter()
        try:
            delta = _add(lib, source.text, sd, settings)
        except Exception as exc:
            raise CliError(f"{source.text}: {_culprit(base, sd)}{describe(exc)}") from exc
        seconds = time.perf_counter() - t0
        err = tamsel.reconstruction_error(lib.reconstruct(source.text), sd)
        rows.append(
            [
                source.text,
                len(delta.tensors),
                mib(lib.naive_bytes({source.text: finetunes[source.text]})),
                mib(delta.stored_bytes()),
                err,
                seconds,
            ]
        )
        del sd
    out.data("settings", settings.shown())
    out.table(
        "finetunes",
        f"Fine-tunes of {args.base} ({settings.label})",
        ["fine-tune", "tensors", "full MiB", "stored MiB", "rel. error", "seconds"],
        rows,
    )
    out.data("tensor_mismatches", {k: v for k, v in mismatches.items() if v})
    # Bytes in full are the sources' own (a bfloat16 model takes 2 bytes per parameter).
    sized = tamsel.ModelLibrary(lib.base_id, _as_stored(base, base_source.itemsizes()), lib.deltas)
    s = sized.summary(finetunes)
    out.mapping(
        "summary",
        "Library summary",
        store_support.summary(
            s["n_models"], s["base_bytes"], s["naive_total_bytes"], s["delta_only_bytes"]
        ),
    )
    if args.ppl:
        pairs = list(zip((base_source, *tunes), models, strict=True))
        ppl.library_perplexities(args, out, pairs, base, lib.reconstruct)


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
            f"{name}: {count(len(mismatched), 'tensor')} "
            f"{'differs' if len(mismatched) == 1 else 'differ'} in shape from the base "
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


def _as_stored(sd: dict, itemsizes: dict[str, int]) -> dict:
    """Zero-stride stand-ins of a state dict's tensors taking the bytes per element their
    source stores them in (as loaded where the source does not say)."""
    return {
        k: np.broadcast_to(np.zeros((), (np.void, itemsizes.get(k, v.itemsize))), v.shape)
        for k, v in sd.items()
    }


def _culprit(base: dict, sd: dict) -> str:
    """Names the first tensor holding NaN or infinity, the usual reason a factorization fails."""
    for name, w in sd.items():
        for t in (w, base.get(name)):
            if t is not None and not np.isfinite(t).all():
                return f"tensor {name} holds NaN or infinite values: "
    return ""


def _add(lib, model_id: str, sd: dict, settings):
    """The library's add_finetune with every setting applied (the rank ratio of svd and Tucker
    included, which the library's own fields do not hold)."""
    tensors = {
        name: tamsel._delta_record(lib.base.get(name), w, settings) for name, w in sd.items()
    }
    record = tamsel.CompressedDelta(model_id, tensors, lib.base_id)
    lib.deltas[model_id] = record
    return record
