"""The sources of a library build and its compression tasks: where each tensor lives, and
one task per fine-tune tensor that reads it and its base tensor and compresses the delta."""

from __future__ import annotations

import uuid
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx import lornet, tamsel
from velmora_dryx._library_format import MODEL_PATTERNS, corrupted, record_entry
from velmora_dryx._tensorfile import LibraryError
from velmora_dryx.methods import Settings

# ---- sources ----------------------------------------------------------------------------


@dataclass(frozen=True)
class TensorRef:
    """Where one source tensor lives: a byte range of a safetensors file (read through a map
    of just that range), or an array in memory."""

    name: str
    shape: tuple[int, ...]
    nbytes: int
    path: str | None = None
    dtype: str = ""
    offset: int = 0
    count: int = 0
    array: Any = None
    as_float32: bool = False
    follow: bool = True  # false: a library's own file (no link followed)

    def load(self) -> np.ndarray:
        if self.path is None:
            return self.array
        a = tf.map_range(self.path, self.dtype, self.shape, self.offset, self.count, self.follow)
        # Weights read from model files become float32, as the state-dict loaders make them.
        return a.astype(np.float32, copy=False) if self.as_float32 else a


def file_refs(f: tf.TensorFile, as_float32: bool) -> dict[str, TensorRef]:
    return {
        name: TensorRef(
            name,
            shape,
            count * tf.itemsize(dtype),
            str(f.path),
            dtype,
            offset,
            count,
            None,
            as_float32,
            f.follow,
        )
        for name, (dtype, shape, offset, count) in f.tensors.items()
    }


def source_refs(source) -> dict[str, TensorRef]:
    """The tensors of a source, in order: a state dict, a `.safetensors` file, or a model
    directory of `*.safetensors` shards (in the order of the state-dict loaders: shards
    sorted, names sorted within a shard; a later shard's tensor replaces an earlier one of
    the same name and keeps its place)."""
    if isinstance(source, Mapping):
        refs = {}
        for name, a in source.items():
            a = np.asarray(a)
            refs[name] = TensorRef(name, tuple(a.shape), int(a.nbytes), array=a)
        return refs
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
        shard_refs = file_refs(f, as_float32=True)
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


def run_task(task: CompressTask) -> TaskResult:
    name = task.tuned.name
    base = None
    if task.base is not None:
        base = task.base.load()
        if task.base_sha256 is not None and tf.sha256(base) != task.base_sha256:
            raise corrupted(task.base.path, name)
    ct, error, norm = tamsel._stored_delta(base, task.tuned.load(), task.settings)
    del base
    entry, arrays = record_entry(name, ct, error, norm)
    if task.stage is None:
        return TaskResult(entry, arrays, None, task.tuned.nbytes)
    piece = Path(task.stage) / f"{uuid.uuid4().hex}.safetensors"
    tf.write_tensor_file(
        piece, [(k, a.dtype, a.shape) for k, a in arrays], [a for _, a in arrays], {}, sync=False
    )
    return TaskResult(entry, None, str(piece), task.tuned.nbytes)
