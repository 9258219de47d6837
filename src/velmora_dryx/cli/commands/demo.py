"""demo: the built-in demo on a synthetic model family, offline."""

from __future__ import annotations

import argparse
import time

import numpy as np

from velmora_dryx import dedup, kestrine, tamsel
from velmora_dryx.cli.options import whole
from velmora_dryx.cli.output import Output, mib, warm_up

NAME = "demo"
HELP = "run the built-in demo on a synthetic model family (offline)"


def configure(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--seed", type=whole(0), default=0, metavar="N", help="random seed, >= 0 (default 0)"
    )
    p.add_argument(
        "--finetunes",
        type=whole(1),
        default=3,
        metavar="N",
        help="number of fine-tunes, >= 1 (default 3)",
    )


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


def run(args: argparse.Namespace, out: Output) -> None:
    from rich.text import Text

    rng = np.random.default_rng(args.seed)
    base, finetunes = synthetic_family(rng, args.finetunes)
    n_params = sum(t.size for t in base.values())
    base_bytes = sum(int(t.nbytes) for t in base.values())
    out.note(
        Text.assemble(
            ("demo", "bold"),
            f": a synthetic transformer of {len(base)} tensors "
            f"({n_params / 1e6:.1f} M parameters, {mib(base_bytes):.1f} MiB) and "
            f"{len(finetunes)} fine-tunes (low-rank updates plus noise on q, v and MLP-up)\n",
        )
    )
    configs = [
        ("tensor train, max_rank 8", {}),
        ("energy SVD 0.9", {"energy": 0.9}),
        ("energy SVD 0.99", {"energy": 0.99}),
    ]
    rows, overall = [], []
    warm_up()
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

    _dedup_and_roundtrip(out, base, finetunes)


def _dedup_and_roundtrip(out: Output, base: dict, finetunes: dict) -> None:
    """The tenants deduplicated by blocks, and one delta's round trip by each method."""
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
