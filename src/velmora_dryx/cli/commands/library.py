"""library: fine-tunes of a base model stored as compressed deltas."""

from __future__ import annotations

import argparse
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from velmora_dryx import lornet, tamsel
from velmora_dryx.cli import options, sources, store_support
from velmora_dryx.cli.errors import CliError, about, describe
from velmora_dryx.cli.output import Output, count, mib, warm_up

NAME = "library"
HELP = "store fine-tunes of a base model as compressed deltas"

PPL_NEEDS = ("torch", "transformers", "datasets")
WIKITEXT = ("Salesforce/wikitext", "wikitext-2-raw-v1")  # the text perplexity scores
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
        help="also report WikiText-2 perplexity (Hugging Face model directories or GGUF sources)",
    )
    options.add_count(p, "--max-tokens", 2, None, "tokens scored by --ppl", DEFAULT_MAX_TOKENS)
    store_support.add_save(p)


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    options.check_rank_options(p, args)
    codecs = args.bits not in (None, 32) or args.budget or args.target_error
    if args.save is None and (codecs or args.method == "exact"):
        p.error(
            "--bits, --budget, --target-error and --method exact apply to saved libraries "
            "(--save DIR)"
        )
    options.check_unique(p, args.finetunes, "FINETUNE")
    if args.max_tokens is not None and not args.ppl:
        p.error("--max-tokens applies to --ppl only")
    if args.max_tokens is None:
        args.max_tokens = DEFAULT_MAX_TOKENS
    store_support.check_save(p, args)


def run(args: argparse.Namespace, out: Output) -> None:
    if args.save is not None:
        store_support.save(args, out)
        return
    if args.ppl:
        sources.require(PPL_NEEDS, "--ppl")
    base_source = sources.resolve(args.base, out)
    tunes = sources.resolve_all(args.finetunes, out)
    models = [perplexity_model(s, "--ppl") for s in (base_source, *tunes)] if args.ppl else []
    if args.ppl:
        check_wikitext(out)
    with out.step(f"loading {args.base}"):
        base = sources.floating_only(base_source.load(), args.base, out)
    if not base:
        raise CliError(f"{args.base}: no floating-point tensors to take deltas from")
    settings = options.settings(args)
    lib = tamsel.ModelLibrary(args.base, base, **settings.library_fields())
    finetunes, rows, mismatches = {}, [], {}
    warm_up()
    for source in out.progress(tunes, "adding fine-tunes"):
        sd = sources.floating_only(source.load(), source.text, out)
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
                mib(lib.naive_bytes({source.text: sd})),
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
        _perplexities(args, out, lib, zip((base_source, *tunes), models, strict=True), base)


def perplexity_model(source: sources.Source, purpose: str):
    """What perplexity needs of a source, checked before any work. Perplexity loads the
    model from a directory (weights, config.json and tokenizer): a Hugging Face model
    directory is used as it is (None is returned); a GGUF file is opened as a GgufModel,
    which writes one, refused when transformers cannot load its architecture."""
    if source.kind == "gguf":
        from velmora_dryx.gguf_model import GgufModel, UnsupportedArchitecture

        with about(source.text):
            try:
                return GgufModel(source.path)
            except UnsupportedArchitecture as exc:
                raise CliError(f"{source.text}: {purpose} unavailable: {exc}") from exc
    if not source.is_model_directory:
        raise CliError(
            f"{source.text}: {purpose} needs a Hugging Face model directory or a GGUF file"
        )
    if not (source.path / "config.json").is_file():
        raise CliError(f"{source.text}: {purpose} needs config.json beside the weights")
    return None


def check_wikitext(out: Output) -> None:
    """Loads WikiText-2 (from the cache, or the hub) before any work, so that a dataset out
    of reach is named as such, not taken for a fault of the model being scored."""
    import datasets

    sources.quiet_hub(out)
    try:
        with out.step("loading WikiText-2"):
            datasets.load_dataset(*WIKITEXT, split="test")
    except MemoryError:
        raise
    except Exception as exc:
        why = sources.hub_failure(exc)
        raise CliError(f"perplexity needs WikiText-2 ({WIKITEXT[0]}), and {why}") from exc


@contextmanager
def model_directory(source: sources.Source, model, tensors=None) -> Iterator[Path]:
    """The model directory perplexity loads: the source's own, or a temporary one written
    from its GGUF file (`model`), holding `tensors` (GGUF names) or the file's weights."""
    if model is None:
        yield source.path
        return
    with model.model_directory(tensors) as directory:
        yield directory


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


def _perplexities(args, out: Output, lib, models, base) -> None:
    """Perplexity of the base, each fine-tune and its reconstruction; `models` pairs each
    source (the base first) with its GgufModel, or None for a model directory."""
    sources.quiet_hub(out)

    def ppl(directory, weights):
        return lornet.perplexity_from_state_dict(directory, weights, max_tokens=args.max_tokens)

    (base_source, base_model), *tunes = models
    with out.step(f"perplexity of {args.base}"), about(base_source.text):
        if base_model is None:
            rows = [["base", ppl(base_source.path, base)]]
        else:
            # A shallow copy: writing empties it, and the library keeps the base.
            with model_directory(base_source, base_model, dict(base)) as directory:
                rows = [["base", ppl(directory, None)]]
    for source, model in out.progress(tunes, "perplexity"):
        with about(source.text):
            if model is None:
                weights = source.load()
                rows.append([source.text, ppl(source.path, weights)])
                del weights
                rebuilt = lib.reconstruct(source.text)
                rows.append([source.text + " (reconstructed)", ppl(source.path, rebuilt)])
                continue
            with model_directory(source, model) as directory:
                rows.append([source.text, ppl(directory, None)])
                rebuilt = model.hf_state_dict(lib.reconstruct(source.text))
                rows.append([source.text + " (reconstructed)", ppl(directory, rebuilt)])
            del rebuilt
    out.table("perplexity", "WikiText-2 perplexity", ["model", "perplexity"], rows)
