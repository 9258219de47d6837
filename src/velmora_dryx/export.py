"""Fine-tunes out of a saved library: as a model directory, or as a LoRA adapter."""

from __future__ import annotations

import json
import shutil
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx import tamsel
from velmora_dryx._library_format import (
    finetune_entry,
    nbytes,
    open_base,
    open_file,
    open_finetune,
    read_manifest,
    record,
    verified,
    verify_model_files,
)
from velmora_dryx._tensorfile import LibraryError
from velmora_dryx.methods import METHODS

DEFAULT_SHARD_BYTES = 5 << 30
# transformers refuses safetensors weights whose metadata does not name the framework.
_WEIGHTS_META = {"format": "pt"}


def _open(path, name: str, verify: bool):
    """The manifest, the fine-tune's entry and the (checked) files it needs."""
    root = Path(path)
    manifest = read_manifest(root)
    ft = finetune_entry(root, manifest, name)
    base_file = open_base(root, manifest)
    base = {t["name"]: t for t in manifest["base"]["tensors"]}
    ft_file = open_finetune(root, manifest, ft)
    verify_model_files(root, manifest, verify)
    return root, manifest, ft, base_file, base, ft_file


def _reconstructed(base_file, base, ft_file, entry, verify):
    """One tensor of the fine-tune, rebuilt as the library rebuilds it; a base tensor the
    fine-tune has no record of (its delta is zero) is the base's own."""
    name = entry["name"]
    b = None
    if name in base:
        b = verified(base_file, name, base[name]["sha256"], verify, own_map=True)
    if entry is base.get(name):
        return b
    out = tamsel._apply_delta(b, record(ft_file, entry, verify, own_map=True))
    if verify and entry["method"] == "exact" and tf.sha256(out) != entry["metadata"]["sha256"]:
        raise LibraryError(
            f"{ft_file.path}: {name!r} does not rebuild the bytes it was stored from"
        )
    return out


def export_finetune(
    path,
    name: str,
    out_dir,
    *,
    verify: bool = True,
    max_shard_bytes: int = DEFAULT_SHARD_BYTES,
    progress=None,
) -> dict:
    """Writes a stored fine-tune, rebuilt, as a model directory in safetensors shards (with
    the base's configuration and tokenizer files when the library has them), one tensor at
    a time: every base tensor (the base's own where the fine-tune had none) and the
    fine-tune's own. Returns what was written: {"path", "files", "tensors", "bytes"}."""
    if max_shard_bytes < 1:
        raise ValueError(f"max_shard_bytes must be positive, got {max_shard_bytes}")
    root, manifest, ft, base_file, base, ft_file = _open(path, name, verify)
    # Plan the shards from the sizes the reconstruction will have: base dtype promoted with
    # the delta's (float32), or the delta's own for a tensor the base lacks.
    plan: list[tuple[dict, np.dtype, tuple[int, ...], int]] = []
    recorded = {e["name"] for e in ft["tensors"]}
    lacking = [t for t in base.values() if t["name"] not in recorded]
    for e in ft["tensors"] + lacking:
        dtype = tf.np_dtype(e["dtype"])
        # An exact record comes back in the tuned tensor's own type.
        if e["name"] in base and e.get("method") != "exact":
            dtype = np.result_type(tf.np_dtype(base[e["name"]]["dtype"]), dtype)
        shape = tuple(e["shape"])
        plan.append((e, dtype, shape, nbytes(shape, dtype.name)))
    shards: list[list] = [[]]
    size = 0
    for item in plan:
        if shards[-1] and size + item[3] > max_shard_bytes:
            shards.append([])
            size = 0
        shards[-1].append(item)
        size += item[3]
    n = len(shards)
    names = (
        ["model.safetensors"]
        if n == 1
        else [f"model-{i + 1:05d}-of-{n:05d}.safetensors" for i in range(n)]
    )
    total = sum(p[3] for p in plan)
    done = [0, 0]

    def chunks(items):
        for e, dtype, shape, size in items:
            a = _reconstructed(base_file, base, ft_file, e, verify)
            if a.dtype != dtype or a.shape != shape:
                raise RuntimeError(
                    f"{e['name']}: rebuilt as {a.dtype} {a.shape}, expected {dtype} {shape}"
                )
            yield a
            done[0] += 1
            done[1] += size
            if progress is not None:
                progress(done[0], len(plan), done[1], total)

    with tf.new_directory(out_dir, "a fine-tune is exported") as out:
        for fname, items in zip(names, shards, strict=True):
            tf.write_tensor_file(
                out / fname,
                [(e["name"], d, s) for e, d, s, _ in items],
                chunks(items),
                _WEIGHTS_META,
            )
        if n > 1:
            index = {
                "metadata": {"total_size": total},
                "weight_map": {
                    e["name"]: f for f, items in zip(names, shards, strict=True) for e, *_ in items
                },
            }
            with tf.atomic_file(out / "model.safetensors.index.json", "w") as f:
                json.dump(index, f, indent=2)
            names.append("model.safetensors.index.json")
        for m in manifest.get("model_files", []):
            dst = out / Path(m["file"]).name
            if dst.name in names:
                continue
            with open_file(root, m["file"], "a model file") as fi, tf.atomic_file(dst) as fo:
                shutil.copyfileobj(fi, fo)
            names.append(dst.name)
    return {"path": str(out_dir), "files": names, "tensors": len(plan), "bytes": total}


# ---- LoRA adapters ----------------------------------------------------------------------

_EMBEDDING_NAMES = ("embed_tokens", "wte", "wpe", "word_embeddings", "embed_in", "embeddings")


def _lora_skip_reason(entry: dict) -> str | None:
    method, shape, name = METHODS[entry["method"]], entry["shape"], entry["name"]
    if len(shape) < 2:
        return f"{len(shape)}-D tensor (stored without loss, not a matrix)"
    if not method.lora:
        return method.stored_as
    if len(shape) != 2:
        return f"{len(shape)}-D tensor (LoRA adapts matrices)"
    if not name.endswith(".weight"):
        return "not a module's weight"
    if name.rsplit(".", 2)[-2] in _EMBEDDING_NAMES:
        return "an embedding table (only linear layers are exported)"
    return None


class NoLoraTargets(ValueError):
    """A fine-tune with no matrix stored with truncated SVD: nothing for a LoRA adapter to
    carry. `how` says how to store one with the energy SVD (by default, the keyword)."""

    def __init__(self, finetune: str, how: str = "energy=...") -> None:
        self.finetune = finetune
        super().__init__(
            f"fine-tune {finetune!r} has no matrix stored with truncated SVD, so no LoRA adapter "
            f"can carry it (store it with the energy SVD: {how})"
        )


def export_lora(path, name: str, out_dir, *, verify: bool = True) -> dict:
    """Writes a stored fine-tune's truncated-SVD matrices as a PEFT LoRA adapter
    (`adapter_model.safetensors` and `adapter_config.json`): B = U diag(s), A = V^T per
    matrix, at the rank each was stored with, scaled by 1, so that the adapter adds exactly
    the library's reconstruction of each delta. Tensors a LoRA adapter cannot carry are
    listed under "skipped" with the reason. Returns {"path", "targets", "rank", "skipped"}.
    """
    root, manifest, ft, _, _, ft_file = _open(path, name, verify)
    targets: dict[str, int] = {}
    skipped: dict[str, str] = {}
    arrays: list[tuple[str, np.ndarray]] = []
    for e in ft["tensors"]:
        reason = _lora_skip_reason(e)
        if reason is not None:
            skipped[e["name"]] = reason
            continue
        ct = record(ft_file, e, verify)
        if e["method"] == "qsvd":
            # The dequantized factors: the adapter adds the product the library rebuilds.
            m, n = e["shape"]
            left, right = tamsel._dequantize_factors(*ct.cores, *ct.factors, m, n)
        else:
            (s,), (u, vt) = ct.cores, ct.factors
            # LoRA stores the product's two factors; the singular values go with U.
            left, right = u * s, vt
        module = e["name"][: -len(".weight")]
        if right.shape[0] == 0:
            skipped[e["name"]] = "unchanged (nothing stored)"
            continue
        arrays.append((f"base_model.model.{module}.lora_A.weight", np.ascontiguousarray(right)))
        arrays.append((f"base_model.model.{module}.lora_B.weight", np.ascontiguousarray(left)))
        targets[module] = int(right.shape[0])
    if not targets:
        raise NoLoraTargets(name)
    ranks = list(targets.values())
    r = max(set(ranks), key=ranks.count)
    pattern = {m: k for m, k in targets.items() if k != r}
    config: dict[str, Any] = {
        "peft_type": "LORA",
        "task_type": "CAUSAL_LM",
        "base_model_name_or_path": manifest["base_id"],
        "r": r,
        "lora_alpha": r,  # scaling alpha / r = 1: the adapter adds B A itself
        "rank_pattern": pattern,
        "alpha_pattern": dict(pattern),
        "target_modules": sorted(targets),
        "lora_dropout": 0.0,
        "bias": "none",
        "fan_in_fan_out": False,
        "use_rslora": False,
        "init_lora_weights": True,
        "inference_mode": True,
        "modules_to_save": None,
    }
    with tf.new_directory(out_dir, "a LoRA adapter is exported") as out:
        tf.write_tensor_file(
            out / "adapter_model.safetensors",
            [(k, a.dtype, a.shape) for k, a in arrays],
            [a for _, a in arrays],
            _WEIGHTS_META,
        )
        with tf.atomic_file(out / "adapter_config.json", "w") as f:
            json.dump(config, f, indent=2)
    return {"path": str(out_dir), "targets": targets, "rank": r, "skipped": skipped}


__all__ = ["LibraryError", "export_finetune", "export_lora"]
