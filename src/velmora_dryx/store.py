"""Saved libraries: a model library on disk, built and extended tensor by tensor.

A library directory holds `manifest.json` (what the library contains, with a SHA-256 of
every stored tensor), `base.safetensors` (the base model), one `finetunes/*.safetensors`
file per fine-tune (the factors of its compressed deltas) and, for a library built from a
Hugging Face model directory, that model's configuration and tokenizer files under
`model/`. Every file is written under a temporary name, fsynced and renamed into place;
the manifest goes last, so a library is always the one its manifest describes.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import shutil
import uuid
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from velmora_dryx import _tensorfile as tf
from velmora_dryx._tensorfile import LibraryError
from velmora_dryx.parallel import check_jobs, run_ordered

FORMAT = "velmora-dryx-library"
VERSION = 1
MANIFEST = "manifest.json"
BASE_FILE = "base.safetensors"
FINETUNE_DIR = "finetunes"
MODEL_DIR = "model"
# Files of a Hugging Face model directory that make the exported weights a loadable model.
_MODEL_PATTERNS = ("*.json", "*.txt", "tokenizer*", "*.model")

Progress = Callable[[int, int, int, int], None]
"""progress(tasks_done, tasks_total, bytes_done, bytes_total): called once at the start and
after every step (a base tensor written, a fine-tune tensor compressed), in the caller's
thread."""

__all__ = [
    "LibraryError",
    "add_to_library",
    "build_library",
    "library_info",
    "load_library",
    "save_library",
]


# ---- manifest ---------------------------------------------------------------------------


def _encode(value: Any) -> Any:
    """Record metadata as JSON; tuples are tagged so that they come back as tuples."""
    if isinstance(value, tuple):
        return {"__tuple__": [_encode(v) for v in value]}
    if isinstance(value, list):
        return [_encode(v) for v in value]
    if isinstance(value, dict):
        return {str(k): _encode(v) for k, v in value.items()}
    if isinstance(value, np.generic):
        return value.item()
    return value


def _decode(value: Any) -> Any:
    if isinstance(value, dict):
        if len(value) == 1 and "__tuple__" in value:
            return tuple(_decode(v) for v in value["__tuple__"])
        return {k: _decode(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_decode(v) for v in value]
    return value


def _inside(root: Path, rel: str, what: str) -> Path:
    """`root/rel`, refusing names that would leave the library directory."""
    p = Path(rel)
    if not rel or p.is_absolute() or ".." in p.parts:
        raise LibraryError(f"{root / MANIFEST}: {what} names a file outside the library: {rel!r}")
    return root / p


def _read_manifest(root: Path) -> dict:
    if not root.is_dir():
        raise FileNotFoundError(f"{root}: no such library directory")
    path = root / MANIFEST
    try:
        text = path.read_bytes()
    except FileNotFoundError:
        raise LibraryError(
            f"{path}: missing (not a saved library, or its first save did not finish)"
        ) from None
    try:
        manifest = json.loads(text)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise LibraryError(f"{path}: corrupted ({exc})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise LibraryError(f"{path}: not a velmora-dryx library manifest")
    version = manifest.get("version")
    if not isinstance(version, int) or version < 1:
        raise LibraryError(f"{path}: corrupted (format version {version!r})")
    if version > VERSION:
        raise LibraryError(
            f"{path}: format version {version} is newer than this velmora-dryx reads "
            f"(up to {VERSION}); upgrade velmora-dryx"
        )
    _validate(manifest, path)
    return manifest


def _validate(m: dict, path: Path) -> None:
    """Every field the library reads, of the type it is read as: a damaged manifest fails
    here, once, with the field named."""

    def need(ok: bool, what: str) -> None:
        if not ok:
            raise LibraryError(f"{path}: corrupted ({what})")

    def is_str(v) -> bool:
        return isinstance(v, str)

    def is_shape(v) -> bool:
        return isinstance(v, list) and all(isinstance(x, int) and x >= 0 for x in v)

    methods = {"none", "svd", "tucker", "tt"}
    need(is_str(m.get("uuid")) and is_str(m.get("base_id")), "uuid or base_id")
    s = m.get("settings")
    need(
        isinstance(s, dict)
        and s.get("method") in methods
        and isinstance(s.get("max_rank"), int)
        and (s.get("energy") is None or isinstance(s.get("energy"), (int, float)))
        and isinstance(s.get("rank_ratio", 0.5), (int, float)),
        "settings",
    )
    b = m.get("base")
    need(
        isinstance(b, dict) and is_str(b.get("file")) and isinstance(b.get("tensors"), list), "base"
    )
    for t in b["tensors"]:
        need(
            isinstance(t, dict)
            and is_str(t.get("name"))
            and is_shape(t.get("shape"))
            and t.get("dtype") in tf.DTYPE_NAMES
            and is_str(t.get("sha256")),
            f"base tensor {t!r:.80}",
        )
    files = m.get("model_files", [])
    need(isinstance(files, list), "model_files")
    for f in files:
        need(
            isinstance(f, dict) and is_str(f.get("file")) and is_str(f.get("sha256")), "model_files"
        )
    fts = m.get("finetunes")
    need(isinstance(fts, list), "finetunes")
    names = set()
    for ft in fts:
        need(
            isinstance(ft, dict)
            and is_str(ft.get("name"))
            and is_str(ft.get("base_id"))
            and is_str(ft.get("file"))
            and isinstance(ft.get("tensors"), list),
            "a fine-tune entry",
        )
        need(ft["name"] not in names, f"fine-tune {ft['name']!r} listed twice")
        names.add(ft["name"])
        for e in ft["tensors"]:
            ok = (
                isinstance(e, dict)
                and is_str(e.get("name"))
                and e.get("method") in methods
                and is_shape(e.get("shape"))
                and e.get("dtype") in tf.DTYPE_NAMES
                and isinstance(e.get("metadata"), dict)
                and isinstance(e.get("cores"), list)
                and isinstance(e.get("factors"), list)
                and isinstance(e.get("sha256"), dict)
            )
            need(ok, f"tensor entry of fine-tune {ft['name']!r}")
            keys = e["cores"] + e["factors"]
            need(
                all(is_str(k) and is_str(e["sha256"].get(k)) for k in keys),
                f"factor names of {e['name']!r} in fine-tune {ft['name']!r}",
            )


def _write_manifest(root: Path, manifest: dict) -> None:
    with tf.atomic_file(root / MANIFEST, "w") as f:
        json.dump(manifest, f, indent=1)


def _file_meta(manifest: dict, content: str) -> dict[str, str]:
    return {"format": FORMAT, "library": manifest["uuid"], "content": content}


def _open_member(root: Path, manifest: dict, rel: str, content: str, what: str) -> tf.TensorFile:
    """A tensor file of the library, checked to be the one the manifest means."""
    f = tf.TensorFile(_inside(root, rel, what))
    meta = f.metadata
    if meta.get("format") != FORMAT or meta.get("library") != manifest["uuid"]:
        raise LibraryError(f"{f.path}: belongs to another library (or is not a library file)")
    if meta.get("content") != content:
        raise LibraryError(
            f"{f.path}: holds {meta.get('content')!r}, the manifest expects {content!r}"
        )
    return f


def _check_entry(f: tf.TensorFile, key: str, dtype: str | None, shape: tuple | None) -> None:
    if key not in f.tensors:
        raise LibraryError(f"{f.path}: tensor {key!r} is missing")
    have_dtype, have_shape, _, _ = f.tensors[key]
    if (dtype is not None and have_dtype != dtype) or (
        shape is not None and have_shape != tuple(shape)
    ):
        raise LibraryError(
            f"{f.path}: tensor {key!r} is {have_dtype} {have_shape}, "
            f"the manifest says {dtype} {tuple(shape or ())}"
        )


def _corrupted(path, key: str) -> LibraryError:
    return LibraryError(
        f"{path}: tensor {key!r} does not match its checksum (the file is corrupted)"
    )


def _verified(
    f: tf.TensorFile, key: str, digest: str, verify: bool, own_map: bool = False
) -> np.ndarray:
    """A stored tensor, checked against its checksum when `verify`: a view of the file's
    map, or with `own_map` of a map of its own (let go with the array, for one-pass
    readers such as the exports)."""
    if own_map:
        a = f.map_one(key)
        if verify and tf.sha256(a) != digest:
            raise _corrupted(f.path, key)
        return a
    a = f.array(key)
    if verify:
        if tf.sha256(a) != digest:
            raise _corrupted(f.path, key)
        f.release(key)  # the pages read for the check need not stay resident
    return a


# ---- records <-> files ------------------------------------------------------------------


def _record_entry(name: str, ct) -> tuple[dict, list[tuple[str, np.ndarray]]]:
    """The manifest entry of one compressed tensor and its arrays under their file keys."""
    arrays = [(f"{name}:core:{i}", np.ascontiguousarray(a)) for i, a in enumerate(ct.cores)]
    arrays += [(f"{name}:factor:{i}", np.ascontiguousarray(a)) for i, a in enumerate(ct.factors)]
    digests = {key: tf.sha256(a) for key, a in arrays}
    entry = {
        "name": name,
        "method": ct.method.value,
        "shape": list(ct.shape),
        "dtype": ct.dtype,
        "metadata": _encode(ct.metadata),
        "cores": [k for k, _ in arrays[: len(ct.cores)]],
        "factors": [k for k, _ in arrays[len(ct.cores) :]],
        "sha256": digests,
    }
    return entry, arrays


def _record(f: tf.TensorFile, entry: dict, verify: bool, own_map: bool = False):
    from velmora_dryx.kestrine import CompressedTensor, CompressionMethod

    def arrays(keys):
        return tuple(_verified(f, k, entry["sha256"][k], verify, own_map) for k in keys)

    return CompressedTensor(
        CompressionMethod(entry["method"]),
        tuple(entry["shape"]),
        entry["dtype"],
        arrays(entry["cores"]),
        arrays(entry["factors"]),
        _decode(entry["metadata"]),
    )


def _load_finetune(root: Path, manifest: dict, ft: dict, verify: bool):
    from velmora_dryx.tamsel import CompressedDelta

    f = _open_member(
        root, manifest, ft["file"], "finetune:" + ft["name"], f"fine-tune {ft['name']!r}"
    )
    tensors = {}
    for entry in ft["tensors"]:
        for key in entry["cores"] + entry["factors"]:
            _check_entry(f, key, None, None)
        tensors[entry["name"]] = _record(f, entry, verify)
    return CompressedDelta(ft["name"], tensors, ft["base_id"])


def _settings(method, max_rank, energy, rank_ratio) -> dict:
    """Compression settings as stored, checked (the compressors would clamp a value out of
    range where a user most likely mistyped it)."""
    from velmora_dryx.kestrine import CompressionMethod

    s = {
        "method": CompressionMethod(method).value,
        "max_rank": int(max_rank),
        "energy": None if energy is None else float(energy),
        "rank_ratio": float(rank_ratio),
    }
    if s["max_rank"] < 0:
        raise ValueError(f"max_rank must be >= 0 (0: no cap), got {max_rank!r}")
    if s["energy"] is not None and not 0.0 < s["energy"] <= 1.0:
        raise ValueError(f"energy must be in (0, 1], got {energy!r}")
    if not 0.0 < s["rank_ratio"] <= 1.0:
        raise ValueError(f"rank_ratio must be in (0, 1], got {rank_ratio!r}")
    return s


def _library_settings(s: dict) -> dict:
    """The ModelLibrary fields of stored settings."""
    from velmora_dryx.kestrine import CompressionMethod

    return {
        "method": CompressionMethod(s["method"]),
        "max_rank": s["max_rank"],
        "energy": s["energy"],
    }


def _compress_delta(base, tuned, settings: dict, base_id: str = "base", name: str = "t"):
    """One tensor's compressed delta, as ModelLibrary.add_finetune makes it; svd and Tucker
    take the settings' rank_ratio (the library's own calls use the default, 0.5)."""
    from velmora_dryx import kestrine
    from velmora_dryx.tamsel import ModelLibrary

    m = kestrine.CompressionMethod(settings["method"])
    ratio = settings["energy"] is None and m in (m.SVD, m.TUCKER) and tuned.ndim >= 2
    lib = ModelLibrary(
        base_id,
        {} if base is None else {name: base},
        # With a rank ratio the library only forms the float32 delta (stored as is).
        method=m.NONE if ratio else m,
        max_rank=settings["max_rank"],
        energy=settings["energy"],
    )
    ct = lib.add_finetune("x", {name: tuned}).tensors[name]
    if ratio:
        (delta,) = ct.cores
        del ct, lib
        return kestrine.compress(
            delta, m, rank_ratio=settings["rank_ratio"], max_rank=settings["max_rank"]
        )
    return ct


def load_library(path, *, verify: bool = True):
    """Opens a saved library as a `tamsel.ModelLibrary`.

    Arrays are read-only views of memory maps of the library's files (nothing is copied);
    `verify` checks every stored tensor against its SHA-256 first. A damaged, truncated,
    foreign or missing file raises `LibraryError` naming the file and the problem.
    """
    from velmora_dryx.tamsel import ModelLibrary

    root = Path(path)
    manifest = _read_manifest(root)
    base_file = _open_member(root, manifest, manifest["base"]["file"], "base", "the base")
    base = {}
    for t in manifest["base"]["tensors"]:
        _check_entry(base_file, t["name"], t["dtype"], t["shape"])
        base[t["name"]] = _verified(base_file, t["name"], t["sha256"], verify)
    if verify:
        _verify_model_files(root, manifest)
    deltas = {
        ft["name"]: _load_finetune(root, manifest, ft, verify) for ft in manifest["finetunes"]
    }
    return ModelLibrary(
        manifest["base_id"], base, deltas, **_library_settings(manifest["settings"])
    )


def _verify_model_files(root: Path, manifest: dict) -> None:
    import hashlib

    for m in manifest.get("model_files", []):
        p = _inside(root, m["file"], "a model file")
        try:
            digest = hashlib.sha256(p.read_bytes()).hexdigest()
        except FileNotFoundError:
            raise LibraryError(f"{p}: missing") from None
        if digest != m["sha256"]:
            raise LibraryError(f"{p}: does not match its checksum (the file is corrupted)")


def library_info(path) -> dict:
    """What a saved library holds, from its manifest and file headers (no data is read):
    the base, and per fine-tune its tensors, methods, bytes and ratio."""
    root = Path(path)
    manifest = _read_manifest(root)
    base_bytes = sum(
        int(np.prod(t["shape"], dtype=np.int64)) * tf.itemsize(t["dtype"])
        for t in manifest["base"]["tensors"]
    )
    rows = []
    for ft in manifest["finetunes"]:
        f = _open_member(
            root, manifest, ft["file"], "finetune:" + ft["name"], f"fine-tune {ft['name']!r}"
        )
        methods: dict[str, int] = {}
        original = stored = 0
        for e in ft["tensors"]:
            methods[e["method"]] = methods.get(e["method"], 0) + 1
            original += int(np.prod(e["shape"], dtype=np.int64)) * tf.itemsize(e["dtype"])
            for key in e["cores"] + e["factors"]:
                _check_entry(f, key, None, None)
                dtype, _, _, count = f.tensors[key]
                stored += count * tf.itemsize(dtype)
        rows.append(
            {
                "name": ft["name"],
                "tensors": len(ft["tensors"]),
                "methods": methods,
                "original_bytes": original,
                "stored_bytes": stored,
                "ratio": original / stored if stored else float("inf"),
                "file": ft["file"],
            }
        )
    s = manifest["settings"]
    return {
        "path": str(root),
        "format_version": manifest["version"],
        "base_id": manifest["base_id"],
        "base_tensors": len(manifest["base"]["tensors"]),
        "base_bytes": base_bytes,
        "settings": {"rank_ratio": 0.5, **s},
        "model_files": [m["file"] for m in manifest.get("model_files", [])],
        "finetunes": rows,
    }


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

    def load(self) -> np.ndarray:
        if self.path is None:
            return self.array
        a = tf.map_range(self.path, self.dtype, self.shape, self.offset, self.count)
        # Weights read from model files become float32, as the state-dict loaders make them.
        return a.astype(np.float32, copy=False) if self.as_float32 else a


def _file_refs(f: tf.TensorFile, as_float32: bool) -> dict[str, TensorRef]:
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
        from velmora_dryx import lornet

        shards = lornet._shard_files(p)
    refs: dict[str, TensorRef] = {}
    for shard in shards:
        try:
            f = tf.TensorFile(shard)
        except LibraryError as exc:
            raise ValueError(str(exc)) from None
        # Names in sorted order within a shard, as the safetensors reader (and so the
        # state-dict loaders) lists them.
        shard_refs = _file_refs(f, as_float32=True)
        refs.update((k, shard_refs[k]) for k in sorted(shard_refs))
    return refs


def _model_files(source) -> list[Path]:
    """Configuration and tokenizer files of a Hugging Face model directory."""
    if isinstance(source, Mapping) or source is None:
        return []
    p = Path(source)
    if not p.is_dir():
        return []
    found = {f for pat in _MODEL_PATTERNS for f in p.glob(pat) if f.is_file()}
    return sorted(f for f in found if not f.name.endswith(".safetensors.index.json"))


# ---- compression tasks ------------------------------------------------------------------


@dataclass(frozen=True)
class CompressTask:
    """One tensor of one fine-tune: read it and its base tensor, form the delta, compress."""

    finetune: str
    base_id: str
    tuned: TensorRef
    base: TensorRef | None
    base_sha256: str | None
    settings: dict
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
            raise _corrupted(task.base.path, name)
    ct = _compress_delta(base, task.tuned.load(), task.settings, task.base_id, name)
    del base
    entry, arrays = _record_entry(name, ct)
    if task.stage is None:
        return TaskResult(entry, arrays, None, task.tuned.nbytes)
    piece = Path(task.stage) / f"{uuid.uuid4().hex}.safetensors"
    tf.write_tensor_file(
        piece, [(k, a.dtype, a.shape) for k, a in arrays], [a for _, a in arrays], {}, sync=False
    )
    return TaskResult(entry, None, str(piece), task.tuned.nbytes)


class _FinetuneFile:
    """Collects the records of one fine-tune in task order into a data file, then writes
    the fine-tune's safetensors file (header first, so it can only be written at the end)."""

    def __init__(self, root: Path, manifest: dict, name: str, base_id: str) -> None:
        self.root, self.manifest, self.name, self.base_id = root, manifest, name, base_id
        self.body_path = root / f".body-{uuid.uuid4().hex}"
        self.rel = f"{FINETUNE_DIR}/{uuid.uuid4().hex[:16]}.safetensors"
        self.body = open(self.body_path, "wb")  # noqa: SIM115 - closed in finish/discard
        self.header: list[tuple[str, np.dtype, tuple[int, ...]]] = []
        self.entries: list[dict] = []

    def add(self, result: TaskResult) -> None:
        if result.piece is not None:
            piece = tf.TensorFile(Path(result.piece))
            arrays = [(k, piece.array(k)) for k in piece.tensors]
        else:
            arrays = result.arrays or []
        for key, a in arrays:
            self.header.append((key, a.dtype, a.shape))
            self.body.write(memoryview(np.ascontiguousarray(a).reshape(-1).view(np.uint8)))
        self.entries.append(result.entry)
        if result.piece is not None:
            del arrays, piece
            os.unlink(result.piece)

    def finish(self) -> dict:
        self.body.close()
        rel = self.rel
        (self.root / FINETUNE_DIR).mkdir(exist_ok=True)
        tf.write_tensor_file(
            self.root / rel,
            self.header,
            tf.file_chunks(self.body_path),
            _file_meta(self.manifest, "finetune:" + self.name),
        )
        self.body_path.unlink()
        return {"name": self.name, "base_id": self.base_id, "file": rel, "tensors": self.entries}

    def discard(self) -> None:
        self.body.close()
        self.body_path.unlink(missing_ok=True)
        (self.root / self.rel).unlink(missing_ok=True)


class _Tracker:
    """Counts finished steps (a base tensor written, a tensor compressed) for `progress`."""

    def __init__(self, progress: Progress | None, tasks: int, nbytes: int) -> None:
        self.progress, self.tasks, self.total = progress, tasks, nbytes
        self.done = self.nbytes = 0
        self.report()

    def step(self, nbytes: int) -> None:
        self.done += 1
        self.nbytes += nbytes
        self.report()

    def report(self) -> None:
        if self.progress is not None:
            self.progress(self.done, self.tasks, self.nbytes, self.total)


def _source_bytes(finetunes: list[tuple[str, dict[str, TensorRef]]]) -> int:
    return sum(ref.nbytes for _, refs in finetunes for ref in refs.values())


def _compress_finetunes(
    root: Path,
    manifest: dict,
    base_refs: dict[str, TensorRef],
    base_digests: dict[str, str] | None,
    finetunes: list[tuple[str, dict[str, TensorRef]]],
    settings: dict,
    jobs: int,
    ray: str | None,
    tracker: _Tracker,
) -> list[dict]:
    """Compresses every tensor of every fine-tune (in parallel when asked) and writes one
    file per fine-tune; returns their manifest entries. Files already written are removed
    when a later step fails."""
    stage = None
    if ray is not None:
        stage = root / f".stage-{uuid.uuid4().hex}"
        stage.mkdir()
    tasks = [
        CompressTask(
            name,
            manifest["base_id"],
            ref,
            base_refs.get(tensor),
            None if base_digests is None else base_digests.get(tensor),
            settings,
            None if stage is None else str(stage),
        )
        for name, refs in finetunes
        for tensor, ref in refs.items()
    ]
    counts = [len(refs) for _, refs in finetunes]
    entries: list[dict] = []
    current: _FinetuneFile | None = None
    try:
        results = run_ordered(run_task, tasks, jobs=jobs, ray=ray, cost=lambda t: t.tuned.nbytes)
        for (name, _), count in zip(finetunes, counts, strict=True):
            current = _FinetuneFile(root, manifest, name, manifest["base_id"])
            for _ in range(count):
                result = next(results)
                current.add(result)
                tracker.step(result.nbytes)
            entries.append({**current.finish(), "settings": settings})
            current = None
    except BaseException:
        if current is not None:
            current.discard()
        for e in entries:
            (root / e["file"]).unlink(missing_ok=True)
        raise
    finally:
        if stage is not None:
            shutil.rmtree(stage, ignore_errors=True)
    return entries


def _check_finetune(name: str, refs: dict[str, TensorRef], base_refs: dict[str, TensorRef]) -> None:
    for tensor, ref in refs.items():
        b = base_refs.get(tensor)
        if b is not None and b.shape != ref.shape:
            raise ValueError(
                f"fine-tune {name!r}: tensor {tensor!r} has shape {ref.shape}, "
                f"the base's is {b.shape}"
            )


# ---- building a new library ---------------------------------------------------------------


@contextlib.contextmanager
def _new_directory(path) -> Iterator[Path]:
    """A temporary directory beside `path`, renamed to `path` when the block succeeds."""
    final = Path(path)
    if final.exists() and (not final.is_dir() or any(final.iterdir())):
        raise FileExistsError(f"{final}: already exists (a library is saved to a new directory)")
    final.parent.mkdir(parents=True, exist_ok=True)
    tmp = final.parent / f".{final.name}.tmp-{uuid.uuid4().hex[:12]}"
    tmp.mkdir()
    try:
        yield tmp
        tf.fsync_dir(tmp)
        if final.exists():
            final.rmdir()  # empty, checked above
        os.rename(tmp, final)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    tf.fsync_dir(final.parent)


def _new_manifest(base_id: str, settings: dict) -> dict:
    return {
        "format": FORMAT,
        "version": VERSION,
        "uuid": uuid.uuid4().hex,
        "base_id": base_id,
        "settings": settings,
        "base": {"file": BASE_FILE, "tensors": []},
        "model_files": [],
        "finetunes": [],
    }


def _write_base(
    root: Path, manifest: dict, refs: dict[str, TensorRef], tracker: _Tracker | None = None
) -> dict[str, str]:
    """Writes the base tensor by tensor (each mapped, hashed, written, let go)."""
    digests: dict[str, str] = {}
    entries = []
    for ref in refs.values():
        dtype = (
            np.dtype(np.float32)
            if ref.as_float32
            else np.dtype(ref.array.dtype if ref.path is None else tf._np_dtype(ref.dtype))
        )
        entries.append((ref.name, dtype, ref.shape))

    def chunks():
        for ref in refs.values():
            a = np.ascontiguousarray(ref.load())
            digests[ref.name] = tf.sha256(a)
            yield a
            if tracker is not None:
                tracker.step(ref.nbytes)

    tf.write_tensor_file(root / BASE_FILE, entries, chunks(), _file_meta(manifest, "base"))
    manifest["base"]["tensors"] = [
        {"name": n, "shape": list(s), "dtype": np.dtype(d).name, "sha256": digests[n]}
        for n, d, s in entries
    ]
    return digests


def _copy_model_files(root: Path, manifest: dict, model_dir) -> None:
    import hashlib

    files = _model_files(model_dir)
    if not files:
        return
    (root / MODEL_DIR).mkdir()
    for src in files:
        data = src.read_bytes()
        with tf.atomic_file(root / MODEL_DIR / src.name) as f:
            f.write(data)
        manifest["model_files"].append(
            {"file": f"{MODEL_DIR}/{src.name}", "sha256": hashlib.sha256(data).hexdigest()}
        )


def save_library(library, path, *, model_dir=None) -> None:
    """Writes a `tamsel.ModelLibrary` (its base and every fine-tune) to a new directory.

    `model_dir`, a Hugging Face model directory of the base, adds its configuration and
    tokenizer files so that exported fine-tunes load as models. The directory appears
    complete or not at all.
    """
    settings = _settings(library.method, library.max_rank, library.energy, 0.5)
    with _new_directory(path) as root:
        manifest = _new_manifest(library.base_id, settings)
        _write_base(root, manifest, source_refs(library.base))
        _copy_model_files(root, manifest, model_dir)
        (root / FINETUNE_DIR).mkdir()
        for name, delta in library.deltas.items():
            f = _FinetuneFile(root, manifest, name, delta.base_id)
            try:
                for tensor, ct in delta.tensors.items():
                    entry, arrays = _record_entry(tensor, ct)
                    f.add(TaskResult(entry, arrays, None, 0))
            except BaseException:
                f.discard()
                raise
            manifest["finetunes"].append(f.finish())
        _write_manifest(root, manifest)


def _finetune_list(finetunes) -> list[tuple[str, Any]]:
    if isinstance(finetunes, Mapping):
        items = list(finetunes.items())
    else:
        items = [(str(s), s) for s in finetunes]
    names = [n for n, _ in items]
    for n in names:
        if not isinstance(n, str) or not n:
            raise ValueError(f"fine-tune names must be non-empty strings, got {n!r}")
    dup = next((n for n in names if names.count(n) > 1), None)
    if dup is not None:
        raise ValueError(f"fine-tune {dup!r} is given twice")
    return items


def build_library(
    base,
    finetunes,
    path,
    *,
    base_id: str | None = None,
    method="tt",
    max_rank: int = 8,
    energy: float | None = None,
    rank_ratio: float = 0.5,
    jobs: int | None = None,
    ray: str | None = None,
    progress: Progress | None = None,
    model_dir=None,
) -> None:
    """Builds a saved library in a new directory from a base and fine-tunes, streaming.

    `base` and each fine-tune are a state dict, a `.safetensors` file or a model directory
    of shards (read tensor by tensor through memory maps, so a model larger than memory
    builds in memory bounded by a few tensors per job). `finetunes` maps names to sources
    (a list of paths names each fine-tune by its path). Settings as for
    `tamsel.ModelLibrary`, plus the `rank_ratio` of svd and Tucker (0.5 is what the
    library itself uses); `jobs` tasks run at once (default: the usable cores), `ray`
    ("local", "auto" or a cluster address) runs them on Ray. The result is the same, byte
    for byte, for any `jobs` and on Ray.
    """
    jobs = check_jobs(jobs)
    settings = _settings(method, max_rank, energy, rank_ratio)
    items = _finetune_list(finetunes)
    base_refs = source_refs(base)
    sources = [(name, source_refs(src)) for name, src in items]
    for name, refs in sources:
        _check_finetune(name, refs, base_refs)
    if base_id is None:
        base_id = "base" if isinstance(base, Mapping) else str(base)
    tracker = _Tracker(
        progress,
        len(base_refs) + sum(len(refs) for _, refs in sources),
        sum(r.nbytes for r in base_refs.values()) + _source_bytes(sources),
    )
    with _new_directory(path) as root:
        manifest = _new_manifest(base_id, settings)
        _write_base(root, manifest, base_refs, tracker)
        _copy_model_files(root, manifest, base if model_dir is None else model_dir)
        (root / FINETUNE_DIR).mkdir()
        # Deltas are taken against the base as stored, so that `add` later sees the same.
        stored = _file_refs(tf.TensorFile(root / BASE_FILE), as_float32=False)
        manifest["finetunes"] = _compress_finetunes(
            root, manifest, stored, None, sources, settings, jobs, ray, tracker
        )
        _write_manifest(root, manifest)


# ---- extending a saved library ------------------------------------------------------------


@contextlib.contextmanager
def _locked(root: Path):
    """One writer at a time per library."""
    with open(root / ".lock", "a") as f:
        fcntl.flock(f.fileno(), fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f.fileno(), fcntl.LOCK_UN)


def add_to_library(path, name: str, state_dict, **options):
    """Compresses one fine-tune against a saved library's base and appends it, without
    rewriting what is there; returns the stored `tamsel.CompressedDelta`.

    `state_dict` is a state dict, a `.safetensors` file or a model directory (streamed).
    `options` are the keywords of `add_many_to_library` (`method`, `max_rank`, `energy`,
    `rank_ratio`, `verify`, `jobs`, `ray`, `progress`): the library's settings apply
    unless `method`, `max_rank`, `energy` or `rank_ratio` say otherwise (`method` alone
    turns the energy SVD off). `verify` checks each base tensor against its checksum as
    it is read. `jobs`, `ray` and `progress` as for `build_library`. A failure leaves the
    library as it was.
    """
    return add_many_to_library(path, {name: state_dict}, **options)[name]


def add_many_to_library(
    path,
    finetunes,
    *,
    method=None,
    max_rank: int | None = None,
    energy: float | None = None,
    rank_ratio: float | None = None,
    verify: bool = True,
    jobs: int | None = None,
    ray: str | None = None,
    progress: Progress | None = None,
) -> dict:
    """`add_to_library` for several fine-tunes at once (one manifest update, all or none);
    returns their `tamsel.CompressedDelta` records by name."""
    jobs = check_jobs(jobs)
    items = _finetune_list(finetunes)
    root = Path(path)
    _read_manifest(root)
    with _locked(root):
        manifest = _read_manifest(root)
        have = {ft["name"] for ft in manifest["finetunes"]}
        for n, _ in items:
            if n in have:
                raise ValueError(f"fine-tune {n!r} is already in the library at {root}")
        s = {"rank_ratio": 0.5, **manifest["settings"]}
        if method is not None:  # a method alone turns the energy SVD off
            s["method"], s["energy"] = method, None
        settings = _settings(
            s["method"],
            s["max_rank"] if max_rank is None else max_rank,
            s["energy"] if energy is None else energy,
            s["rank_ratio"] if rank_ratio is None else rank_ratio,
        )
        base_file = _open_member(root, manifest, manifest["base"]["file"], "base", "the base")
        digests = {}
        for t in manifest["base"]["tensors"]:
            _check_entry(base_file, t["name"], t["dtype"], t["shape"])
            digests[t["name"]] = t["sha256"]
        base_refs = {n: r for n, r in _file_refs(base_file, False).items() if n in digests}
        sources = [(n, source_refs(src)) for n, src in items]
        for n, refs in sources:
            _check_finetune(n, refs, base_refs)
        entries = _compress_finetunes(
            root,
            manifest,
            base_refs,
            digests if verify else None,
            sources,
            settings,
            jobs,
            ray,
            _Tracker(progress, sum(len(r) for _, r in sources), _source_bytes(sources)),
        )
        try:
            manifest["finetunes"].extend(entries)
            _write_manifest(root, manifest)
        except BaseException:
            # Files the manifest on disk names are the library's now (the rename happened).
            with contextlib.suppress(Exception):
                kept = {ft["file"] for ft in _read_manifest(root)["finetunes"]}
                for e in entries:
                    if e["file"] not in kept:
                        (root / e["file"]).unlink(missing_ok=True)
            raise
        return {e["name"]: _load_finetune(root, manifest, e, False) for e in entries}
