"""The sources of a library build and its compression tasks: where each tensor lives, and
one task per fine-tune tensor that reads it and its base tensor and compresses the delta."""

from __future__ import annotations

import math
import os
import uuid
from collections.abc import Mapping
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx import bramwick, lornet, tamsel
from velmora_dryx._library_format import MODEL_PATTERNS, corrupted, record_entry
from velmora_dryx._tensorfile import LibraryError
from velmora_dryx.methods import Settings

# ---- sources ----------------------------------------------------------------------------


@dataclass(frozen=True)
class TensorRef:
    """Where one source tensor lives: a byte range of a safetensors file (read through a map
    of just that range), or an array in memory; `dtype` is its stored dtype's name."""

    name: str
    shape: tuple[int, ...]
    nbytes: int
    dtype: str
    path: str | None = None
    offset: int = 0
    count: int = 0
    array: Any = None
    follow: bool = True  # false: a library's own file (no link followed)

    def raw(self) -> np.ndarray:
        """The elements as stored (bfloat16 as its 16-bit patterns): what the base keeps."""
        if self.path is None:
            return self.array
        return tf.map_range(self.path, self.dtype, self.shape, self.offset, self.count, self.follow)

    def values(self, raw: np.ndarray | None = None) -> np.ndarray:
        """What deltas are taken from: float32 and float64 as stored, the 16-bit float types
        widened to float32 (exactly), other types cast to float32 as the state-dict loaders
        cast them. `raw` is this tensor's `raw()` when the caller already holds it."""
        a = self.raw() if raw is None else raw
        if self.dtype in ("float32", "float64"):
            return a
        return tf.to_float32(a, self.dtype)


def file_refs(f: tf.TensorFile) -> dict[str, TensorRef]:
    return {
        name: TensorRef(
            name,
            shape,
            count * tf.itemsize(dtype),
            dtype,
            str(f.path),
            offset,
            count,
            None,
            f.follow,
        )
        for name, (dtype, shape, offset, count) in f.tensors.items()
    }


GGUF_MAGIC = b"GGUF"


def is_gguf_file(source) -> bool:
    """A file that starts with the GGUF magic bytes (Ollama's blobs have no suffix)."""
    if isinstance(source, Mapping):
        return False
    p = Path(source)
    if not p.is_file():
        return False
    with open(p, "rb") as f:
        return f.read(4) == GGUF_MAGIC


def array_refs(tensors: Mapping) -> dict[str, TensorRef]:
    refs = {}
    for name, a in tensors.items():
        a = np.asarray(a)
        refs[name] = TensorRef(name, tuple(a.shape), int(a.nbytes), a.dtype.name, array=a)
    return refs


def source_refs(source) -> dict[str, TensorRef]:
    """The tensors of a source, in order: a state dict, a `.safetensors` file, a GGUF file
    (loaded whole, quantized tensors dequantized to float32), or a model directory of
    `*.safetensors` shards (in the order of the state-dict loaders: shards sorted, names
    sorted within a shard; a later shard's tensor replaces an earlier one of the same name
    and keeps its place)."""
    if isinstance(source, Mapping):
        return array_refs(source)
    if is_gguf_file(source):
        return array_refs(bramwick.load_gguf_state_dict(Path(source)))
    p = Path(source)
    if p.is_file():
        shards = [p]
    else:
        # The shards the state-dict loaders read, in their order (the loaders' module keeps
        # the rule, and its namespace is fixed: no public name to reach it by).
        shards = lornet._shard_files(p)
    refs: dict[str, TensorRef] = {}
    for shard in shards:
        try:
            f = tf.TensorFile(shard)
        except LibraryError as exc:
            raise ValueError(str(exc)) from None
        # Names in sorted order within a shard, as the safetensors reader (and so the
        # state-dict loaders) lists them.
        shard_refs = file_refs(f)
        refs.update((k, shard_refs[k]) for k in sorted(shard_refs))
    return refs


def model_files(source) -> list[Path]:
    """Configuration and tokenizer files of a Hugging Face model directory."""
    if isinstance(source, Mapping) or source is None:
        return []
    p = Path(source)
    if not p.is_dir():
        return []
    found = {f for pat in MODEL_PATTERNS for f in p.glob(pat) if f.is_file()}
    return sorted(f for f in found if not f.name.endswith(".safetensors.index.json"))


# ---- compression tasks ------------------------------------------------------------------


@dataclass(frozen=True)
class CompressTask:
    """One tensor of one fine-tune: read it and its base tensor, form the delta, compress."""

    finetune: str
    tuned: TensorRef
    base: TensorRef | None
    base_sha256: str | None
    settings: Settings
    stage: str | None  # a directory to write the record into (workers on other machines)


@dataclass
class TaskResult:
    entry: dict
    arrays: list[tuple[str, np.ndarray]] | None
    piece: str | None
    nbytes: int


def base_values(ref: TensorRef | None, sha256: str | None) -> np.ndarray | None:
    """A base tensor's values (what deltas are taken from), checked against its checksum
    when one is given."""
    if ref is None:
        return None
    raw = ref.raw()
    if sha256 is not None and tf.sha256(raw) != sha256:
        raise corrupted(ref.path, ref.name)
    return ref.values(raw)


def run_task(task: CompressTask) -> TaskResult:
    name = task.tuned.name
    base = base_values(task.base, task.base_sha256)
    ct, error, norm = tamsel._stored_delta(base, task.tuned.values(), task.settings)
    del base
    entry, arrays = record_entry(name, ct, error, norm, task.tuned.dtype)
    if task.stage is None:
        return TaskResult(entry, arrays, None, task.tuned.nbytes)
    piece = Path(task.stage) / f"{uuid.uuid4().hex}.safetensors"
    tf.write_tensor_file(
        piece, [(k, a.dtype, a.shape) for k, a in arrays], [a for _, a in arrays], {}, sync=False
    )
    return TaskResult(entry, None, str(piece), task.tuned.nbytes)


# ---- a byte budget: a first pass per tensor, one allocation, the encoding ------------------

# A tensor's first pass keeps at most this many times the rank that float16 factors of its
# own share of the budget would have: the allocation moves bytes between tensors within it.
BUDGET_RANK_FACTOR = 8


@dataclass(frozen=True)
class PlanTask:
    """The first pass of a budget for one tensor: its delta's leading components and the
    error each removes per byte, staged for the encoding."""

    tuned: TensorRef
    base: TensorRef | None
    base_sha256: str | None
    settings: Settings
    stage: str


@dataclass
class PlanResult:
    name: str
    shape: tuple[int, ...]
    result: TaskResult | None  # a tensor stored whole (fewer than two dimensions)
    steps: tuple | None  # (component, bits_a, bits_b, bytes, gain)
    total: float  # the delta's squared norm
    piece: str | None  # the staged components
    nbytes: int
    dtype: str  # the fine-tune tensor's own


def _plan_cap(shape: tuple[int, ...], s: Settings) -> tuple[float, int | None]:
    """How many components a tensor's first pass keeps: (energy, cap)."""
    m, n = shape[0], math.prod(shape[1:])
    if s.budget is not None:
        share = s.budget * m * n / (m + n)
        return 1.0, max(1, min(m, n, math.ceil(BUDGET_RANK_FACTOR * share)))
    # A target error: enough components for the tensor alone to reach a third of it.
    return 1.0 - (s.target_error / 3) ** 2, None


def run_plan(task: PlanTask) -> PlanResult:
    name, shape = task.tuned.name, task.tuned.shape
    base = base_values(task.base, task.base_sha256)
    tuned = task.tuned.values()
    dtype = task.tuned.dtype
    if len(shape) < 2 or task.settings.method == "none":  # stored whole: no delta to plan
        whole = replace(task.settings, budget=None, target_error=None, bits=32)
        ct, error, norm = tamsel._stored_delta(base, tuned, whole)
        entry, arrays = record_entry(name, ct, error, norm, dtype)
        result = TaskResult(entry, arrays, None, task.tuned.nbytes)
        return PlanResult(name, shape, result, None, 0.0, None, task.tuned.nbytes, dtype)
    energy, cap = _plan_cap(shape, task.settings)
    a, b, steps, total = tamsel._delta_plan(base, tuned, task.settings.bits, energy, cap)
    del base, tuned
    piece = Path(task.stage) / f"{uuid.uuid4().hex}.safetensors"
    tf.write_tensor_file(
        piece, [("a", a.dtype, a.shape), ("b", b.dtype, b.shape)], [a, b], {}, sync=False
    )
    return PlanResult(name, shape, None, steps, total, str(piece), task.tuned.nbytes, dtype)


@dataclass(frozen=True)
class EncodeTask:
    """The encoding of one planned tensor at the widths the allocation chose."""

    name: str
    shape: tuple[int, ...]
    piece: str
    widths: np.ndarray  # (k, 2) uint8, (0, 0) for a component not stored
    bits: int | str
    error: float
    norm: float  # of the delta
    stage: str | None
    source_dtype: str | None = None  # the fine-tune tensor's own


def run_encode(task: EncodeTask) -> TaskResult:
    piece = tf.TensorFile(Path(task.piece))
    a, b = piece.array("a"), piece.array("b")
    ct = tamsel._planned_record(task.shape, a, b, task.widths, task.bits, task.error, task.norm)
    del a, b, piece
    os.unlink(task.piece)
    entry, arrays = record_entry(task.name, ct, task.error, task.norm, task.source_dtype)
    if task.stage is None:
        return TaskResult(entry, arrays, None, 0)
    out = Path(task.stage) / f"{uuid.uuid4().hex}.safetensors"
    tf.write_tensor_file(
        out, [(k, x.dtype, x.shape) for k, x in arrays], [x for _, x in arrays], {}, sync=False
    )
    return TaskResult(entry, None, str(out), 0)


def allocate(plans: list[PlanResult], s: Settings) -> tuple[list[np.ndarray], list[float], float]:
    """Spends the budget (or reaches the target error) across a fine-tune's planned tensors:
    per plan the widths of its components, per plan its relative error, and the error of all
    planned deltas together."""
    planned = [p for p in plans if p.steps is not None]
    whole = sum(x.nbytes for p in plans if p.result for _, x in p.result.arrays or [])
    # A chain of steps per component: a new chain where the component (or the tensor) changes.
    first = np.concatenate(
        [np.zeros(0, bool)]
        + [np.r_[True, p.steps[0][1:] != p.steps[0][:-1]][: len(p.steps[0])] for p in planned]
    ).astype(np.uint8)
    nbytes = np.concatenate([np.zeros(0, np.int64)] + [p.steps[3] for p in planned])
    gain = np.concatenate([np.zeros(0)] + [p.steps[4] for p in planned])
    total = float(sum(p.total for p in planned))
    if s.budget is not None:
        size16 = sum(2 * math.prod(p.shape) for p in plans)
        budget = max(0, math.floor(s.budget * size16) - whole)
        taken = tamsel._allocate(nbytes, gain, first, budget, total, None)
    else:
        taken = tamsel._allocate(nbytes, gain, first, None, total, s.target_error**2 * total)
    widths, errors, left, at = [], [], total, 0
    for p in planned:
        c, wa, wb, _, g = p.steps
        w = np.zeros((int(c.max()) + 1 if len(c) else 0, 2), np.uint8)
        mine = taken[at : at + len(c)]
        for j in np.flatnonzero(mine):
            w[c[j]] = wa[j], wb[j]
        removed = float(g[mine].sum())
        at += len(c)
        left -= removed
        widths.append(w)
        errors.append(math.sqrt(max(p.total - removed, 0.0) / p.total) if p.total > 0 else 0.0)
    return widths, errors, math.sqrt(max(left, 0.0) / total) if total > 0 else 0.0
