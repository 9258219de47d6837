"""velmora-dryx: store many fine-tunes of one base model cheaply and see what it costs."""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
import traceback
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

import numpy as np

PROG = "velmora-dryx"


class CliError(Exception):
    """A user-facing error: printed as one line, exit status 1."""


# ---------------------------------------------------------------------------------------
# Output


class Output:
    """Tables and progress on a rich console, or one JSON document with --json."""

    def __init__(self, as_json: bool) -> None:
        from rich.console import Console

        self.as_json = as_json
        self.console = Console(highlight=False, soft_wrap=False)
        self.err = Console(stderr=True, highlight=False, soft_wrap=True)
        self.document: dict[str, Any] = {}

    def table(self, key: str, title: str, columns: list[str], rows: list[list[Any]]) -> None:
        if self.as_json:
            self.document[key] = [dict(zip(columns, row, strict=True)) for row in rows]
            return
        from rich.table import Table

        self.console.print(f"[bold]{title}[/bold]")
        if not rows:
            return
        t = Table()
        for i, c in enumerate(columns):
            t.add_column(c, justify="left" if i == 0 else "right")
        for row in rows:
            t.add_row(*(_cell(v) for v in row))
        self.console.print(t)
        self.console.print()

    def mapping(self, key: str, title: str, values: dict[str, Any]) -> None:
        if self.as_json:
            self.document[key] = values
            return
        self.table(key, title, ["figure", "value"], [[k, v] for k, v in values.items()])

    def note(self, text: str) -> None:
        if not self.as_json:
            self.console.print(text)

    def warn(self, text: str) -> None:
        self.err.print(f"[yellow]{PROG}: warning:[/yellow] {text}")

    def progress(self, items: Iterable[Any], description: str, total: int | None = None):
        """Iterate with a transient progress bar on stderr."""
        from rich.progress import (
            BarColumn,
            MofNCompleteColumn,
            Progress,
            TextColumn,
            TimeElapsedColumn,
        )

        items = list(items) if total is None else items
        total = len(items) if total is None else total
        if not self.err.is_terminal:
            yield from items
            return
        with Progress(
            TextColumn("{task.description}"),
            BarColumn(),
            MofNCompleteColumn(),
            TimeElapsedColumn(),
            console=self.err,
            transient=True,
        ) as bar:
            task = bar.add_task(description, total=total)
            for item in items:
                yield item
                bar.advance(task)

    def finish(self) -> None:
        if self.as_json:
            print(json.dumps(self.document, indent=2, default=_json_default))


def _json_default(o: Any) -> Any:
    if isinstance(o, np.integer):
        return int(o)
    if isinstance(o, np.floating):
        return float(o)
    if isinstance(o, (tuple, Path)):
        return list(o) if isinstance(o, tuple) else str(o)
    return str(o)


def _cell(v: Any) -> str:
    if isinstance(v, float):
        if math.isinf(v) or math.isnan(v):
            return str(v)
        if v != 0 and (abs(v) < 1e-3 or abs(v) >= 1e6):
            return f"{v:.3e}"
        return f"{v:.4f}" if abs(v) < 10 else f"{v:,.2f}"
    if isinstance(v, int) and not isinstance(v, bool):
        return f"{v:,}"
    return str(v)


def mib(n: int) -> float:
    return n / 2**20


# ---------------------------------------------------------------------------------------
# Sources: where weights come from


def _is_repo_id(source: str) -> bool:
    parts = source.split("/")
    return len(parts) == 2 and all(parts) and not source.startswith((".", "/", "~"))


def resolve_source(source: str) -> tuple[str, Path]:
    """(kind, path) for a source: "hf" (a safetensors directory) or "gguf" (a file)."""
    from velmora_dryx import bramwick

    if source.startswith("ollama:"):
        return "gguf", bramwick.find_ollama_blob(source[len("ollama:") :])
    if source.startswith("lmstudio:"):
        return "gguf", bramwick.find_lmstudio_model(source[len("lmstudio:") :])
    path = Path(source).expanduser()
    if path.is_dir():
        if not any(path.glob("*.safetensors")):
            raise CliError(f"{source}: no *.safetensors weight shards in this directory")
        return "hf", path
    if path.is_file():
        if path.suffix.lower() == ".gguf":
            return "gguf", path
        raise CliError(
            f"{source}: not a model source (expected a model directory with *.safetensors "
            "shards, a .gguf file, ollama:NAME, lmstudio:NAME or a Hugging Face repository id)"
        )
    if _is_repo_id(source):
        from velmora_dryx import lornet

        return "hf", lornet.snapshot(source)
    raise CliError(f"{source}: no such file or directory")


def load_source(source: str) -> tuple[str, Path, dict[str, np.ndarray]]:
    kind, path = resolve_source(source)
    if kind == "gguf":
        from velmora_dryx import bramwick

        return kind, path, bramwick.load_gguf_tensors(path)
    from velmora_dryx import lornet

    return kind, path, lornet.load_state_dict_numpy_safe(path)


def floating_only(sd: dict[str, np.ndarray], source: str, out: Output) -> dict[str, np.ndarray]:
    """The floating-point tensors of a state dict (GGUF quantized ones are raw bytes)."""
    kept = {k: v for k, v in sd.items() if v.dtype.kind == "f"}
    if len(kept) < len(sd):
        out.warn(
            f"{source}: skipped {len(sd) - len(kept)} quantized or integer tensors "
            "(they load as raw bytes; deltas need floating-point weights)"
        )
    return kept


def parse_method(text: str):
    from velmora_dryx import kestrine

    try:
        return kestrine.CompressionMethod(text)
    except ValueError:
        names = ", ".join(m.value for m in kestrine.CompressionMethod)
        raise CliError(f"unknown method {text!r} (choose from {names})") from None


# ---------------------------------------------------------------------------------------
# The built-in demo


def synthetic_family(rng: np.random.Generator, n_finetunes: int = 3):
    """A small transformer-shaped base model and fine-tunes of it.

    Each fine-tune adds low-rank updates plus small dense noise to the attention query and
    value projections and the MLP input (as adapter-style training does) and nudges the
    norms; embeddings and the remaining matrices stay those of the base.
    """
    vocab, hidden, mlp, layers = 4096, 256, 1024, 4
    base: dict[str, np.ndarray] = {}

    def w(*shape):
        return (rng.standard_normal(shape) / np.sqrt(shape[-1])).astype(np.float32)

    base["embed_tokens.weight"] = w(vocab, hidden)
    for i in range(layers):
        p = f"layers.{i}."
        for name in ("q_proj", "k_proj", "v_proj", "o_proj"):
            base[p + f"attn.{name}.weight"] = w(hidden, hidden)
        base[p + "mlp.up_proj.weight"] = w(mlp, hidden)
        base[p + "mlp.down_proj.weight"] = w(hidden, mlp)
        base[p + "input_norm.weight"] = np.ones(hidden, np.float32)
        base[p + "post_norm.weight"] = np.ones(hidden, np.float32)
    base["norm.weight"] = np.ones(hidden, np.float32)

    finetunes: dict[str, dict[str, np.ndarray]] = {}
    for f in range(n_finetunes):
        ft = dict(base)
        rank = 4 + 2 * f
        for name, t in base.items():
            if t.ndim == 2 and any(k in name for k in ("q_proj", "v_proj", "up_proj")):
                a = rng.standard_normal((t.shape[0], rank)).astype(np.float32)
                b = rng.standard_normal((rank, t.shape[1])).astype(np.float32)
                update = 0.02 * (a @ b) / rank
                noise = 1e-3 * rng.standard_normal(t.shape).astype(np.float32)
                ft[name] = t + update + noise
            elif t.ndim == 1:
                ft[name] = t + 0.01 * rng.standard_normal(t.shape).astype(np.float32)
        finetunes[f"finetune-{f + 1}"] = ft
    return base, finetunes


def cmd_demo(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import dedup, kestrine, tamsel

    rng = np.random.default_rng(args.seed)
    base, finetunes = synthetic_family(rng, args.finetunes)
    n_params = sum(t.size for t in base.values())
    out.note(
        f"[bold]demo[/bold]: a synthetic transformer of {len(base)} tensors "
        f"({n_params / 1e6:.1f} M parameters, {mib(tamsel._nbytes(base)):.1f} MiB) and "
        f"{len(finetunes)} fine-tunes (low-rank updates plus noise on q, v and MLP-up)\n"
    )
    configs = [
        ("tensor train, max_rank 8", {}),
        ("energy SVD 0.9", {"energy": 0.9}),
        ("energy SVD 0.99", {"energy": 0.99}),
    ]
    rows, overall = [], []
    for label, settings in configs:
        lib = tamsel.ModelLibrary("base", base, **settings)
        for model_id, sd in out.progress(finetunes.items(), f"storing ({label})"):
            t0 = time.perf_counter()
            delta = lib.add_finetune(model_id, sd)
            seconds = time.perf_counter() - t0
            err = tamsel.reconstruction_error(lib.reconstruct(model_id), sd)
            rows.append([label, model_id, mib(delta.stored_bytes()), err, seconds * 1e3])
        s = lib.summary(finetunes)
        overall.append(
            [label, mib(s["naive_total_bytes"]), mib(s["velmora_dryx_bytes"]), s["overall_ratio"]]
        )
    out.table(
        "finetunes",
        "Fine-tunes stored as compressed deltas",
        ["method", "fine-tune", "stored MiB", "rel. error", "ms"],
        rows,
    )
    out.table(
        "libraries",
        "Whole library against keeping every fine-tune in full",
        ["method", "naive MiB", "stored MiB (base included)", "ratio"],
        overall,
    )

    store = dedup.DedupStore(block_size=64 * 1024)
    store.add_state_dict("base", base)
    for model_id, sd in finetunes.items():
        store.add_state_dict(model_id, sd)
    out.mapping("dedup", "Block deduplication of the tenants (64 KiB blocks)", store.summary())

    name = "layers.0.attn.q_proj.weight"
    delta = finetunes["finetune-1"][name] - base[name]
    reports = []
    for method in ("svd", "tucker", "tt"):
        r = kestrine.roundtrip_report(delta, method, rank_ratio=0.05, max_rank=8)
        reports.append(
            [
                r.method.value,
                r.compressed_bytes,
                r.compression_ratio,
                r.relative_frobenius_error,
                r.elapsed_compress_ms,
                r.elapsed_decompress_ms,
            ]
        )
    out.table(
        "roundtrip",
        f"Round trip of one delta ({name}, {delta.shape[0]}x{delta.shape[1]})",
        ["method", "bytes", "ratio", "rel. error", "compress ms", "decompress ms"],
        reports,
    )


# ---------------------------------------------------------------------------------------
# Commands on real weights


def cmd_library(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import kestrine, tamsel

    method = parse_method(args.method)
    if method is kestrine.CompressionMethod.NONE:
        raise CliError("--method none stores nothing compressed; choose svd, tucker or tt")
    kind, base_path, base = load_source(args.base)
    if args.ppl and kind != "hf":
        raise CliError(
            "--ppl needs Hugging Face model directories for the base and every fine-tune"
        )
    base = floating_only(base, args.base, out)
    lib = tamsel.ModelLibrary(
        args.base, base, method=method, max_rank=args.max_rank, energy=args.energy
    )
    finetunes, paths, rows = {}, {}, []
    for source in args.finetunes:
        ft_kind, path, sd = load_source(source)
        if args.ppl and ft_kind != "hf":
            raise CliError(
                "--ppl needs Hugging Face model directories for the base and every fine-tune"
            )
        sd = floating_only(sd, source, out)
        mismatched = [k for k in sd if k in base and sd[k].shape != base[k].shape]
        if mismatched:
            raise CliError(
                f"{source}: {len(mismatched)} tensors differ in shape from the base "
                f"(first: {mismatched[0]}); is it a fine-tune of {args.base}?"
            )
        t0 = time.perf_counter()
        delta = lib.add_finetune(source, sd)
        seconds = time.perf_counter() - t0
        err = tamsel.reconstruction_error(lib.reconstruct(source), sd)
        rows.append(
            [
                source,
                len(delta.tensors),
                mib(tamsel._nbytes(sd)),
                mib(delta.stored_bytes()),
                err,
                seconds,
            ]
        )
        # Only the sizes are needed from here on: zero-stride stand-ins keep one fine-tune
        # in memory at a time.
        finetunes[source] = {
            k: np.broadcast_to(np.zeros((), v.dtype), v.shape) for k, v in sd.items()
        }
        paths[source] = path
        del sd
    out.table(
        "finetunes",
        f"Fine-tunes of {args.base} ({_method_label(args)})",
        ["fine-tune", "tensors", "full MiB", "stored MiB", "rel. error", "seconds"],
        rows,
    )
    summary = lib.summary(finetunes)
    out.mapping("summary", "Library summary", summary)
    if args.ppl:
        from velmora_dryx import lornet

        ppl_rows = [
            ["base", lornet.perplexity_from_state_dict(base_path, base, max_tokens=args.max_tokens)]
        ]
        for source in out.progress(args.finetunes, "perplexity"):
            path = paths[source]
            weights = lornet.load_state_dict_numpy_safe(path)
            ppl_rows.append(
                [
                    source,
                    lornet.perplexity_from_state_dict(path, weights, max_tokens=args.max_tokens),
                ]
            )
            del weights
            ppl_rows.append(
                [
                    source + " (reconstructed)",
                    lornet.perplexity_from_state_dict(
                        path, lib.reconstruct(source), max_tokens=args.max_tokens
                    ),
                ]
            )
        out.table("perplexity", "WikiText-2 perplexity", ["model", "perplexity"], ppl_rows)


def _method_label(args: argparse.Namespace) -> str:
    if args.energy is not None:
        return f"energy SVD {args.energy}"
    return f"{args.method}, max_rank {args.max_rank}"


def cmd_dedup(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import dedup

    if args.block_size <= 0:
        raise CliError("--block-size must be a positive number of bytes")
    store = dedup.DedupStore(block_size=args.block_size)
    for source in out.progress(args.sources, "hashing"):
        _, _, sd = load_source(source)
        store.add_state_dict(source, sd)
    rows = [
        [tenant, len(digests), mib(store._tenant_bytes[tenant])]
        for tenant, digests in store.tenants.items()
    ]
    out.table("tenants", "Tenants", ["tenant", "blocks", "MiB"], rows)
    out.mapping("summary", f"Deduplication ({args.block_size:,} byte blocks)", store.summary())


def cmd_roundtrip(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import kestrine

    _, _, sd = load_source(args.source)
    sd = floating_only(sd, args.source, out)
    tensors = sorted(
        ((k, v) for k, v in sd.items() if v.ndim >= 2), key=lambda kv: kv[1].size, reverse=True
    )
    if args.limit:
        tensors = tensors[: args.limit]
    if not tensors:
        raise CliError(f"{args.source}: no floating-point tensors of two or more dimensions")
    fixed = parse_method(args.method) if args.method != "auto" else None
    rows = []
    for name, t in out.progress(tensors, "round trips"):
        method = fixed if fixed is not None else kestrine.suggest_method(tuple(t.shape))
        r = kestrine.roundtrip_report(
            np.asarray(t, dtype=np.float32),
            method,
            rank_ratio=args.rank_ratio,
            max_rank=args.max_rank,
        )
        rows.append(
            [
                name,
                "x".join(map(str, t.shape)),
                r.method.value,
                r.compression_ratio,
                r.relative_frobenius_error,
                r.elapsed_compress_ms,
                r.elapsed_decompress_ms,
            ]
        )
    out.table(
        "tensors",
        f"Round trips of {args.source}",
        ["tensor", "shape", "method", "ratio", "rel. error", "compress ms", "decompress ms"],
        rows,
    )


def cmd_ppl(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import lornet

    kind, path = resolve_source(args.model)
    if kind != "hf":
        raise CliError(f"{args.model}: perplexity needs a Hugging Face model directory")
    ppl = lornet.perplexity_from_state_dict(
        path, None, max_tokens=args.max_tokens, window=args.window, stride=args.stride
    )
    out.mapping("perplexity", "WikiText-2 perplexity", {"model": args.model, "perplexity": ppl})


def cmd_list_ollama(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import bramwick

    models = bramwick.list_ollama_models()
    out.table(
        "models",
        f"Ollama models in {bramwick.OLLAMA_HOME}",
        ["name", "MiB"],
        [[m["name"], mib(m["size_bytes"])] for m in models],
    )
    if not models:
        out.note("no models found (download one with: ollama pull NAME)")


def cmd_list_lmstudio(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import bramwick

    models = bramwick.list_lmstudio_models()
    out.table(
        "models",
        f"LM Studio models in {bramwick._lmstudio_home()}",
        ["name", "MiB", "path"],
        [[m["name"], mib(m["size_bytes"]), m["path"]] for m in models],
    )
    if not models:
        out.note("no GGUF files found (set LMSTUDIO_MODELS to the models directory)")


def cmd_suggest(args: argparse.Namespace, out: Output) -> None:
    from velmora_dryx import kestrine

    try:
        shape = tuple(int(p) for p in args.shape.replace(",", "x").split("x") if p.strip())
    except ValueError:
        raise CliError(f"bad shape {args.shape!r} (write it like 768x3072)") from None
    if not shape or any(n <= 0 for n in shape):
        raise CliError(f"bad shape {args.shape!r} (extents must be positive)")
    method = kestrine.suggest_method(shape)
    out.mapping("suggestion", "Suggested method", {"shape": shape, "method": method.value})


# ---------------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, description=__doc__)
    p.add_argument("--json", action="store_true", help="print one JSON document instead of tables")
    p.add_argument("--debug", action="store_true", help="show tracebacks on errors")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def add(name: str, fn: Callable, help_text: str) -> argparse.ArgumentParser:
        sp = sub.add_parser(name, help=help_text, description=help_text)
        sp.set_defaults(run=fn)
        return sp

    d = add("demo", cmd_demo, "run the built-in demo on a synthetic model family (offline)")
    d.add_argument("--seed", type=int, default=0)
    d.add_argument("--finetunes", type=int, default=3, help="number of fine-tunes (default 3)")

    source_help = (
        "a model directory with *.safetensors shards, a Hugging Face repository id, "
        "a .gguf file, ollama:NAME or lmstudio:NAME"
    )
    lib = add("library", cmd_library, "store fine-tunes of a base model as compressed deltas")
    lib.add_argument("base", help="the base model: " + source_help)
    lib.add_argument("finetunes", nargs="+", metavar="FINETUNE", help="fine-tunes of the base")
    lib.add_argument("--method", default="tt", help="svd, tucker or tt (default tt)")
    lib.add_argument("--max-rank", type=int, default=8, help="rank cap (default 8)")
    lib.add_argument(
        "--energy",
        type=float,
        default=None,
        help="use the energy-based SVD keeping this share of the spectrum",
    )
    lib.add_argument(
        "--ppl",
        action="store_true",
        help="also report WikiText-2 perplexity (Hugging Face directories only)",
    )
    lib.add_argument("--max-tokens", type=int, default=4096)

    dd = add("dedup", cmd_dedup, "measure how much several models share, block by block")
    dd.add_argument("sources", nargs="+", metavar="SOURCE", help=source_help)
    dd.add_argument("--block-size", type=int, default=1 << 20, help="bytes (default 1 MiB)")

    rt = add("roundtrip", cmd_roundtrip, "compress and rebuild every tensor of one model")
    rt.add_argument("source", metavar="SOURCE", help=source_help)
    rt.add_argument("--method", default="auto", help="svd, tucker, tt or auto (default auto)")
    rt.add_argument("--rank-ratio", type=float, default=0.5)
    rt.add_argument("--max-rank", type=int, default=8)
    rt.add_argument("--limit", type=int, default=0, help="only the N largest tensors")

    pp = add("ppl", cmd_ppl, "WikiText-2 perplexity of a Hugging Face model")
    pp.add_argument("model", metavar="MODEL", help="a model directory or repository id")
    pp.add_argument("--max-tokens", type=int, default=4096)
    pp.add_argument("--window", type=int, default=1024)
    pp.add_argument("--stride", type=int, default=512)

    add("list-ollama", cmd_list_ollama, "list the models of the local Ollama store")
    add("list-lmstudio", cmd_list_lmstudio, "list the GGUF files of the local LM Studio store")

    sg = add("suggest", cmd_suggest, "suggest a compression method for a tensor shape")
    sg.add_argument("shape", metavar="SHAPE", help="extents joined by x, e.g. 768x3072")
    return p


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    out = Output(args.json)
    try:
        args.run(args, out)
        out.finish()
        return 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # noqa: BLE001 - every failure becomes one line unless --debug
        if args.debug:
            traceback.print_exc()
        else:
            print(f"{PROG}: error: {_describe(exc)}", file=sys.stderr)
        return 1


def _describe(exc: BaseException) -> str:
    if isinstance(exc, CliError):
        return str(exc)
    if isinstance(exc, KeyError):
        return f"missing key {exc.args[0]!r}" if exc.args else "missing key"
    return str(exc) or type(exc).__name__


if __name__ == "__main__":
    sys.exit(main())
