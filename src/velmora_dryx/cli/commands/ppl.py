"""ppl: perplexity of a Hugging Face model, a GGUF file or a fine-tune stored in a saved
library, on WikiText-2 or the user's own text; and the perplexity helpers of `library --ppl`.

Perplexity runs a transformers model from a model directory: a Hugging Face model directory
is used as it is, a GGUF file is written to a temporary one (``GgufModel``), and a stored
fine-tune is rebuilt into a temporary one by the library's export. The text is WikiText-2's
test split unless ``--text FILE`` names another, tokenized by each model's own tokenizer.
"""

from __future__ import annotations

import argparse
import shutil
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import NamedTuple

from velmora_dryx import export, lornet, store
from velmora_dryx.cli import options, sources, store_support
from velmora_dryx.cli.errors import CliError, about
from velmora_dryx.cli.output import Output

NAME = "ppl"
HELP = "perplexity of a model or a stored fine-tune, on WikiText-2 or your own text"

PPL_NEEDS = ("torch", "transformers", "datasets")
WIKITEXT = "WikiText-2"
WIKITEXT_DATASET = ("Salesforce/wikitext", "wikitext-2-raw-v1")  # the text perplexity scores


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "model",
        metavar="MODEL",
        help="a Hugging Face model directory or repository id, a .gguf file, ollama:NAME, "
        "lmstudio:NAME, or DIR:NAME for fine-tune NAME of the saved library DIR",
    )
    options.add_count(p, "--max-tokens", 2, 4096, "tokens scored")
    options.add_count(p, "--window", 2, 1024, "tokens the model sees at once")
    options.add_count(p, "--stride", 1, 512, "tokens between window starts, at most --window")
    add_text(p)


def add_text(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--text",
        default=None,
        metavar="FILE",
        help=f"measure on this UTF-8 text file instead of {WIKITEXT} (offline)",
    )


def check(p: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.stride > args.window:
        p.error(
            f"--stride {args.stride} exceeds --window {args.window}: "
            "the tokens between windows would go unscored"
        )


def needs(text: str | None) -> tuple[str, ...]:
    """The packages perplexity needs: WikiText-2 comes through `datasets`."""
    return PPL_NEEDS if text is None else tuple(m for m in PPL_NEEDS if m != "datasets")


def run(args: argparse.Namespace, out: Output) -> None:
    sources.require(needs(args.text), "perplexity")
    stored = stored_finetune(args.model)
    if stored is None:
        source = sources.resolve(args.model, out)
        model = perplexity_model(source, "perplexity")
    else:
        check_stored(stored, "perplexity")
    check_wikitext(out, args.text)
    with (
        evaluation_text(args.text) as text,
        out.step(f"perplexity of {args.model}"),
        about(args.model),
        stored_directory(stored) if stored else model_directory(source, model) as directory,
    ):
        ppl = lornet.perplexity_from_state_dict(
            directory, None, max_tokens=args.max_tokens, window=args.window, stride=args.stride
        )
    out.mapping(
        "perplexity", f"{text} perplexity", {"model": args.model, "text": text, "perplexity": ppl}
    )


# ---- the text ---------------------------------------------------------------------------


def check_wikitext(out: Output, text: str | None) -> None:
    """Loads WikiText-2 (from the cache, or the hub) before any work, so that a dataset out
    of reach is named as such, not taken for a fault of the model being scored; nothing
    when the text is the user's own (`text`)."""
    sources.quiet_hub(out)
    if text is not None:
        return
    import datasets

    try:
        with out.step("loading WikiText-2"):
            datasets.load_dataset(*WIKITEXT_DATASET, split="test")
    except MemoryError:
        raise
    except Exception as exc:
        why = sources.hub_failure(exc)
        raise CliError(f"perplexity needs WikiText-2 ({WIKITEXT_DATASET[0]}), and {why}") from exc


@contextmanager
def evaluation_text(path: str | None) -> Iterator[str]:
    """The text perplexity runs on while the block lasts, by its name: WikiText-2, or the
    file's content in place of it. The evaluation reads its token ids through the perplexity
    module's `_load_wikitext_ids`, which Python code may replace; it is put back afterwards."""
    if path is None:
        yield WIKITEXT
        return
    try:
        text = Path(path).expanduser().read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{path}: not UTF-8 text") from None
    except OSError as exc:
        raise CliError(f"{path}: {(exc.strerror or str(exc)).lower()}") from None
    if not text.strip():
        raise CliError(f"{path}: no text to measure perplexity on")

    def token_ids(model_dir, max_tokens):
        from transformers import AutoTokenizer

        tokenizer = AutoTokenizer.from_pretrained(str(model_dir))
        ids = tokenizer(text, return_tensors="pt").input_ids[0]
        if len(ids) < 2:
            raise CliError(f"{path}: {len(ids)} token; perplexity needs at least 2")
        if max_tokens and len(ids) > max_tokens:
            ids = ids[:max_tokens]
        return ids

    wikitext = lornet._load_wikitext_ids
    lornet._load_wikitext_ids = token_ids
    try:
        yield path
    finally:
        lornet._load_wikitext_ids = wikitext


# ---- models -------------------------------------------------------------------------------


class Stored(NamedTuple):
    """A fine-tune of a saved library, named DIR:NAME."""

    library: Path
    name: str

    @property
    def text(self) -> str:
        return f"{self.library}:{self.name}"


def stored_finetune(text: str) -> Stored | None:
    """DIR:NAME where DIR is a saved library (the first colon after which the text names
    one); None for anything else."""
    for i, c in enumerate(text):
        if c == ":" and i:
            head = Path(text[:i]).expanduser()
            if (head / "manifest.json").is_file():
                return Stored(head, text[i + 1 :])
    return None


def check_stored(stored: Stored, purpose: str) -> None:
    """Refuses, before any work, a fine-tune the library lacks or cannot make a model of."""
    with store_support.library_errors():
        info = store.library_info(stored.library)
    names = [f["name"] for f in info["finetunes"]]
    if stored.name not in names:
        raise CliError(
            f"{stored.text}: no fine-tune {stored.name!r} in the library "
            f"(it holds: {', '.join(map(repr, names)) or 'none'})"
        )
    if not any(Path(f).name == "config.json" for f in info["model_files"]):
        raise CliError(
            f"{stored.text}: {purpose} needs the base's config.json and tokenizer, which the "
            "library does not keep (build it from a Hugging Face model directory or a GGUF "
            "file transformers can load)"
        )


@contextmanager
def stored_directory(stored: Stored) -> Iterator[Path]:
    """The stored fine-tune rebuilt into a temporary model directory, removed afterwards."""
    tmp = Path(tempfile.mkdtemp(prefix="velmora-dryx-ppl-"))
    try:
        with store_support.library_errors():
            report = export.export_finetune(stored.library, stored.name, tmp / "model")
        if report["note"] is not None:
            raise CliError(f"{stored.text}: {report['note']}")
        yield tmp / "model"
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


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


@contextmanager
def model_directory(source: sources.Source, model, tensors=None) -> Iterator[Path]:
    """The model directory perplexity loads: the source's own, or a temporary one written
    from its GGUF file (`model`), holding `tensors` (GGUF names) or the file's weights."""
    if model is None:
        yield source.path
        return
    with model.model_directory(tensors) as directory:
        yield directory


# ---- library --ppl --------------------------------------------------------------------------


def library_perplexities(args, out: Output, models, base, kept) -> None:
    """Perplexity of the base, of each fine-tune, and of each as the library keeps it.
    `models` pairs each source (the base first) with its GgufModel, or None for a model
    directory. In memory, `base` is the library's base and `kept` its `reconstruct`; for a
    saved library (`args.save`), `base` is None and `kept` lists the stored names in the
    fine-tunes' order."""
    sources.quiet_hub(out)

    def ppl(directory, weights=None):
        return lornet.perplexity_from_state_dict(directory, weights, max_tokens=args.max_tokens)

    (base_source, base_model), *tunes = models
    with evaluation_text(args.text) as text:
        with out.step(f"perplexity of {args.base}"), about(base_source.text):
            if base_model is None:
                rows = [["base", ppl(base_source.path, base)]]
            else:
                # A shallow copy: writing empties it, and the library keeps the base.
                weights = None if base is None else dict(base)
                with model_directory(base_source, base_model, weights) as directory:
                    rows = [["base", ppl(directory)]]
        for i, (source, model) in enumerate(out.progress(tunes, "perplexity")):
            with about(source.text):
                if base is None:
                    rows += _stored_rows(Stored(Path(args.save), kept[i]), source, model, ppl)
                else:
                    rows += _reconstructed_rows(source, model, ppl, kept)
    out.data("text", text)
    out.table("perplexity", f"{text} perplexity", ["model", "perplexity"], rows)


def _stored_rows(stored: Stored, source, model, ppl) -> list[list]:
    with model_directory(source, model) as directory:
        rows = [[source.text, ppl(directory)]]
    with stored_directory(stored) as directory:
        rows.append([source.text + " (stored)", ppl(directory)])
    return rows


def _reconstructed_rows(source, model, ppl, reconstruct) -> list[list]:
    if model is None:
        weights = source.load()
        rows = [[source.text, ppl(source.path, weights)]]
        del weights
        rows.append([source.text + " (reconstructed)", ppl(source.path, reconstruct(source.text))])
        return rows
    with model_directory(source, model) as directory:
        rows = [[source.text, ppl(directory)]]
        rebuilt = model.hf_state_dict(reconstruct(source.text))
        rows.append([source.text + " (reconstructed)", ppl(directory, rebuilt)])
    return rows
