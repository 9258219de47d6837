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
    check_entry,
    find_finetune,
    inside,
    open_member,
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
# The dtypes an export can be asked for (None: each tensor's own).
DTYPES = ("float32", "bfloat16", "float16")


def _checked_dtype(dtype) -> str | None:
    if dtype is None:
        return None
    try:
        name = dtype if isinstance(dtype, str) else np.dtype(dtype).name
    except TypeError:
        name = None
    if name not in DTYPES:
        raise ValueError(
            f"dtype must be one of {', '.join(DTYPES)} (or None: each tensor's own), got {dtype!r}"
        )
    return name


def _open(path, name: str, verify: bool):
    """The manifest, the fine-tune's entry and the (checked) files it needs."""
    root = Path(path)
    manifest = read_manifest(root)
    ft = find_finetune(root, manifest, name)
    base_file = open_member(root, manifest, manifest["base"]["file"], "base", "the base")
    base = {t["name"]: t for t in manifest["base"]["tensors"]}
    for t in base.values():
        check_entry(base_file, t["name"], t["dtype"], t["shape"])
    ft_file = open_member(root, manifest, ft["file"], "finetune:" + name, f"fine-tune {name!r}")
    for e in ft["tensors"]:
        for key in e["cores"] + e["factors"]:
            check_entry(ft_file, key, None, None)
    if verify:
        verify_model_files(root, manifest)
    return root, manifest, ft, base_file, base, ft_file


def _export_dtype(entry: dict, base: dict, dtype: str | None) -> str:
    """The dtype a tensor is exported in: the one asked for, else the fine-tune tensor's own
    (a floating type); else, for libraries that did not record it or an integer tensor,
    the type of the reconstruction (the base's promoted with the delta's)."""
    if dtype is not None:
        return dtype
    source = entry.get("source_dtype")
    if source in ("float32", "float64") or source in tf.HALF_TYPES:
        return source
    rebuilt = np.dtype(entry["dtype"])
    # An exact record comes back in the tuned tensor's own type.
    if entry["name"] in base and entry["method"] != "exact":
        rebuilt = np.result_type(tf.np_dtype(base[entry["name"]]["dtype"]), rebuilt)
    return rebuilt.name


def _reconstructed(base_file, base, ft_file, entry, dtype: str, verify):
    """One tensor of the fine-tune, rebuilt as the library rebuilds it (the 16-bit float
    types widened to float32) and rounded once to `dtype` (bfloat16 as its patterns). A
    tensor whose delta was zero comes back as the base's bytes, when the dtypes agree."""
    name = entry["name"]
    b = None
    if name in base:
        b = verified(base_file, name, base[name]["sha256"], verify, own_map=True)
        stored = base[name]["dtype"]
        if entry.get("norm") == 0 and stored == dtype:
            return b
        if stored in tf.HALF_TYPES:
            b = tf.to_float32(b, stored)
    out = tamsel._apply_delta(b, record(ft_file, entry, verify, own_map=True))
    if verify and entry["method"] == "exact" and tf.sha256(out) != entry["metadata"]["sha256"]:
        raise LibraryError(
            f"{ft_file.path}: {name!r} does not rebuild the bytes it was stored from"
        )
    return tf.from_float32(out, dtype)


def export_finetune(
    path,
    name: str,
    out_dir,
    *,
    verify: bool = True,
    max_shard_bytes: int = DEFAULT_SHARD_BYTES,
    progress=None,
    dtype=None,
) -> dict:
    """Writes a stored fine-tune, rebuilt, as a model directory in safetensors shards (with
    the base's configuration and tokenizer files when the library has them), one tensor at
    a time. Each tensor is written in the dtype the fine-tune's tensor had (rounded to
    nearest even; a tensor the fine-tune did not change comes back bit for bit), or in
    `dtype` ("float32", "bfloat16" or "float16") for all. Returns what was written:
    {"path", "files", "tensors", "bytes"}."""
    if max_shard_bytes < 1:
        raise ValueError(f"max_shard_bytes must be positive, got {max_shard_bytes}")
    dtype = _checked_dtype(dtype)
    root, manifest, ft, base_file, base, ft_file = _open(path, name, verify)
    plan: list[tuple[dict, str, tuple[int, ...], int]] = []
    for e in ft["tensors"]:
        target = _export_dtype(e, base, dtype)
        shape = tuple(e["shape"])
        plan.append((e, target, shape, int(np.prod(shape, dtype=np.int64)) * tf.itemsize(target)))
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
        for e, target, shape, nbytes in items:
            a = _reconstructed(base_file, base, ft_file, e, target, verify)
            if a.dtype != tf.np_dtype(target) or a.shape != shape:
                raise RuntimeError(
                    f"{e['name']}: rebuilt as {a.dtype} {a.shape}, expected {target} {shape}"
                )
            yield a
            done[0] += 1
            done[1] += nbytes
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
            src = inside(root, m["file"], "a model file")
            dst = out / Path(m["file"]).name
            if dst.name in names:
                continue
            with open(src, "rb") as fi, tf.atomic_file(dst) as fo:
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


def export_lora(path, name: str, out_dir, *, verify: bool = True, dtype=None) -> dict:
    """Writes a stored fine-tune's truncated-SVD matrices as a PEFT LoRA adapter
    (`adapter_model.safetensors` and `adapter_config.json`): B = U diag(s), A = V^T per
    matrix, at the rank each was stored with, scaled by 1, so that the adapter adds exactly
    the library's reconstruction of each delta. The matrices are written in the dtype of
    the base tensor they adapt (rounded to nearest even), or in `dtype` ("float32",
    "bfloat16" or "float16"). Tensors a LoRA adapter cannot carry are listed under
    "skipped" with the reason. Returns {"path", "targets", "rank", "skipped"}.
    """
    dtype = _checked_dtype(dtype)
    root, manifest, ft, _, base, ft_file = _open(path, name, verify)
    targets: dict[str, int] = {}
    skipped: dict[str, str] = {}
    arrays: list[tuple[str, str, np.ndarray]] = []
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
        target = dtype or (base[e["name"]]["dtype"] if e["name"] in base else ct.dtype)
        for key, factor in (("lora_A", right), ("lora_B", left)):
            arrays.append(
                (f"base_model.model.{module}.{key}.weight", target, tf.from_float32(factor, target))
            )
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
            [(k, d, a.shape) for k, d, a in arrays],
            [a for _, _, a in arrays],
            _WEIGHTS_META,
        )
        with tf.atomic_file(out / "adapter_config.json", "w") as f:
            json.dump(config, f, indent=2)
    return {"path": str(out_dir), "targets": targets, "rank": r, "skipped": skipped}


__all__ = ["LibraryError", "export_finetune", "export_lora"]
