"""Fine-tunes out of a saved library: as a model directory, or as a LoRA adapter."""

from __future__ import annotations

import importlib.util
import json
import shutil
import tempfile
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx import tamsel
from velmora_dryx._library_format import (
    finetune_entry,
    inside,
    open_base,
    open_file,
    open_finetune,
    read_manifest,
    record,
    verified,
    verify_model_files,
)
from velmora_dryx._library_gguf import hf_names_of_library
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
    ft = finetune_entry(root, manifest, name)
    base_file = open_base(root, manifest)
    base = {t["name"]: t for t in manifest["base"]["tensors"]}
    ft_file = open_finetune(root, manifest, ft)
    verify_model_files(root, manifest, verify)
    return root, manifest, ft, base_file, base, ft_file


def _export_dtype(entry: dict, base: dict, dtype: str | None) -> str:
    """The dtype a tensor is exported in: the one asked for, else the fine-tune tensor's own
    (a floating type); else, for libraries that did not record it or an integer tensor,
    the type of the reconstruction (the base's promoted with the delta's)."""
    if dtype is not None:
        return dtype
    if "method" not in entry:  # a base tensor the fine-tune has no record of
        return entry["dtype"]
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
    tensor whose delta was zero, or a base tensor the fine-tune has no record of, comes back
    as the base's bytes when the dtypes agree."""
    name = entry["name"]
    b = None
    if name in base:
        b = verified(base_file, name, base[name]["sha256"], verify, own_map=True)
        stored = base[name]["dtype"]
        if stored == dtype and (entry is base[name] or entry.get("norm") == 0):
            return b
        if stored in tf.HALF_TYPES:
            b = tf.to_float32(b, stored)
        if entry is base[name]:  # no record: the base's own, in another dtype
            return tf.from_float32(b, dtype)
    out = tamsel._apply_delta(b, record(ft_file, entry, verify, own_map=True))
    if verify and entry["method"] == "exact" and tf.sha256(out) != entry["metadata"]["sha256"]:
        raise LibraryError(
            f"{ft_file.path}: {name!r} does not rebuild the bytes it was stored from"
        )
    return tf.from_float32(out, dtype)


def _stand_in(shape: tuple[int, ...]) -> np.ndarray:
    """A float32 array of this shape that takes no memory (zero strides)."""
    return np.broadcast_to(np.zeros((), np.float32), shape)


def _nbytes(dtype: str, shape) -> int:
    return int(np.prod(shape, dtype=np.int64)) * tf.itemsize(dtype)


def _hf_names(root: Path, manifest: dict, base: dict):
    """For a library whose base has GGUF names: the GgufNames that give the Hugging Face
    model's, or the reason there are none (None, None for a Hugging Face base)."""
    try:
        return hf_names_of_library(root, manifest, base), None
    except (ValueError, ImportError) as exc:
        return None, str(exc)


Plan = list[tuple[dict, str, str, tuple[int, ...], int]]


def _export_plan(ft: dict, base: dict, mapping, wanted: str | None) -> Plan:
    """(entry, name, dtype, shape, bytes) of every tensor an export writes, in order: the
    fine-tune's, then the base's it has no record of; under the model's names and shapes
    when `mapping` maps a GGUF library's."""
    plan: Plan = []
    recorded = {e["name"] for e in ft["tensors"]}
    lacking = [t for t in base.values() if t["name"] not in recorded]
    for e in ft["tensors"] + lacking:
        key, dtype, shape = e["name"], _export_dtype(e, base, wanted), tuple(e["shape"])
        if mapping is not None:
            mapped = mapping.hf_tensor(key, _stand_in(shape))
            if mapped is None:
                continue  # a tensor the model does not use, as transformers drops it
            key, shape = mapped[0], tuple(mapped[1].shape)
        plan.append((e, key, dtype, shape, _nbytes(dtype, shape)))
    return plan


def _shards(plan: Plan, max_shard_bytes: int) -> list[Plan]:
    """The plan cut into shards of at most `max_shard_bytes` (a larger tensor alone)."""
    shards: list[Plan] = [[]]
    size = 0
    for item in plan:
        if shards[-1] and size + item[4] > max_shard_bytes:
            shards.append([])
            size = 0
        shards[-1].append(item)
        size += item[4]
    return shards


def _write_index(out: Path, names: list[str], shards: list[Plan], total: int) -> None:
    """The index of a sharded model (which file holds each tensor); `names` grows by it."""
    where = {key: f for f, items in zip(names, shards, strict=True) for _, key, *_ in items}
    index = {"metadata": {"total_size": total}, "weight_map": where}
    with tf.atomic_file(out / "model.safetensors.index.json", "w") as f:
        json.dump(index, f, indent=2)
    names.append("model.safetensors.index.json")


def _copy_model_files(root: Path, manifest: dict, out: Path, names: list[str]) -> None:
    """The library's model files (configuration, tokenizer) beside the weights; `names`
    grows by those copied (a weights file of the same name wins)."""
    for m in manifest.get("model_files", []):
        dst = out / Path(m["file"]).name
        if dst.name in names:
            continue
        with open_file(root, m["file"], "a model file") as fi, tf.atomic_file(dst) as fo:
            shutil.copyfileobj(fi, fo)
        names.append(dst.name)


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
    a time: every base tensor (the base's own where the fine-tune had none) and the
    fine-tune's own. Each tensor is written in the dtype the fine-tune's tensor had (rounded
    to nearest even; a tensor the fine-tune did not change comes back bit for bit), or in
    `dtype` ("float32", "bfloat16" or "float16") for all. A library built from GGUF files
    is written under the Hugging Face model's names and layouts where transformers maps its
    architecture, else under the GGUF names with the reason in "note". Returns what was
    written: {"path", "files", "tensors", "bytes", "note"}."""
    if max_shard_bytes < 1:
        raise ValueError(f"max_shard_bytes must be positive, got {max_shard_bytes}")
    wanted = _checked_dtype(dtype)
    root, manifest, ft, base_file, base, ft_file = _open(path, name, verify)
    mapping, note = _hf_names(root, manifest, base)
    if note is not None:
        note = f"not a Hugging Face model directory (tensors keep their GGUF names): {note}"
    plan = _export_plan(ft, base, mapping, wanted)
    shards = _shards(plan, max_shard_bytes)
    n = len(shards)
    names = (
        ["model.safetensors"]
        if n == 1
        else [f"model-{i + 1:05d}-of-{n:05d}.safetensors" for i in range(n)]
    )
    total = sum(p[4] for p in plan)
    done = [0, 0]

    def chunks(items):
        for e, key, dtype, shape, size in items:
            a = _reconstructed(base_file, base, ft_file, e, dtype, verify)
            if mapping is not None:
                a = mapping.hf_tensor(e["name"], a)[1]
            if a.dtype != tf.np_dtype(dtype) or a.shape != shape:
                raise RuntimeError(
                    f"{key}: rebuilt as {a.dtype} {a.shape}, expected {dtype} {shape}"
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
                [(key, d, s) for _, key, d, s, _ in items],
                chunks(items),
                _WEIGHTS_META,
            )
        if n > 1:
            _write_index(out, names, shards, total)
        _copy_model_files(root, manifest, out, names)
    return {
        "path": str(out_dir),
        "files": names,
        "tensors": len(plan),
        "bytes": total,
        "note": note,
    }


# ---- LoRA adapters ----------------------------------------------------------------------

_EMBEDDING_NAMES = ("embed_tokens", "wte", "wpe", "word_embeddings", "embed_in", "embeddings")
# Output heads are linear layers, but go into adapters whole: serving engines seldom adapt
# them, and a retrained vocabulary changes them at full rank.
_HEAD_NAMES = ("lm_head", "embed_out")
# The output head a tied input embedding is shared with (transformers' causal LMs).
_TIED_HEAD = "lm_head"


def _lora_reason(entry: dict, name: str) -> str | None:
    """Why a LoRA cannot carry this changed tensor (None: it can); `name` is the tensor's
    name in the model."""
    shape = entry["shape"]
    if len(shape) != 2:
        return f"{len(shape)}-D tensor (LoRA adapts matrices)"
    if not name.endswith(".weight") or name == ".weight":
        return "not a module's weight"
    leaf = name.rsplit(".", 2)[-2]
    if leaf in _EMBEDDING_NAMES:
        return "an embedding table (LoRA adapts linear layers)"
    if leaf in _HEAD_NAMES:
        return "the output head"
    method = METHODS[entry["method"]]
    if not method.lora:
        return f"{method.stored_as}, not as a truncated SVD"
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


def _lora_factors(entry: dict, ct) -> tuple[np.ndarray, np.ndarray]:
    """B (out, r) and A (r, in) of a truncated-SVD record, whose product is the delta the
    library rebuilds: the singular values go with U; quantized factors are dequantized."""
    if entry["method"] == "qsvd":
        m, n = entry["shape"]
        return tamsel._dequantize_factors(*ct.cores, *ct.factors, m, n)
    (s,), (u, vt) = ct.cores, ct.factors
    return u * s, vt


def _is_zero(entry: dict, ct, base_entry: dict) -> bool:
    """A stored delta that changes nothing."""
    if entry.get("norm") == 0:
        return True
    if entry["method"] == "exact":  # the tuned tensor's bytes are the base's
        return entry["metadata"].get("sha256") == base_entry["sha256"]
    if METHODS[entry["method"]].lora and len(entry["shape"]) == 2:
        left, right = _lora_factors(entry, ct)
        return right.shape[0] == 0 or not np.any(left) or not np.any(right)
    return not np.any(tamsel._apply_delta(None, ct))


def _row_or_column_order(where: np.ndarray) -> tuple[np.ndarray | None, np.ndarray | None]:
    """For a matrix reordered by `where` (flat source indices): the row order or the column
    order it amounts to, so that a LoRA's B rows or A columns follow; (None, None) when it
    is neither."""
    rows, cols = where.shape
    r = where[:, 0] // max(cols, 1)
    if np.array_equal(where, r[:, None] * cols + np.arange(cols)):
        return r, None
    c = where[0, :]
    if np.array_equal(where, np.arange(rows)[:, None] * cols + c[None, :]):
        return None, c
    return None, None


def _base_reference(base_id: str) -> str:
    """The base as peft finds it: a path made absolute, a hub id as it is."""
    p = Path(base_id).expanduser()
    if p.is_absolute():
        return str(p)
    if p.exists():
        return str(p.resolve())
    return base_id


def _tied_embeddings(root: Path, manifest: dict) -> bool:
    for m in manifest.get("model_files", []):
        if Path(m["file"]).name == "config.json":
            config = json.loads(inside(root, m["file"], "a model file").read_text())
            return bool(config.get("tie_word_embeddings"))
    return False


def _is_embedding(module: str) -> bool:
    return module.rpartition(".")[2] in _EMBEDDING_NAMES


class _Adapter:
    """One stored fine-tune seen as an adapter: which changed tensors LoRA carries, which
    modules go in whole, what is left out, and the arrays that says."""

    def __init__(self, path, name: str, verify: bool, dtype: str | None = None) -> None:
        self.name, self.verify, self.dtype = name, verify, dtype
        opened = _open(path, name, verify)
        self.root, self.manifest, self.ft, self.base_file, self.base, self.ft_file = opened
        try:
            self.mapping = hf_names_of_library(self.root, self.manifest, self.base)
        except ValueError as exc:
            raise ValueError(
                f"{self.root}: no LoRA adapter with Hugging Face module names can be written: {exc}"
            ) from None
        self.entries = {e["name"]: e for e in self.ft["tensors"]}
        # module -> (entry, record, row order, column order) of the LoRA modules
        self.lora: dict[str, tuple[dict, Any, np.ndarray | None, np.ndarray | None]] = {}
        self.other: dict[str, list[tuple[str, str]]] = {}  # module -> (tensor, why not LoRA)
        self.skipped: dict[str, str] = {}
        self.unchanged = 0
        self.full: dict[str, list[str]] = {}  # module written whole -> its stored tensors
        self.tied: str | None = None  # the embedding the output head shares, written twice

    # ---- names and arrays -------------------------------------------------------------------

    def hf(self, stored: str) -> str | None:
        """A stored tensor's name in the model (None: no parameter of it)."""
        return stored if self.mapping is None else self.mapping.hf_name(stored)

    def stored(self, hf: str) -> str:
        return hf if self.mapping is None else (self.mapping.gguf_name(hf) or hf)

    def in_model(self, stored: str, a: np.ndarray) -> np.ndarray:
        """An array in the model's layout (a GGUF library's Q/K rows reordered)."""
        return a if self.mapping is None else self.mapping.hf_tensor(stored, a)[1]

    def base_array(self, stored: str) -> np.ndarray:
        return verified(
            self.base_file, stored, self.base[stored]["sha256"], self.verify, own_map=True
        )

    def out_dtype(self, stored: str) -> str:
        """The dtype a tensor of a module written whole takes: the one asked for, else the
        fine-tune tensor's own, else the base's."""
        e = self.entries.get(stored)
        if e is not None:
            return _export_dtype(e, self.base, self.dtype)
        return self.dtype or self.base[stored]["dtype"]

    def rebuilt(self, stored: str, dtype: str) -> np.ndarray:
        return _reconstructed(
            self.base_file, self.base, self.ft_file, self.entries[stored], dtype, self.verify
        )

    def whole(self, stored: str) -> np.ndarray:
        """A tensor of a module written whole: the fine-tune's where it has it."""
        dtype = self.out_dtype(stored)
        if stored in self.entries:
            a = self.rebuilt(stored, dtype)
        else:
            a, own = self.base_array(stored), self.base[stored]["dtype"]
            if own != dtype:
                a = tf.from_float32(tf.to_float32(a, own), dtype)
        return self.in_model(stored, a)

    # ---- the plan ---------------------------------------------------------------------------

    def classify(self) -> None:
        """Sorts the fine-tune's tensors: unchanged, LoRA, or something LoRA cannot carry."""
        for e in self.ft["tensors"]:
            stored, hf = e["name"], self.hf(e["name"])
            if stored not in self.base:
                self.skipped[hf or stored] = (
                    "not in the base model (an adapter changes the base's modules)"
                )
                continue
            ct = record(self.ft_file, e, self.verify)
            if _is_zero(e, ct, self.base[stored]):
                self.unchanged += 1
            elif hf is None:
                self.skipped[stored] = "no parameter of the Hugging Face model"
            else:
                self._sort(e, ct, hf)

    def _sort(self, e: dict, ct, hf: str) -> None:
        module = hf.rpartition(".")[0]
        reason = _lora_reason(e, hf)
        rows = cols = None
        if reason is None and self.mapping is not None:
            where = self.mapping.layout(e["name"], tuple(e["shape"]))
            if where is not None:
                rows, cols = _row_or_column_order(where)
                if rows is None and cols is None:
                    reason = "its GGUF layout is not a reordering of rows or columns"
        if reason is None:
            self.lora[module] = (e, ct, rows, cols)
        else:
            self.other.setdefault(module, []).append((hf, reason))

    def choose(self, lora_only: bool) -> None:
        """What goes in whole (nothing with `lora_only`) and what is left out."""
        if lora_only:
            self.skipped.update((t, why) for items in self.other.values() for t, why in items)
        else:
            for module, items in self.other.items():
                if module:
                    self.full[module] = []
                    self.lora.pop(module, None)
                else:
                    why = "a parameter of the model itself, not of a module"
                    self.skipped.update((t, why) for t, _ in items)
        if not self.lora:
            raise NoLoraTargets(self.name)
        # A module written whole is every tensor under its name, changed or not, as PEFT
        # saves it.
        for stored in self.base:
            parts = (self.hf(stored) or "").split(".")
            owner = next(
                (m for i in range(1, len(parts)) if (m := ".".join(parts[:i])) in self.full),
                None,
            )
            if owner is not None:
                self.full[owner].append(stored)
        embedding = next((m for m in self.full if _is_embedding(m)), None)
        if (
            embedding is not None
            and _TIED_HEAD not in self.full
            and _tied_embeddings(self.root, self.manifest)
        ):
            self.tied = embedding

    def arrays(self) -> tuple[list[tuple[str, np.dtype, tuple, Callable]], dict, dict]:
        """(key, dtype, shape, maker) of every array of the adapter, the rank of each LoRA
        module and the bytes of each module written whole."""
        arrays: list[tuple[str, np.dtype, tuple, Callable]] = []
        ranks: dict[str, int] = {}
        for module, (e, ct, rows, cols) in self.lora.items():
            b, a = _lora_factors(e, ct)
            ranks[module] = int(a.shape[0])
            if rows is not None:
                b = b[rows]
            if cols is not None:
                a = a[:, cols]
            prefix = f"base_model.model.{module}"
            # In the dtype of the base tensor they adapt, or the one asked for.
            target = self.dtype or self.base[e["name"]]["dtype"]
            a, b = tf.from_float32(a, target), tf.from_float32(b, target)
            a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
            arrays.append((f"{prefix}.lora_A.weight", target, a.shape, lambda a=a: a))
            arrays.append((f"{prefix}.lora_B.weight", target, b.shape, lambda b=b: b))
        sizes: dict[str, int] = {}
        for module, tensors in self.full.items():
            sizes[module] = 0
            for stored in tensors:
                e = self.entries.get(stored)
                dtype = self.out_dtype(stored)
                shape = tuple(self.base[stored]["shape"])
                if self.mapping is not None:
                    shape = tuple(self.mapping.hf_tensor(stored, _stand_in(shape))[1].shape)
                hf = self.hf(stored)
                keys = [hf]
                if self.tied is not None and hf == f"{self.tied}.weight":
                    # The head shares the embedding's weight: PEFT wraps both, ties them again.
                    keys.append(f"{_TIED_HEAD}.weight")
                    sizes[_TIED_HEAD] = _nbytes(dtype, shape)
                for k in keys:
                    arrays.append(
                        (f"base_model.model.{k}", dtype, shape, lambda s=stored: self.whole(s))
                    )
                sizes[module] += _nbytes(dtype, shape)
        return arrays, ranks, sizes

    def errors(self) -> dict[str, float]:
        """Each tensor left out: the relative error of the base's against the fine-tune's."""
        out = {}
        for t in self.skipped:
            stored = self.stored(t)
            if stored not in self.base or stored not in self.entries:
                out[t] = 1.0
                continue
            tuned = self.rebuilt(stored, "float32")
            own = tf.to_float32(self.base_array(stored), self.base[stored]["dtype"])
            out[t] = tamsel.reconstruction_error({t: own}, {t: tuned})
        return out

    def config(self, targets: dict[str, int], modules_to_save: list[str]) -> dict[str, Any]:
        ranks = list(targets.values())
        r = max(set(ranks), key=ranks.count)
        pattern = {m: k for m, k in targets.items() if k != r}
        config: dict[str, Any] = {
            "peft_type": "LORA",
            "task_type": "CAUSAL_LM",
            "base_model_name_or_path": _base_reference(self.manifest["base_id"]),
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
            "modules_to_save": modules_to_save or None,
        }
        if self.tied is not None:
            config["ensure_weight_tying"] = True
        return config


def export_lora(
    path,
    name: str,
    out_dir,
    *,
    verify: bool = True,
    lora_only: bool = False,
    logits: bool = True,
    dtype=None,
) -> dict:
    """Writes a stored fine-tune as a PEFT LoRA adapter (`adapter_model.safetensors` and
    `adapter_config.json`) that, loaded onto the base, gives the stored fine-tune.

    Each changed linear layer stored as a truncated SVD becomes a LoRA module, B = U diag(s)
    and A = V^T at the stored rank, scaled by 1, so that it adds exactly the library's
    reconstruction of its delta. Every other changed tensor (norms, biases, embeddings, the
    output head, matrices stored otherwise) puts the module that owns it into the adapter
    whole, through PEFT's `modules_to_save`. Unchanged tensors (a delta of exactly zero)
    stay out. A library built from GGUF files gets the Hugging Face model's module names.

    The LoRA matrices are written in the dtype of the base tensor they adapt (rounded to
    nearest even), whole modules in each tensor's own; `dtype` ("float32", "bfloat16" or
    "float16") asks for one for all.

    `lora_only=True` writes the LoRA modules alone (what serving engines that take LoRA
    weights accept); the changed tensors that leaves out are listed with their relative
    error and, with `logits` and where torch and transformers are installed and the library
    has the model's configuration, the largest difference in logits they make.

    Returns {"path", "base_model_name_or_path", "targets" (LoRA module: rank), "rank", "full"
    (module written whole: bytes), "skipped" (tensor left out: reason), "errors" (tensor
    left out: relative error of the base's against the fine-tune's), "unchanged" (tensors
    left out for being unchanged), "adapter_bytes", "finetune_bytes" (the fine-tune rebuilt
    in full), "logits" ({"adapter": largest |logit| difference of base + adapter from the
    fine-tune, "finetune": of the fine-tune from the base}, or None), "logits_note" (why
    logits were not measured, or None)}."""
    adapter = _Adapter(path, name, verify, _checked_dtype(dtype))
    adapter.classify()
    adapter.choose(lora_only)
    arrays, targets, sizes = adapter.arrays()
    config = adapter.config(targets, sorted(sizes))
    with tf.new_directory(out_dir, "a LoRA adapter is exported") as out:
        tf.write_tensor_file(
            out / "adapter_model.safetensors",
            [(k, d, s) for k, d, s, _ in arrays],
            (make() for *_, make in arrays),
            _WEIGHTS_META,
        )
        with tf.atomic_file(out / "adapter_config.json", "w") as f:
            json.dump(config, f, indent=2)
    effect, note = None, None
    if adapter.skipped and logits:
        effect, note = _logit_effect(path, adapter)
    return {
        "path": str(out_dir),
        "base_model_name_or_path": config["base_model_name_or_path"],
        "targets": targets,
        "rank": config["r"],
        "full": sizes,
        "skipped": adapter.skipped,
        "errors": adapter.errors(),
        "unchanged": adapter.unchanged,
        "adapter_bytes": sum(_nbytes(d, s) for _, d, s, _ in arrays),
        "finetune_bytes": sum(
            _nbytes(_export_dtype(e, adapter.base, adapter.dtype), e["shape"])
            for e in adapter.ft["tensors"]
        ),
        "logits": effect,
        "logits_note": note,
    }


def _logit_effect(path, adapter: _Adapter):
    """What leaving the skipped tensors out of an adapter costs in logits: the largest
    absolute difference between base + adapter (the fine-tune with those tensors as the
    base has them) and the fine-tune, beside the fine-tune's own largest change from the
    base, on a fixed batch of token ids. Returns (figures, None) or (None, why they were
    not measured)."""
    missing = [m for m in ("torch", "transformers") if importlib.util.find_spec(m) is None]
    if missing:
        return None, f"needs {' and '.join(missing)}"
    files = adapter.manifest.get("model_files", [])
    if not any(Path(m["file"]).name == "config.json" for m in files):
        return None, "the library keeps no config.json of its base"
    import torch
    import transformers

    with tempfile.TemporaryDirectory(prefix="velmora-dryx-") as tmp:
        export_finetune(path, adapter.name, Path(tmp) / "model", verify=adapter.verify)
        verbosity = transformers.logging.get_verbosity()
        transformers.logging.set_verbosity_error()  # weights the fine-tune lacks are set below
        try:
            model = transformers.AutoModelForCausalLM.from_pretrained(
                Path(tmp) / "model", dtype=torch.float32
            )
        finally:
            transformers.logging.set_verbosity(verbosity)
    model.eval()
    params = model.state_dict(keep_vars=True)

    def as_base(stored: str) -> None:
        hf = adapter.hf(stored)
        if stored in adapter.base and hf in params:
            a = adapter.in_model(stored, adapter.base_array(stored))
            with torch.no_grad():
                params[hf].copy_(torch.from_numpy(np.array(a, dtype=np.float32)))

    for stored in adapter.base:
        if stored not in adapter.entries:
            as_base(stored)
    vocab = model.get_input_embeddings().num_embeddings
    length = min(32, getattr(model.config, "max_position_embeddings", None) or 32)
    ids = (torch.arange(2 * length) * 7919 % vocab).reshape(2, length)
    with torch.no_grad():
        tuned = model(ids).logits
        for t in adapter.skipped:
            as_base(adapter.stored(t))
        adapted = model(ids).logits
        for stored in adapter.entries:
            as_base(stored)
        original = model(ids).logits
    return {
        "adapter": float((adapted - tuned).abs().max()),
        "finetune": float((tuned - original).abs().max()),
    }, None


__all__ = ["LibraryError", "export_finetune", "export_lora"]
